// Forming plus solving of weighted least-squares problems with CLeastSq,
// side by side with Eigen computing the same outputs from the same data:
// N = A^T W A and b = A^T W l, the L D L^T solve, N^-1 scaled by the
// variance of unit weight, and the variance a_k C a_k^T of every adjusted
// observation. Also the cost of growing a one-row engine to 100,000 rows
// against writing the same rows into a pre-sized engine. After the runs the
// ratios collinear / Eigen are printed (medians when repeated).
#include <collinear/leastsq/leastsq.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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
  // By default the heap behaves as in a host application: glibc returns
  // large freed blocks to the system, and every growth run touches fresh
  // pages. COLLINEAR_BENCH_WARM_HEAP=1 keeps freed memory in the process,
  // which measures the arithmetic alone.
  if (std::getenv("COLLINEAR_BENCH_WARM_HEAP")) {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
  }
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
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.PrintRatios();
  return 0;
}
