#include "improc/perspective.h"

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "improc/perspective_internal.h"
#include "kernels/kernel_mode.h"

namespace {

using vantor::PerspectiveMaskDiffScalar;
using vantor::PerspectiveMaskDiffVector;

// An 8-bit image whose buffer ends with its last pixel, so that any read past
// the rows shows up under AddressSanitizer.
struct Grey {
  int32_t w = 0, h = 0, pitch = 0;
  std::vector<uint8_t> px;
  Grey(int32_t width, int32_t height, int32_t pitch_) : w(width), h(height), pitch(pitch_) {
    px.assign(static_cast<size_t>(pitch) * (h - 1) + w, 0);
  }
  uint8_t& at(int32_t x, int32_t y) { return px[static_cast<size_t>(y) * pitch + x]; }
  uint8_t get(int32_t x, int32_t y) const { return px[static_cast<size_t>(y) * pitch + x]; }
};

// A 1-bit mask for a w x h image, again without slack after the last row.
struct Mask {
  int32_t w = 0, h = 0, pitch = 0;
  std::vector<uint8_t> px;
  Mask(int32_t width, int32_t height, int32_t pitch_) : w(width), h(height), pitch(pitch_) {
    px.assign(static_cast<size_t>(pitch) * (h - 1) + (w + 7) / 8, 0);
  }
  void set(int32_t x, int32_t y, bool on) {
    uint8_t& byte = px[static_cast<size_t>(y) * pitch + x / 8];
    byte = on ? byte | (1u << (x % 8)) : byte & ~(1u << (x % 8));
  }
};

struct Args {
  const Grey* a;
  const Grey* b;
  const Mask* mask;
  double m[9];
  int32_t sampling;
};

double RunScalar(const Args& s, int64_t* n = nullptr) {
  return PerspectiveMaskDiffScalar(s.a->px.data(), s.a->w, s.a->h, s.a->pitch, s.b->px.data(),
                                   s.b->w, s.b->h, s.b->pitch, s.mask ? s.mask->px.data() : nullptr,
                                   s.mask ? s.mask->pitch : 0, s.m, s.sampling, n);
}
double RunVector(const Args& s, int64_t* n = nullptr) {
  return PerspectiveMaskDiffVector(s.a->px.data(), s.a->w, s.a->h, s.a->pitch, s.b->px.data(),
                                   s.b->w, s.b->h, s.b->pitch, s.mask ? s.mask->px.data() : nullptr,
                                   s.mask ? s.mask->pitch : 0, s.m, s.sampling, n);
}

// Both implementations must give the same count and the same mean to rounding.
void ExpectBoth(const Args& s, double expected, int64_t expected_count) {
  int64_t ns = -1, nv = -1;
  const double rs = RunScalar(s, &ns);
  const double rv = RunVector(s, &nv);
  EXPECT_EQ(ns, expected_count);
  EXPECT_EQ(nv, expected_count);
  EXPECT_NEAR(rs, expected, 1e-12 * std::fabs(expected));
  EXPECT_NEAR(rv, expected, 1e-12 * std::fabs(expected));
}

Grey RandomGrey(std::mt19937& rng, int32_t w, int32_t h, int32_t slack) {
  Grey g(w, h, w + slack);
  for (auto& p : g.px) p = static_cast<uint8_t>(rng());
  return g;
}

constexpr double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

TEST(PerspectiveMaskDiff, IdentityOnEqualImagesIsZero) {
  std::mt19937 rng(1);
  const Grey a = RandomGrey(rng, 37, 11, 3);
  Mask mask(37, 11, 6);
  mask.set(0, 0, true);
  mask.set(36, 10, true);
  mask.set(17, 4, true);
  for (int32_t sampling : {0, 1}) {
    Args s{&a, &a, &mask, {}, sampling};
    std::copy(kIdentity, kIdentity + 9, s.m);
    ExpectBoth(s, 0.0, 3);
    s.mask = nullptr;
    ExpectBoth(s, 0.0, 37 * 11);
  }
}

TEST(PerspectiveMaskDiff, HalfPixelShiftUsesTheEdgePixelAndNearestDropsIt) {
  std::mt19937 rng(2);
  const int32_t w = 29, h = 5;
  const Grey a = RandomGrey(rng, w, h, 1);
  Grey b = RandomGrey(rng, w, h, 0);
  Args s{&a, &b, nullptr, {1, 0, 0.5, 0, 1, 0, 0, 0, 1}, 0};
  // Bilinear: the mean of two neighbours, the last column its own pixel.
  double sum = 0.0;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const double sample =
          x + 1 < w ? a.get(x, y) * 0.5 + a.get(x + 1, y) * 0.5 : static_cast<double>(a.get(x, y));
      sum += (b.get(x, y) - sample) * (b.get(x, y) - sample);
    }
  ExpectBoth(s, sum / (w * h), w * h);

