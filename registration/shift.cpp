// Whole-pixel shift searches: the distance of two equal-sized images under a
// mask, the grid search of a small image inside a larger one, and the walk
// through disc-shaped neighbourhoods of untried displacements. The walk keeps
// a map of the displacements it has measured that moves with the centre, so
// each pass measures only the ring that the move uncovers.
#include "registration/shift.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "generic/last_error.h"
#include "improc/pixelops_internal.h"
#include "improc/shift_internal.h"
#include "kernels/kernel_mode.h"
#include "kernels/kernels.h"
#include "memrect/memrect.h"
#include "memrect/neifun.h"
#include "memrect/pixelwise.h"
#include "memrect/rect_owner.h"
#include "memrect/rect_view.h"
#include "registration/checks.h"
#include "registration/shift_maps.h"

namespace err = vantor::err;

namespace {

using vantor::RectOwner;
using vantor::reg::MemoryFailed;
using vantor::RectView;
using vantor::ShiftArgs;
using vantor::ShiftSums;

constexpr double kStartDistance = 256.0;

bool ResolveGrey(int32_t h, RectView& v) { return vantor::reg::CheckDepth(h, 8, &v); }

int64_t CountOnes(const RectView& m) { return vantor::reg::MaskOnes(m); }

ShiftArgs Args(const RectView& a, const uint8_t* b, ptrdiff_t bPitch, const RectView* mask,
               int64_t x, int64_t y, double bound) {
  ShiftArgs s;
  s.a = a.pixels;
  s.width = a.width;
  s.height = a.height;
  s.aPitch = a.pitch;
  s.b = b;
  s.bPitch = bPitch;
  if (mask != nullptr) {
    s.mask = mask->pixels;
    s.maskPitch = mask->pitch;
  }
  s.x = x;
  s.y = y;
  s.bound = bound;
  return s;
}

// Bound of the early exit for a distance limit over n pixels.
double Bound(double limit, int64_t n) { return limit * limit * static_cast<double>(n) + 1.0; }

// The placements of A inside B already measured, one bit each.
class PlacementMap {
 public:
  bool Init(int64_t columns, int64_t rows) {
    columns_ = columns;
    try {
      bits_.assign(static_cast<size_t>((columns * rows + 63) / 64), 0);
    } catch (const std::bad_alloc&) {
      return err::FailMemory();
    }
    return true;
  }
  // Marks (v, u); false when it was marked already.
  bool Mark(int64_t v, int64_t u) {
    const int64_t i = u * columns_ + v;
    uint64_t& word = bits_[static_cast<size_t>(i >> 6)];
    const uint64_t bit = uint64_t{1} << (i & 63);
    if (word & bit) return false;
    word |= bit;
    return true;
  }

