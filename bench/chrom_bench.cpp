// Speed of the chromatic aberration measure and correction on a 2048 x 1536
// colour image whose red channel is the green one magnified by 1.003 and whose
// blue channel is it shrunk by 1.002, about the centre, with noise of their
// own; and of applying given scales. items/s = pixels per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "memrect/memrect.h"
#include "memrect/rect_view.h"
#include "registration/chrom.h"

namespace {

constexpr int32_t kWidth = 2048, kHeight = 1536;

int32_t Image() {
  static const int32_t h = [] {
    const int32_t r = mrCreate(24, kWidth, kHeight);
    vantor::RectView v;
    vantor::ResolveRect(r, v);
    std::mt19937 rng(5);
    const double cx = kWidth / 2, cy = kHeight / 2;
    auto tex = [&](double x, double y, double s) {
      x = cx + (x - cx) / s;
      y = cy + (y - cy) / s;
      return 128 + 60 * std::sin(x * 0.05) * std::cos(y * 0.031) + 30 * std::sin((x + y) * 0.11) +
             static_cast<double>(rng() % 8);
    };
    for (int32_t y = 0; y < kHeight; ++y)
      for (int32_t x = 0; x < kWidth; ++x) {
        uint8_t* p = v.Row(y) + 3 * x;
        p[0] = static_cast<uint8_t>(tex(x, y, 1 / 1.002));
        p[1] = static_cast<uint8_t>(tex(x, y, 1.0));
        p[2] = static_cast<uint8_t>(tex(x, y, 1.003));
      }
    return r;
  }();
  return h;
}

void BM_ChromAberrMask(benchmark::State& state) {
  const int32_t src = Image();
  double s[3] = {0, 0, 0};
  for (auto _ : state) {
    const int32_t dst = mrChromAberrMask(src, 0, 0, 0, s);
    if (dst <= 0) state.SkipWithError("failed");
    mrFree(dst);
  }
  state.counters["red"] = s[0];
  state.counters["green"] = s[1];
  state.counters["blue"] = s[2];
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_ChromScale(benchmark::State& state) {
  const int32_t src = Image();
  const double s[3] = {1.0, 1.003, 1.005};
  for (auto _ : state) {
    const int32_t dst = mrChromScale(src, 0, kWidth / 2, kHeight / 2, 0, s);
    if (dst <= 0) state.SkipWithError("failed");
    mrFree(dst);
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

BENCHMARK(BM_ChromAberrMask)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChromScale)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
