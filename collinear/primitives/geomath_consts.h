// Angle helpers of the host's geometry layer. Angles in radians.
#ifndef COLLINEAR_PRIMITIVES_GEOMATH_CONSTS_H_
#define COLLINEAR_PRIMITIVES_GEOMATH_CONSTS_H_

#include <collinear/framework/export.h>

class COLLINEAR_API TGeomathConsts {
 public:
  // Angle of the plan vector (dx, dy), counter-clockwise from the +x axis,
  // in [0, 2*pi); 0 for the zero vector (either sign), NaN if an input is.
  static double GetAzimuth(double dx, double dy);
};

#endif  // COLLINEAR_PRIMITIVES_GEOMATH_CONSTS_H_
