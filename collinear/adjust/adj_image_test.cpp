#include <collinear/adjust/adj_image.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/primitives/constants.h>

namespace {

using P3 = TAbstractPoint3<double>;
using P2 = TAbstractPoint2<double>;
using collinear::kPi;
using collinear::kRadPerDeg;

// Rays of one adjustment in the caller's layout.
struct Rays {
  std::vector<P3> pts;
  std::vector<P2> sigmas;
  void Add(const P3& a, const P3& b, double sigma_h, double sigma_v) {
    pts.push_back(a);
    pts.push_back(b);
    sigmas.push_back(P2(sigma_h, sigma_v));
  }
  int Count() const { return static_cast<int>(sigmas.size()); }
  TAdjImage Run() { return TAdjImage(Count(), pts.data(), sigmas.data()); }
};

bool IsFinite(const P3& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

void ExpectNear(const P3& a, const P3& b, double tol) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

// Ray from station a towards target, its second point at fraction f.
void AddTowards(Rays& rays,
                const P3& a,
                const P3& target,
                double sigma_h = 1e-3,
                double sigma_v = 1e-3,
                double f = 0.5) {
  rays.Add(a, a + (target - a) * f, sigma_h, sigma_v);
}

// Cholesky of the full matrix: true when all pivots are positive.
bool IsPositiveDefinite(const covar& c) {
  double l[3][3] = {};
  for (int j = 0; j < 3; ++j) {
    double d = c(j, j);
    for (int k = 0; k < j; ++k) d -= l[j][k] * l[j][k];
    if (!(d > 0.0)) return false;
    l[j][j] = std::sqrt(d);
    for (int i = j + 1; i < 3; ++i) {
      double s = c(i, j);
      for (int k = 0; k < j; ++k) s -= l[i][k] * l[j][k];
      l[i][j] = s / l[j][j];
    }
  }
  return true;
}

}  // namespace

TEST(TAdjImage, TwoCrossingRaysKeepTheirIntersection) {
  Rays rays;
  rays.Add(P3(0, 0, 0), P3(1, 1, 0), 0.001, 0.001);
  rays.Add(P3(10, 0, 0), P3(9, 1, 0), 0.001, 0.001);
  const TAdjImage adj = rays.Run();
  ASSERT_TRUE(adj.IsValid());
  EXPECT_DOUBLE_EQ(adj.GetPosition().x, 5.0);
  EXPECT_DOUBLE_EQ(adj.GetPosition().y, 5.0);
  EXPECT_EQ(adj.GetPosition().z, 0.0);
  // Perpendicular rays of length sqrt(50): transverse variance (L*sigma)^2
  // along each plan axis; the two vertical directions halve it in z.
  const covar c = adj.GetCovarMatrix();
  const double kTolVar = 1e-17;  // m^2, rounding of 5e-5
  EXPECT_NEAR(c[0], 5e-5, kTolVar);
  EXPECT_NEAR(c[1], 0.0, kTolVar);
  EXPECT_NEAR(c[2], 5e-5, kTolVar);
  EXPECT_NEAR(c[3], 0.0, kTolVar);
  EXPECT_NEAR(c[4], 0.0, kTolVar);
  EXPECT_NEAR(c[5], 2.5e-5, kTolVar);
}

TEST(TAdjImage, FarthestStationBecomesPartnerInCallerArrays) {
  const P3 target(5, 8, 2);
  // Ray 1 is parallel in plan to ray 0: only the exchange with the farther
  // ray 2 gives a starting position.
  Rays rays;
  AddTowards(rays, P3(0, 0, 0), target);
  AddTowards(rays, P3(-2.5, -4, -1), target, 2e-3, 3e-3);
  AddTowards(rays, P3(12, 0, 0), target, 4e-3, 5e-3);  // farthest
  AddTowards(rays, P3(0, 4, 1), target, 6e-3, 7e-3, 0.25);
  const Rays before = rays;
  const TAdjImage adj = rays.Run();
  ASSERT_TRUE(adj.IsValid());
  ExpectNear(adj.GetPosition(), target, 1e-9);
  const int moved[] = {0, 2, 1, 3};  // new index -> old index
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rays.pts[2 * i], before.pts[2 * moved[i]]);
    EXPECT_EQ(rays.pts[2 * i + 1], before.pts[2 * moved[i] + 1]);
    EXPECT_EQ(rays.sigmas[i], before.sigmas[moved[i]]);
  }
}

