#include "generic/simplex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <functional>
#include <thread>
#include <vector>

#include "generic/clock.h"

namespace {

// Records every point the minimiser asks for and answers with f.
struct Recorder {
  int32_t n = 0;
  std::function<double(const double*)> f;
  std::vector<std::vector<double>> calls;

  static double Cost(const double* p, void* context) {
    auto* self = static_cast<Recorder*>(context);
    self->calls.emplace_back(p, p + self->n);
    return self->f(p);
  }
};

double Distance(const double* a, const double* b, int n) {
  double s = 0.0;
  for (int i = 0; i < n; ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(s);
}

TEST(MakeSimplex, RegularUnitEdgesCentredOnOrigin) {
  const double expected[5][4] = {{0.5, 0.288675, 0.204124, 0.158114},
                                 {-0.5, 0.288675, 0.204124, 0.158114},
                                 {0.0, -0.577350, 0.204124, 0.158114},
                                 {0.0, 0.0, -0.612372, 0.158114},
                                 {0.0, 0.0, 0.0, -0.632456}};
  double t4[20];
  MakeSimplex(4, t4);
  for (int r = 0; r < 5; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(t4[r * 4 + c], expected[r][c], 5e-7) << r << "," << c;

  for (int n = 1; n <= 9; ++n) {
    std::vector<double> t((n + 1) * n, 99.0);
    MakeSimplex(n, t.data());
    for (int c = 0; c < n; ++c) {
      double sum = 0.0;
      for (int r = 0; r <= n; ++r) sum += t[r * n + c];
      EXPECT_NEAR(sum, 0.0, 1e-12) << "n=" << n;
      EXPECT_GT(t[c], 0.0) << "vertex 0, n=" << n;
    }
    for (int a = 0; a <= n; ++a)
      for (int b = a + 1; b <= n; ++b)
        EXPECT_NEAR(Distance(&t[a * n], &t[b * n], n), 1.0, 1e-12) << "n=" << n;
  }
}

TEST(SimplexMinimum, FixedParametersSkipRepeatedPoints) {
  double table[20];
  MakeSimplex(4, table);
  const double start[4] = {10.0, 20.0, 1.0, 0.0};
  const double steps[4] = {4.0, 4.0, 0.0, 0.0};
  Recorder rec{4, [](const double* p) { return (p[0] - 11) * (p[0] - 11) + (p[1] - 19) * (p[1] - 19); }, {}};
  double point[4] = {start[0], start[1], start[2], start[3]};
  SimplexMinimum(4, point, steps, 0.0125, 1e-9, 0, &Recorder::Cost, &rec);

  // Vertices 3 and 4 both map onto the start point: the full evaluation calls
  // the cost four times, then the sweep starts with the reflection of vertex 0
  // (vertex 0 is not the best: vertex 1 is).
  ASSERT_GT(rec.calls.size(), 5u);
  for (int k = 0; k < 4; ++k)
    for (int i = 0; i < 4; ++i)
      EXPECT_DOUBLE_EQ(rec.calls[k][i], start[i] + steps[i] * table[k * 4 + i]) << k;
  for (int i = 0; i < 4; ++i) {
    double sum = 0.0;
    for (int j = 1; j <= 4; ++j) sum += table[j * 4 + i];
    EXPECT_NEAR(rec.calls[4][i], start[i] + steps[i] * (0.5 * sum - table[i]), 1e-12);
  }
  // No call ever changes a fixed parameter.
  for (std::size_t c = 0; c < rec.calls.size(); ++c) {
    EXPECT_EQ(rec.calls[c][2], 1.0);
    EXPECT_EQ(rec.calls[c][3], 0.0);
  }
  EXPECT_NEAR(point[0], 11.0, 0.1);
  EXPECT_NEAR(point[1], 19.0, 0.1);
  EXPECT_EQ(point[2], 1.0);
  EXPECT_EQ(point[3], 0.0);
}

TEST(SimplexMinimum, AllStepsZeroEvaluatesVertexAndCentroidOnly) {
  const double steps[4] = {0, 0, 0, 0};
  double point[4] = {1.5, -2.0, 1.0, 0.25};
  Recorder rec{4, [](const double* p) { return 7.0 + p[0]; }, {}};
  const double best = SimplexMinimum(4, point, steps, 0.0125, 3.0, 0, &Recorder::Cost, &rec);
  ASSERT_EQ(rec.calls.size(), 2u);
  EXPECT_EQ(rec.calls[0], rec.calls[1]);
  EXPECT_EQ(best, 8.5);
  EXPECT_EQ(point[0], 1.5);
  EXPECT_EQ(point[1], -2.0);
  EXPECT_EQ(point[2], 1.0);
  EXPECT_EQ(point[3], 0.25);
}

TEST(SimplexMinimum, FailureEverywhereEndsAtVertexZero) {
  const double steps[4] = {4, 4, 0, 0};
  double point[4] = {0.0, 0.0, 1.0, 0.0};
  Recorder rec{4, [](const double*) { return -1.0; }, {}};
  EXPECT_EQ(SimplexMinimum(4, point, steps, 0.0125, 3.0, 0, &Recorder::Cost, &rec), -1.0);
  EXPECT_NEAR(point[0], 2.0, 1e-12);
  EXPECT_NEAR(point[1], 1.154701, 1e-6);
  EXPECT_EQ(point[2], 1.0);
  EXPECT_EQ(point[3], 0.0);
  // One cycle only: four vertex calls, reflections of vertices 1 to 3, centroid.
  EXPECT_EQ(rec.calls.size(), 8u);
}

TEST(SimplexMinimum, EqualValuesAreNotAcceptedAndTheRunEnds) {
  // A flat cost: accepting equal reflections would cycle for ever. Every
  // comparison ties, so the first point evaluated (vertex 0) stays the best.
  const double steps[3] = {1, 2, 3};
  double point[3] = {1, 1, 1};
  Recorder rec{3, [](const double*) { return 5.0; }, {}};
  EXPECT_EQ(SimplexMinimum(3, point, steps, 1e-3, 0.0, 0, &Recorder::Cost, &rec), 5.0);
  double table[12];
  MakeSimplex(3, table);
  for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(point[i], 1 + steps[i] * table[i]);
  EXPECT_LT(rec.calls.size(), 200u);
}

TEST(SimplexMinimum, SizeLimits) {
  const double steps[2] = {1, 1};
  auto bowl = [](const double* p) { return p[0] * p[0] + p[1] * p[1]; };

  // Above 1: no cycle at all.
  Recorder none{2, bowl, {}};
  double point[2] = {0.25, 0.5};
  EXPECT_EQ(SimplexMinimum(2, point, steps, 1.5, 0.0, 0, &Recorder::Cost, &none), 1e18);
  EXPECT_TRUE(none.calls.empty());
  EXPECT_EQ(point[0], 0.25);
  EXPECT_EQ(point[1], 0.5);

  // Exactly 1: the start point is the centroid and the best, so the run
  // contracts at once and stops there, after one cycle.
  Recorder one{2, bowl, {}};
  double p1[2] = {0, 0};
  EXPECT_EQ(SimplexMinimum(2, p1, steps, 1.0, 0.0, 0, &Recorder::Cost, &one), 0.0);
  ASSERT_FALSE(one.calls.empty());
  EXPECT_EQ(one.calls.back(), (std::vector<double>{0.0, 0.0}));
  Recorder half{2, bowl, {}};
  double p2[2] = {0, 0};
  SimplexMinimum(2, p2, steps, 0.5, 0.0, 0, &Recorder::Cost, &half);
  EXPECT_GT(half.calls.size(), one.calls.size());

  // No lower bound on the size and no spread test: the run still ends.
  Recorder endless{2, [](const double*) { return 1.0; }, {}};
  double p3[2] = {0, 0};
  EXPECT_EQ(SimplexMinimum(2, p3, steps, 0.0, -1.0, 0, &Recorder::Cost, &endless), 1.0);
}

TEST(SimplexMinimum, FindsMinimaInOneToFourDimensions) {
  const double target[4] = {1.3, -2.7, 0.45, 3.0};
  for (int n = 1; n <= 4; ++n) {
    Recorder rec{n, [&](const double* p) {
                   double s = 0.0;
                   for (int i = 0; i < n; ++i) s += (i + 1) * (p[i] - target[i]) * (p[i] - target[i]);
                   return s;
                 }, {}};
    std::vector<double> point(n, 0.0), steps(n, 1.0);
    const double best =
        SimplexMinimum(n, point.data(), steps.data(), 1e-4, 0.0, 0, &Recorder::Cost, &rec);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(point[i], target[i], 1e-3) << "n=" << n << " i=" << i;
    EXPECT_LT(best, 1e-5);
    EXPECT_DOUBLE_EQ(best, rec.f(point.data()));
  }
}

TEST(SimplexMinimum, TimeLimitStopsAfterTheCycle) {
  // A flat, slow cost with no size or spread limit would take several seconds.
  const double steps[2] = {1, 1};
  double point[2] = {0, 0};
  Recorder rec{2, [](const double*) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(2));
                 return 1.0;
               }, {}};
  const long double t0 = GetTimeMsec();
  SimplexMinimum(2, point, steps, 0.0, -1.0, 1, &Recorder::Cost, &rec);
  const long double elapsed = GetTimeMsec() - t0;
  EXPECT_GE(elapsed, 1000.0L);
  EXPECT_LT(elapsed, 1500.0L);
}

TEST(SimplexMinimum, UnusableArgumentsLeaveThePointAlone) {
  double point[2] = {3, 4};
  const double steps[2] = {1, 1};
  Recorder rec{2, [](const double*) { return 0.0; }, {}};
  EXPECT_EQ(SimplexMinimum(0, point, steps, 0.1, 0.0, 0, &Recorder::Cost, &rec), 0.0);
  EXPECT_EQ(SimplexMinimum(-3, point, steps, 0.1, 0.0, 0, &Recorder::Cost, &rec), 0.0);
  EXPECT_EQ(SimplexMinimum(2, point, steps, 0.1, 0.0, 0, nullptr, &rec), 0.0);
  // Storage for this many parameters cannot exist.
  EXPECT_EQ(SimplexMinimum(INT32_MAX, point, steps, 0.1, 0.0, 0, &Recorder::Cost, &rec), 0.0);
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_EQ(point[0], 3.0);
  EXPECT_EQ(point[1], 4.0);
}

}  // namespace
