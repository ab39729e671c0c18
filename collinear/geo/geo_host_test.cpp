#include <collinear/geo/geo_host.h>
#include <collinear/geo/geo_test_util.h>

#include <gtest/gtest.h>

#include <collinear/calculator/host/host_catalogue.h>
#include <collinear/geo/derived_system.h>
#include <collinear/geo/proj_system.h>
#include <collinear/primitives/constants.h>

using collinear::AttachGeoSystem;
using collinear::ComPtr;
using collinear::ConvertToHostSystem;
using collinear::HostObject;
using collinear::kGeoFormGeodetic;
using collinear::kGeoFormPlane;
using collinear::kGeoGeoidHeights;
using collinear::kGeoHasAll;
using collinear::test_support::SystemObject;

namespace {

constexpr unsigned long kBest = collinear::kGeoBestOperation;
constexpr double kTolM = 1e-6;     // metres after conversions there and back
constexpr double kTolDeg = 1e-10;  // degrees, about 10 micrometres

// A reference standing for `proper`, answering as its system does.
ComPtr<HostObject> Reference(HostObject* proper, int flag) {
  ComPtr<HostObject> r = SystemObject(collinear::QueryGeoSystem(proper).get(),
                                      &collinear::kGeoReferenceClass);
  r->SetObject(collinear::kGeoPropStandsFor, proper)
      .SetInt32(collinear::kGeoPropRefFlag, flag);
  return r;
}

GeoCoordPoint PointIn(
    IPropertyObject* system, double a, double b, double c, unsigned long form) {
  return GeoCoordPoint(collinear::QueryGeoSystem(system).get(),
                       a,
                       b,
                       c,
                       form | kGeoHasAll,
                       nullptr);
}

bool IsOn(const GeoCoordPoint& g, IPropertyObject* system) {
  ComPtr<IPropertyObject> host =
      ComPtr<IPropertyObject>::Query(g.m_System.get(), IID_IPropertyObject);
  return host.get() == system;
}

class GeoHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    collinear::GeoClearError();
    const double shift[3] = {5761000.0, 499000.0, 0.0};
    const double angles[3] = {0.0, 0.0, 0.3};
    local_impl_ = collinear::DerivedCoordSystem::CreateSimilarity(
        utm_impl_.get(), shift, angles, 1.0);
    local_ = SystemObject(local_impl_.get(), &collinear::kGeoDerivedClass);
    const double shift2[3] = {5762000.0, 498000.0, 0.0};
    local2_ = SystemObject(collinear::DerivedCoordSystem::CreateSimilarity(
                               utm_impl_.get(), shift2, nullptr, 1.0)
                               .get(),
                           &collinear::kGeoDerivedClass);
  }
  // The reference answer: the library's own conversion between the bare
  // systems.
  GeoCoordPoint Direct(const GeoCoordPoint& g,
                       IGeoCoordSystem* target,
                       unsigned long form) {
    GeoCoordPoint out;
    EXPECT_TRUE(g.Convert(out, target, form, nullptr, nullptr, kBest));
    return out;
  }

  ComPtr<collinear::ProjCoordSystem> utm_impl_ =
      collinear::ProjCoordSystem::Create("EPSG:32633");
  ComPtr<collinear::ProjCoordSystem> wgs84_impl_ =
      collinear::ProjCoordSystem::Create("EPSG:4326");
  ComPtr<collinear::DerivedCoordSystem> local_impl_;
  ComPtr<HostObject> utm_ = SystemObject(utm_impl_.get());
  ComPtr<HostObject> wgs84_ = SystemObject(wgs84_impl_.get());
  ComPtr<HostObject> local_, local2_;
  ComPtr<HostObject> point_system_ = HostObject::Create();
};

