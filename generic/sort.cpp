#include "generic/sort.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <memory>

#include "generic/last_error.h"

namespace {

namespace err = vantor::err;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using HeapArray = std::unique_ptr<T[], FreeDeleter>;

// malloc-backed scratch of n elements; null when n * sizeof(T) overflows or
// memory is short. malloc rather than new: the sort reports failure instead of
// throwing across the C API.
template <typename T>
HeapArray<T> AllocArray(size_t n) {
  if (n > SIZE_MAX / sizeof(T)) return nullptr;
  return HeapArray<T>(static_cast<T*>(std::malloc(n * sizeof(T) > 0 ? n * sizeof(T) : 1)));
}

// Bottom-up merge sort of idx[0..n) using tmp[0..n) as the second buffer.
// Runs of width 1, 2, 4, ... are merged from one buffer into the other; the
// right run's head is taken only when the left one belongs strictly after it,
// which keeps equal elements in their order.
template <typename Cmp>
void MergeSort(int32_t* idx, int32_t* tmp, size_t n, const Cmp& cmp) {
  if (n < 2) return;
  int32_t* src = idx;
  int32_t* dst = tmp;
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      size_t mid = lo + width < n ? lo + width : n;
      size_t hi = mid + width < n ? mid + width : n;
      size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi) {
        if (cmp(src[i], src[j]) > 0)
          dst[k++] = src[j++];
        else
          dst[k++] = src[i++];
      }
      while (i < mid) dst[k++] = src[i++];
      while (j < hi) dst[k++] = src[j++];
    }
    int32_t* t = src;
    src = dst;
    dst = t;
  }
  if (src != idx) std::memcpy(idx, src, n * sizeof(int32_t));
}

// Sorts idx[0..n) as a whole or, with groups, within each run of positions
// that share a group number.
template <typename Cmp>
void SortRuns(int32_t* idx, int32_t* tmp, size_t n, const int32_t* groups, const Cmp& cmp) {
  if (groups == nullptr) {
    MergeSort(idx, tmp, n, cmp);
    return;
  }
  size_t start = 0;
  while (start < n) {
    size_t end = start + 1;
    while (end < n && groups[end] == groups[start]) ++end;
    MergeSort(idx + start, tmp + start, end - start, cmp);
    start = end;
  }
}

inline unsigned FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