 private:
  int64_t columns_ = 0;
  std::vector<uint64_t> bits_;
};

// The first point start + k * step (k >= 0) at or above lo.
int64_t FirstOnGrid(int64_t start, int64_t step, int64_t lo) {
  if (start >= lo) return start;
  return start + (lo - start + step - 1) / step * step;
}

// The walk of mrFindShift and mrFindShiftVic.
double Walk(int32_t imageA, int32_t imageB, int32_t mask, int32_t d, int32_t* x, int32_t* y,
            int32_t* vicinity) {
  RectView a, b, m;
  if (!ResolveGrey(imageA, a) || !ResolveGrey(imageB, b)) return -1.0;
  if (b.width < a.width || b.height < a.height)
    return vantor::reg::Smaller("image", imageB, b, imageA, a), -1.0;
  const RectView* mp = nullptr;
  int64_t n = a.Pixels();
  if (mask != 0) {
    if (!vantor::reg::CheckMask(mask, imageA, a, &m)) return -1.0;
    mp = &m;
    n = CountOnes(m);
  }
  const int64_t minimum = std::max<int64_t>(n / 10, 128);
  d = std::clamp(d, 0, MR_SHIFT_MAX_RADIUS);
  const int32_t e = (3 * d) | 1;
  const int32_t c = e / 2;

  RectOwner window(mrCreate(1, e, e)), visited(mrCreate(1, e, e)), vic;
  if (!window || !visited) return err::FailMemory(), -1.0;
  RectView wv, mv;
  if (!vantor::ResolveRect(window.get(), wv)) return err::FailMemory(), -1.0;
  if (vicinity != nullptr) {
    vic.reset(mrCreate(64, e, e));
    if (!vic || !vantor::ResolveRect(vic.get(), mv)) return err::FailMemory(), -1.0;
  }

  int64_t x0 = x != nullptr ? *x : 0, y0 = y != nullptr ? *y : 0;
  int64_t best_x = x0, best_y = y0;
  double best = kStartDistance, last = kStartDistance;
  for (;;) {
    // The untried candidates within about d of the centre.
    std::memset(wv.pixels, 0, static_cast<size_t>(wv.pitch) * wv.height);
    mrPutPixel(window.get(), c, c, 1);
    if (mrNeiFun(window.get(), "DILATE48", d) != 0) return err::FailMemory(), -1.0;
    mrPixelwise(visited.get(), "Less", window.get());
    mrPixelwise(window.get(), "Or", visited.get());
    if (mrMaskSubrectOnes(window.get(), 0, 0, e, e) == 0) break;

    bool accepted = false;
    int32_t sx = 0, sy = 0;
    while (mrFindNext(window.get(), &sx, &sy) == 1) {
      const int64_t dx = x0 + sx - c, dy = y0 + sy - c;
      // The bound grows from the previous candidate's value but never drops
      // below the best, so no stopped measure can pass for an improvement.
      const double bound = Bound(std::max(last, best), n);
      double value = -1.0;
      int64_t count = 0;
      if (dx > -a.width && dx < a.width && dy > -a.height && dy < a.height) {
        const ShiftSums s = vantor::ShiftDiff(Args(a, b.pixels, b.pitch, mp, dx, dy, bound));
        count = s.count;
        if (count > 0) value = std::sqrt(static_cast<double>(s.sum) / static_cast<double>(count));
      }
      last = value;
      if (vicinity != nullptr) {
        std::memcpy(mv.Row(sy) + static_cast<size_t>(sx) * 8, &value, sizeof value);
      }
      if (count > minimum && value >= 0.0 && value < best) {
        best = value;
        best_x = dx;
        best_y = dy;
        accepted = true;
      }
      ++sx;
    }
    // Unchanged centre: the next pass would find no untried candidate.
    if (!accepted || (best_x == x0 && best_y == y0)) break;
    // Keep every mark on the displacement it names.
    const int32_t mx = static_cast<int32_t>(std::clamp<int64_t>(x0 - best_x, -e, e));
    const int32_t my = static_cast<int32_t>(std::clamp<int64_t>(y0 - best_y, -e, e));
    // A map that did not move would name the wrong displacements.
    if (mrSlide(visited.get(), mx, my, 0) < 0 ||
        (vicinity != nullptr && mrSlide(vic.get(), mx, my, 0) < 0))
      return err::FailMemory(), -1.0;
    x0 = best_x;
    y0 = best_y;
  }
  if (MemoryFailed()) return err::FailMemory(), -1.0;
  if (best < kStartDistance) {
    if (x != nullptr) *x = static_cast<int32_t>(best_x);
    if (y != nullptr) *y = static_cast<int32_t>(best_y);
  }
  if (vicinity != nullptr) *vicinity = vic.release();
  return best;
}

}  // namespace

extern "C" double mrAverSquareDiff(int32_t imageA, int32_t imageB, int32_t mask, double limit) {
  return err::Guarded(__func__, -1.0, [&]() -> double {
    RectView a, b, m;
    if (!ResolveGrey(imageA, a) || !ResolveGrey(imageB, b)) return -1.0;
    if (!vantor::SameSize(a, b))
      return vantor::reg::SizesDiffer("image", imageA, a, "image", imageB, b), -1.0;
    if (a.Empty())
      return err::Fail(err::kParameter, "image %d is empty", static_cast<int>(imageA)), -1.0;
    const RectView* mp = nullptr;
    int64_t n = a.Pixels();
    if (mask != 0) {
      if (!vantor::reg::CheckMask(mask, imageA, a, &m) || !vantor::reg::CheckNotEmpty(mask, m))
        return -1.0;
      n = CountOnes(m);
      mp = &m;
    }
    const ShiftSums s = vantor::ShiftDiff(Args(a, b.pixels, b.pitch, mp, 0, 0, Bound(limit, n)));
    return std::sqrt(static_cast<double>(s.sum) / static_cast<double>(n));
  });
}

