// The exported drift measurement: frames prepared once (pyramid, full-depth
// grey, reference data), pairs measured by the default or the precise method,
// workspaces that carry the scratch memory from call to call, and the
// classification's entry. The compared area of every pair is the current
// frame's rectangle, fixed when the frame was prepared; a caller's mask
// handle only has to agree with it.
#include "registration/drift.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "generic/last_error.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "memrect/rect_view.h"
#include "registration/checks.h"
#include "registration/drift_internal.h"
#include "registration/phase_start.h"
#include "registration/registration.h"
#include "registration/registration_internal.h"

struct DriftFrame {
  int32_t grey = 0;
  int32_t w = 0, h = 0;
  int32_t method = kDriftDefault;
  vantor::drift::Rect mask;  // the compared area, CentralRect of the options' mask fraction
  vantor::drift::Pyramid pyramid;
  int32_t focusLevel = 0;   // the pyramid level the default method compares focus on
  double levelNoise = 0;    // noise of that level over the rectangle
  double levelEnergy = 0;   // its signal energy there
  vantor::drift::FloatImage full;
  double noise = 0;         // noise of the full-depth grey levels over the rectangle
  vantor::drift::FrameStats stats;  // the precise method's scale and structure test
  vantor::drift::StartFrame start;  // its whitened coarse spectrum for the global start
  bool hasStart = false;
  vantor::drift::ReferenceData ref;
};

namespace vantor::drift {

// The 1-bit mask of a rectangle in a frame of w x h, for the registration
// search: its rows inside and outside the rectangle, and the mask itself once
// a pair needed one made.
struct MaskRows {
  int32_t w = -1, h = -1;
  Rect rect;
  std::vector<uint8_t> inside, outside;
  RectOwner made;
};

}  // namespace vantor::drift

struct DriftWorkspace {
  vantor::drift::Workspace work;
  vantor::drift::MaskRows mask;
};

