#include <collinear/geo/geo_host.h>

#include <atomic>
#include <cstdint>

#include <collinear/calculator/host/bin_value.h>

namespace collinear {
namespace {

// Deepest nesting of the conversion. The host's systems can send it round
// in a circle (a base system that is a reference to be read in the base);
// it ends there with an empty point.
constexpr int kMaxHostDepth = 16;

// A system tied to its host object: IGeoCoordSystem calls go to the system,
// identity and every other interface to the object.
class BoundGeoSystem final : public IGeoCoordSystem {
 public:
  BoundGeoSystem(IPropertyObject* owner, IGeoCoordSystem* system)
      : owner_(owner), system_(system) {}

  HRESULT QueryInterface(const GUID& iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IGeoCoordSystem) {
      *out = static_cast<IGeoCoordSystem*>(this);
      AddRef();
      return S_OK;
    }
    return owner_->QueryInterface(iid, out);
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  unsigned long GetKind() override { return system_->GetKind(); }
  unsigned long GetForms() override { return system_->GetForms(); }
  int GetDefinitionError(CString* why) override {
    return system_->GetDefinitionError(why);
  }
  HRESULT GetDefinition(CString* text) override {
    return system_->GetDefinition(text);
  }
  HRESULT GetBase(IGeoCoordSystem** base) override {
    return system_->GetBase(base);
  }
  HRESULT LocalToBase(double* coords) override {
    return system_->LocalToBase(coords);
  }
  HRESULT BaseToLocal(double* coords) override {
    return system_->BaseToLocal(coords);
  }
  HRESULT TransformTo(IGeoCoordSystem* target,
                      unsigned long from_form,
                      unsigned long to_form,
                      unsigned long operation,
                      double* coords) override {
    return system_->TransformTo(target, from_form, to_form, operation, coords);
  }

 private:
  ~BoundGeoSystem() = default;
  std::atomic<ULONG> refs_{0};
  ComPtr<IPropertyObject> owner_;
  ComPtr<IGeoCoordSystem> system_;
};

template <class I>
void AttachPlain(HostObject& object, const GUID& iid, I* impl) {
  if (!impl) {
    object.ExposeInterface(iid, InterfaceMaker());
    return;
  }
  ComPtr<I> held(impl);
  object.ExposeInterface(iid, [held, iid](IPropertyObject*, void** out) {
    return held->QueryInterface(iid, out);
  });
}

template <class I>
ComPtr<I> Query(IUnknown* object, const GUID& iid) {
  return ComPtr<I>::Query(object, iid);
}

// The host object behind a point's system; empty for a bare system.
TComPropertyObject HostOf(IGeoCoordSystem* system) {
  ComPtr<IPropertyObject> object =
      Query<IPropertyObject>(system, IID_IPropertyObject);
  return TComPropertyObject(object.get());
}

// Whether two host objects are one (two missing ones are).
bool Same(IPropertyObject* a, IPropertyObject* b) {
  if (a == b) return true;
  if (!a || !b) return false;
  ComPtr<IUnknown> ua = Query<IUnknown>(a, IID_IUnknown);
  ComPtr<IUnknown> ub = Query<IUnknown>(b, IID_IUnknown);
  return ua.get() == ub.get();
}

void Relabel(GeoCoordPoint& g, IPropertyObject* system) {
  g.SetSystem(QueryGeoSystem(system).get());
}

void MakeEmpty(GeoCoordPoint& g,
               IPropertyObject* target,
               unsigned long mode,
               IMetricUnit* unit) {
  g = GeoCoordPoint(QueryGeoSystem(target).get(),
                    0.0,
                    0.0,
                    0.0,
                    mode & (kGeoFormMask | kGeoGeoidHeights),
                    unit);
}

bool RefFlag(IPropertyObject* reference) {
  std::int32_t flag = 0;
  if (reference) reference->get_raw_value(kGeoPropRefFlag, &flag, 0);
  return (flag & 0xFF) != 0;
}

// One system end of a conversion, classified: a reference and what it
// stands for, missing, derived, or plain.
struct Side {
  TComPropertyObject object;  // the system object, possibly a reference
  TComPropertyObject proper;  // the system proper
  bool reference = false;
  bool missing = false;
  bool derived = false;
  bool plain = false;

