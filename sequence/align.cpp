// Caller frames moved onto the first frame on several threads: each frame is
// warped alone into its own target, so every thread count writes the same.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "generic/last_error.h"
#include "improc/warp.h"
#include "sequence/engine.h"
#include "sequence/frame_source.h"
#include "sequence/sequence.h"
#include "sequence/sequence_internal.h"


namespace vantor::seq {

namespace {

namespace err = vantor::err;

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

// One frame warped; float32 goes through doubles, which the warp blends
// without rounding. False when memory is short.
bool AlignOne(const FrameSource& f, double dx, double dy, void* target, int64_t pitch) {
  const double shift[9] = {1, 0, -dx, 0, 1, -dy, 0, 0, 1};
  if (f.layout != kSequenceF32) {
    PerspectiveTrans(f.data, f.width, f.height, static_cast<int32_t>(f.stride), target, f.width,
                     f.height, static_cast<int32_t>(pitch), LayoutDepth(f.layout), shift, 0, nullptr,
                     0, 0);
    return true;
  }
  std::vector<double> src, dst;
  const size_t count = static_cast<size_t>(f.width) * static_cast<size_t>(f.height);
  try {
    src.resize(count);
    dst.resize(count);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (int32_t y = 0; y < f.height; ++y) {
    const float* s = reinterpret_cast<const float*>(static_cast<const uint8_t*>(f.data) +
                                                    y * f.stride);
    std::copy(s, s + f.width, src.data() + static_cast<size_t>(y) * f.width);
  }
  const int32_t rowBytes = f.width * 8;
  PerspectiveTrans(src.data(), f.width, f.height, rowBytes, dst.data(), f.width, f.height, rowBytes,
                   64, shift, 0, nullptr, 0, 0);
  for (int32_t y = 0; y < f.height; ++y) {
    float* d = reinterpret_cast<float*>(static_cast<uint8_t*>(target) + y * pitch);
    const double* s = dst.data() + static_cast<size_t>(y) * f.width;
    for (int32_t x = 0; x < f.width; ++x) d[x] = static_cast<float>(s[x]);
  }
  return true;
}

}  // namespace

}  // namespace vantor::seq

extern "C" int32_t SequenceAlignMemory(Sequence* s, const double* dx, const double* dy,
                                       void* const* targets, const int64_t* targetStrides,
                                       int32_t threads) {
  namespace err = vantor::err;
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (s == nullptr || dx == nullptr || dy == nullptr || targets == nullptr ||
        targetStrides == nullptr)
      return err::Fail(err::kParameter, "a null argument"), -1;
    const auto& frames = s->sources;
    for (size_t k = 0; k < frames.size(); ++k) {
      if (frames[k].data == nullptr)
        return err::Fail(err::kParameter, "frame %zu is a file, not memory", k + 1), -1;
      const int64_t row = static_cast<int64_t>(frames[k].width) *
                          vantor::seq::LayoutBytes(frames[k].layout);
      if (targets[k] == nullptr || targetStrides[k] < row || frames[k].stride > INT32_MAX ||
          targetStrides[k] > INT32_MAX)
        return err::Fail(err::kParameter, "target %zu cannot hold the frame", k + 1), -1;
    }
    std::atomic<bool> failed{false};
    vantor::seq::ParallelFor(static_cast<int64_t>(frames.size()),
                             threads > 0 ? threads : vantor::seq::ProcessorCount(),
                             [&](int64_t k) {
                               if (!vantor::seq::AlignOne(frames[k], dx[k], dy[k], targets[k],
                                                          targetStrides[k]))
                                 failed = true;
                             });
    if (failed) return err::FailMemory(), -1;
    return 0;
  });
}

extern "C" int32_t SequenceProcessorCount(void) { return vantor::seq::ProcessorCount(); }

extern "C" int64_t SequenceFrameBudget(int64_t maxFrameMemory, int32_t threads) {
  return vantor::seq::FrameBudget(maxFrameMemory, threads);
}
