#include "kernels/kernel_mode.h"

#include <atomic>

namespace {
std::atomic<int32_t> g_stored_mode{0};
}

extern "C" {

int32_t tmHasVectorKernels(void) {
#if defined(__x86_64__) || defined(_M_X64) || defined(__aarch64__)
  // x86-64 always has SSE2; AArch64 always has NEON.
  return 1;
#else
  return 0;
#endif
}

int32_t mrUseIntelIPlib(int32_t request) {
  int32_t previous = g_stored_mode.load();
  switch (request) {
    case 0:
      g_stored_mode.store(0);
      break;
    case 1:
    case 2:
      g_stored_mode.store(2);
      break;
    case 3:
      if (tmHasVectorKernels()) g_stored_mode.store(3);
      break;
    default:
      break;
  }
  return previous;
}

int32_t tmKernelMode(void) {
  int32_t m = g_stored_mode.load();
  if (m != 0) return m;
  return tmHasVectorKernels() ? 3 : 2;
}

}  // extern "C"
