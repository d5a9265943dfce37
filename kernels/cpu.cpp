// Processor identification and the cycle-counter clock.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "generic/clock.h"
#include "kernels/kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#define VANTOR_X86 1
#endif

namespace {

// Counter ticks per millisecond; -1 until measured.
std::atomic<double> g_ticks_per_ms{-1.0};
std::once_flag g_measure_once;

uint64_t ReadCounter() {
#if defined(VANTOR_X86)
  return __rdtsc();
#elif defined(__aarch64__)
  uint64_t v;
  asm volatile("isb; mrs %0, cntvct_el0" : "=r"(v));
  return v;
#else
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
#endif
}

// Counts counter ticks over a little more than half a second of the monotonic
// clock. Sleeping most of the interval keeps the core free for other work;
// only the last milliseconds are spun so that the end is read precisely.
void Measure() {
  const long double t1 = GetTimeMsec();
  const uint64_t s1 = ReadCounter();
  const timespec nap{0, 490 * 1000000L};
  nanosleep(&nap, nullptr);
  long double t2 = GetTimeMsec();
  while (t2 - t1 < 500.0L) t2 = GetTimeMsec();
  const uint64_t s2 = ReadCounter();
  const double rate = static_cast<double>(s2 - s1) / static_cast<double>(t2 - t1);
  g_ticks_per_ms.store(rate > 0 ? rate : -1.0);
}

}  // namespace

extern "C" {

int32_t CPUIDinfo(int32_t leaf, uint32_t* words) {
  if (leaf < 0 || leaf > 3 || !words) return -1;
#if defined(VANTOR_X86)
  unsigned a = 0, b = 0, c = 0, d = 0;
  __cpuid(static_cast<unsigned>(leaf), a, b, c, d);
  words[0] = a;
  words[1] = b;
  words[2] = d;
  words[3] = c;
  return static_cast<int32_t>(a);
#else
  return -1;
#endif
}

int32_t CPU_MMX(void) {
#if defined(VANTOR_X86)
  unsigned a = 0, b = 0, c = 0, d = 0;
  __cpuid(0, a, b, c, d);
  const unsigned highest = a;
  if (highest == 0) return 0;
  int32_t r = static_cast<int32_t>((highest + 4) * 16);
  __cpuid(1, a, b, c, d);
  const unsigned family = (a >> 8) & 15, model = (a >> 4) & 15;
  if (model == 7) r = 0x70;
  if (family == 15) r = 0x80;
  return r | static_cast<int32_t>((d >> 23) & 1);
#else
  // No CPUID and no MMX outside x86.
  return 0;
#endif
}

double tmTimeStamp(uint64_t* stamp) {
  const uint64_t v = ReadCounter();
  if (stamp) *stamp = v;
  return static_cast<double>(static_cast<uint32_t>(v >> 32)) * 4294967296.0 +
         static_cast<double>(static_cast<uint32_t>(v));
}

double GetClockSpeed(void) {
  const double r = g_ticks_per_ms.load();
  if (r > 0) return r;
  std::call_once(g_measure_once, Measure);
  return g_ticks_per_ms.load();
}

double tmGetTimeMsec(void) {
  const double rate = GetClockSpeed();
  if (!(rate > 0)) return -1.0;  // no usable counter: callers take their own clock
  return tmTimeStamp(nullptr) / rate;
}

}  // extern "C"
