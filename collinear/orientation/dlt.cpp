#include <collinear/orientation/dlt.h>

#include <cmath>
#include <limits>

#include <collinear/distortion/dist_formula.h>
#include <collinear/leastsq/leastsq.h>
#include <collinear/orientation/point_match.h>
#include <collinear/orientation/status_text.h>

namespace {

constexpr int kSpatialCount = 11;  // L1..L11
constexpr int kPlaneCount = 8;     // b1..b8
constexpr int kMinPlanePairs = 4;
constexpr int kMinSpatialPairs = 6;
constexpr int kMinSelfCalibPairs = 8;
// Tolerance of the distortion inversion in the residuals, in the image unit:
// far below any measurement precision.
constexpr double kResidualDistTol = 1e-12;
// Omega or phi (radians) at or below which the kappa of the plane solution is
// taken from the simpler formula of that case.
constexpr double kZeroAngleRad = 1e-12;

int Count(const CArray<CXYZ, CXYZ&>& points) {
  return static_cast<int>(points.GetSize());
}

// The number of pairs when both lists have it and it is at least min_pairs,
// else 0.
int PairCount(const CArray<CXYZ, CXYZ&>& obj_points,
              const CArray<CXYZ, CXYZ&>& img_points,
              int min_pairs) {
  const int n = Count(obj_points);
  if (n != Count(img_points) || n < min_pairs) return 0;
  return n;
}

// --- The camera of the spatial coefficients L1..L11 (l[0..10]) -------------
// Shared by the CDlt members and collinear::CameraFromDlt, which must agree
// to the last bit.

// D = L9^2 + L10^2 + L11^2, the squared scale of the third rotation row.
double DltDenominator(const double* l) {
  return l[8] * l[8] + l[9] * l[9] + l[10] * l[10];
}

// L1..L11 of a spatial solution with its D, or null when dlt holds no
// spatial solution or D is exactly 0.
const double* SpatialWithDenominator(const CArray<double, double>& dlt,
                                     double& d) {
  if (dlt.GetSize() != kSpatialCount) return nullptr;
  const double* l = dlt.GetData();
  d = DltDenominator(l);
  return d == 0.0 ? nullptr : l;
}

// x0 = (L1, L2, L3).(L9, L10, L11) / D, y0 likewise from L5..L7.
void DltPrincipalPoint(const double* l, double d, double& x0, double& y0) {
  x0 = (l[0] * l[8] + l[1] * l[9] + l[2] * l[10]) / d;
  y0 = (l[4] * l[8] + l[5] * l[9] + l[6] * l[10]) / d;
}

// cx = sqrt(|L1..L3|^2 / D - x0^2), cy likewise. A negative radicand (no
// real camera) gives NaN, deliberately unchecked here.
void DltPrincipalDistances(
    const double* l, double d, double x0, double y0, double& cx, double& cy) {
  cx = std::sqrt((l[0] * l[0] + l[1] * l[1] + l[2] * l[2]) / d - x0 * x0);
  cy = std::sqrt((l[4] * l[4] + l[5] * l[5] + l[6] * l[6]) / d - y0 * y0);
}

// The centre, where both numerators and the denominator vanish, by a 3x3
// least-squares solve. False, centre untouched, when the solve fails or
// overflows (huge coefficients).
bool DltCentre(const double* l, CXYZ& centre) {
  CLeastSq lsq(3, 3);
  for (int row = 0; row < 3; ++row) {
    const double* lr = l + 4 * row;  // L1.., L5.., L9..
    lsq.SetObeq(0, lr[0]);
    lsq.SetObeq(1, lr[1]);
    lsq.SetObeq(2, lr[2]);
    lsq.SetObeq(3, row < 2 ? -lr[3] : -1.0);
  }
  if (lsq.Solve() == 0) return false;
  if (!std::isfinite(lsq.GetBcor(0)) || !std::isfinite(lsq.GetBcor(1)) ||
      !std::isfinite(lsq.GetBcor(2)))
    return false;
  centre.m_x = lsq.GetBcor(0);
  centre.m_y = lsq.GetBcor(1);
  centre.m_z = lsq.GetBcor(2);
  return true;
}

// Rotation rows from the spatial coefficients with the scale s (= -+1/sqrt D):
// r3 = s (L9, L10, L11); r1 = -(s (L1, L2, L3) - r3 x0) / cx;
// r2 = -(s (L5, L6, L7) - r3 y0) / cy.
void SetRotationRows(const double* l,
                     double s,
                     double x0,
                     double y0,
                     double cx,
                     double cy,
                     CRot& rot) {
  double* r = rot.m_r;
  for (int j = 0; j < 3; ++j) {
    r[6 + j] = s * l[8 + j];
    r[j] = -(s * l[j] - r[6 + j] * x0) / cx;
    r[3 + j] = -(s * l[4 + j] - r[6 + j] * y0) / cy;
  }
}

// The coefficients fix the rotation only up to its sign: true when rot puts
// the mean control point less than c in front of the centre (the camera
// looks along -z), so the other sign is the camera's.
bool MeanPointBehind(const CRot& rot,
                     const CXYZ& centre,
                     const CXYZ& mean_point,
                     double c) {
  const CXYZ to_mean(mean_point.m_x - centre.m_x,
                     mean_point.m_y - centre.m_y,
                     mean_point.m_z - centre.m_z);
  CXYZ to_mean_cam;
  rot.Rotate(to_mean, to_mean_cam);
  return to_mean_cam.m_z > -c;
}

// The mean of the points, summed in order; n > 0 points.
CXYZ MeanPoint(const CArray<CXYZ, CXYZ&>& points, int n) {
  double sum_x = 0.0, sum_y = 0.0, sum_z = 0.0;
  for (int i = 0; i < n; ++i) {
    const CXYZ& p = points[i];
    sum_x += p.m_x;
    sum_y += p.m_y;
    sum_z += p.m_z;
  }
  return CXYZ(sum_x / n, sum_y / n, sum_z / n);
}

// Adds the two observation rows of one point pair: `from` (dim <= 3
// coordinates F) maps to (x, y) as x = (a.F + a0) / (c.F + 1), y = (b.F +
// b0) / (c.F + 1), unknowns in the order a, a0, b, b0, c.
void AddProjectivePair(
    CLeastSq& lsq, const double* from, int dim, double x, double y) {
  const double to[2] = {x, y};
  const int denominator_col = 2 * (dim + 1), observed_col = 3 * dim + 2;
  for (int axis = 0; axis < 2; ++axis) {
    double row[kSpatialCount + 1] = {};
    const int block = axis * (dim + 1);
    for (int j = 0; j < dim; ++j) row[block + j] = from[j];
    row[block + dim] = 1.0;
    for (int j = 0; j < dim; ++j) {
      row[denominator_col + j] = -to[axis] * from[j];
    }
    row[observed_col] = to[axis];
    lsq.SetObeqRow(row);
  }
}

// Least-squares plane projective transformation from the points `from` to
// the points `to` (x and y only): to.x = (h1 u + h2 v + h3) / (h7 u + h8 v
// + 1), to.y = (h4 u + h5 v + h6) / (h7 u + h8 v + 1) for from = (u, v).
// Writes h1..h8 into h; returns 0 when the solution fails.
int FitPlaneProjective(const CArray<CXYZ, CXYZ&>& from,
                       const CArray<CXYZ, CXYZ&>& to,
                       int n,
                       double* h) {
  CLeastSq lsq(2 * n, kPlaneCount);
  for (int i = 0; i < n; ++i) {
    const double uv[2] = {from[i].m_x, from[i].m_y};
    AddProjectivePair(lsq, uv, 2, to[i].m_x, to[i].m_y);
  }
  // Only the corrections are read: no statistics.
  if (lsq.SolveBcor() == 0) return 0;
  for (int k = 0; k < kPlaneCount; ++k) {
    h[k] = lsq.GetBcor(k);
    if (!std::isfinite(h[k])) return 0;  // NaN passes the pivot tests
  }
  return 1;
}

// Convergence of the iterative solutions on the standard deviation of unit
// weight: small enough, or no longer changing. sigma_prev starts as the
// largest double, so the first solution never passes the second test.
bool Converged(double sigma,
               double sigma_prev,
               double sigma_tol,
               double rel_tol) {
  if (sigma <= sigma_tol) return true;
  return std::fabs(sigma - sigma_prev) / std::fabs(sigma_prev) <= rel_tol;
}

// Writes columns 0..10 of one linearised point equation of the spatial model
// (axis 0: x, 1: y): xyz / w and 1 / w in the block of that axis, -num *
// xyz / den in the denominator columns, zeros elsewhere.
void SetSpatialRow(CLeastSq& lsq,
                   int axis,
                   const double* xyz,
                   double w,
                   double num,
                   double den) {
  const int first = 4 * axis;  // L1 or L5
  for (int k = 0; k < 8; ++k) lsq.SetObeq(k, 0.0);
  for (int j = 0; j < 3; ++j) lsq.SetObeq(first + j, xyz[j] / w);
  lsq.SetObeq(first + 3, 1.0 / w);
  for (int j = 0; j < 3; ++j) lsq.SetObeq(8 + j, -num * xyz[j] / den);
}

// Condition row |L(first..first+2)|^2 = target: derivatives 2 L, observed
// value minus target.
void AddNormCondition(CLeastSq& lsq,
                      const double* l,
                      int first,
                      double target) {
  double value = 0.0;
  for (int k = 0; k < kSpatialCount; ++k) lsq.SetObeq(k, 0.0);
  for (int j = 0; j < 3; ++j) {
    lsq.SetObeq(first + j, 2.0 * l[first + j]);
    value += l[first + j] * l[first + j];
  }
  lsq.SetObeq(kSpatialCount, value - target);
}

// Condition row L(first..first+2) . (L9, L10, L11) = 0 (principal point
// coordinate 0): derivatives, observed value.
void AddProductCondition(CLeastSq& lsq, const double* l, int first) {
  for (int k = 0; k < kSpatialCount; ++k) lsq.SetObeq(k, 0.0);
  for (int j = 0; j < 3; ++j) {
    lsq.SetObeq(first + j, l[8 + j]);
    lsq.SetObeq(8 + j, l[first + j]);
  }
  lsq.SetObeq(kSpatialCount,
              l[first] * l[8] + l[first + 1] * l[9] + l[first + 2] * l[10]);
}

// Columns of the distortion parameters of a self-calibration model for the
// offsets (xb, yb) from the principal point: the negated partial derivatives
// of the correction (dx, dy) by each parameter, in parameter order.
int DistortionColumns(
    DIST_MODEL model, double xb, double yb, double* col_x, double* col_y) {
  const int n = collinear::WithDistFormula(model, nullptr, [&](const auto& f) {
    return f.ParamDerivatives(xb, yb, col_x, col_y);
  });
  for (int k = 0; k < n; ++k) {
    col_x[k] = -col_x[k];
    col_y[k] = -col_y[k];
  }
  return n;
}

}  // namespace

