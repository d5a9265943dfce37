// Sequence comparison: every image of the list measured against the previous
// one (mode 0) or the first one (mode 1), one result row per image.
#ifndef VANTOR_APP_COMPARE_H
#define VANTOR_APP_COMPARE_H

#include <cstdint>
#include <string>

#include "app/vantorunit.h"
#include "memrect/rect_owner.h"

namespace vantor::app {

// Each image against the one before it; rows carry the running sums of DX and DY.
int CompareToPrevious(RunContext& ctx, char* pathBuffer, size_t filePart);

// Each image against the first image of the list.
int CompareToFirst(RunContext& ctx, char* pathBuffer, size_t filePart);

// Loads a file as an 8-bit grey rectangle: its handle, 0 when the file cannot
// be read or converted (reason set), -1 when the grey rectangle cannot be made.
int32_t LoadGrayImage(const char* path, std::string* reason = nullptr);

// A frame as loaded: its 8-bit grey rectangle and, when asked for and the
// file is not 8-bit grey already, the rectangle at the file's own depth.
struct LoadedImages {
  RectOwner grey;
  RectOwner original;
  // The frame at its own depth: the original, or the grey one when that is it.
  int32_t source() const { return original ? original.get() : grey.get(); }
};

// How a sequence's floating-point frames reach 8-bit grey: lo..hi onto
// 0..255 (taken from the first frame, so that brightness stays comparable
// across frames); unset, each frame maps its own finite range.
struct GreyRange {
  bool set = false;
  double lo = 0, hi = 0;
};

// Loads page `page` of a file (0: the file as mrReadFile reads it) as
// LoadGrayImage does, keeping the original rectangle when keepSource is set.
// Floating-point pixels map by *range; when range is given but unset, it is
// set from this frame. 1 on success, 0 or -1 as LoadGrayImage (reason set).
int32_t LoadImages(const char* path, int32_t page, bool keepSource, LoadedImages* out,
                   std::string* reason, GreyRange* range = nullptr);

// value rounded to the nearest multiple of 1 / factor, halves away from zero,
// sign kept (so small negative values become negative zero).
double RoundResult(double value, double factor);

// The number of threads a run uses when none is asked for.
int DefaultThreadCount();

}  // namespace vantor::app

#endif
