// Loading 2048 x 2048 images from the page cache, against the plain cost of
// getting the bytes (one read call of the whole file) and, for JPEG, against
// libjpeg decoding into a buffer of its own.
//   build/readfile_bench --benchmark_min_time=0.5
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <jpeglib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bmptiff/test_image_files.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"

namespace {

using vantor::testfiles::BmpLayout;
using vantor::testfiles::Bytes;
using vantor::testfiles::TiffLayout;

constexpr int kSide = 2048;

Bytes Noise(size_t n) {
  Bytes b(n);
  uint32_t s = 12345;
  for (auto& v : b) {
    s = s * 1664525u + 1013904223u;
    v = uint8_t(s >> 24);
  }
  return b;
}

Bytes Jpeg() {
  Bytes rgb(size_t(kSide) * kSide * 3);
  for (int y = 0; y < kSide; ++y)
    for (int x = 0; x < kSide; ++x) {
      uint8_t* p = rgb.data() + (size_t(y) * kSide + x) * 3;
      p[0] = uint8_t(x ^ y);
      p[1] = uint8_t((x * y) >> 7);
      p[2] = uint8_t(x + 2 * y);
    }
  jpeg_compress_struct c;
  jpeg_error_mgr e;
  c.err = jpeg_std_error(&e);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = kSide;
  c.image_height = kSide;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW r = rgb.data() + size_t(c.next_scanline) * kSide * 3;
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  Bytes b(out, out + size);
  std::free(out);
  jpeg_destroy_compress(&c);
  return b;
}

struct Files {
  std::unique_ptr<vantor::testfiles::TempFile> f[5];
  Files() {
    TiffLayout t8;
    t8.width = t8.length = kSide;
    t8.rowsPerStrip = 4;  // 8 KB strips
    t8.pixels = Noise(size_t(kSide) * kSide);
    f[0] = std::make_unique<vantor::testfiles::TempFile>(MakeTiff(t8), ".tif");
    TiffLayout t16 = t8;
    t16.bitsPerSample = {16};
    t16.rowsPerStrip = 2;
    t16.pixels = Noise(size_t(kSide) * kSide * 2);
    f[1] = std::make_unique<vantor::testfiles::TempFile>(MakeTiff(t16), ".tif");
    BmpLayout b8;
    b8.width = b8.height = kSide;
    b8.palette.assign(256, 0);
    b8.pixels = t8.pixels;
    f[2] = std::make_unique<vantor::testfiles::TempFile>(MakeBmp(b8), ".bmp");
    BmpLayout b16 = b8;
    b16.bitsPerPixel = 16;
    b16.palette.clear();
    b16.pixels = t16.pixels;
    f[3] = std::make_unique<vantor::testfiles::TempFile>(MakeBmp(b16), ".bmp");
    f[4] = std::make_unique<vantor::testfiles::TempFile>(Jpeg(), ".jpg");
  }
};

const char* PathOf(int i) {
  static Files files;
  return files.f[i]->path();
}

const char* const kNames[] = {"tiff8", "tiff16", "bmp8", "bmp16", "jpeg"};

void BM_OneReadCall(benchmark::State& state) {
  const char* path = PathOf(int(state.range(0)));
  std::vector<uint8_t> buf(size_t(kSide) * kSide * 2 + 65536);
  size_t got = 0;
  for (auto _ : state) {
    int fd = ::open(path, O_RDONLY);
    ssize_t n = ::read(fd, buf.data(), buf.size());
    ::close(fd);
    got = size_t(n);
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetLabel(kNames[state.range(0)]);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(got));
}

void BM_ReadFile(benchmark::State& state) {
  const char* path = PathOf(int(state.range(0)));
  for (auto _ : state) {
    int32_t h = mrReadFile(path);
    if (h <= 0) {
      state.SkipWithError(mrLastLoadError());
      break;
    }
    mrFree(h);
  }
  state.SetLabel(kNames[state.range(0)]);
}

void BM_LibjpegDecode(benchmark::State& state) {
  const char* path = PathOf(4);
  std::vector<uint8_t> out(size_t(kSide) * kSide * 3);
  for (auto _ : state) {
    FILE* f = std::fopen(path, "rb");
    jpeg_decompress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_decompress(&c);
    jpeg_stdio_src(&c, f);
    jpeg_read_header(&c, TRUE);
    jpeg_start_decompress(&c);
    while (c.output_scanline < c.output_height) {
      JSAMPROW r = out.data() + size_t(c.output_scanline) * c.output_width * 3;
      jpeg_read_scanlines(&c, &r, 1);
    }
    jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
    std::fclose(f);
    benchmark::DoNotOptimize(out.data());
  }
}

BENCHMARK(BM_OneReadCall)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFile)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibjpegDecode)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
