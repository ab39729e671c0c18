#include <collinear/adjust/adj_image.h>

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace {

using P3 = TAbstractPoint3<double>;
using P2 = TAbstractPoint2<double>;

// Rays of one adjustment in the caller's layout, from rows of station A,
// point B and, unless 1e-3 rad both, sigma_h and sigma_v.
struct Rays {
  std::vector<P3> pts;
  std::vector<P2> sigmas;
  explicit Rays(const std::vector<std::vector<double>>& rays) {
    for (const std::vector<double>& r : rays) {
      pts.insert(pts.end(), {P3(r[0], r[1], r[2]), P3(r[3], r[4], r[5])});
      sigmas.push_back(r.size() > 6 ? P2(r[6], r[7]) : P2(1e-3, 1e-3));
    }
  }
  TAdjImage Run() {
    return {static_cast<int>(sigmas.size()), pts.data(), sigmas.data()};
  }
};

}  // namespace

TEST(TAdjImage, CrossingAndParallelRaysGiveTheClosedForms) {
  // Rays of length L = sqrt(50) crossing at (5, 5, 0) at right angles in
  // plan: each fixes its own transverse direction with variance
  // (L sigma_h)^2; both fix z, with weights 1 / (L sigma_v)^2.
  // clang-format off
  TAdjImage adj = Rays({{0, 0, 0, 1, 1, 0, 1e-3, 3e-3}, {10, 0, 0, 9, 1, 0, 2e-3, 4e-3}}).Run();
  // clang-format on
  ASSERT_TRUE(adj.IsValid());
  EXPECT_LT((adj.GetPosition() - P3(5, 5, 0)).Module(), 1e-14);
  const double v0 = 50 * 1e-6, v1 = 50 * 4e-6, z0 = 50 * 9e-6, z1 = 50 * 16e-6;
  const double expected[6] = {
      (v0 + v1) / 2, (v1 - v0) / 2, (v0 + v1) / 2, 0, 0, z0 * z1 / (z0 + z1)};
  for (int k = 0; k < 6; ++k)  // m^2, rounding of values near 1e-4
    EXPECT_NEAR(adj.GetCovarMatrix()[k], expected[k], 1e-17) << k;

  // Ray 0 fixes x at the start (0, 0, 0); rays 1 and 2 run along x from 20
  // and 10 away, ray 2 aimed 0.01 beside the start: y is the mean of the
  // two, weighted by 1 / (length sigma_h)^2.
  const double w1 = 1 / std::pow(20 * 1e-3, 2), w2 = 1 / std::pow(10 * 3e-3, 2);
  // clang-format off
  adj = Rays({{0, -10, 0, 0, -5, 0}, {-20, 0, 0, -10, 0, 0, 1e-3, 3e-3},
              {10, 0, 0, 0, 0.01, 0, 3e-3, 1e-3}}).Run();
  // clang-format on
  ASSERT_TRUE(adj.IsValid());
  const double y = 10 * std::atan(0.001) * w2 / (w1 + w2);
  EXPECT_LT((adj.GetPosition() - P3(0, y, 0)).Module(), 1e-12);
}

TEST(TAdjImage, NoisyRaysGiveThePinnedStep) {
  // Ray 0 and the farthest station (ray 2, tied with ray 3: the first one
  // wins) start at (0, 0, 10) exactly. Rays 1 and 3 are observed across the
  // azimuth seam from either side, ray 4 below the horizon; ray 5 stands at
  // the nadir of the start, ray 6 is shorter than 0.1 and ray 7 stands
  // within 0.1 of the start: the last three are ignored.
  // clang-format off
  Rays rays({{0, -40, 0, 0, -20, 5, 1e-3, 2e-3}, {-30, 0.2, 10, -15, 0.3, 10.4, 1.5e-3, 1e-3},
             {40, 0, 10, 20, 0, 10, 2e-3, 3e-3}, {-40, 0, 10, -20, -0.02, 9.9, 1e-3, 1.2e-3},
             {-25, -0.3, 15, -12, -0.1, 12.6, 3e-3, 2.5e-3},
             {0, 0, 0, 0.3, -0.2, 1}, {5, 5, 8, 5.05, 5.02, 8.01}, {0.05, 0, 10, -1, 0.5, 10}});
  // clang-format on
  const TAdjImage adj = rays.Run();
  ASSERT_TRUE(adj.IsValid());
  const P3 p = adj.GetPosition();
  const covar c = adj.GetCovarMatrix();
  // Position, then covariance: printed with %a from this code.
  // clang-format off
  const double want[9] = {
      -0x1.b97c29ed4f358p-9,  0x1.1cae5434326c9p-3,  0x1.4e71af86947c1p+3,
      0x1.9de127e680f0dp-10,  -0x1.2e0cf0fbff01p-19, 0x1.66e62d87d9c42p-11,
      -0x1.3b5877c1cb71p-15,  0x1.8ab6f8b6067e5p-17, 0x1.0816c4fd85f97p-11};
  // clang-format on
  const double got[9] = {p.x, p.y, p.z, c[0], c[1], c[2], c[3], c[4], c[5]};
  for (int k = 0; k < 9; ++k) EXPECT_EQ(got[k], want[k]) << k;
  // The partner was exchanged into index 1 of the caller's arrays.
  EXPECT_EQ(rays.pts[2], P3(40, 0, 10));
  EXPECT_EQ(rays.sigmas[1], P2(2e-3, 3e-3));
}

