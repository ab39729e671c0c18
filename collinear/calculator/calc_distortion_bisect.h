// The fast bisection of one coordinate of the inverse-distortion search.
// It returns, bit for bit, the result of the plain bisection (every
// midpoint m judged by evaluating f(m) = m + s D_I(m, c) against the
// target), while evaluating only the midpoints near the root: those
// outside a root region (calc_distortion_region.h) are judged by their
// side, the few keys inside it are evaluated at once, two lanes at a time,
// and the halvings run on order keys (calc_distortion_keys.h, _blocks.h).
// Library-internal.
#ifndef COLLINEAR_CALCULATOR_CALC_DISTORTION_BISECT_H_
#define COLLINEAR_CALCULATOR_CALC_DISTORTION_BISECT_H_

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <collinear/calculator/calc_distortion_blocks.h>
#include <collinear/calculator/calc_distortion_keys.h>
#include <collinear/calculator/calc_distortion_portable.h>
#include <collinear/calculator/calc_distortion_region.h>

namespace collinear::dist_search {

// The root region is refined by at most kRootIter more Newton steps while
// its half width exceeds kWideRegionUnits units in the last place of the
// bracket's larger end; so narrowed it spans a few keys.
constexpr int kRootIter = 4;
constexpr double kWideRegionUnits = 4.0;
// Nor is it refined once its half width is within this factor of the
// narrowest a Newton step can give (HalfWidthFloor).
constexpr double kRefineFloorShare = 2.0;
// The half width from which a root region is worth narrowing by a Newton
// step, as far as the rounding of f is concerned.
inline double RefineLimit(const SideBounds& bd) {
  return kRefineFloorShare * HalfWidthFloor(bd);
}

// Keys of the root region evaluated at once when there are at most
// kBatch + 1 of them.
constexpr int kBatch = 12;
// The region's offsets in keys, a -+ h, take one rounding each; moving
// them outward by 4 u of their size covers it and that of the move.
constexpr double kOffsetOutward = 4.0 * kUnitRoundoff;
// Brackets on keys are less than 2^53 keys wide.
constexpr double kMaxKeyOffset = 0x1p53;

// The distortion at the point a bisection ended on, when it was evaluated
// there anyway (the search needs it next).
struct PointD {
  bool known = false;
  double d[2];
};

// f and both components of D at the keys first..last (at most kBatch + 1,
// one pair of lanes per step: independent evaluations overlap).
template <int I, class Dist>
void EvaluateKeys(const Dist& dist,
                  std::int64_t first,
                  std::int64_t last,
                  double c,
                  double s,
                  double* f_at,
                  double* di_at,
                  double* dj_at) {
  constexpr int J = 1 - I;
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
}

// The halvings from midpoint m of [lo, hi] on, each midpoint inside
// [below, above] evaluated, those outside judged by side. The evaluations
// are chained (each decides the next midpoint), so with the one at m those
// at both possible next midpoints are started too: two halvings take the
// time of one evaluation. Returns the bisection's result.
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

// Narrows the root region by Newton steps from its centre (clamped to
// [lo, hi]) while it is wide; keeps the last region that shrank.
template <int I, class Dist>
void RefineRegion(const Dist& dist,
                  const SideBounds& bd,
                  double lo,
                  double hi,
                  double c,
                  double t,
                  double s,
                  Region* region) {
  // Near the floor of the rounding of f a step gains at most a key or two
  // of the batch, far less than it costs.
  const double wide =
      std::max(kWideRegionUnits *
                   UnitInLastPlace(std::max(std::fabs(lo), std::fabs(hi))),
               RefineLimit(bd));
  for (int it = 0; it < kRootIter && region->half > wide; ++it) {
    const double x1 = std::min(hi, std::max(lo, region->x0 - region->step));
    const double r1 = AnchorResidual(x1, t, s, dist.template Comp<I>(x1, c));
    const double f1 = 1.0 + s * dist.template Slope<I>(x1, c);
    Region r;
    if (!RootRegion(bd, x1, r1, f1, &r) || !(r.half < region->half)) break;
    *region = r;
  }
}

// Narrows k.below, k.above to the region's ends counted in keys from the
// anchor's key, when the anchor lies in the bracket (keys there are equally
// spaced): spares the roundings of the region's centre and ends.
inline void RegionKeysFromAnchor(const Region& region, KeyBracket* k) {
  const std::int64_t kx = OrderKey(region.x0);
  if (!(k->lo <= kx && kx <= k->hi)) return;
  const double a = -region.step * k->inv_unit;
  const double h = region.half * k->inv_unit;
  // Offsets of 2^53 keys and more (a region far wider than the bracket, or
  // far from it; they may not even be finite) are left to the ends as
  // doubles.
  if (!(std::fabs(a) < kMaxKeyOffset && h < kMaxKeyOffset)) return;
  // Offsets from kx, rounded outward, and kept within a key of the bracket
  // (beyond it they judge no midpoint).
  const double from = std::max(a - h - std::fabs(a - h) * kOffsetOutward,
                               static_cast<double>(k->lo - kx - 1));
  const double to = std::min(a + h + std::fabs(a + h) * kOffsetOutward,
                             static_cast<double>(k->hi - kx + 1));
  k->below = std::max(k->below, kx + FloorToInt(from));
  k->above = std::min(k->above, kx + CeilToInt(to));
}

// The bisection on keys once the at most kBatch + 1 keys first..last that
// need an evaluation are evaluated together. Result in p[I]; D there into
// at_result (may be null) when it is one of the keys.
template <int I, class Dist>
void BisectBatch(const Dist& dist,
                 double* p,
                 double t,
                 double s,
                 KeyBracket k,
                 std::int64_t first,
                 std::int64_t last,
                 PointD* at_result) {
  constexpr int J = 1 - I;
  // Both components at each key (they share most of the work): the result
  // is nearly always one of the keys, and the search needs D there next.
  double f_at[kBatch + 1], di_at[kBatch + 1], dj_at[kBatch + 1];
  EvaluateKeys<I>(dist, first, last, p[J], s, f_at, di_at, dj_at);
  // Halvings of known side (on integers: they overlap with the
  // evaluations), unless the thresholds will likely settle the result.
  const bool may_settle = k.tol_units <= 1;
  if (!may_settle) HalveBlocks(k.lo, k.hi, k.below, k.above, k.tol_units);
  // f non-decreasing over the keys (nearly always): thresholds. No keys
  // when the region misses the bracket.
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
    result =
        rising ? BisectThresholds(k, k1, k2) : BisectKeys(k, first, f_at, t);
  }
  p[I] = result;
  const std::int64_t rk = OrderKey(result);
  if (at_result && first <= rk && rk <= last) {
    at_result->known = true;
    at_result->d[I] = di_at[rk - first];
    at_result->d[J] = dj_at[rk - first];
  }
}

