// Vector versions of the neighbourhood kernels (internal). They take the same
// arguments as NeiMem and MaskNei and give bit-identical results, but fold
// many steps into one pass over padded scratch rows (kept per thread between
// calls): up to 16 single square or cross passes in one sweep down the
// image, and row and column runs of n steps in O(log n) passes.
// Result: 0 done, -1 when the scratch copy cannot be allocated (pixels are
// then unchanged and the caller falls back to the scalar kernel) or the
// arguments are not a valid rectangle.
#ifndef VANTOR_IMPROC_NEI_VEC_H
#define VANTOR_IMPROC_NEI_VEC_H

#include <cstddef>
#include <cstdint>

namespace vantor {

// One request of a list: n steps of an operation code.
struct NeiStep {
  int32_t code;
  int32_t n;
};

// Runs the steps in order on one scratch copy (one load, one store). Codes
// that do not apply to the depth, and counts below 1, are skipped.
int32_t NeiMemVectorSteps(void* pixels, int32_t width, int32_t height, int32_t pitch,
                          const NeiStep* steps, size_t count);
int32_t MaskNeiVectorSteps(void* pixels, int32_t width, int32_t height, int32_t pitch,
                           const NeiStep* steps, size_t count);

int32_t NeiMemVector(void* pixels, int32_t width, int32_t height, int32_t pitch, int32_t code,
                     int32_t n);

int32_t MaskNeiVector(void* pixels, int32_t width, int32_t height, int32_t pitch, int32_t code,
                      int32_t n);

}  // namespace vantor

#endif
