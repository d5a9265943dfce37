// The scalar and the vector kernel modes must give the same results and the
// same bytes, padding past each row included, for every keyword of the 8-bit
// point operations, on random images of awkward widths. The images are extern
// rectangles over buffers of exactly their size, so a kernel that reads or
// writes past the last row is caught by the sanitizer build.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernel_mode.h"
#include "memrect/memrect.h"
#include "memrect/pixelwise.h"
#include "memrect/rect_owner.h"
#include "memrect/test_rects.h"

namespace {

using vantor::RectOwner;
using vantor::test::KernelModeScope;

struct Scene {
  std::vector<uint8_t> a, b, m;
  RectOwner ha, hb, hm;
};

// Two 8-bit images and a mask of width x height with extra bytes of padding
// per row, filled from seed.
void MakeScene(Scene& s, int32_t width, int32_t height, int32_t extra, uint32_t seed) {
  std::mt19937 rng(seed);
  const int32_t pitch = width + extra;
  const int32_t maskPitch = (width + 7) / 8 + extra % 3;
  s.a.resize(static_cast<size_t>(pitch) * height);
  s.b.resize(s.a.size());
  s.m.resize(static_cast<size_t>(maskPitch) * height);
  for (auto& v : s.a) v = static_cast<uint8_t>(rng());
  for (auto& v : s.b) v = static_cast<uint8_t>(rng());
  for (auto& v : s.m) v = static_cast<uint8_t>(rng());
  // Some equal pixels, so that the comparisons meet their equal case.
  for (size_t i = 0; i < s.a.size(); i += 3) s.b[i] = s.a[i];
  s.ha.reset(mrMakeExtern(s.a.data(), 8, width, height, pitch));
  s.hb.reset(mrMakeExtern(s.b.data(), 8, width, height, pitch));
  s.hm.reset(mrMakeExtern(s.m.data(), 1, width, height, maskPitch));
}

using Op = std::function<int32_t(Scene&)>;

// Runs op in both modes on identical scenes of every shape and compares; the
// operation must succeed (agreeing refusals prove nothing).
void ExpectModesAgree(const std::string& what, const Op& op) {
  const int32_t widths[] = {1, 3, 7, 8, 9, 13, 31, 33, 63, 64, 65, 100, 129, 250};
  uint32_t seed = 1;
  for (int32_t width : widths) {
    for (int32_t height : {1, 3}) {
      for (int32_t extra : {0, 5}) {
        ++seed;
        Scene s2, s3;
        MakeScene(s2, width, height, extra, seed);
        MakeScene(s3, width, height, extra, seed);
        int32_t r2, r3;
        {
          KernelModeScope mode(2);
          r2 = op(s2);
        }
        {
          KernelModeScope mode(3);
          r3 = op(s3);
        }
        const std::string where = what + " width " + std::to_string(width) + " height " +
                                  std::to_string(height) + " pad " + std::to_string(extra);
        ASSERT_GE(r2, 0) << where;
        ASSERT_EQ(r2, r3) << where;
        ASSERT_EQ(s2.a, s3.a) << where;
        ASSERT_EQ(s2.b, s3.b) << where;
        ASSERT_EQ(s2.m, s3.m) << where;
      }
    }
  }
}

const char* const kArithmetic[] = {
    "MIN", "MAX", "Plus", "+S", "Minus", "-L", "-S", "-LS", "LessTo0", "MoreToFF", "ByteMask",
    "-A", "-A8"};
const char* const kLogical[] = {"AND", "MORE", "Copy", "LESS", "XOR", "OR",
                                "NOR", "EQUAL", "MoreEq", "CopyNot", "LessEq", "Nand"};

TEST(KernelModes, TwoImageOperationsAgree) {
  for (const char* k : kArithmetic) {
    ExpectModesAgree(std::string("pixelwise ") + k,
                     [k](Scene& s) { return mrPixelwise(s.ha.get(), k, s.hb.get()); });
    ExpectModesAgree(std::string("pixelwise mask ") + k, [k](Scene& s) {
      return mrPixelwiseMask(s.ha.get(), k, s.hb.get(), s.hm.get());
    });
    ExpectModesAgree(std::string("pixelwise not mask ") + k, [k](Scene& s) {
      return mrPixelwiseNotMask(s.ha.get(), k, s.hb.get(), s.hm.get());
    });
  }
  for (const char* k : kLogical) {
    ExpectModesAgree(std::string("pixelwise ") + k,
                     [k](Scene& s) { return mrPixelwise(s.ha.get(), k, s.hb.get()); });
    ExpectModesAgree(std::string("pixelwise mask ") + k, [k](Scene& s) {
      return mrPixelwiseMask(s.ha.get(), k, s.hb.get(), s.hm.get());
    });
  }
}

// The signed keywords are for wider pixels: refused in both modes, pixels kept.
TEST(KernelModes, SignedKeywordsRefusedOnBytes) {
  for (int32_t mode : {2, 3}) {
    KernelModeScope scope(mode);
    Scene s;
    MakeScene(s, 33, 3, 5, 9);
    const auto a = s.a, b = s.b;
    EXPECT_EQ(mrPixelwise(s.ha.get(), "MINSig", s.hb.get()), -1) << mode;
    EXPECT_EQ(mrPixelwiseMask(s.ha.get(), "MAXSig", s.hb.get(), s.hm.get()), -1) << mode;
    EXPECT_EQ(mrConstPixelwise(7, "-ASig", s.hb.get()), -1) << mode;
    EXPECT_EQ(s.a, a);
    EXPECT_EQ(s.b, b);
  }
}

TEST(KernelModes, ColourTwoImageOperationsAgree) {
  // 24-bit images over the same buffers: a third of the byte width.
  for (const char* k : kArithmetic) {
    ExpectModesAgree(std::string("colour pixelwise ") + k, [k](Scene& s) {
      int32_t w = 0, h = 0, pitch = 0;
      mrGetExtendedInfo(s.ha.get(), &w, &h, &pitch, nullptr);
      if (w < 3) return 0;
      RectOwner a(mrMakeExtern(s.a.data(), 24, w / 3, h, pitch));
      RectOwner b(mrMakeExtern(s.b.data(), 24, w / 3, h, pitch));
      return mrPixelwise(a.get(), k, b.get());
    });
  }
}

TEST(KernelModes, ConstantOperationsAgreeApartFromTheirReport) {
  for (int32_t c : {0, 1, 77, 128, 254, 255, 0x1234}) {
    for (const char* k : kArithmetic) {
      ExpectModesAgree(std::string("const ") + k + " " + std::to_string(c),
                       [k, c](Scene& s) { return mrConstPixelwise(c, k, s.hb.get()); });
      // The masked forms report which kernels ran (3 or 0); the pixels must agree.
      ExpectModesAgree(std::string("const mask ") + k + " " + std::to_string(c), [k, c](Scene& s) {
        return mrConstPixelMask(c, k, s.hb.get(), s.hm.get()) < 0 ? -1 : 0;
      });
      ExpectModesAgree(std::string("const not mask ") + k, [k, c](Scene& s) {
        return mrConstPixelNotMask(c, k, s.hb.get(), s.hm.get()) < 0 ? -1 : 0;
      });
    }
    for (const char* k : kLogical) {
      ExpectModesAgree(std::string("const mask ") + k, [k, c](Scene& s) {
        return mrConstPixelMask(c, k, s.hb.get(), s.hm.get()) < 0 ? -1 : 0;
      });
      ExpectModesAgree(std::string("const everywhere ") + k, [k, c](Scene& s) {
        return mrConstPixelMask(c, k, s.hb.get(), 0) < 0 ? -1 : 0;
      });
    }
  }
}

TEST(KernelModes, ThresholdsAndScalingAgree) {
  const char* const relations[] = {"NotLess", "NotGreater", "UnEqual", "Equal", "Less",
                                   "Greater", ">=", "<=", "<>", "=", "<", ">"};
  for (int32_t t : {0, 1, 100, 128, 254, 255, 256 + 7}) {
    for (const char* k : relations) {
      ExpectModesAgree(std::string("threshold ") + k + " " + std::to_string(t),
                       [k, t](Scene& s) { return mrThreshold(s.ha.get(), s.hm.get(), k, t); });
    }
  }
  const uint32_t ratios[][2] = {{110, 100}, {100, 110}, {3, 1}, {1, 3}, {255, 254}, {1u << 26, 5}};
  for (const auto& r : ratios) {
    ExpectModesAgree("mul div " + std::to_string(r[0]) + "/" + std::to_string(r[1]),
                     [r](Scene& s) { return mrMulDiv(s.hb.get(), r[0], r[1]); });
  }
}

}  // namespace