  // Nearest: x + 0.5 rounds up to x + 1; the last column maps outside A.
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x + 1 < w; ++x) b.at(x, y) = a.get(x + 1, y);
    b.at(w - 1, y) = static_cast<uint8_t>(a.get(w - 1, y) + 100);
  }
  s.sampling = 1;
  ExpectBoth(s, 0.0, (w - 1) * h);
}

TEST(PerspectiveMaskDiff, NothingCountedGivesMinusOne) {
  std::mt19937 rng(3);
  const Grey a = RandomGrey(rng, 20, 9, 2);
  Mask empty(20, 9, 3);
  Args s{&a, &a, nullptr, {1, 0, 20, 0, 1, 0, 0, 0, 1}, 0};
  ExpectBoth(s, -1.0, 0);  // shifted by the whole width
  s.m[2] = -20.0;
  ExpectBoth(s, -1.0, 0);
  s.m[2] = 0.0;
  s.m[5] = 9.0;
  s.sampling = 1;
  ExpectBoth(s, -1.0, 0);  // shifted by the whole height
  s.m[5] = 0.0;
  s.mask = &empty;
  ExpectBoth(s, -1.0, 0);
  s.mask = nullptr;
  s.m[8] = 0.0;  // row 2 all zero: every denominator vanishes
  ExpectBoth(s, -1.0, 0);
}

TEST(PerspectiveMaskDiff, VanishingDenominatorSkipsOnlyThatColumn) {
  std::mt19937 rng(4);
  const Grey a = RandomGrey(rng, 12, 3, 0);
  // d = x - 5: column 5 is skipped; elsewhere the positions are (x / (x - 5), ...).
  Args s{&a, &a, nullptr, {1, 0, 0, 0, 0, 0, 1, 0, -5}, 0};
  int64_t n = 0;
  RunScalar(s, &n);
  int64_t expected = 0;
  for (int32_t x = 0; x < 12; ++x) {
    if (x == 5) continue;
    const double sx = x / (x - 5.0);
    expected += (sx >= 0 && sx < 12) ? 3 : 0;
  }
  EXPECT_EQ(n, expected);
  const double scalar = RunScalar(s);
  EXPECT_NEAR(RunVector(s, &n), scalar, 1e-12 * scalar);
  EXPECT_EQ(n, expected);
}

