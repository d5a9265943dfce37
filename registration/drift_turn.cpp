// The global start of rotation and scale: the magnitude spectrum of a frame's
// windowed centre does not change when the frame moves, and turns and scales
// with it. Over a grid of angle (rows) and log-radius (columns) a rotation
// becomes a shift along the rows and a scale a shift along the columns, which
// the phase correlation of the translation's start (phase_start.h) finds.
#include <algorithm>
#include <cmath>
#include <new>
#include <numbers>
#include <vector>

#include "registration/checks.h"
#include "registration/drift_internal.h"
#include "registration/phase_start.h"

namespace vantor::drift {
namespace {

// The log-polar grid's side: angle bins over half a turn, log-radius bins.
constexpr int32_t kGrid = 256;
// The largest spectrum taken (a power of two).
constexpr int32_t kLargestSpectrum = 256;
// The turn and scale candidates may reach.
constexpr double kTurnReach = std::numbers::pi / 4;
constexpr double kScaleReach = 0.36;  // natural log: 0.7 to 1.43

// The log magnitude spectrum of the centre n x n of img (mean removed, Hann
// window), as kGrid x kGrid values over angle [0, pi) (rows) and log radius
// from r0 to r1 (columns). False when memory is short.
bool LogPolar(const FloatImage& img, int32_t n, double r0, double r1, std::vector<float>* out) {
  fft::Twiddles tw;
  fft::Real2D f;
  if (!tw.Build(n) || !f.Init(tw)) return false;
  std::vector<float> win(static_cast<size_t>(n) * n), re, im;
  re.resize(static_cast<size_t>(n) * f.HalfCols());
  im.resize(re.size());
  const int32_t x0 = (img.w - n) / 2, y0 = (img.h - n) / 2;
  double mean = 0;
  for (int32_t y = 0; y < n; ++y)
    for (int32_t x = 0; x < n; ++x) mean += img.Row(y0 + y)[x0 + x];
  mean /= static_cast<double>(n) * n;
  std::vector<double> hann(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) hann[i] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * (i + 0.5) / n);
  for (int32_t y = 0; y < n; ++y)
    for (int32_t x = 0; x < n; ++x)
      win[static_cast<size_t>(y) * n + x] =
          static_cast<float>((img.Row(y0 + y)[x0 + x] - mean) * hann[x] * hann[y]);
  f.Load(win.data(), n);
  f.Forward(re.data(), im.data());
  const int32_t m = f.HalfCols();
  // The log magnitudes once (each is read by several grid points).
  for (size_t i = 0; i < re.size(); ++i) re[i] = std::log(std::sqrt(re[i] * re[i] + im[i] * im[i]) + 1e-6f);
  // Log magnitude at frequency bin (kx, ky), ky >= 0, kx wrapping.
  auto Mag = [&](int32_t kx, int32_t ky) { return re[static_cast<size_t>(kx & (n - 1)) * m + ky]; };
  out->resize(static_cast<size_t>(kGrid) * kGrid);
  const double lr = std::log(r1 / r0) / kGrid;
  for (int32_t t = 0; t < kGrid; ++t) {
    const double phi = std::numbers::pi * t / kGrid;
    const double c = std::cos(phi), s = std::sin(phi);
    for (int32_t j = 0; j < kGrid; ++j) {
      const double r = r0 * std::exp(lr * j);
      double fx = r * c, fy = r * s;
      const double bx = std::floor(fx), by = std::floor(fy);
      const double ax = fx - bx, ay = fy - by;
      const int32_t ix = static_cast<int32_t>(bx), iy = static_cast<int32_t>(by);
      // Bilinear over the four bins; a bin below ky = 0 is its mirror.
      auto At = [&](int32_t kx, int32_t ky) { return ky >= 0 ? Mag(kx, ky) : Mag(-kx, -ky); };
      const double v = (1 - ay) * ((1 - ax) * At(ix, iy) + ax * At(ix + 1, iy)) +
                       ay * ((1 - ax) * At(ix, iy + 1) + ax * At(ix + 1, iy + 1));
      (*out)[static_cast<size_t>(t) * kGrid + j] = static_cast<float>(v);
    }
  }
  return true;
}

}  // namespace

