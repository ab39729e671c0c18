// The computations behind the Pythonic layer (collinear/__init__.py): each
// takes checked numpy arrays, frames them as the tool does, runs the
// library's solver with the GIL released, and returns a dict of plain
// values that the Python layer turns into a result object.
#include "functions.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include <collinear/adjust/adj_image.h>
#include <collinear/adjust/ray_fit.h>
#include <collinear/calculator/crd_calculator.h>
#include <collinear/calibration/calibration.h>
#include <collinear/distortion/dist_model.h>
#include <collinear/io/point_file.h>
#include <collinear/io/project_file.h>
#include <collinear/orientation/dlt.h>
#include <collinear/orientation/helmert.h>
#include <collinear/orientation/resection_start.h>
#include <collinear/orientation/sinori.h>
#include <collinear/orientation/status_text.h>
#include <collinear/primitives/constants.h>
#include <collinear/quality/distortion_check.h>
#include <collinear/quality/precision.h>
#include <collinear/quality/verdict.h>

#include "convert.h"

namespace collinear::python {
namespace {

// Mean of the points: the solvers see object coordinates about it, so that
// map-grid coordinates keep the normal equations well conditioned.
CXYZ Centroid(const CArray<CXYZ, CXYZ&>& points) {
  double sx = 0, sy = 0, sz = 0;
  for (INT_PTR i = 0; i < points.GetSize(); ++i) {
    sx += points[i].m_x;
    sy += points[i].m_y;
    sz += points[i].m_z;
  }
  const auto n = static_cast<double>(points.GetSize());
  return CXYZ(sx / n, sy / n, sz / n);
}

void Subtract(CArray<CXYZ, CXYZ&>& points, const CXYZ& origin) {
  for (INT_PTR i = 0; i < points.GetSize(); ++i) points[i] -= origin;
}

// Standard deviations by parameter name (angles in radians).
py::dict Sigmas(const PrecisionReport& report) {
  py::dict d;
  for (const Parameter& p : report.params)
    d[py::str(p.name)] =
        IsUndefined(p.sigma) ? py::float_(NAN) : py::float_(p.sigma);
  return d;
}

// Residuals in the order of names (NaN for a name without one), y times
// y_sign: -1 from a solver's y up to pixels, y down.
Doubles PixelResiduals(const CArray<CXYZ, CXYZ&>& residuals,
                       const std::vector<std::string>& names,
                       double y_sign = -1.0) {
  std::map<std::string, py::ssize_t> row;
  for (size_t i = 0; i < names.size(); ++i)
    row.emplace(names[i], static_cast<py::ssize_t>(i));
  Doubles out({static_cast<py::ssize_t>(names.size()), py::ssize_t{2}});
  auto o = out.mutable_unchecked<2>();
  for (py::ssize_t i = 0; i < o.shape(0); ++i) o(i, 0) = o(i, 1) = NAN;
  for (INT_PTR i = 0; i < residuals.GetSize(); ++i) {
    const auto it = row.find(residuals[i].m_strName.GetString());
    if (it == row.end()) continue;
    o(it->second, 0) = residuals[i].m_x;
    o(it->second, 1) = y_sign * residuals[i].m_y;
  }
  return out;
}

py::dict ResectPixels(const Doubles& object_points,
                      const Doubles& image_points,
                      const std::vector<std::string>& names,
                      double focal_px,
                      double ppx,
                      double ppy,
                      const CDist& dist,
                      double image_sigma_px) {
  CArray<CXYZ, CXYZ&> obj = ToPoints(object_points, names);
  CArray<CXYZ, CXYZ&> img = ToPoints(image_points, names);
  const CXYZ centroid = Centroid(obj);
  ResectionResult solved;
  CSinOri s;
  PrecisionReport precision;
  Verdict verdict;
  bool usable = false;
  {
    py::gil_scoped_release release;
    Subtract(obj, centroid);
    // Photo frame of the solver: about the principal point, y up.
    for (INT_PTR i = 0; i < img.GetSize(); ++i)
      img[i].SetXYZ(img[i].m_x - ppx, ppy - img[i].m_y, 0.0);
    solved = collinear::Resect(obj, img, focal_px, dist);
    usable = solved.converged && SetSinOri(solved, focal_px, s);
    if (usable) {
      precision = EstimatePrecision(s);
      JudgeOptions judge;
      judge.obs_sigma = image_sigma_px;
      verdict = Judge(s, precision, judge);
    }
  }
  py::dict r;
  r["converged"] = usable;
  if (!usable) {
    const std::string why = "the resection failed: " + solved.message;
    r["verdict"] = "unusable";
    r["reasons"] = std::vector<std::string>{why};
    r["message"] = why;
    Doubles nan3({3}), nan33({3, 3}), nan2({2});
    for (Doubles* a : {&nan3, &nan33, &nan2})
      for (py::ssize_t k = 0; k < a->size(); ++k) a->mutable_data()[k] = NAN;
    r["centre"] = nan3;
    r["rotation"] = nan33;
    r["angles"] = nan3;
    r["rms"] = nan2;
    r["residuals"] = PixelResiduals(CArray<CXYZ, CXYZ&>(), names);
    r["sigmas"] = py::dict();
    r["sigma0"] = NAN;
    r["iterations"] = solved.iterations;
    r["start"] = "none";
    return r;
  }
  CXYZ centre = s.m_Center;
  centre += centroid;
  Doubles c({3}), angles({3}), rms({2});
  c.mutable_data()[0] = centre.m_x;
  c.mutable_data()[1] = centre.m_y;
  c.mutable_data()[2] = centre.m_z;
  angles.mutable_data()[0] = s.m_Wpk.m_w;
  angles.mutable_data()[1] = s.m_Wpk.m_p;
  angles.mutable_data()[2] = s.m_Wpk.m_k;
  rms.mutable_data()[0] = s.m_Rms.m_x;
  rms.mutable_data()[1] = s.m_Rms.m_y;
  r["verdict"] = VerdictWord(verdict);
  r["reasons"] = VerdictReasons(verdict);
  r["message"] = VerdictFailure(verdict);
  r["centre"] = c;
  r["rotation"] = FromRot(s.m_Rot);
  r["angles"] = angles;
  r["rms"] = rms;
  r["residuals"] = PixelResiduals(s.m_Residuals, names);
  r["sigmas"] = Sigmas(precision);
  r["sigma0"] = IsUndefined(precision.sigma0) ? NAN : precision.sigma0;
  r["iterations"] = solved.iterations;
  r["start"] = solved.start == ResectionStart::kDlt ? "dlt" : "plane";
  return r;
}

Doubles Vector(std::initializer_list<double> values) {
  Doubles out({static_cast<py::ssize_t>(values.size())});
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

double Figure(double v) { return IsUndefined(v) ? NAN : v; }

std::vector<std::string> ParameterNames(const DistModelInfo& info) {
  std::vector<std::string> names;
  names.reserve(static_cast<size_t>(info.Count()));
  for (int k = 0; k < info.Count(); ++k) names.emplace_back(info.para_names[k]);
  return names;
}

void PutVerdict(py::dict& r, const Verdict& verdict) {
  r["verdict"] = VerdictWord(verdict);
  r["reasons"] = VerdictReasons(verdict);
  r["message"] = VerdictFailure(verdict);
}

py::dict Failed(const std::string& why) {
  py::dict r;
  r["converged"] = false;
  r["verdict"] = "unusable";
  r["reasons"] = std::vector<std::string>{why};
  r["message"] = why;
  return r;
}

// Camera calibration from one view by the spatial DLT, pixels as the
// tool's calibrate takes them: y negated to the solver's y up, the object
// about its centroid and scaled to ten times the image spread (the DLT
// tells front from back by the depth of the scene against c).
py::dict CalibrateDlt(const Doubles& object_points,
                      const Doubles& image_points,
                      const std::vector<std::string>& names,
                      const std::string& model_name,
                      double width_px,
                      double height_px,
                      double image_sigma_px) {
  const DistModelInfo* info = FindDistModel(model_name);
  if (!info || (info->model == DIST_K1K2_EXT6))
    throw py::value_error(
        "the DLT of one view self-calibrates none, "
        "k1k2k3k4, k1k2p1p2 or k1k2k3p1p2, not '" +
        model_name + "'");
  CArray<CXYZ, CXYZ&> obj = ToPoints(object_points, names);
  CArray<CXYZ, CXYZ&> img = ToPoints(image_points, names);
  const double kCoplanar = 1e-9;  // thickness of a plane up to rounding
  if (ThicknessRatio(obj) < kCoplanar)
    throw py::value_error(
        "the control points are coplanar: the plane solution needs the "
        "principal distance (use calibrate with several views, or resect)");
  const CXYZ centroid = Centroid(obj);
  CDlt dlt;
  PrecisionReport precision;
  Verdict verdict;
  int ok = 0;
  double scale = 1.0;
  {
    py::gil_scoped_release release;
    double ix = 0, iy = 0;
    for (INT_PTR i = 0; i < img.GetSize(); ++i) {
      img[i].m_y = -img[i].m_y;
      ix += img[i].m_x;
      iy += img[i].m_y;
    }
    ix /= static_cast<double>(img.GetSize());
    iy /= static_cast<double>(img.GetSize());
    double image_spread = 0, object_spread = 0;
    for (INT_PTR i = 0; i < img.GetSize(); ++i) {
      image_spread += (img[i].m_x - ix) * (img[i].m_x - ix) +
                      (img[i].m_y - iy) * (img[i].m_y - iy);
      const double d = obj[i].Len(centroid);
      object_spread += d * d;
    }
    if (image_spread > 0 && object_spread > 0)
      scale = 10.0 * std::sqrt(image_spread / object_spread);
    for (INT_PTR i = 0; i < obj.GetSize(); ++i) {
      obj[i] -= centroid;
      obj[i] *= scale;
    }
    if (dlt.Create(obj, img, 0.0)) {
      switch (info->model) {
        case DIST_K1K2K3K4:
          ok = dlt.CalDltSelfCalib_k1k2k3k4();
          break;
        case DIST_K1K2P1P2:
          ok = dlt.CalDltSelfCalib_k1k2p1p2();
          break;
        case DIST_K1K2K3P1P2:
          ok = dlt.CalDltSelfCalib_k1k2k3p1p2();
          break;
        default:
          ok = dlt.CalDlt();
      }
    }
    if (ok) {
      precision = EstimatePrecision(dlt, DltInterior::kFree);
      JudgeOptions judge;
      judge.obs_sigma = image_sigma_px;
      verdict = Judge(dlt, precision, judge);
      if (info->model != DIST_NONE) {
        const PictureRect picture =
            width_px > 0 ? PictureRect{0.0, -height_px, width_px, 0.0}
                         : BoundingRect(dlt.m_ImgPoints);
        verdict.Append(Judge(CheckDistortion(dlt, picture)));
      }
    }
  }
  const std::string status = DltStatusInEnglish(dlt.m_Message);
  if (!ok)
    return Failed("spatial DLT failed" +
                  (status.empty() ? std::string() : ": " + status) +
                  " (control points coplanar or in a degenerate "
                  "configuration, or no convergence)");
  py::dict r;
  r["converged"] = true;
  PutVerdict(r, verdict);
  r["status"] = status;
  r["c"] = dlt.m_FocusMean;
  r["cx"] = dlt.m_FocusX;
  r["cy"] = dlt.m_FocusY;
  r["principal_point"] =
      Vector({dlt.m_PrincipalPoint.m_x, -dlt.m_PrincipalPoint.m_y});
  r["aspect"] = 1.0;
  r["model"] = std::string(info->name);
  const int count = info->Count();
  r["distortion"] =
      Doubles({count}, dlt.m_Dist.m_Para);  // CDist sign, px, y up
  r["distortion_names"] = ParameterNames(*info);
  CXYZ centre = dlt.m_Center / scale;
  centre += centroid;
  r["views"] = py::make_tuple(py::dict(
      py::arg("name") = "view",
      py::arg("centre") = Vector({centre.m_x, centre.m_y, centre.m_z}),
      py::arg("rotation") = FromRot(dlt.m_Rot),
      py::arg("angles") = Vector({dlt.m_Wpk.m_w, dlt.m_Wpk.m_p, dlt.m_Wpk.m_k}),
      py::arg("rms") = Vector({dlt.m_Rms.m_x, dlt.m_Rms.m_y}),
      py::arg("residuals") = PixelResiduals(dlt.m_Residuals, names)));
  r["rms"] = Vector({dlt.m_Rms.m_x, dlt.m_Rms.m_y});
  py::dict sigmas;
  for (const Parameter& p : precision.params) {
    const bool centre_sigma = p.name == "X" || p.name == "Y" || p.name == "Z";
    sigmas[py::str(p.name)] = IsUndefined(p.sigma) ? NAN
                              : centre_sigma       ? p.sigma / scale
                                                   : p.sigma;
  }
  r["sigmas"] = sigmas;
  r["sigma0"] = Figure(precision.sigma0);
  r["coefficients"] = Doubles({static_cast<py::ssize_t>(dlt.m_Dlt.GetSize())},
                              dlt.m_Dlt.GetData());
  return r;
}

// Camera calibration from several views of one target by the bundle
// adjustment, the target about its centroid as the tool does.
py::dict CalibrateViews(const Doubles& target,
                        const std::vector<std::string>& target_names,
                        const std::vector<Doubles>& views,
                        const std::vector<std::vector<std::string>>& names,
                        const std::vector<std::string>& view_names,
                        const std::string& model_name,
                        bool free_aspect,
                        double width_px,
                        double height_px,
                        double image_sigma_px) {
  const DistModelInfo* info = FindDistModel(model_name);
  if (!info)
    throw py::value_error("unknown distortion model '" + model_name + "'");
  CArray<CXYZ, CXYZ&> t = ToPoints(target, target_names);
  const CXYZ centroid = Centroid(t);
  Subtract(t, centroid);
  std::vector<CalibrationView> in(views.size());
  for (size_t k = 0; k < views.size(); ++k) {
    in[k].name = view_names[k];
    in[k].points = ToPoints(views[k], names[k]);
  }
  CalibrationOptions opt;
  opt.model = info->model;
  opt.free_aspect = free_aspect;
  opt.sigma_px = image_sigma_px;
  opt.picture_width = width_px;
  opt.picture_height = height_px;
  Calibration cal;
  {
    py::gil_scoped_release release;
    cal = Calibrate(t, in, opt);
  }
  if (cal.status == CalibrationStatus::kBadInput)
    throw py::value_error(cal.message);
  if (cal.status == CalibrationStatus::kFailed)
    return Failed("calibration from " + std::to_string(views.size()) +
                  " views failed: " + cal.message);
  py::dict r;
  r["converged"] = true;
  PutVerdict(r, cal.verdict);
  r["status"] = std::string("bundle adjustment of ") +
                std::to_string(views.size()) + " views of a " +
                (cal.planar ? "planar" : "3-D") + " target";
  r["c"] = cal.c;
  r["cx"] = cal.c;
  r["cy"] = cal.c / cal.aspect;
  r["principal_point"] = Vector({cal.x0, cal.y0});
  r["aspect"] = cal.aspect;
  r["model"] = std::string(info->name);
  r["distortion"] = Doubles({info->Count()}, cal.dist.m_Para);
  r["distortion_names"] = ParameterNames(*info);
  py::list out;
  for (size_t k = 0; k < cal.views.size(); ++k) {
    const CalibratedView& v = cal.views[k];
    CXYZ centre = v.centre;
    centre += centroid;
    out.append(py::dict(
        py::arg("name") = v.name,
        py::arg("centre") = Vector({centre.m_x, centre.m_y, centre.m_z}),
        py::arg("rotation") = FromRot(v.rot),
        py::arg("angles") = Vector({v.wpk.m_w, v.wpk.m_p, v.wpk.m_k}),
        py::arg("rms") = Vector({v.rms_x, v.rms_y}),
        // Already pixels, y down.
        py::arg("residuals") = PixelResiduals(v.residuals, names[k], 1.0)));
  }
  r["views"] = py::tuple(out);
  r["rms"] = Vector({cal.rms_x, cal.rms_y});
  r["sigmas"] = Sigmas(cal.camera);
  r["sigma0"] = Figure(cal.camera.sigma0);
  r["coefficients"] = Doubles({0});
  return r;
}

// Plane Helmert transformation target = a x - b y + c, b x + a y + d.
py::dict HelmertFit(const Doubles& target,
                    const Doubles& source,
                    const std::vector<std::string>& names,
                    double sigma) {
  CArray<CXYZ, CXYZ&> dst = ToPoints(target, names);
  CArray<CXYZ, CXYZ&> src = ToPoints(source, names);
  CHelmert h;
  int ok = 0;
  PrecisionReport precision;
  Verdict verdict;
  {
    py::gil_scoped_release release;
    h.SetPoints(dst, src);
    ok = h.CalPara();
    if (ok) {
      precision = EstimatePrecision(h);
      JudgeOptions judge;
      judge.obs_sigma = sigma;
      verdict = Judge(h, precision, judge);
    }
  }
  if (!ok)
    return Failed(
        "the normal equations are singular: the common points of the source "
        "coincide");
  py::dict r;
  r["converged"] = true;
  PutVerdict(r, verdict);
  const double a = h.m_Para[0], b = h.m_Para[1];
  r["parameters"] = Vector({a, b, h.m_Para[2], h.m_Para[3]});
  r["scale"] = std::sqrt(a * a + b * b);
  r["rotation"] = std::atan2(b, a);
  Doubles res = FromPoints(h.m_Residuals, 2);
  r["residuals"] = res;
  r["rms"] = Vector({h.m_Rms.m_x, h.m_Rms.m_y});
  r["sigmas"] = Sigmas(precision);
  r["sigma0"] = Figure(precision.sigma0);
  return r;
}

// Intersection of total-station rays: station (n, 3), a point along each
// measured direction (n, 3), standard deviations of direction and vertical
// angle (n, 2) in radians.
py::dict Intersect(const Doubles& stations,
                   const Doubles& targets,
                   const Doubles& sigmas_rad,
                   const std::vector<std::string>& names) {
  CheckShape(stations, 3, "stations");
  const long rows = static_cast<long>(stations.shape(0));
  CheckShape(targets, 3, "targets", rows);
  CheckShape(sigmas_rad, 2, "sigmas", rows);
  if (names.size() != static_cast<size_t>(rows))
    throw py::value_error("one name a ray");
  const auto s = stations.unchecked<2>();
  const auto t = targets.unchecked<2>();
  const auto g = sigmas_rad.unchecked<2>();
  const int n = static_cast<int>(s.shape(0));
  std::vector<TAbstractPoint3<double>> pts(2 * n);
  std::vector<TAbstractPoint2<double>> sig(n);
  for (int i = 0; i < n; ++i) {
    pts[2 * i] = TAbstractPoint3<double>(s(i, 0), s(i, 1), s(i, 2));
    pts[2 * i + 1] = TAbstractPoint3<double>(t(i, 0), t(i, 1), t(i, 2));
    sig[i] = TAbstractPoint2<double>(g(i, 0), g(i, 1));
  }
  RayFit fit;
  std::string why;
  {
    py::gil_scoped_release release;
    // TAdjImage reorders its copy; the iteration reads the caller's order.
    std::vector<TAbstractPoint3<double>> start_pts = pts;
    std::vector<TAbstractPoint2<double>> start_sig = sig;
    TAdjImage adj(n, start_pts.data(), start_sig.data());
    TAbstractPoint3<double> meet;
    if (!adj.IsValid()) {
      why =
          "no position: the rays are parallel in plan, all stations "
          "coincide, or fewer than two rays pass at least 0.1 units from "
          "their station";
    } else {
      std::string behind;
      if (NearestPointToLines(n, pts.data(), meet))
        for (int i = 0; i < n; ++i)
          if ((meet - pts[2 * i]) * (pts[2 * i + 1] - pts[2 * i]) < 0.0)
            behind += (behind.empty() ? "" : ", ") + names[i];
      if (!behind.empty())
        why =
            "no position: the rays' lines meet behind the station of "
            "ray(s) " +
            behind + ", opposite the observed direction";
      else
        fit = FitRays(n, pts.data(), sig.data(), adj.GetPosition());
      if (why.empty() && !fit.converged) why = "no position: " + fit.message;
    }
  }
  if (!why.empty()) return Failed(why);
  // The rules of the tool's verdict that need no refit: a position behind a
  // station is unusable; too little redundancy, residuals above the stated
  // deviations and a ray beyond the outlier limit ask for a look.
  Verdict v;
  for (int i = 0; i < n; ++i)
    if (fit.rays[i].behind)
      v.warnings.push_back(
          {VerdictReason::kBehindCamera,
           names[i],
           "ray " + names[i] + ": the position lies behind its station"});
  const int m = fit.observations, red = fit.redundancy;
  if (static_cast<double>(red) / m < kMinMeanRedundancy)
    v.warnings.push_back(
        {VerdictReason::kTooFewPoints,
         "",
         "too few rays: " + std::to_string(m) +
             " directions for 3 coordinates, redundancy " +
             std::to_string(red) +
             "; a wrong ray shows in the residuals at only a fraction of "
             "its size and cannot be named"});
  if (red > 0) {
    const double f = fit.VarianceFactor();
    if (f > ChiSquareQuantile(red, kRmsTestProbability) / red)
      v.warnings.push_back({VerdictReason::kResidualRms,
                            "",
                            "residuals too large for the rays' standard "
                            "deviations: variance factor " +
                                std::to_string(f)});
    int worst = -1;
    double w = OutlierLimit(m);
    for (int i = 0; i < n; ++i) {
      const RayResidual& x = fit.rays[i];
      const double wi = std::max(std::fabs(x.wh), std::fabs(x.wv));
      if (x.used && wi > w) {
        w = wi;
        worst = i;
      }
    }
    if (worst >= 0)
      v.warnings.push_back({VerdictReason::kOutlier,
                            names[worst],
                            "ray " + names[worst] +
                                " does not fit: normalised residual " +
                                std::to_string(w)});
  }
  py::dict r;
  r["converged"] = true;
  PutVerdict(r, v);
  const TAbstractPoint3<double>& x = fit.position;
  r["position"] = Vector({x.x, x.y, x.z});
  const double f = fit.redundancy > 0 ? fit.VarianceFactor() : 1.0;
  Doubles cov({3, 3});
  auto c = cov.mutable_unchecked<2>();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) c(i, j) = fit.covariance(i, j);
  r["covariance"] = cov;  // unit weight 1: the stated deviations
  r["variance_factor"] = f;
  Doubles res({static_cast<py::ssize_t>(n), py::ssize_t{2}});
  auto o = res.mutable_unchecked<2>();
  for (int i = 0; i < n; ++i) {
    o(i, 0) = fit.rays[i].dh;
    o(i, 1) = fit.rays[i].dv;
  }
  r["residuals"] = res;
  r["iterations"] = fit.iterations;
  return r;
}

// The calculator's projection of every row, one loop without the GIL.
py::tuple ProjectPoints(const CCrdCalculator& calc,
                        const Doubles& object_points) {
  CheckShape(object_points, 3, "object_points");
  const auto p = object_points.unchecked<2>();
  const py::ssize_t n = p.shape(0);
  Doubles pixels({n, py::ssize_t{2}});
  py::array_t<bool> visible(n);
  double* out = pixels.mutable_data();
  bool* vis = visible.mutable_data();
  {
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < n; ++i) {
      TAbstractPoint2<double> px(NAN, NAN);
      const double x = p(i, 0), y = p(i, 1), z = p(i, 2);
      // The calculator reports a NaN point as visible: refuse it here.
      vis[i] = std::isfinite(x + y + z) &&
               calc.GetPointOnImageCoords(
                   TAbstractPoint3<double>(x, y, z), px, false);
      out[2 * i] = px.x;
      out[2 * i + 1] = px.y;
    }
  }
  return py::make_tuple(pixels, visible);
}

// Unit directions in object axes of the rays through pixels (distortion
// removed).
Doubles BackProject(const CCrdCalculator& calc, const Doubles& pixels) {
  CheckShape(pixels, 2, "pixels");
  const auto p = pixels.unchecked<2>();
  const py::ssize_t n = p.shape(0);
  Doubles rays({n, py::ssize_t{3}});
  double* out = rays.mutable_data();
  {
    py::gil_scoped_release release;
    const TAbstractPoint3<double> origin = calc.GetOrigin();
    for (py::ssize_t i = 0; i < n; ++i) {
      TAbstractPoint3<double> beam, end;
      const bool ok =
          calc.CalculateBeamInCameraCoordinates(
              TAbstractPoint2<double>(p(i, 0), p(i, 1)), beam, false) &&
          calc.CalculateBeamInGeoCoordinates(beam, end);
      const double dx = end.x - origin.x, dy = end.y - origin.y,
                   dz = end.z - origin.z;
      const double len = std::sqrt(dx * dx + dy * dy + dz * dz);
      out[3 * i] = ok ? dx / len : NAN;
      out[3 * i + 1] = ok ? dy / len : NAN;
      out[3 * i + 2] = ok ? dz / len : NAN;
    }
  }
  return rays;
}

py::dict CameraDict(const ProjectCamera& c) {
  return py::dict(
      py::arg("id") = c.id,
      py::arg("focal_mm") = c.focal_mm,
      py::arg("principal_mm") = Vector({c.principal_mm[0], c.principal_mm[1]}),
      py::arg("pixel_mm") = Vector({c.pixel_mm[0], c.pixel_mm[1]}),
      py::arg("size_px") = py::make_tuple(c.width_px, c.height_px),
      py::arg("distortion_model") = c.distortion_model,
      py::arg("radial") = c.radial,
      py::arg("further") = c.further);
}

py::dict ImageDict(const ProjectImage& img) {
  std::vector<std::string> names;
  Doubles pixels(
      {static_cast<py::ssize_t>(img.control.size()), py::ssize_t{2}});
  for (size_t i = 0; i < img.control.size(); ++i) {
    names.push_back(img.control[i].point);
    pixels.mutable_data()[2 * i] = img.control[i].x_px;
    pixels.mutable_data()[2 * i + 1] = img.control[i].y_px;
  }
  py::object exterior = py::none();
  if (img.has_exterior) {
    const ExteriorOrientation& e = img.exterior;
    exterior = Vector({e.x, e.y, e.z, e.omega, e.phi, e.kappa});
  }
  return py::dict(py::arg("id") = img.id,
                  py::arg("camera") = img.camera,
                  py::arg("picture") = img.picture,
                  py::arg("exterior") = exterior,
                  py::arg("control_names") = names,
                  py::arg("control_pixels") = pixels);
}

}  // namespace

