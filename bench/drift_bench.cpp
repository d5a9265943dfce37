// Time per frame of each measurement method on a 1024 x 1024 (or 2048) pair
// with noise: preparing the current frame (pyramid, full-depth grey) and
// measuring it against a prepared reference, as a sequence run does for every
// frame, with one workspace kept from frame to frame as a run's thread keeps
// it. The default method's extra over the classic one is the global check.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "registration/drift.h"
#include "registration/registration.h"
#include "tools/synthetic_image.h"

namespace {

vantor::RectOwner Grey(const std::vector<double>& v, int w, int h) {
  const auto px = vantor::tools::ToBytes(v);
  vantor::RectOwner r(mrCreate(8, w, h));
  int32_t pw, ph, pitch;
  void* p = nullptr;
  mrGetExtendedInfo(r.get(), &pw, &ph, &pitch, &p);
  for (int y = 0; y < h; ++y)
    std::memcpy(static_cast<uint8_t*>(p) + static_cast<size_t>(y) * pitch,
                px.data() + static_cast<size_t>(y) * w, static_cast<size_t>(w));
  return r;
}

// Args: side, method (0 classic, 1 default, 2 precise).
void BM_MeasureFrame(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const int32_t method = static_cast<int32_t>(state.range(1));
  auto blobs = vantor::tools::MakeBlobs(side, side, side * side / 2500 + 40, 9);
  auto va = vantor::tools::RenderValues(blobs, side, side, 0, 0);
  auto vb = vantor::tools::RenderValues(blobs, side, side, 2.3, -1.6);
  vantor::tools::AddNoise(va, 2, 1);
  vantor::tools::AddNoise(vb, 2, 2);
  vantor::RectOwner a = Grey(va, side, side), b = Grey(vb, side, side);
  vantor::RectOwner mask(CentralMaskFraction(a.get(), 0.5));
  const DriftOptions o{method, 4.0, 0.05, 3.0, 512, 0.5, kDriftTranslation};
  DriftWorkspace* ws = DriftWorkspaceCreate();
  DriftFrame* ref = DriftFrameCreateWith(a.get(), 0, &o, 1, ws);
  for (auto _ : state) {
    DriftFrame* cur = DriftFrameCreateWith(b.get(), 0, &o, 0, ws);
    DriftResult r;
    benchmark::DoNotOptimize(DriftMeasureWith(ref, cur, mask.get(), &o, ws, &r));
    DriftFrameFree(cur);
  }
  DriftFrameFree(ref);
  DriftWorkspaceFree(ws);
}

BENCHMARK(BM_MeasureFrame)
    ->ArgNames({"side", "method"})
    ->Args({1024, 0})
    ->Args({1024, 1})
    ->Args({1024, 2})
    ->Args({2048, 0})
    ->Args({2048, 1})
    ->Args({2048, 2})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
