// Handle-level warping: resolves and checks the rectangles, reads the matrix
// and runs the buffer kernels of improc/warp; the scale about a point and the
// scale search on top of them.
#include "registration/warp.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "generic/last_error.h"
#include "improc/warp.h"
#include "improc/warp_internal.h"
#include "kernels/kernel_path.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "memrect/rect_view.h"
#include "registration/checks.h"

namespace vantor {
namespace {

// The first count pixels of a 64-bit rectangle in row order, through its
// pitch (extern blocks need not be aligned).
bool ReadMatrix(int32_t h, int64_t needed, int count, double* m) {
  RectView v;
  if (!reg::CheckDepth(h, 64, &v)) return false;
  if (v.Empty() || static_cast<int64_t>(v.width) * v.height < needed)
    return err::Fail(err::kParameter, "matrix %d holds fewer than %lld values",
                     static_cast<int>(h), static_cast<long long>(needed));
  for (int k = 0; k < count; ++k) {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(k / v.width) * v.pitch +
                              static_cast<std::ptrdiff_t>(k % v.width) * 8;
    std::memcpy(&m[k], v.pixels + at, sizeof(double));
  }
  return true;
}

// The byte range a rectangle's rows occupy.
struct Extent {
  const uint8_t* lo;
  const uint8_t* hi;
};

Extent ExtentOf(const RectView& v) {
  if (v.Empty()) return {nullptr, nullptr};
  const std::ptrdiff_t last = static_cast<std::ptrdiff_t>(v.height - 1) * v.pitch;
  const uint8_t* a = v.pixels + std::min<std::ptrdiff_t>(0, last);
  const uint8_t* b = v.pixels + std::max<std::ptrdiff_t>(0, last) + v.RowBytes();
  return {a, b};
}

bool Overlap(const RectView& a, const RectView& b) {
  const Extent x = ExtentOf(a), y = ExtentOf(b);
  if (x.lo == nullptr || y.lo == nullptr) return false;
  return std::less<const uint8_t*>()(x.lo, y.hi) && std::less<const uint8_t*>()(y.lo, x.hi);
}

int32_t Capped(int64_t v) { return static_cast<int32_t>(std::min<int64_t>(v, INT32_MAX)); }

}  // namespace
}  // namespace vantor

using namespace vantor;
namespace err = vantor::err;

namespace {

int32_t PerspectiveTrans(int32_t src, int32_t dst, int32_t matrix, int32_t fillMask, int32_t fill,
                         int32_t flags) {
  const int32_t k = flags >> 8;
  const bool bilinear = k != 0;
  // The bilinear mapping reads eight values whatever k asks for.
  const int64_t needed = std::max<int64_t>(9 - static_cast<int64_t>(k), bilinear ? 8 : 9);
  WarpJob j;
  if (!ReadMatrix(matrix, needed, bilinear ? 8 : 9, j.m)) return -1;
  RectView s, d;
  if (!ResolveRect(src, s) || !ResolveRect(dst, d)) return -1;
  if (s.depth != d.depth)
    return err::Fail(err::kParameter, "images %d and %d differ in depth (%d and %d)",
                     static_cast<int>(src), static_cast<int>(dst), static_cast<int>(s.depth),
                     static_cast<int>(d.depth)),
           -1;
  if (!WarpDepthSupported(d.depth) || d.depth == 64) return err::FailDepth(dst, d.depth), -1;
  RectView mask;
  const bool use_mask = fillMask != 0 && ResolveRect(fillMask, mask) && mask.depth == 1 &&
                        SameSize(mask, d) && !mask.Empty();
  if (d.Empty()) return 0;

  // A source that shares memory with what is written is read from a copy.
  std::unique_ptr<uint8_t[]> copy;
  if (!s.Empty() && (Overlap(s, d) || (use_mask && Overlap(s, mask)))) {
    const int64_t row = s.RowBytes();
    copy.reset(new (std::nothrow) uint8_t[static_cast<size_t>(row * s.height)]);
    if (!copy) return err::FailMemory(), -1;
    for (int32_t y = 0; y < s.height; ++y) std::memcpy(copy.get() + y * row, s.Row(y), row);
    s.pixels = copy.get();
    s.pitch = static_cast<int32_t>(row);
  }

  j.src = s.pixels;
  j.srcWidth = s.width;
  j.srcHeight = s.height;
  j.srcPitch = s.pitch;
  j.dst = d.pixels;
  j.dstWidth = d.width;
  j.dstPitch = d.pitch;
  j.y0 = 0;
  j.y1 = d.height;
  j.depth = d.depth;
  j.bilinearMapping = bilinear;
  j.nearest = (flags & 1) != 0;
  j.fill = fill;
  if (use_mask) {
    j.fillMask = mask.pixels;
    j.fillMaskPitch = mask.pitch;
  }
  return Capped(Warp(j));
}

}  // namespace

