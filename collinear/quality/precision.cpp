#include <collinear/quality/precision.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include <collinear/distortion/dist_formula.h>
#include <collinear/leastsq/leastsq.h>
#include <collinear/orientation/dlt.h>
#include <collinear/primitives/constants.h>
#include <collinear/primitives/rot.h>

namespace collinear {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kSpatialCount = 11;    // L1..L11
constexpr int kPlaneCount = 8;       // b1..b8
constexpr int kDltCameraCount = 10;  // x0 y0 cx cy X Y Z omega phi kappa
// Off-diagonal elements below this fraction of the geometric mean of their
// diagonal elements count as zero in the Jacobi rotations.
constexpr double kJacobiTol = 1e-15;
constexpr int kJacobiMaxSweeps = 60;
// Relative central-difference step: of the distortion Jacobian, relative to
// the image radius plus c (the correction varies on that scale: truncation
// error about 1e-12, rounding error about 1e-10), and of the camera's
// closed forms, relative to each DLT coefficient.
constexpr double kRelStep = 1e-6;
// An iterative DLT solution counts as centred with equal principal distances
// when its principal point and cx - cy are within this fraction of c.
constexpr double kConditionTol = 1e-3;

// Linearised observation equations A x ~ l, l observed minus computed.
struct Design {
  int n = 0;
  std::vector<double> a;  // rows of n coefficients
  std::vector<double> l;
  int Rows() const { return static_cast<int>(l.size()); }
  void AddRow(const double* coef, double misclosure) {
    a.insert(a.end(), coef, coef + n);
    l.push_back(misclosure);
  }
};

// The cofactor matrix Q = N^-1 of the unknowns (n x n) and the adjustment's
// figures; ok false for a singular or non-finite system.
struct Solution {
  bool ok = false;
  int n = 0;
  std::vector<double> q;
  double sigma0 = kUndefined;
  double condition = kInf;
};

// Solves the design with CLeastSq. Every column is scaled to unit length
// first, so the normal matrix has a unit diagonal; Q is scaled back.
Solution Adjust(const Design& d, PrecisionReport& report) {
  const int m = d.Rows(), n = d.n;
  report.observations = m;
  report.unknowns = n;
  report.redundancy = m - n;
  Solution s;
  s.n = n;
  report.sigma0 = kUndefined;
  report.sigma0_at_solution = kUndefined;
  report.condition_number = kInf;
  if (m == 0 || n == 0) return s;
  for (double v : d.a)
    if (!std::isfinite(v)) {
      report.condition_number = kNaN;
      return s;
    }
  if (m > n) {
    double sum2 = 0.0;
    for (double v : d.l) sum2 += v * v;
    report.sigma0_at_solution = std::sqrt(sum2 / (m - n));
  }
  std::vector<double> scale(n, 0.0);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) scale[j] += d.a[i * n + j] * d.a[i * n + j];
  for (double& v : scale) {
    v = std::sqrt(v);
    if (!(v > 0.0)) return s;  // an unknown no equation sees
  }
  std::vector<double> normal(n * n, 0.0);
  for (int i = 0; i < m; ++i) {
    const double* row = &d.a[i * n];
    for (int j = 0; j < n; ++j)
      for (int k = 0; k < n; ++k)
        normal[j * n + k] += row[j] / scale[j] * (row[k] / scale[k]);
  }
  const std::vector<double> eig = SymmetricEigenvalues(normal, n);
  s.condition = eig.front() > 0.0 ? eig.back() / eig.front() : kInf;
  report.condition_number = s.condition;

  CLeastSq lsq(m, n);
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) lsq.SetObeq(j, d.a[i * n + j] / scale[j]);
    lsq.SetObeq(n, d.l[i]);
  }
  if (!lsq.Solve()) return s;
  const double var0 = lsq.m_dSigma;
  // Solve leaves sigma0^2 N^-1; the kept factors give N^-1 alone again, so
  // that correlations exist even for a perfect fit.
  if (!lsq.CalNoeqInverse()) return s;
  s.q.resize(n * n);
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < n; ++k)
      s.q[j * n + k] = lsq.GetCovar(j, k) / (scale[j] * scale[k]);
  s.sigma0 = m > n ? std::sqrt(var0) : kUndefined;
  report.sigma0 = s.sigma0;
  s.ok = true;
  return s;
}

