// Iterative spatial DLT and the self-calibrations of lens distortion.
#include <cmath>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include <collinear/io/point_file.h>
#include <collinear/orientation/dlt.h>
#include <collinear/orientation/status_text.h>
#include <collinear/orientation/test_scenes.h>

namespace {

typedef CArray<CXYZ, CXYZ&> PointList;
using collinear::testdata::CentreLookingAt;
using collinear::testdata::TrueCamera;

// A camera (mm) with a lens whose correction (dist, relative to the
// principal point) carries a measured point onto the ideal projection.
struct Camera : TrueCamera {
  CDist dist{};
};

// n points in front of the camera, +-spread across the view and +-relief
// around the distance depth, with their measured (distorted) images plus
// Gaussian noise of sigma_mm.
void MakeScene(const Camera& cam,
               int n,
               double depth,
               double spread,
               double relief,
               double sigma_mm,
               unsigned seed,
               PointList& obj,
               PointList& img) {
  obj = collinear::testdata::PointsInView(cam, n, depth, spread, relief, seed);
  img = cam.ProjectAll(obj);
  // The measured point Q of an ideal projection p: Q + dist(Q - pp) = p,
  // found by fixed-point iteration (the corrections are small).
  for (int i = 0; i < img.GetSize(); ++i) {
    const double ideal_x = img[i].m_x, ideal_y = img[i].m_y;
    for (int it = 0; it < 100; ++it) {
      double dx, dy;
      cam.dist.CalDist(img[i].m_x - cam.x0, img[i].m_y - cam.y0, dx, dy);
      img[i].m_x = ideal_x - dx;
      img[i].m_y = ideal_y - dy;
    }
  }
  std::mt19937 gen(seed);
  if (sigma_mm > 0) img = collinear::testdata::AddNoise(img, sigma_mm, gen);
}

Camera PlainCamera() {
  const CWPK wpk(0.2, -0.3, 1.1);
  return Camera{{CentreLookingAt(wpk, CXYZ(10, -20, 5), 400), wpk, 50, 50}};
}

Camera DistortedCamera(DIST_MODEL model) {
  const CWPK wpk(-0.1, 0.25, 2.0);
  Camera cam{
      {CentreLookingAt(wpk, CXYZ(5, -3, 2), 300), wpk, 35, 35, 0.15, -0.1}};
  cam.dist.SetDistModel(model);
  // Corrections of ~0.1 mm at the border of a 24 mm wide image.
  const double radial[] = {-8e-5, 6e-8, -3e-11, 1e-14};
  int k = 0;
  const int n_radial = model == DIST_K1K2K3K4   ? 4
                       : model == DIST_K1K2P1P2 ? 2
                                                : 3;
  for (; k < n_radial; ++k) cam.dist.m_Para[k] = radial[k];
  if (model != DIST_K1K2K3K4) {
    cam.dist.m_Para[k++] = 2e-5;     // p1
    cam.dist.m_Para[k++] = -1.5e-5;  // p2
  }
  return cam;
}

void ExpectCamera(const CDlt& dlt,
                  const Camera& cam,
                  double tol_mm,
                  double tol_pos,
                  double tol_rot) {
  EXPECT_NEAR(dlt.m_PrincipalPoint.m_x, cam.x0, tol_mm);
  EXPECT_NEAR(dlt.m_PrincipalPoint.m_y, cam.y0, tol_mm);
  EXPECT_NEAR(dlt.m_FocusMean, cam.cx, tol_mm);
  EXPECT_NEAR(dlt.m_FocusX, dlt.m_FocusY, 2 * tol_mm);
  EXPECT_NEAR(dlt.m_Center.m_x, cam.centre.m_x, tol_pos);
  EXPECT_NEAR(dlt.m_Center.m_y, cam.centre.m_y, tol_pos);
  EXPECT_NEAR(dlt.m_Center.m_z, cam.centre.m_z, tol_pos);
  for (int i = 0; i < 9; ++i)
    EXPECT_NEAR(dlt.m_Rot.m_r[i], cam.Rot().m_r[i], tol_rot);
}

int SelfCalib(CDlt& dlt, DIST_MODEL model) {
  const int op = model == DIST_K1K2K3K4 ? 4 : model == DIST_K1K2P1P2 ? 5 : 6;
  return (dlt.*collinear::testdata::kDltSolvers[op])();
}

const DIST_MODEL kSelfCalibModels[] = {
    DIST_K1K2K3K4, DIST_K1K2P1P2, DIST_K1K2K3P1P2};

// The condition values of the iterative solution: x0 and y0 are 0 and the
// two principal distances equal when they hold.
TEST(CDltIte3D, RecoversExactCameraWithCentredPrincipalPoint) {
  const Camera cam = PlainCamera();
  PointList obj, img;
  MakeScene(cam, 20, 400, 150, 60, 0.0, 1, obj, img);
  CDlt dlt;
  ASSERT_EQ(dlt.Create(obj, img, cam.cx), 1);
  ASSERT_EQ(dlt.CalDltIte3D(), 1);
  ASSERT_EQ(dlt.m_Dlt.GetSize(), 11);
  ExpectCamera(dlt, cam, 1e-7, 1e-6, 1e-9);
  EXPECT_LT(dlt.m_Rms.Len(), 1e-9);
  ASSERT_EQ(dlt.m_Residuals.GetSize(), 20);
  // No distortion: projections with and without it agree.
  EXPECT_EQ(dlt.m_Dist.m_Model, DIST_NONE);
  CXYZ a, b;
  ASSERT_EQ(dlt.ObjToPhc(obj[3], a, 0, 1e-12), 1);
  ASSERT_EQ(dlt.ObjToPhc(obj[3], b, 1, 1e-12), 1);
  EXPECT_EQ(a.m_x, b.m_x);
  EXPECT_EQ(a.m_y, b.m_y);
}

TEST(CDltIte3D, ConvergesOnNoisyData) {
  const double kSigmaMm = 0.002;
  const Camera cam = PlainCamera();
  PointList obj, img;
  MakeScene(cam, 30, 400, 150, 60, kSigmaMm, 9, obj, img);
  CDlt dlt;
  ASSERT_EQ(dlt.Create(obj, img, cam.cx), 1);
  ASSERT_EQ(dlt.CalDltIte3D(), 1);
  EXPECT_LT(dlt.m_Rms.m_x, 1.5 * kSigmaMm);
  EXPECT_LT(dlt.m_Rms.m_y, 1.5 * kSigmaMm);
  // 2 um over 50 mm is 4e-5 rad per point; the free principal point
  // (0.05 mm is 1e-3 rad) takes up part of the rotation: the elements
  // come out within a few 1e-4 over noise draws.
  ExpectCamera(dlt, cam, 0.05, 0.5, 5e-4);
}

// The conditions are soft, unit-weight rows: on exact data whose principal
// point is not at the origin they pull x0, y0 part of the way towards 0,
// while the linear solution reproduces them. (With the opposite orientation
// of the condition rows the iteration pushes them away, or diverges where
// the conditions weigh more than the points.)
TEST(CDltIte3D, ConditionsPullTowardsTheirTargets) {
  const double kCmPerMm = 0.1;  // object in cm: the conditions weigh more
  const CWPK wpk(0.2, -0.3, 1.1);
  const Camera cam{{CentreLookingAt(wpk, CXYZ(1, -2, 0.5), 400 * kCmPerMm),
                    wpk,
                    50.0,
                    50.0,
                    2.0,
                    -1.5}};
  PointList obj, img;
  MakeScene(
      cam, 20, 400 * kCmPerMm, 150 * kCmPerMm, 60 * kCmPerMm, 0.0, 9, obj, img);
  CDlt linear, ite;
  ASSERT_EQ(linear.Create(obj, img, cam.cx), 1);
  ASSERT_EQ(linear.CalDlt3D(), 1);
  EXPECT_NEAR(linear.m_PrincipalPoint.m_x, cam.x0, 1e-6);
  ASSERT_EQ(ite.Create(obj, img, cam.cx), 1);
  ASSERT_EQ(ite.CalDltIte3D(), 1);
  // Towards the origin, without overshooting it.
  const double offset_mm =
      std::hypot(ite.m_PrincipalPoint.m_x, ite.m_PrincipalPoint.m_y);
  EXPECT_LT(offset_mm, std::hypot(cam.x0, cam.y0) - 1e-4);
  EXPECT_GT(ite.m_PrincipalPoint.m_x, 0.0);
  EXPECT_LT(ite.m_Rms.Len(), 1e-3);  // the price of the conditions, in mm
}

TEST(CDltIte3D, NeedsSixPairs) {
  const Camera cam = PlainCamera();
  PointList obj, img;
  MakeScene(cam, 7, 400, 150, 60, 0.0, 2, obj, img);
  CDlt dlt;
  ASSERT_EQ(dlt.Create(obj, img, cam.cx), 1);
  EXPECT_EQ(dlt.CalDltIte3D(), 1);  // 7 pairs are enough here

  MakeScene(cam, 5, 400, 150, 60, 0.0, 2, obj, img);
  ASSERT_EQ(dlt.Create(obj, img, cam.cx), 1);
  EXPECT_EQ(dlt.CalDltIte3D(), 0);
  EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
}

class CDltSelfCalib : public testing::TestWithParam<DIST_MODEL> {};

TEST_P(CDltSelfCalib, RecoversKnownDistortion) {
  const DIST_MODEL model = GetParam();
  const Camera cam = DistortedCamera(model);
  PointList obj, img;
  MakeScene(cam, 60, 300, 110, 80, 0.0, 3, obj, img);
  CDlt dlt;
  ASSERT_EQ(dlt.Create(obj, img, cam.cx), 1);
  ASSERT_EQ(SelfCalib(dlt, model), 1);
  EXPECT_EQ(dlt.m_Dist.m_Model, model);
  EXPECT_EQ(dlt.m_Dist.m_NumPara, model == DIST_K1K2K3P1P2 ? 5 : 4);
  ExpectCamera(dlt, cam, 1e-6, 1e-5, 1e-8);
  for (int k = 0; k < dlt.m_Dist.m_NumPara; ++k) {
    // Exact data; the higher radial terms are nearly collinear with the
    // lower ones, so each is checked relative to its own size.
    EXPECT_NEAR(dlt.m_Dist.m_Para[k],
                cam.dist.m_Para[k],
                1e-4 * std::fabs(cam.dist.m_Para[k]))
        << "parameter " << k;
  }
  // Residuals with the distortion applied vanish; without it they would be
  // the size of the corrections.
  EXPECT_LT(dlt.m_Rms.Len(), 1e-8);
  double largest_correction = 0;
  for (int i = 0; i < obj.GetSize(); ++i) {
    CXYZ ideal;
    ASSERT_EQ(dlt.ObjToPhc(obj[i], ideal, 0, 0.0), 1);
    largest_correction =
        std::fmax(largest_correction, std::fabs(ideal.m_x - img[i].m_x));
  }
  EXPECT_GT(largest_correction, 0.01);
}

TEST_P(CDltSelfCalib, NeedsEightPairsWithoutTouchingTheText) {
  const Camera cam = DistortedCamera(GetParam());
  PointList obj, img;
  MakeScene(cam, 7, 300, 110, 80, 0.0, 4, obj, img);
  CDlt dlt;
  ASSERT_EQ(dlt.Create(obj, img, cam.cx), 1);
  ASSERT_EQ(dlt.CalDlt(), 1);
  dlt.m_Message = "marker";
  EXPECT_EQ(SelfCalib(dlt, GetParam()), 0);
  EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
  EXPECT_EQ(dlt.m_Message, "marker");  // CalDlt was not called
}

TEST_P(CDltSelfCalib, PlaneStartFailsWithoutException) {
  // All control points on Z = 0: CalDlt settles on the plane solution.
  PointList obj, img;
  for (int i = 0; i < 12; ++i) {
    const std::string name = "G" + std::to_string(i);
    const double x = (i % 4) * 10.0, y = (i / 4) * 12.0 + (i % 3);
    CXYZ p(name.c_str(), x, y, 0.0);
    CXYZ q(name.c_str(), 0.3 * x - 5 + 0.001 * x * y, 0.28 * y - 4, 0.0);
    obj.Add(p);
    img.Add(q);
  }
  CDlt dlt;
  ASSERT_EQ(dlt.Create(obj, img, 50.0), 1);
  int result = -1;
  EXPECT_NO_THROW(result = SelfCalib(dlt, GetParam()));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
  EXPECT_EQ(dlt.m_Message, collinear::kDltText2DPlane);
  CXYZ p;
  EXPECT_EQ(dlt.ObjToPhc(obj[0], p, 1, 1e-12), 0);
}

INSTANTIATE_TEST_SUITE_P(Models,
                         CDltSelfCalib,
                         testing::ValuesIn(kSelfCalibModels));

TEST(CDltSelfCalibFailure, SingleIterationEmptiesAndResets) {
  const Camera cam = DistortedCamera(DIST_K1K2K3P1P2);
  PointList obj, img;
  MakeScene(cam, 30, 300, 110, 80, 0.002, 5, obj, img);
  CDlt dlt;
  ASSERT_EQ(dlt.Create(obj, img, cam.cx), 1);
  dlt.m_MaxIter = 1;
  for (DIST_MODEL model : kSelfCalibModels) {
    SCOPED_TRACE(model);
    EXPECT_EQ(SelfCalib(dlt, model), 0);
    EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
    EXPECT_EQ(dlt.m_Dist.m_Model, DIST_NONE);
    EXPECT_EQ(dlt.m_Dist.m_NumPara, 0);
    EXPECT_EQ(dlt.m_Dist.m_Para[0], 0.0);
  }
  EXPECT_EQ(dlt.CalDltIte3D(), 0);
  EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
  CXYZ p("untouched", 1, 2, 3);
  EXPECT_EQ(dlt.ObjToPhc(obj[0], p, 0, 0.0), 0);
  EXPECT_EQ(p.m_strName, "untouched");

  dlt.m_MaxIter = 60;  // the same object solves with the default limit
  EXPECT_EQ(dlt.CalDltSelfCalib_k1k2k3p1p2(), 1);
  EXPECT_EQ(dlt.CalDltIte3D(), 1);
}

TEST(CDltSelfCalibFailure, UnequalCountsFailEveryOperation) {
  const Camera cam = DistortedCamera(DIST_K1K2P1P2);
  PointList obj, img;
  MakeScene(cam, 12, 300, 110, 80, 0.0, 6, obj, img);
  CDlt dlt;
  ASSERT_EQ(dlt.Create(obj, img, cam.cx), 1);
  dlt.m_ObjPoints.SetSize(11);
  for (DIST_MODEL model : kSelfCalibModels) {
    EXPECT_EQ(SelfCalib(dlt, model), 0);
    EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
  }
  EXPECT_EQ(dlt.CalDltIte3D(), 0);
}

// --- Published measurement data ---------------------------------------

// Heikkila's two-plane target: 491 circle centroids in one 768 x 576 image
// of a Sony camera (8.5 mm lens, 0.00808 mm pixels). Image coordinates are
// taken in pixels from the picture centre, y up.
void ReadHeikkila(PointList& obj, PointList& img) {
  std::string error;
  ASSERT_TRUE(collinear::ReadControlFile(
      COLLINEAR_DATA_DIR "/heikkila-3d/points.txt", obj, img, error))
      << error;
  for (int i = 0; i < img.GetSize(); ++i) {
    img[i].m_x -= 384.0;
    img[i].m_y = 288.0 - img[i].m_y;
  }
}

TEST(CDltRealData, HeikkilaTwoPlaneTarget) {
  PointList obj, img;
  ReadHeikkila(obj, img);
  ASSERT_EQ(obj.GetSize(), 491);
  // Without distortion the lens leaves ~0.7 px per coordinate (2.4 px at
  // worst); with it, what remains is the centroid precision of ~0.05 px.
  const double kRmsNoDistPx = 1.0;
  const double kRmsDistPx = 0.1;
  const double kFocusPx = 8.5 / 0.00808;  // nominal
  CDlt dlt;
  ASSERT_EQ(dlt.Create(obj, img, kFocusPx), 1);
  ASSERT_EQ(dlt.CalDltIte3D(), 1);
  EXPECT_LT(dlt.m_Rms.m_x, kRmsNoDistPx);
  EXPECT_LT(dlt.m_Rms.m_y, kRmsNoDistPx);
  for (DIST_MODEL model : kSelfCalibModels) {
    SCOPED_TRACE(model);
    ASSERT_EQ(SelfCalib(dlt, model), 1);
    EXPECT_LT(dlt.m_Rms.m_x, kRmsDistPx);
    EXPECT_LT(dlt.m_Rms.m_y, kRmsDistPx);
    EXPECT_NEAR(dlt.m_FocusMean, kFocusPx, 0.1 * kFocusPx);
    // A correction that pushes points outwards: barrel distortion.
    EXPECT_GT(dlt.m_Dist.m_Para[0], 0.0);
  }
}

// Duarte's cube: 8 corners measured with a ruler (0.2 cm), digitised in
// whole pixels in four photographs; image y taken upwards.
TEST(CDltRealData, CubeFourViews) {
  PointList obj_all, img_all;
  std::string error;
  ASSERT_TRUE(collinear::ReadControlFile(COLLINEAR_DATA_DIR
                                         "/dlt-cube-4views/points.txt",
                                         obj_all,
                                         img_all,
                                         error))
      << error;
  ASSERT_EQ(obj_all.GetSize(), 32);
  // 0.2 cm of ruler error at ~30 px/cm is ~6 px per coordinate.
  const double kRmsBoundPx = 6.0;
  for (int view = 0; view < 4; ++view) {
    SCOPED_TRACE(view + 1);
    PointList obj, img;
    for (int i = 0; i < 8; ++i) {
      CXYZ o = obj_all[8 * view + i], p = img_all[8 * view + i];
      o.m_strName = p.m_strName = ("C" + std::to_string(i + 1)).c_str();
      p.m_y = -p.m_y;
      obj.Add(o);
      img.Add(p);
    }
    CDlt dlt;
    ASSERT_EQ(dlt.Create(obj, img, 1000.0), 1);
    ASSERT_EQ(dlt.CalDlt3D(), 1);
    EXPECT_LT(dlt.m_Rms.m_x, kRmsBoundPx);
    EXPECT_LT(dlt.m_Rms.m_y, kRmsBoundPx);
    // The iterative solution starts from the plane fit, which ignores Z:
    // the cube's top and bottom corners share X and Y, so that start is
    // meaningless and the iteration does not converge.
    EXPECT_EQ(dlt.CalDltIte3D(), 0);
    EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
    // 16 equations for 15 or 16 unknowns: at most one redundant
    // observation, so the self-calibrations do not settle either.
    for (DIST_MODEL model : kSelfCalibModels) {
      SCOPED_TRACE(model);
      EXPECT_EQ(SelfCalib(dlt, model), 0);
      EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
    }
  }
}

}  // namespace
