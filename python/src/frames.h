// Frames of the Python module: numpy arrays described as pixel views over
// their own memory, and their conversion into the library's rectangles (8-bit
// grey for the search, the full-depth rectangle for the precise method). Only
// the library's exported C functions are used.
#ifndef VANTOR_PYTHON_FRAMES_H
#define VANTOR_PYTHON_FRAMES_H

#include <cstdint>
#include <string>
#include <utility>

#include "memrect/memrect.h"

namespace vantor::pymod {

// Pixel types the module accepts.
enum class PixelKind { kU8, kU16, kF32, kF64, kRgb8, kRgb16 };

// Bits per pixel of the rectangle a kind is wrapped as (float32 becomes 64).
int32_t DepthOf(PixelKind kind);
// Bytes of one pixel in the caller's array.
int32_t PixelBytes(PixelKind kind);
const char* KindName(PixelKind kind);

// One frame: rows `rowStride` bytes apart (positive), pixels contiguous in a row.
struct FrameView {
  const uint8_t* data = nullptr;
  int32_t width = 0, height = 0;
  int64_t rowStride = 0;
  PixelKind kind = PixelKind::kU8;
};

// Owner of one handle (freed with mrFree).
class Rect {
 public:
  Rect() = default;
  explicit Rect(int32_t h) : h_(h > 0 ? h : 0) {}
  Rect(Rect&& o) noexcept : h_(std::exchange(o.h_, 0)) {}
  Rect& operator=(Rect&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, 0);
    }
    return *this;
  }
  Rect(const Rect&) = delete;
  Rect& operator=(const Rect&) = delete;
  ~Rect() { reset(); }
  int32_t get() const { return h_; }
  explicit operator bool() const { return h_ > 0; }
  void reset() {
    if (h_ > 0) mrFree(h_);
    h_ = 0;
  }

 private:
  int32_t h_ = 0;
};

// The range that float frames are mapped from onto 0..255.
struct FloatRange {
  double lo = 0.0, hi = 0.0;
};

// The range of a float frame: its finite minimum and maximum (a flat frame
// gets lo..lo + 1). Other kinds leave the range 0..0. False when memory ran out.
bool FiniteRange(const FrameView& f, FloatRange* range);

// A frame as the library sees it.
struct PreparedRects {
  Rect grey;  // 8-bit grey, possibly a view of the caller's memory
  Rect full;  // the frame at its own depth for the precise method (empty: use grey)
  std::string error;
  int32_t errorKind = 0;  // VANTOR_ERROR_* of the failure
  int32_t fullHandle() const { return full ? full.get() : 0; }
};

// Wraps and converts one frame: grey as the batch program makes it (8-bit as
// it is, 16-bit by the automatic shift, colour as the mean of the channels,
// floats through `range` onto 0..255, clipped, NaN and infinities 0); with
// wantFull the full-depth rectangle too. False with `error` set on failure.
bool PrepareRects(const FrameView& f, const FloatRange& range, bool wantFull, PreparedRects* out);

// An extern rectangle over the view (float32 is not wrapped: -1).
int32_t WrapView(const FrameView& f);

}  // namespace vantor::pymod

#endif
