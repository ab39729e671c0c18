// Geodetic coordinates of host points: coordinate systems, length units,
// geoids and the point value GeoCoordPoint that moves between systems.
//
// A point carries three coordinates in one of two forms. The geodetic form
// is latitude, longitude (in the point's angular unit, degrees unless set
// otherwise) and height; the plane form is the system's own grid
// coordinates: northing, easting, height (first = north, as surveyors
// write them; hosts that want x east swap the first two). Lengths are in
// the point's metric unit, metres when it has none.
#ifndef COLLINEAR_GEO_GEO_COORD_H_
#define COLLINEAR_GEO_GEO_COORD_H_

#include <atomic>

#include <collinear/calculator/host/com_ptr.h>
#include <collinear/calculator/host/unknown.h>
#include <collinear/framework/export.h>
#include <collinear/framework/string.h>
#include <collinear/primitives/host_geometry.h>

inline constexpr GUID IID_IGeoCoordSystem =
    collinear::MakeGuid("{d017df33-d2c5-11d5-ba69-00609423f782}");
inline constexpr GUID IID_IGeoCoordPoint =
    collinear::MakeGuid("{d017df35-d2c5-11d5-ba69-00609423f782}");
inline constexpr GUID IID_IMetricUnit =
    collinear::MakeGuid("{00cb7c82-c7a4-11d5-ba63-00609423f782}");
inline constexpr GUID IID_IGeoid =
    collinear::MakeGuid("{fda37cbc-81e2-41f0-a223-4109a2740be2}");

namespace collinear {

// Flag word of a point. A form bit says how the coordinates read; the three
// "has" bits which of them are known; kGeoGeoidHeights that the height is
// above the geoid (orthometric) rather than above the ellipsoid.
inline constexpr unsigned long kGeoFormGeodetic = 0x01;
inline constexpr unsigned long kGeoFormPlane = 0x02;
inline constexpr unsigned long kGeoFormMask = 0x03;
inline constexpr unsigned long kGeoHasFirst = 0x04;
inline constexpr unsigned long kGeoHasSecond = 0x08;
inline constexpr unsigned long kGeoHasThird = 0x10;
inline constexpr unsigned long kGeoHasAll = 0x1C;
inline constexpr unsigned long kGeoGeoidHeights = 0x20;

// Mode word of a conversion: the form wanted (kGeoFormGeodetic or
// kGeoFormPlane; 0 keeps the point's form), kGeoGeoidHeights for heights
// above the geoid, and kGeoUnitsOnly: when source and target are the same
// system only the unit changes (no form change, no geoid).
inline constexpr unsigned long kGeoUnitsOnly = 0x80;

// Angular unit codes of the geodetic form.
inline constexpr unsigned long kGeoRadian = 1;
inline constexpr unsigned long kGeoGon = 2;
inline constexpr unsigned long kGeoDegree = 3;

// Point selectors: the first and the last vertex of a multi-vertex host
// object, and the main position of a point in plane form when its system
// has one. Any other value is a vertex index from 0.
inline constexpr unsigned long kGeoFirstVertex = 0xFFFFFFFFul;
inline constexpr unsigned long kGeoLastVertex = 0x7FFFFFFFul;
inline constexpr unsigned long kGeoPreferPlane = 0x1000;

// Coordinate operation selector: the best operation PROJ knows for the
// point's area. Any other value picks that entry of PROJ's ranked list.
inline constexpr unsigned long kGeoBestOperation = 0xFFFFFFFFul;

// Failures of the geodetic layer. No exception leaves it: operations return
// false, empty points or undefined coordinates, and record the first cause
// since the last GeoClearError on the calling thread (as errno does).
enum GeoError : int {
  kGeoOk = 0,
  kGeoNullObject = 1,       // a required object or argument is missing
  kGeoBadDefinition = 2,    // PROJ rejects the CRS definition
  kGeoUnsupported = 3,      // a CRS kind or form this layer cannot use
  kGeoNoForm = 4,           // the system lacks the form asked for
  kGeoTransformFailed = 5,  // PROJ could not transform the point
  kGeoGeoidFailed = 6,      // no geoid height at the point
  kGeoBadUnit = 7,          // a unit that is not a positive scale
  kGeoNoCatalogue = 8,      // the host has no coordinate-system catalogue
  kGeoRefused = 9,          // the mode forbids the conversion
  kGeoTooDeep = 10,         // the host's systems refer to each other in a loop
  kGeoNoCoordinates = 11,   // the point does not have all three coordinates
};
COLLINEAR_API int GeoLastError();
// Message of the recorded failure ("" without one); valid until the next
// record or clear on this thread.
COLLINEAR_API const char* GeoLastErrorText();
COLLINEAR_API void GeoClearError();
// Records a failure unless one is recorded already.
COLLINEAR_API void GeoSetError(int code, const char* text);

}  // namespace collinear

