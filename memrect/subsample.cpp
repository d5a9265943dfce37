#include "memrect/subsample.h"

#include <cstring>

#include "generic/keywords.h"
#include "improc/blocksub.h"
#include "memrect/convert.h"
#include "memrect/memrect.h"
#include "memrect/pixelwise.h"
#include "memrect/rect_owner.h"

namespace {

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
    if (mrConvert(small.get(), output, 0) < 0) return false;
    // The 8-bit copy was stretched only when the maximum exceeded 255.
    if (maximum > 255) mrMulDiv(output, static_cast<uint32_t>(maximum), 255);
    return true;
  }
  const Resolved out = Resolve(output);
  if (out.depth != src.depth) return false;
  const uint32_t code = WordInText(kStatistics, nullptr, 0, keyword, 0);
  if (code == 0) return false;
  if (src.depth == 8) {
    return BlockSubsampling(src.pixels, src.width, src.height, src.pitch, out.pixels, out.width,
                            out.height, out.pitch, bx, by, static_cast<int32_t>(code)) != 0;
  }
  // 24 bits: red, green and blue planes one after another.
  vantor::RectOwner plane(mrCreate(8, src.width, src.height));
  vantor::RectOwner smallPlane(mrCreate(8, out.width, out.height));
  if (plane.get() < 1 || smallPlane.get() < 1) return false;
  const int32_t weights[3][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  for (int c = 0; c < 3; ++c) {
    const int32_t* wgt = weights[c];
    mrRGBtoGray(source, plane.get(), wgt[0], wgt[1], wgt[2]);
    if (mrBlockSubsampling(plane.get(), smallPlane.get(), bx, by, keyword) == 0) return false;
    mrBytesToRGB(smallPlane.get(), output, c == 0 ? "Fill" : "Add", wgt[0], wgt[1], wgt[2]);
  }
  return true;
}

}  // namespace

extern "C" {

int32_t mrBlockSubsampling(int32_t source, int32_t output, int32_t bx, int32_t by,
                           const char* keyword) {
  if (bx < 1 || by < 1 || keyword == nullptr) return 0;
  const Resolved src = Resolve(source);
  if (src.depth != 8 && src.depth != 16 && src.depth != 24 && src.depth != 32) return 0;
  vantor::RectOwner created;
  if (output == 0) {
    created = vantor::RectOwner(mrCreate(src.depth, src.width / bx, src.height / by));
    if (created.get() < 1) return 0;
    output = created.get();
  }
  if (!Subsample(source, src, output, bx, by, keyword)) return 0;
  created.release();
  return output;
}

int32_t mrZoomMask(int32_t source, int32_t output) {
  const Resolved src = Resolve(source);
  const Resolved out = Resolve(output);
  if (src.depth != 1 || out.depth != 1) return -1;
  if (src.width <= 0 || out.width <= 0) return -1;
  if (src.height <= 0 && out.height > 0) return -1;
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
    const auto* row = static_cast<const uint8_t*>(src.pixels) + static_cast<ptrdiff_t>(sr) * src.pitch;
    if (BitRowToRow(row, src.width, dst, out.width) == 0) return -1;
    previous = sr;
  }
  return out.height;
}

}  // extern "C"
