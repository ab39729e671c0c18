// The distortion formulas of the models of dist_model.h, evaluated in one
// fixed order of operations that every user shares, so that CDist, the
// calculator and the solvers agree to the last bit. D(x, y) is the value of
// the polynomial at the point (x, y) about the principal point; CDist adds it
// to a measured point, the calculator subtracts it. Library-internal.
#ifndef COLLINEAR_DISTORTION_DIST_FORMULA_H_
#define COLLINEAR_DISTORTION_DIST_FORMULA_H_

#include <cmath>
#include <cstddef>
#include <iterator>
#include <utility>

#include <collinear/distortion/dist_model.h>

namespace collinear {

// NR radial terms p0..p(NR-1) on r^2..r^(2 NR), then the terms of K behind
// them. Comp<I> evaluates component I of D at the point whose coordinate I
// is m and other coordinate c; the full evaluation is made of the two
// components, so both agree bit for bit. T is double, or a vector of doubles
// evaluated lane by lane with the same operations (so the same results).
template <int NR, DistTerms K>
struct DistFormula {
  const double* p;

  template <class T>
  T Radial(T r2) const {
    if constexpr (NR == 0) {
      return T{};
    } else {
      const T r4 = r2 * r2;
      T k = p[0] * r2 + p[1] * r4;
      if constexpr (NR >= 3) {
        const T r6 = r4 * r2;
        k = k + p[2] * r6;
        if constexpr (NR >= 4) {
          const T r8 = r6 * r2;
          k = k + p[3] * r8;
        }
      }
      return k;
    }
  }

  // d(radial bracket) / d(r2), Horner form.
  double RadialDerivative(double r2) const {
    if constexpr (NR == 0) {
      return 0.0;
    } else {
      double k1 = p[NR - 1] * NR;
      for (int j = NR - 1; j >= 1; --j) k1 = k1 * r2 + p[j - 1] * j;
      return k1;
    }
  }

  template <int I, class T>
  T Comp(T m, T c) const {
    if constexpr (K == DistTerms::kNone) {
      return T{};
    } else {
      const T x = I == 0 ? m : c;
      const T y = I == 0 ? c : m;
      const T r2 = x * x + y * y;
      const T k = Radial(r2);
      if constexpr (K == DistTerms::kRadial) {
        return (I == 0 ? x : y) * k;
      } else if constexpr (K == DistTerms::kDecentring) {
        const double a = p[NR], b = p[NR + 1];
        return I == 0 ? x * k + a * (r2 + 2.0 * x * x) + 2.0 * b * x * y
                      : y * k + b * (r2 + 2.0 * y * y) + 2.0 * a * x * y;
      } else {
        return I == 0
                   ? x * k + p[2] * x + p[3] * y + p[4] * x * y + p[5] * y * y
                   : y * k + p[6] * x * y + p[7] * x * x;
      }
    }
  }

  void operator()(double x, double y, double& dx, double& dy) const {
    dx = Comp<0>(x, y);
    dy = Comp<1>(y, x);
  }

  // Partial derivatives of D, row by row: ddx/dx, ddx/dy, ddy/dx, ddy/dy.
  void Jacobian(double x, double y, double* jac) const {
    if constexpr (K == DistTerms::kNone) {
      jac[0] = jac[1] = jac[2] = jac[3] = 0.0;
      return;
    }
    const double r2 = x * x + y * y;
    const double k1 = RadialDerivative(r2);
    const double k = Radial(r2);
    jac[0] = k + 2.0 * x * x * k1;
    jac[1] = 2.0 * x * y * k1;
    jac[2] = jac[1];
    jac[3] = k + 2.0 * y * y * k1;
    if constexpr (K == DistTerms::kDecentring) {
      const double a = p[NR], b = p[NR + 1];
      jac[0] += 6.0 * a * x + 2.0 * b * y;
      jac[1] += 2.0 * a * y + 2.0 * b * x;
      jac[2] += 2.0 * b * x + 2.0 * a * y;
      jac[3] += 6.0 * b * y + 2.0 * a * x;
    } else if constexpr (K == DistTerms::kFurther) {
      jac[0] += p[2] + p[4] * y;
      jac[1] += p[3] + p[4] * x + 2.0 * p[5] * y;
      jac[2] += p[6] * y + 2.0 * p[7] * x;
      jac[3] += p[6] * x;
    }
  }

