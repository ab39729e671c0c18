#include <collinear/primitives/xyz.h>

#include <cmath>
#include <functional>

#include <gtest/gtest.h>

namespace {

// A point with every field set, to see which ones an operation carries.
CXYZ Tagged(const char* name, double x, double y, double z) {
  CXYZ p(name, x, y, z);
  p.m_strAux = "aux";
  for (int i = 0; i < 5; ++i) p.m_nAttr[i] = 10 + i;
  return p;
}

// p after op (applied to a copy of p).
CXYZ After(CXYZ p, const std::function<void(CXYZ&)>& op) {
  op(p);
  return p;
}

bool Same(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

}  // namespace

// Every operation on points: its coordinates (NaN matching NaN), and whether
// it keeps the name, text and attribute words of the left operand or starts
// from an unnamed point. Value operators keep them, except the divisions;
// in-place operators keep them all. A divisor component of exactly 0 (also
// -0) gives 0 in a division and leaves the coordinate alone in place; a NaN
// divisor divides. Scalar division multiplies by the reciprocal, which
// callers reproduce to the last bit (5 / 3 and 5 * (1 / 3) differ).
TEST(CXYZ, OperationsAndMeasures) {
  const CXYZ p = Tagged("P", 6, 8, 9), q(2, -4, 0.5), zero(2, 0, -0.0);
  const CXYZ five(5, 7, 10), nan_x(NAN, 2, 0);
  const double t = 1.0 / 3.0, n = NAN;
  const struct {
    const char* op;
    CXYZ result;
    double xyz[3];
    bool tagged;
  } cases[] = {
      {"copy", CXYZ(p), {6, 8, 9}, true},
      {"=", After(five, [&](CXYZ& r) { r = p; }), {6, 8, 9}, true},
      {"SetXYZ", After(p, [](CXYZ& r) { r.SetXYZ(1, 2, 3); }), {1, 2, 3}, true},
      {"Init", After(p, [](CXYZ& r) { r.Init(); }), {0, 0, 0}, false},
      {"Out", p.Out(CXYZ(-2, 0.5, 4)), {27.5, -42, 19}, false},
      {"+p", +p, {6, 8, 9}, true},
      {"-p", -p, {-6, -8, -9}, true},
      {"p+q", p + q, {8, 4, 9.5}, true},
      {"p-q", p - q, {4, 12, 8.5}, true},
      {"p*q", p * q, {12, -32, 4.5}, true},
      {"p*d", p * -2.0, {-12, -16, -18}, true},
      {"p/q", p / q, {3, -2, 18}, false},
      {"p/d", p / 4.0, {1.5, 2, 2.25}, false},
      {"p/0", p / 0.0, {0, 0, 0}, false},
      {"p/zero", p / zero, {3, 0, 0}, false},
      {"p/nan", p / nan_x, {n, 4, 0}, false},
      {"5/3", five / 3.0, {5 * t, 7 * t, 10 * t}, false},
      {"+=", After(p, [&](CXYZ& r) { r += q; }), {8, 4, 9.5}, true},
      {"-=", After(p, [&](CXYZ& r) { r -= q; }), {4, 12, 8.5}, true},
      {"*=q", After(p, [&](CXYZ& r) { r *= q; }), {12, -32, 4.5}, true},
      {"*=d", After(p, [](CXYZ& r) { r *= -2.0; }), {-12, -16, -18}, true},
      {"/=q", After(p, [&](CXYZ& r) { r /= q; }), {3, -2, 18}, true},
      {"/=d", After(p, [](CXYZ& r) { r /= 4.0; }), {1.5, 2, 2.25}, true},
      {"/=0", After(p, [](CXYZ& r) { r /= 0.0; }), {6, 8, 9}, true},
      {"/=zero", After(p, [&](CXYZ& r) { r /= zero; }), {3, 8, 9}, true},
      {"/=nan", After(p, [&](CXYZ& r) { r /= nan_x; }), {n, 4, 9}, true},
      {"5/=3",
       After(five, [](CXYZ& r) { r /= 3.0; }),
       {5 * t, 7 * t, 10 * t},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.op);
    const double got[3] = {c.result.m_x, c.result.m_y, c.result.m_z};
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(Same(got[i], c.xyz[i])) << i;
    EXPECT_EQ(c.result.m_strName, c.tagged ? "P" : "");
    EXPECT_EQ(c.result.m_strAux, c.tagged ? "aux" : "");
    for (int i = 0; i < 5; ++i)
      EXPECT_EQ(c.result.m_nAttr[i], c.tagged ? 10 + i : 0);
  }
  EXPECT_DOUBLE_EQ(CXYZ(3, 4, 12).Len(), 13.0);
  EXPECT_DOUBLE_EQ(CXYZ(1, 1, 1).Len(CXYZ(4, 5, 13)), 13.0);
  EXPECT_DOUBLE_EQ(CXYZ(1, 2, 3).Inn(CXYZ(-4, 5, 0.5)), 7.5);
  // Within the distance, boundary included, names not compared; a NaN
  // distance or tolerance is never equal.
  const CXYZ o("A", 0, 0, 0), b("B", 3, 4, 0);  // distance exactly 5
  EXPECT_EQ(o.EQ(b, 5.0), 1);
  EXPECT_EQ(o.EQ(b, std::nextafter(5.0, 0.0)), 0);
  EXPECT_EQ(o.EQ(CXYZ(NAN, 0, 0), 1e300), 0);
  EXPECT_EQ(o.EQ(b, NAN), 0);
}
