// Scalar twins of the vector kernels. Kept deliberately plain: one element at
// a time (mask neighbourhoods on 64-bit words, as the library's scalar mask
// filter does), and never auto-vectorised, so that they stay an honest
// baseline for the benchmarks.
#pragma GCC optimize("no-tree-vectorize", "no-tree-loop-vectorize", "no-tree-slp-vectorize")

#include "kernels/kernels_scalar.h"

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

namespace vantor::scalar {
namespace {

inline const uint8_t* Row(const uint8_t* p, int32_t pitch, int64_t y) {
  return p + static_cast<ptrdiff_t>(y) * pitch;
}
inline uint8_t* Row(uint8_t* p, int32_t pitch, int64_t y) {
  return p + static_cast<ptrdiff_t>(y) * pitch;
}
inline int GetBit(const uint8_t* row, int64_t x) { return (row[x >> 3] >> (x & 7)) & 1; }
inline void PutBit(uint8_t* row, int64_t x, int v) {
  const uint8_t m = static_cast<uint8_t>(1u << (x & 7));
  row[x >> 3] = static_cast<uint8_t>(v ? (row[x >> 3] | m) : (row[x >> 3] & ~m));
}

// Tracks the summary of written values: 0 all zero, 1 all 255, 2 mixed.
struct Summary {
  bool all0 = true, all255 = true;
  void Add(uint8_t v) {
    all0 = all0 && v == 0;
    all255 = all255 && v == 255;
  }
  int32_t Result() const { return all0 ? 0 : (all255 ? 1 : 2); }
};

}  // namespace

bool ByteOpValid(int32_t code) { return code >= 0 && code <= 29 && code != 27; }

__attribute__((always_inline)) inline int32_t ByteOpInline(int32_t code, uint8_t a, uint8_t b) {
  if (code >= 0 && code <= 15) {
    // Truth table over (a, b): bit 0 (1,1), bit 1 (1,0), bit 2 (0,1), bit 3 (0,0).
    unsigned r = 0;
    if (code & 1) r |= a & b;
    if (code & 2) r |= a & ~b;
    if (code & 4) r |= ~a & b;
    if (code & 8) r |= ~a & ~b;
    return static_cast<uint8_t>(r);
  }
  const int ia = a, ib = b;
  switch (code) {
    case 16: return ia < ib ? ia : ib;
    case 17: return ia > ib ? ia : ib;
    case 18: return (ia + ib) & 255;
    case 19: return ia + ib > 255 ? 255 : ia + ib;
    case 20: return (ia - ib) & 255;
    case 21: return (ib - ia) & 255;
    case 22: return ia > ib ? ia - ib : 0;
    case 23: return ib > ia ? ib - ia : 0;
    case 24: return ia >= ib ? ia : 0;
    case 25: return ia <= ib ? ia : 255;
    case 26: return ia >= ib ? 255 : 0;
    case 28: return ia > ib ? ia - ib : ib - ia;
    case 29: {
      const int d = ia > ib ? ia - ib : ib - ia;
      return d < 128 ? d : 256 - d;
    }
    default: return -1;
  }
}

namespace {
// The per-byte operation with its code fixed at compile time, so that each
// code gets a loop of its own.
template <int32_t kCode>
void FixedCodeRect(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t width, int32_t height,
                   int32_t pitchA, int32_t pitchB, int32_t pitchC) {
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* ra = Row(a, pitchA, y);
    const uint8_t* rb = Row(b, pitchB, y);
    uint8_t* rc = Row(c, pitchC, y);
    for (int64_t x = 0; x < width; ++x) rc[x] = static_cast<uint8_t>(ByteOpInline(kCode, ra[x], rb[x]));
  }
}

template <int32_t... kCodes>
void ByCode(int32_t code, std::integer_sequence<int32_t, kCodes...>, const uint8_t* a,
            const uint8_t* b, uint8_t* c, int32_t width, int32_t height, int32_t pitchA,
            int32_t pitchB, int32_t pitchC) {
  ((code == kCodes ? FixedCodeRect<kCodes>(a, b, c, width, height, pitchA, pitchB, pitchC)
                   : void()),
   ...);
}
}  // namespace

