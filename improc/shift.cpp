// Squared grey-level differences between image A and image B displaced by
// whole pixels, over the set bits of a mask, with the row-wise early exit of
// the shift searches. The sums are integers, so the scalar reference and the
// vector loop agree exactly and stop at the same row.

#ifndef VANTOR_IMPROC_SHIFT_SHARED
#define VANTOR_IMPROC_SHIFT_SHARED

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "improc/shift.h"
#include "improc/shift_internal.h"
#include "kernels/kernel_path.h"

namespace vantor {
namespace shift {

// The rows [j0, j1) and columns [k0, k1) of A whose partners lie inside the
// width and height; false when there are none.
struct Span {
  int64_t j0, j1, k0, k1;
};

inline bool MakeSpan(const ShiftArgs& s, Span* sp) {
  if (s.a == nullptr || s.b == nullptr || s.width <= 0 || s.height <= 0) return false;
  const int64_t w = s.width, h = s.height;
  sp->k0 = std::max<int64_t>(0, -s.x);
  sp->k1 = std::min<int64_t>(w, w - s.x);
  sp->j0 = std::max<int64_t>(0, -s.y);
  sp->j1 = std::min<int64_t>(h, h - s.y);
  return sp->k0 < sp->k1 && sp->j0 < sp->j1;
}

inline const uint8_t* RowOf(const uint8_t* p, ptrdiff_t pitch, int64_t y) {
  return p + static_cast<ptrdiff_t>(y) * pitch;
}

inline bool Bit(const uint8_t* bits, int64_t i) { return (bits[i >> 3] >> (i & 7)) & 1u; }

// Number of set bits among the first n bits of bits.
inline int64_t PopBits(const uint8_t* bits, int64_t n) {
  int64_t c = 0;
  const int64_t full = n >> 3;
  int64_t i = 0;
  for (; i + 8 <= full; i += 8) {
    uint64_t w;
    std::memcpy(&w, bits + i, 8);
    c += std::popcount(w);
  }
  for (; i < full; ++i) c += std::popcount(static_cast<unsigned>(bits[i]));
  const int rem = static_cast<int>(n & 7);
  if (rem != 0) c += std::popcount(static_cast<unsigned>(bits[full] & ((1u << rem) - 1u)));
  return c;
}

// Bits [first, first + n) of a mask row of rowBytes bytes into out, bit 0 of
// out[0] being bit first; reads nothing past the row.
inline void ExtractBits(const uint8_t* row, int64_t rowBytes, int64_t first, int64_t n,
                        uint8_t* out) {
  const int64_t q = first >> 3;
  const int r = static_cast<int>(first & 7);
  const int64_t bytes = (n + 7) >> 3;
  if (r == 0) {
    std::memcpy(out, row + q, static_cast<size_t>(bytes));
    return;
  }
  const int64_t inner = std::min<int64_t>(bytes, rowBytes - q - 1);
  for (int64_t i = 0; i < inner; ++i) {
    out[i] = static_cast<uint8_t>((row[q + i] >> r) | (row[q + i + 1] << (8 - r)));
  }
  for (int64_t i = std::max<int64_t>(inner, 0); i < bytes; ++i) {
    out[i] = static_cast<uint8_t>(row[q + i] >> r);
  }
}

// Columns per piece of a masked row: the piece's mask bits fit a stack buffer.
inline constexpr int64_t kPiece = 4096;

}  // namespace shift

__attribute__((optimize("no-tree-vectorize")))
ShiftSums ShiftDiffScalar(const ShiftArgs& s) {
  ShiftSums out;
  shift::Span sp;
  if (!shift::MakeSpan(s, &sp)) return out;
  for (int64_t j = sp.j0; j < sp.j1; ++j) {
    const uint8_t* a = shift::RowOf(s.a, s.aPitch, j);
    const uint8_t* b = shift::RowOf(s.b, s.bPitch, j + s.y) + s.x;
    const uint8_t* m = s.mask == nullptr ? nullptr : shift::RowOf(s.mask, s.maskPitch, j);
    for (int64_t k = sp.k0; k < sp.k1; ++k) {
      if (m != nullptr && !shift::Bit(m, k)) continue;
      const int32_t d = static_cast<int32_t>(b[k]) - static_cast<int32_t>(a[k]);
      out.sum += static_cast<uint64_t>(d * d);
      ++out.count;
    }
    if (static_cast<double>(out.sum) > s.bound) break;
  }
  return out;
}

}  // namespace vantor

#endif  // VANTOR_IMPROC_SHIFT_SHARED

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "improc/shift.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace vantor {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D8 = hn::ScalableTag<uint8_t>;
using D16 = hn::Repartition<int16_t, D8>;
using D32 = hn::Repartition<int32_t, D8>;
using V32 = hn::Vec<D32>;

// Blocks between two drains of the 32-bit lanes: each block adds at most
// 4 x 255^2 to a lane, so 4096 blocks stay below 2^31.
constexpr size_t kDrainBlocks = 4096;

#if HWY_TARGET != HWY_SCALAR
HWY_INLINE uint64_t Drain(V32 acc0, V32 acc1) {
  const D32 d32;
  HWY_ALIGN int32_t lanes[256 / sizeof(int32_t)];
  hn::Store(hn::Add(acc0, acc1), d32, lanes);
  uint64_t total = 0;
  for (size_t i = 0; i < hn::Lanes(d32); ++i) total += static_cast<uint32_t>(lanes[i]);
  return total;
}
#endif

