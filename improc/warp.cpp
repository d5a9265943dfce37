// Warping kernels: every destination pixel mapped through a projective matrix
// or a bilinear mapping and sampled in the source (nearest pixel or bilinear,
// rounded with floor(value + 0.5)). The scalar walk is the reference; the
// vector code gives the same bytes with three kinds of rows:
//   translations - one whole-pixel offset and one pair of weights for every
//                  pixel: rows are copied, or blended from contiguous loads,
//                  each source row's horizontal blend computed once and used
//                  for both destination rows that need it;
//   affine       - positions in vectors without the division by 1;
//   projective   - positions in vectors with the division.
// Every double operation is written out in the same order in both, so the
// positions, weights and values come out with the same bits.
#pragma GCC optimize("fp-contract=off")

#ifndef VANTOR_IMPROC_WARP_SHARED
#define VANTOR_IMPROC_WARP_SHARED

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "generic/last_error.h"
#include "improc/warp.h"
#include "improc/warp_internal.h"
#include "kernels/kernel_path.h"

namespace vantor {
namespace warp {

// ---- pixels ------------------------------------------------------------------

template <class T>
inline T LoadPx(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
inline void StorePx(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// Channel c's fill: colour images take one byte of the fill per channel,
// grey ones the low bits of all of it.
template <class T, int C>
inline T FillOf(int32_t fill, int c) {
  if (C == 3) return static_cast<T>((static_cast<uint32_t>(fill) >> (8 * c)) & 0xFFu);
  return static_cast<T>(fill);
}

// floor(v + 0.5) as T (doubles are stored as they are). A blend of T values
// stays in T's range; the limits only keep the conversion defined.
template <class T>
inline T RoundTo(double v) {
  if constexpr (std::is_floating_point_v<T>) return v;
  double r = std::floor(v + 0.5);
  constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
  constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
  if (!(r >= lo)) r = lo;
  if (r > hi) r = hi;
  return static_cast<T>(r);
}

// The bilinear value, the operations in the order the vector code uses. A
// weight of 0 leaves its neighbour out (the same value for finite pixels, and
// no infinity of a neighbour spoils a pixel sampled exactly).
inline double Blend(double p00, double p10, double p01, double p11, double fx, double fy) {
  const double ox = 1.0 - fx, oy = 1.0 - fy;
  const double top = fx == 0.0 ? p00 : ox * p00 + fx * p10;
  const double bot = fx == 0.0 ? p01 : ox * p01 + fx * p11;
  return fy == 0.0 ? top : oy * top + fy * bot;
}

inline bool GetBit(const uint8_t* row, int64_t x) { return ((row[x >> 3] >> (x & 7)) & 1u) != 0; }
inline void PutBit(uint8_t* row, int64_t x, bool on) {
  const uint8_t bit = static_cast<uint8_t>(1u << (x & 7));
  row[x >> 3] = on ? static_cast<uint8_t>(row[x >> 3] | bit) : static_cast<uint8_t>(row[x >> 3] & ~bit);
}

// Sets or clears bits [from, to) of a row.
inline void SetBits(uint8_t* row, int64_t from, int64_t to, bool on) {
  while (from < to && (from & 7) != 0) PutBit(row, from++, on);
  const int64_t whole = (to - from) / 8;
  if (whole > 0) {
    std::memset(row + (from >> 3), on ? 0xFF : 0x00, static_cast<size_t>(whole));
    from += 8 * whole;
  }
  while (from < to) PutBit(row, from++, on);
}

// ---- geometry --------------------------------------------------------------------

// The mapping of one destination row as linear terms in x:
// sx = ax x + bx, sy = ay x + by and, for the projective mapping, d = aw x + bw.
struct RowTerms {
  double ax, bx, ay, by, aw, bw;
};

inline RowTerms Terms(const WarpJob& j, int32_t y) {
  const double yd = y;
  const double* m = j.m;
  if (j.bilinearMapping) {
    return {m[0] + m[2] * yd, m[1] * yd + m[3], m[4] + m[6] * yd, m[5] * yd + m[7], 0.0, 1.0};
  }
  return {m[0], m[1] * yd + m[2], m[3], m[4] * yd + m[5], m[6], m[7] * yd + m[8]};
}

enum class Kind { kTranslation, kAffine, kProjective };

// Translations keep one offset for every pixel; affine mappings (and every
// bilinear mapping) never divide.
inline Kind Classify(const WarpJob& j, double* tx, double* ty) {
  const double* m = j.m;
  if (j.bilinearMapping) {
    if (m[0] == 1.0 && m[1] == 0.0 && m[2] == 0.0 && m[4] == 0.0 && m[5] == 1.0 && m[6] == 0.0) {
      *tx = m[3];
      *ty = m[7];
      return Kind::kTranslation;
    }
    return Kind::kAffine;
  }
  if (m[6] != 0.0 || m[7] != 0.0 || m[8] != 1.0) return Kind::kProjective;
  if (m[0] == 1.0 && m[1] == 0.0 && m[3] == 0.0 && m[4] == 1.0) {
    *tx = m[2];
    *ty = m[5];
    return Kind::kTranslation;
  }
  return Kind::kAffine;
}

// A translation as whole-pixel offsets and the exact fractions as weights.
struct Shift {
  bool any = false;  // false: no pixel can find a source (offset not finite or huge)
  int64_t kx = 0, ky = 0;
  double fx = 0.0, fy = 0.0;
};

inline Shift MakeShift(const WarpJob& j, double tx, double ty) {
  Shift s;
  const double bx = std::floor(j.nearest ? tx + 0.5 : tx);
  const double by = std::floor(j.nearest ? ty + 0.5 : ty);
  if (!(std::fabs(bx) < 4e9 && std::fabs(by) < 4e9)) return s;
  s.any = true;
  s.kx = static_cast<int64_t>(bx);
  s.ky = static_cast<int64_t>(by);
  if (!j.nearest) {
    s.fx = tx - bx;
    s.fy = ty - by;
  }
  return s;
}

// Where a destination pixel samples the source.
struct Sample {
  int32_t ix, iy, ix1, iy1;
  double fx, fy;
};

inline bool Locate(const WarpJob& j, double sx, double sy, Sample* s) {
  const double flx = std::floor(j.nearest ? sx + 0.5 : sx);
  const double fly = std::floor(j.nearest ? sy + 0.5 : sy);
  if (!(flx >= 0.0 && flx < static_cast<double>(j.srcWidth) && fly >= 0.0 &&
        fly < static_cast<double>(j.srcHeight))) {
    return false;
  }
  s->ix = static_cast<int32_t>(flx);
  s->iy = static_cast<int32_t>(fly);
  s->fx = sx - flx;
  s->fy = sy - fly;
  s->ix1 = s->ix + 1 == j.srcWidth ? s->ix : s->ix + 1;
  s->iy1 = s->iy + 1 == j.srcHeight ? s->iy : s->iy + 1;
  return true;
}

inline bool MappedSample(const WarpJob& j, const RowTerms& r, bool projective, int32_t x,
                         Sample* s) {
  const double xd = x;
  double sx = r.ax * xd + r.bx;
  double sy = r.ay * xd + r.by;
  if (projective) {
    const double d = r.aw * xd + r.bw;
    if (std::fabs(d) < 1e-15) return false;
    sx = sx / d;
    sy = sy / d;
  }
  return Locate(j, sx, sy, s);
}

inline bool ShiftedSample(const WarpJob& j, const Shift& sh, int32_t x, int32_t y, Sample* s) {
  if (!sh.any) return false;
  const int64_t ix = x + sh.kx, iy = y + sh.ky;
  if (ix < 0 || ix >= j.srcWidth || iy < 0 || iy >= j.srcHeight) return false;
  s->ix = static_cast<int32_t>(ix);
  s->iy = static_cast<int32_t>(iy);
  s->fx = sh.fx;
  s->fy = sh.fy;
  s->ix1 = s->ix + 1 == j.srcWidth ? s->ix : s->ix + 1;
  s->iy1 = s->iy + 1 == j.srcHeight ? s->iy : s->iy + 1;
  return true;
}

// Depth 1 under bilinear sampling: the nearest of the four neighbours (a tie
// goes right in x and to the smaller row in y).
inline bool BitOf(const WarpJob& j, const Sample& s) {
  const int32_t col = j.nearest || s.fx < 0.5 ? s.ix : s.ix1;
  const int32_t row = j.nearest || !(s.fy > 0.5) ? s.iy : s.iy1;
  return GetBit(j.src + static_cast<std::ptrdiff_t>(row) * j.srcPitch, col);
}

template <class T, int C>
inline void PutSample(const WarpJob& j, const Sample& s, uint8_t* out) {
  constexpr std::ptrdiff_t kPixel = static_cast<std::ptrdiff_t>(sizeof(T)) * C;
  const uint8_t* r0 = j.src + static_cast<std::ptrdiff_t>(s.iy) * j.srcPitch;
  if (j.nearest) {
    std::memcpy(out, r0 + s.ix * kPixel, kPixel);
    return;
  }
  const uint8_t* r1 = j.src + static_cast<std::ptrdiff_t>(s.iy1) * j.srcPitch;
  for (int c = 0; c < C; ++c) {
    const std::ptrdiff_t o0 = s.ix * kPixel + c * static_cast<std::ptrdiff_t>(sizeof(T));
    const std::ptrdiff_t o1 = s.ix1 * kPixel + c * static_cast<std::ptrdiff_t>(sizeof(T));
    const double v = Blend(LoadPx<T>(r0 + o0), LoadPx<T>(r0 + o1), LoadPx<T>(r1 + o0),
                           LoadPx<T>(r1 + o1), s.fx, s.fy);
    StorePx<T>(out + c * static_cast<std::ptrdiff_t>(sizeof(T)), RoundTo<T>(v));
  }
}

template <class T, int C>
inline void FillPixels(uint8_t* row, int64_t from, int64_t to, int32_t fill) {
  constexpr size_t kPixel = sizeof(T) * C;
  uint8_t pixel[sizeof(T) * C];
  for (int c = 0; c < C; ++c) StorePx<T>(pixel + c * sizeof(T), FillOf<T, C>(fill, c));
  bool same = true;
  for (size_t i = 1; i < kPixel; ++i) same = same && pixel[i] == pixel[0];
  uint8_t* p = row + from * static_cast<int64_t>(kPixel);
  const size_t count = static_cast<size_t>(to - from);
  if (same) {
    std::memset(p, pixel[0], count * kPixel);
    return;
  }
  for (size_t i = 0; i < count; ++i) std::memcpy(p + i * kPixel, pixel, kPixel);
}

inline uint8_t* DstRow(const WarpJob& j, int32_t y) {
  return j.dst + static_cast<std::ptrdiff_t>(y - j.y0) * j.dstPitch;
}
inline uint8_t* MaskRow(const WarpJob& j, int32_t y) {
  return j.fillMask == nullptr ? nullptr
                               : j.fillMask + static_cast<std::ptrdiff_t>(y) * j.fillMaskPitch;
}

// The per-pixel walk: put(row, x, sample) for pixels that find a source,
// fill(row, x) for the others.
template <class Put, class Fill>
int64_t Walk(const WarpJob& j, Put put, Fill fill) {
  double tx = 0.0, ty = 0.0;
  const Kind kind = Classify(j, &tx, &ty);
  const Shift shift = kind == Kind::kTranslation ? MakeShift(j, tx, ty) : Shift{};
  int64_t filled = 0;
  for (int32_t y = j.y0; y < j.y1; ++y) {
    uint8_t* row = DstRow(j, y);
    uint8_t* mask = MaskRow(j, y);
    const RowTerms r = Terms(j, y);
    for (int32_t x = 0; x < j.dstWidth; ++x) {
      Sample s;
      const bool found = kind == Kind::kTranslation
                             ? ShiftedSample(j, shift, x, y, &s)
                             : MappedSample(j, r, kind == Kind::kProjective, x, &s);
      if (found) {
        put(row, x, s);
        continue;
      }
      fill(row, x);
      if (mask != nullptr) PutBit(mask, x, true);
      ++filled;
    }
  }
  return filled;
}

template <class T, int C>
int64_t WalkPixels(const WarpJob& j) {
  constexpr std::ptrdiff_t kPixel = static_cast<std::ptrdiff_t>(sizeof(T)) * C;
  return Walk(
      j, [&](uint8_t* row, int32_t x, const Sample& s) { PutSample<T, C>(j, s, row + x * kPixel); },
      [&](uint8_t* row, int32_t x) { FillPixels<T, C>(row, x, x + 1, j.fill); });
}

inline int64_t WalkBits(const WarpJob& j) {
  const bool on = (j.fill & 1) != 0;
  return Walk(
      j, [&](uint8_t* row, int32_t x, const Sample& s) { PutBit(row, x, BitOf(j, s)); },
      [&](uint8_t* row, int32_t x) { PutBit(row, x, on); });
}

// Nothing to sample from: every pixel of the rows filled.
template <class T, int C>
int64_t FillAll(const WarpJob& j) {
  for (int32_t y = j.y0; y < j.y1; ++y) {
    FillPixels<T, C>(DstRow(j, y), 0, j.dstWidth, j.fill);
    if (uint8_t* mask = MaskRow(j, y)) SetBits(mask, 0, j.dstWidth, true);
  }
  return static_cast<int64_t>(j.y1 - j.y0) * j.dstWidth;
}

inline int64_t FillAllBits(const WarpJob& j) {
  for (int32_t y = j.y0; y < j.y1; ++y) {
    SetBits(DstRow(j, y), 0, j.dstWidth, (j.fill & 1) != 0);
    if (uint8_t* mask = MaskRow(j, y)) SetBits(mask, 0, j.dstWidth, true);
  }
  return static_cast<int64_t>(j.y1 - j.y0) * j.dstWidth;
}

// Runs f<T, C>() for the depth's element type and channel count.
template <class F>
int64_t ByDepth(int32_t depth, F&& f) {
  switch (depth) {
    case 8: return f.template operator()<uint8_t, 1>();
    case 16: return f.template operator()<uint16_t, 1>();
    case 32: return f.template operator()<int32_t, 1>();
    case 24: return f.template operator()<uint8_t, 3>();
    case 48: return f.template operator()<uint16_t, 3>();
    case 64: return f.template operator()<double, 1>();
    default: return 0;
  }
}

inline bool Degenerate(const WarpJob& j) {
  return j.src == nullptr || j.srcWidth <= 0 || j.srcHeight <= 0;
}

// ---- scale table --------------------------------------------------------------

inline double ScalePosition(int32_t v, int32_t c, double s) {
  return std::floor((static_cast<double>(v) - static_cast<double>(c)) * s + static_cast<double>(c) +
                    0.5);
}

inline int64_t FinishTable(int32_t n, double* table) {
  int64_t total = 0;
  for (int32_t k = 0; k < n; ++k) {
    total += static_cast<int64_t>(table[n + k]);
    if (table[k] != 0.0) table[k] /= table[n + k];
  }
  return total;
}

}  // namespace warp

bool WarpDepthSupported(int32_t depth) {
  return depth == 1 || depth == 8 || depth == 16 || depth == 24 || depth == 32 || depth == 48 ||
         depth == 64;
}

int64_t WarpScalar(const WarpJob& j) {
  using namespace warp;
  if (j.y1 <= j.y0 || j.dstWidth <= 0 || !WarpDepthSupported(j.depth)) return 0;
  if (j.depth == 1) return Degenerate(j) ? FillAllBits(j) : WalkBits(j);
  return ByDepth(j.depth, [&]<class T, int C>() {
    return Degenerate(j) ? FillAll<T, C>(j) : WalkPixels<T, C>(j);
  });
}

int64_t ScaleMaskDataScalar(const uint8_t* a, int32_t width, int32_t height, int32_t aPitch,
                            const uint8_t* b, int32_t bPitch, const uint8_t* mask,
                            int32_t maskPitch, int32_t cx, int32_t cy, int32_t n, double first,
                            double step, double* table) {
  if (n < 1 || table == nullptr) return 0;
  std::fill(table, table + 2 * static_cast<size_t>(n), 0.0);
  if (a == nullptr || b == nullptr || width <= 0 || height <= 0) return 0;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* b_row = b + static_cast<std::ptrdiff_t>(y) * bPitch;
    const uint8_t* m_row = mask == nullptr ? nullptr : mask + static_cast<std::ptrdiff_t>(y) * maskPitch;
    for (int32_t x = 0; x < width; ++x) {
      if (m_row != nullptr && !warp::GetBit(m_row, x)) continue;
      for (int32_t k = 0; k < n; ++k) {
        const double s = first + k * step;
        const double ax = warp::ScalePosition(x, cx, s);
        const double ay = warp::ScalePosition(y, cy, s);
        if (!(ax >= 0.0 && ax < width && ay >= 0.0 && ay < height)) continue;
        const int d = a[static_cast<std::ptrdiff_t>(ay) * aPitch + static_cast<std::ptrdiff_t>(ax)] -
                      b_row[x];
        table[k] += d * d;
        table[n + k] += 1.0;
      }
    }
  }
  return warp::FinishTable(n, table);
}

}  // namespace vantor

#endif  // VANTOR_IMPROC_WARP_SHARED

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "improc/warp.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/aligned_allocator.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace vantor {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using warp::Kind;
using warp::RowTerms;
using warp::Shift;

using D = hn::CappedTag<double, 8>;
using V = hn::Vec<D>;
constexpr size_t kMaxLanes = 8;

// N elements of type T as doubles.
template <class T>
HWY_INLINE V LoadAsDouble(D d, const uint8_t* p) {
  const hn::Rebind<int32_t, D> d32;
  if constexpr (std::is_floating_point_v<T>) {
    return hn::LoadU(d, reinterpret_cast<const double*>(p));
  } else if constexpr (sizeof(T) == 1) {
    const hn::Rebind<uint8_t, D> d8;
    return hn::PromoteTo(d, hn::PromoteTo(d32, hn::LoadU(d8, p)));
  } else if constexpr (sizeof(T) == 2) {
    const hn::Rebind<uint16_t, D> d16;
    return hn::PromoteTo(d, hn::PromoteTo(d32, hn::LoadU(d16, reinterpret_cast<const uint16_t*>(p))));
  } else {
    return hn::PromoteTo(d, hn::LoadU(d32, reinterpret_cast<const int32_t*>(p)));
  }
}

// floor(v + 0.5) of N values stored as T.
template <class T>
HWY_INLINE void StoreRounded(D d, V v, uint8_t* p) {
  if constexpr (std::is_floating_point_v<T>) {
    hn::StoreU(v, d, reinterpret_cast<double*>(p));
    return;
  }
  const hn::Rebind<int32_t, D> d32;
  // Blends of unsigned pixels are never negative: truncation is the floor.
  const V r = hn::Add(v, hn::Set(d, 0.5));
  const auto i = hn::DemoteTo(d32, std::is_unsigned_v<T> ? r : hn::Floor(r));
  if constexpr (sizeof(T) == 1) {
    const hn::Rebind<uint8_t, D> d8;
    hn::StoreU(hn::DemoteTo(d8, i), d8, p);
  } else if constexpr (sizeof(T) == 2) {
    const hn::Rebind<uint16_t, D> d16;
    hn::StoreU(hn::DemoteTo(d16, i), d16, reinterpret_cast<uint16_t*>(p));
  } else {
    hn::StoreU(i, d32, reinterpret_cast<int32_t*>(p));
  }
}

template <class T>
HWY_INLINE double ElementAt(const uint8_t* p, int64_t e) {
  return static_cast<double>(warp::LoadPx<T>(p + e * static_cast<int64_t>(sizeof(T))));
}

// ---- translations ---------------------------------------------------------------

// Horizontal blend ox p[e] + fx p[e + C] of one source row (p at the first
// element used), the last pixel of an edge-touching range blending with
// itself.
template <class T, int C>
void HorizontalRow(const uint8_t* p, int64_t body, int64_t count, double ox, double fx,
                   double* out) {
  const D d;
  const int64_t N = static_cast<int64_t>(hn::Lanes(d));
  constexpr int64_t kNext = static_cast<int64_t>(sizeof(T)) * C;
  const V vo = hn::Set(d, ox), vf = hn::Set(d, fx);
  int64_t e = 0;
  for (; e + N <= body; e += N) {
    const uint8_t* q = p + e * static_cast<int64_t>(sizeof(T));
    hn::StoreU(hn::Add(hn::Mul(vo, LoadAsDouble<T>(d, q)), hn::Mul(vf, LoadAsDouble<T>(d, q + kNext))),
               d, out + e);
  }
  for (; e < body; ++e) out[e] = ox * ElementAt<T>(p, e) + fx * ElementAt<T>(p, e + C);
  for (; e < count; ++e) {
    const double v = ElementAt<T>(p, e);
    out[e] = ox * v + fx * v;
  }
}

template <class T>
void StoreRoundedRow(const double* v, int64_t count, uint8_t* out) {
  const D d;
  const int64_t N = static_cast<int64_t>(hn::Lanes(d));
  int64_t e = 0;
  for (; e + N <= count; e += N) StoreRounded<T>(d, hn::LoadU(d, v + e), out + e * static_cast<int64_t>(sizeof(T)));
  for (; e < count; ++e) warp::StorePx<T>(out + e * static_cast<int64_t>(sizeof(T)), warp::RoundTo<T>(v[e]));
}

// oy a[e] + fy b[e] from two rows of blends, rounded.
template <class T>
void VerticalBlend(const double* a, const double* b, int64_t count, double oy, double fy,
                   uint8_t* out) {
  const D d;
  const int64_t N = static_cast<int64_t>(hn::Lanes(d));
  const V vo = hn::Set(d, oy), vf = hn::Set(d, fy);
  int64_t e = 0;
  for (; e + N <= count; e += N) {
    const V v = hn::Add(hn::Mul(vo, hn::LoadU(d, a + e)), hn::Mul(vf, hn::LoadU(d, b + e)));
    StoreRounded<T>(d, v, out + e * static_cast<int64_t>(sizeof(T)));
  }
  for (; e < count; ++e) {
    warp::StorePx<T>(out + e * static_cast<int64_t>(sizeof(T)), warp::RoundTo<T>(oy * a[e] + fy * b[e]));
  }
}

// oy p0[e] + fy p1[e] straight from two source rows (no horizontal weight).
template <class T>
void VerticalRows(const uint8_t* p0, const uint8_t* p1, int64_t count, double oy, double fy,
                  uint8_t* out) {
  const D d;
  const int64_t N = static_cast<int64_t>(hn::Lanes(d));
  constexpr int64_t kSize = static_cast<int64_t>(sizeof(T));
  const V vo = hn::Set(d, oy), vf = hn::Set(d, fy);
  int64_t e = 0;
  for (; e + N <= count; e += N) {
    const V v = hn::Add(hn::Mul(vo, LoadAsDouble<T>(d, p0 + e * kSize)),
                        hn::Mul(vf, LoadAsDouble<T>(d, p1 + e * kSize)));
    StoreRounded<T>(d, v, out + e * kSize);
  }
  for (; e < count; ++e) {
    warp::StorePx<T>(out + e * kSize,
                     warp::RoundTo<T>(oy * ElementAt<T>(p0, e) + fy * ElementAt<T>(p1, e)));
  }
}

// The columns of a translated row that find a source: [lo, hi); edge when the
// last of them samples the source's last column.
struct Span {
  int32_t lo = 0, hi = 0;
  bool edge = false;
};

inline Span Columns(const WarpJob& j, const Shift& s) {
  Span sp;
  const int64_t lo = std::clamp<int64_t>(-s.kx, 0, j.dstWidth);
  const int64_t hi = std::clamp<int64_t>(static_cast<int64_t>(j.srcWidth) - s.kx, lo, j.dstWidth);
  sp.lo = static_cast<int32_t>(lo);
  sp.hi = static_cast<int32_t>(hi);
  sp.edge = hi > lo && hi + s.kx == j.srcWidth;
  return sp;
}

// Two source rows' horizontal blends, kept while consecutive destination rows
// need them.
class BlendCache {
 public:
  // count 0: no buffers (nothing will be asked for).
  explicit BlendCache(size_t count) {
    if (count == 0) return;
    a_ = hwy::AllocateAligned<double>(count);
    b_ = hwy::AllocateAligned<double>(count);
  }
  bool ok() const { return a_ && b_; }
  // The blend of source row r; keep is a row whose blend must survive.
  template <class Make>
  const double* Get(int64_t r, int64_t keep, Make make) {
    if (row_a_ == r) return a_.get();
    if (row_b_ == r) return b_.get();
    if (row_a_ != keep) {
      make(a_.get());
      row_a_ = r;
      return a_.get();
    }
    make(b_.get());
    row_b_ = r;
    return b_.get();
  }

