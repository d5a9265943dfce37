// Fields of faint point sources (beads, stars in photon noise), measured by a
// model of the spots themselves: Gaussian spots found in both frames, each
// with its own place and brightness in either frame, a width and a
// background per frame and the displacement, all fitted to both frames' raw
// pixels at once. Where noise makes up most of a frame's gradients, a
// comparison of the smoothed frames carries one frame's noise against the
// other's and the smoothing's loss of resolution; the model's template has
// neither, and its error comes near the bound the photon counts set.
//
// Levenberg-Marquardt with Huber weights (hot pixels, cosmic rays); each
// step's normal equations (drift_spots_solve.h) are solved by conjugate
// gradients from the products with the Jacobian, never formed.
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "generic/last_error.h"
#include "registration/drift_internal.h"
#include "registration/drift_spots_solve.h"

namespace vantor::drift {
namespace {

constexpr double kDetect = 3.0;        // candidates stand this many robust deviations out
constexpr double kDetectSigma = 1.5;   // the smoothing candidates are found on
constexpr int32_t kDetectRadius = 2;   // a candidate is the largest value this near
constexpr int32_t kDetectMargin = 3;   // spots just outside the area reach into it
constexpr double kStartWidth = 1.5;    // the spots' sigma to start from
constexpr double kReach = 2.5;         // spots are drawn out to this many sigma
constexpr int32_t kMaxWindow = 64;     // and at most this many pixels across
constexpr double kPlaceHold = 5.0;     // pixels: how loosely a place is held where it was found
constexpr double kHold = 1.0 / (kPlaceHold * kPlaceHold);  // the hold's stiffness
constexpr double kHuber = 3.0;         // residuals beyond this many noise deviations weigh less
constexpr int32_t kAreaPerSpot = 100;  // more candidates than one in this many pixels: no spot field
constexpr int32_t kMaxSpots = 2000;
constexpr int32_t kMinSpots = 8;
constexpr int kMaxRounds = 25;
constexpr int kSpotRounds = 3;        // rounds of the spots alone before the joint fit
constexpr int kMaxConjugate = 40;
constexpr double kSolved = 1e-3;       // conjugate gradients stop at this share of the residual
constexpr double kConverged = 5e-3;    // pixels, each axis
constexpr double kHopeless = 2 * kSpotsFit;  // the spots alone explain less: no spot field

// A spot width (sigma, pixels) the model may take.
bool Plausible(double width) { return width > 0.4 && width < 8.0; }

// One frame's compared pixels.
struct Area {
  const FloatImage* image = nullptr;
  Rect r;
  double noise = 1;  // standard deviation
  size_t Index(int32_t x, int32_t y) const {
    return static_cast<size_t>(y - r.y0) * r.Width() + (x - r.x0);
  }
};

class SpotModel {
 public:
  SpotModel(const Area& a, const Area& b, SpotWork& w) : a_(a), b_(b), w_(w) {}

  // Spot i's centre and brightness in frame f (0: a, 1: b, where it sits at
  // its place less the displacement).
  struct Placed {
    double cx, cy, bright;
  };
  Placed Place(const std::vector<double>& p, int32_t i, int f) const {
    const double* s = p.data() + 4 * static_cast<size_t>(n_);
    return {p[4 * i] - (f == 1 ? s[kDx] : 0.0), p[4 * i + 1] - (f == 1 ? s[kDy] : 0.0),
            p[4 * i + 2 + f]};
  }

