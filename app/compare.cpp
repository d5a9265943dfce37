// Sequence comparison: every frame measured against the previous one (mode 0)
// or the first one (mode 1), frames loaded once each on all threads, pairs
// registered in any order and the rows written in list order, so that every
// thread count gives the same table. Beside the result table it can write the
// full-precision CSV with each frame's quality.
#include "app/compare.h"

#include <sched.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <semaphore>
#include <span>
#include <thread>
#include <vector>

#include "files/filelist.h"
#include "app/aligned.h"
#include "app/plot.h"
#include "files/filelist_owner.h"
#include "generic/errors.h"
#include "memrect/convert.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/rect_owner.h"
#include "registration/drift.h"
#include "registration/registration.h"

namespace vantor::app {

namespace {

constexpr double kRoundingFactor = 10.0;

// Before a library call whose failure is checked with MemoryShort.
void StartCall() { mrClearLastError(); }

// Whether the library call that just failed ran out of memory. (errno is no
// witness: allocators and tools leave ENOMEM behind after calls that worked.)
bool MemoryShort() { return mrLastErrorKind() == VANTOR_ERROR_MEMORY; }

// The cause the failed library call left ("" when none).
std::string LastCause() { return mrLastError(); }

// Ends the run for memory (the program's status 4), saying so once.
void RanOutOfMemory(RunContext& ctx) {
  if (!ctx.outOfMemory) std::fprintf(stderr, "vantor: out of memory\n");
  ctx.outOfMemory = true;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(s.data(), s.size() + 1, format, args);
  va_end(args);
  return s;
}

// A field of the CSV, quoted when it holds a separator, a quote or a line end.
std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + '"';
}

struct DriftFrameDeleter {
  void operator()(DriftFrame* f) const { DriftFrameFree(f); }
};
using DriftFramePtr = std::unique_ptr<DriftFrame, DriftFrameDeleter>;

struct DriftWorkspaceDeleter {
  void operator()(DriftWorkspace* w) const { DriftWorkspaceFree(w); }
};
// A thread's scratch memory for preparing and measuring frames; null when it
// could not be made, and each call then makes its own.
using DriftWorkspacePtr = std::unique_ptr<DriftWorkspace, DriftWorkspaceDeleter>;

// One entry of the sequence: where it is read from and how its row names it.
struct FrameRef {
  std::string path;
  std::string name;  // the file's name, with "[k]" for page k of a file of several
  int32_t page = 0;  // 1-based page of a multi-page file, 0 for a file of one
  std::string file;  // the file's name
};

// The aligned copy of a multi-page file being written: its pages go in turn,
// one frame after the other, whichever thread has them.
struct StackOutput {
  std::mutex m;
  std::condition_variable turn;
  int32_t next = 0;          // the frame whose turn it is
  int32_t firstK = 0, lastK = 0;
  AlignedStack file;
  bool open = false, failed = false;
};

// A frame while the comparison runs.
struct Frame {
  enum State { kAbsent, kLoading, kReady, kFailed, kReleased } state = kAbsent;
  RectOwner grey;
  RectOwner original;  // the frame at its own depth, kept for aligned output
  DriftFramePtr prepared;
  int usesLeft = 0;  // pairs that still need the frame
  bool awaitingOutput = false;  // its aligned copy is still to be written
  int32_t width = 0, height = 0;
  std::string error;
  bool outOfMemory = false;  // the load failed for memory
};

// Runs the comparison of one mode over the frames: loads every frame once, on
// `threads` threads, keeping at most threads + 2 frames in memory, and
// measures the pairs in any order.
class SequenceComparison {
 public:
  // Rows are written for frames first..last (1-based, within the list).
  SequenceComparison(RunContext& ctx, std::vector<FrameRef> refs, bool toPrevious, int32_t first,
                     int32_t last)
      : ctx_(ctx), refs_(std::move(refs)), n_(static_cast<int32_t>(refs_.size())),
        toPrevious_(toPrevious), aligned_(!ctx.options.alignedDir.empty()), first_(first),
        last_(last), frames_(refs_.size() + 1), results_(refs_.size() + 1),
        measured_(refs_.size() + 1, false), causes_(refs_.size() + 1) {
    // The pairs measured: those of the rows, the window of pairs around them
    // that the suspect rule compares them with, and in mode 0 every earlier
    // pair (the rows carry the running sums).
    pairLo_ = toPrevious_ ? 2 : std::max(2, first_ - DriftClassifyWindow());
    pairHi_ = std::min(n_, last_ + DriftClassifyWindow());
    for (int32_t k = 2; k <= n_; ++k) measured_[k] = k < pairLo_ || k > pairHi_;
    if (aligned_) {
      for (int32_t k = first_; k <= last_; ++k) {
        const FrameRef& f = refs_[k - 1];
        if (f.page < 1) continue;
        auto& so = stacks_[f.path];
        if (!so) {
          so = std::make_unique<StackOutput>();
          so->firstK = so->next = k;
        }
        so->lastK = k;
      }
    }
    options_.method = ctx.options.method == Method::kClassic   ? kDriftClassic
                      : ctx.options.method == Method::kPrecise ? kDriftPrecise
                                                               : kDriftDefault;
    options_.startStep = ctx.params.StartPixStep;
    options_.finalStep = ctx.params.FinPixStep;
    options_.minDiff = ctx.params.MinDiff;
    options_.coarseSize = ctx.params.CoarseSize;
    options_.maskFraction = ctx.params.MaskFraction;
    for (int32_t k = 0; k <= n_; ++k) {
      DriftResult& r = results_[k];
      r = DriftResult{};
      r.quality = kDriftOk;
      if (k >= 2 && (k < pairLo_ || k > pairHi_)) {  // not measured in this run
        r.quality = kDriftFailed;
        r.distance = -1.0;
      }
    }
  }

