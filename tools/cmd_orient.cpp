// orient: images oriented by space resection from their control points,
// optionally written back into the project file.
#include <cstddef>

#include <collinear/primitives/constants.h>

#include "commands.h"
#include "project_image.h"

namespace collinear::cli {
namespace {

struct OrientArgs {
  std::string project, image;
  bool write = false;
  int decimals = 4;
};

// One image oriented from its control points, or why not.
struct OrientedImage {
  std::string id;
  std::size_t control_points = 0;
  std::string failure;   // empty: oriented
  bool too_few = false;  // failed for lack of control points (bad input)
  Pose pose;
  Residuals residuals;  // projected - measured, pixels, y down
};

struct OrientResult {
  std::string working_system, angle_unit;
  std::vector<OrientedImage> images;
  std::string written;  // the project file, when --write stored the poses
  bool AllOriented() const {
    for (const OrientedImage& i : images)
      if (!i.failure.empty()) return false;
    return true;
  }
};

OrientResult Compute(const OrientArgs& a, const Project& p) {
  std::vector<const ProjectImage*> images;
  if (!a.image.empty()) {
    const ProjectImage& img = RequireImage(p, a.image);
    if (img.control.empty())
      throw InputError("image '" + img.id +
                       "' has no control-point measurements to orient it");
    images.push_back(&img);
  } else {
    for (const ProjectImage& img : p.images())
      if (!img.control.empty()) images.push_back(&img);
    if (images.empty())
      throw InputError(a.project + ": no image has control-point measurements");
  }
  OrientResult r;
  r.working_system = p.working_system();
  r.angle_unit = p.angle_unit();
  for (const ProjectImage* img : images) {
    CCrdCalculator c;
    c.InitCameraFromImage(img->object.get());
    UsePictureSize(p, *img, c);
    c.InitOrientationFromControlPts(img->object.get());
    OrientedImage o;
    o.id = img->id;
    o.control_points = img->control.size();
    o.too_few = img->control.size() < kMinControlPoints;
    if (o.too_few)
      o.failure = std::to_string(img->control.size()) +
                  " control point(s); a resection needs at least " +
                  std::to_string(kMinControlPoints);
    else if (!c.IsOrientationValid())
      o.failure =
          "the space resection did not converge (are the points spread over "
          "the picture and not all on one line?)";
    else
      o.failure = Degenerate(p, *img, c);
    if (o.failure.empty()) {
      // Residuals: the control points projected with the new orientation.
      CArray<CXYZ, CXYZ&> res;
      for (const ProjectControl& m : img->control) {
        P2 px(kUndefined, kUndefined);
        const ProjectPoint* pt = p.FindPoint(m.point);
        if (!c.GetPointOnImageCoords(pt->object.get(), px, false)) continue;
        CXYZ v(m.point.c_str(), px.x - m.x_px, px.y - m.y_px, 0.0);
        res.Add(v);
      }
      o.residuals = SortResiduals(res);
      o.pose = PoseOf(c);
    }
    r.images.push_back(o);
  }
  return r;
}

// Stores the poses as the images' exterior orientation. Throws InputError.
void WritePoses(const OrientResult& r, const std::string& path) {
  std::vector<std::pair<std::string, ExteriorOrientation>> poses;
  for (const OrientedImage& i : r.images) {
    ExteriorOrientation x;
    x.x = i.pose.centre.x;
    x.y = i.pose.centre.y;
    x.z = i.pose.centre.z;
    x.omega = i.pose.angles.m_w;
    x.phi = i.pose.angles.m_p;
    x.kappa = i.pose.angles.m_k;
    poses.emplace_back(i.id, x);
  }
  std::string error;
  if (!WriteExteriorOrientations(path, poses, error)) throw InputError(error);
}

Report Render(const OrientResult& r, int decimals, int max_rows) {
  Report rep;
  Json& doc = rep.json;
  doc["command"] = "orient";
  Json& jimages = doc["images"] = Json::array();
  std::string details;
  Table summary({"image",
                 "X [m]",
                 "Y [m]",
                 "Z [m]",
                 "omega [deg]",
                 "phi [deg]",
                 "kappa [deg]",
                 "points",
                 "RMS [px]"});
  for (const OrientedImage& i : r.images) {
    const std::string points = std::to_string(i.control_points);
    Json ji = {{"id", i.id}, {"control_points", i.control_points}};
    if (!i.failure.empty()) {
      ji["status"] = "failed";
      ji["reason"] = i.failure;
      jimages.push_back(ji);
      summary.AddRow(
          {i.id, "-", "-", "-", "-", "-", "-", points, "not oriented"});
      continue;
    }
    const P3& o = i.pose.centre;
    const CWPK& ang = i.pose.angles;
    const double rms = i.residuals.rms;
    ji["status"] = "oriented";
    details += "\nImage " + i.id + ": space resection from " + points +
               " control points, RMS " + Fixed(rms, decimals) + " px\n";
    OrientationSection(i.pose, decimals, details, ji);
    ji["rms_px"] = rms;
    details += "Residuals (projected - measured, pixels, y down):\n";
    ResidualRows(i.residuals, decimals, max_rows, details, ji["residuals_px"]);
    jimages.push_back(ji);
    summary.AddRow({i.id,
                    Fixed(o.x, decimals),
                    Fixed(o.y, decimals),
                    Fixed(o.z, decimals),
                    Fixed(ang.m_w * kDegPerRad, decimals + 2),
                    Fixed(ang.m_p * kDegPerRad, decimals + 2),
                    Fixed(ang.m_k * kDegPerRad, decimals + 2),
                    points,
                    Fixed(rms, decimals)});
  }
  doc["angle_convention"] =
      "R = Rx(omega) Ry(phi) Rz(kappa), object to camera; the camera looks "
      "along -z";
  doc["written"] = r.written.empty() ? Json() : Json(r.written);
  rep.text = "Exterior orientation from control points, working system " +
             r.working_system +
             " (angles: R = Rx(omega) Ry(phi) Rz(kappa), object to "
             "camera)\n\n" +
             summary.Render() + details;
  if (!r.written.empty())
    rep.text += "\nWritten to " + r.written +
                " (images[].exterior, angles in " + r.angle_unit + ")\n";
  return rep;
}

int RunOrient(const OrientArgs& a, const CommonOptions& common) {
  const std::unique_ptr<Project> p = LoadProject(a.project);
  OrientResult r = Compute(a, *p);
  const bool ok = r.AllOriented();
  if (a.write && ok) {
    WritePoses(r, a.project);
    r.written = a.project;
  }
  const Report report = Render(r, a.decimals, common.max_rows);
  if (ok) {
    Print(report, common);
    return kExitOk;
  }
  // Images short of control points first: bad input; then failures.
  std::string problems;
  std::size_t n = 0;
  bool failed = false;
  for (bool too_few : {true, false})
    for (const OrientedImage& i : r.images)
      if (!i.failure.empty() && i.too_few == too_few) {
        problems += "\n  image '" + i.id + "': " + i.failure;
        ++n;
        failed = failed || !too_few;
      }
  const std::string msg =
      std::to_string(n) + " of " + std::to_string(r.images.size()) +
      " image(s) not oriented" + (a.write ? " (nothing written)" : "") + ":" +
      problems;
  return PrintFailure(
      report, msg, failed ? kExitFailed : kExitBadInput, common);
}

}  // namespace

Command AddOrient(CLI::App& root, CommonOptions& common) {
  auto args = std::make_shared<OrientArgs>();
  CLI::App* app = AddProjectCommand(
      root,
      "orient",
      "Orient images by space resection from their control "
      "points.\nEvery image with control-point measurements "
      "(or only --image) is oriented with its camera (focal "
      "length, principal point, distortion) from at least 4 "
      "control points; prints the projection centre, the angles "
      "in degrees and radians and the residuals in pixels. "
      "--write stores the results as the images' exterior "
      "orientation in the project file (in its angle unit), only "
      "when every image was oriented.\n",
      args->project);
  app->add_option("--image", args->image, "orient only this image");
  app->add_flag("--write",
                args->write,
                "write the exterior orientations into the project file");
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunOrient(*args, common); }};
}

}  // namespace collinear::cli
