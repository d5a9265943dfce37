// The sequence engine's scheduler. Frame 1 is read first (it gives the mask
// and the grey mapping) and prepared while the other threads start on the
// next pairs: each thread takes the next pair, loads the frames it still
// needs, waits for any that another thread is loading, and measures. At most
// threads + 2 frames are held at once, and a frame is freed as soon as no
// pair and no pending hand-over needs it. Pairs finish in any order; frames
// are handed to the caller strictly in order, by one thread at a time, so
// every thread count gives the same results and the same calls.
//
// Following a folder, frames keep arriving while the run goes on: a thread
// that finds no pair left asks the feed for more (one thread at a time), and
// the frames that may still serve a later pair are kept until the feed ends.
//
// Against a fixed reference other than the first frame (a template, the mean
// of the first frames), the reference is frame 0: made before the threads
// start and kept to the end, and frame 1 is a pair like the others.
#include "sequence/engine.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <semaphore>
#include <span>
#include <thread>

#include "generic/errors.h"
#include "generic/last_error.h"
#include "memrect/memrect.h"
#include "memrect/readfile_internal.h"
#include "registration/registration.h"
#include "sequence/reference.h"

namespace vantor::seq {

namespace {

namespace err = vantor::err;

// A result before any measurement: zeros and the identity motion.
DriftResult BlankResult() {
  DriftResult r{};
  r.a11 = r.a22 = 1.0;
  r.scale = 1.0;
  return r;
}

bool MemoryShort() { return mrLastErrorKind() == VANTOR_ERROR_MEMORY; }

struct DriftFrameDeleter {
  void operator()(DriftFrame* f) const { DriftFrameFree(f); }
};
using DriftFramePtr = std::unique_ptr<DriftFrame, DriftFrameDeleter>;

struct WorkspaceDeleter {
  void operator()(DriftWorkspace* w) const { DriftWorkspaceFree(w); }
};
using WorkspacePtr = std::unique_ptr<DriftWorkspace, WorkspaceDeleter>;

// A frame while the run goes on.
struct Frame {
  enum State { kAbsent, kLoading, kReady, kFailed, kReleased } state = kAbsent;
  LoadedFrame images;
  DriftFramePtr prepared;
  int usesLeft = 0;             // pairs that still need the frame
  bool awaitingOutput = false;  // kept until it has been delivered
  bool pinned = false;          // the last measured frame, kept for a later frame
  std::string error;
  int32_t errorKind = 0;     // VANTOR_ERROR_* of a failed load
  bool outOfMemory = false;  // the load failed for memory
  int32_t width = 0, height = 0;
};

class Engine {
 public:
  Engine(std::deque<FrameSource>& sources, const SequenceOptions& o,
         SequenceFrameCallback callback, void* user, RunResults* out, FrameFeed* feed,
         FixedReference* fixed)
      : src_(sources), n_(static_cast<int32_t>(sources.size())), fixed_(fixed),
        firstPair_(fixed != nullptr ? 1 : 2),
        toPrevious_(o.mode == kSequencePrevious), options_(o.drift), callback_(callback),
        user_(user), resultCallback_(o.resultCallback), resultUser_(o.resultUser),
        keepImages_(o.keepImages != 0), channel_(std::max(1, o.channel)), z_(o.z), feed_(feed), out_(*out), frames_(sources.size() + 1),
        measured_(sources.size() + 1, false) {
    first_ = std::max(1, o.firstFrame);
    last_ = o.lastFrame > 0 ? std::min(o.lastFrame, n_) : n_;
    // The pairs measured: those of the wanted frames, the window of pairs
    // around them that classifying compares them with, and for the previous
    // frame every earlier pair (the running sums need them). Following, every
    // pair that comes.
    pairLo_ = toPrevious_ ? 2 : std::max(firstPair_, first_ - DriftClassifyWindow());
    pairHi_ = std::min(n_, last_ + DriftClassifyWindow());
    if (feed_ != nullptr) {
      last_ = o.lastFrame > 0 ? o.lastFrame : INT32_MAX;
      pairHi_ = n_;
    }
    for (int32_t k = firstPair_; k <= n_; ++k) measured_[k] = k < pairLo_ || k > pairHi_;
    out_.Reset(sources.size() + 1);
    for (int32_t k = 0; k <= n_; ++k) {
      DriftResult& r = out_.results[k];
      r = BlankResult();
      r.quality = kDriftOk;
      if (k >= firstPair_ && (k < pairLo_ || k > pairHi_)) {  // not measured in this run
        r.quality = kDriftFailed;
        r.distance = -1.0;
      }
      out_.reference[k] = k < firstPair_ ? 0 : RefOf(k);
    }
    threads_ = o.threads > 0 ? o.threads : ProcessorCount();
    if (feed_ == nullptr) lastPair_ = pairHi_;
    limits_.maxBytes = static_cast<uint64_t>(FrameBudget(o.maxFrameMemory, threads_));
    limits_.extraPerPixel = WorkingBytesPerPixel(options_.method);
    limits_.budgetName = o.maxFrameMemoryName;
    retry_ = toPrevious_ && options_.method != kDriftClassic;
  }

