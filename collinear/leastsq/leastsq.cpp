#include <collinear/leastsq/leastsq.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include <collinear/framework/exception.h>

// Every sum below accumulates its terms one at a time in the order of the
// index named in its comment, starting from 0.0, and every product keeps its
// factor order: callers compare results to the last bit. Loops are arranged
// for contiguous access (and may interleave independent sums), never by
// reassociating one sum. Index ranges are checked once per loop nest.
// No multiply-add contraction either, on targets that have fused ones.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace {

// Ten times the smallest normalised double.
constexpr double kSingularEps = 2.2250738585072014e-307;

using Index = INT_PTR;

// Throws CInvalidArgException unless the elements (r, c), 0 <= r < rows and
// 0 <= c < cols, at index r * stride + c all lie inside `a`.
void CheckBlock(const CArray<double, double>& a,
                Index rows,
                Index cols,
                Index stride) {
  if (rows <= 0 || cols <= 0) return;
  if (stride < 0 && rows > 1) AfxThrowInvalidArgException();
  const Index last = (rows - 1) * stride + cols - 1;
  if (last >= a.GetSize()) AfxThrowInvalidArgException();
}

void CheckCount(const CArray<double, double>& a, Index count) {
  if (count > a.GetSize()) AfxThrowInvalidArgException();
}

// Checked flat element index of (r, c) at row length `stride`.
Index FlatIndex(const CArray<double, double>& a,
                Index r,
                Index c,
                Index stride) {
  const Index i = r * stride + c;
  if (i < 0 || i >= a.GetSize()) AfxThrowInvalidArgException();
  return i;
}

// l - sum_j x_j * a_j, the sum in increasing j.
inline double Residual(const double* a, const double* x, int n) {
  double s = 0.0;
  for (int j = 0; j < n; ++j) s += x[j] * a[j];
  return a[n] - s;
}

// Residual of each of four rows from `a` (row length nc) into v: the four
// sums of Residual side by side, so that they do not wait on each other.
inline void Residuals4(
    const double* a, Index nc, const double* x, int n, double* v) {
  const double *r0 = a, *r1 = a + nc, *r2 = a + 2 * nc, *r3 = a + 3 * nc;
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  for (int j = 0; j < n; ++j) {
    s0 += x[j] * r0[j];
    s1 += x[j] * r1[j];
    s2 += x[j] * r2[j];
    s3 += x[j] * r3[j];
  }
  v[0] = r0[n] - s0;
  v[1] = r1[n] - s1;
  v[2] = r2[n] - s2;
  v[3] = r3[n] - s3;
}

// Sum over the m rows, in order, of the squared residuals. kN > 0 fixes
// n = kN and the row length kN + 1 so that the loop over the unknowns of a
// small problem unrolls.
template <int kN>
double SumOfSquaredResiduals(
    const double* A, const double* x, int m, int n_runtime, Index nc_runtime) {
  const int n = kN > 0 ? kN : n_runtime;
  const Index nc = kN > 0 ? kN + 1 : nc_runtime;
  double s = 0.0;
  for (int k = 0; k < m; ++k) {
    const double v = Residual(A + k * nc, x, n);
    s += v * v;
  }
  return s;
}

#if defined(__GNUC__)
// Two doubles with element-wise arithmetic (GCC and Clang vector extensions,
// on any target): each lane is the scalar operation, so sums kept in lanes
// round exactly as sums kept in scalars.
using Pair [[gnu::vector_size(16)]] = double;

