#include <collinear/quality/distortion_check.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <collinear/distortion/dist_model.h>

namespace collinear {
namespace {

// Central-difference step of the Jacobian, relative to the picture radius.
constexpr double kRelStep = 1e-6;

}  // namespace

PictureRect BoundingRect(const CArray<CXYZ, CXYZ&>& points) {
  PictureRect r;
  if (points.GetSize() == 0) return r;
  r.x_min = r.x_max = points[0].m_x;
  r.y_min = r.y_max = points[0].m_y;
  for (INT_PTR i = 1; i < points.GetSize(); ++i) {
    r.x_min = std::min(r.x_min, points[i].m_x);
    r.x_max = std::max(r.x_max, points[i].m_x);
    r.y_min = std::min(r.y_min, points[i].m_y);
    r.y_max = std::max(r.y_max, points[i].m_y);
  }
  return r;
}

DistortionValidity CheckDistortion(const CDist& dist,
                                   double x0,
                                   double y0,
                                   const PictureRect& picture,
                                   int grid_side) {
  DistortionValidity v;
  if (dist.m_Model == DIST_NONE || dist.m_NumPara == 0) return v;
  v.checked = true;
  v.grid_side = std::max(grid_side, 2);
  v.grid_points = v.grid_side * v.grid_side;
  for (double cx : {picture.x_min, picture.x_max})
    for (double cy : {picture.y_min, picture.y_max})
      v.picture_radius =
          std::max(v.picture_radius, std::hypot(cx - x0, cy - y0));
  v.search_radius = 2.0 * v.picture_radius;
  const double h = kRelStep * (v.picture_radius > 0.0 ? v.picture_radius : 1.0);
  double valid = v.search_radius;

  for (int i = 0; i < v.grid_side; ++i) {
    const double x =
        picture.x_min + (picture.x_max - picture.x_min) * i / (v.grid_side - 1);
    for (int j = 0; j < v.grid_side; ++j) {
      const double y = picture.y_min +
                       (picture.y_max - picture.y_min) * j / (v.grid_side - 1);
      if (!(DistortionDeterminant(
                dist.m_Model, dist.m_Para, 1.0, x - x0, y - y0, h) > 0.0)) {
        ++v.grid_failures;
        valid = std::min(valid, std::hypot(x - x0, y - y0));
      }
    }
  }
  valid = InvertibleRadius(
      dist.m_Model, dist.m_Para, 1.0, v.search_radius, h, valid);
  v.limited = valid < v.search_radius;
  v.valid_radius = valid;
  return v;
}

DistortionValidity CheckDistortion(const CDlt& solved,
                                   const PictureRect& picture,
                                   int grid_side) {
  return CheckDistortion(solved.m_Dist,
                         solved.m_PrincipalPoint.m_x,
                         solved.m_PrincipalPoint.m_y,
                         picture,
                         grid_side);
}

Verdict Judge(const DistortionValidity& validity) {
  Verdict v;
  if (validity.Ok()) return v;
  char buf[400];
  std::snprintf(buf,
                sizeof buf,
                "distortion correction folds over inside the picture: "
                "invertible with an increasing radial part only up to radius "
                "%.4g, the picture reaches %.4g (%d of %d grid points not "
                "invertible)",
                validity.valid_radius,
                validity.picture_radius,
                validity.grid_failures,
                validity.grid_points);
  v.warnings.push_back({VerdictReason::kDistortionInvalid, "", buf});
  return v;
}

}  // namespace collinear
