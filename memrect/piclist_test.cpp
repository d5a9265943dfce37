#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "memrect/memrect.h"

namespace {

intptr_t Text(const char* s) { return reinterpret_cast<intptr_t>(s); }

std::string LabelOf(int32_t h) {
  char out[MR_LABEL_BYTES];
  mrGetLabel(h, out);
  return out;
}

class PicList : public ::testing::Test {
 protected:
  void SetUp() override { mrFreeAllHandles(); }
  void TearDown() override { mrFreeAllHandles(); }
};

TEST_F(PicList, PushedCopiesAreNumberedAfterTheList) {
  const int32_t list = mrPicList(0, "Create", Text("Seq"));
  ASSERT_GT(list, 0);
  EXPECT_EQ(LabelOf(list), "Seq");
  EXPECT_EQ(mrPicList(list, "count", 0), 0);
  const int32_t img = mrCreate(8, 4, 4);
  mrPutPixel(img, 3, 3, 77);
  int32_t first = 0, twelfth = 0;
  for (int i = 1; i <= 12; ++i) {
    const int32_t copy = mrPicList(list, "Push", img);
    ASSERT_GT(copy, 0);
    ASSERT_NE(copy, img);
    if (i == 1) first = copy;
    if (i == 12) twelfth = copy;
  }
  EXPECT_EQ(LabelOf(first), "Seq_001");
  EXPECT_EQ(LabelOf(twelfth), "Seq_012");
  EXPECT_EQ(mrGetPixel(twelfth, 3, 3), 77);
  EXPECT_EQ(mrPicList(list, "Count", 0), 12);
  EXPECT_EQ(mrPicList(list, "Get", 1), first);
  EXPECT_EQ(mrPicList(list, "Get", 12), twelfth);
  EXPECT_EQ(mrPicList(list, "Get", 0), -1);
  EXPECT_EQ(mrPicList(list, "Get", 13), -1);
  EXPECT_EQ(mrPicList(list, "GetLabel", Text("seq_012")), twelfth);
  EXPECT_EQ(mrPicList(list, "GetLabel", Text("Seq_013")), 0);

  // A long name is cut to 40 characters with its number.
  const std::string longName(39, 'n');
  const int32_t named = mrPicList(0, "Create", Text(longName.c_str()));
  EXPECT_EQ(LabelOf(mrPicList(named, "Push", img)), longName + "_");
}

TEST_F(PicList, GrowsAndKeepsItsMembers) {
  const int32_t list = mrPicList(0, "Create", Text("L"));
  const int32_t img = mrCreate(8, 1, 1);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(mrPicList(list, "PushHandle", img), img);
  EXPECT_EQ(mrPicList(list, "Count", 0), 300);
  int32_t w = 0, h = 0;
  EXPECT_EQ(mrGetRectInfo(list, &w, &h), 32);
  EXPECT_EQ(w, 64);
  EXPECT_GE(static_cast<int64_t>(w) * h, 304);
  EXPECT_EQ(mrPicList(list, "Get", 300), img);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(mrPicList(list, "Pop", 0), img);
  EXPECT_EQ(mrPicList(list, "Pop", 0), 0);
  EXPECT_EQ(mrPicList(list, "Count", 0), 0);
}

TEST_F(PicList, FreeingTheListFreesItsMembersButFreeAloneDoesNot) {
  const int32_t img = mrCreate(8, 2, 2);
  const int32_t list = mrPicList(0, "Create", Text("Owner"));
  const int32_t copy = mrPicList(list, "Push", img);
  EXPECT_EQ(mrPicList(list, "PushHandle", img), img);
  const int32_t sub = mrPicList(list, "SubList", 0);
  ASSERT_GT(sub, 0);
  EXPECT_EQ(LabelOf(sub), "Owner_003");
  const int32_t deep = mrPicList(sub, "PushHandle", mrCreate(8, 1, 1));
  EXPECT_EQ(mrFree(list), list);
  for (int32_t h : {img, list, copy, sub, deep}) EXPECT_EQ(mrGetRectInfo(h, nullptr, nullptr), -1);
  EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), 0);

  const int32_t img2 = mrCreate(8, 2, 2);
  const int32_t list2 = mrPicList(0, "Create", Text("Keep"));
  mrPicList(list2, "PushHandle", img2);
  EXPECT_EQ(mrPicList(list2, "Free", 0), list2);
  EXPECT_EQ(mrGetRectInfo(list2, nullptr, nullptr), -1);
  EXPECT_EQ(mrGetRectInfo(img2, nullptr, nullptr), 8);

  // "Clean" empties the list and keeps it.
  const int32_t list3 = mrPicList(0, "Create", Text("C"));
  mrPicList(list3, "PushHandle", img2);
  EXPECT_EQ(mrPicList(list3, "Clean", 0), list3);
  EXPECT_EQ(mrPicList(list3, "Count", 0), 0);
  EXPECT_EQ(mrGetRectInfo(img2, nullptr, nullptr), -1);
}