int32_t ByteOp(int32_t code, uint8_t a, uint8_t b) { return ByteOpInline(code, a, b); }

int32_t tmMMM(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t width, int32_t height,
              int32_t pitchA, int32_t pitchB, int32_t pitchC, int32_t code) {
  if (!ByteOpValid(code)) return -1;
  ByCode(code, std::make_integer_sequence<int32_t, 30>(), a, b, c, width, height, pitchA, pitchB,
         pitchC);
  return 0;
}

int32_t tmMoveByteRect(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                       int32_t srcPitch, int32_t dstPitch, int32_t flags) {
  if (width < 1 || height < 1) return 0;
  const uint8_t x = (flags & 1) ? 255 : 0;
  std::vector<uint8_t> tmp(static_cast<size_t>(width));
  // Row order and a row copy keep overlapping moves right.
  const bool up = dst > src;
  for (int64_t i = 0; i < height; ++i) {
    const int64_t y = up ? height - 1 - i : i;
    const uint8_t* s = Row(src, srcPitch, y);
    for (int64_t k = 0; k < width; ++k) tmp[k] = s[k];
    uint8_t* d = Row(dst, dstPitch, y);
    for (int64_t k = 0; k < width; ++k) d[k] = static_cast<uint8_t>(tmp[k] ^ x);
  }
  return 0;
}

int32_t tmMoveConst(int32_t value, uint8_t* dst, int32_t width, int32_t height, int32_t pitch) {
  for (int64_t y = 0; y < height; ++y) {
    uint8_t* d = Row(dst, pitch, y);
    for (int64_t x = 0; x < width; ++x) d[x] = static_cast<uint8_t>(value);
  }
  return 0;
}

int32_t tmMCMb(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width, int32_t height,
               int32_t srcPitch, int32_t dstPitch, int32_t code) {
  if (!ByteOpValid(code)) return -1;
  // Constant numbering: operand 1 the constant, operand 2 the pixel, which is
  // the two-image table read with a = pixel, b = constant.
  const uint8_t k = static_cast<uint8_t>(constant);
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* s = Row(src, srcPitch, y);
    uint8_t* d = Row(dst, dstPitch, y);
    for (int64_t x = 0; x < width; ++x) d[x] = static_cast<uint8_t>(ByteOp(code, s[x], k));
  }
  return 0;
}

namespace {
template <typename T>
int32_t ConstLogic(const uint8_t* src, T k, uint8_t* dst, int32_t width, int32_t height,
                   int32_t srcPitch, int32_t dstPitch, int32_t code) {
  if (code < 0 || code > 15) return -1;
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* s = Row(src, srcPitch, y);
    uint8_t* d = Row(dst, dstPitch, y);
    for (int64_t x = 0; x < width; ++x) {
      T p;
      std::memcpy(&p, s + x * sizeof(T), sizeof(T));
      T r = 0;
      if (code & 1) r |= p & k;
      if (code & 2) r |= p & ~k;
      if (code & 4) r |= ~p & k;
      if (code & 8) r |= ~p & ~k;
      std::memcpy(d + x * sizeof(T), &r, sizeof(T));
    }
  }
  return 0;
}
}  // namespace

int32_t tmMCMw(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width, int32_t height,
               int32_t srcPitch, int32_t dstPitch, int32_t code) {
  return ConstLogic<uint16_t>(src, static_cast<uint16_t>(constant), dst, width, height, srcPitch,
                              dstPitch, code);
}

int32_t tmMCMd(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width, int32_t height,
               int32_t srcPitch, int32_t dstPitch, int32_t code) {
  return ConstLogic<uint32_t>(src, static_cast<uint32_t>(constant), dst, width, height, srcPitch,
                              dstPitch, code);
}

