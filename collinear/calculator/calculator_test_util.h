// Test support, not installed: a calculator set up as a host sets it up.
#ifndef COLLINEAR_CALCULATOR_CALCULATOR_TEST_UTIL_H_
#define COLLINEAR_CALCULATOR_CALCULATOR_TEST_UTIL_H_

#include <cstdint>

#include <collinear/calculator/crd_calculator.h>
#include <collinear/calculator/host/property_object.h>
#include <collinear/geo/geo_host.h>

namespace collinear::test_support {

// A calculator that converts points into the working coordinate-system
// object crs, of the kind that crs gives.
inline CCrdCalculator WorkingIn(IPropertyObject* crs) {
  CCrdCalculator c;
  std::int32_t kind = 0;
  crs->get_raw_value(kGeoPropKind, &kind, 0);
  c.m_CrdSysType = kind;
  c.m_CrdSysObject = TComPropertyObject(crs);
  return c;
}

}  // namespace collinear::test_support

#endif  // COLLINEAR_CALCULATOR_CALCULATOR_TEST_UTIL_H_
