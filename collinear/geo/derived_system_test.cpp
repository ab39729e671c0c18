#include <collinear/geo/derived_system.h>

#include <random>

#include <gtest/gtest.h>

#include <collinear/geo/geo_coord.h>
#include <collinear/geo/proj_system.h>
#include <collinear/primitives/constants.h>

using collinear::ComPtr;
using collinear::DerivedCoordSystem;
using collinear::kGeoFormGeodetic;
using collinear::kGeoFormPlane;
using collinear::kGeoHasAll;
using collinear::ProjCoordSystem;

namespace {

constexpr unsigned long kBest = collinear::kGeoBestOperation;
constexpr double kTolM = 1e-6;  // metre-sized sums of kilometre coordinates

class DerivedCoordSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { collinear::GeoClearError(); }
  ComPtr<ProjCoordSystem> utm_ = ProjCoordSystem::Create("EPSG:32633");
  ComPtr<ProjCoordSystem> wgs84_ = ProjCoordSystem::Create("EPSG:4326");
};

TEST_F(DerivedCoordSystemTest, SimilarityMapsOntoTheBase) {
  // A quarter turn about the height axis and scale 2: local first axis
  // runs along base second (east).
  const double shift[3] = {5700000.0, 450000.0, 100.0};
  const double angles[3] = {0.0, 0.0, collinear::kPi / 2};
  ComPtr<DerivedCoordSystem> local =
      DerivedCoordSystem::CreateSimilarity(utm_.get(), shift, angles, 2.0);
  ASSERT_TRUE(local->IsValid());
  EXPECT_EQ(local->GetForms(), kGeoFormPlane);
  double c[3] = {1.0, 0.0, 3.0};
  ASSERT_EQ(local->LocalToBase(c), S_OK);
  EXPECT_NEAR(c[0], 5700000.0, kTolM);
  EXPECT_NEAR(c[1], 450002.0, kTolM);
  EXPECT_NEAR(c[2], 106.0, kTolM);

  GeoCoordPoint p(
      local.get(), 1.0, 0.0, 3.0, kGeoFormPlane | kGeoHasAll, nullptr);
  GeoCoordPoint in_base;
  ASSERT_TRUE(
      p.Convert(in_base, utm_.get(), kGeoFormPlane, nullptr, nullptr, kBest));
  EXPECT_NEAR(in_base.m_Coord[1], 450002.0, kTolM);
}

TEST_F(DerivedCoordSystemTest, RoundTripsThroughTheBaseAndWgs84) {
  const double shift[3] = {5761000.0, 499000.0, 80.0};
  const double angles[3] = {1e-4, -2e-4, 0.7};
  ComPtr<DerivedCoordSystem> local =
      DerivedCoordSystem::CreateSimilarity(utm_.get(), shift, angles, 1.0001);
  std::mt19937 rng(8);
  std::uniform_real_distribution<double> d(-2000.0, 2000.0);
  for (int i = 0; i < 10; ++i) {
    const double l[3] = {d(rng), d(rng), d(rng) / 20};
    GeoCoordPoint p(
        local.get(), l[0], l[1], l[2], kGeoFormPlane | kGeoHasAll, nullptr);
    GeoCoordPoint base, geodetic, back_from_base, back_from_geodetic;
    ASSERT_TRUE(
        p.Convert(base, utm_.get(), kGeoFormPlane, nullptr, nullptr, kBest));
    ASSERT_TRUE(p.Convert(
        geodetic, wgs84_.get(), kGeoFormGeodetic, nullptr, nullptr, kBest));
    ASSERT_TRUE(base.Convert(
        back_from_base, local.get(), kGeoFormPlane, nullptr, nullptr, kBest));
    ASSERT_TRUE(geodetic.Convert(back_from_geodetic,
                                 local.get(),
                                 kGeoFormGeodetic,
                                 nullptr,
                                 nullptr,
                                 kBest));
    EXPECT_EQ(back_from_geodetic.GetForm(), kGeoFormPlane);  // its only form
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(back_from_base.m_Coord[k], l[k], kTolM);
      EXPECT_NEAR(back_from_geodetic.m_Coord[k], l[k], kTolM);
    }
  }
}

