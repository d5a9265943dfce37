#include "generic/histinfo.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(HistInfo, TwoEqualBinsSplitHalfway) {
  std::vector<int32_t> h(256, 0);
  h[10] = 2;
  h[20] = 2;
  double s[16];
  ASSERT_EQ(HistInfo(h.data(), 256, s), 2);
  EXPECT_EQ(s[0], 2);
  EXPECT_EQ(s[1], 10);
  EXPECT_EQ(s[2], 20);
  EXPECT_EQ(s[3], 4);
  EXPECT_DOUBLE_EQ(s[4], 15);
  EXPECT_DOUBLE_EQ(s[5], 25);
  EXPECT_DOUBLE_EQ(s[6], 15);
  EXPECT_EQ(s[7], 2);
  EXPECT_EQ(s[8], 2);
  EXPECT_DOUBLE_EQ(s[9], 10);
  EXPECT_DOUBLE_EQ(s[10], 20);
  EXPECT_DOUBLE_EQ(s[11], 0);
  EXPECT_DOUBLE_EQ(s[12], 0);
  // The criterion uses the ten-digit constant, not 1/12.
  EXPECT_DOUBLE_EQ(s[13], 400.0 / (16.0 * (25.0 + 0.08333333333)));
  EXPECT_NEAR(s[13], 0.99668, 1e-5);
  EXPECT_EQ(s[14], 2);
  EXPECT_EQ(s[15], 10);
}

TEST(HistInfo, EmptyAndSingleBinHistogramsWriteOnlyTheirEntries) {
  std::vector<int32_t> h(40, 0);
  h[3] = -7;  // negative counts are empty bins
  double s[16];
  for (double& v : s) v = 123.0;
  EXPECT_EQ(HistInfo(h.data(), 40, s), 0);
  EXPECT_EQ(s[0], 0);
  EXPECT_EQ(s[1], 0);
  EXPECT_EQ(s[2], 39);
  EXPECT_EQ(s[3], 123.0);
  h[17] = 5;
  EXPECT_EQ(HistInfo(h.data(), 40, s), 1);
  EXPECT_EQ(s[1], 17);
  EXPECT_EQ(s[2], 17);
  EXPECT_EQ(s[3], 5);
  EXPECT_DOUBLE_EQ(s[4], 17);
  EXPECT_DOUBLE_EQ(s[5], 0);
  EXPECT_EQ(s[6], 123.0);
  EXPECT_EQ(s[15], 123.0);
  EXPECT_EQ(HistInfo(h.data(), 0, s), 0);
  EXPECT_EQ(s[2], -1);
  EXPECT_EQ(HistInfo(nullptr, 40, s), 0);
}

TEST(HistInfo, BestSplitSkipsEmptyBinsAndKeepsTheLowestOfEqualCriteria) {
  // Two clusters, 0..2 and 7..9, with a gap: the split lies in the gap.
  std::vector<int32_t> h(12, 0);
  h[0] = 3; h[1] = 4; h[2] = 3; h[7] = 3; h[8] = 4; h[9] = 3;
  double s[16];
  EXPECT_EQ(HistInfo(h.data(), 12, s), 6);
  EXPECT_DOUBLE_EQ(s[6], (2 + 7) / 2.0);
  EXPECT_EQ(s[7], 10);
  EXPECT_EQ(s[8], 10);
  EXPECT_DOUBLE_EQ(s[9], 1);
  EXPECT_DOUBLE_EQ(s[10], 8);
  EXPECT_NEAR(s[11], 0.6, 1e-12);
  EXPECT_NEAR(s[12], 0.6, 1e-12);
  // The mode: the first bin holding the largest count.
  EXPECT_EQ(s[14], 4);
  EXPECT_EQ(s[15], 1);
  // Three equal bins: splits after bin 0 and after bin 1 tie; the lower wins.
  std::vector<int32_t> t = {1, 1, 1};
  EXPECT_EQ(HistInfo(t.data(), 3, s), 3);
  EXPECT_DOUBLE_EQ(s[6], 0.5);
  EXPECT_EQ(s[7], 1);
  EXPECT_EQ(s[15], 0);
}

}  // namespace
