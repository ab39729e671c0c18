// Hostile input to CCrdCalculator: non-finite points and distortion
// parameters. The calculator has no failure flag for NaN: a NaN point
// counts as visible and its pixel is NaN; a NaN model leaves the inverse
// search to fail, so photo points pass to pixels uncorrected. What matters
// is that every call returns promptly (the searches must not hang).
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include <collinear/calculator/crd_calculator.h>

namespace {

using P2 = TAbstractPoint2<double>;
using P3 = TAbstractPoint3<double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Dummy camera (f 1 mm, 1 mm pixels, principal point at pixel (15000,
// 15000)) at the origin, looking along object +x.
CCrdCalculator LookingAlongX() {
  CCrdCalculator c;
  c.InitOrientation(P3(0.0, 0.0, 0.0), P3(1.0, 0.0, 0.0));
  return c;
}

TEST(CCrdCalculatorRobustness, NaNPointProjectsAsVisibleNaN) {
  const CCrdCalculator c = LookingAlongX();
  for (int axis = 0; axis < 3; ++axis) {
    SCOPED_TRACE(axis);
    P3 point(10.0, 2.0, 1.0);
    point[axis] = kNaN;
    P2 pixel(-1.0, -1.0);
    EXPECT_TRUE(c.GetPointOnImageCoords(point, pixel, false));
    EXPECT_TRUE(std::isnan(pixel.x) && std::isnan(pixel.y));
  }
}

TEST(CCrdCalculatorRobustness, NonFiniteDistortionEndsUncorrected) {
  for (double bad : {kNaN, kInf, 1e300}) {
    SCOPED_TRACE(bad);
    CCrdCalculator c = LookingAlongX();
    const double para[8] = {bad, bad, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(c.SetDistortionModelData(1, 8, para));
    // No distorted position exists: the search fails, (1, 1) mm stays.
    const P2 pixel = c.Phc2Imc(P2(1.0, 1.0));
    EXPECT_EQ(pixel.x, 15001.0);
    EXPECT_EQ(pixel.y, 14999.0);
    // NaN photo points through a sound model come back NaN.
    const double sound[8] = {1e-4, 0, 0, 0, 0, 0, 0, 0};
    c.SetDistortionModelData(1, 8, sound);
    EXPECT_TRUE(std::isnan(c.Phc2Imc(P2(kNaN, 1.0)).x));
  }
}

}  // namespace
