#include <collinear/io/project_loader.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <utility>

#include <collinear/calculator/host/image_host.h>
#include <collinear/geo/derived_system.h>
#include <collinear/geo/engineering_system.h>
#include <collinear/geo/geo_coord.h>
#include <collinear/geo/geo_host.h>
#include <collinear/geo/proj_system.h>
#include <collinear/io/camera_file.h>
#include <collinear/io/camera_json.h>
#include <collinear/io/point_file.h>
#include <collinear/picture/picture_info.h>
#include <collinear/picture/stream.h>
#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

// Kinds of the working coordinate-system object: a local (derived) system,
// a projected one.
constexpr std::int32_t kKindLocal = 1;
constexpr std::int32_t kKindProjected = 2;

// A picture file opened anew for each read and seek, so that a project of
// many images does not hold one file open per image.
class PictureFile final : public StreamObject {
 public:
  static ComPtr<PictureFile> Create(const std::string& path) {
    return ComPtr<PictureFile>(new PictureFile(path));
  }

  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    if (read) *read = 0;
    const ComPtr<FileStream> f = Open();
    if (!f) return E_FAIL;
    ULONG n = 0;
    const HRESULT hr = f->Read(buffer, size, &n);
    pos_ += n;
    if (read) *read = n;
    return hr;
  }
  HRESULT Seek(std::int64_t move,
               std::uint32_t origin,
               std::uint64_t* position) override {
    const ComPtr<FileStream> f = Open();
    if (!f) return E_FAIL;
    std::uint64_t p = pos_;
    const HRESULT hr = f->Seek(move, origin, &p);
    if (hr >= 0) pos_ = p;
    if (position) *position = pos_;
    return hr;
  }

 private:
  explicit PictureFile(std::string path) : path_(std::move(path)) {}
  ~PictureFile() override = default;

  // The file at the current position; empty when it cannot be opened.
  ComPtr<FileStream> Open() const {
    ComPtr<FileStream> f = FileStream::Open(path_);
    if (f &&
        f->Seek(static_cast<std::int64_t>(pos_), STREAM_SEEK_SET, nullptr) < 0)
      f.reset();
    return f;
  }

  std::string path_;
  std::uint64_t pos_ = 0;
};

bool IsAbsolute(const std::string& path) {
  return !path.empty() && path[0] == '/';
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

const std::string& KeyOf(const ProjectSystem& s) { return s.id; }
const std::string& KeyOf(const ProjectCamera& c) { return c.id; }
const std::string& KeyOf(const ProjectPoint& p) { return p.name; }
const std::string& KeyOf(const ProjectImage& i) { return i.id; }
const std::string& KeyOf(const ProjectStation& s) { return s.id; }

// The names of list in ascending order, as messages list them.
template <class T>
std::vector<std::string> Ids(const std::vector<T>& list) {
  std::vector<std::string> ids;
  ids.reserve(list.size());
  for (const T& e : list) ids.push_back(KeyOf(e));
  std::sort(ids.begin(), ids.end());
  return ids;
}

// The entry of list named name, through its index; kNone when there is
// none.
template <class T>
std::size_t IndexOf(const std::vector<T>& list,
                    const NameIndex& index,
                    std::string_view name) {
  return index.Find(name, [&list](std::size_t i) -> const std::string& {
    return KeyOf(list[i]);
  });
}

// Enters the last entry of list into index.
template <class T>
void Enter(const std::vector<T>& list, NameIndex& index) {
  index.Insert(list.size() - 1, [&list](std::size_t i) -> const std::string& {
    return KeyOf(list[i]);
  });
}

}  // namespace

const std::vector<JsonReader::Pattern>& ProjectLoader::LeftOutLists() {
  static const std::vector<JsonReader::Pattern> kLists = {
      {"points"}, {"images", "*", "control"}};
  return kLists;
}

double AngleUnitSize(const std::string& unit) {
  if (unit == "deg") return kRadPerDeg;
  if (unit == "gon") return kPi / 200.0;
  if (unit == "rad") return 1.0;
  return 0.0;
}

ProjectLoader::ProjectLoader(Project& project,
                             std::string folder,
                             JsonReader& reader)
    : p_(project), folder_(std::move(folder)), r_(reader) {}

bool ProjectLoader::Load(const Json& doc) {
  if (!r_.CheckKeys(doc,
                    "",
                    {"format",
                     "version",
                     "name",
                     "angle_unit",
                     "working_system",
                     "geoid",
                     "coordinate_systems",
                     "cameras",
                     "points",
                     "stations",
                     "images"}))
    return false;
  if (const Json* f = Find(doc, "format")) {
    std::string format;
    if (!r_.Text(*f, "format", format)) return false;
    if (format != "collinear-project")
      return r_.Fail("format", "must be \"collinear-project\"");
  }
  if (const Json* v = Find(doc, "version")) {
    if (!v->is_number_integer() || v->get<long>() != 1)
      return r_.Fail("version", "this program reads version 1 project files");
  }
  if (const Json* n = Find(doc, "name")) {
    if (!r_.Text(*n, "name", p_.name_)) return false;
  }
  if (const Json* u = Find(doc, "angle_unit")) {
    if (!r_.Text(*u, "angle_unit", p_.angle_unit_)) return false;
    if (AngleUnitSize(p_.angle_unit_) == 0.0)
      return r_.Fail("angle_unit", R"(must be "deg", "gon" or "rad")");
  }
  p_.radians_per_unit_ = AngleUnitSize(p_.angle_unit_);
  return LoadSystems(doc) && LoadWorkingObject(doc) && LoadCameras(doc) &&
         LoadPoints(doc) && LoadStations(doc) && LoadImages(doc);
}