  void Classify() {
    missing = !proper;
    derived = proper.is_GUID(kGeoDerivedClass);
    plain = !reference && !missing && !derived;
  }
};

void Convert(GeoCoordPoint& g,
             const TComPropertyObject& target,
             unsigned long mode,
             IMetricUnit* unit,
             const TComPropertyObject& p,
             const TComPropertyObject& geoid_source,
             int depth) {
  if (depth > kMaxHostDepth) {
    GeoSetError(kGeoTooDeep, "the host's systems lead round in a circle");
    MakeEmpty(g, target, mode, unit);
    return;
  }
  Side src, tgt;
  src.object = HostOf(g.m_System.get());
  tgt.object = target;
  if (Same(src.object, tgt.object) && (mode & kGeoUnitsOnly)) {
    g.ConvertToUnit(unit);
    g.ConvertToAngularUnit(kGeoDegree);
    return;
  }

  src.reference = src.object.is_GUID(kGeoReferenceClass);
  src.proper = src.object;
  if (src.reference) {
    if (p) {
      src.object = TComPropertyObject(p, kGeoPropRefSystem);
      Relabel(g, src.object);
    }
    src.proper = TComPropertyObject(src.object, kGeoPropStandsFor);
  }
  src.Classify();

  // A reference to a plain system whose flag is clear: read the point in
  // the base system of the point's coordinate-system object.
  if (src.reference && !src.missing && !src.derived && !RefFlag(src.object)) {
    const TComPropertyObject base(p, kGeoPropBaseSystem);
    if (base) {
      Relabel(g, base);
      Convert(g, target, mode, unit, p, geoid_source, depth + 1);
      return;
    }
  }

  tgt.reference = tgt.object.is_GUID(kGeoReferenceClass);
  tgt.proper = tgt.reference ? TComPropertyObject(tgt.object, kGeoPropStandsFor)
                             : tgt.object;
  tgt.Classify();

  if (tgt.reference && tgt.derived) {
    tgt.object = tgt.proper;
    tgt.reference = false;
  }
  if (src.reference && src.derived) {
    src.object = src.proper;
    Relabel(g, src.object);
    src.reference = false;
  }
  if (!src.plain && !tgt.plain) {
    Relabel(g, tgt.object);
    src.object = tgt.object;
  }
  if (tgt.missing && (src.derived || (src.reference && !src.missing))) {
    const TComPropertyObject x(p, kGeoPropRefSystem);
    const TComPropertyObject x_stands_for(x, kGeoPropStandsFor);
    src.object =
        (Same(x_stands_for, src.object) || src.derived) ? tgt.object : x;
    Relabel(g, src.object);
  }
  if (!src.object) {
    if (tgt.derived) {
      const TComPropertyObject x(p, kGeoPropRefSystem);
      if (!x || Same(TComPropertyObject(x, kGeoPropStandsFor), tgt.object)) {
        Relabel(g, tgt.object);
        src.object = tgt.object;
      } else {
        Convert(g, x, mode, unit, p, geoid_source, depth + 1);
        Convert(g, tgt.object, mode, unit, p, geoid_source, depth + 1);
        return;
      }
    } else if (tgt.reference && !tgt.missing) {
      GeoSetError(kGeoNullObject, "point without coordinate system");
      MakeEmpty(g, tgt.object, mode, unit);
      return;
    }
  }
  if (tgt.missing && src.reference && !src.missing) {
    GeoSetError(kGeoNullObject, "no target coordinate system");
    MakeEmpty(g, tgt.object, mode, unit);
    return;
  }
  ComPtr<IGeoid> geoid;
  if (geoid_source)
    geoid = Query<IGeoid>(geoid_source, IID_IGeoid);
  else if (!(mode & kGeoUnitsOnly))
    geoid = Query<IGeoid>(TComPropertyObject(p, kGeoPropGeoid), IID_IGeoid);

  // One end without a system, the other plain: go through the base system
  // of the point's coordinate-system object, in its plane form. These are
  // conversions of the geodetic layer (which takes a point without system
  // to be in the target); the host conversion would come straight back.
  if ((src.missing && tgt.plain) || (tgt.missing && src.plain)) {
    const TComPropertyObject base(p, kGeoPropBaseSystem);
    if (!base) {
      GeoSetError(kGeoNullObject, "no system and no base system to use");
      MakeEmpty(g, tgt.object, mode, unit);
      return;
    }
    if (!g.Convert(g,
                   QueryGeoSystem(base).get(),
                   (mode & ~1ul) | 2ul,
                   unit,
                   geoid.get(),
                   kGeoBestOperation) ||
        !g.Convert(g,
                   QueryGeoSystem(tgt.object).get(),
                   mode,
                   unit,
                   geoid.get(),
                   kGeoBestOperation)) {
      MakeEmpty(g, tgt.object, mode, unit);
      return;
    }
    g.ConvertToAngularUnit(kGeoDegree);
    return;
  }
  if (!Same(src.object, tgt.object) &&
      (((mode & kGeoRefuseDerived) && (src.derived || tgt.derived)) ||
       ((mode & kGeoRefuseReference) && (src.reference || tgt.reference)))) {
    GeoSetError(kGeoRefused, "the mode refuses this conversion");
    MakeEmpty(g, tgt.object, mode, unit);
    return;
  }
  // Local systems have no geoid of their own: their heights are carried
  // through the similarity as they stand.
  if (src.derived) g.m_Flags &= ~kGeoGeoidHeights;
  const unsigned long final_mode =
      tgt.derived ? (mode & ~kGeoGeoidHeights) : mode;
  const ComPtr<IGeoCoordSystem> target_system = QueryGeoSystem(tgt.object);
  if (!g.Convert(g,
                 target_system.get(),
                 final_mode,
                 unit,
                 geoid.get(),
                 kGeoBestOperation)) {
    MakeEmpty(g, tgt.object, mode, unit);
    return;
  }
  if (tgt.derived) g.m_Flags |= kGeoGeoidHeights;
  if (g.m_Flags & kGeoHasAll)
    g.ConvertToAngularUnit(kGeoDegree);
  else
    MakeEmpty(g, tgt.object, mode, unit);
}

}  // namespace

void AttachGeoSystem(HostObject& object, IGeoCoordSystem* system) {
  if (!system) {
    object.ExposeInterface(IID_IGeoCoordSystem, InterfaceMaker());
    return;
  }
  ComPtr<IGeoCoordSystem> held(system);
  object.ExposeInterface(
      IID_IGeoCoordSystem, [held](IPropertyObject* owner, void** out) {
        IGeoCoordSystem* bound = new BoundGeoSystem(owner, held.get());
        bound->AddRef();
        *out = bound;
        return S_OK;
      });
}

void AttachGeoPoint(HostObject& object, IGeoCoordPoint* point) {
  AttachPlain(object, IID_IGeoCoordPoint, point);
}

void AttachMetricUnit(HostObject& object, IMetricUnit* unit) {
  AttachPlain(object, IID_IMetricUnit, unit);
}

void AttachGeoid(HostObject& object, IGeoid* geoid) {
  AttachPlain(object, IID_IGeoid, geoid);
}

ComPtr<IGeoCoordSystem> QueryGeoSystem(IPropertyObject* object) {
  return Query<IGeoCoordSystem>(object, IID_IGeoCoordSystem);
}

ComPtr<GeoPointData> GeoPointData::Create(IGeoCoordSystem* system,
                                          IMetricUnit* unit,
                                          unsigned long angular_unit) {
  ComPtr<GeoPointData> p(new GeoPointData());
  p->system_.reset(system);
  p->unit_.reset(unit);
  p->angular_unit_ = angular_unit;
  return p;
}

GeoPointData& GeoPointData::AddVertex(double first,
                                      double second,
                                      double third,
                                      unsigned long flags) {
  vertices_.push_back(Vertex{{first, second, third}, flags});
  return *this;
}

HRESULT GeoPointData::GetPosition(unsigned long selector,
                                  double* coords,
                                  unsigned long* flags,
                                  unsigned long* angular_unit,
                                  IGeoCoordSystem** system,
                                  IMetricUnit** unit) {
  if (!coords || !flags || !angular_unit || !system || !unit) return E_POINTER;
  *system = ComPtr<IGeoCoordSystem>(system_).detach();
  *unit = ComPtr<IMetricUnit>(unit_).detach();
  *angular_unit = angular_unit_;
  *flags = 0;
  std::size_t index = selector;
  if (vertices_.empty()) return S_FALSE;
  if (selector == kGeoFirstVertex) index = 0;
  if (selector == kGeoLastVertex) index = vertices_.size() - 1;
  if (index >= vertices_.size()) return S_FALSE;
  const Vertex& v = vertices_[index];
  for (int i = 0; i < 3; ++i) coords[i] = v.c[i];
  *flags = v.flags;
  return S_OK;
}

TComPropertyObject FindCatalogueSystem(const char* key) {
  const TComPropertyObjectFactory factory(kGeoCatalogueClass);
  void* raw = nullptr;
  if (factory.QueryInterface(IID_IPropertyObjectSet, &raw) < 0 || !raw) {
    GeoSetError(kGeoNoCatalogue, "the host has no coordinate-system catalogue");
    return TComPropertyObject();
  }
  const ComPtr<IPropertyObjectSet> set =
      ComPtr<IPropertyObjectSet>::Adopt(static_cast<IPropertyObjectSet*>(raw));
  const TBinValue<VkString> wanted(key ? key : "");
  // find_by_key lends its result; the wrapper takes a reference of its own.
  TComPropertyObject found(set->find_by_key(wanted));
  if (!found)
    GeoSetError(kGeoNoCatalogue, "the catalogue lacks the system asked for");
  return found;
}

void ConvertToHostSystem(GeoCoordPoint& g,
                         IPropertyObject* target,
                         unsigned long mode,
                         IMetricUnit* unit,
                         IPropertyObject* point_system,
                         IPropertyObject* geoid_source) {
  Convert(g,
          TComPropertyObject(target),
          mode,
          unit,
          TComPropertyObject(point_system),
          TComPropertyObject(geoid_source),
          0);
}

}  // namespace collinear
