// The camera object of project and camera files, read with the messages of
// JsonReader and written back: one home for both files, so that a camera
// reads the same wherever it stands. Internal to io/: not installed.
#ifndef COLLINEAR_IO_CAMERA_JSON_H_
#define COLLINEAR_IO_CAMERA_JSON_H_

#include <string>

#include <collinear/io/json_reader.h>
#include <collinear/io/project_file.h>

namespace collinear {

// Reads the interior orientation, distortion and standard deviations of
// the camera object c at path into cam. In a project the id is required
// and 'mount' is allowed (the caller reads it); in a camera file the id is
// optional and there is no mount. False at the first problem, held by r.
bool ReadCameraObject(JsonReader& r,
                      const Json& c,
                      const std::string& path,
                      bool in_project,
                      ProjectCamera& cam);

// The camera object of cam without its mount; the principal point in mm.
// Reads back through ReadCameraObject to the same values.
Json CameraObjectJson(const ProjectCamera& cam);

}  // namespace collinear

#endif  // COLLINEAR_IO_CAMERA_JSON_H_
