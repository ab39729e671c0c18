#include <collinear/calculator/calc_distortion.h>

#include <algorithm>
#include <cmath>

#include <collinear/calculator/calc_distortion_bisect.h>
#include <collinear/calculator/calc_distortion_keys.h>
#include <collinear/calculator/calc_distortion_portable.h>
#include <collinear/calculator/calc_distortion_region.h>
#include <collinear/distortion/dist_formula.h>
#include <collinear/distortion/dist_model.h>
#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

using dist_search::BisectFast;
using dist_search::BisectFromAnchor;
using dist_search::BoxBounds;
using dist_search::kEps;
using dist_search::PointD;
using dist_search::Region;
using dist_search::SideBounds;

constexpr int kMaxPasses = CalcDistortion::kMaxPasses;
constexpr int kMaxWalkSteps = CalcDistortion::kMaxWalkSteps;

// Newton finish: iterations, step halvings, and the smallest determinant of
// the Jacobian of q + s D(q) (it is near 1 for any usable lens model).
constexpr int kNewtonMaxIter = 50;
constexpr int kNewtonMaxHalvings = 40;
constexpr double kNewtonMinDet = 1e-6;
// Rounding floor of the residual, in units of the last place of the
// target's largest coordinate: q + s D(q) cannot come closer than that.
constexpr double kRoundingFloorUlps = 4.0;
// Central-difference step of the invertibility check of a Newton root,
// relative to its radius (as the distortion check of a calibration).
constexpr double kJacobianRelStep = 1e-6;
// Samples of that check along each ray out to the root: a fold shorter
// than a 200th of the root's radius goes unseen.
constexpr int kInvertibleSteps = 200;

// The root region from p is tried before a and b are evaluated only when
// the root is nearer p than this share of the distance |D_I| to a: in the
// first pass, where it lies near a, the region would not fit between a
// and b.
constexpr double kRootNearShare = 0.5;
// A bound computed with a few roundings, lowered by 1 % to stay a bound.
constexpr double kLowerMargin = 0.99;
// The brackets of a converging search lie within about |t_I| + 3 |D_I| of
// the origin: bounds over a box of |t_I| + kBoxReach |D_I|, 0.1 % larger,
// serve them all.
constexpr double kBoxReach = 4.0;
constexpr double kBoxMargin = 1.001;

// The point where f is known that lies nearest the target in f: the anchor
// of a root region (the nearer, the narrower the region), with D_I there.
struct Anchor {
  double t, x, f, d;
  void Consider(double x_new, double f_new, double d_new) {
    if (std::fabs(f_new - t) < std::fabs(f - t)) {
      x = x_new;
      f = f_new;
      d = d_new;
    }
  }
};

// Where a coordinate search of coordinate I starts: the other coordinate
// c, the target ti, the start pi with D_I there (dp), the first bracket
// ends a = pi - s dp and b = pi + 2 s dp, and fp = f(pi).
struct CoordStart {
  double c, ti, pi, dp, a, b, fp;
};

template <int I>
CoordStart StartOf(const double* p, const double* t, double s, double di) {
  const double pi = p[I];
  return {p[1 - I], t[I], pi, di, pi - s * di, pi + 2.0 * s * di, pi + s * di};
}

// SearchCoord where the root region does not settle the bracket: f(a)
// and f(b) are evaluated, and a walk finds a bracket where they do not
// hold the target. bd and region as SearchCoord found them (bd null where
// there is no region). Kept out of line: the common path stays small.
template <int I, class Dist>
COLLINEAR_SEARCH_NOINLINE bool BracketAndBisect(const Dist& dist,
                                                double* p,
                                                const double* t,
                                                double s,
                                                double tol,
                                                double di,
                                                const BoxBounds* box,
                                                const SideBounds* bd,
                                                const Region& region,
                                                PointD* at_result) {
  const bool bounded = bd != nullptr;
  const CoordStart start = StartOf<I>(p, t, s, di);
  const double c = start.c, ti = start.ti, pi = start.pi, dp = start.dp;
  const double a = start.a, b = start.b, fp = start.fp;
  const double da = dist.template Comp<I>(a, c);
  const double db = dist.template Comp<I>(b, c);
  const double fa = a + s * da, fb = b + s * db;
  // D_I on the line through p, reusing the values at a and b (the first
  // step of a walk often lands on one of them).
  auto d_at = [&](double q) {
    return dist_search::SameBits(q, a)   ? da
           : dist_search::SameBits(q, b) ? db
                                         : dist.template Comp<I>(q, c);
  };
  if (std::fabs(fa - fb) <= kEps) {
    p[I] = (a + b) / 2;
    return true;
  }
  Anchor anchor{ti, a, fa, da};
  anchor.Consider(b, fb, db);
  auto bisect_ab = [&](double lo, double hi) {
    if (bounded && !(std::fabs(anchor.f - ti) < std::fabs(fp - ti))) {
      BisectFast<I>(dist, p, ti, lo, hi, s, tol, bd, region, at_result);
      return;
    }
    anchor.Consider(pi, fp, dp);
    BisectFromAnchor<I>(
        dist, p, ti, lo, hi, s, tol, anchor.x, anchor.d, box, at_result);
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
  if (fp < ti) {
    // Up by D_I with its sign, for a high end.
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
      const double f = p[I] + s * di;
      anchor.Consider(p[I], f, di);
      if (f > ti) {
        hi = p[I];
        break;
      }
    }
  } else {
    // In the direction dir by |D_I|, for a low end.
    for (int step = 0;; ++step) {
      if (step == kMaxWalkSteps) return false;
      p[I] = p[I] + dir * std::fabs(di);
      di = d_at(p[I]);
      if (std::fabs(di) <= kEps || p[I] + di == p[I]) {
        lo = hi;
        break;
      }
      const double f = p[I] + s * di;
      anchor.Consider(p[I], f, di);
      if (f < ti) {
        lo = p[I];
        break;
      }
    }
  }
  anchor.Consider(pi, fp, dp);
  BisectFromAnchor<I>(
      dist, p, ti, lo, hi, s, tol, anchor.x, anchor.d, box, at_result);
  return true;
}

