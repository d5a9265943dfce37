// Depth conversion between memory rectangles: the dispatch over depth pairs,
// colour to grey and grey to colour. The row work is done by the converters of
// kernels/convert_kernels.h; this file checks handles, sizes and depths first
// so that a refused call never writes.

#include "memrect/convert.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "kernels/convert_kernels.h"
#include "generic/keywords.h"
#include "generic/last_error.h"
#include "memrect/memrect.h"
#include "memrect/pixelwise_internal.h"

namespace vantor {
namespace {

namespace cv = convert;
namespace err = vantor::err;

// A resolved rectangle.
struct View {
  int32_t handle = 0;
  int32_t depth = -1;
  size_t width = 0;
  size_t height = 0;
  ptrdiff_t pitch = 0;
  uint8_t* pixels = nullptr;
};

bool Resolve(int32_t handle, View* v) {
  int32_t w = 0, h = 0, pitch = 0;
  void* pixels = nullptr;
  const int32_t depth = mrGetExtendedInfo(handle, &w, &h, &pitch, &pixels);
  if (depth < 0 || w < 0 || h < 0) return err::FailHandle(handle);
  *v = View{handle, depth, static_cast<size_t>(w), static_cast<size_t>(h), pitch,
            static_cast<uint8_t*>(pixels)};
  return true;
}

int32_t Limited(uint64_t n) {
  return static_cast<int32_t>(std::min<uint64_t>(n, std::numeric_limits<int32_t>::max()));
}

int32_t Area(const View& v) { return Limited(uint64_t{v.width} * v.height); }

// Bytes of a tight plane; throws std::bad_alloc when the size does not fit.
size_t PlaneBytes(int32_t depth, size_t width, size_t height, size_t* rowBytes) {
  size_t total = 0;
  if (__builtin_mul_overflow(width, static_cast<size_t>(depth / 8), rowBytes) ||
      __builtin_mul_overflow(*rowBytes, height, &total) ||
      *rowBytes > static_cast<size_t>(std::numeric_limits<ptrdiff_t>::max())) {
    throw std::bad_alloc();
  }
  return total;
}

// Scratch plane for the chained pairs: tight rows, released with the object.
struct Plane {
  Plane(int32_t depth, size_t width, size_t height)
      : bytes(PlaneBytes(depth, width, height, &rowBytes)),
        view{0, depth, width, height, static_cast<ptrdiff_t>(rowBytes), bytes.data()} {}
  size_t rowBytes = 0;
  std::vector<uint8_t> bytes;
  View view;
};

// ---- Same-depth copies --------------------------------------------------------

int32_t CopyBytes(const View& s, const View& d, int32_t) {
  const size_t rowBytes = s.width * static_cast<size_t>(s.depth / 8);
  for (size_t y = 0; y < s.height; ++y) {
    std::memmove(d.pixels + static_cast<ptrdiff_t>(y) * d.pitch,
                 s.pixels + static_cast<ptrdiff_t>(y) * s.pitch, rowBytes);
  }
  return Area(s);
}

// 1-bit rows: whole bytes copied, the last partial byte merged so that bits
// past the width (other pixels of an overlay's parent) stay as they were.
int32_t CopyBits(const View& s, const View& d, int32_t) {
  const size_t whole = s.width / 8;
  const unsigned rest = static_cast<unsigned>(s.width % 8);
  const uint8_t keep = static_cast<uint8_t>(0xFFu << rest);
  for (size_t y = 0; y < s.height; ++y) {
    const uint8_t* in = s.pixels + static_cast<ptrdiff_t>(y) * s.pitch;
    uint8_t* out = d.pixels + static_cast<ptrdiff_t>(y) * d.pitch;
    std::memmove(out, in, whole);
    if (rest != 0) out[whole] = static_cast<uint8_t>((out[whole] & keep) | (in[whole] & ~keep));
  }
  return Area(s);
}

// ---- Widening and narrowing -------------------------------------------------------

int32_t Widen8to16(const View& s, const View& d, int32_t mode) {
  cv::Widen8to16(s.pixels, s.pitch, s.width, s.height, d.pixels, d.pitch, mode);
  return Area(s);
}
int32_t Widen8to32(const View& s, const View& d, int32_t mode) {
  cv::Widen8to32(s.pixels, s.pitch, s.width, s.height, d.pixels, d.pitch, mode);
  return Area(s);
}
int32_t Widen16to32(const View& s, const View& d, int32_t mode) {
  cv::Widen16to32(s.pixels, s.pitch, s.width, s.height, d.pixels, d.pitch, mode);
  return Area(s);
}
int32_t Widen24to48(const View& s, const View& d, int32_t mode) {
  return Limited(
      cv::Widen8to16(s.pixels, s.pitch, 3 * s.width, s.height, d.pixels, d.pitch, mode));
}

int32_t Narrow16to8(const View& s, const View& d, int32_t mode) {
  return Limited(cv::Narrow16to8(s.pixels, s.pitch, s.width, s.height, d.pixels, d.pitch, mode,
                                 CurrentKernelPath()));
}
int32_t Narrow32to8(const View& s, const View& d, int32_t mode) {
  return Limited(cv::Narrow32to8(s.pixels, s.pitch, s.width, s.height, d.pixels, d.pitch, mode,
                                 CurrentKernelPath()));
}
int32_t Narrow32to16(const View& s, const View& d, int32_t mode) {
  return Limited(cv::Narrow32to16(s.pixels, s.pitch, s.width, s.height, d.pixels, d.pitch, mode,
                                  CurrentKernelPath()));
}
int32_t Narrow48to24(const View& s, const View& d, int32_t mode) {
  return Limited(cv::Narrow16to8(s.pixels, s.pitch, 3 * s.width, s.height, d.pixels, d.pitch,
                                 mode, CurrentKernelPath()));
}

// ---- Colour and grey ---------------------------------------------------------------

// The causes of a refused pair of rectangles; -1.
int32_t SizesDiffer(const View& s, const View& d) {
  err::Fail(err::kParameter, "images %d and %d differ in size (%zu x %zu and %zu x %zu)",
            s.handle, d.handle, s.width, s.height, d.width, d.height);
  return -1;
}

int32_t DepthPair(const View& s, const View& d, const char* taken) {
  err::Fail(err::kParameter, "no conversion from depth %d (image %d) to depth %d (image %d)%s%s",
            s.depth, s.handle, d.depth, d.handle, taken ? "; this operation takes " : "",
            taken ? taken : "");
  return -1;
}

// Colour to grey with the width test on the pitches; -1 before any write.
int32_t GreyFromColour(const View& s, const View& d, int32_t red, int32_t green,
                       int32_t blue) {
  const bool bytes = s.depth == 24 && d.depth == 8;
  const bool words = s.depth == 48 && d.depth == 16;
  if (!bytes && !words) return DepthPair(s, d, "24 -> 8 or 48 -> 16");
  if (s.width != d.width || s.height != d.height) return SizesDiffer(s, d);
  if (s.width == 0) return 0;
  const ptrdiff_t unit = bytes ? 1 : 2;
  const auto w = static_cast<ptrdiff_t>(s.width);
  if (d.pitch / w != unit || s.pitch / w != 3 * unit) {
    err::Fail(err::kParameter,
              "rows of %zu pixels with pitches %td and %td fail the width test "
              "(pitch / width must be %td and %td)",
              s.width, s.pitch, d.pitch, 3 * unit, unit);
    return -1;
  }
  const uint32_t best =
      bytes ? cv::RgbToGrey8(d.pixels, s.width, s.height, d.pitch, s.pixels, s.pitch, red, green,
                             blue, CurrentKernelPath())
            : cv::RgbToGrey16(d.pixels, s.width, s.height, d.pitch, s.pixels, s.pitch, red,
                              green, blue);
  return static_cast<int32_t>(best);
}

// Grey to colour; -1 for a wrong depth pair or size.
int32_t ColourFromGrey(const View& s, const View& d, cv::GreyToRgbOp op, int32_t red,
                       int32_t green, int32_t blue) {
  if (s.width != d.width || s.height != d.height) return SizesDiffer(s, d);
  if (s.depth == 8 && d.depth == 24) {
    cv::GreyToRgb8(s.pixels, s.pitch, s.width, s.height, d.pixels, d.pitch, op, red, green,
                   blue);
  } else if (s.depth == 16 && d.depth == 48) {
    cv::GreyToRgb16(s.pixels, s.pitch, s.width, s.height, d.pixels, d.pitch, op, red, green,
                    blue);
  } else {
    return DepthPair(s, d, "8 -> 24 or 16 -> 48");
  }
  return Area(s);
}

int32_t LargestChannel(const View& s, const View& d, int32_t) {
  return GreyFromColour(s, d, -2, 0, 0);
}

int32_t GreyIntoChannels(const View& s, const View& d, int32_t) {
  return ColourFromGrey(s, d, cv::GreyToRgbOp::kFill, 255, 255, 255);
}

// ---- Chained pairs through a scratch plane -----------------------------------------

// 24 -> 8 -> 16 or 32. A refused first step refuses the pair.
int32_t ColourToWide(const View& s, const View& d, int32_t) {
  Plane grey(8, s.width, s.height);
  if (GreyFromColour(s, grey.view, -2, 0, 0) < 0) return -1;
  const View& g = grey.view;
  if (d.depth == 16) {
    cv::Widen8to16(g.pixels, g.pitch, g.width, g.height, d.pixels, d.pitch, 0);
  } else {
    cv::Widen8to32(g.pixels, g.pitch, g.width, g.height, d.pixels, d.pitch, 0);
  }
  return Area(s);
}

// 16 or 32 -> 8 (mode -2) -> 24.
int32_t WideToColour(const View& s, const View& d, int32_t) {
  Plane grey(8, s.width, s.height);
  const View& g = grey.view;
  if (s.depth == 16) {
    cv::Narrow16to8(s.pixels, s.pitch, s.width, s.height, g.pixels, g.pitch, -2,
                    CurrentKernelPath());
  } else {
    cv::Narrow32to8(s.pixels, s.pitch, s.width, s.height, g.pixels, g.pitch, -2,
                    CurrentKernelPath());
  }
  return GreyIntoChannels(g, d, 0);
}

int32_t IntToDouble(const View& s, const View& d, int32_t mode) {
  cv::Int32ToDouble(s.pixels, s.pitch, s.width, s.height, d.pixels, d.pitch, mode);
  return Area(s);
}

int32_t DoubleToInt(const View& s, const View& d, int32_t mode) {
  cv::DoubleToInt32(s.pixels, s.pitch, s.width, s.height, d.pixels, d.pitch, mode);
  return Area(s);
}

// 64 -> 32 (unsigned rule) -> 8 or 16 (mode 0).
int32_t DoubleToNarrow(const View& s, const View& d, int32_t) {
  Plane ints(32, s.width, s.height);
  const View& i = ints.view;
  DoubleToInt(s, i, 0);
  return d.depth == 8 ? Narrow32to8(i, d, 0) : Narrow32to16(i, d, 0);
}

// 8 or 16 -> 32 (no shift) -> 64 (unsigned).
int32_t NarrowToDouble(const View& s, const View& d, int32_t) {
  Plane ints(32, s.width, s.height);
  const View& i = ints.view;
  if (s.depth == 8) {
    Widen8to32(s, i, 0);
  } else {
    Widen16to32(s, i, 0);
  }
  return IntToDouble(i, d, 0);
}

// ---- To and from masks (the threshold and masked-fill operations) ------------

int32_t I32(size_t v) { return static_cast<int32_t>(v); }

// The shift that brings v into 0..255: b - 7 for the highest set bit b above 7.
int32_t ByteShift(uint32_t v) {
  const int32_t b = v == 0 ? 0 : 31 - __builtin_clz(v);
  return b > 7 ? b - 7 : 0;
}

// 8 -> 1: set where the pixel is not below the low byte of mode.
int32_t MaskFrom8(const View& s, const View& d, int32_t mode) {
  ThresholdPixels(1, s.pixels, I32(s.width), I32(s.height), s.pitch, d.pixels, d.pitch,
                  static_cast<uint32_t>(mode) & 0xFF, kRelationNotLess);
  return Area(s);
}

// 24 -> 1: set where the largest channel exceeds the low byte of mode.
int32_t MaskFrom24(const View& s, const View& d, int32_t mode) {
  ThresholdLargestChannel(s.pixels, I32(s.width), I32(s.height), s.pitch, d.pixels, d.pitch,
                          static_cast<uint32_t>(mode) & 0xFF, kRelationGreater);
  return Area(s);
}

// 32 -> 1: reduced to bytes by the shift s of the largest pixel, then set where
// the byte is not below the low byte of mode >> s (arithmetic shift).
int32_t MaskFrom32(const View& s, const View& d, int32_t mode) {
  Plane bytes(8, s.width, s.height);
  const View& b = bytes.view;
  const uint32_t top = cv::Narrow32to8(s.pixels, s.pitch, s.width, s.height, b.pixels, b.pitch,
                                       -1, CurrentKernelPath());
  const int32_t shift = ByteShift(top);
  ThresholdPixels(1, b.pixels, I32(b.width), I32(b.height), b.pitch, d.pixels, d.pitch,
                  static_cast<uint32_t>(mode >> shift) & 0xFF, kRelationNotLess);
  return Area(s);
}

// 1 -> 8: the low byte of mode on set pixels, 0 elsewhere.
int32_t MaskTo8(const View& s, const View& d, int32_t mode) {
  FillFromMask(1, d.pixels, I32(d.width), I32(d.height), d.pitch, s.pixels, s.pitch,
               static_cast<uint32_t>(mode) & 0xFF);
  return Area(s);
}

// 1 -> 24: white on set pixels, black elsewhere.
int32_t MaskTo24(const View& s, const View& d, int32_t) {
  FillFromMask(3, d.pixels, I32(d.width), I32(d.height), d.pitch, s.pixels, s.pitch, 0xFFFFFF);
  return Area(s);
}

// 1 -> 32: mode kept to the eight bits below its highest set bit on set pixels
// (the byte mode >> s widened back by s), 0 elsewhere.
int32_t MaskTo32(const View& s, const View& d, int32_t mode) {
  const int32_t shift = ByteShift(static_cast<uint32_t>(mode));
  const uint32_t value = (static_cast<uint32_t>(mode >> shift) & 0xFF) << shift;
  FillFromMask(4, d.pixels, I32(d.width), I32(d.height), d.pitch, s.pixels, s.pitch, value);
  return Area(s);
}

using PairFn = int32_t (*)(const View& s, const View& d, int32_t mode);

struct Pair {
  int32_t from;
  int32_t to;
  PairFn run;
};

constexpr Pair kPairs[] = {
    {1, 1, CopyBits},
    {8, 8, CopyBytes},
    {16, 16, CopyBytes},
    {24, 24, CopyBytes},
    {32, 32, CopyBytes},
    {8, 16, Widen8to16},
    {8, 32, Widen8to32},
    {16, 32, Widen16to32},
    {16, 8, Narrow16to8},
    {32, 8, Narrow32to8},
    {32, 16, Narrow32to16},
    {48, 24, Narrow48to24},
    {24, 48, Widen24to48},
    {24, 8, LargestChannel},
    {48, 16, LargestChannel},
    {8, 24, GreyIntoChannels},
    {16, 48, GreyIntoChannels},
    {24, 16, ColourToWide},
    {24, 32, ColourToWide},
    {16, 24, WideToColour},
    {32, 24, WideToColour},
    {32, 64, IntToDouble},
    {64, 32, DoubleToInt},
    {64, 8, DoubleToNarrow},
    {64, 16, DoubleToNarrow},
    {8, 64, NarrowToDouble},
    {16, 64, NarrowToDouble},
    // Thresholds: 8 -> 1 (pixel >= low byte of mode), 32 -> 1 (reduced to 8
    // bits by the shift of its maximum), 24 -> 1 (largest channel > low byte).
    {8, 1, MaskFrom8},
    {32, 1, MaskFrom32},
    {24, 1, MaskFrom24},
    // Masked fills: 1 -> 8 (mode's low byte), 1 -> 32 (mode), 1 -> 24 (white).
    {1, 8, MaskTo8},
    {1, 32, MaskTo32},
    {1, 24, MaskTo24},
};

constexpr char kGreyToRgbOps[] = "FILL ADD INSERT ";

}  // namespace
}  // namespace vantor