  // p: 4 a spot (x, y, brightness in a, in b), then the shared ones. Draws
  // the model, its residuals, weights and robust cost.
  void Draw(const std::vector<double>& p, int32_t n) {
    at_ = 1 - at_;
    d_ = &w_.drawn[at_];
    n_ = n;
    const double* s = p.data() + 4 * static_cast<size_t>(n);
    d_->width[0] = s[kWidthA];
    d_->width[1] = s[kWidthB];
    d_->windows.resize(2 * static_cast<size_t>(n));
    size_t at = 0;
    for (int32_t i = 0; i < n; ++i)
      for (int f = 0; f < 2; ++f) {
        const Area& ar = f == 0 ? a_ : b_;
        const int32_t reach = static_cast<int32_t>(std::ceil(kReach * d_->width[f]));
        const auto [cx, cy, bright] = Place(p, i, f);
        SpotWindow& win = d_->windows[2 * i + f];
        // A place far outside (or not a number, from a step that will be
        // refused) gets an empty window.
        auto Cell = [&](double v, int32_t lo, int32_t hi) {
          return v > lo - 2 * kMaxWindow && v < hi + 2 * kMaxWindow
                     ? static_cast<int32_t>(std::floor(v))
                     : lo - 4 * kMaxWindow;
        };
        const int32_t ix = Cell(cx, ar.r.x0, ar.r.x1), iy = Cell(cy, ar.r.y0, ar.r.y1);
        win.x0 = std::max(ar.r.x0, ix - reach);
        win.x1 = std::min({ar.r.x1, ix + reach + 2, win.x0 + kMaxWindow});
        win.y0 = std::max(ar.r.y0, iy - reach);
        win.y1 = std::min(ar.r.y1, iy + reach + 2);
        if (win.x1 < win.x0) win.x1 = win.x0;
        if (win.y1 < win.y0) win.y1 = win.y0;
        win.at = at;
        at += static_cast<size_t>(win.x1 - win.x0) * (win.y1 - win.y0);
      }
    d_->gauss.resize(at);
    for (int f = 0; f < 2; ++f) {
      const double k = -0.5 / (d_->width[f] * d_->width[f]);
      const Area& ar = f == 0 ? a_ : b_;
      std::vector<float>& m = f == 0 ? d_->modelA : d_->modelB;
      m.assign(static_cast<size_t>(ar.r.Area()), static_cast<float>(s[f == 0 ? kBackA : kBackB]));
      for (int32_t i = 0; i < n; ++i) {
        const SpotWindow& win = d_->windows[2 * i + f];
        const auto [cx, cy, bright] = Place(p, i, f);
        float* g = d_->gauss.data() + win.at;
        // The Gaussian is the product of its row's and its column's factor.
        double across[kMaxWindow];
        const int32_t ww = win.x1 - win.x0;
        for (int32_t x = 0; x < ww; ++x) {
          const double ux = win.x0 + x - cx;
          across[x] = std::exp(k * ux * ux);
        }
        for (int32_t y = win.y0; y < win.y1; ++y) {
          const double down = std::exp(k * (y - cy) * (y - cy));
          float* row = m.data() + ar.Index(win.x0, y);
          for (int32_t x = 0; x < ww; ++x, ++g, ++row) {
            const double v = down * across[x];
            *g = static_cast<float>(v);
            *row += static_cast<float>(bright * v);
          }
        }
      }
    }
    // Every pixel some spot's window holds, once: the products with the
    // Jacobian touch only these (elsewhere only the background acts).
    for (int f = 0; f < 2; ++f) {
      const Area& ar = f == 0 ? a_ : b_;
      std::vector<uint8_t>& mark = w_.mark;
      std::vector<int32_t>& cover = f == 0 ? d_->coverA : d_->coverB;
      mark.resize(static_cast<size_t>(ar.r.Area()));
      cover.clear();
      for (int32_t i = 0; i < n; ++i) {
        const SpotWindow& win = d_->windows[2 * i + f];
        for (int32_t y = win.y0; y < win.y1; ++y) {
          const size_t j0 = ar.Index(win.x0, y);
          for (int32_t x = win.x0; x < win.x1; ++x)
            if (!mark[j0 + (x - win.x0)]) {
              mark[j0 + (x - win.x0)] = 1;
              cover.push_back(static_cast<int32_t>(j0 + (x - win.x0)));
            }
        }
      }
      for (const int32_t j : cover) mark[j] = 0;
    }
    d_->cost = 0;
    d_->chi = 0;
    for (int f = 0; f < 2; ++f) {
      d_->weights[f] = d_->weighted[f] = 0;
      const Area& ar = f == 0 ? a_ : b_;
      std::vector<float>& m = f == 0 ? d_->modelA : d_->modelB;
      std::vector<float>& e = f == 0 ? d_->residA : d_->residB;
      std::vector<float>& wt = f == 0 ? d_->weightA : d_->weightB;
      e.resize(m.size());
      wt.resize(m.size());
      const float inv = static_cast<float>(1.0 / ar.noise), k = static_cast<float>(kHuber);
      const float inv2 = inv * inv;
      // Row by row in float, eight lanes of sums side by side (the order of
      // the sums fixed, so that the compiler may vectorise them).
      const int32_t width = ar.r.Width();
      for (int32_t y = ar.r.y0; y < ar.r.y1; ++y) {
        const float* v = ar.image->Row(y) + ar.r.x0;
        const size_t j0 = ar.Index(ar.r.x0, y);
        const float* mr = m.data() + j0;
        float* er = e.data() + j0;
        float* wr = wt.data() + j0;
        float cost[8] = {}, chi[8] = {}, ws[8] = {}, wes[8] = {};
        int32_t x = 0;
        auto Pixel = [&](int32_t i, int l) {
          const float r = v[i] - mr[i];
          const float z = std::fabs(r) * inv;
          const float c = std::min(z, k);  // Huber: 1 within k deviations, k / z beyond
          er[i] = r;
          wr[i] = (z > k ? k / z : 1.0f) * inv2;
          cost[l] += 0.5f * c * (2.0f * z - c);
          chi[l] += c * c;
          ws[l] += wr[i];
          wes[l] += wr[i] * r;
        };
        for (; x + 8 <= width; x += 8)
          for (int l = 0; l < 8; ++l) Pixel(x + l, l);
        for (; x < width; ++x) Pixel(x, 0);
        for (int l = 0; l < 8; ++l) {
          d_->cost += cost[l];
          d_->chi += chi[l];
          d_->weights[f] += ws[l];
          d_->weighted[f] += wes[l];
        }
      }
      for (const int32_t j : f == 0 ? d_->coverA : d_->coverB) {
        d_->weights[f] -= wt[j];
        d_->weighted[f] -= wt[j] * e[j];
      }
    }
    d_->chi /= static_cast<double>(a_.r.Area() + b_.r.Area());
  }

