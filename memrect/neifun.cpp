// mrNeiFun: the keyword becomes a list of steps, and every run of steps one
// kernel call: in the vector mode the sweep kernel for stretches of square and
// cross steps, the run kernels for rows and columns and the smoothing kernel;
// in the scalar mode (and wherever a vector kernel finds no scratch memory)
// NeiMem or MaskNei, step by step.
#include "memrect/neifun.h"

#include <cstddef>
#include <memory>
#include <new>

#include "generic/keywords.h"
#include "generic/last_error.h"
#include "improc/nei.h"
#include "improc/nei_codes.h"
#include "kernels/kernel_path.h"
#include "kernels/kernels.h"
#include "kernels/nei_steps.h"
#include "memrect/memrect.h"

namespace {

namespace code = vantor::nei;
namespace err = vantor::err;
using vantor::nei::Pass;
using vantor::nei::Shape;
using vantor::nei::Smoothing;

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

// One step of the list: n steps of a single window, or n smoothing steps.
struct Step {
  bool smoothing = false;
  Pass pass{};
  Smoothing kind{};
  int32_t n = 0;
};

// The list of a request. A schedule gives at most 10 steps, each a single
// window; a single code at most 2.
struct StepList {
  static constexpr size_t kMax = 10;
  Step step[kMax];
  size_t count = 0;

  void Window(Shape s, bool erode, int32_t n) {
    Step& st = step[count++];
    st.pass = Pass{s, erode, n};
    st.n = n;
  }
  // n steps of an operation code (an opening or closing is two windows).
  void Code(int32_t c, int32_t n) {
    if (c == code::kAver124 || c == code::kMedian || c == code::kBlur) {
      Step& st = step[count++];
      st.smoothing = true;
      st.kind = c == code::kAver124 ? Smoothing::kAver124
                : c == code::kMedian ? Smoothing::kMedian
                                     : Smoothing::kBlur;
      st.n = n;
      return;
    }
    const code::MorphPlan plan = code::PlanMorph(c);
    for (int k = 0; k < plan.count; ++k) Window(plan.step[k].shape, plan.step[k].erode, n);
  }
};

// The scalar code of a step.
int32_t ScalarCode(const Step& s) {
  if (s.smoothing) {
    return s.kind == Smoothing::kAver124 ? code::kAver124
           : s.kind == Smoothing::kMedian ? code::kMedian
                                          : code::kBlur;
  }
  const bool e = s.pass.erode;
  switch (s.pass.shape) {
    case Shape::kSquare: return e ? code::kErode8 : code::kDilate8;
    case Shape::kCross: return e ? code::kErode4 : code::kDilate4;
    case Shape::kRow: return e ? code::kErodeH2 : code::kDilateH2;
    default: return e ? code::kErodeV2 : code::kDilateV2;
  }
}

// The image a list runs on, with the kernel mode read once for the request.
struct Target {
  uint8_t* px;
  int32_t w, h, pitch;
  bool mask;
  bool vector;

  // The scalar kernels refuse only for want of scratch (the rectangle is valid).
  int32_t Scalar(const Step& s) const {
    if ((mask ? MaskNei : NeiMem)(px, w, h, pitch, ScalarCode(s), s.n) == 0) return 0;
    return err::FailMemory(), -1;
  }

  // A row or column run in one call; -1 (nothing written) without scratch.
  int32_t Run(Shape s, bool erode, int32_t n) const {
    if (mask) {
      const int32_t shape = s == Shape::kRow ? 0x10 : 0x20;
      return tmBitNeiInPlace(px, w, h, pitch, shape | (erode ? 1 : 0), n) < 0 ? -1 : 0;
    }
    const int32_t flags = erode ? TM_NEI_ERODE : 0;
    return (s == Shape::kRow ? tmByteNeiH2 : tmByteNeiV2)(px, px, w, h, pitch, pitch, flags, n);
  }

  // One step by the vector kernels, whatever fails by the scalar kernel. A
  // square is its row run and its column run.
  int32_t Vector(const Step& s) const {
    if (s.smoothing) {
      if (mask) return 0;  // masks are not smoothed
      if (vantor::nei::ByteSmooth(px, w, h, pitch, s.kind, s.n) == 0) return 0;
      return Scalar(s);
    }
    const Pass& p = s.pass;
    if (p.shape == Shape::kSquare) {
      for (Shape run : {Shape::kRow, Shape::kColumn}) {
        Step half = s;
        half.pass.shape = run;
        if (Vector(half) != 0) return -1;
      }
      return 0;
    }
    if (p.shape == Shape::kCross) {
      if (mask && tmBitNeiInPlace(px, w, h, pitch, 0x40 | (p.erode ? 1 : 0), s.n) >= 0) return 0;
      return Scalar(s);
    }
    return Run(p.shape, p.erode, s.n) == 0 ? 0 : Scalar(s);
  }

