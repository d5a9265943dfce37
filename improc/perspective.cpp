// Mean square difference between image B and image A mapped through a
// projective matrix, over the set bits of a mask. The scalar loop is the
// reference; the vector loop runs across pixels in double precision, with
// affine matrices (no division) and pure translations (bilinear weights fixed
// per row, contiguous loads) as special cases.

// Positions must come out with the same bits in the scalar and the vector
// code, so that both count exactly the same pixels: no fused multiply-add
// unless written out.
#pragma GCC optimize("fp-contract=off")

#ifndef VANTOR_IMPROC_PERSPECTIVE_SHARED
#define VANTOR_IMPROC_PERSPECTIVE_SHARED

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "improc/perspective.h"
#include "improc/perspective_internal.h"
#include "kernels/kernel_path.h"

namespace vantor {
namespace perspective {

// The walk over image B and the sampling geometry of image A.
struct Frame {
  const uint8_t* a;
  std::ptrdiff_t a_pitch;
  int32_t w, h;  // image A: the sample positions must lie inside it
  double wd, hd;
  const uint8_t* b;
  std::ptrdiff_t b_pitch;
  const uint8_t* mask;  // null: every pixel
  std::ptrdiff_t mask_pitch;
  int32_t walk_w, walk_h;  // the pixels that both images have
  double m[9];
  bool nearest;
};

inline bool MakeFrame(const uint8_t* a, int32_t aw, int32_t ah, int32_t a_pitch,
                      const uint8_t* b, int32_t bw, int32_t bh, int32_t b_pitch,
                      const uint8_t* mask, int32_t mask_pitch, const double* m, int32_t sampling,
                      Frame* f) {
  if (a == nullptr || b == nullptr || m == nullptr) return false;
  f->walk_w = std::min(aw, bw);
  f->walk_h = std::min(ah, bh);
  if (f->walk_w <= 0 || f->walk_h <= 0) return false;
  f->a = a;
  f->a_pitch = a_pitch;
  f->w = aw;
  f->h = ah;
  f->wd = aw;
  f->hd = ah;
  f->b = b;
  f->b_pitch = b_pitch;
  f->mask = mask;
  f->mask_pitch = mask_pitch;
  for (int i = 0; i < 9; ++i) f->m[i] = m[i];
  f->nearest = sampling == 1;
  return true;
}

struct RowTerms {
  double rx, ry, rw;
};

inline RowTerms Row(const Frame& f, int32_t y) {
  const double yd = y;
  return {f.m[1] * yd + f.m[2], f.m[4] * yd + f.m[5], f.m[7] * yd + f.m[8]};
}

// Position in A of pixel x of the row; false when the denominator vanishes.
inline bool Position(const Frame& f, const RowTerms& r, int32_t x, double* sx, double* sy) {
  const double xd = x;
  const double d = f.m[6] * xd + r.rw;
  if (std::fabs(d) < 1e-15) return false;
  *sx = (f.m[0] * xd + r.rx) / d;
  *sy = (f.m[3] * xd + r.ry) / d;
  return true;
}

// Samples A at (sx, sy); false when the position lies outside A.
inline bool Sample(const Frame& f, double sx, double sy, double* sample) {
  if (f.nearest) {
    const double fx = std::floor(sx + 0.5);
    const double fy = std::floor(sy + 0.5);
    if (!(fx >= 0.0 && fx < f.wd && fy >= 0.0 && fy < f.hd)) return false;
    *sample = f.a[static_cast<std::ptrdiff_t>(fy) * f.a_pitch + static_cast<std::ptrdiff_t>(fx)];
    return true;
  }
  const double flx = std::floor(sx);
  const double fly = std::floor(sy);
  if (!(flx >= 0.0 && flx < f.wd && fly >= 0.0 && fly < f.hd)) return false;
  const int32_t ix = static_cast<int32_t>(flx);
  const int32_t iy = static_cast<int32_t>(fly);
  const double fx = sx - flx;
  const double fy = sy - fly;
  // The last column and row stand in for their missing neighbours.
  const int32_t ix1 = ix + 1 == f.w ? ix : ix + 1;
  const int32_t iy1 = iy + 1 == f.h ? iy : iy + 1;
  const uint8_t* r0 = f.a + static_cast<std::ptrdiff_t>(iy) * f.a_pitch;
  const uint8_t* r1 = f.a + static_cast<std::ptrdiff_t>(iy1) * f.a_pitch;
  *sample = (r0[ix] * (1.0 - fx) + r0[ix1] * fx) * (1.0 - fy) +
            (r1[ix] * (1.0 - fx) + r1[ix1] * fx) * fy;
  return true;
}

// Adds pixel x of the row to the sums when it maps inside A.
inline void Visit(const Frame& f, const RowTerms& r, const uint8_t* b_row, int32_t x,
                  double* sum, int64_t* count) {
  double sx, sy, sample;
  if (!Position(f, r, x, &sx, &sy) || !Sample(f, sx, sy, &sample)) return;
  const double diff = b_row[x] - sample;
  *sum += diff * diff;
  ++*count;
}

inline const uint8_t* MaskRow(const Frame& f, int32_t y) {
  return f.mask == nullptr ? nullptr : f.mask + static_cast<std::ptrdiff_t>(y) * f.mask_pitch;
}

inline int64_t MaskBytes(const Frame& f) { return (static_cast<int64_t>(f.walk_w) + 7) / 8; }

inline double Result(double sum, int64_t count, int64_t* counted) {
  if (counted != nullptr) *counted = count;
  return count > 0 ? sum / static_cast<double>(count) : -1.0;
}

}  // namespace perspective

double PerspectiveMaskDiffScalar(const uint8_t* a, int32_t aWidth, int32_t aHeight,
                                 int32_t aPitch, const uint8_t* b, int32_t bWidth,
                                 int32_t bHeight, int32_t bPitch, const uint8_t* mask,
                                 int32_t maskPitch, const double* m, int32_t sampling,
                                 int64_t* counted) {
  using namespace perspective;
  Frame f;
  if (!MakeFrame(a, aWidth, aHeight, aPitch, b, bWidth, bHeight, bPitch, mask, maskPitch, m,
                 sampling, &f)) {
    return Result(0.0, 0, counted);
  }
  double sum = 0.0;
  int64_t count = 0;
  const int64_t bytes = MaskBytes(f);
  for (int32_t y = 0; y < f.walk_h; ++y) {
    const RowTerms r = Row(f, y);
    const uint8_t* b_row = f.b + static_cast<std::ptrdiff_t>(y) * f.b_pitch;
    const uint8_t* m_row = MaskRow(f, y);
    if (m_row == nullptr) {
      for (int32_t x = 0; x < f.walk_w; ++x) Visit(f, r, b_row, x, &sum, &count);
      continue;
    }
    for (int64_t j = 0; j < bytes; ++j) {
      unsigned bits = m_row[j];
      while (bits != 0) {  // zero bytes skip eight columns at once
        const int64_t x = 8 * j + std::countr_zero(bits);
        if (x >= f.walk_w) break;
        Visit(f, r, b_row, static_cast<int32_t>(x), &sum, &count);
        bits &= bits - 1;
      }
    }
  }
  return Result(sum, count, counted);
}

}  // namespace vantor

