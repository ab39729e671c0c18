// Rotation angles omega, phi, kappa (about X, Y, Z) in radians. The triple
// carries no convention; CRot decides how the angles combine. Holds the
// library's angle-wrapping rule (NormalizeAngle, into [-pi, pi]) and its
// angle-difference rule (SubtractAngle).
#ifndef COLLINEAR_PRIMITIVES_WPK_H_
#define COLLINEAR_PRIMITIVES_WPK_H_

#include <collinear/framework/export.h>

class COLLINEAR_API CWPK {
 public:
  double m_w;
  double m_p;
  double m_k;

  CWPK();
  CWPK(double w, double p, double k);  // stored as given, not wrapped
  CWPK(const CWPK& o);
  CWPK& operator=(const CWPK& o);

  void Init();
  void SetWPK(double w, double p, double k);  // stored as given

  // Wraps a into [-pi, pi] by whole turns. A value that wraps to exactly
  // +-pi keeps its sign (3 pi -> pi, -3 pi -> -pi); -2 pi gives -0.0; NaN
  // stays NaN.
  static void NormalizeAngle(double& a);
  void Normalize();
  // d = wrapped a - wrapped b, in [-2 pi, 2 pi]. A d above pi comes back as
  // 2 pi - d; a d below -pi comes back unchanged (the rule is asymmetric).
  static double SubtractAngle(double a, double b);
  // Component-wise SubtractAngle(o, *this): the argument minus the object.
  CWPK Subtract(CWPK& o);

  CWPK operator+() const;
  CWPK operator-() const;  // negated, not wrapped
  // Component-wise sum or difference, each wrapped by NormalizeAngle.
  CWPK operator+(const CWPK& o) const;
  CWPK operator-(const CWPK& o) const;
  void operator+=(const CWPK& o);
  void operator-=(const CWPK& o);

  // Diagnostic hook; does nothing.
  void Trace();
};

#endif  // COLLINEAR_PRIMITIVES_WPK_H_
