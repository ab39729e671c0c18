#include <collinear/primitives/wpk.h>

#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include <collinear/primitives/constants.h>

using collinear::kPi;
using collinear::kTwoPi;

namespace {

double Wrapped(double a) {
  CWPK::NormalizeAngle(a);
  return a;
}

}  // namespace

TEST(CWPK, ConstructionStoresAnglesUnwrapped) {
  const CWPK a(7.0, -8.0, 100.0);
  EXPECT_EQ(a.m_w, 7.0);
  EXPECT_EQ(a.m_p, -8.0);
  EXPECT_EQ(a.m_k, 100.0);
  CWPK b;
  EXPECT_EQ(b.m_w, 0.0);
  b.SetWPK(9, 10, 11);
  EXPECT_EQ(b.m_k, 11.0);
  CWPK& self = b;
  b = self;
  EXPECT_EQ(b.m_w, 9.0);
  b = a;
  EXPECT_EQ(b.m_p, -8.0);
  b.Init();
  EXPECT_EQ(b.m_w + b.m_p + b.m_k, 0.0);
}

TEST(CWPK, NormalizeAngleTiesAndTurns) {
  struct Case {
    const char* in_text;
    double in, out;
  };
  const Case cases[] = {
      {"0", 0.0, 0.0},
      {"1", 1.0, 1.0},
      {"-1", -1.0, -1.0},
      {"pi", kPi, kPi},
      {"-pi", -kPi, -kPi},
      {"3pi", 3 * kPi, kPi},
      {"-3pi", -3 * kPi, -kPi},
      {"5pi", 5 * kPi, kPi},
      {"7pi/2", 3.5 * kPi, -0.5 * kPi},
      {"-7pi/2", -3.5 * kPi, 0.5 * kPi},
      {"4", 4.0, 4.0 - kTwoPi},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in_text);
    EXPECT_DOUBLE_EQ(Wrapped(c.in), c.out);
    EXPECT_EQ(std::signbit(Wrapped(c.in)), std::signbit(c.out));
  }
  // Exact turns: fmod keeps the sign of its first argument.
  EXPECT_EQ(Wrapped(kTwoPi), 0.0);
  EXPECT_FALSE(std::signbit(Wrapped(kTwoPi)));
  EXPECT_EQ(Wrapped(-kTwoPi), 0.0);
  EXPECT_TRUE(std::signbit(Wrapped(-kTwoPi)));
  EXPECT_TRUE(std::isnan(Wrapped(std::numeric_limits<double>::quiet_NaN())));
}

TEST(CWPK, NormalizeAngleRandomStaysOnCircle) {
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<double> angle(-1000.0, 1000.0);
  const double kTolRad = 1e-12;  // fmod is exact; the turn count is not
  for (int i = 0; i < 2000; ++i) {
    const double a = angle(rng);
    const double w = Wrapped(a);
    ASSERT_LE(std::fabs(w), kPi);
    EXPECT_NEAR(std::sin(w), std::sin(a), kTolRad);
    EXPECT_NEAR(std::cos(w), std::cos(a), kTolRad);
    EXPECT_EQ(Wrapped(w), w);  // idempotent
  }
}

TEST(CWPK, SubtractAngleIsAsymmetric) {
  struct Case {
    const char* text;
    double a, b, out;
  };
  const Case cases[] = {
      // d = 3pi/2 above pi comes back as 2pi - d.
      {"3pi/4 - (-3pi/4)", 0.75 * kPi, -0.75 * kPi, 0.5 * kPi},
      // d = -3pi/2 below -pi is not wrapped.
      {"-3pi/4 - 3pi/4", -0.75 * kPi, 0.75 * kPi, -1.5 * kPi},
      {"d = pi kept", kPi, 0.0, kPi},
      {"d = -pi kept", 0.0, kPi, -kPi},
      {"inside", 0.5, 2.0, -1.5},
      // The operands are wrapped first: 2pi + 1 acts as 1.
      {"wrapped operands", kTwoPi + 1.0, 0.25, 0.75},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_DOUBLE_EQ(CWPK::SubtractAngle(c.a, c.b), c.out);
  }
}

TEST(CWPK, SubtractTakesArgumentMinusObject) {
  CWPK a(0.5 * kPi, 0.1, -0.2);
  CWPK b(-0.75 * kPi, 0.4, 0.3);
  const CWPK d = a.Subtract(b);
  EXPECT_DOUBLE_EQ(d.m_w, CWPK::SubtractAngle(-0.75 * kPi, 0.5 * kPi));
  EXPECT_DOUBLE_EQ(d.m_w, -1.25 * kPi);  // below -pi: left as it is
  EXPECT_DOUBLE_EQ(d.m_p, 0.3);
  EXPECT_DOUBLE_EQ(d.m_k, 0.5);
  EXPECT_EQ(a.m_w, 0.5 * kPi);  // neither operand changes
  EXPECT_EQ(b.m_w, -0.75 * kPi);

  // The plain operator subtracts the other way round and wraps.
  const CWPK m = a - b;
  EXPECT_DOUBLE_EQ(m.m_w, -0.75 * kPi);  // 5pi/4 wrapped
  EXPECT_DOUBLE_EQ(m.m_p, -0.3);
}

TEST(CWPK, ArithmeticOperatorsWrapExceptNegation) {
  const CWPK s = CWPK(3, 0, 0) + CWPK(1, 0, 0);
  EXPECT_DOUBLE_EQ(s.m_w, 4 - kTwoPi);
  const CWPK n = -CWPK(4, -5, 6);
  EXPECT_EQ(n.m_w, -4.0);
  EXPECT_EQ(n.m_p, 5.0);
  EXPECT_EQ(n.m_k, -6.0);
  const CWPK p = +CWPK(4, -5, 6);
  EXPECT_EQ(p.m_k, 6.0);

  CWPK c(3, -3, 0.5);
  c += CWPK(1, -1, 0.25);
  EXPECT_DOUBLE_EQ(c.m_w, 4 - kTwoPi);
  EXPECT_DOUBLE_EQ(c.m_p, kTwoPi - 4);
  EXPECT_DOUBLE_EQ(c.m_k, 0.75);
  c -= CWPK(4 - kTwoPi, 0, 4);
  EXPECT_NEAR(c.m_w, 0.0, 1e-15);
  EXPECT_DOUBLE_EQ(c.m_k, 0.75 - 4 + kTwoPi);

  CWPK big(10, -10, 3 * kPi);
  big.Normalize();
  EXPECT_DOUBLE_EQ(big.m_w, 10 - 2 * kTwoPi);
  EXPECT_DOUBLE_EQ(big.m_p, -10 + 2 * kTwoPi);
  EXPECT_EQ(big.m_k, kPi);
}
