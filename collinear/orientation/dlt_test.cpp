#include <collinear/orientation/dlt.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include <collinear/io/point_file.h>
#include <collinear/orientation/status_text.h>
#include <collinear/orientation/test_scenes.h>
#include <collinear/primitives/constants.h>

namespace {

using collinear::testdata::AddNoise;
using collinear::testdata::Digest;
using collinear::testdata::Hex;
using collinear::testdata::kDltSolvers;
using collinear::testdata::Points;
using collinear::testdata::RandomBox;
using collinear::testdata::TrueCamera;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Exact data: rounding only, amplified by the unnormalised normal equations;
// the errors seen are 100 times or more below this (relative to c, to the
// centre's distance; rotation elements; image residuals in mm).
constexpr double kTolExact = 1e-10;

// Object units; c stays below the depth of the control points, which the
// sign of the rotation puts more than c in front. The object origin lies in
// front of kDownward and behind kUpward, where the first sign of the
// rotation comes out wrong.
const TrueCamera kDownward{
    CXYZ(2, -3, 45), CWPK(0.1, -0.2, 0.6), 20, 20, 0.3, -0.2};
const TrueCamera kUpward{
    CXYZ(1, 2, 5), CWPK(collinear::kPi - 0.1, 0.15, -2), 15, 15, -0.4, 0.25};

// n points in front of cam, named P1..Pn: within +-30 % of depth along the
// line of sight and +-3/8 of it across the view.
Points InView(const TrueCamera& cam, int n, unsigned seed, double depth = 40) {
  const double a = 0.375 * depth;
  Points pts =
      RandomBox(n, CXYZ(-a, -a, -1.3 * depth), CXYZ(a, a, -0.7 * depth), seed);
  CRot to_obj = cam.Rot();
  to_obj.T();
  for (INT_PTR i = 0; i < pts.GetSize(); ++i) {
    const CXYZ p = to_obj * pts[i] + cam.centre;
    pts[i].SetXYZ(p.m_x, p.m_y, p.m_z);
  }
  return pts;
}

CDlt Created(Points obj, Points img, double focus) {
  CDlt dlt;
  EXPECT_EQ(dlt.Create(obj, img, focus), 1);
  return dlt;
}

}  // namespace

// Create and CalDlt each check the pairs: a failed Create keeps the pairs
// it was given and the earlier focus.
TEST(CDlt, CreateAndCalDltNeedFourPairs) {
  Points obj = RandomBox(6, CXYZ(0, 0, 0), CXYZ(9, 9, 9), 1), img;
  for (int i = 5; i >= 2; --i) img.Add(obj[i]);  // P6..P3
  CDlt dlt;
  ASSERT_EQ(dlt.Create(obj, img, 42.0), 1);
  EXPECT_STREQ(dlt.m_ImgPoints[0].m_strName, "P3");  // object order
  const struct {
    int removed;  // from the front of img
    const char* text;
  } kCases[] = {{1, collinear::kDltTextTooFewPoints},
                {3, collinear::kDltTextNotMeasured}};
  for (const auto& [removed, text] : kCases) {
    img.RemoveAt(0, removed);
    EXPECT_EQ(dlt.Create(obj, img, 1.0), 0);
    EXPECT_STREQ(dlt.m_Message, text);
    EXPECT_EQ(dlt.m_ObjPoints.GetSize(), img.GetSize());  // kept
    EXPECT_EQ(dlt.m_Focus, 42.0);
    dlt.m_Message = "";
    EXPECT_EQ(dlt.CalDlt(), 0);
    EXPECT_STREQ(dlt.m_Message, text);
  }
}

