#include "improc/blocksub.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "generic/last_error.h"

namespace {

// "MEAN" by column sums: each block row's pixels are added into per-column
// totals (a loop the compiler vectorises; 16-bit totals while by * 255 fits),
// then bx neighbouring totals make a block. floor(sum / N + 0.5) equals the
// exact integer (2 sum + N) / (2 N).
// Sums BX neighbouring column totals into one rounded mean per block; a
// shift when the block holds a power of two pixels.
template <int BX, typename Sum>
void HorizontalMean(const Sum* colSum, uint8_t* o, int32_t cols, uint64_t n) {
  if (std::has_single_bit(n)) {
    const int shift = std::countr_zero(n) + 1;
    for (int32_t i = 0; i < cols; ++i) {
      uint64_t s = 0;
      for (int k = 0; k < BX; ++k) s += colSum[static_cast<size_t>(i) * BX + k];
      o[i] = static_cast<uint8_t>((2 * s + n) >> shift);
    }
    return;
  }
  for (int32_t i = 0; i < cols; ++i) {
    uint64_t s = 0;
    for (int k = 0; k < BX; ++k) s += colSum[static_cast<size_t>(i) * BX + k];
    o[i] = static_cast<uint8_t>((2 * s + n) / (2 * n));
  }
}

template <typename Sum>
void BlockMean(const uint8_t* src, int32_t srcPitch, uint8_t* out, int32_t outPitch, int32_t cols,
               int32_t rows, int32_t bx, int32_t by) {
  const size_t used = static_cast<size_t>(cols) * static_cast<size_t>(bx);
  std::vector<Sum> colSum(used);
  const uint64_t n = static_cast<uint64_t>(bx) * static_cast<uint64_t>(by);
  for (int32_t j = 0; j < rows; ++j) {
    std::fill(colSum.begin(), colSum.end(), Sum{0});
    const uint8_t* block = src + static_cast<ptrdiff_t>(j) * by * srcPitch;
    for (int32_t r = 0; r < by; ++r) {
      const uint8_t* row = block + static_cast<ptrdiff_t>(r) * srcPitch;
      Sum* sum = colSum.data();
      for (size_t x = 0; x < used; ++x) sum[x] = static_cast<Sum>(sum[x] + row[x]);
    }
    uint8_t* o = out + static_cast<ptrdiff_t>(j) * outPitch;
    switch (bx) {
      case 2: HorizontalMean<2>(colSum.data(), o, cols, n); break;
      case 3: HorizontalMean<3>(colSum.data(), o, cols, n); break;
      case 4: HorizontalMean<4>(colSum.data(), o, cols, n); break;
      default:
        for (int32_t i = 0; i < cols; ++i) {
          uint64_t s = 0;
          for (int32_t k = 0; k < bx; ++k) s += colSum[static_cast<size_t>(i) * bx + k];
          o[i] = static_cast<uint8_t>((2 * s + n) / (2 * n));
        }
    }
  }
}

inline int GetBit(const uint8_t* row, int64_t x) { return (row[x >> 3] >> (x & 7)) & 1; }

// For each byte, the votes of its groups of K bits (ties give 1), packed from bit 0.
template <int K>
constexpr std::array<uint8_t, 256> VoteTable() {
  std::array<uint8_t, 256> t{};
  for (int b = 0; b < 256; ++b) {
    int out = 0;
    for (int g = 0; g < 8 / K; ++g) {
      const int ones = std::popcount(static_cast<unsigned>((b >> (g * K)) & ((1 << K) - 1)));
      if (2 * ones >= K) out |= 1 << g;
    }
    t[static_cast<size_t>(b)] = static_cast<uint8_t>(out);
  }
  return t;
}
constexpr auto kVotes2 = VoteTable<2>();
constexpr auto kVotes4 = VoteTable<4>();
constexpr auto kVotes8 = VoteTable<8>();

// Reduction by a factor k of 2, 4 or 8 (sw = k * dw): whole source bytes at a
// time through the vote tables; the same bits as the bit-by-bit vote.
void ReduceByBytes(const uint8_t* s, int64_t sw, uint8_t* d, int k) {
  const auto& table = k == 2 ? kVotes2 : k == 4 ? kVotes4 : kVotes8;
  const int per = 8 / k;
  uint32_t acc = 0;
  int bits = 0;
  int64_t o = 0;
  auto push = [&](uint32_t votes, int n) {
    acc |= votes << bits;
    bits += n;
    while (bits >= 8) {
      d[o++] = static_cast<uint8_t>(acc);
      acc >>= 8;
      bits -= 8;
    }
  };
  const int64_t whole = sw / 8;
  for (int64_t i = 0; i < whole; ++i) push(table[s[i]], per);
  const int rest = static_cast<int>(sw % 8);  // a multiple of k
  if (rest > 0) {
    const uint8_t last = static_cast<uint8_t>(s[whole] & ((1u << rest) - 1));
    push(table[last] & ((1u << (rest / k)) - 1), rest / k);
  }
  if (bits > 0) d[o] = static_cast<uint8_t>(acc & ((1u << bits) - 1));
}

}  // namespace

