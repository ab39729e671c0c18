#include <collinear/primitives/rot.h>

#include <algorithm>
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include <collinear/primitives/constants.h>

using collinear::kPi;

namespace {

const double kTolRound = 1e-14;  // a few products of unit-sized numbers
const double kTolRad = 1e-9;     // angles back, also from near gimbal lock

// Rotation about the x (0), y (1) or z (2) axis for a column vector, written
// here from its definition, apart from the library's composed formulas.
CRot Axis(int axis, double a) {
  CRot r;
  const int i = (axis + 1) % 3, j = (axis + 2) % 3;  // the rotated plane
  r.m_r[3 * i + i] = r.m_r[3 * j + j] = std::cos(a);
  r.m_r[3 * i + j] = -std::sin(a);
  r.m_r[3 * j + i] = std::sin(a);
  return r;
}

CRot Built(ROT_SYSTEM sys, const CWPK& a) {
  CRot r;
  EXPECT_EQ(r.SetMatrix(sys, a), 1);
  return r;
}

void ExpectNear(const CRot& a, const CRot& b, double tol) {
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(a.m_r[i], b.m_r[i], tol) << i;
}

// Extracts the angles of r from the reference ref: they must be want on the
// circle, wrapped into [-pi, pi], and rebuild r.
void ExpectExtracted(ROT_SYSTEM sys, CRot r, CWPK ref, const CWPK& want) {
  ASSERT_EQ(r.CalAngle(sys, ref), 1);
  const CWPK d = ref - want;  // wrapped differences
  using std::fabs;
  EXPECT_LE(std::max({fabs(d.m_w), fabs(d.m_p), fabs(d.m_k)}), kTolRad);
  EXPECT_LE(std::max({fabs(ref.m_w), fabs(ref.m_p), fabs(ref.m_k)}), kPi);
  ExpectNear(Built(sys, ref), r, kTolRad);
}

}  // namespace

class CRotConvention : public ::testing::TestWithParam<ROT_SYSTEM> {};

