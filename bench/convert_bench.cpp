// Depth conversions on a 2048 x 2048 image against memcpy of the source bytes.
// Every case reports the source bytes it reads, so bytes_per_second compares
// directly with the memcpy case of the same source depth.
//
// The batch run's two paths: 24-bit colour to grey with weights -4, 0, 0, and
// 16- or 32-bit to 8-bit with the automatic shift (mode -1). "Scalar" runs
// with the kernel mode forced to the scalar kernels. The conversions run on
// memory rectangles through mrRGBtoGray and mrConvert, as the batch run calls them.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/kernel_mode.h"
#include "memrect/convert.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"

namespace {

constexpr int32_t kSide = 2048;

// A 2048 x 2048 rectangle of random bytes, every period-th byte masked.
vantor::RectOwner RandomImage(int32_t depth, uint8_t highMask, size_t period) {
  vantor::RectOwner h(mrCreate(depth, kSide, kSide));
  int32_t pitch = 0;
  void* pixels = nullptr;
  mrGetExtendedInfo(h.get(), nullptr, nullptr, &pitch, &pixels);
  auto* p = static_cast<uint8_t*>(pixels);
  std::mt19937 rng(7);
  for (size_t i = 0; i < static_cast<size_t>(pitch) * kSide; ++i) {
    p[i] = static_cast<uint8_t>(rng());
    if (i % period == period - 1) p[i] &= highMask;
  }
  return h;
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
  const auto src = RandomImage(24, 0xFF, 1);
  const vantor::RectOwner dst(mrCreate(8, kSide, kSide));
  WithMode(state, static_cast<int32_t>(state.range(0)), 3u * kSide * kSide,
           [&] { return mrRGBtoGray(src.get(), dst.get(), -4, 0, 0); });
}
BENCHMARK(Rgb24ToGreyMean)->ArgName("mode")->Arg(0)->Arg(2)->Unit(benchmark::kMicrosecond);

void Convert16to8Auto(benchmark::State& state) {
  // 12-bit data: the automatic shift is 4.
  const auto src = RandomImage(16, 0x0F, 2);
  const vantor::RectOwner dst(mrCreate(8, kSide, kSide));
  WithMode(state, static_cast<int32_t>(state.range(0)), 2u * kSide * kSide,
           [&] { return mrConvert(src.get(), dst.get(), -1); });
}
BENCHMARK(Convert16to8Auto)->ArgName("mode")->Arg(0)->Arg(2)->Unit(benchmark::kMicrosecond);

void Convert32to8Auto(benchmark::State& state) {
  // 24-bit data: the automatic shift is 16.
  const auto src = RandomImage(32, 0x00, 4);
  const vantor::RectOwner dst(mrCreate(8, kSide, kSide));
  WithMode(state, static_cast<int32_t>(state.range(0)), 4u * kSide * kSide,
           [&] { return mrConvert(src.get(), dst.get(), -1); });
}
BENCHMARK(Convert32to8Auto)->ArgName("mode")->Arg(0)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
