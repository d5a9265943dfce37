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

// Smooth texture plus noise, the second displaced by (37, -21).
struct Frames {
  std::vector<float> a, b;
  Frames() : a(static_cast<size_t>(kSide) * kSide), b(a.size()) {
    std::mt19937 rng(42);
    std::normal_distribution<float> noise(0, 4);
    auto tex = [](double u, double v) {
      return 1000 + 300 * std::sin(u * 0.05) * std::cos(v * 0.031) + 150 * std::sin((u + v) * 0.11);
    };
    for (int32_t y = 0; y < kSide; ++y)
      for (int32_t x = 0; x < kSide; ++x) {
        a[static_cast<size_t>(y) * kSide + x] = static_cast<float>(tex(x, y)) + noise(rng);
        b[static_cast<size_t>(y) * kSide + x] = static_cast<float>(tex(x + 37, y - 21)) + noise(rng);
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
    const bool ok = vantor::drift::PrepareStart(f.a.data(), kSide, kSide, kSide, nullptr, size, &out);
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
