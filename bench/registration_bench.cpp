// The pair registration with the batch parameters (start step 4, final step
// 0.05, flags 3072), on pairs displaced by a few pixels: time per pair, cost
// evaluations per level, and the share of the time spent in the cost.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "kernels/kernel_mode.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "registration/registration.h"
#include "registration/registration_internal.h"
#include "tools/synthetic_image.h"

namespace {

vantor::RectOwner Grey(const std::vector<uint8_t>& px, int w, int h) {
  vantor::RectOwner r(mrCreate(8, w, h));
  int32_t pw, ph, pitch;
  void* p = nullptr;
  mrGetExtendedInfo(r.get(), &pw, &ph, &pitch, &p);
  for (int y = 0; y < h; ++y)
    std::memcpy(static_cast<uint8_t*>(p) + static_cast<size_t>(y) * pitch,
                px.data() + static_cast<size_t>(y) * w, static_cast<size_t>(w));
  return r;
}

// Args: side, kernel mode (2 scalar, 3 vector), minimum difference.
void BM_RegisterPair(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const int32_t previous = mrUseIntelIPlib(static_cast<int32_t>(state.range(1)));
  const double minDiff = static_cast<double>(state.range(2));
  auto blobs = vantor::tools::MakeBlobs(side, side, side * side / 2500 + 40, 9);
  vantor::RectOwner a = Grey(vantor::tools::RenderBlobs(blobs, side, side, 0, 0), side, side);
  vantor::RectOwner b = Grey(vantor::tools::RenderBlobs(blobs, side, side, 2.3, -1.6), side, side);
  vantor::RectOwner mask(CentralMask(a.get()));
  vantor::RegisterStats stats;
  double costMs = 0;
  for (auto _ : state) {
    double rec[4];
    stats = vantor::RegisterStats{};
    benchmark::DoNotOptimize(vantor::RegisterPairWithStats(a.get(), b.get(), mask.get(), rec, 4,
                                                           0.05, minDiff, 512, 0, 3072, &stats));
    costMs += stats.costMilliseconds;
  }
  state.counters["coarse_evals"] = stats.coarseEvaluations;
  state.counters["fine_evals"] = stats.fineEvaluations;
  state.counters["cost_ms_per_pair"] = costMs / static_cast<double>(state.iterations());
  mrUseIntelIPlib(previous);
}

// One cost evaluation on a tiny pair, where the time is what surrounds the
// pixel loop: through handles (PairCost: a matrix wrapped as an extern
// rectangle and three handles resolved every time) or resolved once per
// search (what RegisterPair does).
void BM_CostEvaluation(benchmark::State& state) {
  const bool resolved = state.range(0) != 0;
  auto blobs = vantor::tools::MakeBlobs(16, 16, 4, 3);
  vantor::RectOwner a = Grey(vantor::tools::RenderBlobs(blobs, 16, 16, 0, 0), 16, 16);
  vantor::RectOwner b = Grey(vantor::tools::RenderBlobs(blobs, 16, 16, 0.5, 0.2), 16, 16);
  vantor::RectOwner mask(CentralMask(a.get()));
  PairCostContext handles{a.get(), b.get(), mask.get(), 0};
  const vantor::ResolvedPair pair = vantor::ResolvePair(a.get(), b.get(), mask.get(), 0);
  double p[4] = {0.3, -0.2, 1.0, 0.0};
  for (auto _ : state) {
    p[0] += 1e-9;
    benchmark::DoNotOptimize(resolved ? vantor::ResolvedCost(p, const_cast<vantor::ResolvedPair*>(&pair))
                                      : PairCost(p, &handles));
  }
}
BENCHMARK(BM_CostEvaluation)->ArgName("resolved")->Arg(0)->Arg(1)->Threads(1)->Threads(2);

BENCHMARK(BM_RegisterPair)
    ->ArgNames({"side", "mode", "mindiff"})
    ->Args({1024, 3, 3})
    ->Args({1024, 3, 0})
    ->Args({1024, 2, 3})
    ->Args({2048, 3, 3})
    ->Args({2048, 3, 0})
    ->Args({2048, 2, 3})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
