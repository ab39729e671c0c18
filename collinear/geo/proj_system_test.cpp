#include <collinear/geo/proj_system.h>

#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/geo/geo_coord.h>
#include <collinear/geo/proj_test_util.h>
#include <collinear/primitives/constants.h>

using collinear::ComPtr;
using collinear::kGeoFormGeodetic;
using collinear::kGeoFormPlane;
using collinear::kGeoHasAll;
using collinear::ProjCoordSystem;

namespace {

constexpr unsigned long kBest = collinear::kGeoBestOperation;
constexpr double kTolMm = 1e-3;    // agreement with PROJ asked for, m
constexpr double kTolDeg = 1e-10;  // about 10 micrometres on the ground
constexpr double kTolSame = 1e-9;  // same PROJ pipeline run twice, m

using ReferenceTransform = collinear::test_support::ProjReference;

class ProjCoordSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { collinear::GeoClearError(); }
};

TEST_F(ProjCoordSystemTest, Wgs84ToUtmAgreesWithProjToAMillimetre) {
  ComPtr<ProjCoordSystem> wgs84 = ProjCoordSystem::Create("EPSG:4326");
  ComPtr<ProjCoordSystem> utm = ProjCoordSystem::Create("EPSG:32633");
  ASSERT_TRUE(wgs84->IsValid()) << wgs84->GetError();
  ASSERT_TRUE(utm->IsValid()) << utm->GetError();
  EXPECT_EQ(wgs84->GetForms(), kGeoFormGeodetic);
  EXPECT_EQ(utm->GetForms(), kGeoFormGeodetic | kGeoFormPlane);
  ReferenceTransform ref("EPSG:4326", "EPSG:32633");
  ASSERT_TRUE(ref.ok());

  std::mt19937 rng(8);
  std::uniform_real_distribution<double> lat(40.0, 60.0), lon(10.0, 20.0),
      h(-50.0, 3000.0);
  for (int i = 0; i < 20; ++i) {
    const double la = lat(rng), lo = lon(rng), he = h(rng);
    GeoCoordPoint p(
        wgs84.get(), la, lo, he, kGeoFormGeodetic | kGeoHasAll, nullptr);
    GeoCoordPoint grid;
    ASSERT_TRUE(
        p.Convert(grid, utm.get(), kGeoFormPlane, nullptr, nullptr, kBest))
        << collinear::GeoLastErrorText();
    const PJ_XYZ e = ref(lo, la, he);
    EXPECT_NEAR(grid.m_Coord[0], e.y, kTolMm);  // northing first
    EXPECT_NEAR(grid.m_Coord[1], e.x, kTolMm);
    EXPECT_NEAR(grid.m_Coord[2], e.z, kTolMm);

    GeoCoordPoint back;
    ASSERT_TRUE(grid.Convert(
        back, wgs84.get(), kGeoFormGeodetic, nullptr, nullptr, kBest));
    EXPECT_NEAR(back.m_Coord[0], la, kTolDeg);
    EXPECT_NEAR(back.m_Coord[1], lo, kTolDeg);
    EXPECT_NEAR(back.m_Coord[2], he, kTolMm);
  }
}

TEST_F(ProjCoordSystemTest, GeodeticFormOfAProjectedSystemIsItsDatum) {
  // Gauss-Krueger zone 3 on Bessel with a 7-parameter shift to WGS84, as a
  // PROJ string without "+type=crs".
  const char* gk =
      "+proj=tmerc +lat_0=0 +lon_0=9 +k=1 +x_0=3500000 +y_0=0 +ellps=bessel "
      "+towgs84=598.1,73.7,418.2,0.202,0.045,-2.455,6.7 +units=m";
  ComPtr<ProjCoordSystem> sys = ProjCoordSystem::Create(gk);
  ASSERT_TRUE(sys->IsValid()) << sys->GetError();
  ComPtr<ProjCoordSystem> wgs84 = ProjCoordSystem::Create("EPSG:4326");
  const std::string gk_crs = std::string(gk) + " +type=crs";
  ReferenceTransform to_wgs84(gk_crs.c_str(), "EPSG:4326");
  ASSERT_TRUE(to_wgs84.ok());

  GeoCoordPoint p(sys.get(),
                  5540000.0,
                  3500100.0,
                  250.0,
                  kGeoFormPlane | kGeoHasAll,
                  nullptr);
  GeoCoordPoint w;
  ASSERT_TRUE(
      p.Convert(w, wgs84.get(), kGeoFormGeodetic, nullptr, nullptr, kBest));
  const PJ_XYZ e = to_wgs84(3500100.0, 5540000.0, 250.0);
  EXPECT_NEAR(w.m_Coord[0], e.y, kTolDeg);
  EXPECT_NEAR(w.m_Coord[1], e.x, kTolDeg);
  EXPECT_NEAR(w.m_Coord[2], e.z, kTolMm);

  // Through the system's own geodetic form (Bessel) the datum shift stays.
  GeoCoordPoint bessel, w2;
  ASSERT_TRUE(
      p.Convert(bessel, sys.get(), kGeoFormGeodetic, nullptr, nullptr, kBest));
  EXPECT_GT(std::fabs(bessel.m_Coord[1] - e.x), 1e-4);  // ~100 m apart
  ASSERT_TRUE(bessel.Convert(
      w2, wgs84.get(), kGeoFormGeodetic, nullptr, nullptr, kBest));
  EXPECT_NEAR(w2.m_Coord[0], e.y, kTolDeg);
  EXPECT_NEAR(w2.m_Coord[1], e.x, kTolDeg);
  EXPECT_NEAR(w2.m_Coord[2], e.z, kTolMm);
}