// Compares two zero-terminated texts of at most `limit` bytes each: the first
// byte that differs decides, else the shorter text comes first. Null sorts
// before everything, the empty text before every non-empty one.
template <bool kFold>
int32_t CompareText(const char* a, const char* b, size_t limit) {
  if (a == nullptr || b == nullptr) {
    if (a == b) return 0;
    return a == nullptr ? -1 : 1;
  }
  const unsigned char* pa = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* pb = reinterpret_cast<const unsigned char*>(b);
  for (size_t i = 0; i < limit; ++i) {
    unsigned ca = pa[i], cb = pb[i];
    if (ca == 0 || cb == 0) {
      if (ca == cb) return 0;
      return ca == 0 ? -1 : 1;
    }
    if constexpr (kFold) {
      ca = FoldAscii(static_cast<unsigned char>(ca));
      cb = FoldAscii(static_cast<unsigned char>(cb));
    }
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return 0;  // both reached the limit without a terminator: equal over the element
}

template <typename T>
inline T LoadKey(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

template <typename T>
inline int32_t CompareValues(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

inline int32_t CompareDoubles(double a, double b) {
  bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return na == nb ? 0 : (na ? 1 : -1);
  return CompareValues(a, b);
}

// Size in bytes a key of the given type takes inside the element; 0 for a key
// type that is not accepted. Text held in the element needs at least one byte.
size_t KeyBytes(int32_t keyType) {
  switch (keyType) {
    case VANTOR_SORT_INT8:
    case VANTOR_SORT_UINT8:
      return 1;
    case VANTOR_SORT_INT16:
    case VANTOR_SORT_UINT16:
      return 2;
    case VANTOR_SORT_INT32:
    case VANTOR_SORT_UINT32:
      return 4;
    case VANTOR_SORT_TEXTPTR_NOCASE:
    case VANTOR_SORT_TEXTPTR:
      return sizeof(const char*);
    case VANTOR_SORT_DOUBLE:
      return sizeof(double);
    case VANTOR_SORT_TEXT_NOCASE:
    case VANTOR_SORT_TEXT:
      return 1;
    default:
      return 0;
  }
}

// Element keys at base + i * stride; text held in an element is read through
// at most textLimit bytes.
struct Keys {
  const unsigned char* base;
  size_t stride;
  size_t textLimit;
  const unsigned char* at(int32_t i) const { return base + static_cast<size_t>(i) * stride; }
};

template <typename F>
void SortByKey(int32_t* idx, int32_t* tmp, size_t n, bool descending, const F& cmp) {
  if (descending)
    MergeSort(idx, tmp, n, [&](int32_t a, int32_t b) { return cmp(b, a); });
  else
    MergeSort(idx, tmp, n, cmp);
}

template <typename T>
void SortNumeric(const Keys& k, int32_t* idx, int32_t* tmp, size_t n, bool desc) {
  SortByKey(idx, tmp, n, desc, [&](int32_t a, int32_t b) {
    return CompareValues(LoadKey<T>(k.at(a)), LoadKey<T>(k.at(b)));
  });
}

// Sorts the index by the keys; false for a key type that is not accepted.
bool SortIndexByKeys(const Keys& k, int32_t keyType, bool desc, int32_t* idx, int32_t* tmp,
                     size_t n) {
  for (size_t i = 0; i < n; ++i) idx[i] = static_cast<int32_t>(i);
  switch (keyType) {
    case VANTOR_SORT_INT8:
      SortNumeric<int8_t>(k, idx, tmp, n, desc);
      return true;
    case VANTOR_SORT_UINT8:
      SortNumeric<uint8_t>(k, idx, tmp, n, desc);
      return true;
    case VANTOR_SORT_INT16:
      SortNumeric<int16_t>(k, idx, tmp, n, desc);
      return true;
    case VANTOR_SORT_UINT16:
      SortNumeric<uint16_t>(k, idx, tmp, n, desc);
      return true;
    case VANTOR_SORT_INT32:
      SortNumeric<int32_t>(k, idx, tmp, n, desc);
      return true;
    case VANTOR_SORT_UINT32:
      SortNumeric<uint32_t>(k, idx, tmp, n, desc);
      return true;
    case VANTOR_SORT_DOUBLE:
      SortByKey(idx, tmp, n, desc, [&](int32_t a, int32_t b) {
        return CompareDoubles(LoadKey<double>(k.at(a)), LoadKey<double>(k.at(b)));
      });
      return true;
    case VANTOR_SORT_TEXTPTR_NOCASE:
    case VANTOR_SORT_TEXTPTR: {
      bool fold = keyType == VANTOR_SORT_TEXTPTR_NOCASE;
      auto text = [&](int32_t i) { return LoadKey<const char*>(k.at(i)); };
      if (fold)
        SortByKey(idx, tmp, n, desc, [&](int32_t a, int32_t b) {
          return CompareText<true>(text(a), text(b), SIZE_MAX);
        });
      else
        SortByKey(idx, tmp, n, desc, [&](int32_t a, int32_t b) {
          return CompareText<false>(text(a), text(b), SIZE_MAX);
        });
      return true;
    }
    case VANTOR_SORT_TEXT_NOCASE:
    case VANTOR_SORT_TEXT: {
      bool fold = keyType == VANTOR_SORT_TEXT_NOCASE;
      auto text = [&](int32_t i) { return reinterpret_cast<const char*>(k.at(i)); };
      if (fold)
        SortByKey(idx, tmp, n, desc, [&](int32_t a, int32_t b) {
          return CompareText<true>(text(a), text(b), k.textLimit);
        });
      else
        SortByKey(idx, tmp, n, desc, [&](int32_t a, int32_t b) {
          return CompareText<false>(text(a), text(b), k.textLimit);
        });
      return true;
    }
    default:
      return false;
  }
}

bool NotAccepted(int32_t keyType) {
  return err::Fail(err::kParameter, "key type %d is not accepted", keyType);
}

// Index sort of the keys into `out` (untouched on failure).
bool IndexSortKeys(const Keys& k, int32_t count, int32_t* out, int32_t keyType, bool desc) {
  if (count <= 0) return err::Fail(err::kParameter, "count %d (at least 1)", count);
  if (out == nullptr) return err::Fail(err::kParameter, "no index given");
  if (KeyBytes(keyType) == 0) return NotAccepted(keyType);
  size_t n = static_cast<size_t>(count);
  auto buf = AllocArray<int32_t>(2 * n);
  if (!buf) return err::FailMemory();
  if (!SortIndexByKeys(k, keyType, desc, buf.get(), buf.get() + n, n)) return NotAccepted(keyType);
  std::memcpy(out, buf.get(), n * sizeof(int32_t));
  return true;
}

}  // namespace

extern "C" {

int32_t IndexReSort(int32_t* index, int32_t count, VantorIndexCompare compare, void* context,
                    int32_t initialise, const int32_t* groups) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (index == nullptr || compare == nullptr) {
      return err::Fail(err::kParameter, "no index or no compare function given"), -1;
    }
    if (count <= 0) return err::Fail(err::kParameter, "count %d (at least 1)", count), -1;
    size_t n = static_cast<size_t>(count);
    auto tmp = AllocArray<int32_t>(n);
    if (!tmp) return err::FailMemory(), -1;
    if (initialise != 0)
      for (size_t i = 0; i < n; ++i) index[i] = static_cast<int32_t>(i);
    SortRuns(index, tmp.get(), n, groups,
             [&](int32_t a, int32_t b) { return compare(a, b, context); });
    return 0;
  });
}

