// resect: space resection of one image with a known principal distance.
#include <cmath>
#include <cstdio>
#include <optional>
#include <sstream>

#include <collinear/io/camera_file.h>
#include <collinear/orientation/dlt.h>
#include <collinear/orientation/resection_start.h>
#include <collinear/orientation/sinori.h>
#include <collinear/primitives/constants.h>
#include <collinear/quality/resection_ambiguity.h>

#include "commands.h"
#include "control_input.h"
#include "quality_report.h"
#include "report.h"

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
  std::string camera;  // --camera FILE
  bool focal_given = false, principal_given = false, frame_given = false;
  std::optional<ProjectCamera> camera_data;  // read from camera
};

// With --camera, the interior orientation is the camera file's and the
// image points are pixels. The solver then sees photo millimetres divided
// by the x pixel size mx (square pixels of mx, y up), free of distortion:
// its principal distance is f / mx and its residuals are pixels.
ResectArgs WithCamera(const ResectArgs& a) {
  if (a.camera.empty()) return a;
  const char* conflict = a.focal_given       ? "--focal"
                         : a.principal_given ? "--principal-point"
                         : a.frame_given && a.frame != "pixel"
                             ? "--image-frame photo"
                             : nullptr;
  if (conflict)
    throw InputError(std::string(conflict) + " conflicts with --camera " +
                     a.camera +
                     ": the camera file gives the principal distance and the "
                     "principal point, and the image points are in pixels");
  ResectArgs b = a;
  ProjectCamera cam;
  std::string error;
  if (!ReadCameraFile(a.camera, cam, error)) throw InputError(error);
  const double mx = cam.pixel_mm[0];
  b.focal = cam.focal_mm / mx;
  b.principal_point = {cam.principal_mm[0] / mx,
                       cam.principal_mm[1] / cam.pixel_mm[1]};
  b.frame = "pixel";
  b.camera_data = cam;
  return b;
}

// Removes the camera's distortion from image points about the principal
// point (pixels, y up), giving the solver frame of WithCamera.
void CorrectDistortion(const ProjectCamera& cam, ControlInput& in) {
  const double mx = cam.pixel_mm[0], my = cam.pixel_mm[1];
  const CDist dist = CameraCorrection(cam);
  for (INT_PTR i = 0; i < in.image.GetSize(); ++i) {
    CXYZ& p = in.image[i];
    const double x_mm = p.m_x * mx, y_mm = p.m_y * my;
    double dx = 0.0, dy = 0.0;
    dist.CalDist(x_mm, y_mm, dx, dy);
    p.SetXYZ((x_mm + dx) / mx, (y_mm + dy) / mx, p.m_z);
  }
}

// The solution in the file's frame, its quality, and what the plot needs.
struct ResectResult {
  ControlFit fit;           // image points about the principal point
  double px0 = 0, py0 = 0;  // the principal point in the solver frame
  ROT_SYSTEM rotation = ROT_KPW;
  ResectionStart start = ResectionStart::kNone;  // without --search
  bool from_below = false;  // plane start, camera below the points' plane
  CXYZ centre;
  CWPK wpk;
  std::vector<double> rotation_matrix;  // row by row
  // With --search: the pre-rotation trials, centres in the file frame.
  ResectionAmbiguity ambiguity;
};

ResectResult Compute(const ResectArgs& a) {
  if (!(a.focal > 0))
    throw InputError("--focal must be a positive principal distance");
  ResectResult r;
  r.fit.in = LoadControl(a.object, a.image, a.frame == "pixel");
  ControlInput& in = r.fit.in;
  // Photo coordinates about the principal point; pixel y is already up.
  r.px0 = a.principal_point[0];
  r.py0 = ImageY(in, a.principal_point[1]);
  for (INT_PTR i = 0; i < in.image.GetSize(); ++i) {
    CXYZ& p = in.image[i];
    p.SetXYZ(p.m_x - r.px0, p.m_y - r.py0, 0.0);
  }
  if (a.camera_data) CorrectDistortion(*a.camera_data, in);
  if (in.matched < 4)
    throw InputError(std::to_string(in.matched) +
                     " control point(s) have both object and image "
                     "coordinates; a resection needs at least 4");
  CSinOri s;
  s.m_RotSystem = a.rotation == "wpk" ? ROT_WPK : ROT_KPW;
  if (a.search) {
    if (!s.Create(in.object, in.image, a.focal))
      throw InputError("cannot pair the control points by name");
    if (!s.CalSinOri2())
      throw ComputeError(
          "the resection with the pre-rotation search did not converge");
  } else {
    // Start from the points themselves (spatial DLT or plane homography),
    // either side of the control points' plane.
    ResectionResult solved = Resect(in.object, in.image, a.focal);
    if (!solved.converged || !SetSinOri(solved, a.focal, s))
      throw ComputeError("the resection failed: " + solved.message +
                         (solved.start == ResectionStart::kNone
                              ? ""
                              : "; try --search for steep or unusual views"));
    r.start = solved.start;
    r.from_below = solved.start == ResectionStart::kPlane && solved.below_plane;
  }

  r.fit.unit = in.pixel_frame ? "px" : "mm";
  r.rotation = s.m_RotSystem;
  r.centre = ObjectPoint(in, s.m_Center);
  r.wpk = s.m_Wpk;
  r.rotation_matrix.assign(s.m_Rot.m_r, s.m_Rot.m_r + 9);
  r.fit.solver_residuals.Copy(s.m_Residuals);
  r.fit.residuals = SortResiduals(s.m_Residuals, in.pixel_frame ? -1 : 1);
  r.fit.rms = s.m_Rms;
  r.fit.precision = EstimatePrecision(s);
  CentreToFileFrame(r.fit.precision, r.centre, 1.0);
  JudgeOptions judge;
  judge.obs_sigma = r.fit.obs_sigma = a.quality.sigma >= 0
                                          ? a.quality.sigma
                                          : DefaultImageSigma(in.pixel_frame);
  r.fit.verdict = Judge(s, r.fit.precision, judge);
  if (a.search) {
    r.ambiguity = AnalyseResectionAmbiguity(s);
    r.fit.verdict.Append(Judge(r.ambiguity));
    for (ResectionSolution& x : r.ambiguity.solutions)
      x.centre = ObjectPoint(in, x.centre);
  }
  return r;
}

