#include <collinear/orientation/dlt.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/leastsq/leastsq.h>
#include <collinear/orientation/status_text.h>
#include <collinear/orientation/test_scenes.h>
#include <collinear/primitives/constants.h>

namespace {

using PointList = CArray<CXYZ, CXYZ&>;
using collinear::testdata::PointsInView;
using collinear::testdata::RandomBox;
using collinear::testdata::TrueCamera;

// Exact data: the only error is rounding, amplified by the unnormalised
// normal equations; the errors seen are 100 times or more below these.
constexpr double kTolCoeffRel = 1e-9;
constexpr double kTolLengthRel = 1e-10;  // centre, principal distance, x0, y0
constexpr double kTolRot = 1e-10;        // matrix elements, angles (rad)
constexpr double kTolImageMm = 1e-10;    // residuals and projections

// Points of the plane Z = z, spread over +-half in X and Y around (x, y).
PointList PlanePoints(
    int n, double x, double y, double z, double half, unsigned seed) {
  return RandomBox(
      n, CXYZ(x - half, y - half, z), CXYZ(x + half, y + half, z), seed);
}

CDlt Created(const PointList& obj, const PointList& img, double focus) {
  CDlt dlt;
  PointList o(obj), i(img);
  EXPECT_EQ(dlt.Create(o, i, focus), 1);
  return dlt;
}

void ExpectRotNear(const CRot& got, const CRot& want, double tol) {
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(got.m_r[k], want.m_r[k], tol) << k;
}

void ExpectPointNear(const CXYZ& got, const CXYZ& want, double tol) {
  EXPECT_NEAR(got.m_x, want.m_x, tol);
  EXPECT_NEAR(got.m_y, want.m_y, tol);
  EXPECT_NEAR(got.m_z, want.m_z, tol);
}

// The Shift-JIS status text must read as the UTF-8 text given here.
void ExpectText(const CString& message, const char* utf8) {
  EXPECT_EQ(collinear::StatusTextToUtf8(message), utf8);
}

// Scenes: control points about kDepth before the camera, within +-kSpread
// across the view and +-kRelief in depth (object units). The sign check of
// the rotation compares that depth with the principal distance, so the
// cameras have c < kDepth in the same unit.
constexpr double kDepth = 40.0, kSpread = 15.0, kRelief = 12.0;
// The object origin lies in front of this camera: the first sign of the
// rotation is already right.
const TrueCamera kDownward{
    CXYZ(2.0, -3.0, 45.0), CWPK(0.1, -0.2, 0.6), 20.0, 20.0, 0.3, -0.2};
// Looks up from just above the origin, which lies behind it: the first sign
// puts the control points behind the image plane.
const TrueCamera kUpward{CXYZ(1.0, 2.0, 5.0),
                         CWPK(collinear::kPi - 0.1, 0.15, -2.0),
                         15.0,
                         15.0,
                         -0.4,
                         0.25};

}  // namespace

TEST(CDlt, NewObjectDefaultsAndInitKeepsFocusXYAndCentre) {
  CDlt fresh;
  EXPECT_EQ(fresh.m_FocusX, 0.0);  // defined start values of this library
  EXPECT_EQ(fresh.m_FocusY, 0.0);
  EXPECT_EQ(fresh.m_Center.Len(), 0.0);
  EXPECT_EQ(fresh.m_Dlt.GetSize(), 0);
  EXPECT_EQ(fresh.m_MaxIter, 60);
  EXPECT_EQ(fresh.m_RelTol, 1e-6);
  EXPECT_EQ(fresh.m_SigmaTol, 1e-12);
  EXPECT_TRUE(fresh.m_Message.IsEmpty());
  ExpectRotNear(fresh.m_Rot, CRot(), 0.0);

  const PointList obj =
      PointsInView(kDownward, 12, kDepth, kSpread, kRelief, 1);
  CDlt dlt = Created(obj, kDownward.ProjectAll(obj), 50.0);
  ASSERT_EQ(dlt.CalDlt3D(), 1);
  const double focus_x = dlt.m_FocusX, focus_y = dlt.m_FocusY;
  const CXYZ centre = dlt.m_Center;
  dlt.m_MaxIter = 3;
  dlt.Init();
  EXPECT_EQ(dlt.m_FocusX, focus_x);
  EXPECT_EQ(dlt.m_FocusY, focus_y);
  ExpectPointNear(dlt.m_Center, centre, 0.0);
  EXPECT_EQ(dlt.m_ObjPoints.GetSize(), 0);
  EXPECT_EQ(dlt.m_Residuals.GetSize(), 0);
  EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
  EXPECT_EQ(dlt.m_FocusMean, 0.0);
  EXPECT_EQ(dlt.m_PrincipalPoint.Len(), 0.0);
  EXPECT_EQ(dlt.m_MaxIter, 60);
}

