// The computations of the Pythonic layer, registered as private functions
// (_resect, ...) of the extension module.
#ifndef COLLINEAR_PYTHON_SRC_FUNCTIONS_H_
#define COLLINEAR_PYTHON_SRC_FUNCTIONS_H_

#include <pybind11/pybind11.h>

namespace collinear::python {

void BindFunctions(pybind11::module_& m);

}  // namespace collinear::python

#endif  // COLLINEAR_PYTHON_SRC_FUNCTIONS_H_
