// Vector neighbourhood kernels on bytes and masks, mask searches and bit moves,
// and the structuring-element operations on masks.
//
// Runs of n steps are computed in one call, not step by step: the maximum
// (or OR) over a window of 2n + 1 pixels is built by doubling (windows of 1,
// 2, 4, ... K pixels, K the largest power of two not above 2n + 1) over a
// copy of the line padded with n neutral values on either side, and then
// taken as the union of two overlapping windows of K. The padding stands for
// the pixels outside the image, which take no part. Erosion of masks is done
// as dilation of the complement.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/kernels_nei.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <hwy/aligned_allocator.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "generic/last_error.h"
#include "kernels/kernels.h"
#include "kernels/kernels_scalar.h"

#ifndef VANTOR_KERNELS_NEI_ONCE
#define VANTOR_KERNELS_NEI_ONCE
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "mask rows are read as little-endian 64-bit words");
#endif

HWY_BEFORE_NAMESPACE();
namespace vantor {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DU8 = hn::ScalableTag<uint8_t>;
using DU64 = hn::ScalableTag<uint64_t>;

inline const uint8_t* RowAt(const uint8_t* p, int32_t pitch, int64_t y) {
  return p + static_cast<ptrdiff_t>(y) * pitch;
}
inline uint8_t* RowAt(uint8_t* p, int32_t pitch, int64_t y) {
  return p + static_cast<ptrdiff_t>(y) * pitch;
}

// Largest power of two not above v (v >= 1).
inline int64_t FloorPow2(int64_t v) {
  int64_t k = 1;
  while (k * 2 <= v) k *= 2;
  return k;
}

// Byte operations of the runs: maximum / minimum, or OR / AND for masks read
// as bytes (vertical runs only: no bit crosses a byte there).
struct OpMax {
  static constexpr uint8_t kId = 0;
  template <class V> static V Do(V a, V b) { return hn::Max(a, b); }
};
struct OpMin {
  static constexpr uint8_t kId = 255;
  template <class V> static V Do(V a, V b) { return hn::Min(a, b); }
};
struct OpOr {
  static constexpr uint8_t kId = 0;
  template <class V> static V Do(V a, V b) { return hn::Or(a, b); }
};
struct OpAnd {
  static constexpr uint8_t kId = 255;
  template <class V> static V Do(V a, V b) { return hn::And(a, b); }
};

// Stores the first n bytes of v at p (n <= lanes) without touching p[n..].
HWY_INLINE void StorePartial(DU8 d, hn::Vec<DU8> v, uint8_t* p, size_t n) {
  HWY_ALIGN uint8_t t[HWY_MAX_BYTES];
  hn::Store(v, d, t);
  std::memcpy(p, t, n);
}
// Loads n bytes (n <= lanes), the rest of the vector is `fill`.
HWY_INLINE hn::Vec<DU8> LoadPartial(DU8 d, const uint8_t* p, size_t n, uint8_t fill) {
  HWY_ALIGN uint8_t t[HWY_MAX_BYTES];
  std::memset(t, fill, sizeof(t));
  std::memcpy(t, p, n);
  return hn::Load(d, t);
}

// Writes an output row of n bytes from make(x, count), the vector of bytes x
// to x + count - 1 (count up to a vector); combined with what the row holds
// when asked. The bits lastKeep of the row's last byte keep their values.
template <class Op, class Make>
HWY_INLINE void StoreRunRow(uint8_t* out, size_t n, bool combine, uint8_t lastKeep,
                            const Make& make) {
  const DU8 d;
  const size_t N = hn::Lanes(d);
  const uint8_t keptLast = lastKeep ? out[n - 1] : 0;
  size_t x = 0;
  for (; x + N <= n; x += N) {
    auto r = make(x, N);
    if (combine) r = Op::Do(r, hn::LoadU(d, out + x));
    hn::StoreU(r, d, out + x);
  }
  if (x < n) {
    const size_t rem = n - x;
    auto r = make(x, rem);
    if (combine) r = Op::Do(r, LoadPartial(d, out + x, rem, Op::kId));
    StorePartial(d, r, out + x, rem);
  }
  if (lastKeep)
    out[n - 1] = static_cast<uint8_t>((keptLast & lastKeep) | (out[n - 1] & ~lastKeep));
}

// ---- Byte row runs --------------------------------------------------------

template <class Op>
int32_t ByteRunRows(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                    int32_t srcPitch, int32_t dstPitch, bool combine, int32_t n) {
  const DU8 d;
  const size_t N = hn::Lanes(d);
  const int64_t w = width;
  const int64_t P = n < w - 1 ? n : w - 1;  // wider windows see the whole row
  const int64_t L = 2 * P + 1, K = FloorPow2(L);
  const size_t len = static_cast<size_t>(w + 2 * P);
  auto buf = hwy::AllocateAligned<uint8_t>(len + 2 * N);
  if (!buf) return -1;
  uint8_t* b = buf.get();
  const size_t far = static_cast<size_t>(2 * P - K + 1);
  for (int64_t y = 0; y < height; ++y) {
    std::memset(b, Op::kId, static_cast<size_t>(P));
    std::memcpy(b + P, RowAt(src, srcPitch, y), static_cast<size_t>(w));
    std::memset(b + P + w, Op::kId, static_cast<size_t>(P) + 2 * N);
    for (int64_t s = 1; 2 * s <= L; s *= 2) {
      for (size_t i = 0; i + static_cast<size_t>(s) < len; i += N)
        hn::Store(Op::Do(hn::Load(d, b + i), hn::LoadU(d, b + i + s)), d, b + i);
    }
    StoreRunRow<Op>(RowAt(dst, dstPitch, y), static_cast<size_t>(w), combine, 0,
                    [&](size_t x, size_t) { return Op::Do(hn::Load(d, b + x), hn::LoadU(d, b + x + far)); });
  }
  return 0;
}

// ---- Column runs over bytes (also masks read as bytes) --------------------

// Short column runs (n = 1 or 2) straight from the rows: each output row is
// the operation over its 2n + 1 neighbours. Working in place, the original
// rows above the current one are kept in a small ring.
template <class Op>
int32_t ByteRunColumnsShort(const uint8_t* src, uint8_t* dst, int64_t rowBytes, int64_t h,
                            int32_t srcPitch, int32_t dstPitch, bool combine, int64_t P,
                            uint8_t lastKeep) {
  const DU8 d;
  const size_t N = hn::Lanes(d);
  const size_t rb = static_cast<size_t>(rowBytes);
  const bool inPlace = src == dst && srcPitch == dstPitch;
  hwy::AlignedFreeUniquePtr<uint8_t[]> ring;
  if (inPlace) {
    ring = hwy::AllocateAligned<uint8_t>(static_cast<size_t>(P + 1) * rb);
    if (!ring) return -1;
  }
  // Row r of the source as it was before this call.
  auto original = [&](int64_t r) -> const uint8_t* {
    return inPlace ? ring.get() + static_cast<size_t>(r % (P + 1)) * rb : RowAt(src, srcPitch, r);
  };
  for (int64_t y = 0; y < h; ++y) {
    if (inPlace) std::memcpy(ring.get() + static_cast<size_t>(y % (P + 1)) * rb, RowAt(src, srcPitch, y), rb);
    const uint8_t* rows[5];
    int k = 0;
    rows[k++] = original(y);
    for (int64_t j = 1; j <= P; ++j) {
      if (y - j >= 0) rows[k++] = original(y - j);
      if (y + j < h) rows[k++] = RowAt(src, srcPitch, y + j);
    }
    StoreRunRow<Op>(RowAt(dst, dstPitch, y), rb, combine, lastKeep, [&](size_t x, size_t count) {
      auto load = [&](const uint8_t* p) {
        return count == N ? hn::LoadU(d, p + x) : LoadPartial(d, p + x, count, Op::kId);
      };
      auto r = load(rows[0]);
      for (int i = 1; i < k; ++i) r = Op::Do(r, load(rows[i]));
      return r;
    });
  }
  return 0;
}

// lastKeep: bits of each row's last byte that must keep their values (the
// padding bits of a mask row), 0 for byte images.
template <class Op>
int32_t ByteRunColumns(const uint8_t* src, uint8_t* dst, int64_t rowBytes, int32_t height,
                       int32_t srcPitch, int32_t dstPitch, bool combine, int32_t n,
                       uint8_t lastKeep) {
  const DU8 d;
  const size_t N = hn::Lanes(d);
  const int64_t h = height;
  const int64_t P = n < h - 1 ? n : h - 1;
  if (P <= 2)
    return ByteRunColumnsShort<Op>(src, dst, rowBytes, h, srcPitch, dstPitch, combine, P, lastKeep);
  const int64_t L = 2 * P + 1, K = FloorPow2(L);
  const int64_t rows = h + 2 * P;
  // Strips of columns small enough for the padded copy to stay in cache.
  int64_t S = (int64_t{768} * 1024 / rows) / static_cast<int64_t>(N) * static_cast<int64_t>(N);
  if (S < static_cast<int64_t>(N)) S = static_cast<int64_t>(N);
  const int64_t roundedRow = (rowBytes + static_cast<int64_t>(N) - 1) / static_cast<int64_t>(N) * static_cast<int64_t>(N);
  if (S > roundedRow) S = roundedRow;
  auto buf = hwy::AllocateAligned<uint8_t>(static_cast<size_t>(rows * S));
  if (!buf) return -1;
  uint8_t* T = buf.get();
  const int64_t far = 2 * P - K + 1;
  for (int64_t x0 = 0; x0 < rowBytes; x0 += S) {
    const int64_t sw = rowBytes - x0 < S ? rowBytes - x0 : S;
    std::memset(T, Op::kId, static_cast<size_t>(P * S));
    for (int64_t y = 0; y < h; ++y) {
      uint8_t* t = T + (P + y) * S;
      std::memcpy(t, RowAt(src, srcPitch, y) + x0, static_cast<size_t>(sw));
      if (sw < S) std::memset(t + sw, Op::kId, static_cast<size_t>(S - sw));
    }
    std::memset(T + (P + h) * S, Op::kId, static_cast<size_t>(P * S));
    for (int64_t s = 1; 2 * s <= L; s *= 2) {
      for (int64_t r = 0; r + s < rows; ++r) {
        uint8_t* a = T + r * S;
        const uint8_t* b = T + (r + s) * S;
        for (int64_t i = 0; i < S; i += static_cast<int64_t>(N))
          hn::Store(Op::Do(hn::Load(d, a + i), hn::Load(d, b + i)), d, a + i);
      }
    }
    const bool hasLast = lastKeep && x0 + sw == rowBytes;
    for (int64_t y = 0; y < h; ++y) {
      const uint8_t* a = T + y * S;
      const uint8_t* b = T + (y + far) * S;
      StoreRunRow<Op>(RowAt(dst, dstPitch, y) + x0, static_cast<size_t>(sw), combine,
                      hasLast ? lastKeep : 0, [&](size_t i, size_t) {
                        return Op::Do(hn::Load(d, a + i), hn::Load(d, b + i));
                      });
    }
  }
  return 0;
}

int32_t ByteNeiH2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                  int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n) {
  if (width < 1 || height < 1 || n < 1) return 0;
  const bool combine = (flags & TM_NEI_COMBINE) != 0;
  return (flags & TM_NEI_ERODE)
             ? ByteRunRows<OpMin>(src, dst, width, height, srcPitch, dstPitch, combine, n)
             : ByteRunRows<OpMax>(src, dst, width, height, srcPitch, dstPitch, combine, n);
}

