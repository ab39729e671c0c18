#include <collinear/io/project_file.h>

#include <collinear/calculator/host/image_host.h>
#include <collinear/geo/geo_coord.h>
#include <collinear/geo/geo_host.h>

namespace collinear {
namespace {

template <class T, class Key>
const T* FindIn(const std::vector<T>& list,
                const NameIndex& index,
                const std::string& key,
                Key get) {
  const std::size_t i =
      index.Find(key, [&list, &get](std::size_t k) -> const std::string& {
        return get(list[k]);
      });
  return i == NameIndex::kNone ? nullptr : &list[i];
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
  for (ProjectPoint& p : points_)
    if (p.object) p.object->Clear();
  for (ProjectCamera& c : cameras_) c.object->Clear();
  for (ComPtr<HostObject>& h : helpers_) h->Clear();
  if (working_object_) working_object_->Clear();
}

const ProjectSystem* Project::FindSystem(const std::string& id) const {
  return FindIn(
      systems_,
      system_index_,
      id,
      [](const ProjectSystem& x) -> const std::string& { return x.id; });
}
const ProjectCamera* Project::FindCamera(const std::string& id) const {
  return FindIn(
      cameras_,
      camera_index_,
      id,
      [](const ProjectCamera& x) -> const std::string& { return x.id; });
}
const ProjectPoint* Project::FindPoint(const std::string& name) const {
  return FindIn(
      points_,
      point_index_,
      name,
      [](const ProjectPoint& x) -> const std::string& { return x.name; });
}
const ProjectImage* Project::FindImage(const std::string& id) const {
  return FindIn(
      images_,
      image_index_,
      id,
      [](const ProjectImage& x) -> const std::string& { return x.id; });
}
const ProjectStation* Project::FindStation(const std::string& id) const {
  return FindIn(
      stations_,
      station_index_,
      id,
      [](const ProjectStation& x) -> const std::string& { return x.id; });
}

ComPtr<HostObject> Project::MakePointObject(const ProjectSystem& sys,
                                            const double coords[3],
                                            const std::string& name) const {
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
      .SetObject(
          kPointPropCrsObject,
          sys.orthometric ? working_object_.get() : ellipsoidal_object_.get())
      .SetObject(kPointPropCrsReference, sys.reference.get());
  AttachGeoPoint(*p, data.get());
  return p;
}

ComPtr<HostObject> Project::PointObject(const ProjectPoint& p) const {
  if (p.object) return p.object;
  const ProjectSystem* sys = FindSystem(p.system);
  return sys ? MakePointObject(*sys, p.coords, p.name) : ComPtr<HostObject>();
}

}  // namespace collinear
