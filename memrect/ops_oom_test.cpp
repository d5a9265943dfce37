// The operations on images and buffers when memory runs out: every scratch
// shortage fails with the memory kind, leaves no rectangle behind and, where
// the operation promises it, leaves its destination as it was.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "generic/simplex.h"
#include "generic/sort.h"
#include "memrect/convert.h"
#include "memrect/memrect.h"
#include "memrect/neifun.h"
#include "memrect/pixelwise.h"
#include "memrect/recon.h"
#include "memrect/statistics.h"
#include "memrect/subsample.h"
#include "memrect/test_rects.h"
#include "tools/oom_check.h"

namespace {

using vantor::RectOwner;
using vantor::test::Pixels;

constexpr int32_t kW = 64, kH = 48;

// A kW x kH rectangle of the depth with a pattern in every channel.
RectOwner Patterned(int32_t depth, int32_t seed) {
  RectOwner r(mrCreate(depth, kW, kH));
  if (depth == 64) {  // doubles from integers
    mrConvert(Patterned(32, seed).get(), r.get(), 0);
    return r;
  }
  for (int32_t y = 0; y < kH; ++y) {
    for (int32_t x = 0; x < kW; ++x) {
      const int32_t v = (x * 7 + y * 13 + seed) % 251;
      mrPutPixel(r.get(), x, y, depth == 1 ? (v > 120) : depth == 24 ? v * 0x10305 : v * 37);
    }
  }
  return r;
}

TEST(OpsOutOfMemory, ConvertPixelwiseThresholdStatistics) {
  // Pairs with and without a scratch plane; a refused one leaves dst alone.
  const int32_t pairs[][2] = {{8, 16}, {16, 8}, {24, 8},  {24, 16},
                              {32, 24}, {32, 1}, {64, 8}, {8, 64}};
  for (const auto& p : pairs) {
    RectOwner src = Patterned(p[0], 3), dst = Patterned(p[1], 5);
    const bool readable = p[1] != 64;  // pixels read back as integers
    const std::vector<int32_t> before = readable ? Pixels(dst.get()) : std::vector<int32_t>{};
    fault::EveryFailureOf(
        "mrConvert " + std::to_string(p[0]) + "->" + std::to_string(p[1]),
        [&] {
          if (mrConvert(src.get(), dst.get(), 0) >= 0) return true;
          if (readable) {
            EXPECT_EQ(Pixels(dst.get()), before);
          }
          return false;
        },
        [&] { mrMove(Patterned(p[1], 5).get(), dst.get()); });
  }

  RectOwner a = Patterned(8, 1), b = Patterned(8, 2), mask = Patterned(1, 4);
  RectOwner colour = Patterned(24, 6), wide = Patterned(16, 7);
  fault::EveryFailureOf("mrPixelwise", [&] { return mrPixelwise(a.get(), "+S", b.get()) >= 0; });
  fault::EveryFailureOf("mrPixelwiseMask",
                        [&] { return mrPixelwiseMask(a.get(), "MAX", b.get(), mask.get()) >= 0; });
  fault::EveryFailureOf("mrConstPixelNotMask",
                        [&] { return mrConstPixelNotMask(9, "-S", b.get(), mask.get()) >= 0; });
  for (int32_t source : {a.get(), colour.get(), wide.get()}) {
    fault::EveryFailureOf("mrThreshold",
                          [&] { return mrThreshold(source, mask.get(), ">", 100) >= 0; });
  }

  for (int32_t h : {a.get(), colour.get(), wide.get()}) {
    std::vector<int32_t> hist(256, -7);
    fault::EveryFailureOf("mrHistogram", [&] {
      if (mrHistogram(h, hist.data()) >= 0) return true;
      EXPECT_EQ(hist, std::vector<int32_t>(256, -7)) << "histogram written before the failure";
      return false;
    });
    int32_t record[16] = {};
    fault::EveryFailureOf("mrMinMaxSumInfo", [&] { return mrMinMaxSumInfo(h, record) >= 0.0; });
  }
}

TEST(OpsOutOfMemory, SubsampleNeighbourhoodReconstruct) {
  for (int32_t depth : {8, 16, 24, 32}) {
    RectOwner src = Patterned(depth, 2), given(mrCreate(depth, 20, 10));
    int32_t made = 0;
    fault::EveryFailureOf(
        "mrBlockSubsampling " + std::to_string(depth),
        [&] { return (made = mrBlockSubsampling(src.get(), 0, 3, 4, "MEAN")) > 0; },
        [&] { mrFree(made); });
    const std::vector<int32_t> blank = Pixels(given.get());
    fault::EveryFailureOf(
        "mrBlockSubsampling into an output",
        [&] {
          if (mrBlockSubsampling(src.get(), given.get(), 2, 2, "MEAN") == given.get()) return true;
          EXPECT_EQ(Pixels(given.get()), blank) << "output written before the failure";
          return false;
        },
        [&] { mrMove(RectOwner(mrCreate(depth, 20, 10)).get(), given.get()); });
  }
  RectOwner small(mrCreate(1, 23, 17)), big = Patterned(1, 9);
  fault::EveryFailureOf("mrZoomMask", [&] { return mrZoomMask(big.get(), small.get()) >= 0; });

  for (int32_t mode : {2, 3}) {
    vantor::test::KernelModeScope scope(mode);
    for (int32_t depth : {1, 8, 24}) {
      RectOwner image = Patterned(depth, 11);
      for (const char* keyword : {"DILATE8", "Open84", "ERODE4", "MEDIAN"}) {
        const std::vector<int32_t> before = Pixels(image.get());
        fault::EveryFailureOf(
            std::string("mrNeiFun ") + keyword + " depth " + std::to_string(depth),
            [&] {
              if (mrNeiFun(image.get(), keyword, 3) == 0) return true;
              // Colour images are filtered in planes taken first.
              if (depth == 24) {
                EXPECT_EQ(Pixels(image.get()), before);
              }
              return false;
            },
            [&] { mrMove(Patterned(depth, 11).get(), image.get()); });
      }
    }
  }

  for (int32_t depth : {1, 8}) {
    RectOwner mask = Patterned(depth, 1), marker(mrCreate(depth, kW, kH));
    // The marker as an overlay of the mask's own rows: the mask is copied first.
    RectOwner overlay(mrCreateOverlay(mask.get(), 8, 0, kW - 8, kH));
    RectOwner part(mrCreateOverlay(mask.get(), 0, 0, kW - 8, kH));
    fault::EveryFailureOf("mrReconstruct", [&] {
      mrPutPixel(marker.get(), 5, 5, 200);
      return mrReconstruct(mask.get(), marker.get()) >= 0;
    });
    fault::EveryFailureOf("mrReconstruct overlapping",
                          [&] { return mrReconstruct(overlay.get(), part.get()) >= 0; });
  }
}

TEST(OpsOutOfMemory, PictureListsSortSimplex) {
  RectOwner member = Patterned(8, 3);
  int32_t list = 0;
  // 70 copies: the list grows past its first 64 entries.
  fault::EveryFailureOf(
      "mrPicList Push",
      [&] {
        list = mrPicList(0, "Create", reinterpret_cast<intptr_t>("pics"));
        if (list < 0) return false;
        const int32_t sub = mrPicList(list, "SubList", 0);
        for (int i = 0; i < 70 && sub > 0; ++i) {
          if (mrPicList(i % 2 ? sub : list, "Push", member.get()) < 0) {
            EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_MEMORY) << mrLastError();
            mrFree(list);  // the kind of the push stays the record's
            return false;
          }
        }
        if (sub < 0) mrFree(list);
        return sub > 0;
      },
      [&] {
        EXPECT_EQ(mrPicList(list, "Count", 0), 36);
        mrFree(list);
      });
  // Cleaning a full list: a shortage leaves every member in place.
  list = mrPicList(0, "Create", reinterpret_cast<intptr_t>("kept"));
  auto fill = [&] {
    const int32_t sub = mrPicList(list, "SubList", 0);
    for (int i = 0; i < 20; ++i) mrPicList(i % 3 ? list : sub, "Push", member.get());
  };
  fill();
  const int32_t active = mrNumberOfActive(nullptr, nullptr);
  fault::EveryFailureOf(
      "mrPicList Clean",
      [&] {
        if (mrPicList(list, "Clean", 0) == list) return true;
        EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), active);
        EXPECT_EQ(mrPicList(list, "Count", 0), 14);
        return false;
      },
      [&] {
        EXPECT_EQ(mrNumberOfActive(nullptr, nullptr), active - 21);
        EXPECT_EQ(mrPicList(list, "Count", 0), 0);
        fill();  // as many rectangles as before
      });
  mrFree(list);

  std::vector<int32_t> values(300);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int32_t>((i * 7919) % 301);
  std::vector<int32_t> v(values.size());  // the test's own memory is had first
  fault::EveryFailureOf("SortInPlace", [&] {
    std::copy(values.begin(), values.end(), v.begin());
    if (SortInPlace(v.data(), 4, 300, VANTOR_SORT_INT32) < 0) {
      EXPECT_EQ(v, values);
      return false;
    }
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
    return true;
  });
  std::vector<int32_t> index(300, -1);
  fault::EveryFailureOf("IndexSort", [&] {
    return IndexSort(
               index.data(), 300,
               [](int32_t x, int32_t y, void* c) {
                 const auto* v = static_cast<const int32_t*>(c);
                 return v[x] - v[y];
               },
               values.data()) == 0;
  });
  fault::EveryFailureOf("SimplexMinimum", [&] {
    double point[3] = {1, 2, 3};
    const double steps[3] = {1, 1, 1};
    const double best = SimplexMinimum(
        3, point, steps, 1e-3, 0, 0,
        [](const double* p, void*) { return (p[0] - 4) * (p[0] - 4) + p[1] * p[1] + p[2] * p[2]; },
        nullptr);
    if (mrLastErrorKind() == VANTOR_ERROR_NONE) return best < 1e-3;
    EXPECT_EQ(point[0], 1.0);
    return false;
  });
}

}  // namespace
