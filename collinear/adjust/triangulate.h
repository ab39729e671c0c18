// One object point from its pixels in two or more oriented images: the
// measured pixels are corrected for lens distortion, the start is the
// point nearest the image rays, then Gauss-Newton on the three coordinates
// minimises the weighted image residuals in pixels. Object coordinates in
// the caller's length unit; the verdict names weak and wrong geometry.
#ifndef COLLINEAR_ADJUST_TRIANGULATE_H_
#define COLLINEAR_ADJUST_TRIANGULATE_H_

#include <string>
#include <vector>

#include <collinear/distortion/dist.h>
#include <collinear/framework/export.h>
#include <collinear/primitives/host_geometry.h>
#include <collinear/primitives/rot.h>
#include <collinear/quality/verdict.h>

namespace collinear {

// Steps at most this many; from the nearest point to the rays a few do.
inline constexpr int kMaxTriangulationIterations = 50;
// Converged when a step moves the point by at most this fraction of its
// a-priori standard deviation (square root of the covariance's trace).
inline constexpr double kTriangulationStepFraction = 1e-8;
// Rays whose largest mutual angle is below this (radians, 2 degrees) fix
// the point along them about 30 times worse than across: named, not failed.
inline constexpr double kMinIntersectionAngle = 0.03490658503988659;

// One image of the point: camera, pose and the measured pixel.
struct TriangulationView {
  std::string image;  // names the image in messages
  // Principal distance; principal point from the top-left corner of the
  // picture with y down; pixel size x, y. All millimetres.
  double focal_mm = 0.0;
  TAbstractPoint2<double> principal_mm;
  TAbstractPoint2<double> pixel_mm;
  // In photo millimetres about the principal point, y up, with CDist's
  // sign: ideal = measured + CalDist (the calculator's parameters negated).
  CDist dist;
  // Projection centre (caller's length unit) and the object-to-camera
  // rotation; the camera looks along its -z axis.
  TAbstractPoint3<double> centre;
  CRot rotation;
  TAbstractPoint2<double> pixel;  // measured: x right, y down
  double sigma_px = 1.0;          // a priori, each pixel coordinate
};

struct TriangulationRay {
  bool behind = false;  // the point lies behind this camera
  // Computed - measured, in the measured picture's pixels (x right, y down).
  double vx_px = 0.0, vy_px = 0.0;
  double rx = 0.0, ry = 0.0;  // redundancy numbers, [0, 1]
  double wx = 0.0, wy = 0.0;  // v / (sigma sqrt(r)); 0 where r is below 1e-9
};

struct COLLINEAR_API Triangulation {
  bool converged = false;
  bool singular = false;  // the rays do not fix a point (or a camera is bad)
  int iterations = 0;
  TAbstractPoint3<double> position;
  // A priori: from the views' sigma_px (unit weight 1), length unit squared.
  covar covariance;
  std::vector<TriangulationRay> rays;  // in the order of the views
  int observations = 0;                // 2 per view
  int redundancy = 0;                  // observations - 3
  double weighted_sum = 0.0;           // sum (v / sigma)^2
  double max_angle = 0.0;  // largest angle between two rays, radians
  std::string message;     // why there is no point, or empty
  // weighted_sum / redundancy (0 without redundancy).
  double VarianceFactor() const;
  // The covariance scaled by the variance factor (zero without redundancy).
  covar APosterioriCovariance() const;
};

// Intersects the rays of the views. Unconverged, with the message and the
// last position, for fewer than two views, a singular or non-finite
// camera, rays that do not fix a point, or no convergence.
COLLINEAR_API Triangulation
Triangulate(const std::vector<TriangulationView>& views);

// Unusable: no convergence, non-finite figures, the point behind a camera
// (image named). Look: the largest angle below kMinIntersectionAngle,
// residuals above the views' sigmas (global test), and, from three views
// on, the image with the largest normalised residual when data snooping
// rejects it. point names the point in every warning.
COLLINEAR_API Verdict Judge(const Triangulation& t,
                            const std::vector<TriangulationView>& views,
                            const std::string& point);

}  // namespace collinear

#endif  // COLLINEAR_ADJUST_TRIANGULATE_H_
