#include <collinear/primitives/geomath_consts.h>

#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include <collinear/primitives/constants.h>

using collinear::kPi;
using collinear::kTwoPi;

TEST(TGeomathConsts, AxesAndQuadrantsCounterClockwiseFromX) {
  const struct {
    double dx, dy, az;
  } cases[] = {
      {1, 0, 0},
      {0, 2, kPi / 2},
      {-3, 0, kPi},
      {0, -4, 1.5 * kPi},
      {1, 1, kPi / 4},
      {-1, 1, 0.75 * kPi},
      {-1, -1, 1.25 * kPi},
      {1, -1, 1.75 * kPi},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "(" << c.dx << ", " << c.dy << ")");
    EXPECT_DOUBLE_EQ(TGeomathConsts::GetAzimuth(c.dx, c.dy), c.az);
  }
}

TEST(TGeomathConsts, SeamAndSignedZerosStayInRange) {
  // Negative zero, the -pi of atan2(-0, -1) and angles just below zero must
  // all land in [0, 2*pi).
  const double tiny = std::numeric_limits<double>::denorm_min();
  const double cases[][2] = {{0.0, 0.0},
                             {-0.0, -0.0},
                             {0.0, -0.0},
                             {-0.0, 0.0},
                             {1.0, -0.0},
                             {-1.0, -0.0},
                             {-1.0, 0.0},
                             {1.0, -tiny},
                             {1e300, -1e-300}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "(" << c[0] << ", " << c[1] << ")");
    const double az = TGeomathConsts::GetAzimuth(c[0], c[1]);
    EXPECT_GE(az, 0.0);
    EXPECT_LT(az, kTwoPi);
    EXPECT_FALSE(std::signbit(az));
  }
  EXPECT_EQ(TGeomathConsts::GetAzimuth(0.0, 0.0), 0.0);
  EXPECT_EQ(TGeomathConsts::GetAzimuth(-1.0, -0.0), kPi);
  EXPECT_EQ(TGeomathConsts::GetAzimuth(1.0, -tiny), 0.0);
  EXPECT_TRUE(std::isnan(TGeomathConsts::GetAzimuth(NAN, 1.0)));
}

TEST(TGeomathConsts, RecoversRandomAnglesAtAnyScale) {
  std::mt19937 gen(20240610);
  std::uniform_real_distribution<double> angle(0.0, kTwoPi);
  std::uniform_real_distribution<double> log_len(-6.0, 6.0);
  const double kTolRad = 1e-14;  // rounding of cos/sin and atan2
  for (int i = 0; i < 1000; ++i) {
    const double a = angle(gen), len = std::pow(10.0, log_len(gen));
    const double az =
        TGeomathConsts::GetAzimuth(len * std::cos(a), len * std::sin(a));
    // Compare on the circle: a close to 2*pi may come back close to 0.
    EXPECT_NEAR(std::remainder(az - a, kTwoPi), 0.0, kTolRad) << a;
  }
}
