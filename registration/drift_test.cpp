// The drift measurement on generated pairs: the global search finds large
// jumps, the precise method has no half-pixel bias under noise and holds when
// brightness and focus change, under a light field fixed to the sensor and on
// faint beads in photon noise (where shrinking the reference's noisy gradients
// helps), the classification flags what it should, a
// reused workspace changes no result, and the compared area is the frames'.
#include "registration/drift.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "generic/errors.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "registration/drift_internal.h"
#include "registration/drift_test_util.h"
#include "registration/registration.h"
#include "tools/synthetic_image.h"

namespace vantor::drift {
namespace {

using vantor::tools::Blob;

using test_util::Grey;

struct Pair {
  RectOwner a, b, mask;
};

DriftOptions Options(int32_t method) {
  return DriftOptions{method, 4.0, 0.05, 3.0, 512, 0.5, kDriftTranslation};
}

// Measures b against a with the method; the truth of a feature at p of b is
// p + (dx, dy) in a, so b is the field displaced by -(dx, dy).
DriftResult Measure(const std::vector<double>& a, const std::vector<double>& b, int w, int h,
                    int32_t method) {
  RectOwner ga = Grey(a, w, h), gb = Grey(b, w, h);
  RectOwner mask(CentralMaskFraction(ga.get(), 0.5));
  const DriftOptions o = Options(method);
  DriftFrame* fa = DriftFrameCreate(ga.get(), 0, &o, 1);
  DriftFrame* fb = DriftFrameCreate(gb.get(), 0, &o, 0);
  DriftResult r{};
  EXPECT_TRUE(fa != nullptr && fb != nullptr);
  DriftMeasure(fa, fb, mask.get(), &o, &r);
  DriftFrameFree(fa);
  DriftFrameFree(fb);
  return r;
}

TEST(Drift, LostStarFieldIsRescuedAndTheSearchAloneLosesIt) {
  const int w = 400, h = 400;
  auto stars = vantor::tools::MakeStars(w, h, 300, 5);
  auto a = vantor::tools::RenderValues(stars, w, h, 0, 0, 10);
  auto b = vantor::tools::RenderValues(stars, w, h, 37.3, -21.6, 10);
  vantor::tools::AddNoise(a, 2, 1);
  vantor::tools::AddNoise(b, 2, 2);
  const DriftResult classic = Measure(a, b, w, h, kDriftClassic);
  EXPECT_GT(std::hypot(classic.dx + 37.3, classic.dy - 21.6), 5.0);
  EXPECT_EQ(classic.rescued, 0);
  const DriftResult rescued = Measure(a, b, w, h, kDriftDefault);
  EXPECT_EQ(rescued.rescued, 1);
  EXPECT_EQ(rescued.quality, kDriftRescued);
  EXPECT_NEAR(rescued.dx, -37.3, 0.5);
  EXPECT_NEAR(rescued.dy, 21.6, 0.5);
  EXPECT_EQ(rescued.searchDx, classic.dx);  // the search's own result is kept beside it
  const DriftResult precise = Measure(a, b, w, h, kDriftPrecise);
  EXPECT_NEAR(precise.dx, -37.3, 0.05);
  EXPECT_NEAR(precise.dy, 21.6, 0.05);
}

TEST(Drift, PreciseHasNoHalfPixelBiasUnderNoise) {
  // Phases across a whole pixel, noise sigma 8 on a faint field. A pull toward
  // half pixels makes the error positive below a phase of 0.5 and negative
  // above it; the mean of the error signed that way is the pull.
  const int w = 320, h = 320;
  auto blobs = vantor::tools::MakeBlobs(w, h, 600, 9);
  double pull = 0, worst = 0;
  int n = 0;
  for (int i = 0; i < 10; ++i) {
    const double s = 3.05 + 0.1 * i, t = 1.95 - 0.1 * i;
    auto a = vantor::tools::RenderValues(blobs, w, h, 0, 0);
    auto b = vantor::tools::RenderValues(blobs, w, h, -s, -t);
    vantor::tools::AddNoise(a, 8, 100 + i);
    vantor::tools::AddNoise(b, 8, 200 + i);
    const DriftResult r = Measure(a, b, w, h, kDriftPrecise);
    ASSERT_EQ(r.quality, kDriftOk);
    for (const auto& [e, phase] : {std::pair{r.dx - s, s - 3}, std::pair{r.dy - t, t - 1}}) {
      pull += phase < 0.5 ? e : -e;
      worst = std::max(worst, std::fabs(e));
      ++n;
    }
  }
  EXPECT_LT(std::fabs(pull / n), 0.01);
  EXPECT_LT(worst, 0.08);
}

TEST(Drift, RefinementReachesItsFixedPointInFewSteps) {
  // The steps fall short by a steady share; extrapolating them must end the
  // refinement after the Huber step and two Tukey steps, or very few more,
  // at the same answer as stepping all the way.
  const int w = 256, h = 256;
  auto blobs = vantor::tools::MakeBlobs(w, h, 400, 5);
  auto a = vantor::tools::RenderValues(blobs, w, h, 0, 0);
  auto b = vantor::tools::RenderValues(blobs, w, h, -1.43, 0.71);
  vantor::tools::AddNoise(a, 8, 7);
  vantor::tools::AddNoise(b, 8, 8);
  FloatImage fa, fb;
  ASSERT_TRUE(fa.Allocate(w, h) && fb.Allocate(w, h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      fa.Row(y)[x] = static_cast<float>(a[y * w + x]);
      fb.Row(y)[x] = static_cast<float>(b[y * w + x]);
    }
  const DriftKernels& k = DriftKernelsFor(true);
  const Rect mask = CentralRect(w, h, 0.5);
  ReferenceData ref;
  Workspace ws;
  ASSERT_TRUE(PrepareReference(fa, mask, 1.5, NoiseLevel(fa, mask), &ref, k, ws));
  const Refinement f = Refine(ref, fb, 1.0, 1.0, 1.5, k, ws);
  ASSERT_TRUE(f.ok);
  EXPECT_NEAR(f.dx, 1.43, 0.04);
  EXPECT_NEAR(f.dy, -0.71, 0.04);
  EXPECT_LE(f.iterations, 4);  // five when every step is taken as it comes
}

TEST(Drift, RefinementHoldsUnderALightFieldFixedToTheSensor) {
  // Vignetting (40 % darker at the corners) on both frames of a scene moved by
  // 25 pixels: the frame moved onto the reference is brighter on one side,
  // which a single gain cannot take up and the shift would.
  const int w = 384, h = 384;
  const auto blobs = vantor::tools::MakeBlobs(w, h, 700, 21);
  auto a = vantor::tools::RenderValues(blobs, w, h, 0, 0);
  auto b = vantor::tools::RenderValues(blobs, w, h, -21.3, 13.6);
  FloatImage fa, fb;
  ASSERT_TRUE(fa.Allocate(w, h) && fb.Allocate(w, h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double u = (x - 0.5 * (w - 1)) / w, v = (y - 0.5 * (h - 1)) / h;
      const double light = 1.0 - 0.8 * (u * u + v * v);
      fa.Row(y)[x] = static_cast<float>(light * a[y * w + x]);
      fb.Row(y)[x] = static_cast<float>(light * b[y * w + x]);
    }
  const DriftKernels& k = DriftKernelsFor(true);
  const Rect mask = CentralRect(w, h, 0.5);
  ReferenceData ref;
  Workspace ws;
  ASSERT_TRUE(PrepareReference(fa, mask, 1.5, 0.5, &ref, k, ws));
  const Refinement f = Refine(ref, fb, 21.0, -14.0, 1.5, k, ws, nullptr, 1.0, 1.0);
  ASSERT_TRUE(f.ok);
  EXPECT_NEAR(f.dx, 21.3, 0.01);
  EXPECT_NEAR(f.dy, -13.6, 0.01);
}

// Beads of 20 to 60 photons (Gaussian, sigma 1.5) over 6 a pixel, frames of
// them drawn with Poisson noise.
struct BeadField {
  int w, h;
  std::mt19937 rng;
  std::vector<Blob> beads;
  BeadField(int width, int height, unsigned seed, size_t count)
      : w(width), h(height), rng(seed), beads(count) {
    std::uniform_real_distribution<double> where(-20.0, w + 20.0), photons(20.0, 60.0);
    for (Blob& b : beads) b = {where(rng), where(rng), 1.5, photons(rng) / (2 * M_PI * 2.25)};
  }
  bool Frame(double dx, double dy, FloatImage* f) {
    const auto v = vantor::tools::RenderValues(beads, w, h, dx, dy, 6.0);
    if (!f->Allocate(w, h)) return false;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        f->Row(y)[x] = static_cast<float>(std::poisson_distribution<int>(v[y * w + x])(rng));
    return true;
  }
};

TEST(Drift, RefinementOnFaintBeadsInPhotonNoise) {
  // Beads of 20 to 60 photons over 6 a pixel, Poisson counts: the reference
  // cannot tell the gain between the frames, and fitting it anyway (toward
  // "the current frame is flat") led the shift astray by half again.
  const int w = 256, h = 256;
  BeadField field(w, h, 31, 220);
  auto frame = [&](double dx, double dy, FloatImage* f) { return field.Frame(dx, dy, f); };
  const DriftKernels& k = DriftKernelsFor(true);
  const Rect mask = CentralRect(w, h, 0.5);
  double sum2 = 0;
  constexpr int kPairs = 12;
  for (int i = 0; i < kPairs; ++i) {
    const double tx = 0.3 * i - 1.7, ty = 0.9 - 0.17 * i;
    FloatImage fa, fb;
    ASSERT_TRUE(frame(0, 0, &fa) && frame(-tx, -ty, &fb));
    ReferenceData ref;
    Workspace ws;
    ASSERT_TRUE(PrepareReference(fa, mask, 1.5, NoiseLevel(fa, mask), &ref, k, ws));
    const Refinement f = Refine(ref, fb, tx + 0.3, ty - 0.3, 1.5, k, ws);
    ASSERT_TRUE(f.ok) << i;
    sum2 += (f.dx - tx) * (f.dx - tx) + (f.dy - ty) * (f.dy - ty);
  }
  EXPECT_LT(std::sqrt(sum2 / (2 * kPairs)), 0.5);  // 0.41; 0.63 with the gain fitted
}

TEST(Drift, ShrunkGradientsOnFaintBeadsInPhotonNoise) {
  // Beads as above, one to 400 pixels: the reference's gradients are mostly
  // noise, which multiplied the noise of the residual. Shrunk by their local
  // signal share the error falls by a tenth.
  const int w = 384, h = 384;
  BeadField field(w, h, 5, (w + 40) * (h + 40) / 400);
  auto frame = [&](double dx, double dy, FloatImage* f) { return field.Frame(dx, dy, f); };
  const DriftKernels& k = DriftKernelsFor(true);
  const Rect mask = CentralRect(w, h, 0.5);
  double sum2[2] = {0, 0};
  constexpr int kPairs = 24;
  for (int i = 0; i < kPairs; ++i) {
    const double tx = 0.13 * i - 1.7, ty = 0.9 - 0.071 * i;
    FloatImage fa, fb;
    ASSERT_TRUE(frame(0, 0, &fa) && frame(-tx, -ty, &fb));
    for (int shrink = 0; shrink < 2; ++shrink) {
      ReferenceData ref;
      Workspace ws;
      ASSERT_TRUE(PrepareReference(fa, mask, 1.5, NoiseLevel(fa, mask), &ref, k, ws, shrink));
      EXPECT_EQ(ref.shrunkX.Empty(), shrink == 0);
      const Refinement f = Refine(ref, fb, tx + 0.3, ty - 0.3, ref.sigma, k, ws);
      ASSERT_TRUE(f.ok) << i;
      sum2[shrink] += (f.dx - tx) * (f.dx - tx) + (f.dy - ty) * (f.dy - ty);
    }
  }
  const double before = std::sqrt(sum2[0] / (2 * kPairs)), after = std::sqrt(sum2[1] / (2 * kPairs));
  EXPECT_LT(after, 0.95 * before);  // 0.238 and 0.216
}

TEST(Drift, FaintBeadsHaveStructurePhotonNoiseAloneHasNone) {
  // A few photons a bead over 6 a pixel barely raise the variance of the
  // frame (frames of such a sequence were failed as pure noise); smoothed,
  // they stand out. Pure photon noise has no structure either way.
  const int w = 512, h = 512;
  const DriftKernels& k = DriftKernelsFor(true);
  const Rect mask = CentralRect(w, h, 0.5);
  for (const bool beads : {true, false}) {
    int found = 0;
    for (unsigned seed = 1; seed <= 6; ++seed) {
      BeadField field(w, h, seed, beads ? (w + 40) * (h + 40) / 600 : 0);
      FloatImage f;
      ASSERT_TRUE(field.Frame(0, 0, &f));
      Pyramid p;
      FrameStats stats;
      ASSERT_TRUE(BuildScaledPyramid(f, false, mask, 3, &p, &stats, k));
      found += stats.structure ? 1 : 0;
    }
    EXPECT_EQ(found, beads ? 6 : 0);
  }
}

TEST(Drift, HotPixelsAloneAreNoStructure) {
  // A blank frame of a sensor with hot pixels: the pyramid was made before
  // they were taken out, and those on the compared area's edge passed for
  // structure, so the frame was measured (and the next against it).
  const int w = 256, h = 256;
  auto a = vantor::tools::RenderValues(vantor::tools::MakeBlobs(w, h, 40, 7), w, h, 0, 0);
  std::vector<double> b(static_cast<size_t>(w) * h, 50.0);
  vantor::tools::AddNoise(a, 2, 1);
  vantor::tools::AddNoise(b, 2, 2);
  // Some on the compared area's last column, where the test of structure
  // sees them in the variance more than in the noise.
  for (int y = 70; y < 190; y += 8) b[static_cast<size_t>(y) * w + 191] = 255.0;
  const DriftResult r = Measure(a, b, w, h, kDriftPrecise);
  EXPECT_EQ(r.distance, -1.0);
  EXPECT_NE(std::string(mrLastError()).find("no structure"), std::string::npos) << mrLastError();
}

TEST(Drift, GainTestThatTipsStaysTipped) {
  // A dozen stars over a sky of 1000 photons (Poisson, read noise 10): the
  // test whether the reference can tell the gain sits near its line, the
  // weights tipped it every step and the refinement swung between the two
  // models to its step limit, 0.1 pixel off on these draws.
  const int w = 320, h = 320;
  const DriftKernels& k = DriftKernelsFor(true);
  const Rect mask = CentralRect(w, h, 0.5);
  for (unsigned seed : {4u, 21u}) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> where(0.0, w), peak(std::log(300.0), std::log(20000.0));
    std::vector<Blob> stars(12);
    for (Blob& b : stars) b = {where(rng), where(rng), 1.5, std::exp(peak(rng))};
    auto frame = [&](double dx, double dy, FloatImage* f) {
      const auto v = vantor::tools::RenderValues(stars, w, h, dx, dy, 1000.0);
      if (!f->Allocate(w, h)) return false;
      std::normal_distribution<double> read(0, 10);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          f->Row(y)[x] = static_cast<float>(
              std::poisson_distribution<int>(v[static_cast<size_t>(y) * w + x])(rng) + read(rng));
      return true;
    };
    FloatImage fa, fb;
    ASSERT_TRUE(frame(0, 0, &fa) && frame(-0.85, 0.16, &fb));
    ReferenceData ref;
    Workspace ws;
    ASSERT_TRUE(PrepareReference(fa, mask, 1.5, NoiseLevel(fa, mask), &ref, k, ws, true));
    const Refinement f = Refine(ref, fb, 0.8, -0.1, 1.5, k, ws);
    ASSERT_TRUE(f.ok) << seed;
    EXPECT_LT(std::hypot(f.dx - 0.85, f.dy + 0.16), 0.06) << seed;  // 0.045 and 0.048
  }
}

TEST(Drift, SparseFieldKeepsItsBrightestStarsAndLeavesOutATrail) {
  // Stars of 300 to 20000 photons' peak over a sky of 1000 (Poisson, read
  // noise 10). A weights' limit fixed by the faint pixels cast out the
  // brightest cores, and the gain and blur, held by the wings alone,
  // drifted step after step toward a flat frame (0.048 pixel off after all
  // 20 steps on one of these draws). A satellite trail across the reference
  // alone, with more strong gradients than all the stars, was fitted by a
  // gain near 0 (1.8 to 2.6 pixels off).
  const int w = 320, h = 320;
  const DriftKernels& k = DriftKernelsFor(true);
  const Rect mask = CentralRect(w, h, 0.5);
  for (unsigned seed : {3u, 8u, 17u}) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> where(0.0, w), peak(std::log(300.0), std::log(20000.0));
    std::vector<Blob> stars(16);
    for (Blob& b : stars) b = {where(rng), where(rng), 1.5, std::exp(peak(rng))};
    auto frame = [&](double dx, double dy, bool trail, FloatImage* f) {
      const auto v = vantor::tools::RenderValues(stars, w, h, dx, dy, 1000.0);
      if (!f->Allocate(w, h)) return false;
      std::normal_distribution<double> read(0, 10);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const double across = 0.6 * x - 0.8 * y + 40.0;  // a line through the area
          const double t = trail ? 20000.0 * std::exp(-0.5 * across * across) : 0.0;
          f->Row(y)[x] = static_cast<float>(
              std::poisson_distribution<int>(v[static_cast<size_t>(y) * w + x] + t)(rng) +
              read(rng));
        }
      return true;
    };
    for (bool trail : {false, true}) {
      FloatImage fa, fb;
      ASSERT_TRUE(frame(0, 0, trail, &fa) && frame(-0.63, 0.41, false, &fb));
      ReferenceData ref;
      Workspace ws;
      ASSERT_TRUE(PrepareReference(fa, mask, 1.5, NoiseLevel(fa, mask), &ref, k, ws, true));
      const Refinement f = Refine(ref, fb, 0.9, -0.2, 1.5, k, ws);
      ASSERT_TRUE(f.ok) << seed << " " << trail;
      const double off = std::hypot(f.dx - 0.63, f.dy + 0.41);
      EXPECT_LT(off, trail ? 0.05 : 0.02) << seed << " " << trail;  // 0.002 to 0.033
      EXPECT_LT(off, 3 * f.standardError) << seed << " " << trail;
      if (!trail) {
        EXPECT_LE(f.iterations, 8) << seed;  // 3 to 6
      }
    }
  }
}

TEST(Drift, PreciseLeavesOutWhatMovesOnItsOwn) {
  // Bright soft shapes (people walking by) elsewhere in each frame, over a
  // field of small stars: along the shapes' edges the residuals pass the
  // robust weights while the gradients are the shapes' own.
  const int w = 384, h = 384;
  auto stars = vantor::tools::MakeStars(w, h, 500, 3);
  auto a = vantor::tools::RenderValues(stars, w, h, 0, 0, 10);
  auto b = vantor::tools::RenderValues(stars, w, h, 3.3, -1.7, 10);
  auto walker = [&](std::vector<double>& v, double cx, double cy) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const double r = std::hypot((x - cx) / 26.0, (y - cy) / 60.0);
        v[static_cast<size_t>(y) * w + x] += 140.0 / (1.0 + std::exp((r - 0.85) * 12.0));
      }
  };
  for (int i = 0; i < 3; ++i) {
    walker(a, 100 + 70 * i, 170 + 30 * (i % 2));
    walker(b, 135 + 70 * i, 200 - 30 * (i % 2));
  }
  vantor::tools::AddNoise(a, 1.5, 1);
  vantor::tools::AddNoise(b, 1.5, 2);
  const DriftResult r = Measure(a, b, w, h, kDriftPrecise);
  EXPECT_LT(std::hypot(r.dx + 3.3, r.dy - 1.7), 0.05) << r.dx << " " << r.dy;
}

