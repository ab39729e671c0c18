#include <collinear/io/project_file.h>

namespace collinear {
namespace {

template <class T, class Key>
const T* FindIn(const std::vector<T>& list, const std::string& key, Key get) {
  for (const T& item : list)
    if (get(item) == key) return &item;
  return nullptr;
}

}  // namespace

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

}  // namespace collinear