  // Single square steps (up to the sweep's depth) and cross steps go to the
  // sweep kernel when a stretch of them holds a cross: it makes all their
  // passes in one sweep down the image, where the run kernels would pass
  // over the image once per cross step (about 2x faster on "DILATE4" and on
  // short "DILATE84" schedules). Returns the length of the stretch from
  // list.step[i], 0 if none.
  size_t SweepStretch(const StepList& list, size_t i) const {
    size_t j = i;
    bool cross = false;
    for (; j < list.count; ++j) {
      const Step& s = list.step[j];
      if (s.smoothing) break;
      const Pass& p = s.pass;
      if (p.shape == Shape::kCross) {
        cross = true;
      } else if (p.shape != Shape::kSquare ||
                 vantor::nei::UsefulSteps(p.shape, p.n, w, h) > vantor::nei::kSweepSquareSteps) {
        break;
      }
    }
    return cross ? j - i : 0;
  }

  int32_t Filter(const StepList& list) const {
    for (size_t i = 0; i < list.count;) {
      if (vector) {
        if (const size_t len = SweepStretch(list, i); len > 0) {
          Pass passes[StepList::kMax];
          for (size_t k = 0; k < len; ++k) passes[k] = list.step[i + k].pass;
          if ((mask ? vantor::nei::BitSweep : vantor::nei::ByteSweep)(px, w, h, pitch, passes,
                                                                      len) == 0) {
            i += len;
            continue;
          }
        }
      }
      const Step& s = list.step[i++];
      if ((vector ? Vector(s) : Scalar(s)) != 0) return -1;
    }
    return 0;
  }
};

// Colour: each channel is taken out as a grey plane, filtered (red, green,
// blue) and put back; on any failure the image keeps its pixels.
int32_t Filter24(uint8_t* px, int32_t w, int32_t h, int32_t pitch, const StepList& list,
                 bool vector) {
  const size_t plane = static_cast<size_t>(w) * static_cast<size_t>(h);
  std::unique_ptr<uint8_t[]> planes(new (std::nothrow) uint8_t[3 * plane]);
  if (!planes) return err::FailMemory(), -1;
  const int channel[3] = {2, 1, 0};  // red, green, blue within a blue-green-red pixel
  for (int c = 0; c < 3; ++c) {
    uint8_t* dst = planes.get() + c * plane;
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* row = px + static_cast<ptrdiff_t>(y) * pitch + channel[c];
      for (int32_t x = 0; x < w; ++x) dst[static_cast<size_t>(y) * w + x] = row[3 * x];
    }
  }
  for (int c = 0; c < 3; ++c) {
    const Target t{planes.get() + c * plane, w, h, w, false, vector};
    if (t.Filter(list) != 0) return -1;
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

// The whole list on the rectangle, as one request: the vector kernels keep a
// stretch of steps in their scratch rows from its first step to its last.
int32_t Dispatch(int32_t handle, const StepList& list) {
  int32_t w = 0, h = 0, pitch = 0;
  void* px = nullptr;
  const int32_t depth = mrGetExtendedInfo(handle, &w, &h, &pitch, &px);
  if (depth < 0) return -1;  // the handle's cause is stated
  if (depth != 1 && depth != 8 && depth != 24) return err::FailDepth(handle, depth), -1;
  if (w <= 0 || h <= 0) return 0;  // an empty rectangle has nothing to filter
  const bool vector = vantor::CurrentKernelPath() == vantor::KernelPath::kVector;
  uint8_t* p = static_cast<uint8_t*>(px);
  if (depth == 24) return Filter24(p, w, h, pitch, list, vector);
  return Target{p, w, h, pitch, depth == 1, vector}.Filter(list);
}

// The steps of a schedule.
StepList Schedule(const Mixed& m, int32_t n) {
  StepList list;
  const int halves = m.twoHalves ? 2 : 1;
  auto window = [&](bool square, bool erode, int32_t count) {
    list.Window(square ? Shape::kSquare : Shape::kCross, erode, count);
  };
  if (n > 5) {
    // d square steps and e cross steps per half, d / n close to sqrt(2) - 1.
    const int32_t d = static_cast<int32_t>(int64_t{n} * 4142 / 10000);
    const int32_t e = n - d;
    for (int half = 0; half < halves; ++half) {
      const bool erode = (half == 0) == m.erodeFirst;
      window(true, erode, d);
      window(false, erode, e);
    }
  } else {
    // One step at a time; the second half continues the step counter, so
    // for odd n it starts with the other shape.
    for (int32_t i = 1; i <= halves * n; ++i) {
      const bool erode = (i <= n) == m.erodeFirst;
      window((i % 2 == 1) == m.squareOnOdd, erode, 1);
    }
  }
  return list;
}

}  // namespace

extern "C" {

int32_t mrNeiFun(int32_t h, const char* keyword, int32_t n) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (n < 1) return 0;
    if (keyword == nullptr) return err::Fail(err::kParameter, "no keyword given"), -1;
    if (const uint32_t k = WordInText(kSingleList, nullptr, 0, keyword, 0); k != 0) {
      StepList list;
      list.Code(kSingleCodes[k - 1], n);
      return Dispatch(h, list);
    }
    const uint32_t k = WordInText(kMixedList, nullptr, 0, keyword, 0);
    if (k == 0) {
      return err::Fail(err::kParameter, "keyword '%.40s' is not a neighbourhood operation",
                       keyword),
             -1;
    }
    return Dispatch(h, Schedule(kMixed[k - 1], n));
  });
}

}  // extern "C"
