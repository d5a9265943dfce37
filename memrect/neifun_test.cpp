#include "memrect/neifun.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kernels/kernel_mode.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"

namespace {

using vantor::RectOwner;

const char* const kKeywords[] = {
    "AVER124", "MEDIAN",   "BLUR",    "ERODE8",   "DILATE8", "ERODE4",  "DILATE4",
    "ERODEh2", "DILATEh2", "ERODEv2", "DILATEv2", "Open8",   "Close8",  "Open4",
    "Close4",  "ERODE84",  "DILATE84", "ERODE48", "DILATE48", "Open84", "Close84",
    "Open48",  "Close48"};

// Restores the kernel mode a test changed.
class ModeGuard {
 public:
  ModeGuard() : saved_(mrUseIntelIPlib(0)) { mrUseIntelIPlib(saved_); }
  ~ModeGuard() { mrUseIntelIPlib(saved_); }

 private:
  int32_t saved_;
};

// A rectangle over a vector of exactly pitch x height bytes, so that any
// access past the last row is caught by the address sanitizer.
struct Extern {
  std::vector<uint8_t> px;
  RectOwner h;
  Extern(int32_t depth, int32_t w, int32_t hgt, int32_t pitch)
      : px(static_cast<size_t>(pitch) * hgt) {
    h.reset(mrMakeExtern(px.data(), depth, w, hgt, pitch));
  }
};

std::vector<uint8_t> Pixels(int32_t h) {
  int32_t w = 0, hgt = 0, pitch = 0;
  void* p = nullptr;
  if (mrGetExtendedInfo(h, &w, &hgt, &pitch, &p) < 0 || p == nullptr) return {};
  const auto* b = static_cast<const uint8_t*>(p);
  return std::vector<uint8_t>(b, b + static_cast<size_t>(pitch) * hgt);
}

bool Bit(int32_t h, int32_t x, int32_t y) { return mrGetPixel(h, x, y) != 0; }

TEST(MrNeiFun, CountBelowOneKeywordsAndHandles) {
  EXPECT_EQ(mrNeiFun(-5, "no such keyword", 0), 0);
  EXPECT_EQ(mrNeiFun(0, nullptr, -3), 0);
  RectOwner m(mrCreate(1, 40, 10));
  ASSERT_TRUE(m);
  mrPutPixel(m.get(), 20, 5, 1);
  const auto before = Pixels(m.get());
  EXPECT_EQ(mrNeiFun(m.get(), "DILATEh2", 0), 0);
  EXPECT_EQ(mrNeiFun(m.get(), "DILATE", 3), -1);
  EXPECT_EQ(mrNeiFun(m.get(), "DILATE8X", 3), -1);
  EXPECT_EQ(mrNeiFun(m.get(), nullptr, 3), -1);
  EXPECT_EQ(Pixels(m.get()), before);
  // Letter case does not matter; only the first word counts.
  EXPECT_EQ(mrNeiFun(m.get(), "dilateh2 and more", 2), 0);
  for (int32_t x = 0; x < 40; ++x) EXPECT_EQ(Bit(m.get(), x, 5), x >= 18 && x <= 22) << x;
  EXPECT_EQ(mrNeiFun(9999, "DILATE8", 1), -1);
  EXPECT_EQ(mrNeiFun(9999, "DILATE84", 2), -1);
  EXPECT_EQ(mrNeiFun(9999, "Open84", 7), -1);
}

TEST(MrNeiFun, SixteenAndThirtyTwoBitRefusedEmptyAccepted) {
  for (int32_t depth : {4, 16, 32, 48, 64}) {
    RectOwner r(mrCreate(depth, 9, 4));
    ASSERT_TRUE(r) << depth;
    mrPutPixel(r.get(), 3, 2, 7);
    const auto before = Pixels(r.get());
    EXPECT_EQ(mrNeiFun(r.get(), "DILATE8", 2), -1) << depth;
    EXPECT_EQ(mrNeiFun(r.get(), "Close84", 2), -1) << depth;
    EXPECT_EQ(Pixels(r.get()), before) << depth;
  }
  RectOwner empty(mrCreate(8, 0, 5));
  ASSERT_TRUE(empty);
  EXPECT_EQ(mrNeiFun(empty.get(), "MEDIAN", 3), 0);
}

class BothModes : public ::testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override { mrUseIntelIPlib(GetParam()); }
  ModeGuard guard_;
};

