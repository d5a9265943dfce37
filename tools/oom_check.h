// The out-of-memory promise, checked for one operation: under every
// allocation failure it either succeeds, or fails with the kind
// VANTOR_ERROR_MEMORY and leaves no rectangle behind.
#ifndef VANTOR_TOOLS_OOM_CHECK_H
#define VANTOR_TOOLS_OOM_CHECK_H

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "generic/errors.h"
#include "memrect/memrect.h"
#include "tools/alloc_fault.h"

namespace fault {

// `operation` returns true on success; `after_success` checks its results and
// frees what it made. Returns the number of runs.
inline long EveryFailureOf(const std::string& what, const std::function<bool()>& operation,
                           const std::function<void()>& after_success = [] {}) {
  const int32_t before = mrNumberOfActive(nullptr, nullptr);
  bool ok = false;
  const long runs = EveryFailure(
      [&] {
        mrClearLastError();
        ok = operation();
      },
      [&](long n, bool failed) {
        if (ok) {
          after_success();
        } else {
          EXPECT_TRUE(failed) << what << " failed without a failing allocation: " << mrLastError();
          EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_MEMORY)
              << what << ", allocation " << n << ": " << mrLastError();
        }
        EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), before)
            << what << ", allocation " << n << ": rectangles left behind";
      });
  EXPECT_GT(runs, 0) << what << " never ran to the end";
  return runs;
}

}  // namespace fault

#endif
