#include <collinear/primitives/geomath_consts.h>

#include <cmath>

#include <collinear/primitives/constants.h>

double TGeomathConsts::GetAzimuth(double dx, double dy) {
  double az = std::atan2(dy, dx);  // [-pi, pi]; signed zeros give -0 or -pi
  if (az < 0.0) az += collinear::kTwoPi;
  // A tiny negative angle rounds up to 2*pi itself; -0 becomes +0.
  if (az >= collinear::kTwoPi || az == 0.0) az = 0.0;
  return az;
}
