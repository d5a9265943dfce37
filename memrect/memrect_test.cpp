#include "memrect/memrect.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "memrect/rect_owner.h"

namespace {

// Every test starts from an empty store, so handle numbers are predictable.
class MemRect : public ::testing::Test {
 protected:
  void SetUp() override { mrFreeAllHandles(); }
  void TearDown() override { mrFreeAllHandles(); }

  static int32_t PitchOf(int32_t h) {
    int32_t pitch = -7;
    mrGetExtendedInfo(h, nullptr, nullptr, &pitch, nullptr);
    return pitch;
  }
  static uint8_t* PixelsOf(int32_t h) {
    void* p = nullptr;
    mrGetExtendedInfo(h, nullptr, nullptr, nullptr, &p);
    return static_cast<uint8_t*>(p);
  }
  static int32_t Capacity() {
    int32_t capacity = -1;
    mrNumberOfActive(nullptr, &capacity);
    return capacity;
  }
};

TEST_F(MemRect, HandlesAreHandedOutLowestFirstAndReusedLastFreedFirst) {
  EXPECT_EQ(mrCreate(8, 4, 4), 1);
  EXPECT_EQ(mrCreate(8, 4, 4), 2);
  EXPECT_EQ(mrCreate(8, 4, 4), 3);
  EXPECT_EQ(mrFree(2), 2);
  EXPECT_EQ(mrCreate(8, 4, 4), 2);
  EXPECT_EQ(mrFree(3), 3);
  EXPECT_EQ(mrFree(1), 1);
  EXPECT_EQ(mrCreate(8, 4, 4), 1);
  EXPECT_EQ(mrCreate(8, 4, 4), 3);
  // Freed, foreign and never-made handles are all refused.
  EXPECT_EQ(mrFree(1), 1);
  EXPECT_EQ(mrFree(1), 0);
  EXPECT_EQ(mrFree(0), 0);
  EXPECT_EQ(mrFree(-5), 0);
  EXPECT_EQ(mrFree(100000), 0);
  EXPECT_EQ(mrGetRectInfo(1, nullptr, nullptr), -1);
  EXPECT_EQ(mrGetPixel(1, 0, 0), -1);
}

TEST_F(MemRect, TableGrowsBy160AndStartsAfreshAfterFreeingAll) {
  EXPECT_EQ(Capacity(), 0);
  for (int32_t i = 1; i <= 160; ++i) ASSERT_EQ(mrCreate(8, 3, 2), i);
  EXPECT_EQ(Capacity(), 160);
  EXPECT_EQ(mrCreate(8, 3, 2), 161);
  EXPECT_EQ(Capacity(), 320);
  int64_t bytes = 0;
  EXPECT_EQ(mrNumberOfActive(&bytes, nullptr), 161);
  EXPECT_EQ(bytes, 161 * 8);
  // The 160 new slots come out in ascending order after a freed one.
  EXPECT_EQ(mrFree(7), 7);
  EXPECT_EQ(mrCreate(8, 1, 1), 7);
  EXPECT_EQ(mrCreate(8, 1, 1), 162);

  std::vector<int32_t> listed(400, 0);
  EXPECT_EQ(mrListOfActive(listed.data(), 400), 162);
  EXPECT_EQ(listed[0], 1);
  EXPECT_EQ(listed[161], 162);
  EXPECT_EQ(mrListOfActive(listed.data(), 3), 3);

  mrFreeAllHandles();
  EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), 0);
  EXPECT_EQ(Capacity(), 0);
  EXPECT_EQ(mrCreate(8, 1, 1), 1);
}

