// Speed of the whole-pixel shift search: the walk of mrFindShift over a
// 1024 x 1024 pair with the central-half mask, radius 4, true displacement
// (9, -6) from the start (0, 0); and one evaluation of the masked difference
// at that displacement, scalar reference against the vector path.
// items/s = mask pixels per second.
#include <benchmark/benchmark.h>
#include <hwy/targets.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "improc/shift_internal.h"
#include "memrect/memrect.h"
#include "memrect/rect_view.h"
#include "registration/shift.h"

namespace {

constexpr int32_t kSide = 1024;
constexpr int32_t kDx = 9, kDy = -6;

// Smooth texture plus noise; B holds A's picture displaced by (9, -6) with
// noise of its own.
struct Pair {
  int32_t a, b, mask;
  int64_t mask_pixels = 0;
  Pair() : a(mrCreate(8, kSide, kSide)), b(mrCreate(8, kSide, kSide)), mask(mrCreate(1, kSide, kSide)) {
    std::mt19937 rng(42);
    auto tex = [](double u, double v) {
      return 128 + 60 * std::sin(u * 0.05) * std::cos(v * 0.031) + 30 * std::sin((u + v) * 0.11);
    };
    vantor::RectView va, vb;
    vantor::ResolveRect(a, va);
    vantor::ResolveRect(b, vb);
    for (int32_t y = 0; y < kSide; ++y)
      for (int32_t x = 0; x < kSide; ++x) {
        va.Row(y)[x] = static_cast<uint8_t>(tex(x, y) + rng() % 8);
        vb.Row(y)[x] = static_cast<uint8_t>(tex(x - kDx, y - kDy) + rng() % 8);
      }
    for (int32_t y = kSide / 4; y < 3 * kSide / 4; ++y)
      for (int32_t x = kSide / 4; x < 3 * kSide / 4; ++x) {
        mrPutPixel(mask, x, y, 1);
        ++mask_pixels;
      }
  }
};

const Pair& ThePair() {
  static const Pair pair;
  return pair;
}

void BM_FindShift(benchmark::State& state) {
  const Pair& p = ThePair();
  int32_t x = 0, y = 0;
  double value = 0;
  for (auto _ : state) {
    x = y = 0;
    value = mrFindShift(p.a, p.b, p.mask, 4, &x, &y);
    benchmark::DoNotOptimize(value);
  }
  if (x != kDx || y != kDy) state.SkipWithError("wrong displacement");
  state.counters["distance"] = value;
}

template <bool kVector>
void BM_ShiftMaskDiff(benchmark::State& state) {
  const Pair& p = ThePair();
  vantor::RectView a, b, m;
  vantor::ResolveRect(p.a, a);
  vantor::ResolveRect(p.b, b);
  vantor::ResolveRect(p.mask, m);
  vantor::ShiftArgs s;
  s.a = a.pixels;
  s.width = a.width;
  s.height = a.height;
  s.aPitch = a.pitch;
  s.b = b.pixels;
  s.bPitch = b.pitch;
  s.mask = m.pixels;
  s.maskPitch = m.pitch;
  s.x = kDx;
  s.y = kDy;
  s.bound = 1e300;
  vantor::ShiftSums r;
  for (auto _ : state) {
    r = kVector ? vantor::ShiftDiffVector(s) : vantor::ShiftDiffScalar(s);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations() * p.mask_pixels);
  state.counters["count"] = static_cast<double>(r.count);
}

BENCHMARK(BM_FindShift)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShiftMaskDiff<false>)->Name("BM_ShiftMaskDiffScalar")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShiftMaskDiff<true>)->Name("BM_ShiftMaskDiffVector")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
