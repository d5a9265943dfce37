// Row kernels of the motion models' refinement: cubic B-spline resampling
// along a line through the current frame's spline coefficients, and the weighted normal equations of a motion's
// step. The scalar twins first, then the vector paths compiled once per
// target; drift_kernels.cpp puts both in its dispatch table.

#ifndef VANTOR_IMPROC_DRIFT_KERNELS_MOTION_SHARED
#define VANTOR_IMPROC_DRIFT_KERNELS_MOTION_SHARED

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "improc/drift_kernels_internal.h"

namespace vantor::drift {
namespace scalar {
namespace {

// Cubic B-spline weights of the four taps around a sample at fraction f in
// [0, 1) past the second (of spline coefficients, not of the samples).
inline void SplineWeights(float f, float* w) {
  const float g = 1.0f - f, f2 = f * f, f3 = f2 * f;
  constexpr float kSixth = 1.0f / 6.0f;
  w[0] = kSixth * g * g * g;
  w[1] = kSixth * (3.0f * f3 - 6.0f * f2 + 4.0f);
  w[2] = kSixth * (-3.0f * f3 + 3.0f * f2 + 3.0f * f + 1.0f);
  w[3] = kSixth * f3;
}

// The motion's columns of J (after gx and gy) at one pixel.
inline void MotionColumns(int32_t params, float u, float v, float gx, float gy, float* j) {
  if (params == 6) {
    j[0] = u * gx;
    j[1] = v * gx;
    j[2] = u * gy;
    j[3] = v * gy;
    return;
  }
  j[0] = u * gy - v * gx;                    // rotation
  if (params == 4) j[1] = u * gx + v * gy;  // scale
}

// Samples k in [from, n) of WarpRow.
void WarpRange(const float* src, std::ptrdiff_t pitch, const double* line, const double* box,
               const float* sub, float* dst, int32_t from, int32_t n) {
  for (int32_t k = from; k < n; ++k) {
    const double sx = line[0] + k * line[2], sy = line[1] + k * line[3];
    if (!(sx >= box[0] && sy >= box[1] && sx < box[2] && sy < box[3])) {
      dst[k] = std::numeric_limits<float>::quiet_NaN();
      continue;
    }
    const double fx0 = std::floor(sx), fy0 = std::floor(sy);
    const auto ix = static_cast<std::ptrdiff_t>(fx0), iy = static_cast<std::ptrdiff_t>(fy0);
    float wx[4], wy[4];
    SplineWeights(static_cast<float>(sx - fx0), wx);
    SplineWeights(static_cast<float>(sy - fy0), wy);
    float v = 0;
    for (int32_t j = 0; j < 4; ++j) {
      const float* s = src + (iy - 1 + j) * pitch + ix - 1;
      v += wy[j] * (wx[0] * s[0] + wx[1] * s[1] + wx[2] * s[2] + wx[3] * s[3]);
    }
    dst[k] = sub != nullptr ? v - sub[k] : v;
  }
}

}  // namespace

void WarpRow(const float* src, std::ptrdiff_t pitch, const double* line, const double* box,
             const float* sub, float* dst, int32_t n) {
  WarpRange(src, pitch, line, box, sub, dst, 0, n);
}

void MotionNormalRow(const MotionRow& row, int32_t n, int32_t params, const Photometric& p,
                     Weighting kind, float c, MotionSums* sums) {
  const int P = params + 3;
  constexpr int kMax = MotionSums::kMaxParams;
  float m[kMax * kMax] = {}, v[kMax] = {}, sw = 0, swu = 0, swuu = 0, wee = 0;
  int64_t compared = 0;
  for (int32_t x = 0; x < n; ++x) {
    const float r = row.r[x];
    if (std::isnan(r)) continue;
    ++compared;
    const float a = row.a[x], lap = row.lap[x], u = row.u[x];
    const float e = r - (p.c0 + p.c1 * a + p.b * lap);
    const float w = Weight(e, kind, c);
    if (w == 0.0f) continue;
    float j[kMax];
    j[0] = row.gx[x];
    j[1] = row.gy[x];
    MotionColumns(params, u, row.v, j[0], j[1], j + 2);
    j[params] = 1.0f;
    j[params + 1] = a;
    j[params + 2] = lap;
    for (int i = 0; i < P; ++i) {
      const float wj = w * j[i];
      for (int k = i; k < P; ++k) m[i * P + k] += wj * j[k];
      v[i] += wj * r;
    }
    const float wu = w * u;
    sw += w;
    swu += wu;
    swuu += wu * u;
    wee += w * e * e;
  }
  for (int i = 0; i < P; ++i) {
    for (int k = i; k < P; ++k) sums->m[i * P + k] += m[i * P + k];
    sums->v[i] += v[i];
  }
  const double rv = row.v;
  sums->mom[0] += sw;
  sums->mom[1] += swu;
  sums->mom[2] += rv * sw;
  sums->mom[3] += swuu;
  sums->mom[4] += rv * swu;
  sums->mom[5] += rv * rv * sw;
  sums->wee += wee;
  sums->compared += compared;
}

}  // namespace scalar
}  // namespace vantor::drift

