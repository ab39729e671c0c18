// Rotation matrix: conventions, products and angle extraction.
#include <collinear/primitives/rot.h>

#include <algorithm>
#include <cmath>

#include <collinear/primitives/constants.h>

using collinear::kPi;
using collinear::kRadPerDeg;

namespace {

// |cos phi| at or below this is gimbal lock: omega and kappa then act about
// the same axis and only their sum or difference is defined.
constexpr double kGimbalCos = 1e-12;

void SetRows(double* m,
             double r11,
             double r12,
             double r13,
             double r21,
             double r22,
             double r23,
             double r31,
             double r32,
             double r33) {
  m[0] = r11;
  m[1] = r12;
  m[2] = r13;
  m[3] = r21;
  m[4] = r22;
  m[5] = r23;
  m[6] = r31;
  m[7] = r32;
  m[8] = r33;
}

// out = a b, row by row; out may not alias a or b.
void Multiply(const double* a, const double* b, double* out) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      out[3 * i + j] =
          a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
    }
  }
}

double ClampUnit(double s) {
  if (s >= 1.0) return 1.0;
  if (s <= -1.0) return -1.0;
  return s;
}

// The second Euler solution's phi for a first solution phi1 = asin(s).
double OtherPhi(double phi1) { return phi1 >= 0 ? kPi - phi1 : -kPi - phi1; }

// Sum of the absolute angle differences of (w, p, k) from ref.
double Distance(double w, double p, double k, const CWPK& ref) {
  return std::fabs(CWPK::SubtractAngle(w, ref.m_w)) +
         std::fabs(CWPK::SubtractAngle(p, ref.m_p)) +
         std::fabs(CWPK::SubtractAngle(k, ref.m_k));
}

// Stores the nearer of the two candidates (ties go to the first), wrapped.
void PickNearer(const double (&w)[2],
                const double (&p)[2],
                const double (&k)[2],
                const CWPK& ref,
                CWPK& out) {
  const double d1 = Distance(w[0], p[0], k[0], ref);
  const double d2 = Distance(w[1], p[1], k[1], ref);
  const int i = d1 <= d2 ? 0 : 1;
  out.Init();
  out.m_w = w[i];
  out.m_p = p[i];
  out.m_k = k[i];
  out.Normalize();
}

}  // namespace

CRot::CRot() { I(); }

CRot::CRot(const CRot& o) {
  for (int i = 0; i < 9; ++i) m_r[i] = o.m_r[i];
}

CRot& CRot::operator=(const CRot& o) {
  if (this == &o) return *this;
  for (int i = 0; i < 9; ++i) m_r[i] = o.m_r[i];
  return *this;
}

void CRot::I() { SetRows(m_r, 1, 0, 0, 0, 1, 0, 0, 0, 1); }

void CRot::T() {
  const CRot c(*this);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) m_r[3 * i + j] = c.m_r[3 * j + i];
  }
}

int CRot::SetMatrix(ROT_SYSTEM sys, const CWPK& a) {
  switch (sys) {
    case ROT_W:
      SetMatrix_W(a.m_w);
      return 1;
    case ROT_P:
      SetMatrix_P(a.m_p);
      return 1;
    case ROT_K:
      SetMatrix_K(a.m_k);
      return 1;
    case ROT_WPK:
      SetMatrix_WPK(a.m_w, a.m_p, a.m_k);
      return 1;
    case ROT_KPW:
      SetMatrix_KPW(a.m_w, a.m_p, a.m_k);
      return 1;
  }
  return 0;
}

int CRot::AddMatrix(ROT_SYSTEM sys, const CWPK& a) {
  CRot r;
  if (!r.SetMatrix(sys, a)) return 0;
  AddMatrix(r);
  return 1;
}

void CRot::AddMatrix(const CRot& R) {
  const CRot m(*this);
  Multiply(R.m_r, m.m_r, m_r);
}

CRot CRot::operator*(const CRot& B) const {
  CRot r;
  Multiply(m_r, B.m_r, r.m_r);
  return r;
}

void CRot::operator*=(const CRot& B) {
  const CRot m(*this);
  Multiply(m.m_r, B.m_r, m_r);
}