 private:
  hwy::AlignedFreeUniquePtr<double[]> a_, b_;
  int64_t row_a_ = -1, row_b_ = -1;
};

template <class T, int C>
int64_t TranslateRows(const WarpJob& j, const Shift& s) {
  constexpr int64_t kPixel = static_cast<int64_t>(sizeof(T)) * C;
  const Span sp = Columns(j, s);
  const int64_t count = static_cast<int64_t>(sp.hi - sp.lo) * C;  // elements per row
  const int64_t body = count - (sp.edge ? C : 0);  // elements with a right neighbour
  const bool copy = j.nearest || (s.fx == 0.0 && s.fy == 0.0);
  const double ox = 1.0 - s.fx, oy = 1.0 - s.fy;
  const bool two_way = !copy && s.fx != 0.0 && s.fy != 0.0;
  BlendCache cache(two_way ? static_cast<size_t>(count) : 0);
  if (two_way && count > 0 && !cache.ok()) return -1;
  int64_t filled = 0;

  for (int32_t y = j.y0; y < j.y1; ++y) {
    uint8_t* row = warp::DstRow(j, y);
    uint8_t* mask = warp::MaskRow(j, y);
    const int64_t iy = y + s.ky;
    if (iy < 0 || iy >= j.srcHeight || count == 0) {
      warp::FillPixels<T, C>(row, 0, j.dstWidth, j.fill);
      if (mask != nullptr) warp::SetBits(mask, 0, j.dstWidth, true);
      filled += j.dstWidth;
      continue;
    }
    warp::FillPixels<T, C>(row, 0, sp.lo, j.fill);
    warp::FillPixels<T, C>(row, sp.hi, j.dstWidth, j.fill);
    if (mask != nullptr) {
      warp::SetBits(mask, 0, sp.lo, true);
      warp::SetBits(mask, sp.hi, j.dstWidth, true);
    }
    filled += j.dstWidth - (sp.hi - sp.lo);

    const int64_t iy1 = iy + 1 == j.srcHeight ? iy : iy + 1;
    const int64_t first = (sp.lo + s.kx) * kPixel;  // byte offset of the first source pixel
    const uint8_t* p0 = j.src + static_cast<std::ptrdiff_t>(iy) * j.srcPitch + first;
    const uint8_t* p1 = j.src + static_cast<std::ptrdiff_t>(iy1) * j.srcPitch + first;
    uint8_t* out = row + sp.lo * kPixel;
    if (copy) {
      std::memcpy(out, p0, static_cast<size_t>(count * static_cast<int64_t>(sizeof(T))));
    } else if (s.fx == 0.0) {
      VerticalRows<T>(p0, p1, count, oy, s.fy, out);
    } else if (s.fy == 0.0) {
      // One row of blends, rounded as it is made (reusing the row store is
      // not worth a buffer here: each blend is used once).
      const D d;
      const int64_t N = static_cast<int64_t>(hn::Lanes(d));
      const V vo = hn::Set(d, ox), vf = hn::Set(d, s.fx);
      constexpr int64_t kSize = static_cast<int64_t>(sizeof(T));
      int64_t e = 0;
      for (; e + N <= body; e += N) {
        const uint8_t* q = p0 + e * kSize;
        StoreRounded<T>(d, hn::Add(hn::Mul(vo, LoadAsDouble<T>(d, q)),
                                   hn::Mul(vf, LoadAsDouble<T>(d, q + kPixel))),
                        out + e * kSize);
      }
      for (; e < count; ++e) {
        const double v0 = ElementAt<T>(p0, e);
        const double v1 = e < body ? ElementAt<T>(p0, e + C) : v0;
        warp::StorePx<T>(out + e * kSize, warp::RoundTo<T>(ox * v0 + s.fx * v1));
      }
    } else {
      const double* t0 = cache.Get(iy, iy1, [&](double* buf) {
        HorizontalRow<T, C>(p0, body, count, ox, s.fx, buf);
      });
      const double* t1 = cache.Get(iy1, iy, [&](double* buf) {
        HorizontalRow<T, C>(p1, body, count, ox, s.fx, buf);
      });
      VerticalBlend<T>(t0, t1, count, oy, s.fy, out);
    }
  }
  return filled;
}

// Copies n bits from src (from bit sbit) to dst (from bit dbit), leaving the
// other bits of dst alone and reading no source byte past the last bit.
void CopyBits(uint8_t* dst, int64_t dbit, const uint8_t* src, int64_t sbit, int64_t n) {
  while (n > 0) {
    const int64_t dofs = dbit & 7, sofs = sbit & 7;
    const int64_t take = std::min<int64_t>(8 - dofs, n);
    const uint8_t* s = src + (sbit >> 3);
    uint32_t v = static_cast<uint32_t>(s[0]) >> sofs;
    if (sofs + take > 8) v |= static_cast<uint32_t>(s[1]) << (8 - sofs);
    const uint32_t keep = ((1u << take) - 1u) << dofs;
    uint8_t& out = dst[dbit >> 3];
    out = static_cast<uint8_t>((out & ~keep) | ((v << dofs) & keep));
    dbit += take;
    sbit += take;
    n -= take;
  }
}

int64_t TranslateBits(const WarpJob& j, const Shift& s) {
  const Span sp = Columns(j, s);
  const bool on = (j.fill & 1) != 0;
  // Bilinear: the right neighbour from fx >= 0.5 on (the last column its own),
  // the next row from fy > 0.5 on.
  const bool right = !j.nearest && s.fx >= 0.5;
  const bool down = !j.nearest && s.fy > 0.5;
  int64_t filled = 0;
  for (int32_t y = j.y0; y < j.y1; ++y) {
    uint8_t* row = warp::DstRow(j, y);
    uint8_t* mask = warp::MaskRow(j, y);
    const int64_t iy = y + s.ky;
    if (iy < 0 || iy >= j.srcHeight || sp.hi == sp.lo) {
      warp::SetBits(row, 0, j.dstWidth, on);
      if (mask != nullptr) warp::SetBits(mask, 0, j.dstWidth, true);
      filled += j.dstWidth;
      continue;
    }
    warp::SetBits(row, 0, sp.lo, on);
    warp::SetBits(row, sp.hi, j.dstWidth, on);
    if (mask != nullptr) {
      warp::SetBits(mask, 0, sp.lo, true);
      warp::SetBits(mask, sp.hi, j.dstWidth, true);
    }
    filled += j.dstWidth - (sp.hi - sp.lo);
    const int64_t r = down && iy + 1 < j.srcHeight ? iy + 1 : iy;
    const uint8_t* src = j.src + static_cast<std::ptrdiff_t>(r) * j.srcPitch;
    int64_t n = sp.hi - sp.lo;
    if (right && sp.edge) {
      --n;
      warp::PutBit(row, sp.hi - 1, warp::GetBit(src, j.srcWidth - 1));
    }
    CopyBits(row, sp.lo, src, sp.lo + s.kx + (right ? 1 : 0), n);
  }
  return filled;
}

// ---- affine and projective rows ------------------------------------------------------

// Positions of up to N pixels from x0 on: valid lanes as bits, and for each
// lane the sample's whole-pixel position and fractions.
struct LaneSamples {
  HWY_ALIGN double flx[kMaxLanes];
  HWY_ALIGN double fly[kMaxLanes];
  HWY_ALIGN double wx[kMaxLanes];
  HWY_ALIGN double wy[kMaxLanes];
};

template <bool kProjective>
HWY_INLINE unsigned Positions(const WarpJob& j, const RowTerms& r, int32_t x0, size_t lanes,
                              LaneSamples* out) {
  const D d;
  const V xv = hn::Iota(d, static_cast<double>(x0));
  V sx = hn::Add(hn::Mul(hn::Set(d, r.ax), xv), hn::Set(d, r.bx));
  V sy = hn::Add(hn::Mul(hn::Set(d, r.ay), xv), hn::Set(d, r.by));
  auto valid = hn::FirstN(d, lanes);
  if (kProjective) {
    const V den = hn::Add(hn::Mul(hn::Set(d, r.aw), xv), hn::Set(d, r.bw));
    valid = hn::And(valid, hn::Not(hn::Lt(hn::Abs(den), hn::Set(d, 1e-15))));
    sx = hn::Div(sx, den);
    sy = hn::Div(sy, den);
  }
  const V half = hn::Set(d, 0.5);
  const V fx = hn::Floor(j.nearest ? hn::Add(sx, half) : sx);
  const V fy = hn::Floor(j.nearest ? hn::Add(sy, half) : sy);
  const V zero = hn::Zero(d);
  valid = hn::And(valid, hn::And(hn::And(hn::Ge(fx, zero), hn::Lt(fx, hn::Set(d, j.srcWidth))),
                                 hn::And(hn::Ge(fy, zero), hn::Lt(fy, hn::Set(d, j.srcHeight)))));
  hn::Store(fx, d, out->flx);
  hn::Store(fy, d, out->fly);
  // Lanes without a source get weights 0, never NaN.
  hn::Store(hn::IfThenElseZero(valid, hn::Sub(sx, fx)), d, out->wx);
  hn::Store(hn::IfThenElseZero(valid, hn::Sub(sy, fy)), d, out->wy);
  uint8_t bits = 0;
  hn::StoreMaskBits(d, valid, &bits);
  return bits;
}

template <class T, int C, bool kProjective>
int64_t MappedRows(const WarpJob& j) {
  const D d;
  const size_t N = hn::Lanes(d);
  constexpr std::ptrdiff_t kSize = static_cast<std::ptrdiff_t>(sizeof(T));
  constexpr std::ptrdiff_t kPixel = kSize * C;
  T fills[C];
  for (int c = 0; c < C; ++c) fills[c] = warp::FillOf<T, C>(j.fill, c);
  LaneSamples ls;
  HWY_ALIGN double p00[C][kMaxLanes], p10[C][kMaxLanes], p01[C][kMaxLanes], p11[C][kMaxLanes];
  HWY_ALIGN int32_t values[C][kMaxLanes];
  HWY_ALIGN double reals[kMaxLanes];
  const hn::Rebind<int32_t, D> d32;
  const V one = hn::Set(d, 1.0), half = hn::Set(d, 0.5);
  // 8-bit grey: the four neighbours from two 4-byte gathers per lane when
  // every offset fits in 32 bits and every read ends inside the rows.
  const int64_t extent = static_cast<int64_t>(j.srcPitch) * (j.srcHeight - 1) + j.srcWidth;
  const bool gather = sizeof(T) == 1 && C == 1 && j.srcPitch > 0 && extent >= 4 &&
                      extent < (int64_t{1} << 31);
  const V pitch = hn::Set(d, static_cast<double>(j.srcPitch));
  const V last_read = hn::Set(d, static_cast<double>(extent - 4));
  const V wv = hn::Set(d, j.srcWidth), hv = hn::Set(d, j.srcHeight);
  const int32_t* a32 = reinterpret_cast<const int32_t*>(j.src);
  int64_t filled = 0;

  for (int32_t y = j.y0; y < j.y1; ++y) {
    uint8_t* row = warp::DstRow(j, y);
    uint8_t* mask = warp::MaskRow(j, y);
    const RowTerms r = warp::Terms(j, y);
    for (int32_t x0 = 0; x0 < j.dstWidth; x0 += static_cast<int32_t>(N)) {
      const size_t lanes = std::min<size_t>(N, static_cast<size_t>(j.dstWidth - x0));
      const unsigned valid = Positions<kProjective>(j, r, x0, lanes, &ls);
      uint8_t* out = row + x0 * kPixel;
      bool gathered = false;
      if (gather && !j.nearest && valid != 0) {
        const uint8_t packed = static_cast<uint8_t>(valid);
        const auto use = hn::LoadMaskBits(d, &packed);
        const V fx = hn::Load(d, ls.flx), fy = hn::Load(d, ls.fly);
        const V off = hn::IfThenElseZero(use, hn::Add(hn::Mul(fy, pitch), fx));
        const V off1 =
            hn::Add(off, hn::IfThenElseZero(hn::And(use, hn::Lt(hn::Add(fy, one), hv)), pitch));
        if (hn::AllTrue(d, hn::Le(off1, last_read))) {
          const auto byte = hn::Set(d32, 0xFF);
          const auto g0 = hn::GatherOffset(d32, a32, hn::DemoteTo(d32, off));
          const auto g1 = hn::GatherOffset(d32, a32, hn::DemoteTo(d32, off1));
          // The last column stands in for its missing right neighbour.
          const auto right = hn::Lt(hn::Add(fx, one), wv);
          const V a00 = hn::PromoteTo(d, hn::And(g0, byte));
          const V a01 = hn::PromoteTo(d, hn::And(g1, byte));
          hn::Store(a00, d, p00[0]);
          hn::Store(a01, d, p01[0]);
          hn::Store(hn::IfThenElse(right, hn::PromoteTo(d, hn::And(hn::ShiftRight<8>(g0), byte)), a00),
                    d, p10[0]);
          hn::Store(hn::IfThenElse(right, hn::PromoteTo(d, hn::And(hn::ShiftRight<8>(g1), byte)), a01),
                    d, p11[0]);
          gathered = true;
        }
      }
      if (j.nearest) {
        for (size_t i = 0; i < lanes; ++i) {
          if ((valid >> i) & 1u) {
            const uint8_t* p = j.src + static_cast<std::ptrdiff_t>(ls.fly[i]) * j.srcPitch +
                               static_cast<std::ptrdiff_t>(ls.flx[i]) * kPixel;
            std::memcpy(out + i * kPixel, p, kPixel);
          }
        }
      } else if (valid != 0) {
        for (size_t i = 0; i < N && !gathered; ++i) {
          for (int c = 0; c < C; ++c) p00[c][i] = p10[c][i] = p01[c][i] = p11[c][i] = 0.0;
          if (((valid >> i) & 1u) == 0) continue;
          const int32_t ix = static_cast<int32_t>(ls.flx[i]);
          const int32_t iy = static_cast<int32_t>(ls.fly[i]);
          const int32_t ix1 = ix + 1 == j.srcWidth ? ix : ix + 1;
          const int32_t iy1 = iy + 1 == j.srcHeight ? iy : iy + 1;
          const uint8_t* r0 = j.src + static_cast<std::ptrdiff_t>(iy) * j.srcPitch;
          const uint8_t* r1 = j.src + static_cast<std::ptrdiff_t>(iy1) * j.srcPitch;
          for (int c = 0; c < C; ++c) {
            const std::ptrdiff_t o0 = ix * kPixel + c * kSize, o1 = ix1 * kPixel + c * kSize;
            p00[c][i] = warp::LoadPx<T>(r0 + o0);
            p10[c][i] = warp::LoadPx<T>(r0 + o1);
            p01[c][i] = warp::LoadPx<T>(r1 + o0);
            p11[c][i] = warp::LoadPx<T>(r1 + o1);
          }
        }
        const V fx = hn::Load(d, ls.wx), fy = hn::Load(d, ls.wy);
        const V ox = hn::Sub(one, fx), oy = hn::Sub(one, fy);
        for (int c = 0; c < C; ++c) {
          const V a = hn::Load(d, p00[c]), b = hn::Load(d, p01[c]);
          V top = hn::Add(hn::Mul(ox, a), hn::Mul(fx, hn::Load(d, p10[c])));
          V bot = hn::Add(hn::Mul(ox, b), hn::Mul(fx, hn::Load(d, p11[c])));
          V v;
          if constexpr (std::is_floating_point_v<T>) {
            // Zero weights leave their neighbours out, as in the scalar blend.
            const auto exact_x = hn::Eq(fx, hn::Zero(d));
            top = hn::IfThenElse(exact_x, a, top);
            bot = hn::IfThenElse(exact_x, b, bot);
            v = hn::IfThenElse(hn::Eq(fy, hn::Zero(d)), top, hn::Add(hn::Mul(oy, top), hn::Mul(fy, bot)));
            hn::Store(v, d, reals);
          } else {
            v = hn::Add(hn::Mul(oy, top), hn::Mul(fy, bot));
            hn::Store(hn::DemoteTo(d32, hn::Floor(hn::Add(v, half))), d32, values[c]);
          }
        }
        if (sizeof(T) == 1 && C == 1 && valid == (1u << N) - 1u) {
          // A whole vector found its source: one store.
          const hn::Rebind<uint8_t, D> d8;
          hn::StoreU(hn::DemoteTo(d8, hn::Load(d32, values[0])), d8, out);
          continue;
        }
        for (size_t i = 0; i < lanes; ++i) {
          if (((valid >> i) & 1u) == 0) continue;
          for (int c = 0; c < C; ++c) {
            if constexpr (std::is_floating_point_v<T>) {
              warp::StorePx<T>(out + i * kPixel, reals[i]);
            } else {
              warp::StorePx<T>(out + i * kPixel + c * kSize, static_cast<T>(values[c][i]));
            }
          }
        }
      }
      const unsigned missing = ~valid & ((1u << lanes) - 1u);
      if (missing == 0) continue;
      for (unsigned rest = missing; rest != 0; rest &= rest - 1) {
        const int i = std::countr_zero(rest);
        for (int c = 0; c < C; ++c) warp::StorePx<T>(out + i * kPixel + c * kSize, fills[c]);
        if (mask != nullptr) warp::PutBit(mask, x0 + i, true);
      }
      filled += std::popcount(missing);
    }
  }
  return filled;
}

template <bool kProjective>
int64_t MappedBits(const WarpJob& j) {
  const D d;
  const size_t N = hn::Lanes(d);
  const bool on = (j.fill & 1) != 0;
  LaneSamples ls;
  int64_t filled = 0;
  for (int32_t y = j.y0; y < j.y1; ++y) {
    uint8_t* row = warp::DstRow(j, y);
    uint8_t* mask = warp::MaskRow(j, y);
    const RowTerms r = warp::Terms(j, y);
    for (int32_t x0 = 0; x0 < j.dstWidth; x0 += static_cast<int32_t>(N)) {
      const size_t lanes = std::min<size_t>(N, static_cast<size_t>(j.dstWidth - x0));
      const unsigned valid = Positions<kProjective>(j, r, x0, lanes, &ls);
      for (size_t i = 0; i < lanes; ++i) {
        if (((valid >> i) & 1u) == 0) {
          warp::PutBit(row, x0 + static_cast<int64_t>(i), on);
          if (mask != nullptr) warp::PutBit(mask, x0 + static_cast<int64_t>(i), true);
          ++filled;
          continue;
        }
        warp::Sample s;
        s.ix = static_cast<int32_t>(ls.flx[i]);
        s.iy = static_cast<int32_t>(ls.fly[i]);
        s.fx = ls.wx[i];
        s.fy = ls.wy[i];
        s.ix1 = s.ix + 1 == j.srcWidth ? s.ix : s.ix + 1;
        s.iy1 = s.iy + 1 == j.srcHeight ? s.iy : s.iy + 1;
        warp::PutBit(row, x0 + static_cast<int64_t>(i), warp::BitOf(j, s));
      }
    }
  }
  return filled;
}

int64_t Vector(const WarpJob& j) {
  if (j.y1 <= j.y0 || j.dstWidth <= 0 || !WarpDepthSupported(j.depth)) return 0;
  if (warp::Degenerate(j)) return WarpScalar(j);
  double tx = 0.0, ty = 0.0;
  const Kind kind = warp::Classify(j, &tx, &ty);
  if (j.depth == 1) {
    if (kind == Kind::kTranslation) {
      const Shift s = warp::MakeShift(j, tx, ty);
      return s.any ? TranslateBits(j, s) : warp::FillAllBits(j);
    }
    return kind == Kind::kProjective ? MappedBits<true>(j) : MappedBits<false>(j);
  }
  return warp::ByDepth(j.depth, [&]<class T, int C>() -> int64_t {
    if (kind == Kind::kTranslation) {
      const Shift s = warp::MakeShift(j, tx, ty);
      if (!s.any) return warp::FillAll<T, C>(j);
      const int64_t filled = TranslateRows<T, C>(j, s);
      // No memory for the row blends: the per-pixel walk gives the same bytes.
      return filled >= 0 ? filled : WarpScalar(j);
    }
    return kind == Kind::kProjective ? MappedRows<T, C, true>(j) : MappedRows<T, C, false>(j);
  });
}

// ---- scale table -------------------------------------------------------------------

int64_t Scale(const uint8_t* a, int32_t width, int32_t height, int32_t aPitch, const uint8_t* b,
              int32_t bPitch, const uint8_t* mask, int32_t maskPitch, int32_t cx, int32_t cy,
              int32_t n, double first, double step, double* table) {
  if (n < 1 || table == nullptr) return 0;
  std::fill(table, table + 2 * static_cast<size_t>(n), 0.0);
  if (a == nullptr || b == nullptr || width <= 0 || height <= 0) return 0;
  const D d;
  const size_t N = hn::Lanes(d);
  const hn::Rebind<int32_t, D> d32;
  const hn::Rebind<uint8_t, D> d8;
  const V cxv = hn::Set(d, static_cast<double>(cx)), half = hn::Set(d, 0.5), zero = hn::Zero(d);
  const V wv = hn::Set(d, static_cast<double>(width));
  HWY_ALIGN double ax[kMaxLanes];
  HWY_ALIGN double av[kMaxLanes];
  for (int32_t k = 0; k < n; ++k) {
    const double s = first + k * step;
    const V sv = hn::Set(d, s);
    V acc = hn::Zero(d);
    int64_t count = 0;
    for (int32_t y = 0; y < height; ++y) {
      const double ay = warp::ScalePosition(y, cy, s);
      if (!(ay >= 0.0 && ay < height)) continue;
      const uint8_t* a_row = a + static_cast<std::ptrdiff_t>(ay) * aPitch;
      const uint8_t* b_row = b + static_cast<std::ptrdiff_t>(y) * bPitch;
      const uint8_t* m_row =
          mask == nullptr ? nullptr : mask + static_cast<std::ptrdiff_t>(y) * maskPitch;
      for (int32_t x0 = 0; x0 < width; x0 += static_cast<int32_t>(N)) {
        const size_t lanes = std::min<size_t>(N, static_cast<size_t>(width - x0));
        unsigned bits = (1u << lanes) - 1u;
        if (m_row != nullptr) {
          // N is 1, 2, 4 or 8 and x0 a multiple of it: the lanes lie in one mask byte.
          bits &= static_cast<unsigned>(m_row[x0 >> 3]) >> (x0 & 7);
          if (bits == 0) continue;
        }
        const V xv = hn::Iota(d, static_cast<double>(x0));
        const V axv = hn::Floor(hn::Add(hn::Add(hn::Mul(hn::Sub(xv, cxv), sv), cxv), half));
        const auto inside = hn::And(hn::Ge(axv, zero), hn::Lt(axv, wv));
        uint8_t in_bits = 0;
        hn::StoreMaskBits(d, inside, &in_bits);
        bits &= in_bits;
        if (bits == 0) continue;
        const uint8_t packed = static_cast<uint8_t>(bits);
        const auto use = hn::LoadMaskBits(d, &packed);
        V a_vals;
        // Gather 4 bytes per lane when every read stays inside the row.
        const V offsets = hn::IfThenElseZero(use, axv);
        if (width >= 4 && hn::AllTrue(d, hn::Le(offsets, hn::Set(d, width - 4.0)))) {
          const auto g = hn::GatherOffset(d32, reinterpret_cast<const int32_t*>(a_row),
                                          hn::DemoteTo(d32, offsets));
          a_vals = hn::PromoteTo(d, hn::And(g, hn::Set(d32, 0xFF)));
        } else {
          hn::Store(axv, d, ax);
          for (size_t i = 0; i < N; ++i) {
            av[i] = ((bits >> i) & 1u) ? a_row[static_cast<std::ptrdiff_t>(ax[i])] : 0.0;
          }
          a_vals = hn::Load(d, av);
        }
        V b_vals;
        if (lanes == N) {
          b_vals = hn::PromoteTo(d, hn::PromoteTo(d32, hn::LoadU(d8, b_row + x0)));
        } else {
          for (size_t i = 0; i < N; ++i) av[i] = i < lanes ? b_row[x0 + static_cast<int32_t>(i)] : 0.0;
          b_vals = hn::Load(d, av);
        }
        const V diff = hn::IfThenElseZero(use, hn::Sub(a_vals, b_vals));
        acc = hn::Add(acc, hn::Mul(diff, diff));
        count += std::popcount(bits);
      }
    }
    table[k] = hn::GetLane(hn::SumOfLanes(d, acc));
    table[n + k] = static_cast<double>(count);
  }
  return warp::FinishTable(n, table);
}

}  // namespace HWY_NAMESPACE
}  // namespace vantor
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantor {

HWY_EXPORT(Vector);
HWY_EXPORT(Scale);

int64_t WarpVector(const WarpJob& job) { return HWY_DYNAMIC_DISPATCH(Vector)(job); }

int64_t Warp(const WarpJob& job) {
  return RunOnPath(CurrentKernelPath(), WarpScalar, WarpVector, job);
}

int64_t ScaleMaskDataVector(const uint8_t* a, int32_t width, int32_t height, int32_t aPitch,
                            const uint8_t* b, int32_t bPitch, const uint8_t* mask,
                            int32_t maskPitch, int32_t cx, int32_t cy, int32_t n, double first,
                            double step, double* table) {
  return HWY_DYNAMIC_DISPATCH(Scale)(a, width, height, aPitch, b, bPitch, mask, maskPitch, cx, cy,
                                     n, first, step, table);
}

namespace {

namespace err = vantor::err;

int32_t Capped(int64_t v) { return static_cast<int32_t>(std::min<int64_t>(v, INT32_MAX)); }

int32_t RunWarp(const char* operation, const void* src, int32_t sw, int32_t sh, int32_t sp,
                void* dst, int32_t dw, int32_t dh, int32_t dp, int32_t depth, const double* m,
                int32_t fill, void* mask, int32_t mp, int32_t sampling, bool bilinear) {
  if (!WarpDepthSupported(depth)) {
    return err::Report(operation, err::kParameter,
                       "depth %d is not one of 1, 8, 16, 24, 32, 48, 64", depth),
           -1;
  }
  if (dst == nullptr || m == nullptr || dw <= 0 || dh <= 0) return 0;
  WarpJob j;
  j.src = static_cast<const uint8_t*>(src);
  j.srcWidth = sw;
  j.srcHeight = sh;
  j.srcPitch = sp;
  j.dst = static_cast<uint8_t*>(dst);
  j.dstWidth = dw;
  j.dstPitch = dp;
  j.y0 = 0;
  j.y1 = dh;
  j.depth = depth;
  std::copy(m, m + (bilinear ? 8 : 9), j.m);
  j.bilinearMapping = bilinear;
  j.nearest = sampling == 1;
  j.fill = fill;
  j.fillMask = static_cast<uint8_t*>(mask);
  j.fillMaskPitch = mp;
  return Capped(Warp(j));
}

}  // namespace
}  // namespace vantor

