// The whole-pixel side of the drift measurement: float images of a frame's
// grey levels, the block-mean pyramid and the global search over it that
// checks (and where needed rescues) the local registration search and gives
// the precise method its start.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <new>

#include <sys/mman.h>

#include "generic/last_error.h"
#include "memrect/rect_view.h"
#include "registration/drift_internal.h"
#include "registration/registration_internal.h"

namespace vantor::drift {

bool FloatImage::Allocate(int32_t width, int32_t height) {
  w = h = 0;
  pitch = 0;
  if (width < 0 || height < 0) return false;
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (n > capacity) {
    // Large images on huge pages where the system lends them: a frame's
    // copies of 2048 x 2048 floats took thousands of page faults each,
    // and the faults of one thread hold up the others'.
    constexpr size_t kHuge = size_t{2} << 20;
    size_t bytes = n * sizeof(float);
    const bool huge = bytes >= 2 * kHuge;
    if (huge) bytes = (bytes + kHuge - 1) / kHuge * kHuge;
    const size_t alignment = huge ? kHuge : 64;
    data.reset();
    capacity = 0;
    try {
      data = std::unique_ptr<float[], AlignedFree>(
          static_cast<float*>(::operator new[](bytes, std::align_val_t{alignment})),
          AlignedFree{alignment});
    } catch (const std::bad_alloc&) {
      return vantor::err::FailMemory();
    }
#ifdef MADV_HUGEPAGE
    if (huge) madvise(data.get(), bytes, MADV_HUGEPAGE);  // advice only: a refusal costs nothing
#endif
    capacity = bytes / sizeof(float);
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

bool ToFloatGrey(int32_t handle, FloatImage* out, const DriftKernels& k, FloatImage* half) {
  RectView v;
  if (!ResolveRect(handle, v)) return false;
  if (!out->Allocate(v.width, v.height)) return false;
  if (half != nullptr && !half->Allocate(v.width / 2, v.height / 2)) return false;
  int32_t halved = 0;  // rows of half made
  auto HalveUpTo = [&](int32_t rows) {  // the pairs of rows below rows
    for (; half != nullptr && halved < half->h && 2 * halved + 1 < rows; ++halved)
      k.halve_floats(out->Row(2 * halved), out->Row(2 * halved + 1), half->Row(halved), half->w);
  };
  for (int32_t y = 0; y < v.height; ++y) {
    HalveUpTo(y);
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
      case 1:  // pixel x in bit x % 8 of byte x / 8: black 0, white 255, as the grey frame
        for (int32_t x = 0; x < v.width; ++x) d[x] = ((s[x >> 3] >> (x & 7)) & 1) != 0 ? 255.0f : 0.0f;
        break;
      case 4:  // pixel 0 in the low nibble: 0..15 spread over 0..255, as the grey frame
        for (int32_t x = 0; x < v.width; ++x)
          d[x] = static_cast<float>(17 * ((s[x >> 1] >> (4 * (x & 1))) & 0x0F));
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
  HalveUpTo(v.height);
  return true;
}

bool Halve(const FloatImage& src, FloatImage* dst, const DriftKernels& k) {
  if (!dst->Allocate(src.w / 2, src.h / 2)) return false;
  for (int32_t y = 0; y < dst->h; ++y)
    k.halve_floats(src.Row(2 * y), src.Row(2 * y + 1), dst->Row(y), dst->w);
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
    if (!Halve(pyramid->levels[l - 1], &pyramid->levels[l], k)) return false;
  return true;
}

namespace {

// The median of v (reordered).
float MedianOf(std::vector<float>& v) {
  const size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + mid, v.end());
  return v[mid];
}

// Whether the grey levels over r vary significantly more than white noise
// would: the variance less the mean square of the 2 x 2 checkerboard
// differences (which hold the noise's variance and little of a smooth
// signal) must stand 4.5 standard errors above zero. Blank, uniform and
// pure-noise frames fail; faint but real structure (a few photons a bead)
// passes.
bool HasStructure(const FloatImage& img, const Rect& r) {
  if (r.Width() < 4 || r.Height() < 4) return false;
  double sum = 0, sum2 = 0, noise2 = 0;
  const double centre = img.Row(r.y0)[r.x0];
  int64_t n = 0, m = 0;
  for (int32_t y = r.y0; y < r.y1; ++y) {
    const float* row = img.Row(y);
    const float* next = y + 1 < r.y1 ? img.Row(y + 1) : nullptr;
    for (int32_t x = r.x0; x < r.x1; ++x) {
      const double d = row[x] - centre;
      sum += d;
      sum2 += d * d;
      if (next != nullptr && x + 1 < r.x1) {
        const double e = 0.5 * (row[x] - row[x + 1] - next[x] + next[x + 1]);
        noise2 += e * e;
        ++m;
      }
    }
    n += r.Width();
  }
  const double mean = sum / static_cast<double>(n);
  const double variance = std::max(0.0, sum2 / static_cast<double>(n) - mean * mean);
  noise2 /= static_cast<double>(m);
  const double error = noise2 * std::sqrt(2.0 / static_cast<double>(n));
  if (!(variance > 1e-12 * (1.0 + centre * centre))) return false;
  if (variance - noise2 > 4.5 * error) return true;
  // Faint structure wider than a pixel (beads of a few photons) stands out
  // once smoothed ([1 2 1] / 4 both ways), which keeps 0.14 of white noise's
  // variance; its neighbouring values correlate, so its variance varies 3.78
  // times as much as n independent values' would.
  if (r.Width() < 6 || r.Height() < 6) return false;
  constexpr double kKept = 0.140625, kCorrelation = 3.78;
  double s1 = 0, s2 = 0;
  int64_t ns = 0;
  for (int32_t y = r.y0 + 1; y + 1 < r.y1; ++y) {
    const float* a = img.Row(y - 1);
    const float* b = img.Row(y);
    const float* c = img.Row(y + 1);
    for (int32_t x = r.x0 + 1; x + 1 < r.x1; ++x) {
      auto across = [&](const float* row) {
        return 0.25 * row[x - 1] + 0.5 * row[x] + 0.25 * row[x + 1];
      };
      const double v = 0.25 * across(a) + 0.5 * across(b) + 0.25 * across(c) - centre;
      s1 += v;
      s2 += v * v;
      ++ns;
    }
  }
  const double sm = s1 / static_cast<double>(ns);
  const double smoothed = std::max(0.0, s2 / static_cast<double>(ns) - sm * sm);
  const double expected = kKept * noise2;
  const double smoothedError =
      expected * std::sqrt(2.0 * kCorrelation / static_cast<double>(ns) + 2.0 / static_cast<double>(m));
  return smoothed - expected > 4.5 * smoothedError;
}

}  // namespace

bool BuildScaledPyramid(const FloatImage& full, bool halved, const Rect& mask, int32_t top,
                        Pyramid* pyramid, FrameStats* stats, const DriftKernels& k) {
  // Levels already there keep their memory (a reused frame's).
  pyramid->levels.resize(static_cast<size_t>(top) + 1);
  for (size_t l = 0; l < pyramid->levels.size(); ++l)
    if (l != 1 || !halved) pyramid->levels[l].Clear();
  pyramid->top = top;
  if (top == 0) {
    FloatImage& l0 = pyramid->levels[0];
    if (!l0.Allocate(full.w, full.h)) return false;
    for (int32_t y = 0; y < full.h; ++y)
      std::memcpy(l0.Row(y), full.Row(y), sizeof(float) * static_cast<size_t>(full.w));
  } else {
    FloatImage& l1 = pyramid->levels[1];
    if (!(halved && l1.w == full.w / 2 && l1.h == full.h / 2) && !Halve(full, &l1, k))
      return false;
    for (int32_t l = 2; l <= top; ++l)
      if (!Halve(pyramid->levels[l - 1], &pyramid->levels[l], k)) return false;
  }
  // The frame's own scale, from level 1 (or 0) over the whole frame, sampled.
  const FloatImage& base = pyramid->levels[std::min(top, 1)];
  const int32_t lb = std::min(top, 1);
  stats->structure = HasStructure(base, LevelRect(mask, lb, base));
  std::vector<float> v;
  try {
    SampleGrid(base, Rect{0, 0, base.w, base.h}, v);
  } catch (const std::bad_alloc&) {
    return vantor::err::FailMemory();
  }
  if (v.empty()) return true;
  // The standard deviation adds signal and noise as variances, which the
  // spread of a mostly flat field does not; the extremes (hot pixels, cosmic
  // rays) are left out. The middle values, in any order, set apart from the
  // lowest and highest cut: the median is among them.
  const size_t cut = v.size() / 200, n = v.size() - 2 * cut, mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + cut, v.end());
  std::nth_element(v.begin() + cut, v.begin() + cut + n, v.end());
  double s = 0, s2 = 0;
  for (size_t i = cut; i < cut + n; ++i) {
    s += v[i];
    s2 += static_cast<double>(v[i]) * v[i];
  }
  const double mean = s / static_cast<double>(n);
  stats->deviation = std::sqrt(std::max(0.0, s2 / static_cast<double>(n) - mean * mean));
  std::nth_element(v.begin() + cut, v.begin() + mid, v.begin() + cut + n);
  const float median = v[mid];
  for (float& x : v) x = std::fabs(x - median);
  float spread = 1.4826f * MedianOf(v);
  if (!(spread > 0)) {
    // Mostly one value (a flat or sparse frame): the mean distance from the median.
    double s = 0;
    for (float x : v) s += x;
    spread = static_cast<float>(s / static_cast<double>(v.size()));
  }
  if (!(spread > 0)) spread = 1.0f;
  stats->median = median;
  stats->spread = spread;
  const float inv = 1.0f / spread;
  for (FloatImage& l : pyramid->levels) {
    if (l.Empty()) continue;
    for (int32_t y = 0; y < l.h; ++y) {
      float* row = l.Row(y);
      // Written as minimum and maximum so that the compiler vectorises it.
      for (int32_t x = 0; x < l.w; ++x) {
        const float v = (row[x] - median) * inv;
        const float lo = v < -kPyramidClip ? -kPyramidClip : v;
        row[x] = lo > kPyramidClip ? kPyramidClip : lo;
      }
    }
  }
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
  Minimum best = minima[0];
  g.distinctness = 1e9;
  for (size_t m = 1; m < minima.size(); ++m) {
    if (std::abs(minima[m].i - best.i) <= 2 && std::abs(minima[m].j - best.j) <= 2) continue;
    g.distinctness = best.cost > 0 ? minima[m].cost / best.cost - 1.0
                                   : (minima[m].cost > 0 ? 1e9 : 0.0);
    break;
  }
  // Where no basin stands out (a periodic pattern: every period's alias
  // fits alike), the smallest displacement among those within kIndistinct
  // of the best is taken: the noise would otherwise pick an alias periods
  // away. The pair stays marked by its distinctness.
  if (g.distinctness < kIndistinct) {
    auto Far = [&](const Minimum& m) { return (m.i - s) * (m.i - s) + (m.j - s) * (m.j - s); };
    const double most = best.cost * (1.0 + kIndistinct);
    for (const Minimum& m : minima)
      if (m.cost <= most && Far(m) < Far(best)) best = m;
  }
  // Follow the best match down the pyramid.
  const double distinctness = g.distinctness;
  g = FollowDown(a, b, mask, top, best.i - s, best.j - s, stop, k, false);
  g.distinctness = distinctness;
  return g;
}

GlobalMatch FollowDown(const Pyramid& a, const Pyramid& b, const Rect& mask, int32_t level,
                       int32_t px, int32_t py, int32_t stop, const DriftKernels& k, bool tight) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  GlobalMatch g;
  if (level > a.top || level > b.top || stop < 0 || stop > level) return g;
  for (int32_t l = level - 1; l >= stop; --l) {
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
    // largest, walks a 3 x 3 window downhill from it. A tight follow looks
    // one pixel around at each level and does not walk.
    const int32_t reach = l == stop || tight ? 1 : 2;
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
      if (!moved || reach == 2 || tight) break;
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


}  // namespace vantor::drift
