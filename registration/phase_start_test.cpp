// The global start on synthetic frames: a smooth random texture evaluated at
// exact sub-pixel offsets, and sparse star fields; the FFT against a direct
// sum.
#include "registration/phase_start.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace {

using namespace vantor::drift;

constexpr double kPi = std::numbers::pi;

// A random texture: white noise blurred at two scales (sigma about 2 and 7
// px, by three box passes each) on a canvas wide enough for the offsets,
// about unit spread. Render samples it at any offset, bilinearly between
// pixels.
class Texture {
 public:
  static constexpr int32_t kSide = 1400, kMargin = 200;
  explicit Texture(uint32_t seed) : canvas_(static_cast<size_t>(kSide) * kSide, 0.0f) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0, 1);
    for (int32_t radius : {2, 7}) {
      std::vector<float> layer(canvas_.size());
      for (float& v : layer) v = g(rng);
      for (int32_t pass = 0; pass < 3; ++pass) Blur(layer, radius);
      double sq = 0;
      for (float v : layer) sq += v * v;
      const float scale = static_cast<float>(1.0 / std::sqrt(2 * sq / layer.size()));
      for (size_t i = 0; i < layer.size(); ++i) canvas_[i] += scale * layer[i];
    }
  }
  // Pixel (x, y) of the result is the texture at (x + ox, y + oy), |ox|, |oy| < 200.
  std::vector<float> Render(int32_t w, int32_t h, double ox, double oy) const {
    std::vector<float> img(static_cast<size_t>(w) * h);
    const double fx = std::floor(ox), fy = std::floor(oy), ax = ox - fx, ay = oy - fy;
    const int32_t x0 = kMargin + static_cast<int32_t>(fx), y0 = kMargin + static_cast<int32_t>(fy);
    for (int32_t y = 0; y < h; ++y) {
      const float* r0 = canvas_.data() + static_cast<size_t>(y0 + y) * kSide + x0;
      const float* r1 = r0 + kSide;
      for (int32_t x = 0; x < w; ++x)
        img[static_cast<size_t>(y) * w + x] =
            static_cast<float>((1 - ay) * ((1 - ax) * r0[x] + ax * r0[x + 1]) +
                               ay * ((1 - ax) * r1[x] + ax * r1[x + 1]));
    }
    return img;
  }

 private:
  // One box pass of 2 radius + 1 along rows and then columns (edges clamped).
  static void Blur(std::vector<float>& v, int32_t radius) {
    std::vector<float> line(kSide), out(kSide);
    for (int32_t axis = 0; axis < 2; ++axis)
      for (int32_t i = 0; i < kSide; ++i) {
        auto at = [&](int32_t j) -> float& {
          return axis == 0 ? v[static_cast<size_t>(i) * kSide + j]
                           : v[static_cast<size_t>(j) * kSide + i];
        };
        for (int32_t j = 0; j < kSide; ++j) line[j] = at(j);
        double sum = 0;
        for (int32_t j = -radius; j <= radius; ++j) sum += line[std::clamp(j, 0, kSide - 1)];
        for (int32_t j = 0; j < kSide; ++j) {
          out[j] = static_cast<float>(sum / (2 * radius + 1));
          sum += line[std::min(j + radius + 1, kSide - 1)] - line[std::max(j - radius, 0)];
        }
        for (int32_t j = 0; j < kSide; ++j) at(j) = out[j];
      }
  }
  std::vector<float> canvas_;
};

StartFrame Prepare(const std::vector<float>& img, int32_t w, int32_t h, int32_t size,
                   const float* valid = nullptr) {
  StartFrame f;
  EXPECT_TRUE(PrepareStart(img.data(), w, h, w, valid, size, &f));
  return f;
}

// The best candidate, or a far-off one when there is none.
StartCandidate Best(const StartFrame& a, const StartFrame& b, double maxShift = 1e9) {
  const std::vector<StartCandidate> c = StartCandidates(a, b, 3, maxShift);
  return c.empty() ? StartCandidate{1e9, 1e9, 0} : c[0];
}