TEST_P(BothModes, CentreRectangleOfTheRegistrationMask) {
  for (int32_t W : {64, 101, 300}) {
    const int32_t H = 77;
    RectOwner m(mrCreate(1, W, H));
    ASSERT_TRUE(m);
    mrPutPixel(m.get(), W / 2, H / 2, 1);
    const int32_t a = W / 5, b = 30;
    ASSERT_EQ(mrNeiFun(m.get(), "DILATEh2", a), 0);
    ASSERT_EQ(mrNeiFun(m.get(), "DILATEv2", b), 0);
    for (int32_t y = 0; y < H; ++y)
      for (int32_t x = 0; x < W; ++x)
        ASSERT_EQ(Bit(m.get(), x, y), std::abs(x - W / 2) <= a && std::abs(y - H / 2) <= b)
            << W << ": " << x << "," << y;
    // Counts beyond the size fill whole rows and columns (clipped).
    ASSERT_EQ(mrNeiFun(m.get(), "DILATEh2", W), 0);
    ASSERT_EQ(mrNeiFun(m.get(), "DILATEv2", 1000000), 0);
    for (int32_t y = 0; y < H; ++y)
      for (int32_t x = 0; x < W; ++x) ASSERT_TRUE(Bit(m.get(), x, y));
  }
}

TEST_P(BothModes, ErosionNeverEatsTheBorder) {
  const char* erosions[] = {"ERODE8", "ERODE4", "ERODEh2", "ERODEv2", "Open8", "Open4",
                            "ERODE84", "ERODE48", "Open84", "Open48", "Close8"};
  for (int32_t W : {64, 65, 128, 100}) {
    Extern m(1, W, 6, (W + 7) / 8);
    std::fill(m.px.begin(), m.px.end(), 0xFF);
    RectOwner g(mrCreate(8, W, 6));
    ASSERT_TRUE(m.h);
    ASSERT_TRUE(g);
    for (int32_t y = 0; y < 6; ++y)
      for (int32_t x = 0; x < W; ++x) mrPutPixel(g.get(), x, y, 255);
    const auto mb = m.px;
    const auto gb = Pixels(g.get());
    for (const char* k : erosions)
      for (int32_t n : {1, 4, 9}) {
        ASSERT_EQ(mrNeiFun(m.h.get(), k, n), 0);
        ASSERT_EQ(mrNeiFun(g.get(), k, n), 0);
        ASSERT_EQ(m.px, mb) << k << " " << n << " width " << W;
        ASSERT_EQ(Pixels(g.get()), gb) << k << " " << n << " width " << W;
      }
  }
}

TEST_P(BothModes, CornerDilationAndOctagons) {
  RectOwner c(mrCreate(1, 10, 10));
  mrPutPixel(c.get(), 0, 0, 1);
  ASSERT_EQ(mrNeiFun(c.get(), "DILATE8", 2), 0);
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 10; ++x) ASSERT_EQ(Bit(c.get(), x, y), x <= 2 && y <= 2);

  struct Oct {
    int32_t n, side, diag;
  };
  for (const Oct o : {Oct{6, 6, 8}, Oct{3, 3, 5}, Oct{5, 5, 8}, Oct{20, 20, 28}}) {
    const int32_t S = 61, C = 30;
    RectOwner m(mrCreate(1, S, S));
    RectOwner g(mrCreate(8, S, S));
    mrPutPixel(m.get(), C, C, 1);
    mrPutPixel(g.get(), C, C, 9);
    ASSERT_EQ(mrNeiFun(m.get(), "DILATE84", o.n), 0);
    ASSERT_EQ(mrNeiFun(g.get(), "DILATE84", o.n), 0);
    for (int32_t y = 0; y < S; ++y)
      for (int32_t x = 0; x < S; ++x) {
        const int32_t dx = std::abs(x - C), dy = std::abs(y - C);
        const bool in = dx <= o.side && dy <= o.side && dx + dy <= o.diag;
        ASSERT_EQ(Bit(m.get(), x, y), in) << "n " << o.n << " at " << x << "," << y;
        ASSERT_EQ(mrGetPixel(g.get(), x, y), in ? 9 : 0) << "n " << o.n;
      }
  }
}

