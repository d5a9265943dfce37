// Internal: a resolved memory rectangle (depth, size, pitch and pixels), as the
// pixel operations see it.
#ifndef VANTOR_MEMRECT_RECT_VIEW_H
#define VANTOR_MEMRECT_RECT_VIEW_H

#include <cstddef>
#include <cstdint>

#include "generic/last_error.h"
#include "memrect/memrect.h"

namespace vantor {

struct RectView {
  int32_t depth = -1;
  int32_t width = 0;
  int32_t height = 0;
  int32_t pitch = 0;
  uint8_t* pixels = nullptr;

  // Bytes of one row that hold pixels.
  int64_t RowBytes() const { return (static_cast<int64_t>(depth) * width + 7) / 8; }
  // Bits of one row that hold pixels.
  int64_t RowBits() const { return static_cast<int64_t>(depth) * width; }
  int64_t Pixels() const { return static_cast<int64_t>(width) * height; }
  uint8_t* Row(int32_t y) const { return pixels + static_cast<ptrdiff_t>(y) * pitch; }
  bool Empty() const { return width == 0 || height == 0; }
};

// Resolves a handle; false for an invalid handle or a rectangle whose pixels
// cannot be reached, with the cause stated ("handle N is not a valid image").
inline bool ResolveRect(int32_t h, RectView& v) {
  void* px = nullptr;
  RectView r;
  r.depth = mrGetExtendedInfo(h, &r.width, &r.height, &r.pitch, &px);
  if (r.depth <= 0) return false;  // mrGetExtendedInfo stated why
  r.pixels = static_cast<uint8_t*>(px);
  if (r.width < 0 || r.height < 0 || (r.pixels == nullptr && r.width > 0 && r.height > 0))
    return err::FailHandle(h);
  v = r;
  return true;
}

inline bool SameSize(const RectView& a, const RectView& b) {
  return a.width == b.width && a.height == b.height;
}

}  // namespace vantor

#endif
