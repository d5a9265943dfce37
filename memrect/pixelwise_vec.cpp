// Vector routes of the 8-bit point operations.
#include "memrect/pixelwise_vec.h"

namespace vantor {

int32_t VectorTwoImage8(const uint8_t*, uint8_t*, const uint8_t*, int32_t, int32_t, ptrdiff_t,
                        ptrdiff_t, ptrdiff_t, int32_t, MaskMode) {
  return kVectorDeclined;
}

int32_t VectorConst8(uint8_t*, const uint8_t*, int32_t, int32_t, ptrdiff_t, ptrdiff_t, uint8_t,
                     int32_t, MaskMode) {
  return kVectorDeclined;
}

int64_t VectorThreshold8(const uint8_t*, int32_t, int32_t, ptrdiff_t, uint8_t*, ptrdiff_t,
                         uint8_t, int32_t) {
  return kVectorDeclined;
}

}  // namespace vantor
