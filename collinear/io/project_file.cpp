#include <collinear/io/project_file.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include <collinear/calculator/host/image_host.h>
#include <collinear/geo/derived_system.h>
#include <collinear/geo/geo_coord.h>
#include <collinear/geo/geo_host.h>
#include <collinear/geo/proj_system.h>
#include <collinear/io/point_file.h>
#include <collinear/picture/picture_info.h>
#include <collinear/picture/stream.h>

namespace collinear {
namespace {

using Json = nlohmann::ordered_json;

// Kinds of the working coordinate-system object: a local (derived) system,
// a projected one.
constexpr std::int32_t kKindLocal = 1;
constexpr std::int32_t kKindProjected = 2;

// Project files are laid out for lines of this many columns.
constexpr std::size_t kLineWidth = 80;

// A problem found while loading: where in the document and what.
struct LoadError {
  std::string path;
  std::string what;
};

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
  throw LoadError{path, what};
}

std::string Member(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

std::string Element(const std::string& path, std::size_t i) {
  return path + "[" + std::to_string(i) + "]";
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::string KindOf(const Json& j) {
  if (j.is_object()) return "an object";
  if (j.is_array()) return "a list";
  if (j.is_string()) return "a string";
  if (j.is_boolean()) return "true/false";
  if (j.is_null()) return "null";
  return "a number";
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
  return s.empty() ? "none" : s;
}

// The keys of an object: those given, and any starting with '_' (notes).
void CheckKeys(const Json& j,
               const std::string& path,
               const std::vector<std::string>& allowed) {
  if (!j.is_object()) Fail(path, "must be an object, not " + KindOf(j));
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string& key = it.key();
    if (!key.empty() && key[0] == '_') continue;
    bool known = false;
    for (const std::string& a : allowed) known = known || a == key;
    if (!known)
      Fail(Member(path, key),
           "unknown key; allowed here: " + JoinNames(allowed));
  }
}

const Json* Find(const Json& j, const char* key) {
  const auto it = j.find(key);
  return it == j.end() ? nullptr : &*it;
}

double Number(const Json& v, const std::string& path) {
  if (!v.is_number()) Fail(path, "must be a number, not " + KindOf(v));
  const double d = v.get<double>();
  if (!std::isfinite(d)) Fail(path, "must be a finite number");
  return d;
}

double RequiredNumber(const Json& j, const char* key, const std::string& path) {
  const Json* v = Find(j, key);
  if (!v) Fail(path, std::string("needs '") + key + "'");
  return Number(*v, Member(path, key));
}

bool OptionalNumber(const Json& j,
                    const char* key,
                    const std::string& path,
                    double& out) {
  const Json* v = Find(j, key);
  if (!v) return false;
  out = Number(*v, Member(path, key));
  return true;
}

// The shortest text that reads back as v.
std::string NumberText(double v) {
  char buf[32];
  for (int digits = 6; digits <= 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

double Positive(double v, const std::string& path) {
  if (!(v > 0.0))
    Fail(path, "must be greater than 0 (it is " + NumberText(v) + ")");
  return v;
}

std::string Text(const Json& v, const std::string& path) {
  if (!v.is_string()) Fail(path, "must be a string, not " + KindOf(v));
  std::string s = v.get<std::string>();
  if (s.empty()) Fail(path, "must not be empty");
  return s;
}

// A name or id: a string, or a whole number taken as its decimal text.
std::string Name(const Json& v, const std::string& path) {
  if (v.is_number_integer()) return v.dump();
  if (!v.is_string())
    Fail(path, "must be a string (or a whole number), not " + KindOf(v));
  return Text(v, path);
}

std::string RequiredName(const Json& j,
                         const char* key,
                         const std::string& path) {
  const Json* v = Find(j, key);
  if (!v) Fail(path, std::string("needs '") + key + "'");
  return Name(*v, Member(path, key));
}

std::vector<double> Numbers(const Json& v,
                            const std::string& path,
                            std::size_t count) {
  if (!v.is_array() || (count > 0 && v.size() != count))
    Fail(path,
         count > 0 ? "must be a list of " + std::to_string(count) + " numbers"
                   : "must be a list of numbers");
  std::vector<double> out;
  for (std::size_t i = 0; i < v.size(); ++i)
    out.push_back(Number(v[i], Element(path, i)));
  return out;
}

const Json& List(const Json& doc, const char* key, const std::string& path) {
  static const Json kEmpty = Json::array();
  const Json* v = Find(doc, key);
  if (!v) return kEmpty;
  if (!v->is_array())
    Fail(Member(path, key), "must be a list, not " + KindOf(*v));
  return *v;
}

// Parses text; reports the first object key that appears twice (which a
// JSON reader would silently let win) as an error.
Json ParseDocument(const std::string& text) {
  struct Frame {
    bool object = false;
    std::string key;
    long index = -1;
    std::set<std::string> keys;
  };
  std::vector<Frame> stack;
  std::string duplicate_path, duplicate_key;
  auto where = [&stack]() {
    std::string p;
    for (std::size_t i = 0; i + 1 < stack.size(); ++i)
      p = stack[i].object
              ? Member(p, stack[i].key)
              : Element(p, static_cast<std::size_t>(stack[i].index));
    return p;
  };
  auto callback = [&](int, Json::parse_event_t event, Json& parsed) {
    using E = Json::parse_event_t;
    const bool in_array = !stack.empty() && !stack.back().object;
    switch (event) {
      case E::object_start:
      case E::array_start:
        if (in_array) ++stack.back().index;
        stack.push_back(Frame{event == E::object_start, "", -1, {}});
        break;
      case E::key:
        stack.back().key = parsed.get<std::string>();
        if (!stack.back().keys.insert(stack.back().key).second &&
            duplicate_key.empty()) {
          duplicate_key = stack.back().key;
          duplicate_path = where();
        }
        break;
      case E::value:
        if (in_array) ++stack.back().index;
        break;
      case E::object_end:
      case E::array_end:
        if (!stack.empty()) stack.pop_back();
        break;
    }
    return true;
  };
  Json doc;
  try {
    doc = Json::parse(text, callback);
  } catch (const Json::parse_error& e) {
    // "... parse error at line L, column C: what": keep L, C and what.
    std::string what = e.what();
    const std::size_t at = what.find("parse error at line ");
    int line = 0, column = 0;
    if (at != std::string::npos &&
        std::sscanf(what.c_str() + at,
                    "parse error at line %d, column %d",
                    &line,
                    &column) == 2) {
      const std::size_t colon = what.find(": ", at);
      what = colon == std::string::npos ? what : what.substr(colon + 2);
      Fail("",
           "line " + std::to_string(line) + ", column " +
               std::to_string(column) + ": not valid JSON: " + what);
    }
    Fail("", "not valid JSON: " + what);
  } catch (const Json::exception& e) {
    std::string what = e.what();
    const std::size_t close = what.find("] ");
    Fail("",
         "not valid JSON: " +
             (close == std::string::npos ? what : what.substr(close + 2)));
  }
  if (!duplicate_key.empty())
    Fail(duplicate_path, "key " + Quote(duplicate_key) + " appears twice");
  return doc;
}

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
  explicit PictureFile(const std::string& path) : path_(path) {}
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

// One line per value where the value does not fit; see FormatProjectJson.
std::string Inline(const Json& j) {
  if (j.is_array()) {
    std::string s = "[";
    for (std::size_t i = 0; i < j.size(); ++i)
      s += (i ? ", " : "") + Inline(j[i]);
    return s + "]";
  }
  if (j.is_object()) {
    std::string s = "{";
    bool first = true;
    for (auto it = j.begin(); it != j.end(); ++it) {
      s += (first ? "" : ", ") + Json(it.key()).dump() + ": " +
           Inline(it.value());
      first = false;
    }
    return s + "}";
  }
  return j.dump();
}

void Layout(const Json& j,
            std::size_t indent,
            std::size_t column,
            std::string& out) {
  const std::string flat = Inline(j);
  if (!j.is_structured() || j.empty() || column + flat.size() <= kLineWidth) {
    out += flat;
    return;
  }
  const std::string pad(indent + 2, ' ');
  out += j.is_array() ? "[\n" : "{\n";
  std::size_t i = 0;
  for (auto it = j.begin(); it != j.end(); ++it, ++i) {
    out += pad;
    std::size_t at = pad.size();
    if (j.is_object()) {
      const std::string key = Json(it.key()).dump() + ": ";
      out += key;
      at += key.size();
    }
    // A trailing comma takes a column too.
    Layout(it.value(), indent + 2, at + (i + 1 < j.size() ? 1 : 0), out);
    out += i + 1 < j.size() ? ",\n" : "\n";
  }
  out += std::string(indent, ' ') + (j.is_array() ? "]" : "}");
}

std::string LayoutDocument(const Json& doc) {
  std::string out;
  Layout(doc, 0, 0, out);
  return out + "\n";
}

bool WriteAtomically(const std::string& path,
                     const std::string& text,
                     std::string& error) {
  const std::string tmp = path + ".tmp." + std::to_string(getpid());
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) {
      error = path + ": cannot write a temporary file beside it";
      return false;
    }
    f << text;
    f.flush();
    if (!f) {
      f.close();
      std::remove(tmp.c_str());
      error = path + ": writing the file failed";
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    error = path + ": cannot replace the file";
    return false;
  }
  return true;
}

// Radians per unit of the file's angles.
double AngleUnitSize(const std::string& unit) {
  if (unit == "deg") return kRadPerDeg;
  if (unit == "gon") return kPi / 200.0;
  if (unit == "rad") return 1.0;
  return 0.0;
}

}  // namespace

// Builds the host objects of a project from its JSON document.
class ProjectLoader {
 public:
  ProjectLoader(Project& project, std::string folder)
      : p_(project), folder_(std::move(folder)) {}

  void Load(const Json& doc) {
    CheckKeys(doc,
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
               "images"});
    if (const Json* f = Find(doc, "format")) {
      if (Text(*f, "format") != "collinear-project")
        Fail("format", "must be \"collinear-project\"");
    }
    if (const Json* v = Find(doc, "version")) {
      if (!v->is_number_integer() || v->get<long>() != 1)
        Fail("version", "this program reads version 1 project files");
    }
    if (const Json* n = Find(doc, "name")) p_.name_ = Text(*n, "name");
    if (const Json* u = Find(doc, "angle_unit")) {
      p_.angle_unit_ = Text(*u, "angle_unit");
      if (AngleUnitSize(p_.angle_unit_) == 0.0)
        Fail("angle_unit", "must be \"deg\", \"gon\" or \"rad\"");
    }
    p_.radians_per_unit_ = AngleUnitSize(p_.angle_unit_);
    LoadSystems(doc);
    LoadWorkingObject(doc);
    LoadCameras(doc);
    LoadPoints(doc);
    LoadStations(doc);
    LoadImages(doc);
  }

 private:
  double Angle(const Json& j, const char* key, const std::string& path) {
    return RequiredNumber(j, key, path) * p_.radians_per_unit_;
  }

  std::vector<std::string> Ids(const std::map<std::string, std::size_t>& m) {
    std::vector<std::string> ids;
    for (const auto& e : m) ids.push_back(e.first);
    return ids;
  }

  // The index of the entry named by key in j, which must be one of known.
  std::size_t Lookup(const std::map<std::string, std::size_t>& known,
                     const std::string& name,
                     const std::string& path,
                     const char* what) {
    const auto it = known.find(name);
    if (it == known.end())
      Fail(path,
           std::string("unknown ") + what + " " + Quote(name) +
               " (known: " + JoinNames(Ids(known)) + ")");
    return it->second;
  }

  void LoadSystems(const Json& doc) {
    const Json& list = List(doc, "coordinate_systems", "");
    if (list.empty())
      Fail("coordinate_systems",
           "at least one coordinate system is needed, for example "
           "{\"id\": \"utm32\", \"crs\": \"EPSG:25832\"}");
    // Plain systems first, so that a derived one may name any as its base.
    for (int pass = 0; pass < 2; ++pass) {
      for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string path = Element("coordinate_systems", i);
        const Json& s = list[i];
        CheckKeys(
            s, path, {"id", "crs", "base", "similarity", "affine", "heights"});
        const bool derived = Find(s, "base") != nullptr;
        if (derived != (pass == 1)) continue;
        ProjectSystem sys;
        sys.id = RequiredName(s, "id", path);
        if (system_index_.count(sys.id))
          Fail(Member(path, "id"), "the id " + Quote(sys.id) + " repeats");
        sys.object = HostObject::Create();
        if (derived)
          LoadDerived(s, path, sys);
        else
          LoadPlain(s, path, sys);
        sys.orthometric = !sys.geographic;
        if (const Json* h = Find(s, "heights")) {
          if (derived)
            Fail(Member(path, "heights"),
                 "a local system's heights are carried through its "
                 "definition as they stand");
          const std::string kind = Text(*h, Member(path, "heights"));
          if (kind != "orthometric" && kind != "ellipsoidal")
            Fail(Member(path, "heights"),
                 "must be \"orthometric\" or \"ellipsoidal\"");
          sys.orthometric = kind == "orthometric";
        }
        // The reference that points of the system carry: a stored
        // orientation is read only in a working system of its kind.
        ComPtr<HostObject> ref = HostObject::Create();
        ref->AddClass(kGeoReferenceClass)
            .SetObject(kGeoPropStandsFor, sys.object.get())
            .SetInt32(kGeoPropRefFlag, 1);
        if (sys.derived) ref->AddClass(kGeoDerivedClass);
        references_[sys.id] = ref;
        p_.helpers_.push_back(ref);
        system_index_[sys.id] = p_.systems_.size();
        p_.systems_.push_back(std::move(sys));
      }
    }
  }

