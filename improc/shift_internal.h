// The two implementations behind ShiftMaskDiff and mrAverSquareDiff, for the
// handle-level searches, the tests and the benchmarks. Both give the same
// integer sums and counts, so every early exit happens at the same row.
#ifndef VANTOR_IMPROC_SHIFT_INTERNAL_H
#define VANTOR_IMPROC_SHIFT_INTERNAL_H

#include <cstddef>
#include <cstdint>

namespace vantor {

// Sum of squared differences and the number of compared pixels.
struct ShiftSums {
  uint64_t sum = 0;
  int64_t count = 0;
};

// Image A (width x height), image B (at least as large) compared at the
// displacement (x, y), mask as in ShiftMaskDiff; the walk over the rows stops
// after the first row at which the sum exceeds bound.
struct ShiftArgs {
  const uint8_t* a = nullptr;
  int32_t width = 0, height = 0;
  ptrdiff_t aPitch = 0;
  const uint8_t* b = nullptr;
  ptrdiff_t bPitch = 0;
  const uint8_t* mask = nullptr;  // null: every pixel
  ptrdiff_t maskPitch = 0;
  int64_t x = 0, y = 0;
  double bound = 0.0;
};

// One pixel after the other: the reference.
ShiftSums ShiftDiffScalar(const ShiftArgs& s);
// Vector loop over the rows (absolute differences, widened squares).
ShiftSums ShiftDiffVector(const ShiftArgs& s);
// The one CurrentKernelPath() selects.
ShiftSums ShiftDiff(const ShiftArgs& s);

}  // namespace vantor

#endif
