// Frames of the Python module: caller memory wrapped as extern rectangles
// where the library can read it as it is, converted copies where it cannot.
#include "python/src/frames.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "memrect/convert.h"

namespace vantor::pymod {

int32_t DepthOf(PixelKind kind) {
  switch (kind) {
    case PixelKind::kU8: return 8;
    case PixelKind::kU16: return 16;
    case PixelKind::kF32:
    case PixelKind::kF64: return 64;
    case PixelKind::kRgb8: return 24;
    case PixelKind::kRgb16: return 48;
  }
  return 0;
}

int32_t PixelBytes(PixelKind kind) {
  switch (kind) {
    case PixelKind::kU8: return 1;
    case PixelKind::kU16: return 2;
    case PixelKind::kF32: return 4;
    case PixelKind::kF64: return 8;
    case PixelKind::kRgb8: return 3;
    case PixelKind::kRgb16: return 6;
  }
  return 0;
}

const char* KindName(PixelKind kind) {
  switch (kind) {
    case PixelKind::kU8: return "uint8";
    case PixelKind::kU16: return "uint16";
    case PixelKind::kF32: return "float32";
    case PixelKind::kF64: return "float64";
    case PixelKind::kRgb8: return "uint8 colour";
    case PixelKind::kRgb16: return "uint16 colour";
  }
  return "?";
}

namespace {

template <typename T>
FloatRange RangeOf(const FrameView& f) {
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (int32_t y = 0; y < f.height; ++y) {
    const T* row = reinterpret_cast<const T*>(f.data + y * f.rowStride);
    for (int32_t x = 0; x < f.width; ++x) {
      const double v = row[x];
      if (!std::isfinite(v)) continue;
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  }
  if (lo > hi) return {};
  return {lo, hi};
}

// v mapped from range onto 0..255, rounded and clipped; NaN and infinities 0.
template <typename T>
void FloatToGrey(const FrameView& f, const FloatRange& r, uint8_t* dst, int32_t dstPitch) {
  // Halves keep the span finite for ranges near the largest doubles.
  const double span = 0.5 * r.hi - 0.5 * r.lo;
  const double scale = span > 0.0 ? 255.0 / span : 0.0;
  for (int32_t y = 0; y < f.height; ++y) {
    const T* row = reinterpret_cast<const T*>(f.data + y * f.rowStride);
    uint8_t* d = dst + static_cast<int64_t>(y) * dstPitch;
    for (int32_t x = 0; x < f.width; ++x) {
      const double v = row[x];
      if (!std::isfinite(v)) {
        d[x] = 0;
        continue;
      }
      const double g = std::floor((0.5 * v - 0.5 * r.lo) * scale + 0.5);
      d[x] = static_cast<uint8_t>(std::clamp(g, 0.0, 255.0));
    }
  }
}

bool Fail(PreparedRects* out, const std::string& why) {
  out->error = why;
  return false;
}

// A new owned rectangle whose pitch passes the colour conversion's width test
// (pitch / width equal to the bytes of a pixel): the 4-byte rows unless the
// frame is so narrow that padding breaks it.
int32_t CreateTight(int32_t depth, int32_t width, int32_t height) {
  const int32_t bytes = depth / 8;
  const int64_t padded = ((static_cast<int64_t>(depth) * width + 31) / 32) * 4;
  if (width > 0 && padded / width != bytes) return mrCreateRoundPitch(depth, width, height, 1);
  return mrCreate(depth, width, height);
}

}  // namespace

FloatRange FiniteRange(const FrameView& f) {
  if (f.kind == PixelKind::kF32) return RangeOf<float>(f);
  if (f.kind == PixelKind::kF64) return RangeOf<double>(f);
  return {};
}

int32_t WrapView(const FrameView& f) {
  if (f.kind == PixelKind::kF32 || f.rowStride > std::numeric_limits<int32_t>::max()) return -1;
  return mrMakeExtern(const_cast<uint8_t*>(f.data), DepthOf(f.kind), f.width, f.height,
                      static_cast<int32_t>(f.rowStride));
}

bool PrepareRects(const FrameView& f, const FloatRange& range, bool wantFull, PreparedRects* out) {
  const int32_t w = f.width, h = f.height;
  if (f.kind == PixelKind::kF32 || f.kind == PixelKind::kF64) {
    out->grey = Rect(mrCreate(8, w, h));
    uint8_t* g = nullptr;
    int32_t pitch = 0;
    if (!out->grey || mrGetExtendedInfo(out->grey.get(), nullptr, nullptr, &pitch,
                                        reinterpret_cast<void**>(&g)) != 8)
      return Fail(out, "out of memory for the grey frame");
    if (f.kind == PixelKind::kF32)
      FloatToGrey<float>(f, range, g, pitch);
    else
      FloatToGrey<double>(f, range, g, pitch);
    if (!wantFull) return true;
    if (f.kind == PixelKind::kF64) {
      out->full = Rect(WrapView(f));
    } else {
      // The precise method reads doubles: a double copy of the float32 frame.
      out->full = Rect(mrCreate(64, w, h));
      double* d = nullptr;
      int32_t dp = 0;
      if (out->full && mrGetExtendedInfo(out->full.get(), nullptr, nullptr, &dp,
                                         reinterpret_cast<void**>(&d)) == 64) {
        for (int32_t y = 0; y < h; ++y) {
          const float* s = reinterpret_cast<const float*>(f.data + y * f.rowStride);
          double* dr = reinterpret_cast<double*>(reinterpret_cast<uint8_t*>(d) +
                                                 static_cast<int64_t>(y) * dp);
          for (int32_t x = 0; x < w; ++x) dr[x] = s[x];
        }
      }
    }
    if (!out->full) return Fail(out, "out of memory for the full-depth frame");
    return true;
  }

  Rect view(WrapView(f));
  if (!view) return Fail(out, "the frame cannot be wrapped (too large for one image)");
  if (f.kind == PixelKind::kU8) {
    out->grey = std::move(view);
    return true;
  }
  int32_t converted = -1;
  if (f.kind == PixelKind::kU16) {
    out->grey = Rect(mrCreate(8, w, h));
    if (out->grey) converted = mrConvert(view.get(), out->grey.get(), -1);
  } else if (f.kind == PixelKind::kRgb8) {
    out->grey = Rect(CreateTight(8, w, h));
    if (out->grey) converted = mrRGBtoGray(view.get(), out->grey.get(), -4, 0, 0);
  } else {
    // 16-bit colour: the mean of the channels first, then the automatic shift.
    Rect wide(CreateTight(16, w, h));
    out->grey = Rect(mrCreate(8, w, h));
    if (wide && out->grey && mrRGBtoGray(view.get(), wide.get(), -4, 0, 0) >= 0)
      converted = mrConvert(wide.get(), out->grey.get(), -1);
  }
  if (!out->grey) return Fail(out, "out of memory for the grey frame");
  if (converted < 0)
    return Fail(out, std::string(KindName(f.kind)) + " frame cannot be converted to grey");
  if (wantFull) out->full = std::move(view);
  return true;
}

}  // namespace vantor::pymod