// The matrix is the product of the axis rotations, composed here with
// AddMatrix (the new rotation acts after, on the left) for ROT_WPK, with *=
// and * (on the right) for ROT_KPW. From a reference within 0.2 rad of
// either Euler solution (away from the +-pi seam) CalAngle returns that one;
// single-axis conventions return their angle and zero the other two.
TEST_P(CRotConvention, BuildsTheProductAndExtractsTheNearestSolution) {
  const ROT_SYSTEM sys = GetParam();
  std::mt19937 rng(13);
  std::uniform_real_distribution<double> angle(-2.8, 2.8), phi(-1.4, 1.4);
  std::uniform_real_distribution<double> noise(-0.2, 0.2);
  for (int n = 0; n < 200; ++n) {
    const CWPK a(angle(rng), phi(rng), angle(rng));
    const CRot rx = Axis(0, a.m_w), ry = Axis(1, a.m_p), rz = Axis(2, a.m_k);
    CRot want = sys == ROT_P ? ry : sys == ROT_K ? rz : rx;
    if (sys == ROT_WPK) {  // Rz Ry Rx
      ASSERT_EQ(want.AddMatrix(ROT_P, a), 1);
      want.AddMatrix(rz);
    } else if (sys == ROT_KPW) {  // Rx Ry Rz
      want *= ry;
      want = want * rz;
    }
    ExpectNear(Built(sys, a), want, kTolRound);

    CWPK solutions[2] = {a, CWPK(a.m_w + kPi, kPi - a.m_p, a.m_k + kPi)};
    if (sys == ROT_W) solutions[0] = CWPK(a.m_w, 0, 0);
    if (sys == ROT_P) solutions[0] = CWPK(0, a.m_p, 0);
    if (sys == ROT_K) solutions[0] = CWPK(0, 0, a.m_k);
    for (int k = 0; k < (sys < ROT_WPK ? 1 : 2); ++k) {
      CWPK& s = solutions[k];
      s.Normalize();
      const CWPK ref(
          s.m_w + noise(rng), s.m_p + noise(rng), s.m_k + noise(rng));
      using std::fabs;
      if (std::max({fabs(ref.m_w), fabs(ref.m_p), fabs(ref.m_k)}) < 2.9)
        ExpectExtracted(sys, want, ref, s);  // off the +-pi seam
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllSystems,
    CRotConvention,
    ::testing::Values(ROT_W, ROT_P, ROT_K, ROT_WPK, ROT_KPW));

// The hard spots: across the +-pi seam the truth comes back wrapped; (3, 3,
// 3) lies just across the seam from the second solution (-3.04, 2.94,
// -2.84), which the asymmetric difference rule counts as nearly a turn away.
// At gimbal lock omega is the reference's and kappa absorbs the rest: only
// omega - kappa is defined under ROT_WPK at phi = pi/2 (omega + kappa at
// -pi/2), omega + kappa under ROT_KPW (omega - kappa at -pi/2). Just off the
// lock asin loses half the digits.
TEST(CRot, ExtractionAtSeamsAndGimbalLock) {
  const double s = kPi - 0.01, h = kPi / 2, o = h - 1e-6;
  const struct {
    ROT_SYSTEM sys;
    CWPK truth, ref, want;
  } cases[] = {
      {ROT_WPK, {0.1, 0.2, 0.3}, {3, 3, 3}, {0.1, 0.2, 0.3}},
      {ROT_WPK, {s, 0.2, 0.3}, {-s, 0.2, 0.3}, {s, 0.2, 0.3}},
      {ROT_KPW, {s, 0.2, -s}, {-s, 0.2, s}, {s, 0.2, -s}},
      {ROT_WPK, {0.4, h, 0.3}, {0.1, 0, 0}, {0.1, h, 0.0}},
      {ROT_KPW, {0.4, h, 0.3}, {0.1, 0, 0}, {0.1, h, 0.6}},
      {ROT_WPK, {0.4, -h, 0.3}, {-2.5, 0, 0}, {-2.5, -h, 0.7 + 2.5}},
      {ROT_KPW, {0.4, -h, 0.3}, {1.2, 0, 0}, {1.2, -h, 1.2 - 0.1}},
      {ROT_WPK, {0.7, o, -1.1}, {0.7, o, -1.1}, {0.7, o, -1.1}},
      {ROT_KPW, {0.7, -o, -1.1}, {0.7, -o, -1.1}, {0.7, -o, -1.1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sys << ": " << c.truth.m_w << " "
                                    << c.truth.m_p << " " << c.truth.m_k);
    ExpectExtracted(c.sys, Built(c.sys, c.truth), c.ref, c.want);
  }
}

// Nothing changes for an unknown convention; nor have the single-axis
// conventions any derivatives.
TEST(CRot, UnknownConventionAndDerivatives) {
  const auto bad = static_cast<ROT_SYSTEM>(5);
  const CRot before = Built(ROT_WPK, CWPK(0.1, 0.2, 0.3));
  CRot r = before;
  CWPK out(7, 8, 9);
  EXPECT_EQ(r.SetMatrix(bad, CWPK(1, 1, 1)), 0);
  EXPECT_EQ(r.AddMatrix(bad, CWPK(1, 1, 1)), 0);
  EXPECT_EQ(r.CalAngle(bad, out), 0);
  ExpectNear(r, before, 0.0);
  EXPECT_TRUE(out.m_w == 7 && out.m_p == 8 && out.m_k == 9);
  double untouched[3][9];
  std::fill(&untouched[0][0], &untouched[0][0] + 27, 42.0);
  for (ROT_SYSTEM sys : {ROT_W, ROT_P, ROT_K, bad})
    EXPECT_FALSE(collinear::RotationDerivatives(sys, out, untouched));
  EXPECT_EQ(std::count(&untouched[0][0], &untouched[0][0] + 27, 42.0), 27);
  // Against central differences of SetMatrix, at zero, at gimbal lock and at
  // general angles.
  const double kStepRad = 1e-6;
  const double kTolDerivative = 1e-9;  // step^2 truncation, rounding / step
  const CWPK at[] = {CWPK(),
                     CWPK(0.3, kPi / 2, -2),
                     CWPK(-1, -kPi / 2, 0.5),
                     CWPK(2.1, -0.4, -2.9),
                     CWPK(-0.7, 1.2, 1.6)};
  for (ROT_SYSTEM sys : {ROT_WPK, ROT_KPW}) {
    for (const CWPK& a : at) {
      double d[3][9];
      ASSERT_TRUE(collinear::RotationDerivatives(sys, a, d));
      SCOPED_TRACE(testing::Message()
                   << sys << " at " << a.m_w << " " << a.m_p << " " << a.m_k);
      for (int m = 0; m < 3; ++m) {
        const CWPK h(
            kStepRad * (m == 0), kStepRad * (m == 1), kStepRad * (m == 2));
        const CRot rp = Built(sys, a + h), rm = Built(sys, a - h);
        for (int i = 0; i < 9; ++i) {
          const double central = (rp.m_r[i] - rm.m_r[i]) / (2 * kStepRad);
          EXPECT_NEAR(d[m][i], central, kTolDerivative) << m << " " << i;
        }
      }
    }
  }
}

// Transpose, identity and the degree entry points (degrees converted with
// one multiplication each, then ROT_KPW); points keep their names, and
// rotate in place with the input read before the output is written.
TEST(CRot, TransposeDegreesAndPoints) {
  CRot r = Built(ROT_KPW, CWPK(0.1, 0.2, 0.3));
  const CRot orig = r;
  r.T();
  EXPECT_EQ(r.m_r[1], orig.m_r[3]);
  ExpectNear(r * orig, CRot(), kTolRound);
  r.I();
  ExpectNear(r, CRot(), 0.0);
  const double w = 12.5, p = -33.25, k = 171.0, rad = collinear::kRadPerDeg;
  double deg[3] = {w, p, k};
  CRot d, inv;
  d.SetDIMat(deg);
  ExpectNear(d, Built(ROT_KPW, CWPK(w * rad, p * rad, k * rad)), 0.0);
  inv.SetDIMatInv(deg);
  d.T();
  ExpectNear(inv, d, 0.0);

  const CRot quarter = Built(ROT_K, CWPK(0, 0, kPi / 2));  // x axis onto y
  CXYZ pt("P9", 2, 3, 4);
  quarter.Rotate(pt, pt);  // in place: input read before output written
  EXPECT_EQ((quarter * pt).m_strName, "P9");
  EXPECT_NEAR(pt.m_x, -3.0, kTolRound);
  EXPECT_NEAR(pt.m_y, 2.0, kTolRound);
  EXPECT_EQ(pt.m_z, 4.0);
}
