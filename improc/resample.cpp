// ResampleAffine: one resampler for every aligned frame. Weights are found
// per axis and applied columns first, then rows, in a fixed order of
// operations, so the separable translation path, the general affine path,
// the vector and the scalar kernels all give the same values. Only the
// weighted sum of up to four rows has two twins (Highway vectors, scalar);
// it carries the work of both passes of a translation.

#ifndef VANTOR_IMPROC_RESAMPLE_SHARED
#define VANTOR_IMPROC_RESAMPLE_SHARED

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "generic/last_error.h"
#include "improc/resample.h"
#include "kernels/kernel_path.h"

namespace vantor::resample {

// out[i] = (((w0 r0[i]) + w1 r1[i]) + w2 r2[i]) + w3 r3[i] over the first `taps`
// rows: products and sums rounded one by one (no fused multiply-add, see the
// build file), the same in both twins.
template <class T>
void CombineScalar(const T* const* rows, const T* w, int taps, T* out, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    T acc = w[0] * rows[0][i];
    for (int t = 1; t < taps; ++t) acc = acc + w[t] * rows[t][i];
    out[i] = acc;
  }
}

void CombineVectorF(const float* const* rows, const float* w, int taps, float* out, size_t n);
void CombineVectorD(const double* const* rows, const double* w, int taps, double* out, size_t n);

}  // namespace vantor::resample

#endif  // VANTOR_IMPROC_RESAMPLE_SHARED

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "improc/resample.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace vantor::resample {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <int kTaps, class T>
HWY_INLINE void CombineTaps(const T* const* rows, const T* w, T* out, size_t n) {
  const hn::ScalableTag<T> d;
  const size_t N = hn::Lanes(d);
  size_t i = 0;
  if (n >= N) {
    const auto w0 = hn::Set(d, w[0]);
    const auto w1 = hn::Set(d, kTaps > 1 ? w[1] : T(0));
    const auto w2 = hn::Set(d, kTaps > 2 ? w[2] : T(0));
    const auto w3 = hn::Set(d, kTaps > 3 ? w[3] : T(0));
    for (; i + N <= n; i += N) {
      auto acc = hn::Mul(w0, hn::LoadU(d, rows[0] + i));
      if constexpr (kTaps > 1) acc = hn::Add(acc, hn::Mul(w1, hn::LoadU(d, rows[1] + i)));
      if constexpr (kTaps > 2) acc = hn::Add(acc, hn::Mul(w2, hn::LoadU(d, rows[2] + i)));
      if constexpr (kTaps > 3) acc = hn::Add(acc, hn::Mul(w3, hn::LoadU(d, rows[3] + i)));
      hn::StoreU(acc, d, out + i);
    }
  }
  const T* tail[4] = {rows[0] + i, kTaps > 1 ? rows[1] + i : nullptr,
                      kTaps > 2 ? rows[2] + i : nullptr, kTaps > 3 ? rows[3] + i : nullptr};
  CombineScalar(tail, w, kTaps, out + i, n - i);
}

template <class T>
HWY_INLINE void Combine(const T* const* rows, const T* w, int taps, T* out, size_t n) {
  switch (taps) {
    case 1: return CombineTaps<1>(rows, w, out, n);
    case 2: return CombineTaps<2>(rows, w, out, n);
    case 3: return CombineTaps<3>(rows, w, out, n);
    default: return CombineTaps<4>(rows, w, out, n);
  }
}

void CombineF(const float* const* rows, const float* w, int taps, float* out, size_t n) {
  Combine(rows, w, taps, out, n);
}

