#include "app/aligned.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/test_support.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/rect_owner.h"

namespace {

using vantor::RectOwner;
using vantor::app::WriteAlignedFrame;

// One channel of pixel (x, y) (8- and 16-bit channels, 32-bit values, doubles).
double Channel(int32_t h, int32_t x, int32_t y, int c) {
  int32_t w = 0, ht = 0, pitch = 0;
  void* p = nullptr;
  const int32_t depth = mrGetExtendedInfo(h, &w, &ht, &pitch, &p);
  const uint8_t* row = static_cast<const uint8_t*>(p) + static_cast<ptrdiff_t>(y) * pitch;
  switch (depth) {
    case 1: return (row[x / 8] >> (x % 8)) & 1;
    case 4: return (row[x / 2] >> (x % 2 * 4)) & 15;
    case 8: return row[x];
    case 24: return row[3 * x + c];
    case 16:
    case 48: {
      uint16_t v;
      std::memcpy(&v, row + 2 * ((depth == 48 ? 3 * x + c : x)), 2);
      return v;
    }
    case 64: {
      double v;
      std::memcpy(&v, row + 8 * x, 8);
      return v;
    }
    default: {
      int32_t v;
      std::memcpy(&v, row + 4 * x, 4);
      return v;
    }
  }
}

// A smooth picture with noise, every channel different.
RectOwner Frame(int32_t depth, int32_t w, int32_t h) {
  RectOwner r(mrCreate(depth, w, h));
  int32_t pitch = 0;
  void* p = nullptr;
  mrGetExtendedInfo(r.get(), nullptr, nullptr, &pitch, &p);
  std::mt19937 rng(depth);
  const int channels = depth == 24 || depth == 48 ? 3 : 1;
  const int size = depth == 16 || depth == 48 ? 2 : depth == 32 ? 4 : depth == 64 ? 8 : 1;
  const double top = size == 2 ? 60000 : size == 4 ? 1e8 : 250;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c) {
        const double t = 0.5 + 0.35 * std::sin(0.21 * x + c) * std::cos(0.13 * y) + 0.1 * (rng() % 100) / 100;
        uint8_t* at = static_cast<uint8_t*>(p) + static_cast<ptrdiff_t>(y) * pitch;
        if (depth == 1) {
          if (t > 0.5) at[x / 8] |= uint8_t(1u << (x % 8));
          continue;
        }
        if (depth == 4) {
          at[x / 2] |= uint8_t(std::lround(t * 15) << (x % 2 * 4));
          continue;
        }
        if (depth == 64) {
          const double v = t * 1000 - 400;
          std::memcpy(at + 8 * static_cast<size_t>(x), &v, 8);
          continue;
        }
        const int64_t v = std::llround(t * top) - (size == 4 ? 5e7 : 0);
        std::memcpy(at + (static_cast<size_t>(x) * channels + c) * size, &v, size);
      }
  return r;
}

// The expectation, worked out here pixel by pixel with linear interpolation:
// (x - dx, y - dy) sampled bilinearly, 0 wherever it lies outside
// [0, w - 1] x [0, h - 1], rounded (doubles not). Depth 1 takes the nearest
// of the four, 0 where the pixel to its lower left lies outside.
double Expected(int32_t src, int32_t x, int32_t y, int c, double dx, double dy) {
  int32_t w = 0, h = 0;
  const int32_t depth = mrGetRectInfo(src, &w, &h);
  const double sx = x - dx, sy = y - dy;
  const double ix = std::floor(sx), iy = std::floor(sy);
  if (depth == 1 ? (ix < 0 || ix >= w || iy < 0 || iy >= h)
                 : (sx < 0 || sx > w - 1 || sy < 0 || sy > h - 1))
    return 0;
  const double fx = sx - ix, fy = sy - iy;
  const int32_t x0 = int32_t(ix), y0 = int32_t(iy);
  const int32_t x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
  if (depth == 1) return Channel(src, fx >= 0.5 ? x1 : x0, fy > 0.5 ? y1 : y0, c);
  const double v = (1 - fy) * ((1 - fx) * Channel(src, x0, y0, c) + fx * Channel(src, x1, y0, c)) +
                   fy * ((1 - fx) * Channel(src, x0, y1, c) + fx * Channel(src, x1, y1, c));
  return depth == 64 ? v : std::floor(v + 0.5);
}

// Linear interpolation and 0 outside, as Expected works it out.
vantor::app::AlignedLook Linear() {
  vantor::app::AlignedLook look;
  look.interpolation = kResampleLinear;
  look.fill = 0.0;
  return look;
}

std::string Numbered(const char* prefix, int n) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%d.tif", prefix, n);
  return name;
}

TEST(AlignedFrame, EveryDepthShiftedOntoTheFirstFrame) {
  vantor::test::TempDir dir;
  const std::string out = (dir / "a" / "b").string();  // made with its parent
  for (int32_t depth : {1, 4, 8, 16, 24, 32, 48, 64}) {
    RectOwner src = Frame(depth, 45, 23);
    const double dx = 2.25, dy = -3.625;  // x - dx exact, as the expectation needs
    const std::string name = Numbered("f", depth);
    std::string error;
    ASSERT_TRUE(WriteAlignedFrame(out, name, src.get(), dx, dy, "", &error, Linear())) << error;
    RectOwner back(mrReadFile((out + "/" + name).c_str()));
    ASSERT_TRUE(back) << mrLastLoadError();
    int32_t w = 0, h = 0;
    ASSERT_EQ(mrGetRectInfo(back.get(), &w, &h), depth);
    EXPECT_EQ(w, 45);
    EXPECT_EQ(h, 23);
    const int channels = depth == 24 || depth == 48 ? 3 : 1;
    double top = 0;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        for (int c = 0; c < channels; ++c) {
          ASSERT_EQ(Channel(back.get(), x, y, c), Expected(src.get(), x, y, c, dx, dy))
              << "depth " << depth << " at " << x << "," << y << " channel " << c;
          top = std::max(top, Channel(back.get(), x, y, c));
        }
    if (depth == 16 || depth == 48) {
      EXPECT_GT(top, 255);  // still 16 bits wide
    }
  }
}

