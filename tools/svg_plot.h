// Residual-vector pictures for the collinear tool: the control points over
// the image frame, their residual vectors enlarged by a stated factor with a
// scale bar, the largest residuals highlighted, a caption and optionally the
// radial distortion curve in a second panel. The result is a self-contained
// SVG 1.1 document in UTF-8 that any browser opens.
#ifndef COLLINEAR_TOOLS_SVG_PLOT_H_
#define COLLINEAR_TOOLS_SVG_PLOT_H_

#include <string>
#include <utility>
#include <vector>

namespace collinear::cli {

// The image frame in the unit of the point coordinates. y_up false: pixel
// coordinates, origin at the top-left corner, y grows downwards; true: photo
// coordinates (millimetres about the principal point), y grows upwards.
struct PlotFrame {
  double x_min = 0.0, y_min = 0.0, x_max = 1.0, y_max = 1.0;
  bool y_up = false;
  std::string unit = "px";  // of coordinates and residuals alike
};

// A picture of width x height pixels: (0, 0)-(width, height), y down.
PlotFrame PixelFrame(double width_px, double height_px);
// A photo rectangle in millimetres, y up; the corners in any order.
PlotFrame PhotoFrame(double x1_mm, double y1_mm, double x2_mm, double y2_mm);

// One control point: measured position and residual vector, both in the
// frame's unit and axes (vy > 0 points down in a pixel frame, up in a photo
// frame). Points with a non-finite position are left out of the picture.
// An outlier (named by the outlier test) is always drawn singly and named.
struct PlotPoint {
  std::string name;
  double x = 0.0, y = 0.0;
  double vx = 0.0, vy = 0.0;
  bool outlier = false;
};

// Radial distortion curve as (radius, radial correction) samples, drawn as
// given (non-finite samples skipped). Markers draw a labelled vertical line
// at a radius, e.g. the picture corner or the limit of monotonicity.
struct RadialCurve {
  std::vector<std::pair<double, double>> samples;
  std::string radius_unit = "mm";
  std::string value_unit = "mm";
  std::vector<std::pair<double, std::string>> markers;
};

struct ResidualPlot {
  std::string title;
  PlotFrame frame;
  std::vector<PlotPoint> points;
  // Drawn vector length over residual length; 0 or less: AutoVectorScale.
  double vector_scale = 0.0;
  // How many of the largest non-zero residuals are drawn in red.
  int highlight = 3;
  // Every point is named up to this many points; above it only the
  // highlighted ones, so that a dense target field stays readable.
  int name_limit = 80;
  // Above this many points the picture thins out: the highlighted, the
  // outliers and the residuals beyond three times the RMS (at most 500 of
  // them) are drawn singly, every other point goes into the mean vector of
  // its cell of a grid over the frame, so that the file stays small.
  int max_vectors = 2000;
  // Free text lines under the picture (RMS, verdict, standard deviations).
  std::vector<std::string> caption;
  // No samples: no distortion panel.
  RadialCurve radial;
};

// The 1-2-5 step (..., 0.5, 1, 2, 5, 10, ...) nearest to v on a logarithmic
// scale; 0 for v that is not positive and finite.
double RoundTo125(double v);

// The vector scale that draws the largest finite residual at about 8 % of
// the frame diagonal, rounded by RoundTo125; 1 when every residual is zero.
double AutoVectorScale(const PlotFrame& frame,
                       const std::vector<PlotPoint>& points);

// Text for XML character data and attribute values: & < > " ' escaped,
// invalid UTF-8 and control characters replaced by U+FFFD.
std::string XmlEscape(const std::string& text);

// The whole SVG document.
std::string RenderResidualPlot(const ResidualPlot& plot);

}  // namespace collinear::cli

#endif  // COLLINEAR_TOOLS_SVG_PLOT_H_
