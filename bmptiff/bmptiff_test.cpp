#include "bmptiff/bmptiff.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bmptiff/bmptiff_internal.h"
#include "bmptiff/test_image_files.h"

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

// Opens a file and frees its slot at the end of the scope.
class Open {
 public:
  explicit Open(const char* path) : h_(ReadFileHeader(path)) {}
  ~Open() {
    if (h_) FreeTheData(h_);
  }
  int16_t h() const { return h_; }

 private:
  int16_t h_;
};

TiffLayout Grey8(uint32_t w, uint32_t h) {
  TiffLayout s;
  s.width = w;
  s.length = h;
  s.pixels = Ramp(size_t(w) * h);
  return s;
}

TEST(TiffRead, SingleStripWithoutByteCountsDeliversWholeImage) {
  TiffLayout s = Grey8(5, 4);
  s.stripByteCounts = false;
  TempFile f(MakeTiff(s));
  Open o(f.path());
  ASSERT_GT(o.h(), 0) << FileError();
  EXPECT_EQ(HeaderFormat(o.h()), VANTOR_FORMAT_TIFF);
  EXPECT_EQ(GetTheWidth(), 5u);
  EXPECT_EQ(GetTheLength(), 4u);
  EXPECT_EQ(GetThePixel(), 8u);
  EXPECT_EQ(GetTheRowBytes(), 5u);
  EXPECT_EQ(GetTheDataSize(), 20u);
  Bytes got(20, 0xEE);
  uint32_t n = 0;
  EXPECT_EQ(ReadNextRows(o.h(), got.data(), 4, &n), 0);
  EXPECT_EQ(n, 20u);
  EXPECT_EQ(got, s.pixels);
  // The strip is used up: further reads are refused.
  EXPECT_EQ(ReadNextRows(o.h(), got.data(), 1, &n), -1);
}

TEST(TiffRead, ConsecutiveReadsAndPositioningAcrossManyStrips) {
  // 600 one-row strips: the strip tables alone are larger than the 8 KB the
  // header read keeps, and the IFD sits after the pixels.
  TiffLayout s = Grey8(7, 600);
  s.rowsPerStrip = 1;
  TempFile f(MakeTiff(s));
  Open o(f.path());
  ASSERT_GT(o.h(), 0) << FileError();
  Bytes row(7);
  for (uint32_t y = 0; y < 600; ++y) {
    uint32_t n = 0;
    int32_t r = ReadNextRows(o.h(), row.data(), 1, &n);
    ASSERT_EQ(r, y + 1 < 600 ? 1 : 0) << y;
    ASSERT_EQ(n, 7u);
    ASSERT_EQ(0, std::memcmp(row.data(), s.pixels.data() + 7 * y, 7)) << y;
  }
  EXPECT_EQ(SetRowOffset(o.h(), 599), 1);
  ASSERT_EQ(ReadNextRows(o.h(), row.data(), 1, nullptr), 0);
  EXPECT_EQ(0, std::memcmp(row.data(), s.pixels.data() + 7 * 599, 7));
  EXPECT_EQ(SetRowOffset(o.h(), 0), 600);
  Bytes all(7 * 600);
  EXPECT_EQ(ReadNextRows(o.h(), all.data(), 600, nullptr), 0);
  EXPECT_EQ(all, s.pixels);
  EXPECT_EQ(SetRowOffset(o.h(), -1), -1);
  EXPECT_EQ(SetRowOffset(o.h(), 601), -1);

  // The loaders' scatter read, bottom row first.
  Bytes flipped(7 * 600);
  ASSERT_TRUE(ReadRowsInto(o.h(), flipped.data() + 7 * 599, -7, 600)) << FileError();
  for (uint32_t y = 0; y < 600; ++y)
    ASSERT_EQ(0, std::memcmp(flipped.data() + 7 * (599 - y), s.pixels.data() + 7 * y, 7));
}

