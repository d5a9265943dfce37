// The motion models of the precise method on generated pairs: a field of
// blobs turned, scaled and sheared about the frame's centre exactly (each
// blob moved analytically), measured without a start.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "registration/drift.h"
#include "registration/drift_internal.h"
#include "registration/drift_test_util.h"
#include "tools/synthetic_image.h"

namespace vantor::drift {
namespace {

using vantor::tools::Blob;

constexpr int kSide = 256;

using test_util::Grey;

// The reference's blobs as the current frame shows them when a feature at p
// of it lies at m (p - c) + c + d of the reference.
std::vector<Blob> Moved(const std::vector<Blob>& blobs, const Motion& m) {
  const double c = 0.5 * (kSide - 1);
  const double det = m.a11 * m.a22 - m.a12 * m.a21;
  std::vector<Blob> out = blobs;
  for (Blob& b : out) {
    const double qx = b.x - c - m.dx, qy = b.y - c - m.dy;
    b.x = (m.a22 * qx - m.a12 * qy) / det + c;
    b.y = (-m.a21 * qx + m.a11 * qy) / det + c;
    b.sigma /= std::sqrt(std::fabs(det));
  }
  return out;
}

Motion Turn(double degrees, double scale, double dx, double dy) {
  const double t = degrees * M_PI / 180.0;
  return Motion{scale * std::cos(t), -scale * std::sin(t), scale * std::sin(t),
                scale * std::cos(t), dx, dy};
}

// outer: all but every tenth blob of the central half left out, so that the
// frame's structure lies mostly beyond the compared area.
DriftResult MeasureModel(const Motion& truth, int32_t model, double noise, uint32_t seed,
                         bool outer = false) {
  std::vector<Blob> blobs = vantor::tools::MakeBlobs(kSide, kSide, 600, seed);
  if (outer) {
    std::vector<Blob> kept;
    for (size_t i = 0; i < blobs.size(); ++i) {
      const bool central = std::fabs(blobs[i].x - kSide / 2) < kSide / 4 &&
                           std::fabs(blobs[i].y - kSide / 2) < kSide / 4;
      if (!central || i % 10 == 0) kept.push_back(blobs[i]);
    }
    blobs = kept;
  }
  std::vector<double> a = vantor::tools::RenderValues(blobs, kSide, kSide, 0, 0);
  std::vector<double> b = vantor::tools::RenderValues(Moved(blobs, truth), kSide, kSide, 0, 0);
  if (noise > 0) {
    vantor::tools::AddNoise(a, noise, seed + 1);
    vantor::tools::AddNoise(b, noise, seed + 2);
  }
  RectOwner ga = Grey(a, kSide, kSide), gb = Grey(b, kSide, kSide);
  const DriftOptions o{kDriftPrecise, 4.0, 0.05, 3.0, 512, 0.5, model};
  DriftFrame* fa = DriftFrameCreate(ga.get(), 0, &o, 1);
  DriftFrame* fb = DriftFrameCreate(gb.get(), 0, &o, 0);
  DriftResult r{};
  EXPECT_TRUE(fa != nullptr && fb != nullptr);
  EXPECT_EQ(DriftMeasure(fa, fb, 0, &o, &r), 0);
  DriftFrameFree(fa);
  DriftFrameFree(fb);
  return r;
}

TEST(DriftMotion, RigidAndSimilarityTurnsAreMeasuredWithoutAStart) {
  struct Case {
    int32_t model;
    double degrees, scale, dx, dy, noise;
  };
  const Case cases[] = {
      {kDriftRigid, 3.0, 1.0, 5.3, -2.7, 2.0},
      {kDriftRigid, -9.5, 1.0, -14.2, 8.6, 2.0},
      {kDriftSimilarity, 20.0, 1.0, 3.4, 11.8, 2.0},
      {kDriftSimilarity, -20.0, 1.08, -6.1, 2.2, 2.0},
      {kDriftSimilarity, 1.5, 0.95, 0.4, -0.3, 8.0},
  };
  for (const Case& c : cases) {
    const Motion truth = Turn(c.degrees, c.scale, c.dx, c.dy);
    const DriftResult r = MeasureModel(truth, c.model, c.noise, 7);
    SCOPED_TRACE(testing::Message() << "model " << c.model << " angle " << c.degrees);
    EXPECT_EQ(r.quality, kDriftOk);
    // At sigma 8 on this small frame the noise alone gives about 0.01 degree.
    const double tol = c.noise > 4 ? 6.0 : 1.0;
    EXPECT_NEAR(r.angle, c.degrees, 0.01 * tol);
    EXPECT_NEAR(r.scale, c.scale, 1e-4 * tol);
    EXPECT_NEAR(r.dx, c.dx, 0.03 * tol);
    EXPECT_NEAR(r.dy, c.dy, 0.03 * tol);
    EXPECT_NEAR(std::atan2(r.a21, r.a11) * 180 / M_PI, c.degrees, 0.01 * tol);
  }
}

// A turn's lever arm is the frame's: the structure beyond the compared area
// measures it (with the central half alone the errors were several times these).
TEST(DriftMotion, TurnAndScaleUseTheWholeFrame) {
  for (uint32_t seed : {31u, 32u, 33u}) {
    const DriftResult r =
        MeasureModel(Turn(2.0, 1.02, 1.3, -0.8), kDriftSimilarity, 3.0, seed, true);
    EXPECT_EQ(r.quality, kDriftOk) << seed;
    EXPECT_NEAR(r.angle, 2.0, 0.008) << seed;  // 0.007 to 0.022 on the central half
    EXPECT_NEAR(r.scale, 1.02, 1.2e-4) << seed;  // 3e-4 to 7e-4 there
    EXPECT_NEAR(r.dx, 1.3, 0.03) << seed;
    EXPECT_NEAR(r.dy, -0.8, 0.03) << seed;
  }
}

TEST(DriftMotion, AffineFollowsAShearAndTranslationStaysItself) {
  const Motion shear{1.01, 0.02, -0.005, 0.99, 2.25, -1.5};
  const DriftResult r = MeasureModel(shear, kDriftAffine, 1.0, 11);
  EXPECT_EQ(r.quality, kDriftOk);
  // (The blobs keep their round shape under the shear: the truth is the
  // centres' motion to a few 1e-4.)
  EXPECT_NEAR(r.a11, shear.a11, 5e-4);
  EXPECT_NEAR(r.a12, shear.a12, 5e-4);
  EXPECT_NEAR(r.a21, shear.a21, 5e-4);
  EXPECT_NEAR(r.a22, shear.a22, 5e-4);
  EXPECT_NEAR(r.dx, shear.dx, 0.03);
  EXPECT_NEAR(r.dy, shear.dy, 0.03);
  // The translation model reports the identity and no angle.
  const DriftResult t = MeasureModel(Turn(0, 1, 1.5, 0.5), kDriftTranslation, 1.0, 11);
  EXPECT_EQ(t.a11, 1.0);
  EXPECT_EQ(t.a12, 0.0);
  EXPECT_EQ(t.angle, 0.0);
  EXPECT_EQ(t.scale, 1.0);
  EXPECT_NEAR(t.dx, 1.5, 0.03);
  // Noise alone shows no turn, however noisy the pair.
  for (uint32_t seed : {21u, 22u, 23u}) {
    const DriftResult n = MeasureModel(Turn(0, 1, 2.5, -1.5), kDriftTranslation, 60.0, seed);
    EXPECT_EQ(n.turn, 0.0) << seed;
  }
}

// Where the frames also scale, the rigid model keeps the angle and the
// centre true and says how far the scale it leaves out reaches; a rigid
// pair has none.
TEST(DriftMotion, RigidWhereTheFramesAlsoScale) {
  const DriftResult r = MeasureModel(Turn(4.0, 1.03, 2.1, -1.4), kDriftRigid, 2.0, 5);
  EXPECT_NEAR(r.angle, 4.0, 0.01);
  EXPECT_NEAR(r.scale, 1.0, 1e-9);
  EXPECT_NEAR(r.dx, 2.1, 0.03);
  EXPECT_NEAR(r.dy, -1.4, 0.03);
  // 0.03 of the compared area's half diagonal (128 x 128 pixels).
  EXPECT_NEAR(r.turn, 0.03 * 64 * std::sqrt(2.0), 0.1);
  const DriftResult s = MeasureModel(Turn(4.0, 1.0, 2.1, -1.4), kDriftRigid, 2.0, 5);
  EXPECT_EQ(s.turn, 0.0);
  EXPECT_NEAR(s.angle, 4.0, 0.01);
}

// The cubic spline through the samples: the samples themselves at whole
// positions up to the area's edges, fine detail (a period of 4 pixels)
// between them to a few percent (cubic convolution: 12 %).
TEST(DriftMotion, SplineCoefficientsInterpolateTheSamples) {
  // (A height that leaves rows beyond the groups of four.)
  constexpr int32_t kW = 48, kH = 39;
  const auto f = [](double x, double y) {
    return 100.0 * std::sin(2 * M_PI * x / 4.0 + 0.3) * std::cos(2 * M_PI * y / 7.0) + 50.0;
  };
  FloatImage img;
  ASSERT_TRUE(img.Allocate(kW, kH));
  for (int32_t y = 0; y < kH; ++y)
    for (int32_t x = 0; x < kW; ++x) img.Row(y)[x] = static_cast<float>(f(x, y));
  SplineCoefficients(img);
  const DriftKernels& k = DriftKernelsFor(true);
  const double box[4] = {1.0, 1.0, kW - 2.0, kH - 2.0};
  std::vector<float> got(kW);
  for (const double shift : {0.0, 0.5, 0.37}) {
    SCOPED_TRACE(shift);
    // Far from the edges the mirrored ends no longer matter.
    const double worst = shift == 0.0 ? 1e-3 : 4.0;
    for (int32_t y = 1; y < kH - 2; ++y) {
      const double line[4] = {1.0 + shift, y + shift, 1.0, 0.0};
      k.warp_row(img.Row(0), img.pitch, line, box, nullptr, got.data(), kW - 4);
      for (int32_t i = 0; i < kW - 4; ++i) {
        const double x = 1.0 + shift + i, yy = y + shift;
        const bool inner = x > 8 && x < kW - 9 && yy > 8 && yy < kH - 9;
        if (shift == 0.0 || inner) {
          ASSERT_NEAR(got[i], f(x, yy), worst) << x << " " << yy;
        }
      }
    }
  }
}

// The gain's and the blur's regressors carry the reference's noise, which
// the residual carries too: uncorrected, noise alone made the frames look
// blurred against each other (0.23 at noise 4, 0.77 at 16; corrected but
// fitted where the Laplacian is mostly noise, -1.5 at 16).
TEST(DriftMotion, NoiseAloneFitsNoBlur) {
  const std::vector<Blob> blobs = vantor::tools::MakeBlobs(kSide, kSide, 600, 3);
  const Motion truth = Turn(0.0, 1.0, 1.4, -0.6);
  const DriftKernels& k = DriftKernelsFor(true);
  Workspace ws;
  const Rect whole{8, 8, kSide - 8, kSide - 8};
  const double c = CentreOf(kSide, 0);
  for (const double noise : {4.0, 16.0}) {
    SCOPED_TRACE(noise);
    std::vector<double> a = vantor::tools::RenderValues(blobs, kSide, kSide, 0, 0);
    std::vector<double> b = vantor::tools::RenderValues(Moved(blobs, truth), kSide, kSide, 0, 0);
    vantor::tools::AddNoise(a, noise, 4);
    vantor::tools::AddNoise(b, noise, 5);
    FloatImage fa, fb;
    ASSERT_TRUE(fa.Allocate(kSide, kSide) && fb.Allocate(kSide, kSide));
    for (int32_t y = 0; y < kSide; ++y)
      for (int32_t x = 0; x < kSide; ++x) {
        fa.Row(y)[x] = static_cast<float>(a[static_cast<size_t>(y) * kSide + x]);
        fb.Row(y)[x] = static_cast<float>(b[static_cast<size_t>(y) * kSide + x]);
      }
    ReferenceData ref;
    ASSERT_TRUE(PrepareReference(fa, whole, 1.25, NoiseLevel(fa, whole), &ref, k, ws));
    const MotionRefinement f = RefineMotion(ref, fb, Turn(0.0, 1.0, 1.0, -1.0), c, c,
                                            kDriftSimilarity, 1.25, 1, k, ws, 1.0);
    ASSERT_TRUE(f.ok);
    EXPECT_NEAR(f.m.dx, 1.4, 0.03);
    EXPECT_NEAR(f.blur, 0.0, 0.06);
  }
}

}  // namespace
}  // namespace vantor::drift
