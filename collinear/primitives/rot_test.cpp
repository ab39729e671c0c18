#include <collinear/primitives/rot.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/primitives/constants.h>

using collinear::kPi;
using collinear::kRadPerDeg;

namespace {

const double kTolRound = 1e-14;  // a few products of unit-sized numbers

// Elementary rotations built here from their definition, independently of
// the library's composed formulas.
CRot Axis(int axis, double a) {
  CRot r;
  const double c = std::cos(a), s = std::sin(a);
  const int i = (axis + 1) % 3, j = (axis + 2) % 3;  // rotated plane
  r.m_r[3 * i + i] = c;
  r.m_r[3 * i + j] = -s;
  r.m_r[3 * j + i] = s;
  r.m_r[3 * j + j] = c;
  return r;
}

CRot Product(const CRot& a, const CRot& b) {
  CRot r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double s = 0;
      for (int k = 0; k < 3; ++k) s += a.m_r[3 * i + k] * b.m_r[3 * k + j];
      r.m_r[3 * i + j] = s;
    }
  return r;
}

// The matrix a convention means, for a column vector.
CRot Expected(ROT_SYSTEM sys, const CWPK& a) {
  const CRot rx = Axis(0, a.m_w), ry = Axis(1, a.m_p), rz = Axis(2, a.m_k);
  switch (sys) {
    case ROT_W:
      return rx;
    case ROT_P:
      return ry;
    case ROT_K:
      return rz;
    case ROT_WPK:
      return Product(rz, Product(ry, rx));
    case ROT_KPW:
      return Product(rx, Product(ry, rz));
  }
  return CRot();
}

CRot Built(ROT_SYSTEM sys, const CWPK& a) {
  CRot r;
  EXPECT_EQ(r.SetMatrix(sys, a), 1);
  return r;
}

void ExpectNear(const CRot& a, const CRot& b, double tol) {
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(a.m_r[i], b.m_r[i], tol) << i;
}

void ExpectSame(const CRot& a, const CRot& b) {
  for (int i = 0; i < 9; ++i) EXPECT_EQ(a.m_r[i], b.m_r[i]) << i;
}

// Angle difference on the circle, in [0, pi].
double CircDist(double a, double b) {
  return std::fabs(std::remainder(a - b, 2 * kPi));
}

void ExpectAnglesNear(const CWPK& got, const CWPK& want, double tol) {
  EXPECT_LE(CircDist(got.m_w, want.m_w), tol) << got.m_w << " " << want.m_w;
  EXPECT_LE(CircDist(got.m_p, want.m_p), tol) << got.m_p << " " << want.m_p;
  EXPECT_LE(CircDist(got.m_k, want.m_k), tol) << got.m_k << " " << want.m_k;
}

void ExpectWrapped(const CWPK& a) {
  EXPECT_LE(std::fabs(a.m_w), kPi);
  EXPECT_LE(std::fabs(a.m_p), kPi);
  EXPECT_LE(std::fabs(a.m_k), kPi);
}

// The other Euler solution of the same matrix.
CWPK Alternative(const CWPK& a) {
  CWPK b(a.m_w + kPi, kPi - a.m_p, a.m_k + kPi);
  b.Normalize();
  return b;
}

const ROT_SYSTEM kBadSystem = static_cast<ROT_SYSTEM>(5);

}  // namespace

class CRotConvention : public ::testing::TestWithParam<ROT_SYSTEM> {};

TEST_P(CRotConvention, MatchesProductOfAxisRotations) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> angle(-kPi, kPi);
  for (int n = 0; n < 200; ++n) {
    const CWPK a(angle(rng), angle(rng), angle(rng));
    ExpectNear(Built(GetParam(), a), Expected(GetParam(), a), kTolRound);
  }
}

