/* Block subsampling and mask-row resampling on raw pixel buffers. */
#ifndef VANTOR_IMPROC_BLOCKSUB_H
#define VANTOR_IMPROC_BLOCKSUB_H

#include <stddef.h>
#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Block statistic codes (the words of "MIN MAX RANGE MEAN STD MINMAX MAXMIN MID"). */
enum {
  kBlockMin = 1,     /* smallest value */
  kBlockMax = 2,     /* largest value */
  kBlockRange = 3,   /* largest - smallest */
  kBlockMean = 4,    /* floor(sum / N + 0.5) */
  kBlockStd = 5,     /* floor(sqrt((sum of squares - sum^2 / N) / N) + 0.5) */
  kBlockMinMax = 6,  /* smallest of the block rows' maxima */
  kBlockMaxMin = 7,  /* largest of the block rows' minima */
  kBlockMid = 8      /* (MINMAX + MAXMIN) / 2, truncated */
};

/* Shrinks an 8-bit image by blocks of bx x by pixels (both at least 1): output
 * pixel (i, j) is the statistic `code` of source columns i*bx .. i*bx+bx-1 and
 * rows j*by .. j*by+by-1. min(srcWidth / bx, outWidth) x min(srcHeight / by,
 * outHeight) output pixels are written; partial blocks are dropped. A code
 * outside 1..8 counts as kBlockMean. Returns the code used, or 0 (nothing
 * written) when a width or height is 0 or a block size is below 1. */
VANTOR_API int32_t BlockSubsampling(const void* src, int32_t srcWidth, int32_t srcHeight,
                                    int32_t srcPitch, void* out, int32_t outWidth,
                                    int32_t outHeight, int32_t outPitch, int32_t bx, int32_t by,
                                    int32_t code);

/* Resamples a 1-bit row (least significant bit first) of srcWidth pixels into
 * dstWidth pixels. Enlarging: output bit x takes source bit floor(x * sw / dw).
 * Reducing: output bit x is the vote over its source bits, ties giving 1. The
 * output is written in whole bytes, the unused high bits of a last partial
 * byte cleared. Returns 1 (enlarged or kept), 2 (reduced), 0 when a width is
 * 0 (nothing written). */
VANTOR_API int32_t BitRowToRow(const void* src, int32_t srcWidth, void* dst, int32_t dstWidth);

/* Copies count bytes (the ranges may overlap; nothing for 0). */
VANTOR_API void MovMemory(const void* src, void* dst, size_t count);

VANTOR_END_C

#endif