int32_t ByteNeiV2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                  int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n) {
  if (width < 1 || height < 1 || n < 1) return 0;
  const bool combine = (flags & TM_NEI_COMBINE) != 0;
  return (flags & TM_NEI_ERODE)
             ? ByteRunColumns<OpMin>(src, dst, width, height, srcPitch, dstPitch, combine, n, 0)
             : ByteRunColumns<OpMax>(src, dst, width, height, srcPitch, dstPitch, combine, n, 0);
}

// ---- Mask rows as 64-bit words --------------------------------------------

inline uint8_t PaddingBits(int64_t width) {
  return static_cast<uint8_t>(width % 8 ? 0xFFu << (width % 8) : 0);
}

// Copies the rowBytes bytes of a mask row into words[0..], complementing when
// asked, with every bit from `width` on cleared.
HWY_INLINE void LoadMaskRow(uint64_t* words, int64_t nwords, const uint8_t* row, int64_t width,
                            bool complement) {
  const DU64 d;
  const size_t N = hn::Lanes(d);
  std::memset(words, 0, static_cast<size_t>(nwords) * 8);
  std::memcpy(words, row, static_cast<size_t>((width + 7) / 8));
  if (complement) {
    int64_t i = 0;
    for (; i + static_cast<int64_t>(N) <= nwords; i += static_cast<int64_t>(N))
      hn::StoreU(hn::Not(hn::LoadU(d, words + i)), d, words + i);
    for (; i < nwords; ++i) words[i] = ~words[i];
  }
  if (width % 64) words[width / 64] &= (uint64_t{1} << (width % 64)) - 1;
  for (int64_t i = (width + 63) / 64; i < nwords; ++i) words[i] = 0;
}

