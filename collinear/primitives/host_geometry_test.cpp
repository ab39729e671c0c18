#include <collinear/primitives/host_geometry.h>

#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

TEST(Matr33, StoredColumnByColumn) {
  matr3_3 m;
  m(1, 2) = 5.0;  // row 1, column 2 -> position 3 * 2 + 1
  EXPECT_EQ(m.data()[7], 5.0);
  matr3_3 t(m, 't');
  EXPECT_EQ(t(2, 1), 5.0);
  EXPECT_EQ(t(1, 2), 0.0);
}

TEST(Matr33, ProductsLeftOperandFirst) {
  matr3_3 a, b;
  // a: rotation by 90 degrees about z; b: scale x by 2.
  a(0, 1) = -1;
  a(1, 0) = 1;
  a(2, 2) = 1;
  b(0, 0) = 2;
  b(1, 1) = 1;
  b(2, 2) = 1;
  const TAbstractPoint3<double> v(1, 0, 0);
  const TAbstractPoint3<double> ab = (a * b) * v;  // scale, then rotate
  EXPECT_EQ(ab, TAbstractPoint3<double>(0, 2, 0));
  const TAbstractPoint3<double> ba = (b * a) * v;  // rotate, then scale
  EXPECT_EQ(ba, TAbstractPoint3<double>(0, 1, 0));
}

TEST(Covar, PackedOrderAndProduct) {
  covar c;
  for (int k = 0; k < 6; ++k) c[k] = k + 1.0;  // (0,0)=1 (1,0)=2 (1,1)=3 ...
  EXPECT_EQ(c(0, 1), 2.0);
  EXPECT_EQ(c(2, 0), 4.0);
  EXPECT_EQ(c(1, 2), 5.0);
  const TAbstractPoint3<double> r = c * TAbstractPoint3<double>(1, 1, 1);
  EXPECT_EQ(r, TAbstractPoint3<double>(1 + 2 + 4, 2 + 3 + 5, 4 + 5 + 6));
}

TEST(InvertSMatr3, InverseTimesMatrixIsIdentity) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int trial = 0; trial < 200; ++trial) {
    // A^T A + I is symmetric positive definite.
    double a[3][3];
    for (auto& row : a)
      for (double& v : row) v = u(rng) * 100.0;
    covar c;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j <= i; ++j) {
        double s = (i == j) ? 1.0 : 0.0;
        for (int k = 0; k < 3; ++k) s += a[k][i] * a[k][j];
        c[i * (i + 1) / 2 + j] = s;
      }
    covar inv = c;
    ASSERT_EQ(InvertSMatr3(inv), 0);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        double s = 0;
        for (int k = 0; k < 3; ++k) s += c(i, k) * inv(k, j);
        EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-9);
      }
  }
}

TEST(InvertSMatr3, RefusesSingularAndNonFinite) {
  covar singular;  // rank 1: v v^T with v = (1, 2, 3)
  const double v[3] = {1, 2, 3};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j <= i; ++j) singular[i * (i + 1) / 2 + j] = v[i] * v[j];
  covar kept = singular;
  EXPECT_LT(InvertSMatr3(singular), 0);
  for (int k = 0; k < 6; ++k) EXPECT_EQ(singular[k], kept[k]);

  covar zero;
  EXPECT_LT(InvertSMatr3(zero), 0);

  covar nan;
  nan[0] = nan[2] = nan[5] = 1.0;
  nan[4] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_LT(InvertSMatr3(nan), 0);
  covar inf;
  inf[0] = std::numeric_limits<double>::infinity();
  inf[2] = inf[5] = 1.0;
  EXPECT_LT(InvertSMatr3(inf), 0);
}

TEST(DefTriad, MarksEveryCoordinateUndefined) {
  TAbstractPoint3<double> p = DefTriad();
  EXPECT_TRUE(collinear::IsUndefined(p.x));
  EXPECT_TRUE(collinear::IsUndefined(p.z));
  EXPECT_TRUE(DefTriad::IsPartialUndef(p));
  EXPECT_FALSE(DefTriad::IsPartialUndef(TAbstractPoint3<double>(1, 2, 3)));
  EXPECT_TRUE(DefTriad::IsPartialUndef(
      TAbstractPoint3<double>(1, std::numeric_limits<double>::max(), 3)));
  EXPECT_EQ(std::numeric_limits<double>::max(), collinear::kUndefined);
}

TEST(TAbstractPoint3, DotModuleAndArithmetic) {
  TAbstractPoint3<double> p(3, 4, 12), q(1.0);
  EXPECT_DOUBLE_EQ(p.Module(), 13.0);
  EXPECT_DOUBLE_EQ(p * q, 19.0);
  p -= q;
  EXPECT_EQ(p, TAbstractPoint3<double>(2, 3, 11));
  p /= 2.0;
  EXPECT_EQ(p[2], 5.5);
  TAbstractPoint<double, 2> a(6, 8), b(2, 4);
  a *= b;
  EXPECT_EQ(a, TAbstractPoint2<double>(12, 32));
  EXPECT_EQ(a / b, TAbstractPoint2<double>(6, 8));
}
