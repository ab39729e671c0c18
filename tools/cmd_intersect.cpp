// intersect: one 3-D position from direction rays of several stations.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <utility>

#include <collinear/adjust/adj_image.h>
#include <collinear/adjust/ray_fit.h>
#include <collinear/io/point_file.h>
#include <collinear/primitives/constants.h>
#include <collinear/primitives/geomath_consts.h>

#include "commands.h"
#include "quality_report.h"
#include "report.h"

namespace collinear::cli {
namespace {

struct IntersectArgs {
  std::string rays;
  std::string sigma_unit = "arcsec";
  std::vector<double> sigma{5.0, 5.0};
  int decimals = 4;
  bool strict = false;
};

// Radians per unit of the --sigma-unit choices.
const std::map<std::string, double>& SigmaUnits() {
  static const std::map<std::string, double> units = {
      {"rad", 1.0},
      {"mrad", 1e-3},
      {"deg", kRadPerDeg},
      {"arcsec", kRadPerDeg / 3600.0},
      {"mgon", kPi / 200000.0}};
  return units;
}

// The converged position, its precision, each ray's residuals there and
// the verdict on them.
struct IntersectResult {
  int rays = 0;
  RayFit fit;
  std::vector<std::string> names;  // of fit.rays, in file order
  Verdict verdict;
};

// Unusable: a ray whose station the position lies behind. Look: too little
// redundancy to check the rays, residuals above the stated standard
// deviations (global test of the variance factor), and the ray with the
// largest normalised residual when it fails the outlier test.
Verdict JudgeRays(const RayFit& fit,
                  const std::vector<std::string>& names,
                  const std::vector<TAbstractPoint3<double>>& pts,
                  const std::vector<TAbstractPoint2<double>>& sig,
                  const IntersectArgs& a) {
  Verdict v;
  char buf[512];
  auto warn = [&](VerdictReason reason, const std::string& ray) {
    v.warnings.push_back({reason, ray, buf});
  };
  for (size_t i = 0; i < fit.rays.size(); ++i) {
    if (!fit.rays[i].behind) continue;
    std::snprintf(buf,
                  sizeof buf,
                  "ray %s: the position lies behind its station, %.4g from "
                  "it against the direction observed; the rays meet only "
                  "behind their stations",
                  names[i].c_str(),
                  fit.rays[i].distance);
    warn(VerdictReason::kBehindCamera, names[i]);
  }
  const TAbstractPoint3<double>& x = fit.position;
  if (!std::isfinite(x.x + x.y + x.z + fit.covariance(0, 0) +
                     fit.covariance(1, 1) + fit.covariance(2, 2))) {
    std::snprintf(buf, sizeof buf, "non-finite position or covariance");
    warn(VerdictReason::kNonFinite, "");
  }
  const int m = fit.observations, r = fit.redundancy;
  if (static_cast<double>(r) / m < kMinMeanRedundancy) {
    std::snprintf(buf,
                  sizeof buf,
                  "too few rays: %d directions for 3 coordinates, redundancy "
                  "%d; a wrong ray shows in the residuals at only a fraction "
                  "of its size and cannot be named",
                  m,
                  r);
    warn(VerdictReason::kTooFewPoints, "");
  }
  if (r > 0) {
    const double f = fit.VarianceFactor();
    const double limit = ChiSquareQuantile(r, kRmsTestProbability) / r;
    if (f > limit) {
      std::snprintf(buf,
                    sizeof buf,
                    "residuals too large: variance factor %.4g (standard "
                    "deviation of unit weight %.4g) above %.4g, the limit at "
                    "%.1f %% for redundancy %d; the rays' standard deviations "
                    "are too small or a ray is wrong",
                    f,
                    std::sqrt(f),
                    limit,
                    100.0 * kRmsTestProbability,
                    r);
      warn(VerdictReason::kResidualRms, "");
    }
    // The test fires on the largest normalised residual. A large blunder
    // bends the geometry, so the ray to blame is the one, among the few
    // with the largest normalised residuals, whose removal leaves the best
    // fit of the others (for a small blunder, the largest itself).
    const int n = static_cast<int>(fit.rays.size());
    std::vector<std::pair<double, int>> ranked;
    for (int i = 0; i < n; ++i)
      if (fit.rays[i].used)
        ranked.emplace_back(
            -std::max(std::fabs(fit.rays[i].wh), std::fabs(fit.rays[i].wv)), i);
    std::sort(ranked.begin(), ranked.end());
    const double w = ranked.empty() ? 0.0 : -ranked[0].first;
    const double limit_w = OutlierLimit(m);
    const size_t kCandidates = 5;
    int worst = -1;
    double rest = 0.0;
    for (size_t k = 0; w > limit_w && k < ranked.size() && k < kCandidates;
         ++k) {
      const int i = ranked[k].second;
      std::vector<TAbstractPoint3<double>> p;
      std::vector<TAbstractPoint2<double>> s;
      for (int j = 0; j < n; ++j)
        if (j != i) {
          p.insert(p.end(), {pts[2 * j], pts[2 * j + 1]});
          s.push_back(sig[j]);
        }
      const RayFit without =
          FitRays(static_cast<int>(s.size()), p.data(), s.data(), x);
      if (without.converged && (worst < 0 || without.weighted_sum < rest)) {
        worst = i;
        rest = without.weighted_sum;
      }
    }
    const double unit = SigmaUnits().at(a.sigma_unit);
    if (worst >= 0) {
      const RayResidual& ray = fit.rays[worst];
      std::snprintf(buf,
                    sizeof buf,
                    "ray %s does not fit: largest normalised residual %.3g "
                    "above %.3g, the critical value at significance %g over "
                    "%d directions; its own %.3g (dh %.4g, dv %.4g %s), and "
                    "without it the others fit best",
                    names[worst].c_str(),
                    w,
                    limit_w,
                    kOutlierSignificance,
                    m,
                    std::max(std::fabs(ray.wh), std::fabs(ray.wv)),
                    ray.dh / unit,
                    ray.dv / unit,
                    a.sigma_unit.c_str());
      warn(VerdictReason::kOutlier, names[worst]);
    }
  }
  return v;
}

IntersectResult Compute(const IntersectArgs& a) {
  std::string text, error;
  std::vector<PointRow> rows;
  if (!ReadTextFile(a.rays, text, error) ||
      !ParsePointRows(text, a.rays, 6, 8, rows, error))
    throw InputError(error);
  const double unit = SigmaUnits().at(a.sigma_unit);
  const int n = static_cast<int>(rows.size());
  if (n < 2)
    throw InputError(a.rays + ": " + std::to_string(n) +
                     " ray(s); an intersection needs at least 2");
  std::vector<TAbstractPoint3<double>> pts(2 * n);
  std::vector<TAbstractPoint2<double>> sig(n);
  for (int i = 0; i < n; ++i) {
    const std::vector<double>& v = rows[i].values;
    if (v.size() == 7)
      throw InputError(a.rays + ":" + std::to_string(rows[i].line) + ": ray '" +
                       rows[i].name +
                       "' has 7 values; give 6 (station, point) or 8 (with "
                       "both sigmas)");
    pts[2 * i] = TAbstractPoint3<double>(v[0], v[1], v[2]);
    pts[2 * i + 1] = TAbstractPoint3<double>(v[3], v[4], v[5]);
    const double sh = v.size() == 8 ? v[6] : a.sigma[0];
    const double sv = v.size() == 8 ? v[7] : a.sigma[1];
    if (!(sh > 0) || !(sv > 0))
      throw InputError(a.rays + ":" + std::to_string(rows[i].line) + ": ray '" +
                       rows[i].name + "': standard deviations must be > 0");
    sig[i] = TAbstractPoint2<double>(sh * unit, sv * unit);
  }
  // TAdjImage reorders its copy; the iteration reads the file's order.
  std::vector<TAbstractPoint3<double>> start_pts = pts;
  std::vector<TAbstractPoint2<double>> start_sig = sig;
  TAdjImage adj(n, start_pts.data(), start_sig.data());
  if (!adj.IsValid())
    throw ComputeError(
        "no position: the rays are parallel in plan, all stations coincide, "
        "or fewer than two rays pass at least 0.1 units from their station");

  IntersectResult r;
  r.rays = n;
  for (const PointRow& row : rows) r.names.push_back(row.name);
  // Where the lines meet, whatever the rays' sense: behind a station, the
  // directions cannot be fitted there and the rays do not meet in front.
  TAbstractPoint3<double> meet;
  if (NearestPointToLines(n, pts.data(), meet)) {
    std::string behind;
    for (int i = 0; i < n; ++i)
      if ((meet - pts[2 * i]) * (pts[2 * i + 1] - pts[2 * i]) < 0.0)
        behind += (behind.empty() ? "" : ", ") + r.names[i];
    if (!behind.empty())
      throw ComputeError(
          "no position: the rays' lines meet behind the station of ray(s) " +
          behind + ", opposite the observed direction");
  }
  r.fit = FitRays(n, pts.data(), sig.data(), adj.GetPosition());
  if (!r.fit.converged) {
    std::string behind;
    for (int i = 0; i < n; ++i)
      if (r.fit.rays[i].behind)
        behind += (behind.empty() ? "" : ", ") + r.names[i];
    throw ComputeError("no position: " + r.fit.message +
                       (behind.empty()
                            ? ""
                            : " (the last position lies behind the station of "
                              "ray(s) " +
                                  behind + ")"));
  }
  r.verdict = JudgeRays(r.fit, r.names, pts, sig, a);
  return r;
}

Report Render(const IntersectResult& r, const IntersectArgs& a) {
  Report rep;
  Json& doc = rep.json;
  const RayFit& fit = r.fit;
  const TAbstractPoint3<double>& x = fit.position;
  const covar& c = fit.covariance;
  const double sx = std::sqrt(c(0, 0)), sy = std::sqrt(c(1, 1)),
               sz = std::sqrt(c(2, 2));
  const double unit = SigmaUnits().at(a.sigma_unit);
  doc["command"] = "intersect";
  doc["rays"] = r.rays;
  doc["iterations"] = fit.iterations;
  doc["position"] = {{"x", x.x}, {"y", x.y}, {"z", x.z}};
  doc["std_dev"] = {{"x", sx}, {"y", sy}, {"z", sz}};
  doc["covariance"] = {c[0], c[1], c[2], c[3], c[4], c[5]};
  doc["sigma_unit"] = a.sigma_unit;
  doc["redundancy"] = fit.redundancy;
  doc["variance_factor"] = fit.VarianceFactor();
  Table pt({"", "position", "std dev"});
  pt.AddRow({"X", Fixed(x.x, a.decimals), Fixed(sx, a.decimals)});
  pt.AddRow({"Y", Fixed(x.y, a.decimals), Fixed(sy, a.decimals)});
  pt.AddRow({"Z", Fixed(x.z, a.decimals), Fixed(sz, a.decimals)});

  Table rt({"ray",
            "dh [" + a.sigma_unit + "]",
            "dv [" + a.sigma_unit + "]",
            "w",
            "offset",
            "distance"});
  Json& jr = doc["ray_misclosures"] = Json::array();
  for (size_t i = 0; i < fit.rays.size(); ++i) {
    const RayResidual& m = fit.rays[i];
    const double w = std::max(std::fabs(m.wh), std::fabs(m.wv));
    rt.AddRow({r.names[i],
               m.used ? Fixed(m.dh / unit, 2) : "-",
               m.used ? Fixed(m.dv / unit, 2) : "-",
               m.used ? Fixed(w, 2) : "-",
               Fixed(m.offset, a.decimals),
               Fixed(m.distance, 3)});
    jr.push_back({{"name", r.names[i]},
                  {"used", m.used},
                  {"behind", m.behind},
                  {"dh", m.dh / unit},
                  {"dv", m.dv / unit},
                  {"normalised", {{"h", m.wh}, {"v", m.wv}}},
                  {"redundancy", {{"h", m.rh}, {"v", m.rv}}},
                  {"offset", m.offset},
                  {"distance", m.distance}});
  }
  std::ostringstream t;
  t << "Intersection of " << r.rays
    << " rays (weighted Gauss-Newton on the directions, " << fit.iterations
    << " iterations)\n\n"
    << pt.Render() << "\nStandard deviations a priori; variance factor "
    << Fixed(fit.VarianceFactor(), 3) << " for redundancy " << fit.redundancy
    << ".\n\nResiduals at the position (observed - computed direction), "
       "normalised residual w, offset from each ray:\n"
    << rt.Render();
  rep.text = t.str();
  VerdictSection(r.verdict, rep);
  return rep;
}

int RunIntersect(const IntersectArgs& a, const CommonOptions& common) {
  const IntersectResult r = Compute(a);
  return PrintVerdict(Render(r, a), r.verdict, a.strict, common);
}

}  // namespace

Command AddIntersect(CLI::App& root, CommonOptions& common) {
  auto args = std::make_shared<IntersectArgs>();
  CLI::App* app = root.add_subcommand(
      "intersect",
      "Position of one point from rays of several stations.\n"
      "RAYS rows: name Xs Ys Zs Xt Yt Zt [sigma_h sigma_v] - the station, a "
      "second point on the ray, and the standard deviations of the "
      "horizontal direction (azimuth) and the vertical angle. Coordinates in "
      "one length unit (z up). The start is the plan crossing of the first "
      "ray with the ray of the farthest station, at their mean height; "
      "weighted Gauss-Newton steps on all directions follow until the "
      "position no longer moves (no convergence: exit 1). Standard "
      "deviations of the position are a priori (unit weight 1). A position "
      "behind a station is unusable (exit 1); the residuals are tested "
      "(the variance factor, and normalised residuals by data snooping) "
      "and the ray that does not fit is named.");
  app->add_option("RAYS", args->rays, "file of rays")
      ->required()
      ->check(CLI::ExistingFile);
  app->add_option(
         "--sigma-unit", args->sigma_unit, "unit of the standard deviations")
      ->capture_default_str()
      ->check(CLI::IsMember({"rad", "mrad", "deg", "arcsec", "mgon"}));
  app->add_option("--sigma",
                  args->sigma,
                  "default standard deviations H,V for rows without them")
      ->delimiter(',')
      ->expected(2)
      ->capture_default_str();
  app->add_flag("--strict",
                args->strict,
                "exit with code 1 also when the verdict only asks for a look "
                "(a ray named as an outlier, residuals too large, too few "
                "rays); an unusable result always exits with 1");
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunIntersect(*args, common); }};
}

}  // namespace collinear::cli
