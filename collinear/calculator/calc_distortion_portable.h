// The compiler-specific fast paths of the inverse-distortion search, each
// with a plain C++17 fallback that gives identical results: a count of
// leading zero bits, a pair of doubles operated on lane by lane (one SSE2
// register on x86-64), and a function kept out of line. g++ and clang++
// take the fast paths unless COLLINEAR_PORTABLE_SEARCH is defined.
// Library-internal, not installed.
#ifndef COLLINEAR_CALCULATOR_CALC_DISTORTION_PORTABLE_H_
#define COLLINEAR_CALCULATOR_CALC_DISTORTION_PORTABLE_H_

#include <cstdint>

#if (defined(__GNUC__) || defined(__clang__)) && \
    !defined(COLLINEAR_PORTABLE_SEARCH)
#define COLLINEAR_SEARCH_GNU_PATH 1
#else
#define COLLINEAR_SEARCH_GNU_PATH 0
#endif

// Keeps a rarely taken path out of the function that calls it, so that
// the common path stays small (fewer registers to save and restore).
#if COLLINEAR_SEARCH_GNU_PATH
#define COLLINEAR_SEARCH_NOINLINE __attribute__((noinline))
#else
#define COLLINEAR_SEARCH_NOINLINE
#endif

namespace collinear::dist_search {

// Leading zero bits of v > 0 (0 to 63), by halving the bit range.
constexpr int CountLeadingZerosPortable(std::uint64_t v) {
  int n = 0;
  for (int half = 32; half > 0; half /= 2) {
    if (!(v >> (64 - half))) {
      n += half;
      v <<= half;
    }
  }
  return n;
}

inline int CountLeadingZeros(std::uint64_t v) {
#if COLLINEAR_SEARCH_GNU_PATH
  return __builtin_clzll(v);
#else
  return CountLeadingZerosPortable(v);
#endif
}

// Two doubles; +, * and scalar * pair work lane by lane, each lane with the
// same IEEE operation as on a single double, so a formula evaluated on a
// pair gives in each lane the bits it gives on that lane's inputs.
#if COLLINEAR_SEARCH_GNU_PATH
typedef double Pair  // NOLINT(modernize-use-using): GNU vector syntax
    __attribute__((vector_size(16)));
#else
struct Pair {
  double lane[2];
  double operator[](int i) const { return lane[i]; }
};

inline Pair operator+(const Pair& a, const Pair& b) {
  return {a.lane[0] + b.lane[0], a.lane[1] + b.lane[1]};
}

inline Pair operator*(const Pair& a, const Pair& b) {
  return {a.lane[0] * b.lane[0], a.lane[1] * b.lane[1]};
}

inline Pair operator*(double a, const Pair& b) {
  return {a * b.lane[0], a * b.lane[1]};
}
#endif

}  // namespace collinear::dist_search

#endif  // COLLINEAR_CALCULATOR_CALC_DISTORTION_PORTABLE_H_