TEST_F(PicList, LabelSearchDescendsIntoSubLists) {
  const int32_t list = mrPicList(0, "Create", Text("Top"));
  const int32_t a = mrCreate(8, 1, 1);
  mrSetLabel(a, "alpha");
  const int32_t sub = mrPicList(list, "SubList", Text("Inner"));
  const int32_t b = mrCreate(8, 1, 1);
  mrSetLabel(b, "beta");
  mrPicList(sub, "PushHandle", b);
  mrPicList(list, "PushHandle", a);
  EXPECT_EQ(mrPicList(list, "GetLabel", Text("BETA")), b);
  EXPECT_EQ(mrPicList(list, "GetLabel", Text("alpha")), a);
  EXPECT_EQ(mrPicList(list, "GetLabel", Text("Inner")), 0);  // lists are searched, not matched
  EXPECT_EQ(mrPicList(list, "GetLabel", 0), 0);
  mrFree(b);  // members no longer valid are skipped
  EXPECT_EQ(mrPicList(list, "GetLabel", Text("beta")), 0);
}

TEST_F(PicList, RefusesWhatIsNotAListOrNotAMember) {
  const int32_t img = mrCreate(32, 64, 1);
  EXPECT_EQ(mrPicList(img, "Count", 0), -1);
  EXPECT_EQ(mrPicList(img, "Push", img), -1);
  EXPECT_EQ(mrPicList(999, "Count", 0), -1);
  const int32_t list = mrPicList(0, "Create", 0);
  EXPECT_EQ(LabelOf(list), "");
  EXPECT_EQ(mrPicList(list, "Shuffle", 0), -1);
  EXPECT_EQ(mrPicList(list, nullptr, 0), -1);
  EXPECT_EQ(mrPicList(list, "PushHandle", 999), -1);
  EXPECT_EQ(mrPicList(list, "PushHandle", list), -1);
  EXPECT_EQ(mrPicList(list, "Push", 999), -1);
  EXPECT_EQ(mrPicList(list, "Push", mrCreate(8, 0, 0)), -1);  // empty copies fail
  EXPECT_EQ(mrPicList(list, "Count", 0), 0);
  // A list whose count was overwritten stays inside its block.
  mrPutPixel(list, 0, 0, 1 << 30);
  EXPECT_EQ(mrPicList(list, "Get", 1 << 29), -1);
}

TEST_F(PicList, ListsThatContainEachOtherAreFreedWithoutLooping) {
  const int32_t a = mrPicList(0, "Create", Text("A"));
  const int32_t b = mrPicList(a, "SubList", Text("B"));
  EXPECT_EQ(mrPicList(b, "PushHandle", a), a);
  EXPECT_EQ(mrPicList(a, "GetLabel", Text("none")), 0);
  mrFree(a);
  EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), 0);
}

}  // namespace