TEST(TiffRead, RowsStraddlingStripBoundariesAndShortOffsets) {
  TiffLayout s = Grey8(10, 9);
  s.rowsPerStrip = 4;
  s.stripType = 3;
  TempFile f(MakeTiff(s));
  Open o(f.path());
  ASSERT_GT(o.h(), 0) << FileError();
  Bytes all(90);
  uint32_t n = 0;
  EXPECT_EQ(ReadNextRows(o.h(), all.data(), 9, &n), 0);
  EXPECT_EQ(n, 90u);
  EXPECT_EQ(all, s.pixels);
  // Row 5 lies in the second strip.
  EXPECT_EQ(SetRowOffset(o.h(), 5), 4);
  Bytes row(10);
  EXPECT_EQ(ReadNextRows(o.h(), row.data(), 1, nullptr), 1);
  EXPECT_EQ(0, std::memcmp(row.data(), s.pixels.data() + 50, 10));
}

TEST(TiffRead, IfdFarIntoALargeFileIsReadSeparately) {
  TiffLayout s = Grey8(100, 100);
  s.ifdAt = 4000;
  s.padTo = 100000;
  s.extra.push_back({270, 2, {}, "far description"});
  TempFile f(MakeTiff(s));
  Open o(f.path());
  ASSERT_GT(o.h(), 0) << FileError();
  EXPECT_EQ(GetTheWidth(), 100u);
  EXPECT_EQ(GetTheFileSize(), 100000u);
  char text[64];
  int32_t len = sizeof text;
  EXPECT_EQ(GetHeaderInfo(o.h(), nullptr, nullptr, nullptr, text, &len, nullptr, nullptr), 1);
  EXPECT_STREQ(text, "far description");
  Bytes all(10000);
  EXPECT_EQ(ReadNextRows(o.h(), all.data(), 100, nullptr), 0);
  EXPECT_EQ(all, s.pixels);
}

TEST(TiffRead, BitCountsAndRowBytes) {
  TiffLayout rgb16 = Grey8(3, 2);
  rgb16.bitsPerSample = {16, 16, 16};
  rgb16.pixels = Ramp(36);
  TempFile f48(MakeTiff(rgb16));
  {
    Open o(f48.path());
    ASSERT_GT(o.h(), 0) << FileError();
    uint16_t bpp = 0;
    uint32_t word = 0;
    EXPECT_EQ(GetHeaderInfo(o.h(), &bpp, nullptr, nullptr, nullptr, nullptr, nullptr, &word), 1);
    EXPECT_EQ(bpp, 48);
    EXPECT_EQ(GetTheRowBytes(), 18u);
    EXPECT_EQ(word, 0x01000002u);  // no Photometric tag: RGB assumed for 48 bits
  }
  TiffLayout bits = Grey8(10, 2);
  bits.bitsPerSample = {1};
  bits.pixels = Ramp(4);
  TempFile f1(MakeTiff(bits));
  {
    Open o(f1.path());
    ASSERT_GT(o.h(), 0);
    EXPECT_EQ(GetThePixel(), 1u);
    EXPECT_EQ(GetTheRowBytes(), 2u);
  }
  // A missing BitsPerSample means one bit per pixel.
  bits.bitsPerSample.clear();
  TempFile f0(MakeTiff(bits));
  {
    Open o(f0.path());
    ASSERT_GT(o.h(), 0) << FileError();
    EXPECT_EQ(GetThePixel(), 1u);
    EXPECT_EQ(GetTheRowBytes(), 2u);
  }
}