// One coordinate I of a pass: brackets the target coordinate around p by
// a = p - s D_I and b = p + 2 s D_I, or by walking, then bisects; di is
// D_I(p). f(q) = q + s D_I(q, p[1 - I]) needs only component I of D. Where
// the root region from p places a and b on either side of the root, f(a)
// and f(b) are not evaluated: the branch taken is certain. False when a
// walk runs out of steps (p holds its last point). at_result receives D at
// the result when it was evaluated there.
template <int I, class Dist>
bool SearchCoord(const Dist& dist,
                 double* p,
                 const double* t,
                 double s,
                 double tol,
                 double di,
                 const BoxBounds* box,
                 PointD* at_result) {
  at_result->known = false;
  const CoordStart start = StartOf<I>(p, t, s, di);
  const double c = start.c, ti = start.ti, pi = start.pi;
  const double a = start.a, b = start.b, fp = start.fp;
  SideBounds scratch;
  Region region{0.0, 0.0, HUGE_VAL};
  const double r0 = dist_search::AnchorResidual(pi, ti, s, di);
  // Near the root (later passes) the region of a slope bound is narrow
  // enough without a Newton step, and so needs no slope at p.
  const SideBounds* bd =
      std::fabs(fp - ti) < kRootNearShare * std::fabs(di)
          ? dist_search::MakeSideBounds<I>(
                dist, box, std::max(std::fabs(a), std::fabs(b)), c, &scratch)
          : nullptr;
  // A region within RefineLimit is final: no Newton step narrows it.
  const bool final_region =
      bd && dist_search::ZeroOrderRegion(
                *bd, pi, r0, dist_search::RefineLimit(*bd), &region);
  const bool bounded =
      final_region ||
      (bd &&
       dist_search::RootRegion(
           *bd, pi, r0, 1.0 + s * dist.template Slope<I>(pi, c), &region));
  if (bounded) {
    const double lo = std::min(a, b), hi = std::max(a, b);
    double below, above;
    dist_search::RegionEnds(*bd, region, &below, &above);
    // f(lo) < t < f(hi) certain, and |f(a) - f(b)| certainly above eps.
    if (lo < below && hi > above &&
        ((hi - lo) * bd->min_slope - 2.0 * bd->err) * kLowerMargin > kEps) {
      if (final_region)
        dist_search::BisectInRegion<I>(
            dist, p, ti, lo, hi, s, tol, region, below, above, at_result);
      else
        BisectFast<I>(dist, p, ti, lo, hi, s, tol, bd, region, at_result);
      return true;
    }
  }
  return BracketAndBisect<I>(
      dist, p, t, s, tol, di, box, bounded ? bd : nullptr, region, at_result);
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
  BoxBounds box;
  dist_search::MakeBoxBounds(
      dist,
      (std::fabs(x) + kBoxReach * std::fabs(dx)) * kBoxMargin,
      (std::fabs(y) + kBoxReach * std::fabs(dist.template Comp<1>(y, x))) *
          kBoxMargin,
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

}  // namespace

CalcDistortion::CalcDistortion(unsigned long model, const double* para)
    : model_(model) {
  for (int k = 0; k < kMaxPara; ++k) p_[k] = para[k];
}

void CalcDistortion::Distort(double x, double y, double& dx, double& dy) const {
  auto f = [&](const auto& dist) { dist(x, y, dx, dy); };
  return WithDistFormula(model_, p_, f);
}

void CalcDistortion::Jacobian(double x, double y, double jac[4]) const {
  auto f = [&](const auto& dist) { dist.Jacobian(x, y, jac); };
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

void CalcDistortion::Bisect(double* p,
                            int i,
                            const double* target,
                            const double* low,
                            const double* high,
                            double s,
                            double tol) const {
  // Anchor: p's coordinate within the bracket, else the bracket's middle.
  const double lo = low[i], hi = high[i];
  double x0 = p[i];
  if (!(lo <= x0 && x0 <= hi)) x0 = (lo + hi) / 2;
  auto f = [&](const auto& dist) {
    if (i == 0) {
      const double dx0 = dist.template Comp<0>(x0, p[1]);
      BisectFromAnchor<0>(
          dist, p, target[0], lo, hi, s, tol, x0, dx0, nullptr, nullptr);
    } else {
      const double dx0 = dist.template Comp<1>(x0, p[0]);
      BisectFromAnchor<1>(
          dist, p, target[1], lo, hi, s, tol, x0, dx0, nullptr, nullptr);
    }
  };
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
  // Newton also finds roots on the branch of a strong distortion that
  // folds over, far across the picture: only a root inside the radius
  // where the correction is invertible is the measured point.
  const double s = sign ? 1.0 : -1.0;
  auto newton_from = [&](double start_x, double start_y) {
    double q[2], r;
    if (!Newton(x, y, tol, sign, start_x, start_y, &q[0], &q[1], &r))
      return false;
    const double h = kJacobianRelStep * std::max(std::hypot(q[0], q[1]), 1.0);
    if (!InvertibleOutTo(model_, p_, s, q[0], q[1], h, kInvertibleSteps))
      return false;
    *qx = q[0];
    *qy = q[1];
    *residual = r;
    return true;
  };
  return newton_from(best[0], best[1]) || newton_from(x, y);
}

}  // namespace collinear