TEST(AlignedFrame, SubPixelShiftsReplacingAndRefusing) {
  vantor::test::TempDir dir;
  const std::string d = dir.path().string();
  RectOwner src = Frame(8, 64, 40);
  std::string error;
  // A shift that is not a binary fraction: the library's float weights and
  // the double positions here may round a tie apart, never by more than 1.
  ASSERT_TRUE(WriteAlignedFrame(d, "s.tif", src.get(), -1.3, 0.7, "", &error, Linear())) << error;
  RectOwner back(mrReadFile((d + "/s.tif").c_str()));
  ASSERT_TRUE(back);
  int exact = 0;
  for (int32_t y = 0; y < 40; ++y)
    for (int32_t x = 0; x < 64; ++x) {
      const double want = Expected(src.get(), x, y, 0, -1.3, 0.7);
      ASSERT_LE(std::fabs(Channel(back.get(), x, y, 0) - want), 1);
      exact += Channel(back.get(), x, y, 0) == want;
    }
  EXPECT_GT(exact, 64 * 40 - 10);

  // Written again with another shift: replaced, and no temporary file left.
  ASSERT_TRUE(WriteAlignedFrame(d, "s.tif", src.get(), 0, 0, "", &error)) << error;
  back.reset(mrReadFile((d + "/s.tif").c_str()));
  EXPECT_EQ(Channel(back.get(), 5, 7, 0), Channel(src.get(), 5, 7, 0));
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(d)) files += e.is_regular_file();
  EXPECT_EQ(files, 1);

  // The frame's own file is never the target, under any spelling.
  EXPECT_FALSE(WriteAlignedFrame(d, "s.tif", src.get(), 1, 1, d + "/./s.tif", &error));
  EXPECT_NE(error.find("s.tif: is the input file itself"), std::string::npos) << error;
  EXPECT_FALSE(WriteAlignedFrame(d, "t.tif", 0, 1, 1, "", &error));
  EXPECT_FALSE(WriteAlignedFrame(d, "t.tif", src.get(), NAN, 1, "", &error));
  EXPECT_FALSE(WriteAlignedFrame(d + "/s.tif", "t.tif", src.get(), 1, 1, "", &error));  // a file
  EXPECT_NE(error.find("cannot create the folder"), std::string::npos) << error;
}

TEST(AlignedFrame, ThreadsWriteTheirFramesAtOnce) {
  vantor::test::TempDir dir;
  const std::string d = dir.path().string();
  RectOwner src = Frame(16, 50, 30);
  std::vector<std::thread> threads;
  std::vector<int> ok(24, 0);
  for (int t = 0; t < 24; ++t) {  // more threads than file slots
    threads.emplace_back([&, t] {
      std::string error;
      ok[t] = WriteAlignedFrame(d, Numbered("t", t), src.get(), 0.5 * t, -0.25 * t, "", &error,
                                Linear());
    });
  }
  for (auto& t : threads) t.join();
  for (int t = 0; t < 24; ++t) {
    EXPECT_TRUE(ok[t]) << t;
    RectOwner back(mrReadFile((dir / Numbered("t", t)).c_str()));
    ASSERT_TRUE(back);
    EXPECT_EQ(Channel(back.get(), 20, 10, 0), Expected(src.get(), 20, 10, 0, 0.5 * t, -0.25 * t));
  }
}

}  // namespace

namespace {

// Doubles from a 32-bit float file stay 32-bit floats; the default cubic
// moves a whole pixel exactly and fills NaN on the one uncovered side.
TEST(AlignedFrame, FloatFramesStayFloat32) {
  vantor::test::TempDir dir;
  const std::string d = dir.path().string();
  RectOwner src = Frame(64, 30, 20);
  vantor::app::AlignedLook look;
  look.float32 = true;
  std::string error;
  ASSERT_TRUE(WriteAlignedFrame(d, "f.tif", src.get(), 2, -1, "", &error, look)) << error;
  EXPECT_TRUE(vantor::app::StoredAsFloat32(d + "/f.tif", 0));
  RectOwner back(mrReadFile((d + "/f.tif").c_str()));
  ASSERT_EQ(mrGetRectInfo(back.get(), nullptr, nullptr), 64);
  for (int32_t y = 0; y < 20; ++y)
    for (int32_t x = 0; x < 30; ++x) {
      const double v = Channel(back.get(), x, y, 0);
      if (x < 2 || y == 19) EXPECT_TRUE(std::isnan(v)) << x << "," << y;
      else EXPECT_EQ(v, static_cast<float>(Channel(src.get(), x - 2, y + 1, 0))) << x << "," << y;
    }
  EXPECT_EQ(vantor::app::FillProblem(16, 70000), "outside the range of 16-bit frames (0 to 65535)");
  EXPECT_NE(vantor::app::FillProblem(8, NAN), "");
  EXPECT_EQ(vantor::app::FillProblem(64, NAN), "");
}

}  // namespace
