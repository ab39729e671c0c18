#include <collinear/leastsq/leastsq.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/framework/exception.h>

namespace {

using Values = std::vector<double>;

struct Problem {
  std::vector<Values> A;  // m rows of n coefficients
  Values l, w;            // observed values, weights
};

Values Of(const CArray<double, double>& a) {
  return Values(a.GetData(), a.GetData() + a.GetSize());
}

// Writes one observation row: coefficients a[0..n-1], then the observed value.
void WriteRow(CLeastSq& ls, const Values& a, double l) {
  for (size_t c = 0; c <= a.size(); ++c)
    ASSERT_EQ(ls.SetObeq(static_cast<int>(c), c < a.size() ? a[c] : l), 1);
}

// Fills ls with p column by column, or whole rows with SetObeqRow.
void Fill(CLeastSq& ls, const Problem& p, bool by_row = false) {
  ls.InitObeq();
  for (size_t k = 0; k < p.A.size(); ++k) {
    Values row(p.A[k]);
    row.push_back(p.l[k]);
    if (by_row) {
      ASSERT_EQ(ls.SetObeqRow(row.data()), 1);
    } else {
      WriteRow(ls, p.A[k], p.l[k]);
    }
    ASSERT_EQ(ls.SetWeight(p.w[k]), 1);
  }
}

// Well-conditioned random problem: coefficients and observations k / 1000
// in [-1, 1], weights in [0.5, 2], from the raw mt19937 stream (the same
// doubles on every platform, which the golden digests need).
Problem RandomProblem(int m, int n) {
  std::mt19937 rng(1000 * m + n);
  auto unit = [&rng] { return static_cast<int>(rng() % 2001) / 1000.0 - 1; };
  Problem p{std::vector<Values>(m, Values(n)), Values(m), Values(m)};
  for (int k = 0; k < m; ++k) {
    for (double& a : p.A[k]) a = unit();
    p.l[k] = unit();
    p.w[k] = 1.25 + 0.75 * unit();
  }
  return p;
}

enum Method { kSolve, kPISolve, kSwpMat };

// Solves with one of the methods that form N.
int RunSolver(Method method, CLeastSq& ls) {
  return method == kSolve     ? ls.Solve()
         : method == kPISolve ? ls.PISolve()
                              : ls.SolveWithSwpMat();
}

// Singular problems: unknown 1 never observed (a zero diagonal, caught while
// forming), and two equal columns (non-zero diagonal, zero second pivot).
const Problem kZeroColumn{{{1, 0}, {2, 0}, {3, 0}}, {1, 2, 3}, {1, 1, 1}};
const Problem kEqualColumns{
    {{1, 1}, {1, 1}, {1, 1}, {1, 1}}, {1, 2, 3, 4}, {1, 1, 1, 1}};

// FNV-1a of the bits of every array and figure the engines leave: one number
// that any changed bit changes.
uint64_t Digest(std::initializer_list<CLeastSq*> engines) {
  uint64_t h = 14695981039346656037U;
  auto add = [&h](double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 64; i += 8)
      h = (h ^ ((bits >> i) & 0xff)) * 1099511628211U;
  };
  for (CLeastSq* e : engines) {
    for (const auto* a : {&e->m_aObeq,
                          &e->m_aWeight,
                          &e->m_aNoeq,
                          &e->m_aBcor,
                          &e->m_aFactor,
                          &e->m_aCovar,
                          &e->m_aVar})
      for (INT_PTR i = 0; i < a->GetSize(); ++i) add((*a)[i]);
    for (double v : {e->m_dSigma, e->CalStandard(), e->CalStandard2()}) add(v);
  }
  return h;
}

