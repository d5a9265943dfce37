// Pieces of the rectangle writers shared with callers that produce the rows
// themselves (the aligned-frame writer warps them a band at a time).
#ifndef VANTOR_MEMRECT_WRITEFILE_INTERNAL_H
#define VANTOR_MEMRECT_WRITEFILE_INTERNAL_H

#include <cstdint>

namespace vantor {

// The colour table a rectangle of this depth is written with in this format
// (1 TIFF, 2 BMP), copied into table (room for 256 entries of 4 bytes); its
// entry count, 0 for none.
int32_t WriterColourTable(int32_t depth, int32_t format, uint8_t* table);

// Whether rectangle rows need FileRow before they go into the file: 24- and
// 48-bit TIFF rows with rgb set, and 1-bit rows.
bool RowsNeedChange(int32_t depth, int32_t format, bool rgb);

// One rectangle row (width pixels of depth bits) as a file row of
// fileRowBytes bytes at out (out may be row): channels into red, green, blue
// order for TIFF with rgb, 1-bit pixels leftmost in the most significant bit,
// bits past the width and the bytes past the pixels zero.
void FileRow(const uint8_t* row, int32_t depth, int32_t width, int32_t format, bool rgb,
             uint32_t fileRowBytes, uint8_t* out);

}  // namespace vantor

#endif