TEST(TAdjImage, EqualDistancesKeepTheFirstPartner) {
  const P3 target(4, 3, 1);
  Rays rays;
  AddTowards(rays, P3(0, 0, 0), target);
  AddTowards(rays, P3(2, 0, 0), target);
  AddTowards(rays, P3(10, 0, 0), target, 1e-3, 2e-3);  // distance 10
  AddTowards(rays, P3(-8, 6, 0), target, 3e-3, 4e-3);  // distance 10 too
  const Rays before = rays;
  const TAdjImage adj = rays.Run();
  ASSERT_TRUE(adj.IsValid());
  ExpectNear(adj.GetPosition(), target, 1e-9);
  EXPECT_EQ(rays.pts[2], before.pts[4]);
  EXPECT_EQ(rays.pts[4], before.pts[2]);
  EXPECT_EQ(rays.sigmas[1], before.sigmas[2]);
  EXPECT_EQ(rays.pts[6], before.pts[6]);
  EXPECT_EQ(rays.sigmas[3], before.sigmas[3]);

  // Already in place: nothing moves.
  const Rays placed = rays;
  ASSERT_TRUE(rays.Run().IsValid());
  for (int k = 0; k < 8; ++k) EXPECT_EQ(rays.pts[k], placed.pts[k]);
}

TEST(TAdjImage, StartingHeightIsMeanOfBothRays) {
  // Both rays shorter than 0.1, so the step has no rays and fails, leaving
  // the starting position: plan crossing (5, 5), ray heights 2 and 6.
  Rays rays;
  rays.Add(P3(0, 0, 0), P3(0.05, 0.05, 0.02), 1e-3, 1e-3);
  rays.Add(P3(10, 0, 0), P3(9.95, 0.05, 0.06), 1e-3, 1e-3);
  const TAdjImage adj = rays.Run();
  EXPECT_FALSE(adj.IsValid());
  const double kTolM = 1e-12;  // rounding of 0.05 and the crossing
  ExpectNear(adj.GetPosition(), P3(5, 5, 4), kTolM);
  for (int k = 0; k < 6; ++k) EXPECT_EQ(adj.GetCovarMatrix()[k], 0.0);
}

TEST(TAdjImage, DegenerateInputIsInvalid) {
  const P3 a(1, 2, 3);
  struct Case {
    const char* what;
    Rays rays;
    bool has_start;
  };
  std::vector<Case> cases;
  Rays one;
  one.Add(a, a + P3(1, 0, 0), 1e-3, 1e-3);
  cases.push_back({"one ray", one, false});
  Rays parallel;
  parallel.Add(P3(0, 0, 0), P3(1, 1, 0), 1e-3, 1e-3);
  parallel.Add(P3(10, 0, 5), P3(8, -2, 9), 1e-3, 1e-3);  // antiparallel
  cases.push_back({"parallel in plan", parallel, false});
  Rays partner_parallel;  // ray 1 would cross, the farther ray 2 does not
  partner_parallel.Add(P3(0, 0, 0), P3(1, 0, 0), 1e-3, 1e-3);
  partner_parallel.Add(P3(3, -3, 0), P3(3, -2, 0), 1e-3, 1e-3);
  partner_parallel.Add(P3(0, 9, 0), P3(1, 9, 1), 1e-3, 1e-3);
  cases.push_back({"partner parallel", partner_parallel, false});
  Rays one_station;
  for (int i = 0; i < 3; ++i) one_station.Add(a, a + P3(i, 1, 0), 1e-3, 1e-3);
  cases.push_back({"three rays, one station", one_station, false});
  Rays two_on_station;  // the start falls on the common station
  two_on_station.Add(a, a + P3(1, 0, 0), 1e-3, 1e-3);
  two_on_station.Add(a, a + P3(0, 1, 1), 1e-3, 1e-3);
  cases.push_back({"two rays, one station", two_on_station, true});
  Rays zero_sigma;
  zero_sigma.Add(P3(0, 0, 0), P3(1, 1, 0), 0.0, 1e-3);
  zero_sigma.Add(P3(10, 0, 0), P3(9, 1, 0), 1e-3, 1e-3);
  cases.push_back({"zero sigma", zero_sigma, true});
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TAdjImage adj = c.rays.Run();
    EXPECT_FALSE(adj.IsValid());
    EXPECT_EQ(DefTriad::IsPartialUndef(adj.GetPosition()), !c.has_start);
  }
  EXPECT_FALSE(TAdjImage(0, nullptr, nullptr).IsValid());
  EXPECT_FALSE(TAdjImage(-3, nullptr, nullptr).IsValid());
}

