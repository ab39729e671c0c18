// The calculator's inverse-distortion search and bisection step by step,
// with the full distortion evaluated wherever a step needs it and nothing
// skipped: the plain peer of CalcDistortion::Search and Bisect, which give
// its results bit for bit but skip the evaluations whose outcome is
// certain. calculator_bench times both and counts the results that differ.
#ifndef COLLINEAR_BENCH_PLAIN_SEARCH_H_
#define COLLINEAR_BENCH_PLAIN_SEARCH_H_

#include <cmath>

#include <collinear/calculator/calc_distortion.h>
#include <collinear/calculator/calc_distortion_keys.h>
#include <collinear/distortion/dist_formula.h>

namespace collinear {

class PlainSearch {
 public:
  PlainSearch(unsigned long model, const double* para) : model_(model) {
    for (int k = 0; k < CalcDistortion::kMaxPara; ++k) p_[k] = para[k];
  }

  // As CalcDistortion::Search (without the best estimate on failure).
  bool Search(double x,
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

  // As CalcDistortion::Bisect. A non-finite midpoint also ends the
  // bisection, which would not end otherwise.
  void Bisect(double* p,
              int i,
              const double* target,
              const double* low,
              const double* high,
              double s,
              double tol) const {
    auto f = [&](const auto& dist) {
      BisectPlain(dist, p, i, target, low, high, s, tol);
    };
    WithDistFormula(model_, p_, f);
  }

 private:
  template <class Dist>
  static void BisectPlain(const Dist& dist,
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
  static bool SearchPlain(const Dist& dist,
                          double x,
                          double y,
                          double tol,
                          bool sign,
                          double* qx,
                          double* qy,
                          double* residual) {
    constexpr double kEps = dist_search::kEps;
    const double s = sign ? 1.0 : -1.0;
    *qx = x;
    *qy = y;
    const double t[2] = {x, y};
    double p[2] = {x, y};
    double prev_r = 0.0;
    bool have_prev = false;
    for (int pass = 0; pass < CalcDistortion::kMaxPasses; ++pass) {
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
            if (step == CalcDistortion::kMaxWalkSteps) return false;
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
            if (step == CalcDistortion::kMaxWalkSteps) return false;
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
      double d[2];
      dist(p[0], p[1], d[0], d[1]);
      const double ex = p[0] + s * d[0] - t[0];
      const double ey = p[1] + s * d[1] - t[1];
      const double r = std::sqrt(ex * ex + ey * ey);
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

  unsigned long model_;
  double p_[CalcDistortion::kMaxPara];
};

}  // namespace collinear

#endif  // COLLINEAR_BENCH_PLAIN_SEARCH_H_
