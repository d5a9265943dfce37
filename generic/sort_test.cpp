#include "generic/sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// Elements of 11 bytes: a 2-byte serial number at offset 0, the key at an odd
// offset (so it is never aligned), and filler.
constexpr int32_t kElem = 11;
constexpr int32_t kKeyAt = 3;

template <typename T>
std::vector<unsigned char> MakeElements(const std::vector<T>& keys) {
  std::vector<unsigned char> a(keys.size() * kElem, 0xEE);
  for (size_t i = 0; i < keys.size(); ++i) {
    uint16_t serial = static_cast<uint16_t>(i);
    std::memcpy(&a[i * kElem], &serial, 2);
    std::memcpy(&a[i * kElem + kKeyAt], &keys[i], sizeof(T));
  }
  return a;
}

std::vector<uint16_t> Serials(const std::vector<unsigned char>& a) {
  std::vector<uint16_t> s(a.size() / kElem);
  for (size_t i = 0; i < s.size(); ++i) std::memcpy(&s[i], &a[i * kElem], 2);
  return s;
}

// The serial numbers a stable sort by key gives.
template <typename T, typename Less>
std::vector<uint16_t> ExpectedSerials(const std::vector<T>& keys, Less less) {
  std::vector<uint16_t> s(keys.size());
  std::iota(s.begin(), s.end(), 0);
  std::stable_sort(s.begin(), s.end(), [&](uint16_t a, uint16_t b) { return less(keys[a], keys[b]); });
  return s;
}

template <typename T>
void CheckNumeric(int32_t keyType, std::mt19937& rng) {
  std::vector<T> keys(257);
  // Few distinct values, so that stability matters, spread over the whole range.
  std::vector<T> pool = {std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), T(0), T(1),
                         static_cast<T>(-1), static_cast<T>(std::numeric_limits<T>::max() / 2)};
  for (auto& k : keys) k = pool[rng() % pool.size()];
  for (bool desc : {false, true}) {
    auto a = MakeElements(keys);
    int32_t mode = keyType | (desc ? VANTOR_SORT_DESCENDING : 0) | (kKeyAt << VANTOR_SORT_OFFSET_SHIFT);
    ASSERT_EQ(SortInPlace(a.data(), kElem, static_cast<int32_t>(keys.size()), mode), 0);
    auto want = desc ? ExpectedSerials(keys, [](T x, T y) { return y < x; })
                     : ExpectedSerials(keys, [](T x, T y) { return x < y; });
    EXPECT_EQ(Serials(a), want) << "key type " << keyType << (desc ? " descending" : "");
    // The filler bytes travel with their element untouched.
    for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(a[i * kElem + 2], 0xEE);
  }
}

TEST(SortInPlace, IntegerKeysBySignednessAndWidthStableBothWays) {
  std::mt19937 rng(1);
  CheckNumeric<int8_t>(VANTOR_SORT_INT8, rng);
  CheckNumeric<uint8_t>(VANTOR_SORT_UINT8, rng);
  CheckNumeric<int16_t>(VANTOR_SORT_INT16, rng);
  CheckNumeric<uint16_t>(VANTOR_SORT_UINT16, rng);
  CheckNumeric<int32_t>(VANTOR_SORT_INT32, rng);
  CheckNumeric<uint32_t>(VANTOR_SORT_UINT32, rng);
}

TEST(SortInPlace, DoublesWithInfinitiesZerosAndNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> keys = {1.5, nan, -inf, 0.0, -0.0, inf, nan, -2.25, 1e-300};
  auto a = MakeElements(keys);
  ASSERT_EQ(SortInPlace(a.data(), kElem, 9, VANTOR_SORT_DOUBLE | (kKeyAt << 8)), 0);
  // -0.0 and 0.0 are equal and keep their order; NaNs go last.
  EXPECT_EQ(Serials(a), (std::vector<uint16_t>{2, 7, 3, 4, 8, 0, 5, 1, 6}));
  a = MakeElements(keys);
  ASSERT_EQ(SortInPlace(a.data(), kElem, 9, VANTOR_SORT_DOUBLE | VANTOR_SORT_DESCENDING | (kKeyAt << 8)), 0);
  EXPECT_EQ(Serials(a), (std::vector<uint16_t>{1, 6, 5, 0, 8, 3, 4, 7, 2}));
}

std::vector<std::string> SortTexts(std::vector<const char*> v, int32_t mode) {
  EXPECT_EQ(SortInPlace(v.data(), sizeof(const char*), static_cast<int32_t>(v.size()), mode), 0);
  std::vector<std::string> out;
  for (const char* p : v) out.emplace_back(p ? p : "<null>");
  return out;
}

using Texts = std::vector<std::string>;

