// Root regions: where the computed image f(q) = q + s D_I(q, c) of a point
// of one coordinate's segment is certain to lie on the side of the target
// t where q lies, from bounds of the model (slope, size and curvature of
// D_I over the segment) and of the rounding. Outside the region a
// bisection's midpoint needs no evaluation. Library-internal.
#ifndef COLLINEAR_CALCULATOR_CALC_DISTORTION_REGION_H_
#define COLLINEAR_CALCULATOR_CALC_DISTORTION_REGION_H_

#include <cmath>

#include <collinear/calculator/calc_distortion_portable.h>
#include <collinear/distortion/dist_formula.h>

namespace collinear::dist_search {

// What is known of f on the segment |q| <= mm of coordinate I (the other
// coordinate fixed): f is increasing, f' >= min_slope, and a computed f is
// within err (mm) of the exact value; the rest feeds RootRegion.
struct SideBounds {
  double mm, min_slope, err, size;  // size >= |D_I| (mm)
  double f_lo, f_hi, r_max;  // accepted computed slopes f0, residuals |r0|
  double inv_min;            // >= 1 / f0
  double d0_a;               // |Newton step| <= d0_a |r0|
  double fix_a, fix_b;       // fixed error terms, fix_a |r0| + fix_b (mm)
  double anchor_err;         // bound of the error of AnchorResidual (mm)
  double slope_err, half_curv;
  double h0, h1, h2;  // RootRegion's half width h0 + h1 |r0| + h2 |r0|^2
  double z0, z1;      // ZeroOrderRegion's half width z0 + z1 |r0|
  double slope;       // >= |D_I'| on the segment
  double derr;        // >= |computed D_I - D_I| / u on the segment
};

// SideBounds from the model's bounds over the segment |q| <= mm (raised
// for their own roundings, ModelBounds). False where the slope bound is too
// large for the argument or a bound is not finite.
bool FinishSideBounds(double mm, const DistBounds& model, SideBounds* b);

// The residual r0 = f(x0) - t of an anchor x0 where D_I is d (computed),
// formed as (x0 - t) + s d: its error is that of d plus roundings of the
// order of |D_I| and |r0|, free of the rounding of f near t (u |t|) that
// the computed f(x0) - t carries. RootRegion takes residuals so formed.
inline double AnchorResidual(double x0, double t, double s, double d) {
  return (x0 - t) + s * d;
}

// Every q of the segment with |q - (x0 - step)| > half (exact arithmetic)
// has a computed f on its side of t: below t left of the centre.
struct Region {
  double x0, step, half;
};

// The root region of one Newton step from the anchor x0 of the segment,
// where the residual r0 = AnchorResidual(x0, ...) (mm) and the computed
// slope f0 = 1 + s D_I'(x0) are known: centre x0 - r0 / f0. False (region
// untouched) where the argument does not hold.
bool RootRegion(
    const SideBounds& b, double x0, double r0, double f0, Region* region);

// The root region about x0 - r0, for a residual r0 =
// AnchorResidual(x0, ...) too small for a Newton step to narrow it much:
// the slope of f lies within 1 -+ slope on the segment, so the root lies
// within slope |r0| / (1 - slope) of x0 - r0, and no slope is evaluated.
// False (region untouched) where that region is more than `limit` (mm)
// wide on either side, or its centre is off the segment by more than it.
bool ZeroOrderRegion(
    const SideBounds& b, double x0, double r0, double limit, Region* region);

// The half width of the region of a zero residual, RootRegion's h0: no
// Newton step from anywhere on b's segment gives a narrower one (the
// rounding of f and of the anchor's D alone).
inline double HalfWidthFloor(const SideBounds& b) { return b.h0; }

// The region as doubles [below, above], rounded outward: every q of the
// segment outside it is certain.
void RegionEnds(const SideBounds& b,
                const Region& r,
                double* below,
                double* above);

// The model's bounds are computed in floating point: raised by 1 % so that
// they stay bounds.
constexpr double kBoundMargin = 1.01;

// The model's bounds of coordinate I over |q_I| <= mm, |q_other| <= ca,
// raised so that they stay bounds.
template <int I, class Dist>
DistBounds ModelBounds(const Dist& dist, double mm, double ca) {
  DistBounds b = dist.template Bound<I>(mm, ca);
  b.slope *= kBoundMargin;
  b.curv *= kBoundMargin;
  b.size *= kBoundMargin;
  b.err *= kBoundMargin;
  return b;
}

// Bounds over a box |x| <= box[0], |y| <= box[1] for each coordinate,
// formed once per search: those of any segment inside the box follow at
// little cost.
struct BoxBounds {
  double box[2];
  bool ok[2];
  SideBounds side[2];  // for the longest segments
};

template <class Dist>
void MakeBoxBounds(const Dist& dist, double bx, double by, BoxBounds* b) {
  b->box[0] = bx;
  b->box[1] = by;
  b->ok[0] = FinishSideBounds(bx, ModelBounds<0>(dist, bx, by), &b->side[0]);
  b->ok[1] = FinishSideBounds(by, ModelBounds<1>(dist, by, bx), &b->side[1]);
}

// SideBounds of a segment outside the box, into *scratch; null where no
// bounds hold. Rare: kept out of line, so that the box's case stays small.
template <int I, class Dist>
COLLINEAR_SEARCH_NOINLINE const SideBounds* OwnSideBounds(const Dist& dist,
                                                          double mm,
                                                          double ca,
                                                          SideBounds* scratch) {
  if (!(ca < HUGE_VAL)) return nullptr;
  return FinishSideBounds(mm, ModelBounds<I>(dist, mm, ca), scratch) ? scratch
                                                                     : nullptr;
}

// SideBounds of the segment |q_I| <= mm with the other coordinate c: the
// box's own (may be null) when the segment lies inside it (bounds over the
// box's longer segment hold on it), else from the model into *scratch.
// Null where no bounds hold.
template <int I, class Dist>
const SideBounds* MakeSideBounds(const Dist& dist,
                                 const BoxBounds* box,
                                 double mm,
                                 double c,
                                 SideBounds* scratch) {
  const double ca = std::fabs(c);
  if (box && mm <= box->box[I] && ca <= box->box[1 - I])
    return box->ok[I] ? &box->side[I] : nullptr;
  return OwnSideBounds<I>(dist, mm, ca, scratch);
}

}  // namespace collinear::dist_search

#endif  // COLLINEAR_CALCULATOR_CALC_DISTORTION_REGION_H_
