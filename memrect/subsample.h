/* Block subsampling of images and resampling of masks between sizes. */
#ifndef VANTOR_MEMRECT_SUBSAMPLE_H
#define VANTOR_MEMRECT_SUBSAMPLE_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Shrinks a rectangle of depth 8, 16, 24 or 32 by blocks of bx x by pixels
 * (both at least 1); every output pixel is one statistic of its block, chosen
 * by keyword from "MIN MAX RANGE MEAN STD MINMAX MAXMIN MID" (letter case
 * ignored). output 0 creates an output of the source's depth and (width / bx)
 * x (height / by) pixels (partial blocks dropped); a given output must have
 * the source's depth and receives min(width / bx, its width) x min(height / by,
 * its height) pixels. 24-bit images are subsampled channel by channel; 16- and
 * 32-bit ones through an 8-bit copy scaled to the source maximum M, widened
 * again and, when M exceeds 255, scaled back by M / 255. Returns the output
 * handle, or 0 on failure (an output made here is then freed, a given one is
 * left as it was: scratch planes are had before it is written). */
VANTOR_API int32_t mrBlockSubsampling(int32_t source, int32_t output, int32_t bx, int32_t by,
                                      const char* keyword);

/* Resamples a 1-bit mask into another 1-bit mask of any size, row by row
 * (output row r from source row r * source height / output height; each row
 * as BitRowToRow does). Returns the output height, or -1 when either is not a
 * 1-bit rectangle or has width 0. */
VANTOR_API int32_t mrZoomMask(int32_t source, int32_t output);

VANTOR_END_C

#endif
