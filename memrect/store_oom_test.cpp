// The image store when memory runs out: creation, copies, overlays and
// redimensioning fail with the memory kind and leave nothing behind.
#include <vector>

#include "memrect/memrect.h"
#include "tools/oom_check.h"

namespace {

TEST(StoreOutOfMemory, CreateCopyOverlayRedimension) {
  const int32_t src = mrCreate(8, 300, 200);
  ASSERT_GT(src, 0);
  mrPutPixel(src, 7, 9, 42);
  int32_t made = -1;
  auto freeMade = [&] { mrFree(made); };

  fault::EveryFailureOf("mrCreate", [&] { return (made = mrCreate(24, 1000, 10)) > 0; }, freeMade);
  fault::EveryFailureOf("mrCopyAs", [&] { return (made = mrCopyAs(src)) > 0; }, [&] {
    EXPECT_EQ(mrGetPixel(made, 7, 9), 42);
    mrFree(made);
  });
  fault::EveryFailureOf("mrCreateOverlay",
                        [&] { return (made = mrCreateOverlay(src, 1, 2, 30, 40)) > 0; }, freeMade);
  // Many handles: the table grows by a chunk.
  std::vector<int32_t> many;
  many.reserve(400);  // the test's own list must not take the failing allocation
  fault::EveryFailureOf(
      "growing table",
      [&] {
        for (int i = 0; i < 400; ++i) {
          const int32_t h = mrCreate(1, 3, 3);
          if (h < 0) {
            for (int32_t m : many) mrFree(m);
            many.clear();
            return false;
          }
          many.push_back(h);
        }
        return true;
      },
      [&] {
        for (int32_t m : many) mrFree(m);
        many.clear();
      });
  // A failed redimension keeps the rectangle as it was.
  fault::EveryFailureOf(
      "mrRedimension",
      [&] {
        if (mrRedimension(src, 16, 500, 300) < 0) {
          int32_t w = 0, h = 0;
          EXPECT_EQ(mrGetRectInfo(src, &w, &h), 8);
          EXPECT_EQ(w, 300);
          EXPECT_EQ(mrGetPixel(src, 7, 9), 42);
          return false;
        }
        return true;
      },
      [&] {
        mrRedimension(src, 8, 300, 200);
        mrPutPixel(src, 7, 9, 42);
      });
  mrFree(src);
}

}  // namespace
