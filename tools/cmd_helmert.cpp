// helmert: plane four-parameter similarity between two point lists.
#include <algorithm>
#include <cmath>
#include <sstream>

#include <collinear/orientation/helmert.h>
#include <collinear/primitives/constants.h>

#include "commands.h"
#include "quality_report.h"

namespace collinear::cli {
namespace {

struct HelmertArgs {
  std::string target, source, apply;
  int decimals = 4;
  QualityArgs quality;
};

int RunHelmert(const HelmertArgs& a, const CommonOptions& common) {
  CArray<CXYZ, CXYZ&> target = LoadPoints(a.target, false);
  CArray<CXYZ, CXYZ&> source = LoadPoints(a.source, false);
  CHelmert h;
  const int n = h.SetPoints(target, source);
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
  const double pa = h.m_Para[0], pb = h.m_Para[1], pc = h.m_Para[2],
               pd = h.m_Para[3];
  const double scale = std::sqrt(pa * pa + pb * pb);
  const double rot_rad = std::atan2(pb, pa);

  Json doc;
  doc["command"] = "helmert";
  doc["model"] = "X = a*x - b*y + c, Y = b*x + a*y + d";
  doc["common_points"] = n;
  doc["parameters"] = {{"a", pa}, {"b", pb}, {"c", pc}, {"d", pd}};
  doc["scale"] = scale;
  doc["rotation_deg"] = rot_rad * kDegPerRad;
  doc["rotation_rad"] = rot_rad;

  const ResidualReport res =
      MakeResidualReport(h.m_Residuals, a.decimals, 1.0, common.max_rows);
  doc["residuals"] = res.json;
  doc["rms"] = {{"x", h.m_Rms.m_x}, {"y", h.m_Rms.m_y}};
  doc["max_residual"] = {{"x", h.m_MaxRes.m_x}, {"y", h.m_MaxRes.m_y}};

  std::ostringstream t;
  t << "Helmert transformation (4 parameters), " << n
    << " common points\n  X = a*x - b*y + c,  Y = b*x + a*y + d"
       "   (x, y: source; X, Y: target)\n\n";
  Table par({"parameter", "value"});
  par.AddRow({"a", Exact(pa)});
  par.AddRow({"b", Exact(pb)});
  par.AddRow({"c", Exact(pc)});
  par.AddRow({"d", Exact(pd)});
  par.AddRow({"scale", Exact(scale)});
  par.AddRow({"rotation [deg]", Fixed(rot_rad * kDegPerRad, 8)});
  par.AddRow({"rotation [rad]", Fixed(rot_rad, 10)});
  t << par.Render() << "\nResiduals (transformed source - target), "
    << "largest first:\n"
    << res.table << "\n  RMS x " << Fixed(h.m_Rms.m_x, a.decimals) << ", RMS y "
    << Fixed(h.m_Rms.m_y, a.decimals) << "\n";

  const PrecisionReport precision = EstimatePrecision(h);
  JudgeOptions judge;
  judge.obs_sigma = std::max(a.quality.sigma, 0.0);
  const Verdict verdict = Judge(h, precision, judge);
  const QualityUnits units{"target units", "target units"};
  doc["precision"] = PrecisionJson(precision, units);
  doc["a_priori_sigma"] = judge.obs_sigma;
  doc["verdict"] = VerdictJson(verdict);
  t << PrecisionSection(precision, units, judge.obs_sigma, a.decimals);

  if (!a.apply.empty()) {
    CArray<CXYZ, CXYZ&> pts = LoadPoints(a.apply, false);
    Table tr({"point", "x", "y", "X", "Y"});
    Json jtr = Json::array();
    for (INT_PTR i = 0; i < pts.GetSize(); ++i) {
      CXYZ out = pts[i];
      h.Transform(pts[i], out, 1);
      tr.AddRow({pts[i].m_strName.GetString(),
                 Fixed(pts[i].m_x, a.decimals),
                 Fixed(pts[i].m_y, a.decimals),
                 Fixed(out.m_x, a.decimals),
                 Fixed(out.m_y, a.decimals)});
      jtr.push_back({{"name", pts[i].m_strName.GetString()},
                     {"x", pts[i].m_x},
                     {"y", pts[i].m_y},
                     {"X", out.m_x},
                     {"Y", out.m_y}});
    }
    doc["transformed"] = jtr;
    t << "\nTransformed points (" << a.apply << "):\n" << tr.Render();
  }
  t << VerdictSection(verdict);
  Emit(common, doc, t.str());
  return VerdictExitCode(verdict, a.quality.strict);
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
