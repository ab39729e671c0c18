#include <collinear/leastsq/leastsq.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/framework/exception.h>

// The reference loops below must round as the engine does: no fused
// multiply-add contraction on targets that have it.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

// Counts every allocation of the process, so that a test can show that a
// solve allocates nothing once the engine is sized.
namespace {
std::atomic<long> g_allocations{0};
}  // namespace

// GCC takes the malloc/free pair of these replacements for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Matrix = std::vector<std::vector<double>>;

// Writes one observation row: coefficients a[0..n-1], then the observed value.
void WriteRow(CLeastSq& ls, const std::vector<double>& a, double l) {
  for (size_t c = 0; c < a.size(); ++c) {
    ASSERT_EQ(ls.SetObeq(static_cast<int>(c), a[c]), 1);
  }
  ASSERT_EQ(ls.SetObeq(static_cast<int>(a.size()), l), 1);
}

struct Problem {
  Matrix A;
  std::vector<double> l, w;
};

// Well-conditioned random problem: coefficients and observations in
// [-1, 1], weights in [0.5, 2].
Problem RandomProblem(int m, int n, std::mt19937& rng) {
  std::uniform_real_distribution<double> coef(-1.0, 1.0);
  std::uniform_real_distribution<double> weight(0.5, 2.0);
  Problem p{Matrix(m, std::vector<double>(n)),
            std::vector<double>(m),
            std::vector<double>(m)};
  for (int k = 0; k < m; ++k) {
    for (int j = 0; j < n; ++j) p.A[k][j] = coef(rng);
    p.l[k] = coef(rng);
    p.w[k] = weight(rng);
  }
  return p;
}

void Fill(CLeastSq& ls, const Problem& p) {
  ls.InitObeq();
  for (size_t k = 0; k < p.A.size(); ++k) {
    WriteRow(ls, p.A[k], p.l[k]);
    ASSERT_EQ(ls.SetWeight(p.w[k]), 1);
  }
}

// Reference solution independent of the engine: the normal equations in
// long double, Gaussian elimination with partial pivoting.
std::vector<double> ReferenceSolve(const Problem& p) {
  const size_t n = p.A[0].size();
  std::vector<std::vector<long double>> M(n, std::vector<long double>(n + 1));
  for (size_t k = 0; k < p.A.size(); ++k) {
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = 0; j < n; ++j) {
        M[i][j] += static_cast<long double>(p.w[k]) * p.A[k][i] * p.A[k][j];
      }
      M[i][n] += static_cast<long double>(p.w[k]) * p.A[k][i] * p.l[k];
    }
  }
  for (size_t c = 0; c < n; ++c) {
    size_t best = c;
    for (size_t r = c + 1; r < n; ++r) {
      if (std::fabs(M[r][c]) > std::fabs(M[best][c])) best = r;
    }
    std::swap(M[c], M[best]);
    for (size_t r = c + 1; r < n; ++r) {
      const long double f = M[r][c] / M[c][c];
      for (size_t j = c; j <= n; ++j) M[r][j] -= f * M[c][j];
    }
  }
  std::vector<double> x(n);
  for (size_t i = n; i-- > 0;) {
    long double s = M[i][n];
    for (size_t j = i + 1; j < n; ++j) s -= M[i][j] * x[j];
    x[i] = static_cast<double>(s / M[i][i]);
  }
  return x;
}

enum Method { kSolve, kPISolve, kSwpMat, kReduc };

// Solves `p` with one of the four public methods. kReduc hands over normal
// equations formed by a second engine through SetNoeq.
int SolveWith(Method method, const Problem& p, CLeastSq& ls) {
  const int m = static_cast<int>(p.A.size());
  const int n = static_cast<int>(p.A[0].size());
  switch (method) {
    case kSolve:
      Fill(ls, p);
      return ls.Solve();
    case kPISolve:
      Fill(ls, p);
      return ls.PISolve();
    case kSwpMat:
      Fill(ls, p);
      return ls.SolveWithSwpMat();
    case kReduc: {
      CLeastSq formed(m, n);
      Fill(formed, p);
      if (formed.SolveWithSwpMat() != 1) return -1;  // forms N
      for (int r = 0; r < n; ++r) {
        for (int c = 0; c <= n; ++c) ls.SetNoeq(r, c, formed.GetNoeq(r, c));
      }
      return ls.SolveWithReduc();
    }
  }
  return -1;
}

// Singular problems: unknown 1 never observed (a zero diagonal, caught
// while forming), and two equal columns (non-zero diagonal, zero second
// pivot).
const Problem kZeroColumn{{{1, 0}, {2, 0}, {3, 0}}, {1, 2, 3}, {1, 1, 1}};
const Problem kEqualColumns{
    {{1, 1}, {1, 1}, {1, 1}, {1, 1}}, {1, 2, 3, 4}, {1, 1, 1, 1}};

// Runs `body` inside a fresh temporary directory and returns to the previous
// working directory afterwards (also when an assertion fails).
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    std::string tmpl =
        (std::filesystem::temp_directory_path() / "leastsq-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  static std::string ReadFile(const char* name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::filesystem::path old_, dir_;
};

}  // namespace