TEST_P(CRotConvention, IsOrthonormalWithUnitDeterminant) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> angle(-10.0, 10.0);
  for (int n = 0; n < 200; ++n) {
    const CRot r = Built(GetParam(), CWPK(angle(rng), angle(rng), angle(rng)));
    CRot t = r;
    t.T();
    ExpectNear(r * t, CRot(), kTolRound);
    const double* m = r.m_r;
    const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) -
                       m[1] * (m[3] * m[8] - m[5] * m[6]) +
                       m[2] * (m[3] * m[7] - m[4] * m[6]);
    EXPECT_NEAR(det, 1.0, kTolRound);
  }
}

// Reference within 0.3 rad of the truth, away from the +-pi seam; the
// single-axis conventions return their one angle and zero the others.
TEST_P(CRotConvention, ExtractsAnglesBack) {
  const ROT_SYSTEM sys = GetParam();
  const double kTolRad = 1e-12;
  std::mt19937 rng(13);
  std::uniform_real_distribution<double> angle(-2.8, 2.8);
  std::uniform_real_distribution<double> phi(-1.5, 1.5);
  std::uniform_real_distribution<double> noise(-0.3, 0.3);
  for (int n = 0; n < 500; ++n) {
    CWPK truth(angle(rng), phi(rng), angle(rng));
    CRot r = Built(sys, truth);
    CWPK a(
        truth.m_w + noise(rng), truth.m_p + noise(rng), truth.m_k + noise(rng));
    ASSERT_EQ(r.CalAngle(sys, a), 1);
    if (sys == ROT_W) truth = CWPK(truth.m_w, 0, 0);
    if (sys == ROT_P) truth = CWPK(0, truth.m_p, 0);
    if (sys == ROT_K) truth = CWPK(0, 0, truth.m_k);
    ExpectAnglesNear(a, truth, kTolRad);
    ExpectWrapped(a);
    ExpectNear(Built(sys, a), r, kTolRound);
  }
}

TEST_P(CRotConvention, UnknownSystemChangesNothing) {
  const CWPK a(0.1, 0.2, 0.3);
  const CRot before = Built(GetParam(), a);
  CRot r = before;
  EXPECT_EQ(r.SetMatrix(kBadSystem, CWPK(1, 1, 1)), 0);
  ExpectSame(r, before);
  EXPECT_EQ(r.AddMatrix(kBadSystem, CWPK(1, 1, 1)), 0);
  ExpectSame(r, before);
  CWPK out(7, 8, 9);
  EXPECT_EQ(r.CalAngle(kBadSystem, out), 0);
  EXPECT_EQ(out.m_w, 7.0);
  EXPECT_EQ(out.m_p, 8.0);
  EXPECT_EQ(out.m_k, 9.0);
  EXPECT_EQ(r.CalAngle(static_cast<ROT_SYSTEM>(-1), out), 0);
  EXPECT_EQ(out.m_w, 7.0);
}