bool ProjectLoader::Angle(const Json& j,
                          const char* key,
                          const std::string& path,
                          double& out) {
  if (!r_.RequiredNumber(j, key, path, out)) return false;
  out *= p_.radians_per_unit_;
  return true;
}

template <class T>
bool ProjectLoader::Lookup(const std::vector<T>& list,
                           const NameIndex& known,
                           const std::string& name,
                           const std::string& path,
                           const char* what,
                           std::size_t& index) {
  index = IndexOf(list, known, name);
  if (index == NameIndex::kNone)
    return r_.Fail(path,
                   std::string("unknown ") + what + " " + Quote(name) +
                       " (known: " + JoinNames(Ids(list)) + ")");
  return true;
}

bool ProjectLoader::LoadSystems(const Json& doc) {
  const Json* list = nullptr;
  if (!r_.List(doc, "coordinate_systems", "", list)) return false;
  if (list->empty())
    return r_.Fail("coordinate_systems",
                   "at least one coordinate system is needed, for example "
                   "{\"id\": \"utm32\", \"crs\": \"EPSG:25832\"}");
  // Plain systems first, so that a derived one may name any as its base.
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t i = 0; i < list->size(); ++i) {
      const std::string path = Element("coordinate_systems", i);
      const Json& s = (*list)[i];
      if (!r_.CheckKeys(s,
                        path,
                        {"id",
                         "crs",
                         "engineering",
                         "base",
                         "similarity",
                         "affine",
                         "heights"}))
        return false;
      const bool derived = Find(s, "base") != nullptr;
      if (derived != (pass == 1)) continue;
      ProjectSystem sys;
      if (!r_.RequiredName(s, "id", path, sys.id)) return false;
      if (IndexOf(p_.systems_, p_.system_index_, sys.id) != NameIndex::kNone)
        return r_.Fail(Member(path, "id"),
                       "the id " + Quote(sys.id) + " repeats");
      sys.object = HostObject::Create();
      const bool frame = Find(s, "engineering") != nullptr;
      if (!(derived ? LoadDerived(s, path, sys)
            : frame ? LoadEngineering(s, path, sys)
                    : LoadPlain(s, path, sys)))
        return false;
      sys.orthometric = !sys.geographic;
      if (const Json* h = Find(s, "heights")) {
        if (derived || frame)
          return r_.Fail(Member(path, "heights"),
                         frame ? "an engineering frame has no geoid: its z "
                                 "is a height as it stands"
                               : "a local system's heights are carried "
                                 "through its definition as they stand");
        std::string kind;
        if (!r_.Text(*h, Member(path, "heights"), kind)) return false;
        if (kind != "orthometric" && kind != "ellipsoidal")
          return r_.Fail(Member(path, "heights"),
                         R"(must be "orthometric" or "ellipsoidal")");
        sys.orthometric = kind == "orthometric";
      }
      // The reference that points of the system carry: a stored
      // orientation is read only in a working system of its kind.
      ComPtr<HostObject> ref = HostObject::Create();
      ref->AddClass(kGeoReferenceClass)
          .SetObject(kGeoPropStandsFor, sys.object.get())
          .SetInt32(kGeoPropRefFlag, 1);
      if (sys.derived) ref->AddClass(kGeoDerivedClass);
      sys.reference = ref;
      p_.helpers_.push_back(ref);
      p_.systems_.push_back(std::move(sys));
      Enter(p_.systems_, p_.system_index_);
    }
  }
  return true;
}

bool ProjectLoader::LoadPlain(const Json& s,
                              const std::string& path,
                              ProjectSystem& sys) {
  for (const char* k : {"similarity", "affine"})
    if (Find(s, k))
      return r_.Fail(Member(path, k),
                     "belongs to a derived system (one with 'base')");
  const Json* crs = Find(s, "crs");
  if (!crs)
    return r_.Fail(
        path,
        "needs 'crs' (an EPSG code, PROJ string or WKT), 'engineering' "
        "(a laboratory frame) or 'base'");
  if (!r_.Text(*crs, Member(path, "crs"), sys.crs)) return false;
  ComPtr<ProjCoordSystem> proj = ProjCoordSystem::Create(sys.crs.c_str());
  if (!proj->IsValid())
    return r_.Fail(
        Member(path, "crs"),
        "PROJ cannot use " + Quote(sys.crs) + ": " + proj->GetError());
  sys.geographic = (proj->GetForms() & kGeoFormPlane) == 0;
  AttachGeoSystem(*sys.object, proj.get());
  return true;
}

