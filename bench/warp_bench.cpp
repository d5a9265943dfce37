// Speed of the warping kernels on a 2048 x 2048 picture (smooth texture plus
// noise): sub-pixel and whole-pixel translations of 8-bit, 16-bit and colour
// pixels, and a similarity (affine) of 8-bit pixels, scalar reference against
// the vector code. items/s = destination pixels per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "improc/warp_internal.h"

namespace {

constexpr int32_t kSide = 2048;

struct Picture {
  int32_t depth;
  int32_t pitch;
  std::vector<uint8_t> src, dst;
  explicit Picture(int32_t d) : depth(d), pitch(((d * kSide + 31) / 32) * 4) {
    src.resize(static_cast<size_t>(pitch) * kSide);
    dst.resize(src.size());
    std::mt19937 rng(7);
    const int channels = d == 24 || d == 48 ? 3 : 1;
    const int size = d == 16 || d == 48 ? 2 : 1;
    const double top = size == 2 ? 65535.0 : 255.0;
    for (int32_t y = 0; y < kSide; ++y)
      for (int32_t x = 0; x < kSide; ++x)
        for (int c = 0; c < channels; ++c) {
          const double t = 0.5 + 0.3 * std::sin(x * 0.05 + c) * std::cos(y * 0.031) +
                           0.1 * std::sin((x + y) * 0.11) + 0.05 * (rng() % 100) / 100.0;
          const auto v = static_cast<uint32_t>(t * top);
          uint8_t* p = src.data() + static_cast<size_t>(y) * pitch + (static_cast<size_t>(x) * channels + c) * size;
          p[0] = static_cast<uint8_t>(v);
          if (size == 2) p[1] = static_cast<uint8_t>(v >> 8);
        }
  }
};

Picture& ThePicture(int32_t depth) {
  static Picture p8(8), p16(16), p24(24);
  return depth == 8 ? p8 : depth == 16 ? p16 : p24;
}

template <bool kVector>
void Run(benchmark::State& state, int32_t depth, const double* m) {
  Picture& p = ThePicture(depth);
  vantor::WarpJob j;
  j.src = p.src.data();
  j.srcWidth = j.srcHeight = kSide;
  j.srcPitch = p.pitch;
  j.dst = p.dst.data();
  j.dstWidth = kSide;
  j.dstPitch = p.pitch;
  j.y1 = kSide;
  j.depth = depth;
  std::copy(m, m + 9, j.m);
  int64_t filled = 0;
  for (auto _ : state) {
    filled = kVector ? vantor::WarpVector(j) : vantor::WarpScalar(j);
    benchmark::DoNotOptimize(p.dst.data());
  }
  state.counters["filled"] = static_cast<double>(filled);
  state.SetItemsProcessed(state.iterations() * kSide * kSide);
}

constexpr double kSubPixel[9] = {1, 0, 3.3, 0, 1, -1.7, 0, 0, 1};
constexpr double kWhole[9] = {1, 0, 3, 0, 1, -2, 0, 0, 1};
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

void BM_Shift8Scalar(benchmark::State& s) { Run<false>(s, 8, kSubPixel); }
void BM_Shift8Vector(benchmark::State& s) { Run<true>(s, 8, kSubPixel); }
void BM_Shift16Scalar(benchmark::State& s) { Run<false>(s, 16, kSubPixel); }
void BM_Shift16Vector(benchmark::State& s) { Run<true>(s, 16, kSubPixel); }
void BM_Shift24Scalar(benchmark::State& s) { Run<false>(s, 24, kSubPixel); }
void BM_Shift24Vector(benchmark::State& s) { Run<true>(s, 24, kSubPixel); }
void BM_WholeShift8Vector(benchmark::State& s) { Run<true>(s, 8, kWhole); }
void BM_Similarity8Scalar(benchmark::State& s) { Run<false>(s, 8, Similarity()); }
void BM_Similarity8Vector(benchmark::State& s) { Run<true>(s, 8, Similarity()); }

BENCHMARK(BM_Shift8Scalar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shift8Vector)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shift16Scalar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shift16Vector)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shift24Scalar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shift24Vector)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeShift8Vector)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Similarity8Scalar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Similarity8Vector)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
