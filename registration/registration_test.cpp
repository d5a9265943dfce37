#include "registration/registration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "registration/registration_internal.h"
#include "tools/synthetic_image.h"

namespace vantor {
namespace {

// An 8-bit rectangle holding the pixels (row 0 first).
RectOwner GreyImage(const std::vector<uint8_t>& px, int w, int h) {
  RectOwner r(mrCreate(8, w, h));
  int32_t pw, ph, pitch;
  void* p = nullptr;
  EXPECT_EQ(mrGetExtendedInfo(r.get(), &pw, &ph, &pitch, &p), 8);
  for (int y = 0; y < h; ++y)
    std::memcpy(static_cast<uint8_t*>(p) + static_cast<size_t>(y) * pitch,
                px.data() + static_cast<size_t>(y) * w, static_cast<size_t>(w));
  return r;
}

RectOwner Uniform(int w, int h, uint8_t value) {
  return GreyImage(std::vector<uint8_t>(static_cast<size_t>(w) * h, value), w, h);
}

// Image A and image B = A displaced by (dx, dy): a feature at p of A is at p + d in B.
struct Pair {
  RectOwner a, b;
};
Pair BlobPair(int w, int h, double dx, double dy, uint32_t seed = 1) {
  auto blobs = tools::MakeBlobs(w, h, w * h / 2500 + 40, seed);
  return {GreyImage(tools::RenderBlobs(blobs, w, h, 0, 0), w, h),
          GreyImage(tools::RenderBlobs(blobs, w, h, dx, dy), w, h)};
}

TEST(RegisterPair, RecoversSubPixelShiftsWithTheBatchParameters) {
  // The coarse level runs for 1024 x 1024. B is A moved by (+0.37, -0.82), so a
  // feature of B lies at (x - 0.37, y + 0.82) in A.
  Pair p = BlobPair(1024, 1024, 0.37, -0.82);
  RectOwner mask(CentralMask(p.a.get()));
  double rec[4];
  RegisterStats stats;
  double d = RegisterPairWithStats(p.a.get(), p.b.get(), mask.get(), rec, 4, 0.05, 0, 512, 0,
                                   kRegFixS | kRegFixA, &stats);
  EXPECT_EQ(stats.levels, 2);
  EXPECT_GE(d, 0.0);
  EXPECT_NEAR(rec[0], -0.37, 0.05);
  EXPECT_NEAR(rec[1], 0.82, 0.05);
  EXPECT_EQ(rec[2], 1.0);
  EXPECT_EQ(rec[3], 0.0);
}

TEST(RegisterPair, FindsALargeDisplacement) {
  Pair p = BlobPair(1024, 1024, -37.6, 21.3, 2);
  RectOwner mask(CentralMask(p.a.get()));
  double rec[4];
  RegisterPair(p.a.get(), p.b.get(), mask.get(), rec, 4, 0.05, 0, 512, 0, 3072);
  EXPECT_NEAR(rec[0], 37.6, 0.05);
  EXPECT_NEAR(rec[1], -21.3, 0.05);
}

TEST(RegisterPair, AllParametersFixedEvaluatesTwice) {
  Pair p = BlobPair(200, 150, 1.0, 0.0);
  double rec[4] = {9, 9, 9, 9};
  RegisterStats stats;
  double d = RegisterPairWithStats(p.a.get(), p.b.get(), 0, rec, 4, 0.05, 3, 512, 0,
                                   256 | 512 | 1024 | 2048, &stats);
  EXPECT_EQ(stats.fineEvaluations, 2);
  EXPECT_EQ(stats.levels, 1);
  EXPECT_EQ(rec[0], 0.0);
  EXPECT_EQ(rec[1], 0.0);
  EXPECT_EQ(rec[2], 1.0);
  EXPECT_EQ(rec[3], 0.0);
  const double identity[4] = {0, 0, 1, 0};
  PairCostContext ctx{p.a.get(), p.b.get(), 0, 0};
  EXPECT_DOUBLE_EQ(d, std::sqrt(PairCost(identity, &ctx)));
}

TEST(RegisterPair, RefusedInputsLeaveTheRecordAlone) {
  RectOwner a = Uniform(50, 40, 10);
  RectOwner colour(mrCreate(24, 50, 40));
  double rec[4] = {5, 6, 7, 8};
  EXPECT_EQ(RegisterPair(a.get(), colour.get(), 0, rec, 4, 0.05, 3, 512, 0, 3072), -1.0);
  EXPECT_EQ(RegisterPair(a.get(), a.get(), 0, rec, 4, 0.05, 3, 0, 0, 3072), -1.0);
  EXPECT_EQ(RegisterPair(a.get(), 9999, 0, rec, 4, 0.05, 3, 512, 0, 3072), -1.0);
  EXPECT_EQ(rec[0], 5);
  EXPECT_EQ(rec[3], 8);
}

TEST(RegisterPair, MaskOfAnotherSizeEndsAtTheFirstVertex) {
  Pair p = BlobPair(100, 80, 0, 0);
  RectOwner mask(mrCreate(1, 99, 80));
  double rec[4];
  EXPECT_EQ(RegisterPair(p.a.get(), p.b.get(), mask.get(), rec, 4, 0.05, 3, 512, 0, 3072), -1.0);
  EXPECT_NEAR(rec[0], 2.0, 1e-9);
  EXPECT_NEAR(rec[1], 1.154701, 1e-6);
  EXPECT_EQ(rec[2], 1.0);
  EXPECT_EQ(rec[3], 0.0);
}

TEST(RegisterPair, CoarseLevelStartsAtShorterSide768) {
  for (int side : {767, 768}) {
    Pair p = BlobPair(side + 10, side, 0.5, 0.5);
    double rec[4];
    RegisterStats stats;
    RegisterPairWithStats(p.a.get(), p.b.get(), 0, rec, 4, 0.05, 3, 512, 0, 3072, &stats);
    EXPECT_EQ(stats.levels, side == 767 ? 1 : 2) << side;
    if (side == 768) {
      EXPECT_GT(stats.coarseEvaluations, 0);
    }
  }
}

TEST(Equalisation, CopiesOnlyWhenTheMeansDifferByTheThreshold) {
  RectOwner a = Uniform(20, 10, 100), b = Uniform(20, 10, 109), c = Uniform(20, 10, 110);
  int32_t outA = 0, outB = 0;
  EXPECT_EQ(EqualiseMeans(a.get(), b.get(), 10, &outA, &outB), 0);
  EXPECT_EQ(outA, a.get());
  EXPECT_EQ(outB, b.get());
  EXPECT_EQ(EqualiseMeans(a.get(), c.get(), 10, &outA, &outB), 10);
  RectOwner ca(outA), cb(outB);
  EXPECT_NE(outA, a.get());
  EXPECT_NE(outB, c.get());
  EXPECT_EQ(mrGetPixel(outA, 3, 3), 105);
  EXPECT_EQ(mrGetPixel(outB, 3, 3), 105);
  EXPECT_EQ(mrGetPixel(a.get(), 3, 3), 100);
  int32_t mean = -1, sd = -1;
  EXPECT_EQ(GreyMeanStd(c.get(), &mean, &sd), 1);
  EXPECT_EQ(mean, 110);
  EXPECT_EQ(sd, 0);
  EXPECT_EQ(GreyMeanStd(9999, &mean, &sd), 0);
}

TEST(CentralMask, CoversTheFractionAroundTheCentre) {
  RectOwner img = Uniform(100, 60, 1);
  double previous = SetMaskFraction(0.5);
  RectOwner mask(CentralMask(img.get()));
  int32_t w = 0, h = 0;
  ASSERT_EQ(mrGetRectInfo(mask.get(), &w, &h), 1);
  EXPECT_EQ(w, 100);
  EXPECT_EQ(h, 60);
  int ones = 0;
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 100; ++x) {
      const int v = mrGetPixel(mask.get(), x, y);
      ones += v;
      EXPECT_EQ(v, (x >= 25 && x <= 75 && y >= 15 && y <= 45) ? 1 : 0) << x << "," << y;
    }
  EXPECT_EQ(ones, 51 * 31);
  SetMaskFraction(0.0);
  RectOwner dot(CentralMask(img.get()));
  EXPECT_EQ(mrGetPixel(dot.get(), 50, 30), 1);
  EXPECT_EQ(mrGetPixel(dot.get(), 49, 30), 0);
  // A fraction far above 1 is clipped to the image, never overflows.
  SetMaskFraction(1e12);
  RectOwner all(CentralMask(img.get()));
  EXPECT_EQ(mrGetPixel(all.get(), 0, 0), 1);
  SetMaskFraction(previous);
  EXPECT_EQ(CentralMask(9999), 0);
}

}  // namespace
}  // namespace vantor
