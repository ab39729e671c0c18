// CHelmert on fuzzer-chosen point lists. Sections: target points "name X
// Y", source points "name x y", points to transform both ways. A fit
// reported as found must hold finite parameters and a residual per pair.
#include <cmath>
#include <cstdint>

#include <collinear/orientation/helmert.h>
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Input in = fuzz::Parse(data, size);
  CArray<CXYZ, CXYZ&> dst, src, extra;
  fuzz::ToPoints(in.At(0), 0, dst);
  fuzz::ToPoints(in.At(1), 0, src);
  fuzz::ToPoints(in.At(2), 0, extra);

  CHelmert h;
  const int pairs = h.SetPoints(dst, src);
  fuzz::Check(
      pairs == h.m_DstPoints.GetSize() && pairs == h.m_SrcPoints.GetSize(),
      "pair lists differ");
  if (h.CalPara() == 1) {
    fuzz::Check(h.m_Para.GetSize() == 4, "fit without 4 parameters");
    for (int k = 0; k < 4; ++k)
      fuzz::Check(std::isfinite(h.m_Para[k]), "fit holds a non-finite value");
    fuzz::Check(h.m_Residuals.GetSize() == pairs, "residual count");
    fuzz::Check(!std::isnan(h.m_Rms.m_x) && !std::isnan(h.m_Rms.m_y),
                "fit with NaN rms");
  } else {
    fuzz::Check(h.m_Para.GetSize() == 0, "failed fit left parameters");
  }
  const CHelmert copy(h);
  for (INT_PTR i = 0; i < extra.GetSize(); ++i) {
    CXYZ out;
    h.Transform(extra[i], out, 1);
    h.Transform(extra[i], out, 0);
  }
  CHelmert assigned;
  assigned = copy;
  return 0;
}
