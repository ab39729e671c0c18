#include <collinear/io/camera_file.h>

#include <collinear/distortion/dist_model.h>
#include <collinear/io/camera_json.h>
#include <collinear/io/json_layout.h>
#include <collinear/io/json_reader.h>
#include <collinear/io/point_file.h>

namespace collinear {

bool ReadCameraFile(const std::string& path,
                    ProjectCamera& camera,
                    std::string& error) {
  std::string text;
  if (!CatchForeign(path + ": ", error, [&]() {
        return ReadTextFile(path, text, error);
      }))
    return false;
  return ParseCameraFile(text, path, camera, error);
}

bool ParseCameraFile(const std::string& text,
                     const std::string& source,
                     ProjectCamera& camera,
                     std::string& error) {
  error.clear();
  return CatchForeign(source + ": ", error, [&]() {
    JsonReader r;
    Json doc;
    if (r.Parse(text, doc) && !doc.is_object())
      r.Fail("", "the document must be a JSON object");
    if (!r.failed()) ReadCameraObject(r, doc, "", false, camera);
    if (!r.failed()) return true;
    error = source + ": " + r.message();
    return false;
  });
}

std::string CameraFileText(const ProjectCamera& camera) {
  return LayoutJson(CameraObjectJson(camera));
}

bool WriteCameraFile(const std::string& path,
                     const ProjectCamera& camera,
                     std::string& error) {
  return CatchForeign(path + ": ", error, [&]() {
    return WriteTextFile(path, CameraFileText(camera), error);
  });
}

CDist CameraCorrection(const ProjectCamera& camera) {
  CDist dist;
  if (const DistModelInfo* info = FindDistModel(camera.distortion_model)) {
    dist.SetDistModel(info->model);
    int k = 0;
    for (const auto* list : {&camera.radial, &camera.further})
      for (double v : *list) dist.m_Para[k++] = -v;
  }
  return dist;
}

}  // namespace collinear
