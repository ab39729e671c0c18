#include <collinear/leastsq/leastsq.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/framework/exception.h>

namespace {

// Writes one observation row: coefficients a[0..n-1], then the observed value.
void WriteRow(CLeastSq& ls, const std::vector<double>& a, double l) {
  for (size_t c = 0; c < a.size(); ++c) {
    ASSERT_EQ(ls.SetObeq(static_cast<int>(c), a[c]), 1);
  }
  ASSERT_EQ(ls.SetObeq(static_cast<int>(a.size()), l), 1);
}

// Straight line y = a + b t through (0, 1), (1, 3), (2, 5) plus `noise` on
// the last point.
void FillLine(CLeastSq& ls, double noise) {
  const double t[] = {0, 1, 2};
  const double y[] = {1, 3, 5 + noise};
  ls.InitObeq();
  for (int k = 0; k < 3; ++k) WriteRow(ls, {1.0, t[k]}, y[k]);
}

// Reference solution of a weighted problem, independent of the engine: the
// normal equations in long double, Gaussian elimination with partial pivoting.
std::vector<double> ReferenceSolve(const std::vector<std::vector<double>>& A,
                                   const std::vector<double>& l,
                                   const std::vector<double>& w) {
  const size_t n = A[0].size();
  std::vector<std::vector<long double>> M(n, std::vector<long double>(n + 1));
  for (size_t k = 0; k < A.size(); ++k) {
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = 0; j < n; ++j) {
        M[i][j] += static_cast<long double>(w[k]) * A[k][i] * A[k][j];
      }
      M[i][n] += static_cast<long double>(w[k]) * A[k][i] * l[k];
    }
  }
  for (size_t p = 0; p < n; ++p) {
    size_t best = p;
    for (size_t r = p + 1; r < n; ++r) {
      if (std::fabs(M[r][p]) > std::fabs(M[best][p])) best = r;
    }
    std::swap(M[p], M[best]);
    for (size_t r = p + 1; r < n; ++r) {
      const long double f = M[r][p] / M[p][p];
      for (size_t c = p; c <= n; ++c) M[r][c] -= f * M[p][c];
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

}  // namespace

TEST(CLeastSq, ConstructorsSizeTheArrays) {
  CLeastSq ls(5, 3);
  EXPECT_EQ(ls.m_nObeq, 5);
  EXPECT_EQ(ls.m_nParam, 3);
  EXPECT_EQ(ls.m_nCol, 4);
  EXPECT_EQ(ls.m_nNoeqSize, 12);
  EXPECT_EQ(ls.m_nCurObeq, -1);
  EXPECT_EQ(ls.m_dEps, 10 * std::numeric_limits<double>::min());
  EXPECT_EQ(ls.m_aObeq.GetSize(), 20);
  EXPECT_EQ(ls.m_aWeight.GetSize(), 5);
  EXPECT_EQ(ls.m_aWeight[4], 1.0);
  EXPECT_EQ(ls.m_aVar.GetSize(), 5);
  EXPECT_EQ(ls.m_aCovar.GetSize(), 12);

  CLeastSq grow(4);
  EXPECT_EQ(grow.m_nObeq, 1);
  EXPECT_EQ(grow.m_aObeq.GetSize(), 5);
  EXPECT_EQ(grow.m_aWeight.GetSize(), 1);
  EXPECT_EQ(grow.m_aVar.GetSize(), 0);
  EXPECT_EQ(grow.m_aFactor.GetSize(), 20);

  CLeastSq empty;
  EXPECT_EQ(empty.m_nCol, 0);
  EXPECT_EQ(empty.m_aNoeq.GetSize(), 0);
  EXPECT_EQ(empty.Create(3, 2), 1);
  EXPECT_EQ(empty.m_nNoeqSize, 6);
  EXPECT_EQ(empty.m_aObeq.GetSize(), 9);
}

TEST(CLeastSq, SingleRowEngineGrowsOneRowAtATime) {
  CLeastSq ls(2);
  FillLine(ls, 0.0);
  EXPECT_EQ(ls.m_nObeq, 3);
  EXPECT_EQ(ls.GetObeqSize(), 3);
  EXPECT_EQ(ls.GetDegreesOfFreedom(), 1);
  EXPECT_EQ(ls.m_aWeight.GetSize(), 3);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(ls.m_aWeight[k], 1.0);
  EXPECT_EQ(ls.m_aObeq.GetSize(), 9);
  EXPECT_EQ(ls.m_aVar.GetSize(), 0);  // only the statistics size it
  EXPECT_EQ(ls.GetCurrentObeqNumber(), 3);
  ASSERT_EQ(ls.Solve(), 1);
  EXPECT_EQ(ls.m_aVar.GetSize(), 3);
}

TEST(CLeastSq, LowerTriangleSystemSolvesWithNegativePivots) {
  CLeastSq ls(3, 3);
  ls.TestData31();
  EXPECT_EQ(ls.TestChores(), 1);
  const double* F = ls.m_aFactor.GetData();
  EXPECT_EQ(F[0], 1.0);
  EXPECT_EQ(F[5], -1.0);
  EXPECT_EQ(F[10], -1.0);
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
}

TEST(CLeastSq, LineFitExactDataHasZeroStatistics) {
  CLeastSq ls(3, 2);
  FillLine(ls, 0.0);
  ASSERT_EQ(ls.Solve(), 1);
  EXPECT_DOUBLE_EQ(ls.GetBcor(0), 1.0);
  EXPECT_DOUBLE_EQ(ls.GetBcor(1), 2.0);
  EXPECT_EQ(ls.CalSigma2(), 0.0);
  EXPECT_EQ(ls.CalStandard2(), 0.0);
  EXPECT_EQ(ls.m_dSigma, 0.0);
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) EXPECT_EQ(ls.GetCovar(i, j), 0.0);
  }
}

