// CSinOri on fuzzer-chosen control points: a control input (fuzz_input.h)
// with the options @focus f, @op n (0 CalSinOri2, 1 CalSinOri), @rot
// (angle convention 0-4) and @iter (iteration limit, at most the default
// 20). A resection reported as found must hold a finite pose and rms.
#include <cmath>
#include <cstdint>

#include <collinear/orientation/sinori.h>
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Input in = fuzz::Parse(data, size);
  CArray<CXYZ, CXYZ&> obj, img;
  fuzz::ToControl(in, obj, img);

  CSinOri s;
  s.m_MaxIter = in.OptInt("iter", s.m_MaxIter, 0, s.m_MaxIter);
  s.m_RotSystem =
      static_cast<ROT_SYSTEM>(in.OptInt("rot", s.m_RotSystem, 0, 4));
  s.Create(obj, img, in.Opt("focus", 0, 1.0));
  const int found =
      in.OptInt("op", 0, 0, 1) == 0 ? s.CalSinOri2() : s.CalSinOri();
  if (found == 1) {
    fuzz::Check(fuzz::Finite(s.m_Center), "non-finite centre");
    fuzz::Check(std::isfinite(s.m_Wpk.m_w) && std::isfinite(s.m_Wpk.m_p) &&
                    std::isfinite(s.m_Wpk.m_k),
                "non-finite angles");
    for (double r : s.m_Rot.m_r)
      fuzz::Check(std::isfinite(r), "non-finite rotation");
    fuzz::Check(!std::isnan(s.m_Rms.m_x) && !std::isnan(s.m_Rms.m_y),
                "NaN rms");
  }
  for (INT_PTR i = 0; i < s.m_ObjPoints.GetSize(); ++i) {
    CXYZ p;
    s.ObjToPhc(s.m_ObjPoints[i], p);
  }
  const CSinOri copy(s);
  CSinOri assigned;
  assigned = copy;
  return 0;
}
