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
      const Photometric p{1.5f, 0.01f, 0.3f, 0.02f};
      auto u = Row(rng, n);
      // Limits growing with the grey level: above 12 where g passes 0.
      const LevelLimit grows{0.0f, 16.0f, 40.0f, 4.0f, 3.0f};
      const LevelLimit* const limits[] = {nullptr, &grows};
      for (Weighting kind : {Weighting::kNone, Weighting::kHuber, Weighting::kTukey})
        for (const LevelLimit* limit : limits) {
          // Without positions, and with them (the gain changing along the row).
          const float* up = kind == Weighting::kHuber ? nullptr : u.data();
          NormalSums nv, ns;
          v.normal_row(r.data(), gx.data(), gy.data(), g.data(), lap.data(), up, n, p, kind, 12.0f,
                       limit, &nv);
          s.normal_row(r.data(), gx.data(), gy.data(), g.data(), lap.data(), up, n, p, kind, 12.0f,
                       limit, &ns);
          for (int q = 0; q < NormalSums::kMatrix; ++q) ExpectNear(nv.m[q], ns.m[q], "matrix");
          for (int q = 0; q < NormalSums::kParams; ++q) ExpectNear(nv.v[q], ns.v[q], "vector");
          for (int q = 0; q < NormalSums::kSpatial; ++q) ExpectNear(nv.s[q], ns.s[q], "spatial");
          ExpectNear(nv.w, ns.w, "weights");
          ExpectNear(nv.wee, ns.wee, "errors");
          if (kind == Weighting::kTukey) {
            EXPECT_LT(ns.w, n);  // some residuals lie outside c
            if (limit != nullptr && n >= 16) {
              NormalSums fixed;
              s.normal_row(r.data(), gx.data(), gy.data(), g.data(), lap.data(), up, n, p, kind,
                           12.0f, nullptr, &fixed);
              EXPECT_GT(ns.w, fixed.w);  // the grown limits keep more
            }
          }
        }

      // Bytes and 16-bit samples (at an odd address) ending at their
      // allocation's end; conversions and block means are exact.
      std::uniform_int_distribution<int> byte(0, 255);
      std::vector<uint8_t> b0(2 * n), b1(2 * n), wide(2 * n + 1);
      for (auto* bytes : {&b0, &b1, &wide})
        for (uint8_t& c : *bytes) c = static_cast<uint8_t>(byte(rng));
      for (int bytes : {1, 2}) {
        const uint8_t* from = bytes == 1 ? b0.data() + n : wide.data() + 1;
        v.widen_row(from, bytes, dv.data(), n);
        s.widen_row(from, bytes, ds.data(), n);
        for (int32_t x = 0; x < n; ++x) ASSERT_EQ(dv[x], ds[x]) << "widen " << bytes << " " << x;
      }
      v.halve_bytes(b0.data(), b1.data(), dv.data(), n);
      s.halve_bytes(b0.data(), b1.data(), ds.data(), n);
      for (int32_t x = 0; x < n; ++x) ASSERT_EQ(dv[x], ds[x]) << "halve " << x;
      const auto f0 = Row(rng, 2 * n), f1 = Row(rng, 2 * n);
      v.halve_floats(f0.data(), f1.data(), dv.data(), n);
      s.halve_floats(f0.data(), f1.data(), ds.data(), n);
      for (int32_t x = 0; x < n; ++x) ASSERT_EQ(dv[x], ds[x]) << "halve floats " << x;

      // Spikes among random values, near both ends too: the same columns.
      auto spiky = f0;
      for (int32_t x : {1, n / 2, n - 2})
        if (x >= 1 && x + 1 < n) spiky[x] = x % 2 ? 500.0f : -500.0f;
      std::vector<int32_t> spv(n), sps(n);
      const int32_t cv = v.spike_row(spiky.data(), n, 120.0f, spv.data());
      ASSERT_EQ(cv, s.spike_row(spiky.data(), n, 120.0f, sps.data()));
      ASSERT_EQ(cv > 0, n >= 3);
      for (int32_t i = 0; i < cv; ++i) ASSERT_EQ(spv[i], sps[i]) << "spike " << i;
      // Strong gradients: the same columns, at every row length.
      auto sx = Row(rng, n), sy = Row(rng, n);
      const int32_t cs = v.strong_row(sx.data(), sy.data(), n, 12000.0f, spv.data());
      ASSERT_EQ(cs, s.strong_row(sx.data(), sy.data(), n, 12000.0f, sps.data()));
      for (int32_t i = 0; i < cs; ++i) ASSERT_EQ(spv[i], sps[i]) << "strong " << i;

      // Large values about their mean: the offset keeps the sums exact enough.
      auto up = Row(rng, n), mid = Row(rng, n), down = Row(rng, n);
      for (float& m : mid) m += 30000.0f;
      double sv[3] = {0, 0, 0}, ss[3] = {0, 0, 0};
      v.gradient_stats_row(up.data(), mid.data(), down.data(), n, 30000.0f, sv);
      s.gradient_stats_row(up.data(), mid.data(), down.data(), n, 30000.0f, ss);
      for (int q = 0; q < 3; ++q) ExpectNear(sv[q], ss[q], "gradient stats");

      // The gradient row reads n + 2 pixels of mid and n + 1 of up and down.
      auto gm = Row(rng, n + 2), gu = Row(rng, n + 1), gd = Row(rng, n + 1);
      std::vector<float> outv[3], outs[3];
      for (int q = 0; q < 3; ++q) outv[q].resize(n), outs[q].resize(n);
      v.gradient_row(gu.data(), gm.data(), gd.data(), n, outv[0].data(), outv[1].data(),
                     outv[2].data());
      s.gradient_row(gu.data(), gm.data(), gd.data(), n, outs[0].data(), outs[1].data(),
                     outs[2].data());
      for (int q = 0; q < 3; ++q)
        for (int32_t x = 0; x < n; ++x) ASSERT_NEAR(outv[q][x], outs[q][x], 1e-3f) << q << " " << x;
    }
  });
}

}  // namespace
}  // namespace vantor::drift
