// Internal: scaling of bytes by a ratio through a 256-entry table, the inner
// loop of the brightness scaling of 8-bit (and colour) images.
//
// Entry i of the table is (i * mul) / div in unsigned 32-bit arithmetic (the
// product keeps its low 32 bits, the quotient is truncated), replaced by 255
// and marked clipped when it is 256 or more. The scalar kernel looks every
// byte up; the vector kernel computes min(255, p * q + ((p * m) >> 16)) on
// 16-bit lanes, with q and m chosen so that this equals the table entry for
// every p. MakeByteScale checks that equality for all 256 values (and that
// the clipped entries are exactly those above one limit); when it does not
// hold the vector kernel falls back to the table, so both kernels always give
// the same bytes and the same clip count.
#ifndef VANTOR_IMPROC_BYTESCALE_H
#define VANTOR_IMPROC_BYTESCALE_H

#include <cstddef>
#include <cstdint>

namespace vantor {

struct ByteScale {
  uint8_t table[256];
  uint8_t clipped[256];  // 1 where the table entry was clipped at 255
  uint16_t q = 0;        // integer part of the ratio, at most 256
  uint16_t m = 0;        // fraction of the ratio in 1/65536 units, rounded up
  uint8_t limit = 255;   // values above it are clipped (when vectorOk)
  bool anyClipped = false;
  bool vectorOk = false;
};

// Builds the table for mul / div (div 0 is taken as 1).
void MakeByteScale(uint32_t mul, uint32_t div, ByteScale& s);

// Replaces rowBytes bytes of each of height rows through the table; returns
// the number of bytes whose entry was clipped.
int64_t ByteScaleRowsScalar(const ByteScale& s, uint8_t* pixels, int64_t rowBytes,
                            int32_t height, ptrdiff_t pitch);
int64_t ByteScaleRowsVector(const ByteScale& s, uint8_t* pixels, int64_t rowBytes,
                            int32_t height, ptrdiff_t pitch);

}  // namespace vantor

#endif
