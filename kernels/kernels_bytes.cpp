// Vector kernels on byte rectangles: two-image and constant operations, masked
// operations, thresholds to masks, set-pixel counts, byte tables; and the
// histogram. Compiled once per vector target (the histogram once); the entry
// points dispatch at run time.
//
// Row ends are done as one more vector block over a copy of the remaining
// bytes on the stack, so no kernel reads or writes past a row's last byte.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/kernels_bytes.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "generic/last_error.h"
#include "kernels/kernels.h"
#include "kernels/kernels_scalar.h"
#include "kernels/pixel_codes.h"

HWY_BEFORE_NAMESPACE();
namespace vantor {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DU8 = hn::ScalableTag<uint8_t>;

inline const uint8_t* RowAt(const uint8_t* p, int32_t pitch, int64_t y) {
  return p + static_cast<ptrdiff_t>(y) * pitch;
}
inline uint8_t* RowAt(uint8_t* p, int32_t pitch, int64_t y) {
  return p + static_cast<ptrdiff_t>(y) * pitch;
}

// Calls f(op) with the vector operation of a tmMMM code, op(d, a, b) -> c.
// Returns -1 for a code that is not an operation.
template <class F>
HWY_INLINE int32_t WithByteOp(int32_t code, F&& f) {
  switch (code) {
    case 0: f([](auto d, auto, auto) { return hn::Zero(d); }); break;
    case 1: f([](auto, auto a, auto b) { return hn::And(a, b); }); break;
    case 2: f([](auto, auto a, auto b) { return hn::AndNot(b, a); }); break;
    case 3: f([](auto, auto a, auto) { return a; }); break;
    case 4: f([](auto, auto a, auto b) { return hn::AndNot(a, b); }); break;
    case 5: f([](auto, auto, auto b) { return b; }); break;
    case 6: f([](auto, auto a, auto b) { return hn::Xor(a, b); }); break;
    case 7: f([](auto, auto a, auto b) { return hn::Or(a, b); }); break;
    case 8: f([](auto, auto a, auto b) { return hn::Not(hn::Or(a, b)); }); break;
    case 9: f([](auto, auto a, auto b) { return hn::Not(hn::Xor(a, b)); }); break;
    case 10: f([](auto, auto, auto b) { return hn::Not(b); }); break;
    case 11: f([](auto, auto a, auto b) { return hn::Or(a, hn::Not(b)); }); break;
    case 12: f([](auto, auto a, auto) { return hn::Not(a); }); break;
    case 13: f([](auto, auto a, auto b) { return hn::Or(hn::Not(a), b); }); break;
    case 14: f([](auto, auto a, auto b) { return hn::Not(hn::And(a, b)); }); break;
    case 15: f([](auto d, auto, auto) { return hn::Set(d, uint8_t{255}); }); break;
    case 16: f([](auto, auto a, auto b) { return hn::Min(a, b); }); break;
    case 17: f([](auto, auto a, auto b) { return hn::Max(a, b); }); break;
    case 18: f([](auto, auto a, auto b) { return hn::Add(a, b); }); break;
    case 19: f([](auto, auto a, auto b) { return hn::SaturatedAdd(a, b); }); break;
    case 20: f([](auto, auto a, auto b) { return hn::Sub(a, b); }); break;
    case 21: f([](auto, auto a, auto b) { return hn::Sub(b, a); }); break;
    case 22: f([](auto, auto a, auto b) { return hn::SaturatedSub(a, b); }); break;
    case 23: f([](auto, auto a, auto b) { return hn::SaturatedSub(b, a); }); break;
    case 24:  // a if a >= b, else 0
      f([](auto d, auto a, auto b) {
        return hn::IfThenElseZero(hn::Eq(hn::SaturatedSub(b, a), hn::Zero(d)), a);
      });
      break;
    case 25:  // a if a <= b, else 255
      f([](auto d, auto a, auto b) {
        return hn::IfThenElse(hn::Eq(hn::SaturatedSub(a, b), hn::Zero(d)), a,
                              hn::Set(d, uint8_t{255}));
      });
      break;
    case 26:  // 255 if a >= b, else 0
      f([](auto d, auto a, auto b) {
        return hn::VecFromMask(d, hn::Eq(hn::SaturatedSub(b, a), hn::Zero(d)));
      });
      break;
    case 28:
      f([](auto, auto a, auto b) { return hn::Or(hn::SaturatedSub(a, b), hn::SaturatedSub(b, a)); });
      break;
    case 29:  // distance on a circle of 256 values: min(d, 256 - d)
      f([](auto d, auto a, auto b) {
        const auto diff = hn::Or(hn::SaturatedSub(a, b), hn::SaturatedSub(b, a));
        return hn::Min(diff, hn::Sub(hn::Zero(d), diff));
      });
      break;
    default: return -1;
  }
  return 0;
}

// c[x] = op(a[x], b[x]) over one run of bytes.
template <class Op>
HWY_INLINE void BinaryRow(const uint8_t* a, const uint8_t* b, uint8_t* c, size_t w, const Op& op) {
  const DU8 d;
  const size_t N = hn::Lanes(d);
  size_t x = 0;
  for (; x + 2 * N <= w; x += 2 * N) {
    const auto r0 = op(d, hn::LoadU(d, a + x), hn::LoadU(d, b + x));
    const auto r1 = op(d, hn::LoadU(d, a + x + N), hn::LoadU(d, b + x + N));
    hn::StoreU(r0, d, c + x);
    hn::StoreU(r1, d, c + x + N);
  }
  for (; x + N <= w; x += N) hn::StoreU(op(d, hn::LoadU(d, a + x), hn::LoadU(d, b + x)), d, c + x);
  if (x < w) {
    const size_t rem = w - x;
    HWY_ALIGN uint8_t ta[HWY_MAX_BYTES] = {}, tb[HWY_MAX_BYTES] = {}, tc[HWY_MAX_BYTES];
    std::memcpy(ta, a + x, rem);
    std::memcpy(tb, b + x, rem);
    hn::Store(op(d, hn::Load(d, ta), hn::Load(d, tb)), d, tc);
    std::memcpy(c + x, tc, rem);
  }
}

template <class Op>
HWY_INLINE void BinaryRect(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t w, int32_t h,
                           int32_t pa, int32_t pb, int32_t pc, const Op& op) {
  if (w < 1 || h < 1) return;
  if (pa == w && pb == w && pc == w) {
    BinaryRow(a, b, c, static_cast<size_t>(w) * static_cast<size_t>(h), op);
    return;
  }
  for (int64_t y = 0; y < h; ++y) BinaryRow(RowAt(a, pa, y), RowAt(b, pb, y), RowAt(c, pc, y), w, op);
}

int32_t MMM(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t width, int32_t height,
            int32_t pitchA, int32_t pitchB, int32_t pitchC, int32_t code) {
  return WithByteOp(code, [&](const auto& op) {
    BinaryRect(a, b, c, width, height, pitchA, pitchB, pitchC, op);
  });
}

// Constant operations: the constant pattern is the second operand, so the
// row driver reads one source only.
template <class Op>
HWY_INLINE void UnaryRow(const uint8_t* s, uint8_t* c, size_t w, const Op& op) {
  const DU8 d;
  const size_t N = hn::Lanes(d);
  size_t x = 0;
  for (; x + 2 * N <= w; x += 2 * N) {
    const auto r0 = op(d, hn::LoadU(d, s + x));
    const auto r1 = op(d, hn::LoadU(d, s + x + N));
    hn::StoreU(r0, d, c + x);
    hn::StoreU(r1, d, c + x + N);
  }
  for (; x + N <= w; x += N) hn::StoreU(op(d, hn::LoadU(d, s + x)), d, c + x);
  if (x < w) {
    const size_t rem = w - x;
    HWY_ALIGN uint8_t ts[HWY_MAX_BYTES] = {}, tc[HWY_MAX_BYTES];
    std::memcpy(ts, s + x, rem);
    hn::Store(op(d, hn::Load(d, ts)), d, tc);
    std::memcpy(c + x, tc, rem);
  }
}

// rowBytes bytes per row; unitBytes-wide pixels carry the constant pattern.
template <class Op>
HWY_INLINE void UnaryRect(const uint8_t* s, uint8_t* c, size_t rowBytes, int32_t h, int32_t ps,
                          int32_t pc, const Op& op) {
  if (rowBytes == 0 || h < 1) return;
  if (static_cast<int64_t>(rowBytes) == ps && ps == pc) {
    UnaryRow(s, c, rowBytes * static_cast<size_t>(h), op);
    return;
  }
  for (int64_t y = 0; y < h; ++y) UnaryRow(RowAt(s, ps, y), RowAt(c, pc, y), rowBytes, op);
}

int32_t MCMb(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width, int32_t height,
             int32_t srcPitch, int32_t dstPitch, int32_t code) {
  const uint8_t k = static_cast<uint8_t>(constant);
  if (width < 1) return CodeSupported(code, false) ? 0 : -1;
  return WithByteOp(code, [&](const auto& op) {
    UnaryRect(src, dst, static_cast<size_t>(width), height, srcPitch, dstPitch,
              [&](auto d, auto v) { return op(d, v, hn::Set(d, k)); });
  });
}

// Logical constant operations on 16- and 32-bit pixels: the byte operations
// with the constant's bytes repeated across the vector in memory order.
template <typename T>
int32_t ConstLogicWide(const uint8_t* src, T k, uint8_t* dst, int32_t width, int32_t height,
                       int32_t srcPitch, int32_t dstPitch, int32_t code) {
  if (code < 0 || code > 15) return -1;
  if (width < 1) return 0;
  if (hn::Lanes(DU8()) < 16) {  // single-lane target: no room for the pattern
    return sizeof(T) == 2 ? scalar::tmMCMw(src, static_cast<int32_t>(k), dst, width, height,
                                           srcPitch, dstPitch, code)
                          : scalar::tmMCMd(src, static_cast<int32_t>(k), dst, width, height,
                                           srcPitch, dstPitch, code);
  }
  const size_t rowBytes = static_cast<size_t>(width) * sizeof(T);
  return WithByteOp(code, [&](const auto& op) {
    UnaryRect(src, dst, rowBytes, height, srcPitch, dstPitch, [&](auto d, auto v) {
      const hn::Repartition<T, decltype(d)> dw;
      return op(d, v, hn::BitCast(d, hn::Set(dw, k)));
    });
  });
}

int32_t MCMw(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width, int32_t height,
             int32_t srcPitch, int32_t dstPitch, int32_t code) {
  return ConstLogicWide<uint16_t>(src, static_cast<uint16_t>(constant), dst, width, height,
                                  srcPitch, dstPitch, code);
}

int32_t MCMd(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width, int32_t height,
             int32_t srcPitch, int32_t dstPitch, int32_t code) {
  return ConstLogicWide<uint32_t>(src, static_cast<uint32_t>(constant), dst, width, height,
                                  srcPitch, dstPitch, code);
}

// ---- Masked operations ----------------------------------------------------

// dst = op(src, dst) where the mask selects; accumulates what was written so
// that the summary can be formed.
struct MaskedAcc {
  bool nonzero = false;   // a written value was not 0
  bool not255 = false;    // a written value was not 255
  int32_t Result() const { return !nonzero ? 0 : (!not255 ? 1 : 2); }
};

template <class Op>
HWY_INLINE void MaskedRow(const uint8_t* s, uint8_t* dst, const uint8_t* mrow, size_t w,
                          int32_t flags, const Op& op, MaskedAcc& acc) {
  const DU8 d;
  const size_t N = hn::Lanes(d);
  const bool useMask = !(flags & TM_MASK_NONE);
  const bool invert = (flags & TM_MASK_INVERT) != 0;
  auto nz = hn::Zero(d), n255 = hn::Zero(d);
  auto block = [&](const uint8_t* ps, uint8_t* pd, const uint8_t* pm, auto limit) {
    auto m = hn::FirstN(d, limit);
    if (useMask) {
      auto bits = hn::LoadMaskBits(d, pm);
      if (invert) bits = hn::Not(bits);
      m = hn::And(m, bits);
    }
    const auto old = hn::LoadU(d, pd);
    const auto r = op(d, hn::LoadU(d, ps), old);
    nz = hn::Or(nz, hn::IfThenElseZero(m, r));
    n255 = hn::Or(n255, hn::IfThenElseZero(m, hn::Not(r)));
    hn::StoreU(hn::IfThenElse(m, r, old), d, pd);
  };
  size_t x = 0;
  for (; x + N <= w; x += N) block(s + x, dst + x, mrow ? mrow + x / 8 : nullptr, N);
  if (x < w) {
    // The remaining bytes through stack copies.
    const size_t rem = w - x;
    HWY_ALIGN uint8_t ts[HWY_MAX_BYTES] = {}, td[HWY_MAX_BYTES] = {};
    uint8_t tm[HWY_MAX_BYTES / 8 + 8] = {};
    std::memcpy(ts, s + x, rem);
    std::memcpy(td, dst + x, rem);
    if (mrow) std::memcpy(tm, mrow + x / 8, (rem + 7) / 8);
    block(ts, td, tm, rem);
    std::memcpy(dst + x, td, rem);
  }
  if (!hn::AllTrue(d, hn::Eq(nz, hn::Zero(d)))) acc.nonzero = true;
  if (!hn::AllTrue(d, hn::Eq(n255, hn::Zero(d)))) acc.not255 = true;
}

template <class Op>
HWY_INLINE void MaskedRect(const uint8_t* s, uint8_t* dst, const uint8_t* mask, int32_t w,
                           int32_t h, int32_t ps, int32_t pd, int32_t pm, int32_t flags,
                           const Op& op, MaskedAcc& acc) {
  if (w < 1 || h < 1) return;
  const bool useMask = !(flags & TM_MASK_NONE);
  for (int64_t y = 0; y < h; ++y)
    MaskedRow(RowAt(s, ps, y), RowAt(dst, pd, y), useMask ? RowAt(mask, pm, y) : nullptr,
              static_cast<size_t>(w), flags, op, acc);
}

int32_t MCmaskMb(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t width,
                 int32_t height, int32_t srcPitch, int32_t dstPitch, int32_t maskPitch,
                 int32_t constant, int32_t flags) {
  if (hn::Lanes(DU8()) % 8 != 0) {
    return scalar::tmMCmaskMb(src, dst, mask, width, height, srcPitch, dstPitch, maskPitch,
                              constant, flags);
  }
  const uint8_t k = static_cast<uint8_t>(constant);
  MaskedAcc acc;
  const int32_t r = WithByteOp(flags & 0x3F, [&](const auto& op) {
    MaskedRect(src, dst, mask, width, height, srcPitch, dstPitch, maskPitch, flags,
               [&](auto d, auto v, auto) { return op(d, v, hn::Set(d, k)); }, acc);
  });
  return r < 0 ? -1 : acc.Result();
}

int32_t MMmaskMb(const uint8_t* a, uint8_t* b, const uint8_t* mask, int32_t width, int32_t height,
                 int32_t pitchA, int32_t pitchB, int32_t maskPitch, int32_t flags) {
  if (hn::Lanes(DU8()) % 8 != 0) {
    return scalar::tmMMmaskMb(a, b, mask, width, height, pitchA, pitchB, maskPitch, flags);
  }
  MaskedAcc acc;
  const int32_t r = WithByteOp(flags & 0x3F, [&](const auto& op) {
    MaskedRect(a, b, mask, width, height, pitchA, pitchB, maskPitch, flags, op, acc);
  });
  return r < 0 ? -1 : acc.Result();
}

int32_t CmaskMoveB(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t width,
                   int32_t height, int32_t srcPitch, int32_t dstPitch, int32_t maskPitch,
                   int32_t invert) {
  if (hn::Lanes(DU8()) % 8 != 0) {
    return scalar::tmCmaskMoveB(src, dst, mask, width, height, srcPitch, dstPitch, maskPitch,
                                invert);
  }
  MaskedAcc acc;
  MaskedRect(src, dst, mask, width, height, srcPitch, dstPitch, maskPitch,
             invert ? TM_MASK_INVERT : 0, [](auto, auto v, auto) { return v; }, acc);
  return 0;
}

// ---- Thresholds -----------------------------------------------------------

// Writes the mask bits of one row; bits past the width keep their values.
template <class Cmp>
HWY_INLINE void ThreshRow(const uint8_t* s, uint8_t* m, size_t w, const Cmp& cmp) {
  const DU8 d;
  const size_t N = hn::Lanes(d);
  size_t x = 0;
  for (; x + N <= w; x += N) hn::StoreMaskBits(d, cmp(d, hn::LoadU(d, s + x)), m + x / 8);
  if (x < w) {
    const size_t rem = w - x;
    HWY_ALIGN uint8_t ts[HWY_MAX_BYTES] = {};
    uint8_t bits[HWY_MAX_BYTES / 8 + 8] = {};
    std::memcpy(ts, s + x, rem);
    hn::StoreMaskBits(d, cmp(d, hn::Load(d, ts)), bits);
    const size_t full = rem / 8;
    std::memcpy(m + x / 8, bits, full);
    if (rem % 8) {
      const uint8_t keep = static_cast<uint8_t>(0xFFu << (rem % 8));
      uint8_t& last = m[x / 8 + full];
      last = static_cast<uint8_t>((last & keep) | (bits[full] & ~keep));
    }
  }
}

int32_t ThreshMaskB(const uint8_t* src, int32_t t, uint8_t* mask, int32_t width, int32_t height,
                    int32_t srcPitch, int32_t maskPitch, int32_t relation) {
  if (relation < 0 || relation > 15) return -1;
  if (width < 1 || height < 1) return 0;
  if (hn::Lanes(DU8()) % 8 != 0) {
    return scalar::tmThreshMaskB(src, t, mask, width, height, srcPitch, maskPitch, relation);
  }
  const uint8_t tt = static_cast<uint8_t>(t);
  auto rows = [&](const auto& cmp) {
    if (srcPitch == width && static_cast<int64_t>(maskPitch) * 8 == width) {
      ThreshRow(src, mask, static_cast<size_t>(width) * static_cast<size_t>(height), cmp);
      return;
    }
    for (int64_t y = 0; y < height; ++y)
      ThreshRow(RowAt(src, srcPitch, y), RowAt(mask, maskPitch, y), static_cast<size_t>(width), cmp);
  };
  // Outcome bits: 1 v = t, 2 v > t, 4 v < t. Every relation is one compare.
  switch (relation & 7) {
    case 0: rows([](auto d, auto) { return hn::FirstN(d, 0); }); break;
    case 7: rows([](auto d, auto) { return hn::FirstN(d, hn::Lanes(d)); }); break;
    case 1: rows([tt](auto d, auto v) { return hn::Eq(v, hn::Set(d, tt)); }); break;
    case 6: rows([tt](auto d, auto v) { return hn::Not(hn::Eq(v, hn::Set(d, tt))); }); break;
    case 5:  // v <= t
      rows([tt](auto d, auto v) { return hn::Eq(hn::SaturatedSub(v, hn::Set(d, tt)), hn::Zero(d)); });
      break;
    case 2:  // v > t
      rows([tt](auto d, auto v) {
        return hn::Not(hn::Eq(hn::SaturatedSub(v, hn::Set(d, tt)), hn::Zero(d)));
      });
      break;
    case 3:  // v >= t
      rows([tt](auto d, auto v) { return hn::Eq(hn::SaturatedSub(hn::Set(d, tt), v), hn::Zero(d)); });
      break;
    case 4:  // v < t
      rows([tt](auto d, auto v) {
        return hn::Not(hn::Eq(hn::SaturatedSub(hn::Set(d, tt), v), hn::Zero(d)));
      });
      break;
  }
  return 0;
}

// ---- Set-pixel counts -----------------------------------------------------

// Number of set bits of n bytes.
HWY_INLINE uint64_t CountBytes(const uint8_t* p, size_t n) {
  const DU8 d;
  const hn::Repartition<uint64_t, DU8> d64;
  const size_t N = hn::Lanes(d);
  auto acc = hn::Zero(d64);
  size_t x = 0;
  for (; x + 2 * N <= n; x += 2 * N) {
    const auto c0 = hn::PopulationCount(hn::LoadU(d, p + x));
    const auto c1 = hn::PopulationCount(hn::LoadU(d, p + x + N));
    acc = hn::Add(acc, hn::SumsOf8(hn::Add(c0, c1)));
  }
  for (; x + N <= n; x += N) acc = hn::Add(acc, hn::SumsOf8(hn::PopulationCount(hn::LoadU(d, p + x))));
  if (x < n) {
    HWY_ALIGN uint8_t t[HWY_MAX_BYTES] = {};
    std::memcpy(t, p + x, n - x);
    acc = hn::Add(acc, hn::SumsOf8(hn::PopulationCount(hn::Load(d, t))));
  }
  return hn::GetLane(hn::SumOfLanes(d64, acc));
}

int64_t MaskOnes(const uint8_t* mask, int32_t x0, int32_t y0, int32_t width, int32_t height,
                 int32_t pitch) {
  if (x0 < 0 || y0 < 0) return -1;
  if (width < 1 || height < 1) return 0;
  const int64_t first = x0, last = static_cast<int64_t>(x0) + width - 1;
  const int64_t b0 = first / 8, b1 = last / 8;
  const uint8_t headMask = static_cast<uint8_t>(0xFFu << (first % 8));
  const uint8_t tailMask = static_cast<uint8_t>(0xFFu >> (7 - last % 8));
  int64_t total = 0;
  if (b0 == 0 && first % 8 == 0 && last % 8 == 7 && b1 + 1 == pitch) {
    // Whole rows without padding: one run.
    return static_cast<int64_t>(CountBytes(RowAt(mask, pitch, y0),
                                           static_cast<size_t>(pitch) * static_cast<size_t>(height)));
  }
  for (int64_t y = y0; y < static_cast<int64_t>(y0) + height; ++y) {
    const uint8_t* r = RowAt(mask, pitch, y);
    if (b0 == b1) {
      total += hwy::PopCount(static_cast<uint64_t>(r[b0] & headMask & tailMask));
      continue;
    }
    total += hwy::PopCount(static_cast<uint64_t>(r[b0] & headMask));
    total += hwy::PopCount(static_cast<uint64_t>(r[b1] & tailMask));
    if (b1 > b0 + 1) total += static_cast<int64_t>(CountBytes(r + b0 + 1, static_cast<size_t>(b1 - b0 - 1)));
  }
  return total;
}

// ---- Byte tables ----------------------------------------------------------

// dst = table[src]: sixteen 16-entry lookups, each chosen by the high nibble.
int32_t SubstByteRect(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                      int32_t srcPitch, int32_t dstPitch, const uint8_t* table) {
  if (width < 1 || height < 1) return 0;
  if (hn::Lanes(DU8()) < 16) {  // single-lane target: no byte shuffles
    return scalar::tmSubstByteRect(src, dst, width, height, srcPitch, dstPitch, table);
  }
  UnaryRect(src, dst, static_cast<size_t>(width), height, srcPitch, dstPitch,
            [table](auto d, auto v) {
              const auto lo = hn::And(v, hn::Set(d, uint8_t{15}));
              const auto hi = hn::ShiftRight<4>(v);
              auto r = hn::Zero(d);
              for (int k = 0; k < 16; ++k) {
                const auto t = hn::LoadDup128(d, table + 16 * k);
                r = hn::IfThenElse(hn::Eq(hi, hn::Set(d, static_cast<uint8_t>(k))),
                                   hn::TableLookupBytes(t, lo), r);
              }
              return r;
            });
  return 0;
}

int32_t ReverseBits(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                    int32_t srcPitch, int32_t dstPitch) {
  if (width < 1 || height < 1) return 0;
  if (hn::Lanes(DU8()) < 16) {  // single-lane target: no byte shuffles
    return scalar::tmReverseBits(src, dst, width, height, srcPitch, dstPitch);
  }
  // Bit order reversed within each nibble.
  alignas(16) static const uint8_t rev4[16] = {0, 8, 4, 12, 2, 10, 6, 14,
                                               1, 9, 5, 13, 3, 11, 7, 15};
  const uint8_t* rev = rev4;
  UnaryRect(src, dst, static_cast<size_t>(width), height, srcPitch, dstPitch,
            [rev](auto d, auto v) {
              const auto t = hn::LoadDup128(d, rev);
              const auto lo = hn::TableLookupBytes(t, hn::And(v, hn::Set(d, uint8_t{15})));
              const auto hi = hn::TableLookupBytes(t, hn::ShiftRight<4>(v));
              return hn::Or(hn::ShiftLeft<4>(lo), hi);
            });
  return 0;
}

// ---- Mask comparison ------------------------------------------------------

HWY_INLINE bool BytesDiffer(const uint8_t* a, const uint8_t* b, size_t n) {
  const DU8 d;
  const size_t N = hn::Lanes(d);
  size_t x = 0;
  for (; x + N <= n; x += N) {
    if (!hn::AllTrue(d, hn::Eq(hn::LoadU(d, a + x), hn::LoadU(d, b + x)))) return true;
  }
  return x < n && std::memcmp(a + x, b + x, n - x) != 0;
}

int32_t Differ(const uint8_t* a, const uint8_t* b, int32_t width, int32_t height, int32_t pitchA,
               int32_t pitchB) {
  if (width < 1 || height < 1) return 0;
  const size_t full = static_cast<size_t>(width) / 8;
  const uint8_t lastMask = static_cast<uint8_t>((1u << (width % 8)) - 1);
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* ra = RowAt(a, pitchA, y);
    const uint8_t* rb = RowAt(b, pitchB, y);
    if (BytesDiffer(ra, rb, full)) return 1;
    if (lastMask && ((ra[full] ^ rb[full]) & lastMask)) return 1;
  }
  return 0;
}