TEST(TAdjImage, DegenerateInputIsInvalid) {
  const P3 none = DefTriad();  // no starting position could be formed
  const struct {
    std::vector<std::vector<double>> rays;
    P3 start;
  } cases[] = {
      {{{1, 2, 3, 2, 2, 3}}, none},                        // one ray
      {{{0, 0, 0, 1, 1, 0}, {10, 0, 5, 8, -2, 9}}, none},  // antiparallel
      // Three rays, one station.
      {{{1, 2, 3, 1, 3, 3}, {1, 2, 3, 2, 3, 3}, {1, 2, 3, 3, 3, 3}}, none},
      // A zero sigma.
      {{{0, 0, 0, 1, 1, 0, 0, 1e-3}, {10, 0, 0, 9, 1, 0}}, P3(5, 5, 0)},
      // clang-format off
      // Rays shorter than 0.1 take no part; the start is at their mean height.
      {{{0, 0, 0, 0.05, 0.05, 0.02}, {10, 0, 0, 9.95, 0.05, 0.06}}, P3(5, 5, 4)},
      // A singular normal matrix: nothing fixes x.
      {{{0, 5, 0, 0.0625, 4.9375, 0}, {10, 0, 0, 9, 0, 0}, {0, 0, 0, 1, 0, 0}}, P3(5, 0, 0)},
      // clang-format on
      // The start is above station 0: one usable ray.
      {{{0, 0, 0, 1, 0, 0}, {0, -10, 0, 0, -9, 1}}, P3(0, 0, 5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    const TAdjImage adj = Rays(c.rays).Run();
    EXPECT_FALSE(adj.IsValid());
    EXPECT_LT((adj.GetPosition() - c.start).Module(), 1e-12);
  }
  EXPECT_FALSE(TAdjImage(0, nullptr, nullptr).IsValid());
}

// Hostile input: non-finite ray points and sigmas. A position reported
// valid must be finite; NaN anywhere in the rays that take part makes the
// position invalid instead.
TEST(TAdjImageRobustness, BadValuesNeverGiveANonFiniteResult) {
  for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300}) {
    for (int k = 0; k < 24; ++k) {  // 18 coordinates, then 6 sigmas
      SCOPED_TRACE(testing::Message() << bad << " at " << k);
      // clang-format off
      std::vector<std::vector<double>> rows = {
          {0, 0, 0, 1, 1, 0, 1e-3, 1e-3}, {10, 0, 0, 9, 1, 0, 1e-3, 1e-3}, {5, 10, 0, 5, 9, 0, 1e-3, 1e-3}};
      // clang-format on
      rows[k < 18 ? k / 6 : (k - 18) / 2][k < 18 ? k % 6 : 6 + k % 2] = bad;
      const TAdjImage adj = Rays(rows).Run();
      const P3 p = adj.GetPosition();
      const covar c = adj.GetCovarMatrix();
      // Ray 2 has the station farthest from ray 0's and starts the
      // position with it. A NaN in ray 1 leaves that ray without a
      // direction, and a NaN station of ray 2 keeps it from being the
      // partner: either ray is then ignored and the other two fix the
      // position. A NaN in ray 0 or in the partner's second point spoils
      // the start; a NaN sigma poisons the normal matrix.
      ASSERT_TRUE(!std::isnan(bad) || adj.IsValid() == (k >= 6 && k < 15));
      if (!adj.IsValid()) continue;
      EXPECT_LT(std::isnan(bad) ? std::hypot(p.x - 5, p.y - 5) : 0.0, 1e-9);
      EXPECT_TRUE(std::isfinite(p.x + p.y + p.z + c[0] + c[1] + c[2] + c[3] +
                                c[4] + c[5]));
    }
  }
}
