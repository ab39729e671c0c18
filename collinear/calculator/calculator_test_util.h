// Test support, not installed: the cameras and host scenes of the
// calculator's tests.
#ifndef COLLINEAR_CALCULATOR_CALCULATOR_TEST_UTIL_H_
#define COLLINEAR_CALCULATOR_CALCULATOR_TEST_UTIL_H_

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/calculator/crd_calculator.h>
#include <collinear/calculator/host/host_object.h>
#include <collinear/geo/geo_host.h>
#include <collinear/geo/geo_test_util.h>
#include <collinear/geo/proj_system.h>

namespace collinear::test_support {

using P2 = TAbstractPoint2<double>;
using P3 = TAbstractPoint3<double>;

// Uniform in [lo, hi) from the engine's raw bits, the same with every
// standard library (std::uniform_real_distribution is not).
inline double Uniform(std::mt19937_64& rng, double lo, double hi) {
  return lo + (hi - lo) * (static_cast<double>(rng() >> 11) * 0x1p-53);
}

// Hash of result bits for golden values, word by word through the
// splitmix64 finaliser: any changed bit changes it. NaNs hash alike,
// whatever their payload.
class BitHash {
 public:
  void Add(double v) {
    std::uint64_t w = 0x7ff8000000000000u;
    if (!std::isnan(v)) std::memcpy(&w, &v, sizeof w);
    w ^= h_;
    w = (w ^ (w >> 30)) * 0xbf58476d1ce4e5b9u;
    w = (w ^ (w >> 27)) * 0x94d049bb133111ebu;
    h_ = (w ^ (w >> 31)) + 0x9e3779b97f4a7c15u;
  }
  template <class P>  // P2 or P3
  auto Add(const P& p) -> decltype(p.y, void()) {
    for (int k = 0; k < static_cast<int>(sizeof p / sizeof p.x); ++k) Add(p[k]);
  }
  std::uint64_t value() const { return h_; }

 private:
  std::uint64_t h_ = 0;
};

template <class P>  // P2 or P3
void ExpectNear(const P& a, const P& b, double tol) {
  for (int k = 0; k < static_cast<int>(sizeof a / sizeof a.x); ++k)
    EXPECT_NEAR(a[k], b[k], tol) << "coordinate " << k;
}

// A calculator that converts points into the working coordinate-system
// object crs, of the kind that crs gives.
inline CCrdCalculator WorkingIn(IPropertyObject* crs) {
  CCrdCalculator c;
  std::int32_t kind = 0;
  crs->get_raw_value(kGeoPropKind, &kind, 0);
  c.m_CrdSysType = kind;
  c.m_CrdSysObject = TComPropertyObject(crs);
  return c;
}

// 35 mm lens, 6000 x 4000 pixels of 0.006 mm, principal point centred.
inline void SetRealCamera(CCrdCalculator& c) {
  c.m_FocusR = 35.0;
  c.m_MmPerPixel = P2(0.006, 0.006);
  c.m_PrincipalPoint = P2(18.0, 12.0);
  c.m_PictureRect = TAbstractRect<double>(0, 0, 6000, 4000);
}

// A calculator and its working coordinate-system object crs_ as a host
// sets them up, with points on the UTM zone 33 system (EPSG:32633).
class HostScene : public ::testing::Test {
 protected:
  // A calculator working in `system`, named by crs_ under the kind.
  CCrdCalculator Working(int kind, HostObject* system) {
    SetWorking(*crs_, kind, system);
    return WorkingIn(crs_.get());
  }
  // A point on `system` with one vertex per triple in the system's own
  // form (northing, easting, height; or latitude, longitude, height), its
  // coordinate-system object `crs` (crs_ when null).
  ComPtr<HostObject> At(HostObject* system,
                        const std::vector<P3>& vertices,
                        unsigned long flags = kGeoFormPlane | kGeoHasAll,
                        HostObject* crs = nullptr) {
    return PointObject(system, vertices, crs ? crs : crs_.get(), flags);
  }
  // A UTM point with one vertex per triple x east, y north, height.
  ComPtr<HostObject> Located(const std::vector<P3>& xyz) {
    std::vector<P3> north_first;
    north_first.reserve(xyz.size());
    for (const P3& p : xyz) north_first.emplace_back(p.y, p.x, p.z);
    return At(utm_.get(), north_first);
  }

  ComPtr<ProjCoordSystem> utm_impl_ = ProjCoordSystem::Create("EPSG:32633");
  ComPtr<HostObject> utm_ = SystemObject(utm_impl_.get());
  ComPtr<HostObject> crs_ = HostObject::Create();
};

}  // namespace collinear::test_support

#endif  // COLLINEAR_CALCULATOR_CALCULATOR_TEST_UTIL_H_