// BisectFast's bisection once the region is final: [below, above] are its
// ends as RegionEnds gives them (infinite without a region).
template <int I, class Dist>
void BisectInRegion(const Dist& dist,
                    double* p,
                    double t,
                    double lo,
                    double hi,
                    double s,
                    double tol,
                    const Region& region,
                    double below,
                    double above,
                    PointD* at_result) {
  const double c = p[1 - I];
  KeyBracket k;
  double m = 0.0;
  bool keyed = ToKeys(lo, hi, below, above, tol, &k);
  if (!keyed) {
    // Across binades: halvings of known side until the bracket fits one.
    const HalveEnd end = HalveAcross(lo, hi, below, above, tol, &m);
    keyed =
        end == HalveEnd::kOneBinade && ToKeys(lo, hi, below, above, tol, &k);
    if (!keyed) {
      p[I] = end == HalveEnd::kEnded
                 ? m
                 : BisectNear<I>(dist, m, lo, hi, c, t, s, tol, below, above);
      return;
    }
  }
  RegionKeysFromAnchor(region, &k);
  const std::int64_t first = std::max(k.below, k.lo);
  const std::int64_t last = std::min(k.above, k.hi);
  if (last - first < kBatch) {
    BisectBatch<I>(dist, p, t, s, k, first, last, at_result);
    return;
  }
  if (!HalveCertain(lo, hi, below, above, tol, &m))
    m = BisectNear<I>(dist, m, lo, hi, c, t, s, tol, below, above);
  p[I] = m;
}

// Bisection of coordinate I of p between lo (the end whose image lies below
// the target t) and hi, f(m) = m + s D_I(m, p[1 - I]), result in p[I].
// With bounds bd (may be null; then lo < hi is needed for use) and a root
// region (half < HUGE_VAL), midpoints outside the region are judged without
// evaluation. at_result (may be null) receives D at the result when it was
// evaluated there.
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
  double below = -HUGE_VAL, above = HUGE_VAL;
  if (bd && lo < hi && region.half < HUGE_VAL) {
    RefineRegion<I>(dist, *bd, lo, hi, p[1 - I], t, s, &region);
    RegionEnds(*bd, region, &below, &above);
  }
  BisectInRegion<I>(
      dist, p, t, lo, hi, s, tol, region, below, above, at_result);
}

// The bisection of coordinate I with bounds over [lo, hi] (box may be null)
// and the root region from the anchor x0 where D_I is dx0 (computed);
// without usable bounds every midpoint is evaluated.
template <int I, class Dist>
void BisectFromAnchor(const Dist& dist,
                      double* p,
                      double t,
                      double lo,
                      double hi,
                      double s,
                      double tol,
                      double x0,
                      double dx0,
                      const BoxBounds* box,
                      PointD* at_result) {
  const double c = p[1 - I];
  SideBounds scratch;
  const SideBounds* bd =
      lo < hi ? MakeSideBounds<I>(
                    dist,
                    box,
                    std::max({std::fabs(lo), std::fabs(hi), std::fabs(x0)}),
                    c,
                    &scratch)
              : nullptr;
  Region region{0.0, 0.0, HUGE_VAL};
  const bool bounded = bd && RootRegion(*bd,
                                        x0,
                                        AnchorResidual(x0, t, s, dx0),
                                        1.0 + s * dist.template Slope<I>(x0, c),
                                        &region);
  BisectFast<I>(
      dist, p, t, lo, hi, s, tol, bounded ? bd : nullptr, region, at_result);
}

}  // namespace collinear::dist_search

#endif  // COLLINEAR_CALCULATOR_CALC_DISTORTION_BISECT_H_
