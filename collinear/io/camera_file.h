// Camera files: one JSON camera object as a project file's "cameras" list
// holds it (principal distance, principal point, pixel size, picture size,
// distortion model and coefficients), with the standard deviations of
// these values when they came from a calibration, so that a calibrated
// camera can be kept and used again. No id is needed and no mount allowed.
#ifndef COLLINEAR_IO_CAMERA_FILE_H_
#define COLLINEAR_IO_CAMERA_FILE_H_

#include <string>

#include <collinear/distortion/dist.h>
#include <collinear/framework/export.h>
#include <collinear/io/project_file.h>

namespace collinear {

// Reads the camera file at path into camera (its object is left empty).
// False, with error "file: json.path: what is wrong", on any problem;
// camera is then filled in part. Never throws.
COLLINEAR_API bool ReadCameraFile(const std::string& path,
                                  ProjectCamera& camera,
                                  std::string& error);
// As ReadCameraFile for text read elsewhere; source names it in messages.
COLLINEAR_API bool ParseCameraFile(const std::string& text,
                                   const std::string& source,
                                   ProjectCamera& camera,
                                   std::string& error);

// The text of the camera file of camera, laid out as project files are;
// its mount is left out. Numbers read back to the same doubles.
COLLINEAR_API std::string CameraFileText(const ProjectCamera& camera);
// Writes CameraFileText(camera) to path. False, with error set, when the
// file cannot be written.
COLLINEAR_API bool WriteCameraFile(const std::string& path,
                                   const ProjectCamera& camera,
                                   std::string& error);

// The camera's lens distortion as CDist's correction, added to a measured
// photo point in millimetres (y up, about the principal point): the file's
// coefficients, which the calculator subtracts, negated. No model: none.
COLLINEAR_API CDist CameraCorrection(const ProjectCamera& camera);

}  // namespace collinear

#endif  // COLLINEAR_IO_CAMERA_FILE_H_
