#include <collinear/calculator/calc_distortion.h>

#include <algorithm>
#include <cmath>

namespace collinear {
namespace {

constexpr double kEps = 2.220446049250313e-16;  // the double epsilon
constexpr int kMaxPasses = 20;                  // passes over both coordinates
constexpr int kMaxWalkSteps = 20;  // steps of a walk to bracket the target

// Newton finish: iterations, step halvings, and the smallest determinant of
// the Jacobian of q + s D(q) (it is near 1 for any usable lens model).
constexpr int kNewtonMaxIter = 50;
constexpr int kNewtonMaxHalvings = 40;
constexpr double kNewtonMinDet = 1e-6;
// Rounding floor of the residual, in units of the last place of the
// target's largest coordinate: q + s D(q) cannot come closer than that.
constexpr double kRoundingFloorUlps = 4.0;

// The model formulas, one evaluator per model so that the search inlines
// them. The order of operations is the published one of each model.
struct NoDistortion {
  void operator()(double, double, double& dx, double& dy) const {
    dx = 0.0;
    dy = 0.0;
  }
};

struct Radial4 {  // model 1
  const double* p;
  void operator()(double x, double y, double& dx, double& dy) const {
    const double r2 = x * x + y * y;
    const double r4 = r2 * r2;
    const double r6 = r4 * r2;
    const double r8 = r6 * r2;
    const double k = p[0] * r2 + p[1] * r4 + p[2] * r6 + p[3] * r8;
    dx = x * k;
    dy = y * k;
  }
};

struct Radial2Decentring {  // model 2
  const double* p;
  void operator()(double x, double y, double& dx, double& dy) const {
    const double r2 = x * x + y * y;
    const double r4 = r2 * r2;
    const double k = p[0] * r2 + p[1] * r4;
    dx = x * k + p[2] * (r2 + 2.0 * x * x) + 2.0 * p[3] * x * y;
    dy = y * k + p[3] * (r2 + 2.0 * y * y) + 2.0 * p[2] * x * y;
  }
};

struct Radial3Decentring {  // model 3
  const double* p;
  void operator()(double x, double y, double& dx, double& dy) const {
    const double r2 = x * x + y * y;
    const double r4 = r2 * r2;
    const double r6 = r4 * r2;
    const double k = p[0] * r2 + p[1] * r4 + p[2] * r6;
    dx = x * k + p[3] * (r2 + 2.0 * x * x) + 2.0 * p[4] * x * y;
    dy = y * k + p[4] * (r2 + 2.0 * y * y) + 2.0 * p[3] * x * y;
  }
};

struct Radial2Further {  // model 4
  const double* p;
  void operator()(double x, double y, double& dx, double& dy) const {
    const double r2 = x * x + y * y;
    const double r4 = r2 * r2;
    const double k = p[0] * r2 + p[1] * r4;
    dx = x * k + p[2] * x + p[3] * y + p[4] * x * y + p[5] * y * y;
    dy = y * k + p[6] * x * y + p[7] * x * x;
  }
};

template <class Model>
void BisectT(const Model& dist,
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
  bool first = true;
  for (;;) {
    const double m = (lo + hi) / 2;
    q[i] = m;
    if (!first && m == prev_m) break;
    if (!std::isfinite(m)) break;  // no bracket to halve
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
    first = false;
  }
  p[0] = q[0];
  p[1] = q[1];
}

template <class Model>
double Residual(const Model& dist, const double* p, const double* t, double s) {
  double d[2];
  dist(p[0], p[1], d[0], d[1]);
  const double ex = p[0] + s * d[0] - t[0];
  const double ey = p[1] + s * d[1] - t[1];
  return std::sqrt(ex * ex + ey * ey);
}

template <class Model>
bool SearchT(const Model& dist,
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
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    for (int i = 0; i < 2; ++i) {
      double d[2];
      dist(p[0], p[1], d[0], d[1]);
      double a[2] = {p[0], p[1]};
      double b[2] = {p[0], p[1]};
      a[i] = p[i] - s * d[i];
      b[i] = p[i] + 2.0 * s * d[i];
      double da[2], db[2];
      dist(a[0], a[1], da[0], da[1]);
      dist(b[0], b[1], db[0], db[1]);
      const double fa = a[i] + s * da[i];
      const double fb = b[i] + s * db[i];
      if (std::fabs(fa - fb) <= kEps) {
        p[i] = (a[i] + b[i]) / 2;
        continue;
      }
      double dir;
      if (fa < fb) {
        if (fa < t[i] && t[i] < fb) {
          BisectT(dist, p, i, t, a, b, s, tol);
          continue;
        }
        dir = t[i] > fb ? 1.0 : -1.0;
      } else {
        if (fb < t[i] && t[i] < fa) {
          BisectT(dist, p, i, t, b, a, s, tol);
          continue;
        }
        dir = t[i] > fa ? -1.0 : 1.0;
      }
      if (fa == t[i] || fb == t[i]) {
        p[i] = t[i];
        continue;
      }
      if (fa < t[i]) dir = fa < fb ? -1.0 : 1.0;

      // Walk from p until the target is bracketed.
      dist(p[0], p[1], d[0], d[1]);
      double lo[2] = {p[0], p[1]};
      double hi[2] = {p[0], p[1]};
      bool bracketed = false;
      if (p[i] + s * d[i] < t[i]) {
        lo[i] = p[i];
        for (int step = 0; step < kMaxWalkSteps; ++step) {
          const double old = p[i];
          p[i] = p[i] + d[i];
          if (p[i] == old) {
            hi[i] = lo[i];
            bracketed = true;
            break;
          }
          dist(p[0], p[1], d[0], d[1]);
          if (std::fabs(d[i]) <= kEps || p[i] + d[i] == p[i]) {
            hi[i] = lo[i];
            bracketed = true;
            break;
          }
          if (p[i] + s * d[i] > t[i]) {
            hi[i] = p[i];
            bracketed = true;
            break;
          }
        }
      } else {
        hi[i] = p[i];
        for (int step = 0; step < kMaxWalkSteps; ++step) {
          p[i] = p[i] + dir * std::fabs(d[i]);
          dist(p[0], p[1], d[0], d[1]);
          if (std::fabs(d[i]) <= kEps || p[i] + d[i] == p[i]) {
            lo[i] = hi[i];
            bracketed = true;
            break;
          }
          if (p[i] + s * d[i] < t[i]) {
            lo[i] = p[i];
            bracketed = true;
            break;
          }
        }
      }
      if (!bracketed) {
        if (best) {
          const double r = Residual(dist, p, t, s);
          const bool use_prev = have_prev && !(r <= prev_r);
          best[0] = use_prev ? prev_p[0] : p[0];
          best[1] = use_prev ? prev_p[1] : p[1];
        }
        return false;
      }
      BisectT(dist, p, i, t, lo, hi, s, tol);
    }
    double d[2];
    dist(p[0], p[1], d[0], d[1]);
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
    return SearchT(dist, x, y, tol, sign, qx, qy, residual, best);
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
    BisectT(dist, p, i, target, low, high, s, tol);
  };
  COLLINEAR_WITH_MODEL(f)
}

#undef COLLINEAR_WITH_MODEL

void CalcDistortion::Jacobian(double x, double y, double jac[4]) const {
  const double* p = p_;
  const double r2 = x * x + y * y;
  double k = 0.0, k1 = 0.0;  // radial bracket and its derivative by r2
  switch (model_) {
    case 1:
      k = ((p[3] * r2 + p[2]) * r2 + p[1]) * r2 * r2 + p[0] * r2;
      k1 = ((4.0 * p[3] * r2 + 3.0 * p[2]) * r2 + 2.0 * p[1]) * r2 + p[0];
      break;
    case 3:
      k = (p[2] * r2 + p[1]) * r2 * r2 + p[0] * r2;
      k1 = (3.0 * p[2] * r2 + 2.0 * p[1]) * r2 + p[0];
      break;
    case 2:
    case 4:
      k = (p[1] * r2 + p[0]) * r2;
      k1 = 2.0 * p[1] * r2 + p[0];
      break;
    default:
      break;
  }
  jac[0] = k + 2.0 * x * x * k1;
  jac[1] = 2.0 * x * y * k1;
  jac[2] = jac[1];
  jac[3] = k + 2.0 * y * y * k1;
  if (model_ == 2 || model_ == 3) {
    const double a = model_ == 2 ? p[2] : p[3];  // decentring, x
    const double b = model_ == 2 ? p[3] : p[4];  // decentring, y
    jac[0] += 6.0 * a * x + 2.0 * b * y;
    jac[1] += 2.0 * a * y + 2.0 * b * x;
    jac[2] += 2.0 * b * x + 2.0 * a * y;
    jac[3] += 6.0 * b * y + 2.0 * a * x;
  } else if (model_ == 4) {
    jac[0] += p[2] + p[4] * y;
    jac[1] += p[3] + p[4] * x + 2.0 * p[5] * y;
    jac[2] += p[6] * y + 2.0 * p[7] * x;
    jac[3] += p[6] * x;
  }
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