TEST(PerspectiveMaskDiff, SmallerImageBIsReadOnlyWhereItExists) {
  // B one column narrower and one row lower than A (its buffer has no slack):
  // only the common pixels count, and the result is the one for a full-size
  // B whose extra column and row are masked out.
  std::mt19937 rng(5);
  const int32_t w = 23, h = 7;
  const Grey a = RandomGrey(rng, w, h, 4);
  const Grey small = RandomGrey(rng, w - 1, h - 1, 0);
  Grey big(w, h, w);
  Mask common(w, h, 3);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const bool in = x < w - 1 && y < h - 1;
      big.at(x, y) = in ? small.get(x, y) : 255;
      common.set(x, y, in);
    }
  Mask small_mask(w - 1, h - 1, 3);
  for (int32_t y = 0; y < h - 1; ++y)
    for (int32_t x = 0; x < w - 1; ++x) small_mask.set(x, y, true);
  for (int32_t sampling : {0, 1}) {
    Args full{&a, &big, &common, {1, 0, 0.25, 0, 1, -0.5, 0, 0, 1}, sampling};
    int64_t n = 0;
    const double expected = RunScalar(full, &n);
    Args s{&a, &small, nullptr, {1, 0, 0.25, 0, 1, -0.5, 0, 0, 1}, sampling};
    ExpectBoth(s, expected, n);
    s.mask = &small_mask;
    ExpectBoth(s, expected, n);
    // A wider and taller than B also when the matrix is not a translation.
    s.m[1] = 0.01;
    full.m[1] = 0.01;
    const double rotated = RunScalar(full, &n);
    ExpectBoth(s, rotated, n);
  }
}

// Random images, masks and matrices of every kind the fast path tells apart,
// on awkward sizes and pitches, on every vector target this machine runs.
TEST(PerspectiveMaskDiff, VectorPathAgreesWithScalarOnRandomInput) {
  std::mt19937 rng(6);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const int32_t widths[] = {1, 2, 7, 8, 9, 15, 16, 17, 31, 33, 64, 70};
  int cases = 0;
  for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    for (int iter = 0; iter < 150; ++iter) {
      const int32_t aw = widths[rng() % 12], ah = 1 + static_cast<int32_t>(rng() % 19);
      const int32_t bw = std::max(1, aw + static_cast<int32_t>(rng() % 5) - 2);
      const int32_t bh = std::max(1, ah + static_cast<int32_t>(rng() % 5) - 2);
      const Grey a = RandomGrey(rng, aw, ah, static_cast<int32_t>(rng() % 9));
      Grey b = RandomGrey(rng, bw, bh, static_cast<int32_t>(rng() % 9));
      Mask mask(bw, bh, (bw + 7) / 8 + static_cast<int32_t>(rng() % 3));
      const double density = iter % 5 == 0 ? 1.0 : unit(rng);
      for (auto& byte : mask.px) {
        if (density == 1.0) {
          byte = 0xFF;  // bits past the width too: they must be ignored
        } else {
          for (int bit = 0; bit < 8; ++bit)
            if (unit(rng) < density) byte |= static_cast<uint8_t>(1u << bit);
        }
      }
      Args s{&a, &b, iter % 4 == 3 ? nullptr : &mask, {1, 0, 0, 0, 1, 0, 0, 0, 1},
             static_cast<int32_t>(rng() % 3)};
      const double dx = (unit(rng) - 0.5) * 1.5 * aw, dy = (unit(rng) - 0.5) * 1.5 * ah;
      switch (iter % 6) {
        case 0:  // translation
          s.m[2] = dx;
          s.m[5] = dy;
          break;
        case 1:  // whole and half-pixel translations, and hair's breadths off them
          s.m[2] = std::round(dx * 2) / 2 + (rng() % 2 ? 0.0 : 1e-15 * (unit(rng) - 0.5));
          s.m[5] = std::round(dy);
          break;
        case 2:
        case 3: {  // similarity with a small rotation
          const double angle = (unit(rng) - 0.5) * 0.2, scale = 0.9 + 0.2 * unit(rng);
          s.m[0] = s.m[4] = scale * std::cos(angle);
          s.m[1] = scale * std::sin(angle);
          s.m[3] = -s.m[1];
          s.m[2] = dx;
          s.m[5] = dy;
          break;
        }
        case 4:  // general affine
          for (int i : {0, 1, 3, 4}) s.m[i] = (unit(rng) - 0.5) * 3;
          s.m[2] = dx;
          s.m[5] = dy;
          break;
        default:  // projective
          for (int i = 0; i < 8; ++i) s.m[i] = (unit(rng) - 0.5) * 2;
          s.m[2] = dx;
          s.m[5] = dy;
          s.m[6] = (unit(rng) - 0.5) * 0.2;
          s.m[7] = (unit(rng) - 0.5) * 0.2;
          s.m[8] = unit(rng) * 2 - 0.5;
          break;
      }
      int64_t ns = -1, nv = -2;
      const double rs = RunScalar(s, &ns);
      const double rv = RunVector(s, &nv);
      ASSERT_EQ(ns, nv) << hwy::TargetName(target) << " case " << iter;
      ASSERT_NEAR(rv, rs, 1e-12 * std::fabs(rs)) << hwy::TargetName(target) << " case " << iter;
      EXPECT_EQ(rv, RunVector(s)) << "same inputs, same bits";
      ++cases;
    }
  }
  hwy::SetSupportedTargetsForTest(0);
  EXPECT_GT(cases, 0);
  RecordProperty("targets", static_cast<int>(hwy::SupportedAndGeneratedTargets().size()));
}

