// Internals of the image store shared by its source files: the rectangle
// record, the handle table and the helpers that work on it with the table's
// lock already held.
#ifndef VANTOR_MEMRECT_RECT_STORE_H
#define VANTOR_MEMRECT_RECT_STORE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <vector>

namespace vantor::store {

// Storage-word markers; any smaller value is the byte size of an owned block.
inline constexpr uint32_t kExternMark = 0x7FFFFF33u;
inline constexpr uint32_t kOverlayMark = 0x7FFFFF34u;

inline constexpr int32_t kSlotsPerChunk = 160;  // the table grows by this many
inline constexpr int32_t kLabelMax = 40;
inline constexpr int32_t kPicListMarker = -1;

// Owned blocks: start alignment and zeroed bytes kept after the last row.
inline constexpr size_t kBlockAlign = 64;
inline constexpr size_t kBlockSlack = 64;

struct Record {
  int32_t depth;       // 0 marks a free slot
  int32_t width;
  int32_t height;
  int32_t pitch;
  uintptr_t address;   // owned and extern: pixel (0, 0); overlay: parent handle
  uint32_t storage;    // owned: block size; else kExternMark or kOverlayMark
  int32_t overlayX;
  int32_t overlayY;
  int32_t firstOverlay;  // newest overlay on this rectangle
  int32_t nextOverlay;   // next overlay on the same parent
  int32_t listMarker;    // kPicListMarker for a picture list
  int32_t tag;           // free slot: next free handle
  void* allocation;      // owned: the block as allocated
  char label[kLabelMax + 1];
};

inline bool IsOwned(const Record& r) { return r.storage < kExternMark; }
inline bool IsExtern(const Record& r) { return r.storage == kExternMark; }
inline bool IsOverlay(const Record& r) { return r.storage == kOverlayMark; }
inline int32_t ParentOf(const Record& r) { return static_cast<int32_t>(r.address); }

bool ValidDepth(int32_t depth);

// Pitch by a rounding code (1, 2, 8; anything else 4 bytes); -1 when a row of
// that length does not fit the store.
int64_t PitchFor(int32_t depth, int64_t width, int32_t rounding);

// True when height rows of pitch bytes fit below the storage-word markers.
bool BlockFits(int64_t pitch, int64_t height);

// An owned pixel block: calloc'd, start aligned, zero slack after the rows.
struct Block {
  void* allocation = nullptr;
  uint8_t* pixels = nullptr;
};
bool AllocateBlock(uint64_t bytes, Block* block);

// A rectangle resolved to its pixels (overlays walked up to their root).
struct Resolved {
  int32_t depth;
  int32_t width;
  int32_t height;
  int32_t pitch;
  uint8_t* pixels;
};

// The handle table. Records live in chunks of kSlotsPerChunk that never move
// once made, so a record address stays good while the lock is held even if
// the table grows. Readers hold `mutex` shared, anything that changes a record
// or the table holds it exclusive.
class Table {
 public:
  ~Table();

  std::shared_mutex mutex;

  // The record of a valid handle, else null.
  Record* Find(int32_t h) const {
    if (h < 1 || h > capacity_) return nullptr;
    Record* r = &chunks_[static_cast<size_t>(h - 1) / kSlotsPerChunk]
                        [static_cast<size_t>(h - 1) % kSlotsPerChunk];
    return r->depth != 0 ? r : nullptr;
  }
  // The slot of any handle within the capacity, free or not.
  Record* Slot(int32_t h) const {
    return &chunks_[static_cast<size_t>(h - 1) / kSlotsPerChunk]
                   [static_cast<size_t>(h - 1) % kSlotsPerChunk];
  }
  int32_t capacity() const { return capacity_; }

  // Takes the first free slot (growing the table when none is left) and
  // returns its handle with the record cleared, or 0 when no slot can be had.
  int32_t TakeSlot();
  // Clears the record and puts its handle at the front of the free list.
  void ReleaseSlot(int32_t h);
  // Drops every chunk; the table is then as at start. Records must be released
  // of their blocks first.
  void Reset();

 private:
  std::vector<std::unique_ptr<Record[]>> chunks_;
  int32_t capacity_ = 0;
  int32_t firstFree_ = 0;
};

Table& TheTable();

// ---- With the lock held (shared for the const ones, else exclusive) ----

bool ResolveLocked(const Table& t, int32_t h, Resolved* out);
int32_t CreateOwnedLocked(Table& t, int32_t depth, int32_t width, int32_t height,
                          int32_t rounding);
int32_t CopyAsLocked(Table& t, int32_t h);
int32_t RedimensionLocked(Table& t, int32_t h, int32_t depth, int32_t width, int32_t height);
// mrFree without the picture-list step.
int32_t FreePlainLocked(Table& t, int32_t h);
// mrFree with it.
int32_t FreeLocked(Table& t, int32_t h);
int32_t SetLabelLocked(Table& t, int32_t h, const char* text);
// Label comparison that ignores ASCII letter case.
bool LabelEquals(const char* label, const char* text);

// Picture-list steps used by the store itself.
bool IsPicList(const Record& r);
// Frees a picture list with its members (the "Clean" and "Free" steps).
int32_t FreePicListLocked(Table& t, int32_t list);

}  // namespace vantor::store

#endif
