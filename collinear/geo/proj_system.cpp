#include <collinear/geo/proj_system.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

#include <proj.h>
#include <proj_experimental.h>

#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

struct PjDeleter {
  void operator()(PJ* p) const { proj_destroy(p); }
};
using PjPtr = std::unique_ptr<PJ, PjDeleter>;

// A PROJ context of its own, with the last message PROJ logged on it (PROJ
// would print it to stderr otherwise).
class ProjContext {
 public:
  ProjContext() : ctx_(proj_context_create()) {
    if (ctx_) {
      proj_log_func(ctx_, this, &ProjContext::Log);
      proj_log_level(ctx_, PJ_LOG_ERROR);
    }
  }
  ~ProjContext() {
    if (ctx_) proj_context_destroy(ctx_);
  }
  ProjContext(const ProjContext&) = delete;
  ProjContext& operator=(const ProjContext&) = delete;

  PJ_CONTEXT* get() const { return ctx_; }
  void ClearLog() { last_.clear(); }
  // PROJ's explanation of its last failure on this context or on op.
  std::string Why(PJ* op = nullptr) const {
    if (!last_.empty()) return last_;
    const int e = op ? proj_errno(op) : (ctx_ ? proj_context_errno(ctx_) : 0);
    const char* s = e ? proj_context_errno_string(ctx_, e) : nullptr;
    return s ? s : "no reason given";
  }

 private:
  static void Log(void* self, int, const char* msg) {
    static_cast<ProjContext*>(self)->last_ = msg ? msg : "";
  }
  PJ_CONTEXT* ctx_;
  std::string last_;
};

int FormIndex(unsigned long form) { return form == kGeoFormPlane ? 1 : 0; }

// The two forms of one CRS as PROJ objects, each 3-D (ellipsoidal height),
// with the size of one unit of its horizontal axes (radians for geodetic,
// metres for plane) and of its vertical axis (metres).
// (clang-tidy 14 takes the array initialisers below for a reserved name.)
struct CrsForms {  // NOLINT(bugprone-reserved-identifier)
  PjPtr crs[2];
  double horizontal[2] = {1.0, 1.0};
  double vertical[2] = {1.0, 1.0};
  unsigned long forms = 0;
};

bool AxisUnits(PJ_CONTEXT* ctx, const PJ* crs, double* horiz, double* vert) {
  PjPtr source;
  const PJ* single = crs;
  if (proj_get_type(crs) == PJ_TYPE_BOUND_CRS) {
    source.reset(proj_get_source_crs(ctx, crs));
    single = source.get();
  }
  if (!single) return false;
  PjPtr cs(proj_crs_get_coordinate_system(ctx, single));
  if (!cs) return false;
  const int n = proj_cs_get_axis_count(ctx, cs.get());
  // Size of one unit of axis i: radians or metres.
  auto unit_of_axis = [&](int i, double* size) {
    return proj_cs_get_axis_info(ctx,
                                 cs.get(),
                                 i,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 size,
                                 nullptr,
                                 nullptr,
                                 nullptr) &&
           *size > 0.0;
  };
  *vert = 1.0;
  if (n < 2 || !unit_of_axis(0, horiz)) return false;
  double f = 0.0;
  if (n >= 3 && unit_of_axis(2, &f)) *vert = f;
  return true;
}

bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

std::string Upper(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Whether s is non-empty and made of word characters and those of extra.
bool IsToken(const std::string& s, const char* extra) {
  if (s.empty()) return false;
  for (char c : s)
    if (!IsWordChar(c) && !std::strchr(extra, c)) return false;
  return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t at; (at = s.find(sep, from)) != std::string::npos; from = at + 1)
    parts.push_back(s.substr(from, at - from));
  parts.push_back(s.substr(from));
  return parts;
}

// AUTHORITY:CODE with an authority of PROJ's database.
bool IsAuthorityCode(PJ_CONTEXT* ctx, const std::string& s) {
  const size_t colon = s.find(':');
  if (colon == std::string::npos || !IsToken(s.substr(0, colon), "") ||
      !IsToken(s.substr(colon + 1), ".-"))
    return false;
  const std::string authority = Upper(s.substr(0, colon));
  PROJ_STRING_LIST names = proj_get_authorities_from_database(ctx);
  bool known = false;
  for (PROJ_STRING_LIST n = names; n && *n && !known; ++n)
    known = Upper(*n) == authority;
  proj_string_list_destroy(names);
  return known;
}

