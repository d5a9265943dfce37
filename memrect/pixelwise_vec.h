// Internal: the vector-mode routes of the 8-bit point operations (the tm
// kernels). Each gives exactly the result of the scalar kernels of
// improc/pixelops_internal.h, or declines so that the caller runs those.
#ifndef VANTOR_MEMRECT_PIXELWISE_VEC_H
#define VANTOR_MEMRECT_PIXELWISE_VEC_H

#include <cstddef>
#include <cstdint>

#include "improc/pixelops_internal.h"

namespace vantor {

// Returned when the vector route does not take the work.
inline constexpr int32_t kVectorDeclined = -2;

// b = code(a, b) on 8-bit rectangles (two-image numbering), where the mask
// allows. Returns the summary of the written values as RectOp does (0 when
// needSummary is false and there is no mask), -1 for an unsupported code, or
// kVectorDeclined.
int32_t VectorTwoImage8(const uint8_t* a, uint8_t* b, const uint8_t* mask, int32_t width,
                        int32_t height, ptrdiff_t pitchA, ptrdiff_t pitchB, ptrdiff_t pitchMask,
                        int32_t code, MaskMode mode, bool needSummary);

// p = code(c, p) in place on an 8-bit rectangle (constant numbering) where the
// mask allows. Returns 0 when done, -1 for an unsupported code, or
// kVectorDeclined.
int32_t VectorConst8(uint8_t* pixels, const uint8_t* mask, int32_t width, int32_t height,
                     ptrdiff_t pitch, ptrdiff_t pitchMask, uint8_t constant, int32_t code,
                     MaskMode mode);

// Threshold of an 8-bit rectangle with a relation 1..6 (NotLess, NotGreater,
// UnEqual, Equal, Less, Greater). Returns the number of set bits, or
// kVectorDeclined.
int64_t VectorThreshold8(const uint8_t* src, int32_t width, int32_t height, ptrdiff_t pitchSrc,
                         uint8_t* mask, ptrdiff_t pitchMask, uint8_t t, int32_t relation);

}  // namespace vantor

#endif
