#include <collinear/adjust/ray_fit.h>

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace {

using P3 = TAbstractPoint3<double>;
using P2 = TAbstractPoint2<double>;

const P3 kPoint(100.0, 200.0, 30.0);
const double kStations[4][3] = {
    {0, 0, 0}, {250, 50, 10}, {220, 330, 5}, {-30, 280, 20}};

// Exact rays from the four stations through kPoint (sense -1: pointing
// away from it), 1e-5 rad each.
void Rays(double sense, std::vector<P3>& pts, std::vector<P2>& sigmas) {
  for (const double* s : kStations) {
    const P3 a(s[0], s[1], s[2]);
    pts.insert(pts.end(), {a, a + (kPoint - a) * (0.5 * sense)});
    sigmas.emplace_back(1e-5, 1e-5);
  }
}

TEST(FitRays, ConvergesFromAFarStartAndSharesTheRedundancy) {
  std::vector<P3> pts;
  std::vector<P2> sigmas;
  Rays(1.0, pts, sigmas);
  const collinear::RayFit fit =
      collinear::FitRays(4, pts.data(), sigmas.data(), P3(140.0, 160.0, 0.0));
  ASSERT_TRUE(fit.converged) << fit.message;
  const double kTolM = 1e-9;  // exact rays: rounding
  EXPECT_NEAR((fit.position - kPoint).Module(), 0.0, kTolM);
  EXPECT_EQ(fit.redundancy, 5);
  // The redundancy numbers of all directions add up to the redundancy.
  double sum = 0.0;
  for (const collinear::RayResidual& r : fit.rays) {
    EXPECT_FALSE(r.behind);
    sum += r.rh + r.rv;
  }
  EXPECT_NEAR(sum, 5.0, 1e-9);
}

TEST(NearestPointToLines, MeetsWhateverTheSenseOfTheRays) {
  for (double sense : {1.0, -1.0}) {
    std::vector<P3> pts;
    std::vector<P2> sigmas;
    Rays(sense, pts, sigmas);
    P3 meet(0.0);
    ASSERT_TRUE(collinear::NearestPointToLines(4, pts.data(), meet));
    EXPECT_NEAR((meet - kPoint).Module(), 0.0, 1e-9);
  }
  // One ray left (the other too short): no point, and no fit.
  const P3 short_ray[] = {P3(0.0), P3(1, 1, 0), P3(5.0), P3(5.05, 5, 5)};
  const P2 sigmas[] = {P2(1e-3, 1e-3), P2(1e-3, 1e-3)};
  P3 meet(-1.0);
  EXPECT_FALSE(collinear::NearestPointToLines(2, short_ray, meet));
  EXPECT_EQ(meet.x, -1.0);
  EXPECT_FALSE(collinear::FitRays(2, short_ray, sigmas, P3(3.0)).converged);
}

}  // namespace
