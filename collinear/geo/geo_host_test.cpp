#include <collinear/geo/geo_host.h>

#include <gtest/gtest.h>

#include <collinear/calculator/host/host_catalogue.h>
#include <collinear/geo/derived_system.h>
#include <collinear/geo/geo_test_util.h>

namespace collinear {
namespace {

using test_support::FullPoint;
using test_support::SystemObject;

constexpr double kTolM = 1e-6;  // metres after conversions there and back

// Host systems: UTM, WGS84, two local systems on UTM (the first turned by
// 0.3 rad), and the coordinate-system object of the points.
class GeoHostTest : public test_support::GeoTest {
 protected:
  void SetUp() override {
    GeoTest::SetUp();
    const double shift[3] = {5761000.0, 499000.0, 0.0}, turn[3] = {0, 0, 0.3};
    const double shift2[3] = {5762000.0, 498000.0, 0.0};
    local_impl_ =
        DerivedCoordSystem::CreateSimilarity(utm_.get(), shift, turn, 1.0);
    local_ = SystemObject(local_impl_.get(), &kGeoDerivedClass);
    local2_ = SystemObject(
        DerivedCoordSystem::CreateSimilarity(utm_.get(), shift2, nullptr, 1.0)
            .get(),
        &kGeoDerivedClass);
  }
  // A reference standing for `proper`, answering as its system does.
  static ComPtr<HostObject> Reference(HostObject* proper, int flag) {
    ComPtr<HostObject> r =
        SystemObject(QueryGeoSystem(proper).get(), &kGeoReferenceClass);
    r->SetObject(kGeoPropStandsFor, proper).SetInt32(kGeoPropRefFlag, flag);
    return r;
  }
  static GeoCoordPoint In(IPropertyObject* system,
                          double a,
                          double b,
                          double c,
                          unsigned long form = kGeoFormPlane) {
    return FullPoint(QueryGeoSystem(system).get(), a, b, c, form);
  }
  // g converted into target for a point of point_system_.
  void Host(GeoCoordPoint& g,
            IPropertyObject* target,
            unsigned long mode,
            IPropertyObject* geoid_source = nullptr,
            IMetricUnit* unit = nullptr) {
    ConvertToHostSystem(g, target, mode, unit, point_.get(), geoid_source);
  }
  static bool IsOn(const GeoCoordPoint& g, IPropertyObject* system) {
    return ComPtr<IPropertyObject>::Query(g.m_System.get(), IID_IPropertyObject)
               .get() == system;
  }

