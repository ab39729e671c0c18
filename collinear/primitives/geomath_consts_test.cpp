#include <collinear/primitives/geomath_consts.h>

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include <collinear/primitives/constants.h>

using collinear::kPi;

// Counter-clockwise from +x in [0, 2 pi): the axes, the quadrants, signed
// zeros (the -pi of atan2(-0, -1) becomes pi, -0 becomes +0) and angles just
// below zero, which round up to 2 pi itself and so must give 0.
TEST(TGeomathConsts, AzimuthInRangeAtAxesQuadrantsAndSeam) {
  const double tiny = std::numeric_limits<double>::denorm_min();
  const struct {
    double dx, dy, az;
  } cases[] = {{1, 0, 0},
               {0, 2, kPi / 2},
               {-3, 0, kPi},
               {0, -4, 1.5 * kPi},
               {-1, -1, 1.25 * kPi},
               {0.0, 0.0, 0},
               {0.0, -0.0, 0},
               {1.0, -0.0, 0},
               {-1.0, -0.0, kPi},
               {1.0, -tiny, 0},
               {1e300, -1e-300, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "(" << c.dx << ", " << c.dy << ")");
    const double az = TGeomathConsts::GetAzimuth(c.dx, c.dy);
    EXPECT_DOUBLE_EQ(az, c.az);
    EXPECT_FALSE(std::signbit(az));
  }
  EXPECT_TRUE(std::isnan(TGeomathConsts::GetAzimuth(NAN, 1.0)));
}