namespace {
double BestShift(int32_t imageA, int32_t imageB, int32_t c, int32_t* dx, int32_t* dy);
}  // namespace

extern "C" double mrBestShift(int32_t imageA, int32_t imageB, int32_t c, int32_t* dx,
                              int32_t* dy) {
  return err::Guarded(__func__, -1.0, [&] { return BestShift(imageA, imageB, c, dx, dy); });
}

namespace {

double BestShift(int32_t imageA, int32_t imageB, int32_t c, int32_t* dx, int32_t* dy) {
  RectView a, b;
  if (!ResolveGrey(imageA, a) || !ResolveGrey(imageB, b)) return -1.0;
  if (c < 0) return err::Fail(err::kParameter, "step %d is negative", static_cast<int>(c)), -1.0;
  if (a.Empty())
    return err::Fail(err::kParameter, "image %d is empty", static_cast<int>(imageA)), -1.0;
  const int64_t spare_x = static_cast<int64_t>(b.width) - a.width;
  const int64_t spare_y = static_cast<int64_t>(b.height) - a.height;
  if (spare_x < 2 * static_cast<int64_t>(c) || spare_y < 2 * static_cast<int64_t>(c))
    return err::Fail(err::kParameter,
                     "image %d (%d x %d) is not 2 x %d pixels wider and higher than image %d "
                     "(%d x %d)",
                     static_cast<int>(imageB), static_cast<int>(b.width),
                     static_cast<int>(b.height), static_cast<int>(c), static_cast<int>(imageA),
                     static_cast<int>(a.width), static_cast<int>(a.height)),
           -1.0;
  const int64_t l = spare_x / 2, h = spare_y / 2;
  double best = kStartDistance;
  int64_t g = l, f = h;
  if (c > 0) {
    PlacementMap visited;
    if (!visited.Init(spare_x + 1, spare_y + 1)) return -1.0;
    const int64_t n = a.Pixels();
    for (int64_t o = c; o != 0;) {
      int64_t next_g = g, next_f = f;
      bool improved = false;
      // Only placements that keep A wholly inside B are tried.
      const int64_t u_end = std::min(f + c, spare_y), v_end = std::min(g + c, spare_x);
      for (int64_t u = FirstOnGrid(f - c, o, 0); u <= u_end; u += o) {
        for (int64_t v = FirstOnGrid(g - c, o, 0); v <= v_end; v += o) {
          if (!visited.Mark(v, u)) continue;
          const uint8_t* window = b.pixels + static_cast<ptrdiff_t>(u) * b.pitch + v;
          const ShiftSums s = vantor::ShiftDiff(Args(a, window, b.pitch, nullptr, 0, 0, Bound(best, n)));
          const double value = std::sqrt(static_cast<double>(s.sum) / static_cast<double>(n));
          if (value < best) {
            best = value;
            next_g = v;
            next_f = u;
            improved = true;
          }
        }
      }
      g = next_g;
      f = next_f;
      if (!improved) o /= 2;
    }
  }
  if (dx != nullptr) *dx = static_cast<int32_t>(l - g);
  if (dy != nullptr) *dy = static_cast<int32_t>(h - f);
  return best;
}

}  // namespace

extern "C" double mrFindShift(int32_t imageA, int32_t imageB, int32_t mask, int32_t d,
                              int32_t* x, int32_t* y) {
  return err::Guarded(__func__, -1.0, [&] { return Walk(imageA, imageB, mask, d, x, y, nullptr); });
}

extern "C" double mrFindShiftVic(int32_t imageA, int32_t imageB, int32_t mask, int32_t d,
                                 int32_t* x, int32_t* y, int32_t* vicinity) {
  return err::Guarded(__func__, -1.0,
                      [&] { return Walk(imageA, imageB, mask, d, x, y, vicinity); });
}
