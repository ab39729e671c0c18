// Inverse and forward lens distortion of the calculator against OpenCV,
// and the calculator's inverse-distortion search against its plain
// step-by-step form. Phc2Imc (photo mm -> pixel, an iterative inverse of
// the distortion) is compared with cv::undistortPoints (iterative, tight
// criteria), Imc2Phc (pixel -> photo mm, closed form) with
// cv::projectPoints, for a 35 mm lens on a 6000 x 4000 sensor of 0.006 mm
// pixels, 100,000 random points per run. BM_Search times
// CalcDistortion::Search (the fast search) and BM_SearchPlain the plain
// search of plain_search.h, both on the targets Phc2Imc hands them. After
// the runs two tables give ns per point and the ratios; the first also the
// largest round-trip residual in mm of each. Counter "wrong": points whose
// round trip is off by more than 1e-12 mm; "differ": points where the two
// searches disagree in any bit. On a shared machine the ratios drift with
// the load between runs; medians of interleaved repetitions
// (--benchmark_repetitions=9 --benchmark_enable_random_interleaving=true)
// are steadier.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include <benchmark/benchmark.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <collinear/calculator/calc_distortion.h>
#include <collinear/calculator/crd_calculator.h>

#include "plain_search.h"

namespace {

constexpr int kPoints = 100000;
constexpr double kFocusMm = 35.0, kPixelMm = 0.006;
constexpr double kWidthPx = 6000.0, kHeightPx = 4000.0;
constexpr double kWrongMm = 1e-12;

// Realistic parameters of the four models (up to ~0.2 mm in the corners).
// Those of model 4 give about eight times the mean distortion of the
// others (0.09 mm against 0.01 mm in x); kMildPara4 is model 4 at the size
// of models 1-3, which tells the cost of its terms from that of its size.
const double kPara[4][8] = {
    {1e-5, -2e-8, 5e-11, -1e-13, 0, 0, 0, 0},
    {1e-5, -2e-8, 2e-5, -1e-5, 0, 0, 0, 0},
    {1e-5, -2e-8, 5e-11, 2e-5, -1e-5, 0, 0, 0},
    {1e-4, -2e-7, 2e-4, -3e-4, 1e-5, -2e-5, 3e-5, -4e-5},
};
const double kMildPara4[8] = {
    1e-5, -2e-8, 2e-5, -3e-5, 1e-6, -2e-6, 3e-6, -4e-6};

CCrdCalculator MakeCalculator(int model, const double* para = nullptr) {
  CCrdCalculator c;
  c.m_FocusR = kFocusMm;
  c.m_MmPerPixel = TAbstractPoint2<double>(kPixelMm, kPixelMm);
  c.m_PrincipalPoint = TAbstractPoint2<double>(kWidthPx / 2 * kPixelMm,
                                               kHeightPx / 2 * kPixelMm);
  c.m_PictureRect = TAbstractRect<double>(0, 0, kWidthPx, kHeightPx);
  c.SetDistortionModelData(model, 8, para ? para : kPara[model - 1]);
  return c;
}

std::vector<TAbstractPoint2<double>> RandomPixels(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> col(0, kWidthPx), row(0, kHeightPx);
  std::vector<TAbstractPoint2<double>> v(kPoints);
  for (auto& p : v) p = TAbstractPoint2<double>(col(rng), row(rng));
  return v;
}

std::vector<TAbstractPoint2<double>> RandomPhotoPoints(unsigned seed) {
  std::vector<TAbstractPoint2<double>> v = RandomPixels(seed);
  for (auto& p : v)
    p = TAbstractPoint2<double>(p.x * kPixelMm - kWidthPx / 2 * kPixelMm,
                                kHeightPx / 2 * kPixelMm - p.y * kPixelMm);
  return v;
}

void SetCounters(benchmark::State& state, double max_mm, int wrong) {
  state.counters["points"] = kPoints;
  state.counters["per_point"] =
      benchmark::Counter(kPoints,
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
  state.counters["max_res_mm"] = max_mm;
  state.counters["wrong"] = wrong;
}

// Model state.range(0); range 5 is model 4 with kMildPara4.
void BM_Phc2Imc(benchmark::State& state) {
  const int model = static_cast<int>(state.range(0));
  const CCrdCalculator c =
      model == 5 ? MakeCalculator(4, kMildPara4) : MakeCalculator(model);
  const auto photo = RandomPhotoPoints(1);
  std::vector<TAbstractPoint2<double>> pixel(kPoints);
  for (auto _ : state) {
    for (int k = 0; k < kPoints; ++k) pixel[k] = c.Phc2Imc(photo[k]);
    benchmark::DoNotOptimize(pixel.data());
  }
  double max_mm = 0;
  int wrong = 0;
  for (int k = 0; k < kPoints; ++k) {
    const TAbstractPoint2<double> back = c.Imc2Phc(pixel[k]);
    const double r = std::hypot(back.x - photo[k].x, back.y - photo[k].y);
    max_mm = std::max(max_mm, r);
    wrong += !(r <= kWrongMm);
  }
  SetCounters(state, max_mm, wrong);
}

void BM_Imc2Phc(benchmark::State& state) {
  const CCrdCalculator c = MakeCalculator(static_cast<int>(state.range(0)));
  const auto pixel = RandomPixels(2);
  std::vector<TAbstractPoint2<double>> photo(kPoints);
  for (auto _ : state) {
    for (int k = 0; k < kPoints; ++k) photo[k] = c.Imc2Phc(pixel[k]);
    benchmark::DoNotOptimize(photo.data());
  }
  double max_mm = 0;
  int wrong = 0;
  for (int k = 0; k < kPoints; ++k) {
    const TAbstractPoint2<double> back = c.Phc2Imc(photo[k]);
    const double r =
        std::hypot(back.x - pixel[k].x, back.y - pixel[k].y) * kPixelMm;
    max_mm = std::max(max_mm, r);
    wrong += !(r <= kWrongMm);
  }
  SetCounters(state, max_mm, wrong);
}

// The targets of the inverse search that Phc2Imc makes of measured photo
// points: their corrections q - D(q), x then y.
std::vector<double> SearchTargets(const collinear::CalcDistortion& c) {
  const auto photo = RandomPhotoPoints(5);
  std::vector<double> t(2 * kPoints);
  for (int k = 0; k < kPoints; ++k) {
    double dx, dy;
    c.Distort(photo[k].x, photo[k].y, dx, dy);
    t[2 * k] = photo[k].x - dx;
    t[2 * k + 1] = photo[k].y - dy;
  }
  return t;
}

constexpr double kSearchTol = 1e-15;  // what the calculator passes, mm

// Runs search(x, y, &q[0], &q[1], &residual) on every target; counts the
// points whose q differs in any bit from the fast search's.
template <class Search>
void RunSearch(benchmark::State& state, Search search) {
  const int model = static_cast<int>(state.range(0));
  const collinear::CalcDistortion fast(model, kPara[model - 1]);
  const std::vector<double> t = SearchTargets(fast);
  std::vector<double> q(2 * kPoints);
  for (auto _ : state) {
    for (int k = 0; k < kPoints; ++k) {
      double r;
      search(t[2 * k], t[2 * k + 1], &q[2 * k], &q[2 * k + 1], &r);
    }
    benchmark::DoNotOptimize(q.data());
  }
  int differ = 0;
  for (int k = 0; k < kPoints; ++k) {
    double f[2], r;
    fast.Search(t[2 * k], t[2 * k + 1], kSearchTol, false, &f[0], &f[1], &r);
    differ += std::memcmp(f, &q[2 * k], sizeof f) != 0;
  }
  state.counters["points"] = kPoints;
  state.counters["differ"] = differ;
}

void BM_Search(benchmark::State& state) {
  const int model = static_cast<int>(state.range(0));
  const collinear::CalcDistortion c(model, kPara[model - 1]);
  RunSearch(state, [&c](double x, double y, double* qx, double* qy, double* r) {
    c.Search(x, y, kSearchTol, false, qx, qy, r);
  });
}

void BM_SearchPlain(benchmark::State& state) {
  const int model = static_cast<int>(state.range(0));
  const collinear::PlainSearch c(model, kPara[model - 1]);
  RunSearch(state, [&c](double x, double y, double* qx, double* qy, double* r) {
    c.Search(x, y, kSearchTol, false, qx, qy, r);
  });
}

// OpenCV's 5-coefficient model (k1, k2, p1, p2, k3) of about the size of
// calculator model 3, in normalised coordinates.
struct CvCamera {
  cv::Matx33d k;
  cv::Mat dist;
  CvCamera() {
    const double f_px = kFocusMm / kPixelMm;
    k = cv::Matx33d(f_px, 0, kWidthPx / 2, 0, f_px, kHeightPx / 2, 0, 0, 1);
    const double f2 = kFocusMm * kFocusMm;
    dist = (cv::Mat_<double>(1, 5) << -kPara[2][0] * f2,
            -kPara[2][1] * f2 * f2,
            -kPara[2][4] * kFocusMm,
            -kPara[2][3] * kFocusMm,
            -kPara[2][2] * f2 * f2 * f2);
  }
};

const cv::TermCriteria kTight(cv::TermCriteria::COUNT + cv::TermCriteria::EPS,
                              100,
                              1e-12);

void BM_CvUndistortPoints(benchmark::State& state) {
  const CvCamera cam;
  std::vector<cv::Point2d> distorted(kPoints), ideal;
  const auto px = RandomPixels(3);
  for (int k = 0; k < kPoints; ++k) distorted[k] = {px[k].x, px[k].y};
  for (auto _ : state) {
    cv::undistortPoints(distorted,
                        ideal,
                        cam.k,
                        cam.dist,
                        cv::noArray(),
                        cv::noArray(),
                        kTight);
    benchmark::DoNotOptimize(ideal.data());
  }
  std::vector<cv::Point3d> rays(kPoints);
  for (int k = 0; k < kPoints; ++k) rays[k] = {ideal[k].x, ideal[k].y, 1.0};
  std::vector<cv::Point2d> back;
  cv::projectPoints(
      rays, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), cam.k, cam.dist, back);
  double max_mm = 0;
  int wrong = 0;
  for (int k = 0; k < kPoints; ++k) {
    const double r =
        std::hypot(back[k].x - distorted[k].x, back[k].y - distorted[k].y) *
        kPixelMm;
    max_mm = std::max(max_mm, r);
    wrong += !(r <= kWrongMm);
  }
  SetCounters(state, max_mm, wrong);
}

void BM_CvProjectPoints(benchmark::State& state) {
  const CvCamera cam;
  const auto photo = RandomPhotoPoints(4);
  std::vector<cv::Point3d> rays(kPoints);
  for (int k = 0; k < kPoints; ++k)
    rays[k] = {photo[k].x / kFocusMm, -photo[k].y / kFocusMm, 1.0};
  std::vector<cv::Point2d> pixel;
  for (auto _ : state) {
    cv::projectPoints(
        rays, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), cam.k, cam.dist, pixel);
    benchmark::DoNotOptimize(pixel.data());
  }
  std::vector<cv::Point2d> ideal;
  cv::undistortPoints(
      pixel, ideal, cam.k, cam.dist, cv::noArray(), cv::noArray(), kTight);
  double max_mm = 0;
  int wrong = 0;
  for (int k = 0; k < kPoints; ++k) {
    const double r =
        std::hypot(ideal[k].x - rays[k].x, ideal[k].y - rays[k].y) * kFocusMm;
    max_mm = std::max(max_mm, r);
    wrong += !(r <= kWrongMm);
  }
  SetCounters(state, max_mm, wrong);
}

