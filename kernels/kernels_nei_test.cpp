#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "kernels/kernels.h"
#include "kernels/kernels_scalar.h"
#include "kernels/kernels_test_util.h"

namespace vantor::test {
namespace {

int Bit(const Image& m, int64_t x, int64_t y) {
  return (m.bytes[y * m.pitch + x / 8] >> (x % 8)) & 1;
}
void SetBit(Image& m, int64_t x, int64_t y) {
  m.bytes[y * m.pitch + x / 8] |= static_cast<uint8_t>(1 << (x % 8));
}
int32_t MaskBytes(int32_t w) { return (w + 7) / 8; }

TEST(MaskUtilities, FindBitMatchesScalar) {
  std::mt19937 rng(14);
  ForEachTarget([&] {
    for (int32_t w : AwkwardWidths())
      for (int32_t pitch : Pitches(MaskBytes(w)))
        for (int spread : {2, 256}) {
          const int32_t h = 4;
          Image m = RandomImage(rng, MaskBytes(w), h, pitch, spread);
          for (int trial = 0; trial < 30; ++trial) {
            const int32_t clear = trial % 2;
            int32_t x = static_cast<int32_t>(rng() % (w + 3)) - 1, y = static_cast<int32_t>(rng() % (h + 1)) - 1;
            int32_t x2 = x, y2 = y;
            const int32_t want = scalar::tmFindBit(m.data(), w, h, pitch, &x, &y, clear);
            ASSERT_EQ(tmFindBit(m.data(), w, h, pitch, &x2, &y2, clear), want);
            ASSERT_EQ(x, x2);
            ASSERT_EQ(y, y2);
          }
        }
    // Padding bits are never found.
    const uint8_t row[2] = {0x00, 0xF0};  // width 12: bits 12 to 15 are padding
    int32_t x = 0, y = 0;
    EXPECT_EQ(tmFindBit(row, 12, 1, 2, &x, &y, 0), 0);
    EXPECT_EQ(x, 0);
    const uint8_t full[2] = {0xFF, 0x0F};
    EXPECT_EQ(tmFindBit(full, 12, 1, 2, &x, &y, 1), 0);
    EXPECT_EQ(tmFindBit(full, 13, 1, 2, &x, &y, 1), 1);
    EXPECT_EQ(x, 12);
  });
}

TEST(MaskUtilities, BitMovesMatchScalar) {
  std::mt19937 rng(15);
  ForEachTarget([&] {
    for (int trial = 0; trial < 400; ++trial) {
      std::vector<uint8_t> a(90), b(90);
      for (auto& v : a) v = static_cast<uint8_t>(rng());
      for (auto& v : b) v = static_cast<uint8_t>(rng());
      const int64_t count = 1 + rng() % 300;
      const int64_t sb = rng() % (720 - count), db = rng() % (720 - count);
      std::vector<uint8_t> a2 = a, b2 = b;
      scalar::tmMoveBitRow(a.data(), sb, b.data(), db, count);
      ASSERT_EQ(tmMoveBitRow(a2.data(), sb, b2.data(), db, count), 0);
      ASSERT_EQ(b, b2) << sb << " " << db << " " << count;
      // Overlapping, within one row.
      scalar::tmMoveBitRow(a.data(), sb, a.data(), db, count);
      tmMoveBitRow(a2.data(), sb, a2.data(), db, count);
      ASSERT_EQ(a, a2) << sb << " " << db << " " << count;
    }
    for (int32_t w : AwkwardWidths()) {
      const int32_t pitch = MaskBytes(w) + 9, h = 5;
      Image s = RandomImage(rng, pitch, h, pitch), s2 = s;
      Image d = RandomImage(rng, pitch, h, pitch), d2 = d;
      const int32_t sx = static_cast<int32_t>(rng() % 64), dx = static_cast<int32_t>(rng() % 64);
      scalar::tmMoveBitRect(s.data(), sx, pitch, d.data(), dx, pitch, w, h);
      tmMoveBitRect(s2.data(), sx, pitch, d2.data(), dx, pitch, w, h);
      ASSERT_EQ(d.bytes, d2.bytes) << w;
      // Within one mask, one row down.
      scalar::tmMoveBitRect(s.data(), sx, pitch, s.data() + pitch, dx, pitch, w, h - 1);
      tmMoveBitRect(s2.data(), sx, pitch, s2.data() + pitch, dx, pitch, w, h - 1);
      ASSERT_EQ(s.bytes, s2.bytes) << w;
    }
    uint8_t z[2] = {};
    EXPECT_EQ(tmMoveBitRect(z, -1, 2, z, 0, 2, 3, 1), -1);
  });
}

TEST(StructuringElements, MatchScalar) {
  std::mt19937 rng(16);
  ForEachTarget([&] {
    for (int32_t w : {1, 7, 9, 33, 64, 65, 130})
      for (int32_t h : {1, 4, 9}) {
        const int32_t pitch = MaskBytes(w) + 2;
        Image s = RandomImage(rng, MaskBytes(w), h, pitch, (w + h) % 2 ? 256 : 2);
        for (int32_t flags = 0; flags < 4; ++flags) {
          Image d = RandomImage(rng, MaskBytes(w), h, pitch + 3), d2 = d;
          ASSERT_EQ(tmMask3bord(s.data(), d2.data(), w, h, s.pitch, d.pitch, flags),
                    scalar::tmMask3bord(s.data(), d.data(), w, h, s.pitch, d.pitch, flags));
          ASSERT_EQ(d.bytes, d2.bytes) << Where(w, h, pitch) << " flags " << flags;
        }
        for (int trial = 0; trial < 6; ++trial) {
          const int32_t sw = 1 + static_cast<int32_t>(rng() % 7), sh = 1 + static_cast<int32_t>(rng() % 5);
          Image se = RandomImage(rng, MaskBytes(sw), sh, MaskBytes(sw));
          const int32_t cx = static_cast<int32_t>(rng() % (sw + 2)) - 1;
          const int32_t cy = static_cast<int32_t>(rng() % (sh + 2)) - 1;
          Image d = RandomImage(rng, MaskBytes(w), h, pitch), d2 = d;
          ASSERT_EQ(tmMask2StEl(s.data(), d2.data(), w, h, s.pitch, d.pitch, se.data(), sw, sh,
                                se.pitch, cx, cy),
                    scalar::tmMask2StEl(s.data(), d.data(), w, h, s.pitch, d.pitch, se.data(), sw,
                                        sh, se.pitch, cx, cy));
          ASSERT_EQ(d.bytes, d2.bytes) << Where(w, h, pitch) << " se " << sw << "x" << sh;
          for (int32_t zeros : {0, 1}) {
            ASSERT_EQ(tmMStElM1sOr0s(s.data(), d2.data(), w, h, s.pitch, d.pitch, se.data(), sw,
                                     sh, se.pitch, cx, cy, zeros),
                      scalar::tmMStElM1sOr0s(s.data(), d.data(), w, h, s.pitch, d.pitch,
                                             se.data(), sw, sh, se.pitch, cx, cy, zeros));
            ASSERT_EQ(d.bytes, d2.bytes) << Where(w, h, pitch) << " zeros " << zeros;
          }
        }
      }
    uint8_t m[4] = {};
    EXPECT_EQ(tmMask2StEl(m, m, 8, 4, 1, 1, m, 0, 1, 1, 0, 0), -1);
  });
}

TEST(StructuringElements, BorderOfASquare) {
  ForEachTarget([&] {
    // A 5 x 5 block of ones in a 9 x 9 mask: its border is the ring of 16.
    Image m;
    m.rowBytes = 2;
    m.height = 9;
    m.pitch = 2;
    m.bytes.assign(18, 0);
    for (int y = 2; y <= 6; ++y)
      for (int x = 2; x <= 6; ++x) SetBit(m, x, y);
    Image b = m;
    EXPECT_EQ(tmMask3bord(m.data(), b.data(), 9, 9, 2, 2, 0), 16);
    for (int y = 0; y < 9; ++y)
      for (int x = 0; x < 9; ++x)
        EXPECT_EQ(Bit(b, x, y), Bit(m, x, y) && (x == 2 || x == 6 || y == 2 || y == 6));
    // The whole mask set: no border unless the outside counts as clear.
    for (auto& v : m.bytes) v = 0xFF;
    EXPECT_EQ(tmMask3bord(m.data(), b.data(), 9, 9, 2, 2, 0), 0);
    EXPECT_EQ(tmMask3bord(m.data(), b.data(), 9, 9, 2, 2, 2), 32);
    EXPECT_EQ(tmMask3bord(m.data(), m.data(), 9, 9, 2, 2, 3), 32);
  });
}

}  // namespace
}  // namespace vantor::test

