#include <collinear/primitives/xyz.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace {

// A point with every field set, to see which ones an operator carries.
CXYZ Tagged(const char* name, double x, double y, double z) {
  CXYZ p(name, x, y, z);
  p.m_strAux = "aux";
  for (int i = 0; i < 5; ++i) p.m_nAttr[i] = 10 + i;
  return p;
}

void ExpectCoords(const CXYZ& p, double x, double y, double z) {
  EXPECT_EQ(p.m_x, x);
  EXPECT_EQ(p.m_y, y);
  EXPECT_EQ(p.m_z, z);
}

void ExpectTagsOf(const CXYZ& p, const CXYZ& src) {
  EXPECT_EQ(p.m_strName, src.m_strName);
  EXPECT_EQ(p.m_strAux, src.m_strAux);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(p.m_nAttr[i], src.m_nAttr[i]);
}

void ExpectNoTags(const CXYZ& p) {
  EXPECT_TRUE(p.m_strName.IsEmpty());
  EXPECT_TRUE(p.m_strAux.IsEmpty());
  for (int i = 0; i < 5; ++i) EXPECT_EQ(p.m_nAttr[i], 0);
}

}  // namespace

TEST(CXYZ, ConstructorsInitAndCopy) {
  ExpectCoords(CXYZ(), 0, 0, 0);
  ExpectNoTags(CXYZ());
  ExpectNoTags(CXYZ(1, 2, 3));
  const CXYZ named("P7", 1, 2, 3);
  EXPECT_EQ(named.m_strName, "P7");
  EXPECT_TRUE(named.m_strAux.IsEmpty());

  const CXYZ src = Tagged("A", 4, 5, 6);
  CXYZ copy(src);
  ExpectTagsOf(copy, src);
  ExpectCoords(copy, 4, 5, 6);
  CXYZ assigned;
  assigned = src;
  ExpectTagsOf(assigned, src);
  ExpectCoords(assigned, 4, 5, 6);

  CXYZ& self = assigned;
  assigned = self;
  ExpectTagsOf(assigned, src);
  ExpectCoords(assigned, 4, 5, 6);

  assigned.SetXYZ(7, 8, 9);
  ExpectTagsOf(assigned, src);
  ExpectCoords(assigned, 7, 8, 9);
  assigned.Init();
  ExpectNoTags(assigned);
  ExpectCoords(assigned, 0, 0, 0);
}

TEST(CXYZ, Measures) {
  EXPECT_DOUBLE_EQ(CXYZ(3, 4, 12).Len(), 13.0);
  EXPECT_DOUBLE_EQ(CXYZ(1, 1, 1).Len(CXYZ(4, 5, 13)), 13.0);
  EXPECT_DOUBLE_EQ(CXYZ(1, 2, 3).Inn(CXYZ(-4, 5, 0.5)), 7.5);

  const CXYZ z = Tagged("X", 1, 0, 0).Out(Tagged("Y", 0, 1, 0));
  ExpectCoords(z, 0, 0, 1);
  ExpectNoTags(z);
  // Anti-commutative and orthogonal to both factors.
  const CXYZ a(1, 2, 3), b(-2, 0.5, 4);
  const CXYZ ab = a.Out(b), ba = b.Out(a);
  ExpectCoords(ab, -ba.m_x, -ba.m_y, -ba.m_z);
  EXPECT_EQ(ab.Inn(a), 0.0);
  EXPECT_EQ(ab.Inn(b), 0.0);
}

