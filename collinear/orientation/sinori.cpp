// Space resection: plane projective start, Gauss-Newton on the collinearity
// equations, and the search over pre-rotations of the object frame.
#include <collinear/orientation/sinori.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include <collinear/leastsq/leastsq.h>
#include <collinear/orientation/dlt.h>
#include <collinear/orientation/point_match.h>
#include <collinear/primitives/constants.h>

namespace {

using collinear::kRadPerDeg;

constexpr double kLargest = std::numeric_limits<double>::max();
constexpr int kUnknowns = 6;  // centre x, y, z; omega, phi, kappa

// Pre-rotations tried by CalSinOri2, in degrees and in trial order.
constexpr double kOmegaTrialsDeg[] = {0, 45, -45, 90, -90};
constexpr double kPhiTrialsDeg[] = {0, 45, -45, 90, -90, 135, -135, 180};

// Row i of a row-major 3x3 matrix times d.
double RowDot(const double* m, int i, const double* d) {
  return m[3 * i] * d[0] + m[3 * i + 1] * d[1] + m[3 * i + 2] * d[2];
}

// The pre-rotation of trial (omega index, phi index) under sys, kappa 0.
CRot PreRotation(ROT_SYSTEM sys, int omega_index, int phi_index) {
  CRot pre;
  pre.SetMatrix(sys,
                CWPK(kOmegaTrialsDeg[omega_index] * kRadPerDeg,
                     kPhiTrialsDeg[phi_index] * kRadPerDeg,
                     0.0));
  return pre;
}

// Replaces every point of dst by the rotation of the point of src at the
// same index; both arrays hold the same count.
void RotateAll(const CRot& rot,
               const CArray<CXYZ, CXYZ&>& src,
               CArray<CXYZ, CXYZ&>& dst) {
  for (INT_PTR i = 0; i < src.GetSize(); ++i) rot.Rotate(src[i], dst[i]);
}

}  // namespace

CSinOri::CSinOri() { Init(); }

CSinOri::CSinOri(const CSinOri& o) { *this = o; }

CSinOri& CSinOri::operator=(const CSinOri& o) {
  if (this == &o) return *this;
  m_Focus = o.m_Focus;
  m_Center = o.m_Center;
  m_Wpk = o.m_Wpk;
  m_Rot = o.m_Rot;
  m_ObjPoints.Copy(o.m_ObjPoints);
  m_ImgPoints.Copy(o.m_ImgPoints);
  m_Residuals.Copy(o.m_Residuals);
  m_Rms = o.m_Rms;
  m_MaxIter = o.m_MaxIter;
  m_RelTol = o.m_RelTol;
  m_SigmaTol = o.m_SigmaTol;
  m_RotSystem = o.m_RotSystem;
  return *this;
}

CSinOri::~CSinOri() = default;

void CSinOri::Init() {
  m_Focus = 1.0;
  m_ObjPoints.RemoveAll();
  m_ImgPoints.RemoveAll();
  m_MaxIter = 20;
  m_RelTol = 1e-6;
  m_SigmaTol = 1e-12;
  m_RotSystem = ROT_KPW;
  InitParam();
}

void CSinOri::InitParam() {
  m_Center.Init();
  m_Wpk.Init();
  m_Rot.I();
  m_Residuals.RemoveAll();
  m_Rms.Init();
  m_Rms.SetXYZ(-1.0, -1.0, 0.0);
}

int CSinOri::Create(CArray<CXYZ, CXYZ&>& obj,
                    CArray<CXYZ, CXYZ&>& img,
                    double focus) {
  if (SetPoints(obj, img) < 3) return 0;
  if (!(focus > 0.0)) return 0;  // also rejects NaN
  m_Focus = focus;
  return 1;
}

int CSinOri::SetPoints(CArray<CXYZ, CXYZ&>& obj, CArray<CXYZ, CXYZ&>& img) {
  return collinear::MatchPointsByName(obj, img, m_ObjPoints, m_ImgPoints);
}