// Unknown j's component of A^T W (l - A x) for the corrections of ls, in
// long double: zero at the least-squares solution, whatever the algorithm.
double Gradient(const Problem& p, CLeastSq& ls, int j) {
  long double g = 0.0;
  for (size_t k = 0; k < p.A.size(); ++k) {
    long double v = p.l[k];
    for (size_t i = 0; i < p.A[k].size(); ++i)
      v -=
          static_cast<long double>(p.A[k][i]) * ls.GetBcor(static_cast<int>(i));
    g += p.w[k] * p.A[k][j] * v;
  }
  return static_cast<double>(g);
}

}  // namespace

// --- Rows, growth and access ----------------------------------------------

// Create re-dimensions a used engine: rows, N and b zeroed, weights 1.0.
TEST(CLeastSq, CreateAndGrowingEngineFitALine) {
  CLeastSq used(5, 3);
  WriteRow(used, {1, 2, 3}, 4);
  used.SetWeight(7.0);
  used.SetNoeq(0, 3, 9.0);
  EXPECT_EQ(used.Create(3, 2), 1);
  EXPECT_EQ(used.GetCurrentObeqNumber(), 0);
  EXPECT_EQ(Of(used.m_aObeq), Values(9, 0.0));
  EXPECT_EQ(Of(used.m_aNoeq), Values(6, 0.0));
  EXPECT_EQ(Of(used.m_aBcor), Values(2, 0.0));
  EXPECT_EQ(Of(used.m_aWeight), Values(3, 1.0));
  EXPECT_EQ(used.m_aCovar.GetSize() + used.m_aVar.GetSize(), 6 + 3);
  // A weighted line y = a + b t against its closed forms, written into a
  // one-row engine that grows by a zero row of weight 1.0 whenever column 0
  // or SetObeqRow passes the end. Columns outside 0..n are refused, a weight
  // needs a started row. A second pass overwrites rows from the first; the
  // rest stay and take part in the solve.
  double t[] = {-1.0, 0.0, 1.0, 2.0, 4.0}, y[] = {0.1, 0.9, 3.2, 4.8, 9.1};
  const double w[] = {1.0, 2.0, 0.5, 1.0, 4.0};
  CLeastSq ls(2);
  auto expect_closed_forms = [&] {
    double sw = 0, st = 0, stt = 0, sy = 0, sty = 0, vwv = 0;
    for (int k = 0; k < 5; ++k) {
      sw += w[k];
      st += w[k] * t[k];
      stt += w[k] * t[k] * t[k];
      sy += w[k] * y[k];
      sty += w[k] * t[k] * y[k];
    }
    const double det = sw * stt - st * st;
    const double b = (sw * sty - st * sy) / det, a = (sy - b * st) / sw;
    for (int k = 0; k < 5; ++k)
      vwv += w[k] * (y[k] - a - b * t[k]) * (y[k] - a - b * t[k]);
    const double kTol = 1e-12;  // a few roundings of values of order 1
    // covariance s2 N^-1, N = [[sw, st], [st, stt]]
    const double s2 = vwv / 3.0, c01 = -s2 * st / det;
    const double c00 = s2 * stt / det, c11 = s2 * sw / det;
    EXPECT_NEAR(ls.GetBcor(0), a, kTol);
    EXPECT_NEAR(ls.GetBcor(1), b, kTol);
    EXPECT_NEAR(ls.m_dSigma, s2, kTol);
    EXPECT_NEAR(ls.GetCovar(0, 0), c00, kTol);
    EXPECT_NEAR(ls.GetCovar(1, 0), c01, kTol);
    EXPECT_NEAR(ls.GetCovar(1, 1), c11, kTol);
    for (int k = 0; k < 5; ++k)
      EXPECT_NEAR(ls.GetVar(k), c00 + 2 * c01 * t[k] + c11 * t[k] * t[k], kTol);
  };
  ls.InitObeq();
  EXPECT_EQ(ls.SetObeq(3, 1.0) + ls.SetObeq(-1, 1.0) + ls.SetWeight(2.0), 0);
  for (int k = 0; k < 2; ++k) {
    ls.SetObeq(0, 1.0);
    EXPECT_EQ(ls.GetObeq(1) + ls.GetObeq(2), 0.0);
    ls.SetObeq(2, y[k]);  // columns after 0 in any order
    ls.SetObeq(1, t[k]);
    ls.SetWeight(w[k]);
  }
  for (int k = 2; k < 5; ++k) {
    const double row[] = {1.0, t[k], y[k]};
    ASSERT_EQ(ls.SetObeqRow(row), 1);
    ls.SetWeight(w[k]);
  }
  EXPECT_EQ(ls.GetObeqNumber() + ls.GetDegreesOfFreedom(), 5 + 3);
  EXPECT_EQ(ls.CheckParameterNumber(), 1);
  EXPECT_EQ(Of(ls.m_aWeight), Values(w, w + 5));
  EXPECT_EQ(ls.m_aObeq.GetSize() + ls.m_aVar.GetSize(), 15);  // no Var yet
  ASSERT_EQ(ls.Solve(), 1);
  expect_closed_forms();
  ls.InitObeq();
  t[0] = 3.0;
  y[0] = 7.5;
  WriteRow(ls, {1.0, t[0]}, y[0]);
  EXPECT_EQ(ls.CheckParameterNumber(), 0);
  for (int k = 1; k < 5; ++k) ls.IncrementColumn();  // no growth
  EXPECT_EQ(ls.CheckParameterNumber(), 1);
  ASSERT_EQ(ls.Solve(), 1);
  expect_closed_forms();
  // Rows given no weight count once, the grown ones too: a plain mean.
  CLeastSq mean(1);
  mean.InitObeq();
  for (const double v : {1.0, 2.0, 6.0}) WriteRow(mean, {1.0}, v);
  ASSERT_EQ(mean.Solve(), 1);
  EXPECT_NEAR(mean.GetBcor(0), 3.0, 1e-15);
}

