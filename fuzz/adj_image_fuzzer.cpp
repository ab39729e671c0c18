// TAdjImage on fuzzer-chosen rays: rows "name Xs Ys Zs Xt Yt Zt sh sv"
// (station, second point, direction sigmas in radians), the form of the ray
// files; @n takes only the first n rays. A position reported valid must be
// finite with a finite covariance; the rays are only reordered.
#include <cmath>
#include <cstdint>
#include <vector>

#include <collinear/adjust/adj_image.h>
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Input in = fuzz::Parse(data, size);
  const fuzz::Section& rays = in.At(0);
  const int rows = static_cast<int>(rays.size());
  const int n = in.OptInt("n", rows, 0, rows);
  std::vector<TAbstractPoint3<double>> points(2 * rays.size() + 2);
  std::vector<TAbstractPoint2<double>> sigmas(rays.size() + 1);
  for (size_t i = 0; i < rays.size(); ++i) {
    const fuzz::Row& r = rays[i];
    points[2 * i] = TAbstractPoint3<double>(r.At(0), r.At(1), r.At(2));
    points[2 * i + 1] = TAbstractPoint3<double>(r.At(3), r.At(4), r.At(5));
    sigmas[i].x = r.At(6);
    sigmas[i].y = r.At(7);
  }
  const TAdjImage adj(n, points.data(), sigmas.data());
  if (adj.IsValid()) {
    const TAbstractPoint3<double> p = adj.GetPosition();
    fuzz::Check(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z),
                "valid position not finite");
    const covar c = adj.GetCovarMatrix();
    for (int k = 0; k < 6; ++k)
      fuzz::Check(std::isfinite(c[k]), "valid covariance not finite");
  }
  TAdjImage copy(adj);
  copy = adj;
  return 0;
}