  // Loads the first frame and makes the mask. False when it cannot be loaded.
  bool Start() {
    Frame& first = frames_[1];
    if (!LoadFrame(1, first)) {
      ReportLoadFailure(1, first.error);
      if (first.outOfMemory) ctx_.outOfMemory = true;
      return false;
    }
    StartCall();
    mask_ = RectOwner(CentralMaskFraction(first.grey.get(), ctx_.params.MaskFraction));
    if (!mask_) {
      // Without the mask every pair would be compared whole: another table.
      if (MemoryShort()) {
        RanOutOfMemory(ctx_);
      } else {
        std::fprintf(stderr, "vantor: %s: %s\n", PathOf(1).c_str(), LastCause().c_str());
      }
      return false;
    }
    first.state = Frame::kReady;
    // Mode 1 needs the first frame for every pair, mode 0 for pair 2 only.
    first.usesLeft = toPrevious_ ? (pairHi_ >= 2 ? 1 : 0) : std::max(0, pairHi_ - pairLo_ + 1);
    first.awaitingOutput = first.awaitingOutput && first_ == 1;
    inMemory_ = 1;
    if (aligned_) {
      std::string error;
      if (!CreateOutputFolder(ctx_.options.alignedDir, &error)) {
        std::fprintf(stderr, "vantor: %s\n", error.c_str());
        ctx_.outputFailed = true;
        aligned_ = false;
      }
    }
    measured_[1] = true;
    std::unique_lock<std::mutex> lock(mutex_);
    WriteOutputs(lock);
    ReleaseIfDone(1);
    return true;
  }

  // Measures every pair. Returns the 1-based index of the first frame that
  // could not be loaded, or 0 when all were.
  int32_t Run(int threads) {
    threads = std::max(1, std::min(threads, pairHi_ - pairLo_ + 1));
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
    if (outOfMemory_) RanOutOfMemory(ctx_);
    ctx_.form.FinishStatus();
    if (firstFailed_ != 0) ReportLoadFailure(firstFailed_, frames_[firstFailed_].error);
    if (firstFailed_ != 0 && frames_[firstFailed_].outOfMemory) ctx_.outOfMemory = true;
    return firstFailed_;
  }

