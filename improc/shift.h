/* The root-mean-square grey-level difference between an 8-bit image A and an
 * 8-bit image B displaced by whole pixels, over the pixels of a mask: the
 * measure of the whole-pixel shift searches. */
#ifndef VANTOR_IMPROC_SHIFT_H
#define VANTOR_IMPROC_SHIFT_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Compares pixel (k, j) of A with pixel (k + x, j + y) of B for every row j
 * and column k of A (width x height) whose mask bit is set (mask null: every
 * pixel; bit k % 8 of byte k / 8 of mask row j, least significant first) and
 * for which 0 <= k + x < width and 0 <= j + y < height. B is addressed only
 * inside A's width and height, so it must be at least as large. The squared
 * differences are summed row by row; after a row whose sum exceeds bound the
 * comparison stops. Stores the number of compared pixels in *count (when not
 * null) and returns sqrt(sum / count), or -1.0 when nothing was compared.
 * Pixel addresses are those of pixel (0, 0); the arguments are not checked. */
VANTOR_API double ShiftMaskDiff(const uint8_t* aPixels, int32_t width, int32_t height,
                                int32_t aPitch, const uint8_t* bPixels, int32_t bPitch,
                                const uint8_t* maskPixels, int32_t maskPitch, int32_t x,
                                int32_t y, int32_t* count, double bound);

VANTOR_END_C

#endif