// Sum of (a[i] - b[i])^2 over i < n, only where bit i of bits is set when
// bits is not null.
uint64_t RowSum(const uint8_t* HWY_RESTRICT a, const uint8_t* HWY_RESTRICT b, size_t n,
                const uint8_t* HWY_RESTRICT bits) {
  size_t i = 0;
  uint64_t total = 0;
#if HWY_TARGET != HWY_SCALAR
  const D8 d8;
  const D16 d16;
  const D32 d32;
  const size_t N = hn::Lanes(d8);
  // Mask bits are read a byte per eight lanes.
  if (bits == nullptr || N % 8 == 0) {
    const auto zero = hn::Zero(d8);
    V32 acc0 = hn::Zero(d32), acc1 = hn::Zero(d32);
    size_t blocks = 0;
    for (; i + N <= n; i += N) {
      auto keep = hn::FirstN(d8, N);
      if (bits != nullptr) {
        keep = hn::LoadMaskBits(d8, bits + i / 8);
        if (hn::AllFalse(d8, keep)) continue;
      }
      const auto va = hn::LoadU(d8, a + i);
      const auto vb = hn::LoadU(d8, b + i);
      auto diff = hn::Or(hn::SaturatedSub(va, vb), hn::SaturatedSub(vb, va));
      if (bits != nullptr) diff = hn::IfThenElseZero(keep, diff);
      const auto lo = hn::BitCast(d16, hn::InterleaveLower(d8, diff, zero));
      const auto hi = hn::BitCast(d16, hn::InterleaveUpper(d8, diff, zero));
      acc0 = hn::ReorderWidenMulAccumulate(d32, lo, lo, acc0, acc1);
      acc0 = hn::ReorderWidenMulAccumulate(d32, hi, hi, acc0, acc1);
      if (++blocks == kDrainBlocks) {
        total += Drain(acc0, acc1);
        acc0 = hn::Zero(d32);
        acc1 = hn::Zero(d32);
        blocks = 0;
      }
    }
    total += Drain(acc0, acc1);
  }
#endif
  for (; i < n; ++i) {
    if (bits != nullptr && !shift::Bit(bits, static_cast<int64_t>(i))) continue;
    const int32_t d = static_cast<int32_t>(a[i]) - static_cast<int32_t>(b[i]);
    total += static_cast<uint64_t>(d * d);
  }
  return total;
}

ShiftSums Vector(const ShiftArgs& s) {
  ShiftSums out;
  shift::Span sp;
  if (!shift::MakeSpan(s, &sp)) return out;
  const int64_t n = sp.k1 - sp.k0;
  const int64_t row_bytes = (static_cast<int64_t>(s.width) + 7) / 8;
  uint8_t piece_bits[shift::kPiece / 8 + 8];
  for (int64_t j = sp.j0; j < sp.j1; ++j) {
    const uint8_t* a = shift::RowOf(s.a, s.aPitch, j) + sp.k0;
    const uint8_t* b = shift::RowOf(s.b, s.bPitch, j + s.y) + s.x + sp.k0;
    if (s.mask == nullptr) {
      out.sum += RowSum(a, b, static_cast<size_t>(n), nullptr);
      out.count += n;
    } else {
      const uint8_t* m = shift::RowOf(s.mask, s.maskPitch, j);
      for (int64_t p = 0; p < n; p += shift::kPiece) {
        const int64_t len = std::min(shift::kPiece, n - p);
        const int64_t col = sp.k0 + p;
        const uint8_t* bits = m + col / 8;
        if (col % 8 != 0) {
          shift::ExtractBits(m, row_bytes, col, len, piece_bits);
          bits = piece_bits;
        }
        out.sum += RowSum(a + p, b + p, static_cast<size_t>(len), bits);
        out.count += shift::PopBits(bits, len);
      }
    }
    if (static_cast<double>(out.sum) > s.bound) break;
  }
  return out;
}

}  // namespace HWY_NAMESPACE
}  // namespace vantor
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantor {

HWY_EXPORT(Vector);

ShiftSums ShiftDiffVector(const ShiftArgs& s) { return HWY_DYNAMIC_DISPATCH(Vector)(s); }

ShiftSums ShiftDiff(const ShiftArgs& s) {
  return RunOnPath(CurrentKernelPath(), ShiftDiffScalar, ShiftDiffVector, s);
}

}  // namespace vantor

extern "C" double ShiftMaskDiff(const uint8_t* aPixels, int32_t width, int32_t height,
                                int32_t aPitch, const uint8_t* bPixels, int32_t bPitch,
                                const uint8_t* maskPixels, int32_t maskPitch, int32_t x,
                                int32_t y, int32_t* count, double bound) {
  vantor::ShiftArgs s;
  s.a = aPixels;
  s.width = width;
  s.height = height;
  s.aPitch = aPitch;
  s.b = bPixels;
  s.bPitch = bPitch;
  s.mask = maskPixels;
  s.maskPitch = maskPitch;
  s.x = x;
  s.y = y;
  s.bound = bound;
  const vantor::ShiftSums r = vantor::ShiftDiff(s);
  if (count != nullptr) {
    *count = static_cast<int32_t>(std::min<int64_t>(r.count, std::numeric_limits<int32_t>::max()));
  }
  if (r.count == 0) return -1.0;
  return std::sqrt(static_cast<double>(r.sum) / static_cast<double>(r.count));
}
#endif  // HWY_ONCE
