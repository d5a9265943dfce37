#include "memrect/convert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "kernels/kernel_mode.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"

namespace {

using vantor::RectOwner;

RectOwner Make(int32_t depth, int32_t width, int32_t height) {
  RectOwner r(mrCreate(depth, width, height));
  EXPECT_TRUE(r) << depth << " " << width << "x" << height;
  return r;
}

// Raw pixel bytes (depth / 8 of them, low byte first) at (x, y).
void PutRaw(int32_t h, int32_t x, int32_t y, uint64_t v) {
  void* p = nullptr;
  const int32_t depth = mrGetPixelAddr(h, x, y, &p);
  ASSERT_GE(depth, 8);
  std::memcpy(p, &v, depth / 8);
}

uint64_t GetRaw(int32_t h, int32_t x, int32_t y) {
  void* p = nullptr;
  const int32_t depth = mrGetPixelAddr(h, x, y, &p);
  EXPECT_GE(depth, 8);
  uint64_t v = 0;
  if (depth >= 8) std::memcpy(&v, p, depth / 8);
  return v;
}

uint64_t Bits(double d) {
  uint64_t v;
  std::memcpy(&v, &d, sizeof v);
  return v;
}

// Every pixel byte of a rectangle, row by row (row bytes only).
std::vector<uint8_t> Snapshot(int32_t h) {
  int32_t w = 0, ht = 0, pitch = 0;
  void* pixels = nullptr;
  const int32_t depth = mrGetExtendedInfo(h, &w, &ht, &pitch, &pixels);
  std::vector<uint8_t> out;
  if (depth < 0) return out;
  const size_t rowBytes = (static_cast<size_t>(depth) * w + 7) / 8;
  for (int32_t y = 0; y < ht; ++y) {
    const auto* row = static_cast<const uint8_t*>(pixels) + static_cast<ptrdiff_t>(y) * pitch;
    out.insert(out.end(), row, row + rowBytes);
  }
  return out;
}

void FillPattern(int32_t h) {
  int32_t w = 0, ht = 0, pitch = 0;
  void* pixels = nullptr;
  ASSERT_GE(mrGetExtendedInfo(h, &w, &ht, &pitch, &pixels), 0);
  std::memset(pixels, 0x5C, static_cast<size_t>(pitch) * ht);
}

// One pixel per depth pair: (1, 1) of a 5 x 2 image holds the source value,
// the rest is 0. Width 5 passes the pitch test of the colour-to-grey step.
struct PairCase {
  int32_t from, to, mode;
  uint64_t in, out;
  int32_t result;
};

constexpr uint64_t Rgb(uint64_t b, uint64_t g, uint64_t r) { return b | g << 8 | r << 16; }
constexpr uint64_t Rgb48(uint64_t b, uint64_t g, uint64_t r) { return b | g << 16 | r << 32; }

TEST(Convert, EveryPairOfTheTable) {
  const PairCase cases[] = {
      {8, 8, 0, 200, 200, 10},
      {16, 16, 0, 60000, 60000, 10},
      {24, 24, 0, 0x123456, 0x123456, 10},
      {32, 32, 0, 0xDEADBEEF, 0xDEADBEEF, 10},
      {8, 16, 4, 200, 3200, 10},
      {8, 32, 20, 200, 200u << 20, 10},
      {16, 32, 1, 60000, 120000, 10},
      {16, 8, -1, 1000, 250, 1000},
      {32, 8, -1, 0x12345678, 0x91, 0x12345678},  // shift 21
      {32, 16, -1, 0x12345678, 0x91A2, 0x12345678},  // shift 13
      {32, 8, 3, 0x12345678, 0xCF, 0},
      {48, 24, -1, Rgb48(1000, 500, 4), Rgb(250, 125, 1), 1000},
      {24, 48, 8, Rgb(1, 2, 255), Rgb48(256, 512, 65280), 65280},
      {24, 8, 0, Rgb(10, 20, 31), 31, 31},
      {48, 16, 0, Rgb48(10, 60000, 31), 60000, 60000},
      {8, 24, 0, 77, Rgb(77, 77, 77), 10},
      {16, 48, 0, 60000, Rgb48(60000, 60000, 60000), 10},
      {24, 16, 0, Rgb(10, 20, 31), 31, 10},
      {24, 32, 0, Rgb(10, 20, 31), 31, 10},
      {16, 24, 0, 1000, Rgb(255, 255, 255), 10},  // stretched: the maximum becomes 255
      {32, 24, 0, 100, Rgb(100, 100, 100), 10},   // fits: copied
      {32, 64, 0, 0xFFFFFFFF, Bits(4294967295.0), 10},
      {32, 64, 1, 0xFFFFFFFF, Bits(-1.0), 10},
      {64, 32, 1, Bits(3e9), 2147483647, 10},
      {64, 32, 1, Bits(-2.5), 0xFFFFFFFE, 10},
      {64, 32, 1, Bits(-3e9), 0x80000001, 10},
      {64, 32, 0, Bits(-2.5), 0xFFFFFFFE, 10},
      {64, 32, 0, Bits(5e9), 0xFFFFFFFF, 10},
      {64, 8, 7, Bits(300.7), 44, 0},
      {64, 16, 7, Bits(70000.0), 4464, 0},
      {8, 64, 7, 200, Bits(200.0), 10},
      {16, 64, 7, 60000, Bits(60000.0), 10},
  };
  for (const PairCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to << " mode " << c.mode);
    RectOwner src = Make(c.from, 5, 2), dst = Make(c.to, 5, 2);
    PutRaw(src.get(), 1, 1, c.in);
    EXPECT_EQ(mrConvert(src.get(), dst.get(), c.mode), c.result);
    EXPECT_EQ(GetRaw(dst.get(), 1, 1), c.out);
    EXPECT_EQ(GetRaw(dst.get(), 0, 0), c.to == 64 ? Bits(0.0) : 0u);
  }
}