// ---- Fills and moves ------------------------------------------------------

int32_t MoveConst(int32_t value, uint8_t* dst, int32_t width, int32_t height, int32_t pitch) {
  if (width < 1 || height < 1) return 0;
  const int v = value & 255;
  if (pitch == width) {
    std::memset(dst, v, static_cast<size_t>(width) * static_cast<size_t>(height));
    return 0;
  }
  for (int64_t y = 0; y < height; ++y) std::memset(RowAt(dst, pitch, y), v, static_cast<size_t>(width));
  return 0;
}

int32_t MoveByteRect(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                     int32_t srcPitch, int32_t dstPitch, int32_t flags) {
  if (width < 1 || height < 1) return 0;
  const size_t w = static_cast<size_t>(width);
  const bool complement = flags & 1;
  const auto notOp = [](auto, auto v) { return hn::Not(v); };
  if (srcPitch == width && dstPitch == width) {
    const size_t n = w * static_cast<size_t>(height);
    std::memmove(dst, src, n);
    if (complement) UnaryRow(dst, dst, n, notOp);
    return 0;
  }
  // Rows in the order that keeps overlapping moves right.
  const bool up = dst > src;
  for (int64_t i = 0; i < height; ++i) {
    const int64_t y = up ? height - 1 - i : i;
    const uint8_t* s = RowAt(src, srcPitch, y);
    uint8_t* d = RowAt(dst, dstPitch, y);
    const bool apart = d + w <= s || s + w <= d || d == s;
    if (complement && apart) {
      UnaryRow(s, d, w, notOp);
    } else {
      std::memmove(d, s, w);
      if (complement) UnaryRow(d, d, w, notOp);
    }
  }
  return 0;
}