void CombineD(const double* const* rows, const double* w, int taps, double* out, size_t n) {
#if HWY_HAVE_FLOAT64
  Combine(rows, w, taps, out, n);
#else
  CombineScalar(rows, w, taps, out, n);
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace vantor::resample
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantor::resample {

HWY_EXPORT(CombineF);
HWY_EXPORT(CombineD);

void CombineVectorF(const float* const* rows, const float* w, int taps, float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(CombineF)(rows, w, taps, out, n);
}
void CombineVectorD(const double* const* rows, const double* w, int taps, double* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(CombineD)(rows, w, taps, out, n);
}

namespace {

constexpr double kSnap = 1e-6;  // a position this close to a whole number is that number

inline void CombineRows(KernelPath path, const float* const* rows, const float* w, int taps,
                        float* out, size_t n) {
  RunOnPath(path, CombineScalar<float>, CombineVectorF, rows, w, taps, out, n);
}
inline void CombineRows(KernelPath path, const double* const* rows, const double* w, int taps,
                        double* out, size_t n) {
  RunOnPath(path, CombineScalar<double>, CombineVectorD, rows, w, taps, out, n);
}

double Snap(double s) {
  const double r = std::nearbyint(s);
  return std::fabs(s - r) < kSnap ? r : s;
}

// The taps of one axis at a (snapped) position inside [0, n - 1]: the first
// source index (may lie one before the edge: callers clamp) and 1, 2 or 4
// weights, those of weight 0 left out.
template <class T>
struct Taps {
  int64_t first = 0;
  int count = 1;
  T w[4] = {1, 0, 0, 0};
};

template <class T>
Taps<T> TapsAt(double s, int interpolation) {
  Taps<T> t;
  if (interpolation == kResampleNearest) {
    t.first = static_cast<int64_t>(std::floor(s + 0.5));
    return t;
  }
  const double i = std::floor(s), f = s - i;
  t.first = static_cast<int64_t>(i);
  if (f == 0.0) return t;
  if (interpolation == kResampleLinear) {
    t.count = 2;
    t.w[0] = static_cast<T>(1.0 - f);
    t.w[1] = static_cast<T>(f);
    return t;
  }
  // Keys' cubic convolution, a = -0.5, at distances 1 + f, f, 1 - f, 2 - f.
  t.first -= 1;
  t.count = 4;
  t.w[0] = static_cast<T>(((-0.5 * f + 1.0) * f - 0.5) * f);
  t.w[1] = static_cast<T>((1.5 * f - 2.5) * f * f + 1.0);
  t.w[2] = static_cast<T>(((-1.5 * f + 2.0) * f + 0.5) * f);
  t.w[3] = static_cast<T>((0.5 * f - 0.5) * f * f);
  return t;
}

// Storage type S, computed in C.
template <class S>
using Compute = std::conditional_t<(sizeof(S) <= 2), float, double>;

template <class S, class C>
inline S Store(C v) {
  if constexpr (std::is_same_v<S, double>) {
    return v;
  } else if constexpr (std::is_same_v<S, float>) {
    if (v > FLT_MAX && v <= DBL_MAX) v = FLT_MAX;
    if (v < -FLT_MAX && v >= -DBL_MAX) v = -FLT_MAX;
    return static_cast<float>(v);
  } else {
    constexpr C lo = static_cast<C>(std::numeric_limits<S>::min());
    constexpr C hi = static_cast<C>(std::numeric_limits<S>::max());
    v = std::min(std::max(v, lo), hi);
    if constexpr (std::is_signed_v<S>) return static_cast<S>(std::floor(v + C(0.5)));
    else return static_cast<S>(static_cast<int32_t>(v + C(0.5)));  // v >= 0: truncation floors
  }
}

template <class S>
S FillAs(double fill) {
  if constexpr (std::is_floating_point_v<S>) return static_cast<S>(fill);
  else return static_cast<S>(std::floor(fill + 0.5));
}

struct Frame {
  const uint8_t* src;
  int64_t w, h, srcPitch;
  uint8_t* dst;
  int64_t dw, dh, dstPitch;
  int channels;
  const double* m;
  int interpolation;
  double fill;
};

template <class S>
inline const S* SrcRow(const Frame& f, int64_t y) {
  return reinterpret_cast<const S*>(f.src + y * f.srcPitch);
}
template <class S>
inline S* DstRow(const Frame& f, int64_t y) {
  return reinterpret_cast<S*>(f.dst + y * f.dstPitch);
}

template <class S>
void FillRange(S* row, int64_t from, int64_t to, int channels, S value) {
  std::fill(row + from * channels, row + to * channels, value);
}

// The destination range [lo, hi) of one axis whose translated positions
// d + offset + fraction lie inside [0, n - 1].
void Covered(int64_t offset, bool whole, int64_t n, int64_t dn, int64_t* lo, int64_t* hi) {
  const int64_t last = whole ? n - 1 : n - 2;
  *lo = std::clamp<int64_t>(-offset, 0, dn);
  *hi = std::clamp<int64_t>(last - offset + 1, *lo, dn);
}

// A translation: constant taps on each axis; each source row is converted
// (edge pixels repeated twice beyond either end), filtered along the row once,
// and the rows' filtered copies combined.
template <class S>
void Translate(const Frame& f, KernelPath path) {
  using C = Compute<S>;
  const int ch = f.channels;
  const S fill = FillAs<S>(f.fill);
  const double sx = Snap(f.m[2]), sy = Snap(f.m[5]);
  const Taps<C> tx = TapsAt<C>(sx - std::floor(sx), f.interpolation);
  const Taps<C> ty = TapsAt<C>(sy - std::floor(sy), f.interpolation);
  // The whole part of each shift (clamped far outside any frame).
  const int64_t ox = static_cast<int64_t>(std::clamp(std::floor(sx), -4e18, 4e18));
  const int64_t oy = static_cast<int64_t>(std::clamp(std::floor(sy), -4e18, 4e18));
  int64_t x0, x1, y0, y1;
  Covered(ox, sx == std::floor(sx), f.w, f.dw, &x0, &x1);
  Covered(oy, sy == std::floor(sy), f.h, f.dh, &y0, &y1);
  if (f.interpolation == kResampleNearest) {
    // Nearest: the pixel at floor(s + 0.5); fractions of a half or more move on.
    const int64_t nx = tx.first, ny = ty.first;
    for (int64_t y = 0; y < f.dh; ++y) {
      S* out = DstRow<S>(f, y);
      if (y < y0 || y >= y1 || x0 >= x1) {
        FillRange(out, 0, f.dw, ch, fill);
        continue;
      }
      FillRange(out, 0, x0, ch, fill);
      std::memcpy(out + x0 * ch, SrcRow<S>(f, y + oy + ny) + (x0 + ox + nx) * ch,
                  static_cast<size_t>((x1 - x0) * ch) * sizeof(S));
      FillRange(out, x1, f.dw, ch, fill);
    }
    return;
  }
  const int64_t span = std::max<int64_t>(x1 - x0, 0) * ch;
  constexpr int64_t kPad = 2;
  std::vector<C> padded(static_cast<size_t>((f.w + 2 * kPad) * ch));
  std::vector<C> filtered(static_cast<size_t>(span * 4));
  std::vector<C> combined(static_cast<size_t>(span));
  int64_t slotRow[4] = {-1, -1, -1, -1};
  // Source row r filtered along x, in slot r & 3 (four consecutive rows never share one).
  auto rowFiltered = [&](int64_t r) -> const C* {
    C* slot = filtered.data() + (r & 3) * span;
    if (slotRow[r & 3] == r) return slot;
    slotRow[r & 3] = r;
    const S* in = SrcRow<S>(f, r);
    C* p = padded.data();
    for (int64_t i = 0; i < f.w * ch; ++i) p[kPad * ch + i] = static_cast<C>(in[i]);
    for (int64_t k = 0; k < kPad; ++k)
      for (int c = 0; c < ch; ++c) {
        p[k * ch + c] = p[kPad * ch + c];
        p[(kPad + f.w + k) * ch + c] = p[(kPad + f.w - 1) * ch + c];
      }
    const C* taps[4];
    for (int t = 0; t < tx.count; ++t) taps[t] = p + (x0 + ox + tx.first + t + kPad) * ch;
    CombineRows(path, taps, tx.w, tx.count, slot, static_cast<size_t>(span));
    return slot;
  };
  for (int64_t y = 0; y < f.dh; ++y) {
    S* out = DstRow<S>(f, y);
    if (y < y0 || y >= y1 || span == 0) {
      FillRange(out, 0, f.dw, ch, fill);
      continue;
    }
    const C* rows[4];
    for (int t = 0; t < ty.count; ++t)
      rows[t] = rowFiltered(std::clamp<int64_t>(y + oy + ty.first + t, 0, f.h - 1));
    CombineRows(path, rows, ty.w, ty.count, combined.data(), static_cast<size_t>(span));
    FillRange(out, 0, x0, ch, fill);
    S* o = out + x0 * ch;
    for (int64_t i = 0; i < span; ++i) o[i] = Store<S>(combined[i]);
    FillRange(out, x1, f.dw, ch, fill);
  }
}

// Any affine map: the taps found for every pixel, summed in the translation
// path's order.
template <class S>
void General(const Frame& f) {
  using C = Compute<S>;
  const int ch = f.channels;
  const S fill = FillAs<S>(f.fill);
  const double* m = f.m;
  const double wl = static_cast<double>(f.w - 1), hl = static_cast<double>(f.h - 1);
  for (int64_t y = 0; y < f.dh; ++y) {
    S* out = DstRow<S>(f, y);
    for (int64_t x = 0; x < f.dw; ++x) {
      const double xd = static_cast<double>(x), yd = static_cast<double>(y);
      const double sx = Snap(m[0] * xd + m[1] * yd + m[2]);
      const double sy = Snap(m[3] * xd + m[4] * yd + m[5]);
      S* o = out + x * ch;
      if (!(sx >= 0.0 && sx <= wl && sy >= 0.0 && sy <= hl)) {
        for (int c = 0; c < ch; ++c) o[c] = fill;
        continue;
      }
      const Taps<C> tx = TapsAt<C>(sx, f.interpolation), ty = TapsAt<C>(sy, f.interpolation);
      int64_t cols[4];
      for (int i = 0; i < tx.count; ++i) cols[i] = std::clamp<int64_t>(tx.first + i, 0, f.w - 1);
      for (int c = 0; c < ch; ++c) {
        C v = 0;
        for (int j = 0; j < ty.count; ++j) {
          const S* row = SrcRow<S>(f, std::clamp<int64_t>(ty.first + j, 0, f.h - 1));
          C h = tx.w[0] * static_cast<C>(row[cols[0] * ch + c]);
          for (int i = 1; i < tx.count; ++i) h = h + tx.w[i] * static_cast<C>(row[cols[i] * ch + c]);
          v = j == 0 ? ty.w[0] * h : v + ty.w[j] * h;
        }
        o[c] = Store<S>(v);
      }
    }
  }
}

template <class S>
void Run(const Frame& f) {
  const double* m = f.m;
  if (m[0] == 1.0 && m[1] == 0.0 && m[3] == 0.0 && m[4] == 1.0)
    Translate<S>(f, CurrentKernelPath());
  else
    General<S>(f);
}

}  // namespace
}  // namespace vantor::resample

extern "C" int32_t ResampleMotionMatrix(const double* a, double dx, double dy, int32_t width,
                                        int32_t height, double* m) {
  namespace err = vantor::err;
  if (m == nullptr) return err::Fail(err::kParameter, "a null argument"), -1;
  if (!std::isfinite(dx) || !std::isfinite(dy))
    return err::Fail(err::kParameter, "the displacement is not a number"), -1;
  // Translation: row y of the picture takes the frame at y + dy (dy counts up).
  const double shift[6] = {1, 0, -dx, 0, 1, dy};
  std::copy(shift, shift + 6, m);
  if (a == nullptr || (a[0] == 1 && a[1] == 0 && a[2] == 0 && a[3] == 1)) return 0;
  // With y counted down the matrix is B = F A^-1 F (F turning y over) about
  // the centre, and the displacement's share -F A^-1 d.
  const double det = a[0] * a[3] - a[1] * a[2];
  if (!(std::fabs(det) > 1e-9) || !std::isfinite(det))
    return err::Fail(err::kParameter, "the motion's matrix is singular"), -1;
  const double i00 = a[3] / det, i01 = -a[1] / det, i10 = -a[2] / det, i11 = a[0] / det;
  const double b00 = i00, b01 = -i01, b10 = -i10, b11 = i11;
  const double tx = -(i00 * dx + i01 * dy), ty = i10 * dx + i11 * dy;
  const double cx = 0.5 * (width - 1), cy = 0.5 * (height - 1);
  m[0] = b00;
  m[1] = b01;
  m[2] = cx + tx - b00 * cx - b01 * cy;
  m[3] = b10;
  m[4] = b11;
  m[5] = cy + ty - b10 * cx - b11 * cy;
  return 0;
}

extern "C" int32_t ResampleFillValid(int32_t type, double fill) {
  switch (type) {
    case kResampleU8: return fill >= -0.5 && fill < 255.5;
    case kResampleU16: return fill >= -0.5 && fill < 65535.5;
    case kResampleS32: return fill >= -2147483648.5 && fill < 2147483647.5;
    case kResampleF32: return std::isnan(fill) || (fill >= -FLT_MAX && fill <= FLT_MAX) ||
                              std::isinf(fill);
    case kResampleF64: return 1;
  }
  return 0;
}

extern "C" int32_t ResampleAffine(const void* src, int32_t srcWidth, int32_t srcHeight,
                                  int64_t srcPitch, void* dst, int32_t dstWidth,
                                  int32_t dstHeight, int64_t dstPitch, int32_t type,
                                  int32_t channels, const double* matrix, int32_t interpolation,
                                  double fill) {
  namespace err = vantor::err;
  namespace rs = vantor::resample;
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (src == nullptr || dst == nullptr || matrix == nullptr)
      return err::Fail(err::kParameter, "a null argument"), -1;
    if (srcWidth < 1 || srcHeight < 1 || dstWidth < 1 || dstHeight < 1)
      return err::Fail(err::kParameter, "sizes %dx%d and %dx%d: both must be at least 1x1",
                       srcWidth, srcHeight, dstWidth, dstHeight), -1;
    if (channels < 1 || channels > 4)
      return err::Fail(err::kParameter, "%d channels: give 1 to 4", channels), -1;
    if (interpolation < kResampleNearest || interpolation > kResampleCubic)
      return err::Fail(err::kParameter, "interpolation %d is not nearest, linear or cubic",
                       interpolation), -1;
    for (int i = 0; i < 6; ++i)
      if (!std::isfinite(matrix[i]))
        return err::Fail(err::kParameter, "matrix element %d is not a finite number", i), -1;
    if (type < kResampleU8 || type > kResampleS32)
      return err::Fail(err::kParameter, "sample type %d is not one of the listed", type), -1;
    if (!ResampleFillValid(type, fill))
      return err::Fail(err::kParameter, "fill %g is outside the sample type's range", fill), -1;
    const rs::Frame f{static_cast<const uint8_t*>(src), srcWidth, srcHeight, srcPitch,
                      static_cast<uint8_t*>(dst), dstWidth, dstHeight, dstPitch, channels, matrix,
                      interpolation, fill};
    switch (type) {
      case kResampleU8: rs::Run<uint8_t>(f); break;
      case kResampleU16: rs::Run<uint16_t>(f); break;
      case kResampleF32: rs::Run<float>(f); break;
      case kResampleF64: rs::Run<double>(f); break;
      default: rs::Run<int32_t>(f); break;
    }
    return 0;
  });
}

#endif  // HWY_ONCE