// Writing column n also writes b; checks of N's diagonal and the weights.
// A row written without its column 0 is an error (also SetObeqRow past the
// end of an engine not growing there), and so are arrays that no longer
// match the dimension fields: the solvers raise it instead of reading past
// the end, the test systems when the arrays are too small.
TEST(CLeastSq, AccessChecksAndOutOfRangeWrites) {
  CLeastSq ls(3, 2), empty, w(3, 2), broken(4, 2);
  ls.SetNoeq(1, 2, 8.0);
  ls.SetNoeq(1, 1, 6.0);
  EXPECT_EQ(Of(ls.m_aNoeq), (Values{0, 0, 0, 0, 6, 8}));
  EXPECT_EQ(Of(ls.m_aBcor), (Values{0, 8}));
  EXPECT_EQ(ls.CheckNoeq(), 0);  // N(0, 0) = 0
  ls.SetNoeq(0, 0, 1e-300);
  EXPECT_EQ(ls.CheckNoeq() + empty.CheckNoeq(), 2);  // empty: no unknowns
  ls.SetFormTime(5.0);
  EXPECT_EQ(ls.InitNoeq() + ls.InitBcor(), 2);
  EXPECT_EQ(Of(ls.m_aNoeq), Values(6, 0.0));
  EXPECT_EQ(ls.GetBcor(1) + ls.GetFormTime(), 0.0);
  EXPECT_EQ(empty.InitBcor(), 0);
  ls.m_aNoeq.SetSize(5);
  EXPECT_EQ(ls.InitNoeq(), 0);
  EXPECT_EQ(ls.InitParameter(ls.m_aWeight, 0.0), 1);
  EXPECT_EQ(ls.CheckWeight() + empty.CheckWeight(), 0);
  ls.SetWeight(2, 1.0);
  EXPECT_EQ(ls.CheckWeight(), 1);
  EXPECT_THROW(ls.GetCovar(2, 0), CInvalidArgException);
  EXPECT_THROW(ls.GetNoeq(2, 0), CInvalidArgException);
  EXPECT_THROW(ls.SetNoeq(-1, 0, 1.0), CInvalidArgException);
  const double row[] = {1.0, 2.0, 3.0};
  EXPECT_THROW(w.SetObeq(1, 1.0), CInvalidArgException);
  for (int k = 0; k < 4; ++k) w.IncrementColumn();
  EXPECT_THROW(w.SetObeqRow(row), CInvalidArgException);
  EXPECT_EQ(Of(w.m_aObeq), Values(9, 0.0));
  w.m_nParam = -1;  // SetObeq would refuse every column
  w.InitObeq();
  EXPECT_EQ(w.SetObeqRow(row), 0);
  EXPECT_EQ(w.GetCurrentObeqNumber(), 0);
  EXPECT_THROW(w.TestData31(), CInvalidArgException);
  EXPECT_THROW(w.TestData4(), CInvalidArgException);
  broken.m_nParam = 3;
  broken.m_nCol = 4;
  EXPECT_THROW(broken.Solve(), CInvalidArgException);
  EXPECT_THROW(broken.PISolve(), CInvalidArgException);
  EXPECT_THROW(broken.CalStandard2(), CInvalidArgException);
  EXPECT_THROW(empty.Solve(), CInvalidArgException);  // Create never called
}

