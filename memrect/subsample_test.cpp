#include "memrect/subsample.h"

#include <gtest/gtest.h>

#include "memrect/memrect.h"
#include "memrect/rect_owner.h"

namespace {

using vantor::RectOwner;

TEST(mrBlockSubsampling, MakesTheOutputAndRefusesBadRequests) {
  RectOwner src(mrCreate(8, 10, 7));
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 10; ++x) mrPutPixel(src.get(), x, y, x + 10 * y);
  RectOwner out(mrBlockSubsampling(src.get(), 0, 3, 3, "mean"));
  int32_t w = 0, h = 0;
  ASSERT_EQ(mrGetRectInfo(out.get(), &w, &h), 8);
  EXPECT_EQ(w, 3);
  EXPECT_EQ(h, 2);
  EXPECT_EQ(mrGetPixel(out.get(), 0, 0), 11);  // mean of 0..2, 10..12, 20..22
  EXPECT_EQ(mrGetPixel(out.get(), 2, 1), 47);
  EXPECT_EQ(mrBlockSubsampling(src.get(), 0, 3, 3, "MEANS"), 0);
  EXPECT_EQ(mrBlockSubsampling(src.get(), 0, 0, 3, "MEAN"), 0);
  EXPECT_EQ(mrBlockSubsampling(src.get(), 0, 11, 1, "MEAN"), 0);  // no whole block
  RectOwner mask(mrCreate(1, 10, 7));
  EXPECT_EQ(mrBlockSubsampling(mask.get(), 0, 2, 2, "MEAN"), 0);
  RectOwner wrongDepth(mrCreate(16, 3, 2));
  EXPECT_EQ(mrBlockSubsampling(src.get(), wrongDepth.get(), 3, 3, "MEAN"), 0);
  int32_t before = mrNumberOfActive(nullptr, nullptr);
  EXPECT_EQ(mrBlockSubsampling(src.get(), 0, 3, 3, "nothing"), 0);
  EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), before);  // the made output was freed
}

TEST(mrBlockSubsampling, WideDepthsKeepTheirScale) {
  // Values up to 255 stay as they are; larger ones come back near their size.
  RectOwner small(mrCreate(16, 4, 2)), large(mrCreate(32, 4, 2));
  for (int x = 0; x < 4; ++x)
    for (int y = 0; y < 2; ++y) {
      mrPutPixel(small.get(), x, y, 100);
      mrPutPixel(large.get(), x, y, 40000);
    }
  RectOwner s(mrBlockSubsampling(small.get(), 0, 2, 2, "MEAN"));
  RectOwner l(mrBlockSubsampling(large.get(), 0, 2, 2, "MEAN"));
  ASSERT_EQ(mrGetRectInfo(s.get(), nullptr, nullptr), 16);
  ASSERT_EQ(mrGetRectInfo(l.get(), nullptr, nullptr), 32);
  EXPECT_EQ(mrGetPixel(s.get(), 1, 0), 100);
  EXPECT_NEAR(mrGetPixel(l.get(), 1, 0), 40000, 40000 / 255 + 1);
}

TEST(mrBlockSubsampling, ColourChannelsStaySeparate) {
  RectOwner src(mrCreate(24, 4, 4));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) {
      uint8_t* p = nullptr;
      void* addr = nullptr;
      mrGetPixelAddr(src.get(), x, y, &addr);
      p = static_cast<uint8_t*>(addr);
      p[0] = 10;                                       // blue
      p[1] = static_cast<uint8_t>(x < 2 ? 0 : 200);    // green
      p[2] = static_cast<uint8_t>(40 + 4 * (x + y));   // red
    }
  RectOwner out(mrBlockSubsampling(src.get(), 0, 2, 2, "MAX"));
  int32_t r = 0, g = 0, b = 0;
  mrGetPixelRGB(out.get(), 1, 1, &r, &g, &b);
  EXPECT_EQ(b, 10);
  EXPECT_EQ(g, 200);
  EXPECT_EQ(r, 64);
}

TEST(mrZoomMask, RowsRepeatOrVote) {
  RectOwner src(mrCreate(1, 6, 4)), big(mrCreate(1, 12, 8)), small(mrCreate(1, 3, 2));
  for (int x = 0; x < 6; x += 2) mrPutPixel(src.get(), x, 0, 1);
  mrPutPixel(src.get(), 5, 3, 1);
  EXPECT_EQ(mrZoomMask(src.get(), big.get()), 8);
  for (int x = 0; x < 12; ++x) {
    EXPECT_EQ(mrGetPixel(big.get(), x, 0), (x / 2) % 2 == 0 ? 1 : 0) << x;
    EXPECT_EQ(mrGetPixel(big.get(), x, 1), mrGetPixel(big.get(), x, 0)) << x;
    EXPECT_EQ(mrGetPixel(big.get(), x, 7), x >= 10 ? 1 : 0) << x;
  }
  EXPECT_EQ(mrZoomMask(src.get(), small.get()), 2);
  EXPECT_EQ(mrGetPixel(small.get(), 0, 0), 1);
  EXPECT_EQ(mrGetPixel(small.get(), 2, 0), 1);
  RectOwner grey(mrCreate(8, 6, 4)), empty(mrCreate(1, 0, 4)), flat(mrCreate(1, 6, 0));
  EXPECT_EQ(mrZoomMask(grey.get(), big.get()), -1);
  EXPECT_EQ(mrZoomMask(src.get(), empty.get()), -1);
  EXPECT_EQ(mrZoomMask(flat.get(), big.get()), -1);
}

}  // namespace
