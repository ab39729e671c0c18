// resect: space resection of one image with a known principal distance.
#include <cmath>
#include <cstdio>
#include <sstream>

#include <collinear/orientation/sinori.h>
#include <collinear/primitives/constants.h>
#include <collinear/quality/resection_ambiguity.h>

#include "commands.h"
#include "control_input.h"
#include "quality_report.h"

namespace collinear::cli {
namespace {

struct ResectArgs {
  std::string object, image;
  double focal = 0.0;
  bool search = false;
  std::string frame = "photo";
  std::vector<double> principal_point{0.0, 0.0};
  std::string rotation = "kpw";
  std::string plot;
  std::vector<double> image_size;
  int decimals = 4;
  QualityArgs quality;
};

// The best and second-best distinct solutions of the pre-rotation trials.
void AmbiguityReport(const ResectionAmbiguity& amb,
                     const ControlInput& in,
                     const std::string& unit,
                     int decimals,
                     Json& doc,
                     std::ostringstream& t) {
  auto solution = [&](const ResectionSolution& s) {
    const CXYZ c = ObjectPoint(in, s.centre);
    return Json{
        {"projection_centre", {{"X", c.m_x}, {"Y", c.m_y}, {"Z", c.m_z}}},
        {"angles_rad",
         {{"omega", s.wpk.m_w}, {"phi", s.wpk.m_p}, {"kappa", s.wpk.m_k}}},
        {"rms", s.score},
        {"pre_rotation_deg", {{"omega", s.omega_deg}, {"phi", s.phi_deg}}}};
  };
  Json j = {
      {"trials", amb.trials},
      {"converged", amb.converged},
      {"behind_camera", amb.behind},
      {"object_distance", amb.object_distance},
      {"distinct_distance", kDistinctCentreFraction * amb.object_distance},
      {"ambiguous", amb.ambiguous}};
  j["best"] = amb.HasBest() ? solution(amb.solutions.front()) : Json();
  j["second"] = amb.HasSecond() ? solution(amb.solutions[amb.second]) : Json();
  j["ratio"] = amb.HasSecond() ? Json(amb.ratio) : Json();
  doc["ambiguity"] = j;

  t << "\nPre-rotation trials: " << amb.trials << ", " << amb.converged
    << " converged (" << amb.behind
    << " of them with points behind the camera, not counted)\n";
  if (!amb.HasBest()) return;
  // A distinct trial this many times worse than the best is no competitor;
  // such trials often end far off with absurd centres.
  const double kCompetitorRatio = 100.0;
  const bool competitor = amb.HasSecond() && amb.ratio <= kCompetitorRatio;
  Table s({"solution", "centre X", "centre Y", "centre Z", "RMS " + unit});
  auto row = [&](const char* name, const ResectionSolution& r) {
    const CXYZ c = ObjectPoint(in, r.centre);
    char rms[32];
    std::snprintf(rms, sizeof rms, "%.4g", r.score);
    s.AddRow({name,
              Fixed(c.m_x, decimals),
              Fixed(c.m_y, decimals),
              Fixed(c.m_z, decimals),
              rms});
  };
  row("best", amb.solutions.front());
  if (competitor) row("second", amb.solutions[amb.second]);
  t << s.Render();
  if (competitor)
    t << "  second-best distinct solution (centre more than "
      << Fixed(100 * kDistinctCentreFraction, 0)
      << " % of the object distance away): RMS ratio " << Fixed(amb.ratio, 3)
      << (amb.ambiguous ? ", within " : ", above ")
      << Fixed(kAmbiguityFactor, 1) << "\n";
  else if (amb.HasSecond())
    t << "  no competing solution: the best distinct trial fits "
      << Fixed(amb.ratio, 0) << " times worse\n";
  else
    t << "  no distinct second solution among the trials\n";
}

int RunResect(const ResectArgs& a, const CommonOptions& common) {
  if (!(a.focal > 0) || !std::isfinite(a.focal))
    throw InputError("--focal must be a positive principal distance");
  ControlInput in = LoadControl(a.object, a.image, a.frame == "pixel");
  // Photo coordinates about the principal point; pixel y is already up.
  const double px0 = a.principal_point[0];
  const double py0 = ImageY(in, a.principal_point[1]);
  for (INT_PTR i = 0; i < in.image.GetSize(); ++i) {
    CXYZ& p = in.image[i];
    p.SetXYZ(p.m_x - px0, p.m_y - py0, 0.0);
  }
  if (in.matched < 4)
    throw InputError(std::to_string(in.matched) +
                     " control point(s) have both object and image "
                     "coordinates; a resection needs at least 4");
  CSinOri s;
  s.m_RotSystem = a.rotation == "wpk" ? ROT_WPK : ROT_KPW;
  if (!s.Create(in.object, in.image, a.focal))
    throw InputError("cannot pair the control points by name");
  const int ok = a.search ? s.CalSinOri2() : s.CalSinOri();
  if (!ok)
    throw ComputeError(
        std::string(a.search ? "the resection with the pre-rotation search"
                             : "the resection") +
        " did not converge" +
        (a.search ? "" : "; try --search for steep or unusual views"));

  const CXYZ center = ObjectPoint(in, s.m_Center);
  PrecisionReport precision = EstimatePrecision(s);
  CentreToFileFrame(precision, center, 1.0);
  JudgeOptions judge;
  judge.obs_sigma = a.quality.sigma >= 0 ? a.quality.sigma
                                         : DefaultImageSigma(in.pixel_frame);
  Verdict verdict = Judge(s, precision, judge);
  const std::string unit = in.pixel_frame ? "px" : "mm";
  const ResidualReport res = MakeResidualReport(
      s.m_Residuals, a.decimals, in.pixel_frame ? -1 : 1, common.max_rows);
  const char* conv = s.m_RotSystem == ROT_WPK
                         ? "R = Rz(kappa) Ry(phi) Rx(omega)"
                         : "R = Rx(omega) Ry(phi) Rz(kappa)";

  Json doc;
  doc["command"] = "resect";
  doc["method"] = a.search ? "pre-rotation search (41 resections)"
                           : "resection from the plane projective start";
  doc["focal"] = a.focal;
  doc["image_frame"] = a.frame;
  doc["rotation_convention"] = s.m_RotSystem == ROT_WPK ? "wpk" : "kpw";
  AddPoseJson(doc, center, s.m_Wpk);
  Json rot = Json::array();
  for (int k = 0; k < 9; ++k) rot.push_back(s.m_Rot.m_r[k]);
  doc["rotation_matrix"] = rot;
  doc["residuals"] = res.json;
  doc["rms"] = {{"x", s.m_Rms.m_x}, {"y", s.m_Rms.m_y}, {"total", res.rms}};
  const QualityUnits units{"object units", unit};
  doc["precision"] = PrecisionJson(precision, units);
  doc["a_priori_sigma"] = judge.obs_sigma;

  std::ostringstream t;
  t << "Space resection, " << in.matched << " control points, principal "
    << "distance " << Exact(a.focal) << " " << unit
    << (a.search ? ", pre-rotation search" : "") << "\n\n";
  Table ext({"parameter", "value", "unit"});
  AddPoseRows(ext, center, s.m_Wpk, a.decimals);
  t << ext.Render() << "\n  Rotation " << conv
    << " from object to camera axes; the camera looks along its -z.\n"
    << ResidualSection(res, s.m_Rms, unit, a.decimals)
    << PrecisionSection(precision, units, judge.obs_sigma, a.decimals);
  if (a.search) {
    const ResectionAmbiguity amb = AnalyseResectionAmbiguity(s);
    AmbiguityReport(amb, in, unit, a.decimals, doc, t);
    verdict.Append(Judge(amb));
  }
  doc["verdict"] = VerdictJson(verdict);
  t << VerdictSection(verdict);
  if (!a.plot.empty()) {
    WriteResidualPlot(
        a.plot,
        in,
        s.m_Residuals,
        "collinear resect: residuals",
        ResidualCaption(std::string("space resection") +
                            (a.search ? ", pre-rotation search" : ""),
                        res,
                        unit,
                        a.decimals,
                        in.matched,
                        QualityCaption(verdict, precision, units)),
        a.image_size,
        {},
        px0,
        py0);
    doc["plot"] = a.plot;
  }
  Emit(common, doc, t.str());
  return VerdictExitCode(verdict, a.quality.strict);
}

}  // namespace

Command AddResect(CLI::App& root, CommonOptions& common) {
  auto args = std::make_shared<ResectArgs>();
  CLI::App* app = root.add_subcommand(
      "resect",
      "Space resection: projection centre and rotation of one image of known "
      "principal distance from at least 4 control points.\n"
      "OBJECT_POINTS holds name X Y Z, IMAGE_POINTS name x y (or one file of "
      "'name X Y Z x y' rows). Image coordinates are photo coordinates "
      "(millimetres about the principal point, y up) unless --image-frame "
      "pixel, where --principal-point gives the principal point in pixels "
      "and --focal is in pixels too. --search tries 40 pre-rotations of the "
      "object and keeps the best fit: use it for oblique, horizontal or "
      "upside-down views.");
  AddControlFiles(app, args->object, args->image);
  app->add_option("--focal",
                  args->focal,
                  "principal distance in the unit of the image coordinates")
      ->required();
  app->add_flag("--search", args->search, "pre-rotation search (robust start)");
  app->add_option("--image-frame",
                  args->frame,
                  "photo (mm, y up) or pixel (y down) image coordinates")
      ->capture_default_str()
      ->check(CLI::IsMember({"photo", "pixel"}));
  app->add_option("--principal-point",
                  args->principal_point,
                  "principal point X0,Y0 in the image frame's unit")
      ->delimiter(',')
      ->expected(2);
  app->add_option("--rotation",
                  args->rotation,
                  "angle convention of the printed angles: kpw (Rx Ry Rz) or "
                  "wpk (Rz Ry Rx)")
      ->capture_default_str()
      ->check(CLI::IsMember({"kpw", "wpk"}));
  AddPlotOptions(app,
                 args->plot,
                 args->image_size,
                 "write an SVG picture of the residual vectors to this file",
                 " (--image-frame pixel)");
  AddQualityOptions(app,
                    args->quality,
                    "--image-sigma",
                    "a-priori standard deviation of one image coordinate, for "
                    "the test of the residuals (default 0.01 mm, or 1 px with "
                    "--image-frame pixel; 0: no test)");
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunResect(*args, common); }};
}

}  // namespace collinear::cli
