// Where the frames of a sequence come from (a file, a page of a multi-page
// file, or caller memory) and how each reaches the measurement's working
// form: the 8-bit grey rectangle the search compares and, when asked for,
// the frame at its own depth (for the precise method and aligned copies).
#ifndef VANTOR_SEQUENCE_FRAME_SOURCE_H
#define VANTOR_SEQUENCE_FRAME_SOURCE_H

#include <cstdint>
#include <string>
#include <vector>

#include "memrect/readfile.h"
#include "memrect/rect_owner.h"

namespace vantor::seq {

struct FrameSource {
  // A file, or page `page` (1-based) of a multi-page file.
  std::string path;
  std::string name;  // as the results name it: the file's name, "name[k]" for a page
  int32_t page = 0;
  bool outOfOrder = false;  // followed: its name sorts before an earlier frame's
  // A time point (from 1) of a hyperstack: page is its channel 1, slice 1;
  // channel c, slice z (0-based) is page + c * strideC + z * strideZ.
  int32_t timePoint = 0;
  int32_t channels = 1, slices = 1, strideC = 0, strideZ = 0;
  // What the run measures of a time point (set from SequenceOptions): the
  // channel from 1, and kSequenceZMax, kSequenceZMean or a slice from 1.
  int32_t channel = 1, z = 0;
  // Caller memory (data non-null): rows `stride` bytes apart, pixels as `layout`.
  const void* data = nullptr;
  int32_t width = 0, height = 0;
  int64_t stride = 0;
  int32_t layout = 0;
  bool topRowFirst = false;
};

// How a sequence's floating-point frames reach 8-bit grey: lo..hi onto 0..255,
// taken from the first frame so that brightness stays comparable across frames.
struct GreyRange {
  bool set = false;
  double lo = 0, hi = 0;
};

struct LoadedFrame {
  RectOwner grey;      // 8-bit grey, row 0 the bottom of the picture
  RectOwner original;  // the frame at its own depth when asked for and not the grey one
  int32_t source() const { return original ? original.get() : grey.get(); }
};

// Loads a frame: grey as the batch program has always made it (8-bit as it is,
// 4-bit spread over 0..255, 16- and 32-bit by the automatic shift, colour as
// the mean of the channels, floating point through *range, which the first
// frame loaded sets). keepOriginal keeps the frame at its own depth.
// 1 on success; 0 when the frame cannot be read or converted, -1 when memory
// is short; *reason says why in both cases.
// Files are checked against *limits before any pixel is decoded.
int32_t LoadFrame(const FrameSource& src, bool keepOriginal, const VantorLoadLimits& limits,
                  GreyRange* range, LoadedFrame* out, std::string* reason);

// Appends the frames of a file: one, every page of a multi-page file, or
// every time point of a hyperstack (named "name[t=k]"). 0, or -1 with the
// cause recorded (memory, or a file whose axes cannot be read as one file).
int32_t AppendFileFrames(const std::string& path, const std::string& name, bool outOfOrder,
                         std::vector<FrameSource>* out);

// The 8-bit grey of a rectangle at its own depth, as LoadFrame makes it (a
// floating-point one through *range, which the first such call sets). 0, or
// -1 when memory is short or the depth cannot be converted.
int32_t MakeGrey(int32_t source, GreyRange* range, RectOwner* grey);

// Bytes a pixel the measurement adds to a loaded frame with this method: the
// grey copy and the method's working images (floats, pyramid, gradients).
uint64_t WorkingBytesPerPixel(int32_t method);

// Bytes per pixel of a memory layout, and the depth of the rectangle it is
// copied into (float32 widened to 64); 0 for an unknown layout.
int32_t LayoutBytes(int32_t layout);
int32_t LayoutDepth(int32_t layout);

}  // namespace vantor::seq

#endif
