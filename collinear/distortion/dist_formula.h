// The distortion formulas of the models of dist_model.h, evaluated in one
// fixed order of operations that every user shares, so that CDist, the
// calculator and the solvers agree to the last bit. D(x, y) is the value of
// the polynomial at the point (x, y) about the principal point; CDist adds it
// to a measured point, the calculator subtracts it. Library-internal.
#ifndef COLLINEAR_DISTORTION_DIST_FORMULA_H_
#define COLLINEAR_DISTORTION_DIST_FORMULA_H_

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <utility>

#include <collinear/distortion/dist_model.h>
#include <collinear/primitives/constants.h>

namespace collinear {

// Bounds of component I of D, and of its computation, over a segment of
// coordinate I (DistFormula::Bound).
struct DistBounds {
  double slope = 0.0;  // >= the sum of the sizes of the terms of dD_I/dq_I
  double curv = 0.0;   // >= |d2D_I/dq_I^2| (1/mm)
  double size = 0.0;   // >= |D_I| (mm)
  double err = 0.0;    // >= |computed D_I - D_I| / u to first order (mm)
};

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

  // Bounds of component I over the segment |q_I| <= mm, |q_other| <= ca
  // (see DistBounds).
  //
  // The rounding error: each operation adds at most u times the size of
  // its result. r2 = x x + y y comes out as r2 (1 + theta), |theta| <= 2 u
  // (a sum of two squares); the radial monomials a_j = p_j r2^(j+1) then
  // carry (j + 1) theta and j + 1 roundings of their own (the powers of r2
  // and the product with p_j), so the bracket k errs by at most 2 u |r2
  // k'(r2)| + u sum (j + 1) |a_j| plus its sums, and the sums behind it
  // and the product with q_I round results no larger than |k| and the
  // other terms. Where the radial terms cancel, |k| and |r2 k'| stay far
  // below the sizes of their terms. A change of the order of operations of
  // Comp must change this count with it.
  template <int I>
  DistBounds Bound(double mm, double ca) const {
    if constexpr (K == DistTerms::kNone) {
      return DistBounds{};
    } else {
      const double r2 = mm * mm + ca * ca;
      // Radial bracket k and its first two derivatives in r2, on |p|; the
      // sizes of the partial sums before the bracket's last.
      double k = 0.0, k1 = 0.0, k2 = 0.0, rn = 1.0, rm = 0.0, partial = 0.0;
      for (int j = 0; j < NR; ++j) {  // rn = r2^j, rm = r2^(j-1)
        k2 += (j + 1) * j * std::fabs(p[j]) * rm;
        k1 += (j + 1) * std::fabs(p[j]) * rn;
        rm = rn;
        rn *= r2;
        k += std::fabs(p[j]) * rn;
        if (j >= 1 && j < NR - 1) partial += k;
      }
      const RadialSizes radial = RadialMax(r2, k, r2 * k1);
      DistBounds b;
      b.slope = k + 2.0 * mm * mm * k1;
      b.curv = 6.0 * mm * k1 + 4.0 * mm * mm * mm * k2;
      b.size = mm * radial.k;
      // The bracket (theta, own roundings, partial and last sums), then the
      // product with q_I.
      b.err = mm * (2.0 * radial.r2k1 + r2 * k1 + partial + 2.0 * radial.k);
      // The other terms in the order Comp adds them: each with its own
      // roundings, then the sum, no larger than the terms so far.
      auto term = [&b](double roundings, double size) {
        b.size += size;
        b.err += roundings * size + b.size;
      };
      if constexpr (K == DistTerms::kDecentring) {
        const double a = std::fabs(p[I == 0 ? NR : NR + 1]);
        const double c = std::fabs(p[I == 0 ? NR + 1 : NR]);
        b.slope += 6.0 * a * mm + 2.0 * c * ca;
        b.curv += 6.0 * a;
        // a (r2 + 2 q_I q_I) and 2 c x y, each 2.0 * counted as a rounding.
        term(4.0, a * (r2 + 2.0 * mm * mm));
        term(3.0, 2.0 * c * mm * ca);
      } else if constexpr (K == DistTerms::kFurther) {
        if (I == 0) {
          b.slope += std::fabs(p[2]) + std::fabs(p[4]) * ca;
          term(1.0, std::fabs(p[2]) * mm);
          term(1.0, std::fabs(p[3]) * ca);
          term(2.0, std::fabs(p[4]) * mm * ca);
          term(2.0, std::fabs(p[5]) * ca * ca);
        } else {
          b.slope += std::fabs(p[6]) * ca;
          term(2.0, std::fabs(p[6]) * ca * mm);
          term(2.0, std::fabs(p[7]) * ca * ca);
        }
      }
      return b;
    }
  }

  // Bounds of |k(w)| = |Radial(w)| and of |w k'(w)| for 0 <= w <= z, from
  // the sums of the sizes of their terms at z (k_size, r2k1_size). With two
  // radial terms, each is a quadratic in w without constant term: the
  // larger of its value at z and at its turning point where that lies
  // inside, plus the roundings of both (a few u of the sizes, far inside
  // the caller's margin). With more terms, the sizes.
  struct RadialSizes {
    double k, r2k1;
  };
  RadialSizes RadialMax(double z, double k_size, double r2k1_size) const {
    if constexpr (NR != 2) {
      return {k_size, r2k1_size};
    } else {
      // |c0 w + c1 w^2| on [0, z]: at z, or at w = -c0 / (2 c1) where
      // c0 c1 < 0 and that lies below z, where it is c0^2 / (4 |c1|).
      auto quadratic_max = [z](double c0, double c1, double size) {
        constexpr double kRoundings = 8.0 * kEpsilon;  // 16 u
        double v = std::fabs(c0 * z + c1 * (z * z));
        const double a0 = std::fabs(c0), a1 = std::fabs(c1);
        if (c0 * c1 < 0.0 && a0 < 2.0 * a1 * z)
          v = std::max(v, a0 * a0 / (4.0 * a1));
        return std::min(v + kRoundings * size, size);
      };
      return {quadratic_max(p[0], p[1], k_size),
              quadratic_max(p[0], 2.0 * p[1], r2k1_size)};
    }
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