bool ProjectLoader::LoadEngineering(const Json& s,
                                    const std::string& path,
                                    ProjectSystem& sys) {
  // Metres per unit of the lengths an engineering frame may be kept in.
  static const std::pair<const char*, double> kUnits[] = {{"m", 1.0},
                                                          {"dm", 0.1},
                                                          {"cm", 0.01},
                                                          {"mm", 0.001},
                                                          {"um", 1e-6},
                                                          {"km", 1000.0},
                                                          {"in", 0.0254},
                                                          {"ft", 0.3048}};
  for (const char* k : {"crs", "similarity", "affine"})
    if (Find(s, k))
      return r_.Fail(Member(path, k),
                     "an engineering frame has no CRS and no definition on "
                     "another system; give 'engineering' or this, not both");
  const std::string ep = Member(path, "engineering");
  const Json& e = *Find(s, "engineering");
  if (!e.is_object())
    return r_.Fail(ep, R"(must be an object such as {"unit": "mm"})");
  if (!r_.CheckKeys(e, ep, {"unit"})) return false;
  if (const Json* u = Find(e, "unit")) {
    if (!r_.Text(*u, Member(ep, "unit"), sys.unit)) return false;
  }
  std::string known;
  bool found = false;
  for (const auto& u : kUnits) {
    known += (known.empty() ? "" : ", ") + std::string(u.first);
    if (sys.unit == u.first) {
      sys.metres_per_unit = u.second;
      found = true;
    }
  }
  if (!found)
    return r_.Fail(
        Member(ep, "unit"),
        "unknown length unit " + Quote(sys.unit) + " (known: " + known + ")");
  sys.engineering = true;
  AttachGeoSystem(*sys.object, EngineeringCoordSystem::Create(sys.id).get());
  return true;
}

double ProjectLoader::FromMetres(double metres) const {
  return metres / working_->metres_per_unit;
}

bool ProjectLoader::LoadDerived(const Json& s,
                                const std::string& path,
                                ProjectSystem& sys) {
  for (const char* k : {"crs", "engineering"})
    if (Find(s, k))
      return r_.Fail(Member(path, k),
                     "a derived system takes its CRS or frame from its base; "
                     "give one of them");
  sys.derived = true;
  if (!r_.RequiredName(s, "base", path, sys.base)) return false;
  const std::size_t at = IndexOf(p_.systems_, p_.system_index_, sys.base);
  if (at == NameIndex::kNone || p_.systems_[at].derived)
    return r_.Fail(Member(path, "base"),
                   "must name a system with a 'crs' (known: " +
                       JoinNames(PlainIds()) + ")");
  const ProjectSystem& base = p_.systems_[at];
  sys.engineering = base.engineering;
  sys.unit = base.unit;
  sys.metres_per_unit = base.metres_per_unit;
  if (base.geographic)
    return r_.Fail(Member(path, "base"),
                   "the base " + Quote(base.id) +
                       " is geographic; a local system needs a projected base");
  const ComPtr<IGeoCoordSystem> base_system = QueryGeoSystem(base.object.get());
  const Json* sim = Find(s, "similarity");
  const Json* aff = Find(s, "affine");
  if ((sim != nullptr) == (aff != nullptr))
    return r_.Fail(path, "needs exactly one of 'similarity' and 'affine'");
  ComPtr<DerivedCoordSystem> derived;
  if (sim) {
    const std::string sp = Member(path, "similarity");
    if (!r_.CheckKeys(*sim, sp, {"origin", "rotation", "scale"})) return false;
    const Json* o = Find(*sim, "origin");
    if (!o) return r_.Fail(sp, "needs 'origin'");
    std::vector<double> origin;
    double rotation = 0.0, scale = 1.0;
    if (!r_.Numbers(*o, Member(sp, "origin"), 3, origin) ||
        !r_.OptionalNumber(*sim, "rotation", sp, rotation) ||
        !r_.OptionalNumber(*sim, "scale", sp, scale) ||
        !r_.Positive(scale, Member(sp, "scale")))
      return false;
    rotation *= p_.radians_per_unit_;
    // The base's plane form is northing, easting, height and a turn
    // about its third axis goes from north to east: a local x axis
    // turned anticlockwise from east by r is a turn of -r there.
    const double shift[3] = {origin[1], origin[0], origin[2]};
    const double angles[3] = {0.0, 0.0, -rotation};
    derived = DerivedCoordSystem::CreateSimilarity(
        base_system.get(), shift, angles, scale);
  } else {
    const std::string ap = Member(path, "affine");
    if (!r_.CheckKeys(*aff, ap, {"x", "y"})) return false;
    const Json* xj = Find(*aff, "x");
    const Json* yj = Find(*aff, "y");
    if (!xj || !yj) return r_.Fail(ap, "needs 'x' and 'y', three numbers each");
    std::vector<double> x, y;
    if (!r_.Numbers(*xj, Member(ap, "x"), 3, x) ||
        !r_.Numbers(*yj, Member(ap, "y"), 3, y))
      return false;
    // x_base = x0 + x1 x + x2 y, in the base's (north, east) order and
    // the local (y, x) order.
    const double first[3] = {y[0], y[2], y[1]};
    const double second[3] = {x[0], x[2], x[1]};
    derived =
        DerivedCoordSystem::CreateAffine(base_system.get(), first, second);
  }
  if (!derived->IsValid())
    return r_.Fail(path, "unusable local system: " + derived->GetError());
  sys.object->AddClass(kGeoDerivedClass);
  AttachGeoSystem(*sys.object, derived.get());
  return true;
}

