// Point operations on memory rectangles: keyword lookup, operand checks and
// the choice between the scalar and the vector kernels.
#include "memrect/pixelwise.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "generic/keywords.h"
#include "generic/last_error.h"
#include "improc/bytescale.h"
#include "improc/pixelops_internal.h"
#include "kernels/kernel_path.h"
#include "memrect/pixelwise_internal.h"
#include "memrect/pixelwise_vec.h"
#include "memrect/rect_view.h"

namespace vantor {
namespace {

namespace err = vantor::err;

// ---------------------------------------------------------------------------
// Keyword lists and their codes (two-image numbering, constant numbering).

const char kLogicalList[] =
    "AND 1&2 MORE 1-2 1&~2 Copy 1=>2 LESS 2-1 ~1&2 XOR MOD2 1^2 OR 1|2 NOR ~(1|2) EQUAL ~(1^2) "
    "MoreEq 1|~2 CopyNot ~1=>2 LessEq ~1|2 Nand ~(1&2) ";
const int8_t kLogicalTwo[27] = {1, 1, 2, 2, 2, 3, 3, 4, 4, 4, 6, 6, 6, 7,
                                7, 8, 8, 9, 9, 11, 11, 12, 12, 13, 13, 14, 14};
const int8_t kLogicalConst[27] = {1, 1, 4, 4, 4, 5, 5, 2, 2, 2, 6, 6, 6, 7,
                                  7, 8, 8, 9, 9, 13, 13, 10, 10, 11, 11, 14, 14};

const char kArithmeticList[] =
    "MIN MAX Plus + 1+2 +S  Min(1+2,255) Minus  -  1-2 -L  2-1 -S  Max(1-2,0) -LS  -SL  "
    "Max(2-1,0) LessTo0  (1>=2)?1:0 MoreToFF  (1<=2)?1:FF ByteMask  (1<2)?0:FF -A -A8 MINSig "
    "MAXSig -ASig ";
const int8_t kArithmeticTwo[28] = {16, 17, 18, 18, 18, 19, 19, 20, 20, 20, 21, 21, 22, 22,
                                   23, 23, 23, 24, 24, 25, 25, 26, 26, 28, 29, 30, 31, 32};
const int8_t kArithmeticConst[28] = {16, 17, 18, 18, 18, 19, 19, 21, 21, 21, 20, 20, 23, 23,
                                     22, 22, 22, 24, 24, 25, 25, 26, 26, 28, 29, 30, 31, 32};

const char kRelationList[] = "NotLess NotGreater UnEqual Equal Less Greater  >=  <=  <>  =  <  > ";

constexpr int32_t kNotLess = kRelationNotLess;
constexpr int32_t kNotGreater = kRelationNotGreater;
constexpr int32_t kUnEqual = kRelationUnEqual;
constexpr int32_t kEqual = kRelationEqual;
constexpr int32_t kLess = kRelationLess;
constexpr int32_t kGreater = kRelationGreater;

int32_t Lookup(const char* list, const char* keyword) {
  return static_cast<int32_t>(WordInText(list, nullptr, 0, keyword, 0));
}

bool VectorMode() { return CurrentKernelPath() == KernelPath::kVector; }

// ---------------------------------------------------------------------------
// Refused operands, each with its cause; -1 (or false).


int32_t NoKeyword() { return err::Fail(err::kParameter, "no keyword given"), -1; }

int32_t UnknownKeyword(const char* keyword, const char* lists) {
  return err::Fail(err::kParameter, "keyword '%.40s' is not one of the %s keywords", keyword,
                   lists),
         -1;
}

int32_t DepthsDiffer(int32_t a, const RectView& ra, int32_t b, const RectView& rb) {
  return err::Fail(err::kParameter, "images %d and %d differ in depth (%d and %d)", a, b,
                   ra.depth, rb.depth),
         -1;
}

int32_t NotForDepth(const char* keyword, int32_t h, int32_t depth) {
  return err::Fail(err::kParameter, "keyword '%.40s' does not apply to image %d of depth %d",
                   keyword, h, depth),
         -1;
}

// The mask operand of the masked operations: 0 selects every pixel; otherwise a
// 1-bit rectangle of the image's size.
bool ResolveMask(int32_t mask, const RectView& image, bool inverted, RectView& m,
                 MaskMode& mode) {
  if (mask == 0) {
    mode = MaskMode::kAll;
    return true;
  }
  if (!ResolveRect(mask, m)) return false;
  if (m.depth != 1) {
    return err::Fail(err::kParameter, "mask %d has depth %d, not 1", mask, m.depth);
  }
  if (!SameSize(m, image)) {
    return err::Fail(err::kParameter, "mask %d differs in size from the image", mask);
  }
  mode = inverted ? MaskMode::kClear : MaskMode::kSet;
  return true;
}

// Bytes per pixel for the arithmetic operations, 0 for other depths.
int BytesOf(int32_t depth) {
  switch (depth) {
    case 8: return 1;
    case 16: return 2;
    case 24: return 3;
    case 32: return 4;
    default: return 0;
  }
}

// ---------------------------------------------------------------------------
// Scaling.

template <class T>
int64_t ScaleWide(const RectView& r, int64_t valuesPerRow, double ratio) {
  constexpr double kTop = static_cast<double>(static_cast<T>(~T(0)));
  int64_t clipped = 0;
  for (int32_t y = 0; y < r.height; ++y) {
    uint8_t* row = r.Row(y);
    for (int64_t i = 0; i < valuesPerRow; ++i) {
      T p;
      std::memcpy(&p, row + i * sizeof(T), sizeof(T));
      const double v = std::floor(static_cast<double>(p) * ratio + 0.5);
      T out;
      if (v > kTop) {
        out = static_cast<T>(~T(0));
        ++clipped;
      } else {
        out = static_cast<T>(v);
      }
      std::memcpy(row + i * sizeof(T), &out, sizeof(T));
    }
  }
  return clipped;
}

// 1- and 4-bit pixels: every field through a table of the depth's values.
int64_t ScalePacked(const RectView& r, uint32_t mul, uint32_t div) {
  const int d = r.depth;
  const uint32_t top = (1u << d) - 1u;
  uint8_t table[16];
  bool clip[16];
  for (uint32_t i = 0; i <= top; ++i) {
    const uint32_t e = (i * mul) / div;
    clip[i] = e > top;
    table[i] = static_cast<uint8_t>(e > top ? top : e);
  }
  int64_t clipped = 0;
  for (int32_t y = 0; y < r.height; ++y) {
    uint8_t* row = r.Row(y);
    for (int32_t x = 0; x < r.width; ++x) {
      const int64_t bit = static_cast<int64_t>(x) * d;
      uint8_t& b = row[bit >> 3];
      const int sh = static_cast<int>(bit & 7);
      const uint32_t v = (b >> sh) & top;
      clipped += clip[v];
      b = static_cast<uint8_t>((b & ~(top << sh)) | (static_cast<uint32_t>(table[v]) << sh));
    }
  }
  return clipped;
}

// ---------------------------------------------------------------------------
// Two-image and constant operations.

int32_t ArithmeticTwoImage(const RectView& a, const RectView& b, const RectView* mask,
                           int32_t code, MaskMode mode, bool needSummary) {
  const int bytes = BytesOf(a.depth);
  if (bytes == 0) return -1;
  const uint8_t* m = mask ? mask->pixels : nullptr;
  const ptrdiff_t mp = mask ? mask->pitch : 0;
  // Without a mask a colour image is a byte image three times as wide.
  const bool asBytes = bytes == 1 || (bytes == 3 && mode == MaskMode::kAll &&
                                      a.width <= INT32_MAX / 3);
  if (asBytes && VectorMode()) {
    const int32_t r = VectorTwoImage8(a.pixels, b.pixels, m, a.width * (bytes == 3 ? 3 : 1),
                                      a.height, a.pitch, b.pitch, mp, code, mode, needSummary);
    if (r != kVectorDeclined) return r;
  }
  return RectOp(bytes, a.pixels, b.pixels, m, a.width, a.height, a.pitch, b.pitch, mp, code,
                mode);
}

int32_t PixelwiseMasked(int32_t first, const char* keyword, int32_t second, int32_t mask,
                        bool inverted) {
  RectView a, b, m;
  MaskMode mode = MaskMode::kAll;
  if (keyword == nullptr) return NoKeyword();
  if (!ResolveRect(first, a) || !ResolveRect(second, b)) return -1;
  if (a.depth != b.depth) return DepthsDiffer(first, a, second, b);
  if (!SameSize(a, b)) return err::FailSizes(first, second), -1;
  if (!ResolveMask(mask, a, inverted, m, mode)) return -1;
  const RectView* mp = mode == MaskMode::kAll ? nullptr : &m;
  int32_t r;
  if (const int32_t w = Lookup(kArithmeticList, keyword); w != 0) {
    if (a.depth == 1) return NotForDepth(keyword, first, a.depth);
    r = ArithmeticTwoImage(a, b, mp, kArithmeticTwo[w - 1], mode, true);
  } else {
    const int32_t w2 = Lookup(kLogicalList, keyword);
    if (w2 == 0) return UnknownKeyword(keyword, "logical or arithmetic");
    const int32_t code = kLogicalTwo[w2 - 1];
    if (a.depth == 1) {
      return BitRowsOpMasked(a.pixels, a.width, a.height, a.pitch, b.pixels, b.pitch,
                             mp ? mp->pixels : nullptr, mp ? mp->pitch : 0, code, mode);
    }
    r = ArithmeticTwoImage(a, b, mp, code, mode, true);
  }
  return r < 0 ? NotForDepth(keyword, first, a.depth) : r;
}

int32_t ConstMasked(int32_t constant, const char* keyword, int32_t h, int32_t mask,
                    bool inverted) {
  RectView r, m;
  MaskMode mode = MaskMode::kAll;
  if (keyword == nullptr) return NoKeyword();
  if (!ResolveRect(h, r)) return -1;
  const int bytes = BytesOf(r.depth);
  if (bytes == 0) return err::FailDepth(h, r.depth), -1;
  if (!ResolveMask(mask, r, inverted, m, mode)) return -1;
  int32_t code;
  if (const int32_t w = Lookup(kLogicalList, keyword); w != 0) {
    code = kLogicalConst[w - 1];
  } else if (const int32_t w2 = Lookup(kArithmeticList, keyword); w2 != 0) {
    code = kArithmeticConst[w2 - 1];
  } else {
    return UnknownKeyword(keyword, "logical or arithmetic");
  }
  const uint8_t* mp = mode == MaskMode::kAll ? nullptr : m.pixels;
  const uint32_t c = static_cast<uint32_t>(constant);
  if (bytes == 1 && VectorMode()) {
    const int32_t v = VectorConst8(r.pixels, mp, r.width, r.height, r.pitch, m.pitch,
                                   static_cast<uint8_t>(c), code, mode);
    if (v >= 0) return 3;
    if (v == -1) return NotForDepth(keyword, h, r.depth);
  }
  if (RectConst(bytes, r.pixels, r.pixels, mp, r.width, r.height, r.pitch, r.pitch, m.pitch, c,
                code, mode) < 0) {
    return NotForDepth(keyword, h, r.depth);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Thresholds.

// Threshold of one rectangle of 8-, 16- or 32-bit pixels (bytes 1, 2, 4) with a
// relation; "Less" and "Greater" become "NotGreater" t - 1 and "NotLess" t + 1.
int64_t ThresholdPlain(int bytes, const uint8_t* src, int32_t width, int32_t height,
                       ptrdiff_t pitchSrc, uint8_t* mask, ptrdiff_t pitchMask, uint32_t t,
                       int32_t relation, bool vector) {
  const uint32_t top = bytes == 1 ? 0xFFu : bytes == 2 ? 0xFFFFu : 0xFFFFFFFFu;
  if (bytes == 1) t &= 0xFF;
  if ((relation == kLess && t == 0) || (relation == kGreater && t >= top)) {
    FillMaskRows(mask, width, height, pitchMask, false);
    return 0;
  }
  if (bytes == 1 && vector) {
    const int64_t n = VectorThreshold8(src, width, height, pitchSrc, mask, pitchMask,
                                       static_cast<uint8_t>(t), relation);
    if (n >= 0) return n;
  }
  int32_t compare = 16;
  switch (relation) {
    case kNotLess: compare = 16; break;
    case kNotGreater: compare = 17; break;
    case kUnEqual: compare = 19; break;
    case kEqual: compare = 18; break;
    case kLess: compare = 17; t -= 1; break;
    default: compare = 16; t += 1; break;
  }
  return RectThreshold(bytes, src, width, height, pitchSrc, mask, pitchMask, t, compare);
}

// Constant operation on 1-, 3- or 4-byte pixels in place, vector kernels for
// bytes in vector mode.
void ConstInPlace(int bytes, uint8_t* px, int32_t width, int32_t height, ptrdiff_t pitch,
                  const uint8_t* mask, ptrdiff_t pitchMask, uint32_t c, int32_t code,
                  MaskMode mode, bool vector) {
  if (bytes == 1 && vector &&
      VectorConst8(px, mask, width, height, pitch, pitchMask, static_cast<uint8_t>(c), code,
                   mode) >= 0) {
    return;
  }
  RectConst(bytes, px, px, mask, width, height, pitch, pitch, pitchMask, c, code, mode);
}

}  // namespace

int64_t ThresholdPixels(int bytes, const uint8_t* src, int32_t width, int32_t height,
                        ptrdiff_t pitchSrc, uint8_t* mask, ptrdiff_t pitchMask, uint32_t t,
                        int32_t relation) {
  return ThresholdPlain(bytes, src, width, height, pitchSrc, mask, pitchMask, t, relation,
                        VectorMode());
}

int64_t ThresholdLargestChannel(const uint8_t* src, int32_t width, int32_t height,
                                ptrdiff_t pitchSrc, uint8_t* mask, ptrdiff_t pitchMask,
                                uint32_t t, int32_t relation) {
  // One grey row at a time: the largest of blue, green and red.
  std::vector<uint8_t> grey(static_cast<size_t>(width));
  int64_t count = 0;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = src + y * pitchSrc;
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* p = row + static_cast<size_t>(x) * 3;
      grey[x] = std::max(p[0], std::max(p[1], p[2]));
    }
    count += ThresholdPlain(1, grey.data(), width, 1, 0, mask + y * pitchMask, 0, t, relation,
                            false);
  }
  return count;
}

void FillFromMask(int bytes, uint8_t* dst, int32_t width, int32_t height, ptrdiff_t pitch,
                  const uint8_t* mask, ptrdiff_t pitchMask, uint32_t value) {
  constexpr int32_t kCopyConstant = 5;  // constant numbering: the constant itself
  const bool vector = VectorMode();
  ConstInPlace(bytes, dst, width, height, pitch, nullptr, 0, 0, kCopyConstant, MaskMode::kAll,
               vector);
  ConstInPlace(bytes, dst, width, height, pitch, mask, pitchMask, value, kCopyConstant,
               MaskMode::kSet, vector);
}

}  // namespace vantor

