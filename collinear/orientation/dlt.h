// Direct linear transformation (DLT) of one image from named control points.
// Spatial model (11 coefficients L1..L11 in m_Dlt):
//   x = (L1 X + L2 Y + L3 Z + L4) / (L9 X + L10 Y + L11 Z + 1),
//   y = (L5 X + L6 Y + L7 Z + L8) / (L9 X + L10 Y + L11 Z + 1);
// plane model (8 coefficients b1..b8, Z ignored):
//   x = (b1 X + b2 Y + b3) / (b7 X + b8 Y + 1), y = (b4 X + b5 Y + b6) / (...).
// The count of m_Dlt selects the model; an empty m_Dlt means no solution.
// Coordinates enter unnormalised; image coordinates and principal distances
// share one unit. Camera model: x = x0 - cx (r1.d)/(r3.d), y = y0 -
// cy (r2.d)/(r3.d), d = P - m_Center, R = m_Rot (object to camera axes, angle
// convention ROT_KPW); the camera looks along its negative z axis.
// Status texts in m_Message are Shift-JIS bytes (status_text.h).
#ifndef COLLINEAR_ORIENTATION_DLT_H_
#define COLLINEAR_ORIENTATION_DLT_H_

#include <collinear/distortion/dist.h>
#include <collinear/framework/array.h>
#include <collinear/framework/export.h>
#include <collinear/framework/string.h>
#include <collinear/primitives/rot.h>
#include <collinear/primitives/wpk.h>
#include <collinear/primitives/xyz.h>

// Results are public fields, read after a solution. Every solution starts by
// resetting the results; a failed one leaves m_Dlt empty. m_FocusX, m_FocusY
// start at 0; Init keeps them and m_Center. A solution fails when its
// coefficients, or the plane centre and angles, come out NaN or infinite
// (NaN, infinite or overflowing input). A spatial one of no real camera
// keeps its principal distances (NaN from a negative radicand, or 0) and
// the NaN rotation they give.
class COLLINEAR_API CDlt {
 public:
  CDlt();
  CDlt(CDlt const& other);
  CDlt& operator=(CDlt const& other);
  ~CDlt();

  // Empties points and results and restores the default settings; keeps
  // m_FocusX, m_FocusY and m_Center.
  void Init();

  // Pairs the object points (X, Y, Z) with the image points (x, y) by exact
  // point name, in object order, each taking the first image point of its
  // name; stores focus (principal distance, image unit) for the plane
  // solution. Returns 1, or 0 with a status text for 0 or 1-3 pairs (the
  // matched points are kept either way; m_Focus only changes on success).
  int Create(CArray<CXYZ, CXYZ&>& obj_points,
             CArray<CXYZ, CXYZ&>& img_points,
             double focus);

  // Computes the spatial and the plane solution and keeps the one with the
  // smaller rms residual (the spatial one on a tie); sets m_Message. 1 or 0;
  // m_Message stays empty when neither solution exists.
  int CalDlt();
  // Spatial solution (at least 6 pairs) with principal point, principal
  // distances, centre, rotation and residuals. Leaves m_Message empty. The
  // rotation's sign puts the control points' centroid more than c in front
  // of the centre: the scene must lie farther than c, in object units.
  int CalDlt3D();
  // Plane solution (at least 4 pairs): assumes the principal point at the
  // image origin and the principal distance m_Focus; derives centre and
  // rotation, the centre above the mean plane of the control points. When
  // omega comes out exactly 0 the height is Zm + c cos(phi) sqrt(e2^2 +
  // e5^2), the limit of the general formula. Leaves m_Message empty.
  int CalDlt2D();

  // Spatial solution refined by Gauss-Newton steps from the plane solution
  // (Z terms 0), with five unit-weight conditions for a principal point at
  // the image origin and equal principal distances. Needs 6 pairs; 1 on
  // convergence, else 0 with m_Dlt empty (and m_Dist reset at m_MaxIter).
  int CalDltIte3D();
  // Spatial solution with lens distortion of the named model (k1..k4;
  // k1, k2, p1, p2; k1..k3, p1, p2) in m_Dist, the measured point plus its
  // correction obeying the DLT. Needs 8 pairs and a spatial start from
  // CalDlt (whose text stays in m_Message); 0 with m_Dlt empty otherwise,
  // and m_Dist reset when the iteration does not converge.
  int CalDltSelfCalib_k1k2k3k4();
  int CalDltSelfCalib_k1k2p1p2();
  int CalDltSelfCalib_k1k2k3p1p2();

