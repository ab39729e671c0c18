// A calibration's camera leaving the tool: the camera file of
// --camera-out (millimetres, the calculator's distortion sign) and the
// OpenCV form of --opencv, for calibrate from one view or from several.
#ifndef COLLINEAR_TOOLS_CAMERA_OUT_H_
#define COLLINEAR_TOOLS_CAMERA_OUT_H_

#include <string>
#include <vector>

#include <collinear/distortion/dist.h>
#include <collinear/io/opencv_camera.h>
#include <collinear/io/project_file.h>
#include <collinear/quality/precision.h>

#include "cli_common.h"
#include "report.h"

namespace collinear::cli {

struct CameraOutArgs {
  std::string camera_out;          // --camera-out FILE, or empty
  std::string opencv;              // --opencv FILE, or empty
  std::vector<double> pixel_size;  // mm, x [and y]; empty: 1 mm per pixel
  std::vector<double> image_size;  // px, or empty
  bool Wanted() const { return !camera_out.empty() || !opencv.empty(); }
};

// Refuses options that cannot make a camera file: --pixel-size without
// --camera-out, photo image coordinates, a picture size that is not whole
// pixels, --opencv without the picture size. Throws InputError.
void CheckCameraOut(const CameraOutArgs& args, bool pixel_frame);

// A calibration in pixels: principal distances cx (columns) and cy (rows)
// and their mean c, principal point from the top-left corner with y down,
// the distortion added to the measured point in pixels with photo y up
// (CDist's sign), and the precision whose sigmas, found by the names c,
// x0, y0 and the coefficients', go into the file.
struct PixelCamera {
  double cx = 0.0, cy = 0.0, c = 0.0;
  double x0 = 0.0, y0 = 0.0;
  const CDist* dist = nullptr;
  const PrecisionReport* precision = nullptr;
};

// One view's pose for the OpenCV file: centre in object coordinates and
// the rotation from object to camera axes, row by row.
struct PoseOut {
  std::string name;
  double centre[3] = {0.0, 0.0, 0.0};
  double rotation[9] = {};
};

// What was made: the camera and its OpenCV form, and the files written.
struct CameraOut {
  ProjectCamera camera;
  OpenCvCamera opencv;
  std::vector<PoseOut> poses;
  std::string camera_file, opencv_file;
};

// The camera as a camera file holds it, and its OpenCV form when asked
// for. Throws ComputeError for non-finite values or a failed fit.
CameraOut MakeCameraOut(const PixelCamera& calibration,
                        std::vector<PoseOut> poses,
                        const CameraOutArgs& args);

// Writes the files asked for (call only for a run that succeeds).
void WriteCameraOut(const CameraOutArgs& args, CameraOut& out);

// The report's lines on the files written, JSON camera_file and opencv.
void CameraOutSection(const CameraOut& out,
                      const CameraOutArgs& args,
                      int decimals,
                      Report& report);

}  // namespace collinear::cli

#endif  // COLLINEAR_TOOLS_CAMERA_OUT_H_