TEST_F(MemRect, PitchRules) {
  const int32_t empty = mrCreate(8, 0, 10);
  ASSERT_GT(empty, 0);
  EXPECT_EQ(PitchOf(empty), 0);
  EXPECT_EQ(mrCreate(8, -1, 10), -1);
  EXPECT_EQ(mrCreate(8, 10, -1), -1);
  EXPECT_EQ(mrCreate(12, 10, 10), -1);
  EXPECT_EQ(mrCreate(0, 10, 10), -1);
  EXPECT_EQ(PitchOf(mrCreate(1, 33, 1)), 8);
  EXPECT_EQ(PitchOf(mrCreate(24, 5, 1)), 16);
  EXPECT_EQ(PitchOf(mrCreateRoundPitch(1, 33, 1, 1)), 5);
  EXPECT_EQ(PitchOf(mrCreateRoundPitch(24, 5, 1, 1)), 15);
  EXPECT_EQ(PitchOf(mrCreateRoundPitch(8, 5, 1, 2)), 6);
  EXPECT_EQ(PitchOf(mrCreateRoundPitch(8, 5, 1, 8)), 8);
  EXPECT_EQ(PitchOf(mrCreateRoundPitch(24, 5, 1, 3)), 16);
  EXPECT_EQ(PitchOf(mrCreateRoundPitch(4, 3, 1, 1)), 2);
}

TEST_F(MemRect, OversizedRectanglesAreRefusedWithoutLeavingARecord) {
  EXPECT_EQ(mrCreate(8, INT32_MAX, 1), -1);       // pitch past the markers
  EXPECT_EQ(mrCreate(64, 1 << 28, 1), -1);        // row of 2^31 bytes
  EXPECT_EQ(mrCreate(8, 65536, 32768), -1);       // 2^31 bytes
  EXPECT_EQ(mrCreate(8, 1024, 0x7FFFFF33 / 1024 + 1), -1);
  EXPECT_EQ(mrCreate(32, 46341, 46341), -1);      // height x pitch wraps 32 bits
  EXPECT_EQ(mrCreateRoundPitch(1, INT32_MAX, INT32_MAX, 1), -1);
  uint8_t b[4];
  EXPECT_EQ(mrMakeExtern(b, 8, 1, INT32_MAX, INT32_MAX), -1);
  EXPECT_EQ(mrMakeExtern(b, 64, INT32_MAX, 1, 0), -1);
  EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), 0);
  // Refusals do not use up handles.
  EXPECT_EQ(mrCreate(8, 2, 2), 1);
  const int32_t h = 1;
  EXPECT_EQ(mrRedimension(h, 8, INT32_MAX, 2), -1);
  EXPECT_EQ(mrRedimension(h, 64, 1 << 26, 1 << 6), -1);
  int32_t w = 0, ht = 0;
  EXPECT_EQ(mrGetRectInfo(h, &w, &ht), 8);
  EXPECT_EQ(w, 2);
  EXPECT_EQ(ht, 2);
}

TEST_F(MemRect, OwnedBlocksAreAlignedWithZeroSlack) {
  for (int32_t width : {1, 3, 17, 64, 333}) {
    const int32_t h = mrCreate(24, width, 3);
    ASSERT_GT(h, 0);
    const uint8_t* p = PixelsOf(h);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
    const int32_t bytes = PitchOf(h) * 3;
    for (int32_t i = 0; i < bytes + 64; ++i) ASSERT_EQ(p[i], 0) << "byte " << i;
  }
}