// G Q G^T for G of p rows by n columns.
std::vector<double> Propagate(const std::vector<double>& g,
                              int p,
                              const std::vector<double>& q,
                              int n) {
  std::vector<double> gq(p * n, 0.0), out(p * p, 0.0);
  for (int i = 0; i < p; ++i)
    for (int k = 0; k < n; ++k)
      for (int j = 0; j < n; ++j) gq[i * n + j] += g[i * n + k] * q[k * n + j];
  for (int i = 0; i < p; ++i)
    for (int k = 0; k < p; ++k)
      for (int j = 0; j < n; ++j)
        out[i * p + k] += gq[i * n + j] * g[k * n + j];
  return out;
}

// Standard deviations and correlations of report.params from the solution,
// through g (params x unknowns; empty: the unknowns are the params), and of
// report.derived from their gradients by params.
void Finish(PrecisionReport& report,
            const Solution& sol,
            const std::vector<double>& g,
            const std::vector<std::vector<double>>& derived_grad) {
  const int p = static_cast<int>(report.params.size());
  report.correlation.assign(p * p, kUndefined);
  for (Parameter& par : report.params) par.sigma = kUndefined;
  for (Parameter& par : report.derived) par.sigma = kUndefined;
  if (!sol.ok) return;
  const std::vector<double> q =
      g.empty() ? sol.q : Propagate(g, p, sol.q, sol.n);
  // Without redundancy sigma0, and so every sigma, stays undetermined; the
  // correlations do not depend on it.
  const bool sigmas = !IsUndefined(sol.sigma0);
  for (int i = 0; i < p; ++i) {
    if (sigmas) report.params[i].sigma = sol.sigma0 * std::sqrt(q[i * p + i]);
    for (int j = 0; j < p; ++j)
      report.correlation[i * p + j] =
          q[i * p + j] / std::sqrt(q[i * p + i] * q[j * p + j]);
  }
  for (size_t k = 0; k < report.derived.size(); ++k) {
    const std::vector<double>& d = derived_grad[k];
    double var = 0.0;
    for (int i = 0; i < p; ++i)
      for (int j = 0; j < p; ++j) var += d[i] * q[i * p + j] * d[j];
    if (sigmas) report.derived[k].sigma = sol.sigma0 * std::sqrt(var);
  }
}

// --- Collinearity equations ------------------------------------------------

// x = x0 - cx (r1.d) / (r3.d), y = y0 - cy (r2.d) / (r3.d), d = X - centre,
// r = rot d; d_rot holds d rot / d omega, phi, kappa, row by row.
struct Camera {
  CXYZ centre;
  CRot rot;
  double d_rot[3][9] = {};
  double x0 = 0.0, y0 = 0.0, cx = 1.0, cy = 1.0;
};

