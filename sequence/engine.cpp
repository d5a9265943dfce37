// The sequence engine's scheduler. Frame 1 is loaded first (it gives the
// mask); then each thread takes the next pair, loads the frames it still
// needs, waits for any that another thread is loading, and measures. At most
// threads + 2 frames are held at once, and a frame is freed as soon as no
// pair and no pending hand-over needs it. Pairs finish in any order; frames
// are handed to the caller strictly in order, by one thread at a time, so
// every thread count gives the same results and the same calls.
#include "sequence/engine.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
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

namespace vantor::seq {

namespace {

namespace err = vantor::err;

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
};

class Engine {
 public:
  Engine(const std::vector<FrameSource>& sources, const SequenceOptions& o,
         SequenceFrameCallback callback, void* user, RunResults* out)
      : src_(sources), n_(static_cast<int32_t>(sources.size())),
        toPrevious_(o.mode == kSequencePrevious), options_(o.drift), callback_(callback),
        user_(user), keepImages_(o.keepImages != 0), out_(*out), frames_(sources.size() + 1),
        measured_(sources.size() + 1, false) {
    first_ = std::max(1, o.firstFrame);
    last_ = o.lastFrame > 0 ? std::min(o.lastFrame, n_) : n_;
    // The pairs measured: those of the wanted frames, the window of pairs
    // around them that classifying compares them with, and for the previous
    // frame every earlier pair (the running sums need them).
    pairLo_ = toPrevious_ ? 2 : std::max(2, first_ - DriftClassifyWindow());
    pairHi_ = std::min(n_, last_ + DriftClassifyWindow());
    for (int32_t k = 2; k <= n_; ++k) measured_[k] = k < pairLo_ || k > pairHi_;
    out_.Reset(sources.size() + 1);
    for (int32_t k = 0; k <= n_; ++k) {
      DriftResult& r = out_.results[k];
      r = DriftResult{};
      r.quality = kDriftOk;
      if (k >= 2 && (k < pairLo_ || k > pairHi_)) {  // not measured in this run
        r.quality = kDriftFailed;
        r.distance = -1.0;
      }
      out_.reference[k] = k <= 1 ? 0 : RefOf(k);
    }
    threads_ = o.threads > 0 ? o.threads : ProcessorCount();
    limits_.maxBytes = static_cast<uint64_t>(FrameBudget(o.maxFrameMemory, threads_));
    limits_.extraPerPixel = WorkingBytesPerPixel(options_.method);
    limits_.budgetName = o.maxFrameMemoryName;
    retry_ = toPrevious_ && options_.method != kDriftClassic;
  }

  int32_t Run() {
    if (!Start()) return Finish();
    const int threads = std::max(1, std::min(threads_, pairHi_ - pairLo_ + 1));
    capacity_ = threads + 2;
    for (int32_t k = pairLo_; k <= pairHi_; ++k)
      frames_[k].usesLeft = (toPrevious_ && k < pairHi_) ? 2 : 1;
    nextPair_ = pairLo_;
    if (pairHi_ >= pairLo_) {
      std::vector<std::thread> pool;
      try {
        pool.reserve(static_cast<size_t>(threads));
        for (int t = 1; t < threads; ++t) pool.emplace_back([this] { Worker(); });
      } catch (const std::exception&) {
        // No memory for another thread: the run stops as the threads started finish.
        std::lock_guard<std::mutex> g(mutex_);
        outOfMemory_ = true;
      }
      Worker();
      for (auto& th : pool) th.join();
    }
    return Finish();
  }

 private:
  int32_t RefOf(int32_t k) const { return toPrevious_ ? k - 1 : 1; }
  bool Wanted(int32_t k) const { return k >= first_ && k <= last_; }

