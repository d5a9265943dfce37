#include "memrect/neifun.h"

#include <cstddef>
#include <memory>
#include <new>

#include "generic/keywords.h"
#include "improc/nei.h"
#include "improc/nei_codes.h"
#include "improc/nei_vec.h"
#include "kernels/kernel_mode.h"
#include "kernels/kernels.h"
#include "memrect/memrect.h"

namespace {

namespace code = vantor::nei;

constexpr char kSingleList[] =
    "AVER124 MEDIAN BLUR ERODE8 DILATE8  ERODE4 DILATE4 ERODEh2 DILATEh2  ERODEv2 DILATEv2 "
    "Open8 Close8 Open4 Close4 ";
constexpr int32_t kSingleCodes[] = {code::kAver124, code::kMedian,    code::kBlur,
                                    code::kErode8,  code::kDilate8,   code::kErode4,
                                    code::kDilate4, code::kErodeH2,   code::kDilateH2,
                                    code::kErodeV2, code::kDilateV2,  code::kOpen8,
                                    code::kClose8,  code::kOpen4,     code::kClose4};

constexpr char kMixedList[] =
    "ERODE84 DILATE84  ERODE48 DILATE48 Open84 Close84 Open48 Close48 ";

// The schedules: which shape the odd steps use when they alternate, whether
// the first half erodes, and whether a second half of the dual follows.
struct Mixed {
  bool squareOnOdd;
  bool erodeFirst;
  bool twoHalves;
};
constexpr Mixed kMixed[] = {
    {true, true, false},    // ERODE84
    {true, false, false},   // DILATE84
    {false, true, false},   // ERODE48
    {false, false, false},  // DILATE48
    {true, true, true},     // Open84
    {true, false, true},    // Close84
    {false, true, true},    // Open48
    {false, false, true},   // Close48
};

int32_t MorphCode(bool square, bool erode) {
  if (square) return erode ? code::kErode8 : code::kDilate8;
  return erode ? code::kErode4 : code::kDilate4;
}

using vantor::NeiStep;
using vantor::nei::Shape;

bool VectorMode() { return tmKernelMode() == 3; }

// An elementary run: n steps of the row, column or cross minimum / maximum.
// Every operation code splits into such runs (a square into a row run and a
// column run, an opening or closing into its two halves).
struct Run {
  Shape shape;
  bool erode;
  int32_t n;
};

// Calls f for each run of n steps of code c; false for codes without runs
// (smoothing and unassigned codes).
template <class F>
bool ForEachRun(int32_t c, int32_t n, F f) {
  const vantor::nei::MorphPlan plan = vantor::nei::PlanMorph(c);
  for (int k = 0; k < plan.count; ++k) {
    const vantor::nei::MorphStep st = plan.step[k];
    if (st.shape == Shape::kSquare) {
      f(Run{Shape::kRow, st.erode, n});
      f(Run{Shape::kColumn, st.erode, n});
    } else {
      f(Run{st.shape, st.erode, n});
    }
  }
  return plan.count != 0;
}

// The scalar code of a run.
int32_t RunCode(const Run& r) {
  switch (r.shape) {
    case Shape::kRow: return r.erode ? code::kErodeH2 : code::kDilateH2;
    case Shape::kColumn: return r.erode ? code::kErodeV2 : code::kDilateV2;
    default: return r.erode ? code::kErode4 : code::kDilate4;
  }
}

// A mask run through tmBitNeiInPlace. Each call either does all its steps or,
// without scratch memory, returns -1 having written nothing.
int32_t MaskRunVector(uint8_t* px, int32_t w, int32_t h, int32_t pitch, const Run& r) {
  const int32_t shape = r.shape == Shape::kRow ? 0x10 : r.shape == Shape::kColumn ? 0x20 : 0x40;
  return tmBitNeiInPlace(px, w, h, pitch, shape | (r.erode ? 1 : 0), r.n) < 0 ? -1 : 0;
}

// A byte run through tmByteNeiH2 / tmByteNeiV2, all n steps in one call;
// -1 (nothing written) without scratch memory. The cross has no run kernel
// of its own: it goes to the row pipeline, or here to the scalar kernel.
int32_t ByteRunVector(uint8_t* px, int32_t w, int32_t h, int32_t pitch, const Run& r) {
  const int32_t flags = r.erode ? TM_NEI_ERODE : 0;
  if (r.shape == Shape::kRow) return tmByteNeiH2(px, px, w, h, pitch, pitch, flags, r.n);
  if (r.shape == Shape::kColumn) return tmByteNeiV2(px, px, w, h, pitch, pitch, flags, r.n);
  return -1;
}

// Single square steps (up to this many) and cross steps go to the row
// pipeline of the vector filters when a stretch of them holds a cross: it
// makes all their passes in one sweep down the image, where the cross kernels
// would pass over the image once per step (about 2x faster on "DILATE4" and
// on short "DILATE84" schedules). Everything else runs through the tm
// kernels, which do runs of any length in one call.
constexpr int32_t kPipelinedSquareSteps = 8;

bool IsCross(int32_t c) {
  return c == code::kErode4 || c == code::kDilate4 || c == code::kOpen4 || c == code::kClose4;
}

bool Pipelinable(const NeiStep& s) {
  if (IsCross(s.code)) return true;
  const bool square = s.code == code::kErode8 || s.code == code::kDilate8 ||
                      s.code == code::kOpen8 || s.code == code::kClose8;
  return square && s.n <= kPipelinedSquareSteps;
}

// Length of the stretch from steps[i] that goes to the pipeline, 0 if none.
size_t PipelineStretch(const NeiStep* steps, size_t i, size_t count) {
  size_t j = i;
  bool cross = false;
  for (; j < count && (steps[j].n < 1 || Pipelinable(steps[j])); ++j) {
    cross = cross || (steps[j].n >= 1 && IsCross(steps[j].code));
  }
  return cross ? j - i : 0;
}

// The steps in order. In the vector mode each is done by the tm kernels run
// by run, by the row pipeline (see above) or, for smoothing, by the vector
// smoothing kernels; whatever finds no scratch memory is done by the scalar
// kernel instead, which needs a few rows only.
template <class Pipeline, class RunVector, class Scalar>
int32_t FilterSteps(const NeiStep* steps, size_t count, Pipeline pipeline, RunVector runVector,
                    Scalar scalar) {
  const bool vector = VectorMode();
  int32_t result = 0;
  for (size_t i = 0; i < count && result == 0;) {
    if (vector) {
      if (const size_t len = PipelineStretch(steps, i, count); len > 0) {
        if (pipeline(steps + i, len) == 0) {
          i += len;
          continue;
        }
      }
    }
    const NeiStep& s = steps[i++];
    if (s.n < 1) continue;
    const bool morph = ForEachRun(s.code, s.n, [&](const Run& r) {
      if (result != 0) return;
      if (vector && runVector(r) == 0) return;
      result = scalar(RunCode(r), r.n);
    });
    if (morph) continue;
    if (vector && pipeline(&s, 1) == 0) continue;  // smoothing
    result = scalar(s.code, s.n);
  }
  return result == 0 ? 0 : -1;
}

int32_t Filter8(void* pixels, int32_t w, int32_t h, int32_t pitch, const NeiStep* steps,
                size_t count) {
  uint8_t* px = static_cast<uint8_t*>(pixels);
  return FilterSteps(
      steps, count,
      [&](const NeiStep* st, size_t k) { return vantor::NeiMemVectorSteps(px, w, h, pitch, st, k); },
      [&](const Run& r) { return ByteRunVector(px, w, h, pitch, r); },
      [&](int32_t c, int32_t n) { return NeiMem(px, w, h, pitch, c, n); });
}

int32_t Filter1(void* pixels, int32_t w, int32_t h, int32_t pitch, const NeiStep* steps,
                size_t count) {
  uint8_t* px = static_cast<uint8_t*>(pixels);
  return FilterSteps(
      steps, count,
      [&](const NeiStep* st, size_t k) { return vantor::MaskNeiVectorSteps(px, w, h, pitch, st, k); },
      [&](const Run& r) { return MaskRunVector(px, w, h, pitch, r); },
      [&](int32_t c, int32_t n) { return MaskNei(px, w, h, pitch, c, n); });
}

// Colour: each channel is taken out as a grey plane, filtered (red, green,
// blue) and put back; on any failure the image keeps its pixels.
int32_t Filter24(uint8_t* px, int32_t w, int32_t h, int32_t pitch, const NeiStep* steps,
                 size_t count) {
  const size_t plane = static_cast<size_t>(w) * static_cast<size_t>(h);
  std::unique_ptr<uint8_t[]> planes(new (std::nothrow) uint8_t[3 * plane]);
  if (!planes) return -1;
  const int channel[3] = {2, 1, 0};  // red, green, blue within a blue-green-red pixel
  for (int c = 0; c < 3; ++c) {
    uint8_t* dst = planes.get() + c * plane;
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* row = px + static_cast<ptrdiff_t>(y) * pitch + channel[c];
      for (int32_t x = 0; x < w; ++x) dst[static_cast<size_t>(y) * w + x] = row[3 * x];
    }
  }
  for (int c = 0; c < 3; ++c) {
    if (Filter8(planes.get() + c * plane, w, h, w, steps, count) != 0) return -1;
  }
  for (int c = 0; c < 3; ++c) {
    const uint8_t* src = planes.get() + c * plane;
    for (int32_t y = 0; y < h; ++y) {
      uint8_t* row = px + static_cast<ptrdiff_t>(y) * pitch + channel[c];
      for (int32_t x = 0; x < w; ++x) row[3 * x] = src[static_cast<size_t>(y) * w + x];
    }
  }
  return 0;
}

