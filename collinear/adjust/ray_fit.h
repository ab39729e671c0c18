// Iterated intersection of direction rays: Gauss-Newton on the azimuths and
// elevations of all rays (the observations of TAdjImage, same weights) from
// a start position until the step is negligible, then the residuals with
// their redundancy numbers for testing them. Angles in radians, lengths in
// the caller's unit; the caller's arrays are only read.
#ifndef COLLINEAR_ADJUST_RAY_FIT_H_
#define COLLINEAR_ADJUST_RAY_FIT_H_

#include <string>
#include <vector>

#include <collinear/framework/export.h>
#include <collinear/primitives/host_geometry.h>

namespace collinear {

// Steps at most this many; the start of TAdjImage converges in a few.
inline constexpr int kMaxRayFitIterations = 100;
// Converged when a step moves the position by at most this fraction of its
// a-priori standard deviation (square root of the covariance's trace).
inline constexpr double kRayFitStepFraction = 1e-6;

struct RayResidual {
  bool used = false;    // false: too short, or position at station or zenith
  bool behind = false;  // the direction to the position opposes the ray
  double dh = 0.0;      // observed - computed azimuth at the position
  double dv = 0.0;      // observed - computed elevation
  double rh = 0.0;      // redundancy numbers of the two observations, [0, 1]
  double rv = 0.0;
  double wh = 0.0;        // normalised residuals v / (sigma sqrt(r)); 0 where
  double wv = 0.0;        //   r is below 1e-9 (the residual cannot be tested)
  double offset = 0.0;    // distance of the position from the ray's line
  double distance = 0.0;  // station to position
};

struct COLLINEAR_API RayFit {
  bool converged = false;
  int iterations = 0;
  TAbstractPoint3<double> position;
  covar covariance;  // of the position, length unit squared, unit weight 1
  std::vector<RayResidual> rays;  // in the caller's order
  int observations = 0;           // 2 per used ray
  int redundancy = 0;             // observations - 3
  double weighted_sum = 0.0;      // sum (v / sigma)^2 over the observations
  std::string message;            // why it did not converge, or empty
  // A-posteriori variance factor weighted_sum / redundancy (0 without
  // redundancy).
  double VarianceFactor() const;
};

// n rays in TAdjImage's layout (station A_i at 2i, second point B_i at
// 2i + 1; sigmas (azimuth, elevation) of ray i). A ray is left out under
// TAdjImage's rules; fewer than two used rays or singular normal equations
// end the run unconverged, with the last position.
COLLINEAR_API RayFit FitRays(int n,
                             const TAbstractPoint3<double>* ray_points,
                             const TAbstractPoint2<double>* sigmas,
                             const TAbstractPoint3<double>& start);

// The point nearest all rays' lines in least squares (sum of squared
// perpendicular distances), whatever the sense of each ray; rays shorter
// than TAdjImage's limit are left out. False, point unchanged, when the
// lines are all parallel or fewer than two are usable.
COLLINEAR_API bool NearestPointToLines(
    int n,
    const TAbstractPoint3<double>* ray_points,
    TAbstractPoint3<double>& point);

}  // namespace collinear

#endif  // COLLINEAR_ADJUST_RAY_FIT_H_
