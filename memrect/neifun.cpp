#include "memrect/neifun.h"

#include <cstddef>
#include <memory>
#include <new>

#include "generic/keywords.h"
#include "improc/nei.h"
#include "improc/nei_codes.h"
#include "improc/nei_vec.h"
#include "kernels/kernel_mode.h"
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

bool VectorMode() { return tmKernelMode() == 3; }

// The steps run in order. In the vector mode they share one scratch copy of
// the image; without memory for it the scalar kernels, which need a few rows
// only, do the work.
int32_t Filter8(void* px, int32_t w, int32_t h, int32_t pitch, const NeiStep* steps,
                size_t count) {
  if (VectorMode() && vantor::NeiMemVectorSteps(px, w, h, pitch, steps, count) == 0) return 0;
  for (size_t i = 0; i < count; ++i) {
    if (NeiMem(px, w, h, pitch, steps[i].code, steps[i].n) != 0) return -1;
  }
  return 0;
}

int32_t Filter1(void* px, int32_t w, int32_t h, int32_t pitch, const NeiStep* steps,
                size_t count) {
  if (VectorMode() && vantor::MaskNeiVectorSteps(px, w, h, pitch, steps, count) == 0) return 0;
  for (size_t i = 0; i < count; ++i) {
    if (MaskNei(px, w, h, pitch, steps[i].code, steps[i].n) != 0) return -1;
  }
  return 0;
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
