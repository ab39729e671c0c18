#include <collinear/orientation/resection_start.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include <collinear/io/point_file.h>
#include <collinear/orientation/test_scenes.h>

namespace {

using collinear::Resect;
using collinear::ResectionResult;
using collinear::ResectionStart;
using collinear::testdata::Points;
using collinear::testdata::RandomBox;
using collinear::testdata::TrueCamera;

// Rotation angle between a and b from |a - b| (Frobenius norm), accurate
// also for tiny angles where acos of the trace is not.
double AngleBetween(const CRot& a, const CRot& b) {
  double sum = 0.0;
  for (int k = 0; k < 9; ++k)
    sum += (a.m_r[k] - b.m_r[k]) * (a.m_r[k] - b.m_r[k]);
  return 2.0 * std::asin(std::min(1.0, std::sqrt(sum / 8.0)));
}

// A camera at centre looking at the object origin, turned by roll about its
// axis; f in pixels.
TrueCamera LookAt(const CXYZ& centre, double roll, double f) {
  const double len = centre.Len();
  const double r3[3] = {centre.m_x / len, centre.m_y / len, centre.m_z / len};
  // Any axis across the view, then the roll about it.
  double a[3] = {-r3[1], r3[0], 0.0};
  double na = std::hypot(a[0], a[1]);
  if (na < 1e-6) {
    a[0] = 1.0;
    a[1] = 0.0;
    na = 1.0;
  }
  for (double& x : a) x /= na;
  const double b[3] = {r3[1] * a[2] - r3[2] * a[1],
                       r3[2] * a[0] - r3[0] * a[2],
                       r3[0] * a[1] - r3[1] * a[0]};
  CRot rot;
  for (int k = 0; k < 3; ++k) {
    rot.m_r[k] = std::cos(roll) * a[k] + std::sin(roll) * b[k];
    rot.m_r[3 + k] = -std::sin(roll) * a[k] + std::cos(roll) * b[k];
    rot.m_r[6 + k] = r3[k];
  }
  TrueCamera cam{centre, CWPK(), f, f};
  rot.CalAngle(cam.sys, cam.wpk);
  return cam;
}

// Sum of squared image residuals of a pose (CSinOri's camera model).
double SumOfSquares(const Points& obj,
                    const Points& img,
                    double f,
                    const CXYZ& centre,
                    const CRot& rot) {
  double sum = 0.0;
  for (INT_PTR i = 0; i < obj.GetSize(); ++i) {
    CXYZ r;
    rot.Rotate(obj[i] - centre, r);
    const double dx = -f * r.m_x / r.m_z - img[i].m_x;
    const double dy = -f * r.m_y / r.m_z - img[i].m_y;
    sum += dx * dx + dy * dy;
  }
  return sum;
}

}  // namespace

// Exact image points, measured through a lens (CalDistInv of the model
// given to Resect): the pose comes back to rounding from either start, for
// cameras on either side of a plane, oblique and horizontal ones.
TEST(Resect, RecoversExactPosesThroughTheLens) {
  CDist lens;
  lens.SetDistModel(DIST_K1K2P1P2);
  const double para[] = {-2e-8, 3e-14, 4e-7, -3e-7};  // pixels
  for (int k = 0; k < 4; ++k) lens.m_Para[k] = para[k];
  const Points box = RandomBox(30, CXYZ(-10, -10, -4), CXYZ(10, 10, 4), 7);
  const Points flat = RandomBox(12, CXYZ(-10, -10, 0), CXYZ(10, 10, 0), 8);
  const Points thin = RandomBox(15, CXYZ(-10, -10, 0), CXYZ(10, 10, 0.3), 9);
  Points four;
  for (int i = 0; i < 4; ++i) {
    CXYZ p = flat[i];
    four.Add(p);
  }
  const ResectionStart kDlt = ResectionStart::kDlt;
  const ResectionStart kPlane = ResectionStart::kPlane;
  const struct {
    const char* name;
    const Points& obj;
    CXYZ centre;
    double roll;
    ResectionStart start;
    bool below;  // the plane's -Z side
  } cases[] = {
      {"space, above", box, CXYZ(2, -3, 60), 2.5, kDlt, false},
      {"space, oblique", box, CXYZ(50, -30, 25), -0.4, kDlt, false},
      {"plane, above", flat, CXYZ(3, 4, 40), 1.0, kPlane, false},
      {"plane, below", flat, CXYZ(-5, 2, -35), -0.3, kPlane, true},
      {"plane, 4 points, below", four, CXYZ(1, 1, -30), 0.5, kPlane, true},
      {"plane, horizontal view", flat, CXYZ(0, -45, 3), 0.2, kPlane, false},
      {"nearly a plane", thin, CXYZ(-4, 6, -40), 2.0, kPlane, true},
  };
  const double f = 1200.0;  // pixels
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TrueCamera cam = LookAt(c.centre, c.roll, f);
    Points img = cam.ProjectAll(c.obj);
    for (INT_PTR i = 0; i < img.GetSize(); ++i) {
      double dx, dy;
      ASSERT_EQ(lens.CalDistInv(img[i].m_x, img[i].m_y, dx, dy, 1e-12), 1);
      img[i].SetXYZ(img[i].m_x + dx, img[i].m_y + dy, 0.0);
    }
    ResectionResult r = Resect(c.obj, img, f, lens);
    ASSERT_TRUE(r.converged) << r.message;
    EXPECT_EQ(r.start, c.start);
    EXPECT_EQ(r.below_plane, c.below);
    EXPECT_TRUE(r.message.empty());
    const double kTolPose = 1e-8;  // exact data: rounding, and CalDistInv
    EXPECT_NEAR(r.centre.Len(cam.centre), 0.0, kTolPose * 100);
    EXPECT_NEAR(AngleBetween(r.rot, cam.Rot()), 0.0, kTolPose);
    EXPECT_LT(r.rms.m_x + r.rms.m_y, 1e-7);
    CSinOri s;
    ASSERT_EQ(collinear::SetSinOri(r, f, s), 1);
    EXPECT_NEAR(s.m_Wpk.m_p, cam.wpk.m_p, kTolPose);
  }
}

