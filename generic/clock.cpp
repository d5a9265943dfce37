#include "generic/clock.h"

#include <time.h>

extern "C" long double GetTimeMsec(void) {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long double>(ts.tv_sec) * 1000.0L + static_cast<long double>(ts.tv_nsec) / 1.0e6L;
}
