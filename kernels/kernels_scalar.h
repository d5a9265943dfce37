// Plain scalar twins of the vector kernels of kernels/kernels.h: same
// arguments, same results bit for bit. They are the reference the tests
// compare the vector kernels with and the baseline of the benchmarks; they are
// compiled without automatic vectorisation. The neighbourhood kernels have
// theirs in NeiMem and MaskNei (improc/nei.h), the library's scalar filters.
#ifndef VANTOR_KERNELS_KERNELS_SCALAR_H
#define VANTOR_KERNELS_KERNELS_SCALAR_H

#include <cstdint>

namespace vantor::scalar {

// Where a mask search of tmFindBit starts: negative starts begin at 0 (a
// negative row at column 0), a column at or beyond the width moves to the
// next row. False when there is nothing to search.
inline bool SearchStart(const int32_t* x, const int32_t* y, int32_t width, int32_t height,
                        int64_t* sx, int64_t* sy) {
  if (!x || !y || width < 1 || height < 1) return false;
  *sx = *x < 0 || *y < 0 ? 0 : *x;
  *sy = *y < 0 ? 0 : *y;
  if (*sx >= width) {
    *sx = 0;
    ++*sy;
  }
  return true;
}

int32_t tmMMM(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t width, int32_t height,
              int32_t pitchA, int32_t pitchB, int32_t pitchC, int32_t code);
int32_t tmMoveByteRect(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                       int32_t srcPitch, int32_t dstPitch, int32_t flags);
int32_t tmMoveConst(int32_t value, uint8_t* dst, int32_t width, int32_t height, int32_t pitch);
int32_t tmMCMb(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width, int32_t height,
               int32_t srcPitch, int32_t dstPitch, int32_t code);
int32_t tmMCMw(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width, int32_t height,
               int32_t srcPitch, int32_t dstPitch, int32_t code);
int32_t tmMCMd(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width, int32_t height,
               int32_t srcPitch, int32_t dstPitch, int32_t code);
int32_t tmMCmaskMb(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t width,
                   int32_t height, int32_t srcPitch, int32_t dstPitch, int32_t maskPitch,
                   int32_t constant, int32_t flags);
int32_t tmMMmaskMb(const uint8_t* a, uint8_t* b, const uint8_t* mask, int32_t width,
                   int32_t height, int32_t pitchA, int32_t pitchB, int32_t maskPitch,
                   int32_t flags);
int32_t tmCmaskMoveB(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t width,
                     int32_t height, int32_t srcPitch, int32_t dstPitch, int32_t maskPitch,
                     int32_t invert);
int32_t tmThreshMaskB(const uint8_t* src, int32_t t, uint8_t* mask, int32_t width,
                      int32_t height, int32_t srcPitch, int32_t maskPitch, int32_t relation);
int64_t tmMaskOnes(const uint8_t* mask, int32_t x0, int32_t y0, int32_t width, int32_t height,
                   int32_t pitch);
int32_t tmFindBit(const uint8_t* mask, int32_t width, int32_t height, int32_t pitch, int32_t* x,
                  int32_t* y, int32_t findClear);
int32_t tmMoveBitRow(const uint8_t* src, int64_t srcBit, uint8_t* dst, int64_t dstBit,
                     int64_t count);
int32_t tmMoveBitRect(const uint8_t* src, int32_t srcX, int32_t srcPitch, uint8_t* dst,
                      int32_t dstX, int32_t dstPitch, int32_t width, int32_t height);
int32_t tmSubstByteRect(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                        int32_t srcPitch, int32_t dstPitch, const uint8_t* table);
int32_t tmReverseBits(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                      int32_t srcPitch, int32_t dstPitch);
int32_t tmDiffer(const uint8_t* a, const uint8_t* b, int32_t width, int32_t height,
                 int32_t pitchA, int32_t pitchB);
int64_t tmMask3bord(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                    int32_t srcPitch, int32_t dstPitch, int32_t flags);
int32_t tmMask2StEl(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                    int32_t srcPitch, int32_t dstPitch, const uint8_t* se, int32_t seWidth,
                    int32_t seHeight, int32_t sePitch, int32_t cx, int32_t cy);
int32_t tmMStElM1sOr0s(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                       int32_t srcPitch, int32_t dstPitch, const uint8_t* se, int32_t seWidth,
                       int32_t seHeight, int32_t sePitch, int32_t cx, int32_t cy, int32_t zeros);

}  // namespace vantor::scalar

namespace vantor {
// Name of the vector target the kernels dispatch to at this moment.
const char* KernelTargetName();
}  // namespace vantor

#endif