// --- State, rows and growth
// ---------------------------------------------------

TEST(CLeastSq, ConstructorsAndCreateSizeTheArrays) {
  // Sizes of Obeq, Weight, Noeq, Var for (m, n), (n) and an empty engine.
  CLeastSq ls(5, 3), grow(4), empty;
  const int sizes[3][4] = {{20, 5, 12, 5}, {5, 1, 20, 0}, {0, 0, 0, 0}};
  CLeastSq* engines[] = {&ls, &grow, &empty};
  for (int e = 0; e < 3; ++e) {
    SCOPED_TRACE(e);
    const CLeastSq& x = *engines[e];
    EXPECT_EQ(x.m_aObeq.GetSize(), sizes[e][0]);
    EXPECT_EQ(x.m_aWeight.GetSize(), sizes[e][1]);
    EXPECT_EQ(x.m_aNoeq.GetSize(), sizes[e][2]);
    EXPECT_EQ(x.m_aCovar.GetSize(), sizes[e][2]);
    EXPECT_EQ(x.m_aVar.GetSize(), sizes[e][3]);
    EXPECT_EQ(x.m_nCurObeq, -1);
    EXPECT_EQ(x.m_dEps, 10 * std::numeric_limits<double>::min());
  }
  EXPECT_EQ(ls.m_nCol, 4);
  EXPECT_EQ(ls.m_nNoeqSize, 12);
  EXPECT_EQ(grow.m_nObeq, 1);
  EXPECT_EQ(grow.m_aWeight[0], 1.0);
  EXPECT_EQ(empty.m_nCol, 0);

  // Create on a used engine: rows, N and b zeroed, weights back to 1.0.
  ls.InitObeq();
  WriteRow(ls, {1, 2, 3}, 4);
  ls.SetWeight(7.0);
  ls.SetNoeq(0, 3, 9.0);
  EXPECT_EQ(ls.Create(3, 2), 1);
  EXPECT_EQ(ls.m_nNoeqSize, 6);
  EXPECT_EQ(ls.m_nCurObeq, -1);
  EXPECT_EQ(ls.m_aVar.GetSize(), 3);
  ASSERT_EQ(ls.m_aObeq.GetSize(), 9);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(ls.m_aObeq[i], 0.0);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(ls.m_aNoeq[i], 0.0);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(ls.m_aWeight[k], 1.0);
}

TEST(CLeastSq, SingleRowEngineGrowsOneZeroRowAtATime) {
  CLeastSq ls(2);
  ls.InitObeq();
  EXPECT_EQ(ls.GetCurrentObeqNumber(), 0);
  ASSERT_EQ(ls.SetObeq(0, 1.0), 1);
  EXPECT_EQ(ls.m_nObeq, 1);  // still inside the first row
  ls.SetObeq(2, 1.0);
  ASSERT_EQ(ls.SetObeq(0, 1.0), 1);  // second row: grows, unwritten cols 0
  EXPECT_EQ(ls.m_nObeq, 2);
  EXPECT_EQ(ls.GetObeq(1), 0.0);
  EXPECT_EQ(ls.GetObeq(2), 0.0);
  ls.SetObeq(1, 1.0);
  ls.SetObeq(2, 3.0);
  ls.SetObeq(0, 1.0);
  ls.SetObeq(1, 2.0);
  ls.SetObeq(2, 5.0);
  ls.SetWeight(3.0);
  EXPECT_EQ(ls.m_nObeq, 3);
  EXPECT_EQ(ls.GetObeqNumber(), 3);
  EXPECT_EQ(ls.GetDegreesOfFreedom(), 1);
  ASSERT_EQ(ls.m_aWeight.GetSize(), 3);
  EXPECT_EQ(ls.m_aWeight[0], 1.0);
  EXPECT_EQ(ls.m_aWeight[1], 1.0);
  EXPECT_EQ(ls.m_aWeight[2], 3.0);
  EXPECT_EQ(ls.m_aObeq.GetSize(), 9);
  EXPECT_EQ(ls.m_aVar.GetSize(), 0);  // only the statistics size it
  EXPECT_EQ(ls.GetCurrentObeqNumber(), 3);
  EXPECT_EQ(ls.CheckParameterNumber(), 1);
  ASSERT_EQ(ls.Solve(), 1);
  EXPECT_DOUBLE_EQ(ls.GetBcor(0), 1.0);
  EXPECT_DOUBLE_EQ(ls.GetBcor(1), 2.0);
  EXPECT_EQ(ls.m_aVar.GetSize(), 3);

  // A second, shorter pass overwrites the first rows; the third stays and
  // still takes part in the solve.
  ls.InitObeq();
  WriteRow(ls, {1.0, 0.0}, 2.0);
  WriteRow(ls, {1.0, 1.0}, 4.0);
  EXPECT_EQ(ls.m_nObeq, 3);
  EXPECT_EQ(ls.CheckParameterNumber(), 0);
  ASSERT_EQ(ls.Solve(), 1);
  // (0, 2), (1, 4) and the old (2, 5) of weight 3: b = 23/16, a = 35/16.
  EXPECT_DOUBLE_EQ(ls.GetBcor(0), 35.0 / 16.0);
  EXPECT_DOUBLE_EQ(ls.GetBcor(1), 23.0 / 16.0);
}

