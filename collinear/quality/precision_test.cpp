#include <collinear/quality/precision.h>

#include <array>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/orientation/test_scenes.h>
#include <collinear/primitives/constants.h>

namespace {

using collinear::EstimatePrecision;
using collinear::PrecisionReport;
using collinear::testdata::AddNoise;
using collinear::testdata::Points;
using collinear::testdata::RandomBox;
using collinear::testdata::Spread;
using collinear::testdata::TrueCamera;

constexpr int kRepetitions = 200;
// A standard deviation estimated from 200 samples scatters by about 5 %;
// 15 % is three times that.
constexpr double kMonteCarloTol = 0.15;

using Deviations = std::map<std::string, double>;

double Wrap(double a) { return std::remainder(a, collinear::kTwoPi); }

// Points P1, P2, ... in the plane Z = 0.
Points Planar(const std::vector<std::array<double, 2>>& xy) {
  Points pts;
  int i = 0;
  for (const auto& p : xy) {
    CXYZ q(collinear::testdata::PointName(i++).c_str(), p[0], p[1], 0.0);
    pts.Add(q);
  }
  return pts;
}

// One noisy copy of a scene: the solver fills dev with its estimates minus
// the true values by parameter name.
struct Trial {
  Points obj, img;
  Deviations dev;
};

// Solves kRepetitions copies of the exact image points with noise of sigma
// on x and y; solve(trial) returns the report of one solution. The scatter
// of each named estimate must match the mean reported sigma.
template <class Solve>
void CheckMonteCarlo(const std::vector<std::string>& names,
                     const Points& obj,
                     const Points& exact,
                     double sigma,
                     Solve solve) {
  std::mt19937 gen(static_cast<unsigned>(names.size()));
  std::vector<Spread> scatter(names.size()), reported(names.size());
  for (int rep = 0; rep < kRepetitions; ++rep) {
    Trial t{obj, AddNoise(exact, sigma, gen), {}};
    const PrecisionReport r = solve(t);
    ASSERT_TRUE(r.valid);
    for (size_t k = 0; k < names.size(); ++k) {
      const collinear::Parameter* p = r.Get(names[k]);
      ASSERT_NE(p, nullptr) << names[k];
      scatter[k].Add(t.dev.at(names[k]));
      reported[k].Add(p->sigma);
    }
  }
  for (size_t k = 0; k < names.size(); ++k) {
    EXPECT_NEAR(reported[k].Mean() / scatter[k].Std(), 1.0, kMonteCarloTol)
        << names[k] << ": reported " << reported[k].Mean() << ", Monte Carlo "
        << scatter[k].Std();
  }
}

Deviations Pose(const CXYZ& centre, const CWPK& wpk, const TrueCamera& cam) {
  return {{"X", centre.m_x - cam.centre.m_x},
          {"Y", centre.m_y - cam.centre.m_y},
          {"Z", centre.m_z - cam.centre.m_z},
          {"omega", Wrap(wpk.m_w - cam.wpk.m_w)},
          {"phi", Wrap(wpk.m_p - cam.wpk.m_p)},
          {"kappa", Wrap(wpk.m_k - cam.wpk.m_k)}};
}

// The DLT solved by cal, with the given number of unknowns, of a camera
// with radial distortion k1.
auto DltTrial(const TrueCamera& cam,
              int (CDlt::*cal)(),
              int unknowns,
              double k1) {
  return [&cam, cal, unknowns, k1](Trial& t) {
    CDlt dlt;
    EXPECT_EQ(dlt.Create(t.obj, t.img, 0.0), 1);
    EXPECT_EQ((dlt.*cal)(), 1);
    PrecisionReport r = EstimatePrecision(dlt);
    EXPECT_EQ(r.unknowns, unknowns);
    EXPECT_EQ(r.Get("kappa")->value, dlt.m_Wpk.m_k);  // the solver's
    t.dev = Pose(dlt.m_Center, dlt.m_Wpk, cam);
    t.dev["x0"] = dlt.m_PrincipalPoint.m_x - cam.x0;
    t.dev["y0"] = dlt.m_PrincipalPoint.m_y - cam.y0;
    t.dev["cx"] = dlt.m_FocusX - cam.cx;
    t.dev["cy"] = dlt.m_FocusY - cam.cy;
    t.dev["c"] = dlt.m_FocusMean - 0.5 * (cam.cx + cam.cy);
    t.dev["k1"] = dlt.m_Dist.m_Para[0] - k1;
    t.dev["k2"] = dlt.m_Dist.m_Para[1];
    return r;
  };
}

TEST(EstimatePrecision, ResectionAgreesWithMonteCarlo) {
  // An oblique view of a 100 m field with 30 m of relief, f = 150 mm,
  // 10 um image noise.
  const TrueCamera cam{CXYZ(30, -60, 250), CWPK(0.25, -0.1, 0.4), 150, 150};
  const Points obj = RandomBox(12, CXYZ(-50, -50, 0), CXYZ(50, 50, 30), 7);
  const double kNoiseMm = 0.01;
  Spread sigma0;
  const auto solve = [&](Trial& t) {
    CSinOri s;
    EXPECT_EQ(s.Create(t.obj, t.img, cam.cx), 1);
    EXPECT_EQ(s.CalSinOri(), 1);
    PrecisionReport r = EstimatePrecision(s);
    EXPECT_EQ(r.redundancy, 18);  // 24 observations
    sigma0.Add(r.sigma0);
    t.dev = Pose(s.m_Center, s.m_Wpk, cam);
    return r;
  };
  CheckMonteCarlo({"X", "Y", "Z", "omega", "phi", "kappa"},
                  obj,
                  cam.ProjectAll(obj),
                  kNoiseMm,
                  solve);
  EXPECT_NEAR(sigma0.Mean() / kNoiseMm, 1.0, kMonteCarloTol);
}

TEST(EstimatePrecision, SpatialDltAgreesWithMonteCarlo) {
  // 20 points in a 2 m box seen from 5 m; pixels, 0.5 px noise.
  const TrueCamera cam{
      CXYZ(400, -300, 5000), CWPK(0.08, 0.12, -0.5), 1000, 1010, 12, -7};
  const Points obj =
      RandomBox(20, CXYZ(-1000, -1000, -500), CXYZ(1000, 1000, 500), 3);
  CheckMonteCarlo(
      {"x0", "y0", "cx", "cy", "X", "Y", "Z", "omega", "phi", "kappa", "c"},
      obj,
      cam.ProjectAll(obj),
      0.5,
      DltTrial(cam, &CDlt::CalDlt3D, 11, 0.0));
}

TEST(EstimatePrecision, SelfCalibrationAgreesWithMonteCarlo) {
  // 30 points of a 2 m box seen from 5 m through barrel distortion of
  // about 2 px at 250 px from the principal point; 0.2 px noise.
  const TrueCamera cam{
      CXYZ(300, -200, 5000), CWPK(0.1, -0.08, 0.4), 1000, 1000, 8, -5};
  const double k1 = -1.3e-7;
  const Points obj =
      RandomBox(30, CXYZ(-1100, -1100, -600), CXYZ(1100, 1100, 600), 23);
  // Measured m = pp + u / f with m + k1 |m - pp|^2 (m - pp) = pp + u, that
  // is f = 1 + k1 |u|^2 / f^2, by fixed point.
  Points exact = cam.ProjectAll(obj);
  for (INT_PTR i = 0; i < exact.GetSize(); ++i) {
    const double ux = exact[i].m_x - cam.x0, uy = exact[i].m_y - cam.y0;
    double f = 1.0;
    for (int it = 0; it < 100; ++it)
      f = 1.0 + k1 * (ux * ux + uy * uy) / (f * f);
    exact[i].m_x = cam.x0 + ux / f;
    exact[i].m_y = cam.y0 + uy / f;
  }
  CheckMonteCarlo({"x0", "y0", "cx", "X", "Z", "omega", "kappa", "k1", "k2"},
                  obj,
                  exact,
                  0.2,
                  DltTrial(cam, &CDlt::CalDltSelfCalib_k1k2p1p2, 15, k1));
}

TEST(EstimatePrecision, HelmertAgreesWithMonteCarlo) {
  const double a = 1.2, b = -0.5, c = 5000.0, d = -300.0;
  const Points src = RandomBox(6, CXYZ(0, 0, 0), CXYZ(400, 300, 0), 9);
  Points dst;
  for (INT_PTR i = 0; i < src.GetSize(); ++i) {
    const double x = src[i].m_x, y = src[i].m_y;
    CXYZ t(src[i].m_strName, a * x - b * y + c, b * x + a * y + d, 0.0);
    dst.Add(t);
  }
  const auto solve = [&](Trial& t) {
    CHelmert h;
    EXPECT_EQ(h.SetPoints(t.img, t.obj), 6);
    EXPECT_EQ(h.CalPara(), 1);
    const double pa = h.m_Para[0], pb = h.m_Para[1];
    t.dev = {{"a", pa - a},
             {"b", pb - b},
             {"c", h.m_Para[2] - c},
             {"d", h.m_Para[3] - d},
             {"scale", std::hypot(pa, pb) - std::hypot(a, b)},
             {"rotation", Wrap(std::atan2(pb, pa) - std::atan2(b, a))}};
    return EstimatePrecision(h);
  };
  CheckMonteCarlo(
      {"a", "b", "c", "d", "scale", "rotation"}, src, dst, 0.02, solve);
}

TEST(EstimatePrecision, HelmertOfThePublishedExample) {
  // Ghilani's three common points: sigma0 0.1398, sigma a = b = 0.000576,
  // sigma Tx = Ty = 0.1226 (the data set's own least-squares check).
  Points dst = Planar(
      {{1049422.40, 51089.20}, {1049413.95, 49659.30}, {1049244.95, 49884.95}});
  Points src =
      Planar({{121.622, -128.066}, {141.228, 187.718}, {175.802, 135.728}});
  CHelmert h;
  ASSERT_EQ(h.SetPoints(dst, src), 3);
  ASSERT_EQ(h.CalPara(), 1);
  const PrecisionReport r = EstimatePrecision(h);
  ASSERT_TRUE(r.valid);
  EXPECT_EQ(r.redundancy, 2);
  EXPECT_NEAR(r.sigma0 / 0.1398, 1.0, 5e-4);  // relative, published digits
  for (const char* name : {"a", "b", "c", "d"}) {
    const double published = name[0] < 'c' ? 0.000576 : 0.1226;
    EXPECT_NEAR(r.Get(name)->sigma / published, 1.0, 1e-3) << name;
  }
  // With equal weights a and b, and c and d, are uncorrelated; the source
  // origin off the points correlates a with c (-0.69 here). The matrix is
  // symmetric with a unit diagonal, and the pairs come sorted by |r|.
  const double kTol = 1e-9;
  EXPECT_NEAR(r.Correlation(0, 1), 0.0, kTol);
  EXPECT_NEAR(r.Correlation(2, 3), 0.0, kTol);
  EXPECT_LT(r.Correlation(0, 2), -0.5);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(r.Correlation(i, i), 1.0, kTol);
    for (int j = 0; j < 4; ++j)
      EXPECT_NEAR(r.Correlation(i, j), r.Correlation(j, i), kTol);
  }
  EXPECT_TRUE(collinear::HighCorrelations(r).empty());
  const auto all = collinear::HighCorrelations(r, 0.0);
  for (size_t k = 1; k < all.size(); ++k)
    EXPECT_GE(std::fabs(all[k - 1].r), std::fabs(all[k].r));
  // Two pairs fix the similarity exactly: no redundancy, no sigmas.
  dst.SetSize(2);
  src.SetSize(2);
  ASSERT_EQ(h.SetPoints(dst, src), 2);
  ASSERT_EQ(h.CalPara(), 1);
  const PrecisionReport exact = EstimatePrecision(h);
  ASSERT_TRUE(exact.valid);
  EXPECT_EQ(exact.redundancy, 0);
  EXPECT_TRUE(collinear::IsUndefined(exact.sigma0));
  EXPECT_TRUE(collinear::IsUndefined(exact.Get("a")->sigma));
  EXPECT_TRUE(std::isfinite(exact.Correlation(0, 2)));
}

