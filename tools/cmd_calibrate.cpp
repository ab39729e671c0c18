// calibrate: direct linear transformation with optional self-calibration.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

#include <collinear/distortion/dist_model.h>
#include <collinear/io/camera_file.h>
#include <collinear/io/opencv_camera.h>
#include <collinear/orientation/dlt.h>
#include <collinear/orientation/status_text.h>
#include <collinear/primitives/constants.h>
#include <collinear/quality/distortion_check.h>

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
  std::string camera_out;
  std::string opencv;              // --opencv FILE
  std::vector<double> pixel_size;  // mm, x [and y]; empty: 1 mm per pixel
  int decimals = 4;
  QualityArgs quality;
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

// The English meaning of CDlt's status text (Shift-JIS bytes); a text not
// known here is shown converted to UTF-8.
std::string StatusInEnglish(const char* text) {
  static const struct {
    const char* text;
    const char* english;
  } kTexts[] = {
      {kDltTextNotMeasured, "no object point has a measured image point"},
      {kDltTextTooFewPoints, "too few points"},
      {kDltTextFailed, "the orientation could not be computed"},
      {kDltText3D, "spatial DLT"},
      {kDltText2DPlane, "plane DLT (Z constant)"},
      {kDltText2DFewPoints, "plane DLT (fewer than 6 points)"},
  };
  if (!text) return "";
  for (const auto& t : kTexts)
    if (std::strcmp(text, t.text) == 0) return t.english;
  return StatusTextToUtf8(text);
}

// "none" and the names of the models the DLT self-calibrates.
std::vector<std::string> ModelChoices() {
  std::vector<std::string> names = {"none"};
  for (const SelfCalibration& c : kSelfCalibrations)
    names.emplace_back(FindDistModel(c.model)->name);
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
  ProjectCamera camera;     // for --camera-out and --opencv, when asked for
  std::string camera_file;  // the camera file written, or empty
  double rotation[9] = {};  // object to camera axes, row by row
  OpenCvCamera opencv;      // with --opencv
  std::string opencv_file;  // written, or empty
};

// The power of the image unit that coefficient k of a model divides:
// r^2, r^4, ... for the radial terms, one for p1, p2 and e3..e6, none for
// the affine e1, e2.
int UnitPower(const DistModelInfo& info, int k) {
  if (k < info.radial) return 2 * (k + 1);
  if (info.terms == DistTerms::kFurther && k < info.radial + 2) return 0;
  return 1;
}

// The solution as a camera file holds it. The principal distances cx, cy
// (px) become one focal length and a pixel size per axis, f = cx mx =
// cy my, so that the calibrated aspect stays and f is the mean of the
// pitches given times cx, cy. The DLT's distortion (solver frame: pixels,
// y up, added to the measured point) goes to photo millimetres with the
// calculator's sign (subtracted); with mx != my it is scaled by mx.
ProjectCamera CalibratedCamera(const CDlt& dlt,
                               const CalibrateResult& r,
                               const CalibrateArgs& a) {
  const double sx = a.pixel_size.empty() ? 1.0 : a.pixel_size[0];
  const double sy = a.pixel_size.size() == 2 ? a.pixel_size[1] : sx;
  ProjectCamera cam;
  cam.focal_mm = 0.5 * (r.cx * sx + r.cy * sy);
  cam.pixel_mm[0] = cam.focal_mm / r.cx;
  cam.pixel_mm[1] = cam.focal_mm / r.cy;
  if (r.cx == r.cy && sx == sy)  // the pitch given, not its rounding
    cam.pixel_mm[0] = cam.pixel_mm[1] = sx;
  cam.principal_mm[0] = r.x0 * cam.pixel_mm[0];
  cam.principal_mm[1] = r.y0 * cam.pixel_mm[1];
  if (a.image_size.size() == 2) {
    cam.width_px = static_cast<int>(a.image_size[0]);
    cam.height_px = static_cast<int>(a.image_size[1]);
  }
  const PrecisionReport& pr = r.fit.precision;
  auto sigma = [&](const char* name) {
    const Parameter* p = pr.valid ? pr.Get(name) : nullptr;
    return p && !IsUndefined(p->sigma) ? p->sigma : kUndefined;
  };
  const double sd_c = sigma("c"), sd_x0 = sigma("x0"), sd_y0 = sigma("y0");
  if (!IsUndefined(sd_c)) cam.focal_sd_mm = sd_c * cam.focal_mm / r.c;
  if (!IsUndefined(sd_x0) && !IsUndefined(sd_y0)) {
    cam.principal_sd_mm[0] = sd_x0 * cam.pixel_mm[0];
    cam.principal_sd_mm[1] = sd_y0 * cam.pixel_mm[1];
  }
  const DistModelInfo* info = FindDistModel(dlt.m_Dist.m_Model);
  if (!info || info->Count() == 0) return cam;
  cam.distortion_model = info->name;
  std::vector<double> coef, sd;
  for (int k = 0; k < info->Count(); ++k) {
    const double scale = std::pow(cam.pixel_mm[0], UnitPower(*info, k));
    coef.push_back(-dlt.m_Dist.m_Para[k] / scale);
    const double s = sigma(info->para_names[k]);
    if (!IsUndefined(s)) sd.push_back(s / scale);
  }
  cam.radial.assign(coef.begin(), coef.begin() + info->radial);
  cam.further.assign(coef.begin() + info->radial, coef.end());
  if (static_cast<int>(sd.size()) == info->Count()) {
    cam.radial_sd.assign(sd.begin(), sd.begin() + info->radial);
    cam.further_sd.assign(sd.begin() + info->radial, sd.end());
  }
  return cam;
}

