#include "improc/pixelops.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

struct ByteCase {
  int code;
  uint8_t a, b, expected;
};

TEST(MemOpMem, ByteArithmeticAtTheEdgesOfTheRange) {
  const ByteCase cases[] = {
      {16, 7, 200, 7},    {17, 7, 200, 200},  {18, 200, 100, 44}, {19, 200, 100, 255},
      {19, 100, 155, 255}, {19, 100, 154, 254}, {20, 10, 20, 246}, {21, 10, 20, 10},
      {22, 100, 200, 0},  {22, 200, 100, 100}, {23, 100, 200, 100}, {23, 200, 100, 0},
      // Comparisons: 24 keeps operand 1 where 1 >= 2, 25 where 1 <= 2 (else 255),
      // 26 is 0 where 1 < 2, else 255. Equal operands keep operand 1 / give 255.
      {24, 50, 60, 0},    {24, 60, 50, 60},   {24, 55, 55, 55},   {25, 50, 60, 50},
      {25, 60, 50, 255},  {25, 55, 55, 55},   {26, 50, 60, 0},    {26, 60, 50, 255},
      {26, 55, 55, 255},  {28, 10, 250, 240}, {28, 250, 10, 240}, {29, 10, 250, 16},
      {29, 0, 128, 128},  {29, 0, 127, 127},  {29, 0, 129, 127},
      // Logical: 2 = 1 AND NOT 2, 4 = NOT 1 AND 2, 11 = 1 OR NOT 2, 13 = NOT 1 OR 2.
      {0, 0xF0, 0xCC, 0x00}, {1, 0xF0, 0xCC, 0xC0}, {2, 0xF0, 0xCC, 0x30},
      {3, 0xF0, 0xCC, 0xF0}, {4, 0xF0, 0xCC, 0x0C}, {5, 0xF0, 0xCC, 0xCC},
      {6, 0xF0, 0xCC, 0x3C}, {7, 0xF0, 0xCC, 0xFC}, {8, 0xF0, 0xCC, 0x03},
      {9, 0xF0, 0xCC, 0xC3}, {10, 0xF0, 0xCC, 0x33}, {11, 0xF0, 0xCC, 0xF3},
      {12, 0xF0, 0xCC, 0x0F}, {13, 0xF0, 0xCC, 0xCF}, {14, 0xF0, 0xCC, 0x3F},
      {15, 0xF0, 0xCC, 0xFF},
  };
  for (const ByteCase& c : cases) {
    uint8_t a[19], b[19];
    std::memset(a, c.a, sizeof a);
    std::memset(b, c.b, sizeof b);
    ASSERT_EQ(MemOpMem(a, b, 17, c.code), 0) << "code " << c.code;
    EXPECT_EQ(b[0], c.expected) << "code " << c.code;
    EXPECT_EQ(b[16], c.expected) << "code " << c.code;
    EXPECT_EQ(b[17], c.b) << "byte past the run changed, code " << c.code;
  }
}

TEST(MemOpMem, RefusesCodesThatAreNotByteOperations) {
  for (int code : {-1, 27, 30, 31, 32, 1000}) {
    uint8_t a[4] = {1, 2, 3, 4}, b[4] = {5, 6, 7, 8};
    EXPECT_EQ(MemOpMem(a, b, 4, code), 65535) << code;
    EXPECT_EQ(b[0], 5);
    EXPECT_EQ(b[3], 8);
  }
}

TEST(MemMaskConstMem, ConstantIsOperandOneAndThePixelOperandTwo) {
  // Constant numbering: 23 = max(c - p, 0) ("-S"), 22 = max(p - c, 0) ("-LS"),
  // 21 = c - p, 20 = p - c, 4 = c AND NOT p, 2 = NOT c AND p.
  struct Case {
    uint32_t flags;
    uint8_t p, expected;
  } cases[] = {{23, 4, 6}, {23, 30, 0}, {22, 4, 0}, {22, 30, 20}, {21, 4, 6}, {20, 4, 250},
               {4, 0x0C, 0x02}, {2, 0x0C, 0x04}, {24, 10, 10}, {24, 9, 0}, {25, 10, 10},
               {25, 11, 255}, {26, 9, 0}, {26, 10, 255}};
  for (const Case& c : cases) {
    uint8_t px[3] = {c.p, c.p, 77};
    EXPECT_GE(MemMaskConstMem(px, px, nullptr, 2, 1, 4, 4, 0, 10 + 0x100, c.flags | 0x40), 0);
    EXPECT_EQ(px[0], c.expected) << "code " << c.flags;
    EXPECT_EQ(px[1], c.expected) << "code " << c.flags;
    EXPECT_EQ(px[2], 77) << "pixel past the width changed, code " << c.flags;
  }
}

