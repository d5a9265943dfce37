#include "improc/nei.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "improc/nei_codes.h"
#include "kernels/kernels.h"
#include "kernels/kernels_test_util.h"
#include "kernels/nei_steps.h"

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

// ---- The vector kernels against the scalar filters, on every target -------

using vantor::nei::Pass;
using vantor::nei::Shape;
using vantor::test::ForEachTarget;
using vantor::test::Image;
using vantor::test::RandomImage;

int32_t MorphCode(Shape s, bool erode) {
  switch (s) {
    case Shape::kSquare: return erode ? 0 : 1;
    case Shape::kCross: return erode ? 20 : 21;
    case Shape::kRow: return erode ? 22 : 23;
    default: return erode ? 24 : 25;
  }
}

// What the run kernels write into dst, made by the scalar filter: the run on
// a copy of src, then stored (combined with dst for TM_NEI_COMBINE) inside
// the width only.
void RunByScalar(bool mask, bool vertical, const Image& src, Image& dst, int32_t w, int32_t h,
                 int32_t flags, int32_t n) {
  Image t = src;
  const bool erode = flags & TM_NEI_ERODE;
  const int32_t code = MorphCode(vertical ? Shape::kColumn : Shape::kRow, erode);
  (mask ? MaskNei : NeiMem)(t.data(), w, h, t.pitch, code, n);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < (mask ? w : src.rowBytes); ++x) {
      uint8_t& d = dst.bytes[static_cast<size_t>(y) * dst.pitch + (mask ? x / 8 : x)];
      const uint8_t r = t.bytes[static_cast<size_t>(y) * t.pitch + (mask ? x / 8 : x)];
      if (!mask) {
        d = !(flags & TM_NEI_COMBINE) ? r : erode ? std::min(d, r) : std::max(d, r);
        continue;
      }
      const uint8_t bit = static_cast<uint8_t>(1u << (x % 8));
      bool v = r & bit;
      if (flags & TM_NEI_COMBINE) v = erode ? (v && (d & bit)) : (v || (d & bit));
      d = static_cast<uint8_t>(v ? d | bit : d & ~bit);
    }
}

std::string What(int32_t w, int32_t h, int32_t pitch, int32_t n, int32_t flags) {
  return vantor::test::Where(w, h, pitch) + " n " + std::to_string(n) + " flags " +
         std::to_string(flags);
}

TEST(VectorNei, RowAndColumnRunsEqualTheScalarFilter) {
  std::mt19937 rng(11);
  ForEachTarget([&] {
    for (bool mask : {false, true})
      for (int32_t w : {1, 7, 9, 17, 63, 64, 65, 129, 200})
        for (int32_t h : {1, 2, 5, 17})
          for (int32_t n : {1, 2, 3, 8, 40, 140})
            for (int32_t flags = 0; flags < 4; ++flags) {
              const int32_t rowBytes = mask ? (w + 7) / 8 : w;
              const int32_t pitch = rowBytes + static_cast<int32_t>(rng() % 17);
              // Sparse masks dilate visibly, dense ones erode visibly.
              Image s = RandomImage(rng, rowBytes, h, pitch);
              if (mask)
                for (auto& b : s.bytes) b = flags & 1 ? (b | rng()) : (b & rng() & rng());
              for (bool vertical : {false, true}) {
                Image want = RandomImage(rng, rowBytes, h, pitch + 5), got = want;
                RunByScalar(mask, vertical, s, want, w, h, flags, n);
                auto kernel = mask ? (vertical ? tmBitNeiV2 : tmBitNeiH2)
                                   : (vertical ? tmByteNeiV2 : tmByteNeiH2);
                ASSERT_EQ(kernel(s.data(), got.data(), w, h, s.pitch, got.pitch, flags, n), 0);
                ASSERT_EQ(got.bytes, want.bytes)
                    << (mask ? "mask " : "grey ") << (vertical ? "column " : "row ")
                    << What(w, h, pitch, n, flags);
                // In place (src is dst).
                if (flags & TM_NEI_COMBINE) continue;
                Image a = s, b = s;
                RunByScalar(mask, vertical, a, a, w, h, flags, n);
                kernel(b.data(), b.data(), w, h, b.pitch, b.pitch, flags, n);
                ASSERT_EQ(b.bytes, a.bytes) << "in place " << What(w, h, pitch, n, flags);
              }
            }
  });
}

TEST(VectorNei, InPlaceMaskCodesEqualTheScalarFilter) {
  std::mt19937 rng(13);
  ForEachTarget([&] {
    for (int32_t w : {1, 8, 9, 33, 64, 65, 129})
      for (int32_t h : {1, 2, 7})
        for (int32_t code : {0x00, 0x08, 0x10, 0x11, 0x12, 0x13, 0x20, 0x21, 0x22, 0x23, 0x30,
                             0x40, 0x41, 0x42, 0x43, 0x80, 0x81, 0x82, 0x83, 0xC0})
          for (int32_t n : {1, 2, 5, 70}) {
            const int32_t pitch = (w + 7) / 8 + static_cast<int32_t>(rng() % 3);
            Image want = RandomImage(rng, (w + 7) / 8, h, pitch, n == 2 ? 2 : 256);
            Image got = want;
            const std::vector<uint8_t> before = want.bytes;
            const int32_t shape = code & ~3;
            int32_t expected = 0;
            if (shape == 0x10 || shape == 0x20 || shape == 0x40 || shape == 0x80) {
              const Shape s = shape == 0x10   ? Shape::kRow
                              : shape == 0x20 ? Shape::kColumn
                              : shape == 0x40 ? Shape::kCross
                                              : Shape::kSquare;
              MaskNei(want.data(), w, h, pitch, MorphCode(s, code & 1), n);
              if (code & 2) MaskNei(want.data(), w, h, pitch, MorphCode(s, !(code & 1)), n);
              expected = shape == 0x40 && !(code & 2) ? want.bytes != before : 1;
            }
            ASSERT_EQ(tmBitNeiInPlace(got.data(), w, h, pitch, code, n), expected)
                << What(w, h, pitch, n, code);
            ASSERT_EQ(got.bytes, want.bytes) << What(w, h, pitch, n, code);
          }
  });
}

