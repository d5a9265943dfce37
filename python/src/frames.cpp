// Frames of the Python module: caller memory wrapped as extern rectangles
// where the library can read it as it is, converted copies where it cannot.
#include "python/src/frames.h"

#include <cerrno>
#include <limits>

#include "generic/errors.h"

#include "memrect/convert.h"
#include "memrect/readfile.h"

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

// A failed step: the cause the library left when it was memory, else why.
bool Fail(PreparedRects* out, const std::string& why) {
  const bool memory = mrLastErrorKind() == VANTOR_ERROR_MEMORY;
  out->errorKind = memory ? VANTOR_ERROR_MEMORY : VANTOR_ERROR_FAILED;
  out->error = memory && mrLastError()[0] != '\0' ? std::string(mrLastError()) : why;
  return false;
}

// A rectangle that could not be made: memory, whatever the record says.
bool FailMemory(PreparedRects* out, const std::string& why) {
  Fail(out, why);
  out->errorKind = VANTOR_ERROR_MEMORY;
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

// The float frame as a 64-bit rectangle: a view of float64 memory, a copy of float32.
Rect DoubleRect(const FrameView& f) {
  if (f.kind == PixelKind::kF64) return Rect(WrapView(f));
  Rect r(mrCreate(64, f.width, f.height));
  double* d = nullptr;
  int32_t pitch = 0;
  if (!r ||
      mrGetExtendedInfo(r.get(), nullptr, nullptr, &pitch, reinterpret_cast<void**>(&d)) != 64)
    return Rect();
  for (int32_t y = 0; y < f.height; ++y) {
    const float* s = reinterpret_cast<const float*>(f.data + y * f.rowStride);
    double* row = reinterpret_cast<double*>(reinterpret_cast<uint8_t*>(d) +
                                            static_cast<int64_t>(y) * pitch);
    for (int32_t x = 0; x < f.width; ++x) row[x] = s[x];
  }
  return r;
}

}  // namespace

bool FiniteRange(const FrameView& f, FloatRange* range) {
  *range = FloatRange{};
  if (f.kind != PixelKind::kF32 && f.kind != PixelKind::kF64) return true;
  Rect r = DoubleRect(f);
  if (!r) return false;
  if (mrFiniteMinMax(r.get(), &range->lo, &range->hi) < 0) range->lo = range->hi = 0;
  if (range->hi <= range->lo) range->hi = range->lo + 1.0;  // a flat frame: any range will do
  return true;
}

int32_t WrapView(const FrameView& f) {
  if (f.kind == PixelKind::kF32 || f.rowStride > std::numeric_limits<int32_t>::max()) return -1;
  return mrMakeExtern(const_cast<uint8_t*>(f.data), DepthOf(f.kind), f.width, f.height,
                      static_cast<int32_t>(f.rowStride));
}

bool PrepareRects(const FrameView& f, const FloatRange& range, bool wantFull, PreparedRects* out) {
  const int32_t w = f.width, h = f.height;
  mrClearLastError();
  errno = 0;
  if (f.kind == PixelKind::kF32 || f.kind == PixelKind::kF64) {
    Rect doubles = DoubleRect(f);
    out->grey = Rect(mrCreate(8, w, h));
    if (!doubles || !out->grey) return FailMemory(out, "out of memory for the grey frame");
    if (mrDoubleToGrey(doubles.get(), out->grey.get(), range.lo, range.hi) < 0)
      return Fail(out, "the float range of the first frame is not usable");
    if (wantFull) out->full = std::move(doubles);
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
  if (!out->grey) return FailMemory(out, "out of memory for the grey frame");
  if (converted < 0)
    return Fail(out, std::string(KindName(f.kind)) + " frame cannot be converted to grey");
  if (wantFull) out->full = std::move(view);
  return true;
}

}  // namespace vantor::pymod
