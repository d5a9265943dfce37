// What the loader fuzz targets do with a loaded rectangle: touch every part
// of its block (a short allocation or a bad pitch shows under the sanitizers)
// and free it.
#ifndef VANTOR_MEMRECT_READFILE_FUZZ_UTIL_H
#define VANTOR_MEMRECT_READFILE_FUZZ_UTIL_H

#include <cstdint>

#include "memrect/memrect.h"

namespace vantor::fuzz {

inline void TouchAndFree(int32_t h) {
  if (h <= 0) return;
  int32_t width = 0, height = 0, pitch = 0;
  void* pixels = nullptr;
  int32_t depth = mrGetExtendedInfo(h, &width, &height, &pitch, &pixels);
  if (depth > 0 && pixels) {
    volatile uint8_t sum = 0;
    const uint8_t* p = static_cast<const uint8_t*>(pixels);
    for (int64_t i = 0; i < int64_t(pitch) * height; i += 61) sum = uint8_t(sum + p[i]);
  }
  mrFree(h);
}

}  // namespace vantor::fuzz

#endif