TEST_F(MemRect, ExternRectanglesUseCallerMemory) {
  double m[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const int32_t h = mrMakeExtern(m, 64, 3, 3, 24);
  ASSERT_GT(h, 0);
  int32_t w, ht, pitch;
  void* p = nullptr;
  EXPECT_EQ(mrGetExtendedInfo(h, &w, &ht, &pitch, &p), 64);
  EXPECT_EQ(p, static_cast<void*>(m));
  EXPECT_EQ(pitch, 24);
  EXPECT_EQ(mrFree(h), h);
  EXPECT_EQ(m[8], 9.0);

  uint8_t buf[64] = {};
  EXPECT_EQ(PitchOf(mrMakeExtern(buf, 1, 33, 1, 0)), 8);
  EXPECT_EQ(mrMakeExtern(buf, 7, 3, 3, 0), -1);
  EXPECT_EQ(mrMakeExtern(buf, 8, 10, 2, 9), -1);      // rows would overlap
  EXPECT_EQ(mrMakeExtern(buf, 8, 10, 2, -10), -1);
  EXPECT_EQ(mrMakeExtern(nullptr, 8, 10, 2, 0), -1);  // nothing to point at
  const int32_t none = mrMakeExtern(nullptr, 8, 0, 0, 0);
  EXPECT_GT(none, 0);
  EXPECT_EQ(mrRedimension(none, 8, 4, 4), -1);
}

TEST_F(MemRect, OverlaysStayInsideTheirParent) {
  const int32_t parent = mrCreate(8, 15, 10);
  EXPECT_GT(mrCreateOverlay(parent, 5, 0, 10, 10), 0);
  EXPECT_EQ(mrCreateOverlay(parent, 6, 0, 10, 10), -1);
  EXPECT_EQ(mrCreateOverlay(parent, 0, 1, 15, 10), -1);
  EXPECT_EQ(mrCreateOverlay(parent, -1, 0, 2, 2), -1);
  EXPECT_EQ(mrCreateOverlay(parent, 0, -1, 2, 2), -1);
  EXPECT_EQ(mrCreateOverlay(parent, 0, 0, -2, 2), -1);
  EXPECT_EQ(mrCreateOverlay(parent, INT32_MAX, 0, 1, 1), -1);
  EXPECT_EQ(mrCreateOverlay(parent + 1000, 0, 0, 1, 1), -1);
}

TEST_F(MemRect, OverlaysInsideOverlaysAddressTheRoot) {
  const int32_t root = mrCreate(8, 20, 10);  // pitch 20
  const int32_t a = mrCreateOverlay(root, 4, 2, 12, 6);
  const int32_t b = mrCreateOverlay(a, 3, 1, 5, 4);
  uint8_t* base = PixelsOf(root);
  EXPECT_EQ(PixelsOf(a), base + 2 * 20 + 4);
  EXPECT_EQ(PixelsOf(b), base + 3 * 20 + 7);
  EXPECT_EQ(mrPutPixel(b, 1, 1, 200), 0);
  EXPECT_EQ(mrGetPixel(root, 8, 4), 200);
  EXPECT_EQ(mrGetPixel(a, 4, 2), 200);
  EXPECT_EQ(mrPutPixel(b, 5, 0, 1), -1);  // outside the overlay, inside the root

  int32_t x = -1, y = -1;
  EXPECT_EQ(mrGetOverlayPos(b, &x, &y), a);
  EXPECT_EQ(x, 3);
  EXPECT_EQ(y, 1);
  EXPECT_EQ(mrGetOverlayPos(root, &x, &y), 0);

  EXPECT_EQ(mrMoveOverlay(b, 7, 2), 0);
  EXPECT_EQ(PixelsOf(b), base + 4 * 20 + 11);
  EXPECT_EQ(mrMoveOverlay(b, 8, 0), -1);
  EXPECT_EQ(mrMoveOverlay(b, -1, 0), -1);
  EXPECT_EQ(mrMoveOverlay(root, 0, 0), -1);
  EXPECT_EQ(mrResizeOverlay(b, 0, 0, 12, 6), 0);
  EXPECT_EQ(mrResizeOverlay(b, 1, 0, 12, 6), -1);

  // Depths below 8 take byte-aligned windows.
  const int32_t mask = mrCreate(1, 64, 4);
  const int32_t m2 = mrCreateOverlay(mask, 16, 1, 16, 2);
  EXPECT_EQ(PixelsOf(m2), PixelsOf(mask) + PitchOf(mask) + 2);
}

TEST_F(MemRect, FreeingAParentFreesItsOverlays) {
  const int32_t root = mrCreate(8, 20, 10);
  const int32_t a = mrCreateOverlay(root, 0, 0, 10, 10);
  const int32_t b = mrCreateOverlay(root, 5, 0, 10, 10);
  const int32_t c = mrCreateOverlay(root, 10, 0, 10, 10);
  const int32_t inner = mrCreateOverlay(b, 1, 1, 2, 2);
  // Unlinking from the middle of the chain keeps the others reachable.
  EXPECT_EQ(mrFree(b), b);
  EXPECT_EQ(mrGetRectInfo(inner, nullptr, nullptr), -1);
  EXPECT_EQ(mrGetRectInfo(a, nullptr, nullptr), 8);
  EXPECT_EQ(mrGetRectInfo(c, nullptr, nullptr), 8);
  EXPECT_EQ(mrFree(root), root);
  EXPECT_EQ(mrGetRectInfo(a, nullptr, nullptr), -1);
  EXPECT_EQ(mrGetRectInfo(c, nullptr, nullptr), -1);
  EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), 0);

  const int32_t r2 = mrCreate(8, 20, 10);
  const int32_t o1 = mrCreateOverlay(r2, 0, 0, 10, 10);
  const int32_t o2 = mrCreateOverlay(o1, 0, 0, 5, 5);
  mrFreeOverlay(r2);
  EXPECT_EQ(mrGetRectInfo(o1, nullptr, nullptr), -1);
  EXPECT_EQ(mrGetRectInfo(o2, nullptr, nullptr), -1);
  EXPECT_EQ(mrGetRectInfo(r2, nullptr, nullptr), 8);
  EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), 1);

  // A long chain of nested overlays is freed without exhausting the stack.
  int32_t top = r2;
  for (int i = 0; i < 50000; ++i) top = mrCreateOverlay(top, 0, 0, 1, 1);
  ASSERT_GT(top, 0);
  EXPECT_EQ(mrFree(r2), r2);
  EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), 0);
}