// urn:ogc:def:TYPE:AUTHORITY:[VERSION]:CODE, or the compound
// urn:ogc:def:crs,crs:AUTHORITY:[VERSION]:CODE,... (also "x-ogc").
bool IsOgcUrn(const std::string& s) {
  const std::string u = Upper(s);
  size_t at = 0;
  for (const char* prefix : {"URN:OGC:DEF:", "URN:X-OGC:DEF:"})
    if (u.compare(0, std::strlen(prefix), prefix) == 0)
      at = std::strlen(prefix);
  if (at == 0) return false;
  std::vector<std::string> items = Split(s.substr(at), ',');
  if (items.size() > 1) {
    if (!IsToken(items[0], "")) return false;  // the compound's type
    items.erase(items.begin());
  }
  for (const std::string& item : items) {
    const std::vector<std::string> f = Split(item, ':');
    if (f.size() != 4 || !IsToken(f[0], "") || !IsToken(f[1], "") ||
        !(f[2].empty() || IsToken(f[2], ".")) || !IsToken(f[3], ".-"))
      return false;
  }
  return true;
}

// WKT: a CRS keyword of WKT1 or WKT2 and its bracket.
bool IsWkt(const std::string& s) {
  static const char* const kKeywords[] = {"GEOGCS",
                                          "PROJCS",
                                          "GEOCCS",
                                          "COMPD_CS",
                                          "VERT_CS",
                                          "LOCAL_CS",
                                          "GEOGCRS",
                                          "GEOGRAPHICCRS",
                                          "GEODCRS",
                                          "GEODETICCRS",
                                          "PROJCRS",
                                          "PROJECTEDCRS",
                                          "BOUNDCRS",
                                          "COMPOUNDCRS",
                                          "VERTCRS",
                                          "VERTICALCRS",
                                          "ENGCRS",
                                          "ENGINEERINGCRS",
                                          "DERIVEDPROJCRS"};
  size_t k = 0;
  while (k < s.size() && IsWordChar(s[k])) ++k;
  const size_t bracket = s.find_first_not_of(" \t\r\n", k);
  if (bracket == std::string::npos || s[bracket] != '[') return false;
  const std::string word = Upper(s.substr(0, k));
  for (const char* w : kKeywords)
    if (word == w) return true;
  return false;
}

// A PROJ string: "+key=value" words, one of them proj=.
bool IsProjString(const std::string& s) {
  if (s[0] != '+' && s.compare(0, 5, "proj=") != 0) return false;
  for (size_t at = s.find("proj="); at != std::string::npos;
       at = s.find("proj=", at + 1))
    if (at == 0 || s[at - 1] == '+' ||
        std::isspace(static_cast<unsigned char>(s[at - 1])))
      return true;
  return false;
}

// Whether def has one of the forms PROJ parses directly: a PROJ string,
// PROJJSON, an OGC URN, WKT or AUTHORITY:CODE. PROJ looks anything else up
// as an object name in its database, a search of a quarter of a second or
// more (seconds under the sanitizers) that a stray value must not cost.
bool IsCrsForm(PJ_CONTEXT* ctx, const std::string& def) {
  const size_t start = def.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return false;
  const std::string s = def.substr(start);
  if (s[0] == '{') return true;
  if (Upper(s.substr(0, 4)) == "URN:") return IsOgcUrn(s);
  return IsProjString(s) || IsWkt(s) || IsAuthorityCode(ctx, s);
}

