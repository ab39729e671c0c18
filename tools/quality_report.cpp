#include "quality_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>

#include <collinear/primitives/constants.h>

#include "commands.h"

namespace collinear::cli {
namespace {

// digits significant digits: standard deviations, ratios; "-" for a figure
// not determined.
std::string Sig(double v, int digits = 3) {
  if (IsUndefined(v)) return "-";
  if (!std::isfinite(v)) return std::isnan(v) ? "-" : "inf";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*g", digits, v);
  return buf;
}

// A figure for the JSON: null when not determined.
Json Figure(double v) { return IsUndefined(v) ? Json(nullptr) : Json(v); }

// v times k, unless v is not determined.
double Times(double v, double k) { return IsUndefined(v) ? v : v * k; }

std::string UnitText(ParamKind kind, const QualityUnits& u) {
  switch (kind) {
    case ParamKind::kObjectLength:
      return u.object;
    case ParamKind::kImageLength:
      return u.image;
    case ParamKind::kAngle:
      return "deg";
    case ParamKind::kDistortion:
      return u.image + " powers";
    case ParamKind::kScalar:
      break;
  }
  return "";
}

// One parameter: a row of the table (angles in degrees) and an entry of
// the JSON list (angles in radians and degrees).
void ParamRow(const Parameter& p,
              const QualityUnits& u,
              int decimals,
              Table& t,
              Json& list) {
  Json j = {{"name", p.name}, {"value", p.value}, {"sigma", Figure(p.sigma)}};
  if (p.kind == ParamKind::kAngle) {
    j["unit"] = "rad";
    j["value_deg"] = p.value * kDegPerRad;
    j["sigma_deg"] = Figure(Times(p.sigma, kDegPerRad));
    t.AddRow({p.name,
              Fixed(p.value * kDegPerRad, 6),
              Sig(Times(p.sigma, kDegPerRad)),
              "deg"});
  } else {
    j["unit"] = UnitText(p.kind, u);
    const bool exact =
        p.kind == ParamKind::kDistortion || p.kind == ParamKind::kScalar;
    t.AddRow({p.name,
              exact ? Exact(p.value) : Fixed(p.value, decimals),
              Sig(p.sigma),
              UnitText(p.kind, u)});
  }
  list.push_back(j);
}

// "too_few_points" -> "too few points".
std::string ReasonText(VerdictReason r) {
  std::string s = VerdictReasonCode(r);
  for (char& c : s)
    if (c == '_') c = ' ';
  return s;
}

}  // namespace

void AddQualityOptions(CLI::App* app,
                       QualityArgs& args,
                       const std::string& sigma_option,
                       const std::string& sigma_help) {
  app->add_flag("--strict",
                args.strict,
                "exit with code 1 also when the verdict only asks for a look "
                "(outliers, weak geometry, too few points); an unusable "
                "result always exits with 1 (the report is printed all the "
                "same)");
  app->add_option(sigma_option, args.sigma, sigma_help)
      ->check(NonNegativeNumber());
}

void CentreToFileFrame(PrecisionReport& report,
                       const CXYZ& centre,
                       double scale) {
  const char* names[] = {"X", "Y", "Z"};
  const double values[] = {centre.m_x, centre.m_y, centre.m_z};
  for (int k = 0; k < 3; ++k) {
    const int i = report.Find(names[k]);
    if (i < 0 || i >= static_cast<int>(report.params.size())) continue;
    report.params[i].value = values[k];
    double& sigma = report.params[i].sigma;
    if (!IsUndefined(sigma)) sigma /= scale;
  }
}

void NegateParameter(PrecisionReport& report, const std::string& name) {
  const int i = report.Find(name);
  const int p = static_cast<int>(report.params.size());
  if (i < 0 || i >= p) return;
  report.params[i].value = -report.params[i].value;
  if (report.correlation.size() != static_cast<size_t>(p) * p) return;
  for (int j = 0; j < p; ++j) {
    if (j == i) continue;
    for (double* r :
         {&report.correlation[i * p + j], &report.correlation[j * p + i]})
      if (!IsUndefined(*r)) *r = -*r;
  }
}

void PrecisionSection(const PrecisionReport& precision,
                      const QualityUnits& units,
                      double obs_sigma,
                      int decimals,
                      Report& report) {
  const PrecisionReport& p = precision;
  Json j = {{"valid", p.valid},
            {"model", p.model},
            {"observations", p.observations},
            {"unknowns", p.unknowns},
            {"redundancy", p.redundancy},
            {"sigma0", Figure(p.sigma0)},
            {"sigma0_at_solution", Figure(p.sigma0_at_solution)},
            {"condition_number", p.condition_number}};
  Table t({"parameter", "value", "std dev", "unit"});
  j["parameters"] = Json::array();
  for (const Parameter& x : p.params)
    ParamRow(x, units, decimals, t, j["parameters"]);
  j["derived"] = Json::array();
  for (const Parameter& x : p.derived)
    ParamRow(x, units, decimals, t, j["derived"]);
  // The lower triangle in the text, the whole matrix in the JSON.
  const int n = static_cast<int>(p.params.size());
  const bool matrix = p.correlation.size() == static_cast<size_t>(n) * n;
  std::vector<std::string> head = {""};
  Json names = Json::array(), rows = Json::array();
  for (const Parameter& x : p.params) {
    head.push_back(x.name);
    names.push_back(x.name);
  }
  Table c(head);
  for (int i = 0; i < n; ++i) {
    std::vector<std::string> cells = {p.params[i].name};
    Json row = Json::array();
    for (int k = 0; k < n && matrix; ++k) {
      const double r = p.Correlation(i, k);
      row.push_back(Figure(r));
      if (k <= i) cells.push_back(IsUndefined(r) ? "nan" : Fixed(r, 3));
    }
    rows.push_back(row);
    c.AddRow(cells);
  }
  const bool usable = CovarianceUsable(p);
  j["covariance_usable"] = usable;
  j["correlation"] =
      usable ? Json{{"names", names}, {"matrix", rows}} : Json(nullptr);
  std::string flagged;
  j["high_correlations"] = Json::array();
  const std::vector<CorrelatedPair> high =
      usable ? HighCorrelations(p, kFlagCorrelation)
             : std::vector<CorrelatedPair>();
  for (const CorrelatedPair& h : high) {
    const std::string &a = p.params[h.i].name, &b = p.params[h.j].name;
    j["high_correlations"].push_back({{"a", a}, {"b", b}, {"r", h.r}});
    flagged.append(flagged.empty() ? " " : ", ")
        .append(a)
        .append("-")
        .append(b)
        .append(" ")
        .append(Fixed(h.r, 3));
  }
  report.json["precision"] = j;
  report.json["a_priori_sigma"] = obs_sigma;

  std::ostringstream o;
  o << "\nPrecision (one more linearised adjustment at the solution: "
    << p.model << ")\n";
  if (!p.valid) {
    report.text += o.str() + "  not available for this solution\n";
    return;
  }
  o << "  sigma0 " << Sig(p.sigma0, 4) << " " << units.image << " from "
    << p.observations << " observations, " << p.unknowns
    << " unknowns, redundancy " << p.redundancy << "; condition number "
    << Sig(p.condition_number) << " (unknowns scaled to unit diagonal)\n";
  if (obs_sigma > 0)
    o << "  a-priori noise " << Sig(obs_sigma) << " " << units.image
      << " per coordinate\n";
  if (p.redundancy <= 0)
    o << "  no redundancy: standard deviations undetermined\n";
  o << "\n" << t.Render();
  if (n > 1 && matrix && !usable) {
    o << "\n  Correlations not shown: the covariance is unusable (values "
         "outside [-1, 1] or NaN).\n";
  } else if (n > 1 && matrix) {
    o << "\n  Correlations:\n" << c.Render("  ");
    if (flagged.empty())
      o << "  No correlation above " << kFlagCorrelation << ".\n";
    else
      o << "  Correlations above " << kFlagCorrelation << ":" << flagged
        << "\n";
  }
  report.text += o.str();
}

void VerdictSection(const Verdict& verdict, Report& report) {
  const size_t n = verdict.warnings.size();
  std::ostringstream o;
  o << "\nVerdict: ";
  if (verdict.Ok())
    o << "ok\n";
  else
    o << (verdict.Unusable() ? "unusable, " : "") << n
      << (n == 1 ? " warning" : " warnings") << "\n";
  Json w = Json::array();
  for (const Warning& x : verdict.warnings) {
    const bool unusable = KindOf(x.reason) == VerdictKind::kUnusable;
    Json e = {{"reason", VerdictReasonCode(x.reason)},
              {"kind", unusable ? "unusable" : "look"},
              {"message", x.message}};
    if (!x.point.empty()) e["point"] = x.point;
    w.push_back(e);
    o << "  - [" << VerdictReasonCode(x.reason) << "] "
      << (unusable ? "(unusable) " : "") << x.message << "\n";
  }
  o << "  (outlier test: normalised residuals at significance "
    << kOutlierSignificance
    << ", Bonferroni-corrected over the observations)\n";
  report.json["verdict"] = {{"ok", verdict.Ok()},
                            {"usable", verdict.Unusable() == nullptr},
                            {"outlier_significance", kOutlierSignificance},
                            {"warnings", w}};
  report.closing = o.str();
}

std::vector<std::string> QualityCaption(const Verdict& verdict,
                                        const PrecisionReport& report,
                                        const QualityUnits& units) {
  std::vector<std::string> lines;
  std::string v = "Verdict: ";
  if (verdict.Ok()) {
    v += "ok";
  } else {
    const size_t n = verdict.warnings.size();
    v += std::to_string(n) + (n == 1 ? " warning:" : " warnings:");
    // One entry per reason, with up to three of the points it names.
    std::vector<VerdictReason> seen;
    for (const Warning& w : verdict.warnings) {
      if (std::find(seen.begin(), seen.end(), w.reason) != seen.end()) continue;
      seen.push_back(w.reason);
      std::vector<std::string> points;
      for (const Warning& x : verdict.warnings)
        if (x.reason == w.reason && !x.point.empty()) points.push_back(x.point);
      v += (seen.size() > 1 ? "; " : " ") + ReasonText(w.reason);
      for (size_t k = 0; k < points.size() && k < 3; ++k)
        v += (k ? ", " : " (") + points[k];
      if (points.size() > 3) v += ", ...";
      if (!points.empty()) v += ")";
    }
  }
  lines.push_back(v);
  if (!report.valid) return lines;
  std::string s;
  for (ParamKind kind :
       {ParamKind::kObjectLength, ParamKind::kAngle, ParamKind::kImageLength}) {
    const Parameter* largest = nullptr;
    for (const Parameter& p : report.params)
      if (p.kind == kind && std::isfinite(p.sigma) && !IsUndefined(p.sigma) &&
          (!largest || p.sigma > largest->sigma))
        largest = &p;
    if (!largest) continue;
    const double scale = kind == ParamKind::kAngle ? kDegPerRad : 1.0;
    s += (s.empty() ? "" : ", ") + largest->name + " " +
         Sig(largest->sigma * scale) + " " + UnitText(kind, units);
  }
  lines.push_back(s.empty() ? "Standard deviations undetermined"
                            : "Largest standard deviations: " + s);
  return lines;
}

std::string VerdictFailure(const Verdict& verdict, bool strict) {
  std::string error;
  if (verdict.Unusable()) {
    error = "the result is unusable:";
    for (const Warning& w : verdict.warnings)
      if (KindOf(w.reason) == VerdictKind::kUnusable)
        error += std::string(error.back() == ':' ? " [" : "; [") +
                 VerdictReasonCode(w.reason) + "] " + w.message;
  } else if (strict && !verdict.Ok()) {
    const size_t n = verdict.warnings.size();
    error = "--strict: the verdict has " + std::to_string(n) +
            (n == 1 ? " warning" : " warnings");
    std::string outliers;
    for (const Warning& x : verdict.warnings)
      if (x.reason == VerdictReason::kOutlier)
        outliers += (outliers.empty() ? "" : ", ") + x.point;
    if (!outliers.empty()) error += "; outliers: " + outliers;
  }
  return error;
}

int PrintVerdict(const Report& report,
                 const Verdict& verdict,
                 bool strict,
                 const CommonOptions& opt) {
  const std::string error = VerdictFailure(verdict, strict);
  if (error.empty()) {
    Print(report, opt);
    return kExitOk;
  }
  return PrintFailure(report, error, kExitFailed, opt);
}

}  // namespace collinear::cli
