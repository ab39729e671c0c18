// Least-squares solves with CLeastSq side by side with Eigen computing the
// same outputs from the same data.
//
// The whole path a caller pays, timed first by main in interleaved runs
// (collinear, Eigen, collinear, ...; median of 7 each): collinear constructs
// CLeastSq(m, n), writes every value with SetObeq in row order (weights 1)
// and calls Solve; Eigen allocates A and l, copies the same values, forms N
// by a symmetric rank update and b = A^T l, factors by LDLT, solves, inverts
// from the identity, and computes the residuals, sigma0^2, the scaled
// inverse C and every a_k C a_k^T (with A C materialised).
//
// Then, with Google Benchmark: forming plus solving alone on rows already
// written (weighted), and the cost of growing a one-row engine to 100,000
// rows against writing the same rows into a pre-sized engine. After the runs
// the ratios collinear / Eigen are printed (medians when repeated).
//
// --whole_path_reps=N sets the interleaved repetitions (0 skips the table).
#include <collinear/leastsq/leastsq.h>

#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <Eigen/Dense>

namespace {

// (rows, unknowns) of the forming-plus-solving problems.
const std::pair<int, int> kSizes[] = {
    {12, 11}, {200, 11}, {2000, 11}, {2000, 16}, {20000, 16}, {1000, 100}};
constexpr int kGrowRows = 100000;
constexpr int kGrowParams = 16;

struct Problem {
  int m = 0, n = 0;
  std::vector<double> a;  // m rows of n coefficients, row-major
  std::vector<double> l, w;
};

// Well-conditioned random problem, the same for both libraries.
Problem MakeProblem(int m, int n) {
  Problem p;
  p.m = m;
  p.n = n;
  std::mt19937 rng(12345u + static_cast<unsigned>(m * 131 + n));
  std::uniform_real_distribution<double> coef(-1.0, 1.0);
  std::uniform_real_distribution<double> weight(0.5, 2.0);
  p.a.resize(static_cast<size_t>(m) * n);
  p.l.resize(m);
  p.w.resize(m);
  for (int k = 0; k < m; ++k) {
    for (int j = 0; j < n; ++j) p.a[static_cast<size_t>(k) * n + j] = coef(rng);
    p.l[k] = coef(rng);
    p.w[k] = weight(rng);
  }
  return p;
}

void FillEngine(const Problem& p, CLeastSq& ls) {
  ls.InitObeq();
  for (int k = 0; k < p.m; ++k) {
    for (int j = 0; j < p.n; ++j) {
      ls.SetObeq(j, p.a[static_cast<size_t>(k) * p.n + j]);
    }
    ls.SetObeq(p.n, p.l[k]);
    ls.SetWeight(p.w[k]);
  }
}

// --- The whole path ---------------------------------------------------------

// Construct, write every value with SetObeq in row order, Solve with the
// full statistics.
void CollinearWholePath(const Problem& p) {
  const int m = p.m, n = p.n;
  CLeastSq ls(m, n);
  ls.InitObeq();
  const double* a = p.a.data();
  for (int k = 0; k < m; ++k) {
    for (int j = 0; j < n; ++j)
      ls.SetObeq(j, a[static_cast<size_t>(k) * n + j]);
    ls.SetObeq(n, p.l[k]);
  }
  const int ok = ls.Solve();
  benchmark::DoNotOptimize(ok);
  benchmark::DoNotOptimize(ls.m_aVar.GetData());
  benchmark::ClobberMemory();
}

// The same outputs with Eigen, from copying the same data on.
void EigenWholePath(const Problem& p) {
  using Eigen::MatrixXd;
  using Eigen::VectorXd;
  using RowMajor =
      Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  const int m = p.m, n = p.n;
  const MatrixXd A = Eigen::Map<const RowMajor>(p.a.data(), m, n);
  const VectorXd l = Eigen::Map<const VectorXd>(p.l.data(), m);
  MatrixXd N = MatrixXd::Zero(n, n);
  N.selfadjointView<Eigen::Lower>().rankUpdate(A.transpose());
  const VectorXd b = A.transpose() * l;
  const Eigen::LDLT<MatrixXd> ldlt(N);
  const VectorXd x = ldlt.solve(b);
  MatrixXd C = ldlt.solve(MatrixXd::Identity(n, n));
  const VectorXd v = l - A * x;
  const double sigma2 = v.squaredNorm() / (m - n);
  C *= sigma2;
  const MatrixXd AC = A * C;
  const VectorXd var = AC.cwiseProduct(A).rowwise().sum();
  benchmark::DoNotOptimize(var.data());
  benchmark::ClobberMemory();
}

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) +
         1e-9 * static_cast<double>(ts.tv_nsec);
}

double WallSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) +
         1e-9 * static_cast<double>(ts.tv_nsec);
}

struct PathTime {
  double cpu_us, real_us;
};

// Mean time of one call of `path` over `iters` calls.
template <class Path>
PathTime TimePath(Path path, const Problem& p, long iters) {
  const double c0 = ThreadCpuSeconds(), r0 = WallSeconds();
  for (long i = 0; i < iters; ++i) path(p);
  const double c1 = ThreadCpuSeconds(), r1 = WallSeconds();
  return {1e6 * (c1 - c0) / iters, 1e6 * (r1 - r0) / iters};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t h = v.size() / 2;
  return v.size() % 2 ? v[h] : 0.5 * (v[h - 1] + v[h]);
}

// Per size: one warm-up call of each side, an iteration count that gives
// about 0.1 s per measurement, then `reps` measurements of each side in
// alternation. Prints the medians of CPU and real time per call.
void RunWholePath(int reps) {
  constexpr double kTargetSeconds = 0.1;
  std::printf(
      "whole path: construct + SetObeq per value + Solve vs Eigen, "
      "median of %d interleaved runs\n",
      reps);
  std::printf("%12s %12s %12s %7s %12s %12s %7s\n",
              "m x n",
              "ours cpu us",
              "Eigen cpu us",
              "ratio",
              "ours real us",
              "Eigen real",
              "ratio");
  for (const auto& size : kSizes) {
    const Problem p = MakeProblem(size.first, size.second);
    CollinearWholePath(p);
    EigenWholePath(p);
    const PathTime probe = TimePath(CollinearWholePath, p, 1);
    const long iters = std::max(
        1L, static_cast<long>(kTargetSeconds / (1e-6 * probe.real_us + 1e-9)));
    std::vector<double> ours_cpu, ours_real, eigen_cpu, eigen_real;
    for (int r = 0; r < reps; ++r) {
      const PathTime ours = TimePath(CollinearWholePath, p, iters);
      const PathTime eigen = TimePath(EigenWholePath, p, iters);
      ours_cpu.push_back(ours.cpu_us);
      ours_real.push_back(ours.real_us);
      eigen_cpu.push_back(eigen.cpu_us);
      eigen_real.push_back(eigen.real_us);
    }
    const double oc = Median(ours_cpu), ec = Median(eigen_cpu);
    const double orl = Median(ours_real), erl = Median(eigen_real);
    const std::string label =
        std::to_string(size.first) + " x " + std::to_string(size.second);
    std::printf("%12s %12.2f %12.2f %7.2f %12.2f %12.2f %7.2f\n",
                label.c_str(),
                oc,
                ec,
                oc / ec,
                orl,
                erl,
                orl / erl);
    std::fflush(stdout);
  }
  std::printf("\n");
}

void BM_Collinear(benchmark::State& state) {
  const Problem p = MakeProblem(static_cast<int>(state.range(0)),
                                static_cast<int>(state.range(1)));
  CLeastSq ls(p.m, p.n);
  FillEngine(p, ls);
  for (auto _ : state) {
    const int ok = ls.Solve();
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(ls.m_aVar.GetData());
    benchmark::ClobberMemory();
  }
}

// The same outputs with Eigen, all buffers allocated before the loop.
void BM_Eigen(benchmark::State& state) {
  using Eigen::MatrixXd;
  using Eigen::VectorXd;
  const Problem p = MakeProblem(static_cast<int>(state.range(0)),
                                static_cast<int>(state.range(1)));
  const int m = p.m, n = p.n;
  MatrixXd A(m, n);
  VectorXd l(m), w(m);
  for (int k = 0; k < m; ++k) {
    for (int j = 0; j < n; ++j) A(k, j) = p.a[static_cast<size_t>(k) * n + j];
    l(k) = p.l[k];
    w(k) = p.w[k];
  }
  MatrixXd WA(m, n), N(n, n), C(n, n), AC(m, n);
  VectorXd b(n), x(n), v(m), var(m);
  Eigen::LDLT<MatrixXd> ldlt(n);
  for (auto _ : state) {
    WA.noalias() = w.asDiagonal() * A;
    N.noalias() = A.transpose() * WA;
    b.noalias() = WA.transpose() * l;
    ldlt.compute(N);
    x = ldlt.solve(b);
    C.setIdentity();
    ldlt.solveInPlace(C);
    v = l;
    v.noalias() -= A * x;
    const double sigma2 = (w.array() * v.array().square()).sum() / (m - n);
    C *= sigma2;
    AC.noalias() = A * C;
    var = AC.cwiseProduct(A).rowwise().sum();
    benchmark::DoNotOptimize(var.data());
    benchmark::ClobberMemory();
  }
}