// True when every number of the camera is finite.
bool Finite(const ProjectCamera& cam) {
  bool ok = std::isfinite(cam.focal_mm) && cam.focal_mm > 0;
  for (double v : {cam.pixel_mm[0],
                   cam.pixel_mm[1],
                   cam.principal_mm[0],
                   cam.principal_mm[1]})
    ok = ok && std::isfinite(v);
  for (const auto* list : {&cam.radial, &cam.further})
    for (double v : *list) ok = ok && std::isfinite(v);
  return ok && cam.pixel_mm[0] > 0 && cam.pixel_mm[1] > 0;
}

CalibrateResult Compute(const CalibrateArgs& a) {
  // Non-finite option values never get here: every number option refuses
  // them as it is parsed.
  if (!(a.focal >= 0))
    throw InputError("--focal must be a finite principal distance > 0");
  if (!a.pixel_size.empty() && a.camera_out.empty())
    throw InputError(
        "--pixel-size is the pixel pitch of --camera-out; give "
        "--camera-out too");
  for (const auto& [opt, path] :
       {std::pair{"--camera-out", a.camera_out}, {"--opencv", a.opencv}}) {
    if (path.empty()) continue;
    if (a.frame != "pixel")
      throw InputError(std::string(opt) +
                       " needs image coordinates in pixels (--image-frame "
                       "pixel): the camera's principal point is placed from "
                       "the picture's top-left corner");
    for (double v : a.image_size)
      if (v != std::floor(v) || v > 1e6)
        throw InputError(
            "--image-size must be whole pixels (at most 1e6) "
            "for " +
            std::string(opt));
  }
  if (!a.opencv.empty() && a.image_size.size() != 2)
    throw InputError(
        "--opencv needs --image-size: OpenCV's distortion coefficients are "
        "fitted over the picture");
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
                     StatusInEnglish(dlt.m_Message));
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
  r.status = StatusInEnglish(dlt.m_Message);
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
  std::copy(dlt.m_Rot.m_r, dlt.m_Rot.m_r + 9, r.rotation);
  if (!a.camera_out.empty() || !a.opencv.empty()) {
    r.camera = CalibratedCamera(dlt, r, a);
    if (!Finite(r.camera))
      throw ComputeError(
          "the calibrated camera has a principal distance, pixel size, "
          "principal point or distortion coefficient that is not a finite "
          "number (or not positive); no camera file written");
  }
  if (!a.opencv.empty()) {
    r.opencv = ToOpenCv(r.camera);
    if (!r.opencv.valid)
      throw ComputeError("no OpenCV camera: " + r.opencv.error);
  }
  return r;
}

// A matrix as cv::FileStorage reads it from JSON.
Json CvMatrix(int rows, int cols, const double* data) {
  return {{"type_id", "opencv-matrix"},
          {"rows", rows},
          {"cols", cols},
          {"dt", "d"},
          {"data", std::vector<double>(data, data + rows * cols)}};
}