TEST_F(GeoHostTest, PlainSystemsConvertAndUnitsOnlyWhenSame) {
  GeoCoordPoint g = PointIn(wgs84_.get(), 52.0, 15.0, 100.0, kGeoFormGeodetic);
  const GeoCoordPoint expected = Direct(g, utm_impl_.get(), kGeoFormPlane);
  ConvertToHostSystem(g,
                      utm_.get(),
                      kGeoFormPlane | kGeoGeoidHeights,
                      nullptr,
                      point_system_.get(),
                      nullptr);
  ASSERT_TRUE(g.HasAll());
  EXPECT_TRUE(IsOn(g, utm_.get()));
  EXPECT_NEAR(g.m_Coord[0], expected.m_Coord[0], kTolM);
  EXPECT_NEAR(g.m_Coord[1], expected.m_Coord[1], kTolM);

  const ComPtr<IMetricUnit> mm = collinear::MetricUnit::Create(0.001);
  GeoCoordPoint same =
      PointIn(wgs84_.get(), 52.0, 15.0, 100.0, kGeoFormGeodetic);
  ConvertToHostSystem(same,
                      wgs84_.get(),
                      kGeoFormPlane | collinear::kGeoUnitsOnly,
                      mm.get(),
                      point_system_.get(),
                      nullptr);
  EXPECT_EQ(same.GetForm(), kGeoFormGeodetic);  // no form change
  EXPECT_EQ(same.m_Coord[0], 52.0);
  EXPECT_DOUBLE_EQ(same.m_Coord[2], 100000.0);
}

TEST_F(GeoHostTest, ReferenceFlagChoosesBetweenBaseAndReferent) {
  // Grid coordinates stored under a reference to WGS84: with the flag clear
  // they are read in the point's base system (UTM), with it set in WGS84.
  point_system_->SetObject(collinear::kGeoPropBaseSystem, utm_.get());
  for (int flag : {0, 1}) {
    SCOPED_TRACE(flag);
    ComPtr<HostObject> ref = Reference(wgs84_.get(), flag);
    point_system_->SetObject(collinear::kGeoPropRefSystem, ref.get());
    GeoCoordPoint g =
        flag ? PointIn(ref.get(), 52.0, 15.0, 10.0, kGeoFormGeodetic)
             : PointIn(ref.get(), 5761038.2, 500000.0, 10.0, kGeoFormPlane);
    ConvertToHostSystem(g,
                        wgs84_.get(),
                        kGeoFormGeodetic,
                        nullptr,
                        point_system_.get(),
                        nullptr);
    ASSERT_TRUE(g.HasAll()) << collinear::GeoLastErrorText();
    EXPECT_NEAR(g.m_Coord[0], 52.0, 1e-6);
    EXPECT_NEAR(g.m_Coord[1], 15.0, 1e-9);

    // Refusing references leaves the set flag's case empty; the clear
    // flag's case is no longer a reference once it is in the base.
    GeoCoordPoint refused =
        flag ? PointIn(ref.get(), 52.0, 15.0, 10.0, kGeoFormGeodetic)
             : PointIn(ref.get(), 5761038.2, 500000.0, 10.0, kGeoFormPlane);
    ConvertToHostSystem(refused,
                        wgs84_.get(),
                        kGeoFormGeodetic | collinear::kGeoRefuseReference,
                        nullptr,
                        point_system_.get(),
                        nullptr);
    EXPECT_EQ(refused.HasAll(), flag == 0);
  }
}

TEST_F(GeoHostTest, ReferenceToDerivedTargetIsResolved) {
  ComPtr<HostObject> ref = Reference(local_.get(), 1);
  GeoCoordPoint g =
      PointIn(utm_.get(), 5761100.0, 499200.0, 30.0, kGeoFormPlane);
  const GeoCoordPoint expected = Direct(g, local_impl_.get(), kGeoFormPlane);
  ConvertToHostSystem(g,
                      ref.get(),
                      kGeoFormPlane | kGeoGeoidHeights,
                      nullptr,
                      point_system_.get(),
                      nullptr);
  ASSERT_TRUE(g.HasAll());
  EXPECT_TRUE(IsOn(g, local_.get()));  // the derived system, not the reference
  for (int k = 0; k < 3; ++k)
    EXPECT_NEAR(g.m_Coord[k], expected.m_Coord[k], kTolM);
  EXPECT_TRUE(g.m_Flags & kGeoGeoidHeights);
}

TEST_F(GeoHostTest, BetweenDerivedSystemsOnlyTheLabelChanges) {
  GeoCoordPoint g = PointIn(local_.get(), 1.0, 2.0, 3.0, kGeoFormPlane);
  ConvertToHostSystem(
      g, local2_.get(), kGeoFormPlane, nullptr, point_system_.get(), nullptr);
  EXPECT_TRUE(IsOn(g, local2_.get()));
  EXPECT_EQ(g.m_Coord[0], 1.0);
  EXPECT_EQ(g.m_Coord[1], 2.0);
  EXPECT_EQ(g.m_Coord[2], 3.0);
}