  void LoadPlain(const Json& s, const std::string& path, ProjectSystem& sys) {
    for (const char* k : {"similarity", "affine"})
      if (Find(s, k))
        Fail(Member(path, k), "belongs to a derived system (one with 'base')");
    const Json* crs = Find(s, "crs");
    if (!crs)
      Fail(path, "needs 'crs' (an EPSG code, PROJ string or WKT) or 'base'");
    sys.crs = Text(*crs, Member(path, "crs"));
    ComPtr<ProjCoordSystem> proj = ProjCoordSystem::Create(sys.crs.c_str());
    if (!proj->IsValid())
      Fail(Member(path, "crs"),
           "PROJ cannot use " + Quote(sys.crs) + ": " + proj->GetError());
    sys.geographic = (proj->GetForms() & kGeoFormPlane) == 0;
    AttachGeoSystem(*sys.object, proj.get());
  }

  void LoadDerived(const Json& s, const std::string& path, ProjectSystem& sys) {
    if (Find(s, "crs"))
      Fail(Member(path, "crs"),
           "a derived system takes its CRS from its base; give one of them");
    sys.derived = true;
    sys.base = RequiredName(s, "base", path);
    const auto it = system_index_.find(sys.base);
    if (it == system_index_.end() || p_.systems_[it->second].derived)
      Fail(Member(path, "base"),
           "must name a system with a 'crs' (known: " + JoinNames(PlainIds()) +
               ")");
    const ProjectSystem& base = p_.systems_[it->second];
    if (base.geographic)
      Fail(Member(path, "base"),
           "the base " + Quote(base.id) +
               " is geographic; a local system needs a projected base");
    const ComPtr<IGeoCoordSystem> base_system =
        QueryGeoSystem(base.object.get());
    const Json* sim = Find(s, "similarity");
    const Json* aff = Find(s, "affine");
    if ((sim != nullptr) == (aff != nullptr))
      Fail(path, "needs exactly one of 'similarity' and 'affine'");
    ComPtr<DerivedCoordSystem> derived;
    if (sim) {
      const std::string sp = Member(path, "similarity");
      CheckKeys(*sim, sp, {"origin", "rotation", "scale"});
      const Json* o = Find(*sim, "origin");
      if (!o) Fail(sp, "needs 'origin'");
      const std::vector<double> origin = Numbers(*o, Member(sp, "origin"), 3);
      double rotation = 0.0, scale = 1.0;
      if (OptionalNumber(*sim, "rotation", sp, rotation))
        rotation *= p_.radians_per_unit_;
      if (OptionalNumber(*sim, "scale", sp, scale))
        Positive(scale, Member(sp, "scale"));
      // The base's plane form is northing, easting, height and a turn
      // about its third axis goes from north to east: a local x axis
      // turned anticlockwise from east by r is a turn of -r there.
      const double shift[3] = {origin[1], origin[0], origin[2]};
      const double angles[3] = {0.0, 0.0, -rotation};
      derived = DerivedCoordSystem::CreateSimilarity(
          base_system.get(), shift, angles, scale);
    } else {
      const std::string ap = Member(path, "affine");
      CheckKeys(*aff, ap, {"x", "y"});
      const Json* xj = Find(*aff, "x");
      const Json* yj = Find(*aff, "y");
      if (!xj || !yj) Fail(ap, "needs 'x' and 'y', three numbers each");
      const std::vector<double> x = Numbers(*xj, Member(ap, "x"), 3);
      const std::vector<double> y = Numbers(*yj, Member(ap, "y"), 3);
      // x_base = x0 + x1 x + x2 y, in the base's (north, east) order and
      // the local (y, x) order.
      const double first[3] = {y[0], y[2], y[1]};
      const double second[3] = {x[0], x[2], x[1]};
      derived =
          DerivedCoordSystem::CreateAffine(base_system.get(), first, second);
    }
    if (!derived->IsValid())
      Fail(path, "unusable local system: " + derived->GetError());
    sys.object->AddClass(kGeoDerivedClass);
    AttachGeoSystem(*sys.object, derived.get());
  }