inline Pair LoadPair(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void StorePair(double* p, Pair v) { std::memcpy(p, &v, sizeof v); }
constexpr bool kCanTile = true;
#else
constexpr bool kCanTile = false;
#endif

// Rows streamed in blocks of kRowBlock: every element of N is loaded and
// stored once per block and still receives its products in row order.
constexpr int kRowBlock = 4;

// Adds the products of R rows starting at `a` (row length nc, weights w) to
// N, the rows in order, in the full form: A(k, c) * A(k, i) * w_k for
// c = 0..n.
template <int R>
void AddRows(
    const double* a, Index nc, const double* w, double* __restrict N, int n) {
  const double* row[R];
  for (int q = 0; q < R; ++q) row[q] = a + q * nc;
  for (int i = 0; i < n; ++i) {
    double ai[R];
    for (int q = 0; q < R; ++q) ai[q] = row[q][i];
    double* __restrict Ni = N + i * nc;
    for (int c = 0; c <= n; ++c) {
      double s = Ni[c];
      for (int q = 0; q < R; ++q) s += row[q][c] * ai[q] * w[q];
      Ni[c] = s;
    }
  }
}

// Adds the products of R rows starting at `a` (row length nc, weights w) to
// N, the rows in order, in the symmetric form: w_k * A(k, i) * A(k, c) for
// c = i..n.
template <int R>
void AddRowsUpper(
    const double* a, Index nc, const double* w, double* __restrict N, int n) {
  const double* row[R];
  for (int q = 0; q < R; ++q) row[q] = a + q * nc;
  for (int i = 0; i < n; ++i) {
    double p[R];
    for (int q = 0; q < R; ++q) p[q] = w[q] * row[q][i];
    double* __restrict Ni = N + i * nc;
    for (int c = i; c <= n; ++c) {
      double s = Ni[c];
      for (int q = 0; q < R; ++q) s += p[q] * row[q][c];
      Ni[c] = s;
    }
  }
}

#if defined(__GNUC__)
// Rows of the tiled symmetric form taken in blocks of kFormRowBlock: a block
// (17 KB at 16 unknowns, 100 KB at 100) stays in the cache while every tile
// of N passes over it.
constexpr int kFormRowBlock = 128;

// Adds w_k * A(k, i) * A(k, c) over the rows k = 0..rows-1, in order, to
// N(i, c) for the 2 * kP columns c = c0.. (and with kCol the one column
// after them): the products of AddRowsUpper in the same order, with the
// sums kept in registers over all rows instead of one chain of sums at a
// time. kP may be 0 (the one column alone).
template <int kP, bool kCol>
void AddUpperTile(const double* A,
                  Index nc,
                  const double* w,
                  int rows,
                  int i,
                  int c0,
                  double* N) {
  constexpr int kLast = 2 * kP;  // column c0 + kLast with kCol
  constexpr int kPairs = std::max(kP, 1);
  double* Ni = N + i * nc + c0;
  Pair s[kPairs];
  for (int u = 0; u < kP; ++u) s[u] = LoadPair(Ni + 2 * u);
  double s_col = kCol ? Ni[kLast] : 0.0;
  for (int k = 0; k < rows; ++k) {
    const double* a = A + k * nc;
    const double p = w[k] * a[i];
    const Pair pp = {p, p};
    Pair ac[kPairs];
    for (int u = 0; u < kP; ++u) ac[u] = LoadPair(a + c0 + 2 * u);
    for (int u = 0; u < kP; ++u) s[u] += pp * ac[u];
    if (kCol) s_col += p * a[c0 + kLast];
  }
  for (int u = 0; u < kP; ++u) StorePair(Ni + 2 * u, s[u]);
  if (kCol) Ni[kLast] = s_col;
}

// The tile of 2 kP columns from c of row i, with the column after them
// when odd.
template <int kP>
void AddUpperTileOfWidth(const double* A,
                         Index nc,
                         const double* w,
                         int rows,
                         int i,
                         int c,
                         bool odd,
                         double* N) {
  if (odd) {
    AddUpperTile<kP, true>(A, nc, w, rows, i, c, N);
  } else {
    AddUpperTile<kP, false>(A, nc, w, rows, i, c, N);
  }
}

// Columns i..n of row i of N (row length n + 1): tiles of 16 columns, then
// one tile of the 1 to 17 columns left. One row of N at a time, so that
// w_k A(k, i) is formed once per tile and each tile is as wide as the
// registers allow.
void AddUpperRow(
    const double* A, const double* w, int rows, int n, int i, double* N) {
  constexpr int kWide = 8;  // pairs of a full tile
  const Index nc = n + 1;
  const int end = n + 1;
  int c = i;
  // A full tile leaves a pair or more, or nothing.
  while (end - c >= 2 * kWide + 2 || end - c == 2 * kWide) {
    AddUpperTile<kWide, false>(A, nc, w, rows, i, c, N);
    c += 2 * kWide;
  }
  const int left = end - c;
  if (left == 0) return;
  const bool odd = left % 2 == 1;
  switch (left / 2) {
    case 0:
      AddUpperTile<0, true>(A, nc, w, rows, i, c, N);
      break;
    case 1:
      AddUpperTileOfWidth<1>(A, nc, w, rows, i, c, odd, N);
      break;
    case 2:
      AddUpperTileOfWidth<2>(A, nc, w, rows, i, c, odd, N);
      break;
    case 3:
      AddUpperTileOfWidth<3>(A, nc, w, rows, i, c, odd, N);
      break;
    case 4:
      AddUpperTileOfWidth<4>(A, nc, w, rows, i, c, odd, N);
      break;
    case 5:
      AddUpperTileOfWidth<5>(A, nc, w, rows, i, c, odd, N);
      break;
    case 6:
      AddUpperTileOfWidth<6>(A, nc, w, rows, i, c, odd, N);
      break;
    case 7:
      AddUpperTileOfWidth<7>(A, nc, w, rows, i, c, odd, N);
      break;
    default:
      AddUpperTileOfWidth<8>(A, nc, w, rows, i, c, odd, N);
      break;
  }
}

// The symmetric form for n unknowns, row length n + 1, into N, whose rows
// must be zero: the upper triangle and b.
void FormUpperTiled(
    const double* A, const double* w, int rows, int n, double* N) {
  const Index nc = n + 1;
  for (int k0 = 0; k0 < rows; k0 += kFormRowBlock) {
    const int block = std::min(kFormRowBlock, rows - k0);
    const double* a = A + k0 * nc;
    for (int i = 0; i < n; ++i) AddUpperRow(a, w + k0, block, n, i, N);
  }
}
#endif

// Most rows for FormUpperSmall, which reads A once per unknown: 37 KB of
// rows for 8 unknowns still sit in the cache.
constexpr int kMaxSmallFormRows = 512;

// Row kI onwards of the symmetric form for kN unknowns (row length kN + 1),
// one row of N at a time: the kN + 1 - kI sums of a row stay in registers
// while every row of A passes. The sums are AddRows's, term by term.
template <int kN, int kI = 0>
void FormUpperSmall(const double* A,
                    const double* w,
                    int rows,
                    double* __restrict N) {
  constexpr int kCols = kN + 1, kLen = kN + 1 - kI;
  double s[kLen];
  for (int c = 0; c < kLen; ++c) s[c] = 0.0;
  for (int k = 0; k < rows; ++k) {
    const double* a = A + k * kCols + kI;
    const double p = w[k] * a[0];
    for (int c = 0; c < kLen; ++c) s[c] += p * a[c];
  }
  std::copy_n(s, kLen, N + kI * kCols + kI);
  if constexpr (kI + 1 < kN) FormUpperSmall<kN, kI + 1>(A, w, rows, N);
}

// One strip of W columns i0..i0+W-1 of the variances of R rows: adds
// A(k, i) * t_i, t_i = sum_j C(j, i) * A(k, j) (increasing j), to s[q] in
// increasing i. The W x R partial sums t stay in registers, in pairs of
// neighbouring columns where the compiler offers them.
template <int R, int W>
void AddVarianceStrip(const double* const* row,
                      Index nc,
                      const double* C,
                      int n,
                      int i0,
                      double* s) {
#if defined(__GNUC__)
  if constexpr (W % 2 == 0) {
    constexpr int kPairs = W / 2;
    Pair t[R][kPairs];
    for (int q = 0; q < R; ++q) {
      for (int u = 0; u < kPairs; ++u) t[q][u] = Pair{0.0, 0.0};
    }
    for (int j = 0; j < n; ++j) {
      const double* cj = C + j * nc + i0;
      Pair c[kPairs];
      for (int u = 0; u < kPairs; ++u) c[u] = LoadPair(cj + 2 * u);
      for (int q = 0; q < R; ++q) {
        const double aj = row[q][j];
        const Pair a = {aj, aj};
        for (int u = 0; u < kPairs; ++u) t[q][u] += c[u] * a;
      }
    }
    for (int q = 0; q < R; ++q) {
      for (int u = 0; u < kPairs; ++u) {
        s[q] += row[q][i0 + 2 * u] * t[q][u][0];
        s[q] += row[q][i0 + 2 * u + 1] * t[q][u][1];
      }
    }
    return;
  }
#endif
  double t[R][W] = {};
  for (int j = 0; j < n; ++j) {
    const double* cj = C + j * nc + i0;
    for (int q = 0; q < R; ++q) {
      const double aj = row[q][j];
      for (int u = 0; u < W; ++u) t[q][u] += cj[u] * aj;
    }
  }
  for (int q = 0; q < R; ++q) {
    for (int u = 0; u < W; ++u) s[q] += row[q][i0 + u] * t[q][u];
  }
}

// Variances a_k C a_k^T of R rows starting at `a` into var[0..R-1].
template <int R>
void RowVariances(
    const double* a, Index nc, const double* C, int n, double* var) {
  constexpr int kStrip = 4;
  const double* row[R];
  double s[R];
  for (int q = 0; q < R; ++q) {
    row[q] = a + q * nc;
    s[q] = 0.0;
  }
  int i0 = 0;
  for (; i0 + kStrip <= n; i0 += kStrip) {
    AddVarianceStrip<R, kStrip>(row, nc, C, n, i0, s);
  }
  if (i0 + 2 <= n) {
    AddVarianceStrip<R, 2>(row, nc, C, n, i0, s);
    i0 += 2;
  }
  if (i0 < n) AddVarianceStrip<R, 1>(row, nc, C, n, i0, s);
  for (int q = 0; q < R; ++q) var[q] = s[q];
}

#if defined(__GNUC__)
// Rows per unknown from which the variances take rows in pairs of lanes.
constexpr int kPairedRowsPerUnknown = 3;

// Strip of W columns i0.. of the variances of four rows, whose two pairs
// of rows are held in the lanes: ap[2 j + h] = (A(2h, j), A(2h + 1, j)) of
// the four rows, cp[j * n + i] = (C(j, i), C(j, i)). Per lane the sums of
// AddVarianceStrip, term by term: t_i = sum_j C(j, i) A(q, j), then
// s_q += A(q, i) t_i in increasing i.
template <int W>
void AddVarianceStripRowPairs(
    const Pair* ap, const Pair* cp, int n, int i0, Pair* s) {
  Pair t[2][W];
  for (auto& row : t) {
    for (Pair& v : row) v = Pair{0.0, 0.0};
  }
  for (int j = 0; j < n; ++j) {
    const Pair* cj = cp + j * n + i0;
    const Pair a0 = ap[2 * j], a1 = ap[2 * j + 1];
    for (int u = 0; u < W; ++u) {
      t[0][u] += cj[u] * a0;
      t[1][u] += cj[u] * a1;
    }
  }
  for (int u = 0; u < W; ++u) {
    s[0] += ap[2 * (i0 + u)] * t[0][u];
    s[1] += ap[2 * (i0 + u) + 1] * t[1][u];
  }
}

// Variances of the four rows from `a` on into var[0..3]; ap is scratch of
// 2 n pairs, cp the doubled C.
void FourRowVariances(
    const double* a, Index nc, const Pair* cp, int n, double* var, Pair* ap) {
  for (int j = 0; j < n; ++j) {
    ap[2 * j] = Pair{a[j], a[nc + j]};
    ap[2 * j + 1] = Pair{a[2 * nc + j], a[3 * nc + j]};
  }
  Pair s[2] = {{0.0, 0.0}, {0.0, 0.0}};
  constexpr int kStrip = 4;
  int i0 = 0;
  for (; i0 + kStrip <= n; i0 += kStrip) {
    AddVarianceStripRowPairs<kStrip>(ap, cp, n, i0, s);
  }
  if (i0 + 2 <= n) {
    AddVarianceStripRowPairs<2>(ap, cp, n, i0, s);
    i0 += 2;
  }
  if (i0 < n) AddVarianceStripRowPairs<1>(ap, cp, n, i0, s);
  var[0] = s[0][0];
  var[1] = s[0][1];
  var[2] = s[1][0];
  var[3] = s[1][1];
}
#endif

// Forms, then solves, recording both times in milliseconds. A failed
// forming returns 0 at once and leaves both times as they were.
template <class Form, class Step>
int TimedSolve(CLeastSq& ls, Form form, Step step) {
  long t0 = 0, t1 = 0, t2 = 0, t3 = 0;
  ls.time(&t0);
  if (!form()) return 0;
  ls.time(&t1);
  ls.m_dFormTime = static_cast<double>(t1 - t0);
  ls.time(&t2);
  const int ok = step();
  ls.time(&t3);
  ls.m_dComputationTime = static_cast<double>(t3 - t2);
  return ok;
}

}  // namespace

