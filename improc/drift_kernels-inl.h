// The vector robust weight that the drift kernels' files share, compiled once
// per target: included from their per-target sections (after highway.h),
// again for each target.

#if defined(VANTOR_IMPROC_DRIFT_KERNELS_INL_H) == defined(HWY_TARGET_TOGGLE)
#ifdef VANTOR_IMPROC_DRIFT_KERNELS_INL_H
#undef VANTOR_IMPROC_DRIFT_KERNELS_INL_H
#else
#define VANTOR_IMPROC_DRIFT_KERNELS_INL_H
#endif

#include <hwy/highway.h>

#include "improc/drift_kernels.h"

HWY_BEFORE_NAMESPACE();
namespace vantor::drift {
namespace HWY_NAMESPACE {

// The weights of a vector of model errors e (inv_c = 1 / c).
template <class D, class V = hwy::HWY_NAMESPACE::Vec<D>>
HWY_INLINE V RobustWeight(D d, V e, Weighting kind, V cv, V inv_c) {
  namespace hn = hwy::HWY_NAMESPACE;
  const V one = hn::Set(d, 1.0f);
  if (kind == Weighting::kHuber) {
    const V ae = hn::Abs(e);
    return hn::IfThenElse(hn::Le(ae, cv), one, hn::Div(cv, ae));
  }
  if (kind == Weighting::kTukey) {
    const V u = hn::Mul(e, inv_c);
    const V t = hn::Max(hn::NegMulAdd(u, u, one), hn::Zero(d));
    return hn::Mul(t, t);
  }
  return one;
}

}  // namespace HWY_NAMESPACE
}  // namespace vantor::drift
HWY_AFTER_NAMESPACE();

#endif  // VANTOR_IMPROC_DRIFT_KERNELS_INL_H
