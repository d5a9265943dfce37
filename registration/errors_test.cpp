// The causes the registration's operations leave in the per-thread error
// record: texts that name the values, and kinds a program can act on.
#include <gtest/gtest.h>

#include <string>

#include "generic/errors.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "registration/chrom.h"
#include "registration/drift.h"
#include "registration/registration.h"
#include "registration/shift.h"
#include "registration/warp.h"
#include "tools/synthetic_image.h"

namespace vantor {
namespace {

RectOwner Grey(int w, int h, double dx) {
  RectOwner r(mrCreate(8, w, h));
  const auto px = tools::RenderBlobs(tools::MakeBlobs(w, h, 12, 7), w, h, dx, 0.0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) mrPutPixel(r.get(), x, y, px[static_cast<size_t>(y) * w + x]);
  return r;
}

std::string Last() { return mrLastError(); }

TEST(RegistrationErrors, CausesNameTheValues) {
  RectOwner a = Grey(64, 48, 0), b = Grey(64, 48, 1.5), narrow = Grey(60, 48, 0);
  RectOwner mask(mrCreate(1, 64, 48)), deep(mrCreate(16, 64, 48));
  double rec[4];

  EXPECT_LT(RegisterPair(a.get(), 999999, 0, rec, 4, 0.05, 3, 512, 0, 3072), 0.0);
  EXPECT_EQ(Last(), "RegisterPair: handle 999999 is not a valid image");
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_PARAMETER);
  EXPECT_LT(RegisterPair(a.get(), deep.get(), 0, rec, 4, 0.05, 3, 512, 0, 3072), 0.0);
  EXPECT_EQ(Last(), "RegisterPair: image " + std::to_string(deep.get()) +
                        " has depth 16, which this operation does not take");
  // The mask must be of B's size and hold a set pixel.
  EXPECT_LT(RegisterPair(a.get(), narrow.get(), mask.get(), rec, 4, 0.05, 3, 512, 0, 3072), 0.0);
  EXPECT_EQ(Last(), "RegisterPair: mask " + std::to_string(mask.get()) + " (64 x 48) and image " +
                        std::to_string(narrow.get()) + " (60 x 48) differ in size");
  EXPECT_LT(RegisterPair(a.get(), b.get(), mask.get(), rec, 4, 0.05, 3, 512, 0, 3072), 0.0);
  EXPECT_EQ(Last(), "RegisterPair: mask " + std::to_string(mask.get()) + " has no set pixel");
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_PARAMETER);
  EXPECT_LT(RegisterPair(a.get(), b.get(), 0, rec, 4, 0.05, 3, 0, 0, 3072), 0.0);
  EXPECT_EQ(Last(), "RegisterPair: coarse size 0 is below 1");

  // A mask whose only pixel maps outside A: nothing can be compared.
  mrPutPixel(mask.get(), 0, 0, 1);
  double far[4] = {-500, 0, 1, 0};
  PairCostContext ctx{a.get(), b.get(), mask.get(), 0};
  EXPECT_LT(PairCost(far, &ctx), 0.0);
  EXPECT_EQ(Last(), "PairCost: nothing of the mask could be compared");
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_FAILED);

  EXPECT_LT(mrAverSquareDiff(a.get(), narrow.get(), 0, 300), 0.0);
  EXPECT_EQ(Last(), "mrAverSquareDiff: image " + std::to_string(a.get()) +
                        " (64 x 48) and image " + std::to_string(narrow.get()) +
                        " (60 x 48) differ in size");
  int32_t x = 0, y = 0;
  EXPECT_LT(mrFindShift(narrow.get(), a.get(), mask.get(), 2, &x, &y), 0.0);
  EXPECT_NE(Last().find("mrFindShift: mask"), std::string::npos) << Last();

  // The drift measurement: options out of range, a full-depth image of
  // another size (frames of different sizes: drift_test).
  DriftOptions o{kDriftPrecise, 4, 0.05, 3, 512, 0.5, kDriftTranslation};
  DriftOptions bad = o;
  bad.method = 7;
  EXPECT_EQ(DriftFrameCreate(a.get(), 0, &bad, 0), nullptr);
  EXPECT_EQ(Last(), "DriftFrameCreate: method 7 is not one of 0 (classic), 1 (default), 2 (precise)");
  EXPECT_EQ(DriftFrameCreate(a.get(), narrow.get(), &o, 0), nullptr);
  EXPECT_NE(Last().find("differ in size"), std::string::npos) << Last();

  // Warping and the channel scales.
  RectOwner matrix(mrCreate(64, 2, 2));
  EXPECT_EQ(mrPerspectiveTrans(a.get(), b.get(), matrix.get(), 0, 0, 0), -1);
  EXPECT_EQ(Last(), "mrPerspectiveTrans: matrix " + std::to_string(matrix.get()) +
                        " holds fewer than 9 values");
  EXPECT_EQ(mrChromAberrMask(a.get(), 0, 0, 0, nullptr), 0);
  EXPECT_EQ(Last(), "mrChromAberrMask: image " + std::to_string(a.get()) +
                        " has depth 8, which this operation does not take");
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_PARAMETER);
}

}  // namespace
}  // namespace vantor
