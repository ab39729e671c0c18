#include <collinear/calculator/calc_distortion.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace collinear {
namespace {

constexpr double kEps = 2.220446049250313e-16;  // the double epsilon
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

// Bisection shortcut (see BisectT): the slope of q_i + s D_i must stay above
// 1 - kMaxSlopeBound over the bracket, the root estimate takes at most
// kRootIter Newton steps, and the rounding bound of one evaluation is
// kRoundingUlps units of the magnitudes involved (the formulas have at most
// a dozen operations in a row, so 64 is ample).
constexpr double kMaxSlopeBound = 0.5;
constexpr int kRootIter = 6;
constexpr double kRoundingUlps = 64.0;

// The four models: NR radial terms p0..p(NR-1) on r^2..r^(2 NR), then
// Kind::kRadial nothing, kDecentring two decentring terms (a, b) behind
// them, kFurther the six further terms of model 4. Comp<I> evaluates the
// distortion of coordinate I at the point whose coordinate I is m and
// other coordinate c, in the published order of operations; the full
// evaluation is made of the two components, so both agree bit for bit.
enum class Kind { kRadial, kDecentring, kFurther };

template <int NR, Kind K>
struct Model {
  const double* p;

  double Radial(double r2) const {
    const double r4 = r2 * r2;
    double k = p[0] * r2 + p[1] * r4;
    if (NR >= 3) {
      const double r6 = r4 * r2;
      k = k + p[2] * r6;
      if (NR >= 4) {
        const double r8 = r6 * r2;
        k = k + p[3] * r8;
      }
    }
    return k;
  }

  template <int I>
  double Comp(double m, double c) const {
    const double x = I == 0 ? m : c;
    const double y = I == 0 ? c : m;
    const double r2 = x * x + y * y;
    const double k = Radial(r2);
    if (K == Kind::kRadial) return (I == 0 ? x : y) * k;
    if (K == Kind::kDecentring) {
      const double a = p[NR], b = p[NR + 1];
      return I == 0 ? x * k + a * (r2 + 2.0 * x * x) + 2.0 * b * x * y
                    : y * k + b * (r2 + 2.0 * y * y) + 2.0 * a * x * y;
    }
    return I == 0 ? x * k + p[2] * x + p[3] * y + p[4] * x * y + p[5] * y * y
                  : y * k + p[6] * x * y + p[7] * x * x;
  }

  void operator()(double x, double y, double& dx, double& dy) const {
    dx = Comp<0>(x, y);
    dy = Comp<1>(y, x);
  }

  // Partial derivatives of D, row by row: ddx/dx, ddx/dy, ddy/dx, ddy/dy.
  void Jacobian(double x, double y, double* jac) const {
    const double r2 = x * x + y * y;
    double k1 = p[NR - 1] * NR;  // d(radial bracket)/d(r2), Horner form
    for (int j = NR - 1; j >= 1; --j) k1 = k1 * r2 + p[j - 1] * j;
    const double k = Radial(r2);
    jac[0] = k + 2.0 * x * x * k1;
    jac[1] = 2.0 * x * y * k1;
    jac[2] = jac[1];
    jac[3] = k + 2.0 * y * y * k1;
    if (K == Kind::kDecentring) {
      const double a = p[NR], b = p[NR + 1];
      jac[0] += 6.0 * a * x + 2.0 * b * y;
      jac[1] += 2.0 * a * y + 2.0 * b * x;
      jac[2] += 2.0 * b * x + 2.0 * a * y;
      jac[3] += 6.0 * b * y + 2.0 * a * x;
    } else if (K == Kind::kFurther) {
      jac[0] += p[2] + p[4] * y;
      jac[1] += p[3] + p[4] * x + 2.0 * p[5] * y;
      jac[2] += p[6] * y + 2.0 * p[7] * x;
      jac[3] += p[6] * x;
    }
  }

  // dD_I / dq_I at the point (only to steer the root estimate).
  template <int I>
  double Slope(double m, double c) const {
    double jac[4];
    if (I == 0)
      Jacobian(m, c, jac);
    else
      Jacobian(c, m, jac);
    return jac[3 * I];
  }

