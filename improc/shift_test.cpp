#include "improc/shift.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "improc/shift_internal.h"
#include "kernels/kernels_test_util.h"

namespace vantor::test {
namespace {

// A random mask of a w x h image whose bytes end with the last row; density
// chooses all-clear, sparse, dense or all-set bytes.
Image RandomMask(std::mt19937& rng, int32_t w, int32_t h, int32_t pitch, int density) {
  Image m = RandomImage(rng, (w + 7) / 8, h, pitch);
  for (auto& b : m.bytes) {
    if (density == 0) b = 0;
    if (density == 1) b &= rng() & rng();
    if (density == 3) b = 0xFF;
  }
  return m;
}

ShiftArgs Make(const Image& a, int32_t w, int32_t h, const Image& b, const Image* m, int64_t x,
               int64_t y, double bound) {
  ShiftArgs s;
  s.a = a.data();
  s.width = w;
  s.height = h;
  s.aPitch = a.pitch;
  s.b = b.data();
  s.bPitch = b.pitch;
  s.mask = m ? m->data() : nullptr;
  s.maskPitch = m ? m->pitch : 0;
  s.x = x;
  s.y = y;
  s.bound = bound;
  return s;
}

// The vector loop must give the scalar sums and counts exactly, for every
// displacement sign and size (none and all columns overlapping), unaligned
// mask starts, and bounds that stop the walk at different rows.
TEST(ShiftKernel, VectorMatchesScalar) {
  std::mt19937 rng(7);
  ForEachTarget([&] {
    for (int32_t w : {1, 7, 9, 31, 33, 65, 200, 4200})
      for (int32_t h : {1, 4}) {
        Image a = RandomImage(rng, w, h, w + 3);
        Image b = RandomImage(rng, w, h, w + 16);
        for (int density = -1; density <= 3; ++density) {
          Image m = RandomMask(rng, w, h, (w + 7) / 8 + 1, density);
          const Image* mp = density < 0 ? nullptr : &m;
          for (int64_t x : {int64_t{0}, int64_t{1}, int64_t{-3}, int64_t{w - 1}, int64_t{5 - w},
                            int64_t{w}, int64_t{-w - 1}})
            for (int64_t y : {0, 1, -1})
              for (double bound : {1e300, 0.0, 3e4 * w}) {
                const ShiftSums s = ShiftDiffScalar(Make(a, w, h, b, mp, x, y, bound));
                const ShiftSums v = ShiftDiffVector(Make(a, w, h, b, mp, x, y, bound));
                ASSERT_EQ(v.sum, s.sum) << Where(w, h, a.pitch) << " x " << x << " y " << y
                                        << " density " << density << " bound " << bound;
                ASSERT_EQ(v.count, s.count) << Where(w, h, a.pitch) << " x " << x;
              }
        }
      }
  });
}

TEST(ShiftKernel, DistanceCountAndEarlyExit) {
  // A: 0 everywhere; B: row j holds j + 1, so row j adds (j + 1)^2 per pixel.
  const int32_t w = 10, h = 4;
  std::vector<uint8_t> a(w * h, 0), b(w * h);
  for (int32_t j = 0; j < h; ++j)
    for (int32_t k = 0; k < w; ++k) b[j * w + k] = static_cast<uint8_t>(j + 1);
  int32_t count = -1;
  // Displaced by (2, 1): 8 columns of rows 0..2 compared with B rows 1..3.
  double r = ShiftMaskDiff(a.data(), w, h, w, b.data(), w, nullptr, 0, 2, 1, &count, 1e9);
  EXPECT_EQ(count, 24);
  EXPECT_DOUBLE_EQ(r, std::sqrt((4.0 + 9 + 16) * 8 / 24));
  // Bound 40: the first row's sum 32 passes, the second's 104 stops the walk.
  r = ShiftMaskDiff(a.data(), w, h, w, b.data(), w, nullptr, 0, 2, 1, &count, 40.0);
  EXPECT_EQ(count, 16);
  EXPECT_DOUBLE_EQ(r, std::sqrt(104.0 / 16));
  // A mask with one pixel: column 3 of row 0.
  std::vector<uint8_t> mask(2 * h, 0);
  mask[0] = 1u << 3;
  r = ShiftMaskDiff(a.data(), w, h, w, b.data(), w, mask.data(), 2, 0, 2, &count, 1e9);
  EXPECT_EQ(count, 1);
  EXPECT_DOUBLE_EQ(r, 3.0);
  // No overlap: -1.0 and a count of 0.
  EXPECT_EQ(ShiftMaskDiff(a.data(), w, h, w, b.data(), w, nullptr, 0, w, 0, &count, 1e9), -1.0);
  EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace vantor::test
