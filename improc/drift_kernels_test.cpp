// The drift kernels' vector paths against their scalar twins on every target,
// on awkward widths, with the rows ending at the end of their allocation.
#include "improc/drift_kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "kernels/kernels_test_util.h"

namespace vantor::drift {
namespace {

// n random floats ending exactly at the end of the allocation.
std::vector<float> Row(std::mt19937& rng, int32_t n, float scale = 100.0f) {
  std::uniform_real_distribution<float> u(-scale, scale);
  std::vector<float> v(static_cast<size_t>(n));
  for (float& x : v) x = u(rng);
  return v;
}

void ExpectNear(double a, double b, const char* what) {
  EXPECT_NEAR(a, b, 1e-4 * (std::fabs(a) + std::fabs(b)) + 1e-3) << what;
}

TEST(DriftKernels, VectorMatchesScalarOnEveryTarget) {
  const DriftKernels& s = DriftKernelsFor(false);
  const DriftKernels& v = DriftKernelsFor(true);
  std::mt19937 rng(11);
  vantor::test::ForEachTarget([&] {
    for (int32_t n : vantor::test::AwkwardWidths()) {
      SCOPED_TRACE(n);
      // A block of 3 rows with a pitch longer than the row.
      const int32_t pitch = n + 5, rows = 3;
      auto a = Row(rng, pitch * (rows - 1) + n), b = Row(rng, pitch * (rows - 1) + n);
      ExpectNear(v.ssd_block(a.data(), pitch, b.data(), pitch, n, rows),
                 s.ssd_block(a.data(), pitch, b.data(), pitch, n, rows), "ssd");

      const float taps[5] = {0.1f, 0.2f, 0.4f, 0.2f, 0.1f};
      auto src = Row(rng, n + 4);
      std::vector<float> dv(n), ds(n);
      v.filter_row(src.data(), dv.data(), n, taps, 5);
      s.filter_row(src.data(), ds.data(), n, taps, 5);
      for (int32_t x = 0; x < n; ++x) ASSERT_NEAR(dv[x], ds[x], 1e-4f) << "row " << x;

      std::vector<std::vector<float>> cols;
      std::vector<const float*> ptr;
      for (int k = 0; k < 5; ++k) cols.push_back(Row(rng, n));
      for (auto& c : cols) ptr.push_back(c.data());
      auto sub = Row(rng, n);
      for (const float* minus : {static_cast<const float*>(nullptr), static_cast<const float*>(sub.data())}) {
        v.filter_columns(ptr.data(), minus, dv.data(), n, taps, 5);
        s.filter_columns(ptr.data(), minus, ds.data(), n, taps, 5);
        for (int32_t x = 0; x < n; ++x) ASSERT_NEAR(dv[x], ds[x], 1e-4f) << "columns " << x;
      }

      auto r = Row(rng, n, 20), gx = Row(rng, n), gy = Row(rng, n), g = Row(rng, n),
           lap = Row(rng, n, 10);
      const Photometric p{1.5f, 0.01f, 0.3f};
      for (Weighting kind : {Weighting::kNone, Weighting::kHuber, Weighting::kTukey}) {
        NormalSums nv, ns;
        v.normal_row(r.data(), gx.data(), gy.data(), g.data(), lap.data(), n, p, kind, 12.0f, &nv);
        s.normal_row(r.data(), gx.data(), gy.data(), g.data(), lap.data(), n, p, kind, 12.0f, &ns);
        for (int q = 0; q < NormalSums::kMatrix; ++q) ExpectNear(nv.m[q], ns.m[q], "matrix");
        for (int q = 0; q < NormalSums::kParams; ++q) ExpectNear(nv.v[q], ns.v[q], "vector");
        ExpectNear(nv.w, ns.w, "weights");
        ExpectNear(nv.wee, ns.wee, "errors");
        if (kind == Weighting::kTukey) {
          EXPECT_LT(ns.w, n);  // some residuals lie outside c
        }
      }
    }
  });
}

}  // namespace
}  // namespace vantor::drift