TEST(CDlt, CreateMatchesByNameAndChecksTheCount) {
  const char* obj_names[] = {"A", "B", "C", "D", "E", "F"};
  PointList obj;
  for (int i = 0; i < 6; ++i) {
    CXYZ p(obj_names[i], i, 2.0 * i, 3.0 * i);
    obj.Add(p);
  }
  // Shares A, B, C, E with obj; "C" twice (the first counts), "c" differs.
  const char* img_names[] = {"x", "C", "A", "C", "E", "c", "B"};
  PointList img;
  for (int i = 0; i < 7; ++i) {
    CXYZ q(img_names[i], 0.5 * i, -0.5 * i, 0.0);
    img.Add(q);
  }
  CDlt dlt;
  dlt.m_Message = "kept";
  ASSERT_EQ(dlt.Create(obj, img, 42.0), 1);
  EXPECT_EQ(dlt.m_Message, "kept");
  EXPECT_EQ(dlt.m_Focus, 42.0);
  ASSERT_EQ(dlt.m_ObjPoints.GetSize(), 4);
  ASSERT_EQ(dlt.m_ImgPoints.GetSize(), 4);
  const char* paired[] = {"A", "B", "C", "E"};  // object order
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(dlt.m_ObjPoints[i].m_strName, paired[i]);
    EXPECT_EQ(dlt.m_ImgPoints[i].m_strName, paired[i]);
  }
  EXPECT_EQ(dlt.m_ImgPoints[2].m_x, 0.5);  // the first "C" of the list
  EXPECT_EQ(dlt.m_ObjPoints[3].m_z, 12.0);

  // Its own matched lists given back as input pair again.
  ASSERT_EQ(dlt.Create(dlt.m_ObjPoints, dlt.m_ImgPoints, 43.0), 1);
  EXPECT_EQ(dlt.m_ObjPoints.GetSize(), 4);
  EXPECT_EQ(dlt.m_Focus, 43.0);

  img.RemoveAt(4);  // "E": three shared names left
  EXPECT_EQ(dlt.Create(obj, img, 1.0), 0);
  EXPECT_EQ(dlt.m_Message, collinear::kDltTextTooFewPoints);
  ExpectText(dlt.m_Message, "点数が不足しています。");
  EXPECT_EQ(dlt.m_ObjPoints.GetSize(), 3);
  EXPECT_EQ(dlt.m_Focus, 43.0);

  PointList none;
  CXYZ z("Z", 0, 0, 0);
  none.Add(z);
  EXPECT_EQ(dlt.Create(obj, none, 1.0), 0);
  EXPECT_EQ(dlt.m_Message, collinear::kDltTextNotMeasured);
  ExpectText(dlt.m_Message, "画像座標が未計測です。");
  EXPECT_EQ(dlt.m_ObjPoints.GetSize(), 0);
  EXPECT_EQ(dlt.m_ImgPoints.GetSize(), 0);
}

TEST(CDlt, CopiesAreDeep) {
  const PointList obj =
      PointsInView(kDownward, 10, kDepth, kSpread, kRelief, 2);
  CDlt original = Created(obj, kDownward.ProjectAll(obj), 50.0);
  ASSERT_EQ(original.CalDlt(), 1);
  original.m_Dist.SetDistModel(DIST_K1K2P1P2);
  original.m_Dist.m_Para[0] = 1e-4;
  original.m_MaxIter = 7;

  CDlt copy(original);
  CDlt assigned;
  assigned = original;
  const CDlt& same = assigned;
  assigned = same;  // self-assignment changes nothing
  for (CDlt* c : {&copy, &assigned}) {
    EXPECT_EQ(c->m_Message, collinear::kDltText3D);
    EXPECT_EQ(c->m_MaxIter, 7);
    EXPECT_EQ(c->m_FocusX, original.m_FocusX);
    EXPECT_EQ(c->m_Residuals.GetSize(), 10);
    EXPECT_EQ(c->m_Dist.m_Para[0], 1e-4);
    EXPECT_EQ(c->m_Dist.m_NumPara, 4);
  }
  original.m_ObjPoints[0].m_x = 1e6;
  original.m_ImgPoints[0].m_strName = "changed";
  original.m_Dlt[0] = -1.0;
  original.m_Residuals.RemoveAll();
  original.m_Dist.Init();
  for (const CDlt* c : {&copy, &assigned}) {
    EXPECT_EQ(c->m_ObjPoints[0].m_x, obj[0].m_x);
    EXPECT_EQ(c->m_ImgPoints[0].m_strName, "P1");
    EXPECT_NE(c->m_Dlt[0], -1.0);
    EXPECT_EQ(c->m_Residuals.GetSize(), 10);
    EXPECT_EQ(c->m_Dist.m_NumPara, 4);
  }
}

