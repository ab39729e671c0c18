// Verdict on a solved orientation or calibration: ok, or warnings that each
// name their reason (and the point, where one is to blame). A warning either
// makes the result unusable (it is known to be wrong) or asks for a look.
// The rules and their thresholds are the constants below; residuals are the
// solver's residual vectors, in the unit of its observations.
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
  kDistortionInvalid,   // correction folds over inside the picture
  kAmbiguous,           // a distinct resection fits nearly as well
  kBehindCamera,        // control points behind the camera
  kNotOptimal,          // the solution is not the least-squares optimum
  kSingular,            // normal equations singular: parameters undetermined
  kCovarianceUnusable,  // correlations outside [-1, 1] or NaN
  kSmallAngle,          // a point's rays meet at a small angle
};

// Unusable: the result is known to be wrong or undetermined (behind the
// camera, not at the optimum, singular or near singular normal equations,
// non-finite, an unusable covariance); look: it may be right but deserves
// a look (outliers, weak geometry, too few points, residuals above the
// stated noise).
enum class VerdictKind { kUnusable, kLook };
COLLINEAR_API VerdictKind KindOf(VerdictReason reason);

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
  // The first warning that makes the result unusable, or null.
  const Warning* Unusable() const;
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
// Whether the correlations of report are cosines: none NaN or outside
// [-1, 1] beyond rounding (true when there are none).
COLLINEAR_API bool CovarianceUsable(const PrecisionReport& report);

// Smallest over largest principal spread of the object points (square roots
// of the scatter matrix's eigenvalues) below this for a spatial DLT.
inline constexpr double kCoplanarRatio = 0.05;
inline constexpr double kMaxConditionNumber = 1e10;
// Above this (about 1 / DBL_EPSILON) the normal equations are singular in
// double precision.
inline constexpr double kSingularConditionNumber = 4.5e15;
// Data snooping: a point is an outlier when one of its coordinates'
// normalised residuals |v| / (sigma0 sqrt(r / m)) exceeds the normal quantile
// at this family-wise significance, Bonferroni-corrected over the m observed
// coordinates: clean data name an outlier in about 1 of 1000 data sets,
// whatever m. Residuals below 1e-9 of the coordinates are never flagged.
inline constexpr double kOutlierSignificance = 0.001;
// sigma0_at_solution above this times sigma0: one more linearised step
// would fit markedly better, so the solver stopped short of the optimum
// (not when both lie at the rounding level of the coordinates).
inline constexpr double kMaxStepGain = 1.5;

// Two-sided critical value of the normalised residual for m observations:
// the standard normal quantile of 1 - kOutlierSignificance / (2 m).
COLLINEAR_API double OutlierLimit(int observations);

// Standard normal quantile of p in (0, 1); NaN outside.
COLLINEAR_API double NormalQuantile(double p);

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

// Whether the correlations of report are cosines: none NaN or outside
// [-1, 1] beyond rounding (true when there are none).
COLLINEAR_API bool CovarianceUsable(const PrecisionReport& report);

// Smallest over largest principal spread of the points (see
// kCoplanarRatio); 0 for fewer than 2 points or all points equal.
COLLINEAR_API double ThicknessRatio(const CArray<CXYZ, CXYZ&>& points);

}  // namespace collinear

#endif  // COLLINEAR_QUALITY_VERDICT_H_
