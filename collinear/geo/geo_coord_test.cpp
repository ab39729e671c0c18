#include <collinear/geo/geo_coord.h>

#include <gtest/gtest.h>

#include <collinear/geo/proj_system.h>
#include <collinear/primitives/constants.h>

using collinear::ComPtr;
using collinear::kGeoFormGeodetic;
using collinear::kGeoFormPlane;
using collinear::kGeoGeoidHeights;
using collinear::kGeoHasAll;
using collinear::kGeoHasFirst;
using collinear::kGeoHasSecond;
using collinear::kUndefined;

namespace {

constexpr unsigned long kBest = collinear::kGeoBestOperation;
constexpr double kTolRounding = 1e-9;  // unit scalings of metre-sized values

class GeoCoordPointTest : public ::testing::Test {
 protected:
  void SetUp() override { collinear::GeoClearError(); }
  ComPtr<collinear::ProjCoordSystem> wgs84_ =
      collinear::ProjCoordSystem::Create("EPSG:4326");
  ComPtr<collinear::ProjCoordSystem> utm_ =
      collinear::ProjCoordSystem::Create("EPSG:32633");
  ComPtr<IMetricUnit> mm_ = collinear::MetricUnit::Create(0.001);
};

TEST_F(GeoCoordPointTest, UnitChangeScalesLengthsOnly) {
  GeoCoordPoint plane(utm_.get(),
                      5761038.0,
                      500000.0,
                      100.0,
                      kGeoFormPlane | kGeoHasAll,
                      nullptr);
  plane.ConvertToUnit(mm_.get());
  EXPECT_DOUBLE_EQ(plane.m_Coord[0], 5761038000.0);
  EXPECT_DOUBLE_EQ(plane.m_Coord[1], 500000000.0);
  EXPECT_DOUBLE_EQ(plane.m_Coord[2], 100000.0);
  plane.ConvertToUnit(nullptr);  // no unit asked for: unchanged
  EXPECT_DOUBLE_EQ(plane.m_Coord[2], 100000.0);

  GeoCoordPoint geodetic(
      wgs84_.get(), 52.0, 15.0, 100.0, kGeoFormGeodetic | kGeoHasAll, nullptr);
  geodetic.ConvertToUnit(mm_.get());
  EXPECT_EQ(geodetic.m_Coord[0], 52.0);
  EXPECT_EQ(geodetic.m_Coord[1], 15.0);
  EXPECT_DOUBLE_EQ(geodetic.m_Coord[2], 100000.0);
}

TEST_F(GeoCoordPointTest, AngularUnitsRoundTripAndLeavePlaneAlone) {
  GeoCoordPoint p(
      wgs84_.get(), 45.0, -90.0, 10.0, kGeoFormGeodetic | kGeoHasAll, nullptr);
  p.ConvertToAngularUnit(collinear::kGeoRadian);
  EXPECT_DOUBLE_EQ(p.m_Coord[0], collinear::kPi / 4);
  EXPECT_DOUBLE_EQ(p.m_Coord[1], -collinear::kPi / 2);
  p.ConvertToAngularUnit(collinear::kGeoGon);
  EXPECT_DOUBLE_EQ(p.m_Coord[0], 50.0);
  EXPECT_DOUBLE_EQ(p.m_Coord[1], -100.0);
  p.ConvertToAngularUnit(collinear::kGeoDegree);
  EXPECT_DOUBLE_EQ(p.m_Coord[0], 45.0);
  EXPECT_EQ(p.m_Coord[2], 10.0);

  p.ConvertToAngularUnit(7);  // unknown code: nothing changes
  EXPECT_EQ(p.m_AngularUnit, collinear::kGeoDegree);
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoBadUnit);

  GeoCoordPoint plane(
      utm_.get(), 1.0, 2.0, 3.0, kGeoFormPlane | kGeoHasAll, nullptr);
  plane.ConvertToAngularUnit(collinear::kGeoRadian);
  EXPECT_EQ(plane.m_Coord[0], 1.0);
  EXPECT_EQ(plane.m_AngularUnit, collinear::kGeoRadian);
}

