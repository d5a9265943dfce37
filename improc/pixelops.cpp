// Scalar point kernels: two-image and constant operations, thresholds, mask
// logic and mask utilities. Every inner loop is instantiated per operation
// code, so most of them are vectorised by the compiler.
#include "improc/pixelops.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "generic/last_error.h"
#include "kernels/pixel_codes.h"
#include "improc/pixelops_internal.h"

namespace vantor {
namespace {

// Pixels of 16 and 32 bits may sit at any byte address in extern rectangles,
// so they are read and written through memcpy (plain loads after optimising).
template <class T>
inline T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}
template <class T>
inline void Store(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}

inline uint8_t LowBits(int n) { return static_cast<uint8_t>((1u << n) - 1u); }

// ---------------------------------------------------------------------------
// Two-image and constant operations over one row.

// Applies f(x) -> value to the pixels [0, width) the mask allows, storing each
// value and feeding it to the summary.
template <class T, class F>
void ForMaskedPixels(uint8_t* dst, const uint8_t* mask, int32_t width, MaskMode mode,
                     WriteSummary<T>& summary, F&& f) {
  if (mode == MaskMode::kAll) {
    T any = 0;
    T all = AllOnes<T>();
    for (int32_t x = 0; x < width; ++x) {
      T r = f(x);
      Store<T>(dst + static_cast<size_t>(x) * sizeof(T), r);
      any |= r;
      all &= r;
    }
    if (width > 0) summary.Merge(any, all);
    return;
  }
  const uint8_t flip = mode == MaskMode::kClear ? 0xFF : 0x00;
  for (int32_t x0 = 0; x0 < width; x0 += 8) {
    const int n = std::min<int32_t>(8, width - x0);
    uint8_t bits = static_cast<uint8_t>(mask[x0 >> 3] ^ flip);
    if (n < 8) bits &= LowBits(n);
    if (bits == 0) continue;
    for (int k = 0; k < n; ++k) {
      if (bits & (1u << k)) {
        T r = f(x0 + k);
        Store<T>(dst + static_cast<size_t>(x0 + k) * sizeof(T), r);
        summary.Add(r);
      }
    }
  }
}

template <class T>
int32_t RectOpT(const uint8_t* a, uint8_t* b, const uint8_t* mask, int32_t width,
                int32_t height, ptrdiff_t pitchA, ptrdiff_t pitchB, ptrdiff_t pitchMask,
                int32_t code, MaskMode mode) {
  WriteSummary<T> summary;
  const bool ok = DispatchCode(code, sizeof(T) > 1, [&](auto c) {
    constexpr int kCode = decltype(c)::value;
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* ra = a + y * pitchA;
      uint8_t* rb = b + y * pitchB;
      const uint8_t* rm = mode == MaskMode::kAll ? nullptr : mask + y * pitchMask;
      if constexpr (sizeof(T) == 1) {
        if (mode == MaskMode::kAll) {
          // Byte rows: plain arrays so that the loop vectorises.
          uint8_t any = 0, all = 0xFF;
          for (int32_t x = 0; x < width; ++x) {
            uint8_t r = PixelOp<kCode, uint8_t>(ra[x], rb[x]);
            rb[x] = r;
            any |= r;
            all &= r;
          }
          if (width > 0) summary.Merge(any, all);
          continue;
        }
      }
      ForMaskedPixels<T>(rb, rm, width, mode, summary, [&](int32_t x) {
        const size_t off = static_cast<size_t>(x) * sizeof(T);
        return PixelOp<kCode, T>(Load<T>(ra + off), Load<T>(rb + off));
      });
    }
  });
  return ok ? summary.Result() : -1;
}

