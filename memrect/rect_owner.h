// RAII owner of a memory-rectangle handle.
#ifndef VANTOR_MEMRECT_RECT_OWNER_H
#define VANTOR_MEMRECT_RECT_OWNER_H

#include <cstdint>
#include <utility>

#include "memrect/memrect.h"

namespace vantor {

// Holds one handle and frees it with mrFree when destroyed. A failed creation
// (-1) may be held too: get() then gives -1 and nothing is freed.
class RectOwner {
 public:
  RectOwner() = default;
  explicit RectOwner(int32_t handle) : handle_(handle) {}
  RectOwner(const RectOwner&) = delete;
  RectOwner& operator=(const RectOwner&) = delete;
  RectOwner(RectOwner&& other) noexcept : handle_(other.release()) {}
  RectOwner& operator=(RectOwner&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~RectOwner() { reset(); }

  int32_t get() const { return handle_; }
  // True when a handle (not a failure value) is held.
  explicit operator bool() const { return handle_ > 0; }
  // Gives the handle up without freeing it.
  int32_t release() { return std::exchange(handle_, 0); }
  // Frees the held handle, if any, and holds h instead.
  void reset(int32_t h = 0) {
    const int32_t old = std::exchange(handle_, h);
    if (old > 0) mrFree(old);
  }

 private:
  int32_t handle_ = 0;
};

}  // namespace vantor

#endif