  int32_t Count() const { return n_; }

  int32_t Run() {
    if (feed_ != nullptr && n_ == 0 && !AwaitFirst()) return -1;
    WorkspacePtr ws(DriftWorkspaceCreate());
    if (!ws) {
      outOfMemory_ = true;
      return Finish();
    }
    if (!Start(ws.get())) return Finish();
    const int threads = feed_ != nullptr ? std::max(1, threads_)
                                         : std::max(1, std::min(threads_, pairHi_ - pairLo_ + 1));
    capacity_ = threads + 2 + (fixed_ != nullptr ? 1 : 0);
    try {
      spares_.reserve(static_cast<size_t>(threads));  // no frame is kept when this fails
    } catch (const std::bad_alloc&) {
    }
    for (int32_t k = pairLo_; k <= pairHi_; ++k) frames_[k].usesLeft = UsesOf(k);
    nextPair_ = pairLo_;
    const bool pairs = pairHi_ >= pairLo_ || feed_ != nullptr;
    std::vector<std::thread> pool;
    if (pairs) {
      try {
        pool.reserve(static_cast<size_t>(threads));
        for (int t = 1; t < threads; ++t) pool.emplace_back([this] { Worker(); });
      } catch (const std::exception&) {
        // No memory for another thread: the run stops as the threads started finish.
        std::lock_guard<std::mutex> g(mutex_);
        outOfMemory_ = true;
      }
    }
    // Frame 1 is prepared while the other threads load the next frames.
    PrepareFirst(ws.get());
    if (pairs) Worker(std::move(ws));
    for (auto& th : pool) th.join();
    return Finish();
  }

 private:
  int32_t RefOf(int32_t k) const { return toPrevious_ ? k - 1 : Fixed(); }
  // The frame every pair is measured against (when not the previous one).
  int32_t Fixed() const { return fixed_ != nullptr ? 0 : 1; }
  bool Wanted(int32_t k) const { return k >= first_ && k <= last_; }
  // The pairs frame k (from 2) takes part in: its own, and against the
  // previous frame the next one's, which following may still bring.
  int UsesOf(int32_t k) const { return toPrevious_ && (k < pairHi_ || Open()) ? 2 : 1; }
  bool Open() const { return feed_ != nullptr && !feedEnded_; }

  // Following an empty sequence: waits for its first frames. False (with the
  // cause recorded) when none came.
  bool AwaitFirst() {
    std::vector<FrameSource> more;
    bool open = true;
    while (more.empty() && open && !feed_->StopNow()) open = feed_->Next(&more);
    if (more.empty()) return err::Fail(err::kFile, "no frame came"), false;
    std::lock_guard<std::mutex> g(mutex_);
    Append(more);
    if (!open) EndFeed();
    return true;
  }

  // Appends frames that arrived (the lock held).
  void Append(std::vector<FrameSource>& more) {
    for (FrameSource& f : more) {
      const int32_t k = n_ + 1;
      const bool skipped = k >= firstPair_ && k < pairLo_;  // before the wanted frames' pairs
      src_.push_back(std::move(f));
      frames_.emplace_back();
      measured_.push_back(skipped);
      causes_.emplace_back();
      out_.Grow(static_cast<size_t>(k) + 1);
      DriftResult& r = out_.results[k];
      r.quality = skipped ? kDriftFailed : kDriftOk;
      r.distance = skipped ? -1.0 : 0.0;
      out_.reference[k] = k < firstPair_ ? 0 : RefOf(k);
      n_ = pairHi_ = k;
      if (k >= pairLo_) frames_[k].usesLeft = UsesOf(k);
      if (k >= pairLo_ && !toPrevious_) ++frames_[Fixed()].usesLeft;
    }
    more.clear();
  }

  // No frame comes any more: the last frame no longer waits for a pair after it.
  void EndFeed() {
    if (feedEnded_) return;
    feedEnded_ = true;
    if (n_ < 1 || frames_.size() < 2) return;
    if (toPrevious_) {
      ReleaseUse(n_);
    } else {
      frames_[Fixed()].pinned = false;
      ReleaseIfDone(Fixed());
    }
  }

  // Ends following at once: the frames whose pair has not started are left out.
  void StopFeed() {
    const int32_t keep = std::max(1, nextPair_ - 1);
    if (keep < n_) {
      for (int32_t k = keep + 1; k <= n_; ++k)
        if (!toPrevious_) --frames_[Fixed()].usesLeft;
      n_ = pairHi_ = keep;
    }
    EndFeed();
  }

