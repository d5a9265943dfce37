#include "registration/shift.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "registration/shift_maps.h"

namespace {

using vantor::RectOwner;

// A smooth picture: the difference to a displaced copy grows steadily with
// the displacement over the ranges the tests walk.
uint8_t Smooth(double x, double y) {
  return static_cast<uint8_t>(std::lround(128 + 60 * std::sin(x / 15.0) + 60 * std::cos(y / 13.0)));
}

// An 8-bit w x h rectangle with pixel (x, y) = Smooth(x + ox, y + oy).
RectOwner Picture(int32_t w, int32_t h, int32_t ox = 0, int32_t oy = 0) {
  RectOwner r(mrCreate(8, w, h));
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) mrPutPixel(r.get(), x, y, Smooth(x + ox, y + oy));
  return r;
}

// A 1-bit w x h mask over the rectangle [x0, x1) x [y0, y1).
RectOwner Box(int32_t w, int32_t h, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  RectOwner m(mrCreate(1, w, h));
  for (int32_t y = y0; y < y1; ++y)
    for (int32_t x = x0; x < x1; ++x) mrPutPixel(m.get(), x, y, 1);
  return m;
}

TEST(AverSquareDiff, MaskEarlyExitAndRefusals) {
  RectOwner a = Picture(40, 30), b = Picture(40, 30, 2, 1);
  EXPECT_EQ(mrAverSquareDiff(a.get(), a.get(), 0, 256.0), 0.0);
  // Every fourth pixel of each row: only those enter, divided by their number.
  RectOwner m(mrCreate(1, 40, 30));
  double sum = 0;
  int n = 0;
  for (int32_t y = 0; y < 30; ++y)
    for (int32_t x = 0; x < 40; x += 4) {
      mrPutPixel(m.get(), x, y, 1);
      const double d = mrGetPixel(a.get(), x, y) - mrGetPixel(b.get(), x, y);
      sum += d * d;
      ++n;
    }
  EXPECT_DOUBLE_EQ(mrAverSquareDiff(a.get(), b.get(), m.get(), 256.0), std::sqrt(sum / n));

  // A = 0, B row j = j + 1 over 10 x 4: limit 1 gives the bound 41, passed by
  // the second row (sum 50), so the result is sqrt(50 / 40), above the limit.
  RectOwner z(mrCreate(8, 10, 4)), rows(mrCreate(8, 10, 4));
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 10; ++x) mrPutPixel(rows.get(), x, y, y + 1);
  EXPECT_DOUBLE_EQ(mrAverSquareDiff(z.get(), rows.get(), 0, 1.0), std::sqrt(50.0 / 40));

  RectOwner grey16(mrCreate(16, 40, 30)), small(mrCreate(8, 40, 29)), empty(mrCreate(1, 40, 30));
  EXPECT_EQ(mrAverSquareDiff(grey16.get(), b.get(), 0, 256.0), -1.0);
  EXPECT_EQ(mrAverSquareDiff(a.get(), small.get(), 0, 256.0), -1.0);
  EXPECT_EQ(mrAverSquareDiff(a.get(), b.get(), empty.get(), 256.0), -1.0);
  EXPECT_EQ(mrAverSquareDiff(a.get(), b.get(), small.get(), 256.0), -1.0);
  EXPECT_EQ(mrAverSquareDiff(a.get(), b.get(), 99999, 256.0), -1.0);
}

