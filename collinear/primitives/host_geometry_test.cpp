#include <collinear/primitives/host_geometry.h>

#include <cmath>
#include <random>

#include <gtest/gtest.h>

using Point3 = TAbstractPoint3<double>;

// Column by column: (1, 2) is element 3 * 2 + 1; the transpose, the identity
// and the products take the left operand first (a turns x into 2 y and y
// into -x, b doubles x). DefTriad() is undefined in every coordinate.
TEST(Matr33, StorageTransposeProductsAndUndefinedTriad) {
  matr3_3 a, b = matr3_3::Identity();
  a(1, 2) = 5.0;
  EXPECT_EQ(a.data()[7], 5.0);
  EXPECT_EQ(matr3_3(a, 't')(2, 1), 5.0);
  EXPECT_EQ(matr3_3(a, 'c')(2, 1), 0.0);
  a(1, 2) = 0.0;
  a(0, 1) = -1;
  a(1, 0) = a(2, 2) = b(0, 0) = 2;
  EXPECT_EQ((a * b) * Point3(1, 0, 0), Point3(0, 4, 0));
  EXPECT_EQ((b * a) * Point3(0, 1, 0), Point3(-2, 0, 0));
  const Point3 p = DefTriad();
  EXPECT_TRUE(collinear::IsUndefined(p.x) && collinear::IsUndefined(p.z));
  EXPECT_TRUE(DefTriad::IsPartialUndef(p));
  EXPECT_FALSE(DefTriad::IsPartialUndef(Point3(1, 2, 3)));
  EXPECT_TRUE(DefTriad::IsPartialUndef(Point3(1, collinear::kUndefined, 3)));
}

// Packed (0,0), (1,0), (1,1), (2,0), (2,1), (2,2). The inverse times the
// matrix is the identity, for random symmetric matrices and for one near the
// singularity threshold (v v^T + 1e-6 I: |det| about 2e-14 of the cube of
// the largest element); a singular or non-finite matrix is refused and left
// unchanged.
TEST(Covar, PackedOrderProductAndInverse) {
  covar c;
  for (int k = 0; k < 6; ++k) c[k] = k + 1.0;
  EXPECT_EQ(c(0, 1), 2.0);
  EXPECT_EQ(c(2, 0), 4.0);
  EXPECT_EQ(c * Point3(1, 1, 1), Point3(1 + 2 + 4, 2 + 3 + 5, 4 + 5 + 6));
  const double near_singular[6] = {1 + 1e-6, 2, 4 + 1e-6, 3, 6, 9 + 1e-6};
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-100.0, 100.0);
  for (int trial = 0; trial <= 100; ++trial) {
    for (int k = 0; k < 6; ++k) c[k] = trial < 100 ? u(rng) : near_singular[k];
    covar inv = c;
    ASSERT_EQ(InvertSMatr3(inv), 0);
    // condition * eps; the cofactor inverse loses 5e-4 near the threshold
    const double kTolRel = trial < 100 ? 1e-9 : 2e-3;
    for (int j = 0; j < 3; ++j) {
      const Point3 col = c * Point3(inv(0, j), inv(1, j), inv(2, j));
      EXPECT_NEAR((col - Point3(j == 0, j == 1, j == 2)).Module(), 0, kTolRel);
    }
  }
  for (const double bad : {0.0, std::nan(""), HUGE_VAL}) {
    covar m;
    m[0] = m[2] = 1.0;
    m[5] = bad;
    EXPECT_EQ(InvertSMatr3(m), -1) << bad;
    EXPECT_TRUE(m[0] == 1.0 && m[1] == 0.0 && m[2] == 1.0) << bad;
  }
}