TEST(EstimatePrecision, NothingToAssessWithoutASolution) {
  EXPECT_FALSE(EstimatePrecision(CSinOri()).valid);
  EXPECT_FALSE(EstimatePrecision(CDlt()).valid);
  EXPECT_FALSE(EstimatePrecision(CHelmert()).valid);
  CSinOri wrong_convention;
  Points obj = RandomBox(5, CXYZ(0, 0, 0), CXYZ(1, 1, 1), 1), img = obj;
  ASSERT_EQ(wrong_convention.Create(obj, img, 1.0), 1);
  wrong_convention.m_RotSystem = ROT_W;
  EXPECT_FALSE(EstimatePrecision(wrong_convention).valid);
}

TEST(EstimatePrecision, IterativeAndPlaneDltAdjustThePose) {
  const TrueCamera cam{CXYZ(100, 50, 3000), CWPK(0.05, -0.04, 0.2), 800, 800};
  const Points obj =
      RandomBox(12, CXYZ(-800, -800, -300), CXYZ(800, 800, 300), 17);
  std::mt19937 gen(2);
  for (double noise_px : {0.0, 0.3}) {
    SCOPED_TRACE(noise_px);
    Points obj_in = obj, img = AddNoise(cam.ProjectAll(obj), noise_px, gen);
    CDlt dlt;
    ASSERT_EQ(dlt.Create(obj_in, img, cam.cx), 1);
    ASSERT_EQ(dlt.CalDltIte3D(), 1);
    const PrecisionReport it =
        EstimatePrecision(dlt, collinear::DltInterior::kCentredEqual);
    ASSERT_NE(it.Get("c"), nullptr);
    EXPECT_EQ(it.Get("c")->value, dlt.m_FocusMean);
    // Exact data meet the solution's conditions: pose and c alone. With
    // noise its unit-weight conditions give way to the points (the principal
    // point lands pixels off the origin): a free camera.
    EXPECT_EQ(it.unknowns, noise_px == 0.0 ? 7 : 11);
    EXPECT_EQ(it.model.find("not met") != std::string::npos, noise_px > 0.0);
    EXPECT_TRUE(noise_px == 0.0 || it.Get("c")->sigma > 0.0);
    ASSERT_EQ(dlt.CalDlt2D(), 1);
    const PrecisionReport plane = EstimatePrecision(dlt);
    EXPECT_EQ(plane.unknowns, 6);
    EXPECT_EQ(plane.Get("c"), nullptr);
  }
}

TEST(SymmetricEigenvalues, KnownSpectra) {
  // Q diag(1e-12, 1, 2) Q^T for a rotation Q: the smallest one keeps its
  // relative accuracy.
  CRot q;
  q.SetMatrix(ROT_KPW, CWPK(0.3, -0.7, 1.1));
  const double d[3] = {1e-12, 1.0, 2.0};
  std::vector<double> m(9, 0.0);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k)
        m[i * 3 + j] += q.m_r[i * 3 + k] * d[k] * q.m_r[j * 3 + k];
  const auto three = collinear::SymmetricEigenvalues(m, 3);
  ASSERT_EQ(three.size(), 3u);
  const double kTol = 1e-14;
  EXPECT_NEAR(three[1], 1.0, kTol);
  EXPECT_NEAR(three[2], 2.0, kTol);
  EXPECT_NEAR(three[0], 1e-12, kTol);
  EXPECT_TRUE(collinear::SymmetricEigenvalues({}, 0).empty());
}

}  // namespace