TEST_F(DerivedCoordSystemTest, AffineAndChainedSystems) {
  const double first[3] = {1000.0, 0.0, 2.0};   // base N = 1000 + 2 l2
  const double second[3] = {-500.0, 3.0, 0.0};  // base E = -500 + 3 l1
  ComPtr<DerivedCoordSystem> affine =
      DerivedCoordSystem::CreateAffine(utm_.get(), first, second);
  ASSERT_TRUE(affine->IsValid());
  double c[3] = {10.0, 20.0, 5.0};
  affine->LocalToBase(c);
  EXPECT_NEAR(c[0], 1040.0, kTolM);
  EXPECT_NEAR(c[1], -470.0, kTolM);
  EXPECT_NEAR(c[2], 5.0, kTolM);
  affine->BaseToLocal(c);
  EXPECT_NEAR(c[0], 10.0, kTolM);
  EXPECT_NEAR(c[1], 20.0, kTolM);

  // A system on the affine one: conversions walk both steps.
  const double shift[3] = {1.0, 2.0, 3.0};
  ComPtr<DerivedCoordSystem> inner =
      DerivedCoordSystem::CreateSimilarity(affine.get(), shift, nullptr, 1.0);
  GeoCoordPoint p(
      inner.get(), 9.0, 18.0, 2.0, kGeoFormPlane | kGeoHasAll, nullptr);
  GeoCoordPoint out;
  ASSERT_TRUE(
      p.Convert(out, utm_.get(), kGeoFormPlane, nullptr, nullptr, kBest));
  EXPECT_NEAR(out.m_Coord[0], 1040.0, kTolM);
  EXPECT_NEAR(out.m_Coord[1], -470.0, kTolM);
  EXPECT_NEAR(out.m_Coord[2], 5.0, kTolM);

  // Between two derived systems of one base.
  ASSERT_TRUE(
      p.Convert(out, affine.get(), kGeoFormPlane, nullptr, nullptr, kBest));
  EXPECT_NEAR(out.m_Coord[0], 10.0, kTolM);
  EXPECT_NEAR(out.m_Coord[1], 20.0, kTolM);
}

TEST_F(DerivedCoordSystemTest, InvalidDefinitionsOfferNoForm) {
  const double singular_first[3] = {0.0, 1.0, 2.0};
  const double singular_second[3] = {0.0, 2.0, 4.0};
  ComPtr<DerivedCoordSystem> cases[] = {
      DerivedCoordSystem::CreateAffine(
          utm_.get(), singular_first, singular_second),
      DerivedCoordSystem::CreateSimilarity(utm_.get(), nullptr, nullptr, 0.0),
      DerivedCoordSystem::CreateSimilarity(nullptr, nullptr, nullptr, 1.0),
  };
  for (const auto& bad : cases) {
    EXPECT_FALSE(bad->IsValid());
    EXPECT_EQ(bad->GetForms(), 0u);
    GeoCoordPoint p(
        bad.get(), 1.0, 2.0, 3.0, kGeoFormPlane | kGeoHasAll, nullptr);
    GeoCoordPoint out;
    EXPECT_FALSE(
        p.Convert(out, utm_.get(), kGeoFormPlane, nullptr, nullptr, kBest));
  }
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoBadDefinition);

  // A geographic base has no plane coordinates to map onto.
  ComPtr<DerivedCoordSystem> on_geographic =
      DerivedCoordSystem::CreateSimilarity(wgs84_.get(), nullptr, nullptr, 1.0);
  EXPECT_EQ(on_geographic->GetForms(), 0u);
  collinear::GeoClearError();
  GeoCoordPoint p(
      on_geographic.get(), 1.0, 2.0, 3.0, kGeoFormPlane | kGeoHasAll, nullptr);
  GeoCoordPoint out;
  EXPECT_FALSE(
      p.Convert(out, wgs84_.get(), kGeoFormGeodetic, nullptr, nullptr, kBest));
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoNoForm);
}

TEST_F(DerivedCoordSystemTest, DefinitionsTellSystemsApart) {
  const double a[3] = {0.0, 0.0, 0.1}, b[3] = {0.0, 0.0, 0.2};
  ComPtr<DerivedCoordSystem> s1 =
      DerivedCoordSystem::CreateSimilarity(utm_.get(), nullptr, a, 1.0);
  ComPtr<DerivedCoordSystem> s1_again =
      DerivedCoordSystem::CreateSimilarity(utm_.get(), nullptr, a, 1.0);
  ComPtr<DerivedCoordSystem> s2 =
      DerivedCoordSystem::CreateSimilarity(utm_.get(), nullptr, b, 1.0);
  CString t1, t1_again, t2;
  s1->GetDefinition(&t1);
  s1_again->GetDefinition(&t1_again);
  s2->GetDefinition(&t2);
  EXPECT_EQ(t1, t1_again);
  EXPECT_NE(t1, t2);
}

}  // namespace
