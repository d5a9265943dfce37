// Float row kernels of the drift measurement: the scalar twins first, then
// the vector paths compiled once per target and dispatched at run time. Sums
// run in float along one row and in double across rows, in both paths.

#ifndef VANTOR_IMPROC_DRIFT_KERNELS_SHARED
#define VANTOR_IMPROC_DRIFT_KERNELS_SHARED

#include "improc/drift_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "improc/drift_kernels_internal.h"
#include "kernels/kernel_path.h"

namespace vantor::drift {
namespace scalar {

double SsdBlock(const float* a, std::ptrdiff_t a_pitch, const float* b, std::ptrdiff_t b_pitch,
                int32_t w, int32_t h) {
  double total = 0.0;
  for (int32_t y = 0; y < h; ++y) {
    const float* ar = a + y * a_pitch;
    const float* br = b + y * b_pitch;
    float row = 0.0f;
    for (int32_t x = 0; x < w; ++x) {
      const float d = br[x] - ar[x];
      row += d * d;
    }
    total += row;
  }
  return total;
}

void FilterRow(const float* src, float* dst, int32_t n, const float* taps, int32_t count) {
  for (int32_t x = 0; x < n; ++x) {
    float s = 0.0f;
    for (int32_t k = 0; k < count; ++k) s += taps[k] * src[x + k];
    dst[x] = s;
  }
}

void FilterColumns(const float* const* rows, const float* sub, float* dst, int32_t n,
                   const float* taps, int32_t count) {
  for (int32_t x = 0; x < n; ++x) {
    float s = 0.0f;
    for (int32_t k = 0; k < count; ++k) s += taps[k] * rows[k][x];
    dst[x] = sub != nullptr ? s - sub[x] : s;
  }
}

void NormalRow(const float* r, const float* gx, const float* gy, const float* a,
               const float* lap, const float* u, int32_t n, const Photometric& p,
               Weighting kind, float c, const LevelLimit* limit, NormalSums* sums) {
  constexpr int P = NormalSums::kParams;
  float m[NormalSums::kMatrix] = {}, v[P] = {}, sp[NormalSums::kSpatial] = {}, sw = 0, wee = 0;
  for (int32_t x = 0; x < n; ++x) {
    const float gain = u != nullptr ? p.c1 + p.cu * u[x] : p.c1;
    const float e = r[x] - (p.c0 + gain * a[x] + p.b * lap[x]);
    float cx = c;
    if (limit != nullptr) {
      const float s = std::max(a[x] - limit->level, 0.0f);
      cx = std::max(c, limit->k * std::sqrt(limit->n0 + s * (limit->n1 + limit->n2 * s)));
    }
    const float w = Weight(e, kind, cx);
    const float j[P] = {gx[x], gy[x], 1.0f, a[x], lap[x]};
    int q = 0;
    for (int i = 0; i < P; ++i) {
      const float wj = w * j[i];
      for (int k = i; k < P; ++k) m[q++] += wj * j[k];
      v[i] += wj * r[x];
    }
    if (u != nullptr) {
      const float wau = w * a[x] * u[x];
      for (int i = 0; i < P; ++i) sp[i] += wau * j[i];
      sp[P] += wau * a[x] * u[x];
      sp[P + 1] += wau * r[x];
    }
    sw += w;
    wee += w * e * e;
  }
  for (int q = 0; q < NormalSums::kMatrix; ++q) sums->m[q] += m[q];
  for (int i = 0; i < P; ++i) sums->v[i] += v[i];
  if (u != nullptr)
    for (int i = 0; i < NormalSums::kSpatial; ++i) sums->s[i] += sp[i];
  sums->w += sw;
  sums->wee += wee;
}

void GradientRow(const float* up, const float* mid, const float* down, int32_t n, float* gx,
                 float* gy, float* lap) {
  for (int32_t x = 0; x < n; ++x) {
    gx[x] = 0.5f * (mid[x + 2] - mid[x]);
    gy[x] = 0.5f * (up[x + 1] - down[x + 1]);
    lap[x] = mid[x + 2] + mid[x] + up[x + 1] + down[x + 1] - 4.0f * mid[x + 1];
  }
}

void WidenRow(const uint8_t* src, int32_t bytes, float* dst, int32_t n) {
  if (bytes == 1) {
    for (int32_t x = 0; x < n; ++x) dst[x] = src[x];
    return;
  }
  for (int32_t x = 0; x < n; ++x) {
    uint16_t u;
    std::memcpy(&u, src + 2 * x, 2);
    dst[x] = u;
  }
}

void HalveBytes(const uint8_t* r0, const uint8_t* r1, float* dst, int32_t n) {
  for (int32_t x = 0; x < n; ++x)
    dst[x] = static_cast<float>(r0[2 * x] + r0[2 * x + 1] + r1[2 * x] + r1[2 * x + 1]) * 0.25f;
}

void HalveFloats(const float* r0, const float* r1, float* dst, int32_t n) {
  for (int32_t x = 0; x < n; ++x)
    dst[x] = (r0[2 * x] + r0[2 * x + 1] + r1[2 * x] + r1[2 * x + 1]) * 0.25f;
}

void GradientStatsRow(const float* up, const float* mid, const float* down, int32_t n,
                      float offset, double* s) {
  float e = 0, sum = 0, sum2 = 0;
  for (int32_t x = 1; x + 1 < n; ++x) {
    const float gx = 0.5f * (mid[x + 1] - mid[x - 1]), gy = 0.5f * (up[x] - down[x]);
    const float m = mid[x] - offset;
    e += gx * gx + gy * gy;
    sum += m;
    sum2 += m * m;
  }
  s[0] += e;
  s[1] += sum;
  s[2] += sum2;
}

int32_t SpikeRow(const float* mid, int32_t n, float limit, int32_t* out) {
  int32_t count = 0;
  for (int32_t x = 1; x + 1 < n; ++x) {
    const float l = mid[x - 1], c = mid[x], r = mid[x + 1];
    if (c - std::max(l, r) > limit || std::min(l, r) - c > limit) out[count++] = x;
  }
  return count;
}

int32_t StrongRow(const float* gx, const float* gy, int32_t n, float limit, int32_t* out) {
  int32_t count = 0;
  for (int32_t x = 0; x < n; ++x) {
    const float xx = gx[x] * gx[x], yy = gy[x] * gy[x];
    if (xx + yy > limit) out[count++] = x;
  }
  return count;
}

}  // namespace scalar
}  // namespace vantor::drift

