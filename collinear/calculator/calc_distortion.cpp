#include <collinear/calculator/calc_distortion.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <collinear/distortion/dist_formula.h>
#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

constexpr double kEps = ::collinear::kEpsilon;  // the double epsilon
constexpr double kUnitRoundoff = kEps / 2;      // bound of one rounding
constexpr std::uint64_t kSignBit = 0x8000000000000000u;
constexpr std::uint64_t kExpBits = 0x7FF0000000000000u;
constexpr int kMaxPasses = 20;     // passes over both coordinates
constexpr int kMaxWalkSteps = 20;  // steps of a walk to bracket the target

// Newton finish: iterations, step halvings, and the smallest determinant of
// the Jacobian of q + s D(q) (it is near 1 for any usable lens model).
constexpr int kNewtonMaxIter = 50;
constexpr int kNewtonMaxHalvings = 40;
constexpr double kNewtonMinDet = 1e-6;
// Rounding floor of the residual, in units of the last place of the
// target's largest coordinate: q + s D(q) cannot come closer than that.
constexpr double kRoundingFloorUlps = 4.0;

// Shortcuts of the search (see SideBounds): the slope of q_I + s D_I must
// stay above 1 - kMaxSlopeBound on the segment; the root region is refined
// by at most kRootIter evaluations while its half width exceeds
// kWideRegionUnits units in the last place of the bracket's larger end (so
// that, rounded outward, it spans at most kBatch + 1 keys).
constexpr double kMaxSlopeBound = 0.5;
constexpr int kRootIter = 4;
constexpr double kWideRegionUnits = 4.0;
// Keys of the root region evaluated at once when there are at most so many.
constexpr int kBatch = 12;
// Two doubles, operated on lane by lane (SSE2 on x86-64).
typedef double Pair __attribute__((vector_size(16)));
// Rounding bounds, in roundings per magnitude: every model's distortion
// component takes at most 10 roundings on any path from its inputs (so 16
// is ample), the slope formulas at most 14 (so 32).
constexpr double kDistRoundings = 16.0;
constexpr double kSlopeRoundings = 32.0;

// Doubles as integers in the order of their values: the magnitude's bit
// pattern, negated for negative numbers (both zeros give 0).
std::int64_t OrderKey(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const auto mag = static_cast<std::int64_t>(bits & ~kSignBit);
  return (bits & kSignBit) ? -mag : mag;
}

// floor(v) and ceil(v) for |v| < 2^62, without a call into the maths
// library (truncation, then one step toward the side).
std::int64_t FloorToInt(double v) {
  const auto t = static_cast<std::int64_t>(v);
  return t - (static_cast<double>(t) > v);
}

std::int64_t CeilToInt(double v) {
  const auto t = static_cast<std::int64_t>(v);
  return t + (static_cast<double>(t) < v);
}

// The unit in the last place of a finite v (the binade's power of two /
// 2^52; the smallest subnormal below the normal range).
double UnitInLastPlace(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const std::uint64_t exp = (bits & kExpBits) >> 52;
  if (exp <= 52) return 0x1p-1074;
  if (exp == 0x7FF) return HUGE_VAL;
  const std::uint64_t unit = (exp - 52) << 52;
  double u;
  std::memcpy(&u, &unit, sizeof u);
  return u;
}

