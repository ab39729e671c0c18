#include <collinear/adjust/triangulate.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <collinear/adjust/ray_fit.h>
#include <collinear/distortion/dist_formula.h>
#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

using Point3 = TAbstractPoint3<double>;

// Redundancy numbers below this leave a residual that cannot be tested.
constexpr double kMinRedundancy = 1e-9;
// A step at this fraction of the coordinates is rounding: converged.
constexpr double kRoundingStep = 1e-15;
// |camera z| below this fraction of the distance: the point lies in the
// plane through the projection centre parallel to the picture.
constexpr double kMinDepthRatio = 1e-12;

// A view reduced to what the iteration needs, in a frame shifted to the
// mean of the projection centres (keeps UTM-sized numbers out of the
// differences).
struct Ray {
  Point3 centre;
  double r[9];     // object to camera, row by row
  double f;        // principal distance, mm
  double qx, qy;   // ideal photo point, mm, y up
  double jinv[4];  // d(measured) / d(ideal), row by row
  double sx, sy;   // pixels per mm along x, y (sy < 0: pixel y is down)
  double sigma;    // pixels
};

// Residuals (computed - measured, pixels, y down) of one view at x and
// their gradients by the three coordinates; false with the point in the
// plane of the camera's centre.
bool Linearise(
    const Ray& ray, const Point3& x, double v[2], Point3 a[2], double* depth) {
  const Point3 d = x - ray.centre;
  const double* r = ray.r;
  const double c0 = r[0] * d.x + r[1] * d.y + r[2] * d.z;
  const double c1 = r[3] * d.x + r[4] * d.y + r[5] * d.z;
  const double c2 = r[6] * d.x + r[7] * d.y + r[8] * d.z;
  *depth = c2;
  if (!(std::fabs(c2) > kMinDepthRatio * d.Module())) return false;
  // Photo point of the camera looking along -z, and its derivatives by the
  // camera coordinates.
  const double px = -ray.f * c0 / c2, py = -ray.f * c1 / c2;
  const double ex = px - ray.qx, ey = py - ray.qy;
  const double g[2][3] = {{-ray.f / c2, 0.0, ray.f * c0 / (c2 * c2)},
                          {0.0, -ray.f / c2, ray.f * c1 / (c2 * c2)}};
  // Into the measured picture: the inverse distortion Jacobian, then pixels.
  const double* j = ray.jinv;
  const double s[2] = {ray.sx, ray.sy};
  v[0] = s[0] * (j[0] * ex + j[1] * ey);
  v[1] = s[1] * (j[2] * ex + j[3] * ey);
  for (int k = 0; k < 2; ++k) {
    double gc[3];  // d(photo residual of row k in the measured frame) / dc
    for (int i = 0; i < 3; ++i)
      gc[i] = s[k] * (j[2 * k] * g[0][i] + j[2 * k + 1] * g[1][i]);
    for (int i = 0; i < 3; ++i)
      a[k][i] = gc[0] * r[i] + gc[1] * r[3 + i] + gc[2] * r[6 + i];
  }
  return true;
}

bool IsFinite(const Point3& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

double Trace(const covar& c) { return c(0, 0) + c(1, 1) + c(2, 2); }

// The view as a Ray; empty message when it is usable.
std::string Reduce(const TriangulationView& v, const Point3& origin, Ray& ray) {
  const std::string name = "image '" + v.image + "': ";
  if (!(v.focal_mm > 0.0) || !(v.pixel_mm.x > 0.0) || !(v.pixel_mm.y > 0.0) ||
      !(v.sigma_px > 0.0))
    return name +
           "principal distance, pixel size and sigma must be positive numbers";
  const double p[4] = {
      v.pixel.x, v.pixel.y, v.principal_mm.x, v.principal_mm.y};
  for (double q : p)
    if (!std::isfinite(q)) return name + "non-finite pixel or principal point";
  for (double q : v.rotation.m_r)
    if (!std::isfinite(q)) return name + "non-finite rotation";
  if (!IsFinite(v.centre)) return name + "non-finite projection centre";
  ray.centre = v.centre - origin;
  std::copy(v.rotation.m_r, v.rotation.m_r + 9, ray.r);
  ray.f = v.focal_mm;
  ray.sx = 1.0 / v.pixel_mm.x;
  ray.sy = -1.0 / v.pixel_mm.y;
  ray.sigma = v.sigma_px;
  const double mx = v.pixel.x * v.pixel_mm.x - v.principal_mm.x;
  const double my = v.principal_mm.y - v.pixel.y * v.pixel_mm.y;
  double dx = 0.0, dy = 0.0, jac[4];
  v.dist.CalDist(mx, my, dx, dy);
  WithDistFormula(v.dist.m_Model, v.dist.m_Para, [&](const auto& f) {
    f.Jacobian(mx, my, jac);
  });
  ray.qx = mx + dx;
  ray.qy = my + dy;
  const double a = 1.0 + jac[0], b = jac[1], c = jac[2], d = 1.0 + jac[3];
  const double det = a * d - b * c;
  if (!(det > 0.0) || !std::isfinite(ray.qx + ray.qy))
    return name +
           "the lens distortion folds the picture over at the measured pixel";
  ray.jinv[0] = d / det;
  ray.jinv[1] = -b / det;
  ray.jinv[2] = -c / det;
  ray.jinv[3] = a / det;
  return "";
}

// Direction of the ray of the ideal photo point, object axes.
Point3 Direction(const Ray& ray) {
  const double c[3] = {ray.qx, ray.qy, -ray.f};
  const double* r = ray.r;
  const Point3 d(r[0] * c[0] + r[3] * c[1] + r[6] * c[2],
                 r[1] * c[0] + r[4] * c[1] + r[7] * c[2],
                 r[2] * c[0] + r[5] * c[1] + r[8] * c[2]);
  return d * (1.0 / d.Module());
}

double LargestAngle(const std::vector<Ray>& rays, const Point3& x) {
  double largest = 0.0;
  for (size_t i = 0; i < rays.size(); ++i)
    for (size_t j = i + 1; j < rays.size(); ++j) {
      const Point3 u = x - rays[i].centre, w = x - rays[j].centre;
      const Point3 n(
          u.y * w.z - u.z * w.y, u.z * w.x - u.x * w.z, u.x * w.y - u.y * w.x);
      largest = std::max(largest, std::atan2(n.Module(), u * w));
    }
  return largest;
}

}  // namespace

