// Writes a synthetic image sequence for benchmarks: frames of a smooth
// textured field drifting by sub-pixel steps.
//
//   make_sequence FOLDER FRAMES WIDTH HEIGHT DEPTH      (DEPTH 8, 16 or 24)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/image_writer.h"
#include "tools/synthetic_image.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: make_sequence FOLDER FRAMES WIDTH HEIGHT DEPTH\n");
    return 2;
  }
  const std::string folder = argv[1];
  const int frames = std::atoi(argv[2]), w = std::atoi(argv[3]), h = std::atoi(argv[4]);
  const int depth = std::atoi(argv[5]);
  if (frames < 1 || w < 1 || h < 1 || (depth != 8 && depth != 16 && depth != 24)) {
    std::fprintf(stderr, "make_sequence: bad arguments\n");
    return 2;
  }
  auto blobs = vantor::tools::MakeBlobs(w, h, w * h / 2500 + 40, 17);
  for (int k = 0; k < frames; ++k) {
    const double dx = 0.31 * k + 0.4 * std::sin(0.9 * k), dy = -0.17 * k + 0.3 * std::cos(0.5 * k);
    auto grey = vantor::tools::RenderBlobs(blobs, w, h, dx, dy);
    // Rows top first for the file.
    std::vector<uint8_t> px;
    px.reserve(static_cast<size_t>(w) * h * (depth / 8));
    for (int y = h - 1; y >= 0; --y)
      for (int x = 0; x < w; ++x) {
        const uint8_t v = grey[static_cast<size_t>(y) * w + x];
        if (depth == 8) {
          px.push_back(v);
        } else if (depth == 16) {
          const uint16_t wide = static_cast<uint16_t>(v * 257 / 16);  // 12 bits used
          px.push_back(static_cast<uint8_t>(wide & 0xFF));
          px.push_back(static_cast<uint8_t>(wide >> 8));
        } else {
          px.push_back(static_cast<uint8_t>(v * 3 / 4));
          px.push_back(v);
          px.push_back(static_cast<uint8_t>(255 - v / 2));
        }
      }
    char name[64];
    std::snprintf(name, sizeof name, "/frame%05d.tif", k + 1);
    bool ok = depth == 24 ? vantor::tools::WriteTiff(folder + name, px, w, h, 8, 3)
                          : vantor::tools::WriteTiff(folder + name, px, w, h, depth == 16 ? 16 : 8);
    if (!ok) {
      std::fprintf(stderr, "make_sequence: cannot write %s%s\n", folder.c_str(), name);
      return 1;
    }
  }
  return 0;
}
