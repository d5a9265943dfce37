#include "generic/keywords.h"

#include <gtest/gtest.h>

namespace {

const char kStats[] = "MIN MAX RANGE MEAN STD MINMAX MAXMIN MID";

TEST(WordInText, WholeWordsIgnoringCase) {
  EXPECT_EQ(WordInText(kStats, nullptr, 0, "mean", 0), 4u);
  EXPECT_EQ(WordInText(kStats, nullptr, 0, "MINMAX", 0), 6u);
  EXPECT_EQ(WordInText(kStats, nullptr, 0, "MI", 0), 0u);
  EXPECT_EQ(WordInText(kStats, nullptr, 0, "MEANS", 0), 0u);
  EXPECT_EQ(WordInText("FILL ADD INSERT ", nullptr, 0, "Fill", 0), 1u);
  // Bytes past the basic Latin letters are compared as they are.
  EXPECT_EQ(WordInText("\xc4x \xe4x", nullptr, 0, "\xe4x", 0), 2u);
}

TEST(WordInText, KeywordEndsAtFirstSeparator) {
  EXPECT_EQ(WordInText(kStats, nullptr, 0, "MEAN and more", 0), 4u);
  EXPECT_EQ(WordInText(kStats, nullptr, 0, " MEAN", 0), 0u);
  EXPECT_EQ(WordInText(kStats, nullptr, 0, "", 0), 0u);
  // An explicit keyword length compares only that many bytes.
  EXPECT_EQ(WordInText("=> <=", nullptr, 0, "<=x", 2), 2u);
}

TEST(WordInText, SeparatorRunsAndCutKeyword) {
  EXPECT_EQ(WordInText("DILATE8  ERODE4", nullptr, 0, "ERODE4", 0), 2u);
  EXPECT_EQ(WordInText("\tA\r\n B ", nullptr, 0, "b", 0), 2u);
  // A keyword longer than the rest of the list is cut before comparing.
  EXPECT_EQ(WordInText("AB", nullptr, 0, "ABC", 0), 1u);
  EXPECT_EQ(WordInText("ABXYZ", nullptr, 2, "ABC", 0), 1u);
}

TEST(WordInText, StartPositionCountsFromThereAndMovesOnlyOnMatch) {
  uint32_t start = 4;
  EXPECT_EQ(WordInText(kStats, &start, 0, "MAX", 0), 1u);
  EXPECT_EQ(start, 4u);
  start = 4;
  EXPECT_EQ(WordInText(kStats, &start, 0, "RANGE", 0), 2u);
  EXPECT_EQ(start, 8u);
  start = 4;
  EXPECT_EQ(WordInText(kStats, &start, 0, "MIN", 0), 0u);
  EXPECT_EQ(start, 4u);
}

TEST(WordScanning, BoundsAreRespected) {
  const char text[] = "  ab cd";
  EXPECT_EQ(ToBegWord(text, 0, 7), 2u);
  EXPECT_EQ(ToBegWord(text, 99, 7), 7u);
  EXPECT_EQ(WordLength(text, 2, 7), 2u);
  EXPECT_EQ(WordLength(text, 2, 3), 1u);
  EXPECT_EQ(WordLength(text, 4, 7), 0u);
  EXPECT_EQ(WordLength(text, 9, 7), 0u);
  uint32_t pos = 4;
  EXPECT_EQ(GetTheWord(text, &pos, 7), 2u);
  EXPECT_EQ(pos, 5u);
  pos = 7;
  EXPECT_EQ(GetTheWord(text, &pos, 7), 0u);
}

}  // namespace