  // Classifies the results, appends the header and the rows to the result
  // buffer (and the CSV), and warns about every frame that is not "ok".
  // complete: every frame was loaded (otherwise no plot is drawn, as no
  // table or CSV is saved).
  void WriteRows(int32_t upTo, bool complete) {
    if (options_.method != kDriftClassic && upTo >= 2 &&
        DriftClassify(results_.data() + 1, upTo) < 0) {
      RanOutOfMemory(ctx_);  // the only way classifying fails
      return;
    }
    const std::string& firstName = refs_[0].name;
    const bool withFirst = first_ == 1;
    if (toPrevious_)
      ctx_.result += withFirst ? Format("\r\n%s:\t 0, 0, 0 , 0; (0)\r\n", firstName.c_str()) : "\r\n";
    else
      ctx_.result += "FileName\tDX\tDY\tValue\r\n" +
                     (withFirst ? Format("%s\t 0\t 0\t 0\r\n", firstName.c_str()) : "");
    const bool csv = !ctx_.options.csvPath.empty();
    if (csv) {
      ctx_.csv = "frame,file,dx,dy,dx_first,dy_first,distance,quality\n";
      if (withFirst)
        ctx_.csv += "1," + CsvField(firstName) +
                    ",0.000000,0.000000,0.000000,0.000000,0.000000,ok\n";
    }
    std::vector<PlotPoint> points;
    if (withFirst) points.push_back({1, 0.0, 0.0, PlotPoint::kOk});
    double sumX = 0.0, sumY = 0.0;
    for (int32_t k = 2; k <= std::min(upTo, last_); ++k) {
      const DriftResult& r = results_[k];
      const std::string& name = refs_[k - 1].name;
      const double dx = RoundResult(r.dx, kRoundingFactor);
      const double dy = RoundResult(r.dy, kRoundingFactor);
      const double value = RoundResult(r.distance, kRoundingFactor);
      sumX += r.dx;
      sumY += r.dy;
      if (k < first_) continue;
      if (toPrevious_) {
        ctx_.result += Format("%s:\t %.4g, %.4g;  %.6g, %.6g,  (%.4g)\r\n", name.c_str(), dx, dy,
                              RoundResult(sumX, kRoundingFactor),
                              RoundResult(sumY, kRoundingFactor), value);
      } else {
        ctx_.result += Format("%s\t%.6g\t%.6g\t%.6g\r\n", name.c_str(), dx, dy, value);
      }
      if (csv) {
        const double fx = toPrevious_ ? sumX : r.dx, fy = toPrevious_ ? sumY : r.dy;
        ctx_.csv += Format("%d,", k) + CsvField(name) +
                    Format(",%.6f,%.6f,%.6f,%.6f,%.6f,%s\n", r.dx, r.dy, fx, fy, r.distance,
                           DriftQualityName(r.quality));
      }
      const double fx = toPrevious_ ? sumX : r.dx, fy = toPrevious_ ? sumY : r.dy;
      points.push_back({k, fx, fy,
                        r.quality == kDriftRescued   ? PlotPoint::kRescued
                        : r.quality == kDriftSuspect ? PlotPoint::kSuspect
                        : r.quality == kDriftFailed  ? PlotPoint::kFailed
                                                     : PlotPoint::kOk});
      Warn(k);
    }
    if (!ctx_.options.plotPath.empty() && complete) {
      std::string error;
      const std::string& first = refs_[0].path;
      const std::string folder = first.substr(0, first.size() - refs_[0].name.size());
      const std::string title = Format("Drift of %s (%s)", folder.c_str(),
                                       toPrevious_ ? "each frame against the previous one, summed"
                                                   : "each frame against the first");
      if (!WriteDriftPlot(ctx_.options.plotPath, points, title, &error)) {
        std::fprintf(stderr, "vantor: %s\n", error.c_str());
        ctx_.outputFailed = true;
      }
    }
  }

