// Loading of a project file's document into the host objects of a Project:
// coordinate systems (PROJ or derived), the working coordinate-system
// object, cameras, points, instrument stations and images. Internal to
// io/: not installed.
#ifndef COLLINEAR_IO_PROJECT_LOADER_H_
#define COLLINEAR_IO_PROJECT_LOADER_H_

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include <collinear/calculator/host/com_ptr.h>
#include <collinear/calculator/host/host_object.h>
#include <collinear/io/json_reader.h>
#include <collinear/io/project_file.h>

namespace collinear {

// Radians per unit of a project file's angles ("deg", "gon" or "rad");
// 0 for any other text.
double AngleUnitSize(const std::string& unit);

// Builds the host objects of a project from its JSON document; pictures are
// found relative to folder.
class ProjectLoader {
 public:
  ProjectLoader(Project& project, std::string folder, JsonReader& reader);

  // False at the first problem, which reader then holds; the project is
  // filled in part.
  bool Load(const Json& doc);

 private:
  bool Angle(const Json& j,
             const char* key,
             const std::string& path,
             double& out);
  // The index of the entry named name among known; what says what it is
  // ("system", "camera", ...).
  bool Lookup(const std::map<std::string, std::size_t>& known,
              const std::string& name,
              const std::string& path,
              const char* what,
              std::size_t& index);
  bool LoadSystems(const Json& doc);
  bool LoadPlain(const Json& s, const std::string& path, ProjectSystem& sys);
  bool LoadEngineering(const Json& s,
                       const std::string& path,
                       ProjectSystem& sys);
  // A length the file gives in metres, in the working system's unit.
  double FromMetres(double metres) const;
  bool LoadDerived(const Json& s, const std::string& path, ProjectSystem& sys);
  std::vector<std::string> PlainIds() const;
  bool LoadWorkingObject(const Json& doc);
  bool LoadCameras(const Json& doc);
  // A camera entry {"id", "file", "mount"} whose camera is in a camera
  // file, found relative to the project's folder.
  bool ReadCameraReference(const Json& c,
                           const std::string& path,
                           ProjectCamera& cam);
  bool LoadMount(const Json& m, const std::string& path, ProjectCamera& cam);
  ComPtr<HostObject> MakePoint(const ProjectSystem& sys,
                               const double coords[3],
                               const std::string& name);
  bool LoadPoints(const Json& doc);
  bool PointObject(const std::string& name,
                   const std::string& path,
                   HostObject*& out);
  bool LoadStations(const Json& doc);
  bool LoadMeasurement(const Json& j,
                       const std::string& path,
                       const ProjectStation& st,
                       ProjectMeasurement& m);
  bool LoadImages(const Json& doc);
  bool LoadPicture(const Json& pic, const std::string& path, ProjectImage& img);
  bool LoadExterior(const Json& e, const std::string& path, ProjectImage& img);
  bool LoadControl(const Json& j, const std::string& path, ProjectImage& img);
  bool LoadTotalStation(const Json& ts,
                        const std::string& path,
                        ProjectImage& img);

  Project& p_;
  std::string folder_;
  JsonReader& r_;
  const ProjectSystem* working_ = nullptr;
  ComPtr<HostObject> ellipsoidal_object_;
  std::map<std::string, std::size_t> system_index_, camera_index_, point_index_,
      station_index_, image_index_;
  std::map<std::string, ComPtr<HostObject>> references_;
};

}  // namespace collinear

#endif  // COLLINEAR_IO_PROJECT_LOADER_H_
