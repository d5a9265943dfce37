// Measuring a sequence on several threads: pair k is taken by the next free
// thread, which prepares frame k itself, waits for its reference (frame 0, or
// frame k - 1 which the thread before it prepares) and measures. A frame is
// freed as soon as the pairs that need it are done, so memory stays at a few
// frames per thread whatever the length of the sequence.
#include "python/src/sequence.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "generic/errors.h"
#include "improc/warp.h"
#include "registration/registration.h"

namespace vantor::pymod {

namespace {

struct DriftFrameDeleter {
  void operator()(DriftFrame* f) const { DriftFrameFree(f); }
};

struct Slot {
  enum State { kPending, kReady, kFailed } state = kPending;
  PreparedRects rects;
  std::unique_ptr<DriftFrame, DriftFrameDeleter> prepared;
  int uses = 0;  // pairs that still need the frame

  void Release() {
    prepared.reset();  // before the rectangles it borrows
    rects.grey.reset();
    rects.full.reset();
  }
};

// The failure the library call just made left in this thread's record.
Failure LastFailure() {
  Failure f{mrLastErrorKind(), mrLastError()};
  if (f.kind == VANTOR_ERROR_NONE) f.kind = VANTOR_ERROR_FAILED;
  return f;
}

bool Prepare(const FrameView& f, const FloatRange& range, const DriftOptions& options,
             bool reference, Slot* slot, Failure* error) {
  if (!PrepareRects(f, range, options.method == kDriftPrecise, &slot->rects)) {
    *error = Failure{slot->rects.errorKind, slot->rects.error};
    return false;
  }
  slot->prepared.reset(DriftFrameCreate(slot->rects.grey.get(), slot->rects.fullHandle(),
                                        &options, reference ? 1 : 0));
  if (!slot->prepared) {
    *error = LastFailure();
    return false;
  }
  return true;
}

// Runs body(i) for i = 0 .. count - 1 on up to `threads` threads.
template <typename Body>
void ParallelFor(int64_t count, int threads, Body body) {
  std::atomic<int64_t> next{0};
  auto work = [&] {
    for (int64_t i; (i = next.fetch_add(1)) < count;) body(i);
  };
  const int n = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, count)));
  std::vector<std::thread> pool;
  try {
    pool.reserve(static_cast<size_t>(n));
    for (int t = 1; t < n; ++t) pool.emplace_back(work);
  } catch (const std::exception&) {
    // No memory for another thread: the ones started share the work.
  }
  work();
  for (auto& t : pool) t.join();
}

}  // namespace

int ProcessorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