TEST(CLeastSq, RowCursorAndColumnRules) {
  CLeastSq ls(3, 2);
  ls.InitObeq();
  EXPECT_EQ(ls.SetObeq(3, 1.0), 0);  // beyond the observed value
  EXPECT_EQ(ls.SetObeq(-1, 1.0), 0);
  EXPECT_EQ(ls.SetWeight(2.0), 0);  // no row started
  EXPECT_EQ(ls.m_nCurObeq, -1);
  WriteRow(ls, {1.0, 2.0}, 3.0);
  ls.SetObeq(1, 4.0);  // columns after 0 may be rewritten in any order
  EXPECT_EQ(ls.GetObeq(1), 4.0);
  EXPECT_EQ(ls.GetObeq(2), 3.0);
  WriteRow(ls, {5.0, 6.0}, 7.0);
  EXPECT_EQ(ls.GetCurrentObeqNumber(), 2);
  EXPECT_EQ(ls.CheckParameterNumber(), 0);
  ls.IncrementColumn();
  EXPECT_EQ(ls.GetCurrentObeqNumber(), 3);
  EXPECT_EQ(ls.CheckParameterNumber(), 1);
  EXPECT_EQ(ls.m_nObeq, 3);  // moving the cursor does not grow
  ls.InitObeq();
  EXPECT_EQ(ls.GetCurrentObeqNumber(), 0);
  EXPECT_EQ(ls.m_aObeq[3], 5.0);  // rows survive a new pass
}

TEST(CLeastSq, NormalEquationAccessAndChecks) {
  CLeastSq ls(3, 2), empty;
  ls.SetNoeq(1, 2, 8.0);  // right-hand side: also b_1
  ls.SetNoeq(1, 1, 6.0);  // coefficient: matrix only
  EXPECT_EQ(ls.GetNoeq(1, 2), 8.0);
  EXPECT_EQ(ls.GetNoeq(1, 1), 6.0);
  EXPECT_EQ(ls.GetBcor(1), 8.0);
  EXPECT_EQ(ls.CheckNoeq(), 0);  // N(0, 0) = 0
  ls.SetNoeq(0, 0, 1e-300);
  EXPECT_EQ(ls.CheckNoeq(), 1);
  EXPECT_EQ(empty.CheckNoeq(), 1);  // no unknowns
  ls.SetFormTime(5.0);
  EXPECT_EQ(ls.InitNoeq(), 1);
  EXPECT_EQ(ls.GetNoeq(1, 1), 0.0);
  EXPECT_EQ(ls.GetFormTime(), 0.0);
  EXPECT_EQ(ls.InitBcor(), 1);
  EXPECT_EQ(ls.GetBcor(1), 0.0);
  EXPECT_EQ(empty.InitBcor(), 0);
  ls.m_aNoeq.SetSize(5);
  EXPECT_EQ(ls.InitNoeq(), 0);

  EXPECT_EQ(ls.InitParameter(ls.m_aWeight, 0.0), 1);
  EXPECT_EQ(ls.CheckWeight(), 0);
  ls.SetWeight(2, 1.0);
  EXPECT_EQ(ls.CheckWeight(), 1);
  EXPECT_EQ(empty.CheckWeight(), 0);  // no weights at all
}

TEST(CLeastSq, OutOfRangeAccessThrowsWithoutWriting) {
  CLeastSq ls(3, 2);
  EXPECT_THROW(ls.GetBcor(2), CInvalidArgException);
  EXPECT_THROW(ls.GetBcor(-1), CInvalidArgException);
  EXPECT_THROW(ls.GetVar(3), CInvalidArgException);
  EXPECT_THROW(ls.GetCovar(2, 0), CInvalidArgException);
  EXPECT_THROW(ls.GetNoeq(2, 0), CInvalidArgException);
  EXPECT_THROW(ls.SetNoeq(-1, 0, 1.0), CInvalidArgException);
  EXPECT_THROW(ls.SetWeight(3, 1.0), CInvalidArgException);
  EXPECT_THROW(ls.GetObeq(0), CInvalidArgException);  // no current row
  ls.InitObeq();
  EXPECT_THROW(ls.SetObeq(1, 1.0), CInvalidArgException);  // no column 0
  EXPECT_EQ(ls.m_nCurObeq, -1);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(ls.m_aObeq[i], 0.0);

  CLeastSq grown(2);  // the growth does not reach the variances
  EXPECT_THROW(grown.GetVar(0), CInvalidArgException);

  // Test systems need room for their matrix.
  CLeastSq small(3, 2);
  EXPECT_THROW(small.TestData31(), CInvalidArgException);
  EXPECT_THROW(small.TestData4(), CInvalidArgException);

  // An engine whose arrays no longer match its dimension fields: the
  // solvers raise the error instead of reading past the end.
  CLeastSq broken(4, 2);
  broken.m_nParam = 3;
  broken.m_nCol = 4;
  EXPECT_THROW(broken.Solve(), CInvalidArgException);
  EXPECT_THROW(broken.PISolve(), CInvalidArgException);
  EXPECT_THROW(broken.CalStandard2(), CInvalidArgException);
  CLeastSq none;
  EXPECT_THROW(none.Solve(), CInvalidArgException);  // Create never called
}

