// Helpers shared by the kernel tests: images of random bytes laid out like an
// extern rectangle (the last row ends the allocation, so any read past it is
// caught by AddressSanitizer), and a loop over every vector target this
// machine can run.
#ifndef VANTOR_KERNELS_KERNELS_TEST_UTIL_H
#define VANTOR_KERNELS_KERNELS_TEST_UTIL_H

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernels_scalar.h"

namespace vantor::test {

inline const std::vector<int32_t>& AwkwardWidths() {
  static const std::vector<int32_t> w{1, 7, 8, 9, 15, 16, 17, 31, 33, 63, 64, 65, 200};
  return w;
}

struct Image {
  int32_t rowBytes = 0, height = 0, pitch = 0;
  std::vector<uint8_t> bytes;
  uint8_t* data() { return bytes.data(); }
  const uint8_t* data() const { return bytes.data(); }
};

// rowBytes used bytes per row, pitch - rowBytes padding bytes between rows,
// none after the last row.
inline Image RandomImage(std::mt19937& rng, int32_t rowBytes, int32_t height, int32_t pitch,
                         int spread = 256) {
  Image im;
  im.rowBytes = rowBytes;
  im.height = height;
  im.pitch = pitch;
  im.bytes.resize(static_cast<size_t>(height - 1) * pitch + rowBytes);
  for (auto& b : im.bytes) b = static_cast<uint8_t>(rng() % spread);
  return im;
}

// The pitches every layout test uses for a row of rowBytes: tight (the
// contiguous case) and two padded ones.
inline std::vector<int32_t> Pitches(int32_t rowBytes) {
  return {rowBytes, rowBytes + 3, rowBytes + 16};
}

// Runs f once per vector target compiled in and supported here, with the
// run-time dispatch forced to that target.
template <class F>
void ForEachTarget(F&& f) {
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  ASSERT_FALSE(targets.empty());
  for (int64_t t : targets) {
    hwy::SetSupportedTargetsForTest(t);
    SCOPED_TRACE(std::string("target ") + hwy::TargetName(t));
    ASSERT_EQ(std::string(KernelTargetName()), hwy::TargetName(t));
    f();
    if (::testing::Test::HasFatalFailure()) break;
  }
  hwy::SetSupportedTargetsForTest(0);
}

inline std::string Where(int32_t w, int32_t h, int32_t pitch) {
  return "width " + std::to_string(w) + " height " + std::to_string(h) + " pitch " +
         std::to_string(pitch);
}

}  // namespace vantor::test

#endif
