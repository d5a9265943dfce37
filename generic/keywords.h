/* Keyword lists: a list is one text of blank-separated words, and a keyword is
 * looked up as a whole word without regard to ASCII letter case. A separator is
 * any byte whose unsigned value is 32 or less; every other byte is a word byte.
 * Positions and lengths are byte offsets; no scan reads at or past the length. */
#ifndef VANTOR_GENERIC_KEYWORDS_H
#define VANTOR_GENERIC_KEYWORDS_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Position of the first word byte at or after pos (pos is first clamped to
 * length), or length when there is none. */
VANTOR_API uint32_t ToBegWord(const char* text, uint32_t pos, uint32_t length);

/* Number of word bytes from start up to the first separator or length; 0 when
 * start is at a separator or at or beyond length. */
VANTOR_API uint32_t WordLength(const char* text, uint32_t start, uint32_t length);

/* Moves *pos to the next word and returns its length; 0 when no word is left. */
VANTOR_API uint32_t GetTheWord(const char* text, uint32_t* pos, uint32_t length);

/* Looks keyword up in list and returns its 1-based number counted from *start
 * (or from 0 when start is null), or 0 when it is not there. listLength 0 means
 * the list is zero-terminated. keywordLength 0 means the keyword is its first
 * word, cut to the bytes the list holds after the start position. On a match
 * the word's position is stored through start. Texts must not be null. */
VANTOR_API uint32_t WordInText(const char* list, uint32_t* start, uint32_t listLength,
                               const char* keyword, uint32_t keywordLength);

VANTOR_END_C

#endif
