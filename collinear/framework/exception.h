// The invalid-argument error of the framework layer. It is the only
// exception that libcollinear raises: an element index outside an array, a
// negative size, or a row written without its leading column.
#ifndef COLLINEAR_FRAMEWORK_EXCEPTION_H_
#define COLLINEAR_FRAMEWORK_EXCEPTION_H_

#include <stdexcept>

#include <collinear/framework/export.h>

class COLLINEAR_API CInvalidArgException : public std::invalid_argument {
 public:
  CInvalidArgException();
  ~CInvalidArgException() override;
};

// Throws CInvalidArgException. Never returns.
[[noreturn]] COLLINEAR_API void AfxThrowInvalidArgException();

#endif  // COLLINEAR_FRAMEWORK_EXCEPTION_H_