CDlt::CDlt() { Init(); }

CDlt::CDlt(CDlt const& other) : CDlt() { *this = other; }

CDlt& CDlt::operator=(CDlt const& other) {
  if (this == &other) return *this;
  m_ObjPoints.Copy(other.m_ObjPoints);
  m_ImgPoints.Copy(other.m_ImgPoints);
  m_Residuals.Copy(other.m_Residuals);
  m_Dlt.Copy(other.m_Dlt);
  m_Focus = other.m_Focus;
  m_FocusMean = other.m_FocusMean;
  m_FocusX = other.m_FocusX;
  m_FocusY = other.m_FocusY;
  m_PrincipalPoint = other.m_PrincipalPoint;
  m_Center = other.m_Center;
  m_Wpk = other.m_Wpk;
  m_Rot = other.m_Rot;
  m_Dist = other.m_Dist;
  m_Rms = other.m_Rms;
  m_MaxIter = other.m_MaxIter;
  m_RelTol = other.m_RelTol;
  m_SigmaTol = other.m_SigmaTol;
  m_Message = other.m_Message;
  return *this;
}

CDlt::~CDlt() = default;

void CDlt::Init() {
  m_ObjPoints.RemoveAll();
  m_ImgPoints.RemoveAll();
  m_Dlt.RemoveAll();
  m_Focus = 0.0;
  m_FocusMean = 0.0;
  m_PrincipalPoint.Init();
  m_Dist.Init();
  m_Wpk.Init();
  m_Rot.I();
  m_Residuals.RemoveAll();
  m_Rms.Init();
  m_MaxIter = 60;
  m_RelTol = 1e-6;
  m_SigmaTol = 1e-12;
  m_Message.Empty();
}

