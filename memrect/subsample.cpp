#include "memrect/subsample.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "generic/keywords.h"
#include "generic/last_error.h"
#include "improc/blocksub.h"
#include "memrect/convert.h"
#include "memrect/memrect.h"
#include "memrect/pixelwise.h"
#include "memrect/rect_owner.h"

namespace {

namespace err = vantor::err;

const char kStatistics[] = "MIN MAX RANGE MEAN STD MINMAX MAXMIN MID";

struct Resolved {
  int32_t depth = -1, width = 0, height = 0, pitch = 0;
  void* pixels = nullptr;
};

Resolved Resolve(int32_t h) {
  Resolved r;
  r.depth = mrGetExtendedInfo(h, &r.width, &r.height, &r.pitch, &r.pixels);
  return r;
}

// Subsamples into `output`, which exists; true on success.
bool Subsample(int32_t source, const Resolved& src, int32_t output, int32_t bx, int32_t by,
               const char* keyword) {
  if (src.depth == 16 || src.depth == 32) {
    vantor::RectOwner grey(mrCreate(8, src.width, src.height));
    if (grey.get() < 1) return false;
    const int32_t maximum = mrConvert(source, grey.get(), -2);
    vantor::RectOwner small(mrBlockSubsampling(grey.get(), 0, bx, by, keyword));
    if (small.get() < 1) return false;
    // A given output of another size receives the common corner.
    const Resolved out = Resolve(output);
    const Resolved part = Resolve(small.get());
    const int32_t w = std::min(out.width, part.width), h = std::min(out.height, part.height);
    vantor::RectOwner from, into;
    int32_t a = small.get(), b = output;
    if (out.width != part.width || out.height != part.height) {
      from.reset(mrCreateOverlay(a, 0, 0, w, h));
      into.reset(mrCreateOverlay(b, 0, 0, w, h));
      if (from.get() < 1 || into.get() < 1) return false;
      a = from.get();
      b = into.get();
    }
    if (mrConvert(a, b, 0) < 0) return false;
    // The 8-bit copy was stretched only when the maximum exceeded 255.
    if (maximum > 255) mrMulDiv(output, static_cast<uint32_t>(maximum), 255);
    return true;
  }
  const Resolved out = Resolve(output);
  const uint32_t code = WordInText(kStatistics, nullptr, 0, keyword, 0);
  if (src.depth == 8) {
    return BlockSubsampling(src.pixels, src.width, src.height, src.pitch, out.pixels, out.width,
                            out.height, out.pitch, bx, by, static_cast<int32_t>(code)) != 0;
  }
  // 24 bits: red, green and blue subsampled as planes one after another, all
  // before the output is written, so that a shortage leaves it as it was.
  vantor::RectOwner plane(mrCreate(8, src.width, src.height));
  if (plane.get() < 1) return false;
  vantor::RectOwner small[3];
  for (auto& s : small) {
    s.reset(mrCreate(8, out.width, out.height));
    if (s.get() < 1) return false;
  }
  const int32_t weights[3][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  for (int c = 0; c < 3; ++c) {
    const int32_t* wgt = weights[c];
    mrRGBtoGray(source, plane.get(), wgt[0], wgt[1], wgt[2]);
    if (mrBlockSubsampling(plane.get(), small[c].get(), bx, by, keyword) == 0) return false;
  }
  for (int c = 0; c < 3; ++c) {
    const int32_t* wgt = weights[c];
    mrBytesToRGB(small[c].get(), output, c == 0 ? "Fill" : "Add", wgt[0], wgt[1], wgt[2]);
  }
  return true;
}

}  // namespace

extern "C" {

int32_t mrBlockSubsampling(int32_t source, int32_t output, int32_t bx, int32_t by,
                           const char* keyword) {
  return vantor::err::Guarded(__func__, int32_t(0), [&]() -> int32_t {
    if (bx < 1 || by < 1) {
      return err::Fail(err::kParameter, "block %d x %d (both at least 1)", bx, by), 0;
    }
    if (keyword == nullptr) return err::Fail(err::kParameter, "no keyword given"), 0;
    if (WordInText(kStatistics, nullptr, 0, keyword, 0) == 0) {
      return err::Fail(err::kParameter, "keyword '%.40s' is not one of %s", keyword, kStatistics),
             0;
    }
    const Resolved src = Resolve(source);
    if (src.depth < 0) return 0;  // the handle's cause is stated
    if (src.depth != 8 && src.depth != 16 && src.depth != 24 && src.depth != 32) {
      return err::FailDepth(source, src.depth), 0;
    }
    if (src.width / bx == 0 || src.height / by == 0) {
      return err::Fail(err::kParameter, "image %d (%d x %d) holds no whole block of %d x %d",
                       source, src.width, src.height, bx, by),
             0;
    }
    vantor::RectOwner created;
    if (output == 0) {
      created = vantor::RectOwner(mrCreate(src.depth, src.width / bx, src.height / by));
      if (created.get() < 1) return 0;
      output = created.get();
    } else {
      const Resolved out = Resolve(output);
      if (out.depth < 0) return 0;
      if (out.depth != src.depth) {
        return err::Fail(err::kParameter, "output %d has depth %d, the source %d depth %d", output,
                         out.depth, source, src.depth),
               0;
      }
      if (out.width == 0 || out.height == 0) {
        return err::Fail(err::kParameter, "output %d is empty", output), 0;
      }
    }
    if (!Subsample(source, src, output, bx, by, keyword)) return 0;
    created.release();
    return output;
  });
}

int32_t mrZoomMask(int32_t source, int32_t output) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    const Resolved src = Resolve(source);
    if (src.depth < 0) return -1;
    const Resolved out = Resolve(output);
    if (out.depth < 0) return -1;
    for (const auto& [h, r] : {std::pair{source, src}, std::pair{output, out}}) {
      if (r.depth != 1)
        return err::Fail(err::kParameter, "image %d has depth %d, not 1", h, r.depth), -1;
      if (r.width <= 0) return err::Fail(err::kParameter, "mask %d has width 0", h), -1;
    }
    if (src.height <= 0 && out.height > 0) {
      return err::Fail(err::kParameter, "mask %d has no rows to fill mask %d with", source, output),
             -1;
    }
    // Only the row's own bytes are copied: an overlay's pitch spans its parent.
    const size_t rowBytes = (static_cast<size_t>(out.width) + 7) / 8;
    int64_t previous = -1;
    for (int32_t r = 0; r < out.height; ++r) {
      const int64_t sr = static_cast<int64_t>(r) * src.height / out.height;
      auto* dst = static_cast<uint8_t*>(out.pixels) + static_cast<ptrdiff_t>(r) * out.pitch;
      if (sr == previous) {
        MovMemory(dst - out.pitch, dst, rowBytes);
        continue;
      }
      const auto* row =
          static_cast<const uint8_t*>(src.pixels) + static_cast<ptrdiff_t>(sr) * src.pitch;
      if (BitRowToRow(row, src.width, dst, out.width) == 0) return -1;
      previous = sr;
    }
    return out.height;
  });
}

}  // extern "C"
