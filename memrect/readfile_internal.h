// Internal controls of the image loaders.
#ifndef VANTOR_MEMRECT_READFILE_INTERNAL_H
#define VANTOR_MEMRECT_READFILE_INTERNAL_H

#include <cstdint>

namespace vantor {

// Largest pixel block (bytes) a loader may allocate; 0 (the default) means no
// limit beyond what the formats allow. The fuzz targets set it so that
// damaged headers cannot make them allocate gigabytes.
void SetLoadLimit(uint64_t bytes);

}  // namespace vantor

#endif
