// The handle table and the operations on memory rectangles.
#include "memrect/memrect.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

#include "generic/keywords.h"
#include "generic/last_error.h"
#include "memrect/rect_store.h"

namespace vantor::store {

namespace err = vantor::err;

namespace {

Table g_table;

// Row bytes of a rectangle whose rows the pixel operations touch.
int64_t RowBytes(int32_t depth, int32_t width) {
  return (static_cast<int64_t>(depth) * width + 7) / 8;
}

void ReleaseBlock(Record& r) {
  if (IsOwned(r)) std::free(r.allocation);
  r.allocation = nullptr;
}

// Unlinks overlay o from its parent's chain.
void UnlinkOverlay(Table& t, int32_t o) {
  Record* r = t.Find(o);
  Record* parent = t.Find(ParentOf(*r));
  if (parent == nullptr) return;
  if (parent->firstOverlay == o) {
    parent->firstOverlay = r->nextOverlay;
    return;
  }
  for (int32_t cur = parent->firstOverlay; cur != 0;) {
    Record* c = t.Find(cur);
    if (c == nullptr) return;
    if (c->nextOverlay == o) {
      c->nextOverlay = r->nextOverlay;
      return;
    }
    cur = c->nextOverlay;
  }
}

// Frees every overlay on h, depth first, without recursion and without
// allocating (chains of overlays on overlays may be arbitrarily deep, and a
// free must work when memory has run out): the way back up is each
// overlay's parent handle.
void FreeOverlaysLocked(Table& t, int32_t h) {
  int32_t top = h;
  for (;;) {
    Record* r = t.Find(top);
    if (r != nullptr && r->firstOverlay != 0) {
      const int32_t o = r->firstOverlay;
      Record* ro = t.Find(o);
      if (ro == nullptr || !IsOverlay(*ro)) {  // a broken link: drop it rather than follow it
        r->firstOverlay = 0;
        continue;
      }
      r->firstOverlay = ro->nextOverlay;
      ro->nextOverlay = 0;
      ro->address = static_cast<uintptr_t>(top);
      top = o;
      continue;
    }
    if (top == h || r == nullptr) return;
    const int32_t up = ParentOf(*r);
    t.ReleaseSlot(top);
    top = up;
  }
}

struct MovePlan {
  Resolved src{}, dst{};
  int64_t rows = 0;     // row-by-row copy: number of rows
  int64_t rowBytes = 0;  // and bytes per row; rows == 0 for a block copy
  int64_t total = 0;    // bytes copied, or -1
};

MovePlan PlanMoveLocked(const Table& t, int32_t src, int32_t dst) {
  MovePlan p;
  p.total = -1;
  if (!ResolveLocked(t, src, &p.src)) return err::FailHandle(src), p;
  if (!ResolveLocked(t, dst, &p.dst)) return err::FailHandle(dst), p;
  int64_t sRow = RowBytes(p.src.depth, p.src.width);
  int64_t dRow = RowBytes(p.dst.depth, p.dst.width);
  if (p.src.height == p.dst.height && sRow == dRow) {
    p.rows = p.src.height;
    p.rowBytes = sRow;
    p.total = p.rows * p.rowBytes;
    return p;
  }
  int64_t sTotal = static_cast<int64_t>(p.src.pitch) * p.src.height;
  int64_t dTotal = static_cast<int64_t>(p.dst.pitch) * p.dst.height;
  if (sTotal == dTotal && IsOwned(*t.Find(src)) && IsOwned(*t.Find(dst))) {
    p.rows = 0;
    p.total = sTotal;
    return p;
  }
  err::FailSizes(src, dst);
  return p;
}

void DoMove(const MovePlan& p) {
  if (p.total <= 0) return;
  if (p.rows == 0) {
    if (p.src.pixels != p.dst.pixels) std::memmove(p.dst.pixels, p.src.pixels, p.total);
    return;
  }
  if (p.src.pixels == p.dst.pixels && p.src.pitch == p.dst.pitch) return;
  // Two windows of one root may overlap: copy bottom rows first when the
  // destination lies after the source.
  const bool backwards = p.dst.pixels > p.src.pixels;
  for (int64_t i = 0; i < p.rows; ++i) {
    int64_t y = backwards ? p.rows - 1 - i : i;
    std::memmove(p.dst.pixels + y * p.dst.pitch, p.src.pixels + y * p.src.pitch, p.rowBytes);
  }
}

// Validation and allocation of an owned rectangle, done before the lock is
// taken so that big allocations do not hold up other threads.
struct PreparedOwned {
  int32_t depth = 0, width = 0, height = 0, pitch = 0;
  uint32_t bytes = 0;
  Block block;
};

bool PrepareOwned(int32_t depth, int32_t width, int32_t height, int32_t rounding,
                  PreparedOwned* p) {
  if (!ValidDepth(depth))
    return err::Fail(err::kParameter, "%d is not a pixel depth of the store", static_cast<int>(depth));
  if (width < 0 || height < 0)
    return err::Fail(err::kParameter, "size %d x %d is negative", static_cast<int>(width),
                     static_cast<int>(height));
  int64_t pitch = PitchFor(depth, width, rounding);
  if (pitch < 0 || !BlockFits(pitch, height))
    return err::Fail(err::kParameter, "%d x %d pixels of depth %d do not fit the store",
                     static_cast<int>(width), static_cast<int>(height), static_cast<int>(depth));
  uint64_t bytes = static_cast<uint64_t>(pitch) * static_cast<uint64_t>(height);
  if (!AllocateBlock(bytes, &p->block)) return err::FailMemory();
  p->depth = depth;
  p->width = width;
  p->height = height;
  p->pitch = static_cast<int32_t>(pitch);
  p->bytes = static_cast<uint32_t>(bytes);
  return true;
}

int32_t InstallOwnedLocked(Table& t, PreparedOwned& p) {
  int32_t h = t.TakeSlot();
  if (h == 0) {
    std::free(p.block.allocation);
    err::FailMemory();
    return -1;
  }
  Record* r = t.Slot(h);
  r->depth = p.depth;
  r->width = p.width;
  r->height = p.height;
  r->pitch = p.pitch;
  r->storage = p.bytes;
  r->allocation = p.block.allocation;
  r->address = reinterpret_cast<uintptr_t>(p.block.pixels);
  return h;
}

int32_t CreateOwned(int32_t depth, int32_t width, int32_t height, int32_t rounding) {
  PreparedOwned p;
  if (!PrepareOwned(depth, width, height, rounding, &p)) return -1;
  Table& t = TheTable();
  std::unique_lock lock(t.mutex);
  return InstallOwnedLocked(t, p);
}

int32_t ResizeOverlayLocked(Table& t, int32_t h, int32_t x, int32_t y, int32_t width,
                            int32_t height) {
  Record* r = t.Find(h);
  if (r == nullptr) return err::FailHandle(h), -1;
  if (!IsOverlay(*r)) return err::Fail(err::kParameter, "handle %d is not an overlay", h), -1;
  Record* parent = t.Find(ParentOf(*r));
  if (parent == nullptr)
    return err::Fail(err::kParameter, "the parent of overlay %d is gone", h), -1;
  // Negative positions would address memory before the parent's window.
  if (x < 0 || y < 0 || width < 0 || height < 0 ||
      static_cast<int64_t>(x) + width > parent->width ||
      static_cast<int64_t>(y) + height > parent->height)
    return err::Fail(err::kParameter, "%d x %d at (%d, %d) leaves the parent's %d x %d", width,
                     height, x, y, parent->width, parent->height),
           -1;
  r->overlayX = x;
  r->overlayY = y;
  r->width = width;
  r->height = height;
  return 0;
}

bool InsideResolved(const Resolved& r, int32_t x, int32_t y) {
  return x >= 0 && y >= 0 && x < r.width && y < r.height;
}

// Resolves h and checks (x, y); the byte of the pixel goes to *at.
bool PixelAt(const char* op, int32_t h, int32_t x, int32_t y, Resolved* res, uint8_t** at) {
  Table& t = TheTable();
  {
    std::shared_lock lock(t.mutex);
    if (!ResolveLocked(t, h, res))
      return err::Report(op, err::kParameter, "handle %d is not a valid image", h);
  }
  if (!InsideResolved(*res, x, y))
    return err::Report(op, err::kParameter, "(%d, %d) lies outside the %d x %d image", x, y,
                       res->width, res->height);
  *at = res->pixels + static_cast<int64_t>(y) * res->pitch +
        static_cast<int64_t>(x) * res->depth / 8;
  return true;
}

inline unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

}  // namespace

// ---- Table ----

Table::~Table() {
  // Owned blocks still alive at process end are released with the table.
  for (int32_t h = 1; h <= capacity_; ++h) ReleaseBlock(*Slot(h));
}

int32_t Table::TakeSlot() {
  if (firstFree_ == 0) {
    if (capacity_ > std::numeric_limits<int32_t>::max() - kSlotsPerChunk) return 0;
    std::unique_ptr<Record[]> chunk(new (std::nothrow) Record[kSlotsPerChunk]());
    if (!chunk) return 0;
    try {
      chunks_.push_back(std::move(chunk));
    } catch (const std::bad_alloc&) {
      return 0;
    }
    // Chain the new slots so that the lowest new handle is handed out first.
    const int32_t base = capacity_;
    for (int32_t i = 1; i <= kSlotsPerChunk; ++i)
      Slot(base + i)->tag = i < kSlotsPerChunk ? base + i + 1 : 0;
    capacity_ = base + kSlotsPerChunk;
    firstFree_ = base + 1;
  }
  const int32_t h = firstFree_;
  Record* r = Slot(h);
  firstFree_ = r->tag;
  *r = Record{};
  return h;
}

void Table::ReleaseSlot(int32_t h) {
  Record* r = Slot(h);
  *r = Record{};
  r->tag = firstFree_;
  firstFree_ = h;
}

void Table::Reset() {
  chunks_.clear();
  chunks_.shrink_to_fit();
  capacity_ = 0;
  firstFree_ = 0;
}

Table& TheTable() { return g_table; }

// ---- Helpers ----

bool ValidDepth(int32_t depth) {
  switch (depth) {
    case 1: case 4: case 8: case 16: case 24: case 32: case 48: case 64:
      return true;
    default:
      return false;
  }
}

int64_t PitchFor(int32_t depth, int64_t width, int32_t rounding) {
  const int64_t bits = static_cast<int64_t>(depth) * width;
  int64_t pitch;
  switch (rounding) {
    case 1: pitch = (bits + 7) / 8; break;
    case 2: pitch = ((bits + 15) / 16) * 2; break;
    case 8: pitch = ((bits + 63) / 64) * 8; break;
    default: pitch = ((bits + 31) / 32) * 4; break;
  }
  return pitch >= kExternMark ? -1 : pitch;
}

bool BlockFits(int64_t pitch, int64_t height) {
  // Both are below 2^31 here, so the product cannot overflow 64 bits.
  if (pitch < 0 || height < 0 || pitch >= kExternMark || height >= kExternMark) return false;
  return pitch * height < static_cast<int64_t>(kExternMark);
}

bool AllocateBlock(uint64_t bytes, Block* block) {
  // calloc hands big blocks out as fresh zero pages, so zeroing costs nothing
  // until the pixels are touched.
  void* a = std::calloc(bytes + kBlockAlign - 1 + kBlockSlack, 1);
  if (a == nullptr) return false;
  uintptr_t p = (reinterpret_cast<uintptr_t>(a) + kBlockAlign - 1) & ~(uintptr_t{kBlockAlign} - 1);
  block->allocation = a;
  block->pixels = reinterpret_cast<uint8_t*>(p);
  return true;
}

bool ResolveLocked(const Table& t, int32_t h, Resolved* out) {
  const Record* r = t.Find(h);
  if (r == nullptr) return false;
  const Record* root = r;
  int64_t dx = 0, dy = 0;
  for (int32_t steps = 0; IsOverlay(*root); ++steps) {
    if (steps >= t.capacity()) return false;  // a cycle cannot be a chain
    dx += root->overlayX;
    dy += root->overlayY;
    root = t.Find(ParentOf(*root));
    if (root == nullptr) return false;
  }
  if (root != r) {
    // Overlays take their parent's depth and pitch; a root redimensioned since
    // would give addresses outside its block.
    if (root->depth != r->depth || root->pitch != r->pitch) return false;
    if (dx + r->width > root->width || dy + r->height > root->height) return false;
    if (r->depth < 8 && (r->depth * dx + 7) / 8 + RowBytes(r->depth, r->width) >
                            RowBytes(root->depth, root->width))
      return false;
  }
  out->depth = r->depth;
  out->width = r->width;
  out->height = r->height;
  out->pitch = r->pitch;
  out->pixels = reinterpret_cast<uint8_t*>(root->address) + dy * r->pitch + (r->depth * dx + 7) / 8;
  return true;
}

int32_t CreateOwnedLocked(Table& t, int32_t depth, int32_t width, int32_t height,
                          int32_t rounding) {
  PreparedOwned p;
  if (!PrepareOwned(depth, width, height, rounding, &p)) return -1;
  return InstallOwnedLocked(t, p);
}

int32_t CopyAsLocked(Table& t, int32_t h) {
  const Record* r = t.Find(h);
  if (r == nullptr) return err::FailHandle(h), -1;
  int32_t copy = CreateOwnedLocked(t, r->depth, r->width, r->height, 4);
  if (copy < 0) return -1;
  MovePlan plan = PlanMoveLocked(t, h, copy);
  if (plan.total <= 0) {
    FreePlainLocked(t, copy);
    return -1;
  }
  DoMove(plan);
  return copy;
}

int32_t RedimensionLocked(Table& t, int32_t h, int32_t depth, int32_t width, int32_t height) {
  Record* r = t.Find(h);
  if (r == nullptr) return err::FailHandle(h), -1;
  if (depth == 0) depth = r->depth;
  if (width == 0) width = r->width;
  if (height == 0) height = r->height;
  if (!ValidDepth(depth) || width < 0 || height < 0)
    return err::Fail(err::kParameter, "depth %d with %d x %d pixels is not a rectangle", depth,
                     width, height),
           -1;
  if (IsOverlay(*r)) {
    if (depth != r->depth)
      return err::Fail(err::kParameter, "overlay %d keeps its parent's depth", h), -1;
    return ResizeOverlayLocked(t, h, 0, 0, width, height) == 0 ? 3 : -1;
  }
  const int64_t pitch = PitchFor(depth, width, 4);
  if (pitch < 0 || !BlockFits(pitch, height))
    return err::Fail(err::kParameter, "%d x %d pixels of depth %d do not fit the store", width,
                     height, depth),
           -1;
  const int64_t bytes = pitch * height;
  // An extern made over no memory can only stay empty.
  if (IsExtern(*r) && r->address == 0 && bytes > 0)
    return err::Fail(err::kParameter, "extern %d has no memory to grow into", h), -1;
  int32_t result = 2;
  if (IsOwned(*r)) {
    result = 1;
    const bool unpadded = static_cast<int64_t>(r->pitch) * 8 ==
                          static_cast<int64_t>(r->depth) * r->width;
    if (bytes != r->storage || !unpadded) {
      Block b;
      if (!AllocateBlock(static_cast<uint64_t>(bytes), &b)) return err::FailMemory(), -1;
      const int64_t rows = std::min<int64_t>(r->height, height);
      const int64_t n = std::min<int64_t>(r->pitch, pitch);
      const uint8_t* old = reinterpret_cast<const uint8_t*>(r->address);
      for (int64_t y = 0; y < rows; ++y)
        std::memcpy(b.pixels + y * pitch, old + y * r->pitch, n);
      std::free(r->allocation);
      r->allocation = b.allocation;
      r->address = reinterpret_cast<uintptr_t>(b.pixels);
      r->storage = static_cast<uint32_t>(bytes);
    }
  }
  r->depth = depth;
  r->width = width;
  r->height = height;
  r->pitch = static_cast<int32_t>(pitch);
  return result;
}

int32_t FreePlainLocked(Table& t, int32_t h) {
  Record* r = t.Find(h);
  if (r == nullptr) return 0;
  FreeOverlaysLocked(t, h);
  if (IsOwned(*r)) ReleaseBlock(*r);
  else if (IsOverlay(*r)) UnlinkOverlay(t, h);
  t.ReleaseSlot(h);
  return h;
}

int32_t FreeLocked(Table& t, int32_t h) {
  const Record* r = t.Find(h);
  if (r != nullptr && IsPicList(*r)) return FreePicListLocked(t, h);
  return FreePlainLocked(t, h);
}

int32_t SetLabelLocked(Table& t, int32_t h, const char* text) {
  Record* r = t.Find(h);
  if (r == nullptr) return err::FailHandle(h), -1;
  int32_t n = 0;
  if (text != nullptr) {
    // Control characters and bytes of 128 and up (negative as signed bytes)
    // end the label.
    while (n < kLabelMax && static_cast<signed char>(text[n]) >= 32) {
      r->label[n] = text[n];
      ++n;
    }
  }
  r->label[n] = '\0';
  return n;
}

bool LabelEquals(const char* label, const char* text) {
  for (size_t i = 0;; ++i) {
    unsigned char a = FoldAscii(static_cast<unsigned char>(label[i]));
    unsigned char b = FoldAscii(static_cast<unsigned char>(text[i]));
    if (a != b) return false;
    if (a == 0) return true;
  }
}

}  // namespace vantor::store