TEST_F(GeoCoordPointTest, GetCoordGivesUndefinedForUnknownCoordinates) {
  GeoCoordPoint p(utm_.get(),
                  7.0,
                  8.0,
                  9.0,
                  kGeoFormPlane | kGeoHasFirst | kGeoHasSecond,
                  nullptr);
  const TAbstractPoint3<double> c = p.GetCoord(0, nullptr);
  EXPECT_EQ(c.x, 7.0);
  EXPECT_EQ(c.y, 8.0);
  EXPECT_EQ(c.z, kUndefined);
  const TAbstractPoint3<double> mm = p.GetCoord(0, mm_.get());
  EXPECT_DOUBLE_EQ(mm.x, 7000.0);
  EXPECT_EQ(mm.z, kUndefined);
  // A geographic system has no plane form.
  GeoCoordPoint g(
      wgs84_.get(), 1.0, 2.0, 3.0, kGeoFormGeodetic | kGeoHasAll, nullptr);
  EXPECT_TRUE(DefTriad::IsPartialUndef(g.GetCoord(kGeoFormPlane, nullptr)));
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoNoForm);
}

TEST_F(GeoCoordPointTest, PointWithoutSystemIsTakenInTheTarget) {
  GeoCoordPoint no_system(
      nullptr, 5761038.2, 500000.0, 3.0, kGeoFormPlane | kGeoHasAll, nullptr);
  GeoCoordPoint out;
  ASSERT_TRUE(no_system.Convert(
      out, utm_.get(), kGeoFormPlane, mm_.get(), nullptr, kBest));
  EXPECT_EQ(out.m_System.get(), utm_.get());
  EXPECT_DOUBLE_EQ(out.m_Coord[0], 5761038200.0);
  EXPECT_DOUBLE_EQ(out.m_Coord[2], 3000.0);
  // ... and converted within it when another form is asked for.
  ASSERT_TRUE(no_system.Convert(
      out, utm_.get(), kGeoFormGeodetic, nullptr, nullptr, kBest));
  EXPECT_NEAR(out.m_Coord[1], 15.0, 1e-10);
}

TEST_F(GeoCoordPointTest, MissingTargetFailsWithOutputUntouched) {
  GeoCoordPoint p(
      utm_.get(), 1.0, 2.0, 3.0, kGeoFormPlane | kGeoHasAll, nullptr);
  GeoCoordPoint out(utm_.get(), -1.0, -1.0, -1.0, 0, nullptr);
  EXPECT_FALSE(p.Convert(out, nullptr, kGeoFormPlane, nullptr, nullptr, kBest));
  EXPECT_EQ(out.m_Coord[0], -1.0);
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoNullObject);
  EXPECT_STRNE(collinear::GeoLastErrorText(), "");
  // The value form gives a point of the target without coordinates.
  const GeoCoordPoint empty =
      p.Convert(nullptr,
                kGeoFormGeodetic | kGeoGeoidHeights | 0x80,
                mm_.get(),
                nullptr,
                kBest);
  EXPECT_EQ(empty.m_Flags, kGeoFormGeodetic | kGeoGeoidHeights);
  EXPECT_EQ(empty.m_Unit.get(), mm_.get());
}

TEST_F(GeoCoordPointTest, FirstErrorIsKeptUntilCleared) {
  collinear::GeoSetError(collinear::kGeoNoCatalogue, "first");
  collinear::GeoSetError(collinear::kGeoRefused, "second");
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoNoCatalogue);
  EXPECT_STREQ(collinear::GeoLastErrorText(), "first");
  collinear::GeoClearError();
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoOk);
  EXPECT_STREQ(collinear::GeoLastErrorText(), "");
}