TEST(BestShift, FindsCutOutAndRefuses) {
  RectOwner big = Picture(100, 90);
  // The centred placement is (20, 20); A is cut at (17, 18).
  RectOwner a = Picture(60, 50, 17, 18);
  int32_t dx = 99, dy = 99;
  EXPECT_EQ(mrBestShift(a.get(), big.get(), 8, &dx, &dy), 0.0);
  EXPECT_EQ(dx, 3);
  EXPECT_EQ(dy, 2);

  dx = dy = 99;
  EXPECT_EQ(mrBestShift(a.get(), big.get(), 0, &dx, &dy), 256.0);
  EXPECT_EQ(dx, 0);
  EXPECT_EQ(dy, 0);

  // B only 2c - 1 wider than A.
  RectOwner narrow = Picture(75, 90);
  dx = dy = 99;
  EXPECT_EQ(mrBestShift(a.get(), narrow.get(), 8, &dx, &dy), -1.0);
  EXPECT_EQ(mrBestShift(a.get(), big.get(), -1, &dx, &dy), -1.0);
  RectOwner grey16(mrCreate(16, 100, 90));
  EXPECT_EQ(mrBestShift(a.get(), grey16.get(), 8, &dx, &dy), -1.0);
  EXPECT_EQ(dx, 99);
  EXPECT_EQ(dy, 99);
}

// B is A displaced by (5, -3): pixel (k, j) of A is pixel (k + 5, j - 3) of B.
struct Displaced : ::testing::Test {
  RectOwner a = Picture(128, 96);
  RectOwner b = Picture(128, 96, -5, 3);
  RectOwner mask = Box(128, 96, 32, 24, 96, 72);
};

TEST_F(Displaced, WalkEndsOnTheDisplacement) {
  for (int32_t m : {mask.get(), 0}) {
    int32_t x = 0, y = 0;
    EXPECT_EQ(mrFindShift(a.get(), b.get(), m, 4, &x, &y), 0.0);
    EXPECT_EQ(x, 5);
    EXPECT_EQ(y, -3);
  }
  // From the far side, with a radius of 1 (a cross of candidates).
  int32_t x = -6, y = 7;
  EXPECT_EQ(mrFindShift(a.get(), b.get(), mask.get(), 1, &x, &y), 0.0);
  EXPECT_EQ(x, 5);
  EXPECT_EQ(y, -3);
}

TEST_F(Displaced, VicinityMapHoldsWhatWasMeasured) {
  int32_t x = 0, y = 0, vic = 0;
  EXPECT_EQ(mrFindShiftVic(a.get(), b.get(), mask.get(), 4, &x, &y, &vic), 0.0);
  RectOwner map(vic);
  int32_t w = 0, h = 0, pitch = 0;
  void* px = nullptr;
  ASSERT_EQ(mrGetExtendedInfo(vic, &w, &h, &pitch, &px), 64);
  ASSERT_EQ(w, 13);
  ASSERT_EQ(h, 13);
  auto at = [&](int32_t sx, int32_t sy) {
    double v;
    std::memcpy(&v, static_cast<uint8_t*>(px) + sy * pitch + sx * 8, 8);
    return v;
  };
  // The centre is the displacement found (distance 0); its neighbours were
  // measured in the last pass; the corners lie beyond every disc walked.
  EXPECT_EQ(at(6, 6), 0.0);
  for (auto [sx, sy] : {std::pair{5, 6}, {7, 6}, {6, 5}, {6, 7}}) EXPECT_GT(at(sx, sy), 0.0);
  for (auto [sx, sy] : {std::pair{0, 0}, {12, 0}, {12, 12}}) EXPECT_EQ(at(sx, sy), 0.0);
}