CLeastSq::CLeastSq()
    : m_dSigma(0.0),
      m_nObeq(0),
      m_nParam(0),
      m_nCol(0),
      m_nNoeqSize(0),
      m_nCurObeq(-1),
      m_dComputationTime(0.0),
      m_dFormTime(0.0),
      m_dEps(kSingularEps) {}

CLeastSq::CLeastSq(int nObeq, int nParam) : CLeastSq() {
  Create(nObeq, nParam);
}

CLeastSq::CLeastSq(int nParam) : CLeastSq() {
  m_nObeq = 1;
  m_nParam = nParam;
  m_nCol = nParam + 1;
  m_nNoeqSize = nParam * (nParam + 1);
  m_aObeq.SetSize(m_nCol);
  m_aWeight.SetSize(1);
  m_aWeight[0] = 1.0;
  m_aNoeq.SetSize(m_nNoeqSize);
  m_aBcor.SetSize(m_nParam);
  m_aCovar.SetSize(m_nNoeqSize);
  m_aFactor.SetSize(m_nNoeqSize);
}

CLeastSq::~CLeastSq() = default;

int CLeastSq::Create(int nObeq, int nParam) {
  m_nObeq = nObeq;
  m_nParam = nParam;
  m_nCol = nParam + 1;
  m_nNoeqSize = nParam * (nParam + 1);
  m_nCurObeq = -1;
  m_dComputationTime = 0.0;
  m_dFormTime = 0.0;
  m_dEps = kSingularEps;
  const Index obeq_size = static_cast<Index>(nObeq) * m_nCol;
  // SetSize zeroes the elements it adds: only those kept from before are
  // cleared below, so the rows of a new engine are written once, not twice.
  const Index kept_obeq = std::min(m_aObeq.GetSize(), obeq_size);
  const Index kept_noeq = std::min<Index>(m_aNoeq.GetSize(), m_nNoeqSize);
  const Index kept_bcor = std::min<Index>(m_aBcor.GetSize(), nParam);
  m_aObeq.SetSize(obeq_size);
  m_aNoeq.SetSize(m_nNoeqSize);
  m_aWeight.SetSize(nObeq);
  m_aBcor.SetSize(nParam);
  m_aCovar.SetSize(m_nNoeqSize);
  m_aFactor.SetSize(m_nNoeqSize);
  m_aVar.SetSize(nObeq);
  std::fill_n(m_aObeq.GetData(), kept_obeq, 0.0);
  std::fill_n(m_aNoeq.GetData(), kept_noeq, 0.0);
  std::fill_n(m_aBcor.GetData(), kept_bcor, 0.0);
  std::fill_n(m_aWeight.GetData(), nObeq, 1.0);
  return 1;
}

