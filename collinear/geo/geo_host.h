// The host's coordinate-system objects and the geodetic layer: the classes
// and property ids the calculator reads, the binding of geodetic objects to
// in-memory host objects, and the conversion of a point into the system of
// a host object, which resolves references and derived systems on the way.
//
// Host systems are property objects that answer QueryInterface for
// IGeoCoordSystem (AttachGeoSystem); points answer for IGeoCoordPoint,
// units for IMetricUnit and geoid sources for IGeoid.
#ifndef COLLINEAR_GEO_GEO_HOST_H_
#define COLLINEAR_GEO_GEO_HOST_H_

#include <vector>

#include <collinear/calculator/host/host_object.h>
#include <collinear/calculator/host/property_object.h>
#include <collinear/framework/export.h>
#include <collinear/geo/geo_coord.h>

namespace collinear {

// A reference: a system object that stands for another (kGeoRefSystem).
inline constexpr GUID kGeoReferenceClass =
    MakeGuid("{3c702c1e-746e-4bd7-87c4-76b340abc7c1}");
// A derived (local) system.
inline constexpr GUID kGeoDerivedClass =
    MakeGuid("{53ff0421-ea38-11d5-ba6f-00609423f782}");
// The host's catalogue of coordinate systems, a set found by key.
inline constexpr GUID kGeoCatalogueClass =
    MakeGuid("{53ff0420-ea38-11d5-ba6f-00609423f782}");
inline constexpr char kGeoWgs84Key[] = "WGS84";

// Property ids. Of any host object: its coordinate-system object.
inline constexpr long kGeoPropCrsObject = 50;
// Of a working coordinate-system object: the kind (32-bit integer), the
// system of the kinds 1, 2, and 4 or 16, the length unit, the geoid source.
inline constexpr long kGeoPropKind = 39;
inline constexpr long kGeoPropSystemKind1 = 28;
inline constexpr long kGeoPropSystemKind2 = 30;
inline constexpr long kGeoPropSystemGeodetic = 29;
inline constexpr long kGeoPropUnit = 31;
inline constexpr long kGeoPropGeoid = 33;
// Of a point's coordinate-system object: base and reference system (the
// geoid source is kGeoPropGeoid as above).
inline constexpr long kGeoPropBaseSystem = 25;
inline constexpr long kGeoPropRefSystem = 30;
// Of a reference: the system it stands for, and its flag (a byte; clear:
// points of the reference are read in the point's base system).
inline constexpr long kGeoPropStandsFor = 8;
inline constexpr long kGeoPropRefFlag = 17;

// Mode bits of the host conversion: refuse conversions that involve a
// derived system, or a reference.
inline constexpr unsigned long kGeoRefuseDerived = 0x10000;
inline constexpr unsigned long kGeoRefuseReference = 0x20000;

// Make `object` answer QueryInterface for the interface with the given
// geodetic object (null withdraws it). A system stays tied to its object:
// QueryInterface on it for IPropertyObject gives the object back.
COLLINEAR_API void AttachGeoSystem(HostObject& object, IGeoCoordSystem* system);
COLLINEAR_API void AttachGeoPoint(HostObject& object, IGeoCoordPoint* point);
COLLINEAR_API void AttachMetricUnit(HostObject& object, IMetricUnit* unit);
COLLINEAR_API void AttachGeoid(HostObject& object, IGeoid* geoid);

// The geodetic system of a host system object, or empty.
COLLINEAR_API ComPtr<IGeoCoordSystem> QueryGeoSystem(IPropertyObject* object);

// The coordinates of a host point: one or more vertices in one system.
class COLLINEAR_API GeoPointData
    : public GeoUnknown<IGeoCoordPoint, IID_IGeoCoordPoint> {
 public:
  // system: as QueryGeoSystem gives it, so that it leads back to its host
  // object; unit null for metres; angular unit of geodetic coordinates.
  static ComPtr<GeoPointData> Create(IGeoCoordSystem* system,
                                     IMetricUnit* unit = nullptr,
                                     unsigned long angular_unit = kGeoDegree);
  // Appends a vertex; flags: the form and the "has" bits of geo_coord.h.
  GeoPointData& AddVertex(double first,
                          double second,
                          double third,
                          unsigned long flags);

  HRESULT GetPosition(unsigned long selector,
                      double* coords,
                      unsigned long* flags,
                      unsigned long* angular_unit,
                      IGeoCoordSystem** system,
                      IMetricUnit** unit) override;

 private:
  GeoPointData() = default;
  struct Vertex {
    double c[3];
    unsigned long flags;
  };
  ComPtr<IGeoCoordSystem> system_;
  ComPtr<IMetricUnit> unit_;
  unsigned long angular_unit_ = kGeoDegree;
  std::vector<Vertex> vertices_;
};

// The system the host's catalogue lists under key; empty, with the cause
// recorded, when the host has no catalogue or no such entry.
COLLINEAR_API TComPropertyObject FindCatalogueSystem(const char* key);

// Converts g into the system of host object target. mode: the form and
// geoid bits of geo_coord.h, kGeoUnitsOnly, kGeoRefuseDerived and
// kGeoRefuseReference. unit: lengths of the result (null: the point's);
// point_system: the point's coordinate-system object (its base, reference
// and geoid source); geoid_source: the geoid to use before the point's own.
// A refused or failed conversion leaves g a point of target without
// coordinates and records the cause.
COLLINEAR_API void ConvertToHostSystem(GeoCoordPoint& g,
                                       IPropertyObject* target,
                                       unsigned long mode,
                                       IMetricUnit* unit,
                                       IPropertyObject* point_system,
                                       IPropertyObject* geoid_source);

}  // namespace collinear

#endif  // COLLINEAR_GEO_GEO_HOST_H_