// The random cameras of the resection benchmark: a random rotation, a
// centre in a 100 m cube, points anywhere in a 1280 x 960 px picture
// (f = 1000 px) at depths 8 to 16 m, 0.5 px noise. None may fail, and each
// pose must fit the noisy points at least as well as the true one does (the
// least-squares optimum) and lie within the noise of it.
TEST(Resect, SolvesEveryRandomCameraOfTheBenchmark) {
  const double f = 1000.0, width = 1280.0, height = 960.0, noise_px = 0.5;
  for (int n_points : {8, 20, 100}) {
    SCOPED_TRACE(n_points);
    std::mt19937 rng(20240 + n_points);
    std::uniform_real_distribution<double> u01(0.0, 1.0);
    std::normal_distribution<double> gauss(0.0, 1.0), noise(0.0, noise_px);
    double worst_centre_m = 0.0, worst_angle = 0.0;
    for (int cam = 0; cam < 200; ++cam) {
      double q[4], norm = 0.0;
      for (double& x : q) {
        x = gauss(rng);
        norm += x * x;
      }
      for (double& x : q) x /= std::sqrt(norm);
      const double w = q[0], x = q[1], y = q[2], z = q[3];
      // Rotation to the forward-looking, y-down camera frame.
      const double rcv[9] = {1 - 2 * (y * y + z * z),
                             2 * (x * y - z * w),
                             2 * (x * z + y * w),
                             2 * (x * y + z * w),
                             1 - 2 * (x * x + z * z),
                             2 * (y * z - x * w),
                             2 * (x * z - y * w),
                             2 * (y * z + x * w),
                             1 - 2 * (x * x + y * y)};
      CRot truth;
      for (int k = 0; k < 9; ++k) truth.m_r[k] = (k < 3 ? 1 : -1) * rcv[k];
      CXYZ centre;
      centre.SetXYZ(
          100 * u01(rng) - 50, 100 * u01(rng) - 50, 100 * u01(rng) - 50);
      Points obj, img;
      for (int i = 0; i < n_points; ++i) {
        const double u = width * u01(rng), v = height * u01(rng);
        const double depth = 8.0 + 8.0 * u01(rng);
        const double c[3] = {
            (u - width / 2) / f * depth, (v - height / 2) / f * depth, depth};
        const std::string name = "P" + std::to_string(i);
        CXYZ o(name.c_str(), centre.m_x, centre.m_y, centre.m_z);
        for (int k = 0; k < 3; ++k) {
          o.m_x += rcv[3 * k] * c[k];
          o.m_y += rcv[3 * k + 1] * c[k];
          o.m_z += rcv[3 * k + 2] * c[k];
        }
        obj.Add(o);
        CXYZ p(name.c_str(),
               u + noise(rng) - width / 2,
               -(v + noise(rng) - height / 2),
               0.0);
        img.Add(p);
      }
      const ResectionResult r = Resect(obj, img, f);
      ASSERT_TRUE(r.converged) << "camera " << cam << ": " << r.message;
      const double kRoundingPx2 = 1e-9;
      EXPECT_LE(SumOfSquares(obj, img, f, r.centre, r.rot),
                SumOfSquares(obj, img, f, centre, truth) + kRoundingPx2)
          << "camera " << cam;
      worst_centre_m = std::max(worst_centre_m, r.centre.Len(centre));
      worst_angle = std::max(worst_angle, AngleBetween(r.rot, truth));
    }
    // 0.5 px at f = 1000 px is 0.5 mrad per ray, some 6 mm at 12 m; the
    // worst of 200 cameras, scaled by 1 / sqrt(points), stays below these
    // (radians; metres), about three times what it reaches.
    const double kWorstAngle = 0.04 / std::sqrt(n_points);
    EXPECT_LT(worst_centre_m, 15 * kWorstAngle);
    EXPECT_LT(worst_angle, kWorstAngle);
  }
}