// --- Solutions
// ----------------------------------------------------------------

// TestData31: N = L D L^T with L = [[1], [2, 1], [4, 3, 1]] and D = (1, -1,
// -1); b gives x = (1, 2, 3); the inverse worked out by hand.
// TestData4: the indefinite N with pivots -3, -2, 5, 4 and x = (2, 3, 4, 5),
// solved as it stands (SolveWithReduc forms nothing and, without rows, keeps
// the statistics), and as four observation rows, the columns of its unit
// lower factor weighted with the pivots, by every method.
TEST(CLeastSq, HandWorkedIndefiniteSystems) {
  CLeastSq tri(3, 3), reduc(4, 4);
  tri.TestData31();
  EXPECT_EQ(tri.TestChores(), 1);
  EXPECT_EQ(Of(tri.m_aFactor), (Values{1, 0, 0, 0, 2, -1, 0, 0, 4, 3, -1, 0}));
  EXPECT_EQ(Of(tri.m_aBcor), (Values{1, 2, 3}));
  EXPECT_EQ(tri.TestInvers(), 1);
  const double inv[3][3] = {{-7, 8, -2}, {8, -10, 3}, {-2, 3, -1}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(tri.GetCovar(i, j), inv[i][j]);
  reduc.TestData4();
  EXPECT_EQ(Of(reduc.m_aBcor), (Values{-168, -1246, -476, -960}));
  EXPECT_EQ(reduc.GetNoeq(0, 3), -15.0);  // mirrored
  reduc.SetFormTime(-1.0);
  reduc.SetSigma(-2.0);
  ASSERT_EQ(reduc.SolveWithReduc(), 1);
  EXPECT_EQ(reduc.GetFormTime() + reduc.m_dSigma, -3.0);
  const double pivots[] = {-3, -2, 5, 4};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(reduc.m_aFactor[i * 5 + i], pivots[i]);
    EXPECT_DOUBLE_EQ(reduc.GetBcor(i), 2.0 + i);
  }
  const Problem rows{{{1, 7, 2, 5}, {0, 1, 3, 4}, {0, 0, 1, 2}, {0, 0, 0, 1}},
                     {56, 35, 14, 5},
                     {-3, -2, 5, 4}};
  for (Method method : {kSolve, kPISolve, kSwpMat}) {
    CLeastSq ls(4, 4);
    Fill(ls, rows);
    ASSERT_EQ(RunSolver(method, ls), 1) << method;
    for (int i = 0; i < 4; ++i)
      EXPECT_DOUBLE_EQ(ls.GetBcor(i), 2.0 + i) << method;
  }
}