  // Projects obj_point with the current solution into img_point: its name
  // becomes the object point's, m_x, m_y the image coordinates; z, text and
  // attribute words stay. with_dist != 0 (spatial model only) adds the lens
  // distortion of m_Dist, solved to tolerance dist_tol. Returns 0 with
  // img_point untouched without a solution or when the point lies in the
  // vanishing plane; 0 with the undistorted projection when the distortion
  // search does not converge.
  int ObjToPhc(CXYZ const& obj_point,
               CXYZ& img_point,
               int with_dist,
               double dist_tol);

  CArray<CXYZ, CXYZ&> m_ObjPoints;  // matched control points, object coords
  CArray<CXYZ, CXYZ&> m_ImgPoints;  // their image points, same order
  CArray<double, double> m_Dlt;     // 11, 8 or no coefficients
  double m_Focus{0.0};              // given principal distance (plane model)
  double m_FocusMean{0.0};          // principal distance c of the solution
  double m_FocusX{0.0};             // cx from the x coefficients
  double m_FocusY{0.0};             // cy from the y coefficients
  CXYZ m_PrincipalPoint;            // x0 in m_x, y0 in m_y
  CDist m_Dist;                     // lens distortion (self-calibration)
  CXYZ m_Center;                    // projection centre, object coordinates
  CWPK m_Wpk;                       // omega, phi, kappa (ROT_KPW), radians
  CRot m_Rot;                       // object axes to camera axes
  CArray<CXYZ, CXYZ&> m_Residuals;  // projected minus measured, image names
  CXYZ m_Rms;                       // rms of the residuals in x and y
  int m_MaxIter{60};                // iteration limit (default 60)
  double m_RelTol{1e-6};     // relative change of sigma0 to converge (1e-6)
  double m_SigmaTol{1e-12};  // sigma0 small enough to stop (1e-12)
  CString m_Message;         // Shift-JIS status text of Create and CalDlt

 private:
  void InitParam();
  int SetPoints(CArray<CXYZ, CXYZ&>& obj_points,
                CArray<CXYZ, CXYZ&>& img_points);
  int CalPrincipalPoint();
  int CalFocalLength();
  int CalCameraPosition();
  int CalCameraAngle();
  int CalExtWithDlt2D();
  int CalResiduals();
  // The four derivations above in order; 0 at the first that fails.
  int CalCameraParameters();
  int CalDltSelfCalib(DIST_MODEL model);
  // End of a spatial solution: camera parameters and residuals, or m_Dlt
  // emptied and 0.
  int FinishSpatial();
  // An iteration that reached m_MaxIter: m_Dlt emptied, m_Dist reset, 0.
  int FailToConverge();
};

namespace collinear {

// The camera of a spatial DLT solution, in the model and units above.
struct DltCamera {
  bool valid = false;         // false: the other fields mean nothing
  double x0 = 0.0, y0 = 0.0;  // principal point
  double cx = 0.0, cy = 0.0;  // principal distances of the x and y rows
  CXYZ centre;                // projection centre, object coordinates
  CRot rot;                   // object axes to camera axes
  CWPK wpk;                   // angles of rot (ROT_KPW), radians
};

// The camera of L1..L11 (l[0..10]) as CDlt derives it, bit for bit, the
// rotation's sign putting mean_point (the mean control point) more than
// (cx + cy) / 2 in front. Invalid for non-finite coefficients, L9 = L10 =
// L11 = 0, principal distances not > 0 (no real camera), or no centre.
COLLINEAR_API DltCamera CameraFromDlt(const double* l, const CXYZ& mean_point);

// Derivatives of the centre c of L1..L11 by each coefficient, d[i][j] =
// d c_i / d L(j+1): the centre solves M c = b (rows (L1 L2 L3 | -L4), (L5 L6
// L7 | -L8), (L9 L10 L11 | -1)), so dc = M^-1 (db - dM c). False, d
// untouched, when M is singular.
COLLINEAR_API bool DltCentreDerivatives(const double* l,
                                        const CXYZ& centre,
                                        double (&d)[3][11]);

}  // namespace collinear

#endif  // COLLINEAR_ORIENTATION_DLT_H_
