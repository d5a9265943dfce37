// Whether an image file that another program may still be writing holds all
// of its data: the structure its header announces lies inside the file. Lets
// a followed folder's files be read only once their writer is done with them.
#ifndef VANTOR_SEQUENCE_FILE_COMPLETE_H
#define VANTOR_SEQUENCE_FILE_COMPLETE_H

#include <cstdint>

namespace vantor::seq {

enum class Completeness {
  kComplete,    // every part the format announces is there
  kIncomplete,  // a part lies beyond the end, or the file is too short to tell
  kUnknown      // not TIFF, PNG, BMP or JPEG: only its size can tell
};

// Reads what it needs of the open file fd of `size` bytes: for TIFF every
// directory and every strip or tile, for PNG the closing chunk, for BMP the
// size its header gives, for JPEG the closing marker.
Completeness FileCompleteness(int fd, int64_t size);

}  // namespace vantor::seq

#endif
