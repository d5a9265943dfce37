// Internal pieces of the drift measurement, shared by its source files and
// reached by the tests and benchmarks: float images, the block-mean pyramid
// and global whole-pixel search (drift_pyramid.cpp), smoothing and the noise,
// energy and focus measures (drift_smooth.cpp), the robust sub-pixel
// refinement (drift_refine.cpp) and the classification (drift_classify.cpp).
// Scratch memory comes from a Workspace the caller owns.
#ifndef VANTOR_REGISTRATION_DRIFT_INTERNAL_H
#define VANTOR_REGISTRATION_DRIFT_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "improc/drift_kernels.h"
#include "registration/drift.h"

namespace vantor::drift {

// Solves the symmetric positive n x n system a x = v (full matrix, row
// major, n at most kMaxSolve) by Cholesky decomposition, the inverse's
// diagonal into inv. False when it is not clearly positive definite.
inline constexpr int kMaxSolve = 10;
bool SolveSymmetric(const double* a, const double* v, int n, double* x, double* inv);

// Smoothing of both frames before the refinement.
inline constexpr double kSmoothSigma = 1.5;
// The results on each side of one that give its typical distance.
inline constexpr int32_t kClassifyWindow = 12;
// A frame whose signal energy differs from the other's by more than this
// factor is smoothed further to match before the refinement (focus change).
inline constexpr double kFocusRatio = 1.1;
// The refinement's blur term (Laplacian coefficient) beyond which frames
// whose energies do not differ are compared as a change of focus (a Gaussian
// blur of sigma d gives about 0.4 d^2).
inline constexpr double kBlurAlone = 1.5;
// Where the energies differ and the focus comparison fits fewer than
// kFewInliers of the compared pixels or its standard error is above
// kLooseFocus pixel, the pair is also refined plainly; the plain result
// stands where its standard error is under kPlainClearly times the other's.
inline constexpr double kFewInliers = 0.6;
inline constexpr double kLooseFocus = 0.05;
inline constexpr double kPlainClearly = 0.5;

// Frees a FloatImage's memory with the alignment it was allocated with.
struct AlignedFree {
  std::size_t alignment = alignof(float);
  void operator()(float* p) const { ::operator delete[](p, std::align_val_t{alignment}); }
};

// A float image; pitch in floats. Allocate keeps the block when it is large
// enough, so scratch images can be reused; new pixels are not initialised.
struct FloatImage {
  int32_t w = 0, h = 0;
  std::ptrdiff_t pitch = 0;
  std::unique_ptr<float[], AlignedFree> data;
  size_t capacity = 0;