using namespace vantor;

extern "C" {

int32_t mrMulDiv(int32_t h, uint32_t multiplier, uint32_t divisor) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    RectView r;
    if (!ResolveRect(h, r)) return -1;
    if (divisor == 0) divisor = 1;
    const double ratio = static_cast<double>(multiplier) / static_cast<double>(divisor);
    int64_t clipped = 0;
    switch (r.depth) {
      case 8:
      case 24: {
        ByteScale s;
        MakeByteScale(multiplier, divisor, s);
        clipped = RunOnPath(CurrentKernelPath(), ByteScaleRowsScalar, ByteScaleRowsVector, s,
                            r.pixels, r.RowBytes(), r.height, r.pitch);
        break;
      }
      case 1:
      case 4:
        clipped = ScalePacked(r, multiplier, divisor);
        break;
      case 16:
        clipped = ScaleWide<uint16_t>(r, r.width, ratio);
        break;
      case 48:
        clipped = ScaleWide<uint16_t>(r, static_cast<int64_t>(r.width) * 3, ratio);
        break;
      case 32:
        clipped = ScaleWide<uint32_t>(r, r.width, ratio);
        break;
      case 64:
        for (int32_t y = 0; y < r.height; ++y) {
          uint8_t* row = r.Row(y);
          for (int32_t x = 0; x < r.width; ++x) {
            double v;
            std::memcpy(&v, row + static_cast<size_t>(x) * 8, 8);
            v *= ratio;
            std::memcpy(row + static_cast<size_t>(x) * 8, &v, 8);
          }
        }
        return 0;
      default:
        return err::FailDepth(h, r.depth), -1;
    }
    return ClampCount(clipped);
  });
}