// Colour pixels under a mask: the three bytes of pixel x follow mask bit x.
int32_t RectOpColour(const uint8_t* a, uint8_t* b, const uint8_t* mask, int32_t width,
                     int32_t height, ptrdiff_t pitchA, ptrdiff_t pitchB, ptrdiff_t pitchMask,
                     int32_t code, MaskMode mode) {
  if (mode == MaskMode::kAll) {
    if (width > INT32_MAX / 3) return -1;
    return RectOpT<uint8_t>(a, b, nullptr, width * 3, height, pitchA, pitchB, 0, code, mode);
  }
  WriteSummary<uint8_t> summary;
  const uint8_t flip = mode == MaskMode::kClear ? 0xFF : 0x00;
  const bool ok = DispatchCode(code, false, [&](auto c) {
    constexpr int kCode = decltype(c)::value;
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* ra = a + y * pitchA;
      uint8_t* rb = b + y * pitchB;
      const uint8_t* rm = mask + y * pitchMask;
      for (int32_t x = 0; x < width; ++x) {
        if (!(((rm[x >> 3] ^ flip) >> (x & 7)) & 1u)) continue;
        const size_t o = static_cast<size_t>(x) * 3;
        uint8_t any = 0, all = 0xFF;
        for (size_t k = o; k < o + 3; ++k) {
          const uint8_t r = PixelOp<kCode, uint8_t>(ra[k], rb[k]);
          rb[k] = r;
          any |= r;
          all &= r;
        }
        summary.Merge(any, all);
      }
    }
  });
  return ok ? summary.Result() : -1;
}

template <class T>
int32_t RectConstT(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t width,
                   int32_t height, ptrdiff_t pitchSrc, ptrdiff_t pitchDst, ptrdiff_t pitchMask,
                   T constant, int32_t code, MaskMode mode) {
  WriteSummary<T> summary;
  const bool ok = DispatchCode(code, sizeof(T) > 1, [&](auto c) {
    constexpr int kCode = decltype(c)::value;
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* rs = src + y * pitchSrc;
      uint8_t* rd = dst + y * pitchDst;
      const uint8_t* rm = mode == MaskMode::kAll ? nullptr : mask + y * pitchMask;
      if constexpr (sizeof(T) == 1) {
        if (mode == MaskMode::kAll) {
          uint8_t any = 0, all = 0xFF;
          for (int32_t x = 0; x < width; ++x) {
            uint8_t r = PixelOp<kCode, uint8_t>(rs[x], constant);
            rd[x] = r;
            any |= r;
            all &= r;
          }
          if (width > 0) summary.Merge(any, all);
          continue;
        }
      }
      ForMaskedPixels<T>(rd, rm, width, mode, summary, [&](int32_t x) {
        return PixelOp<kCode, T>(Load<T>(rs + static_cast<size_t>(x) * sizeof(T)), constant);
      });
    }
  });
  return ok ? summary.Result() : -1;
}

// Colour pixels: three bytes per pixel, each channel with its own constant
// byte and the pixel's one mask bit.
int32_t RectConstColour(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t width,
                        int32_t height, ptrdiff_t pitchSrc, ptrdiff_t pitchDst,
                        ptrdiff_t pitchMask, uint32_t constant, int32_t code, MaskMode mode) {
  WriteSummary<uint8_t> summary;
  const uint8_t cb = static_cast<uint8_t>(constant);
  const uint8_t cg = static_cast<uint8_t>(constant >> 8);
  const uint8_t cr = static_cast<uint8_t>(constant >> 16);
  const bool ok = DispatchCode(code, false, [&](auto c) {
    constexpr int kCode = decltype(c)::value;
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* rs = src + y * pitchSrc;
      uint8_t* rd = dst + y * pitchDst;
      const uint8_t* rm = mode == MaskMode::kAll ? nullptr : mask + y * pitchMask;
      const uint8_t flip = mode == MaskMode::kClear ? 0xFF : 0x00;
      for (int32_t x = 0; x < width; ++x) {
        if (rm != nullptr && !(((rm[x >> 3] ^ flip) >> (x & 7)) & 1u)) continue;
        const size_t o = static_cast<size_t>(x) * 3;
        const uint8_t b = PixelOp<kCode, uint8_t>(rs[o], cb);
        const uint8_t g = PixelOp<kCode, uint8_t>(rs[o + 1], cg);
        const uint8_t r = PixelOp<kCode, uint8_t>(rs[o + 2], cr);
        rd[o] = b;
        rd[o + 1] = g;
        rd[o + 2] = r;
        summary.Merge(static_cast<uint8_t>(b | g | r), static_cast<uint8_t>(b & g & r));
      }
    }
  });
  return ok ? summary.Result() : -1;
}

