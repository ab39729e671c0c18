// Verdict on a solved orientation or calibration: ok, or warnings that each
// name their reason (and the point, where one is to blame). The rules and
// their thresholds are the constants below; residual lengths are the 2-D
// lengths of the solver's residual vectors, in the unit of its observations.
#ifndef COLLINEAR_QUALITY_VERDICT_H_
#define COLLINEAR_QUALITY_VERDICT_H_

#include <string>
#include <vector>

#include <collinear/framework/export.h>
#include <collinear/quality/precision.h>

namespace collinear {

enum class VerdictReason {
  kResidualRms,     // sigma0 far above the a-priori noise of the observations
  kTooFewPoints,    // too little redundancy to check the solution
  kNearlyCoplanar,  // spatial DLT on a nearly plane control field
  kIllConditioned,  // scaled normal equations near singular
  kOutlier,         // one point's residual far above the RMS
  kNonFinite,       // NaN or infinity in the results
  kDistortionInvalid,  // correction folds over inside the picture
  kAmbiguous,          // a distinct resection fits nearly as well
  kBehindCamera,       // control points behind the camera
  kNotOptimal,         // the solution is not the least-squares optimum
};

// Stable lower-case code of a reason, for machine-readable output
// ("residual_rms", "too_few_points", ...).
COLLINEAR_API const char* VerdictReasonCode(VerdictReason reason);

struct Warning {
  VerdictReason reason;
  std::string point;    // the point to blame, or empty
  std::string message;  // one sentence with the figures behind it
};

struct COLLINEAR_API Verdict {
  std::vector<Warning> warnings;
  bool Ok() const { return warnings.empty(); }
  bool Has(VerdictReason reason) const;
  void Append(const Verdict& other);
};

struct JudgeOptions {
  // A-priori standard deviation of one observed coordinate (image unit, or
  // the target unit of a Helmert fit); 0 or less: unknown, no RMS test.
  double obs_sigma = 0.0;
};

// sqrt(sum |v|^2 / r) of the solver's residuals above obs_sigma * sqrt(
// chi2(r; 99.9 %) / r): too large for the stated noise by a test that clean
// data fail once in 1000.
inline constexpr double kRmsTestProbability = 0.999;
// Mean redundancy number r / m below this: a gross error in one observation
// shows in its residual at less than about this fraction of its size.
inline constexpr double kMinMeanRedundancy = 0.3;
// Smallest over largest principal spread of the object points (square roots
// of the scatter matrix's eigenvalues) below this for a spatial DLT.
inline constexpr double kCoplanarRatio = 0.05;
inline constexpr double kMaxConditionNumber = 1e10;
// A residual longer than this many times the RMS residual length (residuals
// below 1e-9 of the coordinates are rounding and never flagged).
inline constexpr double kOutlierFactor = 3.0;
// sigma0_at_solution above this times sigma0: one more linearised step
// would fit markedly better, so the solver stopped short of the optimum
// (not when both lie at the rounding level of the coordinates).
inline constexpr double kMaxStepGain = 1.5;

// Upper quantile chi2(dof; p) (Wilson-Hilferty; within a few per cent for
// dof >= 1), for p of 0.99 or 0.999 ... any p in (0.5, 1).
COLLINEAR_API double ChiSquareQuantile(int dof, double p);

// Rules shared by all solvers: non-finite values, redundancy, condition,
// RMS against the a-priori noise, a solution short of the optimum, and
// outliers. Here without a rounding floor: the solver overloads know the
// coordinates and add one.
COLLINEAR_API Verdict Judge(const CArray<CXYZ, CXYZ&>& residuals,
                            const PrecisionReport& report,
                            const JudgeOptions& options);
// The shared rules plus control points behind the camera.
COLLINEAR_API Verdict Judge(const CSinOri& solved,
                            const PrecisionReport& report,
                            const JudgeOptions& options = JudgeOptions());
// The shared rules plus, for the spatial solution, a nearly plane field.
COLLINEAR_API Verdict Judge(const CDlt& solved,
                            const PrecisionReport& report,
                            const JudgeOptions& options = JudgeOptions());
COLLINEAR_API Verdict Judge(const CHelmert& solved,
                            const PrecisionReport& report,
                            const JudgeOptions& options = JudgeOptions());

// Smallest over largest principal spread of the points (see
// kCoplanarRatio); 0 for fewer than 2 points or all points equal.
COLLINEAR_API double ThicknessRatio(const CArray<CXYZ, CXYZ&>& points);

}  // namespace collinear

#endif  // COLLINEAR_QUALITY_VERDICT_H_