std::vector<std::string> ProjectLoader::PlainIds() const {
  std::vector<std::string> ids;
  for (const ProjectSystem& s : p_.systems_)
    if (!s.derived) ids.push_back(s.id);
  return ids;
}

bool ProjectLoader::LoadWorkingObject(const Json& doc) {
  std::string id;
  if (const Json* w = Find(doc, "working_system")) {
    if (!r_.Name(*w, "working_system", id)) return false;
  } else if (p_.systems_.size() == 1) {
    id = p_.systems_[0].id;
  } else {
    return r_.Fail("working_system",
                   "is needed when there are several coordinate systems: the "
                   "id of the one in which images are oriented");
  }
  std::size_t index = 0;
  if (!Lookup(
          p_.systems_, p_.system_index_, id, "working_system", "system", index))
    return false;
  const ProjectSystem& sys = p_.systems_[index];
  if (sys.geographic)
    return r_.Fail("working_system",
                   Quote(id) +
                       " is geographic; images are oriented in a projected "
                       "or local system with coordinates in metres");
  p_.working_system_ = id;
  p_.length_unit_ = sys.unit;
  working_ = &sys;
  if (!sys.orthometric)
    return r_.Fail("working_system",
                   "the working system keeps heights above the geoid; " +
                       Quote(id) + " is declared with ellipsoidal heights");
  // The kind of the working system and the system itself.
  auto describe = [this, &sys](HostObject& o) {
    if (sys.derived)
      o.SetInt32(kGeoPropKind, kKindLocal)
          .SetObject(kGeoPropSystemKind1, sys.object.get())
          .SetObject(
              kGeoPropBaseSystem,
              p_.systems_[IndexOf(p_.systems_, p_.system_index_, sys.base)]
                  .object.get());
    else
      o.SetInt32(kGeoPropKind, kKindProjected)
          .SetObject(kGeoPropSystemKind2, sys.object.get())
          .SetObject(kGeoPropBaseSystem, sys.object.get());
  };
  p_.working_object_ = HostObject::Create();
  describe(*p_.working_object_);
  // Points with ellipsoidal heights refer to a copy of the working
  // object that also names the geoid; the others need none.
  const Json* g = Find(doc, "geoid");
  if (!g) return true;
  if (sys.engineering)
    return r_.Fail("geoid",
                   "the working system " + Quote(id) +
                       " is an engineering frame, whose heights have no "
                       "geoid; leave 'geoid' out");
  if (!r_.CheckKeys(*g, "geoid", {"grid", "undulation_m"})) return false;
  ComPtr<HostObject> geoid = HostObject::Create();
  if (const Json* grid = Find(*g, "grid")) {
    std::string name;
    if (!r_.Text(*grid, "geoid.grid", name)) return false;
    ComPtr<ProjGridGeoid> model = ProjGridGeoid::Create(name.c_str());
    if (!model->IsValid())
      return r_.Fail("geoid.grid",
                     "cannot use the geoid grid " + Quote(name) + ": " +
                         model->GetError());
    AttachGeoid(*geoid, model.get());
  } else if (Find(*g, "undulation_m")) {
    double n = 0.0;
    if (!r_.OptionalNumber(*g, "undulation_m", "geoid", n)) return false;
    AttachGeoid(*geoid, ConstantGeoid::Create(n).get());
  } else {
    return r_.Fail("geoid", "needs 'grid' or 'undulation_m'");
  }
  ComPtr<HostObject>& ellipsoidal = p_.ellipsoidal_object_;
  ellipsoidal = HostObject::Create();
  describe(*ellipsoidal);
  ellipsoidal->SetObject(kGeoPropGeoid, geoid.get());
  p_.helpers_.push_back(geoid);
  p_.helpers_.push_back(ellipsoidal);
  return true;
}

bool ProjectLoader::LoadCameras(const Json& doc) {
  const Json* list = nullptr;
  if (!r_.List(doc, "cameras", "", list)) return false;
  for (std::size_t i = 0; i < list->size(); ++i) {
    const std::string path = Element("cameras", i);
    const Json& c = (*list)[i];
    ProjectCamera cam;
    if (c.is_object() && Find(c, "file")) {
      if (!ReadCameraReference(c, path, cam)) return false;
    } else if (!ReadCameraObject(r_, c, path, true, cam)) {
      return false;
    }
    if (IndexOf(p_.cameras_, p_.camera_index_, cam.id) != NameIndex::kNone)
      return r_.Fail(Member(path, "id"),
                     "the id " + Quote(cam.id) + " repeats");
    cam.object = HostObject::Create();
    HostObject& o = *cam.object;
    o.SetString(kPointPropName, cam.id)
        .SetDouble(kCameraPropFocus, cam.focal_mm)
        .SetDouble(kCameraPropPrincipalX, cam.principal_mm[0])
        .SetDouble(kCameraPropPrincipalY, cam.principal_mm[1])
        .SetDouble(kCameraPropPixelSizeX, cam.pixel_mm[0])
        .SetDouble(kCameraPropPixelSizeY, cam.pixel_mm[1]);
    if (!cam.radial.empty()) o.SetDoubles(kCameraPropRadial, cam.radial);
    if (!cam.further.empty()) o.SetDoubles(kCameraPropFurther, cam.further);
    if (const Json* m = Find(c, "mount")) {
      if (!LoadMount(*m, Member(path, "mount"), cam)) return false;
    }
    p_.cameras_.push_back(std::move(cam));
    Enter(p_.cameras_, p_.camera_index_);
  }
  return true;
}

