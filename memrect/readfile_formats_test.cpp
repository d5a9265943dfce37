// Loading files written by independent writers (tifffile, tiffcp, PIL and a
// PNG writer of the test's own) in every compression, layout and sample
// format: each must give exactly the pixels of the same image stored
// uncompressed. Also pages, damaged compressed files and the IFD cache.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/temp_folder.h"
#include "bmptiff/test_image_files.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/rect_owner.h"

namespace vantor {
namespace {

using testfiles::Bytes;
using testfiles::TempFile;

struct Entry {
  std::string file, ref, dtype, check;
  int h = 0, w = 0, c = 0, pages = 0;
};

// A python with tifffile, PIL and numpy; empty when there is none.
std::string Python() {
  for (const char* p : {"/usr/bin/python3", "python3"}) {
    std::string cmd = std::string(p) + " -c 'import tifffile, PIL, numpy' 2>/dev/null";
    if (std::system(cmd.c_str()) == 0) return p;
  }
  return {};
}

using TempDir = vantor::test::TempFolder;

// Runs the writer script; false when a writer is missing.
bool MakeImages(const TempDir& dir, const char* what, std::vector<Entry>* out) {
  const std::string py = Python();
  if (py.empty() || dir.path().empty()) return false;
  std::string cmd = py + " " VANTOR_SOURCE_DIR "/memrect/make_test_images.py " + dir.path() + " " +
                    what + " >/dev/null";
  int rc = std::system(cmd.c_str());
  if (rc != 0) return false;
  std::ifstream in(dir.path() + "/manifest.txt");
  Entry e;
  while (in >> e.file >> e.ref >> e.dtype >> e.h >> e.w >> e.c >> e.pages >> e.check) out->push_back(e);
  return !out->empty();
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The store's pixels for reference pixel (x, y) of a page: depth and bytes.
struct Expect {
  int depth = 0;
  size_t sampleBytes = 1;
};

Expect DepthOf(const Entry& e) {
  Expect x;
  if (e.dtype == "bool") x.depth = 1;
  else if (e.dtype == "uint8") x.depth = e.c == 3 ? 24 : 8;
  else if (e.dtype == "uint16" || e.dtype == "int16") x.depth = e.c == 3 ? 48 : 16, x.sampleBytes = 2;
  else if (e.dtype == "float32") x.depth = 64, x.sampleBytes = 4;
  else if (e.dtype == "float64") x.depth = 64, x.sampleBytes = 8;
  return x;
}

double Sample(const Entry& e, const uint8_t* p) {
  if (e.dtype == "float32") {
    float f;
    std::memcpy(&f, p, 4);
    return f;
  }
  double d;
  std::memcpy(&d, p, 8);
  return d;
}

// Compares one loaded page with its reference; returns the first difference.
std::string Compare(const Entry& e, const Bytes& ref, int page, int32_t h) {
  const Expect x = DepthOf(e);
  void* base = nullptr;
  int32_t w = 0, ht = 0, pitch = 0;
  const int32_t depth = mrGetExtendedInfo(h, &w, &ht, &pitch, &base);
  if (depth != x.depth || w != e.w || ht != e.h) {
    return "depth " + std::to_string(depth) + " " + std::to_string(w) + " x " + std::to_string(ht);
  }
  const size_t px = x.sampleBytes * size_t(e.c);
  const uint8_t* pageRef = ref.data() + size_t(page) * e.h * e.w * px;
  double lossSum = 0, lossMax = 0;
  for (int y = 0; y < e.h; ++y) {
    const uint8_t* row = static_cast<const uint8_t*>(base) + size_t(e.h - 1 - y) * pitch;
    for (int xx = 0; xx < e.w; ++xx) {
      const uint8_t* r = pageRef + (size_t(y) * e.w + xx) * px;
      bool same = true;
      if (x.depth == 1) {
        same = ((row[xx / 8] >> (xx % 8)) & 1) == r[0];
      } else if (x.depth == 64) {
        double want = e.c == 3 ? (Sample(e, r) + Sample(e, r + x.sampleBytes) +
                                  Sample(e, r + 2 * x.sampleBytes)) / 3.0
                               : Sample(e, r);
        double got;
        std::memcpy(&got, row + 8 * xx, 8);
        same = std::isnan(want) ? std::isnan(got)
                                : std::memcmp(&got, &want, 8) == 0;
      } else {
        for (int c = 0; c < e.c; ++c) {
          // The store keeps colour as blue, green, red; signed samples offset.
          const uint8_t* s = r + x.sampleBytes * size_t(e.c == 3 ? 2 - c : c);
          uint32_t want = x.sampleBytes == 2 ? uint32_t(s[0] | (s[1] << 8)) : s[0];
          if (e.dtype == "int16") want ^= 0x8000;
          const uint8_t* g = row + px * xx + x.sampleBytes * c;
          uint32_t got = x.sampleBytes == 2 ? uint32_t(g[0] | (g[1] << 8)) : g[0];
          if (e.check == "lossy") {
            double d = std::fabs(double(got) - double(want));
            lossSum += d;
            lossMax = std::max(lossMax, d);
          } else if (got != want) {
            same = false;
          }
        }
      }
      if (!same) return "pixel (" + std::to_string(xx) + ", " + std::to_string(y) + ") differs";
    }
  }
  if (e.check == "lossy" && (lossSum / (e.w * e.h * e.c) > 3 || lossMax > 40))
    return "lossy copy too far off: mean " + std::to_string(lossSum / (e.w * e.h * e.c));
  return {};
}

void CheckAll(const std::vector<Entry>& entries) {
  const int32_t before = mrNumberOfActive(nullptr, nullptr);
  for (const Entry& e : entries) {
    const Bytes ref = ReadAll(e.ref);
    EXPECT_EQ(mrPageCount(e.file.c_str()), e.pages) << e.file << ": " << mrLastLoadError();
    for (int page = 0; page < e.pages; ++page) {
      RectOwner r(mrReadFilePage(e.file.c_str(), page + 1));
      ASSERT_GT(r.get(), 0) << e.file << " page " << page + 1 << ": " << mrLastLoadError();
      EXPECT_STREQ(mrLastLoadError(), "");
      EXPECT_EQ(Compare(e, ref, page, r.get()), "") << e.file << " page " << page + 1;
    }
  }
  EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), before);
}

TEST(IndependentWriters, EveryTiffVariantGivesTheUncompressedPixels) {
  TempDir dir;
  std::vector<Entry> entries;
  if (!MakeImages(dir, "tiff", &entries)) GTEST_SKIP() << "tifffile, PIL or tiffcp missing";
  ASSERT_GT(entries.size(), 100u);
  CheckAll(entries);
}

TEST(IndependentWriters, EveryPngVariantGivesItsPixels) {
  TempDir dir;
  std::vector<Entry> entries;
  if (!MakeImages(dir, "png", &entries)) GTEST_SKIP() << "PIL missing";
  ASSERT_GE(entries.size(), 10u);
  CheckAll(entries);
  // Cut inside the image data: a reason, and nothing left behind.
  const int32_t before = mrNumberOfActive(nullptr, nullptr);
  Bytes png = ReadAll(entries[0].file);
  png.resize(png.size() / 2);
  TempFile cut(png, ".png");
  EXPECT_EQ(mrReadFile(cut.path()), -1);
  EXPECT_EQ(std::string(mrLastLoadError()).rfind("PNG: ", 0), 0u) << mrLastLoadError();
  EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), before);
}