  double Cost() const { return d_->cost; }

  // The model as drawn before the last Draw again (a refused trial's).
  void Back() {
    at_ = 1 - at_;
    d_ = &w_.drawn[at_];
  }

  // Each frame's noise from the residuals of the model as drawn (those
  // within five of the present deviations): a robust estimate from pixel
  // differences takes Poisson noise of a few photons for less than it is.
  void Renoise(Area& a, Area& b) const {
    for (int f = 0; f < 2; ++f) {
      Area& ar = f == 0 ? a : b;
      const std::vector<float>& e = f == 0 ? d_->residA : d_->residB;
      const double limit = 25.0 * ar.noise * ar.noise;
      double sum = 0;
      size_t count = 0;
      for (const float v : e)
        if (double(v) * v < limit) sum += double(v) * v, ++count;
      if (count > 0 && sum > 0.0) ar.noise = std::sqrt(sum / count);
    }
  }
  double Chi() const { return d_->chi; }

  // The residuals as Transpose's input (the gradient of the cost).
  void LoadResiduals() {
    for (int f = 0; f < 2; ++f) {
      const std::vector<float>& e = f == 0 ? d_->residA : d_->residB;
      std::vector<double>& z = f == 0 ? w_.za : w_.zb;
      z.resize(e.size());
      for (const int32_t j : f == 0 ? d_->coverA : d_->coverB) z[j] = e[j];
      outside_[f] = d_->weighted[f];
    }
  }

  // z = J v over the covered pixels (za, zb); outside them it is the
  // background's part alone, whose weighted sum goes to outside_.
  void Apply(const std::vector<double>& p, const double* v) {
    const double* vs = v + 4 * static_cast<size_t>(n_);
    for (int f = 0; f < 2; ++f) {
      const double s2 = 1.0 / (d_->width[f] * d_->width[f]), s3 = s2 / d_->width[f];
      const Area& ar = f == 0 ? a_ : b_;
      std::vector<double>& z = f == 0 ? w_.za : w_.zb;
      const double back = vs[f == 0 ? kBackA : kBackB];
      z.resize(static_cast<size_t>(ar.r.Area()));
      for (const int32_t j : f == 0 ? d_->coverA : d_->coverB) z[j] = back;
      outside_[f] = back * d_->weights[f];
      for (int32_t i = 0; i < n_; ++i) {
        const SpotWindow& win = d_->windows[2 * i + f];
        const auto [cx, cy, bright] = Place(p, i, f);
        const double vx = (v[4 * i] - (f == 1 ? vs[kDx] : 0.0)) * bright * s2;
        const double vy = (v[4 * i + 1] - (f == 1 ? vs[kDy] : 0.0)) * bright * s2;
        const double vb = v[4 * i + 2 + f], vw = vs[kWidthA + f] * bright * s3;
        const float* g = d_->gauss.data() + win.at;
        for (int32_t y = win.y0; y < win.y1; ++y) {
          const double uy = y - cy;
          double* row = z.data() + ar.Index(win.x0, y);
          for (int32_t x = win.x0; x < win.x1; ++x, ++g, ++row) {
            const double ux = x - cx;
            *row += *g * (ux * vx + uy * vy + vb + (ux * ux + uy * uy) * vw);
          }
        }
      }
    }
  }

