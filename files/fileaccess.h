/* Whole-file helpers: each call opens the file, does its work and closes it.
 * Bytes are transferred as they are (no line-end translation). Sizes, offsets
 * and lengths are signed 32-bit; files of 2 GiB or more are out of scope. */
#ifndef VANTOR_FILES_FILEACCESS_H
#define VANTOR_FILES_FILEACCESS_H

#include <stdint.h>
#include <time.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* 3: the file exists and opens for writing; 1: it opens for reading only;
 * 0: it cannot be opened (missing, or a folder). When the result is not 0 and
 * size is given, the file's size in bytes is stored through it. */
VANTOR_API int32_t GetFileAccess(const char* path, int32_t* size);

/* 1 when GetFileAccess gives 1 or 3, else 0. */
VANTOR_API int32_t IsExisting(const char* path);

/* Reads min(length, size - offset) bytes from offset into buffer and returns
 * the count, storing the file size through size (may be null). length 0 is the
 * size query: stores the size and returns 0. An offset beyond the size returns
 * 0 without storing the size. -1 when the file cannot be opened or the offset
 * is negative. */
VANTOR_API int32_t ReadFromFile(const char* path, void* buffer, int32_t length, int32_t offset,
                                int32_t* size);

/* Creates or truncates the file and writes length bytes; returns the file's
 * size afterwards, or -1 when it cannot be opened or the write falls short. */
VANTOR_API int32_t WriteToFile(const char* path, const void* data, int32_t length);

/* As WriteToFile, but appends to the end of the file (creating it if needed). */
VANTOR_API int32_t AppendFile(const char* path, const void* data, int32_t length);

/* A file time: seconds and nanoseconds since 1970-01-01 00:00:00 UTC. */
typedef struct VantorFileTime {
  int64_t seconds;
  int32_t nanoseconds;
} VantorFileTime;

/* Formats the file time as "YYYY/MM/DD  hh:mm:ss" (two blanks between date and
 * time) into out, which must hold at least 21 bytes. The time is taken as
 * given: no time-zone conversion. Returns the number of characters written
 * (20), or 0 for a null argument or a time outside years 0 to 9999. */
VANTOR_API int32_t FileTimeToStrDateTime(const VantorFileTime* time, char* out);

VANTOR_END_C

#endif