namespace {

// L1..L11 of cam: the rows of K' [R | -R C] / q with K' = [-cx 0 x0; 0 -cy
// y0; 0 0 1] and q = -r3.C, the scale that makes L12 = 1.
std::vector<double> ExactCoefficients(const TrueCamera& cam) {
  const CRot rot = cam.Rot();
  const CXYZ r1(rot.m_r[0], rot.m_r[1], rot.m_r[2]);
  const CXYZ r2(rot.m_r[3], rot.m_r[4], rot.m_r[5]);
  const CXYZ r3(rot.m_r[6], rot.m_r[7], rot.m_r[8]);
  const double q = -r3.Inn(cam.centre);
  const CXYZ row1 = r1 * -cam.cx + r3 * cam.x0;
  const CXYZ row2 = r2 * -cam.cy + r3 * cam.y0;
  return {row1.m_x / q,
          row1.m_y / q,
          row1.m_z / q,
          -row1.Inn(cam.centre) / q,
          row2.m_x / q,
          row2.m_y / q,
          row2.m_z / q,
          -row2.Inn(cam.centre) / q,
          r3.m_x / q,
          r3.m_y / q,
          r3.m_z / q};
}

CXYZ MeanPoint(const PointList& pts) {
  double sx = 0.0, sy = 0.0, sz = 0.0;
  for (INT_PTR i = 0; i < pts.GetSize(); ++i) {
    sx += pts[i].m_x;
    sy += pts[i].m_y;
    sz += pts[i].m_z;
  }
  const double n = static_cast<double>(pts.GetSize());
  return CXYZ(sx / n, sy / n, sz / n);
}

}  // namespace

// Both sign kinds: the downward camera has the object origin in front
// (r3.centre > 0), the upward one behind it, where the first pass of the
// rotation comes out negated. CameraFromDlt recovers each camera from its
// exact coefficients, and the solver stores exactly what it derives.
TEST(CDlt, SpatialSolutionRecoversExactCameras) {
  TrueCamera unequal = kUpward;
  unequal.cy = 17.0;  // cx != cy
  for (const TrueCamera& cam : {kDownward, kUpward, unequal}) {
    const CRot rot = cam.Rot();
    const double q = -CXYZ(rot.m_r[6], rot.m_r[7], rot.m_r[8]).Inn(cam.centre);
    SCOPED_TRACE(q < 0 ? "first pass right" : "sign check flips");
    const PointList obj = PointsInView(cam, 15, kDepth, kSpread, kRelief, 3);
    const CXYZ mean = MeanPoint(obj);
    const std::vector<double> want = ExactCoefficients(cam);
    const collinear::DltCamera exact =
        collinear::CameraFromDlt(want.data(), mean);
    ASSERT_TRUE(exact.valid);
    EXPECT_NEAR(exact.x0, cam.x0, kTolLengthRel * cam.cx);
    EXPECT_NEAR(exact.y0, cam.y0, kTolLengthRel * cam.cx);
    EXPECT_NEAR(exact.cx, cam.cx, kTolLengthRel * cam.cx);
    EXPECT_NEAR(exact.cy, cam.cy, kTolLengthRel * cam.cx);
    ExpectPointNear(exact.centre, cam.centre, kTolLengthRel * 50.0);
    ExpectRotNear(exact.rot, rot, kTolRot);
    CRot from_angles;  // the angles describe the same matrix
    from_angles.SetMatrix(ROT_KPW, exact.wpk);
    ExpectRotNear(from_angles, rot, kTolRot);

    CDlt dlt = Created(obj, cam.ProjectAll(obj), 1.0);
    ASSERT_EQ(dlt.CalDlt3D(), 1);
    EXPECT_TRUE(dlt.m_Message.IsEmpty());
    ASSERT_EQ(dlt.m_Dlt.GetSize(), 11);
    for (int k = 0; k < 11; ++k) {
      EXPECT_NEAR(dlt.m_Dlt[k], want[k], kTolCoeffRel * std::fabs(want[k]))
          << "L" << k + 1;
    }
    EXPECT_LT(dlt.m_Rms.Len(), kTolImageMm);
    const collinear::DltCamera same =
        collinear::CameraFromDlt(dlt.m_Dlt.GetData(), mean);
    ASSERT_TRUE(same.valid);
    EXPECT_EQ(same.x0, dlt.m_PrincipalPoint.m_x);
    EXPECT_EQ(same.y0, dlt.m_PrincipalPoint.m_y);
    EXPECT_EQ(same.cx, dlt.m_FocusX);
    EXPECT_EQ(same.cy, dlt.m_FocusY);
    ExpectPointNear(same.centre, dlt.m_Center, 0.0);
    ExpectRotNear(same.rot, dlt.m_Rot, 0.0);
    EXPECT_EQ(same.wpk.m_w, dlt.m_Wpk.m_w);
    EXPECT_EQ(same.wpk.m_p, dlt.m_Wpk.m_p);
    EXPECT_EQ(same.wpk.m_k, dlt.m_Wpk.m_k);
  }
  // Away from the +-pi seam the angles themselves come back.
  const PointList obj =
      PointsInView(kDownward, 15, kDepth, kSpread, kRelief, 4);
  CDlt dlt = Created(obj, kDownward.ProjectAll(obj), 1.0);
  ASSERT_EQ(dlt.CalDlt3D(), 1);
  EXPECT_NEAR(dlt.m_Wpk.m_w, kDownward.wpk.m_w, kTolRot);
  EXPECT_NEAR(dlt.m_Wpk.m_p, kDownward.wpk.m_p, kTolRot);
  EXPECT_NEAR(dlt.m_Wpk.m_k, kDownward.wpk.m_k, kTolRot);
}