using namespace vantor::store;

extern "C" {

int32_t mrCreate(int32_t depth, int32_t width, int32_t height) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    return CreateOwned(depth, width, height, 4);
  });
}

int32_t mrCreateRoundPitch(int32_t depth, int32_t width, int32_t height, int32_t rounding) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    return CreateOwned(depth, width, height, rounding);
  });
}

int32_t mrCreateAs(int32_t h) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    Table& t = TheTable();
    int32_t depth, width, height;
    {
      std::shared_lock lock(t.mutex);
      const Record* r = t.Find(h);
      if (r == nullptr) return err::FailHandle(h), -1;
      depth = r->depth;
      width = r->width;
      height = r->height;
    }
    return CreateOwned(depth, width, height, 4);
  });
}

int32_t mrCreateAsWithPix(int32_t h, int32_t depth) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    int32_t width, height;
    if (mrGetRectInfo(h, &width, &height) < 0) return -1;
    return CreateOwned(depth, width, height, 4);
  });
}

int32_t mrCopyAs(int32_t h) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    const int32_t copy = mrCreateAs(h);
    if (copy < 0) return -1;
    if (mrMove(h, copy) <= 0) {
      mrFree(copy);
      return -1;
    }
    return copy;
  });
}

int32_t mrMakeExtern(void* address, int32_t depth, int32_t width, int32_t height,
                     int32_t pitch) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (!ValidDepth(depth) || width < 0 || height < 0 || pitch < 0)
      return err::Fail(err::kParameter, "depth %d, %d x %d pixels and pitch %d are no rectangle",
                       depth, width, height, pitch),
             -1;
    const int64_t rowBytes = RowBytes(depth, width);
    int64_t p = pitch;
    if (p == 0) {
      p = PitchFor(depth, width, 4);
      if (p < 0) return err::Fail(err::kParameter, "a row of %d pixels is too long", width), -1;
    } else if (p < rowBytes) {  // rows would overlap
      return err::Fail(err::kParameter, "pitch %d is shorter than a row of %lld bytes", pitch,
                       static_cast<long long>(rowBytes)),
             -1;
    }
    if (!BlockFits(p, height))
      return err::Fail(err::kParameter, "%d rows of %lld bytes do not fit the store", height,
                       static_cast<long long>(p)),
             -1;
    if (address == nullptr && p * height > 0)
      return err::Fail(err::kParameter, "no memory address given"), -1;
    Table& t = TheTable();
    std::unique_lock lock(t.mutex);
    const int32_t h = t.TakeSlot();
    if (h == 0) return err::FailMemory(), -1;
    Record* r = t.Slot(h);
    r->depth = depth;
    r->width = width;
    r->height = height;
    r->pitch = static_cast<int32_t>(p);
    r->address = reinterpret_cast<uintptr_t>(address);
    r->storage = kExternMark;
    return h;
  });
}

