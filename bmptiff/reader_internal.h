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

}  // namespace vantor

#endif