 private:
  int32_t RefOf(int32_t k) const { return toPrevious_ ? k - 1 : 1; }
  long FramesToLoad() const {
    return pairHi_ < pairLo_ ? 1 : (toPrevious_ ? pairHi_ : pairHi_ - pairLo_ + 2);
  }
  const std::string& PathOf(int32_t k) const { return refs_[k - 1].path; }

  // LoadFrameThrowing that never throws: a shortage of memory fails the load.
  bool LoadFrame(int32_t k, Frame& frame, DriftWorkspace* ws = nullptr) {
    try {
      return LoadFrameThrowing(k, frame, ws);
    } catch (const std::bad_alloc&) {
      frame.outOfMemory = true;
      frame.error.clear();
      try {
        frame.error = "out of memory";
      } catch (const std::bad_alloc&) {
      }
      return false;
    }
  }

  bool LoadFrameThrowing(int32_t k, Frame& frame, DriftWorkspace* ws) {
    const std::string& path = PathOf(k);
    {
      std::lock_guard<std::mutex> g(formMutex_);
      // The status line counts the frames taken up so far, this one included.
      ctx_.form.ShowFile(path, ++framesStarted_, FramesToLoad());
      ctx_.form.ProcessMessages();
    }
    LoadedImages images;
    const bool precise = options_.method == kDriftPrecise;
    fileSlots_.acquire();
    StartCall();
    int32_t loaded = 0;
    try {
      loaded = LoadImages(path.c_str(), refs_[k - 1].page, precise || aligned_, &images,
                          &frame.error, &range_);
    } catch (...) {
      fileSlots_.release();
      throw;
    }
    fileSlots_.release();
    if (loaded != 1) {
      frame.outOfMemory = MemoryShort();
      return false;
    }
    mrGetRectInfo(images.grey.get(), &frame.width, &frame.height);
    // Every frame but the last is a reference in mode 0, only the first in mode 1.
    const bool reference = toPrevious_ ? k < pairHi_ : k == 1;
    StartCall();
    const int32_t asReference = reference ? 1 : 0;
    frame.prepared = DriftFramePtr(
        ws != nullptr
            ? DriftFrameCreateWith(images.grey.get(), images.source(), &options_, asReference, ws)
            : DriftFrameCreate(images.grey.get(), images.source(), &options_, asReference));
    if (!frame.prepared) {
      frame.outOfMemory = MemoryShort();
      frame.error = LastCause();
      return false;
    }
    frame.grey = std::move(images.grey);
    frame.original = std::move(images.original);
    frame.awaitingOutput = aligned_ && k >= first_ && k <= last_;
    return true;
  }

  // Writes the aligned copies of the frames whose displacement from the first
  // frame is known, in list order (mode 0 needs the sums of all earlier
  // pairs); the lock is released while a file is written.
  void WriteOutputs(std::unique_lock<std::mutex>& lock) {
    while (nextOutput_ <= last_ && measured_[nextOutput_]) {
      const int32_t k = nextOutput_++;
      const DriftResult& r = results_[k];
      if (k > 1) {
        outX_ = toPrevious_ ? outX_ + r.dx : r.dx;
        outY_ = toPrevious_ ? outY_ + r.dy : r.dy;
      }
      Frame& f = frames_[k];
      if (!f.awaitingOutput) continue;
      const bool write = k == 1 || r.quality != kDriftFailed;
      const int32_t source = f.original ? f.original.get() : f.grey.get();
      const double dx = outX_, dy = outY_;
      std::string error;
      bool ok = true;
      bool memory = false;
      if (refs_[k - 1].page >= 1) {
        lock.unlock();
        StartCall();
        ok = WriteStackPage(k, write, source, dx, dy, &error);
        memory = !ok && MemoryShort();
        lock.lock();
      } else if (write) {
        lock.unlock();
        fileSlots_.acquire();
        StartCall();
        ok = WriteAlignedFrame(ctx_.options.alignedDir, refs_[k - 1].name, source, dx, dy,
                               PathOf(k), &error);
        memory = !ok && MemoryShort();
        fileSlots_.release();
        lock.lock();
      }
      if (memory) outOfMemory_ = true;  // status 4, not a frame left unwritten
      if (!write) {
        std::fprintf(stderr, "vantor: warning: %s: no aligned copy, it could not be measured\n",
                     refs_[k - 1].page >= 1 ? (PathOf(k) + " page " +
                                               std::to_string(refs_[k - 1].page)).c_str()
                                            : PathOf(k).c_str());
      }
      if (!ok) {
        std::fprintf(stderr, "vantor: %s\n", error.c_str());
        ctx_.outputFailed = true;
      }
      f.awaitingOutput = false;
      ReleaseIfDone(k);
    }
  }