TEST(CameraFromDlt, NoCameraFromDegenerateCoefficients) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const double kInf = std::numeric_limits<double>::infinity();
  const struct {
    const char* what;
    int first, count;  // coefficients l[first..first+count-1] set to value
    double value;
  } kCases[] = {
      {"L9 = L10 = L11 = 0", 8, 3, 0.0},
      {"L1 = L2 = L3 = 0: cx = 0", 0, 3, 0.0},
      {"NaN L4", 3, 1, kNaN},
      {"infinite L10", 9, 1, kInf},
  };
  const std::vector<double> exact = ExactCoefficients(kDownward);
  for (const auto& tc : kCases) {
    SCOPED_TRACE(tc.what);
    std::vector<double> l = exact;
    std::fill(l.begin() + tc.first, l.begin() + tc.first + tc.count, tc.value);
    EXPECT_FALSE(collinear::CameraFromDlt(l.data(), CXYZ(0, 0, 0)).valid);
  }
}

namespace {

// Camera of a 3x4 projection matrix P = [M | p4] by an RQ decomposition of M
// (Gram-Schmidt from the last row): M = U Q, U upper triangular with positive
// diagonal, Q orthonormal. Written here independently of the library.
struct RqCamera {
  double rot[9];  // row by row, det +1
  double centre[3];
  double x0, y0, c, skew;
};

double Dot3(const double* a, const double* b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

RqCamera DecomposeProjection(const double p[3][4]) {
  double q[3][3], u[3][3] = {};
  for (int row = 2; row >= 0; --row) {
    double w[3] = {p[row][0], p[row][1], p[row][2]};
    for (int k = row + 1; k < 3; ++k) {
      u[row][k] = Dot3(p[row], q[k]);
      for (int j = 0; j < 3; ++j) w[j] -= u[row][k] * q[k][j];
    }
    u[row][row] = std::sqrt(Dot3(w, w));
    for (int j = 0; j < 3; ++j) q[row][j] = w[j] / u[row][row];
  }
  // Centre: M C = -p4, i.e. U (Q C) = -p4.
  double y[3];
  for (int row = 2; row >= 0; --row) {
    double s = -p[row][3];
    for (int k = row + 1; k < 3; ++k) s -= u[row][k] * y[k];
    y[row] = s / u[row][row];
  }
  RqCamera cam;
  for (int j = 0; j < 3; ++j) {
    cam.centre[j] = q[0][j] * y[0] + q[1][j] * y[1] + q[2][j] * y[2];
  }
  // The model's calibration matrix is [-c 0 x0; 0 -c y0; 0 0 1]: negate the
  // first two rows of Q; a negative determinant means P has negative scale.
  const double det = q[0][0] * (q[1][1] * q[2][2] - q[1][2] * q[2][1]) -
                     q[0][1] * (q[1][0] * q[2][2] - q[1][2] * q[2][0]) +
                     q[0][2] * (q[1][0] * q[2][1] - q[1][1] * q[2][0]);
  const double sign = det > 0 ? 1.0 : -1.0;
  for (int j = 0; j < 3; ++j) {
    cam.rot[j] = -sign * q[0][j];
    cam.rot[3 + j] = -sign * q[1][j];
    cam.rot[6 + j] = sign * q[2][j];
  }
  cam.c = 0.5 * (u[0][0] + u[1][1]) / u[2][2];
  cam.x0 = u[0][2] / u[2][2];
  cam.y0 = u[1][2] / u[2][2];
  cam.skew = u[0][1] / u[2][2];
  return cam;
}

}  // namespace

TEST(CDlt, SpatialSolutionAgreesWithRqDecomposition) {
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  int checked = 0, flipped = 0;
  while (checked < 20) {
    const double x0 = unit(rng), y0 = unit(rng), c = 12.0 + 4.0 * unit(rng);
    const TrueCamera cam{
        CXYZ(20.0 * unit(rng), 20.0 * unit(rng), 20.0 * unit(rng)),
        CWPK(collinear::kPi * unit(rng),
             1.2 * unit(rng),
             collinear::kPi * unit(rng)),
        c,
        c,
        x0,
        y0};
    const CRot rot = cam.Rot();
    const double q = -CXYZ(rot.m_r[6], rot.m_r[7], rot.m_r[8]).Inn(cam.centre);
    // Skip cameras whose vanishing plane nearly passes the object origin:
    // the normalisation L12 = 1 cannot express them.
    if (std::fabs(q) < 3.0) continue;
    SCOPED_TRACE(checked);
    const PointList obj = PointsInView(cam, 12, 20.0, 8.0, 6.0, 500 + checked);
    CDlt dlt = Created(obj, cam.ProjectAll(obj), 1.0);
    ASSERT_EQ(dlt.CalDlt3D(), 1);
    const double* l = dlt.m_Dlt.GetData();
    const double p[3][4] = {{l[0], l[1], l[2], l[3]},
                            {l[4], l[5], l[6], l[7]},
                            {l[8], l[9], l[10], 1.0}};
    const RqCamera rq = DecomposeProjection(p);
    const double centre_scale = std::max(1.0, dlt.m_Center.Len());
    EXPECT_NEAR(dlt.m_Center.m_x, rq.centre[0], 1e-9 * centre_scale);
    EXPECT_NEAR(dlt.m_Center.m_y, rq.centre[1], 1e-9 * centre_scale);
    EXPECT_NEAR(dlt.m_Center.m_z, rq.centre[2], 1e-9 * centre_scale);
    for (int k = 0; k < 9; ++k) EXPECT_NEAR(dlt.m_Rot.m_r[k], rq.rot[k], 1e-9);
    EXPECT_NEAR(dlt.m_FocusMean, rq.c, 1e-9 * rq.c);
    EXPECT_NEAR(dlt.m_PrincipalPoint.m_x, rq.x0, 1e-9 * rq.c);
    EXPECT_NEAR(dlt.m_PrincipalPoint.m_y, rq.y0, 1e-9 * rq.c);
    EXPECT_NEAR(rq.skew, 0.0, 1e-9 * rq.c);
    if (q > 0) ++flipped;
    ++checked;
  }
  // Both kinds of camera occur among the twenty.
  EXPECT_GT(flipped, 0);
  EXPECT_LT(flipped, 20);
}

TEST(CDlt, PlaneSolutionRecoversCentreAndAngles) {
  const struct {
    const char* what;
    CWPK wpk;
  } kCases[] = {
      {"general", CWPK(0.2, -0.15, 2.5)},
      {"phi 0", CWPK(0.25, 0.0, -1.0)},
      {"omega 0", CWPK(0.0, 0.2, 0.7)},
      {"kappa near pi", CWPK(-0.1, 0.12, 3.1)},
  };
  const double kZm = 1.5;  // height of the control plane
  for (const auto& tc : kCases) {
    SCOPED_TRACE(tc.what);
    const TrueCamera cam{CXYZ(3.0, -2.0, 40.0), tc.wpk, 50.0, 50.0};
    const PointList obj = PlanePoints(10, 3.0, -2.0, kZm, 15.0, 5);
    CDlt dlt = Created(obj, cam.ProjectAll(obj), cam.cx);
    ASSERT_EQ(dlt.CalDlt2D(), 1);
    EXPECT_TRUE(dlt.m_Message.IsEmpty());
    EXPECT_EQ(dlt.m_Dlt.GetSize(), 8);
    EXPECT_EQ(dlt.m_FocusMean, cam.cx);
    EXPECT_EQ(dlt.m_FocusX, cam.cx);
    EXPECT_EQ(dlt.m_FocusY, cam.cx);
    EXPECT_EQ(dlt.m_PrincipalPoint.Len(), 0.0);
    ExpectPointNear(dlt.m_Center, cam.centre, kTolLengthRel * 40.0);
    EXPECT_NEAR(dlt.m_Wpk.m_w, tc.wpk.m_w, kTolRot);
    EXPECT_NEAR(dlt.m_Wpk.m_p, tc.wpk.m_p, kTolRot);
    EXPECT_NEAR(dlt.m_Wpk.m_k, tc.wpk.m_k, kTolRot);
    ExpectRotNear(dlt.m_Rot, cam.Rot(), kTolRot);
    EXPECT_LT(dlt.m_Rms.Len(), kTolImageMm);
  }
}

// Integer data whose fit gives e8 (and so omega) exactly 0, where the general
// height formula divides by sin(omega) = 0.
TEST(CDlt, PlaneSolutionWithOmegaExactlyZero) {
  struct Case {
    const char* what;
    double focus;
    double e1, e3, e5, e7;  // image to object: X = (e1 x + e3) / (e7 x + 1)
    double xs[4], ys[2];    // image grid, symmetric in y
    CXYZ centre;
    double phi;
  };
  const Case kCases[] = {
      // phi = atan(0.75): X0 = 128, Z0 = 960 over Z = 0, c = 96.
      {"tilted",
       96.0,
       9.0,
       848.0,
       12.5,
       -1.0 / 128.0,
       {-128, 0, 64, 96},
       {8, 16},
       CXYZ(128.0, 0.0, 960.0),
       std::atan(0.75)},
      // Vertical: phi = 0 too, X = 2 x, Y = 2 y, Z0 = 100, c = 50.
      {"vertical",
       50.0,
       2.0,
       0.0,
       2.0,
       0.0,
       {-10, -5, 5, 10},
       {3, 7},
       CXYZ(0.0, 0.0, 100.0),
       0.0},
  };
  for (const Case& tc : kCases) {
    SCOPED_TRACE(tc.what);
    PointList obj, img;
    for (double x : tc.xs) {
      for (double y : tc.ys) {
        for (double sy : {1.0, -1.0}) {
          const double den = tc.e7 * x + 1.0;
          const std::string name = std::to_string(obj.GetSize());
          CXYZ p(name.c_str(),
                 (tc.e1 * x + tc.e3) / den,
                 tc.e5 * sy * y / den,
                 0.0);
          CXYZ q(name.c_str(), x, sy * y, 0.0);
          obj.Add(p);
          img.Add(q);
        }
      }
    }
    CDlt dlt = Created(obj, img, tc.focus);
    ASSERT_EQ(dlt.CalDlt2D(), 1);
    ASSERT_EQ(dlt.m_Wpk.m_w, 0.0);  // the case this test is about
    EXPECT_NEAR(dlt.m_Wpk.m_p, tc.phi, kTolRot);
    EXPECT_NEAR(dlt.m_Wpk.m_k, 0.0, kTolRot);
    ExpectPointNear(dlt.m_Center, tc.centre, kTolLengthRel * tc.centre.Len());
    EXPECT_LT(dlt.m_Rms.Len(), kTolImageMm);
  }
}

TEST(CDlt, DriverChoosesBySolvabilityAndResiduals) {
  const TrueCamera plane_cam{
      CXYZ(1.0, 1.0, 30.0), CWPK(0.1, 0.05, 0.3), 50, 50};
  const struct {
    const char* what;
    PointList obj;
    const TrueCamera& cam;
    int coefficients;
    const char* text;
  } kCases[] = {
      {"4 points",
       PlanePoints(4, 0, 0, 0.0, 10.0, 6),
       plane_cam,
       8,
       "2D射影変換 ( 点数<6 )"},
      {"5 points in space",
       PointsInView(kDownward, 5, kDepth, kSpread, kRelief, 7),
       kDownward,
       8,
       "2D射影変換 ( 点数<6 )"},
      {"coplanar Z = 0",
       PlanePoints(9, 0, 0, 0.0, 10.0, 8),
       plane_cam,
       8,
       "2D射影変換 ( Z=一定 ) "},
      {"spread in space",
       PointsInView(kDownward, 9, kDepth, kSpread, kRelief, 9),
       kDownward,
       11,
       "3D射影変換"},
  };
  for (const auto& tc : kCases) {
    SCOPED_TRACE(tc.what);
    CDlt dlt = Created(tc.obj, tc.cam.ProjectAll(tc.obj), tc.cam.cx);
    ASSERT_EQ(dlt.CalDlt(), 1);
    EXPECT_EQ(dlt.m_Dlt.GetSize(), tc.coefficients);
    ExpectText(dlt.m_Message, tc.text);
    if (tc.coefficients == 11 || tc.obj.GetSize() == 9) {
      EXPECT_LT(dlt.m_Rms.Len(), kTolImageMm);  // an exact model
    }
  }
  CDlt empty;
  EXPECT_EQ(empty.CalDlt(), 0);
  EXPECT_EQ(empty.m_Message, collinear::kDltTextNotMeasured);
  const PointList three = PlanePoints(3, 0, 0, 0.0, 10.0, 10);
  empty.m_ObjPoints.Copy(three);
  empty.m_ImgPoints.Copy(plane_cam.ProjectAll(three));
  EXPECT_EQ(empty.CalDlt(), 0);
  EXPECT_EQ(empty.m_Message, collinear::kDltTextTooFewPoints);
}

TEST(CDlt, FailedSolutionsLeaveNoCoefficients) {
  using Breaker = void (*)(PointList & obj, PointList & img);
  const struct {
    const char* what;
    Breaker breaker;
    int (CDlt::*solve)();
  } kCases[] = {
      {"3D, counts differ",
       [](PointList&, PointList& img) { img.RemoveAt(9); },
       &CDlt::CalDlt3D},
      {"2D, counts differ",
       [](PointList&, PointList& img) { img.RemoveAt(9); },
       &CDlt::CalDlt2D},
      {"driver, counts differ",
       [](PointList& obj, PointList&) { obj.RemoveAt(0); },
       &CDlt::CalDlt},
      {"3D, 5 pairs",
       [](PointList& obj, PointList& img) {
         obj.SetSize(5);
         img.SetSize(5);
       },
       &CDlt::CalDlt3D},
      {"2D, 3 pairs",
       [](PointList& obj, PointList& img) {
         obj.SetSize(3);
         img.SetSize(3);
       },
       &CDlt::CalDlt2D},
      {"3D, all Z = 0 (the L3, L7, L11 columns vanish)",
       [](PointList& obj, PointList&) {
         for (int i = 0; i < obj.GetSize(); ++i) obj[i].m_z = 0.0;
       },
       &CDlt::CalDlt3D},
      {"2D, all Y = 0 (collinear)",
       [](PointList& obj, PointList&) {
         for (int i = 0; i < obj.GetSize(); ++i) obj[i].m_y = 0.0;
       },
       &CDlt::CalDlt2D},
  };
  const PointList obj =
      PointsInView(kDownward, 10, kDepth, kSpread, kRelief, 11);
  for (const auto& tc : kCases) {
    SCOPED_TRACE(tc.what);
    CDlt dlt = Created(obj, kDownward.ProjectAll(obj), 50.0);
    ASSERT_EQ(dlt.CalDlt(), 1);
    dlt.m_Dist.SetDistModel(DIST_K1K2K3K4);  // the attempt must reset it
    tc.breaker(dlt.m_ObjPoints, dlt.m_ImgPoints);
    EXPECT_EQ((dlt.*tc.solve)(), 0);
    EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
    EXPECT_EQ(dlt.m_Residuals.GetSize(), 0);
    EXPECT_EQ(dlt.m_Dist.m_NumPara, 0);
    EXPECT_TRUE(dlt.m_Message.IsEmpty());
    CXYZ out("marker", 7.0, 8.0, 9.0);
    EXPECT_EQ(dlt.ObjToPhc(obj[0], out, 0, 0.0), 0);
    EXPECT_EQ(out.m_strName, "marker");
    EXPECT_EQ(out.m_x, 7.0);
  }
}

TEST(CDlt, ObjToPhcProjectsWithTheCurrentModel) {
  const PointList obj =
      PointsInView(kDownward, 10, kDepth, kSpread, kRelief, 12);
  CDlt dlt = Created(obj, kDownward.ProjectAll(obj), 50.0);
  CXYZ out("marker", 7.0, 8.0, 9.0);
  EXPECT_EQ(dlt.ObjToPhc(obj[0], out, 1, 1e-12), 0);  // no solution yet
  EXPECT_EQ(out.m_strName, "marker");
  EXPECT_EQ(out.m_x, 7.0);

  ASSERT_EQ(dlt.CalDlt3D(), 1);
  const CXYZ p("far", 4.0, -6.0, -2.0);
  out.m_strAux = "aux";
  out.m_nAttr[0] = 5;
  ASSERT_EQ(dlt.ObjToPhc(p, out, 0, 0.0), 1);
  EXPECT_EQ(out.m_strName, "far");
  EXPECT_EQ(out.m_strAux, "aux");
  EXPECT_EQ(out.m_nAttr[0], 5);
  EXPECT_EQ(out.m_z, 9.0);
  const CXYZ want = kDownward.Project(p);
  EXPECT_NEAR(out.m_x, want.m_x, kTolImageMm);
  EXPECT_NEAR(out.m_y, want.m_y, kTolImageMm);
  CXYZ with_reset_dist;
  ASSERT_EQ(dlt.ObjToPhc(p, with_reset_dist, 1, 1e-12), 1);
  EXPECT_EQ(with_reset_dist.m_x, out.m_x);
  EXPECT_EQ(with_reset_dist.m_y, out.m_y);

  // With distortion the result is the measured point whose correction leads
  // back to the ideal projection.
  dlt.m_Dist.SetDistModel(DIST_K1K2K3K4);
  dlt.m_Dist.m_Para[0] = 2e-4;
  CXYZ distorted;
  ASSERT_EQ(dlt.ObjToPhc(p, distorted, 1, 1e-12), 1);
  const double xd = distorted.m_x - dlt.m_PrincipalPoint.m_x;
  const double yd = distorted.m_y - dlt.m_PrincipalPoint.m_y;
  double dx = 0.0, dy = 0.0;
  dlt.m_Dist.CalDist(xd, yd, dx, dy);
  EXPECT_GT(std::hypot(distorted.m_x - out.m_x, distorted.m_y - out.m_y), 1e-3);
  EXPECT_NEAR(xd + dx + dlt.m_PrincipalPoint.m_x, out.m_x, 1e-11);
  EXPECT_NEAR(yd + dy + dlt.m_PrincipalPoint.m_y, out.m_y, 1e-11);
  // A tolerance that can never be met: 0, and the undistorted projection.
  CXYZ unsolved;
  EXPECT_EQ(
      dlt.ObjToPhc(p, unsolved, 1, std::numeric_limits<double>::quiet_NaN()),
      0);
  EXPECT_EQ(unsolved.m_x, out.m_x);
  EXPECT_EQ(unsolved.m_y, out.m_y);

  // The vanishing plane w = 0 of given coefficients: L9 = 0.5 at X = -2.
  double spatial[11] = {1, 0, 0, 0, 0, 1, 0, 0, 0.5, 0, 0};
  dlt.m_Dlt.SetSize(11);
  for (int k = 0; k < 11; ++k) dlt.m_Dlt[k] = spatial[k];
  CXYZ untouched("marker", 7.0, 8.0, 9.0);
  EXPECT_EQ(dlt.ObjToPhc(CXYZ(-2.0, 3.0, 4.0), untouched, 0, 0.0), 0);
  EXPECT_EQ(untouched.m_x, 7.0);
}

TEST(CDlt, ObjToPhcWithThePlaneModelIgnoresZAndDistortion) {
  CDlt dlt;
  const double plane[8] = {2.0, 0.5, 1.0, -0.25, 3.0, -1.0, 0.25, 0.125};
  dlt.m_Dlt.SetSize(8);
  for (int k = 0; k < 8; ++k) dlt.m_Dlt[k] = plane[k];
  dlt.m_Dist.SetDistModel(DIST_K1K2K3K4);
  dlt.m_Dist.m_Para[0] = 1e-2;
  // (X, Y) = (2, 4): u = 7, v = 10.5, w = 2.
  CXYZ first;
  ASSERT_EQ(dlt.ObjToPhc(CXYZ(2.0, 4.0, 0.0), first, 0, 0.0), 1);
  EXPECT_DOUBLE_EQ(first.m_x, 3.5);
  EXPECT_DOUBLE_EQ(first.m_y, 5.25);
  for (double z : {-100.0, 3.0, 1e6}) {
    CXYZ again;
    ASSERT_EQ(dlt.ObjToPhc(CXYZ(2.0, 4.0, z), again, 1, 1e-12), 1);
    EXPECT_EQ(again.m_x, first.m_x);
    EXPECT_EQ(again.m_y, first.m_y);
  }
  CXYZ untouched("marker", 7.0, 8.0, 9.0);  // w = 0.25 X + 1 = 0 at X = -4
  EXPECT_EQ(dlt.ObjToPhc(CXYZ(-4.0, 0.0, 0.0), untouched, 0, 0.0), 0);
  EXPECT_EQ(untouched.m_x, 7.0);
}

TEST(CDlt, ResidualsAreNamedAndOrderedAsTheMatchedImagePoints) {
  const PointList obj =
      PointsInView(kDownward, 40, kDepth, kSpread, kRelief, 13);
  PointList img = kDownward.ProjectAll(obj);
  PointList reversed;  // image points in another order than the object points
  for (int i = img.GetSize() - 1; i >= 0; --i) reversed.Add(img[i]);
  const double kShiftMm = 0.05;
  reversed[10].m_x += kShiftMm;  // object point P30, measured too far right
  CDlt dlt = Created(obj, reversed, 50.0);
  ASSERT_EQ(dlt.CalDlt3D(), 1);
  ASSERT_EQ(dlt.m_Residuals.GetSize(), 40);
  int largest = 0;
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(dlt.m_Residuals[i].m_strName, obj[i].m_strName);
    EXPECT_EQ(dlt.m_Residuals[i].m_strName, dlt.m_ImgPoints[i].m_strName);
    if (std::fabs(dlt.m_Residuals[i].m_x) >
        std::fabs(dlt.m_Residuals[largest].m_x)) {
      largest = i;
    }
  }
  // Projected minus measured: negative where the measurement is too large.
  EXPECT_EQ(largest, 29);
  EXPECT_LT(dlt.m_Residuals[29].m_x, -0.5 * kShiftMm);
  EXPECT_GT(dlt.m_Rms.m_x, dlt.m_Rms.m_y);
  EXPECT_EQ(dlt.m_Rms.m_z, 0.0);
}

