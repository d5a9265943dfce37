// The TIFF side of opening a file: the image file directory (IFD) is found,
// put into machine order and its tags read into the per-file record. Tag
// values are taken from the buffered file start when they lie there and read
// from the file otherwise, always checked against the file's size.
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "bmptiff/bmptiff_internal.h"
#include "bmptiff/file_record.h"
#include "bmptiff/reader_internal.h"
#include "bmptiff/tiff_tags.h"

namespace vantor {
namespace {

using namespace tiff;

enum class TagResult { kAbsent, kOk, kBad };

// Integer values of a tag (BYTE, SHORT, LONG and their signed kinds).
TagResult TagNumbers(Record& r, uint16_t tag, std::vector<uint32_t>& values) {
  values.clear();
  const uint8_t* e = FindEntry(r, tag);
  if (!e) return TagResult::kAbsent;
  uint32_t type = Ld16(e + 2);
  uint32_t ts = TypeSize(type);
  if (!IsIntegerType(type)) {
    SetFileError("TIFF tag %u has type %u", unsigned(tag), unsigned(type));
    return TagResult::kBad;
  }
  std::vector<uint8_t> bytes;
  if (!FetchValue(r, e, bytes)) return TagResult::kBad;
  size_t n = bytes.size() / ts;
  values.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = bytes.data() + i * ts;
    values[i] = ts == 1 ? p[0] : ts == 2 ? Ld16(p) : Ld32(p);
  }
  return TagResult::kOk;
}

// First value of an integer tag, or fallback when absent or unreadable.
uint32_t TagFirst(Record& r, uint16_t tag, uint32_t fallback, bool* present = nullptr) {
  std::vector<uint32_t> v;
  bool ok = TagNumbers(r, tag, v) == TagResult::kOk && !v.empty();
  if (present) *present = ok;
  return ok ? v[0] : fallback;
}

// Puts an "MM" IFD entry into machine order, in place.
void SwapEntry(uint8_t* e) {
  Swap16At(e);
  Swap16At(e + 2);
  Swap32At(e + 4);
  uint32_t ts = TypeSize(Ld16(e + 2));
  uint64_t size = uint64_t(Ld32(e + 4)) * ts;
  if (size > 4) {
    Swap32At(e + 8);  // an offset
  } else if (ts == 2) {
    Swap16At(e + 8);
    Swap16At(e + 10);
  } else if (ts == 4) {
    Swap32At(e + 8);
  }
}

// Millimetres per pixel from a resolution rational n/d (pixels per unit).
double Rational(Record& r, uint16_t tag) {
  const uint8_t* e = FindEntry(r, tag);
  if (!e || Ld16(e + 2) != kRational || Ld32(e + 4) < 1) return 0;
  std::vector<uint8_t> v;
  if (!FetchValue(r, e, v) || v.size() < 8) return 0;
  uint32_t n = Ld32(v.data()), d = Ld32(v.data() + 4);
  return n == 0 ? 0 : double(d) / double(n);
}

// Locates the IFD at ifdOffset: in the buffered file start when it is near
// the beginning (or the file is small), else read on its own into the buffer
// after its first 8 bytes.
bool PlaceIfd(Record& r, uint32_t ifdOffset) {
  uint8_t* buf = r.header.get();
  auto entriesAt = [&](const uint8_t* p) {
    uint16_t n = Ld16(p);
    return r.bigEndian ? uint16_t((n >> 8) | (n << 8)) : n;
  };
  uint32_t available = 0;  // IFD bytes in the buffer from its start
  bool inPlace = false;
  if ((r.fileSize <= kHeaderBytes || ifdOffset < 2048) && ifdOffset + 2 <= r.buffered) {
    uint32_t n = entriesAt(buf + ifdOffset);
    if (ifdOffset + 2 + 12 * n <= r.buffered) {
      inPlace = true;
      r.ifd = buf + ifdOffset;
      r.bufferLimit = ifdOffset;
      available = r.buffered - ifdOffset;
    }
  }
  if (!inPlace) {
    uint64_t want = std::min<uint64_t>(kIfdRereadBytes, r.fileSize - ifdOffset);
    std::memset(buf + 8, 0, kHeaderBytes - 8);
    if (!PreadAll(r.fd.get(), buf + 8, want, ifdOffset)) {
      SetFileErrorOf(err::kFile, "cannot read the TIFF IFD");
      return false;
    }
    r.ifd = buf + 8;
    r.bufferLimit = 8;
    available = uint32_t(want);
  }
  r.ifdEntries = entriesAt(r.ifd);
  if (r.ifdEntries == 0) {
    SetFileError("TIFF IFD has no entries");
    return false;
  }
  if (2 + 12 * uint64_t(r.ifdEntries) > available) {
    SetFileError("TIFF IFD with %u entries runs past the end of the file", unsigned(r.ifdEntries));
    return false;
  }
  if (r.bigEndian) {
    St16(r.ifd, uint16_t(r.ifdEntries));
    for (uint32_t i = 0; i < r.ifdEntries; ++i) SwapEntry(r.ifd + 2 + 12 * i);
  }
  return true;
}

}  // namespace