// Lists of square and cross passes run in sweeps of limited depth, erosions
// and dilations alternating between the image and its complement.
TEST(VectorNei, SweepsEqualTheScalarStepsOneByOne) {
  std::mt19937 rng(31);
  ForEachTarget([&] {
    for (int trial = 0; trial < 300; ++trial) {
      const bool mask = trial % 2 == 0;
      const int32_t w = 1 + static_cast<int32_t>(rng() % 150);
      const int32_t h = 1 + static_cast<int32_t>(rng() % 40);
      Pass passes[12];
      const size_t count = 1 + rng() % 12;  // 12 crosses and squares exceed one sweep's depth
      std::string list;
      for (size_t i = 0; i < count; ++i) {
        passes[i] = Pass{rng() % 2 ? Shape::kSquare : Shape::kCross, rng() % 2 == 0,
                         static_cast<int32_t>(rng() % 10) - 1};  // 0 and -1: skipped
        list += std::string(passes[i].shape == Shape::kSquare ? " square" : " cross") +
                (passes[i].erode ? "-" : "+") + std::to_string(passes[i].n);
      }
      const int32_t rowBytes = mask ? (w + 7) / 8 : w;
      Image want = RandomImage(rng, rowBytes, h, rowBytes + 1);
      if (mask)
        for (auto& b : want.bytes) b = rng() % 3 ? b & rng() & rng() : b | rng();
      Image got = want;
      for (size_t i = 0; i < count; ++i)
        (mask ? MaskNei : NeiMem)(want.data(), w, h, want.pitch,
                                  MorphCode(passes[i].shape, passes[i].erode), passes[i].n);
      ASSERT_EQ((mask ? vantor::nei::BitSweep : vantor::nei::ByteSweep)(got.data(), w, h,
                                                                        got.pitch, passes, count),
                0);
      ASSERT_EQ(got.bytes, want.bytes) << (mask ? "mask " : "grey ") << w << "x" << h << list;
    }
  });
}

TEST(VectorNei, SmoothingEqualsTheScalarFilter) {
  std::mt19937 rng(17);
  const vantor::nei::Smoothing kinds[] = {vantor::nei::Smoothing::kAver124,
                                          vantor::nei::Smoothing::kMedian,
                                          vantor::nei::Smoothing::kBlur};
  ForEachTarget([&] {
    for (int32_t w : {1, 7, 31, 64, 65, 100})
      for (int32_t h : {1, 2, 13})
        for (int k = 0; k < 3; ++k)
          for (int32_t n : {1, 2, 9}) {
            // Few grey levels make the fixed point reachable within n steps.
            Image want = RandomImage(rng, w, h, w + 3, n == 9 ? 4 : 256);
            Image got = want;
            NeiMem(want.data(), w, h, want.pitch, 12 + k, n);
            ASSERT_EQ(vantor::nei::ByteSmooth(got.data(), w, h, got.pitch, kinds[k], n), 0);
            ASSERT_EQ(got.bytes, want.bytes) << "code " << 12 + k << " " << What(w, h, w + 3, n, 0);
          }
  });
}

TEST(VectorNei, RefusalsAndEmptyRunsLeaveThePixels) {
  std::mt19937 rng(37);
  Image px = RandomImage(rng, 64, 64, 64);
  const std::vector<uint8_t> before = px.bytes;
  const Pass row{Shape::kRow, false, 1}, longSquare{Shape::kSquare, true, 9};
  const Pass cross{Shape::kCross, false, 1};
  const Pass refused[][2] = {{cross, row}, {cross, longSquare}};
  for (const auto& list : refused) {
    EXPECT_EQ(vantor::nei::ByteSweep(px.data(), 64, 64, 64, list, 2), -1);
    EXPECT_EQ(vantor::nei::BitSweep(px.data(), 64, 64, 8, list, 2), -1);
  }
  EXPECT_EQ(vantor::nei::ByteSweep(nullptr, 8, 8, 8, &cross, 1), -1);
  EXPECT_EQ(vantor::nei::ByteSweep(px.data(), 8, 8, 7, &cross, 1), -1);
  EXPECT_EQ(vantor::nei::BitSweep(px.data(), 17, 4, 2, &cross, 1), -1);
  EXPECT_EQ(vantor::nei::ByteSmooth(px.data(), 8, 0, 8, vantor::nei::Smoothing::kMedian, 1), -1);
  // Runs of no steps write nothing.
  Image src = RandomImage(rng, 64, 64, 64);
  EXPECT_EQ(tmByteNeiH2(src.data(), px.data(), 64, 64, 64, 64, 0, 0), 0);
  EXPECT_EQ(tmBitNeiV2(src.data(), px.data(), 64, 64, 8, 8, 0, -1), 0);
  EXPECT_EQ(px.bytes, before);
}

}  // namespace
