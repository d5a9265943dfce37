// Allocation faults on demand for the out-of-memory tests: the test program
// is linked with --wrap for malloc, calloc, realloc, posix_memalign and
// aligned_alloc and replaces operator new, so every allocation the library
// makes passes a counter; when armed, the n-th one fails (null with ENOMEM,
// or std::bad_alloc from operator new).
#ifndef VANTOR_TOOLS_ALLOC_FAULT_H
#define VANTOR_TOOLS_ALLOC_FAULT_H

#include <functional>

namespace fault {

// The n-th allocation from now fails (n >= 1); every other one succeeds.
void Arm(long n);
// No more failures; true when the armed failure happened.
bool Disarm();

// Runs `operation` with its first, second, ... allocation failing until a run
// makes fewer allocations than the failure's number. After each run, with
// allocations working again, `check(n, failed)` judges its results (failed:
// the n-th allocation did fail). Returns the number of runs, 0 when `limit`
// was reached first.
long EveryFailure(const std::function<void()>& operation,
                  const std::function<void(long n, bool failed)>& check, long limit = 20000);

}  // namespace fault

#endif
