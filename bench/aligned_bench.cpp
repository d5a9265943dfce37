// Cost of aligned output per frame of 1024 x 1024 pixels: loading a TIFF
// frame once (the reference: aligned output should cost about one more
// load) against warping and writing the aligned frame, for sub-pixel and
// whole-pixel shifts. Files go to $TMPDIR (default /tmp).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/aligned.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/writefile.h"

namespace {

constexpr int32_t kSide = 1024;

std::string Folder() {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/vantor_aligned_bench";
}

int32_t Frame(int32_t depth) {
  static int32_t handles[49] = {};
  if (handles[depth] == 0) {
    handles[depth] = mrCreate(depth, kSide, kSide);
    for (int32_t y = 0; y < kSide; ++y)
      for (int32_t x = 0; x < kSide; ++x) {
        const double t = 0.5 + 0.4 * std::sin(x * 0.05) * std::cos(y * 0.031);
        mrPutPixel(handles[depth], x, y, int32_t(t * (depth == 16 ? 65535 : 255)));
      }
  }
  return handles[depth];
}

void BM_LoadFrame8(benchmark::State& state) {
  vantor::app::CreateOutputFolder(Folder(), nullptr);
  const std::string path = Folder() + "/load.tif";
  mrWriteToFileTIFF(Frame(8), path.c_str(), 1, nullptr);
  for (auto _ : state) {
    const int32_t h = mrReadFile(path.c_str());
    if (h < 0) state.SkipWithError("load failed");
    mrFree(h);
  }
  state.SetItemsProcessed(state.iterations());
}

void Aligned(benchmark::State& state, int32_t depth, double dx, double dy) {
  std::string error;
  for (auto _ : state) {
    if (!vantor::app::WriteAlignedFrame(Folder(), "aligned.tif", Frame(depth), dx, dy, "", &error)) {
      state.SkipWithError(error.c_str());
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_AlignedSubPixel8(benchmark::State& s) { Aligned(s, 8, 0.3, -1.7); }
void BM_AlignedWhole8(benchmark::State& s) { Aligned(s, 8, 3, -2); }
void BM_AlignedSubPixel16(benchmark::State& s) { Aligned(s, 16, 0.3, -1.7); }

BENCHMARK(BM_LoadFrame8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AlignedSubPixel8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AlignedWhole8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AlignedSubPixel16)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