bool ProjectLoader::ReadCameraReference(const Json& c,
                                        const std::string& path,
                                        ProjectCamera& cam) {
  if (!r_.CheckKeys(c, path, {"id", "file", "mount"})) return false;
  std::string id, file;
  if (!r_.RequiredName(c, "id", path, id) ||
      !r_.Text(*Find(c, "file"), Member(path, "file"), file))
    return false;
  const std::string resolved = IsAbsolute(file) ? file : folder_ + "/" + file;
  std::string error;
  if (!ReadCameraFile(resolved, cam, error))
    return r_.Fail(Member(path, "file"),
                   error +
                       " (a relative path starts at the project file's "
                       "folder)");
  cam.id = id;
  return true;
}

bool ProjectLoader::LoadMount(const Json& m,
                              const std::string& path,
                              ProjectCamera& cam) {
  if (!r_.CheckKeys(m, path, {"offset_m", "pan", "tilt", "roll"})) return false;
  if (const Json* off = Find(m, "offset_m")) {
    std::vector<double> v;
    if (!r_.Numbers(*off, Member(path, "offset_m"), 3, v)) return false;
    for (int k = 0; k < 3; ++k) cam.mount_offset_m[k] = FromMetres(v[k]);
  }
  const char* keys[3] = {"pan", "tilt", "roll"};
  for (int k = 0; k < 3; ++k) {
    double a = 0.0;
    if (!Find(m, keys[k])) continue;
    if (!r_.OptionalNumber(m, keys[k], path, a)) return false;
    cam.mount_deg[k] = a * p_.radians_per_unit_ * kDegPerRad;
  }
  cam.mounted = true;
  HostObject& o = *cam.object;
  o.AddClass(kMountedCameraClass);
  o.SetDouble(kMountPropOffsetX, cam.mount_offset_m[0])
      .SetDouble(kMountPropOffsetY, cam.mount_offset_m[1])
      .SetDouble(kMountPropOffsetZ, cam.mount_offset_m[2])
      .SetDouble(kMountPropPanDeg, cam.mount_deg[0])
      .SetDouble(kMountPropTiltDeg, cam.mount_deg[1])
      .SetDouble(kMountPropRollDeg, cam.mount_deg[2]);
  return true;
}

bool ProjectLoader::LoadPoints(const Json& doc) {
  const Json* list = nullptr;
  if (!r_.List(doc, "points", "", list)) return false;
  p_.points_.reserve(r_.LeftOutCount(kPointsList, 0));
  return r_.ForEachLeftOut(
      kPointsList, 0, [this](std::size_t i, const Json& j) {
        return LoadPoint(i, j);
      });
}

bool ProjectLoader::LoadPoint(std::size_t i, const Json& j) {
  const std::string path = Element("points", i);
  if (!r_.CheckKeys(
          j, path, {"name", "system", "x", "y", "z", "lat", "lon", "h"}))
    return false;
  ProjectPoint pt;
  if (!r_.RequiredName(j, "name", path, pt.name)) return false;
  const std::size_t dup = IndexOf(p_.points_, p_.point_index_, pt.name);
  if (dup != NameIndex::kNone)
    return r_.Fail(Member(path, "name"),
                   "the name " + Quote(pt.name) + " repeats points[" +
                       std::to_string(dup) + "]");
  pt.system = p_.working_system_;
  if (const Json* s = Find(j, "system")) {
    if (!r_.Name(*s, Member(path, "system"), pt.system)) return false;
  }
  std::size_t index = 0;
  if (!Lookup(p_.systems_,
              p_.system_index_,
              pt.system,
              Member(path, "system"),
              "system",
              index))
    return false;
  const ProjectSystem& sys = p_.systems_[index];
  const char* plane[3] = {"x", "y", "z"};
  const char* geodetic[3] = {"lat", "lon", "h"};
  const char* const* want = sys.geographic ? geodetic : plane;
  const char* const* other = sys.geographic ? plane : geodetic;
  for (int k = 0; k < 3; ++k) {
    if (Find(j, other[k]))
      return r_.Fail(Member(path, other[k]),
                     std::string("system ") + Quote(sys.id) + " takes " +
                         (sys.geographic ? "lat, lon, h" : "x, y, z"));
    if (!r_.RequiredNumber(j, want[k], path, pt.coords[k])) return false;
  }
  if (sys.geographic && std::fabs(pt.coords[0]) > 90.0)
    return r_.Fail(Member(path, "lat"), "must lie within -90 to 90 degrees");
  // An engineering frame and the systems derived from it stand apart.
  auto root = [](const ProjectSystem& x) { return x.derived ? x.base : x.id; };
  if ((sys.engineering || working_->engineering) &&
      root(sys) != root(*working_))
    return r_.Fail(Member(path, "system"),
                   "no conversion between " + Quote(sys.id) +
                       " and the working system " + Quote(working_->id) +
                       ": an engineering frame has no geodetic relation to "
                       "other systems");
  if (!sys.orthometric && working_->derived)
    return r_.Fail(path,
                   "its system " + Quote(sys.id) +
                       " has ellipsoidal heights, which the local working "
                       "system " +
                       Quote(working_->id) +
                       " cannot take; work in a projected system");
  if (!sys.orthometric && !p_.ellipsoidal_object_)
    return r_.Fail(path,
                   "its system " + Quote(sys.id) +
                       " has ellipsoidal heights and the project gives no "
                       "'geoid' to reduce them (or declare the system's "
                       "heights \"orthometric\")");
  p_.points_.push_back(std::move(pt));
  Enter(p_.points_, p_.point_index_);
  return true;
}

