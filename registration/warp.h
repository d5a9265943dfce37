/* Warping memory rectangles through a projective matrix or a bilinear
 * mapping, scaling a rectangle about a point, and the search for the scale
 * between two grey images. */
#ifndef VANTOR_REGISTRATION_WARP_H
#define VANTOR_REGISTRATION_WARP_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Resamples src into dst (equal depths: 1, 8, 16, 24, 32 or 48; the sizes may
 * differ) through the matrix, a 64-bit rectangle whose pixels in row order are
 * m0, m1, ... (usually 3 x 3 over nine doubles, pitch 24). flags bit 0 selects
 * nearest-pixel sampling (else bilinear); k = flags >> 8 selects the mapping:
 * 0 the projective one (nine values), anything else the bilinear mapping
 * (eight values; at least 9 - k are required too). Sampling, rounding, the
 * fill value and the fill mask are those of PerspectiveTrans and
 * BilinearTrans (improc/warp.h). fillMask: a 1-bit rectangle of dst's size
 * whose bits are set for filled pixels, 0 for none (any other rectangle is
 * ignored). src and dst may be the same rectangle or overlap. Returns the
 * number of filled pixels (at most 2147483647), or -1 for an invalid handle,
 * unequal or unsupported depths, or a matrix that is not 64-bit or holds too
 * few values (dst is then unchanged). */
VANTOR_API int32_t mrPerspectiveTrans(int32_t src, int32_t dst, int32_t matrix, int32_t fillMask,
                                      int32_t fill, int32_t flags);

/* Magnifies (s > 1) or shrinks (s < 1) the rectangle in place about (cx, cy):
 * pixel (x, y) takes the old picture at (cx + (x - cx) / s, cy + (y - cy) / s).
 * flags bit 0 selects nearest sampling; the mapping bits of mrPerspectiveTrans
 * are not used. Returns the number of filled pixels, or -1 when the rectangle
 * cannot be copied (invalid, empty, or no memory) or has an unsupported depth. */
VANTOR_API int32_t mrScaleFromPoint(int32_t h, int32_t cx, int32_t cy, double s, int32_t fill,
                                    int32_t flags);

/* Tries the scales first, first + step, ... up to last (included despite
 * rounding: n = floor((last - first + 1.5 step) / step) of them) between 8-bit
 * images A and B of equal size, comparing inside the mask (1-bit, at least A's
 * size; 0 for every pixel) as ScaleMaskData does. *bestScale (may be null)
 * receives the scale with the smallest positive mean square (0.0 when none is
 * positive); that mean square (not its root) is returned. A mean square of
 * exactly 0 cannot be told from a scale without comparisons and is passed
 * over; when no scale gives a positive one the result is the first scale's
 * mean square + 1. -1.0 for invalid or mismatched images or mask, no scale to
 * try, no memory, or no comparison at all. A scale above 1 means that A is B
 * magnified about (cx, cy). */
VANTOR_API double mrBestScaleMask(int32_t imageA, int32_t imageB, int32_t mask, int32_t cx,
                                  int32_t cy, double step, double first, double last,
                                  double* bestScale);

VANTOR_END_C

#endif