void CDlt::InitParam() {
  m_Dlt.RemoveAll();
  m_PrincipalPoint.Init();
  m_FocusMean = 0.0;
  m_Wpk.Init();
  m_Rot.I();
  m_Dist.Init();
  m_Residuals.RemoveAll();
  m_Rms.Init();
  m_Message.Empty();
}

int CDlt::SetPoints(CArray<CXYZ, CXYZ&>& obj_points,
                    CArray<CXYZ, CXYZ&>& img_points) {
  return collinear::MatchPointsByName(
      obj_points, img_points, m_ObjPoints, m_ImgPoints);
}

int CDlt::Create(CArray<CXYZ, CXYZ&>& obj_points,
                 CArray<CXYZ, CXYZ&>& img_points,
                 double focus) {
  const int n = SetPoints(obj_points, img_points);
  if (n <= 0) {
    m_Message = collinear::kDltTextNotMeasured;
    return 0;
  }
  if (n < kMinPlanePairs) {
    m_Message = collinear::kDltTextTooFewPoints;
    return 0;
  }
  m_Focus = focus;
  return 1;
}

int CDlt::CalDlt() {
  const int n = Count(m_ObjPoints);
  if (n <= 0) {
    m_Message = collinear::kDltTextNotMeasured;
    return 0;
  }
  if (n < kMinPlanePairs) {
    m_Message = collinear::kDltTextTooFewPoints;
    return 0;
  }
  enum class Choice { kNone, kSpatial, kPlane };
  Choice choice = Choice::kNone;
  double best_rms = std::numeric_limits<double>::max();
  if (CalDlt3D() == 1 && m_Rms.Len() < best_rms) {
    best_rms = m_Rms.Len();
    choice = Choice::kSpatial;
  }
  if (CalDlt2D() == 1 && m_Rms.Len() < best_rms) choice = Choice::kPlane;
  // Neither solved, or both with residuals that overflow: none is kept.
  if (choice == Choice::kNone) {
    m_Dlt.RemoveAll();
    return 0;
  }

  // Recompute the chosen solution so that every field belongs to it.
  const int result = choice == Choice::kSpatial ? CalDlt3D() : CalDlt2D();
  if (result == 0) {
    m_Message = collinear::kDltTextFailed;
  } else if (n < kMinSpatialPairs) {
    m_Message = collinear::kDltText2DFewPoints;
  } else if (m_Dlt.GetSize() == kPlaneCount) {
    m_Message = collinear::kDltText2DPlane;
  } else {
    m_Message = collinear::kDltText3D;
  }
  return result;
}

