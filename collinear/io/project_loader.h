// Loading of a project file's document into the host objects of a Project:
// coordinate systems (PROJ or derived), the working coordinate-system
// object, cameras, points, instrument stations and images. Internal to
// io/: not installed.
#ifndef COLLINEAR_IO_PROJECT_LOADER_H_
#define COLLINEAR_IO_PROJECT_LOADER_H_

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
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

  // A project from the document that parse reads into doc (null, with
  // error "source: json.path: what is wrong", at the first problem);
  // pictures are found relative to folder. Never throws.
  static std::unique_ptr<Project> Run(
      const std::string& source,
      const std::string& folder,
      std::string& error,
      const std::function<bool(JsonReader&, Json&)>& parse);

  // False at the first problem, which reader then holds; the project is
  // filled in part. doc is read with the lists of LeftOutLists left out.
  bool Load(const Json& doc);

  // The lists whose elements the loader reads one at a time: the points
  // and the control measurements of each image, which make up nearly all of
  // a large project.
  static const std::vector<JsonReader::Pattern>& LeftOutLists();

 private:
  bool Angle(const Json& j,
             const char* key,
             const std::string& path,
             double& out);
  // The index of the entry named name in list, found through known; what
  // says what it is ("system", "camera", ...).
  template <class T>
  bool Lookup(const std::vector<T>& list,
              const NameIndex& known,
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
  bool LoadPoints(const Json& doc);
  bool LoadPoint(std::size_t i, const Json& j);
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
  // Control measurements of images[image].
  bool LoadControl(const Json& j,
                   std::size_t image,
                   const std::string& path,
                   ProjectImage& img);
  bool LoadTotalStation(const Json& ts,
                        const std::string& path,
                        ProjectImage& img);

  // Indices into LeftOutLists.
  static constexpr std::size_t kPointsList = 0, kControlList = 1;

  Project& p_;
  std::string folder_;
  JsonReader& r_;
  const ProjectSystem* working_ = nullptr;
};

}  // namespace collinear

#endif  // COLLINEAR_IO_PROJECT_LOADER_H_
