// Calibration from several views of a plane against OpenCV's
// calibrateCamera on the same synthetic data: a 10 x 10 grid seen from
// random tilted poses by a 1280 x 960 camera with radial distortion
// (OpenCV's k1, k2, k3), 0.3 px Gaussian noise, 5, 20 and 200 views. OpenCV
// fits fx = fy, the principal point and k1, k2, k3 (tangential terms fixed
// at 0); collinear fits c, the principal point and k1..k4 of its radial
// correction. Counters: RMS residual per coordinate (px) and the error of
// the principal distance (px). OpenCV's dense adjustment takes minutes at
// 200 views: filter with --benchmark_filter=/20/ for a quick run.
//
// The second argument is the lens that makes the data: 0 OpenCV's own
// forward polynomial (k1 -0.2, k2 0.08, k3 -0.01: OpenCV's model fits it
// exactly, collinear's correction only approximates its inverse), 1 a
// division-model lens, r_ideal = r / (1 - 0.25 r^2) in normalised units,
// which neither polynomial matches exactly.
#include <cmath>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <collinear/calibration/calibration.h>

namespace {

constexpr double kFocusPx = 1000.0, kCxPx = 640.0, kCyPx = 480.0;
constexpr double kWidthPx = 1280.0, kHeightPx = 960.0;
constexpr double kNoisePx = 0.3;
constexpr int kGrid = 10;            // points per side
constexpr double kSpacingMm = 30.0;  // grid pitch

struct Data {
  std::vector<std::vector<cv::Point3f>> obj;
  std::vector<std::vector<cv::Point2f>> img;
  CArray<CXYZ, CXYZ&> target;
  std::vector<collinear::CalibrationView> views;
};

// The division-model lens: the distorted normalised radius of an ideal
// one, from r_u = r_d / (1 + lambda r_d^2), lambda < 0 (barrel).
double DivisionRadius(double r_u) {
  constexpr double kLambda = -0.25;
  if (r_u < 1e-12) return r_u;
  return (std::sqrt(1.0 - 4.0 * kLambda * r_u * r_u) - 1.0) /
         (-2.0 * kLambda * r_u);
}

Data MakeData(int n_views, int lens) {
  Data d;
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> tilt(-0.5, 0.5), roll(-0.3, 0.3);
  std::uniform_real_distribution<double> dist(450.0, 650.0);
  std::normal_distribution<double> noise(0.0, kNoisePx);
  const cv::Matx33d k(kFocusPx, 0, kCxPx, 0, kFocusPx, kCyPx, 0, 0, 1);
  const std::vector<double> dc = {-0.2, 0.08, 0.0, 0.0, -0.01};
  std::vector<cv::Point3f> grid;
  for (int i = 0; i < kGrid; ++i)
    for (int j = 0; j < kGrid; ++j) {
      const double x = (i - 4.5) * kSpacingMm, y = (j - 4.5) * kSpacingMm;
      grid.emplace_back(x, y, 0.0);
      const std::string name = "g" + std::to_string(i * kGrid + j);
      CXYZ p(name.c_str(), x, y, 0.0);
      d.target.Add(p);
    }
  while (static_cast<int>(d.img.size()) < n_views) {
    const cv::Vec3d rvec(tilt(rng), tilt(rng), roll(rng));
    const cv::Vec3d tvec(0.0, 0.0, dist(rng));
    std::vector<cv::Point2f> px;
    if (lens == 0) {
      cv::projectPoints(grid, rvec, tvec, k, dc, px);
    } else {
      cv::projectPoints(grid, rvec, tvec, k, std::vector<double>(), px);
      for (cv::Point2f& q : px) {
        const double x = (q.x - kCxPx) / kFocusPx, y = (q.y - kCyPx) / kFocusPx;
        const double r = std::hypot(x, y), s = DivisionRadius(r) / r;
        q.x = static_cast<float>(kCxPx + kFocusPx * x * (r > 0 ? s : 1.0));
        q.y = static_cast<float>(kCyPx + kFocusPx * y * (r > 0 ? s : 1.0));
      }
    }
    collinear::CalibrationView view;
    view.name = "v" + std::to_string(d.img.size() + 1);
    bool inside = true;
    for (size_t i = 0; i < px.size(); ++i) {
      px[i].x += static_cast<float>(noise(rng));
      px[i].y += static_cast<float>(noise(rng));
      inside = inside && px[i].x > 0 && px[i].x < kWidthPx && px[i].y > 0 &&
               px[i].y < kHeightPx;
      CXYZ p(d.target[i].m_strName, px[i].x, px[i].y, 0.0);
      view.points.Add(p);
    }
    if (!inside) continue;
    d.obj.push_back(grid);
    d.img.push_back(px);
    d.views.push_back(std::move(view));
  }
  return d;
}

void BM_Collinear(benchmark::State& state) {
  const Data d = MakeData(static_cast<int>(state.range(0)),
                          static_cast<int>(state.range(1)));
  collinear::CalibrationOptions opt;
  opt.model = DIST_K1K2K3K4;
  opt.picture_width = kWidthPx;
  opt.picture_height = kHeightPx;
  collinear::Calibration cal;
  for (auto _ : state) {
    cal = collinear::Calibrate(d.target, d.views, opt);
    benchmark::ClobberMemory();
  }
  if (!cal.Ok()) state.SkipWithError(cal.message.c_str());
  state.counters["rms_px"] = cal.Rms();
  state.counters["c_err_px"] = cal.c - kFocusPx;
  state.counters["iterations"] = cal.iterations;
}

void BM_OpenCV(benchmark::State& state) {
  const Data d = MakeData(static_cast<int>(state.range(0)),
                          static_cast<int>(state.range(1)));
  const cv::Size size(static_cast<int>(kWidthPx), static_cast<int>(kHeightPx));
  double rms = 0.0;
  cv::Mat k;
  for (auto _ : state) {
    k = cv::Mat::eye(3, 3, CV_64F);
    cv::Mat dc;
    std::vector<cv::Mat> rvecs, tvecs;
    rms = cv::calibrateCamera(
        d.obj,
        d.img,
        size,
        k,
        dc,
        rvecs,
        tvecs,
        cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_FIX_TANGENT_DIST);
    benchmark::ClobberMemory();
  }
  // OpenCV's figure is over points (both coordinates); per coordinate:
  state.counters["rms_px"] = rms / std::sqrt(2.0);
  state.counters["c_err_px"] = k.at<double>(0, 0) - kFocusPx;
}

BENCHMARK(BM_Collinear)
    ->ArgsProduct({{5, 20, 200}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenCV)
    ->ArgsProduct({{5, 20, 200}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