// Writes the pixels x < width of a row held in words (complemented back when
// asked; combined with OR, or AND when complemented, with what the row holds);
// the padding bits of the last byte keep their values.
HWY_INLINE void StoreMaskRow(uint64_t* words, uint8_t* row, int64_t width, bool complement,
                             bool combine) {
  const DU64 d;
  const size_t N = hn::Lanes(d);
  const int64_t nwords = (width + 63) / 64;
  const int64_t bytes = (width + 7) / 8;
  if (complement || combine) {
    HWY_ALIGN uint64_t old[HWY_MAX_BYTES / 8];
    for (int64_t i = 0; i < nwords; i += static_cast<int64_t>(N)) {
      auto v = hn::LoadU(d, words + i);
      if (complement) v = hn::Not(v);
      if (combine) {
        const int64_t off = i * 8;
        const int64_t take = bytes - off < static_cast<int64_t>(N * 8) ? bytes - off : static_cast<int64_t>(N * 8);
        std::memset(old, 0, sizeof(old));
        std::memcpy(old, row + off, static_cast<size_t>(take));
        const auto o = hn::Load(d, old);
        v = complement ? hn::And(v, o) : hn::Or(v, o);
      }
      hn::StoreU(v, d, words + i);
    }
  }
  const uint8_t keep = PaddingBits(width);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(words);
  if (!keep) {
    std::memcpy(row, b, static_cast<size_t>(bytes));
  } else {
    std::memcpy(row, b, static_cast<size_t>(bytes - 1));
    row[bytes - 1] = static_cast<uint8_t>((row[bytes - 1] & keep) | (b[bytes - 1] & ~keep));
  }
}

// out[i] = the 64 bits of A starting at bit 64 * i + offset (offset >= 0),
// for i in [0, count); A must hold count + offset / 64 + 1 words plus one
// vector of slack.
HWY_INLINE void ShiftedWords(const uint64_t* A, uint64_t* out, int64_t count, int64_t offset,
                             bool orInto) {
  const DU64 d;
  const size_t N = hn::Lanes(d);
  const int64_t q = offset / 64;
  const int r = static_cast<int>(offset % 64);
  for (int64_t i = 0; i < count; i += static_cast<int64_t>(N)) {
    auto v = hn::LoadU(d, A + i + q);
    if (r) v = hn::Or(hn::ShiftRightSame(v, r), hn::ShiftLeftSame(hn::LoadU(d, A + i + q + 1), 64 - r));
    if (orInto) v = hn::Or(v, hn::LoadU(d, out + i));
    hn::StoreU(v, d, out + i);
  }
}

