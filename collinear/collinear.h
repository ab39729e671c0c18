// collinear: photogrammetric computation library. Includes every exported
// class.
#ifndef COLLINEAR_COLLINEAR_H_
#define COLLINEAR_COLLINEAR_H_

#include <collinear/framework/array.h>
#include <collinear/framework/exception.h>
#include <collinear/framework/object.h>
#include <collinear/framework/string.h>

#include <collinear/primitives/constants.h>
#include <collinear/primitives/geomath_consts.h>
#include <collinear/primitives/host_geometry.h>
#include <collinear/primitives/rot.h>
#include <collinear/primitives/wpk.h>
#include <collinear/primitives/xyz.h>

#include <collinear/leastsq/leastsq.h>

#include <collinear/distortion/dist.h>

#include <collinear/orientation/dlt.h>
#include <collinear/orientation/helmert.h>
#include <collinear/orientation/point_match.h>
#include <collinear/orientation/resection_start.h>
#include <collinear/orientation/sinori.h>
#include <collinear/orientation/status_text.h>

#include <collinear/calculator/crd_calculator.h>
#include <collinear/calculator/host/bin_value.h>
#include <collinear/calculator/host/host_catalogue.h>
#include <collinear/calculator/host/host_object.h>
#include <collinear/calculator/host/image_host.h>
#include <collinear/calculator/host/property_object.h>
#include <collinear/calculator/host/unknown.h>

#include <collinear/geo/derived_system.h>
#include <collinear/geo/engineering_system.h>
#include <collinear/geo/geo_coord.h>
#include <collinear/geo/geo_host.h>
#include <collinear/geo/proj_system.h>

#include <collinear/picture/bitmap.h>
#include <collinear/picture/picture_info.h>
#include <collinear/picture/stream.h>

#include <collinear/adjust/adj_image.h>
#include <collinear/adjust/ray_fit.h>
#include <collinear/adjust/triangulate.h>

#include <collinear/calibration/calibration.h>
#include <collinear/calibration/calibration_start.h>

#include <collinear/io/camera_file.h>
#include <collinear/io/opencv_camera.h>
#include <collinear/io/point_file.h>
#include <collinear/io/project_file.h>

#include <collinear/quality/distortion_check.h>
#include <collinear/quality/precision.h>
#include <collinear/quality/resection_ambiguity.h>
#include <collinear/quality/verdict.h>

#endif  // COLLINEAR_COLLINEAR_H_
