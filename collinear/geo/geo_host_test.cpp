#include <collinear/geo/geo_host.h>

#include <gtest/gtest.h>

#include <collinear/calculator/host/host_catalogue.h>
#include <collinear/geo/derived_system.h>
#include <collinear/geo/geo_test_util.h>

namespace collinear {
namespace {

using test_support::FullPoint;
using test_support::Off;
using test_support::SystemObject;

using P3 = TAbstractPoint3<double>;

constexpr double kTolM = 1e-6;  // metres after conversions there and back

// Host systems: UTM, WGS84, two local systems on UTM (the first turned by
// 0.3 rad), and the coordinate-system object of the points.
class GeoHostTest : public test_support::GeoTest {
 protected:
  void SetUp() override {
    GeoTest::SetUp();
    const double shift[3] = {5761000, 499000, 0}, turn[3] = {0, 0, 0.3};
    const double shift2[3] = {5762000, 498000, 0};
    IGeoCoordSystem* utm = utm_.get();
    local_impl_ = DerivedCoordSystem::CreateSimilarity(utm, shift, turn, 1);
    local_ = SystemObject(local_impl_.get(), &kGeoDerivedClass);
    ComPtr<DerivedCoordSystem> local2 =
        DerivedCoordSystem::CreateSimilarity(utm, shift2, nullptr, 1);
    local2_ = SystemObject(local2.get(), &kGeoDerivedClass);
  }
  // A reference standing for `proper`, answering as its system does.
  static ComPtr<HostObject> Reference(HostObject* proper, int flag) {
    ComPtr<HostObject> r =
        SystemObject(QueryGeoSystem(proper).get(), &kGeoReferenceClass);
    r->SetObject(kGeoPropStandsFor, proper).SetInt32(kGeoPropRefFlag, flag);
    return r;
  }
  static GeoCoordPoint In(IPropertyObject* system,
                          const P3& v,
                          unsigned long form = kGeoFormPlane) {
    return FullPoint(QueryGeoSystem(system).get(), v.x, v.y, v.z, form);
  }
  // g converted into target for the point point_; its coordinates then
  // (kUndefined where it has none).
  P3 Host(GeoCoordPoint& g,
          IPropertyObject* target,
          unsigned long mode,
          IPropertyObject* geoid = nullptr,
          IMetricUnit* unit = nullptr) {
    ConvertToHostSystem(g, target, mode, unit, point_.get(), geoid);
    return g.GetCoord(0, nullptr);
  }
  GeoCoordPoint OnWgs(double lat, double lon, double h) const {
    return In(geographic_, {lat, lon, h}, kGeoFormGeodetic);
  }
  static double Dist(const P3& a, const P3& b) { return (a - b).Module(); }
  static bool IsOn(const GeoCoordPoint& g, IPropertyObject* system) {
    return ComPtr<IPropertyObject>::Query(g.m_System.get(), IID_IPropertyObject)
               .get() == system;
  }