// A length unit: its size in metres.
class COLLINEAR_API IMetricUnit : public IUnknown {
 public:
  virtual double GetMetres() = 0;
};

// A geoid model: the height of the geoid above the ellipsoid at a place.
class COLLINEAR_API IGeoid : public IUnknown {
 public:
  // Latitude and longitude in degrees; *undulation_m on success.
  virtual HRESULT GetUndulation(double lat_deg,
                                double lon_deg,
                                double* undulation_m) = 0;
};

// A coordinate system. A plain system is a CRS that PROJ understands; a
// derived system maps its local coordinates onto the plane form of a base
// system. All coordinates handed over are in degrees and metres.
class COLLINEAR_API IGeoCoordSystem : public IUnknown {
 public:
  enum Kind : unsigned long { kPlain = 1, kDerived = 2 };
  virtual unsigned long GetKind() = 0;
  // The forms the system offers (kGeoFormGeodetic, kGeoFormPlane bits); 0
  // for a system that cannot be used, such as a rejected definition.
  virtual unsigned long GetForms() = 0;
  // Why the system cannot be used: a GeoError code and its message; kGeoOk
  // for a usable system.
  virtual int GetDefinitionError(CString* why) = 0;
  // Text that identifies the system: equal texts mean the same system.
  virtual HRESULT GetDefinition(CString* text) = 0;
  // Derived systems: the base with a reference for the caller, and the
  // mapping between local and base plane coordinates, in place.
  virtual HRESULT GetBase(IGeoCoordSystem** base) = 0;
  virtual HRESULT LocalToBase(double* coords) = 0;
  virtual HRESULT BaseToLocal(double* coords) = 0;
  // Plain systems: carries coords (3 doubles, in place) from this system in
  // form from_form to the plain system target in form to_form with the
  // coordinate operation selected by `operation`.
  virtual HRESULT TransformTo(IGeoCoordSystem* target,
                              unsigned long from_form,
                              unsigned long to_form,
                              unsigned long operation,
                              double* coords) = 0;
};

// The coordinates that a host point object exposes.
class COLLINEAR_API IGeoCoordPoint : public IUnknown {
 public:
  // The position chosen by `selector` (a vertex index or kGeoFirstVertex,
  // kGeoLastVertex): three coordinates, the flag word, the angular unit
  // code, and the system and unit with a reference for the caller (either
  // may be null). S_FALSE, with flags 0, when there is no such vertex.
  virtual HRESULT GetPosition(unsigned long selector,
                              double* coords,
                              unsigned long* flags,
                              unsigned long* angular_unit,
                              IGeoCoordSystem** system,
                              IMetricUnit** unit) = 0;
};

