#include <collinear/geo/derived_system.h>

#include <random>

#include <gtest/gtest.h>

#include <collinear/geo/geo_test_util.h>
#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

using test_support::FullPoint;

constexpr double kTolM = 1e-6;  // metre-sized sums of kilometre coordinates

class DerivedCoordSystemTest : public test_support::GeoTest {};

TEST_F(DerivedCoordSystemTest, SimilarityAndAffineMapOntoTheBase) {
  // A quarter turn about the height axis and scale 2: local first axis
  // runs along base second (east).
  const double shift[3] = {5700000.0, 450000.0, 100.0};
  const double angles[3] = {0.0, 0.0, kPi / 2};
  // Affine: base N = 1000 + 2 l2, base E = -500 + 3 l1.
  const double first[3] = {1000.0, 0.0, 2.0}, second[3] = {-500.0, 3.0, 0.0};
  ComPtr<DerivedCoordSystem> systems[] = {
      DerivedCoordSystem::CreateSimilarity(utm_.get(), shift, angles, 2.0),
      DerivedCoordSystem::CreateAffine(utm_.get(), first, second)};
  const double local[3] = {1.0, 10.0, 3.0};
  const double expected[2][3] = {{5699980.0, 450002.0, 106.0},
                                 {1020.0, -497.0, 3.0}};
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    ASSERT_TRUE(systems[k]->IsValid());
    EXPECT_EQ(systems[k]->GetForms(), kGeoFormPlane);
    double c[3] = {local[0], local[1], local[2]};
    ASSERT_EQ(systems[k]->LocalToBase(c), S_OK);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(c[i], expected[k][i], kTolM);
    ASSERT_EQ(systems[k]->BaseToLocal(c), S_OK);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(c[i], local[i], kTolM);
  }

  // A system on the affine one: conversions walk both steps, and between
  // two derived systems of one base.
  const double inner_shift[3] = {1.0, 2.0, 3.0};
  ComPtr<DerivedCoordSystem> inner = DerivedCoordSystem::CreateSimilarity(
      systems[1].get(), inner_shift, nullptr, 1.0);
  const GeoCoordPoint p = FullPoint(inner.get(), 9.0, 18.0, 2.0);
  GeoCoordPoint out;
  ASSERT_TRUE(To(p, utm_.get(), kGeoFormPlane, out));
  EXPECT_NEAR(out.m_Coord[0], 1040.0, kTolM);
  EXPECT_NEAR(out.m_Coord[1], -470.0, kTolM);
  EXPECT_NEAR(out.m_Coord[2], 5.0, kTolM);
  ASSERT_TRUE(To(p, systems[1].get(), kGeoFormPlane, out));
  EXPECT_NEAR(out.m_Coord[0], 10.0, kTolM);
  EXPECT_NEAR(out.m_Coord[1], 20.0, kTolM);
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
    const GeoCoordPoint p = FullPoint(local.get(), l[0], l[1], l[2]);
    GeoCoordPoint base, geodetic, from_base, from_geodetic;
    ASSERT_TRUE(To(p, utm_.get(), kGeoFormPlane, base));
    ASSERT_TRUE(To(p, wgs84_.get(), kGeoFormGeodetic, geodetic));
    ASSERT_TRUE(To(base, local.get(), kGeoFormPlane, from_base));
    ASSERT_TRUE(To(geodetic, local.get(), kGeoFormGeodetic, from_geodetic));
    EXPECT_EQ(from_geodetic.GetForm(), kGeoFormPlane);  // its only form
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(from_base.m_Coord[k], l[k], kTolM);
      EXPECT_NEAR(from_geodetic.m_Coord[k], l[k], kTolM);
    }
  }
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
    GeoCoordPoint out;
    EXPECT_FALSE(
        To(FullPoint(bad.get(), 1, 2, 3), utm_.get(), kGeoFormPlane, out));
  }
  EXPECT_EQ(GeoLastError(), kGeoBadDefinition);

  // A geographic base has no plane coordinates to map onto.
  ComPtr<DerivedCoordSystem> on_geographic =
      DerivedCoordSystem::CreateSimilarity(wgs84_.get(), nullptr, nullptr, 1.0);
  EXPECT_EQ(on_geographic->GetForms(), 0u);
  GeoClearError();
  GeoCoordPoint out;
  EXPECT_FALSE(To(FullPoint(on_geographic.get(), 1, 2, 3),
                  wgs84_.get(),
                  kGeoFormGeodetic,
                  out));
  EXPECT_EQ(GeoLastError(), kGeoNoForm);
}

TEST_F(DerivedCoordSystemTest, DefinitionsTellSystemsApart) {
  const double a[3] = {0.0, 0.0, 0.1}, b[3] = {0.0, 0.0, 0.2};
  CString t[3];
  DerivedCoordSystem::CreateSimilarity(utm_.get(), nullptr, a, 1.0)
      ->GetDefinition(&t[0]);
  DerivedCoordSystem::CreateSimilarity(utm_.get(), nullptr, a, 1.0)
      ->GetDefinition(&t[1]);
  DerivedCoordSystem::CreateSimilarity(utm_.get(), nullptr, b, 1.0)
      ->GetDefinition(&t[2]);
  EXPECT_EQ(t[0], t[1]);
  EXPECT_NE(t[0], t[2]);
}

}  // namespace
}  // namespace collinear