TEST(TAdjImage, SingularNormalMatrixIsInvalid) {
  // Ray 0 is too short to count; rays 1 and 2 lie in the vertical plane
  // y = 0 and fix nothing along x.
  Rays rays;
  rays.Add(P3(0, 5, 0), P3(0.0625, 4.9375, 0), 1e-3, 1e-3);
  rays.Add(P3(10, 0, 0), P3(9, 0, 0), 1e-3, 1e-3);
  rays.Add(P3(0, 0, 0), P3(1, 0, 0), 1e-3, 1e-3);
  const TAdjImage adj = rays.Run();
  EXPECT_FALSE(adj.IsValid());
  EXPECT_EQ(adj.GetPosition(), P3(5, 0, 0));  // the starting position
  const covar n = adj.GetCovarMatrix();       // uninverted normal matrix
  EXPECT_EQ(n[0], 0.0);
  EXPECT_GT(n[2], 0.0);
  EXPECT_GT(n[5], 0.0);
}

TEST(TAdjImage, RaysAtZenithOrNadirOfPositionAreIgnored) {
  // Rays 0 and 1 meet at (5, 5, 0.71); ray 2 stands under or over it,
  // or a hair beside it, where its azimuth is undefined or meaningless.
  Rays pair;
  pair.Add(P3(0, 0, 0), P3(1, 1, 1 / std::sqrt(50.0)), 1e-3, 2e-3);
  pair.Add(P3(10, 0, 0), P3(9, 1, 1 / std::sqrt(50.0)), 3e-3, 1e-3);
  const TAdjImage ref = Rays(pair).Run();
  ASSERT_TRUE(ref.IsValid());
  const P3 stations[] = {P3(5, 5, 0), P3(5, 5, 3), P3(5 + 1e-13, 5, 0)};
  for (const P3& s : stations) {
    SCOPED_TRACE(testing::Message() << s.x << " " << s.z);
    Rays rays = pair;
    rays.Add(s, s + P3(0.3, -0.2, 1), 1e-3, 1e-3);
    const TAdjImage adj = rays.Run();
    ASSERT_TRUE(adj.IsValid());
    EXPECT_EQ(adj.GetPosition(), ref.GetPosition());
    for (int k = 0; k < 6; ++k)
      EXPECT_EQ(adj.GetCovarMatrix()[k], ref.GetCovarMatrix()[k]);
  }

  // Two rays where the start lies straight above station 0: one usable ray.
  Rays above;
  above.Add(P3(0, 0, 0), P3(1, 0, 0), 1e-3, 1e-3);
  above.Add(P3(0, -10, 0), P3(0, -9, 1), 1e-3, 1e-3);  // height 10 at (0, 0)
  const TAdjImage adj = above.Run();
  EXPECT_FALSE(adj.IsValid());
  EXPECT_EQ(adj.GetPosition(), P3(0, 0, 5));
  for (int k = 0; k < 6; ++k)
    EXPECT_TRUE(std::isfinite(adj.GetCovarMatrix()[k]));
}

TEST(TAdjImage, AzimuthMisclosureWrapsAcrossTheSeam) {
  // Rays 0 and 1 meet at the origin; ray 2 from (-10, 0, 0) is observed 1
  // degree off the computed azimuth. With azimuths in [0, 2*pi) a -1 degree
  // offset is observed as 359 degrees against a computed 0. Turning the
  // whole set about z moves the seam through ray 2 in either direction;
  // the result must turn with it.
  auto build = [](double turn_deg, double offset_deg) {
    const double c = std::cos(turn_deg * kRadPerDeg);
    const double s = std::sin(turn_deg * kRadPerDeg);
    auto turn = [&](double x, double y, double z) {
      return P3(c * x - s * y, s * x + c * y, z);
    };
    const double off = offset_deg * kRadPerDeg;
    Rays rays;
    rays.Add(turn(0, -10, 0), turn(0, -9, 0), 1e-3, 1e-3);
    rays.Add(turn(10, 10, 0), turn(9, 9, 0), 1e-3, 1e-3);
    rays.Add(turn(-10, 0, 0),
             turn(-10 + std::cos(off), std::sin(off), 0),
             1e-3,
             1e-3);
    return rays;
  };
  for (double offset_deg : {-1.0, 1.0}) {
    const TAdjImage plain = build(90, offset_deg).Run();  // far from the seam
    ASSERT_TRUE(plain.IsValid());
    const P3 p = plain.GetPosition();
    // Unturned, ray 2 crosses x = 0 at y = 10 m * tan(offset): the step
    // pulls the origin towards it, not past it.
    const double y_unturned = -p.x;
    EXPECT_GT(y_unturned * offset_deg, 0.0);
    EXPECT_LT(std::fabs(y_unturned), 10 * std::tan(kRadPerDeg));
    for (double turn_deg : {0.0, 0.5, -0.5, 180.0, 359.5, 1.0, -1.0}) {
      SCOPED_TRACE(testing::Message() << offset_deg << " " << turn_deg);
      const TAdjImage adj = build(turn_deg, offset_deg).Run();
      ASSERT_TRUE(adj.IsValid());
      const double back = (90 - turn_deg) * kRadPerDeg;  // into plain's frame
      const P3 q = adj.GetPosition();
      const P3 q_turned(std::cos(back) * q.x - std::sin(back) * q.y,
                        std::sin(back) * q.x + std::cos(back) * q.y,
                        q.z);
      const double kTolM = 1e-10;  // rounding of the turned coordinates
      ExpectNear(q_turned, p, kTolM);
    }
  }
}