int32_t IndexSort(int32_t* index, int32_t count, VantorIndexCompare compare, void* context) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    return IndexReSort(index, count, compare, context, 1, nullptr);
  });
}

int32_t IndexSortElems(const void* keyBase, int32_t elementSize, int32_t count, int32_t* index,
                       int32_t keyType, int32_t descending) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (keyBase == nullptr) return err::Fail(err::kParameter, "no keys given"), -1;
    if (elementSize <= 0) {
      return err::Fail(err::kParameter, "element size %d (at least 1)", elementSize), -1;
    }
    if (static_cast<size_t>(elementSize) < KeyBytes(keyType)) {
      return err::Fail(err::kParameter, "a key of type %d does not fit elements of %d bytes",
                       keyType, elementSize),
             -1;
    }
    Keys k{static_cast<const unsigned char*>(keyBase), static_cast<size_t>(elementSize),
           static_cast<size_t>(elementSize)};
    return IndexSortKeys(k, count, index, keyType, descending != 0) ? 0 : -1;
  });
}

int32_t PermutateInPlace(void* array, int32_t elementSize, const int32_t* index, int32_t count) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (array == nullptr || index == nullptr) {
      return err::Fail(err::kParameter, "no array or no index given"), -1;
    }
    if (elementSize <= 0 || count <= 0) {
      return err::Fail(err::kParameter, "element size %d and count %d (both at least 1)",
                       elementSize, count),
             -1;
    }
    size_t n = static_cast<size_t>(count);
    size_t es = static_cast<size_t>(elementSize);
    for (size_t i = 0; i < n; ++i) {
      if (index[i] < 0 || index[i] >= count) {
        return err::Fail(err::kParameter, "index entry %zu is %d, not in 0..%d", i, index[i],
                         count - 1),
               -1;
      }
    }
    if (n > SIZE_MAX / es) return err::FailMemory(), -1;
    auto copy = AllocArray<unsigned char>(n * es);
    if (!copy) return err::FailMemory(), -1;
    auto* bytes = static_cast<unsigned char*>(array);
    std::memcpy(copy.get(), bytes, n * es);
    for (size_t i = 0; i < n; ++i)
      std::memcpy(bytes + i * es, copy.get() + static_cast<size_t>(index[i]) * es, es);
    return 0;
  });
}

int32_t SortInPlace(void* array, int32_t elementSize, int32_t count, int32_t mode) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (array == nullptr) return err::Fail(err::kParameter, "no array given"), -1;
    if (mode < 0) return err::Fail(err::kParameter, "mode %d is negative", mode), -1;
    if (count <= 0 || elementSize <= 0) {
      return err::Fail(err::kParameter, "element size %d and count %d (both at least 1)",
                       elementSize, count),
             -1;
    }
    int32_t keyType = mode & 0x7F;
    bool desc = (mode & VANTOR_SORT_DESCENDING) != 0;
    size_t offset = static_cast<size_t>(mode) >> VANTOR_SORT_OFFSET_SHIFT;
    size_t es = static_cast<size_t>(elementSize);
    size_t keyBytes = KeyBytes(keyType);
    if (keyBytes == 0) return NotAccepted(keyType), -1;
    if (offset >= es || es - offset < keyBytes) {
      return err::Fail(err::kParameter,
                       "a key of type %d at offset %zu leaves elements of %zu bytes", keyType,
                       offset, es),
             -1;
    }
    size_t n = static_cast<size_t>(count);
    auto buf = AllocArray<int32_t>(2 * n);
    if (!buf) return err::FailMemory(), -1;
    Keys k{static_cast<const unsigned char*>(array) + offset, es, es - offset};
    if (!SortIndexByKeys(k, keyType, desc, buf.get(), buf.get() + n, n))
      return NotAccepted(keyType), -1;
    return PermutateInPlace(array, elementSize, buf.get(), count);
  });
}

}  // extern "C"