TEST(CXYZ, EqualityWithinToleranceIgnoresNames) {
  EXPECT_EQ(CXYZ("A", 1, 2, 3).EQ(CXYZ("B", 1, 2, 3), 0.0), 1);
  const CXYZ o(0, 0, 0), p(3, 4, 0);  // distance exactly 5
  EXPECT_EQ(o.EQ(p, 5.0), 1);
  EXPECT_EQ(o.EQ(p, std::nextafter(5.0, 0.0)), 0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(o.EQ(CXYZ(nan, 0, 0), 1e300), 0);
  EXPECT_EQ(o.EQ(p, nan), 0);
}

// Every value-returning operator: which of them keep the left operand's
// name, text and attribute words, and which start from an unnamed point.
TEST(CXYZ, BinaryOperatorsPropagateLeftNameExceptDivision) {
  const CXYZ p = Tagged("P", 6, 8, 9);
  const CXYZ q = Tagged("Q", 2, -4, 3);
  struct Case {
    const char* op;
    std::function<CXYZ()> eval;
    double x, y, z;
    bool left_copy;
  };
  const Case cases[] = {
      {"+p", [&] { return +p; }, 6, 8, 9, true},
      {"-p", [&] { return -p; }, -6, -8, -9, true},
      {"p+q", [&] { return p + q; }, 8, 4, 12, true},
      {"p-q", [&] { return p - q; }, 4, 12, 6, true},
      {"p*q", [&] { return p * q; }, 12, -32, 27, true},
      {"p*d", [&] { return p * 0.5; }, 3, 4, 4.5, true},
      {"p/q", [&] { return p / q; }, 3, -2, 3, false},
      {"p/d", [&] { return p / 2.0; }, 3, 4, 4.5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    const CXYZ r = c.eval();
    ExpectCoords(r, c.x, c.y, c.z);
    if (c.left_copy) {
      ExpectTagsOf(r, p);
    } else {
      ExpectNoTags(r);
    }
  }
}

TEST(CXYZ, SumTakesNameOfLeftOperandOnly) {
  const CXYZ named("P1", 1, 2, 3), unnamed(10, 20, 30);
  const CXYZ a = named + unnamed;
  EXPECT_EQ(a.m_strName, "P1");
  ExpectCoords(a, 11, 22, 33);
  const CXYZ b = unnamed + named;
  EXPECT_TRUE(b.m_strName.IsEmpty());
  ExpectCoords(b, 11, 22, 33);
}

TEST(CXYZ, CompoundOperatorsKeepNameAndAttributes) {
  const CXYZ q(2, -4, 0.5);
  struct Case {
    const char* op;
    std::function<void(CXYZ&)> apply;
    double x, y, z;
  };
  const Case cases[] = {
      {"+=", [&](CXYZ& p) { p += q; }, 8, 4, 9.5},
      {"-=", [&](CXYZ& p) { p -= q; }, 4, 12, 8.5},
      {"*=q", [&](CXYZ& p) { p *= q; }, 12, -32, 4.5},
      {"*=d", [&](CXYZ& p) { p *= -2.0; }, -12, -16, -18},
      {"/=q", [&](CXYZ& p) { p /= q; }, 3, -2, 18},
      {"/=d", [&](CXYZ& p) { p /= 4.0; }, 1.5, 2, 2.25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    const CXYZ before = Tagged("P", 6, 8, 9);
    CXYZ p = before;
    c.apply(p);
    ExpectCoords(p, c.x, c.y, c.z);
    ExpectTagsOf(p, before);
  }
}

TEST(CXYZ, ZeroDivisorComponents) {
  const CXYZ p("P1", 6, 8, 9), q(2, 0, 3);
  const CXYZ r = p / q;
  ExpectCoords(r, 3, 0, 3);  // zero divisor gives 0.0
  EXPECT_TRUE(r.m_strName.IsEmpty());
  CXYZ s = p;
  s /= q;
  ExpectCoords(s, 3, 8, 3);  // zero divisor leaves the coordinate
  EXPECT_EQ(s.m_strName, "P1");
  // Negative zero compares equal to zero, so it counts as zero too.
  ExpectCoords(p / CXYZ(-0.0, -0.0, -0.0), 0, 0, 0);
}

TEST(CXYZ, ZeroScalarDivisor) {
  const CXYZ p = Tagged("P", 6, 8, 9);
  const CXYZ r = p / 0.0;
  ExpectCoords(r, 0, 0, 0);
  ExpectNoTags(r);
  CXYZ s = p;
  s /= 0.0;
  ExpectCoords(s, 6, 8, 9);
  ExpectTagsOf(s, p);
}

TEST(CXYZ, NanDivisorDivides) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const CXYZ p(6, 8, 9);
  const CXYZ r = p / CXYZ(nan, 2, 0);
  EXPECT_TRUE(std::isnan(r.m_x));
  EXPECT_EQ(r.m_y, 4.0);
  EXPECT_EQ(r.m_z, 0.0);
  CXYZ s = p;
  s /= CXYZ(nan, 2, 0);
  EXPECT_TRUE(std::isnan(s.m_x));
  EXPECT_EQ(s.m_y, 4.0);
  EXPECT_EQ(s.m_z, 9.0);

  const CXYZ t = p / nan;
  EXPECT_TRUE(std::isnan(t.m_x) && std::isnan(t.m_y) && std::isnan(t.m_z));
  CXYZ u = p;
  u /= nan;
  EXPECT_TRUE(std::isnan(u.m_x) && std::isnan(u.m_y) && std::isnan(u.m_z));
}

// Scalar division multiplies by the reciprocal, which callers reproduce to
// the last bit: 5 / 3 and 5 * (1 / 3) differ by one unit in the last place.
TEST(CXYZ, ScalarDivisionUsesReciprocal) {
  const double inv3 = 1.0 / 3.0;
  ASSERT_NE(5.0 / 3.0, 5.0 * inv3);
  const CXYZ r = CXYZ(5, 7, 10) / 3.0;
  ExpectCoords(r, 5.0 * inv3, 7.0 * inv3, 10.0 * inv3);
  CXYZ s(5, 7, 10);
  s /= 3.0;
  ExpectCoords(s, 5.0 * inv3, 7.0 * inv3, 10.0 * inv3);
}
