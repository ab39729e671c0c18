// orient: images oriented by space resection from their control points,
// optionally written back into the project file.
#include <cmath>
#include <sstream>

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

int RunOrient(const OrientArgs& a, const CommonOptions& common) {
  const std::unique_ptr<Project> p = LoadProject(a.project);
  std::vector<const ProjectImage*> images;
  if (!a.image.empty()) {
    const ProjectImage& img = RequireImage(*p, a.image);
    if (img.control.empty())
      throw InputError("image '" + img.id +
                       "' has no control-point measurements to orient it");
    images.push_back(&img);
  } else {
    for (const ProjectImage& img : p->images())
      if (!img.control.empty()) images.push_back(&img);
    if (images.empty())
      throw InputError(a.project + ": no image has control-point measurements");
  }

  Json doc;
  doc["command"] = "orient";
  Json jimages = Json::array();
  std::ostringstream text;
  Table summary({"image",
                 "X [m]",
                 "Y [m]",
                 "Z [m]",
                 "omega [deg]",
                 "phi [deg]",
                 "kappa [deg]",
                 "points",
                 "RMS [px]"});
  std::vector<std::pair<std::string, ExteriorOrientation>> results;
  std::vector<std::string> bad_input, failed;
  for (const ProjectImage* img : images) {
    CCrdCalculator c;
    c.InitCameraFromImage(img->object.get());
    UsePictureSize(*p, *img, c);
    c.InitOrientationFromControlPts(img->object.get());
    Json ji = {{"id", img->id}, {"control_points", img->control.size()}};
    const bool few = img->control.size() < kMinControlPoints;
    std::string why;
    if (few)
      why = std::to_string(img->control.size()) +
            " control point(s); a resection needs at least " +
            std::to_string(kMinControlPoints);
    else if (!c.IsOrientationValid())
      why =
          "the space resection did not converge (are the points spread over "
          "the picture and not all on one line?)";
    else
      why = Degenerate(*p, *img, c);
    if (!why.empty()) {
      (few ? bad_input : failed).push_back("image '" + img->id + "': " + why);
      ji["status"] = "failed";
      ji["reason"] = why;
      jimages.push_back(ji);
      summary.AddRow({img->id,
                      "-",
                      "-",
                      "-",
                      "-",
                      "-",
                      "-",
                      std::to_string(img->control.size()),
                      "not oriented"});
      continue;
    }
    // Residuals: the control points projected with the new orientation.
    CArray<CXYZ, CXYZ&> res;
    for (const ProjectControl& m : img->control) {
      P2 px(kUndefined, kUndefined);
      const ProjectPoint* pt = p->FindPoint(m.point);
      if (!c.GetPointOnImageCoords(pt->object.get(), px, false)) continue;
      CXYZ r(m.point.c_str(), px.x - m.x_px, px.y - m.y_px, 0.0);
      res.Add(r);
    }
    const ResidualReport rep =
        MakeResidualReport(res, a.decimals, 1.0, common.max_rows);
    const P3 o = c.GetOrigin();
    const CWPK ang = Angles(c);
    ExteriorOrientation x;
    x.x = o.x;
    x.y = o.y;
    x.z = o.z;
    x.omega = ang.m_w;
    x.phi = ang.m_p;
    x.kappa = ang.m_k;
    results.emplace_back(img->id, x);
    ji["status"] = "oriented";
    ji["projection_centre"] = PointJson(o);
    ji["angles"] = AngleJson(ang);
    ji["rms_px"] = rep.rms;
    ji["residuals_px"] = rep.json;
    jimages.push_back(ji);
    summary.AddRow({img->id,
                    Fixed(o.x, a.decimals),
                    Fixed(o.y, a.decimals),
                    Fixed(o.z, a.decimals),
                    Fixed(ang.m_w * kDegPerRad, a.decimals + 2),
                    Fixed(ang.m_p * kDegPerRad, a.decimals + 2),
                    Fixed(ang.m_k * kDegPerRad, a.decimals + 2),
                    std::to_string(img->control.size()),
                    Fixed(rep.rms, a.decimals)});
    text << "\nImage " << img->id << ": space resection from "
         << img->control.size() << " control points, RMS "
         << Fixed(rep.rms, a.decimals) << " px\n"
         << OrientationTable(c, a.decimals)
         << "Residuals (projected - measured, pixels, y down):\n"
         << rep.table;
  }
  doc["images"] = jimages;
  doc["angle_convention"] =
      "R = Rx(omega) Ry(phi) Rz(kappa), object to camera; the camera looks "
      "along -z";

  const bool ok = bad_input.empty() && failed.empty();
  std::string written;
  if (a.write && ok) {
    std::string error;
    if (!WriteExteriorOrientations(a.project, results, error))
      throw InputError(error);
    written = a.project;
  }
  doc["written"] = written.empty() ? Json() : Json(written);

  std::ostringstream head;
  head << "Exterior orientation from control points, working system "
       << p->working_system()
       << " (angles: R = Rx(omega) Ry(phi) Rz(kappa), object to camera)\n\n"
       << summary.Render() << text.str();
  if (!written.empty())
    head << "\nWritten to " << written << " (images[].exterior, angles in "
         << p->angle_unit() << ")\n";
  Emit(common, doc, head.str());

  std::string problems;
  for (const auto* list : {&bad_input, &failed})
    for (const std::string& s : *list) problems += "\n  " + s;
  if (!ok) {
    const std::string msg =
        std::to_string(bad_input.size() + failed.size()) + " of " +
        std::to_string(images.size()) + " image(s) not oriented" +
        (a.write ? " (nothing written)" : "") + ":" + problems;
    if (!failed.empty()) throw ComputeError(msg);
    throw InputError(msg);
  }
  return kExitOk;
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
