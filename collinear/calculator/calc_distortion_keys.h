// Bisection on order keys: doubles as integers in the order of their
// values. Within one binade of one sign the keys are equally spaced in
// value, the midpoint (lo + hi) / 2 of two doubles is the mean of their
// keys rounded half to even, and a bracket's width in keys is exact. Every
// function here reproduces, halving by halving, the bisection of the
// calculator's search (midpoint, stop on a stalled midpoint, on an exact
// hit, or when the bracket is at most tol wide) with some judgements known
// in advance, and so returns its result bit for bit. Library-internal.
#ifndef COLLINEAR_CALCULATOR_CALC_DISTORTION_KEYS_H_
#define COLLINEAR_CALCULATOR_CALC_DISTORTION_KEYS_H_

#include <cmath>
#include <cstdint>
#include <cstring>

#include <collinear/primitives/constants.h>

namespace collinear::dist_search {

constexpr double kEps = ::collinear::kEpsilon;  // the double epsilon, 2^-52
constexpr double kUnitRoundoff = kEps / 2;      // bound of one rounding

// Layout of an IEEE double.
constexpr std::uint64_t kSignBit = 0x8000000000000000u;
constexpr std::uint64_t kExpBits = 0x7FF0000000000000u;
constexpr int kMantissaBits = 52;
constexpr std::uint64_t kExpInfNan = 0x7FF;  // biased exponent of inf, NaN
constexpr std::uint64_t kExpBias = 1023;

// v's bits as a signed integer that orders like the values: the magnitude's
// bit pattern, negated for negative numbers (both zeros give 0).
inline std::int64_t OrderKey(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const auto mag = static_cast<std::int64_t>(bits & ~kSignBit);
  return (bits & kSignBit) ? -mag : mag;
}

inline double FromOrderKey(std::int64_t key) {
  const std::uint64_t bits = key < 0
                                 ? static_cast<std::uint64_t>(-key) | kSignBit
                                 : static_cast<std::uint64_t>(key);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

inline bool SameBits(double a, double b) {
  std::uint64_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

// The unit in the last place of a finite v, |v| >= 2^-970 (the binade's
// power of two / 2^52); for smaller v the smallest subnormal, a lower bound.
inline double UnitInLastPlace(double v) {
  constexpr double kSmallestSubnormal = 0x1p-1074;
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const std::uint64_t exp = (bits & kExpBits) >> kMantissaBits;
  if (exp <= kMantissaBits) return kSmallestSubnormal;
  if (exp == kExpInfNan) return HUGE_VAL;
  const std::uint64_t unit = (exp - kMantissaBits) << kMantissaBits;
  double u;
  std::memcpy(&u, &unit, sizeof u);
  return u;
}

// floor(v) and ceil(v) for |v| < 2^62, without a call into the maths
// library (truncation, then one step toward the side).
inline std::int64_t FloorToInt(double v) {
  const auto t = static_cast<std::int64_t>(v);
  return t - (static_cast<double>(t) > v);
}

inline std::int64_t CeilToInt(double v) {
  const auto t = static_cast<std::int64_t>(v);
  return t + (static_cast<double>(t) < v);
}

// A bracket [lo, hi] within one binade of one sign (neither zero,
// subnormal nor infinite) as order keys, with the keys of the region
// [below, above] whose midpoints need an evaluation (outside it the side is
// known: below `below` the image is under the target, above `above` over
// it) and the tolerance in whole units of the last place. The width
// hi - lo is exact and below 2^53 keys.
struct KeyBracket {
  std::int64_t lo, hi, below, above;
  std::int64_t tol_units;  // INT64_MAX: always narrow; -1: never
  double inv_unit;         // 1 / (unit in the last place), a power of two
};

// The key bracket of [lo, hi] and the region [below, above]; false (k
// untouched) when lo and hi are not in one binade of one sign, in the
// top binade (the sum of the ends overflows), in binades below 2^-971 (the
// unit's inverse overflows), or the region is not finite.
bool ToKeys(double lo,
            double hi,
            double below,
            double above,
            double tol,
            KeyBracket* k);

// Halves [lo, hi] as the bisection does while each midpoint lies below
// `below` (it becomes the low end) or above `above` (the high end). True
// when the bisection ends there, with its result in *mid; false with *mid
// the first midpoint inside [below, above], not yet judged, and [lo, hi]
// the bracket it halves. Any bracket; keys where possible.
bool HalveCertain(double& lo,
                  double& hi,
                  double below,
                  double above,
                  double tol,
                  double* mid);

// How HalveAcross ended: the bisection ended (result in *mid), its
// midpoint *mid lies inside [below, above] (not yet judged), or the bracket
// now fits one binade and the bisection can go on there on keys.
enum class HalveEnd { kEnded, kInside, kOneBinade };

// HalveCertain for a bracket that ToKeys does not accept (across binades,
// signs or zero), halving on doubles; it stops as well, before the next
// midpoint, once ToKeys accepts [lo, hi] at least two keys wide: a new
// bisection from there has the same midpoints and stops.
HalveEnd HalveAcross(double& lo,
                     double& hi,
                     double below,
                     double above,
                     double tol,
                     double* mid);

// The whole bisection on keys when the computed image f of every key from
// `first` to min(k.above, k.hi) is known, f_at[key - first]; keys outside
// [k.below, k.above] are judged by side. Returns the bisection's result.
double BisectKeys(const KeyBracket& k,
                  std::int64_t first,
                  const double* f_at,
                  double t);

// The same bisection when the computed f is non-decreasing over the keys
// judged by evaluation: keys below k1 have f < t, keys from k1 to k2 - 1
// f == t, the others f > t (k.below <= k1 <= k2 <= k.above + 1). Each
// judgement is then a comparison of keys.
double BisectThresholds(const KeyBracket& k, std::int64_t k1, std::int64_t k2);

// BisectThresholds' result without halving where the thresholds settle it
// (a bracket one key wide ends the bisection, at most one key hits the
// target); false where they do not.
bool ThresholdResult(const KeyBracket& k,
                     std::int64_t k1,
                     std::int64_t k2,
                     double* result);

}  // namespace collinear::dist_search

#endif  // COLLINEAR_CALCULATOR_CALC_DISTORTION_KEYS_H_