// ---- damaged compressed files ------------------------------------------------

// An LZW-compressed 8-bit grey image written by libtiff: the raw strip bytes.
Bytes LzwStrip(int w, int h, const Bytes& pixels) {
  TempFile f(Bytes{}, ".tif");
  TIFF* t = TIFFOpen(f.path(), "w");
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, h);
  TIFFWriteEncodedStrip(t, 0, const_cast<uint8_t*>(pixels.data()), tmsize_t(pixels.size()));
  TIFFClose(t);
  t = TIFFOpen(f.path(), "r");
  Bytes raw(size_t(TIFFRawStripSize(t, 0)));
  TIFFReadRawStrip(t, 0, raw.data(), tmsize_t(raw.size()));
  TIFFClose(t);
  return raw;
}

TEST(DamagedTiff, TruncatedLzwStripAndTileOffsetPastTheEndFailWithAReason) {
  const int32_t before = mrNumberOfActive(nullptr, nullptr);
  testfiles::TiffLayout s;
  s.width = 64;
  s.length = 64;
  s.compression = 5;
  s.ifdAt = 8;  // the directory first, so that cutting the file cuts the strip
  s.pixels = LzwStrip(64, 64, testfiles::Ramp(64 * 64));
  Bytes whole = MakeTiff(s);
  {
    TempFile ok(whole);
    RectOwner r(mrReadFile(ok.path()));
    ASSERT_GT(r.get(), 0) << mrLastLoadError();
    EXPECT_EQ(mrGetPixel(r.get(), 5, 63), 5);  // file row 0 is the top row
  }
  Bytes cut(whole.begin(), whole.end() - 200);
  TempFile truncated(cut);
  EXPECT_EQ(mrReadFile(truncated.path()), -1);
  EXPECT_EQ(std::string(mrLastLoadError()).rfind("LZW: ", 0), 0u) << mrLastLoadError();

  // A tiled file whose second tile lies past the end; as page 2 of 2.
  TempFile tiled(Bytes{}, ".tif");
  TIFF* t = TIFFOpen(tiled.path(), "w");
  for (int page = 0; page < 2; ++page) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 32);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, 16);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
    TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
    std::vector<uint16_t> tile(256, uint16_t(1000 + page));
    TIFFWriteEncodedTile(t, 0, tile.data(), 512);
    TIFFWriteEncodedTile(t, 1, tile.data(), 512);
    TIFFWriteDirectory(t);
  }
  TIFFClose(t);
  Bytes file = ReadAll(tiled.path());
  // Second page's IFD: follow the chain, find TileOffsets (two LONG values).
  auto u32 = [&](size_t at) { uint32_t v; std::memcpy(&v, file.data() + at, 4); return v; };
  auto u16 = [&](size_t at) { uint16_t v; std::memcpy(&v, file.data() + at, 2); return v; };
  uint32_t ifd = u32(4);
  ifd = u32(ifd + 2 + 12 * u16(ifd));
  for (uint32_t i = 0, n = u16(ifd); i < n; ++i) {
    const size_t e = ifd + 2 + 12 * i;
    if (u16(e) == TIFFTAG_TILEOFFSETS) {
      const uint32_t past = uint32_t(file.size() + 1000);
      std::memcpy(file.data() + u32(e + 8) + 4, &past, 4);
    }
  }
  TempFile damaged(file);
  EXPECT_EQ(mrPageCount(damaged.path()), 2);
  RectOwner first(mrReadFilePage(damaged.path(), 1));
  EXPECT_EQ(mrGetPixel(first.get(), 20, 3), 1000) << mrLastLoadError();
  EXPECT_EQ(mrReadFilePage(damaged.path(), 2), -1);
  const std::string why = mrLastLoadError();
  EXPECT_EQ(why.rfind("page 2: Deflate: ", 0), 0u) << why;
  EXPECT_EQ(why.find('\n'), std::string::npos) << why;
  EXPECT_EQ(mrReadFilePage(damaged.path(), 3), -1);
  EXPECT_STREQ(mrLastLoadError(), "no page 3: the file has 2");
  first.reset();
  EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), before);
}