// ---------------------------------------------------------------------------
// Thresholds.

// Writes the mask bits of one row from pred(x); the bits past the width in the
// last byte keep their values. Returns the number of set bits written.
template <class P>
int64_t MaskRowFrom(uint8_t* m, int32_t width, P&& pred) {
  int64_t count = 0;
  const int32_t full = width >> 3;
  for (int32_t i = 0; i < full; ++i) {
    unsigned bits = 0;
    for (int k = 0; k < 8; ++k) bits |= static_cast<unsigned>(pred(i * 8 + k)) << k;
    m[i] = static_cast<uint8_t>(bits);
    count += std::popcount(bits);
  }
  const int rem = width & 7;
  if (rem != 0) {
    unsigned bits = 0;
    for (int k = 0; k < rem; ++k) bits |= static_cast<unsigned>(pred(full * 8 + k)) << k;
    const uint8_t keep = static_cast<uint8_t>(~LowBits(rem));
    m[full] = static_cast<uint8_t>((m[full] & keep) | bits);
    count += std::popcount(bits);
  }
  return count;
}

template <class T>
int64_t RectThresholdT(const uint8_t* src, int32_t width, int32_t height, ptrdiff_t pitchSrc,
                       uint8_t* mask, ptrdiff_t pitchMask, uint32_t t, int32_t compare) {
  if (compare < 16 || compare > 19) return -1;
  int64_t count = 0;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* rs = src + y * pitchSrc;
    uint8_t* rm = mask + y * pitchMask;
    // Compared at 32 bits, so a threshold beyond the pixel range is not cut.
    auto v = [rs](int32_t x) {
      return static_cast<uint32_t>(Load<T>(rs + static_cast<size_t>(x) * sizeof(T)));
    };
    switch (compare) {
      case 16: count += MaskRowFrom(rm, width, [&](int32_t x) { return v(x) >= t; }); break;
      case 17: count += MaskRowFrom(rm, width, [&](int32_t x) { return v(x) <= t; }); break;
      case 18: count += MaskRowFrom(rm, width, [&](int32_t x) { return v(x) == t; }); break;
      default: count += MaskRowFrom(rm, width, [&](int32_t x) { return v(x) != t; }); break;
    }
  }
  return count;
}

}  // namespace

int32_t RectOp(int bytes, const uint8_t* a, uint8_t* b, const uint8_t* mask, int32_t width,
               int32_t height, ptrdiff_t pitchA, ptrdiff_t pitchB, ptrdiff_t pitchMask,
               int32_t code, MaskMode mode) {
  switch (bytes) {
    case 1:
      return RectOpT<uint8_t>(a, b, mask, width, height, pitchA, pitchB, pitchMask, code, mode);
    case 2:
      return RectOpT<uint16_t>(a, b, mask, width, height, pitchA, pitchB, pitchMask, code, mode);
    case 3:
      return RectOpColour(a, b, mask, width, height, pitchA, pitchB, pitchMask, code, mode);
    case 4:
      return RectOpT<uint32_t>(a, b, mask, width, height, pitchA, pitchB, pitchMask, code, mode);
    default:
      return -1;
  }
}

int32_t RectConst(int bytes, const uint8_t* src, uint8_t* dst, const uint8_t* mask,
                  int32_t width, int32_t height, ptrdiff_t pitchSrc, ptrdiff_t pitchDst,
                  ptrdiff_t pitchMask, uint32_t constant, int32_t code, MaskMode mode) {
  switch (bytes) {
    case 1:
      return RectConstT<uint8_t>(src, dst, mask, width, height, pitchSrc, pitchDst, pitchMask,
                                 static_cast<uint8_t>(constant), code, mode);
    case 2:
      return RectConstT<uint16_t>(src, dst, mask, width, height, pitchSrc, pitchDst, pitchMask,
                                  static_cast<uint16_t>(constant), code, mode);
    case 3:
      return RectConstColour(src, dst, mask, width, height, pitchSrc, pitchDst, pitchMask,
                             constant, code, mode);
    case 4:
      return RectConstT<uint32_t>(src, dst, mask, width, height, pitchSrc, pitchDst, pitchMask,
                                  constant, code, mode);
    default:
      return -1;
  }
}

