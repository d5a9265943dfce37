// Aligned output: a frame resampled so that it lies on the first frame of its
// sequence, written as an uncompressed TIFF.
#ifndef VANTOR_APP_ALIGNED_H
#define VANTOR_APP_ALIGNED_H

#include <cstdint>
#include <memory>
#include <string>

namespace vantor::app {

// Creates the folder and any missing parents (an existing folder is fine).
// On failure *error (may be null) gets one line naming the folder and the cause.
bool CreateOutputFolder(const std::string& dir, std::string* error);

// Writes frame `source` (a rectangle as mrReadFile loads it: depth 1, 8, 16,
// 24, 32, 48 or 64, row 0 the bottom of the picture) shifted onto the first
// frame as dir/name: with (dx, dy) the frame's displacement against the first
// frame (a feature at (x, y) of this frame lies at (x + dx, y + dy) of the
// first), output pixel (x, y) is the frame sampled bilinearly at (x - dx,
// y - dy), 0 where the frame has no pixel. Same size, depth and channels; the
// top of the picture is the file's first row, so mrReadFile gives back the
// rectangle. dir is created when missing; a file of that name is replaced
// (the new file is written under a temporary name and renamed, so nobody
// sees half a file). Refused when dir/name is the same file as inputPath (the
// frame's own file; empty to skip the check). Safe to call from several
// threads at once. On failure *error (may be null) gets one line naming the
// file and the cause.
bool WriteAlignedFrame(const std::string& dir, const std::string& name, int32_t source, double dx,
                       double dy, const std::string& inputPath, std::string* error);

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
  bool Append(int32_t source, double dx, double dy, std::string* error);

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