namespace {
inline bool Selected(const uint8_t* maskRow, int64_t x, int32_t flags) {
  if (flags & 0x40) return true;
  return GetBit(maskRow, x) != ((flags & 0x80) ? 1 : 0);
}
}  // namespace

int32_t tmMCmaskMb(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t width,
                   int32_t height, int32_t srcPitch, int32_t dstPitch, int32_t maskPitch,
                   int32_t constant, int32_t flags) {
  const int32_t code = flags & 0x3F;
  if (!ByteOpValid(code)) return -1;
  Summary sum;
  const uint8_t k = static_cast<uint8_t>(constant);
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* s = Row(src, srcPitch, y);
    uint8_t* d = Row(dst, dstPitch, y);
    const uint8_t* m = (flags & 0x40) ? nullptr : Row(mask, maskPitch, y);
    for (int64_t x = 0; x < width; ++x) {
      if (!Selected(m, x, flags)) continue;
      d[x] = static_cast<uint8_t>(ByteOp(code, s[x], k));
      sum.Add(d[x]);
    }
  }
  return sum.Result();
}

int32_t tmMMmaskMb(const uint8_t* a, uint8_t* b, const uint8_t* mask, int32_t width,
                   int32_t height, int32_t pitchA, int32_t pitchB, int32_t maskPitch,
                   int32_t flags) {
  const int32_t code = flags & 0x3F;
  if (!ByteOpValid(code)) return -1;
  Summary sum;
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* ra = Row(a, pitchA, y);
    uint8_t* rb = Row(b, pitchB, y);
    const uint8_t* m = (flags & 0x40) ? nullptr : Row(mask, maskPitch, y);
    for (int64_t x = 0; x < width; ++x) {
      if (!Selected(m, x, flags)) continue;
      rb[x] = static_cast<uint8_t>(ByteOp(code, ra[x], rb[x]));
      sum.Add(rb[x]);
    }
  }
  return sum.Result();
}

int32_t tmCmaskMoveB(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t width,
                     int32_t height, int32_t srcPitch, int32_t dstPitch, int32_t maskPitch,
                     int32_t invert) {
  const int want = invert ? 0 : 1;
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* s = Row(src, srcPitch, y);
    uint8_t* d = Row(dst, dstPitch, y);
    const uint8_t* m = Row(mask, maskPitch, y);
    for (int64_t x = 0; x < width; ++x)
      if (GetBit(m, x) == want) d[x] = s[x];
  }
  return 0;
}

int32_t tmThreshMaskB(const uint8_t* src, int32_t t, uint8_t* mask, int32_t width,
                      int32_t height, int32_t srcPitch, int32_t maskPitch, int32_t relation) {
  if (relation < 0 || relation > 15) return -1;
  const int tt = t & 255;
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* s = Row(src, srcPitch, y);
    uint8_t* m = Row(mask, maskPitch, y);
    for (int64_t x = 0; x < width; ++x) {
      const int v = s[x];
      const int bit = v == tt ? 1 : (v > tt ? 2 : 4);
      PutBit(m, x, (relation & bit) != 0);
    }
  }
  return 0;
}

int64_t tmMaskOnes(const uint8_t* mask, int32_t x0, int32_t y0, int32_t width, int32_t height,
                   int32_t pitch) {
  if (x0 < 0 || y0 < 0) return -1;
  int64_t n = 0;
  for (int64_t y = y0; y < static_cast<int64_t>(y0) + height; ++y) {
    const uint8_t* m = Row(mask, pitch, y);
    for (int64_t x = x0; x < static_cast<int64_t>(x0) + width; ++x) n += GetBit(m, x);
  }
  return n;
}

// ---- Byte neighbourhood runs: n single 3-pixel steps ----------------------

namespace {
inline uint8_t Pick(bool erode, uint8_t a, uint8_t b) {
  return erode ? (a < b ? a : b) : (a > b ? a : b);
}
}  // namespace

