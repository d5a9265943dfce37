#include "kernels/convert_rows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernels/convert_kernels.h"
#include "kernels/kernels_test_util.h"

namespace {

namespace cv = vantor::convert;

// A buffer of rows with slack between them, so that writes past a row show up.
struct Rows {
  Rows(size_t rowBytes, size_t rows, size_t slack = 5, uint8_t fill = 0xA5)
      : pitch(static_cast<int32_t>(rowBytes + slack)), bytes(pitch * rows + 1, fill) {}
  uint8_t* at(size_t y) { return bytes.data() + y * pitch; }
  template <typename T>
  void put(size_t x, size_t y, T v) { std::memcpy(at(y) + x * sizeof(T), &v, sizeof v); }
  template <typename T>
  T get(size_t x, size_t y) {
    T v;
    std::memcpy(&v, at(y) + x * sizeof(T), sizeof v);
    return v;
  }
  int32_t pitch;
  std::vector<uint8_t> bytes;
};

// Bytes outside the first rowBytes of each row still hold the fill.
void ExpectSlackKept(Rows& r, size_t rowBytes, size_t rows, uint8_t fill = 0xA5) {
  for (size_t y = 0; y < rows; ++y) {
    for (size_t i = rowBytes; i < static_cast<size_t>(r.pitch); ++i) {
      ASSERT_EQ(r.at(y)[i], fill) << "row " << y << " byte " << i;
    }
  }
  EXPECT_EQ(r.bytes.back(), fill);
}

TEST(Narrowing, AutomaticShiftBringsMaximumIntoByteRange) {
  Rows src(2 * 3, 2), dst(3, 2);
  const uint16_t values[6] = {1000, 999, 4, 3, 0, 500};
  for (int i = 0; i < 6; ++i) src.put<uint16_t>(i % 3, i / 3, values[i]);
  EXPECT_EQ(Convert16to8(src.at(0), src.pitch, 3, 2, dst.at(0), dst.pitch, -1), 1000u);
  const uint8_t expected[6] = {250, 249, 1, 0, 0, 125};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(dst.get<uint8_t>(i % 3, i / 3), expected[i]) << i;
  ExpectSlackKept(dst, 3, 2);

  // A maximum that already fits is copied unchanged.
  src.put<uint16_t>(0, 0, 200);
  src.put<uint16_t>(1, 0, 199);
  src.put<uint16_t>(2, 1, 17);
  EXPECT_EQ(Convert16to8(src.at(0), src.pitch, 3, 2, dst.at(0), dst.pitch, -1), 200u);
  EXPECT_EQ(dst.get<uint8_t>(0, 0), 200);
  EXPECT_EQ(dst.get<uint8_t>(2, 1), 17);

  // All zero: result 0 and the destination cleared.
  Rows zero(2 * 3, 2, 5, 0);
  EXPECT_EQ(Convert16to8(zero.at(0), zero.pitch, 3, 2, dst.at(0), dst.pitch, -1), 0u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(dst.get<uint8_t>(i % 3, i / 3), 0) << i;

  // 32 bits: the full unsigned range comes down by 24.
  Rows s32(4 * 2, 1), d8(2, 1);
  s32.put<uint32_t>(0, 0, 0xFFFFFFFFu);
  s32.put<uint32_t>(1, 0, 0x80000000u);
  EXPECT_EQ(Convert32to8(s32.at(0), s32.pitch, 2, 1, d8.at(0), d8.pitch, -1), 0xFFFFFFFFu);
  EXPECT_EQ(d8.get<uint8_t>(0, 0), 255);
  EXPECT_EQ(d8.get<uint8_t>(1, 0), 128);
}

TEST(Narrowing, StretchTruncatesFrom16AndRoundsFrom32) {
  Rows s16(2 * 3, 1), s32(4 * 3, 1), d8a(3, 1), d8b(3, 1);
  const uint32_t values[3] = {1000, 500, 3};
  for (int i = 0; i < 3; ++i) {
    s16.put<uint16_t>(i, 0, static_cast<uint16_t>(values[i]));
    s32.put<uint32_t>(i, 0, values[i]);
  }
  EXPECT_EQ(Convert16to8(s16.at(0), s16.pitch, 3, 1, d8a.at(0), d8a.pitch, -3), 1000u);
  EXPECT_EQ(Convert32to8(s32.at(0), s32.pitch, 3, 1, d8b.at(0), d8b.pitch, -3), 1000u);
  EXPECT_EQ(d8a.get<uint8_t>(0, 0), 255);
  EXPECT_EQ(d8b.get<uint8_t>(0, 0), 255);
  EXPECT_EQ(d8a.get<uint8_t>(1, 0), 127);  // 500 * 255 / 1000 truncated
  EXPECT_EQ(d8b.get<uint8_t>(1, 0), 128);  // 127.5 rounded
  EXPECT_EQ(d8a.get<uint8_t>(2, 0), 0);    // 0.765
  EXPECT_EQ(d8b.get<uint8_t>(2, 0), 1);

  // Mode -2 stretches only when the maximum does not fit; it fits here.
  EXPECT_EQ(Convert32to8(s32.at(0), s32.pitch, 2, 1, d8b.at(0), d8b.pitch, -2), 1000u);
  EXPECT_EQ(d8b.get<uint8_t>(1, 0), 128);
  s32.put<uint32_t>(0, 0, 250);
  EXPECT_EQ(Convert32to8(s32.at(0), s32.pitch, 1, 1, d8b.at(0), d8b.pitch, -2), 250u);
  EXPECT_EQ(d8b.get<uint8_t>(0, 0), 250);

  // 32 to 16: prescale by 2 bits so 200000 -> 50000, then stretch to 65535.
  Rows w32(4 * 3, 1), d16(2 * 3, 1);
  w32.put<uint32_t>(0, 0, 200000);
  w32.put<uint32_t>(1, 0, 100000);
  w32.put<uint32_t>(2, 0, 3);
  EXPECT_EQ(Convert32to16(w32.at(0), w32.pitch, 3, 1, d16.at(0), d16.pitch, -2), 200000u);
  EXPECT_EQ(d16.get<uint16_t>(0, 0), 65535);
  EXPECT_EQ(d16.get<uint16_t>(1, 0), 32767);
  EXPECT_EQ(d16.get<uint16_t>(2, 0), 0);
  ExpectSlackKept(d16, 6, 1);
  // Mode -1 shifts by 2 instead.
  EXPECT_EQ(Convert32to16(w32.at(0), w32.pitch, 3, 1, d16.at(0), d16.pitch, -1), 200000u);
  EXPECT_EQ(d16.get<uint16_t>(0, 0), 50000);
  EXPECT_EQ(d16.get<uint16_t>(1, 0), 25000);
}

TEST(Narrowing, FixedShiftKeepsLowBitsAndReturnsZero) {
  Rows s16(2 * 3, 1), d8(3, 1);
  s16.put<uint16_t>(0, 0, 4095);
  s16.put<uint16_t>(1, 0, 4096);
  s16.put<uint16_t>(2, 0, 0xFFFF);
  EXPECT_EQ(Convert16to8(s16.at(0), s16.pitch, 3, 1, d8.at(0), d8.pitch, 4), 0u);
  EXPECT_EQ(d8.get<uint8_t>(0, 0), 255);
  EXPECT_EQ(d8.get<uint8_t>(1, 0), 0);
  EXPECT_EQ(d8.get<uint8_t>(2, 0), 255);
  // Shifting out every bit leaves 0, not the value shifted by the mode modulo 32.
  EXPECT_EQ(Convert16to8(s16.at(0), s16.pitch, 3, 1, d8.at(0), d8.pitch, 16), 0u);
  EXPECT_EQ(d8.get<uint8_t>(2, 0), 0);
  Rows s32(4, 1), d16(2, 1);
  s32.put<uint32_t>(0, 0, 0x89ABCDEFu);
  EXPECT_EQ(Convert32to16(s32.at(0), s32.pitch, 1, 1, d16.at(0), d16.pitch, 4), 0u);
  EXPECT_EQ(d16.get<uint16_t>(0, 0), 0xBCDE);
  Convert32to8(s32.at(0), s32.pitch, 1, 1, d8.at(0), d8.pitch, 40);
  EXPECT_EQ(d8.get<uint8_t>(0, 0), 0);
}

TEST(Widening, ShiftsByLowFiveBitsAndReportsLargest) {
  Rows s8(2, 1), d16(4, 1), d32(8, 1);
  s8.put<uint8_t>(0, 0, 255);
  s8.put<uint8_t>(1, 0, 1);
  EXPECT_EQ(Convert8to16(s8.at(0), s8.pitch, 2, 1, d16.at(0), d16.pitch, 8), 65280u);
  EXPECT_EQ(d16.get<uint16_t>(1, 0), 256);
  // 255 << 9 keeps only its low 16 bits.
  EXPECT_EQ(Convert8to16(s8.at(0), s8.pitch, 2, 1, d16.at(0), d16.pitch, 9), 65024u);
  EXPECT_EQ(d16.get<uint16_t>(0, 0), 65024);
  EXPECT_EQ(Convert8to16(s8.at(0), s8.pitch, 2, 1, d16.at(0), d16.pitch, 33), 510u);
  ExpectSlackKept(d16, 4, 1);
  EXPECT_EQ(Convert8to32(s8.at(0), s8.pitch, 2, 1, d32.at(0), d32.pitch, 24), 0xFF000000u);
  EXPECT_EQ(d32.get<uint32_t>(1, 0), 1u << 24);
  Rows s16(4, 1);
  s16.put<uint16_t>(0, 0, 0xFFFF);
  s16.put<uint16_t>(1, 0, 3);
  EXPECT_EQ(Convert16to32(s16.at(0), s16.pitch, 2, 1, d32.at(0), d32.pitch, 16), 0xFFFF0000u);
  EXPECT_EQ(d32.get<uint32_t>(1, 0), 3u << 16);
  ExpectSlackKept(d32, 8, 1);
}

TEST(Doubles, SignedAndUnsignedRules) {
  EXPECT_EQ(static_cast<int32_t>(cv::DoubleTo32(3e9, true)), 2147483647);
  EXPECT_EQ(static_cast<int32_t>(cv::DoubleTo32(-3e9, true)), -2147483647);
  EXPECT_EQ(static_cast<int32_t>(cv::DoubleTo32(-2.5, true)), -2);
  EXPECT_EQ(static_cast<int32_t>(cv::DoubleTo32(2.9, true)), 2);
  EXPECT_EQ(cv::DoubleTo32(5e9, false), 0xFFFFFFFFu);
  EXPECT_EQ(cv::DoubleTo32(3e9 + 0.7, false), 3000000000u);
  EXPECT_EQ(cv::DoubleTo32(-2.5, false), 0xFFFFFFFEu);
  // No lower limit: the low 32 bits of the truncated value, even far below -2^63.
  EXPECT_EQ(cv::DoubleTo32(-1e19, false), 1981284352u);
  EXPECT_EQ(cv::DoubleTo32(-1.5e19, false), 824442880u);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(cv::DoubleTo32(nan, true), 0u);
  EXPECT_EQ(cv::DoubleTo32(nan, false), 0u);
  EXPECT_EQ(cv::DoubleTo32(inf, false), 0xFFFFFFFFu);
  EXPECT_EQ(cv::DoubleTo32(-inf, false), 0u);
  EXPECT_EQ(static_cast<int32_t>(cv::DoubleTo32(-inf, true)), -2147483647);

  // Through the row converters, both ways, with a bottom-up (negative) pitch.
  Rows s32(8, 2), d64(16, 2), back(8, 2);
  s32.put<uint32_t>(0, 0, 0xFFFFFFFFu);
  s32.put<uint32_t>(1, 1, 7);
  Convert32toDouble(s32.at(1), -s32.pitch, 2, 2, d64.at(1), -d64.pitch, 0);
  EXPECT_EQ(d64.get<double>(0, 0), 4294967295.0);
  EXPECT_EQ(d64.get<double>(1, 1), 7.0);
  Convert32toDouble(s32.at(0), s32.pitch, 2, 2, d64.at(0), d64.pitch, 1);
  EXPECT_EQ(d64.get<double>(0, 0), -1.0);
  ExpectSlackKept(d64, 16, 2);
  d64.put<double>(1, 0, -2.5);
  ConvertDoubleTo32(d64.at(0), d64.pitch, 2, 2, back.at(0), back.pitch, 1);
  EXPECT_EQ(back.get<int32_t>(0, 0), -1);
  EXPECT_EQ(back.get<int32_t>(1, 0), -2);
  EXPECT_EQ(back.get<int32_t>(1, 1), 7);
  ExpectSlackKept(back, 8, 2);
}

TEST(ColourToGrey, RanksMeanAndWeights) {
  Rows src(3, 1), dst(1, 1);
  src.put<uint8_t>(0, 0, 10);  // blue
  src.put<uint8_t>(1, 0, 20);  // green
  src.put<uint8_t>(2, 0, 31);  // red
  struct Case {
    int32_t r, g, b;
    int expected;
  };
  const Case cases[] = {{-4, 0, 0, 21}, {-2, 0, 0, 31}, {0, 0, 0, 10},  {-1, 0, 0, 20},
                        {1, 1, 1, 20},  {255, 0, 0, 31}, {0, 7, 0, 20}, {3, 2, 1, 23},
                        {-1, 0, 2, 245}};  // (-31 + 20) / 1 = -11, low byte kept
  for (const vantor::KernelPath path : {vantor::KernelPath::kScalar, vantor::KernelPath::kVector}) {
    for (const Case& c : cases) {
      const uint32_t best = cv::RgbToGrey8(dst.at(0), 1, 1, dst.pitch, src.at(0), src.pitch, c.r,
                                           c.g, c.b, path);
      EXPECT_EQ(dst.get<uint8_t>(0, 0), c.expected) << c.r << "," << c.g << "," << c.b;
      EXPECT_EQ(best, static_cast<uint32_t>(c.expected));
    }
  }
  ExpectSlackKept(dst, 1, 1);

  // Weights large enough to overflow 32-bit products still divide correctly.
  EXPECT_EQ(RGBtoGray(dst.at(0), 1, 1, dst.pitch, src.at(0), src.pitch, 1 << 30, 1 << 29, 0),
            (31 * 2 + 20) / 3);

  // 16-bit channels: same rules, largest grey tracked over several pixels.
  Rows s48(12, 1), d16(4, 1);
  const uint16_t px[6] = {65535, 65535, 65534, 10, 20, 31};
  for (int i = 0; i < 6; ++i) s48.put<uint16_t>(i, 0, px[i]);
  EXPECT_EQ(RGB48toGray(d16.at(0), 2, 1, d16.pitch, s48.at(0), s48.pitch, -4, 0, 0), 65535);
  EXPECT_EQ(d16.get<uint16_t>(1, 0), 21);
  EXPECT_EQ(RGB48toGray(d16.at(0), 2, 1, d16.pitch, s48.at(0), s48.pitch, 0, 0, 0), 65534);
  EXPECT_EQ(RGB48toGray(d16.at(0), 2, 1, d16.pitch, s48.at(0), s48.pitch, 1, 1, 1), 65534);
  EXPECT_EQ(RGB48toGray(d16.at(0), 2, 1, d16.pitch, s48.at(0), s48.pitch, 0, 0, 255), 65535);
  EXPECT_EQ(d16.get<uint16_t>(1, 0), 10);
  ExpectSlackKept(d16, 4, 1);
}

TEST(GreyToColour, FillAddInsert) {
  Rows grey(2, 1), rgb(6, 1);
  grey.put<uint8_t>(0, 0, 200);
  grey.put<uint8_t>(1, 0, 0x0F);
  cv::GreyToRgb8(grey.at(0), grey.pitch, 2, 1, rgb.at(0), rgb.pitch, cv::GreyToRgbOp::kFill, 255,
                 255, 255);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(rgb.get<uint8_t>(c, 0), 200);
  // Red only, then green ORed in, then blue replaced.
  cv::GreyToRgb8(grey.at(0), grey.pitch, 2, 1, rgb.at(0), rgb.pitch, cv::GreyToRgbOp::kFill, 255,
                 0, 0);
  EXPECT_EQ(rgb.get<uint8_t>(0, 0), 0);
  EXPECT_EQ(rgb.get<uint8_t>(1, 0), 0);
  EXPECT_EQ(rgb.get<uint8_t>(2, 0), 200);
  grey.put<uint8_t>(1, 0, 0xF0);
  cv::GreyToRgb8(grey.at(0), grey.pitch, 2, 1, rgb.at(0), rgb.pitch, cv::GreyToRgbOp::kAdd, 0,
                 255, 0);
  EXPECT_EQ(rgb.get<uint8_t>(4, 0), 0xF0);
  grey.put<uint8_t>(1, 0, 0x0F);
  cv::GreyToRgb8(grey.at(0), grey.pitch, 2, 1, rgb.at(0), rgb.pitch, cv::GreyToRgbOp::kAdd, 0,
                 255, 0);
  EXPECT_EQ(rgb.get<uint8_t>(4, 0), 0xFF);  // OR, not a sum that wraps
  EXPECT_EQ(rgb.get<uint8_t>(5, 0), 0x0F);  // red of pixel 1 from the fill
  cv::GreyToRgb8(grey.at(0), grey.pitch, 2, 1, rgb.at(0), rgb.pitch, cv::GreyToRgbOp::kInsert, 0,
                 0, 51);
  EXPECT_EQ(rgb.get<uint8_t>(0, 0), 40);   // 51 * 200 / 255
  EXPECT_EQ(rgb.get<uint8_t>(1, 0), 200);  // green kept
  EXPECT_EQ(rgb.get<uint8_t>(2, 0), 200);  // red kept
  // Weights outside 0..255 saturate instead of wrapping.
  cv::GreyToRgb8(grey.at(0), grey.pitch, 2, 1, rgb.at(0), rgb.pitch, cv::GreyToRgbOp::kFill, 510,
                 -255, 0);
  EXPECT_EQ(rgb.get<uint8_t>(2, 0), 255);
  EXPECT_EQ(rgb.get<uint8_t>(1, 0), 0);
  EXPECT_EQ(rgb.get<uint8_t>(5, 0), 30);
  ExpectSlackKept(rgb, 6, 1);

  Rows g16(2, 1), rgb48(6, 1);
  g16.put<uint16_t>(0, 0, 60000);
  cv::GreyToRgb16(g16.at(0), g16.pitch, 1, 1, rgb48.at(0), rgb48.pitch, cv::GreyToRgbOp::kFill,
                  255, 0, 255);
  EXPECT_EQ(rgb48.get<uint16_t>(0, 0), 60000);
  EXPECT_EQ(rgb48.get<uint16_t>(1, 0), 0);
  EXPECT_EQ(rgb48.get<uint16_t>(2, 0), 60000);
  cv::GreyToRgb16(g16.at(0), g16.pitch, 1, 1, rgb48.at(0), rgb48.pitch, cv::GreyToRgbOp::kInsert,
                  0, 255, 0);
  EXPECT_EQ(rgb48.get<uint16_t>(1, 0), 60000);
  EXPECT_EQ(rgb48.get<uint16_t>(2, 0), 60000);
  ExpectSlackKept(rgb48, 6, 1);
}

// ---- Scalar and vector twins: identical output, slack included ----------------

using vantor::test::ForEachTarget;

class Twins : public ::testing::Test {
 protected:
  std::mt19937 rng_{12345};
  // Widths around vector multiples for every lane size up to 64 bytes.
  const size_t widths_[12] = {0, 1, 3, 15, 16, 17, 31, 33, 63, 64, 65, 203};
};

TEST_F(Twins, RowKernelsMatchScalar) {
  ForEachTarget([&] {
    for (const size_t width : widths_) {
      // An odd offset makes the wide values misaligned too.
      std::vector<uint8_t> in(4 * width + 9);
      for (auto& b : in) b = static_cast<uint8_t>(rng_());
      const uint8_t* src = in.data() + 1;
      SCOPED_TRACE(width);
      for (const int64_t rank : {0, -1, -2, -4, -100}) {
        std::vector<uint8_t> a(width + 3, 0x5A), b(width + 3, 0x5A);
        EXPECT_EQ(cv::RgbRankRowScalar(src, a.data(), width, rank),
                  cv::RgbRankRowVector(src, b.data(), width, rank));
        EXPECT_EQ(a, b) << "rank " << rank;
      }
      EXPECT_EQ(cv::MaxRowU16Scalar(src, width), cv::MaxRowU16Vector(src, width));
      EXPECT_EQ(cv::MaxRowU32Scalar(src, width), cv::MaxRowU32Vector(src, width));
      for (unsigned shift = 0; shift < 32; shift += 3) {
        std::vector<uint8_t> a(width + 3, 0x5A), b(width + 3, 0x5A);
        if (shift < 16) {
          cv::ShiftRowU16toU8Scalar(src, a.data(), width, shift);
          cv::ShiftRowU16toU8Vector(src, b.data(), width, shift);
          EXPECT_EQ(a, b) << "16-bit shift " << shift;
        }
        cv::ShiftRowU32toU8Scalar(src, a.data(), width, shift);
        cv::ShiftRowU32toU8Vector(src, b.data(), width, shift);
        EXPECT_EQ(a, b) << "32-bit shift " << shift;
      }
    }
  });
}

TEST_F(Twins, RectangleConversionsMatchScalar) {
  ForEachTarget([&] {
    for (const size_t width : widths_) {
      const size_t rows = 1 + width % 5;
      for (const size_t slack : {0, 3}) {
        SCOPED_TRACE(testing::Message() << width << "x" << rows << " slack " << slack);
        Rows s16(2 * width, rows, slack), s32(4 * width, rows, slack),
            s24(3 * width, rows, slack);
        for (Rows* r : {&s16, &s32, &s24}) {
          for (auto& b : r->bytes) b = static_cast<uint8_t>(rng_());
        }
        // Moderate maxima too, so that mode -1 shifts by small amounts.
        for (size_t i = 0; i + 1 < s16.bytes.size(); i += 2) s16.bytes[i + 1] &= 0x0F;
        for (const int32_t mode : {-1, -2, -3, 0, 5}) {
          Rows a(width, rows, slack), b(width, rows, slack);
          EXPECT_EQ(cv::Narrow16to8(s16.at(0), s16.pitch, width, rows, a.at(0), a.pitch, mode,
                                    vantor::KernelPath::kScalar),
                    cv::Narrow16to8(s16.at(0), s16.pitch, width, rows, b.at(0), b.pitch, mode,
                                    vantor::KernelPath::kVector));
          EXPECT_EQ(a.bytes, b.bytes) << "16 to 8, mode " << mode;
          EXPECT_EQ(cv::Narrow32to8(s32.at(0), s32.pitch, width, rows, a.at(0), a.pitch, mode,
                                    vantor::KernelPath::kScalar),
                    cv::Narrow32to8(s32.at(0), s32.pitch, width, rows, b.at(0), b.pitch, mode,
                                    vantor::KernelPath::kVector));
          EXPECT_EQ(a.bytes, b.bytes) << "32 to 8, mode " << mode;
        }
        for (const int32_t sum : {-4, -2, 0}) {
          Rows a(width, rows, slack), b(width, rows, slack);
          EXPECT_EQ(cv::RgbToGrey8(a.at(0), width, rows, a.pitch, s24.at(0), s24.pitch, sum, 0, 0,
                                   vantor::KernelPath::kScalar),
                    cv::RgbToGrey8(b.at(0), width, rows, b.pitch, s24.at(0), s24.pitch, sum, 0, 0,
                                   vantor::KernelPath::kVector));
          EXPECT_EQ(a.bytes, b.bytes) << "colour to grey, sum " << sum;
        }
      }
    }
  });
}

// The vector mean is a multiply-and-shift; check it against the plain formula
// for every possible channel sum.
TEST_F(Twins, MeanIsExactForEveryChannelSum) {
  std::vector<uint8_t> bgr, expected;
  for (int sum = 0; sum <= 765; ++sum) {
    const int b = std::min(sum, 255), g = std::min(sum - b, 255), r = sum - b - g;
    bgr.insert(bgr.end(), {static_cast<uint8_t>(b), static_cast<uint8_t>(g),
                           static_cast<uint8_t>(r)});
    expected.push_back(static_cast<uint8_t>((sum + 2) / 3));
  }
  ForEachTarget([&] {
    std::vector<uint8_t> out(expected.size());
    EXPECT_EQ(cv::RgbRankRowVector(bgr.data(), out.data(), out.size(), -4), 255);
    EXPECT_EQ(out, expected);
  });
}

}  // namespace
