// Numeric constants shared by the whole library, and the undefined value:
// a coordinate or angle equal to the largest finite double is unknown. Test
// for it with IsUndefined before any arithmetic.
#ifndef COLLINEAR_PRIMITIVES_CONSTANTS_H_
#define COLLINEAR_PRIMITIVES_CONSTANTS_H_

#include <limits>

namespace collinear {

inline constexpr double kUndefined = std::numeric_limits<double>::max();
inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kRadPerDeg = 0.017453292519943295;  // pi / 180
inline constexpr double kDegPerRad = 57.29577951308232;     // 180 / pi
// Machine epsilon of double, 2^-52 = 2.220446049250313e-16: the gap between
// 1 and the next larger double, twice the bound of one rounding to nearest.
inline constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

inline bool IsUndefined(double v) { return v == kUndefined; }

}  // namespace collinear

#endif  // COLLINEAR_PRIMITIVES_CONSTANTS_H_