  std::vector<std::string> PlainIds() const {
    std::vector<std::string> ids;
    for (const ProjectSystem& s : p_.systems_)
      if (!s.derived) ids.push_back(s.id);
    return ids;
  }

  void LoadWorkingObject(const Json& doc) {
    std::string id;
    if (const Json* w = Find(doc, "working_system")) {
      id = Name(*w, "working_system");
    } else if (p_.systems_.size() == 1) {
      id = p_.systems_[0].id;
    } else {
      Fail("working_system",
           "is needed when there are several coordinate systems: the id of "
           "the one in which images are oriented");
    }
    const ProjectSystem& sys =
        p_.systems_[Lookup(system_index_, id, "working_system", "system")];
    if (sys.geographic)
      Fail("working_system",
           Quote(id) +
               " is geographic; images are oriented in a projected or "
               "local system with coordinates in metres");
    p_.working_system_ = id;
    working_ = &sys;
    if (!sys.orthometric)
      Fail("working_system",
           "the working system keeps heights above the geoid; " + Quote(id) +
               " is declared with ellipsoidal heights");
    // The kind of the working system and the system itself.
    auto describe = [this, &sys](HostObject& o) {
      if (sys.derived)
        o.SetInt32(kGeoPropKind, kKindLocal)
            .SetObject(kGeoPropSystemKind1, sys.object.get())
            .SetObject(kGeoPropBaseSystem,
                       p_.systems_[system_index_.at(sys.base)].object.get());
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
    if (!g) return;
    CheckKeys(*g, "geoid", {"grid", "undulation_m"});
    ComPtr<HostObject> geoid = HostObject::Create();
    double n = 0.0;
    if (const Json* grid = Find(*g, "grid")) {
      const std::string name = Text(*grid, "geoid.grid");
      ComPtr<ProjGridGeoid> model = ProjGridGeoid::Create(name.c_str());
      if (!model->IsValid())
        Fail("geoid.grid",
             "cannot use the geoid grid " + Quote(name) + ": " +
                 model->GetError());
      AttachGeoid(*geoid, model.get());
    } else if (OptionalNumber(*g, "undulation_m", "geoid", n)) {
      AttachGeoid(*geoid, ConstantGeoid::Create(n).get());
    } else {
      Fail("geoid", "needs 'grid' or 'undulation_m'");
    }
    ellipsoidal_object_ = HostObject::Create();
    describe(*ellipsoidal_object_);
    ellipsoidal_object_->SetObject(kGeoPropGeoid, geoid.get());
    p_.helpers_.push_back(geoid);
    p_.helpers_.push_back(ellipsoidal_object_);
  }

  void LoadCameras(const Json& doc) {
    const Json& list = List(doc, "cameras", "");
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string path = Element("cameras", i);
      const Json& c = list[i];
      CheckKeys(c,
                path,
                {"id",
                 "focal_length_mm",
                 "pixel_size_mm",
                 "picture_size_px",
                 "principal_point_mm",
                 "principal_point_px",
                 "distortion",
                 "mount"});
      ProjectCamera cam;
      cam.id = RequiredName(c, "id", path);
      if (camera_index_.count(cam.id))
        Fail(Member(path, "id"), "the id " + Quote(cam.id) + " repeats");
      cam.focal_mm = Positive(RequiredNumber(c, "focal_length_mm", path),
                              Member(path, "focal_length_mm"));
      const Json* px = Find(c, "pixel_size_mm");
      if (!px) Fail(path, "needs 'pixel_size_mm' (one number or [x, y])");
      if (px->is_array()) {
        const std::vector<double> v =
            Numbers(*px, Member(path, "pixel_size_mm"), 2);
        cam.pixel_mm[0] = v[0];
        cam.pixel_mm[1] = v[1];
      } else {
        cam.pixel_mm[0] = cam.pixel_mm[1] =
            Number(*px, Member(path, "pixel_size_mm"));
      }
      for (int k = 0; k < 2; ++k)
        Positive(cam.pixel_mm[k], Member(path, "pixel_size_mm"));
      if (const Json* size = Find(c, "picture_size_px")) {
        const std::string sp = Member(path, "picture_size_px");
        const std::vector<double> v = Numbers(*size, sp, 2);
        for (int k = 0; k < 2; ++k)
          if (!(v[k] >= 1.0 && v[k] <= 1e6 && v[k] == std::floor(v[k])))
            Fail(Element(sp, k), "must be a whole number of pixels, 1 or more");
        cam.width_px = static_cast<int>(v[0]);
        cam.height_px = static_cast<int>(v[1]);
      }
      const Json* pp_mm = Find(c, "principal_point_mm");
      const Json* pp_px = Find(c, "principal_point_px");
      if (pp_mm && pp_px)
        Fail(path, "give the principal point in mm or in pixels, not both");
      if (pp_mm) {
        const std::vector<double> v =
            Numbers(*pp_mm, Member(path, "principal_point_mm"), 2);
        cam.principal_mm[0] = v[0];
        cam.principal_mm[1] = v[1];
      } else if (pp_px) {
        const std::vector<double> v =
            Numbers(*pp_px, Member(path, "principal_point_px"), 2);
        cam.principal_mm[0] = v[0] * cam.pixel_mm[0];
        cam.principal_mm[1] = v[1] * cam.pixel_mm[1];
      } else if (cam.width_px > 0) {
        cam.principal_mm[0] = 0.5 * cam.width_px * cam.pixel_mm[0];
        cam.principal_mm[1] = 0.5 * cam.height_px * cam.pixel_mm[1];
      } else {
        Fail(path,
             "needs 'principal_point_mm' or 'principal_point_px' (or "
             "'picture_size_px', which puts it at the picture's centre)");
      }
      if (const Json* d = Find(c, "distortion"))
        LoadDistortion(*d, Member(path, "distortion"), cam);
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
        const std::string mp = Member(path, "mount");
        CheckKeys(*m, mp, {"offset_m", "pan", "tilt", "roll"});
        if (const Json* off = Find(*m, "offset_m")) {
          const std::vector<double> v =
              Numbers(*off, Member(mp, "offset_m"), 3);
          for (int k = 0; k < 3; ++k) cam.mount_offset_m[k] = v[k];
        }
        const char* keys[3] = {"pan", "tilt", "roll"};
        for (int k = 0; k < 3; ++k) {
          double a = 0.0;
          if (OptionalNumber(*m, keys[k], mp, a))
            cam.mount_deg[k] = a * p_.radians_per_unit_ * kDegPerRad;
        }
        cam.mounted = true;
        o.AddClass(kMountedCameraClass);
        o.SetDouble(kMountPropOffsetX, cam.mount_offset_m[0])
            .SetDouble(kMountPropOffsetY, cam.mount_offset_m[1])
            .SetDouble(kMountPropOffsetZ, cam.mount_offset_m[2])
            .SetDouble(kMountPropPanDeg, cam.mount_deg[0])
            .SetDouble(kMountPropTiltDeg, cam.mount_deg[1])
            .SetDouble(kMountPropRollDeg, cam.mount_deg[2]);
      }
      camera_index_[cam.id] = p_.cameras_.size();
      p_.cameras_.push_back(std::move(cam));
    }
  }

  void LoadDistortion(const Json& d,
                      const std::string& path,
                      ProjectCamera& cam) {
    CheckKeys(d, path, {"model", "coefficients"});
    const Json* m = Find(d, "model");
    if (!m) Fail(path, "needs 'model'");
    const std::string model = Text(*m, Member(path, "model"));
    // Coefficients per model: radial ones, then the further ones.
    struct Model {
      const char* name;
      std::size_t radial, further;
    };
    static const Model kModels[] = {{"none", 0, 0},
                                    {"k1k2k3k4", 4, 0},
                                    {"k1k2p1p2", 2, 2},
                                    {"k1k2k3p1p2", 3, 2},
                                    {"k1k2e1e6", 2, 6}};
    const Model* found = nullptr;
    for (const Model& k : kModels)
      if (model == k.name) found = &k;
    if (!found)
      Fail(Member(path, "model"),
           "unknown model " + Quote(model) +
               "; known: none, k1k2k3k4, k1k2p1p2, k1k2k3p1p2, k1k2e1e6");
    const std::size_t n = found->radial + found->further;
    std::vector<double> coef;
    if (const Json* c = Find(d, "coefficients")) {
      coef = Numbers(*c, Member(path, "coefficients"), 0);
      if (coef.size() != n)
        Fail(Member(path, "coefficients"),
             "model " + model + " takes " + std::to_string(n) +
                 " coefficients, not " + std::to_string(coef.size()));
    } else if (n > 0) {
      Fail(path, "needs 'coefficients' for model " + model);
    }
    if (n == 0) return;
    cam.distortion_model = model;
    cam.radial.assign(coef.begin(), coef.begin() + found->radial);
    cam.further.assign(coef.begin() + found->radial, coef.end());
  }

  ComPtr<HostObject> MakePoint(const ProjectSystem& sys,
                               const double coords[3],
                               const std::string& name) {
    const ComPtr<GeoPointData> data =
        GeoPointData::Create(QueryGeoSystem(sys.object.get()).get());
    const unsigned long flags =
        (sys.geographic ? kGeoFormGeodetic : kGeoFormPlane) | kGeoHasAll |
        (sys.orthometric ? kGeoGeoidHeights : 0ul);
    if (sys.geographic)
      data->AddVertex(coords[0], coords[1], coords[2], flags);
    else  // plane form: northing (y) first
      data->AddVertex(coords[1], coords[0], coords[2], flags);
    ComPtr<HostObject> p = HostObject::Create();
    p->AddClass(kPointClass)
        .SetString(kPointPropName, name)
        .SetObject(kPointPropCrsObject,
                   sys.orthometric ? p_.working_object_.get()
                                   : ellipsoidal_object_.get())
        .SetObject(kPointPropCrsReference, references_.at(sys.id).get());
    AttachGeoPoint(*p, data.get());
    return p;
  }

  void LoadPoints(const Json& doc) {
    const Json& list = List(doc, "points", "");
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string path = Element("points", i);
      const Json& j = list[i];
      CheckKeys(j, path, {"name", "system", "x", "y", "z", "lat", "lon", "h"});
      ProjectPoint pt;
      pt.name = RequiredName(j, "name", path);
      const auto dup = point_index_.find(pt.name);
      if (dup != point_index_.end())
        Fail(Member(path, "name"),
             "the name " + Quote(pt.name) + " repeats points[" +
                 std::to_string(dup->second) + "]");
      pt.system = p_.working_system_;
      if (const Json* s = Find(j, "system"))
        pt.system = Name(*s, Member(path, "system"));
      const ProjectSystem& sys = p_.systems_[Lookup(
          system_index_, pt.system, Member(path, "system"), "system")];
      const char* plane[3] = {"x", "y", "z"};
      const char* geodetic[3] = {"lat", "lon", "h"};
      const char* const* want = sys.geographic ? geodetic : plane;
      const char* const* other = sys.geographic ? plane : geodetic;
      for (int k = 0; k < 3; ++k) {
        if (Find(j, other[k]))
          Fail(Member(path, other[k]),
               std::string("system ") + Quote(sys.id) + " takes " +
                   (sys.geographic ? "lat, lon, h" : "x, y, z"));
        pt.coords[k] = RequiredNumber(j, want[k], path);
      }
      if (sys.geographic && std::fabs(pt.coords[0]) > 90.0)
        Fail(Member(path, "lat"), "must lie within -90 to 90 degrees");
      if (!sys.orthometric && working_->derived)
        Fail(path,
             "its system " + Quote(sys.id) +
                 " has ellipsoidal heights, which the local working system " +
                 Quote(working_->id) +
                 " cannot take; work in a projected "
                 "system");
      if (!sys.orthometric && !ellipsoidal_object_)
        Fail(path,
             "its system " + Quote(sys.id) +
                 " has ellipsoidal heights and the project gives no 'geoid' "
                 "to reduce them (or declare the system's heights "
                 "\"orthometric\")");
      pt.object = MakePoint(sys, pt.coords, pt.name);
      point_index_[pt.name] = p_.points_.size();
      p_.points_.push_back(std::move(pt));
    }
  }

  HostObject* PointObject(const std::string& name, const std::string& path) {
    return p_.points_[Lookup(point_index_, name, path, "point")].object.get();
  }

  void LoadStations(const Json& doc) {
    const Json& list = List(doc, "stations", "");
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string path = Element("stations", i);
      const Json& j = list[i];
      CheckKeys(j, path, {"id", "point", "instrument_height", "measurements"});
      ProjectStation st;
      st.id = RequiredName(j, "id", path);
      if (station_index_.count(st.id))
        Fail(Member(path, "id"), "the id " + Quote(st.id) + " repeats");
      st.point = RequiredName(j, "point", path);
      st.object = HostObject::Create();
      st.object->SetObject(kStationPropPoint,
                           PointObject(st.point, Member(path, "point")));
      OptionalNumber(j, "instrument_height", path, st.instrument_height);
      st.object->SetDouble(kStationPropHeight, st.instrument_height);
      const Json& ms = List(j, "measurements", path);
      ComPtr<HostObjectSet> set = HostObjectSet::Create();
      std::set<std::string> ids;
      for (std::size_t k = 0; k < ms.size(); ++k) {
        const std::string mp = Element(Member(path, "measurements"), k);
        ProjectMeasurement m = LoadMeasurement(ms[k], mp, st);
        if (!m.id.empty() && !ids.insert(m.id).second)
          Fail(Member(mp, "id"),
               "the id " + Quote(m.id) + " repeats within the station");
        set->Add(m.object.get());
        st.measurements.push_back(std::move(m));
      }
      st.object->SetObjectSet(kStationPropMeasurements, set.get());
      station_index_[st.id] = p_.stations_.size();
      p_.stations_.push_back(std::move(st));
    }
  }

  ProjectMeasurement LoadMeasurement(const Json& j,
                                     const std::string& path,
                                     const ProjectStation& st) {
    CheckKeys(j,
              path,
              {"id",
               "target",
               "role",
               "horizontal_direction",
               "vertical_angle",
               "zenith_angle",
               "slope_distance",
               "azimuth"});
    ProjectMeasurement m;
    if (const Json* id = Find(j, "id")) m.id = Name(*id, Member(path, "id"));
    m.role = "sight";
    if (const Json* r = Find(j, "role"))
      m.role = Text(*r, Member(path, "role"));
    std::int32_t code = 0;
    if (m.role == "backsight")
      code = kMeasKindBacksight;
    else if (m.role == "azimuth")
      code = kMeasKindAzimuth;
    else if (m.role != "sight")
      Fail(Member(path, "role"),
           "must be \"sight\", \"backsight\" or \"azimuth\"");
    m.object = HostObject::Create();
    HostObject& o = *m.object;
    o.SetObject(kMeasPropStation, st.object.get())
        .SetObject(kMeasPropCrsObject, p_.working_object_.get())
        .SetInt32(kMeasPropCode, code);
    if (const Json* t = Find(j, "target")) {
      m.target = Name(*t, Member(path, "target"));
      o.SetObject(kMeasPropTarget,
                  PointObject(m.target, Member(path, "target")));
    } else if (m.role == "backsight") {
      Fail(path, "a backsight needs the 'target' it sights");
    }
    m.direction = Angle(j, "horizontal_direction", path);
    o.SetDouble(kMeasPropDirection, m.direction);
    const Json* va = Find(j, "vertical_angle");
    const Json* za = Find(j, "zenith_angle");
    if (va && za)
      Fail(path, "give 'vertical_angle' or 'zenith_angle', not both");
    if (va)
      m.vertical =
          Number(*va, Member(path, "vertical_angle")) * p_.radians_per_unit_;
    if (za)
      m.vertical = 0.5 * kPi - Number(*za, Member(path, "zenith_angle")) *
                                   p_.radians_per_unit_;
    if (va || za) o.SetDouble(kMeasPropVertical, m.vertical);
    double d = 0.0;
    if (OptionalNumber(j, "slope_distance", path, d)) {
      m.distance = Positive(d, Member(path, "slope_distance"));
      o.SetDouble(kMeasPropDistance, m.distance);
    }
    if (Find(j, "azimuth")) {
      if (m.role != "azimuth")
        Fail(Member(path, "azimuth"),
             "belongs to a measurement of role azimuth");
      m.azimuth = Angle(j, "azimuth", path);
      o.SetDouble(kMeasPropAzimuth, m.azimuth);
    } else if (m.role == "azimuth") {
      Fail(path, "a measurement of role azimuth needs 'azimuth'");
    }
    return m;
  }

  void LoadImages(const Json& doc) {
    const Json& list = List(doc, "images", "");
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string path = Element("images", i);
      const Json& j = list[i];
      CheckKeys(
          j,
          path,
          {"id", "camera", "picture", "exterior", "control", "total_station"});
      ProjectImage img;
      img.id = RequiredName(j, "id", path);
      if (image_index_.count(img.id))
        Fail(Member(path, "id"), "the id " + Quote(img.id) + " repeats");
      img.camera = RequiredName(j, "camera", path);
      const ProjectCamera& cam = p_.cameras_[Lookup(
          camera_index_, img.camera, Member(path, "camera"), "camera")];
      img.object = HostObject::Create();
      HostObject& o = *img.object;
      o.SetString(kPointPropName, img.id)
          .SetObject(kImagePropCamera, cam.object.get())
          .SetObject(kImagePropCrsObject, p_.working_object_.get());
      if (const Json* pic = Find(j, "picture")) {
        const std::string file = Text(*pic, Member(path, "picture"));
        img.picture = IsAbsolute(file) ? file : folder_ + "/" + file;
        if (!FileStream::Open(img.picture))
          Fail(Member(path, "picture"),
               "cannot open the picture " + Quote(img.picture) +
                   " (a relative path starts at the project file's folder)");
        const ComPtr<PictureFile> stream = PictureFile::Create(img.picture);
        PictureInfo info;
        if (!ReadPictureInfo(stream.get(), &info))
          Fail(Member(path, "picture"),
               Quote(img.picture) +
                   " is not a JPEG, PNG, BMP or TIFF picture that can be read");
        AttachPicture(o, stream.get());
      }
      if (const Json* e = Find(j, "exterior")) {
        const std::string ep = Member(path, "exterior");
        CheckKeys(*e, ep, {"x", "y", "z", "omega", "phi", "kappa"});
        ExteriorOrientation& x = img.exterior;
        x.x = RequiredNumber(*e, "x", ep);
        x.y = RequiredNumber(*e, "y", ep);
        x.z = RequiredNumber(*e, "z", ep);
        x.omega = Angle(*e, "omega", ep);
        x.phi = Angle(*e, "phi", ep);
        x.kappa = Angle(*e, "kappa", ep);
        img.has_exterior = true;
        const double c[3] = {x.x, x.y, x.z};
        ComPtr<HostObject> centre = MakePoint(*working_, c, img.id + " centre");
        p_.helpers_.push_back(centre);
        o.SetDouble(kImagePropPhi, x.phi)
            .SetDouble(kImagePropOmega, x.omega)
            .SetDouble(kImagePropKappa, x.kappa)
            .SetObject(kImagePropCentre, centre.get());
      }
      LoadControl(j, path, img);
      if (const Json* ts = Find(j, "total_station")) {
        const std::string tp = Member(path, "total_station");
        CheckKeys(*ts, tp, {"station", "measurement"});
        img.station = RequiredName(*ts, "station", tp);
        img.measurement = RequiredName(*ts, "measurement", tp);
        const ProjectStation& st = p_.stations_[Lookup(
            station_index_, img.station, Member(tp, "station"), "station")];
        const ProjectMeasurement* found = nullptr;
        std::vector<std::string> ids;
        for (const ProjectMeasurement& m : st.measurements) {
          if (m.id == img.measurement) found = &m;
          if (!m.id.empty()) ids.push_back(m.id);
        }
        if (!found)
          Fail(Member(tp, "measurement"),
               "station " + Quote(st.id) + " has no measurement " +
                   Quote(img.measurement) + " (its ids: " + JoinNames(ids) +
                   ")");
        o.SetObject(kImagePropMeasurement, found->object.get());
      }
      image_index_[img.id] = p_.images_.size();
      p_.images_.push_back(std::move(img));
    }
  }

  void LoadControl(const Json& j, const std::string& path, ProjectImage& img) {
    const Json& list = List(j, "control", path);
    ComPtr<HostObjectSet> set = HostObjectSet::Create();
    std::map<std::string, std::size_t> seen;
    for (std::size_t k = 0; k < list.size(); ++k) {
      const std::string cp = Element(Member(path, "control"), k);
      CheckKeys(list[k], cp, {"point", "pixel"});
      ProjectControl c;
      c.point = RequiredName(list[k], "point", cp);
      const auto dup = seen.find(c.point);
      if (dup != seen.end())
        Fail(Member(cp, "point"),
             "point " + Quote(c.point) + " is measured already in control[" +
                 std::to_string(dup->second) + "]");
      seen[c.point] = k;
      const Json* px = Find(list[k], "pixel");
      if (!px) Fail(cp, "needs 'pixel': [x, y]");
      const std::vector<double> v = Numbers(*px, Member(cp, "pixel"), 2);
      c.x_px = v[0];
      c.y_px = v[1];
      c.object = HostObject::Create();
      c.object
          ->SetObject(kImageMeasPropPoint,
                      PointObject(c.point, Member(cp, "point")))
          .SetDouble(kImageMeasPropX, c.x_px)
          .SetDouble(kImageMeasPropY, c.y_px)
          .SetObject(kGeoPropCrsObject, p_.working_object_.get());
      set->Add(c.object.get());
      img.control.push_back(std::move(c));
    }
    if (!list.empty())
      img.object->SetObjectSet(kImagePropControlMeasurements, set.get());
  }

  Project& p_;
  std::string folder_;
  const ProjectSystem* working_ = nullptr;
  ComPtr<HostObject> ellipsoidal_object_;
  std::map<std::string, std::size_t> system_index_, camera_index_, point_index_,
      station_index_, image_index_;
  std::map<std::string, ComPtr<HostObject>> references_;
};