// Two rows per point pair; unknowns X, Y, Z, omega, phi, kappa and, with
// free_c, one principal distance c shared by cx and cy.
Design CollinearityDesign(const Camera& cam,
                          const CArray<CXYZ, CXYZ&>& obj,
                          const CArray<CXYZ, CXYZ&>& img,
                          bool free_c) {
  Design d;
  d.n = free_c ? 7 : 6;
  const double* r = cam.rot.m_r;
  for (INT_PTR i = 0; i < obj.GetSize(); ++i) {
    const double dx[3] = {obj[i].m_x - cam.centre.m_x,
                          obj[i].m_y - cam.centre.m_y,
                          obj[i].m_z - cam.centre.m_z};
    double rd[3], drd[3][3];  // r = R d; dr[k] = dR_k d
    for (int row = 0; row < 3; ++row) {
      rd[row] =
          r[3 * row] * dx[0] + r[3 * row + 1] * dx[1] + r[3 * row + 2] * dx[2];
      for (int k = 0; k < 3; ++k) {
        const double* dr = cam.d_rot[k];
        drd[k][row] = dr[3 * row] * dx[0] + dr[3 * row + 1] * dx[1] +
                      dr[3 * row + 2] * dx[2];
      }
    }
    const double rz = rd[2], rz2 = rz * rz;
    const double measured[2] = {img[i].m_x, img[i].m_y};
    for (int axis = 0; axis < 2; ++axis) {
      const double f = axis == 0 ? cam.cx : cam.cy;
      const double p0 = axis == 0 ? cam.x0 : cam.y0;
      const double ra = rd[axis];
      double coef[7];
      // d r / d centre_j = -R(:, j).
      for (int j = 0; j < 3; ++j)
        coef[j] = -f * (-r[3 * axis + j] * rz + ra * r[6 + j]) / rz2;
      for (int k = 0; k < 3; ++k)
        coef[3 + k] = -f * (drd[k][axis] * rz - ra * drd[k][2]) / rz2;
      coef[6] = -ra / rz;
      d.AddRow(coef, measured[axis] - (p0 - f * ra / rz));
    }
  }
  return d;
}

void AddPose(PrecisionReport& r, const CXYZ& c, const CWPK& a) {
  r.params.push_back({"X", ParamKind::kObjectLength, c.m_x, 0.0});
  r.params.push_back({"Y", ParamKind::kObjectLength, c.m_y, 0.0});
  r.params.push_back({"Z", ParamKind::kObjectLength, c.m_z, 0.0});
  r.params.push_back({"omega", ParamKind::kAngle, a.m_w, 0.0});
  r.params.push_back({"phi", ParamKind::kAngle, a.m_p, 0.0});
  r.params.push_back({"kappa", ParamKind::kAngle, a.m_k, 0.0});
}

bool PairsMatch(const CArray<CXYZ, CXYZ&>& a,
                const CArray<CXYZ, CXYZ&>& b,
                int min_pairs) {
  return a.GetSize() >= min_pairs && a.GetSize() == b.GetSize();
}

// --- DLT camera --------------------------------------------------------------

// x0, y0, cx, cy, X, Y, Z, omega, phi, kappa of the camera that CDlt derives
// from the 11 coefficients l, the centroid of the control points choosing
// the rotation's sign; false when there is none.
bool DltCameraValues(const double* l, const CXYZ& centroid, double* out) {
  const DltCamera cam = CameraFromDlt(l, centroid);
  if (!cam.valid) return false;
  const double v[kDltCameraCount] = {cam.x0,
                                     cam.y0,
                                     cam.cx,
                                     cam.cy,
                                     cam.centre.m_x,
                                     cam.centre.m_y,
                                     cam.centre.m_z,
                                     cam.wpk.m_w,
                                     cam.wpk.m_p,
                                     cam.wpk.m_k};
  std::copy(v, v + kDltCameraCount, out);
  return true;
}

CXYZ Centroid(const CArray<CXYZ, CXYZ&>& pts) {
  double sx = 0.0, sy = 0.0, sz = 0.0;
  const INT_PTR n = pts.GetSize();
  for (INT_PTR i = 0; i < n; ++i) {
    sx += pts[i].m_x;
    sy += pts[i].m_y;
    sz += pts[i].m_z;
  }
  return CXYZ(sx / n, sy / n, sz / n);
}

