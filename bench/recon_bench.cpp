// Speed of the morphological reconstruction. Binary: a 4096 x 4096 mask of
// random overlapping discs (about half the area set) with 64 seed pixels.
// Grey: a 2048 x 2048 textured image as mask and the same lowered by 40 as
// marker (the growth that finds the regional maxima). Every iteration starts
// from a fresh copy of the marker. items/s = pixels per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

#include "memrect/memrect.h"
#include "memrect/recon.h"
#include "memrect/rect_view.h"

namespace {

struct Case {
  int32_t mask, marker, work;
  int64_t pixels;
};

Case Binary() {
  constexpr int32_t kSide = 4096;
  Case c{mrCreate(1, kSide, kSide), mrCreate(1, kSide, kSide), mrCreate(1, kSide, kSide),
         int64_t{kSide} * kSide};
  vantor::RectView m;
  vantor::ResolveRect(c.mask, m);
  std::mt19937 rng(11);
  for (int i = 0; i < 9000; ++i) {
    const int32_t cx = rng() % kSide, cy = rng() % kSide, r = 4 + rng() % 36;
    for (int32_t y = std::max(0, cy - r); y <= std::min(kSide - 1, cy + r); ++y) {
      const int32_t half = static_cast<int32_t>(std::sqrt(double(r) * r - double(y - cy) * (y - cy)));
      for (int32_t x = std::max(0, cx - half); x <= std::min(kSide - 1, cx + half); ++x)
        m.Row(y)[x / 8] |= static_cast<uint8_t>(1u << (x % 8));
    }
  }
  for (int i = 0; i < 64; ++i) mrPutPixel(c.marker, rng() % kSide, rng() % kSide, 1);
  return c;
}

Case Grey() {
  constexpr int32_t kSide = 2048;
  Case c{mrCreate(8, kSide, kSide), mrCreate(8, kSide, kSide), mrCreate(8, kSide, kSide),
         int64_t{kSide} * kSide};
  vantor::RectView m, k;
  vantor::ResolveRect(c.mask, m);
  vantor::ResolveRect(c.marker, k);
  std::mt19937 rng(12);
  for (int32_t y = 0; y < kSide; ++y)
    for (int32_t x = 0; x < kSide; ++x) {
      const double v = 128 + 50 * std::sin(x * 0.021) * std::cos(y * 0.017) +
                       40 * std::sin((x - 2 * y) * 0.013) + static_cast<double>(rng() % 24);
      m.Row(y)[x] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
      k.Row(y)[x] = static_cast<uint8_t>(std::max(0, m.Row(y)[x] - 40));
    }
  return c;
}

void Run(benchmark::State& state, const Case& c) {
  int32_t result = 0;
  for (auto _ : state) {
    state.PauseTiming();
    mrMove(c.marker, c.work);
    state.ResumeTiming();
    result = mrReconstruct(c.mask, c.work);
    benchmark::DoNotOptimize(result);
  }
  state.counters["result"] = result;
  state.SetItemsProcessed(state.iterations() * c.pixels);
}

void BM_ReconstructBinary4096(benchmark::State& state) {
  static const Case c = Binary();
  Run(state, c);
}

void BM_ReconstructGrey2048(benchmark::State& state) {
  static const Case c = Grey();
  Run(state, c);
}

BENCHMARK(BM_ReconstructBinary4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReconstructGrey2048)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