  // Partial derivatives of D by each parameter, in parameter order (D is
  // linear in its parameters): dx in px[k], dy in py[k]. Returns the count.
  int ParamDerivatives(double x, double y, double* px, double* py) const {
    if constexpr (K == DistTerms::kNone) return 0;
    const double r2 = x * x + y * y;
    double r_pow = r2;  // r^(2 (k + 1))
    int k = 0;
    for (; k < NR; ++k, r_pow *= r2) {
      px[k] = x * r_pow;
      py[k] = y * r_pow;
    }
    if constexpr (K == DistTerms::kDecentring) {
      px[k] = r2 + 2.0 * x * x;
      py[k++] = 2.0 * x * y;
      px[k] = 2.0 * x * y;
      py[k++] = r2 + 2.0 * y * y;
    } else if constexpr (K == DistTerms::kFurther) {
      const double dx[6] = {x, y, x * y, y * y, 0.0, 0.0};
      const double dy[6] = {0.0, 0.0, 0.0, 0.0, x * y, x * x};
      for (int j = 0; j < 6; ++j, ++k) {
        px[k] = dx[j];
        py[k] = dy[j];
      }
    }
    return k;
  }

  // dD_I / dq_I at the point whose coordinate I is m, the other c.
  template <int I>
  double Slope(double m, double c) const {
    if constexpr (K == DistTerms::kNone) return 0.0;
    const double r2 = m * m + c * c;
    double d = Radial(r2) + 2.0 * m * m * RadialDerivative(r2);
    if constexpr (K == DistTerms::kDecentring) {
      const double a = p[I == 0 ? NR : NR + 1], b = p[I == 0 ? NR + 1 : NR];
      d += 6.0 * a * m + 2.0 * b * c;
    } else if constexpr (K == DistTerms::kFurther) {
      d += I == 0 ? p[2] + p[4] * c : p[6] * c;
    }
    return d;
  }

  // Over |q_I| <= mm with |q_other| = ca, upper bounds of: |dD_I/dq_I| and
  // the sum of the magnitudes of its terms in *slope; the sum of the
  // magnitudes of the terms of D_I in *mag; |d2D_I/dq_I^2| in *curv.
  template <int I>
  void Bound(
      double mm, double ca, double* slope, double* mag, double* curv) const {
    if constexpr (K == DistTerms::kNone) {
      *slope = *mag = *curv = 0.0;
      return;
    }
    const double r2 = mm * mm + ca * ca;
    // Radial bracket k and its first two derivatives in r2, on |p|.
    double k = 0.0, k1 = 0.0, k2 = 0.0, rn = 1.0, rm = 0.0;
    for (int j = 0; j < NR; ++j) {  // rn = r2^j, rm = r2^(j-1)
      k2 += (j + 1) * j * std::fabs(p[j]) * rm;
      k1 += (j + 1) * std::fabs(p[j]) * rn;
      rm = rn;
      rn *= r2;
      k += std::fabs(p[j]) * rn;
    }
    double s = k + 2.0 * mm * mm * k1, g = mm * k;
    double cv = 6.0 * mm * k1 + 4.0 * mm * mm * mm * k2;
    if constexpr (K == DistTerms::kDecentring) {
      const double a = std::fabs(p[I == 0 ? NR : NR + 1]);
      const double b = std::fabs(p[I == 0 ? NR + 1 : NR]);
      s += 6.0 * a * mm + 2.0 * b * ca;
      g += a * (r2 + 2.0 * mm * mm) + 2.0 * b * mm * ca;
      cv += 6.0 * a;
    } else if constexpr (K == DistTerms::kFurther) {
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
    *curv = cv;
  }
};

// Calls f with the formula of the model numbered model (parameters p, as
// many as the model has) and returns what f returns; models not in the
// table get the formula of no distortion.
template <std::size_t I = 0, class F>
decltype(auto) WithDistFormula(unsigned long model, const double* p, F&& f) {
  if constexpr (I == std::size(kDistModels)) {
    return f(DistFormula<0, DistTerms::kNone>{p});
  } else {
    constexpr DistModelInfo kInfo = kDistModels[I];
    static_assert(kInfo.terms != DistTerms::kDecentring || kInfo.further == 2);
    static_assert(kInfo.terms != DistTerms::kFurther ||
                  (kInfo.radial == 2 && kInfo.further == 6));
    if (kInfo.terms != DistTerms::kNone &&
        model == static_cast<unsigned long>(kInfo.model))
      return f(DistFormula<kInfo.radial, kInfo.terms>{p});
    return WithDistFormula<I + 1>(model, p, std::forward<F>(f));
  }
}

}  // namespace collinear

#endif  // COLLINEAR_DISTORTION_DIST_FORMULA_H_