// Exact data: the spatial (1), plane (2), iterated (3, principal point at
// the origin and cx = cy) and self-calibrating (4-6, measured = ideal +
// known distortion) solutions recover the camera. quality/ derives the
// camera again with CameraFromDlt: it must agree with the spatial solution
// bit for bit. Results are read from an assigned copy.
TEST(CDlt, SolutionsRecoverExactCameras) {
  TrueCamera unequal = kUpward;
  unequal.cy = 17.0;
  // Looks along Y from near the origin: the control's mean, not its
  // mirror image, decides the rotation's sign.
  const TrueCamera side{CXYZ(3, 0, -2), CWPK(1.4, 0.1, 0.2), 20, 20};
  const TrueCamera centred{CXYZ(10, -20, 400), CWPK(0.2, -0.3, 1.1), 50, 50};
  const TrueCamera lens{
      CXYZ(5, -3, 300), CWPK(-0.1, 0.25, 2.0), 35, 35, 0.15, -0.1};
  const Points lp = InView(lens, 60, 3, 300);
  const auto over_plane = [](double w, double p, double k) {
    return TrueCamera{CXYZ(3, -2, 40), CWPK(w, p, k), 50, 50};
  };
  // Control on the plane Z = 1.5, 38.5 below the plane cameras.
  const Points flat = RandomBox(10, CXYZ(-12, -17, 1.5), CXYZ(18, 13, 1.5), 5);
  // Corrections of ~0.1 mm at the border of a 24 mm wide image. The higher
  // radial terms are nearly collinear with the lower ones, so each term is
  // checked relative to its own size.
  const struct {
    int solver;
    TrueCamera cam;
    Points obj;
    double tol;
    DIST_MODEL model = DIST_NONE;
    double para[5] = {};
  } kCases[] = {
      {1, kDownward, InView(kDownward, 15, 3), kTolExact},
      {1, unequal, InView(unequal, 15, 3), kTolExact},
      {1, side, InView(side, 15, 3), kTolExact},
      {2, over_plane(0.25, 0.0, -1.0), flat, kTolExact},  // phi 0
      {2, over_plane(0.0, 0.2, 0.7), flat, kTolExact},    // omega 0
      {2, over_plane(-0.1, 0.12, 3.1), flat, kTolExact},
      {3, centred, InView(centred, 20, 1, 400), 2.5e-9},
      {4, lens, lp, 3e-8, DIST_K1K2K3K4, {-8e-5, 6e-8, -3e-11, 1e-14}},
      {5, lens, lp, 3e-8, DIST_K1K2P1P2, {-8e-5, 6e-8, 2e-5, -1e-5}},
      {6, lens, lp, 3e-8, DIST_K1K2K3P1P2, {-8e-5, 6e-8, -3e-11, 2e-5, -1e-5}}};
  for (const auto& tc : kCases) {
    SCOPED_TRACE(&tc - kCases);
    CDist dist;
    dist.SetDistModel(tc.model);
    std::copy_n(tc.para, dist.m_NumPara, dist.m_Para);
    Points img = tc.cam.ProjectAll(tc.obj);
    for (INT_PTR i = 0; i < img.GetSize(); ++i) {
      double dx = 0.0, dy = 0.0, x = img[i].m_x - tc.cam.x0;
      ASSERT_TRUE(dist.CalDistInv(x, img[i].m_y - tc.cam.y0, dx, dy, 1e-13));
      img[i].m_x += dx;
      img[i].m_y += dy;
    }
    CDlt solved = Created(tc.obj, img, tc.cam.cx), dlt;
    ASSERT_EQ((solved.*kDltSolvers[tc.solver])(), 1);
    dlt = CDlt(solved);
    for (int k = 0; k < dist.m_NumPara; ++k) {
      const double want = tc.para[k];
      EXPECT_NEAR(dlt.m_Dist.m_Para[k], want, 1e-4 * std::fabs(want)) << k;
    }
    // Lengths to tol times c or the centre's distance, rotation elements
    // (also from the angles) to tol.
    const double c = tc.cam.cx;
    const CXYZ& pp = dlt.m_PrincipalPoint;
    EXPECT_NEAR(
        std::hypot(pp.m_x - tc.cam.x0, pp.m_y - tc.cam.y0), 0.0, tc.tol * c);
    EXPECT_NEAR(dlt.m_FocusX, tc.cam.cx, tc.tol * c);
    EXPECT_NEAR(dlt.m_FocusY, tc.cam.cy, tc.tol * c);
    EXPECT_NEAR(dlt.m_FocusMean, (tc.cam.cx + tc.cam.cy) / 2, tc.tol * c);
    EXPECT_NEAR((dlt.m_Center - tc.cam.centre).Len(),
                0.0,
                tc.tol * tc.cam.centre.Len());
    CRot from_angles;
    from_angles.SetMatrix(ROT_KPW, dlt.m_Wpk);
    for (int k = 0; k < 9; ++k) {
      EXPECT_NEAR(dlt.m_Rot.m_r[k], tc.cam.Rot().m_r[k], tc.tol) << k;
      EXPECT_NEAR(from_angles.m_r[k], tc.cam.Rot().m_r[k], tc.tol) << k;
    }
    EXPECT_LT(dlt.m_Rms.Len(), tc.tol);  // with the distortion applied
    if (tc.solver != 1) continue;
    EXPECT_TRUE(dlt.m_Message.IsEmpty());
    // Any control point in front serves as the mean point.
    const collinear::DltCamera same =
        collinear::CameraFromDlt(dlt.m_Dlt.GetData(), tc.obj[0]);
    ASSERT_TRUE(same.valid);
    EXPECT_EQ((same.centre - dlt.m_Center).Len(), 0.0);
    for (int k = 0; k < 9; ++k) EXPECT_EQ(same.rot.m_r[k], dlt.m_Rot.m_r[k]);
  }
}

