// mrNeiFun on the sizes the registration meets: whole-frame masks dilated by
// the central-mask and pyramid plans, and grey frames. Each benchmark runs in
// the scalar (mode 2) and the vector (mode 3) kernel mode.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/kernel_mode.h"
#include "memrect/memrect.h"
#include "memrect/neifun.h"
#include "memrect/rect_owner.h"

namespace {

void Run(benchmark::State& state, int32_t depth, int32_t size, const char* keyword, int32_t n) {
  const int32_t mode = static_cast<int32_t>(state.range(0));
  const int32_t previous = mrUseIntelIPlib(mode);
  vantor::RectOwner img(mrCreate(depth, size, size));
  int32_t w = 0, h = 0, pitch = 0;
  void* px = nullptr;
  if (mrGetExtendedInfo(img.get(), &w, &h, &pitch, &px) < 0) {
    state.SkipWithError("no image");
    return;
  }
  const size_t bytes = static_cast<size_t>(pitch) * h;
  std::vector<uint8_t> start(bytes);
  std::mt19937 rng(1);
  for (auto& b : start) {
    // Sparse masks (a few seeds), noisy grey images.
    b = depth == 1 ? static_cast<uint8_t>(rng() % 4096 == 0) : static_cast<uint8_t>(rng());
  }
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(px, start.data(), bytes);
    state.ResumeTiming();
    benchmark::DoNotOptimize(mrNeiFun(img.get(), keyword, n));
    benchmark::ClobberMemory();
  }
  state.SetLabel(mode == 3 ? "vector" : "scalar");
  mrUseIntelIPlib(previous);
}

void BM_Mask4096_DILATEh2_1024(benchmark::State& s) { Run(s, 1, 4096, "DILATEh2", 1024); }
void BM_Mask4096_DILATEv2_1024(benchmark::State& s) { Run(s, 1, 4096, "DILATEv2", 1024); }
void BM_Mask4096_DILATE84_3(benchmark::State& s) { Run(s, 1, 4096, "DILATE84", 3); }
void BM_Grey2048_DILATE8_5(benchmark::State& s) { Run(s, 8, 2048, "DILATE8", 5); }
void BM_Grey2048_MEDIAN_1(benchmark::State& s) { Run(s, 8, 2048, "MEDIAN", 1); }

#define MODES ->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime()
BENCHMARK(BM_Mask4096_DILATEh2_1024) MODES;
BENCHMARK(BM_Mask4096_DILATEv2_1024) MODES;
BENCHMARK(BM_Mask4096_DILATE84_3) MODES;
BENCHMARK(BM_Grey2048_DILATE8_5) MODES;
BENCHMARK(BM_Grey2048_MEDIAN_1) MODES;

}  // namespace

BENCHMARK_MAIN();