  // Asks the feed for more frames, the lock released meanwhile; one thread at a time.
  void AskFeed(std::unique_lock<std::mutex>& lock) {
    asking_ = true;
    lock.unlock();
    std::vector<FrameSource> more;
    bool open = false;
    try {
      open = feed_->Next(&more);
    } catch (const std::bad_alloc&) {
      lock.lock();
      asking_ = false;
      outOfMemory_ = true;
      changed_.notify_all();
      return;
    }
    lock.lock();
    asking_ = false;
    // Stopped meanwhile: what came is left out.
    if (!feedEnded_) {
      try {
        Append(more);
      } catch (const std::bad_alloc&) {
        outOfMemory_ = true;
      }
      if (!open) EndFeed();
    }
    changed_.notify_all();
  }

  // Reads frame 1 (and makes a fixed reference) and makes the mask; false
  // when either fails. Frame 1 is left loading: PrepareFirst prepares it.
  bool Start(DriftWorkspace* ws) {
    Frame& first = frames_[1];
    if (fixed_ != nullptr && !PrepareFixed(ws)) return false;
    if (!NoThrow(first, [&] { return ReadThrowing(src_[0], first); })) {
      LoadFailed(1);
      return false;
    }
    out_.width[1] = first.width;
    out_.height[1] = first.height;
    if (fixed_ != nullptr && !FixedFits()) return false;
    if (!StepsFit()) return false;
    mrClearLastError();
    const Frame& masked = frames_[Fixed()];
    mask_ = RectOwner(CentralMaskFraction(masked.images.grey.get(), options_.maskFraction));
    if (!mask_) {
      mask_.release();
      // Without the mask every pair would be compared whole: another table.
      if (MemoryShort()) {
        ShortOfMemory(mrLastError());
      } else {
        first.error = mrLastError();
        LoadFailed(1);
      }
      return false;
    }
    first.state = Frame::kLoading;
    if (fixed_ != nullptr) {
      // The reference serves every pair; frame 1's own pair (Run counts it) is still to come.
      Frame& fixed = frames_[0];
      fixed.usesLeft = std::max(0, pairHi_ - pairLo_ + 1);
      fixed.pinned = Open();
      first.usesLeft = 0;
    } else {
      // The first frame serves every pair against it, for the previous frame pair 2 only.
      first.usesLeft = toPrevious_ ? (pairHi_ >= 2 || Open() ? 1 : 0)
                                   : std::max(0, pairHi_ - pairLo_ + 1);
      first.pinned = Open() && !toPrevious_;
    }
    return true;
  }

  // Prepares frame 1, read by Start, with the lock released (pairs that need
  // it wait for it), and hands it over when it is the reference.
  void PrepareFirst(DriftWorkspace* ws) {
    std::unique_lock<std::mutex> lock(mutex_);
    Frame scratch;
    scratch.images = std::move(frames_[1].images);
    scratch.width = frames_[1].width;
    scratch.height = frames_[1].height;
    lock.unlock();
    const bool ok = NoThrow(scratch, [&] { return PrepareThrowing(1, scratch, ws, nullptr); });
    lock.lock();
    Settle(1, scratch, ok);
    if (ok && fixed_ == nullptr) measured_[1] = true;
    changed_.notify_all();
    if (ok && !outOfMemory_) {
      try {
        Deliver(lock, ws);
      } catch (const std::bad_alloc&) {
        delivering_ = false;
        outOfMemory_ = true;
      }
      changed_.notify_all();
    }
  }

  // A frame loaded (or not) into scratch takes its place (the lock held).
  void Settle(int32_t j, Frame& scratch, bool ok) {
    Frame& f = frames_[j];
    out_.width[j] = scratch.width;
    out_.height[j] = scratch.height;
    f.images = std::move(scratch.images);
    f.awaitingOutput = scratch.awaitingOutput;
    f.prepared = std::move(scratch.prepared);
    f.error = std::move(scratch.error);
    f.outOfMemory = scratch.outOfMemory;
    f.errorKind = scratch.errorKind;
    f.state = ok ? Frame::kReady : Frame::kFailed;
    if (!ok) LoadFailed(j);
  }

  // Makes frame 0 of the fixed reference: loads a template (as frames are
  // loaded; a floating-point one sets the grey mapping) or takes the mean, and
  // prepares it as a reference. False when it cannot be had.
  bool PrepareFixed(DriftWorkspace* ws) {
    Frame& f = frames_[0];
    FixedReference& ref = *fixed_;
    try {
      if (ref.images.grey) {
        f.images = std::move(ref.images);
        range_ = ref.range;
      } else {
        const bool precise = options_.method == kDriftPrecise;
        mrClearLastError();
        const int32_t loaded = LoadFrame(ref.source, precise, limits_, &range_, &f.images, &f.error);
        if (loaded < 0 || MemoryShort()) {
          ShortOfMemory(f.error);
          return false;
        }
        if (loaded == 0) {
          const int32_t kind = mrLastErrorKind();
          Refuse(kind != 0 ? kind : err::kFormat, ref.label + ": " + f.error);
          return false;
        }
      }
    } catch (const std::bad_alloc&) {
      outOfMemory_ = true;
      return false;
    }
    mrGetRectInfo(f.images.grey.get(), &f.width, &f.height);
    mrClearLastError();
    f.prepared = DriftFramePtr(
        DriftFrameCreateWith(f.images.grey.get(), f.images.source(), &options_, 1, ws));
    if (!f.prepared) {
      if (MemoryShort()) ShortOfMemory(mrLastError());
      else Refuse(err::kFormat, ref.label + ": " + mrLastError());
      return false;
    }
    f.images.original.reset();
    f.state = Frame::kReady;
    ++inMemory_;
    return true;
  }

