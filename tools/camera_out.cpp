#include "camera_out.h"

#include <cmath>
#include <utility>

#include <collinear/distortion/dist_model.h>
#include <collinear/io/camera_file.h>
#include <collinear/primitives/constants.h>

namespace collinear::cli {
namespace {

// The power of the image unit that coefficient k of a model divides:
// r^2, r^4, ... for the radial terms, one for p1, p2 and e3..e6, none for
// the affine e1, e2.
int UnitPower(const DistModelInfo& info, int k) {
  if (k < info.radial) return 2 * (k + 1);
  if (info.terms == DistTerms::kFurther && k < info.radial + 2) return 0;
  return 1;
}

// The principal distances cx, cy (px) become one focal length and a pixel
// size per axis, f = cx mx = cy my, so that the calibrated aspect stays
// and f is the mean of the pitches given times cx, cy. The distortion
// (pixels, y up, added to the measured point) goes to photo millimetres
// with the calculator's sign (subtracted); with mx != my it is scaled by
// mx.
ProjectCamera InMillimetres(const PixelCamera& p, const CameraOutArgs& a) {
  const double sx = a.pixel_size.empty() ? 1.0 : a.pixel_size[0];
  const double sy = a.pixel_size.size() == 2 ? a.pixel_size[1] : sx;
  ProjectCamera cam;
  cam.focal_mm = 0.5 * (p.cx * sx + p.cy * sy);
  cam.pixel_mm[0] = cam.focal_mm / p.cx;
  cam.pixel_mm[1] = cam.focal_mm / p.cy;
  if (p.cx == p.cy && sx == sy)  // the pitch given, not its rounding
    cam.pixel_mm[0] = cam.pixel_mm[1] = sx;
  cam.principal_mm[0] = p.x0 * cam.pixel_mm[0];
  cam.principal_mm[1] = p.y0 * cam.pixel_mm[1];
  if (a.image_size.size() == 2) {
    cam.width_px = static_cast<int>(a.image_size[0]);
    cam.height_px = static_cast<int>(a.image_size[1]);
  }
  auto sigma = [&](const char* name) {
    const Parameter* q =
        p.precision && p.precision->valid ? p.precision->Get(name) : nullptr;
    return q && !IsUndefined(q->sigma) ? q->sigma : kUndefined;
  };
  const double sd_c = sigma("c"), sd_x0 = sigma("x0"), sd_y0 = sigma("y0");
  if (!IsUndefined(sd_c)) cam.focal_sd_mm = sd_c * cam.focal_mm / p.c;
  if (!IsUndefined(sd_x0) && !IsUndefined(sd_y0)) {
    cam.principal_sd_mm[0] = sd_x0 * cam.pixel_mm[0];
    cam.principal_sd_mm[1] = sd_y0 * cam.pixel_mm[1];
  }
  const DistModelInfo* info = p.dist ? FindDistModel(p.dist->m_Model) : nullptr;
  if (!info || info->Count() == 0) return cam;
  cam.distortion_model = info->name;
  std::vector<double> coef, sd;
  for (int k = 0; k < info->Count(); ++k) {
    const double scale = std::pow(cam.pixel_mm[0], UnitPower(*info, k));
    coef.push_back(-p.dist->m_Para[k] / scale);
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

// A matrix as cv::FileStorage reads it from JSON.
Json CvMatrix(int rows, int cols, const double* data) {
  return {{"type_id", "opencv-matrix"},
          {"rows", rows},
          {"cols", cols},
          {"dt", "d"},
          {"data", std::vector<double>(data, data + rows * cols)}};
}

// The --opencv file: camera matrix, distortion coefficients, the misfit
// of their fit, and every view's pose.
Json OpenCvJson(const CameraOut& out) {
  const OpenCvCamera& cv = out.opencv;
  const double k[9] = {cv.fx, 0.0, cv.cx, 0.0, cv.fy, cv.cy, 0.0, 0.0, 1.0};
  Json views = Json::array();
  for (const PoseOut& p : out.poses) {
    const OpenCvPose pose = ToOpenCvPose(p.centre, p.rotation);
    views.push_back({{"name", p.name},
                     {"rvec", CvMatrix(3, 1, pose.rvec)},
                     {"tvec", CvMatrix(3, 1, pose.tvec)}});
  }
  return {{"image_width", out.camera.width_px},
          {"image_height", out.camera.height_px},
          {"pixel_origin",
           "centre of the top-left pixel: OpenCV x, y = collinear x, y - 0.5"},
          {"camera_matrix", CvMatrix(3, 3, k)},
          {"distortion_coefficients", CvMatrix(1, 5, cv.dist)},
          {"distortion_fit_max_px", cv.fit_max_px},
          {"distortion_fit_rms_px", cv.fit_rms_px},
          {"distortion_fit_points", cv.grid_points},
          {"views", views}};
}

}  // namespace

void CheckCameraOut(const CameraOutArgs& a, bool pixel_frame) {
  if (!a.pixel_size.empty() && a.camera_out.empty())
    throw InputError(
        "--pixel-size is the pixel pitch of --camera-out; give "
        "--camera-out too");
  for (const auto& [opt, path] :
       {std::pair{"--camera-out", a.camera_out}, {"--opencv", a.opencv}}) {
    if (path.empty()) continue;
    if (!pixel_frame)
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
}

CameraOut MakeCameraOut(const PixelCamera& calibration,
                        std::vector<PoseOut> poses,
                        const CameraOutArgs& args) {
  CameraOut out;
  out.camera = InMillimetres(calibration, args);
  out.poses = std::move(poses);
  if (!Finite(out.camera))
    throw ComputeError(
        "the calibrated camera has a principal distance, pixel size, "
        "principal point or distortion coefficient that is not a finite "
        "number (or not positive); no camera file written");
  if (!args.opencv.empty()) {
    out.opencv = ToOpenCv(out.camera);
    if (!out.opencv.valid)
      throw ComputeError("no OpenCV camera: " + out.opencv.error);
  }
  return out;
}

void WriteCameraOut(const CameraOutArgs& args, CameraOut& out) {
  if (!args.camera_out.empty()) {
    std::string error;
    if (!WriteCameraFile(args.camera_out, out.camera, error))
      throw InputError(error);
    out.camera_file = args.camera_out;
  }
  if (!args.opencv.empty()) {
    WriteFileAtomically(args.opencv, OpenCvJson(out).dump(2) + "\n");
    out.opencv_file = args.opencv;
  }
}

void CameraOutSection(const CameraOut& out,
                      const CameraOutArgs& args,
                      int decimals,
                      Report& report) {
  Json& doc = report.json;
  if (!out.camera_file.empty()) {
    const ProjectCamera& cam = out.camera;
    doc["camera_file"] = {{"path", out.camera_file},
                          {"focal_length_mm", cam.focal_mm},
                          {"pixel_size_mm", {cam.pixel_mm[0], cam.pixel_mm[1]}},
                          {"pixel_size_given", !args.pixel_size.empty()}};
    report.text +=
        "\nCamera file " + out.camera_file + ": focal length " +
        Exact(cam.focal_mm) + " mm, pixel size " + Exact(cam.pixel_mm[0]) +
        " x " + Exact(cam.pixel_mm[1]) + " mm (f = cx mx = cy my)" +
        (args.pixel_size.empty() ? "; no --pixel-size: 1 mm per pixel, so its "
                                   "millimetres count pixels\n"
                                 : "\n");
  }
  if (!out.opencv_file.empty()) {
    const OpenCvCamera& cv = out.opencv;
    Json j = OpenCvJson(out);
    j["path"] = out.opencv_file;
    doc["opencv"] = j;
    report.text +=
        "\nOpenCV camera " + out.opencv_file + ": fx " +
        Fixed(cv.fx, decimals) + ", fy " + Fixed(cv.fy, decimals) + ", cx " +
        Fixed(cv.cx, decimals) + ", cy " + Fixed(cv.cy, decimals) +
        " px (pixel (0, 0) at the centre of the top-left pixel: "
        "collinear's pixel - 0.5)\n  k1 k2 p1 p2 k3 fitted over " +
        std::to_string(cv.grid_points) +
        " points of the picture: largest misfit " + Fixed(cv.fit_max_px, 4) +
        " px, RMS " + Fixed(cv.fit_rms_px, 4) + " px\n";
  }
}

}  // namespace collinear::cli