// --- Observation rows -------------------------------------------------------

void CLeastSq::InitObeq() {
  m_nCurObeq = -1;
  m_dComputationTime = 0.0;
  m_dFormTime = 0.0;
}

// The arrays grow geometrically underneath, so a long run of rows costs
// amortised O(1) per row.
int CLeastSq::AddObeqRow(double v0) {
  ++m_nCurObeq;
  const Index row_len = static_cast<Index>(m_nParam) + 1;
  const Index start = static_cast<Index>(m_nObeq) * row_len;
  ++m_nObeq;
  m_aObeq.SetSize(start + row_len);
  std::fill_n(m_aObeq.GetData() + start, row_len, 0.0);
  m_aWeight.SetSize(m_nObeq);
  m_aWeight[m_nObeq - 1] = 1.0;
  m_aObeq[static_cast<Index>(m_nCurObeq) * m_nCol] = v0;
  return 1;
}

void CLeastSq::SetObeqRowChecked(Index start, const double* row) {
  // As SetObeq would: the columns before the first one outside the array
  // are written, then the exception.
  const Index row_len = static_cast<Index>(m_nParam) + 1;
  for (Index col = 0; col < row_len; ++col) m_aObeq[start + col] = row[col];
  AfxThrowInvalidArgException();
}

void CLeastSq::IncrementColumn() { ++m_nCurObeq; }

int CLeastSq::GetCurrentObeqNumber() { return m_nCurObeq + 1; }

double CLeastSq::GetObeq(int col) {
  return m_aObeq[static_cast<Index>(m_nCurObeq) * m_nCol + col];
}

int CLeastSq::GetObeqSize() { return m_nObeq; }

int CLeastSq::GetObeqNumber() { return m_nObeq; }

int CLeastSq::GetDegreesOfFreedom() { return m_nObeq - m_nParam; }

int CLeastSq::SetWeight(double w) {
  if (m_nCurObeq < 0) return 0;
  m_aWeight[m_nCurObeq] = w;
  return 1;
}

int CLeastSq::SetWeight(int row, double w) {
  m_aWeight[row] = w;
  return 1;
}

// --- Normal equations and corrections ---------------------------------------

int CLeastSq::InitNoeq() {
  const Index size = static_cast<Index>(m_nParam) * (m_nParam + 1);
  if (m_aNoeq.GetSize() != size) return 0;
  std::fill_n(m_aNoeq.GetData(), size, 0.0);
  m_dComputationTime = 0.0;
  m_dFormTime = 0.0;
  return 1;
}

double CLeastSq::GetNoeq(int r, int c) {
  return m_aNoeq[FlatIndex(m_aNoeq, r, c, m_nCol)];
}

void CLeastSq::SetNoeq(int r, int c, double v) {
  const Index i = FlatIndex(m_aNoeq, r, c, m_nCol);
  if (c == m_nParam) {
    m_aBcor.SetAt(r, v);  // checked before N is touched
  }
  m_aNoeq[i] = v;
}

