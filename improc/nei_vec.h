// Vector versions of the neighbourhood kernels (internal) for what the tm
// run kernels do not cover well: single square and cross steps, folded into
// sweeps of up to 16 passes down the image through a ring of padded rows per
// pass, and the smoothing codes. They take the same arguments as NeiMem and
// MaskNei and give bit-identical results.
// Result: 0 done; -1 when the scratch memory cannot be had (pixels are then
// unchanged and the caller falls back to the scalar kernel), the arguments
// are not a valid rectangle, or the request is not one of these kernels'
// (row and column runs, squares of more than 8 steps, smoothing mixed with
// minimum/maximum steps in one list: those are for tmByteNeiH2, tmByteNeiV2
// and tmBitNeiInPlace).
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

// Runs the steps in order between one load and one store. Codes that do not
// apply to the depth, and counts below 1, are skipped.
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