  // out = J^T (weights * z), z over the covered pixels in za, zb (multiplied
  // by the weights in place) and the weighted rest in outside_.
  void Transpose(const std::vector<double>& p, double* out) {
    std::vector<double>& za = w_.za;
    std::vector<double>& zb = w_.zb;
    const size_t all = 4 * static_cast<size_t>(n_) + kShared;
    std::fill(out, out + all, 0.0);
    double* os = out + 4 * static_cast<size_t>(n_);
    for (int f = 0; f < 2; ++f) {
      const double s2 = 1.0 / (d_->width[f] * d_->width[f]), s3 = s2 / d_->width[f];
      const Area& ar = f == 0 ? a_ : b_;
      std::vector<double>& z = f == 0 ? za : zb;
      const std::vector<float>& wt = f == 0 ? d_->weightA : d_->weightB;
      double sum = outside_[f];
      for (const int32_t j : f == 0 ? d_->coverA : d_->coverB) {
        z[j] *= wt[j];
        sum += z[j];
      }
      os[f == 0 ? kBackA : kBackB] = sum;
      for (int32_t i = 0; i < n_; ++i) {
        const SpotWindow& win = d_->windows[2 * i + f];
        const auto [cx, cy, bright] = Place(p, i, f);
        double tx = 0, ty = 0, tb = 0, tw = 0;
        const float* g = d_->gauss.data() + win.at;
        for (int32_t y = win.y0; y < win.y1; ++y) {
          const double uy = y - cy;
          const double* row = z.data() + ar.Index(win.x0, y);
          for (int32_t x = win.x0; x < win.x1; ++x, ++g, ++row) {
            const double ux = x - cx, gz = *g * *row;
            tx += gz * ux;
            ty += gz * uy;
            tb += gz;
            tw += gz * (ux * ux + uy * uy);
          }
        }
        out[4 * i] += tx * bright * s2;
        out[4 * i + 1] += ty * bright * s2;
        out[4 * i + 2 + f] += tb;
        os[kWidthA + f] += tw * bright * s3;
        if (f == 1) {
          os[kDx] -= tx * bright * s2;
          os[kDy] -= ty * bright * s2;
        }
      }
    }
  }

  // Per spot, its own parts of J^T W J (overlaps with other spots left
  // out): its 4 x 4 block, then its 4 x kShared coupling with the shared
  // parameters (kBlock values a spot, row major).
  void SpotBlocks(const std::vector<double>& p, std::vector<double>& blocks) {
    blocks.assign(kBlock * static_cast<size_t>(n_), 0.0);
    for (int32_t i = 0; i < n_; ++i) {
      double* h = blocks.data() + kBlock * static_cast<size_t>(i);
      double* c = h + 16;
      for (int f = 0; f < 2; ++f) {
        const double s2 = 1.0 / (d_->width[f] * d_->width[f]), s3 = s2 / d_->width[f];
        const Area& ar = f == 0 ? a_ : b_;
        const std::vector<float>& wt = f == 0 ? d_->weightA : d_->weightB;
        const SpotWindow& win = d_->windows[2 * i + f];
        const auto [cx, cy, bright] = Place(p, i, f);
        const int b = 2 + f;
        const float* g = d_->gauss.data() + win.at;
        for (int32_t y = win.y0; y < win.y1; ++y) {
          const double uy = y - cy;
          const float* wr = wt.data() + ar.Index(win.x0, y);
          for (int32_t x = win.x0; x < win.x1; ++x, ++g, ++wr) {
            const double ux = x - cx;
            const double j[3] = {*g * ux * bright * s2, *g * uy * bright * s2, *g};
            const int at[3] = {0, 1, b};
            // The shared parameters' columns, this spot's part of them.
            double js[kShared] = {};
            js[kWidthA + f] = *g * bright * (ux * ux + uy * uy) * s3;
            if (f == 1) js[kDx] = -j[0], js[kDy] = -j[1];
            js[f == 0 ? kBackA : kBackB] = 1.0;
            for (int r = 0; r < 3; ++r) {
              const double wj = *wr * j[r];
              for (int q = 0; q < 3; ++q) h[at[r] * 4 + at[q]] += wj * j[q];
              for (int q = 0; q < kShared; ++q) c[at[r] * kShared + q] += wj * js[q];
            }
          }
        }
      }
    }
  }

