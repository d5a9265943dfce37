// The next set pixel, the set-pixel count of a window and the sliding of a
// rectangle's contents: what the shift searches need of their candidate
// window, visited map and vicinity map.
#include "registration/shift_maps.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "improc/pixelops_internal.h"
#include "kernels/kernel_path.h"
#include "kernels/kernels.h"
#include "kernels/kernels_scalar.h"
#include "generic/last_error.h"
#include "memrect/rect_view.h"
#include "registration/checks.h"

namespace err = vantor::err;

namespace vantor::reg {

int64_t MaskOnes(const RectView& m) {
  if (m.Empty()) return 0;
  return RunOnPath(CurrentKernelPath(), CountMaskOnes, tmMaskOnes, m.pixels, 0, 0, m.width,
                   m.height, m.pitch);
}

}  // namespace vantor::reg

namespace {

using vantor::RectView;

// Why a leaf operation refuses handle h: not an image, or not 1-bit.
int32_t RefuseMask(const char* operation, int32_t h, const RectView* r) {
  if (r == nullptr)
    return err::Report(operation, err::kParameter, "handle %d is not a valid image",
                       static_cast<int>(h)),
           -1;
  return err::Report(operation, err::kParameter,
                     "image %d has depth %d, which this operation does not take",
                     static_cast<int>(h), static_cast<int>(r->depth)),
         -1;
}

// Pixel field x of a row of sub-byte pixels.
unsigned GetField(const uint8_t* row, int64_t x, int depth) {
  const int64_t bit = x * depth;
  return (row[bit >> 3] >> (bit & 7)) & ((1u << depth) - 1u);
}

void PutField(uint8_t* row, int64_t x, int depth, unsigned v) {
  const int64_t bit = x * depth;
  const unsigned m = ((1u << depth) - 1u) << (bit & 7);
  row[bit >> 3] = static_cast<uint8_t>((row[bit >> 3] & ~m) | ((v << (bit & 7)) & m));
}

}  // namespace

extern "C" int32_t mrFindNext(int32_t h, int32_t* x, int32_t* y) {
  RectView r;
  if (x == nullptr || y == nullptr)
    return err::Report(__func__, err::kParameter, "the position is null"), -1;
  if (!vantor::ResolveRect(h, r)) return RefuseMask(__func__, h, nullptr);
  if (r.depth != 1) return RefuseMask(__func__, h, &r);
  return vantor::RunOnPath(vantor::CurrentKernelPath(), vantor::scalar::tmFindBit, tmFindBit,
                           r.pixels, r.width, r.height, r.pitch, x, y, 0);
}

extern "C" int32_t mrMaskSubrectOnes(int32_t h, int32_t x, int32_t y, int32_t width,
                                     int32_t height) {
  RectView r;
  if (!vantor::ResolveRect(h, r)) return RefuseMask(__func__, h, nullptr);
  if (r.depth != 1) return RefuseMask(__func__, h, &r);
  const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
  const int64_t x1 = std::min<int64_t>(static_cast<int64_t>(x) + width, r.width);
  const int64_t y1 = std::min<int64_t>(static_cast<int64_t>(y) + height, r.height);
  if (x0 >= x1 || y0 >= y1) return 0;
  // Inside the image: every coordinate fits the 32-bit kernel.
  const int64_t n = vantor::RunOnPath(
      vantor::CurrentKernelPath(), vantor::CountMaskOnes, tmMaskOnes, r.pixels,
      static_cast<int32_t>(x0), static_cast<int32_t>(y0), static_cast<int32_t>(x1 - x0),
      static_cast<int32_t>(y1 - y0), r.pitch);
  return static_cast<int32_t>(std::min<int64_t>(n, std::numeric_limits<int32_t>::max()));
}

extern "C" int32_t mrSlide(int32_t h, int32_t dx, int32_t dy, int32_t fill) {
  RectView r;
  if (!vantor::ResolveRect(h, r)) return RefuseMask(__func__, h, nullptr);
  if (r.Empty() || (dx == 0 && dy == 0)) return 0;
  const int depth = r.depth;
  const int64_t w = r.width, rows = r.height, row_bytes = r.RowBytes();
  std::vector<uint8_t> source, fill_row;
  try {
    source.resize(static_cast<size_t>(row_bytes));
    if (depth >= 8) fill_row.resize(static_cast<size_t>(row_bytes));
  } catch (const std::bad_alloc&) {
    return err::Report(__func__, err::kMemory, "out of memory"), -1;
  }
  const int bytes = depth / 8;
  if (depth >= 8) {
    int64_t v = fill;
    uint8_t pattern[8];
    for (int i = 0; i < bytes; ++i, v >>= 8) pattern[i] = static_cast<uint8_t>(v & 0xFF);
    for (int64_t i = 0; i < row_bytes; ++i) fill_row[static_cast<size_t>(i)] = pattern[i % bytes];
  }
  const unsigned fill_field = depth < 8 ? static_cast<unsigned>(fill) & ((1u << depth) - 1u) : 0u;

  // Columns of the destination that receive source pixels: [lo, hi).
  const int64_t lo = std::clamp<int64_t>(dx, 0, w), hi = std::clamp<int64_t>(w + dx, 0, w);
  auto fill_range = [&](uint8_t* row, int64_t from, int64_t to) {
    if (from >= to) return;
    if (depth >= 8) {
      std::memcpy(row + from * bytes, fill_row.data(), static_cast<size_t>((to - from) * bytes));
    } else {
      for (int64_t x = from; x < to; ++x) PutField(row, x, depth, fill_field);
    }
  };
  // Rows in the order that never overwrites a source row still to be read.
  for (int64_t i = 0; i < rows; ++i) {
    const int64_t yd = dy > 0 ? rows - 1 - i : i;
    const int64_t ys = yd - dy;
    uint8_t* dst = r.Row(static_cast<int32_t>(yd));
    if (ys < 0 || ys >= rows || lo >= hi) {
      fill_range(dst, 0, w);
      continue;
    }
    std::memcpy(source.data(), r.Row(static_cast<int32_t>(ys)), static_cast<size_t>(row_bytes));
    if (depth >= 8) {
      std::memcpy(dst + lo * bytes, source.data() + (lo - dx) * bytes,
                  static_cast<size_t>((hi - lo) * bytes));
    } else {
      for (int64_t x = lo; x < hi; ++x) PutField(dst, x, depth, GetField(source.data(), x - dx, depth));
    }
    fill_range(dst, 0, lo);
    fill_range(dst, hi, w);
  }
  return 0;
}
