// Dense linear least-squares engine: A x ~ l with one weight per row. The
// caller writes m observation rows of n coefficients plus the observed value,
// solves, and reads the corrections x and the accuracy measures. Every stored
// matrix is row-major with row length n + 1: element (r, c) is at index
// r * (n + 1) + c, and the normal matrix carries b = A^T W l in its last
// column.
#ifndef COLLINEAR_LEASTSQ_LEASTSQ_H_
#define COLLINEAR_LEASTSQ_LEASTSQ_H_

#include <collinear/framework/array.h>
#include <collinear/framework/export.h>
#include <collinear/framework/object.h>

// Results are 1 for success and 0 for failure; numerical failures never
// throw. The only exception is CInvalidArgException for an element index
// outside an array (a caller error). An engine is not copied.
class COLLINEAR_API CLeastSq : public CObject {
 public:
  // Variance of unit weight; set by SetSigma and by Solve/SolveWithReduc
  // when they reach the statistics (at least two rows started). Starts 0.0.
  double m_dSigma;
  int m_nObeq;                       // m, observation rows allocated
  int m_nParam;                      // n, unknowns
  int m_nCol;                        // n + 1, row length of every stored matrix
  int m_nNoeqSize;                   // n * (n + 1)
  int m_nCurObeq;                    // row being written; -1 before the first
  double m_dComputationTime;         // ms spent in the last solution step
  double m_dFormTime;                // ms spent forming the normal equations
  double m_dEps;                     // singularity threshold, 10 * DBL_MIN
  CArray<double, double> m_aObeq;    // m rows of n coefficients + observed
  CArray<double, double> m_aNoeq;    // N = A^T W A with b in column n
  CArray<double, double> m_aWeight;  // m row weights, 1.0 by default
  CArray<double, double> m_aBcor;    // b while solving, x afterwards
  CArray<double, double> m_aCovar;   // N^-1, then sigma0^2 * N^-1
  CArray<double, double> m_aFactor;  // factorisation work matrix
  CArray<double, double> m_aVar;     // variances of adjusted observations

  // m rows, n unknowns: rows and N zeroed, weights 1.0.
  CLeastSq(int nObeq, int nParam);
  // One row allocated; SetObeq adds a row whenever a new row passes the end.
  explicit CLeastSq(int nParam);
  // Empty engine (m = n = 0); call Create before use.
  CLeastSq();
  CLeastSq(const CLeastSq&) = delete;
  CLeastSq& operator=(const CLeastSq&) = delete;
  ~CLeastSq() override;

  // Re-dimensions exactly as the two-argument constructor does. Returns 1.
  int Create(int nObeq, int nParam);

  // --- Observation rows ---------------------------------------------------
  // Starts a new pass: row cursor -1, times 0. Stored rows stay and take part
  // in the next solve unless overwritten.
  void InitObeq();
  // Writes column col (0..n, n = observed value) of the current row; column
  // 0 starts the next row and grows the engine by one row past the end.
  // Returns 0 without change for col outside 0..n. Inline: a row costs
  // about a copy of its values.
  int SetObeq(int col, double v) {
    if (col < 0 || col > m_nParam) return 0;
    if (col == 0) {
      if (m_nCurObeq + 1 == m_nObeq) return AddObeqRow(v);
      ++m_nCurObeq;
    }
    m_aObeq[static_cast<INT_PTR>(m_nCurObeq) * m_nCol + col] = v;
    return 1;
  }
  // Writes row[0..n] as the next row, exactly as SetObeq(0, row[0]) ..
  // SetObeq(n, row[n]) in turn would, in one call. Returns 0 (no change)
  // when column 0 would be rejected (n < 0), else 1.
  int SetObeqRow(const double* row) {
    if (m_nParam < 0) return 0;
    if (m_nCurObeq + 1 == m_nObeq) {
      AddObeqRow(row[0]);
    } else {
      ++m_nCurObeq;
    }
    const INT_PTR start = static_cast<INT_PTR>(m_nCurObeq) * m_nCol;
    const INT_PTR row_len = static_cast<INT_PTR>(m_nParam) + 1;
    if (start < 0 || start + row_len > m_aObeq.GetSize()) {
      SetObeqRowChecked(start, row);  // throws
    }
    double* dst = m_aObeq.GetData() + start;
    for (INT_PTR col = 0; col < row_len; ++col) dst[col] = row[col];
    return 1;
  }
  void IncrementColumn();      // advances the row cursor without writing
  int GetCurrentObeqNumber();  // rows started in this pass
  double GetObeq(int col);     // column col of the current row
  int GetObeqSize();
  int GetObeqNumber();
  int GetDegreesOfFreedom();  // m - n
  // Weight of the current row; 0 when no row has been started.
  int SetWeight(double w);
  int SetWeight(int row, double w);

