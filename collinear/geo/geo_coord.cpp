#include <collinear/geo/geo_coord.h>

#include <cmath>
#include <string>
#include <vector>

#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

struct GeoErrorRecord {
  int code = kGeoOk;
  std::string text;
};

GeoErrorRecord& ThreadError() {
  thread_local GeoErrorRecord record;
  return record;
}

// Longest chain of derived systems followed before giving up: a chain this
// long is a loop in the host's definitions.
constexpr int kMaxDerivedChain = 32;

bool Fail(int code, const char* text) {
  GeoSetError(code, text);
  return false;
}

// Degrees in one unit of the angular unit code; 0 for an unknown code.
double DegreesPerUnit(unsigned long code) {
  switch (code) {
    case kGeoRadian:
      return kDegPerRad;
    case kGeoGon:
      return 0.9;
    case kGeoDegree:
      return 1.0;
    default:
      return 0.0;
  }
}

// Metres in one unit (a missing unit is the metre); false for a unit whose
// size is not a positive finite number.
bool MetresPerUnit(IMetricUnit* unit, double* metres) {
  if (!unit) {
    *metres = 1.0;
    return true;
  }
  const double m = unit->GetMetres();
  if (!(m > 0.0) || !std::isfinite(m))
    return Fail(kGeoBadUnit, "length unit with a size that is not positive");
  *metres = m;
  return true;
}

std::string DefinitionOf(IGeoCoordSystem* s) {
  CString text;
  if (!s || s->GetDefinition(&text) < 0) return std::string();
  return std::string(text.GetString());
}

bool SameSystem(IGeoCoordSystem* a, IGeoCoordSystem* b) {
  if (a == b) return true;
  if (!a || !b) return false;
  const std::string da = DefinitionOf(a);
  return !da.empty() && da == DefinitionOf(b);
}

// Records why s offers none of the forms in `wanted`.
bool FailForm(IGeoCoordSystem* s, const char* which) {
  CString why;
  const int code = s->GetDefinitionError(&why);
  if (code != kGeoOk) return Fail(code, why.GetString());
  return Fail(kGeoNoForm, which);
}

ComPtr<IGeoCoordSystem> BaseOf(IGeoCoordSystem* s) {
  ComPtr<IGeoCoordSystem> base;
  if (s->GetBase(base.put()) < 0) base.reset();
  return base;
}

}  // namespace

int GeoLastError() { return ThreadError().code; }

const char* GeoLastErrorText() { return ThreadError().text.c_str(); }

void GeoClearError() {
  ThreadError().code = kGeoOk;
  ThreadError().text.clear();
}

void GeoSetError(int code, const char* text) {
  GeoErrorRecord& r = ThreadError();
  if (r.code != kGeoOk || code == kGeoOk) return;
  r.code = code;
  r.text = text ? text : "";
}

ComPtr<IMetricUnit> MetricUnit::Create(double metres) {
  return ComPtr<IMetricUnit>(new MetricUnit(metres));
}

ComPtr<IGeoid> ConstantGeoid::Create(double undulation_m) {
  return ComPtr<IGeoid>(new ConstantGeoid(undulation_m));
}

HRESULT ConstantGeoid::GetUndulation(double, double, double* undulation_m) {
  if (!undulation_m) return E_POINTER;
  *undulation_m = undulation_m_;
  return S_OK;
}

}  // namespace collinear

using collinear::ComPtr;
using collinear::Fail;
using collinear::kGeoFormGeodetic;
using collinear::kGeoFormMask;
using collinear::kGeoFormPlane;
using collinear::kGeoGeoidHeights;
using collinear::kGeoHasAll;
using collinear::kGeoHasFirst;
using collinear::kGeoHasSecond;
using collinear::kGeoHasThird;
using collinear::kUndefined;

GeoCoordPoint::GeoCoordPoint()
    : m_Coord{kUndefined, kUndefined, kUndefined},
      m_Flags(0),
      m_AngularUnit(collinear::kGeoDegree) {}