TEST(MemMaskConstMem, MaskSelectsPixelsAndTheSummaryDescribesWhatWasWritten) {
  // Two rows of 11 pixels, pitch 12; mask bits set at x = 0, 3, 8, 10 in row 0
  // and nowhere in row 1.
  std::vector<uint8_t> px(24, 5);
  std::vector<uint8_t> mask = {0x09, 0x05, 0x00, 0x00};
  std::vector<uint8_t> out = px;
  EXPECT_EQ(MemMaskConstMem(px.data(), out.data(), mask.data(), 11, 2, 12, 12, 2, 255, 5), 1);
  for (int x = 0; x < 24; ++x) {
    const bool set = x == 0 || x == 3 || x == 8 || x == 10;
    EXPECT_EQ(out[x], set ? 255 : 5) << x;
  }
  out = px;
  EXPECT_EQ(MemMaskConstMem(px.data(), out.data(), mask.data(), 11, 2, 12, 12, 2, 0, 5 | 0x80), 0);
  for (int x = 0; x < 24; ++x) {
    const bool set = x == 0 || x == 3 || x == 8 || x == 10 || x == 11 || x == 23;
    EXPECT_EQ(out[x], set ? 5 : 0) << x;
  }
  // Mixed values give 2; an all-clear mask writes nothing and gives 0.
  out = px;
  EXPECT_EQ(MemMaskConstMem(px.data(), out.data(), mask.data(), 11, 2, 12, 12, 2, 3, 18 | 0x80), 2);
  const std::vector<uint8_t> none(4, 0);
  out = px;
  EXPECT_EQ(MemMaskConstMem(px.data(), out.data(), none.data(), 11, 2, 12, 12, 2, 0, 17), 0);
  EXPECT_EQ(out, px);
}

TEST(MemMaskConstMem, WidePixelsUseTheirOwnRangeAndSignedCodes) {
  uint16_t w[4] = {65000, 100, 0x8000, 7};
  EXPECT_EQ(MemMaskConstMem16(w, w, nullptr, 3, 1, 8, 8, 0, 1000 + 65536, 19 | 0x40), 2);
  EXPECT_EQ(w[0], 65535);  // saturating add at the 16-bit top
  EXPECT_EQ(w[1], 1100);
  EXPECT_EQ(w[2], 0x8000 + 1000);
  EXPECT_EQ(w[3], 7);
  uint16_t s[3] = {0xFFFF, 5, 0x8000};  // -1, 5, -32768 as signed
  EXPECT_GE(MemMaskConstMem16(s, s, nullptr, 3, 1, 6, 6, 0, 2, 30 | 0x40), 0);
  EXPECT_EQ(s[0], 0xFFFF);
  EXPECT_EQ(s[1], 2);
  EXPECT_EQ(s[2], 0x8000);
  uint16_t d[2] = {0xFFFF, 0x8000};
  EXPECT_GE(MemMaskConstMem16(d, d, nullptr, 2, 1, 4, 4, 0, 3, 32 | 0x40), 0);
  EXPECT_EQ(d[0], 4);                  // |-1 - 3|
  EXPECT_EQ(d[1], 32768 + 3);          // |-32768 - 3| = 32771
  uint32_t q[3] = {0xFFFFFFFFu, 10, 0x80000000u};
  EXPECT_GE(MemMaskConstMem32(q, q, nullptr, 3, 1, 12, 12, 0, 5, 31 | 0x40), 0);
  EXPECT_EQ(q[0], 5u);
  EXPECT_EQ(q[1], 10u);
  EXPECT_EQ(q[2], 5u);
  uint32_t c[2] = {1, 0xFFFFFFF0u};
  EXPECT_GE(MemMaskConstMem32(c, c, nullptr, 2, 1, 8, 8, 0, 0x10, 29 | 0x40), 0);
  EXPECT_EQ(c[0], 15u);
  EXPECT_EQ(c[1], 32u);  // circular distance across the 2^32 wrap
  // 8-bit kernels refuse the signed codes, every kernel refuses 27.
  uint8_t b[2] = {1, 2};
  EXPECT_EQ(MemMaskConstMem(b, b, nullptr, 2, 1, 2, 2, 0, 0, 30 | 0x40), -1);
  EXPECT_EQ(MemMaskConstMem16(w, w, nullptr, 2, 1, 4, 4, 0, 0, 27 | 0x40), -1);
  EXPECT_EQ(MemMaskConstMem32(q, q, nullptr, 2, 1, 8, 8, 0, 0, 33 | 0x40), -1);
  EXPECT_EQ(b[0], 1);
}

