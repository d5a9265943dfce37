#include "memrect/statistics.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "generic/histinfo.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "memrect/test_rects.h"

namespace {

using vantor::RectOwner;
using vantor::test::Image;

TEST(Histogram, EightBitAndLimitedBins) {
  RectOwner a = Image(8, 2, 2, {0, 0, 255, 255});
  std::vector<int32_t> h(256, 9);
  EXPECT_EQ(mrHistogram(a.get(), h.data()), 4);
  EXPECT_EQ(h[0], 2);
  EXPECT_EQ(h[255], 2);
  EXPECT_EQ(std::accumulate(h.begin(), h.end(), 0), 4);
  RectOwner b = Image(8, 5, 1, {0, 1, 2, 3, 200});
  int32_t four[5] = {7, 7, 7, 7, 7};
  EXPECT_EQ(mrHistogramLim(b.get(), four, 4), 5);
  EXPECT_EQ(four[0], 1);
  EXPECT_EQ(four[1], 1);
  EXPECT_EQ(four[2], 1);
  EXPECT_EQ(four[3], 2);
  EXPECT_EQ(four[4], 7);
  std::vector<int32_t> wide(300, 7);
  EXPECT_EQ(mrHistogramLim(b.get(), wide.data(), 300), 5);
  EXPECT_EQ(wide[200], 1);
  EXPECT_EQ(wide[255], 0);
  EXPECT_EQ(wide[256], 7);  // entries past 256 are not touched
  int32_t one = 0;
  EXPECT_EQ(mrHistogramLim(b.get(), &one, 1), 5);
  EXPECT_EQ(one, 5);
  EXPECT_EQ(mrHistogramLim(b.get(), four, 0), -1);
  RectOwner w = Image(16, 2, 1, {});
  EXPECT_EQ(mrHistogramLim(w.get(), four, 4), -1);
  // Empty images and bad arguments fail rather than report statistics of nothing.
  RectOwner empty(mrCreate(8, 0, 4));
  EXPECT_EQ(mrHistogram(empty.get(), h.data()), -1);
  EXPECT_EQ(mrHistogramLim(empty.get(), four, 4), -1);
  EXPECT_EQ(mrHistogram(a.get(), nullptr), -1);
  EXPECT_EQ(mrHistogram(0, h.data()), -1);
  RectOwner mask(mrCreate(1, 8, 1));
  EXPECT_EQ(mrHistogram(mask.get(), h.data()), -1);
}

TEST(Histogram, DeeperImagesAreReducedToEightBits) {
  std::vector<int32_t> h(256);
  // 16-bit: maximum 1000 maps to 255, 500 to 127 (truncated).
  RectOwner a = Image(16, 4, 1, {0, 500, 1000, 1000});
  EXPECT_EQ(mrHistogram(a.get(), h.data()), 1000);
  EXPECT_EQ(h[0], 1);
  EXPECT_EQ(h[127], 1);
  EXPECT_EQ(h[255], 2);
  // 32-bit: 500 of 1000 maps to 128 (rounded).
  RectOwner b = Image(32, 4, 1, {0, 500, 1000, 1000});
  EXPECT_EQ(mrHistogram(b.get(), h.data()), 1000);
  EXPECT_EQ(h[128], 1);
  EXPECT_EQ(h[255], 2);
  // A maximum of at most 255 is counted unscaled.
  RectOwner c = Image(16, 3, 1, {3, 200, 3});
  EXPECT_EQ(mrHistogram(c.get(), h.data()), 200);
  EXPECT_EQ(h[3], 2);
  EXPECT_EQ(h[200], 1);
  // All zeros: the maximum 0 is the result, which callers take as failure.
  RectOwner z(mrCreate(16, 5, 2));
  EXPECT_EQ(mrHistogram(z.get(), h.data()), 0);
  EXPECT_EQ(h[0], 10);
  // Colour: the largest channel; the result is the pixel count.
  RectOwner rgb = Image(24, 4, 1, {0x0A141F, 0x640000, 0x000064, 0});
  EXPECT_EQ(mrHistogram(rgb.get(), h.data()), 4);
  EXPECT_EQ(h[0x1F], 1);
  EXPECT_EQ(h[0x64], 2);
  EXPECT_EQ(h[0], 1);
}

TEST(Histogram, MeanGreyLevelThroughHistInfo) {
  // The registration's use: the mean grey level of an image.
  RectOwner a = Image(8, 3, 2, {10, 20, 30, 40, 50, 60});
  std::vector<int32_t> h(256);
  ASSERT_EQ(mrHistogram(a.get(), h.data()), 6);
  double s[16];
  EXPECT_EQ(HistInfo(h.data(), 256, s), 6);
  EXPECT_DOUBLE_EQ(s[4], 35.0);
  EXPECT_EQ(s[3], 6);
}

TEST(MinMaxSumInfo, EightBitExampleWithSignedReadings) {
  RectOwner a = Image(8, 3, 1, {5, 200, 5});
  int32_t r[16];
  EXPECT_EQ(mrMinMaxSumInfo(a.get(), r), 210.0);
  const int32_t expected[16] = {8, 3, 1, 5, 200, 210, 0, 0, 1, 0, 2, 1, -56, 5, -15, 70};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(r[i], expected[i]) << "entry " << i;
}

TEST(MinMaxSumInfo, PositionsInRowOrderAndWideSums) {
  // 16-bit, 3 x 2: the first smallest is in row 0, the first largest in row 1.
  RectOwner a = Image(16, 3, 2, {9, 4, 9, 4, 65535, 65535});
  int32_t r[16];
  EXPECT_EQ(mrMinMaxSumInfo(a.get(), r), 9.0 + 4 + 9 + 4 + 65535 * 2);
  EXPECT_EQ(r[3], 4);
  EXPECT_EQ(r[6], 1);
  EXPECT_EQ(r[7], 0);
  EXPECT_EQ(r[10], 2);
  EXPECT_EQ(r[4], 65535);
  EXPECT_EQ(r[8], 1);
  EXPECT_EQ(r[9], 1);
  EXPECT_EQ(r[11], 2);
  EXPECT_EQ(r[12], -1);
  EXPECT_EQ(r[13], 9);
  EXPECT_EQ(r[14], 4);    // (9 + 4 + 9 + 4 - 2) / 6 = 4
  EXPECT_EQ(r[15], 21849);  // 131096 / 6 = 21849.33
}

TEST(MinMaxSumInfo, ThirtyTwoBitSumsKeepTheirLowBitsAndMeansRoundHalfAwayFromZero) {
  RectOwner a = Image(32, 2, 1, {-1, -2});  // 4294967295 and 4294967294 unsigned
  int32_t r[16];
  EXPECT_EQ(mrMinMaxSumInfo(a.get(), r), 8589934589.0);
  EXPECT_EQ(r[3], -2);
  EXPECT_EQ(r[4], -1);
  EXPECT_EQ(r[5], static_cast<int32_t>(8589934589ull & 0xFFFFFFFFu));
  EXPECT_EQ(r[12], -2);
  EXPECT_EQ(r[13], -1);
  EXPECT_EQ(r[14], -2);  // -1.5 rounds away from zero
  EXPECT_EQ(r[15], -1);  // 4294967294.5 rounds up to 4294967295
}

TEST(MinMaxSumInfo, MasksAndColour) {
  int32_t r[16];
  RectOwner zeros(mrCreate(1, 9, 2));
  EXPECT_EQ(mrMinMaxSumInfo(zeros.get(), r), 0.0);
  EXPECT_EQ(r[3], 0);
  EXPECT_EQ(r[4], 0);
  EXPECT_EQ(r[10], 18);
  EXPECT_EQ(r[11], 18);
  RectOwner mixed = Image(1, 9, 2, {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0});
  EXPECT_EQ(mrMinMaxSumInfo(mixed.get(), r), 3.0);
  EXPECT_EQ(r[3], 0);
  EXPECT_EQ(r[4], 1);
  EXPECT_EQ(r[6], 0);
  EXPECT_EQ(r[8], 0);
  EXPECT_EQ(r[9], 1);
  EXPECT_EQ(r[10], 15);
  EXPECT_EQ(r[11], 3);
  EXPECT_EQ(r[15], 0);
  RectOwner ones = Image(1, 2, 1, {1, 1});
  EXPECT_EQ(mrMinMaxSumInfo(ones.get(), r), 2.0);
  EXPECT_EQ(r[3], 1);
  EXPECT_EQ(r[10], 2);
  EXPECT_EQ(r[11], 2);
  RectOwner rgb = Image(24, 3, 1, {0x0A141F, 0x640000, 0x000001});
  EXPECT_EQ(mrMinMaxSumInfo(rgb.get(), r), 0x1F + 0x64 + 1.0);
  EXPECT_EQ(r[0], 24);
  EXPECT_EQ(r[3], 1);
  EXPECT_EQ(r[6], 2);
  EXPECT_EQ(r[4], 0x64);
  EXPECT_EQ(r[8], 1);
  EXPECT_EQ(r[13], 0x64);
}

TEST(MinMaxSumInfo, FailuresLeaveTheRecordUntouched) {
  int32_t r[16];
  std::fill(r, r + 16, 77);
  EXPECT_EQ(mrMinMaxSumInfo(0, r), -1.0);
  RectOwner empty(mrCreate(8, 3, 0));
  EXPECT_EQ(mrMinMaxSumInfo(empty.get(), r), -1.0);
  RectOwner four(mrCreate(4, 3, 3));
  EXPECT_EQ(mrMinMaxSumInfo(four.get(), r), -1.0);
  for (int32_t v : r) EXPECT_EQ(v, 77);
}

}  // namespace