// Reprojection equations of the spatial DLT in L1..L11 and the distortion
// parameters: the measured point m plus its correction D(m - pp) about the
// principal point (held at the solution's) is the projection. The
// equations of a point are multiplied by (I + dD/dm)^-1, so that their
// misclosures are errors of the measured point (where the map folds over
// they are left as they are).
Design SpatialDltDesign(const CDlt& dlt) {
  const CDist& dist = dlt.m_Dist;
  const int n_dist = dist.m_Model == DIST_NONE ? 0 : dist.m_NumPara;
  Design d;
  d.n = kSpatialCount + n_dist;
  const double* l = dlt.m_Dlt.GetData();
  const double x0 = dlt.m_PrincipalPoint.m_x, y0 = dlt.m_PrincipalPoint.m_y;
  const int n = d.n;
  std::vector<double> rows(2 * n);
  // Parameters beyond those of the model (m_NumPara may count more) have
  // zero columns.
  std::vector<double> col_x(std::max(n_dist, kMaxDistPara), 0.0);
  std::vector<double> col_y(col_x.size(), 0.0);
  for (INT_PTR i = 0; i < dlt.m_ObjPoints.GetSize(); ++i) {
    const CXYZ& o = dlt.m_ObjPoints[i];
    const CXYZ& img = dlt.m_ImgPoints[i];
    const double xyz[3] = {o.m_x, o.m_y, o.m_z};
    const double num[2] = {
        l[0] * xyz[0] + l[1] * xyz[1] + l[2] * xyz[2] + l[3],
        l[4] * xyz[0] + l[5] * xyz[1] + l[6] * xyz[2] + l[7]};
    const double w = l[8] * xyz[0] + l[9] * xyz[1] + l[10] * xyz[2] + 1.0;
    const double xb = img.m_x - x0, yb = img.m_y - y0;
    double corr[2] = {0.0, 0.0};
    dist.CalDist(xb, yb, corr[0], corr[1]);
    WithDistFormula(dist.m_Model, dist.m_Para, [&](const auto& f) {
      f.ParamDerivatives(xb, yb, col_x.data(), col_y.data());
    });
    const double measured[2] = {img.m_x, img.m_y};
    double misclosure[2];
    std::fill(rows.begin(), rows.end(), 0.0);
    for (int axis = 0; axis < 2; ++axis) {
      double* coef = &rows[axis * n];
      for (int j = 0; j < 3; ++j) {
        coef[4 * axis + j] = xyz[j] / w;
        coef[8 + j] = -num[axis] * xyz[j] / (w * w);
      }
      coef[4 * axis + 3] = 1.0 / w;
      for (int k = 0; k < n_dist; ++k)
        coef[kSpatialCount + k] = -(axis == 0 ? col_x[k] : col_y[k]);
      misclosure[axis] = measured[axis] - (num[axis] / w - corr[axis]);
    }
    if (n_dist > 0) {
      // Jacobian of m -> m + D(m - pp) by central differences.
      const double h =
          kRelStep * (std::hypot(xb, yb) + std::fabs(dlt.m_FocusMean)) + 1e-300;
      double px[2], mx[2], py[2], my[2];
      dist.CalDist(xb + h, yb, px[0], px[1]);
      dist.CalDist(xb - h, yb, mx[0], mx[1]);
      dist.CalDist(xb, yb + h, py[0], py[1]);
      dist.CalDist(xb, yb - h, my[0], my[1]);
      const double j00 = 1.0 + (px[0] - mx[0]) / (2.0 * h);
      const double j10 = (px[1] - mx[1]) / (2.0 * h);
      const double j01 = (py[0] - my[0]) / (2.0 * h);
      const double j11 = 1.0 + (py[1] - my[1]) / (2.0 * h);
      const double det = j00 * j11 - j01 * j10;
      if (det > 0.0) {
        const double inv[2][2] = {{j11 / det, -j01 / det},
                                  {-j10 / det, j00 / det}};
        std::vector<double> t(2 * n);
        for (int r = 0; r < 2; ++r)
          for (int c = 0; c < n; ++c)
            t[r * n + c] = inv[r][0] * rows[c] + inv[r][1] * rows[n + c];
        rows.swap(t);
        const double m0 = misclosure[0], m1 = misclosure[1];
        misclosure[0] = inv[0][0] * m0 + inv[0][1] * m1;
        misclosure[1] = inv[1][0] * m0 + inv[1][1] * m1;
      }
    }
    d.AddRow(&rows[0], misclosure[0]);
    d.AddRow(&rows[n], misclosure[1]);
  }
  return d;
}