TEST_F(GeoCoordPointTest, UnitsOnlyModeKeepsFormInSameSystem) {
  GeoCoordPoint p(
      wgs84_.get(), 52.0, 15.0, 2.5, kGeoFormGeodetic | kGeoHasAll, nullptr);
  GeoCoordPoint out;
  ASSERT_TRUE(p.Convert(out,
                        wgs84_.get(),
                        kGeoFormPlane | collinear::kGeoUnitsOnly,
                        mm_.get(),
                        nullptr,
                        kBest));
  EXPECT_EQ(out.GetForm(), kGeoFormGeodetic);
  EXPECT_EQ(out.m_Coord[0], 52.0);
  EXPECT_DOUBLE_EQ(out.m_Coord[2], 2500.0);
  // Another system is converted in full despite the bit.
  ASSERT_TRUE(p.Convert(out,
                        utm_.get(),
                        kGeoFormPlane | collinear::kGeoUnitsOnly,
                        nullptr,
                        nullptr,
                        kBest));
  EXPECT_EQ(out.GetForm(), kGeoFormPlane);
  EXPECT_NEAR(out.m_Coord[1], 500000.0, 1e-6);
}

TEST_F(GeoCoordPointTest, PartlyKnownPointsKeepOnlyWhatCanBeCarried) {
  GeoCoordPoint no_height(wgs84_.get(),
                          52.0,
                          15.0,
                          kUndefined,
                          kGeoFormGeodetic | kGeoHasFirst | kGeoHasSecond,
                          nullptr);
  GeoCoordPoint out;
  ASSERT_TRUE(no_height.Convert(
      out, utm_.get(), kGeoFormPlane, nullptr, nullptr, kBest));
  EXPECT_EQ(out.m_Flags & kGeoHasAll, kGeoHasFirst | kGeoHasSecond);
  EXPECT_NEAR(out.m_Coord[1], 500000.0, 1e-6);
  EXPECT_EQ(out.m_Coord[2], kUndefined);

  GeoCoordPoint height_only(wgs84_.get(),
                            kUndefined,
                            kUndefined,
                            5.0,
                            kGeoFormGeodetic | collinear::kGeoHasThird,
                            nullptr);
  ASSERT_TRUE(height_only.Convert(
      out, utm_.get(), kGeoFormPlane, nullptr, nullptr, kBest));
  EXPECT_EQ(out.m_Flags & kGeoHasAll, 0u);
  EXPECT_EQ(out.GetForm(), kGeoFormPlane);
}

TEST_F(GeoCoordPointTest, GeoidTurnsEllipsoidalIntoGeoidHeightsAndBack) {
  const ComPtr<IGeoid> geoid = collinear::ConstantGeoid::Create(40.0);
  GeoCoordPoint p(
      wgs84_.get(), 52.0, 15.0, 100.0, kGeoFormGeodetic | kGeoHasAll, nullptr);
  GeoCoordPoint orth, back, plain;
  ASSERT_TRUE(p.Convert(orth,
                        utm_.get(),
                        kGeoFormPlane | kGeoGeoidHeights,
                        nullptr,
                        geoid.get(),
                        kBest));
  EXPECT_NEAR(orth.m_Coord[2], 60.0, kTolRounding);
  EXPECT_TRUE(orth.m_Flags & kGeoGeoidHeights);
  ASSERT_TRUE(orth.Convert(
      back, wgs84_.get(), kGeoFormGeodetic, nullptr, geoid.get(), kBest));
  EXPECT_NEAR(back.m_Coord[2], 100.0, kTolRounding);
  // Without a geoid the two height kinds coincide.
  ASSERT_TRUE(p.Convert(plain,
                        utm_.get(),
                        kGeoFormPlane | kGeoGeoidHeights,
                        nullptr,
                        nullptr,
                        kBest));
  EXPECT_NEAR(plain.m_Coord[2], 100.0, kTolRounding);
}

