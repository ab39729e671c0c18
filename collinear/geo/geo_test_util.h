// Test support, not installed: host objects of the geodetic layer as a
// host application sets them up, shared by the geo, calculator and io
// tests, and the systems most geo tests convert between. Coordinates are in the
// system's own form: northing, easting, height for a plane system; latitude,
// longitude (degrees), height for a geodetic one.
#ifndef COLLINEAR_GEO_GEO_TEST_UTIL_H_
#define COLLINEAR_GEO_GEO_TEST_UTIL_H_

#include <cmath>
#include <initializer_list>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/calculator/host/com_ptr.h>
#include <collinear/calculator/host/host_object.h>
#include <collinear/geo/geo_coord.h>
#include <collinear/geo/geo_host.h>
#include <collinear/geo/proj_system.h>
#include <collinear/primitives/host_geometry.h>

namespace collinear::test_support {

// A host coordinate-system object answering for system, of class cls when
// given; a bare object for a null system.
inline ComPtr<HostObject> SystemObject(IGeoCoordSystem* system,
                                       const GUID* cls = nullptr) {
  ComPtr<HostObject> o = HostObject::Create();
  if (cls) o->AddClass(*cls);
  if (system) AttachGeoSystem(*o, system);
  return o;
}

// Makes crs a working coordinate-system object of the kind (1 local,
// 2 projected, else geodetic) naming system under the property of its
// kind; other properties of crs stay.
inline void SetWorking(HostObject& crs, int kind, HostObject* system) {
  long id = kGeoPropSystemGeodetic;
  if (kind == 1) id = kGeoPropSystemKind1;
  if (kind == 2) id = kGeoPropSystemKind2;
  crs.SetInt32(kGeoPropKind, kind).SetObject(id, system);
}

// A host point on the system object system, one vertex per triple, that
// refers to the working coordinate-system object crs.
inline ComPtr<HostObject> PointObject(
    HostObject* system,
    const std::vector<TAbstractPoint3<double>>& vertices,
    HostObject* crs,
    unsigned long flags = kGeoFormPlane | kGeoHasAll) {
  ComPtr<GeoPointData> data =
      GeoPointData::Create(QueryGeoSystem(system).get());
  for (const TAbstractPoint3<double>& v : vertices)
    data->AddVertex(v.x, v.y, v.z, flags);
  ComPtr<HostObject> p = HostObject::Create();
  AttachGeoPoint(*p, data.get());
  p->SetObject(kGeoPropCrsObject, crs);
  return p;
}

// A point of system with all three coordinates, in form.
inline GeoCoordPoint FullPoint(IGeoCoordSystem* system,
                               double first,
                               double second,
                               double third,
                               unsigned long form = kGeoFormPlane) {
  return GeoCoordPoint(
      system, first, second, third, form | kGeoHasAll, nullptr);
}

// The sum of the differences of got's first coordinates from want, in
// size (NaN when one of them is NaN).
inline double Off(const double* got, std::initializer_list<double> want) {
  double off = 0.0;
  for (double w : want) off += std::fabs(*got++ - w);
  return off;
}

// WGS84 (geodetic form only), UTM zone 33 north (both forms) and the
// millimetre; the error record starts clear.
class GeoTest : public ::testing::Test {
 protected:
  void SetUp() override { GeoClearError(); }
  // p into target with PROJ's best operation; false as Convert.
  static bool To(const GeoCoordPoint& p,
                 IGeoCoordSystem* target,
                 unsigned long mode,
                 GeoCoordPoint& out,
                 IMetricUnit* unit = nullptr,
                 IGeoid* geoid = nullptr) {
    return p.Convert(out, target, mode, unit, geoid, kGeoBestOperation);
  }
  // A WGS84 point: latitude, longitude (degrees), height.
  GeoCoordPoint Wgs(double lat, double lon, double h) const {
    return FullPoint(wgs84_.get(), lat, lon, h, kGeoFormGeodetic);
  }
  ComPtr<ProjCoordSystem> wgs84_ = ProjCoordSystem::Create("EPSG:4326");
  ComPtr<ProjCoordSystem> utm_ = ProjCoordSystem::Create("EPSG:32633");
  ComPtr<IMetricUnit> mm_ = MetricUnit::Create(0.001);
};

}  // namespace collinear::test_support

#endif  // COLLINEAR_GEO_GEO_TEST_UTIL_H_