GeoCoordPoint::GeoCoordPoint(IGeoCoordPoint* point, unsigned long selector)
    : GeoCoordPoint() {
  if (!point) {
    collinear::GeoSetError(collinear::kGeoNullObject,
                           "host point without coordinates");
    return;
  }
  const unsigned long vertex =
      selector == collinear::kGeoPreferPlane ? 0 : selector;
  double c[3] = {kUndefined, kUndefined, kUndefined};
  unsigned long flags = 0;
  unsigned long angular = collinear::kGeoDegree;
  IGeoCoordSystem* system = nullptr;
  IMetricUnit* unit = nullptr;
  const HRESULT hr =
      point->GetPosition(vertex, c, &flags, &angular, &system, &unit);
  m_System = ComPtr<IGeoCoordSystem>::Adopt(system);
  m_Unit = ComPtr<IMetricUnit>::Adopt(unit);
  if (hr != S_OK) return;
  m_Flags = flags;
  m_AngularUnit = angular;
  const unsigned long has[3] = {kGeoHasFirst, kGeoHasSecond, kGeoHasThird};
  for (int i = 0; i < 3; ++i) m_Coord[i] = (flags & has[i]) ? c[i] : kUndefined;
  if (selector == collinear::kGeoPreferPlane && GetForm() == kGeoFormGeodetic &&
      m_System && (m_System->GetForms() & kGeoFormPlane)) {
    GeoCoordPoint plane;
    if (Convert(plane,
                m_System.get(),
                kGeoFormPlane | (m_Flags & kGeoGeoidHeights),
                nullptr,
                nullptr,
                collinear::kGeoBestOperation))
      *this = plane;
  }
}

GeoCoordPoint::GeoCoordPoint(IGeoCoordSystem* system,
                             double first,
                             double second,
                             double third,
                             unsigned long flags,
                             IMetricUnit* unit)
    : m_Coord{first, second, third},
      m_Flags(flags),
      m_AngularUnit(collinear::kGeoDegree),
      m_System(system),
      m_Unit(unit) {}

GeoCoordPoint::GeoCoordPoint(const GeoCoordPoint& other) = default;

GeoCoordPoint& GeoCoordPoint::operator=(const GeoCoordPoint& other) {
  if (this != &other) {
    for (int i = 0; i < 3; ++i) m_Coord[i] = other.m_Coord[i];
    m_Flags = other.m_Flags;
    m_AngularUnit = other.m_AngularUnit;
    m_System = other.m_System;
    m_Unit = other.m_Unit;
  }
  return *this;
}

GeoCoordPoint::~GeoCoordPoint() = default;

void GeoCoordPoint::SetSystem(IGeoCoordSystem* system) {
  m_System.reset(system);
}