namespace vantor::test {
namespace {

// Rows walked upwards (negative pitch), as for pictures stored bottom row
// first, and several images filtered at once from different threads.
TEST(KernelLayouts, NegativePitchesAndThreads) {
  std::mt19937 rng(17);
  const int32_t w = 37, h = 6, pitch = 40;
  Image a = RandomImage(rng, w, h, pitch), b = RandomImage(rng, w, h, pitch);
  Image c = RandomImage(rng, w, h, pitch), c2 = c;
  const ptrdiff_t last = static_cast<ptrdiff_t>(h - 1) * pitch;
  for (int32_t code : {17, 20, 28}) {
    scalar::tmMMM(a.data() + last, b.data() + last, c.data() + last, w, h, -pitch, -pitch, -pitch, code);
    tmMMM(a.data() + last, b.data() + last, c2.data() + last, w, h, -pitch, -pitch, -pitch, code);
    ASSERT_EQ(c.bytes, c2.bytes) << code;
  }
  // A column run is the same read from either end: walked upwards, it gives
  // the rows of the downward walk.
  tmByteNeiV2(a.data(), c.data(), w, h, pitch, pitch, 1, 2);
  tmByteNeiV2(a.data() + last, c2.data() + last, w, h, -pitch, -pitch, 1, 2);
  ASSERT_EQ(c.bytes, c2.bytes);

  // Threads at once give what each gives alone.
  std::vector<Image> masks, wants;
  for (int i = 0; i < 4; ++i) {
    masks.push_back(RandomImage(rng, 40, 300, 41, 3));
    wants.push_back(masks.back());
    tmBitNeiInPlace(wants.back().data(), 317, 300, 41, 0x80 | (i & 1), 3);
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back(
        [&masks, i] { tmBitNeiInPlace(masks[i].data(), 317, 300, 41, 0x80 | (i & 1), 3); });
  for (auto& t : threads) t.join();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(masks[i].bytes, wants[i].bytes) << i;
}

}  // namespace
}  // namespace vantor::test