TEST(TiffRead, CompressedFileOpensButRowsFail) {
  TiffLayout s = Grey8(4, 4);
  s.compression = 32773;
  TempFile f(MakeTiff(s));
  Open o(f.path());
  ASSERT_GT(o.h(), 0);
  uint16_t compression = 0;
  GetHeaderInfo(o.h(), nullptr, nullptr, nullptr, nullptr, nullptr, &compression, nullptr);
  EXPECT_EQ(compression, 32773);
  Bytes buf(16);
  EXPECT_EQ(ReadNextRows(o.h(), buf.data(), 4, nullptr), -1);
  EXPECT_FALSE(ReadRowsInto(o.h(), buf.data(), 4, 4));
  EXPECT_STREQ(FileError(), "compressed TIFF (PackBits) is not supported");
}

TEST(TiffRead, BigEndianTagsComeInMachineOrder) {
  TiffLayout s = Grey8(300, 2);
  s.bigEndian = true;
  s.bitsPerSample = {16};
  s.pixels = Ramp(1200);
  s.photometric = 1;
  s.extra.push_back({282, 5, {300, 1}});     // 300 pixels per inch
  s.extra.push_back({283, 5, {10, 1}});
  s.extra.push_back({296, 3, {3}});          // per centimetre
  s.extra.push_back({700, 3, {1, 2, 3, 4}});  // a SHORT array outside the entry
  s.extra.push_back({701, 3, {0xBEEF}});
  s.extra.push_back({270, 2, {}, "abc"});    // ASCII inside the entry
  TempFile f(MakeTiff(s));
  Open o(f.path());
  ASSERT_GT(o.h(), 0) << FileError();
  EXPECT_EQ(GetTheWidth(), 300u);
  EXPECT_EQ(GetThePixel(), 16u);
  FileLayout l;
  ASSERT_TRUE(GetFileLayout(o.h(), &l));
  EXPECT_TRUE(l.bigEndian);
  EXPECT_DOUBLE_EQ(l.pixelWidth, 10.0 / 300);
  EXPECT_DOUBLE_EQ(l.pixelHeight, 1.0);
  uint16_t type = 0;
  uint32_t count = 0;
  const void* v = nullptr;
  ASSERT_EQ(GiveTIFFtag(o.h(), 700, &type, &count, &v), 8);
  EXPECT_EQ(type, 3);
  EXPECT_EQ(count, 4u);
  const uint16_t* shorts = static_cast<const uint16_t*>(v);
  EXPECT_EQ(shorts[0], 1);
  EXPECT_EQ(shorts[3], 4);
  ASSERT_EQ(GiveTIFFtag(o.h(), 701, &type, &count, &v), 2);
  EXPECT_EQ(*static_cast<const uint32_t*>(v), 0xBEEFu);
  ASSERT_EQ(GiveTIFFtag(o.h(), 282, &type, &count, &v), 8);
  EXPECT_EQ(static_cast<const uint32_t*>(v)[0], 300u);
  EXPECT_EQ(static_cast<const uint32_t*>(v)[1], 1u);
  char text[8];
  int32_t len = sizeof text;
  GetHeaderInfo(o.h(), nullptr, nullptr, nullptr, text, &len, nullptr, nullptr);
  EXPECT_STREQ(text, "abc");
  EXPECT_EQ(GiveTIFFtag(o.h(), 999, &type, &count, &v), 0);
  void* field = nullptr;
  EXPECT_EQ(TIFFtagValuePnt(o.h(), 257, &field), 1);
  uint32_t fieldValue = 0;
  std::memcpy(&fieldValue, field, 4);
  EXPECT_EQ(fieldValue, 2u);
  EXPECT_EQ(TIFFtagValuePnt(o.h(), 999, &field), 0);
  // Pixel rows stay as stored.
  Bytes all(1200);
  EXPECT_EQ(ReadNextRows(o.h(), all.data(), 2, nullptr), 0);
  EXPECT_EQ(all, s.pixels);
}