int CLeastSq::InitBcor() {
  if (m_aBcor.GetSize() == 0) return 0;
  std::fill_n(m_aBcor.GetData(), m_aBcor.GetSize(), 0.0);
  return 1;
}

double CLeastSq::GetBcor(int i) { return m_aBcor[i]; }

int CLeastSq::InitParameter(CArray<double, double>& a, double v) {
  std::fill_n(a.GetData(), a.GetSize(), v);
  return 1;
}

// --- Checks and bookkeeping -------------------------------------------------

int CLeastSq::CheckParameterNumber() {
  const int started = m_nCurObeq + 1;
  return (started >= 1 && started == m_nObeq && m_nObeq >= m_nParam) ? 1 : 0;
}

int CLeastSq::CheckWeight() {
  const double* w = m_aWeight.GetData();
  for (Index k = 0; k < m_aWeight.GetSize(); ++k) {
    if (!(w[k] < m_dEps)) return 1;
  }
  return 0;
}

int CLeastSq::CheckNoeq() {
  const int n = m_nParam;
  if (n < 1) return 1;
  CheckBlock(m_aNoeq, n, n, m_nCol);
  const double* N = m_aNoeq.GetData();
  for (int i = 0; i < n; ++i) {
    if (!(std::fabs(N[static_cast<Index>(i) * m_nCol + i]) > m_dEps)) return 0;
  }
  return 1;
}

void CLeastSq::SetSigma(double s) { m_dSigma = s; }

void CLeastSq::SetFormTime(double t) { m_dFormTime = t; }

double CLeastSq::GetFormTime() { return m_dFormTime; }

double CLeastSq::GetComputationTime() { return m_dComputationTime; }

int CLeastSq::time(long* t) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  constexpr long long kMsPerDay = 24LL * 3600 * 1000;
  constexpr long long kShiftMs = 9LL * 3600 * 1000;
  const long long ms_since_epoch =
      duration_cast<milliseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count();
  long long ms_of_day = ms_since_epoch % kMsPerDay;
  if (ms_of_day < 0) ms_of_day += kMsPerDay;
  *t = static_cast<long>(ms_of_day + kShiftMs);
  return 1;
}

// --- Forming ----------------------------------------------------------------

// Full form: N(i, c) = sum_k A(k, c) * A(k, i) * w_k for c = 0..n.
int CLeastSq::Lessqu(int rows, int n) {
  if (n <= 0) return 1;
  const Index nc = m_nCol;
  if (rows > 0) {
    CheckBlock(m_aObeq, rows, n + 1, nc);
    CheckCount(m_aWeight, rows);
  }
  CheckBlock(m_aNoeq, n, n + 1, nc);
  CheckCount(m_aBcor, n);
  const double* A = m_aObeq.GetData();
  const double* w = m_aWeight.GetData();
  double* N = m_aNoeq.GetData();
  for (int i = 0; i < n; ++i) std::fill_n(N + i * nc, n + 1, 0.0);
  int k = 0;
  for (; k + kRowBlock <= rows; k += kRowBlock) {
    AddRows<kRowBlock>(A + k * nc, nc, w + k, N, n);
  }
  for (; k < rows; ++k) AddRows<1>(A + k * nc, nc, w + k, N, n);
  double* b = m_aBcor.GetData();
  int ok = 1;
  for (int i = 0; i < n; ++i) {
    b[i] = N[i * nc + n];
    if (std::fabs(N[i * nc + i]) <= m_dEps) ok = 0;
  }
  return ok;
}

// Symmetric form: N(i, c) = sum_k w_k * A(k, i) * A(k, c) for c >= i,
// mirrored below the diagonal.
int CLeastSq::LessquFast(int rows, int n) {
  if (n <= 0) return 1;
  const Index nc = m_nCol;
  if (rows > 0) {
    CheckBlock(m_aObeq, rows, n + 1, nc);
    CheckCount(m_aWeight, rows);
  }
  CheckBlock(m_aNoeq, n, n + 1, nc);
  CheckCount(m_aBcor, n);
  const double* A = m_aObeq.GetData();
  const double* w = m_aWeight.GetData();
  double* N = m_aNoeq.GetData();
  const bool tiled = kCanTile && nc == n + 1;
  for (int i = 0; i < n; ++i)
    std::fill(N + i * nc + i, N + i * nc + n + 1, 0.0);
  // The unknown counts of the resection (6) and of the plane projective
  // fit (8) that starts it, which run hundreds of times per resection.
  const bool small = rows <= kMaxSmallFormRows;
  if (small && n == 6 && nc == 7) {
    FormUpperSmall<6>(A, w, rows, N);
  } else if (small && n == 8 && nc == 9) {
    FormUpperSmall<8>(A, w, rows, N);
  } else if (tiled) {
#if defined(__GNUC__)
    FormUpperTiled(A, w, rows, n, N);
#endif
  } else {
    int k = 0;
    for (; k + kRowBlock <= rows; k += kRowBlock) {
      AddRowsUpper<kRowBlock>(A + k * nc, nc, w + k, N, n);
    }
    for (; k < rows; ++k) AddRowsUpper<1>(A + k * nc, nc, w + k, N, n);
  }
  for (int i = 0; i < n; ++i) {
    for (int c = i + 1; c < n; ++c) N[c * nc + i] = N[i * nc + c];
  }
  double* b = m_aBcor.GetData();
  int ok = 1;
  for (int i = 0; i < n; ++i) {
    b[i] = N[i * nc + n];
    if (std::fabs(N[i * nc + i]) <= m_dEps) ok = 0;
  }
  return ok;
}

// --- Solvers ----------------------------------------------------------------

int CLeastSq::Solve() {
  return TimedSolve(
      *this,
      [this] { return LessquFast(m_nObeq, m_nParam); },
      [this] { return NewChores(); });
}

