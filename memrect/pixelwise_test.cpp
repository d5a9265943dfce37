#include "memrect/pixelwise.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kernels/kernel_mode.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "memrect/test_rects.h"

namespace {

using vantor::RectOwner;
using vantor::test::Image;
using vantor::test::Pixels;
using vantor::test::KernelModeScope;

TEST(MulDiv, ByteScalingTruncatesClipsAndCountsInBothModes) {
  for (int32_t mode : {2, 3}) {
    KernelModeScope scope(mode);
    // The registration's equalisation: 110 / 100.
    RectOwner a = Image(8, 7, 1, {0, 100, 231, 232, 255, 9, 240});
    EXPECT_EQ(mrMulDiv(a.get(), 110, 100), 2);  // 232 gives 255 without clipping
    EXPECT_EQ(Pixels(a.get()), (std::vector<int32_t>{0, 110, 254, 255, 255, 9, 255}));
    RectOwner b = Image(8, 4, 1, {0, 127, 128, 255});
    EXPECT_EQ(mrMulDiv(b.get(), 2, 1), 2);
    EXPECT_EQ(Pixels(b.get()), (std::vector<int32_t>{0, 254, 255, 255}));
    EXPECT_EQ(mrMulDiv(b.get(), 1, 1), 0);
    EXPECT_EQ(Pixels(b.get()), (std::vector<int32_t>{0, 254, 255, 255}));
    RectOwner c = Image(8, 3, 1, {2, 5, 6});
    EXPECT_EQ(mrMulDiv(c.get(), 1, 3), 0);
    EXPECT_EQ(Pixels(c.get()), (std::vector<int32_t>{0, 1, 2}));
    // Divisor 0 divides by 1.
    RectOwner d = Image(8, 3, 1, {10, 51, 52});
    EXPECT_EQ(mrMulDiv(d.get(), 5, 0), 1);
    EXPECT_EQ(Pixels(d.get()), (std::vector<int32_t>{50, 255, 255}));
  }
}

TEST(MulDiv, WideDepthsRoundToNearestAndClipAtTheirTop) {
  RectOwner w = Image(16, 4, 1, {2, 5, 65535, 30000});
  EXPECT_EQ(mrMulDiv(w.get(), 1, 3), 0);
  EXPECT_EQ(Pixels(w.get()), (std::vector<int32_t>{1, 2, 21845, 10000}));
  EXPECT_EQ(mrMulDiv(w.get(), 7, 1), 2);
  EXPECT_EQ(Pixels(w.get()), (std::vector<int32_t>{7, 14, 65535, 65535}));
  RectOwner q = Image(32, 3, 1, {-1, 3, 1000000000});  // -1 reads as 4294967295
  EXPECT_EQ(mrMulDiv(q.get(), 5, 2), 1);
  EXPECT_EQ(Pixels(q.get()), (std::vector<int32_t>{-1, 8, static_cast<int32_t>(2500000000u)}));
  // Colour: every channel scaled as a byte, the counts added.
  RectOwner rgb(mrCreate(24, 4, 1));
  mrPutPixel(rgb.get(), 0, 0, 0x7F8001);
  EXPECT_EQ(mrMulDiv(rgb.get(), 2, 1), 1);
  EXPECT_EQ(mrGetPixel(rgb.get(), 0, 0), 0xFEFF02);
  // Masks: a set pixel survives a ratio of at least 1 and clears below it.
  RectOwner m = Image(1, 9, 1, {1, 0, 1, 1, 0, 0, 0, 0, 1});
  EXPECT_EQ(mrMulDiv(m.get(), 3, 1), 4);
  EXPECT_EQ(Pixels(m.get()), (std::vector<int32_t>{1, 0, 1, 1, 0, 0, 0, 0, 1}));
  EXPECT_EQ(mrMulDiv(m.get(), 1, 2), 0);
  EXPECT_EQ(Pixels(m.get()), (std::vector<int32_t>(9, 0)));
  double px[2] = {1.5, -4.0};
  RectOwner dbl(mrMakeExtern(px, 64, 2, 1, 16));
  EXPECT_EQ(mrMulDiv(dbl.get(), 3, 2), 0);
  EXPECT_EQ(px[0], 2.25);
  EXPECT_EQ(px[1], -6.0);
  EXPECT_EQ(mrMulDiv(0, 1, 1), -1);
  EXPECT_EQ(mrMulDiv(12345, 1, 1), -1);
}

TEST(MulDivPN, ProductsOfTwoImages) {
  RectOwner a = Image(8, 3, 1, {10, 200, 255});
  RectOwner b = Image(8, 3, 1, {3, 2, 255});
  EXPECT_EQ(mrMulDivPN(a.get(), b.get(), 7), 1);
  EXPECT_EQ(Pixels(a.get()), (std::vector<int32_t>{4, 57, 255}));
  EXPECT_EQ(Pixels(b.get()), (std::vector<int32_t>{3, 2, 255}));
  RectOwner c = Image(32, 3, 1, {65536, 5, 3});
  RectOwner d = Image(32, 3, 1, {131072, 3, 1});
  EXPECT_EQ(mrMulDivPN(c.get(), d.get(), 2), 1);
  EXPECT_EQ(Pixels(c.get()), (std::vector<int32_t>{-1, 8, 2}));  // 7.5 -> 8, 1.5 -> 2
  RectOwner e = Image(16, 3, 1, {});
  EXPECT_EQ(mrMulDivPN(e.get(), e.get(), 1), -1);
  EXPECT_EQ(mrMulDivPN(a.get(), c.get(), 1), -1);
}

TEST(Pixelwise, ArithmeticKeywordsWriteIntoTheSecondImage) {
  for (int32_t mode : {2, 3}) {
    KernelModeScope scope(mode);
    RectOwner a = Image(8, 3, 1, {10, 250, 100});
    RectOwner b = Image(8, 3, 1, {250, 10, 100});
    EXPECT_EQ(mrPixelwise(a.get(), "-A", b.get()), 3);  // bytes per row x height
    EXPECT_EQ(Pixels(b.get()), (std::vector<int32_t>{240, 240, 0}));
    RectOwner c = Image(8, 3, 1, {250, 10, 100});
    EXPECT_EQ(mrPixelwise(a.get(), "-a8", c.get()), 3);
    EXPECT_EQ(Pixels(c.get()), (std::vector<int32_t>{16, 16, 0}));
    RectOwner d = Image(8, 3, 1, {250, 10, 100});
    EXPECT_EQ(mrPixelwise(a.get(), "1-2", d.get()), 3);  // arithmetic before logical
    EXPECT_EQ(Pixels(d.get()), (std::vector<int32_t>{16, 240, 0}));
    EXPECT_EQ(mrPixelwise(a.get(), "Max(2-1,0)", d.get()), 3);
    EXPECT_EQ(Pixels(d.get()), (std::vector<int32_t>{6, 0, 0}));
    EXPECT_EQ(Pixels(a.get()), (std::vector<int32_t>{10, 250, 100}));
    // The 8-bit kernels refuse the signed keywords.
    EXPECT_EQ(mrPixelwise(a.get(), "MINSig", d.get()), -1);
    EXPECT_EQ(Pixels(d.get()), (std::vector<int32_t>{6, 0, 0}));
  }
  RectOwner s1 = Image(16, 2, 1, {0xFFFF, 3});
  RectOwner s2 = Image(16, 2, 1, {2, 0x8000});
  EXPECT_EQ(mrPixelwise(s1.get(), "-ASig", s2.get()), 4);
  EXPECT_EQ(Pixels(s2.get()), (std::vector<int32_t>{3, 32771}));
  RectOwner t1 = Image(32, 2, 1, {-5, 7});
  RectOwner t2 = Image(32, 2, 1, {3, -9});
  EXPECT_EQ(mrPixelwise(t1.get(), "MINSig", t2.get()), 8);
  EXPECT_EQ(Pixels(t2.get()), (std::vector<int32_t>{-5, -9}));
  EXPECT_EQ(mrPixelwise(t1.get(), "MIN", t2.get()), 8);  // unsigned: 7 < 2^32 - 9
  EXPECT_EQ(Pixels(t2.get()), (std::vector<int32_t>{-5, 7}));
}

TEST(Pixelwise, LogicalKeywordsWorkOnRawBitsAndCheckShapes) {
  RectOwner a = Image(1, 12, 2, {1, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
  RectOwner b = Image(1, 12, 2, {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  // "MORE" is 1 AND NOT 2, "LESS" NOT 1 AND 2.
  RectOwner m1(mrCopyAs(b.get()));
  EXPECT_EQ(mrPixelwise(a.get(), "MORE", m1.get()), 2);
  EXPECT_EQ(Pixels(m1.get()), (std::vector<int32_t>{0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0,
                                                    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
  RectOwner m2(mrCopyAs(b.get()));
  EXPECT_EQ(mrPixelwise(a.get(), "~1&2", m2.get()), 2);
  EXPECT_EQ(Pixels(m2.get()), (std::vector<int32_t>{0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0,
                                                    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  // The bits past each mask row stay as they were.
  void* px = nullptr;
  mrGetExtendedInfo(m2.get(), nullptr, nullptr, nullptr, &px);
  static_cast<uint8_t*>(px)[1] |= 0xF0;
  EXPECT_EQ(mrPixelwise(a.get(), "CopyNot", m2.get()), 2);
  EXPECT_EQ(static_cast<uint8_t*>(px)[1] & 0xF0, 0xF0);
  EXPECT_EQ(mrPixelwise(a.get(), "1|~2", m2.get()), 2);
  EXPECT_EQ(mrPixelwise(a.get(), "~(1^2)", m2.get()), 1);  // m2 equals a here
  // An 8-bit image 4 wide has as many bits per row as a 32-wide mask.
  RectOwner g = Image(8, 4, 2, {0xFF, 0, 0x0F, 0, 0, 0, 0, 0});
  RectOwner k(mrCreate(1, 32, 2));
  EXPECT_EQ(mrPixelwise(g.get(), "Copy", k.get()), 2);
  EXPECT_EQ(mrGetPixel(k.get(), 7, 0), 1);
  EXPECT_EQ(mrGetPixel(k.get(), 8, 0), 0);
  EXPECT_EQ(mrGetPixel(k.get(), 19, 0), 1);
  EXPECT_EQ(mrGetPixel(k.get(), 20, 0), 0);
  EXPECT_EQ(mrPixelwise(g.get(), "EQUAL", a.get()), -1);
  EXPECT_EQ(mrPixelwise(g.get(), "1=>3", k.get()), -1);
  EXPECT_EQ(mrPixelwise(g.get(), nullptr, k.get()), -1);
  EXPECT_EQ(mrPixelwise(g.get(), "Plus", k.get()), -1);  // arithmetic needs equal depths
  EXPECT_EQ(mrPixelwise(g.get(), "AND", 999), -1);
}

TEST(Pixelwise, MaskedFormsWriteOnlyTheSelectedPixels) {
  for (int32_t mode : {2, 3}) {
    KernelModeScope scope(mode);
    RectOwner a = Image(8, 5, 1, {100, 100, 100, 100, 100});
    RectOwner b = Image(8, 5, 1, {1, 2, 3, 4, 5});
    RectOwner m = Image(1, 5, 1, {1, 0, 0, 1, 0});
    EXPECT_EQ(mrPixelwiseMask(a.get(), "+", b.get(), m.get()), 2);
    EXPECT_EQ(Pixels(b.get()), (std::vector<int32_t>{101, 2, 3, 104, 5}));
    EXPECT_EQ(mrPixelwiseNotMask(a.get(), "Copy", b.get(), m.get()), 2);
    EXPECT_EQ(Pixels(b.get()), (std::vector<int32_t>{101, 100, 100, 104, 100}));
    RectOwner none(mrCreate(1, 5, 1));
    EXPECT_EQ(mrPixelwiseMask(a.get(), "XOR", b.get(), none.get()), 0);
    EXPECT_EQ(Pixels(b.get()), (std::vector<int32_t>{101, 100, 100, 104, 100}));
    EXPECT_EQ(mrPixelwiseMask(a.get(), "ByteMask", b.get(), 0), 2);  // mask 0: every pixel
    EXPECT_EQ(Pixels(b.get()), (std::vector<int32_t>{0, 255, 255, 0, 255}));
    EXPECT_EQ(mrPixelwiseMask(b.get(), "OR", b.get(), 0), 2);
    EXPECT_EQ(mrPixelwiseMask(b.get(), "ByteMask", b.get(), 0), 1);
    RectOwner small(mrCreate(1, 4, 1));
    EXPECT_EQ(mrPixelwiseMask(a.get(), "+", b.get(), small.get()), -1);
  }
  RectOwner c1 = Image(24, 2, 1, {0x010203, 0x102030});
  RectOwner c2 = Image(24, 2, 1, {0x101010, 0x101010});
  RectOwner m = Image(1, 2, 1, {0, 1});
  EXPECT_EQ(mrPixelwiseMask(c1.get(), "Plus", c2.get(), m.get()), 2);
  EXPECT_EQ(Pixels(c2.get()), (std::vector<int32_t>{0x101010, 0x203040}));
  RectOwner k1 = Image(1, 3, 1, {1, 1, 0});
  RectOwner k2 = Image(1, 3, 1, {0, 0, 0});
  RectOwner km = Image(1, 3, 1, {0, 1, 1});
  EXPECT_EQ(mrPixelwiseMask(k1.get(), "OR", k2.get(), km.get()), 2);
  EXPECT_EQ(Pixels(k2.get()), (std::vector<int32_t>{0, 1, 0}));
  EXPECT_EQ(mrPixelwiseMask(k1.get(), "MAX", k2.get(), km.get()), -1);
}

TEST(ConstPixel, ConstantIsOperandOneAndComparisonsTestThePixel) {
  for (int32_t mode : {2, 3}) {
    KernelModeScope scope(mode);
    RectOwner a = Image(8, 4, 1, {0, 4, 10, 200});
    EXPECT_EQ(mrConstPixelwise(10, "-S", a.get()), 4);
    EXPECT_EQ(Pixels(a.get()), (std::vector<int32_t>{10, 6, 0, 0}));
    RectOwner b = Image(8, 4, 1, {0, 4, 10, 200});
    EXPECT_EQ(mrConstPixelwise(10 + 256, "-LS", b.get()), 4);
    EXPECT_EQ(Pixels(b.get()), (std::vector<int32_t>{0, 0, 0, 190}));
    RectOwner c = Image(8, 4, 1, {0, 9, 10, 200});
    EXPECT_EQ(mrConstPixelwise(10, "LessTo0", c.get()), 4);
    EXPECT_EQ(Pixels(c.get()), (std::vector<int32_t>{0, 0, 10, 200}));
    RectOwner d = Image(8, 4, 1, {0, 9, 10, 200});
    EXPECT_EQ(mrConstPixelwise(10, "MoreToFF", d.get()), 4);
    EXPECT_EQ(Pixels(d.get()), (std::vector<int32_t>{0, 9, 10, 255}));
    RectOwner e = Image(8, 4, 1, {0, 9, 10, 200});
    EXPECT_EQ(mrConstPixelwise(10, "ByteMask", e.get()), 4);
    EXPECT_EQ(Pixels(e.get()), (std::vector<int32_t>{0, 0, 255, 255}));
    RectOwner f = Image(8, 4, 1, {0, 9, 10, 200});
    EXPECT_EQ(mrConstPixelwise(10, "Minus", f.get()), 4);  // constant minus pixel
    EXPECT_EQ(Pixels(f.get()), (std::vector<int32_t>{10, 1, 0, 66}));
    // Logical keywords only in the masked forms.
    EXPECT_EQ(mrConstPixelwise(10, "AND", f.get()), -1);
    RectOwner empty(mrCreate(8, 0, 3));
    EXPECT_EQ(mrConstPixelwise(10, "+", empty.get()), -1);
  }
  RectOwner w = Image(16, 2, 1, {65000, 7});
  EXPECT_EQ(mrConstPixelwise(70000, "+S", w.get()), 4);  // 70000 mod 65536 = 4464
  EXPECT_EQ(Pixels(w.get()), (std::vector<int32_t>{65535, 4471}));
  RectOwner rgb = Image(24, 2, 1, {0x102030, 0xF0F0F0});
  EXPECT_EQ(mrConstPixelwise(0x010203, "+S", rgb.get()), 6);
  EXPECT_EQ(Pixels(rgb.get()), (std::vector<int32_t>{0x112233, 0xF1F2F3}));
  RectOwner mask(mrCreate(1, 2, 1));
  EXPECT_EQ(mrConstPixelwise(1, "MIN", mask.get()), -1);
}

TEST(ConstPixel, MaskedConstantsAndAllClearMasks) {
  for (int32_t mode : {2, 3}) {
    KernelModeScope scope(mode);
    // 3 reports the vector kernels, 0 the scalar ones.
    const int32_t ran = mode == 3 ? 3 : 0;
    RectOwner a = Image(8, 10, 2, {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    const std::vector<int32_t> before = Pixels(a.get());
    RectOwner clear(mrCreate(1, 10, 2));
    EXPECT_EQ(mrConstPixelMask(0, "MAX", a.get(), clear.get()), ran);
    EXPECT_EQ(Pixels(a.get()), before);
    EXPECT_EQ(mrConstPixelNotMask(0, "MAX", a.get(), clear.get()), ran);
    EXPECT_EQ(Pixels(a.get()), before);
    EXPECT_EQ(mrConstPixelMask(200, "Copy", a.get(), clear.get()), ran);
    EXPECT_EQ(Pixels(a.get()), before);
    RectOwner m = Image(1, 10, 2, {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1});
    EXPECT_EQ(mrConstPixelMask(0xF0, "1-2", a.get(), m.get()), ran);  // logical: c AND NOT p
    std::vector<int32_t> expect = before;
    expect[9] = 0xF0 & ~14;
    expect[10] = 0xF0 & ~1;
    EXPECT_EQ(Pixels(a.get()), expect);
    EXPECT_EQ(mrConstPixelNotMask(3, "+", a.get(), m.get()), ran);
    for (int i = 0; i < 20; ++i) {
      if (i != 9 && i != 10) expect[i] += 3;
    }
    EXPECT_EQ(Pixels(a.get()), expect);
    EXPECT_EQ(mrConstPixelMask(3, "+", a.get(), 0), ran);  // mask 0: every pixel
    for (int32_t& v : expect) v += 3;
    EXPECT_EQ(Pixels(a.get()), expect);
    EXPECT_EQ(mrConstPixelMask(3, "nothing", a.get(), 0), -1);
    EXPECT_EQ(mrConstPixelMask(3, "+", a.get(), a.get()), -1);
  }
  RectOwner rgb = Image(24, 3, 1, {0x102030, 0x102030, 0x102030});
  RectOwner m = Image(1, 3, 1, {0, 1, 0});
  EXPECT_EQ(mrConstPixelMask(0x0000FF, "XOR", rgb.get(), m.get()), 0);
  EXPECT_EQ(Pixels(rgb.get()), (std::vector<int32_t>{0x102030, 0x1020CF, 0x102030}));
}

TEST(Threshold, RelationsAndTheEndsOfTheRange) {
  for (int32_t mode : {2, 3}) {
    KernelModeScope scope(mode);
    RectOwner s = Image(8, 11, 2, {0, 1, 2, 100, 128, 200, 254, 255, 7, 7, 7,
                                   255, 0, 3, 3, 3, 3, 3, 3, 3, 3, 3});
    RectOwner m(mrCreate(1, 11, 2));
    EXPECT_EQ(mrThreshold(s.get(), m.get(), "NotLess", 128), 5);
    const std::vector<int32_t> notLess = Pixels(m.get());
    EXPECT_EQ(mrThreshold(s.get(), m.get(), ">=", 128 + 256), 5);  // low 8 bits only
    EXPECT_EQ(Pixels(m.get()), notLess);
    EXPECT_EQ(mrThreshold(s.get(), m.get(), "<", 0), 0);
    EXPECT_EQ(Pixels(m.get()), std::vector<int32_t>(22, 0));
    EXPECT_EQ(mrThreshold(s.get(), m.get(), "<=", 255), 22);
    EXPECT_EQ(mrThreshold(s.get(), m.get(), ">", 255), 0);
    EXPECT_EQ(Pixels(m.get()), std::vector<int32_t>(22, 0));
    EXPECT_EQ(mrThreshold(s.get(), m.get(), "Greater", 254), 2);
    EXPECT_EQ(mrThreshold(s.get(), m.get(), "less", 3), 4);
    EXPECT_EQ(Pixels(m.get()), (std::vector<int32_t>{1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0,
                                                      0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(mrThreshold(s.get(), m.get(), "=", 3), 9);
    EXPECT_EQ(mrThreshold(s.get(), m.get(), "<>", 3), 13);
    EXPECT_EQ(mrThreshold(s.get(), m.get(), "=>", 3), -1);
    EXPECT_EQ(mrThreshold(s.get(), m.get(), "<>", 3), 13);
    EXPECT_EQ(mrThreshold(s.get(), s.get(), "=", 3), -1);
  }
  RectOwner w = Image(16, 3, 1, {0, 65535, 300});
  RectOwner m(mrCreate(1, 3, 1));
  EXPECT_EQ(mrThreshold(w.get(), m.get(), ">", 65535), 0);
  EXPECT_EQ(mrThreshold(w.get(), m.get(), ">", 299), 2);
  EXPECT_EQ(mrThreshold(w.get(), m.get(), ">=", 70000), 0);  // the threshold is not cut
  RectOwner q = Image(32, 3, 1, {-1, 5, 0});
  EXPECT_EQ(mrThreshold(q.get(), m.get(), ">", -1), 0);  // -1 is the unsigned top
  EXPECT_EQ(mrThreshold(q.get(), m.get(), ">", 4), 2);
  EXPECT_EQ(mrThreshold(q.get(), m.get(), "<", 0), 0);
}

TEST(Threshold, ColourEqualityByChannelsAndOtherRelationsOnTheLargestChannel) {
  // Bits 16..23 hold red 16, 8..15 green 32, 0..7 blue 48.
  RectOwner c = Image(24, 5, 1, {0x102030, 0x102031, 0x112030, 0x302010, 0x102030});
  RectOwner m(mrCreate(1, 5, 1));
  EXPECT_EQ(mrThreshold(c.get(), m.get(), "Equal", 0x102030), 2);
  EXPECT_EQ(Pixels(m.get()), (std::vector<int32_t>{1, 0, 0, 0, 1}));
  EXPECT_EQ(mrThreshold(c.get(), m.get(), "UnEqual", 0x102030), 3);
  EXPECT_EQ(Pixels(m.get()), (std::vector<int32_t>{0, 1, 1, 1, 0}));
  EXPECT_EQ(mrThreshold(c.get(), m.get(), ">", 0x30), 1);  // largest channel above 48
  EXPECT_EQ(Pixels(m.get()), (std::vector<int32_t>{0, 1, 0, 0, 0}));
  EXPECT_EQ(mrThreshold(c.get(), m.get(), ">=", 0x30), 5);
}

}  // namespace
