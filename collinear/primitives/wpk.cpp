// Rotation angle triple and the angle wrapping and difference rules.
#include <collinear/primitives/wpk.h>

#include <cmath>

#include <collinear/primitives/constants.h>

using collinear::kTwoPi;

CWPK::CWPK() : m_w(0.0), m_p(0.0), m_k(0.0) {}

CWPK::CWPK(double w, double p, double k) : m_w(w), m_p(p), m_k(k) {}

CWPK::CWPK(const CWPK& o) = default;

CWPK& CWPK::operator=(const CWPK& o) {
  if (this == &o) return *this;
  m_w = o.m_w;
  m_p = o.m_p;
  m_k = o.m_k;
  return *this;
}

void CWPK::Init() { m_w = m_p = m_k = 0.0; }

void CWPK::SetWPK(double w, double p, double k) {
  m_w = w;
  m_p = p;
  m_k = k;
}

// fmod keeps the sign of a, so r lies in [0, 2 pi) or (-2 pi, 0]; the other
// representative one turn away wins only when strictly shorter, which keeps
// the sign at the +-pi tie.
void CWPK::NormalizeAngle(double& a) {
  double r, alt;
  if (a >= 0) {
    r = std::fmod(a, kTwoPi);
    alt = r - kTwoPi;
  } else {
    r = std::fmod(a, -kTwoPi);
    alt = r + kTwoPi;
  }
  a = std::fabs(alt) < std::fabs(r) ? alt : r;
}

void CWPK::Normalize() {
  NormalizeAngle(m_w);
  NormalizeAngle(m_p);
  NormalizeAngle(m_k);
}

double CWPK::SubtractAngle(double a, double b) {
  NormalizeAngle(a);
  NormalizeAngle(b);
  const double d = a - b;
  const double e = kTwoPi - d;
  return e * e < d * d ? e : d;
}

CWPK CWPK::Subtract(CWPK& o) {
  return CWPK(SubtractAngle(o.m_w, m_w),
              SubtractAngle(o.m_p, m_p),
              SubtractAngle(o.m_k, m_k));
}

CWPK CWPK::operator+() const { return *this; }

CWPK CWPK::operator-() const { return CWPK(-m_w, -m_p, -m_k); }

CWPK CWPK::operator+(const CWPK& o) const {
  CWPK r(m_w + o.m_w, m_p + o.m_p, m_k + o.m_k);
  r.Normalize();
  return r;
}

CWPK CWPK::operator-(const CWPK& o) const {
  CWPK r(m_w - o.m_w, m_p - o.m_p, m_k - o.m_k);
  r.Normalize();
  return r;
}

void CWPK::operator+=(const CWPK& o) {
  m_w += o.m_w;
  m_p += o.m_p;
  m_k += o.m_k;
  Normalize();
}

void CWPK::operator-=(const CWPK& o) {
  m_w -= o.m_w;
  m_p -= o.m_p;
  m_k -= o.m_k;
  Normalize();
}

void CWPK::Trace() {}
