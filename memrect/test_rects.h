// Helpers shared by the image-store tests: small rectangles from pixel lists,
// their pixels back as a list, and a kernel mode held for one scope.
#ifndef VANTOR_MEMRECT_TEST_RECTS_H
#define VANTOR_MEMRECT_TEST_RECTS_H

#include <cstdint>
#include <vector>

#include "kernels/kernel_mode.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"

namespace vantor::test {

// A rectangle whose pixels, row 0 first, are the given values.
inline RectOwner Image(int32_t depth, int32_t width, int32_t height,
                       const std::vector<int32_t>& values) {
  RectOwner r(mrCreate(depth, width, height));
  for (size_t i = 0; i < values.size(); ++i) {
    mrPutPixel(r.get(), static_cast<int32_t>(i % width), static_cast<int32_t>(i / width),
               values[i]);
  }
  return r;
}

// Every pixel of a rectangle, row 0 first.
inline std::vector<int32_t> Pixels(int32_t h) {
  int32_t w = 0, ht = 0;
  mrGetRectInfo(h, &w, &ht);
  std::vector<int32_t> out;
  for (int32_t y = 0; y < ht; ++y)
    for (int32_t x = 0; x < w; ++x) out.push_back(mrGetPixel(h, x, y));
  return out;
}

// Selects a kernel mode for one scope.
class KernelModeScope {
 public:
  explicit KernelModeScope(int32_t mode) : previous_(mrUseIntelIPlib(mode)) {}
  ~KernelModeScope() { mrUseIntelIPlib(previous_); }
  KernelModeScope(const KernelModeScope&) = delete;
  KernelModeScope& operator=(const KernelModeScope&) = delete;

 private:
  int32_t previous_;
};

}  // namespace vantor::test

#endif
