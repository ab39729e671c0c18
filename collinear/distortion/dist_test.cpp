#include <collinear/distortion/dist.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include <collinear/distortion/dist_formula.h>
#include <collinear/distortion/dist_model.h>

namespace {

// Realistic parameter sets in mm (k1 ~ 1e-4 / mm^2, further terms ~ 1e-5)
// with their corrections at (3, -4), worked out in exact rational
// arithmetic.
const struct {
  DIST_MODEL model;
  double para[8];
  double dx, dy;
} kModels[] = {
    {DIST_K1K2K3K4,
     {1.5e-4, -2.5e-7, 3e-10, -4e-13},
     0.01079484375,
     -0.014393125},
    {DIST_K1K2P1P2, {1.5e-4, -2.5e-7, 5e-6, -6e-6}, 0.01114025, -0.014837},
    {DIST_K1K2K3P1P2,
     {1.5e-4, -2.5e-7, 3e-10, 5e-6, -6e-6},
     0.0111543125,
     -0.01485575},
    {DIST_K1K2_EXT6,
     {1.5e-4, -2.5e-7, 2e-4, -3e-5, 5e-6, -6e-6, 7e-7, -8e-7},
     0.01134525,
     -0.0143906},
};

CDist MakeDist(DIST_MODEL model, const double* para) {
  CDist d;
  d.SetDistModel(model);
  std::copy(para, para + d.GetNumPara(), d.m_Para);
  return d;
}

// |q + CalDist(q) - (x, y)|, evaluated apart from the search.
double InverseResidual(
    const CDist& d, double qx, double qy, double x, double y) {
  double cx = 0, cy = 0;
  d.CalDist(qx, qy, cx, cy);
  return std::hypot(qx + cx - x, qy + cy - y);
}

// The largest rounding error of component I of dist at random points of
// the segment |q_I| <= mm, |q_other| <= ca (its ends among them), against
// an evaluation in extended precision, in units of its bound derr u;
// checks |D_I| against its bound size on the way.
template <int I, class Dist>
double WorstRoundingShare(const Dist& dist,
                          double mm,
                          double ca,
                          std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const collinear::DistBounds b = dist.template Bound<I>(mm, ca);
  const long double u = collinear::kEpsilon / 2;
  double worst = 0.0;
  for (int k = 0; k < 40; ++k) {
    const double m = k % 4 ? mm * unit(rng) : std::copysign(mm, unit(rng));
    const double c = ca * unit(rng);
    const long double exact = dist.template Comp<I, long double>(m, c);
    EXPECT_LE(std::fabs(exact), b.size * (1 + 1e-12)) << m << ", " << c;
    const long double e = std::fabs(dist.template Comp<I>(m, c) - exact);
    worst = std::max(worst, static_cast<double>(e / (u * b.err)));
  }
  return worst;
}

}  // namespace

// The parameter count follows the model (0, 4, 4, 5, 8); an unknown number
// sets no model; the parameters survive. An unknown model written through
// the reference gives no distortion, as no model does (whose inverse is the
// identity at once).
TEST(DistModels, CountsTableAndParameterDerivatives) {
  const int counts[] = {0, 4, 4, 5, 8};
  for (int model = -1; model <= 7; ++model) {
    CDist d;
    d.m_Para[0] = 1e-4;
    d.SetDistModel(static_cast<DIST_MODEL>(model));
    const bool known = model >= 0 && model <= 4;
    EXPECT_EQ(d.GetDistModel(), known ? model : DIST_NONE) << model;
    EXPECT_EQ(d.GetNumPara(), known ? counts[model] : 0) << model;
    EXPECT_EQ(d.m_Para[0], 1e-4);
  }
  CDist d = MakeDist(kModels[2].model, kModels[2].para);
  d.GetDistModel() = static_cast<DIST_MODEL>(9);
  double dx = 99, dy = 99;
  d.CalDist(10.0, 5.0, dx, dy);
  EXPECT_TRUE(dx == 0.0 && dy == 0.0);
  EXPECT_EQ(CDist().CalDistInv(12.5, -7.0, dx, dy, 0.0), 1);
  EXPECT_TRUE(dx == 0.0 && dy == 0.0);
  // Every model of the table: found by number, name and host counts, named
  // parameters, and D linear in its parameters with the derivatives the
  // solvers use (a unit parameter gives its column).
  for (const collinear::DistModelInfo& info : collinear::kDistModels) {
    SCOPED_TRACE(info.name);
    // The table is an inline variable: the library holds its own copy.
    const auto* by_number = collinear::FindDistModel(info.model);
    const auto* by_name = collinear::FindDistModel(std::string(info.name));
    ASSERT_TRUE(by_number != nullptr && by_name != nullptr);
    EXPECT_TRUE(by_number->model == info.model && by_name == by_number);
    EXPECT_EQ(collinear::DistModelFromCounts(info.radial, info.further),
              info.model);
    EXPECT_EQ(collinear::DistortionParameterNames(info.model).size(),
              static_cast<size_t>(info.Count()));
    CDist d;
    d.SetDistModel(info.model);
    const double x = 7.5, y = -4.25;
    double px[collinear::kMaxDistPara], py[collinear::kMaxDistPara];
    const int n =
        collinear::WithDistFormula(info.model, d.m_Para, [&](const auto& f) {
          return f.ParamDerivatives(x, y, px, py);
        });
    ASSERT_EQ(n, info.Count());
    for (int k = 0; k < n; ++k) {
      std::fill(d.m_Para, d.m_Para + 10, 0.0);
      d.m_Para[k] = 1.0;
      double dx = 0.0, dy = 0.0;
      d.CalDist(x, y, dx, dy);
      EXPECT_DOUBLE_EQ(px[k], dx) << info.para_names[k];
      EXPECT_DOUBLE_EQ(py[k], dy) << info.para_names[k];
    }
  }
  EXPECT_EQ(collinear::FindDistModel(5), nullptr);
  EXPECT_EQ(collinear::FindDistModel(std::string("k1")), nullptr);
  EXPECT_EQ(collinear::DistModelFromCounts(4, 2), DIST_NONE);
  EXPECT_TRUE(
      collinear::DistortionParameterNames(static_cast<DIST_MODEL>(5)).empty());
}