bool SameBits(double a, double b) {
  std::uint64_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

double FromOrderKey(std::int64_t key) {
  std::uint64_t bits = key < 0 ? static_cast<std::uint64_t>(-key) | kSignBit
                               : static_cast<std::uint64_t>(key);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// Halving on order keys, within one binade of one sign (kNeg: negative),
// works on the keys' magnitudes. The midpoint of two magnitudes with the
// given sum, rounded half to even (see HalveKeys), its key, and the
// result of a bisection stopped for a narrow bracket.
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
double NarrowResult(std::uint64_t mag_lo, std::uint64_t mag_hi) {
  const double lo = FromOrderKey(KeyOfMagnitude<kNeg>(mag_lo));
  const double hi = FromOrderKey(KeyOfMagnitude<kNeg>(mag_hi));
  return (lo + hi) / 2;
}

// The halvings of HalveCertain on order keys, for a bracket within one
// binade of one sign (kNeg: negative). There the sum of the two ends is
// exact but for its last bit, so the midpoint (lo + hi) / 2 is the
// magnitudes' mean rounded half to even; and hi - lo is exact.
// How the halvings of known side ended.
enum class Halving { kInside, kStalled, kNarrow };

template <bool kNeg>
Halving HalveKeys(std::int64_t& lo,
                  std::int64_t& hi,
                  std::int64_t below,
                  std::int64_t above,
                  std::int64_t tol_units,
                  std::int64_t* mid) {
  // Magnitudes of the two ends (below 2^63, so their sum fits 64 bits);
  // the next sum is formed beside the choice of the end it replaces.
  std::uint64_t mag_lo = static_cast<std::uint64_t>(kNeg ? -lo : lo);
  std::uint64_t mag_hi = static_cast<std::uint64_t>(kNeg ? -hi : hi);
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

// Several halvings at once. On order keys within one binade the midpoint
// of [lo, hi] is (lo + hi) / 2 rounded half to even, and the bracket after
// kBlock halvings with known sides (digits J, the first halving in the
// top bit, 1 for "the midpoint becomes the low end") depends on the width
// w only through w >> kBlock and w mod 2^(kBlock + 1), and on lo only
// through its parity:
//   lo' = lo + (w >> kBlock) J + a,  w' = (w >> kBlock) + b,
// with a (below 2^kBlock) and b (0 or 1) taken from a table that replays
// the halvings on a small representative of the same residues.
constexpr int kBlock = 6;
constexpr int kBlockWidthBits = kBlock + 1;
constexpr int kBlockTableSize = 1 << (2 * kBlock + 2);

struct BlockTable {
  std::uint8_t entry[kBlockTableSize];  // a | b << 6
};

constexpr BlockTable MakeBlockTable() {
  BlockTable t{};
  for (int idx = 0; idx < kBlockTableSize; ++idx) {
    const std::int64_t digits = idx >> (kBlockWidthBits + 1);
    const std::int64_t residue = (idx >> 1) & ((1 << kBlockWidthBits) - 1);
    std::int64_t lo = idx & 1;
    const std::int64_t w = residue + (std::int64_t{1} << kBlockWidthBits);
    std::int64_t hi = lo + w;
    for (int k = kBlock - 1; k >= 0; --k) {
      const std::int64_t sum = lo + hi;  // non-negative here
      const std::int64_t m = (sum >> 1) + (sum & (sum >> 1) & 1);
      if ((digits >> k) & 1)
        lo = m;
      else
        hi = m;
    }
    const std::int64_t q = w >> kBlock;
    const std::int64_t a = lo - (idx & 1) - q * digits;
    const std::int64_t b = (hi - lo) - q;
    t.entry[idx] = static_cast<std::uint8_t>(a | b << 6);
  }
  return t;
}

constexpr BlockTable kBlockTable = MakeBlockTable();

// Runs the halvings of [lo, hi] (order keys, one binade, one sign) whose
// side is certain: midpoints below kb become the low end, above ka the high
// end. Stops early enough that no stop of the bisection (narrow bracket,
// stalled midpoint, midpoint inside [kb, ka]) can occur within; the caller
// continues halving by halving.
void HalveBlocks(std::int64_t& lo,
                 std::int64_t& hi,
                 std::int64_t kb,
                 std::int64_t ka,
                 std::int64_t tol_units) {
  const std::int64_t w0 = hi - lo;  // below 2^53
  // Levels that keep the bracket at least `need` wide.
  const std::int64_t need = std::max<std::int64_t>(
      2, tol_units == INT64_MAX ? INT64_MAX : tol_units + 1);
  if ((w0 >> kBlock) < need) return;
  int levels = __builtin_clzll(static_cast<std::uint64_t>(need)) -
               __builtin_clzll(static_cast<std::uint64_t>(w0));
  if ((w0 >> levels) < need) --levels;
  // The sides to try are those of exact halving toward [kb, ka]: the bits
  // of the positions of its ends as fractions of the bracket, as far as
  // they agree. A block of them is taken when [kb, ka] lies strictly inside
  // the bracket it gives: then each of its midpoints lay on the side its
  // bit says (midpoints of the rounded halving stray from the exact ones).
  const double inv_w0 = 1.0 / static_cast<double>(w0);
  auto position = [&](std::int64_t k) {  // fraction of the bracket, 2^-62
    k = std::min(std::max(k, lo - 1), hi + 1);
    const double u = static_cast<double>(k - lo) * inv_w0;
    return u <= 0.0  ? std::int64_t{0}
           : u < 1.0 ? static_cast<std::int64_t>(u * 0x1p62)
                     : (std::int64_t{1} << 62) - 1;
  };
  std::int64_t u_lo = position(kb);
  const std::int64_t u_hi = position(ka);
  // Bits 61 down to 0 are the sides, the first halving in bit 61.
  const int common =
      __builtin_clzll(static_cast<std::uint64_t>((u_lo ^ u_hi) | 1)) - 2;
  const int blocks = std::min(levels, common + kBlock) / kBlock;
  u_lo <<= 2;  // the first side in the top bit
  std::int64_t l = lo, w = w0;
  for (int b = 0; b < blocks; ++b) {
    const int digits =
        static_cast<int>(static_cast<std::uint64_t>(u_lo) >> (64 - kBlock));
    u_lo =
        static_cast<std::int64_t>(static_cast<std::uint64_t>(u_lo) << kBlock);
    const std::uint8_t e =
        kBlockTable
            .entry[digits << (kBlockWidthBits + 1) |
                   static_cast<int>(w & ((1 << kBlockWidthBits) - 1)) << 1 |
                   static_cast<int>(l & 1)];
    const std::int64_t q = w >> kBlock;
    const std::int64_t l_next = l + q * digits + (e & 63);
    const std::int64_t w_next = q + (e >> 6);
    if (!(l_next < kb && ka < l_next + w_next)) break;
    l = l_next;
    w = w_next;
  }
  lo = l;
  hi = l + w;
}

// A bracket [lo, hi] within one binade of one sign (not zero, subnormal or
// infinite) as order keys, with the keys of the region [below, above] and
// the tolerance in whole units of the last place (the width hi - lo is
// exact and below 2^53 there). False for any other bracket.
struct KeyBracket {
  std::int64_t lo, hi, below, above, tol_units;
  double inv_unit;  // 1 / (unit of the last place), a power of two
};

bool ToKeys(double lo,
            double hi,
            double below,
            double above,
            double tol,
            KeyBracket* k) {
  const std::int64_t klo = OrderKey(lo), khi = OrderKey(hi);
  const std::uint64_t exp_lo =
      static_cast<std::uint64_t>(klo < 0 ? -klo : klo) & kExpBits;
  const std::uint64_t exp_hi =
      static_cast<std::uint64_t>(khi < 0 ? -khi : khi) & kExpBits;
  if (!(std::isfinite(below) && std::isfinite(above) &&
        (klo < 0) == (khi < 0) && exp_lo == exp_hi && exp_lo != 0 &&
        exp_lo != kExpBits))
    return false;
  // The unit of the last place is the binade's power of two / 2^52; its
  // inverse is a power of two too (for binades from 2^-971 up). In the
  // top binade the sum of the ends overflows.
  const std::uint64_t exp = exp_lo >> 52;
  if (exp < 52 || exp > 2045) return false;
  const std::uint64_t inv_unit_bits = (2098 - exp) << 52;
  double inv_unit;
  std::memcpy(&inv_unit, &inv_unit_bits, sizeof inv_unit);
  k->inv_unit = inv_unit;
  const double tol_ulps = tol * inv_unit;
  k->tol_units = tol_ulps >= 0x1p62 ? INT64_MAX
                 : tol_ulps >= 0.0  ? static_cast<std::int64_t>(tol_ulps)
                                    : -1;  // negative or NaN: never narrow
  k->lo = klo;
  k->hi = khi;
  k->below = OrderKey(below);
  k->above = OrderKey(above);
  return true;
}

// Halves [lo, hi] as the bisection does while the midpoint lies below
// `below` (it becomes the low end) or above `above` (the high end). True
// when the bisection ends there, with its result in *mid; false with *mid
// the first midpoint inside [below, above], not yet judged.
bool HalveCertain(double& lo,
                  double& hi,
                  double below,
                  double above,
                  double tol,
                  double* mid) {
  KeyBracket k;
  if (ToKeys(lo, hi, below, above, tol, &k)) {
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
  double prev_m = 0.0;
  for (bool first = true;; first = false) {
    const double m = (lo + hi) / 2;
    *mid = m;
    if ((!first && m == prev_m) || !std::isfinite(m)) return true;
    if (!(m < below || m > above)) return false;
    if (m < below)
      lo = m;
    else
      hi = m;
    if (std::fabs(hi - lo) <= tol) {
      *mid = (lo + hi) / 2;
      return true;
    }
    prev_m = m;
  }
}

// The whole bisection on order keys (see HalveKeys) once the computed f of
// every key from `first` to k.above that lies in the bracket is known:
// f_at[key - first]. Keys outside [k.below, k.above] are judged by side.
// Returns the bisection's result.
template <bool kNeg>
double BisectKeys(const KeyBracket& k,
                  std::int64_t first,
                  const double* f_at,
                  double t) {
  std::uint64_t mag_lo = static_cast<std::uint64_t>(kNeg ? -k.lo : k.lo);
  std::uint64_t mag_hi = static_cast<std::uint64_t>(kNeg ? -k.hi : k.hi);
  std::uint64_t sum = mag_lo + mag_hi;
  std::int64_t prev = INT64_MIN;  // no key of a finite double
  for (;;) {
    const std::uint64_t mag = MidMagnitude(sum);
    const std::int64_t m = KeyOfMagnitude<kNeg>(mag);
    if (m == prev) return FromOrderKey(m);
    // Judged by evaluation inside [below, above], by side outside.
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

// The same bisection when the computed f is non-decreasing over the keys
// [first, last]: then keys below k1 give f < t, keys from k1 to k2 - 1
// f == t, the others f > t (k1 <= k2, both within [k.below, k.above + 1]),
// and each judgement is a comparison.
template <bool kNeg>
double BisectThresholds(const KeyBracket& k, std::int64_t k1, std::int64_t k2) {
  std::uint64_t mag_lo = static_cast<std::uint64_t>(kNeg ? -k.lo : k.lo);
  std::uint64_t mag_hi = static_cast<std::uint64_t>(kNeg ? -k.hi : k.hi);
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

// The result of BisectThresholds without halving, where it follows from
// the thresholds alone: the bisection ends only at a bracket one key wide
// (k.tol_units <= 1) and at most one key hits the target (k2 - k1 <= 1).
// The bracket then keeps keys below k1 at its low end and keys from k1 on
// at its high end, so it closes on [K - 1, K], K = k1 clamped to
// [k.lo + 1, k.hi], unless a midpoint hits k1 first, which it does when
// k1 lies strictly inside (every narrower bracket still holds k1 inside).
// Closed on [K - 1, K], both the stalled midpoint and the midpoint of the
// narrow bracket are the one of the two with an even significand (halving
// rounds half to even), that is with an even key. False where the
// shortcut does not apply.
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

// What is known of f(q) = q + s D_I(q, c) on the segment |q| <= mm of
// coordinate I, the other coordinate c fixed, from bounds of the model: f
// is increasing with f' >= min_slope, a computed f is within err of the
// exact value; and what RootRegion needs (see FinishSideBounds).
struct SideBounds {
  double mm, min_slope, err, mag;
  double f_lo, f_hi, r_max;  // accepted slopes f0 and residuals |r0|
  double inv_min;            // >= 1 / f0
  double d0_a;               // d0 = d0_a |r0|
  double fix_a, fix_b;       // fixed = fix_a |r0| + fix_b
  double slope_err, half_curv;
};

// The distortion at the point a bisection ended on, when it was evaluated
// there anyway.
struct PointD {
  bool known = false;
  double d[2];
};

// SideBounds from the model's bounds over the segment (slope, mag, curv:
// see Model::Bound); false when the slope bound does not hold.
//
// The root region (RootRegion): g(q) = f(q) - t exact; at the anchor x0 of
// the segment the computed residual r0 is within err + eps |r0| of g(x0)
// (its own rounding included), the computed slope f0 within slope_err of
// g'(x0), and |g''| <= curv. The centre c = x0 - step, step = r0 / f0 as
// computed (within u |r0| inv_min of the exact quotient), is kept exact.
// For q on the segment at distance d from c, by the mean slope over [x0,
// q]:
//   |g(q) - (q - c) f0| <= e f0 + err + eps |r0|
//                          + (d + d0) (slope_err + curv (d + d0) / 2),
// e = 1.01 u |r0| inv_min, d0 = |step| <= d0_a |r0|; the computed f(q) is
// within err of g(q) + t, so its side is certain where d f0 exceeds that
// plus err. With fixed = e f_hi + 2 err + eps |r0| (= fix_a |r0| + fix_b),
// inv_min >= 1 / f0 and G = slope_err + curv (1.06 d0 + 1.07 inv_min
// fixed) / 2,
//   h = 1.0625 inv_min (fixed + d0 G)
// gives h f0 > 1.01 (fixed + (h + d0) G) whenever G inv_min < 0.047 (then
// h <= 1.07 inv_min fixed + 0.06 d0, so G bounds the slope term): certain
// at d = h, and beyond c +- h by monotonicity where c +- h lies on the
// segment or beyond it. r_max keeps G that small for every residual
// accepted.
bool FinishSideBounds(
    double mm, double slope, double mag, double curv, SideBounds* b);

// The parts of SideBounds that depend on the segment's length, for a
// segment |q| <= mm no longer than the one b was made for.
void SetSegment(double mm, SideBounds* b) {
  constexpr double u = kUnitRoundoff;
  b->mm = mm;
  // Roundings inside D_I, then of the sum q + s D_I; 1e-300 covers
  // underflow.
  b->err = u * (1.01 * (mm + b->mag) + kDistRoundings * b->mag) + 1e-300;
  b->fix_b = 2.0 * b->err * (1.0 + 4.0 * kEps);
}

bool FinishSideBounds(
    double mm, double slope, double mag, double curv, SideBounds* b) {
  if (!(slope <= kMaxSlopeBound) || !(mag < HUGE_VAL) || !(curv < HUGE_VAL) ||
      !(mm < HUGE_VAL))
    return false;
  constexpr double u = kUnitRoundoff;
  b->mag = mag;
  b->min_slope = 1.0 - slope;
  const double slope_err =
      u * (1.01 * (1.0 + slope) + kSlopeRoundings * slope) + 1e-300;
  b->slope_err = slope_err;
  b->half_curv = curv / 2.0 * 1.001;
  b->f_lo = b->min_slope - slope_err;
  b->f_hi = 1.0 + slope + slope_err;
  // 1 / (1 - x) <= 1 + x + 2 x^2 for 0 <= x <= 1/2.
  const double x = slope + slope_err;
  const double inv_min = (1.0 + x + 2.0 * x * x) * (1.0 + 4.0 * kEps);
  b->inv_min = inv_min;
  b->d0_a = inv_min * (1.0 + 2.02 * u) * (1.0 + 4.0 * kEps);
  b->fix_a = (2.02 * u * inv_min * b->f_hi + kEps) * (1.0 + 4.0 * kEps);
  SetSegment(mm, b);
  // Residuals up to r_max keep G inv_min below 0.048 (checked here for the
  // longest segment, so for every shorter one).
  const double r_max = 0.015 / (curv * inv_min + 1e-300);
  const double d0 = b->d0_a * r_max;
  const double fixed = b->fix_a * r_max + b->fix_b;
  const double g =
      slope_err + b->half_curv * (1.06 * d0 + 1.07 * inv_min * fixed);
  if (!(g * inv_min < 0.047)) return false;
  b->r_max = r_max;
  return true;
}

// The model's bounds for coordinate I over |q_I| <= mm, |q_other| <= ca,
// with a margin for their own rounding.
template <int I, class Dist>
void ModelBounds(const Dist& dist,
                 double mm,
                 double ca,
                 double* slope,
                 double* mag,
                 double* curv) {
  dist.template Bound<I>(mm, ca, slope, mag, curv);
  *slope *= 1.01;
  *mag *= 1.01;
  *curv *= 1.01;
}

// Bounds of the model over a box |x| <= box[0], |y| <= box[1] for each
// coordinate, formed once per search: those of any segment inside the box
// follow at little cost.
struct BoxBounds {
  double box[2];
  bool ok[2];
  SideBounds side[2];  // for the longest segments
};

template <class Dist>
void MakeBoxBounds(const Dist& dist, double bx, double by, BoxBounds* b) {
  b->box[0] = bx;
  b->box[1] = by;
  double slope, mag, curv;
  ModelBounds<0>(dist, bx, by, &slope, &mag, &curv);
  b->ok[0] = FinishSideBounds(bx, slope, mag, curv, &b->side[0]);
  ModelBounds<1>(dist, by, bx, &slope, &mag, &curv);
  b->ok[1] = FinishSideBounds(by, slope, mag, curv, &b->side[1]);
}

// SideBounds of the segment |q_I| <= mm with the other coordinate c: from
// the box when the segment lies inside it, else from the model.
template <int I, class Dist>
bool MakeSideBounds(const Dist& dist,
                    const BoxBounds* box,
                    double mm,
                    double c,
                    SideBounds* b) {
  const double ca = std::fabs(c);
  if (box && mm <= box->box[I] && ca <= box->box[1 - I]) {
    if (!box->ok[I]) return false;
    *b = box->side[I];
    SetSegment(mm, b);
    return true;
  }
  if (!(ca < HUGE_VAL)) return false;
  double slope, mag, curv;
  ModelBounds<I>(dist, mm, ca, &slope, &mag, &curv);
  return FinishSideBounds(mm, slope, mag, curv, b);
}

// A root region: every q of the segment with |q - (x0 - step)| > half
// (exact arithmetic) has a computed f on the side of t where q lies (below
// t left of the centre).
struct Region {
  double x0, step, half;
};

// The root region from an anchor x0 of the segment, where the computed
// residual r0 = f(x0) - t and the computed slope f0 ~ f'(x0) are known:
// one Newton step, step = r0 / f0 as computed (see FinishSideBounds). False
// when it cannot be shown.
bool RootRegion(
    const SideBounds& b, double x0, double r0, double f0, Region* region) {
  const double step = r0 / f0;
  const double ar0 = std::fabs(r0);
  const double d0 = b.d0_a * ar0;
  const double fixed = b.fix_a * ar0 + b.fix_b;
  const double g =
      b.slope_err + b.half_curv * (1.06 * d0 + 1.07 * b.inv_min * fixed);
  // Rounded up.
  const double h = 1.0625 * b.inv_min * (fixed + d0 * g) * (1.0 + 8.0 * kEps);
  if (!(ar0 <= b.r_max && b.f_lo < f0 && f0 < b.f_hi &&
        std::fabs(x0 - step) <= b.mm + h))
    return false;
  *region = Region{x0, step, h};
  return true;
}

// The region as doubles [below, above], rounded outward: every q outside
// it, on the segment, is certain.
void RegionEnds(const SideBounds& b,
                const Region& r,
                double* below,
                double* above) {
  const double centre = r.x0 - r.step;
  // |centre| <= mm + half (RootRegion), and the two roundings of each end.
  const double reach = (r.half + kEps * (b.mm + r.half)) * (1.0 + 4.0 * kEps);
  *below = centre - reach;
  *above = centre + reach;
}

// The halvings near the root, each midpoint evaluated. The evaluations are
// chained (each decides the next midpoint), so with the one at m those at
// both possible next midpoints are started too; two halvings then take the
// time of one evaluation. Midpoints outside [below, above] are judged
// without evaluation. Returns the bisection's result.
template <int I, class Dist>
double BisectNear(const Dist& dist,
                  double m,
                  double lo,
                  double hi,
                  double c,
                  double t,
                  double s,
                  double tol,
                  double below,
                  double above) {
  double prev_m;
  double f_next = 0.0;  // f at the next midpoint, when known
  bool have_next = false;
  for (;;) {
    if (m < below || m > above) {
      const bool f_below = m < below;
      lo = f_below ? m : lo;
      hi = f_below ? hi : m;
      have_next = false;
    } else {
      double f, f_left = 0.0, f_right = 0.0;
      const bool known = have_next;
      if (known) {
        f = f_next;
      } else {
        const double m_left = (lo + m) / 2, m_right = (m + hi) / 2;
        f = m + s * dist.template Comp<I>(m, c);
        f_left = m_left + s * dist.template Comp<I>(m_left, c);
        f_right = m_right + s * dist.template Comp<I>(m_right, c);
      }
      if (f == t) break;
      if (f < t)
        lo = m;
      else
        hi = m;
      have_next = !known;
      f_next = f < t ? f_right : f_left;
    }
    if (std::fabs(hi - lo) <= tol) {
      m = (lo + hi) / 2;
      break;
    }
    prev_m = m;
    m = (lo + hi) / 2;
    if (m == prev_m || !std::isfinite(m)) break;
  }
  return m;
}

// Bisection of coordinate I of p between lo (the end whose image lies below
// the target t) and hi, f(m) = m + s D_I(m, c) with c = p[1 - I], result in
// p[I]. With bounds (bd not null, lo < hi) and a root region, midpoints
// outside the region are judged without evaluation; the region is first
// narrowed by Newton steps while it is wide. Each judgement is the one the
// evaluation would give, so the result is that of evaluating every
// midpoint, bit for bit.
template <int I, class Dist>
void BisectFast(const Dist& dist,
                double* p,
                double t,
                double lo,
                double hi,
                double s,
                double tol,
                const SideBounds* bd,
                Region region,
                PointD* at_result) {
  constexpr int J = 1 - I;
  const double c = p[J];
  double below = -HUGE_VAL, above = HUGE_VAL;
  const bool shortcut = bd && lo < hi && region.half < HUGE_VAL;
  if (shortcut) {
    const double wide = kWideRegionUnits *
                        UnitInLastPlace(std::max(std::fabs(lo), std::fabs(hi)));
    for (int it = 0; it < kRootIter && region.half > wide; ++it) {
      const double x1 = std::min(hi, std::max(lo, region.x0 - region.step));
      const double r1 = x1 + s * dist.template Comp<I>(x1, c) - t;
      const double f1 = 1.0 + s * dist.template Slope<I>(x1, c);
      Region r;
      if (!RootRegion(*bd, x1, r1, f1, &r) || !(r.half < region.half)) break;
      region = r;
    }
    RegionEnds(*bd, region, &below, &above);
  }
  KeyBracket k;
  if (ToKeys(lo, hi, below, above, tol, &k)) {
    // The region's ends as keys counted from the anchor's when it lies in
    // the bracket (keys there are equally spaced), sparing the roundings
    // of its centre and ends.
    const std::int64_t kx = OrderKey(region.x0);
    if (k.lo <= kx && kx <= k.hi) {
      const double a = -region.step * k.inv_unit;
      const double h = region.half * k.inv_unit;
      // Offsets from kx, rounded outward, and kept within a key of the
      // bracket (beyond it they judge no midpoint; below 2^53 there).
      const double from = std::max(a - h - std::fabs(a - h) * 0x1p-51,
                                   static_cast<double>(k.lo - kx - 1));
      const double to = std::min(a + h + std::fabs(a + h) * 0x1p-51,
                                 static_cast<double>(k.hi - kx + 1));
      k.below = std::max(k.below, kx + FloorToInt(from));
      k.above = std::min(k.above, kx + CeilToInt(to));
    }
    // The keys that may be judged by evaluation: evaluate them all at once
    // (the evaluations are independent of each other and of the halvings,
    // so they overlap), then halve on keys.
    const std::int64_t first = std::max(k.below, k.lo);
    const std::int64_t last = std::min(k.above, k.hi);
    if (last - first < kBatch) {
      // Both components at each key (they share most of the work): the
      // result is nearly always one of the keys, and the search needs D
      // there next.
      double f_at[kBatch + 1], di_at[kBatch + 1], dj_at[kBatch + 1];
      const Pair cc = {c, c};
      for (std::int64_t key = first; key <= last; key += 2) {
        const Pair q = {FromOrderKey(key), FromOrderKey(key + 1)};
        const Pair di = dist.template Comp<I>(q, cc);
        const Pair dj = dist.template Comp<J>(cc, q);
        const Pair f = q + s * di;
        const std::int64_t j = key - first;
        di_at[j] = di[0];
        di_at[j + 1] = di[1];
        dj_at[j] = dj[0];
        dj_at[j + 1] = dj[1];
        f_at[j] = f[0];
        f_at[j + 1] = f[1];
      }
      // Halvings of known side (on integers: they overlap with the
      // evaluations), unless the thresholds will likely settle the result.
      const bool may_settle = k.tol_units <= 1;
      if (!may_settle) HalveBlocks(k.lo, k.hi, k.below, k.above, k.tol_units);
      // Non-decreasing f over the keys (nearly always): thresholds. No
      // keys when the region misses the bracket.
      const int n = last < first ? 0 : static_cast<int>(last - first) + 1;
      bool rising = true;
      int n_below = 0, n_at_most = 0;
      for (int j = 0; j < n; ++j) {
        if (j + 1 < n) rising &= f_at[j] <= f_at[j + 1];
        n_below += f_at[j] < t;
        n_at_most += f_at[j] <= t;
      }
      double result;
      const std::int64_t k1 = first + n_below, k2 = first + n_at_most;
      if (!(may_settle && rising && ThresholdResult(k, k1, k2, &result))) {
        if (may_settle) HalveBlocks(k.lo, k.hi, k.below, k.above, k.tol_units);
        if (rising) {
          result = k.lo < 0 ? BisectThresholds<true>(k, k1, k2)
                            : BisectThresholds<false>(k, k1, k2);
        } else {
          result = k.lo < 0 ? BisectKeys<true>(k, first, f_at, t)
                            : BisectKeys<false>(k, first, f_at, t);
        }
      }
      p[I] = result;
      const std::int64_t rk = OrderKey(result);
      if (at_result && first <= rk && rk <= last) {
        at_result->known = true;
        at_result->d[I] = di_at[rk - first];
        at_result->d[J] = dj_at[rk - first];
      }
      return;
    }
  }
  double m = 0.0;
  if (!HalveCertain(lo, hi, below, above, tol, &m))
    m = BisectNear<I>(dist, m, lo, hi, c, t, s, tol, below, above);
  p[I] = m;
}

// The bisection of coordinate I with bounds over [lo, hi] and the root
// region from the anchor x0 with computed f(x0) = fx0; without a usable
// bound every midpoint is evaluated.
template <int I, class Dist>
void BisectFromAnchor(const Dist& dist,
                      double* p,
                      double t,
                      double lo,
                      double hi,
                      double s,
                      double tol,
                      double x0,
                      double fx0,
                      const BoxBounds* box,
                      PointD* at_result) {
  const double c = p[1 - I];
  SideBounds bd;
  Region region{0.0, 0.0, HUGE_VAL};
  const bool bounded =
      lo < hi &&
      MakeSideBounds<I>(dist,
                        box,
                        std::max({std::fabs(lo), std::fabs(hi), std::fabs(x0)}),
                        c,
                        &bd) &&
      RootRegion(
          bd, x0, fx0 - t, 1.0 + s * dist.template Slope<I>(x0, c), &region);
  BisectFast<I>(
      dist, p, t, lo, hi, s, tol, bounded ? &bd : nullptr, region, at_result);
}

// One coordinate I of a pass of the search: bracket the target coordinate
// around p (di = D_I(p)) by the points a and b, or by walking, and bisect.
// Only D_I enters, so only that component is evaluated. The values of f at
// a and b are not evaluated where the root region from p (f(p) = p + s di
// is known) places a and b on either side of it: the branch taken is then
// certain. False when a walk runs out of steps (p holds its last point).
template <int I, class Dist>
bool SearchCoord(const Dist& dist,
                 double* p,
                 const double* t,
                 double s,
                 double tol,
                 double di,
                 const BoxBounds* box,
                 PointD* at_result) {
  constexpr int J = 1 - I;
  at_result->known = false;
  const double c = p[J], ti = t[I], pi = p[I];
  const double a = pi - s * di;
  const double b = pi + 2.0 * s * di;
  const double fp = pi + s * di;
  SideBounds bd;
  Region region{0.0, 0.0, HUGE_VAL};
  // The root lies about |fp - ti| from p, a at |di|: hopeless unless the
  // first is well below the second (as in the first pass, where the root
  // is near a).
  const bool bounded =
      std::fabs(fp - ti) < 0.5 * std::fabs(di) &&
      MakeSideBounds<I>(
          dist, box, std::max(std::fabs(a), std::fabs(b)), c, &bd) &&
      RootRegion(
          bd, pi, fp - ti, 1.0 + s * dist.template Slope<I>(pi, c), &region);
  if (bounded) {
    const double lo = std::min(a, b), hi = std::max(a, b);
    double below, above;
    RegionEnds(bd, region, &below, &above);
    // f(lo) < t < f(hi) certain, and |f(a) - f(b)| above eps.
    if (lo < below && hi > above &&
        ((hi - lo) * bd.min_slope - 2.0 * bd.err) * 0.99 > kEps) {
      BisectFast<I>(dist, p, ti, lo, hi, s, tol, &bd, region, at_result);
      return true;
    }
  }
  const double da = dist.template Comp<I>(a, c);
  const double db = dist.template Comp<I>(b, c);
  const double fa = a + s * da, fb = b + s * db;
  // D_I on the line through p, reusing the values at a and b (the first
  // step of a walk often lands on one of them).
  auto d_at = [&](double q) {
    return SameBits(q, a)   ? da
           : SameBits(q, b) ? db
                            : dist.template Comp<I>(q, c);
  };
  if (std::fabs(fa - fb) <= kEps) {
    p[I] = (a + b) / 2;
    return true;
  }
  // The anchor of the root region: of the points where f is known, the
  // one nearest the target in f (the nearer, the narrower the region).
  double x_best = a, f_best = fa;
  auto consider = [&](double x, double f) {
    if (std::fabs(f - ti) < std::fabs(f_best - ti)) {
      x_best = x;
      f_best = f;
    }
  };
  consider(b, fb);
  // Bisection between a and b.
  auto bisect_ab = [&](double lo, double hi) {
    if (bounded && !(std::fabs(f_best - ti) < std::fabs(fp - ti))) {
      BisectFast<I>(dist, p, ti, lo, hi, s, tol, &bd, region, at_result);
      return;
    }
    consider(pi, fp);
    BisectFromAnchor<I>(
        dist, p, ti, lo, hi, s, tol, x_best, f_best, box, at_result);
  };
  double dir;
  if (fa < fb) {
    if (fa < ti && ti < fb) {
      bisect_ab(a, b);
      return true;
    }
    dir = ti > fb ? 1.0 : -1.0;
  } else {
    if (fb < ti && ti < fa) {
      bisect_ab(b, a);
      return true;
    }
    dir = ti > fa ? -1.0 : 1.0;
  }
  if (fa == ti || fb == ti) {
    p[I] = ti;
    return true;
  }
  if (fa < ti) dir = fa < fb ? -1.0 : 1.0;

  // Walk from p until the target is bracketed; D_I(p) is still di.
  double lo = pi, hi = pi;
  double f_end;  // f at the walk's last point
  if (fp < ti) {
    for (int step = 0;; ++step) {
      if (step == kMaxWalkSteps) return false;
      const double old = p[I];
      p[I] = p[I] + di;
      if (p[I] == old) {
        hi = lo;
        break;
      }
      di = d_at(p[I]);
      if (std::fabs(di) <= kEps || p[I] + di == p[I]) {
        hi = lo;
        break;
      }
      f_end = p[I] + s * di;
      consider(p[I], f_end);
      if (f_end > ti) {
        hi = p[I];
        break;
      }
    }
  } else {
    for (int step = 0;; ++step) {
      if (step == kMaxWalkSteps) return false;
      p[I] = p[I] + dir * std::fabs(di);
      di = d_at(p[I]);
      if (std::fabs(di) <= kEps || p[I] + di == p[I]) {
        lo = hi;
        break;
      }
      f_end = p[I] + s * di;
      consider(p[I], f_end);
      if (f_end < ti) {
        lo = p[I];
        break;
      }
    }
  }
  consider(pi, fp);
  BisectFromAnchor<I>(
      dist, p, ti, lo, hi, s, tol, x_best, f_best, box, at_result);
  return true;
}

template <class Dist>
double Residual(const Dist& dist, const double* p, const double* t, double s) {
  double d[2];
  dist(p[0], p[1], d[0], d[1]);
  const double ex = p[0] + s * d[0] - t[0];
  const double ey = p[1] + s * d[1] - t[1];
  return std::sqrt(ex * ex + ey * ey);
}

// The bracketing search: passes over x, then y, until the residual meets
// tol or stops falling.
template <class Dist>
bool SearchT(const Dist& dist,
             double x,
             double y,
             double tol,
             bool sign,
             double* qx,
             double* qy,
             double* residual,
             double* best) {
  const double s = sign ? 1.0 : -1.0;
  *qx = x;
  *qy = y;
  const double t[2] = {x, y};
  double p[2] = {x, y};
  double prev_r = 0.0;
  bool have_prev = false;
  double prev_p[2] = {x, y};
  double dx = dist.template Comp<0>(x, y);  // D_x(p) while p stays
  // The bracket of coordinate I lies within |t_I| + 3 |D_I| or so while
  // the search converges: bounds over a box a little larger serve them all.
  BoxBounds box;
  MakeBoxBounds(
      dist,
      (std::fabs(x) + 4.0 * std::fabs(dx)) * 1.001,
      (std::fabs(y) + 4.0 * std::fabs(dist.template Comp<1>(y, x))) * 1.001,
      &box);
  PointD at;  // D at p after a coordinate's bisection, when known
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    bool walked = SearchCoord<0>(dist, p, t, s, tol, dx, &box, &at);
    if (walked) {
      const double dy = at.known ? at.d[1] : dist.template Comp<1>(p[1], p[0]);
      walked = SearchCoord<1>(dist, p, t, s, tol, dy, &box, &at);
    }
    if (!walked) {
      if (best) {
        const double r = Residual(dist, p, t, s);
        const bool use_prev = have_prev && !(r <= prev_r);
        best[0] = use_prev ? prev_p[0] : p[0];
        best[1] = use_prev ? prev_p[1] : p[1];
      }
      return false;
    }
    double d[2];
    if (at.known) {
      d[0] = at.d[0];
      d[1] = at.d[1];
    } else {
      dist(p[0], p[1], d[0], d[1]);
    }
    dx = d[0];
    const double ex = p[0] + s * d[0] - x;
    const double ey = p[1] + s * d[1] - y;
    const double r = std::sqrt(ex * ex + ey * ey);
    if (r <= tol || (have_prev && !(r < prev_r))) {
      *qx = p[0];
      *qy = p[1];
      *residual = r;
      return true;
    }
    prev_r = r;
    have_prev = true;
    prev_p[0] = p[0];
    prev_p[1] = p[1];
  }
  if (best) {
    best[0] = prev_p[0];
    best[1] = prev_p[1];
  }
  return false;
}

// ---------------------------------------------------------------------------
// The reference: the search and the bisection step by step, with the full
// distortion evaluated wherever a step needs it and nothing skipped (a
// non-finite midpoint also ends the bisection, which would not end
// otherwise).

template <class Dist>
void BisectPlain(const Dist& dist,
                 double* p,
                 int i,
                 const double* target,
                 const double* low,
                 const double* high,
                 double s,
                 double tol) {
  double lo = low[i], hi = high[i];
  double q[2] = {p[0], p[1]};
  double prev_m = 0.0;
  for (bool first = true;; first = false) {
    const double m = (lo + hi) / 2;
    q[i] = m;
    if ((!first && m == prev_m) || !std::isfinite(m)) break;
    double d[2];
    dist(q[0], q[1], d[0], d[1]);
    const double f = m + s * d[i];
    if (f == target[i]) break;
    if (f < target[i])
      lo = m;
    else
      hi = m;
    if (std::fabs(hi - lo) <= tol) {
      q[i] = (lo + hi) / 2;
      break;
    }
    prev_m = m;
  }
  p[0] = q[0];
  p[1] = q[1];
}

template <class Dist>
bool SearchPlain(const Dist& dist,
                 double x,
                 double y,
                 double tol,
                 bool sign,
                 double* qx,
                 double* qy,
                 double* residual) {
  const double s = sign ? 1.0 : -1.0;
  *qx = x;
  *qy = y;
  const double t[2] = {x, y};
  double p[2] = {x, y};
  double prev_r = 0.0;
  bool have_prev = false;
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    for (int i = 0; i < 2; ++i) {
      double d[2], da[2], db[2];
      dist(p[0], p[1], d[0], d[1]);
      double a[2] = {p[0], p[1]}, b[2] = {p[0], p[1]};
      a[i] = p[i] - s * d[i];
      b[i] = p[i] + 2.0 * s * d[i];
      dist(a[0], a[1], da[0], da[1]);
      dist(b[0], b[1], db[0], db[1]);
      const double fa = a[i] + s * da[i], fb = b[i] + s * db[i];
      if (std::fabs(fa - fb) <= kEps) {
        p[i] = (a[i] + b[i]) / 2;
        continue;
      }
      double dir;
      if (fa < fb) {
        if (fa < t[i] && t[i] < fb) {
          BisectPlain(dist, p, i, t, a, b, s, tol);
          continue;
        }
        dir = t[i] > fb ? 1.0 : -1.0;
      } else {
        if (fb < t[i] && t[i] < fa) {
          BisectPlain(dist, p, i, t, b, a, s, tol);
          continue;
        }
        dir = t[i] > fa ? -1.0 : 1.0;
      }
      if (fa == t[i] || fb == t[i]) {
        p[i] = t[i];
        continue;
      }
      if (fa < t[i]) dir = fa < fb ? -1.0 : 1.0;
      dist(p[0], p[1], d[0], d[1]);
      double lo[2] = {p[0], p[1]}, hi[2] = {p[0], p[1]};
      if (p[i] + s * d[i] < t[i]) {
        lo[i] = p[i];
        for (int step = 0;; ++step) {
          if (step == kMaxWalkSteps) return false;
          const double old = p[i];
          p[i] = p[i] + d[i];
          if (p[i] == old) {
            hi[i] = lo[i];
            break;
          }
          dist(p[0], p[1], d[0], d[1]);
          if (std::fabs(d[i]) <= kEps || p[i] + d[i] == p[i]) {
            hi[i] = lo[i];
            break;
          }
          if (p[i] + s * d[i] > t[i]) {
            hi[i] = p[i];
            break;
          }
        }
      } else {
        hi[i] = p[i];
        for (int step = 0;; ++step) {
          if (step == kMaxWalkSteps) return false;
          p[i] = p[i] + dir * std::fabs(d[i]);
          dist(p[0], p[1], d[0], d[1]);
          if (std::fabs(d[i]) <= kEps || p[i] + d[i] == p[i]) {
            lo[i] = hi[i];
            break;
          }
          if (p[i] + s * d[i] < t[i]) {
            lo[i] = p[i];
            break;
          }
        }
      }
      BisectPlain(dist, p, i, t, lo, hi, s, tol);
    }
    const double r = Residual(dist, p, t, s);
    if (r <= tol || (have_prev && !(r < prev_r))) {
      *qx = p[0];
      *qy = p[1];
      *residual = r;
      return true;
    }
    prev_r = r;
    have_prev = true;
  }
  return false;
}

}  // namespace

CalcDistortion::CalcDistortion(unsigned long model, const double* para)
    : model_(model) {
  for (int k = 0; k < kMaxPara; ++k) p_[k] = para[k];
}

void CalcDistortion::Distort(double x, double y, double& dx, double& dy) const {
  auto f = [&](const auto& dist) { dist(x, y, dx, dy); };
  return WithDistFormula(model_, p_, f);
}

bool CalcDistortion::Search(double x,
                            double y,
                            double tol,
                            bool sign,
                            double* qx,
                            double* qy,
                            double* residual,
                            double* best) const {
  auto f = [&](const auto& dist) {
    return SearchT(dist, x, y, tol, sign, qx, qy, residual, best);
  };
  return WithDistFormula(model_, p_, f);
}

bool CalcDistortion::SearchReference(double x,
                                     double y,
                                     double tol,
                                     bool sign,
                                     double* qx,
                                     double* qy,
                                     double* residual) const {
  auto f = [&](const auto& dist) {
    return SearchPlain(dist, x, y, tol, sign, qx, qy, residual);
  };
  return WithDistFormula(model_, p_, f);
}

void CalcDistortion::Bisect(double* p,
                            int i,
                            const double* target,
                            const double* low,
                            const double* high,
                            double s,
                            double tol) const {
  auto f = [&](const auto& dist) {
    // Anchor: p's coordinate within the bracket, else the bracket's middle.
    const double lo = low[i], hi = high[i];
    double x0 = p[i];
    if (!(lo <= x0 && x0 <= hi)) x0 = (lo + hi) / 2;
    if (i == 0) {
      BisectFromAnchor<0>(dist,
                          p,
                          target[0],
                          lo,
                          hi,
                          s,
                          tol,
                          x0,
                          x0 + s * dist.template Comp<0>(x0, p[1]),
                          nullptr,
                          nullptr);
    } else {
      BisectFromAnchor<1>(dist,
                          p,
                          target[1],
                          lo,
                          hi,
                          s,
                          tol,
                          x0,
                          x0 + s * dist.template Comp<1>(x0, p[0]),
                          nullptr,
                          nullptr);
    }
  };
  return WithDistFormula(model_, p_, f);
}

void CalcDistortion::BisectReference(double* p,
                                     int i,
                                     const double* target,
                                     const double* low,
                                     const double* high,
                                     double s,
                                     double tol) const {
  auto f = [&](const auto& dist) {
    BisectPlain(dist, p, i, target, low, high, s, tol);
  };
  return WithDistFormula(model_, p_, f);
}

void CalcDistortion::Jacobian(double x, double y, double jac[4]) const {
  auto f = [&](const auto& dist) { dist.Jacobian(x, y, jac); };
  return WithDistFormula(model_, p_, f);
}

bool CalcDistortion::Newton(double x,
                            double y,
                            double tol,
                            bool sign,
                            double start_x,
                            double start_y,
                            double* qx,
                            double* qy,
                            double* residual) const {
  const double s = sign ? 1.0 : -1.0;
  const double scale = std::max({1.0, std::fabs(x), std::fabs(y)});
  const double accept = std::max(tol, kRoundingFloorUlps * kEps * scale);
  // Error e = target - (q + s D(q)) at q, and its length.
  auto error = [&](const double* q, double* e) {
    double d[2];
    Distort(q[0], q[1], d[0], d[1]);
    e[0] = x - (q[0] + s * d[0]);
    e[1] = y - (q[1] + s * d[1]);
    return std::sqrt(e[0] * e[0] + e[1] * e[1]);
  };
  double p[2] = {start_x, start_y};
  double e[2];
  double r = error(p, e);
  for (int it = 0; it < kNewtonMaxIter && !(r <= accept); ++it) {
    double jac[4];
    Jacobian(p[0], p[1], jac);
    const double a = 1.0 + s * jac[0], b = s * jac[1];
    const double c = s * jac[2], d = 1.0 + s * jac[3];
    const double det = a * d - b * c;
    if (!(std::fabs(det) > kNewtonMinDet)) break;
    const double step_x = (d * e[0] - b * e[1]) / det;
    const double step_y = (a * e[1] - c * e[0]) / det;
    double lambda = 1.0;
    bool improved = false;
    for (int h = 0; h < kNewtonMaxHalvings; ++h, lambda *= 0.5) {
      double pn[2] = {p[0] + lambda * step_x, p[1] + lambda * step_y};
      double en[2];
      const double rn = error(pn, en);
      if (rn < r) {
        p[0] = pn[0];
        p[1] = pn[1];
        e[0] = en[0];
        e[1] = en[1];
        r = rn;
        improved = true;
        break;
      }
    }
    if (!improved) break;
  }
  if (!(r <= accept)) return false;
  *qx = p[0];
  *qy = p[1];
  *residual = r;
  return true;
}

bool CalcDistortion::Invert(double x,
                            double y,
                            double tol,
                            bool sign,
                            double* qx,
                            double* qy,
                            double* residual) const {
  double best[2] = {x, y};
  if (Search(x, y, tol, sign, qx, qy, residual, best)) return true;
  if (Newton(x, y, tol, sign, best[0], best[1], qx, qy, residual)) return true;
  return Newton(x, y, tol, sign, x, y, qx, qy, residual);
}

}  // namespace collinear