const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace vantor
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantor {
HWY_EXPORT(MMM);
HWY_EXPORT(MCMb);
HWY_EXPORT(MCMw);
HWY_EXPORT(MCMd);
HWY_EXPORT(MCmaskMb);
HWY_EXPORT(MMmaskMb);
HWY_EXPORT(CmaskMoveB);
HWY_EXPORT(ThreshMaskB);
HWY_EXPORT(MaskOnes);
HWY_EXPORT(SubstByteRect);
HWY_EXPORT(ReverseBits);
HWY_EXPORT(Differ);
HWY_EXPORT(MoveConst);
HWY_EXPORT(MoveByteRect);
HWY_EXPORT(TargetName);

const char* KernelTargetName() { return HWY_DYNAMIC_DISPATCH(TargetName)(); }
}  // namespace vantor

namespace {

// The kernels' refusals (a code or relation they do not perform, a negative
// corner), stated only on the failure path so the kernels keep their speed.
template <class R>
R Refused(const char* operation, R result, const char* what, int32_t value) {
  if (result < 0) {
    vantor::err::Report(operation, VANTOR_ERROR_PARAMETER, "%s %d is not taken", what, value);
  }
  return result;
}

}  // namespace

extern "C" {

int32_t tmMMM(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t width, int32_t height,
              int32_t pitchA, int32_t pitchB, int32_t pitchC, int32_t code) {
  const auto r =
      HWY_DYNAMIC_DISPATCH(vantor::MMM)(a, b, c, width, height, pitchA, pitchB, pitchC, code);
  return Refused(__func__, r, "code", code);
}

int32_t tmMoveByteRect(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                       int32_t srcPitch, int32_t dstPitch, int32_t flags) {
  return HWY_DYNAMIC_DISPATCH(vantor::MoveByteRect)(src, dst, width, height, srcPitch, dstPitch,
                                                    flags);
}

int32_t tmMoveConst(int32_t value, uint8_t* dst, int32_t width, int32_t height, int32_t pitch) {
  return HWY_DYNAMIC_DISPATCH(vantor::MoveConst)(value, dst, width, height, pitch);
}

int32_t tmMCMb(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width, int32_t height,
               int32_t srcPitch, int32_t dstPitch, int32_t code) {
  const auto r = HWY_DYNAMIC_DISPATCH(vantor::MCMb)(src, constant, dst, width, height, srcPitch,
                                                    dstPitch, code);
  return Refused(__func__, r, "code", code);
}

int32_t tmMCMw(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width, int32_t height,
               int32_t srcPitch, int32_t dstPitch, int32_t code) {
  const auto r = HWY_DYNAMIC_DISPATCH(vantor::MCMw)(src, constant, dst, width, height, srcPitch,
                                                    dstPitch, code);
  return Refused(__func__, r, "code", code);
}

int32_t tmMCMd(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width, int32_t height,
               int32_t srcPitch, int32_t dstPitch, int32_t code) {
  const auto r = HWY_DYNAMIC_DISPATCH(vantor::MCMd)(src, constant, dst, width, height, srcPitch,
                                                    dstPitch, code);
  return Refused(__func__, r, "code", code);
}

int32_t tmMCmaskMb(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t width,
                   int32_t height, int32_t srcPitch, int32_t dstPitch, int32_t maskPitch,
                   int32_t constant, int32_t flags) {
  const auto r = HWY_DYNAMIC_DISPATCH(vantor::MCmaskMb)(src, dst, mask, width, height, srcPitch,
                                                        dstPitch, maskPitch, constant, flags);
  return Refused(__func__, r, "code", flags & 0x3F);
}

int32_t tmMMmaskMb(const uint8_t* a, uint8_t* b, const uint8_t* mask, int32_t width,
                   int32_t height, int32_t pitchA, int32_t pitchB, int32_t maskPitch,
                   int32_t flags) {
  const auto r = HWY_DYNAMIC_DISPATCH(vantor::MMmaskMb)(a, b, mask, width, height, pitchA, pitchB,
                                                        maskPitch, flags);
  return Refused(__func__, r, "code", flags & 0x3F);
}

int32_t tmCmaskMoveB(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t width,
                     int32_t height, int32_t srcPitch, int32_t dstPitch, int32_t maskPitch,
                     int32_t invert) {
  return HWY_DYNAMIC_DISPATCH(vantor::CmaskMoveB)(src, dst, mask, width, height, srcPitch,
                                                  dstPitch, maskPitch, invert);
}

int32_t tmThreshMaskB(const uint8_t* src, int32_t t, uint8_t* mask, int32_t width,
                      int32_t height, int32_t srcPitch, int32_t maskPitch, int32_t relation) {
  const auto r = HWY_DYNAMIC_DISPATCH(vantor::ThreshMaskB)(src, t, mask, width, height, srcPitch,
                                                           maskPitch, relation);
  return Refused(__func__, r, "relation", relation);
}

int64_t tmMaskOnes(const uint8_t* mask, int32_t x0, int32_t y0, int32_t width, int32_t height,
                   int32_t pitch) {
  const auto r = HWY_DYNAMIC_DISPATCH(vantor::MaskOnes)(mask, x0, y0, width, height, pitch);
  return Refused(__func__, r, "corner column or row", x0 < 0 ? x0 : y0);
}

int32_t tmSubstByteRect(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                        int32_t srcPitch, int32_t dstPitch, const uint8_t* table) {
  return HWY_DYNAMIC_DISPATCH(vantor::SubstByteRect)(src, dst, width, height, srcPitch, dstPitch,
                                                     table);
}

int32_t tmReverseBits(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                      int32_t srcPitch, int32_t dstPitch) {
  return HWY_DYNAMIC_DISPATCH(vantor::ReverseBits)(src, dst, width, height, srcPitch, dstPitch);
}

int32_t tmDiffer(const uint8_t* a, const uint8_t* b, int32_t width, int32_t height,
                 int32_t pitchA, int32_t pitchB) {
  return HWY_DYNAMIC_DISPATCH(vantor::Differ)(a, b, width, height, pitchA, pitchB);
}

}  // extern "C"