  // --- Normal equations and corrections ------------------------------------
  // Zeroes N and both times; 0 when N does not hold n * (n + 1) elements.
  int InitNoeq();
  double GetNoeq(int r, int c);
  // Writing column n also writes b_r into m_aBcor, so that normal equations
  // filled here can be solved with SolveWithReduc.
  void SetNoeq(int r, int c, double v);
  int InitBcor();         // zeroes m_aBcor; 0 when it is empty
  double GetBcor(int i);  // after a successful solve, correction i
  int InitParameter(CArray<double, double>& a, double v);

  // --- Checks and bookkeeping ----------------------------------------------
  // 1 when exactly m >= n rows have been started in this pass.
  int CheckParameterNumber();
  int CheckWeight();  // 0 when every weight is below m_dEps
  int CheckNoeq();    // 1 when every |N(i, i)| > m_dEps
  void SetSigma(double s);
  void SetFormTime(double t);
  double GetFormTime();
  double GetComputationTime();
  // Millisecond clock: UTC time of day shifted by +9 h (hour not wrapped);
  // only differences of two readings mean anything. Returns 1.
  int time(long* t);

  // --- Solvers: 1 on success, 0 on a (near-)singular normal matrix ---------
  // Symmetric forming over all m rows, L D L^T solve, inverse and (with at
  // least two rows started) sigma0^2, covariance and observation variances.
  int Solve();
  // Solve up to the corrections: the same forming, factorisation and
  // substitutions, so result and x equal Solve's bit for bit, but no inverse
  // and no statistics (m_aCovar, m_aVar, m_dSigma keep their contents).
  int SolveBcor();
  // Full forming and column-wise L D L^T; solves only (no inverse, no stats).
  int PISolve();
  // Symmetric forming and Gauss-Jordan sweep; solves only.
  int SolveWithSwpMat();
  // Solves the normal equations already held (SetNoeq or an earlier forming)
  // as Solve does, without forming; m_dFormTime is left as it is.
  int SolveWithReduc();
  // Gauss-Jordan sweep of N into m_aFactor (inverse in the first n columns,
  // x in the last and in m_aBcor). No pivot test: always 1, singular N gives
  // non-finite values.
  int SwpMat();

  // --- Inverse and statistics ----------------------------------------------
  // Replaces the unit lower factor L in m_aFactor by L^-1. Returns 1.
  int CalLInverse();
  // m_aCovar = N^-1 from L^-1 and D in m_aFactor. 0 (C part-filled, the
  // offending pivot set to m_dEps) when a pivot is below m_dEps.
  int CalNoeqInverse();
  // Weighted sum of squared residuals over m - n (over m when m <= n).
  double CalSigma2();
  int CalVarianceOfEstimate();     // m_aCovar *= m_dSigma. Returns 1.
  int CalVarianceOfObservation();  // m_aVar[k] = a_k C a_k^T. Returns 1.
  // RMS of the unweighted residuals over m; the largest double when m < 1.
  double CalStandard();
  // Unweighted standard error of unit weight over m - n (m when m <= n).
  double CalStandard2();
  double GetVar(int k);  // variance of adjusted observation k
  double GetCovar(int i, int j);

  // Writes N (rows x cols, cols = n + 1 includes b) to "Noeq.txt" in the
  // current directory, diagonal entries marked "#" (>= m_dEps) or "*".
  // Returns 0 when the file cannot be created.
  int SaveErrorNoeqStatus(int rows, int cols);

  // Display hooks: no output. Return 1.
  int DisplayBcor();
  int DisplayNoeq();
  int DisplayObeq();
  int DisplayUnitMatrix();
  int DisplayWorkMemory(CArray<double, double>& a);

  // Built-in test systems: set n and the row length, load N and b. The
  // arrays must already be large enough (else CInvalidArgException).
  void TestData31();  // 3x3 lower triangle, x = (1, 2, 3)
  void TestData4();   // indefinite 4x4, pivots -3, -2, 5, 4, x = (2, 3, 4, 5)
  int TestChores();   // factorise and solve; returns 1 regardless
  int TestInvers();   // factorise and invert; returns 1 regardless
  void TestBook();    // does nothing

 private:
  int NewChores();
  int PIChores();
  int LUDivid();
  int ForwardSubstiotution();
  int BackwardSubstiotution();
  int Lessqu(int rows, int n);
  int LessquFast(int rows, int n);
  // The rare paths of the row writers, out of line. With the row cursor on
  // the last row: appends one zero row of weight 1.0, moves the cursor onto
  // it and writes v0 to its column 0; returns 1. And the element-by-element
  // writes of a row that does not fit, up to the index error they end with.
  int AddObeqRow(double v0);
  [[noreturn]] void SetObeqRowChecked(INT_PTR start, const double* row);
};

#endif  // COLLINEAR_LEASTSQ_LEASTSQ_H_
