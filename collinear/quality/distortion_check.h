// Validity of a self-calibrated lens distortion over the picture. The
// correction carries a measured point m to the ideal point m + CalDist(m -
// pp); it is usable where that map is invertible (positive Jacobian
// determinant) and its radial part r + dr(r) increases with r. Beyond the
// first radius where either fails, images fold over and cannot be corrected.
#ifndef COLLINEAR_QUALITY_DISTORTION_CHECK_H_
#define COLLINEAR_QUALITY_DISTORTION_CHECK_H_

#include <collinear/distortion/dist.h>
#include <collinear/framework/export.h>
#include <collinear/orientation/dlt.h>
#include <collinear/quality/verdict.h>

namespace collinear {

// The picture in the frame of the solver's image points, any corner order.
struct PictureRect {
  double x_min = 0.0, y_min = 0.0, x_max = 0.0, y_max = 0.0;
};

// The rectangle spanned by the points (x, y only).
COLLINEAR_API PictureRect BoundingRect(const CArray<CXYZ, CXYZ&>& points);

struct COLLINEAR_API DistortionValidity {
  bool checked = false;         // false: no distortion model to check
  int grid_side = 0;            // grid points per side over the picture
  int grid_points = 0;          // grid_side squared
  int grid_failures = 0;        // grid points where the map is not invertible
  double picture_radius = 0.0;  // principal point to the farthest corner
  double search_radius = 0.0;   // radii searched: twice picture_radius
  bool limited = false;         // a failure lies within search_radius
  // Valid inside this radius about the principal point; search_radius when
  // no failure was found. Resolution: search_radius / 2000.
  double valid_radius = 0.0;
  // Valid over the whole picture (or nothing to check).
  bool Ok() const { return !checked || valid_radius >= picture_radius; }
};

// Checks dist about the principal point (x0, y0) on a grid of grid_side x
// grid_side points over the picture (at least 2 a side) and along 72 rays
// and the radial curve out to twice the picture radius.
COLLINEAR_API DistortionValidity CheckDistortion(const CDist& dist,
                                                 double x0,
                                                 double y0,
                                                 const PictureRect& picture,
                                                 int grid_side = 64);
// The distortion of a DLT self-calibration about its principal point.
COLLINEAR_API DistortionValidity CheckDistortion(const CDlt& solved,
                                                 const PictureRect& picture,
                                                 int grid_side = 64);

// A kDistortionInvalid warning when the valid radius ends inside the picture.
COLLINEAR_API Verdict Judge(const DistortionValidity& validity);

}  // namespace collinear

#endif  // COLLINEAR_QUALITY_DISTORTION_CHECK_H_