  // Appends frame k, a page of a multi-page file, to that file's aligned copy
  // when its turn comes (skipping it when write is false), and finishes the
  // copy after its last page. Called without the comparison's lock.
  bool WriteStackPage(int32_t k, bool write, int32_t source, double dx, double dy,
                      std::string* error) {
    StackOutput& so = *stacks_.at(refs_[k - 1].path);
    std::unique_lock<std::mutex> sl(so.m);
    so.turn.wait(sl, [&] { return so.next == k; });
    bool ok = true, memory = false;
    try {
      if (write && !so.failed) {
        if (!so.open) {
          int32_t w = 0, h = 0;
          const int32_t depth = mrGetRectInfo(source, &w, &h);
          const int64_t bytes = (int64_t{depth} * w + 7) / 8 * h * (so.lastK - so.firstK + 1);
          ok = so.open = so.file.Open(ctx_.options.alignedDir, refs_[k - 1].file, PathOf(k),
                                      bytes, error);
        }
        if (ok) ok = so.file.Append(source, dx, dy, error);
        so.failed = !ok;
      }
      if (ok && k == so.lastK && so.open && !so.failed) {
        ok = so.file.Finish(error);
        so.failed = !ok;
      }
    } catch (const std::bad_alloc&) {
      so.failed = true;
      memory = true;
    }
    // The next page's turn comes whatever happened to this one.
    so.next = k + 1;
    so.turn.notify_all();
    if (memory) throw std::bad_alloc();
    return ok;
  }

  void ReportLoadFailure(int32_t k, const std::string& reason) {
    // A page of a file of several is named, when the reason does not.
    const int32_t page = refs_[k - 1].page;
    const std::string where =
        page >= 1 && reason.rfind("page ", 0) != 0 ? "page " + std::to_string(page) + ": " : "";
    std::fprintf(stderr, "vantor: %s: %s%s\n", PathOf(k).c_str(), where.c_str(), reason.c_str());
  }

  // One warning line for a frame whose quality is not "ok".
  void Warn(int32_t k) {
    const DriftResult& r = results_[k];
    const int32_t ref = RefOf(k);
    const char* path = PathOf(k).c_str();
    const char* refName = refs_[ref - 1].name.c_str();
    if (r.quality == kDriftFailed) {
      std::string why;
      const Frame& f = frames_[k];
      const Frame& first = frames_[1];
      if (f.width != first.width || f.height != first.height) {
        why = Format("its size %dx%d differs from the first image's %dx%d", f.width, f.height,
                     first.width, first.height);
      } else if (causes_[k][0] != '\0') {
        why = causes_[k].data();
      } else {
        why = "no part of the central mask could be compared";
      }
      std::fprintf(stderr, "vantor: warning: %s: cannot be measured against %s (%s); its DX and "
                   "DY are not a measurement\n", path, refName, why.c_str());
    } else if (r.quality == kDriftSuspect) {
      std::fprintf(stderr, "vantor: warning: %s: the displacement (%.2f, %.2f) against %s looks "
                   "unreliable (%s)\n", path, r.dx, r.dy, refName, SuspectReason(r).c_str());
    }
    if (r.rescued) {
      std::fprintf(stderr, "vantor: warning: %s: rescued: the local search against %s ended at "
                   "(%.2f, %.2f), the global check found (%.2f, %.2f)\n", path, refName,
                   r.searchDx, r.searchDy, r.dx, r.dy);
    }
  }