// Each model against its exact values. Measured points Q0 within 20 mm are
// distorted into ideal points; the inverse must meet the tolerance and find
// Q0 again (the Jacobian of the correction is below 0.2 there: the mapping
// is a near identity, the solution unique, and the distance to Q0 at most
// about 1.25 times the residual).
TEST(CDist, ExactValuesInverseRoundTripsAndFailure) {
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<double> radius2(0.0, 400.0);  // mm^2
  std::uniform_real_distribution<double> angle(-3.141592653589793,
                                               3.141592653589793);
  const double kTolMm = 1e-16;  // a few ulp of values near 0.01 mm
  for (const auto& m : kModels) {
    SCOPED_TRACE(m.model);
    const CDist d = MakeDist(m.model, m.para);
    double dx = 0, dy = 0;
    d.CalDist(3.0, -4.0, dx, dy);
    EXPECT_NEAR(dx, m.dx, kTolMm);
    EXPECT_NEAR(dy, m.dy, kTolMm);
    for (double tol : {1e-6, 1e-12}) {
      for (int i = 0; i < 300; ++i) {
        const double r = std::sqrt(radius2(rng)), t = angle(rng);
        const double qx = r * std::cos(t), qy = r * std::sin(t);
        d.CalDist(qx, qy, dx, dy);
        const double x = qx + dx, y = qy + dy;
        ASSERT_EQ(d.CalDistInv(x, y, dx, dy, tol), 1) << x << " " << y;
        EXPECT_LE(InverseResidual(d, x + dx, y + dy, x, y), tol);
        EXPECT_NEAR(x + dx, qx, 1.5 * tol + 1e-14);
        EXPECT_NEAR(y + dy, qy, 1.5 * tol + 1e-14);
      }
    }
  }
  // dx = -x + 0.5 y, dy = 0 maps the whole plane onto the line X = 0.5 Y,
  // which passes sqrt(0.8) from the ideal point (1, 0): unreachable. The
  // search reports it, with the best grid point rather than the start.
  CDist d;
  d.SetDistModel(DIST_K1K2_EXT6);
  d.m_Para[2] = -1.0;
  d.m_Para[3] = 0.5;
  double dx = 99, dy = 99;
  EXPECT_EQ(d.CalDistInv(1.0, 0.0, dx, dy, 1e-6), 0);
  const double residual = InverseResidual(d, 1.0 + dx, dy, 1.0, 0.0);
  EXPECT_LT(residual, InverseResidual(d, 2.0, 0.0, 1.0, 0.0));  // the start
  EXPECT_GE(residual, std::sqrt(0.8) - 1e-12);
}