int32_t mrMulDivPN(int32_t first, int32_t second, uint32_t divisor) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    RectView a, b;
    if (!ResolveRect(first, a) || !ResolveRect(second, b)) return -1;
    if (a.depth != b.depth) return DepthsDiffer(first, a, second, b);
    if (!SameSize(a, b)) return err::FailSizes(first, second), -1;
    if (a.depth != 8 && a.depth != 32) return err::FailDepth(first, a.depth), -1;
    if (divisor == 0) divisor = 1;
    int64_t clipped = 0;
    for (int32_t y = 0; y < a.height; ++y) {
      uint8_t* ra = a.Row(y);
      const uint8_t* rb = b.Row(y);
      if (a.depth == 8) {
        for (int32_t x = 0; x < a.width; ++x) {
          const uint32_t v = static_cast<uint32_t>(ra[x]) * rb[x] / divisor;
          if (v > 255) ++clipped;
          ra[x] = static_cast<uint8_t>(v > 255 ? 255 : v);
        }
      } else {
        for (int32_t x = 0; x < a.width; ++x) {
          uint32_t p, q;
          std::memcpy(&p, ra + static_cast<size_t>(x) * 4, 4);
          std::memcpy(&q, rb + static_cast<size_t>(x) * 4, 4);
          // floor(p q / d + 1/2) exactly, in 128-bit integers.
          const unsigned __int128 num = static_cast<unsigned __int128>(p) * q;
          const unsigned __int128 v =
              (2 * num + divisor) / (2 * static_cast<unsigned __int128>(divisor));
          uint32_t out = 0xFFFFFFFFu;
          if (v > 0xFFFFFFFFu) {
            ++clipped;
          } else {
            out = static_cast<uint32_t>(v);
          }
          std::memcpy(ra + static_cast<size_t>(x) * 4, &out, 4);
        }
      }
    }
    return ClampCount(clipped);
  });
}

