// Speed of the TIFF and BMP writers on 2048 x 2048 pictures against one plain
// write() of the same bytes into a fresh file (the floor any writer has).
// bytes/s = pixel bytes per second; files go to $TMPDIR (default /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "memrect/memrect.h"
#include "memrect/writefile.h"

namespace {

constexpr int32_t kSide = 2048;

std::string Target(const char* name) {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/vantor_bench_" + name;
}

int32_t Picture(int32_t depth) {
  static int32_t handles[65] = {};
  if (handles[depth] == 0) {
    handles[depth] = mrCreate(depth, kSide, kSide);
    int32_t pitch = 0;
    void* p = nullptr;
    mrGetExtendedInfo(handles[depth], nullptr, nullptr, &pitch, &p);
    std::mt19937 rng(1);
    auto* b = static_cast<uint8_t*>(p);
    for (int64_t i = 0; i < int64_t(pitch) * kSide; ++i) b[i] = uint8_t(rng());
  }
  return handles[depth];
}

int64_t Bytes(int32_t depth) { return int64_t(depth) / 8 * kSide * kSide; }

void PlainWrite(benchmark::State& state, int32_t depth) {
  std::vector<uint8_t> data(size_t(Bytes(depth)), 7);
  const std::string path = Target("plain.raw");
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0 || ::write(fd, data.data(), data.size()) != ssize_t(data.size())) {
      state.SkipWithError("write failed");
    }
    ::close(fd);
  }
  std::remove(path.c_str());
  state.SetBytesProcessed(state.iterations() * Bytes(depth));
}

void Writer(benchmark::State& state, int32_t depth, bool tiff) {
  const int32_t h = Picture(depth);
  const std::string path = Target(tiff ? "out.tif" : "out.bmp");
  for (auto _ : state) {
    const int32_t r = tiff ? mrWriteToFileTIFF(h, path.c_str(), 1, nullptr)
                           : mrWriteToFile(h, path.c_str(), 0);
    if (r != kSide) state.SkipWithError("writer failed");
  }
  std::remove(path.c_str());
  state.SetBytesProcessed(state.iterations() * Bytes(depth));
}

void BM_PlainWrite8(benchmark::State& s) { PlainWrite(s, 8); }
void BM_Tiff8(benchmark::State& s) { Writer(s, 8, true); }
void BM_Bmp8(benchmark::State& s) { Writer(s, 8, false); }
void BM_PlainWrite16(benchmark::State& s) { PlainWrite(s, 16); }
void BM_Tiff16(benchmark::State& s) { Writer(s, 16, true); }
void BM_PlainWrite24(benchmark::State& s) { PlainWrite(s, 24); }
void BM_Tiff24(benchmark::State& s) { Writer(s, 24, true); }

BENCHMARK(BM_PlainWrite8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tiff8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Bmp8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainWrite16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tiff16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainWrite24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tiff24)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
