// Root class of the framework layer: only a virtual destructor, so that
// derived objects can be deleted through a CObject pointer.
#ifndef COLLINEAR_FRAMEWORK_OBJECT_H_
#define COLLINEAR_FRAMEWORK_OBJECT_H_

#include <collinear/framework/export.h>

class COLLINEAR_API CObject {
 public:
  CObject() = default;
  CObject(const CObject&) = default;
  CObject& operator=(const CObject&) = default;
  virtual ~CObject();
};

#endif  // COLLINEAR_FRAMEWORK_OBJECT_H_