int32_t tmByteNeiH2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                    int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n) {
  if (width < 1 || height < 1 || n < 1) return 0;
  const bool erode = flags & 1;
  std::vector<uint8_t> row(static_cast<size_t>(width));
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* s = Row(src, srcPitch, y);
    for (int64_t x = 0; x < width; ++x) row[x] = s[x];
    for (int32_t step = 0; step < n; ++step) {
      uint8_t prev = row[0];
      for (int64_t x = 0; x < width; ++x) {
        const uint8_t cur = row[x];
        uint8_t v = Pick(erode, prev, cur);
        if (x + 1 < width) v = Pick(erode, v, row[x + 1]);
        prev = cur;
        row[x] = v;
      }
    }
    uint8_t* d = Row(dst, dstPitch, y);
    for (int64_t x = 0; x < width; ++x) d[x] = (flags & 2) ? Pick(erode, d[x], row[x]) : row[x];
  }
  return 0;
}

int32_t tmByteNeiV2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                    int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n) {
  if (width < 1 || height < 1 || n < 1) return 0;
  const bool erode = flags & 1;
  const size_t w = static_cast<size_t>(width);
  std::vector<uint8_t> img(w * static_cast<size_t>(height));
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* s = Row(src, srcPitch, y);
    for (size_t x = 0; x < w; ++x) img[y * w + x] = s[x];
  }
  std::vector<uint8_t> prev(w), cur(w);
  for (int32_t step = 0; step < n; ++step) {
    for (size_t x = 0; x < w; ++x) prev[x] = img[x];
    for (int64_t y = 0; y < height; ++y) {
      uint8_t* r = &img[y * w];
      for (size_t x = 0; x < w; ++x) cur[x] = r[x];
      for (size_t x = 0; x < w; ++x) {
        uint8_t v = Pick(erode, prev[x], cur[x]);
        if (y + 1 < height) v = Pick(erode, v, r[w + x]);
        r[x] = v;
        prev[x] = cur[x];
      }
    }
  }
  for (int64_t y = 0; y < height; ++y) {
    uint8_t* d = Row(dst, dstPitch, y);
    for (size_t x = 0; x < w; ++x)
      d[x] = (flags & 2) ? Pick(erode, d[x], img[y * w + x]) : img[y * w + x];
  }
  return 0;
}

// ---- Mask neighbourhoods on 64-bit words ---------------------------------

namespace {

// A mask held as rows of 64-bit words; erosion is done as dilation of the
// complement, so the bits past the width are kept clear (they never spread).
struct WordMask {
  int64_t w = 0, h = 0, words = 0;
  std::vector<uint64_t> v;
  uint64_t lastMask = ~0ull;

  void Load(const uint8_t* src, int32_t pitch, int32_t width, int32_t height, bool complement) {
    w = width;
    h = height;
    words = (w + 63) / 64;
    v.assign(static_cast<size_t>(words * h), 0);
    lastMask = (w % 64) ? ((1ull << (w % 64)) - 1) : ~0ull;
    const int64_t bytes = (w + 7) / 8;
    for (int64_t y = 0; y < h; ++y) {
      const uint8_t* s = Row(src, pitch, y);
      uint64_t* r = &v[y * words];
      for (int64_t b = 0; b < bytes; ++b) r[b / 8] |= static_cast<uint64_t>(s[b]) << (8 * (b % 8));
      for (int64_t i = 0; i < words; ++i)
        if (complement) r[i] = ~r[i];
      r[words - 1] &= lastMask;
    }
  }
  uint64_t* RowPtr(int64_t y) { return &v[y * words]; }

  // Writes the pixels inside the width back; combine ORs (dilation) or ANDs
  // (erosion, after the complement) with what dst holds.
  void Store(uint8_t* dst, int32_t pitch, bool complement, bool combine) {
    const int64_t bytes = (w + 7) / 8;
    const uint8_t keep = static_cast<uint8_t>(w % 8 ? 0xFFu << (w % 8) : 0);
    for (int64_t y = 0; y < h; ++y) {
      uint8_t* d = Row(dst, pitch, y);
      const uint64_t* r = &v[y * words];
      for (int64_t b = 0; b < bytes; ++b) {
        uint8_t byte = static_cast<uint8_t>(r[b / 8] >> (8 * (b % 8)));
        if (complement) byte = static_cast<uint8_t>(~byte);
        if (combine) byte = complement ? (byte & d[b]) : (byte | d[b]);
        if (b == bytes - 1 && keep) byte = static_cast<uint8_t>((d[b] & keep) | (byte & ~keep));
        d[b] = byte;
      }
    }
  }

