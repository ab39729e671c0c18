#include <collinear/io/opencv_camera.h>

#include <cmath>

#include <gtest/gtest.h>

#include <collinear/distortion/dist.h>
#include <collinear/primitives/rot.h>

namespace collinear {
namespace {

// The camera of the OpenCV section of the conventions page: 3000 x 2000
// pixels of 0.006 mm, f 24 mm, and the calculator's model fitted there to
// OpenCV's (k1, k2, p1, p2, k3) = (-0.12, 0.09, 0.0004, -0.0007, -0.02).
ProjectCamera DocumentedCamera() {
  ProjectCamera cam;
  cam.focal_mm = 24.0;
  cam.pixel_mm[0] = cam.pixel_mm[1] = 0.006;
  cam.principal_mm[0] = 9.0612;
  cam.principal_mm[1] = 5.9562;
  cam.width_px = 3000;
  cam.height_px = 2000;
  cam.distortion_model = "k1k2k3p1p2";
  cam.radial = {-2.083242e-4, 1.405778e-7, 2.353879e-10};
  cam.further = {-3.112143e-5, -1.761183e-5};
  return cam;
}

TEST(OpenCvCamera, FitReturnsTheDocumentedCoefficients) {
  const OpenCvCamera cv = ToOpenCv(DocumentedCamera());
  ASSERT_TRUE(cv.valid) << cv.error;
  EXPECT_DOUBLE_EQ(cv.fx, 4000.0);
  EXPECT_DOUBLE_EQ(cv.cx, 1510.2 - 0.5);  // pixel centres at whole numbers
  // The page's fit back over a 61 x 41 grid: (-0.119991, 0.089836,
  // 0.000399, -0.000699, -0.019250), at most 0.070 px apart; this grid is
  // 61 x 61, so the figures agree to the grids' difference.
  const double expected[5] = {
      -0.119991, 0.089836, 0.000399, -0.000699, -0.01925};
  const double tol[5] = {2e-5, 2e-4, 2e-6, 2e-6, 5e-4};
  for (int k = 0; k < 5; ++k) EXPECT_NEAR(cv.dist[k], expected[k], tol[k]) << k;
  EXPECT_GT(cv.fit_max_px, 0.01);
  EXPECT_LT(cv.fit_max_px, 0.1);
  EXPECT_LE(cv.fit_rms_px, cv.fit_max_px);
}

TEST(OpenCvCamera, ProjectsAsCollinearWithinTheFitError) {
  const ProjectCamera cam = DocumentedCamera();
  const OpenCvCamera cv = ToOpenCv(cam);
  ASSERT_TRUE(cv.valid) << cv.error;
  // The pose of the page's example: centre (500, 300, 120), omega 2,
  // phi -3, kappa 35 degrees (ROT_KPW).
  double angles_deg[3] = {2.0, -3.0, 35.0};
  CRot rot;
  rot.SetDIMat(angles_deg);
  const double centre[3] = {500.0, 300.0, 120.0};
  const OpenCvPose pose = ToOpenCvPose(centre, rot.m_r);
  const double rvec[3] = {-2.978534, 0.937631, 0.094375};
  const double tvec[3] = {-230.8973, 527.5934, 150.7701};
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(pose.rvec[k], rvec[k], 1e-6);
    EXPECT_NEAR(pose.tvec[k], tvec[k], 1e-4);
  }
  CDist dist;  // CDist adds its correction; the camera's is subtracted
  dist.SetDistModel(DIST_K1K2K3P1P2);
  const double para[5] = {cam.radial[0],
                          cam.radial[1],
                          cam.radial[2],
                          cam.further[0],
                          cam.further[1]};
  for (int k = 0; k < 5; ++k) dist.m_Para[k] = -para[k];
  // OpenCV's Rodrigues formula and projection, written out.
  const double th =
      std::sqrt(pose.rvec[0] * pose.rvec[0] + pose.rvec[1] * pose.rvec[1] +
                pose.rvec[2] * pose.rvec[2]);
  const double a[3] = {pose.rvec[0] / th, pose.rvec[1] / th, pose.rvec[2] / th};
  double rcv[9];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      rcv[3 * i + j] =
          std::cos(th) * (i == j) + (1 - std::cos(th)) * a[i] * a[j];
  rcv[1] -= std::sin(th) * a[2];
  rcv[2] += std::sin(th) * a[1];
  rcv[3] += std::sin(th) * a[2];
  rcv[5] -= std::sin(th) * a[0];
  rcv[6] -= std::sin(th) * a[1];
  rcv[7] += std::sin(th) * a[0];
  int compared = 0;
  for (int i = 0; i < 15; ++i)
    for (int j = 0; j < 11; ++j) {
      const double p[3] = {440.0 + 8.0 * i, 260.0 + 8.0 * j, 2.5 + (i + j) % 3};
      double xc[3], xcv[3];
      for (int r = 0; r < 3; ++r) {
        xc[r] = 0.0;
        xcv[r] = pose.tvec[r];
        for (int c = 0; c < 3; ++c) {
          xc[r] += rot.m_r[3 * r + c] * (p[c] - centre[c]);
          xcv[r] += rcv[3 * r + c] * p[c];
        }
      }
      // collinear: ideal photo point, the measured one whose correction
      // leads there, then pixels.
      double dx = 0.0, dy = 0.0;
      const double ix = -cam.focal_mm * xc[0] / xc[2];
      const double iy = -cam.focal_mm * xc[1] / xc[2];
      ASSERT_EQ(dist.CalDistInv(ix, iy, dx, dy, 1e-12), 1);
      const double u = (ix + dx + cam.principal_mm[0]) / cam.pixel_mm[0];
      const double v = (cam.principal_mm[1] - iy - dy) / cam.pixel_mm[1];
      if (u < 0 || v < 0 || u > cam.width_px || v > cam.height_px) continue;
      ASSERT_GT(xcv[2], 0.0);  // in front of OpenCV's camera
      const double x = xcv[0] / xcv[2], y = xcv[1] / xcv[2];
      const double r2 = x * x + y * y;
      const double k1 = cv.dist[0], k2 = cv.dist[1], p1 = cv.dist[2],
                   p2 = cv.dist[3], k3 = cv.dist[4];
      const double radial = 1 + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
      const double xd = x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
      const double yd = y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
      const double u_cv = cv.fx * xd + cv.cx + 0.5,
                   v_cv = cv.fy * yd + cv.cy + 0.5;
      EXPECT_LE(std::hypot(u_cv - u, v_cv - v), cv.fit_max_px + 1e-6)
          << p[0] << " " << p[1];
      ++compared;
    }
  EXPECT_GT(compared, 50);  // of 165 points, those in the picture
}

TEST(OpenCvCamera, HalfTurnAndMissingPictureSize) {
  // collinear's identity looks down -Z: OpenCV's half turn about x.
  const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const double origin[3] = {0.0, 0.0, 10.0};
  const OpenCvPose pose = ToOpenCvPose(origin, identity);
  EXPECT_NEAR(std::fabs(pose.rvec[0]), std::acos(-1.0), 1e-15);
  EXPECT_EQ(pose.rvec[1], 0.0);
  EXPECT_EQ(pose.rvec[2], 0.0);
  EXPECT_DOUBLE_EQ(pose.tvec[2], 10.0);
  ProjectCamera no_size = DocumentedCamera();
  no_size.width_px = 0;
  EXPECT_FALSE(ToOpenCv(no_size).valid);
}

}  // namespace
}  // namespace collinear
