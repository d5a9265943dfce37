// Fuzz target: loading any file into a memory rectangle (TIFF, BMP, JPEG).
#include <cstddef>
#include <cstdint>

#include "bmptiff/fuzz_input_file.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/readfile_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Damaged headers may ask for huge images; keep allocations modest.
  vantor::SetLoadLimit(64u << 20);
  vantor::FuzzInputFile file(data, size);
  if (!file.ok()) return 0;
  const int32_t flags = size > 0 ? (data[size - 1] & 1) : 0;  // sometimes install the colour table
  int32_t h = mrReadFileLut(file.path(), flags);
  if (h > 0) {
    int32_t width = 0, height = 0, pitch = 0;
    void* pixels = nullptr;
    int32_t depth = mrGetExtendedInfo(h, &width, &height, &pitch, &pixels);
    // Touch the whole block: a short allocation or a bad pitch shows here.
    if (depth > 0 && pixels) {
      volatile uint8_t sum = 0;
      const uint8_t* p = static_cast<const uint8_t*>(pixels);
      for (int64_t i = 0; i < int64_t(pitch) * height; i += 61) sum = uint8_t(sum + p[i]);
    }
    mrFree(h);
  }
  mrLastLoadError();
  return 0;
}
