// The project, beam and orient commands on a project file: loading it, and
// each image set up in the camera coordinate calculator as a host
// application would (camera and picture from the image, orientation from
// the stored exterior orientation, the instrument measurement it was taken
// with, or its control points).
#ifndef COLLINEAR_TOOLS_PROJECT_IMAGE_H_
#define COLLINEAR_TOOLS_PROJECT_IMAGE_H_

#include <cstddef>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include <collinear/calculator/crd_calculator.h>
#include <collinear/io/project_file.h>
#include <collinear/primitives/host_geometry.h>
#include <collinear/primitives/wpk.h>

#include "cli_common.h"
#include "report.h"

namespace collinear::cli {

// A resection needs this many control points with coordinates.
constexpr std::size_t kMinControlPoints = 4;

using P2 = TAbstractPoint2<double>;
using P3 = TAbstractPoint3<double>;

// Throws InputError with the loader's message.
std::unique_ptr<Project> LoadProject(const std::string& path);
// As LoadProject, with the camera of image read from camera_file instead
// (none: the project's own); a mount of the project's camera stays.
std::unique_ptr<Project> LoadProject(const std::string& path,
                                     const std::string& image,
                                     const std::string& camera_file);
// Throws InputError naming the images there are.
const ProjectImage& RequireImage(const Project& p, const std::string& id);

// Picture size in pixels: from the picture file when the calculator could
// read it, else the camera's, else the one centred on the principal point.
void UsePictureSize(const Project& p,
                    const ProjectImage& img,
                    CCrdCalculator& c);

// Why an orientation from the control points of img is no orientation
// at all; empty when it is one.
std::string Degenerate(const Project& p,
                       const ProjectImage& img,
                       const CCrdCalculator& c);

// The calculator of an image as InitFromAnyImage sets it up, and where
// its orientation came from.
struct ImageSetup {
  CCrdCalculator calc;
  std::string source;
};
// Throws InputError (too few control points) or ComputeError when the
// image has no orientation.
ImageSetup SetUp(const Project& p, const ProjectImage& img);

// Projection centre (working system, in its length unit) and omega, phi,
// kappa of the object-to-camera rotation (ROT_KPW, radians).
struct Pose {
  P3 centre;
  CWPK angles;
  std::string unit = "m";  // of the centre
};
Pose PoseOf(const Project& p, const CCrdCalculator& c);

// What the report says of an image set up by SetUp.
struct ImageInfo {
  std::string id, camera, working_system, orientation_from;
  double focal_mm = 0.0;
  double width_px = 0.0, height_px = 0.0;  // of the picture
  Pose pose;
};
ImageInfo Describe(const Project& p,
                   const ProjectImage& img,
                   const ImageSetup& s);

Json PointJson(const P3& p);

// "Image ..., camera ... (f, picture), working system ..." and where the
// orientation came from; JSON image, length_unit and orientation_from,
// with full also camera and picture_px.
void ImageSection(const ImageInfo& info, bool full, Report& report);

// The pose as a table, angles in degrees and radians; JSON
// projection_centre and angles (degrees and radians).
void OrientationSection(const Pose& pose,
                        int decimals,
                        std::string& text,
                        Json& json);

// A subcommand on a project file: its help is what, then the note on the
// file and its frames.
CLI::App* AddProjectCommand(CLI::App& root,
                            const char* name,
                            const char* what,
                            std::string& path);

}  // namespace collinear::cli

#endif  // COLLINEAR_TOOLS_PROJECT_IMAGE_H_