// The centre's derivatives against central differences of CameraFromDlt,
// which refuses degenerate or non-finite coefficients.
TEST(CameraFromDlt, DerivativesAndDegenerateCoefficients) {
  const Points obj = InView(kDownward, 12, 4);
  CDlt dlt = Created(obj, kDownward.ProjectAll(obj), kDownward.cx);
  ASSERT_EQ(dlt.CalDlt3D(), 1);
  const double* l0 = dlt.m_Dlt.GetData();
  double d[3][11];
  ASSERT_TRUE(collinear::DltCentreDerivatives(l0, dlt.m_Center, d));
  for (int j = 0; j < 11; ++j) {
    double l[11];
    std::copy_n(l0, 11, l);
    const double h = 1e-5 * std::fabs(l0[j]);
    l[j] = l0[j] + h;
    const CXYZ plus = collinear::CameraFromDlt(l, obj[0]).centre;
    l[j] = l0[j] - h;
    const CXYZ diff =
        (plus - collinear::CameraFromDlt(l, obj[0]).centre) / (2 * h);
    const CXYZ dj(d[0][j], d[1][j], d[2][j]);
    EXPECT_NEAR((dj - diff).Len(), 0.0, 1e-6 * diff.Len()) << j;  // O(h^2)
  }
  const double singular[11] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0};
  d[0][0] = 7.0;
  EXPECT_FALSE(collinear::DltCentreDerivatives(singular, dlt.m_Center, d));
  EXPECT_EQ(d[0][0], 7.0);
  const struct {
    int first, count;  // l[first..first + count - 1] set to value
    double value;
  } kCases[] = {{8, 3, 0.0},  // L9 = L10 = L11 = 0: no vanishing plane
                {0, 3, 0.0},  // L1 = L2 = L3 = 0: cx = 0
                {3, 1, kNaN}};
  for (const auto& tc : kCases) {
    double l[11];
    std::copy_n(l0, 11, l);
    std::fill_n(l + tc.first, tc.count, tc.value);
    EXPECT_FALSE(collinear::CameraFromDlt(l, obj[0]).valid) << tc.first;
  }
}

