// Fuzz target: the BMP header parser and the row readers, run-length decoding included.
#include <cstdint>
#include <vector>

#include "bmptiff/fuzz_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  // Keep the mutations on the BMP side of the format switch.
  if (bytes.size() >= 2) {
    bytes[0] = 'B';
    bytes[1] = 'M';
  }
  vantor::fuzz::RunParser(bytes);
  return 0;
}
