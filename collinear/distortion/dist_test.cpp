#include <collinear/distortion/dist.h>

#include <algorithm>
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include <collinear/distortion/dist_formula.h>
#include <collinear/distortion/dist_model.h>

namespace {

// Realistic parameter sets (mm units): k1 ~ 1e-4 / mm^2, decentring ~ 1e-5.
struct ModelCase {
  DIST_MODEL model;
  double para[8];
};
const ModelCase kRealistic[] = {
    {DIST_K1K2K3K4, {1.2e-4, -3.0e-7, 4.0e-10, -2.0e-13}},
    {DIST_K1K2P1P2, {-1.1e-4, 2.0e-7, 1.5e-5, -8.0e-6}},
    {DIST_K1K2K3P1P2, {1.0e-4, -2.5e-7, 3.0e-10, -1.2e-5, 9.0e-6}},
    {DIST_K1K2_EXT6,
     {9.0e-5, -1.5e-7, 2.0e-4, -3.0e-5, 5.0e-6, -6.0e-6, 7.0e-6, -8.0e-6}},
};

CDist MakeDist(const ModelCase& c) {
  CDist d;
  d.SetDistModel(c.model);
  for (int i = 0; i < d.GetNumPara(); ++i) d.m_Para[i] = c.para[i];
  return d;
}

// |q + CalDist(q) - target|, evaluated apart from the search.
double InverseResidual(
    const CDist& d, double qx, double qy, double tx, double ty) {
  double cx = 0, cy = 0;
  d.CalDist(qx, qy, cx, cy);
  return std::hypot(qx + cx - tx, qy + cy - ty);
}

}  // namespace

TEST(CDist, EmptyModelHasNoDistortion) {
  CDist d;
  EXPECT_EQ(d.GetDistModel(), DIST_NONE);
  EXPECT_EQ(d.GetNumPara(), 0);
  for (double p : d.m_Para) EXPECT_EQ(p, 0.0);
  const double pts[][2] = {{0, 0}, {12.5, -7.0}, {-20, 20}};
  for (const auto& p : pts) {
    double cx = 99, cy = 99, dx = 99, dy = 99;
    d.CalDist(p[0], p[1], cx, cy);
    EXPECT_EQ(d.CalDistInv(p[0], p[1], dx, dy, 0.0), 1);
    EXPECT_TRUE(cx == 0.0 && cy == 0.0 && dx == 0.0 && dy == 0.0);
  }
}

TEST(CDist, ModelSetsParameterCount) {
  const struct {
    int model;
    DIST_MODEL expect_model;
    int expect_count;
  } cases[] = {{0, DIST_NONE, 0},
               {1, DIST_K1K2K3K4, 4},
               {2, DIST_K1K2P1P2, 4},
               {3, DIST_K1K2K3P1P2, 5},
               {4, DIST_K1K2_EXT6, 8},
               {7, DIST_NONE, 0},
               {-1, DIST_NONE, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model);
    CDist d;
    d.SetDistModel(DIST_K1K2K3P1P2);
    d.m_Para[0] = 1e-4;
    d.SetDistModel(static_cast<DIST_MODEL>(c.model));
    EXPECT_EQ(d.GetDistModel(), c.expect_model);
    EXPECT_EQ(d.GetNumPara(), c.expect_count);
    EXPECT_EQ(d.m_Para[0], 1e-4);  // parameters survive a model change
  }
  CDist d;
  d.SetDistModel(DIST_K1K2K3P1P2);
  d.m_Para[0] = 1e-4;
  d.GetDistModel() = DIST_K1K2_EXT6;  // the reference changes only the model
  EXPECT_EQ(d.m_Model, DIST_K1K2_EXT6);
  EXPECT_EQ(d.GetNumPara(), 5);
  d.GetDistModel() = static_cast<DIST_MODEL>(9);  // unknown: no distortion
  double dx = 1, dy = 1;
  d.CalDist(10.0, 5.0, dx, dy);
  EXPECT_EQ(dx, 0.0);
  EXPECT_EQ(dy, 0.0);
}