namespace collinear {

// Reference counting for an object that implements one interface I with
// interface id kIid. Create objects with new; Release deletes them.
template <class I, const GUID& kIid>
class GeoUnknown : public I {
 public:
  HRESULT QueryInterface(const GUID& iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == kIid) {
      *out = static_cast<I*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

 protected:
  GeoUnknown() = default;
  virtual ~GeoUnknown() = default;

 private:
  std::atomic<ULONG> refs_{0};
};

// A length unit of a fixed size in metres (a millimetre is 0.001).
class COLLINEAR_API MetricUnit
    : public GeoUnknown<IMetricUnit, IID_IMetricUnit> {
 public:
  static ComPtr<IMetricUnit> Create(double metres);
  double GetMetres() override { return metres_; }

 private:
  explicit MetricUnit(double metres) : metres_(metres) {}
  double metres_;
};

// A geoid at a constant height above the ellipsoid everywhere.
class COLLINEAR_API ConstantGeoid : public GeoUnknown<IGeoid, IID_IGeoid> {
 public:
  static ComPtr<IGeoid> Create(double undulation_m);
  HRESULT GetUndulation(double lat_deg,
                        double lon_deg,
                        double* undulation_m) override;

 private:
  explicit ConstantGeoid(double n) : undulation_m_(n) {}
  double undulation_m_;
};

}  // namespace collinear

// A point with its coordinate system, unit and flags; a value type (copies
// share the system and unit objects). m_Coord holds the first, second and
// third coordinate (see the top of this file for forms and units); an
// unknown coordinate has its "has" bit clear and reads as the undefined
// value.
class COLLINEAR_API GeoCoordPoint {
 public:
  double m_Coord[3];
  unsigned long m_Flags;
  unsigned long m_AngularUnit;
  collinear::ComPtr<IGeoCoordSystem> m_System;
  collinear::ComPtr<IMetricUnit> m_Unit;

  // No system, no coordinates.
  GeoCoordPoint();
  // The position of a host point (see the selectors above); without a
  // point, or without the position, a point without coordinates.
  GeoCoordPoint(IGeoCoordPoint* point, unsigned long selector);
  GeoCoordPoint(IGeoCoordSystem* system,
                double first,
                double second,
                double third,
                unsigned long flags,
                IMetricUnit* unit);
  GeoCoordPoint(const GeoCoordPoint& other);
  GeoCoordPoint& operator=(const GeoCoordPoint& other);
  ~GeoCoordPoint();

  // Takes `system` as the point's system without touching the coordinates.
  void SetSystem(IGeoCoordSystem* system);
  // Converts into `target` (mode: see above) and expresses lengths in unit
  // (null keeps the point's unit), heights through geoid (null: geoid and
  // ellipsoid coincide). A point without a system is taken to be in target.
  // True with the result in out (which may be this point); false with out
  // untouched and the cause recorded.
  bool Convert(GeoCoordPoint& out,
               IGeoCoordSystem* target,
               unsigned long mode,
               IMetricUnit* unit,
               IGeoid* geoid,
               unsigned long operation) const;
  // As above; on failure a point of target without coordinates, with the
  // form and geoid bits of mode.
  GeoCoordPoint Convert(IGeoCoordSystem* target,
                        unsigned long mode,
                        IMetricUnit* unit,
                        IGeoid* geoid,
                        unsigned long operation) const;
  // Expresses the lengths in unit (null: no change).
  void ConvertToUnit(IMetricUnit* unit);
  // Expresses latitude and longitude in the angular unit code; an unknown
  // code changes nothing and is recorded.
  void ConvertToAngularUnit(unsigned long code);
  // The three coordinates in form (0: as held) and unit (null: as held);
  // unknown ones, and all when the form cannot be had, undefined.
  TAbstractPoint3<double> GetCoord(unsigned long form, IMetricUnit* unit) const;

  unsigned long GetForm() const { return m_Flags & collinear::kGeoFormMask; }
  bool HasAll() const {
    return (m_Flags & collinear::kGeoHasAll) == collinear::kGeoHasAll;
  }
};

#endif  // COLLINEAR_GEO_GEO_COORD_H_
