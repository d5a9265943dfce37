// Instrumented entry of the registration search, for tests and benchmarks.
#ifndef VANTOR_REGISTRATION_REGISTRATION_INTERNAL_H
#define VANTOR_REGISTRATION_REGISTRATION_INTERNAL_H

#include <cstdint>

#include "kernels/kernel_path.h"

namespace vantor {

struct RegisterStats {
  int levels = 0;              // 1 without a coarse level, 2 with one
  int coarseEvaluations = 0;   // cost evaluations on the coarse level
  int fineEvaluations = 0;     // cost evaluations at full resolution
  double costMilliseconds = 0; // time spent inside the cost function
};

// A pair resolved for the cost: pixels, sizes and pitches of both images and
// the mask, and the kernel chosen, found once per search instead of once per
// evaluation. valid is false when mrPerspectiveMaskDiff would refuse the
// pair (then every cost is -1.0, as it would be).
struct ResolvedPair {
  const uint8_t* a = nullptr;
  int32_t aw = 0, ah = 0, ap = 0;
  const uint8_t* b = nullptr;
  int32_t bw = 0, bh = 0, bp = 0;
  const uint8_t* mask = nullptr;
  int32_t mp = 0;
  int32_t sampling = 0;
  KernelPath path = KernelPath::kVector;
  bool valid = false;
};

ResolvedPair ResolvePair(int32_t imageA, int32_t imageB, int32_t mask, int32_t sampling);

// PairCost over a ResolvedPair (context points at it): the same value.
double ResolvedCost(const double* params, void* context);

// The cost through a 3 x 3 projective matrix (row order, as
// mrPerspectiveMaskDiff takes it) over a ResolvedPair.
double ResolvedMatrixCost(const double* matrix, const ResolvedPair& pair);

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
