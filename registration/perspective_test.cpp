#include "registration/perspective.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "improc/perspective.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"

namespace {

using vantor::RectOwner;

uint8_t* Pixels(int32_t h, int32_t* pitch = nullptr) {
  void* p = nullptr;
  mrGetExtendedInfo(h, nullptr, nullptr, pitch, &p);
  return static_cast<uint8_t*>(p);
}

RectOwner RandomGrey(std::mt19937& rng, int32_t w, int32_t h) {
  RectOwner r(mrCreate(8, w, h));
  int32_t pitch = 0;
  uint8_t* p = Pixels(r.get(), &pitch);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) p[y * pitch + x] = static_cast<uint8_t>(rng());
  return r;
}

// The cost function's way: nine local doubles wrapped as a 3 x 3 rectangle.
struct Matrix {
  double m[9];
  RectOwner h;
  explicit Matrix(std::initializer_list<double> v) {
    std::copy(v.begin(), v.end(), m);
    h.reset(mrMakeExtern(m, 64, 3, 3, 24));
  }
};

TEST(mrPerspectiveMaskDiff, RefusesWrongDepthsAndSizes) {
  std::mt19937 rng(11);
  RectOwner a = RandomGrey(rng, 16, 8), b = RandomGrey(rng, 16, 8);
  RectOwner mask(mrCreate(1, 16, 8));
  RectOwner wide_mask(mrCreate(1, 17, 8));  // one pixel too wide
  RectOwner grey_mask(mrCreate(8, 16, 8));
  RectOwner b16(mrCreate(16, 16, 8));
  Matrix id({1, 0, 0, 0, 1, 0, 0, 0, 1});
  double eight[8] = {1, 0, 0, 0, 1, 0, 0, 0};
  RectOwner short_matrix(mrMakeExtern(eight, 64, 4, 2, 32));
  RectOwner float_matrix(mrCreate(32, 3, 3));

  Pixels(mask.get())[0] = 1;
  Pixels(wide_mask.get())[0] = 1;
  EXPECT_EQ(mrPerspectiveMaskDiff(a.get(), a.get(), mask.get(), id.h.get(), 0), 0.0);
  EXPECT_EQ(mrPerspectiveMaskDiff(a.get(), b.get(), wide_mask.get(), id.h.get(), 0), -1.0);
  EXPECT_EQ(mrPerspectiveMaskDiff(a.get(), b.get(), grey_mask.get(), id.h.get(), 0), -1.0);
  EXPECT_EQ(mrPerspectiveMaskDiff(a.get(), b16.get(), 0, id.h.get(), 0), -1.0);
  EXPECT_EQ(mrPerspectiveMaskDiff(b16.get(), b16.get(), 0, id.h.get(), 0), -1.0);
  EXPECT_EQ(mrPerspectiveMaskDiff(a.get(), b.get(), 0, short_matrix.get(), 0), -1.0);
  EXPECT_EQ(mrPerspectiveMaskDiff(a.get(), b.get(), 0, float_matrix.get(), 0), -1.0);
  EXPECT_EQ(mrPerspectiveMaskDiff(a.get(), b.get(), 0, 0, 0), -1.0);
  EXPECT_EQ(mrPerspectiveMaskDiff(9999, b.get(), 0, id.h.get(), 0), -1.0);
  EXPECT_EQ(mrPerspectiveMaskDiff(a.get(), b.get(), -1, id.h.get(), 0), -1.0);
}

TEST(mrPerspectiveMaskDiff, ResolvesRectanglesForTheKernel) {
  std::mt19937 rng(12);
  const int32_t w = 41, h = 13;
  RectOwner a = RandomGrey(rng, w, h), b = RandomGrey(rng, w - 1, h - 1);
  RectOwner mask(mrCreate(1, w - 1, h - 1));
  int32_t mp = 0;
  uint8_t* mpx = Pixels(mask.get(), &mp);
  for (int32_t y = 0; y < h - 1; ++y)
    for (int32_t x = 0; x < w - 1; ++x)
      if (rng() % 3) mpx[y * mp + x / 8] |= static_cast<uint8_t>(1u << (x % 8));
  Matrix shift({1, 0, 1.25, 0, 1, -0.75, 0, 0, 1});
  int32_t ap = 0, bp = 0;
  const uint8_t* apx = Pixels(a.get(), &ap);
  const uint8_t* bpx = Pixels(b.get(), &bp);
  for (int32_t sampling : {0, 1}) {
    EXPECT_EQ(mrPerspectiveMaskDiff(a.get(), b.get(), mask.get(), shift.h.get(), sampling),
              PerspectiveMaskDiff(apx, w, h, ap, bpx, w - 1, h - 1, bp, mpx, mp, shift.m, sampling));
    EXPECT_EQ(mrPerspectiveMaskDiff(a.get(), b.get(), 0, shift.h.get(), sampling),
              PerspectiveMaskDiff(apx, w, h, ap, bpx, w - 1, h - 1, bp, nullptr, 0, shift.m,
                                  sampling));
  }

  // A matrix held in a wider rectangle is read pixel by pixel, not past its rows.
  RectOwner big(mrCreate(64, 5, 3));
  int32_t pitch = 0;
  uint8_t* base = Pixels(big.get(), &pitch);
  for (int k = 0; k < 9; ++k) {
    double v = shift.m[k];
    std::memcpy(base + (k / 3) * pitch + (k % 3) * 8, &v, 8);
  }
  RectOwner window(mrCreateOverlay(big.get(), 0, 0, 3, 3));
  EXPECT_EQ(mrPerspectiveMaskDiff(a.get(), b.get(), mask.get(), window.get(), 0),
            mrPerspectiveMaskDiff(a.get(), b.get(), mask.get(), shift.h.get(), 0));
}

}  // namespace