int CDlt::CalDlt3D() {
  InitParam();
  const int n = PairCount(m_ObjPoints, m_ImgPoints, kMinSpatialPairs);
  if (n == 0) {
    m_Dlt.RemoveAll();
    return 0;
  }
  CLeastSq lsq(2 * n, kSpatialCount);
  for (int i = 0; i < n; ++i) {
    const CXYZ& obj = m_ObjPoints[i];
    const double xyz[3] = {obj.m_x, obj.m_y, obj.m_z};
    AddProjectivePair(lsq, xyz, 3, m_ImgPoints[i].m_x, m_ImgPoints[i].m_y);
  }
  if (lsq.Solve() == 0) {
    m_Dlt.RemoveAll();
    return 0;
  }
  m_Dlt.SetSize(kSpatialCount);
  for (int k = 0; k < kSpatialCount; ++k) m_Dlt[k] = lsq.GetBcor(k);
  return FinishSpatial();
}

int CDlt::CalDlt2D() {
  InitParam();
  const int n = PairCount(m_ObjPoints, m_ImgPoints, kMinPlanePairs);
  if (n == 0) {
    m_Dlt.RemoveAll();
    return 0;
  }
  double b[kPlaneCount];
  if (FitPlaneProjective(m_ObjPoints, m_ImgPoints, n, b) == 0) {
    m_Dlt.RemoveAll();
    return 0;
  }
  m_Dlt.SetSize(kPlaneCount);
  for (int k = 0; k < kPlaneCount; ++k) m_Dlt[k] = b[k];

  // The interior orientation is assumed, not determined.
  m_FocusMean = m_Focus;
  m_FocusX = m_Focus;
  m_FocusY = m_Focus;
  m_PrincipalPoint.m_x = 0.0;
  m_PrincipalPoint.m_y = 0.0;
  if (CalExtWithDlt2D() == 0) {
    m_Dlt.RemoveAll();
    return 0;
  }
  CalResiduals();
  return 1;
}

int CDlt::CalPrincipalPoint() {
  double d = 0.0;
  const double* l = SpatialWithDenominator(m_Dlt, d);
  if (l == nullptr) return 0;
  DltPrincipalPoint(l, d, m_PrincipalPoint.m_x, m_PrincipalPoint.m_y);
  return 1;
}

