// A local coordinate system defined on a base system: its coordinates map
// onto the plane form of the base (northing, easting, height, in metres) by
// a 3-D similarity or by a plane affine transformation with the height
// passed through. Its only form is the plane form.
#ifndef COLLINEAR_GEO_DERIVED_SYSTEM_H_
#define COLLINEAR_GEO_DERIVED_SYSTEM_H_

#include <string>

#include <collinear/framework/export.h>
#include <collinear/geo/geo_coord.h>

namespace collinear {

class COLLINEAR_API DerivedCoordSystem
    : public GeoUnknown<IGeoCoordSystem, IID_IGeoCoordSystem> {
 public:
  // base = shift + scale * R * local, with R = Rz(a[2]) Ry(a[1]) Rx(a[0])
  // (CRot under ROT_WPK: each an anticlockwise turn in radians about the
  // first, second, third axis, the first turn acting first).
  static ComPtr<DerivedCoordSystem> CreateSimilarity(IGeoCoordSystem* base,
                                                     const double shift[3],
                                                     const double angles[3],
                                                     double scale);
  // base first = f[0] + f[1] l1 + f[2] l2, base second = s[0] + s[1] l1 +
  // s[2] l2, base height = l3.
  static ComPtr<DerivedCoordSystem> CreateAffine(IGeoCoordSystem* base,
                                                 const double first[3],
                                                 const double second[3]);

  // False for a missing base, a scale that is not positive or a singular
  // affine map; such a system offers no form and its cause is recorded.
  bool IsValid() const { return error_.empty(); }
  std::string GetError() const { return error_; }

  unsigned long GetKind() override { return kDerived; }
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
  explicit DerivedCoordSystem(IGeoCoordSystem* base);
  void Check(const char* why_invalid, bool ok);

  ComPtr<IGeoCoordSystem> base_;
  // Forward map base = shift_ + m_ local (row-major m_), and its inverse.
  double shift_[3] = {0, 0, 0};
  double m_[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  double inv_[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::string params_;
  std::string error_;
};

}  // namespace collinear

#endif  // COLLINEAR_GEO_DERIVED_SYSTEM_H_
