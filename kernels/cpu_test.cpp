#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "generic/clock.h"
#include "kernels/kernel_mode.h"
#include "kernels/kernel_path.h"
#include "kernels/kernels.h"

namespace {

TEST(KernelMode, RequestsAndEffectiveMode) {
  // The internal path, as the mode integer it must agree with.
  const auto path = [] {
    return vantor::CurrentKernelPath() == vantor::KernelPath::kVector ? 3 : 2;
  };
  const int32_t saved = mrUseIntelIPlib(0);
  const int32_t vec = tmHasVectorKernels() ? 3 : 2;
  EXPECT_EQ(tmKernelMode(), vec);  // automatic
  EXPECT_EQ(path(), vec);
  EXPECT_EQ(mrUseIntelIPlib(1), 0);
  EXPECT_EQ(tmKernelMode(), 2);    // 1 selects the scalar kernels
  EXPECT_EQ(path(), 2);
  EXPECT_EQ(mrUseIntelIPlib(7), 2);
  EXPECT_EQ(tmKernelMode(), 2);    // 7 changes nothing
  EXPECT_EQ(mrUseIntelIPlib(-1), 2);
  EXPECT_EQ(mrUseIntelIPlib(3), 2);
  // 3 is taken only when the processor has vector kernels.
  EXPECT_EQ(tmKernelMode(), vec == 3 ? 3 : 2);
  EXPECT_EQ(path(), vec == 3 ? 3 : 2);
  EXPECT_EQ(mrUseIntelIPlib(2), vec == 3 ? 3 : 2);
  EXPECT_EQ(mrUseIntelIPlib(0), 2);
  EXPECT_EQ(tmKernelMode(), vec);
  mrUseIntelIPlib(saved);
}

#if defined(__x86_64__) || defined(__i386__)
TEST(Cpu, IdentificationOnX86) {
  uint32_t w[4] = {1, 2, 3, 4};
  EXPECT_EQ(CPUIDinfo(4, w), -1);
  EXPECT_EQ(CPUIDinfo(-1, w), -1);
  EXPECT_EQ(w[0], 1u);
  EXPECT_EQ(w[3], 4u);
  const int32_t highest = CPUIDinfo(0, w);
  ASSERT_GT(highest, 0);
  EXPECT_EQ(static_cast<uint32_t>(highest), w[0]);
  // The vendor text reads from words 1 to 3 (EBX, EDX, ECX), 12 letters.
  char vendor[13] = {};
  std::memcpy(vendor, &w[1], 12);
  for (int i = 0; i < 12; ++i) EXPECT_GE(vendor[i], 32) << vendor;
  const int32_t sig = CPUIDinfo(1, w);
  EXPECT_EQ(static_cast<uint32_t>(sig), w[0]);
  // Every x86-64 processor has MMX: bit 23 of leaf 1's EDX, bit 0 of CPU_MMX.
  EXPECT_EQ((w[2] >> 23) & 1, 1u);
  const int32_t cls = CPU_MMX();
  EXPECT_EQ(cls & 1, 1);
  const uint32_t family = (w[0] >> 8) & 15, model = (w[0] >> 4) & 15;
  const int32_t want = family == 15 ? 0x80 : (model == 7 ? 0x70 : (highest + 4) * 16);
  EXPECT_EQ(cls & ~1, want);
  EXPECT_EQ(tmHasVectorKernels(), 1);
}
#endif

TEST(Cpu, CounterClock) {
  uint64_t a = 0, b = 0;
  const double da = tmTimeStamp(&a);
  const double db = tmTimeStamp(&b);
  EXPECT_GE(b, a);
  EXPECT_EQ(da, static_cast<double>(a));
  EXPECT_LE(da, db);
  EXPECT_GT(tmTimeStamp(nullptr), 0.0);

  const long double m0 = GetTimeMsec();
  const double rate = GetClockSpeed();
  const long double m1 = GetTimeMsec();
  ASSERT_GT(rate, 0.0);
  EXPECT_GE(m1 - m0, 499.0L);  // the first call measures for half a second
  EXPECT_EQ(GetClockSpeed(), rate);  // then keeps the figure

  const double t0 = tmGetTimeMsec();
  const long double g0 = GetTimeMsec();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double t1 = tmGetTimeMsec();
  const long double g1 = GetTimeMsec();
  const double want = static_cast<double>(g1 - g0);
  EXPECT_NEAR(t1 - t0, want, want * 0.05);
}

}  // namespace
