#include "control_input.h"

#include <algorithm>
#include <map>

#include <cmath>
#include <set>

#include <collinear/io/point_file.h>

#include "svg_plot.h"

namespace collinear::cli {

ControlInput LoadControl(const std::string& object_path,
                         const std::string& image_path,
                         bool pixel_frame,
                         bool scale_object) {
  ControlInput c;
  c.pixel_frame = pixel_frame;
  if (image_path.empty()) {
    std::string error;
    if (!ReadControlFile(object_path, c.object, c.image, error))
      throw InputError(error);
    if (c.object.GetSize() == 0)
      throw InputError(object_path + ": the file holds no points");
  } else {
    c.object = LoadPoints(object_path, true);
    c.image = LoadPoints(image_path, false, false);
  }
  std::set<std::string> image_names;
  for (INT_PTR i = 0; i < c.image.GetSize(); ++i) {
    image_names.insert(c.image[i].m_strName.GetString());
    c.image[i].m_y = ImageY(c, c.image[i].m_y);
  }
  std::set<std::string> object_names;
  for (INT_PTR i = 0; i < c.object.GetSize(); ++i)
    object_names.insert(c.object[i].m_strName.GetString());
  double sx = 0, sy = 0, sz = 0;
  for (INT_PTR i = 0; i < c.object.GetSize(); ++i) {
    const CXYZ& p = c.object[i];
    if (!image_names.count(p.m_strName.GetString())) continue;
    sx += p.m_x;
    sy += p.m_y;
    sz += p.m_z;
    ++c.matched;
  }
  if (c.matched > 0)
    c.centroid.SetXYZ(sx / c.matched, sy / c.matched, sz / c.matched);
  if (scale_object && c.matched > 1) {
    // RMS spreads of the matched points about their means.
    double ix = 0, iy = 0;
    int ni = 0;
    for (INT_PTR i = 0; i < c.image.GetSize(); ++i)
      if (object_names.count(c.image[i].m_strName.GetString())) {
        ix += c.image[i].m_x;
        iy += c.image[i].m_y;
        ++ni;
      }
    ix /= ni;
    iy /= ni;
    double image_spread = 0, object_spread = 0;
    for (INT_PTR i = 0; i < c.image.GetSize(); ++i)
      if (object_names.count(c.image[i].m_strName.GetString()))
        image_spread += (c.image[i].m_x - ix) * (c.image[i].m_x - ix) +
                        (c.image[i].m_y - iy) * (c.image[i].m_y - iy);
    for (INT_PTR i = 0; i < c.object.GetSize(); ++i)
      if (image_names.count(c.object[i].m_strName.GetString())) {
        const double d = c.object[i].Len(c.centroid);
        object_spread += d * d;
      }
    if (image_spread > 0 && object_spread > 0)
      c.scale = 10.0 * std::sqrt(image_spread / object_spread);
  }
  for (INT_PTR i = 0; i < c.object.GetSize(); ++i) {
    CXYZ& p = c.object[i];
    p.SetXYZ((p.m_x - c.centroid.m_x) * c.scale,
             (p.m_y - c.centroid.m_y) * c.scale,
             (p.m_z - c.centroid.m_z) * c.scale);
  }
  return c;
}

CXYZ ObjectPoint(const ControlInput& c, const CXYZ& p) {
  CXYZ q = p;
  q.SetXYZ(p.m_x / c.scale + c.centroid.m_x,
           p.m_y / c.scale + c.centroid.m_y,
           p.m_z / c.scale + c.centroid.m_z);
  return q;
}

bool SeenFromBelow(const CArray<double, double>& b) {
  if (b.GetSize() != 8) return false;
  const double det = b[0] * (b[4] - b[5] * b[7]) - b[1] * (b[3] - b[5] * b[6]) +
                     b[2] * (b[3] * b[7] - b[4] * b[6]);
  return det < 0.0;
}

void Mirror(CArray<CXYZ, CXYZ&>& object, CArray<CXYZ, CXYZ&>& image) {
  for (INT_PTR i = 0; i < object.GetSize(); ++i) object[i].m_z = -object[i].m_z;
  for (INT_PTR i = 0; i < image.GetSize(); ++i) image[i].m_y = -image[i].m_y;
}

void MirrorPose(CXYZ& centre, CRot& rot) {
  centre.m_z = -centre.m_z;
  // N R M: the second row and the third column change sign (r23 twice).
  for (int j = 0; j < 3; ++j) rot.m_r[3 + j] = -rot.m_r[3 + j];
  for (int i = 0; i < 3; ++i) rot.m_r[3 * i + 2] = -rot.m_r[3 * i + 2];
}

std::vector<double> CoefficientsInFileFrame(const ControlInput& c,
                                            const CArray<double, double>& l,
                                            double px0,
                                            double py0) {
  // The projective matrix P (3 rows of cols) on the solver's object
  // coordinates: spatial rows L1..L4, L5..L8, L9 L10 L11 1; plane rows
  // b1..b3, b4..b6, b7 b8 1 on (X, Y, 1).
  const int count = static_cast<int>(l.GetSize());
  if (count != 11 && count != 8) return {};
  const int cols = count == 11 ? 4 : 3, dims = cols - 1;
  double p[3][4];
  for (int k = 0; k <= count; ++k)
    p[k / cols][k % cols] = k < count ? l[k] : 1.0;
  // Object: solver = scale (file - centroid), P' = P [s I, -s g; 0 1].
  const double g[3] = {c.centroid.m_x, c.centroid.m_y, c.centroid.m_z};
  for (double* row : p) {
    double shift = 0.0;
    for (int j = 0; j < dims; ++j) {
      row[j] *= c.scale;
      shift += row[j] * g[j];
    }
    row[dims] -= shift;
  }
  // Image: file x = solver x + px0, file y = sign (solver y + py0).
  const double sign = c.pixel_frame ? -1.0 : 1.0;
  for (int j = 0; j < cols; ++j) {
    p[0][j] += px0 * p[2][j];
    p[1][j] = sign * (p[1][j] + py0 * p[2][j]);
  }
  const double last = p[2][dims];
  if (!(std::fabs(last) > 0.0)) return {};
  std::vector<double> out(count);
  for (int k = 0; k < count; ++k) out[k] = p[k / cols][k % cols] / last;
  return out;
}

void FitSections(const ControlFit& fit,
                 int decimals,
                 int max_rows,
                 Report& report) {
  ResidualSection(fit.residuals, fit.rms, fit.unit, decimals, max_rows, report);
  PrecisionSection(fit.precision, fit.Units(), fit.obs_sigma, decimals, report);
}

void CloseFit(const ControlFit& fit, Report& report) {
  VerdictSection(fit.verdict, report);
  if (!fit.plot.empty()) report.json["plot"] = fit.plot;
}

void WritePlot(const std::string& path,
               const std::string& command,
               const std::string& method,
               int decimals,
               const PlotLayout& layout,
               ControlFit& fit) {
  const ControlInput& in = fit.in;
  const CArray<CXYZ, CXYZ&>& residuals = fit.solver_residuals;
  const std::vector<double>& image_size = layout.image_size;
  ResidualPlot plot;
  plot.title = "collinear " + command + ": residuals";
  const Residual* largest = fit.residuals.Largest();
  plot.caption = {method,
                  "RMS " + Fixed(fit.residuals.rms, decimals) + " " + fit.unit +
                      ", largest " +
                      Fixed(largest ? largest->length : 0.0, decimals) + " " +
                      fit.unit + " at " + (largest ? largest->name : "") +
                      ", " + std::to_string(in.matched) + " points"};
  for (const std::string& line :
       QualityCaption(fit.verdict, fit.precision, fit.Units()))
    plot.caption.push_back(line);
  const std::string unit = in.pixel_frame ? "px" : "mm";
  std::set<std::string> outliers;  // drawn singly however many points
  for (const Warning& w : fit.verdict.warnings)
    if (w.reason == VerdictReason::kOutlier) outliers.insert(w.point);
  // Measured image points by name, back in the file's frame.
  std::map<std::string, CXYZ> measured;
  for (INT_PTR i = 0; i < in.image.GetSize(); ++i)
    measured[in.image[i].m_strName.GetString()] = in.image[i];
  double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
  for (INT_PTR i = 0; i < residuals.GetSize(); ++i) {
    const auto m = measured.find(residuals[i].m_strName.GetString());
    if (m == measured.end()) continue;
    PlotPoint p;
    p.name = m->first;
    p.x = m->second.m_x + layout.offset_x;
    p.y = ImageY(in, m->second.m_y + layout.offset_y);
    p.vx = residuals[i].m_x;
    p.vy = ImageY(in, residuals[i].m_y);
    p.outlier = outliers.count(p.name) > 0;
    x0 = std::min(x0, p.x);
    x1 = std::max(x1, p.x);
    y0 = std::min(y0, p.y);
    y1 = std::max(y1, p.y);
    plot.points.push_back(p);
  }
  if (image_size.size() == 2 && in.pixel_frame) {
    plot.frame = PixelFrame(image_size[0], image_size[1]);
  } else if (!plot.points.empty()) {
    const double mx = 0.05 * std::max(x1 - x0, y1 - y0) + 1e-9;
    plot.frame.x_min = x0 - mx;
    plot.frame.x_max = x1 + mx;
    plot.frame.y_min = y0 - mx;
    plot.frame.y_max = y1 + mx;
    plot.frame.y_up = !in.pixel_frame;
  }
  plot.frame.unit = unit;
  if (!layout.radial.empty()) {
    plot.radial.samples = layout.radial;
    plot.radial.radius_unit = unit;
    plot.radial.value_unit = unit;
    plot.radial.markers = layout.markers;
  }
  WriteFileAtomically(path, RenderResidualPlot(plot));
  fit.plot = path;
}

}  // namespace collinear::cli