  bool Allocate(int32_t width, int32_t height);
  void Clear() { w = h = 0, pitch = 0; }  // empty, its memory kept for the next Allocate
  float* Row(int32_t y) { return data.get() + y * pitch; }
  const float* Row(int32_t y) const { return data.get() + y * pitch; }
  bool Empty() const { return w == 0 || h == 0; }
};

// A spot's pixels in one frame for FitSpots: the window (frame coordinates)
// and where its Gaussian's values start in SpotWork::gauss.
struct SpotWindow {
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  size_t at = 0;
};

// The spot model as drawn for one set of parameters (FitSpots keeps two:
// the accepted one and a trial).
struct SpotDrawn {
  std::vector<float> modelA, modelB, residA, residB, weightA, weightB;
  std::vector<float> gauss;                 // the spots' Gaussians over their windows
  std::vector<SpotWindow> windows;
  std::vector<int32_t> coverA, coverB;      // the pixels some window holds, per frame
  double width[2] = {}, cost = 0, chi = 0;  // the spots' width in each frame
  // Per frame: the weights and the weighted residuals outside the covered pixels.
  double weights[2] = {}, weighted[2] = {};
};

// FitSpots's scratch memory.
struct SpotWork {
  FloatImage smoothA, smoothB, detect;      // the frames smoothed, their sum
  std::vector<double> params, gradient, step, trial, diag, blocks;
  std::vector<double> cgR, cgZ, cgD, cgQ;   // conjugate gradients' vectors
  std::vector<double> za, zb;               // products with the Jacobian, per frame
  std::vector<double> columns;              // the shared parameters' columns of it
  SpotDrawn drawn[2];
  std::vector<uint8_t> mark;
};

// A pixel of a compared area: its row and column.
struct Place {
  int32_t y = 0, x = 0;
};

// Scratch memory of the measurement, for one thread at a time. Its blocks
// stay from one call to the next and grow when a call needs more; what they
// hold between calls means nothing.
struct Workspace {
  FloatImage smoothRows;          // SmoothRegion: a ring of horizontally smoothed rows
  std::vector<float> smoothLine;  // SmoothRegion: one source row, edges repeated
  FloatImage energySmooth;        // GradientEnergy: the smoothed rectangle
  FloatImage refineSmooth;        // Refine: the current frame smoothed, when its own is not used
  FloatImage refineRows;          // Refine: a ring of the current frame's rows resampled along x
  FloatImage residual;            // Refine: resampled current frame minus the reference
  FloatImage shrinkEnergy;        // PrepareReference: the gradients' local energy
  std::vector<float> sample;            // Refine: the residuals that give the robust scale
  std::vector<float> structuredSample;  // Refine: those where the reference has structure
  std::vector<Place> structuredPlaces;  // Refine: where that is
  std::vector<float> sampleLevels;      // Refine: the reference's grey levels at the sample
  std::vector<float> sampleCurrent;     // Refine: the current frame's there
  std::vector<float> backgroundSample;  // Refine: a sparse field's background errors
  std::vector<float> signalRatios;      // Refine: current over reference signal where both show it
  std::vector<Place> unseenPlaces;      // Refine: structure the current frame does not show
  std::vector<int32_t> strongSamples;   // Refine: which of the sample lie on structure
  std::vector<int32_t> rowColumns;        // Refine: one row's strong columns
  std::vector<int32_t> moverBlocks;       // Refine: per block of the area, what finds movers
  std::vector<float> positions;         // Refine: the compared columns' places across the area
  FloatImage motionColumns;             // RefineMotion: the compared columns' places and rows
  std::vector<uint32_t> selectKeys;     // SelectNth: the samples' keys
  SpotWork spots;                       // FitSpots
  std::vector<int32_t> spikeColumns;    // RemoveSpikes
};

// The k-th smallest of v (k < v.size(), no NaN), as std::nth_element finds
// it; v is left in any order, keys is scratch.
float SelectNth(std::vector<float>& v, size_t k, std::vector<uint32_t>& keys);

// [x0, x1) x [y0, y1).
struct Rect {
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  int32_t Width() const { return x1 - x0; }
  int32_t Height() const { return y1 - y0; }
  int64_t Area() const {
    return x1 > x0 && y1 > y0 ? static_cast<int64_t>(x1 - x0) * (y1 - y0) : 0;
  }
  bool operator==(const Rect&) const = default;
};

// The rectangle of ones that CentralMaskFraction makes for an image of w x h:
// the compared area of a frame, decided once when it is prepared.
Rect CentralRect(int32_t w, int32_t h, double fraction);

// The grey levels of a rectangle of any single-channel depth (8, 16, 32,
// 64 bits) or the mean of the channels (24, 48 bits) as floats; non-finite
// values become 0. False for other depths or when memory is short. half (when
// not null) gets Halve's block means in the same pass, while each pair of rows
// is still in the cache.
bool ToFloatGrey(int32_t handle, FloatImage* out, const DriftKernels& k,
                 FloatImage* half = nullptr);

// Block means of 2 x 2 pixels (the last odd row and column dropped).
bool Halve(const FloatImage& src, FloatImage* dst, const DriftKernels& k);

// The pyramid levels of a grey frame: levels[l] is 2^l x 2^l block means
// (level 0 the frame itself, kept only when it is the top).
struct Pyramid {
  std::vector<FloatImage> levels;
  int32_t top = 0;
};

// The top level for a comparison rectangle: the smallest level at which its
// shorter side is at most 40 pixels (0 for small rectangles).
int32_t TopLevel(const Rect& mask);

bool BuildPyramid(int32_t grey, int32_t top, Pyramid* pyramid, const DriftKernels& k);

// What the precise method learns of a frame while building its pyramid.
struct FrameStats {
  double median = 0, spread = 1;  // robust centre and spread of level 1's grey levels
  double deviation = 0;  // their standard deviation, the extreme 0.5 % on either side left out
  bool structure = false;         // level 1 varies significantly more than its noise
};

// The pyramid of a full-depth frame on a scale of its own: every level's grey
// levels as (v - median) / spread of the frame, clipped to +-kPyramidClip, so
// that the global search sees neither a change of gain or offset between
// frames nor the full height of hot pixels, cosmic rays or saturated spots.
// Level 0 is kept only when it is the top. False when memory is short.
inline constexpr float kPyramidClip = 10.0f;
// halved: level 1 is in place already (ToFloatGrey's half).
bool BuildScaledPyramid(const FloatImage& full, bool halved, const Rect& mask, int32_t top,
                        Pyramid* pyramid, FrameStats* stats, const DriftKernels& k);

// Mean of (B(x) - A(x + d))^2 over the pixels x of the rectangle (at the
// level's scale) whose partner lies in A; -1 when fewer than half of them do.
double LevelCost(const FloatImage& a, const FloatImage& b, const Rect& r, int32_t dx, int32_t dy,
                 const DriftKernels& k);

// What the global whole-pixel search found.
// Basins whose costs lie within this share of the best one's are not told
// apart: the pair is marked as matching no displacement clearly better.
inline constexpr double kIndistinct = 0.05;

struct GlobalMatch {
  bool ok = false;
  int32_t dx = 0, dy = 0;   // full-resolution estimate (level 1 position x 2, or level 0)
  int32_t level = 0;        // the level the estimate comes from
  double fx = 0, fy = 0;    // sub-pixel offset of the minimum from (dx, dy), full-resolution pixels
  double distinctness = -1; // second-best basin's cost / best's - 1
};

// The comparison rectangle at a level: the blocks that lie wholly inside it.
Rect LevelRect(const Rect& r, int32_t level, const FloatImage& img);

// Exhaustive search over every displacement up to maxShift pixels on the
// pyramid's top level, then the best match followed down to level `stop`
// (searching +-2 pixels at each level).
GlobalMatch GlobalSearch(const Pyramid& a, const Pyramid& b, const Rect& mask, int32_t maxShift,
                         int32_t stop, const DriftKernels& k);

// The match at pyramid level `level` position (px, py) followed down to level
// `stop`, as GlobalSearch follows its best one (distinctness not set); tight:
// only one pixel around the doubled position at each level, for a start
// already known to a pixel or two, which a wide walk could lead into the
// basin of something else.
GlobalMatch FollowDown(const Pyramid& a, const Pyramid& b, const Rect& mask, int32_t level,
                       int32_t px, int32_t py, int32_t stop, const DriftKernels& k, bool tight);

// Reference data of the precise method: the smoothed frame over the
// comparison rectangle and its gradients.
struct ReferenceData {
  Rect rect;
  FloatImage gx, gy, lap;
  double sigma = 0;          // the smoothing it was made with
  double gradientNoise = 0;  // expected square of the noise in each gradient component
  // Noise variance of the smoothed reference's values (the gain's regressor).
  double valueNoise = 0;
  // Where noise makes up most of the gradients' energy (faint, sparse fields:
  // beads in photon noise), the gradients shrunk by their local signal share
  // (a Wiener factor), which the shift's steps are solved with; empty
  // elsewhere. In flat background they are mostly noise, which would
  // otherwise multiply the noise of the residual.
  FloatImage shrunkX, shrunkY;
  // The smoothed frame over a margin around the rectangle, so that the frame
  // can be refined as the current frame of a pair without smoothing it again.
  Rect wideRect;
  FloatImage wide;
  // Row y of the smoothed frame over the rectangle (y counted from its top).
  const float* Smooth(int32_t y) const {
    return wide.Row(y + rect.y0 - wideRect.y0) + (rect.x0 - wideRect.x0);
  }
};

// Gaussian smoothing of src over the rectangle r (edges replicated).
bool SmoothRegion(const FloatImage& src, const Rect& r, double sigma, FloatImage* out,
                  const DriftKernels& k, Workspace& ws);

// noise: the standard deviation of the frame's noise. shrink: make the
// shrunk gradients where noise dominates them (for Refine).
bool PrepareReference(const FloatImage& full, const Rect& mask, double sigma, double noise,
                      ReferenceData* ref, const DriftKernels& k, Workspace& ws,
                      bool shrink = false);

// Mean squared gradient and variance of the frame smoothed with sigma over r
// (energy -1 on failure).
struct GradientStats {
  double energy = -1, variance = 0;
};
GradientStats GradientEnergy(const FloatImage& full, const Rect& r, double sigma,
                             const DriftKernels& k, Workspace& ws);

// The noise standard deviation of white noise in img over r (from 2 x 2
// checkerboard differences), the factor by which smoothing with sigma and the
// central-difference gradient scale noise variance into gradient energy, and
// the signal's gradient energy over its variance (the noise's share taken off
// both, so that neither noise nor brightness and contrast change it; 0 when
// nothing stands above the noise).
double NoiseLevel(const FloatImage& img, const Rect& r);
// img's values over r on a regular grid of about 4096 points (every step-th
// row and column from r's corner), replacing out's. Throws std::bad_alloc
// when memory is short.
void SampleGrid(const FloatImage& img, const Rect& r, std::vector<float>& out);
// The median of img over r from that sample (left, reordered, in ws.sample);
// 0 for an empty r.
float SampledMedian(const FloatImage& img, const Rect& r, Workspace& ws);
double NoiseGain(double sigma);
// The share of a pixel's noise variance left in a value smoothed by sigma.
double ValueNoiseGain(double sigma);
// Replaces img's samples by the coefficients of the cubic B-spline that
// passes through them (mirrored at the edges), which the motion kernels'
// warp_row resamples: nearly exact up to high frequencies, where cubic
// convolution's phase-dependent smoothing was most of a motion's error at low
// noise.
void SplineCoefficients(FloatImage& img);

// For white noise smoothed by sigma, per unit of the smoothed value's noise
// variance (ReferenceData::valueNoise): the expected product of the
// five-point Laplacian with the smoothed value (negative), and its expected
// square.
struct LaplacianNoise {
  double withValue = 0, squared = 0;
};
LaplacianNoise LaplacianNoiseGains(double sigma);
// Replaces isolated spikes (hot and dead pixels, single-pixel cosmic-ray
// hits) by the nearest value of their four neighbours: a pixel that stands
// more than kSpikeNoise noise deviations beyond all four, and more than
// kSpikeRatio times as far from the level two pixels away as they are (a
// dark one: as they are or three noise deviations). A spot sampled with a
// sigma of 0.4 pixel or more keeps its peak (its neighbours carry at least a
// thirtieth of it); the frame's border of two pixels is left. Returns how
// many were replaced; nothing without noise.
inline constexpr double kSpikeNoise = 6.0;
inline constexpr float kSpikeRatio = 30.0f;
// columns: scratch.
int64_t RemoveSpikes(FloatImage* img, double noise, const DriftKernels& k,
                     std::vector<int32_t>& columns);
double SignalEnergy(const FloatImage& full, const Rect& r, double sigma, double noise,
                    const DriftKernels& k, Workspace& ws);

// The smoothing at which the frame's signal energy over r (atBase at the
// base smoothing, above target) falls to target.
double MatchingSigma(const FloatImage& full, const Rect& r, double noise, double target,
                     double atBase, const DriftKernels& k, Workspace& ws);

// How much more blurred (Gaussian sigma, pixels of the image given) the
// current frame b is than the reference a over the compared pixels: positive
// when the current frame is blurrier, negative when the reference is, 0 when
// their signal energies agree within the focus ratio. *sigma receives the
// smoothing at which the sharper frame matches the blurrier one (base when
// they agree).
double FocusDifference(const FloatImage& a, const Rect& ra, double noiseA, const FloatImage& b,
                       const Rect& rb, double noiseB, double base, const DriftKernels& k,
                       Workspace& ws, double* sigma);

struct Refinement {
  bool ok = false;
  double dx = 0, dy = 0;
  // Standard error estimate (pixels) from the compared pixels' spread: what
  // the choices between refinements weigh.
  double precision = -1;
  // The standard error given: precision, or more where the errors on a
  // sparse field's point sources say so (the background sets precision).
  double standardError = -1;
  double blur = 0;        // the Laplacian term: > 0 when the current frame is blurrier
  double inliers = 0;     // mean robust weight of the compared pixels
  int32_t iterations = 0;
};

// Robust Gauss-Newton refinement of the displacement of `current` (full
// depth, smoothed with sigma) against the reference, starting at (dx0, dy0).
// `own`, when given, is the current frame's own reference data: its wide
// smoothing is used when it has the same sigma and covers what is read.
// brightness: how much brighter the current frame's structure is than the
// reference's (the ratio of their robust spreads); the shift's steps are
// divided by it, so that a brighter frame does not overshoot. contrast: the
// same with the frames' noise taken off, where their signal outweighs it (0:
// not known); the fitted gain stays near it.
Refinement Refine(const ReferenceData& ref, const FloatImage& current, double dx0, double dy0,
                  double sigma, const DriftKernels& k, Workspace& ws,
                  const ReferenceData* own = nullptr, double brightness = 1.0,
                  double contrast = 0.0);

// The displacement of a field of faint point sources (beads, stars in photon
// noise) by a model of its spots: Gaussians found in both frames' smoothed
// sum, each with its own place and brightness in either frame, a width and
// a background per frame, fitted with the displacement to both
// frames' pixels (a over ra, b over where ra lies at the start (dx0, dy0)).
// noiseA, noiseB: the frames' noise standard deviations. Not ok where fewer
// than 8 spots stand out, where they are too dense to be told apart, or
// where the fit does not settle; memory short: not ok, error pending.
struct SpotFit {
  bool ok = false;
  double dx = 0, dy = 0;
  double precision = -1;  // standard error of the larger axis, pixels
  double fit = 0;         // mean squared residual over the given noise's variance (1: the model explains all)
  double width = 0;       // the spots' fitted sigma in the reference, pixels
  int32_t spots = 0, rounds = 0;
};
// A spot model's result stands where its fit is under kSpotsFit (the
// frames' noise from pixel differences takes Poisson noise of a few photons
// for about a fifth less variance than it has) and it lies within
// kSpotsAgree standard errors (both results' combined) of the comparison's.
inline constexpr double kSpotsFit = 1.5;
// The comparison's standard error (pixels) above which a spot model is tried.
inline constexpr double kSpotsWorth = 0.05;
inline constexpr double kSpotsAgree = 3.0;
// The share of the comparison's result mixed into the spots' where theirs
// stands. The fit leaves out the spots too faint to be found, which the
// comparison weighs: over six draws of faint beads their errors correlated by
// 0.44 to 0.82 (0.65 typical) and the comparison's was 1.2 to 1.4 times the
// fit's, for which the mix of least variance takes about 0.15 of it.
inline constexpr double kSpotsMix = 0.15;
SpotFit FitSpots(const FloatImage& a, const Rect& ra, double noiseA, const FloatImage& b,
                 double noiseB, double dx0, double dy0, const DriftKernels& k, Workspace& ws);

// A motion of a model other than translation, about a centre (cx, cy): a
// feature at p of the current frame lies at M (p - c) + c + d of the
// reference, M = (a11 a12; a21 a22).
struct Motion {
  double a11 = 1, a12 = 0, a21 = 0, a22 = 1, dx = 0, dy = 0;
};

// The same motion on pyramid level `level` (block means of 2^level pixels),
// or back from it (down false): the matrix stays, the displacement scales.
Motion AtLevel(const Motion& m, int32_t level, bool down);

// The centre of a w x h frame and its place on pyramid level `level`.
double CentreOf(int32_t size, int32_t level);

// How far (pixels) a motion's samples keep from the frame's edges when the
// frames are smoothed with sigma: the smoothing repeats the edge pixels, but
// the outermost pixels carry most of a turn's information (2.7 sigma + 2
// cost a photograph at noise 8 a twentieth of its angle's precision, more
// than the repeated edges cost it).
double MotionEdge(double sigma);

// M's rotation (radians, counter-clockwise with y up) and scale.
double MotionAngle(const Motion& m);
// m made exactly the model's: a rotation (rigid), or a rotation and a scale
// (similarity), with its angle (and scale); affine leaves it as it is.
void ProjectMotion(Motion& m, int32_t model);
double MotionScale(const Motion& m);

struct MotionRefinement {
  bool ok = false;
  Motion m;
  double precision = -1;  // standard error of the centre's displacement, pixels
  double matrixError = 0; // the same convention for the matrix's entries beyond the identity
  double inliers = 0;     // mean robust weight of the compared pixels
  double cost = 0;        // robust scale of the model error at the end
  double blur = 0;        // the fitted blur: the reference's Laplacian's factor
  int32_t iterations = 0;
};

// Robust Gauss-Newton refinement of a motion of the model (kDriftRigid,
// kDriftSimilarity or kDriftAffine) of `current` (unsmoothed; smoothed here
// with sigma over what the reference's rectangle reads) against the
// reference data, about (cx, cy), from start; the photometric offset, gain
// and blur as the translation's refinement has them. step: every step-th
// row and column is compared (1 at full precision). brightness as Refine's.
// rounds: at most this many Gauss-Newton steps (a rough answer suffices
// where only a motion's size matters).
MotionRefinement RefineMotion(const ReferenceData& ref, const FloatImage& current,
                              const Motion& start, double cx, double cy, int32_t model,
                              double sigma, int32_t step, const DriftKernels& k, Workspace& ws,
                              double brightness = 1.0, int32_t rounds = 30);

// Candidates for the rotation and scale of current against reference (both
// a pyramid level of the frames, the same one): the peaks of the phase
// correlation of their magnitude spectra over a log-polar grid, which no
// displacement changes. Angles in radians within +-45 degrees, scales within
// 0.7 to 1.43, best first; empty when the frames are too small or memory is short.
struct TurnCandidate {
  double angle = 0, scale = 1, score = 0;
};
std::vector<TurnCandidate> TurnCandidates(const FloatImage& reference, const FloatImage& current,
                                          int32_t count);

// The precise method's measurement of a motion of the model: the
// translation's start (sx, sy) and those of the turns the spectra find (on
// the pyramid level about 320 pixels across), each refined on a coarse level,
// the best followed down the pyramid to the full frame. The levels and the
// full frame compare all of the frame that lies clear of its edges (the
// lever arm of a turn is the frame's, not the compared area's): the full
// frame's reference data is made here from `reference` (the reference
// frame's grey levels; ref gives its noise), current is the current frame's.
// The translation's start comes from the compared area (mask).
struct MotionResult {
  bool ok = false;
  Motion m;
  double precision = -1, inliers = 0;
  double startDx = 0, startDy = 0;  // the start that was taken
  // The rigid model where the frames also scale: how far the scale it
  // leaves out moves the compared area's corners (pixels); 0 otherwise.
  double turn = 0;
};
MotionResult MeasureMotion(const Pyramid& a, const Pyramid& b, const ReferenceData& ref,
                           const FloatImage& reference, const FloatImage& current, const Rect& mask, int32_t w, int32_t h,
                           int32_t model, double sx, double sy, double brightness,
                           const DriftKernels& k, Workspace& ws);

// How far (full-resolution pixels) the similarity that a coarse level fits
// from the displacement (dx, dy) moves the corners of the compared area
// beyond that displacement: the rotation or scale change a translation
// leaves in its residual. 0 when the levels are too small to tell.
double ResidualTurn(const Pyramid& a, const Pyramid& b, const Rect& mask, int32_t w, int32_t h,
                    double dx, double dy, const DriftKernels& k, Workspace& ws);

// DriftClassify's work: marks the suspect results and returns their number.
// Nothing is marked before every limit is known, so that a shortage of
// memory (std::bad_alloc) leaves the results as they were.
int32_t Classify(DriftResult* results, int32_t n);

}  // namespace vantor::drift

#endif
