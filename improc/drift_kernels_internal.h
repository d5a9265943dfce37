// What the drift kernels' two files share: the scalar robust weight, and the
// motion kernels (drift_kernels_motion.cpp) that join the dispatch table of
// drift_kernels.cpp.
#ifndef VANTOR_IMPROC_DRIFT_KERNELS_INTERNAL_H
#define VANTOR_IMPROC_DRIFT_KERNELS_INTERNAL_H

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "improc/drift_kernels.h"

namespace vantor::drift {
namespace scalar {

inline float Weight(float r, Weighting kind, float c) {
  switch (kind) {
    case Weighting::kHuber: {
      const float a = std::fabs(r);
      return a <= c ? 1.0f : c / a;
    }
    case Weighting::kTukey: {
      const float u = r / c;
      const float t = 1.0f - u * u;
      return t > 0.0f ? t * t : 0.0f;
    }
    default:
      return 1.0f;
  }
}

void WarpRow(const float* src, std::ptrdiff_t pitch, const double* line, const double* box,
             const float* sub, float* dst, int32_t n);
void MotionNormalRow(const MotionRow& row, int32_t n, int32_t params, const Photometric& p,
                     Weighting kind, float c, MotionSums* sums);

}  // namespace scalar

void VectorWarpRow(const float* src, std::ptrdiff_t pitch, const double* line, const double* box,
                   const float* sub, float* dst, int32_t n);
void VectorMotionNormalRow(const MotionRow& row, int32_t n, int32_t params, const Photometric& p,
                           Weighting kind, float c, MotionSums* sums);

}  // namespace vantor::drift

#endif
