/* Lists of the files that match a path pattern.
 *
 * A pattern is a path whose last component may hold the wildcards '*' (any
 * run of bytes, the empty one included) and '?' (exactly one byte); that
 * component is matched against the names in the pattern's folder with the
 * ASCII letters compared without regard to case, so "*.tif" also finds
 * "A.TIF". The folder part is taken literally (no wildcards), and a pattern
 * without '/' names the working folder. Folders are never listed ("." and ".."
 * included); regular files and symbolic links to regular files are, hidden
 * files (leading dot) too. Other entries (links to folders, dangling links,
 * pipes, sockets, devices) are skipped.
 *
 * "Nothing matches" means that no entry of the folder at all, not even a
 * folder, matches the last component, or that the folder cannot be read; the
 * functions then return -1 or null. A pattern that matches folders only gives
 * a count of 0.
 *
 * All functions are safe to call from several threads at once. */
#ifndef VANTOR_FILES_FILELIST_H
#define VANTOR_FILES_FILELIST_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* A file list: one heap block that starts with the number of names. Sorted
 * name pointers and the names themselves follow in the same block; reach them
 * with GetAlphaFileName. The caller owns the block: release it with
 * FreeAlphaFilesList (or with free(), which is what that calls; the block
 * comes from malloc). Every name pointer dies with the block. */
typedef struct VantorFileList {
  int32_t count; /* number of names */
} VantorFileList;

/* Lists the files that match pattern in alphabetical order: names compared
 * byte by byte with the ASCII letters folded to lower case (so '_' sorts
 * before every letter), the shorter of two names that agree over its length
 * first ("ab.tif" before "ab.tiff", "img10.tif" before "img2.tif"); names that
 * compare equal keep the order of the folder. Names are bare file names,
 * without the folder. Returns a new list, or null when nothing matches, the
 * folder changed while it was being listed, or memory is short. */
VANTOR_API VantorFileList* GetAlphaFilesList(const char* pattern);

/* The k-th name (1-based) of the list in sorted order, zero-terminated; null
 * when list is null or k is below 1 or above the count. */
VANTOR_API const char* GetAlphaFileName(const VantorFileList* list, int32_t k);

/* Releases a list made by GetAlphaFilesList; null is allowed. */
VANTOR_API void FreeAlphaFilesList(VantorFileList* list);

/* With number 0: returns the number of matching files and stores T, the sum
 * over their names of length plus one, as an int32_t at buffer (when buffer is
 * not null and length is at least 4; it need not be aligned).
 * With number k >= 1: copies the k-th matching name, in the order of the
 * folder, zero-terminated into buffer when its length is below length, and
 * returns that length; returns 0 when the name does not fit or there are
 * fewer than k files, leaving an empty text in buffer (when length > 0).
 * Returns -1 when nothing matches; buffer is then untouched. */
VANTOR_API int32_t FileNameByNumber(const char* pattern, void* buffer, int32_t length,
                                    int32_t number);

/* Options word of ListOfFiles. */
#define VANTOR_LIST_SEPARATOR_MASK 0x00FFFFFFu /* bits 0-23: separator value */
#define VANTOR_LIST_DATE 0x01000000u           /* bit 24: append the modification time */
#define VANTOR_LIST_NO_EXTENSION 0x02000000u   /* bit 25: names without their extension */

/* Writes one entry per matching file, in the order of the folder, into
 * buffer (size bytes) and returns the number of matching files, or -1 when
 * nothing matches.
 * An entry is the name; with VANTOR_LIST_NO_EXTENSION only the bytes before its
 * last dot ("scan.01.tif" gives "scan.01", "README" stays whole, ".profile"
 * gives the empty text). With VANTOR_LIST_DATE a blank and the file's
 * modification time in local time, "YYYY/MM/DD  hh:mm:ss" (20 characters),
 * follow the name. Then come the separator's bytes, low byte first: one byte
 * for a value below 256 (0 gives one zero byte), two below 65536 (0x0A0D gives
 * "\r\n"), three otherwise.
 * Entries are written while they fit: a name with its separator only when the
 * bytes so far stay strictly below size, the date only when the bytes so far
 * with it do not exceed size (an entry whose date does not fit is written
 * without it). From the first entry that does not fit on, nothing more is
 * written, but the count still covers every file.
 * The first byte of the buffer is set to zero; when every entry went in, a
 * zero byte follows the last one where there is room for it (always when no
 * dates are listed); after a cut nothing is written past the last whole
 * entry. total, when not null, receives the bytes the entries need: every
 * name and separator, and the dates that were written. So a caller listing
 * without dates can allocate *total + 1 bytes and call again. A null buffer or
 * a size of 0 or less writes nothing and only counts. */
VANTOR_API int32_t ListOfFiles(const char* pattern, char* buffer, int32_t size, uint32_t options,
                               int32_t* total);

VANTOR_END_C

#endif
