// Instrumented entry of the registration search, for tests and benchmarks.
#ifndef VANTOR_REGISTRATION_REGISTRATION_INTERNAL_H
#define VANTOR_REGISTRATION_REGISTRATION_INTERNAL_H

#include <cstdint>

namespace vantor {

struct RegisterStats {
  int levels = 0;              // 1 without a coarse level, 2 with one
  int coarseEvaluations = 0;   // cost evaluations on the coarse level
  int fineEvaluations = 0;     // cost evaluations at full resolution
  double costMilliseconds = 0; // time spent inside the cost function
};

// RegisterPair that also reports what the search did (stats may be null).
double RegisterPairWithStats(int32_t imageA, int32_t imageB, int32_t mask, double* record,
                             double startStep, double finalStep, double minDiff,
                             int32_t coarseSize, int32_t timeLimit, int32_t flags,
                             RegisterStats* stats);

// The full-resolution search alone, starting from the displacement already in
// record (S and A start at 1 and 0): the simplex of RegisterPair's last level
// with the given start step. Returns the distance, or -1.0 as RegisterPair.
double RegisterPairFrom(int32_t imageA, int32_t imageB, int32_t mask, double* record,
                        double startStep, double finalStep, double minDiff, int32_t timeLimit,
                        int32_t flags);

// trunc(size * fraction / 2) limited to size: the half span of the central mask.
int32_t CentralHalfSpan(int32_t size, double fraction);

// CentralMask with the fraction given instead of the stored one.
int32_t CentralMaskWithFraction(int32_t image, double fraction);

}  // namespace vantor

#endif