#define EXPECT_SHIFT(c, ex, ey, tol)  \
  do {                                \
    EXPECT_NEAR((c).dx, (ex), (tol)); \
    EXPECT_NEAR((c).dy, (ey), (tol)); \
  } while (0)

TEST(StartFft, MatchesDirectSums) {
  std::mt19937 rng(3);
  std::normal_distribution<float> g(0, 1);
  // One-dimensional along the first axis, three columns, both directions.
  fft::Twiddles t;
  ASSERT_TRUE(t.Build(8));
  std::vector<float> re(24), im(24);
  for (size_t i = 0; i < re.size(); ++i) re[i] = g(rng), im[i] = g(rng);
  for (bool inverse : {false, true}) {
    std::vector<float> fr = re, fi = im;
    fft::Columns(fr.data(), fi.data(), 3, 3, t, inverse);
    for (int32_t k = 0; k < 8; ++k)
      for (int32_t c = 0; c < 3; ++c) {
        std::complex<double> s = 0;
        for (int32_t j = 0; j < 8; ++j)
          s += std::complex<double>(re[j * 3 + c], im[j * 3 + c]) *
               std::polar(1.0, (inverse ? 2 : -2) * kPi * j * k / 8);
        EXPECT_NEAR(fr[k * 3 + c], s.real(), 1e-4);
        EXPECT_NEAR(fi[k * 3 + c], s.imag(), 1e-4);
      }
  }

  // Real 16 x 16: the kept half spectrum, and back to 256 times the image.
  const int32_t n = 16, m = n / 2 + 1;
  ASSERT_TRUE(t.Build(n));
  fft::Real2D r;
  ASSERT_TRUE(r.Init(t));
  std::vector<float> img(n * n);
  for (float& v : img) v = g(rng);
  r.Load(img.data(), n);
  std::vector<float> sr(n * m), si(n * m);
  r.Forward(sr.data(), si.data());
  for (int32_t kx = 0; kx < n; ++kx)
    for (int32_t ky = 0; ky < m; ++ky) {
      std::complex<double> s = 0;
      for (int32_t y = 0; y < n; ++y)
        for (int32_t x = 0; x < n; ++x)
          s += static_cast<double>(img[y * n + x]) *
               std::polar(1.0, -2 * kPi * (kx * x + ky * y) / n);
      EXPECT_NEAR(sr[kx * m + ky], s.real(), 1e-3);
      EXPECT_NEAR(si[kx * m + ky], s.imag(), 1e-3);
    }
  r.Inverse(sr.data(), si.data());
  for (int32_t y = 0; y < n; ++y)
    for (int32_t x = 0; x < n; ++x) EXPECT_NEAR(r.Pixel(x, y), n * n * img[y * n + x], 1e-2);
}

// A third of the side at several FFT sizes; the aliases that maxShift admits;
// gain and offset.
TEST(StartCandidates, LargeJumpAliasesAndGain) {
  const int32_t s = 512;
  const Texture tex(1);
  const std::vector<float> ref = tex.Render(s, s, 0, 0);
  std::vector<float> cur = tex.Render(s, s, 150.4, -89.7);
  for (int32_t size : {64, 128, 256}) {
    SCOPED_TRACE(size);
    const StartFrame a = Prepare(ref, s, s, size), b = Prepare(cur, s, s, size);
    const StartCandidate c = Best(a, b, 200);
    EXPECT_SHIFT(c, 150.4, -89.7, 1.0);
    EXPECT_GT(c.score, 0.3);
    // The same peak read as (150 or -362, -90 or 422): four candidates of one
    // score ahead of the next peak, the shortest first.
    const std::vector<StartCandidate> all = StartCandidates(a, b, 2, 512);
    ASSERT_GE(all.size(), 5u);
    for (int32_t i = 1; i < 4; ++i) EXPECT_EQ(all[i].score, all[0].score);
    EXPECT_LT(all[4].score, all[0].score);
    int32_t matched = 0;
    for (int32_t i = 0; i < 4; ++i)
      matched += (std::fabs(all[i].dx - 150) < 1 || std::fabs(all[i].dx + 362) < 1) &&
                 (std::fabs(all[i].dy + 90) < 1 || std::fabs(all[i].dy - 422) < 1);
    EXPECT_EQ(matched, 4);
    EXPECT_SHIFT(all[0], 150.4, -89.7, 1.0);
    // Nothing beyond maxShift: at 140 the jump itself is not offered.
    for (const StartCandidate& o : StartCandidates(a, b, 3, 140))
      EXPECT_LE(std::max(std::fabs(o.dx), std::fabs(o.dy)), 140.0);
  }
  // Half the gain and an offset: the same answer.
  const StartFrame a = Prepare(ref, s, s, 128), b = Prepare(cur, s, s, 128);
  for (float& v : cur) v = 0.5f * v + 300.0f;
  const StartCandidate c0 = Best(a, b), c1 = Best(a, Prepare(cur, s, s, 128));
  EXPECT_NEAR(c1.dx, c0.dx, 0.05);
  EXPECT_NEAR(c1.dy, c0.dy, 0.05);
  EXPECT_NEAR(c1.score, c0.score, 0.01);
}

