#include <collinear/geo/geo_coord.h>

#include <gtest/gtest.h>

#include <collinear/geo/geo_test_util.h>
#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

using test_support::FullPoint;
using test_support::Off;

using P3 = TAbstractPoint3<double>;

constexpr double kTolRounding = 1e-9;  // unit scalings of metre-sized values

class GeoCoordPointTest : public test_support::GeoTest {};

TEST_F(GeoCoordPointTest, UnitsScaleKnownCoordinatesOnly) {
  GeoCoordPoint plane = FullPoint(utm_.get(), 7.0, 8.0, 9.0);
  plane.ConvertToAngularUnit(kGeoRadian);  // no angles to change
  EXPECT_EQ(plane.GetCoord(0, nullptr), P3(7.0, 8.0, 9.0));

  GeoCoordPoint g = Wgs(45.0, -90.0, 10.0);
  g.ConvertToUnit(mm_.get());
  g.ConvertToUnit(nullptr);  // no unit asked for: unchanged
  g.ConvertToAngularUnit(kGeoRadian);
  EXPECT_LT(Off(g.m_Coord, {kPi / 4, -kPi / 2, 10000.0}), 1e-12);
  g.ConvertToAngularUnit(kGeoGon);
  EXPECT_LT(Off(g.m_Coord, {50.0, -100.0}), 1e-12);
  g.ConvertToAngularUnit(kGeoDegree);
  EXPECT_LT(Off(g.m_Coord, {45.0}), 1e-12);
  g.ConvertToAngularUnit(7);  // unknown code: nothing changes
  EXPECT_EQ(g.m_AngularUnit, kGeoDegree);
  EXPECT_EQ(GeoLastError(), kGeoBadUnit);

  GeoClearError();
  const unsigned long kNoHeight = kGeoHasFirst | kGeoHasSecond;
  const GeoCoordPoint p(utm_.get(), 7, 8, 9, kGeoFormPlane | kNoHeight, {});
  EXPECT_EQ(p.GetCoord(0, mm_.get()), P3(7000.0, 8000.0, kUndefined));
  // A geographic system has no plane form.
  EXPECT_TRUE(
      DefTriad::IsPartialUndef(Wgs(1, 2, 3).GetCoord(kGeoFormPlane, {})));
  EXPECT_EQ(GeoLastError(), kGeoNoForm);
}

TEST_F(GeoCoordPointTest, ConvertCarriesUnitsHeightsAndPartialPoints) {
  // 52 N 15 E lies on the central meridian of zone 33: easting 500 km.
  const GeoCoordPoint g = Wgs(52.0, 15.0, 100.0);
  const GeoCoordPoint ns = FullPoint(nullptr, 5761038.2, 500000.0, 3.0);
  GeoCoordPoint no_height = g, height_only = g;
  no_height.m_Flags = kGeoFormGeodetic | kGeoHasFirst | kGeoHasSecond;
  height_only.m_Flags = kGeoFormGeodetic | kGeoHasThird;
  const ComPtr<IGeoid> n40 = ConstantGeoid::Create(40.0);
  const ComPtr<IMetricUnit> metre = MetricUnit::Create(1.0);
  struct Case {
    const GeoCoordPoint& in;
    IGeoCoordSystem* target;
    unsigned long mode, flags;  // asked; of the result
    IMetricUnit* unit;
    IGeoid* geoid;
    double east, height;  // second coordinate and height of the result
  };
  IGeoCoordSystem *utm = utm_.get(), *wgs = wgs84_.get();
  IMetricUnit* mm = mm_.get();
  const unsigned long kP = kGeoFormPlane, kG = kGeoFormGeodetic,
                      kAll = kGeoHasAll, kOrth = kGeoGeoidHeights,
                      kUnits = kGeoUnitsOnly,
                      kNoHeight = kGeoHasFirst | kGeoHasSecond;
  // clang-format off
  const Case cases[] = {
      {ns, utm, kP, kP | kAll, mm, {}, 500000000.0, 3000.0},  // no system: taken in the target
      {ns, utm, kG, kG | kAll, {}, {}, 15.0, 3.0},  // no system: converted within it
      {g, wgs, kP | kUnits, kG | kAll, mm, {}, 15.0, 100000.0},  // units only in its own system
      {g, utm, kP | kUnits, kP | kAll, {}, {}, 500000.0, 100.0},  // units only, but another system
      {no_height, utm, kP, kP | kNoHeight, {}, {}, 500000.0, kUndefined},  // without height
      {height_only, utm, kP, kP, {}, {}, kUndefined, kUndefined},  // height only
      {g, utm, kP | kOrth, kP | kAll | kOrth, {}, n40.get(), 500000.0, 60.0},  // above the geoid
      {g, utm, kP | kOrth, kP | kAll | kOrth, {}, {}, 500000.0, 100.0},  // no geoid: both heights coincide
      {g, utm, kP, kP | kAll, mm, {}, 500000000.0, 100000.0},  // into millimetres, and back
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
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
    EXPECT_LT(Off(back.m_Coord, {52.0, 15.0}), 1e-10);
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
  const unsigned long kMode = kGeoFormGeodetic | kGeoGeoidHeights;
  const GeoCoordPoint empty =
      p.Convert(nullptr, kMode | 0x80, mm_.get(), nullptr, kGeoBestOperation);
  EXPECT_EQ(empty.m_Flags, kMode);
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
  } cases[] = {// clang-format off
      {0, {52, 15, 7}}, {1, {53, 15, kUndefined}}, {kGeoFirstVertex, {52, 15, 7}},
      {kGeoLastVertex, {53, 15, kUndefined}}, {2, DefTriad()}};
  // clang-format on
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
  // No vertex at all, no point at all.
  EXPECT_EQ(GeoCoordPoint(GeoPointData::Create(nullptr).get(), 0).m_Flags, 0u);
  const GeoCoordPoint null_point(nullptr, 0);
  EXPECT_FALSE(null_point.m_Flags || null_point.m_System);
}

}  // namespace
}  // namespace collinear
