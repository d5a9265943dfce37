// The image store's hot paths: creating and freeing rectangles, and resolving
// a handle to its pixels (what every pixel operation does first). The
// "NoLock" variants run the same table work without taking the table's lock,
// so the difference is what the lock costs.
#include <benchmark/benchmark.h>

#include <mutex>
#include <shared_mutex>

#include "memrect/memrect.h"
#include "memrect/rect_store.h"

namespace {

using vantor::store::Resolved;
using vantor::store::TheTable;

void BM_CreateFree(benchmark::State& state) {
  const auto side = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    const int32_t h = mrCreate(8, side, side);
    benchmark::DoNotOptimize(h);
    mrFree(h);
  }
}
BENCHMARK(BM_CreateFree)->Arg(16)->Arg(256);
BENCHMARK(BM_CreateFree)->Arg(16)->Threads(2)->UseRealTime();

// The table part of creation (slot in, slot out) with no lock and no block.
void BM_TakeReleaseSlotNoLock(benchmark::State& state) {
  auto& t = TheTable();
  for (auto _ : state) {
    const int32_t h = t.TakeSlot();
    benchmark::DoNotOptimize(h);
    t.ReleaseSlot(h);
  }
}
BENCHMARK(BM_TakeReleaseSlotNoLock);

void BM_TakeReleaseSlotLocked(benchmark::State& state) {
  auto& t = TheTable();
  for (auto _ : state) {
    std::unique_lock lock(t.mutex);
    const int32_t h = t.TakeSlot();
    benchmark::DoNotOptimize(h);
    t.ReleaseSlot(h);
  }
}
BENCHMARK(BM_TakeReleaseSlotLocked);

// A root rectangle and an overlay two levels deep, made once per run.
struct Rects {
  int32_t root, overlay;
  Rects() {
    root = mrCreate(8, 640, 480);
    const int32_t o1 = mrCreateOverlay(root, 10, 10, 600, 400);
    overlay = mrCreateOverlay(o1, 5, 5, 100, 100);
  }
};
const Rects& TheRects() {
  static const Rects rects;
  return rects;
}

void BM_GetExtendedInfo(benchmark::State& state) {
  const int32_t h = state.range(0) == 0 ? TheRects().root : TheRects().overlay;
  int32_t w, ht, pitch;
  void* p;
  for (auto _ : state) {
    benchmark::DoNotOptimize(mrGetExtendedInfo(h, &w, &ht, &pitch, &p));
    benchmark::DoNotOptimize(p);
  }
  state.SetLabel(state.range(0) == 0 ? "owned" : "overlay in overlay");
}
BENCHMARK(BM_GetExtendedInfo)->Arg(0)->Arg(1);
BENCHMARK(BM_GetExtendedInfo)->Arg(0)->Threads(2)->UseRealTime();

void BM_ResolveNoLock(benchmark::State& state) {
  const int32_t h = state.range(0) == 0 ? TheRects().root : TheRects().overlay;
  const auto& t = TheTable();
  Resolved r;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vantor::store::ResolveLocked(t, h, &r));
    benchmark::DoNotOptimize(r.pixels);
  }
  state.SetLabel(state.range(0) == 0 ? "owned" : "overlay in overlay");
}
BENCHMARK(BM_ResolveNoLock)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