void BindFunctions(py::module_& m) {
  m.def(
      "_read_rows",
      [](const std::string& path, int min_values, int max_values) {
        std::string text, error;
        std::vector<PointRow> rows;
        if (!ReadTextFile(path, text, error) ||
            !ParsePointRows(
                text, path, min_values, max_values, rows, error, true))
          throw py::value_error(error);
        std::vector<std::string> names;
        const int width = rows.empty()
                              ? min_values
                              : static_cast<int>(rows.front().values.size());
        Doubles values({static_cast<py::ssize_t>(rows.size()),
                        static_cast<py::ssize_t>(width)});
        for (size_t i = 0; i < rows.size(); ++i) {
          names.push_back(rows[i].name);
          for (int k = 0; k < width; ++k)
            values.mutable_data()[i * width + k] = rows[i].values[k];
        }
        return py::make_tuple(names, values);
      },
      "Names and values of a point file's rows (min..max values a row, the "
      "same number in every row).");
  py::class_<Project, std::unique_ptr<Project>>(
      m, "_Project", "A loaded project file; see collinear.load_project.")
      .def_static("load",
                  [](const std::string& path) {
                    std::string error;
                    std::unique_ptr<Project> p;
                    {
                      py::gil_scoped_release release;
                      p = Project::Load(path, error);
                    }
                    if (!p) throw py::value_error(error);
                    return p;
                  })
      .def_property_readonly("name", &Project::name)
      .def_property_readonly("working_system", &Project::working_system)
      .def_property_readonly("length_unit", &Project::length_unit)
      .def_property_readonly("angle_unit", &Project::angle_unit)
      .def("cameras",
           [](const Project& p) {
             py::list out;
             for (const ProjectCamera& c : p.cameras())
               out.append(CameraDict(c));
             return out;
           })
      .def("images",
           [](const Project& p) {
             py::list out;
             for (const ProjectImage& i : p.images()) out.append(ImageDict(i));
             return out;
           })
      .def("points",
           [](const Project& p) {
             std::vector<std::string> names, systems;
             Doubles xyz(
                 {static_cast<py::ssize_t>(p.points().size()), py::ssize_t{3}});
             for (size_t i = 0; i < p.points().size(); ++i) {
               const ProjectPoint& q = p.points()[i];
               names.push_back(q.name);
               systems.push_back(q.system);
               std::copy(q.coords, q.coords + 3, xyz.mutable_data() + 3 * i);
             }
             return py::make_tuple(names, xyz, systems);
           })
      .def("calculator", [](const Project& p, const std::string& image_id) {
        const ProjectImage* img = p.FindImage(image_id);
        if (!img)
          throw py::value_error(p.source() + ": no image '" + image_id + "'");
        CCrdCalculator c;
        c.InitFromAnyImage(img->object.get());
        return c;
      });
  m.def("_resect",
        &ResectPixels,
        py::arg("object_points"),
        py::arg("image_points"),
        py::arg("names"),
        py::arg("focal"),
        py::arg("ppx"),
        py::arg("ppy"),
        py::arg("distortion"),
        py::arg("image_sigma"),
        "Space resection in pixels; see collinear.resect.");
  m.def("_calibrate_dlt", &CalibrateDlt);
  m.def("_calibrate_views", &CalibrateViews);
  m.def("_helmert", &HelmertFit);
  m.def("_intersect", &Intersect);
  m.def("_project",
        &ProjectPoints,
        py::arg("calculator"),
        py::arg("object_points"),
        "Pixels (n, 2) and visibility (n,) of object points (n, 3).");
  m.def("_backproject",
        &BackProject,
        py::arg("calculator"),
        py::arg("pixels"),
        "Unit ray directions (n, 3), object axes, through pixels (n, 2).");
}

}  // namespace collinear::python
