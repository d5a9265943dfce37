// Internal: the pixel operation codes shared by the two-image, constant and mask
// kernels, as compile-time functors so that every inner loop is specialised for
// its operation (no per-pixel switch).
//
// Two-image numbering: a is operand 1, b operand 2, the result replaces b.
// Codes 0..15 are the sixteen logical functions as 4-bit truth tables (bit 0
// for (a, b) = (1, 1), bit 1 for (1, 0), bit 2 for (0, 1), bit 3 for (0, 0));
// 16..29 arithmetic; 30..32 the signed forms; 27 is not an operation.
// The constant kernels use the same functors with the operands swapped: the
// constant numbering of a constant c and a pixel p is code(p, c).
#ifndef VANTOR_KERNELS_PIXEL_CODES_H
#define VANTOR_KERNELS_PIXEL_CODES_H

#include <cstdint>
#include <cstdlib>
#include <type_traits>
#include <utility>

namespace vantor {

inline constexpr int kLastByteCode = 29;
inline constexpr int kLastWideCode = 32;

// True for the codes a kernel of the given pixel width performs.
constexpr bool CodeSupported(int code, bool wide) {
  return code >= 0 && code != 27 && code <= (wide ? kLastWideCode : kLastByteCode);
}

template <class T>
constexpr T AllOnes() {
  return static_cast<T>(~T(0));
}

template <int Code, class T>
inline T PixelOp(T a, T b) {
  static_assert(std::is_unsigned_v<T>);
  using S = std::make_signed_t<T>;
  constexpr T kMax = AllOnes<T>();
  constexpr T kHalf = static_cast<T>(T(1) << (sizeof(T) * 8 - 1));
  if constexpr (Code < 16) {
    T r = 0;
    if constexpr (Code & 1) r |= static_cast<T>(a & b);
    if constexpr (Code & 2) r |= static_cast<T>(a & ~b);
    if constexpr (Code & 4) r |= static_cast<T>(~a & b);
    if constexpr (Code & 8) r |= static_cast<T>(~a & ~b);
    return r;
  } else if constexpr (Code == 16) {
    return a < b ? a : b;
  } else if constexpr (Code == 17) {
    return a > b ? a : b;
  } else if constexpr (Code == 18) {
    return static_cast<T>(a + b);
  } else if constexpr (Code == 19) {
    T s = static_cast<T>(a + b);
    return s < a ? kMax : s;
  } else if constexpr (Code == 20) {
    return static_cast<T>(a - b);
  } else if constexpr (Code == 21) {
    return static_cast<T>(b - a);
  } else if constexpr (Code == 22) {
    return a > b ? static_cast<T>(a - b) : T(0);
  } else if constexpr (Code == 23) {
    return b > a ? static_cast<T>(b - a) : T(0);
  } else if constexpr (Code == 24) {
    return a >= b ? a : T(0);
  } else if constexpr (Code == 25) {
    return a <= b ? a : kMax;
  } else if constexpr (Code == 26) {
    return a < b ? T(0) : kMax;
  } else if constexpr (Code == 28) {
    return a > b ? static_cast<T>(a - b) : static_cast<T>(b - a);
  } else if constexpr (Code == 29) {
    T d = a > b ? static_cast<T>(a - b) : static_cast<T>(b - a);
    return d < kHalf ? d : static_cast<T>(T(0) - d);
  } else if constexpr (Code == 30) {
    return static_cast<S>(a) < static_cast<S>(b) ? a : b;
  } else if constexpr (Code == 31) {
    return static_cast<S>(a) > static_cast<S>(b) ? a : b;
  } else if constexpr (Code == 32) {
    int64_t d = static_cast<int64_t>(static_cast<S>(a)) - static_cast<int64_t>(static_cast<S>(b));
    return static_cast<T>(d < 0 ? -d : d);
  } else {
    static_assert(Code < 0, "not an operation code");
    return b;
  }
}

namespace detail {
template <int Code, class F>
bool CallIfCode(int code, F& f, bool& done) {
  if (!done && code == Code) {
    f(std::integral_constant<int, Code>{});
    done = true;
  }
  return done;
}
template <class F, int... Codes>
bool DispatchOver(int code, F& f, std::integer_sequence<int, Codes...>) {
  bool done = false;
  (CallIfCode<Codes>(code, f, done), ...);
  return done;
}
}  // namespace detail

// Calls f(std::integral_constant<int, code>) for a supported code and returns
// true; returns false (f not called) for any other code.
template <class F>
bool DispatchCode(int code, bool wide, F&& f) {
  if (!CodeSupported(code, wide)) return false;
  if (code <= 26) {
    return detail::DispatchOver(code, f, std::make_integer_sequence<int, 27>{});
  }
  switch (code) {
    case 28: f(std::integral_constant<int, 28>{}); return true;
    case 29: f(std::integral_constant<int, 29>{}); return true;
    case 30: f(std::integral_constant<int, 30>{}); return true;
    case 31: f(std::integral_constant<int, 31>{}); return true;
    case 32: f(std::integral_constant<int, 32>{}); return true;
    default: return false;
  }
}

// Accumulates the summary of the values a kernel wrote: 0 when every written
// value was 0 (or nothing was written), 1 when every written value had all its
// bits set, 2 otherwise.
template <class T>
struct WriteSummary {
  T any = 0;                 // OR of the written values
  T all = AllOnes<T>();      // AND of the written values
  bool wrote = false;
  void Add(T v) {
    any |= v;
    all &= v;
    wrote = true;
  }
  void Merge(T orPart, T andPart) {
    any |= orPart;
    all &= andPart;
    wrote = true;
  }
  int32_t Result() const {
    if (!wrote || any == 0) return 0;
    return all == AllOnes<T>() ? 1 : 2;
  }
};

}  // namespace vantor

#endif
