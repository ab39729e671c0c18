// triangulate: object points from their pixels in two or more oriented
// images of a project file.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <map>

#include <collinear/adjust/triangulate.h>
#include <collinear/primitives/constants.h>

#include "commands.h"
#include "project_image.h"
#include "quality_report.h"

namespace collinear::cli {
namespace {

struct TriangulateArgs {
  std::string project;
  std::vector<std::string> points;
  bool verbose = false;
  int decimals = 4;
  QualityArgs quality;  // --image-sigma in pixels
};

// One point of the project with its rays, the intersection and its verdict.
struct TriangulatedPoint {
  std::string name;
  std::vector<TriangulationView> views;  // one per oriented image
  Triangulation fit;
  Verdict verdict;
  bool known = false;  // the file's coordinates, working system
  P3 file;
  double rms_px = 0.0;  // sqrt(mean(vx^2 + vy^2)) over the images
};

struct TriangulateResult {
  std::string working_system, length_unit;
  std::vector<std::string> images;  // the oriented ones, in file order
  double sigma_px = 0.0;
  std::vector<TriangulatedPoint> points;
  Verdict verdict;  // of all points
};

// The camera, pose and pixel of point m in the image set up in c.
TriangulationView ViewOf(const std::string& image,
                         const CCrdCalculator& c,
                         const ProjectControl& m,
                         double sigma_px) {
  TriangulationView v;
  v.image = image;
  v.focal_mm = c.m_FocusR;
  v.principal_mm = c.m_PrincipalPoint;
  v.pixel_mm = c.m_MmPerPixel;
  // The calculator subtracts its correction, CDist adds it.
  v.dist.SetDistModel(static_cast<DIST_MODEL>(c.m_DistModel));
  for (int k = 0; k < v.dist.m_NumPara; ++k)
    v.dist.m_Para[k] = -c.m_DistPara[k];
  v.centre = c.m_Origin;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      v.rotation.m_r[3 * i + j] = c.m_ConversionMatr(i, j);
  v.pixel = P2(m.x_px, m.y_px);
  v.sigma_px = sigma_px;
  return v;
}

TriangulateResult Compute(const TriangulateArgs& a, const Project& p) {
  TriangulateResult r;
  r.working_system = p.working_system();
  r.length_unit = p.length_unit();
  r.sigma_px = a.quality.sigma >= 0 ? a.quality.sigma : DefaultImageSigma(true);
  if (!(r.sigma_px > 0.0))
    throw InputError(
        "--image-sigma must be positive: it weights the image rays");
  // Every oriented image set up once; rays per point name. The first one
  // converts the file's points into the working system.
  std::map<std::string, std::vector<TriangulationView>> rays;
  std::vector<ImageSetup> setups;
  setups.reserve(p.images().size());
  for (const ProjectImage& img : p.images()) {
    if (!img.has_exterior) continue;
    setups.push_back(SetUp(p, img));
    const CCrdCalculator& c = setups.back().calc;
    r.images.push_back(img.id);
    for (const ProjectControl& m : img.control)
      rays[m.point].push_back(ViewOf(img.id, c, m, r.sigma_px));
  }
  if (r.images.empty())
    throw InputError(a.project +
                     ": no image has an exterior orientation (run "
                     "'collinear orient --write' first)");
  std::vector<const ProjectPoint*> points;
  for (const std::string& name : a.points) {
    const ProjectPoint* pt = p.FindPoint(name);
    if (!pt) throw InputError(a.project + ": unknown point '" + name + "'");
    const std::size_t n = rays[name].size();
    if (n < 2)
      throw InputError(a.project + ": point '" + name + "' is measured in " +
                       std::to_string(n) +
                       " oriented image(s); triangulation needs 2");
    points.push_back(pt);
  }
  if (a.points.empty())
    for (const ProjectPoint& pt : p.points())
      if (rays[pt.name].size() >= 2) points.push_back(&pt);
  if (points.empty())
    throw InputError(a.project +
                     ": no point is measured in two or more of "
                     "the " +
                     std::to_string(r.images.size()) + " oriented image(s)");
  for (const ProjectPoint* pt : points) {
    TriangulatedPoint x;
    x.name = pt->name;
    x.views = rays[pt->name];
    x.fit = Triangulate(x.views);
    x.verdict = Judge(x.fit, x.views, x.name);
    x.file =
        setups.front().calc.GetPointAbsCoords(pt->object.get(), nullptr, 0);
    x.known = !DefTriad::IsPartialUndef(x.file);
    double sum = 0.0;
    for (const TriangulationRay& ray : x.fit.rays)
      sum += ray.vx_px * ray.vx_px + ray.vy_px * ray.vy_px;
    x.rms_px = std::sqrt(sum / static_cast<double>(x.fit.rays.size()));
    r.verdict.Append(x.verdict);
    r.points.push_back(std::move(x));
  }
  return r;
}

Json Xyz(double x, double y, double z) {
  return {{"x", x}, {"y", y}, {"z", z}};
}

Json PointJsonOf(const TriangulatedPoint& x) {
  const Triangulation& t = x.fit;
  Json j = {{"name", x.name},
            {"status",
             !t.converged           ? "failed"
             : x.verdict.Unusable() ? "unusable"
                                    : "triangulated"},
            {"rays", x.views.size()}};
  if (!t.converged) {
    j["reason"] = t.message;
    return j;
  }
  const covar& c = t.covariance;
  const covar cp = t.APosterioriCovariance();
  j["position"] = PointJson(t.position);
  j["std_dev"] =
      Xyz(std::sqrt(c(0, 0)), std::sqrt(c(1, 1)), std::sqrt(c(2, 2)));
  j["std_dev_a_posteriori"] =
      Xyz(std::sqrt(cp(0, 0)), std::sqrt(cp(1, 1)), std::sqrt(cp(2, 2)));
  j["covariance"] = {c[0], c[1], c[2], c[3], c[4], c[5]};
  j["max_angle_deg"] = t.max_angle * kDegPerRad;
  j["rms_px"] = x.rms_px;
  j["iterations"] = t.iterations;
  j["redundancy"] = t.redundancy;
  j["variance_factor"] = t.VarianceFactor();
  j["file_difference"] = x.known ? Xyz(t.position.x - x.file.x,
                                       t.position.y - x.file.y,
                                       t.position.z - x.file.z)
                                 : Json();
  Json& res = j["residuals_px"] = Json::array();
  for (std::size_t i = 0; i < t.rays.size(); ++i) {
    const TriangulationRay& ray = t.rays[i];
    res.push_back({{"image", x.views[i].image},
                   {"vx", ray.vx_px},
                   {"vy", ray.vy_px},
                   {"redundancy", {{"x", ray.rx}, {"y", ray.ry}}},
                   {"normalised", {{"x", ray.wx}, {"y", ray.wy}}},
                   {"behind", ray.behind}});
  }
  return j;
}

Report Render(const TriangulateResult& r,
              const TriangulateArgs& a,
              int max_rows) {
  Report rep;
  Json& doc = rep.json;
  const int d = a.decimals;
  doc["command"] = "triangulate";
  doc["working_system"] = r.working_system;
  doc["length_unit"] = r.length_unit;
  doc["images"] = r.images;
  doc["image_sigma_px"] = r.sigma_px;
  doc["min_angle_deg"] = kMinIntersectionAngle * kDegPerRad;
  Json& jpoints = doc["points"] = Json::array();
  const std::string unit = " [" + r.length_unit + "]";
  Table t({"point",
           "X" + unit,
           "Y" + unit,
           "Z" + unit,
           "sX" + unit,
           "sY" + unit,
           "sZ" + unit,
           "rays",
           "angle [deg]",
           "RMS [px]",
           "vs file" + unit});
  // Residuals of every ray, largest first, for --verbose.
  std::vector<std::pair<double, std::vector<std::string>>> residuals;
  for (const TriangulatedPoint& x : r.points) {
    jpoints.push_back(PointJsonOf(x));
    const Triangulation& f = x.fit;
    const std::string rays = std::to_string(x.views.size());
    if (!f.converged) {
      t.AddRow(
          {x.name, "-", "-", "-", "-", "-", "-", rays, "-", "-", "failed"});
      continue;
    }
    const P3& o = f.position;
    const covar& c = f.covariance;
    t.AddRow({x.name,
              Fixed(o.x, d),
              Fixed(o.y, d),
              Fixed(o.z, d),
              Fixed(std::sqrt(c(0, 0)), d),
              Fixed(std::sqrt(c(1, 1)), d),
              Fixed(std::sqrt(c(2, 2)), d),
              rays,
              Fixed(f.max_angle * kDegPerRad, 2),
              Fixed(x.rms_px, 2),
              x.verdict.Unusable() ? "unusable"
              : x.known            ? Fixed((o - x.file).Module(), d)
                                   : ""});
    for (std::size_t i = 0; i < f.rays.size(); ++i) {
      const TriangulationRay& ray = f.rays[i];
      residuals.push_back(
          {std::hypot(ray.vx_px, ray.vy_px),
           {x.name,
            x.views[i].image,
            Fixed(ray.vx_px, 2),
            Fixed(ray.vy_px, 2),
            Fixed(std::hypot(ray.vx_px, ray.vy_px), 2),
            Fixed(std::max(std::fabs(ray.wx), std::fabs(ray.wy)), 2)}});
    }
  }
  rep.text = "Triangulation of " + std::to_string(r.points.size()) +
             " point(s) from " + std::to_string(r.images.size()) +
             " oriented image(s), working system " + r.working_system +
             (r.length_unit == "m" ? "" : " (" + r.length_unit + ")") +
             "; image sigma " + Exact(r.sigma_px) + " px\n\n" + t.Render() +
             "\nsX, sY, sZ: a-priori standard deviations from the image "
             "sigma (two images leave\none degree of freedom, too few to "
             "scale them by the residuals; the JSON also\nhas the "
             "a-posteriori ones). angle: the largest between two rays. vs "
             "file:\ndistance to the point's coordinates in the file.\n";
  if (a.verbose) {
    std::stable_sort(
        residuals.begin(), residuals.end(), [](const auto& l, const auto& r) {
          return l.first > r.first;
        });
    Table rt({"point", "image", "vx [px]", "vy [px]", "|v| [px]", "w"});
    const std::size_t rows =
        max_rows > 0 ? std::min<std::size_t>(max_rows, residuals.size())
                     : residuals.size();
    for (std::size_t k = 0; k < rows; ++k) rt.AddRow(residuals[k].second);
    rep.text +=
        "\nResiduals (projected - measured, pixels, y down; w normalised), "
        "largest first:\n" +
        rt.Render();
    if (rows < residuals.size())
      rep.text += "  ... " + std::to_string(residuals.size() - rows) +
                  " more (--max-rows 0 shows all)\n";
  }
  VerdictSection(r.verdict, rep);
  return rep;
}

int RunTriangulate(const TriangulateArgs& a, const CommonOptions& common) {
  const std::unique_ptr<Project> p = LoadProject(a.project);
  const TriangulateResult r = Compute(a, *p);
  return PrintVerdict(
      Render(r, a, common.max_rows), r.verdict, a.quality.strict, common);
}

}  // namespace

Command AddTriangulate(CLI::App& root, CommonOptions& common) {
  auto args = std::make_shared<TriangulateArgs>();
  CLI::App* app = AddProjectCommand(
      root,
      "triangulate",
      "Object points from their pixels in two or more oriented images.\n"
      "Every point measured in at least two images with a stored exterior "
      "orientation (orient --write stores them), or only --point, is "
      "intersected from its image rays: the measured pixels corrected for "
      "lens distortion, then least squares on the image residuals in "
      "pixels. Prints the coordinates in the working system with their "
      "a-priori standard deviations, the number of rays, the largest angle "
      "between them and the RMS residual; --verbose lists the residuals "
      "per image. A point behind a camera or without convergence is "
      "unusable (exit 1); rays meeting below 2 degrees, residuals too "
      "large for the image sigma and (from three images on) an image that "
      "does not fit are named; --strict fails on them.\n",
      args->project);
  app->add_option("--point", args->points, "only these points (repeatable)");
  app->add_flag("--verbose", args->verbose, "list the residuals per image");
  AddQualityOptions(app,
                    args->quality,
                    "--image-sigma",
                    "a-priori standard deviation of one pixel coordinate, "
                    "weighting the rays and testing the residuals (default "
                    "1 px)");
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunTriangulate(*args, common); }};
}

}  // namespace collinear::cli