int CSinOri::CheckPairs(int min_pairs) const {
  const INT_PTR n = m_ObjPoints.GetSize();
  return n >= min_pairs && n == m_ImgPoints.GetSize();
}

int CSinOri::ObjToPhc(const CXYZ& obj, CXYZ& phc) {
  const CXYZ d = obj - m_Center;
  double rx, ry, rz;
  m_Rot.Rotate(d.m_x, d.m_y, d.m_z, rx, ry, rz);
  phc = obj;
  phc.m_x = -(1.0 / rz) * m_Focus * rx;
  phc.m_y = -(1.0 / rz) * m_Focus * ry;
  phc.m_z = 0.0;
  return 1;
}

int CSinOri::CalInitExt() {
  CDlt dlt;
  if (!dlt.Create(m_ObjPoints, m_ImgPoints, m_Focus)) return 0;
  if (!dlt.CalDlt2D()) return 0;
  m_Center.SetXYZ(dlt.m_Center.m_x, dlt.m_Center.m_y, dlt.m_Center.m_z);
  m_Rot = dlt.m_Rot;
  m_Wpk.Init();  // reference triple of the angle extraction
  m_Rot.CalAngle(m_RotSystem, m_Wpk);
  return 1;
}

int CSinOri::CalCorp(ROT_SYSTEM sys,
                     CWPK& a,
                     double* const dw,
                     double* const dp,
                     double* const dk) {
  double d[3][9];
  if (!collinear::RotationDerivatives(sys, a, d)) return 0;
  std::copy(d[0], d[0] + 9, dw);
  std::copy(d[1], d[1] + 9, dp);
  std::copy(d[2], d[2] + 9, dk);
  return 1;
}

int CSinOri::SinIte() {
  const INT_PTR n = m_ObjPoints.GetSize();
  if (n < 3 || n != m_ImgPoints.GetSize()) return 0;
  CLeastSq lsq(static_cast<int>(2 * n), kUnknowns);
  double sigma_prev = kLargest;
  const double f = m_Focus;
  double dmat[3][9];  // d m_Rot / d omega, phi, kappa
  for (int iter = 0;;) {
    lsq.InitObeq();
    // A convention without derivatives cannot be iterated.
    if (!CalCorp(m_RotSystem, m_Wpk, dmat[0], dmat[1], dmat[2])) return 0;
    const double* r = m_Rot.m_r;
    for (INT_PTR k = 0; k < n; ++k) {
      const CXYZ& obj = m_ObjPoints[k];
      const CXYZ& img = m_ImgPoints[k];
      const double d[3] = {obj.m_x - m_Center.m_x,
                           obj.m_y - m_Center.m_y,
                           obj.m_z - m_Center.m_z};
      double rd[3];  // r = R d
      for (int i = 0; i < 3; ++i) rd[i] = RowDot(r, i, d);
      const double rz = rd[2];
      const double q = -1.0 / (rz * rz);
      const double measured[2] = {img.m_x, img.m_y};
      double dz[3];  // third row of each derivative matrix times d
      for (int m = 0; m < 3; ++m) dz[m] = RowDot(dmat[m], 2, d);
      for (int axis = 0; axis < 2; ++axis) {  // x equation, then y
        const double ra = rd[axis];
        double row[kUnknowns + 1];
        for (int j = 0; j < 3; ++j)
          row[j] = (ra * r[6 + j] - rz * r[3 * axis + j]) * q * f;
        for (int m = 0; m < 3; ++m) {
          const double num = RowDot(dmat[m], axis, d) * rz;
          row[3 + m] = (num - dz[m] * ra) * q * f;
        }
        // Measured minus projected.
        row[kUnknowns] = (f / rz) * ra + measured[axis];
        lsq.SetObeqRow(row);
      }
    }
    // Only the corrections and CalStandard2 are read: no statistics.
    if (!lsq.SolveBcor()) return 0;
    m_Center.m_x += lsq.GetBcor(0);
    m_Center.m_y += lsq.GetBcor(1);
    m_Center.m_z += lsq.GetBcor(2);
    m_Wpk.m_w += lsq.GetBcor(3);
    m_Wpk.m_p += lsq.GetBcor(4);
    m_Wpk.m_k += lsq.GetBcor(5);
    m_Wpk.Normalize();
    m_Rot.SetMatrix(m_RotSystem, m_Wpk);
    const double sigma = lsq.CalStandard2();
    if (sigma <= m_SigmaTol) return 1;
    if (std::fabs(std::fabs(sigma - sigma_prev) / sigma_prev) <= m_RelTol)
      return 1;
    sigma_prev = sigma;
    if (++iter >= m_MaxIter) return 0;
  }
}