PrecisionReport SpatialDltPrecision(const CDlt& dlt) {
  PrecisionReport r;
  r.valid = true;
  const DIST_MODEL model = dlt.m_Dist.m_Model;
  const std::vector<std::string> dist_names = DistortionParameterNames(model);
  const int n_dist = static_cast<int>(dist_names.size());
  r.model = n_dist > 0 ? "reprojection equations in the 11 DLT coefficients "
                         "and the distortion parameters, carried to the camera"
                       : "reprojection equations in the 11 DLT coefficients, "
                         "carried to the camera";
  const Design d = SpatialDltDesign(dlt);
  const Solution sol = Adjust(d, r);
  const char* cam_names[kDltCameraCount] = {
      "x0", "y0", "cx", "cy", "X", "Y", "Z", "omega", "phi", "kappa"};
  const double cam_values[kDltCameraCount] = {dlt.m_PrincipalPoint.m_x,
                                              dlt.m_PrincipalPoint.m_y,
                                              dlt.m_FocusX,
                                              dlt.m_FocusY,
                                              dlt.m_Center.m_x,
                                              dlt.m_Center.m_y,
                                              dlt.m_Center.m_z,
                                              dlt.m_Wpk.m_w,
                                              dlt.m_Wpk.m_p,
                                              dlt.m_Wpk.m_k};
  for (int k = 0; k < kDltCameraCount; ++k) {
    const ParamKind kind = k < 4   ? ParamKind::kImageLength
                           : k < 7 ? ParamKind::kObjectLength
                                   : ParamKind::kAngle;
    r.params.push_back({cam_names[k], kind, cam_values[k], 0.0});
  }
  for (int k = 0; k < n_dist; ++k)
    r.params.push_back(
        {dist_names[k], ParamKind::kDistortion, dlt.m_Dist.m_Para[k], 0.0});
  r.derived.push_back({"c", ParamKind::kImageLength, dlt.m_FocusMean, 0.0});
  const int p = kDltCameraCount + n_dist, n = d.n;

  // Camera rows by central differences of the solver's own derivation (the
  // centre's below); distortion rows are the identity.
  std::vector<double> g(p * n, 0.0);
  const CXYZ centroid = Centroid(dlt.m_ObjPoints);
  bool derivable = sol.ok;
  for (int j = 0; derivable && j < kSpatialCount; ++j) {
    double lp[kSpatialCount], lm[kSpatialCount];
    std::copy(dlt.m_Dlt.GetData(), dlt.m_Dlt.GetData() + kSpatialCount, lp);
    std::copy(lp, lp + kSpatialCount, lm);
    double h = kRelStep * std::fabs(lp[j]);
    if (!(h > 0.0)) h = kRelStep * std::sqrt(sol.q[j * n + j]);
    lp[j] += h;
    lm[j] -= h;
    double cp[kDltCameraCount], cm[kDltCameraCount];
    if (!DltCameraValues(lp, centroid, cp) ||
        !DltCameraValues(lm, centroid, cm)) {
      derivable = false;
      break;
    }
    for (int k = 0; k < kDltCameraCount; ++k) {
      double diff = cp[k] - cm[k];
      if (k >= 7) diff = std::remainder(diff, 2.0 * kPi);  // across +-pi
      g[k * n + j] = diff / (2.0 * h);
    }
  }
  // The centre by its exact derivatives: CDlt solves it by normal
  // equations, whose rounding (up to 5e-9 relative on the examples) would
  // swamp a difference quotient.
  double dc[3][kSpatialCount];
  derivable =
      derivable && DltCentreDerivatives(dlt.m_Dlt.GetData(), dlt.m_Center, dc);
  for (int i = 0; derivable && i < 3; ++i)
    for (int j = 0; j < kSpatialCount; ++j) g[(4 + i) * n + j] = dc[i][j];
  for (int k = 0; k < n_dist; ++k)
    g[(kDltCameraCount + k) * n + kSpatialCount + k] = 1.0;
  std::vector<double> grad_c(p, 0.0);
  grad_c[2] = grad_c[3] = 0.5;
  Solution used = sol;
  used.ok = derivable;
  Finish(r, used, g, {grad_c});
  return r;
}