int64_t RectThreshold(int bytes, const uint8_t* src, int32_t width, int32_t height,
                      ptrdiff_t pitchSrc, uint8_t* mask, ptrdiff_t pitchMask, uint32_t t,
                      int32_t compare) {
  switch (bytes) {
    case 1:
      return RectThresholdT<uint8_t>(src, width, height, pitchSrc, mask, pitchMask, t, compare);
    case 2:
      return RectThresholdT<uint16_t>(src, width, height, pitchSrc, mask, pitchMask, t, compare);
    case 4:
      return RectThresholdT<uint32_t>(src, width, height, pitchSrc, mask, pitchMask, t,
                                      compare);
    default:
      return -1;
  }
}

int64_t RectThresholdColourEqual(const uint8_t* src, int32_t width, int32_t height,
                                 ptrdiff_t pitchSrc, uint8_t* mask, ptrdiff_t pitchMask,
                                 uint32_t t, bool equal) {
  const uint8_t tb = static_cast<uint8_t>(t);
  const uint8_t tg = static_cast<uint8_t>(t >> 8);
  const uint8_t tr = static_cast<uint8_t>(t >> 16);
  int64_t count = 0;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* rs = src + y * pitchSrc;
    count += MaskRowFrom(mask + y * pitchMask, width, [&](int32_t x) {
      const uint8_t* p = rs + static_cast<size_t>(x) * 3;
      const bool same = p[0] == tb && p[1] == tg && p[2] == tr;
      return equal ? same : !same;
    });
  }
  return count;
}

// ---------------------------------------------------------------------------
// Mask rows.

int32_t BitRowsOp(const uint8_t* src, int64_t bitWidth, int32_t height, ptrdiff_t pitchSrc,
                  uint8_t* dst, ptrdiff_t pitchDst, int32_t code) {
  if (code < 0 || code > 15) return -1;
  WriteSummary<uint64_t> summary;
  const int64_t fullBytes = bitWidth >> 3;
  const int rem = static_cast<int>(bitWidth & 7);
  DispatchCode(code, false, [&](auto c) {
    constexpr int kCode = decltype(c)::value;
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* rs = src + y * pitchSrc;
      uint8_t* rd = dst + y * pitchDst;
      int64_t i = 0;
      uint64_t any = 0, all = ~uint64_t{0};
      for (; i + 8 <= fullBytes; i += 8) {
        const uint64_t r = PixelOp<kCode, uint64_t>(Load<uint64_t>(rs + i), Load<uint64_t>(rd + i));
        Store<uint64_t>(rd + i, r);
        any |= r;
        all &= r;
      }
      for (; i < fullBytes; ++i) {
        const uint8_t r = PixelOp<kCode, uint8_t>(rs[i], rd[i]);
        rd[i] = r;
        any |= r;
        all &= 0xFFFFFFFFFFFFFF00ull | r;
      }
      if (rem != 0) {
        const uint8_t used = LowBits(rem);
        const uint8_t r = PixelOp<kCode, uint8_t>(rs[i], rd[i]);
        rd[i] = static_cast<uint8_t>((rd[i] & ~used) | (r & used));
        any |= r & used;
        all &= 0xFFFFFFFFFFFFFF00ull | static_cast<uint8_t>(r | ~used);
      }
      if (bitWidth > 0) summary.Merge(any, all);
    }
  });
  return summary.Result();
}