  static std::string SuspectReason(const DriftResult& r) {
    if (r.focus > 2.0) return Format("it is out of focus: blurred by about %.1f pixels", r.focus);
    if (r.focus < -2.0)
      return Format("the reference is out of focus: blurred by about %.1f pixels", -r.focus);
    if (r.precision >= 1e8) return "the refinement did not converge";
    if (r.precision > 0.1) return Format("estimated error %.2f pixel", r.precision);
    if (r.inliers >= 0.0 && r.inliers < 0.5)
      return Format("only %.0f %% of the compared pixels fit", 100.0 * r.inliers);
    if (r.distinctness >= 0.0 && r.distinctness < 0.05)
      return "no displacement matches clearly better than the others";
    return Format("distance %.2f, far above the sequence's typical distance", r.distance);
  }

  // Drops one use of frame j; frees it when no pair needs it any more.
  void ReleaseUse(int32_t j) {
    --frames_[j].usesLeft;
    ReleaseIfDone(j);
  }

  void ReleaseIfDone(int32_t j) {
    Frame& f = frames_[j];
    if (f.usesLeft <= 0 && !f.awaitingOutput &&
        (f.state == Frame::kReady || f.state == Frame::kFailed)) {
      f.prepared.reset();
      f.grey = RectOwner();
      f.original = RectOwner();
      f.state = Frame::kReleased;
      --inMemory_;
    }
  }

  // A worker thread: takes the next pair, loads what it needs, measures it.
  // Nothing in here may throw (an escaping exception ends the process):
  // shortages of memory stop the run instead.
  void Worker() {
    const DriftWorkspacePtr ws(DriftWorkspaceCreate());
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (outOfMemory_ || nextPair_ > pairHi_ || (firstFailed_ != 0 && nextPair_ > firstFailed_))
        return;
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
        const bool ok = LoadFrame(j, scratch, ws.get());
        lock.lock();
        Frame& f = frames_[j];
        f.grey = std::move(scratch.grey);
        f.original = std::move(scratch.original);
        f.awaitingOutput = scratch.awaitingOutput;
        f.prepared = std::move(scratch.prepared);
        f.error = std::move(scratch.error);
        f.width = scratch.width;
        f.height = scratch.height;
        f.outOfMemory = scratch.outOfMemory;
        f.state = ok ? Frame::kReady : Frame::kFailed;
        if (!ok && (firstFailed_ == 0 || j < firstFailed_)) firstFailed_ = j;
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
        lock.unlock();
        DriftResult r;
        StartCall();
        const bool failed =
            (ws ? DriftMeasureWith(a, b, mask_.get(), &options_, ws.get(), &r)
                : DriftMeasure(a, b, mask_.get(), &options_, &r)) < 0;
        const bool memory = failed && mrLastErrorKind() == VANTOR_ERROR_MEMORY;
        char cause[160] = "";
        if (failed) std::snprintf(cause, sizeof cause, "%s", mrLastError());
        lock.lock();
        results_[k] = r;
        measured_[k] = true;
        std::memcpy(causes_[k].data(), cause, sizeof cause);
        if (memory) outOfMemory_ = true;
      }
      ReleaseUse(ref);
      ReleaseUse(k);
      if (!outOfMemory_) {
        try {
          WriteOutputs(lock);
        } catch (const std::bad_alloc&) {
          if (!lock.owns_lock()) lock.lock();
          outOfMemory_ = true;
        }
      }
      changed_.notify_all();
    }
  }

  RunContext& ctx_;
  const std::vector<FrameRef> refs_;
  const int32_t n_;
  // Floating-point frames map the first frame's range (set while the first
  // frame loads, before any other does; read-only afterwards).
  GreyRange range_;
  const bool toPrevious_;
  bool aligned_;
  const int32_t first_, last_;  // the frames whose rows are written
  std::map<std::string, std::unique_ptr<StackOutput>> stacks_;  // by the input's path
  int32_t pairLo_ = 2, pairHi_ = 0;  // the pairs measured
  DriftOptions options_{};
  std::vector<Frame> frames_;
  std::vector<DriftResult> results_;
  std::vector<bool> measured_;  // the frame's result is known
  int32_t nextOutput_ = 1;      // the next frame whose aligned copy is due
  double outX_ = 0, outY_ = 0;  // its displacement from the first frame
  RectOwner mask_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::mutex formMutex_;
  // The library reads and writes files through a table of 16 slots shared by
  // the whole process: however many threads run, at most 12 use one at once.
  std::counting_semaphore<16> fileSlots_{12};
  long framesStarted_ = 0;
  int32_t nextPair_ = 2;
  int32_t firstFailed_ = 0;
  bool outOfMemory_ = false;  // a worker ran out of memory: no further pair is started
  std::vector<std::array<char, 160>> causes_;  // why DriftMeasure failed, by frame
  int inMemory_ = 0;
  int capacity_ = 3;
};

