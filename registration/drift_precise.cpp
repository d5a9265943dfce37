// The precise method's pair: a whole-pixel start from two views of the pair
// (the mean square difference on the scaled pyramid, the whitened phase
// correlation), then the robust sub-pixel refinement on the full-depth
// frames (or the motion model's), the comparisons that judge it (focus,
// movers), and the spot model where a faint field of spots is measured
// better by it.
#include <algorithm>
#include <cmath>
#include <vector>

#include "generic/last_error.h"
#include "registration/checks.h"
#include "registration/drift_frame.h"
#include "registration/drift_internal.h"
#include "registration/phase_start.h"
#include "registration/registration.h"
#include "registration/registration_internal.h"

namespace vantor::drift {
namespace {

using vantor::reg::MemoryFailed;

// How far (a share of the shorter side) the global start's correlation
// looks, and how much its best peak must stand above the next to overrule
// the mean square difference.
constexpr double kStartReach = 0.45;
constexpr double kStartClear = 1.5;
// The smallest side (pixels) of a compared area the structure test can judge
// (4 pixels on the pyramid's first level).
constexpr int32_t kSmallestArea = 8;

// The precise method's whole-pixel start. Two views of the pair: the
// exhaustive search of the mean square difference on the scaled pyramid
// (within a quarter of the shorter side), and the peaks of the whitened phase
// correlation (within kStartReach of it), each followed down the pyramid.
// Where they disagree, the correlation's best peak is taken when it stands
// out clearly from its next one: whitening lets the fine texture of a static
// background outvote a few large, bright things that move on their own, which
// the mean square difference follows; otherwise the lower cost decides.
// *other gets the start not taken when the two views differ by more than a
// pixel, for the refinement to try as well (ok false otherwise).
GlobalMatch GlobalStart(const DriftFrame* a, const DriftFrame* b, const DriftKernels& k,
                        GlobalMatch* other) {
  *other = GlobalMatch{};
  const int32_t stop = std::min(1, a->pyramid.top);
  std::vector<StartCandidate> c;
  if (a->hasStart && b->hasStart) {
    c = StartCandidates(a->start, b->start, 4, kStartReach * std::min(b->w, b->h));
    if (MemoryFailed()) return GlobalMatch{};
  }
  // The best peak and the next distinct one (aliases share a score).
  double next = 0.0;
  for (const StartCandidate& o : c)
    if (o.score < c[0].score * (1.0 - 1e-6)) {
      next = o.score;
      break;
    }
  // The peak's own position is the start: followed down the mean square
  // difference, even a pixel's walk can be led off by what moves.
  GlobalMatch p;
  if (!c.empty()) {
    p.ok = true;
    p.level = 0;
    p.dx = static_cast<int32_t>(std::lround(c[0].dx));
    p.dy = static_cast<int32_t>(std::lround(c[0].dy));
    p.fx = c[0].dx - p.dx;
    p.fy = c[0].dy - p.dy;
    p.distinctness = next > 0.0 ? c[0].score / next - 1.0 : 1e9;
  }
  const bool clear = p.ok && c[0].score >= kStartClear * next;
  const GlobalMatch g = GlobalSearch(a->pyramid, b->pyramid, b->mask, std::min(b->w, b->h) / 4,
                                     stop, k);
  if (MemoryFailed() || !p.ok) return g;
  const int32_t near = 2 * (1 << stop);
  const bool differ = !g.ok || std::abs(p.dx + p.fx - g.dx - g.fx) > 1.0 ||
                      std::abs(p.dy + p.fy - g.dy - g.fy) > 1.0;
  if (g.ok && std::abs(p.dx - g.dx) <= near && std::abs(p.dy - g.dy) <= near) {
    // One basin: the clear peak first, the search's finer position to fall
    // back on. Both views found it, so it is as distinct as the clearer
    // one says (the mean square difference alone may see aliases fit
    // nearly alike where the correlation has one peak).
    GlobalMatch one = !differ || !clear ? g : p;
    one.distinctness = std::max(g.distinctness, p.distinctness);
    if (differ) *other = clear ? g : p;
    return one;
  }
  const FloatImage& al = a->pyramid.levels[stop];
  const FloatImage& bl = b->pyramid.levels[stop];
  const Rect rl = LevelRect(b->mask, stop, bl);
  const double cp = LevelCost(al, bl, rl, p.dx >> stop, p.dy >> stop, k);
  const double cg = g.ok ? LevelCost(al, bl, rl, g.dx >> stop, g.dy >> stop, k) : -1.0;
  // Starts in different basins: one is chosen, and its failure to converge
  // is no reason to take the other.
  if (cp < 0.0 || (!clear && cg >= 0.0 && cg <= cp)) return g;
  return p;
}

// The precise method with a motion model: the translation's start and the
// turns' (MeasureMotion), the result's matrix and the distance through it.
void MeasureModel(const DriftFrame* a, const DriftFrame* b, int32_t mask, int32_t model,
                  const GlobalMatch& g, double bright, const DriftKernels& k, DriftWorkspace& ws,
                  DriftResult* r) {
  const MotionResult f = MeasureMotion(a->pyramid, b->pyramid, a->ref, a->full, b->full, b->mask, b->w,
                                       b->h, model, g.dx + g.fx, g.dy + g.fy, bright, k, ws.work);
  if (MemoryFailed()) return;
  const Motion m = f.ok ? f.m : Motion{1, 0, 0, 1, static_cast<double>(g.dx),
                                       static_cast<double>(g.dy)};
  r->searchDx = f.ok ? f.startDx : g.dx;
  r->searchDy = f.ok ? f.startDy : g.dy;
  r->dx = m.dx;
  r->dy = m.dy;
  r->a11 = m.a11;
  r->a12 = m.a12;
  r->a21 = m.a21;
  r->a22 = m.a22;
  r->angle = MotionAngle(m) * 180.0 / M_PI;
  r->scale = MotionScale(m);
  r->precision = f.ok ? f.precision : 1e9;
  r->inliers = f.ok ? f.inliers : 0.0;
  r->turn = f.ok ? f.turn : 0.0;
  // The distance through the motion: reference pixel M (p - c) + c + d for
  // the frame's pixel p.
  const double cx = CentreOf(b->w, 0), cy = CentreOf(b->h, 0);
  const double t[9] = {m.a11, m.a12, cx + m.dx - m.a11 * cx - m.a12 * cy,
                       m.a21, m.a22, cy + m.dy - m.a21 * cx - m.a22 * cy,
                       0.0,   0.0,   1.0};
  const double c = vantor::ResolvedMatrixCost(t, vantor::ResolvePair(a->grey, b->grey, mask, 0));
  r->distance = r->searchDistance = c >= 0.0 ? std::sqrt(c) : -1.0;
  r->quality = r->distance >= 0.0 ? kDriftOk : kDriftFailed;
  if (c < 0.0) vantor::reg::NothingCompared();
}

}  // namespace

void MeasurePrecise(const DriftFrame* a, const DriftFrame* b, int32_t mask, int32_t model,
                    const DriftKernels& k, DriftWorkspace& ws, DriftResult* r) {
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
  mask = PairMask(b, mask, &ws.mask);
  if (mask == 0) return;
  // An area too small for the structure test (a tiny frame or fraction)
  // says so rather than calling the frames blank.
  if (b->mask.Width() < kSmallestArea || b->mask.Height() < kSmallestArea) {
    err::Fail(err::kFailed, "the compared area of %d x %d pixels is too small to measure by",
              static_cast<int>(b->mask.Width()), static_cast<int>(b->mask.Height()));
    return;
  }
  // A blank, uniform or pure-noise frame has nothing to measure by.
  if (!a->stats.structure || !b->stats.structure) {
    err::Fail(err::kFailed, "%s has no structure to measure by (blank, uniform or pure noise)",
              !b->stats.structure ? "the frame" : "the reference");
    return;
  }
  GlobalMatch alternative;
  const GlobalMatch g = GlobalStart(a, b, k, &alternative);
  if (!g.ok) {
    if (!MemoryFailed()) vantor::reg::NothingCompared();
    return;
  }
  r->distinctness = g.distinctness;
  r->searchDx = g.dx;
  r->searchDy = g.dy;
  // A change of focus (a large Laplacian term once refined): smooth the
  // sharper frame until both carry the same signal energy, so that the robust
  // weights see the same structure in both.
  const double sx = g.dx + g.fx, sy = g.dy + g.fy;
  // The current frame's brightness over the reference's, from their spreads.
  double bright = a->stats.spread > 0 ? b->stats.spread / a->stats.spread : 1.0;
  // Their contrast: the spreads with the noise taken off, known only where
  // the signal clearly outweighs the noise in both (noise under 0.6 of the
  // spread); on a sparse or faint field the spread is mostly noise.
  const double sa = 1.0 - a->levelNoise * a->levelNoise, sb = 1.0 - b->levelNoise * b->levelNoise;
  double contrast = sa > 0.64 && sb > 0.64 ? bright * std::sqrt(sb / sa) : 0.0;
  SignalsCompared(a, b, &bright, &contrast);
  if (model != kDriftTranslation) {
    MeasureModel(a, b, mask, model, g, bright, k, ws, r);
    return;
  }
  // The plain refinement; where the two views of the start disagree and the
  // chosen one does not converge, the other is tried (*other says so).
  auto Plain = [&](bool* other) {
    Refinement p = Refine(a->ref, b->full, sx, sy, kSmoothSigma, k, ws.work, &b->ref, bright,
                          contrast);
    *other = false;
    if (alternative.ok && !p.ok) {
      const Refinement o = Refine(a->ref, b->full, alternative.dx + alternative.fx,
                                  alternative.dy + alternative.fy, kSmoothSigma, k, ws.work,
                                  &b->ref, bright, contrast);
      if (o.ok) {
        p = o;
        *other = true;
      }
    }
    return p;
  };
  bool fromOther = false;  // the result kept started from the other view
  // Frames whose level energies differ may differ in focus or noise, or only
  // in what moves on its own (people walking by change the energies, not the
  // focus): they go to the focus comparison, from the global start (a plain
  // refinement between structures that do not match may wander). Where that
  // fits few of the compared pixels or is loose, they are also refined
  // plainly, and the plain result stands where it is clearly more precise:
  // what moves on its own makes the focus comparison's error several times
  // the plain one's, a real change of focus or noise leaves them alike.
  // Other pairs are refined plainly, and go to the focus comparison where
  // the blur term is large.
  const bool differ = FocusMayDiffer(a, b);
  Refinement f;
  if (!differ) f = Plain(&fromOther);
  if (differ || (f.ok && std::fabs(f.blur) > kBlurAlone)) {
    const double fx = f.ok ? f.dx : sx, fy = f.ok ? f.dy : sy;
    Rect ra, rb;
    Overlap(a->ref.rect, static_cast<int32_t>(std::lround(fx)),
            static_cast<int32_t>(std::lround(fy)), b->w, b->h, &ra, &rb);
    double sigma;
    r->focus = FocusDifference(a->full, ra, a->noise, b->full, rb, b->noise, kSmoothSigma, k,
                               ws.work, &sigma);
    Refinement f2;
    if (r->focus > 0.0) {
      ReferenceData blurred;
      if (PrepareReference(a->full, a->ref.rect, sigma, a->noise, &blurred, k, ws.work, true))
        f2 = Refine(blurred, b->full, fx, fy, kSmoothSigma, k, ws.work, &b->ref, bright, contrast);
    } else if (r->focus < 0.0) {
      f2 = Refine(a->ref, b->full, fx, fy, sigma, k, ws.work, &b->ref, bright, contrast);
    } else if (!f.ok) {
      f2 = Plain(&fromOther);
    }
    bool plainOther = false;
    if (differ && r->focus != 0.0 &&
        (!f2.ok || f2.inliers < kFewInliers || f2.precision > kLooseFocus)) {
      const Refinement p = Plain(&plainOther);
      const bool plain = !f2.ok || (p.ok && p.precision < kPlainClearly * f2.precision);
      f = plain ? p : f2;
      fromOther = plain && plainOther;
    } else if (f2.ok) {
      f = f2;  // from f's start (or the global start where the energies differ)
    }
  }
  if (fromOther) {
    r->searchDx = alternative.dx;
    r->searchDy = alternative.dy;
  }
  r->dx = f.ok ? f.dx : g.dx;
  r->dy = f.ok ? f.dy : g.dy;
  // An estimate that did not converge is no better than the whole-pixel start.
  r->precision = f.ok ? f.standardError : 1e9;
  // Where noise makes up most of the reference's gradients and the
  // comparison is loose, a field of separate spots is measured by their
  // model, where that explains the frames, agrees with the comparison and is
  // the more precise.
  if (f.ok && !a->ref.shrunkX.Empty() && f.precision > kSpotsWorth) {
    const SpotFit s = FitSpots(a->full, a->ref.rect, a->noise, b->full, b->noise, f.dx, f.dy, k,
                               ws.work);
    if (MemoryFailed()) return;
    const double apart = kSpotsAgree * std::hypot(f.precision, s.precision);
    if (s.ok && s.fit < kSpotsFit && s.precision < f.precision &&
        std::fabs(s.dx - f.dx) < apart && std::fabs(s.dy - f.dy) < apart) {
      r->dx = s.dx + kSpotsMix * (f.dx - s.dx);
      r->dy = s.dy + kSpotsMix * (f.dy - s.dy);
      r->precision = s.precision;
    }
  }
  r->inliers = f.ok ? f.inliers : 0.0;
  if (f.ok) {
    r->turn = ResidualTurn(a->pyramid, b->pyramid, b->mask, b->w, b->h, f.dx, f.dy, k, ws.work);
    if (MemoryFailed()) return;
  }
  const double c = GreyCost(vantor::ResolvePair(a->grey, b->grey, mask, 0), r->dx, r->dy);
  r->distance = r->searchDistance = c >= 0.0 ? std::sqrt(c) : -1.0;
  r->quality = r->distance >= 0.0 ? kDriftOk : kDriftFailed;
  if (c < 0.0) vantor::reg::NothingCompared();
}

}  // namespace vantor::drift
