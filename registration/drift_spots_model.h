// The spot model of FitSpots (drift_spots.cpp): Gaussian spots drawn into
// both frames' compared pixels, with the residuals, robust weights and cost,
// and the products with the model's Jacobian and the blocks of its normal
// equations that the fit's steps are solved with. Only FitSpots includes it.
#ifndef VANTOR_REGISTRATION_DRIFT_SPOTS_MODEL_H
#define VANTOR_REGISTRATION_DRIFT_SPOTS_MODEL_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "registration/drift_internal.h"
#include "registration/drift_spots_solve.h"

namespace vantor::drift::spots {

inline constexpr double kReach = 2.5;         // spots are drawn out to this many sigma
inline constexpr int32_t kMaxWindow = 64;     // and at most this many pixels across
inline constexpr double kHuber = 3.0;         // residuals beyond this many noise deviations weigh less

// One frame's compared pixels.
struct Area {
  const FloatImage* image = nullptr;
  Rect r;
  double noise = 1;  // standard deviation
  size_t Index(int32_t x, int32_t y) const {
    return static_cast<size_t>(y - r.y0) * r.Width() + (x - r.x0);
  }
};

// The model for one pair: drawn for a parameter vector (4 a spot: its place
// and its brightness in either frame; then the shared ones) into one of the
// workspace's two SpotDrawn, so that a refused trial goes back to the
// accepted drawing without drawing it again.
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

}  // namespace vantor::drift::spots

#endif  // VANTOR_REGISTRATION_DRIFT_SPOTS_MODEL_H