  // The shared parameters' block of J^T W J (kShared x kShared, row
  // major): their columns summed over the spots at the covered pixels; the
  // backgrounds' alone elsewhere.
  void SharedBlock(const std::vector<double>& p, double* h) {
    std::fill(h, h + kShared * kShared, 0.0);
    for (int f = 0; f < 2; ++f) {
      const double s2 = 1.0 / (d_->width[f] * d_->width[f]), s3 = s2 / d_->width[f];
      const Area& ar = f == 0 ? a_ : b_;
      const std::vector<float>& wt = f == 0 ? d_->weightA : d_->weightB;
      const std::vector<int32_t>& cover = f == 0 ? d_->coverA : d_->coverB;
      std::vector<double>& col = w_.columns;  // dx, dy, width per pixel
      col.resize(3 * static_cast<size_t>(ar.r.Area()));
      for (const int32_t j : cover) col[3 * j] = col[3 * j + 1] = col[3 * j + 2] = 0.0;
      for (int32_t i = 0; i < n_; ++i) {
        const SpotWindow& win = d_->windows[2 * i + f];
        const auto [cx, cy, bright] = Place(p, i, f);
        const float* g = d_->gauss.data() + win.at;
        for (int32_t y = win.y0; y < win.y1; ++y) {
          const double uy = y - cy;
          double* c = col.data() + 3 * ar.Index(win.x0, y);
          for (int32_t x = win.x0; x < win.x1; ++x, ++g, c += 3) {
            const double ux = x - cx, gb = *g * bright;
            c[0] -= gb * ux * s2;
            c[1] -= gb * uy * s2;
            c[2] += gb * (ux * ux + uy * uy) * s3;
          }
        }
      }
      const int back = f == 0 ? kBackA : kBackB;
      for (const int32_t j : cover) {
        double js[kShared] = {};
        js[kWidthA + f] = col[3 * j + 2];
        if (f == 1) js[kDx] = col[3 * j], js[kDy] = col[3 * j + 1];
        js[back] = 1.0;
        const double wj = wt[j];
        for (int r = 0; r < kShared; ++r)
          for (int q = 0; q <= r; ++q) h[r * kShared + q] += wj * js[r] * js[q];
      }
      h[back * kShared + back] += d_->weights[f];
    }
    for (int r = 0; r < kShared; ++r)
      for (int q = r + 1; q < kShared; ++q) h[r * kShared + q] = h[q * kShared + r];
  }

