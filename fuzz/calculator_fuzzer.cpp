// CCrdCalculator with a fuzzer-chosen camera, orientation and distortion:
// @focus f, @pixel mx my, @pp px py (mm), @rect left top right bottom,
// @model m, @para p0..p7, @origin x y z, @dir dx dy dz, @matrix m0..m8
// (replaces the viewing rotation), @bitmap h0..h8 and @bsize w h (a
// transformed bitmap). Rows "name x y z" are projected as object points
// and taken as pixels (x, y) and photo points through the image chain, the
// inverse distortion search included. Failures must leave outputs alone.
#include <cmath>
#include <cstdint>

#include <collinear/calculator/crd_calculator.h>
#include <collinear/primitives/constants.h>
#include "fuzz_input.h"

namespace {

using P2 = TAbstractPoint2<double>;
using P3 = TAbstractPoint3<double>;

constexpr double kMarker = -12345.5;  // output pre-fill of failure paths

bool IsMarker(const P2& p) { return p.x == kMarker && p.y == kMarker; }

P3 Opt3(const fuzz::Input& in, const char* key, const P3& fallback) {
  return P3(in.Opt(key, 0, fallback.x),
            in.Opt(key, 1, fallback.y),
            in.Opt(key, 2, fallback.z));
}

void Setup(const fuzz::Input& in, CCrdCalculator& c) {
  c.m_FocusR = in.Opt("focus", 0, c.m_FocusR);
  c.m_MmPerPixel.x = in.Opt("pixel", 0, c.m_MmPerPixel.x);
  c.m_MmPerPixel.y = in.Opt("pixel", 1, c.m_MmPerPixel.y);
  c.m_PrincipalPoint.x = in.Opt("pp", 0, c.m_PrincipalPoint.x);
  c.m_PrincipalPoint.y = in.Opt("pp", 1, c.m_PrincipalPoint.y);
  const TAbstractRect<double> r = c.GetPictureRect();
  c.SetPictureRect(TAbstractRect<double>(in.Opt("rect", 0, r.left),
                                         in.Opt("rect", 1, r.top),
                                         in.Opt("rect", 2, r.right),
                                         in.Opt("rect", 3, r.bottom)));
  double para[8];
  for (int k = 0; k < 8; ++k) para[k] = in.Opt("para", k, 0.0);
  c.SetDistortionModelData(
      static_cast<unsigned long>(in.OptInt("model", 0, 0, 8)), 8, para);
  if (in.options.count("origin") || in.options.count("dir"))
    c.InitOrientation(Opt3(in, "origin", P3(0.0)),
                      Opt3(in, "dir", P3(1.0, 0.0, 0.0)));
  if (in.options.count("matrix")) {
    double m[9];
    for (int k = 0; k < 9; ++k) m[k] = in.Opt("matrix", k, k % 4 ? 0.0 : 1.0);
    c.SetConversionMatr(m);
  }
  if (in.options.count("bitmap")) {
    double h[9];
    for (int k = 0; k < 9; ++k) h[k] = in.Opt("bitmap", k, k % 4 ? 0.0 : 1.0);
    ImgAn::Bitmap b;
    b.SetProjective(h);
    b.FitOutput(in.OptInt("bsize", 640, 0, 1 << 20),
                in.OptInt("bsize", 480, 0, 1 << 20, 1));
    c.SetTransfBitmapData(b);
  }
}

void Exercise(const CCrdCalculator& c, const fuzz::Row& row) {
  const P3 point(row.At(0), row.At(1), row.At(2));
  const P2 pixel(row.At(0), row.At(1));
  for (bool flag : {false, true}) {
    P2 out(kMarker, kMarker);
    const bool seen = c.GetPointOnImageCoords(point, out, flag);
    if (!c.IsCameraValid() || !c.IsOrientationValid() ||
        DefTriad::IsPartialUndef(point)) {
      fuzz::Check(!seen && IsMarker(out), "projection without its inputs");
    }
    c.Orig2Transf(pixel, flag, !flag);
    c.Transf2Orig(pixel, flag, flag);
    P3 beam(kMarker), geo(kMarker);
    if (c.CalculateBeamInCameraCoordinates(pixel, beam, flag))
      c.CalculateBeamInGeoCoordinates(beam, geo);
  }
  c.Phc2Imc(c.Imc2Phc(pixel));
  c.Phc2ImcProj(c.Imc2PhcProj(pixel));
  c.TransfImc2OrigImc(c.OrigImc2TransfImc(pixel));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Input in = fuzz::Parse(data, size);
  CCrdCalculator c;
  Setup(in, c);
  for (const fuzz::Row& row : in.At(0)) Exercise(c, row);
  P2 sight(kMarker, kMarker);
  c.GetSightOnImageCoords(sight, false);
  double para[8];
  c.GetDistortionModelData(8, para);

  CCrdCalculator copy(c);
  for (const fuzz::Row& row : in.At(0)) {
    const double from[3] = {row.At(0), row.At(1), row.At(2)};
    const double to[3] = {row.At(3), row.At(4), row.At(5)};
    if (copy.CalcConversionMatrix(from, to, nullptr)) Exercise(copy, row);
  }
  CCrdCalculator* pair[2] = {&c, &copy};
  CCrdCalculator base;
  base.CalcBaseMatrix(2, pair, nullptr);
  return 0;
}
