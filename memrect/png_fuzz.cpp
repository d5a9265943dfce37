// Fuzz target: PNG files into memory rectangles.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bmptiff/fuzz_input_file.h"
#include "memrect/readfile.h"
#include "memrect/readfile_fuzz_util.h"
#include "memrect/readfile_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vantor::SetPngIgnoreCrc(true);  // mutated chunks would else fail their checksums
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> bytes(kSignature, kSignature + 8);
  // Keep the mutations behind the signature.
  if (size >= 8 && std::memcmp(data, kSignature, 8) == 0)
    bytes.assign(data, data + size);
  else
    bytes.insert(bytes.end(), data, data + size);
  vantor::FuzzInputFile file(bytes.data(), bytes.size());
  if (!file.ok()) return 0;
  const VantorLoadLimits budget{64u << 20, 0, nullptr};
  vantor::fuzz::TouchAndFree(mrReadFileLimited(file.path(), 1, &budget));
  mrLastLoadError();
  return 0;
}