Project::~Project() {
  // Stations and their measurements refer to each other; every object is
  // cleared so that none keeps another alive.
  for (ProjectImage& i : images_) {
    for (ProjectControl& c : i.control) c.object->Clear();
    i.object->Clear();
  }
  for (ProjectStation& s : stations_) {
    for (ProjectMeasurement& m : s.measurements) m.object->Clear();
    s.object->Clear();
  }
  for (ProjectPoint& p : points_) p.object->Clear();
  for (ProjectCamera& c : cameras_) c.object->Clear();
  for (ComPtr<HostObject>& h : helpers_) h->Clear();
  if (working_object_) working_object_->Clear();
}

std::unique_ptr<Project> Project::Load(const std::string& path,
                                       std::string& error) {
  std::string text;
  try {
    if (!ReadTextFile(path, text, error)) return nullptr;
  } catch (const std::exception& e) {
    error = path + ": " + e.what();
    return nullptr;
  }
  return Parse(text, path, FolderOf(path), error);
}

std::unique_ptr<Project> Project::Parse(const std::string& text,
                                        const std::string& source,
                                        const std::string& folder,
                                        std::string& error) {
  error.clear();
  try {
    const Json doc = ParseDocument(text);
    if (!doc.is_object()) Fail("", "the document must be a JSON object");
    std::unique_ptr<Project> p(new Project());
    p->source_ = source;
    ProjectLoader(*p, folder.empty() ? "." : folder).Load(doc);
    return p;
  } catch (const LoadError& e) {
    error = source + ": " + (e.path.empty() ? "" : e.path + ": ") + e.what;
  } catch (const std::exception& e) {
    error = source + ": " + e.what();
  }
  return nullptr;
}

