// Project files: one JSON document with the coordinate systems, cameras,
// points, images (camera, picture, stored exterior orientation, control
// points measured in pixels) and instrument stations of a photogrammetric
// project, loaded into in-memory host objects that CCrdCalculator reads.
// Object coordinates are x east, y north, z up in metres (in its own unit
// in an engineering frame: Project::length_unit); angles in the file's
// angle unit (degrees unless it says otherwise).
#ifndef COLLINEAR_IO_PROJECT_FILE_H_
#define COLLINEAR_IO_PROJECT_FILE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <collinear/calculator/host/com_ptr.h>
#include <collinear/calculator/host/host_object.h>
#include <collinear/framework/export.h>
#include <collinear/primitives/constants.h>

namespace collinear {

// Exterior orientation of an image: the projection centre in the working
// system (metres) and omega, phi, kappa of the object-to-camera rotation
// under ROT_KPW, in radians.
struct ExteriorOrientation {
  double x = 0.0, y = 0.0, z = 0.0;
  double omega = 0.0, phi = 0.0, kappa = 0.0;
};

// A coordinate system: a CRS that PROJ reads (EPSG code, PROJ string or
// WKT), a local engineering frame (a laboratory's: no CRS, a length unit of
// its own), or a local system derived from either.
struct ProjectSystem {
  std::string id;
  std::string crs;   // the definition; empty for a derived system or a frame
  std::string base;  // id of the base system of a derived one
  bool derived = false;
  bool geographic = false;  // latitude, longitude, height only
  bool orthometric = true;  // heights above the geoid
  // An engineering frame, or one derived from it: no geodetic conversion;
  // its coordinates are in unit ("mm", ...), metres_per_unit metres each.
  bool engineering = false;
  std::string unit = "m";
  double metres_per_unit = 1.0;
  ComPtr<HostObject> object;  // answers for IGeoCoordSystem
  // What the points of the system refer to (a geo reference standing for
  // object): a stored orientation is read only in a working system of its
  // kind.
  ComPtr<HostObject> reference;
};

// A camera; with a mount, one carried by a surveying instrument.
struct ProjectCamera {
  std::string id;
  double focal_mm = 0.0;
  double principal_mm[2] = {0.0, 0.0};  // from the top-left corner, y down
  double pixel_mm[2] = {0.0, 0.0};
  int width_px = 0, height_px = 0;      // 0 when the file gives no size
  std::string distortion_model;         // "" for none
  std::vector<double> radial, further;  // distortion coefficients (mm)
  // Standard deviations from a calibration, in the units of the values;
  // kUndefined, and empty lists, where the file gives none.
  double focal_sd_mm = kUndefined;
  double principal_sd_mm[2] = {kUndefined, kUndefined};
  double pixel_sd_mm[2] = {kUndefined, kUndefined};
  std::vector<double> radial_sd, further_sd;
  bool mounted = false;
  double mount_offset_m[3] = {0.0, 0.0, 0.0};  // camera axes, length unit
  double mount_deg[3] = {0.0, 0.0, 0.0};       // pan, tilt, roll
  ComPtr<HostObject> object;
};

struct ProjectPoint {
  std::string name;
  std::string system;  // id
  // As in the file: x east, y north, z (plane systems) or latitude,
  // longitude in degrees and height (geographic systems).
  double coords[3] = {0.0, 0.0, 0.0};
  // The host object of a point that a control point, a station or a
  // measurement refers to; null for the others, which Project::PointObject
  // makes on request (a project of millions of points holds only the
  // objects it links).
  ComPtr<HostObject> object;
};

// A control point measured in an image, in pixels of the original picture
// (x right, y down from the top-left corner).
struct ProjectControl {
  std::string point;
  double x_px = 0.0, y_px = 0.0;
  ComPtr<HostObject> object;
};

struct ProjectImage {
  std::string id;
  std::string camera;   // id
  std::string picture;  // path as resolved against the project's folder
  bool has_exterior = false;
  ExteriorOrientation exterior;
  std::vector<ProjectControl> control;
  // The instrument measurement the picture was taken with; empty for an
  // image not taken with a camera on a surveying instrument.
  std::string station, measurement;
  ComPtr<HostObject> object;
};

// One measurement of an instrument station. Angles in radians; absent
// values are kUndefined. Horizontal directions and azimuths turn clockwise
// seen from above, azimuths from grid north; vertical angles from the
// horizon, up positive.
struct ProjectMeasurement {
  std::string id;
  std::string target;  // point name, or empty
  std::string role;    // "backsight", "azimuth" or "sight"
  double direction = kUndefined;
  double vertical = kUndefined;
  double distance = kUndefined;  // slope distance, length unit
  double azimuth = kUndefined;
  ComPtr<HostObject> object;
};

struct ProjectStation {
  std::string id;
  std::string point;                             // name of the station point
  double instrument_height = 0.0;                // length unit
  std::vector<ProjectMeasurement> measurements;  // in observation order
  ComPtr<HostObject> object;
};

// Positions in a list by name: an open-addressing hash table of index + 1
// (0: a free slot), at most half full, 4 bytes a slot. The names stay in
// the list; name_of(i) gives that of entry i.
class NameIndex {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  // The index of the entry named name, or kNone.
  template <class NameOf>
  std::size_t Find(std::string_view name, NameOf name_of) const {
    if (slots_.empty()) return kNone;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = Hash(name) & mask;; s = (s + 1) & mask) {
      const std::uint32_t v = slots_[s];
      if (v == 0) return kNone;
      if (name_of(v - 1) == name) return v - 1;
    }
  }
  // Enters entry i, named name_of(i), unless an entry of that name is in
  // already: returns that one's index then, else kNone.
  template <class NameOf>
  std::size_t Insert(std::size_t i, NameOf name_of) {
    const std::size_t found = Find(name_of(i), name_of);
    if (found != kNone) return found;
    if (2 * (count_ + 1) > slots_.size()) Grow(name_of);
    Place(i, name_of(i));
    ++count_;
    return kNone;
  }
  std::size_t size() const { return count_; }

