#include <collinear/quality/verdict.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

// Adds a warning about point ("" for the whole solution) whose message is
// the printf-style text of fmt and a few figures.
template <typename... Args>
void Warn(Verdict& v,
          VerdictReason reason,
          const std::string& point,
          const char* fmt,
          Args... args) {
  char buf[512];
  if constexpr (sizeof...(args) == 0)
    std::snprintf(buf, sizeof buf, "%s", fmt);
  else
    std::snprintf(buf, sizeof buf, fmt, args...);
  v.warnings.push_back({reason, point, buf});
}

// Residuals below this fraction of the coordinates are rounding.
constexpr double kRounding = 1e-9;

double MaxAbs(const CArray<CXYZ, CXYZ&>& points) {
  double m = 0.0;
  for (INT_PTR i = 0; i < points.GetSize(); ++i)
    m = std::max({m, std::fabs(points[i].m_x), std::fabs(points[i].m_y)});
  return m;
}

Verdict JudgeResiduals(const CArray<CXYZ, CXYZ&>& residuals,
                       const PrecisionReport& report,
                       const JudgeOptions& options,
                       double rounding);

// A figure that should have been determined and was not counts as
// non-finite too.
bool Determined(double v) { return std::isfinite(v) && !IsUndefined(v); }

bool AllFinite(const std::vector<Parameter>& params, bool sigmas) {
  for (const Parameter& p : params)
    if (!std::isfinite(p.value) || (sigmas && !Determined(p.sigma)))
      return false;
  return true;
}

}  // namespace

const char* VerdictReasonCode(VerdictReason reason) {
  static const struct {
    VerdictReason reason;
    const char* code;
  } kCodes[] = {{VerdictReason::kResidualRms, "residual_rms"},
                {VerdictReason::kTooFewPoints, "too_few_points"},
                {VerdictReason::kNearlyCoplanar, "nearly_coplanar"},
                {VerdictReason::kIllConditioned, "ill_conditioned"},
                {VerdictReason::kOutlier, "outlier"},
                {VerdictReason::kNonFinite, "non_finite"},
                {VerdictReason::kDistortionInvalid, "distortion_invalid"},
                {VerdictReason::kAmbiguous, "ambiguous"},
                {VerdictReason::kBehindCamera, "behind_camera"},
                {VerdictReason::kNotOptimal, "not_optimal"},
                {VerdictReason::kSingular, "singular"},
                {VerdictReason::kCovarianceUnusable, "unusable_covariance"},
                {VerdictReason::kSmallAngle, "small_angle"}};
  for (const auto& c : kCodes)
    if (c.reason == reason) return c.code;
  return "unknown";
}

VerdictKind KindOf(VerdictReason reason) {
  switch (reason) {
    case VerdictReason::kNonFinite:
    case VerdictReason::kBehindCamera:
    case VerdictReason::kNotOptimal:
    case VerdictReason::kSingular:
    case VerdictReason::kIllConditioned:
    case VerdictReason::kCovarianceUnusable:
      return VerdictKind::kUnusable;
    default:
      return VerdictKind::kLook;
  }
}

const Warning* Verdict::Unusable() const {
  for (const Warning& w : warnings)
    if (KindOf(w.reason) == VerdictKind::kUnusable) return &w;
  return nullptr;
}

bool Verdict::Has(VerdictReason reason) const {
  for (const Warning& w : warnings)
    if (w.reason == reason) return true;
  return false;
}

void Verdict::Append(const Verdict& other) {
  warnings.insert(warnings.end(), other.warnings.begin(), other.warnings.end());
}

double NormalQuantile(double p) {
  if (!(p > 0.0 && p < 1.0)) return std::nan("");
  // Bisection on the upper tail, which erfc gives to full relative accuracy
  // far out (p = 1 - 1e-12 and beyond).
  double lo = -40.0, hi = 40.0;
  for (int i = 0; i < 200; ++i) {
    const double mid = 0.5 * (lo + hi);
    if (0.5 * std::erfc(mid / std::sqrt(2.0)) > 1.0 - p)
      lo = mid;
    else
      hi = mid;
  }
  return 0.5 * (lo + hi);
}

double OutlierLimit(int observations) {
  if (observations < 1) return std::nan("");
  return NormalQuantile(1.0 - kOutlierSignificance / (2.0 * observations));
}

double ChiSquareQuantile(int dof, double p) {
  if (dof < 1) return std::nan("");
  const double z = NormalQuantile(p);
  if (std::isnan(z)) return z;
  const double a = 2.0 / (9.0 * dof);
  const double t = 1.0 - a + z * std::sqrt(a);
  return dof * t * t * t;
}