bool ProjectLoader::PointObject(const std::string& name,
                                const std::string& path,
                                HostObject*& out) {
  std::size_t index = 0;
  if (!Lookup(p_.points_, p_.point_index_, name, path, "point", index))
    return false;
  ProjectPoint& pt = p_.points_[index];
  if (!pt.object) pt.object = p_.PointObject(pt);
  out = pt.object.get();
  return true;
}

bool ProjectLoader::LoadStations(const Json& doc) {
  const Json* list = nullptr;
  if (!r_.List(doc, "stations", "", list)) return false;
  for (std::size_t i = 0; i < list->size(); ++i) {
    const std::string path = Element("stations", i);
    const Json& j = (*list)[i];
    if (!r_.CheckKeys(
            j, path, {"id", "point", "instrument_height", "measurements"}))
      return false;
    ProjectStation st;
    if (!r_.RequiredName(j, "id", path, st.id)) return false;
    if (IndexOf(p_.stations_, p_.station_index_, st.id) != NameIndex::kNone)
      return r_.Fail(Member(path, "id"), "the id " + Quote(st.id) + " repeats");
    if (!r_.RequiredName(j, "point", path, st.point)) return false;
    HostObject* point = nullptr;
    if (!PointObject(st.point, Member(path, "point"), point)) return false;
    st.object = HostObject::Create();
    st.object->SetObject(kStationPropPoint, point);
    if (!r_.OptionalNumber(j, "instrument_height", path, st.instrument_height))
      return false;
    st.instrument_height = FromMetres(st.instrument_height);
    st.object->SetDouble(kStationPropHeight, st.instrument_height);
    const Json* ms = nullptr;
    if (!r_.List(j, "measurements", path, ms)) return false;
    ComPtr<HostObjectSet> set = HostObjectSet::Create();
    std::set<std::string> ids;
    for (std::size_t k = 0; k < ms->size(); ++k) {
      const std::string mp = Element(Member(path, "measurements"), k);
      ProjectMeasurement m;
      if (!LoadMeasurement((*ms)[k], mp, st, m)) return false;
      if (!m.id.empty() && !ids.insert(m.id).second)
        return r_.Fail(Member(mp, "id"),
                       "the id " + Quote(m.id) + " repeats within the station");
      set->Add(m.object.get());
      st.measurements.push_back(std::move(m));
    }
    st.object->SetObjectSet(kStationPropMeasurements, set.get());
    p_.stations_.push_back(std::move(st));
    Enter(p_.stations_, p_.station_index_);
  }
  return true;
}

bool ProjectLoader::LoadMeasurement(const Json& j,
                                    const std::string& path,
                                    const ProjectStation& st,
                                    ProjectMeasurement& m) {
  if (!r_.CheckKeys(j,
                    path,
                    {"id",
                     "target",
                     "role",
                     "horizontal_direction",
                     "vertical_angle",
                     "zenith_angle",
                     "slope_distance",
                     "azimuth"}))
    return false;
  if (const Json* id = Find(j, "id")) {
    if (!r_.Name(*id, Member(path, "id"), m.id)) return false;
  }
  m.role = "sight";
  if (const Json* r = Find(j, "role")) {
    if (!r_.Text(*r, Member(path, "role"), m.role)) return false;
  }
  std::int32_t code = 0;
  if (m.role == "backsight")
    code = kMeasKindBacksight;
  else if (m.role == "azimuth")
    code = kMeasKindAzimuth;
  else if (m.role != "sight")
    return r_.Fail(Member(path, "role"),
                   R"(must be "sight", "backsight" or "azimuth")");
  m.object = HostObject::Create();
  HostObject& o = *m.object;
  o.SetObject(kMeasPropStation, st.object.get())
      .SetObject(kMeasPropCrsObject, p_.working_object_.get())
      .SetInt32(kMeasPropCode, code);
  if (const Json* t = Find(j, "target")) {
    HostObject* target = nullptr;
    if (!r_.Name(*t, Member(path, "target"), m.target) ||
        !PointObject(m.target, Member(path, "target"), target))
      return false;
    o.SetObject(kMeasPropTarget, target);
  } else if (m.role == "backsight") {
    return r_.Fail(path, "a backsight needs the 'target' it sights");
  }
  if (!Angle(j, "horizontal_direction", path, m.direction)) return false;
  o.SetDouble(kMeasPropDirection, m.direction);
  const Json* va = Find(j, "vertical_angle");
  const Json* za = Find(j, "zenith_angle");
  if (va && za)
    return r_.Fail(path, "give 'vertical_angle' or 'zenith_angle', not both");
  double angle = 0.0;
  if (va) {
    if (!r_.Number(*va, Member(path, "vertical_angle"), angle)) return false;
    m.vertical = angle * p_.radians_per_unit_;
  }
  if (za) {
    if (!r_.Number(*za, Member(path, "zenith_angle"), angle)) return false;
    m.vertical = 0.5 * kPi - angle * p_.radians_per_unit_;
  }
  if (va || za) o.SetDouble(kMeasPropVertical, m.vertical);
  if (Find(j, "slope_distance")) {
    double d = 0.0;
    if (!r_.OptionalNumber(j, "slope_distance", path, d) ||
        !r_.Positive(d, Member(path, "slope_distance")))
      return false;
    m.distance = FromMetres(d);
    o.SetDouble(kMeasPropDistance, m.distance);
  }
  if (Find(j, "azimuth")) {
    if (m.role != "azimuth")
      return r_.Fail(Member(path, "azimuth"),
                     "belongs to a measurement of role azimuth");
    if (!Angle(j, "azimuth", path, m.azimuth)) return false;
    o.SetDouble(kMeasPropAzimuth, m.azimuth);
  } else if (m.role == "azimuth") {
    return r_.Fail(path, "a measurement of role azimuth needs 'azimuth'");
  }
  return true;
}

