/* The registration search: how image B lies relative to image A under a
 * similarity transform (shift DX, DY and matrix terms S, A), found by the
 * regular-simplex minimiser over the mean square grey difference inside a
 * mask, on a coarse block-mean level first when the images are large.
 *
 * Result record: four doubles DX, DY, S, A. With S = 1 and A = 0 a feature at
 * (x, y) of image B lies at (x + DX, y + DY) of image A; x counts columns from
 * the left, y rows from row 0 (the bottom row of a picture loaded from a file,
 * so DY counts upward in the picture). */
#ifndef VANTOR_REGISTRATION_REGISTRATION_H
#define VANTOR_REGISTRATION_REGISTRATION_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Flag bits of RegisterPair. */
enum {
  kRegNearestSampling = 1,      /* nearest-neighbour sampling instead of bilinear */
  kRegEqualiseBrightness = 4,   /* scale both images to the mean of their mean grey levels */
  kRegFixDX = 256,              /* hold DX at its start value */
  kRegFixDY = 512,
  kRegFixS = 1024,
  kRegFixA = 2048               /* 3072 = S and A fixed: a pure shift search */
};

/* What PairCost needs: the images, the mask (0 for none) and the sampling mode
 * (0 bilinear, 1 nearest). */
typedef struct PairCostContext {
  int32_t imageA;
  int32_t imageB;
  int32_t mask;
  int32_t sampling;
} PairCostContext;

/* Registers image B (8-bit) against image A. record (4 doubles) receives DX,
 * DY, S, A, starting from 0, 0, 1, 0. startStep and finalStep are in pixels;
 * the search stops when the simplex edge drops below finalStep or all vertex
 * costs lie within minDiff of the best. coarseSize (at least 1) sets the
 * pyramid: images whose shorter side m gives (coarseSize / 2 + m) / coarseSize
 * > 1 are registered on block means of that factor first. timeLimit: seconds
 * per simplex run, 0 or less for none. mask: 1-bit, the size of image B, or 0.
 * Returns the distance (square root of the best mean square difference), or
 * -1.0 when image B is not 8-bit or the coarse size is below 1 (the record is
 * then untouched), when no cost could be evaluated (image A not 8-bit, the
 * mask not a 1-bit image of B's size with a set pixel, nothing overlapping:
 * the record then holds where the search stopped) or when memory is short;
 * the cause is left in the per-thread error record (generic/errors.h).
 * Thread-safe for distinct images. */
VANTOR_API double RegisterPair(int32_t imageA, int32_t imageB, int32_t mask, double* record,
                               double startStep, double finalStep, double minDiff,
                               int32_t coarseSize, int32_t timeLimit, int32_t flags);

/* The cost of one parameter vector (DX, DY, S, A): the mean square difference
 * of the context's images under the matrix (S, A, DX; -A, S, DY; 0, 0, 1), or
 * -1.0 when it cannot be evaluated. context points at a PairCostContext. */
VANTOR_API double PairCost(const double* params, void* context);

/* Mean and standard deviation of an image's grey levels, each rounded to a
 * whole number. 1 when computed, 0 when the histogram cannot be made (the
 * outputs are then untouched). */
VANTOR_API int32_t GreyMeanStd(int32_t image, int32_t* mean, int32_t* stdDev);

/* Brightness equalisation of a pair. When the mean grey levels differ by less
 * than threshold (or image A's histogram cannot be made), *outA and *outB get
 * imageA and imageB and the result is 0. Otherwise both are copied and scaled
 * to the mean of their means; the copies (to be freed by the caller) go to
 * *outA and *outB and the result is the absolute difference of the means.
 * -1 when an output is null or memory is short (nothing is made). */
VANTOR_API int32_t EqualiseMeans(int32_t imageA, int32_t imageB, int32_t threshold,
                                 int32_t* outA, int32_t* outB);

/* A new 1-bit mask of the image's size holding a block of ones around the
 * centre pixel (width / 2, height / 2) that covers the mask fraction of each
 * dimension: (2 nh + 1) x (2 nv + 1) with nh = trunc(width * fraction / 2) and
 * nv = trunc(height * fraction / 2), clipped to the image. 0 when the image
 * handle is invalid or the mask cannot be made. */
VANTOR_API int32_t CentralMask(int32_t image);

/* CentralMask with the fraction given instead of the stored one (threads
 * with different fractions do not disturb each other). */
VANTOR_API int32_t CentralMaskFraction(int32_t image, double fraction);

/* The mask fraction CentralMask uses: 0.5 until set. SetMaskFraction stores a
 * new value (process-wide) and returns the previous one; the batch program
 * sets it from its parameter 6. */
VANTOR_API double SetMaskFraction(double fraction);
VANTOR_API double GetMaskFraction(void);

VANTOR_END_C

#endif
