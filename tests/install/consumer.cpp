// Uses the installed library through its umbrella header only.
#include <collinear/collinear.h>

#include <cstdio>

int main() {
  CArray<double, double> values;
  values.Add(1.0);
  try {
    values[1] = 2.0;  // outside: must raise the library's error
    return 1;
  } catch (const CInvalidArgException&) {
  }
  covar c;
  c[0] = 4.0;
  c[2] = 2.0;
  c[5] = 1.0;
  if (InvertSMatr3(c) < 0 || c[0] != 0.25) return 1;
  std::puts("consumer: ok");
  return 0;
}