// ---- Histogram ------------------------------------------------------------

// Counts go to four interleaved tables so that runs of equal bytes do not
// serialise on one counter; a histogram gains nothing from vector
// instructions, so this loop is the only one, compiled once.
namespace {
void CountRun(const uint8_t* p, size_t n, uint32_t (&h)[4][256]) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v;
    std::memcpy(&v, p + i, 8);
    ++h[0][v & 0xFF];
    ++h[1][(v >> 8) & 0xFF];
    ++h[2][(v >> 16) & 0xFF];
    ++h[3][(v >> 24) & 0xFF];
    ++h[0][(v >> 32) & 0xFF];
    ++h[1][(v >> 40) & 0xFF];
    ++h[2][(v >> 48) & 0xFF];
    ++h[3][v >> 56];
  }
  for (; i < n; ++i) ++h[i & 3][p[i]];
}
}  // namespace

extern "C" int32_t tmHist8(const uint8_t* src, int32_t width, int32_t height, int32_t pitch,
                           uint32_t* hist, int32_t clear) {
  if (clear) std::memset(hist, 0, 256 * sizeof(uint32_t));
  if (width < 1 || height < 1) return 0;
  uint32_t part[4][256] = {};
  if (pitch == width) {
    // Rows without padding: one run, so the block loop does not break at row ends.
    CountRun(src, static_cast<size_t>(width) * static_cast<size_t>(height), part);
  } else {
    for (int64_t y = 0; y < height; ++y)
      CountRun(src + static_cast<ptrdiff_t>(y) * pitch, static_cast<size_t>(width), part);
  }
  for (int i = 0; i < 256; ++i) hist[i] += part[0][i] + part[1][i] + part[2][i] + part[3][i];
  return 0;
}
#endif  // HWY_ONCE
