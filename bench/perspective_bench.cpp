// Speed of the registration's cost measure: one evaluation over a 1024 x 1024
// pair with the central mask (half of each side), for the scalar reference and
// the vector path. items/s = mask pixels per second.
#include <benchmark/benchmark.h>
#include <hwy/targets.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "improc/perspective_internal.h"

namespace {

constexpr int32_t kSide = 1024;

struct Pair {
  std::vector<uint8_t> a, b, mask;
  int32_t mask_pitch = kSide / 8;
  int64_t mask_pixels = 0;
  Pair() : a(kSide * kSide), b(kSide * kSide), mask(kSide / 8 * kSide, 0) {
    // Smooth texture plus noise, B shifted against A.
    std::mt19937 rng(42);
    for (int32_t y = 0; y < kSide; ++y)
      for (int32_t x = 0; x < kSide; ++x) {
        auto tex = [](double u, double v) {
          return 128 + 60 * std::sin(u * 0.05) * std::cos(v * 0.031) + 30 * std::sin((u + v) * 0.11);
        };
        a[y * kSide + x] = static_cast<uint8_t>(tex(x, y) + rng() % 8);
        b[y * kSide + x] = static_cast<uint8_t>(tex(x + 3.3, y - 1.7) + rng() % 8);
      }
    for (int32_t y = kSide / 4; y < 3 * kSide / 4; ++y)
      for (int32_t x = kSide / 4; x < 3 * kSide / 4; ++x) {
        mask[y * mask_pitch + x / 8] |= static_cast<uint8_t>(1u << (x % 8));
        ++mask_pixels;
      }
  }
};

const Pair& ThePair() {
  static const Pair pair;
  return pair;
}

constexpr double kTranslation[9] = {1, 0, 3.3, 0, 1, -1.7, 0, 0, 1};

const double* Similarity() {
  static double m[9];
  const double angle = 0.01, scale = 1.002;
  m[0] = m[4] = scale * std::cos(angle);
  m[1] = scale * std::sin(angle);
  m[3] = -m[1];
  m[2] = 3.3;
  m[5] = -1.7;
  m[6] = m[7] = 0.0;
  m[8] = 1.0;
  return m;
}

template <bool kVector>
void Run(benchmark::State& state, const double* m, int64_t target) {
  const Pair& p = ThePair();
  if (target != 0) {
    if ((hwy::SupportedTargets() & target) == 0) {
      state.SkipWithError("target not available");
      return;
    }
    hwy::SetSupportedTargetsForTest(target);
  }
  auto f = kVector ? vantor::PerspectiveMaskDiffVector : vantor::PerspectiveMaskDiffScalar;
  double value = 0.0;
  for (auto _ : state) {
    value = f(p.a.data(), kSide, kSide, kSide, p.b.data(), kSide, kSide, kSide, p.mask.data(),
              p.mask_pitch, m, 0, nullptr);
    benchmark::DoNotOptimize(value);
  }
  if (target != 0) hwy::SetSupportedTargetsForTest(0);
  state.counters["mean_square"] = value;
  state.SetItemsProcessed(state.iterations() * p.mask_pixels);
}

void BM_TranslationScalar(benchmark::State& s) { Run<false>(s, kTranslation, 0); }
void BM_TranslationVector(benchmark::State& s) { Run<true>(s, kTranslation, 0); }
void BM_TranslationVectorAVX2(benchmark::State& s) { Run<true>(s, kTranslation, HWY_AVX2); }
void BM_SimilarityScalar(benchmark::State& s) { Run<false>(s, Similarity(), 0); }
void BM_SimilarityVector(benchmark::State& s) { Run<true>(s, Similarity(), 0); }
void BM_SimilarityVectorAVX2(benchmark::State& s) { Run<true>(s, Similarity(), HWY_AVX2); }

BENCHMARK(BM_TranslationScalar)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TranslationVector)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TranslationVectorAVX2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SimilarityScalar)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SimilarityVector)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SimilarityVectorAVX2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