// Integer data whose fit gives e8, and so omega, exactly 0, where the general
// height formula divides by sin(omega): image (x, +-y) maps to the object
// point X = (e1 x + e3) / w, Y = e5 y / w, Z = 0, w = e7 x + 1.
TEST(CDlt, PlaneSolutionWithOmegaExactlyZero) {
  const double e1 = 9, e3 = 848, e5 = 12.5, e7 = -1.0 / 128;
  Points obj, img;
  for (const double x : {-128.0, 0.0, 64.0, 96.0}) {
    for (const double y : {8.0, -8.0, 16.0, -16.0}) {
      const std::string name = std::to_string(obj.GetSize());
      CXYZ p(
          name.c_str(), (e1 * x + e3) / (e7 * x + 1), e5 * y / (e7 * x + 1), 0);
      CXYZ q(name.c_str(), x, y, 0.0);
      obj.Add(p);
      img.Add(q);
    }
  }
  CDlt dlt = Created(obj, img, 96.0);
  ASSERT_EQ(dlt.CalDlt2D(), 1);
  ASSERT_EQ(dlt.m_Wpk.m_w, 0.0);  // the case of this test
  EXPECT_NEAR(dlt.m_Wpk.m_p, std::atan(0.75), kTolExact);
  EXPECT_NEAR(dlt.m_Wpk.m_k, 0.0, kTolExact);
  EXPECT_NEAR((dlt.m_Center - CXYZ(128, 0, 960)).Len(), 0.0, 1e-7);
  EXPECT_LT(dlt.m_Rms.Len(), kTolExact);
}

TEST(CDlt, DriverChoosesBySolvabilityAndResiduals) {
  const TrueCamera plane_cam{CXYZ(1, 1, 30), CWPK(0.1, 0.05, 0.3), 50, 50};
  const Points flat = RandomBox(9, CXYZ(-10, -10, 0), CXYZ(10, 10, 0), 6);
  Points four(flat);
  four.SetSize(4);
  const struct {
    const Points& obj;
    const TrueCamera& cam;
    int coefficients;
    const char* text;
  } kCases[] = {{four, plane_cam, 8, collinear::kDltText2DFewPoints},
                {InView(kDownward, 6, 9), kDownward, 11, collinear::kDltText3D},
                {flat, plane_cam, 8, collinear::kDltText2DPlane}};
  for (const auto& tc : kCases) {
    SCOPED_TRACE(tc.obj.GetSize());
    CDlt dlt = Created(tc.obj, tc.cam.ProjectAll(tc.obj), tc.cam.cx);
    ASSERT_EQ(dlt.CalDlt(), 1);
    EXPECT_EQ(dlt.m_Dlt.GetSize(), tc.coefficients);
    EXPECT_STREQ(dlt.m_Message, tc.text);
    EXPECT_LT(dlt.m_Rms.Len(), kTolExact);  // an exact model
  }
}

// Each row breaks a solved object (10 noisy pairs, m_Dist set): the solver
// fails with m_Dlt empty and no projection, and leaves the text and the
// distortion as the row says.
TEST(CDlt, FailedSolutionsLeaveNoCoefficients) {
  const Points obj = InView(kDownward, 10, 11);
  std::mt19937 gen(11);
  const Points img = AddNoise(kDownward.ProjectAll(obj), 0.01, gen);
  const struct {
    int solver, n_obj, n_img;
    double CXYZ::*zeroed;
    int max_iter;
    const char* text;
    int dist_para;
  } kCases[] = {{0, 9, 10, nullptr, 60, "", 0},
                {1, 5, 5, nullptr, 60, "", 0},
                {3, 5, 5, nullptr, 60, "", 0},
                {2, 3, 3, nullptr, 60, "", 0},
                {4, 7, 7, nullptr, 60, collinear::kDltText3D, 4},
                {1, 10, 10, &CXYZ::m_z, 60, "", 0},  // coplanar
                {5, 10, 10, &CXYZ::m_z, 60, collinear::kDltText2DPlane, 0},
                {2, 10, 10, &CXYZ::m_y, 60, "", 0},  // collinear
                {3, 10, 10, nullptr, 1, "", 0},
                {6, 10, 10, nullptr, 1, collinear::kDltText3D, 0}};
  // Five points, one far out: the spatial solution cannot start, the plane
  // solution succeeds but its residuals overflow, so neither is kept.
  Points few_obj, few_img;
  const double kFew[5][5] = {{0, 0, 0, 1.1e199, 1.1},
                             {0, 1, 0, 0.1, 1.3},
                             {1, 1, 1, 1.2, 1.2},
                             {2, 0, 1, 2.1, 0.1},
                             {0, 2, 1, 0.2, 2.1}};
  for (const auto& p : kFew) {
    const CString name(std::to_string(&p - kFew).c_str());
    CXYZ o(name, p[0], p[1], p[2]), i(name, p[3], p[4], 0);
    few_obj.Add(o);
    few_img.Add(i);
  }
  CDlt overflow = Created(few_obj, few_img, 10.0);
  EXPECT_EQ(overflow.CalDlt(), 0);
  EXPECT_EQ(overflow.m_Dlt.GetSize(), 0);
  for (const auto& tc : kCases) {
    SCOPED_TRACE(&tc - kCases);
    CDlt dlt = Created(obj, img, 50.0);
    ASSERT_EQ(dlt.CalDlt(), 1);
    dlt.m_Dist.SetDistModel(DIST_K1K2K3K4);
    dlt.m_ObjPoints.SetSize(tc.n_obj);
    dlt.m_ImgPoints.SetSize(tc.n_img);
    for (INT_PTR i = 0; tc.zeroed && i < tc.n_obj; ++i)
      dlt.m_ObjPoints[i].*tc.zeroed = 0.0;
    dlt.m_MaxIter = tc.max_iter;
    EXPECT_EQ((dlt.*kDltSolvers[tc.solver])(), 0);
    EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
    EXPECT_STREQ(dlt.m_Message, tc.text);
    EXPECT_EQ(dlt.m_Dist.m_NumPara, tc.dist_para);
    CXYZ out("marker", 7, 8, 9);
    EXPECT_EQ(dlt.ObjToPhc(obj[0], out, 0, 0.0), 0);
    EXPECT_EQ(out.m_x, 7.0);
  }
}