uint8_t* FindEntry(Record& r, uint16_t tag) {
  if (!r.ifd) return nullptr;
  for (uint32_t i = 0; i < r.ifdEntries; ++i) {
    uint8_t* e = r.ifd + 2 + 12 * i;
    if (Ld16(e) == tag) return e;
  }
  return nullptr;
}

// Copies the value of an entry into out, in machine order. The value must lie
// inside the file. False (reason set) otherwise or when the read fails.
bool FetchValue(Record& r, const uint8_t* e, std::vector<uint8_t>& out) {
  uint32_t type = Ld16(e + 2);
  uint64_t count = Ld32(e + 4);
  uint32_t ts = TypeSize(type);
  uint64_t size = count * ts;
  if (size <= 4) {
    out.assign(e + 8, e + 8 + size);
    return true;
  }
  uint64_t offset = Ld32(e + 8);
  if (offset + size > r.fileSize) {
    SetFileError("TIFF tag %u: value outside the file", unsigned(Ld16(e)));
    return false;
  }
  // Strip tables of a 2 GiB picture stay far below this; more is damage.
  constexpr uint64_t kMaxTagBytes = uint64_t(64) << 20;
  if (size > kMaxTagBytes) {
    SetFileError("TIFF tag %u holds %llu MiB, above the limit of 64 MiB for one tag", unsigned(Ld16(e)),
                 static_cast<unsigned long long>(size >> 20));
    return false;
  }
  out.resize(size);
  if (offset + size <= r.bufferLimit) {
    std::memcpy(out.data(), r.header.get() + offset, size);
  } else if (!PreadAll(r.fd.get(), out.data(), size, offset)) {
    SetFileErrorOf(err::kFile, "TIFF tag %u: value cannot be read", unsigned(Ld16(e)));
    return false;
  }
  if (r.bigEndian) {
    uint8_t* p = out.data();
    if (ts == 2) {
      for (uint64_t i = 0; i < size; i += 2) Swap16At(p + i);
    } else if (ts == 4 || ts == 8) {
      for (uint64_t i = 0; i < size; i += 4) Swap32At(p + i);
    }
  }
  return true;
}