TEST(SortInPlace, TextPointersWithAndWithoutCase) {
  std::vector<const char*> v = {"abc", "ABC", nullptr, "ab", "", "a_c", "aZ", "Abc", "\xe9", "B"};
  // Case ignored: folded to lower case, so '_' comes before the letters;
  // "abc", "ABC", "Abc" keep their order; bytes above 127 after ASCII.
  EXPECT_EQ(SortTexts(v, VANTOR_SORT_TEXTPTR_NOCASE),
            (Texts{"<null>", "", "a_c", "ab", "abc", "ABC", "Abc", "aZ", "B", "\xe9"}));
  EXPECT_EQ(SortTexts(v, VANTOR_SORT_TEXTPTR_NOCASE | VANTOR_SORT_DESCENDING),
            (Texts{"\xe9", "B", "aZ", "abc", "ABC", "Abc", "ab", "a_c", "", "<null>"}));
  EXPECT_EQ(SortTexts(v, VANTOR_SORT_TEXTPTR),
            (Texts{"<null>", "", "ABC", "Abc", "B", "aZ", "a_c", "ab", "abc", "\xe9"}));
}

TEST(SortInPlace, TextHeldInTheElementStaysInsideIt) {
  // Elements of 6 bytes: a serial byte, then up to 5 bytes of text that fill
  // the element without a zero byte when they are 5 long.
  const char* texts[] = {"beta", "ALPHA", "alph", "Alpha", "b", "alpha"};
  std::vector<char> a(6 * 6, 0);
  for (int i = 0; i < 6; ++i) {
    a[i * 6] = static_cast<char>('0' + i);
    std::memcpy(&a[i * 6 + 1], texts[i], std::strlen(texts[i]));  // no terminator for 5 bytes
  }
  auto order = [&]() {
    std::string s;
    for (int i = 0; i < 6; ++i) s += a[i * 6];
    return s;
  };
  // Exact vector size: any read past an element's end at the last one would
  // be caught by the address sanitizer.
  std::vector<char> saved = a;
  ASSERT_EQ(SortInPlace(a.data(), 6, 6, VANTOR_SORT_TEXT_NOCASE | (1 << 8)), 0);
  EXPECT_EQ(order(), "213540");
  a = saved;
  ASSERT_EQ(SortInPlace(a.data(), 6, 6, VANTOR_SORT_TEXT | (1 << 8)), 0);
  EXPECT_EQ(order(), "132540");
  a = saved;
  ASSERT_EQ(SortInPlace(a.data(), 6, 6, VANTOR_SORT_TEXT | VANTOR_SORT_DESCENDING | (1 << 8)), 0);
  EXPECT_EQ(order(), "045231");
}

TEST(SortInPlace, RejectedModesLeaveTheArrayAlone) {
  std::vector<int32_t> v = {3, 1, 2};
  const std::vector<int32_t> orig = v;
  EXPECT_EQ(SortInPlace(v.data(), 4, 3, VANTOR_SORT_FLOAT), -1);
  EXPECT_EQ(SortInPlace(v.data(), 4, 3, 12), -1);
  EXPECT_EQ(SortInPlace(v.data(), 4, 3, 0x7F), -1);
  EXPECT_EQ(SortInPlace(v.data(), 4, 3, -1), -1);
  EXPECT_EQ(SortInPlace(v.data(), 4, 3, VANTOR_SORT_INT32 | (1 << 8)), -1);  // key past the element
  EXPECT_EQ(SortInPlace(v.data(), 4, 3, VANTOR_SORT_UINT8 | (4 << 8)), -1);
  EXPECT_EQ(SortInPlace(v.data(), 4, 3, VANTOR_SORT_DOUBLE), -1);           // key wider than it
  EXPECT_EQ(SortInPlace(v.data(), 4, 0, VANTOR_SORT_INT32), -1);
  EXPECT_EQ(SortInPlace(v.data(), 0, 3, VANTOR_SORT_INT32), -1);
  EXPECT_EQ(SortInPlace(nullptr, 4, 3, VANTOR_SORT_INT32), -1);
  EXPECT_EQ(v, orig);
  // The last byte of the element is a valid key position.
  EXPECT_EQ(SortInPlace(v.data(), 4, 3, VANTOR_SORT_UINT8 | (3 << 8)), 0);
  EXPECT_EQ(v, orig);  // high bytes all zero: equal keys keep their order
  EXPECT_EQ(SortInPlace(v.data(), 4, 3, VANTOR_SORT_INT32), 0);
  EXPECT_EQ(v, (std::vector<int32_t>{1, 2, 3}));
}

TEST(IndexSortElems, FillsTheOrderOrLeavesTheIndexAlone) {
  const int16_t keys[] = {5, -3, 5, 0, -3};
  int32_t index[5] = {9, 9, 9, 9, 9};
  EXPECT_EQ(IndexSortElems(keys, 2, 0, index, VANTOR_SORT_INT16, 0), -1);
  EXPECT_EQ(IndexSortElems(keys, 2, 5, index, VANTOR_SORT_FLOAT, 0), -1);
  EXPECT_EQ(IndexSortElems(keys, 1, 5, index, VANTOR_SORT_INT16, 0), -1);
  EXPECT_EQ(index[0], 9);
  ASSERT_EQ(IndexSortElems(keys, 2, 5, index, VANTOR_SORT_INT16, 0), 0);
  EXPECT_EQ(std::vector<int32_t>(index, index + 5), (std::vector<int32_t>{1, 4, 3, 0, 2}));
  ASSERT_EQ(IndexSortElems(keys, 2, 5, index, VANTOR_SORT_INT16, 1), 0);
  EXPECT_EQ(std::vector<int32_t>(index, index + 5), (std::vector<int32_t>{0, 2, 3, 1, 4}));
}

