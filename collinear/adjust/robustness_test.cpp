// Hostile input to TAdjImage: non-finite ray points and sigmas. A position
// reported valid must be finite; NaN anywhere in the rays that take part
// makes the position invalid instead.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include <collinear/adjust/adj_image.h>

namespace {

using P2 = TAbstractPoint2<double>;
using P3 = TAbstractPoint3<double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Three rays crossing at (5, 5, 0) with one of their 24 values (18
// coordinates, then 6 sigmas) replaced by bad.
TAdjImage ThreeRays(int k, double bad, P3 (&points)[6], P2 (&sigmas)[3]) {
  const P3 clean[6] = {P3(0, 0, 0),
                       P3(1, 1, 0),
                       P3(10, 0, 0),
                       P3(9, 1, 0),
                       P3(5, 10, 0),
                       P3(5, 9, 0)};
  for (int i = 0; i < 6; ++i) points[i] = clean[i];
  for (int i = 0; i < 3; ++i) sigmas[i] = P2(1e-3, 1e-3);
  if (k < 18)
    points[k / 3][k % 3] = bad;
  else
    sigmas[(k - 18) / 2][(k - 18) % 2] = bad;
  return TAdjImage(3, points, sigmas);
}

TEST(TAdjImageRobustness, NaNInvalidatesUnlessItsRayIsIgnored) {
  for (int k = 0; k < 24; ++k) {
    SCOPED_TRACE(k);
    P3 points[6];
    P2 sigmas[3];
    const TAdjImage adj = ThreeRays(k, kNaN, points, sigmas);
    // Ray 2 has the station farthest from ray 0's and starts the position
    // with it. A NaN in ray 1 leaves that ray without a direction, and a
    // NaN station of ray 2 keeps it from being the partner: either ray is
    // then ignored and the other two fix the position. A NaN in ray 0 or
    // in the partner's second point spoils the start; a NaN sigma poisons
    // the normal matrix.
    const bool ignored = k >= 6 && k < 15;
    EXPECT_EQ(adj.IsValid(), ignored);
    if (ignored) {
      EXPECT_NEAR(adj.GetPosition().x, 5.0, 1e-9);
      EXPECT_NEAR(adj.GetPosition().y, 5.0, 1e-9);
    }
  }
}

TEST(TAdjImageRobustness, InfiniteValuesNeverGiveANaNPosition) {
  for (double bad : {kInf, -kInf, 1e300}) {
    for (int k = 0; k < 24; ++k) {
      SCOPED_TRACE(testing::Message() << bad << " at " << k);
      P3 points[6];
      P2 sigmas[3];
      const TAdjImage adj = ThreeRays(k, bad, points, sigmas);
      if (!adj.IsValid()) continue;
      const P3 p = adj.GetPosition();
      EXPECT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) &&
                  std::isfinite(p.z));
      const covar c = adj.GetCovarMatrix();
      for (int e = 0; e < 6; ++e) EXPECT_TRUE(std::isfinite(c[e]));
    }
  }
}

}  // namespace
