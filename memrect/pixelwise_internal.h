// Internal: buffer-level forms of the threshold and masked-fill operations for
// other operations of the store (the depth conversion to and from masks). The
// kernel mode is read at each call, as in the handle-level operations.
#ifndef VANTOR_MEMRECT_PIXELWISE_INTERNAL_H
#define VANTOR_MEMRECT_PIXELWISE_INTERNAL_H

#include <cstddef>
#include <cstdint>

namespace vantor {

// Relations of mrThreshold, numbered as in its keyword list.
enum ThresholdRelation : int32_t {
  kRelationNotLess = 1,
  kRelationNotGreater,
  kRelationUnEqual,
  kRelationEqual,
  kRelationLess,
  kRelationGreater
};

// Mask from 8-, 16- or 32-bit pixels (bytes 1, 2, 4) by a relation with t (low
// 8 bits for bytes); the bits past each mask row are kept. Returns the number
// of set bits.
int64_t ThresholdPixels(int bytes, const uint8_t* src, int32_t width, int32_t height,
                        ptrdiff_t pitchSrc, uint8_t* mask, ptrdiff_t pitchMask, uint32_t t,
                        int32_t relation);

// Mask from the largest channel of 24-bit pixels by a relation with the low 8
// bits of t. Returns the number of set bits.
int64_t ThresholdLargestChannel(const uint8_t* src, int32_t width, int32_t height,
                                ptrdiff_t pitchSrc, uint8_t* mask, ptrdiff_t pitchMask,
                                uint32_t t, int32_t relation);

// Pixels of 1, 3 or 4 bytes set to value (modulo the pixel range; colour:
// blue bits 0..7, green 8..15, red 16..23) where the mask bit is set and to 0
// elsewhere.
void FillFromMask(int bytes, uint8_t* dst, int32_t width, int32_t height, ptrdiff_t pitch,
                  const uint8_t* mask, ptrdiff_t pitchMask, uint32_t value);

}  // namespace vantor

#endif
