// The per-thread error record as the store's operations leave it.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "generic/errors.h"
#include "generic/sort.h"
#include "improc/pixelops.h"
#include "memrect/convert.h"
#include "memrect/memrect.h"
#include "memrect/neifun.h"
#include "memrect/pixelwise.h"
#include "memrect/statistics.h"
#include "memrect/subsample.h"
#include "memrect/rect_owner.h"

namespace {

TEST(LastError, NamesTheOuterOperationAndTheCause) {
  mrClearLastError();
  EXPECT_STREQ(mrLastError(), "");
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_NONE);

  EXPECT_EQ(mrCopyAs(999999), -1);  // fails inside mrCreateAs
  EXPECT_STREQ(mrLastError(), "mrCopyAs: handle 999999 is not a valid image");
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_PARAMETER);

  // Success leaves the record alone.
  const int32_t h = mrCreate(8, 4, 4);
  ASSERT_GT(h, 0);
  EXPECT_STREQ(mrLastError(), "mrCopyAs: handle 999999 is not a valid image");

  EXPECT_EQ(mrCreate(7, 4, 4), -1);
  EXPECT_STREQ(mrLastError(), "mrCreate: 7 is not a pixel depth of the store");
  EXPECT_EQ(mrCreate(8, 2000000000, 2000000000), -1);
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrGetPixel(h, 4, 0), -1);
  EXPECT_STREQ(mrLastError(), "mrGetPixel: (4, 0) lies outside the 4 x 4 image");
  const int32_t other = mrCreate(8, 5, 4);
  EXPECT_LT(mrMove(h, other), 1);
  EXPECT_NE(std::string(mrLastError()).find("differ in size"), std::string::npos) << mrLastError();
  EXPECT_EQ(mrLabelToHandle("no such label"), -1);
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_FAILED);

  // Each thread has its own record.
  std::thread([] {
    EXPECT_STREQ(mrLastError(), "");
    mrFree(-5);
    EXPECT_STREQ(mrLastError(), "mrFree: handle -5 is not a handle");
  }).join();
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_FAILED);
  mrFree(h);
  mrFree(other);
}

// The operations on images state which value they refuse.
TEST(LastError, OperationsNameTheRefusedValue) {
  using vantor::RectOwner;
  RectOwner a(mrCreate(8, 6, 4)), b(mrCreate(8, 6, 4)), c(mrCreate(8, 5, 4));
  RectOwner deep(mrCreate(48, 6, 4)), mask(mrCreate(1, 6, 4));
  const std::string A = std::to_string(a.get()), B = std::to_string(b.get()),
                    C = std::to_string(c.get()), D = std::to_string(deep.get());
  auto expect = [](const std::string& text, int32_t kind) {
    EXPECT_EQ(mrLastError(), text);
    EXPECT_EQ(mrLastErrorKind(), kind);
    mrClearLastError();
  };

  EXPECT_EQ(mrPixelwise(a.get(), "FOO", b.get()), -1);
  expect("mrPixelwise: keyword 'FOO' is not one of the logical or arithmetic keywords",
         VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrPixelwise(a.get(), "MIN", c.get()), -1);
  expect("mrPixelwise: images " + A + " and " + C + " differ in size", VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrPixelwiseMask(a.get(), "MAX", b.get(), c.get()), -1);
  expect("mrPixelwiseMask: mask " + C + " has depth 8, not 1", VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrThreshold(deep.get(), mask.get(), ">", 3), -1);
  expect("mrThreshold: image " + D + " has depth 48, which this operation does not take",
         VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrConvert(a.get(), deep.get(), 0), -1);
  expect("mrConvert: no conversion from depth 8 (image " + A + ") to depth 48 (image " + D + ")",
         VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrConvert(a.get(), c.get(), 0), -1);
  expect("mrConvert: images " + A + " and " + C + " differ in size (6 x 4 and 5 x 4)",
         VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrBytesToRGB(a.get(), deep.get(), "Blend", 1, 1, 1), -1);
  expect("mrBytesToRGB: keyword 'Blend' is not one of Fill Add Insert", VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrNeiFun(999999, "ERODE8", 1), -1);
  expect("mrNeiFun: handle 999999 is not a valid image", VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrNeiFun(a.get(), "ERODE9", 1), -1);
  expect("mrNeiFun: keyword 'ERODE9' is not a neighbourhood operation", VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrNeiFun(deep.get(), "ERODE8", 1), -1);
  expect("mrNeiFun: image " + D + " has depth 48, which this operation does not take",
         VANTOR_ERROR_PARAMETER);
  // A refusal inside a nested operation is told under the outer one's name.
  EXPECT_EQ(mrBlockSubsampling(a.get(), 0, 2, 2, "MEDIAN"), 0);
  expect("mrBlockSubsampling: keyword 'MEDIAN' is not one of MIN MAX RANGE MEAN STD MINMAX "
         "MAXMIN MID",
         VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrBlockSubsampling(a.get(), 0, 8, 2, "MIN"), 0);
  expect("mrBlockSubsampling: image " + A + " (6 x 4) holds no whole block of 8 x 2",
         VANTOR_ERROR_PARAMETER);
  int32_t record[16];
  EXPECT_EQ(mrMinMaxSumInfo(RectOwner(mrCreate(8, 0, 3)).get(), record), -1.0);
  EXPECT_NE(std::string(mrLastError()).find("is empty (0 x 3)"), std::string::npos)
      << mrLastError();
  mrClearLastError();

  // Picture lists: what is not a list, a list holding itself, unknown operations.
  EXPECT_EQ(mrPicList(a.get(), "Count", 0), -1);
  expect("mrPicList: handle " + A + " is not a picture list", VANTOR_ERROR_PARAMETER);
  RectOwner list(mrPicList(0, "Create", reinterpret_cast<intptr_t>("L")));
  ASSERT_GT(list.get(), 0);
  EXPECT_EQ(mrPicList(list.get(), "Push", list.get()), -1);
  expect("mrPicList: list " + std::to_string(list.get()) + " cannot hold itself",
         VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrPicList(list.get(), "Push", 999999), -1);
  expect("mrPicList: handle 999999 is not a valid image", VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrPicList(list.get(), "Get", 1), -1);
  expect("mrPicList: index 1 is not in 1..0", VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(mrPicList(list.get(), "Shove", 0), -1);
  EXPECT_NE(std::string(mrLastError()).find("operation 'Shove' is not one of"), std::string::npos)
      << mrLastError();
  mrClearLastError();

  // Buffer-level functions: the sort and a kernel's refused code.
  int32_t v[3] = {3, 1, 2};
  EXPECT_EQ(SortInPlace(v, 4, 3, VANTOR_SORT_FLOAT), -1);
  expect("SortInPlace: key type 9 is not accepted", VANTOR_ERROR_PARAMETER);
  uint8_t bytes[4] = {};
  EXPECT_EQ(MemOpMem(bytes, bytes, 4, 27), 65535);
  expect("MemOpMem: code 27 is not an operation of this kernel", VANTOR_ERROR_PARAMETER);
}

}  // namespace
