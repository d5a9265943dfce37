// Row conversions between pixel depths: the scalar kernels, the
// rectangle-level converters and their C entry points.

#include "kernels/convert_rows.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "kernels/convert_kernels.h"
#include "kernels/kernel_path.h"

static_assert(std::endian::native == std::endian::little,
              "pixel values are stored low byte first");

namespace vantor::convert {
namespace {

template <typename T>
inline T LoadAt(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
inline void StoreAt(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// Calls f(sourceRow, destinationRow) for every row.
template <typename F>
inline void ForRows(const uint8_t* src, ptrdiff_t srcPitch, size_t rows, uint8_t* dst,
                    ptrdiff_t dstPitch, F&& f) {
  for (size_t y = 0; y < rows; ++y) {
    f(src, dst);
    src += srcPitch;
    dst += dstPitch;
  }
}

template <typename S, typename D>
uint32_t Widen(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows, uint8_t* dst,
               ptrdiff_t dstPitch, int32_t shift) {
  const unsigned s = static_cast<unsigned>(shift) & 31u;
  D best = 0;
  ForRows(src, srcPitch, rows, dst, dstPitch, [&](const uint8_t* in, uint8_t* out) {
    D rowBest = 0;
    for (size_t x = 0; x < count; ++x) {
      const D v = static_cast<D>(static_cast<uint32_t>(LoadAt<S>(in + x * sizeof(S))) << s);
      StoreAt<D>(out + x * sizeof(D), v);
      rowBest = std::max(rowBest, v);
    }
    best = std::max(best, rowBest);
  });
  return best;
}

template <typename S>
uint32_t MaxRow(const uint8_t* src, size_t count, KernelPath path) {
  if constexpr (sizeof(S) == 2) {
    return RunOnPath(path, MaxRowU16Scalar, MaxRowU16Vector, src, count);
  } else {
    return RunOnPath(path, MaxRowU32Scalar, MaxRowU32Vector, src, count);
  }
}

template <typename S, typename D>
void ShiftRow(const uint8_t* src, uint8_t* dst, size_t count, unsigned shift, KernelPath path) {
  if constexpr (sizeof(S) == 2 && sizeof(D) == 1) {
    RunOnPath(path, ShiftRowU16toU8Scalar, ShiftRowU16toU8Vector, src, dst, count, shift);
  } else if constexpr (sizeof(S) == 4 && sizeof(D) == 1) {
    RunOnPath(path, ShiftRowU32toU8Scalar, ShiftRowU32toU8Vector, src, dst, count, shift);
  } else {
    (void)path;
    for (size_t x = 0; x < count; ++x) {
      StoreAt<D>(dst + x * sizeof(D), static_cast<D>(LoadAt<S>(src + x * sizeof(S)) >> shift));
    }
  }
}

// Narrowing S to D; see Convert16to8 in convert_rows.h for the modes.
template <typename S, typename D>
uint32_t Narrow(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows, uint8_t* dst,
                ptrdiff_t dstPitch, int32_t mode, KernelPath path) {
  constexpr unsigned kSrcBits = 8 * sizeof(S);
  constexpr uint32_t kTop = std::numeric_limits<D>::max();

  auto shiftAll = [&](unsigned shift) {
    ForRows(src, srcPitch, rows, dst, dstPitch, [&](const uint8_t* in, uint8_t* out) {
      if (shift >= kSrcBits) {
        std::memset(out, 0, count * sizeof(D));
      } else {
        ShiftRow<S, D>(in, out, count, shift, path);
      }
    });
  };

  if (mode >= 0) {
    shiftAll(static_cast<unsigned>(mode));
    return 0;
  }

  uint32_t m = 0;
  for (size_t y = 0; y < rows; ++y) {
    m = std::max(m, MaxRow<S>(src + static_cast<ptrdiff_t>(y) * srcPitch, count, path));
  }

  if (m == 0 || mode == -1 || (mode == -2 && m <= kTop)) {
    unsigned s = 0;
    while ((m >> s) > kTop) ++s;
    shiftAll(s);
    return m;
  }

  // Linear stretch so that m maps to the top value.
  if constexpr (sizeof(S) == 2) {
    ForRows(src, srcPitch, rows, dst, dstPitch, [&](const uint8_t* in, uint8_t* out) {
      for (size_t x = 0; x < count; ++x) {
        const uint32_t v = LoadAt<S>(in + x * sizeof(S));
        StoreAt<D>(out + x * sizeof(D), static_cast<D>(v * kTop / m));
      }
    });
  } else if constexpr (sizeof(D) == 1) {
    const double factor = 255.0 / static_cast<double>(m);
    ForRows(src, srcPitch, rows, dst, dstPitch, [&](const uint8_t* in, uint8_t* out) {
      for (size_t x = 0; x < count; ++x) {
        const double v = LoadAt<S>(in + x * sizeof(S));
        out[x] = static_cast<uint8_t>(static_cast<uint32_t>(std::floor(v * factor + 0.5)));
      }
    });
  } else {
    unsigned n = 0;
    while ((m >> n) > kTop) ++n;
    const uint32_t den = m >> n;
    ForRows(src, srcPitch, rows, dst, dstPitch, [&](const uint8_t* in, uint8_t* out) {
      for (size_t x = 0; x < count; ++x) {
        const uint32_t v = LoadAt<S>(in + x * sizeof(S)) >> n;
        StoreAt<D>(out + x * sizeof(D), static_cast<D>(v * kTop / den));
      }
    });
  }
  return m;
}

template <typename T>
inline T Rank(T b, T g, T r, int64_t rank) {
  if (rank == 0) return std::min({b, g, r});
  if (rank == -1) return std::max(std::min(b, g), std::min(std::max(b, g), r));
  if (rank == -2) return std::max({b, g, r});
  return static_cast<T>((uint32_t{b} + g + r + 2) / 3);
}

// Colour to grey for channel type T (uint8_t or uint16_t), all on the scalar
// path except the byte order statistics, which have a vector twin.
template <typename T>
uint32_t RgbToGrey(uint8_t* dst, size_t width, size_t rows, ptrdiff_t dstPitch,
                   const uint8_t* src, ptrdiff_t srcPitch, int32_t red, int32_t green,
                   int32_t blue, KernelPath path) {
  constexpr size_t kPix = 3 * sizeof(T);
  const int64_t sum = int64_t{red} + green + blue;
  uint32_t best = 0;

  if (sum <= 0) {
    ForRows(src, srcPitch, rows, dst, dstPitch, [&](const uint8_t* in, uint8_t* out) {
      if constexpr (sizeof(T) == 1) {
        const uint8_t rowBest =
            RunOnPath(path, RgbRankRowScalar, RgbRankRowVector, in, out, width, sum);
        best = std::max<uint32_t>(best, rowBest);
      } else {
        (void)path;
        T rowBest = 0;
        for (size_t x = 0; x < width; ++x) {
          const uint8_t* p = in + x * kPix;
          const T g = Rank<T>(LoadAt<T>(p), LoadAt<T>(p + sizeof(T)), LoadAt<T>(p + 2 * sizeof(T)),
                              sum);
          StoreAt<T>(out + x * sizeof(T), g);
          rowBest = std::max(rowBest, g);
        }
        best = std::max<uint32_t>(best, rowBest);
      }
    });
    return best;
  }

  // One weight alone: w * c / w is the channel itself.
  const int nonzero = (red != 0) + (green != 0) + (blue != 0);
  if (nonzero == 1) {
    const size_t channel = blue != 0 ? 0 : green != 0 ? 1 : 2;
    ForRows(src, srcPitch, rows, dst, dstPitch, [&](const uint8_t* in, uint8_t* out) {
      T rowBest = 0;
      for (size_t x = 0; x < width; ++x) {
        const T v = LoadAt<T>(in + x * kPix + channel * sizeof(T));
        StoreAt<T>(out + x * sizeof(T), v);
        rowBest = std::max(rowBest, v);
      }
      best = std::max<uint32_t>(best, rowBest);
    });
    return best;
  }

  ForRows(src, srcPitch, rows, dst, dstPitch, [&](const uint8_t* in, uint8_t* out) {
    T rowBest = 0;
    for (size_t x = 0; x < width; ++x) {
      const uint8_t* p = in + x * kPix;
      const int64_t b = LoadAt<T>(p);
      const int64_t g = LoadAt<T>(p + sizeof(T));
      const int64_t r = LoadAt<T>(p + 2 * sizeof(T));
      const int64_t grey = (red * r + green * g + blue * b) / sum;
      const T v = static_cast<T>(static_cast<uint64_t>(grey));
      StoreAt<T>(out + x * sizeof(T), v);
      rowBest = std::max(rowBest, v);
    }
    best = std::max<uint32_t>(best, rowBest);
  });
  return best;
}

template <typename T>
void GreyToRgb(const uint8_t* src, ptrdiff_t srcPitch, size_t width, size_t rows, uint8_t* dst,
               ptrdiff_t dstPitch, GreyToRgbOp op, int32_t red, int32_t green, int32_t blue) {
  constexpr int64_t kTop = std::numeric_limits<T>::max();
  const int32_t weights[3] = {blue, green, red};  // memory order
  ForRows(src, srcPitch, rows, dst, dstPitch, [&](const uint8_t* in, uint8_t* out) {
    for (size_t x = 0; x < width; ++x) {
      const int64_t grey = LoadAt<T>(in + x * sizeof(T));
      uint8_t* p = out + x * 3 * sizeof(T);
      for (int c = 0; c < 3; ++c) {
        const int32_t w = weights[c];
        const T value = static_cast<T>(std::clamp<int64_t>(w * grey / 255, 0, kTop));
        uint8_t* q = p + c * sizeof(T);
        switch (op) {
          case GreyToRgbOp::kFill:
            StoreAt<T>(q, value);
            break;
          case GreyToRgbOp::kAdd:
            StoreAt<T>(q, static_cast<T>(LoadAt<T>(q) | value));
            break;
          case GreyToRgbOp::kInsert:
            if (w != 0) StoreAt<T>(q, value);
            break;
        }
      }
    }
  });
}

}  // namespace

uint8_t RgbRankRowScalar(const uint8_t* bgr, uint8_t* grey, size_t width, int64_t rank) {
  uint8_t best = 0;
  for (size_t x = 0; x < width; ++x) {
    const uint8_t v = Rank<uint8_t>(bgr[3 * x], bgr[3 * x + 1], bgr[3 * x + 2], rank);
    grey[x] = v;
    best = std::max(best, v);
  }
  return best;
}

uint32_t MaxRowU16Scalar(const uint8_t* src, size_t n) {
  uint16_t best = 0;
  for (size_t x = 0; x < n; ++x) best = std::max(best, LoadAt<uint16_t>(src + 2 * x));
  return best;
}

uint32_t MaxRowU32Scalar(const uint8_t* src, size_t n) {
  uint32_t best = 0;
  for (size_t x = 0; x < n; ++x) best = std::max(best, LoadAt<uint32_t>(src + 4 * x));
  return best;
}

void ShiftRowU16toU8Scalar(const uint8_t* src, uint8_t* dst, size_t n, unsigned shift) {
  for (size_t x = 0; x < n; ++x) {
    dst[x] = static_cast<uint8_t>(LoadAt<uint16_t>(src + 2 * x) >> shift);
  }
}

void ShiftRowU32toU8Scalar(const uint8_t* src, uint8_t* dst, size_t n, unsigned shift) {
  for (size_t x = 0; x < n; ++x) {
    dst[x] = static_cast<uint8_t>(LoadAt<uint32_t>(src + 4 * x) >> shift);
  }
}

uint32_t Widen8to16(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                    uint8_t* dst, ptrdiff_t dstPitch, int32_t shift) {
  return Widen<uint8_t, uint16_t>(src, srcPitch, count, rows, dst, dstPitch, shift);
}
uint32_t Widen8to32(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                    uint8_t* dst, ptrdiff_t dstPitch, int32_t shift) {
  return Widen<uint8_t, uint32_t>(src, srcPitch, count, rows, dst, dstPitch, shift);
}
uint32_t Widen16to32(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                     uint8_t* dst, ptrdiff_t dstPitch, int32_t shift) {
  return Widen<uint16_t, uint32_t>(src, srcPitch, count, rows, dst, dstPitch, shift);
}

uint32_t Narrow16to8(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                     uint8_t* dst, ptrdiff_t dstPitch, int32_t mode, KernelPath path) {
  return Narrow<uint16_t, uint8_t>(src, srcPitch, count, rows, dst, dstPitch, mode, path);
}
uint32_t Narrow32to8(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                     uint8_t* dst, ptrdiff_t dstPitch, int32_t mode, KernelPath path) {
  return Narrow<uint32_t, uint8_t>(src, srcPitch, count, rows, dst, dstPitch, mode, path);
}
uint32_t Narrow32to16(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                      uint8_t* dst, ptrdiff_t dstPitch, int32_t mode, KernelPath path) {
  return Narrow<uint32_t, uint16_t>(src, srcPitch, count, rows, dst, dstPitch, mode, path);
}

void Int32ToDouble(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                   uint8_t* dst, ptrdiff_t dstPitch, int32_t mode) {
  ForRows(src, srcPitch, rows, dst, dstPitch, [&](const uint8_t* in, uint8_t* out) {
    for (size_t x = 0; x < count; ++x) {
      const uint32_t v = LoadAt<uint32_t>(in + 4 * x);
      const double d = mode != 0 ? static_cast<double>(static_cast<int32_t>(v))
                                 : static_cast<double>(v);
      StoreAt<double>(out + 8 * x, d);
    }
  });
}

uint32_t DoubleTo32(double v, bool signedRule) {
  if (std::isnan(v)) return 0;
  if (signedRule) {
    const double c = std::clamp(v, -2147483647.0, 2147483647.0);
    return static_cast<uint32_t>(static_cast<int32_t>(c));
  }
  if (v > 4294967295.0) return 0xFFFFFFFFu;
  if (v > -9223372036854775808.0) {
    // Truncation toward zero, then the low 32 bits.
    return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(v)));
  }
  // Huge negative values (and -infinity, whose remainder is NaN): the low 32
  // bits of the integer, found exactly by the floating-point remainder.
  double r = std::fmod(v, 4294967296.0);
  if (std::isnan(r)) return 0;
  if (r < 0) r += 4294967296.0;
  return static_cast<uint32_t>(r);
}

void DoubleToInt32(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                   uint8_t* dst, ptrdiff_t dstPitch, int32_t mode) {
  ForRows(src, srcPitch, rows, dst, dstPitch, [&](const uint8_t* in, uint8_t* out) {
    for (size_t x = 0; x < count; ++x) {
      StoreAt<uint32_t>(out + 4 * x, DoubleTo32(LoadAt<double>(in + 8 * x), mode != 0));
    }
  });
}

uint32_t RgbToGrey8(uint8_t* dst, size_t width, size_t rows, ptrdiff_t dstPitch,
                    const uint8_t* src, ptrdiff_t srcPitch, int32_t red, int32_t green,
                    int32_t blue, KernelPath path) {
  return RgbToGrey<uint8_t>(dst, width, rows, dstPitch, src, srcPitch, red, green, blue, path);
}

uint32_t RgbToGrey16(uint8_t* dst, size_t width, size_t rows, ptrdiff_t dstPitch,
                     const uint8_t* src, ptrdiff_t srcPitch, int32_t red, int32_t green,
                     int32_t blue) {
  return RgbToGrey<uint16_t>(dst, width, rows, dstPitch, src, srcPitch, red, green, blue,
                             KernelPath::kScalar);
}

void GreyToRgb8(const uint8_t* src, ptrdiff_t srcPitch, size_t width, size_t rows,
                uint8_t* dst, ptrdiff_t dstPitch, GreyToRgbOp op, int32_t red, int32_t green,
                int32_t blue) {
  GreyToRgb<uint8_t>(src, srcPitch, width, rows, dst, dstPitch, op, red, green, blue);
}

void GreyToRgb16(const uint8_t* src, ptrdiff_t srcPitch, size_t width, size_t rows,
                 uint8_t* dst, ptrdiff_t dstPitch, GreyToRgbOp op, int32_t red, int32_t green,
                 int32_t blue) {
  GreyToRgb<uint16_t>(src, srcPitch, width, rows, dst, dstPitch, op, red, green, blue);
}

}  // namespace vantor::convert