// At the solution the weighted residuals are orthogonal to every column,
// whatever the algorithm. Callers compare results to the last bit, so every
// sum accumulates in the documented order whatever the blocking of the
// loops: golden digests of all the engine leaves after each solver, on
// sizes that take every forming path (6 and 8 unknowns up to 512 rows their
// own) and leave remainders in every block. SolveBcor of rows written whole
// into a growing engine gives Solve's N and x and leaves the statistics
// alone. Made once with the engine of commit 165e360.
TEST(CLeastSq, SolutionsAndGoldenDigests) {
  const struct {
    int m, n;
    uint64_t digest;
  } cases[] = {
      {6, 1, 0xaf45776e724562d8U},
      {13, 7, 0x511841f892e746a0U},
      {41, 6, 0xaa8a9a78a3b5133fU},
      {600, 6, 0xdf2e7d9903d2724aU},
      {22, 8, 0x8f2e3b6a1960e281U},
      {700, 8, 0x2e3ff612c130e4dbU},
      {203, 11, 0x68b39637894891cbU},
      {61, 37, 0x8c432cf2fd3e32b8U},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.m) + "x" + std::to_string(c.n));
    const Problem p = RandomProblem(c.m, c.n);
    CLeastSq ls(c.m, c.n), grown(c.n), pi(c.m, c.n), sweep(c.m, c.n);
    for (CLeastSq* e : {&ls, &pi, &sweep}) Fill(*e, p);
    Fill(grown, p, true);
    grown.SetSigma(-1.0);
    ASSERT_EQ(ls.Solve() + grown.SolveBcor(), 2);
    ASSERT_EQ(pi.PISolve() + sweep.SolveWithSwpMat(), 2);
    for (CLeastSq* e : {&ls, &pi, &sweep})
      for (int j = 0; j < c.n; ++j)
        EXPECT_NEAR(Gradient(p, *e, j), 0.0, 1e-12 * c.m);
    EXPECT_EQ(Of(grown.m_aNoeq), Of(ls.m_aNoeq));
    EXPECT_EQ(Of(grown.m_aBcor), Of(ls.m_aBcor));
    EXPECT_EQ(grown.m_dSigma + grown.m_aVar.GetSize(), -1.0);
    EXPECT_EQ(Digest({&ls, &grown, &pi, &sweep}), c.digest);
  }
}

// --- Failures
// -----------------------------------------------------------------

// A zero column fails while forming (b formed, times kept), equal columns
// on a zero pivot (statistics kept); SolveBcor and SolveWithReduc fail as
// Solve does. The sweep has no pivot test: it succeeds with non-finite
// values. Inverting a singular factor sets that pivot to eps and leaves C
// unwritten.
TEST(CLeastSq, SingularNormalMatrixFailsWithoutException) {
  for (Method method : {kSolve, kPISolve, kSwpMat}) {
    CLeastSq ls(3, 2), bcor(3, 2), equal(4, 2);
    Fill(ls, kZeroColumn);
    ls.SetFormTime(-1.0);
    ls.m_dComputationTime = -2.0;
    EXPECT_EQ(RunSolver(method, ls), 0) << method;
    EXPECT_EQ(ls.GetFormTime() + ls.GetComputationTime(), -3.0);
    EXPECT_EQ(Of(ls.m_aBcor), (Values{14, 0}));  // b, not solved
    Fill(bcor, method == kSolve ? kZeroColumn : kEqualColumns);
    EXPECT_EQ(bcor.SolveBcor(), 0);
    equal.SetSigma(-3.0);
    Fill(equal, kEqualColumns);
    EXPECT_EQ(RunSolver(method, equal), method == kSwpMat);
    EXPECT_EQ(equal.m_dSigma, -3.0);
    EXPECT_TRUE(method != kSwpMat || !std::isfinite(equal.GetBcor(1)));
  }
  CLeastSq inv(2, 2);
  for (int i = 0; i < 4; ++i) inv.SetNoeq(i / 2, i % 2, 4.0);
  EXPECT_EQ(inv.SolveWithReduc(), 0);
  inv.InitParameter(inv.m_aCovar, 99.0);
  EXPECT_EQ(inv.TestInvers(), 1);
  EXPECT_EQ(inv.m_aFactor[4], inv.m_dEps);
  EXPECT_EQ(Of(inv.m_aCovar), Values(6, 99.0));
  EXPECT_EQ(inv.CalNoeqInverse(), 1);  // the pivot is eps now: not below
}