bool BuildForms(ProjContext& pc,
                const std::string& def,
                CrsForms* out,
                int* code,
                std::string* why) {
  PJ_CONTEXT* ctx = pc.get();
  *code = kGeoBadDefinition;
  if (!ctx) {
    *why = "no PROJ context";
    return false;
  }
  if (!IsCrsForm(ctx, def)) {
    *why = "not an EPSG code, OGC URN, PROJ string or WKT: \"" + def + "\"";
    return false;
  }
  pc.ClearLog();
  PjPtr crs(proj_create(ctx, def.c_str()));
  if (!crs) {
    *why = "PROJ rejects \"" + def + "\": " + pc.Why();
    return false;
  }
  if (!proj_is_crs(crs.get())) {
    *why = "not a coordinate reference system: \"" + def + "\"";
    return false;
  }
  PjPtr base;
  const PJ* horizontal = crs.get();
  const bool bound = proj_get_type(crs.get()) == PJ_TYPE_BOUND_CRS;
  if (bound) {
    base.reset(proj_get_source_crs(ctx, crs.get()));
    horizontal = base.get();
  }
  const PJ_TYPE type = horizontal ? proj_get_type(horizontal) : PJ_TYPE_UNKNOWN;
  const bool geographic =
      type == PJ_TYPE_GEOGRAPHIC_2D_CRS || type == PJ_TYPE_GEOGRAPHIC_3D_CRS;
  const bool projected = type == PJ_TYPE_PROJECTED_CRS;
  if (!geographic && !projected) {
    *code = kGeoUnsupported;
    *why = "only geographic and projected CRSs are supported: \"" + def + "\"";
    return false;
  }
  if (projected)
    out->crs[1].reset(proj_crs_promote_to_3D(ctx, nullptr, crs.get()));
  if (geographic) {
    out->crs[0].reset(proj_crs_promote_to_3D(ctx, nullptr, crs.get()));
  } else {
    PjPtr geodetic(proj_crs_get_geodetic_crs(ctx, horizontal));
    if (bound && geodetic) {  // keep the datum shift of the bound CRS
      PjPtr hub(proj_get_target_crs(ctx, crs.get()));
      PjPtr shift(proj_crs_get_coordoperation(ctx, crs.get()));
      geodetic.reset(hub && shift
                         ? proj_crs_create_bound_crs(
                               ctx, geodetic.get(), hub.get(), shift.get())
                         : nullptr);
    }
    if (geodetic)
      out->crs[0].reset(proj_crs_promote_to_3D(ctx, nullptr, geodetic.get()));
  }
  const unsigned long bits[2] = {kGeoFormGeodetic, kGeoFormPlane};
  for (int i = 0; i < 2; ++i) {
    if (!out->crs[i]) continue;
    if (!AxisUnits(
            ctx, out->crs[i].get(), &out->horizontal[i], &out->vertical[i])) {
      *why = "cannot read the axes of \"" + def + "\": " + pc.Why();
      return false;
    }
    out->forms |= bits[i];
  }
  if (out->forms !=
      (projected ? kGeoFormGeodetic | kGeoFormPlane : kGeoFormGeodetic)) {
    *why = "cannot derive the forms of \"" + def + "\": " + pc.Why();
    return false;
  }
  return true;
}

// A PROJ string without "type=crs" names an operation; the user meant the
// CRS.
std::string NormalisedDefinition(const char* definition) {
  std::string def = definition ? definition : "";
  const auto first = def.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  def.erase(0, first);
  def.erase(def.find_last_not_of(" \t\r\n") + 1);
  if (def[0] == '+' && def.find("type=crs") == std::string::npos)
    def += " +type=crs";
  return def;
}

// Units of a geodetic axis per degree, 1 exactly for degrees.
double UnitsPerDegree(double radians_per_unit) {
  const double u = kRadPerDeg / radians_per_unit;
  return std::fabs(u - 1.0) < 1e-12 ? 1.0 : u;
}

}  // namespace

struct ProjCoordSystem::Impl {
  using OpKey =
      std::tuple<std::string, unsigned long, unsigned long, unsigned long>;

  std::string definition;
  std::string error;
  int error_code = kGeoOk;
  std::mutex mutex;
  ProjContext context;  // destroyed after every PROJ object below
  CrsForms own;
  std::map<std::string, CrsForms> targets;
  std::map<OpKey, PjPtr> operations;

  // Forms of the target system def, built in this context (PROJ objects of
  // one context must not be used from another); null on failure.
  const CrsForms* FormsOf(const std::string& def) {
    if (def == definition) return &own;
    auto it = targets.find(def);
    if (it != targets.end()) return &it->second;
    CrsForms forms;
    int code = kGeoOk;
    std::string why;
    if (!BuildForms(context, def, &forms, &code, &why)) {
      GeoSetError(code, why.c_str());
      return nullptr;
    }
    return &targets.emplace(def, std::move(forms)).first->second;
  }

