// The whole-pixel global start: coarse whitened spectra of frames and the
// peaks of their phase correlation. The frames are reduced by block means to
// the FFT side, cleaned so that what two frames share at zero shift (edges,
// offsets, single extreme pixels) stays weak, and whitened with a floor so
// that every frequency the scene fills votes about equally.
#include "registration/phase_start.h"

#include "generic/last_error.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <numbers>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "registration/phase_start.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace vantor::drift {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Over the first `span` columns of `rows` rows: column sums into s, the
// largest and smallest values into hi and lo, and with weights (valid not
// null) the weighted sums into s and the weight sums into sw, invalid pixels
// left out. Two vectors of columns at a time, all rows streaming past
// accumulators held in registers.
void SumColumns(const float* img, const float* valid, std::ptrdiff_t pitch, int32_t rows,
                int32_t span, float* s, float* sw, float* hi, float* lo) {
  const hn::ScalableTag<float> d;
  const int32_t n = static_cast<int32_t>(hn::Lanes(d));
  const auto zero = hn::Zero(d), up = hn::Set(d, INFINITY), down = hn::Set(d, -INFINITY);
  int32_t x = 0;
  for (; x + 2 * n <= span; x += 2 * n) {
    auto s0 = zero, s1 = zero, w0 = zero, w1 = zero, h0 = down, h1 = down, l0 = up, l1 = up;
    for (int32_t r = 0; r < rows; ++r) {
      const float* row = img + r * pitch + x;
      const auto g0 = hn::LoadU(d, row), g1 = hn::LoadU(d, row + n);
      if (!valid) {
        s0 = hn::Add(s0, g0);
        s1 = hn::Add(s1, g1);
        h0 = hn::Max(h0, g0);
        h1 = hn::Max(h1, g1);
        l0 = hn::Min(l0, g0);
        l1 = hn::Min(l1, g1);
      } else {
        const float* mrow = valid + r * pitch + x;
        const auto m0 = hn::LoadU(d, mrow), m1 = hn::LoadU(d, mrow + n);
        const auto k0 = hn::Gt(m0, zero), k1 = hn::Gt(m1, zero);
        s0 = hn::Add(s0, hn::IfThenElseZero(k0, hn::Mul(m0, g0)));
        s1 = hn::Add(s1, hn::IfThenElseZero(k1, hn::Mul(m1, g1)));
        w0 = hn::Add(w0, hn::IfThenElseZero(k0, m0));
        w1 = hn::Add(w1, hn::IfThenElseZero(k1, m1));
        h0 = hn::IfThenElse(k0, hn::Max(h0, g0), h0);
        h1 = hn::IfThenElse(k1, hn::Max(h1, g1), h1);
        l0 = hn::IfThenElse(k0, hn::Min(l0, g0), l0);
        l1 = hn::IfThenElse(k1, hn::Min(l1, g1), l1);
      }
    }
    hn::StoreU(s0, d, s + x);
    hn::StoreU(s1, d, s + x + n);
    hn::StoreU(h0, d, hi + x);
    hn::StoreU(h1, d, hi + x + n);
    hn::StoreU(l0, d, lo + x);
    hn::StoreU(l1, d, lo + x + n);
    if (valid) {
      hn::StoreU(w0, d, sw + x);
      hn::StoreU(w1, d, sw + x + n);
    }
  }
  for (; x < span; ++x) {
    float as = 0.0f, aw = 0.0f, ah = -INFINITY, al = INFINITY;
    for (int32_t r = 0; r < rows; ++r) {
      const float g = img[r * pitch + x];
      const float m = valid ? valid[r * pitch + x] : 1.0f;
      if (!(m > 0.0f)) continue;
      as += valid ? m * g : g;
      aw += m;
      ah = g > ah ? g : ah;
      al = g < al ? g : al;
    }
    s[x] = as;
    hi[x] = ah;
    lo[x] = al;
    if (valid) sw[x] = aw;
  }
}