bool GeoCoordPoint::Convert(GeoCoordPoint& out,
                            IGeoCoordSystem* target,
                            unsigned long mode,
                            IMetricUnit* unit,
                            IGeoid* geoid,
                            unsigned long operation) const {
  if (!target) return Fail(collinear::kGeoNullObject, "no target system");
  if (!m_System) {  // taken to be in the target system already
    GeoCoordPoint adopted(*this);
    adopted.m_System.reset(target);
    return adopted.Convert(out, target, mode, unit, geoid, operation);
  }

  if ((mode & collinear::kGeoUnitsOnly) &&
      collinear::SameSystem(m_System.get(), target)) {
    GeoCoordPoint r(*this);
    r.m_System.reset(target);
    r.ConvertToUnit(unit);
    out = r;
    return true;
  }

  // Walk the target down to its plain system; derived systems on the way
  // are undone in reverse order at the end and take plane coordinates.
  std::vector<ComPtr<IGeoCoordSystem>> target_chain;
  ComPtr<IGeoCoordSystem> plain_target(target);
  while (plain_target->GetKind() == IGeoCoordSystem::kDerived) {
    if (target_chain.size() > collinear::kMaxDerivedChain)
      return Fail(collinear::kGeoTooDeep, "derived systems form a loop");
    target_chain.push_back(plain_target);
    plain_target = collinear::BaseOf(plain_target.get());
    if (!plain_target)
      return Fail(collinear::kGeoNullObject, "derived system without base");
  }
  unsigned long want = mode & kGeoFormMask;
  if (want == 0) want = GetForm();
  if (!target_chain.empty()) want = kGeoFormPlane;  // their only form
  if (want != kGeoFormGeodetic && want != kGeoFormPlane)
    return Fail(collinear::kGeoNoForm, "no coordinate form asked for");
  if (!(plain_target->GetForms() & want))
    return collinear::FailForm(plain_target.get(),
                               "target system lacks the form");

  ComPtr<IMetricUnit> result_unit = unit ? ComPtr<IMetricUnit>(unit) : m_Unit;
  double src_m = 1.0, dst_m = 1.0;
  if (!collinear::MetresPerUnit(m_Unit.get(), &src_m) ||
      !collinear::MetresPerUnit(result_unit.get(), &dst_m))
    return false;
  const double deg_per_unit = collinear::DegreesPerUnit(m_AngularUnit);
  if (deg_per_unit == 0.0)
    return Fail(collinear::kGeoBadUnit, "unknown angular unit");

  const unsigned long result_form = target_chain.empty() ? want : kGeoFormPlane;
  const unsigned long height_kind = mode & kGeoGeoidHeights;
  GeoCoordPoint r(target,
                  kUndefined,
                  kUndefined,
                  kUndefined,
                  result_form | height_kind,
                  result_unit.get());
  r.m_AngularUnit = m_AngularUnit;
  if (!(m_Flags & kGeoHasFirst) || !(m_Flags & kGeoHasSecond)) {
    out = r;  // nothing to carry over
    return true;
  }
  const bool has_height = (m_Flags & kGeoHasThird) != 0;

  // Degrees and metres from here on; an unknown height travels as 0.
  unsigned long form = GetForm();
  double c[3] = {m_Coord[0], m_Coord[1], has_height ? m_Coord[2] : 0.0};
  if (form == kGeoFormGeodetic) {
    c[0] *= deg_per_unit;
    c[1] *= deg_per_unit;
    c[2] *= src_m;
  } else if (form == kGeoFormPlane) {
    for (double& v : c) v *= src_m;
  } else {
    return Fail(collinear::kGeoNoForm, "point without coordinate form");
  }

  ComPtr<IGeoCoordSystem> source = m_System;
  for (int depth = 0; source->GetKind() == IGeoCoordSystem::kDerived; ++depth) {
    if (depth > collinear::kMaxDerivedChain)
      return Fail(collinear::kGeoTooDeep, "derived systems form a loop");
    if (form != kGeoFormPlane || !(source->GetForms() & kGeoFormPlane))
      return collinear::FailForm(source.get(),
                                 "derived system needs plane form");
    if (source->LocalToBase(c) < 0)
      return Fail(collinear::kGeoTransformFailed, "derived system failed");
    source = collinear::BaseOf(source.get());
    if (!source)
      return Fail(collinear::kGeoNullObject, "derived system without base");
  }
  if (!(source->GetForms() & form))
    return collinear::FailForm(source.get(), "source system lacks the form");

  // The geoid height is taken once, at the source position: it changes by
  // millimetres between datums.
  double undulation_m = 0.0;
  const bool from_geoid = (m_Flags & kGeoGeoidHeights) != 0;
  if (has_height && geoid && from_geoid != (height_kind != 0)) {
    double g[3] = {c[0], c[1], c[2]};
    if (form != kGeoFormGeodetic &&
        source->TransformTo(source.get(),
                            form,
                            kGeoFormGeodetic,
                            collinear::kGeoBestOperation,
                            g) < 0)
      return Fail(collinear::kGeoTransformFailed, "no geodetic position");
    if (geoid->GetUndulation(g[0], g[1], &undulation_m) < 0)
      return Fail(collinear::kGeoGeoidFailed, "no geoid height at the point");
    if (from_geoid) c[2] += undulation_m;
  }
  if (!collinear::SameSystem(source.get(), plain_target.get()) ||
      form != want) {
    if (source->TransformTo(plain_target.get(), form, want, operation, c) < 0)
      return Fail(collinear::kGeoTransformFailed, "transformation failed");
  }
  if (!from_geoid && height_kind) c[2] -= undulation_m;
  for (auto it = target_chain.rbegin(); it != target_chain.rend(); ++it) {
    if ((*it)->BaseToLocal(c) < 0)
      return Fail(collinear::kGeoTransformFailed, "derived system failed");
  }

  if (result_form == kGeoFormGeodetic) {
    c[0] /= deg_per_unit;
    c[1] /= deg_per_unit;
    c[2] /= dst_m;
  } else {
    for (double& v : c) v /= dst_m;
  }
  r.m_Coord[0] = c[0];
  r.m_Coord[1] = c[1];
  r.m_Coord[2] = has_height ? c[2] : kUndefined;
  r.m_Flags |= kGeoHasFirst | kGeoHasSecond | (has_height ? kGeoHasThird : 0);
  out = r;
  return true;
}

