#include "improc/bytescale.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kernels/kernels_test_util.h"

namespace {

using vantor::ByteScale;

// Both kernels on the same random rectangle, bytes past each row included.
void ExpectSameBytes(uint32_t mul, uint32_t div, int64_t rowBytes, int32_t height,
                     ptrdiff_t pitch, std::mt19937& rng) {
  ByteScale s;
  vantor::MakeByteScale(mul, div, s);
  std::vector<uint8_t> a(static_cast<size_t>(pitch) * height);
  for (auto& b : a) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> b = a;
  const int64_t na = vantor::ByteScaleRowsScalar(s, a.data(), rowBytes, height, pitch);
  const int64_t nb = vantor::ByteScaleRowsVector(s, b.data(), rowBytes, height, pitch);
  ASSERT_EQ(na, nb) << mul << "/" << div << " width " << rowBytes;
  ASSERT_EQ(a, b) << mul << "/" << div << " width " << rowBytes;
}

TEST(ByteScale, ScalarAndVectorKernelsAgreeOnAwkwardShapesAndRatios) {
  std::mt19937 rng(3);
  const uint32_t ratios[][2] = {{110, 100}, {100, 110}, {1, 1}, {2, 1}, {1, 3}, {5, 0},
                                {0, 7},     {255, 1},   {256, 1}, {1000, 1}, {3, 257},
                                {65537, 65536}, {1u << 24, 3}, {1u << 30, 1}, {7, 0xFFFFFFFFu},
                                {0xFFFFFFFFu, 0xFFFFFFFEu}, {123456, 65521}};
  const int64_t widths[] = {1, 7, 31, 63, 64, 65, 127, 129, 200, 1000};
  vantor::test::ForEachTarget([&] {
    for (const auto& r : ratios) {
      for (int64_t w : widths) {
        ExpectSameBytes(r[0], r[1], w, 3, w + 5, rng);  // padded rows
        ExpectSameBytes(r[0], r[1], w, 2, w, rng);      // contiguous rows
      }
    }
    for (int i = 0; i < 200; ++i) {
      const uint32_t div = 1 + rng() % 400;
      const uint32_t mul = rng() % (3 * div);
      ExpectSameBytes(mul, div, 1 + rng() % 300, 1 + rng() % 4, 301 + rng() % 9, rng);
    }
  });
}

TEST(ByteScale, TableTruncatesClipsAndMarksWhatWasClipped) {
  ByteScale s;
  vantor::MakeByteScale(110, 100, s);
  EXPECT_EQ(s.table[100], 110);
  EXPECT_EQ(s.table[231], 254);
  EXPECT_EQ(s.table[232], 255);
  EXPECT_EQ(s.clipped[232], 0);  // 255.2 truncates to 255 without clipping
  EXPECT_EQ(s.clipped[233], 1);
  EXPECT_TRUE(s.vectorOk);
  // Products past 32 bits wrap: entries are no longer monotonic, and the
  // vector form is refused rather than giving other bytes.
  vantor::MakeByteScale(1u << 30, 1, s);
  EXPECT_EQ(s.table[4], 0);
  EXPECT_EQ(s.clipped[4], 0);
  EXPECT_EQ(s.clipped[1], 1);
  EXPECT_FALSE(s.vectorOk);
}

}  // namespace
