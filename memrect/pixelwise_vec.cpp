// Vector routes of the 8-bit point operations, through the tm kernels.
#include "memrect/pixelwise_vec.h"

#include "kernels/kernels.h"

namespace vantor {
namespace {

int32_t MaskFlags(int32_t code, MaskMode mode) {
  switch (mode) {
    case MaskMode::kAll: return code | TM_MASK_NONE;
    case MaskMode::kClear: return code | TM_MASK_INVERT;
    default: return code;
  }
}

// The kernels take 32-bit pitches; anything wider stays with the scalar loops.
bool FitsPitch(ptrdiff_t p) { return p >= INT32_MIN && p <= INT32_MAX; }

}  // namespace

int32_t VectorTwoImage8(const uint8_t* a, uint8_t* b, const uint8_t* mask, int32_t width,
                        int32_t height, ptrdiff_t pitchA, ptrdiff_t pitchB, ptrdiff_t pitchMask,
                        int32_t code, MaskMode mode, bool needSummary) {
  if (code < 0 || code > 63) return -1;
  if (!FitsPitch(pitchA) || !FitsPitch(pitchB) || !FitsPitch(pitchMask)) return kVectorDeclined;
  if (mode == MaskMode::kAll && !needSummary) {
    const int32_t r = tmMMM(a, b, b, width, height, static_cast<int32_t>(pitchA),
                            static_cast<int32_t>(pitchB), static_cast<int32_t>(pitchB), code);
    return r < 0 ? -1 : 0;
  }
  const int32_t r = tmMMmaskMb(a, b, mask, width, height, static_cast<int32_t>(pitchA),
                               static_cast<int32_t>(pitchB), static_cast<int32_t>(pitchMask),
                               MaskFlags(code, mode));
  return r < 0 ? -1 : r;
}

int32_t VectorConst8(uint8_t* pixels, const uint8_t* mask, int32_t width, int32_t height,
                     ptrdiff_t pitch, ptrdiff_t pitchMask, uint8_t constant, int32_t code,
                     MaskMode mode) {
  if (code < 0 || code > 63) return -1;
  if (!FitsPitch(pitch) || !FitsPitch(pitchMask)) return kVectorDeclined;
  if (mode == MaskMode::kAll) {
    return tmMCMb(pixels, constant, pixels, width, height, static_cast<int32_t>(pitch),
                  static_cast<int32_t>(pitch), code) < 0
               ? -1
               : 0;
  }
  return tmMCmaskMb(pixels, pixels, mask, width, height, static_cast<int32_t>(pitch),
                    static_cast<int32_t>(pitch), static_cast<int32_t>(pitchMask), constant,
                    MaskFlags(code, mode)) < 0
             ? -1
             : 0;
}

int64_t VectorThreshold8(const uint8_t* src, int32_t width, int32_t height, ptrdiff_t pitchSrc,
                         uint8_t* mask, ptrdiff_t pitchMask, uint8_t t, int32_t relation) {
  // Truth tables over (v = t, v > t, v < t) for NotLess, NotGreater, UnEqual,
  // Equal, Less, Greater.
  static constexpr int32_t kCodes[6] = {0xB, 0xD, 0x6, 0x9, 0x4, 0x2};
  if (relation < 1 || relation > 6) return kVectorDeclined;
  if (!FitsPitch(pitchSrc) || !FitsPitch(pitchMask)) return kVectorDeclined;
  if (tmThreshMaskB(src, t, mask, width, height, static_cast<int32_t>(pitchSrc),
                    static_cast<int32_t>(pitchMask), kCodes[relation - 1]) < 0) {
    return kVectorDeclined;
  }
  return tmMaskOnes(mask, 0, 0, width, height, static_cast<int32_t>(pitchMask));
}

}  // namespace vantor