struct Pairs {
  std::vector<int> major, minor;
};

int32_t ByMajor(int32_t a, int32_t b, void* ctx) {
  auto* p = static_cast<Pairs*>(ctx);
  return p->major[a] - p->major[b];
}
int32_t ByMinor(int32_t a, int32_t b, void* ctx) {
  auto* p = static_cast<Pairs*>(ctx);
  return p->minor[a] - p->minor[b];
}

TEST(IndexSort, MatchesAStableSortForEverySize) {
  std::mt19937 rng(3);
  std::vector<int32_t> sizes;
  for (int32_t n = 1; n <= 70; ++n) sizes.push_back(n);
  for (int32_t n : {127, 128, 129, 1000, 1025, 4099}) sizes.push_back(n);
  for (int32_t n : sizes) {
    Pairs p;
    for (int32_t i = 0; i < n; ++i) p.major.push_back(static_cast<int>(rng() % 9));
    std::vector<int32_t> idx(n, -7);
    ASSERT_EQ(IndexSort(idx.data(), n, ByMajor, &p), 0);
    std::vector<int32_t> want(n);
    std::iota(want.begin(), want.end(), 0);
    std::stable_sort(want.begin(), want.end(), [&](int32_t a, int32_t b) { return p.major[a] < p.major[b]; });
    ASSERT_EQ(idx, want) << "n = " << n;
  }
  int32_t one = 5;
  EXPECT_EQ(IndexSort(&one, 0, ByMajor, nullptr), -1);
  EXPECT_EQ(IndexSort(&one, 1, nullptr, nullptr), -1);
  EXPECT_EQ(one, 5);
}

TEST(IndexReSort, RefinesAnEarlierOrderAndKeepsGroupsApart) {
  std::mt19937 rng(4);
  const int32_t n = 300;
  Pairs p;
  for (int32_t i = 0; i < n; ++i) {
    p.major.push_back(static_cast<int>(rng() % 5));
    p.minor.push_back(static_cast<int>(rng() % 7));
  }
  std::vector<int32_t> want(n);
  std::iota(want.begin(), want.end(), 0);
  std::stable_sort(want.begin(), want.end(), [&](int32_t a, int32_t b) {
    return std::make_pair(p.major[a], p.minor[a]) < std::make_pair(p.major[b], p.minor[b]);
  });

  // Minor key first, then a stable re-sort of that order by the major key.
  std::vector<int32_t> idx(n);
  ASSERT_EQ(IndexReSort(idx.data(), n, ByMinor, &p, 1, nullptr), 0);
  ASSERT_EQ(IndexReSort(idx.data(), n, ByMajor, &p, 0, nullptr), 0);
  EXPECT_EQ(idx, want);

  // Major key first, then the minor key within each run of equal major keys.
  ASSERT_EQ(IndexSort(idx.data(), n, ByMajor, &p), 0);
  std::vector<int32_t> groups(n);
  for (int32_t i = 0; i < n; ++i) groups[i] = p.major[idx[i]];
  ASSERT_EQ(IndexReSort(idx.data(), n, ByMinor, &p, 0, groups.data()), 0);
  EXPECT_EQ(idx, want);

  // Groups are runs of positions: the same number apart does not join them.
  std::vector<int> keys = {3, 2, 1, 0};
  Pairs q{keys, {}};
  std::vector<int32_t> idx4(4);
  const int32_t g[] = {7, 7, 8, 7};
  ASSERT_EQ(IndexReSort(idx4.data(), 4, ByMajor, &q, 1, g), 0);
  EXPECT_EQ(idx4, (std::vector<int32_t>{1, 0, 2, 3}));
}

TEST(PermutateInPlace, GathersByIndexAndRefusesBadIndices) {
  std::vector<uint32_t> v = {10, 11, 12, 13};
  const int32_t order[] = {3, 0, 0, 2};
  ASSERT_EQ(PermutateInPlace(v.data(), 4, order, 4), 0);
  EXPECT_EQ(v, (std::vector<uint32_t>{13, 10, 10, 12}));
  const int32_t bad[] = {0, 1, 4, 2};
  const int32_t negative[] = {0, -1, 1, 2};
  EXPECT_EQ(PermutateInPlace(v.data(), 4, bad, 4), -1);
  EXPECT_EQ(PermutateInPlace(v.data(), 4, negative, 4), -1);
  EXPECT_EQ(PermutateInPlace(v.data(), 0, order, 4), -1);
  EXPECT_EQ(v, (std::vector<uint32_t>{13, 10, 10, 12}));
}

}  // namespace