  ComPtr<DerivedCoordSystem> local_impl_;
  ComPtr<HostObject> utm_host_ = SystemObject(utm_.get());
  ComPtr<HostObject> wgs84_host_ = SystemObject(wgs84_.get());
  HostObject *grid_ = utm_host_.get(), *geographic_ = wgs84_host_.get();
  ComPtr<HostObject> local_, local2_;
  ComPtr<HostObject> point_ = HostObject::Create();
};

TEST_F(GeoHostTest, PlainAndDerivedSystemsConvertAsTheirSystemsDo) {
  // The reference answers: the library's own conversions between the bare
  // systems.
  GeoCoordPoint g = OnWgs(52.0, 15.0, 100.0), expected;
  ASSERT_TRUE(To(g, utm_.get(), kGeoFormPlane, expected));
  Host(g, grid_, kGeoFormPlane | kGeoGeoidHeights);
  ASSERT_TRUE(g.HasAll() && IsOn(g, grid_));
  EXPECT_LT(Off(g.m_Coord, {expected.m_Coord[0], expected.m_Coord[1]}), kTolM);

  // A reference to a derived target resolves to the derived system.
  ComPtr<HostObject> ref = Reference(local_.get(), 1);
  g = In(grid_, {5761100.0, 499200.0, 30.0});
  ASSERT_TRUE(To(g, local_impl_.get(), kGeoFormPlane, expected));
  EXPECT_LT(Dist(Host(g, ref.get(), kGeoFormPlane | kGeoGeoidHeights),
                 expected.GetCoord(0, nullptr)),
            kTolM);
  EXPECT_TRUE(IsOn(g, local_.get()) && (g.m_Flags & kGeoGeoidHeights));

  // Between derived systems only the label changes; in the same system
  // with kGeoUnitsOnly only the unit.
  g = In(local_.get(), {1.0, 2.0, 3.0});
  EXPECT_EQ(Host(g, local2_.get(), kGeoFormPlane), P3(1, 2, 3));
  EXPECT_TRUE(IsOn(g, local2_.get()));
  g = OnWgs(52.0, 15.0, 100.0);
  const unsigned long kUnits = kGeoFormPlane | kGeoUnitsOnly;
  EXPECT_EQ(Host(g, geographic_, kUnits, nullptr, mm_.get()), P3(52, 15, 1e5));
  EXPECT_EQ(g.GetForm(), kGeoFormGeodetic);
}

TEST_F(GeoHostTest, ReferenceFlagChoosesBetweenBaseAndReferent) {
  // Grid coordinates stored under a reference to WGS84: with the flag clear
  // they are read in the point's base system (UTM), with it set in WGS84.
  // Refusing references leaves the set flag's case empty; the clear flag's
  // case is no longer a reference once it is in the base.
  point_->SetObject(kGeoPropBaseSystem, grid_);
  for (int flag : {0, 1}) {
    for (unsigned long refuse : {0ul, kGeoRefuseReference}) {
      SCOPED_TRACE(testing::Message() << flag << " " << refuse);
      ComPtr<HostObject> ref = Reference(geographic_, flag);
      point_->SetObject(kGeoPropRefSystem, ref.get());
      GeoCoordPoint g =
          flag ? In(ref.get(), {52.0, 15.0, 10.0}, kGeoFormGeodetic)
               : In(ref.get(), {5761038.2, 500000.0, 10.0}, kGeoFormPlane);
      Host(g, geographic_, kGeoFormGeodetic | refuse);
      ASSERT_EQ(g.HasAll(), flag == 0 || refuse == 0);
      EXPECT_LT(g.HasAll() ? Off(g.m_Coord, {52.0, 15.0}) : 0.0, 1e-6);
    }
  }
}

TEST_F(GeoHostTest, RefusedMissingOrCircularEndWithTheEmptyPoint) {
  GeoCoordPoint g = In(local_.get(), {1.0, 2.0, 3.0});
  Host(g, grid_, kGeoFormPlane | kGeoRefuseDerived, nullptr, mm_.get());
  EXPECT_EQ(g.m_Flags, kGeoFormPlane);
  EXPECT_TRUE(IsOn(g, grid_) && g.m_Unit.get() == mm_.get());
  EXPECT_EQ(GeoLastError(), kGeoRefused);

  // A point without system is read in the base system, if there is one; a
  // null target fails either way.
  const GeoCoordPoint no_system = FullPoint(nullptr, 5761038.2, 500000.0, 10);
  for (bool with_base : {false, true}) {
    SCOPED_TRACE(with_base);
    GeoClearError();
    if (with_base) point_->SetObject(kGeoPropBaseSystem, grid_);
    g = OnWgs(52.0, 15.0, 1.0);
    Host(g, nullptr, kGeoFormPlane);
    EXPECT_FALSE(g.HasAll());
    EXPECT_EQ(GeoLastError(), kGeoNullObject);
    g = no_system;
    Host(g, geographic_, kGeoFormGeodetic);
    ASSERT_EQ(g.HasAll(), with_base);
    EXPECT_LT(with_base ? Off(g.m_Coord, {52.0, 15.0}) : 0.0, 1e-6);
  }

  // The point's base is a reference that is itself to be read in the base.
  GeoClearError();
  ComPtr<HostObject> ref = Reference(geographic_, 0);
  point_->SetObject(kGeoPropBaseSystem, ref.get())
      .SetObject(kGeoPropRefSystem, ref.get());
  g = In(ref.get(), {52.0, 15.0, 1.0}, kGeoFormGeodetic);
  Host(g, grid_, kGeoFormPlane);
  EXPECT_FALSE(g.HasAll());
  EXPECT_EQ(GeoLastError(), kGeoTooDeep);
}

TEST_F(GeoHostTest, GeoidSourceComesBeforeThePointsOwn) {
  ComPtr<HostObject> own = HostObject::Create(), given = HostObject::Create();
  AttachGeoid(*own, ConstantGeoid::Create(40.0).get());
  AttachGeoid(*given, ConstantGeoid::Create(30.0).get());
  point_->SetObject(kGeoPropGeoid, own.get());
  const unsigned long kOrth = kGeoFormPlane | kGeoGeoidHeights;
  // Geoid source, extra mode, height above the geoid.
  const struct {
    IPropertyObject* source;
    unsigned long extra_mode;
    double height;
  } cases[] = {{given.get(), 0, 70.0},
               {nullptr, 0, 60.0},
               {nullptr, kGeoUnitsOnly, 100.0}};  // the point's geoid unused
  for (const auto& c : cases) {
    GeoCoordPoint g = OnWgs(52, 15, 100);
    EXPECT_NEAR(
        Host(g, grid_, kOrth | c.extra_mode, c.source).z, c.height, kTolM);
  }

  // Local systems carry heights through without a geoid: above the geoid
  // in the grid, above the ellipsoid in the local system.
  GeoCoordPoint g = In(grid_, {5761100.0, 499200.0, 60.0});
  g.m_Flags |= kGeoGeoidHeights;
  EXPECT_NEAR(Host(g, local_.get(), kOrth, own.get()).z, 100.0, kTolM);
  EXPECT_LT(Dist(Host(g, grid_, kOrth, own.get()), P3(5761100, 499200, 60)),
            kTolM);
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
