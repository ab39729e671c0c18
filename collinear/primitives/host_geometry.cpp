#include <collinear/primitives/host_geometry.h>

#include <algorithm>
#include <cmath>

int InvertSMatr3(covar& m) {
  double largest = 0.0;
  for (int k = 0; k < 6; ++k) {
    if (!std::isfinite(m[k])) return -1;
    largest = std::max(largest, std::fabs(m[k]));
  }
  // Cofactors of the full symmetric matrix; only the six distinct ones.
  const double a = m(0, 0), b = m(1, 0), c = m(1, 1), d = m(2, 0), e = m(2, 1),
               f = m(2, 2);
  const double c00 = c * f - e * e;
  const double c10 = -(b * f - d * e);
  const double c11 = a * f - d * d;
  const double c20 = b * e - c * d;
  const double c21 = -(a * e - b * d);
  const double c22 = a * c - b * b;
  const double det = a * c00 + b * c10 + d * c20;
  const double kRelSingular = 1e-15;  // below this |det| is rounding noise
  if (!(std::fabs(det) > kRelSingular * largest * largest * largest) ||
      !std::isfinite(det))
    return -1;
  const double r = 1.0 / det;
  m[0] = c00 * r;
  m[1] = c10 * r;
  m[2] = c11 * r;
  m[3] = c20 * r;
  m[4] = c21 * r;
  m[5] = c22 * r;
  return 0;
}
