// Test helper shared by the drift tests: generated values as an 8-bit rectangle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "tools/synthetic_image.h"

namespace vantor::drift::test_util {

// An 8-bit rectangle holding the values (row 0 first), rounded and clipped.
inline RectOwner Grey(const std::vector<double>& v, int w, int h) {
  RectOwner r(mrCreate(8, w, h));
  int32_t rw, rh, pitch;
  void* px = nullptr;
  mrGetExtendedInfo(r.get(), &rw, &rh, &pitch, &px);
  const auto bytes = vantor::tools::ToBytes(v);
  for (int y = 0; y < h; ++y)
    std::memcpy(static_cast<uint8_t*>(px) + static_cast<ptrdiff_t>(y) * pitch, &bytes[y * w], w);
  return r;
}

}  // namespace vantor::drift::test_util
