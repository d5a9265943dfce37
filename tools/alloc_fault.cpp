// Counting allocation wrappers for the out-of-memory tests (tools/alloc_fault.h).
#include "tools/alloc_fault.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
void* __real_malloc(size_t);
void* __real_calloc(size_t, size_t);
void* __real_realloc(void*, size_t);
int __real_posix_memalign(void**, size_t, size_t);
void* __real_aligned_alloc(size_t, size_t);
}

namespace {

std::atomic<long> g_left{0};   // allocations until the failing one; 0 when disarmed
std::atomic<bool> g_hit{false};

// True when this allocation is the one that must fail.
bool FailNow() {
  if (g_left.load(std::memory_order_relaxed) <= 0) return false;
  if (g_left.fetch_sub(1) != 1) return false;
  g_hit = true;
  errno = ENOMEM;
  return true;
}

void* NewBlock(size_t bytes) {
  if (FailNow()) return nullptr;
  return __real_malloc(bytes != 0 ? bytes : 1);
}

void* NewAligned(size_t bytes, std::align_val_t align) {
  if (FailNow()) return nullptr;
  void* p = nullptr;
  size_t a = static_cast<size_t>(align);
  if (a < sizeof(void*)) a = sizeof(void*);
  return __real_posix_memalign(&p, a, bytes != 0 ? bytes : 1) == 0 ? p : nullptr;
}

}  // namespace

extern "C" {
void* __wrap_malloc(size_t n) { return FailNow() ? nullptr : __real_malloc(n); }
void* __wrap_calloc(size_t n, size_t s) { return FailNow() ? nullptr : __real_calloc(n, s); }
void* __wrap_realloc(void* p, size_t n) { return FailNow() ? nullptr : __real_realloc(p, n); }
int __wrap_posix_memalign(void** p, size_t a, size_t n) {
  return FailNow() ? ENOMEM : __real_posix_memalign(p, a, n);
}
void* __wrap_aligned_alloc(size_t a, size_t n) {
  return FailNow() ? nullptr : __real_aligned_alloc(a, n);
}
}

void* operator new(size_t n) {
  void* p = NewBlock(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return NewBlock(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return NewBlock(n); }
void* operator new(size_t n, std::align_val_t a) {
  void* p = NewAligned(n, a);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n, std::align_val_t a) { return operator new(n, a); }
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return NewAligned(n, a);
}
void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return NewAligned(n, a);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }
// What a nothrow new calls when the constructor throws.
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace fault {

void Arm(long n) {
  g_hit = false;
  g_left = n;
}

bool Disarm() {
  g_left = 0;
  return g_hit.load();
}

long EveryFailure(const std::function<void()>& operation,
                  const std::function<void(long n, bool failed)>& check, long limit) {
  for (long n = 1; n <= limit; ++n) {
    Arm(n);
    operation();
    const bool failed = Disarm();
    check(n, failed);
    if (!failed) return n;
  }
  return 0;
}

}  // namespace fault
