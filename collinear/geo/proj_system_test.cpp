#include <collinear/geo/proj_system.h>

#include <atomic>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include <collinear/geo/geo_test_util.h>
#include <collinear/geo/proj_test_util.h>

namespace collinear {
namespace {

using test_support::FullPoint;
using test_support::Off;
using test_support::ProjReference;

constexpr double kTolMm = 1e-3;    // agreement with PROJ asked for, m
constexpr double kTolDeg = 1e-10;  // about 10 micrometres on the ground

class ProjCoordSystemTest : public test_support::GeoTest {};

// Each kind of conversion against PROJ's own answer (cs2cs): WGS84 to UTM
// and back; a Bessel Gauss-Krueger grid with a 7-parameter shift (given as
// a PROJ string without "+type=crs") to WGS84, directly and through its own
// geodetic form; NAD83 to a grid in US feet, which comes in metres.
TEST_F(ProjCoordSystemTest, ConversionsAgreeWithProjToAMillimetre) {
  const ProjReference ref("EPSG:4326", "EPSG:32633");
  std::mt19937 rng(8);
  std::uniform_real_distribution<double> lat(40, 60), lon(10, 20), h(-50, 3000);
  for (int i = 0; i < 20; ++i) {
    const double la = lat(rng), lo = lon(rng), he = h(rng);
    GeoCoordPoint grid, back;
    ASSERT_TRUE(To(Wgs(la, lo, he), utm_.get(), kGeoFormPlane, grid));
    const PJ_XYZ e = ref(lo, la, he);
    EXPECT_LT(Off(grid.m_Coord, {e.y, e.x, e.z}), kTolMm);  // northing first
    ASSERT_TRUE(To(grid, wgs84_.get(), kGeoFormGeodetic, back));
    EXPECT_LT(Off(back.m_Coord, {la, lo}), kTolDeg);
    EXPECT_NEAR(back.m_Coord[2], he, kTolMm);
  }

  const std::string gk =
      "+proj=tmerc +lat_0=0 +lon_0=9 +k=1 +x_0=3500000 +y_0=0 +ellps=bessel "
      "+towgs84=598.1,73.7,418.2,0.202,0.045,-2.455,6.7 +units=m";
  ComPtr<ProjCoordSystem> sys = ProjCoordSystem::Create(gk.c_str());
  ASSERT_TRUE(sys->IsValid()) << sys->GetError();
  const PJ_XYZ e = ProjReference((gk + " +type=crs").c_str(), "EPSG:4326")(
      3500100.0, 5540000.0, 250.0);
  const GeoCoordPoint p = FullPoint(sys.get(), 5540000.0, 3500100.0, 250.0);
  GeoCoordPoint direct, bessel, via_bessel;
  ASSERT_TRUE(To(p, wgs84_.get(), kGeoFormGeodetic, direct));
  ASSERT_TRUE(To(p, sys.get(), kGeoFormGeodetic, bessel));
  EXPECT_GT(std::fabs(bessel.m_Coord[1] - e.x), 1e-4);  // ~100 m apart
  ASSERT_TRUE(To(bessel, wgs84_.get(), kGeoFormGeodetic, via_bessel));
  for (const GeoCoordPoint* w : {&direct, &via_bessel}) {
    EXPECT_LT(Off(w->m_Coord, {e.y, e.x}), kTolDeg);
    EXPECT_NEAR(w->m_Coord[2], e.z, kTolMm);
  }

  ComPtr<ProjCoordSystem> ca = ProjCoordSystem::Create("EPSG:2229");
  ComPtr<ProjCoordSystem> nad83 = ProjCoordSystem::Create("EPSG:4269");
  const PJ_XYZ ft = ProjReference("EPSG:4269", "EPSG:2229")(-118.25, 34.05, 0);
  const double kMetresPerUsFoot = 1200.0 / 3937.0;
  const GeoCoordPoint in =
      FullPoint(nad83.get(), 34.05, -118.25, 0, kGeoFormGeodetic);
  GeoCoordPoint la;
  ASSERT_TRUE(To(in, ca.get(), kGeoFormPlane, la));
  EXPECT_LT(Off(la.m_Coord, {ft.y * kMetresPerUsFoot, ft.x * kMetresPerUsFoot}),
            kTolMm);
}

TEST_F(ProjCoordSystemTest, RejectedDefinitionsAndOperationsFailWithAReason) {
  // Geocentric and compound systems are valid CRSs but not supported.
  const std::pair<const char*, int> cases[] = {
      // definition, error// clang-format off
      {"EPSG:999999", kGeoBadDefinition},
      {"this is no CRS", kGeoBadDefinition},
      {"", kGeoBadDefinition},
      {"   ", kGeoBadDefinition},
      {"EPSG:4978", kGeoUnsupported},
      {"EPSG:5555", kGeoUnsupported}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    GeoClearError();
    ComPtr<ProjCoordSystem> bad = ProjCoordSystem::Create(c.first);
    EXPECT_FALSE(bad->IsValid() || bad->GetForms() != 0);
    EXPECT_FALSE(bad->GetError().empty());
    EXPECT_EQ(GeoLastError(), c.second);
    // Conversions from and into it fail and leave the output alone.
    GeoCoordPoint out(nullptr, -7.0, -7.0, -7.0, 0, nullptr);
    EXPECT_FALSE(
        To(FullPoint(bad.get(), 1, 2, 3), wgs84_.get(), kGeoFormGeodetic, out));
    EXPECT_FALSE(To(Wgs(50, 10, 0), bad.get(), kGeoFormPlane, out));
    EXPECT_EQ(out.m_Coord[0], -7.0);
  }
  EXPECT_FALSE(ProjCoordSystem::Create(nullptr)->IsValid());

  GeoClearError();
  const GeoCoordPoint p = Wgs(48, 16, 0);
  GeoCoordPoint best, first, out(nullptr, -1.0, -1.0, -1.0, 0, nullptr);
  ASSERT_TRUE(To(p, utm_.get(), kGeoFormPlane, best));
  // Operation 0 of PROJ's list is the best one here; there is no 1000th.
  ASSERT_TRUE(p.Convert(first, utm_.get(), kGeoFormPlane, nullptr, nullptr, 0));
  EXPECT_NEAR(first.m_Coord[0], best.m_Coord[0], 1e-9);  // m, rounding
  EXPECT_FALSE(
      p.Convert(out, utm_.get(), kGeoFormPlane, nullptr, nullptr, 1000));
  EXPECT_EQ(GeoLastError(), kGeoTransformFailed);
  GeoClearError();
  // A latitude beyond the pole.
  EXPECT_FALSE(To(Wgs(95, 15, 0), utm_.get(), kGeoFormPlane, out));
  EXPECT_EQ(GeoLastError(), kGeoTransformFailed);
  EXPECT_STRNE(GeoLastErrorText(), "");
  EXPECT_EQ(out.m_Coord[0], -1.0);
}

TEST_F(ProjCoordSystemTest, OneSystemServesSeveralThreads) {
  const GeoCoordPoint p = Wgs(47.0, 14.0, 500.0);
  GeoCoordPoint expected;
  ASSERT_TRUE(To(p, utm_.get(), kGeoFormPlane, expected));
  std::atomic<int> mismatches{0};
  std::thread threads[4];
  for (std::thread& t : threads)
    t = std::thread([&] {
      for (int i = 0; i < 100; ++i) {
        GeoCoordPoint out;
        mismatches += !To(p, utm_.get(), kGeoFormPlane, out) ||
                      out.m_Coord[0] != expected.m_Coord[0];
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches, 0);
}

TEST(ProjGridGeoid, Egm96HeightAtTheOriginOrNoGrid) {
  ComPtr<ProjGridGeoid> egm96 = ProjGridGeoid::Create("egm96_15.gtx");
  double n = 0.0;
  if (egm96->IsValid()) {
    ASSERT_EQ(egm96->GetUndulation(0.0, 0.0, &n), S_OK);
    EXPECT_NEAR(n, 17.16, 0.01);  // published EGM96 value rounded to 1 cm
  }
  GeoClearError();
  for (const char* name : {"no_such_grid.gtx", "", "a.gtx +proj=merc"}) {
    SCOPED_TRACE(name);
    ComPtr<ProjGridGeoid> g = ProjGridGeoid::Create(name);
    EXPECT_FALSE(g->IsValid() || g->GetError().empty());
    n = -1.0;
    EXPECT_LT(g->GetUndulation(0.0, 0.0, &n), 0);
    EXPECT_EQ(n, -1.0);
  }
  EXPECT_EQ(GeoLastError(), kGeoBadDefinition);
}

}  // namespace
}  // namespace collinear
