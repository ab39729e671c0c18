// Named 3-D point and vector. Carries a point name (solvers pair points of
// two lists by exact equality of m_strName), an auxiliary text and five
// caller-owned attribute words that no operation reads. Units are the
// caller's. Binary operators keep the left operand's name and attributes,
// except the divisions, which return an unnamed point.
#ifndef COLLINEAR_PRIMITIVES_XYZ_H_
#define COLLINEAR_PRIMITIVES_XYZ_H_

#include <collinear/framework/export.h>
#include <collinear/framework/string.h>

class COLLINEAR_API CXYZ {
 public:
  CString m_strAux;
  CString m_strName;
  double m_x;
  double m_y;
  double m_z;
  int m_nAttr[5];

  CXYZ();
  CXYZ(double x, double y, double z);
  CXYZ(const char* name, double x, double y, double z);
  CXYZ(const CXYZ& o);
  CXYZ& operator=(const CXYZ& o);
  ~CXYZ();

  // Back to the default state: empty strings, zero coordinates and words.
  void Init();
  // Sets the coordinates only; name, text and attribute words stay.
  void SetXYZ(double x, double y, double z);

  // Euclidean length of the vector.
  double Len() const;
  // Distance to q.
  double Len(const CXYZ& q) const;
  // Dot product.
  double Inn(const CXYZ& q) const;
  // Cross product this x q, as an unnamed point.
  CXYZ Out(const CXYZ& q) const;
  // 1 when the distance to q is at most d, else 0 (also 0 for a NaN
  // distance). Names are not compared.
  int EQ(const CXYZ& q, double d) const;

  // Results keep this point's name, text and attribute words.
  CXYZ operator+() const;
  CXYZ operator-() const;
  CXYZ operator+(const CXYZ& q) const;
  CXYZ operator-(const CXYZ& q) const;
  CXYZ operator*(const CXYZ& q) const;  // component by component
  CXYZ operator*(double d) const;
  // Unnamed results. A component whose divisor is exactly 0 gives 0.0; a
  // scalar 0 gives (0, 0, 0). A NaN divisor divides. Scalar division
  // multiplies by the reciprocal.
  CXYZ operator/(const CXYZ& q) const;
  CXYZ operator/(double d) const;

  // In place; name, text and attribute words unchanged. A zero divisor
  // (component or scalar) leaves the affected coordinates as they are.
  void operator+=(const CXYZ& q);
  void operator-=(const CXYZ& q);
  void operator*=(const CXYZ& q);
  void operator*=(double d);
  void operator/=(const CXYZ& q);
  void operator/=(double d);

  // Diagnostic hook; does nothing.
  void Trace();
};

#endif  // COLLINEAR_PRIMITIVES_XYZ_H_