int32_t mrPixelwise(int32_t first, const char* keyword, int32_t second) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    RectView a, b;
    if (keyword == nullptr) return NoKeyword();
    if (!ResolveRect(first, a) || !ResolveRect(second, b)) return -1;
    // The matrix operations of 64-bit rectangles are not provided.
    if (a.depth == 64) return err::FailDepth(first, a.depth), -1;
    if (const int32_t w = Lookup(kArithmeticList, keyword); w != 0) {
      if (a.depth != b.depth) return DepthsDiffer(first, a, second, b);
      if (!SameSize(a, b)) return err::FailSizes(first, second), -1;
      if (a.depth <= 1 ||
          ArithmeticTwoImage(a, b, nullptr, kArithmeticTwo[w - 1], MaskMode::kAll, false) < 0) {
        return NotForDepth(keyword, first, a.depth);
      }
      return ClampCount(a.RowBytes() * a.height);
    }
    const int32_t w = Lookup(kLogicalList, keyword);
    if (w == 0) return UnknownKeyword(keyword, "logical or arithmetic");
    if (a.RowBits() != b.RowBits() || a.height != b.height) {
      return err::Fail(err::kParameter, "images %d and %d differ in bits per row or in height",
                       first, second),
             -1;
    }
    return BitRowsOp(a.pixels, a.RowBits(), a.height, a.pitch, b.pixels, b.pitch,
                     kLogicalTwo[w - 1]);
  });
}