TEST(TAdjImage, CopiesShareTheCallerArrays) {
  Rays rays;
  rays.Add(P3(0, 0, 0), P3(1, 1, 0.2), 1e-3, 2e-3);
  rays.Add(P3(10, 0, 0), P3(9, 1, 0.1), 2e-3, 1e-3);
  const TAdjImage adj = rays.Run();
  Rays other;
  other.Add(P3(0, 0, 0), P3(1, 0, 0), 1e-3, 1e-3);
  TAdjImage copy = other.Run();
  ASSERT_FALSE(copy.IsValid());
  copy = adj;
  const TAdjImage constructed(adj);
  for (const TAdjImage* c :
       {static_cast<const TAdjImage*>(&copy), &constructed}) {
    EXPECT_EQ(c->IsValid(), adj.IsValid());
    EXPECT_EQ(c->m_nObs, 2);
    EXPECT_EQ(c->m_pRayPoints, rays.pts.data());
    EXPECT_EQ(c->m_pSigmas, rays.sigmas.data());
    EXPECT_EQ(c->GetPosition(), adj.GetPosition());
    for (int k = 0; k < 6; ++k)
      EXPECT_EQ(c->GetCovarMatrix()[k], adj.GetCovarMatrix()[k]);
  }
  const TAdjImage& alias = copy;
  copy = alias;  // self-assignment keeps the fields
  EXPECT_EQ(copy.GetPosition(), adj.GetPosition());
}

// Independent reference: the weighted least-squares point of the same
// angular observations, iterated to convergence with numeric derivatives,
// azimuth and elevation via atan2.
namespace {

struct Reference {
  P3 pos;
  double cov[3][3];
};

void Residuals(const Rays& rays, const P3& x, std::vector<double>& res) {
  res.clear();
  for (int i = 0; i < rays.Count(); ++i) {
    const P3 a = rays.pts[2 * i], d = rays.pts[2 * i + 1] - a, e = x - a;
    const double az_obs = std::atan2(d.y, d.x), az = std::atan2(e.y, e.x);
    const double el_obs = std::atan2(d.z, std::hypot(d.x, d.y));
    const double el = std::atan2(e.z, std::hypot(e.x, e.y));
    res.push_back(std::remainder(az_obs - az, 2 * kPi) / rays.sigmas[i].x);
    res.push_back((el_obs - el) / rays.sigmas[i].y);
  }
}

// Solves the 3x3 system m z = b by Gaussian elimination with pivoting.
P3 Solve3(double m[3][3], P3 b) {
  for (int c = 0; c < 3; ++c) {
    int piv = c;
    for (int r = c + 1; r < 3; ++r)
      if (std::fabs(m[r][c]) > std::fabs(m[piv][c])) piv = r;
    std::swap(m[c], m[piv]);
    std::swap(b[c], b[piv]);
    for (int r = c + 1; r < 3; ++r) {
      const double f = m[r][c] / m[c][c];
      for (int k = c; k < 3; ++k) m[r][k] -= f * m[c][k];
      b[r] -= f * b[c];
    }
  }
  P3 z;
  for (int r = 2; r >= 0; --r) {
    double s = b[r];
    for (int k = r + 1; k < 3; ++k) s -= m[r][k] * z[k];
    z[r] = s / m[r][r];
  }
  return z;
}

Reference WeightedIntersection(const Rays& rays, P3 x) {
  const double kStepM = 1e-3;  // central differences at >= 20 m distance
  Reference ref{};
  double n[3][3];
  std::vector<double> r0, rp, rm;
  for (int iter = 0; iter < 30; ++iter) {
    Residuals(rays, x, r0);
    std::vector<std::vector<double>> jac(r0.size(), std::vector<double>(3));
    for (int k = 0; k < 3; ++k) {
      P3 xp = x, xm = x;
      xp[k] += kStepM;
      xm[k] -= kStepM;
      Residuals(rays, xp, rp);
      Residuals(rays, xm, rm);
      // Derivative of the computed direction: minus that of the residual.
      for (size_t i = 0; i < r0.size(); ++i)
        jac[i][k] = -(rp[i] - rm[i]) / (2 * kStepM);
    }
    P3 g(0.0);
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) {
        n[a][b] = 0;
        for (size_t i = 0; i < r0.size(); ++i) n[a][b] += jac[i][a] * jac[i][b];
      }
      for (size_t i = 0; i < r0.size(); ++i) g[a] += jac[i][a] * r0[i];
    }
    double m[3][3];
    std::copy(&n[0][0], &n[0][0] + 9, &m[0][0]);
    const P3 dx = Solve3(m, g);
    x += dx;
    if (dx.Module() < 1e-12) break;
  }
  ref.pos = x;
  for (int c = 0; c < 3; ++c) {
    double m[3][3];
    std::copy(&n[0][0], &n[0][0] + 9, &m[0][0]);
    P3 e(0.0);
    e[c] = 1.0;
    const P3 col = Solve3(m, e);
    for (int r = 0; r < 3; ++r) ref.cov[r][c] = col[r];
  }
  return ref;
}

}  // namespace