namespace {

using namespace vantor::drift;
namespace err = vantor::err;
using vantor::reg::MemoryFailed;

// Smoothing of the level the default method compares focus on.
constexpr double kLevelSigma = 0.7;
// The side of the coarse spectra of the global start, how far (a share of
// the shorter side) it looks, and how much its best peak must stand above
// the next to overrule the mean square difference.
constexpr int32_t kStartSide = 128, kStartSideLarge = 256;
constexpr double kStartReach = 0.45;
constexpr double kStartClear = 1.5;
// A frame whose median grey level lies further from zero than this is
// measured from that level.
constexpr float kFarLevel = 65536.0f;

bool ValidOptions(const DriftOptions* o) {
  if (o == nullptr) return err::Fail(err::kParameter, "the options are null");
  if (o->method < kDriftClassic || o->method > kDriftPrecise)
    return err::Fail(err::kParameter, "method %d is not one of 0 (classic), 1 (default), 2 (precise)",
                     static_cast<int>(o->method));
  if (o->model < kDriftTranslation || o->model > kDriftAffine)
    return err::Fail(err::kParameter,
                     "model %d is not one of 0 (translation), 1 (rigid), 2 (similarity), 3 (affine)",
                     static_cast<int>(o->model));
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
  r->turn = 0.0;
  r->a11 = r->a22 = 1.0;
  r->a12 = r->a21 = 0.0;
  r->angle = 0.0;
  r->scale = 1.0;
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

// Whether the frames' signal energies over their own rectangles differ
// enough to compare their focus where they overlap.
// Frames whose noise differs by more than this factor (a template or a mean
// of frames against a single frame) are compared by their signals.
constexpr double kNoiseDiffers = 1.5;

// Where the two frames' noise differs, the spreads no longer compare their
// signals: on a mostly flat field the spread is mostly noise. Where the
// signal clearly outweighs the noise in both (noise under 0.6 of the
// standard deviation), the brightness and the contrast are the ratio of the
// standard deviations with each frame's noise taken off; below that those
// are themselves mostly noise, and both stay.
void SignalsCompared(const DriftFrame* a, const DriftFrame* b, double* bright, double* contrast) {
  const double na = a->levelNoise * a->stats.spread, nb = b->levelNoise * b->stats.spread;
  if (na * kNoiseDiffers >= nb && nb * kNoiseDiffers >= na) return;
  const double da = a->stats.deviation, db = b->stats.deviation;
  const double signalA = std::sqrt(std::max(0.0, da * da - na * na));
  const double signalB = std::sqrt(std::max(0.0, db * db - nb * nb));
  if (!(signalA > 0.0 && signalB > 0.0 && na < 0.6 * da && nb < 0.6 * db)) return;
  *bright = *contrast = signalB / signalA;
}

bool FocusMayDiffer(const DriftFrame* a, const DriftFrame* b) {
  return b->levelEnergy * kFocusRatio < a->levelEnergy ||
         a->levelEnergy * kFocusRatio < b->levelEnergy;
}

// Mean cost of the level-0 grey images at a whole-pixel displacement: the
// registration's own cost (bilinear sampling at whole pixels).
double GreyCost(const vantor::ResolvedPair& pair, double dx, double dy) {
  const double p[4] = {dx, dy, 1.0, 0.0};
  return vantor::ResolvedCost(p, const_cast<vantor::ResolvedPair*>(&pair));
}

// Makes rows the pattern of frame f's rectangle (kept when it already is).
// The size and rectangle are stored last, so that a shortage of memory on
// the way leaves rows to be made again.
void PatternFor(const DriftFrame* f, MaskRows* rows) {
  if (rows->w == f->w && rows->h == f->h && rows->rect == f->mask) return;
  rows->w = rows->h = -1;
  rows->made.reset();
  const size_t bytes = (static_cast<size_t>(f->w) + 7) / 8;
  rows->outside.assign(bytes, 0);
  rows->inside.assign(bytes, 0);
  for (int32_t x = std::max(0, f->mask.x0); x < std::min(f->w, f->mask.x1); ++x)
    rows->inside[x >> 3] |= static_cast<uint8_t>(1u << (x & 7));
  rows->rect = f->mask;
  rows->w = f->w;
  rows->h = f->h;
}

// Whether the w pixels of a 1-bit row are those of the pattern.
bool SameRow(const uint8_t* row, const uint8_t* pattern, int32_t w) {
  const int32_t whole = w / 8, rest = w % 8;
  if (std::memcmp(row, pattern, static_cast<size_t>(whole)) != 0) return false;
  const unsigned used = (1u << rest) - 1u;
  return rest == 0 || ((row[whole] ^ pattern[whole]) & used) == 0;
}

// The mask the registration search compares through for current frame b:
// the caller's, once checked to be b's rectangle as a 1-bit image of its
// size, or, when the caller passes 0, one made from that rectangle (kept in
// the workspace for the next pair). 0 with the cause stated when the caller's
// disagrees or memory is short.
int32_t PairMask(const DriftFrame* b, int32_t mask, MaskRows* rows) {
  PatternFor(b, rows);
  const Rect& r = b->mask;
  if (mask != 0) {
    vantor::RectView g, m;
    if (!vantor::ResolveRect(b->grey, g) || !vantor::reg::CheckMask(mask, b->grey, g, &m)) return 0;
    for (int32_t y = 0; y < m.height; ++y) {
      const bool in = y >= r.y0 && y < r.y1;
      if (!SameRow(m.Row(y), in ? rows->inside.data() : rows->outside.data(), m.width))
        return err::Fail(err::kParameter,
                         "mask %d is not the frames' compared rectangle (columns %d to %d, rows "
                         "%d to %d of %d x %d)",
                         static_cast<int>(mask), static_cast<int>(r.x0), static_cast<int>(r.x1 - 1),
                         static_cast<int>(r.y0), static_cast<int>(r.y1 - 1), static_cast<int>(b->w),
                         static_cast<int>(b->h)),
               0;
    }
    return mask;
  }
  if (!rows->made) {
    vantor::RectOwner made(mrCreate(1, b->w, b->h));
    vantor::RectView m;
    if (!made || !vantor::ResolveRect(made.get(), m)) {
      if (MemoryFailed()) err::FailMemory();
      return 0;
    }
    for (int32_t y = 0; y < m.height; ++y) {
      const bool in = y >= r.y0 && y < r.y1;
      std::memcpy(m.Row(y), in ? rows->inside.data() : rows->outside.data(), rows->inside.size());
    }
    rows->made = std::move(made);
  }
  return rows->made.get();
}

void MeasureDefault(const DriftFrame* a, const DriftFrame* b, int32_t mask, const DriftOptions* o,
                    const DriftKernels& k, DriftWorkspace& ws, DriftResult* r) {
  mask = PairMask(b, mask, &ws.mask);
  if (mask == 0) return;
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
                             ws.work, &sigma) * (1 << l);
}

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
    // One basin: the clear peak first, the search's finer position to fall back on.
    if (!differ) return g;
    *other = clear ? g : p;
    return clear ? p : g;
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
  r->precision = f.ok ? f.precision : 1e9;
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
      r->dx = s.dx;
      r->dy = s.dy;
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

// The buffers of a frame no longer needed, emptied, for the next frame to
// fill: a sequence's frames then do not map fresh memory each (the page
// faults of that serialise the threads).
void TakeBuffers(DriftFrame& to, DriftFrame& from) {
  to.full = std::move(from.full);
  to.full.Clear();
  to.pyramid.levels = std::move(from.pyramid.levels);
  for (FloatImage& l : to.pyramid.levels) l.Clear();
  for (FloatImage* i : {&from.ref.gx, &from.ref.gy, &from.ref.lap, &from.ref.wide}) i->Clear();
  to.ref.gx = std::move(from.ref.gx);
  to.ref.gy = std::move(from.ref.gy);
  to.ref.lap = std::move(from.ref.lap);
  to.ref.wide = std::move(from.ref.wide);
  // Read only when hasStart says the new frame made its own.
  to.start = std::move(from.start);
}

// DriftFrameCreate's work, with the workspace's scratch memory (a temporary
// one when ws is null) and the buffers of spare (when not null).
DriftFrame* CreateFrame(int32_t grey, int32_t full, const DriftOptions* options,
                        int32_t reference, Workspace* ws,
                        std::unique_ptr<DriftFrame> spare = nullptr) {
  if (!ValidOptions(options)) return nullptr;
  vantor::RectView g;
  if (!vantor::reg::CheckDepth(grey, 8, &g)) return nullptr;
  const int32_t w = g.width, h = g.height;
  auto f = std::make_unique<DriftFrame>();
  if (spare) TakeBuffers(*f, *spare);
  spare.reset();
  f->grey = grey;
  f->w = w;
  f->h = h;
  f->method = options->method;
  f->mask = CentralRect(w, h, options->maskFraction);
  if (options->method == kDriftClassic) return f.release();
  Workspace temporary;
  Workspace& work = ws != nullptr ? *ws : temporary;
  const DriftKernels& k = DriftKernelsForMode();
  const bool precise = options->method == kDriftPrecise;
  FloatImage* half = nullptr;  // level 1 of the pyramid, when made with the float copy
  if (precise) {
    const int32_t source = full > 0 ? full : grey;
    vantor::RectView s;
    if (!vantor::ResolveRect(source, s)) return nullptr;
    if (s.width != w || s.height != h)
      return vantor::reg::SizesDiffer("image", source, s, "grey image", grey, g), nullptr;
    // Level 1 of the pyramid comes in the same pass as the float copy.
    if (f->mask.Area() > 0 && TopLevel(f->mask) >= 1) {
      if (f->pyramid.levels.size() < 2) f->pyramid.levels.resize(2);
      half = &f->pyramid.levels[1];
    }
    if (!ToFloatGrey(source, &f->full, k, half)) {
      if (MemoryFailed()) return err::FailMemory(), nullptr;
      return err::FailDepth(source, s.depth), nullptr;
    }
    // Grey levels far from zero (float or 32-bit frames on a large offset)
    // leave the refinement's gain and offset columns to cancel in float sums:
    // at 1e5 and more, pairs stopped converging. Such frames are measured
    // from their own median; every term that reads the level has an offset
    // of its own to take it up. Frames within 16 bits keep their values.
    SampleGrid(f->full, Rect{0, 0, w, h}, work.sample);
    const float level =
        work.sample.empty() ? 0.0f : SelectNth(work.sample, work.sample.size() / 2, work.selectKeys);
    if (std::fabs(level) > kFarLevel) {
      for (int32_t y = 0; y < h; ++y)
        for (float& v : std::span<float>(f->full.Row(y), static_cast<size_t>(w))) v -= level;
      if (half != nullptr)
        for (int32_t y = 0; y < half->h; ++y)
          for (float& v : std::span<float>(half->Row(y), static_cast<size_t>(half->w))) v -= level;
    }
    f->noise = NoiseLevel(f->full, f->mask);
    // Hot pixels and cosmic-ray hits carry nothing of the scene: in a faint
    // field their smoothed blobs outweigh its structure and pull the
    // refinement toward where they sit on the sensor, and in a blank frame
    // they pass for structure. Where any went, level 1 of the pyramid is
    // made again from what is left.
    if (RemoveSpikes(&f->full, f->noise, k, work.spikeColumns) > 0) half = nullptr;
  }
  if (f->mask.Area() > 0) {
    // The frame was checked: the pyramid fails only for memory. The precise
    // method's comes from the full depth on the frame's own scale.
    const bool built = precise ? BuildScaledPyramid(f->full, half != nullptr, f->mask, TopLevel(f->mask),
                                                    &f->pyramid, &f->stats, k)
                               : BuildPyramid(grey, TopLevel(f->mask), &f->pyramid, k);
    if (!built) return err::FailMemory(), nullptr;
    f->focusLevel = std::min(1, f->pyramid.top);
    const FloatImage& img = f->pyramid.levels[f->focusLevel];
    const Rect lr = LevelRect(f->mask, f->focusLevel, img);
    f->levelNoise = NoiseLevel(img, lr);
    f->levelEnergy = SignalEnergy(img, lr, kLevelSigma, f->levelNoise, k, work);
  }
  if (precise && f->mask.Area() > 0 && f->stats.structure) {
    // Frames above 1024 pixels get the finer spectrum, so that a block stays
    // within 8 pixels up to 2048 (the start's error is about a tenth of one).
    const int32_t side = std::max(w, h) > 1024 ? kStartSideLarge : kStartSide;
    f->hasStart = PrepareStart(f->full.Row(0), w, h, f->full.pitch, nullptr, side, &f->start);
    if (!f->hasStart && MemoryFailed()) return err::FailMemory(), nullptr;
  }
  if (precise && reference != 0 && f->mask.Area() > 0 &&
      !PrepareReference(f->full, f->mask, kSmoothSigma, f->noise, &f->ref, k, work, true))
    return err::FailMemory(), nullptr;
  // A measure that ran short of memory on the way (the focus energy) would
  // make another frame.
  if (MemoryFailed()) return err::FailMemory(), nullptr;
  return f.release();
}

// DriftMeasure's work, with the workspace given (a temporary one when ws is
// null).
int32_t MeasurePair(const DriftFrame* a, const DriftFrame* b, int32_t mask, const DriftOptions* o,
                    DriftWorkspace* ws, DriftResult* r) {
  if (r == nullptr) return err::Fail(err::kParameter, "the result is null"), -1;
  StartResult(r);
  if (a == nullptr || b == nullptr) return err::Fail(err::kParameter, "a frame is null"), -1;
  if (!ValidOptions(o)) return -1;
  if (a->method != o->method || b->method != o->method)
    return err::Fail(err::kParameter, "frames prepared for method %d and %d, measured with %d",
                     static_cast<int>(a->method), static_cast<int>(b->method),
                     static_cast<int>(o->method)),
           -1;
  // Frames of one size compare one area: the rectangle of their mask fraction.
  if (a->w == b->w && a->h == b->h && !(a->mask == b->mask))
    return err::Fail(err::kParameter, "frames of %d x %d prepared with different mask fractions",
                     static_cast<int>(a->w), static_cast<int>(a->h)),
           -1;
  try {
    DriftWorkspace temporary;
    DriftWorkspace& work = ws != nullptr ? *ws : temporary;
    const DriftKernels& k = DriftKernelsForMode();
    if (o->method == kDriftPrecise)
      MeasurePrecise(a, b, mask, o->model, k, work, r);
    else
      MeasureDefault(a, b, mask, o, k, work, r);
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
}

}  // namespace

extern "C" {

DriftWorkspace* DriftWorkspaceCreate(void) {
  return err::Guarded(__func__, static_cast<DriftWorkspace*>(nullptr),
                      [] { return new DriftWorkspace; });
}

void DriftWorkspaceFree(DriftWorkspace* workspace) { delete workspace; }

DriftFrame* DriftFrameCreate(int32_t grey, int32_t full, const DriftOptions* options,
                             int32_t reference) {
  return err::Guarded(__func__, static_cast<DriftFrame*>(nullptr),
                      [&] { return CreateFrame(grey, full, options, reference, nullptr); });
}

DriftFrame* DriftFrameCreateWith(int32_t grey, int32_t full, const DriftOptions* options,
                                 int32_t reference, DriftWorkspace* workspace) {
  return err::Guarded(__func__, static_cast<DriftFrame*>(nullptr), [&]() -> DriftFrame* {
    if (workspace == nullptr) return err::Fail(err::kParameter, "the workspace is null"), nullptr;
    return CreateFrame(grey, full, options, reference, &workspace->work);
  });
}

DriftFrame* DriftFrameCreateReusing(int32_t grey, int32_t full, const DriftOptions* options,
                                    int32_t reference, DriftWorkspace* workspace,
                                    DriftFrame* spare) {
  std::unique_ptr<DriftFrame> owned(spare);
  return err::Guarded(__func__, static_cast<DriftFrame*>(nullptr), [&]() -> DriftFrame* {
    if (workspace == nullptr) return err::Fail(err::kParameter, "the workspace is null"), nullptr;
    return CreateFrame(grey, full, options, reference, &workspace->work, std::move(owned));
  });
}

void DriftFrameFree(DriftFrame* frame) { delete frame; }

int32_t DriftMeasure(const DriftFrame* a, const DriftFrame* b, int32_t mask,
                     const DriftOptions* o, DriftResult* r) {
  return err::Guarded(__func__, int32_t(-1),
                      [&] { return MeasurePair(a, b, mask, o, nullptr, r); });
}

int32_t DriftMeasureWith(const DriftFrame* a, const DriftFrame* b, int32_t mask,
                         const DriftOptions* o, DriftWorkspace* workspace, DriftResult* r) {
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (workspace == nullptr) {
      if (r != nullptr) StartResult(r);
      return err::Fail(err::kParameter, "the workspace is null"), -1;
    }
    return MeasurePair(a, b, mask, o, workspace, r);
  });
}

int32_t DriftClassify(DriftResult* results, int32_t n) {
  return err::GuardedWhen(__func__, int32_t(-1), [](int32_t m) { return m < 0; },
                          [&] { return Classify(results, n); });
}

int32_t DriftClassifyWindow(void) { return kClassifyWindow; }

void DriftMatrixTurn(const double* a, double* angle, double* scale) {
  Motion m;
  m.a11 = a[0];
  m.a12 = a[1];
  m.a21 = a[2];
  m.a22 = a[3];
  *angle = MotionAngle(m) * 180.0 / M_PI;
  *scale = MotionScale(m);
}

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
