// Scalar twins of the vector kernels. Kept deliberately plain: one element at
// a time, the byte operations from the one table of pixel_codes.h, and never
// auto-vectorised, so that they stay an honest baseline for the benchmarks.
#pragma GCC optimize("no-tree-vectorize", "no-tree-loop-vectorize", "no-tree-slp-vectorize")

#include "kernels/kernels_scalar.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "kernels/pixel_codes.h"

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

// Calls f(op) with the byte operation of a code of tmMMM, op(a, b); false
// (f not called) for a code that is not one.
template <class F>
bool WithByteOp(int32_t code, F&& f) {
  return DispatchCode(code, false, [&](auto c) {
    f([](uint8_t a, uint8_t b) { return PixelOp<decltype(c)::value, uint8_t>(a, b); });
  });
}
}  // namespace

int32_t tmMMM(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t width, int32_t height,
              int32_t pitchA, int32_t pitchB, int32_t pitchC, int32_t code) {
  const bool known = WithByteOp(code, [&](auto op) {
    for (int64_t y = 0; y < height; ++y) {
      const uint8_t* ra = Row(a, pitchA, y);
      const uint8_t* rb = Row(b, pitchB, y);
      uint8_t* rc = Row(c, pitchC, y);
      for (int64_t x = 0; x < width; ++x) rc[x] = op(ra[x], rb[x]);
    }
  });
  return known ? 0 : -1;
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
  // Constant numbering: operand 1 the constant, operand 2 the pixel, which is
  // the two-image table read with a = pixel, b = constant.
  const uint8_t k = static_cast<uint8_t>(constant);
  const bool known = WithByteOp(code, [&](auto op) {
    for (int64_t y = 0; y < height; ++y) {
      const uint8_t* s = Row(src, srcPitch, y);
      uint8_t* d = Row(dst, dstPitch, y);
      for (int64_t x = 0; x < width; ++x) d[x] = op(s[x], k);
    }
  });
  return known ? 0 : -1;
}

namespace {
template <typename T>
int32_t ConstLogic(const uint8_t* src, T k, uint8_t* dst, int32_t width, int32_t height,
                   int32_t srcPitch, int32_t dstPitch, int32_t code) {
  if (code < 0 || code > 15) return -1;
  DispatchCode(code, true, [&](auto c) {
    for (int64_t y = 0; y < height; ++y) {
      const uint8_t* s = Row(src, srcPitch, y);
      uint8_t* d = Row(dst, dstPitch, y);
      for (int64_t x = 0; x < width; ++x) {
        T p;
        std::memcpy(&p, s + x * sizeof(T), sizeof(T));
        const T r = PixelOp<decltype(c)::value, T>(p, k);
        std::memcpy(d + x * sizeof(T), &r, sizeof(T));
      }
    }
  });
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
  WriteSummary<uint8_t> sum;
  const uint8_t k = static_cast<uint8_t>(constant);
  const bool known = WithByteOp(flags & 0x3F, [&](auto op) {
    for (int64_t y = 0; y < height; ++y) {
      const uint8_t* s = Row(src, srcPitch, y);
      uint8_t* d = Row(dst, dstPitch, y);
      const uint8_t* m = (flags & 0x40) ? nullptr : Row(mask, maskPitch, y);
      for (int64_t x = 0; x < width; ++x) {
        if (!Selected(m, x, flags)) continue;
        d[x] = op(s[x], k);
        sum.Add(d[x]);
      }
    }
  });
  return known ? sum.Result() : -1;
}

int32_t tmMMmaskMb(const uint8_t* a, uint8_t* b, const uint8_t* mask, int32_t width,
                   int32_t height, int32_t pitchA, int32_t pitchB, int32_t maskPitch,
                   int32_t flags) {
  WriteSummary<uint8_t> sum;
  const bool known = WithByteOp(flags & 0x3F, [&](auto op) {
    for (int64_t y = 0; y < height; ++y) {
      const uint8_t* ra = Row(a, pitchA, y);
      uint8_t* rb = Row(b, pitchB, y);
      const uint8_t* m = (flags & 0x40) ? nullptr : Row(mask, maskPitch, y);
      for (int64_t x = 0; x < width; ++x) {
        if (!Selected(m, x, flags)) continue;
        rb[x] = op(ra[x], rb[x]);
        sum.Add(rb[x]);
      }
    }
  });
  return known ? sum.Result() : -1;
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

// ---- Mask utilities -------------------------------------------------------

int32_t tmFindBit(const uint8_t* mask, int32_t width, int32_t height, int32_t pitch, int32_t* x,
                  int32_t* y, int32_t findClear) {
  int64_t sx = 0, sy = 0;
  if (!SearchStart(x, y, width, height, &sx, &sy)) return 0;
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