int CSinOri::CalResiduals() {
  const INT_PTR n = m_ObjPoints.GetSize();
  if (n == 0 || n != m_ImgPoints.GetSize()) return 0;
  m_Residuals.SetSize(n);
  m_Rms.SetXYZ(0.0, 0.0, 0.0);
  double sum_x = 0.0, sum_y = 0.0;
  for (INT_PTR i = 0; i < n; ++i) {
    CXYZ p;
    ObjToPhc(m_ObjPoints[i], p);
    const CXYZ& img = m_ImgPoints[i];
    CXYZ& res = m_Residuals[i];
    res = p - img;
    res.m_strName = img.m_strName;
    sum_x += res.m_x * res.m_x;
    sum_y += res.m_y * res.m_y;
  }
  m_Rms.m_x = std::sqrt(sum_x / n);
  m_Rms.m_y = std::sqrt(sum_y / n);
  return 1;
}

int CSinOri::CalSinOri() {
  InitParam();
  if (!CheckPairs(4)) return 0;
  if (!CalInitExt() || !SinIte()) return 0;
  CalResiduals();
  return 1;
}

int CSinOri::CalSinOri2() {
  if (!CheckPairs(4)) return 0;
  CArray<CXYZ, CXYZ&> unrotated;
  unrotated.Copy(m_ObjPoints);

  double best_score = kLargest;
  int best_w = -1, best_p = -1;
  const int n_omega = sizeof(kOmegaTrialsDeg) / sizeof(kOmegaTrialsDeg[0]);
  const int n_phi = sizeof(kPhiTrialsDeg) / sizeof(kPhiTrialsDeg[0]);
  for (int iw = 0; iw < n_omega; ++iw) {
    for (int ip = 0; ip < n_phi; ++ip) {
      RotateAll(PreRotation(m_RotSystem, iw, ip), unrotated, m_ObjPoints);
      InitParam();
      if (!CalInitExt() || !SinIte()) continue;
      CalResiduals();
      const double score = m_Rms.Len();
      if (score < best_score) {  // strict: an equal later score loses
        best_score = score;
        best_w = iw;
        best_p = ip;
      }
    }
  }
  if (best_w < 0) return 0;

  // The final run uses the ROT_KPW pre-rotation whatever m_RotSystem is.
  const CRot pre = PreRotation(ROT_KPW, best_w, best_p);
  RotateAll(pre, unrotated, m_ObjPoints);
  InitParam();
  if (!CalInitExt() || !SinIte()) return 0;

  // Object X was solved as pre X: centre C = pre^T C', rotation R = R' pre.
  m_ObjPoints.Copy(unrotated);
  CRot pre_t = pre;
  pre_t.T();
  pre_t.Rotate(m_Center, m_Center);
  CRot rot_t = m_Rot;
  rot_t.T();
  m_Rot = pre_t * rot_t;
  m_Rot.T();
  m_Wpk.Init();
  m_Rot.CalAngle(m_RotSystem, m_Wpk);
  CalResiduals();
  return 1;
}