  ComPtr<DerivedCoordSystem> local_impl_;
  ComPtr<HostObject> utm_host_ = SystemObject(utm_.get());
  ComPtr<HostObject> wgs84_host_ = SystemObject(wgs84_.get());
  ComPtr<HostObject> local_, local2_;
  ComPtr<HostObject> point_ = HostObject::Create();
};

TEST_F(GeoHostTest, PlainAndDerivedSystemsConvertAsTheirSystemsDo) {
  // The reference answers: the library's own conversions between the bare
  // systems.
  GeoCoordPoint g = In(wgs84_host_.get(), 52.0, 15.0, 100.0, kGeoFormGeodetic);
  GeoCoordPoint expected;
  ASSERT_TRUE(To(g, utm_.get(), kGeoFormPlane, expected));
  Host(g, utm_host_.get(), kGeoFormPlane | kGeoGeoidHeights);
  ASSERT_TRUE(g.HasAll());
  EXPECT_TRUE(IsOn(g, utm_host_.get()));
  EXPECT_NEAR(g.m_Coord[0], expected.m_Coord[0], kTolM);
  EXPECT_NEAR(g.m_Coord[1], expected.m_Coord[1], kTolM);

  // A reference to a derived target resolves to the derived system.
  ComPtr<HostObject> ref = Reference(local_.get(), 1);
  g = In(utm_host_.get(), 5761100.0, 499200.0, 30.0);
  ASSERT_TRUE(To(g, local_impl_.get(), kGeoFormPlane, expected));
  Host(g, ref.get(), kGeoFormPlane | kGeoGeoidHeights);
  ASSERT_TRUE(g.HasAll());
  EXPECT_TRUE(IsOn(g, local_.get()));
  for (int k = 0; k < 3; ++k)
    EXPECT_NEAR(g.m_Coord[k], expected.m_Coord[k], kTolM);
  EXPECT_TRUE(g.m_Flags & kGeoGeoidHeights);
  // ... and back to the grid.
  Host(g, utm_host_.get(), kGeoFormPlane);
  EXPECT_NEAR(g.m_Coord[1], 499200.0, kTolM);
  EXPECT_NEAR(g.m_Coord[2], 30.0, kTolM);

  // Between derived systems only the label changes; in the same system
  // with kGeoUnitsOnly only the unit.
  g = In(local_.get(), 1.0, 2.0, 3.0);
  Host(g, local2_.get(), kGeoFormPlane);
  EXPECT_TRUE(IsOn(g, local2_.get()));
  EXPECT_EQ(g.GetCoord(0, nullptr), TAbstractPoint3<double>(1, 2, 3));
  g = In(wgs84_host_.get(), 52.0, 15.0, 100.0, kGeoFormGeodetic);
  Host(g, wgs84_host_.get(), kGeoFormPlane | kGeoUnitsOnly, nullptr, mm_.get());
  EXPECT_EQ(g.GetForm(), kGeoFormGeodetic);
  EXPECT_EQ(g.GetCoord(0, nullptr), TAbstractPoint3<double>(52, 15, 100000));
}

TEST_F(GeoHostTest, ReferenceFlagChoosesBetweenBaseAndReferent) {
  // Grid coordinates stored under a reference to WGS84: with the flag clear
  // they are read in the point's base system (UTM), with it set in WGS84.
  // Refusing references leaves the set flag's case empty; the clear flag's
  // case is no longer a reference once it is in the base.
  point_->SetObject(kGeoPropBaseSystem, utm_host_.get());
  for (int flag : {0, 1}) {
    for (unsigned long refuse : {0ul, kGeoRefuseReference}) {
      SCOPED_TRACE(testing::Message() << flag << " " << refuse);
      ComPtr<HostObject> ref = Reference(wgs84_host_.get(), flag);
      point_->SetObject(kGeoPropRefSystem, ref.get());
      GeoCoordPoint g =
          flag ? In(ref.get(), 52.0, 15.0, 10.0, kGeoFormGeodetic)
               : In(ref.get(), 5761038.2, 500000.0, 10.0, kGeoFormPlane);
      Host(g, wgs84_host_.get(), kGeoFormGeodetic | refuse);
      ASSERT_EQ(g.HasAll(), flag == 0 || refuse == 0);
      if (!g.HasAll()) continue;
      EXPECT_NEAR(g.m_Coord[0], 52.0, 1e-6);
      EXPECT_NEAR(g.m_Coord[1], 15.0, 1e-9);
    }
  }
}

TEST_F(GeoHostTest, RefusedMissingOrCircularEndWithTheEmptyPoint) {
  GeoCoordPoint g = In(local_.get(), 1.0, 2.0, 3.0);
  Host(g,
       utm_host_.get(),
       kGeoFormPlane | kGeoRefuseDerived,
       nullptr,
       mm_.get());
  EXPECT_EQ(g.m_Flags, kGeoFormPlane);
  EXPECT_TRUE(IsOn(g, utm_host_.get()));
  EXPECT_EQ(g.m_Unit.get(), mm_.get());
  EXPECT_EQ(GeoLastError(), kGeoRefused);

  // A point without system is read in the base system, if there is one.
  const GeoCoordPoint no_system = FullPoint(nullptr, 5761038.2, 500000.0, 10);
  GeoCoordPoint no_base = no_system;
  Host(no_base, wgs84_host_.get(), kGeoFormGeodetic);
  EXPECT_FALSE(no_base.HasAll());
  for (bool with_base : {false, true}) {
    SCOPED_TRACE(with_base);
    GeoClearError();
    if (with_base) point_->SetObject(kGeoPropBaseSystem, utm_host_.get());
    g = In(wgs84_host_.get(), 52.0, 15.0, 1.0, kGeoFormGeodetic);
    Host(g, nullptr, kGeoFormPlane);
    EXPECT_FALSE(g.HasAll());
    EXPECT_EQ(GeoLastError(), kGeoNullObject);
  }
  g = no_system;
  Host(g, wgs84_host_.get(), kGeoFormGeodetic);
  ASSERT_TRUE(g.HasAll());
  EXPECT_NEAR(g.m_Coord[0], 52.0, 1e-6);
  EXPECT_NEAR(g.m_Coord[1], 15.0, 1e-10);

  // The point's base is a reference that is itself to be read in the base.
  GeoClearError();
  ComPtr<HostObject> ref = Reference(wgs84_host_.get(), 0);
  point_->SetObject(kGeoPropBaseSystem, ref.get())
      .SetObject(kGeoPropRefSystem, ref.get());
  g = In(ref.get(), 52.0, 15.0, 1.0, kGeoFormGeodetic);
  Host(g, utm_host_.get(), kGeoFormPlane);
  EXPECT_FALSE(g.HasAll());
  EXPECT_EQ(GeoLastError(), kGeoTooDeep);
}

TEST_F(GeoHostTest, GeoidSourceComesBeforeThePointsOwn) {
  ComPtr<HostObject> own = HostObject::Create(), given = HostObject::Create();
  AttachGeoid(*own, ConstantGeoid::Create(40.0).get());
  AttachGeoid(*given, ConstantGeoid::Create(30.0).get());
  point_->SetObject(kGeoPropGeoid, own.get());
  const struct {
    IPropertyObject* source;
    unsigned long extra_mode;
    double height;
  } cases[] = {
      {given.get(), 0, 70.0},
      {nullptr, 0, 60.0},
      {nullptr, kGeoUnitsOnly, 100.0},  // the point's geoid unused
  };
  for (const auto& c : cases) {
    GeoCoordPoint g = In(wgs84_host_.get(), 52, 15, 100, kGeoFormGeodetic);
    Host(g,
         utm_host_.get(),
         kGeoFormPlane | kGeoGeoidHeights | c.extra_mode,
         c.source);
    ASSERT_TRUE(g.HasAll());
    EXPECT_NEAR(g.m_Coord[2], c.height, kTolM);
  }

  // Local systems carry heights through without a geoid: above the geoid
  // in the grid, above the ellipsoid in the local system.
  GeoCoordPoint g = In(utm_host_.get(), 5761100.0, 499200.0, 60.0);
  g.m_Flags |= kGeoGeoidHeights;
  Host(g, local_.get(), kGeoFormPlane | kGeoGeoidHeights, own.get());
  ASSERT_TRUE(g.HasAll());
  EXPECT_NEAR(g.m_Coord[2], 100.0, kTolM);
  Host(g, utm_host_.get(), kGeoFormPlane | kGeoGeoidHeights, own.get());
  EXPECT_NEAR(g.m_Coord[0], 5761100.0, kTolM);
  EXPECT_NEAR(g.m_Coord[2], 60.0, kTolM);
}

TEST(GeoHostCatalogue, FindsWgs84OrReportsItsAbsence) {
  GeoClearError();
  EXPECT_FALSE(FindCatalogueSystem(kGeoWgs84Key));
  EXPECT_EQ(GeoLastError(), kGeoNoCatalogue);
  ComPtr<HostObjectSet> catalogue = HostObjectSet::Create();
  ComPtr<HostObject> wgs84 = HostObject::Create();
  wgs84->SetString(1, "WGS84");
  catalogue->Add(wgs84.get());
  HostCatalogue::Register(kGeoCatalogueClass, catalogue.get());
  EXPECT_EQ(FindCatalogueSystem("WGS84").get(), wgs84.get());
  GeoClearError();
  EXPECT_FALSE(FindCatalogueSystem("ETRS89"));
  EXPECT_EQ(GeoLastError(), kGeoNoCatalogue);
  HostCatalogue::Unregister(kGeoCatalogueClass);
}

}  // namespace
}  // namespace collinear