namespace {

template <class T, class Key>
const T* FindIn(const std::vector<T>& list, const std::string& key, Key get) {
  for (const T& item : list)
    if (get(item) == key) return &item;
  return nullptr;
}

}  // namespace

const ProjectSystem* Project::FindSystem(const std::string& id) const {
  return FindIn(systems_, id, [](const ProjectSystem& s) { return s.id; });
}
const ProjectCamera* Project::FindCamera(const std::string& id) const {
  return FindIn(cameras_, id, [](const ProjectCamera& c) { return c.id; });
}
const ProjectPoint* Project::FindPoint(const std::string& name) const {
  return FindIn(points_, name, [](const ProjectPoint& p) { return p.name; });
}
const ProjectImage* Project::FindImage(const std::string& id) const {
  return FindIn(images_, id, [](const ProjectImage& i) { return i.id; });
}
const ProjectStation* Project::FindStation(const std::string& id) const {
  return FindIn(stations_, id, [](const ProjectStation& s) { return s.id; });
}

bool WriteExteriorOrientations(
    const std::string& path,
    const std::vector<std::pair<std::string, ExteriorOrientation>>& updates,
    std::string& error) {
  error.clear();
  try {
    std::string text;
    if (!ReadTextFile(path, text, error)) return false;
    Json doc = ParseDocument(text);
    std::string unit = "deg";
    if (doc.is_object() && doc.contains("angle_unit") &&
        doc["angle_unit"].is_string())
      unit = doc["angle_unit"].get<std::string>();
    const double size = AngleUnitSize(unit);
    if (size == 0.0) Fail("angle_unit", "must be \"deg\", \"gon\" or \"rad\"");
    if (!doc.is_object() || !doc.contains("images") ||
        !doc["images"].is_array())
      Fail("images", "the file has no list of images");
    Json& images = doc["images"];
    // Micrometres and a billionth of the angle unit: far below what a
    // resection determines, and short to read.
    auto round = [](double v, double per_unit) {
      return std::round(v * per_unit) / per_unit;
    };
    for (const auto& u : updates) {
      Json* target = nullptr;
      for (Json& img : images)
        if (img.is_object() && img.contains("id") &&
            (img["id"] == u.first ||
             (img["id"].is_number_integer() && img["id"].dump() == u.first)))
          target = &img;
      if (!target) Fail("images", "no image has the id " + Quote(u.first));
      const ExteriorOrientation& x = u.second;
      Json e = Json::object();
      e["x"] = round(x.x, 1e6);
      e["y"] = round(x.y, 1e6);
      e["z"] = round(x.z, 1e6);
      e["omega"] = round(x.omega / size, 1e9);
      e["phi"] = round(x.phi / size, 1e9);
      e["kappa"] = round(x.kappa / size, 1e9);
      (*target)["exterior"] = e;
    }
    return WriteAtomically(path, LayoutDocument(doc), error);
  } catch (const LoadError& e) {
    error = path + ": " + (e.path.empty() ? "" : e.path + ": ") + e.what;
  } catch (const std::exception& e) {
    error = path + ": " + e.what();
  }
  return false;
}

bool FormatProjectJson(const std::string& text,
                       std::string& out,
                       std::string& error) {
  error.clear();
  try {
    out = LayoutDocument(ParseDocument(text));
    return true;
  } catch (const LoadError& e) {
    error = (e.path.empty() ? "" : e.path + ": ") + e.what;
  } catch (const std::exception& e) {
    error = e.what();
  }
  return false;
}

}  // namespace collinear
