// calibrate --views: the camera, every view's pose, the residuals of all
// views, precision and verdict; one picture of all residuals with the radial
// distortion curve.
#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <sstream>
#include <utility>

#include <collinear/calibration/calibration.h>
#include <collinear/distortion/dist_model.h>
#include <collinear/primitives/constants.h>
#include <collinear/quality/distortion_check.h>

#include "calibrate_views.h"
#include "project_image.h"
#include "report.h"
#include "svg_plot.h"

namespace collinear::cli {
namespace {

using Points = CArray<CXYZ, CXYZ&>;

struct ViewsInput {
  Points target;
  std::vector<CalibrationView> views;
  std::vector<std::string> paths;  // of the views, for messages
};

ViewsInput LoadViews(const CalibrateViewsArgs& a) {
  if (a.target.empty())
    throw InputError("--views needs the target's object points (--target)");
  ViewsInput in;
  in.target = LoadPoints(a.target, true);
  std::set<std::string> names;
  for (INT_PTR i = 0; i < in.target.GetSize(); ++i)
    names.insert(in.target[i].m_strName.GetString());
  for (const std::string& path : a.views) {
    CalibrationView v;
    // The file name without folder and extension names the view.
    const size_t slash = path.find_last_of('/');
    v.name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    v.name = v.name.substr(0, v.name.find_last_of('.'));
    v.points = LoadPoints(path, false, false);
    int matched = 0;
    for (INT_PTR i = 0; i < v.points.GetSize(); ++i)
      matched += names.count(v.points[i].m_strName.GetString()) > 0 ? 1 : 0;
    if (matched == 0)
      throw InputError(path + ": no point of this view is in the target " +
                       a.target + " (points pair by name)");
    for (const CalibrationView& other : in.views)
      if (other.name == v.name)
        throw InputError(path + ": a second view named '" + v.name +
                         "'; view names come from the file names");
    in.views.push_back(std::move(v));
    in.paths.push_back(path);
  }
  return in;
}

// The images of one camera of a project (the only one, or camera_id) as
// views, named by their ids, and the project's points in its working
// system as the target; the camera's picture size unless one is given.
ViewsInput LoadProjectViews(CalibrateViewsArgs& a) {
  const std::unique_ptr<Project> p = LoadProject(a.project);
  std::string ids;
  for (const ProjectCamera& c : p->cameras())
    ids += (ids.empty() ? "" : ", ") + c.id;
  if (a.camera_id.empty() && p->cameras().size() != 1)
    throw InputError(a.project + ": " + std::to_string(p->cameras().size()) +
                     " cameras (" + ids + "); --camera-id chooses one");
  const ProjectCamera* cam =
      a.camera_id.empty() ? &p->cameras().front() : p->FindCamera(a.camera_id);
  if (!cam)
    throw InputError(a.project + ": no camera '" + a.camera_id +
                     "'; there are " + ids);
  ViewsInput in;
  CCrdCalculator working;  // only for the working system of the points
  for (const ProjectImage& img : p->images()) {
    if (img.camera != cam->id || img.control.empty()) continue;
    if (in.views.empty()) working.InitOrientationFromImage(img.object.get());
    CalibrationView v;
    v.name = img.id;
    for (const ProjectControl& m : img.control) {
      CXYZ q(m.point.c_str(), m.x_px, m.y_px, 0.0);
      v.points.Add(q);
    }
    in.views.push_back(std::move(v));
    in.paths.push_back(a.project + ": image " + img.id);
  }
  if (in.views.empty())
    throw InputError(a.project + ": no image of camera '" + cam->id +
                     "' has control point measurements");
  for (const ProjectPoint& pt : p->points()) {
    const P3 x =
        working.GetPointAbsCoords(p->PointObject(pt).get(), nullptr, 0);
    if (DefTriad::IsPartialUndef(x)) continue;
    CXYZ q(pt.name.c_str(), x.x, x.y, x.z);
    in.target.Add(q);
  }
  if (a.image_size.empty() && cam->width_px > 0)
    a.image_size = {static_cast<double>(cam->width_px),
                    static_cast<double>(cam->height_px)};
  return in;
}

// The library names a view in its messages: put its file in front.
std::string WithViewFile(const ViewsInput& in, const std::string& message) {
  for (size_t k = 0; k < in.views.size(); ++k)
    if (message.rfind("view " + in.views[k].name, 0) == 0 ||
        message.find("'" + in.views[k].name + "'") != std::string::npos)
      return in.paths[k] + ": " + message;
  return message;
}

// (radius, radial correction) in pixels out to the farthest picture corner.
std::vector<std::pair<double, double>> RadialCurve(const Calibration& cal,
                                                   const PictureRect& picture) {
  std::vector<std::pair<double, double>> samples;
  if (cal.dist.m_Model == DIST_NONE) return samples;
  double r_max = 0.0;
  for (double x : {picture.x_min, picture.x_max})
    for (double y : {picture.y_min, picture.y_max})
      r_max = std::max(r_max, std::hypot(x - cal.x0, y - cal.y0));
  const int kSamples = 100;
  for (int i = 0; i <= kSamples; ++i) {
    const double r = r_max * i / kSamples;
    samples.emplace_back(
        r, RadialDistortion(cal.dist.m_Model, cal.dist.m_Para, r));
  }
  return samples;
}

// The picture: --image-size, else the image points' bounding box.
PictureRect Picture(const ViewsInput& in, const std::vector<double>& size) {
  if (size.size() == 2) return {0.0, 0.0, size[0], size[1]};
  PictureRect r{1e300, 1e300, -1e300, -1e300};
  for (const CalibrationView& v : in.views)
    for (INT_PTR i = 0; i < v.points.GetSize(); ++i) {
      r.x_min = std::min(r.x_min, v.points[i].m_x);
      r.x_max = std::max(r.x_max, v.points[i].m_x);
      r.y_min = std::min(r.y_min, v.points[i].m_y);
      r.y_max = std::max(r.y_max, v.points[i].m_y);
    }
  return r;
}

void WriteViewsPlot(const std::string& path,
                    const Calibration& cal,
                    const ViewsInput& in,
                    const CalibrateViewsArgs& a,
                    const std::string& method) {
  ResidualPlot plot;
  plot.title = "collinear calibrate: residuals of " +
               std::to_string(cal.views.size()) + " views";
  const PictureRect picture = Picture(in, a.image_size);
  if (a.image_size.size() == 2) {
    plot.frame = PixelFrame(a.image_size[0], a.image_size[1]);
  } else {
    const double m = 0.05 * std::max(picture.x_max - picture.x_min,
                                     picture.y_max - picture.y_min);
    plot.frame.x_min = picture.x_min - m;
    plot.frame.x_max = picture.x_max + m;
    plot.frame.y_min = picture.y_min - m;
    plot.frame.y_max = picture.y_max + m;
  }
  std::set<std::string> outliers;
  for (const Warning& w : cal.verdict.warnings)
    if (w.reason == VerdictReason::kOutlier) outliers.insert(w.point);
  for (size_t k = 0; k < cal.views.size(); ++k) {
    std::map<std::string, CXYZ> measured;
    const Points& pts = in.views[k].points;
    for (INT_PTR i = 0; i < pts.GetSize(); ++i)
      measured[pts[i].m_strName.GetString()] = pts[i];
    const Points& res = cal.views[k].residuals;
    for (INT_PTR i = 0; i < res.GetSize(); ++i) {
      const auto m = measured.find(res[i].m_strName.GetString());
      if (m == measured.end()) continue;
      PlotPoint p;
      p.name = cal.views[k].name + "/" + m->first;
      p.x = m->second.m_x;
      p.y = m->second.m_y;
      p.vx = res[i].m_x;
      p.vy = res[i].m_y;
      p.outlier = outliers.count(p.name) > 0;
      plot.points.push_back(p);
    }
  }
  plot.caption = {method,
                  "RMS " + Fixed(cal.Rms(), a.decimals) +
                      " px per coordinate over " + std::to_string(cal.points) +
                      " points in " + std::to_string(cal.views.size()) +
                      " views"};
  for (const std::string& line :
       QualityCaption(cal.verdict, cal.camera, {"target units", "px"}))
    plot.caption.push_back(line);
  plot.radial.samples = RadialCurve(cal, picture);
  plot.radial.radius_unit = plot.radial.value_unit = "px";
  if (!cal.validity.Ok())
    plot.radial.markers.emplace_back(cal.validity.valid_radius, "valid limit");
  WriteFileAtomically(path, RenderResidualPlot(plot));
}

Report Render(const Calibration& cal,
              const std::string& method,
              const CalibrateViewsArgs& a,
              const CameraOut& out,
              const CommonOptions& common) {
  Report rep;
  Json& doc = rep.json;
  const int dec = a.decimals;
  doc["command"] = "calibrate";
  doc["solution"] = method;
  doc["views"] = Json::array();
  std::ostringstream t;
  t << "Camera calibration: " << method << "\n  " << cal.points
    << " image points in " << cal.views.size() << " views, " << cal.iterations
    << " iterations; pixels (origin top-left, y down), target units for "
       "the centres\n\n";
  Json& cam = doc["camera"] = Json::object();
  Table tc({"parameter", "value", "unit"});
  for (const Parameter& p : cal.camera.params) {
    const bool dist = p.kind == ParamKind::kDistortion;
    cam[p.name] = p.value;
    tc.AddRow({p.name,
               dist ? Exact(p.value) : Fixed(p.value, dec),
               dist                           ? "px powers"
               : p.kind == ParamKind::kScalar ? ""
                                              : "px"});
  }
  cam["distortion_model"] = FindDistModel(cal.dist.m_Model)->name;
  t << tc.Render() << "\n";

  Table tv({"view",
            "points",
            "X",
            "Y",
            "Z",
            "omega",
            "phi",
            "kappa",
            "RMS x",
            "RMS y"});
  for (const CalibratedView& v : cal.views) {
    Json jv = {{"name", v.name}, {"points", v.residuals.GetSize()}};
    Table ignored({""});
    PoseSection(v.centre, v.wpk, dec, ignored, jv);
    jv["sigma"] = {{"X", v.sigma[0]},
                   {"Y", v.sigma[1]},
                   {"Z", v.sigma[2]},
                   {"omega", v.sigma[3]},
                   {"phi", v.sigma[4]},
                   {"kappa", v.sigma[5]}};
    jv["rms"] = {{"x", v.rms_x}, {"y", v.rms_y}};
    doc["views"].push_back(jv);
    tv.AddRow({v.name,
               std::to_string(v.residuals.GetSize()),
               Fixed(v.centre.m_x, dec),
               Fixed(v.centre.m_y, dec),
               Fixed(v.centre.m_z, dec),
               Fixed(v.wpk.m_w * kDegPerRad, 4),
               Fixed(v.wpk.m_p * kDegPerRad, 4),
               Fixed(v.wpk.m_k * kDegPerRad, 4),
               Fixed(v.rms_x, dec),
               Fixed(v.rms_y, dec)});
  }
  t << "Views (centre in target units, angles in degrees: R = Rx(omega) "
       "Ry(phi) Rz(kappa) from target to camera axes, the camera looking "
       "along its -z; RMS in px):\n"
    << tv.Render();
  rep.text = t.str();

  Points all;
  for (const CalibratedView& v : cal.views)
    for (INT_PTR i = 0; i < v.residuals.GetSize(); ++i) {
      CXYZ r((v.name + "/" + v.residuals[i].m_strName.GetString()).c_str(),
             v.residuals[i].m_x,
             v.residuals[i].m_y,
             0.0);
      all.Add(r);
    }
  ResidualSection(SortResiduals(all),
                  CXYZ(cal.rms_x, cal.rms_y, std::hypot(cal.rms_x, cal.rms_y)),
                  "px",
                  dec,
                  common.max_rows,
                  rep);
  const double sigma = a.quality.sigma >= 0 ? a.quality.sigma : 1.0;
  PrecisionSection(cal.camera, {"target units", "px"}, sigma, dec, rep);
  const DistortionValidity& v = cal.validity;
  if (cal.dist.m_Model != DIST_NONE) {
    doc["distortion_validity"] = {
        {"picture",
         a.image_size.size() == 2 ? "image size" : "image point bounds"},
        {"picture_radius", v.picture_radius},
        {"valid_radius", v.valid_radius},
        {"ok", v.Ok()}};
    rep.text += "\nDistortion validity over the " +
                std::string(a.image_size.size() == 2
                                ? "picture"
                                : "bounding box of the image points "
                                  "(--image-size gives the picture)") +
                ": " +
                (v.Ok() ? "valid over the whole picture"
                        : "FOLDS OVER beyond radius " +
                              Fixed(v.valid_radius, 1) + " px") +
                "\n";
  }
  CameraOutSection(out, a.out, dec, rep);
  VerdictSection(cal.verdict, rep);
  return rep;
}

}  // namespace

int RunCalibrateViews(CalibrateViewsArgs a, const CommonOptions& common) {
  ViewsInput in = a.project.empty() ? LoadViews(a) : LoadProjectViews(a);
  a.out.image_size = a.image_size;
  CheckCameraOut(a.out, true);
  // Map-grid coordinates: the adjustment works about the target's
  // centroid, which the centres get back.
  CXYZ centroid(0.0, 0.0, 0.0);
  for (INT_PTR i = 0; i < in.target.GetSize(); ++i) {
    centroid.m_x += in.target[i].m_x / static_cast<double>(in.target.GetSize());
    centroid.m_y += in.target[i].m_y / static_cast<double>(in.target.GetSize());
    centroid.m_z += in.target[i].m_z / static_cast<double>(in.target.GetSize());
  }
  for (INT_PTR i = 0; i < in.target.GetSize(); ++i) {
    in.target[i].m_x -= centroid.m_x;
    in.target[i].m_y -= centroid.m_y;
    in.target[i].m_z -= centroid.m_z;
  }
  CalibrationOptions opt;
  const DistModelInfo* info = FindDistModel(a.model);
  if (!info) throw InputError("unknown --model " + a.model);
  opt.model = info->model;
  opt.free_aspect = a.free_aspect;
  opt.sigma_px = a.quality.sigma >= 0 ? a.quality.sigma : 1.0;
  if (a.image_size.size() == 2) {
    opt.picture_width = a.image_size[0];
    opt.picture_height = a.image_size[1];
  }
  Calibration cal = Calibrate(in.target, in.views, opt);
  for (CalibratedView& v : cal.views) {
    v.centre.m_x += centroid.m_x;
    v.centre.m_y += centroid.m_y;
    v.centre.m_z += centroid.m_z;
  }
  if (cal.status == CalibrationStatus::kBadInput)
    throw InputError(WithViewFile(in, cal.message));
  if (cal.status == CalibrationStatus::kFailed)
    throw ComputeError("calibration from " + std::to_string(in.views.size()) +
                       " views failed: " + cal.message);
  std::string method = "bundle adjustment of " +
                       std::to_string(cal.views.size()) + " views of a " +
                       (cal.planar ? "planar" : "3-D") + " target";
  method += info->model == DIST_NONE
                ? ", no lens distortion"
                : std::string(", lens distortion ") + info->name;
  if (a.free_aspect) method += ", free pixel aspect";
  CameraOut out;
  if (a.out.Wanted()) {
    std::vector<PoseOut> poses;
    for (const CalibratedView& v : cal.views) {
      PoseOut p;
      p.name = v.name;
      p.centre[0] = v.centre.m_x;
      p.centre[1] = v.centre.m_y;
      p.centre[2] = v.centre.m_z;
      std::copy(v.rot.m_r, v.rot.m_r + 9, p.rotation);
      poses.push_back(p);
    }
    // Rows are aspect times taller than columns are wide in photo units:
    // the principal distance in rows is c / aspect.
    out = MakeCameraOut(PixelCamera{cal.c,
                                    cal.c / cal.aspect,
                                    cal.c,
                                    cal.x0,
                                    cal.y0,
                                    &cal.dist,
                                    &cal.camera},
                        poses,
                        a.out);
  }
  const bool succeeds = VerdictFailure(cal.verdict, a.quality.strict).empty();
  if (succeeds && a.out.Wanted()) WriteCameraOut(a.out, out);
  Report rep = Render(cal, method, a, out, common);
  if (!a.plot.empty() && succeeds) {
    WriteViewsPlot(a.plot, cal, in, a, method);
    rep.json["plot"] = a.plot;
  }
  return PrintVerdict(rep, cal.verdict, a.quality.strict, common);
}

}  // namespace collinear::cli