int CLeastSq::SolveBcor() {
  // NewChores without the inverse and the statistics. Its inverse fails only
  // on a pivot below m_dEps, which BackwardSubstiotution has already
  // rejected, so the result is NewChores' too.
  return TimedSolve(
      *this,
      [this] { return LessquFast(m_nObeq, m_nParam); },
      [this] {
        if (!LUDivid()) return 0;
        ForwardSubstiotution();
        return BackwardSubstiotution();
      });
}

int CLeastSq::PISolve() {
  return TimedSolve(
      *this,
      [this] { return Lessqu(m_nObeq, m_nParam); },
      [this] { return PIChores(); });
}

int CLeastSq::SolveWithSwpMat() {
  return TimedSolve(
      *this,
      [this] { return LessquFast(m_nObeq, m_nParam); },
      [this] { return SwpMat(); });
}

int CLeastSq::SolveWithReduc() {
  long t0 = 0, t1 = 0;
  time(&t0);
  const int ok = NewChores();
  time(&t1);
  m_dComputationTime = static_cast<double>(t1 - t0);
  return ok;
}

int CLeastSq::NewChores() {
  if (!LUDivid()) return 0;
  ForwardSubstiotution();
  if (!BackwardSubstiotution()) return 0;
  CalLInverse();
  if (!CalNoeqInverse()) return 0;
  if (m_nCurObeq > 0) {
    m_dSigma = CalSigma2();
    CalVarianceOfEstimate();
    CalVarianceOfObservation();
  }
  return 1;
}

// Row-wise N = L D L^T on the lower triangle: L below the diagonal of F,
// D on it. The last pivot is left for BackwardSubstiotution to test.
int CLeastSq::LUDivid() {
  const int n = m_nParam;
  const Index nc = m_nCol;
  const Index size = static_cast<Index>(n) * nc;
  if (size <= 0) return 1;
  CheckCount(m_aNoeq, size);
  CheckCount(m_aFactor, size);
  CheckBlock(m_aFactor, n, n, nc);
  double* F = m_aFactor.GetData();
  std::copy_n(m_aNoeq.GetData(), size, F);
  for (int i = 1; i < n; ++i) {
    double* Fi = F + i * nc;
    for (int j = 1; j < i; ++j) {
      const double* Fj = F + j * nc;
      double s = 0.0;  // sum over k < j, increasing k
      for (int k = 0; k < j; ++k) s += Fi[k] * Fj[k];
      Fi[j] = Fi[j] - s;
    }
    for (int j = 0; j < i; ++j) {
      const double d = F[j * nc + j];
      if (std::fabs(d) < m_dEps) return 0;
      const double t = Fi[j];
      Fi[j] = t / d;
      Fi[i] = Fi[i] - Fi[j] * t;
    }
  }
  return 1;
}

// L y = b with the unit lower factor, in place in m_aBcor.
int CLeastSq::ForwardSubstiotution() {
  const int n = m_nParam;
  if (n < 2) return 1;
  const Index nc = m_nCol;
  CheckBlock(m_aFactor, n, n, nc);
  CheckCount(m_aBcor, n);
  const double* F = m_aFactor.GetData();
  double* b = m_aBcor.GetData();
  for (int i = 1; i < n; ++i) {
    const double* Fi = F + i * nc;
    double s = 0.0;  // increasing j
    for (int j = 0; j < i; ++j) s += Fi[j] * b[j];
    b[i] = b[i] - s;
  }
  return 1;
}

// D L^T x = y in place in m_aBcor; 0 on a pivot with |d| < m_dEps.
int CLeastSq::BackwardSubstiotution() {
  const int n = m_nParam;
  if (n < 1) AfxThrowInvalidArgException();  // row -1 does not exist
  const Index nc = m_nCol;
  CheckBlock(m_aFactor, n, n, nc);
  CheckCount(m_aBcor, n);
  const double* F = m_aFactor.GetData();
  double* x = m_aBcor.GetData();
  for (int i = n - 1; i >= 0; --i) {
    const double d = F[i * nc + i];
    if (std::fabs(d) < m_dEps) return 0;
    double s = 0.0;  // increasing j
    for (int j = i + 1; j < n; ++j) s += x[j] * F[j * nc + i];
    x[i] = x[i] / d - s;
  }
  return 1;
}

// Column-wise N = L D L^T on the upper triangle (L^T above the diagonal,
// pivots on it), multiplying by pivot reciprocals, then the solve.
int CLeastSq::PIChores() {
  const int n = m_nParam;
  const Index nc = m_nCol;
  const Index size = static_cast<Index>(n) * nc;
  if (size > 0) {
    CheckCount(m_aNoeq, size);
    CheckCount(m_aFactor, size);
    std::copy_n(m_aNoeq.GetData(), size, m_aFactor.GetData());
  }
  if (n < 1) return 0;
  CheckBlock(m_aFactor, n, n, nc);
  CheckCount(m_aBcor, n);
  double* F = m_aFactor.GetData();
  double* b = m_aBcor.GetData();
  // The reciprocal 1 / d_i is recomputed from the stored pivot where it is
  // used: the same division gives the same value as a stored copy.
  if (std::fabs(F[0]) <= m_dEps) return 0;
  if (n == 1) {
    b[0] = (1.0 / F[0]) * b[0];
    return 1;
  }
  for (int j = 1; j < n; ++j) {
    for (int i = 1; i < j; ++i) {
      double s = 0.0;  // increasing k
      for (int k = 0; k < i; ++k) s += F[k * nc + i] * F[k * nc + j];
      F[i * nc + j] = F[i * nc + j] - s;
    }
    double s = 0.0;
    for (int i = 0; i < j; ++i) {
      const double t = F[i * nc + j];
      F[i * nc + j] = t * (1.0 / F[i * nc + i]);
      s = s + t * F[i * nc + j];
    }
    const double d = F[j * nc + j] - s;
    if (std::fabs(d) <= m_dEps) return 0;
    F[j * nc + j] = d;
  }
  for (int i = 1; i < n; ++i) {
    double s = 0.0;  // increasing k
    for (int k = 0; k < i; ++k) s += b[k] * F[k * nc + i];
    b[i] = b[i] - s;
  }
  for (int i = 0; i < n; ++i) b[i] = b[i] * (1.0 / F[i * nc + i]);
  for (int i = n - 1; i >= 1; --i) {
    const double xi = b[i];
    if (xi == 0.0) continue;  // exact zeros only
    for (int k = 0; k < i; ++k) b[k] = b[k] - xi * F[k * nc + i];
  }
  return 1;
}

