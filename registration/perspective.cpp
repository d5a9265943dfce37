#include "registration/perspective.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "generic/last_error.h"
#include "improc/perspective.h"
#include "memrect/memrect.h"
#include "memrect/rect_view.h"
#include "registration/checks.h"

namespace err = vantor::err;

namespace {

// The first nine pixels of a 64-bit rectangle in row order. Rows are read
// through the pitch, so a matrix inside a wider rectangle reads right too.
bool ReadMatrix(int32_t h, double m[9]) {
  int32_t w = 0, rows = 0, pitch = 0;
  void* pixels = nullptr;
  const int32_t depth = mrGetExtendedInfo(h, &w, &rows, &pitch, &pixels);
  if (depth < 1) return err::FailHandle(h);
  if (depth != 64 || pixels == nullptr) return err::FailDepth(h, depth);
  if (w <= 0 || rows <= 0 || static_cast<int64_t>(w) * rows < 9)
    return err::Fail(err::kParameter, "matrix %d holds fewer than 9 values", static_cast<int>(h));
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
  return err::GuardedWhen(__func__, -1.0, [](double r) { return r < 0.0; }, [&]() -> double {
    double m[9];
    if (!ReadMatrix(matrix, m)) return -1.0;
    vantor::RectView a, b, mv;
    if (!vantor::reg::CheckDepth(imageA, 8, &a) || !vantor::reg::CheckDepth(imageB, 8, &b))
      return -1.0;
    if (mask != 0 && !vantor::reg::CheckMask(mask, imageB, b, &mv)) return -1.0;
    const double d = PerspectiveMaskDiff(a.pixels, a.width, a.height, a.pitch, b.pixels, b.width,
                                         b.height, b.pitch, mask != 0 ? mv.pixels : nullptr,
                                         mask != 0 ? mv.pitch : 0, m, sampling);
    if (d < 0.0) vantor::reg::NothingCompared();
    return d;
  });
}
