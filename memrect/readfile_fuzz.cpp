// Fuzz target: loading any file into a memory rectangle (TIFF, BMP, PNG, JPEG).
#include <cstddef>
#include <cstdint>

#include "bmptiff/fuzz_input_file.h"
#include "bmptiff/reader_internal.h"
#include "memrect/readfile.h"
#include "memrect/readfile_fuzz_util.h"
#include "memrect/readfile_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vantor::ForgetTiffPages();  // no chain of an earlier input may serve this one
  vantor::FuzzInputFile file(data, size);
  if (!file.ok()) return 0;
  const int32_t flags = size > 0 ? (data[size - 1] & 1) : 0;  // sometimes install the colour table
  // Damaged headers may ask for huge images; keep allocations modest.
  vantor::LoadControl budget;
  budget.maxBytes = 64u << 20;
  vantor::fuzz::TouchAndFree(vantor::LoadFileWith(budget, file.path(), 1, flags));
  mrLastLoadError();
  return 0;
}
