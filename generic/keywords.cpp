#include "generic/keywords.h"

#include <cstring>

namespace {

inline bool IsSeparator(char c) { return static_cast<unsigned char>(c) <= 32; }

inline unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool EqualIgnoringCase(const char* a, const char* b, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    if (FoldAscii(static_cast<unsigned char>(a[i])) != FoldAscii(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

extern "C" {

uint32_t ToBegWord(const char* text, uint32_t pos, uint32_t length) {
  if (pos > length) pos = length;
  while (pos < length && IsSeparator(text[pos])) ++pos;
  return pos;
}

uint32_t WordLength(const char* text, uint32_t start, uint32_t length) {
  uint32_t end = start;
  while (end < length && !IsSeparator(text[end])) ++end;
  return end > start ? end - start : 0;
}

uint32_t GetTheWord(const char* text, uint32_t* pos, uint32_t length) {
  *pos = ToBegWord(text, *pos, length);
  return WordLength(text, *pos, length);
}

uint32_t WordInText(const char* list, uint32_t* start, uint32_t listLength, const char* keyword,
                    uint32_t keywordLength) {
  uint32_t pos = start != nullptr ? *start : 0;
  if (listLength == 0) listLength = static_cast<uint32_t>(std::strlen(list));
  if (keywordLength == 0) {
    uint32_t room = listLength > pos ? listLength - pos : 0;
    // The keyword is zero-terminated here; stop at its terminator or at room.
    uint32_t n = 0;
    while (n < room && !IsSeparator(keyword[n])) ++n;
    keywordLength = n;
  }
  if (keywordLength == 0) return 0;
  uint32_t count = 0;
  for (;;) {
    uint32_t len = GetTheWord(list, &pos, listLength);
    if (len == 0) return 0;
    ++count;
    if (len == keywordLength && EqualIgnoringCase(list + pos, keyword, len)) {
      if (start != nullptr) *start = pos;
      return count;
    }
    pos += len;
  }
}

}  // extern "C"
