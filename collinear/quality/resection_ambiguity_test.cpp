#include <collinear/quality/resection_ambiguity.h>

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include <collinear/orientation/test_scenes.h>

namespace {

using collinear::AnalyseResectionAmbiguity;
using collinear::ResectionAmbiguity;
using collinear::testdata::AddNoise;
using collinear::testdata::PointName;
using collinear::testdata::Points;
using collinear::testdata::TrueCamera;

// A 5 x 5 grid of targets on the plane Z = 0, 2 units apart, seen at the
// given distance with the camera tilted by tilt about the X axis; the image
// spans about 60 units, with 0.01 of noise.
CSinOri TiltedGridView(double distance, double tilt) {
  Points obj;
  for (int i = 0; i < 25; ++i) {
    const int column = i % 5, row = i / 5;
    CXYZ p(PointName(i).c_str(), 2.0 * column - 4.0, 2.0 * row - 4.0, 0);
    obj.Add(p);
  }
  const double f = 15.0 * distance;
  const CXYZ centre(0.0, -distance * std::sin(tilt), distance * std::cos(tilt));
  const TrueCamera cam{centre, CWPK(tilt, 0.0, 0.2), f, f};
  std::mt19937 gen(1);
  Points img = AddNoise(cam.ProjectAll(obj), 0.01, gen);
  CSinOri s;
  EXPECT_EQ(s.Create(obj, img, cam.cx), 1);
  return s;
}

TEST(ResectionAmbiguity, FarViewOfASymmetricFieldHasTwoSolutions) {
  // Nearly parallel projection: the view tilted one way and its mirror
  // image across the line of sight give almost the same image.
  const double kDistance = 5000.0, kTilt = 0.1;
  const ResectionAmbiguity a =
      AnalyseResectionAmbiguity(TiltedGridView(kDistance, kTilt));
  EXPECT_EQ(a.trials, 40);
  ASSERT_TRUE(a.HasSecond());
  EXPECT_TRUE(a.ambiguous);
  EXPECT_LE(a.ratio, collinear::kAmbiguityFactor);
  const CXYZ& best = a.solutions.front().centre;
  const CXYZ& second = a.solutions[a.second].centre;
  // The true centre is at Y = -499.2; the other lies across the line of
  // sight, at about +Y.
  const double kTolFraction = 0.02;
  EXPECT_NEAR(best.m_y, -kDistance * std::sin(kTilt), kTolFraction * kDistance);
  EXPECT_NEAR(second.m_y, -best.m_y, kTolFraction * kDistance);
  EXPECT_NEAR(a.object_distance, kDistance, kTolFraction * kDistance);
  const auto v = collinear::Judge(a);
  ASSERT_EQ(v.warnings.size(), 1u);
  EXPECT_EQ(v.warnings[0].reason, collinear::VerdictReason::kAmbiguous);
}

TEST(ResectionAmbiguity, CloseViewIsUnique) {
  // Strong perspective decides; the best trial is CalSinOri2's solution.
  CSinOri s = TiltedGridView(20.0, 0.3);
  const ResectionAmbiguity a = AnalyseResectionAmbiguity(s);
  ASSERT_TRUE(a.HasBest());
  EXPECT_FALSE(a.ambiguous);
  EXPECT_TRUE(collinear::Judge(a).Ok());
  EXPECT_TRUE(!a.HasSecond() || a.ratio > 10.0);
  ASSERT_EQ(s.CalSinOri2(), 1);
  const double kTolUnits = 1e-6;  // both converge to the same optimum
  EXPECT_NEAR((a.solutions.front().centre - s.m_Center).Len(), 0, kTolUnits);
  EXPECT_NEAR(a.solutions.front().score, s.m_Rms.Len(), 1e-12);
  // Analysing the solved object (points back in the caller's frame) gives
  // the same answer.
  const ResectionAmbiguity again = AnalyseResectionAmbiguity(s);
  EXPECT_EQ(again.converged, a.converged);
  EXPECT_EQ(again.solutions.front().score, a.solutions.front().score);
}

TEST(ResectionAmbiguity, NeedsFourPairs) {
  const ResectionAmbiguity a = AnalyseResectionAmbiguity(CSinOri());
  EXPECT_EQ(a.trials, 0);
  EXPECT_FALSE(a.HasBest());
  EXPECT_TRUE(collinear::Judge(a).Ok());
}

}  // namespace
