#include <collinear/geo/engineering_system.h>

#include <utility>

namespace collinear {

ComPtr<EngineeringCoordSystem> EngineeringCoordSystem::Create(
    const std::string& name) {
  return ComPtr<EngineeringCoordSystem>(new EngineeringCoordSystem(name));
}

int EngineeringCoordSystem::GetDefinitionError(CString* why) {
  if (why) *why = "";
  return kGeoOk;
}

HRESULT EngineeringCoordSystem::GetDefinition(CString* text) {
  if (!text) return E_POINTER;
  *text = "engineering[" + name_ + "]";
  return S_OK;
}

HRESULT EngineeringCoordSystem::GetBase(IGeoCoordSystem** base) {
  if (!base) return E_POINTER;
  *base = nullptr;
  return S_FALSE;
}

HRESULT EngineeringCoordSystem::LocalToBase(double*) { return E_NOTIMPL; }
HRESULT EngineeringCoordSystem::BaseToLocal(double*) { return E_NOTIMPL; }

HRESULT EngineeringCoordSystem::TransformTo(IGeoCoordSystem* target,
                                            unsigned long from_form,
                                            unsigned long to_form,
                                            unsigned long,
                                            double* coords) {
  if (!coords || !target) return E_POINTER;
  CString other;
  target->GetDefinition(&other);
  CString own;
  GetDefinition(&own);
  if (own == other && from_form == kGeoFormPlane && to_form == kGeoFormPlane)
    return S_OK;
  GeoSetError(kGeoUnsupported,
              "a local engineering frame has no geodetic relation to other "
              "systems and no geographic form");
  return E_FAIL;
}

}  // namespace collinear