TEST(CDlt, ObjToPhcProjectsWithTheCurrentModel) {
  const Points obj = InView(kDownward, 10, 12);
  CDlt dlt = Created(obj, kDownward.ProjectAll(obj), 50.0);
  CXYZ out("marker", 7, 8, 9);
  ASSERT_EQ(dlt.CalDlt3D(), 1);
  const CXYZ p("far", 4, -6, -2);
  ASSERT_EQ(dlt.ObjToPhc(p, out, 1, 1e-12), 1);  // m_Dist reset: none
  EXPECT_STREQ(out.m_strName, "far");
  EXPECT_EQ(out.m_z, 9.0);
  EXPECT_NEAR(out.m_x, kDownward.Project(p).m_x, kTolExact);
  // With distortion, a tolerance never met gives 0 (the corrected point is
  // checked through the self-calibrations' residuals).
  dlt.m_Dist.SetDistModel(DIST_K1K2K3K4);
  dlt.m_Dist.m_Para[0] = 2e-4;
  CXYZ q;
  EXPECT_EQ(dlt.ObjToPhc(p, q, 1, kNaN), 0);
  // Given plane coefficients: Z and the distortion play no part; w = 0 at
  // X = -4 leaves the output untouched.
  const double plane[] = {2, 0.5, 1, -0.25, 3, -1, 0.25, 0.125};
  dlt.m_Dlt.SetSize(8);
  std::copy_n(plane, 8, dlt.m_Dlt.GetData());
  ASSERT_EQ(dlt.ObjToPhc(CXYZ(2, 4, 1e6), q, 1, 1e-12), 1);  // w = 2
  EXPECT_EQ(q.m_x, 3.5);
  EXPECT_EQ(q.m_y, 5.25);
  EXPECT_EQ(dlt.ObjToPhc(CXYZ(-4, 0, 0), q, 0, 0.0), 0);
  EXPECT_EQ(q.m_x, 3.5);
}

TEST(CDlt, ResidualsAreProjectedMinusMeasured) {
  const Points obj = InView(kDownward, 40, 13);
  Points img = kDownward.ProjectAll(obj);
  img[29].m_x += 0.05;  // P30 measured too far right
  CDlt dlt = Created(obj, img, 50.0);
  ASSERT_EQ(dlt.CalDlt3D(), 1);
  ASSERT_EQ(dlt.m_Residuals.GetSize(), 40);
  EXPECT_STREQ(dlt.m_Residuals[29].m_strName, "P30");
  EXPECT_LT(dlt.m_Residuals[29].m_x, -0.025);
  EXPECT_GT(dlt.m_Rms.m_x, dlt.m_Rms.m_y);
}

