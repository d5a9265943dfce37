// The exported drift measurement: frames prepared once (pyramid, full-depth
// grey, reference data), pairs measured by the registration search (classic
// and default; the precise method's pair is drift_precise.cpp's), workspaces
// that carry the scratch memory from call to call, and the classification's
// entry. The compared area of every pair is the current
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
#include "registration/drift_frame.h"
#include "registration/drift_internal.h"
#include "registration/phase_start.h"
#include "registration/registration.h"
#include "registration/registration_internal.h"

namespace vantor::drift {

using vantor::reg::MemoryFailed;

void Overlap(const Rect& r, int32_t dx, int32_t dy, int32_t w, int32_t h, Rect* inA, Rect* inB) {
  inA->x0 = std::max(r.x0, dx);
  inA->y0 = std::max(r.y0, dy);
  inA->x1 = std::min(r.x1, w + dx);
  inA->y1 = std::min(r.y1, h + dy);
  *inB = Rect{inA->x0 - dx, inA->y0 - dy, inA->x1 - dx, inA->y1 - dy};
}

// Frames whose noise differs by more than this factor (a template or a mean
// of frames against a single frame) are compared by their signals.
constexpr double kNoiseDiffers = 1.5;

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

double GreyCost(const ResolvedPair& pair, double dx, double dy) {
  const double p[4] = {dx, dy, 1.0, 0.0};
  return vantor::ResolvedCost(p, const_cast<vantor::ResolvedPair*>(&pair));
}

namespace {

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

}  // namespace

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

}  // namespace vantor::drift

namespace {

using namespace vantor::drift;
namespace err = vantor::err;
using vantor::reg::MemoryFailed;

// The side of the coarse spectra of the global start.
constexpr int32_t kStartSide = 128, kStartSideLarge = 256;
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

// The buffers of a frame no longer needed, emptied, for the next frame to
// fill: a sequence's frames then do not map fresh memory each (the page
// faults of that serialise the threads).
void TakeBuffers(DriftFrame& to, DriftFrame& from) {
  to.full = std::move(from.full);
  to.full.Clear();
  to.pyramid.levels = std::move(from.pyramid.levels);
  for (FloatImage& l : to.pyramid.levels) l.Clear();
  for (FloatImage* i : {&from.ref.gx, &from.ref.gy, &from.ref.lap, &from.ref.wide,
                        &from.ref.shrunkX, &from.ref.shrunkY})
    i->Clear();
  to.ref.gx = std::move(from.ref.gx);
  to.ref.gy = std::move(from.ref.gy);
  to.ref.lap = std::move(from.ref.lap);
  to.ref.wide = std::move(from.ref.wide);
  to.ref.shrunkX = std::move(from.ref.shrunkX);
  to.ref.shrunkY = std::move(from.ref.shrunkY);
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
    // of its own to take it up. Frames within 16 bits keep their values
    // (and only 32- and 64-bit samples can lie beyond them).
    const float level =
        s.depth == 32 || s.depth == 64 ? SampledMedian(f->full, Rect{0, 0, w, h}, work) : 0.0f;
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