TEST(CDist, EachModelMatchesExactValues) {
  // Expected corrections at (3, -4) worked out in exact rational arithmetic.
  const struct {
    ModelCase c;
    double dx, dy;
  } cases[] = {
      {{DIST_K1K2K3K4, {1.5e-4, -2.5e-7, 3e-10, -4e-13}},
       0.01079484375,
       -0.014393125},
      {{DIST_K1K2P1P2, {1.5e-4, -2.5e-7, 5e-6, -6e-6}}, 0.01114025, -0.014837},
      {{DIST_K1K2K3P1P2, {1.5e-4, -2.5e-7, 3e-10, 5e-6, -6e-6}},
       0.0111543125,
       -0.01485575},
      {{DIST_K1K2_EXT6,
        {1.5e-4, -2.5e-7, 2e-4, -3e-5, 5e-6, -6e-6, 7e-7, -8e-7}},
       0.01134525,
       -0.0143906},
  };
  const double kTolMm = 1e-16;  // a few ulp of values near 0.01 mm
  for (const auto& t : cases) {
    SCOPED_TRACE(t.c.model);
    const CDist d = MakeDist(t.c);
    double dx = 0, dy = 0;
    d.CalDist(3.0, -4.0, dx, dy);
    EXPECT_NEAR(dx, t.dx, kTolMm);
    EXPECT_NEAR(dy, t.dy, kTolMm);
  }
}

// Every model of the table: found by number, name and host counts, and
// D linear in its parameters with the derivatives the solvers use.
TEST(DistModels, TableAndParameterDerivatives) {
  for (const collinear::DistModelSpec& spec : collinear::kDistModels) {
    SCOPED_TRACE(spec.name);
    ASSERT_NE(collinear::FindDistModel(spec.model), nullptr);
    EXPECT_STREQ(collinear::FindDistModel(spec.model)->name, spec.name);
    ASSERT_NE(collinear::FindDistModel(std::string(spec.name)), nullptr);
    EXPECT_EQ(collinear::FindDistModel(std::string(spec.name))->model,
              spec.model);
    EXPECT_EQ(collinear::DistModelFromCounts(spec.radial, spec.further),
              spec.model);
    CDist d;
    d.SetDistModel(spec.model);
    EXPECT_EQ(d.GetNumPara(), spec.Count());
    EXPECT_EQ(collinear::DistortionParameterNames(spec.model).size(),
              static_cast<size_t>(spec.Count()));
    // A unit parameter gives its derivative column.
    const double x = 7.5, y = -4.25;
    double px[collinear::kMaxDistPara], py[collinear::kMaxDistPara];
    const int n =
        collinear::WithDistFormula(spec.model, d.m_Para, [&](const auto& f) {
          return f.ParamDerivatives(x, y, px, py);
        });
    ASSERT_EQ(n, spec.Count());
    for (int k = 0; k < n; ++k) {
      SCOPED_TRACE(spec.para_names[k]);
      std::fill(d.m_Para, d.m_Para + 10, 0.0);
      d.m_Para[k] = 1.0;
      double dx = 0.0, dy = 0.0;
      d.CalDist(x, y, dx, dy);
      EXPECT_DOUBLE_EQ(px[k], dx);
      EXPECT_DOUBLE_EQ(py[k], dy);
    }
  }
  EXPECT_EQ(collinear::FindDistModel(5), nullptr);
  EXPECT_EQ(collinear::FindDistModel(std::string("k1")), nullptr);
  EXPECT_EQ(collinear::DistModelFromCounts(4, 2), DIST_NONE);
}