// --- Known systems
// ------------------------------------------------------------

TEST(CLeastSq, LowerTriangleSystemFactorsWithNegativePivots) {
  CLeastSq ls(3, 3);
  ls.TestData31();
  EXPECT_EQ(ls.TestChores(), 1);
  const double* F = ls.m_aFactor.GetData();
  EXPECT_EQ(F[0], 1.0);  // d = (1, -1, -1)
  EXPECT_EQ(F[5], -1.0);
  EXPECT_EQ(F[10], -1.0);
  EXPECT_EQ(F[4], 2.0);  // L = [[1], [2, 1], [4, 3, 1]]
  EXPECT_EQ(F[8], 4.0);
  EXPECT_EQ(F[9], 3.0);
  EXPECT_DOUBLE_EQ(ls.GetBcor(0), 1.0);
  EXPECT_DOUBLE_EQ(ls.GetBcor(1), 2.0);
  EXPECT_DOUBLE_EQ(ls.GetBcor(2), 3.0);
}

TEST(CLeastSq, InverseOfLowerTriangleSystem) {
  CLeastSq ls(3, 3);
  ls.TestData31();
  EXPECT_EQ(ls.TestInvers(), 1);
  const double inv[3][3] = {{-7, 8, -2}, {8, -10, 3}, {-2, 3, -1}};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_DOUBLE_EQ(ls.GetCovar(i, j), inv[i][j]);
  }
  ls.TestBook();
}

// The indefinite system of TestData4 (pivots -3, -2, 5, 4) also as four
// observation rows: the columns of its unit lower factor, weighted with the
// pivots. Every method finds x = (2, 3, 4, 5).
TEST(CLeastSq, IndefiniteSystemSolvedByEveryMethod) {
  CLeastSq direct(4, 4);
  direct.TestData4();
  EXPECT_EQ(direct.m_nCol, 5);
  const double b[] = {-168, -1246, -476, -960};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(direct.GetBcor(i), b[i]);
  EXPECT_EQ(direct.GetNoeq(0, 3), -15.0);  // mirrored
  EXPECT_EQ(direct.TestChores(), 1);
  const double pivots[] = {-3, -2, 5, 4};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(direct.m_aFactor[i * 5 + i], pivots[i]);
    EXPECT_DOUBLE_EQ(direct.GetBcor(i), 2.0 + i);
  }

  const Problem rows{{{1, 7, 2, 5}, {0, 1, 3, 4}, {0, 0, 1, 2}, {0, 0, 0, 1}},
                     {56, 35, 14, 5},
                     {-3, -2, 5, 4}};
  for (Method method : {kSolve, kPISolve, kSwpMat, kReduc}) {
    SCOPED_TRACE(method);
    CLeastSq ls(4, 4);
    ASSERT_EQ(SolveWith(method, rows, ls), 1);
    for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(ls.GetBcor(i), 2.0 + i);
  }
  CLeastSq reduc(4, 4);
  reduc.TestData4();
  reduc.SetFormTime(-1.0);
  reduc.SetSigma(-2.0);
  ASSERT_EQ(reduc.SolveWithReduc(), 1);
  for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(reduc.GetBcor(i), 2.0 + i);
  EXPECT_EQ(reduc.GetFormTime(), -1.0);  // no forming
  EXPECT_EQ(reduc.m_dSigma, -2.0);       // no rows: no statistics
  const double kTolInv = 1e-12;          // N C = I, entries of N up to 149
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      double s = 0.0;
      for (int k = 0; k < 4; ++k)
        s += reduc.GetNoeq(i, k) * reduc.GetCovar(k, j);
      EXPECT_NEAR(s, i == j ? 1.0 : 0.0, kTolInv);
    }
  }
}

TEST(CLeastSq, SingleUnknownByPISolve) {
  CLeastSq ls(3, 1);
  ls.InitObeq();
  WriteRow(ls, {2.0}, 2.0);
  WriteRow(ls, {1.0}, 3.0);
  WriteRow(ls, {1.0}, 1.5);
  ASSERT_EQ(ls.PISolve(), 1);
  EXPECT_EQ(ls.GetNoeq(0, 0), 6.0);
  EXPECT_EQ(ls.GetNoeq(0, 1), 8.5);
  EXPECT_EQ(ls.GetBcor(0), 1.0 / 6.0 * 8.5);
}

// --- Agreement and exact order
// ------------------------------------------------

TEST(CLeastSq, AllSolveMethodsAgreeWithIndependentSolution) {
  std::mt19937 rng(20240611);
  const int sizes[][2] = {{12, 11}, {41, 6}, {203, 11}, {61, 30}};
  const double kRelTol = 1e-10;  // well-conditioned: a few hundred roundings
  for (const auto& size : sizes) {
    const int m = size[0], n = size[1];
    SCOPED_TRACE(std::to_string(m) + "x" + std::to_string(n));
    const Problem p = RandomProblem(m, n, rng);
    const std::vector<double> ref = ReferenceSolve(p);
    for (Method method : {kSolve, kPISolve, kSwpMat, kReduc}) {
      SCOPED_TRACE(method);
      CLeastSq ls(m, n);
      ASSERT_EQ(SolveWith(method, p, ls), 1);
      for (int j = 0; j < n; ++j) {
        EXPECT_NEAR(
            ls.GetBcor(j), ref[j], kRelTol * std::max(1.0, std::fabs(ref[j])));
      }
    }
  }
}

