// Drift measurement: the global whole-pixel search over a block-mean pyramid
// that checks (and where needed rescues) the local registration search, the
// robust sub-pixel refinement of the precise method, and the classification
// of a sequence's results.
//
// The precise method refines in the inverse-compositional form: the current
// frame is resampled (Keys cubic) onto the reference's grid and the update
// solves the normal equations built from the reference's own gradients. Both
// frames are smoothed first (Gaussian, sigma 1.5). Because the gradient comes
// from a different image than the one resampled, the noise of the resampled
// frame (whose variance changes with the sub-pixel phase) does not bias the
// solution toward half pixels, as minimising the interpolated mean square
// difference does. Tukey weights, scaled by the median absolute residual,
// keep objects that move on their own out of the fit.
#include "registration/drift.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <new>

#include "generic/last_error.h"
#include "memrect/memrect.h"
#include "memrect/rect_view.h"
#include "registration/checks.h"
#include "registration/drift_internal.h"
#include "registration/registration.h"
#include "registration/registration_internal.h"

namespace vantor::drift {
namespace {

// Smoothing of both frames before the refinement.
constexpr double kSmoothSigma = 1.5;
// How far the refinement may move from its start, in pixels.
constexpr int32_t kMaxMove = 3;
constexpr int32_t kMaxIterations = 20;
// The largest share of the remaining distance a step may leave and still be
// extrapolated.
constexpr double kMaxShortfall = 0.6;
// Steps below this (pixels, each axis) end the refinement.
constexpr double kConverged = 1e-3;
// The reference's smoothing reaches this far past its rectangle, so that a
// frame displaced by up to about this much from the next one needs no second
// smoothing as that pair's current frame.
constexpr int32_t kReuseMargin = 12;
constexpr double kHuberK = 1.345, kTukeyC = 4.685;
// A frame whose gradient energy differs from the other's by more than this
// factor is smoothed further to match before the refinement (focus change).
constexpr double kFocusRatio = 1.1;

// Normalised Gaussian taps of radius ceil(3 sigma) (at least 1).
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

// Keys cubic convolution (a = -0.5) weights of the taps -1, 0, 1, 2 at phase f.
void KeysWeights(double f, float* w) {
  auto k = [](double x) {
    x = std::fabs(x);
    if (x < 1) return (1.5 * x - 2.5) * x * x + 1;
    if (x < 2) return ((-0.5 * x + 2.5) * x - 4) * x + 2;
    return 0.0;
  };
  w[0] = static_cast<float>(k(1 + f));
  w[1] = static_cast<float>(k(f));
  w[2] = static_cast<float>(k(1 - f));
  w[3] = static_cast<float>(k(2 - f));
}

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Mean cost of the level-0 grey images at a whole-pixel displacement: the
// registration's own cost (bilinear sampling at whole pixels).
double GreyCost(const vantor::ResolvedPair& pair, double dx, double dy) {
  const double p[4] = {dx, dy, 1.0, 0.0};
  return vantor::ResolvedCost(p, const_cast<vantor::ResolvedPair*>(&pair));
}

}  // namespace

bool FloatImage::Allocate(int32_t width, int32_t height) {
  w = h = 0;
  pitch = 0;
  if (width < 0 || height < 0) return false;
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (n > capacity) {
    try {
      data = std::make_unique_for_overwrite<float[]>(n);
    } catch (const std::bad_alloc&) {
      data.reset();
      capacity = 0;
      return vantor::err::FailMemory();
    }
    capacity = n;
  }
  w = width;
  h = height;
  pitch = width;
  return true;
}

Rect CentralRect(int32_t w, int32_t h, double fraction) {
  const int32_t nh = CentralHalfSpan(w, fraction);
  const int32_t nv = CentralHalfSpan(h, fraction);
  Rect r;
  r.x0 = std::max(0, w / 2 - nh);
  r.x1 = static_cast<int32_t>(std::min<int64_t>(w, static_cast<int64_t>(w / 2) + nh + 1));
  r.y0 = std::max(0, h / 2 - nv);
  r.y1 = static_cast<int32_t>(std::min<int64_t>(h, static_cast<int64_t>(h / 2) + nv + 1));
  return r;
}

bool ToFloatGrey(int32_t handle, FloatImage* out, const DriftKernels& k) {
  RectView v;
  if (!ResolveRect(handle, v)) return false;
  if (!out->Allocate(v.width, v.height)) return false;
  for (int32_t y = 0; y < v.height; ++y) {
    const uint8_t* s = v.Row(y);
    float* d = out->Row(y);
    switch (v.depth) {
      case 8:
      case 16:
        k.widen_row(s, v.depth / 8, d, v.width);
        break;
      case 32: {
        for (int32_t x = 0; x < v.width; ++x) {
          int32_t u;
          std::memcpy(&u, s + 4 * x, 4);
          d[x] = static_cast<float>(u);
        }
        break;
      }
      case 64: {
        for (int32_t x = 0; x < v.width; ++x) {
          double u;
          std::memcpy(&u, s + 8 * x, 8);
          d[x] = std::isfinite(u) && std::fabs(u) < 1e30 ? static_cast<float>(u) : 0.0f;
        }
        break;
      }
      case 24:
        for (int32_t x = 0; x < v.width; ++x)
          d[x] = (s[3 * x] + s[3 * x + 1] + s[3 * x + 2]) * (1.0f / 3.0f);
        break;
      case 48: {
        for (int32_t x = 0; x < v.width; ++x) {
          uint16_t c[3];
          std::memcpy(c, s + 6 * x, 6);
          d[x] = (static_cast<float>(c[0]) + c[1] + c[2]) * (1.0f / 3.0f);
        }
        break;
      }
      default:
        out->Allocate(0, 0);
        return false;
    }
  }
  return true;
}

bool Halve(const FloatImage& src, FloatImage* dst) {
  if (!dst->Allocate(src.w / 2, src.h / 2)) return false;
  for (int32_t y = 0; y < dst->h; ++y) {
    const float* r0 = src.Row(2 * y);
    const float* r1 = src.Row(2 * y + 1);
    float* d = dst->Row(y);
    for (int32_t x = 0; x < dst->w; ++x)
      d[x] = (r0[2 * x] + r0[2 * x + 1] + r1[2 * x] + r1[2 * x + 1]) * 0.25f;
  }
  return true;
}

int32_t TopLevel(const Rect& mask) {
  int32_t side = std::min(mask.Width(), mask.Height());
  int32_t level = 0;
  while (side > 40 && level < 12) {
    side /= 2;
    ++level;
  }
  return level;
}

bool BuildPyramid(int32_t grey, int32_t top, Pyramid* pyramid, const DriftKernels& k) {
  RectView v;
  if (!ResolveRect(grey, v) || v.depth != 8) return false;
  pyramid->levels.clear();
  pyramid->levels.resize(static_cast<size_t>(top) + 1);
  pyramid->top = top;
  if (top == 0) {
    FloatImage& l0 = pyramid->levels[0];
    if (!l0.Allocate(v.width, v.height)) return false;
    for (int32_t y = 0; y < v.height; ++y) k.widen_row(v.Row(y), 1, l0.Row(y), v.width);
    return true;
  }
  // Level 1 straight from the bytes.
  FloatImage& l1 = pyramid->levels[1];
  if (!l1.Allocate(v.width / 2, v.height / 2)) return false;
  for (int32_t y = 0; y < l1.h; ++y) k.halve_bytes(v.Row(2 * y), v.Row(2 * y + 1), l1.Row(y), l1.w);
  for (int32_t l = 2; l <= top; ++l)
    if (!Halve(pyramid->levels[l - 1], &pyramid->levels[l])) return false;
  return true;
}

Rect LevelRect(const Rect& r, int32_t level, const FloatImage& img) {
  const int32_t f = 1 << level;
  Rect o;
  o.x0 = (r.x0 + f - 1) >> level;
  o.y0 = (r.y0 + f - 1) >> level;
  o.x1 = std::min(r.x1 >> level, img.w);
  o.y1 = std::min(r.y1 >> level, img.h);
  return o;
}

double LevelCost(const FloatImage& a, const FloatImage& b, const Rect& r, int32_t dx, int32_t dy,
                 const DriftKernels& k) {
  const int32_t x0 = std::max(r.x0, -dx), x1 = std::min(r.x1, a.w - dx);
  const int32_t y0 = std::max(r.y0, -dy), y1 = std::min(r.y1, a.h - dy);
  if (x1 <= x0 || y1 <= y0) return -1.0;
  const int64_t count = static_cast<int64_t>(x1 - x0) * (y1 - y0);
  if (2 * count < r.Area()) return -1.0;
  const double s = k.ssd_block(a.Row(y0 + dy) + x0 + dx, a.pitch, b.Row(y0) + x0, b.pitch,
                               x1 - x0, y1 - y0);
  return s / static_cast<double>(count);
}

GlobalMatch GlobalSearch(const Pyramid& a, const Pyramid& b, const Rect& mask, int32_t maxShift,
                         int32_t stop, const DriftKernels& k) {
  GlobalMatch g;
  const int32_t top = a.top;
  if (top != b.top || a.levels.size() != b.levels.size() || stop > top || stop < 0) return g;
  const FloatImage& at = a.levels[top];
  const FloatImage& bt = b.levels[top];
  if (at.w != bt.w || at.h != bt.h) return g;
  const Rect rt = LevelRect(mask, top, bt);
  if (rt.Area() <= 0) return g;
  const int32_t f = 1 << top;
  const int32_t s = (maxShift + f - 1) / f + 1;
  const int32_t n = 2 * s + 1;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::vector<double> map(static_cast<size_t>(n) * n, kInf);
  for (int32_t j = 0; j < n; ++j)
    for (int32_t i = 0; i < n; ++i) {
      const double c = LevelCost(at, bt, rt, i - s, j - s, k);
      if (c >= 0.0) map[static_cast<size_t>(j) * n + i] = c;
    }
  // Local minima of the map, best first.
  struct Minimum {
    double cost;
    int32_t i, j;
  };
  std::vector<Minimum> minima;
  for (int32_t j = 0; j < n; ++j)
    for (int32_t i = 0; i < n; ++i) {
      const double c = map[static_cast<size_t>(j) * n + i];
      if (c == kInf) continue;
      bool lowest = true;
      for (int32_t v = -1; v <= 1 && lowest; ++v)
        for (int32_t u = -1; u <= 1; ++u) {
          if ((u == 0 && v == 0) || i + u < 0 || i + u >= n || j + v < 0 || j + v >= n) continue;
          const double o = map[static_cast<size_t>(j + v) * n + (i + u)];
          // Ties go to the first in scan order.
          if (o < c || (o == c && (v < 0 || (v == 0 && u < 0)))) {
            lowest = false;
            break;
          }
        }
      if (lowest) minima.push_back({c, i, j});
    }
  if (minima.empty()) return g;
  std::stable_sort(minima.begin(), minima.end(),
                   [](const Minimum& x, const Minimum& y) { return x.cost < y.cost; });
  const Minimum best = minima[0];
  g.distinctness = 1e9;
  for (size_t m = 1; m < minima.size(); ++m) {
    if (std::abs(minima[m].i - best.i) <= 2 && std::abs(minima[m].j - best.j) <= 2) continue;
    g.distinctness = best.cost > 0 ? minima[m].cost / best.cost - 1.0
                                   : (minima[m].cost > 0 ? 1e9 : 0.0);
    break;
  }
  // Follow the best match down the pyramid.
  int32_t px = best.i - s, py = best.j - s;
  for (int32_t l = top - 1; l >= stop; --l) {
    const FloatImage& al = a.levels[l];
    const FloatImage& bl = b.levels[l];
    const Rect rl = LevelRect(mask, l, bl);
    // Costs around the doubled position, each displacement evaluated once.
    std::map<std::pair<int32_t, int32_t>, double> seen;
    auto costAt = [&](int32_t x, int32_t y) {
      auto [it, fresh] = seen.try_emplace({x, y}, kInf);
      if (fresh) {
        const double c = LevelCost(al, bl, rl, x, y, k);
        it->second = c >= 0.0 ? c : kInf;
      }
      return it->second;
    };
    // Coarse levels search +-2 around the doubled position; the last, the
    // largest, walks a 3 x 3 window downhill from it.
    const int32_t reach = l == stop ? 1 : 2;
    int32_t cx = 2 * px, cy = 2 * py;
    for (int32_t step = 0; step < 8; ++step) {
      int32_t bx = cx, by = cy;
      double bc = costAt(cx, cy);
      for (int32_t v = -reach; v <= reach; ++v)
        for (int32_t u = -reach; u <= reach; ++u) {
          const double c = costAt(cx + u, cy + v);
          if (c < bc) {
            bc = c;
            bx = cx + u;
            by = cy + v;
          }
        }
      const bool moved = bx != cx || by != cy;
      cx = bx;
      cy = by;
      if (!moved || reach == 2) break;
    }
    px = cx;
    py = cy;
    if (l == stop) {
      // Sub-pixel position of the minimum: a parabola through the best cost
      // and its two neighbours along each axis.
      auto vertex = [](double m, double c, double p) {
        const double curve = m - 2 * c + p;
        if (!(curve > 0) || m == kInf || p == kInf) return 0.0;
        return std::clamp(0.5 * (m - p) / curve, -0.5, 0.5);
      };
      const double c = costAt(px, py);
      g.fx = vertex(costAt(px - 1, py), c, costAt(px + 1, py));
      g.fy = vertex(costAt(px, py - 1), c, costAt(px, py + 1));
    }
  }
  g.ok = true;
  g.level = stop;
  g.dx = px * (1 << stop);
  g.dy = py * (1 << stop);
  g.fx *= 1 << stop;
  g.fy *= 1 << stop;
  return g;
}

bool SmoothRegion(const FloatImage& src, const Rect& r, double sigma, FloatImage* out,
                  const DriftKernels& k) {
  const int32_t w = r.Width(), h = r.Height();
  if (w <= 0 || h <= 0 || src.Empty() || !(sigma > 0.0 && sigma < 64.0)) return false;
  const std::vector<float> taps = GaussTaps(sigma);
  const int32_t count = static_cast<int32_t>(taps.size());
  const int32_t radius = count / 2;
  // Horizontally smoothed rows r.y0 - radius .. r.y1 + radius.
  thread_local FloatImage rows;
  thread_local std::vector<float> line;
  if (!rows.Allocate(w, h + 2 * radius) || !out->Allocate(w, h)) return false;
  line.resize(static_cast<size_t>(w) + 2 * radius);
  const int32_t lo = r.x0 - radius;
  // Columns of the line that lie inside the source.
  const int32_t in0 = std::max(lo, 0), in1 = std::min(r.x1 + radius, src.w);
  for (int32_t j = 0; j < rows.h; ++j) {
    const float* s = src.Row(Clamp(r.y0 - radius + j, 0, src.h - 1));
    float* l = line.data();
    const int32_t n = static_cast<int32_t>(line.size());
    // Columns outside the source repeat its edge; the rest is copied.
    const int32_t left = std::min(n, in0 - lo);
    for (int32_t x = 0; x < left; ++x) l[x] = s[Clamp(lo + x, 0, src.w - 1)];
    for (int32_t x = std::max(left, in1 - lo); x < n; ++x) l[x] = s[Clamp(lo + x, 0, src.w - 1)];
    if (in1 > in0) std::memcpy(l + (in0 - lo), s + in0, sizeof(float) * (in1 - in0));
    k.filter_row(l, rows.Row(j), w, taps.data(), count);
  }
  std::vector<const float*> col(static_cast<size_t>(count));
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t t = 0; t < count; ++t) col[t] = rows.Row(y + t);
    k.filter_columns(col.data(), nullptr, out->Row(y), w, taps.data(), count);
  }
  return true;
}

