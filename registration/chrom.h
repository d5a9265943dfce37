/* Chromatic aberration: the relative magnification of the red, green and blue
 * channels of a colour image about its centre, and its correction by
 * magnifying the smaller channels to the size of the largest. */
#ifndef VANTOR_REGISTRATION_CHROM_H
#define VANTOR_REGISTRATION_CHROM_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Measures the channel scales of src (24- or 48-bit) about (width / 2,
 * height / 2) with the scale search between 0.98 and 1.02 (coarse step
 * sqrt(0.04 / (2 L)), then fine step 1 / L around the coarse best, L the
 * longer side), red against green and then the larger of the two against
 * blue, inside mask (1-bit, at least the image's size; 0 for every pixel). A
 * measured scale is used only when the root of its mean square difference is
 * below 80 and it lies strictly inside the search range. The largest channel
 * keeps scale 1.0; a scale not above 1 + 2 / L is taken as 1.0.
 * The corrected image (the smaller channels magnified about the centre, the
 * parts from outside the picture 0) goes to dst, a rectangle of src's depth
 * and size, or to a new one when dst is 0 or less. flags is passed to
 * mrScaleFromPoint (bit 0: nearest sampling, else bilinear). scales (may be
 * null) receives the red, green and blue scales. Returns the destination
 * handle, or 0 (nothing changed, nothing made) for another depth, an invalid
 * handle or mask, a dst of another depth or size, an image whose channels
 * cannot be extracted (24-bit images narrower than 4 pixels) or compared, or
 * no memory. */
VANTOR_API int32_t mrChromAberrMask(int32_t src, int32_t dst, int32_t flags, int32_t mask,
                                    double* scales);

/* Applies the red, green and blue scales (three doubles) to src (24 or 48
 * bits) about (cx, cy): each channel whose scale is above 1 + 2 / L (L the
 * longer side) is magnified, the others are copied. The result goes to dst (of
 * src's depth and size) or to a new rectangle when dst is 0 or less; dst may
 * be src. flags as for mrChromAberrMask. Returns the destination handle, or 0
 * (nothing changed, nothing made) for another depth, an invalid handle, a dst
 * that does not fit, null scales or no memory. */
VANTOR_API int32_t mrChromScale(int32_t src, int32_t dst, int32_t cx, int32_t cy, int32_t flags,
                                const double* scales);

VANTOR_END_C

#endif
