#include <collinear/primitives/wpk.h>

#include <cmath>

#include <gtest/gtest.h>

#include <collinear/primitives/constants.h>

using collinear::kPi;
using collinear::kTwoPi;

namespace {

void ExpectAngles(const CWPK& a, double w, double p, double k) {
  EXPECT_DOUBLE_EQ(a.m_w, w);
  EXPECT_DOUBLE_EQ(a.m_p, p);
  EXPECT_DOUBLE_EQ(a.m_k, k);
}

}  // namespace

// Whole turns off, into [-pi, pi]: a value that wraps to exactly +-pi keeps
// its sign, an exact turn gives a zero of the input's sign (fmod), NaN stays.
TEST(CWPK, NormalizeDifferencesAndOperators) {
  const double cases[][2] = {{-1.0, -1.0},
                             {4.0, 4 - kTwoPi},
                             {-3.5 * kPi, kPi / 2},
                             {3 * kPi, kPi},
                             {-3 * kPi, -kPi},
                             {kTwoPi, 0.0},
                             {-kTwoPi, -0.0}};
  for (const auto& c : cases) {
    double a = c[0];
    CWPK::NormalizeAngle(a);
    EXPECT_NEAR(a, c[1], 4e-16 * kPi) << c[0];  // a few ulp
    EXPECT_EQ(std::signbit(a), std::signbit(c[1])) << c[0];
  }
  CWPK big(10, -10, NAN);
  big.Normalize();
  EXPECT_DOUBLE_EQ(big.m_w, 10 - 2 * kTwoPi);
  EXPECT_DOUBLE_EQ(big.m_p, 2 * kTwoPi - 10);
  EXPECT_TRUE(std::isnan(big.m_k));
  // d = wrapped a - wrapped b; d above pi comes back as 2 pi - d, d below -pi
  // unchanged. Subtract takes the argument minus the object; the arithmetic
  // operators wrap every component, the negation none.
  const struct {
    double a, b, d;
  } diffs[] = {{0.75 * kPi, -0.75 * kPi, 0.5 * kPi},
               {-0.75 * kPi, 0.75 * kPi, -1.5 * kPi},
               {kPi, 0.0, kPi},
               {0.5, 2.0, -1.5},
               {kTwoPi + 1.0, 0.25, 0.75}};
  for (const auto& c : diffs)
    EXPECT_DOUBLE_EQ(CWPK::SubtractAngle(c.a, c.b), c.d) << c.a << " " << c.b;

  CWPK a(0.5 * kPi, 0.1, -0.2), b(-0.75 * kPi, 0.4, 0.3);
  ExpectAngles(a.Subtract(b), -1.25 * kPi, 0.3, 0.5);
  ExpectAngles(a - b, -0.75 * kPi, -0.3, -0.5);
  ExpectAngles(
      CWPK(3, -3, 0) + CWPK(1, -1, 4), 4 - kTwoPi, kTwoPi - 4, 4 - kTwoPi);
  ExpectAngles(-CWPK(4, -5, 6), -4, 5, -6);
  ExpectAngles(+CWPK(4, -5, 6), 4, -5, 6);
  a += CWPK(kPi, 7, 0);
  ExpectAngles(a, -0.5 * kPi, 7.1 - kTwoPi, -0.2);
  a -= CWPK(0, 1, 4);
  ExpectAngles(a, -0.5 * kPi, 6.1 - kTwoPi, kTwoPi - 4.2);
}
