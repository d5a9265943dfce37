// Frames of the Python module: numpy arrays described as pixel views over
// their own memory, handed as they are to the library's sequence engine. Only
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

}  // namespace vantor::pymod

#endif
