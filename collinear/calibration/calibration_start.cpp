#include <collinear/calibration/calibration_start.h>

#include <cmath>

#include <collinear/leastsq/spd_solve.h>

namespace collinear {

namespace {

// Centre and scale that take the points to a mean distance of sqrt(2) from
// the origin: normalised = (p - centre) * scale. False for coincident points.
bool Normalisation(const double* p, int n, double* centre, double& scale) {
  centre[0] = centre[1] = 0.0;
  for (int i = 0; i < n; ++i) {
    centre[0] += p[2 * i] / n;
    centre[1] += p[2 * i + 1] / n;
  }
  double mean = 0.0;
  for (int i = 0; i < n; ++i)
    mean += std::hypot(p[2 * i] - centre[0], p[2 * i + 1] - centre[1]) / n;
  if (!(mean > 0.0) || !std::isfinite(mean)) return false;
  scale = std::sqrt(2.0) / mean;
  return true;
}

// 3 x 3 row-major helpers.
void Mul3(const double* a, const double* b, double* out) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      out[r * 3 + c] =
          a[r * 3] * b[c] + a[r * 3 + 1] * b[3 + c] + a[r * 3 + 2] * b[6 + c];
}

double Det3(const double* m) {
  return m[0] * (m[4] * m[8] - m[5] * m[7]) -
         m[1] * (m[3] * m[8] - m[5] * m[6]) +
         m[2] * (m[3] * m[7] - m[4] * m[6]);
}

// Transposed inverse (the cofactor matrix over the determinant).
bool InverseTranspose3(const double* m, double* out) {
  const double det = Det3(m);
  if (!(std::fabs(det) > 0.0)) return false;
  out[0] = (m[4] * m[8] - m[5] * m[7]) / det;
  out[1] = -(m[3] * m[8] - m[5] * m[6]) / det;
  out[2] = (m[3] * m[7] - m[4] * m[6]) / det;
  out[3] = -(m[1] * m[8] - m[2] * m[7]) / det;
  out[4] = (m[0] * m[8] - m[2] * m[6]) / det;
  out[5] = -(m[0] * m[7] - m[1] * m[6]) / det;
  out[6] = (m[1] * m[5] - m[2] * m[4]) / det;
  out[7] = -(m[0] * m[5] - m[2] * m[3]) / det;
  out[8] = (m[0] * m[4] - m[1] * m[3]) / det;
  return true;
}

// h_i^T B h_j for columns i, j of h and B = [1 0 b13; 0 1 b23; b13 b23 b33]:
// the constant part and the coefficients of b13, b23, b33.
void Constraint(const double* h, int i, int j, double* row) {
  const double a1 = h[i], a2 = h[3 + i], a3 = h[6 + i];
  const double c1 = h[j], c2 = h[3 + j], c3 = h[6 + j];
  row[0] = a1 * c1 + a2 * c2;
  row[1] = a1 * c3 + a3 * c1;
  row[2] = a2 * c3 + a3 * c2;
  row[3] = a3 * c3;
}

}  // namespace

Homography FitHomography(const double* plane, const double* uv, int n) {
  Homography out;
  double cp[2], cu[2], sp = 0.0, su = 0.0;
  if (n < 4 || !Normalisation(plane, n, cp, sp) ||
      !Normalisation(uv, n, cu, su))
    return out;
  double a[64] = {0}, b[8] = {0};
  for (int i = 0; i < n; ++i) {
    const double x = (plane[2 * i] - cp[0]) * sp;
    const double y = (plane[2 * i + 1] - cp[1]) * sp;
    const double u = (uv[2 * i] - cu[0]) * su;
    const double v = (uv[2 * i + 1] - cu[1]) * su;
    const double ru[8] = {x, y, 1.0, 0.0, 0.0, 0.0, -x * u, -y * u};
    const double rv[8] = {0.0, 0.0, 0.0, x, y, 1.0, -x * v, -y * v};
    for (int r = 0; r < 8; ++r) {
      for (int c = 0; c < 8; ++c) a[r * 8 + c] += ru[r] * ru[c] + rv[r] * rv[c];
      b[r] += ru[r] * u + rv[r] * v;
    }
  }
  if (!SolveSpd(8, a, b)) return out;
  const double hn[9] = {b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], 1.0};
  // H = Tu^-1 Hn Tp.
  const double tp[9] = {sp, 0, -sp * cp[0], 0, sp, -sp * cp[1], 0, 0, 1};
  const double tu_inv[9] = {1 / su, 0, cu[0], 0, 1 / su, cu[1], 0, 0, 1};
  double t[9], h[9];
  Mul3(hn, tp, t);
  Mul3(tu_inv, t, h);
  if (!(std::fabs(h[8]) > 0.0)) return out;
  for (int k = 0; k < 9; ++k) {
    out.h[k] = h[k] / h[8];
    if (!std::isfinite(out.h[k])) return out;
  }
  out.valid = true;
  return out;
}