  // A template of another size than the frames cannot be compared with them.
  bool FixedFits() {
    const Frame& f = frames_[0];
    const int32_t w = out_.width[1], h = out_.height[1];
    if (f.width == w && f.height == h) return true;
    Refuse(err::kParameter, fixed_->label + ": the template is " + std::to_string(f.width) +
                                " x " + std::to_string(f.height) + " pixels, the frames " +
                                std::to_string(w) + " x " + std::to_string(h));
    return false;
  }

  // Fails the run before any pair: "reference " and why.
  void Refuse(int32_t kind, const std::string& why) {
    refused_ = "reference " + why;
    refusedKind_ = kind;
  }

  // A search step beyond the first frame's larger side moves every compared
  // pixel off the frame: it cannot mean anything, and the run is refused
  // before a pair is measured (the classic search takes it as given).
  bool StepsFit() {
    if (options_.method == kDriftClassic) return true;
    const int32_t w = out_.width[1], h = out_.height[1];
    const double side = std::max(w, h);
    const bool start = options_.startStep > side;
    if (!start && !(options_.finalStep > side)) return true;
    char text[200];
    std::snprintf(text, sizeof text, "%s step: %.6g is larger than the first frame (%d x %d "
                  "pixels); give a number of pixels above 0 and at most %d",
                  start ? "start" : "final", start ? options_.startStep : options_.finalStep,
                  static_cast<int>(w), static_cast<int>(h), static_cast<int>(side));
    refused_ = text;
    return false;
  }

  void LoadFailed(int32_t k) {
    if (frames_[k].outOfMemory) {
      ShortOfMemory(frames_[k].error);
      return;
    }
    if (firstFailed_ == 0 || k < firstFailed_) firstFailed_ = k;
  }

  // Stops the run for memory, keeping the first cause's text.
  void ShortOfMemory(const std::string& cause) {
    if (!outOfMemory_ && memoryCause_[0] == '\0')
      std::snprintf(memoryCause_, sizeof memoryCause_, "%s", cause.c_str());
    outOfMemory_ = true;
  }

  // Everything after the threads: classification, sums and the error record.
  int32_t Finish() {
    if (outOfMemory_) {
      const bool named = std::strstr(memoryCause_, "out of memory") != nullptr;
      return err::Fail(err::kMemory, "%s", named ? memoryCause_ : "out of memory"), -1;
    }
    if (!refused_.empty()) return err::Fail(refusedKind_, "%s", refused_.c_str()), -1;
    const int32_t failed = firstFailed_;
    out_.failedFrame = failed;
    out_.upTo = failed != 0 ? failed - 1 : n_;
    if (failed != 0) out_.reasons[failed] = frames_[failed].error;
    const int32_t upTo = out_.upTo;
    if (options_.method != kDriftClassic && upTo >= 2 &&
        DriftClassify(out_.results.data() + 1, upTo) < 0)
      return err::FailMemory(), -1;  // the only way classifying fails
    // The results not yet handed over as final are, now.
    for (int32_t k = nextFinal_; k <= upTo && !stopped_; ++k)
      if (!HandOver(resultCallback_, resultUser_, k, out_.results[k], 0)) stopped_ = true;
    if (stopped_) return err::Fail(err::kFailed, "the frame callback stopped the run"), -1;
    if (failed != 0) {
      const FrameSource& s = src_[failed - 1];
      const std::string& why = frames_[failed].error;
      const int32_t kind = frames_[failed].errorKind;
      err::Fail(kind != 0 ? kind : err::kFormat, "%s: %s",
                s.data != nullptr ? ("frame " + std::to_string(failed)).c_str() : s.path.c_str(),
                why.c_str());
      return -1;
    }
    return upTo;
  }

  // Why a pair was not measured, as a frame's reason says it.
  std::string FailureReason(int32_t k, const char* cause) const {
    const int32_t w = out_.width[k], h = out_.height[k];
    const int32_t w1 = out_.width[1], h1 = out_.height[1];
    if (w != w1 || h != h1)
      return "its size " + std::to_string(w) + "x" + std::to_string(h) + " differs from the " +
             (fixed_ != nullptr ? "reference's " : "first image's ") + std::to_string(w1) + "x" +
             std::to_string(h1);
    if (cause[0] != '\0') return cause;
    return "no part of the central mask could be compared";
  }

