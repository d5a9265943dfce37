/* Small utilities of the image store that the shift searches use on their
 * candidate windows and maps: the next set pixel of a mask, the number of set
 * pixels of a window, and moving a rectangle's contents. */
#ifndef VANTOR_REGISTRATION_SHIFT_MAPS_H
#define VANTOR_REGISTRATION_SHIFT_MAPS_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Searches the 1-bit rectangle h in row order from (*x, *y) inclusive for the
 * next set pixel (a column at or beyond the width continues at column 0 of
 * the next row; negative starts begin at 0). When found, writes its position
 * and returns 1; 0 when there is none (the position untouched); -1 for an
 * invalid handle, another depth or a null position. */
VANTOR_API int32_t mrFindNext(int32_t h, int32_t* x, int32_t* y);

/* Number of set pixels of the window of width x height pixels at (x, y) of
 * the 1-bit rectangle h, the window clipped to the rectangle (limited to
 * 2147483647); -1 for an invalid handle or another depth. */
VANTOR_API int32_t mrMaskSubrectOnes(int32_t h, int32_t x, int32_t y, int32_t width,
                                     int32_t height);

/* Moves the contents of rectangle h (any depth) so that pixel (x, y) lands on
 * (x + dx, y + dy); pixels that move out are lost and the uncovered ones take
 * fill, stored as mrPutPixel stores a value (depths 1 and 4 its low bits,
 * larger depths its low bytes, bytes past the fourth carrying its sign; so 0
 * gives 0.0 in a 64-bit rectangle). Bits and bytes past each row are kept.
 * Returns 0, or -1 for an invalid handle or when scratch memory cannot be
 * had (nothing changed). */
VANTOR_API int32_t mrSlide(int32_t h, int32_t dx, int32_t dy, int32_t fill);

VANTOR_END_C

#endif
