#include <collinear/orientation/resection_start.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <collinear/leastsq/spd_solve.h>

namespace collinear {
namespace {

// Internally the computer-vision camera frame: x right, y down, z forward,
// c = R X + t with X the normalised object point, image u = c.x / c.z,
// v = c.y / c.z in units of the principal distance. The photogrammetric
// rotation is diag(1, -1, -1) R.
using Mat3 = std::array<double, 9>;  // row by row
using Vec3 = std::array<double, 3>;

// Points whose smallest RMS extent across the best-fit plane is below this
// share of the largest along it are treated as a plane first: the spatial
// DLT is ill-conditioned there.
constexpr double kFlatRatio = 0.1;
// Relative pivot below which a system of normal equations counts as
// singular (the start or the pose is not determined).
constexpr double kPivotTol = 1e-13;

struct Scene {
  std::vector<Vec3> x;  // object, about the centroid, divided by the spread
  std::vector<double> u, v;  // normalised image coordinates
  Vec3 centroid{};
  double spread = 0.0;
};

Mat3 Mul(const Mat3& a, const Mat3& b) {
  Mat3 c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) c[3 * i + j] += a[3 * i + k] * b[3 * k + j];
  return c;
}

Vec3 Apply(const Mat3& a, const Vec3& x) {
  return {a[0] * x[0] + a[1] * x[1] + a[2] * x[2],
          a[3] * x[0] + a[4] * x[1] + a[5] * x[2],
          a[6] * x[0] + a[7] * x[1] + a[8] * x[2]};
}

double Det(const Mat3& a) {
  return a[0] * (a[4] * a[8] - a[5] * a[7]) -
         a[1] * (a[3] * a[8] - a[5] * a[6]) +
         a[2] * (a[3] * a[7] - a[4] * a[6]);
}

// The rotation nearest to a (det > 0) by the scaled Newton iteration of the
// polar decomposition; false when a is singular or reflecting.
bool NearestRotation(const Mat3& a, Mat3& r) {
  r = a;
  for (int it = 0; it < 30; ++it) {
    const double det = Det(r);
    if (!(det > 0.0)) return false;
    // Inverse transpose: the cofactor matrix over the determinant.
    const Mat3 cof = {r[4] * r[8] - r[5] * r[7],
                      r[5] * r[6] - r[3] * r[8],
                      r[3] * r[7] - r[4] * r[6],
                      r[2] * r[7] - r[1] * r[8],
                      r[0] * r[8] - r[2] * r[6],
                      r[1] * r[6] - r[0] * r[7],
                      r[1] * r[5] - r[2] * r[4],
                      r[2] * r[3] - r[0] * r[5],
                      r[0] * r[4] - r[1] * r[3]};
    // Scaling by det^(-1/3) speeds up the first steps.
    const double g = std::cbrt(1.0 / det);
    double change = 0.0;
    for (int k = 0; k < 9; ++k) {
      const double next = 0.5 * (g * r[k] + cof[k] / (g * det));
      change = std::max(change, std::fabs(next - r[k]));
      r[k] = next;
    }
    if (change < 1e-15) break;
  }
  return std::isfinite(Det(r));
}

// Eigenvectors (columns of e, ascending eigenvalues in w) of the symmetric
// 3 x 3 matrix a by cyclic Jacobi rotations.
void Eigen3(Mat3 a, Mat3& e, Vec3& w) {
  e = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  for (int sweep = 0; sweep < 50; ++sweep) {
    const double off = a[1] * a[1] + a[2] * a[2] + a[5] * a[5];
    if (!(off > 1e-30 * (a[0] * a[0] + a[4] * a[4] + a[8] * a[8]))) break;
    for (int p = 0; p < 2; ++p)
      for (int q = p + 1; q < 3; ++q) {
        const double apq = a[3 * p + q];
        if (apq == 0.0) continue;
        const double theta = (a[3 * q + q] - a[3 * p + p]) / (2.0 * apq);
        const double t = (theta >= 0 ? 1.0 : -1.0) /
                         (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
        for (int k = 0; k < 3; ++k) {  // columns p, q of a
          const double akp = a[3 * k + p], akq = a[3 * k + q];
          a[3 * k + p] = c * akp - s * akq;
          a[3 * k + q] = s * akp + c * akq;
        }
        for (int k = 0; k < 3; ++k) {  // rows p, q of a
          const double apk = a[3 * p + k], aqk = a[3 * q + k];
          a[3 * p + k] = c * apk - s * aqk;
          a[3 * q + k] = s * apk + c * aqk;
        }
        for (int k = 0; k < 3; ++k) {
          const double ekp = e[3 * k + p], ekq = e[3 * k + q];
          e[3 * k + p] = c * ekp - s * ekq;
          e[3 * k + q] = s * ekp + c * ekq;
        }
      }
  }
  int idx[3] = {0, 1, 2};  // ascending eigenvalues, by insertion
  for (int i = 1; i < 3; ++i)
    for (int j = i; j > 0 && a[4 * idx[j]] < a[4 * idx[j - 1]]; --j)
      std::swap(idx[j], idx[j - 1]);
  Mat3 sorted;
  for (int c = 0; c < 3; ++c) {
    w[c] = a[4 * idx[c]];
    for (int r = 0; r < 3; ++r) sorted[3 * r + c] = e[3 * r + idx[c]];
  }
  e = sorted;
}

// Linear DLT with the interior orientation known: P = [M | p] with P34 = 1
// (the centroid, at the object origin, lies in front), M scaled to the
// nearest rotation.
bool DltStart(const Scene& sc, Mat3& rot, Vec3& t) {
  double n[121] = {}, b[11] = {};
  for (size_t i = 0; i < sc.x.size(); ++i) {
    const Vec3& x = sc.x[i];
    for (int row = 0; row < 2; ++row) {
      const double m = row == 0 ? sc.u[i] : sc.v[i];
      double a[11] = {};
      for (int k = 0; k < 3; ++k) {
        a[4 * row + k] = x[k];
        a[8 + k] = -m * x[k];
      }
      a[4 * row + 3] = 1.0;
      for (int j = 0; j < 11; ++j) {
        if (a[j] == 0.0) continue;
        b[j] += a[j] * m;
        for (int k = 0; k <= j; ++k) n[11 * j + k] += a[j] * a[k];
      }
    }
  }
  for (int j = 0; j < 11; ++j)
    for (int k = 0; k < j; ++k) n[11 * k + j] = n[11 * j + k];
  if (!SolveSpd(11, n, b, kPivotTol)) return false;
  const Mat3 m = {b[0], b[1], b[2], b[4], b[5], b[6], b[8], b[9], b[10]};
  if (!NearestRotation(m, rot)) return false;
  double scale = 0.0;  // mean singular value of M: trace(R^T M) / 3
  for (int k = 0; k < 9; ++k) scale += rot[k] * m[k];
  scale /= 3.0;
  if (!(scale > 0.0)) return false;
  t = {b[3] / scale, b[7] / scale, 1.0 / scale};
  return true;
}

// Plane homography of the points' best-fit plane (axes e1, e2, normal
// e3 = e1 x e2) with H33 = 1: H = s [r1 r2 t] in the plane frame.
bool PlaneStart(const Scene& sc, const Mat3& axes, Mat3& rot, Vec3& t) {
  double n[64] = {}, b[8] = {};
  for (size_t i = 0; i < sc.x.size(); ++i) {
    const Vec3& x = sc.x[i];
    const double p = x[0] * axes[0] + x[1] * axes[3] + x[2] * axes[6];
    const double q = x[0] * axes[1] + x[1] * axes[4] + x[2] * axes[7];
    for (int row = 0; row < 2; ++row) {
      const double m = row == 0 ? sc.u[i] : sc.v[i];
      double a[8] = {};
      a[3 * row] = p;
      a[3 * row + 1] = q;
      a[3 * row + 2] = 1.0;
      a[6] = -m * p;
      a[7] = -m * q;
      for (int j = 0; j < 8; ++j) {
        b[j] += a[j] * m;
        for (int k = 0; k <= j; ++k) n[8 * j + k] += a[j] * a[k];
      }
    }
  }
  for (int j = 0; j < 8; ++j)
    for (int k = 0; k < j; ++k) n[8 * k + j] = n[8 * j + k];
  if (!SolveSpd(8, n, b, kPivotTol)) return false;
  const Vec3 h1 = {b[0], b[3], b[6]}, h2 = {b[1], b[4], b[7]};
  const Vec3 h3 = {b[2], b[5], 1.0};
  const double n1 = std::sqrt(h1[0] * h1[0] + h1[1] * h1[1] + h1[2] * h1[2]);
  const double n2 = std::sqrt(h2[0] * h2[0] + h2[1] * h2[1] + h2[2] * h2[2]);
  const double scale = std::sqrt(n1 * n2);
  if (!(scale > 0.0)) return false;
  Vec3 r1, r2;
  for (int k = 0; k < 3; ++k) {
    r1[k] = h1[k] / scale;
    r2[k] = h2[k] / scale;
  }
  const Vec3 r3 = {r1[1] * r2[2] - r1[2] * r2[1],
                   r1[2] * r2[0] - r1[0] * r2[2],
                   r1[0] * r2[1] - r1[1] * r2[0]};
  const Mat3 rp = {
      r1[0], r2[0], r3[0], r1[1], r2[1], r3[1], r1[2], r2[2], r3[2]};
  Mat3 rp_rot;
  if (!NearestRotation(rp, rp_rot)) return false;
  // Object to plane frame is axes^T.
  const Mat3 axes_t = {axes[0],
                       axes[3],
                       axes[6],
                       axes[1],
                       axes[4],
                       axes[7],
                       axes[2],
                       axes[5],
                       axes[8]};
  rot = Mul(rp_rot, axes_t);
  for (int k = 0; k < 3; ++k) t[k] = h3[k] / scale;
  return true;
}

// Sum of squared normalised residuals at (rot, t); false when a point is on
// or behind the camera plane or the sum is not finite.
bool Cost(const Scene& sc, const Mat3& rot, const Vec3& t, double& cost) {
  cost = 0.0;
  for (size_t i = 0; i < sc.x.size(); ++i) {
    const Vec3 c = Apply(rot, sc.x[i]);
    const double z = c[2] + t[2];
    if (!(z > 0.0)) return false;
    const double du = (c[0] + t[0]) / z - sc.u[i];
    const double dv = (c[1] + t[1]) / z - sc.v[i];
    cost += du * du + dv * dv;
  }
  return std::isfinite(cost);
}

// Gauss-Newton on (rotation increment, t), halving a step that raises the
// cost. Returns an empty text on convergence, else the reason.
std::string Refine(const Scene& sc,
                   const ResectionOptions& opt,
                   Mat3& rot,
                   Vec3& t,
                   int& iterations) {
  double cost;
  if (!Cost(sc, rot, t, cost))
    return "the starting pose puts control points behind the camera";
  for (iterations = 0; iterations < opt.max_iter;) {
    double n[36] = {}, g[6] = {};
    for (size_t i = 0; i < sc.x.size(); ++i) {
      const Vec3 xr = Apply(rot, sc.x[i]);
      const double cx = xr[0] + t[0], cy = xr[1] + t[1], cz = xr[2] + t[2];
      const double iz = 1.0 / cz;
      const double pu = cx * iz, pv = cy * iz;
      // d(u, v)/dc, then dc/dw = -[xr]x for R <- exp([w]x) R, dc/dt = I.
      const double du[3] = {iz, 0.0, -pu * iz}, dv[3] = {0.0, iz, -pv * iz};
      double ju[6], jv[6];
      for (int k = 0; k < 2; ++k) {
        const double* d = k == 0 ? du : dv;
        double* j = k == 0 ? ju : jv;
        j[0] = xr[1] * d[2] - xr[2] * d[1];  // d^T (-[xr]x) = (xr x d)^T
        j[1] = xr[2] * d[0] - xr[0] * d[2];
        j[2] = xr[0] * d[1] - xr[1] * d[0];
        j[3] = d[0];
        j[4] = d[1];
        j[5] = d[2];
      }
      const double ru = pu - sc.u[i], rv = pv - sc.v[i];
      for (int a = 0; a < 6; ++a) {
        g[a] -= ju[a] * ru + jv[a] * rv;
        for (int b = 0; b <= a; ++b)
          n[6 * a + b] += ju[a] * ju[b] + jv[a] * jv[b];
      }
    }
    for (int a = 0; a < 6; ++a)
      for (int b = 0; b < a; ++b) n[6 * b + a] = n[6 * a + b];
    if (!SolveSpd(6, n, g, kPivotTol))
      return "the control points do not determine the pose (singular "
             "normal equations)";
    ++iterations;
    double step = 1.0;
    for (int halving = 0; halving < 30; ++halving, step *= 0.5) {
      const Vec3 w = {step * g[0], step * g[1], step * g[2]};
      const double angle = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
      // Rodrigues: exp([w]x).
      Mat3 e = {1, 0, 0, 0, 1, 0, 0, 0, 1};
      if (angle > 0.0) {
        const double s = std::sin(angle) / angle;
        const double c = (1.0 - std::cos(angle)) / (angle * angle);
        const Mat3 k = {0, -w[2], w[1], w[2], 0, -w[0], -w[1], w[0], 0};
        const Mat3 k2 = Mul(k, k);
        for (int q = 0; q < 9; ++q) e[q] += s * k[q] + c * k2[q];
      }
      const Mat3 rot_new = Mul(e, rot);
      const Vec3 t_new = {
          t[0] + step * g[3], t[1] + step * g[4], t[2] + step * g[5]};
      double cost_new;
      if (!Cost(sc, rot_new, t_new, cost_new)) continue;
      // Rounding may raise the cost by a hair at the minimum; accept that.
      if (cost_new <= cost * (1.0 + 1e-12) + 1e-300) {
        rot = rot_new;
        t = t_new;
        cost = cost_new;
        break;
      }
    }
    double largest = 0.0;
    for (double d : g) largest = std::max(largest, std::fabs(d));
    if (largest <= opt.step_tol) return {};
    if (!(step > 1e-9))
      return "the collinearity iteration cannot reduce the residuals";
  }
  return "the collinearity iteration did not converge in " +
         std::to_string(opt.max_iter) + " steps";
}

}  // namespace

ResectionResult Resect(const CArray<CXYZ, CXYZ&>& obj,
                       const CArray<CXYZ, CXYZ&>& img,
                       double focus,
                       const CDist& dist,
                       const ResectionOptions& options) {
  ResectionResult r;
  if (!(focus > 0.0) || !std::isfinite(focus)) {
    r.message = "the principal distance is not a positive number";
    return r;
  }
  std::map<std::string, INT_PTR> by_name;
  for (INT_PTR i = 0; i < img.GetSize(); ++i)
    by_name.emplace(img[i].m_strName.GetString(), i);
  for (INT_PTR i = 0; i < obj.GetSize(); ++i) {
    const auto it = by_name.find(obj[i].m_strName.GetString());
    if (it == by_name.end()) continue;
    CXYZ o = obj[i];
    CXYZ p = img[it->second];
    double dx = 0.0, dy = 0.0;
    dist.CalDist(p.m_x, p.m_y, dx, dy);
    p.SetXYZ(p.m_x + dx, p.m_y + dy, 0.0);
    if (!std::isfinite(o.m_x) || !std::isfinite(o.m_y) ||
        !std::isfinite(o.m_z) || !std::isfinite(p.m_x) ||
        !std::isfinite(p.m_y)) {
      r.message = "control point " + std::string(o.m_strName.GetString()) +
                  " has a coordinate that is not a finite number";
      return r;
    }
    r.obj_points.Add(o);
    r.img_points.Add(p);
  }
  const INT_PTR n = r.obj_points.GetSize();
  const auto count = static_cast<double>(n);
  if (n < 4) {
    r.message = std::to_string(n) +
                " control point(s) pair by name; a resection needs 4";
    return r;
  }

  Scene sc;
  for (INT_PTR i = 0; i < n; ++i) {
    const CXYZ& o = r.obj_points[i];
    sc.centroid[0] += o.m_x / count;
    sc.centroid[1] += o.m_y / count;
    sc.centroid[2] += o.m_z / count;
  }
  Mat3 cov{};
  for (INT_PTR i = 0; i < n; ++i) {
    const CXYZ& o = r.obj_points[i];
    const Vec3 x = {
        o.m_x - sc.centroid[0], o.m_y - sc.centroid[1], o.m_z - sc.centroid[2]};
    sc.x.push_back(x);
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) cov[3 * a + b] += x[a] * x[b];
    sc.u.push_back(r.img_points[i].m_x / focus);
    sc.v.push_back(-r.img_points[i].m_y / focus);
  }
  sc.spread = std::sqrt((cov[0] + cov[4] + cov[8]) / count);
  if (!(sc.spread > 0.0)) {
    r.message = "the control points all lie at one place";
    return r;
  }
  for (Vec3& x : sc.x)
    for (double& c : x) c /= sc.spread;
  Mat3 axes;
  Vec3 extent;
  Eigen3(cov, axes, extent);
  if (!(extent[1] > 1e-12 * extent[2])) {
    r.message = "the control points lie on one line";
    return r;
  }
  // Right-handed plane frame: e3 = e1 x e2, e1, e2 the two largest extents.
  Mat3 plane_axes;
  for (int k = 0; k < 3; ++k) {
    plane_axes[3 * k] = axes[3 * k + 2];
    plane_axes[3 * k + 1] = axes[3 * k + 1];
  }
  plane_axes[2] = plane_axes[3] * plane_axes[7] - plane_axes[6] * plane_axes[4];
  plane_axes[5] = plane_axes[6] * plane_axes[1] - plane_axes[0] * plane_axes[7];
  plane_axes[8] = plane_axes[0] * plane_axes[4] - plane_axes[3] * plane_axes[1];