#endif  // VANTOR_IMPROC_PERSPECTIVE_SHARED

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "improc/perspective.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace vantor {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using perspective::Frame;
using perspective::RowTerms;

using D = hn::CappedTag<double, 8>;
using V = hn::Vec<D>;

// Lanes(D) bytes from p as doubles.
HWY_INLINE V LoadBytes(D d, const uint8_t* p) {
  const hn::Rebind<uint8_t, D> d8;
  const hn::Rebind<int32_t, D> d32;
  return hn::PromoteTo(d, hn::PromoteTo(d32, hn::LoadU(d8, p)));
}

// Running sums: vector lanes for the vector pixels, a scalar for the rest.
struct Sums {
  V acc;
  double sum = 0.0;
  int64_t count = 0;
};

// Lowest x of [from, to) with pred(x) true, pred being false then true along
// the row; guess is where to start looking.
template <class Pred>
int32_t FirstTrue(int32_t from, int32_t to, double guess, Pred pred) {
  int32_t x = from;
  if (guess >= static_cast<double>(to)) {
    x = to;
  } else if (guess > static_cast<double>(from)) {
    x = static_cast<int32_t>(guess);
  }
  while (x > from && pred(x - 1)) --x;
  while (x < to && !pred(x)) ++x;
  return x;
}