std::vector<TurnCandidate> TurnCandidates(const FloatImage& a, const FloatImage& b,
                                          int32_t count) {
  std::vector<TurnCandidate> out;
  const int32_t side = std::min({a.w, a.h, b.w, b.h});
  if (side < 32 || count < 1) return out;
  int32_t n = 32;
  while (n * 2 <= side && n * 2 <= kLargestSpectrum) n *= 2;
  // Radii from a few bins (below them the window's own spectrum rules) to
  // near the corner of the band.
  const double r0 = std::max(2.0, n / 64.0), r1 = 0.45 * n;
  std::vector<float> la, lb;
  if (!LogPolar(a, n, r0, r1, &la) || !LogPolar(b, n, r0, r1, &lb)) return out;
  StartFrame sa, sb;
  if (!PrepareStart(la.data(), kGrid, kGrid, kGrid, nullptr, kGrid, &sa) ||
      !PrepareStart(lb.data(), kGrid, kGrid, kGrid, nullptr, kGrid, &sb))
    return out;
  const double binAngle = std::numbers::pi / kGrid, binLog = std::log(r1 / r0) / kGrid;
  const std::vector<StartCandidate> c =
      StartCandidates(sa, sb, 4 * count, kTurnReach / binAngle + 1);
  for (const StartCandidate& p : c) {
    // A feature of the current spectrum at (angle, log r) lies at
    // (angle + turn, log r - log scale) of the reference's.
    const double angle = p.dy * binAngle, logScale = -p.dx * binLog;
    if (std::fabs(angle) > kTurnReach || std::fabs(logScale) > kScaleReach) continue;
    out.push_back({angle, std::exp(logScale), p.score});
    if (static_cast<int32_t>(out.size()) >= count) break;
  }
  return out;
}

}  // namespace vantor::drift