  // Over |q_I| <= mm with |q_other| = ca: an upper bound of |dD_I/dq_I| in
  // *slope, and of the sum of the magnitudes of the terms of D_I in *mag.
  template <int I>
  void Bound(double mm, double ca, double* slope, double* mag) const {
    const double r2 = mm * mm + ca * ca;
    double k = 0.0, k1 = 0.0, rn = 1.0;
    for (int j = 0; j < NR; ++j) {
      k1 += (j + 1) * std::fabs(p[j]) * rn;
      rn *= r2;
      k += std::fabs(p[j]) * rn;
    }
    double s = k + 2.0 * mm * mm * k1, g = mm * k;
    if (K == Kind::kDecentring) {
      const double a = std::fabs(p[I == 0 ? NR : NR + 1]);
      const double b = std::fabs(p[I == 0 ? NR + 1 : NR]);
      s += 6.0 * a * mm + 2.0 * b * ca;
      g += a * (r2 + 2.0 * mm * mm) + 2.0 * b * mm * ca;
    } else if (K == Kind::kFurther) {
      if (I == 0) {
        s += std::fabs(p[2]) + std::fabs(p[4]) * ca;
        g += std::fabs(p[2]) * mm + std::fabs(p[3]) * ca +
             std::fabs(p[4]) * mm * ca + std::fabs(p[5]) * ca * ca;
      } else {
        s += std::fabs(p[6]) * ca;
        g += std::fabs(p[6]) * ca * mm + std::fabs(p[7]) * ca * ca;
      }
    }
    *slope = s;
    *mag = g;
  }
};

using Radial4 = Model<4, Kind::kRadial>;                // model 1
using Radial2Decentring = Model<2, Kind::kDecentring>;  // model 2
using Radial3Decentring = Model<3, Kind::kDecentring>;  // model 3
using Radial2Further = Model<2, Kind::kFurther>;        // model 4

struct NoDistortion {
  template <int I>
  double Comp(double, double) const {
    return 0.0;
  }
  void operator()(double, double, double& dx, double& dy) const {
    dx = 0.0;
    dy = 0.0;
  }
  void Jacobian(double, double, double* jac) const {
    jac[0] = jac[1] = jac[2] = jac[3] = 0.0;
  }
  template <int I>
  double Slope(double, double) const {
    return 0.0;
  }
  template <int I>
  void Bound(double, double, double* slope, double* mag) const {
    *slope = 0.0;
    *mag = 0.0;
  }
};

// Where the bisection of coordinate I between lo and hi may skip the
// evaluation: every midpoint below *below is certain to give f < t, every
// one above *above f > t. f(m) = m + s D_I(m, c) is increasing with a slope
// of at least L on the bracket (bounded from the model), each evaluation is
// off its exact value by at most E, and near a root estimate m0 with
// residual r the exact root lies within (|r| + E) / L; so beyond
// (|r| + 2E) / L of m0 the computed f is on the known side. Leaves the
// defaults (no shortcut) when the bracket is not finite or the slope bound
// does not hold.
template <int I, class Dist>
void CertainRegion(const Dist& dist,
                   double m0,
                   double c,
                   double t,
                   double lo,
                   double hi,
                   double s,
                   double* below,
                   double* above) {
  if (!(lo < hi) || !std::isfinite(lo) || !std::isfinite(hi) ||
      !std::isfinite(c) || !std::isfinite(t))
    return;
  const double mm = std::max(std::fabs(lo), std::fabs(hi));
  double slope_bound, mag;
  dist.template Bound<I>(mm, std::fabs(c), &slope_bound, &mag);
  slope_bound *= 1.001;  // rounding of the bound itself
  if (!(slope_bound <= kMaxSlopeBound)) return;
  const double min_slope = 1.0 - slope_bound;
  // Rounding of D_I, then of the sum m + s D_I (half a unit of its size).
  const double err = kEps * (kRoundingUlps * mag + mm + mag) + 1e-300;
  double m = (lo <= m0 && m0 <= hi) ? m0 : (lo + hi) / 2;
  double r = 0.0;
  for (int it = 0;; ++it) {
    r = m + s * dist.template Comp<I>(m, c) - t;
    if (!std::isfinite(r)) return;
    if (std::fabs(r) <= err || it == kRootIter) break;
    const double next = std::min(
        hi, std::max(lo, m - r / (1.0 + s * dist.template Slope<I>(m, c))));
    if (next == m) break;
    m = next;
  }
  const double reach =
      (std::fabs(r) + 2.0 * err) / min_slope * 1.001 + kEps * mm;
  *below = m - reach;
  *above = m + reach;
}

// Doubles as integers in the order of their values: the magnitude's bit
// pattern, negated for negative numbers (both zeros give 0).
std::int64_t OrderKey(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const auto mag = static_cast<std::int64_t>(bits & ~kSignBit);
  return (bits & kSignBit) ? -mag : mag;
}

double FromOrderKey(std::int64_t key) {
  std::uint64_t bits = key < 0 ? static_cast<std::uint64_t>(-key) | kSignBit
                               : static_cast<std::uint64_t>(key);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
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
    const std::uint64_t half = sum >> 1;
    const std::uint64_t mag = half + (sum & half & 1);
    const std::int64_t m =
        kNeg ? -static_cast<std::int64_t>(mag) : static_cast<std::int64_t>(mag);
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
  lo = kNeg ? -static_cast<std::int64_t>(mag_lo)
            : static_cast<std::int64_t>(mag_lo);
  hi = kNeg ? -static_cast<std::int64_t>(mag_hi)
            : static_cast<std::int64_t>(mag_hi);
  return end;
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
  const std::int64_t klo = OrderKey(lo), khi = OrderKey(hi);
  const std::uint64_t exp_lo =
      static_cast<std::uint64_t>(klo < 0 ? -klo : klo) & kExpBits;
  const std::uint64_t exp_hi =
      static_cast<std::uint64_t>(khi < 0 ? -khi : khi) & kExpBits;
  if (std::isfinite(below) && std::isfinite(above) && (klo < 0) == (khi < 0) &&
      exp_lo == exp_hi && exp_lo != 0 && exp_lo != kExpBits) {
    // One binade: the unit of the last place is its power of two / 2^52.
    double binade;
    std::memcpy(&binade, &exp_lo, sizeof binade);
    // |hi - lo| <= tol in whole units (hi - lo is exact and below 2^53).
    const double tol_ulps = tol / (binade * 0x1p-52);
    const std::int64_t tol_units =
        tol_ulps >= 0x1p62 ? INT64_MAX
        : tol_ulps >= 0.0  ? static_cast<std::int64_t>(tol_ulps)
                           : -1;  // negative or NaN: never narrow enough
    std::int64_t l = klo, h = khi, m = 0;
    const std::int64_t kb = OrderKey(below), ka = OrderKey(above);
    const Halving end = klo < 0 ? HalveKeys<true>(l, h, kb, ka, tol_units, &m)
                                : HalveKeys<false>(l, h, kb, ka, tol_units, &m);
    lo = FromOrderKey(l);
    hi = FromOrderKey(h);
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

// Bisection of coordinate I of p between low[I] (the end whose image lies
// below the target) and high[I]. Each midpoint m is judged by f = m + s
// D_I(m, other); f < t moves the low end, otherwise the high end. It stops
// at an exact hit, when the bracket is at most tol wide, or when the
// midpoint no longer changes. Midpoints inside the certain region of
// CertainRegion are judged without evaluating f (the judgement is the
// one the evaluation would give), which leaves the result unchanged bit for
// bit; shortcut false evaluates every one.
template <int I, class Dist>
void BisectT(const Dist& dist,
             double* p,
             const double* target,
             const double* low,
             const double* high,
             double s,
             double tol,
             bool shortcut,
             double root_hint = HUGE_VAL) {
  const double c = p[1 - I];
  const double t = target[I];
  double lo = low[I], hi = high[I];
  double below = -HUGE_VAL, above = HUGE_VAL;
  if (shortcut) {
    const double m0 = (lo <= root_hint && root_hint <= hi) ? root_hint : p[I];
    CertainRegion<I>(dist, m0, c, t, lo, hi, s, &below, &above);
  }
  double m = 0.0;
  if (HalveCertain(lo, hi, below, above, tol, &m)) {
    p[I] = m;
    return;
  }
  // Near the root every midpoint is evaluated. The evaluations are chained
  // (each decides the next midpoint), so with the one at m those at both
  // possible next midpoints are started too; two halvings then take the
  // time of one evaluation.
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
  p[I] = m;
}

template <class Dist>
void BisectCoord(const Dist& dist,
                 double* p,
                 int i,
                 const double* target,
                 const double* low,
                 const double* high,
                 double s,
                 double tol,
                 bool shortcut) {
  if (i == 0)
    BisectT<0>(dist, p, target, low, high, s, tol, shortcut);
  else
    BisectT<1>(dist, p, target, low, high, s, tol, shortcut);
}

template <class Dist>
double Residual(const Dist& dist, const double* p, const double* t, double s) {
  double d[2];
  dist(p[0], p[1], d[0], d[1]);
  const double ex = p[0] + s * d[0] - t[0];
  const double ey = p[1] + s * d[1] - t[1];
  return std::sqrt(ex * ex + ey * ey);
}

// Where the line through (u, fu) and (v, fv) meets the target t: a start
// for the root estimate of the bisection between u and v.
double Secant(double u, double fu, double v, double fv, double t) {
  return u + (t - fu) * (v - u) / (fv - fu);
}

// One coordinate I of a pass of the search: bracket the target coordinate
// around p (di = D_I(p)) by the points a and b, or by walking, and bisect.
// Only D_I enters, so only that component is evaluated. False when a walk
// runs out of steps (p then holds the walk's last point).
template <int I, class Dist>
bool SearchCoord(const Dist& dist,
                 double* p,
                 const double* t,
                 double s,
                 double tol,
                 bool shortcut,
                 double di) {
  constexpr int J = 1 - I;
  double a[2] = {p[0], p[1]};
  double b[2] = {p[0], p[1]};
  a[I] = p[I] - s * di;
  b[I] = p[I] + 2.0 * s * di;
  const double fa = a[I] + s * dist.template Comp<I>(a[I], a[J]);
  const double fb = b[I] + s * dist.template Comp<I>(b[I], b[J]);
  if (std::fabs(fa - fb) <= kEps) {
    p[I] = (a[I] + b[I]) / 2;
    return true;
  }
  double dir;
  if (fa < fb) {
    if (fa < t[I] && t[I] < fb) {
      BisectT<I>(
          dist, p, t, a, b, s, tol, shortcut, Secant(a[I], fa, b[I], fb, t[I]));
      return true;
    }
    dir = t[I] > fb ? 1.0 : -1.0;
  } else {
    if (fb < t[I] && t[I] < fa) {
      BisectT<I>(
          dist, p, t, b, a, s, tol, shortcut, Secant(a[I], fa, b[I], fb, t[I]));
      return true;
    }
    dir = t[I] > fa ? -1.0 : 1.0;
  }
  if (fa == t[I] || fb == t[I]) {
    p[I] = t[I];
    return true;
  }
  if (fa < t[I]) dir = fa < fb ? -1.0 : 1.0;

  // Walk from p until the target is bracketed; D_I(p) is still di.
  double lo[2] = {p[0], p[1]};
  double hi[2] = {p[0], p[1]};
  const double f_start = p[I] + s * di;
  double f_end = f_start;  // f where the walk stopped
  if (f_start < t[I]) {
    lo[I] = p[I];
    for (int step = 0;; ++step) {
      if (step == kMaxWalkSteps) return false;
      const double old = p[I];
      p[I] = p[I] + di;
      if (p[I] == old) {
        hi[I] = lo[I];
        break;
      }
      di = dist.template Comp<I>(p[I], p[J]);
      if (std::fabs(di) <= kEps || p[I] + di == p[I]) {
        hi[I] = lo[I];
        break;
      }
      f_end = p[I] + s * di;
      if (f_end > t[I]) {
        hi[I] = p[I];
        break;
      }
    }
  } else {
    hi[I] = p[I];
    for (int step = 0;; ++step) {
      if (step == kMaxWalkSteps) return false;
      p[I] = p[I] + dir * std::fabs(di);
      di = dist.template Comp<I>(p[I], p[J]);
      if (std::fabs(di) <= kEps || p[I] + di == p[I]) {
        lo[I] = hi[I];
        break;
      }
      f_end = p[I] + s * di;
      if (f_end < t[I]) {
        lo[I] = p[I];
        break;
      }
    }
  }
  const double hint = f_end != f_start
                          ? Secant(lo[I],
                                   f_start < t[I] ? f_start : f_end,
                                   hi[I],
                                   f_start < t[I] ? f_end : f_start,
                                   t[I])
                          : HUGE_VAL;
  BisectT<I>(dist, p, t, lo, hi, s, tol, shortcut, hint);
  return true;
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
             double* best,
             bool shortcut) {
  const double s = sign ? 1.0 : -1.0;
  *qx = x;
  *qy = y;
  const double t[2] = {x, y};
  double p[2] = {x, y};
  double prev_r = 0.0;
  bool have_prev = false;
  double prev_p[2] = {x, y};
  double dx = dist.template Comp<0>(x, y);  // D_x(p) while p stays
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    const bool walked =
        SearchCoord<0>(dist, p, t, s, tol, shortcut, dx) &&
        SearchCoord<1>(
            dist, p, t, s, tol, shortcut, dist.template Comp<1>(p[1], p[0]));
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
    dist(p[0], p[1], d[0], d[1]);
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

}  // namespace

CalcDistortion::CalcDistortion(unsigned long model, const double* para)
    : model_(model) {
  for (int k = 0; k < kMaxPara; ++k) p_[k] = para[k];
}

// Calls f with the evaluator of the model.
#define COLLINEAR_WITH_MODEL(f)        \
  switch (model_) {                    \
    case 1:                            \
      return f(Radial4{p_});           \
    case 2:                            \
      return f(Radial2Decentring{p_}); \
    case 3:                            \
      return f(Radial3Decentring{p_}); \
    case 4:                            \
      return f(Radial2Further{p_});    \
    default:                           \
      return f(NoDistortion{});        \
  }

void CalcDistortion::Distort(double x, double y, double& dx, double& dy) const {
  auto f = [&](const auto& dist) { dist(x, y, dx, dy); };
  COLLINEAR_WITH_MODEL(f)
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
    return SearchT(dist, x, y, tol, sign, qx, qy, residual, best, true);
  };
  COLLINEAR_WITH_MODEL(f)
}

bool CalcDistortion::SearchReference(double x,
                                     double y,
                                     double tol,
                                     bool sign,
                                     double* qx,
                                     double* qy,
                                     double* residual) const {
  auto f = [&](const auto& dist) {
    return SearchT(dist, x, y, tol, sign, qx, qy, residual, nullptr, false);
  };
  COLLINEAR_WITH_MODEL(f)
}

void CalcDistortion::Bisect(double* p,
                            int i,
                            const double* target,
                            const double* low,
                            const double* high,
                            double s,
                            double tol) const {
  auto f = [&](const auto& dist) {
    BisectCoord(dist, p, i, target, low, high, s, tol, true);
  };
  COLLINEAR_WITH_MODEL(f)
}

void CalcDistortion::Jacobian(double x, double y, double jac[4]) const {
  auto f = [&](const auto& dist) { dist.Jacobian(x, y, jac); };
  COLLINEAR_WITH_MODEL(f)
}

#undef COLLINEAR_WITH_MODEL

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