int32_t mrCreateOverlay(int32_t parent, int32_t x, int32_t y, int32_t width, int32_t height) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    Table& t = TheTable();
    std::unique_lock lock(t.mutex);
    const Record* p = t.Find(parent);
    if (p == nullptr) return err::FailHandle(parent), -1;
    if (x < 0 || y < 0 || width < 0 || height < 0 ||
        static_cast<int64_t>(x) + width > p->width || static_cast<int64_t>(y) + height > p->height)
      return err::Fail(err::kParameter, "%d x %d at (%d, %d) leaves the parent's %d x %d", width,
                       height, x, y, p->width, p->height),
             -1;
    const int32_t h = t.TakeSlot();
    if (h == 0) return err::FailMemory(), -1;
    // Chunks never move, but look the parent up again for clarity.
    Record* pr = t.Find(parent);
    Record* r = t.Slot(h);
    r->depth = pr->depth;
    r->pitch = pr->pitch;
    r->width = width;
    r->height = height;
    r->address = static_cast<uintptr_t>(parent);
    r->storage = kOverlayMark;
    r->overlayX = x;
    r->overlayY = y;
    r->nextOverlay = pr->firstOverlay;
    pr->firstOverlay = h;
    return h;
  });
}

int32_t mrMoveOverlay(int32_t h, int32_t x, int32_t y) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    Table& t = TheTable();
    std::unique_lock lock(t.mutex);
    const Record* r = t.Find(h);
    if (r == nullptr) return err::FailHandle(h), -1;
    return ResizeOverlayLocked(t, h, x, y, r->width, r->height);
  });
}