  PJ* Operation(const OpKey& key, const PJ* src, const PJ* dst) {
    auto it = operations.find(key);
    if (it != operations.end()) return it->second.get();
    PJ_CONTEXT* ctx = context.get();
    context.ClearLog();
    const unsigned long which = std::get<3>(key);
    PjPtr op;
    if (which == kGeoBestOperation) {
      op.reset(proj_create_crs_to_crs_from_pj(ctx, src, dst, nullptr, nullptr));
    } else {
      PJ_OPERATION_FACTORY_CONTEXT* factory =
          proj_create_operation_factory_context(ctx, nullptr);
      PJ_OBJ_LIST* list =
          factory ? proj_create_operations(ctx, src, dst, factory) : nullptr;
      if (list && which < static_cast<unsigned long>(proj_list_get_count(list)))
        op.reset(proj_list_get(ctx, list, static_cast<int>(which)));
      if (list) proj_list_destroy(list);
      if (factory) proj_operation_factory_context_destroy(factory);
    }
    PjPtr normalised(op ? proj_normalize_for_visualization(ctx, op.get())
                        : nullptr);
    if (!normalised) {
      const std::string why = "PROJ has no transformation to \"" +
                              std::get<0>(key) + "\": " + context.Why();
      GeoSetError(kGeoTransformFailed, why.c_str());
      return nullptr;
    }
    return operations.emplace(key, std::move(normalised)).first->second.get();
  }
};

ComPtr<ProjCoordSystem> ProjCoordSystem::Create(const char* definition) {
  return ComPtr<ProjCoordSystem>(new ProjCoordSystem(definition));
}

ProjCoordSystem::ProjCoordSystem(const char* definition)
    : impl_(std::make_unique<Impl>()) {
  impl_->definition = NormalisedDefinition(definition);
  if (impl_->definition.empty()) {
    impl_->error_code = kGeoBadDefinition;
    impl_->error = "empty CRS definition";
  } else {
    BuildForms(impl_->context,
               impl_->definition,
               &impl_->own,
               &impl_->error_code,
               &impl_->error);
  }
  if (impl_->own.forms == 0) {
    impl_->own = CrsForms();
    GeoSetError(impl_->error_code, impl_->error.c_str());
  } else {
    impl_->error_code = kGeoOk;
    impl_->error.clear();
  }
}

ProjCoordSystem::~ProjCoordSystem() = default;

bool ProjCoordSystem::IsValid() const { return impl_->own.forms != 0; }

std::string ProjCoordSystem::GetError() const { return impl_->error; }

unsigned long ProjCoordSystem::GetForms() { return impl_->own.forms; }

int ProjCoordSystem::GetDefinitionError(CString* why) {
  if (why) *why = impl_->error;
  return impl_->error_code;
}

HRESULT ProjCoordSystem::GetDefinition(CString* text) {
  if (!text) return E_POINTER;
  *text = impl_->definition;
  return S_OK;
}

HRESULT ProjCoordSystem::GetBase(IGeoCoordSystem** base) {
  if (base) *base = nullptr;
  return E_NOTIMPL;
}

HRESULT ProjCoordSystem::LocalToBase(double*) { return E_NOTIMPL; }

HRESULT ProjCoordSystem::BaseToLocal(double*) { return E_NOTIMPL; }

