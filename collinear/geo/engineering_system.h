// A local engineering frame: Cartesian coordinates of a laboratory or a
// test field with no geodetic meaning (no datum, no projection, no geoid).
// Its only form is the plane form; points stay in it and carry no
// conversion to any other system, which fails with the cause recorded.
#ifndef COLLINEAR_GEO_ENGINEERING_SYSTEM_H_
#define COLLINEAR_GEO_ENGINEERING_SYSTEM_H_

#include <string>
#include <utility>

#include <collinear/framework/export.h>
#include <collinear/geo/geo_coord.h>

namespace collinear {

class COLLINEAR_API EngineeringCoordSystem
    : public GeoUnknown<IGeoCoordSystem, IID_IGeoCoordSystem> {
 public:
  // name tells frames apart: two frames of one name are the same system.
  static ComPtr<EngineeringCoordSystem> Create(const std::string& name);

  unsigned long GetKind() override { return kPlain; }
  unsigned long GetForms() override { return kGeoFormPlane; }
  int GetDefinitionError(CString* why) override;
  HRESULT GetDefinition(CString* text) override;
  HRESULT GetBase(IGeoCoordSystem** base) override;
  HRESULT LocalToBase(double* coords) override;
  HRESULT BaseToLocal(double* coords) override;
  // Plane to plane form within this frame leaves coords as they are; any
  // other target or form fails (E_FAIL, kGeoUnsupported recorded).
  HRESULT TransformTo(IGeoCoordSystem* target,
                      unsigned long from_form,
                      unsigned long to_form,
                      unsigned long operation,
                      double* coords) override;

 private:
  explicit EngineeringCoordSystem(std::string name) : name_(std::move(name)) {}
  std::string name_;
};

}  // namespace collinear

#endif  // COLLINEAR_GEO_ENGINEERING_SYSTEM_H_