namespace vantor::drift {
namespace {

// The level image moved by the motion's matrix about (cx, cy): out(q) =
// img(M^-1 (q - c) + c), bilinear; valid 1 where the frame has the sample.
void TurnImage(const FloatImage& img, const Motion& m, double cx, double cy, FloatImage* out,
               std::vector<float>* valid) {
  const double det = m.a11 * m.a22 - m.a12 * m.a21;
  const double i11 = m.a22 / det, i12 = -m.a12 / det, i21 = -m.a21 / det, i22 = m.a11 / det;
  valid->assign(static_cast<size_t>(out->pitch) * img.h, 0.0f);
  for (int32_t y = 0; y < img.h; ++y) {
    float* o = out->Row(y);
    float* v = valid->data() + static_cast<size_t>(y) * out->pitch;
    for (int32_t x = 0; x < img.w; ++x) {
      const double sx = i11 * (x - cx) + i12 * (y - cy) + cx;
      const double sy = i21 * (x - cx) + i22 * (y - cy) + cy;
      const double fx = std::floor(sx), fy = std::floor(sy);
      o[x] = 0.0f;
      if (!(fx >= 0 && fy >= 0 && fx < img.w - 1 && fy < img.h - 1)) continue;
      const int32_t ix = static_cast<int32_t>(fx), iy = static_cast<int32_t>(fy);
      const double ax = sx - fx, ay = sy - fy;
      const float* r0 = img.Row(iy) + ix;
      const float* r1 = img.Row(iy + 1) + ix;
      o[x] = static_cast<float>((1 - ay) * ((1 - ax) * r0[0] + ax * r0[1]) +
                                ay * ((1 - ax) * r1[0] + ax * r1[1]));
      v[x] = 1.0f;
    }
  }
}

// The pyramid level whose frame is at most this many pixels across gives
// the turn's start; refinement starts on the level where the compared area
// is at least kCoarseSide pixels across.
constexpr int32_t kStartLargest = 320;
constexpr int32_t kCoarseSide = 48;
// The residual turn's test only needs the turn's size to a fraction of a
// pixel: every other pixel, a few rounds (a tenth of the frame's cost).
constexpr int32_t kTurnStep = 2;
constexpr int32_t kTurnRounds = 6;
// Starts compared on the coarse level: enough rounds to tell the right one
// by its fit (a false one would wander on for all of them).
constexpr int32_t kStartRounds = 10;
// The full frame's smoothing: less than the translation's, since a turn's
// and a scale's precision comes from the finest structure, but not so
// little that noise outweighs it (three draws of 23 pairs at noise 8,
// 512 x 512, similarity, centre and scale: on a photograph 0.0072 and
// 2.2e-5 at 1.25, 0.0064 and 2.0e-5 here, 0.0063 and 1.9e-5 at 0.8; on a
// microscope field 0.0017 and 6.3e-6 at all three).
constexpr double kMotionSigma = 1.0;

// A scale change that moves the compared area's corners by more than this
// (pixels) is more than a rigid motion can follow (the translation's limit
// for a turn).
constexpr double kRigidMiss = 1.0;

// The frame of w x h without the edge that its smoothing with sigma repeats.
Rect ClearOfEdges(int32_t w, int32_t h, double sigma) {
  const int32_t e = static_cast<int32_t>(MotionEdge(sigma));
  return Rect{e, e, w - e, h - e};
}

}  // namespace

double ResidualTurn(const Pyramid& a, const Pyramid& b, const Rect& mask, int32_t w, int32_t h,
                    double dx, double dy, const DriftKernels& k, Workspace& ws) {
  // The coarsest level where the area is still kCoarseSide pixels across.
  int32_t l = 0;
  while (l < a.top && l + 1 < static_cast<int32_t>(b.levels.size()) &&
         std::min(mask.Width(), mask.Height()) >> (l + 1) >= kCoarseSide)
    ++l;
  if (l == 0 || a.levels[l].Empty() || b.levels[l].Empty()) return 0.0;
  const FloatImage& la = a.levels[l];
  const Rect r = LevelRect(mask, l, la);
  ReferenceData lr;
  if (!PrepareReference(la, r, kSmoothSigma, NoiseLevel(la, r), &lr, k, ws)) return 0.0;
  Motion start;
  start.dx = dx;
  start.dy = dy;
  const MotionRefinement f = RefineMotion(lr, b.levels[l], AtLevel(start, l, true),
                                          CentreOf(w, l), CentreOf(h, l), kDriftSimilarity,
                                          kSmoothSigma, kTurnStep, k, ws, 1.0, kTurnRounds);
  if (!f.ok) return 0.0;
  // (M - I) applied to the corners' places from the centre.
  const double hx = 0.5 * mask.Width(), hy = 0.5 * mask.Height();
  double most = 0.0;
  for (const double sy : {-hy, hy})
    for (const double sx : {-hx, hx})
      most = std::max(most, std::hypot((f.m.a11 - 1) * sx + f.m.a12 * sy,
                                       f.m.a21 * sx + (f.m.a22 - 1) * sy));
  // A turn the noise could make is none.
  if (most < 3.0 * f.matrixError * std::hypot(hx, hy)) return 0.0;
  return most;
}

MotionResult MeasureMotion(const Pyramid& a, const Pyramid& b, const ReferenceData& ref,
                           const FloatImage& reference, const FloatImage& current, const Rect& mask, int32_t w, int32_t h,
                           int32_t model, double sx, double sy, double brightness,
                           const DriftKernels& k, Workspace& ws) {
  MotionResult out;
  // A rigid motion is found as a similarity first: where the frames also
  // scale, no rotation alone fits them and the rigid rounds crept to their
  // limit (at a third of the speed), while the similarity's angle and centre
  // stay true. Its scale is then either let go (a last rigid refinement) or
  // left out, and beyond kRigidMiss reported as what the rigid model cannot
  // follow.
  const bool rigid = model == kDriftRigid;
  if (rigid) model = kDriftSimilarity;
  const int32_t top = a.top;
  auto Has = [&](int32_t l) {
    return l >= 0 && l < static_cast<int32_t>(a.levels.size()) &&
           l < static_cast<int32_t>(b.levels.size()) && !a.levels[l].Empty() &&
           !b.levels[l].Empty();
  };
  // Starts: the translation's own, and the turns the spectra find.
  std::vector<Motion> starts;
  Motion plain;
  plain.dx = sx;
  plain.dy = sy;
  starts.push_back(plain);
  int32_t ls = top == 0 ? 0 : 1;
  while (ls < top && std::max(w, h) >> ls > kStartLargest) ++ls;
  if (Has(ls)) {
    const FloatImage& la = a.levels[ls];
    const FloatImage& lb = b.levels[ls];
    const std::vector<TurnCandidate> turns = TurnCandidates(la, lb, 2);
    if (vantor::reg::MemoryFailed()) return out;
    const double cx = CentreOf(w, ls), cy = CentreOf(h, ls);
    FloatImage turned;
    std::vector<float> valid;
    StartFrame sa;
    int32_t side = 32;
    while (side * 2 <= std::min(la.w, la.h) && side * 2 <= 128) side *= 2;
    const bool ready = !turns.empty() && turned.Allocate(lb.w, lb.h) &&
                       PrepareStart(la.Row(0), la.w, la.h, la.pitch, nullptr, side, &sa);
    for (size_t i = 0; ready && i < turns.size(); ++i) {
      const TurnCandidate& t = turns[i];
      // A turn too small to tell from none is the translation's start.
      if (std::fabs(t.angle) < 0.002 && std::fabs(t.scale - 1) < 0.002) continue;
      Motion m;
      const double s = model == kDriftRigid ? 1.0 : t.scale;
      m.a11 = m.a22 = s * std::cos(t.angle);
      m.a21 = s * std::sin(t.angle);
      m.a12 = -m.a21;
      TurnImage(lb, m, cx, cy, &turned, &valid);
      StartFrame sb;
      if (!PrepareStart(turned.Row(0), turned.w, turned.h, turned.pitch, valid.data(), side, &sb))
        continue;
      const std::vector<StartCandidate> c =
          StartCandidates(sa, sb, 1, 0.45 * std::min(lb.w, lb.h));
      if (c.empty()) continue;
      m.dx = c[0].dx * (1 << ls);
      m.dy = c[0].dy * (1 << ls);
      starts.push_back(m);
    }
    if (vantor::reg::MemoryFailed()) return out;
  }
  // Each start refined on the coarse level; the one that fits best goes on
  // down to the full frame.
  int32_t lc = 0;
  while (lc < top && Has(lc + 1) &&
         std::min(mask.Width(), mask.Height()) >> (lc + 1) >= kCoarseSide)
    ++lc;
  if (lc == 0 && !Has(1)) lc = 0;
  Motion best = plain;
  out.startDx = sx;
  out.startDy = sy;
  for (int32_t l = lc; l >= 1; --l) {
    if (!Has(l)) continue;
    const FloatImage& la = a.levels[l];
    const Rect r = ClearOfEdges(la.w, la.h, kSmoothSigma);
    ReferenceData lr;
    if (r.Width() < 8 || r.Height() < 8 ||
        !PrepareReference(la, r, kSmoothSigma, NoiseLevel(la, r), &lr, k, ws)) {
      if (vantor::reg::MemoryFailed()) return out;
      continue;
    }
    const double cx = CentreOf(w, l), cy = CentreOf(h, l);
    // The lowest robust scale of the model error: a false match, whose
    // weights adapt to its own large errors, may still fit as many pixels.
    double bestCost = -1;
    const std::vector<Motion> from = l == lc ? starts : std::vector<Motion>{best};
    Motion next = best;
    for (const Motion& s : from) {
      const MotionRefinement f =
          RefineMotion(lr, b.levels[l], AtLevel(s, l, true), cx, cy, model, kSmoothSigma, 1, k, ws,
                       1.0, from.size() > 1 ? kStartRounds : 30);
      if (f.ok && (bestCost < 0 || f.cost < bestCost)) {
        bestCost = f.cost;
        next = AtLevel(f.m, l, false);
        if (l == lc) {
          out.startDx = s.dx;
          out.startDy = s.dy;
        }
      }
    }
    best = next;
  }
  // The full frame's reference, with the noise the mask's reference found.
  const Rect whole = ClearOfEdges(w, h, kMotionSigma);
  const double noise = std::sqrt(ref.valueNoise / ValueNoiseGain(ref.sigma));
  ReferenceData wide;
  if (whole.Width() < 8 || whole.Height() < 8 || reference.w != w || reference.h != h ||
      !PrepareReference(reference, whole, kMotionSigma, noise, &wide, k, ws))
    return out;
  MotionRefinement f = RefineMotion(wide, current, best, CentreOf(w, 0), CentreOf(h, 0), model,
                                    kMotionSigma, 1, k, ws, brightness);
  if (!f.ok) return out;
  if (rigid) {
    // How far the scale moves the compared area's corners.
    const double s = MotionScale(f.m);
    const double miss = std::fabs(s - 1.0) * 0.5 * std::hypot(mask.Width(), mask.Height());
    Motion turn = f.m;
    ProjectMotion(turn, kDriftRigid);
    // A scale the noise could make is let go; a real one, even under the
    // limit, would pull a rigid fit's centre (0.05 pixel from a scale worth
    // a pixel at the corners): the similarity's angle and centre stand.
    out.turn = miss > kRigidMiss ? miss : 0.0;
    if (std::fabs(s - 1.0) > 3.0 * f.matrixError) {
      f.m = turn;
    } else {
      const MotionRefinement g = RefineMotion(wide, current, turn, CentreOf(w, 0),
                                              CentreOf(h, 0), kDriftRigid, kMotionSigma, 1, k,
                                              ws, brightness);
      if (!g.ok) return out;
      f = g;
    }
  }
  out.ok = true;
  out.m = f.m;
  out.precision = f.precision;
  out.inliers = f.inliers;
  return out;
}

}  // namespace vantor::drift
