// Caller frames moved onto the first frame on several threads: each frame is
// resampled alone (ResampleAffine) into its own target, so every thread count
// writes the same.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "generic/last_error.h"
#include "improc/resample.h"
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

// The resampler's sample type and channel count of a caller layout.
void ResampleLayout(int32_t layout, int32_t* type, int32_t* channels) {
  *channels = layout == kSequenceRgb8 || layout == kSequenceRgb16 ? 3 : 1;
  *type = layout == kSequenceU8 || layout == kSequenceRgb8     ? kResampleU8
          : layout == kSequenceU16 || layout == kSequenceRgb16 ? kResampleU16
          : layout == kSequenceF32                             ? kResampleF32
                                                               : kResampleF64;
}

}  // namespace

}  // namespace vantor::seq

extern "C" int32_t SequenceAlignMemory(Sequence* s, const double* dx, const double* dy,
                                       void* const* targets, const int64_t* targetStrides,
                                       int32_t interpolation, double fill, int32_t threads) {
  return SequenceAlignMemoryMotion(s, dx, dy, nullptr, targets, targetStrides, interpolation, fill,
                                   threads);
}

extern "C" int32_t SequenceAlignMemoryMotion(Sequence* s, const double* dx, const double* dy,
                                             const double* matrices, void* const* targets,
                                             const int64_t* targetStrides, int32_t interpolation,
                                             double fill, int32_t threads) {
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
      if (targets[k] == nullptr || targetStrides[k] < row)
        return err::Fail(err::kParameter, "target %zu cannot hold the frame", k + 1), -1;
    }
    if (interpolation < kResampleNearest || interpolation > kResampleCubic)
      return err::Fail(err::kParameter, "interpolation %d is not nearest, linear or cubic",
                       interpolation), -1;
    for (size_t k = 0; k < frames.size(); ++k) {
      int32_t type = 0, channels = 0;
      vantor::seq::ResampleLayout(frames[k].layout, &type, &channels);
      if (!ResampleFillValid(type, fill))
        return err::Fail(err::kParameter, "fill %g is outside the range of frame %zu's samples",
                         fill, k + 1), -1;
    }
    // The resampler's matrices: memory's y counts as the motion's, which
    // ResampleMotionMatrix takes counting up: the matrix and dy turned over.
    std::vector<double> moves(frames.size() * 6);
    for (size_t k = 0; k < frames.size(); ++k) {
      const double* a = matrices != nullptr ? matrices + 4 * k : nullptr;
      const double up[4] = {a ? a[0] : 1, a ? -a[1] : 0, a ? -a[2] : 0, a ? a[3] : 1};
      if (ResampleMotionMatrix(up, dx[k], -dy[k], frames[k].width, frames[k].height,
                               moves.data() + 6 * k) < 0)
        return err::Fail(err::kParameter, "frame %zu's motion cannot be undone (%s)", k + 1,
                         mrLastError()), -1;
    }
    std::atomic<bool> failed{false};
    vantor::seq::ParallelFor(static_cast<int64_t>(frames.size()),
                             threads > 0 ? threads : vantor::seq::ProcessorCount(),
                             [&](int64_t k) {
                               const auto& f = frames[k];
                               int32_t type = 0, channels = 0;
                               vantor::seq::ResampleLayout(f.layout, &type, &channels);
                               if (ResampleAffine(f.data, f.width, f.height, f.stride, targets[k],
                                                  f.width, f.height, targetStrides[k], type,
                                                  channels, moves.data() + 6 * k, interpolation,
                                                  fill) < 0)
                                 failed = true;
                             });
    if (failed) return err::FailMemory(), -1;  // the only failure left
    return 0;
  });
}

extern "C" int32_t SequenceProcessorCount(void) { return vantor::seq::ProcessorCount(); }

extern "C" int64_t SequenceFrameBudget(int64_t maxFrameMemory, int32_t threads) {
  return vantor::seq::FrameBudget(maxFrameMemory, threads);
}