InteriorStart InteriorFromHomographies(
    const std::vector<Homography>& homographies,
    bool fix_principal_point,
    double x0,
    double y0) {
  InteriorStart out;
  // Pixels relative to (x0, y0), scaled by s, keep the equations balanced.
  double s = 0.0;
  for (const Homography& hg : homographies)
    if (hg.valid) s = std::max(s, std::fabs(hg.h[2]) + std::fabs(hg.h[5]));
  if (!(s > 0.0)) s = 1.0;
  const double shift[9] = {1 / s, 0, -x0 / s, 0, 1 / s, -y0 / s, 0, 0, 1};
  double a[9] = {0}, b[3] = {0};
  int used = 0;
  for (const Homography& hg : homographies) {
    if (!hg.valid) continue;
    double h[9];
    Mul3(shift, hg.h, h);
    double norm = 0.0;
    for (double e : h) norm += e * e;
    norm = std::sqrt(norm);
    for (double& e : h) e /= norm;
    double r12[4], r11[4], r22[4];
    Constraint(h, 0, 1, r12);
    Constraint(h, 0, 0, r11);
    Constraint(h, 1, 1, r22);
    double rows[2][4];
    for (int k = 0; k < 4; ++k) {
      rows[0][k] = r12[k];
      rows[1][k] = r11[k] - r22[k];
    }
    for (const auto& row : rows) {
      // Unknowns (b13, b23, b33), or b33 alone with b13 = b23 = 0.
      if (fix_principal_point) {
        a[0] += row[3] * row[3];
        b[0] -= row[3] * row[0];
      } else {
        for (int r = 0; r < 3; ++r) {
          for (int c = 0; c < 3; ++c) a[r * 3 + c] += row[r + 1] * row[c + 1];
          b[r] -= row[r + 1] * row[0];
        }
      }
    }
    ++used;
  }
  const int unknowns = fix_principal_point ? 1 : 3;
  if (used < (fix_principal_point ? 1 : 2) || !SolveSpd(unknowns, a, b))
    return out;
  const double b13 = fix_principal_point ? 0.0 : b[0];
  const double b23 = fix_principal_point ? 0.0 : b[1];
  const double b33 = fix_principal_point ? b[0] : b[2];
  const double c2 = b33 - b13 * b13 - b23 * b23;
  if (!(c2 > 0.0) || !std::isfinite(c2)) return out;
  out.c = std::sqrt(c2) * s;
  out.x0 = x0 - b13 * s;
  out.y0 = y0 - b23 * s;
  out.valid = true;
  return out;
}

bool PoseFromHomography(const Homography& homography,
                        const InteriorStart& interior,
                        CRot& rot,
                        CXYZ& centre) {
  if (!homography.valid || !(interior.c > 0.0)) return false;
  // K^-1 H = lambda [r1 r2 t] in camera axes with y down and z forward.
  const double c = interior.c;
  const double k_inv[9] = {
      1 / c, 0, -interior.x0 / c, 0, 1 / c, -interior.y0 / c, 0, 0, 1};
  double m[9];
  Mul3(k_inv, homography.h, m);
  const double n1 = std::sqrt(m[0] * m[0] + m[3] * m[3] + m[6] * m[6]);
  const double n2 = std::sqrt(m[1] * m[1] + m[4] * m[4] + m[7] * m[7]);
  if (!(n1 > 0.0) || !(n2 > 0.0)) return false;
  double lambda = 2.0 / (n1 + n2);
  if (m[8] < 0.0) lambda = -lambda;  // the plane in front: t_z > 0
  const double r1[3] = {m[0] * lambda, m[3] * lambda, m[6] * lambda};
  const double r2[3] = {m[1] * lambda, m[4] * lambda, m[7] * lambda};
  const double t[3] = {m[2] * lambda, m[5] * lambda, m[8] * lambda};
  const double r3[3] = {r1[1] * r2[2] - r1[2] * r2[1],
                        r1[2] * r2[0] - r1[0] * r2[2],
                        r1[0] * r2[1] - r1[1] * r2[0]};
  double r[9] = {r1[0], r2[0], r3[0], r1[1], r2[1], r3[1], r1[2], r2[2], r3[2]};
  // Nearest rotation (polar factor) by the averaging iteration R = (R +
  // R^-T) / 2, which converges quadratically from a near-orthogonal start.
  for (int it = 0; it < 30; ++it) {
    double inv_t[9];
    if (!InverseTranspose3(r, inv_t)) return false;
    double change = 0.0;
    for (int k = 0; k < 9; ++k) {
      const double next = 0.5 * (r[k] + inv_t[k]);
      change = std::max(change, std::fabs(next - r[k]));
      r[k] = next;
    }
    if (change < 1e-15) break;
  }
  if (!(Det3(r) > 0.0)) return false;
  // Library axes: y up, z backwards, i.e. rows 2 and 3 negated.
  for (int k = 0; k < 9; ++k) rot.m_r[k] = k < 3 ? r[k] : -r[k];
  // Centre -R^T t in the plane's axes.
  centre.m_x = -(r[0] * t[0] + r[3] * t[1] + r[6] * t[2]);
  centre.m_y = -(r[1] * t[0] + r[4] * t[1] + r[7] * t[2]);
  centre.m_z = -(r[2] * t[0] + r[5] * t[1] + r[8] * t[2]);
  return std::isfinite(centre.m_x) && std::isfinite(centre.m_y) &&
         std::isfinite(centre.m_z);
}

}  // namespace collinear
