// Aligned output: a frame resampled so that it lies on the first frame of its
// sequence, written as an uncompressed TIFF.
#ifndef VANTOR_APP_ALIGNED_H
#define VANTOR_APP_ALIGNED_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "improc/resample.h"

namespace vantor::app {

// Creates the folder and any missing parents (an existing folder is fine).
// On failure *error (may be null) gets one line naming the folder and the cause.
bool CreateOutputFolder(const std::string& dir, std::string* error);

// How frames are moved: the interpolation (kResampleCubic, kResampleLinear or
// kResampleNearest), the fill where no pixel of the frame falls (none: 0 for
// integer frames, NaN for floating-point ones) and whether a floating-point
// frame is written as 32-bit float (its file held 16- or 32-bit floats).
struct AlignedLook {
  int32_t interpolation = kResampleCubic;
  std::optional<double> fill = {};
  bool float32 = false;
  // The motion from the frame to the first beyond its displacement: a feature
  // at p of the frame lies at A (p - c) + c + (dx, dy) of the first, c the
  // frame's centre, A = {a11, a12, a21, a22} with y counted up (the identity
  // for a translation).
  double a[4] = {1, 0, 0, 1};
};

// Why `fill` cannot be the fill of frames of this depth (as mrReadFile loads
// them), "" when it can: "outside the range of 16-bit frames (0 to 65535)".
std::string FillProblem(int32_t depth, double fill);

// True when page `page` (1-based; 0 for a file of one) of the file at path is
// a TIFF page of 16- or 32-bit floating-point samples.
bool StoredAsFloat32(const std::string& path, int32_t page);

// Writes frame `source` (a rectangle as mrReadFile loads it: depth 1, 8, 16,
// 24, 32, 48 or 64, row 0 the bottom of the picture) shifted onto the first
// frame as dir/name: with (dx, dy) the frame's displacement against the first
// frame (a feature at (x, y) of this frame lies at (x + dx, y + dy) of the
// first), output pixel (x, y) is the frame resampled at (x - dx, y - dy) by
// ResampleAffine as `look` says, the picture taken top row first (as the
// Python module takes it, so both give the same pixels); the fill wherever
// that position lies outside the frame. 1-bit frames take the nearest pixel
// and 0 outside; 4-bit frames are resampled as their 16 levels. Same size,
// depth and channels (doubles as 32-bit float with look.float32); the top of
// the picture is the file's first row, so mrReadFile gives back the
// rectangle. dir is created when missing; a file of that name is replaced
// (the new file is written under a temporary name and renamed, so nobody
// sees half a file). Refused when dir/name is the same file as inputPath (the
// frame's own file; empty to skip the check). Safe to call from several
// threads at once. On failure *error (may be null) gets one line naming the
// file and the cause.
bool WriteAlignedFrame(const std::string& dir, const std::string& name, int32_t source, double dx,
                       double dy, const std::string& inputPath, std::string* error,
                       const AlignedLook& look = AlignedLook{});

// The aligned pages of a multi-page file, written as one multi-page TIFF
// (uncompressed, each page at its frame's own depth) under a temporary name
// that Finish renames into place; destroyed unfinished, it leaves nothing.
// Pages are appended in order, from one thread at a time.
class AlignedStack {
 public:
  AlignedStack();
  ~AlignedStack();
  AlignedStack(const AlignedStack&) = delete;
  AlignedStack& operator=(const AlignedStack&) = delete;

  // bytes: about how much the pages hold (a BigTIFF is made above 3 GB).
  // Refused as WriteAlignedFrame refuses; *error gets one line.
  bool Open(const std::string& dir, const std::string& name, const std::string& inputPath,
            int64_t bytes, std::string* error);
  // Appends the frame shifted onto the first frame, as WriteAlignedFrame writes it.
  bool Append(int32_t source, double dx, double dy, std::string* error,
              const AlignedLook& look = AlignedLook{});

  // Pages of a hyperstack carry the input's own tags instead: the first page
  // its description (ImageJ or OME-XML) and every page its resolution, and
  // floating-point frames are written as 32-bit floats when the input's are.
  struct PageTags {
    std::string description;
    float xResolution = 0, yResolution = 0;  // 0: none
    uint16_t resolutionUnit = 1;
    bool float32 = false;
  };
  // The tags of the first page of the TIFF file at path; false when it cannot be read.
  static bool ReadPageTags(const std::string& path, PageTags* tags);
  void SetPageTags(PageTags tags);
  bool Finish(std::string* error);

 private:
  struct Tiff;
  std::unique_ptr<Tiff> tiff_;
  std::string target_;
  std::unique_ptr<PageTags> tags_;
  int64_t pagesWritten_ = 0;
};

}  // namespace vantor::app

#endif
