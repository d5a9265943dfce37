/* Morphological reconstruction of memory rectangles: a marker grown inside a
 * mask until it cannot grow any further. */
#ifndef VANTOR_MEMRECT_RECON_H
#define VANTOR_MEMRECT_RECON_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Reconstructs marker (changed in place) inside mask; both of depth 1 or both
 * of depth 8, of the same width and height (overlays included).
 *  1-bit: the marker becomes the set of mask pixels reachable from a pixel
 *    set in both by steps between 4-neighbours (left, right, above, below)
 *    set in the mask. Returns the number of its set pixels (limited to
 *    2147483647).
 *  8-bit: the marker becomes the fixed point of marker := min(mask, maximum
 *    of its 3 x 3 neighbourhood) reached from it (8-connectivity): the
 *    largest image nowhere above the mask that grows from the marker. Returns
 *    the number of raster passes made plus 1 (at least 3).
 * -1 (nothing changed) for invalid handles, unequal depths or sizes, a depth
 * other than 1 and 8, or no scratch memory. Bits past the width and bytes
 * past each row are never written. */
VANTOR_API int32_t mrReconstruct(int32_t mask, int32_t marker);

VANTOR_END_C

#endif