bool CovarianceUsable(const PrecisionReport& report) {
  // Beyond rounding: a correlation of exactly dependent unknowns may come
  // out as 1 + a few ulps.
  const double kTolerance = 1e-9;
  for (double c : report.correlation)
    if (!IsUndefined(c) && !(std::fabs(c) <= 1.0 + kTolerance)) return false;
  return true;
}

double ThicknessRatio(const CArray<CXYZ, CXYZ&>& points) {
  const INT_PTR n = points.GetSize();
  if (n < 2) return 0.0;
  double mean[3] = {0.0, 0.0, 0.0};
  for (INT_PTR i = 0; i < n; ++i) {
    mean[0] += points[i].m_x / n;
    mean[1] += points[i].m_y / n;
    mean[2] += points[i].m_z / n;
  }
  std::vector<double> scatter(9, 0.0);
  for (INT_PTR i = 0; i < n; ++i) {
    const double d[3] = {points[i].m_x - mean[0],
                         points[i].m_y - mean[1],
                         points[i].m_z - mean[2]};
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) scatter[r * 3 + c] += d[r] * d[c];
  }
  const std::vector<double> eig = SymmetricEigenvalues(scatter, 3);
  if (!(eig[2] > 0.0)) return 0.0;
  return std::sqrt(std::max(eig[0], 0.0) / eig[2]);
}

Verdict Judge(const CArray<CXYZ, CXYZ&>& residuals,
              const PrecisionReport& report,
              const JudgeOptions& options) {
  return JudgeResiduals(residuals, report, options, 0.0);
}

namespace {

Verdict JudgeResiduals(const CArray<CXYZ, CXYZ&>& residuals,
                       const PrecisionReport& report,
                       const JudgeOptions& options,
                       double rounding) {
  Verdict v;
  const INT_PTR n = residuals.GetSize();
  bool finite_residuals = true;
  double sum2 = 0.0;
  for (INT_PTR i = 0; i < n; ++i) {
    const double vx = residuals[i].m_x, vy = residuals[i].m_y;
    if (!std::isfinite(vx) || !std::isfinite(vy)) finite_residuals = false;
    sum2 += vx * vx + vy * vy;
  }
  const bool adjusted = report.valid && std::isfinite(report.condition_number);
  const bool with_sigmas = adjusted && report.redundancy > 0;
  if (!finite_residuals ||
      (report.valid && !AllFinite(report.params, with_sigmas)) ||
      (with_sigmas && !Determined(report.sigma0)))
    Warn(v,
         VerdictReason::kNonFinite,
         "",
         "non-finite values (NaN or infinity) among the "
         "results, their standard deviations or the residuals");
  if (!report.valid) return v;

  const int m = report.observations, r = report.redundancy;
  if (r <= 0) {
    Warn(v,
         VerdictReason::kTooFewPoints,
         "",
         "too few points for the unknowns: %d observations for %d "
         "unknowns leave no redundancy, so nothing checks the solution",
         m,
         report.unknowns);
  } else if (static_cast<double>(r) / m < kMinMeanRedundancy) {
    Warn(v,
         VerdictReason::kTooFewPoints,
         "",
         "too few points for the unknowns: %d observations for %d "
         "unknowns, redundancy %d (mean redundancy number %.2f < %.2g): "
         "an error in one point shows in the residuals at only a "
         "fraction of its size",
         m,
         report.unknowns,
         r,
         static_cast<double>(r) / m,
         kMinMeanRedundancy);
  }

  if (!(report.condition_number <= kSingularConditionNumber))
    Warn(v,
         VerdictReason::kSingular,
         "",
         "normal equations singular: condition number %.3g (unknowns "
         "scaled to unit diagonal) above %.2g; the geometry does not "
         "determine the parameters",
         report.condition_number,
         kSingularConditionNumber);
  else if (report.condition_number > kMaxConditionNumber)
    Warn(v,
         VerdictReason::kIllConditioned,
         "",
         "normal equations near singular: condition number %.3g "
         "(unknowns scaled to unit diagonal) above %.0e; the geometry "
         "does not determine every parameter",
         report.condition_number,
         kMaxConditionNumber);

  if (options.obs_sigma > 0.0 && r > 0 && n > 0 && finite_residuals) {
    const double s = std::sqrt(sum2 / r);
    const double limit =
        options.obs_sigma *
        std::sqrt(ChiSquareQuantile(r, kRmsTestProbability) / r);
    if (s > limit)
      Warn(v,
           VerdictReason::kResidualRms,
           "",
           "residuals too large: RMS %.4g per coordinate, %.4g over "
           "the redundancy, is %.3g times the a-priori %.4g (at most "
           "%.4g expected at %.1f %% for redundancy %d)",
           std::sqrt(sum2 / (2.0 * n)),
           s,
           s / options.obs_sigma,
           options.obs_sigma,
           limit,
           100.0 * kRmsTestProbability,
           r);
  }

  if (!IsUndefined(report.sigma0) && !IsUndefined(report.sigma0_at_solution) &&
      report.sigma0_at_solution >
          kMaxStepGain * std::max(report.sigma0, rounding))
    Warn(v,
         VerdictReason::kNotOptimal,
         "",
         "not at the least-squares optimum: one more linearised step "
         "would lower the standard deviation of unit weight from %.4g "
         "to %.4g (more than %.2g times); the standard deviations "
         "describe the optimum, not this solution",
         report.sigma0_at_solution,
         report.sigma0,
         kMaxStepGain);

  if (!CovarianceUsable(report))
    Warn(v,
         VerdictReason::kCovarianceUnusable,
         "",
         "unusable covariance: correlations outside [-1, 1] or NaN; "
         "the normal equations are not positive definite, so the "
         "standard deviations mean nothing");

  // Data snooping with sigma0 from the residuals themselves: the scale of a
  // coordinate's residual, sigma0 sqrt(r / m), is the RMS per coordinate.
  const int obs = m > 0 ? m : static_cast<int>(2 * n);
  if (n > 0 && r > 0 && finite_residuals) {
    const double rms = std::sqrt(sum2 / (2.0 * n));
    const double scale = std::max(rms, rounding);
    const double limit = OutlierLimit(obs);
    for (INT_PTR i = 0; i < n; ++i) {
      const double w =
          std::max(std::fabs(residuals[i].m_x), std::fabs(residuals[i].m_y)) /
          scale;
      if (w > limit) {
        const std::string name = residuals[i].m_strName.GetString();
        Warn(v,
             VerdictReason::kOutlier,
             name,
             "point %s: normalised residual %.3g above %.3g, the critical "
             "value at significance %g over %d observations (residual "
             "%.4g, RMS %.4g per coordinate)",
             name.c_str(),
             w,
             limit,
             kOutlierSignificance,
             obs,
             std::hypot(residuals[i].m_x, residuals[i].m_y),
             rms);
      }
    }
  }
  return v;
}

}  // namespace

