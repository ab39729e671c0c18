#include <collinear/io/opencv_camera.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include <collinear/distortion/dist.h>
#include <collinear/io/camera_file.h>
#include <collinear/leastsq/leastsq.h>
#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

// Grid of measured pixels over the picture, corners included: enough
// points that the misfit between them is well below the misfit found.
constexpr int kGridSide = 61;

// One grid point: the columns of OpenCV's distortion of the ideal
// normalised point (k1, k2, p1, p2, k3), then distorted minus ideal.
using FitRow = std::array<double, 6>;

void AddRows(
    double xi, double yi, double xd, double yd, std::vector<FitRow>& rows) {
  const double r2 = xi * xi + yi * yi;
  rows.push_back({xi * r2,
                  xi * r2 * r2,
                  2.0 * xi * yi,
                  r2 + 2.0 * xi * xi,
                  xi * r2 * r2 * r2,
                  xd - xi});
  rows.push_back({yi * r2,
                  yi * r2 * r2,
                  r2 + 2.0 * yi * yi,
                  2.0 * xi * yi,
                  yi * r2 * r2 * r2,
                  yd - yi});
}

}  // namespace

OpenCvCamera ToOpenCv(const ProjectCamera& cam) {
  OpenCvCamera cv;
  if (cam.width_px <= 0 || cam.height_px <= 0) {
    cv.error =
        "the camera has no picture size, over which the distortion is fitted";
    return cv;
  }
  const double f = cam.focal_mm, mx = cam.pixel_mm[0], my = cam.pixel_mm[1];
  const double px = cam.principal_mm[0], py = cam.principal_mm[1];
  cv.fx = f / mx;
  cv.fy = f / my;
  // OpenCV's pixel (0, 0) is the centre of the top-left pixel.
  cv.cx = px / mx - 0.5;
  cv.cy = py / my - 0.5;

  const CDist dist = CameraCorrection(cam);
  // Measured pixel -> photo mm (y up) -> ideal photo mm; both normalised
  // in OpenCV's axes (divided by f, y down).
  std::vector<FitRow> rows;
  for (int i = 0; i < kGridSide; ++i)
    for (int j = 0; j < kGridSide; ++j) {
      const double u_px =
          cam.width_px * static_cast<double>(i) / (kGridSide - 1);
      const double v_px =
          cam.height_px * static_cast<double>(j) / (kGridSide - 1);
      const double x_mm = u_px * mx - px, y_mm = py - v_px * my;
      double dx = 0.0, dy = 0.0;
      dist.CalDist(x_mm, y_mm, dx, dy);
      AddRows((x_mm + dx) / f, -(y_mm + dy) / f, x_mm / f, -y_mm / f, rows);
    }
  // Columns scaled to a largest value of 1: r^6 of normalised points is
  // small enough to trip the engine's pivot test otherwise.
  double scale[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
  for (const FitRow& row : rows)
    for (int k = 0; k < 5; ++k)
      scale[k] = std::max(scale[k], std::fabs(row[k]));
  for (double& s : scale)
    if (!(s > 0.0)) s = 1.0;
  CLeastSq lsq(5);
  for (const FitRow& row : rows) {
    for (int k = 0; k < 5; ++k) lsq.SetObeq(k, row[k] / scale[k]);
    lsq.SetObeq(5, row[5]);
  }
  if (!lsq.SolveBcor()) {
    cv.error = "the fit of OpenCV's distortion over the picture is singular";
    return cv;
  }
  for (int k = 0; k < 5; ++k) cv.dist[k] = lsq.GetBcor(k) / scale[k];

  double sum2 = 0.0, largest = 0.0;
  for (std::size_t i = 0; i < rows.size(); i += 2) {
    double e[2] = {0.0, 0.0};
    for (int a = 0; a < 2; ++a) {
      const FitRow& row = rows[i + a];
      double model = 0.0;
      for (int k = 0; k < 5; ++k) model += row[k] * cv.dist[k];
      e[a] = model - row[5];
    }
    const double d2 = e[0] * cv.fx * e[0] * cv.fx + e[1] * cv.fy * e[1] * cv.fy;
    sum2 += d2;
    largest = std::max(largest, std::sqrt(d2));
  }
  cv.grid_points = static_cast<int>(rows.size() / 2);
  cv.fit_max_px = largest;
  cv.fit_rms_px = std::sqrt(sum2 / cv.grid_points);

  bool finite = std::isfinite(cv.fx) && std::isfinite(cv.fy) &&
                std::isfinite(cv.cx) && std::isfinite(cv.cy) &&
                std::isfinite(cv.fit_max_px);
  for (double v : cv.dist) finite = finite && std::isfinite(v);
  if (!finite) {
    cv.error = "the camera in OpenCV's terms has values that are not finite";
    return cv;
  }
  cv.valid = true;
  return cv;
}

OpenCvPose ToOpenCvPose(const double centre[3], const double rot[9]) {
  // OpenCV's camera axes are collinear's turned half about x: D = diag(1,
  // -1, -1), R_cv = D R.
  double r[9];
  for (int i = 0; i < 9; ++i) r[i] = i < 3 ? rot[i] : -rot[i];
  OpenCvPose pose;
  for (int i = 0; i < 3; ++i)
    pose.tvec[i] = -(r[3 * i] * centre[0] + r[3 * i + 1] * centre[1] +
                     r[3 * i + 2] * centre[2]);
  // Rotation vector: sin(angle) axis from the skew part, cos(angle) from
  // the trace; near a half turn the axis from the symmetric part instead.
  const double w[3] = {
      0.5 * (r[7] - r[5]), 0.5 * (r[2] - r[6]), 0.5 * (r[3] - r[1])};
  const double s = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
  const double c = 0.5 * (r[0] + r[4] + r[8] - 1.0);
  const double angle = std::atan2(s, c);
  const double kHalfTurnSine = 1e-6;  // below: the skew part is rounding
  if (s > kHalfTurnSine || c > 0.0) {
    const double k = s > 0.0 ? angle / s : 1.0;
    for (int i = 0; i < 3; ++i) pose.rvec[i] = k * w[i];
    return pose;
  }
  // (R + I) / 2 = a a^T at a half turn: the column of the largest diagonal.
  int m = 0;
  for (int i = 1; i < 3; ++i)
    if (r[4 * i] > r[4 * m]) m = i;
  const double d = std::sqrt(std::max(0.0, 0.5 * (r[4 * m] + 1.0)));
  double a[3];
  for (int i = 0; i < 3; ++i)
    a[i] = i == m ? d : 0.5 * (r[3 * i + m] + r[3 * m + i]) * 0.5 / d;
  // The sign that agrees with the skew part left.
  const double dot = a[0] * w[0] + a[1] * w[1] + a[2] * w[2];
  const double sign = dot < 0.0 ? -1.0 : 1.0;
  const double norm = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
  for (int i = 0; i < 3; ++i) pose.rvec[i] = sign * angle * a[i] / norm;
  return pose;
}

}  // namespace collinear
