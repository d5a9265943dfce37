// From floating-point images to grey: the finite range of a rectangle of
// doubles, and its mapping onto 0..255. Loaded floating-point files keep NaN
// and infinities; these helpers leave them out of the range and map them to 0.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "generic/last_error.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"

namespace err = vantor::err;

namespace {

struct Rows {
  int32_t depth = -1, width = 0, height = 0, pitch = 0;
  uint8_t* base = nullptr;
};

Rows Look(int32_t h) {
  Rows r;
  void* p = nullptr;
  r.depth = mrGetExtendedInfo(h, &r.width, &r.height, &r.pitch, &p);
  r.base = static_cast<uint8_t*>(p);
  return r;
}

// States why h is no image of doubles; false.
bool NotDoubles(int32_t h, int32_t depth) {
  return depth < 0 ? err::FailHandle(h) : err::FailDepth(h, depth);
}

// Pixel x of a row of doubles (rows need not be 8-byte aligned).
inline double At(const uint8_t* row, int32_t x) {
  double v;
  std::memcpy(&v, row + 8 * std::ptrdiff_t(x), 8);
  return v;
}

}  // namespace

extern "C" {

int32_t mrFiniteMinMax(int32_t source, double* lo, double* hi) {
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (lo) *lo = 0;
    if (hi) *hi = 0;
    const Rows s = Look(source);
    if (s.depth != 64) return NotDoubles(source, s.depth), -1;
    double mn = INFINITY, mx = -INFINITY;
    int64_t count = 0;
    for (int32_t y = 0; y < s.height; ++y) {
      const uint8_t* row = s.base + std::ptrdiff_t(y) * s.pitch;
      for (int32_t x = 0; x < s.width; ++x) {
        const double v = At(row, x);
        if (!std::isfinite(v)) continue;
        mn = v < mn ? v : mn;
        mx = v > mx ? v : mx;
        ++count;
      }
    }
    if (count == 0) return 0;
    if (lo) *lo = mn;
    if (hi) *hi = mx;
    return count > INT32_MAX ? INT32_MAX : int32_t(count);
  });
}

int32_t mrDoubleToGrey(int32_t source, int32_t destination, double lo, double hi) {
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    const Rows s = Look(source);
    const Rows d = Look(destination);
    if (s.depth != 64) return NotDoubles(source, s.depth), -1;
    if (d.depth < 0) return err::FailHandle(destination), -1;
    if (d.depth != 8) return err::FailDepth(destination, d.depth), -1;
    if (s.width != d.width || s.height != d.height)
      return err::FailSizes(source, destination), -1;
    if (!std::isfinite(lo) || !std::isfinite(hi) || hi < lo)
      return err::Fail(err::kParameter, "range %g to %g is not a finite rising range", lo, hi), -1;
    const double scale = hi > lo ? 255.0 / (hi - lo) : 0.0;
    int64_t nonFinite = 0;
    for (int32_t y = 0; y < s.height; ++y) {
      const uint8_t* in = s.base + std::ptrdiff_t(y) * s.pitch;
      uint8_t* out = d.base + std::ptrdiff_t(y) * d.pitch;
      for (int32_t x = 0; x < s.width; ++x) {
        const double v = At(in, x);
        uint8_t g;
        if (!std::isfinite(v)) {
          g = 0;
          ++nonFinite;
        } else if (v <= lo) {
          g = 0;
        } else if (v >= hi) {
          g = 255;
        } else {
          g = uint8_t((v - lo) * scale + 0.5);
        }
        out[x] = g;
      }
    }
    return nonFinite > INT32_MAX ? INT32_MAX : int32_t(nonFinite);
  });
}

}  // extern "C"
