// Speed of the global start on a 1024 x 1024 frame: preparing one frame
// (block means, cleaning, FFT, whitening) and one candidate search between
// two prepared frames, at FFT sides 128 and 256.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "registration/phase_start.h"

namespace {

constexpr int32_t kSide = 1024;

// A random texture (values on a lattice 8 px apart, interpolated bilinearly)
// plus noise; the second frame displaced by (37, -21).
struct Frames {
  std::vector<float> a, b;
  Frames() : a(static_cast<size_t>(kSide) * kSide), b(a.size()) {
    std::mt19937 rng(42);
    std::normal_distribution<float> noise(0, 4);
    std::uniform_real_distribution<float> level(500, 1500);
    constexpr int32_t kStep = 8, kCells = kSide / kStep + 20, kOrigin = 64;
    std::vector<float> lattice(static_cast<size_t>(kCells) * kCells);
    for (float& v : lattice) v = level(rng);
    auto tex = [&](int32_t u, int32_t v) {
      u += kOrigin;
      v += kOrigin;
      const int32_t i = u / kStep, j = v / kStep;
      const float fu = static_cast<float>(u % kStep) / kStep,
                  fv = static_cast<float>(v % kStep) / kStep;
      const float* r0 = lattice.data() + static_cast<size_t>(j) * kCells + i;
      const float* r1 = r0 + kCells;
      return (1 - fv) * ((1 - fu) * r0[0] + fu * r0[1]) + fv * ((1 - fu) * r1[0] + fu * r1[1]);
    };
    for (int32_t y = 0; y < kSide; ++y)
      for (int32_t x = 0; x < kSide; ++x) {
        a[static_cast<size_t>(y) * kSide + x] = tex(x, y) + noise(rng);
        b[static_cast<size_t>(y) * kSide + x] = tex(x + 37, y - 21) + noise(rng);
      }
  }
};

const Frames& TheFrames() {
  static const Frames frames;
  return frames;
}

void BM_PrepareStart(benchmark::State& state) {
  const Frames& f = TheFrames();
  const int32_t size = static_cast<int32_t>(state.range(0));
  vantor::drift::StartFrame out;
  for (auto _ : state) {
    const bool ok =
        vantor::drift::PrepareStart(f.a.data(), kSide, kSide, kSide, nullptr, size, &out);
    benchmark::DoNotOptimize(ok);
  }
  state.SetItemsProcessed(state.iterations() * kSide * kSide);
}

void BM_StartCandidates(benchmark::State& state) {
  const Frames& f = TheFrames();
  const int32_t size = static_cast<int32_t>(state.range(0));
  vantor::drift::StartFrame a, b;
  vantor::drift::PrepareStart(f.a.data(), kSide, kSide, kSide, nullptr, size, &a);
  vantor::drift::PrepareStart(f.b.data(), kSide, kSide, kSide, nullptr, size, &b);
  std::vector<vantor::drift::StartCandidate> c;
  for (auto _ : state) {
    c = vantor::drift::StartCandidates(a, b, 4, 400);
    benchmark::DoNotOptimize(c.data());
  }
  state.counters["dx"] = c.empty() ? 0 : c[0].dx;
  state.counters["dy"] = c.empty() ? 0 : c[0].dy;
}

BENCHMARK(BM_PrepareStart)->Arg(128)->Arg(256)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StartCandidates)->Arg(128)->Arg(256)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
