/* The mean square grey-level difference between image B and image A seen
 * through a 3 x 3 projective matrix, over the pixels of a mask. */
#ifndef VANTOR_IMPROC_PERSPECTIVE_H
#define VANTOR_IMPROC_PERSPECTIVE_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Maps every selected pixel (x, y) of 8-bit image B through the matrix m
 * (nine doubles in row order: sx = (m0 x + m1 y + m2) / d, sy = (m3 x + m4 y
 * + m5) / d, d = m6 x + m7 y + m8) into 8-bit image A, samples A there
 * (sampling 1: nearest pixel; any other value: bilinear, the last row and
 * column standing in for their missing neighbours) and returns the mean of
 * (B - sample)^2. Pixels of B are visited where both images have them (the
 * first min(aWidth, bWidth) columns of the first min(aHeight, bHeight) rows);
 * a pixel counts when its mask bit is set (mask null: every pixel; bit x % 8 of
 * byte x / 8, least significant first), |d| >= 1e-15 and its sample position
 * lies in A. Returns -1.0 when no pixel counts. Pixel addresses are those of
 * pixel (0, 0); the arguments are not checked. */
VANTOR_API double PerspectiveMaskDiff(const uint8_t* aPixels, int32_t aWidth, int32_t aHeight,
                                      int32_t aPitch, const uint8_t* bPixels, int32_t bWidth,
                                      int32_t bHeight, int32_t bPitch, const uint8_t* maskPixels,
                                      int32_t maskPitch, const double* matrix, int32_t sampling);

VANTOR_END_C

#endif
