// The C++ side of bench/python_overhead.py: the same work as the Python
// calls it times, on the same deterministic scenes. CDlt::CalDlt on 100
// points, and the calculator's projection of 1,000,000 points into two
// arrays, as collinear.project does.
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include <collinear/calculator/crd_calculator.h>
#include <collinear/orientation/dlt.h>

namespace {

// Point i of the scenes: a 3-D field (python_overhead.py builds the same).
void ScenePoint(int i, double& x, double& y, double& z) {
  x = std::fmod(i * 7.31, 100.0) - 50.0;
  y = std::fmod(i * 3.77, 80.0) - 40.0;
  z = std::fmod(i * 1.93, 10.0);
}

// A camera 120 units above the field looking down: f 3000 px, principal
// point (2010.5, 1490.2), picture 4000 x 3000, 1 mm pixels.
CCrdCalculator Camera() {
  CCrdCalculator c;
  c.m_FocusR = 3000.0;
  c.m_PrincipalPoint = {2010.5, 1490.2};
  c.m_MmPerPixel = {1.0, 1.0};
  c.SetPictureRect(TAbstractRect<double>(0.0, 0.0, 4000.0, 3000.0));
  c.m_Origin = {3.0, -4.0, 120.0};
  const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  c.SetConversionMatr(identity);
  return c;
}

void BM_CalDlt100(benchmark::State& state) {
  const CCrdCalculator cam = Camera();
  CArray<CXYZ, CXYZ&> obj, img;
  for (int i = 0; i < 100; ++i) {
    double x = 0, y = 0, z = 0;
    ScenePoint(i, x, y, z);
    TAbstractPoint2<double> px;
    cam.GetPointOnImageCoords(TAbstractPoint3<double>(x, y, z), px, false);
    const std::string name = "P" + std::to_string(i);
    CXYZ o(name.c_str(), x, y, z), m(name.c_str(), px.x, -px.y, 0.0);
    obj.Add(o);
    img.Add(m);
  }
  CDlt dlt;
  if (dlt.Create(obj, img, 0.0) != 1 || dlt.CalDlt() != 1) std::abort();
  for (auto _ : state) benchmark::DoNotOptimize(dlt.CalDlt());
}

void BM_Project1M(benchmark::State& state) {
  const CCrdCalculator cam = Camera();
  const int n = 1000000;
  std::vector<double> points(3 * n);
  for (int i = 0; i < n; ++i)
    ScenePoint(i, points[3 * i], points[3 * i + 1], points[3 * i + 2]);
  for (auto _ : state) {
    // A new result each call, as collinear.project returns new arrays.
    std::unique_ptr<double[]> pixels(new double[2 * n]);
    std::unique_ptr<bool[]> in_front(new bool[n]);
    for (int i = 0; i < n; ++i) {
      TAbstractPoint2<double> px(NAN, NAN);
      const double x = points[3 * i], y = points[3 * i + 1],
                   z = points[3 * i + 2];
      in_front[i] = std::isfinite(x + y + z) &&
                    cam.GetPointOnImageCoords(
                        TAbstractPoint3<double>(x, y, z), px, false);
      pixels[2 * i] = px.x;
      pixels[2 * i + 1] = px.y;
    }
    benchmark::DoNotOptimize(pixels.get());
    benchmark::DoNotOptimize(in_front.get());
  }
}

}  // namespace

BENCHMARK(BM_CalDlt100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Project1M)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
