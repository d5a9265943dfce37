#include "bmptiff/bmptiff_write.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bmptiff/bmptiff.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A path in the temporary folder, removed afterwards.
struct TempPath {
  std::string path;
  explicit TempPath(const char* suffix) {
    static int serial = 0;
    path = "/tmp/vantor_write_" + std::to_string(getpid()) + "_" + std::to_string(serial++) + suffix;
  }
  ~TempPath() { std::remove(path.c_str()); }
  const char* c_str() const { return path.c_str(); }
};

Bytes ReadAll(const std::string& path) {
  Bytes b;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    int c;
    while ((c = std::fgetc(f)) != EOF) b.push_back(uint8_t(c));
    std::fclose(f);
  }
  return b;
}

uint32_t U16(const Bytes& b, size_t at) { return b[at] | uint32_t(b[at + 1]) << 8; }
uint32_t U32(const Bytes& b, size_t at) { return U16(b, at) | U16(b, at + 2) << 16; }

struct Entry {
  uint32_t tag, type, count, value;
};

// The first IFD of a little-endian TIFF.
std::vector<Entry> Ifd(const Bytes& b) {
  std::vector<Entry> out;
  const uint32_t at = U32(b, 4);
  for (uint32_t i = 0; i < U16(b, at); ++i) {
    const size_t e = at + 2 + 12 * i;
    out.push_back({U16(b, e), U16(b, e + 2), U32(b, e + 4), U32(b, e + 8)});
  }
  return out;
}

const Entry* Tag(const std::vector<Entry>& ifd, uint32_t tag) {
  for (const Entry& e : ifd)
    if (e.tag == tag) return &e;
  return nullptr;
}

// Header, rows, rewrite: the 3 x 2 grey file of the template.
TEST(CreateTheHeader, TiffTemplateForThreeByTwo) {
  TempPath file(".tif");
  const int16_t slot = CreateTheHeader(1, 8, 3, 2, nullptr, 0, nullptr);
  ASSERT_GT(slot, 0);
  EXPECT_EQ(HeaderFormat(slot), 1);
  ASSERT_EQ(MakeHeaderFile(slot, file.c_str()), 0);
  EXPECT_EQ(MakeHeaderFile(slot, file.c_str()), -1);  // already open
  const uint8_t rows[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(WriteNextRows(slot, rows, 1), 0);
  EXPECT_EQ(WriteNextRows(slot, rows + 3, 1), 0);
  EXPECT_EQ(RewriteHeader(slot), 0);
  FreeTheData(slot);

  const Bytes b = ReadAll(file.path);
  ASSERT_EQ(b.size(), 176u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 2), "II");
  EXPECT_EQ(U16(b, 2), 42u);
  const auto ifd = Ifd(b);
  ASSERT_EQ(ifd.size(), 13u);
  const uint32_t tags[13] = {254, 256, 257, 258, 259, 262, 270, 273, 277, 278, 279, 284, 305};
  for (int i = 0; i < 13; ++i) EXPECT_EQ(ifd[i].tag, tags[i]);
  EXPECT_EQ(Tag(ifd, 256)->value, 3u);
  EXPECT_EQ(Tag(ifd, 257)->value, 2u);
  EXPECT_EQ(Tag(ifd, 258)->value, 8u);
  EXPECT_EQ(Tag(ifd, 262)->value, 1u);
  EXPECT_EQ(Tag(ifd, 273)->value, 170u);
  EXPECT_EQ(Tag(ifd, 278)->value, 2u);
  EXPECT_EQ(Tag(ifd, 279)->value, 6u);
  EXPECT_EQ(std::memcmp(&b[170], rows, 6), 0);
  EXPECT_EQ(U32(b, 8 + 2 + 13 * 12), 0u);  // no second IFD
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&Tag(ifd, 305)->value)), "QJX");
}

// Longer values and inserted tags: every offset still points at its value,
// the tags stay in order and the pixels follow the header; the readers agree.
TEST(CreateTheHeader, TagsInsertedAndValuesMoved) {
  TempPath file(".tif");
  const std::string text = "a description long enough to be stored behind the directory";
  const uint8_t table[8] = {255, 255, 255, 0, 0, 0, 0, 0};
  const int16_t slot = CreateTheHeader(1, 1, 10, 3, table, 2, text.c_str());
  ASSERT_GT(slot, 0);
  ASSERT_EQ(MakeHeaderFile(slot, file.c_str()), 0);
  const uint8_t rows[6] = {0x80, 0x40, 0xFF, 0xC0, 0x00, 0x00};
  EXPECT_EQ(WriteNextRows(slot, rows, 3), 0);
  EXPECT_EQ(RewriteHeader(slot), 0);
  FreeTheData(slot);

  const Bytes b = ReadAll(file.path);
  const auto ifd = Ifd(b);
  for (size_t i = 1; i < ifd.size(); ++i) EXPECT_LT(ifd[i - 1].tag, ifd[i].tag);
  const Entry* map = Tag(ifd, 320);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->count, 6u);  // red, green and blue for pixel values 0 and 1
  EXPECT_EQ(map->value % 2, 0u);
  const uint32_t expect_map[6] = {65535, 0, 65535, 0, 65535, 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(U16(b, map->value + 2 * i), expect_map[i]);
  EXPECT_EQ(Tag(ifd, 262)->value, 3u);
  const Entry* desc = Tag(ifd, 270);
  EXPECT_EQ(desc->count, text.size() + 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[desc->value])), text);
  const uint32_t start = Tag(ifd, 273)->value;
  EXPECT_EQ(b.size(), start + 6);
  EXPECT_EQ(std::memcmp(&b[start], rows, 6), 0);

  const int16_t h = ReadFileHeader(file.c_str());
  ASSERT_GT(h, 0);
  uint16_t bits = 0;
  uint32_t w = 0, l = 0;
  char buf[128];
  int32_t len = sizeof buf;
  EXPECT_EQ(GetHeaderInfo(h, &bits, &w, &l, buf, &len, nullptr, nullptr), 1);
  EXPECT_EQ(std::string(buf), text);
  EXPECT_EQ(GetTheRowBytes(), 2u);
  FreeTheData(h);

  // Colour: three samples, stored behind the directory.
  TempPath rgb(".tif");
  const int16_t s48 = CreateTheHeader(1, 48, 2, 1, nullptr, 0, nullptr);
  ASSERT_EQ(MakeHeaderFile(s48, rgb.c_str()), 0);
  FreeTheData(s48);
  const Bytes c = ReadAll(rgb.path);
  const auto cifd = Ifd(c);
  EXPECT_EQ(Tag(cifd, 258)->count, 3u);
  EXPECT_EQ(U16(c, Tag(cifd, 258)->value + 4), 16u);
  EXPECT_EQ(Tag(cifd, 262)->value, 2u);
  EXPECT_EQ(Tag(cifd, 277)->value, 3u);
  EXPECT_EQ(Tag(cifd, 273)->value, c.size());
}

