#include "convert.h"

#include <cstring>

namespace collinear::python {

void CheckShape(const Doubles& a, int cols, const char* what, long rows) {
  if (a.ndim() != 2 || a.shape(1) != cols || (rows >= 0 && a.shape(0) != rows))
    throw py::value_error(
        std::string(what) + " must be an (n, " + std::to_string(cols) +
        ") array" +
        (rows >= 0 ? " of " + std::to_string(rows) + " rows" : std::string()));
}

CArray<CXYZ, CXYZ&> ToPoints(const Doubles& rows,
                             const std::vector<std::string>& names) {
  if (rows.ndim() != 2 || rows.shape(1) < 2 || rows.shape(1) > 3 ||
      rows.shape(0) != static_cast<py::ssize_t>(names.size()))
    throw py::value_error(
        "points must be an (n, 2) or (n, 3) array with one name a row");
  const auto r = rows.unchecked<2>();
  const bool flat = r.shape(1) == 2;
  CArray<CXYZ, CXYZ&> points;
  points.SetSize(r.shape(0));
  for (py::ssize_t i = 0; i < r.shape(0); ++i) {
    CXYZ& p = points[i];
    p.m_strName = names[i];
    p.SetXYZ(r(i, 0), r(i, 1), flat ? 0.0 : r(i, 2));
  }
  return points;
}

Doubles FromPoints(const CArray<CXYZ, CXYZ&>& points, int dims) {
  Doubles out({static_cast<py::ssize_t>(points.GetSize()),
               static_cast<py::ssize_t>(dims)});
  auto o = out.mutable_unchecked<2>();
  for (INT_PTR i = 0; i < points.GetSize(); ++i) {
    const double xyz[] = {points[i].m_x, points[i].m_y, points[i].m_z};
    for (int k = 0; k < dims && k < 3; ++k) o(i, k) = xyz[k];
  }
  return out;
}

Doubles FromRot(const CRot& rot) {
  Doubles out({3, 3});
  std::memcpy(out.mutable_data(), rot.m_r, sizeof rot.m_r);
  return out;
}

std::string VerdictWord(const Verdict& verdict) {
  if (verdict.Unusable()) return "unusable";
  return verdict.Ok() ? "ok" : "look";
}

std::vector<std::string> VerdictReasons(const Verdict& verdict) {
  std::vector<std::string> lines;
  for (const Warning& w : verdict.warnings)
    lines.push_back(std::string("[") + VerdictReasonCode(w.reason) + "] " +
                    w.message);
  return lines;
}

std::string VerdictFailure(const Verdict& verdict) {
  if (!verdict.Unusable()) return "";
  std::string error = "the result is unusable:";
  for (const Warning& w : verdict.warnings)
    if (KindOf(w.reason) == VerdictKind::kUnusable)
      error += std::string(error.back() == ':' ? " [" : "; [") +
               VerdictReasonCode(w.reason) + "] " + w.message;
  return error;
}

}  // namespace collinear::python
