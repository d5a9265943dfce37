// The registration when memory runs out: every search fails with the memory
// kind or gives exactly the result it gives with memory; none reports half a
// search (a skipped level, an unequalised pair, a skipped check) as a result.
#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "registration/chrom.h"
#include "registration/drift.h"
#include "registration/registration.h"
#include "registration/shift.h"
#include "registration/warp.h"
#include "tools/oom_check.h"
#include "tools/synthetic_image.h"

namespace vantor {
namespace {

constexpr int kW = 64, kH = 48;

RectOwner Grey(double dx, double dy, double offset) {
  RectOwner r(mrCreate(8, kW, kH));
  const auto px = tools::RenderBlobs(tools::MakeBlobs(kW, kH, 14, 3), kW, kH, dx, dy, offset);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) mrPutPixel(r.get(), x, y, px[static_cast<size_t>(y) * kW + x]);
  return r;
}

bool SameBytes(int32_t a, int32_t b) {
  int32_t w = 0, h = 0, pa = 0, pb = 0;
  void* x = nullptr;
  void* y = nullptr;
  const int32_t depth = mrGetExtendedInfo(a, &w, &h, &pa, &x);
  if (depth != mrGetExtendedInfo(b, &w, &h, &pb, &y)) return false;
  const size_t row = (static_cast<size_t>(depth) * w + 7) / 8;
  for (int32_t r = 0; r < h; ++r)
    if (std::memcmp(static_cast<uint8_t*>(x) + r * pa, static_cast<uint8_t*>(y) + r * pb, row))
      return false;
  return true;
}

TEST(RegistrationOutOfMemory, SearchesFailOrGiveTheSameResult) {
  // Means 25 apart: the equalisation copies the pair; 512 / 2 gives a coarse level.
  RectOwner a = Grey(0, 0, 80), b = Grey(2.5, -1.5, 105);
  RectOwner mask(CentralMaskFraction(b.get(), 0.6));
  ASSERT_TRUE(mask);
  for (int32_t flags : {3072, 3072 | kRegEqualiseBrightness}) {
    for (int32_t coarse : {512, 24}) {
      double want[4], got[4];
      const double d = RegisterPair(a.get(), b.get(), mask.get(), want, 4, 0.05, 1, coarse, 0, flags);
      ASSERT_GE(d, 0.0);
      double dist = -1;
      fault::EveryFailureOf(
          "RegisterPair", [&] {
            return (dist = RegisterPair(a.get(), b.get(), mask.get(), got, 4, 0.05, 1, coarse, 0,
                                        flags)) >= 0.0;
          },
          [&] {
            EXPECT_EQ(dist, d) << flags << " " << coarse;
            EXPECT_EQ(std::memcmp(got, want, sizeof want), 0);
          });
    }
  }

  // The drift methods: frames prepared and pairs measured, each call with a
  // workspace of its own, so that the scratch images of the smoothing and the
  // refinement are made under the failures too.
  auto onFreshThread = [](const std::function<void()>& f) { std::thread(f).join(); };
  for (int32_t method : {kDriftClassic, kDriftDefault, kDriftPrecise}) {
    const DriftOptions o{method, 4, 0.05, 1, 512, 0.5, kDriftTranslation};
    RectOwner m(CentralMaskFraction(a.get(), o.maskFraction));
    DriftFrame* fa = DriftFrameCreate(a.get(), 0, &o, 1);
    DriftFrame* fb = DriftFrameCreate(b.get(), 0, &o, 0);
    ASSERT_TRUE(fa != nullptr && fb != nullptr);
    DriftResult want, got;
    ASSERT_EQ(DriftMeasure(fa, fb, m.get(), &o, &want), 0);
    DriftFrame* made = nullptr;
    onFreshThread([&] {
      fault::EveryFailureOf("DriftFrameCreate", [&] {
        return (made = DriftFrameCreate(a.get(), 0, &o, 1)) != nullptr;
      }, [&] {
        EXPECT_EQ(DriftMeasure(made, fb, m.get(), &o, &got), 0);
        EXPECT_EQ(std::memcmp(&got, &want, sizeof want), 0) << method;
        DriftFrameFree(made);
      });
    });
    onFreshThread([&] {
      fault::EveryFailureOf("DriftMeasure", [&] {
        const bool ok = DriftMeasure(fa, fb, m.get(), &o, &got) == 0;
        if (!ok) {
          EXPECT_EQ(got.quality, kDriftFailed);
        }
        return ok;
      }, [&] { EXPECT_EQ(std::memcmp(&got, &want, sizeof want), 0) << method; });
    });
    // A workspace of the caller's: a fresh one with the mask made in it, and
    // one kept through every failure, which must leave it fit for the next pair.
    fault::EveryFailureOf("DriftMeasureWith", [&] {
      DriftWorkspace* fresh = DriftWorkspaceCreate();
      if (fresh == nullptr) return false;
      const bool ok = DriftMeasureWith(fa, fb, 0, &o, fresh, &got) == 0;
      DriftWorkspaceFree(fresh);
      return ok;
    }, [&] { EXPECT_EQ(std::memcmp(&got, &want, sizeof want), 0) << method; });
    DriftWorkspace* kept = DriftWorkspaceCreate();
    ASSERT_NE(kept, nullptr);
    fault::EveryFailureOf("DriftMeasureWith", [&] {
      return DriftMeasureWith(fa, fb, m.get(), &o, kept, &got) == 0;
    }, [&] { EXPECT_EQ(std::memcmp(&got, &want, sizeof want), 0) << method; });
    DriftWorkspaceFree(kept);
    // A distance far above the others is marked; a failure marks nothing.
    std::vector<DriftResult> results(6, want), scratch(6);
    results[3].distance = want.distance + 40;
    scratch = results;
    const int32_t marked = DriftClassify(scratch.data(), 6);
    fault::EveryFailureOf("DriftClassify", [&] {
      std::copy(results.begin(), results.end(), scratch.begin());
      const int32_t n = DriftClassify(scratch.data(), 6);
      if (n < 0) {
        EXPECT_TRUE(std::equal(scratch.begin(), scratch.end(), results.begin(),
                               [](const DriftResult& x, const DriftResult& y) {
                                 return std::memcmp(&x, &y, sizeof x) == 0;
                               }));
      }
      return n >= 0;
    }, [&] { EXPECT_EQ(DriftClassify(results.data(), 6), marked); });
    DriftFrameFree(fa);
    DriftFrameFree(fb);
  }

  // The shift walk with its vicinity map.
  int32_t wx = 0, wy = 0, vic = 0;
  const double walk = mrFindShiftVic(a.get(), b.get(), mask.get(), 3, &wx, &wy, &vic);
  ASSERT_GE(walk, 0.0);
  RectOwner wantVic(vic);
  fault::EveryFailureOf("mrFindShiftVic", [&] {
    int32_t x = 0, y = 0, v = 0;
    const double d = mrFindShiftVic(a.get(), b.get(), mask.get(), 3, &x, &y, &v);
    if (d < 0.0) return false;
    RectOwner own(v);
    EXPECT_EQ(d, walk);
    EXPECT_EQ(x, wx);
    EXPECT_EQ(y, wy);
    EXPECT_TRUE(SameBytes(v, wantVic.get()));
    return true;
  });

  // Warping onto itself (through a copy) and the scale about a point.
  double m[9] = {1.01, 0.02, -1.5, -0.02, 1.01, 0.7, 0, 0, 1};
  RectOwner matrix(mrMakeExtern(m, 64, 3, 3, 24));
  RectOwner warped(mrCopyAs(a.get()));
  ASSERT_GE(mrPerspectiveTrans(warped.get(), warped.get(), matrix.get(), 0, 0, 0), 0);
  fault::EveryFailureOf("mrPerspectiveTrans", [&] {
    RectOwner w(mrCopyAs(a.get()));
    if (!w) return false;
    if (mrPerspectiveTrans(w.get(), w.get(), matrix.get(), 0, 0, 0) < 0) return false;
    EXPECT_TRUE(SameBytes(w.get(), warped.get()));
    return true;
  });
  fault::EveryFailureOf("mrScaleFromPoint", [&] {
    RectOwner w(mrCopyAs(a.get()));
    return w && mrScaleFromPoint(w.get(), 30, 20, 1.02, 0, 0) >= 0;
  });

  // The channel scales of a colour image whose red channel is magnified.
  RectOwner colour(mrCreate(24, kW, kH)), red(Grey(0, 0, 80));
  ASSERT_GE(mrScaleFromPoint(red.get(), kW / 2, kH / 2, 1.015, 0, 0), 0);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const int32_t g = mrGetPixel(a.get(), x, y);
      mrPutPixel(colour.get(), x, y, mrGetPixel(red.get(), x, y) | g << 8 | g << 16);
    }
  double scales[3];
  RectOwner corrected(mrChromAberrMask(colour.get(), 0, 0, 0, scales));
  ASSERT_TRUE(corrected);
  fault::EveryFailureOf("mrChromAberrMask", [&] {
    double s[3];
    RectOwner out(mrChromAberrMask(colour.get(), 0, 0, 0, s));
    if (!out) return false;
    EXPECT_EQ(std::memcmp(s, scales, sizeof s), 0);
    EXPECT_TRUE(SameBytes(out.get(), corrected.get()));
    return true;
  });
}

}  // namespace
}  // namespace vantor
