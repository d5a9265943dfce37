#include "improc/nei_vec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "improc/nei.h"

namespace {

// The codes these kernels take (the runs 22 to 25 are for the tm kernels).
const int kAllCodes[] = {0, 1, 12, 13, 14, 20, 21, 26, 27, 28, 29, 5, 19};
const int32_t kWidths[] = {1, 7, 31, 32, 33, 63, 64, 65, 100};
const int32_t kHeights[] = {1, 2, 3, 8, 13};

// Random pixels, including the bytes past each row: both kernels must leave
// those exactly as they were.
std::vector<uint8_t> RandomRows(size_t bytes, std::mt19937& rng, bool sparse) {
  std::vector<uint8_t> v(bytes);
  for (auto& b : v) {
    if (sparse) {  // masks with few set pixels, so that dilations do not saturate at once
      b = static_cast<uint8_t>((rng() % 5 == 0 ? 1u << (rng() % 8) : 0) | (rng() % 7 == 0 ? 0x80 : 0));
    } else {
      b = static_cast<uint8_t>(rng());
    }
  }
  return v;
}

std::string Case(int code, int n, int32_t w, int32_t h) {
  return "code " + std::to_string(code) + " n " + std::to_string(n) + " size " +
         std::to_string(w) + "x" + std::to_string(h);
}

TEST(NeiVector, GreyEqualsScalarForEveryCodeWidthAndCount) {
  std::mt19937 rng(17);
  for (int32_t w : kWidths)
    for (int32_t h : kHeights)
      for (int code : kAllCodes)
        for (int n = 1; n <= 8; ++n) {
          const int32_t pitch = w + static_cast<int32_t>(rng() % 5);
          std::vector<uint8_t> a = RandomRows(static_cast<size_t>(pitch) * h, rng, false);
          if (code == 12 || code == 14) {  // smooth data make fixed points reachable
            for (auto& b : a) b = static_cast<uint8_t>(b % 4);
          }
          std::vector<uint8_t> b = a;
          ASSERT_EQ(NeiMem(a.data(), w, h, pitch, code, n), 0);
          ASSERT_EQ(vantor::NeiMemVector(b.data(), w, h, pitch, code, n), 0);
          ASSERT_EQ(a, b) << Case(code, n, w, h);
        }
}

TEST(NeiVector, MaskEqualsScalarForEveryCodeWidthAndCount) {
  std::mt19937 rng(23);
  for (int32_t w : kWidths)
    for (int32_t h : kHeights)
      for (int code : kAllCodes)
        for (int n = 1; n <= 8; ++n) {
          const int32_t pitch = (w + 7) / 8 + static_cast<int32_t>(rng() % 3);
          std::vector<uint8_t> a = RandomRows(static_cast<size_t>(pitch) * h, rng, code % 2 == 1);
          if (code % 2 == 0) {  // erosions: mostly set pixels
            for (auto& b : a) b = static_cast<uint8_t>(~b | (rng() & 0x5A));
          }
          std::vector<uint8_t> b = a;
          ASSERT_EQ(MaskNei(a.data(), w, h, pitch, code, n), 0);
          ASSERT_EQ(vantor::MaskNeiVector(b.data(), w, h, pitch, code, n), 0);
          ASSERT_EQ(a, b) << Case(code, n, w, h);
        }
}

// Lists of single passes run in pipeline sweeps of limited depth, erosions
// and dilations alternating between the image and its complement; lists of
// smoothing steps share one scratch plane.
TEST(NeiVector, StepListsEqualScalarStepsOneByOne) {
  std::mt19937 rng(31);
  const int kPassCodes[] = {0, 1, 20, 21, 26, 27, 28, 29, 5};
  const int kSmoothCodes[] = {12, 13, 14, 19};
  for (int trial = 0; trial < 300; ++trial) {
    const bool mask = trial % 2 == 0;
    const bool smooth = !mask && trial % 4 == 1;
    const int32_t w = 1 + static_cast<int32_t>(rng() % 150);
    const int32_t h = 1 + static_cast<int32_t>(rng() % 40);
    vantor::NeiStep steps[6];
    const size_t count = 1 + rng() % 6;
    for (size_t i = 0; i < count; ++i) {
      steps[i].code = smooth ? kSmoothCodes[rng() % 4] : kPassCodes[rng() % 9];
      steps[i].n = static_cast<int32_t>(rng() % 10) - 1;  // includes 0 and -1: skipped
    }
    const int32_t pitch = mask ? (w + 7) / 8 + 1 : w + 1;
    std::vector<uint8_t> a = RandomRows(static_cast<size_t>(pitch) * h, rng, mask);
    std::vector<uint8_t> b = a;
    for (size_t i = 0; i < count; ++i) {
      if (mask) {
        MaskNei(a.data(), w, h, pitch, steps[i].code, steps[i].n);
      } else {
        NeiMem(a.data(), w, h, pitch, steps[i].code, steps[i].n);
      }
    }
    const int32_t r = mask ? vantor::MaskNeiVectorSteps(b.data(), w, h, pitch, steps, count)
                           : vantor::NeiMemVectorSteps(b.data(), w, h, pitch, steps, count);
    ASSERT_EQ(r, 0);
    std::string list;
    for (size_t i = 0; i < count; ++i)
      list += " (" + std::to_string(steps[i].code) + "," + std::to_string(steps[i].n) + ")";
    ASSERT_EQ(a, b) << (mask ? "mask " : "grey ") << w << "x" << h << list;
  }
}

// Runs belong to the tm kernels: row and column runs, squares beyond the
// pipeline's depth and smoothing mixed with passes are refused untouched.
TEST(NeiVector, RefusesRunsAndMixedLists) {
  std::mt19937 rng(37);
  std::vector<uint8_t> px = RandomRows(64 * 64, rng, false);
  const auto before = px;
  for (int code : {22, 23, 24, 25}) {
    EXPECT_EQ(vantor::NeiMemVector(px.data(), 64, 64, 64, code, 1), -1) << code;
    EXPECT_EQ(vantor::MaskNeiVector(px.data(), 64, 64, 8, code, 3), -1) << code;
  }
  EXPECT_EQ(vantor::NeiMemVector(px.data(), 64, 64, 64, 1, 9), -1);
  EXPECT_EQ(vantor::MaskNeiVector(px.data(), 64, 64, 8, 27, 9), -1);
  const vantor::NeiStep mixed[] = {{21, 1}, {13, 1}};
  EXPECT_EQ(vantor::NeiMemVectorSteps(px.data(), 64, 64, 64, mixed, 2), -1);
  EXPECT_EQ(px, before);
}

TEST(NeiVector, RefusesBadRectanglesAndIgnoresEmptyRequests) {
  std::vector<uint8_t> px(64, 0x3C);
  const auto before = px;
  EXPECT_EQ(vantor::MaskNeiVector(nullptr, 8, 8, 1, 1, 1), -1);
  EXPECT_EQ(vantor::MaskNeiVector(px.data(), 17, 4, 2, 1, 1), -1);
  EXPECT_EQ(vantor::NeiMemVector(px.data(), 8, 8, 7, 1, 1), -1);
  EXPECT_EQ(vantor::NeiMemVector(px.data(), 8, 0, 8, 1, 1), -1);
  EXPECT_EQ(vantor::NeiMemVector(px.data(), 8, 8, 8, 1, 0), 0);
  EXPECT_EQ(vantor::MaskNeiVector(px.data(), 8, 8, 1, 13, 5), 0);
  EXPECT_EQ(px, before);
}

}  // namespace