// Fixed to the sensor in both frames, over a texture of unit spread: 0.4 %
// hot pixels (1000), hot 2 x 2 clusters (3000), a warm column, and light
// falling by 10 across the frame plus vignetting of 10 to the edges' middle.
TEST(StartCandidates, FixedPatternDoesNotWin) {
  const int32_t s = 512;
  const Texture tex(2);
  std::vector<float> ref = tex.Render(s, s, 0, 0), cur = tex.Render(s, s, 37, -21);
  std::mt19937 rng(5);
  std::uniform_int_distribution<int32_t> pos(1, s - 2);
  std::vector<int32_t> hot(1000), clusters(30);
  for (int32_t& p : hot) p = pos(rng) * s + pos(rng);
  for (int32_t& p : clusters) p = pos(rng) * s + pos(rng);
  for (std::vector<float>* img : {&ref, &cur}) {
    for (int32_t p : hot) (*img)[p] = 1000.0f;
    for (int32_t p : clusters)
      for (int32_t q : {p, p + 1, p + s, p + s + 1}) (*img)[q] = 3000.0f;
    for (int32_t y = 0; y < s; ++y) {
      (*img)[y * s + 300] += 1.0f;
      for (int32_t x = 0; x < s; ++x)
        (*img)[y * s + x] +=
            10.0f * x / s + 10.0f * ((x - 256) * (x - 256) + (y - 256) * (y - 256)) / 65536.0f;
    }
  }
  for (int32_t size : {128, 256}) {
    SCOPED_TRACE(size);
    EXPECT_SHIFT(Best(Prepare(ref, s, s, size), Prepare(cur, s, s, size)), 37, -21, 1.0);
  }
}

// A fifth of the frame moves on its own (bright textured discs, together)
// over a background that drifts.
TEST(StartCandidates, MovingObjectsDoNotWin) {
  const int32_t s = 512;
  const Texture bg(3), obj(4);
  const double dx = 23, dy = -17, ox = -40, oy = 30;
  const float kLift = 1.5f;  // the discs stand 1.5 texture spreads above the background
  std::vector<float> ref = bg.Render(s, s, 0, 0), cur = bg.Render(s, s, dx, dy);
  const std::vector<float> oref = obj.Render(s, s, 0, 0), ocur = obj.Render(s, s, ox, oy);
  const double centres[6][2] = {{100, 100}, {260, 120}, {420, 100},
                                {120, 380}, {300, 300}, {420, 420}};
  for (int32_t y = 0; y < s; ++y)
    for (int32_t x = 0; x < s; ++x)
      for (const auto& c : centres) {
        if (std::hypot(x - c[0], y - c[1]) < 52) ref[y * s + x] = kLift + oref[y * s + x];
        if (std::hypot(x + ox - c[0], y + oy - c[1]) < 52) cur[y * s + x] = kLift + ocur[y * s + x];
      }
  for (int32_t size : {128, 256}) {
    SCOPED_TRACE(size);
    EXPECT_SHIFT(Best(Prepare(ref, s, s, size), Prepare(cur, s, s, size)), dx, dy, 1.0);
  }
}