  // A step of loading frame that never throws: a shortage of memory fails it.
  template <typename Step>
  static bool NoThrow(Frame& frame, const Step& step) {
    try {
      return step();
    } catch (const std::bad_alloc&) {
      frame.outOfMemory = true;
      frame.error.clear();
      return false;
    }
  }

  // Reads a frame's file into frame.images.
  bool ReadThrowing(const FrameSource& given, Frame& frame) {
    const bool precise = options_.method == kDriftPrecise;
    // A hyperstack's time point: the plane the options pick (followed files too).
    FrameSource picked;
    const FrameSource& src = given.timePoint >= 1 ? picked : given;
    if (given.timePoint >= 1) {
      picked = given;
      picked.channel = channel_;
      picked.z = z_;
    }
    fileSlots_.acquire();
    mrClearLastError();
    int32_t loaded = 0;
    try {
      loaded = LoadFrame(src, precise || keepImages_, limits_, &range_, &frame.images,
                         &frame.error);
    } catch (...) {
      fileSlots_.release();
      throw;
    }
    fileSlots_.release();
    if (loaded != 1) {
      frame.outOfMemory = loaded < 0 || MemoryShort();
      frame.errorKind = mrLastErrorKind();
      return false;
    }
    mrGetRectInfo(frame.images.grey.get(), &frame.width, &frame.height);
    return true;
  }

  // Prepares a frame read for measuring (the precise method reads it at its
  // own depth here only).
  bool PrepareThrowing(int32_t k, Frame& frame, DriftWorkspace* ws, DriftFramePtr spare) {
    // Every frame but the last is a reference against the previous frame
    // (following, the last may not stay so), only the first else.
    const bool reference = toPrevious_ ? k < lastPair_ : k == 1 && fixed_ == nullptr;
    mrClearLastError();
    frame.prepared = DriftFramePtr(DriftFrameCreateReusing(frame.images.grey.get(),
                                                           frame.images.source(), &options_,
                                                           reference ? 1 : 0, ws, spare.release()));
    if (!frame.prepared) {
      frame.outOfMemory = MemoryShort();
      frame.errorKind = mrLastErrorKind();
      frame.error = mrLastError();
      return false;
    }
    frame.awaitingOutput = (callback_ != nullptr && keepImages_ && Wanted(k)) ||
                           (retry_ && k >= pairLo_);
    if (!keepImages_) frame.images.original.reset();
    return true;
  }

  // Hands the frames whose displacement from the first is known to the
  // callback, in order; one thread at a time (the lock is released meanwhile).
  // Against the previous frame, a frame whose reference failed is measured
  // again against the last frame that did not, so that the running sums of
  // every measurable frame stay right.
  void Deliver(std::unique_lock<std::mutex>& lock, DriftWorkspace* ws) {
    if (delivering_) return;  // the thread delivering will take these too
    delivering_ = true;
    while (!stopped_ && !outOfMemory_ && nextOutput_ <= n_ && measured_[nextOutput_]) {
      const int32_t k = nextOutput_;
      if (Remeasure(k) && !MeasureAgain(lock, k, ws)) break;
      ++nextOutput_;
      const DriftResult r = out_.results[k];
      if (k >= firstPair_) {
        const bool failed = r.quality == kDriftFailed;
        const int32_t ref = out_.reference[k];
        // A failed frame's row carries the sums so far, as it always has.
        if (options_.method == kDriftPrecise && options_.model != kDriftTranslation) {
          // The pair's motion composed onto its reference's: M = M1 M2,
          // d = M1 d2 + d1 (both about the frame's centre).
          const std::array<double, 4> m2{r.a11, r.a12, r.a21, r.a22};
          if (!toPrevious_) {
            outX_ = r.dx;
            outY_ = r.dy;
            outM_ = m2;
          } else if (!failed) {
            const std::array<double, 4>& m1 = out_.matrixFirst[ref];
            outX_ = m1[0] * r.dx + m1[1] * r.dy + out_.dxFirst[ref];
            outY_ = m1[2] * r.dx + m1[3] * r.dy + out_.dyFirst[ref];
            outM_ = {m1[0] * m2[0] + m1[1] * m2[2], m1[0] * m2[1] + m1[1] * m2[3],
                     m1[2] * m2[0] + m1[3] * m2[2], m1[2] * m2[1] + m1[3] * m2[3]};
          }
          out_.matrixFirst[k] = outM_;
        } else {
          outX_ = toPrevious_ ? (failed ? outX_ : out_.dxFirst[ref]) + r.dx : r.dx;
          outY_ = toPrevious_ ? (failed ? outY_ : out_.dyFirst[ref]) + r.dy : r.dy;
        }
        out_.dxFirst[k] = outX_;
        out_.dyFirst[k] = outY_;
        if (failed && Wanted(k)) out_.reasons[k] = FailureReason(k, causes_[k].c_str());
      }
      Frame& f = frames_[k];  // frames_ is a deque: growing keeps it in place
      if (callback_ != nullptr && Wanted(k)) {
        const int32_t image = f.awaitingOutput ? f.images.source() : 0;
        if (!HandOver(lock, callback_, user_, k, r, image)) stopped_ = true;
      }
      f.awaitingOutput = false;
      if (retry_ && r.quality != kDriftFailed && f.state == Frame::kReady) {
        // The newest frame that was measured serves any later frame whose reference failed.
        const int32_t old = lastGood_;
        lastGood_ = k;
        f.pinned = true;
        if (old != 0 && old != k) {
          frames_[old].pinned = false;
          ReleaseIfDone(old);
        }
      }
      ReleaseIfDone(k);
      HandOverFinal(lock);
    }
    delivering_ = false;
  }