// The --opencv file: camera matrix, distortion coefficients, the misfit
// of their fit, and the view's pose.
Json OpenCvJson(const CalibrateResult& r, const CalibrateArgs& a) {
  const OpenCvCamera& cv = r.opencv;
  const double k[9] = {cv.fx, 0.0, cv.cx, 0.0, cv.fy, cv.cy, 0.0, 0.0, 1.0};
  const double centre[3] = {r.centre.m_x, r.centre.m_y, r.centre.m_z};
  const OpenCvPose pose = ToOpenCvPose(centre, r.rotation);
  return {{"image_width", r.camera.width_px},
          {"image_height", r.camera.height_px},
          {"pixel_origin",
           "centre of the top-left pixel: OpenCV x, y = collinear x, y - 0.5"},
          {"camera_matrix", CvMatrix(3, 3, k)},
          {"distortion_coefficients", CvMatrix(1, 5, cv.dist)},
          {"distortion_fit_max_px", cv.fit_max_px},
          {"distortion_fit_rms_px", cv.fit_rms_px},
          {"distortion_fit_points", cv.grid_points},
          {"views",
           Json::array({{{"name", a.image.empty() ? a.object : a.image},
                         {"rvec", CvMatrix(3, 1, pose.rvec)},
                         {"tvec", CvMatrix(3, 1, pose.tvec)}}})}};
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
  if (!r.camera_file.empty()) {
    const ProjectCamera& cam = r.camera;
    doc["camera_file"] = {{"path", r.camera_file},
                          {"focal_length_mm", cam.focal_mm},
                          {"pixel_size_mm", {cam.pixel_mm[0], cam.pixel_mm[1]}},
                          {"pixel_size_given", !a.pixel_size.empty()}};
    rep.text +=
        "\nCamera file " + r.camera_file + ": focal length " +
        Exact(cam.focal_mm) + " mm, pixel size " + Exact(cam.pixel_mm[0]) +
        " x " + Exact(cam.pixel_mm[1]) + " mm (f = cx mx = cy my)" +
        (a.pixel_size.empty() ? "; no --pixel-size: 1 mm per pixel, so its "
                                "millimetres count pixels\n"
                              : "\n");
  }
  if (!r.opencv_file.empty()) {
    const OpenCvCamera& cv = r.opencv;
    Json j = OpenCvJson(r, a);
    j["path"] = r.opencv_file;
    doc["opencv"] = j;
    rep.text += "\nOpenCV camera " + r.opencv_file + ": fx " +
                Fixed(cv.fx, dec) + ", fy " + Fixed(cv.fy, dec) + ", cx " +
                Fixed(cv.cx, dec) + ", cy " + Fixed(cv.cy, dec) +
                " px (pixel (0, 0) at the centre of the top-left pixel: "
                "collinear's pixel - 0.5)\n  k1 k2 p1 p2 k3 fitted over " +
                std::to_string(cv.grid_points) +
                " points of the picture: largest misfit " +
                Fixed(cv.fit_max_px, 4) + " px, RMS " +
                Fixed(cv.fit_rms_px, 4) + " px\n";
  }
  CloseFit(r.fit, rep);
  return rep;
}

int RunCalibrate(const CalibrateArgs& a, const CommonOptions& common) {
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
  if (!a.camera_out.empty() &&
      VerdictFailure(r.fit.verdict, a.quality.strict).empty()) {
    std::string error;
    if (!WriteCameraFile(a.camera_out, r.camera, error))
      throw InputError(error);
    r.camera_file = a.camera_out;
  }
  if (!a.opencv.empty() &&
      VerdictFailure(r.fit.verdict, a.quality.strict).empty()) {
    WriteFileAtomically(a.opencv, OpenCvJson(r, a).dump(2) + "\n");
    r.opencv_file = a.opencv;
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
  AddControlFiles(app, args->object, args->image);
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
                  "k1k2p1p2 or k1k2k3p1p2 (radial and decentring)")
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
                  args->camera_out,
                  "write the calibrated camera to this camera file (JSON): "
                  "focal length, principal point, pixel size, picture size "
                  "(--image-size), distortion, with standard deviations; "
                  "not written when the run fails");
  app->add_option("--opencv",
                  args->opencv,
                  "write the camera in OpenCV's conventions (JSON that "
                  "cv::FileStorage reads): camera matrix, distortion "
                  "coefficients fitted over the picture (needs --image-size), "
                  "rvec and tvec; not written when the run fails");
  app->add_option("--pixel-size",
                  args->pixel_size,
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
