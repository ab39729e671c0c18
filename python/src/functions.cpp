// The computations behind the Pythonic layer (collinear/__init__.py): each
// takes checked numpy arrays, frames them as the tool does, runs the
// library's solver with the GIL released, and returns a dict of plain
// values that the Python layer turns into a result object.
#include "functions.h"

#include <cmath>
#include <map>
#include <string>
#include <utility>

#include <pybind11/stl.h>

#include <collinear/orientation/resection_start.h>
#include <collinear/orientation/sinori.h>
#include <collinear/primitives/constants.h>
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
  const double n = static_cast<double>(points.GetSize());
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

// Residuals in the order of names, y negated to the pixel frame (y down).
Doubles PixelResiduals(const CArray<CXYZ, CXYZ&>& residuals,
                       const std::vector<std::string>& names) {
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
    o(it->second, 1) = -residuals[i].m_y;
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

}  // namespace

void BindFunctions(py::module_& m) {
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
}

}  // namespace collinear::python