extern "C" int32_t mrPerspectiveTrans(int32_t src, int32_t dst, int32_t matrix, int32_t fillMask,
                                      int32_t fill, int32_t flags) {
  return err::GuardedWhen(__func__, int32_t(-1), [](int32_t r) { return r < 0; }, [&] {
    return PerspectiveTrans(src, dst, matrix, fillMask, fill, flags);
  });
}

extern "C" int32_t mrScaleFromPoint(int32_t h, int32_t cx, int32_t cy, double s, int32_t fill,
                                    int32_t flags) {
  return err::GuardedWhen(__func__, int32_t(-1), [](int32_t r) { return r < 0; }, [&]() -> int32_t {
    RectView v;
    if (!ResolveRect(h, v)) return -1;
    if (v.Empty())
      return err::Fail(err::kParameter, "image %d is empty", static_cast<int>(h)), -1;
    RectOwner copy(mrCopyAs(h));
    if (!copy) return err::FailMemory(), -1;
    const double inv = 1.0 / s;
    double m[9] = {inv, 0.0, cx * (1.0 - inv), 0.0, inv, cy * (1.0 - inv), 0.0, 0.0, 1.0};
    RectOwner matrix(mrMakeExtern(m, 64, 3, 3, 24));
    if (!matrix) return err::FailMemory(), -1;
    return mrPerspectiveTrans(copy.get(), h, matrix.get(), 0, fill, flags & 0xFF);
  });
}

namespace {
double BestScaleMask(int32_t imageA, int32_t imageB, int32_t mask, int32_t cx, int32_t cy,
                     double step, double first, double last, double* bestScale);
}  // namespace

extern "C" double mrBestScaleMask(int32_t imageA, int32_t imageB, int32_t mask, int32_t cx,
                                  int32_t cy, double step, double first, double last,
                                  double* bestScale) {
  return err::GuardedWhen(__func__, -1.0, [](double r) { return r < 0.0; }, [&] {
    return BestScaleMask(imageA, imageB, mask, cx, cy, step, first, last, bestScale);
  });
}

namespace {

double BestScaleMask(int32_t imageA, int32_t imageB, int32_t mask, int32_t cx, int32_t cy,
                     double step, double first, double last, double* bestScale) {
  RectView a, b, m;
  if (!reg::CheckDepth(imageA, 8, &a) || !reg::CheckDepth(imageB, 8, &b)) return -1.0;
  if (!SameSize(a, b)) return reg::SizesDiffer("image", imageA, a, "image", imageB, b), -1.0;
  const uint8_t* mask_pixels = nullptr;
  if (mask != 0) {
    if (!reg::CheckDepth(mask, 1, &m)) return -1.0;
    if (m.width < a.width || m.height < a.height)
      return reg::Smaller("mask", mask, m, imageA, a), -1.0;
    mask_pixels = m.pixels;
  }
  const double count = std::floor((last - first + 1.5 * step) / step);
  // A table of 2n doubles; more scales than this are no search.
  if (!(count >= 1.0 && count <= 1 << 24))
    return err::Fail(err::kParameter, "%g to %g in steps of %g is no scale search", first, last,
                     step),
           -1.0;
  const int32_t n = static_cast<int32_t>(count);
  std::unique_ptr<double[]> table(new (std::nothrow) double[2 * static_cast<size_t>(n)]);
  if (!table) return err::FailMemory(), -1.0;
  const int64_t total = RunOnPath(CurrentKernelPath(), ScaleMaskDataScalar, ScaleMaskDataVector,
                                  a.pixels, a.width, a.height, a.pitch, b.pixels, b.pitch,
                                  mask_pixels, m.pitch, cx, cy, n, first, step, table.get());
  if (total == 0) return reg::NothingCompared(), -1.0;
  // The smallest positive mean square; zeros (a perfect match, or no
  // comparison) are passed over.
  double result = HUGE_VAL, best = 0.0;
  for (int32_t i = 0; i < n; ++i) {
    if (table[i] > 0.0 && table[i] < result) {
      result = table[i];
      best = first + i * step;
    }
  }
  if (result == HUGE_VAL) result = table[0] + 1.0;
  if (bestScale != nullptr) *bestScale = best;
  return result;
}

}  // namespace
