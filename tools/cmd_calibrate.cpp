// calibrate: direct linear transformation with optional self-calibration.
#include <algorithm>
#include <cmath>
#include <sstream>

#include <collinear/orientation/dlt.h>
#include <collinear/orientation/status_text.h>
#include <collinear/primitives/constants.h>
#include <collinear/quality/distortion_check.h>

#include "commands.h"
#include "control_input.h"
#include "quality_report.h"

namespace collinear::cli {
namespace {

struct CalibrateArgs {
  std::string object, image;
  double focal = 0.0;
  std::string model = "none";
  bool iterate = false;
  std::string frame = "pixel";
  std::string plot;
  std::vector<double> image_size;
  int decimals = 4;
  QualityArgs quality;
};

// Radial part of the correction of the self-calibrated model at radius r.
double RadialCorrection(const CDist& d, double r) {
  const double r2 = r * r, r4 = r2 * r2, r6 = r4 * r2, r8 = r6 * r2;
  const double* k = d.m_Para;
  switch (d.m_Model) {
    case DIST_K1K2K3K4:
      return r * (k[0] * r2 + k[1] * r4 + k[2] * r6 + k[3] * r8);
    case DIST_K1K2P1P2:
      return r * (k[0] * r2 + k[1] * r4);
    case DIST_K1K2K3P1P2:
      return r * (k[0] * r2 + k[1] * r4 + k[2] * r6);
    default:
      return 0.0;
  }
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
    samples.emplace_back(r, RadialCorrection(dlt.m_Dist, r));
  }
  return samples;
}

int RunCalibrate(const CalibrateArgs& a, const CommonOptions& common) {
  ControlInput in = LoadControl(a.object, a.image, a.frame == "pixel", true);
  const bool self_calib = a.model != "none";
  const int needed = (self_calib || a.iterate) ? 6 : 4;
  if (in.matched < needed)
    throw InputError(std::to_string(in.matched) +
                     " control point(s) have both object and image "
                     "coordinates; this solution needs at least " +
                     std::to_string(needed));
  if (a.iterate && !(a.focal > 0))
    throw InputError(
        "--iterate starts from the plane solution and needs "
        "--focal > 0");
  CDlt dlt;
  if (!dlt.Create(in.object, in.image, a.focal))
    throw InputError("cannot match the control points: " +
                     StatusTextToUtf8(dlt.m_Message));
  int ok = 0;
  std::string method;
  if (a.model == "k1k2k3k4") {
    ok = dlt.CalDltSelfCalib_k1k2k3k4();
    method = "spatial DLT with self-calibration k1 k2 k3 k4";
  } else if (a.model == "k1k2p1p2") {
    ok = dlt.CalDltSelfCalib_k1k2p1p2();
    method = "spatial DLT with self-calibration k1 k2 p1 p2";
  } else if (a.model == "k1k2k3p1p2") {
    ok = dlt.CalDltSelfCalib_k1k2k3p1p2();
    method = "spatial DLT with self-calibration k1 k2 k3 p1 p2";
  } else if (a.iterate) {
    ok = dlt.CalDltIte3D();
    method =
        "iterative spatial DLT (principal point at the origin, equal "
        "principal distances)";
  } else {
    ok = dlt.CalDlt();
    method = dlt.m_Dlt.GetSize() == 8 ? "plane DLT (8 coefficients)"
                                      : "spatial DLT (11 coefficients)";
  }
  const std::string status = StatusTextToUtf8(dlt.m_Message);
  if (!ok)
    throw ComputeError(method + " failed" +
                       (status.empty() ? std::string() : ": " + status) +
                       " (control points coplanar or in a degenerate "
                       "configuration, or no convergence)");

  const CXYZ center = ObjectPoint(in, dlt.m_Center);
  PrecisionReport precision =
      EstimatePrecision(dlt,
                        a.iterate && !self_calib ? DltInterior::kCentredEqual
                                                 : DltInterior::kFree);
  CentreToFileFrame(precision, center, in.scale);
  if (in.pixel_frame) NegateParameter(precision, "y0");
  JudgeOptions judge;
  judge.obs_sigma = a.quality.sigma >= 0 ? a.quality.sigma
                                         : DefaultImageSigma(in.pixel_frame);
  Verdict verdict = Judge(dlt, precision, judge);
  const double x0 = dlt.m_PrincipalPoint.m_x;
  const double y0 = ImageY(in, dlt.m_PrincipalPoint.m_y);
  const ResidualReport res = MakeResidualReport(
      dlt.m_Residuals, a.decimals, in.pixel_frame ? -1 : 1, common.max_rows);
  const std::string unit = in.pixel_frame ? "px" : "image units";

  Json doc;
  doc["command"] = "calibrate";
  doc["solution"] = method;
  doc["status"] = status;
  doc["coefficients"] = Json::array();
  for (INT_PTR i = 0; i < dlt.m_Dlt.GetSize(); ++i)
    doc["coefficients"].push_back(dlt.m_Dlt[i]);
  doc["image_frame"] = a.frame;
  doc["principal_point"] = {{"x", x0}, {"y", y0}};
  doc["principal_distance"] = {
      {"cx", dlt.m_FocusX}, {"cy", dlt.m_FocusY}, {"mean", dlt.m_FocusMean}};
  AddPoseJson(doc, center, dlt.m_Wpk);
  const std::vector<std::string> dnames =
      DistortionParameterNames(dlt.m_Dist.m_Model);
  Json jd = Json::object();
  for (size_t k = 0; k < dnames.size(); ++k)
    jd[dnames[k]] = dlt.m_Dist.m_Para[k];
  doc["distortion"] = jd;
  doc["residuals"] = res.json;
  doc["rms"] = {{"x", dlt.m_Rms.m_x}, {"y", dlt.m_Rms.m_y}, {"total", res.rms}};
  const QualityUnits units{"object units", unit};
  doc["precision"] = PrecisionJson(precision, units);
  doc["a_priori_sigma"] = judge.obs_sigma;

  std::ostringstream t;
  t << "Camera calibration: " << method << "\n";
  if (!status.empty()) t << "  status: " << status << "\n";
  t << "  " << in.matched << " control points; image coordinates in "
    << (in.pixel_frame ? "pixels (origin top-left, y down)"
                       : "the photo frame (y up)")
    << "\n\n";
  Table cam({"parameter", "value", "unit"});
  cam.AddRow({"principal point x0", Fixed(x0, a.decimals), unit});
  cam.AddRow({"principal point y0", Fixed(y0, a.decimals), unit});
  cam.AddRow({"principal distance cx", Fixed(dlt.m_FocusX, a.decimals), unit});
  cam.AddRow({"principal distance cy", Fixed(dlt.m_FocusY, a.decimals), unit});
  cam.AddRow(
      {"principal distance c", Fixed(dlt.m_FocusMean, a.decimals), unit});
  AddPoseRows(cam, center, dlt.m_Wpk, a.decimals);
  for (size_t k = 0; k < dnames.size(); ++k)
    cam.AddRow({dnames[k], Exact(dlt.m_Dist.m_Para[k]), unit + " powers"});
  t << cam.Render() << "\n  Angles: rotation R = Rx(omega) Ry(phi) "
    << "Rz(kappa) from object to camera axes; the camera looks along its -z.\n"
    << ResidualSection(res, dlt.m_Rms, unit, a.decimals)
    << PrecisionSection(precision, units, judge.obs_sigma, a.decimals);
  std::vector<std::pair<double, std::string>> markers;
  if (self_calib) {
    const bool whole_picture = a.image_size.size() == 2 && in.pixel_frame;
    const PictureRect picture =
        whole_picture ? PictureRect{0.0, -a.image_size[1], a.image_size[0], 0.0}
                      : BoundingRect(dlt.m_ImgPoints);
    const DistortionValidity validity = CheckDistortion(dlt, picture);
    verdict.Append(Judge(validity));
    doc["distortion_validity"] = {
        {"picture", whole_picture ? "image size" : "control point bounds"},
        {"grid",
         std::to_string(validity.grid_side) + "x" +
             std::to_string(validity.grid_side)},
        {"grid_failures", validity.grid_failures},
        {"picture_radius", validity.picture_radius},
        {"search_radius", validity.search_radius},
        {"valid_radius", validity.valid_radius},
        {"limit_found", validity.limited},
        {"ok", validity.Ok()}};
    t << "\nDistortion validity over the "
      << (whole_picture ? "picture"
                        : "bounding box of the control points "
                          "(--image-size gives the picture)")
      << ":\n  invertible with an increasing radial part "
      << (validity.limited ? "up to radius " : "beyond radius ")
      << Fixed(validity.valid_radius, 1) << " " << unit
      << " from the principal point; the picture reaches "
      << Fixed(validity.picture_radius, 1) << " " << unit << ": "
      << (validity.Ok() ? "valid over the whole picture"
                        : "FOLDS OVER inside the picture")
      << "\n";
    if (!validity.Ok())
      markers.emplace_back(validity.valid_radius, "valid limit");
  }
  doc["verdict"] = VerdictJson(verdict);
  t << VerdictSection(verdict);
  if (!a.plot.empty()) {
    WriteResidualPlot(
        a.plot,
        in,
        dlt.m_Residuals,
        "collinear calibrate: residuals",
        ResidualCaption(method,
                        res,
                        unit,
                        a.decimals,
                        in.matched,
                        QualityCaption(verdict, precision, units)),
        a.image_size,
        RadialSamples(dlt, in, a.image_size),
        0.0,
        0.0,
        markers);
    doc["plot"] = a.plot;
  }
  Emit(common, doc, t.str());
  return VerdictExitCode(verdict, a.quality.strict);
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
      "(11-coefficient) and the plane (8-coefficient, needs --focal and a "
      "principal point at the image origin) solutions are both computed and "
      "the one with the smaller RMS is kept. The object origin is moved to "
      "the centroid of the control points for the computation, so map-grid "
      "coordinates are fine.");
  AddControlFiles(app, args->object, args->image);
  app->add_option("--focal",
                  args->focal,
                  "principal distance in image units, for the plane and the "
                  "iterative solutions");
  app->add_option("--model",
                  args->model,
                  "self-calibrated lens distortion: none, k1k2k3k4 (radial), "
                  "k1k2p1p2 or k1k2k3p1p2 (radial and decentring)")
      ->capture_default_str()
      ->check(CLI::IsMember({"none", "k1k2k3k4", "k1k2p1p2", "k1k2k3p1p2"}));
  app->add_flag("--iterate",
                args->iterate,
                "iterative spatial DLT with the principal point at the image "
                "origin and equal principal distances");
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