// Callers compare results to the last bit: every sum accumulates in the
// documented order. Plain loops in that order give the same doubles as the
// engine's blocked loops, for sizes that leave remainders in every block.
TEST(CLeastSq, ResultsFollowTheDocumentedSummationOrder) {
  std::mt19937 rng(7);
  // 6 and 8 unknowns up to 512 rows take a forming of their own.
  const int sizes[][2] = {
      {13, 7}, {9, 11}, {50, 16}, {6, 1}, {31, 37}, {41, 6}, {7, 8}, {600, 6}};
  for (const auto& size : sizes) {
    const int m = size[0], n = size[1], nc = n + 1;
    SCOPED_TRACE(std::to_string(m) + "x" + std::to_string(n));
    const Problem p = RandomProblem(m, n, rng);
    auto a = [&](int k, int c) { return c < n ? p.A[k][c] : p.l[k]; };

    CLeastSq ls(m, n);
    Fill(ls, p);
    ASSERT_EQ(ls.Solve(), 1);
    std::vector<double> N(n * nc);
    for (int i = 0; i < n; ++i) {
      for (int c = i; c <= n; ++c) {
        double s = 0.0;
        for (int k = 0; k < m; ++k) s += p.w[k] * a(k, i) * a(k, c);
        N[i * nc + c] = s;
        if (c < n) N[c * nc + i] = s;
      }
    }
    for (int i = 0; i < n * nc; ++i) ASSERT_EQ(ls.m_aNoeq[i], N[i]) << i;

    // Inverse from the factor, scaled by sigma0^2; observation variances.
    const double* F = ls.m_aFactor.GetData();
    for (int j = 0; j < n; ++j) {
      for (int i = j; i < n; ++i) {
        double s = 0.0;
        for (int k = i; k < n; ++k) {
          const double fa = k == j ? 1.0 : F[k * nc + j];
          const double fb = k == i ? 1.0 : F[k * nc + i];
          s = s + (fb * fa) / F[k * nc + k];
        }
        ASSERT_EQ(ls.GetCovar(j, i), s * ls.m_dSigma);
        ASSERT_EQ(ls.GetCovar(i, j), s * ls.m_dSigma);
      }
    }
    double ss = 0.0, vv = 0.0;
    for (int k = 0; k < m; ++k) {
      double ax = 0.0;
      for (int j = 0; j < n; ++j) ax += ls.GetBcor(j) * a(k, j);
      const double v = a(k, n) - ax;
      ss += p.w[k] * v * v;
      vv += v * v;
    }
    EXPECT_EQ(ls.m_dSigma, ss / (m - n > 0 ? m - n : m));
    EXPECT_EQ(ls.CalStandard2(), std::sqrt(vv / (m - n >= 1 ? m - n : m)));
    for (int k = 0; k < m; ++k) {
      double var = 0.0;
      for (int i = 0; i < n; ++i) {
        double t = 0.0;
        for (int j = 0; j < n; ++j) t += ls.GetCovar(j, i) * a(k, j);
        var += a(k, i) * t;
      }
      ASSERT_EQ(ls.GetVar(k), var) << k;
    }

    // Full form.
    CLeastSq full(m, n);
    Fill(full, p);
    ASSERT_EQ(full.PISolve(), 1);
    for (int i = 0; i < n; ++i) {
      for (int c = 0; c <= n; ++c) {
        double s = 0.0;
        for (int k = 0; k < m; ++k) s += a(k, c) * a(k, i) * p.w[k];
        ASSERT_EQ(full.GetNoeq(i, c), s);
      }
    }

    // Row-wise factorisation.
    ls.TestChores();
    std::vector<double> L(N);
    for (int i = 1; i < n; ++i) {
      for (int j = 1; j < i; ++j) {
        double s = 0.0;
        for (int k = 0; k < j; ++k) s += L[i * nc + k] * L[j * nc + k];
        L[i * nc + j] -= s;
      }
      for (int j = 0; j < i; ++j) {
        const double t = L[i * nc + j];
        L[i * nc + j] = t / L[j * nc + j];
        L[i * nc + i] -= L[i * nc + j] * t;
      }
    }
    for (int i = 0; i < n * nc; ++i) ASSERT_EQ(ls.m_aFactor[i], L[i]) << i;
  }
}

