// Small symmetric positive definite systems solved by Cholesky, for the
// start values of the orientation and calibration solvers (n up to 11).
// Library-internal: not installed.
#ifndef COLLINEAR_LEASTSQ_SPD_SOLVE_H_
#define COLLINEAR_LEASTSQ_SPD_SOLVE_H_

#include <algorithm>
#include <cmath>

namespace collinear {

// Solves a x = b for the n x n matrix a (row-major; overwritten by its
// factor) and b (overwritten by x). False when a pivot is not positive or,
// with rel_pivot > 0, falls below rel_pivot times the largest diagonal
// element (which must be positive and finite).
inline bool SolveSpd(int n, double* a, double* b, double rel_pivot = 0.0) {
  double floor = 0.0;
  if (rel_pivot > 0.0) {
    double diag_max = 0.0;
    for (int i = 0; i < n; ++i) diag_max = std::max(diag_max, a[i * n + i]);
    if (!(diag_max > 0.0) || !std::isfinite(diag_max)) return false;
    floor = rel_pivot * diag_max;
  }
  for (int j = 0; j < n; ++j) {
    double d = a[j * n + j];
    for (int k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
    if (!(d > floor)) return false;
    d = std::sqrt(d);
    a[j * n + j] = d;
    for (int i = j + 1; i < n; ++i) {
      double s = a[i * n + j];
      for (int k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
      a[i * n + j] = s / d;
    }
  }
  for (int i = 0; i < n; ++i) {
    double s = b[i];
    for (int k = 0; k < i; ++k) s -= a[i * n + k] * b[k];
    b[i] = s / a[i * n + i];
  }
  for (int i = n - 1; i >= 0; --i) {
    double s = b[i];
    for (int k = i + 1; k < n; ++k) s -= a[k * n + i] * b[k];
    b[i] = s / a[i * n + i];
  }
  return true;
}

}  // namespace collinear

#endif  // COLLINEAR_LEASTSQ_SPD_SOLVE_H_