double Triangulation::VarianceFactor() const {
  return redundancy > 0 ? weighted_sum / redundancy : 0.0;
}

covar Triangulation::APosterioriCovariance() const {
  covar c = covariance;
  const double f = VarianceFactor();
  for (int k = 0; k < 6; ++k) c[k] *= f;
  return c;
}

Triangulation Triangulate(const std::vector<TriangulationView>& views) {
  Triangulation t;
  t.position = DefTriad();
  const int n = static_cast<int>(views.size());
  t.rays.resize(views.size());
  if (n < 2) {
    t.singular = true;
    t.message = std::to_string(n) + " view(s); a point needs at least 2";
    return t;
  }
  Point3 origin(0.0, 0.0, 0.0);
  for (const TriangulationView& v : views) origin += v.centre * (1.0 / n);
  std::vector<Ray> rays(views.size());
  for (int i = 0; i < n; ++i) {
    t.message = Reduce(views[i], origin, rays[i]);
    if (!t.message.empty()) {
      t.singular = true;
      return t;
    }
  }
  // Start: the point nearest the lines of the rays, whatever their sense.
  std::vector<Point3> line(2 * views.size());
  for (int i = 0; i < n; ++i) {
    line[2 * i] = rays[i].centre;
    line[2 * i + 1] = rays[i].centre + Direction(rays[i]);
  }
  Point3 x;
  if (!NearestPointToLines(n, line.data(), x)) {
    t.singular = true;
    t.message = "the rays are parallel: they do not fix a point";
    return t;
  }
  t.position = x + origin;
  char buf[160];
  for (int it = 0; it <= kMaxTriangulationIterations; ++it) {
    covar normal;
    Point3 rhs(0.0, 0.0, 0.0);
    std::vector<double> v(2 * n);
    std::vector<Point3> a(2 * n);
    for (int i = 0; i < n; ++i) {
      double depth = 0.0;
      if (!Linearise(rays[i], x, &v[2 * i], &a[2 * i], &depth)) {
        t.singular = true;
        t.message =
            "the point lies in the plane of the projection centre of "
            "image '" +
            views[i].image + "', parallel to its picture";
        return t;
      }
      t.rays[i].behind = depth >= 0.0;
    }
    for (int k = 0; k < 2 * n; ++k) {
      const double w = 1.0 / (rays[k / 2].sigma * rays[k / 2].sigma);
      rhs -= a[k] * (w * v[k]);
      int e = 0;
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c <= r; ++c) normal[e++] += w * a[k][r] * a[k][c];
    }
    if (InvertSMatr3(normal) < 0) {
      t.singular = true;
      t.message = "normal equations singular: the rays do not fix a point";
      return t;
    }
    t.covariance = normal;
    if (t.converged) {  // figures at the converged point
      t.observations = 2 * n;
      t.redundancy = t.observations - 3;
      for (int k = 0; k < 2 * n; ++k) {
        const double sigma = rays[k / 2].sigma, w = 1.0 / (sigma * sigma);
        const double r =
            std::clamp(1.0 - w * (a[k] * (normal * a[k])), 0.0, 1.0);
        const double nv =
            r >= kMinRedundancy ? v[k] / (sigma * std::sqrt(r)) : 0.0;
        TriangulationRay& ray = t.rays[k / 2];
        (k % 2 == 0 ? ray.vx_px : ray.vy_px) = v[k];
        (k % 2 == 0 ? ray.rx : ray.ry) = r;
        (k % 2 == 0 ? ray.wx : ray.wy) = nv;
        t.weighted_sum += w * v[k] * v[k];
      }
      t.max_angle = LargestAngle(rays, x);
      return t;
    }
    if (it == kMaxTriangulationIterations) break;
    const Point3 step = normal * rhs;
    const Point3 next = x + step;
    if (!IsFinite(next)) {
      t.message = "the point left the range of numbers";
      return t;
    }
    x = next;
    t.position = x + origin;
    t.iterations = it + 1;
    const double scale = std::max({std::fabs(t.position.x),
                                   std::fabs(t.position.y),
                                   std::fabs(t.position.z)});
    const double moved = step.Module();
    t.converged = moved <= kTriangulationStepFraction *
                               std::sqrt(std::max(Trace(normal), 0.0)) ||
                  moved <= kRoundingStep * scale;
  }
  std::snprintf(buf,
                sizeof buf,
                "no convergence in %d iterations",
                kMaxTriangulationIterations);
  t.message = buf;
  return t;
}