extern "C" {

int32_t BlockSubsampling(const void* src, int32_t srcWidth, int32_t srcHeight, int32_t srcPitch,
                         void* out, int32_t outWidth, int32_t outHeight, int32_t outPitch,
                         int32_t bx, int32_t by, int32_t code) {
  return vantor::err::Guarded(__func__, int32_t(0), [&]() -> int32_t {
    namespace err = vantor::err;
    if (srcWidth <= 0 || srcHeight <= 0 || outWidth <= 0 || outHeight <= 0) {
      return err::Fail(err::kParameter, "source %d x %d or output %d x %d is empty", srcWidth,
                       srcHeight, outWidth, outHeight),
             0;
    }
    if (bx < 1 || by < 1) {
      return err::Fail(err::kParameter, "block %d x %d (both at least 1)", bx, by), 0;
    }
    const int32_t cols = std::min(srcWidth / bx, outWidth);
    const int32_t rows = std::min(srcHeight / by, outHeight);
    if (code < 1 || code > 8) code = kBlockMean;
    const auto* s = static_cast<const uint8_t*>(src);
    auto* o = static_cast<uint8_t*>(out);
    if (code == kBlockMean) {
      if (static_cast<int64_t>(by) * 255 <= UINT16_MAX) {
        BlockMean<uint16_t>(s, srcPitch, o, outPitch, cols, rows, bx, by);
        return code;
      }
      if (static_cast<int64_t>(by) * 255 <= UINT32_MAX) {
        BlockMean<uint32_t>(s, srcPitch, o, outPitch, cols, rows, bx, by);
        return code;
      }
    }
    const double n = static_cast<double>(bx) * static_cast<double>(by);
    for (int32_t j = 0; j < rows; ++j) {
      for (int32_t i = 0; i < cols; ++i) {
        double sum = 0, sumSq = 0;
        uint32_t minOfMin = 255, maxOfMin = 0, minOfMax = 255, maxOfMax = 0;
        for (int32_t r = 0; r < by; ++r) {
          const uint8_t* p = s + (static_cast<ptrdiff_t>(j) * by + r) * srcPitch +
                             static_cast<ptrdiff_t>(i) * bx;
          uint32_t mn = 255, mx = 0;
          double rs = 0, rq = 0;
          for (int32_t k = 0; k < bx; ++k) {
            const uint32_t v = p[k];
            mn = std::min(mn, v);
            mx = std::max(mx, v);
            rs += v;
            rq += static_cast<double>(v * v);
          }
          sum += rs;
          sumSq += rq;
          minOfMin = std::min(minOfMin, mn);
          maxOfMin = std::max(maxOfMin, mn);
          minOfMax = std::min(minOfMax, mx);
          maxOfMax = std::max(maxOfMax, mx);
        }
        uint32_t v = 0;
        switch (code) {
          case kBlockMin: v = minOfMin; break;
          case kBlockMax: v = maxOfMax; break;
          case kBlockRange: v = maxOfMax - minOfMin; break;
          case kBlockMean: v = static_cast<uint32_t>(sum / n + 0.5); break;
          case kBlockStd: {
            const double var = (sumSq - sum * sum / n) / n;
            v = static_cast<uint32_t>(std::sqrt(var > 0 ? var : 0.0) + 0.5);
            break;
          }
          case kBlockMinMax: v = minOfMax; break;
          case kBlockMaxMin: v = maxOfMin; break;
          default: v = (minOfMax + maxOfMin) >> 1; break;
        }
        o[static_cast<ptrdiff_t>(j) * outPitch + i] = static_cast<uint8_t>(v);
      }
    }
    return code;
  });
}

int32_t BitRowToRow(const void* src, int32_t srcWidth, void* dst, int32_t dstWidth) {
  if (srcWidth <= 0 || dstWidth <= 0) return 0;
  const auto* s = static_cast<const uint8_t*>(src);
  auto* d = static_cast<uint8_t*>(dst);
  const int64_t sw = srcWidth, dw = dstWidth;
  if (sw == 2 * dw || sw == 4 * dw || sw == 8 * dw) {
    ReduceByBytes(s, sw, d, static_cast<int>(sw / dw));
    return 2;
  }
  uint8_t byte = 0;
  int bit = 0;
  int64_t written = 0;
  auto emit = [&](int value) {
    byte = static_cast<uint8_t>(byte | (value << bit));
    if (++bit == 8) {
      d[written >> 3] = byte;
      byte = 0;
      bit = 0;
    }
    ++written;
  };
  if (sw <= dw) {
    // Output bit x takes source bit floor(x * sw / dw).
    int64_t acc = dw - sw;
    int64_t sx = -1;
    int value = 0;
    for (int64_t x = 0; x < dw; ++x) {
      acc += sw;
      if (acc >= dw) {
        acc -= dw;
        value = GetBit(s, ++sx);
      }
      emit(value);
    }
  } else {
    int64_t acc = 0, ones = 0, zeros = 0;
    for (int64_t x = 0; x < sw && written < dw; ++x) {
      if (GetBit(s, x)) ++ones; else ++zeros;
      acc += dw;
      if (acc >= sw) {
        acc -= sw;
        emit(ones >= zeros ? 1 : 0);
        ones = zeros = 0;
      }
    }
  }
  if (bit != 0) d[written >> 3] = byte;
  return sw <= dw ? 1 : 2;
}

void MovMemory(const void* src, void* dst, size_t count) {
  if (count > 0) std::memmove(dst, src, count);
}

}  // extern "C"
