// The k-th smallest of a few thousand floats, the robust scale's quantiles
// at every step of the refinements: a radix selection on the floats' bits
// (three passes of 11 bits over what is left), the same value as
// std::nth_element gives without its branches' mispredictions, which made
// those selections a tenth of a run.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "registration/drift_internal.h"

namespace vantor::drift {
namespace {

// The bits of f in an order that sorts as the floats do (-0 just before +0;
// NaN is never passed).
inline uint32_t Key(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return (u & 0x80000000u) != 0 ? ~u : u | 0x80000000u;
}

inline float FromKey(uint32_t k) {
  const uint32_t u = (k & 0x80000000u) != 0 ? k & 0x7fffffffu : ~k;
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

}  // namespace

float SelectNth(std::vector<float>& v, size_t k, std::vector<uint32_t>& keys) {
  if (v.size() < 64) {  // too few for the passes to pay
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
  }
  // Each pass keeps the keys in the bucket that holds the k-th and counts k
  // within it.
  keys.resize(v.size());
  for (size_t i = 0; i < v.size(); ++i) keys[i] = Key(v[i]);
  size_t n = keys.size();
  for (const int shift : {21, 10, 0}) {
    const int bits = shift == 0 ? 10 : 11;
    std::array<uint32_t, 2048> count{};
    const uint32_t mask = (1u << bits) - 1;
    for (size_t i = 0; i < n; ++i) ++count[(keys[i] >> shift) & mask];
    uint32_t bucket = 0;
    while (k >= count[bucket]) k -= count[bucket++];
    size_t m = 0;
    for (size_t i = 0; i < n; ++i)
      if (((keys[i] >> shift) & mask) == bucket) keys[m++] = keys[i];
    n = m;
    if (n == 1 || shift == 0) break;
  }
  return FromKey(keys[0]);
}

}  // namespace vantor::drift