TEST(Convert, BitRowsCopiedWithoutTouchingNeighbours) {
  RectOwner src = Make(1, 13, 2), parent = Make(1, 32, 2);
  mrPutPixel(src.get(), 0, 0, 1);
  mrPutPixel(src.get(), 12, 1, 1);
  FillPattern(parent.get());  // 0x5C in every byte
  // A 13-wide window at x = 8: bits 21..23 of the parent's row belong to it
  // neither by byte nor by pixel and must survive.
  RectOwner window(mrCreateOverlay(parent.get(), 8, 0, 13, 2));
  ASSERT_TRUE(window);
  EXPECT_EQ(mrConvert(src.get(), window.get(), 0), 26);
  EXPECT_EQ(mrGetPixel(window.get(), 0, 0), 1);
  EXPECT_EQ(mrGetPixel(window.get(), 1, 0), 0);
  EXPECT_EQ(mrGetPixel(window.get(), 12, 1), 1);
  for (int32_t x = 21; x < 32; ++x) {
    EXPECT_EQ(mrGetPixel(parent.get(), x, 0), (0x5C >> (x % 8)) & 1) << x;
  }
  EXPECT_EQ(mrGetPixel(parent.get(), 0, 0), 0);  // 0x5C bit 0
}

TEST(Convert, RefusedPairsLeaveTheDestinationUntouched) {
  struct Refused {
    int32_t from, to;
  };
  const Refused refused[] = {{4, 8}, {8, 4}, {48, 8}, {48, 48}, {64, 64}, {48, 32}, {64, 24},
                             {16, 1}, {1, 16}, {48, 1}, {1, 64}};
  for (const Refused& r : refused) {
    SCOPED_TRACE(testing::Message() << r.from << " -> " << r.to);
    RectOwner src = Make(r.from, 8, 3), dst = Make(r.to, 8, 3);
    FillPattern(src.get());
    FillPattern(dst.get());
    const auto before = Snapshot(dst.get());
    EXPECT_EQ(mrConvert(src.get(), dst.get(), -1), -1);
    EXPECT_EQ(Snapshot(dst.get()), before);
  }

  RectOwner a = Make(16, 8, 3), b = Make(8, 8, 4), c = Make(8, 7, 3);
  EXPECT_EQ(mrConvert(a.get(), b.get(), -1), -1);
  EXPECT_EQ(mrConvert(a.get(), c.get(), -1), -1);
  EXPECT_EQ(mrConvert(a.get(), 9999, -1), -1);
  EXPECT_EQ(mrConvert(0, b.get(), -1), -1);
}

TEST(Convert, NarrowingIntoAnOverlayStaysInsideIt) {
  RectOwner src = Make(16, 3, 2), parent = Make(8, 9, 4);
  FillPattern(parent.get());
  RectOwner window(mrCreateOverlay(parent.get(), 2, 1, 3, 2));
  ASSERT_TRUE(window);
  for (int32_t i = 0; i < 6; ++i) mrPutPixel(src.get(), i % 3, i / 3, 200 * i);
  EXPECT_EQ(mrConvert(src.get(), window.get(), -1), 1000);
  for (int32_t y = 0; y < 4; ++y) {
    for (int32_t x = 0; x < 9; ++x) {
      const bool inside = x >= 2 && x < 5 && y >= 1 && y < 3;
      const int32_t expected = inside ? 200 * ((x - 2) + 3 * (y - 1)) / 4 : 0x5C;
      EXPECT_EQ(mrGetPixel(parent.get(), x, y), expected) << x << "," << y;
    }
  }
  // A rectangle converted onto itself is unchanged.
  const auto before = Snapshot(parent.get());
  EXPECT_EQ(mrConvert(parent.get(), parent.get(), 3), 36);
  EXPECT_EQ(Snapshot(parent.get()), before);
}

