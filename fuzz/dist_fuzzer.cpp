// CDist with fuzzer-chosen model and parameters: @model m, @para p0..p9,
// @tol t (inverse search tolerance), @sample step count (ParaToDist).
// Section 0: points "name x y" to correct and to invert; section 1: curve
// samples "name radius value" to fit. An inversion reported as converged,
// and a fit reported as found, must hold no NaN.
#include <cmath>
#include <cstdint>

#include <collinear/distortion/dist.h>
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Input in = fuzz::Parse(data, size);
  CDist d;
  d.SetDistModel(static_cast<DIST_MODEL>(in.OptInt("model", 1, -1, 5)));
  for (int k = 0; k < 10; ++k) d.m_Para[k] = in.Opt("para", k, 0.0);
  const double tol = in.Opt("tol", 0, 1e-12);
  for (const fuzz::Row& r : in.At(0)) {
    double dx = 0.0, dy = 0.0;
    d.CalDist(r.At(0), r.At(1), dx, dy);
    if (d.CalDistInv(r.At(0), r.At(1), dx, dy, tol) == 1)
      fuzz::Check(!std::isnan(dx) && !std::isnan(dy), "converged to NaN");
  }
  CDist curve(d);
  curve.ParaToDist(in.Opt("sample", 0, 0.5), in.OptInt("sample", 0, 0, 64, 1));
  CDist fit;
  for (const fuzz::Row& r : in.At(1)) fit.AddDist(r.At(0), r.At(1));
  if (fit.DistToPara() == 1) {
    for (int k = 0; k < 4; ++k)
      fuzz::Check(std::isfinite(fit.m_Para[k]), "fit holds non-finite value");
  }
  curve.DistToPara();
  return 0;
}