// The solvers write whole rows with SetObeqRow and read only the corrections
// after SolveBcor: both must leave what SetObeq and Solve leave, bit for bit.
TEST(CLeastSq, RowWriterAndCorrectionSolveMatchElementwiseAndSolve) {
  std::mt19937 rng(11);
  const int sizes[][2] = {{40, 6}, {9, 8}, {200, 11}, {3, 3}, {700, 8}};
  for (const auto& size : sizes) {
    const int m = size[0], n = size[1];
    SCOPED_TRACE(std::to_string(m) + "x" + std::to_string(n));
    const Problem p = RandomProblem(m, n, rng);
    CLeastSq by_element(m, n), by_row(m, n), growing(n);
    Fill(by_element, p);
    for (CLeastSq* ls : {&by_row, &growing}) {
      ls->InitObeq();
      for (int k = 0; k < m; ++k) {
        std::vector<double> row(p.A[k]);
        row.push_back(p.l[k]);
        ASSERT_EQ(ls->SetObeqRow(row.data()), 1);
        ASSERT_EQ(ls->SetWeight(p.w[k]), 1);
      }
    }
    for (CLeastSq* ls : {&by_row, &growing}) {
      EXPECT_EQ(ls->m_nObeq, m);
      EXPECT_EQ(ls->m_nCurObeq, m - 1);
      ASSERT_EQ(ls->m_aObeq.GetSize(), by_element.m_aObeq.GetSize());
      for (int i = 0; i < m * (n + 1); ++i)
        ASSERT_EQ(ls->m_aObeq[i], by_element.m_aObeq[i]);
      ASSERT_EQ(ls->m_aWeight.GetSize(), m);
    }

    ASSERT_EQ(by_element.Solve(), 1);
    by_row.m_dSigma = -1.0;
    by_row.InitParameter(by_row.m_aCovar, -2.0);
    by_row.InitParameter(by_row.m_aVar, -3.0);
    by_row.SetFormTime(-4.0);
    by_row.m_dComputationTime = -5.0;
    ASSERT_EQ(by_row.SolveBcor(), 1);
    for (int j = 0; j < n; ++j)
      EXPECT_EQ(by_row.GetBcor(j), by_element.GetBcor(j));
    for (int i = 0; i < n * (n + 1); ++i)
      ASSERT_EQ(by_row.m_aNoeq[i], by_element.m_aNoeq[i]);
    EXPECT_EQ(by_row.CalStandard2(), by_element.CalStandard2());
    // Times taken as by Solve; no statistics.
    EXPECT_GE(by_row.GetFormTime(), 0.0);
    EXPECT_GE(by_row.GetComputationTime(), 0.0);
    EXPECT_EQ(by_row.m_dSigma, -1.0);
    for (int i = 0; i < n * (n + 1); ++i) ASSERT_EQ(by_row.m_aCovar[i], -2.0);
    for (int k = 0; k < m; ++k) ASSERT_EQ(by_row.m_aVar[k], -3.0);
  }

  // Failures as Solve's: a zero column while forming (b kept, times kept),
  // a zero pivot in the factorisation.
  for (const Problem* p : {&kZeroColumn, &kEqualColumns}) {
    const int m = static_cast<int>(p->A.size());
    CLeastSq full(m, 2), bcor(m, 2);
    Fill(full, *p);
    Fill(bcor, *p);
    bcor.SetFormTime(-1.0);
    EXPECT_EQ(bcor.SolveBcor(), 0);
    EXPECT_EQ(full.Solve(), 0);
    EXPECT_EQ(bcor.GetBcor(0), full.GetBcor(0));
    if (p == &kZeroColumn) {
      EXPECT_EQ(bcor.GetFormTime(), -1.0);
    }
  }
}

TEST(CLeastSq, RowWriterFollowsTheRulesOfColumnZero) {
  const double row[] = {1.0, 2.0, 3.0};
  CLeastSq ls(1, 2);
  ls.InitObeq();
  ASSERT_EQ(ls.SetObeqRow(row), 1);
  ASSERT_EQ(ls.SetObeqRow(row), 1);  // past the end: grows, weight 1.0
  EXPECT_EQ(ls.m_nObeq, 2);
  EXPECT_EQ(ls.m_aWeight[1], 1.0);
  EXPECT_EQ(ls.GetObeq(2), 3.0);

  // A cursor moved past the end: column 0 is out of range, nothing written.
  CLeastSq moved(2, 2);
  moved.InitObeq();
  moved.IncrementColumn();
  moved.IncrementColumn();
  moved.IncrementColumn();
  EXPECT_THROW(moved.SetObeqRow(row), CInvalidArgException);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(moved.m_aObeq[i], 0.0);

  CLeastSq negative(2, 2);
  negative.m_nParam = -1;  // SetObeq rejects every column
  negative.InitObeq();
  EXPECT_EQ(negative.SetObeqRow(row), 0);
  EXPECT_EQ(negative.m_nCurObeq, -1);
}

// --- Failures
// -------------------------------------------------------------------

