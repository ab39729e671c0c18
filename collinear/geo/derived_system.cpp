#include <collinear/geo/derived_system.h>

#include <cmath>
#include <cstdio>

#include <collinear/primitives/rot.h>

namespace collinear {
namespace {

std::string Numbers(const char* kind, const double* v, int n) {
  std::string s = kind;
  char buf[32];
  for (int i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%s%.17g", i ? "," : "(", v[i]);
    s += buf;
  }
  return s + ")";
}

bool AllFinite(const double* v, int n) {
  for (int i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

void Apply(const double* m, const double* in, double* out) {
  for (int i = 0; i < 3; ++i)
    out[i] = m[3 * i] * in[0] + m[3 * i + 1] * in[1] + m[3 * i + 2] * in[2];
}

}  // namespace

DerivedCoordSystem::DerivedCoordSystem(IGeoCoordSystem* base) : base_(base) {}

void DerivedCoordSystem::Check(const char* why_invalid, bool ok) {
  if (error_.empty() && !base_) error_ = "derived system without base";
  if (error_.empty() && !ok) error_ = why_invalid;
  if (!error_.empty()) GeoSetError(kGeoBadDefinition, error_.c_str());
}

ComPtr<DerivedCoordSystem> DerivedCoordSystem::CreateSimilarity(
    IGeoCoordSystem* base,
    const double shift[3],
    const double angles[3],
    double scale) {
  ComPtr<DerivedCoordSystem> s(new DerivedCoordSystem(base));
  const double zero[3] = {0, 0, 0};
  if (!shift) shift = zero;
  if (!angles) angles = zero;
  CRot r;
  r.SetMatrix(ROT_WPK, CWPK(angles[0], angles[1], angles[2]));
  for (int i = 0; i < 3; ++i) s->shift_[i] = shift[i];
  for (int k = 0; k < 9; ++k) {
    s->m_[k] = scale * r.m_r[k];
    s->inv_[3 * (k % 3) + k / 3] = r.m_r[k] / scale;  // transpose / scale
  }
  const double all[7] = {
      shift[0], shift[1], shift[2], angles[0], angles[1], angles[2], scale};
  s->params_ = Numbers("similarity", all, 7);
  s->Check("similarity with a scale that is not positive or not finite",
           scale > 0.0 && AllFinite(all, 7));
  return s;
}

ComPtr<DerivedCoordSystem> DerivedCoordSystem::CreateAffine(
    IGeoCoordSystem* base, const double first[3], const double second[3]) {
  ComPtr<DerivedCoordSystem> s(new DerivedCoordSystem(base));
  const double identity_first[3] = {0, 1, 0}, identity_second[3] = {0, 0, 1};
  if (!first) first = identity_first;
  if (!second) second = identity_second;
  const double a = first[1], b = first[2], c = second[1], d = second[2];
  const double det = a * d - b * c;
  const double norm2 = a * a + b * b + c * c + d * d;
  const double all[6] = {
      first[0], first[1], first[2], second[0], second[1], second[2]};
  // A determinant this small against the entries is singular to rounding.
  const bool ok = AllFinite(all, 6) && std::fabs(det) > 1e-12 * norm2;
  s->shift_[0] = first[0];
  s->shift_[1] = second[0];
  const double m[9] = {a, b, 0, c, d, 0, 0, 0, 1};
  const double inv[9] = {d / det, -b / det, 0, -c / det, a / det, 0, 0, 0, 1};
  for (int k = 0; k < 9; ++k) {
    s->m_[k] = m[k];
    s->inv_[k] = ok ? inv[k] : 0.0;
  }
  s->params_ = Numbers("affine", all, 6);
  s->Check("singular affine transformation", ok);
  return s;
}

unsigned long DerivedCoordSystem::GetForms() {
  if (!error_.empty()) return 0;
  return (base_->GetForms() & kGeoFormPlane) ? kGeoFormPlane : 0;
}

int DerivedCoordSystem::GetDefinitionError(CString* why) {
  CString unused;
  if (!why) why = &unused;
  if (!error_.empty()) {
    *why = error_;
    return kGeoBadDefinition;
  }
  const int base_error = base_->GetDefinitionError(why);
  if (base_error != kGeoOk) return base_error;
  if (!(base_->GetForms() & kGeoFormPlane)) {
    *why = "the base of a derived system has no plane coordinates";
    return kGeoNoForm;
  }
  *why = "";
  return kGeoOk;
}

HRESULT DerivedCoordSystem::GetDefinition(CString* text) {
  if (!text) return E_POINTER;
  CString base_def;
  if (base_) base_->GetDefinition(&base_def);
  *text = "derived[" + std::string(base_def.GetString()) + "]" + params_;
  return S_OK;
}

HRESULT DerivedCoordSystem::GetBase(IGeoCoordSystem** base) {
  if (!base) return E_POINTER;
  *base = ComPtr<IGeoCoordSystem>(base_).detach();
  return *base ? S_OK : S_FALSE;
}

HRESULT DerivedCoordSystem::LocalToBase(double* coords) {
  if (!coords) return E_POINTER;
  if (!error_.empty()) return E_FAIL;
  double out[3];
  Apply(m_, coords, out);
  for (int i = 0; i < 3; ++i) coords[i] = shift_[i] + out[i];
  return S_OK;
}

HRESULT DerivedCoordSystem::BaseToLocal(double* coords) {
  if (!coords) return E_POINTER;
  if (!error_.empty()) return E_FAIL;
  const double d[3] = {
      coords[0] - shift_[0], coords[1] - shift_[1], coords[2] - shift_[2]};
  Apply(inv_, d, coords);
  return S_OK;
}

HRESULT DerivedCoordSystem::TransformTo(
    IGeoCoordSystem*, unsigned long, unsigned long, unsigned long, double*) {
  return E_NOTIMPL;
}

}  // namespace collinear
