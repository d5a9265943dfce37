// Chromatic aberration: the channel scales are measured with the scale search
// (red against green, then the larger of the two against blue, coarse and then
// fine) and applied by magnifying the smaller channels about the centre.
// 48-bit images are measured on a 24-bit working copy and corrected on their
// own 16-bit channels.
#include "registration/chrom.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "generic/last_error.h"
#include "memrect/convert.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "registration/checks.h"
#include "registration/warp.h"

namespace err = vantor::err;

namespace {

using vantor::RectOwner;
using vantor::reg::MemoryFailed;

constexpr double kLowest = 0.98, kHighest = 1.02;
// A best match whose root mean square difference reaches this is not trusted.
constexpr double kMaxResidual = 80.0;

constexpr int32_t kWeights[3][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};

struct Image {
  int32_t depth = -1, width = 0, height = 0;
  int32_t Longer() const { return std::max(width, height); }
  // Scales not above this move no edge pixel by more than about a pixel.
  double Threshold() const { return 1.0 + 2.0 / Longer(); }
};

bool Describe(int32_t h, Image* im) {
  im->depth = mrGetRectInfo(h, &im->width, &im->height);
  if (im->depth < 1) return err::FailHandle(h);
  if (im->depth != 24 && im->depth != 48) return err::FailDepth(h, im->depth);
  if (im->width <= 0 || im->height <= 0)
    return err::Fail(err::kParameter, "image %d is empty", static_cast<int>(h));
  return true;
}

// A destination handle given by the caller must have the source's layout.
bool Fits(int32_t dst, const Image& src) {
  if (dst <= 0) return true;
  Image d;
  d.depth = mrGetRectInfo(dst, &d.width, &d.height);
  if (d.depth < 1) return err::FailHandle(dst);
  if (d.depth == src.depth && d.width == src.width && d.height == src.height) return true;
  return err::Fail(err::kParameter,
                   "destination %d (%d x %d, depth %d) does not match the source (%d x %d, "
                   "depth %d)",
                   static_cast<int>(dst), static_cast<int>(d.width), static_cast<int>(d.height),
                   static_cast<int>(d.depth), static_cast<int>(src.width),
                   static_cast<int>(src.height), static_cast<int>(src.depth));
}

// A mask given by the caller: 1-bit, at least the image's size.
bool MaskFits(int32_t mask, const Image& im) {
  if (mask == 0) return true;
  Image m;
  m.depth = mrGetRectInfo(mask, &m.width, &m.height);
  if (m.depth < 1) return err::FailHandle(mask);
  if (m.depth != 1) return err::FailDepth(mask, m.depth);
  if (m.width >= im.width && m.height >= im.height) return true;
  return err::Fail(err::kParameter, "mask %d (%d x %d) is smaller than the image (%d x %d)",
                   static_cast<int>(mask), static_cast<int>(m.width), static_cast<int>(m.height),
                   static_cast<int>(im.width), static_cast<int>(im.height));
}

// A result made while an allocation failed on the way is none: the one made
// here is freed (a destination given is left as the failed step left it).
int32_t Checked(int32_t out, int32_t dst) {
  if (out == 0 || !MemoryFailed()) return out;
  if (dst <= 0) mrFree(out);
  return err::FailMemory(), 0;
}

bool Unextractable(int32_t src, const Image& im) {
  return err::Fail(err::kParameter, "the channels of image %d (%d x %d, depth %d) cannot be extracted",
                   static_cast<int>(src), static_cast<int>(im.width), static_cast<int>(im.height),
                   static_cast<int>(im.depth));
}

// The red, green and blue channels of src as planes of a third of its depth.
// A source whose rows the channel extraction refuses (an overlay narrower
// than its parent) is copied first.
bool Extract(int32_t src, const Image& im, RectOwner planes[3]) {
  RectOwner copy;
  int32_t from = src;
  for (int c = 0; c < 3; ++c) {
    planes[c].reset(mrCreateAsWithPix(src, im.depth / 3));
    if (!planes[c]) return err::FailMemory();
    const int32_t* w = kWeights[c];
    if (mrRGBtoGray(from, planes[c].get(), w[0], w[1], w[2]) >= 0) continue;
    if (MemoryFailed()) return err::FailMemory();
    if (c != 0) return Unextractable(src, im);
    copy.reset(mrCopyAs(src));
    from = copy.get();
    if (!copy) return err::FailMemory();
    if (mrRGBtoGray(from, planes[c].get(), w[0], w[1], w[2]) < 0)
      return MemoryFailed() ? err::FailMemory() : Unextractable(src, im);
  }
  return true;
}

// Magnifies the planes whose scale is above the threshold (the others are set
// to 1.0) and assembles them into dst, or into a new rectangle like src when
// dst is 0 or less. Returns the destination, or 0.
int32_t Apply(int32_t src, int32_t dst, const Image& im, int32_t cx, int32_t cy, int32_t flags,
              RectOwner planes[3], double scales[3]) {
  for (int c = 0; c < 3; ++c) {
    if (!(scales[c] > im.Threshold())) {
      scales[c] = 1.0;
      continue;
    }
    if (mrScaleFromPoint(planes[c].get(), cx, cy, scales[c], 0, flags) < 0) return 0;
  }
  RectOwner made;
  if (dst <= 0) {
    made.reset(mrCreateAs(src));
    if (!made) return err::FailMemory(), 0;
    dst = made.get();
  }
  static const char* const kHow[3] = {"Fill", "Add", "Add"};
  for (int c = 0; c < 3; ++c) {
    const int32_t* w = kWeights[c];
    if (mrBytesToRGB(planes[c].get(), dst, kHow[c], w[0], w[1], w[2]) < 0) return 0;
  }
  made.release();
  return dst;
}

// Coarse and then fine scale search of A against B about (cx, cy).
bool Search(int32_t a, int32_t b, int32_t mask, const Image& im, int32_t cx, int32_t cy,
            double* scale, double* residual) {
  const double coarse = std::sqrt((kHighest - kLowest) / (2.0 * im.Longer()));
  const double fine = 1.0 / im.Longer();
  double first = 0.0, best = 0.0;
  if (mrBestScaleMask(a, b, mask, cx, cy, coarse, kLowest, kHighest, &first) < 0.0) return false;
  const double v = mrBestScaleMask(a, b, mask, cx, cy, fine, first - coarse, first + coarse, &best);
  if (v < 0.0) return false;
  *scale = best;
  *residual = std::sqrt(v);
  return true;
}

bool Accepted(double scale, double residual) {
  return residual < kMaxResidual && (scale < 1.0 ? scale > kLowest : scale < kHighest);
}

// The channel scales of a 24-bit image, from its planes.
bool Measure(RectOwner planes[3], int32_t mask, const Image& im, int32_t cx, int32_t cy,
             double scales[3]) {
  scales[0] = scales[1] = scales[2] = 1.0;
  double m = 0.0, r = 0.0;
  if (!Search(planes[0].get(), planes[1].get(), mask, im, cx, cy, &m, &r)) return false;
  // The reference is the larger of red and green.
  int ref = m < 1.0 ? 1 : 0;
  if (Accepted(m, r)) scales[ref == 1 ? 0 : 1] = m < 1.0 ? 1.0 / m : m;
  double t = 0.0, r2 = 0.0;
  if (!Search(planes[ref].get(), planes[2].get(), mask, im, cx, cy, &t, &r2)) return false;
  if (Accepted(t, r2)) {
    if (t < 1.0) {
      // Blue is the largest: the pair grows by 1 / t.
      scales[ref] = 1.0 / t;
      scales[1 - ref] /= t;
      ref = 2;
    } else {
      scales[2] = t;
    }
  }
  scales[ref] = 1.0;
  return true;
}

}  // namespace