TEST(CDist, InverseOfSimpleRadialModel) {
  CDist d;
  d.SetDistModel(DIST_K1K2K3K4);
  d.m_Para[0] = 1e-4;
  double dx = 0, dy = 0;
  d.CalDist(10.0, 0.0, dx, dy);
  EXPECT_DOUBLE_EQ(dx, 0.1);
  EXPECT_EQ(dy, 0.0);
  EXPECT_EQ(d.CalDistInv(10.1, 0.0, dx, dy, 1e-12), 1);
  EXPECT_NEAR(dx, -0.1, 1e-12);
  EXPECT_EQ(dy, 0.0);
}

// Measured points Q0 within 20 mm are distorted into ideal points; the
// inverse must meet the tolerance and find Q0 again (the mapping is a near
// identity there, so the solution is unique).
TEST(CDist, InverseRoundTripsWithinTwentyMillimetres) {
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<double> radius2(0.0, 400.0);  // mm^2
  std::uniform_real_distribution<double> angle(-3.141592653589793,
                                               3.141592653589793);
  const double kTols[] = {1e-6, 1e-12};
  for (const ModelCase& c : kRealistic) {
    SCOPED_TRACE(c.model);
    const CDist d = MakeDist(c);
    for (double tol : kTols) {
      for (int i = 0; i < 300; ++i) {
        const double r = std::sqrt(radius2(rng)), t = angle(rng);
        const double qx = r * std::cos(t), qy = r * std::sin(t);
        double cx = 0, cy = 0;
        d.CalDist(qx, qy, cx, cy);
        const double x = qx + cx, y = qy + cy;
        double dx = 99, dy = 99;
        ASSERT_EQ(d.CalDistInv(x, y, dx, dy, tol), 1) << x << " " << y;
        EXPECT_LE(InverseResidual(d, x + dx, y + dy, x, y), tol);
        // The Jacobian of the correction is below 0.2 here, so the
        // distance to Q0 is at most about 1.25 times the residual.
        EXPECT_NEAR(x + dx, qx, 1.5 * tol + 1e-14);
        EXPECT_NEAR(y + dy, qy, 1.5 * tol + 1e-14);
      }
    }
  }
}

TEST(CDist, InverseReportsNonConvergenceWithBestEstimate) {
  // dx = -x + 0.5 y, dy = 0 maps the whole plane onto the line X = 0.5 Y,
  // which passes sqrt(0.8) from the ideal point (1, 0): unreachable.
  CDist d;
  d.SetDistModel(DIST_K1K2_EXT6);
  d.m_Para[2] = -1.0;
  d.m_Para[3] = 0.5;
  const double x = 1.0, y = 0.0;
  double cx = 0, cy = 0;
  d.CalDist(x, y, cx, cy);
  const double first_error = InverseResidual(d, x - cx, y - cy, x, y);
  double dx = 99, dy = 99;
  EXPECT_EQ(d.CalDistInv(x, y, dx, dy, 1e-6), 0);
  ASSERT_NE(dy, 99.0);
  const double residual = InverseResidual(d, x + dx, y + dy, x, y);
  EXPECT_LT(residual, first_error);  // the best grid point, not the start
  EXPECT_GE(residual, std::sqrt(0.8) - 1e-12);
}

TEST(CDist, AddParaCountsOnePerNewIndex) {
  CDist d;
  EXPECT_EQ(d.AddPara(5, 2.5e-6), 1);
  EXPECT_EQ(d.m_Para[5], 2.5e-6);
  EXPECT_EQ(d.GetNumPara(), 1);
  EXPECT_EQ(d.AddPara(0, 1e-4), 1);  // below the count: no rise
  EXPECT_EQ(d.GetNumPara(), 1);
  EXPECT_EQ(d.AddPara(1, 1e-7), 1);
  EXPECT_EQ(d.GetNumPara(), 2);
  EXPECT_EQ(d.AddPara(10, 1.0), 0);
  EXPECT_EQ(d.AddPara(-1, 1.0), 0);
  EXPECT_EQ(d.GetNumPara(), 2);
  EXPECT_EQ(d.m_Para[9], 0.0);
}

