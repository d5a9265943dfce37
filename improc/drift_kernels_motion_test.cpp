// The motion refinement's kernels: cubic resampling along a line against a
// plain evaluation of the cubic B-spline, and both kernels' vector paths
// against their scalar twins on every target, with NaN where nothing is
// sampled.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "improc/drift_kernels.h"
#include "kernels/kernels_test_util.h"

namespace vantor::drift {
namespace {

// The cubic B-spline at distance t.
double Spline(double t) {
  t = std::fabs(t);
  if (t <= 1) return 2.0 / 3.0 - t * t + 0.5 * t * t * t;
  if (t < 2) return (2 - t) * (2 - t) * (2 - t) / 6.0;
  return 0;
}

double Reference(const std::vector<float>& src, int32_t pitch, double sx, double sy) {
  const auto ix = static_cast<int32_t>(std::floor(sx)), iy = static_cast<int32_t>(std::floor(sy));
  double v = 0;
  for (int32_t j = iy - 1; j <= iy + 2; ++j)
    for (int32_t i = ix - 1; i <= ix + 2; ++i)
      v += Spline(sx - i) * Spline(sy - j) * src[static_cast<size_t>(j) * pitch + i];
  return v;
}

TEST(DriftMotionKernels, WarpRowSamplesTheSplineInsideTheBox) {
  constexpr int32_t kW = 40, kH = 30, kPitch = 43;
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> grey(0.0f, 200.0f);
  // The last row ends the allocation.
  std::vector<float> src(static_cast<size_t>(kH - 1) * kPitch + kW);
  for (float& v : src) v = grey(rng);
  const double box[4] = {1.0, 2.5, kW - 2.0, kH - 2.0};
  const DriftKernels& s = DriftKernelsFor(false);
  const DriftKernels& v = DriftKernelsFor(true);
  vantor::test::ForEachTarget([&] {
    for (int32_t n : vantor::test::AwkwardWidths()) {
      SCOPED_TRACE(n);
      // A line across the box, from left of it and above it to beyond its far
      // corner, and a flat one at a whole row (a tap weight of 1).
      const double lines[2][4] = {{0.4, 1.7, 41.0 / n, 27.3 / n}, {0.0, 7.0, 39.0 / n, 0.0}};
      for (const double* line : lines) {
        std::vector<float> sub(n), dv(n), ds(n);
        for (float& x : sub) x = grey(rng);
        const float* none = nullptr;
        for (const float* minus : {none, static_cast<const float*>(sub.data())}) {
          v.warp_row(src.data(), kPitch, line, box, minus, dv.data(), n);
          s.warp_row(src.data(), kPitch, line, box, minus, ds.data(), n);
          for (int32_t k = 0; k < n; ++k) {
            const double sx = line[0] + k * line[2], sy = line[1] + k * line[3];
            const bool inside = sx >= box[0] && sy >= box[1] && sx < box[2] && sy < box[3];
            ASSERT_EQ(std::isnan(ds[k]), !inside) << k;
            ASSERT_EQ(std::isnan(dv[k]), !inside) << k;
            if (!inside) continue;
            const double want = Reference(src, kPitch, sx, sy) - (minus ? minus[k] : 0.0f);
            ASSERT_NEAR(ds[k], want, 2e-4) << k;
            ASSERT_NEAR(dv[k], want, 2e-4) << k;
          }
        }
      }
    }
  });
}

TEST(DriftMotionKernels, NormalRowVectorMatchesScalar) {
  const DriftKernels& s = DriftKernelsFor(false);
  const DriftKernels& v = DriftKernelsFor(true);
  std::mt19937 rng(9);
  auto row = [&](int32_t n, float scale) {
    std::uniform_real_distribution<float> u(-scale, scale);
    std::vector<float> out(static_cast<size_t>(n));
    for (float& x : out) x = u(rng);
    return out;
  };
  const auto near = [](double a, double b) {
    EXPECT_NEAR(a, b, 1e-4 * (std::fabs(a) + std::fabs(b)) + 1e-3);
  };
  vantor::test::ForEachTarget([&] {
    for (int32_t n : vantor::test::AwkwardWidths()) {
      SCOPED_TRACE(n);
      auto r = row(n, 20), gx = row(n, 30), gy = row(n, 30), a = row(n, 100), lap = row(n, 10),
           u = row(n, 1);
      // Every fifth pixel without a residual.
      for (int32_t x = 2; x < n; x += 5) r[x] = NAN;
      const MotionRow mr{r.data(), gx.data(), gy.data(), a.data(), lap.data(), u.data(), -0.4f};
      const Photometric p{1.5f, 0.01f, 0.3f, 0.0f};
      for (int32_t params : {3, 4, 6}) {
        for (Weighting kind : {Weighting::kHuber, Weighting::kTukey}) {
          SCOPED_TRACE(params * 10 + static_cast<int>(kind));
          MotionSums sv, ss;
          // Two rows into the same sums.
          for (int q = 0; q < 2; ++q) {
            v.motion_normal_row(mr, n, params, p, kind, 12.0f, &sv);
            s.motion_normal_row(mr, n, params, p, kind, 12.0f, &ss);
          }
          const int P = params + 3;
          for (int i = 0; i < P; ++i) {
            for (int j = i; j < P; ++j) near(sv.m[i * P + j], ss.m[i * P + j]);
            near(sv.v[i], ss.v[i]);
          }
          for (int q = 0; q < 6; ++q) near(sv.mom[q], ss.mom[q]);
          near(sv.wee, ss.wee);
          EXPECT_EQ(sv.compared, ss.compared);
          EXPECT_EQ(ss.compared, 2 * (n - (n + 2) / 5));
          // The constant's diagonal entry is the sum of the weights.
          near(ss.m[params * P + params], ss.mom[0]);
          if (n > 8 && kind == Weighting::kTukey) {
            EXPECT_LT(ss.mom[0], ss.compared);  // some residuals lie outside c
          }
        }
      }
    }
  });
}

}  // namespace
}  // namespace vantor::drift