TEST(TiffRead, DescriptionIsCutButItsFullLengthReported) {
  TiffLayout s = Grey8(2, 2);
  s.extra.push_back({270, 2, {}, "a rather long description"});
  TempFile f(MakeTiff(s));
  Open o(f.path());
  ASSERT_GT(o.h(), 0);
  char text[8];
  int32_t len = sizeof text;
  EXPECT_EQ(GetHeaderInfo(o.h(), nullptr, nullptr, nullptr, text, &len, nullptr, nullptr), 1);
  EXPECT_STREQ(text, "a rathe");
  EXPECT_EQ(len, 25);
  len = sizeof text;
  EXPECT_EQ(GetHeaderInfo(0, nullptr, nullptr, nullptr, text, &len, nullptr, nullptr), 0);
  EXPECT_EQ(len, 0);
  EXPECT_STREQ(text, "");
  // An ImageDescription of no characters at all.
  s.extra[0] = TiffTag(270, 2, {}, "", 0);
  TempFile empty(MakeTiff(s));
  Open e(empty.path());
  ASSERT_GT(e.h(), 0);
  len = sizeof text;
  EXPECT_EQ(GetHeaderInfo(e.h(), nullptr, nullptr, nullptr, text, &len, nullptr, nullptr), 1);
  EXPECT_EQ(len, 0);
  EXPECT_STREQ(text, "");
}

TEST(TiffRead, PaletteColorMap) {
  TiffLayout s = Grey8(2, 2);
  s.photometric = 3;
  std::vector<uint32_t> map(768);
  for (uint32_t i = 0; i < 768; ++i) map[i] = i * 85;
  s.extra.push_back({320, 3, map});
  s.bigEndian = true;
  TempFile f(MakeTiff(s));
  Open o(f.path());
  ASSERT_GT(o.h(), 0) << FileError();
  const void* table = nullptr;
  int32_t entries = 0, bytes = 0;
  EXPECT_EQ(GetLUTinfo(o.h(), &table, &entries, &bytes), 1);
  EXPECT_EQ(entries, 768);
  EXPECT_EQ(bytes, 1536);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(static_cast<const uint16_t*>(table)[767], uint16_t(767 * 85));
}

TEST(TiffRead, DamagedHeadersFailTheOpen) {
  struct Case {
    const char* what;
    Bytes file;
  };
  std::vector<Case> cases;
  TiffLayout good = Grey8(4, 4);
  Bytes ok = MakeTiff(good);
  {
    Bytes b = ok;
    b[4] = 0xF0;  // IFD offset far beyond the end
    b[5] = 0xFF;
    cases.push_back({"IFD outside", b});
  }
  {
    Bytes b = ok;
    b[4] = 2;  // IFD inside the 8-byte header
    b[5] = b[6] = b[7] = 0;
    cases.push_back({"IFD in header", b});
  }
  {
    Bytes b = ok;
    uint32_t ifd = b[4] | (b[5] << 8);
    b[ifd] = 0xFF;  // 65535 entries
    b[ifd + 1] = 0xFF;
    cases.push_back({"absurd entry count", b});
  }
  {
    Bytes b = ok;
    b[2] = 43;
    cases.push_back({"BigTIFF", b});
  }
  {
    TiffLayout s = good;
    s.rowsPerStrip = 1;
    s.extra.push_back({273, 4, {8, 12, 16, 20}, "", -1, 0x7FFFFFF0});
    // Duplicate tags: the first (damaged) StripOffsets wins.
    cases.push_back({"strip table outside", MakeTiff(s)});
  }
  {
    TiffLayout s = good;
    s.rowsPerStrip = 1;
    s.stripByteCounts = false;
    cases.push_back({"several strips without byte counts", MakeTiff(s)});
  }
  {
    TiffLayout s = good;
    s.extra.push_back({279, 4, {4, 4}});
    s.stripByteCounts = false;
    cases.push_back({"byte counts of another length", MakeTiff(s)});
  }
  {
    TiffLayout s = good;
    s.extra.push_back({256, 4, {0xFFFFFFFF}});
    s.extra.push_back({257, 4, {0xFFFFFFFF}});
    s.bitsPerSample = {16, 16, 16};
    cases.push_back({"size overflow", MakeTiff(s)});
  }
  {
    TiffLayout s = good;
    s.extra.push_back({258, 3, {8, 8, 8}, "", 0x40000000});
    cases.push_back({"BitsPerSample count absurd", MakeTiff(s)});
  }
  cases.push_back({"short", Bytes{'I', 'I', 42, 0}});
  cases.push_back({"unknown", Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0}});
  cases.push_back({"empty", Bytes{}});
  for (const Case& c : cases) {
    TempFile f(c.file);
    int16_t h = ReadFileHeader(f.path());
    EXPECT_EQ(h, 0) << c.what;
    EXPECT_STRNE(FileError(), "") << c.what;
    if (h) FreeTheData(h);
  }
  EXPECT_EQ(FreeTheData(0), 16);
  EXPECT_EQ(ReadFileHeader("/nonexistent/file.tif"), 0);
}

