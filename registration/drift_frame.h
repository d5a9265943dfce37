// The prepared frame and the workspace behind the drift API's opaque
// handles, and what the pair measurements of both methods share: drift.cpp
// prepares frames and measures by the registration search, drift_precise.cpp
// by the precise method.
#ifndef VANTOR_REGISTRATION_DRIFT_FRAME_H
#define VANTOR_REGISTRATION_DRIFT_FRAME_H

#include <cstdint>
#include <vector>

#include "memrect/rect_owner.h"
#include "registration/drift.h"
#include "registration/drift_internal.h"
#include "registration/phase_start.h"
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

namespace vantor::drift {

// Smoothing of the level the registration search compares focus on.
inline constexpr double kLevelSigma = 0.7;

// The pixels of the reference's rectangle r whose partners at displacement
// (dx, dy) lie in the current frame, and those partners.
void Overlap(const Rect& r, int32_t dx, int32_t dy, int32_t w, int32_t h, Rect* inA, Rect* inB);

// Where the two frames' noise differs, the spreads no longer compare their
// signals: on a mostly flat field the spread is mostly noise. Where the
// signal clearly outweighs the noise in both (noise under 0.6 of the
// standard deviation), the brightness and the contrast are the ratio of the
// standard deviations with each frame's noise taken off; below that those
// are themselves mostly noise, and both stay.
void SignalsCompared(const DriftFrame* a, const DriftFrame* b, double* bright, double* contrast);

// Whether the frames' signal energies over their own rectangles differ
// enough to compare their focus where they overlap.
bool FocusMayDiffer(const DriftFrame* a, const DriftFrame* b);

// Mean cost of the level-0 grey images at a whole-pixel displacement: the
// registration's own cost (bilinear sampling at whole pixels).
double GreyCost(const ResolvedPair& pair, double dx, double dy);

// The mask the registration search compares through for current frame b:
// the caller's, once checked to be b's rectangle as a 1-bit image of its
// size, or, when the caller passes 0, one made from that rectangle (kept in
// the workspace for the next pair). 0 with the cause stated when the caller's
// disagrees or memory is short.
int32_t PairMask(const DriftFrame* b, int32_t mask, MaskRows* rows);

// The precise method's pair (b against a) into *r; a failure leaves its
// cause pending.
void MeasurePrecise(const DriftFrame* a, const DriftFrame* b, int32_t mask, int32_t model,
                    const DriftKernels& k, DriftWorkspace& ws, DriftResult* r);

}  // namespace vantor::drift

#endif  // VANTOR_REGISTRATION_DRIFT_FRAME_H