  void StepRow() {
    for (int64_t y = 0; y < h; ++y) {
      uint64_t* r = RowPtr(y);
      uint64_t carry = 0;  // bit 63 of the previous word, before this step
      for (int64_t i = 0; i < words; ++i) {
        const uint64_t cur = r[i];
        const uint64_t next = i + 1 < words ? r[i + 1] : 0;
        r[i] = cur | (cur << 1) | carry | (cur >> 1) | (next << 63);
        carry = cur >> 63;
      }
      r[words - 1] &= lastMask;
    }
  }
  void StepColumn() {
    std::vector<uint64_t> prev(static_cast<size_t>(words), 0), cur(static_cast<size_t>(words));
    for (int64_t y = 0; y < h; ++y) {
      uint64_t* r = RowPtr(y);
      for (int64_t i = 0; i < words; ++i) cur[i] = r[i];
      for (int64_t i = 0; i < words; ++i) {
        uint64_t v2 = prev[i] | cur[i];
        if (y + 1 < h) v2 |= r[words + i];
        r[i] = v2;
        prev[i] = cur[i];
      }
    }
  }
  // One cross step; returns true when a pixel changed.
  bool StepCross() {
    std::vector<uint64_t> prev(static_cast<size_t>(words), 0), cur(static_cast<size_t>(words));
    bool changed = false;
    for (int64_t y = 0; y < h; ++y) {
      uint64_t* r = RowPtr(y);
      for (int64_t i = 0; i < words; ++i) cur[i] = r[i];
      for (int64_t i = 0; i < words; ++i) {
        const uint64_t c = cur[i];
        uint64_t o = c | (c << 1) | (c >> 1) | prev[i];
        if (i > 0) o |= cur[i - 1] >> 63;
        if (i + 1 < words) o |= cur[i + 1] << 63;
        if (y + 1 < h) o |= r[words + i];
        if (i == words - 1) o &= lastMask;
        changed = changed || o != c;
        r[i] = o;
      }
      for (int64_t i = 0; i < words; ++i) prev[i] = cur[i];
    }
    return changed;
  }
};

}  // namespace

int32_t tmBitNeiH2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                   int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n) {
  if (width < 1 || height < 1 || n < 1) return 0;
  WordMask m;
  const bool erode = flags & 1;
  m.Load(src, srcPitch, width, height, erode);
  for (int32_t i = 0; i < n && i < width; ++i) m.StepRow();
  m.Store(dst, dstPitch, erode, flags & 2);
  return 0;
}

int32_t tmBitNeiV2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                   int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n) {
  if (width < 1 || height < 1 || n < 1) return 0;
  WordMask m;
  const bool erode = flags & 1;
  m.Load(src, srcPitch, width, height, erode);
  for (int32_t i = 0; i < n && i < height; ++i) m.StepColumn();
  m.Store(dst, dstPitch, erode, flags & 2);
  return 0;
}