// Heikkila's two-plane target: 491 circle centroids in one 768 x 576 image
// of a Sony camera (8.5 mm lens, 0.00808 mm pixels). Image coordinates are
// taken in pixels from the picture centre, y up.
TEST(CDltRealData, HeikkilaTwoPlaneTarget) {
  Points obj, img;
  std::string error;
  ASSERT_TRUE(collinear::ReadControlFile(
      COLLINEAR_DATA_DIR "/heikkila-3d/points.txt", obj, img, error))
      << error;
  ASSERT_EQ(obj.GetSize(), 491);
  for (INT_PTR i = 0; i < img.GetSize(); ++i) {
    img[i].m_x -= 384.0;
    img[i].m_y = 288.0 - img[i].m_y;
  }
  const double kFocusPx = 8.5 / 0.00808;  // nominal
  CDlt dlt = Created(obj, img, kFocusPx);
  std::string golden;
  for (const int solver : {1, 3, 4, 5, 6}) {
    SCOPED_TRACE(solver);
    ASSERT_EQ((dlt.*kDltSolvers[solver])(), 1);
    // Without distortion the lens leaves ~0.7 px per coordinate (2.4 px at
    // worst); with it, the centroid precision of ~0.05 px.
    const double rms_bound_px = solver < 4 ? 1.0 : 0.1;
    EXPECT_LT(dlt.m_Rms.m_x, rms_bound_px);
    EXPECT_LT(dlt.m_Rms.m_y, rms_bound_px);
    EXPECT_NEAR(dlt.m_FocusMean, kFocusPx, 0.1 * kFocusPx);
    // A correction that pushes points outwards: barrel distortion.
    const double k1 = dlt.m_Dist.m_Para[0];
    EXPECT_TRUE(solver < 4 || k1 > 0.0);
    const CXYZ &c = dlt.m_Center, &r = dlt.m_Rms;
    golden += Hex({c.m_x, c.m_y, c.m_z, r.m_x, r.m_y, k1}) + "\n";
  }
  // Golden: Digest of centre, rms and k1 per solver, printed (Hex) from this
  // tree, the solvers' order of operations being part of their results.
  EXPECT_EQ(Digest(golden), 0x703316e076614cc9ULL) << golden;
}

// Duarte's cube: 8 corners measured with a ruler (0.2 cm), digitised in
// whole pixels in four photographs; image y taken upwards.
TEST(CDltRealData, CubeFourViews) {
  Points objs, imgs;
  std::string error;
  ASSERT_TRUE(collinear::ReadControlFile(
      COLLINEAR_DATA_DIR "/dlt-cube-4views/points.txt", objs, imgs, error))
      << error;
  ASSERT_EQ(objs.GetSize(), 32);
  for (int view = 0; view < 4; ++view) {
    SCOPED_TRACE(view + 1);
    Points obj, img;
    for (int i = 8 * view; i < 8 * view + 8; ++i) {
      obj.Add(objs[i]);
      img.Add(imgs[i]);
      img[img.GetSize() - 1].m_y *= -1.0;
    }
    CDlt dlt = Created(obj, img, 1000.0);
    ASSERT_EQ(dlt.CalDlt3D(), 1);
    // 0.2 cm of ruler error at ~30 px/cm is ~6 px per coordinate.
    EXPECT_LT(dlt.m_Rms.m_x, 6.0);
    EXPECT_LT(dlt.m_Rms.m_y, 6.0);
    // The iteration starts from the plane fit, which ignores Z: top and
    // bottom corners share X and Y, so it does not converge. 16 equations
    // for 15 or 16 unknowns do not settle the self-calibrations either.
    for (const int solver : {3, 4, 5, 6}) {
      EXPECT_EQ((dlt.*kDltSolvers[solver])(), 0) << solver;
      EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
    }
  }
}