int32_t BitRowsOpMasked(const uint8_t* src, int64_t bitWidth, int32_t height,
                        ptrdiff_t pitchSrc, uint8_t* dst, ptrdiff_t pitchDst,
                        const uint8_t* mask, ptrdiff_t pitchMask, int32_t code, MaskMode mode) {
  if (mode == MaskMode::kAll) return BitRowsOp(src, bitWidth, height, pitchSrc, dst, pitchDst, code);
  if (code < 0 || code > 15) return -1;
  WriteSummary<uint64_t> summary;
  const int64_t fullBytes = bitWidth >> 3;
  const int rem = static_cast<int>(bitWidth & 7);
  const uint64_t flip = mode == MaskMode::kClear ? ~uint64_t{0} : 0;
  DispatchCode(code, false, [&](auto c) {
    constexpr int kCode = decltype(c)::value;
    // Merges op(s, d) into d where sel is set; the summary sees only those bits.
    auto merge = [&](uint64_t s, uint64_t d, uint64_t sel) {
      const uint64_t r = PixelOp<kCode, uint64_t>(s, d);
      if (sel != 0) summary.Merge(r & sel, r | ~sel);
      return (r & sel) | (d & ~sel);
    };
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* rs = src + y * pitchSrc;
      uint8_t* rd = dst + y * pitchDst;
      const uint8_t* rm = mask + y * pitchMask;
      int64_t i = 0;
      for (; i + 8 <= fullBytes; i += 8) {
        Store<uint64_t>(rd + i, merge(Load<uint64_t>(rs + i), Load<uint64_t>(rd + i),
                                      Load<uint64_t>(rm + i) ^ flip));
      }
      for (; i < fullBytes; ++i) {
        rd[i] = static_cast<uint8_t>(merge(rs[i], rd[i], static_cast<uint8_t>(rm[i] ^ flip)));
      }
      if (rem != 0) {
        const uint64_t sel = static_cast<uint8_t>(rm[i] ^ flip) & LowBits(rem);
        rd[i] = static_cast<uint8_t>(merge(rs[i], rd[i], sel));
      }
    }
  });
  return summary.Result();
}

int64_t CountRowBits(const uint8_t* row, int64_t first, int64_t count) {
  if (count <= 0) return 0;
  int64_t n = 0;
  int64_t byte = first >> 3;
  const int shift = static_cast<int>(first & 7);
  if (shift != 0) {
    const int take = static_cast<int>(std::min<int64_t>(8 - shift, count));
    n += std::popcount(static_cast<unsigned>((row[byte] >> shift) & LowBits(take)));
    count -= take;
    ++byte;
  }
  const int64_t full = count >> 3;
  int64_t i = 0;
  for (; i + 8 <= full; i += 8) n += std::popcount(Load<uint64_t>(row + byte + i));
  for (; i < full; ++i) n += std::popcount(static_cast<unsigned>(row[byte + i]));
  const int rem = static_cast<int>(count & 7);
  if (rem != 0) n += std::popcount(static_cast<unsigned>(row[byte + full] & LowBits(rem)));
  return n;
}

int64_t CountMaskOnes(const uint8_t* mask, int64_t firstColumn, int64_t firstRow,
                      int64_t width, int64_t height, ptrdiff_t pitch) {
  int64_t n = 0;
  for (int64_t y = 0; y < height; ++y) {
    n += CountRowBits(mask + (firstRow + y) * pitch, firstColumn, width);
  }
  return n;
}

void FillMaskRows(uint8_t* mask, int64_t width, int32_t height, ptrdiff_t pitch, bool value) {
  const int64_t full = width >> 3;
  const int rem = static_cast<int>(width & 7);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* r = mask + y * pitch;
    std::memset(r, value ? 0xFF : 0x00, static_cast<size_t>(full));
    if (rem != 0) {
      const uint8_t used = LowBits(rem);
      r[full] = value ? static_cast<uint8_t>(r[full] | used) : static_cast<uint8_t>(r[full] & ~used);
    }
  }
}

