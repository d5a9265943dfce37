// Which twin of a kernel runs: the scalar reference or the vector code. The
// exported kernel mode (kernel_mode.h) speaks of it as the integers 2 and 3;
// inside the library the choice is only ever a KernelPath.
#ifndef VANTOR_KERNELS_KERNEL_PATH_H
#define VANTOR_KERNELS_KERNEL_PATH_H

#include <functional>
#include <type_traits>
#include <utility>

namespace vantor {

enum class KernelPath { kScalar, kVector };

// The path the kernel mode selects, read afresh on every call (the mode may
// change from any thread between two operations).
KernelPath CurrentKernelPath();

// scalar(args...) or vector(args...), whichever path names: the one place
// that turns a path into a call of one of two twins taking the same arguments.
template <class Scalar, class Vector, class... Args>
std::common_type_t<std::invoke_result_t<Scalar&, Args...>, std::invoke_result_t<Vector&, Args...>>
RunOnPath(KernelPath path, Scalar&& scalar, Vector&& vector, Args&&... args) {
  if (path == KernelPath::kVector) return std::invoke(vector, std::forward<Args>(args)...);
  return std::invoke(scalar, std::forward<Args>(args)...);
}

}  // namespace vantor

#endif
