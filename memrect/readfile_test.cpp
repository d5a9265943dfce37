#include "memrect/readfile.h"

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bmptiff/bmptiff.h"
#include "bmptiff/test_image_files.h"
#include "memrect/convert.h"
#include "memrect/display_lut.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "memrect/writefile.h"

namespace vantor {
namespace {

using testfiles::BmpLayout;
using testfiles::Bytes;
using testfiles::MakeBmp;
using testfiles::MakeTiff;
using testfiles::Ramp;
using testfiles::TempFile;
using testfiles::TiffLayout;
using testfiles::TiffTag;

struct View {
  int32_t depth = -1, width = 0, height = 0, pitch = 0;
  const uint8_t* base = nullptr;
  const uint8_t* row(int y) const { return base + ptrdiff_t(y) * pitch; }
};

View Look(int32_t h) {
  View v;
  void* p = nullptr;
  v.depth = mrGetExtendedInfo(h, &v.width, &v.height, &v.pitch, &p);
  v.base = static_cast<const uint8_t*>(p);
  return v;
}

int32_t ActiveRects() { return mrNumberOfActive(nullptr, nullptr); }

Bytes EncodeJpeg(int w, int h, J_COLOR_SPACE space, int comps, const Bytes& pixels, int quality,
                 bool keepApp0 = true) {
  jpeg_compress_struct c;
  jpeg_error_mgr e;
  c.err = jpeg_std_error(&e);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = JDIMENSION(w);
  c.image_height = JDIMENSION(h);
  c.input_components = comps;
  c.in_color_space = space;
  jpeg_set_defaults(&c);
  c.write_JFIF_header = keepApp0 ? TRUE : FALSE;
  jpeg_set_quality(&c, quality, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW r = const_cast<uint8_t*>(pixels.data() + size_t(c.next_scanline) * w * comps);
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  Bytes b(out, out + size);
  std::free(out);
  jpeg_destroy_compress(&c);
  return b;
}

class Loaded {
 public:
  explicit Loaded(int32_t h) : owner_(h) {}
  int32_t h() const { return owner_.get(); }

 private:
  RectOwner owner_;
};

TEST(ReadTiff, RowOrderDepthsAndChannels) {
  TiffLayout grey;
  grey.width = 3;
  grey.length = 2;
  grey.pixels = {1, 2, 3, 4, 5, 6};
  TempFile g(MakeTiff(grey));
  {
    Loaded r(mrReadFile(g.path()));
    ASSERT_GT(r.h(), 0) << mrLastLoadError();
    EXPECT_STREQ(mrLastLoadError(), "");
    View v = Look(r.h());
    EXPECT_EQ(v.depth, 8);
    EXPECT_EQ(v.pitch, 4);
    EXPECT_EQ(Bytes(v.row(0), v.row(0) + 3), (Bytes{4, 5, 6}));
    EXPECT_EQ(Bytes(v.row(1), v.row(1) + 3), (Bytes{1, 2, 3}));
  }
  TiffLayout rgb;
  rgb.width = 2;
  rgb.length = 1;
  rgb.bitsPerSample = {8, 8, 8};
  rgb.photometric = 2;
  rgb.pixels = {200, 100, 50, 1, 2, 3};
  TempFile c(MakeTiff(rgb));
  {
    Loaded r(mrReadFile(c.path()));
    ASSERT_GT(r.h(), 0) << mrLastLoadError();
    View v = Look(r.h());
    EXPECT_EQ(v.depth, 24);
    EXPECT_EQ(Bytes(v.row(0), v.row(0) + 6), (Bytes{50, 100, 200, 3, 2, 1}));
  }
  // 16,16,16 big-endian: words in machine order, blue first.
  TiffLayout rgb48;
  rgb48.bigEndian = true;
  rgb48.width = 1;
  rgb48.length = 2;
  rgb48.bitsPerSample = {16, 16, 16};
  rgb48.pixels = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16};
  TempFile w(MakeTiff(rgb48));
  {
    Loaded r(mrReadFile(w.path()));
    ASSERT_GT(r.h(), 0) << mrLastLoadError();
    View v = Look(r.h());
    EXPECT_EQ(v.depth, 48);
    uint16_t px[3];
    std::memcpy(px, v.row(1), 6);  // the top row of the picture
    EXPECT_EQ(px[0], 0x0506);
    EXPECT_EQ(px[1], 0x0304);
    EXPECT_EQ(px[2], 0x0102);
    std::memcpy(px, v.row(0), 6);
    EXPECT_EQ(px[0], 0x1516);
  }
  // 16-bit grey, both byte orders, give the same values.
  for (bool big : {false, true}) {
    TiffLayout s;
    s.bigEndian = big;
    s.width = 3;
    s.length = 1;
    s.bitsPerSample = {16};
    s.pixels = big ? Bytes{0x12, 0x34, 0xAB, 0xCD, 0x00, 0x01} : Bytes{0x34, 0x12, 0xCD, 0xAB, 0x01, 0x00};
    TempFile f(MakeTiff(s));
    Loaded r(mrReadFile(f.path()));
    ASSERT_GT(r.h(), 0) << mrLastLoadError();
    EXPECT_EQ(mrGetPixel(r.h(), 0, 0), 0x1234) << big;
    EXPECT_EQ(mrGetPixel(r.h(), 1, 0), 0xABCD) << big;
    EXPECT_EQ(mrGetPixel(r.h(), 2, 0), 1) << big;
  }
}

TEST(ReadTiff, OneBitPixelsAndManyStrips) {
  TiffLayout s;
  s.width = 10;
  s.length = 2;
  s.bitsPerSample = {1};
  s.pixels = {0x80, 0x40, 0x01, 0xC0};
  TempFile f(MakeTiff(s));
  Loaded r(mrReadFile(f.path()));
  ASSERT_GT(r.h(), 0) << mrLastLoadError();
  EXPECT_EQ(Look(r.h()).depth, 1);
  // Top row of the picture (file row 0) is row 1.
  EXPECT_EQ(mrGetPixel(r.h(), 0, 1), 1);
  for (int x = 1; x < 8; ++x) EXPECT_EQ(mrGetPixel(r.h(), x, 1), 0) << x;
  EXPECT_EQ(mrGetPixel(r.h(), 9, 1), 1);
  EXPECT_EQ(mrGetPixel(r.h(), 7, 0), 1);
  EXPECT_EQ(mrGetPixel(r.h(), 8, 0), 1);
  EXPECT_EQ(mrGetPixel(r.h(), 9, 0), 1);

  // 16-bit rows in 4096 one-row strips: every row must arrive.
  TiffLayout big;
  big.width = 64;
  big.length = 4096;
  big.bitsPerSample = {16};
  big.rowsPerStrip = 1;
  big.pixels = Ramp(size_t(64) * 2 * 4096, 7);
  TempFile g(MakeTiff(big));
  Loaded b(mrReadFile(g.path()));
  ASSERT_GT(b.h(), 0) << mrLastLoadError();
  View v = Look(b.h());
  for (int y = 0; y < 4096; ++y)
    ASSERT_EQ(0, std::memcmp(v.row(4095 - y), big.pixels.data() + size_t(y) * 128, 128)) << y;
}

TEST(ReadTiff, UnloadableFilesFailWithAReasonAndLeaveNothing) {
  const int32_t before = ActiveRects();
  struct Case {
    const char* what;
    TiffLayout layout;
    std::string reason;
    size_t cut = 0;
  };
  std::vector<Case> cases;
  TiffLayout base;
  base.width = 4;
  base.length = 4;
  base.pixels = Ramp(16);
  {
    TiffLayout s = base;
    s.compression = 5;  // the bytes are no LZW data
    cases.push_back({"LZW", s, "LZW: "});
  }
  {
    TiffLayout s = base;
    s.bitsPerSample = {16, 8};
    s.pixels = Ramp(48);
    cases.push_back({"unequal", s, "TIFF with unequal BitsPerSample values is not supported"});
  }
  {
    TiffLayout s = base;
    s.rowsPerStrip = 1;
    s.ifdAt = 8;
    cases.push_back({"truncated", s, "file truncated in strip 4", 2});
  }
  for (const Case& c : cases) {
    Bytes file = MakeTiff(c.layout);
    file.resize(file.size() - c.cut);
    TempFile f(file);
    EXPECT_EQ(mrReadFile(f.path()), -1) << c.what;
    if (c.reason.back() == ' ')
      EXPECT_EQ(std::string(mrLastLoadError()).rfind(c.reason, 0), 0u) << mrLastLoadError();
    else
      EXPECT_EQ(mrLastLoadError(), c.reason) << c.what;
  }
  EXPECT_EQ(mrReadFile("/nonexistent/frame.tif"), -1);
  EXPECT_STREQ(mrLastLoadError(), "file not found");
  TempFile junk(Bytes{'I', 'I', 42, 0, 0xFF, 0xFF, 0xFF, 0x7F});
  EXPECT_EQ(mrReadFile(junk.path()), -1);
  EXPECT_STREQ(mrLastLoadError(), "TIFF IFD offset 2147483647 lies outside the file");
  TempFile text(Bytes{'h', 'e', 'l', 'l', 'o'});
  EXPECT_EQ(mrReadFile(text.path()), -1);
  EXPECT_STREQ(mrLastLoadError(), "unknown file format");
  EXPECT_EQ(ActiveRects(), before);
  EXPECT_EQ(FreeTheData(0), 16);
}

TEST(ReadTiff, DescriptionGoesToTheDebugBuffer) {
  TiffLayout s;
  s.pixels = {7};
  s.extra.push_back(TiffTag(270, 2, {}, std::string(5000, 'd')));
  TempFile f(MakeTiff(s));
  Loaded r(mrReadFile(f.path()));
  ASSERT_GT(r.h(), 0);
  EXPECT_EQ(std::strlen(mrGetDebugBuff()), 4159u);
}

TEST(ReadBmp, RowOrderBitsAndFlip) {
  BmpLayout b;
  b.width = 3;
  b.height = 2;
  b.bitsPerPixel = 8;
  b.palette.assign(256, 0x00102030);
  b.pixels = {1, 2, 3, 0, 4, 5, 6, 0};
  TempFile up(MakeBmp(b));
  {
    Loaded r(mrReadFile(up.path()));
    ASSERT_GT(r.h(), 0) << mrLastLoadError();
    View v = Look(r.h());
    EXPECT_EQ(v.depth, 8);
    EXPECT_EQ(Bytes(v.row(0), v.row(0) + 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(Bytes(v.row(1), v.row(1) + 3), (Bytes{4, 5, 6}));
  }
  b.height = -2;
  TempFile down(MakeBmp(b));
  {
    Loaded r(mrReadFile(down.path()));
    ASSERT_GT(r.h(), 0) << mrLastLoadError();
    View v = Look(r.h());
    EXPECT_EQ(Bytes(v.row(0), v.row(0) + 3), (Bytes{4, 5, 6}));
    EXPECT_EQ(Bytes(v.row(1), v.row(1) + 3), (Bytes{1, 2, 3}));
  }
  BmpLayout m;
  m.width = 9;
  m.height = 1;
  m.bitsPerPixel = 1;
  m.palette = {0xFFFFFF, 0};
  m.pixels = {0x80, 0x80, 0, 0};
  TempFile one(MakeBmp(m));
  {
    Loaded r(mrReadFile(one.path()));
    ASSERT_GT(r.h(), 0) << mrLastLoadError();
    EXPECT_EQ(mrGetPixel(r.h(), 0, 0), 1);
    for (int x = 1; x < 8; ++x) EXPECT_EQ(mrGetPixel(r.h(), x, 0), 0);
    EXPECT_EQ(mrGetPixel(r.h(), 8, 0), 1);
  }
  BmpLayout rle;
  rle.width = 4;
  rle.height = 2;
  rle.compression = 1;
  rle.imageSize = 0;
  rle.pixels = {0x03, 0x41, 0x00, 0x00, 0x02, 0x42, 0x00, 0x01};
  TempFile rl(MakeBmp(rle));
  {
    Loaded r(mrReadFile(rl.path()));
    ASSERT_GT(r.h(), 0) << mrLastLoadError();
    View v = Look(r.h());
    EXPECT_EQ(Bytes(v.row(0), v.row(0) + 4), (Bytes{0x41, 0x41, 0x41, 0}));
    EXPECT_EQ(Bytes(v.row(1), v.row(1) + 4), (Bytes{0x42, 0x42, 0, 0}));
  }
  BmpLayout cut;
  cut.width = 8;
  cut.height = 8;
  cut.pixels = Ramp(60);
  TempFile shortFile(MakeBmp(cut));
  EXPECT_EQ(mrReadFile(shortFile.path()), -1);
  EXPECT_NE(std::strstr(mrLastLoadError(), "truncated"), nullptr) << mrLastLoadError();
}

TEST(ReadBmp, FlagsRecogniseAndInstallTheColourTable) {
  BmpLayout b;
  b.width = 2;
  b.height = 2;
  for (uint32_t i = 0; i < 256; ++i) b.palette.push_back(0xFF0000 | i);
  b.pixels = Ramp(8);
  TempFile f(MakeBmp(b));
  const int32_t before = ActiveRects();
  EXPECT_EQ(mrReadFileLut(f.path(), VANTOR_LOAD_RECOGNISE), 0);
  EXPECT_EQ(ActiveRects(), before);
  TempFile text(Bytes{'n', 'o', 'p', 'e'});
  EXPECT_EQ(mrReadFileLut(text.path(), VANTOR_LOAD_RECOGNISE), -1);

  mrDisplayLut("White/Black", nullptr, nullptr, nullptr);
  {
    Loaded r(mrReadFile(f.path()));  // no flag: the table stays
    ASSERT_GT(r.h(), 0);
    EXPECT_EQ(mrDisplayLutCopy(nullptr), 2);
  }
  {
    Loaded r(mrReadFileLut(f.path(), VANTOR_LOAD_LUT));
    ASSERT_GT(r.h(), 0);
    uint8_t lut[1024];
    EXPECT_EQ(mrDisplayLutCopy(lut), 256);
    EXPECT_EQ(lut[4 * 7], 7);
    EXPECT_EQ(lut[4 * 7 + 2], 0xFF);
  }
  // A TIFF ColorMap of two entries installs a two-entry table.
  TiffLayout t;
  t.bitsPerSample = {1};
  t.photometric = 3;
  t.pixels = {0x80};
  t.extra.push_back(TiffTag(320, 3, {0xFFFF, 0x1000, 0xFFFF, 0x2000, 0xFFFF, 0x3000}));
  TempFile tf(MakeTiff(t));
  {
    Loaded r(mrReadFileLut(tf.path(), VANTOR_LOAD_LUT));
    ASSERT_GT(r.h(), 0) << mrLastLoadError();
    uint8_t lut[1024];
    EXPECT_EQ(mrDisplayLutCopy(lut), 2);
    EXPECT_EQ(lut[4], 0x30);      // blue of entry 1
    EXPECT_EQ(lut[5], 0x20);
    EXPECT_EQ(lut[6], 0x10);
  }
}

TEST(DisplayLut, Keywords) {
  const void* address = nullptr;
  int32_t bytes = 0;
  EXPECT_EQ(mrDisplayLut("linear", nullptr, &address, &bytes), 256);
  EXPECT_EQ(bytes, 1024);
  const uint8_t* t = static_cast<const uint8_t*>(address);
  EXPECT_EQ(t[4 * 200], 200);
  EXPECT_EQ(t[4 * 200 + 3], 0);
  EXPECT_EQ(mrDisplayLut("Black/White", nullptr, nullptr, nullptr), 2);
  EXPECT_EQ(t[0], 0);
  EXPECT_EQ(t[4], 255);
  EXPECT_EQ(mrDisplayLut("WHITE/BLACK", nullptr, nullptr, nullptr), 2);
  EXPECT_EQ(t[0], 255);
  EXPECT_EQ(t[4], 0);
  const uint8_t two[8] = {1, 2, 3, 0, 4, 5, 6, 0};
  EXPECT_EQ(mrDisplayLut("Mask", two, nullptr, nullptr), 2);
  EXPECT_EQ(t[6], 6);
  EXPECT_EQ(mrDisplayLut("Set", nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(mrDisplayLut("xyz", two, nullptr, nullptr), -1);
  EXPECT_EQ(mrDisplayLut("Info", nullptr, nullptr, &bytes), 2);
  EXPECT_EQ(bytes, 8);
}

TEST(ReadJpeg, ColourGreyOrientationAndSignatures) {
  const int w = 16, h = 8;
  Bytes rgb(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = rgb.data() + (size_t(y) * w + x) * 3;
      p[0] = y < h / 2 ? 220 : 20;  // red: top half bright
      p[1] = 120;
      p[2] = 40;
    }
  TempFile colour(EncodeJpeg(w, h, JCS_RGB, 3, rgb, 100), ".jpg");
  {
    Loaded r(mrReadFile(colour.path()));
    ASSERT_GT(r.h(), 0) << mrLastLoadError();
    View v = Look(r.h());
    EXPECT_EQ(v.depth, 24);
    EXPECT_EQ(v.width, w);
    EXPECT_EQ(v.height, h);
    EXPECT_EQ(v.pitch, 48);
    const uint8_t* bottom = v.row(0);
    const uint8_t* top = v.row(h - 1);
    EXPECT_NEAR(bottom[0], 40, 6);   // blue
    EXPECT_NEAR(bottom[1], 120, 6);  // green
    EXPECT_NEAR(bottom[2], 20, 6);   // red, dark at the bottom
    EXPECT_NEAR(top[2], 220, 6);
  }
  Bytes grey(size_t(w) * h);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = uint8_t(i / w * 30);
  // Without the APP0 segment the file begins FF D8 FF DB.
  Bytes noApp0 = EncodeJpeg(w, h, JCS_GRAYSCALE, 1, grey, 100, false);
  ASSERT_EQ(noApp0[3], 0xDB);
  TempFile g(noApp0, ".jpg");
  {
    Loaded r(mrReadFile(g.path()));
    ASSERT_GT(r.h(), 0) << mrLastLoadError();
    View v = Look(r.h());
    EXPECT_EQ(v.depth, 8);
    EXPECT_NEAR(v.row(h - 1)[0], 0, 3);
    EXPECT_NEAR(v.row(0)[0], 210, 3);
  }
  {
    Loaded r(mrReadFileLut(g.path(), VANTOR_LOAD_LUT));
    ASSERT_GT(r.h(), 0);
    EXPECT_EQ(mrDisplayLutCopy(nullptr), 256);
  }
  const int32_t before = ActiveRects();
  Bytes truncated = EncodeJpeg(w, h, JCS_RGB, 3, rgb, 90);
  truncated.resize(truncated.size() / 2);
  TempFile t(truncated, ".jpg");
  EXPECT_EQ(mrReadFile(t.path()), -1);
  EXPECT_STREQ(mrLastLoadError(), "JPEG: file truncated: the compressed data end early");
  TempFile junk(Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 0, 1, 2, 3}, ".jpg");
  EXPECT_EQ(mrReadFile(junk.path()), -1);
  EXPECT_EQ(std::strncmp(mrLastLoadError(), "JPEG: ", 6), 0);
  {
    Loaded r(mrReadJPEGfile(colour.path()));
    EXPECT_GT(r.h(), 0);
  }
  EXPECT_EQ(mrReadJPEGfile("/nonexistent.jpg"), -1);
  EXPECT_STREQ(mrLastLoadError(), "file not found");
  TempFile tiffFile(MakeTiff(TiffLayout{}));
  EXPECT_EQ(mrReadJPEGfile(tiffFile.path()), -1);
  EXPECT_STREQ(mrLastLoadError(), "not a JPEG file");
  EXPECT_EQ(ActiveRects(), before);
}

TEST(ReadJpeg, CmykBecomesColour) {
  const int w = 8, h = 8;
  Bytes cmyk(size_t(w) * h * 4);
  for (size_t i = 0; i < cmyk.size(); i += 4) {
    // libjpeg marks CMYK files as Adobe's, whose values are inverted (255 =
    // no ink): full cyan, no magenta, full yellow, no black gives green.
    cmyk[i] = 0;
    cmyk[i + 1] = 255;
    cmyk[i + 2] = 0;
    cmyk[i + 3] = 255;
  }
  Bytes file = EncodeJpeg(w, h, JCS_CMYK, 4, cmyk, 100);
  TempFile f(file, ".jpg");
  Loaded r(mrReadFile(f.path()));
  ASSERT_GT(r.h(), 0) << mrLastLoadError();
  View v = Look(r.h());
  EXPECT_EQ(v.depth, 24);
  const uint8_t* p = v.row(3) + 9;
  EXPECT_NEAR(p[2], 0, 8);     // red
  EXPECT_NEAR(p[1], 255, 8);   // green
  EXPECT_NEAR(p[0], 0, 8);     // blue
}

TEST(Bitmaps, BitmapToMemRectOrientation) {
  const uint8_t pixels[2][8] = {{1, 2, 3, 0, 0, 0, 0, 0}, {4, 5, 6, 0, 0, 0, 0, 0}};
  VantorBitmap bm{8, 3, 2, 8, pixels};
  Loaded a(mrBitmapToMemRect(&bm, 0));
  ASSERT_GT(a.h(), 0);
  EXPECT_EQ(mrGetPixel(a.h(), 0, 0), 4);
  EXPECT_EQ(mrGetPixel(a.h(), 2, 1), 3);
  Loaded b(mrBitmapToMemRect(&bm, 1));
  EXPECT_EQ(mrGetPixel(b.h(), 0, 0), 1);
  bm.bitsPerPixel = 12;
  EXPECT_EQ(mrBitmapToMemRect(&bm, 0), -1);
  bm.bitsPerPixel = 24;  // stride 8 is shorter than a 9-byte row
  EXPECT_EQ(mrBitmapToMemRect(&bm, 0), -1);
  EXPECT_EQ(mrBitmapToMemRect(nullptr, 0), -1);
}

TEST(Bitmaps, ByteUtilities) {
  uint8_t b[4] = {0x80, 0x01, 0xF0, 0xA5};
  InverseBytes(b, 4);
  EXPECT_EQ(b[0], 0x01);
  EXPECT_EQ(b[1], 0x80);
  EXPECT_EQ(b[2], 0x0F);
  EXPECT_EQ(b[3], 0xA5);
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = uint8_t(255 - i);
  uint8_t out[4];
  TableSubst(b, out, 4, table);
  EXPECT_EQ(out[0], 0xFE);
  TableSubst(b, out, 4, nullptr);
  EXPECT_EQ(out[1], 0x01);

  RectOwner r(mrCreate(48, 3, 2));
  ASSERT_TRUE(r);
  View v = Look(r.get());
  uint8_t* row = const_cast<uint8_t*>(v.row(1));
  for (int i = 0; i < v.pitch; ++i) row[i] = uint8_t(i);
  const uint8_t order48[6] = {4, 5, 2, 3, 0, 1};
  EXPECT_EQ(mrPermute(r.get(), 6, order48), r.get());
  EXPECT_EQ(Bytes(row, row + 6), (Bytes{4, 5, 2, 3, 0, 1}));
  EXPECT_EQ(Bytes(row + 12, row + 18), (Bytes{16, 17, 14, 15, 12, 13}));
  EXPECT_EQ(row[18], 18);  // padding after the row's 18 bytes is left alone
  const uint8_t bad[2] = {0, 2};
  EXPECT_EQ(mrPermute(r.get(), 2, bad), -1);
  EXPECT_EQ(mrPermute(-5, 6, order48), -1);
}

TEST(ReadFiles, ParallelLoadsOfManyFiles) {
  constexpr int kThreads = 4;
  std::vector<std::unique_ptr<TempFile>> files;
  std::vector<Bytes> firstRows;
  for (int t = 0; t < kThreads; ++t) {
    if (t % 2 == 0) {
      TiffLayout s;
      s.width = 33 + t;
      s.length = 40;
      s.rowsPerStrip = 7;
      s.bigEndian = t == 2;
      s.pixels = Ramp(size_t(s.width) * 40, t);
      firstRows.push_back(Bytes(s.pixels.end() - s.width, s.pixels.end()));
      files.push_back(std::make_unique<TempFile>(MakeTiff(s)));
    } else {
      BmpLayout b;
      b.width = 36;
      b.height = -40;
      b.pixels = Ramp(36 * 40, t);
      firstRows.push_back(Bytes(b.pixels.end() - 36, b.pixels.end()));
      files.push_back(std::make_unique<TempFile>(MakeBmp(b)));
    }
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        Loaded r(mrReadFile(files[t]->path()));
        if (r.h() <= 0) {
          ++failures;
          continue;
        }
        View v = Look(r.h());
        if (Bytes(v.row(0), v.row(0) + firstRows[t].size()) != firstRows[t]) ++failures;
        if (std::strcmp(mrLastLoadError(), "") != 0) ++failures;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(FreeTheData(0), 16);
}

TEST(ReadFiles, SampleImages) {
  // The photographs beside the checkout when they are there; otherwise a
  // frame of the bundled sequence and a JPEG made from it.
  const std::string dir = VANTOR_SOURCE_DIR "/../shared/samples/";
  std::FILE* probe_file = std::fopen((dir + "cell.tif").c_str(), "rb");
  const bool have = probe_file != nullptr;
  if (have) std::fclose(probe_file);
  const std::string tif =
      have ? dir + "cell.tif" : VANTOR_SOURCE_DIR "/testdata/sample/cell_01.tif";
  Loaded cell(mrReadFile(tif.c_str()));
  ASSERT_GT(cell.h(), 0) << mrLastLoadError();
  int32_t w = 0, h = 0;
  EXPECT_EQ(mrGetRectInfo(cell.h(), &w, &h), 8);
  EXPECT_EQ(w, have ? 550 : 400);
  EXPECT_EQ(h, have ? 660 : 400);
  std::string jpg = dir + "hubble_deep_field.jpg";
  int32_t jw = 1000, jh = 872;
  char made[] = "/tmp/vantor-sample-XXXXXX.jpg";
  if (!have) {
    const int fd = mkstemps(made, 4);
    ASSERT_GE(fd, 0);
    close(fd);
    RectOwner colour(mrCreate(24, w, h));
    ASSERT_GE(mrConvert(cell.h(), colour.get(), 0), 0);
    ASSERT_GE(mrSaveJPEGfile(colour.get(), made, 90), 0);
    jpg = made;
    jw = w;
    jh = h;
  }
  Loaded sky(mrReadFile(jpg.c_str()));
  if (!have) std::remove(made);
  ASSERT_GT(sky.h(), 0) << mrLastLoadError();
  EXPECT_EQ(mrGetRectInfo(sky.h(), &w, &h), 24);
  EXPECT_EQ(w, jw);
  EXPECT_EQ(h, jh);
}

}  // namespace
}  // namespace vantor