// AddPara counts one more parameter per index not below the count;
// ParaToDist samples model 1 only; DistToPara fits k1..k4 of model 1 to the
// samples (relative values) and leaves the count and the other parameters.
TEST(CDist, ParametersSamplesAndFit) {
  CDist d;
  EXPECT_EQ(d.AddPara(5, 2.5e-6), 1);
  EXPECT_EQ(d.AddPara(0, 1e-4), 1);  // below the count: no rise
  EXPECT_EQ(d.GetNumPara(), 1);
  EXPECT_EQ(d.AddPara(1, 1e-7) + d.AddPara(10, 1.0) + d.AddPara(-1, 1.0), 1);
  EXPECT_EQ(d.GetNumPara(), 2);
  EXPECT_TRUE(d.m_Para[5] == 2.5e-6 && d.m_Para[0] == 1e-4 && d.m_Para[9] == 0);
  EXPECT_EQ(d.ParaToDist(0.5, 3), 0);  // model 0
  d.SetDistModel(DIST_K1K2K3K4);
  EXPECT_EQ(d.ParaToDist(0.5, -1), 0);
  EXPECT_EQ(d.ParaToDist(0.5, 3), 1);  // r (k1 r^2 + k2 r^4)
  const double radii[] = {0.0, 0.5, 1.0},
               values[] = {0.0, 1.25e-5 + 3.125e-9, 1e-4 + 1e-7};
  for (int i = 0; i < 3; ++i) {
    EXPECT_DOUBLE_EQ(d.m_DistRadius[i], radii[i]);
    EXPECT_DOUBLE_EQ(d.m_DistValue[i], values[i]);
  }
  EXPECT_EQ(d.AddDist(1.5, 3.375e-4), 4);

  // A realistic curve over 0.5..10 mm recovers all four coefficients.
  const double k[] = {1.2e-4, -3.0e-7, 4.0e-10, -2.0e-13};
  CDist f;
  f.AddPara(7, 0.5);
  for (int i = 1; i <= 20; ++i) {
    const double r = 0.5 * i, r2 = r * r;
    f.AddDist(r, r2 * (k[0] + r2 * (k[1] + r2 * (k[2] + r2 * k[3]))));
  }
  ASSERT_EQ(f.DistToPara(), 1);
  EXPECT_EQ(f.GetDistModel(), DIST_K1K2K3K4);
  EXPECT_EQ(f.GetNumPara(), 1);
  for (int i = 0; i < 4; ++i)
    EXPECT_NEAR(f.m_Para[i], k[i], 1e-6 * std::fabs(k[i])) << i;
  EXPECT_EQ(f.m_Para[7], 0.5);

  const CDist copy(f);  // every field, the samples not shared
  for (int i = 0; i < 10; ++i) EXPECT_EQ(copy.m_Para[i], f.m_Para[i]);
  f.Init();
  EXPECT_TRUE(copy.m_Model == DIST_K1K2K3K4 && copy.m_NumPara == 1);
  ASSERT_EQ(copy.m_DistValue.GetSize(), 20);
  EXPECT_EQ(copy.m_DistRadius[19], 10.0);
}

// The bounds of a segment hold for the distortion as computed: its rounding
// error stays within derr u and |D_I| within size. Random lenses of every
// model from mild to strong, half of them with radial terms that cancel
// inside the segment, where the rounding bound counts |k| rather than the
// sizes of its terms. (Extended precision errs by under 1/128 of derr u.)
TEST(DistFormula, RoundingAndSizeBoundsHold) {
  if (std::numeric_limits<long double>::digits < 64)
    GTEST_SKIP() << "long double is no wider than double here";
  std::mt19937_64 rng(2026);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (const DIST_MODEL model :
       {DIST_K1K2K3K4, DIST_K1K2P1P2, DIST_K1K2K3P1P2, DIST_K1K2_EXT6}) {
    double worst = 0.0;
    for (int lens = 0; lens < 2000; ++lens) {
      const double r = std::pow(10.0, unit(rng) + 0.5);  // 1 to 30 mm
      double p[8];
      for (int j = 0; j < 8; ++j)  // terms of 0.01 to 1 % of r at r
        p[j] = unit(rng) * std::pow(10.0, unit(rng) - 3.0) /
               std::pow(r, j < 4 ? 2 * j + 2 : 0);
      if (lens % 2) p[1] = -p[0] / (r * r * (0.1 + std::fabs(unit(rng))));
      const double mm = r * std::fabs(unit(rng));
      const double ca = r * std::fabs(unit(rng));
      collinear::WithDistFormula(model, p, [&](const auto& dist) {
        worst = std::max({worst,
                          WorstRoundingShare<0>(dist, mm, ca, rng),
                          WorstRoundingShare<1>(dist, mm, ca, rng)});
      });
    }
    EXPECT_LE(worst, 1.0 + 1.0 / 64) << "model " << model;
    EXPECT_GT(worst, 0.05) << "model " << model << ": a bound far too loose";
  }
}