// Pose (and with free_c the principal distance) of a DLT camera from the
// collinearity equations at the solution.
PrecisionReport CollinearDltPrecision(const CDlt& dlt, bool free_c) {
  PrecisionReport r;
  r.valid = true;
  r.model = free_c
                ? "collinearity equations: centre, three angles (ROT_KPW) and "
                  "one principal distance, principal point fixed"
                : "collinearity equations: centre and three angles (ROT_KPW), "
                  "principal distance and principal point fixed";
  Camera cam;
  cam.centre = dlt.m_Center;
  cam.rot = dlt.m_Rot;
  RotationDerivatives(ROT_KPW, dlt.m_Wpk, cam.d_rot);
  cam.x0 = dlt.m_PrincipalPoint.m_x;
  cam.y0 = dlt.m_PrincipalPoint.m_y;
  cam.cx = dlt.m_FocusX;
  cam.cy = dlt.m_FocusY;
  const Design d =
      CollinearityDesign(cam, dlt.m_ObjPoints, dlt.m_ImgPoints, free_c);
  const Solution sol = Adjust(d, r);
  AddPose(r, dlt.m_Center, dlt.m_Wpk);
  if (free_c)
    r.params.push_back({"c", ParamKind::kImageLength, dlt.m_FocusMean, 0.0});
  Finish(r, sol, {}, {});
  return r;
}

}  // namespace

double PrecisionReport::Correlation(int i, int j) const {
  const int p = static_cast<int>(params.size());
  return correlation.at(static_cast<size_t>(i) * p + j);
}

int PrecisionReport::Find(const std::string& name) const {
  for (size_t i = 0; i < params.size(); ++i)
    if (params[i].name == name) return static_cast<int>(i);
  for (size_t i = 0; i < derived.size(); ++i)
    if (derived[i].name == name) return static_cast<int>(params.size() + i);
  return -1;
}

const Parameter* PrecisionReport::Get(const std::string& name) const {
  const int k = Find(name);
  if (k < 0) return nullptr;
  const int p = static_cast<int>(params.size());
  return k < p ? &params[k] : &derived[k - p];
}

std::vector<CorrelatedPair> HighCorrelations(const PrecisionReport& report,
                                             double threshold) {
  std::vector<CorrelatedPair> out;
  const int p = static_cast<int>(report.params.size());
  if (report.correlation.size() != static_cast<size_t>(p) * p) return out;
  for (int i = 0; i < p; ++i)
    for (int j = i + 1; j < p; ++j) {
      const double r = report.Correlation(i, j);
      if (!IsUndefined(r) && std::fabs(r) > threshold) out.push_back({i, j, r});
    }
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return std::fabs(a.r) > std::fabs(b.r);
  });
  return out;
}

PrecisionReport EstimatePrecision(const CSinOri& solved) {
  PrecisionReport r;
  if (!PairsMatch(solved.m_ObjPoints, solved.m_ImgPoints, 3)) return r;
  Camera cam;
  if (!RotationDerivatives(solved.m_RotSystem, solved.m_Wpk, cam.d_rot))
    return r;
  r.valid = true;
  r.model =
      "collinearity equations: centre and three angles, focal length fixed";
  cam.centre = solved.m_Center;
  cam.rot = solved.m_Rot;
  cam.cx = cam.cy = solved.m_Focus;
  const Design d =
      CollinearityDesign(cam, solved.m_ObjPoints, solved.m_ImgPoints, false);
  const Solution sol = Adjust(d, r);
  AddPose(r, solved.m_Center, solved.m_Wpk);
  Finish(r, sol, {}, {});
  return r;
}

