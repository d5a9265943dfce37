/* Number conversions of pixel rows: widening, narrowing, 32-bit integers to
 * and from doubles, and colour to grey.
 *
 * The converters work on raw buffers and take the source address, source pitch
 * in bytes, width in pixels, height in rows, destination address, destination
 * pitch and mode. Rows are walked in increasing order, each side stepping by
 * its own pitch (which may be negative). Multi-byte values are little-endian
 * and need no alignment. 8- and 16-bit values are unsigned; 32-bit values are
 * read as unsigned except where a mode says otherwise. The arguments are not
 * checked: the handle-level operations check depths and sizes first. A width
 * or height of 0 or less converts nothing. */
#ifndef VANTOR_KERNELS_CONVERT_ROWS_H
#define VANTOR_KERNELS_CONVERT_ROWS_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Widening: destination = source shifted left by the mode (only its low five
 * bits count), stored in the destination width (16-bit results keep their low
 * 16 bits). Each returns the largest value stored. */
VANTOR_API uint32_t Convert8to16(const void* src, int32_t srcPitch, int32_t width, int32_t height,
                                 void* dst, int32_t dstPitch, int32_t mode);
VANTOR_API uint32_t Convert8to32(const void* src, int32_t srcPitch, int32_t width, int32_t height,
                                 void* dst, int32_t dstPitch, int32_t mode);
VANTOR_API uint32_t Convert16to32(const void* src, int32_t srcPitch, int32_t width,
                                  int32_t height, void* dst, int32_t dstPitch, int32_t mode);

/* Narrowing to 8 or 16 bits (top = 255 or 65535).
 * mode >= 0: destination = low bits of (source >> mode); 0 when the mode is
 *   not below the source width. Returns 0.
 * mode < 0: first the largest source value M is found, and M is returned.
 *   M = 0: the destination is all 0.
 *   -1: every value is shifted right by the smallest s with (M >> s) <= top.
 *   -2 with M <= top: copied unchanged.
 *   other negative modes, and -2 with M > top, stretch so that M maps to top:
 *     16 to 8:  value * 255 / M, truncated;
 *     32 to 8:  floor(value * (255.0 / M) + 0.5), rounded;
 *     32 to 16: with n the shift that brings M to at most 65535,
 *               (value >> n) * 65535 / (M >> n), truncated. */
VANTOR_API uint32_t Convert16to8(const void* src, int32_t srcPitch, int32_t width, int32_t height,
                                 void* dst, int32_t dstPitch, int32_t mode);
VANTOR_API uint32_t Convert32to8(const void* src, int32_t srcPitch, int32_t width, int32_t height,
                                 void* dst, int32_t dstPitch, int32_t mode);
VANTOR_API uint32_t Convert32to16(const void* src, int32_t srcPitch, int32_t width,
                                  int32_t height, void* dst, int32_t dstPitch, int32_t mode);

/* 32-bit integers to doubles: read as signed when the mode is not 0, as
 * unsigned when it is 0. */
VANTOR_API void Convert32toDouble(const void* src, int32_t srcPitch, int32_t width,
                                  int32_t height, void* dst, int32_t dstPitch, int32_t mode);

/* Doubles to 32-bit integers, truncating toward zero. Mode not 0 (signed):
 * limited to -2147483647 .. 2147483647. Mode 0 (unsigned): values above
 * 4294967295 become 4294967295, there is no lower limit and the low 32 bits of
 * the truncated value are stored (-2.5 gives 0xFFFFFFFE). NaN gives 0 and
 * negative infinity gives 0 under the unsigned rule. */
VANTOR_API void ConvertDoubleTo32(const void* src, int32_t srcPitch, int32_t width,
                                  int32_t height, void* dst, int32_t dstPitch, int32_t mode);

/* Colour to grey: source pixels are blue, green, red bytes, the destination
 * gets one byte per pixel. S = red + green + blue weight.
 * S > 0: grey = (red weight * red + green weight * green + blue weight * blue)
 *   / S, integer division truncating toward zero, its low 8 bits stored.
 * S <= 0: S = 0 the smallest channel, -1 the middle one, -2 the largest, any
 *   other the mean rounded up, (red + green + blue + 2) / 3.
 * Returns the largest grey byte stored (0 for an empty rectangle). Note the
 * argument order: destination first. */
VANTOR_API int32_t RGBtoGray(void* dst, int32_t width, int32_t height, int32_t dstPitch,
                             const void* src, int32_t srcPitch, int32_t redWeight,
                             int32_t greenWeight, int32_t blueWeight);

/* The same for 48-bit colour (three 16-bit channels blue, green, red) into
 * 16-bit grey, low 16 bits stored. */
VANTOR_API int32_t RGB48toGray(void* dst, int32_t width, int32_t height, int32_t dstPitch,
                               const void* src, int32_t srcPitch, int32_t redWeight,
                               int32_t greenWeight, int32_t blueWeight);

VANTOR_END_C

#endif /* VANTOR_KERNELS_CONVERT_ROWS_H */