  // Loads frame 1 and makes the mask; false when either fails.
  bool Start() {
    Frame& first = frames_[1];
    WorkspacePtr ws(DriftWorkspaceCreate());
    if (!ws) {
      outOfMemory_ = true;
      return false;
    }
    if (!LoadInto(1, first, ws.get())) {
      LoadFailed(1);
      return false;
    }
    mrClearLastError();
    mask_ = RectOwner(CentralMaskFraction(first.images.grey.get(), options_.maskFraction));
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
    first.state = Frame::kReady;
    // The first frame serves every pair against it, for the previous frame pair 2 only.
    first.usesLeft = toPrevious_ ? (pairHi_ >= 2 ? 1 : 0) : std::max(0, pairHi_ - pairLo_ + 1);
    measured_[1] = true;
    std::unique_lock<std::mutex> lock(mutex_);
    Deliver(lock, ws.get());
    return !stopped_;
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
    const int32_t failed = firstFailed_;
    out_.failedFrame = failed;
    out_.upTo = failed != 0 ? failed - 1 : n_;
    if (failed != 0) out_.reasons[failed] = frames_[failed].error;
    const int32_t upTo = out_.upTo;
    if (options_.method != kDriftClassic && upTo >= 2 &&
        DriftClassify(out_.results.data() + 1, upTo) < 0)
      return err::FailMemory(), -1;  // the only way classifying fails
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
      return "its size " + std::to_string(w) + "x" + std::to_string(h) +
             " differs from the first image's " + std::to_string(w1) + "x" + std::to_string(h1);
    if (cause[0] != '\0') return cause;
    return "no part of the central mask could be compared";
  }

  // LoadThrowing that never throws: a shortage of memory fails the load.
  bool LoadInto(int32_t k, Frame& frame, DriftWorkspace* ws) {
    try {
      return LoadThrowing(k, frame, ws);
    } catch (const std::bad_alloc&) {
      frame.outOfMemory = true;
      frame.error.clear();
      return false;
    }
  }

