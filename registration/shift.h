/* Whole-pixel displacement between two 8-bit grey images, measured by the
 * root-mean-square grey-level difference (the distance): a coarse-to-fine
 * grid search of a small image inside a larger one, and a walk through
 * disc-shaped neighbourhoods of untried displacements from a start.
 *
 * A displacement (x, y) compares pixel (k, j) of image A with pixel
 * (k + x, j + y) of image B. The searches start from the distance 256.0,
 * above any distance of 8-bit images. */
#ifndef VANTOR_REGISTRATION_SHIFT_H
#define VANTOR_REGISTRATION_SHIFT_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Largest radius the walks use; a larger one is taken as this. */
#define MR_SHIFT_MAX_RADIUS 64

/* Distance between A and B (8-bit, same size) over the set pixels of mask
 * (1-bit, their size, at least one pixel set; 0: every pixel). The squared
 * differences are summed row by row and the sum stops growing after the first
 * row at which it exceeds limit^2 x N + 1 (N the number of pixels compared in
 * all), so a stopped measure returns a value above limit. Returns
 * sqrt(sum / N), or -1.0 for invalid handles, other depths or sizes, a mask
 * with no set pixel, or empty images. */
VANTOR_API double mrAverSquareDiff(int32_t imageA, int32_t imageB, int32_t mask, double limit);

/* Places the small image A inside the large image B (both 8-bit, B at least
 * 2c pixels wider and 2c higher than A) by a grid search around the centred
 * placement with step c, halved whenever a sweep brings no improvement, each
 * placement measured once. *dx and *dy receive by how many columns and rows
 * the best placement lies before the centred one (positive: A matches B at a
 * smaller column or row). Returns the best distance, 256.0 when c is 0 (no
 * placement is tried, dx = dy = 0), or -1.0 with the outputs untouched for
 * invalid handles, other depths, a negative c or a B too small. */
VANTOR_API double mrBestShift(int32_t imageA, int32_t imageB, int32_t c, int32_t* dx,
                              int32_t* dy);

/* Walks from the start displacement (*x, *y) to a displacement no neighbour of
 * which is better: each pass measures the untried displacements within about
 * radius d of the current centre (a near-circular disc) and moves the centre
 * to the best one, until a pass improves nothing. A displacement counts only
 * when it compares more than the larger of N / 10 and 128 pixels, N the
 * number of set pixels of mask (1-bit, A's size), or of A itself for mask 0.
 * B (8-bit) must be at least as large as A. d above MR_SHIFT_MAX_RADIUS is
 * taken as that, below 0 as 0 (only the start is measured). Writes the best
 * displacement to *x, *y (unchanged when none counted; null pointers start
 * from 0 and receive nothing) and returns its distance, 256.0 when none
 * counted, or -1.0 (outputs untouched) for invalid handles, A or B not 8-bit,
 * B smaller than A, a mask handle that is not a 1-bit rectangle of A's size,
 * or no memory. */
VANTOR_API double mrFindShift(int32_t imageA, int32_t imageB, int32_t mask, int32_t d,
                              int32_t* x, int32_t* y);

/* As mrFindShift; with vicinity not null, *vicinity receives a new 64-bit
 * rectangle (the caller frees it) of e x e doubles, e = 3d + 1 for even d and
 * 3d for odd d, whose position (sx, sy) holds the distance measured for the
 * displacement (x + sx - e / 2, y + sy - e / 2) around the returned (x, y) (-1.0
 * where nothing could be compared), 0.0 where nothing was measured. */
VANTOR_API double mrFindShiftVic(int32_t imageA, int32_t imageB, int32_t mask, int32_t d,
                                 int32_t* x, int32_t* y, int32_t* vicinity);

VANTOR_END_C

#endif