TEST(MemToBitMask, ComparesWritesEveryPixelAndKeepsThePaddingBits) {
  // 10 pixels per row, two rows, source pitch 12, mask pitch 2.
  std::vector<uint8_t> src = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 99, 99,
                              9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 99, 99};
  std::vector<uint8_t> mask = {0x00, 0xF0, 0xFF, 0xFC};
  EXPECT_EQ(MemToBitMask(src.data(), 10, 2, 12, mask.data(), 2, 7, 16), 6);
  EXPECT_EQ(mask[0], 0x80);
  EXPECT_EQ(mask[1], 0xF3);  // pixels 8, 9 set; bits beyond the width kept
  EXPECT_EQ(mask[2], 0x07);
  EXPECT_EQ(mask[3], 0xFC);
  EXPECT_EQ(MemToBitMask(src.data(), 10, 2, 12, mask.data(), 2, 7, 17), 16);
  EXPECT_EQ(MemToBitMask(src.data(), 10, 2, 12, mask.data(), 2, 7, 18), 2);
  EXPECT_EQ(mask[0], 0x80);
  EXPECT_EQ(mask[2], 0x04);
  EXPECT_EQ(MemToBitMask(src.data(), 10, 2, 12, mask.data(), 2, 7, 19), 18);
  EXPECT_EQ(MemToBitMask(src.data(), 10, 2, 12, mask.data(), 2, 7, 20), -1);
  EXPECT_EQ(mask[0], 0x7F);
}

TEST(MemToBitMask, WidePixelsAtOddAddressesCompareUnsigned) {
  // 16-bit pixels starting at an odd address with an odd pitch.
  std::vector<uint8_t> buf(1 + 7 * 2, 0);
  const uint16_t v16[3] = {0x8000, 0x7FFF, 0xFFFF};
  for (int y = 0; y < 2; ++y) std::memcpy(buf.data() + 1 + y * 7, v16, 6);
  uint8_t mask[2] = {0, 0};
  EXPECT_EQ(MemToBitMask16(buf.data() + 1, 3, 2, 7, mask, 1, 0x8000, 16), 4);
  EXPECT_EQ(mask[0], 0x05);
  EXPECT_EQ(mask[1], 0x05);
  const uint32_t v32[3] = {0xFFFFFFFFu, 0, 0x80000000u};
  uint8_t mask32 = 0xF8;
  EXPECT_EQ(MemToBitMask32(v32, 3, 1, 12, &mask32, 1, 0x80000000u, 17), 2);
  EXPECT_EQ(mask32, 0xFE);
}

TEST(MaskBitwise, CombinesBitsAndLeavesBitsPastTheRowAlone) {
  // 13-bit rows: the second byte holds 5 used bits and 3 padding bits.
  uint8_t src[4] = {0xF0, 0xFF, 0x0F, 0x00};
  uint8_t dst[4] = {0xCC, 0xE0, 0xCC, 0xE0};
  EXPECT_EQ(MaskBitwise(src, 13, 2, 2, dst, 2, 6), 2);
  EXPECT_EQ(dst[0], 0x3C);
  EXPECT_EQ(dst[1], 0xFF);  // 0x1F from XOR, 0xE0 kept
  EXPECT_EQ(dst[2], 0xC3);
  EXPECT_EQ(dst[3], 0xE0);
  // NOT 2 over a row of all ones gives only zeros: summary 0, padding kept.
  uint8_t ones[2] = {0xFF, 0xFF};
  EXPECT_EQ(MaskBitwise(ones, 13, 1, 2, ones, 2, 10), 0);
  EXPECT_EQ(ones[1], 0xE0);
  EXPECT_EQ(MaskBitwise(ones, 13, 1, 2, ones, 2, 15), 1);
  EXPECT_EQ(ones[1], 0xFF);
  EXPECT_EQ(MaskBitwise(ones, 13, 1, 2, ones, 2, 16), -1);
}

TEST(MaskOnes, CountsTheWindowOnly) {
  // Random 77 x 9 mask with pitch 12; windows at unaligned columns.
  std::mt19937 rng(7);
  std::vector<uint8_t> m(12 * 9);
  for (auto& b : m) b = static_cast<uint8_t>(rng());
  auto bit = [&](int x, int y) { return (m[y * 12 + (x >> 3)] >> (x & 7)) & 1; };
  const int windows[][4] = {{0, 0, 77, 9}, {3, 1, 70, 5}, {9, 2, 1, 1}, {5, 0, 2, 9},
                            {64, 3, 13, 6}, {17, 4, 0, 3}};
  for (const auto& w : windows) {
    int expected = 0;
    for (int y = w[1]; y < w[1] + w[3]; ++y)
      for (int x = w[0]; x < w[0] + w[2]; ++x) expected += bit(x, y);
    EXPECT_EQ(MaskOnes(m.data(), w[0], w[1], w[2], w[3], 12), expected)
        << w[0] << "," << w[1] << " " << w[2] << "x" << w[3];
  }
}