int32_t mrResizeOverlay(int32_t h, int32_t x, int32_t y, int32_t width, int32_t height) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    Table& t = TheTable();
    std::unique_lock lock(t.mutex);
    return ResizeOverlayLocked(t, h, x, y, width, height);
  });
}

int32_t mrGetOverlayPos(int32_t h, int32_t* x, int32_t* y) {
  Table& t = TheTable();
  std::shared_lock lock(t.mutex);
  const Record* r = t.Find(h);
  if (r == nullptr || !IsOverlay(*r)) return 0;
  if (x != nullptr) *x = r->overlayX;
  if (y != nullptr) *y = r->overlayY;
  return ParentOf(*r);
}

int32_t mrMoveExtern(void* buffer, const char* direction, int32_t h) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (buffer == nullptr || direction == nullptr)
      return err::Fail(err::kParameter, "no buffer or no direction given"), -1;
    // The direction is its first two bytes, as in "=>rest".
    const uint32_t which = WordInText("=> <=", nullptr, 0, direction, 2);
    if (which == 0)
      return err::Fail(err::kParameter, "direction '%.8s' is neither '=>' nor '<='", direction), -1;
    Table& t = TheTable();
    uint8_t* pixels;
    int64_t bytes;
    {
      std::shared_lock lock(t.mutex);
      const Record* r = t.Find(h);
      if (r == nullptr) return err::FailHandle(h), -1;
      if (IsOverlay(*r))
        return err::Fail(err::kParameter, "handle %d is an overlay (its rows are not one block)", h),
               -1;
      pixels = reinterpret_cast<uint8_t*>(r->address);
      bytes = static_cast<int64_t>(r->pitch) * r->height;
    }
    if (bytes > 0) {
      if (which == 1) std::memmove(pixels, buffer, bytes);
      else std::memmove(buffer, pixels, bytes);
    }
    return static_cast<int32_t>(bytes);
  });
}