PrecisionReport EstimatePrecision(const CDlt& solved, DltInterior interior) {
  const INT_PTR count = solved.m_Dlt.GetSize();
  if (count == kSpatialCount &&
      PairsMatch(solved.m_ObjPoints, solved.m_ImgPoints, 1)) {
    if (interior == DltInterior::kFree) return SpatialDltPrecision(solved);
    const double c = std::fabs(solved.m_FocusMean), tol = kConditionTol * c;
    if (std::hypot(solved.m_PrincipalPoint.m_x, solved.m_PrincipalPoint.m_y) <=
            tol &&
        std::fabs(solved.m_FocusX - solved.m_FocusY) <= tol)
      return CollinearDltPrecision(solved, true);
    PrecisionReport r = SpatialDltPrecision(solved);
    r.model =
        "conditions of the iterative solution not met (principal "
        "point off the origin or cx != cy), so " +
        r.model;
    return r;
  }
  if (count == kPlaneCount &&
      PairsMatch(solved.m_ObjPoints, solved.m_ImgPoints, 1))
    return CollinearDltPrecision(solved, false);
  return PrecisionReport();
}

PrecisionReport EstimatePrecision(const CHelmert& solved) {
  PrecisionReport r;
  if (solved.m_Para.GetSize() != 4 ||
      !PairsMatch(solved.m_DstPoints, solved.m_SrcPoints, 1))
    return r;
  r.valid = true;
  r.model = "both coordinates of every pair: a, b, c, d";
  const double a = solved.m_Para[0], b = solved.m_Para[1], c = solved.m_Para[2],
               dd = solved.m_Para[3];
  Design d;
  d.n = 4;
  for (INT_PTR i = 0; i < solved.m_SrcPoints.GetSize(); ++i) {
    const double x = solved.m_SrcPoints[i].m_x, y = solved.m_SrcPoints[i].m_y;
    const double row_x[4] = {x, -y, 1.0, 0.0};
    const double row_y[4] = {y, x, 0.0, 1.0};
    d.AddRow(row_x, solved.m_DstPoints[i].m_x - (a * x - b * y + c));
    d.AddRow(row_y, solved.m_DstPoints[i].m_y - (b * x + a * y + dd));
  }
  const Solution sol = Adjust(d, r);
  r.params = {{"a", ParamKind::kScalar, a, 0.0},
              {"b", ParamKind::kScalar, b, 0.0},
              {"c", ParamKind::kObjectLength, c, 0.0},
              {"d", ParamKind::kObjectLength, dd, 0.0}};
  const double s2 = a * a + b * b, s = std::sqrt(s2);
  r.derived = {{"scale", ParamKind::kScalar, s, 0.0},
               {"rotation", ParamKind::kAngle, std::atan2(b, a), 0.0}};
  Finish(r, sol, {}, {{a / s, b / s, 0.0, 0.0}, {-b / s2, a / s2, 0.0, 0.0}});
  return r;
}

std::vector<double> SymmetricEigenvalues(std::vector<double> a, int n) {
  if (n <= 0 || a.size() < static_cast<size_t>(n) * n) return {};
  for (int sweep = 0; sweep < kJacobiMaxSweeps; ++sweep) {
    bool rotated = false;
    for (int p = 0; p < n; ++p) {
      for (int q = p + 1; q < n; ++q) {
        const double apq = a[p * n + q];
        const double app = a[p * n + p], aqq = a[q * n + q];
        if (!(std::fabs(apq) > kJacobiTol * std::sqrt(std::fabs(app * aqq))))
          continue;  // negligible (or NaN)
        rotated = true;
        const double theta = (aqq - app) / (2.0 * apq);
        const double t = (theta >= 0.0 ? 1.0 : -1.0) /
                         (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
        for (int k = 0; k < n; ++k) {  // columns p and q
          const double akp = a[k * n + p], akq = a[k * n + q];
          a[k * n + p] = c * akp - s * akq;
          a[k * n + q] = s * akp + c * akq;
        }
        for (int k = 0; k < n; ++k) {  // rows p and q
          const double apk = a[p * n + k], aqk = a[q * n + k];
          a[p * n + k] = c * apk - s * aqk;
          a[q * n + k] = s * apk + c * aqk;
        }
      }
    }
    if (!rotated) break;
  }
  std::vector<double> eig(n);
  for (int i = 0; i < n; ++i) eig[i] = a[i * n + i];
  std::sort(eig.begin(), eig.end());
  return eig;
}

}  // namespace collinear
