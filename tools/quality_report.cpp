#include "quality_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>

#include <collinear/primitives/constants.h>

namespace collinear::cli {
namespace {

// digits significant digits: standard deviations, ratios.
std::string Sig(double v, int digits = 3) {
  if (!std::isfinite(v)) return std::isnan(v) ? "-" : "inf";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*g", digits, v);
  return buf;
}

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

void AddRow(Table& t, const Parameter& p, const QualityUnits& u, int decimals) {
  if (p.kind == ParamKind::kAngle) {
    t.AddRow({p.name,
              Fixed(p.value * kDegPerRad, 6),
              Sig(p.sigma * kDegPerRad),
              "deg"});
  } else if (p.kind == ParamKind::kDistortion || p.kind == ParamKind::kScalar) {
    t.AddRow({p.name, Exact(p.value), Sig(p.sigma), UnitText(p.kind, u)});
  } else {
    t.AddRow(
        {p.name, Fixed(p.value, decimals), Sig(p.sigma), UnitText(p.kind, u)});
  }
}

Json ParamJson(const Parameter& p, const QualityUnits& u) {
  Json j = {{"name", p.name}, {"value", p.value}, {"sigma", p.sigma}};
  if (p.kind == ParamKind::kAngle) {
    j["unit"] = "rad";
    j["value_deg"] = p.value * kDegPerRad;
    j["sigma_deg"] = p.sigma * kDegPerRad;
  } else {
    j["unit"] = UnitText(p.kind, u);
  }
  return j;
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
                "exit with code 1 when the verdict has warnings (the report "
                "is printed all the same)");
  app->add_option(sigma_option, args.sigma, sigma_help)
      ->check(CLI::NonNegativeNumber);
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
    report.params[i].sigma /= scale;
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
    report.correlation[i * p + j] = -report.correlation[i * p + j];
    report.correlation[j * p + i] = -report.correlation[j * p + i];
  }
}

std::string PrecisionSection(const PrecisionReport& report,
                             const QualityUnits& units,
                             double obs_sigma,
                             int decimals) {
  std::ostringstream o;
  o << "\nPrecision (one more linearised adjustment at the solution: "
    << report.model << ")\n";
  if (!report.valid) {
    o << "  not available for this solution\n";
    return o.str();
  }
  o << "  sigma0 " << Sig(report.sigma0, 4) << " " << units.image << " from "
    << report.observations << " observations, " << report.unknowns
    << " unknowns, redundancy " << report.redundancy << "; condition number "
    << Sig(report.condition_number) << " (unknowns scaled to unit diagonal)\n";
  if (obs_sigma > 0)
    o << "  a-priori noise " << Sig(obs_sigma) << " " << units.image
      << " per coordinate\n";
  if (report.redundancy <= 0)
    o << "  no redundancy: standard deviations undetermined\n";
  o << "\n";
  Table t({"parameter", "value", "std dev", "unit"});
  for (const Parameter& p : report.params) AddRow(t, p, units, decimals);
  for (const Parameter& p : report.derived) AddRow(t, p, units, decimals);
  o << t.Render();
  const int n = static_cast<int>(report.params.size());
  if (n > 1 && report.correlation.size() == static_cast<size_t>(n) * n) {
    std::vector<std::string> head = {""};
    for (const Parameter& p : report.params) head.push_back(p.name);
    Table c(head);
    for (int i = 0; i < n; ++i) {
      std::vector<std::string> row = {report.params[i].name};
      for (int j = 0; j <= i; ++j)
        row.push_back(Fixed(report.Correlation(i, j), 3));
      c.AddRow(row);
    }
    o << "\n  Correlations:\n" << c.Render("  ");
    const auto high = HighCorrelations(report, kFlagCorrelation);
    if (high.empty()) {
      o << "  No correlation above " << kFlagCorrelation << ".\n";
    } else {
      o << "  Correlations above " << kFlagCorrelation << ":";
      for (size_t k = 0; k < high.size(); ++k)
        o << (k ? "," : "") << " " << report.params[high[k].i].name << "-"
          << report.params[high[k].j].name << " " << Fixed(high[k].r, 3);
      o << "\n";
    }
  }
  return o.str();
}

Json PrecisionJson(const PrecisionReport& report, const QualityUnits& units) {
  Json j;
  j["valid"] = report.valid;
  j["model"] = report.model;
  j["observations"] = report.observations;
  j["unknowns"] = report.unknowns;
  j["redundancy"] = report.redundancy;
  j["sigma0"] = report.sigma0;
  j["sigma0_at_solution"] = report.sigma0_at_solution;
  j["condition_number"] = report.condition_number;
  j["parameters"] = Json::array();
  for (const Parameter& p : report.params)
    j["parameters"].push_back(ParamJson(p, units));
  j["derived"] = Json::array();
  for (const Parameter& p : report.derived)
    j["derived"].push_back(ParamJson(p, units));
  const int n = static_cast<int>(report.params.size());
  Json names = Json::array(), matrix = Json::array();
  for (int i = 0; i < n; ++i) {
    names.push_back(report.params[i].name);
    Json row = Json::array();
    for (int k = 0;
         k < n && report.correlation.size() == static_cast<size_t>(n) * n;
         ++k)
      row.push_back(report.Correlation(i, k));
    matrix.push_back(row);
  }
  j["correlation"] = {{"names", names}, {"matrix", matrix}};
  Json high = Json::array();
  for (const CorrelatedPair& c : HighCorrelations(report, kFlagCorrelation))
    high.push_back({{"a", report.params[c.i].name},
                    {"b", report.params[c.j].name},
                    {"r", c.r}});
  j["high_correlations"] = high;
  return j;
}

std::string VerdictSection(const Verdict& verdict) {
  std::ostringstream o;
  if (verdict.Ok()) {
    o << "\nVerdict: ok\n";
    return o.str();
  }
  const size_t n = verdict.warnings.size();
  o << "\nVerdict: " << n << (n == 1 ? " warning" : " warnings") << "\n";
  for (const Warning& w : verdict.warnings)
    o << "  - [" << VerdictReasonCode(w.reason) << "] " << w.message << "\n";
  return o.str();
}

Json VerdictJson(const Verdict& verdict) {
  Json w = Json::array();
  for (const Warning& x : verdict.warnings) {
    Json e = {{"reason", VerdictReasonCode(x.reason)}, {"message", x.message}};
    if (!x.point.empty()) e["point"] = x.point;
    w.push_back(e);
  }
  return {{"ok", verdict.Ok()}, {"warnings", w}};
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
      if (p.kind == kind && std::isfinite(p.sigma) &&
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

int VerdictExitCode(const Verdict& verdict, bool strict) {
  if (!strict || verdict.Ok()) return kExitOk;
  const size_t n = verdict.warnings.size();
  std::cerr << "collinear: --strict: the verdict has " << n
            << (n == 1 ? " warning" : " warnings") << "\n";
  return kExitFailed;
}

}  // namespace collinear::cli