TEST(TiffRead, TruncatedStripsFailTheRead) {
  TiffLayout s = Grey8(8, 8);
  s.rowsPerStrip = 2;
  Bytes b = MakeTiff(s);
  // Move the IFD to the front so that the file can be cut inside the pixels.
  s.ifdAt = 8;
  b = MakeTiff(s);
  b.resize(b.size() - 10);  // cuts into strip 4 (rows 6 and 7)
  TempFile f(b);
  Open o(f.path());
  ASSERT_GT(o.h(), 0) << FileError();
  Bytes all(64);
  EXPECT_FALSE(ReadRowsInto(o.h(), all.data(), 8, 8));
  EXPECT_STREQ(FileError(), "file truncated in strip 4");
  EXPECT_EQ(ReadNextRows(o.h(), all.data(), 8, nullptr), -1);
}

TEST(FileTable, SeventeenthOpenFailsAndSlotsAreRecycled) {
  TempFile f(MakeTiff(Grey8(2, 2)));
  std::vector<int16_t> handles;
  for (int i = 0; i < 16; ++i) {
    int16_t h = ReadFileHeader(f.path());
    ASSERT_EQ(h, i + 1);
    handles.push_back(h);
  }
  EXPECT_EQ(ReadFileHeader(f.path()), 0);
  EXPECT_STREQ(FileError(), "all 16 file slots are in use");
  EXPECT_EQ(FreeTheData(handles[5]), 1);
  EXPECT_EQ(ReadFileHeader(f.path()), handles[5]);
  EXPECT_EQ(ClearAllTB(), 16);
  EXPECT_EQ(ClearAllTB(), 0);
  EXPECT_EQ(HeaderFormat(handles[0]), 0);
  EXPECT_EQ(SetRowOffset(handles[0], 0), -1);
  EXPECT_EQ(ReadNextRows(handles[0], handles.data(), 1, nullptr), -1);
  EXPECT_EQ(GetTheWidth(), 0u);
  EXPECT_EQ(HeaderFormat(17), 0);
  EXPECT_EQ(HeaderFormat(-3), 0);
}