GradientStats GradientEnergy(const FloatImage& full, const Rect& r, double sigma,
                             const DriftKernels& k) {
  thread_local FloatImage s;
  GradientStats g;
  if (!SmoothRegion(full, Rect{r.x0 - 1, r.y0 - 1, r.x1 + 1, r.y1 + 1}, sigma, &s, k)) return g;
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

double SignalEnergy(const FloatImage& full, const Rect& r, double sigma, double noise,
                    const DriftKernels& k) {
  const GradientStats g = GradientEnergy(full, r, sigma, k);
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
                     double atBase, const DriftKernels& k) {
  // The energy falls as the smoothing grows, about as 1 / (a + b sigma^2), so
  // target / energy - 1 is nearly a straight line in sigma^2: secant steps on
  // it, kept inside the bracket that holds the answer, until the energy is
  // within 2 % of the target. A few evaluations instead of a bisection's
  // eight, the widest smoothing the dearest of them.
  const double top = 4.0 * kSmoothSigma + 8.0;
  const double uTop = top * top;
  if (!(target > 0.0 && atBase > target)) return kSmoothSigma;
  auto miss = [&](double u) {
    const double e = SignalEnergy(full, r, std::sqrt(u), noise, k);
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

bool PrepareReference(const FloatImage& full, const Rect& mask, double sigma, double noise,
                      ReferenceData* ref, const DriftKernels& k) {
  if (mask.Area() <= 0) return false;
  // The gradients need one pixel around the rectangle; the rest of the margin
  // lets the frame be refined as a current frame from this smoothing.
  constexpr int32_t m = 1 + kReuseMargin;
  ref->wideRect = Rect{mask.x0 - m, mask.y0 - m, mask.x1 + m, mask.y1 + m};
  if (!SmoothRegion(full, ref->wideRect, sigma, &ref->wide, k)) return false;
  const FloatImage& s = ref->wide;
  const int32_t w = mask.Width(), h = mask.Height();
  ref->rect = mask;
  if (!ref->gx.Allocate(w, h) || !ref->gy.Allocate(w, h) || !ref->lap.Allocate(w, h))
    return false;
  for (int32_t y = 0; y < h; ++y) {
    const float* mid = s.Row(y + m) + (m - 1);
    k.gradient_row(mid + s.pitch, mid, mid - s.pitch, w, ref->gx.Row(y), ref->gy.Row(y),
                   ref->lap.Row(y));
  }
  ref->sigma = sigma;
  ref->gradientNoise = noise * noise * NoiseGain(sigma) * 0.5;
  return true;
}

namespace {

// Solves the symmetric positive system m x = v (m as NormalSums keeps it) by
// Cholesky decomposition; false when it is not clearly positive definite.
bool SolveNormal(const NormalSums& s, double* x, double* inverseDiag) {
  constexpr int P = NormalSums::kParams;
  double a[P][P];
  int q = 0;
  for (int i = 0; i < P; ++i)
    for (int j = i; j < P; ++j) a[i][j] = a[j][i] = s.m[q++];
  double l[P][P] = {};
  for (int i = 0; i < P; ++i) {
    for (int j = 0; j <= i; ++j) {
      double sum = a[i][j];
      for (int k = 0; k < j; ++k) sum -= l[i][k] * l[j][k];
      if (i == j) {
        if (!(sum > 1e-9 * a[i][i]) || !(a[i][i] > 0)) return false;
        l[i][i] = std::sqrt(sum);
      } else {
        l[i][j] = sum / l[j][j];
      }
    }
  }
  double y[P];
  for (int i = 0; i < P; ++i) {
    double sum = s.v[i];
    for (int k = 0; k < i; ++k) sum -= l[i][k] * y[k];
    y[i] = sum / l[i][i];
  }
  for (int i = P - 1; i >= 0; --i) {
    double sum = y[i];
    for (int k = i + 1; k < P; ++k) sum -= l[k][i] * x[k];
    x[i] = sum / l[i][i];
  }
  // Diagonal of the inverse for the first two parameters: columns of L^-T L^-1.
  for (int c = 0; c < 2; ++c) {
    double e[P] = {}, z[P];
    e[c] = 1.0;
    for (int i = 0; i < P; ++i) {
      double sum = e[i];
      for (int k = 0; k < i; ++k) sum -= l[i][k] * z[k];
      z[i] = sum / l[i][i];
    }
    double d = 0;
    for (int i = 0; i < P; ++i) d += z[i] * z[i];
    inverseDiag[c] = d;
  }
  return true;
}

}  // namespace

Refinement Refine(const ReferenceData& ref, const FloatImage& cur, double dx0, double dy0,
                  double sigma, const DriftKernels& k, const ReferenceData* own) {
  Refinement out;
  if (!(std::fabs(dx0) < 1e6 && std::fabs(dy0) < 1e6)) return out;
  const Rect& R = ref.rect;
  const int32_t ix0 = static_cast<int32_t>(std::lround(dx0));
  const int32_t iy0 = static_cast<int32_t>(std::lround(dy0));
  constexpr int32_t M = kMaxMove + 2;
  // The pixels whose samples stay inside the frame while the estimate moves.
  Rect P;
  P.x0 = std::max(R.x0, ix0 + M);
  P.x1 = std::min<int32_t>(R.x1, cur.w + ix0 - M);
  P.y0 = std::max(R.y0, iy0 + M);
  P.y1 = std::min<int32_t>(R.y1, cur.h + iy0 - M);
  if (P.Area() * 4 < R.Area() || P.Width() < 8 || P.Height() < 8) return out;
  const Rect Q{P.x0 - ix0 - M, P.y0 - iy0 - M, P.x1 - ix0 + M, P.y1 - iy0 + M};
  // Scratch images, kept per thread from one pair to the next.
  thread_local FloatImage bs, hbuf, resid;
  thread_local std::vector<float> sample;
  // The smoothed current frame over Q: its own wide smoothing when that
  // covers Q, else smoothed here. (ox0, oy0) is where src starts in the frame.
  const FloatImage* src = &bs;
  int32_t ox0 = Q.x0, oy0 = Q.y0;
  const Rect* wr = own != nullptr && own->sigma == sigma && !own->wide.Empty() ? &own->wideRect
                                                                               : nullptr;
  if (wr != nullptr && wr->x0 <= Q.x0 && wr->y0 <= Q.y0 && Q.x1 <= wr->x1 && Q.y1 <= wr->y1) {
    src = &own->wide;
    ox0 = wr->x0;
    oy0 = wr->y0;
  } else if (!SmoothRegion(cur, Q, sigma, &bs, k)) {
    return out;
  }
  const int32_t w = P.Width(), h = P.Height();
  if (!hbuf.Allocate(w, h + 3) || !resid.Allocate(w, h)) return out;
  // About 2048 pixels on a regular grid give the robust scale.
  const int32_t stride =
      std::max<int32_t>(1, static_cast<int32_t>(std::sqrt(static_cast<double>(P.Area()) / 2048.0)));
  const int32_t rx = P.x0 - R.x0, ry0 = P.y0 - R.y0;

  double dx = dx0, dy = dy0;
  double scale = 1.0;
  Photometric photo;
  int32_t tukeyRounds = 0;
  NormalSums last;
  double inv[2] = {0, 0};
  double prevStep[2] = {0, 0};
  for (int32_t it = 0; it < kMaxIterations; ++it) {
    if (std::fabs(dx - ix0) > kMaxMove || std::fabs(dy - iy0) > kMaxMove) return out;
    // Sample positions x - d: whole part o, phase f.
    const double tx = -dx, ty = -dy;
    const int32_t ox = static_cast<int32_t>(std::floor(tx));
    const int32_t oy = static_cast<int32_t>(std::floor(ty));
    float wx[4], wy[4];
    KeysWeights(tx - ox, wx);
    KeysWeights(ty - oy, wy);
    for (int32_t j = 0; j < h + 3; ++j) {
      const int32_t row = P.y0 + oy - 1 + j - oy0;
      k.filter_row(src->Row(row) + (P.x0 + ox - 1 - ox0), hbuf.Row(j), w, wx, 4);
    }
    // The first, rough steps use every other row.
    const int32_t rowStep = it < 2 ? 2 : 1;
    const float* rows[4];
    for (int32_t y = 0; y < h; y += rowStep) {
      for (int32_t t = 0; t < 4; ++t) rows[t] = hbuf.Row(y + t);
      k.filter_columns(rows, ref.Smooth(ry0 + y) + rx, resid.Row(y), w, wy, 4);
    }
    // Robust scale of the model error, at every step: what moves on its own
    // only stands out once the rest fits.
    {
      sample.clear();
      for (int32_t y = 0; y < h; y += stride * rowStep) {
        const float* r = resid.Row(y);
        const float* a = ref.Smooth(ry0 + y) + rx;
        const float* lap = ref.lap.Row(ry0 + y) + rx;
        for (int32_t x = stride / 2; x < w; x += stride)
          sample.push_back(r[x] - (photo.c0 + photo.c1 * a[x] + photo.b * lap[x]));
      }
      const size_t mid = sample.size() / 2;
      std::nth_element(sample.begin(), sample.begin() + mid, sample.end());
      const float med = sample[mid];
      for (float& v : sample) v = std::fabs(v - med);
      std::nth_element(sample.begin(), sample.begin() + mid, sample.end());
      scale = std::max(1.4826 * sample[mid], 1e-6);
    }
    const bool tukey = it >= 1;
    const Weighting kind = tukey ? Weighting::kTukey : Weighting::kHuber;
    const float c = static_cast<float>((tukey ? kTukeyC : kHuberK) * scale);
    NormalSums sums;
    for (int32_t y = 0; y < h; y += rowStep) {
      const int32_t ry = ry0 + y;
      k.normal_row(resid.Row(y), ref.gx.Row(ry) + rx, ref.gy.Row(ry) + rx,
                   ref.Smooth(ry) + rx, ref.lap.Row(ry) + rx, w, photo, kind, c, &sums);
    }
    // The reference's gradients carry its noise, which inflates their
    // squares but not their products with the residual: take its expected
    // share off, or every step would fall short by that share.
    const double noiseShare = ref.gradientNoise * sums.w;
    sums.m[0] -= std::min(noiseShare, 0.8 * sums.m[0]);
    sums.m[5] -= std::min(noiseShare, 0.8 * sums.m[5]);
    double x[NormalSums::kParams];
    if (!SolveNormal(sums, x, inv)) return out;
    // Each step falls short of the fixed point by about the same share (the
    // resampled frame is a little smoother than the reference whose gradients
    // build the system), so the steps shrink geometrically. Two steps in the
    // same direction give that share: take the rest of the series at once.
    // The fixed point is unchanged; only the way there is shorter.
    double gain = 1.0;
    if (it >= 1) {
      const double prev2 = prevStep[0] * prevStep[0] + prevStep[1] * prevStep[1];
      const double ratio = prev2 > 0 ? (x[0] * prevStep[0] + x[1] * prevStep[1]) / prev2 : 0.0;
      if (ratio > 0.0 && ratio < kMaxShortfall) gain = 1.0 / (1.0 - ratio);
    }
    prevStep[0] = x[0];
    prevStep[1] = x[1];
    dx += gain * x[0];
    dy += gain * x[1];
    photo.c0 = static_cast<float>(x[2]);
    photo.c1 = static_cast<float>(x[3]);
    photo.b = static_cast<float>(x[4]);
    last = sums;
    out.iterations = it + 1;
    if (tukey) ++tukeyRounds;
    if (tukeyRounds >= 2 && std::fabs(x[0]) < kConverged && std::fabs(x[1]) < kConverged) break;
  }
  if (std::fabs(dx - ix0) > kMaxMove || std::fabs(dy - iy0) > kMaxMove) return out;
  out.ok = true;
  out.dx = dx;
  out.dy = dy;
  out.blur = photo.b;
  out.inliers = last.w / static_cast<double>(P.Area());
  // Standard error: residual variance times the inverse normal matrix, times
  // the area over which the smoothing correlates neighbouring residuals.
  const double var = last.w > 0 ? last.wee / last.w : 0.0;
  const double corr = 4.0 * M_PI * sigma * sigma;
  out.precision = std::sqrt(std::max(inv[0], inv[1]) * var * corr);
  return out;
}

}  // namespace vantor::drift

// ---- C API -------------------------------------------------------------------

struct DriftFrame {
  int32_t grey = 0;
  int32_t w = 0, h = 0;
  int32_t method = kDriftDefault;
  vantor::drift::Rect mask;
  vantor::drift::Pyramid pyramid;
  int32_t focusLevel = 0;   // the pyramid level the default method compares focus on
  double levelNoise = 0;    // noise of that level over the rectangle
  double levelEnergy = 0;   // its signal energy there
  vantor::drift::FloatImage full;
  double noise = 0;         // noise of the full-depth grey levels over the rectangle
  vantor::drift::ReferenceData ref;
};

namespace {

using namespace vantor::drift;
namespace err = vantor::err;
using vantor::reg::MemoryFailed;

// Smoothing of the level the default method compares focus on.
constexpr double kLevelSigma = 0.7;
// A focus difference of more than this (pixels of Gaussian blur) is suspect.
constexpr double kSuspectFocus = 2.0;
// The results on each side of one that give its typical distance.
constexpr int32_t kClassifyWindow = 12;

bool ValidOptions(const DriftOptions* o) {
  if (o == nullptr) return err::Fail(err::kParameter, "the options are null");
  if (o->method < kDriftClassic || o->method > kDriftPrecise)
    return err::Fail(err::kParameter, "method %d is not one of 0 (classic), 1 (default), 2 (precise)",
                     static_cast<int>(o->method));
  if (o->coarseSize < 1)
    return err::Fail(err::kParameter, "coarse size %d is below 1", static_cast<int>(o->coarseSize));
  return true;
}

void StartResult(DriftResult* r) {
  r->dx = r->dy = 0.0;
  r->distance = -1.0;
  r->searchDx = r->searchDy = 0.0;
  r->searchDistance = -1.0;
  r->distinctness = -1.0;
  r->precision = -1.0;
  r->focus = 0.0;
  r->inliers = -1.0;
  r->rescued = 0;
  r->quality = kDriftFailed;
}

// The pixels of the reference's rectangle r whose partners at displacement
// (dx, dy) lie in the current frame, and those partners.
void Overlap(const Rect& r, int32_t dx, int32_t dy, int32_t w, int32_t h, Rect* inA, Rect* inB) {
  inA->x0 = std::max(r.x0, dx);
  inA->y0 = std::max(r.y0, dy);
  inA->x1 = std::min(r.x1, w + dx);
  inA->y1 = std::min(r.y1, h + dy);
  *inB = Rect{inA->x0 - dx, inA->y0 - dy, inA->x1 - dx, inA->y1 - dy};
}

// How much more blurred (Gaussian sigma, pixels of the image given) the
// current frame is than the reference over the compared pixels: positive when
// the current frame is blurrier, negative when the reference is, 0 when their
// signal energies agree within 10 %. *sigma receives the smoothing at which
// the sharper frame matches the blurrier one (base when they agree).
double FocusDifference(const FloatImage& a, const Rect& ra, double noiseA, const FloatImage& b,
                       const Rect& rb, double noiseB, double base, const DriftKernels& k,
                       double* sigma) {
  *sigma = base;
  if (ra.Area() <= 0 || rb.Area() <= 0) return 0.0;
  const double ea = SignalEnergy(a, ra, base, noiseA, k);
  const double eb = SignalEnergy(b, rb, base, noiseB, k);
  if (!(ea >= 0.0 && eb >= 0.0) || (ea <= 0.0 && eb <= 0.0)) return 0.0;
  if (eb * kFocusRatio >= ea && ea * kFocusRatio >= eb) return 0.0;
  const bool currentBlurrier = eb < ea;
  *sigma = currentBlurrier ? MatchingSigma(a, ra, noiseA, eb, ea, k)
                           : MatchingSigma(b, rb, noiseB, ea, eb, k);
  const double extra = std::sqrt(std::max(0.0, *sigma * *sigma - base * base));
  return currentBlurrier ? extra : -extra;
}

// Whether the frames' signal energies over their own rectangles differ
// enough to compare their focus where they overlap.
bool FocusMayDiffer(const DriftFrame* a, const DriftFrame* b) {
  return b->levelEnergy * kFocusRatio < a->levelEnergy ||
         a->levelEnergy * kFocusRatio < b->levelEnergy;
}

void MeasureDefault(const DriftFrame* a, const DriftFrame* b, int32_t mask, const DriftOptions* o,
                    const DriftKernels& k, DriftResult* r) {
  double rec[4] = {0, 0, 1, 0};
  const double dist = RegisterPair(a->grey, b->grey, mask, rec, o->startStep, o->finalStep,
                                   o->minDiff, o->coarseSize, 0, kRegFixS | kRegFixA);
  r->dx = r->searchDx = rec[0];
  r->dy = r->searchDy = rec[1];
  r->distance = r->searchDistance = dist;
  r->quality = dist >= 0.0 ? kDriftOk : kDriftFailed;
  if (o->method == kDriftClassic || a->w != b->w || a->h != b->h || a->pyramid.levels.empty() ||
      b->pyramid.levels.empty())
    return;
  const GlobalMatch g = GlobalSearch(a->pyramid, b->pyramid, b->mask, std::min(b->w, b->h) / 4,
                                     std::min(1, a->pyramid.top), k);
  if (!g.ok) return;
  r->distinctness = g.distinctness;
  const double tol = g.level == 0 ? 1.5 : 3.0;
  const bool agrees =
      dist >= 0.0 && std::fabs(g.dx - rec[0]) <= tol && std::fabs(g.dy - rec[1]) <= tol;
  if (!agrees) {
    // The global match lies in another basin: its best whole pixel by the
    // search's own cost, and the search again from there when that is
    // clearly lower than where the search ended.
    double best = -1.0;
    int32_t bx = g.dx, by = g.dy;
    const int32_t reach = g.level == 0 ? 0 : 1;
    const vantor::ResolvedPair pair = vantor::ResolvePair(a->grey, b->grey, mask, 0);
    for (int32_t v = -reach; v <= reach; ++v)
      for (int32_t u = -reach; u <= reach; ++u) {
        const double c = GreyCost(pair, g.dx + u, g.dy + v);
        if (c >= 0.0 && (best < 0.0 || c < best)) {
          best = c;
          bx = g.dx + u;
          by = g.dy + v;
        }
      }
    if (best >= 0.0 && (dist < 0.0 || best < 0.9 * dist * dist)) {
      double rec2[4] = {static_cast<double>(bx), static_cast<double>(by), 1.0, 0.0};
      const double dist2 =
          vantor::RegisterPairFrom(a->grey, b->grey, mask, rec2, std::min(o->startStep, 1.0),
                                   o->finalStep, o->minDiff, 0, kRegFixS | kRegFixA);
      if (dist2 >= 0.0 && (dist < 0.0 || dist2 < dist)) {
        r->dx = rec2[0];
        r->dy = rec2[1];
        r->distance = dist2;
        r->rescued = 1;
        r->quality = kDriftRescued;
      }
    }
  }
  if (r->distance < 0.0 || !FocusMayDiffer(a, b)) return;
  // Focus, compared on the level at the measured displacement.
  const int32_t l = a->focusLevel;
  const FloatImage& la = a->pyramid.levels[l];
  const FloatImage& lb = b->pyramid.levels[l];
  Rect ra, rb;
  Overlap(LevelRect(a->mask, l, la), static_cast<int32_t>(std::lround(r->dx / (1 << l))),
          static_cast<int32_t>(std::lround(r->dy / (1 << l))), lb.w, lb.h, &ra, &rb);
  double sigma;
  r->focus = FocusDifference(la, ra, a->levelNoise, lb, rb, b->levelNoise, kLevelSigma, k,
                             &sigma) * (1 << l);
}

void MeasurePrecise(const DriftFrame* a, const DriftFrame* b, int32_t mask, const DriftKernels& k,
                    DriftResult* r) {
  if (a->w != b->w || a->h != b->h) {
    err::Fail(err::kParameter, "frames of %d x %d and %d x %d differ in size",
              static_cast<int>(a->w), static_cast<int>(a->h), static_cast<int>(b->w),
              static_cast<int>(b->h));
    return;
  }
  if (a->ref.lap.Empty() && a->mask.Area() > 0) {
    err::Fail(err::kParameter, "the reference frame was not prepared as a reference");
    return;
  }
  if (a->ref.lap.Empty() || b->full.Empty() || a->pyramid.levels.empty()) {
    vantor::reg::NothingCompared();
    return;
  }
  const GlobalMatch g = GlobalSearch(a->pyramid, b->pyramid, b->mask, std::min(b->w, b->h) / 4,
                                     std::min(1, a->pyramid.top), k);
  if (!g.ok) {
    vantor::reg::NothingCompared();
    return;
  }
  r->distinctness = g.distinctness;
  r->searchDx = g.dx;
  r->searchDy = g.dy;
  // A change of focus (frames whose level energies differ, or a large
  // Laplacian term once refined): smooth the sharper frame until both carry
  // the same signal energy, so that the robust weights see the same structure
  // in both. Frames known to differ are compared before any refinement, which
  // would only wander between structures that do not match.
  const double sx = g.dx + g.fx, sy = g.dy + g.fy;
  const bool differ = FocusMayDiffer(a, b);
  Refinement f;
  if (!differ) f = Refine(a->ref, b->full, sx, sy, kSmoothSigma, k, &b->ref);
  if (differ || (f.ok && std::fabs(f.blur) > 1.5)) {
    const double fx = f.ok ? f.dx : sx, fy = f.ok ? f.dy : sy;
    Rect ra, rb;
    Overlap(a->ref.rect, static_cast<int32_t>(std::lround(fx)),
            static_cast<int32_t>(std::lround(fy)), b->w, b->h, &ra, &rb);
    double sigma;
    r->focus = FocusDifference(a->full, ra, a->noise, b->full, rb, b->noise, kSmoothSigma, k,
                               &sigma);
    Refinement f2;
    if (r->focus > 0.0) {
      ReferenceData blurred;
      if (PrepareReference(a->full, a->ref.rect, sigma, a->noise, &blurred, k))
        f2 = Refine(blurred, b->full, fx, fy, kSmoothSigma, k, &b->ref);
    } else if (r->focus < 0.0) {
      f2 = Refine(a->ref, b->full, fx, fy, sigma, k, &b->ref);
    } else if (!f.ok) {
      f2 = Refine(a->ref, b->full, fx, fy, kSmoothSigma, k, &b->ref);
    }
    if (f2.ok) f = f2;
  }
  r->dx = f.ok ? f.dx : g.dx;
  r->dy = f.ok ? f.dy : g.dy;
  // An estimate that did not converge is no better than the whole-pixel start.
  r->precision = f.ok ? f.precision : 1e9;
  r->inliers = f.ok ? f.inliers : 0.0;
  const double c = GreyCost(vantor::ResolvePair(a->grey, b->grey, mask, 0), r->dx, r->dy);
  r->distance = r->searchDistance = c >= 0.0 ? std::sqrt(c) : -1.0;
  r->quality = r->distance >= 0.0 ? kDriftOk : kDriftFailed;
  if (c < 0.0) vantor::reg::NothingCompared();
}

// DriftClassify's work: nothing is marked before the limits are all known,
// so a shortage of memory leaves the results as they were.
int32_t Classify(DriftResult* results, int32_t n) {
  if (results == nullptr || n < 2) return 0;
  // The distance limit of every result, from the measured results around it
  // (before any is marked).
  std::vector<double> limits(static_cast<size_t>(n), std::numeric_limits<double>::infinity());
  std::vector<double> d, s;
  for (int32_t i = 1; i < n; ++i) {
    d.clear();
    for (int32_t j = std::max(1, i - kClassifyWindow); j <= std::min(n - 1, i + kClassifyWindow);
         ++j)
      if (results[j].quality != kDriftFailed && results[j].distance >= 0.0)
        d.push_back(results[j].distance);
    if (d.size() < 5) continue;
    s = d;
    const size_t mid = s.size() / 2;
    std::nth_element(s.begin(), s.begin() + mid, s.end());
    const double med = s[mid];
    for (double& v : s) v = std::fabs(v - med);
    std::nth_element(s.begin(), s.begin() + mid, s.end());
    // Two grey levels above the median at least: in a clean sequence the
    // distances are small and vary with where each search stopped.
    limits[i] = std::max({1.5 * med, med + 4.0 * 1.4826 * s[mid], med + 2.0});
  }
  int32_t marked = 0;
  for (int32_t i = 1; i < n; ++i) {
    DriftResult& r = results[i];
    if (r.quality == kDriftFailed) continue;
    const bool far = r.inliers < 0.0 && r.distance > limits[i];
    const bool flat = r.distinctness >= 0.0 && r.distinctness < 0.05;
    const bool loose = r.precision > 0.1;
    const bool focus = std::fabs(r.focus) > kSuspectFocus;
    const bool outliers = r.inliers >= 0.0 && r.inliers < 0.5;
    if (far || flat || loose || focus || outliers) {
      r.quality = kDriftSuspect;
      ++marked;
    }
  }
  return marked;
}

}  // namespace

extern "C" {

DriftFrame* DriftFrameCreate(int32_t grey, int32_t full, const DriftOptions* options,
                             int32_t reference) {
  return err::Guarded(__func__, static_cast<DriftFrame*>(nullptr), [&]() -> DriftFrame* {
    if (!ValidOptions(options)) return nullptr;
    vantor::RectView g;
    if (!vantor::reg::CheckDepth(grey, 8, &g)) return nullptr;
    const int32_t w = g.width, h = g.height;
    auto f = std::make_unique<DriftFrame>();
    f->grey = grey;
    f->w = w;
    f->h = h;
    f->method = options->method;
    f->mask = CentralRect(w, h, options->maskFraction);
    if (options->method == kDriftClassic) return f.release();
    const DriftKernels& k = DriftKernelsForMode();
    if (f->mask.Area() > 0) {
      // The frame was checked: the pyramid fails only for memory.
      if (!BuildPyramid(grey, TopLevel(f->mask), &f->pyramid, k)) return err::FailMemory(), nullptr;
      f->focusLevel = std::min(1, f->pyramid.top);
      const FloatImage& img = f->pyramid.levels[f->focusLevel];
      const Rect lr = LevelRect(f->mask, f->focusLevel, img);
      f->levelNoise = NoiseLevel(img, lr);
      f->levelEnergy = SignalEnergy(img, lr, kLevelSigma, f->levelNoise, k);
    }
    if (options->method == kDriftPrecise) {
      const int32_t source = full > 0 ? full : grey;
      vantor::RectView s;
      if (!vantor::ResolveRect(source, s)) return nullptr;
      if (s.width != w || s.height != h)
        return vantor::reg::SizesDiffer("image", source, s, "grey image", grey, g), nullptr;
      if (!ToFloatGrey(source, &f->full, k)) {
        if (MemoryFailed()) return err::FailMemory(), nullptr;
        return err::FailDepth(source, s.depth), nullptr;
      }
      f->noise = NoiseLevel(f->full, f->mask);
      if (reference != 0 && f->mask.Area() > 0 &&
          !PrepareReference(f->full, f->mask, kSmoothSigma, f->noise, &f->ref, k))
        return err::FailMemory(), nullptr;
    }
    // A measure that ran short of memory on the way (the focus energy) would
    // make another frame.
    if (MemoryFailed()) return err::FailMemory(), nullptr;
    return f.release();
  });
}

void DriftFrameFree(DriftFrame* frame) { delete frame; }

int32_t DriftMeasure(const DriftFrame* a, const DriftFrame* b, int32_t mask,
                     const DriftOptions* o, DriftResult* r) {
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (r == nullptr) return err::Fail(err::kParameter, "the result is null"), -1;
    StartResult(r);
    if (a == nullptr || b == nullptr) return err::Fail(err::kParameter, "a frame is null"), -1;
    if (!ValidOptions(o)) return -1;
    if (a->method != o->method || b->method != o->method)
      return err::Fail(err::kParameter, "frames prepared for method %d and %d, measured with %d",
                       static_cast<int>(a->method), static_cast<int>(b->method),
                       static_cast<int>(o->method)),
             -1;
    try {
      const DriftKernels& k = DriftKernelsForMode();
      if (o->method == kDriftPrecise)
        MeasurePrecise(a, b, mask, k, r);
      else
        MeasureDefault(a, b, mask, o, k, r);
    } catch (const std::bad_alloc&) {
      err::FailMemory();
    }
    // Half a measurement (a check or a refinement skipped for memory) is none.
    if (MemoryFailed()) {
      StartResult(r);
      return err::FailMemory(), -1;
    }
    if (r->distance < 0.0 && err::PendingKind() == 0) vantor::reg::NothingCompared();
    return r->distance >= 0.0 ? 0 : -1;
  });
}

int32_t DriftClassify(DriftResult* results, int32_t n) {
  return err::GuardedWhen(__func__, int32_t(-1), [](int32_t m) { return m < 0; },
                          [&] { return Classify(results, n); });
}

int32_t DriftClassifyWindow(void) { return kClassifyWindow; }

const char* DriftQualityName(int32_t quality) {
  switch (quality) {
    case kDriftOk:
      return "ok";
    case kDriftRescued:
      return "rescued";
    case kDriftSuspect:
      return "suspect";
    default:
      return "failed";
  }
}

}  // extern "C"
