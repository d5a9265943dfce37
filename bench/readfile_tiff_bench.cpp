// Compressed and multi-page TIFF loading against libtiff's own decoding.
//   build/readfile_tiff_bench --benchmark_min_time=1
// Files (2048 x 2048 16-bit, smooth picture with noise, as a microscope
// gives): LZW, LZW with horizontal differencing, Deflate with differencing
// in strips, Deflate in 256 x 256 tiles. BM_Libtiff is a plain
// TIFFReadEncodedStrip / TIFFReadEncodedTile loop into one buffer; BM_ReadFile
// is mrReadFile (decoding, bottom-up rows, rectangle) and mrFree. The stack is
// 500 pages of 512 x 512 16-bit: reading page k must cost what page 1 costs;
// BM_StackWalk is the one-off walk of its IFD chain.
#include <benchmark/benchmark.h>
#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bmptiff/reader_internal.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"

namespace {

constexpr uint32_t kSide = 2048;

std::vector<uint16_t> Picture(uint32_t w, uint32_t h, uint32_t seed) {
  std::vector<uint16_t> p(size_t(w) * h);
  uint32_t s = seed * 2654435761u + 1;
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      s = s * 1664525u + 1013904223u;
      double v = 1500 + 900 * std::sin(x / 57.0 + seed) * std::cos(y / 83.0) + (s >> 26);
      p[size_t(y) * w + x] = uint16_t(v);
    }
  return p;
}

struct Layout {
  const char* name;
  uint16_t compression;
  uint16_t predictor;
  uint32_t tile;  // 0: strips
};

const Layout kLayouts[] = {
    {"lzw", COMPRESSION_LZW, 1, 0},
    {"lzw_pred2", COMPRESSION_LZW, 2, 0},
    {"deflate_pred2", COMPRESSION_ADOBE_DEFLATE, 2, 0},
    {"deflate_pred2_tiles", COMPRESSION_ADOBE_DEFLATE, 2, 256},
};

void WritePage(TIFF* t, const std::vector<uint16_t>& px, uint32_t w, uint32_t h, const Layout& l) {
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_COMPRESSION, l.compression);
  if (l.compression != COMPRESSION_NONE) TIFFSetField(t, TIFFTAG_PREDICTOR, l.predictor);
  if (l.tile) {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, l.tile);
    TIFFSetField(t, TIFFTAG_TILELENGTH, l.tile);
    std::vector<uint16_t> tile(size_t(l.tile) * l.tile);
    for (uint32_t ty = 0; ty < h; ty += l.tile)
      for (uint32_t tx = 0; tx < w; tx += l.tile) {
        for (uint32_t r = 0; r < l.tile; ++r)
          for (uint32_t c = 0; c < l.tile; ++c)
            tile[size_t(r) * l.tile + c] = px[size_t(ty + r) * w + tx + c];
        TIFFWriteTile(t, tile.data(), tx, ty, 0, 0);
      }
  } else {
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
    for (uint32_t y = 0; y < h; ++y)
      TIFFWriteScanline(t, const_cast<uint16_t*>(px.data() + size_t(y) * w), y, 0);
  }
  TIFFWriteDirectory(t);
}

std::string TempName(const char* name) {
  return "/tmp/vantor_bench_" + std::to_string(getpid()) + "_" + name + ".tif";
}

struct Files {
  std::string big[4];
  std::string stack;
  Files() {
    std::vector<uint16_t> px = Picture(kSide, kSide, 1);
    for (int i = 0; i < 4; ++i) {
      big[i] = TempName(kLayouts[i].name);
      TIFF* t = TIFFOpen(big[i].c_str(), "w");
      WritePage(t, px, kSide, kSide, kLayouts[i]);
      TIFFClose(t);
    }
    stack = TempName("stack");
    TIFF* t = TIFFOpen(stack.c_str(), "w");
    const Layout plain{"none", COMPRESSION_NONE, 1, 0};
    for (uint32_t k = 0; k < 500; ++k) WritePage(t, Picture(512, 512, k), 512, 512, plain);
    TIFFClose(t);
  }
  ~Files() {
    for (const std::string& f : big) std::remove(f.c_str());
    std::remove(stack.c_str());
  }
};

const Files& TheFiles() {
  static Files files;
  return files;
}

void BM_Libtiff(benchmark::State& state) {
  const std::string& path = TheFiles().big[state.range(0)];
  std::vector<uint16_t> out(size_t(kSide) * kSide + 65536);
  for (auto _ : state) {
    TIFF* t = TIFFOpen(path.c_str(), "r");
    uint8_t* p = reinterpret_cast<uint8_t*>(out.data());
    if (TIFFIsTiled(t)) {
      const tmsize_t size = TIFFTileSize(t);
      for (uint32_t i = 0, n = TIFFNumberOfTiles(t); i < n; ++i)
        p += TIFFReadEncodedTile(t, i, p, size);
    } else {
      const tmsize_t size = TIFFStripSize(t);
      for (uint32_t i = 0, n = TIFFNumberOfStrips(t); i < n; ++i)
        p += TIFFReadEncodedStrip(t, i, p, size);
    }
    TIFFClose(t);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel(kLayouts[state.range(0)].name);
}

void BM_ReadFile(benchmark::State& state) {
  const std::string& path = TheFiles().big[state.range(0)];
  for (auto _ : state) {
    int32_t h = mrReadFile(path.c_str());
    if (h <= 0) {
      state.SkipWithError(mrLastLoadError());
      break;
    }
    mrFree(h);
  }
  state.SetLabel(kLayouts[state.range(0)].name);
}

// Page k of the stack, again and again.
void BM_StackPage(benchmark::State& state) {
  const std::string& path = TheFiles().stack;
  const int32_t page = int32_t(state.range(0));
  for (auto _ : state) {
    int32_t h = mrReadFilePage(path.c_str(), page);
    if (h <= 0) {
      state.SkipWithError(mrLastLoadError());
      break;
    }
    mrFree(h);
  }
}

// All 500 pages in order; the time per page is the figure to compare.
void BM_StackInOrder(benchmark::State& state) {
  const std::string& path = TheFiles().stack;
  for (auto _ : state) {
    const int32_t n = mrPageCount(path.c_str());
    for (int32_t k = 1; k <= n; ++k) {
      int32_t h = mrReadFilePage(path.c_str(), k);
      if (h <= 0) {
        state.SkipWithError(mrLastLoadError());
        return;
      }
      mrFree(h);
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * 500);
}

// Walking the whole chain of the stack once (what a first look at a file costs).
void BM_StackWalk(benchmark::State& state) {
  const std::string& path = TheFiles().stack;
  for (auto _ : state) {
    vantor::ForgetTiffPages();
    benchmark::DoNotOptimize(mrPageCount(path.c_str()));
  }
}

BENCHMARK(BM_Libtiff)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFile)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StackPage)->Arg(1)->Arg(250)->Arg(500)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StackInOrder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StackWalk)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
