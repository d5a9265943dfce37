// Frames of the Python module: the pixel kinds numpy arrays are taken as.
#include "python/src/frames.h"


namespace vantor::pymod {

int32_t PixelBytes(PixelKind kind) {
  switch (kind) {
    case PixelKind::kU8: return 1;
    case PixelKind::kU16: return 2;
    case PixelKind::kF32: return 4;
    case PixelKind::kF64: return 8;
    case PixelKind::kRgb8: return 3;
    case PixelKind::kRgb16: return 6;
  }
  return 0;
}

const char* KindName(PixelKind kind) {
  switch (kind) {
    case PixelKind::kU8: return "uint8";
    case PixelKind::kU16: return "uint16";
    case PixelKind::kF32: return "float32";
    case PixelKind::kF64: return "float64";
    case PixelKind::kRgb8: return "uint8 colour";
    case PixelKind::kRgb16: return "uint16 colour";
  }
  return "?";
}

}  // namespace vantor::pymod