Verdict Judge(const Triangulation& t,
              const std::vector<TriangulationView>& views,
              const std::string& point) {
  Verdict v;
  char buf[512];
  auto warn = [&](VerdictReason reason) {
    v.warnings.push_back({reason, point, buf});
  };
  const char* p = point.c_str();
  if (!t.converged) {
    std::snprintf(buf, sizeof buf, "point %s: %s", p, t.message.c_str());
    warn(t.singular ? VerdictReason::kSingular : VerdictReason::kNotOptimal);
    return v;
  }
  const covar& c = t.covariance;
  if (!IsFinite(t.position) || !std::isfinite(c(0, 0) + c(1, 1) + c(2, 2))) {
    std::snprintf(buf, sizeof buf, "point %s: non-finite position", p);
    warn(VerdictReason::kNonFinite);
    return v;
  }
  for (size_t i = 0; i < t.rays.size() && i < views.size(); ++i) {
    if (!t.rays[i].behind) continue;
    std::snprintf(buf,
                  sizeof buf,
                  "point %s lies behind the camera of image %s: its rays "
                  "meet only behind their cameras",
                  p,
                  views[i].image.c_str());
    warn(VerdictReason::kBehindCamera);
  }
  if (t.max_angle < kMinIntersectionAngle) {
    std::snprintf(buf,
                  sizeof buf,
                  "point %s: its rays meet at %.3g deg at most (below %.3g "
                  "deg); along them the point is about %.0f times less "
                  "certain than across",
                  p,
                  t.max_angle * kDegPerRad,
                  kMinIntersectionAngle * kDegPerRad,
                  1.0 / std::tan(std::max(t.max_angle, 1e-9)));
    warn(VerdictReason::kSmallAngle);
  }
  const int r = t.redundancy;
  if (r > 0) {
    const double f = t.VarianceFactor();
    const double limit = ChiSquareQuantile(r, kRmsTestProbability) / r;
    if (f > limit) {
      std::snprintf(buf,
                    sizeof buf,
                    "point %s: residuals too large: variance factor %.4g "
                    "above %.4g, the limit at %.1f %% for redundancy %d; the "
                    "image sigma is too small or a measurement is wrong",
                    p,
                    f,
                    limit,
                    100.0 * kRmsTestProbability,
                    r);
      warn(VerdictReason::kResidualRms);
    }
  }
  // With two views a wrong pixel spoils both rays alike: only from three
  // views on can data snooping name the image.
  if (t.rays.size() >= 3) {
    int worst = -1;
    double w = 0.0;
    for (size_t i = 0; i < t.rays.size(); ++i) {
      const double wi =
          std::max(std::fabs(t.rays[i].wx), std::fabs(t.rays[i].wy));
      if (wi > w) {
        w = wi;
        worst = static_cast<int>(i);
      }
    }
    const double limit = OutlierLimit(t.observations);
    if (worst >= 0 && w > limit) {
      const TriangulationRay& ray = t.rays[worst];
      std::snprintf(buf,
                    sizeof buf,
                    "point %s in image %s does not fit: normalised residual "
                    "%.3g above %.3g, the critical value at significance %g "
                    "over %d coordinates (residual %.3g, %.3g px)",
                    p,
                    views[worst].image.c_str(),
                    w,
                    limit,
                    kOutlierSignificance,
                    t.observations,
                    ray.vx_px,
                    ray.vy_px);
      warn(VerdictReason::kOutlier);
    }
  }
  return v;
}

}  // namespace collinear