TEST_F(Displaced, AcceptanceMinimumAndRefusals) {
  // 128 mask pixels are never enough; 129 are.
  RectOwner m128 = Box(128, 96, 40, 40, 56, 48), m129 = Box(128, 96, 40, 40, 56, 48);
  mrPutPixel(m129.get(), 60, 60, 1);
  int32_t x = 2, y = -1;
  EXPECT_EQ(mrFindShift(a.get(), b.get(), m128.get(), 4, &x, &y), 256.0);
  EXPECT_EQ(x, 2);
  EXPECT_EQ(y, -1);
  EXPECT_EQ(mrFindShift(a.get(), b.get(), m129.get(), 4, &x, &y), 0.0);
  EXPECT_EQ(x, 5);

  RectOwner grey16(mrCreate(16, 128, 96)), small(mrCreate(8, 127, 96));
  RectOwner wrong_mask(mrCreate(1, 128, 95));
  int32_t vic = 123;
  x = 1;
  y = 1;
  EXPECT_EQ(mrFindShiftVic(grey16.get(), b.get(), mask.get(), 4, &x, &y, &vic), -1.0);
  EXPECT_EQ(mrFindShiftVic(a.get(), small.get(), mask.get(), 4, &x, &y, &vic), -1.0);
  EXPECT_EQ(mrFindShiftVic(a.get(), b.get(), wrong_mask.get(), 4, &x, &y, &vic), -1.0);
  EXPECT_EQ(mrFindShiftVic(a.get(), b.get(), 99999, 4, &x, &y, &vic), -1.0);
  EXPECT_EQ(vic, 123);
  EXPECT_EQ(x, 1);
  EXPECT_EQ(y, 1);
}

TEST_F(Displaced, HugeRadiusAndStartAreBounded) {
  int32_t x = 0, y = 0, vic = 0;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(mrFindShiftVic(a.get(), b.get(), mask.get(), INT32_MAX, &x, &y, &vic), 0.0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  RectOwner map(vic);
  int32_t w = 0, h = 0;
  EXPECT_EQ(mrGetRectInfo(vic, &w, &h), 64);
  EXPECT_EQ(w, 3 * MR_SHIFT_MAX_RADIUS + 1);
  // A start far outside: nothing overlaps, nothing is accepted.
  x = INT32_MAX;
  y = INT32_MIN;
  EXPECT_EQ(mrFindShift(a.get(), b.get(), mask.get(), 4, &x, &y), 256.0);
  EXPECT_EQ(x, INT32_MAX);
  // A negative radius measures the start only.
  x = 5;
  y = -3;
  EXPECT_EQ(mrFindShift(a.get(), b.get(), mask.get(), -7, &x, &y), 0.0);
}

// The walk's map helpers: next set pixel, clipped counts, and a slide whose
// fill reaches neither the bits past the width nor other depths' neighbours.
TEST(ShiftMaps, FindNextOnesAndSlide) {
  RectOwner m(mrCreate(1, 20, 3));
  mrPutPixel(m.get(), 19, 0, 1);
  mrPutPixel(m.get(), 2, 2, 1);
  int32_t x = 20, y = 0;
  EXPECT_EQ(mrFindNext(m.get(), &x, &y), 1);
  EXPECT_EQ(x * 10 + y, 22);
  EXPECT_EQ(mrMaskSubrectOnes(m.get(), 3, -5, 100, 100), 1);
  // Slide by (-17, 1): (19, 0) lands on (2, 1), (2, 2) leaves; fill 1 sets
  // row 0 and columns 3..19 of rows 1 and 2.
  ASSERT_EQ(mrSlide(m.get(), -17, 1, 1), 0);
  void* px = nullptr;
  int32_t pitch = 0;
  mrGetExtendedInfo(m.get(), &x, &y, &pitch, &px);
  EXPECT_EQ(static_cast<uint8_t*>(px)[2] & 0xF0, 0);  // bits 20..23 of row 0
  EXPECT_EQ(mrMaskSubrectOnes(m.get(), 0, 0, 20, 3), 20 + 34 + 1);
  EXPECT_EQ(mrGetPixel(m.get(), 2, 1), 1);

  RectOwner d(mrCreate(64, 3, 2));
  double vals[6] = {1, 2, 3, 4, 5, 6};
  mrMoveExtern(vals, "=>", d.get());
  ASSERT_EQ(mrSlide(d.get(), 1, -1, 0), 0);
  mrMoveExtern(vals, "<=", d.get());
  EXPECT_EQ(std::vector<double>(vals, vals + 6), (std::vector<double>{0, 4, 5, 0, 0, 0}));
  EXPECT_EQ(mrSlide(99999, 1, 1, 0), -1);
  EXPECT_EQ(mrFindNext(d.get(), &x, &y), -1);
}

}  // namespace