void CRot::Rotate(
    double x, double y, double z, double& X, double& Y, double& Z) const {
  X = m_r[0] * x + m_r[1] * y + m_r[2] * z;
  Y = m_r[3] * x + m_r[4] * y + m_r[5] * z;
  Z = m_r[6] * x + m_r[7] * y + m_r[8] * z;
}

void CRot::Rotate(const CXYZ& in, CXYZ& out) const {
  const double x = in.m_x, y = in.m_y, z = in.m_z;
  out = in;
  Rotate(x, y, z, out.m_x, out.m_y, out.m_z);
}

CXYZ CRot::operator*(const CXYZ& p) const {
  CXYZ r;
  Rotate(p, r);
  return r;
}

int CRot::CalAngle(ROT_SYSTEM sys, CWPK& a) {
  switch (sys) {
    case ROT_W:
      a.Init();
      CalAngle_W(a.m_w);
      return 1;
    case ROT_P:
      a.Init();
      CalAngle_P(a.m_p);
      return 1;
    case ROT_K:
      a.Init();
      CalAngle_K(a.m_k);
      return 1;
    case ROT_WPK: {
      const CWPK ref(a);
      CalAngle_WPK(ref, a);
      return 1;
    }
    case ROT_KPW: {
      const CWPK ref(a);
      CalAngle_KPW(ref, a);
      return 1;
    }
  }
  return 0;
}

void CRot::SetDIMat(double* const a) {
  const double w = a[0] * kRadPerDeg;
  const double p = a[1] * kRadPerDeg;
  const double k = a[2] * kRadPerDeg;
  SetMatrix_KPW(w, p, k);
}

void CRot::SetDIMatInv(double* const a) {
  SetDIMat(a);
  T();
}

void CRot::Trace() {}

void CRot::SetMatrix_W(const double& w) {
  const double cw = std::cos(w), sw = std::sin(w);
  SetRows(m_r, 1, 0, 0, 0, cw, -sw, 0, sw, cw);
}

void CRot::SetMatrix_P(const double& p) {
  const double cp = std::cos(p), sp = std::sin(p);
  SetRows(m_r, cp, 0, sp, 0, 1, 0, -sp, 0, cp);
}

void CRot::SetMatrix_K(const double& k) {
  const double ck = std::cos(k), sk = std::sin(k);
  SetRows(m_r, ck, -sk, 0, sk, ck, 0, 0, 0, 1);
}

// Rz(k) Ry(p) Rx(w).
void CRot::SetMatrix_WPK(const double& w, const double& p, const double& k) {
  const double cw = std::cos(w), sw = std::sin(w);
  const double cp = std::cos(p), sp = std::sin(p);
  const double ck = std::cos(k), sk = std::sin(k);
  SetRows(m_r,
          ck * cp,
          sp * ck * sw - sk * cw,
          sp * ck * cw + sk * sw,
          sk * cp,
          sk * sp * sw + ck * cw,
          sk * sp * cw - ck * sw,
          -sp,
          cp * sw,
          cp * cw);
}

// Rx(w) Ry(p) Rz(k).
void CRot::SetMatrix_KPW(const double& w, const double& p, const double& k) {
  const double cw = std::cos(w), sw = std::sin(w);
  const double cp = std::cos(p), sp = std::sin(p);
  const double ck = std::cos(k), sk = std::sin(k);
  SetRows(m_r,
          cp * ck,
          -sk * cp,
          sp,
          ck * sp * sw + sk * cw,
          ck * cw - sk * sp * sw,
          -cp * sw,
          sk * sw - ck * sp * cw,
          sk * sp * cw + ck * sw,
          cp * cw);
}

