// Operation codes of the neighbourhood filters and the minimum/maximum steps
// each stands for.
#ifndef VANTOR_IMPROC_NEI_CODES_H
#define VANTOR_IMPROC_NEI_CODES_H

#include <cstdint>

#include "kernels/nei_steps.h"

namespace vantor::nei {

enum Code : int32_t {
  kErode8 = 0,
  kDilate8 = 1,
  kAver124 = 12,
  kMedian = 13,
  kBlur = 14,
  kErode4 = 20,
  kDilate4 = 21,
  kErodeH2 = 22,
  kDilateH2 = 23,
  kErodeV2 = 24,
  kDilateV2 = 25,
  kOpen8 = 26,
  kClose8 = 27,
  kOpen4 = 28,
  kClose4 = 29,
};

struct MorphStep {
  Shape shape;
  bool erode;
};

// A plan of at most two runs of a single step: the simple codes give one run,
// the opening/closing codes two (same n each). count == 0: nothing to do.
struct MorphPlan {
  int count = 0;
  MorphStep step[2]{};
};

inline MorphPlan PlanMorph(int32_t code) {
  MorphPlan p;
  auto one = [&](Shape s, bool e) {
    p.count = 1;
    p.step[0] = {s, e};
  };
  auto two = [&](Shape s, bool firstErodes) {
    p.count = 2;
    p.step[0] = {s, firstErodes};
    p.step[1] = {s, !firstErodes};
  };
  switch (code) {
    case kErode8: one(Shape::kSquare, true); break;
    case kDilate8: one(Shape::kSquare, false); break;
    case kErode4: one(Shape::kCross, true); break;
    case kDilate4: one(Shape::kCross, false); break;
    case kErodeH2: one(Shape::kRow, true); break;
    case kDilateH2: one(Shape::kRow, false); break;
    case kErodeV2: one(Shape::kColumn, true); break;
    case kDilateV2: one(Shape::kColumn, false); break;
    case kOpen8: two(Shape::kSquare, true); break;
    case kClose8: two(Shape::kSquare, false); break;
    case kOpen4: two(Shape::kCross, true); break;
    case kClose4: two(Shape::kCross, false); break;
    default: break;
  }
  return p;
}

}  // namespace vantor::nei

#endif
