// Hostile input to CCrdCalculator: non-finite points and distortion
// parameters. The calculator has no failure flag for NaN: a NaN point
// counts as visible and its pixel is NaN; a NaN model leaves the inverse
// search to fail, so photo points pass to pixels uncorrected. What matters
// is that every call returns promptly (the searches must not hang).
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>
#include <proj.h>

#include <collinear/calculator/crd_calculator.h>
#include <collinear/geo/proj_system.h>

namespace {

using P2 = TAbstractPoint2<double>;
using P3 = TAbstractPoint3<double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(CCrdCalculatorRobustness, NonFinitePointsAndModelsEndPromptly) {
  // The dummy camera at the origin looking along object +x.
  CCrdCalculator c;
  c.InitOrientation(P3(0.0, 0.0, 0.0), P3(1.0, 0.0, 0.0));
  // A NaN in any coordinate spreads through the rotation to the depth.
  P2 pixel(-1.0, -1.0);
  EXPECT_TRUE(c.GetPointOnImageCoords(P3(10.0, kNaN, 1.0), pixel, false));
  EXPECT_TRUE(std::isnan(pixel.x) && std::isnan(pixel.y));
  const double inf = std::numeric_limits<double>::infinity();
  for (double bad : {kNaN, inf, 1e300}) {
    const double para[8] = {bad, bad, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(c.SetDistortionModelData(1, 8, para));
    // No distorted position exists: the search fails, (1, 1) mm stays.
    EXPECT_EQ(c.Phc2Imc(P2(1.0, 1.0)), P2(15001.0, 14999.0)) << bad;
  }
}

TEST(ProjCoordSystemRobustness, OnlyDefinitionFormsReachProj) {
  // Found by the project-file fuzz target: a mangled code such as
  // "EPSG:25:32" or "urn::25:32" made PROJ search its database by name,
  // seconds under the sanitizers. Such text is refused before PROJ sees it.
  for (const char* def : {"EPSG:25:32",
                          "WGS 84",
                          "EPSG:",
                          ":4326",
                          "1",
                          "urn::25:32",
                          "urn:ogc:def:crs:EPSG::4326:x",
                          "urn:ogc:def:crs:EPSG",
                          "FOO:123",
                          "+foo",
                          "+datum=WGS84",
                          "GEOGCS(x",
                          "FOO[1]",
                          "ab ("}) {
    collinear::GeoClearError();
    const auto sys = collinear::ProjCoordSystem::Create(def);
    EXPECT_FALSE(sys->IsValid()) << def;
    EXPECT_NE(sys->GetError().find("not an EPSG code"), std::string::npos);
    EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoBadDefinition);
  }
  PJ_CONTEXT* ctx = proj_context_create();
  PJ* wgs84 = proj_create(ctx, "EPSG:4326");
  ASSERT_NE(wgs84, nullptr);
  const std::string wkt = proj_as_wkt(ctx, wgs84, PJ_WKT2_2019, nullptr);
  proj_destroy(wgs84);
  proj_context_destroy(ctx);
  for (const std::string& def : {std::string("EPSG:4326"),
                                 std::string(" epsg:25832"),
                                 std::string("urn:ogc:def:crs:EPSG::4326"),
                                 std::string("URN:X-OGC:DEF:CRS:EPSG:6.3:4326"),
                                 std::string("ESRI:102100"),
                                 std::string("+proj=longlat +datum=WGS84"),
                                 std::string("+ellps=GRS80 +proj=utm +zone=32"),
                                 wkt})
    EXPECT_TRUE(collinear::ProjCoordSystem::Create(def.c_str())->IsValid())
        << def;
}

}  // namespace