void WriteGrowRows(CLeastSq& ls) {
  ls.InitObeq();
  for (int k = 0; k < kGrowRows; ++k) {
    for (int j = 0; j <= kGrowParams; ++j) ls.SetObeq(j, k + 0.5 * j);
  }
}

// A CLeastSq(16) that receives 100,000 rows, growing one row at a time.
void BM_GrowRows(benchmark::State& state) {
  for (auto _ : state) {
    CLeastSq ls(kGrowParams);
    WriteGrowRows(ls);
    benchmark::DoNotOptimize(ls.m_aObeq.GetData());
  }
}

// The same rows written into an engine sized for them from the start.
void BM_PresizedRows(benchmark::State& state) {
  for (auto _ : state) {
    CLeastSq ls(kGrowRows, kGrowParams);
    WriteGrowRows(ls);
    benchmark::DoNotOptimize(ls.m_aObeq.GetData());
  }
}

// Console output as usual, and the real and CPU times of every run kept by
// name (the medians when the runs are repeated) for the ratio table. On a
// shared machine the CPU times are the steadier of the two.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter()
      : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool single =
          run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool median =
          run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (single || median) {
        times_[run.run_name.str()] = {run.GetAdjustedRealTime(),
                                      run.GetAdjustedCPUTime()};
      }
    }
  }

  void PrintRatios() const {
    std::printf("\nratio collinear / Eigen, forming + solving (real, cpu)\n");
    for (const auto& size : kSizes) {
      const std::string suffix =
          "/" + std::to_string(size.first) + "/" + std::to_string(size.second);
      PrintRatio(("  " + std::to_string(size.first) + " x " +
                  std::to_string(size.second))
                     .c_str(),
                 "BM_Collinear" + suffix,
                 "BM_Eigen" + suffix);
    }
    std::printf("ratio grown / pre-sized, %d rows x %d unknowns (real, cpu)\n",
                kGrowRows,
                kGrowParams);
    PrintRatio("  growth", "BM_GrowRows", "BM_PresizedRows");
  }

 private:
  struct Times {
    double real, cpu;
  };

  void PrintRatio(const char* label,
                  const std::string& num,
                  const std::string& den) const {
    const auto a = times_.find(num);
    const auto b = times_.find(den);
    if (a == times_.end() || b == times_.end()) return;
    std::printf("%-14s %6.2f %6.2f\n",
                label,
                a->second.real / b->second.real,
                a->second.cpu / b->second.cpu);
  }

  std::map<std::string, Times> times_;
};

}  // namespace

int main(int argc, char** argv) {
  // Freed blocks stay in the process and large ones come from the heap, not
  // from fresh mappings: neither side pays new page faults on every run, so
  // the arithmetic and the memory traffic are what is timed.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  int reps = 7;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    constexpr char kRepsFlag[] = "--whole_path_reps=";
    if (std::strncmp(argv[i], kRepsFlag, sizeof(kRepsFlag) - 1) == 0) {
      reps = std::atoi(argv[i] + sizeof(kRepsFlag) - 1);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (reps > 0) RunWholePath(reps);
  // Each size runs on both sides back to back, so that a change of machine
  // load between them stays small.
  for (const auto& size : kSizes) {
    benchmark::RegisterBenchmark("BM_Collinear", BM_Collinear)
        ->Args({size.first, size.second});
    benchmark::RegisterBenchmark("BM_Eigen", BM_Eigen)
        ->Args({size.first, size.second});
  }
  benchmark::RegisterBenchmark("BM_GrowRows", BM_GrowRows)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_PresizedRows", BM_PresizedRows)
      ->Unit(benchmark::kMillisecond);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.PrintRatios();
  return 0;
}
