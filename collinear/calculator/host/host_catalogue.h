// The host's catalogues by class: for a class identifier, the object that
// lists the host's instances of that class (for example its coordinate
// systems, as a set found by key). The host registers them once;
// TComPropertyObjectFactory looks them up. This registry is the host's
// state, not the calculator's; it is safe to use from several threads.
#ifndef COLLINEAR_CALCULATOR_HOST_HOST_CATALOGUE_H_
#define COLLINEAR_CALCULATOR_HOST_HOST_CATALOGUE_H_

#include <collinear/calculator/host/unknown.h>
#include <collinear/framework/export.h>

namespace collinear {

class COLLINEAR_API HostCatalogue {
 public:
  // Registers (or replaces) the catalogue of clsid; the registry holds a
  // reference to it until it is unregistered. Null unregisters.
  static void Register(const GUID& clsid, IUnknown* catalogue);
  // False when nothing was registered for clsid.
  static bool Unregister(const GUID& clsid);
  static void Clear();
  // The catalogue of clsid with a reference for the caller, or null.
  static IUnknown* Find(const GUID& clsid);
};

}  // namespace collinear

#endif  // COLLINEAR_CALCULATOR_HOST_HOST_CATALOGUE_H_