int32_t mrFree(int32_t h) {
  Table& t = TheTable();
  std::unique_lock lock(t.mutex);
  try {
    const int32_t freed = FreeLocked(t, h);
    if (freed == 0) err::Report(__func__, err::kParameter, "handle %d is not a handle", h);
    return freed;
  } catch (const std::bad_alloc&) {
    err::Report(__func__, err::kMemory, "out of memory");
    return -1;
  }
}

void mrFreeOverlay(int32_t h) {
  Table& t = TheTable();
  std::unique_lock lock(t.mutex);
  if (t.Find(h) == nullptr) return;
  try {
    FreeOverlaysLocked(t, h);
  } catch (const std::bad_alloc&) {
  }
}

void mrFreeAllHandles(void) {
  Table& t = TheTable();
  std::unique_lock lock(t.mutex);
  for (int32_t h = 1; h <= t.capacity(); ++h) {
    try {
      FreeLocked(t, h);
    } catch (const std::bad_alloc&) {
      FreePlainLocked(t, h);
    }
  }
  // Anything a failed step left behind still gets its block released.
  for (int32_t h = 1; h <= t.capacity(); ++h) ReleaseBlock(*t.Slot(h));
  t.Reset();
}

int32_t mrGetRectInfo(int32_t h, int32_t* width, int32_t* height) {
  Table& t = TheTable();
  std::shared_lock lock(t.mutex);
  const Record* r = t.Find(h);
  if (r == nullptr) return err::Report(__func__, err::kParameter, "handle %d is not a handle", h), -1;
  if (width != nullptr) *width = r->width;
  if (height != nullptr) *height = r->height;
  return r->depth;
}

