// Lens distortion as the camera coordinate calculator models it, in photo
// millimetres about the principal point. Distort gives D(x, y) at a measured
// point; the corrected (ideal) point is (x, y) - D. The models and formulas
// are those of distortion/dist_formula.h. Library-internal: the header is
// not installed; the class is exported for the tests and benchmarks.
#ifndef COLLINEAR_CALCULATOR_CALC_DISTORTION_H_
#define COLLINEAR_CALCULATOR_CALC_DISTORTION_H_

#include <collinear/framework/export.h>

namespace collinear {

class COLLINEAR_API CalcDistortion {
 public:
  static constexpr int kMaxPara = 8;
  static constexpr int kMaxPasses = 20;     // passes over both coordinates
  static constexpr int kMaxWalkSteps = 20;  // steps of a walk to a bracket

  // Copies the first kMaxPara parameters of para.
  CalcDistortion(unsigned long model, const double* para);

  void Distort(double x, double y, double& dx, double& dy) const;
  // Partial derivatives of D, row by row: ddx/dx, ddx/dy, ddy/dx, ddy/dy.
  void Jacobian(double x, double y, double jac[4]) const;

  // Bracketing search for q with q + s D(q) = (x, y), s = +1 when sign is
  // true, else -1: each pass walks and bisects x, then y, at most
  // kMaxPasses passes. True with q and its residual (mm); a pass that no
  // longer lowers the residual also counts as success. False, with q =
  // (x, y) and residual untouched, when a walk runs out of steps; best (two
  // doubles, may be null) then receives the estimate of least residual.
  bool Search(double x,
              double y,
              double tol,
              bool sign,
              double* qx,
              double* qy,
              double* residual,
              double* best = nullptr) const;
  // Bisection of coordinate i of p between low[i] (image below target[i])
  // and high[i]; the other coordinate stays. Stops when the bracket is at
  // most tol wide, on an exact hit, or when the midpoint stops changing.
  void Bisect(double* p,
              int i,
              const double* target,
              const double* low,
              const double* high,
              double s,
              double tol) const;
  // Damped Newton iteration on the same equation from (start_x, start_y).
  // True when the residual reaches tol or, for a tol below rounding, the
  // rounding floor of the target (a few units in the last place); outputs
  // as Search, untouched on failure.
  bool Newton(double x,
              double y,
              double tol,
              bool sign,
              double start_x,
              double start_y,
              double* qx,
              double* qy,
              double* residual) const;
  // Search, and where it fails Newton from its best estimate (then from the
  // target itself), whose root counts only where q + s D(q) is invertible
  // along the ray out to it (InvertibleOutTo). Outputs as Search.
  bool Invert(double x,
              double y,
              double tol,
              bool sign,
              double* qx,
              double* qy,
              double* residual) const;

 private:
  unsigned long model_;
  double p_[kMaxPara];
};

}  // namespace collinear

#endif  // COLLINEAR_CALCULATOR_CALC_DISTORTION_H_
