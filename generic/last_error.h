// Internal side of the per-thread error record (generic/errors.h): how an
// exported operation reports why it failed.
//
// Each exported function that can fail runs its body through Guarded, which
// names the operation, turns std::bad_alloc and other escaping exceptions into
// its failure result, and, when that result comes back, writes the record:
// "<operation>: <cause>". Code below it states causes with Fail; the latest
// cause wins, except that a shortage of memory stays the kind once seen.
// Nested exported calls report under the outermost operation's name.
#ifndef VANTOR_GENERIC_LAST_ERROR_H
#define VANTOR_GENERIC_LAST_ERROR_H

#include <cstdint>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>

#include "generic/errors.h"

namespace vantor::err {

inline constexpr int32_t kParameter = VANTOR_ERROR_PARAMETER;
inline constexpr int32_t kMemory = VANTOR_ERROR_MEMORY;
inline constexpr int32_t kFile = VANTOR_ERROR_FILE;
inline constexpr int32_t kFormat = VANTOR_ERROR_FORMAT;
inline constexpr int32_t kFailed = VANTOR_ERROR_FAILED;

// States the cause of the failure under way (printf format). Always false, so
// that `return Fail(...)` fits boolean helpers.
bool Fail(int32_t kind, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The common causes.
bool FailMemory();                                  // "out of memory"
bool FailHandle(int32_t handle);                    // "handle N is not a valid image"
bool FailDepth(int32_t handle, int32_t depth);      // "image N has depth D, which this operation does not take"
bool FailSizes(int32_t a, int32_t b);               // "images A and B differ in size"

// For simple operations that call no other exported one and need no Guarded:
// states why `operation` fails (under the outer operation's name when it runs
// inside one). Always false.
bool Report(const char* operation, int32_t kind, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The kind of the cause stated so far in the current operation (0 if none).
int32_t PendingKind();

namespace detail {
void Enter();
void Leave(const char* operation, bool failed);
void Caught(std::exception_ptr e);
}  // namespace detail

// Runs body as the exported operation `operation`; `failed(result)` tells a
// failure result, `failure` is returned when body throws.
template <class F, class P>
std::invoke_result_t<F> GuardedWhen(const char* operation, std::invoke_result_t<F> failure,
                                    P failed, F&& body) {
  detail::Enter();
  std::invoke_result_t<F> result = failure;
  try {
    result = std::forward<F>(body)();
  } catch (...) {
    detail::Caught(std::current_exception());
    result = failure;
  }
  detail::Leave(operation, failed(result));
  return result;
}

// The same when exactly `failure` means failure.
template <class F>
std::invoke_result_t<F> Guarded(const char* operation, std::invoke_result_t<F> failure, F&& body) {
  using R = std::invoke_result_t<F>;
  return GuardedWhen(operation, failure, [failure](const R& r) { return r == failure; },
                     std::forward<F>(body));
}

// For operations that return nothing: only exceptions are failures.
template <class F>
void GuardedVoid(const char* operation, F&& body) {
  detail::Enter();
  bool failed = false;
  try {
    std::forward<F>(body)();
  } catch (...) {
    detail::Caught(std::current_exception());
    failed = true;
  }
  detail::Leave(operation, failed);
}

}  // namespace vantor::err

#endif