TEST(Convert, LargeMaximumIsNotMistakenForFailure) {
  RectOwner src = Make(32, 4, 4), dst = Make(8, 4, 4);
  mrPutPixel(src.get(), 3, 3, -1);  // 0xFFFFFFFF read as unsigned
  EXPECT_EQ(mrConvert(src.get(), dst.get(), -1), 2147483647);
  EXPECT_EQ(mrGetPixel(dst.get(), 3, 3), 255);
}

TEST(RGBtoGray, WeightsOnHandles) {
  RectOwner src = Make(24, 4, 1), dst = Make(8, 4, 1);
  PutRaw(src.get(), 2, 0, Rgb(10, 20, 31));
  EXPECT_EQ(mrRGBtoGray(src.get(), dst.get(), -4, 0, 0), 21);
  EXPECT_EQ(mrGetPixel(dst.get(), 2, 0), 21);
  EXPECT_EQ(mrRGBtoGray(src.get(), dst.get(), -2, 0, 0), 31);
  EXPECT_EQ(mrRGBtoGray(src.get(), dst.get(), 0, 0, 0), 10);
  EXPECT_EQ(mrRGBtoGray(src.get(), dst.get(), 1, 1, 1), 20);
  EXPECT_EQ(mrGetPixel(dst.get(), 2, 0), 20);
  EXPECT_EQ(mrRGBtoGray(src.get(), dst.get(), 0, 255, 0), 20);
  EXPECT_EQ(mrGetPixel(dst.get(), 0, 0), 0);
}

TEST(RGBtoGray, RefusalsLeaveTheDestinationUntouched) {
  // Widths 1 to 3 fail the pitch test for 24 -> 8, width 1 for 48 -> 16.
  for (const int32_t width : {1, 2, 3}) {
    RectOwner src = Make(24, width, 2), dst = Make(8, width, 2);
    FillPattern(src.get());
    FillPattern(dst.get());
    const auto before = Snapshot(dst.get());
    EXPECT_EQ(mrRGBtoGray(src.get(), dst.get(), -4, 0, 0), -1) << width;
    EXPECT_EQ(mrConvert(src.get(), dst.get(), 0), -1) << width;
    EXPECT_EQ(Snapshot(dst.get()), before);
    // The chained 24 -> 16 pair is refused as a whole.
    RectOwner wide = Make(16, width, 2);
    FillPattern(wide.get());
    const auto wideBefore = Snapshot(wide.get());
    EXPECT_EQ(mrConvert(src.get(), wide.get(), 0), -1);
    EXPECT_EQ(Snapshot(wide.get()), wideBefore);
  }
  {
    RectOwner src = Make(48, 1, 1), dst = Make(16, 1, 1);
    EXPECT_EQ(mrRGBtoGray(src.get(), dst.get(), -4, 0, 0), -1);
    RectOwner src2 = Make(48, 2, 1), dst2 = Make(16, 2, 1);
    EXPECT_EQ(mrRGBtoGray(src2.get(), dst2.get(), -4, 0, 0), 0);
  }
  RectOwner src = Make(24, 4, 2), grey = Make(8, 4, 2), grey16 = Make(16, 4, 2),
            other = Make(8, 5, 2);
  EXPECT_EQ(mrRGBtoGray(src.get(), grey16.get(), -4, 0, 0), -1);
  EXPECT_EQ(mrRGBtoGray(src.get(), other.get(), -4, 0, 0), -1);
  EXPECT_EQ(mrRGBtoGray(grey.get(), src.get(), -4, 0, 0), -1);
  EXPECT_EQ(mrRGBtoGray(src.get(), 0, -4, 0, 0), -1);
  RectOwner empty = Make(24, 0, 3), emptyGrey = Make(8, 0, 3);
  EXPECT_EQ(mrRGBtoGray(empty.get(), emptyGrey.get(), -4, 0, 0), 0);
}

