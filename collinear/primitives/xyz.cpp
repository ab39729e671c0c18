// Named 3-D point and vector.
#include <collinear/primitives/xyz.h>

#include <cmath>

CXYZ::CXYZ() : m_x(0.0), m_y(0.0), m_z(0.0), m_nAttr{0, 0, 0, 0, 0} {}

CXYZ::CXYZ(double x, double y, double z)
    : m_x(x), m_y(y), m_z(z), m_nAttr{0, 0, 0, 0, 0} {}

CXYZ::CXYZ(const char* name, double x, double y, double z)
    : m_strName(name), m_x(x), m_y(y), m_z(z), m_nAttr{0, 0, 0, 0, 0} {}

CXYZ::CXYZ(const CXYZ& o)
    : m_strAux(o.m_strAux),
      m_strName(o.m_strName),
      m_x(o.m_x),
      m_y(o.m_y),
      m_z(o.m_z) {
  for (int i = 0; i < 5; ++i) m_nAttr[i] = o.m_nAttr[i];
}

CXYZ& CXYZ::operator=(const CXYZ& o) {
  if (this == &o) return *this;
  m_strAux = o.m_strAux;
  m_strName = o.m_strName;
  m_x = o.m_x;
  m_y = o.m_y;
  m_z = o.m_z;
  for (int i = 0; i < 5; ++i) m_nAttr[i] = o.m_nAttr[i];
  return *this;
}

CXYZ::~CXYZ() = default;

void CXYZ::Init() { *this = CXYZ(); }

void CXYZ::SetXYZ(double x, double y, double z) {
  m_x = x;
  m_y = y;
  m_z = z;
}

double CXYZ::Len() const {
  return std::sqrt(m_x * m_x + m_y * m_y + m_z * m_z);
}

double CXYZ::Len(const CXYZ& q) const {
  const double dx = q.m_x - m_x;
  const double dy = q.m_y - m_y;
  const double dz = q.m_z - m_z;
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

double CXYZ::Inn(const CXYZ& q) const {
  return m_x * q.m_x + m_y * q.m_y + m_z * q.m_z;
}

CXYZ CXYZ::Out(const CXYZ& q) const {
  return CXYZ(m_y * q.m_z - m_z * q.m_y,
              m_z * q.m_x - m_x * q.m_z,
              m_x * q.m_y - m_y * q.m_x);
}

int CXYZ::EQ(const CXYZ& q, double d) const { return Len(q) <= d ? 1 : 0; }

CXYZ CXYZ::operator+() const { return *this; }

CXYZ CXYZ::operator-() const {
  CXYZ r(*this);
  r.m_x = -m_x;
  r.m_y = -m_y;
  r.m_z = -m_z;
  return r;
}

CXYZ CXYZ::operator+(const CXYZ& q) const {
  CXYZ r(*this);
  r.m_x = m_x + q.m_x;
  r.m_y = m_y + q.m_y;
  r.m_z = m_z + q.m_z;
  return r;
}

CXYZ CXYZ::operator-(const CXYZ& q) const {
  CXYZ r(*this);
  r.m_x = m_x - q.m_x;
  r.m_y = m_y - q.m_y;
  r.m_z = m_z - q.m_z;
  return r;
}

CXYZ CXYZ::operator*(const CXYZ& q) const {
  CXYZ r(*this);
  r.m_x = m_x * q.m_x;
  r.m_y = m_y * q.m_y;
  r.m_z = m_z * q.m_z;
  return r;
}

CXYZ CXYZ::operator*(double d) const {
  CXYZ r(*this);
  r.m_x = m_x * d;
  r.m_y = m_y * d;
  r.m_z = m_z * d;
  return r;
}

// The divisor tests are "!= 0.0" on purpose: a NaN divisor passes them.
CXYZ CXYZ::operator/(const CXYZ& q) const {
  CXYZ r;
  if (q.m_x != 0.0) r.m_x = m_x / q.m_x;
  if (q.m_y != 0.0) r.m_y = m_y / q.m_y;
  if (q.m_z != 0.0) r.m_z = m_z / q.m_z;
  return r;
}

CXYZ CXYZ::operator/(double d) const {
  CXYZ r;
  if (d != 0.0) {
    const double inv = 1.0 / d;
    r.m_x = m_x * inv;
    r.m_y = m_y * inv;
    r.m_z = m_z * inv;
  }
  return r;
}

void CXYZ::operator+=(const CXYZ& q) {
  m_x += q.m_x;
  m_y += q.m_y;
  m_z += q.m_z;
}

void CXYZ::operator-=(const CXYZ& q) {
  m_x -= q.m_x;
  m_y -= q.m_y;
  m_z -= q.m_z;
}

void CXYZ::operator*=(const CXYZ& q) {
  m_x *= q.m_x;
  m_y *= q.m_y;
  m_z *= q.m_z;
}

void CXYZ::operator*=(double d) {
  m_x *= d;
  m_y *= d;
  m_z *= d;
}

void CXYZ::operator/=(const CXYZ& q) {
  if (q.m_x != 0.0) m_x /= q.m_x;
  if (q.m_y != 0.0) m_y /= q.m_y;
  if (q.m_z != 0.0) m_z /= q.m_z;
}

void CXYZ::operator/=(double d) {
  if (d != 0.0) {
    const double inv = 1.0 / d;
    m_x *= inv;
    m_y *= inv;
    m_z *= inv;
  }
}

void CXYZ::Trace() {}
