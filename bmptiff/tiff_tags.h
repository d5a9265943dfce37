// Names of the TIFF tags and field types the readers look at, and of the
// values of the tags whose values they interpret.
#ifndef VANTOR_BMPTIFF_TIFF_TAGS_H
#define VANTOR_BMPTIFF_TIFF_TAGS_H

#include <cstdint>

namespace vantor::tiff {

enum Tag : uint16_t {
  kNewSubfileType = 254,
  kImageWidth = 256,
  kImageLength = 257,
  kBitsPerSample = 258,
  kCompression = 259,
  kPhotometric = 262,
  kFillOrder = 266,
  kImageDescription = 270,
  kStripOffsets = 273,
  kOrientation = 274,
  kSamplesPerPixel = 277,
  kRowsPerStrip = 278,
  kStripByteCounts = 279,
  kXResolution = 282,
  kYResolution = 283,
  kPlanarConfiguration = 284,
  kResolutionUnit = 296,
  kPredictor = 317,
  kColorMap = 320,
  kTileWidth = 322,
  kTileLength = 323,
  kTileOffsets = 324,
  kTileByteCounts = 325,
  kExtraSamples = 338,
  kSampleFormat = 339,
};

enum Type : uint16_t {
  kByte = 1,
  kAscii = 2,
  kShort = 3,
  kLong = 4,
  kRational = 5,
  kSByte = 6,
  kUndefined = 7,
  kSShort = 8,
  kSLong = 9,
  kSRational = 10,
  kFloat = 11,
  kDouble = 12,
};

// Bytes of one value of a field type; 0 for a type this reader does not know.
inline uint32_t TypeSize(uint32_t type) {
  static const uint8_t kSizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type < 13 ? kSizes[type] : 0;
}

inline bool IsIntegerType(uint32_t type) {
  return type == kByte || type == kShort || type == kLong || type == kSByte || type == kSShort ||
         type == kSLong;
}

// Header magic numbers: classic TIFF and BigTIFF.
constexpr uint16_t kClassicMagic = 42;
constexpr uint16_t kBigTiffMagic = 43;

// Compression values.
enum Compression : uint32_t {
  kNone = 1,
  kCcittRle = 2,
  kCcittFax3 = 3,
  kCcittFax4 = 4,
  kLzw = 5,
  kOldJpeg = 6,
  kJpeg = 7,
  kAdobeDeflate = 8,
  kPackBits = 32773,
  kDeflate = 32946,
  kLzma = 34925,
  kZstd = 50000,
  kWebp = 50001,
};

// PhotometricInterpretation values.
enum Photometric : uint32_t {
  kMinIsWhite = 0,
  kMinIsBlack = 1,
  kRgb = 2,
  kPalette = 3,
  kMask = 4,
  kSeparated = 5,  // CMYK
  kYCbCr = 6,
  kCieLab = 8,
};

// SampleFormat values.
enum SampleFormat : uint32_t {
  kUnsigned = 1,
  kSigned = 2,
  kIeeeFloat = 3,
};

constexpr uint32_t kPlanarContig = 1;
constexpr uint32_t kPlanarSeparate = 2;
constexpr uint32_t kFillLsbFirst = 2;
constexpr uint32_t kResolutionCentimetre = 3;

}  // namespace vantor::tiff

#endif