TEST(CLeastSq, OutOfRangeAccessThrows) {
  CLeastSq ls(3, 2);
  EXPECT_THROW(ls.GetBcor(2), CInvalidArgException);
  EXPECT_THROW(ls.GetVar(3), CInvalidArgException);
  EXPECT_THROW(ls.SetWeight(3, 1.0), CInvalidArgException);
  ls.InitObeq();
  EXPECT_THROW(ls.SetObeq(1, 1.0), CInvalidArgException);  // no column 0
  EXPECT_EQ(ls.SetObeq(3, 1.0), 0);
  EXPECT_EQ(ls.SetObeq(-1, 1.0), 0);
}

// Random well-conditioned weighted problems: every solve method agrees with
// the independent long-double solution.
TEST(CLeastSq, AllSolveMethodsAgreeWithIndependentSolution) {
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<double> coef(-1.0, 1.0);
  std::uniform_real_distribution<double> weight(0.5, 2.0);
  const int sizes[][2] = {{12, 11}, {40, 6}, {200, 11}, {60, 30}};
  const double kTol = 1e-9;  // well-conditioned, unknowns of order 1
  for (const auto& size : sizes) {
    const int m = size[0], n = size[1];
    SCOPED_TRACE(std::to_string(m) + "x" + std::to_string(n));
    std::vector<std::vector<double>> A(m, std::vector<double>(n));
    std::vector<double> l(m), w(m);
    for (int k = 0; k < m; ++k) {
      for (int j = 0; j < n; ++j) A[k][j] = coef(rng);
      l[k] = coef(rng);
      w[k] = weight(rng);
    }
    const std::vector<double> ref = ReferenceSolve(A, l, w);
    for (int method = 0; method < 4; ++method) {
      SCOPED_TRACE("method " + std::to_string(method));
      CLeastSq ls(m, n);
      ls.InitObeq();
      for (int k = 0; k < m; ++k) {
        WriteRow(ls, A[k], l[k]);
        ASSERT_EQ(ls.SetWeight(w[k]), 1);
      }
      int ok = 0;
      switch (method) {
        case 0:
          ok = ls.Solve();
          break;
        case 1:
          ok = ls.PISolve();
          break;
        case 2:
          ok = ls.SolveWithSwpMat();
          break;
        case 3:  // normal equations handed over directly
          CLeastSq formed(m, n);
          formed.InitObeq();
          for (int k = 0; k < m; ++k) {
            WriteRow(formed, A[k], l[k]);
            formed.SetWeight(w[k]);
          }
          ASSERT_EQ(formed.PISolve(), 1);  // forms N into m_aNoeq
          for (int r = 0; r < n; ++r) {
            for (int c = 0; c <= n; ++c) ls.SetNoeq(r, c, formed.GetNoeq(r, c));
          }
          ok = ls.SolveWithReduc();
          break;
      }
      ASSERT_EQ(ok, 1);
      for (int j = 0; j < n; ++j) EXPECT_NEAR(ls.GetBcor(j), ref[j], kTol);
    }
  }
}