int32_t Dispatch(int32_t handle, const NeiStep* steps, size_t count) {
  int32_t w = 0, h = 0, pitch = 0;
  void* px = nullptr;
  const int32_t depth = mrGetExtendedInfo(handle, &w, &h, &pitch, &px);
  if (depth != 1 && depth != 8 && depth != 24) return -1;
  if (w <= 0 || h <= 0) return 0;  // an empty rectangle has nothing to filter
  switch (depth) {
    case 1: return Filter1(px, w, h, pitch, steps, count);
    case 8: return Filter8(px, w, h, pitch, steps, count);
    default: return Filter24(static_cast<uint8_t*>(px), w, h, pitch, steps, count);
  }
}

// A schedule as one list of steps, dispatched at once so that the vector
// kernels keep the image in their scratch copy from the first step to the
// last.
int32_t RunMixed(int32_t handle, const Mixed& m, int32_t n) {
  NeiStep steps[10];
  size_t count = 0;
  const int halves = m.twoHalves ? 2 : 1;
  if (n > 5) {
    // d square steps and e cross steps per half, d / n close to sqrt(2) - 1.
    const int32_t d = static_cast<int32_t>(int64_t{n} * 4142 / 10000);
    const int32_t e = n - d;
    for (int half = 0; half < halves; ++half) {
      const bool erode = (half == 0) == m.erodeFirst;
      steps[count++] = {MorphCode(true, erode), d};
      steps[count++] = {MorphCode(false, erode), e};
    }
  } else {
    // One step at a time; the second half continues the step counter, so
    // for odd n it starts with the other shape.
    for (int32_t i = 1; i <= halves * n; ++i) {
      const bool erode = (i <= n) == m.erodeFirst;
      const bool square = (i % 2 == 1) == m.squareOnOdd;
      steps[count++] = {MorphCode(square, erode), 1};
    }
  }
  return Dispatch(handle, steps, count);
}

}  // namespace

extern "C" int32_t mrNeiFun(int32_t h, const char* keyword, int32_t n) {
  if (n < 1) return 0;
  if (keyword == nullptr) return -1;
  if (const uint32_t k = WordInText(kSingleList, nullptr, 0, keyword, 0); k != 0) {
    const NeiStep step{kSingleCodes[k - 1], n};
    return Dispatch(h, &step, 1);
  }
  const uint32_t k = WordInText(kMixedList, nullptr, 0, keyword, 0);
  if (k == 0) return -1;
  return RunMixed(h, kMixed[k - 1], n);
}