TEST(FileTable, ThreadsOpenReadAndFreeAtOnce) {
  // Each thread reads its own file; the getters must report the thread's own
  // current slot even while other threads open and free files.
  constexpr int kThreads = 6;
  std::vector<std::unique_ptr<TempFile>> files;
  std::vector<TiffLayout> specs;
  for (int t = 0; t < kThreads; ++t) {
    TiffLayout s = Grey8(10 + t, 20);
    s.rowsPerStrip = 3;
    specs.push_back(s);
    files.push_back(std::make_unique<TempFile>(MakeTiff(s)));
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Bytes all(specs[t].pixels.size());
      for (int i = 0; i < 200; ++i) {
        int16_t h = ReadFileHeader(files[t]->path());
        if (!h) {
          ++failures;
          continue;
        }
        if (GetTheWidth() != uint32_t(10 + t)) ++failures;
        if (ReadNextRows(h, all.data(), 20, nullptr) != 0 || all != specs[t].pixels) ++failures;
        FreeTheData(h);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(FreeTheData(0), 16);
}

TEST(FileTable, ShowFileHeaderDescribesOrRefuses) {
  TiffLayout s = Grey8(3, 2);
  s.bigEndian = true;
  s.photometric = 1;
  TempFile tiff(MakeTiff(s));
  char text[512];
  EXPECT_EQ(ShowFileHeader(tiff.path(), text, sizeof text), 1);
  EXPECT_NE(std::strstr(text, "\nByte order: MOTOROLA"), nullptr) << text;
  EXPECT_NE(std::strstr(text, "\nImageWidth :          3\nImageLength :         2"), nullptr) << text;
  EXPECT_NE(std::strstr(text, "\nCompression: none"), nullptr) << text;
  EXPECT_NE(std::strstr(text, "\nPhotometricInterpretation : BlackIsZero"), nullptr) << text;

  TempFile junk(Bytes{'X', 'Y', 1, 2, 3});
  EXPECT_EQ(ShowFileHeader(junk.path(), text, sizeof text), 0);
  EXPECT_STREQ(text, "\nUnsupported image file firmat");

  BmpLayout b;
  b.width = 2;
  b.height = -3;
  b.bitsPerPixel = 24;
  b.pixels = Ramp(24);
  b.comment = "hello";
  TempFile bmp(MakeBmp(b));
  EXPECT_EQ(ShowFileHeader(bmp.path(), text, 20), 2);
  EXPECT_EQ(std::strlen(text), 19u);
  EXPECT_EQ(ShowFileHeader(bmp.path(), text, sizeof text), 2);
  EXPECT_NE(std::strstr(text, "\nBitmap file format (BMP top-down)"), nullptr) << text;
  EXPECT_NE(std::strstr(text, "(bits per pixel: 24)\nNo compression\nTrue color file"), nullptr)
      << text;
  EXPECT_EQ(FreeTheData(0), 16);
}

TEST(FileTable, OneCallSummaryAndHeaderTextOnStandardError) {
  TiffLayout s = Grey8(6, 5);
  s.extra.push_back(TiffTag(270, 2, {}, "summary"));
  TempFile f(MakeTiff(s));
  uint16_t bpp = 0;
  uint32_t w = 0, l = 0;
  char text[16];
  int32_t len = sizeof text;
  EXPECT_EQ(GetImageFileInfo(f.path(), &bpp, &w, &l, text, &len), 1);
  EXPECT_EQ(bpp, 8);
  EXPECT_EQ(w, 6u);
  EXPECT_EQ(l, 5u);
  EXPECT_STREQ(text, "summary");
  len = sizeof text;
  EXPECT_EQ(GetImageFileInfo("/nonexistent.tif", &bpp, &w, &l, text, &len), 0);
  EXPECT_EQ(len, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ShowFileHeader(f.path(), nullptr, 0), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind(f.path(), 0), 0u) << err;
  EXPECT_NE(err.find("\nImageWidth :          6"), std::string::npos) << err;
  EXPECT_EQ(FreeTheData(0), 16);
}

TEST(BmpRead, RowsComeInFileOrderWithPadding) {
  BmpLayout b;
  b.width = 3;
  b.height = 2;
  b.bitsPerPixel = 24;
  b.pixels = Ramp(24);
  TempFile f(MakeBmp(b));
  Open o(f.path());
  ASSERT_GT(o.h(), 0) << FileError();
  EXPECT_EQ(HeaderFormat(o.h()), VANTOR_FORMAT_BMP);
  EXPECT_EQ(GetTheRowBytes(), 12u);
  EXPECT_EQ(GetTheDataSize(), 24u);
  Bytes all(24);
  uint32_t n = 0;
  EXPECT_EQ(ReadNextRows(o.h(), all.data(), 2, &n), 0);
  EXPECT_EQ(n, 24u);
  EXPECT_EQ(all, b.pixels);
  EXPECT_EQ(SetRowOffset(o.h(), 1), 1);
  Bytes row(12);
  EXPECT_EQ(ReadNextRows(o.h(), row.data(), 1, &n), 0);
  EXPECT_EQ(0, std::memcmp(row.data(), b.pixels.data() + 12, 12));
  EXPECT_EQ(SetRowOffset(o.h(), 0), 2);
  EXPECT_EQ(ReadNextRows(o.h(), row.data(), 1, &n), 1);
  EXPECT_EQ(0, std::memcmp(row.data(), b.pixels.data(), 12));
  const void* pal = &n;
  int32_t entries = 7;
  EXPECT_EQ(GetLUTinfo(o.h(), &pal, &entries, nullptr), 2);
  EXPECT_EQ(pal, nullptr);
  EXPECT_EQ(entries, 0);
  uint32_t word = 0;
  GetHeaderInfo(o.h(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &word);
  EXPECT_EQ(word, 0x02004D42u);
}

TEST(BmpRead, HeaderFields) {
  BmpLayout b;
  b.width = 4;
  b.height = -100;
  b.bitsPerPixel = 8;
  b.colorsUsed = 16;
  for (uint32_t i = 0; i < 16; ++i) b.palette.push_back(i * 0x010101);
  b.ppmX = 11811;
  b.ppmY = 0;
  b.comment = "made by a test";
  b.pixels = Ramp(400);
  TempFile f(MakeBmp(b));
  Open o(f.path());
  ASSERT_GT(o.h(), 0) << FileError();
  FileLayout l;
  ASSERT_TRUE(GetFileLayout(o.h(), &l));
  EXPECT_EQ(l.length, 100u);
  EXPECT_TRUE(l.topDown);
  EXPECT_DOUBLE_EQ(l.pixelWidth, 1000.0 / 11811);
  EXPECT_EQ(l.pixelHeight, 0.0);
  const void* pal = nullptr;
  int32_t entries = 0, bytes = 0;
  EXPECT_EQ(GetLUTinfo(o.h(), &pal, &entries, &bytes), 2);
  EXPECT_EQ(entries, 16);
  EXPECT_EQ(bytes, 64);
  EXPECT_EQ(static_cast<const uint8_t*>(pal)[4 * 15], 15);
  char text[64];
  int32_t len = sizeof text;
  GetHeaderInfo(o.h(), nullptr, nullptr, nullptr, text, &len, nullptr, nullptr);
  EXPECT_STREQ(text, "made by a test");
  EXPECT_EQ(len, 14);
}

TEST(BmpRead, ImageSizeFieldAndBitCounts) {
  BmpLayout b;
  b.width = 5;
  b.height = 2;
  b.pixels = Ramp(16);
  b.palette.assign(256, 0);
  b.imageSize = 0;
  TempFile zero(MakeBmp(b));
  {
    Open o(zero.path());
    EXPECT_GT(o.h(), 0) << FileError();
    int32_t entries = 0;
    GetLUTinfo(o.h(), nullptr, &entries, nullptr);
    EXPECT_EQ(entries, 256);
  }
  b.imageSize = 15;
  TempFile wrong(MakeBmp(b));
  EXPECT_EQ(ReadFileHeader(wrong.path()), 0);
  b.imageSize = -1;
  b.bitsPerPixel = 2;
  TempFile two(MakeBmp(b));
  EXPECT_EQ(ReadFileHeader(two.path()), 0);
  EXPECT_STREQ(FileError(), "BMP with 2 bits per pixel is not supported");
  b.bitsPerPixel = 8;
  b.width = -5;
  TempFile negative(MakeBmp(b));
  EXPECT_EQ(ReadFileHeader(negative.path()), 0);
  b.width = 0x7FFFFFFF;
  b.height = 0x7FFFFFFF;
  b.imageSize = 0;
  TempFile huge(MakeBmp(b));
  EXPECT_EQ(ReadFileHeader(huge.path()), 0);
  EXPECT_EQ(FreeTheData(0), 16);
}

TEST(BmpRead, RunLengthDecoding) {
  BmpLayout b;
  b.width = 4;
  b.height = 2;
  b.compression = 1;
  b.imageSize = 8;
  b.pixels = {0x03, 0x41, 0x00, 0x00, 0x02, 0x42, 0x00, 0x01};
  TempFile f(MakeBmp(b));
  Open o(f.path());
  ASSERT_GT(o.h(), 0) << FileError();
  Bytes out(8, 0x77);
  EXPECT_EQ(ReadNextRows(o.h(), out.data(), 2, nullptr), 0);
  EXPECT_EQ(out, (Bytes{0x41, 0x41, 0x41, 0x77, 0x42, 0x42, 0x77, 0x77}));
}

TEST(BmpRead, RunLengthStaysInsideTheRowsAsked) {
  // Long runs, literals, moves and a missing end: nothing may land outside
  // the two rows asked for.
  BmpLayout b;
  b.width = 4;
  b.height = 4;
  b.compression = 1;
  b.imageSize = 0;
  b.pixels = {0x00, 0x05, 1, 2, 3, 4, 5, 0x00,  // literal of 5 with its pad byte
              0xFF, 0x09,                       // run past the end of the area
              0x00, 0x02, 0x01, 0x07};          // move far down
  TempFile f(MakeBmp(b));
  Open o(f.path());
  ASSERT_GT(o.h(), 0) << FileError();
  Bytes out(8 + 64, 0x77);
  uint32_t passed = 0;
  EXPECT_EQ(ReadNextRows(o.h(), out.data(), 2, &passed), 1);
  EXPECT_EQ(passed, 8u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), (Bytes{1, 2, 3, 4, 5, 9, 9, 9}));
  for (size_t i = 8; i < out.size(); ++i) ASSERT_EQ(out[i], 0x77) << i;

  b.pixels = {0x00, 0x02, 0x03, 0x01, 0x02, 0x09, 0x00, 0x03, 7};  // move, run, cut literal
  TempFile g(MakeBmp(b));
  Open p(g.path());
  ASSERT_GT(p.h(), 0);
  Bytes out2(16, 0);
  EXPECT_EQ(ReadNextRows(p.h(), out2.data(), 4, &passed), 0);
  EXPECT_EQ(out2[7], 9);
  EXPECT_EQ(out2[8], 9);
  EXPECT_EQ(out2[9], 7);
  EXPECT_EQ(out2[10], 0);

  b.bitsPerPixel = 4;
  b.compression = 2;
  TempFile rle4(MakeBmp(b));
  Open q(rle4.path());
  ASSERT_GT(q.h(), 0);
  EXPECT_EQ(ReadNextRows(q.h(), out2.data(), 1, nullptr), -1);
}

TEST(BmpRead, TruncatedPixelsAreNotSilentlyAccepted) {
  BmpLayout b;
  b.width = 8;
  b.height = 8;
  b.pixels = Ramp(64);
  Bytes file = MakeBmp(b);
  file.resize(file.size() - 10);
  TempFile f(file);
  Open o(f.path());
  ASSERT_GT(o.h(), 0);
  Bytes all(64);
  uint32_t n = 0;
  EXPECT_EQ(ReadNextRows(o.h(), all.data(), 8, &n), 0);
  EXPECT_EQ(n, 54u);
  EXPECT_FALSE(ReadRowsInto(o.h(), all.data(), 8, 8));
  EXPECT_NE(std::strstr(FileError(), "truncated"), nullptr);
}

}  // namespace
}  // namespace vantor