bool FindMaskPixel(const uint8_t* mask, int32_t width, int32_t height, ptrdiff_t pitch,
                   int32_t x, int32_t y, bool value, int32_t* foundX, int32_t* foundY) {
  if (width <= 0) return false;
  if (y < 0) {
    y = 0;
    x = 0;
  }
  if (x < 0) x = 0;
  if (x >= width) {
    x = 0;
    ++y;
  }
  const uint8_t flip = value ? 0x00 : 0xFF;
  for (; y < height; ++y, x = 0) {
    const uint8_t* r = mask + y * pitch;
    int32_t pos = x;
    while (pos < width) {
      // Bits of the current byte from pos onwards, cut at the width.
      const int shift = pos & 7;
      unsigned bits = static_cast<uint8_t>(r[pos >> 3] ^ flip) >> shift;
      const int32_t left = width - pos;
      if (left < 8 - shift) bits &= LowBits(left);
      if (bits != 0) {
        *foundX = pos + std::countr_zero(bits);
        *foundY = y;
        return true;
      }
      pos += 8 - shift;
    }
  }
  return false;
}

}  // namespace vantor

using vantor::MaskMode;

namespace {

namespace err = vantor::err;

// The refusals of the kernels below: a code they do not perform. Stated only
// on that path, so the kernels keep their speed.
int32_t RefusedCode(const char* operation, int32_t code, int32_t result) {
  err::Report(operation, err::kParameter, "code %d is not an operation of this kernel", code);
  return result;
}

int32_t Threshold(const char* operation, int bytes, const void* source, int32_t width,
                  int32_t height, int32_t sourcePitch, uint8_t* mask, int32_t maskPitch,
                  uint32_t threshold, int32_t compare) {
  const int64_t n = vantor::RectThreshold(bytes, static_cast<const uint8_t*>(source), width, height,
                                          sourcePitch, mask, maskPitch, threshold, compare);
  if (n < 0) {
    err::Report(operation, err::kParameter, "compare code %d is not one of 16..19", compare);
    return -1;
  }
  return vantor::ClampCount(n);
}

}  // namespace