// Zhang's five real views of a plane with his published interior
// orientation (his radial distortion turned into a correction of the
// measured point): every centre within 0.5 % of the object distance of the
// published one, the residuals those of his published poses.
TEST(Resect, FindsThePublishedCentresOfZhangsViews) {
  CArray<CXYZ, CXYZ&> obj_all, img_all;
  std::string error;
  ASSERT_TRUE(collinear::ReadControlFile(
      COLLINEAR_DATA_DIR "/zhang-plane/points.txt", obj_all, img_all, error))
      << error;
  const double f = 832.5, u0 = 303.959, v0 = 206.585;  // pixels
  const double k1 = -0.228601, k2 = 0.190353;  // ideal -> distorted, f units
  // Correction (ideal - distorted) / distorted at distorted radii (px).
  CDist lens;
  for (int i = 1; i <= 60; ++i) {
    const double r = 0.01 * i, rd = r * (1 + k1 * r * r + k2 * r * r * r * r);
    lens.AddDist(f * rd, (r - rd) / rd);
  }
  ASSERT_EQ(lens.DistToPara(), 1);
  lens.SetDistModel(DIST_K1K2K3K4);
  const double published[5][3] = {{5.2876, -2.4152, -12.5658},
                                  {4.5640, -6.0794, -12.0169},
                                  {8.4644, -2.4218, -12.1802},
                                  {1.2517, -2.4066, -13.1378},
                                  {0.9645, -4.1887, -14.6345}};  // inches
  const double published_rms[5] = {0.246, 0.164, 0.382, 0.167, 0.149};
  for (int view = 1; view <= 5; ++view) {
    SCOPED_TRACE(view);
    const std::string prefix = "img" + std::to_string(view) + "_";
    Points obj, img;
    CXYZ mean;
    for (INT_PTR i = 0; i < obj_all.GetSize(); ++i) {
      if (std::string(obj_all[i].m_strName).rfind(prefix, 0) != 0) continue;
      obj.Add(obj_all[i]);
      CXYZ p = img_all[i];
      p.SetXYZ(p.m_x - u0, -(p.m_y - v0), 0.0);
      img.Add(p);
      mean.SetXYZ(mean.m_x + obj_all[i].m_x / 256,
                  mean.m_y + obj_all[i].m_y / 256,
                  mean.m_z + obj_all[i].m_z / 256);
    }
    ASSERT_EQ(obj.GetSize(), 256);
    const ResectionResult r = Resect(obj, img, f, lens);
    ASSERT_TRUE(r.converged) << r.message;
    const CXYZ c(
        published[view - 1][0], published[view - 1][1], published[view - 1][2]);
    EXPECT_LT(r.centre.Len(c), 0.005 * c.Len(mean));
    // Per coordinate, no worse than the published pose by more than the
    // skew and aspect we leave out (px); without the lens it is 0.8 px.
    EXPECT_LT(std::hypot(r.rms.m_x, r.rms.m_y) / std::sqrt(2.0),
              published_rms[view - 1] + 0.01);
  }
}

// Input that cannot give a pose: a reason, never a convergence.
TEST(Resect, SaysWhyItFails) {
  const Points box = RandomBox(8, CXYZ(-10, -10, -4), CXYZ(10, 10, 4), 3);
  const TrueCamera cam{CXYZ(0, 0, 50), CWPK(0.1, 0.1, 0.1), 1000, 1000};
  const Points img = cam.ProjectAll(box);
  Points three, line, nan_obj, same;
  for (int i = 0; i < 3; ++i) {
    CXYZ p = box[i];
    three.Add(p);
  }
  for (int i = 0; i < 8; ++i) {
    CXYZ p = box[i];
    nan_obj.Add(p);
    p.SetXYZ(i, 2.0 * i, 0.5 * i);
    line.Add(p);
    p.SetXYZ(1, 2, 3);
    same.Add(p);
  }
  nan_obj[5].m_z = std::numeric_limits<double>::quiet_NaN();
  const struct {
    const char* name;
    const Points& obj;
    double f;
    const char* reason;
  } cases[] = {
      {"three points", three, 1000, "3 control point(s) pair by name"},
      {"no focus", box, 0, "principal distance is not a positive"},
      {"NaN focus", box, std::nan(""), "principal distance is not a positive"},
      {"NaN object", nan_obj, 1000, "P6 has a coordinate that is not a finite"},
      {"one place", same, 1000, "all lie at one place"},
      {"one line", line, 1000, "lie on one line"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ResectionResult r = Resect(c.obj, img, c.f);
    EXPECT_FALSE(r.converged);
    EXPECT_NE(r.message.find(c.reason), std::string::npos) << r.message;
  }
}
