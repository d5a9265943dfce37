#include "registration/warp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "memrect/memrect.h"
#include "memrect/rect_owner.h"

namespace {

using vantor::RectOwner;

uint8_t* Pixels(int32_t h, int32_t* pitch = nullptr) {
  void* p = nullptr;
  mrGetExtendedInfo(h, nullptr, nullptr, pitch, &p);
  return static_cast<uint8_t*>(p);
}

RectOwner Random(std::mt19937& rng, int32_t depth, int32_t w, int32_t h) {
  RectOwner r(mrCreate(depth, w, h));
  int32_t pitch = 0;
  uint8_t* p = Pixels(r.get(), &pitch);
  for (int64_t i = 0; i < static_cast<int64_t>(pitch) * h; ++i) p[i] = static_cast<uint8_t>(rng());
  return r;
}

bool SameRows(int32_t a, int32_t b) {
  int32_t w = 0, h = 0, pa = 0, pb = 0;
  const int32_t depth = mrGetExtendedInfo(a, &w, &h, &pa, nullptr);
  const uint8_t *x = Pixels(a), *y = Pixels(b, &pb);
  const size_t bits = static_cast<size_t>(depth) * w;
  for (int32_t r = 0; r < h; ++r) {
    const uint8_t *p = x + r * pa, *q = y + r * pb;
    if (std::memcmp(p, q, bits / 8) != 0) return false;
    const unsigned tail = (1u << (bits % 8)) - 1u;  // bits past the width do not count
    if (bits % 8 != 0 && ((p[bits / 8] ^ q[bits / 8]) & tail) != 0) return false;
  }
  return true;
}

struct Matrix {
  double m[9];
  RectOwner h;
  explicit Matrix(std::initializer_list<double> v) {
    std::copy(v.begin(), v.end(), m);
    h.reset(mrMakeExtern(m, 64, 3, 3, 24));
  }
};

TEST(mrPerspectiveTrans, ChecksAndIdentity) {
  std::mt19937 rng(1);
  Matrix id({1, 0, 0, 0, 1, 0, 0, 0, 1});
  Matrix bilinear_id({1, 0, 0, 0, 0, 1, 0, 0, 99});
  for (int32_t depth : {1, 8, 16, 24, 32, 48}) {
    RectOwner src = Random(rng, depth, 13, 6);
    for (int32_t flags : {0, 1, 0x100, 0x101}) {
      RectOwner dst(mrCreate(depth, 13, 6));
      const int32_t m = flags & 0x100 ? bilinear_id.h.get() : id.h.get();
      EXPECT_EQ(mrPerspectiveTrans(src.get(), dst.get(), m, 0, -1, flags), 0);
      EXPECT_TRUE(SameRows(src.get(), dst.get())) << depth << " " << flags;
    }
  }
  RectOwner a = Random(rng, 8, 9, 4), b(mrCreate(8, 9, 4)), b16(mrCreate(16, 9, 4));
  RectOwner four(mrCreate(4, 9, 4)), four2(mrCreate(4, 9, 4));
  RectOwner float_matrix(mrCreate(32, 3, 3));
  double eight[8] = {1, 0, 0, 0, 0, 1, 0, 0};
  RectOwner m8(mrMakeExtern(eight, 64, 8, 1, 64));
  EXPECT_EQ(mrPerspectiveTrans(a.get(), b16.get(), id.h.get(), 0, 0, 0), -1);
  EXPECT_EQ(mrPerspectiveTrans(four.get(), four2.get(), id.h.get(), 0, 0, 0), -1);
  EXPECT_EQ(mrPerspectiveTrans(a.get(), b.get(), float_matrix.get(), 0, 0, 0), -1);
  EXPECT_EQ(mrPerspectiveTrans(a.get(), b.get(), m8.get(), 0, 0, 0), -1);  // projective needs 9
  EXPECT_EQ(mrPerspectiveTrans(a.get(), b.get(), m8.get(), 0, 0, 0x100), 0);  // bilinear identity
  EXPECT_TRUE(SameRows(a.get(), b.get()));
  // k = 5 asks for only 4 values, but the bilinear mapping reads 8.
  RectOwner m4(mrMakeExtern(eight, 64, 4, 1, 32));
  EXPECT_EQ(mrPerspectiveTrans(a.get(), b.get(), m4.get(), 0, 0, 0x500), -1);
  EXPECT_EQ(mrPerspectiveTrans(a.get(), 0, id.h.get(), 0, 0, 0), -1);
}

TEST(mrPerspectiveTrans, FillCountMaskAndInPlace) {
  std::mt19937 rng(2);
  RectOwner src = Random(rng, 24, 11, 5), dst(mrCreate(24, 11, 5)), mask(mrCreate(1, 11, 5));
  RectOwner wrong_mask(mrCreate(1, 12, 5));
  Matrix left({1, 0, -3, 0, 1, 0, 0, 0, 1});
  EXPECT_EQ(mrPerspectiveTrans(src.get(), dst.get(), left.h.get(), mask.get(), 0x123456, 0), 15);
  EXPECT_EQ(mrPerspectiveTrans(src.get(), dst.get(), left.h.get(), wrong_mask.get(), 0, 0), 15);
  for (int32_t y = 0; y < 5; ++y) {
    EXPECT_EQ(mrGetPixel(mask.get(), 2, y), 1);
    EXPECT_EQ(mrGetPixel(mask.get(), 3, y), 0);
    EXPECT_EQ(mrGetPixel(dst.get(), 3, y), mrGetPixel(src.get(), 0, y));
  }
  EXPECT_EQ(mrGetPixel(wrong_mask.get(), 0, 0), 0);  // ignored

  // Warping a rectangle onto itself reads the picture as it was.
  RectOwner copy(mrCopyAs(src.get()));
  Matrix right({1, 0, 2, 0, 1, 1, 0, 0, 1});
  EXPECT_EQ(mrPerspectiveTrans(src.get(), src.get(), right.h.get(), 0, 0, 1), 2 * 5 + 1 * 9);
  EXPECT_EQ(mrGetPixel(src.get(), 0, 0), mrGetPixel(copy.get(), 2, 1));
  EXPECT_EQ(mrGetPixel(src.get(), 8, 3), mrGetPixel(copy.get(), 10, 4));
  EXPECT_EQ(mrGetPixel(src.get(), 9, 0), 0);
}

TEST(mrScaleFromPoint, OneKeepsTwoMagnifies) {
  std::mt19937 rng(3);
  RectOwner r = Random(rng, 8, 16, 12);
  RectOwner before(mrCopyAs(r.get()));
  EXPECT_EQ(mrScaleFromPoint(r.get(), 8, 6, 1.0, 0, 0), 0);
  EXPECT_TRUE(SameRows(r.get(), before.get()));
  // s = 2 about the centre: the central half fills the whole rectangle.
  EXPECT_EQ(mrScaleFromPoint(r.get(), 8, 6, 2.0, 0, 1), 0);
  for (int32_t y = 0; y < 12; ++y)
    for (int32_t x = 0; x < 16; ++x) {
      const int32_t sx = static_cast<int32_t>(std::floor(8 + (x - 8) / 2.0 + 0.5));
      const int32_t sy = static_cast<int32_t>(std::floor(6 + (y - 6) / 2.0 + 0.5));
      ASSERT_EQ(mrGetPixel(r.get(), x, y), mrGetPixel(before.get(), sx, sy)) << x << "," << y;
    }
  // Shrinking leaves a border of fill; an empty rectangle cannot be copied.
  EXPECT_GT(mrScaleFromPoint(r.get(), 8, 6, 0.5, 7, 0), 0);
  EXPECT_EQ(mrGetPixel(r.get(), 0, 0), 7);
  RectOwner empty(mrCreate(8, 0, 0));
  EXPECT_EQ(mrScaleFromPoint(empty.get(), 0, 0, 2.0, 0, 0), -1);
}

// B is a smooth picture, A the same picture magnified by 1.05 about (cx, cy).
TEST(mrBestScaleMask, FindsTheMagnification) {
  const int32_t w = 160, h = 120, cx = 70, cy = 64;
  RectOwner a(mrCreate(8, w, h)), b(mrCreate(8, w, h));
  auto picture = [](double x, double y) {
    return 128 + 60 * std::sin(x * 0.21) * std::cos(y * 0.17) + 40 * std::sin((x - y) * 0.07);
  };
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      mrPutPixel(b.get(), x, y, static_cast<int32_t>(picture(x, y)));
      mrPutPixel(a.get(), x, y,
                 static_cast<int32_t>(picture(cx + (x - cx) / 1.05, cy + (y - cy) / 1.05)));
    }
  double best = -1;
  const double ms = mrBestScaleMask(a.get(), b.get(), 0, cx, cy, 0.01, 1.0, 1.1, &best);
  EXPECT_NEAR(best, 1.05, 1e-9);
  EXPECT_GT(ms, 0.0);
  EXPECT_LT(ms, 40.0);

