// calibrate: direct linear transformation with optional self-calibration.
#include <algorithm>
#include <cmath>
#include <sstream>

#include <collinear/distortion/dist_model.h>
#include <collinear/io/camera_file.h>
#include <collinear/io/opencv_camera.h>
#include <collinear/orientation/dlt.h>
#include <collinear/orientation/status_text.h>
#include <collinear/primitives/constants.h>
#include <collinear/quality/distortion_check.h>

#include "calibrate_views.h"
#include "camera_out.h"
#include "commands.h"
#include "control_input.h"
#include "quality_report.h"
#include "report.h"

namespace collinear::cli {
namespace {

struct CalibrateArgs {
  std::string object, image;
  double focal = 0.0;
  std::vector<double> principal_point{0.0, 0.0};
  std::string model = "none";
  bool iterate = false;
  std::string frame = "pixel";
  std::string plot;
  std::vector<double> image_size;
  CameraOutArgs out;  // --camera-out, --opencv, --pixel-size
  int decimals = 4;
  QualityArgs quality;
  // Several views of one target: the bundle adjustment instead of the DLT.
  std::vector<std::string> views;
  std::string target;
  bool free_aspect = false;
  std::string project, camera_id;  // or the images of a project's camera
};

// The DLT's self-calibrations, by distortion model.
struct SelfCalibration {
  DIST_MODEL model;
  int (CDlt::*run)();
};
const SelfCalibration kSelfCalibrations[] = {
    {DIST_K1K2K3K4, &CDlt::CalDltSelfCalib_k1k2k3k4},
    {DIST_K1K2P1P2, &CDlt::CalDltSelfCalib_k1k2p1p2},
    {DIST_K1K2K3P1P2, &CDlt::CalDltSelfCalib_k1k2k3p1p2},
};

// "none" and the names of the models the DLT self-calibrates.
std::vector<std::string> ModelChoices() {
  std::vector<std::string> names;
  for (const DistModelInfo& m : kDistModels) names.emplace_back(m.name);
  return names;
}

// (radius, radial correction) from the principal point out to the farthest
// picture corner (or control point when the picture size is unknown).
std::vector<std::pair<double, double>> RadialSamples(
    const CDlt& dlt,
    const ControlInput& in,
    const std::vector<double>& image_size) {
  std::vector<std::pair<double, double>> samples;
  if (dlt.m_Dist.m_Model == DIST_NONE) return samples;
  const double x0 = dlt.m_PrincipalPoint.m_x, y0 = dlt.m_PrincipalPoint.m_y;
  double r_max = 0.0;
  if (image_size.size() == 2 && in.pixel_frame) {
    for (double cx : {0.0, image_size[0]})
      for (double cy : {0.0, -image_size[1]})
        r_max = std::max(r_max, std::hypot(cx - x0, cy - y0));
  } else {
    for (INT_PTR i = 0; i < in.image.GetSize(); ++i)
      r_max = std::max(r_max,
                       std::hypot(in.image[i].m_x - x0, in.image[i].m_y - y0));
  }
  const int kSamples = 100;
  for (int i = 0; i <= kSamples; ++i) {
    const double r = r_max * i / kSamples;
    samples.emplace_back(
        r, RadialDistortion(dlt.m_Dist.m_Model, dlt.m_Dist.m_Para, r));
  }
  return samples;
}

// The solution in the file's frame, its quality, and what the plot needs.
struct CalibrateResult {
  ControlFit fit;
  std::string method, status;  // the solution computed; CDlt's status text
  std::vector<double> coefficients;
  double x0 = 0, y0 = 0;         // principal point, file frame
  double px0 = 0, py0 = 0;       // --principal-point in the solver frame
  double cx = 0, cy = 0, c = 0;  // principal distances and their mean
  CXYZ centre;
  CWPK wpk;
  std::vector<std::string> distortion_names;
  std::vector<double> distortion;
  // With self-calibration: where the distortion model can be inverted,
  // over the picture (whole_picture) or the control points' bounds.
  bool self_calib = false, whole_picture = false;
  DistortionValidity validity;
  std::vector<std::pair<double, double>> radial;  // RadialSamples
  CameraOut out;  // for --camera-out and --opencv, when asked for
};

CalibrateResult Compute(const CalibrateArgs& a) {
  // Non-finite option values never get here: every number option refuses
  // them as it is parsed.
  if (!(a.focal >= 0))
    throw InputError("--focal must be a finite principal distance > 0");
  CameraOutArgs out = a.out;
  out.image_size = a.image_size;
  CheckCameraOut(out, a.frame == "pixel");
  CalibrateResult r;
  r.fit.in = LoadControl(a.object, a.image, a.frame == "pixel", true);
  ControlInput& in = r.fit.in;
  r.self_calib = a.model != "none";
  // With 4 or 5 points, or coplanar ones, only the plane solution exists,
  // and it takes the principal distance as given.
  const bool plane_allowed = !r.self_calib && !a.iterate && a.focal > 0;
  const int needed = plane_allowed ? 4 : 6;
  if (in.matched < needed)
    throw InputError(
        std::to_string(in.matched) +
        " control point(s) have both object and image coordinates; this "
        "calibration needs at least " +
        std::to_string(needed) +
        (needed == 6 && !r.self_calib && !a.iterate
             ? " (4 with --focal, for the plane solution)"
             : ""));
  const std::string kPlaneNeedsFocal =
      "the control points are coplanar: the plane solution needs the "
      "principal distance (--focal, and --principal-point unless the "
      "principal point is at the image origin)";
  const double kCoplanar = 1e-9;  // thickness of a plane up to rounding
  if (!(a.focal > 0) && ThicknessRatio(in.object) < kCoplanar)
    throw InputError(kPlaneNeedsFocal);
  // The plane solution assumes the principal point at the origin of the
  // image coordinates: solve about the one given.
  r.px0 = a.principal_point[0];
  r.py0 = ImageY(in, a.principal_point[1]);
  for (INT_PTR i = 0; i < in.image.GetSize(); ++i) {
    CXYZ& p = in.image[i];
    p.SetXYZ(p.m_x - r.px0, p.m_y - r.py0, p.m_z);
  }
  if (a.iterate && !(a.focal > 0))
    throw InputError(
        "--iterate starts from the plane solution and needs "
        "--focal > 0");
  CDlt dlt;
  if (!dlt.Create(in.object, in.image, a.focal))
    throw InputError("cannot match the control points: " +
                     DltStatusInEnglish(dlt.m_Message));
  int ok = 0;
  std::string& method = r.method;
  const DistModelInfo* info = FindDistModel(a.model);
  if (info && info->model != DIST_NONE) {
    for (const SelfCalibration& c : kSelfCalibrations)
      if (c.model == info->model) ok = (dlt.*c.run)();
    method = "spatial DLT with self-calibration";
    for (int k = 0; k < info->Count(); ++k)
      method += std::string(" ") + info->para_names[k];
  } else if (a.iterate) {
    ok = dlt.CalDltIte3D();
    method =
        "iterative spatial DLT (11 coefficients; conditions towards the "
        "given principal point and cx = cy, each weighted as one "
        "observation, not enforced)";
  } else {
    ok = dlt.CalDlt();
    method = dlt.m_Dlt.GetSize() == 8 ? "plane DLT (8 coefficients)"
                                      : "spatial DLT (11 coefficients)";
  }
  r.status = DltStatusInEnglish(dlt.m_Message);
  if (ok && dlt.m_Dlt.GetSize() == 8 && !(a.focal > 0))
    throw InputError(kPlaneNeedsFocal);
  if (!ok)
    throw ComputeError(method + " failed" +
                       (r.status.empty() ? std::string() : ": " + r.status) +
                       " (control points coplanar or in a degenerate "
                       "configuration, or no convergence)");
  if (SeenFromBelow(dlt.m_Dlt)) {
    // The plane solution's pose is the mirror image of the camera's: take
    // the pose from the mirror frame; coefficients and residuals stay.
    CArray<CXYZ, CXYZ&> object, image;
    object.Copy(in.object);
    image.Copy(in.image);
    Mirror(object, image);
    CDlt mirror;
    if (!mirror.Create(object, image, a.focal) || !mirror.CalDlt2D())
      throw ComputeError(
          "the plane solution failed for the camera below the mean plane "
          "of the control points");
    dlt.m_Center = mirror.m_Center;
    dlt.m_Rot = mirror.m_Rot;
    MirrorPose(dlt.m_Center, dlt.m_Rot);
    dlt.m_Wpk.Init();
    dlt.m_Rot.CalAngle(ROT_KPW, dlt.m_Wpk);
    method += ", camera below the mean plane of the control points";
  }

  r.fit.unit = in.pixel_frame ? "px" : "image units";
  r.coefficients = CoefficientsInFileFrame(in, dlt.m_Dlt, r.px0, r.py0);
  r.x0 = dlt.m_PrincipalPoint.m_x + r.px0;
  r.y0 = ImageY(in, dlt.m_PrincipalPoint.m_y + r.py0);
  r.cx = dlt.m_FocusX;
  r.cy = dlt.m_FocusY;
  r.c = dlt.m_FocusMean;
  r.centre = ObjectPoint(in, dlt.m_Center);
  r.wpk = dlt.m_Wpk;
  r.distortion_names = DistortionParameterNames(dlt.m_Dist.m_Model);
  for (size_t k = 0; k < r.distortion_names.size(); ++k)
    r.distortion.push_back(dlt.m_Dist.m_Para[k]);
  r.fit.solver_residuals.Copy(dlt.m_Residuals);
  r.fit.residuals = SortResiduals(dlt.m_Residuals, in.pixel_frame ? -1 : 1);
  r.fit.rms = dlt.m_Rms;

  r.fit.precision =
      EstimatePrecision(dlt,
                        a.iterate && !r.self_calib ? DltInterior::kCentredEqual
                                                   : DltInterior::kFree);
  CentreToFileFrame(r.fit.precision, r.centre, in.scale);
  for (const auto& [name, offset] : {std::pair{"x0", r.px0}, {"y0", r.py0}}) {
    const int k = r.fit.precision.Find(name);
    if (k >= 0 && k < static_cast<int>(r.fit.precision.params.size()))
      r.fit.precision.params[k].value += offset;
  }
  if (in.pixel_frame) NegateParameter(r.fit.precision, "y0");
  JudgeOptions judge;
  judge.obs_sigma = r.fit.obs_sigma = a.quality.sigma >= 0
                                          ? a.quality.sigma
                                          : DefaultImageSigma(in.pixel_frame);
  r.fit.verdict = Judge(dlt, r.fit.precision, judge);
  if (r.self_calib) {
    r.whole_picture = a.image_size.size() == 2 && in.pixel_frame;
    const PictureRect picture = r.whole_picture
                                    ? PictureRect{-r.px0,
                                                  -a.image_size[1] - r.py0,
                                                  a.image_size[0] - r.px0,
                                                  -r.py0}
                                    : BoundingRect(dlt.m_ImgPoints);
    r.validity = CheckDistortion(dlt, picture);
    r.fit.verdict.Append(Judge(r.validity));
  }
  r.radial = RadialSamples(dlt, in, a.image_size);
  if (out.Wanted()) {
    PoseOut pose;
    pose.name = a.image.empty() ? a.object : a.image;
    pose.centre[0] = r.centre.m_x;
    pose.centre[1] = r.centre.m_y;
    pose.centre[2] = r.centre.m_z;
    std::copy(dlt.m_Rot.m_r, dlt.m_Rot.m_r + 9, pose.rotation);
    r.out = MakeCameraOut(
        PixelCamera{r.cx, r.cy, r.c, r.x0, r.y0, &dlt.m_Dist, &r.fit.precision},
        {pose},
        out);
  }
  return r;
}

// Several views: the DLT's own options do not apply.
int RunViews(const CalibrateArgs& a, const CommonOptions& common) {
  if (!a.object.empty() || a.focal > 0 || a.iterate || a.frame != "pixel")
    throw InputError(
        "--views takes the target from --target and image points in pixels; "
        "OBJECT_POINTS, --focal, --iterate and --image-frame belong to the "
        "DLT of one view");
  if (!a.project.empty() && (!a.views.empty() || !a.target.empty()))
    throw InputError(
        "--project takes the views from its images and the target from its "
        "points: give it without --views and --target");
  if (a.project.empty() && !a.camera_id.empty())
    throw InputError("--camera-id chooses a camera of --project");
  CalibrateViewsArgs v;
  v.project = a.project;
  v.camera_id = a.camera_id;
  v.target = a.target;
  v.views = a.views;
  v.model = a.model;
  v.free_aspect = a.free_aspect;
  v.image_size = a.image_size;
  v.plot = a.plot;
  v.decimals = a.decimals;
  v.quality = a.quality;
  v.out = a.out;
  v.out.image_size = a.image_size;
  return RunCalibrateViews(v, common);
}

Report Render(const CalibrateResult& r, const CalibrateArgs& a, int max_rows) {
  Report rep;
  Json& doc = rep.json;
  const std::string& unit = r.fit.unit;
  const int dec = a.decimals;
  doc["command"] = "calibrate";
  doc["solution"] = r.method;
  doc["status"] = r.status;
  doc["coefficients"] = r.coefficients.empty() ? Json() : Json(r.coefficients);
  doc["image_frame"] = a.frame;
  std::ostringstream t;
  t << "Camera calibration: " << r.method << "\n";
  if (!r.status.empty()) t << "  status: " << r.status << "\n";
  t << "  " << r.fit.in.matched << " control points; image coordinates in "
    << (r.fit.in.pixel_frame ? "pixels (origin top-left, y down)"
                             : "the photo frame (y up)")
    << "\n\n";

  doc["principal_point"] = {{"x", r.x0}, {"y", r.y0}};
  doc["principal_distance"] = {{"cx", r.cx}, {"cy", r.cy}, {"mean", r.c}};
  Table cam({"parameter", "value", "unit"});
  cam.AddRow({"principal point x0", Fixed(r.x0, dec), unit});
  cam.AddRow({"principal point y0", Fixed(r.y0, dec), unit});
  cam.AddRow({"principal distance cx", Fixed(r.cx, dec), unit});
  cam.AddRow({"principal distance cy", Fixed(r.cy, dec), unit});
  cam.AddRow({"principal distance c", Fixed(r.c, dec), unit});
  PoseSection(r.centre, r.wpk, dec, cam, doc);
  Json& jd = doc["distortion"] = Json::object();
  for (size_t k = 0; k < r.distortion.size(); ++k) {
    jd[r.distortion_names[k]] = r.distortion[k];
    cam.AddRow(
        {r.distortion_names[k], Exact(r.distortion[k]), unit + " powers"});
  }
  t << cam.Render() << "\n  Angles: rotation R = Rx(omega) Ry(phi) "
    << "Rz(kappa) from object to camera axes; the camera looks along its -z.\n";
  t << "\nDLT coefficients for the object coordinates as in the file and "
    << (r.fit.in.pixel_frame ? "pixels (origin top-left, y down)"
                             : "the photo frame (y up)")
    << (r.self_calib ? ", projecting to the point free of distortion" : "")
    << ":\n  "
    << (r.coefficients.size() == 8
            ? "x = (L1 X + L2 Y + L3) / (L7 X + L8 Y + 1), y = (L4 X + L5 Y "
              "+ L6) / (L7 X + L8 Y + 1)\n"
            : "x = (L1 X + L2 Y + L3 Z + L4) / (L9 X + L10 Y + L11 Z + 1), "
              "y = (L5 X + L6 Y + L7 Z + L8) / (...)\n");
  if (r.coefficients.empty())
    t << "  none: the object origin lies in the plane of the projection "
         "centre parallel to the image\n";
  for (size_t k = 0; k < r.coefficients.size(); ++k)
    t << "  L" << k + 1 << " " << Exact(r.coefficients[k])
      << (k % 4 == 3 ? "\n" : "");
  if (r.coefficients.size() % 4 != 0) t << "\n";
  rep.text = t.str();
  FitSections(r.fit, dec, max_rows, rep);
  if (r.self_calib) {
    const DistortionValidity& v = r.validity;
    doc["distortion_validity"] = {
        {"picture", r.whole_picture ? "image size" : "control point bounds"},
        {"grid",
         std::to_string(v.grid_side) + "x" + std::to_string(v.grid_side)},
        {"grid_failures", v.grid_failures},
        {"picture_radius", v.picture_radius},
        {"search_radius", v.search_radius},
        {"valid_radius", v.valid_radius},
        {"limit_found", v.limited},
        {"ok", v.Ok()}};
    rep.text +=
        "\nDistortion validity over the " +
        std::string(r.whole_picture ? "picture"
                                    : "bounding box of the control points "
                                      "(--image-size gives the picture)") +
        ":\n  invertible with an increasing radial part " +
        (v.limited ? "up to radius " : "beyond radius ") +
        Fixed(v.valid_radius, 1) + " " + unit +
        " from the principal point; the picture reaches " +
        Fixed(v.picture_radius, 1) + " " + unit + ": " +
        (v.Ok() ? "valid over the whole picture"
                : "FOLDS OVER inside the picture") +
        "\n";
  }
  CameraOutArgs out = a.out;
  out.image_size = a.image_size;
  CameraOutSection(r.out, out, dec, rep);
  CloseFit(r.fit, rep);
  return rep;
}

int RunCalibrate(const CalibrateArgs& a, const CommonOptions& common) {
  if (!a.views.empty() || !a.project.empty() || !a.camera_id.empty())
    return RunViews(a, common);
  if (a.object.empty())
    throw InputError(
        "calibrate needs OBJECT_POINTS (and IMAGE_POINTS), --views with "
        "--target, or --project");
  if (a.free_aspect || !a.target.empty())
    throw InputError(
        "--target and --free-aspect belong to a calibration from several "
        "views (--views)");
  bool dlt_model = a.model == "none";
  for (const SelfCalibration& c : kSelfCalibrations)
    dlt_model = dlt_model || FindDistModel(c.model)->name == a.model;
  if (!dlt_model)
    throw InputError("--model " + a.model +
                     ": the DLT of one view does not estimate this model; "
                     "a calibration from several views (--views) does");
  CalibrateResult r = Compute(a);
  // A failed run, unusable or failing --strict, writes no plot.
  if (!a.plot.empty() &&
      VerdictFailure(r.fit.verdict, a.quality.strict).empty()) {
    PlotLayout layout;
    layout.image_size = a.image_size;
    layout.radial = r.radial;
    layout.offset_x = r.px0;
    layout.offset_y = r.py0;
    if (r.self_calib && !r.validity.Ok())
      layout.markers.emplace_back(r.validity.valid_radius, "valid limit");
    WritePlot(a.plot, "calibrate", r.method, a.decimals, layout, r.fit);
  }
  if (a.out.Wanted() &&
      VerdictFailure(r.fit.verdict, a.quality.strict).empty()) {
    CameraOutArgs out = a.out;
    out.image_size = a.image_size;
    WriteCameraOut(out, r.out);
  }
  return PrintVerdict(
      Render(r, a, common.max_rows), r.fit.verdict, a.quality.strict, common);
}

}  // namespace

Command AddCalibrate(CLI::App& root, CommonOptions& common) {
  auto args = std::make_shared<CalibrateArgs>();
  CLI::App* app = root.add_subcommand(
      "calibrate",
      "Camera calibration by the direct linear transformation (DLT).\n"
      "OBJECT_POINTS holds name X Y Z, IMAGE_POINTS name x y; points pair by "
      "name. Give one file of 'name X Y Z x y' rows instead of the two to "
      "use the published data sets' form. Image coordinates are pixels "
      "(origin top-left, y down) unless --image-frame photo (millimetres "
      "about the principal point, y up). Without --model the spatial "
      "(11-coefficient) and the plane (8-coefficient, needs --focal and "
      "--principal-point) solutions are both computed and the one with the "
      "smaller RMS is kept; the plane solution takes a camera on either side "
      "of the plane. The object origin is moved to the centroid of the "
      "control points for the computation, so map-grid coordinates are "
      "fine; the DLT coefficients are reported for the file's own object "
      "origin and image frame.");
  app->add_option(
         "OBJECT_POINTS", args->object, "object points or control file")
      ->check(CLI::ExistingFile);
  app->add_option("IMAGE_POINTS", args->image, "image points")
      ->check(CLI::ExistingFile);
  app->add_option("--views",
                  args->views,
                  "calibrate from several views of one target instead: one "
                  "image point file (name x y, pixels) per view, matched by "
                  "name to --target; every unknown of the camera and each "
                  "view's pose in one bundle adjustment")
      ->expected(1, -1)
      ->check(CLI::ExistingFile);
  app->add_option("--target",
                  args->target,
                  "with --views: the target's points (name X Y Z), planar "
                  "or 3-D")
      ->check(CLI::ExistingFile);
  app->add_option("--project",
                  args->project,
                  "calibrate from the images of a project file instead: "
                  "their control point measurements are the views, the "
                  "project's points (working system) the target")
      ->check(CLI::ExistingFile);
  app->add_option("--camera-id",
                  args->camera_id,
                  "with --project: the camera whose images calibrate it "
                  "(needed when the project has several)");
  app->add_flag("--free-aspect",
                args->free_aspect,
                "with --views: estimate the pixel aspect (else square pixels)");
  app->add_option("--focal",
                  args->focal,
                  "principal distance in image units, for the plane and the "
                  "iterative solutions");
  app->add_option("--principal-point",
                  args->principal_point,
                  "principal point x0,y0 in the image frame's unit, which "
                  "the plane solution assumes (default 0,0); the image "
                  "coordinates are taken about it")
      ->delimiter(',')
      ->expected(2);
  app->add_option("--model",
                  args->model,
                  "self-calibrated lens distortion: none, k1k2k3k4 (radial), "
                  "k1k2p1p2 or k1k2k3p1p2 (radial and decentring); with "
                  "--views also k1k2e1e6")
      ->capture_default_str()
      ->check(CLI::IsMember(ModelChoices()));
  app->add_flag(
      "--iterate",
      args->iterate,
      "iterative spatial DLT: the 11 coefficients refined from the plane "
      "solution (needs --focal) by Gauss-Newton steps on the image "
      "residuals, with five condition equations towards the "
      "principal point of --principal-point (default the image "
      "origin) and equal principal distances. Each condition weighs "
      "as one observation, so it pulls but does not hold: x0, y0, "
      "cx and cy are estimated with the other parameters and need "
      "not meet it");
  app->add_option("--image-frame",
                  args->frame,
                  "pixel (y down) or photo (y up) image coordinates")
      ->capture_default_str()
      ->check(CLI::IsMember({"pixel", "photo"}));
  AddPlotOptions(app,
                 args->plot,
                 args->image_size,
                 "write an SVG picture of the residual vectors (and the "
                 "radial distortion curve) to this file",
                 "");
  app->add_option("--camera-out",
                  args->out.camera_out,
                  "write the calibrated camera to this camera file (JSON): "
                  "focal length, principal point, pixel size, picture size "
                  "(--image-size), distortion, with standard deviations; "
                  "not written when the run fails");
  app->add_option("--opencv",
                  args->out.opencv,
                  "write the camera in OpenCV's conventions (JSON that "
                  "cv::FileStorage reads): camera matrix, distortion "
                  "coefficients fitted over the picture (needs --image-size), "
                  "rvec and tvec; not written when the run fails");
  app->add_option("--pixel-size",
                  args->out.pixel_size,
                  "pixel pitch x[,y] in mm for --camera-out (default 1 mm, so "
                  "that the file's millimetres count pixels)")
      ->delimiter(',')
      ->expected(1, 2)
      ->check(PositiveNumber());
  AddQualityOptions(app,
                    args->quality,
                    "--image-sigma",
                    "a-priori standard deviation of one image coordinate, for "
                    "the test of the residuals (default 1 px, or 0.01 with "
                    "--image-frame photo; 0: no test)");
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunCalibrate(*args, common); }};
}

}  // namespace collinear::cli
