// Internal C++ forms of the point kernels, used by the handle-level operations:
// the same work as the exported kernels in improc/pixelops.h, for every pixel
// width, with 64-bit widths where the exported forms take 32-bit ones.
#ifndef VANTOR_IMPROC_PIXELOPS_INTERNAL_H
#define VANTOR_IMPROC_PIXELOPS_INTERNAL_H

#include <cstddef>
#include <cstdint>

namespace vantor {

// Which pixels a masked kernel writes.
enum class MaskMode { kAll, kSet, kClear };

// Two-image operation b = code(a, b) on rectangles of 8-, 16-, 24- or 32-bit
// pixels (bytes = 1, 2, 3, 4; colour pixels are three bytes under one mask
// bit), two-image numbering, optionally only where the mask allows. Returns the summary of the written values (0, 1, 2), or -1 for a
// code that the pixel width does not support (nothing changed).
int32_t RectOp(int bytes, const uint8_t* a, uint8_t* b, const uint8_t* mask, int32_t width,
               int32_t height, ptrdiff_t pitchA, ptrdiff_t pitchB, ptrdiff_t pitchMask,
               int32_t code, MaskMode mode);

// As BitRowsOp, but only at the bits whose mask bit is set (kSet) or clear
// (kClear); kAll ignores the mask.
int32_t BitRowsOpMasked(const uint8_t* src, int64_t bitWidth, int32_t height,
                        ptrdiff_t pitchSrc, uint8_t* dst, ptrdiff_t pitchDst,
                        const uint8_t* mask, ptrdiff_t pitchMask, int32_t code, MaskMode mode);

// Constant operation dst = code(constant, src) on 8-, 16- or 32-bit pixels in the
// constant numbering; bytes = 3 works on colour pixels with blue, green and red
// taking bits 0..7, 8..15 and 16..23 of the constant (each channel as a byte).
// Returns the summary of the written values, or -1 for an unsupported code.
int32_t RectConst(int bytes, const uint8_t* src, uint8_t* dst, const uint8_t* mask,
                  int32_t width, int32_t height, ptrdiff_t pitchSrc, ptrdiff_t pitchDst,
                  ptrdiff_t pitchMask, uint32_t constant, int32_t code, MaskMode mode);

// Threshold of 8-, 16- or 32-bit pixels into a mask with compare code 16..19
// (v >= t, v <= t, v == t, v != t). Returns the number of set bits, or -1 for
// another compare code.
int64_t RectThreshold(int bytes, const uint8_t* src, int32_t width, int32_t height,
                      ptrdiff_t pitchSrc, uint8_t* mask, ptrdiff_t pitchMask, uint32_t t,
                      int32_t compare);

// Colour pixels into a mask: with equal = true a bit is set where blue, green
// and red all equal bits 0..7, 8..15 and 16..23 of t; with equal = false where
// any of them differs. Returns the number of set bits.
int64_t RectThresholdColourEqual(const uint8_t* src, int32_t width, int32_t height,
                                 ptrdiff_t pitchSrc, uint8_t* mask, ptrdiff_t pitchMask,
                                 uint32_t t, bool equal);

// Logical code 0..15 on rows of bitWidth bits: dst = code(src, dst), the bits
// of each row's last byte beyond bitWidth untouched. Returns the summary of
// the written bits, or -1 for a code outside 0..15.
int32_t BitRowsOp(const uint8_t* src, int64_t bitWidth, int32_t height, ptrdiff_t pitchSrc,
                  uint8_t* dst, ptrdiff_t pitchDst, int32_t code);

// Number of set bits among bits [first, first + count) of a row.
int64_t CountRowBits(const uint8_t* row, int64_t first, int64_t count);

// Number of set pixels of a mask window.
int64_t CountMaskOnes(const uint8_t* mask, int64_t firstColumn, int64_t firstRow,
                      int64_t width, int64_t height, ptrdiff_t pitch);

// Sets (value true) or clears the bits [0, width) of every mask row.
void FillMaskRows(uint8_t* mask, int64_t width, int32_t height, ptrdiff_t pitch, bool value);

// Finds, from (x, y) in row order, the first pixel of the mask equal to value.
// Returns true and the position when there is one.
bool FindMaskPixel(const uint8_t* mask, int32_t width, int32_t height, ptrdiff_t pitch,
                   int32_t x, int32_t y, bool value, int32_t* foundX, int32_t* foundY);

// Clamps a 64-bit count into the signed 32-bit results of the C interface.
inline int32_t ClampCount(int64_t n) {
  return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

}  // namespace vantor

#endif
