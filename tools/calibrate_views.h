// calibrate --views: one camera from several views of one target, by the
// bundle adjustment of collinear/calibration.
#ifndef COLLINEAR_TOOLS_CALIBRATE_VIEWS_H_
#define COLLINEAR_TOOLS_CALIBRATE_VIEWS_H_

#include <string>
#include <vector>

#include "camera_out.h"
#include "cli_common.h"
#include "quality_report.h"

namespace collinear::cli {

struct CalibrateViewsArgs {
  std::string target;              // name X Y Z
  std::vector<std::string> views;  // name x y, pixels, one file per view
  // Or the images of one camera of a project file, its points the target.
  std::string project, camera_id;
  std::string model = "none";
  bool free_aspect = false;
  std::vector<double> image_size;  // width, height in pixels, or empty
  std::string plot;
  int decimals = 4;
  QualityArgs quality;
  CameraOutArgs out;  // image_size set as above
};

// Runs the calibration and prints its report; returns the exit code.
// Throws InputError for bad input, ComputeError when it fails.
int RunCalibrateViews(CalibrateViewsArgs args, const CommonOptions& common);

}  // namespace collinear::cli

#endif  // COLLINEAR_TOOLS_CALIBRATE_VIEWS_H_
