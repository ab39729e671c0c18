// A camera and its poses in OpenCV's conventions: camera matrix in pixels
// with pixel centres at whole numbers (OpenCV's (0, 0) is the centre of
// the top-left pixel, collinear's (0.5, 0.5)), distortion (k1, k2, p1, p2,
// k3) that distorts ideal normalised points, camera axes x right, y down,
// z forward, and x_cam = R(rvec) X + tvec.
#ifndef COLLINEAR_IO_OPENCV_CAMERA_H_
#define COLLINEAR_IO_OPENCV_CAMERA_H_

#include <string>

#include <collinear/framework/export.h>
#include <collinear/io/project_file.h>

namespace collinear {

struct OpenCvCamera {
  bool valid = false;
  std::string error;                              // why not, when not valid
  double fx = 0.0, fy = 0.0, cx = 0.0, cy = 0.0;  // pixels
  double dist[5] = {0.0, 0.0, 0.0, 0.0, 0.0};     // k1, k2, p1, p2, k3
  // How far OpenCV's fitted model puts the grid's points from collinear's
  // (pixels): the largest and the RMS distance, over grid_points points.
  double fit_max_px = 0.0, fit_rms_px = 0.0;
  int grid_points = 0;
};

// The camera in OpenCV's terms. collinear's distortion corrects measured
// points and OpenCV's distorts ideal ones, so the five coefficients are
// fitted by linear least squares over a grid of measured pixels covering
// the picture (the camera needs its picture size). Invalid, with error,
// without a picture size, or for a singular fit or non-finite values.
COLLINEAR_API OpenCvCamera ToOpenCv(const ProjectCamera& camera);

struct OpenCvPose {
  double rvec[3] = {0.0, 0.0, 0.0};  // rotation axis times angle (radians)
  double tvec[3] = {0.0, 0.0, 0.0};  // object length unit
};

// The pose of a camera at centre (object coordinates) with the rotation
// rot_obj_to_cam (row by row; collinear's camera axes: y up, z backwards).
COLLINEAR_API OpenCvPose ToOpenCvPose(const double centre[3],
                                      const double rot_obj_to_cam[9]);

}  // namespace collinear

#endif  // COLLINEAR_IO_OPENCV_CAMERA_H_
