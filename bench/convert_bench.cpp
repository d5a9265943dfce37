// Depth conversions on a 2048 x 2048 image against memcpy of the source bytes.
// Every case reports the source bytes it reads, so bytes_per_second compares
// directly with the memcpy case of the same source depth.
//
// The batch run's two paths: 24-bit colour to grey with weights -4, 0, 0, and
// 16- or 32-bit to 8-bit with the automatic shift (mode -1). "Scalar" runs
// with the kernel mode forced to the scalar kernels.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "generic/convert_rows.h"
#include "kernels/kernel_mode.h"

namespace {

constexpr int32_t kSide = 2048;

std::vector<uint8_t> RandomBytes(size_t n, uint8_t highMask, size_t period) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(7);
  for (size_t i = 0; i < n; ++i) {
    v[i] = static_cast<uint8_t>(rng());
    if (i % period == period - 1) v[i] &= highMask;
  }
  return v;
}

void Memcpy(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(kSide) * kSide * state.range(0) / 8;
  std::vector<uint8_t> src(bytes, 1), dst(bytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(Memcpy)->ArgName("depth")->Arg(16)->Arg(24)->Arg(32)->Unit(benchmark::kMicrosecond);

// Runs f with the kernel mode forced to `mode` (0 automatic, 2 scalar).
template <typename F>
void WithMode(benchmark::State& state, int32_t mode, size_t srcBytes, F&& f) {
  const int32_t previous = mrUseIntelIPlib(mode);
  for (auto _ : state) {
    benchmark::DoNotOptimize(f());
    benchmark::ClobberMemory();
  }
  mrUseIntelIPlib(previous);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * srcBytes));
}

void Rgb24ToGreyMean(benchmark::State& state) {
  const auto src = RandomBytes(3u * kSide * kSide, 0xFF, 1);
  std::vector<uint8_t> dst(static_cast<size_t>(kSide) * kSide);
  WithMode(state, static_cast<int32_t>(state.range(0)), src.size(), [&] {
    return RGBtoGray(dst.data(), kSide, kSide, kSide, src.data(), 3 * kSide, -4, 0, 0);
  });
}
BENCHMARK(Rgb24ToGreyMean)->ArgName("mode")->Arg(0)->Arg(2)->Unit(benchmark::kMicrosecond);

void Convert16to8Auto(benchmark::State& state) {
  // 12-bit data: the automatic shift is 4.
  const auto src = RandomBytes(2u * kSide * kSide, 0x0F, 2);
  std::vector<uint8_t> dst(static_cast<size_t>(kSide) * kSide);
  WithMode(state, static_cast<int32_t>(state.range(0)), src.size(), [&] {
    return Convert16to8(src.data(), 2 * kSide, kSide, kSide, dst.data(), kSide, -1);
  });
}
BENCHMARK(Convert16to8Auto)->ArgName("mode")->Arg(0)->Arg(2)->Unit(benchmark::kMicrosecond);

void Convert32to8Auto(benchmark::State& state) {
  // 24-bit data: the automatic shift is 16.
  const auto src = RandomBytes(4u * kSide * kSide, 0x00, 4);
  std::vector<uint8_t> dst(static_cast<size_t>(kSide) * kSide);
  WithMode(state, static_cast<int32_t>(state.range(0)), src.size(), [&] {
    return Convert32to8(src.data(), 4 * kSide, kSide, kSide, dst.data(), kSide, -1);
  });
}
BENCHMARK(Convert32to8Auto)->ArgName("mode")->Arg(0)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