TEST(TAdjImage, MatchesIndependentWeightedIntersection) {
  std::mt19937 gen(7001);
  std::uniform_real_distribution<double> uni(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 1.0);
  // The object makes one step from its start, up to ~0.1 m off here; the
  // reference converges. The gap is of order (0.1 m)^2 / 20 m, against a
  // noise-driven spread of the solution about 100 times larger.
  const double kTolPosM = 1e-4;
  const double kTolCovRel = 2e-2;  // evaluated at points ~1e-3 L apart
  double spread = 0;
  for (int trial = 0; trial < 60; ++trial) {
    SCOPED_TRACE(trial);
    const P3 target(
        2e5 * (uni(gen) - 0.5), 2e5 * (uni(gen) - 0.5), 100 * uni(gen));
    const int n = 2 + trial % 7;
    // Stations seen from the target in distinct 20-degree slots of a
    // 160-degree sector: no two rays closer than 10 degrees to parallel.
    std::vector<int> slots = {0, 1, 2, 3, 4, 5, 6, 7};
    std::shuffle(slots.begin(), slots.end(), gen);
    const double sector = 2 * kPi * uni(gen);
    Rays rays;
    for (int i = 0; i < n; ++i) {
      const double az =
          sector + (20 * slots[i] + 10 * (uni(gen) - 0.5)) * kRadPerDeg;
      const double el = (60 * uni(gen) - 30) * kRadPerDeg;
      const double dist = 20 + 180 * uni(gen);
      const P3 a = target - P3(std::cos(az) * std::cos(el),
                               std::sin(az) * std::cos(el),
                               std::sin(el)) *
                                dist;
      const double sigma_h = 1e-5 * std::pow(10.0, uni(gen));
      const double sigma_v = 1e-5 * std::pow(10.0, uni(gen));
      const double az_obs = az + sigma_h * noise(gen);
      const double el_obs = el + sigma_v * noise(gen);
      const double len = 1 + 49 * uni(gen);
      const P3 b = a + P3(std::cos(az_obs) * std::cos(el_obs),
                          std::sin(az_obs) * std::cos(el_obs),
                          std::sin(el_obs)) *
                           len;
      rays.Add(a, b, sigma_h, sigma_v);
    }
    const Rays original = rays;
    const TAdjImage adj = rays.Run();
    ASSERT_TRUE(adj.IsValid());
    const Reference ref = WeightedIntersection(original, target);
    const P3 p = adj.GetPosition();
    ASSERT_TRUE(IsFinite(p));
    spread = std::max(spread, (ref.pos - target).Module());
    ExpectNear(p, ref.pos, kTolPosM);
    const covar c = adj.GetCovarMatrix();
    EXPECT_TRUE(IsPositiveDefinite(c));
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j <= i; ++j) {
        const double scale = std::sqrt(ref.cov[i][i] * ref.cov[j][j]);
        const double rel = std::fabs(c(i, j) - ref.cov[i][j]) / scale;
        EXPECT_LT(rel, kTolCovRel) << i << j;
      }
    }
  }
  // The data must be noisy enough for a wrong weight or gradient to show.
  EXPECT_GT(spread, 20 * kTolPosM);
}
