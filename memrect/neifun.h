/* Neighbourhood filters of memory rectangles, in place, chosen by keyword. */
#ifndef VANTOR_MEMRECT_NEIFUN_H
#define VANTOR_MEMRECT_NEIFUN_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Filters rectangle h in place with n steps of the operation named by keyword
 * (its first word, matched without regard to letter case).
 *
 * Single operations: "ERODE8" / "DILATE8" minimum / maximum (AND / OR on
 * masks) over the 3 x 3 square, "ERODE4" / "DILATE4" over the cross,
 * "ERODEh2" / "DILATEh2" over the pixel and its left and right neighbours,
 * "ERODEv2" / "DILATEv2" over the pixel and those above and below; "Open8",
 * "Close8", "Open4", "Close4" n steps of the square (cross) erosion then n of
 * the dilation, or the reverse; "AVER124" the 1-2-1 weighted mean, "MEDIAN"
 * the median of 3, "BLUR" the mean of 3, each along rows and then columns
 * (grey and colour only; masks are left as they are). Windows are clipped to
 * the image.
 *
 * Schedules that approximate a disc with squares and crosses: "ERODE84",
 * "DILATE84", "ERODE48", "DILATE48", "Open84", "Close84", "Open48",
 * "Close48". For n > 5, with d = n * 4142 / 10000 and e = n - d, they run d
 * square steps and e cross steps (erosions, dilations, or for opening and
 * closing both halves in turn). For n <= 5 the steps alternate one at a
 * time: the "84" forms start with the square, the "48" forms with the cross,
 * and the second half of an opening or closing continues the alternation.
 *
 * Depths: 1 (mask), 8 (grey) and 24 (colour, each channel filtered as a grey
 * plane). The kernel mode (tmKernelMode) is read once per call; scalar and
 * vector kernels give identical results.
 *
 * Returns 0 when n < 1 (nothing is looked at, not even h or keyword); -1 for
 * a null or unknown keyword; otherwise 0 done, or -1 for an invalid handle, a
 * depth other than 1, 8 and 24, or scratch memory that cannot be had. A
 * schedule runs as one request: it fails or succeeds as a whole. After a
 * failure for want of scratch a colour image is unchanged, but a mask or grey
 * image keeps the passes made before the shortage (the kernels take their
 * scratch pass by pass; copying the image first to undo them would cost more
 * than the filter). */
VANTOR_API int32_t mrNeiFun(int32_t h, const char* keyword, int32_t n);

VANTOR_END_C

#endif