bool MeasureSequence(const std::vector<FrameView>& frames, bool previous,
                     const DriftOptions& options, int threads, std::vector<DriftResult>* results,
                     Failure* error) {
  const int64_t n = static_cast<int64_t>(frames.size());
  results->assign(static_cast<size_t>(n), DriftResult{});
  for (DriftResult& r : *results) r.quality = kDriftOk;
  if (n == 0) return true;
  FloatRange range;
  if (!FiniteRange(frames[0], &range)) {
    *error = Failure{VANTOR_ERROR_MEMORY, "out of memory for the first frame"};
    return false;
  }
  std::vector<Slot> slots(static_cast<size_t>(n));
  if (!Prepare(frames[0], range, options, n > 1, &slots[0], error)) return false;
  slots[0].state = Slot::kReady;
  if (n == 1) return true;
  Rect mask(CentralMaskFraction(slots[0].rects.grey.get(), options.maskFraction));
  if (!mask) {
    *error = LastFailure();
    return false;
  }
  slots[0].uses = previous ? 1 : static_cast<int>(n - 1);
  for (int64_t k = 1; k < n; ++k) slots[k].uses = previous && k < n - 1 ? 2 : 1;

  std::mutex mutex;
  std::condition_variable changed;
  Failure firstError;
  std::atomic<bool> stop{false};
  auto release = [&](int64_t j) {  // mutex held
    if (--slots[j].uses == 0) slots[j].Release();
  };
  ParallelFor(n - 1, threads, [&](int64_t i) {
    const int64_t k = i + 1;
    const int64_t ref = previous ? k - 1 : 0;
    Slot& cur = slots[k];
    // Nothing may escape a thread: a shortage of memory fails the frame.
    Failure why;
    bool ok = false;
    try {
      ok = !stop && Prepare(frames[k], range, options, previous && k < n - 1, &cur, &why);
    } catch (const std::bad_alloc&) {
      why.kind = VANTOR_ERROR_MEMORY;
    }
    std::unique_lock<std::mutex> lock(mutex);
    cur.state = ok ? Slot::kReady : Slot::kFailed;
    if (!ok && why.kind != 0 && firstError.kind == 0) firstError = std::move(why);
    if (!ok) stop = true;
    changed.notify_all();
    changed.wait(lock, [&] { return slots[ref].state != Slot::kPending; });
    if (ok && slots[ref].state == Slot::kReady) {
      const DriftFrame* a = slots[ref].prepared.get();
      const DriftFrame* b = cur.prepared.get();
      lock.unlock();
      DriftResult r;
      const bool failed = DriftMeasure(a, b, mask.get(), &options, &r) < 0;
      // A pair that ran short of memory is no measurement of it: the run fails.
      Failure f;
      if (failed) {
        try {
          f = LastFailure();
        } catch (const std::bad_alloc&) {
          f.kind = VANTOR_ERROR_MEMORY;
        }
      }
      lock.lock();
      (*results)[k] = r;
      if (f.kind == VANTOR_ERROR_MEMORY) {
        if (firstError.kind == 0) firstError = std::move(f);
        stop = true;
      }
    }
    release(ref);
    release(k);
  });
  slots.clear();
  if (stop) {
    *error = firstError.kind != 0 ? std::move(firstError)
                                  : Failure{VANTOR_ERROR_MEMORY, "out of memory"};
    return false;
  }
  if (options.method != kDriftClassic &&
      DriftClassify(results->data(), static_cast<int32_t>(n)) < 0) {
    *error = LastFailure();
    return false;
  }
  return true;
}

bool AlignFrames(const std::vector<FrameView>& frames, const std::vector<double>& dx,
                 const std::vector<double>& dy, const std::vector<AlignTarget>& targets,
                 int threads, Failure* error) {
  std::atomic<bool> failed{false};
  ParallelFor(static_cast<int64_t>(frames.size()), threads, [&](int64_t k) {
    const FrameView& f = frames[k];
    const double shift[9] = {1, 0, -dx[k], 0, 1, -dy[k], 0, 0, 1};
    if (f.kind != PixelKind::kF32) {
      PerspectiveTrans(f.data, f.width, f.height, static_cast<int32_t>(f.rowStride),
                       targets[k].data, f.width, f.height, static_cast<int32_t>(targets[k].pitch),
                       DepthOf(f.kind), shift, 0, nullptr, 0, 0);
      return;
    }
    // float32 through doubles: the warp blends doubles without rounding.
    std::vector<double> src, dst;
    const size_t count = static_cast<size_t>(f.width) * static_cast<size_t>(f.height);
    try {
      src.resize(count);
      dst.resize(count);
    } catch (const std::bad_alloc&) {
      failed = true;
      return;
    }
    for (int32_t y = 0; y < f.height; ++y) {
      const float* s = reinterpret_cast<const float*>(f.data + y * f.rowStride);
      std::copy(s, s + f.width, src.data() + static_cast<size_t>(y) * f.width);
    }
    const int32_t pitch = f.width * 8;
    PerspectiveTrans(src.data(), f.width, f.height, pitch, dst.data(), f.width, f.height, pitch,
                     64, shift, 0, nullptr, 0, 0);
    for (int32_t y = 0; y < f.height; ++y) {
      float* d = reinterpret_cast<float*>(targets[k].data + y * targets[k].pitch);
      const double* s = dst.data() + static_cast<size_t>(y) * f.width;
      for (int32_t x = 0; x < f.width; ++x) d[x] = static_cast<float>(s[x]);
    }
  });
  if (failed) *error = Failure{VANTOR_ERROR_MEMORY, "out of memory for a float32 frame"};
  return !failed;
}

}  // namespace vantor::pymod
