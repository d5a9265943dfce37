// The checks the registration's exported operations share: each states the
// cause of a refusal in the per-thread error record (generic/last_error.h).
#ifndef VANTOR_REGISTRATION_CHECKS_H
#define VANTOR_REGISTRATION_CHECKS_H

#include <cstdint>

#include "generic/last_error.h"
#include "memrect/rect_view.h"

namespace vantor::reg {

namespace err = vantor::err;

// An image of the given depth; the handle's or the depth's fault otherwise.
inline bool CheckDepth(int32_t h, int32_t depth, RectView* v) {
  RectView r;
  if (!ResolveRect(h, r)) return false;
  if (r.depth != depth) return err::FailDepth(h, r.depth);
  if (v != nullptr) *v = r;
  return true;
}

inline bool SizesDiffer(const char* what, int32_t a, const RectView& va, const char* other,
                        int32_t b, const RectView& vb) {
  return err::Fail(err::kParameter, "%s %d (%d x %d) and %s %d (%d x %d) differ in size", what,
                   static_cast<int>(a), static_cast<int>(va.width), static_cast<int>(va.height),
                   other, static_cast<int>(b), static_cast<int>(vb.width),
                   static_cast<int>(vb.height));
}

// `what` a (view va) has fewer columns or rows than image b (view vb).
inline bool Smaller(const char* what, int32_t a, const RectView& va, int32_t b,
                    const RectView& vb) {
  return err::Fail(err::kParameter, "%s %d (%d x %d) is smaller than image %d (%d x %d)", what,
                   static_cast<int>(a), static_cast<int>(va.width), static_cast<int>(va.height),
                   static_cast<int>(b), static_cast<int>(vb.width), static_cast<int>(vb.height));
}

// A 1-bit mask of the size of image `of` (view vo).
inline bool CheckMask(int32_t mask, int32_t of, const RectView& vo, RectView* v) {
  RectView m;
  if (!CheckDepth(mask, 1, &m)) return false;
  if (m.width != vo.width || m.height != vo.height) return SizesDiffer("mask", mask, m, "image", of, vo);
  if (v != nullptr) *v = m;
  return true;
}

// The number of set pixels of a 1-bit view.
int64_t MaskOnes(const RectView& m);

// A mask with at least one set pixel.
inline bool CheckNotEmpty(int32_t mask, const RectView& m) {
  if (MaskOnes(m) > 0) return true;
  return err::Fail(err::kParameter, "mask %d has no set pixel", static_cast<int>(mask));
}

inline bool NothingCompared() {
  return err::Fail(err::kFailed, "nothing of the mask could be compared");
}

// Whether an allocation failed in the operation under way. Steps that cope
// with a failure (a skipped level, a cost of -1) would give another result
// than with memory, so the operation fails instead.
inline bool MemoryFailed() { return err::PendingKind() == err::kMemory; }

}  // namespace vantor::reg

#endif
