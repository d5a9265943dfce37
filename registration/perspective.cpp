#include "registration/perspective.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "improc/perspective.h"
#include "memrect/memrect.h"

namespace {

// The first nine pixels of a 64-bit rectangle in row order. Rows are read
// through the pitch, so a matrix inside a wider rectangle reads right too.
bool ReadMatrix(int32_t h, double m[9]) {
  int32_t w = 0, rows = 0, pitch = 0;
  void* pixels = nullptr;
  if (mrGetExtendedInfo(h, &w, &rows, &pitch, &pixels) != 64 || pixels == nullptr) return false;
  if (w <= 0 || rows <= 0 || static_cast<int64_t>(w) * rows < 9) return false;
  const auto* base = static_cast<const unsigned char*>(pixels);
  for (int k = 0; k < 9; ++k) {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(k / w) * pitch +
                              static_cast<std::ptrdiff_t>(k % w) * 8;
    std::memcpy(&m[k], base + at, sizeof(double));  // extern blocks need not be aligned
  }
  return true;
}

}  // namespace

extern "C" double mrPerspectiveMaskDiff(int32_t imageA, int32_t imageB, int32_t mask,
                                        int32_t matrix, int32_t sampling) {
  double m[9];
  if (!ReadMatrix(matrix, m)) return -1.0;

  int32_t aw = 0, ah = 0, ap = 0, bw = 0, bh = 0, bp = 0;
  void* a = nullptr;
  void* b = nullptr;
  if (mrGetExtendedInfo(imageA, &aw, &ah, &ap, &a) != 8) return -1.0;
  if (mrGetExtendedInfo(imageB, &bw, &bh, &bp, &b) != 8) return -1.0;

  void* mask_pixels = nullptr;
  int32_t mp = 0;
  if (mask != 0) {
    int32_t mw = 0, mh = 0;
    if (mrGetExtendedInfo(mask, &mw, &mh, &mp, &mask_pixels) != 1) return -1.0;
    if (mw != bw || mh != bh) return -1.0;
  }

  return PerspectiveMaskDiff(static_cast<const uint8_t*>(a), aw, ah, ap,
                             static_cast<const uint8_t*>(b), bw, bh, bp,
                             static_cast<const uint8_t*>(mask_pixels), mp, m, sampling);
}