int CDlt::CalFocalLength() {
  double d = 0.0;
  const double* l = SpatialWithDenominator(m_Dlt, d);
  if (l == nullptr) return 0;
  DltPrincipalDistances(
      l, d, m_PrincipalPoint.m_x, m_PrincipalPoint.m_y, m_FocusX, m_FocusY);
  m_FocusMean = (m_FocusX + m_FocusY) / 2.0;
  return 1;
}

int CDlt::CalCameraPosition() {
  if (m_Dlt.GetSize() != kSpatialCount) return 0;
  return DltCentre(m_Dlt.GetData(), m_Center) ? 1 : 0;
}

int CDlt::CalCameraAngle() {
  double d = 0.0;
  const double* l = SpatialWithDenominator(m_Dlt, d);
  if (l == nullptr) return 0;
  const double x0 = m_PrincipalPoint.m_x, y0 = m_PrincipalPoint.m_y;
  const double s = -1.0 / std::sqrt(d);
  SetRotationRows(l, s, x0, y0, m_FocusX, m_FocusY, m_Rot);
  const int n = Count(m_ObjPoints);
  if (n == 0) return 0;
  if (MeanPointBehind(m_Rot, m_Center, MeanPoint(m_ObjPoints, n), m_FocusMean))
    SetRotationRows(l, -s, x0, y0, m_FocusX, m_FocusY, m_Rot);
  m_Wpk.Init();  // the zero triple picks between the two angle solutions
  return m_Rot.CalAngle(ROT_KPW, m_Wpk);
}

int CDlt::CalExtWithDlt2D() {
  const int n = PairCount(m_ObjPoints, m_ImgPoints, kMinPlanePairs);
  if (n == 0) return 0;
  double sum_z = 0.0;
  for (int i = 0; i < n; ++i) sum_z += m_ObjPoints[i].m_z;
  const double zm = sum_z / n;

  // Inverse plane projective fit, image to object plane:
  // X = (e1 x + e2 y + e3) / (e7 x + e8 y + 1), Y = (e4 x + e5 y + e6) / (..).
  double e[kPlaneCount];
  if (FitPlaneProjective(m_ImgPoints, m_ObjPoints, n, e) == 0) return 0;
  const double e1 = e[0], e2 = e[1], e3 = e[2], e4 = e[3], e5 = e[4], e6 = e[5],
               e7 = e[6], e8 = e[7];
  const double c = m_FocusMean;

  const double omega = std::atan(c * e8);
  const double phi = std::atan(-c * e7 * std::cos(omega));
  const double t = std::tan(phi);

  // A, B and T divide by sin(omega) and tan(omega): they exist only for
  // omega != 0. For omega exactly 0 the height comes from the limit of the
  // general formula, c cos(phi) sqrt(e2^2 + e5^2) above the mean plane
  // (e2, e5 then carry -dZ (sin kappa, cos kappa) / (c cos phi)).
  const bool omega_zero = omega == 0.0;
  double a = 0.0, b = 0.0, big_s = 0.0, big_t = 0.0;
  if (!omega_zero) {
    a = e1 + e2 * t / std::sin(omega);
    b = e4 + e5 * t / std::sin(omega);
    big_s = 1.0 + t * t;
    big_t = t / (std::cos(phi) * std::tan(omega));
  }
  double kappa;
  if (std::fabs(phi) <= kZeroAngleRad) {
    kappa = std::atan2(-e4, e1);
  } else if (std::fabs(omega) <= kZeroAngleRad) {
    kappa = std::atan2(e2, e5);
  } else {
    kappa = std::atan2(big_t * a - big_s * b, big_t * b + big_s * a);
  }

  const double z0 = omega_zero
                        ? zm + c * std::cos(phi) * std::sqrt(e2 * e2 + e5 * e5)
                        : zm + c * std::cos(omega) *
                                   std::sqrt((a * a + b * b) /
                                             (big_t * big_t + big_s * big_s));
  const double dz = zm - z0;
  const double tan_w = std::tan(omega), cos_p = std::cos(phi);
  const double sin_k = std::sin(kappa), cos_k = std::cos(kappa);
  const double x0 = e3 - dz * (sin_k * tan_w / cos_p - cos_k * t);
  const double y0 = e6 - dz * (cos_k * tan_w / cos_p + sin_k * t);
  // A NaN height or focal length, or an overflow, leaves no centre: fail
  // with nothing written, as for a failed fit.
  if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(z0) ||
      !std::isfinite(omega) || !std::isfinite(phi) || !std::isfinite(kappa))
    return 0;
  m_Wpk.m_w = omega;
  m_Wpk.m_p = phi;
  m_Wpk.m_k = kappa;
  m_Center.m_x = x0;
  m_Center.m_y = y0;
  m_Center.m_z = z0;
  m_Rot.SetMatrix(ROT_KPW, m_Wpk);
  return 1;
}

