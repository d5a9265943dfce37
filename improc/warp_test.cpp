#include "improc/warp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "improc/warp_internal.h"
#include "kernels/kernels_test_util.h"

namespace {

using vantor::WarpJob;

// A pixel buffer whose allocation ends with its last row, padding bytes
// between rows.
struct Buf {
  int32_t w = 0, h = 0, depth = 8, pitch = 0;
  std::vector<uint8_t> bytes;
  Buf(int32_t depth_, int32_t width, int32_t height, int32_t slack)
      : w(width), h(height), depth(depth_) {
    pitch = static_cast<int32_t>(RowBytes()) + slack;
    bytes.assign(h == 0 ? 0 : static_cast<size_t>(pitch) * (h - 1) + RowBytes(), 0);
  }
  int64_t RowBytes() const { return (static_cast<int64_t>(depth) * w + 7) / 8; }
  uint8_t* row(int32_t y) { return bytes.data() + static_cast<size_t>(y) * pitch; }
  void Randomise(std::mt19937& rng) {
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    if (depth != 64) return;
    for (int32_t y = 0; y < h; ++y)  // finite doubles
      for (int32_t x = 0; x < w; ++x) {
        const double v = (static_cast<double>(rng()) - 2147483648.0) / 1024.0;
        std::memcpy(row(y) + 8 * x, &v, 8);
      }
  }
  uint32_t at(int32_t x, int32_t y, int c = 0) {  // 8- and 16-bit elements
    const int channels = depth == 24 || depth == 48 ? 3 : 1;
    const int size = depth == 16 || depth == 48 ? 2 : 1;
    uint8_t* p = row(y) + (static_cast<size_t>(x) * channels + c) * size;
    return size == 1 ? p[0] : static_cast<uint32_t>(p[0] | p[1] << 8);
  }
  bool bit(int32_t x, int32_t y) { return (row(y)[x / 8] >> (x % 8)) & 1; }
};

WarpJob Job(const Buf& s, Buf& d, const double* m, bool nearest, int32_t fill, Buf* mask) {
  WarpJob j;
  j.src = s.bytes.data();
  j.srcWidth = s.w;
  j.srcHeight = s.h;
  j.srcPitch = s.pitch;
  j.dst = d.bytes.data();
  j.dstWidth = d.w;
  j.dstPitch = d.pitch;
  j.y1 = d.h;
  j.depth = d.depth;
  std::copy(m, m + 9, j.m);
  j.nearest = nearest;
  j.fill = fill;
  if (mask != nullptr) {
    j.fillMask = mask->bytes.data();
    j.fillMaskPitch = mask->pitch;
  }
  return j;
}

constexpr double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
const int32_t kDepths[] = {1, 8, 16, 24, 32, 48, 64};

// A matrix of one of the kinds the vector code tells apart.
void RandomMatrix(std::mt19937& rng, int kind, int32_t w, int32_t h, double* m, bool* bilinear) {
  std::uniform_real_distribution<double> u(-0.5, 0.5);
  std::copy(kIdentity, kIdentity + 9, m);
  *bilinear = false;
  const double dx = u(rng) * 1.5 * w, dy = u(rng) * 1.5 * h;
  switch (kind) {
    case 0:  // sub-pixel translation
      m[2] = dx;
      m[5] = dy;
      break;
    case 1:  // whole or half pixels, or a hair's breadth off them
      m[2] = std::round(dx * 2) / 2 + (rng() % 2 ? 0.0 : 1e-13 * u(rng));
      m[5] = std::round(dy * 2) / 2;
      break;
    case 2:  // whole pixels along one axis
      m[2] = rng() % 2 ? std::round(dx) : dx;
      m[5] = rng() % 2 ? dy : std::round(dy);
      break;
    case 3: {  // similarity
      const double a = u(rng) * 0.3, s = 1 + u(rng) * 0.4;
      m[0] = m[4] = s * std::cos(a);
      m[1] = s * std::sin(a);
      m[3] = -m[1];
      m[2] = dx;
      m[5] = dy;
      break;
    }
    case 4:  // projective, a column with a vanishing denominator
      for (int i = 0; i < 6; ++i) m[i] = u(rng) * 3;
      m[6] = 1.0;
      m[7] = u(rng) * 0.1;
      m[8] = -static_cast<double>(rng() % (w + 1));
      break;
    case 5:  // bilinear mapping, translation form
      *bilinear = true;
      m[0] = m[5] = 1.0;
      m[1] = m[2] = m[4] = m[6] = 0.0;
      m[3] = dx;
      m[7] = dy;
      break;
    case 6:  // bilinear mapping, general
      *bilinear = true;
      for (int i = 0; i < 8; ++i) m[i] = u(rng) * 2;
      m[2] *= 0.05;
      m[6] *= 0.05;
      break;
    default:  // offsets far outside, or not numbers at all
      m[2] = rng() % 2 ? 1e12 : std::nan("");
      m[5] = u(rng);
      break;
  }
}

// Random sizes, pitches, depths, matrices, fills and fill masks on every
// vector target: the vector code writes exactly the scalar bytes (padding and
// bits past the width included) and counts the same pixels.
TEST(Warp, VectorMatchesScalarOnEveryTarget) {
  std::mt19937 rng(1);
  const int32_t sizes[] = {1, 2, 3, 7, 8, 9, 15, 17, 31, 33, 64, 65};
  int cases = 0;
  vantor::test::ForEachTarget([&] {
    for (int iter = 0; iter < 392; ++iter) {
      const int32_t depth = kDepths[iter % 7];
      const int kind = (iter / 7) % 8;
      const int32_t sw = sizes[rng() % 12], sh = sizes[rng() % 12] % 19 + 1;
      const int32_t dw = rng() % 3 ? sw : sizes[rng() % 12];
      const int32_t dh = rng() % 3 ? sh : static_cast<int32_t>(rng() % 19 + 1);
      Buf src(depth, sw, sh, static_cast<int32_t>(rng() % 5));
      src.Randomise(rng);
      Buf a(depth, dw, dh, static_cast<int32_t>(rng() % 5)), b = a;
      a.Randomise(rng);
      b.bytes = a.bytes;
      Buf ma(1, dw, dh, static_cast<int32_t>(rng() % 3)), mb = ma;
      ma.Randomise(rng);
      mb.bytes = ma.bytes;
      double m[9];
      bool bilinear = false;
      RandomMatrix(rng, kind, sw, sh, m, &bilinear);
      const bool nearest = rng() % 3 == 0;
      const bool masked = rng() % 2 == 0;
      const int32_t fill = static_cast<int32_t>(rng());
      WarpJob ja = Job(src, a, m, nearest, fill, masked ? &ma : nullptr);
      WarpJob jb = Job(src, b, m, nearest, fill, masked ? &mb : nullptr);
      ja.bilinearMapping = jb.bilinearMapping = bilinear;
      const int64_t na = vantor::WarpScalar(ja);
      const int64_t nb = vantor::WarpVector(jb);
      SCOPED_TRACE(testing::Message() << "depth " << depth << " kind " << kind << " src " << sw
                                      << "x" << sh << " dst " << dw << "x" << dh << " nearest "
                                      << nearest << " m2 " << m[2] << " m5 " << m[5]);
      ASSERT_EQ(na, nb);
      ASSERT_EQ(a.bytes, b.bytes);
      ASSERT_EQ(ma.bytes, mb.bytes);
      ++cases;
    }
  });
  EXPECT_GT(cases, 0);
}

// What the formula gives on small images, in both implementations.
TEST(Warp, SamplingRulesOnSmallImages) {
  for (auto run : {vantor::WarpScalar, vantor::WarpVector}) {
    std::mt19937 rng(2);
    // Identity: every depth and sampling copies and fills nothing.
    for (int32_t depth : kDepths) {
      for (bool nearest : {false, true}) {
        Buf s(depth, 19, 5, 3), d(depth, 19, 5, 3);
        s.Randomise(rng);
        EXPECT_EQ(run(Job(s, d, kIdentity, nearest, -1, nullptr)), 0);
        for (int32_t y = 0; y < 5; ++y) {
          if (depth == 1) {
            for (int32_t x = 0; x < 19; ++x) EXPECT_EQ(s.bit(x, y), d.bit(x, y));
          } else {
            EXPECT_EQ(std::memcmp(s.row(y), d.row(y), s.RowBytes()), 0) << depth;
          }
        }
      }
    }
    // Half a pixel to the right: the rounded mean of two neighbours; the last
    // column is its own neighbour.
    Buf s(8, 23, 3, 1), d(8, 23, 3, 1);
    s.Randomise(rng);
    const double half[9] = {1, 0, 0.5, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(run(Job(s, d, half, false, 0, nullptr)), 0);
    for (int32_t y = 0; y < 3; ++y)
      for (int32_t x = 0; x < 23; ++x) {
        const uint32_t next = x + 1 < 23 ? s.at(x + 1, y) : s.at(x, y);
        ASSERT_EQ(d.at(x, y), (s.at(x, y) + next + 1) / 2) << x;
      }
    // Three columns to the left: the first three filled, their mask bits set
    // and the other bits left alone.
    const double left[9] = {1, 0, -3, 0, 1, 0, 0, 0, 1};
    Buf mask(1, 23, 3, 0);
    for (auto& b : mask.bytes) b = 0x90;
    EXPECT_EQ(run(Job(s, d, left, false, 77, &mask)), 9);
    for (int32_t y = 0; y < 3; ++y) {
      EXPECT_EQ(mask.row(y)[0], 0x97);
      EXPECT_EQ(mask.row(y)[1], 0x90);
      for (int32_t x = 0; x < 23; ++x) EXPECT_EQ(d.at(x, y), x < 3 ? 77u : s.at(x - 3, y));
    }
    // A projective row 2 of zeros fills everything.
    const double flat[9] = {1, 0, 0, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(run(Job(s, d, flat, true, 5, nullptr)), 23 * 3);

    // Colour fill: bits 0-7 blue, 8-15 green, 16-23 red; 48-bit channels get
    // the same bytes as 16-bit values.
    const double away[9] = {1, 0, 100, 0, 1, 0, 0, 0, 1};
    Buf c24(24, 4, 2, 0), o24(24, 4, 2, 0), o48(48, 4, 2, 0), c48(48, 4, 2, 0);
    EXPECT_EQ(run(Job(c24, o24, away, false, 0x7F123456, nullptr)), 8);
    EXPECT_EQ(run(Job(c48, o48, away, false, 0x00C864FA, nullptr)), 8);
    for (int32_t x = 0; x < 4; ++x) {
      EXPECT_EQ(o24.at(x, 1, 0), 0x56u);
      EXPECT_EQ(o24.at(x, 1, 1), 0x34u);
      EXPECT_EQ(o24.at(x, 1, 2), 0x12u);
      EXPECT_EQ(o48.at(x, 0, 0), 250u);
      EXPECT_EQ(o48.at(x, 0, 2), 200u);
    }

    // Doubles are blended without rounding; a neighbour of weight 0, even an
    // infinite one, stays out.
    Buf real(64, 3, 2, 0), real_out(64, 3, 2, 0);
    const double values[6] = {1.0, 2.5, HUGE_VAL, 4.0, 5.0, 6.0};
    for (int32_t y = 0; y < 2; ++y) std::memcpy(real.row(y), values + 3 * y, 24);
    const double quarter[9] = {1, 0, 0.25, 0, 1, 0, 0, 0, 1};
    double got[3];
    run(Job(real, real_out, quarter, false, 0, nullptr));
    std::memcpy(got, real_out.row(0), 24);
    EXPECT_EQ(got[0], 1.375);
    EXPECT_EQ(got[2], HUGE_VAL);
    const double up[9] = {1, 0, 0, 0, 1, 0.5, 0, 0, 1};
    run(Job(real, real_out, up, false, 0, nullptr));
    std::memcpy(got, real_out.row(0), 24);
    EXPECT_EQ(got[0], 2.5);
    EXPECT_EQ(got[1], 3.75);

    // Depth 1, bilinear: right neighbour from fx = 0.5 on, lower row only
    // above fy = 0.5.
    Buf bits(1, 10, 3, 0), out(1, 10, 3, 0);
    bits.row(0)[0] = 0x02;  // pixel (1, 0)
    bits.row(1)[0] = 0x01;  // pixel (0, 1)
    const double tie[9] = {1, 0, 0.5, 0, 1, 0.5, 0, 0, 1};
    run(Job(bits, out, tie, false, 0, nullptr));
    EXPECT_EQ(out.row(0)[0], 0x01);  // (0, 0) takes (1, 0); row 1 not used
    const double down[9] = {1, 0, 0.25, 0, 1, 0.75, 0, 0, 1};
    run(Job(bits, out, down, false, 0, nullptr));
    EXPECT_EQ(out.row(0)[0], 0x01);  // (0, 0) takes (0, 1)
    EXPECT_FALSE(out.bit(1, 0));
  }
}

// The translation rows and the projective path (the same shift written with
// m8 = 2) agree where x + m2 is exact; bands of rows, written bottom-up with a
// negative pitch, give the rows of the whole warp.
TEST(Warp, TranslationAgreesWithOtherPathsAndBands) {
  std::mt19937 rng(3);
  for (int32_t depth : {8, 16, 24, 48, 32}) {
    Buf s(depth, 70, 21, 2);
    s.Randomise(rng);
    const double shift[9] = {1, 0, 2.25, 0, 1, -3.625, 0, 0, 1};
    const double doubled[9] = {2, 0, 4.5, 0, 2, -7.25, 0, 0, 2};
    Buf a(depth, 66, 20, 0), b(depth, 66, 20, 0);
    EXPECT_EQ(vantor::WarpVector(Job(s, a, shift, false, 9, nullptr)),
              vantor::WarpVector(Job(s, b, doubled, false, 9, nullptr)));
    EXPECT_EQ(a.bytes, b.bytes) << depth;

    Buf band(depth, 66, 7, 0);
    for (int32_t y0 = 0; y0 < 20; y0 += 7) {
      const int32_t y1 = std::min(20, y0 + 7);
      WarpJob j = Job(s, band, shift, false, 9, nullptr);
      j.y0 = y0;
      j.y1 = y1;
      j.dst = band.row(y1 - y0 - 1);
      j.dstPitch = -band.pitch;
      vantor::WarpVector(j);
      for (int32_t y = y0; y < y1; ++y)
        EXPECT_EQ(std::memcmp(band.row(y1 - 1 - y), a.row(y), a.RowBytes()), 0) << y;
    }
  }
}

TEST(ScaleMaskData, TablesAgreeAndCountComparisons) {
  std::mt19937 rng(4);
  vantor::test::ForEachTarget([&] {
    for (int iter = 0; iter < 40; ++iter) {
      const int32_t w = 1 + static_cast<int32_t>(rng() % 40), h = 1 + static_cast<int32_t>(rng() % 9);
      Buf a(8, w, h, static_cast<int32_t>(rng() % 4)), b(8, w, h, 1), mask(1, w, h, 1);
      a.Randomise(rng);
      b.Randomise(rng);
      mask.Randomise(rng);
      const int32_t n = 1 + static_cast<int32_t>(rng() % 6);
      const int32_t cx = static_cast<int32_t>(rng() % (w + 4)) - 2, cy = static_cast<int32_t>(rng() % h);
      std::vector<double> ts(2 * n), tv(2 * n);
      const uint8_t* mp = iter % 3 ? mask.bytes.data() : nullptr;
      const double first = 0.8 + 0.01 * (rng() % 10);
      const int64_t ns = vantor::ScaleMaskDataScalar(a.bytes.data(), w, h, a.pitch, b.bytes.data(),
                                                     b.pitch, mp, mask.pitch, cx, cy, n, first,
                                                     0.07, ts.data());
      const int64_t nv = vantor::ScaleMaskDataVector(a.bytes.data(), w, h, a.pitch, b.bytes.data(),
                                                     b.pitch, mp, mask.pitch, cx, cy, n, first,
                                                     0.07, tv.data());
      ASSERT_EQ(ns, nv);
      ASSERT_EQ(ts, tv) << w << "x" << h;
      double counted = 0;
      for (int32_t k = 0; k < n; ++k) counted += ts[n + k];
      EXPECT_EQ(counted, static_cast<double>(ns));
    }
  });
  // Scale 1 over a mask of one pixel: that pixel against itself.
  Buf a(8, 5, 4, 0), mask(1, 5, 4, 0);
  a.row(2)[3] = 10;
  mask.row(2)[0] = 1u << 3;
  Buf b = a;
  b.row(2)[3] = 13;
  double t[4];
  EXPECT_EQ(ScaleMaskData(a.bytes.data(), 5, 4, 5, b.bytes.data(), 5, mask.bytes.data(), 1, 2, 2,
                          2, 1.0, 0.5, t),
            2);
  EXPECT_EQ(t[0], 9.0);  // (10 - 13)^2 at scale 1
  EXPECT_EQ(t[2], 1.0);
  EXPECT_EQ(t[3], 1.0);  // scale 1.5 reads (3.5 -> 4, 2) = 0
  EXPECT_EQ(t[1], 169.0);
}

}  // namespace