int CLeastSq::SwpMat() {
  const int n = m_nParam;
  const Index nc = m_nCol;
  const Index size = static_cast<Index>(n) * nc;
  if (size <= 0) return 1;
  CheckCount(m_aNoeq, size);
  CheckCount(m_aFactor, size);
  CheckBlock(m_aFactor, n, n + 1, nc);
  CheckCount(m_aBcor, n);
  double* F = m_aFactor.GetData();
  std::copy_n(m_aNoeq.GetData(), size, F);
  for (int k = 0; k < n; ++k) {
    double* Fk = F + k * nc;
    const double p = 1.0 / Fk[k];
    for (int c = 0; c <= n; ++c) Fk[c] = Fk[c] * p;
    Fk[k] = p;
    for (int i = 0; i < n; ++i) {
      if (i == k) continue;
      double* Fi = F + i * nc;
      const double f = Fi[k];
      Fi[k] = 0.0;
      for (int c = 0; c <= n; ++c) Fi[c] = Fi[c] - f * Fk[c];
    }
  }
  double* x = m_aBcor.GetData();
  for (int i = 0; i < n; ++i) x[i] = F[i * nc + n];
  return 1;
}

// --- Inverse and statistics -------------------------------------------------

int CLeastSq::CalLInverse() {
  const int n = m_nParam;
  if (n < 2) return 1;
  const Index nc = m_nCol;
  CheckBlock(m_aFactor, n, n, nc);
  double* F = m_aFactor.GetData();
  for (int i = 1; i < n; ++i) F[i * nc] = -F[i * nc];
  for (int j = 1; j < n - 1; ++j) {
    const double* Fj = F + j * nc;
    for (int i = j + 1; i < n; ++i) {
      double* Fi = F + i * nc;
      const double fij = Fi[j];
      for (int k = 0; k < j; ++k) Fi[k] = Fi[k] - Fj[k] * fij;
      Fi[j] = -fij;
    }
  }
  return 1;
}

// C(j, i) = sum over k >= max(i, j), increasing k, of M(k, j) M(k, i) / d_k
// with M = L^-1 (unit diagonal) below the diagonal of F and d_k on it.
int CLeastSq::CalNoeqInverse() {
  const int n = m_nParam;
  if (n < 1) return 1;
  const Index nc = m_nCol;
  CheckBlock(m_aFactor, n, n, nc);
  CheckBlock(m_aCovar, n, n, nc);
  double* F = m_aFactor.GetData();
  double* C = m_aCovar.GetData();
  // The first sum already visits every pivot, so a small pivot fails before
  // anything is written to C.
  for (int k = 0; k < n; ++k) {
    if (std::fabs(F[k * nc + k]) < m_dEps) {
      F[k * nc + k] = m_dEps;
      return 0;
    }
  }
  for (int j = 0; j < n; ++j) {
    double* Cj = C + j * nc;
    std::fill(Cj + j, Cj + n, 0.0);
    for (int k = j; k < n; ++k) {
      const double* Fk = F + k * nc;
      const double d = Fk[k];
      const double a = (k == j) ? 1.0 : Fk[j];
      for (int i = j; i < k; ++i) Cj[i] += (Fk[i] * a) / d;
      Cj[k] += (1.0 * a) / d;
    }
  }
  for (int i = 1; i < n; ++i) {
    for (int j = 0; j < i; ++j) C[i * nc + j] = C[j * nc + i];
  }
  return 1;
}

double CLeastSq::CalSigma2() {
  const int m = m_nObeq;
  const int n = m_nParam;
  const Index nc = m_nCol;
  if (m > 0) {
    CheckBlock(m_aObeq, m, n + 1, nc);
    CheckCount(m_aWeight, m);
    CheckCount(m_aBcor, n);
  }
  const double* A = m_aObeq.GetData();
  const double* w = m_aWeight.GetData();
  const double* x = m_aBcor.GetData();
  double s = 0.0;  // increasing k
  int k = 0;
  for (; k + 4 <= m; k += 4) {
    double v[4];
    Residuals4(A + k * nc, nc, x, n, v);
    for (int q = 0; q < 4; ++q) s += w[k + q] * v[q] * v[q];
  }
  for (; k < m; ++k) {
    const double v = Residual(A + k * nc, x, n);
    s += w[k] * v * v;
  }
  const int divisor = (m - n > 0) ? m - n : m;
  return s / divisor;
}

int CLeastSq::CalVarianceOfEstimate() {
  const Index size = static_cast<Index>(m_nParam) * (m_nParam + 1);
  if (size <= 0) return 1;
  CheckCount(m_aCovar, size);
  double* C = m_aCovar.GetData();
  const double sigma = m_dSigma;
  for (Index i = 0; i < size; ++i) C[i] = C[i] * sigma;
  return 1;
}