// Whether a translation by m2 along x keeps one whole-pixel offset k for the
// whole row (sample column = x + k); returns k.
bool ConstantOffset(const Frame& f, int32_t* k) {
  const double m2 = f.m[2];
  const double limit = 16777216.0;  // 2^24: below it x + m2 is near exact
  if (!(std::fabs(m2) <= limit) || f.w > (1 << 24) || f.h > (1 << 24)) return false;
  if (!f.nearest) {
    // Bilinear: a rounding across a column boundary only trades weight
    // 1 - tiny on one column for weight 1 on the next.
    *k = static_cast<int32_t>(std::floor(m2));
    return true;
  }
  const double shifted = m2 + 0.5;
  const double kd = std::floor(shifted);
  const double r = shifted - kd;
  // Exact when 2 m2 is whole; otherwise the rounding errors (< 1e-8 here)
  // must stay clear of a half-pixel.
  if (std::floor(2.0 * m2) != 2.0 * m2 && !(r > 1e-6 && r < 1.0 - 1e-6)) return false;
  *k = static_cast<int32_t>(kd);
  return true;
}

// One row of a pure translation (m0 = m4 = 1, m1 = m3 = 0, row 2 = 0 0 1).
// Pixels whose sample and right neighbour both lie at column x + k with one
// fixed weight go through vectors; the few others through the scalar visit.
void TranslationRow(const Frame& f, int32_t y, int32_t k, Sums& s) {
  const D d;
  const size_t N = hn::Lanes(d);
  const RowTerms r = perspective::Row(f, y);
  double sx0 = 0.0, sy = 0.0;
  if (!perspective::Position(f, r, 0, &sx0, &sy)) return;
  // sy is the same for every pixel of the row.
  const double fly = std::floor(f.nearest ? sy + 0.5 : sy);
  if (!(fly >= 0.0 && fly < f.hd)) return;
  const int32_t iy = static_cast<int32_t>(fly);

  // The columns that map inside A form one run [lo, hi).
  auto column = [&](int32_t x) {
    double sx = 0.0, unused = 0.0;
    perspective::Position(f, r, x, &sx, &unused);
    return std::floor(f.nearest ? sx + 0.5 : sx);
  };
  const double m2 = f.m[2];
  const int32_t lo = FirstTrue(0, f.walk_w, -m2 - 1.0, [&](int32_t x) { return column(x) >= 0.0; });
  const int32_t hi =
      FirstTrue(lo, f.walk_w, f.wd - m2 - 1.0, [&](int32_t x) { return column(x) >= f.wd; });
  if (lo >= hi) return;

  // Vector columns: x + k and (bilinear) x + k + 1 inside A.
  const int64_t need = f.nearest ? 0 : 1;
  const int32_t body_lo = static_cast<int32_t>(std::max<int64_t>(lo, -static_cast<int64_t>(k)));
  const int32_t body_hi = static_cast<int32_t>(std::max<int64_t>(
      body_lo, std::min<int64_t>(hi, static_cast<int64_t>(f.w) - need - k)));

  const uint8_t* b_row = f.b + static_cast<std::ptrdiff_t>(y) * f.b_pitch;
  const uint8_t* r0 = f.a + static_cast<std::ptrdiff_t>(iy) * f.a_pitch + k;
  const int32_t iy1 = iy + 1 == f.h ? iy : iy + 1;
  const uint8_t* r1 = f.a + static_cast<std::ptrdiff_t>(iy1) * f.a_pitch + k;
  const double fxc = f.nearest ? 0.0 : m2 - std::floor(m2);
  const double fyc = f.nearest ? 0.0 : sy - fly;
  // One weight per neighbour, the same for the whole row.
  const V w00 = hn::Set(d, (1.0 - fxc) * (1.0 - fyc)), w10 = hn::Set(d, fxc * (1.0 - fyc));
  const V w01 = hn::Set(d, (1.0 - fxc) * fyc), w11 = hn::Set(d, fxc * fyc);

  auto diff_at = [&](size_t x) HWY_ATTR {
    const V bv = LoadBytes(d, b_row + x);
    if (f.nearest) return hn::Sub(bv, LoadBytes(d, r0 + x));
    V sample = hn::Mul(LoadBytes(d, r0 + x), w00);
    sample = hn::MulAdd(LoadBytes(d, r0 + x + 1), w10, sample);
    sample = hn::MulAdd(LoadBytes(d, r1 + x), w01, sample);
    sample = hn::MulAdd(LoadBytes(d, r1 + x + 1), w11, sample);
    return hn::Sub(bv, sample);
  };

  // Every pixel of [from, to), to - from a multiple of N.
  auto run = [&](size_t from, size_t to) HWY_ATTR {
    V acc1 = hn::Zero(d);
    size_t x = from;
    for (; x + 2 * N <= to; x += 2 * N) {
      const V d0 = diff_at(x);
      const V d1 = diff_at(x + N);
      s.acc = hn::MulAdd(d0, d0, s.acc);
      acc1 = hn::MulAdd(d1, d1, acc1);
    }
    if (x < to) {
      const V d0 = diff_at(x);
      s.acc = hn::MulAdd(d0, d0, s.acc);
    }
    s.acc = hn::Add(s.acc, acc1);
    s.count += static_cast<int64_t>(to - from);
  };

  const uint8_t* m_row = perspective::MaskRow(f, y);
  if (m_row == nullptr) {
    for (int32_t x = lo; x < body_lo; ++x) perspective::Visit(f, r, b_row, x, &s.sum, &s.count);
    const int32_t end = body_lo + (body_hi - body_lo) / static_cast<int32_t>(N) * static_cast<int32_t>(N);
    run(static_cast<size_t>(body_lo), static_cast<size_t>(end));
    for (int32_t x = end; x < hi; ++x) perspective::Visit(f, r, b_row, x, &s.sum, &s.count);
    return;
  }

  const int64_t last = (hi - 1) / 8;
  for (int64_t j = lo / 8; j <= last; ++j) {
    const unsigned bits = m_row[j];
    if (bits == 0) continue;
    const int64_t x0 = 8 * j;
    if (x0 >= body_lo && x0 + 8 <= body_hi) {
      if (bits == 0xFFu) {
        // A run of full mask bytes goes through in one stretch.
        int64_t end = x0 + 8;
        while (j < last && m_row[j + 1] == 0xFFu && end + 8 <= body_hi) {
          ++j;
          end += 8;
        }
        run(static_cast<size_t>(x0), static_cast<size_t>(end));
        continue;
      }
      for (size_t c = 0; c < 8; c += N) {
        const unsigned sub = (bits >> c) & ((1u << N) - 1u);
        if (sub == 0) continue;
        V diff = diff_at(static_cast<size_t>(x0) + c);
        if (sub != (1u << N) - 1u) {
          const uint8_t packed = static_cast<uint8_t>(sub);
          diff = hn::IfThenElseZero(hn::LoadMaskBits(d, &packed), diff);
        }
        s.acc = hn::MulAdd(diff, diff, s.acc);
      }
      s.count += std::popcount(bits);
      continue;
    }
    for (unsigned rest = bits; rest != 0; rest &= rest - 1) {
      const int64_t x = x0 + std::countr_zero(rest);
      if (x >= lo && x < hi) perspective::Visit(f, r, b_row, static_cast<int32_t>(x), &s.sum, &s.count);
    }
  }
}