// A schedule equals its steps run one by one.
TEST_P(BothModes, SchedulesEqualTheirSteps) {
  struct Plan {
    const char* keyword;
    int32_t n;
    std::vector<std::pair<const char*, int32_t>> steps;
  };
  const Plan plans[] = {
      {"Open84", 1, {{"ERODE8", 1}, {"DILATE4", 1}}},
      {"Open84", 2, {{"ERODE8", 1}, {"ERODE4", 1}, {"DILATE8", 1}, {"DILATE4", 1}}},
      {"close48", 3,
       {{"DILATE4", 1}, {"DILATE8", 1}, {"DILATE4", 1}, {"ERODE8", 1}, {"ERODE4", 1},
        {"ERODE8", 1}}},
      {"ERODE48", 5, {{"ERODE4", 1}, {"ERODE8", 1}, {"ERODE4", 1}, {"ERODE8", 1}, {"ERODE4", 1}}},
      {"Close48", 7, {{"DILATE8", 2}, {"DILATE4", 5}, {"ERODE8", 2}, {"ERODE4", 5}}},
      {"Open84", 13, {{"ERODE8", 5}, {"ERODE4", 8}, {"DILATE8", 5}, {"DILATE4", 8}}},
      {"ERODE84", 10, {{"ERODE8", 4}, {"ERODE4", 6}}},
      {"Open8", 2, {{"ERODE8", 2}, {"DILATE8", 2}}},
      {"Close4", 3, {{"DILATE4", 3}, {"ERODE4", 3}}},
  };
  std::mt19937 rng(41);
  for (const Plan& p : plans)
    for (int32_t depth : {1, 8}) {
      RectOwner a(mrCreate(depth, 45, 33));
      for (int32_t y = 0; y < 33; ++y)
        for (int32_t x = 0; x < 45; ++x)
          mrPutPixel(a.get(), x, y, depth == 1 ? (rng() % 3 != 0) : static_cast<int32_t>(rng() % 256));
      RectOwner b(mrCopyAs(a.get()));
      ASSERT_TRUE(b);
      ASSERT_EQ(mrNeiFun(a.get(), p.keyword, p.n), 0);
      for (const auto& s : p.steps) ASSERT_EQ(mrNeiFun(b.get(), s.first, s.second), 0);
      ASSERT_EQ(Pixels(a.get()), Pixels(b.get())) << p.keyword << " " << p.n << " depth " << depth;
    }
}

// Smoothing values are the scalar filter's (tested there); masks are left as
// they are.
TEST_P(BothModes, NoSmoothingOnMasks) {
  RectOwner mask(mrCreate(1, 33, 4));
  mrPutPixel(mask.get(), 5, 1, 1);
  const auto before = Pixels(mask.get());
  for (const char* k : {"AVER124", "MEDIAN", "BLUR"}) {
    EXPECT_EQ(mrNeiFun(mask.get(), k, 3), 0);
    EXPECT_EQ(Pixels(mask.get()), before) << k;
  }
}

