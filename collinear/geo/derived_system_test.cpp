#include <collinear/geo/derived_system.h>

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include <collinear/geo/geo_test_util.h>
#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

using test_support::FullPoint;
using test_support::Off;

constexpr double kTolM = 1e-6;  // metre-sized sums of kilometre coordinates

class DerivedCoordSystemTest : public test_support::GeoTest {};

TEST_F(DerivedCoordSystemTest, SimilarityAndAffineMapOntoTheBaseAndBack) {
  // A quarter turn about the height axis and scale 2: local first axis
  // runs along base second (east).
  const double shift[3] = {5700000.0, 450000.0, 100.0};
  const double angles[3] = {0.0, 0.0, kPi / 2};
  // Affine: base N = 1000 + 2 l2, base E = -500 + 3 l1.
  const double first[3] = {1000.0, 0.0, 2.0}, second[3] = {-500.0, 3.0, 0.0};
  ComPtr<DerivedCoordSystem> systems[] = {
      DerivedCoordSystem::CreateSimilarity(utm_.get(), shift, angles, 2.0),
      DerivedCoordSystem::CreateAffine(utm_.get(), first, second)};
  // The local point (1, 10, 3) in the base.
  const TAbstractPoint3<double> expected[2] = {{5699980.0, 450002.0, 106.0},
                                               {1020.0, -497.0, 3.0}};
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(systems[k]->GetForms(), kGeoFormPlane);
    double c[3] = {1.0, 10.0, 3.0};
    ASSERT_EQ(systems[k]->LocalToBase(c), S_OK);
    EXPECT_LT(Off(c, {expected[k].x, expected[k].y, expected[k].z}), kTolM);
    ASSERT_EQ(systems[k]->BaseToLocal(c), S_OK);
    EXPECT_LT(Off(c, {1.0, 10.0, 3.0}), kTolM);
  }

  // A system on the affine one: conversions walk both steps, and between
  // two derived systems of one base.
  const double inner_shift[3] = {1.0, 2.0, 3.0};
  ComPtr<DerivedCoordSystem> inner = DerivedCoordSystem::CreateSimilarity(
      systems[1].get(), inner_shift, nullptr, 1.0);
  const GeoCoordPoint p = FullPoint(inner.get(), 9.0, 18.0, 2.0);
  GeoCoordPoint out;
  ASSERT_TRUE(To(p, utm_.get(), kGeoFormPlane, out));
  EXPECT_LT(Off(out.m_Coord, {1040.0, -470.0, 5.0}), kTolM);
  ASSERT_TRUE(To(p, systems[1].get(), kGeoFormPlane, out));
  EXPECT_LT(Off(out.m_Coord, {10.0, 20.0}), kTolM);

  // Round trips of a tilted and scaled system through WGS84.
  const double tilted_shift[3] = {5761000.0, 499000.0, 80.0};
  const double tilt[3] = {1e-4, -2e-4, 0.7};
  ComPtr<DerivedCoordSystem> local = DerivedCoordSystem::CreateSimilarity(
      utm_.get(), tilted_shift, tilt, 1.0001);
  std::mt19937 rng(8);
  std::uniform_real_distribution<double> d(-2000.0, 2000.0);
  for (int i = 0; i < 10; ++i) {
    const double l[3] = {d(rng), d(rng), d(rng) / 20};
    const GeoCoordPoint q = FullPoint(local.get(), l[0], l[1], l[2]);
    GeoCoordPoint geodetic, back;
    ASSERT_TRUE(To(q, wgs84_.get(), kGeoFormGeodetic, geodetic));
    ASSERT_TRUE(To(geodetic, local.get(), kGeoFormGeodetic, back));
    EXPECT_EQ(back.GetForm(), kGeoFormPlane);  // its only form
    EXPECT_LT(Off(back.m_Coord, {l[0], l[1], l[2]}), kTolM);
  }
}

TEST_F(DerivedCoordSystemTest, DefinitionsTellSystemsApartOrOfferNoForm) {
  // Singular, with a NaN shift, of zero scale, without base; on a
  // geographic base there are no plane coordinates to map onto.
  const double first[3] = {0.0, 1.0, 2.0}, second[3] = {0.0, 2.0, 4.0};
  const double nan[3] = {0.0, std::nan(""), 0.0};
  using D = DerivedCoordSystem;
  const struct {
    ComPtr<D> system;
    int code;
  } cases[] = {
      // clang-format off
      {D::CreateAffine(utm_.get(), first, second), kGeoBadDefinition},
      {D::CreateSimilarity(utm_.get(), nan, nullptr, 1.0), kGeoBadDefinition},
      {D::CreateSimilarity(utm_.get(), nullptr, nullptr, 0.0), kGeoBadDefinition},
      {D::CreateSimilarity(nullptr, nullptr, nullptr, 1.0), kGeoBadDefinition},
      {D::CreateSimilarity(wgs84_.get(), nullptr, nullptr, 1.0), kGeoNoForm},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    EXPECT_EQ(c.system->IsValid(), c.code == kGeoNoForm);
    EXPECT_EQ(c.system->GetForms(), 0u);
    GeoClearError();
    const GeoCoordPoint p = FullPoint(c.system.get(), 1, 2, 3);
    GeoCoordPoint out;
    EXPECT_FALSE(To(p, wgs84_.get(), kGeoFormGeodetic, out));
    EXPECT_EQ(GeoLastError(), c.code);
  }

  // Equal definitions read alike, different ones differ.
  CString t[3];
  for (int k = 0; k < 3; ++k) {
    const double angles[3] = {0.0, 0.0, k < 2 ? 0.1 : 0.2};
    D::CreateSimilarity(utm_.get(), nullptr, angles, 1.0)->GetDefinition(&t[k]);
  }
  EXPECT_EQ(t[0], t[1]);
  EXPECT_NE(t[0], t[2]);
}

}  // namespace
}  // namespace collinear