TEST_F(GeoHostTest, RefusalBitsGiveTheEmptyPoint) {
  const ComPtr<IMetricUnit> mm = collinear::MetricUnit::Create(0.001);
  GeoCoordPoint g = PointIn(local_.get(), 1.0, 2.0, 3.0, kGeoFormPlane);
  ConvertToHostSystem(g,
                      utm_.get(),
                      kGeoFormPlane | collinear::kGeoRefuseDerived,
                      mm.get(),
                      point_system_.get(),
                      nullptr);
  EXPECT_EQ(g.m_Flags, kGeoFormPlane);
  EXPECT_TRUE(IsOn(g, utm_.get()));
  EXPECT_EQ(g.m_Unit.get(), mm.get());
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoRefused);

  // Without the bit the local point reaches the grid and comes back.
  GeoCoordPoint there = PointIn(local_.get(), 1.0, 2.0, 3.0, kGeoFormPlane);
  ConvertToHostSystem(
      there, utm_.get(), kGeoFormPlane, nullptr, point_system_.get(), nullptr);
  ASSERT_TRUE(there.HasAll());
  ConvertToHostSystem(there,
                      local_.get(),
                      kGeoFormPlane,
                      nullptr,
                      point_system_.get(),
                      nullptr);
  EXPECT_NEAR(there.m_Coord[0], 1.0, kTolM);
  EXPECT_NEAR(there.m_Coord[1], 2.0, kTolM);
  EXPECT_NEAR(there.m_Coord[2], 3.0, kTolM);
}

TEST_F(GeoHostTest, PointWithoutSystemIsReadInTheBaseSystem) {
  GeoCoordPoint g(
      nullptr, 5761038.2, 500000.0, 10.0, kGeoFormPlane | kGeoHasAll, nullptr);
  GeoCoordPoint no_base = g;
  ConvertToHostSystem(no_base,
                      wgs84_.get(),
                      kGeoFormGeodetic,
                      nullptr,
                      point_system_.get(),
                      nullptr);
  EXPECT_FALSE(no_base.HasAll());

  point_system_->SetObject(collinear::kGeoPropBaseSystem, utm_.get());
  ConvertToHostSystem(
      g, wgs84_.get(), kGeoFormGeodetic, nullptr, point_system_.get(), nullptr);
  ASSERT_TRUE(g.HasAll());
  EXPECT_NEAR(g.m_Coord[0], 52.0, 1e-6);
  EXPECT_NEAR(g.m_Coord[1], 15.0, kTolDeg);
}

TEST_F(GeoHostTest, MissingTargetEndsWithTheEmptyPoint) {
  for (bool with_base : {false, true}) {
    SCOPED_TRACE(with_base);
    collinear::GeoClearError();
    if (with_base)
      point_system_->SetObject(collinear::kGeoPropBaseSystem, utm_.get());
    GeoCoordPoint g = PointIn(wgs84_.get(), 52.0, 15.0, 1.0, kGeoFormGeodetic);
    ConvertToHostSystem(
        g, nullptr, kGeoFormPlane, nullptr, point_system_.get(), nullptr);
    EXPECT_FALSE(g.HasAll());
    EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoNullObject);
  }
}

TEST_F(GeoHostTest, SystemsThatLeadInACircleEndWithTheEmptyPoint) {
  // The point's base is a reference that is itself to be read in the base.
  ComPtr<HostObject> ref = Reference(wgs84_.get(), 0);
  point_system_->SetObject(collinear::kGeoPropBaseSystem, ref.get())
      .SetObject(collinear::kGeoPropRefSystem, ref.get());
  GeoCoordPoint g = PointIn(ref.get(), 52.0, 15.0, 1.0, kGeoFormGeodetic);
  ConvertToHostSystem(
      g, utm_.get(), kGeoFormPlane, nullptr, point_system_.get(), nullptr);
  EXPECT_FALSE(g.HasAll());
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoTooDeep);
}

