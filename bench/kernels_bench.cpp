// The hot kernels on a 2048 x 2048 image: vector kernel, its scalar twin and
// memcpy of the bytes the kernel reads, in one run. Throughput is reported as
// bytes read per second, so the memcpy rows are the yardstick.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/kernels.h"
#include "improc/nei.h"
#include "kernels/kernels_scalar.h"

namespace {

constexpr int32_t kSide = 2048;
constexpr size_t kBytes = size_t{kSide} * kSide;
constexpr int32_t kMaskPitch = kSide / 8;
constexpr size_t kMaskBytes = size_t{kMaskPitch} * kSide;

struct Data {
  std::vector<uint8_t> a, b, c, mask, mask2;
  Data() : a(kBytes), b(kBytes), c(kBytes), mask(kMaskBytes), mask2(kMaskBytes) {
    std::mt19937 rng(7);
    for (auto& v : a) v = static_cast<uint8_t>(rng());
    for (auto& v : b) v = static_cast<uint8_t>(rng());
    // A sparse mask, so that dilations have work to do.
    for (auto& v : mask) v = (rng() % 16 == 0) ? static_cast<uint8_t>(1u << (rng() % 8)) : 0;
  }
};

Data& D() {
  static Data d;
  return d;
}

void Finish(benchmark::State& state, size_t bytesRead) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytesRead));
}

void BM_Memcpy(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> src(n, 1), dst(n);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), n);
    benchmark::ClobberMemory();
  }
  Finish(state, n);
}
BENCHMARK(BM_Memcpy)->Arg(kMaskBytes)->Arg(kBytes)->Arg(2 * kBytes);

template <bool kVector>
void BM_MMM(benchmark::State& state) {
  Data& d = D();
  const int32_t code = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    if (kVector)
      tmMMM(d.a.data(), d.b.data(), d.c.data(), kSide, kSide, kSide, kSide, kSide, code);
    else
      vantor::scalar::tmMMM(d.a.data(), d.b.data(), d.c.data(), kSide, kSide, kSide, kSide, kSide, code);
    benchmark::ClobberMemory();
  }
  Finish(state, 2 * kBytes);
}
BENCHMARK(BM_MMM<true>)->Name("MMM/vector")->Arg(17)->Arg(28);
BENCHMARK(BM_MMM<false>)->Name("MMM/scalar")->Arg(17)->Arg(28);

template <bool kVector>
void BM_ThreshMaskB(benchmark::State& state) {
  Data& d = D();
  for (auto _ : state) {
    if (kVector)
      tmThreshMaskB(d.a.data(), 100, d.mask2.data(), kSide, kSide, kSide, kMaskPitch, 0xB);
    else
      vantor::scalar::tmThreshMaskB(d.a.data(), 100, d.mask2.data(), kSide, kSide, kSide, kMaskPitch, 0xB);
    benchmark::ClobberMemory();
  }
  Finish(state, kBytes);
}
BENCHMARK(BM_ThreshMaskB<true>)->Name("ThreshMaskB/vector");
BENCHMARK(BM_ThreshMaskB<false>)->Name("ThreshMaskB/scalar");

template <bool kVector>
void BM_MaskOnes(benchmark::State& state) {
  Data& d = D();
  int64_t n = 0;
  for (auto _ : state) {
    n += kVector ? tmMaskOnes(d.mask.data(), 0, 0, kSide, kSide, kMaskPitch)
                 : vantor::scalar::tmMaskOnes(d.mask.data(), 0, 0, kSide, kSide, kMaskPitch);
    benchmark::DoNotOptimize(n);
  }
  Finish(state, kMaskBytes);
}
BENCHMARK(BM_MaskOnes<true>)->Name("MaskOnes/vector");
BENCHMARK(BM_MaskOnes<false>)->Name("MaskOnes/scalar");

// Byte runs: args (vertical, n); dilation from a into c.
template <bool kVector>
void BM_ByteNei(benchmark::State& state) {
  Data& d = D();
  const bool vertical = state.range(0) != 0;
  const int32_t n = static_cast<int32_t>(state.range(1));
  for (auto _ : state) {
    if (kVector) {
      (vertical ? tmByteNeiV2 : tmByteNeiH2)(d.a.data(), d.c.data(), kSide, kSide, kSide, kSide, 0, n);
    } else {
      // The scalar filter runs in place: the same work on c.
      NeiMem(d.c.data(), kSide, kSide, kSide, vertical ? 25 : 23, n);
    }
    benchmark::ClobberMemory();
  }
  Finish(state, kBytes);
}
BENCHMARK(BM_ByteNei<true>)->Name("ByteNei/vector")->ArgNames({"vertical", "n"})
    ->Args({0, 1})->Args({1, 1})->Args({0, 8})->Args({1, 8});
BENCHMARK(BM_ByteNei<false>)->Name("ByteNei/scalar")->ArgNames({"vertical", "n"})
    ->Args({0, 1})->Args({1, 1})->Args({0, 8})->Args({1, 8});

// The scalar filter's code of a kernel shape (dilations only).
int32_t ScalarMaskCode(int32_t kernelCode) {
  switch (kernelCode) {
    case 0x10: return 23;
    case 0x20: return 25;
    case 0x40: return 21;
    default: return 1;
  }
}

// Mask codes in place: args (kernel code, n); each iteration restores the mask.
template <bool kVector>
void BM_BitNeiInPlace(benchmark::State& state) {
  Data& d = D();
  const int32_t code = static_cast<int32_t>(state.range(0));
  const int32_t n = static_cast<int32_t>(state.range(1));
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(d.mask2.data(), d.mask.data(), kMaskBytes);
    state.ResumeTiming();
    if (kVector)
      tmBitNeiInPlace(d.mask2.data(), kSide, kSide, kMaskPitch, code, n);
    else
      MaskNei(d.mask2.data(), kSide, kSide, kMaskPitch, ScalarMaskCode(code), n);
    benchmark::ClobberMemory();
  }
  Finish(state, kMaskBytes);
}
BENCHMARK(BM_BitNeiInPlace<true>)->Name("BitNeiInPlace/vector")->ArgNames({"code", "n"})
    ->Args({0x10, 1})->Args({0x20, 1})->Args({0x40, 1})->Args({0x80, 1})->Args({0x10, 64})
    ->Args({0x20, 64});
BENCHMARK(BM_BitNeiInPlace<false>)->Name("BitNeiInPlace/scalar")->ArgNames({"code", "n"})
    ->Args({0x10, 1})->Args({0x20, 1})->Args({0x40, 1})->Args({0x80, 1})->Args({0x10, 64})
    ->Args({0x20, 64});

}  // namespace

BENCHMARK_MAIN();
