#include <collinear/calculator/calc_distortion_keys.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <collinear/calculator/calc_distortion_blocks.h>

namespace collinear::dist_search {
namespace {

// Tolerances of at least this many units never end a bracket early in
// practice (widths stay below 2^53 units): they map to "always narrow".
constexpr double kTolUnitsCap = 0x1p62;

// The halving on keys works on the keys' magnitudes (kNeg: a negative
// bracket, whose keys are the negated magnitudes). Within one binade the
// sum of the two ends is exact but for its last bit, so the midpoint
// (lo + hi) / 2 is the mean of the magnitudes rounded half to even.
std::uint64_t MidMagnitude(std::uint64_t sum) {
  const std::uint64_t half = sum >> 1;
  return half + (sum & half & 1);
}

template <bool kNeg>
std::int64_t KeyOfMagnitude(std::uint64_t mag) {
  return kNeg ? -static_cast<std::int64_t>(mag)
              : static_cast<std::int64_t>(mag);
}

template <bool kNeg>
std::uint64_t MagnitudeOfKey(std::int64_t key) {
  return static_cast<std::uint64_t>(kNeg ? -key : key);
}

// The result of a bisection stopped for a narrow bracket: its midpoint.
template <bool kNeg>
double NarrowResult(std::uint64_t mag_lo, std::uint64_t mag_hi) {
  const double lo = FromOrderKey(KeyOfMagnitude<kNeg>(mag_lo));
  const double hi = FromOrderKey(KeyOfMagnitude<kNeg>(mag_hi));
  return (lo + hi) / 2;
}

// How the halvings of known side ended.
enum class Halving { kInside, kStalled, kNarrow };

// HalveCertain on keys, halving by halving.
template <bool kNeg>
Halving HalveKeys(std::int64_t& lo,
                  std::int64_t& hi,
                  std::int64_t below,
                  std::int64_t above,
                  std::int64_t tol_units,
                  std::int64_t* mid) {
  // Magnitudes below 2^63, so their sum fits 64 bits; the next sum is
  // formed beside the choice of the end it replaces.
  std::uint64_t mag_lo = MagnitudeOfKey<kNeg>(lo);
  std::uint64_t mag_hi = MagnitudeOfKey<kNeg>(hi);
  std::uint64_t sum = mag_lo + mag_hi;
  std::int64_t prev = 0;
  Halving end;
  for (bool first = true;; first = false) {
    const std::uint64_t mag = MidMagnitude(sum);
    const std::int64_t m = KeyOfMagnitude<kNeg>(mag);
    *mid = m;
    if (!first && m == prev) {
      end = Halving::kStalled;
      break;
    }
    if (!(m < below || m > above)) {
      end = Halving::kInside;
      break;
    }
    const bool f_below = m < below;
    const std::uint64_t sum_up = mag + mag_hi, sum_down = mag_lo + mag;
    mag_lo = f_below ? mag : mag_lo;
    mag_hi = f_below ? mag_hi : mag;
    sum = f_below ? sum_up : sum_down;
    const std::uint64_t width = kNeg ? mag_lo - mag_hi : mag_hi - mag_lo;
    if (static_cast<std::int64_t>(width) <= tol_units) {
      end = Halving::kNarrow;
      break;
    }
    prev = m;
  }
  lo = KeyOfMagnitude<kNeg>(mag_lo);
  hi = KeyOfMagnitude<kNeg>(mag_hi);
  return end;
}

template <bool kNeg>
double BisectKeysT(const KeyBracket& k,
                   std::int64_t first,
                   const double* f_at,
                   double t) {
  std::uint64_t mag_lo = MagnitudeOfKey<kNeg>(k.lo);
  std::uint64_t mag_hi = MagnitudeOfKey<kNeg>(k.hi);
  std::uint64_t sum = mag_lo + mag_hi;
  std::int64_t prev = INT64_MIN;  // no key of a finite double
  for (;;) {
    const std::uint64_t mag = MidMagnitude(sum);
    const std::int64_t m = KeyOfMagnitude<kNeg>(mag);
    if (m == prev) return FromOrderKey(m);
    bool f_below = m < k.below;
    if (!(m < k.below || m > k.above)) {
      const double f = f_at[m - first];
      if (f == t) return FromOrderKey(m);
      f_below = f < t;
    }
    const std::uint64_t sum_up = mag + mag_hi, sum_down = mag_lo + mag;
    mag_lo = f_below ? mag : mag_lo;
    mag_hi = f_below ? mag_hi : mag;
    sum = f_below ? sum_up : sum_down;
    const std::uint64_t width = kNeg ? mag_lo - mag_hi : mag_hi - mag_lo;
    if (static_cast<std::int64_t>(width) <= k.tol_units)
      return NarrowResult<kNeg>(mag_lo, mag_hi);
    prev = m;
  }
}

template <bool kNeg>
double BisectThresholdsT(const KeyBracket& k,
                         std::int64_t k1,
                         std::int64_t k2) {
  std::uint64_t mag_lo = MagnitudeOfKey<kNeg>(k.lo);
  std::uint64_t mag_hi = MagnitudeOfKey<kNeg>(k.hi);
  std::int64_t prev = INT64_MIN;  // no key of a finite double
  for (;;) {
    const std::uint64_t mag = MidMagnitude(mag_lo + mag_hi);
    const std::int64_t m = KeyOfMagnitude<kNeg>(mag);
    if ((m == prev) | ((m >= k1) & (m < k2))) return FromOrderKey(m);
    // Sides as good as random: masks, not branches.
    const std::uint64_t keep = static_cast<std::uint64_t>(m < k1) - 1;
    mag_lo = mag ^ ((mag ^ mag_lo) & keep);
    mag_hi = mag_hi ^ ((mag_hi ^ mag) & keep);
    const std::uint64_t width = kNeg ? mag_lo - mag_hi : mag_hi - mag_lo;
    if (static_cast<std::int64_t>(width) <= k.tol_units)
      return NarrowResult<kNeg>(mag_lo, mag_hi);
    prev = m;
  }
}

}  // namespace

bool ToKeys(double lo,
            double hi,
            double below,
            double above,
            double tol,
            KeyBracket* k) {
  std::uint64_t lo_bits, hi_bits, below_bits, above_bits;
  std::memcpy(&lo_bits, &lo, sizeof lo_bits);
  std::memcpy(&hi_bits, &hi, sizeof hi_bits);
  std::memcpy(&below_bits, &below, sizeof below_bits);
  std::memcpy(&above_bits, &above, sizeof above_bits);
  // One sign and one binade: sign and exponent bits agree. The unit is
  // 2^(exp - bias - 52); its inverse 2^(bias + 52 - exp) is a double for
  // exp >= 52, and in the top binade the sum of the ends overflows: exp in
  // [52, 2045], which leaves out zero, subnormals, infinities and NaN.
  const std::uint64_t exp = (lo_bits & ~kSignBit) >> kMantissaBits;
  const bool one_binade = ((lo_bits ^ hi_bits) >> kMantissaBits) == 0;
  const bool usable = exp - kMantissaBits <= kExpInfNan - 2 - kMantissaBits;
  const bool region_finite = (below_bits & kExpBits) != kExpBits &&
                             (above_bits & kExpBits) != kExpBits;
  if (!(one_binade && usable && region_finite)) return false;
  const std::uint64_t inv_unit_bits = (2 * kExpBias + kMantissaBits - exp)
                                      << kMantissaBits;
  double inv_unit;
  std::memcpy(&inv_unit, &inv_unit_bits, sizeof inv_unit);
  k->inv_unit = inv_unit;
  const double tol_ulps = tol * inv_unit;
  k->tol_units = tol_ulps >= kTolUnitsCap ? INT64_MAX
                 : tol_ulps >= 0.0        ? static_cast<std::int64_t>(tol_ulps)
                                          : -1;  // negative or NaN
  k->lo = OrderKey(lo);
  k->hi = OrderKey(hi);
  k->below = OrderKey(below);
  k->above = OrderKey(above);
  return true;
}

bool HalveCertain(double& lo,
                  double& hi,
                  double below,
                  double above,
                  double tol,
                  double* mid) {
  KeyBracket k;
  if (!ToKeys(lo, hi, below, above, tol, &k)) {
    // After kOneBinade ToKeys accepts the bracket (HalveAcross tried it).
    const HalveEnd end = HalveAcross(lo, hi, below, above, tol, mid);
    if (end != HalveEnd::kOneBinade || !ToKeys(lo, hi, below, above, tol, &k))
      return end == HalveEnd::kEnded;
  }
  std::int64_t m = 0;
  HalveBlocks(k.lo, k.hi, k.below, k.above, k.tol_units);
  const Halving end =
      k.lo < 0
          ? HalveKeys<true>(k.lo, k.hi, k.below, k.above, k.tol_units, &m)
          : HalveKeys<false>(k.lo, k.hi, k.below, k.above, k.tol_units, &m);
  lo = FromOrderKey(k.lo);
  hi = FromOrderKey(k.hi);
  *mid = end == Halving::kNarrow ? (lo + hi) / 2 : FromOrderKey(m);
  return end != Halving::kInside;
}

HalveEnd HalveAcross(double& lo,
                     double& hi,
                     double below,
                     double above,
                     double tol,
                     double* mid) {
  // The ends are finite and of one order only where the region is (a
  // bracket without region keeps halving on doubles to its end).
  const bool may_key = std::isfinite(below) && std::isfinite(above);
  double prev_m = 0.0;
  for (bool first = true;; first = false) {
    const double m = (lo + hi) / 2;
    *mid = m;
    if ((!first && m == prev_m) || !std::isfinite(m)) return HalveEnd::kEnded;
    if (!(m < below || m > above)) return HalveEnd::kInside;
    if (m < below)
      lo = m;
    else
      hi = m;
    if (std::fabs(hi - lo) <= tol) {
      *mid = (lo + hi) / 2;
      return HalveEnd::kEnded;
    }
    // Two keys apart, the next midpoint lies strictly between the ends and
    // so differs from this one, which is an end now: the stall test of a
    // new bisection (none for its first midpoint) agrees.
    KeyBracket k;
    if (may_key && ToKeys(lo, hi, below, above, tol, &k) && k.hi - k.lo >= 2)
      return HalveEnd::kOneBinade;
    prev_m = m;
  }
}

double BisectKeys(const KeyBracket& k,
                  std::int64_t first,
                  const double* f_at,
                  double t) {
  return k.lo < 0 ? BisectKeysT<true>(k, first, f_at, t)
                  : BisectKeysT<false>(k, first, f_at, t);
}

double BisectThresholds(const KeyBracket& k, std::int64_t k1, std::int64_t k2) {
  return k.lo < 0 ? BisectThresholdsT<true>(k, k1, k2)
                  : BisectThresholdsT<false>(k, k1, k2);
}

// The bracket closes on [K - 1, K], K = k1 clamped into it, unless a
// midpoint hits k1 first (when k1 lies strictly inside); either stop then
// gives the one of the two with the even key (halving rounds half to even).
bool ThresholdResult(const KeyBracket& k,
                     std::int64_t k1,
                     std::int64_t k2,
                     double* result) {
  if (!(k.tol_units <= 1 && k2 - k1 <= 1 && k.lo < k.hi)) return false;
  if (k2 - k1 == 1 && k.lo < k1 && k1 < k.hi) {
    *result = FromOrderKey(k1);
    return true;
  }
  const std::int64_t key = std::min(std::max(k1, k.lo + 1), k.hi);
  *result = FromOrderKey(key & 1 ? key - 1 : key);
  return true;
}

}  // namespace collinear::dist_search
