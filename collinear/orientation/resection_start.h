// Space resection of one image that needs no search: the starting pose comes
// from the control points themselves (a linear DLT with the known interior
// orientation for six or more points in space, the plane homography for
// points in or near a plane, the camera on either side of it), then
// Gauss-Newton on the collinearity equations. Same camera model as CSinOri:
// x = -f r.x / r.z, y = -f r.y / r.z, r = rot (X - centre); photo
// coordinates about the principal point, y up, in the unit of f.
#ifndef COLLINEAR_ORIENTATION_RESECTION_START_H_
#define COLLINEAR_ORIENTATION_RESECTION_START_H_

#include <string>

#include <collinear/distortion/dist.h>
#include <collinear/framework/array.h>
#include <collinear/framework/export.h>
#include <collinear/orientation/sinori.h>
#include <collinear/primitives/rot.h>
#include <collinear/primitives/xyz.h>

namespace collinear {

// Where the iteration started from.
enum class ResectionStart { kNone, kDlt, kPlane };

struct ResectionOptions {
  int max_iter = 50;  // Gauss-Newton steps before giving up
  // Converged when no unknown moves more than this: radians of rotation,
  // and translation in units of the control points' RMS spread.
  double step_tol = 1e-10;
};

// Valid only when converged; otherwise message says why and the pose,
// residuals and RMS are those of the last iterate, or meaningless when no
// start was found (start kNone).
struct ResectionResult {
  bool converged = false;
  std::string message;  // empty on success
  ResectionStart start = ResectionStart::kNone;
  CXYZ centre;                     // projection centre, object coordinates
  CRot rot;                        // object axes to camera axes
  CArray<CXYZ, CXYZ&> obj_points;  // matched control points, object order
  CArray<CXYZ, CXYZ&> img_points;  // their image points, distortion removed
  CArray<CXYZ, CXYZ&> residuals;   // projected - corrected measured
  CXYZ rms;                        // RMS of the residuals in x and y
  int iterations = 0;
  // The centre lies on the -Z side of the control points' best-fit plane
  // through their centroid (its normal taken with Z >= 0).
  bool below_plane = false;
};

// Pairs obj and img by exact name (the first image point of a name) and
// orients the image of principal distance focus (> 0). Each measured image
// point is first corrected by dist (CDist's correction, about the principal
// point, unit of focus). Needs 4 pairs, 6 for the spatial start.
COLLINEAR_API ResectionResult Resect(const CArray<CXYZ, CXYZ&>& obj,
                                     const CArray<CXYZ, CXYZ&>& img,
                                     double focus,
                                     const CDist& dist = CDist(),
                                     const ResectionOptions& options = {});

// Fills s (pairs, focus, pose, angles under s.m_RotSystem, residuals, RMS)
// with a converged result, for the precision and verdict functions that
// read a CSinOri. Returns 0, leaving s unspecified, when r did not converge.
COLLINEAR_API int SetSinOri(ResectionResult& r, double focus, CSinOri& s);

}  // namespace collinear

#endif  // COLLINEAR_ORIENTATION_RESECTION_START_H_