int CLeastSq::CalVarianceOfObservation() {
  const int m = m_nObeq;
  const int n = m_nParam;
  const Index nc = m_nCol;
  m_aVar.SetSize(m);
  if (m <= 0) return 1;
  if (n > 0) {
    CheckBlock(m_aObeq, m, n, nc);
    CheckBlock(m_aCovar, n, n, nc);
  }
  const double* A = m_aObeq.GetData();
  const double* C = m_aCovar.GetData();
  double* var = m_aVar.GetData();
  int k = 0;
#if defined(__GNUC__)
  // Doubling C costs some n^2 stores, which the paired rows repay from
  // about three rows per unknown on.
  if (n > 0 && m >= kRowBlock && m >= kPairedRowsPerUnknown * n) {
    static_assert(kRowBlock == 4, "rows are taken four at a time");
    const auto nn = static_cast<size_t>(n);
    std::unique_ptr<Pair[]> cp(new Pair[nn * nn]);
    for (int j = 0; j < n; ++j) {
      for (int i = 0; i < n; ++i)
        cp[j * nn + i] = Pair{C[j * nc + i], C[j * nc + i]};
    }
    std::unique_ptr<Pair[]> ap(new Pair[2 * nn]);
    for (; k + kRowBlock <= m; k += kRowBlock) {
      FourRowVariances(A + k * nc, nc, cp.get(), n, var + k, ap.get());
    }
  }
#endif
  for (; k + kRowBlock <= m; k += kRowBlock) {
    RowVariances<kRowBlock>(A + k * nc, nc, C, n, var + k);
  }
  for (; k < m; ++k) RowVariances<1>(A + k * nc, nc, C, n, var + k);
  return 1;
}

double CLeastSq::CalStandard() {
  const int m = m_nObeq;
  if (m < 1) return std::numeric_limits<double>::max();
  const int n = m_nParam;
  const Index nc = m_nCol;
  CheckBlock(m_aObeq, m, n + 1, nc);
  CheckCount(m_aBcor, n);
  const double* A = m_aObeq.GetData();
  const double* x = m_aBcor.GetData();
  double s = 0.0;
  for (int k = 0; k < m; ++k) {
    const double v = Residual(A + k * nc, x, n);
    s += v * v;
  }
  return std::sqrt(s / m);
}

double CLeastSq::CalStandard2() {
  const int m = m_nObeq;
  const int n = m_nParam;
  const Index nc = m_nCol;
  if (m > 0) {
    CheckBlock(m_aObeq, m, n + 1, nc);
    CheckCount(m_aBcor, n);
  }
  const double* A = m_aObeq.GetData();
  const double* x = m_aBcor.GetData();
  const double s = n == 6 && nc == 7 ? SumOfSquaredResiduals<6>(A, x, m, n, nc)
                                     : SumOfSquaredResiduals<0>(A, x, m, n, nc);
  const int d = (m - n >= 1) ? m - n : m;
  return std::sqrt(s / d);
}

double CLeastSq::GetVar(int k) { return m_aVar[k]; }

double CLeastSq::GetCovar(int i, int j) {
  return m_aCovar[FlatIndex(m_aCovar, i, j, m_nCol)];
}

// --- Diagnostics ------------------------------------------------------------

int CLeastSq::SaveErrorNoeqStatus(int rows, int cols) {
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen("Noeq.txt", "wt"));
  if (!file) return 0;
  std::FILE* f = file.get();
  std::fprintf(f, "Col:%d Row:%d\n", rows, cols);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const double v = m_aNoeq[FlatIndex(m_aNoeq, r, c, m_nCol)];
      if (r == c) std::fputs(v < m_dEps ? "*" : "#", f);
      std::fprintf(f, "%.1le ", v);
    }
    std::fputs("\n", f);
  }
  return 1;
}

int CLeastSq::DisplayBcor() { return 1; }

int CLeastSq::DisplayNoeq() { return 1; }

int CLeastSq::DisplayObeq() { return 1; }

int CLeastSq::DisplayUnitMatrix() { return 1; }

int CLeastSq::DisplayWorkMemory(CArray<double, double>& a) {
  (void)a;
  return 1;
}

void CLeastSq::TestData31() {
  m_nParam = 3;
  m_nCol = 4;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) m_aNoeq[r * 4 + c] = 0.0;
  }
  m_aNoeq[0] = 1.0;
  m_aNoeq[4] = 2.0;
  m_aNoeq[5] = 3.0;
  m_aNoeq[8] = 4.0;
  m_aNoeq[9] = 5.0;
  m_aNoeq[10] = 6.0;
  m_aBcor[0] = 17.0;
  m_aBcor[1] = 23.0;
  m_aBcor[2] = 32.0;
}

void CLeastSq::TestData4() {
  static const double kLower[4][4] = {{-3, 0, 0, 0},
                                      {-21, -149, 0, 0},
                                      {-6, -48, -25, 0},
                                      {-15, -113, -44, -83}};
  m_nParam = 4;
  m_nCol = 5;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) m_aNoeq[r * 5 + c] = 0.0;
  }
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c <= r; ++c) {
      m_aNoeq[r * 5 + c] = kLower[r][c];
      m_aNoeq[c * 5 + r] = kLower[r][c];
    }
  }
  double x[4];
  x[0] = 2.0;
  for (int i = 1; i < 4; ++i) x[i] = x[i - 1] + 1.0;
  for (int i = 0; i < 4; ++i) {
    double s = 0.0;
    for (int j = 0; j < 4; ++j) s += x[j] * m_aNoeq[i * 5 + j];
    m_aBcor[i] = s;
  }
}

int CLeastSq::TestChores() {
  LUDivid();
  ForwardSubstiotution();
  BackwardSubstiotution();
  return 1;
}

int CLeastSq::TestInvers() {
  LUDivid();
  CalLInverse();
  CalNoeqInverse();
  return 1;
}

void CLeastSq::TestBook() {}
