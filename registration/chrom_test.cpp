#include "registration/chrom.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "memrect/memrect.h"
#include "memrect/rect_owner.h"

namespace {

using vantor::RectOwner;

double Texture(double x, double y) {
  return 128 + 50 * std::sin(x / 9.0) * std::cos(y / 7.0) + 40 * std::sin((x + 2 * y) / 23.0);
}

// A colour image whose red and blue channels are the green texture magnified
// by s about the centre (1 for equal channels). depth 48 holds the same
// values times 257.
RectOwner Colour(int32_t depth, int32_t w, int32_t h, double s) {
  RectOwner r(mrCreate(depth, w, h));
  const double cx = w / 2, cy = h / 2;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const int g = static_cast<int>(std::lround(Texture(x, y)));
      const int rb = static_cast<int>(std::lround(Texture(cx + (x - cx) / s, cy + (y - cy) / s)));
      void* p = nullptr;
      mrGetPixelAddr(r.get(), x, y, &p);
      auto* px = static_cast<uint8_t*>(p);
      if (depth == 24) {
        px[0] = static_cast<uint8_t>(rb);
        px[1] = static_cast<uint8_t>(g);
        px[2] = static_cast<uint8_t>(rb);
      } else {
        auto* q = reinterpret_cast<uint16_t*>(px);
        q[0] = q[2] = static_cast<uint16_t>(rb * 257);
        q[1] = static_cast<uint16_t>(g * 257);
      }
    }
  return r;
}

// Whether channel c (0 blue, 1 green, 2 red) of two colour images agrees.
bool SameChannel(int32_t a, int32_t b, int c) {
  int32_t w = 0, h = 0;
  const int32_t depth = mrGetRectInfo(a, &w, &h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      void *p = nullptr, *q = nullptr;
      mrGetPixelAddr(a, x, y, &p);
      mrGetPixelAddr(b, x, y, &q);
      const size_t size = depth / 24;
      if (std::memcmp(static_cast<uint8_t*>(p) + c * size, static_cast<uint8_t*>(q) + c * size, size))
        return false;
    }
  return true;
}

// On a 1000-pixel-wide image a green channel smaller by 1.004 is measured and
// magnified; one smaller by 1.0015 (not above 1 + 2 / 1000) is not.
TEST(ChromAberr, MagnifiesOnlyScalesAboveTheThreshold) {
  for (int32_t depth : {24, 48}) {
    RectOwner src = Colour(depth, 1000, 160, 1.004);
    double s[3] = {0, 0, 0};
    RectOwner dst(mrChromAberrMask(src.get(), 0, 1, 0, s));
    ASSERT_TRUE(dst) << depth;
    EXPECT_EQ(s[0], 1.0);
    EXPECT_NEAR(s[1], 1.004, 0.0007) << depth;
    EXPECT_EQ(s[2], 1.0);
    EXPECT_TRUE(SameChannel(src.get(), dst.get(), 0));
    EXPECT_TRUE(SameChannel(src.get(), dst.get(), 2));
    EXPECT_FALSE(SameChannel(src.get(), dst.get(), 1));
  }
  // Equal channels, and a scale too small to apply: the image is copied.
  for (double scale : {1.0, 1.0015}) {
    RectOwner src = Colour(24, 1000, 160, scale);
    double s[3] = {0, 0, 0};
    RectOwner dst(mrChromAberrMask(src.get(), 0, 1, 0, s));
    ASSERT_TRUE(dst);
    EXPECT_EQ(s[0] + s[1] + s[2], 3.0) << scale;
    for (int c = 0; c < 3; ++c) EXPECT_TRUE(SameChannel(src.get(), dst.get(), c));
  }
}

TEST(ChromScale, AppliesInPlaceAndRefuses) {
  RectOwner src = Colour(24, 1000, 40, 1.0), copy(mrCopyAs(src.get()));
  const double none[3] = {1.0, 1.0015, 0.9};
  EXPECT_EQ(mrChromScale(src.get(), src.get(), 500, 20, 1, none), src.get());
  for (int c = 0; c < 3; ++c) EXPECT_TRUE(SameChannel(src.get(), copy.get(), c));
  const double green[3] = {1.0, 1.004, 1.0};
  EXPECT_EQ(mrChromScale(src.get(), src.get(), 500, 20, 1, green), src.get());
  EXPECT_TRUE(SameChannel(src.get(), copy.get(), 0));
  EXPECT_FALSE(SameChannel(src.get(), copy.get(), 1));

  RectOwner grey(mrCreate(8, 100, 40)), grey16(mrCreate(16, 100, 40)), other(mrCreate(24, 99, 40));
  double s[3] = {7, 7, 7};
  EXPECT_EQ(mrChromAberrMask(grey.get(), 0, 0, 0, s), 0);
  EXPECT_EQ(mrChromAberrMask(grey16.get(), 0, 0, 0, s), 0);
  EXPECT_EQ(mrChromAberrMask(src.get(), other.get(), 0, 0, s), 0);
  EXPECT_EQ(mrChromAberrMask(src.get(), 0, 0, grey.get(), s), 0);
  EXPECT_EQ(s[0], 7.0);
  EXPECT_EQ(mrChromScale(grey.get(), 0, 50, 20, 0, green), 0);
  EXPECT_EQ(mrChromScale(grey16.get(), 0, 50, 20, 0, green), 0);
  EXPECT_EQ(mrChromScale(src.get(), 0, 50, 20, 0, nullptr), 0);
}

}  // namespace
