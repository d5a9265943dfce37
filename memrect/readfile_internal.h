// Internal side of the image loaders: controls, and what the per-format
// loaders (readfile.cpp, readfile_tiff.cpp, readfile_png.cpp) share.
#ifndef VANTOR_MEMRECT_READFILE_INTERNAL_H
#define VANTOR_MEMRECT_READFILE_INTERNAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantor {

// Largest pixel block (bytes) a loader may allocate; 0 (the default) means no
// limit beyond what the formats allow. The fuzz targets set it so that
// damaged headers cannot make them allocate gigabytes.
void SetLoadLimit(uint64_t bytes);
uint64_t LoadLimit();

// False, with the reason set, when bytes exceed the load limit.
bool WithinLimit(uint64_t bytes);

// The kind (VANTOR_ERROR_*) of a failure a decoder library reports only as
// text: MEMORY when it ran out of memory, else FORMAT (a memory cap that a
// damaged header runs into included).
int32_t DecoderMessageKind(const char* message);

// A new owned rectangle (zero-filled, 4-byte pitch), or -1 with the reason set.
int32_t CreateRect(uint32_t depth, uint32_t width, uint32_t height);

// The pixels of a rectangle as the loaders fill them.
struct Pixels {
  int32_t depth = -1, width = 0, height = 0, pitch = 0;
  uint8_t* base = nullptr;
  uint8_t* row(int32_t y) const { return base + std::ptrdiff_t(y) * pitch; }
};
Pixels Resolve(int32_t handle);

// byte -> byte with its bit order reversed.
extern const std::array<uint8_t, 256> kBitReverse;

// What a TIFF page carries besides its pixels.
struct TiffExtras {
  std::string description;        // ImageDescription
  std::vector<uint16_t> colorMap;  // palette: all red, then green, then blue
};

// Loads the TIFF page whose IFD lies at ifdOffset through libtiff into a new
// rectangle (same depths and layout as the own reader, plus what only libtiff
// reads). The handle, or -1 with the reason set; nothing is left behind.
int32_t LoadTiffPage(const char* path, uint64_t ifdOffset, TiffExtras* extras);

// Loads a PNG file into a new rectangle; the handle or -1 with the reason set.
int32_t LoadPng(const char* path);

// Whether chunk checksums of PNG files are ignored (default: checked). The
// PNG fuzz target ignores them, so that its mutations reach past them.
void SetPngIgnoreCrc(bool ignore);

}  // namespace vantor

#endif
