/* Resampling of pixel buffers through a projective matrix or a bilinear
 * mapping, and the table of mean square differences behind the scale search.
 * Buffer-level kernels: the handle-level operations (registration/warp.h)
 * check depths and sizes before they call them. */
#ifndef VANTOR_IMPROC_WARP_H
#define VANTOR_IMPROC_WARP_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Resamples the source into the destination: every destination pixel (x, y)
 * takes the source at (sx, sy) with sx = (m0 x + m1 y + m2) / d,
 * sy = (m3 x + m4 y + m5) / d, d = m6 x + m7 y + m8 (matrix: nine doubles in
 * row order, mapping destination to source coordinates).
 *
 * depth: 1, 8, 16 (unsigned), 32 (signed), 24 (blue, green, red bytes), 48
 * (three 16-bit channels) or 64 (doubles, blended without rounding; a weight
 * of 0 leaves its neighbour out); both buffers have that depth. sampling 1 takes the
 * nearest pixel, floor(sx + 0.5), floor(sy + 0.5); any other value samples
 * bilinearly from ix = floor(sx), iy = floor(sy), fx = sx - ix, fy = sy - iy:
 * (1 - fy)((1 - fx) p(ix, iy) + fx p(ix + 1, iy)) + fy((1 - fx) p(ix, iy + 1)
 * + fx p(ix + 1, iy + 1)) in double precision, stored as floor(value + 0.5),
 * the last column and row standing in for their missing neighbours; colour
 * channels are resampled one by one. Depth 1 copies the nearest of the four
 * neighbours (right when fx >= 0.5, lower row when fy > 0.5). A pure
 * translation (m0 = m4 = m8 = 1, m1 = m3 = m6 = m7 = 0) uses the exact
 * fractions of m2 and m5 as fx and fy for every pixel.
 *
 * A destination pixel whose position lies outside the source (ix or iy
 * outside 0..width - 1, 0..height - 1) or whose |d| < 1e-15 gets the fill
 * value (depth 1 its lowest bit, 8 its low byte, 16 its low 16 bits, 32 all of
 * it; 24 and 48: bits 0-7 for blue, 8-15 green, 16-23 red), and, with a fill
 * mask (1-bit, destination size, least significant bit = leftmost pixel;
 * null for none), its mask bit is set; other mask bits are left alone.
 * Pixel addresses are those of pixel (0, 0); pitches may be negative; source
 * and destination must not overlap. Returns the number of filled pixels
 * (at most 2147483647), -1 for a depth not listed. */
VANTOR_API int32_t PerspectiveTrans(const void* srcPixels, int32_t srcWidth, int32_t srcHeight,
                                    int32_t srcPitch, void* dstPixels, int32_t dstWidth,
                                    int32_t dstHeight, int32_t dstPitch, int32_t depth,
                                    const double* matrix, int32_t fill, void* fillMask,
                                    int32_t fillMaskPitch, int32_t sampling);

/* As PerspectiveTrans through the bilinear mapping sx = m3 + m0 x + m1 y +
 * m2 x y, sy = m7 + m4 x + m5 y + m6 x y (eight doubles; no denominator). A
 * pure translation is m0 = m5 = 1, m1 = m2 = m4 = m6 = 0. */
VANTOR_API int32_t BilinearTrans(const void* srcPixels, int32_t srcWidth, int32_t srcHeight,
                                 int32_t srcPitch, void* dstPixels, int32_t dstWidth,
                                 int32_t dstHeight, int32_t dstPitch, int32_t depth,
                                 const double* matrix, int32_t fill, void* fillMask,
                                 int32_t fillMaskPitch, int32_t sampling);

/* Mean square differences between 8-bit images A and B (both width x height)
 * for n scales s = first + k step about (cx, cy): for every pixel (x, y) of B
 * whose mask bit is set (mask null: every pixel) the pixel of A at
 * (floor((x - cx) s + cx + 0.5), floor((y - cy) s + cy + 0.5)) is compared
 * when it lies inside A. table (2n doubles) receives the n mean squares (0
 * where nothing was compared) and then the n comparison counts. Returns the
 * number of comparisons (at most 2147483647); 0 for n < 1. */
VANTOR_API int32_t ScaleMaskData(const uint8_t* aPixels, int32_t width, int32_t height,
                                 int32_t aPitch, const uint8_t* bPixels, int32_t bPitch,
                                 const uint8_t* maskPixels, int32_t maskPitch, int32_t cx,
                                 int32_t cy, int32_t n, double first, double step, double* table);

VANTOR_END_C

#endif