extern "C" {

int32_t MemOpMem(const uint8_t* source, uint8_t* destination, uint32_t count, int32_t code) {
  if (!vantor::CodeSupported(code, false)) return RefusedCode(__func__, code, 65535);
  // One long row; split so that the rectangle kernel's int width never overflows.
  while (count > 0) {
    const uint32_t n = std::min<uint32_t>(count, 1u << 30);
    vantor::RectOp(1, source, destination, nullptr, static_cast<int32_t>(n), 1, 0, 0, 0, code,
                   MaskMode::kAll);
    source += n;
    destination += n;
    count -= n;
  }
  return 0;
}

int32_t MemToBitMask(const uint8_t* source, int32_t width, int32_t height, int32_t sourcePitch,
                     uint8_t* mask, int32_t maskPitch, uint32_t threshold, int32_t compare) {
  return Threshold(__func__, 1, source, width, height, sourcePitch, mask, maskPitch, threshold,
                   compare);
}

int32_t MemToBitMask16(const void* source, int32_t width, int32_t height, int32_t sourcePitch,
                       uint8_t* mask, int32_t maskPitch, uint32_t threshold, int32_t compare) {
  return Threshold(__func__, 2, source, width, height, sourcePitch, mask, maskPitch, threshold,
                   compare);
}

int32_t MemToBitMask32(const void* source, int32_t width, int32_t height, int32_t sourcePitch,
                       uint8_t* mask, int32_t maskPitch, uint32_t threshold, int32_t compare) {
  return Threshold(__func__, 4, source, width, height, sourcePitch, mask, maskPitch, threshold,
                   compare);
}

static int32_t MaskConst(const char* operation, int bytes, const void* source, void* destination,
                         const uint8_t* mask, int32_t width, int32_t height, int32_t sourcePitch,
                         int32_t destinationPitch, int32_t maskPitch, uint32_t constant,
                         uint32_t flags) {
  const MaskMode mode = (flags & 0x40) ? MaskMode::kAll
                        : (flags & 0x80) ? MaskMode::kClear
                                         : MaskMode::kSet;
  const auto code = static_cast<int32_t>(flags & 0x3F);
  const int32_t r = vantor::RectConst(
      bytes, static_cast<const uint8_t*>(source), static_cast<uint8_t*>(destination), mask, width,
      height, sourcePitch, destinationPitch, maskPitch, constant, code, mode);
  return r < 0 ? RefusedCode(operation, code, -1) : r;
}

int32_t MemMaskConstMem(const uint8_t* source, uint8_t* destination, const uint8_t* mask,
                        int32_t width, int32_t height, int32_t sourcePitch,
                        int32_t destinationPitch, int32_t maskPitch, uint32_t constant,
                        uint32_t flags) {
  return MaskConst(__func__, 1, source, destination, mask, width, height, sourcePitch,
                   destinationPitch, maskPitch, constant, flags);
}

int32_t MemMaskConstMem16(const void* source, void* destination, const uint8_t* mask,
                          int32_t width, int32_t height, int32_t sourcePitch,
                          int32_t destinationPitch, int32_t maskPitch, uint32_t constant,
                          uint32_t flags) {
  return MaskConst(__func__, 2, source, destination, mask, width, height, sourcePitch,
                   destinationPitch, maskPitch, constant, flags);
}

int32_t MemMaskConstMem32(const void* source, void* destination, const uint8_t* mask,
                          int32_t width, int32_t height, int32_t sourcePitch,
                          int32_t destinationPitch, int32_t maskPitch, uint32_t constant,
                          uint32_t flags) {
  return MaskConst(__func__, 4, source, destination, mask, width, height, sourcePitch,
                   destinationPitch, maskPitch, constant, flags);
}

int32_t MaskBitwise(const uint8_t* source, int32_t width, int32_t height, int32_t sourcePitch,
                    uint8_t* destination, int32_t destinationPitch, int32_t code) {
  const int32_t r =
      vantor::BitRowsOp(source, width, height, sourcePitch, destination, destinationPitch, code);
  return r < 0 ? RefusedCode(__func__, code, -1) : r;
}

int32_t MaskOnes(const uint8_t* mask, int32_t firstColumn, int32_t firstRow, int32_t width,
                 int32_t height, int32_t pitch) {
  return vantor::ClampCount(
      vantor::CountMaskOnes(mask, firstColumn, firstRow, width, height, pitch));
}

int32_t MaskOper(uint8_t* mask, int32_t width, int32_t height, int32_t pitch, uint16_t type,
                 MaskPosition* position) {
  switch (type) {
    case 0: {
      if (position == nullptr)
        return err::Report(__func__, err::kParameter, "no position given"), -1;
      const int32_t x = position->x, y = position->y;
      if (x < 0 || y < 0 || x >= width || y >= height) {
        return err::Report(__func__, err::kParameter, "(%d, %d) lies outside the %d x %d mask", x,
                           y, width, height),
               -1;
      }
      return (mask[static_cast<ptrdiff_t>(y) * pitch + (x >> 3)] >> (x & 7)) & 1;
    }
    case 4:
    case 5:
      vantor::FillMaskRows(mask, width, height, pitch, type == 5);
      return 0;
    case 6: {
      // Inverting is XOR with all ones over the used bits.
      for (int32_t y = 0; y < height; ++y) {
        uint8_t* r = mask + static_cast<ptrdiff_t>(y) * pitch;
        vantor::BitRowsOp(r, width, 1, 0, r, 0, 10);
      }
      return 0;
    }
    case 7: {
      if (position == nullptr)
        return err::Report(__func__, err::kParameter, "no position given"), -1;
      int32_t fx = 0, fy = 0;
      if (!vantor::FindMaskPixel(mask, width, height, pitch, position->x, position->y,
                                 (position->value & 1) != 0, &fx, &fy)) {
        return 0;
      }
      position->x = fx;
      position->y = fy;
      return 1;
    }
    default:
      return err::Report(__func__, err::kParameter, "type %d is not one of 0, 4, 5, 6, 7",
                         static_cast<int>(type)),
             -1;
  }
}

}  // extern "C"