TEST(TiffPages, PagesInAnyOrderAndARewrittenFileIsWalkedAgain) {
  // Ten pages, page k holding the value k everywhere, through the own reader.
  auto stack = [](int pages) {
    TempFile f(Bytes{}, ".tif");
    Bytes out;
    TIFF* t = TIFFOpen(f.path(), "w");
    for (int k = 1; k <= pages; ++k) {
      TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 8);
      TIFFSetField(t, TIFFTAG_IMAGELENGTH, 4);
      TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
      TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
      Bytes rows(32, uint8_t(k));
      TIFFWriteEncodedStrip(t, 0, rows.data(), 32);
      TIFFWriteDirectory(t);
    }
    TIFFClose(t);
    return ReadAll(f.path());
  };
  const std::string path = testing::TempDir() + "vantor_pages.tif";
  auto write = [&](const Bytes& b) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
  };
  write(stack(10));
  EXPECT_EQ(mrPageCount(path.c_str()), 10);
  for (int k : {7, 1, 10, 3, 3, 9}) {
    RectOwner r(mrReadFilePage(path.c_str(), k));
    EXPECT_EQ(mrGetPixel(r.get(), 2, 1), k) << mrLastLoadError();
  }
  // The same path, now three pages (another size): the cached chain is stale.
  write(stack(3));
  EXPECT_EQ(mrPageCount(path.c_str()), 3);
  EXPECT_EQ(mrReadFilePage(path.c_str(), 5), -1);
  RectOwner last(mrReadFilePage(path.c_str(), 3));
  EXPECT_EQ(mrGetPixel(last.get(), 0, 0), 3);
  EXPECT_EQ(mrReadFilePage(path.c_str(), 0), -1);
  std::remove(path.c_str());
  EXPECT_EQ(mrPageCount(path.c_str()), -1);
  EXPECT_STREQ(mrLastLoadError(), "file not found");
}

