/* Image statistics: grey-level histograms and the extremes and sums of an
 * image. An image of width or height 0 has no statistics: every operation
 * fails on it. */
#ifndef VANTOR_MEMRECT_STATISTICS_H
#define VANTOR_MEMRECT_STATISTICS_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* The 256-bin histogram of an image (histogram[v] counts the pixels of grey
 * level v). 8-bit images are counted as they are and the result is the pixel
 * count; 24-bit images by the largest of the three channels, result the pixel
 * count. 16- and 32-bit images are first reduced to 8 bits: when their largest
 * value M exceeds 255, 16-bit values v count as v * 255 / M (truncated) and
 * 32-bit values as floor(v * (255 / M) + 0.5); the result is then M (0 for an
 * image of zeros). -1 for other depths, an invalid handle, a null histogram or
 * an empty image. */
VANTOR_API int32_t mrHistogram(int32_t h, int32_t* histogram);

/* Histogram of an 8-bit image into bins entries: above 256 bins the 256 counts
 * are written and the further entries left alone; otherwise entry bins - 1
 * also counts every value above it. Returns width x height; -1 when the image
 * is not 8-bit or is empty, bins is below 1 or histogram is null. */
VANTOR_API int32_t mrHistogramLim(int32_t h, int32_t* histogram, int32_t bins);

/* Extremes and sums of an image into record (16 integers):
 *   0 depth, 1 width, 2 height, 3 smallest and 4 largest value (unsigned),
 *   5 sum of the values (unsigned, low 32 bits), 6, 7 x and y of the first
 *   smallest value in row order, 8, 9 of the first largest, 10, 11 how many
 *   pixels hold the smallest and the largest value, 12 smallest and 13
 *   largest value read as signed, 14 mean of the signed values rounded half
 *   away from zero, 15 mean of the unsigned values rounded half up.
 * Depths 8, 16 and 32 are measured directly; 24 and 48 by the largest of the
 * three channels of each pixel; 1 as values 0 and 1 (entries 12 and 13 then
 * repeat 3 and 4). Returns the sum of the unsigned values, or -1.0 with the
 * record untouched for an invalid handle, another depth, an empty image or a
 * null record. */
VANTOR_API double mrMinMaxSumInfo(int32_t h, int32_t* record);

VANTOR_END_C

#endif
