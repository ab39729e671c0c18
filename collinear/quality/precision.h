// Precision of a solved orientation or calibration: one more linearised
// least-squares adjustment at the solution, every observed coordinate with
// unit weight, gives the covariance of the estimated parameters scaled by the
// a-posteriori variance of unit weight, their standard deviations and
// correlations, and the condition of the normal equations. The solvers'
// results are read, never changed.
#ifndef COLLINEAR_QUALITY_PRECISION_H_
#define COLLINEAR_QUALITY_PRECISION_H_

#include <string>
#include <vector>

#include <collinear/distortion/dist.h>
#include <collinear/distortion/dist_model.h>
#include <collinear/framework/export.h>
#include <collinear/orientation/dlt.h>
#include <collinear/orientation/helmert.h>
#include <collinear/orientation/sinori.h>

namespace collinear {

// What a parameter measures, for its unit: object length (unit of the object
// points), image length (unit of the image points), angle (radians),
// distortion coefficient (image unit to a negative power), or a pure number.
enum class ParamKind {
  kObjectLength,
  kImageLength,
  kAngle,
  kDistortion,
  kScalar
};

struct Parameter {
  std::string name;  // "X", "omega", "x0", "cx", "k1", "a", "scale", ...
  ParamKind kind = ParamKind::kScalar;
  double value = 0.0;
  double sigma = 0.0;  // standard deviation; kUndefined when not determined
};

// Redundancy = observations - unknowns. A figure that cannot be determined
// is kUndefined (test with IsUndefined before any arithmetic), as everywhere
// in the library; NaN only comes from non-finite input. With no redundancy
// sigma0 and every sigma are undetermined; the correlations (which do not
// depend on sigma0) remain. condition_number is that of the normal equations
// with every unknown scaled to a unit diagonal, so that units do not enter
// it; infinite when singular.
struct COLLINEAR_API PrecisionReport {
  bool valid = false;  // false: no solution to assess (everything else empty)
  std::string model;   // the adjusted model, in words
  std::vector<Parameter> params;    // the estimated parameters
  std::vector<double> correlation;  // params.size() squared, row-major
  std::vector<Parameter> derived;   // functions of params (c, scale, ...)
  int observations = 0;
  int unknowns = 0;
  int redundancy = 0;
  double sigma0 = 0.0;  // a-posteriori standard deviation of unit weight
  // The same from the misclosures at the solution itself, before the
  // adjustment's step: well above sigma0 when the solver stopped away from
  // the least-squares optimum of the adjusted model.
  double sigma0_at_solution = 0.0;
  double condition_number = 0.0;

  // Correlation of params i and j.
  double Correlation(int i, int j) const;
  // Index in params (then in derived, counted after params) of name; -1.
  int Find(const std::string& name) const;
  // The parameter or derived quantity of that name; null when absent.
  const Parameter* Get(const std::string& name) const;
};

struct CorrelatedPair {
  int i = 0, j = 0;  // indices into params, i < j
  double r = 0.0;
};
// Pairs of params whose correlation exceeds threshold in magnitude, the
// strongest first.
COLLINEAR_API std::vector<CorrelatedPair> HighCorrelations(
    const PrecisionReport& report, double threshold = 0.9);

// Resection: centre X, Y, Z (object unit) and omega, phi, kappa under
// m_RotSystem, from the collinearity equations of every control point at the
// solution (focal length known). Invalid for a convention other than ROT_WPK
// and ROT_KPW or fewer than 3 pairs.
COLLINEAR_API PrecisionReport EstimatePrecision(const CSinOri& solved);

// How the interior orientation of a spatial DLT solution was determined.
// kFree: CalDlt, CalDlt3D and the self-calibrations (11 free coefficients);
// kCentredEqual: CalDltIte3D (principal point at the origin, cx = cy).
enum class DltInterior { kFree, kCentredEqual };

// DLT camera. Spatial, kFree: the reprojection equations in the 11
// coefficients (and the distortion parameters of m_Dist, taken about the
// principal point of the solution) give their covariance, which the
// solver's own closed-form derivation carries to x0, y0, cx, cy, X, Y, Z,
// omega, phi, kappa (ROT_KPW), derived c = (cx + cy) / 2. Spatial,
// kCentredEqual: a collinearity adjustment of the pose and one principal
// distance c, when the solution meets its conditions to 0.1 % of c (else as
// kFree, which the model text says). Plane (8 coefficients): the pose for
// the given principal distance. Invalid without a solution.
COLLINEAR_API PrecisionReport EstimatePrecision(
    const CDlt& solved, DltInterior interior = DltInterior::kFree);

// Helmert: a, b, c, d (X = a x - b y + c, Y = b x + a y + d) from both
// coordinates of every pair; derived scale = |(a, b)| and rotation =
// atan2(b, a) (radians). Invalid without 4 parameters.
COLLINEAR_API PrecisionReport EstimatePrecision(const CHelmert& solved);

// Eigenvalues of the symmetric n x n matrix a (row-major), ascending, by
// cyclic Jacobi rotations: small eigenvalues of a matrix with unit diagonal
// come out with good relative accuracy.
COLLINEAR_API std::vector<double> SymmetricEigenvalues(std::vector<double> a,
                                                       int n);

}  // namespace collinear

#endif  // COLLINEAR_QUALITY_PRECISION_H_