int32_t mrGetExtendedInfo(int32_t h, int32_t* width, int32_t* height, int32_t* pitch,
                          void** pixels) {
  Resolved res;
  {
    Table& t = TheTable();
    std::shared_lock lock(t.mutex);
    if (!ResolveLocked(t, h, &res))
      return err::Report(__func__, err::kParameter, "handle %d is not a valid image", h), -1;
  }
  if (width != nullptr) *width = res.width;
  if (height != nullptr) *height = res.height;
  if (pitch != nullptr) *pitch = res.pitch;
  if (pixels != nullptr) *pixels = res.pixels;
  return res.depth;
}

int32_t mrRedimension(int32_t h, int32_t depth, int32_t width, int32_t height) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    Table& t = TheTable();
    std::unique_lock lock(t.mutex);
    return RedimensionLocked(t, h, depth, width, height);
  });
}

int32_t mrMove(int32_t src, int32_t dst) {
  return vantor::err::GuardedWhen(__func__, int32_t(-1), [](const int32_t& r) { return r<=0; }, [&]() -> int32_t {
    MovePlan plan;
    {
      Table& t = TheTable();
      std::shared_lock lock(t.mutex);
      plan = PlanMoveLocked(t, src, dst);
    }
    DoMove(plan);
    return static_cast<int32_t>(plan.total);
  });
}

