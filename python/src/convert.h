// Conversions between the library's containers and Python: point arrays
// (n, 2) and (n, 3) float64 to CArray<CXYZ> and back, status texts and
// verdicts as English str.
#ifndef COLLINEAR_PYTHON_SRC_CONVERT_H_
#define COLLINEAR_PYTHON_SRC_CONVERT_H_

#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <collinear/framework/array.h>
#include <collinear/primitives/rot.h>
#include <collinear/primitives/xyz.h>
#include <collinear/quality/verdict.h>

namespace collinear::python {

namespace py = pybind11;

// A C-contiguous float64 array: what the vectorised functions read.
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Throws ValueError unless a is an (n, cols) array (any n when rows < 0).
void CheckShape(const Doubles& a, int cols, const char* what, long rows = -1);

// Rows of an (n, 2) or (n, 3) array as named points (z = 0 for 2 columns);
// names[i] names row i. ValueError when the counts differ.
CArray<CXYZ, CXYZ&> ToPoints(const Doubles& rows,
                             const std::vector<std::string>& names);

// An (n, 2) or (n, 3) array of the points' coordinates.
Doubles FromPoints(const CArray<CXYZ, CXYZ&>& points, int dims);

// A 3 x 3 array of the rotation, row by row.
Doubles FromRot(const CRot& rot);

// "ok", "look" or "unusable", the tool's verdict words.
std::string VerdictWord(const Verdict& verdict);
// One line per warning, "[code] message" as the tool's report prints them.
std::vector<std::string> VerdictReasons(const Verdict& verdict);
// "" when usable, else the tool's failure text ("the result is unusable:
// [code] message; ...").
std::string VerdictFailure(const Verdict& verdict);

}  // namespace collinear::python

#endif  // COLLINEAR_PYTHON_SRC_CONVERT_H_