TEST_F(ProjCoordSystemTest, AxesInFeetAreReportedInMetres) {
  ComPtr<ProjCoordSystem> ca = ProjCoordSystem::Create("EPSG:2229");
  ComPtr<ProjCoordSystem> nad83 = ProjCoordSystem::Create("EPSG:4269");
  ASSERT_TRUE(ca->IsValid() && nad83->IsValid());
  ReferenceTransform ref("EPSG:4269", "EPSG:2229");
  const PJ_XYZ e_ft = ref(-118.25, 34.05, 0.0);
  const double kMetresPerUsFoot = 1200.0 / 3937.0;
  GeoCoordPoint p(
      nad83.get(), 34.05, -118.25, 0.0, kGeoFormGeodetic | kGeoHasAll, nullptr);
  GeoCoordPoint grid;
  ASSERT_TRUE(
      p.Convert(grid, ca.get(), kGeoFormPlane, nullptr, nullptr, kBest));
  EXPECT_NEAR(grid.m_Coord[0], e_ft.y * kMetresPerUsFoot, kTolMm);
  EXPECT_NEAR(grid.m_Coord[1], e_ft.x * kMetresPerUsFoot, kTolMm);
}

TEST_F(ProjCoordSystemTest, RejectedDefinitionsAreReportedNotThrown) {
  struct Case {
    const char* def;
    int code;
  };
  const Case cases[] = {
      {"EPSG:999999", collinear::kGeoBadDefinition},
      {"this is no CRS", collinear::kGeoBadDefinition},
      {"", collinear::kGeoBadDefinition},
      {"   ", collinear::kGeoBadDefinition},
      {"EPSG:4978", collinear::kGeoUnsupported},  // geocentric
      {"EPSG:5555", collinear::kGeoUnsupported},  // compound
  };
  ComPtr<ProjCoordSystem> wgs84 = ProjCoordSystem::Create("EPSG:4326");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.def);
    collinear::GeoClearError();
    ComPtr<ProjCoordSystem> bad = ProjCoordSystem::Create(c.def);
    EXPECT_FALSE(bad->IsValid());
    EXPECT_EQ(bad->GetForms(), 0u);
    EXPECT_FALSE(bad->GetError().empty());
    EXPECT_EQ(collinear::GeoLastError(), c.code);

    // Conversions from and into it fail and leave the output alone.
    GeoCoordPoint from(
        bad.get(), 1.0, 2.0, 3.0, kGeoFormPlane | kGeoHasAll, nullptr);
    GeoCoordPoint into(
        wgs84.get(), 50.0, 10.0, 0.0, kGeoFormGeodetic | kGeoHasAll, nullptr);
    GeoCoordPoint out(nullptr, -7.0, -7.0, -7.0, 0, nullptr);
    EXPECT_FALSE(from.Convert(
        out, wgs84.get(), kGeoFormGeodetic, nullptr, nullptr, kBest));
    EXPECT_FALSE(
        into.Convert(out, bad.get(), kGeoFormPlane, nullptr, nullptr, kBest));
    EXPECT_EQ(out.m_Coord[0], -7.0);
  }
  ComPtr<ProjCoordSystem> null_def = ProjCoordSystem::Create(nullptr);
  EXPECT_FALSE(null_def->IsValid());
}

