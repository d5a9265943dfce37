#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "memrect/memrect.h"

namespace {

// Several threads create, describe, fill and free rectangles at once while the
// table grows. Each rectangle is stamped with its creator's id in its tag and
// its pixels: a handle handed out twice, a record read while it moved or a
// block freed under a reader would break a stamp (or trip the sanitizers).
TEST(MemRectThreads, CreateAndFreeFromSeveralThreads) {
  mrFreeAllHandles();
  constexpr int kThreads = 4;
  constexpr int kRounds = 1500;
  std::atomic<int> failures{0};
  auto work = [&](int id) {
    std::vector<int32_t> mine;
    for (int round = 0; round < kRounds; ++round) {
      const int32_t width = 1 + (round * 7 + id) % 40;
      const int32_t h = mrCreate(8, width, 3);
      if (h <= 0 || mrSetTag(h, id) != 96) {
        ++failures;
        continue;
      }
      void* p = nullptr;
      int32_t pitch = 0;
      if (mrGetExtendedInfo(h, nullptr, nullptr, &pitch, &p) != 8) ++failures;
      std::memset(p, id + 1, static_cast<size_t>(pitch) * 3);
      const int32_t o = mrCreateOverlay(h, 0, 1, width, 2);
      if (o <= 0 || mrGetPixel(o, width - 1, 1) != id + 1) ++failures;
      const int32_t copy = mrCopyAs(o);
      if (copy <= 0 || mrGetPixel(copy, 0, 0) != id + 1) ++failures;
      mrFree(copy);
      mine.push_back(h);
      // Free about half as we go, in an order of our own, keeping the rest
      // alive so that the table has to grow.
      if (round % 2 == 1) {
        const int32_t victim = mine[mine.size() / 2];
        mine.erase(mine.begin() + static_cast<std::ptrdiff_t>(mine.size() / 2));
        if (mrGetTag(victim) != id || mrGetPixel(victim, 0, 2) != id + 1) ++failures;
        if (mrFree(victim) != victim) ++failures;
      }
      char text[128];
      mrHandleInfo(h, text, sizeof text);
    }
    for (int32_t h : mine) {
      if (mrGetTag(h) != id || mrGetPixel(h, 0, 0) != id + 1) ++failures;
      if (mrFree(h) != h) ++failures;
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(work, i);
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  int32_t capacity = 0;
  EXPECT_EQ(mrNumberOfActive(nullptr, &capacity), 0);
  EXPECT_GE(capacity, 320);  // the table grew while threads were reading it
  mrFreeAllHandles();
}

}  // namespace