int32_t mrSetTag(int32_t h, int32_t tag) {
  Table& t = TheTable();
  std::unique_lock lock(t.mutex);
  Record* r = t.Find(h);
  if (r == nullptr) return err::Report(__func__, err::kParameter, "handle %d is not a handle", h), -1;
  r->tag = tag;
  return 96;
}

int32_t mrGetTag(int32_t h) {
  Table& t = TheTable();
  std::shared_lock lock(t.mutex);
  const Record* r = t.Find(h);
  if (r == nullptr) return err::Report(__func__, err::kParameter, "handle %d is not a handle", h), -1;
  return r->tag;
}

int32_t mrSetLabel(int32_t h, const char* text) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    Table& t = TheTable();
    std::unique_lock lock(t.mutex);
    return SetLabelLocked(t, h, text);
  });
}

int32_t mrGetLabel(int32_t h, char* dest) {
  Table& t = TheTable();
  std::shared_lock lock(t.mutex);
  const Record* r = t.Find(h);
  if (r == nullptr) {
    if (dest != nullptr) dest[0] = '\0';
    return err::Report(__func__, err::kParameter, "handle %d is not a handle", h), -1;
  }
  int32_t n = 0;
  while (n < kLabelMax && static_cast<signed char>(r->label[n]) >= 32) {
    if (dest != nullptr) dest[n] = r->label[n];
    ++n;
  }
  if (dest != nullptr) dest[n] = '\0';
  return n;
}

