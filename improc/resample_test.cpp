// ResampleAffine: the fill rule on every side, accuracy of cubic against
// linear, exact whole-pixel copies, clipping, and the same pixels from every
// kernel mode and from the general path.
#include "improc/resample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "generic/errors.h"
#include "kernels/kernel_mode.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

template <class T>
std::vector<T> Shift(const std::vector<T>& src, int w, int h, int type, int channels, double dx,
                     double dy, int interpolation, double fill) {
  std::vector<T> dst(src.size());
  const double m[6] = {1, 0, -dx, 0, 1, -dy};
  const int64_t pitch = int64_t{w} * channels * static_cast<int64_t>(sizeof(T));
  EXPECT_EQ(ResampleAffine(src.data(), w, h, pitch, dst.data(), w, h, pitch, type, channels, m,
                           interpolation, fill),
            0)
      << mrLastError();
  return dst;
}

// A quarter pixel in each direction: the fill on exactly the one uncovered
// row or column, on whichever side it is, the frame's values elsewhere.
TEST(ResampleAffine, FillsExactlyTheUncoveredSideInEveryDirection) {
  const int w = 9, h = 7;
  std::vector<float> f(w * h);
  for (int i = 0; i < w * h; ++i) f[i] = 100.0f + static_cast<float>(i % 13);
  struct Case { double dx, dy; int col, row; } cases[] = {
      {0.25, 0, 0, -1}, {-0.25, 0, w - 1, -1}, {0, 0.25, -1, 0}, {0, -0.25, -1, h - 1}};
  for (int interpolation : {kResampleCubic, kResampleLinear, kResampleNearest})
    for (const Case& c : cases) {
      const auto out = Shift(f, w, h, kResampleF32, 1, c.dx, c.dy, interpolation, NAN);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          EXPECT_EQ(std::isnan(out[y * w + x]), x == c.col || y == c.row)
              << "shift " << c.dx << "," << c.dy << " at " << x << "," << y;
    }
  // 16-bit with a number: the same rule, and a flat frame keeps its value.
  std::vector<uint16_t> flat(w * h, 30000);
  const auto out = Shift(flat, w, h, kResampleU16, 1, 0, -0.25, kResampleCubic, 7);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) EXPECT_EQ(out[y * w + x], y == h - 1 ? 7 : 30000);
}

// A smooth band-limited pattern shifted by a fraction: cubic lies well
// within linear's error; whole-pixel shifts copy exactly, NaN not spread.
TEST(ResampleAffine, CubicBeatsLinearAndWholeShiftsCopy) {
  const int w = 64, h = 48;
  auto pattern = [](double x, double y) {
    return 1000.0 + 300.0 * std::sin(2 * kPi * x / 11.0) * std::cos(2 * kPi * y / 9.0) +
           200.0 * std::cos(2 * kPi * (x + y) / 17.0);
  };
  std::vector<double> f(w * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) f[y * w + x] = pattern(x, y);
  const double dx = 0.3, dy = -0.6;
  double worst[3] = {0, 0, 0};
  for (int interpolation : {kResampleLinear, kResampleCubic}) {
    const auto out = Shift(f, w, h, kResampleF64, 1, dx, dy, interpolation, 0);
    for (int y = 4; y < h - 4; ++y)
      for (int x = 4; x < w - 4; ++x)
        worst[interpolation] =
            std::max(worst[interpolation], std::fabs(out[y * w + x] - pattern(x - dx, y - dy)));
  }
  EXPECT_LT(worst[kResampleCubic], 3.0);  // 2.5 of a 1000-level swing; linear over 10
  EXPECT_LT(worst[kResampleCubic] * 4, worst[kResampleLinear]);

  f[5 * w + 7] = NAN;
  const auto moved = Shift(f, w, h, kResampleF64, 1, 2.0, -1.0 + 1e-9, kResampleCubic, -1);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int sx = x - 2, sy = y + 1;
      const double v = moved[y * w + x];
      if (sx < 0 || sy >= h) EXPECT_EQ(v, -1);
      else if (sx == 7 && sy == 5) EXPECT_TRUE(std::isnan(v));
      else EXPECT_EQ(v, f[sy * w + sx]) << x << "," << y;
    }
}

// A step from 0 to 65535 overshoots under cubic: clipped to the range.
TEST(ResampleAffine, SixteenBitClipsToItsRange) {
  const int w = 8, h = 2;
  std::vector<uint16_t> f(w * h);
  for (int i = 0; i < w * h; ++i) f[i] = (i % w) < 4 ? 0 : 65535;
  const auto out = Shift(f, w, h, kResampleU16, 1, 0.5, 0, kResampleCubic, 0);
  EXPECT_EQ(out[3], 0);        // would be below 0
  EXPECT_EQ(out[5], 65535);    // would be above 65535
  EXPECT_EQ(out[4], 32768);    // the middle of the step, rounded half up
}

// Every kernel mode, and the general path for a map that is exact, give
// the same pixels; colour channels stay apart.
TEST(ResampleAffine, KernelModesAndGeneralPathAgree) {
  const int w = 37, h = 21;
  std::mt19937 rng(5);
  std::vector<uint16_t> f(w * h * 3);
  for (auto& v : f) v = static_cast<uint16_t>(rng());
  const int32_t previous = mrUseIntelIPlib(2);
  const auto scalar = Shift(f, w, h, kResampleU16, 3, 1.37, -2.61, kResampleCubic, 0);
  mrUseIntelIPlib(3);
  const auto vector = Shift(f, w, h, kResampleU16, 3, 1.37, -2.61, kResampleCubic, 0);
  mrUseIntelIPlib(previous);
  EXPECT_EQ(scalar, vector);
  // Channel 1 alone gives the same values as in the colour frame.
  std::vector<uint16_t> green(w * h);
  for (int i = 0; i < w * h; ++i) green[i] = f[i * 3 + 1];
  const auto g = Shift(green, w, h, kResampleU16, 1, 1.37, -2.61, kResampleCubic, 0);
  for (int i = 0; i < w * h; ++i) ASSERT_EQ(g[i], scalar[i * 3 + 1]);
  // A transpose goes through the general path and moves every pixel exactly.
  std::vector<uint16_t> t(w * h);
  const double m[6] = {0, 1, 0, 1, 0, 0};
  ASSERT_EQ(ResampleAffine(green.data(), w, h, w * 2, t.data(), h, w, h * 2, kResampleU16, 1, m,
                           kResampleCubic, 0), 0);
  for (int y = 0; y < w; ++y)
    for (int x = 0; x < h; ++x) ASSERT_EQ(t[y * h + x], green[x * w + y]);
}

TEST(ResampleAffine, RefusesAFillOutsideTheType) {
  std::vector<uint8_t> f(4), out(4);
  const double m[6] = {1, 0, 0, 0, 1, 0};
  EXPECT_EQ(ResampleAffine(f.data(), 2, 2, 2, out.data(), 2, 2, 2, kResampleU8, 1, m,
                           kResampleCubic, 256), -1);
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(ResampleAffine(f.data(), 2, 2, 2, out.data(), 2, 2, 2, kResampleU8, 1, m,
                           kResampleCubic, NAN), -1);
}

}  // namespace
