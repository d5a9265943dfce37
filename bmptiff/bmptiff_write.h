/* Writing TIFF and BMP files row by row through the open-file slots of
 * bmptiff.h: build the header in a slot, create the file with it, append
 * rows, and write the header again with the number of rows actually written.
 *
 * TIFF files are little-endian, uncompressed, one strip, rows of
 * (bits x width + 7) / 8 bytes; the header is the 170-byte template of 13
 * tags (NewSubfileType, ImageWidth, ImageLength, BitsPerSample, Compression,
 * PhotometricInterpretation, ImageDescription, StripOffsets, SamplesPerPixel,
 * RowsPerStrip, StripByteCounts, PlanarConfiguration, Software) grown by
 * longer values and further tags, the pixels following it at once. BMP files
 * have the 54-byte header, the palette, an optional description and rows
 * padded to 4 bytes.
 *
 * A slot taken here is released with FreeTheData, which closes the file. The
 * calls are safe from several threads, each on its own slot. */
#ifndef VANTOR_BMPTIFF_BMPTIFF_WRITE_H
#define VANTOR_BMPTIFF_BMPTIFF_WRITE_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Builds a header in a free slot. format: 1 TIFF, 2 BMP. length: rows (BMP:
 * negative for a top-down file). table, entries: a colour table of 4-byte
 * entries (blue, green, red, 0), or null / 0 for none. description: TIFF
 * ImageDescription (null: "QJX"; cut to what the 8192-byte header holds);
 * not used for BMP (see AddDescription).
 * TIFF: 24 and 48 bits are three samples of 8 or 16 bits in red, green, blue
 * order (photometric 2); otherwise one sample (photometric 1, 0 = black),
 * 32 bits marked as signed and 64 bits as floating point. With a table and
 * bits up to 8 the file gets a ColorMap (3 x 2^bits values, red, green, blue
 * planes, table bytes x 257; missing entries 0) and photometric 3.
 * BMP: a table of more than 2^bits entries (any table above 8 bits) fails.
 * Returns the slot (1 to 16), or 0 for a bad format, size or depth, no free
 * slot or no memory. */
VANTOR_API int16_t CreateTheHeader(int32_t format, int32_t bitsPerPixel, int32_t width,
                                   int32_t length, const void* table, int32_t entries,
                                   const char* description);

/* Creates (or truncates) the file at path and writes the slot's header. 0, or
 * -1 for a slot not being written, a file already open in it, or a failed
 * create or write (the file is then closed again). */
VANTOR_API int32_t MakeHeaderFile(int16_t slot, const char* path);

/* As MakeHeaderFile on a file the caller has opened for writing (empty; for
 * one created exclusively under a temporary name, say). The slot writes
 * through its own duplicate of fd, which FreeTheData closes; fd stays the
 * caller's (to flush and close). 0, or -1 as MakeHeaderFile. */
VANTOR_API int32_t MakeHeaderFileFd(int16_t slot, int32_t fd);

/* Appends rows x row bytes from data (file rows: TIFF unpadded, BMP padded to
 * 4 bytes). 0, or -1 for a slot without an open file, a negative count, a
 * file that would outgrow 4 GB, or a short write. */
VANTOR_API int32_t WriteNextRows(int16_t slot, const void* data, int32_t rows);

/* Sets the description before the file is made (ignored once it is): TIFF
 * ImageDescription from length bytes of text and a terminating zero; BMP the
 * text after the palette, padded with zeros to a multiple of 4 bytes. */
VANTOR_API void AddDescription(int16_t slot, const char* text, int32_t length);

/* Writes the header again with the rows written so far: TIFF ImageLength,
 * BMP file size, height and image size. 0, or -1 for a slot without an open
 * file or a failed write. */
VANTOR_API int32_t RewriteHeader(int16_t slot);

VANTOR_END_C

#endif