TEST(CLeastSq, SingularNormalMatrixFailsWithoutException) {
  for (Method method : {kSolve, kPISolve, kSwpMat}) {
    SCOPED_TRACE(method);
    CLeastSq ls(3, 2);
    Fill(ls, kZeroColumn);
    ls.SetFormTime(-1.0);
    ls.m_dComputationTime = -2.0;
    const int ok = method == kSolve     ? ls.Solve()
                   : method == kPISolve ? ls.PISolve()
                                        : ls.SolveWithSwpMat();
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(ls.GetFormTime(), -1.0);  // times kept
    EXPECT_EQ(ls.GetComputationTime(), -2.0);
    EXPECT_EQ(ls.GetBcor(0), 14.0);  // b, not solved
  }

  for (Method method : {kSolve, kPISolve, kReduc}) {
    SCOPED_TRACE(method);
    CLeastSq ls(4, 2);
    ls.m_dSigma = -3.0;
    EXPECT_EQ(SolveWith(method, kEqualColumns, ls), 0);
    EXPECT_EQ(ls.m_dSigma, -3.0);
  }
  // The sweep has no pivot test: it succeeds with non-finite values.
  CLeastSq sweep(4, 2);
  EXPECT_EQ(SolveWith(kSwpMat, kEqualColumns, sweep), 1);
  EXPECT_FALSE(std::isfinite(sweep.GetBcor(1)));

  // Inverting a singular factor: that pivot becomes eps, C is not written.
  CLeastSq inv(2, 2);
  inv.SetNoeq(0, 0, 4.0);
  inv.SetNoeq(0, 1, 4.0);
  inv.SetNoeq(1, 0, 4.0);
  inv.SetNoeq(1, 1, 4.0);
  inv.InitParameter(inv.m_aCovar, 99.0);
  EXPECT_EQ(inv.TestInvers(), 1);
  EXPECT_EQ(inv.m_aFactor[4], inv.m_dEps);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(inv.m_aCovar[i], 99.0);
  EXPECT_EQ(inv.CalNoeqInverse(), 1);  // the pivot is eps now: not below
}

// --- Statistics
// -----------------------------------------------------------------

TEST(CLeastSq, LineFitExactDataHasZeroStatistics) {
  CLeastSq ls(3, 2);
  ls.InitObeq();
  WriteRow(ls, {1.0, 0.0}, 1.0);
  WriteRow(ls, {1.0, 1.0}, 3.0);
  WriteRow(ls, {1.0, 2.0}, 5.0);
  ASSERT_EQ(ls.Solve(), 1);
  EXPECT_DOUBLE_EQ(ls.GetBcor(0), 1.0);
  EXPECT_DOUBLE_EQ(ls.GetBcor(1), 2.0);
  EXPECT_EQ(ls.CalSigma2(), 0.0);
  EXPECT_EQ(ls.CalStandard2(), 0.0);
  EXPECT_EQ(ls.CalStandard(), 0.0);
  EXPECT_EQ(ls.m_dSigma, 0.0);
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) EXPECT_EQ(ls.GetCovar(i, j), 0.0);
  }
  for (int k = 0; k < 3; ++k) EXPECT_EQ(ls.GetVar(k), 0.0);
}

// Weighted line y = a + b t, statistics against the closed forms.
TEST(CLeastSq, RegressionStatisticsMatchClosedForms) {
  const double t[] = {-1.0, 0.0, 1.0, 2.0, 4.0};
  const double y[] = {0.1, 0.9, 3.2, 4.8, 9.1};
  const double w[] = {1.0, 2.0, 0.5, 1.0, 4.0};
  CLeastSq ls(5, 2);
  ls.InitObeq();
  for (int k = 0; k < 5; ++k) {
    WriteRow(ls, {1.0, t[k]}, y[k]);
    ls.SetWeight(w[k]);
  }
  ASSERT_EQ(ls.Solve(), 1);
  double sw = 0, st = 0, stt = 0, sy = 0, sty = 0;
  for (int k = 0; k < 5; ++k) {
    sw += w[k];
    st += w[k] * t[k];
    stt += w[k] * t[k] * t[k];
    sy += w[k] * y[k];
    sty += w[k] * t[k] * y[k];
  }
  const double det = sw * stt - st * st;
  const double b = (sw * sty - st * sy) / det;
  const double a = (sy - b * st) / sw;
  double vwv = 0, vv = 0;
  for (int k = 0; k < 5; ++k) {
    const double v = y[k] - a - b * t[k];
    vwv += w[k] * v * v;
    vv += v * v;
  }
  const double kTol = 1e-12;  // a few roundings of values of order 1
  EXPECT_NEAR(ls.GetBcor(0), a, kTol);
  EXPECT_NEAR(ls.GetBcor(1), b, kTol);
  const double sigma2 = vwv / 3.0;
  EXPECT_NEAR(ls.m_dSigma, sigma2, kTol);
  EXPECT_NEAR(ls.CalSigma2(), sigma2, kTol);
  EXPECT_NEAR(ls.CalStandard(), std::sqrt(vv / 5.0), kTol);
  EXPECT_NEAR(ls.CalStandard2(), std::sqrt(vv / 3.0), kTol);
  // Covariance sigma0^2 N^-1 with N = [[sw, st], [st, stt]].
  const double c00 = sigma2 * stt / det, c01 = -sigma2 * st / det,
               c11 = sigma2 * sw / det;
  EXPECT_NEAR(ls.GetCovar(0, 0), c00, kTol);
  EXPECT_NEAR(ls.GetCovar(0, 1), c01, kTol);
  EXPECT_NEAR(ls.GetCovar(1, 0), c01, kTol);
  EXPECT_NEAR(ls.GetCovar(1, 1), c11, kTol);
  for (int k = 0; k < 5; ++k) {
    const double var = c00 + 2 * c01 * t[k] + c11 * t[k] * t[k];
    EXPECT_NEAR(ls.GetVar(k), var, kTol) << k;
  }
}