  const bool spatial = n >= 6 && std::sqrt(extent[0] / extent[2]) > kFlatRatio;
  const ResectionStart order[2] = {
      spatial ? ResectionStart::kDlt : ResectionStart::kPlane,
      spatial ? ResectionStart::kPlane : ResectionStart::kDlt};
  Mat3 rot = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  Vec3 t = {0, 0, 1};
  std::string reason;
  for (ResectionStart start : order) {
    if (start == ResectionStart::kDlt && n < 6) continue;
    Mat3 rot_try;
    Vec3 t_try;
    const bool found = start == ResectionStart::kDlt
                           ? DltStart(sc, rot_try, t_try)
                           : PlaneStart(sc, plane_axes, rot_try, t_try);
    if (!found) {
      if (reason.empty())
        reason =
            "no starting pose: the control points' image and object "
            "coordinates do not determine a projection";
      continue;
    }
    int iterations = 0;
    const std::string why = Refine(sc, options, rot_try, t_try, iterations);
    r.iterations += iterations;
    rot = rot_try;
    t = t_try;
    r.start = start;
    reason = why;
    if (why.empty()) {
      r.converged = true;
      break;
    }
  }
  r.message = reason;

  // Back to the caller's frames: C = g - s R^T t, photo rotation
  // diag(1, -1, -1) R.
  for (int k = 0; k < 3; ++k) {
    const double sign = k == 0 ? 1.0 : -1.0;
    for (int j = 0; j < 3; ++j) r.rot.m_r[3 * k + j] = sign * rot[3 * k + j];
  }
  double c[3];
  for (int j = 0; j < 3; ++j)
    c[j] = sc.centroid[j] -
           sc.spread * (rot[j] * t[0] + rot[3 + j] * t[1] + rot[6 + j] * t[2]);
  r.centre.SetXYZ(c[0], c[1], c[2]);
  double height = 0.0;  // of the centre along the plane's normal axes[:, 0]
  for (int j = 0; j < 3; ++j) height += axes[3 * j] * (c[j] - sc.centroid[j]);
  r.below_plane = axes[6] < 0.0 ? height > 0.0 : height < 0.0;