#endif  // VANTOR_IMPROC_DRIFT_KERNELS_MOTION_SHARED

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "improc/drift_kernels_motion.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "improc/drift_kernels-inl.h"

HWY_BEFORE_NAMESPACE();
namespace vantor::drift {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Runs of samples in two passes, so that the long chain from a position to
// its taps does not hold up the sums: first the positions (in double), the
// spline weights and each sample's first tap for the run, across the lanes;
// then four samples at a time, each one's 4 x 4 taps as four loads of four
// neighbours combined down the columns with its own row weights, and the
// four results turned across so that the column weights finish them
// together.
void WarpRow(const float* src, std::ptrdiff_t pitch, const double* line, const double* box,
             const float* sub, float* dst, int32_t n) {
  int32_t k = 0;
#if HWY_TARGET != HWY_SCALAR
  // The taps' offsets from src as int32 (the vector path's limit).
  if ((box[3] + 3.0) * static_cast<double>(pitch) >= 2147483647.0) {
    scalar::WarpRange(src, pitch, line, box, sub, dst, 0, n);
    return;
  }
  const hn::FixedTag<float, 4> d;
  // Positions four at a time where the target holds four doubles, else two.
  const hn::CappedTag<double, 4> dd;
  constexpr int32_t kD = static_cast<int32_t>(hn::MaxLanes(dd));
  const hn::Rebind<float, decltype(dd)> dh;
  const hn::Rebind<int32_t, decltype(dd)> di;
  using VF = hn::Vec<decltype(d)>;
  const auto x0 = hn::Set(dd, line[0]), y0 = hn::Set(dd, line[1]);
  const auto ux = hn::Set(dd, line[2]), uy = hn::Set(dd, line[3]);
  const auto xlo = hn::Set(dd, box[0]), ylo = hn::Set(dd, box[1]);
  const auto xhi = hn::Set(dd, box[2]), yhi = hn::Set(dd, box[3]);
  const auto lane = hn::Iota(dd, 0.0), one = hn::Set(dd, 1.0);
  const auto pitchd = hn::Set(dd, static_cast<double>(pitch));
  const auto corner = hn::Set(dd, static_cast<double>(pitch + 1));
  const VF nan = hn::Set(d, std::numeric_limits<float>::quiet_NaN());
  constexpr int32_t kRun = 64;
  // Per sample of the run: fractions, then the weights; inside 0 or 1.
  HWY_ALIGN float fx[kRun], fy[kRun], inside[kRun], wx[4][kRun], wy[4][kRun];
  HWY_ALIGN int32_t off[kRun];
  // w[0..3][0..3] of four fractions f: the cubic B-spline.
  const VF sixth = hn::Set(d, 1.0f / 6.0f), three = hn::Set(d, 3.0f), oneF = hn::Set(d, 1.0f);
  const auto spline = [&](VF f, float (*w)[kRun], int32_t at) {
    const VF g = hn::Sub(oneF, f), f2 = hn::Mul(f, f), f3 = hn::Mul(f2, f);
    hn::Store(hn::Mul(sixth, hn::Mul(g, hn::Mul(g, g))), d, w[0] + at);
    hn::Store(hn::Mul(sixth, hn::MulAdd(three, f3, hn::MulAdd(hn::Set(d, -6.0f), f2,
                                                             hn::Set(d, 4.0f)))),
              d, w[1] + at);
    hn::Store(hn::Mul(sixth, hn::MulAdd(hn::Neg(three), f3,
                                        hn::MulAdd(three, hn::Add(f2, f), oneF))),
              d, w[2] + at);
    hn::Store(hn::Mul(sixth, f3), d, w[3] + at);
  };
  while (k + 4 <= n) {
    const int32_t len = std::min(kRun, (n - k) / 4 * 4);
    for (int32_t q = 0; q < len; q += kD) {
      const auto kv = hn::Add(lane, hn::Set(dd, static_cast<double>(k + q)));
      auto sx = hn::MulAdd(kv, ux, x0), sy = hn::MulAdd(kv, uy, y0);
      const auto in = hn::And(hn::And(hn::Ge(sx, xlo), hn::Ge(sy, ylo)),
                              hn::And(hn::Lt(sx, xhi), hn::Lt(sy, yhi)));
      // Outside (or NaN): a place inside, so that the loads stay in src.
      sx = hn::IfThenElse(in, sx, xlo);
      sy = hn::IfThenElse(in, sy, ylo);
      const auto flx = hn::Floor(sx), fly = hn::Floor(sy);
      hn::Store(hn::DemoteTo(dh, hn::Sub(sx, flx)), dh, fx + q);
      hn::Store(hn::DemoteTo(dh, hn::Sub(sy, fly)), dh, fy + q);
      hn::Store(hn::DemoteTo(dh, hn::IfThenElseZero(in, one)), dh, inside + q);
      // The first tap: column floor(sx) - 1 of row floor(sy) - 1.
      hn::Store(hn::DemoteTo(di, hn::Sub(hn::MulAdd(fly, pitchd, flx), corner)), di, off + q);
    }
    for (int32_t q = 0; q < len; q += 4) {
      spline(hn::Load(d, fx + q), wx, q);
      spline(hn::Load(d, fy + q), wy, q);
    }
    for (int32_t q = 0; q < len; q += 4) {
      VF t[4];
      for (int32_t p = 0; p < 4; ++p) {
        const float* s = src + off[q + p];
        const VF r01 = hn::MulAdd(hn::Set(d, wy[1][q + p]), hn::LoadU(d, s + pitch),
                                  hn::Mul(hn::Set(d, wy[0][q + p]), hn::LoadU(d, s)));
        const VF r23 = hn::MulAdd(hn::Set(d, wy[3][q + p]), hn::LoadU(d, s + 3 * pitch),
                                  hn::Mul(hn::Set(d, wy[2][q + p]), hn::LoadU(d, s + 2 * pitch)));
        t[p] = hn::Add(r01, r23);
      }
      // t[p] holds sample p's four column sums: across, column i of all four.
      const VF lo01 = hn::InterleaveLower(d, t[0], t[1]);
      const VF hi01 = hn::InterleaveUpper(d, t[0], t[1]);
      const VF lo23 = hn::InterleaveLower(d, t[2], t[3]);
      const VF hi23 = hn::InterleaveUpper(d, t[2], t[3]);
      const VF c0 = hn::ConcatLowerLower(d, lo23, lo01), c1 = hn::ConcatUpperUpper(d, lo23, lo01);
      const VF c2 = hn::ConcatLowerLower(d, hi23, hi01), c3 = hn::ConcatUpperUpper(d, hi23, hi01);
      const VF c01 =
          hn::MulAdd(hn::Load(d, wx[1] + q), c1, hn::Mul(hn::Load(d, wx[0] + q), c0));
      const VF c23 =
          hn::MulAdd(hn::Load(d, wx[3] + q), c3, hn::Mul(hn::Load(d, wx[2] + q), c2));
      VF v = hn::Add(c01, c23);
      if (sub != nullptr) v = hn::Sub(v, hn::LoadU(d, sub + k + q));
      hn::StoreU(hn::IfThenElse(hn::Eq(hn::Load(d, inside + q), hn::Zero(d)), nan, v), d,
                 dst + k + q);
    }
    k += len;
  }
#endif
  if (k < n) scalar::WarpRange(src, pitch, line, box, sub, dst, k, n);
}

using D = hn::ScalableTag<float>;
using V = hn::Vec<D>;

HWY_INLINE float Sum(D d, V v) { return hn::GetLane(hn::SumOfLanes(d, v)); }

// Row i of J^T W J over a run of len pixels (a whole number of vectors):
// K - 1 products of w J_i with the columns from i on, and w J_i r last.
template <int K>
HWY_INLINE void TriangleRow(D d, int i, int P, const float* const* cols, const float* w,
                            const float* r, int32_t len, float* m, float* v) {
  const int32_t N = static_cast<int32_t>(hn::Lanes(d));
  V acc[K];
  for (int q = 0; q < K; ++q) acc[q] = hn::Zero(d);
  for (int32_t x = 0; x < len; x += N) {
    const V wi = hn::Mul(hn::Load(d, w + x), hn::LoadU(d, cols[i] + x));
    for (int q = 0; q + 1 < K; ++q) acc[q] = hn::MulAdd(wi, hn::LoadU(d, cols[i + q] + x), acc[q]);
    acc[K - 1] = hn::MulAdd(wi, hn::Load(d, r + x), acc[K - 1]);
  }
  for (int q = 0; q + 1 < K; ++q) m[i * P + i + q] += Sum(d, acc[q]);
  v[i] += Sum(d, acc[K - 1]);
}

// Runs of pixels in two passes each: the weights, the moments and the
// motion's columns first, then J^T W J one row of the triangle at a time
// (so that its sums stay in registers). Pixels without a residual take part
// with weight 0 and residual 0.
template <int kParams>
void MotionNormals(const MotionRow& row, int32_t n, const Photometric& p, Weighting kind, float c,
                   MotionSums* sums) {
  constexpr int P = kParams + 3, kExtra = kParams - 2;
  constexpr int32_t kRun = 256;
  const D d;
  const int32_t N = static_cast<int32_t>(hn::Lanes(d));
  HWY_ALIGN float wbuf[kRun], rbuf[kRun], ones[kRun], extra[kExtra][kRun];
  for (int32_t x = 0; x < kRun; ++x) ones[x] = 1.0f;
  const V zero = hn::Zero(d);
  const V cv = hn::Set(d, c), inv_c = hn::Set(d, 1.0f / c);
  const V c0 = hn::Set(d, p.c0), c1 = hn::Set(d, p.c1), cb = hn::Set(d, p.b);
  const V vv = hn::Set(d, row.v);
  V sw = zero, swu = zero, swuu = zero, wee = zero;
  int64_t compared = 0;
  float m[P * P] = {}, vs[P] = {};
  const int32_t whole = n - n % N;
  for (int32_t x0 = 0; x0 < whole; x0 += kRun) {
    const int32_t len = std::min(kRun, whole - x0);
    for (int32_t x = 0; x < len; x += N) {
      const V rv = hn::LoadU(d, row.r + x0 + x);
      const auto none = hn::IsNaN(rv);
      compared += static_cast<int64_t>(N - hn::CountTrue(d, none));
      const V r = hn::IfThenZeroElse(none, rv);
      const V a = hn::LoadU(d, row.a + x0 + x), lap = hn::LoadU(d, row.lap + x0 + x);
      const V e = hn::Sub(r, hn::MulAdd(c1, a, hn::MulAdd(cb, lap, c0)));
      const V w = hn::IfThenZeroElse(none, RobustWeight(d, e, kind, cv, inv_c));
      hn::Store(w, d, wbuf + x);
      hn::Store(r, d, rbuf + x);
      const V u = hn::LoadU(d, row.u + x0 + x);
      const V wu = hn::Mul(w, u);
      sw = hn::Add(sw, w);
      swu = hn::Add(swu, wu);
      swuu = hn::MulAdd(wu, u, swuu);
      wee = hn::MulAdd(hn::Mul(w, e), e, wee);
      const V gx = hn::LoadU(d, row.gx + x0 + x), gy = hn::LoadU(d, row.gy + x0 + x);
      if constexpr (kParams == 6) {
        hn::Store(hn::Mul(u, gx), d, extra[0] + x);
        hn::Store(hn::Mul(vv, gx), d, extra[1] + x);
        hn::Store(hn::Mul(u, gy), d, extra[2] + x);
        hn::Store(hn::Mul(vv, gy), d, extra[3] + x);
      } else {
        hn::Store(hn::NegMulAdd(vv, gx, hn::Mul(u, gy)), d, extra[0] + x);
        if constexpr (kParams == 4) hn::Store(hn::MulAdd(vv, gy, hn::Mul(u, gx)), d, extra[1] + x);
      }
    }
    const float* cols[P];
    cols[0] = row.gx + x0;
    cols[1] = row.gy + x0;
    for (int q = 0; q < kExtra; ++q) cols[2 + q] = extra[q];
    cols[kParams] = ones;
    cols[kParams + 1] = row.a + x0;
    cols[kParams + 2] = row.lap + x0;
    [&]<int... I>(std::integer_sequence<int, I...>) {
      (TriangleRow<P - I + 1>(d, I, P, cols, wbuf, rbuf, len, m, vs), ...);
    }(std::make_integer_sequence<int, P>{});
  }
  for (int i = 0; i < P; ++i) {
    for (int j = i; j < P; ++j) sums->m[i * P + j] += m[i * P + j];
    sums->v[i] += vs[i];
  }
  const double rv = row.v, w = Sum(d, sw), wu = Sum(d, swu);
  sums->mom[0] += w;
  sums->mom[1] += wu;
  sums->mom[2] += rv * w;
  sums->mom[3] += Sum(d, swuu);
  sums->mom[4] += rv * wu;
  sums->mom[5] += rv * rv * w;
  sums->wee += Sum(d, wee);
  sums->compared += compared;
  if (whole < n) {
    MotionRow tail = row;
    for (const float** q : {&tail.r, &tail.gx, &tail.gy, &tail.a, &tail.lap, &tail.u}) *q += whole;
    scalar::MotionNormalRow(tail, n - whole, kParams, p, kind, c, sums);
  }
}

void MotionNormalRow(const MotionRow& row, int32_t n, int32_t params, const Photometric& p,
                     Weighting kind, float c, MotionSums* sums) {
  if (params == 3) return MotionNormals<3>(row, n, p, kind, c, sums);
  if (params == 4) return MotionNormals<4>(row, n, p, kind, c, sums);
  MotionNormals<6>(row, n, p, kind, c, sums);
}

}  // namespace HWY_NAMESPACE
}  // namespace vantor::drift
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantor::drift {

HWY_EXPORT(WarpRow);
HWY_EXPORT(MotionNormalRow);

void VectorWarpRow(const float* src, std::ptrdiff_t pitch, const double* line, const double* box,
                   const float* sub, float* dst, int32_t n) {
  HWY_DYNAMIC_DISPATCH(WarpRow)(src, pitch, line, box, sub, dst, n);
}

void VectorMotionNormalRow(const MotionRow& row, int32_t n, int32_t params, const Photometric& p,
                           Weighting kind, float c, MotionSums* sums) {
  HWY_DYNAMIC_DISPATCH(MotionNormalRow)(row, n, params, p, kind, c, sums);
}

}  // namespace vantor::drift
#endif  // HWY_ONCE
