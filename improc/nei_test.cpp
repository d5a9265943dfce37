#include "improc/nei.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace {

// A byte image with a pitch wider than its rows; the bytes past each row are
// filled with a marker that the kernels must leave alone.
struct Bytes {
  int32_t w, h, pitch;
  std::vector<uint8_t> px;
  Bytes(int32_t w_, int32_t h_, int32_t slack = 3)
      : w(w_), h(h_), pitch(w_ + slack), px(static_cast<size_t>(pitch) * h_, 0xA5) {
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) at(x, y) = 0;
  }
  uint8_t& at(int32_t x, int32_t y) { return px[static_cast<size_t>(y) * pitch + x]; }
  uint8_t get(int32_t x, int32_t y) const { return px[static_cast<size_t>(y) * pitch + x]; }
};

// Straightforward reference: each step evaluates the clipped window of every
// pixel from a copy of the previous step.
Bytes ReferenceMorph(Bytes img, bool cross, int dxMax, int dyMax, bool erode, int n) {
  for (int s = 0; s < n; ++s) {
    const Bytes in = img;
    for (int32_t y = 0; y < img.h; ++y)
      for (int32_t x = 0; x < img.w; ++x) {
        int v = erode ? 255 : 0;
        for (int dy = -dyMax; dy <= dyMax; ++dy)
          for (int dx = -dxMax; dx <= dxMax; ++dx) {
            if (cross && dx != 0 && dy != 0) continue;
            const int xx = x + dx, yy = y + dy;
            if (xx < 0 || yy < 0 || xx >= img.w || yy >= img.h) continue;
            v = erode ? std::min<int>(v, in.get(xx, yy)) : std::max<int>(v, in.get(xx, yy));
          }
        img.at(x, y) = static_cast<uint8_t>(v);
      }
  }
  return img;
}

Bytes ReferenceForCode(const Bytes& img, int code, int n) {
  switch (code) {
    case 0: return ReferenceMorph(img, false, 1, 1, true, n);
    case 1: return ReferenceMorph(img, false, 1, 1, false, n);
    case 20: return ReferenceMorph(img, true, 1, 1, true, n);
    case 21: return ReferenceMorph(img, true, 1, 1, false, n);
    case 22: return ReferenceMorph(img, false, 1, 0, true, n);
    case 23: return ReferenceMorph(img, false, 1, 0, false, n);
    case 24: return ReferenceMorph(img, false, 0, 1, true, n);
    case 25: return ReferenceMorph(img, false, 0, 1, false, n);
    case 26: return ReferenceForCode(ReferenceForCode(img, 0, n), 1, n);
    case 27: return ReferenceForCode(ReferenceForCode(img, 1, n), 0, n);
    case 28: return ReferenceForCode(ReferenceForCode(img, 20, n), 21, n);
    case 29: return ReferenceForCode(ReferenceForCode(img, 21, n), 20, n);
    default: return img;
  }
}

const int kMorphCodes[] = {0, 1, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29};

Bytes RandomBytes(int32_t w, int32_t h, std::mt19937& rng, int levels = 256) {
  Bytes b(w, h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      b.at(x, y) = static_cast<uint8_t>(rng() % levels * (255 / (levels - 1)));
  return b;
}

// A mask stored with one byte of slack per row; set/clear as 0/255 bytes.
struct Mask {
  int32_t w, h, pitch;
  std::vector<uint8_t> px;
  Mask(int32_t w_, int32_t h_, int32_t slack = 1)
      : w(w_), h(h_), pitch((w_ + 7) / 8 + slack), px(static_cast<size_t>(pitch) * h_, 0) {
    // Unused bits of each row's last byte, and the slack, hold ones.
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = w; x < pitch * 8; ++x) set(x, y, true);
  }
  void set(int32_t x, int32_t y, bool v) {
    uint8_t& b = px[static_cast<size_t>(y) * pitch + x / 8];
    b = static_cast<uint8_t>(v ? b | (1u << (x % 8)) : b & ~(1u << (x % 8)));
  }
  bool get(int32_t x, int32_t y) const {
    return (px[static_cast<size_t>(y) * pitch + x / 8] >> (x % 8)) & 1;
  }
  Bytes AsBytes() const {
    Bytes b(w, h);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) b.at(x, y) = get(x, y) ? 255 : 0;
    return b;
  }
};

