// The radix selection against std::nth_element: the same value for every k
// on samples with ties, signs, zeros of both signs and wide ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "registration/drift_internal.h"

namespace vantor::drift {
namespace {

TEST(DriftSelect, GivesTheValueNthElementGives) {
  std::mt19937 rng(3);
  std::normal_distribution<float> normal(0.0f, 30.0f);
  std::uniform_int_distribution<int> small(-3, 3);
  std::vector<uint32_t> keys;
  for (const size_t n : {10u, 64u, 65u, 999u, 2048u}) {
    for (int kind = 0; kind < 3; ++kind) {
      std::vector<float> v(n);
      for (float& x : v)
        x = kind == 0 ? normal(rng) : kind == 1 ? static_cast<float>(small(rng)) * 0.5f
                                                : std::ldexp(normal(rng), small(rng) * 20);
      if (kind == 1) v[0] = -0.0f;
      for (size_t k = 0; k < n; k += std::max<size_t>(1, n / 37)) {
        std::vector<float> a = v, b = v;
        std::nth_element(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(k), a.end());
        const float got = SelectNth(b, k, keys);
        ASSERT_EQ(got, a[k]) << n << " " << kind << " " << k;
        // The sample keeps its values (in any order).
        std::sort(b.begin(), b.end());
        std::sort(a.begin(), a.end());
        ASSERT_EQ(a, b);
      }
    }
  }
}

}  // namespace
}  // namespace vantor::drift
