#include "improc/blocksub.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

TEST(BlockSubsampling, EveryStatisticOfOneBlock) {
  const uint8_t block[4] = {1, 2, 3, 4};  // rows (1, 2) and (3, 4)
  const struct {
    int32_t code;
    uint8_t value;
  } cases[] = {{kBlockMin, 1},    {kBlockMax, 4},    {kBlockRange, 3}, {kBlockMean, 3},
               {kBlockStd, 1},    {kBlockMinMax, 2}, {kBlockMaxMin, 3}, {kBlockMid, 2},
               {0, 3},            {9, 3}};
  for (const auto& c : cases) {
    uint8_t out = 0xEE;
    EXPECT_EQ(BlockSubsampling(block, 2, 2, 2, &out, 1, 1, 1, 2, 2, c.code),
              c.code >= 1 && c.code <= 8 ? c.code : kBlockMean);
    EXPECT_EQ(out, c.value) << "code " << c.code;
  }
}

TEST(BlockSubsampling, PartialBlocksAreDroppedAndOutputBoundsKept) {
  // 10 x 7 source, 3 x 3 blocks: 3 x 2 outputs; column 9 and row 6 unused.
  std::vector<uint8_t> src(10 * 7, 10);
  for (int y = 0; y < 7; ++y) src[y * 10 + 9] = 250;
  for (int x = 0; x < 10; ++x) src[6 * 10 + x] = 250;
  std::vector<uint8_t> out(4 * 3, 0xAA);
  EXPECT_EQ(BlockSubsampling(src.data(), 10, 7, 10, out.data(), 4, 3, 4, 3, 3, kBlockMean), 4);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x)
      EXPECT_EQ(out[y * 4 + x], (x < 3 && y < 2) ? 10 : 0xAA) << x << "," << y;
  EXPECT_EQ(BlockSubsampling(src.data(), 0, 7, 10, out.data(), 4, 3, 4, 3, 3, 4), 0);
  EXPECT_EQ(BlockSubsampling(src.data(), 10, 7, 10, out.data(), 4, 3, 4, 0, 3, 4), 0);
}

TEST(BlockSubsampling, FastMeanMatchesTheBlockByBlockDefinition) {
  std::mt19937 rng(4);
  for (int bx : {1, 2, 3, 4, 5}) {
    for (int by : {1, 2, 3, 4}) {
      const int w = 37, h = 23, pitch = 40;
      std::vector<uint8_t> src(pitch * h);
      for (auto& v : src) v = static_cast<uint8_t>(rng());
      const int ow = w / bx, oh = h / by;
      std::vector<uint8_t> out(ow * oh);
      BlockSubsampling(src.data(), w, h, pitch, out.data(), ow, oh, ow, bx, by, kBlockMean);
      for (int j = 0; j < oh; ++j)
        for (int i = 0; i < ow; ++i) {
          double sum = 0;
          for (int r = 0; r < by; ++r)
            for (int k = 0; k < bx; ++k) sum += src[(j * by + r) * pitch + i * bx + k];
          ASSERT_EQ(out[j * ow + i], static_cast<uint8_t>(std::floor(sum / (bx * by) + 0.5)))
              << bx << "x" << by << " at " << i << "," << j;
        }
    }
  }
}

std::vector<int> Bits(const uint8_t* row, int n) {
  std::vector<int> b(n);
  for (int x = 0; x < n; ++x) b[x] = (row[x / 8] >> (x % 8)) & 1;
  return b;
}

TEST(BitRowToRow, VotesWhenReducingAndRepeatsWhenEnlarging) {
  const uint8_t alternating = 0b010101;  // bits 1 0 1 0 1 0
  uint8_t out[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(BitRowToRow(&alternating, 6, out, 3), 2);
  EXPECT_EQ(out[0], 0b111);  // ties give 1, high bits cleared
  const uint8_t three = 0b101;
  EXPECT_EQ(BitRowToRow(&three, 3, out, 6), 1);
  EXPECT_EQ(Bits(out, 6), (std::vector<int>{1, 1, 0, 0, 1, 1}));
  EXPECT_EQ(BitRowToRow(&three, 0, out, 6), 0);
  // Wide rows: source bit floor(x * sw / dw) when enlarging.
  std::vector<uint8_t> src(13), dst(40);
  std::mt19937 rng(1);
  for (auto& v : src) v = static_cast<uint8_t>(rng());
  EXPECT_EQ(BitRowToRow(src.data(), 100, dst.data(), 317), 1);
  auto s = Bits(src.data(), 100), d = Bits(dst.data(), 317);
  for (int x = 0; x < 317; ++x) ASSERT_EQ(d[x], s[x * 100 / 317]) << x;
}

TEST(BitRowToRow, ReductionsVoteOverTheirSourceRanges) {
  // Whole-byte factors take a faster road; every factor must give the vote
  // over source bits ceil(x sw / dw) .. ceil((x + 1) sw / dw) - 1.
  std::mt19937 rng(2);
  std::vector<uint8_t> src(200);
  for (auto& v : src) v = static_cast<uint8_t>(rng() & rng());  // more zeros than ones
  for (int dw : {1, 3, 7, 8, 13, 50, 99}) {
    for (int k : {2, 3, 4, 5, 8}) {
      const int sw = dw * k + (k == 3 ? 1 : 0);
      std::vector<uint8_t> dst((dw + 7) / 8 + 1, 0xFF);
      ASSERT_EQ(BitRowToRow(src.data(), sw, dst.data(), dw), 2);
      auto s = Bits(src.data(), sw), d = Bits(dst.data(), dw);
      for (int x = 0; x < dw; ++x) {
        const int from = static_cast<int>((static_cast<int64_t>(x) * sw + dw - 1) / dw);
        const int to = static_cast<int>((static_cast<int64_t>(x + 1) * sw + dw - 1) / dw);
        int ones = 0;
        for (int i = from; i < to; ++i) ones += s[i];
        ASSERT_EQ(d[x], 2 * ones >= to - from ? 1 : 0) << "dw " << dw << " k " << k << " x " << x;
      }
      if (dw % 8 != 0) {
        EXPECT_EQ(dst[dw / 8] >> (dw % 8), 0) << "high bits of the last byte";
      }
      EXPECT_EQ(dst[(dw + 7) / 8], 0xFF) << "nothing written past the row";
    }
  }
}

}  // namespace