void ExpectSame(const Bytes& got, const Bytes& want, const std::string& what) {
  ASSERT_EQ(got.px, want.px) << what;
}

TEST(NeiMem, MinMaxCodesMatchReferenceOnRandomImages) {
  std::mt19937 rng(7);
  const int32_t sizes[][2] = {{1, 1}, {1, 9}, {9, 1}, {7, 5}, {13, 11}, {33, 4}};
  for (const auto& s : sizes)
    for (int code : kMorphCodes)
      for (int n : {1, 2, 3, 7, 40}) {
        Bytes img = RandomBytes(s[0], s[1], rng);
        const Bytes want = ReferenceForCode(img, code, n);
        ASSERT_EQ(NeiMem(img.px.data(), img.w, img.h, img.pitch, code, n), 0);
        ExpectSame(img, want,
                   "code " + std::to_string(code) + " n " + std::to_string(n) + " size " +
                       std::to_string(s[0]) + "x" + std::to_string(s[1]));
      }
}

TEST(NeiMem, ErosionKeepsWhiteImageAndCornerDilationGrowsInward) {
  Bytes white(37, 5);
  for (int32_t y = 0; y < 5; ++y)
    for (int32_t x = 0; x < 37; ++x) white.at(x, y) = 255;
  const Bytes before = white;
  for (int code : {0, 20, 22, 24, 26, 28}) {
    NeiMem(white.px.data(), white.w, white.h, white.pitch, code, 4);
    ExpectSame(white, before, "erosion code " + std::to_string(code));
  }
  Bytes dot(6, 6);
  dot.at(0, 0) = 200;
  NeiMem(dot.px.data(), dot.w, dot.h, dot.pitch, 1, 2);
  for (int32_t y = 0; y < 6; ++y)
    for (int32_t x = 0; x < 6; ++x) EXPECT_EQ(dot.get(x, y), x <= 2 && y <= 2 ? 200 : 0);
}

TEST(NeiMem, SmoothingRowsAndColumns) {
  // 1-2-1 weighted mean along a one-row image; the column pass keeps it.
  Bytes row(5, 1);
  const uint8_t r[] = {0, 0, 255, 0, 0};
  for (int x = 0; x < 5; ++x) row.at(x, 0) = r[x];
  NeiMem(row.px.data(), 5, 1, row.pitch, 12, 1);
  const uint8_t aver[] = {0, 64, 128, 64, 0};
  for (int x = 0; x < 5; ++x) EXPECT_EQ(row.get(x, 0), aver[x]) << x;

  // Mean of three rounds thirds up along rows and to nearest along columns.
  Bytes b(3, 1);
  b.at(2, 0) = 1;
  NeiMem(b.px.data(), 3, 1, b.pitch, 14, 1);
  EXPECT_EQ(b.get(0, 0), 0);
  EXPECT_EQ(b.get(1, 0), 1);
  EXPECT_EQ(b.get(2, 0), 1);
  Bytes c(1, 3);
  c.at(0, 2) = 1;
  NeiMem(c.px.data(), 1, 3, c.pitch, 14, 1);
  EXPECT_EQ(c.get(0, 0), 0);
  EXPECT_EQ(c.get(0, 1), 0);
  EXPECT_EQ(c.get(0, 2), 1);

  // Median: the ends use the pixel itself for the missing neighbour.
  Bytes m(3, 1);
  m.at(0, 0) = 10;
  m.at(1, 0) = 200;
  m.at(2, 0) = 30;
  NeiMem(m.px.data(), 3, 1, m.pitch, 13, 1);
  EXPECT_EQ(m.get(0, 0), 10);
  EXPECT_EQ(m.get(1, 0), 30);
  EXPECT_EQ(m.get(2, 0), 30);

  // Two dimensions: rows first, then columns of the row result.
  Bytes sq(3, 3);
  sq.at(1, 1) = 255;
  NeiMem(sq.px.data(), 3, 3, sq.pitch, 12, 1);
  const uint8_t want[3][3] = {{16, 32, 16}, {32, 64, 32}, {16, 32, 16}};
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(sq.get(x, y), want[y][x]) << x << "," << y;
  EXPECT_EQ(sq.px[3], 0xA5);  // bytes past the rows untouched
}