// Any matrix: positions computed in vectors exactly as the scalar visit does
// (affine matrices skip the division by 1), samples gathered per lane.
template <bool kProjective>
void GeneralRow(const Frame& f, int32_t y, Sums& s) {
  const D d;
  constexpr size_t kMaxLanes = 8;
  const size_t N = hn::Lanes(d);
  const RowTerms r = perspective::Row(f, y);
  const uint8_t* b_row = f.b + static_cast<std::ptrdiff_t>(y) * f.b_pitch;
  const uint8_t* m_row = perspective::MaskRow(f, y);
  const int64_t bytes = perspective::MaskBytes(f);
  const V m0 = hn::Set(d, f.m[0]), m3 = hn::Set(d, f.m[3]), m6 = hn::Set(d, f.m[6]);
  const V rx = hn::Set(d, r.rx), ry = hn::Set(d, r.ry), rw = hn::Set(d, r.rw);
  const V zero = hn::Zero(d), half = hn::Set(d, 0.5), one = hn::Set(d, 1.0);
  const V wd = hn::Set(d, f.wd), hd = hn::Set(d, f.hd), tiny = hn::Set(d, 1e-15);
  // Samples come from 4-byte gathers when every offset fits in 32 bits.
  const hn::Rebind<int32_t, D> di;
  const int64_t extent = static_cast<int64_t>(f.a_pitch) * (f.h - 1) + f.w;
  const bool gather = f.a_pitch > 0 && extent >= 4 && extent < (int64_t{1} << 31);
  const V pitch = hn::Set(d, static_cast<double>(f.a_pitch));
  const V last_read = hn::Set(d, static_cast<double>(extent - 4));
  const int32_t* a32 = reinterpret_cast<const int32_t*>(f.a);
  HWY_ALIGN double flx[kMaxLanes], fly[kMaxLanes];
  HWY_ALIGN double a00[kMaxLanes], a10[kMaxLanes], a01[kMaxLanes], a11[kMaxLanes], bb[kMaxLanes];

  for (int64_t j = 0; j < bytes; ++j) {
    unsigned bits = m_row == nullptr ? 0xFFu : m_row[j];
    const int64_t x0 = 8 * j;
    if (x0 + 8 > f.walk_w) bits &= (1u << (f.walk_w - x0)) - 1u;
    if (bits == 0) continue;
    for (size_t c = 0; c < 8; c += N) {
      const unsigned sub = (bits >> c) & ((1u << N) - 1u);
      if (sub == 0) continue;
      const uint8_t packed = static_cast<uint8_t>(sub);
      auto valid = hn::LoadMaskBits(d, &packed);
      const V xv = hn::Iota(d, static_cast<double>(x0 + static_cast<int64_t>(c)));
      V sx = hn::Add(hn::Mul(m0, xv), rx);
      V sy = hn::Add(hn::Mul(m3, xv), ry);
      if (kProjective) {
        const V den = hn::Add(hn::Mul(m6, xv), rw);
        valid = hn::And(valid, hn::Not(hn::Lt(hn::Abs(den), tiny)));
        sx = hn::Div(sx, den);
        sy = hn::Div(sy, den);
      }
      const V fx = hn::Floor(f.nearest ? hn::Add(sx, half) : sx);
      const V fy = hn::Floor(f.nearest ? hn::Add(sy, half) : sy);
      valid = hn::And(valid, hn::And(hn::And(hn::Ge(fx, zero), hn::Lt(fx, wd)),
                                     hn::And(hn::Ge(fy, zero), hn::Lt(fy, hd))));
      uint8_t lanes = 0;
      hn::StoreMaskBits(d, valid, &lanes);
      if (lanes == 0) continue;
      const size_t x = static_cast<size_t>(x0) + c;
      if (gather) {
        // Byte offsets of the samples (and of the row below); invalid lanes
        // read at 0. Every 4-byte read must end inside A's rows.
        const V off = hn::IfThenElseZero(valid, hn::Add(hn::Mul(fy, pitch), fx));
        const V off1 = f.nearest ? off
                                 : hn::Add(off, hn::IfThenElseZero(hn::Lt(hn::Add(fy, one), hd),
                                                                   pitch));
        if (hn::AllTrue(d, hn::Le(off1, last_read)) && x + N <= static_cast<size_t>(f.walk_w)) {
          const auto byte = hn::Set(di, 0xFF);
          const auto g0 = hn::GatherOffset(di, a32, hn::DemoteTo(di, off));
          V a00v = hn::PromoteTo(d, hn::And(g0, byte));
          V sample = a00v;
          if (!f.nearest) {
            const auto g1 = hn::GatherOffset(di, a32, hn::DemoteTo(di, off1));
            // The last column stands in for its missing right neighbour.
            const auto right = hn::Lt(hn::Add(fx, one), wd);
            const V a10v =
                hn::IfThenElse(right, hn::PromoteTo(d, hn::And(hn::ShiftRight<8>(g0), byte)), a00v);
            const V a01v = hn::PromoteTo(d, hn::And(g1, byte));
            const V a11v =
                hn::IfThenElse(right, hn::PromoteTo(d, hn::And(hn::ShiftRight<8>(g1), byte)), a01v);
            const V wx = hn::Sub(sx, fx), wy = hn::Sub(sy, fy);
            const V ox = hn::Sub(one, wx), oy = hn::Sub(one, wy);
            const V top = hn::Add(hn::Mul(a00v, ox), hn::Mul(a10v, wx));
            const V bot = hn::Add(hn::Mul(a01v, ox), hn::Mul(a11v, wx));
            sample = hn::Add(hn::Mul(top, oy), hn::Mul(bot, wy));
          }
          const V diff = hn::IfThenElseZero(valid, hn::Sub(LoadBytes(d, b_row + x), sample));
          s.acc = hn::MulAdd(diff, diff, s.acc);
          s.count += std::popcount(lanes);
          continue;
        }
      }
      hn::Store(fx, d, flx);
      hn::Store(fy, d, fly);
      for (size_t i = 0; i < N; ++i) {
        a00[i] = a10[i] = a01[i] = a11[i] = bb[i] = 0.0;
        if (((lanes >> i) & 1u) == 0) continue;
        const int32_t ix = static_cast<int32_t>(flx[i]);
        const int32_t iy = static_cast<int32_t>(fly[i]);
        const uint8_t* p0 = f.a + static_cast<std::ptrdiff_t>(iy) * f.a_pitch;
        bb[i] = b_row[x0 + static_cast<int64_t>(c + i)];
        a00[i] = p0[ix];
        if (f.nearest) continue;
        const int32_t ix1 = ix + 1 == f.w ? ix : ix + 1;
        const int32_t iy1 = iy + 1 == f.h ? iy : iy + 1;
        const uint8_t* p1 = f.a + static_cast<std::ptrdiff_t>(iy1) * f.a_pitch;
        a10[i] = p0[ix1];
        a01[i] = p1[ix];
        a11[i] = p1[ix1];
      }
      V sample = hn::Load(d, a00);
      if (!f.nearest) {
        const V wx = hn::Sub(sx, fx), wy = hn::Sub(sy, fy);
        const V ox = hn::Sub(one, wx), oy = hn::Sub(one, wy);
        const V top = hn::Add(hn::Mul(sample, ox), hn::Mul(hn::Load(d, a10), wx));
        const V bot = hn::Add(hn::Mul(hn::Load(d, a01), ox), hn::Mul(hn::Load(d, a11), wx));
        sample = hn::Add(hn::Mul(top, oy), hn::Mul(bot, wy));
      }
      const V diff = hn::IfThenElseZero(valid, hn::Sub(hn::Load(d, bb), sample));
      s.acc = hn::MulAdd(diff, diff, s.acc);
      s.count += std::popcount(lanes);
    }
  }
}