int Compare(RunContext& ctx, char* pathBuffer, size_t filePart, bool toPrevious) {
  StartCall();
  FileListOwner list(GetAlphaFilesList(pathBuffer));
  const int32_t count = list ? list->count : -1;
  if (!list && MemoryShort()) {
    RanOutOfMemory(ctx);
    return -1;
  }
  if (count < 1) {
    std::fprintf(stderr, "vantor: no image file matches %s\n", pathBuffer);
    return -1;
  }
  const std::string folder(pathBuffer, filePart);
  std::vector<FrameRef> refs;
  refs.reserve(static_cast<size_t>(count));
  // Every page of a multi-page file is a frame, in page order.
  for (int32_t k = 1; k <= count; ++k) {
    const char* name = GetAlphaFileName(list.get(), k);
    const std::string path = folder + name;
    StartCall();
    const int32_t pages = mrPageCount(path.c_str());
    if (pages < 1 && MemoryShort()) {
      RanOutOfMemory(ctx);
      return -1;
    }
    if (pages <= 1) {
      refs.push_back({path, name, 0, name});
      continue;
    }
    for (int32_t p = 1; p <= pages; ++p)
      refs.push_back({path, std::string(name) + "[" + std::to_string(p) + "]", p, name});
  }
  const int32_t frames = static_cast<int32_t>(refs.size());
  const int32_t first = std::max(1, ctx.options.firstFrame);
  const int32_t last = ctx.options.lastFrame > 0 ? std::min(ctx.options.lastFrame, frames) : frames;
  if (first > frames) {
    std::fprintf(stderr, "vantor: --frames: %s holds %d frames, fewer than %d\n", pathBuffer,
                 frames, first);
    return -1;
  }
  ctx.framesWritten = {first, last};
  SequenceComparison run(ctx, std::move(refs), toPrevious, first, last);
  if (!run.Start()) return -1;
  const int threads = ctx.options.threads > 0 ? ctx.options.threads : DefaultThreadCount();
  const int32_t failed = run.Run(threads);
  if (ctx.outOfMemory) return -1;  // a table of what memory allowed would be wrong
  run.WriteRows(failed != 0 ? failed - 1 : frames, failed == 0);
  if (ctx.outOfMemory) return -1;
  return failed != 0 ? -1 : last - first + 1;
}