int CDlt::ObjToPhc(CXYZ const& obj_point,
                   CXYZ& img_point,
                   int with_dist,
                   double dist_tol) {
  const int count = static_cast<int>(m_Dlt.GetSize());
  const double* l = m_Dlt.GetData();
  const double big_x = obj_point.m_x, big_y = obj_point.m_y,
               big_z = obj_point.m_z;
  double u, v, w;
  if (count == kSpatialCount) {
    u = l[0] * big_x + l[1] * big_y + l[2] * big_z + l[3];
    v = l[4] * big_x + l[5] * big_y + l[6] * big_z + l[7];
    w = l[8] * big_x + l[9] * big_y + l[10] * big_z + 1.0;
  } else if (count == kPlaneCount) {
    u = l[0] * big_x + l[1] * big_y + l[2];
    v = l[3] * big_x + l[4] * big_y + l[5];
    w = l[6] * big_x + l[7] * big_y + 1.0;
  } else {
    return 0;
  }
  if (w == 0.0) return 0;
  img_point.m_strName = obj_point.m_strName;
  img_point.m_x = u / w;
  img_point.m_y = v / w;
  if (count == kSpatialCount && with_dist != 0) {
    // The measured point is the one whose distortion correction leads back
    // to the projection.
    double dx = 0.0, dy = 0.0;
    if (m_Dist.CalDistInv(img_point.m_x - m_PrincipalPoint.m_x,
                          img_point.m_y - m_PrincipalPoint.m_y,
                          dx,
                          dy,
                          dist_tol) == 0) {
      return 0;
    }
    img_point.m_x += dx;
    img_point.m_y += dy;
  }
  return 1;
}

int CDlt::CalResiduals() {
  const int count = static_cast<int>(m_Dlt.GetSize());
  if (count != kSpatialCount && count != kPlaneCount) return 0;
  const int n = PairCount(m_ObjPoints, m_ImgPoints, 1);
  if (n == 0) return 0;
  m_Residuals.SetSize(n);
  m_Rms.SetXYZ(0.0, 0.0, 0.0);
  double sum_x2 = 0.0, sum_y2 = 0.0;
  for (int i = 0; i < n; ++i) {
    CXYZ projected;
    if (ObjToPhc(m_ObjPoints[i], projected, 1, kResidualDistTol) == 0) {
      return 0;
    }
    const CXYZ& img = m_ImgPoints[i];
    CXYZ& residual = m_Residuals[i];
    residual = projected - img;
    residual.m_strName = img.m_strName;
    residual.m_z = 0.0;  // only x and y are residuals
    sum_x2 += residual.m_x * residual.m_x;
    sum_y2 += residual.m_y * residual.m_y;
  }
  m_Rms.m_x = std::sqrt(sum_x2 / n);
  m_Rms.m_y = std::sqrt(sum_y2 / n);
  return 1;
}

// --- Iterative spatial solution and self-calibration ----------------------

int CDlt::CalCameraParameters() {
  return CalPrincipalPoint() != 0 && CalFocalLength() != 0 &&
         CalCameraPosition() != 0 && CalCameraAngle() != 0;
}

int CDlt::FinishSpatial() {
  // Coefficients from NaN, infinite or overflowing input are no solution.
  for (INT_PTR k = 0; k < m_Dlt.GetSize(); ++k) {
    if (!std::isfinite(m_Dlt[k])) {
      m_Dlt.RemoveAll();
      return 0;
    }
  }
  if (CalCameraParameters() == 0) {
    m_Dlt.RemoveAll();
    return 0;
  }
  CalResiduals();
  return 1;
}

int CDlt::FailToConverge() {
  m_Dlt.RemoveAll();
  m_Dist.Init();
  return 0;
}