 private:
  const Area& a_;
  const Area& b_;
  SpotWork& w_;
  int32_t n_ = 0, at_ = 0;
  SpotDrawn* d_ = &w_.drawn[0];  // the model as last drawn
  // Per frame: the weighted sum of Apply's background part outside the
  // covered pixels.
  double outside_[2] = {};
};

// Candidates: the local maxima of both frames' smoothed sum (the current
// frame taken at the start's whole-pixel displacement) that stand out of its
// robust spread, with their sub-pixel places and brightness in each frame.
bool FindSpots(const Area& a, const Area& b, int32_t ox, int32_t oy, const DriftKernels& k,
               Workspace& ws, std::vector<double>& p, int32_t* count) {
  SpotWork& w = ws.spots;
  const FloatImage& fa = *a.image;
  const FloatImage& fb = *b.image;
  const Rect ra{std::max(0, a.r.x0 - kDetectMargin), std::max(0, a.r.y0 - kDetectMargin),
                std::min(fa.w, a.r.x1 + kDetectMargin), std::min(fa.h, a.r.y1 + kDetectMargin)};
  const Rect rb{ra.x0 - ox, ra.y0 - oy, ra.x1 - ox, ra.y1 - oy};
  if (!SmoothRegion(fa, ra, kDetectSigma, &w.smoothA, k, ws) ||
      !SmoothRegion(fb, rb, kDetectSigma, &w.smoothB, k, ws))
    return false;
  const int32_t width = ra.Width(), height = ra.Height();
  FloatImage& sum = w.detect;
  if (!sum.Allocate(width, height)) return false;
  for (int32_t y = 0; y < height; ++y) {
    const bool rowIn = rb.y0 + y >= 0 && rb.y0 + y < fb.h;
    for (int32_t x = 0; x < width; ++x) {
      const bool in = rowIn && rb.x0 + x >= 0 && rb.x0 + x < fb.w;
      sum.Row(y)[x] = w.smoothA.Row(y)[x] + (in ? w.smoothB.Row(y)[x] : w.smoothA.Row(y)[x]);
    }
  }
  // The sum's median and robust spread from a sample of about 4096 values.
  std::vector<float>& sample = ws.sample;
  SampleGrid(sum, Rect{0, 0, width, height}, sample);
  const size_t half = sample.size() / 2;
  const float median = SelectNth(sample, half, ws.selectKeys);
  for (float& v : sample) v = std::fabs(v - median);
  const double spread = 1.4826 * SelectNth(sample, half, ws.selectKeys);
  if (!(spread > 0.0)) return true;
  const float level = static_cast<float>(median + kDetect * spread);
  const int64_t most = std::clamp<int64_t>(a.r.Area() / kAreaPerSpot, kMinSpots, kMaxSpots);
  p.clear();
  int32_t n = 0;
  for (int32_t y = kDetectRadius; y < height - kDetectRadius; ++y)
    for (int32_t x = kDetectRadius; x < width - kDetectRadius; ++x) {
      const float v = sum.Row(y)[x];
      if (!(v > level)) continue;
      bool peak = true;
      for (int32_t j = -kDetectRadius; j <= kDetectRadius && peak; ++j)
        for (int32_t i = -kDetectRadius; i <= kDetectRadius; ++i) {
          const float u = sum.Row(y + j)[x + i];
          // Ties go to the first in reading order.
          if (u > v || (u == v && (j < 0 || (j == 0 && i < 0)))) {
            peak = false;
            break;
          }
        }
      if (!peak) continue;
      if (++n > most) return *count = 0, true;  // no field of separate spots
      auto Vertex = [](double l, double c, double r) {
        const double d = l - 2 * c + r;
        return d < 0 ? std::clamp(0.5 * (l - r) / d, -0.5, 0.5) : 0.0;
      };
      const float* row = sum.Row(y);
      const double sx = Vertex(row[x - 1], v, row[x + 1]);
      const double sy = Vertex(sum.Row(y - 1)[x], v, sum.Row(y + 1)[x]);
      // A Gaussian spot of sigma s smoothed by sigma t keeps s^2 / (s^2 + t^2)
      // of its peak.
      const double gain = (kStartWidth * kStartWidth + kDetectSigma * kDetectSigma) /
                          (kStartWidth * kStartWidth);
      p.push_back(ra.x0 + x + sx);
      p.push_back(ra.y0 + y + sy);
      p.push_back(0.5 * gain * (v - median));
      p.push_back(0.5 * gain * (v - median));
    }
  *count = n;
  return true;
}

// Conjugate gradients on (J^T W J + hold + damping) x = g, preconditioned by
// the arrow; x starts at 0.
bool Solve(SpotModel& model, const std::vector<double>& p, int32_t n, Arrow& arrow,
           const std::vector<double>& diag, double damping, const std::vector<double>& g,
           std::vector<double>& x, SpotWork& w) {
  const size_t all = g.size();
  return ConjugateGradients(
      [&](const std::vector<double>& v, std::vector<double>& out) {
        model.Apply(p, v.data());
        model.Transpose(p, out.data());
        for (size_t i = 0; i < all; ++i) out[i] += damping * diag[i] * v[i];
        for (int32_t i = 0; i < n; ++i) {
          out[4 * i] += kHold * v[4 * i];
          out[4 * i + 1] += kHold * v[4 * i + 1];
        }
      },
      arrow, n, w.blocks, g, kMaxConjugate, kSolved, x, w);
}

// The spots' and the shared blocks of the undamped system (w.blocks, then
// the shared block's 25 entries) and its diagonal.
void Gather(SpotModel& model, const std::vector<double>& p, int32_t n, std::vector<double>& diag,
            SpotWork& w) {
  const size_t all = 4 * static_cast<size_t>(n) + kShared;
  diag.assign(all, 0.0);
  model.SpotBlocks(p, w.blocks);
  for (int32_t i = 0; i < n; ++i)
    for (int j = 0; j < 4; ++j) diag[4 * i + j] = w.blocks[kBlock * static_cast<size_t>(i) + 5 * j];
  const size_t at = w.blocks.size();
  w.blocks.resize(at + kShared * kShared);
  model.SharedBlock(p, w.blocks.data() + at);
  for (int j = 0; j < kShared; ++j) diag[4 * n + j] = w.blocks[at + j * kShared + j];
}

}  // namespace

SpotFit FitSpots(const FloatImage& a, const Rect& ra, double noiseA, const FloatImage& b,
                 double noiseB, double dx0, double dy0, const DriftKernels& k, Workspace& ws) {
  SpotFit out;
  if (!(noiseA > 0.0 && noiseB > 0.0) || !(std::fabs(dx0) < 1e6 && std::fabs(dy0) < 1e6))
    return out;
  const int32_t ox = static_cast<int32_t>(std::lround(dx0)), oy = static_cast<int32_t>(std::lround(dy0));
  Area A{&a, ra, noiseA};
  Area B{&b,
         Rect{std::max(0, ra.x0 - ox), std::max(0, ra.y0 - oy), std::min(b.w, ra.x1 - ox),
              std::min(b.h, ra.y1 - oy)},
         noiseB};
  if (ra.Area() == 0 || B.r.Area() < ra.Area() / 4) return out;
  SpotWork& w = ws.spots;
  try {
    std::vector<double>& p = w.params;
    int32_t n = 0;
    if (!FindSpots(A, B, ox, oy, k, ws, p, &n)) return err::FailMemory(), out;
    if (n < kMinSpots) return out;
    const size_t all = 4 * static_cast<size_t>(n) + kShared;
    const std::vector<double> found(p.begin(), p.end());
    // The backgrounds: the frames' medians over the compared areas.
    auto Median = [&](const Area& ar) {
      SampleGrid(*ar.image, ar.r, ws.sample);
      return static_cast<double>(SelectNth(ws.sample, ws.sample.size() / 2, ws.selectKeys));
    };
    p.resize(all);
    p[4 * n + kDx] = dx0;
    p[4 * n + kDy] = dy0;
    p[4 * n + kWidthA] = p[4 * n + kWidthB] = kStartWidth;
    p[4 * n + kBackA] = Median(A);
    p[4 * n + kBackB] = Median(B);
    SpotModel model(A, B, w);
    auto Held = [&](const std::vector<double>& v) {
      double c = 0;
      for (int32_t i = 0; i < n; ++i)
        c += 0.5 * kHold * ((v[4 * i] - found[4 * i]) * (v[4 * i] - found[4 * i]) +
                            (v[4 * i + 1] - found[4 * i + 1]) * (v[4 * i + 1] - found[4 * i + 1]));
      return c;
    };
    model.Draw(p, n);
    // Frames the spots as found leave far from explained (a scene, not a
    // field of spots: its texture's maxima pass for spots) would not be
    // taken however long the fit ran (the rounds on a thousand spots take
    // seconds); on spot fields the fit hardly lowers this.
    if (!(model.Chi() < kHopeless)) return out;
    double cost = model.Cost() + Held(p);
    // First the spots alone, each against the others as drawn (their own
    // blocks solved, the shared parameters held): cheap rounds that bring
    // the detections' rough places and brightnesses near the fit's.
    for (int round = 0; round < kSpotRounds; ++round) {
      model.LoadResiduals();
      std::vector<double>& g0 = w.gradient;
      g0.resize(all);
      model.Transpose(p, g0.data());
      model.SpotBlocks(p, w.blocks);
      std::vector<double>& t = w.trial;
      t = p;
      Small own;
      double h[16], v[4], x[4];
      for (int32_t i = 0; i < n; ++i) {
        std::copy_n(w.blocks.data() + kBlock * static_cast<size_t>(i), 16, h);
        for (int j = 0; j < 4; ++j) {
          h[5 * j] = h[5 * j] * 1.5 + (j < 2 ? kHold : 1e-9);
          v[j] = g0[4 * i + j] - (j < 2 ? kHold * (p[4 * i + j] - found[4 * i + j]) : 0.0);
        }
        if (!own.Factor(h, 4)) continue;
        own.Solve(v, x);
        for (int j = 0; j < 4; ++j) t[4 * i + j] += x[j];
      }
      model.Draw(t, n);
      const double c = model.Cost() + Held(t);
      if (!(c < cost)) {
        model.Back();
        break;
      }
      cost = c;
      p.swap(t);
    }
    constexpr int kRenoise = 3;  // rounds after which the noise is taken from the residuals
    // Levenberg-Marquardt damping, lowered by how well the linear model
    // predicted a step's gain and raised ever faster while steps fail.
    double damping = 1e-3, raise = 2;
    std::vector<double>& g = w.gradient;
    std::vector<double>& step = w.step;
    std::vector<double>& trial = w.trial;
    std::vector<double>& diag = w.diag;
    Arrow arrow;
    bool converged = false;
    int round = 0;
    for (; round < kMaxRounds && !converged; ++round) {
      // The gradient of the cost: J^T W e, less the hold on the places.
      g.resize(all);
      model.LoadResiduals();
      model.Transpose(p, g.data());
      for (int32_t i = 0; i < n; ++i) {
        g[4 * i] -= kHold * (p[4 * i] - found[4 * i]);
        g[4 * i + 1] -= kHold * (p[4 * i + 1] - found[4 * i + 1]);
      }
      Gather(model, p, n, diag, w);
      bool taken = false;
      while (!taken && damping < 1e8) {
        if (!arrow.Factor(n, damping, kHold, w.blocks) || !Solve(model, p, n, arrow, diag, damping, g, step, w)) {
          damping *= 10;
          continue;
        }
        trial = p;
        for (size_t i = 0; i < all; ++i) trial[i] += step[i];
        const bool drawn = Plausible(trial[4 * n + kWidthA]) && Plausible(trial[4 * n + kWidthB]);
        if (drawn) {
          model.Draw(trial, n);
          const double c = model.Cost() + Held(trial);
          // The reduction the linear model predicts: step . (g + damping D step) / 2.
          double predicted = 0;
          for (size_t i = 0; i < all; ++i) predicted += step[i] * (g[i] + damping * diag[i] * step[i]);
          predicted *= 0.5;
          if (c <= cost) {
            const double rho = predicted > 0 ? (cost - c) / predicted : 1.0;
            taken = true;
            cost = c;
            p.swap(trial);
            damping = std::max(damping * std::max(1.0 / 3, 1 - std::pow(2 * rho - 1, 3)), 1e-7);
            raise = 2;
            converged = std::fabs(step[4 * n + kDx]) < kConverged &&
                        std::fabs(step[4 * n + kDy]) < kConverged;
            break;
          }
        }
        damping *= raise;
        raise *= 2;
        if (drawn) model.Back();
      }
      if (!taken) break;  // no step lowers the cost: at its minimum
      if (round + 1 == kRenoise) {
        model.Renoise(A, B);
        model.Draw(p, n);
        cost = model.Cost() + Held(p);
        converged = false;
      }
    }
    if (!Plausible(p[4 * n + kWidthA]) || !Plausible(p[4 * n + kWidthB])) return out;
    // The displacement's variance: the undamped system's inverse, applied to
    // the unit vectors of dx and dy. A faint spot's fitted brightness is
    // its true one plus noise, whose square adds to it on average: the
    // information it gives is that of its brightness with the noise's
    // variance taken off (otherwise noise peaks, and faint spots picked for
    // standing out, are counted as sharp as bright ones).
    Gather(model, p, n, diag, w);
    if (!arrow.Factor(n, 0.0, kHold, w.blocks)) return out;
    for (int32_t i = 0; i < n; ++i)
      for (int f = 0; f < 2; ++f) {
        double unit[4] = {0, 0, 0, 0}, col[4];
        unit[2 + f] = 1.0;
        arrow.spots[i].Solve(unit, col);  // the spot's own block's inverse
        double& bright = p[4 * i + 2 + f];
        bright = std::copysign(std::sqrt(std::max(0.0, bright * bright - col[2 + f])), bright);
      }
    Gather(model, p, n, diag, w);
    if (!arrow.Factor(n, 0.0, kHold, w.blocks)) return out;
    double var[2];
    for (int axis = 0; axis < 2; ++axis) {
      std::vector<double> unit(all, 0.0);
      unit[4 * n + axis] = 1.0;
      if (!Solve(model, p, n, arrow, diag, 0.0, unit, step, w)) return out;
      var[axis] = step[4 * n + axis];
    }
    if (!(var[0] > 0.0 && var[1] > 0.0)) return out;
    out.ok = true;
    out.dx = p[4 * n + kDx];  // the brightnesses changed, not the places
    out.dy = p[4 * n + kDy];
    // Against the noise the frames were given (the residuals' own, which
    // the fit's weights use, is 1 by construction).
    out.fit = model.Chi() * 0.5 *
              (A.noise * A.noise / (noiseA * noiseA) + B.noise * B.noise / (noiseB * noiseB));
    // Twice the formal error, as the refinement gives: at a few photons a
    // spot the fit's nonlinearity adds about half again (measured against
    // the truth on beads of 20 to 60 photons over 6 a pixel).
    out.precision = 2.0 * std::sqrt(std::max(var[0], var[1]) * std::max(1.0, model.Chi()));
    out.width = p[4 * n + kWidthA];
    out.spots = n;
    out.rounds = round;
  } catch (const std::bad_alloc&) {
    err::FailMemory();
    return SpotFit{};
  }
  return out;
}

}  // namespace vantor::drift