 private:
  static std::size_t Hash(std::string_view name) {
    return std::hash<std::string_view>()(name);
  }
  void Place(std::size_t i, std::string_view name) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t s = Hash(name) & mask;
    while (slots_[s] != 0) s = (s + 1) & mask;
    slots_[s] = static_cast<std::uint32_t>(i + 1);
  }
  template <class NameOf>
  void Grow(NameOf name_of) {
    std::vector<std::uint32_t> old(
        std::max<std::size_t>(16, 2 * slots_.size()));
    old.swap(slots_);
    for (const std::uint32_t v : old)
      if (v != 0) Place(v - 1, name_of(v - 1));
  }

  std::vector<std::uint32_t> slots_;
  std::size_t count_ = 0;
};

// A loaded project. Every host object refers (property 50) to one
// coordinate-system object, which names the working system in which the
// calculator computes. The project owns its objects and breaks their
// reference cycles when it goes.
class COLLINEAR_API Project {
 public:
  ~Project();
  Project(const Project&) = delete;
  Project& operator=(const Project&) = delete;

  // Reads and loads the file at path; pictures are found relative to its
  // folder. Null, with error "file: json.path: what is wrong", on any
  // problem. Never throws.
  static std::unique_ptr<Project> Load(const std::string& path,
                                       std::string& error);
  // As Load for text read elsewhere; source names it in messages.
  static std::unique_ptr<Project> Parse(const std::string& text,
                                        const std::string& source,
                                        const std::string& folder,
                                        std::string& error);

  const std::string& source() const { return source_; }
  const std::string& name() const { return name_; }
  // The unit of the file's angles: "deg", "gon" or "rad", and its size.
  const std::string& angle_unit() const { return angle_unit_; }
  double radians_per_unit() const { return radians_per_unit_; }
  const std::string& working_system() const { return working_system_; }
  // The unit of object coordinates and of the calculator's lengths: "m",
  // or that of a working engineering frame.
  const std::string& length_unit() const { return length_unit_; }
  // The coordinate-system object (kind, working system, geoid).
  HostObject* working_object() const { return working_object_.get(); }

  const std::vector<ProjectSystem>& systems() const { return systems_; }
  const std::vector<ProjectCamera>& cameras() const { return cameras_; }
  const std::vector<ProjectPoint>& points() const { return points_; }
  const std::vector<ProjectImage>& images() const { return images_; }
  const std::vector<ProjectStation>& stations() const { return stations_; }

  // Null when there is none of that id or name.
  const ProjectSystem* FindSystem(const std::string& id) const;
  const ProjectCamera* FindCamera(const std::string& id) const;
  const ProjectPoint* FindPoint(const std::string& name) const;
  const ProjectImage* FindImage(const std::string& id) const;
  const ProjectStation* FindStation(const std::string& id) const;

  // The host object of point p (one of points()): the one the project
  // links, else a new one for this call, which the caller may keep.
  ComPtr<HostObject> PointObject(const ProjectPoint& p) const;

 private:
  friend class ProjectLoader;
  Project() = default;
  // A point of system sys at coords (as in the file), named name.
  ComPtr<HostObject> MakePointObject(const ProjectSystem& sys,
                                     const double coords[3],
                                     const std::string& name) const;

  std::string source_, name_;
  std::string angle_unit_ = "deg";
  double radians_per_unit_ = 0.0;
  std::string working_system_;
  std::string length_unit_ = "m";
  ComPtr<HostObject> working_object_;
  // The coordinate-system object of points with ellipsoidal heights (the
  // working system with the geoid); null without a geoid.
  ComPtr<HostObject> ellipsoidal_object_;
  std::vector<ComPtr<HostObject>> helpers_;  // references, centre points
  std::vector<ProjectSystem> systems_;
  std::vector<ProjectCamera> cameras_;
  std::vector<ProjectPoint> points_;
  std::vector<ProjectImage> images_;
  std::vector<ProjectStation> stations_;
  NameIndex system_index_, camera_index_, point_index_, image_index_,
      station_index_;
};

// Sets the exterior orientation of the images named in updates in the
// project file at path, in the file's angle unit, and keeps the rest of
// the document. Writes a temporary file beside it and renames it over the
// original. False, the file untouched, with error set, when the file cannot
// be read, parsed or written or an id names no image of it.
COLLINEAR_API bool WriteExteriorOrientations(
    const std::string& path,
    const std::vector<std::pair<std::string, ExteriorOrientation>>& updates,
    std::string& error);

// Lays out a JSON document as project files are written: two-space indent,
// arrays and objects that fit in a line of 80 columns on one line. False,
// with error set, for text that is not JSON.
COLLINEAR_API bool FormatProjectJson(const std::string& text,
                                     std::string& out,
                                     std::string& error);

}  // namespace collinear

#endif  // COLLINEAR_IO_PROJECT_FILE_H_