TEST_F(GeoCoordPointTest, LengthUnitsApplyOnBothSides) {
  // 52 N 15 E lies on the central meridian of zone 33: easting 500 km.
  GeoCoordPoint p(
      wgs84_.get(), 52.0, 15.0, 100.0, kGeoFormGeodetic | kGeoHasAll, nullptr);
  GeoCoordPoint in_mm, back;
  ASSERT_TRUE(
      p.Convert(in_mm, utm_.get(), kGeoFormPlane, mm_.get(), nullptr, kBest));
  EXPECT_NEAR(in_mm.m_Coord[1], 500000000.0, 1e-3);
  EXPECT_NEAR(in_mm.m_Coord[2], 100000.0, 1e-6);
  ASSERT_TRUE(in_mm.Convert(back,
                            wgs84_.get(),
                            kGeoFormGeodetic,
                            collinear::MetricUnit::Create(1.0).get(),
                            nullptr,
                            kBest));
  EXPECT_NEAR(back.m_Coord[0], 52.0, 1e-10);
  EXPECT_NEAR(back.m_Coord[1], 15.0, 1e-10);
  EXPECT_NEAR(back.m_Coord[2], 100.0, 1e-6);

  GeoCoordPoint bad;
  EXPECT_FALSE(p.Convert(bad,
                         utm_.get(),
                         kGeoFormPlane,
                         collinear::MetricUnit::Create(0.0).get(),
                         nullptr,
                         kBest));
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoBadUnit);
}

// A host point with two vertices, the second without height.
class TwoVertexPoint
    : public collinear::GeoUnknown<IGeoCoordPoint, IID_IGeoCoordPoint> {
 public:
  explicit TwoVertexPoint(IGeoCoordSystem* s) : system_(s) {}
  HRESULT GetPosition(unsigned long selector,
                      double* coords,
                      unsigned long* flags,
                      unsigned long* angular_unit,
                      IGeoCoordSystem** system,
                      IMetricUnit** unit) override {
    *system = ComPtr<IGeoCoordSystem>(system_).detach();
    *unit = nullptr;
    *angular_unit = collinear::kGeoDegree;
    const bool last = selector == collinear::kGeoLastVertex || selector == 1;
    const bool first = selector == collinear::kGeoFirstVertex || selector == 0;
    if (!first && !last) {
      *flags = 0;
      return S_FALSE;
    }
    coords[0] = last ? 53.0 : 52.0;
    coords[1] = 15.0;
    coords[2] = 7.0;
    *flags =
        kGeoFormGeodetic | (last ? kGeoHasFirst | kGeoHasSecond : kGeoHasAll);
    return S_OK;
  }

 private:
  ComPtr<IGeoCoordSystem> system_;
};

TEST_F(GeoCoordPointTest, ReadsTheSelectedVertexOfAHostPoint) {
  ComPtr<IGeoCoordPoint> host(new TwoVertexPoint(utm_.get()));
  GeoCoordPoint first(host.get(), collinear::kGeoFirstVertex);
  EXPECT_EQ(first.m_Coord[0], 52.0);
  EXPECT_TRUE(first.HasAll());
  EXPECT_EQ(first.m_System.get(), utm_.get());
  GeoCoordPoint last(host.get(), collinear::kGeoLastVertex);
  EXPECT_EQ(last.m_Coord[0], 53.0);
  EXPECT_EQ(last.m_Coord[2], kUndefined);  // its height bit is clear
  GeoCoordPoint none(host.get(), 5);
  EXPECT_EQ(none.m_Flags, 0u);
  EXPECT_EQ(none.m_System.get(), utm_.get());

  // The plane-form selector turns the geodetic position into grid
  // coordinates of the point's own system.
  GeoCoordPoint plane(host.get(), collinear::kGeoPreferPlane);
  EXPECT_EQ(plane.GetForm(), kGeoFormPlane);
  EXPECT_NEAR(plane.m_Coord[1], 500000.0, 1e-6);
  EXPECT_NEAR(plane.m_Coord[2], 7.0, 1e-9);

  GeoCoordPoint null_point(nullptr, 0);
  EXPECT_EQ(null_point.m_Flags, 0u);
  EXPECT_FALSE(null_point.m_System);
}

}  // namespace