bool ParseTiff(Record& r, uint64_t ifdAt) {
  uint8_t* buf = r.header.get();
  r.bigEndian = buf[0] == 'M';
  if (r.buffered < 8) {
    SetFileError("file too short for a TIFF header");
    return false;
  }
  uint16_t magic = r.bigEndian ? Be16(buf + 2) : Le16(buf + 2);
  uint64_t ifdOffset = r.bigEndian ? Be32(buf + 4) : Le32(buf + 4);
  if (magic == kBigTiffMagic) {
    SetUnsupportedError("BigTIFF files are not supported");
    return false;
  }
  if (magic != kClassicMagic) {
    SetFileError("not a TIFF file (magic number %u)", unsigned(magic));
    return false;
  }
  if (ifdAt) ifdOffset = ifdAt;
  if (ifdOffset < 8 || ifdOffset + 2 > r.fileSize) {
    SetFileError("TIFF IFD offset %llu lies outside the file",
                 static_cast<unsigned long long>(ifdOffset));
    return false;
  }
  if (!PlaceIfd(r, uint32_t(ifdOffset))) return false;

  std::vector<uint32_t> v;
  bool present = false;
  r.width = TagFirst(r, kImageWidth, 0, &present);
  if (!present) {
    SetFileError("TIFF ImageWidth missing");
    return false;
  }
  r.length = TagFirst(r, kImageLength, 0, &present);
  if (!present) {
    SetFileError("TIFF ImageLength missing");
    return false;
  }
  // BitsPerSample: absent means one bit per sample.
  TagResult bps = TagNumbers(r, kBitsPerSample, v);
  if (bps == TagResult::kBad) return false;
  if (bps == TagResult::kAbsent || v.empty()) v.assign(1, 1);
  uint32_t spp = TagFirst(r, kSamplesPerPixel, 0, &present);
  if (present && spp == 0) {
    SetFileError("TIFF SamplesPerPixel is 0");
    return false;
  }
  if (present && v.size() == 1 && spp > 1 && spp <= 16) v.assign(spp, v[0]);
  uint64_t bits = 0;
  for (uint32_t b : v) {
    bits += b;
    if (b != v[0]) r.samplesDiffer = true;
  }
  if (bits == 0 || bits > 1024) {
    SetFileError("TIFF with %llu bits per pixel is not supported", static_cast<unsigned long long>(bits));
    return false;
  }
  r.bitsPerPixel = uint32_t(bits);
  r.samples = uint32_t(v.size());
  r.bitsPerSample = v[0];
  uint64_t rowBytes = (bits * r.width + 7) / 8;
  uint64_t dataSize = rowBytes * r.length;
  if (rowBytes > UINT32_MAX || dataSize > UINT32_MAX) {
    SetUnsupportedError("TIFF image of %u x %u is too large", unsigned(r.width), unsigned(r.length));
    return false;
  }
  r.rowBytes = uint32_t(rowBytes);
  r.dataSize = uint32_t(dataSize);
  r.rowsPerStrip = TagFirst(r, kRowsPerStrip, 0);

  TagResult so = TagNumbers(r, kStripOffsets, r.stripOffsets);
  if (so == TagResult::kAbsent) {
    if (FindEntry(r, kTileOffsets))
      SetUnsupportedError("tiled TIFF is not supported");
    else
      SetFileError("TIFF StripOffsets missing");
    return false;
  }
  if (so == TagResult::kBad) return false;
  if (r.stripOffsets.empty()) {
    SetFileError("TIFF StripOffsets has no values");
    return false;
  }
  for (size_t i = 0; i < r.stripOffsets.size(); ++i)
    if (r.stripOffsets[i] < 8) {
      SetFileError("pixel data inside the header: TIFF strip %zu at offset %u", i + 1,
                   unsigned(r.stripOffsets[i]));
      return false;
    }
  TagResult sc = TagNumbers(r, kStripByteCounts, r.stripCounts);
  if (sc == TagResult::kBad) return false;
  if (sc == TagResult::kAbsent) {
    if (r.stripOffsets.size() != 1) {
      SetFileError("TIFF StripByteCounts missing for %zu strips", r.stripOffsets.size());
      return false;
    }
    r.stripCounts.assign(1, r.dataSize);
  } else if (r.stripCounts.size() != r.stripOffsets.size()) {
    SetFileError("TIFF StripOffsets and StripByteCounts differ in length");
    return false;
  }

  r.photometric = TagFirst(r, kPhotometric, kMinIsBlack, &r.photometricPresent);
  if (r.photometric == kPalette) {
    TagResult cm = TagNumbers(r, kColorMap, v);
    if (cm == TagResult::kBad) return false;
    if (cm == TagResult::kOk) r.colorMap.assign(v.begin(), v.end());
  }
  double factor = TagFirst(r, kResolutionUnit, 2) == kResolutionCentimetre ? 10.0 : 25.4;
  r.pixelWidth = factor * Rational(r, kXResolution);
  r.pixelHeight = factor * Rational(r, kYResolution);
  r.compression = TagFirst(r, kCompression, kNone);
  r.planar = TagFirst(r, kPlanarConfiguration, kPlanarContig);
  r.fillOrder = TagFirst(r, kFillOrder, 1);
  if (TagNumbers(r, kSampleFormat, v) == TagResult::kOk) {
    r.sampleFormat = v.empty() ? kUnsigned : v[0];
    for (uint32_t f : v)
      if (f == kIeeeFloat) r.sampleFormat = kIeeeFloat;
  }
  ClearFileError();  // optional tags may have left a reason behind
  return true;
}

}  // namespace vantor
