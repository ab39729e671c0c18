// helmert: plane four-parameter similarity between two point lists.
#include <algorithm>
#include <cmath>
#include <sstream>

#include <collinear/orientation/helmert.h>
#include <collinear/primitives/constants.h>

#include "commands.h"
#include "quality_report.h"
#include "report.h"

namespace collinear::cli {
namespace {

struct HelmertArgs {
  std::string target, source, apply;
  int decimals = 4;
  QualityArgs quality;
};

// The fit, its quality and the --apply points in the target system.
struct HelmertResult {
  int common_points = 0;
  double a = 0, b = 0, c = 0, d = 0;  // X = a*x - b*y + c, Y = b*x + a*y + d
  double scale = 0, rotation_rad = 0;
  Residuals residuals;  // transformed source - target
  CXYZ rms, max_residual;
  PrecisionReport precision;
  double obs_sigma = 0;
  Verdict verdict;
  struct Transformed {
    std::string name;
    double x, y, X, Y;
  };
  std::vector<Transformed> transformed;  // of --apply
};

HelmertResult Compute(const HelmertArgs& a) {
  CArray<CXYZ, CXYZ&> target = LoadPoints(a.target, false);
  CArray<CXYZ, CXYZ&> source = LoadPoints(a.source, false);
  CHelmert h;
  HelmertResult r;
  const int n = r.common_points = h.SetPoints(target, source);
  if (n < 2)
    throw InputError(std::to_string(n) +
                     (n == 1 ? " point name appears" : " point names appear") +
                     " in both " + a.target + " and " + a.source +
                     "; a Helmert transformation needs at least 2 common "
                     "points");
  if (!h.CalPara())
    throw ComputeError(
        "the normal equations are singular: the common points of " + a.source +
        " coincide");
  r.a = h.m_Para[0];
  r.b = h.m_Para[1];
  r.c = h.m_Para[2];
  r.d = h.m_Para[3];
  r.scale = std::sqrt(r.a * r.a + r.b * r.b);
  r.rotation_rad = std::atan2(r.b, r.a);
  r.residuals = SortResiduals(h.m_Residuals);
  r.rms = h.m_Rms;
  r.max_residual = h.m_MaxRes;
  r.precision = EstimatePrecision(h);
  JudgeOptions judge;
  judge.obs_sigma = r.obs_sigma = std::max(a.quality.sigma, 0.0);
  r.verdict = Judge(h, r.precision, judge);
  if (!a.apply.empty()) {
    CArray<CXYZ, CXYZ&> pts = LoadPoints(a.apply, false);
    for (INT_PTR i = 0; i < pts.GetSize(); ++i) {
      CXYZ out = pts[i];
      h.Transform(pts[i], out, 1);
      r.transformed.push_back({pts[i].m_strName.GetString(),
                               pts[i].m_x,
                               pts[i].m_y,
                               out.m_x,
                               out.m_y});
    }
  }
  return r;
}

Report Render(const HelmertResult& r,
              const HelmertArgs& a,
              const CommonOptions& common) {
  Report rep;
  Json& doc = rep.json;
  std::ostringstream t;
  doc["command"] = "helmert";
  doc["model"] = "X = a*x - b*y + c, Y = b*x + a*y + d";
  doc["common_points"] = r.common_points;
  t << "Helmert transformation (4 parameters), " << r.common_points
    << " common points\n  X = a*x - b*y + c,  Y = b*x + a*y + d"
       "   (x, y: source; X, Y: target)\n\n";

  doc["parameters"] = {{"a", r.a}, {"b", r.b}, {"c", r.c}, {"d", r.d}};
  doc["scale"] = r.scale;
  doc["rotation_deg"] = r.rotation_rad * kDegPerRad;
  doc["rotation_rad"] = r.rotation_rad;
  Table par({"parameter", "value"});
  par.AddRow({"a", Exact(r.a)});
  par.AddRow({"b", Exact(r.b)});
  par.AddRow({"c", Exact(r.c)});
  par.AddRow({"d", Exact(r.d)});
  par.AddRow({"scale", Exact(r.scale)});
  par.AddRow({"rotation [deg]", Fixed(r.rotation_rad * kDegPerRad, 8)});
  par.AddRow({"rotation [rad]", Fixed(r.rotation_rad, 10)});
  t << par.Render()
    << "\nResiduals (transformed source - target), largest first:\n";
  rep.text = t.str();
  ResidualRows(
      r.residuals, a.decimals, common.max_rows, rep.text, doc["residuals"]);
  doc["rms"] = {{"x", r.rms.m_x}, {"y", r.rms.m_y}};
  doc["max_residual"] = {{"x", r.max_residual.m_x}, {"y", r.max_residual.m_y}};
  rep.text += "\n  RMS x " + Fixed(r.rms.m_x, a.decimals) + ", RMS y " +
              Fixed(r.rms.m_y, a.decimals) + "\n";

  const QualityUnits units{"target units", "target units"};
  PrecisionSection(r.precision, units, r.obs_sigma, a.decimals, rep);
  VerdictSection(r.verdict, rep);
  if (!a.apply.empty()) {
    Table tr({"point", "x", "y", "X", "Y"});
    Json& jtr = doc["transformed"] = Json::array();
    for (const auto& p : r.transformed) {
      tr.AddRow({p.name,
                 Fixed(p.x, a.decimals),
                 Fixed(p.y, a.decimals),
                 Fixed(p.X, a.decimals),
                 Fixed(p.Y, a.decimals)});
      jtr.push_back(
          {{"name", p.name}, {"x", p.x}, {"y", p.y}, {"X", p.X}, {"Y", p.Y}});
    }
    rep.text += "\nTransformed points (" + a.apply + "):\n" + tr.Render();
  }
  return rep;
}

int RunHelmert(const HelmertArgs& a, const CommonOptions& common) {
  const HelmertResult r = Compute(a);
  return PrintVerdict(
      Render(r, a, common), r.verdict, a.quality.strict, common);
}

}  // namespace

Command AddHelmert(CLI::App& root, CommonOptions& common) {
  auto args = std::make_shared<HelmertArgs>();
  CLI::App* app = root.add_subcommand(
      "helmert",
      "Plane similarity (4-parameter Helmert) transformation.\n"
      "Fits X = a*x - b*y + c, Y = b*x + a*y + d by least squares to the "
      "points whose names appear in both files (x, y from SOURCE_POINTS, "
      "X, Y from TARGET_POINTS); scale = sqrt(a^2 + b^2), rotation = "
      "atan2(b, a), counter-clockwise from the source x axis. Only x and y "
      "are used; units are those of the files.");
  app->add_option("TARGET_POINTS",
                  args->target,
                  "point file of the target system: name X Y [Z]")
      ->required()
      ->check(CLI::ExistingFile);
  app->add_option("SOURCE_POINTS",
                  args->source,
                  "point file of the source system: name x y [z]")
      ->required()
      ->check(CLI::ExistingFile);
  app->add_option("--apply",
                  args->apply,
                  "point file (name x y) to transform into the target system")
      ->check(CLI::ExistingFile);
  AddQualityOptions(app,
                    args->quality,
                    "--sigma",
                    "a-priori standard deviation of one target coordinate, "
                    "for the test of the residuals (default: none, no test)");
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunHelmert(*args, common); }};
}

}  // namespace collinear::cli
