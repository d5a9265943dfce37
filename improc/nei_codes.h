// Shared planning of the neighbourhood filters: operation codes and how many
// steps of a minimum/maximum filter can change anything.
#ifndef VANTOR_IMPROC_NEI_CODES_H
#define VANTOR_IMPROC_NEI_CODES_H

#include <algorithm>
#include <cstdint>

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

// The window of a single minimum/maximum step.
enum class Shape { kSquare, kCross, kRow, kColumn };

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

}  // namespace vantor::nei

#endif
