// The batch run's two whole-frame point operations on a 2048 x 2048 8-bit
// image, against memcpy of the same 4 MiB in the same run: the brightness
// scaling (mrMulDiv by 110 / 100) and the mean grey level (mrHistogram and
// HistInfo). Every case reports the image bytes it reads, so bytes_per_second
// compares directly with Memcpy. "Scalar" forces the scalar kernels.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "generic/histinfo.h"
#include "kernels/kernel_mode.h"
#include "memrect/memrect.h"
#include "memrect/pixelwise.h"
#include "memrect/rect_owner.h"
#include "memrect/statistics.h"

namespace {

constexpr int32_t kSide = 2048;
constexpr int64_t kBytes = int64_t{kSide} * kSide;

vantor::RectOwner RandomImage() {
  vantor::RectOwner h(mrCreate(8, kSide, kSide));
  void* pixels = nullptr;
  mrGetExtendedInfo(h.get(), nullptr, nullptr, nullptr, &pixels);
  auto* p = static_cast<uint8_t*>(pixels);
  std::mt19937 rng(11);
  for (int64_t i = 0; i < kBytes; ++i) p[i] = static_cast<uint8_t>(rng());
  return h;
}

class ModeScope {
 public:
  explicit ModeScope(int32_t mode) : previous_(mrUseIntelIPlib(mode)) {}
  ~ModeScope() { mrUseIntelIPlib(previous_); }

 private:
  int32_t previous_;
};

void Memcpy(benchmark::State& state) {
  std::vector<uint8_t> src(kBytes, 1), dst(kBytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(Memcpy)->Unit(benchmark::kMicrosecond);

void MulDiv(benchmark::State& state) {
  ModeScope mode(static_cast<int32_t>(state.range(0)));
  vantor::RectOwner img = RandomImage();
  for (auto _ : state) {
    // Alternate up and down so that the image does not drift to white.
    benchmark::DoNotOptimize(mrMulDiv(img.get(), 110, 100));
    benchmark::DoNotOptimize(mrMulDiv(img.get(), 100, 110));
  }
  state.SetBytesProcessed(state.iterations() * kBytes * 2);
}
BENCHMARK(MulDiv)->ArgName("mode")->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);

void HistogramMean(benchmark::State& state) {
  ModeScope mode(static_cast<int32_t>(state.range(0)));
  vantor::RectOwner img = RandomImage();
  int32_t hist[256];
  double stats[16];
  for (auto _ : state) {
    benchmark::DoNotOptimize(mrHistogram(img.get(), hist));
    benchmark::DoNotOptimize(HistInfo(hist, 256, stats));
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(HistogramMean)->ArgName("mode")->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
