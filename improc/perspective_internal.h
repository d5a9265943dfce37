// The two implementations behind PerspectiveMaskDiff, reachable for tests and
// benchmarks. Same arguments and result as the exported function; counted,
// when given, receives the number of pixels that entered the mean.
#ifndef VANTOR_IMPROC_PERSPECTIVE_INTERNAL_H
#define VANTOR_IMPROC_PERSPECTIVE_INTERNAL_H

#include <cstdint>

namespace vantor {

// Plain scalar loop, one pixel after the other: the reference.
double PerspectiveMaskDiffScalar(const uint8_t* a, int32_t aWidth, int32_t aHeight,
                                 int32_t aPitch, const uint8_t* b, int32_t bWidth,
                                 int32_t bHeight, int32_t bPitch, const uint8_t* mask,
                                 int32_t maskPitch, const double* m, int32_t sampling,
                                 int64_t* counted = nullptr);

// Vector loop across pixels with special cases for affine matrices and pure
// translations. Counts the same pixels as the reference; the mean square
// agrees to rounding (summation order differs).
double PerspectiveMaskDiffVector(const uint8_t* a, int32_t aWidth, int32_t aHeight,
                                 int32_t aPitch, const uint8_t* b, int32_t bWidth,
                                 int32_t bHeight, int32_t bPitch, const uint8_t* mask,
                                 int32_t maskPitch, const double* m, int32_t sampling,
                                 int64_t* counted = nullptr);

}  // namespace vantor

#endif