TEST_F(MemRect, OverlayOfARedimensionedRootIsRefused) {
  const int32_t root = mrCreate(8, 20, 10);
  const int32_t o = mrCreateOverlay(root, 10, 5, 10, 5);
  EXPECT_EQ(mrRedimension(root, 0, 15, 0), 1);  // window now sticks out
  EXPECT_EQ(mrGetExtendedInfo(o, nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(mrGetPixel(o, 0, 0), -1);
  EXPECT_EQ(mrRedimension(root, 0, 20, 0), 1);
  EXPECT_EQ(mrGetExtendedInfo(o, nullptr, nullptr, nullptr, nullptr), 8);
  EXPECT_EQ(mrRedimension(root, 16, 20, 0), 1);  // another depth and pitch
  EXPECT_EQ(mrGetExtendedInfo(o, nullptr, nullptr, nullptr, nullptr), -1);
}

TEST_F(MemRect, SinglePixelsFollowTheLayout) {
  const int32_t bits = mrCreate(1, 16, 2);
  EXPECT_EQ(mrPutPixel(bits, 3, 0, 1), 0);
  EXPECT_EQ(PixelsOf(bits)[0], 0x08);
  EXPECT_EQ(mrPutPixel(bits, 9, 1, 7), 0);  // only the pixel's bit is taken
  EXPECT_EQ(PixelsOf(bits)[PitchOf(bits) + 1], 0x02);
  EXPECT_EQ(mrGetPixel(bits, 9, 1), 1);
  EXPECT_EQ(mrGetPixel(bits, 8, 1), 0);

  const int32_t nib = mrCreate(4, 5, 1);
  EXPECT_EQ(mrPutPixel(nib, 1, 0, 0xA), 0);
  EXPECT_EQ(mrPutPixel(nib, 2, 0, 0x3), 0);
  EXPECT_EQ(PixelsOf(nib)[0], 0xA0);
  EXPECT_EQ(PixelsOf(nib)[1], 0x03);
  EXPECT_EQ(mrGetPixel(nib, 1, 0), 0xA);

  const int32_t rgb = mrCreate(24, 3, 2);
  EXPECT_EQ(mrPutPixel(rgb, 2, 1, 0x112233), 0);
  const uint8_t* row1 = PixelsOf(rgb) + PitchOf(rgb);
  EXPECT_EQ(row1[6], 0x33);  // blue first
  EXPECT_EQ(row1[8], 0x11);
  EXPECT_EQ(mrGetPixel(rgb, 2, 1), 0x112233);
  int32_t r = 0, g = 0, b = 0;
  EXPECT_EQ(mrGetPixelRGB(rgb, 2, 1, &r, &g, &b), 0x33);
  EXPECT_EQ(r, 0x11);
  EXPECT_EQ(g, 0x22);
  EXPECT_EQ(b, 0x33);

  const int32_t wide = mrCreate(48, 2, 1);
  EXPECT_EQ(mrPutPixel(wide, 1, 0, -2), 0);  // upper bytes carry the sign
  const uint8_t* w = PixelsOf(wide) + 6;
  EXPECT_EQ(w[0], 0xFE);
  for (int i = 1; i < 6; ++i) EXPECT_EQ(w[i], 0xFF);
  EXPECT_EQ(PixelsOf(wide)[12], 0);
  EXPECT_EQ(mrGetPixelRGB(wide, 1, 0, &r, &g, &b), 0xFFFF);
  EXPECT_EQ(b, 0xFFFE);
  EXPECT_EQ(mrGetPixel(wide, 1, 0), -1);

  const int32_t ints = mrCreate(32, 2, 2);
  EXPECT_EQ(mrPutPixel(ints, 1, 1, -123456), 0);
  EXPECT_EQ(mrGetPixel(ints, 1, 1), -123456);
  const int32_t words = mrCreate(16, 2, 2);
  EXPECT_EQ(mrPutPixel(words, 0, 1, 0x1ABCD), 0);
  EXPECT_EQ(mrGetPixel(words, 0, 1), 0xABCD);

  EXPECT_EQ(mrGetPixelRGB(words, 0, 0, &r, &g, &b), -1);
  for (auto [x, y] : {std::pair{-1, 0}, {0, -1}, {2, 0}, {0, 2}}) {
    EXPECT_EQ(mrGetPixel(ints, x, y), -1);
    EXPECT_EQ(mrPutPixel(ints, x, y, 0), -1);
    EXPECT_EQ(mrGetPixelAddr(ints, x, y, nullptr), -1);
  }
  void* addr = nullptr;
  EXPECT_EQ(mrGetPixelAddr(bits, 9, 1, &addr), 1);
  EXPECT_EQ(addr, PixelsOf(bits) + PitchOf(bits) + 1);
}

TEST_F(MemRect, LabelsAreCutAtFortyAndAtControlCharacters) {
  const int32_t h = mrCreate(8, 1, 1);
  char out[MR_LABEL_BYTES];
  const std::string fifty(50, 'x');
  EXPECT_EQ(mrSetLabel(h, fifty.c_str()), 40);
  EXPECT_EQ(mrGetLabel(h, out), 40);
  EXPECT_EQ(std::string(out), fifty.substr(0, 40));
  EXPECT_EQ(mrSetLabel(h, "abcde\tfgh"), 5);
  EXPECT_EQ(mrGetLabel(h, out), 5);
  EXPECT_STREQ(out, "abcde");
  EXPECT_EQ(mrSetLabel(h, "ab\xc4zz"), 2);
  EXPECT_EQ(mrSetLabel(h, nullptr), 0);
  EXPECT_EQ(mrGetLabel(h, out), 0);
  EXPECT_EQ(mrSetLabel(h + 1, "x"), -1);
  std::strcpy(out, "junk");
  EXPECT_EQ(mrGetLabel(h + 1, out), -1);
  EXPECT_STREQ(out, "");

  EXPECT_EQ(mrSetTag(h, 77), 96);
  EXPECT_EQ(mrGetTag(h), 77);
  EXPECT_EQ(mrSetTag(h + 1, 1), -1);
  EXPECT_EQ(mrGetTag(h + 1), -1);
}

TEST_F(MemRect, LabelToHandleFindsTheLowestMatchIgnoringCase) {
  const int32_t a = mrCreate(8, 1, 1);
  const int32_t b = mrCreate(8, 1, 1);
  const int32_t c = mrCreate(8, 1, 1);
  mrSetLabel(c, "Frame");
  mrSetLabel(b, "FRAME");
  mrSetLabel(a, "frames");
  EXPECT_EQ(mrLabelToHandle("frame"), b);
  EXPECT_EQ(mrLabelToHandle("Frames"), a);
  EXPECT_EQ(mrLabelToHandle("fram"), -1);
  EXPECT_EQ(mrLabelToHandle(""), -1);
  EXPECT_EQ(mrLabelToHandle(nullptr), -1);
  mrFree(b);
  EXPECT_EQ(mrLabelToHandle("frame"), c);
}

TEST_F(MemRect, MoveCopiesRowsOrWholeBlocks) {
  // Same rows, different pitches: row by row.
  const int32_t src = mrCreateRoundPitch(8, 5, 3, 1);
  const int32_t dst = mrCreate(8, 5, 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) mrPutPixel(src, x, y, 10 * y + x + 1);
  EXPECT_EQ(mrMove(src, dst), 15);
  EXPECT_EQ(mrGetPixel(dst, 4, 2), 25);
  EXPECT_EQ(PixelsOf(dst)[5], 0);  // padding untouched

  // Different depths with equal row bytes copy the bytes as they are.
  const int32_t words = mrCreate(16, 3, 1);
  const int32_t bytes = mrCreate(8, 6, 1);
  mrPutPixel(words, 0, 0, 0x0201);
  EXPECT_EQ(mrMove(words, bytes), 6);
  EXPECT_EQ(mrGetPixel(bytes, 1, 0), 2);

  // Owned blocks of equal size but different shape: whole block.
  const int32_t wide = mrCreate(8, 8, 2);
  const int32_t tall = mrCreate(8, 4, 4);
  mrPutPixel(wide, 7, 1, 99);
  EXPECT_EQ(mrMove(wide, tall), 16);
  EXPECT_EQ(mrGetPixel(tall, 3, 3), 99);
  // ...but not for extern or overlay rectangles.
  uint8_t buf[16] = {};
  const int32_t ext = mrMakeExtern(buf, 8, 4, 4, 4);
  EXPECT_EQ(mrMove(wide, ext), -1);
  EXPECT_EQ(mrMove(wide, mrCreate(8, 3, 3)), -1);
  EXPECT_EQ(mrMove(wide, 999), -1);
  EXPECT_EQ(mrMove(999, wide), -1);
}

TEST_F(MemRect, MoveBetweenOverlappingWindowsOfOneRoot) {
  const int32_t root = mrCreate(8, 4, 6);
  for (int y = 0; y < 6; ++y) mrPutPixel(root, 0, y, y + 1);
  const int32_t top = mrCreateOverlay(root, 0, 0, 4, 4);
  const int32_t low = mrCreateOverlay(root, 0, 1, 4, 4);
  EXPECT_EQ(mrMove(top, low), 16);  // shifts rows 0..3 to 1..4
  for (int y = 0; y < 5; ++y) EXPECT_EQ(mrGetPixel(root, 0, y), y == 0 ? 1 : y) << y;
  EXPECT_EQ(mrMove(low, top), 16);  // and back
  for (int y = 0; y < 4; ++y) EXPECT_EQ(mrGetPixel(root, 0, y), y + 1) << y;
}

TEST_F(MemRect, CopyAsDuplicatesPixelsAndRefusesEmptyRectangles) {
  const int32_t empty = mrCreate(8, 0, 0);
  const int32_t next = mrCreate(8, 1, 1);
  mrFree(next);
  EXPECT_EQ(mrCopyAs(empty), -1);
  EXPECT_EQ(mrCreate(8, 1, 1), next);  // no handle was left behind

  const int32_t root = mrCreate(8, 10, 10);
  mrPutPixel(root, 6, 7, 42);
  const int32_t o = mrCreateOverlay(root, 5, 5, 3, 3);
  const int32_t copy = mrCopyAs(o);
  ASSERT_GT(copy, 0);
  int32_t w = 0, h = 0;
  EXPECT_EQ(mrGetRectInfo(copy, &w, &h), 8);
  EXPECT_EQ(w, 3);
  EXPECT_EQ(h, 3);
  EXPECT_EQ(mrGetPixel(copy, 1, 2), 42);
  EXPECT_EQ(mrGetOverlayPos(copy, nullptr, nullptr), 0);  // owned, not an overlay

  const int32_t deep = mrCreateAsWithPix(root, 16);
  EXPECT_EQ(mrGetRectInfo(deep, &w, &h), 16);
  EXPECT_EQ(w, 10);
  EXPECT_EQ(mrCreateAsWithPix(root, 3), -1);
  EXPECT_EQ(mrCreateAs(9999), -1);
}

TEST_F(MemRect, RedimensionOfEachKind) {
  // Owned, unpadded rows and the same block size: the bytes are reinterpreted.
  const int32_t a = mrCreate(8, 8, 2);
  uint8_t* before = PixelsOf(a);
  mrPutPixel(a, 4, 0, 0x7F);
  EXPECT_EQ(mrRedimension(a, 32, 4, 1), 1);
  EXPECT_EQ(PixelsOf(a), before);
  EXPECT_EQ(mrGetPixel(a, 1, 0), 0x7F);

  // Owned otherwise: a new block keeps the overlapping part of each row.
  const int32_t b = mrCreate(8, 3, 3);
  mrPutPixel(b, 2, 2, 9);
  mrPutPixel(b, 0, 1, 8);
  EXPECT_EQ(mrRedimension(b, 0, 10, 0), 1);
  int32_t w = 0, h = 0;
  EXPECT_EQ(mrGetRectInfo(b, &w, &h), 8);
  EXPECT_EQ(w, 10);
  EXPECT_EQ(h, 3);
  EXPECT_EQ(PitchOf(b), 12);
  EXPECT_EQ(mrGetPixel(b, 2, 2), 9);
  EXPECT_EQ(mrGetPixel(b, 0, 1), 8);
  EXPECT_EQ(mrGetPixel(b, 9, 2), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(PixelsOf(b)) % 64, 0u);
  EXPECT_EQ(mrRedimension(b, 0, 0, 1), 1);
  EXPECT_EQ(mrGetPixel(b, 0, 1), -1);
  EXPECT_EQ(mrRedimension(b, 5, 0, 0), -1);
  EXPECT_EQ(mrRedimension(b, 0, -3, 0), -1);
  int64_t total = 0;
  mrNumberOfActive(&total, nullptr);
  EXPECT_EQ(total, 16 + 12);  // a and b

  // Extern: only the description changes.
  uint8_t buf[32];
  std::memset(buf, 0x5A, sizeof buf);
  const int32_t e = mrMakeExtern(buf, 8, 32, 1, 0);
  EXPECT_EQ(mrRedimension(e, 16, 2, 4), 2);
  EXPECT_EQ(PitchOf(e), 4);
  EXPECT_EQ(PixelsOf(e), buf);
  EXPECT_EQ(buf[31], 0x5A);

  // Overlay: same depth only, and it moves to the parent's corner.
  const int32_t root = mrCreate(8, 10, 10);
  const int32_t o = mrCreateOverlay(root, 4, 4, 2, 2);
  EXPECT_EQ(mrRedimension(o, 16, 0, 0), -1);
  EXPECT_EQ(mrRedimension(o, 8, 6, 0), 3);
  int32_t x = -1, y = -1;
  EXPECT_EQ(mrGetOverlayPos(o, &x, &y), root);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  EXPECT_EQ(mrGetRectInfo(o, &w, &h), 8);
  EXPECT_EQ(w, 6);
  EXPECT_EQ(h, 2);
  EXPECT_EQ(mrRedimension(o, 0, 11, 0), -1);
  EXPECT_EQ(mrRedimension(999, 8, 1, 1), -1);
}

TEST_F(MemRect, MoveExternCopiesInEitherDirection) {
  const int32_t h = mrCreate(8, 3, 2);  // pitch 4
  uint8_t in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(mrMoveExtern(in, "=>", h), 8);
  EXPECT_EQ(mrGetPixel(h, 0, 1), 5);
  mrPutPixel(h, 2, 1, 70);
  uint8_t out[8] = {};
  EXPECT_EQ(mrMoveExtern(out, "<= and more", h), 8);
  EXPECT_EQ(out[6], 70);
  EXPECT_EQ(mrMoveExtern(out, "<>", h), -1);
  EXPECT_EQ(mrMoveExtern(out, "", h), -1);
  EXPECT_EQ(mrMoveExtern(nullptr, "=>", h), -1);
  EXPECT_EQ(mrMoveExtern(out, "=>", mrCreateOverlay(h, 0, 0, 1, 1)), -1);
  EXPECT_EQ(mrMoveExtern(out, "=>", 999), -1);
}

TEST_F(MemRect, HandleInfoDescribesEachKind) {
  char text[256];
  const int32_t h = mrCreate(8, 3, 2);
  mrSetTag(h, 5);
  mrSetLabel(h, "Ref");
  const int32_t n = mrHandleInfo(h, text, sizeof text);
  const std::string s(text);
  EXPECT_EQ(n, static_cast<int32_t>(s.size()));
  EXPECT_EQ(s.rfind("#1: 8*3*2 (4) Mem:  8 (", 0), 0u) << s;
  EXPECT_NE(s.find(")   tag: 5;  Label: <Ref> "), std::string::npos) << s;

  uint8_t buf[4];
  const int32_t e = mrMakeExtern(buf, 8, 4, 1, 0);
  mrHandleInfo(e, text, sizeof text);
  EXPECT_EQ(std::string(text).rfind("#2: 8*4*1 (4) Mem: extern ", 0), 0u) << text;
  const int32_t o = mrCreateOverlay(h, 1, 1, 2, 1);
  mrHandleInfo(o, text, sizeof text);
  EXPECT_STREQ(text, "#3: 8*2*1 (4) Mem: overlay 1 at (1, 1) ");
  EXPECT_EQ(mrHandleInfo(77, text, sizeof text), 20);
  EXPECT_STREQ(text, "#77: is not a handle");
  EXPECT_EQ(mrHandleInfo(77, text, 4), 3);
  EXPECT_STREQ(text, "#77");
}

TEST_F(MemRect, DisplaysGoToStandardError) {
  const int32_t h = mrCreate(8, 3, 2);
  mrPutPixel(h, 1, 1, 0xAB);
  mrSetLabel(h, "dump");
  mrMakeExtern(nullptr, 8, 0, 0, 0);
  testing::internal::CaptureStderr();
  mrMemRectsDisplay();
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.rfind("Memory Rectangles\nActive Rectangles: 2 of 160\nUsed Memory Size: 8\n#1: ",
                      0),
            0u)
      << out;
  EXPECT_NE(out.find("Label: <dump>"), std::string::npos);
  EXPECT_NE(out.find("\n#2: 8*0*0 (0) Mem: extern "), std::string::npos) << out;

  // No buffer and a length: the line and a dump of the first bytes of the rows
  // (two rows of pitch 4 end at byte 7: the last row's padding is not read).
  testing::internal::CaptureStderr();
  const int32_t n = mrHandleInfo(h, nullptr, 100);
  out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.rfind("mrHandleInfo\n#1: 8*3*2 (4) Mem: ", 0), 0u) << out;
  EXPECT_EQ(n, static_cast<int32_t>(out.find('\n', 13) - 13));
  EXPECT_NE(out.find("00000000: 00 00 00 00 00 ab 00\n"), std::string::npos) << out;
  testing::internal::CaptureStderr();
  char note[] = "note";
  mrHandleInfo(99, note, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "mrHandleInfo\n#99: is not a handle note \n");
}

TEST_F(MemRect, RectOwnerFreesOnceAndMoves) {
  {
    vantor::RectOwner a(mrCreate(8, 2, 2));
    EXPECT_TRUE(a);
    vantor::RectOwner b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(b.get(), 1);
    vantor::RectOwner failed(mrCreate(3, 1, 1));
    EXPECT_FALSE(failed);
    EXPECT_EQ(failed.get(), -1);
    vantor::RectOwner c(mrCreate(8, 2, 2));
    c = std::move(b);  // frees handle 2
    EXPECT_EQ(mrGetRectInfo(2, nullptr, nullptr), -1);
    EXPECT_EQ(mrGetRectInfo(1, nullptr, nullptr), 8);
  }
  EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), 0);
  vantor::RectOwner kept(mrCreate(8, 1, 1));
  const int32_t h = kept.release();
  EXPECT_EQ(mrFree(h), h);
}

}  // namespace
