// Neighbourhood kernels that take a list of steps (internal): single square
// and cross steps folded into one sweep down the image, and the smoothing
// filters. The run kernels of kernels.h (tmByteNeiH2, tmByteNeiV2,
// tmBitNeiInPlace) do long row and column runs; these do what they do not do
// well. Results equal those of NeiMem and MaskNei bit for bit.
#ifndef VANTOR_KERNELS_NEI_STEPS_H
#define VANTOR_KERNELS_NEI_STEPS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace vantor::nei {

// The window of a single minimum/maximum step.
enum class Shape { kSquare, kCross, kRow, kColumn };

// n steps of one window, minimum (AND on masks) when erode, else maximum (OR).
struct Pass {
  Shape shape;
  bool erode;
  int32_t n;
};

// Beyond this many steps a clipped minimum/maximum window covers the whole
// extent it can reach, so further steps change nothing; n is cut to it so
// that huge counts cost no more than useful ones.
inline int32_t UsefulSteps(Shape s, int32_t n, int32_t width, int32_t height) {
  int64_t limit = 0;
  switch (s) {
    case Shape::kSquare: limit = std::max(width, height) - 1; break;
    case Shape::kCross: limit = int64_t{width} + height - 2; break;
    case Shape::kRow: limit = width - 1; break;
    case Shape::kColumn: limit = height - 1; break;
  }
  return static_cast<int32_t>(std::min<int64_t>(n, limit));
}

// Square passes of up to this many steps go into a sweep; longer squares are
// a row run and a column run of the run kernels.
constexpr int32_t kSweepSquareSteps = 8;

// Runs the square and cross passes in order in as few sweeps down the image
// as their depth allows, on an 8-bit image (Byte) or a 1-bit mask (Bit) in
// place. Counts below 1 are skipped. Returns 0 done, -1 (pixels unchanged)
// for an invalid rectangle, a row or column pass, a square of more than
// kSweepSquareSteps steps, or scratch memory that cannot be had.
int32_t ByteSweep(uint8_t* pixels, int32_t width, int32_t height, int32_t pitch,
                  const Pass* passes, size_t count);
int32_t BitSweep(uint8_t* pixels, int32_t width, int32_t height, int32_t pitch,
                 const Pass* passes, size_t count);

// The smoothing filters of an 8-bit image: rows, then columns, n times, with
// the pixel itself standing for a missing neighbour at a line end; stops early
// at a fixed point.
enum class Smoothing {
  kAver124,  // (p + 2c + q + 2) / 4 along both
  kMedian,   // median of three along both
  kBlur,     // (p + c + q + 2) / 3 along rows, (p + c + q + 1) / 3 along columns
};

// Returns 0 done, -1 (pixels unchanged) for an invalid rectangle or scratch
// memory that cannot be had.
int32_t ByteSmooth(uint8_t* pixels, int32_t width, int32_t height, int32_t pitch,
                   Smoothing kind, int32_t n);

}  // namespace vantor::nei

#endif
