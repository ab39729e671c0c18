// Starting values of a calibration without user help, from a plane target:
// the homography of each view, the interior orientation in closed form from
// several homographies (zero skew, square pixels), and the pose of a view
// from its homography. Pixels with origin top-left, x right, y down; the
// camera in the library's axes (looking along -z, photo y up).
#ifndef COLLINEAR_CALIBRATION_CALIBRATION_START_H_
#define COLLINEAR_CALIBRATION_CALIBRATION_START_H_

#include <vector>

#include <collinear/framework/export.h>
#include <collinear/primitives/rot.h>
#include <collinear/primitives/xyz.h>

namespace collinear {

// (u, v, 1) proportional to H (X, Y, 1) for plane coordinates (X, Y); h row
// by row, h[8] = 1 when valid.
struct Homography {
  bool valid = false;
  double h[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
};

// Normalised linear fit (both point sets centred and scaled to a mean
// distance of sqrt(2)) to n >= 4 pairs, plane[2 i], plane[2 i + 1] -> uv[2 i],
// uv[2 i + 1]. Invalid for fewer pairs, collinear or non-finite points.
COLLINEAR_API Homography FitHomography(const double* plane,
                                       const double* uv,
                                       int n);

// Interior orientation of square pixels without skew: principal distance c
// and principal point (x0, y0), pixels.
struct InteriorStart {
  bool valid = false;
  double c = 0.0, x0 = 0.0, y0 = 0.0;
};

// From the views' homographies by the orthogonality of the rotation's first
// two columns: with fix_principal_point the principal point stays (x0, y0)
// and only c is solved (one view suffices), else all three (two views at
// least). Invalid when no real c results (c^2 not > 0) or too few views.
COLLINEAR_API InteriorStart
InteriorFromHomographies(const std::vector<Homography>& homographies,
                         bool fix_principal_point,
                         double x0,
                         double y0);

// Pose of the camera in the plane's axes (plane Z = 0) that the homography
// implies for that interior orientation; the plane lies in front of it.
// False for a degenerate homography.
COLLINEAR_API bool PoseFromHomography(const Homography& homography,
                                      const InteriorStart& interior,
                                      CRot& rot,
                                      CXYZ& centre);

}  // namespace collinear

#endif  // COLLINEAR_CALIBRATION_CALIBRATION_START_H_