// Row runs of a mask: OR over pixels x - n .. x + n, in place over the rows
// of src into dst.
int32_t BitRunRows(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                   int32_t srcPitch, int32_t dstPitch, bool erode, bool combine, int32_t n) {
  const DU64 d;
  const int64_t N = static_cast<int64_t>(hn::Lanes(d));
  const int64_t w = width;
  const int64_t P = n < w - 1 ? n : w - 1;
  const int64_t L = 2 * P + 1, K = FloorPow2(L);
  const int64_t Wd = (w + 63) / 64;
  const int64_t Pw = (P + 63) / 64 + 1;     // neutral words on either side
  const int64_t total = Wd + 2 * Pw;
  const int64_t alloc = total + Pw + 2 * N + 2;
  auto A = hwy::AllocateAligned<uint64_t>(static_cast<size_t>(alloc));
  auto O = hwy::AllocateAligned<uint64_t>(static_cast<size_t>(Wd + N));
  if (!A || !O) return -1;
  uint64_t* a = A.get();
  for (int64_t y = 0; y < height; ++y) {
    std::memset(a, 0, static_cast<size_t>(alloc) * 8);
    LoadMaskRow(a + Pw, Wd, RowAt(src, srcPitch, y), w, erode);
    // Doubling in place: each word reads only words at or after it.
    for (int64_t s = 1; 2 * s <= L; s *= 2) ShiftedWords(a, a, total, s, true);
    // out = M_K[x - P] | M_K[x + P - K + 1], both read from A at bit offsets
    // relative to word Pw.
    ShiftedWords(a, O.get(), Wd, 64 * Pw - P, false);
    ShiftedWords(a, O.get(), Wd, 64 * Pw + P - K + 1, true);
    StoreMaskRow(O.get(), RowAt(dst, dstPitch, y), w, erode, combine);
  }
  return 0;
}

int32_t BitColumns(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                   int32_t srcPitch, int32_t dstPitch, bool erode, bool combine, int32_t n) {
  const int64_t bytes = (static_cast<int64_t>(width) + 7) / 8;
  return erode ? ByteRunColumns<OpAnd>(src, dst, bytes, height, srcPitch, dstPitch, combine, n,
                                       PaddingBits(width))
               : ByteRunColumns<OpOr>(src, dst, bytes, height, srcPitch, dstPitch, combine, n,
                                      PaddingBits(width));
}

int32_t BitNeiH2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                 int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n) {
  if (width < 1 || height < 1 || n < 1) return 0;
  return BitRunRows(src, dst, width, height, srcPitch, dstPitch, flags & TM_NEI_ERODE,
                    flags & TM_NEI_COMBINE, n);
}

int32_t BitNeiV2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                 int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n) {
  if (width < 1 || height < 1 || n < 1) return 0;
  return BitColumns(src, dst, width, height, srcPitch, dstPitch, flags & TM_NEI_ERODE,
                    flags & TM_NEI_COMBINE, n);
}

// n steps of the cross (pixel and its 4 edge neighbours) in place. Returns 1
// when a pixel changed, 0 when none did, -1 without scratch memory.
int32_t BitCross(uint8_t* mask, int32_t width, int32_t height, int32_t pitch, bool erode,
                 int32_t n) {
  const DU64 d;
  const int64_t N = static_cast<int64_t>(hn::Lanes(d));
  const int64_t w = width, Wd = (w + 63) / 64;
  const int64_t stride = Wd + 2 * N + 2;  // one neutral word before each row, slack after
  auto buf = hwy::AllocateAligned<uint64_t>(static_cast<size_t>(4 * stride + 1));
  if (!buf) return -1;
  std::memset(buf.get(), 0, static_cast<size_t>(4 * stride + 1) * 8);
  uint64_t* prev = buf.get() + 1;
  uint64_t* cur = prev + stride;
  uint64_t* next = cur + stride;
  uint64_t* out = next + stride;
  const uint64_t lastMask = w % 64 ? (uint64_t{1} << (w % 64)) - 1 : ~uint64_t{0};
  bool changed = false;
  for (int32_t step = 0; step < n; ++step) {
    bool stepChanged = false;
    std::memset(prev, 0, static_cast<size_t>(Wd) * 8);
    LoadMaskRow(cur, Wd, RowAt(mask, pitch, 0), w, erode);
    for (int64_t y = 0; y < height; ++y) {
      if (y + 1 < height)
        LoadMaskRow(next, Wd, RowAt(mask, pitch, y + 1), w, erode);
      else
        std::memset(next, 0, static_cast<size_t>(Wd) * 8);
      auto diff = hn::Zero(d);
      for (int64_t i = 0; i < Wd; i += N) {
        const auto c = hn::LoadU(d, cur + i);
        auto o = hn::Or(c, hn::Or(hn::LoadU(d, prev + i), hn::LoadU(d, next + i)));
        o = hn::Or(o, hn::Or(hn::ShiftLeft<1>(c), hn::ShiftRight<63>(hn::LoadU(d, cur + i - 1))));
        o = hn::Or(o, hn::Or(hn::ShiftRight<1>(c), hn::ShiftLeft<63>(hn::LoadU(d, cur + i + 1))));
        hn::StoreU(o, d, out + i);
      }
      out[Wd - 1] &= lastMask;
      // Words past the row must read as clear, here and in the row buffers.
      std::memset(out + Wd, 0, static_cast<size_t>(N) * 8);
      for (int64_t i = 0; i < Wd; i += N)
        diff = hn::Or(diff, hn::Xor(hn::LoadU(d, out + i), hn::LoadU(d, cur + i)));
      if (!hn::AllTrue(d, hn::Eq(diff, hn::Zero(d)))) stepChanged = true;
      StoreMaskRow(out, RowAt(mask, pitch, y), w, erode, false);
      // The next row needs this row as it was before the step.
      uint64_t* t = prev;
      prev = cur;
      cur = next;
      next = t;
    }
    changed = changed || stepChanged;
    if (!stepChanged) break;  // further steps cannot change anything either
  }
  return changed ? 1 : 0;
}