int CDlt::CalDltIte3D() {
  InitParam();
  const int n = PairCount(m_ObjPoints, m_ImgPoints, kMinSpatialPairs);
  if (n == 0) {
    m_Dlt.RemoveAll();
    return 0;
  }
  if (CalDlt2D() == 0) return 0;
  // Plane coefficients b1..b8 with zeros for the Z terms.
  const double* b = m_Dlt.GetData();
  const double start[kSpatialCount] = {
      b[0], b[1], 0.0, b[2], b[3], b[4], 0.0, b[5], b[6], b[7], 0.0};
  m_Dlt.SetSize(kSpatialCount);
  for (int k = 0; k < kSpatialCount; ++k) m_Dlt[k] = start[k];

  CLeastSq lsq(kSpatialCount);
  double sigma_prev = std::numeric_limits<double>::max();
  for (int iter = 0;;) {
    lsq.InitObeq();
    double* l = m_Dlt.GetData();
    // Point equations: derivatives of u/w and v/w by L1..L11, then computed
    // minus measured.
    for (int i = 0; i < n; ++i) {
      const CXYZ& obj = m_ObjPoints[i];
      const CXYZ& img = m_ImgPoints[i];
      const double xyz[3] = {obj.m_x, obj.m_y, obj.m_z};
      const double u = l[0] * xyz[0] + l[1] * xyz[1] + l[2] * xyz[2] + l[3];
      const double v = l[4] * xyz[0] + l[5] * xyz[1] + l[6] * xyz[2] + l[7];
      const double w = l[8] * xyz[0] + l[9] * xyz[1] + l[10] * xyz[2] + 1.0;
      SetSpatialRow(lsq, 0, xyz, w, u, w * w);
      lsq.SetObeq(kSpatialCount, u / w - img.m_x);
      SetSpatialRow(lsq, 1, xyz, w, v, w * w);
      lsq.SetObeq(kSpatialCount, v / w - img.m_y);
    }
    // Conditions of a camera with its principal point at the image origin
    // and equal principal distances c, each as current value minus target:
    // with the correction subtracted below, the step moves each condition
    // towards its target, as it moves the points. q and c are those of the
    // previous step (first: of the plane solution).
    const double* r3 = m_Rot.m_r + 6;
    const double q =
        -(r3[0] * m_Center.m_x + r3[1] * m_Center.m_y + r3[2] * m_Center.m_z);
    const double c = m_FocusMean;
    AddNormCondition(lsq, l, 8, 1.0 / (q * q));    // L9..L11
    AddProductCondition(lsq, l, 0);                // x0 = 0
    AddProductCondition(lsq, l, 4);                // y0 = 0
    AddNormCondition(lsq, l, 0, c * c / (q * q));  // cx = c
    AddNormCondition(lsq, l, 4, c * c / (q * q));  // cy = c
    if (lsq.Solve() == 0) {
      m_Dlt.RemoveAll();
      return 0;
    }
    for (int k = 0; k < kSpatialCount; ++k) l[k] -= lsq.GetBcor(k);
    // Centre, rotation and c of the next conditions.
    if (CalCameraParameters() == 0) {
      m_Dlt.RemoveAll();
      return 0;
    }
    const double sigma = lsq.CalStandard2();
    if (Converged(sigma, sigma_prev, m_SigmaTol, m_RelTol)) break;
    sigma_prev = sigma;
    if (++iter >= m_MaxIter) return FailToConverge();
  }
  return FinishSpatial();
}

int CDlt::CalDltSelfCalib_k1k2k3k4() { return CalDltSelfCalib(DIST_K1K2K3K4); }

int CDlt::CalDltSelfCalib_k1k2p1p2() { return CalDltSelfCalib(DIST_K1K2P1P2); }

int CDlt::CalDltSelfCalib_k1k2k3p1p2() {
  return CalDltSelfCalib(DIST_K1K2K3P1P2);
}

