// Depth conversion to and from masks (the threshold and masked-fill pairs).
#include <gtest/gtest.h>

#include <vector>

#include "kernels/kernel_mode.h"
#include "memrect/convert.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "memrect/test_rects.h"

namespace {

using vantor::RectOwner;
using vantor::test::Image;
using vantor::test::Pixels;
using vantor::test::KernelModeScope;

TEST(ConvertMasks, ThresholdsIntoMasks) {
  for (int32_t mode : {2, 3}) {
    KernelModeScope scope(mode);
    RectOwner g = Image(8, 5, 1, {0, 99, 100, 101, 255});
    RectOwner m(mrCreate(1, 5, 1));
    EXPECT_EQ(mrConvert(g.get(), m.get(), 100 + 256), 5);  // low byte of the mode
    EXPECT_EQ(Pixels(m.get()), (std::vector<int32_t>{0, 0, 1, 1, 1}));
    EXPECT_EQ(mrConvert(g.get(), m.get(), 0), 5);
    EXPECT_EQ(Pixels(m.get()), (std::vector<int32_t>{1, 1, 1, 1, 1}));
    // Colour: largest channel strictly above the mode; nothing for 255.
    RectOwner c = Image(24, 4, 1, {0x000064, 0x650000, 0x006300, 0xFFFFFF});
    EXPECT_EQ(mrConvert(c.get(), m.get(), 0), -1);  // sizes differ
    RectOwner cm(mrCreate(1, 4, 1));
    EXPECT_EQ(mrConvert(c.get(), cm.get(), 100), 4);
    EXPECT_EQ(Pixels(cm.get()), (std::vector<int32_t>{0, 1, 0, 1}));
    EXPECT_EQ(mrConvert(c.get(), cm.get(), 255), 4);
    EXPECT_EQ(Pixels(cm.get()), (std::vector<int32_t>{0, 0, 0, 0}));
  }
}

TEST(ConvertMasks, ThirtyTwoBitsAreComparedAfterTheShiftOfTheirMaximum) {
  // Maximum 4000 has its highest bit at 11: shift 4. Pixels >> 4 against 1000 >> 4 = 62.
  RectOwner w = Image(32, 5, 1, {4000, 1000, 992, 991, 0});
  RectOwner m(mrCreate(1, 5, 1));
  EXPECT_EQ(mrConvert(w.get(), m.get(), 1000), 5);
  EXPECT_EQ(Pixels(m.get()), (std::vector<int32_t>{1, 1, 1, 0, 0}));
  // A small maximum needs no shift.
  RectOwner s = Image(32, 3, 1, {7, 8, 200});
  RectOwner sm(mrCreate(1, 3, 1));
  EXPECT_EQ(mrConvert(s.get(), sm.get(), 8), 3);
  EXPECT_EQ(Pixels(sm.get()), (std::vector<int32_t>{0, 1, 1}));
}

TEST(ConvertMasks, MasksIntoGreyColourAndWideImages) {
  for (int32_t mode : {2, 3}) {
    KernelModeScope scope(mode);
    RectOwner m = Image(1, 11, 2, {1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 1});
    RectOwner g = Image(8, 11, 2, std::vector<int32_t>(22, 33));
    EXPECT_EQ(mrConvert(m.get(), g.get(), -1), 22);  // -1: 255 on set bits
    std::vector<int32_t> expect(22, 0);
    expect[0] = expect[3] = expect[10] = expect[12] = 255;
    EXPECT_EQ(Pixels(g.get()), expect);
    EXPECT_EQ(mrConvert(m.get(), g.get(), 7), 22);
    for (int32_t& v : expect) v = v ? 7 : 0;
    EXPECT_EQ(Pixels(g.get()), expect);
    RectOwner c = Image(24, 11, 2, std::vector<int32_t>(22, 0x123456));
    EXPECT_EQ(mrConvert(m.get(), c.get(), 0), 22);
    for (int32_t& v : expect) v = v ? 0xFFFFFF : 0;
    EXPECT_EQ(Pixels(c.get()), expect);
  }
  // 1 -> 32 keeps the eight bits below the highest set bit of the mode.
  RectOwner m = Image(1, 3, 1, {1, 0, 1});
  RectOwner w = Image(32, 3, 1, {5, 5, 5});
  EXPECT_EQ(mrConvert(m.get(), w.get(), 0x12345), 3);  // highest bit 16: shift 9
  EXPECT_EQ(Pixels(w.get()), (std::vector<int32_t>{0x12345 & ~0x1FF, 0, 0x12345 & ~0x1FF}));
  EXPECT_EQ(mrConvert(m.get(), w.get(), 200), 3);
  EXPECT_EQ(Pixels(w.get()), (std::vector<int32_t>{200, 0, 200}));
  EXPECT_EQ(mrConvert(m.get(), w.get(), -1), 3);  // bit 31: the top byte only
  EXPECT_EQ(Pixels(w.get()), (std::vector<int32_t>{static_cast<int32_t>(0xFF000000u), 0,
                                                   static_cast<int32_t>(0xFF000000u)}));
}

}  // namespace