int32_t BitNeiInPlace(uint8_t* mask, int32_t width, int32_t height, int32_t pitch,
                      int32_t kernelCode, int32_t n) {
  const int32_t shape = kernelCode & ~3;
  if (shape != 0x10 && shape != 0x20 && shape != 0x40 && shape != 0x80) return 0;
  const bool compound = (kernelCode & 2) != 0;
  if (width < 1 || height < 1 || n < 1) return shape == 0x40 && !compound ? 0 : 1;
  const bool firstErode = (kernelCode & 1) != 0;
  bool changed = false;
  for (int half = 0; half < (compound ? 2 : 1); ++half) {
    const bool erode = half == 0 ? firstErode : !firstErode;
    int32_t r = 0;
    if (shape == 0x10 || shape == 0x80)
      r = BitRunRows(mask, mask, width, height, pitch, pitch, erode, false, n);
    if (r == 0 && (shape == 0x20 || shape == 0x80))
      r = BitColumns(mask, mask, width, height, pitch, pitch, erode, false, n);
    if (shape == 0x40) {
      r = BitCross(mask, width, height, pitch, erode, n);
      if (r > 0) changed = true;
      if (r > 0) r = 0;
    }
    if (r < 0) return -1;
  }
  if (shape == 0x40 && !compound) return changed ? 1 : 0;
  return 1;
}

// ---- Searches and bit moves -----------------------------------------------

// Index of the first byte of p[0..n) that is not `skip`, or n.
HWY_INLINE size_t FirstOtherByte(const uint8_t* p, size_t n, uint8_t skip) {
  const DU8 d;
  const size_t N = hn::Lanes(d);
  const auto s = hn::Set(d, skip);
  size_t x = 0;
  for (; x + N <= n; x += N) {
    const intptr_t k = hn::FindFirstTrue(d, hn::Not(hn::Eq(hn::LoadU(d, p + x), s)));
    if (k >= 0) return x + static_cast<size_t>(k);
  }
  if (x < n) {
    const intptr_t k = hn::FindFirstTrue(d, hn::Not(hn::Eq(LoadPartial(d, p + x, n - x, skip), s)));
    if (k >= 0) return x + static_cast<size_t>(k);
  }
  return n;
}

int32_t FindBit(const uint8_t* mask, int32_t width, int32_t height, int32_t pitch, int32_t* x,
                int32_t* y, int32_t findClear) {
  int64_t sx = 0, sy = 0;
  if (!scalar::SearchStart(x, y, width, height, &sx, &sy)) return 0;
  const uint8_t flip = findClear ? 0xFF : 0;  // look for set bits of byte ^ flip
  const int64_t bytes = (static_cast<int64_t>(width) + 7) / 8;
  for (int64_t yy = sy; yy < height; ++yy) {
    const uint8_t* r = RowAt(mask, pitch, yy);
    int64_t bx = (yy == sy ? sx : 0) / 8;
    uint8_t first = static_cast<uint8_t>((r[bx] ^ flip) & (0xFFu << ((yy == sy ? sx : 0) % 8)));
    while (true) {
      if (first) {
        const int64_t px = bx * 8 + static_cast<int64_t>(hwy::Num0BitsBelowLS1Bit_Nonzero32(first));
        if (px >= width) break;
        *x = static_cast<int32_t>(px);
        *y = static_cast<int32_t>(yy);
        return 1;
      }
      if (++bx >= bytes) break;
      bx += static_cast<int64_t>(FirstOtherByte(r + bx, static_cast<size_t>(bytes - bx), flip));
      if (bx >= bytes) break;
      first = static_cast<uint8_t>(r[bx] ^ flip);
    }
  }
  return 0;
}

