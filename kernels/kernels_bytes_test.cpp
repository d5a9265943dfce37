#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "kernels/kernels.h"
#include "kernels/kernels_scalar.h"
#include "kernels/kernels_test_util.h"

namespace vantor::test {
namespace {

// Every code of the two-image kernel, on every layout, with the result in a
// third image and in place over either operand; narrow random values make
// equal bytes common so the comparison codes meet their tie.
TEST(ByteKernels, TwoImageOperationsMatchScalar) {
  std::mt19937 rng(1);
  ForEachTarget([&] {
    for (int32_t w : AwkwardWidths())
      for (int32_t h : {1, 3})
        for (int32_t pitch : Pitches(w))
          for (int32_t code = -1; code <= 31; ++code) {
            const int spread = code % 2 ? 4 : 256;
            Image a = RandomImage(rng, w, h, pitch, spread), b = RandomImage(rng, w, h, pitch + 1, spread);
            Image c = RandomImage(rng, w, h, pitch + 2);
            Image c2 = c;
            const int32_t want = scalar::tmMMM(a.data(), b.data(), c.data(), w, h, a.pitch, b.pitch,
                                               c.pitch, code);
            ASSERT_EQ(tmMMM(a.data(), b.data(), c2.data(), w, h, a.pitch, b.pitch, c2.pitch, code), want);
            ASSERT_EQ(c.bytes, c2.bytes) << Where(w, h, pitch) << " code " << code;
            // In place: c = a and c = b.
            Image a2 = a, b2 = b;
            scalar::tmMMM(a.data(), b.data(), a.data(), w, h, a.pitch, b.pitch, a.pitch, code);
            tmMMM(a2.data(), b2.data(), a2.data(), w, h, a2.pitch, b2.pitch, a2.pitch, code);
            ASSERT_EQ(a.bytes, a2.bytes) << Where(w, h, pitch) << " code " << code;
            scalar::tmMMM(a.data(), b.data(), b.data(), w, h, a.pitch, b.pitch, b.pitch, code);
            tmMMM(a2.data(), b2.data(), b2.data(), w, h, a2.pitch, b2.pitch, b2.pitch, code);
            ASSERT_EQ(b.bytes, b2.bytes) << Where(w, h, pitch) << " code " << code;
          }
  });
}

TEST(ByteKernels, TwoImageResultsAndRefusals) {
  ForEachTarget([&] {
    auto one = [](uint8_t a, uint8_t b, int32_t code) {
      uint8_t c = 77;
      EXPECT_EQ(tmMMM(&a, &b, &c, 1, 1, 1, 1, 1, code), 0);
      return static_cast<int>(c);
    };
    EXPECT_EQ(one(200, 100, 19), 255);
    EXPECT_EQ(one(200, 100, 18), 44);
    EXPECT_EQ(one(100, 200, 22), 0);
    EXPECT_EQ(one(10, 250, 29), 16);
    EXPECT_EQ(one(250, 10, 29), 16);
    // The logical codes are truth tables: 10 complements b, 12 complements a.
    EXPECT_EQ(one(0xF0, 0xCC, 10), 0x33);
    EXPECT_EQ(one(0xF0, 0xCC, 12), 0x0F);
    EXPECT_EQ(one(0xF0, 0xCC, 11), 0xF3);
    EXPECT_EQ(one(0xF0, 0xCC, 13), 0xCF);
    // Equal bytes: operand 1 for 24 and 25, 255 for 26, whatever the processor.
    EXPECT_EQ(one(90, 90, 24), 90);
    EXPECT_EQ(one(90, 90, 25), 90);
    EXPECT_EQ(one(90, 90, 26), 255);
    EXPECT_EQ(one(91, 90, 24), 91);
    EXPECT_EQ(one(89, 90, 24), 0);
    EXPECT_EQ(one(91, 90, 25), 255);
    EXPECT_EQ(one(89, 90, 26), 0);

    // Width 13 over pitch 16: bytes 13 to 15 of every row keep their values.
    std::vector<uint8_t> a(16 * 4, 9), b(16 * 4, 5), c(16 * 4, 0xAB);
    ASSERT_EQ(tmMMM(a.data(), b.data(), c.data(), 13, 4, 16, 16, 16, 18), 0);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 16; ++x) EXPECT_EQ(c[y * 16 + x], x < 13 ? 14 : 0xAB) << x << "," << y;

    std::vector<uint8_t> keep = c;
    for (int32_t code : {27, 30, -1, 1000}) {
      EXPECT_EQ(tmMMM(a.data(), b.data(), c.data(), 13, 4, 16, 16, 16, code), -1);
      EXPECT_EQ(tmMCMb(a.data(), 3, c.data(), 13, 4, 16, 16, code), -1);
      EXPECT_EQ(c, keep);
    }
  });
}

TEST(ByteKernels, ConstantOperationsMatchScalar) {
  std::mt19937 rng(2);
  ForEachTarget([&] {
    for (int32_t w : AwkwardWidths())
      for (int32_t pitch : Pitches(w))
        for (int32_t code = -1; code <= 30; ++code) {
          const int32_t h = 2;
          const int32_t k = static_cast<int32_t>(rng());
          Image s = RandomImage(rng, w, h, pitch, code % 2 ? 256 : 8);
          Image d = RandomImage(rng, w, h, pitch + 5), d2 = d;
          const int32_t want = scalar::tmMCMb(s.data(), k % 8, d.data(), w, h, s.pitch, d.pitch, code);
          ASSERT_EQ(tmMCMb(s.data(), k % 8, d2.data(), w, h, s.pitch, d2.pitch, code), want);
          ASSERT_EQ(d.bytes, d2.bytes) << Where(w, h, pitch) << " code " << code;
          if (code > 16) continue;
          // 16- and 32-bit pixels: width in pixels.
          Image s16 = RandomImage(rng, 2 * w, h, 2 * pitch), e = RandomImage(rng, 2 * w, h, 2 * pitch + 2);
          Image e2 = e;
          ASSERT_EQ(tmMCMw(s16.data(), k, e2.data(), w, h, s16.pitch, e.pitch, code),
                    scalar::tmMCMw(s16.data(), k, e.data(), w, h, s16.pitch, e.pitch, code));
          ASSERT_EQ(e.bytes, e2.bytes) << Where(w, h, pitch) << " code " << code;
          Image s32 = RandomImage(rng, 4 * w, h, 4 * pitch), f = RandomImage(rng, 4 * w, h, 4 * pitch);
          Image f2 = f;
          ASSERT_EQ(tmMCMd(s32.data(), k, f2.data(), w, h, s32.pitch, f.pitch, code),
                    scalar::tmMCMd(s32.data(), k, f.data(), w, h, s32.pitch, f.pitch, code));
          ASSERT_EQ(f.bytes, f2.bytes) << Where(w, h, pitch) << " code " << code;
        }
  });
}

TEST(ByteKernels, ConstantOperationsReadConstantAsOperandOne) {
  ForEachTarget([&] {
    const uint8_t p[4] = {0, 5, 10, 200};
    auto run = [&](int32_t k, int32_t code) {
      std::vector<uint8_t> d(4);
      EXPECT_EQ(tmMCMb(p, k, d.data(), 4, 1, 4, 4, code), 0);
      return d;
    };
    EXPECT_EQ(run(10, 23), (std::vector<uint8_t>{10, 5, 0, 0}));     // max(k - p, 0)
    EXPECT_EQ(run(10, 22), (std::vector<uint8_t>{0, 0, 0, 190}));    // max(p - k, 0)
    EXPECT_EQ(run(10, 21), (std::vector<uint8_t>{10, 5, 0, 66}));    // k - p
    EXPECT_EQ(run(10, 24), (std::vector<uint8_t>{0, 0, 10, 200}));   // p if p >= k
    EXPECT_EQ(run(10, 25), (std::vector<uint8_t>{0, 5, 10, 255}));   // p if p <= k
    EXPECT_EQ(run(10, 26), (std::vector<uint8_t>{0, 0, 255, 255}));  // 255 if p >= k
    EXPECT_EQ(run(0xF0, 2), (std::vector<uint8_t>{0, 5, 10, 8}));     // NOT k AND p ("LESS")
    EXPECT_EQ(run(0x0F, 4), (std::vector<uint8_t>{15, 10, 5, 7}));    // k AND NOT p ("MORE")
    // The 16-bit constant repeats per pixel: low byte first.
    const uint8_t z[6] = {};
    uint8_t o[6];
    ASSERT_EQ(tmMCMw(z, 0x1234, o, 3, 1, 6, 6, 7), 0);
    EXPECT_EQ(o[0], 0x34);
    EXPECT_EQ(o[1], 0x12);
    EXPECT_EQ(o[4], 0x34);
    EXPECT_EQ(tmMCMw(z, 1, o, 3, 1, 6, 6, 16), -1);
    EXPECT_EQ(tmMCMd(z, 1, o, 1, 1, 4, 4, 16), -1);
  });
}

TEST(ByteKernels, MovesAndFills) {
  std::mt19937 rng(3);
  ForEachTarget([&] {
    for (int32_t w : AwkwardWidths())
      for (int32_t pitch : Pitches(w))
        for (int32_t flags : {0, 1}) {
          Image s = RandomImage(rng, w, 3, pitch), d = RandomImage(rng, w, 3, pitch + 7), d2 = d;
          scalar::tmMoveByteRect(s.data(), d.data(), w, 3, s.pitch, d.pitch, flags);
          ASSERT_EQ(tmMoveByteRect(s.data(), d2.data(), w, 3, s.pitch, d2.pitch, flags), 0);
          ASSERT_EQ(d.bytes, d2.bytes) << Where(w, 3, pitch);
          // Overlapping move inside one image: shifted one row down and 2 right.
          if (w > 2) {
            Image o = RandomImage(rng, w, 4, pitch), o2 = o;
            scalar::tmMoveByteRect(o.data(), o.data() + pitch + 2, w - 2, 3, pitch, pitch, flags);
            tmMoveByteRect(o2.data(), o2.data() + pitch + 2, w - 2, 3, pitch, pitch, flags);
            ASSERT_EQ(o.bytes, o2.bytes) << Where(w, 3, pitch);
          }
          Image f = RandomImage(rng, w, 3, pitch), f2 = f;
          scalar::tmMoveConst(0x1A5, f.data(), w, 3, pitch);
          tmMoveConst(0x1A5, f2.data(), w, 3, pitch);
          ASSERT_EQ(f.bytes, f2.bytes);
        }
  });
}

TEST(ByteKernels, MaskedOperationsMatchScalar) {
  std::mt19937 rng(4);
  ForEachTarget([&] {
    for (int32_t w : AwkwardWidths())
      for (int32_t pitch : Pitches(w))
        for (int32_t flags : {0, TM_MASK_INVERT, TM_MASK_NONE})
          for (int32_t code : {1, 5, 12, 17, 19, 23, 24, 26, 27, 29}) {
            const int32_t h = 3, mb = (w + 7) / 8;
            Image s = RandomImage(rng, w, h, pitch, 4), d = RandomImage(rng, w, h, pitch + 1, 4);
            Image m = RandomImage(rng, mb, h, mb + 2);
            Image d2 = d;
            ASSERT_EQ(tmMCmaskMb(s.data(), d2.data(), m.data(), w, h, s.pitch, d.pitch, m.pitch, 2,
                                 flags | code),
                      scalar::tmMCmaskMb(s.data(), d.data(), m.data(), w, h, s.pitch, d.pitch,
                                         m.pitch, 2, flags | code));
            ASSERT_EQ(d.bytes, d2.bytes) << Where(w, h, pitch) << " code " << code;
            ASSERT_EQ(tmMMmaskMb(s.data(), d2.data(), m.data(), w, h, s.pitch, d.pitch, m.pitch,
                                 flags | code),
                      scalar::tmMMmaskMb(s.data(), d.data(), m.data(), w, h, s.pitch, d.pitch,
                                         m.pitch, flags | code));
            ASSERT_EQ(d.bytes, d2.bytes) << Where(w, h, pitch) << " code " << code;
            scalar::tmCmaskMoveB(s.data(), d.data(), m.data(), w, h, s.pitch, d.pitch, m.pitch,
                                 flags == TM_MASK_INVERT);
            tmCmaskMoveB(s.data(), d2.data(), m.data(), w, h, s.pitch, d.pitch, m.pitch,
                         flags == TM_MASK_INVERT);
            ASSERT_EQ(d.bytes, d2.bytes) << Where(w, h, pitch);
          }
  });
}

TEST(ByteKernels, MaskedSummaries) {
  ForEachTarget([&] {
    std::vector<uint8_t> img(40, 7), clear(5, 0), set(5, 0xFF);
    // Maximum with 0 under an all-clear mask, either way round: nothing changes.
    EXPECT_EQ(tmMCmaskMb(img.data(), img.data(), clear.data(), 40, 1, 40, 40, 5, 0, 17), 0);
    EXPECT_EQ(tmMCmaskMb(img.data(), img.data(), clear.data(), 40, 1, 40, 40, 5, 0,
                         17 | TM_MASK_INVERT),
              2);
    EXPECT_EQ(img, std::vector<uint8_t>(40, 7));
    EXPECT_EQ(tmMCmaskMb(img.data(), img.data(), set.data(), 40, 1, 40, 40, 5, 0, 0), 0);
    EXPECT_EQ(tmMCmaskMb(img.data(), img.data(), set.data(), 40, 1, 40, 40, 5, 0, 15), 1);
    EXPECT_EQ(tmMCmaskMb(img.data(), img.data(), set.data(), 40, 1, 40, 40, 5, 0, 27), -1);
    EXPECT_EQ(img, std::vector<uint8_t>(40, 255));
  });
}

TEST(ByteKernels, ThresholdsMatchScalar) {
  std::mt19937 rng(5);
  ForEachTarget([&] {
    for (int32_t w : AwkwardWidths())
      for (int32_t h : {1, 3})
        for (int32_t pitch : Pitches(w))
          for (int32_t rel = 0; rel <= 16; ++rel)
            for (int32_t t : {0, 1, 128, 254, 255, 0x1280}) {
              const int32_t mb = (w + 7) / 8;
              Image s = RandomImage(rng, w, h, pitch, rel % 3 ? 256 : 3);
              // Tight mask rows when the source is tight: the contiguous case.
              Image m = RandomImage(rng, mb, h, pitch == w ? mb : mb + 1), m2 = m;
              const int32_t want =
                  scalar::tmThreshMaskB(s.data(), t, m.data(), w, h, s.pitch, m.pitch, rel);
              ASSERT_EQ(tmThreshMaskB(s.data(), t, m2.data(), w, h, s.pitch, m2.pitch, rel), want);
              ASSERT_EQ(m.bytes, m2.bytes) << Where(w, h, pitch) << " rel " << rel << " t " << t;
            }
  });
}

TEST(ByteKernels, MaskOnesMatchesScalar) {
  std::mt19937 rng(6);
  ForEachTarget([&] {
    for (int32_t w : AwkwardWidths())
      for (int32_t pitchExtra : {0, 1, 9}) {
        const int32_t mb = (w + 7) / 8, h = 4;
        Image m = RandomImage(rng, mb, h, mb + pitchExtra);
        for (int trial = 0; trial < 20; ++trial) {
          const int32_t x0 = static_cast<int32_t>(rng() % w), y0 = static_cast<int32_t>(rng() % h);
          const int32_t ww = 1 + static_cast<int32_t>(rng() % (w - x0));
          const int32_t hh = 1 + static_cast<int32_t>(rng() % (h - y0));
          ASSERT_EQ(tmMaskOnes(m.data(), x0, y0, ww, hh, m.pitch),
                    scalar::tmMaskOnes(m.data(), x0, y0, ww, hh, m.pitch))
              << Where(ww, hh, m.pitch) << " at " << x0 << "," << y0;
        }
        // The whole mask (the one-run case when the rows are tight).
        if (w % 8 == 0) {
          ASSERT_EQ(tmMaskOnes(m.data(), 0, 0, w, h, m.pitch),
                    scalar::tmMaskOnes(m.data(), 0, 0, w, h, m.pitch));
        }
      }
    const uint8_t all[3] = {0xFF, 0xFF, 0xFF};
    EXPECT_EQ(tmMaskOnes(all, 3, 0, 13, 1, 3), 13);
    EXPECT_EQ(tmMaskOnes(all, -1, 0, 3, 1, 3), -1);
    EXPECT_EQ(tmMaskOnes(all, 0, 0, 0, 1, 3), 0);
  });
}

TEST(ByteKernels, TablesAndComparisonsMatchScalar) {
  std::mt19937 rng(7);
  std::vector<uint8_t> table(256);
  for (auto& t : table) t = static_cast<uint8_t>(rng());
  ForEachTarget([&] {
    for (int32_t w : AwkwardWidths())
      for (int32_t pitch : Pitches(w)) {
        Image s = RandomImage(rng, w, 3, pitch), d = RandomImage(rng, w, 3, pitch + 2), d2 = d;
        scalar::tmSubstByteRect(s.data(), d.data(), w, 3, s.pitch, d.pitch, table.data());
        tmSubstByteRect(s.data(), d2.data(), w, 3, s.pitch, d.pitch, table.data());
        ASSERT_EQ(d.bytes, d2.bytes) << Where(w, 3, pitch);
        scalar::tmReverseBits(s.data(), d.data(), w, 3, s.pitch, d.pitch);
        tmReverseBits(s.data(), d2.data(), w, 3, s.pitch, d.pitch);
        ASSERT_EQ(d.bytes, d2.bytes) << Where(w, 3, pitch);
        // Masks that differ in one pixel inside the width, or only outside it.
        const int32_t mb = (w + 7) / 8;
        Image a = RandomImage(rng, mb, 3, mb + 1), b = a;
        EXPECT_EQ(tmDiffer(a.data(), b.data(), w, 3, a.pitch, b.pitch), 0);
        if (w % 8) {
          b.bytes[2 * b.pitch + mb - 1] ^= static_cast<uint8_t>(0x80);
          EXPECT_EQ(tmDiffer(a.data(), b.data(), w, 3, a.pitch, b.pitch), 0);
        }
        const int32_t x = static_cast<int32_t>(rng() % w);
        b.bytes[2 * b.pitch + x / 8] ^= static_cast<uint8_t>(1 << (x % 8));
        EXPECT_EQ(tmDiffer(a.data(), b.data(), w, 3, a.pitch, b.pitch), 1) << w << " " << x;
        EXPECT_EQ(scalar::tmDiffer(a.data(), b.data(), w, 3, a.pitch, b.pitch), 1);
      }
    const uint8_t v[3] = {0x01, 0xF0, 0x53};
    uint8_t r[3];
    tmReverseBits(v, r, 3, 1, 3, 3);
    EXPECT_EQ(r[0], 0x80);
    EXPECT_EQ(r[1], 0x0F);
    EXPECT_EQ(r[2], 0xCA);
  });
}

// The histogram adds to the counts (clears them first when asked), bytes
// past the rows and rows walked upwards included.
TEST(ByteKernels, HistogramCountsEveryByteOfTheRows) {
  std::mt19937 rng(8);
  for (int32_t w : AwkwardWidths())
    for (int32_t pitch : Pitches(w)) {
      Image s = RandomImage(rng, w, 3, pitch, w % 2 ? 256 : 3);
      std::vector<uint32_t> want(256, 5), got(256, 5), up(256, 0);
      for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < w; ++x) ++want[s.bytes[static_cast<size_t>(y) * pitch + x]];
      tmHist8(s.data(), w, 3, pitch, got.data(), 0);
      ASSERT_EQ(got, want) << Where(w, 3, pitch);
      for (auto& c : want) c -= 5;
      tmHist8(s.data(), w, 3, pitch, got.data(), 1);
      ASSERT_EQ(got, want) << Where(w, 3, pitch);
      tmHist8(s.data() + 2 * pitch, w, 3, -pitch, up.data(), 0);
      ASSERT_EQ(up, want) << Where(w, 3, -pitch);
    }
}

}  // namespace
}  // namespace vantor::test