BENCHMARK(BM_Phc2Imc)->DenseRange(1, 5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CvUndistortPoints)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Imc2Phc)->DenseRange(1, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CvProjectPoints)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Search)->DenseRange(1, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchPlain)->DenseRange(1, 4)->Unit(benchmark::kMillisecond);

// Console output as usual, and the CPU time per point of each benchmark
// (the median when repeated) kept for the closing table.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  TableReporter()
      : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}
  struct Row {
    double ns_per_point = 0, max_res_mm = 0, wrong = 0, differ = 0;
  };
  std::map<std::string, Row> rows;

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool aggregate = run.run_type == Run::RT_Aggregate;
      if (aggregate && run.aggregate_name != "median") continue;
      // Repetitions come before their aggregates: the median wins.
      Row& row = rows[run.run_name.str()];
      const double s_per_unit =
          1.0 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      row.ns_per_point = run.GetAdjustedCPUTime() * s_per_unit * 1e9 / kPoints;
      auto at = [&](const char* key) {
        auto it = run.counters.find(key);
        return it == run.counters.end() ? 0.0 : it->second.value;
      };
      row.max_res_mm = at("max_res_mm");
      row.wrong = at("wrong");
      row.differ = at("differ");
    }
  }
};

void PrintTable(const TableReporter& rep) {
  auto find = [&](const std::string& name) {
    auto it = rep.rows.find(name);
    return it == rep.rows.end() ? TableReporter::Row{} : it->second;
  };
  const auto undist = find("BM_CvUndistortPoints");
  const auto proj = find("BM_CvProjectPoints");
  std::printf("\n%-22s %10s %8s %12s %6s\n",
              "per point",
              "ns",
              "ratio",
              "max res mm",
              "wrong");
  auto line =
      [](const std::string& name, const TableReporter::Row& r, double ref) {
        std::printf("%-22s %10.1f %8.2f %12.2g %6.0f\n",
                    name.c_str(),
                    r.ns_per_point,
                    ref > 0 ? r.ns_per_point / ref : 0.0,
                    r.max_res_mm,
                    r.wrong);
      };
  line("cv::undistortPoints", undist, undist.ns_per_point);
  for (int m = 1; m <= 4; ++m)
    line("Phc2Imc model " + std::to_string(m),
         find("BM_Phc2Imc/" + std::to_string(m)),
         undist.ns_per_point);
  line("Phc2Imc model 4 mild", find("BM_Phc2Imc/5"), undist.ns_per_point);
  line("cv::projectPoints", proj, proj.ns_per_point);
  for (int m = 1; m <= 4; ++m)
    line("Imc2Phc model " + std::to_string(m),
         find("BM_Imc2Phc/" + std::to_string(m)),
         proj.ns_per_point);
  std::printf("(ratios to the OpenCV function of the same direction)\n");
  std::printf("\n%-22s %10s %10s %8s %6s\n",
              "inverse search",
              "plain ns",
              "fast ns",
              "speed-up",
              "differ");
  for (int m = 1; m <= 4; ++m) {
    const auto plain = find("BM_SearchPlain/" + std::to_string(m));
    const auto fast = find("BM_Search/" + std::to_string(m));
    std::printf(
        "%-22s %10.1f %10.1f %8.2f %6.0f\n",
        ("model " + std::to_string(m)).c_str(),
        plain.ns_per_point,
        fast.ns_per_point,
        fast.ns_per_point > 0 ? plain.ns_per_point / fast.ns_per_point : 0.0,
        plain.differ);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintTable(reporter);
  benchmark::Shutdown();
  return 0;
}