bool ProjectLoader::LoadImages(const Json& doc) {
  const Json* list = nullptr;
  if (!r_.List(doc, "images", "", list)) return false;
  for (std::size_t i = 0; i < list->size(); ++i) {
    const std::string path = Element("images", i);
    const Json& j = (*list)[i];
    if (!r_.CheckKeys(j,
                      path,
                      {"id",
                       "camera",
                       "picture",
                       "exterior",
                       "control",
                       "total_station"}))
      return false;
    ProjectImage img;
    if (!r_.RequiredName(j, "id", path, img.id)) return false;
    if (IndexOf(p_.images_, p_.image_index_, img.id) != NameIndex::kNone)
      return r_.Fail(Member(path, "id"),
                     "the id " + Quote(img.id) + " repeats");
    if (!r_.RequiredName(j, "camera", path, img.camera)) return false;
    std::size_t camera = 0;
    if (!Lookup(p_.cameras_,
                p_.camera_index_,
                img.camera,
                Member(path, "camera"),
                "camera",
                camera))
      return false;
    img.object = HostObject::Create();
    img.object->SetString(kPointPropName, img.id)
        .SetObject(kImagePropCamera, p_.cameras_[camera].object.get())
        .SetObject(kImagePropCrsObject, p_.working_object_.get());
    if (const Json* pic = Find(j, "picture")) {
      if (!LoadPicture(*pic, Member(path, "picture"), img)) return false;
    }
    if (const Json* e = Find(j, "exterior")) {
      if (!LoadExterior(*e, Member(path, "exterior"), img)) return false;
    }
    if (!LoadControl(j, i, path, img)) return false;
    if (const Json* ts = Find(j, "total_station")) {
      if (!LoadTotalStation(*ts, Member(path, "total_station"), img))
        return false;
    }
    p_.images_.push_back(std::move(img));
    Enter(p_.images_, p_.image_index_);
  }
  return true;
}

bool ProjectLoader::LoadPicture(const Json& pic,
                                const std::string& path,
                                ProjectImage& img) {
  std::string file;
  if (!r_.Text(pic, path, file)) return false;
  img.picture = IsAbsolute(file) ? file : folder_ + "/" + file;
  if (!FileStream::Open(img.picture))
    return r_.Fail(path,
                   "cannot open the picture " + Quote(img.picture) +
                       " (a relative path starts at the project file's "
                       "folder)");
  const ComPtr<PictureFile> stream = PictureFile::Create(img.picture);
  PictureInfo info;
  if (!ReadPictureInfo(stream.get(), &info))
    return r_.Fail(path,
                   Quote(img.picture) +
                       " is not a JPEG, PNG, BMP or TIFF picture that can be "
                       "read");
  AttachPicture(*img.object, stream.get());
  return true;
}

bool ProjectLoader::LoadExterior(const Json& e,
                                 const std::string& path,
                                 ProjectImage& img) {
  if (!r_.CheckKeys(e, path, {"x", "y", "z", "omega", "phi", "kappa"}))
    return false;
  ExteriorOrientation& x = img.exterior;
  if (!r_.RequiredNumber(e, "x", path, x.x) ||
      !r_.RequiredNumber(e, "y", path, x.y) ||
      !r_.RequiredNumber(e, "z", path, x.z) ||
      !Angle(e, "omega", path, x.omega) || !Angle(e, "phi", path, x.phi) ||
      !Angle(e, "kappa", path, x.kappa))
    return false;
  img.has_exterior = true;
  const double c[3] = {x.x, x.y, x.z};
  ComPtr<HostObject> centre =
      p_.MakePointObject(*working_, c, img.id + " centre");
  p_.helpers_.push_back(centre);
  img.object->SetDouble(kImagePropPhi, x.phi)
      .SetDouble(kImagePropOmega, x.omega)
      .SetDouble(kImagePropKappa, x.kappa)
      .SetObject(kImagePropCentre, centre.get());
  return true;
}

