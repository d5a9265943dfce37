#include "memrect/recon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "memrect/test_rects.h"

namespace vantor::test {
namespace {

using Grid = std::vector<std::vector<int>>;

Grid Read(int32_t h) {
  int32_t w = 0, ht = 0;
  mrGetRectInfo(h, &w, &ht);
  Grid g(ht, std::vector<int>(w));
  for (int32_t y = 0; y < ht; ++y)
    for (int32_t x = 0; x < w; ++x) g[y][x] = mrGetPixel(h, x, y);
  return g;
}

RectOwner Make(int32_t depth, const Grid& g) {
  RectOwner r(mrCreate(depth, static_cast<int32_t>(g[0].size()), static_cast<int32_t>(g.size())));
  for (size_t y = 0; y < g.size(); ++y)
    for (size_t x = 0; x < g[0].size(); ++x)
      mrPutPixel(r.get(), static_cast<int32_t>(x), static_cast<int32_t>(y), g[y][x]);
  return r;
}

// Reference results: a flood fill, and the plain iteration of
// marker = min(mask, 3 x 3 maximum of marker) until it stops changing.
Grid FloodFill(const Grid& mask, const Grid& marker) {
  const int h = static_cast<int>(mask.size()), w = static_cast<int>(mask[0].size());
  Grid out(h, std::vector<int>(w, 0));
  std::deque<std::pair<int, int>> todo;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (mask[y][x] && marker[y][x]) out[y][x] = 1, todo.push_back({x, y});
  while (!todo.empty()) {
    auto [x, y] = todo.front();
    todo.pop_front();
    for (auto [nx, ny] : {std::pair{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}}) {
      if (nx < 0 || ny < 0 || nx >= w || ny >= h || !mask[ny][nx] || out[ny][nx]) continue;
      out[ny][nx] = 1;
      todo.push_back({nx, ny});
    }
  }
  return out;
}

Grid DilationFixedPoint(const Grid& mask, Grid m) {
  const int h = static_cast<int>(mask.size()), w = static_cast<int>(mask[0].size());
  for (bool changed = true; changed;) {
    changed = false;
    Grid next = m;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        int v = 0;
        for (int j = std::max(0, y - 1); j <= std::min(h - 1, y + 1); ++j)
          for (int i = std::max(0, x - 1); i <= std::min(w - 1, x + 1); ++i) v = std::max(v, m[j][i]);
        next[y][x] = std::min(mask[y][x], v);
        changed |= next[y][x] != m[y][x];
      }
    m = next;
  }
  return m;
}

Grid Random(std::mt19937& rng, int w, int h, int range, int percent) {
  Grid g(h, std::vector<int>(w));
  for (auto& row : g)
    for (auto& v : row) v = static_cast<int>(rng() % 100) < percent ? static_cast<int>(rng() % range) : 0;
  return g;
}

// A 1-bit rectangle over caller memory whose padding bits and bytes past each
// row are set, so any read of them as pixels or any write to them shows.
struct PaddedMask {
  int32_t w, h, pitch;
  std::vector<uint8_t> px;
  RectOwner r;
  PaddedMask(const Grid& g)
      : w(static_cast<int32_t>(g[0].size())), h(static_cast<int32_t>(g.size())),
        pitch((w + 7) / 8 + 2), px(static_cast<size_t>(pitch) * h, 0xFF) {
    r.reset(mrMakeExtern(px.data(), 1, w, h, pitch));
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) mrPutPixel(r.get(), x, y, g[y][x]);
  }
  bool PaddingIntact() const {
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* row = px.data() + static_cast<size_t>(y) * pitch;
      if (w % 8 != 0 && (row[w / 8] | ((1u << (w % 8)) - 1u)) != 0xFF) return false;
      for (int32_t i = (w + 7) / 8; i < pitch; ++i)
        if (row[i] != 0xFF) return false;
    }
    return true;
  }
};

TEST(Reconstruct, BinaryMatchesFloodFill) {
  std::mt19937 rng(3);
  for (int32_t mode : {2, 3}) {
    KernelModeScope scope(mode);
    for (int w : {1, 5, 31, 32, 33, 64, 65, 100})
      for (int h : {1, 2, 7, 40})
        for (int density : {45, 60, 80}) {
          const Grid mask = Random(rng, w, h, 2, density * 2), marker = Random(rng, w, h, 2, 6);
          PaddedMask m(mask), k(marker);
          const Grid want = FloodFill(mask, marker);
          int ones = 0;
          for (auto& row : want) ones += static_cast<int>(std::count(row.begin(), row.end(), 1));
          ASSERT_EQ(mrReconstruct(m.r.get(), k.r.get()), ones) << w << "x" << h;
          ASSERT_EQ(Read(k.r.get()), want) << w << "x" << h << " density " << density;
          ASSERT_TRUE(k.PaddingIntact()) << w << "x" << h;
          ASSERT_TRUE(m.PaddingIntact());
        }
  }
}