int CDlt::CalDltSelfCalib(DIST_MODEL model) {
  const int n = PairCount(m_ObjPoints, m_ImgPoints, kMinSelfCalibPairs);
  if (n == 0) {
    m_Dlt.RemoveAll();
    return 0;
  }
  if (CalDlt() == 0) return 0;
  // The plane solution has no L9..L11 to start from (all control points in
  // one plane Z = const): no self-calibration, CalDlt's text stays.
  if (m_Dlt.GetSize() != kSpatialCount) {
    m_Dlt.RemoveAll();
    return 0;
  }
  m_Dist.SetDistModel(model);
  const int n_dist = m_Dist.GetNumPara();
  for (int k = 0; k < n_dist; ++k) m_Dist.m_Para[k] = 0.0;
  const int n_unknowns = kSpatialCount + n_dist;

  double sigma_prev = std::numeric_limits<double>::max();
  for (int iter = 0;;) {
    CLeastSq lsq(n_unknowns);
    double* l = m_Dlt.GetData();
    const double x0 = m_PrincipalPoint.m_x, y0 = m_PrincipalPoint.m_y;
    for (int i = 0; i < n; ++i) {
      const CXYZ& obj = m_ObjPoints[i];
      const CXYZ& img = m_ImgPoints[i];
      const double xyz[3] = {obj.m_x, obj.m_y, obj.m_z};
      const double measured[2] = {img.m_x, img.m_y};
      // Divided by the previous denominator: weighted as the nonlinear
      // problem; multiplied by it, exactly the model.
      const double w = l[8] * xyz[0] + l[9] * xyz[1] + l[10] * xyz[2] + 1.0;
      double dist_col[2][collinear::kMaxDistPara];
      DistortionColumns(
          model, img.m_x - x0, img.m_y - y0, dist_col[0], dist_col[1]);
      for (int axis = 0; axis < 2; ++axis) {
        SetSpatialRow(lsq, axis, xyz, w, measured[axis], w);
        for (int k = 0; k < n_dist; ++k)
          lsq.SetObeq(kSpatialCount + k, dist_col[axis][k]);
        lsq.SetObeq(n_unknowns, measured[axis] / w);
      }
    }
    if (lsq.Solve() == 0) {
      m_Dlt.RemoveAll();
      return 0;
    }
    for (int k = 0; k < kSpatialCount; ++k) l[k] = lsq.GetBcor(k);
    for (int k = 0; k < n_dist; ++k)
      m_Dist.m_Para[k] = lsq.GetBcor(kSpatialCount + k);
    CalPrincipalPoint();  // the offsets of the next iteration
    const double sigma = lsq.CalStandard2();
    if (Converged(sigma, sigma_prev, m_SigmaTol, m_RelTol)) break;
    sigma_prev = sigma;
    if (++iter >= m_MaxIter) return FailToConverge();
  }
  return FinishSpatial();
}

namespace collinear {

DltCamera CameraFromDlt(const double* l, const CXYZ& mean_point) {
  DltCamera cam;
  for (int k = 0; k < kSpatialCount; ++k)
    if (!std::isfinite(l[k])) return cam;
  const double d = DltDenominator(l);
  if (d == 0.0) return cam;
  DltPrincipalPoint(l, d, cam.x0, cam.y0);
  DltPrincipalDistances(l, d, cam.x0, cam.y0, cam.cx, cam.cy);
  if (!(cam.cx > 0.0 && cam.cy > 0.0)) return cam;  // also NaN
  if (!DltCentre(l, cam.centre)) return cam;
  const double s = -1.0 / std::sqrt(d);
  SetRotationRows(l, s, cam.x0, cam.y0, cam.cx, cam.cy, cam.rot);
  if (MeanPointBehind(cam.rot, cam.centre, mean_point, (cam.cx + cam.cy) / 2.0))
    SetRotationRows(l, -s, cam.x0, cam.y0, cam.cx, cam.cy, cam.rot);
  cam.wpk.Init();
  cam.valid = cam.rot.CalAngle(ROT_KPW, cam.wpk) != 0;
  return cam;
}

bool DltCentreDerivatives(const double* l,
                          const CXYZ& centre,
                          double (&d)[3][11]) {
  const double m[3][3] = {
      {l[0], l[1], l[2]}, {l[4], l[5], l[6]}, {l[8], l[9], l[10]}};
  // M^-1 from the cofactors.
  double inv[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const int r0 = (j + 1) % 3, r1 = (j + 2) % 3;
      const int c0 = (i + 1) % 3, c1 = (i + 2) % 3;
      inv[i][j] = m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0];
    }
  const double det =
      m[0][0] * inv[0][0] + m[0][1] * inv[1][0] + m[0][2] * inv[2][0];
  if (!(std::fabs(det) > 0.0) || !std::isfinite(det)) return false;
  const double c[3] = {centre.m_x, centre.m_y, centre.m_z};
  for (int row = 0; row < 3; ++row) {
    // L(4 row + 1 + k), k < 3, sits in M at (row, k): dc = -M^-1 e_row c_k.
    // L4 and L8 sit in b with a minus sign: dc = -M^-1 e_row.
    for (int k = 0; k < 4; ++k) {
      const int j = 4 * row + k;
      if (j >= kSpatialCount) break;
      const double factor = k < 3 ? -c[k] : -1.0;
      for (int i = 0; i < 3; ++i) d[i][j] = inv[i][row] / det * factor;
    }
  }
  return true;
}

}  // namespace collinear