TEST(MaskOper, PixelFillInvertAndFind) {
  // 10 x 3 mask, pitch 2; padding bits 0xA0 in every second byte.
  uint8_t m[6] = {0x00, 0xA0, 0x00, 0xA0, 0x00, 0xA0};
  MaskPosition pos{9, 2, 1};
  EXPECT_EQ(MaskOper(m, 10, 3, 2, 0, &pos), 0);
  EXPECT_EQ(MaskOper(m, 10, 3, 2, 7, &pos), 0);  // no set pixel: record kept
  EXPECT_EQ(pos.x, 9);
  EXPECT_EQ(pos.y, 2);
  m[2] = 0x04;  // (2, 1)
  pos = {10, 0, 1};  // column beyond the width starts the next row
  EXPECT_EQ(MaskOper(m, 10, 3, 2, 7, &pos), 1);
  EXPECT_EQ(pos.x, 2);
  EXPECT_EQ(pos.y, 1);
  pos = {3, 1, 1};
  EXPECT_EQ(MaskOper(m, 10, 3, 2, 7, &pos), 0);
  EXPECT_EQ(MaskOper(m, 10, 3, 2, 0, &pos), 0);
  pos.x = 2;
  EXPECT_EQ(MaskOper(m, 10, 3, 2, 0, &pos), 1);
  pos = {10, 0, 0};
  EXPECT_EQ(MaskOper(m, 10, 3, 2, 0, &pos), -1);
  pos = {0, -1, 0};
  EXPECT_EQ(MaskOper(m, 10, 3, 2, 0, &pos), -1);

  EXPECT_EQ(MaskOper(m, 10, 3, 2, 5, nullptr), 0);
  EXPECT_EQ(m[0], 0xFF);
  EXPECT_EQ(m[1], 0xA3);
  pos = {4, 0, 0};
  EXPECT_EQ(MaskOper(m, 10, 3, 2, 7, &pos), 0);  // the padding bits are not pixels
  m[3] = 0xA1;                                   // clear (9, 1)
  pos = {4, 0, 0};
  EXPECT_EQ(MaskOper(m, 10, 3, 2, 7, &pos), 1);
  EXPECT_EQ(pos.x, 9);
  EXPECT_EQ(pos.y, 1);
  EXPECT_EQ(MaskOper(m, 10, 3, 2, 6, nullptr), 0);
  EXPECT_EQ(m[2], 0x00);
  EXPECT_EQ(m[3], 0xA2);
  EXPECT_EQ(MaskOper(m, 10, 3, 2, 4, nullptr), 0);
  EXPECT_EQ(m[3], 0xA0);
  EXPECT_EQ(MaskOper(m, 10, 3, 2, 3, &pos), -1);
}

TEST(PictHist, CountsEveryPixelOnceAndSumsTheValues) {
  // 5 x 3 with pitch 8: the padding bytes must not be counted.
  std::vector<uint8_t> px(24, 77);
  const uint8_t rows[3][5] = {{0, 0, 255, 255, 1}, {1, 2, 3, 4, 5}, {255, 255, 255, 0, 9}};
  for (int y = 0; y < 3; ++y) std::memcpy(px.data() + y * 8, rows[y], 5);
  int32_t h[256];
  std::fill(h, h + 256, -5);
  EXPECT_EQ(PictHist(px.data(), 5, 3, 8, h), 0u + 255 * 5 + 1 + 1 + 2 + 3 + 4 + 5 + 9);
  EXPECT_EQ(h[0], 3);
  EXPECT_EQ(h[1], 2);
  EXPECT_EQ(h[255], 5);
  EXPECT_EQ(h[77], 0);
  // A long contiguous run: counts add up and the sum wraps modulo 2^32.
  std::vector<uint8_t> big(17000001, 255);
  EXPECT_EQ(PictHist(big.data(), 17000001, 1, 17000001, h),
            static_cast<uint32_t>(17000001ull * 255));
  EXPECT_EQ(h[255], 17000001);
  EXPECT_EQ(PictHist(px.data(), 0, 3, 8, h), 0u);
  EXPECT_EQ(h[255], 0);
}

}  // namespace