int32_t tmBitNeiInPlace(uint8_t* mask, int32_t width, int32_t height, int32_t pitch,
                        int32_t kernelCode, int32_t n) {
  const int32_t shape = kernelCode & ~3;
  if (shape != 0x10 && shape != 0x20 && shape != 0x40 && shape != 0x80) return 0;
  if (width < 1 || height < 1 || n < 1) return shape == 0x40 && !(kernelCode & 2) ? 0 : 1;
  const bool firstErode = kernelCode & 1;
  const int halves = (kernelCode & 2) ? 2 : 1;
  bool changed = false;
  for (int half = 0; half < halves; ++half) {
    const bool erode = half == 0 ? firstErode : !firstErode;
    WordMask m;
    m.Load(mask, pitch, width, height, erode);
    for (int32_t i = 0; i < n; ++i) {
      if (shape == 0x10 || shape == 0x80) m.StepRow();
    }
    for (int32_t i = 0; i < n; ++i) {
      if (shape == 0x20 || shape == 0x80) m.StepColumn();
      if (shape == 0x40) changed = m.StepCross() || changed;
    }
    m.Store(mask, pitch, erode, false);
  }
  if (shape == 0x40 && halves == 1) return changed ? 1 : 0;
  return 1;
}

// ---- Mask utilities -------------------------------------------------------

int32_t tmFindBit(const uint8_t* mask, int32_t width, int32_t height, int32_t pitch, int32_t* x,
                  int32_t* y, int32_t findClear) {
  if (!x || !y || width < 1 || height < 1) return 0;
  int64_t sx = *x < 0 ? 0 : *x, sy = *y < 0 ? 0 : *y;
  if (*y < 0) sx = 0;
  if (sx >= width) {
    sx = 0;
    ++sy;
  }
  const int want = findClear ? 0 : 1;
  for (int64_t yy = sy; yy < height; ++yy) {
    const uint8_t* r = Row(mask, pitch, yy);
    for (int64_t xx = (yy == sy ? sx : 0); xx < width; ++xx) {
      if (GetBit(r, xx) == want) {
        *x = static_cast<int32_t>(xx);
        *y = static_cast<int32_t>(yy);
        return 1;
      }
    }
  }
  return 0;
}

int32_t tmMoveBitRow(const uint8_t* src, int64_t srcBit, uint8_t* dst, int64_t dstBit,
                     int64_t count) {
  if (count < 1 || srcBit < 0 || dstBit < 0) return 0;
  std::vector<uint8_t> bits(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) bits[i] = static_cast<uint8_t>(GetBit(src, srcBit + i));
  for (int64_t i = 0; i < count; ++i) PutBit(dst, dstBit + i, bits[i]);
  return 0;
}

int32_t tmMoveBitRect(const uint8_t* src, int32_t srcX, int32_t srcPitch, uint8_t* dst,
                      int32_t dstX, int32_t dstPitch, int32_t width, int32_t height) {
  if (srcX < 0 || dstX < 0) return -1;
  if (width < 1 || height < 1) return 0;
  const bool up = dst > src;
  for (int64_t i = 0; i < height; ++i) {
    const int64_t y = up ? height - 1 - i : i;
    tmMoveBitRow(Row(src, srcPitch, y), srcX, Row(dst, dstPitch, y), dstX, width);
  }
  return 0;
}

int32_t tmSubstByteRect(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                        int32_t srcPitch, int32_t dstPitch, const uint8_t* table) {
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* s = Row(src, srcPitch, y);
    uint8_t* d = Row(dst, dstPitch, y);
    for (int64_t x = 0; x < width; ++x) d[x] = table[s[x]];
  }
  return 0;
}

int32_t tmReverseBits(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                      int32_t srcPitch, int32_t dstPitch) {
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* s = Row(src, srcPitch, y);
    uint8_t* d = Row(dst, dstPitch, y);
    for (int64_t x = 0; x < width; ++x) {
      unsigned v = s[x], r = 0;
      for (int b = 0; b < 8; ++b) r |= ((v >> b) & 1u) << (7 - b);
      d[x] = static_cast<uint8_t>(r);
    }
  }
  return 0;
}

int32_t tmDiffer(const uint8_t* a, const uint8_t* b, int32_t width, int32_t height,
                 int32_t pitchA, int32_t pitchB) {
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* ra = Row(a, pitchA, y);
    const uint8_t* rb = Row(b, pitchB, y);
    for (int64_t x = 0; x < width; ++x)
      if (GetBit(ra, x) != GetBit(rb, x)) return 1;
  }
  return 0;
}

