/* Why the last operation failed: one record per thread.
 *
 * Every exported function that fails leaves a text naming itself and the
 * cause ("mrCopy: handle 7 is not a valid image") and a kind for programs
 * that act on the cause. Operations that succeed leave the record as it was,
 * so read it right after a failure result; mrClearLastError empties it.
 * Operations called inside another one report under the outer name. */
#ifndef VANTOR_GENERIC_ERRORS_H
#define VANTOR_GENERIC_ERRORS_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* The kinds of failure. */
#define VANTOR_ERROR_NONE 0      /* nothing has failed in this thread since the last clear */
#define VANTOR_ERROR_PARAMETER 1 /* an invalid handle, size, depth, keyword or value */
#define VANTOR_ERROR_MEMORY 2    /* memory could not be had */
#define VANTOR_ERROR_FILE 3      /* a file could not be opened, read or written */
#define VANTOR_ERROR_FORMAT 4    /* a file's contents are damaged or of an unsupported kind */
#define VANTOR_ERROR_FAILED 5    /* the operation found no result (nothing to compare, no match) */

/* The text of this thread's last failure ("" when none); valid until the
 * thread's next failing call. */
VANTOR_API const char* mrLastError(void);
/* The kind of this thread's last failure, one of VANTOR_ERROR_*. */
VANTOR_API int32_t mrLastErrorKind(void);
/* Forgets this thread's last failure. */
VANTOR_API void mrClearLastError(void);

VANTOR_END_C

#endif /* VANTOR_GENERIC_ERRORS_H */