// ---- C entry points ------------------------------------------------------------

namespace {
namespace cv = vantor::convert;

const uint8_t* In(const void* p) { return static_cast<const uint8_t*>(p); }
uint8_t* Out(void* p) { return static_cast<uint8_t*>(p); }
size_t N(int32_t n) { return n > 0 ? static_cast<size_t>(n) : 0; }
}  // namespace

extern "C" {

uint32_t Convert8to16(const void* src, int32_t srcPitch, int32_t width, int32_t height,
                      void* dst, int32_t dstPitch, int32_t mode) {
  return cv::Widen8to16(In(src), srcPitch, N(width), N(height), Out(dst), dstPitch, mode);
}

uint32_t Convert8to32(const void* src, int32_t srcPitch, int32_t width, int32_t height,
                      void* dst, int32_t dstPitch, int32_t mode) {
  return cv::Widen8to32(In(src), srcPitch, N(width), N(height), Out(dst), dstPitch, mode);
}

uint32_t Convert16to32(const void* src, int32_t srcPitch, int32_t width, int32_t height,
                       void* dst, int32_t dstPitch, int32_t mode) {
  return cv::Widen16to32(In(src), srcPitch, N(width), N(height), Out(dst), dstPitch, mode);
}

uint32_t Convert16to8(const void* src, int32_t srcPitch, int32_t width, int32_t height,
                      void* dst, int32_t dstPitch, int32_t mode) {
  return cv::Narrow16to8(In(src), srcPitch, N(width), N(height), Out(dst), dstPitch, mode,
                         vantor::CurrentKernelPath());
}

uint32_t Convert32to8(const void* src, int32_t srcPitch, int32_t width, int32_t height,
                      void* dst, int32_t dstPitch, int32_t mode) {
  return cv::Narrow32to8(In(src), srcPitch, N(width), N(height), Out(dst), dstPitch, mode,
                         vantor::CurrentKernelPath());
}

uint32_t Convert32to16(const void* src, int32_t srcPitch, int32_t width, int32_t height,
                       void* dst, int32_t dstPitch, int32_t mode) {
  return cv::Narrow32to16(In(src), srcPitch, N(width), N(height), Out(dst), dstPitch, mode,
                          vantor::CurrentKernelPath());
}

void Convert32toDouble(const void* src, int32_t srcPitch, int32_t width, int32_t height,
                       void* dst, int32_t dstPitch, int32_t mode) {
  cv::Int32ToDouble(In(src), srcPitch, N(width), N(height), Out(dst), dstPitch, mode);
}

void ConvertDoubleTo32(const void* src, int32_t srcPitch, int32_t width, int32_t height,
                       void* dst, int32_t dstPitch, int32_t mode) {
  cv::DoubleToInt32(In(src), srcPitch, N(width), N(height), Out(dst), dstPitch, mode);
}

int32_t RGBtoGray(void* dst, int32_t width, int32_t height, int32_t dstPitch, const void* src,
                  int32_t srcPitch, int32_t redWeight, int32_t greenWeight, int32_t blueWeight) {
  return static_cast<int32_t>(cv::RgbToGrey8(Out(dst), N(width), N(height), dstPitch, In(src),
                                             srcPitch, redWeight, greenWeight, blueWeight,
                                             vantor::CurrentKernelPath()));
}

int32_t RGB48toGray(void* dst, int32_t width, int32_t height, int32_t dstPitch, const void* src,
                    int32_t srcPitch, int32_t redWeight, int32_t greenWeight,
                    int32_t blueWeight) {
  return static_cast<int32_t>(cv::RgbToGrey16(Out(dst), N(width), N(height), dstPitch, In(src),
                                              srcPitch, redWeight, greenWeight, blueWeight));
}

}  // extern "C"
