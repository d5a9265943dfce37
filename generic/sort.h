/* Sorting arrays of fixed-size elements by a key inside each element, and the
 * index sort beneath it: a stable bottom-up merge sort of element numbers
 * driven by a compare function.
 *
 * Comparing texts "ignoring case" folds the ASCII letters A-Z to a-z and
 * compares the bytes as unsigned values; bytes past 127 are compared as they
 * are. Because the fold is to lower case, '_' (0x5F) and the other bytes from
 * '[' to '`' sort before every letter, of either case. When two texts agree
 * over the length of the shorter one, the shorter comes first ("ab" before
 * "abc"). Texts that compare equal keep their order: every sort here is
 * stable. Nothing here keeps state between calls; all functions may run on
 * several threads at once on different arrays. */
#ifndef VANTOR_GENERIC_SORT_H
#define VANTOR_GENERIC_SORT_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Key types: the low 7 bits of a sort mode. */
enum {
  VANTOR_SORT_INT8 = 0,          /* signed 8-bit integer */
  VANTOR_SORT_UINT8 = 1,         /* unsigned 8-bit integer */
  VANTOR_SORT_INT16 = 2,         /* signed 16-bit integer */
  VANTOR_SORT_UINT16 = 3,        /* unsigned 16-bit integer */
  VANTOR_SORT_INT32 = 4,         /* signed 32-bit integer */
  VANTOR_SORT_UINT32 = 5,        /* unsigned 32-bit integer */
  VANTOR_SORT_TEXTPTR_NOCASE = 6, /* pointer to a zero-terminated text, case ignored */
  VANTOR_SORT_TEXTPTR = 7,       /* pointer to a zero-terminated text, case significant */
  VANTOR_SORT_DOUBLE = 8,        /* double; NaNs come after every number */
  VANTOR_SORT_FLOAT = 9,         /* float: not accepted */
  VANTOR_SORT_TEXT_NOCASE = 10,  /* zero-terminated text held in the element, case ignored */
  VANTOR_SORT_TEXT = 11          /* zero-terminated text held in the element, case significant */
};

/* Sort mode bits besides the key type. */
#define VANTOR_SORT_DESCENDING 0x80 /* bit 7: descending order */
#define VANTOR_SORT_OFFSET_SHIFT 8  /* bits 8 and up: byte offset of the key */

/* Sorts count elements of elementSize bytes in place by the key that mode
 * names: bits 0-6 the key type, bit 7 descending, bits 8 and up the byte
 * offset of the key inside each element. Nothing happens (and -1 is returned)
 * when mode is negative, count or elementSize is 0 or less, the key type is
 * not accepted (9 and above 11), the key does not lie inside the element, or
 * scratch memory cannot be had; the array is then unchanged. Text held in the
 * element (types 10, 11) is read up to its zero byte but never past the end
 * of its element. Pointer keys (6, 7) may be null: null sorts before every
 * text, the empty text included. Keys may be unaligned. Returns 0 when the
 * array was sorted. */
VANTOR_API int32_t SortInPlace(void* array, int32_t elementSize, int32_t count, int32_t mode);

/* Fills index[0..count-1] with the element numbers 0 to count-1 in the order
 * of their keys. keyBase is the address of the first element's key; element
 * i's key lies at keyBase + i * elementSize. For text held in the element
 * (types 10, 11) at most elementSize bytes are read from each key, so the
 * caller must either terminate every text within its element or make
 * elementSize bytes readable after the last key. descending is nonzero for
 * descending order (equal keys still keep their order). Returns 0, or -1
 * (index untouched) for a key type that is not accepted, a count or element
 * size of 0 or less, a null argument, or no scratch memory. */
VANTOR_API int32_t IndexSortElems(const void* keyBase, int32_t elementSize, int32_t count,
                                  int32_t* index, int32_t keyType, int32_t descending);

/* Compares the elements numbered a and b: above zero when a belongs after b,
 * zero when they are equal, below zero otherwise. */
typedef int32_t (*VantorIndexCompare)(int32_t a, int32_t b, void* context);

/* IndexReSort with initialise set and no groups: index is filled with 0 to
 * count-1 and then sorted. */
VANTOR_API int32_t IndexSort(int32_t* index, int32_t count, VantorIndexCompare compare,
                             void* context);

/* Stable merge sort of the element numbers in index[0..count-1] with the
 * compare function (called with context). With initialise nonzero the index
 * is first filled with 0 to count-1; otherwise its entries are sorted as they
 * stand, which refines an earlier order by a further key.
 * groups, when not null, holds count group numbers, one per position of the
 * index as it stands on entry; only the entries of each run of consecutive
 * positions with the same group number are sorted among themselves, and no
 * entry leaves its run. That re-sorts, say, the names of each folder of a list
 * already sorted by folder.
 * Returns 0; -1 (index untouched, not even initialised) when count is 0 or
 * less, index or compare is null, or scratch memory cannot be had. */
VANTOR_API int32_t IndexReSort(int32_t* index, int32_t count, VantorIndexCompare compare,
                               void* context, int32_t initialise, const int32_t* groups);

/* Reorders count elements of elementSize bytes so that element i becomes the
 * element that stood at position index[i]. An index may repeat a position
 * (that element is then duplicated). Returns 0; -1 with the array unchanged
 * when an index entry lies outside 0..count-1, an argument is null or not
 * positive, or the copy cannot be allocated. */
VANTOR_API int32_t PermutateInPlace(void* array, int32_t elementSize, const int32_t* index,
                                    int32_t count);

VANTOR_END_C

#endif