extern "C" int32_t PerspectiveTrans(const void* srcPixels, int32_t srcWidth, int32_t srcHeight,
                                    int32_t srcPitch, void* dstPixels, int32_t dstWidth,
                                    int32_t dstHeight, int32_t dstPitch, int32_t depth,
                                    const double* matrix, int32_t fill, void* fillMask,
                                    int32_t fillMaskPitch, int32_t sampling) {
  return vantor::RunWarp(__func__, srcPixels, srcWidth, srcHeight, srcPitch, dstPixels, dstWidth,
                         dstHeight, dstPitch, depth, matrix, fill, fillMask, fillMaskPitch,
                         sampling, false);
}

extern "C" int32_t BilinearTrans(const void* srcPixels, int32_t srcWidth, int32_t srcHeight,
                                 int32_t srcPitch, void* dstPixels, int32_t dstWidth,
                                 int32_t dstHeight, int32_t dstPitch, int32_t depth,
                                 const double* matrix, int32_t fill, void* fillMask,
                                 int32_t fillMaskPitch, int32_t sampling) {
  return vantor::RunWarp(__func__, srcPixels, srcWidth, srcHeight, srcPitch, dstPixels, dstWidth,
                         dstHeight, dstPitch, depth, matrix, fill, fillMask, fillMaskPitch,
                         sampling, true);
}

extern "C" int32_t ScaleMaskData(const uint8_t* aPixels, int32_t width, int32_t height,
                                 int32_t aPitch, const uint8_t* bPixels, int32_t bPitch,
                                 const uint8_t* maskPixels, int32_t maskPitch, int32_t cx,
                                 int32_t cy, int32_t n, double first, double step, double* table) {
  return vantor::Capped(vantor::RunOnPath(vantor::CurrentKernelPath(), vantor::ScaleMaskDataScalar,
                                           vantor::ScaleMaskDataVector, aPixels, width, height,
                                           aPitch, bPixels, bPitch, maskPixels, maskPitch, cx, cy,
                                           n, first, step, table));
}
#endif  // HWY_ONCE
