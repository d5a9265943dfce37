// Smoothing and the measures built on it: Gaussian smoothing of a rectangle,
// the noise level, gradient and signal energy, and the focus comparison that
// finds how much blurrier one frame is than the other.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "registration/drift_internal.h"

namespace vantor::drift {
namespace {

// Normalised Gaussian taps of radius ceil(2.7 sigma) (at least 1).
std::vector<float> GaussTaps(double sigma) {
  const int32_t radius = std::max(1, static_cast<int32_t>(std::ceil(2.7 * sigma)));
  std::vector<double> v(2 * radius + 1);
  double s = 0;
  for (int32_t k = -radius; k <= radius; ++k) {
    v[k + radius] = std::exp(-0.5 * k * k / (sigma * sigma));
    s += v[k + radius];
  }
  std::vector<float> taps(v.size());
  for (size_t i = 0; i < v.size(); ++i) taps[i] = static_cast<float>(v[i] / s);
  return taps;
}

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

}  // namespace

bool SmoothRegion(const FloatImage& src, const Rect& r, double sigma, FloatImage* out,
                  const DriftKernels& k, Workspace& ws) {
  const int32_t w = r.Width(), h = r.Height();
  if (w <= 0 || h <= 0 || src.Empty() || !(sigma > 0.0 && sigma < 64.0)) return false;
  const std::vector<float> taps = GaussTaps(sigma);
  const int32_t count = static_cast<int32_t>(taps.size());
  const int32_t radius = count / 2;
  // The horizontally smoothed rows r.y0 - radius .. r.y1 + radius, made as
  // the columns' pass needs them into a ring of count rows that stays in the
  // cache (row j of them in ring row j % count).
  FloatImage& ring = ws.smoothRows;
  std::vector<float>& line = ws.smoothLine;
  if (!ring.Allocate(w, count) || !out->Allocate(w, h)) return false;
  line.resize(static_cast<size_t>(w) + 2 * radius);
  const int32_t lo = r.x0 - radius;
  // Columns of the line that lie inside the source.
  const int32_t in0 = std::max(lo, 0), in1 = std::min(r.x1 + radius, src.w);
  const bool inside = in0 == lo && in1 == r.x1 + radius;
  auto MakeRow = [&](int32_t j) {
    const float* s = src.Row(Clamp(r.y0 - radius + j, 0, src.h - 1));
    float* dst = ring.Row(j % count);
    if (inside) return k.filter_row(s + lo, dst, w, taps.data(), count);
    float* l = line.data();
    const int32_t n = static_cast<int32_t>(line.size());
    // Columns outside the source repeat its edge; the rest is copied.
    const int32_t left = std::min(n, in0 - lo);
    for (int32_t x = 0; x < left; ++x) l[x] = s[Clamp(lo + x, 0, src.w - 1)];
    for (int32_t x = std::max(left, in1 - lo); x < n; ++x) l[x] = s[Clamp(lo + x, 0, src.w - 1)];
    if (in1 > in0) std::memcpy(l + (in0 - lo), s + in0, sizeof(float) * (in1 - in0));
    k.filter_row(l, dst, w, taps.data(), count);
  };
  for (int32_t j = 0; j + 1 < count; ++j) MakeRow(j);
  std::vector<const float*> col(static_cast<size_t>(count));
  for (int32_t y = 0; y < h; ++y) {
    MakeRow(y + count - 1);
    for (int32_t t = 0; t < count; ++t) col[t] = ring.Row((y + t) % count);
    k.filter_columns(col.data(), nullptr, out->Row(y), w, taps.data(), count);
  }
  return true;
}

GradientStats GradientEnergy(const FloatImage& full, const Rect& r, double sigma,
                             const DriftKernels& k, Workspace& ws) {
  FloatImage& s = ws.energySmooth;
  GradientStats g;
  if (!SmoothRegion(full, Rect{r.x0 - 1, r.y0 - 1, r.x1 + 1, r.y1 + 1}, sigma, &s, k, ws))
    return g;
  // Every other row is plenty for these two statistics. The pixels are
  // summed about the middle row's mean, so that their float sums do not
  // cancel in the variance.
  const float* middle = s.Row(s.h / 2);
  double offset = 0;
  for (int32_t x = 0; x < s.w; ++x) offset += middle[x];
  offset /= s.w;
  double sums[3] = {0, 0, 0};
  int64_t count = 0;
  for (int32_t y = 1; y + 1 < s.h && s.w > 2; y += 2) {
    k.gradient_stats_row(s.Row(y + 1), s.Row(y), s.Row(y - 1), s.w, static_cast<float>(offset),
                         sums);
    count += s.w - 2;
  }
  const double n = static_cast<double>(std::max<int64_t>(1, count));
  g.energy = sums[0] / n;
  g.variance = std::max(0.0, sums[2] / n - (sums[1] / n) * (sums[1] / n));
  return g;
}

double NoiseGain(double sigma) {
  const std::vector<float> g = GaussTaps(sigma);
  double s = 0, sd = 0;
  const int32_t n = static_cast<int32_t>(g.size());
  for (int32_t i = 0; i < n; ++i) s += static_cast<double>(g[i]) * g[i];
  for (int32_t i = -1; i <= n; ++i) {  // the taps convolved with (-1/2, 0, 1/2)
    const double a = i + 1 < n && i + 1 >= 0 ? g[i + 1] : 0.0;
    const double b = i - 1 >= 0 && i - 1 < n ? g[i - 1] : 0.0;
    sd += 0.25 * (a - b) * (a - b);
  }
  return 2.0 * s * sd;
}

double ValueNoiseGain(double sigma) {
  double s = 0;
  for (float t : GaussTaps(sigma)) s += static_cast<double>(t) * t;
  return s * s;
}

namespace {

// Enough terms of the mirrored start of SplineCoefficients' recursions that
// z^k is below float's precision.
constexpr int32_t kSplineStart = 12;

// The causal and anticausal passes of SplineCoefficients along K rows from
// y0 (width at least 2), the chains side by side.
template <int K>
void SplineRows(FloatImage& img, int32_t y0, float z, float lastGain) {
  const int32_t w = img.w;
  float* p[K];
  float c[K];
  for (int j = 0; j < K; ++j) {
    p[j] = img.Row(y0 + j);
    float sum = 0, zk = 1;
    for (int32_t i = 0; i < std::min(w, kSplineStart); ++i, zk *= z) sum += zk * p[j][i];
    p[j][0] = c[j] = sum;
  }
  for (int32_t i = 1; i < w; ++i)
    for (int j = 0; j < K; ++j) p[j][i] = c[j] = p[j][i] + z * c[j];
  for (int j = 0; j < K; ++j) p[j][w - 1] = c[j] = lastGain * (c[j] + z * p[j][w - 2]);
  for (int32_t i = w - 2; i >= 0; --i)
    for (int j = 0; j < K; ++j) p[j][i] = c[j] = z * (c[j] - p[j][i]);
}

}  // namespace

void SplineCoefficients(FloatImage& img) {
  // The inverse of the cubic B-spline's sampling (1, 4, 1) / 6 both ways: a
  // causal and an anticausal pass of its pole z, mirrored at the ends.
  const float z = static_cast<float>(std::sqrt(3.0) - 2.0);
  const float lastGain = z / (z * z - 1.0f);
  constexpr float kGain = 6.0f;  // (1 - z) (1 - 1 / z)
  const int32_t w = img.w, h = img.h;
  // Along the rows, four at a time: each row's recursion is a chain of
  // dependent steps; four chains, each in a register, keep the core busy.
  if (w >= 2) {
    int32_t y = 0;
    for (; y + 4 <= h; y += 4) SplineRows<4>(img, y, z, lastGain);
    for (; y < h; ++y) SplineRows<1>(img, y, z, lastGain);
  }
  // Both passes' gains at the end of the columns' (or here with one row).
  if (h < 2) {
    if (h == 1 && w >= 2)
      for (int32_t x = 0; x < w; ++x) img.Row(0)[x] *= kGain;
    return;
  }
  // Down the columns, whole rows at a time.
  {
    float* first = img.Row(0);
    float zk = z;
    for (int32_t j = 1; j < std::min(h, kSplineStart); ++j, zk *= z) {
      const float* r = img.Row(j);
      for (int32_t x = 0; x < w; ++x) first[x] += zk * r[x];
    }
  }
  for (int32_t y = 1; y < h; ++y) {
    float* r = img.Row(y);
    const float* up = img.Row(y - 1);
    for (int32_t x = 0; x < w; ++x) r[x] += z * up[x];
  }
  {
    float* last = img.Row(h - 1);
    const float* up = img.Row(h - 2);
    for (int32_t x = 0; x < w; ++x) last[x] = lastGain * (last[x] + z * up[x]);
  }
  // The anticausal pass, each row scaled once the one above no longer
  // needs it.
  const float gain = w >= 2 ? kGain * kGain : kGain;
  for (int32_t y = h - 2; y >= 0; --y) {
    float* r = img.Row(y);
    float* down = img.Row(y + 1);
    for (int32_t x = 0; x < w; ++x) {
      r[x] = z * (down[x] - r[x]);
      down[x] *= gain;
    }
  }
  float* first = img.Row(0);
  for (int32_t x = 0; x < w; ++x) first[x] *= gain;
}

LaplacianNoise LaplacianNoiseGains(double sigma) {
  // r[k]: the taps' autocorrelation at lag k; white noise smoothed both ways
  // correlates as r[|dx|] r[|dy|].
  const std::vector<float> g = GaussTaps(sigma);
  const int32_t n = static_cast<int32_t>(g.size());
  double r[3] = {};
  for (int32_t k = 0; k < 3; ++k)
    for (int32_t i = 0; i + k < n; ++i) r[k] += static_cast<double>(g[i]) * g[i + k];
  LaplacianNoise out;
  // The five-point Laplacian (-4 at the pixel, 1 at its four neighbours), per
  // unit of the smoothed value's own noise variance (r[0]^2).
  const double value = r[0] * r[0];
  if (!(value > 0)) return out;
  out.withValue = 4.0 * r[0] * (r[1] - r[0]) / value;
  out.squared =
      (20.0 * r[0] * r[0] - 32.0 * r[0] * r[1] + 4.0 * r[0] * r[2] + 8.0 * r[1] * r[1]) / value;
  return out;
}

double NoiseLevel(const FloatImage& img, const Rect& r) {
  // About 4096 blocks on a regular grid.
  const int32_t step = std::max<int32_t>(
      2, 2 * static_cast<int32_t>(std::sqrt(static_cast<double>(r.Area()) / 16384.0)));
  std::vector<float> e;
  for (int32_t y = r.y0; y + 1 < r.y1; y += step) {
    const float* a = img.Row(y);
    const float* b = img.Row(y + 1);
    for (int32_t x = r.x0; x + 1 < r.x1; x += step)
      e.push_back(std::fabs(0.5f * (a[x] - a[x + 1] - b[x] + b[x + 1])));
  }
  if (e.empty()) return 0.0;
  const size_t mid = e.size() / 2;
  std::nth_element(e.begin(), e.begin() + mid, e.end());
  return 1.4826 * e[mid];
}

void SampleGrid(const FloatImage& img, const Rect& r, std::vector<float>& out) {
  const int32_t step = std::max<int32_t>(
      1, static_cast<int32_t>(std::sqrt(static_cast<double>(r.Area()) / 4096.0)));
  out.clear();
  out.reserve(static_cast<size_t>((r.Width() / step + 1) * (r.Height() / step + 1)));
  for (int32_t y = r.y0; y < r.y1; y += step)
    for (int32_t x = r.x0; x < r.x1; x += step) out.push_back(img.Row(y)[x]);
}

float SampledMedian(const FloatImage& img, const Rect& r, Workspace& ws) {
  SampleGrid(img, r, ws.sample);
  return ws.sample.empty() ? 0.0f : SelectNth(ws.sample, ws.sample.size() / 2, ws.selectKeys);
}

int64_t RemoveSpikes(FloatImage* img, double noise, const DriftKernels& k,
                     std::vector<int32_t>& columns) {
  if (!(noise > 0.0) || img->w < 5 || img->h < 5) return 0;
  const float limit = static_cast<float>(kSpikeNoise * noise);
  // Nothing in a scene is a dark point: a pixel far below neighbours that
  // lie within three noise deviations of the level around is dead.
  const float dip = static_cast<float>(3.0 * noise);
  int64_t removed = 0;
  columns.resize(static_cast<size_t>(img->w));
  for (int32_t y = 2; y < img->h - 2; ++y) {
    float* row = img->Row(y);
    const float* up = img->Row(y - 1);
    const float* down = img->Row(y + 1);
    const float* up2 = img->Row(y - 2);
    const float* down2 = img->Row(y + 2);
    // Most pixels fail the test against their row's neighbours alone.
    const int32_t found = k.spike_row(row, img->w, limit, columns.data());
    for (int32_t i = 0; i < found; ++i) {
      const int32_t x = columns[i];
      if (x < 2 || x >= img->w - 2) continue;
      const float v = row[x];
      const float n4[4] = {row[x - 1], row[x + 1], up[x], down[x]};
      const float hi = std::max(std::max(n4[0], n4[1]), std::max(n4[2], n4[3]));
      const float lo = std::min(std::min(n4[0], n4[1]), std::min(n4[2], n4[3]));
      // The level around: the middle two of the four values two pixels away.
      const float r4[4] = {row[x - 2], row[x + 2], up2[x], down2[x]};
      const float rhi = std::max(std::max(r4[0], r4[1]), std::max(r4[2], r4[3]));
      const float rlo = std::min(std::min(r4[0], r4[1]), std::min(r4[2], r4[3]));
      const float level = 0.5f * (r4[0] + r4[1] + r4[2] + r4[3] - rhi - rlo);
      if (v - hi > limit && v - level > kSpikeRatio * std::max(0.0f, hi - level)) {
        row[x] = hi;
        ++removed;
      } else if (lo - v > limit &&
                 std::max(0.0f, level - lo) < std::max((level - v) / kSpikeRatio, dip)) {
        row[x] = lo;
        ++removed;
      }
    }
  }
  return removed;
}

double SignalEnergy(const FloatImage& full, const Rect& r, double sigma, double noise,
                    const DriftKernels& k, Workspace& ws) {
  const GradientStats g = GradientEnergy(full, r, sigma, k, ws);
  if (g.energy < 0) return -1;
  const std::vector<float> taps = GaussTaps(sigma);
  double s = 0;
  for (float t : taps) s += static_cast<double>(t) * t;
  const double n2 = noise * noise;
  const double energy = g.energy - n2 * NoiseGain(sigma);
  const double variance = g.variance - n2 * s * s;
  // No structure above the noise: nothing in focus.
  if (!(variance > 0.05 * g.variance) || !(energy > 0)) return 0.0;
  return energy / variance;
}

double MatchingSigma(const FloatImage& full, const Rect& r, double noise, double target,
                     double atBase, const DriftKernels& k, Workspace& ws) {
  // The energy falls as the smoothing grows, about as 1 / (a + b sigma^2), so
  // target / energy - 1 is nearly a straight line in sigma^2: secant steps on
  // it, kept inside the bracket that holds the answer, until the energy is
  // within 2 % of the target. A few evaluations instead of a bisection's
  // eight, the widest smoothing the dearest of them.
  const double top = 4.0 * kSmoothSigma + 8.0;
  const double uTop = top * top;
  if (!(target > 0.0 && atBase > target)) return kSmoothSigma;
  auto miss = [&](double u) {
    const double e = SignalEnergy(full, r, std::sqrt(u), noise, k, ws);
    return e > 0.0 ? target / e - 1.0 : 1e9;  // nothing left above the noise
  };
  double ul = kSmoothSigma * kSmoothSigma, ml = target / atBase - 1.0;  // below: ml < 0
  double uh = uTop, mh = 0.0;
  bool upper = false;
  // First guess: the energy inversely proportional to sigma^2.
  double u = std::min(uTop, ul * atBase / target);
  for (int32_t i = 0; i < 6; ++i) {
    const double m = miss(u);
    if (std::fabs(m) < 0.02) return std::sqrt(u);
    if (m < 0.0) {
      if (u >= uTop) return top;  // the widest smoothing still leaves it sharper
      const double slope = (m - ml) / (u - ul);
      ul = u;
      ml = m;
      if (!upper) {
        const double next = slope > 0.0 ? std::max(1.2 * ul, ul - ml / slope) : 2.0 * ul;
        u = std::min(uTop, next);
        continue;
      }
    } else {
      uh = u;
      mh = m;
      upper = true;
    }
    // Interpolate within the bracket, never at its very ends.
    const double t = std::clamp(-ml / (mh - ml), 0.1, 0.9);
    u = ul + t * (uh - ul);
  }
  return std::sqrt(u);
}

double FocusDifference(const FloatImage& a, const Rect& ra, double noiseA, const FloatImage& b,
                       const Rect& rb, double noiseB, double base, const DriftKernels& k,
                       Workspace& ws, double* sigma) {
  *sigma = base;
  if (ra.Area() <= 0 || rb.Area() <= 0) return 0.0;
  const double ea = SignalEnergy(a, ra, base, noiseA, k, ws);
  const double eb = SignalEnergy(b, rb, base, noiseB, k, ws);
  if (!(ea >= 0.0 && eb >= 0.0) || (ea <= 0.0 && eb <= 0.0)) return 0.0;
  if (eb * kFocusRatio >= ea && ea * kFocusRatio >= eb) return 0.0;
  const bool currentBlurrier = eb < ea;
  *sigma = currentBlurrier ? MatchingSigma(a, ra, noiseA, eb, ea, k, ws)
                           : MatchingSigma(b, rb, noiseB, ea, eb, k, ws);
  const double extra = std::sqrt(std::max(0.0, *sigma * *sigma - base * base));
  return currentBlurrier ? extra : -extra;
}

}  // namespace vantor::drift
