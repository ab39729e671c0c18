// Calibration of one camera from several views of one target: principal
// distance, principal point, optionally the pixel aspect, the coefficients of
// a distortion model and the pose of every view, in one bundle adjustment
// whose per-view unknowns are eliminated view by view (cost linear in the
// number of views). Image points in pixels, origin at the top-left corner,
// x right, y down; the target in any length unit.
#ifndef COLLINEAR_CALIBRATION_CALIBRATION_H_
#define COLLINEAR_CALIBRATION_CALIBRATION_H_

#include <string>
#include <vector>

#include <collinear/distortion/dist.h>
#include <collinear/framework/array.h>
#include <collinear/framework/export.h>
#include <collinear/primitives/rot.h>
#include <collinear/primitives/wpk.h>
#include <collinear/primitives/xyz.h>
#include <collinear/quality/distortion_check.h>
#include <collinear/quality/precision.h>
#include <collinear/quality/verdict.h>

namespace collinear {

// One picture of the target: its name (for messages and residual names) and
// its image points, matched to the target by m_strName, in pixels (m_x, m_y).
struct CalibrationView {
  std::string name;
  CArray<CXYZ, CXYZ&> points;
};

struct CalibrationOptions {
  DIST_MODEL model = DIST_NONE;  // any model of kDistModels
  bool free_aspect = false;      // estimate the pixel aspect, else 1
  // A-priori standard deviation of one image coordinate, pixels; 0: unknown
  // (no test of the RMS against it).
  double sigma_px = 0.0;
  // Picture size in pixels for the distortion check; 0: the bounding box of
  // all image points. Planar starts put the principal point at its centre.
  double picture_width = 0.0, picture_height = 0.0;
  int max_iterations = 100;
  // Converged when a step moves the unknowns by at most this fraction of
  // their joint standard deviation (step length in the metric of the
  // normal equations over sigma0), or the fitted points by below 1e-9 px.
  double tolerance = 1e-4;
};

// The pose of a view as resect reports it: projection centre (target units),
// rotation from target to camera axes (the camera looks along its -z axis,
// photo y up), its angles under ROT_KPW (radians, nearest to zero).
struct CalibratedView {
  std::string name;
  CXYZ centre;
  CRot rot;
  CWPK wpk;
  // Standard deviations of X, Y, Z, omega, phi, kappa; correlations among
  // them (6 x 6, row-major) and with the camera's unknowns (6 rows of
  // Calibration::camera.params.size() columns).
  double sigma[6] = {0, 0, 0, 0, 0, 0};
  std::vector<double> correlation;
  std::vector<double> camera_correlation;
  // Computed minus measured, pixels (x right, y down), named as the points.
  CArray<CXYZ, CXYZ&> residuals;
  double rms_x = 0.0, rms_y = 0.0;  // per coordinate, pixels
};

enum class CalibrationStatus {
  kOk,        // adjusted; the verdict says whether the result is usable
  kBadInput,  // the input cannot give a calibration; message says why
  kFailed,    // the computation failed (singular, diverged, behind camera)
};

// The camera model: for a measured pixel (u, v) the photo point m = (u - x0,
// aspect (y0 - v)) plus the correction dist.CalDist(m) (CDist's sign, pixel
// units, photo y up) equals (-c X / Z, -c Y / Z) of the target point in
// camera axes. Distortion coefficients therefore carry pixel units.
struct COLLINEAR_API Calibration {
  CalibrationStatus status = CalibrationStatus::kBadInput;
  std::string message;        // why it failed; empty on success
  bool planar = false;        // the target lies in a plane
  double c = 0.0;             // principal distance, pixels
  double x0 = 0.0, y0 = 0.0;  // principal point, pixels (top-left, y down)
  double aspect = 1.0;        // photo y per pixel row over photo x per column
  CDist dist;
  // Camera unknowns "c", "x0", "y0", ["aspect"], then the model's
  // coefficient names, with values, standard deviations and correlations;
  // sigma0, redundancy and the condition of the reduced normal equations
  // (camera unknowns, scaled to unit diagonal) refer to the whole adjustment.
  PrecisionReport camera;
  std::vector<CalibratedView> views;
  int iterations = 0;
  int points = 0;                   // matched image points, all views
  double rms_x = 0.0, rms_y = 0.0;  // all views, per coordinate, pixels
  DistortionValidity validity;
  // Residual rules (outliers named "view/point"), distortion validity over
  // the picture, conditioning, too few views for the unknowns.
  Verdict verdict;
  bool Ok() const { return status == CalibrationStatus::kOk; }
  // sqrt((rms_x^2 + rms_y^2) / 2): RMS per coordinate over both.
  double Rms() const;
};

// Calibrates from the target's named points and the views. A view must
// match at least 4 target points (planar target) or 6 (3-D target); every
// image point's name must be in the target. Never throws on bad input: the
// status and message say what is wrong, naming the view.
COLLINEAR_API Calibration Calibrate(const CArray<CXYZ, CXYZ&>& target,
                                    const std::vector<CalibrationView>& views,
                                    const CalibrationOptions& options);

}  // namespace collinear

#endif  // COLLINEAR_CALIBRATION_CALIBRATION_H_