// Scratch for the bit moves: source bits gathered into words, then shifted
// into the destination's alignment.
int32_t MoveBits(const uint8_t* src, int64_t srcBit, uint8_t* dst, int64_t dstBit, int64_t count,
                 hwy::AlignedFreeUniquePtr<uint64_t[]>& S, hwy::AlignedFreeUniquePtr<uint64_t[]>& D,
                 size_t& capacity) {
  const DU64 d;
  const int64_t N = static_cast<int64_t>(hn::Lanes(d));
  const int64_t sb0 = srcBit / 8, sb1 = (srcBit + count - 1) / 8;
  const int64_t db0 = dstBit / 8, db1 = (dstBit + count - 1) / 8;
  const int64_t srcWords = (sb1 - sb0 + 1 + 7) / 8, dstWords = (db1 - db0 + 1 + 7) / 8;
  const size_t need = static_cast<size_t>((srcWords > dstWords ? srcWords : dstWords) + 2 * N + 4);
  if (need > capacity) {
    S = hwy::AllocateAligned<uint64_t>(need);
    D = hwy::AllocateAligned<uint64_t>(need);
    if (!S || !D) {
      capacity = 0;
      return -1;
    }
    capacity = need;
  }
  uint64_t* s = S.get();
  std::memset(s, 0, capacity * 8);
  // Word 0 stays zero so that a shift towards higher bits reads from it.
  std::memcpy(s + 1, src + sb0, static_cast<size_t>(sb1 - sb0 + 1));
  // Destination bit k of byte db0 takes source bit k - dstBit%8 + srcBit%8.
  ShiftedWords(s, D.get(), dstWords, 64 + srcBit % 8 - dstBit % 8, false);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(D.get());
  const uint8_t head = static_cast<uint8_t>(0xFFu << (dstBit % 8));
  const uint8_t tail = static_cast<uint8_t>(0xFFu >> (7 - (dstBit + count - 1) % 8));
  uint8_t* out = dst + db0;
  if (db0 == db1) {
    const uint8_t m = head & tail;
    out[0] = static_cast<uint8_t>((out[0] & ~m) | (b[0] & m));
    return 0;
  }
  out[0] = static_cast<uint8_t>((out[0] & ~head) | (b[0] & head));
  std::memcpy(out + 1, b + 1, static_cast<size_t>(db1 - db0 - 1));
  out[db1 - db0] = static_cast<uint8_t>((out[db1 - db0] & ~tail) | (b[db1 - db0] & tail));
  return 0;
}

int32_t MoveBitRow(const uint8_t* src, int64_t srcBit, uint8_t* dst, int64_t dstBit,
                   int64_t count) {
  if (count < 1 || srcBit < 0 || dstBit < 0) return 0;
  hwy::AlignedFreeUniquePtr<uint64_t[]> S, D;
  size_t cap = 0;
  return MoveBits(src, srcBit, dst, dstBit, count, S, D, cap);
}

int32_t MoveBitRect(const uint8_t* src, int32_t srcX, int32_t srcPitch, uint8_t* dst,
                    int32_t dstX, int32_t dstPitch, int32_t width, int32_t height) {
  if (srcX < 0 || dstX < 0) return -1;
  if (width < 1 || height < 1) return 0;
  hwy::AlignedFreeUniquePtr<uint64_t[]> S, D;
  size_t cap = 0;
  const bool up = dst > src;
  for (int64_t i = 0; i < height; ++i) {
    const int64_t y = up ? height - 1 - i : i;
    if (MoveBits(RowAt(src, srcPitch, y), srcX, RowAt(dst, dstPitch, y), dstX, width, S, D, cap) < 0)
      return -1;
  }
  return 0;
}

// ---- Structuring elements -------------------------------------------------

// dst = the set pixels of src whose neighbourhood (square or cross) holds a
// clear pixel; edge pixels count as border too when outsideClear.
int64_t Mask3bord(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                  int32_t srcPitch, int32_t dstPitch, int32_t flags) {
  if (width < 1 || height < 1) return 0;
  const DU8 d;
  const size_t N = hn::Lanes(d);
  const int64_t w = width, h = height, bytes = (w + 7) / 8;
  const int32_t ep = static_cast<int32_t>(bytes);
  auto E = hwy::AllocateAligned<uint8_t>(static_cast<size_t>(bytes * h) + N);
  if (!E) return -1;
  uint8_t* e = E.get();
  for (int64_t y = 0; y < h; ++y) std::memcpy(e + y * bytes, RowAt(src, srcPitch, y), static_cast<size_t>(bytes));
  // Erosion of a copy; a border pixel is set in src and clear in the erosion.
  const int32_t r = (flags & 1) ? BitCross(e, width, height, ep, true, 1)
                                : BitNeiInPlace(e, width, height, ep, 0x81, 1);
  if (r < 0) return -1;
  if (flags & 2) {
    std::memset(e, 0, static_cast<size_t>(bytes));
    std::memset(e + (h - 1) * bytes, 0, static_cast<size_t>(bytes));
    for (int64_t y = 0; y < h; ++y) {
      e[y * bytes] &= 0xFE;
      e[y * bytes + (w - 1) / 8] &= static_cast<uint8_t>(~(1u << ((w - 1) % 8)));
    }
  }
  const uint8_t keep = PaddingBits(w);
  int64_t count = 0;
  const hn::Repartition<uint64_t, DU8> d64;
  for (int64_t y = 0; y < h; ++y) {
    const uint8_t* s = RowAt(src, srcPitch, y);
    uint8_t* o = RowAt(dst, dstPitch, y);
    uint8_t* er = e + y * bytes;
    const uint8_t lastOld = o[bytes - 1];
    auto acc = hn::Zero(d64);
    size_t x = 0;
    // The border row goes into the erosion copy first (src may be dst).
    for (; x + N <= static_cast<size_t>(bytes); x += N) {
      const auto v = hn::AndNot(hn::LoadU(d, er + x), hn::LoadU(d, s + x));
      hn::StoreU(v, d, er + x);
    }
    if (x < static_cast<size_t>(bytes)) {
      const size_t rem = static_cast<size_t>(bytes) - x;
      const auto v = hn::AndNot(LoadPartial(d, er + x, rem, 0), LoadPartial(d, s + x, rem, 0));
      StorePartial(d, v, er + x, rem);
    }
    if (keep) er[bytes - 1] &= static_cast<uint8_t>(~keep);
    for (size_t i = 0; i + N <= static_cast<size_t>(bytes); i += N)
      acc = hn::Add(acc, hn::SumsOf8(hn::PopulationCount(hn::LoadU(d, er + i))));
    count += static_cast<int64_t>(hn::GetLane(hn::SumOfLanes(d64, acc)));
    for (size_t i = static_cast<size_t>(bytes) / N * N; i < static_cast<size_t>(bytes); ++i)
      count += static_cast<int64_t>(hwy::PopCount(er[i]));
    std::memcpy(o, er, static_cast<size_t>(bytes));
    if (keep) o[bytes - 1] = static_cast<uint8_t>((lastOld & keep) | (er[bytes - 1] & ~keep));
  }
  return count;
}

