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
#ifndef COLLINEAR_TOOLS_CONTROL_INPUT_H_
#define COLLINEAR_TOOLS_CONTROL_INPUT_H_

#include <string>

#include <collinear/primitives/wpk.h>

#include "cli_common.h"

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

// The exterior orientation in the report: centre (file frame) and angles in
// degrees and radians, as JSON fields and as table rows.
void AddPoseJson(Json& doc, const CXYZ& center, const CWPK& wpk);
void AddPoseRows(Table& t, const CXYZ& center, const CWPK& wpk, int decimals);

// Writes the residual-vector picture of a control-point solution to path
// (SVG). residuals are the solver's (y up); image_size (pixels) gives the
// picture frame, else the frame is the points' bounding box. radial holds
// (radius, radial correction) samples for a distortion panel, or nothing;
// radial_markers label radii on it.
void WriteResidualPlot(
    const std::string& path,
    const ControlInput& in,
    const CArray<CXYZ, CXYZ&>& residuals,
    const std::string& title,
    const std::vector<std::string>& caption,
    const std::vector<double>& image_size,
    const std::vector<std::pair<double, double>>& radial,
    double frame_offset_x = 0.0,
    double frame_offset_y = 0.0,
    const std::vector<std::pair<double, std::string>>& radial_markers = {});

// Caption of a residual plot: the method, the RMS and the largest residual
// of `points` matched points, then the quality lines.
std::vector<std::string> ResidualCaption(
    const std::string& method,
    const ResidualReport& res,
    const std::string& unit,
    int decimals,
    int points,
    const std::vector<std::string>& quality);

// "Residuals ... largest first" with the table and the RMS line.
std::string ResidualSection(const ResidualReport& res,
                            const CXYZ& rms,
                            const std::string& unit,
                            int decimals);

}  // namespace collinear::cli

#endif  // COLLINEAR_TOOLS_CONTROL_INPUT_H_