// Against central differences of SetMatrix, at zero, at gimbal lock and at
// random angles; the single-axis conventions have none and write nothing.
TEST_P(CRotConvention, DerivativesMatchCentralDifferences) {
  const ROT_SYSTEM sys = GetParam();
  const double kStepRad = 1e-6;
  const double kTolDerivative = 1e-9;  // step^2 truncation, rounding / step
  std::vector<CWPK> at = {
      CWPK(0, 0, 0), CWPK(0.3, kPi / 2, -2.0), CWPK(-1.0, -kPi / 2, 0.5)};
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> angle(-kPi, kPi);
  for (int n = 0; n < 20; ++n)
    at.push_back(CWPK(angle(rng), angle(rng) / 2, angle(rng)));
  for (const CWPK& a : at) {
    SCOPED_TRACE(testing::Message() << a.m_w << " " << a.m_p << " " << a.m_k);
    double d[3][9];
    std::fill(&d[0][0], &d[0][0] + 27, 42.0);
    if (sys != ROT_WPK && sys != ROT_KPW) {
      EXPECT_FALSE(collinear::RotationDerivatives(sys, a, d));
      EXPECT_EQ(std::count(&d[0][0], &d[0][0] + 27, 42.0), 27);
      continue;
    }
    ASSERT_TRUE(collinear::RotationDerivatives(sys, a, d));
    for (int m = 0; m < 3; ++m) {
      CWPK plus = a, minus = a;
      double* plus_angle[3] = {&plus.m_w, &plus.m_p, &plus.m_k};
      double* minus_angle[3] = {&minus.m_w, &minus.m_p, &minus.m_k};
      *plus_angle[m] += kStepRad;
      *minus_angle[m] -= kStepRad;
      const CRot rp = Built(sys, plus), rm = Built(sys, minus);
      for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(
            d[m][i], (rp.m_r[i] - rm.m_r[i]) / (2 * kStepRad), kTolDerivative)
            << "angle " << m << " element " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllSystems,
    CRotConvention,
    ::testing::Values(ROT_W, ROT_P, ROT_K, ROT_WPK, ROT_KPW));

TEST(CRot, SingleAxisExtractionZeroesOtherAngles) {
  CRot r = Built(ROT_KPW, CWPK(0.4, 0.5, 0.6));
  CWPK a(7, 8, 9);
  ASSERT_EQ(r.CalAngle(ROT_P, a), 1);
  EXPECT_EQ(a.m_w, 0.0);
  EXPECT_EQ(a.m_k, 0.0);
  EXPECT_DOUBLE_EQ(a.m_p, std::atan2(r.m_r[2], r.m_r[0]));
}

// Applying the axis rotations one after the other composes the conventions:
// omega acts first under ROT_WPK, kappa first under ROT_KPW.
TEST(CRot, AddMatrixAppliesAfterExistingRotation) {
  const CWPK a(0.3, -0.7, 1.9);
  CRot wpk = Built(ROT_W, a);
  ASSERT_EQ(wpk.AddMatrix(ROT_P, a), 1);
  ASSERT_EQ(wpk.AddMatrix(ROT_K, a), 1);
  ExpectNear(wpk, Built(ROT_WPK, a), kTolRound);
  CRot kpw = Built(ROT_K, a);
  ASSERT_EQ(kpw.AddMatrix(ROT_P, a), 1);
  ASSERT_EQ(kpw.AddMatrix(ROT_W, a), 1);
  ExpectNear(kpw, Built(ROT_KPW, a), kTolRound);
}

TEST(CRot, AddMatrixMultipliesLeftAndTimesEqualsRight) {
  const CRot m = Built(ROT_WPK, CWPK(0.2, 0.4, -0.1));
  const CWPK k(0, 0, 0.8);
  const CRot rz = Built(ROT_K, k);
  ASSERT_GT(std::fabs(Product(rz, m).m_r[0] - Product(m, rz).m_r[0]), 1e-3);

  CRot left = m;
  ASSERT_EQ(left.AddMatrix(ROT_K, k), 1);
  ExpectNear(left, Product(rz, m), kTolRound);
  CRot left2 = m;
  left2.AddMatrix(rz);
  ExpectSame(left2, left);

  CRot right = m;
  right *= rz;
  ExpectNear(right, Product(m, rz), kTolRound);
  ExpectSame(m * rz, right);
}

TEST(CRot, TransposeAndIdentity) {
  CRot r = Built(ROT_KPW, CWPK(0.1, 0.2, 0.3));
  const CRot orig = r;
  r.T();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      EXPECT_EQ(r.m_r[3 * i + j], orig.m_r[3 * j + i]);
  r.T();
  ExpectSame(r, orig);
  r.I();
  ExpectSame(r, CRot());
  EXPECT_EQ(CRot().m_r[4], 1.0);
  EXPECT_EQ(CRot().m_r[1], 0.0);
  CRot& self = r;
  r = orig;
  r = self;
  ExpectSame(r, orig);
}

TEST(CRot, RotatesPointsKeepingTheirNames) {
  const CRot r = Built(ROT_K, CWPK(0, 0, kPi / 2));  // x axis onto y axis
  double X, Y, Z;
  r.Rotate(1, 0, 0, X, Y, Z);
  EXPECT_NEAR(X, 0.0, kTolRound);
  EXPECT_NEAR(Y, 1.0, kTolRound);
  EXPECT_EQ(Z, 0.0);

  CXYZ p("P9", 2, 3, 4);
  p.m_strAux = "aux";
  p.m_nAttr[2] = 42;
  const CXYZ q = r * p;
  EXPECT_EQ(q.m_strName, "P9");
  EXPECT_EQ(q.m_strAux, "aux");
  EXPECT_EQ(q.m_nAttr[2], 42);
  EXPECT_NEAR(q.m_x, -3.0, kTolRound);
  EXPECT_NEAR(q.m_y, 2.0, kTolRound);
  EXPECT_EQ(q.m_z, 4.0);

  // In place: the input coordinates are read before the output is written.
  const CRot g = Built(ROT_WPK, CWPK(0.3, -0.2, 1.1));
  CXYZ s("S", 1, -2, 5);
  CXYZ want;
  g.Rotate(s, want);
  g.Rotate(s, s);
  EXPECT_EQ(s.m_strName, "S");
  EXPECT_EQ(s.m_x, want.m_x);
  EXPECT_EQ(s.m_y, want.m_y);
  EXPECT_EQ(s.m_z, want.m_z);
  EXPECT_NEAR(s.Len(), std::sqrt(30.0), kTolRound * 10);
}

TEST(CRot, DegreeEntryPoints) {
  double deg[3] = {90, 0, 0};
  CRot d;
  d.SetDIMat(deg);
  ExpectSame(d, Built(ROT_KPW, CWPK(kPi / 2, 0, 0)));
  CRot inv;
  inv.SetDIMatInv(deg);
  CRot t = d;
  t.T();
  ExpectSame(inv, t);

  // Degrees are converted with one multiplication each, then ROT_KPW.
  double deg2[3] = {12.5, -33.25, 171.0};
  d.SetDIMat(deg2);
  ExpectSame(
      d,
      Built(ROT_KPW,
            CWPK(12.5 * kRadPerDeg, -33.25 * kRadPerDeg, 171.0 * kRadPerDeg)));
  EXPECT_EQ(deg2[1], -33.25);  // input untouched
  inv.SetDIMatInv(deg2);
  ExpectNear(inv * d, CRot(), kTolRound);
}

// (0.1, 0.2, 0.3) comes back from a zero reference, and also from (3, 3, 3)
// under ROT_WPK: the second solution (-3.04, 2.94, -2.84) lies just across
// the seam below that reference, which the difference rule counts as
// nearly a full turn away.
TEST(CRot, ExtractionPrefersFirstSolution) {
  const CWPK truth(0.1, 0.2, 0.3);
  const struct {
    ROT_SYSTEM sys;
    CWPK ref;
  } cases[] = {{ROT_WPK, CWPK()}, {ROT_KPW, CWPK()}, {ROT_WPK, CWPK(3, 3, 3)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sys);
    CRot r = Built(c.sys, truth);
    CWPK a = c.ref;
    ASSERT_EQ(r.CalAngle(c.sys, a), 1);
    EXPECT_NEAR(a.m_w, 0.1, kTolRound);
    EXPECT_NEAR(a.m_p, 0.2, kTolRound);
    EXPECT_NEAR(a.m_k, 0.3, kTolRound);
  }
}

// Both Euler solutions give the same matrix; the reference picks one.
TEST(CRot, ReferenceSelectsBetweenTwoSolutions) {
  const double kTolRad = 1e-12;
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> angle(-3.0, 3.0);
  std::uniform_real_distribution<double> phi(-1.4, 1.4);
  std::uniform_real_distribution<double> noise(-0.2, 0.2);
  for (ROT_SYSTEM sys : {ROT_WPK, ROT_KPW}) {
    SCOPED_TRACE(sys);
    for (int n = 0; n < 300; ++n) {
      const CWPK truth(angle(rng), phi(rng), angle(rng));
      const CWPK alt = Alternative(truth);
      CRot r = Built(sys, truth);
      ExpectNear(Built(sys, alt), r, kTolRound);
      // Near the alternative, but not across the seam below it (there the
      // asymmetric difference would count it as far away).
      CWPK ref(
          alt.m_w + noise(rng), alt.m_p + noise(rng), alt.m_k + noise(rng));
      if (std::fabs(ref.m_w) > 2.9 || std::fabs(ref.m_k) > 2.9 ||
          std::fabs(ref.m_p) > 2.9)
        continue;
      ASSERT_EQ(r.CalAngle(sys, ref), 1);
      ExpectAnglesNear(ref, alt, kTolRad);
    }
  }
}

// Truth and reference on either side of +-pi: the result is the truth,
// wrapped into [-pi, pi].
TEST(CRot, ExtractionAcrossSeam) {
  const double kTolRad = 1e-12;
  const double e = 0.01;
  struct Case {
    double w, k, ref_w, ref_k;
  };
  const Case cases[] = {
      {kPi - e, 0.3, -kPi + e, 0.3},
      {-kPi + e, 0.3, kPi - e, 0.3},
      {0.3, kPi - e, 0.3, -kPi + e},
      {0.3, -kPi + e, 0.3, kPi - e},
      {kPi - e, -kPi + e, -kPi + e, kPi - e},
  };
  for (ROT_SYSTEM sys : {ROT_WPK, ROT_KPW}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << sys << " " << c.w << " " << c.k);
      const CWPK truth(c.w, 0.2, c.k);
      CRot r = Built(sys, truth);
      CWPK a(c.ref_w, 0.2, c.ref_k);
      ASSERT_EQ(r.CalAngle(sys, a), 1);
      ExpectAnglesNear(a, truth, kTolRad);
      ExpectWrapped(a);
    }
  }
}

