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
// gradients from the products with the Jacobian (drift_spots_model.h),
// never formed. Here: the spots' detection and the fit.
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "generic/last_error.h"
#include "registration/drift_internal.h"
#include "registration/drift_spots_model.h"
#include "registration/drift_spots_solve.h"

namespace vantor::drift {
namespace {

using spots::Area;
using spots::SpotModel;

constexpr double kDetect = 3.0;        // candidates stand this many robust deviations out
constexpr double kDetectSigma = 1.5;   // the smoothing candidates are found on
constexpr int32_t kDetectRadius = 2;   // a candidate is the largest value this near
constexpr int32_t kDetectMargin = 3;   // spots just outside the area reach into it
constexpr double kStartWidth = 1.5;    // the spots' sigma to start from
constexpr double kPlaceHold = 5.0;     // pixels: how loosely a place is held where it was found
constexpr double kHold = 1.0 / (kPlaceHold * kPlaceHold);  // the hold's stiffness
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
  const float median = SampledMedian(sum, Rect{0, 0, width, height}, ws);
  std::vector<float>& sample = ws.sample;
  for (float& v : sample) v = std::fabs(v - median);
  const double spread = 1.4826 * SelectNth(sample, sample.size() / 2, ws.selectKeys);
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
    auto Median = [&](const Area& ar) { return double(SampledMedian(*ar.image, ar.r, ws)); };
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