// 40 small stars over 1024 x 1024 with noise, 60 px apart between frames.
TEST(StartCandidates, SparseStars) {
  const int32_t s = 1024;
  const double dx = 60, dy = -45;
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(0, 1);
  struct Star {
    double x, y, sigma, peak;
  };
  std::vector<Star> stars(40);
  for (Star& st : stars) st = {u(rng) * s, u(rng) * s, 1.0 + 0.5 * u(rng), 300 + 2700 * u(rng)};
  std::normal_distribution<float> noise(0, 10);
  auto render = [&](double ox, double oy) {
    std::vector<float> img(static_cast<size_t>(s) * s);
    for (float& v : img) v = 100.0f + noise(rng);
    for (const Star& st : stars) {
      const double cx = st.x - ox, cy = st.y - oy;
      for (int32_t y = static_cast<int32_t>(cy) - 5; y <= static_cast<int32_t>(cy) + 5; ++y)
        for (int32_t x = static_cast<int32_t>(cx) - 5; x <= static_cast<int32_t>(cx) + 5; ++x)
          if (x >= 0 && y >= 0 && x < s && y < s)
            img[static_cast<size_t>(y) * s + x] +=
                static_cast<float>(st.peak * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) /
                                                      (2 * st.sigma * st.sigma)));
    }
    return img;
  };
  const std::vector<float> ref = render(0, 0), cur = render(dx, dy);
  for (int32_t size : {128, 256}) {
    SCOPED_TRACE(size);
    EXPECT_SHIFT(Best(Prepare(ref, s, s, size), Prepare(cur, s, s, size), 300), dx, dy, 1.0);
  }
}

// An unreadable cluster (NaN) in one frame, given through the weights or
// only as NaN; and input the start refuses.
TEST(StartCandidates, InvalidPixelsAndRefusals) {
  const int32_t w = 400, h = 300;
  const Texture tex(6);
  // Camera-like levels, so that an invalid pixel taken at face value would
  // stand far off.
  std::vector<float> ref = tex.Render(w, h, 0, 0), cur = tex.Render(w, h, -31, 12);
  for (std::vector<float>* img : {&ref, &cur})
    for (float& v : *img) v = 500.0f + 20.0f * v;
  std::vector<float> valid(cur.size(), 1.0f);
  for (int32_t y = 100; y < 180; ++y)
    for (int32_t x = 150; x < 260; ++x) {
      cur[y * w + x] = std::numeric_limits<float>::quiet_NaN();
      valid[y * w + x] = 0.0f;
    }
  const StartFrame a = Prepare(ref, w, h, 128);
  EXPECT_SHIFT(Best(a, Prepare(cur, w, h, 128, valid.data())), -31, 12, 1.0);
  EXPECT_SHIFT(Best(a, Prepare(cur, w, h, 128)), -31, 12, 1.0);

  StartFrame f;
  EXPECT_FALSE(PrepareStart(ref.data(), w, h, w, nullptr, 100, &f));
  EXPECT_FALSE(PrepareStart(ref.data(), w, h, w - 1, nullptr, 128, &f));
  EXPECT_FALSE(PrepareStart(nullptr, w, h, w, nullptr, 128, &f));
  const std::vector<float> none(ref.size(), 0.0f);
  EXPECT_FALSE(PrepareStart(ref.data(), w, h, w, none.data(), 128, &f));
  // Frames prepared at different sizes do not compare.
  EXPECT_TRUE(StartCandidates(a, Prepare(ref, w, h, 64), 3, 100).empty());
  // A blank frame has no peak.
  const std::vector<float> flat(ref.size(), 5.0f);
  EXPECT_TRUE(StartCandidates(a, Prepare(flat, w, h, 128), 3, 1e9).empty());
}

}  // namespace