// The best and second-best distinct solutions of the pre-rotation trials.
void AmbiguitySection(const ResectionAmbiguity& amb,
                      const std::string& unit,
                      int decimals,
                      Report& report) {
  auto solution = [&](const ResectionSolution& s) {
    const CXYZ& c = s.centre;
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
  report.json["ambiguity"] = j;

  std::ostringstream t;
  t << "\nPre-rotation trials: " << amb.trials << ", " << amb.converged
    << " converged (" << amb.behind
    << " of them with points behind the camera, not counted)\n";
  if (amb.HasBest()) {
    // A distinct trial this many times worse than the best is no
    // competitor; such trials often end far off with absurd centres.
    const double kCompetitorRatio = 100.0;
    const bool competitor = amb.HasSecond() && amb.ratio <= kCompetitorRatio;
    Table s({"solution", "centre X", "centre Y", "centre Z", "RMS " + unit});
    auto row = [&](const char* name, const ResectionSolution& r) {
      char rms[32];
      std::snprintf(rms, sizeof rms, "%.4g", r.score);
      s.AddRow({name,
                Fixed(r.centre.m_x, decimals),
                Fixed(r.centre.m_y, decimals),
                Fixed(r.centre.m_z, decimals),
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
  report.text += t.str();
}

Report Render(const ResectResult& r, const ResectArgs& a, int max_rows) {
  Report rep;
  Json& doc = rep.json;
  const bool wpk = r.rotation == ROT_WPK;
  doc["command"] = "resect";
  doc["method"] =
      a.search ? "pre-rotation search (41 resections)"
      : r.start == ResectionStart::kDlt
          ? "resection from the spatial DLT start"
          : std::string("resection from the plane projective start") +
                (r.from_below ? ", camera below the mean plane of the "
                                "control points"
                              : "");
  doc["focal"] = a.focal;
  if (!a.camera.empty()) doc["camera_file"] = a.camera;
  doc["image_frame"] = a.frame;
  doc["rotation_convention"] = wpk ? "wpk" : "kpw";
  Table ext({"parameter", "value", "unit"});
  PoseSection(r.centre, r.wpk, a.decimals, ext, doc);
  doc["rotation_matrix"] = r.rotation_matrix;
  std::ostringstream t;
  t << "Space resection, " << r.fit.in.matched << " control points, principal "
    << "distance " << Exact(a.focal) << " " << r.fit.unit
    << (a.search ? ", pre-rotation search" : "")
    << (a.camera.empty() ? ""
                         : ", camera " + a.camera + " (distortion removed)")
    << (r.from_below ? ", camera below the mean plane of the control points"
                     : "")
    << "\n\n"
    << ext.Render() << "\n  Rotation "
    << (wpk ? "R = Rz(kappa) Ry(phi) Rx(omega)"
            : "R = Rx(omega) Ry(phi) Rz(kappa)")
    << " from object to camera axes; the camera looks along its -z.\n";
  rep.text = t.str();
  FitSections(r.fit, a.decimals, max_rows, rep);
  if (a.search) AmbiguitySection(r.ambiguity, r.fit.unit, a.decimals, rep);
  CloseFit(r.fit, rep);
  return rep;
}

int RunResect(const ResectArgs& given, const CommonOptions& common) {
  const ResectArgs a = WithCamera(given);
  ResectResult r = Compute(a);
  // A failed run, unusable or failing --strict, writes no plot.
  if (!a.plot.empty() &&
      VerdictFailure(r.fit.verdict, a.quality.strict).empty()) {
    PlotLayout layout;
    layout.image_size = a.image_size;
    layout.offset_x = r.px0;
    layout.offset_y = r.py0;
    WritePlot(a.plot,
              "resect",
              std::string("space resection") +
                  (a.search ? ", pre-rotation search" : ""),
              a.decimals,
              layout,
              r.fit);
  }
  return PrintVerdict(
      Render(r, a, common.max_rows), r.fit.verdict, a.quality.strict, common);
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
  CLI::Option* focal = app->add_option(
      "--focal",
      args->focal,
      "principal distance in the unit of the image coordinates (required "
      "unless --camera)");
  app->add_option("--camera",
                  args->camera,
                  "camera file (JSON): principal distance, principal point, "
                  "pixel size and lens distortion, which is removed from the "
                  "image points; they are then pixels")
      ->check(CLI::ExistingFile);
  app->add_flag("--search", args->search, "pre-rotation search (robust start)");
  CLI::Option* frame =
      app->add_option("--image-frame",
                      args->frame,
                      "photo (mm, y up) or pixel (y down) image coordinates")
          ->capture_default_str()
          ->check(CLI::IsMember({"photo", "pixel"}));
  CLI::Option* principal =
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
  return {app, [args, &common, focal, principal, frame] {
            args->focal_given = focal->count() > 0;
            args->principal_given = principal->count() > 0;
            args->frame_given = frame->count() > 0;
            return RunResect(*args, common);
          }};
}

}  // namespace collinear::cli
