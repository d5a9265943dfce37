// Internal side of the image file readers: what the loaders need beyond the C
// interface, and the per-thread reason of the last failure.
#ifndef VANTOR_BMPTIFF_BMPTIFF_INTERNAL_H
#define VANTOR_BMPTIFF_BMPTIFF_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "bmptiff/bmptiff.h"
#include "generic/last_error.h"

namespace vantor {

// Short reason of the calling thread's last file failure ("" when none),
// with its kind (VANTOR_ERROR_*). SetFileError formats like printf and
// replaces the text (cut to the buffer's size) for damaged or unsupported
// contents (kind FORMAT); SetFileErrorOf states another kind: FILE when the
// file cannot be opened, read or written, MEMORY, PARAMETER.
const char* FileError();
int32_t FileErrorKind();
void SetFileError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void SetFileErrorOf(int32_t kind, const char* format, ...) __attribute__((format(printf, 2, 3)));
void ClearFileError();

// Counts the reasons set in this thread, so that an operation tells a reason
// of its own from one left by an earlier call.
uint64_t FileErrorSerial();
// States the current reason as the cause of the failing operation.
void StateFileError();

// Runs the body of an exported file operation like err::GuardedWhen: a
// reason set while it ran becomes the cause of its failure, and a shortage
// of memory that escapes as std::bad_alloc is also the load reason.
template <class F, class P>
std::invoke_result_t<F> FileGuardedWhen(const char* operation, std::invoke_result_t<F> failure,
                                        P failed, F&& body) {
  return err::GuardedWhen(operation, failure, failed, [&]() {
    const uint64_t serial = FileErrorSerial();
    std::invoke_result_t<F> r = failure;
    try {
      r = body();
    } catch (const std::bad_alloc&) {
      SetFileErrorOf(err::kMemory, "out of memory");
      r = failure;
    }
    if (failed(r) && FileErrorSerial() != serial) StateFileError();
    return r;
  });
}

template <class F>
std::invoke_result_t<F> FileGuarded(const char* operation, std::invoke_result_t<F> failure,
                                    F&& body) {
  using R = std::invoke_result_t<F>;
  return FileGuardedWhen(
      operation, failure, [failure](const R& r) { return r == failure; }, std::forward<F>(body));
}

// Layout facts of an open file that decide how its rows become pixels.
struct FileLayout {
  int32_t format = 0;            // 1 TIFF, 2 BMP
  uint32_t bitsPerPixel = 0;
  uint32_t width = 0;
  uint32_t length = 0;
  uint32_t rowBytes = 0;
  uint64_t fileSize = 0;
  uint32_t compression = 1;
  // TIFF
  bool bigEndian = false;
  uint32_t samples = 1;          // number of BitsPerSample values
  bool samplesDiffer = false;    // BitsPerSample values are not all equal
  uint32_t bitsPerSample = 1;    // the first BitsPerSample value
  uint32_t planar = 1;           // PlanarConfiguration
  uint32_t sampleFormat = 1;     // SampleFormat (3 is floating point)
  uint32_t fillOrder = 1;        // FillOrder (2: least significant bit first)
  uint32_t photometric = 1;
  // BMP
  bool topDown = false;
  // Millimetres per pixel, 0 when the file does not say.
  double pixelWidth = 0;
  double pixelHeight = 0;
};

// Fills layout for an open handle; false for a handle not in use.
bool GetFileLayout(int16_t handle, FileLayout* layout);

// Name of a TIFF compression code ("LZW", "PackBits", ...).
const char* TiffCompressionName(uint32_t compression);

// Reads the first `rows` file rows of an uncompressed file, file row k into
// first + k * step (step may be negative), row bytes each. Strips are read with
// as few system calls as their boundaries allow, straight into place. Returns
// false, with the reason set, on a read error or truncated data.
bool ReadRowsInto(int16_t handle, uint8_t* first, std::ptrdiff_t step, uint32_t rows);

}  // namespace vantor

#endif
