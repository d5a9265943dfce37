// The run-time side of the vector kernels' dispatch (HWY_DYNAMIC_DISPATCH and
// hwy::AllocateAligned call these): which instruction sets the processor and
// its operating system support, the one chosen, and aligned allocation. Kept
// here rather than taken from the shared Highway library, whose load-time
// timer calibration cost every process start about 5 ms.
//
// A set is claimed only when every feature its compiled code may use is
// reported and the system saves the registers it needs; anything unsure is
// left out (the next lower set then runs).
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <hwy/aligned_allocator.h>
#include <hwy/base.h>
#include <hwy/targets.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define VANTOR_X86 1
#endif

namespace hwy {
namespace {

std::atomic<int64_t> g_for_test{0};             // 0: the processor's own sets
std::atomic<int64_t> g_enabled{~int64_t{0}};    // DisableTargets' mask

#if defined(VANTOR_X86)
bool Bit(uint32_t word, int bit) { return ((word >> bit) & 1u) != 0; }

int64_t DetectX86() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(0, &a, &b, &c, &d) == 0) return 0;
  const unsigned highest = a;
  __cpuid(1, a, b, c, d);
  const uint32_t c1 = c, d1 = d;
  uint32_t b7 = 0;
  if (highest >= 7) {
    __cpuid_count(7, 0, a, b, c, d);
    b7 = b;
  }
  uint32_t cx = 0;  // extended leaf 0x80000001's ECX (LZCNT)
  if (__get_cpuid(0x80000000u, &a, &b, &c, &d) != 0 && a >= 0x80000001u) {
    __cpuid(0x80000001u, a, b, c, d);
    cx = c;
  }
  // The registers the operating system saves on a switch (XCR0): SSE and AVX
  // state in bits 1 and 2, AVX-512's in bits 5 to 7.
  uint64_t xcr0 = 0;
  if (Bit(c1, 27)) {  // OSXSAVE
    uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    xcr0 = (static_cast<uint64_t>(hi) << 32) | lo;
  }
  int64_t sets = 0;
  const bool ssse3 = Bit(d1, 25) && Bit(d1, 26) && Bit(c1, 0) && Bit(c1, 9);
  if (!ssse3) return sets;
  sets |= HWY_SSSE3;
  // SSE4.1, SSE4.2, carry-less multiply, AES.
  const bool sse4 = Bit(c1, 19) && Bit(c1, 20) && Bit(c1, 1) && Bit(c1, 25);
  if (!sse4) return sets;
  sets |= HWY_SSE4;
  // AVX, FMA, F16C, AVX2, BMI1, BMI2, LZCNT, and the system saving YMM.
  const bool avx2 = Bit(c1, 28) && Bit(c1, 12) && Bit(c1, 29) && Bit(b7, 5) && Bit(b7, 3) &&
                    Bit(b7, 8) && Bit(cx, 5) && (xcr0 & 0x6) == 0x6;
  if (!avx2) return sets;
  sets |= HWY_AVX2;
  // AVX-512 F, DQ, BW, VL, and the system saving the mask and ZMM registers.
  const bool avx3 = Bit(b7, 16) && Bit(b7, 17) && Bit(b7, 30) && Bit(b7, 31) &&
                    (xcr0 & 0xE6) == 0xE6;
  if (avx3) sets |= HWY_AVX3;
  return sets;
}
#endif

// The sets this processor runs, with the portable ones every build has.
int64_t Detect() {
  int64_t sets = HWY_SCALAR | HWY_EMU128 | HWY_STATIC_TARGET;
#if defined(VANTOR_X86)
  static const int64_t x86 = DetectX86();
  sets |= x86;
#endif
  return sets;
}

}  // namespace

int64_t SupportedTargets() {
  const int64_t test = g_for_test.load();
  const int64_t sets = (test != 0 ? test : Detect()) & g_enabled.load();
  return sets != 0 ? sets : HWY_STATIC_TARGET;
}

void DisableTargets(int64_t disabled_targets) {
  // The build's baseline stays: there must always be a set to call.
  g_enabled.store(~(disabled_targets & ~static_cast<int64_t>(HWY_ENABLED_BASELINE)));
  GetChosenTarget().Update(SupportedTargets());
}

void SetSupportedTargetsForTest(int64_t targets) {
  g_for_test.store(targets);
  GetChosenTarget().Update(SupportedTargets());
}

ChosenTarget& GetChosenTarget() {
  static ChosenTarget chosen;
  return chosen;
}

namespace {
// Blocks start at a multiple of this (HWY_ALIGNMENT and the widest vector are
// at most it); the pointer the allocator returned sits just before.
constexpr size_t kAlign = 128;
}  // namespace

void* AllocateAlignedBytes(size_t payload_size, AllocPtr alloc_ptr, void* opaque_ptr) {
  if (payload_size > SIZE_MAX - 2 * kAlign) return nullptr;
  const size_t total = payload_size + 2 * kAlign;
  void* raw = alloc_ptr != nullptr ? alloc_ptr(opaque_ptr, total) : std::malloc(total);
  if (raw == nullptr) return nullptr;
  // The first aligned place with room for the raw pointer before it.
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw) + sizeof(void*);
  const uintptr_t aligned = (start + kAlign - 1) & ~static_cast<uintptr_t>(kAlign - 1);
  void** slot = reinterpret_cast<void**>(aligned) - 1;
  *slot = raw;
  return reinterpret_cast<void*>(aligned);
}

void FreeAlignedBytes(const void* aligned_pointer, FreePtr free_ptr, void* opaque_ptr) {
  if (aligned_pointer == nullptr) return;
  void* raw = *(reinterpret_cast<void* const*>(aligned_pointer) - 1);
  if (free_ptr != nullptr)
    free_ptr(opaque_ptr, raw);
  else
    std::free(raw);
}

// A broken internal assertion of the vector code (checked in debug and
// sanitizer builds only): no way to go on.
void Abort(const char* file, int line, const char* format, ...) {
  std::fprintf(stderr, "vector code: %s:%d: ", file, line);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::abort();
}

}  // namespace hwy