TEST(CLeastSq, StatisticsWithoutRedundancyDivideByRowCount) {
  CLeastSq ls(2, 2);
  ls.InitObeq();
  WriteRow(ls, {1.0, 0.0}, 1.0);
  WriteRow(ls, {1.0, 1.0}, 3.0);
  ASSERT_EQ(ls.Solve(), 1);
  ls.m_aBcor[1] = 1.0;  // residuals (0, 1)
  EXPECT_DOUBLE_EQ(ls.CalSigma2(), 0.5);
  EXPECT_DOUBLE_EQ(ls.CalStandard2(), std::sqrt(0.5));
  EXPECT_DOUBLE_EQ(ls.CalStandard(), std::sqrt(0.5));

  CLeastSq none;
  EXPECT_EQ(none.CalStandard(), std::numeric_limits<double>::max());
  EXPECT_TRUE(std::isnan(none.CalStandard2()));
  EXPECT_TRUE(std::isnan(none.CalSigma2()));

  // One row started: solved, but no statistics.
  CLeastSq one(1, 1);
  one.SetSigma(-1.0);
  one.InitObeq();
  WriteRow(one, {2.0}, 4.0);
  ASSERT_EQ(one.Solve(), 1);
  EXPECT_DOUBLE_EQ(one.GetBcor(0), 2.0);
  EXPECT_EQ(one.m_dSigma, -1.0);
  EXPECT_DOUBLE_EQ(one.GetCovar(0, 0), 0.25);  // unscaled inverse
}

TEST(CLeastSq, SolveAllocatesNothingOnceSized) {
  std::mt19937 rng(3);
  const Problem p = RandomProblem(40, 9, rng);
  CLeastSq ls(40, 9);
  Fill(ls, p);
  const long before = g_allocations.load();
  ASSERT_EQ(ls.Solve(), 1);
  ASSERT_EQ(ls.SolveWithSwpMat(), 1);
  ASSERT_EQ(ls.PISolve(), 1);
  EXPECT_EQ(g_allocations.load(), before);
}

TEST(CLeastSq, MillisecondClockAndSolveTimes) {
  CLeastSq ls(3, 2);
  long t0 = -1, t1 = -1;
  EXPECT_EQ(ls.time(&t0), 1);
  EXPECT_EQ(ls.time(&t1), 1);
  const long kShiftMs = 9L * 3600 * 1000, kDayMs = 24L * 3600 * 1000;
  EXPECT_GE(t0, kShiftMs);
  EXPECT_LT(t0, kShiftMs + kDayMs);
  EXPECT_GE(t1 - t0, 0);  // except across midnight UTC
  ls.InitObeq();
  WriteRow(ls, {1.0, 0.0}, 1.0);
  WriteRow(ls, {1.0, 1.0}, 3.0);
  WriteRow(ls, {1.0, 2.0}, 5.0);
  ls.SetFormTime(-1.0);
  ls.m_dComputationTime = -1.0;
  ASSERT_EQ(ls.Solve(), 1);
  EXPECT_GE(ls.GetFormTime(), 0.0);
  EXPECT_GE(ls.GetComputationTime(), 0.0);
}

// --- Dump
// -----------------------------------------------------------------------

using CLeastSqDump = TempDirTest;

TEST_F(CLeastSqDump, WritesMarkedNormalMatrix) {
  CLeastSq ls(3, 2);
  const double N[2][3] = {{4, 2, 6}, {2, 0, 1}};
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 3; ++c) ls.SetNoeq(r, c, N[r][c]);
  }
  ASSERT_EQ(ls.SaveErrorNoeqStatus(2, 3), 1);
  EXPECT_EQ(ReadFile("Noeq.txt"),
            "Col:2 Row:3\n"
            "#4.0e+00 2.0e+00 6.0e+00 \n"
            "2.0e+00 *0.0e+00 1.0e+00 \n");

  // Truncated on rewrite; negative and NaN diagonals.
  ls.SetNoeq(0, 0, -1250.0);
  ls.SetNoeq(1, 1, std::numeric_limits<double>::quiet_NaN());
  ASSERT_EQ(ls.SaveErrorNoeqStatus(2, 2), 1);
  EXPECT_EQ(ReadFile("Noeq.txt"),
            "Col:2 Row:2\n"
            "*-1.2e+03 2.0e+00 \n"
            "2.0e+00 #nan \n");
}

TEST_F(CLeastSqDump, FailsWithoutFileAndThrowsOutsideMatrix) {
  CLeastSq ls(3, 2);
  EXPECT_THROW(ls.SaveErrorNoeqStatus(3, 3), CInvalidArgException);
  std::filesystem::remove("Noeq.txt");
  std::filesystem::create_directory("Noeq.txt");
  EXPECT_EQ(ls.SaveErrorNoeqStatus(2, 3), 0);
}