extern "C" int32_t mrChromScale(int32_t src, int32_t dst, int32_t cx, int32_t cy, int32_t flags,
                                const double* scales) {
  return err::Guarded(__func__, int32_t(0), [&]() -> int32_t {
    Image im;
    if (scales == nullptr) return err::Fail(err::kParameter, "the scales are null"), 0;
    if (!Describe(src, &im) || !Fits(dst, im)) return 0;
    RectOwner planes[3];
    if (!Extract(src, im, planes)) return 0;
    double s[3] = {scales[0], scales[1], scales[2]};
    return Checked(Apply(src, dst, im, cx, cy, flags, planes, s), dst);
  });
}

namespace {
int32_t ChromAberrMask(int32_t src, int32_t dst, int32_t flags, int32_t mask, double* scales);
}  // namespace

extern "C" int32_t mrChromAberrMask(int32_t src, int32_t dst, int32_t flags, int32_t mask,
                                    double* scales) {
  return err::Guarded(__func__, int32_t(0),
                      [&] { return ChromAberrMask(src, dst, flags, mask, scales); });
}

namespace {

int32_t ChromAberrMask(int32_t src, int32_t dst, int32_t flags, int32_t mask, double* scales) {
  Image im;
  if (!Describe(src, &im) || !Fits(dst, im) || !MaskFits(mask, im)) return 0;
  const int32_t cx = im.width / 2, cy = im.height / 2;
  double s[3];
  int32_t out = 0;
  if (im.depth == 24) {
    RectOwner planes[3];
    if (!Extract(src, im, planes) || !Measure(planes, mask, im, cx, cy, s)) return 0;
    out = Apply(src, dst, im, cx, cy, flags, planes, s);
  } else {
    // Measured on a 24-bit working copy, applied to the 16-bit channels.
    Image work_im = im;
    work_im.depth = 24;
    RectOwner work(mrCreateAsWithPix(src, 24));
    RectOwner planes[3];
    if (!work || mrConvert(src, work.get(), -2) < 0) return err::FailMemory(), 0;
    if (!Extract(work.get(), work_im, planes) || !Measure(planes, mask, work_im, cx, cy, s)) {
      return 0;
    }
    for (double& v : s) {
      if (!(v > im.Threshold())) v = 1.0;
    }
    out = mrChromScale(src, dst, cx, cy, flags, s);
  }
  out = Checked(out, dst);
  if (out != 0 && scales != nullptr) std::copy(s, s + 3, scales);
  return out;
}

}  // namespace