#endif  // VANTOR_IMPROC_DRIFT_KERNELS_SHARED

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "improc/drift_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "improc/drift_kernels-inl.h"

HWY_BEFORE_NAMESPACE();
namespace vantor::drift {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<float>;
using V = hn::Vec<D>;

HWY_INLINE float Sum(D d, V v) { return hn::GetLane(hn::SumOfLanes(d, v)); }

double SsdBlock(const float* a, std::ptrdiff_t a_pitch, const float* b, std::ptrdiff_t b_pitch,
                int32_t w, int32_t h) {
  const D d;
  const int32_t N = static_cast<int32_t>(hn::Lanes(d));
  double total = 0.0;
  // Lanes carry the sums across rows; they are emptied into the double total
  // every few rows so that float rounding stays small.
  V acc0 = hn::Zero(d), acc1 = hn::Zero(d);
  float tail = 0.0f;
  const int32_t flush = std::max<int32_t>(1, 4096 / std::max(w, 1));
  for (int32_t y = 0; y < h; ++y) {
    const float* ar = a + y * a_pitch;
    const float* br = b + y * b_pitch;
    int32_t x = 0;
    for (; x + 2 * N <= w; x += 2 * N) {
      const V d0 = hn::Sub(hn::LoadU(d, br + x), hn::LoadU(d, ar + x));
      const V d1 = hn::Sub(hn::LoadU(d, br + x + N), hn::LoadU(d, ar + x + N));
      acc0 = hn::MulAdd(d0, d0, acc0);
      acc1 = hn::MulAdd(d1, d1, acc1);
    }
    for (; x + N <= w; x += N) {
      const V d0 = hn::Sub(hn::LoadU(d, br + x), hn::LoadU(d, ar + x));
      acc0 = hn::MulAdd(d0, d0, acc0);
    }
    for (; x < w; ++x) {
      const float e = br[x] - ar[x];
      tail += e * e;
    }
    if ((y + 1) % flush == 0 || y + 1 == h) {
      total += static_cast<double>(Sum(d, hn::Add(acc0, acc1))) + tail;
      acc0 = hn::Zero(d);
      acc1 = hn::Zero(d);
      tail = 0.0f;
    }
  }
  return total;
}

// Four vectors per pass over the taps: each tap is broadcast once for all
// four, and four independent sums keep the multiply-adds from waiting on one
// another. Every lane still adds its taps in order, as the scalar twin does.
void FilterRow(const float* src, float* dst, int32_t n, const float* taps, int32_t count) {
  const D d;
  const int32_t N = static_cast<int32_t>(hn::Lanes(d));
  int32_t x = 0;
  for (; x + 4 * N <= n; x += 4 * N) {
    const float* s = src + x;
    V t = hn::Set(d, taps[0]);
    V a0 = hn::Mul(t, hn::LoadU(d, s)), a1 = hn::Mul(t, hn::LoadU(d, s + N));
    V a2 = hn::Mul(t, hn::LoadU(d, s + 2 * N)), a3 = hn::Mul(t, hn::LoadU(d, s + 3 * N));
    for (int32_t k = 1; k < count; ++k) {
      t = hn::Set(d, taps[k]);
      a0 = hn::MulAdd(t, hn::LoadU(d, s + k), a0);
      a1 = hn::MulAdd(t, hn::LoadU(d, s + k + N), a1);
      a2 = hn::MulAdd(t, hn::LoadU(d, s + k + 2 * N), a2);
      a3 = hn::MulAdd(t, hn::LoadU(d, s + k + 3 * N), a3);
    }
    hn::StoreU(a0, d, dst + x);
    hn::StoreU(a1, d, dst + x + N);
    hn::StoreU(a2, d, dst + x + 2 * N);
    hn::StoreU(a3, d, dst + x + 3 * N);
  }
  const auto one = [&](int32_t at) {
    V acc = hn::Mul(hn::Set(d, taps[0]), hn::LoadU(d, src + at));
    for (int32_t k = 1; k < count; ++k)
      acc = hn::MulAdd(hn::Set(d, taps[k]), hn::LoadU(d, src + at + k), acc);
    hn::StoreU(acc, d, dst + at);
  };
  for (; x + N <= n; x += N) one(x);
  // The rest as the last whole vector, overlapping what is done: every
  // output then has the same arithmetic wherever it falls in the row (the
  // scalar tail's rounding differed from the vector's by an ulp).
  if (x < n && n >= N) {
    one(n - N);
  } else if (x < n) {
    scalar::FilterRow(src + x, dst + x, n - x, taps, count);
  }
}

void FilterColumns(const float* const* rows, const float* sub, float* dst, int32_t n,
                   const float* taps, int32_t count) {
  const D d;
  const int32_t N = static_cast<int32_t>(hn::Lanes(d));
  int32_t x = 0;
  for (; x + 4 * N <= n; x += 4 * N) {
    V t = hn::Set(d, taps[0]);
    const float* r = rows[0] + x;
    V a0 = hn::Mul(t, hn::LoadU(d, r)), a1 = hn::Mul(t, hn::LoadU(d, r + N));
    V a2 = hn::Mul(t, hn::LoadU(d, r + 2 * N)), a3 = hn::Mul(t, hn::LoadU(d, r + 3 * N));
    for (int32_t k = 1; k < count; ++k) {
      t = hn::Set(d, taps[k]);
      r = rows[k] + x;
      a0 = hn::MulAdd(t, hn::LoadU(d, r), a0);
      a1 = hn::MulAdd(t, hn::LoadU(d, r + N), a1);
      a2 = hn::MulAdd(t, hn::LoadU(d, r + 2 * N), a2);
      a3 = hn::MulAdd(t, hn::LoadU(d, r + 3 * N), a3);
    }
    if (sub != nullptr) {
      a0 = hn::Sub(a0, hn::LoadU(d, sub + x));
      a1 = hn::Sub(a1, hn::LoadU(d, sub + x + N));
      a2 = hn::Sub(a2, hn::LoadU(d, sub + x + 2 * N));
      a3 = hn::Sub(a3, hn::LoadU(d, sub + x + 3 * N));
    }
    hn::StoreU(a0, d, dst + x);
    hn::StoreU(a1, d, dst + x + N);
    hn::StoreU(a2, d, dst + x + 2 * N);
    hn::StoreU(a3, d, dst + x + 3 * N);
  }
  const auto one = [&](int32_t at) {
    V acc = hn::Mul(hn::Set(d, taps[0]), hn::LoadU(d, rows[0] + at));
    for (int32_t k = 1; k < count; ++k)
      acc = hn::MulAdd(hn::Set(d, taps[k]), hn::LoadU(d, rows[k] + at), acc);
    if (sub != nullptr) acc = hn::Sub(acc, hn::LoadU(d, sub + at));
    hn::StoreU(acc, d, dst + at);
  };
  for (; x + N <= n; x += N) one(x);
  // The rest as the last whole vector, overlapping what is done (as in
  // FilterRow); dst is none of the inputs.
  if (x < n && n >= N) {
    one(n - N);
  } else if (x < n) {
    const float* tail[64];
    const int32_t m = count < 64 ? count : 64;
    for (int32_t k = 0; k < m; ++k) tail[k] = rows[k] + x;
    scalar::FilterColumns(tail, sub != nullptr ? sub + x : nullptr, dst + x, n - x, taps, m);
  }
}

// Two passes over each run of pixels, so that neither needs more sums than
// there are registers: the first makes the weights and the photometric block
// (constant, gain, blur) with the errors, the second the gradient rows.
void NormalRow(const float* r, const float* gx, const float* gy, const float* a,
               const float* lap, const float* u, int32_t n, const Photometric& p,
               Weighting kind, float c, const LevelLimit* limit, NormalSums* sums) {
  const D d;
  const int32_t N = static_cast<int32_t>(hn::Lanes(d));
  constexpr int32_t kRun = 256;
  HWY_ALIGN float wbuf[kRun];
  const V zero = hn::Zero(d);
  const V cv = hn::Set(d, c), inv_c = hn::Set(d, 1.0f / c);
  const V c0 = hn::Set(d, p.c0), c1 = hn::Set(d, p.c1), cb = hn::Set(d, p.b);
  const V cu = hn::Set(d, p.cu);
  const LevelLimit none;
  const LevelLimit& l = limit != nullptr ? *limit : none;
  const V level = hn::Set(d, l.level), n0 = hn::Set(d, l.n0), n1 = hn::Set(d, l.n1),
          n2 = hn::Set(d, l.n2), lk = hn::Set(d, l.k), one = hn::Set(d, 1.0f);
  // The spatial column's sums (with u): J's five columns, its square, r.
  V s0 = zero, s1 = zero, s2 = zero, s3 = zero, s4 = zero, s5 = zero, s6 = zero;
  // The packed upper triangle of J^T W J, J = (gx, gy, 1, a, lap).
  V m00 = zero, m01 = zero, m02 = zero, m03 = zero, m04 = zero, m11 = zero, m12 = zero,
    m13 = zero, m14 = zero, m22 = zero, m23 = zero, m24 = zero, m33 = zero, m34 = zero,
    m44 = zero;
  V v0 = zero, v1 = zero, v2 = zero, v3 = zero, v4 = zero, wee = zero;
  const int32_t whole = n - n % N;
  for (int32_t x0 = 0; x0 < whole; x0 += kRun) {
    const int32_t x1 = std::min(whole, x0 + kRun);
    for (int32_t x = x0; x < x1; x += N) {
      const V rv = hn::LoadU(d, r + x), av = hn::LoadU(d, a + x), lv = hn::LoadU(d, lap + x);
      const V gain = u != nullptr ? hn::MulAdd(cu, hn::LoadU(d, u + x), c1) : c1;
      const V e = hn::Sub(rv, hn::MulAdd(gain, av, hn::MulAdd(cb, lv, c0)));
      V w;
      if (limit == nullptr) {
        w = RobustWeight(d, e, kind, cv, inv_c);
      } else {
        const V s = hn::Max(hn::Sub(av, level), zero);
        const V cx = hn::Max(cv, hn::Mul(lk, hn::Sqrt(hn::MulAdd(s, hn::MulAdd(n2, s, n1), n0))));
        w = RobustWeight(d, e, kind, cx, hn::Div(one, cx));
      }
      hn::Store(w, d, wbuf + (x - x0));
      const V wa = hn::Mul(w, av), wl = hn::Mul(w, lv);
      m22 = hn::Add(m22, w);
      m23 = hn::Add(m23, wa);
      m24 = hn::Add(m24, wl);
      m33 = hn::MulAdd(wa, av, m33);
      m34 = hn::MulAdd(wa, lv, m34);
      m44 = hn::MulAdd(wl, lv, m44);
      v2 = hn::MulAdd(w, rv, v2);
      v3 = hn::MulAdd(wa, rv, v3);
      v4 = hn::MulAdd(wl, rv, v4);
      wee = hn::MulAdd(hn::Mul(w, e), e, wee);
    }
    for (int32_t x = x0; x < x1; x += N) {
      const V w = hn::Load(d, wbuf + (x - x0));
      const V gxv = hn::LoadU(d, gx + x), gyv = hn::LoadU(d, gy + x);
      const V wx = hn::Mul(w, gxv), wy = hn::Mul(w, gyv);
      const V av = hn::LoadU(d, a + x), lv = hn::LoadU(d, lap + x), rv = hn::LoadU(d, r + x);
      m00 = hn::MulAdd(wx, gxv, m00);
      m01 = hn::MulAdd(wx, gyv, m01);
      m02 = hn::Add(m02, wx);
      m03 = hn::MulAdd(wx, av, m03);
      m04 = hn::MulAdd(wx, lv, m04);
      m11 = hn::MulAdd(wy, gyv, m11);
      m12 = hn::Add(m12, wy);
      m13 = hn::MulAdd(wy, av, m13);
      m14 = hn::MulAdd(wy, lv, m14);
      v0 = hn::MulAdd(wx, rv, v0);
      v1 = hn::MulAdd(wy, rv, v1);
    }
    if (u == nullptr) continue;
    for (int32_t x = x0; x < x1; x += N) {
      const V w = hn::Load(d, wbuf + (x - x0));
      const V av = hn::LoadU(d, a + x), uv = hn::LoadU(d, u + x);
      const V au = hn::Mul(av, uv), wau = hn::Mul(w, au);
      s0 = hn::MulAdd(wau, hn::LoadU(d, gx + x), s0);
      s1 = hn::MulAdd(wau, hn::LoadU(d, gy + x), s1);
      s2 = hn::Add(s2, wau);
      s3 = hn::MulAdd(wau, av, s3);
      s4 = hn::MulAdd(wau, hn::LoadU(d, lap + x), s4);
      s5 = hn::MulAdd(wau, au, s5);
      s6 = hn::MulAdd(wau, hn::LoadU(d, r + x), s6);
    }
  }
  NormalSums tail;
  if (whole < n)
    scalar::NormalRow(r + whole, gx + whole, gy + whole, a + whole, lap + whole,
                      u != nullptr ? u + whole : nullptr, n - whole, p, kind, c, limit, &tail);
  const V m[NormalSums::kMatrix] = {m00, m01, m02, m03, m04, m11, m12, m13,
                                    m14, m22, m23, m24, m33, m34, m44};
  const V v[NormalSums::kParams] = {v0, v1, v2, v3, v4};
  for (int q = 0; q < NormalSums::kMatrix; ++q) sums->m[q] += Sum(d, m[q]) + tail.m[q];
  for (int i = 0; i < NormalSums::kParams; ++i) sums->v[i] += Sum(d, v[i]) + tail.v[i];
  if (u != nullptr) {
    const V sp[NormalSums::kSpatial] = {s0, s1, s2, s3, s4, s5, s6};
    for (int i = 0; i < NormalSums::kSpatial; ++i) sums->s[i] += Sum(d, sp[i]) + tail.s[i];
  }
  // The sum of the weights is the constant's diagonal entry.
  sums->w += Sum(d, m22) + tail.w;
  sums->wee += Sum(d, wee) + tail.wee;
}

void GradientRow(const float* up, const float* mid, const float* down, int32_t n, float* gx,
                 float* gy, float* lap) {
  const D d;
  const int32_t N = static_cast<int32_t>(hn::Lanes(d));
  const V half = hn::Set(d, 0.5f), four = hn::Set(d, 4.0f);
  int32_t x = 0;
  for (; x + N <= n; x += N) {
    const V l = hn::LoadU(d, mid + x), c = hn::LoadU(d, mid + x + 1), r = hn::LoadU(d, mid + x + 2);
    const V u = hn::LoadU(d, up + x + 1), w = hn::LoadU(d, down + x + 1);
    hn::StoreU(hn::Mul(half, hn::Sub(r, l)), d, gx + x);
    hn::StoreU(hn::Mul(half, hn::Sub(u, w)), d, gy + x);
    hn::StoreU(hn::NegMulAdd(four, c, hn::Add(hn::Add(hn::Add(r, l), u), w)), d, lap + x);
  }
  if (x < n) scalar::GradientRow(up + x, mid + x, down + x, n - x, gx + x, gy + x, lap + x);
}

void WidenRow(const uint8_t* src, int32_t bytes, float* dst, int32_t n) {
  const D d;
  const hn::Rebind<uint8_t, D> d8;
  const hn::Rebind<uint16_t, D> d16;
  const hn::Rebind<int32_t, D> di;
  const int32_t N = static_cast<int32_t>(hn::Lanes(d));
  int32_t x = 0;
  if (bytes == 1) {
    // Four vectors a pass: the loop's own bookkeeping costs as much as a vector.
    for (; x + 4 * N <= n; x += 4 * N)
      for (int32_t q = 0; q < 4; ++q)
        hn::StoreU(hn::ConvertTo(d, hn::PromoteTo(di, hn::LoadU(d8, src + x + q * N))), d,
                   dst + x + q * N);
    for (; x + N <= n; x += N)
      hn::StoreU(hn::ConvertTo(d, hn::PromoteTo(di, hn::LoadU(d8, src + x))), d, dst + x);
  } else {
    // Unaligned 16-bit loads through bytes: the samples may sit at odd addresses.
    HWY_ALIGN uint16_t run[hn::MaxLanes(d)];
    for (; x + N <= n; x += N) {
      std::memcpy(run, src + 2 * x, sizeof(uint16_t) * N);
      hn::StoreU(hn::ConvertTo(d, hn::PromoteTo(di, hn::Load(d16, run))), d, dst + x);
    }
  }
  if (x < n) scalar::WidenRow(src + static_cast<std::ptrdiff_t>(bytes) * x, bytes, dst + x, n - x);
}

// A full vector of bytes from each row gives two vectors of means: byte pairs
// summed as 16-bit lanes, then widened in halves.
void HalveBytes(const uint8_t* r0, const uint8_t* r1, float* dst, int32_t n) {
  int32_t x = 0;
#if HWY_TARGET != HWY_SCALAR
  const D d;
  const hn::Repartition<uint8_t, D> d8;
  const hn::Repartition<uint16_t, D> d16;
  const hn::Half<decltype(d16)> d16h;
  const hn::Repartition<uint32_t, D> d32;
  const hn::Repartition<int32_t, D> di;
  const int32_t N = static_cast<int32_t>(hn::Lanes(d));
  const V quarter = hn::Set(d, 0.25f);
  const auto low = hn::Set(d16, uint16_t{0xFF});
  for (; x + 2 * N <= n; x += 2 * N) {
    const auto a = hn::BitCast(d16, hn::LoadU(d8, r0 + 2 * x));
    const auto b = hn::BitCast(d16, hn::LoadU(d8, r1 + 2 * x));
    const auto sum = hn::Add(hn::Add(hn::And(a, low), hn::ShiftRight<8>(a)),
                             hn::Add(hn::And(b, low), hn::ShiftRight<8>(b)));
    const auto lo = hn::BitCast(di, hn::PromoteTo(d32, hn::LowerHalf(d16h, sum)));
    const auto hi = hn::BitCast(di, hn::PromoteTo(d32, hn::UpperHalf(d16h, sum)));
    hn::StoreU(hn::Mul(hn::ConvertTo(d, lo), quarter), d, dst + x);
    hn::StoreU(hn::Mul(hn::ConvertTo(d, hi), quarter), d, dst + x + N);
  }
#endif
  if (x < n) scalar::HalveBytes(r0 + 2 * x, r1 + 2 * x, dst + x, n - x);
}

// Even and odd columns apart, summed in the scalar twin's order.
void HalveFloats(const float* r0, const float* r1, float* dst, int32_t n) {
  int32_t x = 0;
#if HWY_TARGET != HWY_SCALAR
  const D d;
  const int32_t N = static_cast<int32_t>(hn::Lanes(d));
  const V quarter = hn::Set(d, 0.25f);
  for (; x + N <= n; x += N) {
    V e0, o0, e1, o1;
    hn::LoadInterleaved2(d, r0 + 2 * x, e0, o0);
    hn::LoadInterleaved2(d, r1 + 2 * x, e1, o1);
    hn::StoreU(hn::Mul(hn::Add(hn::Add(hn::Add(e0, o0), e1), o1), quarter), d, dst + x);
  }
#endif
  if (x < n) scalar::HalveFloats(r0 + 2 * x, r1 + 2 * x, dst + x, n - x);
}

void GradientStatsRow(const float* up, const float* mid, const float* down, int32_t n,
                      float offset, double* s) {
  const D d;
  const int32_t N = static_cast<int32_t>(hn::Lanes(d));
  const V half = hn::Set(d, 0.5f), off = hn::Set(d, offset);
  V e = hn::Zero(d), sum = hn::Zero(d), sum2 = hn::Zero(d);
  int32_t x = 1;
  for (; x + N + 1 <= n; x += N) {
    const V m = hn::Sub(hn::LoadU(d, mid + x), off);
    const V gx = hn::Mul(half, hn::Sub(hn::LoadU(d, mid + x + 1), hn::LoadU(d, mid + x - 1)));
    const V gy = hn::Mul(half, hn::Sub(hn::LoadU(d, up + x), hn::LoadU(d, down + x)));
    e = hn::MulAdd(gx, gx, hn::MulAdd(gy, gy, e));
    sum = hn::Add(sum, m);
    sum2 = hn::MulAdd(m, m, sum2);
  }
  s[0] += Sum(d, e);
  s[1] += Sum(d, sum);
  s[2] += Sum(d, sum2);
  // The last columns: the scalar twin over [x - 1, n) visits x .. n - 2.
  if (x + 1 < n)
    scalar::GradientStatsRow(up + x - 1, mid + x - 1, down + x - 1, n - x + 1, offset, s);
}

// Whole vectors tested at once; the rare vector with a candidate is looked
// at lane by lane, in order.
int32_t SpikeRow(const float* mid, int32_t n, float limit, int32_t* out) {
  int32_t count = 0, x = 1;
#if HWY_TARGET != HWY_SCALAR
  const D d;
  const int32_t N = static_cast<int32_t>(hn::Lanes(d));
  const V lim = hn::Set(d, limit);
  for (; x + N + 1 <= n; x += N) {
    const V l = hn::LoadU(d, mid + x - 1), c = hn::LoadU(d, mid + x), r = hn::LoadU(d, mid + x + 1);
    const auto up = hn::Gt(hn::Sub(c, hn::Max(l, r)), lim);
    const auto down = hn::Gt(hn::Sub(hn::Min(l, r), c), lim);
    if (hn::AllFalse(d, hn::Or(up, down))) continue;
    const int32_t found = scalar::SpikeRow(mid + x - 1, N + 2, limit, out + count);
    for (int32_t i = count; i < count + found; ++i) out[i] += x - 1;
    count += found;
  }
#endif
  if (x + 1 < n) {
    const int32_t found = scalar::SpikeRow(mid + x - 1, n - x + 1, limit, out + count);
    for (int32_t i = count; i < count + found; ++i) out[i] += x - 1;
    count += found;
  }
  return count;
}

// As SpikeRow: whole vectors tested, the rare one with a strong lane
// looked at lane by lane.
int32_t StrongRow(const float* gx, const float* gy, int32_t n, float limit, int32_t* out) {
  int32_t count = 0, x = 0;
#if HWY_TARGET != HWY_SCALAR
  const D d;
  const int32_t N = static_cast<int32_t>(hn::Lanes(d));
  const V lim = hn::Set(d, limit);
  for (; x + N <= n; x += N) {
    const V a = hn::LoadU(d, gx + x), b = hn::LoadU(d, gy + x);
    if (hn::AllFalse(d, hn::Gt(hn::Add(hn::Mul(a, a), hn::Mul(b, b)), lim))) continue;
    const int32_t found = scalar::StrongRow(gx + x, gy + x, N, limit, out + count);
    for (int32_t i = count; i < count + found; ++i) out[i] += x;
    count += found;
  }
#endif
  const int32_t found = scalar::StrongRow(gx + x, gy + x, n - x, limit, out + count);
  for (int32_t i = count; i < count + found; ++i) out[i] += x;
  return count + found;
}

}  // namespace HWY_NAMESPACE
}  // namespace vantor::drift
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantor::drift {
namespace {

HWY_EXPORT(SsdBlock);
HWY_EXPORT(FilterRow);
HWY_EXPORT(FilterColumns);
HWY_EXPORT(NormalRow);
HWY_EXPORT(GradientRow);
HWY_EXPORT(WidenRow);
HWY_EXPORT(HalveBytes);
HWY_EXPORT(HalveFloats);
HWY_EXPORT(GradientStatsRow);
HWY_EXPORT(SpikeRow);
HWY_EXPORT(StrongRow);

double VectorSsdBlock(const float* a, std::ptrdiff_t ap, const float* b, std::ptrdiff_t bp,
                      int32_t w, int32_t h) {
  return HWY_DYNAMIC_DISPATCH(SsdBlock)(a, ap, b, bp, w, h);
}
void VectorFilterRow(const float* src, float* dst, int32_t n, const float* taps, int32_t count) {
  HWY_DYNAMIC_DISPATCH(FilterRow)(src, dst, n, taps, count);
}
void VectorFilterColumns(const float* const* rows, const float* sub, float* dst, int32_t n,
                         const float* taps, int32_t count) {
  HWY_DYNAMIC_DISPATCH(FilterColumns)(rows, sub, dst, n, taps, count);
}
void VectorNormalRow(const float* r, const float* gx, const float* gy, const float* a,
                     const float* lap, const float* u, int32_t n, const Photometric& p,
                     Weighting kind, float c, const LevelLimit* limit, NormalSums* sums) {
  HWY_DYNAMIC_DISPATCH(NormalRow)(r, gx, gy, a, lap, u, n, p, kind, c, limit, sums);
}

void VectorGradientRow(const float* up, const float* mid, const float* down, int32_t n, float* gx,
                       float* gy, float* lap) {
  HWY_DYNAMIC_DISPATCH(GradientRow)(up, mid, down, n, gx, gy, lap);
}
void VectorWidenRow(const uint8_t* src, int32_t bytes, float* dst, int32_t n) {
  HWY_DYNAMIC_DISPATCH(WidenRow)(src, bytes, dst, n);
}
void VectorHalveBytes(const uint8_t* r0, const uint8_t* r1, float* dst, int32_t n) {
  HWY_DYNAMIC_DISPATCH(HalveBytes)(r0, r1, dst, n);
}
void VectorHalveFloats(const float* r0, const float* r1, float* dst, int32_t n) {
  HWY_DYNAMIC_DISPATCH(HalveFloats)(r0, r1, dst, n);
}
void VectorGradientStatsRow(const float* up, const float* mid, const float* down, int32_t n,
                            float offset, double* s) {
  HWY_DYNAMIC_DISPATCH(GradientStatsRow)(up, mid, down, n, offset, s);
}

int32_t VectorSpikeRow(const float* mid, int32_t n, float limit, int32_t* out) {
  return HWY_DYNAMIC_DISPATCH(SpikeRow)(mid, n, limit, out);
}
int32_t VectorStrongRow(const float* gx, const float* gy, int32_t n, float limit, int32_t* out) {
  return HWY_DYNAMIC_DISPATCH(StrongRow)(gx, gy, n, limit, out);
}

constexpr DriftKernels kScalar{scalar::SsdBlock,    scalar::FilterRow,  scalar::FilterColumns,
                               scalar::NormalRow,   scalar::GradientRow, scalar::WidenRow,
                               scalar::HalveBytes,  scalar::GradientStatsRow,
                               scalar::HalveFloats, scalar::WarpRow,
                               scalar::MotionNormalRow, scalar::SpikeRow,
                               scalar::StrongRow};
constexpr DriftKernels kVector{VectorSsdBlock,    VectorFilterRow,   VectorFilterColumns,
                               VectorNormalRow,   VectorGradientRow, VectorWidenRow,
                               VectorHalveBytes,  VectorGradientStatsRow,
                               VectorHalveFloats, VectorWarpRow,
                               VectorMotionNormalRow,   VectorSpikeRow,
                               VectorStrongRow};

}  // namespace

const DriftKernels& DriftKernelsFor(bool vector) { return vector ? kVector : kScalar; }

const DriftKernels& DriftKernelsForMode() {
  return DriftKernelsFor(CurrentKernelPath() == KernelPath::kVector);
}

}  // namespace vantor::drift
#endif  // HWY_ONCE