double Vector(const uint8_t* a, int32_t aWidth, int32_t aHeight, int32_t aPitch,
              const uint8_t* b, int32_t bWidth, int32_t bHeight, int32_t bPitch,
              const uint8_t* mask, int32_t maskPitch, const double* m, int32_t sampling,
              int64_t* counted) {
  Frame f;
  if (!perspective::MakeFrame(a, aWidth, aHeight, aPitch, b, bWidth, bHeight, bPitch, mask,
                              maskPitch, m, sampling, &f)) {
    return perspective::Result(0.0, 0, counted);
  }
  const D d;
  Sums s;
  s.acc = hn::Zero(d);
  const bool affine = f.m[6] == 0.0 && f.m[7] == 0.0 && f.m[8] == 1.0;
  const bool shift = affine && f.m[0] == 1.0 && f.m[1] == 0.0 && f.m[3] == 0.0 && f.m[4] == 1.0;
  int32_t k = 0;
  if (shift && ConstantOffset(f, &k)) {
    for (int32_t y = 0; y < f.walk_h; ++y) TranslationRow(f, y, k, s);
  } else if (affine) {
    for (int32_t y = 0; y < f.walk_h; ++y) GeneralRow<false>(f, y, s);
  } else {
    for (int32_t y = 0; y < f.walk_h; ++y) GeneralRow<true>(f, y, s);
  }
  const double sum = hn::GetLane(hn::SumOfLanes(d, s.acc)) + s.sum;
  return perspective::Result(sum, s.count, counted);
}

}  // namespace HWY_NAMESPACE
}  // namespace vantor
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantor {

HWY_EXPORT(Vector);

double PerspectiveMaskDiffVector(const uint8_t* a, int32_t aWidth, int32_t aHeight,
                                 int32_t aPitch, const uint8_t* b, int32_t bWidth,
                                 int32_t bHeight, int32_t bPitch, const uint8_t* mask,
                                 int32_t maskPitch, const double* m, int32_t sampling,
                                 int64_t* counted) {
  return HWY_DYNAMIC_DISPATCH(Vector)(a, aWidth, aHeight, aPitch, b, bWidth, bHeight, bPitch,
                                      mask, maskPitch, m, sampling, counted);
}

}  // namespace vantor

extern "C" double PerspectiveMaskDiff(const uint8_t* aPixels, int32_t aWidth, int32_t aHeight,
                                      int32_t aPitch, const uint8_t* bPixels, int32_t bWidth,
                                      int32_t bHeight, int32_t bPitch, const uint8_t* maskPixels,
                                      int32_t maskPitch, const double* matrix, int32_t sampling) {
  // counted given explicitly: a kernel passed by name keeps no default arguments.
  return vantor::RunOnPath(vantor::CurrentKernelPath(), vantor::PerspectiveMaskDiffScalar,
                           vantor::PerspectiveMaskDiffVector, aPixels, aWidth, aHeight, aPitch,
                           bPixels, bWidth, bHeight, bPitch, maskPixels, maskPitch, matrix,
                           sampling, nullptr);
}
#endif  // HWY_ONCE
