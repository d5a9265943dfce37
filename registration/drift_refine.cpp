// The precise method's sub-pixel refinement, in the inverse-compositional
// form: the current frame is resampled (Keys cubic) onto the reference's
// grid and the update solves the normal equations built from the reference's
// own gradients. Both frames are smoothed first (Gaussian, sigma 1.5).
// Because the gradient comes from a different image than the one resampled,
// the noise of the resampled frame (whose variance changes with the
// sub-pixel phase) does not bias the solution toward half pixels, as
// minimising the interpolated mean square difference does. Tukey weights,
// scaled by the median absolute residual, keep objects that move on their
// own out of the fit.
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "generic/last_error.h"
#include "registration/drift_internal.h"
#include "registration/drift_movers.h"

namespace vantor::drift {
namespace {

// How far the refinement may move from its start, in pixels.
constexpr int32_t kMaxMove = 3;
constexpr int32_t kMaxIterations = 20;
// The largest share of the remaining distance a step may leave and still be
// extrapolated.
constexpr double kMaxShortfall = 0.6;
// Steps below this (pixels, each axis) end the refinement.
constexpr double kConverged = 1e-3;
constexpr double kHuberK = 1.345, kTukeyC = 4.685;
// Below this mean weight of the last step's pixels (Gaussian residuals give
// about 0.92 with either weighting) movers are looked for.
constexpr double kMoverWeights = 0.8;
// How far the fitted gain may stray from the one the frames' spreads give
// (a factor either way), where their signal outweighs their noise.
constexpr double kGainBand = 1.33;
// From this displacement (pixels) on, the gain may change across the compared
// area; below it a light field fixed to the sensor moves the result by less
// than about 0.005 pixel.
constexpr double kSpatialFrom = 4.0;
// The largest change of the gain across the area (over its mean gain), up
// to kSpatialMostUpTo pixels of shift; beyond, it grows with the shift.
constexpr double kSpatialMost = 0.1;
constexpr double kSpatialMostUpTo = 36.0;
// The spatial terms are kept where one stands this many squared standard
// errors from 0.
constexpr double kSpatialClear = 25.0;
// A sparse field's weights' limit grows by this share of the signal above
// the background (the resampling's error at a bright point source; 0.03
// still cast out the cores of the brightest stars, 0.2 let a passing bright
// object in), and its structure counts where the reference stands this many
// times the background's noise above it.
constexpr double kLevelShare = 0.1;
constexpr double kSeenAbove = 8.0;
// A field is one of point sources where most of its pixels lie within this
// many noise deviations of the background level.
constexpr double kFlatWithin = 3.0;
// The steps after which what the current frame does not show is settled.
constexpr int32_t kUnseenSettled = 4;
// Steps alternating in sign with each more than this share of the last are
// taken as an overshooting series.
constexpr double kOvershoot = 0.5;

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

// The normal equations of the refinement: the kernel's five parameters
// (shift, offset, gain, blur) and two more, the gain's change across the
// compared area (x and y, the reference's grey level times the position from
// its centre). A light field fixed to the sensor (vignetting, uneven
// illumination) makes the frame moved onto the reference brighter on one
// side by about the shift times the field's slope: a gain that changes
// across the area, which the shift would otherwise take up.
struct System {
  static constexpr int kParams = 7;
  double m[kParams * (kParams + 1) / 2] = {};
  double v[kParams] = {};
  double w = 0, wee = 0;
};

// Index of (i, j) in the packed upper triangle of a P x P matrix.
constexpr int At(int i, int j, int P) {
  return i > j ? At(j, i, P) : i * P - i * (i - 1) / 2 + (j - i);
}
constexpr int At7(int i, int j) { return At(i, j, System::kParams); }
constexpr int At5(int i, int j) { return At(i, j, NormalSums::kParams); }

// Adds the kernel's sums over one row at v from the compared area's centre:
// the x term's column is the kernel's spatial column, the y term's the
// gain's times v.
void AddSums(System& s, const NormalSums& c, double v) {
  for (int i = 0; i < NormalSums::kParams; ++i) {
    for (int j = i; j < NormalSums::kParams; ++j) s.m[At7(i, j)] += c.m[At5(i, j)];
    s.m[At7(i, 5)] += c.s[i];
    s.m[At7(i, 6)] += v * c.m[At5(i, 3)];
    s.v[i] += c.v[i];
  }
  s.m[At7(5, 5)] += c.s[5];
  s.m[At7(5, 6)] += v * c.s[3];
  s.m[At7(6, 6)] += v * v * c.m[At5(3, 3)];
  s.v[5] += c.s[6];
  s.v[6] += v * c.v[3];
  s.w += c.w;
  s.wee += c.wee;
}

// The packed normal equations solved as a full matrix.
bool SolveNormal(const System& s, double* x, double* inverseDiag) {
  constexpr int P = System::kParams;
  double a[P * P];
  int q = 0;
  for (int i = 0; i < P; ++i)
    for (int j = i; j < P; ++j) a[i * P + j] = a[j * P + i] = s.m[q++];
  return SolveSymmetric(a, s.v, P, x, inverseDiag);
}

// Holds parameter p of the system at value: its row and column leave the
// system, their share moving to the right-hand side.
void FixParameter(System& s, int p, double value) {
  for (int i = 0; i < System::kParams; ++i) {
    if (i == p) continue;
    s.v[i] -= s.m[At7(i, p)] * value;
    s.m[At7(i, p)] = 0.0;
  }
  s.m[At7(p, p)] = 1.0;
  s.v[p] = value;
}

}  // namespace

bool SolveSymmetric(const double* a, const double* v, int n, double* x, double* inv) {
  if (n < 1 || n > kMaxSolve) return false;
  double l[kMaxSolve][kMaxSolve] = {};
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) {
      double sum = a[i * n + j];
      for (int k = 0; k < j; ++k) sum -= l[i][k] * l[j][k];
      if (i == j) {
        if (!(sum > 1e-9 * a[i * n + i]) || !(a[i * n + i] > 0)) return false;
        l[i][i] = std::sqrt(sum);
      } else {
        l[i][j] = sum / l[j][j];
      }
    }
  double y[kMaxSolve];
  for (int i = 0; i < n; ++i) {
    double sum = v[i];
    for (int k = 0; k < i; ++k) sum -= l[i][k] * y[k];
    y[i] = sum / l[i][i];
  }
  for (int i = n - 1; i >= 0; --i) {
    double sum = y[i];
    for (int k = i + 1; k < n; ++k) sum -= l[k][i] * x[k];
    x[i] = sum / l[i][i];
  }
  for (int c = 0; c < n; ++c) {
    double z[kMaxSolve];
    for (int i = 0; i < n; ++i) {
      double sum = i == c ? 1.0 : 0.0;
      for (int k = 0; k < i; ++k) sum -= l[i][k] * z[k];
      z[i] = sum / l[i][i];
    }
    double d = 0;
    for (int i = 0; i < n; ++i) d += z[i] * z[i];
    inv[c] = d;
  }
  return true;
}

