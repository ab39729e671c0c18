// 3x3 rotation matrix, stored row by row in m_r. Built from an angle triple
// (radians) under one of the ROT_SYSTEM conventions, combined, applied to
// points and turned back into angles. Of the two Euler solutions of a matrix
// CalAngle returns the one nearest to the reference triple the caller hands
// in, so a caller picks the branch with an approximate triple.
#ifndef COLLINEAR_PRIMITIVES_ROT_H_
#define COLLINEAR_PRIMITIVES_ROT_H_

#include <collinear/framework/export.h>
#include <collinear/primitives/wpk.h>
#include <collinear/primitives/xyz.h>

// Angle conventions. For a column vector: ROT_WPK is Rz(k) Ry(p) Rx(w)
// (omega acts first), ROT_KPW is Rx(w) Ry(p) Rz(k) (kappa acts first); the
// single-axis ones ignore the other two angles. Operations taking a
// convention reject any other value with 0.
enum ROT_SYSTEM : int {
  ROT_W = 0,
  ROT_P = 1,
  ROT_K = 2,
  ROT_WPK = 3,
  ROT_KPW = 4,
};

class COLLINEAR_API CRot {
 public:
  double m_r[9];  // r11 r12 r13 r21 r22 r23 r31 r32 r33

  CRot();  // identity
  CRot(const CRot& o);
  CRot& operator=(const CRot& o);

  void I();  // identity
  void T();  // transpose in place

  // Overwrites the matrix with the rotation of sys from a. Returns 1, or 0
  // for an unknown sys (matrix unchanged).
  int SetMatrix(ROT_SYSTEM sys, const CWPK& a);
  // M becomes R M with R the rotation of sys from a: R acts after M.
  // Returns 1, or 0 for an unknown sys (matrix unchanged).
  int AddMatrix(ROT_SYSTEM sys, const CWPK& a);
  void AddMatrix(const CRot& R);  // M becomes R M

  CRot operator*(const CRot& B) const;  // M B
  void operator*=(const CRot& B);       // M becomes M B (right side)

  // (X, Y, Z) = M (x, y, z).
  void Rotate(
      double x, double y, double z, double& X, double& Y, double& Z) const;
  // out = in with its coordinates rotated by M; in and out may be one object.
  void Rotate(const CXYZ& in, CXYZ& out) const;
  CXYZ operator*(const CXYZ& p) const;  // keeps p's name and attributes

  // Angles of sys from the matrix into a, wrapped into [-pi, pi]. For
  // ROT_WPK and ROT_KPW a holds the reference triple on entry; at gimbal
  // lock (|cos phi| <= 1e-12) omega is the reference omega. Returns 1, or 0
  // for an unknown sys (a unchanged).
  int CalAngle(ROT_SYSTEM sys, CWPK& a);

  // a[0..2] = omega, phi, kappa in degrees; sets the ROT_KPW matrix.
  void SetDIMat(double* const a);
  // As SetDIMat, then transposed: the inverse rotation.
  void SetDIMatInv(double* const a);

  // Diagnostic hook; does nothing.
  void Trace();

 protected:
  void SetMatrix_W(const double& w);
  void SetMatrix_P(const double& p);
  void SetMatrix_K(const double& k);
  void SetMatrix_WPK(const double& w, const double& p, const double& k);
  void SetMatrix_KPW(const double& w, const double& p, const double& k);
  void CalAngle_W(double& w);
  void CalAngle_P(double& p);
  void CalAngle_K(double& k);
  void CalAngle_WPK(const CWPK& ref, CWPK& out);
  void CalAngle_KPW(const CWPK& ref, CWPK& out);
};

namespace collinear {

// Partial derivatives of the matrix of sys at the angles a (radians) by
// omega, phi and kappa into d[0], d[1], d[2], each row by row as m_r.
// Returns false, d untouched, for a convention other than ROT_WPK, ROT_KPW.
COLLINEAR_API bool RotationDerivatives(ROT_SYSTEM sys,
                                       const CWPK& a,
                                       double (&d)[3][9]);

}  // namespace collinear

#endif  // COLLINEAR_PRIMITIVES_ROT_H_