  // A against itself: scale 1 gives 0 and is passed over for the next best.
  const double self = mrBestScaleMask(b.get(), b.get(), 0, cx, cy, 0.01, 1.0, 1.1, &best);
  EXPECT_GT(self, 0.0);
  EXPECT_NEAR(best, 1.01, 1e-9);

  RectOwner mask(mrCreate(1, w - 1, h)), grey_mask(mrCreate(8, w, h)), small(mrCreate(8, w, h - 1));
  EXPECT_EQ(mrBestScaleMask(a.get(), b.get(), mask.get(), cx, cy, 0.01, 1.0, 1.1, &best), -1.0);
  EXPECT_EQ(mrBestScaleMask(a.get(), b.get(), grey_mask.get(), cx, cy, 0.01, 1, 1.1, &best), -1.0);
  EXPECT_EQ(mrBestScaleMask(a.get(), small.get(), 0, cx, cy, 0.01, 1.0, 1.1, &best), -1.0);
  EXPECT_EQ(mrBestScaleMask(a.get(), b.get(), 0, cx, cy, 0.0, 1.0, 1.1, &best), -1.0);
  EXPECT_EQ(mrBestScaleMask(a.get(), b.get(), 0, cx, cy, 0.01, 1.1, 1.0, &best), -1.0);
  RectOwner empty_mask(mrCreate(1, w, h));  // no pixel selected: no comparison
  EXPECT_EQ(mrBestScaleMask(a.get(), b.get(), empty_mask.get(), cx, cy, 0.01, 1, 1.1, &best), -1.0);
}

}  // namespace