// --- Statistics
// ---------------------------------------------------------------

// Without redundancy the sums are divided by m; no rows at all give the
// largest double or NaN; with one row started Solve solves but leaves the
// statistics (and the unscaled inverse).
TEST(CLeastSq, StatisticsWithoutRedundancyAndClock) {
  CLeastSq ls(2, 2), none, one(1, 1);
  WriteRow(ls, {1.0, 0.0}, 1.0);
  WriteRow(ls, {1.0, 1.0}, 3.0);
  ASSERT_EQ(ls.Solve(), 1);
  ls.m_aBcor[1] = 1.0;  // residuals (0, 1)
  EXPECT_DOUBLE_EQ(ls.CalSigma2(), 0.5);
  EXPECT_DOUBLE_EQ(ls.CalStandard2(), std::sqrt(0.5));
  EXPECT_DOUBLE_EQ(ls.CalStandard(), std::sqrt(0.5));
  EXPECT_EQ(none.CalStandard(), std::numeric_limits<double>::max());
  EXPECT_TRUE(std::isnan(none.CalStandard2()) && std::isnan(none.CalSigma2()));
  one.SetSigma(-1.0);
  WriteRow(one, {2.0}, 4.0);
  ASSERT_EQ(one.Solve(), 1);
  EXPECT_DOUBLE_EQ(one.GetBcor(0), 2.0);
  EXPECT_EQ(one.m_dSigma, -1.0);
  EXPECT_DOUBLE_EQ(one.GetCovar(0, 0), 0.25);
  // The clock: milliseconds of the UTC day shifted by 9 h.
  const long kShiftMs = 9L * 3600 * 1000, kDayMs = 24L * 3600 * 1000;
  long t = -1;
  EXPECT_EQ(none.time(&t), 1);
  EXPECT_GE(t, kShiftMs);
  EXPECT_LT(t, kShiftMs + kDayMs);
}

// "Noeq.txt" in the current directory (here a fresh one), diagonals marked
// "#" or "*"; truncated on rewrite; 0 when the file cannot be created.
TEST(CLeastSq, DumpsTheMarkedNormalMatrix) {
  namespace fs = std::filesystem;
  const fs::path old = fs::current_path();
  std::string dir = (fs::temp_directory_path() / "leastsq-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  fs::current_path(dir);
  auto read = [] {
    std::ifstream in("Noeq.txt");
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  CLeastSq ls(3, 2);
  const double N[2][3] = {{4, 2, 6}, {2, 0, 1}};
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 3; ++c) ls.SetNoeq(r, c, N[r][c]);
  EXPECT_EQ(ls.SaveErrorNoeqStatus(2, 3), 1);
  EXPECT_EQ(
      read(),
      "Col:2 Row:3\n#4.0e+00 2.0e+00 6.0e+00 \n2.0e+00 *0.0e+00 1.0e+00 \n");
  ls.SetNoeq(0, 0, -1250.0);
  ls.SetNoeq(1, 1, std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(ls.SaveErrorNoeqStatus(2, 2), 1);
  EXPECT_EQ(read(), "Col:2 Row:2\n*-1.2e+03 2.0e+00 \n2.0e+00 #nan \n");
  EXPECT_THROW(ls.SaveErrorNoeqStatus(3, 3), CInvalidArgException);
  fs::remove("Noeq.txt");
  fs::create_directory("Noeq.txt");
  EXPECT_EQ(ls.SaveErrorNoeqStatus(2, 3), 0);
  fs::current_path(old);
  fs::remove_all(dir);
}