TEST(Drift, PreciseHoldsWhenBrightnessAndFocusChange) {
  const int w = 320, h = 320;
  auto blobs = vantor::tools::MakeBlobs(w, h, 500, 4);
  auto a = vantor::tools::RenderValues(blobs, w, h, 0, 0, 60);
  auto b = vantor::tools::RenderValues(blobs, w, h, -2.37, 1.61, 60);
  b = vantor::tools::Blur(b, w, h, 3.0);
  for (double& v : b) v = 1.15 * v + 12;  // the lamp flickered
  vantor::tools::AddNoise(a, 2, 1);
  vantor::tools::AddNoise(b, 2, 2);
  const DriftResult r = Measure(a, b, w, h, kDriftPrecise);
  EXPECT_NEAR(r.dx, 2.37, 0.05);
  EXPECT_NEAR(r.dy, -1.61, 0.05);
  EXPECT_NEAR(r.focus, 3.0, 0.75);
  // The same pair the other way round: the reference is the blurred one.
  const DriftResult back = Measure(b, a, w, h, kDriftPrecise);
  EXPECT_NEAR(back.dx, -2.37, 0.05);
  EXPECT_NEAR(back.focus, -3.0, 0.75);
}

// Float frames on a large offset (stacked or accumulated data): the gain's
// and the offset's columns cancelled in float sums and the pairs stopped
// converging from about 1e5 on.
TEST(Drift, GreyLevelsFarFromZeroMeasureAsNearIt) {
  const int w = 256, h = 256;
  auto blobs = vantor::tools::MakeBlobs(w, h, 300, 4);
  auto a = vantor::tools::RenderValues(blobs, w, h, 0, 0, 60);
  auto b = vantor::tools::RenderValues(blobs, w, h, -2.37, 1.61, 60);
  vantor::tools::AddNoise(a, 2, 1);
  vantor::tools::AddNoise(b, 2, 2);
  auto Doubles = [&](const std::vector<double>& v, double offset) {
    RectOwner r(mrCreate(64, w, h));
    int32_t rw, rh, pitch;
    void* px = nullptr;
    mrGetExtendedInfo(r.get(), &rw, &rh, &pitch, &px);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const double d = v[static_cast<size_t>(y) * w + x] + offset;
        std::memcpy(static_cast<uint8_t*>(px) + static_cast<ptrdiff_t>(y) * pitch + 8 * x, &d, 8);
      }
    return r;
  };
  RectOwner ga = Grey(a, w, h), gb = Grey(b, w, h);
  RectOwner mask(CentralMaskFraction(ga.get(), 0.5));
  const DriftOptions o = Options(kDriftPrecise);
  for (const double offset : {0.0, 1e6, -3e7}) {
    SCOPED_TRACE(offset);
    RectOwner da = Doubles(a, offset), db = Doubles(b, offset);
    DriftFrame* fa = DriftFrameCreate(ga.get(), da.get(), &o, 1);
    DriftFrame* fb = DriftFrameCreate(gb.get(), db.get(), &o, 0);
    ASSERT_TRUE(fa != nullptr && fb != nullptr);
    DriftResult r{};
    DriftMeasure(fa, fb, mask.get(), &o, &r);
    DriftFrameFree(fa);
    DriftFrameFree(fb);
    EXPECT_LT(r.precision, 0.05);
    EXPECT_NEAR(r.dx, 2.37, 0.05);
    EXPECT_NEAR(r.dy, -1.61, 0.05);
  }
}

