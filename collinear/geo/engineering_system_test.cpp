#include <collinear/geo/engineering_system.h>

#include <gtest/gtest.h>

#include <collinear/geo/geo_test_util.h>

namespace collinear {
namespace {

using test_support::FullPoint;
using test_support::Off;

class EngineeringCoordSystemTest : public test_support::GeoTest {};

// Within the frame a point keeps its coordinates (in another unit, scaled);
// to a CRS, to a frame of another name and to the geodetic form it fails.
TEST_F(EngineeringCoordSystemTest, StaysInItselfAndNowhereElse) {
  ComPtr<EngineeringCoordSystem> lab = EngineeringCoordSystem::Create("lab");
  ComPtr<EngineeringCoordSystem> same = EngineeringCoordSystem::Create("lab");
  ComPtr<EngineeringCoordSystem> other = EngineeringCoordSystem::Create("b");
  const GeoCoordPoint p = FullPoint(lab.get(), 1.5, -2.0, 0.25);
  GeoCoordPoint out;
  ASSERT_TRUE(To(p, same.get(), kGeoFormPlane, out, mm_.get()));
  EXPECT_EQ(Off(out.m_Coord, {1500.0, -2000.0, 250.0}), 0.0);
  for (IGeoCoordSystem* target : {static_cast<IGeoCoordSystem*>(utm_.get()),
                                  static_cast<IGeoCoordSystem*>(other.get())}) {
    GeoClearError();
    EXPECT_FALSE(To(p, target, kGeoFormPlane, out));
    EXPECT_EQ(GeoLastError(), kGeoUnsupported);
  }
  EXPECT_FALSE(To(p, lab.get(), kGeoFormGeodetic, out));
  EXPECT_FALSE(To(FullPoint(utm_.get(), 5e6, 4e5, 0.0), lab.get(), 0, out));
}

}  // namespace
}  // namespace collinear