TEST(TiffSamples, OddBitCountsKeepTheirValues) {
  // 12-bit samples packed most significant bit first: 0xABC, 0x123, 0xFFF, 0x001.
  testfiles::TiffLayout s;
  s.width = 4;
  s.length = 1;
  s.bitsPerSample = {12};
  s.pixels = {0xAB, 0xC1, 0x23, 0xFF, 0xF0, 0x01};
  TempFile f(MakeTiff(s));
  RectOwner r(mrReadFile(f.path()));
  ASSERT_GT(r.get(), 0) << mrLastLoadError();
  EXPECT_EQ(mrGetRectInfo(r.get(), nullptr, nullptr), 16);
  EXPECT_EQ(mrGetPixel(r.get(), 0, 0), 0xABC);
  EXPECT_EQ(mrGetPixel(r.get(), 1, 0), 0x123);
  EXPECT_EQ(mrGetPixel(r.get(), 2, 0), 0xFFF);
  EXPECT_EQ(mrGetPixel(r.get(), 3, 0), 0x001);
  // 2-bit samples into depth 8: 3, 0, 2, 1, 1.
  s.width = 5;
  s.bitsPerSample = {2};
  s.pixels = {0xC9, 0x40};
  TempFile g(MakeTiff(s));
  RectOwner q(mrReadFile(g.path()));
  ASSERT_GT(q.get(), 0) << mrLastLoadError();
  EXPECT_EQ(mrGetRectInfo(q.get(), nullptr, nullptr), 8);
  const int want[5] = {3, 0, 2, 1, 1};
  for (int x = 0; x < 5; ++x) EXPECT_EQ(mrGetPixel(q.get(), x, 0), want[x]) << x;
}

TEST(FloatToGrey, FiniteRangeAndMappingLeaveNanAndInfinitiesOut) {
  // Two rows of 5 doubles, rows 48 bytes apart (8 bytes past each row).
  std::vector<double> px(12, 99.0);
  const double row0[5] = {NAN, INFINITY, -INFINITY, 10.0, 20.0};
  const double row1[5] = {15.0, 12.5, 9.0, 25.0, 10.1};
  std::memcpy(px.data(), row0, sizeof row0);
  std::memcpy(px.data() + 6, row1, sizeof row1);
  RectOwner src(mrMakeExtern(px.data(), 64, 5, 2, 48));
  double lo = -1, hi = -1;
  EXPECT_EQ(mrFiniteMinMax(src.get(), &lo, &hi), 7);
  EXPECT_EQ(lo, 9.0);
  EXPECT_EQ(hi, 25.0);
  RectOwner grey(mrCreate(8, 5, 2));
  EXPECT_EQ(mrDoubleToGrey(src.get(), grey.get(), 10.0, 20.0), 3);
  const int want0[5] = {0, 0, 0, 0, 255};
  const int want1[5] = {128, 64, 0, 255, 3};  // 127.5 and 63.75 round up, 2.55 to 3
  for (int x = 0; x < 5; ++x) {
    EXPECT_EQ(mrGetPixel(grey.get(), x, 0), want0[x]) << x;
    EXPECT_EQ(mrGetPixel(grey.get(), x, 1), want1[x]) << x;
  }
  // An empty range splits at lo; bad arguments leave the destination alone.
  EXPECT_EQ(mrDoubleToGrey(src.get(), grey.get(), 12.5, 12.5), 3);
  EXPECT_EQ(mrGetPixel(grey.get(), 1, 1), 0);
  EXPECT_EQ(mrGetPixel(grey.get(), 0, 1), 255);
  RectOwner small(mrCreate(8, 4, 2));
  EXPECT_EQ(mrDoubleToGrey(src.get(), small.get(), 0, 1), -1);
  EXPECT_EQ(mrDoubleToGrey(src.get(), grey.get(), 5, 1), -1);
  EXPECT_EQ(mrDoubleToGrey(src.get(), grey.get(), 0, INFINITY), -1);
  EXPECT_EQ(mrDoubleToGrey(grey.get(), grey.get(), 0, 1), -1);
  EXPECT_EQ(mrGetPixel(grey.get(), 0, 1), 255);
  std::vector<double> nan(4, NAN);
  RectOwner none(mrMakeExtern(nan.data(), 64, 2, 2, 16));
  EXPECT_EQ(mrFiniteMinMax(none.get(), &lo, &hi), 0);
  EXPECT_EQ(lo, 0.0);
  EXPECT_EQ(hi, 0.0);
  EXPECT_EQ(mrFiniteMinMax(grey.get(), &lo, &hi), -1);
}

}  // namespace
}  // namespace vantor