  // Calls a callback with frame k's result, the lock released meanwhile
  // (what it is given is copied first: the frames' tables may grow). False
  // when it asks to stop.
  bool HandOver(std::unique_lock<std::mutex>& lock, SequenceFrameCallback cb, void* user,
                int32_t k, const DriftResult& r, int32_t image) {
    const std::string reason = out_.reasons[k];
    SequenceFrame sf = Describe(k, r, image);
    sf.reason = reason.c_str();
    lock.unlock();
    const bool go = Call(cb, user, sf);
    lock.lock();
    return go;
  }

  // The same once the threads have ended.
  bool HandOver(SequenceFrameCallback cb, void* user, int32_t k, const DriftResult& r,
                int32_t image) {
    return cb == nullptr || !Wanted(k) || Call(cb, user, Describe(k, r, image));
  }

  SequenceFrame Describe(int32_t k, const DriftResult& r, int32_t image) const {
    SequenceFrame sf{};
    sf.frame = k;
    sf.reference = out_.reference[k];
    sf.result = r;
    sf.dxFirst = out_.dxFirst[k];
    sf.dyFirst = out_.dyFirst[k];
    std::copy(out_.matrixFirst[k].begin(), out_.matrixFirst[k].end(), sf.matrixFirst);
    sf.width = out_.width[k];
    sf.height = out_.height[k];
    sf.image = image;
    const FrameSource& src = src_[static_cast<size_t>(k - 1)];
    sf.name = src.name.c_str();
    sf.path = src.path.c_str();
    sf.page = src.page;
    sf.reason = out_.reasons[k].c_str();
    sf.outOfOrder = src.outOfOrder ? 1 : 0;
    sf.timePoint = src.timePoint;
    return sf;
  }

  static bool Call(SequenceFrameCallback cb, void* user, const SequenceFrame& sf) {
    try {
      return cb(user, &sf) == 0;
    } catch (...) {
      return false;
    }
  }

  // Hands the delivered frames whose classification can no longer change to
  // the result callback, in order: a frame's suspect distance is judged
  // against the DriftClassifyWindow() results on either side, which only
  // matters for results that have no robust fit (inliers below 0).
  void HandOverFinal(std::unique_lock<std::mutex>& lock) {
    if (resultCallback_ == nullptr) return;
    const int32_t window = DriftClassifyWindow();
    const int32_t known = nextOutput_ - 1;
    while (!stopped_ && nextFinal_ <= known) {
      const int32_t k = nextFinal_;
      DriftResult r = out_.results[k];
      const bool classify = options_.method != kDriftClassic && k >= firstPair_;
      if (classify && r.quality != kDriftFailed && r.inliers < 0.0 && k + window > known) break;
      if (classify) {
        // Classified among the results around it, as the whole sequence will be.
        const int32_t lo = std::max(1, k - window - 1), hi = std::min(known, k + window);
        std::vector<DriftResult> part(out_.results.begin() + lo, out_.results.begin() + hi + 1);
        if (DriftClassify(part.data(), static_cast<int32_t>(part.size())) < 0)
          throw std::bad_alloc();
        r = part[static_cast<size_t>(k - lo)];
      }
      ++nextFinal_;
      if (Wanted(k) && !HandOver(lock, resultCallback_, resultUser_, k, r, 0)) stopped_ = true;
    }
  }

  // Whether frame k, about to be delivered, must be measured against the last
  // measured frame instead of its failed predecessor.
  bool Remeasure(int32_t k) const {
    return retry_ && k >= pairLo_ && k <= pairHi_ && k > 2 && out_.reference[k] == k - 1 &&
           out_.results[k - 1].quality == kDriftFailed && lastGood_ != 0 && lastGood_ < k - 1 &&
           frames_[k].state == Frame::kReady && frames_[lastGood_].state == Frame::kReady;
  }

  // Measures a pair with the lock released; true when memory ran out. *cause
  // gets why the pair failed ("" when it did not).
  bool MeasureUnlocked(std::unique_lock<std::mutex>& lock, const DriftFrame* a,
                       const DriftFrame* b, DriftWorkspace* ws, DriftResult* r,
                       std::string* cause) {
    lock.unlock();
    mrClearLastError();
    const bool failed = DriftMeasureWith(a, b, mask_.get(), &options_, ws, r) < 0;
    const bool memory = failed && MemoryShort();
    try {
      if (failed) *cause = mrLastError();
    } catch (const std::bad_alloc&) {
    }
    lock.lock();
    return memory;
  }