// OR over the set pixels (i, j) of se of src shifted by (i - cx, j - cy),
// optionally over the complement of src and with the result complemented.
int32_t StEl(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t srcPitch,
             int32_t dstPitch, const uint8_t* se, int32_t seWidth, int32_t seHeight,
             int32_t sePitch, int32_t cx, int32_t cy, bool complementIn, bool complementOut) {
  if (!se || seWidth < 1 || seHeight < 1) return -1;
  if (width < 1 || height < 1) return 0;
  const DU64 d;
  const int64_t N = static_cast<int64_t>(hn::Lanes(d));
  const int64_t w = width, h = height, Wd = (w + 63) / 64;
  // Shifts of a whole row or more see only outside pixels: they add nothing.
  int64_t maxShift = 0;
  for (int64_t j = 0; j < seHeight; ++j)
    for (int64_t i = 0; i < seWidth; ++i) {
      const int64_t dx = i - cx;
      if (((RowAt(se, sePitch, j)[i / 8] >> (i % 8)) & 1) && dx > -w && dx < w) {
        const int64_t a = dx < 0 ? -dx : dx;
        if (a > maxShift) maxShift = a;
      }
    }
  const int64_t Pw = (maxShift + 63) / 64 + 1;
  const int64_t stride = Wd + 2 * Pw + N + 2;
  auto Sbuf = hwy::AllocateAligned<uint64_t>(static_cast<size_t>(stride * h));
  auto Abuf = hwy::AllocateAligned<uint64_t>(static_cast<size_t>((Wd + N) * h));
  if (!Sbuf || !Abuf) return -1;
  std::memset(Sbuf.get(), 0, static_cast<size_t>(stride * h) * 8);
  std::memset(Abuf.get(), 0, static_cast<size_t>((Wd + N) * h) * 8);
  for (int64_t y = 0; y < h; ++y)
    LoadMaskRow(Sbuf.get() + y * stride + Pw, Wd, RowAt(src, srcPitch, y), w, complementIn);
  for (int64_t j = 0; j < seHeight; ++j) {
    const int64_t dy = j - cy;
    if (dy <= -h || dy >= h) continue;
    for (int64_t i = 0; i < seWidth; ++i) {
      if (!((RowAt(se, sePitch, j)[i / 8] >> (i % 8)) & 1)) continue;
      const int64_t dx = i - cx;
      if (dx <= -w || dx >= w) continue;
      const int64_t y0 = dy < 0 ? -dy : 0, y1 = dy > 0 ? h - dy : h;
      for (int64_t y = y0; y < y1; ++y)
        ShiftedWords(Sbuf.get() + (y + dy) * stride, Abuf.get() + y * (Wd + N), Wd, 64 * Pw + dx,
                     true);
    }
  }
  for (int64_t y = 0; y < h; ++y) {
    uint64_t* a = Abuf.get() + y * (Wd + N);
    if (w % 64) a[Wd - 1] &= (uint64_t{1} << (w % 64)) - 1;
    StoreMaskRow(a, RowAt(dst, dstPitch, y), w, complementOut, false);
  }
  return 0;
}

int32_t Mask2StEl(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                  int32_t srcPitch, int32_t dstPitch, const uint8_t* se, int32_t seWidth,
                  int32_t seHeight, int32_t sePitch, int32_t cx, int32_t cy) {
  return StEl(src, dst, width, height, srcPitch, dstPitch, se, seWidth, seHeight, sePitch, cx, cy,
              false, false);
}

int32_t MStElM1sOr0s(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                     int32_t srcPitch, int32_t dstPitch, const uint8_t* se, int32_t seWidth,
                     int32_t seHeight, int32_t sePitch, int32_t cx, int32_t cy, int32_t zeros) {
  // Every element pixel on ones: no element pixel on a zero of src; on zeros:
  // no element pixel on a one.
  return StEl(src, dst, width, height, srcPitch, dstPitch, se, seWidth, seHeight, sePitch, cx, cy,
              zeros == 0, true);
}

}  // namespace HWY_NAMESPACE
}  // namespace vantor
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantor {
HWY_EXPORT(ByteNeiH2);
HWY_EXPORT(ByteNeiV2);
HWY_EXPORT(BitNeiH2);
HWY_EXPORT(BitNeiV2);
HWY_EXPORT(BitNeiInPlace);
HWY_EXPORT(FindBit);
HWY_EXPORT(MoveBitRow);
HWY_EXPORT(MoveBitRect);
HWY_EXPORT(Mask3bord);
HWY_EXPORT(Mask2StEl);
HWY_EXPORT(MStElM1sOr0s);
}  // namespace vantor

