#include <collinear/geo/geo_coord.h>

#include <gtest/gtest.h>

#include <collinear/geo/geo_test_util.h>
#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

using test_support::FullPoint;

constexpr double kTolRounding = 1e-9;  // unit scalings of metre-sized values

class GeoCoordPointTest : public test_support::GeoTest {};

TEST_F(GeoCoordPointTest, UnitsScaleLengthsAndAnglesOnly) {
  GeoCoordPoint plane = FullPoint(utm_.get(), 5761038.0, 500000.0, 100.0);
  plane.ConvertToUnit(mm_.get());
  plane.ConvertToUnit(nullptr);            // no unit asked for: unchanged
  plane.ConvertToAngularUnit(kGeoRadian);  // no angles to change
  EXPECT_EQ(plane.m_AngularUnit, kGeoRadian);
  EXPECT_EQ(plane.GetCoord(0, nullptr),
            TAbstractPoint3<double>(5761038000.0, 500000000.0, 100000.0));

  GeoCoordPoint g =
      FullPoint(wgs84_.get(), 45.0, -90.0, 10.0, kGeoFormGeodetic);
  g.ConvertToUnit(mm_.get());
  g.ConvertToAngularUnit(kGeoRadian);
  EXPECT_DOUBLE_EQ(g.m_Coord[0], kPi / 4);
  EXPECT_DOUBLE_EQ(g.m_Coord[1], -kPi / 2);
  EXPECT_DOUBLE_EQ(g.m_Coord[2], 10000.0);
  g.ConvertToAngularUnit(kGeoGon);
  EXPECT_DOUBLE_EQ(g.m_Coord[0], 50.0);
  EXPECT_DOUBLE_EQ(g.m_Coord[1], -100.0);
  g.ConvertToAngularUnit(kGeoDegree);
  EXPECT_DOUBLE_EQ(g.m_Coord[0], 45.0);
  g.ConvertToAngularUnit(7);  // unknown code: nothing changes
  EXPECT_EQ(g.m_AngularUnit, kGeoDegree);
  EXPECT_EQ(GeoLastError(), kGeoBadUnit);
}

TEST_F(GeoCoordPointTest, GetCoordGivesUndefinedForUnknownCoordinates) {
  const GeoCoordPoint p(utm_.get(),
                        7.0,
                        8.0,
                        9.0,
                        kGeoFormPlane | kGeoHasFirst | kGeoHasSecond,
                        nullptr);
  EXPECT_EQ(p.GetCoord(0, mm_.get()),
            TAbstractPoint3<double>(7000.0, 8000.0, kUndefined));
  // A geographic system has no plane form.
  const GeoCoordPoint g = FullPoint(wgs84_.get(), 1, 2, 3, kGeoFormGeodetic);
  EXPECT_TRUE(DefTriad::IsPartialUndef(g.GetCoord(kGeoFormPlane, nullptr)));
  EXPECT_EQ(GeoLastError(), kGeoNoForm);
}

TEST_F(GeoCoordPointTest, ConvertCarriesUnitsHeightsAndPartialPoints) {
  // 52 N 15 E lies on the central meridian of zone 33: easting 500 km.
  const GeoCoordPoint g =
      FullPoint(wgs84_.get(), 52.0, 15.0, 100.0, kGeoFormGeodetic);
  const GeoCoordPoint no_system = FullPoint(nullptr, 5761038.2, 500000.0, 3.0);
  GeoCoordPoint no_height = g, height_only = g;
  no_height.m_Flags = kGeoFormGeodetic | kGeoHasFirst | kGeoHasSecond;
  height_only.m_Flags = kGeoFormGeodetic | kGeoHasThird;
  const ComPtr<IGeoid> geoid = ConstantGeoid::Create(40.0);
  const ComPtr<IMetricUnit> metre = MetricUnit::Create(1.0);
  const unsigned long kUnitsOnly = kGeoUnitsOnly;
  struct Case {
    const char* what;
    const GeoCoordPoint& in;
    IGeoCoordSystem* target;
    unsigned long mode;
    IMetricUnit* unit;
    IGeoid* geoid;
    unsigned long flags;
    double east, height;  // second coordinate and height of the result
  };
  const GeoCoordPoint& ns = no_system;
  IGeoCoordSystem* utm = utm_.get();
  IMetricUnit* mm = mm_.get();
  const unsigned long kPlane = kGeoFormPlane | kGeoHasAll;
  const unsigned long kOrth = kGeoGeoidHeights;
  // clang-format off
  const Case cases[] = {
      {"no system: taken in the target", ns, utm, kGeoFormPlane, mm, nullptr,
       kPlane, 500000000.0, 3000.0},
      {"no system: converted within the target", ns, utm, kGeoFormGeodetic,
       nullptr, nullptr, kGeoFormGeodetic | kGeoHasAll, 15.0, 3.0},
      {"units only in its own system", g, wgs84_.get(), kGeoFormPlane | kUnitsOnly,
       mm, nullptr, kGeoFormGeodetic | kGeoHasAll, 15.0, 100000.0},
      {"units only, but another system", g, utm, kGeoFormPlane | kUnitsOnly,
       nullptr, nullptr, kPlane, 500000.0, 100.0},
      {"without height", no_height, utm, kGeoFormPlane, nullptr, nullptr,
       kGeoFormPlane | kGeoHasFirst | kGeoHasSecond, 500000.0, kUndefined},
      {"height only", height_only, utm, kGeoFormPlane, nullptr, nullptr,
       kGeoFormPlane, kUndefined, kUndefined},
      {"above the geoid", g, utm, kGeoFormPlane | kOrth, nullptr, geoid.get(),
       kPlane | kOrth, 500000.0, 60.0},
      {"no geoid: both heights coincide", g, utm, kGeoFormPlane | kOrth,
       nullptr, nullptr, kPlane | kOrth, 500000.0, 100.0},
      {"into millimetres", g, utm, kGeoFormPlane, mm, nullptr,
       kPlane, 500000000.0, 100000.0},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GeoCoordPoint out;
    ASSERT_TRUE(To(c.in, c.target, c.mode, out, c.unit, c.geoid));
    EXPECT_EQ(out.m_System.get(), c.target);
    EXPECT_EQ(out.m_Flags, c.flags);
    EXPECT_NEAR(out.GetCoord(0, nullptr).y, c.east, 1e-3);
    EXPECT_NEAR(out.GetCoord(0, nullptr).z, c.height, kTolRounding);

    // And back, in metres, above the ellipsoid.
    GeoCoordPoint back;
    if (!(c.flags & kGeoHasThird) || c.in.m_System.get() != g.m_System.get())
      continue;
    ASSERT_TRUE(
        To(out, wgs84_.get(), kGeoFormGeodetic, back, metre.get(), c.geoid));
    EXPECT_NEAR(back.m_Coord[0], 52.0, 1e-10);
    EXPECT_NEAR(back.m_Coord[1], 15.0, 1e-10);
    EXPECT_NEAR(back.m_Coord[2], 100.0, 1e-6);
  }
}