TEST_P(BothModes, ColourIsFilteredPlaneByPlane) {
  const int32_t H = 9;
  std::mt19937 rng(43);
  for (const int32_t W : {2, 23})  {  // narrow images too
    for (const char* k : {"DILATE8", "MEDIAN", "Open84", "ERODEv2", "BLUR"}) {
      RectOwner rgb(mrCreate(24, W, H));
      RectOwner plane[3] = {RectOwner(mrCreate(8, W, H)), RectOwner(mrCreate(8, W, H)),
                            RectOwner(mrCreate(8, W, H))};
      int32_t w = 0, h = 0, pitch = 0;
      void* p = nullptr;
      ASSERT_EQ(mrGetExtendedInfo(rgb.get(), &w, &h, &pitch, &p), 24);
      auto* px = static_cast<uint8_t*>(p);
      for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
          for (int c = 0; c < 3; ++c) {
            const auto v = static_cast<uint8_t>(rng());
            px[y * pitch + 3 * x + c] = v;
            mrPutPixel(plane[c].get(), x, y, v);
          }
      ASSERT_EQ(mrNeiFun(rgb.get(), k, 2), 0);
      ASSERT_EQ(mrGetRectInfo(rgb.get(), &w, &h), 24);
      EXPECT_EQ(w, W);
      EXPECT_EQ(h, H);
      for (auto& pl : plane) ASSERT_EQ(mrNeiFun(pl.get(), k, 2), 0);
      for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
          for (int c = 0; c < 3; ++c)
            ASSERT_EQ(px[y * pitch + 3 * x + c], mrGetPixel(plane[c].get(), x, y)) << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, BothModes, ::testing::Values(2, 3),
                         [](const auto& info) {
                           return std::string(info.param == 2 ? "Scalar" : "Vector");
                         });

// Every keyword gives the same pixels in the scalar and the vector kernel
// mode, on extern rectangles with no slack after the rows.
TEST(MrNeiFun, ScalarAndVectorModesAgree) {
  ModeGuard guard;
  std::mt19937 rng(47);
  for (int32_t depth : {1, 8})
    for (int32_t w : {1, 7, 31, 32, 33, 63, 64, 65, 100})
      for (int32_t h : {1, 6, 17})
        for (const char* k : kKeywords)
          for (int32_t n = 1; n <= 9; ++n) {
            const int32_t pitch = depth == 1 ? (w + 7) / 8 : w;
            Extern s(depth, w, h, pitch), v(depth, w, h, pitch);
            ASSERT_TRUE(s.h);
            const bool erodes = k[0] == 'E' || k[0] == 'O';
            for (auto& b : s.px) {
              b = static_cast<uint8_t>(rng());
              if (depth == 1) b = erodes ? (b | (rng() & 0xEF)) : (b & rng() & 0x11);
            }
            v.px = s.px;
            mrUseIntelIPlib(2);
            ASSERT_EQ(mrNeiFun(s.h.get(), k, n), 0);
            mrUseIntelIPlib(3);
            ASSERT_EQ(mrNeiFun(v.h.get(), k, n), 0);
            ASSERT_EQ(s.px, v.px) << k << " n " << n << " depth " << depth << " " << w << "x" << h;
          }
}

// Runs longer than a 64-pixel word and much longer than a vector, and
// schedules with long square and cross halves: the vector mode folds them
// into a few calls of the run kernels and pipeline sweeps.
TEST(MrNeiFun, LongRunsAndSchedulesAgreeInBothModes) {
  ModeGuard guard;
  std::mt19937 rng(29);
  const char* const keywords[] = {"ERODEh2", "DILATEh2", "ERODEv2", "DILATEv2", "ERODE8",
                                  "DILATE8", "Open8",    "Close8",  "DILATE84", "Open48"};
  for (int32_t depth : {1, 8})
    for (int32_t w : {130, 300})
      for (const char* k : keywords)
        for (int32_t n : {63, 64, 65, 130, 290}) {
          const int32_t h = 70;
          const int32_t count = depth == 1 ? n : n / 8;
          const int32_t pitch = depth == 1 ? (w + 7) / 8 : w;
          Extern s(depth, w, h, pitch), v(depth, w, h, pitch);
          ASSERT_TRUE(s.h);
          const bool erodes = k[0] == 'E' || k[0] == 'O';
          for (auto& b : s.px) {
            b = static_cast<uint8_t>(rng());
            if (depth == 1) b = rng() % 97 == 0 ? b : 0;  // sparse seeds
            if (depth == 1 && erodes) b = static_cast<uint8_t>(~b);
          }
          v.px = s.px;
          mrUseIntelIPlib(2);
          ASSERT_EQ(mrNeiFun(s.h.get(), k, count), 0);
          mrUseIntelIPlib(3);
          ASSERT_EQ(mrNeiFun(v.h.get(), k, count), 0);
          ASSERT_EQ(s.px, v.px) << k << " n " << count << " depth " << depth << " width " << w;
        }
}

// Threads filtering their own images at the same time get the results of a
// lone run: the scratch memory of the kernels is not shared.
TEST(MrNeiFun, ThreadsOnDifferentImagesDoNotDisturbEachOther) {
  ModeGuard guard;
  const char* const plan[] = {"DILATE84", "Open8", "MEDIAN", "ERODEh2", "Close4"};
  const int32_t counts[] = {7, 3, 2, 40, 3};
  std::mt19937 rng(53);
  constexpr int kThreads = 4;
  std::vector<std::vector<uint8_t>> start(kThreads), want(kThreads), got(kThreads);
  const int32_t depth[kThreads] = {1, 8, 1, 8};
  const int32_t w = 333, h = 120;
  for (int t = 0; t < kThreads; ++t) {
    const int32_t pitch = depth[t] == 1 ? (w + 7) / 8 : w;
    start[t].resize(static_cast<size_t>(pitch) * h);
    for (auto& b : start[t]) b = static_cast<uint8_t>(depth[t] == 1 ? (rng() % 50 == 0) << (rng() % 8) : rng());
  }
  auto run = [&](int t, std::vector<uint8_t>& out) {
    const int32_t pitch = depth[t] == 1 ? (w + 7) / 8 : w;
    out = start[t];
    RectOwner r(mrMakeExtern(out.data(), depth[t], w, h, pitch));
    for (int rep = 0; rep < 5; ++rep)
      for (int i = 0; i < 5; ++i) mrNeiFun(r.get(), plan[(i + t) % 5], counts[(i + t) % 5]);
  };
  for (int32_t mode : {3, 2}) {
    mrUseIntelIPlib(mode);
    for (int t = 0; t < kThreads; ++t) run(t, want[t]);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { run(t, got[t]); });
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(got[t], want[t]) << "thread " << t << " mode " << mode;
  }
}

}  // namespace