// A periodic pattern fits every period's alias alike: the smallest
// displacement is taken (the noise picked one several periods away), and
// the pair is marked by its distinctness unless the correlation singles it out.
TEST(Drift, PeriodicPatternTakesTheNearestAlias) {
  const int w = 300, h = 300;
  auto Grating = [&](double dx, double dy, uint32_t seed) {
    std::vector<double> v(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        v[static_cast<size_t>(y) * w + x] = 100 + 60 * std::sin(2 * M_PI * (x - dx) / 20) *
                                                        std::sin(2 * M_PI * (y - dy) / 20);
    vantor::tools::AddNoise(v, 3, seed);
    return v;
  };
  for (const int32_t method : {kDriftPrecise, kDriftDefault}) {
    const DriftResult r = Measure(Grating(0, 0, 1), Grating(3.3, -1.2, 2), w, h, method);
    EXPECT_NEAR(r.dx, -3.3, method == kDriftPrecise ? 0.05 : 0.5) << method;
    EXPECT_NEAR(r.dy, 1.2, method == kDriftPrecise ? 0.05 : 0.5) << method;
  }
}

TEST(Drift, ClassifyMarksOutliersFlatMatchesAndLooseEstimates) {
  std::vector<DriftResult> r(9);
  for (size_t i = 0; i < r.size(); ++i) {
    r[i] = DriftResult{};
    r[i].distance = 3.0 + 0.1 * (i % 3);
    r[i].distinctness = 2.0;
    r[i].precision = -1.0;
    r[i].inliers = -1.0;
    r[i].quality = kDriftOk;
  }
  r[2].distance = 9.0;          // far above the others
  r[3].distinctness = 0.01;     // a second basin as good as the best
  r[4].focus = 3.5;             // out of focus
  r[5].quality = kDriftFailed;  // stays failed
  r[5].distance = -1.0;
  r[6].quality = kDriftRescued;
  EXPECT_EQ(DriftClassify(r.data(), static_cast<int32_t>(r.size())), 3);
  const int32_t expected[9] = {kDriftOk,      kDriftOk, kDriftSuspect, kDriftSuspect, kDriftSuspect,
                               kDriftFailed, kDriftRescued, kDriftOk,  kDriftOk};
  for (size_t i = 0; i < r.size(); ++i) EXPECT_EQ(r[i].quality, expected[i]) << i;
  EXPECT_STREQ(DriftQualityName(kDriftSuspect), "suspect");
}

TEST(Drift, FramesOfAnotherSizeOrDepthAreRefused) {
  RectOwner a(mrCreate(8, 64, 64)), b(mrCreate(8, 64, 48)), c(mrCreate(16, 64, 64));
  const DriftOptions o = Options(kDriftPrecise);
  EXPECT_EQ(DriftFrameCreate(c.get(), 0, &o, 1), nullptr);
  EXPECT_EQ(DriftFrameCreate(a.get(), b.get(), &o, 1), nullptr);
  DriftFrame* fa = DriftFrameCreate(a.get(), 0, &o, 1);
  DriftFrame* fb = DriftFrameCreate(b.get(), 0, &o, 0);
  ASSERT_NE(fa, nullptr);
  ASSERT_NE(fb, nullptr);
  DriftResult r;
  EXPECT_EQ(DriftMeasure(fa, fb, 0, &o, &r), -1);
  EXPECT_STREQ(mrLastError(), "DriftMeasure: frames of 64 x 64 and 64 x 48 differ in size");
  EXPECT_EQ(r.quality, kDriftFailed);
  EXPECT_EQ(r.distance, -1.0);
  DriftFrameFree(fa);
  DriftFrameFree(fb);
}

bool SameResult(const DriftResult& x, const DriftResult& y) {
  return std::memcmp(&x, &y, sizeof x) == 0;
}

TEST(Drift, AReusedWorkspaceGivesTheResultsOfFreshCalls) {
  // Sizes up and down, so that scratch blocks (and the buffers of the frames
  // before, reused) are larger than needed; each pair measured with the
  // caller's mask and with one made in the workspace.
  const int sizes[][2] = {{160, 120}, {64, 48}, {257, 193}, {96, 300}, {64, 48}, {160, 120}};
  DriftWorkspace* ws = DriftWorkspaceCreate();
  ASSERT_NE(ws, nullptr);
  DriftFrame* spares[2] = {};
  int seed = 0;
  for (const auto& [w, h] : sizes)
    for (int32_t method : {kDriftDefault, kDriftPrecise}) {
      auto blobs = vantor::tools::MakeBlobs(w, h, w * h / 200, ++seed);
      auto va = vantor::tools::RenderValues(blobs, w, h, 0, 0);
      auto vb = vantor::tools::RenderValues(blobs, w, h, 2.6, -1.3);
      if (seed % 3 == 0) vb = vantor::tools::Blur(vb, w, h, 2.0);  // focus compared too
      vantor::tools::AddNoise(va, 3, seed);
      vantor::tools::AddNoise(vb, 3, seed + 50);
      RectOwner ga = Grey(va, w, h), gb = Grey(vb, w, h);
      RectOwner mask(CentralMaskFraction(ga.get(), 0.5));
      const DriftOptions o = Options(method);
      DriftFrame* fa = DriftFrameCreate(ga.get(), 0, &o, 1);
      DriftFrame* fb = DriftFrameCreate(gb.get(), 0, &o, 1);
      DriftFrame* wa = DriftFrameCreateReusing(ga.get(), 0, &o, 1, ws, spares[0]);
      // A reference's buffers for a frame that is none, and the other way.
      DriftFrame* wb = DriftFrameCreateReusing(gb.get(), 0, &o, seed % 2, ws, spares[1]);
      ASSERT_TRUE(fa && fb && wa && wb);
      DriftResult fresh, reused, made;
      ASSERT_EQ(DriftMeasure(fa, fb, mask.get(), &o, &fresh), 0) << mrLastError();
      // Frames made with the workspace measure as those made without.
      ASSERT_EQ(DriftMeasureWith(wa, wb, mask.get(), &o, ws, &reused), 0) << mrLastError();
      ASSERT_EQ(DriftMeasureWith(fa, fb, 0, &o, ws, &made), 0) << mrLastError();
      EXPECT_TRUE(SameResult(fresh, reused)) << w << " x " << h << " method " << method;
      EXPECT_TRUE(SameResult(fresh, made)) << w << " x " << h << " method " << method;
      for (DriftFrame* f : {fa, fb}) DriftFrameFree(f);
      spares[0] = seed % 2 ? wb : wa;
      spares[1] = seed % 2 ? wa : wb;
    }
  for (DriftFrame* f : spares) DriftFrameFree(f);
  DriftWorkspaceFree(ws);
  EXPECT_EQ(DriftFrameCreateWith(0, 0, nullptr, 0, nullptr), nullptr);
  EXPECT_STREQ(mrLastError(), "DriftFrameCreateWith: the workspace is null");
}

TEST(Drift, TheFramesRectangleDecidesTheComparedArea) {
  // Every central mask the registration makes is the rectangle a frame of
  // that size and fraction compares; a pair measured through it and one
  // through a mask made from the rectangle are the same pair.
  const DriftOptions classic = Options(kDriftClassic);
  for (const auto& [w, h] : {std::pair{37, 29}, std::pair{64, 48}, std::pair{9, 120}})
    for (double fraction : {0.0, 0.1, 0.5, 0.77, 1.0, 4.0}) {
      auto blobs = vantor::tools::MakeBlobs(w, h, 12, 3);
      RectOwner ga = Grey(vantor::tools::RenderValues(blobs, w, h, 0, 0), w, h);
      RectOwner gb = Grey(vantor::tools::RenderValues(blobs, w, h, 1.5, 0.5), w, h);
      RectOwner mask(CentralMaskFraction(ga.get(), fraction));
      DriftOptions o = classic;
      o.maskFraction = fraction;
      DriftFrame* fa = DriftFrameCreate(ga.get(), 0, &o, 1);
      DriftFrame* fb = DriftFrameCreate(gb.get(), 0, &o, 0);
      DriftResult given, made;
      const int32_t rc = DriftMeasure(fa, fb, mask.get(), &o, &given);
      EXPECT_EQ(rc, DriftMeasure(fa, fb, 0, &o, &made)) << w << " x " << h << " " << fraction;
      EXPECT_TRUE(SameResult(given, made)) << w << " x " << h << " " << fraction;
      DriftFrameFree(fa);
      DriftFrameFree(fb);
    }
  // A mask of another fraction, and frames of one size prepared with
  // different fractions, are refused: they would compare another area.
  RectOwner ga(mrCreate(8, 64, 48)), gb(mrCreate(8, 64, 48));
  RectOwner other(CentralMaskFraction(ga.get(), 0.3));
  DriftOptions half = classic, third = classic;
  third.maskFraction = 0.3;
  DriftFrame* fa = DriftFrameCreate(ga.get(), 0, &half, 1);
  DriftFrame* fb = DriftFrameCreate(gb.get(), 0, &half, 0);
  DriftFrame* fc = DriftFrameCreate(gb.get(), 0, &third, 0);
  DriftResult r;
  EXPECT_EQ(DriftMeasure(fa, fb, other.get(), &half, &r), -1);
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(std::string(mrLastError()),
            "DriftMeasure: mask " + std::to_string(other.get()) +
                " is not the frames' compared rectangle (columns 16 to 48, rows 12 to 36 of "
                "64 x 48)");
  EXPECT_EQ(DriftMeasure(fa, fc, 0, &half, &r), -1);
  EXPECT_STREQ(mrLastError(),
               "DriftMeasure: frames of 64 x 48 prepared with different mask fractions");
  for (DriftFrame* f : {fa, fb, fc}) DriftFrameFree(f);
  // The precise method on an area too small to judge says so, not "blank".
  {
    const int w = 128, h = 128;
    auto blobs = vantor::tools::MakeBlobs(w, h, 40, 3);
    RectOwner a = Grey(vantor::tools::RenderValues(blobs, w, h, 0, 0), w, h);
    RectOwner b = Grey(vantor::tools::RenderValues(blobs, w, h, 1.5, 0.5), w, h);
    DriftOptions tiny = Options(kDriftPrecise);
    tiny.maskFraction = 0.03;
    DriftFrame* pa = DriftFrameCreate(a.get(), 0, &tiny, 1);
    DriftFrame* pb = DriftFrameCreate(b.get(), 0, &tiny, 0);
    EXPECT_EQ(DriftMeasure(pa, pb, 0, &tiny, &r), -1);
    EXPECT_STREQ(mrLastError(),
                 "DriftMeasure: the compared area of 3 x 3 pixels is too small to measure by");
    DriftFrameFree(pa);
    DriftFrameFree(pb);
  }
}

TEST(Drift, FaintBeadsOverARampFixedToTheSensor) {
  // Beads as above over a background rising from 4 to 10 across the
  // sensor, whose spread passes for contrast: the smoothed reference is
  // nearly a plane, and with its noise's share taken off the gain's column
  // the refinement's full system (gain, blur, the gain's change across the
  // area) was too near singular to solve at all: "did not converge".
  const int w = 512, h = 512;
  BeadField field(w, h, 9, (w + 40) * (h + 40) / 400);
  const DriftKernels& k = DriftKernelsFor(true);
  const Rect mask = CentralRect(w, h, 0.5);
  auto Frame = [&](double dx, double dy, FloatImage* f) {
    const auto v = vantor::tools::RenderValues(field.beads, w, h, dx, dy, 0.0);
    if (!f->Allocate(w, h)) return false;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        f->Row(y)[x] = static_cast<float>(std::poisson_distribution<int>(
            v[y * w + x] + 4.0 + 6.0 * x / w)(field.rng));
    return true;
  };
  int converged = 0;
  for (int i = 0; i < 3; ++i) {
    const double tx = -13.1 + 0.4 * i, ty = -36.2 + 0.3 * i;
    FloatImage fa, fb;
    ASSERT_TRUE(Frame(0, 0, &fa) && Frame(-tx, -ty, &fb));
    Workspace ws;
    ReferenceData ref;
    ASSERT_TRUE(PrepareReference(fa, mask, 1.5, NoiseLevel(fa, mask), &ref, k, ws, true));
    // The ramp's spread passes for contrast, as the frames' statistics find.
    const Refinement f = Refine(ref, fb, tx + 0.3, ty - 0.3, ref.sigma, k, ws, nullptr, 1.0, 1.0);
    if (!f.ok) continue;
    ++converged;
    EXPECT_NEAR(f.dx, tx, 0.8) << i;
    EXPECT_NEAR(f.dy, ty, 0.8) << i;
  }
  EXPECT_EQ(converged, 3);
}

TEST(Drift, RemoveSpikesTakesHotAndDeadPixelsNotSpots) {
  // A hot and a dead pixel go; spots of sigma 0.42 and 1 pixel keep their
  // peaks, however bright, and noise alone loses nothing.
  const int w = 64, h = 64;
  std::vector<Blob> spots = {{20, 20, 0.42, 400}, {40, 20, 1.0, 400}};
  auto v = vantor::tools::RenderValues(spots, w, h, 0, 0, 100.0);
  vantor::tools::AddNoise(v, 2.0, 3);
  FloatImage f;
  ASSERT_TRUE(f.Allocate(w, h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) f.Row(y)[x] = static_cast<float>(v[y * w + x]);
  const float peaks[2] = {f.Row(20)[20], f.Row(20)[40]};
  f.Row(45)[20] += 500.0f;
  f.Row(45)[45] = 0.0f;
  Workspace ws;
  EXPECT_EQ(RemoveSpikes(&f, 2.0, DriftKernelsFor(true), ws.spikeColumns), 2);
  EXPECT_LT(f.Row(45)[20], 110.0f);
  EXPECT_GT(f.Row(45)[45], 90.0f);
  EXPECT_EQ(f.Row(20)[20], peaks[0]);
  EXPECT_EQ(f.Row(20)[40], peaks[1]);
}

TEST(Drift, SpotModelOnFaintBeadsInPhotonNoise) {
  // Beads as above: the spots' model fitted to both frames' raw pixels has
  // neither the smoothing's loss nor one frame's noise in the other's
  // template (0.159 pixel RMS where the comparison of the smoothed frames,
  // shrunk gradients and all, gets 0.197), and its standard error covers
  // its error.
  const int w = 384, h = 384;
  BeadField field(w, h, 5, (w + 40) * (h + 40) / 400);
  const DriftKernels& k = DriftKernelsFor(true);
  const Rect mask = CentralRect(w, h, 0.5);
  double sum2[2] = {0, 0};
  int covered = 0;
  constexpr int kPairs = 48;
  Workspace ws;
  for (int i = 0; i < kPairs; ++i) {
    const double tx = 0.077 * i - 1.7, ty = 0.9 - 0.057 * i;
    FloatImage fa, fb;
    ASSERT_TRUE(field.Frame(0, 0, &fa) && field.Frame(-tx, -ty, &fb));
    const double na = NoiseLevel(fa, mask), nb = NoiseLevel(fb, mask);
    ReferenceData ref;
    ASSERT_TRUE(PrepareReference(fa, mask, 1.5, na, &ref, k, ws, true));
    const Refinement f = Refine(ref, fb, tx + 0.3, ty - 0.3, ref.sigma, k, ws);
    const SpotFit s = FitSpots(fa, mask, na, fb, nb, f.dx, f.dy, k, ws);
    ASSERT_TRUE(f.ok && s.ok) << i;
    sum2[0] += (f.dx - tx) * (f.dx - tx) + (f.dy - ty) * (f.dy - ty);
    sum2[1] += (s.dx - tx) * (s.dx - tx) + (s.dy - ty) * (s.dy - ty);
    covered += std::fabs(s.dx - tx) < 3 * s.precision && std::fabs(s.dy - ty) < 3 * s.precision;
    EXPECT_NEAR(s.width, 1.5, 0.3) << i;
    EXPECT_LT(s.fit, kSpotsFit) << i;
  }
  EXPECT_LT(std::sqrt(sum2[1] / (2 * kPairs)), 0.9 * std::sqrt(sum2[0] / (2 * kPairs)));
  EXPECT_GE(covered, kPairs - 2);
}

}  // namespace
}  // namespace vantor::drift
