// orient: images oriented by space resection from their control points,
// optionally written back into the project file.
#include <cstddef>

#include <collinear/orientation/sinori.h>
#include <collinear/primitives/constants.h>

#include "commands.h"
#include "project_image.h"
#include "quality_report.h"

namespace collinear::cli {
namespace {

constexpr double kMmPerMetre = 1000.0;

struct OrientArgs {
  std::string project, image;
  bool write = false;
  int decimals = 4;
  QualityArgs quality;  // --image-sigma in pixels
};

// One image oriented from its control points, or why not.
struct OrientedImage {
  std::string id;
  std::size_t control_points = 0;
  std::string failure;   // empty: oriented
  bool too_few = false;  // failed for lack of control points (bad input)
  bool solved = false;   // a pose with residuals, precision and verdict
  Pose pose;
  Residuals residuals;  // projected - measured, pixels, y down
  // Of the resection in photo millimetres; the centre in the length unit.
  PrecisionReport precision;
  double obs_sigma_mm = 0.0;  // the a-priori noise the verdict tested
  Verdict verdict;
};

struct OrientResult {
  std::string working_system, angle_unit, length_unit;
  std::vector<OrientedImage> images;
  std::string written;  // the project file, when --write stored the poses
  bool AllOriented() const {
    for (const OrientedImage& i : images)
      if (!i.failure.empty()) return false;
    return true;
  }
};

// The calculator's resection of img as a solved CSinOri in millimetres
// (object points, photo coordinates from the same pixels), with its pose and
// residuals, for the precision and the verdict of that pose. mm: millimetres
// per unit of the working system.
CSinOri SolvedResection(const Project& p,
                        const ProjectImage& img,
                        const CCrdCalculator& c,
                        const Pose& pose,
                        double mm) {
  CArray<CXYZ, CXYZ&> object_mm, photo_mm;
  for (const ProjectControl& m : img.control) {
    const P3 a =
        c.GetPointAbsCoords(p.FindPoint(m.point)->object.get(), nullptr, 0);
    if (DefTriad::IsPartialUndef(a)) continue;
    CXYZ obj(m.point.c_str(), mm * a.x, mm * a.y, mm * a.z);
    object_mm.Add(obj);
    const P2 photo = c.Imc2Phc(P2(m.x_px, m.y_px));
    CXYZ ph(m.point.c_str(), photo.x, photo.y, 0.0);
    photo_mm.Add(ph);
  }
  CSinOri s;
  s.m_RotSystem = ROT_KPW;
  s.Create(object_mm, photo_mm, c.m_FocusR);
  s.m_Center = CXYZ(mm * pose.centre.x, mm * pose.centre.y, mm * pose.centre.z);
  s.m_Wpk = pose.angles;
  s.m_Rot.SetMatrix(ROT_KPW, pose.angles);
  for (INT_PTR i = 0; i < s.m_ObjPoints.GetSize(); ++i) {
    CXYZ projected;
    s.ObjToPhc(s.m_ObjPoints[i], projected);
    const CXYZ& measured = s.m_ImgPoints[i];
    CXYZ v(measured.m_strName,
           projected.m_x - measured.m_x,
           projected.m_y - measured.m_y,
           0.0);
    s.m_Residuals.Add(v);
  }
  return s;
}

OrientResult Compute(const OrientArgs& a, const Project& p) {
  std::vector<const ProjectImage*> images;
  if (!a.image.empty()) {
    const ProjectImage& img = RequireImage(p, a.image);
    if (img.control.empty())
      throw InputError("image '" + img.id +
                       "' has no control-point measurements to orient it");
    images.push_back(&img);
  } else {
    for (const ProjectImage& img : p.images())
      if (!img.control.empty()) images.push_back(&img);
    if (images.empty())
      throw InputError(a.project + ": no image has control-point measurements");
  }
  OrientResult r;
  r.working_system = p.working_system();
  r.angle_unit = p.angle_unit();
  r.length_unit = p.length_unit();
  const double metres_per_unit =
      p.FindSystem(p.working_system())->metres_per_unit;
  for (const ProjectImage* img : images) {
    CCrdCalculator c;
    c.InitCameraFromImage(img->object.get());
    UsePictureSize(p, *img, c);
    c.InitOrientationFromControlPts(img->object.get());
    OrientedImage o;
    o.id = img->id;
    o.control_points = img->control.size();
    o.too_few = img->control.size() < kMinControlPoints;
    if (o.too_few)
      o.failure = std::to_string(img->control.size()) +
                  " control point(s); a resection needs at least " +
                  std::to_string(kMinControlPoints);
    else if (!c.IsOrientationValid())
      o.failure =
          "the space resection did not converge (are the points spread over "
          "the picture and not all on one line?)";
    else
      o.failure = Degenerate(p, *img, c);
    if (o.failure.empty()) {
      // Residuals: the control points projected with the new orientation.
      CArray<CXYZ, CXYZ&> res;
      for (const ProjectControl& m : img->control) {
        P2 px(kUndefined, kUndefined);
        const ProjectPoint* pt = p.FindPoint(m.point);
        if (!c.GetPointOnImageCoords(pt->object.get(), px, false)) continue;
        CXYZ v(m.point.c_str(), px.x - m.x_px, px.y - m.y_px, 0.0);
        res.Add(v);
      }
      o.residuals = SortResiduals(res);
      o.pose = PoseOf(p, c);
      o.solved = true;
      const double mm = kMmPerMetre * metres_per_unit;
      const CSinOri s = SolvedResection(p, *img, c, o.pose, mm);
      o.precision = EstimatePrecision(s);
      CentreToFileFrame(o.precision,
                        CXYZ(o.pose.centre.x, o.pose.centre.y, o.pose.centre.z),
                        mm);
      const P2 pixel_mm = c.GetMmPerPixel();
      const double sigma_px =
          a.quality.sigma >= 0 ? a.quality.sigma : DefaultImageSigma(true);
      JudgeOptions judge;
      judge.obs_sigma = o.obs_sigma_mm =
          sigma_px * 0.5 * (pixel_mm.x + pixel_mm.y);
      o.verdict = Judge(s, o.precision, judge);
      if (const Warning* w = o.verdict.Unusable())
        o.failure = std::string("the result is unusable: [") +
                    VerdictReasonCode(w->reason) + "] " + w->message;
    }
    r.images.push_back(o);
  }
  return r;
}

// Stores the poses as the images' exterior orientation. Throws InputError.
void WritePoses(const OrientResult& r, const std::string& path) {
  std::vector<std::pair<std::string, ExteriorOrientation>> poses;
  for (const OrientedImage& i : r.images) {
    ExteriorOrientation x;
    x.x = i.pose.centre.x;
    x.y = i.pose.centre.y;
    x.z = i.pose.centre.z;
    x.omega = i.pose.angles.m_w;
    x.phi = i.pose.angles.m_p;
    x.kappa = i.pose.angles.m_k;
    poses.emplace_back(i.id, x);
  }
  std::string error;
  if (!WriteExteriorOrientations(path, poses, error)) throw InputError(error);
}

Report Render(const OrientResult& r, int decimals, int max_rows) {
  Report rep;
  Json& doc = rep.json;
  doc["command"] = "orient";
  doc["working_system"] = r.working_system;
  doc["length_unit"] = r.length_unit;
  Json& jimages = doc["images"] = Json::array();
  std::string details;
  const std::string unit = " [" + r.length_unit + "]";
  Table summary({"image",
                 "X" + unit,
                 "Y" + unit,
                 "Z" + unit,
                 "omega [deg]",
                 "phi [deg]",
                 "kappa [deg]",
                 "points",
                 "RMS [px]"});
  for (const OrientedImage& i : r.images) {
    const std::string points = std::to_string(i.control_points);
    Json ji = {{"id", i.id}, {"control_points", i.control_points}};
    if (!i.solved) {
      ji["status"] = "failed";
      ji["reason"] = i.failure;
      jimages.push_back(ji);
      summary.AddRow(
          {i.id, "-", "-", "-", "-", "-", "-", points, "not oriented"});
      continue;
    }
    const P3& o = i.pose.centre;
    const CWPK& ang = i.pose.angles;
    const double rms = i.residuals.rms;
    ji["status"] = i.failure.empty() ? "oriented" : "unusable";
    if (!i.failure.empty()) ji["reason"] = i.failure;
    details += "\nImage " + i.id + ": space resection from " + points +
               " control points, RMS " + Fixed(rms, decimals) + " px" +
               (i.failure.empty() ? "" : " (unusable, not oriented)") + "\n";
    OrientationSection(i.pose, decimals, details, ji);
    ji["rms_px"] = rms;
    details += "Residuals (projected - measured, pixels, y down):\n";
    ResidualRows(i.residuals, decimals, max_rows, details, ji["residuals_px"]);
    // Precision and verdict of the resection in photo millimetres.
    Report quality;
    PrecisionSection(
        i.precision, {r.length_unit, "mm"}, i.obs_sigma_mm, decimals, quality);
    VerdictSection(i.verdict, quality);
    ji["a_priori_sigma_mm"] = i.obs_sigma_mm;
    ji["precision"] = quality.json["precision"];
    ji["verdict"] = quality.json["verdict"];
    details += quality.text + quality.closing;
    jimages.push_back(ji);
    summary.AddRow({i.id,
                    Fixed(o.x, decimals),
                    Fixed(o.y, decimals),
                    Fixed(o.z, decimals),
                    Fixed(ang.m_w * kDegPerRad, decimals + 2),
                    Fixed(ang.m_p * kDegPerRad, decimals + 2),
                    Fixed(ang.m_k * kDegPerRad, decimals + 2),
                    points,
                    i.failure.empty() ? Fixed(rms, decimals) : "unusable"});
  }
  doc["angle_convention"] =
      "R = Rx(omega) Ry(phi) Rz(kappa), object to camera; the camera looks "
      "along -z";
  doc["written"] = r.written.empty() ? Json() : Json(r.written);
  rep.text = "Exterior orientation from control points, working system " +
             r.working_system +
             (r.length_unit == "m" ? "" : " (" + r.length_unit + ")") +
             " (angles: R = Rx(omega) Ry(phi) Rz(kappa), object to "
             "camera)\n\n" +
             summary.Render() + details;
  if (!r.written.empty())
    rep.text += "\nWritten to " + r.written +
                " (images[].exterior, angles in " + r.angle_unit + ")\n";
  return rep;
}

// Under --strict, the images whose verdict asks for a look, with the
// outliers named; empty when there are none.
std::string StrictProblems(const OrientResult& r) {
  std::string problems;
  for (const OrientedImage& i : r.images) {
    if (i.verdict.Ok()) continue;
    const std::size_t n = i.verdict.warnings.size();
    problems += "\n  image '" + i.id + "': " + std::to_string(n) +
                (n == 1 ? " warning" : " warnings");
    std::string outliers;
    for (const Warning& w : i.verdict.warnings)
      if (w.reason == VerdictReason::kOutlier)
        outliers += (outliers.empty() ? "" : ", ") + w.point;
    if (!outliers.empty()) problems += "; outliers: " + outliers;
  }
  return problems;
}

int RunOrient(const OrientArgs& a, const CommonOptions& common) {
  const std::unique_ptr<Project> p = LoadProject(a.project);
  OrientResult r = Compute(a, *p);
  const bool ok = r.AllOriented();
  const std::string strict = ok && a.quality.strict ? StrictProblems(r) : "";
  if (a.write && ok && strict.empty()) {
    WritePoses(r, a.project);
    r.written = a.project;
  }
  const Report report = Render(r, a.decimals, common.max_rows);
  if (!strict.empty())
    return PrintFailure(report,
                        std::string("--strict: the verdict asks for a look") +
                            (a.write ? " (nothing written)" : "") + ":" +
                            strict,
                        kExitFailed,
                        common);
  if (ok) {
    Print(report, common);
    return kExitOk;
  }
  // Images short of control points first: bad input; then failures.
  std::string problems;
  std::size_t n = 0;
  bool failed = false;
  for (bool too_few : {true, false})
    for (const OrientedImage& i : r.images)
      if (!i.failure.empty() && i.too_few == too_few) {
        problems += "\n  image '" + i.id + "': " + i.failure;
        ++n;
        failed = failed || !too_few;
      }
  const std::string msg =
      std::to_string(n) + " of " + std::to_string(r.images.size()) +
      " image(s) not oriented" + (a.write ? " (nothing written)" : "") + ":" +
      problems;
  return PrintFailure(
      report, msg, failed ? kExitFailed : kExitBadInput, common);
}

}  // namespace

Command AddOrient(CLI::App& root, CommonOptions& common) {
  auto args = std::make_shared<OrientArgs>();
  CLI::App* app = AddProjectCommand(
      root,
      "orient",
      "Orient images by space resection from their control "
      "points.\nEvery image with control-point measurements "
      "(or only --image) is oriented with its camera (focal "
      "length, principal point, distortion) from at least 4 "
      "control points; prints the projection centre, the angles "
      "in degrees and radians and the residuals in pixels. "
      "--write stores the results as the images' exterior "
      "orientation in the project file (in its angle unit), only "
      "when every image was oriented. Each image gets the precision of "
      "its pose and a verdict: an unusable one (behind the camera, "
      "singular, not at the optimum) is not oriented (exit 1); --strict "
      "also fails on warnings that ask for a look (outliers, weak "
      "geometry).\n",
      args->project);
  app->add_option("--image", args->image, "orient only this image");
  app->add_flag("--write",
                args->write,
                "write the exterior orientations into the project file");
  AddQualityOptions(app,
                    args->quality,
                    "--image-sigma",
                    "a-priori standard deviation of one pixel coordinate, for "
                    "the test of the residuals (default 1 px; 0: no test)");
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunOrient(*args, common); }};
}

}  // namespace collinear::cli
