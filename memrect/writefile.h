/* Saving memory rectangles as TIFF, BMP and JPEG files.
 *
 * Flags of the TIFF and BMP writers: bit 0 writes the rectangle's last row
 * first (for a loaded picture, whose row 0 is its bottom row, that is the top
 * first, as a TIFF file holds it), else row 0 first (the bottom-up order of a
 * BMP file); bit 1 puts 24- and 48-bit pixels into red, green, blue order in a
 * TIFF file (mrWriteToFileTIFF always sets it). 1-bit rows are stored with
 * the leftmost pixel in the most significant bit.
 *
 * Colour tables come from the display look-up table (memrect/display_lut.h):
 * none for 24 bits and more; a 1-bit rectangle takes the fixed table (entry
 * 0 white, entry 1 black) unless the display table has exactly 2 entries;
 * otherwise a BMP file takes the display table (a grey ramp of 2^depth
 * entries for 4 and 8 bits while the display table is empty) and a TIFF file
 * none. A 16- or 32-bit BMP can therefore only be written while the display
 * table is empty.
 *
 * A TIFF written with bit 0 set and a BMP written with it clear read back with
 * mrReadFile into the same rectangle. The rectangle itself is never changed.
 * Every writer is safe to call from several threads at once. */
#ifndef VANTOR_MEMRECT_WRITEFILE_H
#define VANTOR_MEMRECT_WRITEFILE_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* The whole rectangle as a BMP file: its height, or -1 (invalid handle, a
 * colour table the depth cannot take, the file cannot be created or written;
 * a file already created is left as far as it was written). */
VANTOR_API int32_t mrWriteToFile(int32_t handle, const char* path, int32_t flags);

/* The whole rectangle as a TIFF file (flag bit 1 added), with the
 * description as ImageDescription (null: "QJX"). Result as mrWriteToFile. */
VANTOR_API int32_t mrWriteToFileTIFF(int32_t handle, const char* path, int32_t flags,
                                     const char* description);

/* Saves by the name's extension. A name of 4 characters or fewer writes
 * nothing and gives 0. Without a dot 4 characters before its end the name
 * gets ".jpg" (24-bit rectangles) or ".tif" (others), in name itself when it
 * is shorter than size - 5 characters, else in a copy; a 1-bit rectangle
 * always gets ".bmp" as its last 4 characters. Then, case aside: ".jpg"
 * saves a JPEG of quality 100 (other depths converted to 24 bits first),
 * ".tif" a TIFF with the last row first, anything else installs the "Linear"
 * display table and saves a BMP with row 0 first. Returns the length of the
 * name used when the writer gave a positive result, else the writer's result. */
VANTOR_API int32_t mrSaveByExtention(int32_t handle, char* name, int32_t size);

/* Saves a JPEG file through libjpeg: 24-bit colour, the top of the picture
 * (the rectangle's last row) first, at quality 1 to 100 (0 or less: 100).
 * Other depths are converted to 24 bits first (mrConvert mode 0). Returns the
 * handle, or -1 (invalid or empty rectangle, failed conversion, the file
 * cannot be written). */
VANTOR_API int32_t mrSaveJPEGfile(int32_t handle, const char* path, int32_t quality);

VANTOR_END_C

#endif