  double sum_x = 0.0, sum_y = 0.0;
  r.residuals.SetSize(n);
  for (INT_PTR i = 0; i < n; ++i) {
    const CXYZ d = r.obj_points[i] - r.centre;
    double rx, ry, rz;
    r.rot.Rotate(d.m_x, d.m_y, d.m_z, rx, ry, rz);
    CXYZ v = r.img_points[i];
    v.SetXYZ(-focus * rx / rz - v.m_x, -focus * ry / rz - v.m_y, 0.0);
    sum_x += v.m_x * v.m_x;
    sum_y += v.m_y * v.m_y;
    r.residuals[i] = v;
  }
  r.rms.SetXYZ(std::sqrt(sum_x / count), std::sqrt(sum_y / count), 0.0);
  if (r.converged && !(std::isfinite(r.rms.m_x) && std::isfinite(r.rms.m_y))) {
    r.converged = false;
    r.message = "the resection came out with values that are not finite";
  }
  return r;
}

int SetSinOri(ResectionResult& r, double focus, CSinOri& s) {
  if (!r.converged) return 0;
  if (!s.Create(r.obj_points, r.img_points, focus)) return 0;
  s.m_Center = r.centre;
  s.m_Rot = r.rot;
  s.m_Wpk.Init();
  if (!s.m_Rot.CalAngle(s.m_RotSystem, s.m_Wpk)) return 0;
  s.m_Residuals.Copy(r.residuals);
  s.m_Rms = r.rms;
  return 1;
}

}  // namespace collinear
