// CDlt on fuzzer-chosen control points: a control input (fuzz_input.h)
// with the options @focus f, @op n (0 CalDlt, 1 CalDlt3D, 2 CalDlt2D,
// 3 CalDltIte3D, 4-6 the self-calibrations k1k2k3k4, k1k2p1p2,
// k1k2k3p1p2), @iter (iteration limit, at most the default 60), @tol
// (relative and absolute tolerance of sigma0) and @disttol (tolerance of the
// projections with distortion). A solution reported as found must hold 11
// or 8 finite coefficients; a failed one none.
#include <cmath>
#include <cstdint>

#include <collinear/orientation/dlt.h>
#include <collinear/orientation/test_scenes.h>
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Input in = fuzz::Parse(data, size);
  CArray<CXYZ, CXYZ&> obj, img;
  fuzz::ToControl(in, obj, img);

  CDlt dlt;
  dlt.m_MaxIter = in.OptInt("iter", dlt.m_MaxIter, 0, dlt.m_MaxIter);
  dlt.m_RelTol = in.Opt("tol", 0, dlt.m_RelTol);
  dlt.m_SigmaTol = in.Opt("tol", 1, dlt.m_SigmaTol);
  dlt.Create(obj, img, in.Opt("focus", 0, 1.0));
  const int op = in.OptInt("op", 0, 0, 6);
  const int found = (dlt.*collinear::testdata::kDltSolvers[op])();
  const INT_PTR count = dlt.m_Dlt.GetSize();
  if (found == 1) {
    fuzz::Check(count == 11 || count == 8, "solution without coefficients");
    for (INT_PTR k = 0; k < count; ++k)
      fuzz::Check(std::isfinite(dlt.m_Dlt[k]), "non-finite coefficient");
    // Principal distances of no real camera (NaN from a negative radicand,
    // or 0) carry NaN into the rotation by design.
    const bool real = dlt.m_FocusX > 0.0 && dlt.m_FocusY > 0.0;
    fuzz::Check(fuzz::Finite(dlt.m_Center), "non-finite centre");
    fuzz::Check(
        !real || (std::isfinite(dlt.m_Wpk.m_w) &&
                  std::isfinite(dlt.m_Wpk.m_p) && std::isfinite(dlt.m_Wpk.m_k)),
        "non-finite angles");
    fuzz::Check(!std::isnan(dlt.m_Rms.m_x) && !std::isnan(dlt.m_Rms.m_y),
                "NaN rms");
  } else {
    fuzz::Check(count == 0, "failed solution left coefficients");
  }
  const double dist_tol = in.Opt("disttol", 0, 1e-12);
  for (INT_PTR i = 0; i < dlt.m_ObjPoints.GetSize(); ++i) {
    CXYZ p;
    dlt.ObjToPhc(dlt.m_ObjPoints[i], p, 1, dist_tol);
  }
  const CDlt copy(dlt);
  CDlt assigned;
  assigned = copy;
  return 0;
}
