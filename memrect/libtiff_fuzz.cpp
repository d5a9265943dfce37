// Fuzz target: TIFF pages through libtiff (every page found in the IFD chain,
// up to four), and through the loader's own-reader-first path.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bmptiff/fuzz_input_file.h"
#include "bmptiff/reader_internal.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/readfile_fuzz_util.h"
#include "memrect/readfile_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Damaged headers may ask for huge images; keep allocations modest.
  vantor::LoadControl budget;
  budget.maxBytes = 64u << 20;
  vantor::ForgetTiffPages();  // no chain of an earlier input may serve this one
  std::vector<uint8_t> bytes(data, data + size);
  // Keep the mutations on the TIFF side.
  if (bytes.size() >= 2 && !(bytes[0] == 'M' && bytes[1] == 'M')) bytes[0] = bytes[1] = 'I';
  vantor::FuzzInputFile file(bytes.data(), bytes.size());
  if (!file.ok()) return 0;
  const int32_t pages = mrPageCount(file.path());
  for (int32_t k = 1; k <= pages && k <= 4; ++k) {
    vantor::TiffPage page;
    if (!vantor::FindTiffPage(file.path(), k, &page)) break;
    vantor::TiffExtras extras;
    vantor::fuzz::TouchAndFree(vantor::LoadTiffPage(budget, file.path(), page.ifdOffset, &extras));
  }
  if (pages > 1) vantor::fuzz::TouchAndFree(vantor::LoadFileWith(budget, file.path(), 2, 0));
  return 0;
}