// The linear solutions write their rows whole and read only the corrections;
// their coefficients must be those of the rows written element by element
// with SetObeq and solved with Solve, bit for bit.
TEST(CDlt, LinearCoefficientsMatchTheElementwiseEngine) {
  const PointList obj =
      PointsInView(kDownward, 25, kDepth, kSpread, kRelief, 17);
  PointList img = kDownward.ProjectAll(obj);
  std::mt19937 rng(4);
  std::normal_distribution<double> noise_mm(0.0, 0.003);
  for (int i = 0; i < img.GetSize(); ++i) {
    img[i].m_x += noise_mm(rng);
    img[i].m_y += noise_mm(rng);
  }
  for (const int dim : {2, 3}) {
    SCOPED_TRACE(dim);
    const int n_coef = dim == 2 ? 8 : 11;
    CLeastSq lsq(2 * obj.GetSize(), n_coef);
    lsq.InitObeq();
    for (int i = 0; i < obj.GetSize(); ++i) {
      const double from[3] = {obj[i].m_x, obj[i].m_y, obj[i].m_z};
      const double to[2] = {img[i].m_x, img[i].m_y};
      for (int axis = 0; axis < 2; ++axis) {  // x row, then y row
        std::vector<double> row(n_coef + 1, 0.0);
        for (int j = 0; j < dim; ++j) {
          row[axis * (dim + 1) + j] = from[j];
          row[2 * (dim + 1) + j] = -to[axis] * from[j];
        }
        row[axis * (dim + 1) + dim] = 1.0;
        row[n_coef] = to[axis];
        for (int c = 0; c <= n_coef; ++c) lsq.SetObeq(c, row[c]);
      }
    }
    ASSERT_EQ(lsq.Solve(), 1);
    CDlt dlt = Created(obj, img, kDownward.cx);
    ASSERT_EQ(dim == 2 ? dlt.CalDlt2D() : dlt.CalDlt3D(), 1);
    ASSERT_EQ(dlt.m_Dlt.GetSize(), n_coef);
    for (int k = 0; k < n_coef; ++k) EXPECT_EQ(dlt.m_Dlt[k], lsq.GetBcor(k));
  }
}
