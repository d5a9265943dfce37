/* Neighbourhood filters on raw pixel buffers, in place.
 *
 * Both kernels take the address of pixel (0, 0), the width and height in
 * pixels, the pitch in bytes (distance from one row to the next), an operation
 * code and a repetition count n. Each of the n steps reads the result of the
 * previous one; within a step every output pixel depends on the step's input
 * only. Windows are clipped to the image: pixels outside never erode or dilate
 * the border.
 *
 * Operation codes (minimum/maximum are AND/OR on masks):
 *    0 minimum over the 3 x 3 square        1 maximum over the square
 *   20 minimum over the cross (4-neighbours) 21 maximum over the cross
 *   22 minimum over the row triple           23 maximum over the row triple
 *   24 minimum over the column triple        25 maximum over the column triple
 *   26 n x code 0 then n x code 1            27 n x code 1 then n x code 0
 *   28 n x code 20 then n x code 21          29 n x code 21 then n x code 20
 *   12 1-2-1 by 1-2-1 weighted mean, rounded: rows, then columns (8-bit only)
 *   13 median of 3 along rows, then along columns (8-bit only)
 *   14 mean of 3 along rows (+2 before dividing), then columns (+1) (8-bit only)
 * At a line end the smoothing filters use the pixel itself for the missing
 * neighbour. Any other code leaves the pixels unchanged.
 *
 * Only the pixels inside the width are read or written: bytes past a row and
 * the unused bits of a mask row's last byte keep their values.
 * Results: 0 when done (also for n < 1 or a code that changes nothing), -1
 * when the arguments are not a valid rectangle (null address, width or height
 * below 1, pitch too small for the width) or scratch memory is not available;
 * the pixels are then unchanged. */
#ifndef VANTOR_IMPROC_NEI_H
#define VANTOR_IMPROC_NEI_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* 8-bit image filter (one unsigned byte per pixel). */
VANTOR_API int32_t NeiMem(void* pixels, int32_t width, int32_t height, int32_t pitch,
                          int32_t code, int32_t n);

/* 1-bit mask filter: pixel x of a row is bit (x mod 8) of byte x / 8, least
 * significant bit first. */
VANTOR_API int32_t MaskNei(void* pixels, int32_t width, int32_t height, int32_t pitch,
                           int32_t code, int32_t n);

VANTOR_END_C

#endif