GeoCoordPoint GeoCoordPoint::Convert(IGeoCoordSystem* target,
                                     unsigned long mode,
                                     IMetricUnit* unit,
                                     IGeoid* geoid,
                                     unsigned long operation) const {
  GeoCoordPoint r;
  if (!Convert(r, target, mode, unit, geoid, operation))
    r = GeoCoordPoint(
        target, 0.0, 0.0, 0.0, mode & (kGeoFormMask | kGeoGeoidHeights), unit);
  return r;
}

void GeoCoordPoint::ConvertToUnit(IMetricUnit* unit) {
  if (!unit) return;
  double old_m = 1.0, new_m = 1.0;
  if (!collinear::MetresPerUnit(m_Unit.get(), &old_m) ||
      !collinear::MetresPerUnit(unit, &new_m))
    return;
  const double f = old_m / new_m;
  const unsigned long has[3] = {kGeoHasFirst, kGeoHasSecond, kGeoHasThird};
  const int first_linear = GetForm() == kGeoFormGeodetic ? 2 : 0;
  for (int i = first_linear; i < 3; ++i)
    if (m_Flags & has[i]) m_Coord[i] *= f;
  m_Unit.reset(unit);
}

void GeoCoordPoint::ConvertToAngularUnit(unsigned long code) {
  const double new_deg = collinear::DegreesPerUnit(code);
  const double old_deg = collinear::DegreesPerUnit(m_AngularUnit);
  if (new_deg == 0.0) {
    collinear::GeoSetError(collinear::kGeoBadUnit, "unknown angular unit");
    return;
  }
  if (GetForm() == kGeoFormGeodetic && old_deg != 0.0) {
    if (m_Flags & kGeoHasFirst) m_Coord[0] = m_Coord[0] * old_deg / new_deg;
    if (m_Flags & kGeoHasSecond) m_Coord[1] = m_Coord[1] * old_deg / new_deg;
  }
  m_AngularUnit = code;
}

TAbstractPoint3<double> GeoCoordPoint::GetCoord(unsigned long form,
                                                IMetricUnit* unit) const {
  GeoCoordPoint p(*this);
  if (form != 0 && form != GetForm() &&
      !Convert(p,
               m_System.get(),
               form | (m_Flags & kGeoGeoidHeights),
               nullptr,
               nullptr,
               collinear::kGeoBestOperation))
    return DefTriad();
  p.ConvertToUnit(unit);
  const unsigned long has[3] = {kGeoHasFirst, kGeoHasSecond, kGeoHasThird};
  TAbstractPoint3<double> r = DefTriad();
  for (int i = 0; i < 3; ++i)
    if (p.m_Flags & has[i]) r[i] = p.m_Coord[i];
  return r;
}