TEST(Reconstruct, BinaryBlobs) {
  // Two blobs; a seed in the first, and one outside the mask.
  Grid mask(6, std::vector<int>(10, 0)), marker = mask;
  for (int y = 1; y < 4; ++y)
    for (int x = 1; x < 4; ++x) mask[y][x] = mask[y][x + 5] = 1;
  marker[2][2] = 1;
  marker[5][0] = 1;
  RectOwner m = Make(1, mask), k = Make(1, marker);
  EXPECT_EQ(mrReconstruct(m.get(), k.get()), 9);
  EXPECT_EQ(Read(k.get()), FloodFill(mask, marker));
  EXPECT_EQ(mrGetPixel(k.get(), 0, 5), 0);
  EXPECT_EQ(mrGetPixel(k.get(), 7, 2), 0);

  // Blobs touching only at a corner stay apart.
  Grid corner(6, std::vector<int>(6, 0)), seed = corner;
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) corner[y][x] = corner[y + 3][x + 3] = 1;
  seed[0][0] = 1;
  RectOwner cm = Make(1, corner), ck = Make(1, seed);
  EXPECT_EQ(mrReconstruct(cm.get(), ck.get()), 9);
  EXPECT_EQ(mrGetPixel(ck.get(), 3, 3), 0);
}

TEST(Reconstruct, GreyMatchesFixedPoint) {
  std::mt19937 rng(5);
  for (int w : {1, 2, 7, 33})
    for (int h : {1, 2, 9, 30})
      for (int above : {0, 1}) {
        const Grid mask = Random(rng, w, h, 256, 85);
        Grid marker = Random(rng, w, h, 256, 5);
        // Markers nowhere above the mask, and markers partly above it.
        if (!above)
          for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) marker[y][x] = std::min(marker[y][x], mask[y][x]);
        RectOwner m = Make(8, mask), k = Make(8, marker);
        EXPECT_GE(mrReconstruct(m.get(), k.get()), 3);
        ASSERT_EQ(Read(k.get()), DilationFixedPoint(mask, marker)) << w << "x" << h;
      }
}

// A one-pixel-wide path that runs up, down and up again through columns 0, 2,
// 4 and 6 (joined alternately at the top and at the bottom), seeded at its
// lower end: the growth must turn round several times, crossing rows that
// changed nothing in the passes before.
TEST(Reconstruct, GreyFollowsAWindingPath) {
  const int w = 7, h = 12;
  Grid mask(h, std::vector<int>(w, 0)), marker = mask;
  // Values fall along the path, so the whole path takes its mask values.
  for (int x = 0; x < w; x += 2)
    for (int y = 0; y < h; ++y) mask[y][x] = 250 - 10 * x;
  mask[0][1] = 240;
  mask[h - 1][3] = 220;
  mask[0][5] = 200;
  marker[h - 1][0] = 250;
  RectOwner m = Make(8, mask), k = Make(8, marker);
  EXPECT_GT(mrReconstruct(m.get(), k.get()), 5);
  EXPECT_EQ(Read(k.get()), mask);
}

TEST(Reconstruct, GreyPlateauPitAndFixedResults) {
  Grid mask(9, std::vector<int>(9, 200)), marker(9, std::vector<int>(9, 0));
  for (int y = 3; y < 6; ++y)
    for (int x = 3; x < 6; ++x) mask[y][x] = 50;
  marker[4][0] = 200;
  RectOwner m = Make(8, mask), k = Make(8, marker);
  EXPECT_GE(mrReconstruct(m.get(), k.get()), 3);
  EXPECT_EQ(Read(k.get()), mask);

  // Marker equal to the mask: two passes, nothing changes.
  RectOwner same = Make(8, mask);
  EXPECT_EQ(mrReconstruct(m.get(), same.get()), 3);
  EXPECT_EQ(mrReconstruct(m.get(), m.get()), 3);
  EXPECT_EQ(Read(m.get()), mask);
  // An empty marker stays empty; one covering the mask becomes the mask.
  RectOwner empty(mrCreate(8, 9, 9)), full = Make(8, Grid(9, std::vector<int>(9, 255)));
  mrReconstruct(m.get(), empty.get());
  EXPECT_EQ(Read(empty.get()), Grid(9, std::vector<int>(9, 0)));
  mrReconstruct(m.get(), full.get());
  EXPECT_EQ(Read(full.get()), mask);
}

TEST(Reconstruct, OverlappingWindowsAndRefusals) {
  // Mask and marker as overlapping windows of one image.
  std::mt19937 rng(9);
  const Grid all = Random(rng, 20, 12, 256, 70);
  RectOwner parent = Make(8, all);
  RectOwner mask(mrCreateOverlay(parent.get(), 0, 0, 16, 10));
  RectOwner marker(mrCreateOverlay(parent.get(), 2, 1, 16, 10));
  const Grid want = DilationFixedPoint(Read(mask.get()), Read(marker.get()));
  EXPECT_GE(mrReconstruct(mask.get(), marker.get()), 3);
  EXPECT_EQ(Read(marker.get()), want);

  RectOwner m1(mrCreate(1, 8, 8)), m8(mrCreate(8, 8, 8)), m8b(mrCreate(8, 8, 7));
  RectOwner g16(mrCreate(16, 8, 8)), g16b(mrCreate(16, 8, 8));
  mrPutPixel(m8.get(), 1, 1, 7);
  EXPECT_EQ(mrReconstruct(m1.get(), m8.get()), -1);
  EXPECT_EQ(mrReconstruct(m8b.get(), m8.get()), -1);
  EXPECT_EQ(mrReconstruct(g16.get(), g16b.get()), -1);
  EXPECT_EQ(mrReconstruct(99999, m8.get()), -1);
  EXPECT_EQ(mrGetPixel(m8.get(), 1, 1), 7);
}

}  // namespace
}  // namespace vantor::test
