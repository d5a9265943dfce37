// Fuzz target: the TIFF header parser, tag fetching and row reading.
#include <cstdint>
#include <vector>

#include "bmptiff/fuzz_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  // Keep the mutations on the TIFF side of the format switch.
  if (bytes.size() >= 2 && !(bytes[0] == 'M' && bytes[1] == 'M')) bytes[0] = bytes[1] = 'I';
  vantor::fuzz::RunParser(bytes);
  return 0;
}