TEST_F(GeoHostTest, GeoidSourceComesBeforeThePointsOwn) {
  ComPtr<HostObject> own = HostObject::Create(), given = HostObject::Create();
  collinear::AttachGeoid(*own, collinear::ConstantGeoid::Create(40.0).get());
  collinear::AttachGeoid(*given, collinear::ConstantGeoid::Create(30.0).get());
  point_system_->SetObject(collinear::kGeoPropGeoid, own.get());
  struct Case {
    IPropertyObject* source;
    unsigned long extra_mode;
    double height;
  };
  const Case cases[] = {
      {given.get(), 0, 70.0},
      {nullptr, 0, 60.0},
      {nullptr, collinear::kGeoUnitsOnly, 100.0},  // the point's geoid unused
  };
  for (const Case& c : cases) {
    GeoCoordPoint g =
        PointIn(wgs84_.get(), 52.0, 15.0, 100.0, kGeoFormGeodetic);
    ConvertToHostSystem(g,
                        utm_.get(),
                        kGeoFormPlane | kGeoGeoidHeights | c.extra_mode,
                        nullptr,
                        point_system_.get(),
                        c.source);
    ASSERT_TRUE(g.HasAll());
    EXPECT_NEAR(g.m_Coord[2], c.height, kTolM);
  }
}

TEST_F(GeoHostTest, LocalSystemsCarryHeightsThroughWithoutGeoid) {
  ComPtr<HostObject> geoid = HostObject::Create();
  collinear::AttachGeoid(*geoid, collinear::ConstantGeoid::Create(40.0).get());
  GeoCoordPoint g(collinear::QueryGeoSystem(utm_.get()).get(),
                  5761100.0,
                  499200.0,
                  60.0,
                  kGeoFormPlane | kGeoHasAll | kGeoGeoidHeights,
                  nullptr);
  ConvertToHostSystem(g,
                      local_.get(),
                      kGeoFormPlane | kGeoGeoidHeights,
                      nullptr,
                      point_system_.get(),
                      geoid.get());
  ASSERT_TRUE(g.HasAll());
  EXPECT_NEAR(g.m_Coord[2], 100.0, kTolM);  // ellipsoidal in the local system
  ConvertToHostSystem(g,
                      utm_.get(),
                      kGeoFormPlane | kGeoGeoidHeights,
                      nullptr,
                      point_system_.get(),
                      geoid.get());
  EXPECT_NEAR(g.m_Coord[0], 5761100.0, kTolM);
  EXPECT_NEAR(g.m_Coord[2], 60.0, kTolM);
}

TEST(GeoHostCatalogue, FindsWgs84OrReportsItsAbsence) {
  collinear::GeoClearError();
  EXPECT_FALSE(collinear::FindCatalogueSystem(collinear::kGeoWgs84Key));
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoNoCatalogue);

  ComPtr<collinear::HostObjectSet> catalogue =
      collinear::HostObjectSet::Create();
  ComPtr<HostObject> wgs84 = HostObject::Create();
  wgs84->SetString(1, "WGS84");
  catalogue->Add(wgs84.get());
  collinear::HostCatalogue::Register(collinear::kGeoCatalogueClass,
                                     catalogue.get());
  EXPECT_EQ(collinear::FindCatalogueSystem("WGS84").get(), wgs84.get());
  collinear::GeoClearError();
  EXPECT_FALSE(collinear::FindCatalogueSystem("ETRS89"));
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoNoCatalogue);
  collinear::HostCatalogue::Unregister(collinear::kGeoCatalogueClass);
}

TEST(GeoPointData, SelectsVertices) {
  ComPtr<collinear::GeoPointData> data =
      collinear::GeoPointData::Create(nullptr);
  data->AddVertex(1, 2, 3, kGeoFormPlane | kGeoHasAll)
      .AddVertex(4, 5, 6, kGeoFormPlane | kGeoHasAll)
      .AddVertex(7, 8, 9, kGeoFormPlane | kGeoHasAll);
  const struct {
    unsigned long selector;
    double first;
  } cases[] = {{0, 1},
               {2, 7},
               {collinear::kGeoFirstVertex, 1},
               {collinear::kGeoLastVertex, 7}};
  for (const auto& c : cases) {
    GeoCoordPoint g(data.get(), c.selector);
    EXPECT_EQ(g.m_Coord[0], c.first) << c.selector;
  }
  EXPECT_EQ(GeoCoordPoint(data.get(), 3).m_Flags, 0u);
}

}  // namespace
