// The two implementations behind the warping kernels and the scale table,
// reachable for tests, benchmarks and callers that warp a band of rows at a
// time (the aligned-frame writer streams its output through a small buffer).
#ifndef VANTOR_IMPROC_WARP_INTERNAL_H
#define VANTOR_IMPROC_WARP_INTERNAL_H

#include <cstddef>
#include <cstdint>

namespace vantor {

// One warp of destination rows [y0, y1). dst is the address of row y0, dstPitch
// the step to the next row (may be negative); the fill mask, when given, is
// addressed from its row 0 like a whole destination.
struct WarpJob {
  const uint8_t* src = nullptr;
  int32_t srcWidth = 0, srcHeight = 0;
  std::ptrdiff_t srcPitch = 0;
  uint8_t* dst = nullptr;
  int32_t dstWidth = 0;
  std::ptrdiff_t dstPitch = 0;
  int32_t y0 = 0, y1 = 0;
  int32_t depth = 8;        // 1, 8, 16, 24, 32 or 48
  double m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  bool bilinearMapping = false;  // m as the eight-coefficient bilinear mapping
  bool nearest = false;          // nearest-pixel sampling instead of bilinear
  int32_t fill = 0;
  uint8_t* fillMask = nullptr;
  std::ptrdiff_t fillMaskPitch = 0;
};

// Whether the depth is one the kernels handle.
bool WarpDepthSupported(int32_t depth);

// Per-pixel reference: every pixel mapped and sampled on its own.
int64_t WarpScalar(const WarpJob& job);
// Vector code with fast paths for translations (rows of fixed weights) and
// affine matrices (no division); the same bytes and count as WarpScalar.
int64_t WarpVector(const WarpJob& job);
// The one the kernel mode selects.
int64_t Warp(const WarpJob& job);

// ScaleMaskData's two implementations: identical tables (the sums are whole
// numbers, exact in any order); the comparison total is not capped here.
int64_t ScaleMaskDataScalar(const uint8_t* a, int32_t width, int32_t height, int32_t aPitch,
                            const uint8_t* b, int32_t bPitch, const uint8_t* mask,
                            int32_t maskPitch, int32_t cx, int32_t cy, int32_t n, double first,
                            double step, double* table);
int64_t ScaleMaskDataVector(const uint8_t* a, int32_t width, int32_t height, int32_t aPitch,
                            const uint8_t* b, int32_t bPitch, const uint8_t* mask,
                            int32_t maskPitch, int32_t cx, int32_t cy, int32_t n, double first,
                            double step, double* table);

}  // namespace vantor

#endif