int32_t mrPixelwiseMask(int32_t first, const char* keyword, int32_t second, int32_t mask) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    return PixelwiseMasked(first, keyword, second, mask, false);
  });
}

int32_t mrPixelwiseNotMask(int32_t first, const char* keyword, int32_t second, int32_t mask) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    return PixelwiseMasked(first, keyword, second, mask, true);
  });
}

int32_t mrConstPixelwise(int32_t constant, const char* keyword, int32_t h) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    RectView r;
    if (keyword == nullptr) return NoKeyword();
    if (!ResolveRect(h, r)) return -1;
    const int bytes = BytesOf(r.depth);
    const int32_t w = Lookup(kArithmeticList, keyword);
    if (w == 0) return UnknownKeyword(keyword, "arithmetic");
    if (bytes == 0) return err::FailDepth(h, r.depth), -1;
    const int64_t total = r.RowBytes() * r.height;
    if (total == 0) return err::Fail(err::kParameter, "image %d is empty", h), -1;
    const int32_t code = kArithmeticConst[w - 1];
    const uint32_t c = static_cast<uint32_t>(constant);
    bool done = false;
    if (bytes == 1 && VectorMode()) {
      const int32_t v = VectorConst8(r.pixels, nullptr, r.width, r.height, r.pitch, 0,
                                     static_cast<uint8_t>(c), code, MaskMode::kAll);
      if (v == -1) return NotForDepth(keyword, h, r.depth);
      done = v >= 0;
    }
    if (!done && RectConst(bytes, r.pixels, r.pixels, nullptr, r.width, r.height, r.pitch, r.pitch,
                           0, c, code, MaskMode::kAll) < 0) {
      return NotForDepth(keyword, h, r.depth);
    }
    return ClampCount(total);
  });
}

