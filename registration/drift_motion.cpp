// The precise method's refinement of a rotation, a similarity or an affine
// motion with the displacement: the inverse-compositional Gauss-Newton of the
// translation's refinement (drift_refine.cpp) with the motion's columns added
// to its normal equations. The current frame is smoothed over what the
// reference's rectangle reads, resampled through the motion as a cubic
// B-spline, and each step is solved from the reference's own gradients
// times the positions from the centre; the photometric offset, gain and blur
// are fitted alongside, Tukey weights keep what moves on its own out. The
// per-pixel work (resampling, normal equations) runs in the drift kernels.
#include <algorithm>
#include <cmath>
#include <vector>

#include "registration/drift_internal.h"

namespace vantor::drift {
namespace {

constexpr int kMaxParams = 9;
constexpr int32_t kMaxIterations = 30;
// Steps below this (pixels of displacement anywhere in the area) end it.
constexpr double kConverged = 1e-3;
constexpr double kHuberK = 1.345, kTukeyC = 4.685;
// The largest share of the remaining distance a step may leave and still be
// extrapolated (as the translation's refinement does).
constexpr double kMaxShortfall = 0.6;
// The blur is fitted where the reference's Laplacian is at least this many
// times its noise (in the sums of squares).
constexpr double kLaplacianSignal = 3.0;
// About how many model errors give the robust scale.
constexpr double kScaleSamples = 2048.0;

// The number of motion parameters of a model (the displacement's two first).
int MotionParams(int32_t model) {
  return model == kDriftRigid ? 3 : model == kDriftSimilarity ? 4 : 6;
}

// Each motion column is ax . (1, u, v) times gx plus ay . (1, u, v) times gy.
struct Column {
  double ax[3], ay[3];
};
void MotionColumns(int32_t model, Column* c) {
  c[0] = {{1, 0, 0}, {0, 0, 0}};
  c[1] = {{0, 0, 0}, {1, 0, 0}};
  if (model == kDriftAffine) {
    c[2] = {{0, 1, 0}, {0, 0, 0}};
    c[3] = {{0, 0, 1}, {0, 0, 0}};
    c[4] = {{0, 0, 0}, {0, 1, 0}};
    c[5] = {{0, 0, 0}, {0, 0, 1}};
    return;
  }
  c[2] = {{0, 0, -1}, {0, 1, 0}};  // rotation
  c[3] = {{0, 1, 0}, {0, 0, 1}};   // scale
}

// Holds parameter p at value: its row and column leave the system.
void Fix(double* a, double* v, int n, int p, double value) {
  for (int i = 0; i < n; ++i) {
    if (i == p) continue;
    v[i] -= a[i * n + p] * value;
    a[i * n + p] = a[p * n + i] = 0.0;
  }
  a[p * n + p] = 1.0;
  v[p] = value;
}

}  // namespace

void ProjectMotion(Motion& m, int32_t model) {
  if (model == kDriftAffine) return;
  const double angle = MotionAngle(m);
  const double scale = model == kDriftRigid ? 1.0 : MotionScale(m);
  m.a11 = m.a22 = scale * std::cos(angle);
  m.a21 = scale * std::sin(angle);
  m.a12 = -m.a21;
}


Motion AtLevel(const Motion& m, int32_t level, bool down) {
  Motion out = m;
  const double f = down ? std::ldexp(1.0, -level) : std::ldexp(1.0, level);
  out.dx *= f;
  out.dy *= f;
  return out;
}

double CentreOf(int32_t size, int32_t level) {
  // Block j of level l covers pixels [j 2^l, (j + 1) 2^l): its centre is at
  // j 2^l + (2^l - 1) / 2.
  const double s = std::ldexp(1.0, level);
  return (0.5 * (size - 1) - 0.5 * (s - 1)) / s;
}

double MotionEdge(double sigma) { return std::ceil(2.0 * sigma); }

double MotionAngle(const Motion& m) { return std::atan2(m.a21 - m.a12, m.a11 + m.a22); }

double MotionScale(const Motion& m) {
  const double det = m.a11 * m.a22 - m.a12 * m.a21;
  return det > 0 ? std::sqrt(det) : 0.0;
}

MotionRefinement RefineMotion(const ReferenceData& ref, const FloatImage& cur, const Motion& start,
                              double cx, double cy, int32_t model, double sigma, int32_t step,
                              const DriftKernels& k, Workspace& ws, double brightness,
                              int32_t rounds) {
  MotionRefinement out;
  const Rect& R = ref.rect;
  if (R.Area() <= 0 || cur.Empty() || step < 1) return out;
  brightness = std::clamp(brightness, 0.05, 20.0);
  const int nm = MotionParams(model), P = nm + 3;
  Column cols[6];
  MotionColumns(model, cols);
  // Positions from the centre in units of half the area's larger side.
  const double S = 0.5 * std::max(R.Width(), R.Height());
  // How far the motion may wander from its start (pixels anywhere in the area).
  const double reach = std::max(4.0, 0.15 * S);
  Motion m = start;
  auto Inverse = [](const Motion& t, double* inv) {
    const double det = t.a11 * t.a22 - t.a12 * t.a21;
    if (!(std::fabs(det) > 1e-6)) return false;
    inv[0] = t.a22 / det;
    inv[1] = -t.a12 / det;
    inv[2] = -t.a21 / det;
    inv[3] = t.a11 / det;
    return true;
  };
  // The smoothed current frame over what the rectangle reads at the start,
  // with room for the motion to wander.
  double mi[4];
  if (!Inverse(m, mi)) return out;
  double lo[2] = {1e300, 1e300}, hi[2] = {-1e300, -1e300};
  for (int corner = 0; corner < 4; ++corner) {
    const double qx = (corner & 1 ? R.x1 - 1 : R.x0) - cx - m.dx;
    const double qy = (corner & 2 ? R.y1 - 1 : R.y0) - cy - m.dy;
    const double sx = mi[0] * qx + mi[1] * qy + cx, sy = mi[2] * qx + mi[3] * qy + cy;
    lo[0] = std::min(lo[0], sx);
    hi[0] = std::max(hi[0], sx);
    lo[1] = std::min(lo[1], sy);
    hi[1] = std::max(hi[1], sy);
  }
  const double margin = reach + 3.0;
  if (!(hi[0] - lo[0] < 1e6 && hi[1] - lo[1] < 1e6)) return out;
  Rect Q;
  Q.x0 = std::max<int32_t>(0, static_cast<int32_t>(std::floor(lo[0] - margin)));
  Q.y0 = std::max<int32_t>(0, static_cast<int32_t>(std::floor(lo[1] - margin)));
  Q.x1 = std::min<int32_t>(cur.w, static_cast<int32_t>(std::ceil(hi[0] + margin)) + 1);
  Q.y1 = std::min<int32_t>(cur.h, static_cast<int32_t>(std::ceil(hi[1] + margin)) + 1);
  if (Q.Width() < 8 || Q.Height() < 8) return out;
  // Samples keep clear of the frame's edges, where the smoothing repeats the
  // edge pixels (src coordinates).
  const double edge = MotionEdge(sigma);
  const double sxLo = std::max(1.0, edge - Q.x0), syLo = std::max(1.0, edge - Q.y0);
  const double sxHi = std::min<double>(Q.Width() - 2, cur.w - 1 - edge - Q.x0);
  const double syHi = std::min<double>(Q.Height() - 2, cur.h - 1 - edge - Q.y0);
  FloatImage& src = ws.refineSmooth;
  if (!SmoothRegion(cur, Q, sigma, &src, k, ws)) return out;
  SplineCoefficients(src);
  const int32_t w = R.Width(), h = R.Height();
  FloatImage& resid = ws.residual;
  if (!resid.Allocate(w, h)) return out;
  std::vector<float>& sample = ws.sample;
  // The compared columns (every step-th): the residuals keep only those, and
  // the kernels read the reference's rows packed alike (rows 1 to 4 of
  // compact) beside the columns' places across the area (row 0).
  const int32_t nc = (w + step - 1) / step;
  FloatImage& compact = ws.motionColumns;
  if (!compact.Allocate(nc, 5)) return out;
  float* places = compact.Row(0);
  for (int32_t i = 0; i < nc; ++i) places[i] = static_cast<float>((R.x0 + i * step - cx) / S);
  const auto packed = [&](const float* row, int32_t slot) -> const float* {
    if (step == 1) return row;
    float* to = compact.Row(slot);
    for (int32_t i = 0; i < nc; ++i) to[i] = row[i * step];
    return to;
  };

  // The reference's noise in its Laplacian, per unit of its values' noise.
  const LaplacianNoise lapNoise = LaplacianNoiseGains(ref.sigma);
  float c0 = 0, c1 = 0, b = 0;
  double prev[kMaxParams] = {};
  double inv[kMaxParams] = {};
  double lastW = 0, lastWee = 0, noiseRatio = 0, scale = 1;
  int32_t tukeyRounds = 0;
  int64_t compared = 0;
  for (int32_t it = 0; it < std::min(rounds, kMaxIterations); ++it) {
    if (!Inverse(m, mi)) return out;
    // The first, rough steps compare every other row.
    const int32_t rs = it < 2 ? 2 * step : step;
    // Resampled current frame minus the reference; NaN where no sample falls.
    const double bx = cx - Q.x0, by = cy - Q.y0;
    const double box[4] = {sxLo, syLo, sxHi, syHi};
    for (int32_t y = 0; y < h; y += rs) {
      const double qy = R.y0 + y - cy - m.dy, qx = R.x0 - cx - m.dx;
      const double line[4] = {mi[0] * qx + mi[1] * qy + bx, mi[2] * qx + mi[3] * qy + by,
                              mi[0] * step, mi[2] * step};
      k.warp_row(src.Row(0), src.pitch, line, box, packed(ref.Smooth(y), 1), resid.Row(y), nc);
    }
    // Robust scale from a low quantile of the model errors (as the
    // translation's refinement takes it in a dense scene), on a grid of
    // about kScaleSamples of them, rows every grid, columns every gridX
    // (on a small coarse level every row's and column's errors made the
    // selection a seventh of the whole run).
    sample.clear();
    const double area = static_cast<double>(R.Area());
    const int32_t grid =
        std::max<int32_t>(rs, static_cast<int32_t>(std::sqrt(area / kScaleSamples)) / rs * rs);
    const int32_t gridX = std::max<int32_t>(
        step, static_cast<int32_t>(std::ceil(area / (kScaleSamples * grid) / step)) * step);
    for (int32_t y = 0; y < h; y += grid) {
      const float* r = resid.Row(y);
      const float* a = ref.Smooth(y);
      const float* lap = ref.lap.Row(y);
      for (int32_t x = 0; x < w; x += gridX)
        if (const float rx = r[x / step]; !std::isnan(rx))
          sample.push_back(rx - (c0 + c1 * a[x] + b * lap[x]));
    }
    if (sample.size() < 32) return out;
    {
      const float med = SelectNth(sample, sample.size() / 2, ws.selectKeys);
      for (float& v : sample) v = std::fabs(v - med);
      scale = std::max(SelectNth(sample, sample.size() / 5, ws.selectKeys) / 0.2533, 1e-6);
    }
    const bool tukey = it >= 1;
    const float c = static_cast<float>((tukey ? kTukeyC : kHuberK) * scale);
    // The normal equations: motion columns, then offset, gain and blur.
    double M[kMaxParams * kMaxParams] = {}, V[kMaxParams] = {};
    MotionSums sums;
    const Photometric photometric{c0, c1, b, 0.0f};
    const Weighting weighting = tukey ? Weighting::kTukey : Weighting::kHuber;
    for (int32_t y = 0; y < h; y += rs) {
      MotionRow row;
      row.r = resid.Row(y);
      row.a = packed(ref.Smooth(y), 1);
      row.gx = packed(ref.gx.Row(y), 2);
      row.gy = packed(ref.gy.Row(y), 3);
      row.lap = packed(ref.lap.Row(y), 4);
      row.u = places;
      row.v = static_cast<float>((R.y0 + y - cy) / S);
      k.motion_normal_row(row, nc, nm, photometric, weighting, c, &sums);
    }
    for (int i = 0; i < P; ++i) {
      for (int j = i; j < P; ++j) M[i * P + j] = sums.m[i * P + j];
      V[i] = sums.v[i];
    }
    const double* mom = sums.mom;
    const double sw = mom[0], swee = sums.wee;
    compared = sums.compared;
    if (compared * 4 * rs * step < R.Area() || sw <= 0) return out;
    for (int i = 0; i < P; ++i)
      for (int j = 0; j < i; ++j) M[i * P + j] = M[j * P + i];
    // The reference's gradient noise inflates the motion block (its squares,
    // not its products with the residual): its expected share is taken off.
    const double mm[3][3] = {{mom[0], mom[1], mom[2]}, {mom[1], mom[3], mom[4]},
                             {mom[2], mom[4], mom[5]}};
    double N[6][6] = {};
    for (int i = 0; i < nm; ++i)
      for (int j = 0; j < nm; ++j) {
        double s = 0;
        for (int p = 0; p < 3; ++p)
          for (int q = 0; q < 3; ++q)
            s += (cols[i].ax[p] * cols[j].ax[q] + cols[i].ay[p] * cols[j].ay[q]) * mm[p][q];
        N[i][j] = ref.gradientNoise * s;
      }
    const double noiseShare = N[0][0];
    const double signal = 0.5 * (M[0] + M[P + 1]) - noiseShare;
    noiseRatio = signal > 0.05 * noiseShare ? noiseShare / signal : 20.0;
    double f = 1.0;
    for (int i = 0; i < nm; ++i)
      if (N[i][i] > 0) f = std::min(f, 0.8 * M[i * P + i] / N[i][i]);
    for (int i = 0; i < nm; ++i)
      for (int j = 0; j < nm; ++j) M[i * P + j] -= f * N[i][j];
    // Whether the reference can tell the gain (as in the translation's).
    const int g0 = nm, g1 = nm + 1;
    const double spreadA =
        M[g1 * P + g1] - M[g0 * P + g1] * M[g0 * P + g1] / std::max(M[g0 * P + g0], 1e-30);
    if (!(spreadA > 2.0 * ref.valueNoise * sw)) {
      Fix(M, V, P, g1, brightness - 1.0);
      Fix(M, V, P, nm + 2, 0.0);
    } else {
      // The gain's and the blur's regressors (the smoothed reference and its
      // Laplacian) carry the reference's noise, which is also in the residual
      // with the opposite sign: left in, the gain is pulled toward "the
      // current frame is flat" and the blur toward "blurred" (half a pixel
      // squared on blobs at noise 8), and the noise they then add costs the
      // motion a tenth of its precision. Their expected shares are taken off.
      // Where the Laplacian is mostly noise the corrected blur would be too
      // (-1.5 at noise 16): there it is held at none.
      const int bl = nm + 2;
      const double vn = ref.valueNoise * sw, lv = lapNoise.withValue * vn,
                   ll = lapNoise.squared * vn;
      M[g1 * P + g1] -= std::min(vn, 0.8 * M[g1 * P + g1]);
      V[g1] += vn;
      if (M[bl * P + bl] > kLaplacianSignal * ll) {
        M[bl * P + bl] -= ll;
        V[bl] += lv;
        M[g1 * P + bl] -= lv;
        M[bl * P + g1] -= lv;
      } else {
        Fix(M, V, P, bl, 0.0);
      }
    }
    double X[kMaxParams];
    if (!SolveSymmetric(M, V, P, X, inv)) return out;
    for (int i = 0; i < nm; ++i) X[i] /= brightness;
    // Steps that fall short by a steady share: the rest of the series at once.
    double gain = 1.0;
    if (it >= 1) {
      double pp = 0, xp = 0;
      for (int i = 0; i < nm; ++i) {
        pp += prev[i] * prev[i];
        xp += X[i] * prev[i];
      }
      const double ratio = pp > 0 ? xp / pp : 0.0;
      if (ratio > 0.0 && ratio < kMaxShortfall) gain = 1.0 / (1.0 - ratio);
    }
    for (int i = 0; i < nm; ++i) prev[i] = X[i];
    // The step's motion E(q) = q + t + D (q - c) composes onto the estimate.
    double D[4];
    if (model == kDriftAffine) {
      D[0] = X[2];
      D[1] = X[3];
      D[2] = X[4];
      D[3] = X[5];
    } else {
      const double s = model == kDriftSimilarity ? X[3] : 0.0;
      D[0] = D[3] = s;
      D[1] = -X[2];
      D[2] = X[2];
    }
    double largest = std::max(std::fabs(X[0]), std::fabs(X[1]));
    for (double& d : D) {
      d *= gain / S;
      largest = std::max(largest, std::fabs(d) * S);
    }
    const double tx = gain * X[0], ty = gain * X[1];
    Motion n = m;
    n.a11 = (1 + D[0]) * m.a11 + D[1] * m.a21;
    n.a12 = (1 + D[0]) * m.a12 + D[1] * m.a22;
    n.a21 = D[2] * m.a11 + (1 + D[3]) * m.a21;
    n.a22 = D[2] * m.a12 + (1 + D[3]) * m.a22;
    n.dx = (1 + D[0]) * m.dx + D[1] * m.dy + tx;
    n.dy = D[2] * m.dx + (1 + D[3]) * m.dy + ty;
    ProjectMotion(n, model);
    m = n;
    c0 = static_cast<float>(X[nm]);
    c1 = static_cast<float>(X[nm + 1]);
    b = static_cast<float>(X[nm + 2]);
    lastW = sw;
    lastWee = swee;
    out.iterations = it + 1;
    // Wandered off: the displacement of the area's corners from the start.
    const double moved = std::max({std::fabs(m.dx - start.dx), std::fabs(m.dy - start.dy),
                                   (std::fabs(m.a11 - start.a11) + std::fabs(m.a12 - start.a12) +
                                    std::fabs(m.a21 - start.a21) + std::fabs(m.a22 - start.a22)) *
                                       S});
    if (!(moved < reach)) return out;
    if (tukey) ++tukeyRounds;
    if (tukeyRounds >= 2 && largest * gain < kConverged * step) break;
  }
  out.ok = true;
  out.m = m;
  out.inliers = lastW / std::max<double>(1.0, static_cast<double>(compared));
  out.cost = scale;
  out.blur = b;
  // The standard error as the translation's refinement states it (twice the
  // statistical estimate, a floor for the resampling).
  const double var = lastW > 0 ? lastWee / lastW : 0.0;
  const double corr = 4.0 * M_PI * sigma * sigma / (static_cast<double>(step) * step);
  const double statistical =
      std::sqrt(std::max(inv[0], inv[1]) * var * corr * (1.0 + noiseRatio)) / brightness;
  out.precision = std::hypot(2.0 * statistical, 0.002);
  double most = 0.0;
  for (int j = 2; j < nm; ++j) most = std::max(most, inv[j]);
  out.matrixError = 2.0 * std::sqrt(most * var * corr * (1.0 + noiseRatio)) / brightness / S;
  return out;
}

}  // namespace vantor::drift
