// What the image loaders need of bmptiff beyond bmptiff_internal.h: refusals
// that another decoder may still handle, opening a TIFF at a later IFD, and
// the chain of IFDs (pages) of a TIFF file.
#ifndef VANTOR_BMPTIFF_READER_INTERNAL_H
#define VANTOR_BMPTIFF_READER_INTERNAL_H

#include <cstdint>

namespace vantor {

// Sets the reason like SetFileError and marks it as a refusal of something
// these readers do not handle (a compression, a layout), rather than damage.
// Any later SetFileError or ClearFileError removes the mark.
void SetUnsupportedError(const char* format, ...) __attribute__((format(printf, 1, 2)));
bool FileErrorIsUnsupported();

// ReadFileHeader, parsing the TIFF IFD at ifdOffset instead of the first one.
int16_t ReadFileHeaderAt(const char* path, uint64_t ifdOffset);

// Where a page of a TIFF file starts.
struct TiffPage {
  uint64_t ifdOffset = 0;
  bool bigTiff = false;
  bool more = false;  // a further page follows
};

// Finds page (1-based) of a TIFF file by walking its IFD chain. The offsets
// found are kept per thread for the last few files (keyed by path, identity,
// size and modification time), so reading the pages of a file in order walks
// its chain once. False, with the reason set, when the file is no TIFF, its
// chain is damaged before that page, or it has fewer pages.
bool FindTiffPage(const char* path, int32_t page, TiffPage* out);

// Number of pages (IFDs) of a TIFF file; -1 with the reason set when the file
// cannot be read, is no TIFF or its first IFD is unusable. A chain that
// breaks off after some good pages counts those.
int32_t CountTiffPages(const char* path);

// Empties the calling thread's cache of IFD chains (for fuzz targets, whose
// inputs may look alike to the cache).
void ForgetTiffPages();

}  // namespace vantor

#endif