namespace {

// Whether a place of the reference's structure, da above its background
// (the current frame's there db above its own), is shown by the current
// frame too: clearly off the background on the same side, by at least a
// quarter of the reference's signal.
bool SeenInBoth(float da, float db, double noise) {
  return da * db > 0.0f && std::fabs(db) > 0.25f * std::fabs(da) &&
         std::fabs(da) >= kSeenAbove * noise;
}

// Whether the reference shows it clearly and the current frame does not:
// structure near the background level (a dense scene's mid-tones) is neither.
bool Unseen(float da, float db, double noise) {
  return std::fabs(da) >= kSeenAbove * noise && !SeenInBoth(da, db, noise);
}

}  // namespace

Refinement Refine(const ReferenceData& ref, const FloatImage& cur, double dx0, double dy0,
                  double sigma, const DriftKernels& k, Workspace& ws, const ReferenceData* own,
                  double brightness, double contrast) {
  Refinement out;
  if (!(std::fabs(dx0) < 1e6 && std::fabs(dy0) < 1e6)) return out;
  brightness = std::clamp(brightness, 0.05, 20.0);
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
  // Scratch from the workspace, kept from one pair to the next.
  FloatImage& bs = ws.refineSmooth;
  FloatImage& hbuf = ws.refineRows;
  FloatImage& resid = ws.residual;
  std::vector<float>& sample = ws.sample;
  std::vector<float>& structured = ws.structuredSample;
  std::vector<Place>& places = ws.structuredPlaces;
  std::vector<float>& levels = ws.sampleLevels;
  std::vector<float>& currents = ws.sampleCurrent;
  std::vector<float>& background = ws.backgroundSample;
  std::vector<float>& ratios = ws.signalRatios;
  std::vector<Place>& unseen = ws.unseenPlaces;
  std::vector<int32_t>& strongAt = ws.strongSamples;
  bool placesFound = false;
  // A sparse field's weights' limits, growing with the grey level, and the
  // gain where both frames show its structure (0: not known).
  LevelLimit limit;
  bool pointSources = false;
  double pairGain = 0.0;
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
  } else if (!SmoothRegion(cur, Q, sigma, &bs, k, ws)) {
    return out;
  }
  const int32_t w = P.Width(), h = P.Height();
  if (!hbuf.Allocate(w, 4) || !resid.Allocate(w, h)) return out;
  // About 2048 pixels on a regular grid give the robust scale.
  const int32_t stride =
      std::max<int32_t>(1, static_cast<int32_t>(std::sqrt(static_cast<double>(P.Area()) / 2048.0)));
  const int32_t rx = P.x0 - R.x0, ry0 = P.y0 - R.y0;

  double dx = dx0, dy = dy0;
  double scale = 1.0;
  Photometric photo;
  int32_t tukeyRounds = 0;
  System last;
  int64_t lastCount = 0;  // the pixels the last step compared
  double inv[System::kParams] = {};
  // The gain's change across the area: per unit of u (columns from the
  // centre over the width) and of v (rows over the height).
  const bool spatial = std::hypot(dx0, dy0) >= kSpatialFrom;
  double cu = 0, cv = 0;
  const double cx = 0.5 * (R.x0 + R.x1 - 1), cy = 0.5 * (R.y0 + R.y1 - 1);
  const double invW = 1.0 / R.Width(), invH = 1.0 / R.Height();
  std::vector<float>& u = ws.positions;
  if (spatial) {
    u.resize(static_cast<size_t>(w));
    for (int32_t x = 0; x < w; ++x) u[x] = static_cast<float>((P.x0 + x - cx) * invW);
  }
  auto V = [&](int32_t y) { return (P.y0 + y - cy) * invH; };
  // The gain at column x of row y.
  auto Gain = [&](int32_t x, int32_t y) {
    return spatial ? static_cast<float>(photo.c1 + cu * u[x] + cv * V(y)) : photo.c1;
  };
  const bool shrunk = !ref.shrunkX.Empty();
  double prevStep[2] = {0, 0};
  int64_t ringLeftOut = 0;  // the last step's pixels left out around movers
  int gainWas = -1;          // whether the last step could tell the gain (-1: no step yet)
  bool gainTipped = false;
  double noiseRatio = 0;
  for (int32_t it = 0; it < kMaxIterations; ++it) {
    if (std::fabs(dx - ix0) > kMaxMove || std::fabs(dy - iy0) > kMaxMove) return out;
    // Sample positions x - d: whole pixels o, phase f.
    const double tx = -dx, ty = -dy;
    const int32_t ox = static_cast<int32_t>(std::floor(tx));
    const int32_t oy = static_cast<int32_t>(std::floor(ty));
    float wx[4], wy[4];
    KeysWeights(tx - ox, wx);
    KeysWeights(ty - oy, wy);
    // Rows resampled along x go through a ring of four (row j in j % 4),
    // made as the columns' pass needs them.
    int32_t made = 0;
    auto MakeRows = [&](int32_t upTo) {
      for (; made < upTo; ++made) {
        const int32_t row = P.y0 + oy - 1 + made - oy0;
        k.filter_row(src->Row(row) + (P.x0 + ox - 1 - ox0), hbuf.Row(made % 4), w, wx, 4);
      }
    };
    // The first, rough steps use every other row.
    const int32_t rowStep = it < 2 ? 2 : 1;  // a power of two: rows y with y & (rowStep - 1) == 0
    const float* rows[4];
    for (int32_t y = 0; y < h; y += rowStep) {
      MakeRows(y + 4);
      for (int32_t t = 0; t < 4; ++t) rows[t] = hbuf.Row((y + t) % 4);
      k.filter_columns(rows, ref.Smooth(ry0 + y) + rx, resid.Row(y), w, wy, 4);
    }
    // Robust scale of the model error, at every step: what moves on its own
    // only stands out once the rest fits. On a sparse field (stars, beads) it
    // is taken where both frames have structure (the reference's gradients
    // clearly above its noise, the current frame showing the same there):
    // the flat background would otherwise give the scale of its noise alone,
    // and every point source, not yet aligned, would be cast out; and a
    // satellite trail or a passing object in one frame adds its own strong
    // gradients (a trail across the frame more than all the stars) and would
    // set the scale by its own misfit.
    {
      sample.clear();
      structured.clear();
      levels.clear();
      currents.clear();
      strongAt.clear();
      const float strong = static_cast<float>(30.0 * ref.gradientNoise);
      for (int32_t y = 0; y < h; y += stride * rowStep) {
        const float* r = resid.Row(y);
        const float* a = ref.Smooth(ry0 + y) + rx;
        const float* lap = ref.lap.Row(ry0 + y) + rx;
        const float* gx = ref.gx.Row(ry0 + y) + rx;
        const float* gy = ref.gy.Row(ry0 + y) + rx;
        for (int32_t x = stride / 2; x < w; x += stride) {
          const float e = r[x] - (photo.c0 + Gain(x, y) * a[x] + photo.b * lap[x]);
          sample.push_back(e);
          levels.push_back(a[x]);
          currents.push_back(r[x] + a[x]);
          if (gx[x] * gx[x] + gy[x] * gy[x] > strong) {
            structured.push_back(e);
            strongAt.push_back(static_cast<int32_t>(sample.size() - 1));
          }
        }
      }
      // A dense scene is scaled by all its pixels: there the strongest edges
      // may well be those of what moves on its own. A sparse field has few
      // structured pixels on the grid (look at every one) and is scaled by
      // them. Where up to three tenths are structured, the background (the
      // model error's scale over all pixels, scaled as a dense scene's, and
      // both frames' level there) tells what the current frame clearly does
      // not show, which does not count: a bright trail across a small star
      // field in one frame would otherwise make it dense, and its misfit be
      // fitted.
      bool sparse = structured.size() * 10 < sample.size();
      bool points = false;
      double noise = 0.0;
      float levelA = 0.0f, levelB = 0.0f;
      if (structured.size() * 10 < 3 * sample.size()) {
        background.assign(sample.begin(), sample.end());
        const float bm = SelectNth(background, background.size() / 2, ws.selectKeys);
        for (float& v : background) v = std::fabs(v - bm);
        noise = std::max(SelectNth(background, background.size() / 5, ws.selectKeys) / 0.2533,
                         1e-6);
        background.assign(levels.begin(), levels.end());
        levelA = SelectNth(background, background.size() / 2, ws.selectKeys);
        // Point sources (stars, beads) over a flat background: most pixels
        // lie within kFlatWithin noise deviations of its level. A blurred
        // photograph or a cell with few strong edges is sparse too, but has
        // no background to speak of, and is compared as before.
        size_t flat = 0;
        for (const float v : levels) flat += std::fabs(v - levelA) < kFlatWithin * noise ? 1 : 0;
        points = 2 * flat > levels.size();
        if (points) {
          background.assign(currents.begin(), currents.end());
          levelB = SelectNth(background, background.size() / 2, ws.selectKeys);
        }
        if (points && !sparse) {
          size_t kept = 0;
          for (const int32_t i : strongAt)
            kept += Unseen(levels[i] - levelA, currents[i] - levelB, noise) ? 0 : 1;
          sparse = kept * 10 < sample.size();
        }
      }
      pairGain = 0.0;
      if (sparse && (points || structured.size() < 64)) {
        // Photon noise grows with the signal (its variance as the background's
        // over its level, counts from zero; a background at zero taken as one
        // noise deviation above it), and the resampling's error at a
        // bright point source with it: a limit fixed by the faint pixels casts
        // out the brightest stars' cores, and the gain and blur, then held by
        // their wings alone, drift step after step toward a flat frame.
        limit.level = levelA;
        limit.n0 = static_cast<float>(noise * noise);
        limit.n1 = static_cast<float>(noise * noise / std::max<double>(levelA, noise));
        limit.n2 = static_cast<float>(kLevelShare * kLevelShare);
        // Where the reference has structure does not change from one step to
        // the next: those places are found once.
        if (!placesFound) {
          places.clear();
          unseen.clear();
          std::vector<int32_t>& columns = ws.rowColumns;
          columns.resize(static_cast<size_t>(w));
          for (int32_t y = 0; y < h; ++y) {
            const int32_t n = k.strong_row(ref.gx.Row(ry0 + y) + rx, ref.gy.Row(ry0 + y) + rx, w,
                                           strong, columns.data());
            for (int32_t i = 0; i < n; ++i) places.push_back(Place{y, columns[i]});
          }
          placesFound = true;
        }
        structured.clear();
        ratios.clear();
        int32_t row = -1;
        for (const Place& at : places) {
          const int32_t y = at.y, x = at.x;
          if ((y & (rowStep - 1)) != 0) continue;
          // Whole rows, until 8192 values.
          if (y != row && structured.size() >= 8192) break;
          row = y;
          const float a = ref.Smooth(ry0 + y)[rx + x], lap = ref.lap.Row(ry0 + y)[rx + x];
          const float r = resid.Row(y)[x];
          const float da = a - levelA, db = r + a - levelB;
          if (points && !SeenInBoth(da, db, noise)) continue;
          structured.push_back(r - (photo.c0 + Gain(x, y) * a + photo.b * lap));
          if (points) ratios.push_back(db / da);
        }
        // The current frame's signal over the reference's where both show it:
        // the gain's centre where the spreads cannot give one.
        if (points && ratios.size() >= 32)
          pairGain = SelectNth(ratios, ratios.size() / 2, ws.selectKeys);
        // What the reference shows clearly and the current frame not at all
        // (a trail or a passing object in the reference alone) is left out
        // with two pixels around it: the strong gradients of its flanks,
        // whose errors stay within the weights' limit, pull the shift
        // across it (a trail in the reference: 0.28 pixel off).
        // They are settled after the first steps: judged again at every
        // step, places on the line came and went and the steps never
        // settled (a passing object: 16 steps a pair where 4 do).
        if (points && it < kUnseenSettled) {
          unseen.clear();
          for (const Place& at : places) {
            const int32_t y = at.y, x = at.x;
            if ((y & (rowStep - 1)) != 0) continue;
            const float a = ref.Smooth(ry0 + y)[rx + x];
            if (Unseen(a - levelA, resid.Row(y)[x] + a - levelB, noise)) unseen.push_back(at);
          }
        }
        constexpr int32_t kAround = 2;
        for (const Place& at : unseen) {
          const int32_t y = at.y, x = at.x;
          for (int32_t v = std::max(0, y - kAround); v <= std::min(h - 1, y + kAround); ++v) {
            if ((v & (rowStep - 1)) != 0) continue;
            float* r = resid.Row(v);
            for (int32_t t = std::max(0, x - kAround); t <= std::min(w - 1, x + kAround); ++t)
              r[t] = kLeftOut;
          }
        }
      }
      const bool byStructure = sparse && structured.size() >= 64;
      pointSources = byStructure && points;
      std::vector<float>& use = byStructure ? structured : sample;
      const float med = SelectNth(use, use.size() / 2, ws.selectKeys);
      for (float& v : use) v = std::fabs(v - med);
      // From a low quantile of the absolute deviations: what moves on its own
      // may cover much of the compared area (in a dense scene against the
      // first frame, where both frames' movers count, three quarters of it)
      // without inflating the scale that should reject it. A dense scene's
      // scale comes from its lower 20 % (0.253 standard deviations of a
      // normal distribution), a sparse field's structured pixels from their
      // lower 40 % (0.524): few enough that the 20 % would be noise.
      const double share = byStructure ? 0.4 : 0.2;
      const double normal = byStructure ? 0.5244 : 0.2533;
      const size_t low = static_cast<size_t>(static_cast<double>(use.size()) * share);
      scale = std::max(SelectNth(use, low, ws.selectKeys) / normal, 1e-6);
    }
    const bool tukey = it >= 1;
    const Weighting kind = tukey ? Weighting::kTukey : Weighting::kHuber;
    const float c = static_cast<float>((tukey ? kTukeyC : kHuberK) * scale);
    auto At = [&](int32_t x, int32_t y, float* a, float* e) {
      *a = ref.Smooth(ry0 + y)[rx + x];
      *e = resid.Row(y)[x] - (photo.c0 + Gain(x, y) * *a + photo.b * ref.lap.Row(ry0 + y)[rx + x]);
    };
    // Only where the last step weighed the pixels down on the whole (movers
    // fill their share of it; a scene without them keeps nine tenths).
    const bool fewFit = last.w < kMoverWeights * static_cast<double>(lastCount);
    ringLeftOut = 0;
    if (tukey && fewFit && !ExcludeMovers(resid, w, h, rowStep, c, At, ws, &ringLeftOut))
      return out;
    // The level-grown limits once the weights reject (a point source not yet
    // aligned has its own large errors).
    const bool levelLimits = pointSources && tukey;
    limit.k = static_cast<float>(kTukeyC);
    System sums;
    for (int32_t y = 0; y < h; y += rowStep) {
      const int32_t ry = ry0 + y;
      Photometric p = photo;
      if (spatial) {
        p.c1 = static_cast<float>(photo.c1 + cv * V(y));
        p.cu = static_cast<float>(cu);
      }
      NormalSums row;
      k.normal_row(resid.Row(y), (shrunk ? ref.shrunkX : ref.gx).Row(ry) + rx,
                   (shrunk ? ref.shrunkY : ref.gy).Row(ry) + rx, ref.Smooth(ry) + rx,
                   ref.lap.Row(ry) + rx, spatial ? u.data() : nullptr, w, p, kind, c,
                   levelLimits ? &limit : nullptr, &row);
      AddSums(sums, row, spatial ? V(y) : 0.0);
    }
    if (!spatial) {
      FixParameter(sums, 5, 0.0);
      FixParameter(sums, 6, 0.0);
    }
    // The reference's gradients carry its noise, which inflates their
    // squares but not their products with the residual: take its expected
    // share off, or every step would fall short by that share.
    // The shrunk gradients need no such correction.
    const double noiseShare = shrunk ? 0.0 : ref.gradientNoise * sums.w;
    // At low signal the noise of those gradients also multiplies the noise of
    // the residual: the error grows by about 1 + noise share / signal share.
    const double signal = 0.5 * (sums.m[At7(0, 0)] + sums.m[At7(1, 1)]) - noiseShare;
    noiseRatio = signal > 0.05 * noiseShare ? noiseShare / signal : 20.0;
    // Whether the reference can tell the gain: its (weighted) variance must
    // be at least twice what its noise alone gives. Faint beads in photon
    // noise cannot: there the fitted gain follows the noise (toward "the
    // current frame is flat") and the blur term with it, both leading the
    // weights and the shift astray.
    const double spreadA = sums.m[At7(3, 3)] - sums.m[At7(2, 3)] * sums.m[At7(2, 3)] /
                                                   std::max(sums.m[At7(2, 2)], 1e-30);
    bool gainKnown = spreadA > 2.0 * ref.valueNoise * sums.w;
    // Near that line the weights can tip it from one step to the next, and
    // the steps then swing between the two models without end (a few bright
    // stars in photon noise: 0.3 pixel apart). Once it has tipped, the gain
    // stays the frames' brightness ratio.
    if (tukey && gainWas >= 0 && gainKnown != (gainWas == 1)) gainTipped = true;
    if (gainTipped) gainKnown = false;
    gainWas = gainKnown ? 1 : 0;
    // The gain's regressor, the smoothed reference, also carries its
    // noise, which is also in the residual with the opposite sign: left in,
    // the gain is pulled toward "the current frame is flat". Taken off only
    // where the signal clearly outweighs the noise (contrast known), as
    // below that the corrected system is itself mostly noise.
    if (contrast > 0) {
      const double vn = ref.valueNoise * sums.w;
      sums.m[At7(3, 3)] -= std::min(vn, 0.8 * sums.m[At7(3, 3)]);
      sums.v[3] += vn;
    }
    sums.m[At7(0, 0)] -= std::min(noiseShare, 0.8 * sums.m[At7(0, 0)]);
    sums.m[At7(1, 1)] -= std::min(noiseShare, 0.8 * sums.m[At7(1, 1)]);
    double x[System::kParams];
    if (contrast <= 0 && !gainKnown) {
      // The gain is the frames' brightness ratio, and the blur none.
      FixParameter(sums, 3, brightness - 1.0);
      FixParameter(sums, 4, 0.0);
      FixParameter(sums, 5, 0.0);
      FixParameter(sums, 6, 0.0);
    }
    if (!SolveNormal(sums, x, inv)) {
      // Too near singular to solve whole (a faint field over a ramp, whose
      // grey levels are nearly a plane): the blur and the gain's change
      // across the area left out.
      for (int p = 4; p < 7; ++p) FixParameter(sums, p, 0.0);
      if (!SolveNormal(sums, x, inv)) return out;
    }
    // Where much of the compared area moves on its own, a gain near 0 fits
    // the movers of the reference and a flat background at once: an
    // attractor that leads the shift off. The gain stays within a band
    // around the frames' contrast where that is known.
    const bool gainFitted = contrast > 0 || gainKnown;
    const double centre = contrast > 0 ? contrast : pointSources && gainFitted ? pairGain : 0.0;
    if (centre > 0) {
      const double lo = centre / kGainBand - 1.0, hi = centre * kGainBand - 1.0;
      if (x[3] < lo || x[3] > hi) {
        FixParameter(sums, 3, std::clamp(x[3], lo, hi));
        if (!SolveNormal(sums, x, inv)) return out;
      }
    }
    // A light field changes the gain across the area by a few hundredths per
    // ten pixels of shift; much more is something moving on its own, which
    // the spatial terms must not fit either. (At a tenth whatever the shift,
    // vignetting seen 70 pixels apart was cut short: 0.15 pixel off.)
    // Where they do not stand out from their noise (no light field to
    // speak of), they are left out: two more parameters cost precision.
    if (spatial) {
      const double most = kSpatialMost * std::max(1.0, std::hypot(dx0, dy0) / kSpatialMostUpTo) *
                          std::max(0.05, 1.0 + x[3]);
      const double var = sums.w > 0 ? sums.wee / sums.w * 4.0 * M_PI * sigma * sigma : 0.0;
      bool clear = false;
      for (int p = 5; p < 7; ++p) clear = clear || x[p] * x[p] > kSpatialClear * inv[p] * var;
      for (int p = 5; p < 7; ++p)
        if (!clear || std::fabs(x[p]) > most) {
          FixParameter(sums, p, clear ? std::clamp(x[p], -most, most) : 0.0);
          if (!SolveNormal(sums, x, inv)) return out;
        }
    }
    // The current frame's residual moves by its brightness over the
    // reference's per pixel of shift: the shift's own step is the solved
    // coefficient over that (the fitted gain is no guide to it where much
    // of the frame moves on its own, so the frames' spreads give it).
    x[0] /= brightness;
    x[1] /= brightness;
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
      // On a sparse field the shift, gain and focus terms can trade off so
      // that each step overshoots, alternating in sign and shrinking slowly
      // (by 0.7 to 0.8): the series' sum is taken there too.
      if (pointSources && ratio < -kOvershoot && ratio > -1.0) gain = 1.0 / (1.0 - ratio);
    }
    prevStep[0] = x[0];
    prevStep[1] = x[1];
    dx += gain * x[0];
    dy += gain * x[1];
    photo.c0 = static_cast<float>(x[2]);
    photo.c1 = static_cast<float>(x[3]);
    photo.b = static_cast<float>(x[4]);
    cu = x[5];
    cv = x[6];
    last = sums;
    lastCount = static_cast<int64_t>(w) * ((h + rowStep - 1) / rowStep);
    out.iterations = it + 1;
    if (tukey) ++tukeyRounds;
    if (tukeyRounds >= 2 && std::fabs(x[0]) < kConverged && std::fabs(x[1]) < kConverged) break;
  }
  if (std::fabs(dx - ix0) > kMaxMove || std::fabs(dy - iy0) > kMaxMove) return out;
  out.ok = true;
  out.dx = dx;
  out.dy = dy;
  out.blur = photo.b;
  out.inliers = last.w / static_cast<double>(std::max<int64_t>(1, P.Area() - ringLeftOut));
  // Standard error: residual variance times the inverse normal matrix, times
  // the area over which the smoothing correlates neighbouring residuals, grown
  // by the noise of the gradients at low signal. Measured against the truth
  // on noisy, sparse and cosmic-ray sequences this is about half the error
  // found (the robust weights and the interpolation add their share): twice
  // it, and a floor for the resampling's own error, is what is given.
  const double var = last.w > 0 ? last.wee / last.w : 0.0;
  double onSources = 0.0;
  if (pointSources) {
    // On a sparse field the background's pixels set that variance, while
    // the information lies on the point sources' flanks, whose errors (their
    // photon noise, the resampling's error at undersampled stars) are many
    // times larger: the variance there, weighted as the shift's sums weigh
    // it, where that is larger.
    double ex = 0, ey = 0, gxx = 0, gyy = 0;
    const float c = static_cast<float>(kTukeyC * scale);
    for (const Place& at : places) {
      const int32_t y = at.y, x = at.x;
      const int32_t ry = ry0 + y;
      const float a = ref.Smooth(ry)[rx + x];
      const float e =
          resid.Row(y)[x] - (photo.c0 + Gain(x, y) * a + photo.b * ref.lap.Row(ry)[rx + x]);
      const float sl = std::max(a - limit.level, 0.0f);
      const float cx =
          std::max(c, limit.k * std::sqrt(limit.n0 + sl * (limit.n1 + limit.n2 * sl)));
      const float u = e / cx, t = 1.0f - u * u;
      if (!(t > 0.0f)) continue;
      const double wt = static_cast<double>(t) * t;
      const double gx = (shrunk ? ref.shrunkX : ref.gx).Row(ry)[rx + x];
      const double gy = (shrunk ? ref.shrunkY : ref.gy).Row(ry)[rx + x];
      ex += wt * wt * e * e * gx * gx;
      ey += wt * wt * e * e * gy * gy;
      gxx += wt * gx * gx;
      gyy += wt * gy * gy;
    }
    if (gxx > 0 && gyy > 0) onSources = std::max(ex / gxx, ey / gyy);
  }
  const double corr = 4.0 * M_PI * sigma * sigma;
  const double statistical =
      std::sqrt(std::max(inv[0], inv[1]) * var * corr * (1.0 + noiseRatio)) / brightness;
  const double sources =
      std::sqrt(std::max(inv[0], inv[1]) * onSources * corr * (1.0 + noiseRatio)) / brightness;
  out.precision = std::hypot(2.0 * statistical, 0.002);
  out.standardError = std::hypot(std::max(2.0 * statistical, sources), 0.002);
  return out;
}

}  // namespace vantor::drift