// 4-bit pixels (pixel 0 in the low nibble of its byte) spread over 0..255.
int32_t NibblesToGrey(int32_t source, int32_t grey) {
  int32_t w = 0, h = 0, sp = 0, gp = 0;
  void* s = nullptr;
  void* g = nullptr;
  if (mrGetExtendedInfo(source, &w, &h, &sp, &s) != 4 ||
      mrGetExtendedInfo(grey, &w, &h, &gp, &g) != 8)
    return -1;
  for (int32_t y = 0; y < h; ++y) {
    const auto* in = static_cast<const uint8_t*>(s) + static_cast<ptrdiff_t>(y) * sp;
    auto* out = static_cast<uint8_t*>(g) + static_cast<ptrdiff_t>(y) * gp;
    for (int32_t x = 0; x < w; ++x)
      out[x] = static_cast<uint8_t>(17 * ((in[x / 2] >> (4 * (x % 2))) & 0x0F));
  }
  return 0;
}

}  // namespace

double RoundResult(double value, double factor) {
  const double r = std::floor(std::fabs(value) * factor + 0.5) / factor;
  return value < 0.0 ? -r : r;
}

int32_t LoadImages(const char* path, int32_t page, bool keepSource, LoadedImages* out,
                   std::string* reason, GreyRange* range) {
  RectOwner source(page >= 1 ? mrReadFilePage(path, page) : mrReadFile(path));
  if (source.get() < 1) {
    source.release();
    if (reason != nullptr) *reason = mrLastLoadError();
    return 0;
  }
  int32_t w = 0, h = 0;
  const int32_t depth = mrGetRectInfo(source.get(), &w, &h);
  if (depth == 8) {
    out->grey = std::move(source);
    return 1;
  }
  RectOwner grey(mrCreate(8, w, h));
  if (grey.get() < 1) {
    grey.release();
    if (reason != nullptr) *reason = mrLastError();
    return -1;
  }
  int32_t converted = -1;
  if (depth == 24) {
    converted = mrRGBtoGray(source.get(), grey.get(), -4, 0, 0);
  } else if (depth == 4) {
    converted = NibblesToGrey(source.get(), grey.get());
  } else if (depth == 64) {
    GreyRange own;
    GreyRange& r = range != nullptr ? *range : own;
    if (!r.set) {
      if (mrFiniteMinMax(source.get(), &r.lo, &r.hi) < 0) r.lo = r.hi = 0;
      if (r.hi <= r.lo) r.hi = r.lo + 1.0;  // a flat first frame: any range will do
      r.set = true;
    }
    converted = mrDoubleToGrey(source.get(), grey.get(), r.lo, r.hi) >= 0 ? 0 : -1;
  } else if (depth == 48) {
    // 16-bit colour: the mean of the channels first, then the automatic shift.
    RectOwner wide(mrCreate(16, w, h));
    if (wide.get() >= 1 && mrRGBtoGray(source.get(), wide.get(), -4, 0, 0) >= 0)
      converted = mrConvert(wide.get(), grey.get(), -1);
  } else {
    converted = mrConvert(source.get(), grey.get(), -1);
  }
  if (converted < 0) {
    // Comparing the zeros of a failed conversion would give a meaningless row.
    if (reason != nullptr)
      *reason = MemoryShort() ? std::string("out of memory")
                              : Format("%d-bit pixels cannot be converted to grey", depth);
    return 0;
  }
  out->grey = std::move(grey);
  if (keepSource) out->original = std::move(source);
  return 1;
}

int32_t LoadGrayImage(const char* path, std::string* reason) {
  LoadedImages images;
  const int32_t status = LoadImages(path, 0, false, &images, reason);
  return status == 1 ? images.grey.release() : status;
}

int DefaultThreadCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

int CompareToPrevious(RunContext& ctx, char* pathBuffer, size_t filePart) {
  return Compare(ctx, pathBuffer, filePart, true);
}

int CompareToFirst(RunContext& ctx, char* pathBuffer, size_t filePart) {
  return Compare(ctx, pathBuffer, filePart, false);
}

}  // namespace vantor::app
