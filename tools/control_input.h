// Control points of the calibrate and resect commands: reading them, and
// the frames in which the solvers see them. The solvers get image
// coordinates with y up (a pixel file's y is negated) and object coordinates
// about the centroid of the matched control points, so that map-grid
// coordinates (six- and seven-digit eastings and northings) keep the normal
// equations well conditioned. For the DLT the object is also scaled so that
// it spans ten times the image spread: the DLT tells the camera's front from
// its back by comparing the scene's depth with the principal distance, which
// needs the scene farther away than c in object units. A similarity of the
// object changes no camera parameter but the centre, which is moved back.
// Also what both solutions report besides their parameters (ControlFit):
// residuals, precision, verdict, and their residual picture.
#ifndef COLLINEAR_TOOLS_CONTROL_INPUT_H_
#define COLLINEAR_TOOLS_CONTROL_INPUT_H_

#include <string>
#include <utility>
#include <vector>

#include <collinear/primitives/rot.h>
#include <collinear/primitives/wpk.h>

#include "cli_common.h"
#include "quality_report.h"
#include "report.h"

namespace collinear::cli {

struct ControlInput {
  CArray<CXYZ, CXYZ&> object;  // solver frame: object minus centroid
  CArray<CXYZ, CXYZ&> image;   // solver frame: y up
  CXYZ centroid;               // of the object points with an image point
  double scale = 1.0;          // solver object units per file unit
  bool pixel_frame = true;     // image file in pixels, y down
  int matched = 0;             // object points with an image point
};

// Reads OBJECT_POINTS (name X Y Z) and IMAGE_POINTS (name x y), or, when
// image_path is empty, one control file of "name X Y Z x y" rows.
ControlInput LoadControl(const std::string& object_path,
                         const std::string& image_path,
                         bool pixel_frame,
                         bool scale_object = false);

// Image y of the solver frame back in the file's frame, and the reverse.
inline double ImageY(const ControlInput& c, double y) {
  return c.pixel_frame ? -y : y;
}

// Object point of the solver frame back in the file's frame.
CXYZ ObjectPoint(const ControlInput& c, const CXYZ& p);

// The plane DLT of calibrate puts the camera above the mean plane of the
// control points (+Z side); resect needs no mirror (collinear::Resect finds
// the camera on either side). A camera below it is solved
// in the mirror frame (object Z -> -Z, image y -> -y), where it is above and
// its rotation stays proper: with M = diag(1, 1, -1), N = diag(1, -1, 1) a
// camera R', C' there is R = N R' M, C = M C' here (and back, the same).
//
// True when the plane projective fit b1..b8 (solver frame, image about the
// principal point) maps the plane with reversed orientation, det < 0: the
// camera is then below the plane through the object origin, given that
// origin (the control points' centroid) lies in front of the camera.
bool SeenFromBelow(const CArray<double, double>& plane_coefficients);
// Object Z and image y negated in place; applied twice, the identity.
void Mirror(CArray<CXYZ, CXYZ&>& object, CArray<CXYZ, CXYZ&>& image);
// A pose of one frame in the other: C -> M C, R -> N R M.
void MirrorPose(CXYZ& centre, CRot& rot);

// The DLT coefficients of the solver frame (11 spatial or 8 plane) for the
// file's object coordinates and image frame, scaled so that the last
// element of the 3x4 (3x3) projective matrix is 1 again. Empty when the
// file's object origin projects to infinity (that element is 0).
std::vector<double> CoefficientsInFileFrame(const ControlInput& c,
                                            const CArray<double, double>& l,
                                            double px0,
                                            double py0);

// What a control-point solution reports besides its parameters: the
// residuals, the precision and the verdict, in the file's frame.
struct ControlFit {
  ControlInput in;
  std::string unit;                      // of image coordinates
  CArray<CXYZ, CXYZ&> solver_residuals;  // y up
  Residuals residuals;                   // file frame
  CXYZ rms;
  PrecisionReport precision;
  double obs_sigma = 0.0;  // the a-priori noise the verdict tested
  Verdict verdict;
  std::string plot;  // the picture written, or empty
  QualityUnits Units() const { return {"object units", unit}; }
};

// The residual and the precision sections.
void FitSections(const ControlFit& fit,
                 int decimals,
                 int max_rows,
                 Report& report);
// The verdict, and the picture written (JSON plot).
void CloseFit(const ControlFit& fit, Report& report);

// Where the residual picture puts the points: image_size (pixels) gives
// the picture frame, else the frame is the points' bounding box; offset
// moves the solver's image points back to the file's origin. radial holds
// (radius, radial correction) samples for a distortion panel, or nothing;
// markers label radii on it.
struct PlotLayout {
  std::vector<double> image_size;
  double offset_x = 0.0, offset_y = 0.0;
  std::vector<std::pair<double, double>> radial;
  std::vector<std::pair<double, std::string>> markers;
};

// Writes the residual-vector picture of fit to path (SVG), captioned with
// method, the RMS and largest residual, the verdict and the largest standard
// deviations, and records path in fit.plot. Throws InputError.
void WritePlot(const std::string& path,
               const std::string& command,
               const std::string& method,
               int decimals,
               const PlotLayout& layout,
               ControlFit& fit);

}  // namespace collinear::cli

#endif  // COLLINEAR_TOOLS_CONTROL_INPUT_H_
