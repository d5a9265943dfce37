/* The registration's cost measure on memory rectangles. */
#ifndef VANTOR_REGISTRATION_PERSPECTIVE_H
#define VANTOR_REGISTRATION_PERSPECTIVE_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Mean square grey-level difference between 8-bit image B and 8-bit image A
 * mapped through the projective matrix held by the 64-bit rectangle matrix
 * (its first nine pixels in row order: x' = (m0 x + m1 y + m2) / d,
 * y' = (m3 x + m4 y + m5) / d, d = m6 x + m7 y + m8), over the set pixels of
 * mask (1-bit, B's size; 0 for every pixel). sampling 1 samples A at the
 * nearest pixel, any other value bilinearly. Only pixels that both images
 * have are compared. Returns -1.0 when a rectangle is invalid or of the wrong
 * depth or size, or when no pixel maps inside A. */
VANTOR_API double mrPerspectiveMaskDiff(int32_t imageA, int32_t imageB, int32_t mask,
                                        int32_t matrix, int32_t sampling);

VANTOR_END_C

#endif
