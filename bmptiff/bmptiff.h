/* Image file access: opens TIFF and BMP files, parses their headers and
 * delivers raw pixel rows.
 *
 * An open file is a slot of a table of 16 (file handles 1 to 16; 0 means
 * failure). Every handle obtained from ReadFileHeader must be released with
 * FreeTheData. The table is safe to use from several threads at once; a handle
 * belongs to the thread that opened it (two threads must not work on one
 * handle at the same time). Every operation that takes a valid handle makes it
 * the calling thread's current slot, which the argument-less getters read.
 *
 * Rows are delivered in file order exactly as stored: no bit, byte or channel
 * reordering and no padding between TIFF rows (BMP rows keep their 4-byte
 * padding). Only uncompressed TIFF data and uncompressed or 8-bit run-length
 * BMP data can be read; other compressions open but give -1 from
 * ReadNextRows. */
#ifndef VANTOR_BMPTIFF_BMPTIFF_H
#define VANTOR_BMPTIFF_BMPTIFF_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* File formats as returned by HeaderFormat and friends. */
#define VANTOR_FORMAT_TIFF 1
#define VANTOR_FORMAT_BMP 2

/* Opens the file and parses its header. "II" or "MM" is TIFF, "BM" is BMP.
 * Returns the file handle (1 to 16), or 0 when the file cannot be opened,
 * is of neither format, its header is damaged or unsupported, or all 16
 * slots are in use. On failure no slot stays in use. */
VANTOR_API int16_t ReadFileHeader(const char* path);

/* 1 for TIFF, 2 for BMP, 0 for a handle that is not in use. */
VANTOR_API int32_t HeaderFormat(int16_t handle);

/* Header summary. Any out pointer may be null. The description (TIFF
 * ImageDescription, or the BMP comment between palette and pixels) is copied
 * into description, at most *descriptionLength - 1 characters and a NUL.
 * *descriptionLength returns the full text length for TIFF and the number of
 * characters copied for BMP. *formatWord gets the format in its top byte and
 * in its low 16 bits the TIFF PhotometricInterpretation (when absent 2 for 24-
 * and 48-bit files, else 1) or 0x4D42 for BMP. Returns the format, or 0 for a
 * bad handle (description then empty and length 0). */
VANTOR_API int32_t GetHeaderInfo(int16_t handle, uint16_t* bitsPerPixel, uint32_t* width,
                                 uint32_t* length, char* description, int32_t* descriptionLength,
                                 uint16_t* compression, uint32_t* formatWord);

/* Bits per pixel, width, length (rows), file size, bytes of one file row and
 * row bytes x length of the calling thread's current slot; 0 when it is not in
 * use. */
VANTOR_API uint32_t GetThePixel(void);
VANTOR_API uint32_t GetTheWidth(void);
VANTOR_API uint32_t GetTheLength(void);
VANTOR_API uint32_t GetTheFileSize(void);
VANTOR_API uint32_t GetTheRowBytes(void);
VANTOR_API uint32_t GetTheDataSize(void);

/* Positions the next ReadNextRows at the given file row (file order: for a
 * TIFF the top of the picture, for an ordinary bottom-up BMP its bottom).
 * Returns length - row, or -1 for a handle not in use, a negative row, a row
 * beyond the length, or (TIFF) a row that lies past the last strip. */
VANTOR_API int32_t SetRowOffset(int16_t handle, int32_t row);

/* Reads up to rows file rows into buffer, which must hold rows x row bytes.
 * *bytesRead (may be null) receives the bytes delivered (for run-length BMP:
 * the output bytes passed over). Returns 1 when more image data follows, 0
 * when the image data is exhausted (possibly before all rows were read: check
 * *bytesRead), -1 on error (handle not in use, unsupported compression, read
 * past the end of the file).
 * TIFF: consecutive calls deliver consecutive rows.
 * BMP, uncompressed: reads from the position set by SetRowOffset (initially
 * row 0) and does not advance it.
 * BMP, 8-bit run-length: decodes from the current position into rows rows,
 * leaving untouched the bytes that the encoded data skips. */
VANTOR_API int32_t ReadNextRows(int16_t handle, void* buffer, int32_t rows, uint32_t* bytesRead);

/* Colour table of the file. TIFF: the ColorMap as 16-bit values in machine
 * order (all red, then all green, then all blue), its value count and count x
 * 2 bytes. BMP: the palette of 4-byte entries (blue, green, red, reserved),
 * its entry count and count x 4 bytes. Without a table the address is null and
 * the counts 0. Out pointers may be null. Returns the format, 0 for a bad
 * handle. The table lives until FreeTheData. */
VANTOR_API int32_t GetLUTinfo(int16_t handle, const void** table, int32_t* entries,
                              int32_t* byteSize);

/* Looks a tag up in the first IFD of a TIFF file. Outputs (may be null): the
 * field type, the value count and the address of the first value, in machine
 * order. A single SHORT or SSHORT value is delivered widened to a 32-bit
 * integer. Values longer than 4 bytes are read from the file; their address
 * stays valid until the next GiveTIFFtag or GetHeaderInfo on this handle or
 * FreeTheData. Returns count x type size when above 1, else 1; 0 when the tag
 * is absent (or the file is not a TIFF); -1 for a bad handle, a value that
 * lies outside the file or a failing read. */
VANTOR_API int32_t GiveTIFFtag(int16_t handle, uint16_t tag, uint16_t* type, uint32_t* count,
                               const void** value);

/* Address of the 4-byte value field of the tag's IFD entry (machine order;
 * only 2-byte aligned, so read it with memcpy); 1 when the tag is present, 0
 * otherwise. */
VANTOR_API int32_t TIFFtagValuePnt(int16_t handle, uint16_t tag, void** valueField);

/* Closes the file, releases the slot's memory and frees the slot (a handle
 * not in use is left alone). Returns the number of free slots. */
VANTOR_API int32_t FreeTheData(int16_t handle);

/* FreeTheData on every slot in use, by any thread; returns how many were
 * freed. Only for shutdown: handles still held by other threads die. */
VANTOR_API int32_t ClearAllTB(void);

/* ReadFileHeader, GetHeaderInfo and FreeTheData in one call. Returns the
 * format, or 0 when the file cannot be opened as TIFF or BMP. */
VANTOR_API int32_t GetImageFileInfo(const char* path, uint16_t* bitsPerPixel, uint32_t* width,
                                    uint32_t* length, char* description, int32_t* descriptionLength);

/* Describes the file's header in readable lines (a diagnostic). With a text
 * buffer, at most length - 1 characters and a NUL are stored there; without
 * one the text goes to standard error under the path as a title. Returns the
 * format, 0 when the file is neither TIFF nor BMP or cannot be read. */
VANTOR_API int32_t ShowFileHeader(const char* path, char* text, int32_t length);

VANTOR_END_C

#endif
