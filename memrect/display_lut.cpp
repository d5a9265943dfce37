// The process-wide display look-up table.
#include "memrect/display_lut.h"

#include <cctype>
#include <cstring>
#include <mutex>

#include "generic/last_error.h"
#include "memrect/display_lut_internal.h"

namespace {

std::mutex g_lutMutex;
uint8_t g_lut[256 * 4];
int32_t g_lutEntries = 0;

void Entry(int i, uint8_t blue, uint8_t green, uint8_t red) {
  g_lut[4 * i] = blue;
  g_lut[4 * i + 1] = green;
  g_lut[4 * i + 2] = red;
  g_lut[4 * i + 3] = 0;
}

}  // namespace

extern "C" int32_t mrDisplayLut(const char* keyword, const void* entries, const void** address,
                                int32_t* byteSize) {
  std::lock_guard<std::mutex> lock(g_lutMutex);
  const int letter = keyword ? std::tolower(static_cast<unsigned char>(keyword[0])) : 0;
  switch (letter) {
    case 'i':
      break;
    case 'l':
      for (int i = 0; i < 256; ++i) Entry(i, uint8_t(i), uint8_t(i), uint8_t(i));
      g_lutEntries = 256;
      break;
    case 'w':
      Entry(0, 255, 255, 255);
      Entry(1, 0, 0, 0);
      g_lutEntries = 2;
      break;
    case 'b':
      Entry(0, 0, 0, 0);
      Entry(1, 255, 255, 255);
      g_lutEntries = 2;
      break;
    case 's':
    case 'm':
      if (!entries) {
        return vantor::err::Report(__func__, VANTOR_ERROR_PARAMETER,
                                   "keyword '%.40s' needs entries", keyword),
               -1;
      }
      g_lutEntries = letter == 's' ? 256 : 2;
      std::memcpy(g_lut, entries, size_t(g_lutEntries) * 4);
      break;
    default:
      if (keyword == nullptr) {
        return vantor::err::Report(__func__, VANTOR_ERROR_PARAMETER, "no keyword given"), -1;
      }
      return vantor::err::Report(__func__, VANTOR_ERROR_PARAMETER,
                                 "keyword '%.40s' is not one of Info Linear White/Black "
                                 "Black/White Set Mask",
                                 keyword),
             -1;
  }
  if (address) *address = g_lut;
  if (byteSize) *byteSize = g_lutEntries * 4;
  return g_lutEntries;
}

extern "C" int32_t mrDisplayLutCopy(void* dest) {
  std::lock_guard<std::mutex> lock(g_lutMutex);
  if (dest) std::memcpy(dest, g_lut, sizeof g_lut);
  return g_lutEntries;
}

void vantor::ForgetDisplayLut() {
  std::lock_guard<std::mutex> lock(g_lutMutex);
  g_lutEntries = 0;
}
