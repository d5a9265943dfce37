#include "memrect/writefile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "memrect/display_lut.h"
#include "memrect/display_lut_internal.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/rect_owner.h"
#include "tools/temp_folder.h"

namespace {

using vantor::RectOwner;
using Bytes = std::vector<uint8_t>;

using TempDir = vantor::test::TempFolder;

Bytes ReadAll(const std::string& path) {
  Bytes b;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    int c;
    while ((c = std::fgetc(f)) != EOF) b.push_back(uint8_t(c));
    std::fclose(f);
  }
  return b;
}

uint32_t U32(const Bytes& b, size_t at) {
  return b[at] | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// The value of a TIFF tag of the first IFD (a value held in the entry).
uint32_t TiffValue(const Bytes& b, uint32_t tag) {
  const uint32_t at = U32(b, 4), n = b[at] | b[at + 1] << 8;
  for (uint32_t i = 0; i < n; ++i) {
    const size_t e = at + 2 + 12 * i;
    if ((b[e] | b[e + 1] << 8) == int(tag)) return (b[e + 2] == 3) ? (b[e + 8] | b[e + 9] << 8) : U32(b, e + 8);
  }
  return UINT32_MAX;
}

uint8_t* Pixels(int32_t h, int32_t* pitch = nullptr) {
  void* p = nullptr;
  mrGetExtendedInfo(h, nullptr, nullptr, pitch, &p);
  return static_cast<uint8_t*>(p);
}

RectOwner Random(std::mt19937& rng, int32_t depth, int32_t w, int32_t h) {
  RectOwner r(mrCreate(depth, w, h));
  int32_t pitch = 0;
  uint8_t* p = Pixels(r.get(), &pitch);
  for (int64_t i = 0; i < int64_t(pitch) * h; ++i) p[i] = uint8_t(rng());
  for (int64_t i = 0; depth == 64 && i < int64_t(pitch) * h / 8; ++i) {  // finite doubles
    const double v = (double(rng()) - 2147483648.0) / 977.0;
    std::memcpy(p + 8 * i, &v, 8);
  }
  return r;
}

// The pixel bytes of every row (bits past the width of 1- and 4-bit rows
// left out).
Bytes RowBytes(int32_t h) {
  int32_t w = 0, ht = 0, pitch = 0;
  const int32_t depth = mrGetExtendedInfo(h, &w, &ht, &pitch, nullptr);
  const uint8_t* p = Pixels(h);
  const int64_t bits = int64_t(depth) * w;
  Bytes out;
  for (int32_t y = 0; y < ht; ++y) {
    out.insert(out.end(), p + int64_t(y) * pitch, p + int64_t(y) * pitch + bits / 8);
    if (bits % 8) out.push_back(p[int64_t(y) * pitch + bits / 8] & uint8_t((1u << (bits % 8)) - 1));
  }
  return out;
}

// The picture as the independent readers give it: top row first, colour in
// red, green, blue order, 1-bit pixels one byte each.
Bytes Picture(int32_t h) {
  int32_t w = 0, ht = 0, pitch = 0;
  const int32_t depth = mrGetExtendedInfo(h, &w, &ht, &pitch, nullptr);
  const uint8_t* p = Pixels(h);
  Bytes out;
  for (int32_t y = ht - 1; y >= 0; --y) {
    const uint8_t* row = p + int64_t(y) * pitch;
    for (int32_t x = 0; x < w; ++x) {
      if (depth == 1) {
        out.push_back((row[x / 8] >> (x % 8)) & 1);
      } else if (depth == 24 || depth == 48) {
        const int s = depth / 24;
        for (int c = 2; c >= 0; --c) out.insert(out.end(), row + (3 * x + c) * s, row + (3 * x + c + 1) * s);
      } else {
        out.insert(out.end(), row + x * depth / 8, row + (x + 1) * depth / 8);
      }
    }
  }
  return out;
}

// Checks by the independent readers, run together in one interpreter when
// the object dies: the reader's view of each file equals the picture.
class IndependentReads {
 public:
  explicit IndependentReads(std::string dir) : list_(dir + "/checks.txt") {}
  ~IndependentReads() { Run(); }

  void Add(const char* reader, const std::string& file, int32_t h, double tolerance = 0) {
    int32_t w = 0, ht = 0;
    const int32_t depth = mrGetRectInfo(h, &w, &ht);
    const std::string expected = file + "." + reader + ".expected";
    const Bytes pic = Picture(h);
    FILE* f = std::fopen(expected.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(pic.data(), 1, pic.size(), f);
    std::fclose(f);
    const char* dtype = depth == 16 || depth == 48 ? "uint16"
                        : depth == 32               ? "int32"
                        : depth == 64               ? "float64"
                                                    : "uint8";
    char line[1024];
    std::snprintf(line, sizeof line, "%s %s %s %s %d %d %d %g\n", reader, file.c_str(),
                  expected.c_str(), dtype, ht, w, depth == 24 || depth == 48 ? 3 : 1, tolerance);
    lines_ += line;
  }

  void Run() {
    if (lines_.empty()) return;
    FILE* f = std::fopen(list_.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(lines_.c_str(), f);
    std::fclose(f);
    lines_.clear();
    // Debian's interpreter, which has the readers, before any other on the path.
    const char* python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3 " : "python3 ";
    const std::string cmd = std::string(python) + VANTOR_SOURCE_DIR +
                            "/memrect/writefile_check.py '" + list_ + "' 2>&1";
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
    EXPECT_EQ(pclose(p), 0) << out;
  }

 private:
  std::string list_;
  std::string lines_;
};

void ExpectReadBack(const std::string& file, int32_t h) {
  RectOwner back(mrReadFile(file.c_str()));
  ASSERT_TRUE(back) << file << ": " << mrLastLoadError();
  int32_t w0 = 0, h0 = 0, w1 = 0, h1 = 0;
  EXPECT_EQ(mrGetRectInfo(back.get(), &w1, &h1), mrGetRectInfo(h, &w0, &h0));
  EXPECT_EQ(w1, w0);
  EXPECT_EQ(h1, h0);
  EXPECT_EQ(RowBytes(back.get()), RowBytes(h)) << file;
}

// Fresh process, empty display table: every depth both ways, read back by
// the loader and by the independent readers; the rectangle is left as it was.
TEST(WriteToFile, EveryDepthReadsBack) {
  vantor::ForgetDisplayLut();  // earlier tests of this process may have installed one
  std::mt19937 rng(1);
  TempDir dir;
  IndependentReads reads(dir.path());
  for (int32_t depth : {1, 4, 8, 16, 24, 32, 48, 64}) {
    for (int32_t w : {1, 13}) {
      RectOwner r = Random(rng, depth, w, 3);
      const Bytes before = RowBytes(r.get());
      char stem[32];
      std::snprintf(stem, sizeof stem, "d%dw%d", depth, w);
      const std::string tif = dir / (std::string(stem) + ".tif");
      EXPECT_EQ(mrWriteToFileTIFF(r.get(), tif.c_str(), 1, nullptr), 3);
      ExpectReadBack(tif, r.get());
      if (depth != 4) reads.Add("tifffile", tif, r.get());
      if (depth != 48 && depth != 4 && depth != 64) reads.Add("pil", tif, r.get());
      if (depth >= 48) continue;  // no BMP of 48 or 64 bits
      const std::string bmp = dir / (std::string(stem) + ".bmp");
      EXPECT_EQ(mrWriteToFile(r.get(), bmp.c_str(), 0), 3);
      ExpectReadBack(bmp, r.get());
      if (depth == 1 || depth == 8 || depth == 24) reads.Add("pil", bmp, r.get());
      EXPECT_EQ(RowBytes(r.get()), before);
    }
  }
  // With the grey table installed an 8-bit BMP carries it; 16 bits cannot.
  mrDisplayLut("Linear", nullptr, nullptr, nullptr);
  RectOwner grey = Random(rng, 8, 7, 5), deep = Random(rng, 16, 7, 5);
  EXPECT_EQ(mrWriteToFile(grey.get(), (dir / "grey.bmp").c_str(), 0), 5);
  reads.Add("pil", dir / "grey.bmp", grey.get());
  EXPECT_EQ(mrWriteToFile(deep.get(), (dir / "deep.bmp").c_str(), 0), -1);
  EXPECT_EQ(mrWriteToFile(0, (dir / "none.bmp").c_str(), 0), -1);
  reads.Run();
}

TEST(WriteToFile, LayoutChannelsAndBits) {
  TempDir dir;
  // 3 x 2 grey: the 170-byte template header, then the six pixels.
  RectOwner g(mrCreate(8, 3, 2));
  for (int i = 0; i < 6; ++i) mrPutPixel(g.get(), i % 3, i / 3, 10 + i);
  ASSERT_EQ(mrWriteToFileTIFF(g.get(), (dir / "g.tif").c_str(), 1, nullptr), 2);
  const Bytes t = ReadAll(dir / "g.tif");
  ASSERT_EQ(t.size(), 176u);
  EXPECT_EQ(TiffValue(t, 273), 170u);
  EXPECT_EQ(TiffValue(t, 279), 6u);
  EXPECT_EQ(TiffValue(t, 257), 2u);
  EXPECT_EQ(t[170], 13);  // the top of the picture (row 1) first
  ExpectReadBack(dir / "g.tif", g.get());

  // Colour: blue 50, green 100, red 200.
  RectOwner c(mrCreate(24, 1, 1));
  mrPutPixel(c.get(), 0, 0, 50 | 100 << 8 | 200 << 16);
  ASSERT_EQ(mrWriteToFileTIFF(c.get(), (dir / "c.tif").c_str(), 0, "colour"), 1);
  ASSERT_EQ(mrWriteToFile(c.get(), (dir / "c.bmp").c_str(), 0), 1);
  const Bytes ct = ReadAll(dir / "c.tif"), cb = ReadAll(dir / "c.bmp");
  const uint32_t start = TiffValue(ct, 273);
  EXPECT_EQ(Bytes(ct.begin() + start, ct.begin() + start + 3), (Bytes{200, 100, 50}));
  EXPECT_EQ(Bytes(cb.begin() + 54, cb.begin() + 57), (Bytes{50, 100, 200}));
  EXPECT_EQ(cb.size(), 58u);  // the row padded to 4 bytes

  // 1 bit: pixel 0 in the most significant bit; the palette white, black.
  RectOwner m(mrCreate(1, 9, 1));
  mrPutPixel(m.get(), 0, 0, 1);
  ASSERT_EQ(mrWriteToFile(m.get(), (dir / "m.bmp").c_str(), 0), 1);
  ASSERT_EQ(mrWriteToFileTIFF(m.get(), (dir / "m.tif").c_str(), 1, nullptr), 1);
  const Bytes mb = ReadAll(dir / "m.bmp"), mt = ReadAll(dir / "m.tif");
  EXPECT_EQ(Bytes(mb.begin() + 54, mb.begin() + 62), (Bytes{255, 255, 255, 0, 0, 0, 0, 0}));
  EXPECT_EQ(mb[62], 0x80);
  EXPECT_EQ(mb[63], 0x00);
  EXPECT_EQ(mt[TiffValue(mt, 273)], 0x80);
  EXPECT_EQ(mrGetPixel(m.get(), 0, 0), 1);

  // Height 0: a valid header saying so.
  RectOwner empty(mrCreate(8, 5, 0));
  EXPECT_EQ(mrWriteToFileTIFF(empty.get(), (dir / "e.tif").c_str(), 1, nullptr), 0);
  const Bytes e = ReadAll(dir / "e.tif");
  EXPECT_EQ(e.size(), 170u);
  EXPECT_EQ(TiffValue(e, 257), 0u);
  EXPECT_EQ(TiffValue(e, 279), 0u);
  EXPECT_EQ(mrWriteToFile(empty.get(), (dir / "e.bmp").c_str(), 0), 0);
}

TEST(SaveByExtention, NamesAndLengths) {
  TempDir dir;
  IndependentReads reads(dir.path());
  std::mt19937 rng(2);
  RectOwner colour = Random(rng, 24, 16, 8), mask = Random(rng, 1, 10, 4), grey = Random(rng, 8, 6, 6);
  char name[512];
  std::snprintf(name, sizeof name, "a.b");
  EXPECT_EQ(mrSaveByExtention(colour.get(), name, sizeof name), 0);
  const std::string base = dir / "image1";
  std::snprintf(name, sizeof name, "%s", base.c_str());
  EXPECT_EQ(mrSaveByExtention(colour.get(), name, sizeof name), int32_t(base.size() + 4));
  EXPECT_EQ(std::string(name), base + ".jpg");
  reads.Add("pil", base + ".jpg", colour.get(), 255);  // size and channels; a lossy copy

  std::snprintf(name, sizeof name, "%s", (dir / "mask.tif").c_str());
  EXPECT_GT(mrSaveByExtention(mask.get(), name, sizeof name), 0);
  EXPECT_EQ(std::string(name), dir / "mask.bmp");
  ExpectReadBack(dir / "mask.bmp", mask.get());

  // Too small a buffer: the caller's text stays, the completed name is used.
  std::string small = dir / "grey";
  std::vector<char> buf(small.begin(), small.end());
  buf.push_back(0);
  EXPECT_EQ(mrSaveByExtention(grey.get(), buf.data(), int32_t(buf.size())), int32_t(small.size() + 4));
  EXPECT_EQ(std::string(buf.data()), small);
  ExpectReadBack(small + ".tif", grey.get());
  std::snprintf(name, sizeof name, "%s", (dir / "grey.BMP").c_str());
  EXPECT_GT(mrSaveByExtention(grey.get(), name, sizeof name), 0);
  ExpectReadBack(dir / "grey.BMP", grey.get());
}

TEST(SaveJPEGfile, ColourAndGreyThroughLibjpeg) {
  TempDir dir;
  IndependentReads reads(dir.path());
  RectOwner c(mrCreate(24, 40, 30)), g(mrCreate(8, 40, 30));
  for (int32_t y = 0; y < 30; ++y)
    for (int32_t x = 0; x < 40; ++x) {
      mrPutPixel(c.get(), x, y, (4 * x) | (6 * y) << 8 | 128 << 16);
      mrPutPixel(g.get(), x, y, 3 * x + 2 * y);
    }
  EXPECT_EQ(mrSaveJPEGfile(c.get(), (dir / "c.jpg").c_str(), 0), c.get());
  reads.Add("pil", dir / "c.jpg", c.get(), 12);
  RectOwner back(mrReadFile((dir / "c.jpg").c_str()));
  ASSERT_TRUE(back);
  EXPECT_NEAR((mrGetPixel(back.get(), 39, 0) >> 8) & 255, 0, 12);  // bottom row stays row 0
  EXPECT_EQ(mrSaveJPEGfile(g.get(), (dir / "g.jpg").c_str(), 90), g.get());
  RectOwner grey_back(mrReadFile((dir / "g.jpg").c_str()));
  ASSERT_TRUE(grey_back);
  EXPECT_NEAR(mrGetPixel(grey_back.get(), 20, 29) & 255, 3 * 20 + 2 * 29, 12);
  RectOwner empty(mrCreate(24, 0, 3));
  EXPECT_EQ(mrSaveJPEGfile(empty.get(), (dir / "e.jpg").c_str(), 0), -1);
  EXPECT_EQ(mrSaveJPEGfile(c.get(), "/nonexistent-folder/c.jpg", 0), -1);
}

TEST(WriteToFile, ThreadsWriteAtOnce) {
  TempDir dir;
  std::mt19937 rng(3);
  RectOwner r = Random(rng, 16, 33, 21);
  std::vector<std::thread> threads;
  std::vector<int> ok(6, 0);
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < 10; ++k) {
        char file[32];
        std::snprintf(file, sizeof file, "t%d_%d.tif", t, k);
        const std::string path = dir / file;
        ok[t] += mrWriteToFileTIFF(r.get(), path.c_str(), 1, nullptr) == 21;
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int t = 0; t < 6; ++t) EXPECT_EQ(ok[t], 10);
  ExpectReadBack(dir / "t5_9.tif", r.get());
}

}  // namespace