TEST(BytesToRGB, PlanesReassembleTheColourImage) {
  std::mt19937 rng(3);
  for (const int32_t depth : {24, 48}) {
    SCOPED_TRACE(depth);
    const int32_t plane = depth / 3;
    RectOwner colour = Make(depth, 6, 3), copy = Make(depth, 6, 3);
    for (int32_t y = 0; y < 3; ++y) {
      for (int32_t x = 0; x < 6; ++x) PutRaw(colour.get(), x, y, rng() | uint64_t{rng()} << 32);
    }
    FillPattern(copy.get());
    RectOwner r = Make(plane, 6, 3), g = Make(plane, 6, 3), b = Make(plane, 6, 3);
    ASSERT_GE(mrRGBtoGray(colour.get(), r.get(), 255, 0, 0), 0);
    ASSERT_GE(mrRGBtoGray(colour.get(), g.get(), 0, 255, 0), 0);
    ASSERT_GE(mrRGBtoGray(colour.get(), b.get(), 0, 0, 255), 0);
    EXPECT_EQ(mrBytesToRGB(r.get(), copy.get(), "Fill", 255, 0, 0), 18);
    EXPECT_EQ(mrBytesToRGB(g.get(), copy.get(), "add", 0, 255, 0), 18);
    EXPECT_EQ(mrBytesToRGB(b.get(), copy.get(), "ADD", 0, 0, 255), 18);
    EXPECT_EQ(Snapshot(copy.get()), Snapshot(colour.get()));

    // Insert replaces one channel and keeps the others.
    FillPattern(g.get());
    EXPECT_EQ(mrBytesToRGB(g.get(), copy.get(), "Insert", 0, 255, 0), 18);
    int32_t red = 0, green = 0, blue = 0, red0 = 0, green0 = 0, blue0 = 0;
    mrGetPixelRGB(copy.get(), 4, 2, &red, &green, &blue);
    mrGetPixelRGB(colour.get(), 4, 2, &red0, &green0, &blue0);
    EXPECT_EQ(red, red0);
    EXPECT_EQ(blue, blue0);
    EXPECT_EQ(green, depth == 24 ? 0x5C : 0x5C5C);
  }
}

TEST(BytesToRGB, RefusalsLeaveTheDestinationUntouched) {
  RectOwner grey = Make(8, 4, 2), colour = Make(24, 4, 2), grey16 = Make(16, 4, 2),
            narrow = Make(24, 3, 2);
  FillPattern(colour.get());
  const auto before = Snapshot(colour.get());
  EXPECT_EQ(mrBytesToRGB(grey.get(), colour.get(), "Mix", 255, 255, 255), -1);
  EXPECT_EQ(mrBytesToRGB(grey.get(), colour.get(), "", 255, 255, 255), -1);
  EXPECT_EQ(mrBytesToRGB(grey.get(), colour.get(), nullptr, 255, 255, 255), -1);
  EXPECT_EQ(mrBytesToRGB(grey16.get(), colour.get(), "Fill", 255, 255, 255), -1);
  EXPECT_EQ(mrBytesToRGB(grey.get(), narrow.get(), "Fill", 255, 255, 255), -1);
  EXPECT_EQ(mrBytesToRGB(grey.get(), 0, "Fill", 255, 255, 255), -1);
  EXPECT_EQ(Snapshot(colour.get()), before);
}

// The batch run's paths give the same image whichever kernels the mode picks.
TEST(Convert, KernelModesAgree) {
  std::mt19937 rng(11);
  RectOwner colour = Make(24, 37, 5), deep = Make(16, 37, 5);
  for (int32_t y = 0; y < 5; ++y) {
    for (int32_t x = 0; x < 37; ++x) {
      PutRaw(colour.get(), x, y, rng() & 0xFFFFFF);
      PutRaw(deep.get(), x, y, rng() & 0x3FFF);
    }
  }
  std::vector<uint8_t> results[2][2];
  int32_t values[2][2];
  const int32_t previous = mrUseIntelIPlib(2);
  for (int i = 0; i < 2; ++i) {
    mrUseIntelIPlib(i == 0 ? 2 : 3);
    RectOwner g1 = Make(8, 37, 5), g2 = Make(8, 37, 5);
    values[i][0] = mrRGBtoGray(colour.get(), g1.get(), -4, 0, 0);
    values[i][1] = mrConvert(deep.get(), g2.get(), -1);
    results[i][0] = Snapshot(g1.get());
    results[i][1] = Snapshot(g2.get());
  }
  mrUseIntelIPlib(previous);
  EXPECT_EQ(values[0][0], values[1][0]);
  EXPECT_EQ(values[0][1], values[1][1]);
  EXPECT_EQ(results[0][0], results[1][0]);
  EXPECT_EQ(results[0][1], results[1][1]);
}

}  // namespace