  // Measures frame k against lastGood_ (lock released meanwhile). False when memory ran out.
  bool MeasureAgain(std::unique_lock<std::mutex>& lock, int32_t k, DriftWorkspace* ws) {
    const int32_t ref = lastGood_;
    const DriftFrame* a = frames_[ref].prepared.get();
    const DriftFrame* b = frames_[k].prepared.get();
    DriftResult r;
    std::string cause;
    const bool memory = MeasureUnlocked(lock, a, b, ws, &r, &cause);
    if (memory) {
      ShortOfMemory(cause);
      return false;
    }
    out_.results[k] = r;
    out_.reference[k] = ref;
    causes_[k] = std::move(cause);
    return true;
  }

  // A frame's source, copied under the lock for a load without it.
  bool CopySource(int32_t j, FrameSource* out) const {
    try {
      *out = src_[static_cast<size_t>(j - 1)];
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  void ReleaseUse(int32_t j) {
    --frames_[j].usesLeft;
    ReleaseIfDone(j);
  }

  void ReleaseIfDone(int32_t j) {
    Frame& f = frames_[j];
    if (f.usesLeft <= 0 && !f.awaitingOutput && !f.pinned &&
        (f.state == Frame::kReady || f.state == Frame::kFailed)) {
      // Its buffers serve a frame still to load (a few at most: each is as
      // large as a frame), before the rectangles it borrows go.
      if (f.prepared && spares_.size() < spares_.capacity())
        spares_.push_back(std::move(f.prepared));
      f.prepared.reset();
      f.images = LoadedFrame();
      f.state = Frame::kReleased;
      --inMemory_;
    }
  }

  // A worker thread: takes the next pair, loads what it needs, measures it.
  // Nothing in here may throw (an escaping exception ends the process):
  // shortages of memory stop the run instead.
  void Worker(WorkspacePtr ws = WorkspacePtr(DriftWorkspaceCreate())) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ws) outOfMemory_ = true;
    for (;;) {
      if (Open() && feed_->StopNow()) StopFeed();
      const bool ending = outOfMemory_ || stopped_ || (firstFailed_ != 0 && nextPair_ > firstFailed_);
      if (!ending && nextPair_ > pairHi_ && Open()) {
        // Every known pair is taken: wait for more frames, or ask for them.
        if (asking_)
          changed_.wait(lock);
        else
          AskFeed(lock);
        continue;
      }
      if (ending || nextPair_ > pairHi_) {
        changed_.notify_all();
        return;
      }
      const int32_t k = nextPair_;
      const int32_t ref = RefOf(k);
      // Frames this pair still has to load (the first frame is loaded already).
      int32_t toLoad[2];
      int loads = 0;
      for (int32_t j : {ref, k})
        if (frames_[j].state == Frame::kAbsent && j != 1) toLoad[loads++] = j;
      if (inMemory_ + loads > capacity_ && inMemory_ > 0) {
        changed_.wait(lock);
        continue;
      }
      FrameSource sources[2];
      bool copied = true;
      for (int i = 0; i < loads && copied; ++i) copied = CopySource(toLoad[i], &sources[i]);
      if (!copied) {
        outOfMemory_ = true;  // the run stops; the pair is not taken
        continue;
      }
      ++nextPair_;
      for (int32_t j : std::span(toLoad, loads)) {
        frames_[j].state = Frame::kLoading;
        ++inMemory_;
      }
      DriftFramePtr spares[2];
      for (int i = 0; i < loads && !spares_.empty(); ++i) {
        spares[i] = std::move(spares_.back());
        spares_.pop_back();
      }
      lock.unlock();
      for (int i = 0; i < loads; ++i) {
        const int32_t j = toLoad[i];
        Frame scratch;
        // spares[i]: a released frame whose buffers the new one takes.
        const bool ok = NoThrow(scratch, [&] {
          return ReadThrowing(sources[i], scratch) &&
                 PrepareThrowing(j, scratch, ws.get(), std::move(spares[i]));
        });
        lock.lock();
        Settle(j, scratch, ok);
        changed_.notify_all();
        lock.unlock();
      }
      lock.lock();
      changed_.wait(lock, [&] {
        return frames_[ref].state != Frame::kLoading && frames_[k].state != Frame::kLoading;
      });
      if (frames_[ref].state == Frame::kReady && frames_[k].state == Frame::kReady) {
        const DriftFrame* a = frames_[ref].prepared.get();
        const DriftFrame* b = frames_[k].prepared.get();
        DriftResult r;
        std::string cause;
        const bool memory = MeasureUnlocked(lock, a, b, ws.get(), &r, &cause);
        out_.results[k] = r;
        measured_[k] = true;
        if (memory) ShortOfMemory(cause);
        causes_[k] = std::move(cause);
      }
      ReleaseUse(ref);
      ReleaseUse(k);
      if (!outOfMemory_) {
        try {
          Deliver(lock, ws.get());
        } catch (const std::bad_alloc&) {
          if (!lock.owns_lock()) lock.lock();
          delivering_ = false;
          outOfMemory_ = true;
        }
      }
      changed_.notify_all();
    }
  }

