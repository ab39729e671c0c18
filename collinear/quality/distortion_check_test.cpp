#include <collinear/quality/distortion_check.h>

#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using collinear::CheckDistortion;
using collinear::DistortionValidity;
using collinear::PictureRect;

// A 1000 x 800 px picture with the principal point at its centre: the
// corners lie 640.3 px from it.
const PictureRect kPicture{0.0, 0.0, 1000.0, 800.0};
constexpr double kX0 = 500.0, kY0 = 400.0;

// The check of a model with one nonzero parameter.
DistortionValidity Check(DIST_MODEL model, int index, double value) {
  CDist d;
  d.SetDistModel(model);
  d.m_Para[index] = value;
  return CheckDistortion(d, kX0, kY0, kPicture);
}

TEST(CheckDistortion, RadialFoldOverAtTheKnownRadius) {
  // r + k1 r^3 stops increasing at r = 1 / sqrt(-3 k1).
  const double kTolPx = 1.0;  // sampling step 0.64 px
  for (double r_fold : {400.0, 1000.0}) {
    SCOPED_TRACE(r_fold);
    const DistortionValidity v =
        Check(DIST_K1K2K3K4, 0, -1.0 / (3.0 * r_fold * r_fold));
    ASSERT_TRUE(v.checked);
    EXPECT_NEAR(v.picture_radius, std::hypot(500.0, 400.0), 1e-9);
    EXPECT_TRUE(v.limited);
    EXPECT_NEAR(v.valid_radius, r_fold, kTolPx);
    EXPECT_EQ(v.Ok(), r_fold > v.picture_radius);
    EXPECT_EQ(collinear::Judge(v).Ok(), v.Ok());
    EXPECT_EQ(v.grid_points, 64 * 64);
    // The grid fails beyond the fold radius only.
    EXPECT_EQ(v.grid_failures > 0, r_fold < v.picture_radius);
  }
}

TEST(CheckDistortion, DecentringMildAbsentAndNonFinite) {
  // p1: d(dx)/dx = 6 p1 x, zero near x = -167 px.
  const DistortionValidity v = Check(DIST_K1K2P1P2, 2, 1e-3);
  EXPECT_GT(v.grid_failures, 0);
  EXPECT_LT(v.valid_radius, 200.0);
  const auto verdict = collinear::Judge(v);
  ASSERT_EQ(verdict.warnings.size(), 1u);
  EXPECT_EQ(verdict.warnings[0].reason,
            collinear::VerdictReason::kDistortionInvalid);
  // Barrel distortion of a few pixels at the corners.
  const DistortionValidity mild = Check(DIST_K1K2K3K4, 0, -2e-8);
  EXPECT_TRUE(mild.Ok());
  EXPECT_EQ(mild.grid_failures, 0);
  EXPECT_GT(mild.valid_radius, mild.picture_radius);
  const DistortionValidity none = CheckDistortion(CDist(), kX0, kY0, kPicture);
  EXPECT_FALSE(none.checked);
  EXPECT_TRUE(none.Ok());
  // Non-finite parameters are valid nowhere.
  const DistortionValidity nan = Check(DIST_K1K2K3K4, 0, std::nan(""));
  EXPECT_FALSE(nan.Ok());
  EXPECT_EQ(nan.valid_radius, 0.0);
}

TEST(BoundingRect, SpansThePoints) {
  CArray<CXYZ, CXYZ&> pts;
  CXYZ a("A", 3, -2, 0), b("B", -1, 5, 0);
  pts.Add(a);
  pts.Add(b);
  const PictureRect r = collinear::BoundingRect(pts);
  const double got[] = {r.x_min, r.y_min, r.x_max, r.y_max};
  EXPECT_THAT(got, testing::ElementsAre(-1.0, -2.0, 3.0, 5.0));
}

}  // namespace