bool ProjectLoader::LoadControl(const Json& j,
                                std::size_t image,
                                const std::string& path,
                                ProjectImage& img) {
  const Json* list = nullptr;
  if (!r_.List(j, "control", path, list)) return false;
  ComPtr<HostObjectSet> set = HostObjectSet::Create();
  NameIndex seen;
  img.control.reserve(r_.LeftOutCount(kControlList, image));
  const bool ok =
      r_.ForEachLeftOut(kControlList, image, [&](std::size_t k, const Json& m) {
        const std::string cp = Element(Member(path, "control"), k);
        if (!r_.CheckKeys(m, cp, {"point", "pixel"})) return false;
        ProjectControl c;
        if (!r_.RequiredName(m, "point", cp, c.point)) return false;
        const std::size_t dup =
            seen.Find(c.point, [&img](std::size_t i) -> const std::string& {
              return img.control[i].point;
            });
        if (dup != NameIndex::kNone)
          return r_.Fail(Member(cp, "point"),
                         "point " + Quote(c.point) +
                             " is measured already in control[" +
                             std::to_string(dup) + "]");
        const Json* px = Find(m, "pixel");
        if (!px) return r_.Fail(cp, "needs 'pixel': [x, y]");
        std::vector<double> v;
        if (!r_.Numbers(*px, Member(cp, "pixel"), 2, v)) return false;
        c.x_px = v[0];
        c.y_px = v[1];
        HostObject* point = nullptr;
        if (!PointObject(c.point, Member(cp, "point"), point)) return false;
        c.object = HostObject::Create();
        c.object->SetObject(kImageMeasPropPoint, point)
            .SetDouble(kImageMeasPropX, c.x_px)
            .SetDouble(kImageMeasPropY, c.y_px)
            .SetObject(kGeoPropCrsObject, p_.working_object_.get());
        set->Add(c.object.get());
        img.control.push_back(std::move(c));
        seen.Insert(img.control.size() - 1,
                    [&img](std::size_t i) -> const std::string& {
                      return img.control[i].point;
                    });
        return true;
      });
  if (!ok) return false;
  if (!img.control.empty())
    img.object->SetObjectSet(kImagePropControlMeasurements, set.get());
  return true;
}

bool ProjectLoader::LoadTotalStation(const Json& ts,
                                     const std::string& path,
                                     ProjectImage& img) {
  if (!r_.CheckKeys(ts, path, {"station", "measurement"}) ||
      !r_.RequiredName(ts, "station", path, img.station) ||
      !r_.RequiredName(ts, "measurement", path, img.measurement))
    return false;
  std::size_t index = 0;
  if (!Lookup(p_.stations_,
              p_.station_index_,
              img.station,
              Member(path, "station"),
              "station",
              index))
    return false;
  const ProjectStation& st = p_.stations_[index];
  // A station holds a handful of measurements: a plain search.
  const ProjectMeasurement* found = nullptr;
  std::vector<std::string> ids;
  for (const ProjectMeasurement& m : st.measurements) {
    if (m.id == img.measurement) found = &m;
    if (!m.id.empty()) ids.push_back(m.id);
  }
  if (!found)
    return r_.Fail(Member(path, "measurement"),
                   "station " + Quote(st.id) + " has no measurement " +
                       Quote(img.measurement) + " (its ids: " + JoinNames(ids) +
                       ")");
  img.object->SetObject(kImagePropMeasurement, found->object.get());
  return true;
}

std::unique_ptr<Project> ProjectLoader::Run(
    const std::string& source,
    const std::string& folder,
    std::string& error,
    const std::function<bool(JsonReader&, Json&)>& parse) {
  error.clear();
  std::unique_ptr<Project> p;
  const bool ok = CatchForeign(source + ": ", error, [&]() {
    JsonReader r;
    Json doc;
    if (parse(r, doc) && !doc.is_object())
      r.Fail("", "the document must be a JSON object");
    if (!r.failed()) {
      p.reset(new Project());
      p->source_ = source;
      ProjectLoader(*p, folder.empty() ? "." : folder, r).Load(doc);
    }
    if (!r.failed()) return true;
    error = source + ": " + r.message();
    return false;
  });
  if (!ok) p.reset();
  return p;
}

std::unique_ptr<Project> Project::Load(const std::string& path,
                                       std::string& error) {
  // Read in blocks, twice over the large lists, rather than held whole.
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
      std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) {
    std::string unused;
    CatchForeign(path + ": ", error, [&]() {
      return ReadTextFile(path, unused, error);  // says why
    });
    return nullptr;
  }
  return ProjectLoader::Run(
      path, FolderOf(path), error, [&file](JsonReader& r, Json& doc) {
        return r.ParseFileLeavingOut(
            file.get(), ProjectLoader::LeftOutLists(), doc);
      });
}

std::unique_ptr<Project> Project::Parse(const std::string& text,
                                        const std::string& source,
                                        const std::string& folder,
                                        std::string& error) {
  return ProjectLoader::Run(
      source, folder, error, [&text](JsonReader& r, Json& doc) {
        return r.ParseLeavingOut(text, ProjectLoader::LeftOutLists(), doc);
      });
}

}  // namespace collinear
