// Internal interface of the row conversions: the rectangle-level converters
// with full-range sizes (the C entry points in convert_rows.h forward to them),
// and the inner row kernels that exist as a scalar and a vector twin.
//
// Addresses are byte addresses; pixels wider than a byte are read and written
// without any alignment assumption. A pitch may be negative. A count is the
// number of values per row (pixels, or channel values for colour rows).
#ifndef VANTOR_KERNELS_CONVERT_KERNELS_H
#define VANTOR_KERNELS_CONVERT_KERNELS_H

#include <cstddef>
#include <cstdint>

#include "kernels/kernel_path.h"

namespace vantor::convert {

// ---- Row kernels (scalar and vector twins give identical results) ----------

// Order statistic or rounded-up mean of the blue, green, red bytes of each
// pixel: rank 0 smallest, -1 middle, -2 largest, anything else
// (b + g + r + 2) / 3. Returns the largest grey byte written (0 when width 0).
uint8_t RgbRankRowScalar(const uint8_t* bgr, uint8_t* grey, size_t width, int64_t rank);
uint8_t RgbRankRowVector(const uint8_t* bgr, uint8_t* grey, size_t width, int64_t rank);

// Largest unsigned 16- or 32-bit value of a row of n values (0 when n is 0).
uint32_t MaxRowU16Scalar(const uint8_t* src, size_t n);
uint32_t MaxRowU16Vector(const uint8_t* src, size_t n);
uint32_t MaxRowU32Scalar(const uint8_t* src, size_t n);
uint32_t MaxRowU32Vector(const uint8_t* src, size_t n);

// dst byte = low byte of (src value >> shift), shift below the source width.
void ShiftRowU16toU8Scalar(const uint8_t* src, uint8_t* dst, size_t n, unsigned shift);
void ShiftRowU16toU8Vector(const uint8_t* src, uint8_t* dst, size_t n, unsigned shift);
void ShiftRowU32toU8Scalar(const uint8_t* src, uint8_t* dst, size_t n, unsigned shift);
void ShiftRowU32toU8Vector(const uint8_t* src, uint8_t* dst, size_t n, unsigned shift);

// ---- Rectangle-level converters ---------------------------------------------
// Arguments: source, source pitch, values per row, rows, destination,
// destination pitch, mode. Results as documented in convert_rows.h.

uint32_t Widen8to16(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                    uint8_t* dst, ptrdiff_t dstPitch, int32_t shift);
uint32_t Widen8to32(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                    uint8_t* dst, ptrdiff_t dstPitch, int32_t shift);
uint32_t Widen16to32(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                     uint8_t* dst, ptrdiff_t dstPitch, int32_t shift);

uint32_t Narrow16to8(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                     uint8_t* dst, ptrdiff_t dstPitch, int32_t mode, KernelPath path);
uint32_t Narrow32to8(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                     uint8_t* dst, ptrdiff_t dstPitch, int32_t mode, KernelPath path);
uint32_t Narrow32to16(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                      uint8_t* dst, ptrdiff_t dstPitch, int32_t mode, KernelPath path);

void Int32ToDouble(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                   uint8_t* dst, ptrdiff_t dstPitch, int32_t mode);
void DoubleToInt32(const uint8_t* src, ptrdiff_t srcPitch, size_t count, size_t rows,
                   uint8_t* dst, ptrdiff_t dstPitch, int32_t mode);

// One double to a 32-bit pattern by the signed (mode not 0) or unsigned rule.
uint32_t DoubleTo32(double v, bool signedRule);

// Colour to grey: 24-bit pixels to bytes, or 48-bit pixels to 16-bit values.
// Weighted mean when the weight sum is positive, else the order statistic or
// rounded-up mean chosen by the sum. Returns the largest grey value stored.
uint32_t RgbToGrey8(uint8_t* dst, size_t width, size_t rows, ptrdiff_t dstPitch,
                    const uint8_t* src, ptrdiff_t srcPitch, int32_t red, int32_t green,
                    int32_t blue, KernelPath path);
uint32_t RgbToGrey16(uint8_t* dst, size_t width, size_t rows, ptrdiff_t dstPitch,
                     const uint8_t* src, ptrdiff_t srcPitch, int32_t red, int32_t green,
                     int32_t blue);

// Grey to colour: how a channel receives weight x grey / 255.
enum class GreyToRgbOp { kFill, kAdd, kInsert };

// 8-bit grey into 24-bit colour, or 16-bit grey into 48-bit colour.
void GreyToRgb8(const uint8_t* src, ptrdiff_t srcPitch, size_t width, size_t rows,
                uint8_t* dst, ptrdiff_t dstPitch, GreyToRgbOp op, int32_t red,
                int32_t green, int32_t blue);
void GreyToRgb16(const uint8_t* src, ptrdiff_t srcPitch, size_t width, size_t rows,
                 uint8_t* dst, ptrdiff_t dstPitch, GreyToRgbOp op, int32_t red,
                 int32_t green, int32_t blue);

}  // namespace vantor::convert

#endif
