/* The display look-up table: one process-wide colour table of up to 256
 * entries of 4 bytes (blue, green, red, 0) and its entry count, 0 at start.
 * The image loaders install a file's colour table in it on request, and the
 * image writers take their colour table from it. Calls are serialised; the
 * table's address never changes. */
#ifndef VANTOR_MEMRECT_DISPLAY_LUT_H
#define VANTOR_MEMRECT_DISPLAY_LUT_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Acts by the keyword's first letter, in any case:
 *   "Info"         changes nothing;
 *   "Linear"       installs 256 grey entries (entry i = grey level i);
 *   "White/Black"  installs 2 entries, white then black;
 *   "Black/White"  (any word beginning with b) installs black then white;
 *   "Set"          copies 256 entries from entries;
 *   "Mask"         copies 2 entries from entries.
 * *address (may be null) receives the table's address and *byteSize (may be
 * null) the bytes in use (entry count x 4). Returns the entry count after the
 * call, or -1 for an unknown keyword or a missing entries argument (the table
 * is then unchanged). */
VANTOR_API int32_t mrDisplayLut(const char* keyword, const void* entries, const void** address,
                                int32_t* byteSize);

/* Copies the table as it is at this moment into dest (room for 256 entries
 * of 4 bytes; may be null) and returns its entry count. Unlike reading through
 * the "Info" address, the copy cannot be torn by another thread installing a
 * table at the same time. */
VANTOR_API int32_t mrDisplayLutCopy(void* dest);

VANTOR_END_C

#endif