TEST_F(GeoCoordPointTest, FailuresLeaveTheOutputAndRecordTheFirstCause) {
  const GeoCoordPoint p = FullPoint(utm_.get(), 1.0, 2.0, 3.0);
  GeoCoordPoint out(utm_.get(), -1.0, -1.0, -1.0, 0, nullptr);
  EXPECT_FALSE(To(p, nullptr, kGeoFormPlane, out));
  const ComPtr<IMetricUnit> zero = MetricUnit::Create(0.0);
  EXPECT_FALSE(To(p, utm_.get(), kGeoFormPlane, out, zero.get()));
  EXPECT_EQ(out.m_Coord[0], -1.0);
  EXPECT_EQ(GeoLastError(), kGeoNullObject);
  EXPECT_STREQ(GeoLastErrorText(), "no target system");
  GeoClearError();
  EXPECT_EQ(GeoLastError(), kGeoOk);
  EXPECT_STREQ(GeoLastErrorText(), "");
  EXPECT_FALSE(To(p, utm_.get(), kGeoFormPlane, out, zero.get()));
  EXPECT_EQ(GeoLastError(), kGeoBadUnit);
  // The value form gives a point of the target without coordinates.
  const GeoCoordPoint empty =
      p.Convert(nullptr,
                kGeoFormGeodetic | kGeoGeoidHeights | 0x80,
                mm_.get(),
                nullptr,
                kGeoBestOperation);
  EXPECT_EQ(empty.m_Flags, kGeoFormGeodetic | kGeoGeoidHeights);
  EXPECT_EQ(empty.m_Unit.get(), mm_.get());
}

TEST_F(GeoCoordPointTest, ReadsTheSelectedVertexOfAHostPoint) {
  // Two vertices, the second without height.
  const unsigned long kGeodetic = kGeoFormGeodetic;
  ComPtr<GeoPointData> host = GeoPointData::Create(utm_.get());
  host->AddVertex(52, 15, 7, kGeodetic | kGeoHasAll)
      .AddVertex(53, 15, 7, kGeodetic | kGeoHasFirst | kGeoHasSecond);
  const struct {
    unsigned long selector;
    TAbstractPoint3<double> coords;
  } cases[] = {{0, {52, 15, 7}},
               {1, {53, 15, kUndefined}},
               {kGeoFirstVertex, {52, 15, 7}},
               {kGeoLastVertex, {53, 15, kUndefined}},
               {2, DefTriad()}};
  for (const auto& c : cases) {
    const GeoCoordPoint p(host.get(), c.selector);
    EXPECT_EQ(p.GetCoord(0, nullptr), c.coords) << c.selector;
    EXPECT_EQ(p.m_System.get(), utm_.get());
  }
  // The plane-form selector turns the geodetic position into grid
  // coordinates of the point's own system.
  const GeoCoordPoint plane(host.get(), kGeoPreferPlane);
  EXPECT_EQ(plane.GetForm(), kGeoFormPlane);
  EXPECT_NEAR(plane.m_Coord[1], 500000.0, 1e-6);
  EXPECT_NEAR(plane.m_Coord[2], 7.0, 1e-9);
  EXPECT_EQ(GeoCoordPoint(GeoPointData::Create(nullptr).get(), 0).m_Flags,
            0u);  // no vertex at all
  const GeoCoordPoint null_point(nullptr, 0);
  EXPECT_EQ(null_point.m_Flags, 0u);
  EXPECT_FALSE(null_point.m_System);
}

}  // namespace
}  // namespace collinear