namespace collinear {

bool RotationDerivatives(ROT_SYSTEM sys, const CWPK& a, double (&d)[3][9]) {
  if (sys != ROT_WPK && sys != ROT_KPW) return false;
  const double cw = std::cos(a.m_w), sw = std::sin(a.m_w);
  const double cp = std::cos(a.m_p), sp = std::sin(a.m_p);
  const double ck = std::cos(a.m_k), sk = std::sin(a.m_k);
  // d/d omega, d/d phi, d/d kappa of the matrices of SetMatrix_KPW and
  // SetMatrix_WPK, one matrix row per line.
  // clang-format off
  if (sys == ROT_KPW) {  // Rx(w) Ry(p) Rz(k)
    const double kpw[3][9] = {
        {0.0, 0.0, 0.0,
         -sw * sk + cw * sp * ck, -sw * ck - cw * sp * sk, -cw * cp,
         cw * sk + sw * sp * ck, cw * ck - sw * sp * sk, -sw * cp},
        {-sp * ck, sp * sk, cp,
         sw * cp * ck, -sw * cp * sk, sw * sp,
         -cw * cp * ck, cw * cp * sk, -cw * sp},
        {-cp * sk, -cp * ck, 0.0,
         cw * ck - sw * sp * sk, -cw * sk - sw * sp * ck, 0.0,
         sw * ck + cw * sp * sk, -sw * sk + cw * sp * ck, 0.0}};
    std::copy(&kpw[0][0], &kpw[0][0] + 27, &d[0][0]);
  } else {  // Rz(k) Ry(p) Rx(w)
    const double wpk[3][9] = {
        {0.0, sp * ck * cw + sk * sw, -sp * ck * sw + sk * cw,
         0.0, sk * sp * cw - ck * sw, -sk * sp * sw - ck * cw,
         0.0, cp * cw, -cp * sw},
        {-sp * ck, cp * ck * sw, cp * ck * cw,
         -sp * sk, sk * cp * sw, sk * cp * cw,
         -cp, -sp * sw, -sp * cw},
        {-cp * sk, -sp * sk * sw - ck * cw, -sp * sk * cw + ck * sw,
         cp * ck, ck * sp * sw - sk * cw, ck * sp * cw + sk * sw,
         0.0, 0.0, 0.0}};
    std::copy(&wpk[0][0], &wpk[0][0] + 27, &d[0][0]);
  }
  // clang-format on
  return true;
}

}  // namespace collinear

void CRot::CalAngle_W(double& w) { w = std::atan2(m_r[7], m_r[4]); }

void CRot::CalAngle_P(double& p) { p = std::atan2(m_r[2], m_r[0]); }

void CRot::CalAngle_K(double& k) { k = std::atan2(m_r[3], m_r[0]); }

// sin phi = -r31. The two solutions are (w, p, k) and (w + pi, pi - p,
// k + pi); dividing by cos p, whose sign differs between them, yields the
// shifted omega and kappa of the second.
void CRot::CalAngle_WPK(const CWPK& ref, CWPK& out) {
  double w[2], p[2], k[2];
  p[0] = std::asin(ClampUnit(-m_r[6]));
  p[1] = OtherPhi(p[0]);
  for (int i = 0; i < 2; ++i) {
    const double c = std::cos(p[i]);
    if (std::fabs(c) <= kGimbalCos) {
      w[i] = ref.m_w;
      k[i] = p[i] >= 0 ? std::atan2(-m_r[1], m_r[2]) + ref.m_w
                       : std::atan2(-m_r[1], -m_r[2]) - ref.m_w;
    } else {
      const double q = 1.0 / c;
      w[i] = std::atan2(q * m_r[7], q * m_r[8]);
      k[i] = std::atan2(q * m_r[3], q * m_r[0]);
    }
  }
  PickNearer(w, p, k, ref, out);
}

// sin phi = r13; otherwise as CalAngle_WPK.
void CRot::CalAngle_KPW(const CWPK& ref, CWPK& out) {
  double w[2], p[2], k[2];
  p[0] = std::asin(ClampUnit(m_r[2]));
  p[1] = OtherPhi(p[0]);
  for (int i = 0; i < 2; ++i) {
    const double c = std::cos(p[i]);
    if (std::fabs(c) <= kGimbalCos) {
      w[i] = ref.m_w;
      const double t = std::atan2(m_r[3], m_r[4]);
      k[i] = p[i] >= 0 ? t - ref.m_w : t + ref.m_w;
    } else {
      w[i] = std::atan2(-m_r[5] / c, m_r[8] / c);
      k[i] = std::atan2(-m_r[1] / c, m_r[0] / c);
    }
  }
  PickNearer(w, p, k, ref, out);
}