TEST_F(ProjCoordSystemTest, OutsideTheProjectionFailsWithProjsReason) {
  ComPtr<ProjCoordSystem> wgs84 = ProjCoordSystem::Create("EPSG:4326");
  ComPtr<ProjCoordSystem> utm = ProjCoordSystem::Create("EPSG:32633");
  GeoCoordPoint p(wgs84.get(),
                  95.0,
                  15.0,
                  0.0,
                  kGeoFormGeodetic | kGeoHasAll,
                  nullptr);  // latitude beyond the pole
  GeoCoordPoint out;
  EXPECT_FALSE(
      p.Convert(out, utm.get(), kGeoFormPlane, nullptr, nullptr, kBest));
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoTransformFailed);
  EXPECT_STRNE(collinear::GeoLastErrorText(), "");
}

TEST_F(ProjCoordSystemTest, OperationIndexPicksFromProjsList) {
  ComPtr<ProjCoordSystem> wgs84 = ProjCoordSystem::Create("EPSG:4326");
  ComPtr<ProjCoordSystem> utm = ProjCoordSystem::Create("EPSG:32633");
  GeoCoordPoint p(
      wgs84.get(), 48.0, 16.0, 0.0, kGeoFormGeodetic | kGeoHasAll, nullptr);
  GeoCoordPoint best, first, none(nullptr, -1.0, -1.0, -1.0, 0, nullptr);
  ASSERT_TRUE(
      p.Convert(best, utm.get(), kGeoFormPlane, nullptr, nullptr, kBest));
  ASSERT_TRUE(p.Convert(first, utm.get(), kGeoFormPlane, nullptr, nullptr, 0));
  EXPECT_NEAR(first.m_Coord[0], best.m_Coord[0], kTolSame);
  EXPECT_NEAR(first.m_Coord[1], best.m_Coord[1], kTolSame);
  EXPECT_FALSE(
      p.Convert(none, utm.get(), kGeoFormPlane, nullptr, nullptr, 1000));
  EXPECT_EQ(none.m_Coord[0], -1.0);
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoTransformFailed);
}

TEST_F(ProjCoordSystemTest, OneSystemServesSeveralThreads) {
  ComPtr<ProjCoordSystem> wgs84 = ProjCoordSystem::Create("EPSG:4326");
  ComPtr<ProjCoordSystem> utm = ProjCoordSystem::Create("EPSG:32633");
  GeoCoordPoint p(
      wgs84.get(), 47.0, 14.0, 500.0, kGeoFormGeodetic | kGeoHasAll, nullptr);
  GeoCoordPoint expected;
  ASSERT_TRUE(
      p.Convert(expected, utm.get(), kGeoFormPlane, nullptr, nullptr, kBest));
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        GeoCoordPoint out;
        if (!p.Convert(
                out, utm.get(), kGeoFormPlane, nullptr, nullptr, kBest) ||
            out.m_Coord[0] != expected.m_Coord[0] ||
            out.m_Coord[1] != expected.m_Coord[1])
          ++mismatches[t];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

TEST(ProjGridGeoid, Egm96HeightAtTheOrigin) {
  ComPtr<collinear::ProjGridGeoid> egm96 =
      collinear::ProjGridGeoid::Create("egm96_15.gtx");
  if (!egm96->IsValid()) GTEST_SKIP() << egm96->GetError();
  double n = 0.0;
  ASSERT_EQ(egm96->GetUndulation(0.0, 0.0, &n), S_OK);
  const double kTolGrid = 0.01;  // published EGM96 value rounded to 1 cm
  EXPECT_NEAR(n, 17.16, kTolGrid);
}

TEST(ProjGridGeoid, MissingGridFailsEveryQuery) {
  collinear::GeoClearError();
  for (const char* name : {"no_such_grid.gtx", "", "a.gtx +proj=merc"}) {
    SCOPED_TRACE(name);
    ComPtr<collinear::ProjGridGeoid> g = collinear::ProjGridGeoid::Create(name);
    EXPECT_FALSE(g->IsValid());
    EXPECT_FALSE(g->GetError().empty());
    double n = -1.0;
    EXPECT_LT(g->GetUndulation(0.0, 0.0, &n), 0);
    EXPECT_EQ(n, -1.0);
  }
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoBadDefinition);
}

}  // namespace
