// mrReconstruct: resolves the two rectangles and runs the binary or the grey
// reconstruction. A mask that shares memory with the marker in any other way
// than being the very same pixels is copied first, so the growing marker never
// changes the mask it is read against.
#include "memrect/recon.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "generic/last_error.h"
#include "improc/pixelops_internal.h"
#include "improc/recon.h"
#include "improc/recon_internal.h"
#include "kernels/kernel_path.h"
#include "kernels/kernels.h"
#include "memrect/rect_view.h"

namespace {

using vantor::RectView;
namespace err = vantor::err;

// The bytes from the first to the last pixel byte of a rectangle.
struct Extent {
  const uint8_t* lo;
  const uint8_t* hi;
};

Extent Bytes(const RectView& r) {
  const ptrdiff_t last = static_cast<ptrdiff_t>(r.height - 1) * r.pitch;
  const uint8_t* first = r.pixels + std::min<ptrdiff_t>(0, last);
  const uint8_t* end = r.pixels + std::max<ptrdiff_t>(0, last) + r.RowBytes();
  return {first, end};
}

bool Overlap(const RectView& a, const RectView& b) {
  const Extent x = Bytes(a), y = Bytes(b);
  return x.lo < y.hi && y.lo < x.hi;
}

}  // namespace

extern "C" {

int32_t mrReconstruct(int32_t mask, int32_t marker) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    RectView m, k;
    if (!vantor::ResolveRect(mask, m) || !vantor::ResolveRect(marker, k)) return -1;
    if (m.depth != k.depth) {
      return err::Fail(err::kParameter, "images %d and %d differ in depth (%d and %d)", mask,
                       marker, m.depth, k.depth),
             -1;
    }
    if (m.depth != 1 && m.depth != 8) return err::FailDepth(mask, m.depth), -1;
    if (!vantor::SameSize(m, k)) {
      return err::FailSizes(mask, marker), -1;
    }
    if (k.Empty()) return m.depth == 1 ? 0 : 3;

    // A copy of the mask when the two share memory but are not the same pixels.
    std::vector<uint8_t> copy;
    if (Overlap(m, k) && !(m.pixels == k.pixels && m.pitch == k.pitch)) {
      const int64_t row_bytes = m.RowBytes();
      copy.resize(static_cast<size_t>(row_bytes * m.height));  // a shortage throws: Guarded
      for (int32_t y = 0; y < m.height; ++y) {
        std::memcpy(copy.data() + static_cast<size_t>(y) * row_bytes, m.Row(y),
                    static_cast<size_t>(row_bytes));
      }
      m.pixels = copy.data();
      m.pitch = static_cast<int32_t>(row_bytes);
    }

    if (m.depth == 8) {
      const int32_t passes =
          vantor::GreyReconstruct(m.pixels, m.width, m.height, m.pitch, k.pixels, k.pitch);
      if (passes < 0) return err::FailMemory(), -1;  // before the marker was written
      return passes + 1;
    }
    MaskReconMask(m.pixels, m.width, m.height, m.pitch, k.pixels, k.pitch);
    const int64_t ones = vantor::RunOnPath(vantor::CurrentKernelPath(), vantor::CountMaskOnes,
                                           tmMaskOnes, k.pixels, 0, 0, k.width, k.height, k.pitch);
    return static_cast<int32_t>(std::min<int64_t>(ones, std::numeric_limits<int32_t>::max()));
  });
}

}  // extern "C"