HRESULT ProjCoordSystem::TransformTo(IGeoCoordSystem* target,
                                     unsigned long from_form,
                                     unsigned long to_form,
                                     unsigned long operation,
                                     double* coords) {
  if (!target || !coords) {
    GeoSetError(kGeoNullObject, "no target system or coordinates");
    return E_POINTER;
  }
  if (!IsValid()) {
    GeoSetError(impl_->error_code, impl_->error.c_str());
    return E_FAIL;
  }
  if (target->GetKind() != kPlain) {
    GeoSetError(kGeoUnsupported, "PROJ transforms into plain systems only");
    return E_INVALIDARG;
  }
  CString target_text;
  if (target->GetDefinition(&target_text) < 0) {
    GeoSetError(kGeoNullObject, "target system without definition");
    return E_FAIL;
  }
  const std::string target_def(target_text.GetString());

  std::lock_guard<std::mutex> lock(impl_->mutex);
  const CrsForms* dst_forms = impl_->FormsOf(target_def);
  if (!dst_forms) return E_FAIL;
  const int si = FormIndex(from_form), di = FormIndex(to_form);
  const PJ* src = impl_->own.crs[si].get();
  const PJ* dst = dst_forms->crs[di].get();
  if (!src || !dst) {
    GeoSetError(kGeoNoForm, "a system lacks the coordinate form asked for");
    return E_INVALIDARG;
  }
  PJ* op = impl_->Operation(
      Impl::OpKey(target_def, from_form, to_form, operation), src, dst);
  if (!op) return E_FAIL;

  // PROJ's visualisation order is east (longitude) first.
  const double src_h = impl_->own.horizontal[si];
  const double dst_h = dst_forms->horizontal[di];
  const double in_scale =
      from_form == kGeoFormGeodetic ? UnitsPerDegree(src_h) : 1.0 / src_h;
  const double out_scale =
      to_form == kGeoFormGeodetic ? 1.0 / UnitsPerDegree(dst_h) : dst_h;
  PJ_COORD c = proj_coord(coords[1] * in_scale,
                          coords[0] * in_scale,
                          coords[2] / impl_->own.vertical[si],
                          HUGE_VAL);
  impl_->context.ClearLog();
  proj_errno_reset(op);
  c = proj_trans(op, PJ_FWD, c);
  if (!std::isfinite(c.xyz.x) || !std::isfinite(c.xyz.y) ||
      !std::isfinite(c.xyz.z)) {
    const std::string why = "PROJ cannot transform the point from \"" +
                            impl_->definition + "\" to \"" + target_def +
                            "\": " + impl_->context.Why(op);
    GeoSetError(kGeoTransformFailed, why.c_str());
    return E_FAIL;
  }
  coords[0] = c.xyz.y * out_scale;
  coords[1] = c.xyz.x * out_scale;
  coords[2] = c.xyz.z * dst_forms->vertical[di];
  return S_OK;
}

struct ProjGridGeoid::Impl {
  std::string error;
  std::mutex mutex;
  ProjContext context;
  PjPtr shift;
};

ComPtr<ProjGridGeoid> ProjGridGeoid::Create(const char* grid_name) {
  return ComPtr<ProjGridGeoid>(new ProjGridGeoid(grid_name));
}

ProjGridGeoid::ProjGridGeoid(const char* grid_name)
    : impl_(std::make_unique<Impl>()) {
  const std::string name = grid_name ? grid_name : "";
  if (name.empty() || name.find_first_of(" \t\r\n+") != std::string::npos) {
    impl_->error = "not a grid file name: \"" + name + "\"";
  } else if (impl_->context.get()) {
    // vgridshift adds multiplier times the grid value to the height.
    const std::string def =
        "+proj=vgridshift +grids=" + name + " +multiplier=1";
    impl_->shift.reset(proj_create(impl_->context.get(), def.c_str()));
    if (!impl_->shift)
      impl_->error = "PROJ cannot use the geoid grid \"" + name +
                     "\": " + impl_->context.Why();
  } else {
    impl_->error = "no PROJ context";
  }
  if (!impl_->error.empty())
    GeoSetError(kGeoBadDefinition, impl_->error.c_str());
}

ProjGridGeoid::~ProjGridGeoid() = default;

bool ProjGridGeoid::IsValid() const { return impl_->shift != nullptr; }

std::string ProjGridGeoid::GetError() const { return impl_->error; }

HRESULT ProjGridGeoid::GetUndulation(double lat_deg,
                                     double lon_deg,
                                     double* undulation_m) {
  if (!undulation_m) return E_POINTER;
  if (!impl_->shift) {
    GeoSetError(kGeoGeoidFailed, impl_->error.c_str());
    return E_FAIL;
  }
  std::lock_guard<std::mutex> lock(impl_->mutex);
  proj_errno_reset(impl_->shift.get());
  const PJ_COORD c = proj_trans(
      impl_->shift.get(),
      PJ_FWD,
      proj_coord(lon_deg * kRadPerDeg, lat_deg * kRadPerDeg, 0.0, HUGE_VAL));
  if (!std::isfinite(c.xyz.z)) {
    GeoSetError(kGeoGeoidFailed, "the point lies outside the geoid grid");
    return E_FAIL;
  }
  *undulation_m = c.xyz.z;
  return S_OK;
}

}  // namespace collinear