int32_t mrConstPixelMask(int32_t constant, const char* keyword, int32_t h, int32_t mask) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    return ConstMasked(constant, keyword, h, mask, false);
  });
}

int32_t mrConstPixelNotMask(int32_t constant, const char* keyword, int32_t h, int32_t mask) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    return ConstMasked(constant, keyword, h, mask, true);
  });
}

static int32_t ThresholdHandles(int32_t source, int32_t mask, const char* keyword,
                                int32_t threshold) {
  if (keyword == nullptr) return NoKeyword();
  int32_t relation = Lookup(kRelationList, keyword);
  if (relation == 0) return UnknownKeyword(keyword, "relation");
  if (relation > 6) relation -= 6;
  RectView s, m;
  if (!ResolveRect(source, s) || !ResolveRect(mask, m)) return -1;
  if (m.depth != 1) {
    return err::Fail(err::kParameter, "mask %d has depth %d, not 1", mask, m.depth), -1;
  }
  if (!SameSize(s, m)) return err::FailSizes(source, mask), -1;
  const uint32_t t = static_cast<uint32_t>(threshold);
  switch (s.depth) {
    case 8:
    case 16:
    case 32:
      return ClampCount(ThresholdPlain(s.depth / 8, s.pixels, s.width, s.height, s.pitch,
                                       m.pixels, m.pitch, t, relation, VectorMode()));
    case 24:
      if (relation == kEqual || relation == kUnEqual) {
        return ClampCount(RectThresholdColourEqual(s.pixels, s.width, s.height, s.pitch, m.pixels,
                                                   m.pitch, t, relation == kEqual));
      }
      // Other relations compare the largest channel.
      return ClampCount(ThresholdLargestChannel(s.pixels, s.width, s.height, s.pitch, m.pixels,
                                                m.pitch, t, relation));
    default:
      return err::FailDepth(source, s.depth), -1;
  }
}

int32_t mrThreshold(int32_t source, int32_t mask, const char* keyword, int32_t threshold) {
  // The grey row of 24-bit sources is had before the mask is written.
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    return ThresholdHandles(source, mask, keyword, threshold);
  });
}

}  // extern "C"
