#include <collinear/calibration/calibration.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <map>

#include <collinear/calibration/calibration_start.h>
#include <collinear/distortion/dist_formula.h>
#include <collinear/distortion/dist_model.h>
#include <collinear/leastsq/leastsq.h>
#include <collinear/orientation/dlt.h>
#include <collinear/primitives/constants.h>

namespace collinear {

namespace {

// A target whose depth across its mean plane is below this fraction of its
// extent in it is a plane: it gets homography starts and plane checks.
constexpr double kPlanarThickness = 1e-6;
// Converged also when a step moves the fitted image points by less than
// this RMS, pixels: exact data reach rounding, where the step no longer
// shrinks relative to sigma0 (about 1e-13 px at 1000 px).
constexpr double kStepFloorPx = 1e-9;
// A step that raises the sum of squares by more than this fraction is
// halved, at most kMaxHalvings times. Smaller rises are accepted: the rows
// are mapped to measured pixels by the correction's Jacobian at the current
// point, so near the optimum a full step may raise the sum a little.
constexpr double kRiseTolerance = 1e-6;
constexpr int kMaxHalvings = 30;
constexpr int kPose = 6;  // X, Y, Z, omega, phi, kappa
constexpr int kMaxShared = 4 + kMaxDistPara;

struct Obs {
  double X, Y, Z, u, v;
};

struct ViewWork {
  std::vector<Obs> obs;
  std::vector<std::string> names;
  CXYZ centre;
  CWPK wpk;
  // Normal equations of the last linearisation: pose block, its inverse,
  // coupling to the camera unknowns (kMaxShared x 6), W = Nsp Npp^-1, and
  // the pose part of b.
  double npp[36], npp_inv[36], nsp[kMaxShared * kPose], w[kMaxShared * kPose];
  double bp[kPose], step[kPose];
};

// Camera unknowns in the adjustment's scaling: c, x0, y0 in pixels, the
// aspect, distortion coefficients of the model on coordinates divided by
// scale (pixels), so that all are of order one.
struct Layout {
  const DistModelInfo* model = nullptr;
  bool free_aspect = false;
  int aspect = -1;  // index of the aspect, -1 when fixed at 1
  int dist = 3;     // index of the first coefficient
  int shared = 3;   // number of camera unknowns
  double scale = 1.0;
  // Power of the scale each coefficient carries (pixel value = normalised
  // value / scale^power).
  int Power(int j) const {
    if (j < model->radial) return 2 * (j + 1);
    if (model->terms == DistTerms::kFurther) return j < 4 ? 0 : 1;
    return 1;
  }
};

// Newton steps for the photo point of a projection, and their tolerance
// relative to the principal distance.
constexpr int kMaxNewton = 20;
constexpr double kNewtonTolerance = 1e-13;

struct Sums {
  double ssr = 0.0;
  int behind = 0;
  bool finite = true;
};

// Inverse of a symmetric positive definite 6 x 6 matrix by Cholesky; false
// when a pivot is not positive.
bool InvertSpd6(const double* a, double* inv) {
  double l[36] = {0};
  for (int j = 0; j < kPose; ++j) {
    double d = a[j * 6 + j];
    for (int k = 0; k < j; ++k) d -= l[j * 6 + k] * l[j * 6 + k];
    if (!(d > 0.0)) return false;
    l[j * 6 + j] = std::sqrt(d);
    for (int i = j + 1; i < kPose; ++i) {
      double s = a[i * 6 + j];
      for (int k = 0; k < j; ++k) s -= l[i * 6 + k] * l[j * 6 + k];
      l[i * 6 + j] = s / l[j * 6 + j];
    }
  }
  for (int col = 0; col < kPose; ++col) {
    double x[6];
    for (int i = 0; i < kPose; ++i) {
      double s = i == col ? 1.0 : 0.0;
      for (int k = 0; k < i; ++k) s -= l[i * 6 + k] * x[k];
      x[i] = s / l[i * 6 + i];
    }
    for (int i = kPose - 1; i >= 0; --i) {
      double s = x[i];
      for (int k = i + 1; k < kPose; ++k) s -= l[k * 6 + i] * x[k];
      x[i] = s / l[i * 6 + i];
    }
    for (int i = 0; i < kPose; ++i) inv[i * 6 + col] = x[i];
  }
  return true;
}

// One pass over the points of a view at the current unknowns: the sum of
// squared pixel residuals and, with normals, the view's normal equations
// (pose block and coupling into the view, camera block added to nss, bs).
// Each point's equation: the collinearity projection minus the measured
// point corrected by the distortion, mapped back to measured pixels by the
// inverse of the correction's Jacobian, so that residuals are in pixels.
template <class Formula>
void LineariseView(const Formula& formula,
                   const Layout& lay,
                   const double* s,
                   ViewWork& view,
                   bool normals,
                   double* nss,
                   double* bs,
                   CArray<CXYZ, CXYZ&>* residuals,
                   Sums& sums) {
  const int ns = lay.shared, nt = ns + kPose;
  CRot rot;
  rot.SetMatrix(ROT_KPW, view.wpk);
  const double* r = rot.m_r;
  double dr[3][9];
  RotationDerivatives(ROT_KPW, view.wpk, dr);
  const double c = s[0], x0 = s[1], y0 = s[2];
  const double a = lay.aspect >= 0 ? s[lay.aspect] : 1.0;
  const double sd = lay.scale;
  const int nk = lay.model->Count();
  if (normals) {
    std::fill(view.npp, view.npp + 36, 0.0);
    std::fill(view.nsp, view.nsp + ns * kPose, 0.0);
    std::fill(view.bp, view.bp + kPose, 0.0);
  }
  for (size_t i = 0; i < view.obs.size(); ++i) {
    const Obs& o = view.obs[i];
    const double d[3] = {
        o.X - view.centre.m_x, o.Y - view.centre.m_y, o.Z - view.centre.m_z};
    const double pc[3] = {r[0] * d[0] + r[1] * d[1] + r[2] * d[2],
                          r[3] * d[0] + r[4] * d[1] + r[5] * d[2],
                          r[6] * d[0] + r[7] * d[1] + r[8] * d[2]};
    if (!(pc[2] < 0.0)) ++sums.behind;
    const double iz = 1.0 / pc[2];
    const double px = -c * pc[0] * iz, py = -c * pc[1] * iz;
    const double mx = o.u - x0, my = a * (y0 - o.v);
    // The photo point q whose correction lands on the projection, q +
    // D(q) = p, by Newton steps from the measured point: the residual q -
    // m is then the exact one in measured pixels, and the derivatives are
    // taken at q. Where Newton does not settle, the first-order residual
    // at m stands in.
    double qx = mx, qy = my;
    double dnx, dny, jac[4];
    double i00 = 1.0, i01 = 0.0, i10 = 0.0, i11 = 1.0;
    auto invert_at = [&](double x, double y) {
      formula(x / sd, y / sd, dnx, dny);
      formula.Jacobian(x / sd, y / sd, jac);
      const double j00 = 1.0 + jac[0], j01 = jac[1], j10 = jac[2],
                   j11 = 1.0 + jac[3];
      const double det = j00 * j11 - j01 * j10;
      i00 = j11 / det;
      i01 = -j01 / det;
      i10 = -j10 / det;
      i11 = j00 / det;
    };
    invert_at(mx, my);
    const double fx = px - (mx + sd * dnx), fy = py - (my + sd * dny);
    double rx = i00 * fx + i01 * fy;
    double ry = i10 * fx + i11 * fy;
    bool exact = false;
    qx += rx;
    qy += ry;
    for (int it = 0; it < kMaxNewton && !exact; ++it) {
      invert_at(qx, qy);
      const double ex = px - (qx + sd * dnx), ey = py - (qy + sd * dny);
      qx += i00 * ex + i01 * ey;
      qy += i10 * ex + i11 * ey;
      exact = std::abs(ex) + std::abs(ey) <= kNewtonTolerance * (c + sd);
    }
    if (exact && std::isfinite(qx) && std::isfinite(qy)) {
      invert_at(qx, qy);
      rx = qx - mx;
      ry = qy - my;
    } else {
      qx = mx;
      qy = my;
      invert_at(mx, my);
    }
    ry = -ry / a;
    const double mnx = qx / sd, mny = qy / sd;
    if (!std::isfinite(rx) || !std::isfinite(ry)) sums.finite = false;
    sums.ssr += rx * rx + ry * ry;
    if (residuals) {
      CXYZ res(view.names[i].c_str(), rx, ry, 0.0);
      residuals->Add(res);
    }
    if (!normals) continue;

    // Rows in photo space (y up) before the map to measured pixels: gx, gy.
    double gx[kMaxShared + kPose], gy[kMaxShared + kPose];
    auto put = [&](int k, double ex, double ey) {  // mapped by J^-1
      gx[k] = i00 * ex + i01 * ey;
      gy[k] = i10 * ex + i11 * ey;
    };
    put(0, -pc[0] * iz, -pc[1] * iz);
    gx[1] = 1.0;
    gy[1] = 0.0;
    gx[2] = 0.0;
    gy[2] = -a;
    if (lay.aspect >= 0) {
      gx[lay.aspect] = 0.0;
      gy[lay.aspect] = -(y0 - o.v);
    }
    double pkx[kMaxDistPara] = {}, pky[kMaxDistPara] = {};
    formula.ParamDerivatives(mnx, mny, pkx, pky);
    for (int k = 0; k < nk; ++k) put(lay.dist + k, -sd * pkx[k], -sd * pky[k]);
    // Projection by camera coordinates, then by centre and angles.
    const double ax[3] = {-c * iz, 0.0, c * pc[0] * iz * iz};
    const double ay[3] = {0.0, -c * iz, c * pc[1] * iz * iz};
    for (int k = 0; k < 3; ++k) {
      const double dpc[3] = {-r[k], -r[3 + k], -r[6 + k]};
      put(ns + k,
          ax[0] * dpc[0] + ax[2] * dpc[2],
          ay[1] * dpc[1] + ay[2] * dpc[2]);
      const double* m = dr[k];
      const double dq[3] = {m[0] * d[0] + m[1] * d[1] + m[2] * d[2],
                            m[3] * d[0] + m[4] * d[1] + m[5] * d[2],
                            m[6] * d[0] + m[7] * d[1] + m[8] * d[2]};
      put(ns + 3 + k,
          ax[0] * dq[0] + ax[2] * dq[2],
          ay[1] * dq[1] + ay[2] * dq[2]);
    }
    for (int k = 0; k < nt; ++k) gy[k] = -gy[k] / a;  // to pixel rows

    for (int p = 0; p < nt; ++p) {
      const double bx = gx[p], by = gy[p];
      const double bv = -(bx * rx + by * ry);
      if (p < ns) {
        bs[p] += bv;
        double* row = nss + p * ns;
        for (int q = p; q < ns; ++q) row[q] += bx * gx[q] + by * gy[q];
        double* coup = view.nsp + p * kPose;
        for (int q = 0; q < kPose; ++q)
          coup[q] += bx * gx[ns + q] + by * gy[ns + q];
      } else {
        const int pp = p - ns;
        view.bp[pp] += bv;
        double* row = view.npp + pp * kPose;
        for (int q = pp; q < kPose; ++q)
          row[q] += bx * gx[ns + q] + by * gy[ns + q];
      }
    }
  }
  if (normals)
    for (int p = 0; p < kPose; ++p)
      for (int q = 0; q < p; ++q)
        view.npp[p * kPose + q] = view.npp[q * kPose + p];
}

void Fail(Calibration& out, CalibrationStatus status, const std::string& msg) {
  out.status = status;
  out.message = msg;
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

bool Finite(const CXYZ& p, bool with_z) {
  return std::isfinite(p.m_x) && std::isfinite(p.m_y) &&
         (!with_z || std::isfinite(p.m_z));
}

// Axes of the target's plane: origin at the mean point, e1 towards the
// farthest point, n normal, e2 = n x e1 (columns of e, row-major).
void PlaneAxes(const CArray<CXYZ, CXYZ&>& target, double* origin, double* e) {
  const INT_PTR n = target.GetSize();
  origin[0] = origin[1] = origin[2] = 0.0;
  for (INT_PTR i = 0; i < n; ++i) {
    origin[0] += target[i].m_x / n;
    origin[1] += target[i].m_y / n;
    origin[2] += target[i].m_z / n;
  }
  auto diff = [&](INT_PTR i, double* d) {
    d[0] = target[i].m_x - origin[0];
    d[1] = target[i].m_y - origin[1];
    d[2] = target[i].m_z - origin[2];
  };
  double e1[3] = {1, 0, 0}, best = 0.0, d[3];
  for (INT_PTR i = 0; i < n; ++i) {
    diff(i, d);
    const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    if (len > best) {
      best = len;
      for (int k = 0; k < 3; ++k) e1[k] = d[k] / len;
    }
  }
  double nrm[3] = {0, 0, 1};
  best = 0.0;
  for (INT_PTR i = 0; i < n; ++i) {
    diff(i, d);
    const double x[3] = {d[1] * e1[2] - d[2] * e1[1],
                         d[2] * e1[0] - d[0] * e1[2],
                         d[0] * e1[1] - d[1] * e1[0]};
    const double len = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
    if (len > best) {
      best = len;
      for (int k = 0; k < 3; ++k) nrm[k] = x[k] / len;
    }
  }
  const double e2[3] = {nrm[1] * e1[2] - nrm[2] * e1[1],
                        nrm[2] * e1[0] - nrm[0] * e1[2],
                        nrm[0] * e1[1] - nrm[1] * e1[0]};
  for (int k = 0; k < 3; ++k) {
    e[k * 3] = e1[k];
    e[k * 3 + 1] = e2[k];
    e[k * 3 + 2] = nrm[k];
  }
}

}  // namespace

double Calibration::Rms() const {
  return std::sqrt((rms_x * rms_x + rms_y * rms_y) / 2.0);
}

Calibration Calibrate(const CArray<CXYZ, CXYZ&>& target,
                      const std::vector<CalibrationView>& views,
                      const CalibrationOptions& options) {
  Calibration out;
  const auto bad = [&](const std::string& msg) {
    Fail(out, CalibrationStatus::kBadInput, msg);
    return out;
  };
  Layout lay;
  lay.model = FindDistModel(static_cast<unsigned long>(options.model));
  if (!lay.model)
    return bad(Format("unknown distortion model %d; known: %s",
                      static_cast<int>(options.model),
                      DistModelNameList().c_str()));
  if (!(options.sigma_px >= 0.0) || !std::isfinite(options.sigma_px))
    return bad(
        "the a-priori sigma of an image coordinate must be a finite "
        "number of pixels, 0 or more");
  if (!(options.picture_width >= 0.0) || !(options.picture_height >= 0.0) ||
      !std::isfinite(options.picture_width) ||
      !std::isfinite(options.picture_height))
    return bad("the picture size must be finite and not negative");
  if (options.max_iterations < 1 || !(options.tolerance > 0.0))
    return bad("the iteration limit and tolerance must be positive");

  std::map<std::string, int> index;
  for (INT_PTR i = 0; i < target.GetSize(); ++i) {
    const std::string name = target[i].m_strName.GetString();
    if (!Finite(target[i], true))
      return bad("target point " + name + ": coordinates not finite");
    if (!index.emplace(name, static_cast<int>(i)).second)
      return bad("target point " + name + " appears twice");
  }
  if (views.empty()) return bad("no views to calibrate from");
  out.planar =
      target.GetSize() >= 3 && ThicknessRatio(target) < kPlanarThickness;
  const int min_points = out.planar ? 4 : 6;

  lay.free_aspect = options.free_aspect;
  lay.aspect = lay.free_aspect ? 3 : -1;
  lay.dist = lay.free_aspect ? 4 : 3;
  lay.shared = lay.dist + lay.model->Count();
  const int ns = lay.shared;

  std::vector<ViewWork> work(views.size());
  double u_min = 1e300, u_max = -1e300, v_min = 1e300, v_max = -1e300;
  for (size_t k = 0; k < views.size(); ++k) {
    const CalibrationView& in = views[k];
    ViewWork& w = work[k];
    std::map<std::string, int> seen;
    for (INT_PTR i = 0; i < in.points.GetSize(); ++i) {
      const CXYZ& p = in.points[i];
      const std::string name = p.m_strName.GetString();
      const auto it = index.find(name);
      if (it == index.end())
        return bad("view " + in.name + ": point " + name +
                   " is not in the target");
      if (!seen.emplace(name, 0).second)
        return bad("view " + in.name + ": point " + name + " appears twice");
      if (!Finite(p, false))
        return bad("view " + in.name + ": point " + name +
                   ": coordinates not finite");
      const CXYZ& t = target[it->second];
      w.obs.push_back({t.m_x, t.m_y, t.m_z, p.m_x, p.m_y});
      w.names.push_back(name);
      u_min = std::min(u_min, p.m_x);
      u_max = std::max(u_max, p.m_x);
      v_min = std::min(v_min, p.m_y);
      v_max = std::max(v_max, p.m_y);
    }
    if (static_cast<int>(w.obs.size()) < min_points)
      return bad(
          Format("view %s: %d points matched in the target; a view of "
                 "a %s target needs at least %d",
                 in.name.c_str(),
                 static_cast<int>(w.obs.size()),
                 out.planar ? "plane" : "3-D",
                 min_points));
    out.points += static_cast<int>(w.obs.size());
  }
  const int nv = static_cast<int>(views.size());
  const int unknowns = ns + kPose * nv;
  if (2 * out.points < unknowns)
    return bad(
        Format("%d image points give %d observations for %d unknowns "
               "(%d camera unknowns and 6 per view)",
               out.points,
               2 * out.points,
               unknowns,
               ns));
  // A view of a plane fixes two functions of the interior orientation.
  const int interior = lay.free_aspect ? 4 : 3;
  if (out.planar && 2 * nv < interior)
    return bad(
        Format("%d view%s of a plane cannot determine %d interior "
               "unknowns (principal distance, principal point%s); "
               "give at least %d views",
               nv,
               nv == 1 ? "" : "s",
               interior,
               lay.free_aspect ? ", aspect" : "",
               (interior + 1) / 2));

  PictureRect picture;  // pixels, y down
  if (options.picture_width > 0.0 && options.picture_height > 0.0)
    picture = {0.0, 0.0, options.picture_width, options.picture_height};
  else
    picture = {u_min, v_min, u_max, v_max};

  // --- Starting values ------------------------------------------------------
  std::vector<double> s(ns, 0.0);
  if (lay.aspect >= 0) s[lay.aspect] = 1.0;
  if (out.planar) {
    double origin[3], e[9];
    PlaneAxes(target, origin, e);
    std::vector<Homography> hs(nv);
    std::vector<double> plane, uv;
    for (int k = 0; k < nv; ++k) {
      plane.clear();
      uv.clear();
      for (const Obs& o : work[k].obs) {
        const double d[3] = {o.X - origin[0], o.Y - origin[1], o.Z - origin[2]};
        plane.push_back(e[0] * d[0] + e[3] * d[1] + e[6] * d[2]);
        plane.push_back(e[1] * d[0] + e[4] * d[1] + e[7] * d[2]);
        uv.push_back(o.u);
        uv.push_back(o.v);
      }
      hs[k] = FitHomography(
          plane.data(), uv.data(), static_cast<int>(work[k].obs.size()));
      if (!hs[k].valid)
        return bad("view " + views[k].name +
                   ": no plane homography (points on one line?)");
    }
    const double cu = 0.5 * (picture.x_min + picture.x_max);
    const double cv = 0.5 * (picture.y_min + picture.y_max);
    InteriorStart in = InteriorFromHomographies(hs, nv < 3, cu, cv);
    if (!in.valid && nv >= 3) in = InteriorFromHomographies(hs, true, cu, cv);
    if (!in.valid) {
      Fail(out,
           CalibrationStatus::kFailed,
           "the views' homographies give no real principal distance: the "
           "views may all be parallel to the target");
      return out;
    }
    s[0] = in.c;
    s[1] = in.x0;
    s[2] = in.y0;
    for (int k = 0; k < nv; ++k) {
      CRot rot_pl;
      CXYZ c_pl;
      if (!PoseFromHomography(hs[k], in, rot_pl, c_pl)) {
        Fail(out,
             CalibrationStatus::kFailed,
             "view " + views[k].name + ": no pose from its homography");
        return out;
      }
      // Target to plane axes: q = E^T (P - origin); R = R_pl E^T.
      CRot rot;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
          rot.m_r[i * 3 + j] = rot_pl.m_r[i * 3] * e[j * 3] +
                               rot_pl.m_r[i * 3 + 1] * e[j * 3 + 1] +
                               rot_pl.m_r[i * 3 + 2] * e[j * 3 + 2];
      const double q[3] = {c_pl.m_x, c_pl.m_y, c_pl.m_z};
      work[k].centre =
          CXYZ(origin[0] + e[0] * q[0] + e[1] * q[1] + e[2] * q[2],
               origin[1] + e[3] * q[0] + e[4] * q[1] + e[5] * q[2],
               origin[2] + e[6] * q[0] + e[7] * q[1] + e[8] * q[2]);
      work[k].wpk.Init();
      rot.CalAngle(ROT_KPW, work[k].wpk);
    }
  } else {
    double sum_c = 0.0, sum_x0 = 0.0, sum_y0 = 0.0, sum_a = 0.0;
    for (int k = 0; k < nv; ++k) {
      CArray<CXYZ, CXYZ&> obj, img;
      for (size_t i = 0; i < work[k].obs.size(); ++i) {
        const Obs& o = work[k].obs[i];
        const char* name = work[k].names[i].c_str();
        CXYZ po(name, o.X, o.Y, o.Z), pi(name, o.u, -o.v, 0.0);  // y up
        obj.Add(po);
        img.Add(pi);
      }
      CDlt dlt;
      if (!dlt.Create(obj, img, 0.0) || !dlt.CalDlt3D() ||
          !(dlt.m_FocusX > 0.0) || !(dlt.m_FocusY > 0.0)) {
        Fail(out,
             CalibrationStatus::kFailed,
             "view " + views[k].name +
                 ": the DLT gives no camera (target points nearly in one "
                 "plane, or too few)");
        return out;
      }
      sum_c += dlt.m_FocusX;
      sum_a += dlt.m_FocusX / dlt.m_FocusY;
      sum_x0 += dlt.m_PrincipalPoint.m_x;
      sum_y0 -= dlt.m_PrincipalPoint.m_y;
      // The DLT decides the sign of its rotation by the scene lying farther
      // than c from the camera, in object units; with units smaller than
      // pixels that can pick the improper matrix, whose negative puts the
      // scene in front.
      CRot rot = dlt.m_Rot;
      const double* r = rot.m_r;
      const double det = r[0] * (r[4] * r[8] - r[5] * r[7]) -
                         r[1] * (r[3] * r[8] - r[5] * r[6]) +
                         r[2] * (r[3] * r[7] - r[4] * r[6]);
      if (det < 0.0)
        for (double& e : rot.m_r) e = -e;
      work[k].centre = dlt.m_Center;
      work[k].wpk.Init();
      rot.CalAngle(ROT_KPW, work[k].wpk);
    }
    s[0] = sum_c / nv;
    s[1] = sum_x0 / nv;
    s[2] = sum_y0 / nv;
    if (lay.aspect >= 0) s[lay.aspect] = sum_a / nv;
  }
  lay.scale = s[0];

  // --- Bundle adjustment ----------------------------------------------------
  CLeastSq lsq(1, ns);
  std::vector<double> nss(ns * ns), bs(ns), nred(ns * ns), bred(ns), ds(ns);
  std::vector<double> s_prev;
  std::vector<CXYZ> c_prev(nv);
  std::vector<CWPK> a_prev(nv);
  std::vector<double> step_s(ns, 0.0);
  double ssr_prev = 0.0, gain = 0.0;
  bool have_prev = false, converged = false;
  int halvings = 0;
  Sums sums;
  for (out.iterations = 0; out.iterations <= options.max_iterations;) {
    std::fill(nss.begin(), nss.end(), 0.0);
    std::fill(bs.begin(), bs.end(), 0.0);
    sums = Sums();
    for (ViewWork& w : work)
      WithDistFormula(lay.model->model, s.data() + lay.dist, [&](auto f) {
        LineariseView(
            f, lay, s.data(), w, true, nss.data(), bs.data(), nullptr, sums);
        return 0;
      });
    if (!sums.finite || !std::isfinite(sums.ssr)) {
      Fail(out,
           CalibrationStatus::kFailed,
           "the adjustment produced non-finite values (diverged)");
      return out;
    }
    // A step that made things worse is halved from the previous point.
    const double floor2 = 2.0 * out.points * kStepFloorPx * kStepFloorPx;
    if (have_prev && sums.ssr > ssr_prev * (1.0 + kRiseTolerance) + floor2) {
      if (++halvings > kMaxHalvings) {
        Fail(out,
             CalibrationStatus::kFailed,
             "the adjustment diverged: no step lowers the residuals");
        return out;
      }
      for (int k = 0; k < ns; ++k) {
        step_s[k] *= 0.5;
        s[k] = s_prev[k] + step_s[k];
      }
      for (int k = 0; k < nv; ++k) {
        double* st = work[k].step;
        for (double* p = st; p < st + kPose; ++p) *p *= 0.5;
        work[k].centre = CXYZ(c_prev[k].m_x + st[0],
                              c_prev[k].m_y + st[1],
                              c_prev[k].m_z + st[2]);
        work[k].wpk = CWPK(a_prev[k].m_w + st[3],
                           a_prev[k].m_p + st[4],
                           a_prev[k].m_k + st[5]);
      }
      continue;
    }
    halvings = 0;
    // Reduced normal equations of the camera unknowns.
    for (int p = 0; p < ns; ++p)
      for (int q = 0; q < p; ++q) nss[p * ns + q] = nss[q * ns + p];
    nred = nss;
    bred = bs;
    for (ViewWork& w : work) {
      if (!InvertSpd6(w.npp, w.npp_inv)) {
        Fail(out,
             CalibrationStatus::kFailed,
             "a view's pose is undetermined (singular normal equations)");
        return out;
      }
      for (int p = 0; p < ns; ++p)
        for (int q = 0; q < kPose; ++q) {
          double sum = 0.0;
          for (int k = 0; k < kPose; ++k)
            sum += w.nsp[p * kPose + k] * w.npp_inv[k * kPose + q];
          w.w[p * kPose + q] = sum;
        }
      for (int p = 0; p < ns; ++p) {
        for (int q = 0; q < ns; ++q) {
          double sum = 0.0;
          for (int k = 0; k < kPose; ++k)
            sum += w.w[p * kPose + k] * w.nsp[q * kPose + k];
          nred[p * ns + q] -= sum;
        }
        for (int k = 0; k < kPose; ++k) bred[p] -= w.w[p * kPose + k] * w.bp[k];
      }
    }
    lsq.InitNoeq();
    for (int p = 0; p < ns; ++p) {
      for (int q = 0; q < ns; ++q) lsq.SetNoeq(p, q, nred[p * ns + q]);
      lsq.SetNoeq(p, ns, bred[p]);
    }
    if (!lsq.SolveWithReduc()) {
      Fail(out,
           CalibrationStatus::kFailed,
           "the camera's unknowns are undetermined (singular reduced normal "
           "equations): the views do not fix them");
      return out;
    }
    gain = 0.0;  // delta^T N delta = delta^T b
    for (int p = 0; p < ns; ++p) {
      ds[p] = lsq.GetBcor(p);
      gain += ds[p] * bs[p];
    }
    for (ViewWork& w : work) {
      double rhs[kPose];
      for (int k = 0; k < kPose; ++k) {
        rhs[k] = w.bp[k];
        for (int p = 0; p < ns; ++p) rhs[k] -= w.nsp[p * kPose + k] * ds[p];
      }
      for (int k = 0; k < kPose; ++k) {
        double sum = 0.0;
        for (int q = 0; q < kPose; ++q)
          sum += w.npp_inv[k * kPose + q] * rhs[q];
        w.step[k] = sum;
        gain += sum * w.bp[k];
      }
    }
    const int redundancy = 2 * out.points - unknowns;
    const double sigma2 = redundancy > 0 ? sums.ssr / redundancy : sums.ssr;
    if (gain <= options.tolerance * options.tolerance * sigma2 ||
        gain <= floor2) {
      converged = true;
      break;
    }
    if (out.iterations == options.max_iterations) break;
    ++out.iterations;
    s_prev = s;
    ssr_prev = sums.ssr;
    have_prev = true;
    for (int p = 0; p < ns; ++p) {
      step_s[p] = ds[p];
      s[p] += ds[p];
    }
    for (int k = 0; k < nv; ++k) {
      ViewWork& w = work[k];
      c_prev[k] = w.centre;
      a_prev[k] = w.wpk;
      w.centre = CXYZ(w.centre.m_x + w.step[0],
                      w.centre.m_y + w.step[1],
                      w.centre.m_z + w.step[2]);
      w.wpk = CWPK(
          w.wpk.m_w + w.step[3], w.wpk.m_p + w.step[4], w.wpk.m_k + w.step[5]);
    }
  }
  if (!converged) {
    Fail(out,
         CalibrationStatus::kFailed,
         Format("the adjustment did not converge in %d iterations",
                options.max_iterations));
    return out;
  }
  if (sums.behind > 0) {
    Fail(out,
         CalibrationStatus::kFailed,
         Format("%d target points lie behind the camera in the adjusted "
                "poses: the solution is a mirror image, not a camera",
                sums.behind));
    return out;
  }

  // --- Results --------------------------------------------------------------
  const int redundancy = 2 * out.points - unknowns;
  const double sigma0 =
      redundancy > 0 ? std::sqrt(sums.ssr / redundancy) : kUndefined;
  out.c = s[0];
  out.x0 = s[1];
  out.y0 = s[2];
  out.aspect = lay.aspect >= 0 ? s[lay.aspect] : 1.0;
  out.dist.Init();
  out.dist.SetDistModel(lay.model->model);
  // Pixel value of each camera unknown per adjusted unit.
  std::vector<double> to_px(ns, 1.0);
  for (int j = 0; j < lay.model->Count(); ++j) {
    to_px[lay.dist + j] = 1.0 / std::pow(lay.scale, lay.Power(j));
    out.dist.m_Para[j] = s[lay.dist + j] * to_px[lay.dist + j];
  }

  PrecisionReport& rep = out.camera;
  rep.valid = true;
  rep.model = Format("calibration from %d views of a %s target",
                     nv,
                     out.planar ? "plane" : "3-D");
  rep.observations = 2 * out.points;
  rep.unknowns = unknowns;
  rep.redundancy = redundancy;
  rep.sigma0 = sigma0;
  // At convergence one more step changes the sum of squares by gain.
  rep.sigma0_at_solution = sigma0;
  if (redundancy > 0 && sums.ssr - gain > 0.0)
    rep.sigma0 = std::sqrt((sums.ssr - gain) / redundancy);
  std::vector<double> qss(ns * ns);
  for (int p = 0; p < ns; ++p)
    for (int q = 0; q < ns; ++q) qss[p * ns + q] = lsq.GetCovar(p, q);
  auto sigma_of = [&](double q) {
    return IsUndefined(sigma0) || !(q >= 0.0) ? kUndefined
                                              : sigma0 * std::sqrt(q);
  };
  const char* fixed_names[] = {"c", "x0", "y0", "aspect"};
  for (int p = 0; p < ns; ++p) {
    Parameter par;
    if (p < lay.dist) {
      par.name = fixed_names[p];
      par.kind = p == 3 ? ParamKind::kScalar : ParamKind::kImageLength;
    } else {
      par.name = lay.model->para_names[p - lay.dist];
      par.kind = ParamKind::kDistortion;
    }
    par.value = p < lay.dist ? s[p] : out.dist.m_Para[p - lay.dist];
    par.sigma = sigma_of(qss[p * ns + p]);
    if (!IsUndefined(par.sigma)) par.sigma *= to_px[p];
    rep.params.push_back(par);
  }
  rep.correlation.assign(ns * ns, 0.0);
  for (int p = 0; p < ns; ++p)
    for (int q = 0; q < ns; ++q)
      rep.correlation[p * ns + q] =
          qss[p * ns + q] / std::sqrt(qss[p * ns + p] * qss[q * ns + q]);
  {
    std::vector<double> scaled(ns * ns);
    for (int p = 0; p < ns; ++p)
      for (int q = 0; q < ns; ++q)
        scaled[p * ns + q] =
            nred[p * ns + q] / std::sqrt(nred[p * ns + p] * nred[q * ns + q]);
    const std::vector<double> eig = SymmetricEigenvalues(scaled, ns);
    rep.condition_number = eig.front() > 0.0
                               ? eig.back() / eig.front()
                               : std::numeric_limits<double>::infinity();
  }

  CArray<CXYZ, CXYZ&> all;
  double sum_x = 0.0, sum_y = 0.0;
  for (int k = 0; k < nv; ++k) {
    ViewWork& w = work[k];
    CalibratedView v;
    v.name = views[k].name;
    v.centre = w.centre;
    v.rot.SetMatrix(ROT_KPW, w.wpk);
    v.wpk.Init();
    v.rot.CalAngle(ROT_KPW, v.wpk);
    Sums ignored;
    WithDistFormula(lay.model->model, s.data() + lay.dist, [&](auto f) {
      LineariseView(
          f, lay, s.data(), w, false, nullptr, nullptr, &v.residuals, ignored);
      return 0;
    });
    double vx = 0.0, vy = 0.0;
    for (INT_PTR i = 0; i < v.residuals.GetSize(); ++i) {
      const CXYZ& r = v.residuals[i];
      vx += r.m_x * r.m_x;
      vy += r.m_y * r.m_y;
      CXYZ named(
          (v.name + "/" + r.m_strName.GetString()).c_str(), r.m_x, r.m_y, 0.0);
      all.Add(named);
    }
    sum_x += vx;
    sum_y += vy;
    const auto m = static_cast<double>(v.residuals.GetSize());
    v.rms_x = std::sqrt(vx / m);
    v.rms_y = std::sqrt(vy / m);
    // Pose covariance: Npp^-1 + W^T Qss W; with the camera: -Qss W.
    double qpp[36], qsp[kMaxShared * kPose];
    for (int p = 0; p < kPose; ++p)
      for (int q = 0; q < kPose; ++q) {
        double sum = w.npp_inv[p * kPose + q];
        for (int i = 0; i < ns; ++i)
          for (int j = 0; j < ns; ++j)
            sum += w.w[i * kPose + p] * qss[i * ns + j] * w.w[j * kPose + q];
        qpp[p * kPose + q] = sum;
      }
    for (int i = 0; i < ns; ++i)
      for (int q = 0; q < kPose; ++q) {
        double sum = 0.0;
        for (int j = 0; j < ns; ++j)
          sum -= qss[i * ns + j] * w.w[j * kPose + q];
        qsp[i * kPose + q] = sum;
      }
    v.correlation.resize(36);
    v.camera_correlation.resize(kPose * ns);
    for (int p = 0; p < kPose; ++p) {
      v.sigma[p] = sigma_of(qpp[p * kPose + p]);
      for (int q = 0; q < kPose; ++q)
        v.correlation[p * kPose + q] =
            qpp[p * kPose + q] /
            std::sqrt(qpp[p * kPose + p] * qpp[q * kPose + q]);
      for (int i = 0; i < ns; ++i)
        v.camera_correlation[p * ns + i] =
            qsp[i * kPose + p] /
            std::sqrt(qpp[p * kPose + p] * qss[i * ns + i]);
    }
    out.views.push_back(std::move(v));
  }
  out.rms_x = std::sqrt(sum_x / out.points);
  out.rms_y = std::sqrt(sum_y / out.points);

  // --- Verdicts -------------------------------------------------------------
  JudgeOptions judge;
  judge.obs_sigma = options.sigma_px;
  out.verdict = Judge(all, rep, judge);
  // The distortion in photo axes (y up, aspect applied) about the principal
  // point, over the picture.
  const PictureRect photo = {picture.x_min - out.x0,
                             out.aspect * (out.y0 - picture.y_max),
                             picture.x_max - out.x0,
                             out.aspect * (out.y0 - picture.y_min)};
  out.validity = CheckDistortion(out.dist, 0.0, 0.0, photo);
  out.verdict.Append(Judge(out.validity));
  if (out.planar && nv < 3)
    out.verdict.warnings.push_back(
        {VerdictReason::kTooFewPoints,
         "",
         Format("too few views for the unknowns: %d views of a plane leave "
                "the principal point weakly determined; take 3 or more at "
                "different angles",
                nv)});
  out.status = CalibrationStatus::kOk;
  return out;
}

}  // namespace collinear
