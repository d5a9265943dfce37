// The whole-pixel global start of the drift measurement: frames reduced to a
// coarse square, cleaned (mean removed, extremes clamped, edges tapered) and
// turned into whitened spectra, then the strongest peaks of their phase
// correlation as candidate displacements. Includes the small real 2-D FFT it
// runs on, exposed here for its tests.
#ifndef VANTOR_REGISTRATION_PHASE_START_H
#define VANTOR_REGISTRATION_PHASE_START_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "registration/start_fft.h"

namespace vantor::drift {



// A frame prepared for the start: its whitened spectrum at a coarse scale.
struct StartFrame {
  int32_t size = 0;           // FFT side
  int32_t factor = 0;         // input pixels per coarse pixel along each axis
  int32_t w = 0, h = 0;       // the input frame's size
  std::vector<float> re, im;  // whitened half spectrum, fft::Real2D layout
  fft::Twiddles twiddles;
};

// img: the frame (float pixels, rows `pitch` floats apart, w x h); valid:
// optional weights in [0, 1] with the same layout (0 invalid, nullptr: all
// valid); non-finite pixels count as invalid. size: the FFT side, a power of
// two from 8 to 4096; the frame is reduced by block means of factor x factor
// pixels to fit. False on bad input, a frame with no valid pixel, or when
// memory is short.
bool PrepareStart(const float* img, int32_t w, int32_t h, std::ptrdiff_t pitch, const float* valid,
                  int32_t size, StartFrame* out);

// In the input frame's pixels; score is the peak's share of the whitened
// spectrum's weight (1 for identical frames).
struct StartCandidate {
  double dx, dy;
  double score;
};

// The k strongest distinct peaks of the phase correlation of the two frames,
// as displacements d such that a feature at p of current lies at p + d of
// reference, best first. A peak's aliases along each axis (d and d - N, N the
// period in input pixels) are each returned when both components are within
// maxShift; peaks with no such alias are passed over and do not count towards
// k. Empty when the frames were prepared differently, k < 1, maxShift is
// negative or NaN, or memory is short.
std::vector<StartCandidate> StartCandidates(const StartFrame& reference, const StartFrame& current,
                                            int32_t k, double maxShift);

}  // namespace vantor::drift

#endif  // VANTOR_REGISTRATION_PHASE_START_H
