#include <collinear/calculator/calc_distortion_region.h>

#include <cmath>

#include <collinear/calculator/calc_distortion_keys.h>

namespace collinear::dist_search {
namespace {

// The slope bound plus its rounding error must stay below 1/2: then f' >=
// 1/2 and 1 / f' has a simple bound.
constexpr double kMaxSlopeBound = 0.5;
// Roundings on the path of any term of the computed slope of D_I
// (dist_formula.h, every model): at most 17; the bound allows more. Those
// of D_I itself are the model's own bound (DistFormula::Bound).
constexpr double kSlopeRoundings = 32.0;
// First-order rounding bounds raised by 1 % for their second-order terms.
constexpr double kSecondOrder = 1.01;
// Absolute error floor (mm for f, none for slopes) that covers roundings
// in the subnormal range, each at most 2^-1075.
constexpr double kUnderflowFloor = 1e-300;
// Bounds computed with a few roundings of their own, raised so that they
// stay bounds: (1 + u)^7 < 1 + 8 u, (1 + u)^15 < 1 + 16 u.
constexpr double kRoundUp7 = 1.0 + 8.0 * kUnitRoundoff;
constexpr double kRoundUp15 = 1.0 + 16.0 * kUnitRoundoff;
// Relative error of the computed Newton step r0 / f0 (one rounding, u),
// taken twice with 1 % to spare.
constexpr double kStepRelErr = 2.02 * kUnitRoundoff;
// AnchorResidual rounds x0 - t (at most u |x0 - t| <= u (|r0| + |D_I|))
// and the sum (u |r0|): 2 u |r0| with 1 % to spare, the rest with D_I.
constexpr double kAnchorRelErr = 2.02 * kUnitRoundoff;
// The root region's half width h = kHalfWidth inv_min (fixed + d0 G),
// where G is the slope error plus the curvature term at a reach of
// kReachFixed inv_min fixed + kReachStep d0; sound while G inv_min <
// kMaxCurvShare. Residuals up to r_max = kResidualBudget / (curv inv_min)
// keep G inv_min below that for usual lenses.
constexpr double kHalfWidth = 1.0625;  // 1 + 1/16: margin over 1.0604
constexpr double kMaxCurvShare = 0.047;
constexpr double kReachFixed = 1.07;
constexpr double kReachStep = 1.06;
constexpr double kResidualBudget = 0.015;
// curv / 2 raised for its own rounding.
constexpr double kHalfCurvMargin = 1.001;

// The curvature and slope-error term G of a residual |r0| (see above).
double CurvTerm(const SideBounds& b, double d0, double fixed) {
  return b.slope_err +
         b.half_curv * (kReachStep * d0 + kReachFixed * b.inv_min * fixed);
}

// The bounds that depend on the segment |q| <= mm of b.
void SetSegment(double mm, SideBounds* b) {
  b->mm = mm;
  // Roundings inside D_I, then that of the sum q + s D_I: at most half a
  // unit in the last place of the largest |q + s D_I| as computed, mm +
  // size + d_err (three roundings of that sum covered).
  const double d_err = kUnitRoundoff * kSecondOrder * b->derr;
  b->err = UnitInLastPlace((mm + b->size + d_err) * kRoundUp7) / 2.0 + d_err +
           kUnderflowFloor;
  // Computed f at q and the anchor's residual.
  b->fix_b = (b->err + b->anchor_err) * kRoundUp7;
  // RootRegion's half width as a polynomial in |r0|: with fixed = fix_a
  // |r0| + fix_b and d0 = d0_a |r0|, G = g0 + g1 |r0| and the half width
  // kHalfWidth inv_min (fixed + d0 G) = h0 + h1 |r0| + h2 |r0|^2. Every
  // term is non-negative, so the roundings of a coefficient (at most 9,
  // those of w included) and of the polynomial's evaluation (at most 4)
  // stay within kRoundUp15.
  const double g0 = CurvTerm(*b, 0.0, b->fix_b);
  const double g1 = b->half_curv * (kReachStep * b->d0_a +
                                    kReachFixed * b->inv_min * b->fix_a);
  const double w = kHalfWidth * b->inv_min * kRoundUp15;
  b->h0 = w * b->fix_b;
  b->h1 = w * (b->fix_a + b->d0_a * g0);
  b->h2 = w * (b->d0_a * g1);
  // ZeroOrderRegion: a key q with f(q) - t within err of its computed
  // value is certain once (1 - slope) |q - x0 + r0| exceeds err, the
  // anchor's error and slope |r0| (mean value theorem between x0 and q).
  b->z0 = b->inv_min * (b->err + b->anchor_err) * kRoundUp7;
  b->z1 = b->inv_min * (b->slope + kAnchorRelErr) * kRoundUp7;
}

}  // namespace

bool FinishSideBounds(double mm, const DistBounds& model, SideBounds* b) {
  const double slope = model.slope, curv = model.curv;
  // Roundings inside the slope of D_I, then that of 1 + s D_I'.
  const double slope_err =
      kUnitRoundoff * (kSecondOrder * (1.0 + slope) + kSlopeRoundings * slope) +
      kUnderflowFloor;
  // Computed below 1/2, so exactly below it too.
  const double x = slope + slope_err;
  if (!(x < kMaxSlopeBound) || !(model.size < HUGE_VAL) || !(curv < HUGE_VAL) ||
      !(mm < HUGE_VAL) || !(model.err < HUGE_VAL))
    return false;
  b->size = model.size;
  b->slope = slope;
  b->derr = model.err;
  // Roundings inside D_I at the anchor, then that of x0 - t up to |D_I|
  // (the share of |r0| is in fix_a).
  b->anchor_err =
      kUnitRoundoff * kSecondOrder * (model.err + model.size) + kUnderflowFloor;
  b->min_slope = 1.0 - slope;
  b->slope_err = slope_err;
  b->half_curv = curv / 2.0 * kHalfCurvMargin;
  b->f_lo = b->min_slope - slope_err;
  b->f_hi = 1.0 + slope + slope_err;
  // 1 / (1 - x) <= 1 + x + 2 x^2 for 0 <= x <= 1/2.
  const double inv_min = (1.0 + x + 2.0 * x * x) * kRoundUp7;
  b->inv_min = inv_min;
  b->d0_a = inv_min * (1.0 + kStepRelErr) * kRoundUp7;
  b->fix_a =
      (kStepRelErr * inv_min * b->f_hi + kEps + kAnchorRelErr) * kRoundUp7;
  SetSegment(mm, b);
  // The largest residual accepted, checked here for the longest segment
  // (G grows with |r0| and with the segment).
  const double r_max = kResidualBudget / (curv * inv_min + kUnderflowFloor);
  const double g = CurvTerm(*b, b->d0_a * r_max, b->fix_a * r_max + b->fix_b);
  if (!(g * inv_min < kMaxCurvShare)) return false;
  b->r_max = r_max;
  return true;
}

bool RootRegion(
    const SideBounds& b, double x0, double r0, double f0, Region* region) {
  const double step = r0 / f0;
  const double ar0 = std::fabs(r0);
  const double h = b.h0 + ar0 * (b.h1 + ar0 * b.h2);
  // The centre within mm + h of 0: both ends of the region on the segment
  // or beyond its outer end, so monotonicity carries certainty outward.
  if (!(ar0 <= b.r_max && b.f_lo < f0 && f0 < b.f_hi &&
        std::fabs(x0 - step) <= b.mm + h))
    return false;
  *region = Region{x0, step, h};
  return true;
}

bool ZeroOrderRegion(
    const SideBounds& b, double x0, double r0, double limit, Region* region) {
  const double h = b.z0 + std::fabs(r0) * b.z1;
  if (!(h <= limit && std::fabs(x0 - r0) <= b.mm + h)) return false;
  *region = Region{x0, r0, h};
  return true;
}

void RegionEnds(const SideBounds& b,
                const Region& r,
                double* below,
                double* above) {
  const double centre = r.x0 - r.step;
  // |centre| <= mm + half (RootRegion): the rounding of the centre and of
  // each end.
  const double reach = (r.half + kEps * (b.mm + r.half)) * kRoundUp7;
  *below = centre - reach;
  *above = centre + reach;
}

}  // namespace collinear::dist_search
