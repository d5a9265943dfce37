// The per-thread error record as the store's operations leave it.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "generic/errors.h"
#include "memrect/memrect.h"

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

}  // namespace