// At phi = pi/2 omega comes from the reference and kappa absorbs the rest:
// under ROT_WPK only omega - kappa is defined, under ROT_KPW omega + kappa.
TEST(CRot, GimbalLockKeepsReferenceOmega) {
  const CWPK input(0.4, kPi / 2, 0.3);
  const struct {
    ROT_SYSTEM sys;
    double k;
  } cases[] = {{ROT_WPK, 0.0}, {ROT_KPW, 0.6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sys);
    CRot r = Built(c.sys, input);
    CWPK a(0.1, 0, 0);
    ASSERT_EQ(r.CalAngle(c.sys, a), 1);
    EXPECT_EQ(a.m_w, 0.1);
    EXPECT_DOUBLE_EQ(a.m_p, kPi / 2);
    EXPECT_NEAR(a.m_k, c.k, kTolRound);
  }
}

// At phi = +-pi/2 any reference omega works; the extracted triple must
// still rebuild the matrix. Just off the lock the ordinary branch does (the
// reference may select either solution there).
TEST(CRot, AnglesNearGimbalLockRebuildMatrix) {
  struct Case {
    const char* text;
    double phi, tol;
  };
  const Case cases[] = {
      {"+pi/2", kPi / 2, kTolRound},
      {"-pi/2", -kPi / 2, kTolRound},
      // asin near 1 loses half the digits: phi off by ~eps / 1e-6.
      {"pi/2 - 1e-6", kPi / 2 - 1e-6, 1e-9},
      {"-pi/2 + 1e-6", -kPi / 2 + 1e-6, 1e-9},
      {"pi/2 - 1e-3", kPi / 2 - 1e-3, 1e-12},
  };
  for (ROT_SYSTEM sys : {ROT_WPK, ROT_KPW}) {
    for (const Case& c : cases) {
      for (double ref_w : {-2.5, 0.0, 1.2}) {
        SCOPED_TRACE(testing::Message()
                     << sys << " " << c.text << " " << ref_w);
        CRot r = Built(sys, CWPK(0.7, c.phi, -1.1));
        CWPK a(ref_w, 0, 0);
        ASSERT_EQ(r.CalAngle(sys, a), 1);
        ExpectWrapped(a);
        ExpectNear(Built(sys, a), r, c.tol);
      }
    }
  }
}
