#include "control_input.h"

#include <algorithm>
#include <map>

#include <cmath>
#include <set>

#include <collinear/io/point_file.h>
#include <collinear/primitives/constants.h>

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
    c.image = LoadPoints(image_path, false);
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

void AddPoseJson(Json& doc, const CXYZ& center, const CWPK& wpk) {
  doc["projection_centre"] = {
      {"X", center.m_x}, {"Y", center.m_y}, {"Z", center.m_z}};
  doc["angles_rad"] = {
      {"omega", wpk.m_w}, {"phi", wpk.m_p}, {"kappa", wpk.m_k}};
  doc["angles_deg"] = {{"omega", wpk.m_w * kDegPerRad},
                       {"phi", wpk.m_p * kDegPerRad},
                       {"kappa", wpk.m_k * kDegPerRad}};
}

void AddPoseRows(Table& t, const CXYZ& center, const CWPK& wpk, int decimals) {
  t.AddRow({"centre X", Fixed(center.m_x, decimals), "object"});
  t.AddRow({"centre Y", Fixed(center.m_y, decimals), "object"});
  t.AddRow({"centre Z", Fixed(center.m_z, decimals), "object"});
  const char* names[] = {"omega", "phi", "kappa"};
  const double angles[] = {wpk.m_w, wpk.m_p, wpk.m_k};
  for (int k = 0; k < 3; ++k) {
    t.AddRow({names[k], Fixed(angles[k] * kDegPerRad, 6), "deg"});
    t.AddRow({names[k], Fixed(angles[k], 8), "rad"});
  }
}

void WriteResidualPlot(
    const std::string& path,
    const ControlInput& in,
    const CArray<CXYZ, CXYZ&>& residuals,
    const std::string& title,
    const std::vector<std::string>& caption,
    const std::vector<double>& image_size,
    const std::vector<std::pair<double, double>>& radial,
    double frame_offset_x,
    double frame_offset_y,
    const std::vector<std::pair<double, std::string>>& radial_markers) {
  ResidualPlot plot;
  plot.title = title;
  plot.caption = caption;
  const std::string unit = in.pixel_frame ? "px" : "mm";
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
    p.x = m->second.m_x + frame_offset_x;
    p.y = ImageY(in, m->second.m_y + frame_offset_y);
    p.vx = residuals[i].m_x;
    p.vy = ImageY(in, residuals[i].m_y);
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
  if (!radial.empty()) {
    plot.radial.samples = radial;
    plot.radial.radius_unit = unit;
    plot.radial.value_unit = unit;
    plot.radial.markers = radial_markers;
  }
  WriteFileAtomically(path, RenderResidualPlot(plot));
}

std::vector<std::string> ResidualCaption(
    const std::string& method,
    const ResidualReport& res,
    const std::string& unit,
    int decimals,
    int points,
    const std::vector<std::string>& quality) {
  std::vector<std::string> caption = {
      method,
      "RMS " + Fixed(res.rms, decimals) + " " + unit + ", largest " +
          Fixed(res.largest, decimals) + " " + unit + " at " +
          res.largest_name + ", " + std::to_string(points) + " points"};
  caption.insert(caption.end(), quality.begin(), quality.end());
  return caption;
}

std::string ResidualSection(const ResidualReport& res,
                            const CXYZ& rms,
                            const std::string& unit,
                            int decimals) {
  return "\nResiduals (projected - measured, " + unit + "), largest first:\n" +
         res.table + "\n  RMS x " + Fixed(rms.m_x, decimals) + ", RMS y " +
         Fixed(rms.m_y, decimals) + ", total " + Fixed(res.rms, decimals) +
         " " + unit + "\n";
}

}  // namespace collinear::cli
