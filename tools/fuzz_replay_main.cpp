// Runs a libFuzzer target over stored inputs without libFuzzer: every regular
// file named on the command line, or found (recursively) in a named folder, is
// passed once to LLVMFuzzerTestOneInput. A missing folder counts as empty.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

static int RunOne(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "fuzz replay: cannot read %s\n", p.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}

int main(int argc, char** argv) {
  int failures = 0;
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    fs::path arg(argv[i]);
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      for (const auto& e : fs::recursive_directory_iterator(arg, ec)) {
        if (e.is_regular_file()) {
          failures += RunOne(e.path());
          ++count;
        }
      }
    } else if (fs::exists(arg, ec)) {
      failures += RunOne(arg);
      ++count;
    }
  }
  std::printf("fuzz replay: %zu inputs\n", count);
  return failures == 0 ? 0 : 1;
}
