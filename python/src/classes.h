// The library's exported classes under their own names and fields, for the
// Python user who wants the C++ API: fields are read/write properties,
// CArray fields lists (of points) or tuples (of numbers), CString fields str.
#ifndef COLLINEAR_PYTHON_SRC_CLASSES_H_
#define COLLINEAR_PYTHON_SRC_CLASSES_H_

#include <pybind11/pybind11.h>

namespace collinear::python {

void BindClasses(pybind11::module_& m);

}  // namespace collinear::python

#endif  // COLLINEAR_PYTHON_SRC_CLASSES_H_