namespace {

// The causes of the kernels' refusals, stated only on the failure path so the
// kernels keep their speed: a refused argument, or else scratch memory that
// could not be had.
template <class R>
R Checked(const char* operation, R result, const char* refusedArgument = nullptr) {
  if (result >= 0) return result;
  if (refusedArgument != nullptr) {
    vantor::err::Report(operation, VANTOR_ERROR_PARAMETER, "%s", refusedArgument);
  } else {
    vantor::err::Report(operation, VANTOR_ERROR_MEMORY, "out of memory");
  }
  return result;
}

const char* ElementRefused(const uint8_t* se, int32_t seWidth, int32_t seHeight) {
  return se == nullptr || seWidth < 1 || seHeight < 1 ? "the structuring element is empty"
                                                      : nullptr;
}

}  // namespace

extern "C" {

int32_t tmByteNeiH2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                    int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n) {
  const auto r = HWY_DYNAMIC_DISPATCH(vantor::ByteNeiH2)(src, dst, width, height, srcPitch,
                                                         dstPitch, flags, n);
  return Checked(__func__, r);
}

int32_t tmByteNeiV2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                    int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n) {
  const auto r = HWY_DYNAMIC_DISPATCH(vantor::ByteNeiV2)(src, dst, width, height, srcPitch,
                                                         dstPitch, flags, n);
  return Checked(__func__, r);
}

int32_t tmBitNeiH2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                   int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n) {
  const auto r =
      HWY_DYNAMIC_DISPATCH(vantor::BitNeiH2)(src, dst, width, height, srcPitch, dstPitch, flags, n);
  return Checked(__func__, r);
}

int32_t tmBitNeiV2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                   int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n) {
  const auto r =
      HWY_DYNAMIC_DISPATCH(vantor::BitNeiV2)(src, dst, width, height, srcPitch, dstPitch, flags, n);
  return Checked(__func__, r);
}

int32_t tmBitNeiInPlace(uint8_t* mask, int32_t width, int32_t height, int32_t pitch,
                        int32_t kernelCode, int32_t n) {
  const auto r =
      HWY_DYNAMIC_DISPATCH(vantor::BitNeiInPlace)(mask, width, height, pitch, kernelCode, n);
  return Checked(__func__, r);
}

int32_t tmFindBit(const uint8_t* mask, int32_t width, int32_t height, int32_t pitch, int32_t* x,
                  int32_t* y, int32_t findClear) {
  return HWY_DYNAMIC_DISPATCH(vantor::FindBit)(mask, width, height, pitch, x, y, findClear);
}

int32_t tmMoveBitRow(const uint8_t* src, int64_t srcBit, uint8_t* dst, int64_t dstBit,
                     int64_t count) {
  return HWY_DYNAMIC_DISPATCH(vantor::MoveBitRow)(src, srcBit, dst, dstBit, count);
}

int32_t tmMoveBitRect(const uint8_t* src, int32_t srcX, int32_t srcPitch, uint8_t* dst,
                      int32_t dstX, int32_t dstPitch, int32_t width, int32_t height) {
  const auto r = HWY_DYNAMIC_DISPATCH(vantor::MoveBitRect)(src, srcX, srcPitch, dst, dstX, dstPitch,
                                                           width, height);
  return Checked(__func__, r, srcX < 0 || dstX < 0 ? "a column is negative" : nullptr);
}

int64_t tmMask3bord(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                    int32_t srcPitch, int32_t dstPitch, int32_t flags) {
  const auto r =
      HWY_DYNAMIC_DISPATCH(vantor::Mask3bord)(src, dst, width, height, srcPitch, dstPitch, flags);
  return Checked(__func__, r);
}

int32_t tmMask2StEl(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                    int32_t srcPitch, int32_t dstPitch, const uint8_t* se, int32_t seWidth,
                    int32_t seHeight, int32_t sePitch, int32_t cx, int32_t cy) {
  const auto r = HWY_DYNAMIC_DISPATCH(vantor::Mask2StEl)(
      src, dst, width, height, srcPitch, dstPitch, se, seWidth, seHeight, sePitch, cx, cy);
  return Checked(__func__, r, ElementRefused(se, seWidth, seHeight));
}

int32_t tmMStElM1sOr0s(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                       int32_t srcPitch, int32_t dstPitch, const uint8_t* se, int32_t seWidth,
                       int32_t seHeight, int32_t sePitch, int32_t cx, int32_t cy, int32_t zeros) {
  const auto r = HWY_DYNAMIC_DISPATCH(vantor::MStElM1sOr0s)(
      src, dst, width, height, srcPitch, dstPitch, se, seWidth, seHeight, sePitch, cx, cy, zeros);
  return Checked(__func__, r, ElementRefused(se, seWidth, seHeight));
}

}  // extern "C"
#endif  // HWY_ONCE