// Nearly matching images (the registration near its optimum) make the mean
// square small, so any difference in the samples shows most there.
TEST(PerspectiveMaskDiff, VectorPathAgreesNearTheOptimum) {
  const int32_t side = 200;
  auto texture = [](double u, double v) {
    return 128 + 60 * std::sin(u * 0.05) * std::cos(v * 0.031) + 30 * std::sin((u + v) * 0.11);
  };
  const double shifts[][2] = {{3.3, -1.7}, {-0.49, 0.51}, {12.125, 7.0}, {0.001, -0.999}};
  for (const auto& shift : shifts) {
    Grey a(side, side, side), b(side, side, side + 3);
    Mask mask(side, side, side / 8);
    for (int32_t y = 0; y < side; ++y)
      for (int32_t x = 0; x < side; ++x) {
        a.at(x, y) = static_cast<uint8_t>(texture(x, y));
        b.at(x, y) = static_cast<uint8_t>(texture(x + shift[0], y + shift[1]) + 0.5);
        mask.set(x, y, x >= side / 4 && x < 3 * side / 4 && y >= side / 4 && y < 3 * side / 4);
      }
    for (const Mask* m : {static_cast<const Mask*>(&mask), static_cast<const Mask*>(nullptr)}) {
      Args s{&a, &b, m, {1, 0, shift[0], 0, 1, shift[1], 0, 0, 1}, 0};
      int64_t ns = 0, nv = 0;
      const double rs = RunScalar(s, &ns);
      const double rv = RunVector(s, &nv);
      EXPECT_EQ(ns, nv);
      EXPECT_LT(rs, 2.0);
      EXPECT_NEAR(rv, rs, 1e-12 * rs) << shift[0] << "," << shift[1];
    }
  }
}

TEST(PerspectiveMaskDiff, KernelModeChoosesTheImplementation) {
  std::mt19937 rng(7);
  const Grey a = RandomGrey(rng, 300, 40, 5);
  const Grey b = RandomGrey(rng, 300, 40, 1);
  const double m[9] = {1, 0, 3.3, 0, 1, -1.7, 0, 0, 1};
  const int32_t previous = mrUseIntelIPlib(2);
  const double scalar = PerspectiveMaskDiff(a.px.data(), 300, 40, 305, b.px.data(), 300, 40, 301,
                                            nullptr, 0, m, 0);
  mrUseIntelIPlib(3);
  const double vector = PerspectiveMaskDiff(a.px.data(), 300, 40, 305, b.px.data(), 300, 40, 301,
                                            nullptr, 0, m, 0);
  mrUseIntelIPlib(previous);
  Args s{&a, &b, nullptr, {1, 0, 3.3, 0, 1, -1.7, 0, 0, 1}, 0};
  EXPECT_EQ(scalar, RunScalar(s));
  EXPECT_EQ(vector, RunVector(s));
}

}  // namespace