  std::deque<FrameSource>& src_;  // grows (under the lock) while following
  int32_t n_;
  FixedReference* const fixed_;  // null: the first frame (or the previous) is the reference
  const int32_t firstPair_;      // the first frame measured against a reference
  const bool toPrevious_;
  const DriftOptions options_;
  const SequenceFrameCallback callback_;
  void* const user_;
  const SequenceFrameCallback resultCallback_;
  void* const resultUser_;
  const bool keepImages_;
  const int32_t channel_, z_;  // of hyperstacks' time points
  FrameFeed* const feed_;  // null unless following
  bool feedEnded_ = false;
  bool asking_ = false;    // a thread waits for the feed
  RunResults& out_;
  int threads_ = 1;
  VantorLoadLimits limits_{};  // what one file frame may take
  int32_t first_ = 1, last_ = 0;     // the wanted frames
  int32_t pairLo_ = 2, pairHi_ = 0;  // the pairs measured
  int32_t lastPair_ = INT32_MAX;     // the last pair there will be, when known
  int32_t nextFinal_ = 1;            // the next frame for the result callback
  // Floating-point frames map the first frame's range (set while the first
  // frame loads, before any other does; read-only afterwards).
  GreyRange range_;
  std::deque<Frame> frames_;
  std::vector<bool> measured_;  // the frame's result is known
  std::vector<std::string> causes_ = std::vector<std::string>(frames_.size());
  int32_t nextOutput_ = 1;      // the next frame to hand over
  double outX_ = 0, outY_ = 0;  // its displacement from the first
  std::array<double, 4> outM_{1, 0, 0, 1};  // and its matrix (motion models)
  // Against the previous frame (not classic): frames whose reference failed
  // are measured again against lastGood_, the newest frame that did not fail.
  bool retry_ = false;
  int32_t lastGood_ = 0;
  bool delivering_ = false;
  bool stopped_ = false;  // the callback asked to stop
  std::string refused_;   // why the options do not fit the frames ("" when they do)
  int32_t refusedKind_ = err::kParameter;
  RectOwner mask_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // The library reads files through a table of 16 slots shared by the whole
  // process: however many threads run, at most 12 use one at once.
  std::counting_semaphore<16> fileSlots_{12};
  int32_t nextPair_ = 2;
  int32_t firstFailed_ = 0;
  bool outOfMemory_ = false;  // no further pair is started
  char memoryCause_[160] = "";
  int inMemory_ = 1;
  std::vector<DriftFramePtr> spares_;  // released frames whose buffers the next loads take
  int capacity_ = 3;
};

}  // namespace

void RunResults::Reset(size_t n) {
  *this = RunResults{};
  Grow(n);
}

int64_t FrameBudget(int64_t maxFrameMemory, int32_t threads) {
  if (maxFrameMemory > 0) return maxFrameMemory;
  const int64_t pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
  const int64_t store = static_cast<int64_t>(kStoreMaxBytes);
  if (pages <= 0 || pageSize <= 0) return store;
  const int64_t n = threads > 0 ? threads : ProcessorCount();
  const int64_t quarter = static_cast<int64_t>(static_cast<uint64_t>(pages) / 4 *
                                               static_cast<uint64_t>(pageSize) / static_cast<uint64_t>(n));
  return std::max<int64_t>(1, std::min(quarter, store));
}

int32_t ProcessorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int32_t>(n) : 1;
}

void RunResults::Grow(size_t n) {
  if (results.size() >= n) return;
  results.resize(n, BlankResult());
  dxFirst.resize(n, 0.0);
  matrixFirst.resize(n, {1.0, 0.0, 0.0, 1.0});
  dyFirst.resize(n, 0.0);
  width.resize(n, 0);
  height.resize(n, 0);
  reference.resize(n, 0);
  reasons.resize(n);
}

int32_t RunSequence(std::deque<FrameSource>& sources, const SequenceOptions& options,
                    SequenceFrameCallback callback, void* user, RunResults* out,
                    FrameFeed* feed) {
  int32_t done = 0, n = 0;
  FixedReference fixed;
  const bool isFixed = options.mode == kSequenceMean || options.mode == kSequenceTemplate;
  if (isFixed) {
    out->Reset(sources.size() + 1);
    if (!MakeReference(sources, options, out, &fixed)) return -1;
  }
  {
    Engine engine(sources, options, callback, user, out, feed, isFixed ? &fixed : nullptr);
    done = engine.Run();
    n = engine.Count();
  }
  if (feed != nullptr && static_cast<size_t>(n) < sources.size())
    sources.resize(static_cast<size_t>(n));  // the frames a stop left out
  return done;
}

}  // namespace vantor::seq
