#include <collinear/quality/verdict.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include <collinear/orientation/test_scenes.h>

namespace {

using collinear::EstimatePrecision;
using collinear::Judge;
using collinear::JudgeOptions;
using collinear::Verdict;
using collinear::VerdictReason;
using collinear::testdata::AddNoise;
using collinear::testdata::Points;
using collinear::testdata::RandomBox;
using collinear::testdata::TrueCamera;

// A vertical photograph of a 100 m field with 20 m of relief, f = 150 mm.
const TrueCamera kAerial{CXYZ(10, -20, 400), CWPK(0.02, -0.03, 0.7), 150, 150};

constexpr double kNoiseMm = 0.005;

struct Resection {
  CSinOri s;
  collinear::PrecisionReport report;
  Verdict verdict;
};

// Resection of n points of the aerial field with kNoiseMm of image noise;
// bad_mm is added to x of point P<bad + 1> (bad < 0: none).
Resection Resect(int n, int bad = -1, double bad_mm = 0.0) {
  const TrueCamera& cam = kAerial;
  Points obj = RandomBox(n, CXYZ(-50, -50, 0), CXYZ(50, 50, 20), 41);
  std::mt19937 gen(43);
  Points img = AddNoise(cam.ProjectAll(obj), kNoiseMm, gen);
  if (bad >= 0) img[bad].m_x += bad_mm;
  Resection r;
  EXPECT_EQ(r.s.Create(obj, img, cam.cx), 1);
  EXPECT_EQ(r.s.CalSinOri(), 1);
  r.report = EstimatePrecision(r.s);
  r.verdict = Judge(r.s, r.report, JudgeOptions{kNoiseMm});
  return r;
}

// A clean resection is ok; against a stated noise three times too small its
// residuals are too large (unknown noise: no test); with its centre moved by
// 0.5 m one more step of the adjustment would fit far better. 4 points give
// 8 observations for 6 unknowns: too few; 6 do (mean redundancy number 0.5).
TEST(Verdict, CleanResectionAndItsFaults) {
  const Resection r = Resect(20);
  EXPECT_TRUE(r.verdict.Ok());
  EXPECT_TRUE(Resect(4).verdict.Has(VerdictReason::kTooFewPoints));
  EXPECT_TRUE(Resect(6).verdict.Ok());
  const JudgeOptions too_small{kNoiseMm / 3.0}, unknown{0.0};
  EXPECT_TRUE(Judge(r.s, r.report, too_small).Has(VerdictReason::kResidualRms));
  EXPECT_TRUE(Judge(r.s, r.report, unknown).Ok());
  CSinOri moved = r.s;
  moved.m_Center.m_x += 0.5;
  const auto report = EstimatePrecision(moved);
  EXPECT_GT(report.sigma0_at_solution, 10.0 * report.sigma0);
  EXPECT_TRUE(Judge(moved, report).Has(VerdictReason::kNotOptimal));
  // The mirror image through the plane Z = 0 with the rotation -R S sees
  // the points near that plane where the camera sees them, from behind.
  CSinOri mirror = r.s;
  mirror.m_Center.m_z = -r.s.m_Center.m_z;
  for (int row = 0; row < 3; ++row) {
    mirror.m_Rot.m_r[3 * row] *= -1.0;
    mirror.m_Rot.m_r[3 * row + 1] *= -1.0;
  }
  mirror.m_Wpk.Init();
  ASSERT_EQ(mirror.m_Rot.CalAngle(mirror.m_RotSystem, mirror.m_Wpk), 1);
  const Verdict behind = Judge(mirror, EstimatePrecision(mirror));
  EXPECT_TRUE(behind.Has(VerdictReason::kBehindCamera));
  // 0.1 mm on one of 20 points is 20 times the noise: an outlier, named.
  const Resection bad = Resect(20, 6, 0.1);
  EXPECT_TRUE(bad.verdict.Has(VerdictReason::kResidualRms));
  ASSERT_EQ(bad.verdict.warnings.size(), 2u);  // the outlier and the RMS
  for (const auto& w : bad.verdict.warnings) {
    if (w.reason != VerdictReason::kOutlier) continue;
    EXPECT_EQ(w.point, "P7");
    EXPECT_NE(w.message.find("P7"), std::string::npos);
  }
}

// Spatial DLT of 40 points of a 2 km field of the given relief seen from
// 5 km, with noise_px of image noise.
Verdict JudgeDlt(double depth, unsigned seed, double noise_px) {
  const TrueCamera cam{CXYZ(200, -100, 5000), CWPK(0.1, 0.05, 0.3), 1000, 1000};
  Points obj =
      RandomBox(40, CXYZ(-1000, -1000, -depth), CXYZ(1000, 1000, depth), seed);
  std::mt19937 gen(seed);
  Points img = AddNoise(cam.ProjectAll(obj), noise_px, gen);
  CDlt dlt;
  EXPECT_EQ(dlt.Create(obj, img, 0.0), 1);
  EXPECT_EQ(dlt.CalDlt3D(), 1);
  return Judge(dlt, EstimatePrecision(dlt));
}

TEST(Verdict, SpatialDlt) {
  // Residuals of exact data at the rounding level scatter freely: neither a
  // gross error nor a sign of a solution short of the optimum.
  for (unsigned seed = 1; seed <= 20; ++seed)
    EXPECT_TRUE(JudgeDlt(500.0, seed, 0.0).Ok()) << seed;
  EXPECT_TRUE(JudgeDlt(400.0, 5, 0.2).Ok());
  EXPECT_TRUE(JudgeDlt(2.0, 5, 0.2).Has(VerdictReason::kNearlyCoplanar));
}

TEST(Verdict, IllConditionedHelmert) {
  // Points spread over 1 unit a million units from the source origin: a, b
  // and c, d cannot be told apart.
  std::mt19937 gen(4);
  for (double spread : {1000.0, 1.0}) {
    SCOPED_TRACE(spread);
    Points src =
        RandomBox(6, CXYZ(1e6, 2e6, 0), CXYZ(1e6 + spread, 2e6 + spread, 0), 6);
    Points dst = AddNoise(src, 1e-3, gen);  // the identity, and noise
    CHelmert h;
    ASSERT_EQ(h.SetPoints(dst, src), 6);
    ASSERT_EQ(h.CalPara(), 1);
    const Verdict v = Judge(h, EstimatePrecision(h));
    EXPECT_EQ(v.Has(VerdictReason::kIllConditioned), spread < 10.0);
  }
}

TEST(Verdict, NonFiniteResidual) {
  Points res;
  CXYZ ok("A", 0.1, 0.2, 0.0), bad("B", std::nan(""), 0.0, 0.0);
  res.Add(ok);
  res.Add(bad);
  const Verdict v = Judge(res, collinear::PrecisionReport(), JudgeOptions());
  EXPECT_TRUE(v.Has(VerdictReason::kNonFinite));
  EXPECT_FALSE(v.Has(VerdictReason::kOutlier));
}

// 100,000 points of pure Gaussian noise: the Bonferroni-corrected limit
// (5.9 for 200,000 coordinates) names none, where a fixed 3 sigma would name
// about 540; a blunder of 8 sigma in one coordinate is named, alone.
TEST(Verdict, DataSnoopingOverManyPoints) {
  const int n = 100000;
  std::mt19937 gen(7);
  std::normal_distribution<double> noise(0.0, 1.0);
  Points res;
  for (int i = 0; i < n; ++i) {
    CXYZ v(("P" + std::to_string(i + 1)).c_str(), noise(gen), noise(gen), 0.0);
    res.Add(v);
  }
  collinear::PrecisionReport report;
  report.valid = true;
  report.observations = 2 * n;
  report.unknowns = 6;
  report.redundancy = 2 * n - 6;
  report.condition_number = 1.0;
  EXPECT_FALSE(Judge(res, report, JudgeOptions()).Has(VerdictReason::kOutlier));
  res[777].m_y += 8.0;
  const Verdict v = Judge(res, report, JudgeOptions());
  ASSERT_EQ(v.warnings.size(), 1u);
  EXPECT_EQ(v.warnings[0].reason, VerdictReason::kOutlier);
  EXPECT_EQ(v.warnings[0].point, "P778");
  EXPECT_NE(v.warnings[0].message.find("significance 0.001"),
            std::string::npos);
  EXPECT_NEAR(collinear::OutlierLimit(2 * n), 5.85, 0.01);  // z(1 - 2.5e-9)
}

TEST(ChiSquareQuantile, AgreesWithTables) {
  // Table values: chi2(1; 0.999) = 10.828, chi2(10; 0.999) = 29.588,
  // chi2(100; 0.99) = 135.807. Wilson-Hilferty is within 3 % at dof 1.
  EXPECT_NEAR(collinear::ChiSquareQuantile(1, 0.999) / 10.828, 1.0, 0.04);
  EXPECT_NEAR(collinear::ChiSquareQuantile(10, 0.999) / 29.588, 1.0, 0.01);
  EXPECT_NEAR(collinear::ChiSquareQuantile(100, 0.99) / 135.807, 1.0, 0.001);
  EXPECT_TRUE(std::isnan(collinear::ChiSquareQuantile(0, 0.99)));
}

TEST(ThicknessRatio, PlaneAndBox) {
  Points plane = RandomBox(10, CXYZ(0, 0, 5), CXYZ(10, 10, 5), 1);
  EXPECT_LT(collinear::ThicknessRatio(plane), 1e-9);
  Points box;
  for (int i = 0; i < 8; ++i) {
    CXYZ p("C", (i & 1) ? 2.0 : 0.0, (i & 2) ? 2.0 : 0.0, (i & 4) ? 1.0 : 0.0);
    box.Add(p);
  }
  EXPECT_NEAR(collinear::ThicknessRatio(box), 0.5, 1e-12);
  EXPECT_EQ(collinear::ThicknessRatio(Points()), 0.0);
}

}  // namespace