  bool LoadThrowing(int32_t k, Frame& frame, DriftWorkspace* ws) {
    const bool precise = options_.method == kDriftPrecise;
    fileSlots_.acquire();
    mrClearLastError();
    int32_t loaded = 0;
    try {
      loaded = LoadFrame(src_[k - 1], precise || keepImages_, limits_, &range_, &frame.images,
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
    int32_t w = 0, h = 0;
    mrGetRectInfo(frame.images.grey.get(), &w, &h);
    out_.width[k] = w;
    out_.height[k] = h;
    // Every frame but the last is a reference against the previous frame, only the first else.
    const bool reference = toPrevious_ ? k < pairHi_ : k == 1;
    mrClearLastError();
    frame.prepared = DriftFramePtr(DriftFrameCreateWith(
        frame.images.grey.get(), frame.images.source(), &options_, reference ? 1 : 0, ws));
    if (!frame.prepared) {
      frame.outOfMemory = MemoryShort();
      frame.errorKind = mrLastErrorKind();
      frame.error = mrLastError();
      return false;
    }
    frame.awaitingOutput = (callback_ != nullptr && keepImages_ && Wanted(k)) ||
                           (retry_ && k >= pairLo_ && k <= pairHi_);
    // The precise method reads the frame at its own depth while preparing it only.
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
      const DriftResult& r = out_.results[k];
      if (k > 1) {
        const bool failed = r.quality == kDriftFailed;
        const int32_t ref = out_.reference[k];
        // A failed frame's row carries the sums so far, as it always has.
        outX_ = toPrevious_ ? (failed ? outX_ : out_.dxFirst[ref]) + r.dx : r.dx;
        outY_ = toPrevious_ ? (failed ? outY_ : out_.dyFirst[ref]) + r.dy : r.dy;
        out_.dxFirst[k] = outX_;
        out_.dyFirst[k] = outY_;
        if (failed && Wanted(k)) out_.reasons[k] = FailureReason(k, causes_[k].c_str());
      }
      Frame& f = frames_[k];
      if (callback_ != nullptr && Wanted(k)) {
        SequenceFrame sf{};
        sf.frame = k;
        sf.reference = out_.reference[k];
        sf.result = r;
        sf.dxFirst = outX_;
        sf.dyFirst = outY_;
        sf.width = out_.width[k];
        sf.height = out_.height[k];
        sf.image = f.awaitingOutput ? f.images.source() : 0;
        const FrameSource& src = src_[k - 1];
        sf.name = src.name.c_str();
        sf.path = src.path.c_str();
        sf.page = src.page;
        sf.reason = out_.reasons[k].c_str();
        lock.unlock();
        int32_t stop = 0;
        try {
          stop = callback_(user_, &sf);
        } catch (...) {
          stop = 1;
        }
        lock.lock();
        if (stop != 0) stopped_ = true;
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
    }
    delivering_ = false;
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

  void ReleaseUse(int32_t j) {
    --frames_[j].usesLeft;
    ReleaseIfDone(j);
  }

  void ReleaseIfDone(int32_t j) {
    Frame& f = frames_[j];
    if (f.usesLeft <= 0 && !f.awaitingOutput && !f.pinned &&
        (f.state == Frame::kReady || f.state == Frame::kFailed)) {
      f.prepared.reset();  // before the rectangles it borrows
      f.images = LoadedFrame();
      f.state = Frame::kReleased;
      --inMemory_;
    }
  }

  // A worker thread: takes the next pair, loads what it needs, measures it.
  // Nothing in here may throw (an escaping exception ends the process):
  // shortages of memory stop the run instead.
  void Worker() {
    WorkspacePtr ws(DriftWorkspaceCreate());
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ws) outOfMemory_ = true;
    for (;;) {
      if (outOfMemory_ || stopped_ || nextPair_ > pairHi_ ||
          (firstFailed_ != 0 && nextPair_ > firstFailed_)) {
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
      ++nextPair_;
      for (int32_t j : std::span(toLoad, loads)) {
        frames_[j].state = Frame::kLoading;
        ++inMemory_;
      }
      lock.unlock();
      for (int32_t j : std::span(toLoad, loads)) {
        Frame scratch;
        const bool ok = LoadInto(j, scratch, ws.get());
        lock.lock();
        Frame& f = frames_[j];
        f.images = std::move(scratch.images);
        f.awaitingOutput = scratch.awaitingOutput;
        f.prepared = std::move(scratch.prepared);
        f.error = std::move(scratch.error);
        f.outOfMemory = scratch.outOfMemory;
        f.errorKind = scratch.errorKind;
        f.state = ok ? Frame::kReady : Frame::kFailed;
        if (!ok) LoadFailed(j);
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

  const std::vector<FrameSource>& src_;
  const int32_t n_;
  const bool toPrevious_;
  const DriftOptions options_;
  const SequenceFrameCallback callback_;
  void* const user_;
  const bool keepImages_;
  RunResults& out_;
  int threads_ = 1;
  VantorLoadLimits limits_{};  // what one file frame may take
  int32_t first_ = 1, last_ = 0;     // the wanted frames
  int32_t pairLo_ = 2, pairHi_ = 0;  // the pairs measured
  // Floating-point frames map the first frame's range (set while the first
  // frame loads, before any other does; read-only afterwards).
  GreyRange range_;
  std::vector<Frame> frames_;
  std::vector<bool> measured_;  // the frame's result is known
  std::vector<std::string> causes_ = std::vector<std::string>(frames_.size());
  int32_t nextOutput_ = 1;      // the next frame to hand over
  double outX_ = 0, outY_ = 0;  // its displacement from the first
  // Against the previous frame (not classic): frames whose reference failed
  // are measured again against lastGood_, the newest frame that did not fail.
  bool retry_ = false;
  int32_t lastGood_ = 0;
  bool delivering_ = false;
  bool stopped_ = false;  // the callback asked to stop
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
  int capacity_ = 3;
};

}  // namespace

void RunResults::Reset(size_t n) {
  results.assign(n, DriftResult{});
  dxFirst.assign(n, 0.0);
  dyFirst.assign(n, 0.0);
  width.assign(n, 0);
  height.assign(n, 0);
  reference.assign(n, 0);
  reasons.assign(n, std::string());
  failedFrame = 0;
  upTo = 0;
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

int32_t RunSequence(const std::vector<FrameSource>& sources, const SequenceOptions& options,
                    SequenceFrameCallback callback, void* user, RunResults* out) {
  Engine engine(sources, options, callback, user, out);
  return engine.Run();
}

}  // namespace vantor::seq
