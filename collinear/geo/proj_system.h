// Coordinate systems and geoids backed by PROJ. Each object owns its own
// PROJ context, guarded by a mutex, so objects may be used from several
// threads; transformations are built once per target system and form and
// kept in the source system.
#ifndef COLLINEAR_GEO_PROJ_SYSTEM_H_
#define COLLINEAR_GEO_PROJ_SYSTEM_H_

#include <memory>
#include <string>

#include <collinear/framework/export.h>
#include <collinear/geo/geo_coord.h>

namespace collinear {

// A CRS given as an authority code ("EPSG:32633"), an OGC URN
// ("urn:ogc:def:crs:EPSG::32633"), a PROJ string ("+proj=utm +zone=33
// +datum=WGS84"; "+type=crs" is added when missing), PROJJSON or WKT.
// Geographic CRSs offer the geodetic form; projected ones both forms (the
// geodetic form on their datum). Bound CRSs (+towgs84) keep their datum
// shift in both forms. Heights are ellipsoidal; geoid heights come from an
// IGeoid at conversion time. Definitions of other forms (CRS names) are
// rejected unread: PROJ's search of its database for a name takes long.
class COLLINEAR_API ProjCoordSystem
    : public GeoUnknown<IGeoCoordSystem, IID_IGeoCoordSystem> {
 public:
  // Always an object. When PROJ rejects the definition or the CRS is of
  // another kind (compound, geocentric, ...), it offers no form, every
  // conversion through it fails, and the cause is recorded and kept.
  static ComPtr<ProjCoordSystem> Create(const char* definition);

  bool IsValid() const;
  // Why the definition was rejected; empty for a valid system.
  std::string GetError() const;

  unsigned long GetKind() override { return kPlain; }
  unsigned long GetForms() override;
  int GetDefinitionError(CString* why) override;
  HRESULT GetDefinition(CString* text) override;
  HRESULT GetBase(IGeoCoordSystem** base) override;
  HRESULT LocalToBase(double* coords) override;
  HRESULT BaseToLocal(double* coords) override;
  HRESULT TransformTo(IGeoCoordSystem* target,
                      unsigned long from_form,
                      unsigned long to_form,
                      unsigned long operation,
                      double* coords) override;

 private:
  struct Impl;
  explicit ProjCoordSystem(const char* definition);
  ~ProjCoordSystem() override;
  std::unique_ptr<Impl> impl_;
};

// A geoid from a PROJ vertical grid (for example "egm96_15.gtx" of
// proj-data), found on PROJ's search path. A missing grid is recorded at
// creation; the object then fails every query, as it does outside the grid.
class COLLINEAR_API ProjGridGeoid : public GeoUnknown<IGeoid, IID_IGeoid> {
 public:
  static ComPtr<ProjGridGeoid> Create(const char* grid_name);

  bool IsValid() const;
  std::string GetError() const;

  HRESULT GetUndulation(double lat_deg,
                        double lon_deg,
                        double* undulation_m) override;

 private:
  struct Impl;
  explicit ProjGridGeoid(const char* grid_name);
  ~ProjGridGeoid() override;
  std::unique_ptr<Impl> impl_;
};

}  // namespace collinear

#endif  // COLLINEAR_GEO_PROJ_SYSTEM_H_