Verdict Judge(const CSinOri& solved,
              const PrecisionReport& report,
              const JudgeOptions& options) {
  Verdict v = JudgeResiduals(solved.m_Residuals,
                             report,
                             options,
                             kRounding * MaxAbs(solved.m_ImgPoints));
  // The camera looks along its -z axis: a point in front has r.z < 0.
  std::vector<std::string> behind;
  for (INT_PTR i = 0; i < solved.m_ObjPoints.GetSize(); ++i) {
    CXYZ r;
    solved.m_Rot.Rotate(solved.m_ObjPoints[i] - solved.m_Center, r);
    if (!(r.m_z < 0.0))
      behind.emplace_back(solved.m_ObjPoints[i].m_strName.GetString());
  }
  if (!behind.empty()) {
    std::string names;
    for (size_t i = 0; i < behind.size() && i < 5; ++i)
      names += (i ? ", " : "") + behind[i];
    if (behind.size() > 5) names += ", ...";
    Warn(v,
         VerdictReason::kBehindCamera,
         behind.front(),
         "%d control point(s) lie behind the camera (%s): the pose "
         "fits the image as a mirror image and is not physical",
         static_cast<int>(behind.size()),
         names.c_str());
  }
  return v;
}

Verdict Judge(const CDlt& solved,
              const PrecisionReport& report,
              const JudgeOptions& options) {
  Verdict v = JudgeResiduals(solved.m_Residuals,
                             report,
                             options,
                             kRounding * MaxAbs(solved.m_ImgPoints));
  if (solved.m_Dlt.GetSize() == 11) {
    const double ratio = ThicknessRatio(solved.m_ObjPoints);
    if (ratio < kCoplanarRatio)
      Warn(v,
           VerdictReason::kNearlyCoplanar,
           "",
           "control points nearly coplanar for a spatial solution: "
           "their depth across the mean plane is %.3g of their extent "
           "in it (below %.2g); principal point and distances are "
           "poorly determined",
           ratio,
           kCoplanarRatio);
  }
  return v;
}

Verdict Judge(const CHelmert& solved,
              const PrecisionReport& report,
              const JudgeOptions& options) {
  return JudgeResiduals(solved.m_Residuals,
                        report,
                        options,
                        kRounding * MaxAbs(solved.m_DstPoints));
}

}  // namespace collinear