extern "C" {

int32_t mrConvert(int32_t src, int32_t dst, int32_t mode) {
  using namespace vantor;
  // Scratch planes of the chained pairs are had before the destination is
  // written; a shortage throws std::bad_alloc, which Guarded reports.
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    View s, d;
    if (!Resolve(src, &s) || !Resolve(dst, &d)) return -1;
    if (s.width != d.width || s.height != d.height) return SizesDiffer(s, d);
    for (const Pair& p : kPairs) {
      if (p.from == s.depth && p.to == d.depth) return p.run(s, d, mode);
    }
    return DepthPair(s, d, nullptr);
  });
}

int32_t mrRGBtoGray(int32_t src, int32_t dst, int32_t redWeight, int32_t greenWeight,
                    int32_t blueWeight) {
  using namespace vantor;
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    View s, d;
    if (!Resolve(src, &s) || !Resolve(dst, &d)) return -1;
    return GreyFromColour(s, d, redWeight, greenWeight, blueWeight);
  });
}

int32_t mrBytesToRGB(int32_t src, int32_t dst, const char* keyword, int32_t redWeight,
                     int32_t greenWeight, int32_t blueWeight) {
  using namespace vantor;
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (keyword == nullptr) return err::Fail(err::kParameter, "no keyword given"), -1;
    const uint32_t code = WordInText(kGreyToRgbOps, nullptr, 0, keyword, 0);
    if (code == 0) {
      return err::Fail(err::kParameter, "keyword '%.40s' is not one of Fill Add Insert", keyword),
             -1;
    }
    constexpr convert::GreyToRgbOp kOps[] = {convert::GreyToRgbOp::kFill,
                                             convert::GreyToRgbOp::kAdd,
                                             convert::GreyToRgbOp::kInsert};
    View s, d;
    if (!Resolve(src, &s) || !Resolve(dst, &d)) return -1;
    return ColourFromGrey(s, d, kOps[code - 1], redWeight, greenWeight, blueWeight);
  });
}

}  // extern "C"
