#include <collinear/adjust/ray_fit.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

using Point3 = TAbstractPoint3<double>;

// TAdjImage's rules for leaving a ray out: shorter than this (caller's
// length unit) from its station, to its second point or to the position.
constexpr double kMinRayLength = 0.1;
// ... or the position at its station's zenith or nadir, where the azimuth
// is undefined (plan length over length below this).
constexpr double kMinCosElevation = 1e-9;
// Redundancy numbers below this leave a residual that cannot be tested.
constexpr double kMinRedundancy = 1e-9;
// A step at this fraction of the coordinates is rounding: converged.
constexpr double kRoundingStep = 1e-12;

double Wrap(double a) {
  if (a < -kPi) return a + kTwoPi;
  if (a >= kPi) return a - kTwoPi;
  return a;
}

// One observation at the current position: the gradient of the computed
// angle with respect to the position (per length unit), the misclosure
// observed - computed and the a-priori standard deviation (radians).
struct Row {
  Point3 g;
  double v, sigma;
};

// Rows of the rays usable at x, two per ray, in ray order; marks fit.rays.
std::vector<Row> Linearise(int n,
                           const Point3* pts,
                           const TAbstractPoint2<double>* sigmas,
                           const Point3& x,
                           RayFit& fit) {
  std::vector<Row> rows;
  for (int i = 0; i < n; ++i) {
    RayResidual& ray = fit.rays[i];
    ray = RayResidual();
    const Point3 d1 = pts[2 * i + 1] - pts[2 * i];
    const Point3 d2 = x - pts[2 * i];
    const double l1 = d1.Module(), l2 = d2.Module();
    if (!(l1 >= kMinRayLength) || !(l2 >= kMinRayLength)) continue;
    ray.distance = l2;
    const double along = (d1 * d2) / l1;
    ray.offset = std::sqrt(std::max(0.0, l2 * l2 - along * along));
    ray.behind = along < 0.0;
    const double plan = std::hypot(d2.x, d2.y);
    if (!(plan > kMinCosElevation * l2)) continue;
    ray.used = true;
    ray.dh = Wrap(std::atan2(d1.y, d1.x) - std::atan2(d2.y, d2.x));
    ray.dv = std::asin(std::clamp(d1.z / l1, -1.0, 1.0)) -
             std::asin(std::clamp(d2.z / l2, -1.0, 1.0));
    const double p2 = plan * plan, l22 = l2 * l2;
    rows.push_back({Point3(-d2.y / p2, d2.x / p2, 0.0), ray.dh, sigmas[i].x});
    rows.push_back({Point3(-d2.z * d2.x / (l22 * plan),
                           -d2.z * d2.y / (l22 * plan),
                           plan / l22),
                    ray.dv,
                    sigmas[i].y});
  }
  return rows;
}

// Normal matrix and right-hand side of the rows.
void Normals(const std::vector<Row>& rows, covar& normal, Point3& rhs) {
  normal = covar();
  rhs = Point3(0.0);
  for (const Row& r : rows) {
    const double w = 1.0 / (r.sigma * r.sigma);
    rhs += r.g * (w * r.v);
    int k = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j <= i; ++j) normal[k++] += w * r.g[i] * r.g[j];
  }
}

bool IsFinite(const Point3& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

double Trace(const covar& c) { return c(0, 0) + c(1, 1) + c(2, 2); }

}  // namespace

double RayFit::VarianceFactor() const {
  return redundancy > 0 ? weighted_sum / redundancy : 0.0;
}

RayFit FitRays(int n,
               const TAbstractPoint3<double>* ray_points,
               const TAbstractPoint2<double>* sigmas,
               const TAbstractPoint3<double>& start) {
  RayFit fit;
  fit.position = start;
  fit.rays.resize(std::max(n, 0));
  char buf[256];
  for (int it = 0; it <= kMaxRayFitIterations; ++it) {
    const std::vector<Row> rows =
        Linearise(n, ray_points, sigmas, fit.position, fit);
    if (rows.size() < 4) {
      fit.message = "fewer than two rays usable at the position";
      return fit;
    }
    covar normal;
    Point3 rhs;
    Normals(rows, normal, rhs);
    if (InvertSMatr3(normal) < 0) {
      fit.message = "normal equations singular: the rays do not fix a point";
      return fit;
    }
    fit.covariance = normal;
    if (fit.converged) {  // figures at the converged position
      fit.observations = static_cast<int>(rows.size());
      fit.redundancy = fit.observations - 3;
      size_t k = 0;
      for (RayResidual& ray : fit.rays) {
        if (!ray.used) continue;
        for (double* r : {&ray.rh, &ray.rv}) {
          const Row& row = rows[k++];
          const double w = 1.0 / (row.sigma * row.sigma);
          *r = std::clamp(1.0 - w * (row.g * (normal * row.g)), 0.0, 1.0);
          fit.weighted_sum += w * row.v * row.v;
        }
        if (ray.rh >= kMinRedundancy)
          ray.wh = ray.dh / (rows[k - 2].sigma * std::sqrt(ray.rh));
        if (ray.rv >= kMinRedundancy)
          ray.wv = ray.dv / (rows[k - 1].sigma * std::sqrt(ray.rv));
      }
      return fit;
    }
    if (it == kMaxRayFitIterations) break;
    const Point3 step = normal * rhs;
    const Point3 next = fit.position + step;
    if (!IsFinite(next)) {
      fit.message = "the position left the range of numbers";
      return fit;
    }
    fit.position = next;
    fit.iterations = it + 1;
    const double scale =
        std::max({std::fabs(next.x), std::fabs(next.y), std::fabs(next.z)});
    const double moved = step.Module();
    fit.converged = moved <= kRayFitStepFraction *
                                 std::sqrt(std::max(Trace(normal), 0.0)) ||
                    moved <= kRoundingStep * scale;
  }
  std::snprintf(buf,
                sizeof buf,
                "no convergence in %d iterations: the rays do not meet in "
                "one point",
                kMaxRayFitIterations);
  fit.message = buf;
  return fit;
}

bool NearestPointToLines(int n,
                         const TAbstractPoint3<double>* ray_points,
                         TAbstractPoint3<double>& point) {
  covar normal;
  Point3 rhs(0.0);
  int used = 0;
  for (int i = 0; i < n; ++i) {
    const Point3& a = ray_points[2 * i];
    const Point3 d = ray_points[2 * i + 1] - a;
    const double l = d.Module();
    if (!(l >= kMinRayLength)) continue;
    ++used;
    const Point3 u = d * (1.0 / l);
    // Projector onto the plane across the line: I - u u^T.
    int k = 0;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c <= r; ++c) {
        const double p = (r == c ? 1.0 : 0.0) - u[r] * u[c];
        normal[k++] += p;
        rhs[r] += p * a[c];
        if (c != r) rhs[c] += p * a[r];
      }
  }
  if (used < 2 || InvertSMatr3(normal) < 0) return false;
  const Point3 x = normal * rhs;
  if (!IsFinite(x)) return false;
  point = x;
  return true;
}

}  // namespace collinear