TEST(NeiMem, CountsBelowOneUnknownCodesAndBadRectangles) {
  std::mt19937 rng(3);
  Bytes img = RandomBytes(9, 4, rng);
  const Bytes before = img;
  for (int code : {1, 2, 11, 15, 19, 30, -1, 1000}) {
    EXPECT_EQ(NeiMem(img.px.data(), img.w, img.h, img.pitch, code, code == 1 ? 0 : 3), 0);
  }
  ExpectSame(img, before, "unchanged");
  EXPECT_EQ(NeiMem(nullptr, 9, 4, 12, 1, 1), -1);
  EXPECT_EQ(NeiMem(img.px.data(), 0, 4, 12, 1, 1), -1);
  EXPECT_EQ(NeiMem(img.px.data(), 9, -1, 12, 1, 1), -1);
  EXPECT_EQ(NeiMem(img.px.data(), 9, 4, 8, 1, 1), -1);
}

TEST(NeiMem, HugeCountsFinishAndEqualTheUsefulCount) {
  std::mt19937 rng(11);
  Bytes a = RandomBytes(20, 9, rng);
  Bytes b = a;
  NeiMem(a.px.data(), a.w, a.h, a.pitch, 28, 0x7FFFFFFF);
  NeiMem(b.px.data(), b.w, b.h, b.pitch, 28, 27);  // the diamond spans the image after w+h-2
  ExpectSame(a, b, "open4 huge n");
}

TEST(MaskNei, AgreesWithByteKernelOnRandomMasks) {
  std::mt19937 rng(5);
  for (int32_t w : {1, 7, 8, 31, 32, 33, 63, 64, 65, 100})
    for (int32_t h : {1, 2, 5, 9})
      for (int code : kMorphCodes)
        for (int n : {1, 2, 5}) {
          Mask m(w, h);
          for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) m.set(x, y, rng() % 3 == 0);
          const std::vector<uint8_t> padding = m.px;
          Bytes b = m.AsBytes();
          ASSERT_EQ(NeiMem(b.px.data(), b.w, b.h, b.pitch, code, n), 0);
          ASSERT_EQ(MaskNei(m.px.data(), m.w, m.h, m.pitch, code, n), 0);
          ExpectSame(m.AsBytes(), b,
                     "code " + std::to_string(code) + " n " + std::to_string(n) + " w " +
                         std::to_string(w) + " h " + std::to_string(h));
          // Bits past the width and the slack bytes are as they were (all ones).
          for (int32_t y = 0; y < h; ++y)
            for (int32_t x = w; x < m.pitch * 8; ++x) ASSERT_TRUE(m.get(x, y));
        }
}

TEST(MaskNei, CentreRectangleFullMaskAndSmoothingCodes) {
  const int32_t W = 70, H = 21;
  Mask m(W, H, 0);
  m.set(W / 2, H / 2, true);
  MaskNei(m.px.data(), W, H, m.pitch, 23, 5);
  MaskNei(m.px.data(), W, H, m.pitch, 25, 3);
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x < W; ++x)
      ASSERT_EQ(m.get(x, y), std::abs(x - W / 2) <= 5 && std::abs(y - H / 2) <= 3) << x << "," << y;
  // A count beyond the width fills the rows completely.
  MaskNei(m.px.data(), W, H, m.pitch, 23, W);
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x < W; ++x) ASSERT_EQ(m.get(x, y), std::abs(y - H / 2) <= 3);

  for (int32_t w : {64, 100}) {
    Mask full(w, 3, 0);
    for (int32_t y = 0; y < 3; ++y)
      for (int32_t x = 0; x < w; ++x) full.set(x, y, true);
    const auto before = full.px;
    for (int code : {0, 20, 22, 24, 26, 28}) MaskNei(full.px.data(), w, 3, full.pitch, code, 9);
    EXPECT_EQ(full.px, before) << w;
    for (int code : {12, 13, 14, 2, 19}) MaskNei(full.px.data(), w, 3, full.pitch, code, 1);
    EXPECT_EQ(full.px, before) << w;
  }
}

}  // namespace