// mag[i] = |re[i] + i im[i]| for i < n.
void Magnitudes(const float* re, const float* im, int64_t n, float* mag) {
  const hn::ScalableTag<float> d;
  const int64_t l = static_cast<int64_t>(hn::Lanes(d));
  int64_t i = 0;
  for (; i + l <= n; i += l) {
    const auto a = hn::LoadU(d, re + i), b = hn::LoadU(d, im + i);
    hn::StoreU(hn::Sqrt(hn::MulAdd(a, a, hn::Mul(b, b))), d, mag + i);
  }
  for (; i < n; ++i) mag[i] = std::sqrt(re[i] * re[i] + im[i] * im[i]);
}

}  // namespace HWY_NAMESPACE
}  // namespace vantor::drift
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantor::drift {

namespace {

HWY_EXPORT(SumColumns);
HWY_EXPORT(Magnitudes);

// Values farther than this many robust standard deviations from the median
// are clamped.
constexpr double kClip = 6.0;
// Whitening floor as a share of the mean spectral magnitude: frequencies
// above the mean count alike, weaker ones (mostly noise and the edges of
// small things) by their strength.
constexpr double kFloor = 1.0;
// The correlation surface is smoothed by a Gaussian of this sigma (coarse
// pixels), split between the two frames' spectra: it damps pixel noise and
// gives peaks a shape the sub-pixel fit suits.
constexpr double kBlur = 0.6;
// Peaks closer than this (coarse pixels) are one peak.
constexpr int32_t kSeparation = 2;
// At most this many pixels enter the median and its deviation.
constexpr size_t kStatSamples = 2048;

// The mean of the valid, finite pixels of block (bx, by), each first
// clamped into the range of its valid 4-neighbours: a lone hot pixel takes
// its neighbours' level, while a star (wider than a pixel) only loses the
// tip of its peak. Sum and weight into *s and *sw.
void CleanBlock(const float* img, std::ptrdiff_t pitch, const float* valid, int32_t w, int32_t h,
                int32_t f, int32_t bx, int32_t by, float* s, float* sw) {
  double sum = 0, weight = 0;
  auto usable = [&](int32_t x, int32_t y, float* g) {
    const std::ptrdiff_t o = y * pitch + x;
    const float m = valid ? valid[o] : 1.0f;
    *g = img[o];
    return std::isfinite(*g) && m > 0.0f && std::isfinite(m);
  };
  for (int32_t y = by * f; y < (by + 1) * f; ++y)
    for (int32_t x = bx * f; x < (bx + 1) * f; ++x) {
      float g;
      if (!usable(x, y, &g)) continue;
      float lo = INFINITY, hi = -INFINITY, n;
      const int32_t nx[4] = {x - 1, x + 1, x, x}, ny[4] = {y, y, y - 1, y + 1};
      for (int32_t i = 0; i < 4; ++i)
        if (nx[i] >= 0 && ny[i] >= 0 && nx[i] < w && ny[i] < h && usable(nx[i], ny[i], &n)) {
          lo = std::min(lo, n);
          hi = std::max(hi, n);
        }
      if (lo <= hi) g = std::clamp(g, lo, hi);
      const float m = valid ? valid[y * pitch + x] : 1.0f;
      sum += static_cast<double>(m) * g;
      weight += m;
    }
  *s = static_cast<float>(sum);
  *sw = static_cast<float>(weight);
}

// a[x] = op(a[2x], a[2x + 1]) for x < len, through a small buffer so that
// the compiler sees no overlap and vectorises.
template <typename Op>
void Halve(float* a, int32_t len, Op op) {
  constexpr int32_t kChunk = 256;
  float tmp[kChunk];
  for (int32_t x0 = 0; x0 < len; x0 += kChunk) {
    const int32_t n = std::min(kChunk, len - x0);
    const float* __restrict src = a + 2 * x0;
    for (int32_t x = 0; x < n; ++x) tmp[x] = op(src[2 * x], src[2 * x + 1]);
    std::copy_n(tmp, n, a + x0);
  }
}

// Block means of f x f pixels into val, with the share of valid weight in wt.
// Each block's largest distance from its mean goes to spread (infinite when
// the sum is not finite). Blocks whose spread stands far above the usual are
// summed again by CleanBlock.
void BlockMeans(const float* img, std::ptrdiff_t pitch, const float* valid, int32_t w, int32_t h,
                int32_t f, int32_t cw, int32_t ch, float* val, float* wt,
                std::vector<float>& spread, std::vector<float>& acc, std::vector<float>& accw,
                std::vector<float>& hi, std::vector<float>& lo) {
  const int32_t span = cw * f;
  const float area = static_cast<float>(f) * f, inv = 1.0f / area;
  for (int32_t cy = 0; cy < ch; ++cy) {
    const std::ptrdiff_t off = static_cast<std::ptrdiff_t>(cy) * f * pitch;
    HWY_DYNAMIC_DISPATCH(SumColumns)
    (img + off, valid ? valid + off : nullptr, pitch, f, span, acc.data(), accw.data(), hi.data(),
     lo.data());
    // Groups of f columns to one value each: halving passes when f is a
    // power of two (plain loops the compiler vectorises), else one by one.
    int32_t g = f;
    for (; g > 1 && g % 2 == 0; g /= 2) {
      const int32_t len = cw * g / 2;
      Halve(acc.data(), len, [](float a, float b) { return a + b; });
      Halve(hi.data(), len, [](float a, float b) { return a > b ? a : b; });
      Halve(lo.data(), len, [](float a, float b) { return a < b ? a : b; });
      if (valid) Halve(accw.data(), len, [](float a, float b) { return a + b; });
    }
    for (int32_t cx = 0; g > 1 && cx < cw; ++cx) {
      float s = 0.0f, sw = 0.0f, bh = -INFINITY, bl = INFINITY;
      for (int32_t i = cx * g; i < (cx + 1) * g; ++i) {
        s += acc[i];
        sw += valid ? accw[i] : 0.0f;
        bh = std::max(bh, hi[i]);
        bl = std::min(bl, lo[i]);
      }
      acc[cx] = s;
      hi[cx] = bh;
      lo[cx] = bl;
      if (valid) accw[cx] = sw;
    }
    float* v = val + static_cast<size_t>(cy) * cw;
    float* wr = wt + static_cast<size_t>(cy) * cw;
    float* sp = spread.data() + static_cast<size_t>(cy) * cw;
    if (!valid) {
      for (int32_t cx = 0; cx < cw; ++cx) {
        const float s = acc[cx], mean = s * inv;
        v[cx] = mean;
        wr[cx] = 1.0f;
        // s - s is 0 only for finite sums.
        sp[cx] = s - s == 0.0f ? std::max(hi[cx] - mean, mean - lo[cx]) : INFINITY;
      }
    } else {
      for (int32_t cx = 0; cx < cw; ++cx) {
        const float s = acc[cx], sw = accw[cx];
        const float mean = sw > 0.0f ? s / sw : 0.0f;
        v[cx] = mean;
        wr[cx] = std::min(sw * inv, 1.0f);
        sp[cx] = !std::isfinite(s) || !std::isfinite(sw) ? INFINITY
                 : sw > 0.0f                             ? std::max(hi[cx] - mean, mean - lo[cx])
                                                         : 0.0f;
      }
    }
  }

  // A block is looked at again when its spread is far above the median
  // spread (a hot pixel or cosmic ray, a star, or a non-finite pixel).
  std::vector<float> sample;
  const size_t blocks = static_cast<size_t>(cw) * ch;
  const size_t stride = std::max<size_t>(1, blocks / kStatSamples) | 1;
  for (size_t i = 0; i < blocks; i += stride)
    if (std::isfinite(spread[i])) sample.push_back(spread[i]);
  float limit = 0.0f;
  if (!sample.empty()) {
    auto mid = sample.begin() + sample.size() / 2;
    std::nth_element(sample.begin(), mid, sample.end());
    limit = 6.0f * *mid;
  }
  for (int32_t cy = 0; cy < ch; ++cy)
    for (int32_t cx = 0; cx < cw; ++cx) {
      const size_t i = static_cast<size_t>(cy) * cw + cx;
      if (!(spread[i] > limit)) continue;
      float s, sw;
      CleanBlock(img, pitch, valid, w, h, f, cx, cy, &s, &sw);
      if (!std::isfinite(s) || !std::isfinite(sw)) s = sw = 0.0f;
      val[i] = sw > 0.0f ? s / sw : 0.0f;
      wt[i] = std::min(sw / area, 1.0f);
    }
}

// Median and robust standard deviation of the valid values (a spread sample
// of them when there are many); sigma 0 when the values do not vary.
void RobustStats(const std::vector<float>& val, const std::vector<float>& wt, double* median,
                 double* sigma) {
  // An odd stride, so that the sample does not line up with the columns.
  const size_t stride = std::max<size_t>(1, val.size() / kStatSamples) | 1;
  std::vector<float> s;
  s.reserve(val.size() / stride + 1);
  for (size_t i = 0; i < val.size(); i += stride)
    if (wt[i] > 0.0f) s.push_back(val[i]);
  if (s.empty())  // sparse valid pixels that the stride missed
    for (size_t i = 0; i < val.size(); ++i)
      if (wt[i] > 0.0f) s.push_back(val[i]);
  const auto mid = s.begin() + s.size() / 2;
  std::nth_element(s.begin(), mid, s.end());
  const float med = *mid;
  double absSum = 0;
  for (float& v : s) {
    v = std::fabs(v - med);
    absSum += v;
  }
  std::nth_element(s.begin(), mid, s.end());
  *median = med;
  *sigma = 1.4826 * *mid;
  // Mostly flat frames (a few stars on a clean background): the mean
  // deviation still sees the features.
  if (*sigma == 0.0) *sigma = 1.2533 * absSum / static_cast<double>(s.size());
}

// Clamps isolated extremes: each value is held to within kClip robust
// deviations of its local level, the median of the four values two pixels
// away along the axes (mirrored at the borders), the deviation measured over
// all valid pixels. Measured locally, neither a ramp or vignetting nor the
// texture's own range widens the limit, and a spike two pixels wide still
// sees the normal level around it. Stars shrink to points of equal weight,
// which is all the correlation needs from them.
void ClampSpikes(std::vector<float>& val, const std::vector<float>& wt, int32_t cw, int32_t ch) {
  std::vector<float> level(val.size()), resid(val.size());
  auto med4 = [](float a, float b, float c, float d) {
    const float hi = std::max(std::max(a, b), std::max(c, d));
    const float lo = std::min(std::min(a, b), std::min(c, d));
    return 0.5f * (a + b + c + d - hi - lo);
  };
  for (int32_t y = 0; y < ch; ++y) {
    const float* row = val.data() + static_cast<size_t>(y) * cw;
    const float* up = val.data() + static_cast<size_t>(y >= 2 ? y - 2 : y + 2) * cw;
    const float* dn = val.data() + static_cast<size_t>(y + 2 < ch ? y + 2 : y - 2) * cw;
    float* lv = level.data() + static_cast<size_t>(y) * cw;
    float* rs = resid.data() + static_cast<size_t>(y) * cw;
    for (int32_t x = 0; x < 2; ++x) lv[x] = med4(row[x + 2], row[x + 2], up[x], dn[x]);
    for (int32_t x = 2; x < cw - 2; ++x) lv[x] = med4(row[x - 2], row[x + 2], up[x], dn[x]);
    for (int32_t x = std::max(2, cw - 2); x < cw; ++x)
      lv[x] = med4(row[x - 2], row[x - 2], up[x], dn[x]);
    for (int32_t x = 0; x < cw; ++x) rs[x] = row[x] - lv[x];
  }
  double med = 0, sigma = 0;
  RobustStats(resid, wt, &med, &sigma);
  if (!(sigma > 0)) return;
  const float lo = static_cast<float>(med - kClip * sigma),
              hi = static_cast<float>(med + kClip * sigma);
  for (size_t i = 0; i < val.size(); ++i) val[i] = level[i] + std::clamp(resid[i], lo, hi);
}

// Raised-cosine edges over an eighth of the length.
void Taper(int32_t len, std::vector<float>& w) {
  w.assign(len, 1.0f);
  const int32_t t = std::max(1, len / 8);
  for (int32_t i = 0; i < t && i < len; ++i) {
    const float v = static_cast<float>(0.5 * (1.0 - std::cos(std::numbers::pi * (i + 0.5) / t)));
    w[i] = std::min(w[i], v);
    w[len - 1 - i] = std::min(w[len - 1 - i], v);
  }
}

// exp(-pi^2 sigma^2 f^2) for the signed frequency of each bin index k < count.
void Gauss(int32_t n, int32_t count, std::vector<float>& g) {
  g.resize(count);
  for (int32_t k = 0; k < count; ++k) {
    const double f = static_cast<double>(k <= n / 2 ? k : k - n) / n;
    g[k] =
        static_cast<float>(std::exp(-std::numbers::pi * std::numbers::pi * kBlur * kBlur * f * f));
  }
}

// Offset of the true peak from the middle sample: a Gaussian through three
// positive samples, a parabola otherwise.
double SubSample(float l, float c, float r) {
  double d;
  if (l > 0 && c > 0 && r > 0) {
    const double ll = std::log(l), lc = std::log(c), lr = std::log(r);
    const double den = ll - 2 * lc + lr;
    d = den < 0 ? 0.5 * (ll - lr) / den : 0.0;
  } else {
    const double den = static_cast<double>(l) - 2.0 * c + r;
    d = den < 0 ? 0.5 * (static_cast<double>(l) - r) / den : 0.0;
  }
  return std::clamp(d, -0.5, 0.5);
}

}  // namespace

bool PrepareStart(const float* img, int32_t w, int32_t h, std::ptrdiff_t pitch, const float* valid,
                  int32_t size, StartFrame* out) {
  if (!img || !out || w < 1 || h < 1 || pitch < w || size < 8 || size > 4096 ||
      (size & (size - 1)) != 0)
    return false;
  const int32_t f = std::max((std::max(w, h) + size - 1) / size, 1);
  const int32_t cw = w / f, ch = h / f;
  if (cw < 4 || ch < 4) return false;
  try {
    if (out->twiddles.n != size && !out->twiddles.Build(size)) return false;
    fft::Real2D r;
    if (!r.Init(out->twiddles)) return false;

    std::vector<float> val(static_cast<size_t>(cw) * ch), wt(val.size());
    std::vector<float> spread(val.size()), acc(static_cast<size_t>(cw) * f),
        accw(valid ? acc.size() : 0), hi(acc.size()), lo(acc.size());
    BlockMeans(img, pitch, valid, w, h, f, cw, ch, val.data(), wt.data(), spread, acc, accw, hi,
               lo);

    if (std::none_of(wt.begin(), wt.end(), [](float v) { return v > 0.0f; })) return false;
    // Invalid blocks take the median, so that they pull no local level off.
    double med = 0, sigma = 0;
    RobustStats(val, wt, &med, &sigma);
    for (size_t i = 0; i < val.size(); ++i)
      val[i] = wt[i] > 0.0f ? val[i] : static_cast<float>(med);
    ClampSpikes(val, wt, cw, ch);
    // Then a looser guard for whole bright regions: at most kClip robust
    // deviations from the median of all valid blocks.
    if (sigma > 0) {
      const float lo = static_cast<float>(med - kClip * sigma);
      const float hi = static_cast<float>(med + kClip * sigma);
      for (float& v : val) v = std::clamp(v, lo, hi);
    }

    // Weights: validity times the edge taper. The weighted mean goes, so the
    // taper leaves no step and the weighted image has no constant part.
    std::vector<float> tx, ty;
    Taper(cw, tx);
    Taper(ch, ty);
    double sum = 0, sumW = 0;
    for (int32_t y = 0; y < ch; ++y) {
      float* wr = wt.data() + static_cast<size_t>(y) * cw;
      const float* vr = val.data() + static_cast<size_t>(y) * cw;
      for (int32_t x = 0; x < cw; ++x) wr[x] *= tx[x] * ty[y];
      // Eight partial sums, so that the compiler may use vectors.
      float ps[8] = {}, pw[8] = {};
      int32_t x = 0;
      for (; x + 8 <= cw; x += 8)
        for (int32_t j = 0; j < 8; ++j) {
          ps[j] += wr[x + j] * vr[x + j];
          pw[j] += wr[x + j];
        }
      for (; x < cw; ++x) {
        ps[0] += wr[x] * vr[x];
        pw[0] += wr[x];
      }
      for (int32_t j = 0; j < 8; ++j) sum += ps[j], sumW += pw[j];
    }
    if (!(sumW > 0)) return false;
    const float mean = static_cast<float>(sum / sumW);
    const int32_t half = size / 2;
    for (int32_t y = 0; y < ch; ++y) {
      const float* wr = wt.data() + static_cast<size_t>(y) * cw;
      const float* vr = val.data() + static_cast<size_t>(y) * cw;
      float* left = r.zr.data() + static_cast<size_t>(y) * half;
      float* right = r.zi.data() + static_cast<size_t>(y) * half;
      const int32_t split = std::min(cw, half);
      for (int32_t x = 0; x < split; ++x) left[x] = (vr[x] - mean) * wr[x];
      for (int32_t x = split; x < cw; ++x) right[x - half] = (vr[x] - mean) * wr[x];
    }

    const int32_t m = r.HalfCols();
    out->re.resize(static_cast<size_t>(size) * m);
    out->im.resize(out->re.size());
    float* re = out->re.data();
    float* im = out->im.data();
    r.Forward(re, im);

    // Whitening: X / (|X| + eps), eps a share of the mean magnitude, times
    // this frame's half of the smoothing.
    const size_t bins = out->re.size();
    std::vector<float> mag(bins);
    HWY_DYNAMIC_DISPATCH(Magnitudes)(re, im, static_cast<int64_t>(bins), mag.data());
    double magSum = 0;
    {
      float part[8] = {};
      size_t i = 1;
      for (; i + 8 <= bins; i += 8)
        for (int32_t j = 0; j < 8; ++j) part[j] += mag[i + j];
      for (; i < bins; ++i) part[0] += mag[i];
      for (float p : part) magSum += p;
    }
    const float eps = static_cast<float>(kFloor * magSum / static_cast<double>(bins - 1));
    std::vector<float> gx, gy;
    Gauss(size, size, gx);
    Gauss(size, m, gy);
    if (eps > 0.0f) {
      for (int32_t kx = 0; kx < size; ++kx) {
        const size_t o = static_cast<size_t>(kx) * m;
        for (int32_t ky = 0; ky < m; ++ky) {
          const float g = gx[kx] * gy[ky] / (mag[o + ky] + eps);
          re[o + ky] *= g;
          im[o + ky] *= g;
        }
      }
    } else {
      std::fill(re, re + bins, 0.0f);  // a flat frame
      std::fill(im, im + bins, 0.0f);
    }
    re[0] = im[0] = 0.0f;
    out->size = size;
    out->factor = f;
    out->w = w;
    out->h = h;
  } catch (const std::bad_alloc&) {
    return vantor::err::FailMemory();
  }
  return true;
}

std::vector<StartCandidate> StartCandidates(const StartFrame& reference, const StartFrame& current,
                                            int32_t k, double maxShift) {
  std::vector<StartCandidate> out;
  const int32_t n = reference.size;
  if (n < 8 || current.size != n || current.factor != reference.factor || k < 1 ||
      !(maxShift >= 0) || reference.twiddles.n != n)
    return out;
  try {
    fft::Real2D r;
    if (!r.Init(reference.twiddles)) return out;
    const int32_t m = r.HalfCols();
    const size_t bins = static_cast<size_t>(n) * m;
    std::vector<float> pr(bins), pi(bins);
    const float *ar = reference.re.data(), *ai = reference.im.data();
    const float *br = current.re.data(), *bi = current.im.data();
    double total = 0;
    for (int32_t kx = 0; kx < n; ++kx)
      for (int32_t ky = 0; ky < m; ++ky) {
        const size_t i = static_cast<size_t>(kx) * m + ky;
        pr[i] = ar[i] * br[i] + ai[i] * bi[i];
        pi[i] = ai[i] * br[i] - ar[i] * bi[i];
        // The bins left out of the half spectrum mirror those inside it.
        total += (ky == 0 || ky == n / 2 ? 1.0f : 2.0f) * std::sqrt(pr[i] * pr[i] + pi[i] * pi[i]);
      }
    if (!(total > 0)) return out;
    r.Inverse(pr.data(), pi.data());

    std::vector<float> c(static_cast<size_t>(n) * n);
    const int32_t half = n / 2, mask = n - 1;
    for (int32_t y = 0; y < n; ++y) {
      std::copy_n(r.zr.data() + static_cast<size_t>(y) * half, half,
                  c.data() + static_cast<size_t>(y) * n);
      std::copy_n(r.zi.data() + static_cast<size_t>(y) * half, half,
                  c.data() + static_cast<size_t>(y) * n + half);
    }
    auto at = [&](int32_t x, int32_t y) {
      return c[static_cast<size_t>(y & mask) * n + (x & mask)];
    };

    // Local maxima on the torus (of equal neighbours, the later in row
    // order).
    struct Peak {
      float v;
      int32_t x, y;
    };
    std::vector<Peak> peaks;
    std::vector<uint8_t> maybe(n);
    for (int32_t y = 0; y < n; ++y) {
      const float* up = c.data() + static_cast<size_t>((y - 1) & mask) * n;
      const float* mid = c.data() + static_cast<size_t>(y) * n;
      const float* dn = c.data() + static_cast<size_t>((y + 1) & mask) * n;
      // Above zero and the 4-neighbours first, without branches; the few
      // left are then held against the diagonals.
      for (int32_t x = 1; x < n - 1; ++x) {
        const float v = mid[x];
        maybe[x] = (v > 0.0f) & (v >= mid[x - 1]) & (v > mid[x + 1]) & (v >= up[x]) & (v > dn[x]);
      }
      maybe[0] = maybe[n - 1] = 1;
      for (int32_t x = 0; x < n; ++x) {
        if (!maybe[x]) continue;
        const float v = mid[x];
        const int32_t l = (x - 1) & mask, rr = (x + 1) & mask;
        if (!(v > 0.0f) || v < mid[l] || v <= mid[rr] || v < up[x] || v <= dn[x]) continue;
        if (v < up[l] || v < up[rr] || v <= dn[l] || v <= dn[rr]) continue;
        peaks.push_back({v, x, y});
      }
    }
    // Only the strongest few are usually looked at: sort those first.
    auto stronger = [](const Peak& a, const Peak& b) { return a.v > b.v; };
    size_t sorted = std::min(peaks.size(), static_cast<size_t>(32) + 16 * static_cast<size_t>(k));
    std::partial_sort(peaks.begin(), peaks.begin() + sorted, peaks.end(), stronger);

    const double f = reference.factor, period = static_cast<double>(n) * f;
    std::vector<Peak> taken;
    int32_t found = 0;
    for (size_t j = 0; j < peaks.size() && found < k; ++j) {
      if (j == sorted) {
        std::sort(peaks.begin() + sorted, peaks.end(), stronger);
        sorted = peaks.size();
      }
      const Peak& p = peaks[j];
      bool near = false;
      for (const Peak& q : taken) {
        const int32_t ddx = std::abs(((p.x - q.x + n / 2) & mask) - n / 2);
        const int32_t ddy = std::abs(((p.y - q.y + n / 2) & mask) - n / 2);
        near |= ddx <= kSeparation && ddy <= kSeparation;
      }
      if (near) continue;
      taken.push_back(p);
      const double dx = (p.x + SubSample(at(p.x - 1, p.y), p.v, at(p.x + 1, p.y))) * f;
      const double dy = (p.y + SubSample(at(p.x, p.y - 1), p.v, at(p.x, p.y + 1))) * f;
      const double score = p.v / total;
      // The aliases of one peak, the shortest displacement first.
      const size_t first = out.size();
      for (double ax : {dx, dx - period})
        for (double ay : {dy, dy - period})
          if (std::fabs(ax) <= maxShift && std::fabs(ay) <= maxShift)
            out.push_back({ax, ay, score});
      std::sort(out.begin() + first, out.end(),
                [](const StartCandidate& a, const StartCandidate& b) {
                  return std::hypot(a.dx, a.dy) < std::hypot(b.dx, b.dy);
                });
      found += out.size() > first;
    }
  } catch (const std::bad_alloc&) {
    vantor::err::FailMemory();
    out.clear();
  }
  return out;
}

}  // namespace vantor::drift

#endif  // HWY_ONCE
