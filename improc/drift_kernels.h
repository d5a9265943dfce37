// Inner loops of the drift measurement over float rows: sums of squared
// differences, separable filtering, the weighted normal equations of the
// sub-pixel refinement, and the motion models' cubic resampling and normal
// equations (drift_kernels_motion.cpp). Each has a vector path (run-time
// dispatch over the compiled targets) and a scalar twin; the caller picks the
// set once per operation with DriftKernelsFor.
#ifndef VANTOR_IMPROC_DRIFT_KERNELS_H
#define VANTOR_IMPROC_DRIFT_KERNELS_H

#include <cstddef>
#include <cstdint>

namespace vantor::drift {

// The weighted sums of one Gauss-Newton step over the model
//   r = gx dx + gy dy + c0 + c1 a + b lap
// (r the residual, g the reference's gradient, a its grey level, lap its
// Laplacian): the normal matrix J^T W J (upper triangle, row by row, over
// J = (gx, gy, 1, a, lap)), J^T W r, the sum of the weights and of the
// weighted squared model errors. The weights come from the model error
// e = r - (c0 + c1 a + b lap) of the previous estimate.
//
// With positions u along the row, the gain may also change along it (cu u a
// in the model); the sums of its column u a then go to s: its products with
// J's five columns, its own square, and its product with r.
struct NormalSums {
  static constexpr int kParams = 5;
  static constexpr int kMatrix = kParams * (kParams + 1) / 2;
  static constexpr int kSpatial = kParams + 2;
  double m[kMatrix] = {};
  double v[kParams] = {};
  double s[kSpatial] = {};
  double w = 0, wee = 0;
};

// The photometric part of the model: offset c0, gain c1, blur b, and the
// gain's change per unit of position along the row cu.
struct Photometric {
  float c0 = 0, c1 = 0, b = 0, cu = 0;
};

// Robust weights of residuals (c > 0): none (1), Huber (min(1, c / |r|)),
// Tukey's biweight ((1 - (r / c)^2)^2 inside c, 0 outside).
enum class Weighting : int32_t { kNone = 0, kHuber = 1, kTukey = 2 };

// A limit of the robust weights that grows with the reference's grey level a
// (photon noise and the resampling's error grow with the signal): at least
// the row's c, and k sqrt(n0 + s (n1 + n2 s)) with s = max(0, a - level).
struct LevelLimit {
  float level = 0, n0 = 0, n1 = 0, n2 = 0, k = 0;
};

// One row of a motion's Gauss-Newton step: the residuals r (NaN where none
// was sampled), the reference's gradients, grey levels and Laplacian, and the
// positions from the motion's centre (u along the row, v of the row).
struct MotionRow {
  const float* r = nullptr;
  const float* gx = nullptr;
  const float* gy = nullptr;
  const float* a = nullptr;
  const float* lap = nullptr;
  const float* u = nullptr;
  float v = 0;
};

// The weighted sums of a motion's step over the model
//   r = J . (displacement, motion, c0, c1, b)
// with J's columns gx, gy, then the motion's own (3 motion parameters:
// u gy - v gx; 4: also u gx + v gy; 6: u gx, v gx, u gy, v gy), then 1, a,
// lap: P = motion parameters + 3 columns. m holds J^T W J's upper triangle
// (row i, column j >= i at m[i P + j]), v J^T W r, mom the weighted sums of
// 1, u, v, u u, u v, v v; wee the weighted squared model errors, compared
// the pixels with a residual. The weights come from the model error
// e = r - (c0 + c1 a + b lap) of the previous estimate.
struct MotionSums {
  static constexpr int kMaxParams = 9;
  double m[kMaxParams * kMaxParams] = {};
  double v[kMaxParams] = {};
  double mom[6] = {};
  double wee = 0;
  int64_t compared = 0;
};

struct DriftKernels {
  // Sum over a w x h block of (b - a)^2; pitches in floats.
  double (*ssd_block)(const float* a, std::ptrdiff_t a_pitch, const float* b,
                      std::ptrdiff_t b_pitch, int32_t w, int32_t h);
  // dst[x] = sum_k taps[k] src[x + k] for x < n, k < count; each output
  // rounded alike wherever it falls in the row (dst is not src).
  void (*filter_row)(const float* src, float* dst, int32_t n, const float* taps, int32_t count);
  // dst[x] = sum_k taps[k] rows[k][x] - (sub ? sub[x] : 0) for x < n, k < count;
  // each output rounded alike wherever it falls (dst is none of the inputs).
  void (*filter_columns)(const float* const* rows, const float* sub, float* dst, int32_t n,
                         const float* taps, int32_t count);
  // Adds the weighted sums of n pixels to *sums; with u (positions, may be
  // null) also the spatial column's, and p.cu enters the model errors. The
  // weights' limit is c, or per pixel *limit's where limit is not null.
  void (*normal_row)(const float* r, const float* gx, const float* gy, const float* a,
                     const float* lap, const float* u, int32_t n, const Photometric& p,
                     Weighting kind, float c, const LevelLimit* limit, NormalSums* sums);
  // For x < n, of the pixel mid[x + 1]: its central differences along the
  // row (gx) and between up and down (gy), and its 5-point Laplacian (lap).
  void (*gradient_row)(const float* up, const float* mid, const float* down, int32_t n,
                       float* gx, float* gy, float* lap);
  // dst[x] = src[x] for n unsigned samples of 1 or 2 bytes (bytes 1 or 2;
  // 2-byte samples in the machine's order, at any alignment).
  void (*widen_row)(const uint8_t* src, int32_t bytes, float* dst, int32_t n);
  // dst[x] = mean of the 2 x 2 bytes at column 2x of rows r0 and r1, x < n.
  void (*halve_bytes)(const uint8_t* r0, const uint8_t* r1, float* dst, int32_t n);
  // Over x in [1, n - 1) of the row mid: adds the squared central
  // differences (along the row, and between the rows up and down) to s[0],
  // mid[x] - offset to s[1] and its square to s[2] (an offset near the mean
  // keeps the float sums of large values from cancelling).
  void (*gradient_stats_row)(const float* up, const float* mid, const float* down, int32_t n,
                             float offset, double* s);
  // dst[x] = (r0[2x] + r0[2x + 1] + r1[2x] + r1[2x + 1]) / 4 of floats, summed
  // in that order so that both paths give the same bits.
  void (*halve_floats)(const float* r0, const float* r1, float* dst, int32_t n);
  // For k < n: the cubic B-spline with coefficients src (rows of pitch
  // floats; the registration's SplineCoefficients makes them from samples)
  // at (line[0] + k line[2], line[1] + k line[3]), minus sub[k] when sub is
  // not null; NaN where that position lies outside box (x from box[0]
  // and y from box[1] included, to box[2] and box[3] excluded). The box keeps
  // the 4 x 4 taps within src: box[0], box[1] >= 1, box[2] <= width - 2,
  // box[3] <= height - 2.
  void (*warp_row)(const float* src, std::ptrdiff_t pitch, const double* line, const double* box,
                   const float* sub, float* dst, int32_t n);
  // Adds the sums of n pixels of row to *sums for a motion of params (3, 4
  // or 6) parameters.
  void (*motion_normal_row)(const MotionRow& row, int32_t n, int32_t params, const Photometric& p,
                            Weighting kind, float c, MotionSums* sums);
  // The columns x in [1, n - 1), in order, where mid[x] stands more than
  // limit above both its neighbours along the row or below both, into out;
  // returns their number.
  int32_t (*spike_row)(const float* mid, int32_t n, float limit, int32_t* out);
  // The columns x < n, in order, where gx[x]^2 + gy[x]^2 (each square and
  // the sum rounded to float) exceeds limit, into out; returns their number.
  int32_t (*strong_row)(const float* gx, const float* gy, int32_t n, float limit, int32_t* out);
};

// The vector kernels (vector true) or their scalar twins.
const DriftKernels& DriftKernelsFor(bool vector);

// The kernels the current kernel mode selects (scalar in mode 2).
const DriftKernels& DriftKernelsForMode();

}  // namespace vantor::drift

#endif