TEST(CreateTheHeader, BmpLayoutPaletteDescriptionAndRowCount) {
  TempPath file(".bmp");
  uint8_t grey[256 * 4];
  for (int i = 0; i < 256; ++i) grey[4 * i] = grey[4 * i + 1] = grey[4 * i + 2] = uint8_t(i), grey[4 * i + 3] = 0;
  EXPECT_EQ(CreateTheHeader(2, 4, 5, 5, grey, 17, nullptr), 0);   // 4 bits hold 16 colours
  EXPECT_EQ(CreateTheHeader(2, 16, 5, 5, grey, 2, nullptr), 0);   // no table above 8 bits
  EXPECT_EQ(CreateTheHeader(3, 8, 5, 5, nullptr, 0, nullptr), 0);
  const int16_t slot = CreateTheHeader(2, 8, 5, -4, grey, 256, nullptr);  // top-down
  ASSERT_GT(slot, 0);
  AddDescription(slot, "hello", 5);
  ASSERT_EQ(MakeHeaderFile(slot, file.c_str()), 0);
  AddDescription(slot, "too late", 8);  // the header is out already
  const uint8_t rows[16] = {1, 2, 3, 4, 5, 0, 0, 0, 6, 7, 8, 9, 10, 0, 0, 0};
  EXPECT_EQ(WriteNextRows(slot, rows, 2), 0);  // two of the four rows
  EXPECT_EQ(RewriteHeader(slot), 0);
  FreeTheData(slot);

  const Bytes b = ReadAll(file.path);
  const uint32_t header = 54 + 1024 + 8;
  ASSERT_EQ(b.size(), header + 16);
  EXPECT_EQ(b[0], 'B');
  EXPECT_EQ(U32(b, 2), b.size());
  EXPECT_EQ(U32(b, 10), header);
  EXPECT_EQ(U32(b, 18), 5u);
  EXPECT_EQ(int32_t(U32(b, 22)), -2);
  EXPECT_EQ(U16(b, 28), 8u);
  EXPECT_EQ(U32(b, 34), 16u);
  EXPECT_EQ(U32(b, 46), 256u);
  EXPECT_EQ(b[54 + 4 * 200], 200);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[54 + 1024]), 5), "hello");
  EXPECT_EQ(b[54 + 1024 + 5], 0);

  const int16_t h = ReadFileHeader(file.c_str());
  ASSERT_GT(h, 0);
  char buf[32];
  int32_t len = sizeof buf;
  GetHeaderInfo(h, nullptr, nullptr, nullptr, buf, &len, nullptr, nullptr);
  EXPECT_EQ(std::string(buf), "hello");
  FreeTheData(h);
}

TEST(CreateTheHeader, SlotsSharedWithTheReadersAndFailures) {
  EXPECT_EQ(WriteNextRows(0, nullptr, 0), -1);
  EXPECT_EQ(RewriteHeader(17), -1);
  std::vector<int16_t> slots;
  for (int i = 0; i < 16; ++i) slots.push_back(CreateTheHeader(1, 8, 4, 4, nullptr, 0, nullptr));
  for (int16_t s : slots) EXPECT_GT(s, 0);
  EXPECT_EQ(CreateTheHeader(1, 8, 4, 4, nullptr, 0, nullptr), 0);
  EXPECT_EQ(WriteNextRows(slots[0], "abcd", 1), -1);  // no file yet
  EXPECT_EQ(MakeHeaderFile(slots[0], "/nonexistent-folder/x.tif"), -1);
  EXPECT_EQ(MakeHeaderFile(slots[0], nullptr), -1);
  for (int16_t s : slots) FreeTheData(s);
  EXPECT_EQ(FreeTheData(0), 16);
  EXPECT_EQ(CreateTheHeader(1, 12, 4, 4, nullptr, 0, nullptr), 0);  // no such depth
  EXPECT_EQ(CreateTheHeader(1, 8, 65536, 65536, nullptr, 0, nullptr), 0);  // over 4 GB

  // Tall images keep their RowsPerStrip as a LONG.
  TempPath file(".tif");
  const int16_t tall = CreateTheHeader(1, 1, 1, 70000, nullptr, 0, nullptr);
  ASSERT_EQ(MakeHeaderFile(tall, file.c_str()), 0);
  FreeTheData(tall);
  const auto ifd = Ifd(ReadAll(file.path));
  EXPECT_EQ(Tag(ifd, 278)->type, 4u);
  EXPECT_EQ(Tag(ifd, 278)->value, 70000u);
}

}  // namespace