TEST(CDist, SampledCurveFromParameters) {
  CDist d;
  d.SetDistModel(DIST_K1K2P1P2);
  d.m_Para[0] = 1e-4;
  EXPECT_EQ(d.ParaToDist(0.5, 3), 0);  // only the radial model 1
  EXPECT_EQ(d.m_DistRadius.GetSize(), 0);

  d.SetDistModel(DIST_K1K2K3K4);
  EXPECT_EQ(d.ParaToDist(0.5, 3), 1);
  ASSERT_EQ(d.m_DistRadius.GetSize(), 3);
  ASSERT_EQ(d.m_DistValue.GetSize(), 3);
  const double radii[] = {0.0, 0.5, 1.0}, values[] = {0.0, 1.25e-5, 1e-4};
  for (int i = 0; i < 3; ++i) {
    EXPECT_DOUBLE_EQ(d.m_DistRadius[i], radii[i]);
    EXPECT_DOUBLE_EQ(d.m_DistValue[i], values[i]);
  }
  EXPECT_EQ(d.AddDist(1.5, 3.375e-4), 4);
  EXPECT_EQ(d.ParaToDist(0.5, -1), 0);
  EXPECT_EQ(d.m_DistRadius.GetSize(), 4);
}

TEST(CDist, FitOfSampledCurve) {
  CDist d;
  for (int r = 1; r <= 3; ++r) d.AddDist(r, 2e-4 * r * r);
  EXPECT_EQ(d.DistToPara(), 0);  // three samples are too few
  d.AddDist(4, 2e-4 * 16);
  EXPECT_EQ(d.DistToPara(), 1);
  EXPECT_EQ(d.GetDistModel(), DIST_K1K2K3K4);
  EXPECT_EQ(d.GetNumPara(), 0);  // the count is left alone
  EXPECT_NEAR(d.m_Para[0], 2e-4, 1e-15);
  EXPECT_NEAR(d.m_Para[1], 0.0, 1e-15);
  EXPECT_NEAR(d.m_Para[2], 0.0, 1e-15);
  EXPECT_NEAR(d.m_Para[3], 0.0, 1e-15);

  // A realistic curve over 1..10 mm recovers all four coefficients.
  const double k[] = {1.2e-4, -3.0e-7, 4.0e-10, -2.0e-13};
  CDist f;
  f.m_Para[7] = 0.5;
  for (int i = 1; i <= 20; ++i) {
    const double r = 0.5 * i, r2 = r * r;
    f.AddDist(r, r2 * (k[0] + r2 * (k[1] + r2 * (k[2] + r2 * k[3]))));
  }
  ASSERT_EQ(f.DistToPara(), 1);
  for (int i = 0; i < 4; ++i)
    EXPECT_NEAR(f.m_Para[i], k[i], 1e-6 * std::fabs(k[i])) << i;
  EXPECT_EQ(f.m_Para[7], 0.5);
}

TEST(CDist, FitRefusesBadSamplesUnchanged) {
  CDist d;
  d.m_Para[0] = 7.0;
  for (int i = 0; i < 5; ++i) d.AddDist(0.0, 1e-4);  // all at r = 0: singular
  EXPECT_EQ(d.DistToPara(), 0);
  d.m_DistValue.Add(1.0);  // unequal lengths
  EXPECT_EQ(d.DistToPara(), 0);
  EXPECT_EQ(d.m_Para[0], 7.0);
  EXPECT_EQ(d.GetDistModel(), DIST_NONE);
}

TEST(CDist, CopyTakesEveryField) {
  CDist a = MakeDist(kRealistic[2]);
  a.AddDist(1.0, 2.0);
  CDist b;
  b = a;
  a.Init();
  EXPECT_EQ(b.m_Model, DIST_K1K2K3P1P2);
  EXPECT_EQ(b.m_NumPara, 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(b.m_Para[i], kRealistic[2].para[i]);
  ASSERT_EQ(b.m_DistValue.GetSize(), 1);
  EXPECT_EQ(b.m_DistRadius[0], 1.0);
  EXPECT_EQ(b.m_DistValue[0], 2.0);
}
