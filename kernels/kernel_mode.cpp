#include "kernels/kernel_mode.h"

#include <atomic>

#include <hwy/targets.h>

#include "kernels/kernel_path.h"
#include "kernels/kernels.h"

namespace {
std::atomic<int32_t> g_stored_mode{0};
}

extern "C" {

int32_t tmHasVectorKernels(void) {
#if defined(__x86_64__) || defined(__i386__)
  // The processor's own report, read once: CPUID is slow under hypervisors
  // and the answer cannot change while the process runs.
  static const int32_t has = CPU_MMX() & 1;
  return has;
#else
  // Elsewhere: vector kernels when the run-time dispatch finds a vector
  // target better than the portable emulation (NEON or SVE on AArch64).
  return (hwy::SupportedTargets() & ~static_cast<int64_t>(HWY_EMU128 | HWY_SCALAR)) != 0 ? 1 : 0;
#endif
}

int32_t mrUseIntelIPlib(int32_t request) {
  switch (request) {
    case 0:
      return g_stored_mode.exchange(0);
    case 1:
    case 2:
      return g_stored_mode.exchange(2);
    case 3:
      if (tmHasVectorKernels()) return g_stored_mode.exchange(3);
      return g_stored_mode.load();
    default:
      return g_stored_mode.load();
  }
}

int32_t tmKernelMode(void) {
  int32_t m = g_stored_mode.load();
  if (m != 0) return m;
  return tmHasVectorKernels() ? 3 : 2;
}

}  // extern "C"

namespace vantor {

// tmKernelMode is 2 or 3, never anything else: only 0, 2 and 3 are stored.
KernelPath CurrentKernelPath() {
  return tmKernelMode() == 3 ? KernelPath::kVector : KernelPath::kScalar;
}

}  // namespace vantor