int32_t tmHist8(const uint8_t* src, int32_t width, int32_t height, int32_t pitch, uint32_t* hist,
                int32_t clear) {
  if (clear)
    for (int i = 0; i < 256; ++i) hist[i] = 0;
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* s = Row(src, pitch, y);
    for (int64_t x = 0; x < width; ++x) ++hist[s[x]];
  }
  return 0;
}

// ---- Structuring elements, pixel by pixel ---------------------------------

namespace {
// Pixel (x, y) of a mask, or `outside` when it lies outside.
inline int At(const std::vector<uint8_t>& img, int64_t w, int64_t h, int64_t x, int64_t y,
              int outside) {
  if (x < 0 || y < 0 || x >= w || y >= h) return outside;
  return img[y * w + x];
}
std::vector<uint8_t> Unpack(const uint8_t* src, int32_t pitch, int64_t w, int64_t h) {
  std::vector<uint8_t> img(static_cast<size_t>(w * h));
  for (int64_t y = 0; y < h; ++y)
    for (int64_t x = 0; x < w; ++x) img[y * w + x] = static_cast<uint8_t>(GetBit(Row(src, pitch, y), x));
  return img;
}
}  // namespace

int64_t tmMask3bord(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                    int32_t srcPitch, int32_t dstPitch, int32_t flags) {
  if (width < 1 || height < 1) return 0;
  const std::vector<uint8_t> img = Unpack(src, srcPitch, width, height);
  const int outside = (flags & 2) ? 0 : 1;
  int64_t count = 0;
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      int border = 0;
      if (img[y * width + x]) {
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx) {
            if ((flags & 1) && dx != 0 && dy != 0) continue;
            if (!At(img, width, height, x + dx, y + dy, outside)) border = 1;
          }
      }
      PutBit(Row(dst, dstPitch, y), x, border);
      count += border;
    }
  }
  return count;
}

namespace {
int32_t StructuringElement(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                           int32_t srcPitch, int32_t dstPitch, const uint8_t* se, int32_t seWidth,
                           int32_t seHeight, int32_t sePitch, int32_t cx, int32_t cy, int mode) {
  // mode 0: dilation; 1: all set pixels of se on ones; 2: all on zeros.
  if (seWidth < 1 || seHeight < 1 || !se) return -1;
  if (width < 1 || height < 1) return 0;
  const std::vector<uint8_t> img = Unpack(src, srcPitch, width, height);
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      int r = mode == 0 ? 0 : 1;
      for (int64_t j = 0; j < seHeight; ++j)
        for (int64_t i = 0; i < seWidth; ++i) {
          if (!GetBit(Row(se, sePitch, j), i)) continue;
          const int64_t sx = x + i - cx, sy = y + j - cy;
          if (mode == 0) {
            if (At(img, width, height, sx, sy, 0)) r = 1;
          } else {
            const int v = At(img, width, height, sx, sy, mode == 1 ? 1 : 0);
            if (v != (mode == 1 ? 1 : 0)) r = 0;
          }
        }
      PutBit(Row(dst, dstPitch, y), x, r);
    }
  }
  return 0;
}
}  // namespace

int32_t tmMask2StEl(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                    int32_t srcPitch, int32_t dstPitch, const uint8_t* se, int32_t seWidth,
                    int32_t seHeight, int32_t sePitch, int32_t cx, int32_t cy) {
  return StructuringElement(src, dst, width, height, srcPitch, dstPitch, se, seWidth, seHeight,
                            sePitch, cx, cy, 0);
}

int32_t tmMStElM1sOr0s(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                       int32_t srcPitch, int32_t dstPitch, const uint8_t* se, int32_t seWidth,
                       int32_t seHeight, int32_t sePitch, int32_t cx, int32_t cy, int32_t zeros) {
  return StructuringElement(src, dst, width, height, srcPitch, dstPitch, se, seWidth, seHeight,
                            sePitch, cx, cy, zeros ? 2 : 1);
}

}  // namespace vantor::scalar
