#include "app/compare.h"

#include <sched.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "files/filelist.h"
#include "files/filelist_owner.h"
#include "memrect/convert.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/rect_owner.h"
#include "registration/registration.h"

namespace vantor::app {

namespace {

constexpr double kRoundingFactor = 10.0;
constexpr int32_t kRegistrationFlags = kRegFixS | kRegFixA;  // 3072: shift only, bilinear

std::string FormatRow(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatRow(const char* format, ...) {
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

// A frame of the sequence while the comparison runs.
struct Frame {
  enum State { kAbsent, kLoading, kReady, kFailed, kReleased } state = kAbsent;
  RectOwner image;
  int usesLeft = 0;  // pairs that still need the frame
  std::string error;
};

// The per-image outcome of the registration.
struct PairResult {
  std::array<double, 4> record{0.0, 0.0, 0.0, 0.0};
  double distance = 0.0;
  bool done = false;
};

// Runs the comparison of one mode over the list: loads every frame once, on
// `threads` threads, keeping at most threads + 2 frames in memory, and
// registers the pairs in any order; the caller writes the rows in list order.
class SequenceComparison {
 public:
  SequenceComparison(RunContext& ctx, const VantorFileList* list, int32_t count, bool toPrevious,
                     std::string folder)
      : ctx_(ctx), list_(list), n_(count), toPrevious_(toPrevious), folder_(std::move(folder)),
        frames_(static_cast<size_t>(count) + 1), results_(static_cast<size_t>(count) + 1),
        imageSizes_(static_cast<size_t>(count) + 1, {0, 0}) {}

  // Loads the first image and makes the mask. False when it cannot be loaded.
  bool Start() {
    Frame& first = frames_[1];
    if (!LoadFrame(1, first)) {
      ReportLoadFailure(1, first.error);
      return false;
    }
    int32_t w = 0, h = 0;
    mrGetRectInfo(first.image.get(), &w, &h);
    firstWidth_ = w;
    firstHeight_ = h;
    imageSizes_[1] = {w, h};
    mask_ = RectOwner(CentralMask(first.image.get()));
    first.state = Frame::kReady;
    // Mode 1 needs the first image for every pair, mode 0 for pair 2 only.
    first.usesLeft = toPrevious_ ? (n_ >= 2 ? 1 : 0) : n_ - 1;
    inMemory_ = 1;
    return true;
  }

  // Registers every pair. Returns the 1-based index of the first image that
  // could not be loaded, or 0 when all were.
  int32_t Run(int threads) {
    threads = std::max(1, std::min(threads, n_ - 1));
    capacity_ = threads + 2;
    for (int32_t k = 2; k <= n_; ++k) frames_[k].usesLeft = (toPrevious_ && k < n_) ? 2 : 1;
    nextPair_ = 2;
    if (n_ >= 2) {
      std::vector<std::thread> pool;
      for (int t = 1; t < threads; ++t) pool.emplace_back([this] { Worker(); });
      Worker();
      for (auto& th : pool) th.join();
    }
    ctx_.form.FinishStatus();
    if (firstFailed_ != 0) ReportLoadFailure(firstFailed_, frames_[firstFailed_].error);
    return firstFailed_;
  }

  // Appends the header and the rows to the result buffer.
  void WriteRows(int32_t upTo) {
    const char* firstName = GetAlphaFileName(list_, 1);
    if (toPrevious_)
      ctx_.result += FormatRow("\r\n%s:\t 0, 0, 0 , 0; (0)\r\n", firstName);
    else
      ctx_.result += FormatRow("FileName\tDX\tDY\tValue\r\n%s\t 0\t 0\t 0\r\n", firstName);
    double sumX = 0.0, sumY = 0.0;
    for (int32_t k = 2; k <= upTo; ++k) {
      const PairResult& r = results_[k];
      const char* name = GetAlphaFileName(list_, k);
      const double dx = RoundResult(r.record[0], kRoundingFactor);
      const double dy = RoundResult(r.record[1], kRoundingFactor);
      const double value = RoundResult(r.distance, kRoundingFactor);
      if (toPrevious_) {
        sumX += r.record[0];
        sumY += r.record[1];
        ctx_.result += FormatRow("%s:\t %.4g, %.4g;  %.6g, %.6g,  (%.4g)\r\n", name, dx, dy,
                                 RoundResult(sumX, kRoundingFactor),
                                 RoundResult(sumY, kRoundingFactor), value);
      } else {
        ctx_.result += FormatRow("%s\t%.6g\t%.6g\t%.6g\r\n", name, dx, dy, value);
      }
      if (r.distance < 0.0) WarnUnmeasured(k);
    }
  }

 private:
  std::string PathOf(int32_t k) const { return folder_ + GetAlphaFileName(list_, k); }

  bool LoadFrame(int32_t k, Frame& frame) {
    const std::string path = PathOf(k);
    {
      std::lock_guard<std::mutex> g(formMutex_);
      // The status line counts the frames taken up so far, this one included.
      ctx_.form.ShowFile(path, ++framesStarted_, n_);
      ctx_.form.ProcessMessages();
    }
    std::string reason;
    int32_t h = LoadGrayImage(path.c_str(), &reason);
    if (h < 1) {
      frame.error = reason.empty() ? "the image cannot be loaded" : reason;
      return false;
    }
    frame.image = RectOwner(h);
    return true;
  }

  void ReportLoadFailure(int32_t k, const std::string& reason) {
    std::fprintf(stderr, "vantor: %s: %s\n", PathOf(k).c_str(), reason.c_str());
  }

  void WarnUnmeasured(int32_t k) {
    const int32_t ref = toPrevious_ ? k - 1 : 1;
    std::string why;
    if (imageSizes_[k].first != firstWidth_ || imageSizes_[k].second != firstHeight_) {
      why = FormatRow("its size %dx%d differs from the first image's %dx%d",
                      imageSizes_[k].first, imageSizes_[k].second, firstWidth_, firstHeight_);
    } else {
      why = "no part of the central mask could be compared";
    }
    std::fprintf(stderr, "vantor: warning: %s: cannot be measured against %s (%s); its DX and DY "
                 "are not a measurement\n", PathOf(k).c_str(), GetAlphaFileName(list_, ref),
                 why.c_str());
  }

  // Drops one use of frame j; frees it when no pair needs it any more.
  void ReleaseUse(int32_t j) {
    Frame& f = frames_[j];
    if (--f.usesLeft == 0 && (f.state == Frame::kReady || f.state == Frame::kFailed)) {
      f.image = RectOwner();
      f.state = Frame::kReleased;
      --inMemory_;
    }
  }

  void Worker() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (nextPair_ > n_ || (firstFailed_ != 0 && nextPair_ > firstFailed_)) return;
      const int32_t k = nextPair_;
      const int32_t ref = toPrevious_ ? k - 1 : 1;
      // Frames this pair still has to load (the first frame is loaded already).
      std::vector<int32_t> toLoad;
      for (int32_t j : {ref, k})
        if (frames_[j].state == Frame::kAbsent && j != 1) toLoad.push_back(j);
      if (inMemory_ + static_cast<int>(toLoad.size()) > capacity_ && inMemory_ > 0) {
        changed_.wait(lock);
        continue;
      }
      ++nextPair_;
      for (int32_t j : toLoad) {
        frames_[j].state = Frame::kLoading;
        ++inMemory_;
      }
      lock.unlock();
      for (int32_t j : toLoad) {
        Frame scratch;
        bool ok = LoadFrame(j, scratch);
        int32_t w = 0, h = 0;
        if (ok) mrGetRectInfo(scratch.image.get(), &w, &h);
        lock.lock();
        frames_[j].image = std::move(scratch.image);
        frames_[j].error = std::move(scratch.error);
        frames_[j].state = ok ? Frame::kReady : Frame::kFailed;
        imageSizes_[j] = {w, h};
        if (!ok && (firstFailed_ == 0 || j < firstFailed_)) firstFailed_ = j;
        changed_.notify_all();
        lock.unlock();
      }
      lock.lock();
      changed_.wait(lock, [&] {
        return frames_[ref].state != Frame::kLoading && frames_[k].state != Frame::kLoading;
      });
      const bool ready =
          frames_[ref].state == Frame::kReady && frames_[k].state == Frame::kReady;
      if (ready) {
        const int32_t a = frames_[ref].image.get();
        const int32_t b = frames_[k].image.get();
        lock.unlock();
        PairResult r;
        r.distance = RegisterPair(a, b, mask_.get(), r.record.data(), ctx_.params.StartPixStep,
                                  ctx_.params.FinPixStep, ctx_.params.MinDiff,
                                  ctx_.params.CoarseSize, ctx_.params.TimeLimit,
                                  kRegistrationFlags);
        r.done = true;
        lock.lock();
        results_[k] = r;
      }
      ReleaseUse(ref);
      ReleaseUse(k);
      changed_.notify_all();
    }
  }

  RunContext& ctx_;
  const VantorFileList* list_;
  const int32_t n_;
  const bool toPrevious_;
  const std::string folder_;
  std::vector<Frame> frames_;
  std::vector<PairResult> results_;
  std::vector<std::pair<int32_t, int32_t>> imageSizes_;
  RectOwner mask_;
  int32_t firstWidth_ = 0, firstHeight_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::mutex formMutex_;
  long framesStarted_ = 0;
  int32_t nextPair_ = 2;
  int32_t firstFailed_ = 0;
  int inMemory_ = 0;
  int capacity_ = 3;
};

int Compare(RunContext& ctx, char* pathBuffer, size_t filePart, bool toPrevious) {
  SetMaskFraction(ctx.params.MaskFraction);
  FileListOwner list(GetAlphaFilesList(pathBuffer));
  const int32_t count = list ? list->count : -1;
  if (count < 1) {
    std::fprintf(stderr, "vantor: no image file matches %s\n", pathBuffer);
    return -1;
  }
  std::string folder(pathBuffer, filePart);
  SequenceComparison run(ctx, list.get(), count, toPrevious, folder);
  if (!run.Start()) return -1;
  int threads = ctx.threads > 0 ? ctx.threads : DefaultThreadCount();
  int32_t failed = run.Run(threads);
  run.WriteRows(failed != 0 ? failed - 1 : count);
  // The buffer names the last file handled, as the sequential run leaves it.
  const char* last = GetAlphaFileName(list.get(), failed != 0 ? failed : count);
  if (last != nullptr && filePart + std::strlen(last) < kPathBufferSize)
    std::memcpy(pathBuffer + filePart, last, std::strlen(last) + 1);
  return failed != 0 ? -1 : count;
}

}  // namespace

double RoundResult(double value, double factor) {
  const double r = std::floor(std::fabs(value) * factor + 0.5) / factor;
  return value < 0.0 ? -r : r;
}

int32_t LoadGrayImage(const char* path, std::string* reason) {
  RectOwner source(mrReadFile(path));
  if (source.get() < 1) {
    source.release();
    if (reason != nullptr) *reason = mrLastLoadError();
    return 0;
  }
  int32_t w = 0, h = 0;
  const int32_t depth = mrGetRectInfo(source.get(), &w, &h);
  if (depth == 8) return source.release();
  RectOwner grey(mrCreate(8, w, h));
  if (grey.get() < 1) {
    grey.release();
    if (reason != nullptr) *reason = "out of memory for the grey image";
    return -1;
  }
  int32_t converted = -1;
  if (depth == 24) {
    converted = mrRGBtoGray(source.get(), grey.get(), -4, 0, 0);
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
    if (reason != nullptr) *reason = FormatRow("%d-bit pixels cannot be converted to grey", depth);
    return 0;
  }
  return grey.release();
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