int32_t mrLabelToHandle(const char* text) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (text == nullptr || text[0] == '\0') return err::Fail(err::kParameter, "no label given"), -1;
    Table& t = TheTable();
    std::shared_lock lock(t.mutex);
    for (int32_t h = 1; h <= t.capacity(); ++h) {
      const Record* r = t.Find(h);
      if (r != nullptr && LabelEquals(r->label, text)) return h;
    }
    return err::Fail(err::kFailed, "no image is labelled '%.40s'", text), -1;
  });
}

int32_t mrGetPixel(int32_t h, int32_t x, int32_t y) {
  Resolved res;
  uint8_t* p;
  if (!PixelAt(__func__, h, x, y, &res, &p)) return -1;
  if (res.depth < 8) {
    const int shift = static_cast<int>((static_cast<int64_t>(x) * res.depth) % 8);
    return (*p >> shift) & ((1 << res.depth) - 1);
  }
  if (res.depth > 32)
    return err::Report(__func__, err::kParameter, "image %d has %d-bit pixels; a pixel is 32 bits at most",
                       h, res.depth),
           -1;
  uint32_t v = 0;
  for (int i = res.depth / 8 - 1; i >= 0; --i) v = (v << 8) | p[i];
  return static_cast<int32_t>(v);
}

int32_t mrPutPixel(int32_t h, int32_t x, int32_t y, int32_t value) {
  Resolved res;
  uint8_t* p;
  if (!PixelAt(__func__, h, x, y, &res, &p)) return -1;
  if (res.depth < 8) {
    const int shift = static_cast<int>((static_cast<int64_t>(x) * res.depth) % 8);
    const unsigned mask = ((1u << res.depth) - 1u) << shift;
    *p = static_cast<uint8_t>((*p & ~mask) | ((static_cast<unsigned>(value) << shift) & mask));
    return 0;
  }
  int64_t v = value;
  for (int i = 0; i < res.depth / 8; ++i) {
    p[i] = static_cast<uint8_t>(v & 0xFF);
    v >>= 8;  // arithmetic: bytes past the fourth carry the sign
  }
  return 0;
}

int32_t mrGetPixelAddr(int32_t h, int32_t x, int32_t y, void** address) {
  Resolved res;
  uint8_t* p;
  if (!PixelAt(__func__, h, x, y, &res, &p)) return -1;
  if (address != nullptr) *address = p;
  return res.depth;
}

int32_t mrGetPixelRGB(int32_t h, int32_t x, int32_t y, int32_t* red, int32_t* green,
                      int32_t* blue) {
  Resolved res;
  uint8_t* p;
  if (!PixelAt(__func__, h, x, y, &res, &p)) return -1;
  int32_t b, g, r;
  if (res.depth == 24) {
    b = p[0];
    g = p[1];
    r = p[2];
  } else if (res.depth == 48) {
    b = p[0] | (p[1] << 8);
    g = p[2] | (p[3] << 8);
    r = p[4] | (p[5] << 8);
  } else {
    return err::Report(__func__, err::kParameter, "image %d is not colour (depth %d)", h, res.depth),
           -1;
  }
  if (red != nullptr) *red = r;
  if (green != nullptr) *green = g;
  if (blue != nullptr) *blue = b;
  return std::max({r, g, b});
}

int32_t mrNumberOfActive(int64_t* byteTotal, int32_t* capacity) {
  Table& t = TheTable();
  std::shared_lock lock(t.mutex);
  int32_t count = 0;
  int64_t total = 0;
  for (int32_t h = 1; h <= t.capacity(); ++h) {
    const Record* r = t.Find(h);
    if (r == nullptr) continue;
    ++count;
    if (IsOwned(*r)) total += r->storage;
  }
  if (byteTotal != nullptr) *byteTotal = total;
  if (capacity != nullptr) *capacity = t.capacity();
  return count;
}

int32_t mrListOfActive(int32_t* handles, int32_t maxCount) {
  if (handles == nullptr || maxCount <= 0) return 0;
  Table& t = TheTable();
  std::shared_lock lock(t.mutex);
  int32_t n = 0;
  for (int32_t h = 1; h <= t.capacity() && n < maxCount; ++h)
    if (t.Find(h) != nullptr) handles[n++] = h;
  return n;
}

}  // extern "C"
