// The extension module collinear._collinear: the library's classes and the
// computations of the Pythonic layer. The invalid-argument error of the
// array index check (CInvalidArgException) becomes IndexError.
#include <pybind11/pybind11.h>

#include <collinear/framework/exception.h>

#include "classes.h"
#include "functions.h"

PYBIND11_MODULE(_collinear, m) {
  m.doc() =
      "Compiled part of the collinear package: the library's classes and "
      "solvers. Use the package collinear.";
  // pybind11 takes a translator void (*)(std::exception_ptr), by value.
  // NOLINTNEXTLINE(performance-unnecessary-value-param)
  pybind11::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const CInvalidArgException& e) {
      PyErr_SetString(PyExc_IndexError,
                      "index out of range: the invalid-argument error of the "
                      "array index check");
    }
  });
  collinear::python::BindClasses(m);
  collinear::python::BindFunctions(m);
}
