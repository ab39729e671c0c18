// triangulate: object points from their pixels in two or more oriented
// images of a project file, each point's row written as it is computed.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>

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

// One measurement of a point in an oriented image.
struct Ray {
  std::string_view point;
  std::size_t image = 0;  // in TriangulateSetup::views
  const ProjectControl* pixel = nullptr;
};

// The oriented images and every ray of their control points.
struct TriangulateSetup {
  std::string working_system, length_unit;
  double sigma_px = 0.0;
  std::vector<std::string> images;  // the oriented ones, in file order
  // Per oriented image: its camera and pose, the pixel yet to be set.
  std::vector<TriangulationView> views;
  std::unique_ptr<ImageSetup> first;  // converts the file's points
  std::vector<Ray> rays;       // sorted by point name, images in file order
  double centre_spread = 0.0;  // largest distance between two centres
  // The points to triangulate with the first of their rays and how many.
  struct Job {
    const ProjectPoint* point;
    std::size_t first, count;
  };
  std::vector<Job> jobs;
};

// One point with its rays, the intersection and its verdict.
struct TriangulatedPoint {
  const std::string* name = nullptr;
  const Ray* rays = nullptr;             // its rays in the setup
  std::vector<TriangulationView> views;  // one per ray
  Triangulation fit;
  Verdict verdict;
  bool known = false;  // the file's coordinates, working system
  P3 file;
  double rms_px = 0.0;  // sqrt(mean(vx^2 + vy^2)) over the images
};

// The camera and pose of the image set up in c, as seen by Triangulate.
TriangulationView ViewOf(const std::string& image,
                         const CCrdCalculator& c,
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
  v.sigma_px = sigma_px;
  return v;
}

TriangulateSetup SetUpAll(const TriangulateArgs& a, const Project& p) {
  TriangulateSetup r;
  r.working_system = p.working_system();
  r.length_unit = p.length_unit();
  r.sigma_px = a.quality.sigma >= 0 ? a.quality.sigma : DefaultImageSigma(true);
  if (!(r.sigma_px > 0.0))
    throw InputError(
        "--image-sigma must be positive: it weights the image rays");
  // Every oriented image set up once; the first one converts the file's
  // points into the working system.
  for (const ProjectImage& img : p.images()) {
    if (!img.has_exterior) continue;
    ImageSetup s = SetUp(p, img);
    for (const TriangulationView& v : r.views)
      r.centre_spread =
          std::max(r.centre_spread, (v.centre - s.calc.m_Origin).Module());
    r.views.push_back(ViewOf(img.id, s.calc, r.sigma_px));
    if (!r.first) r.first = std::make_unique<ImageSetup>(std::move(s));
    r.images.push_back(img.id);
    for (const ProjectControl& m : img.control)
      r.rays.push_back({m.point, r.images.size() - 1, &m});
  }
  if (r.images.empty())
    throw InputError(a.project +
                     ": no image has an exterior orientation (run "
                     "'collinear orient --write' first)");
  std::stable_sort(
      r.rays.begin(), r.rays.end(), [](const Ray& x, const Ray& y) {
        return x.point < y.point;
      });
  auto job = [&](const ProjectPoint& pt) {
    const auto range = std::equal_range(
        r.rays.begin(),
        r.rays.end(),
        Ray{pt.name},
        [](const Ray& x, const Ray& y) { return x.point < y.point; });
    return TriangulateSetup::Job{
        &pt,
        static_cast<std::size_t>(range.first - r.rays.begin()),
        static_cast<std::size_t>(range.second - range.first)};
  };
  for (const std::string& name : a.points) {
    const ProjectPoint* pt = p.FindPoint(name);
    if (!pt) throw InputError(a.project + ": unknown point '" + name + "'");
    r.jobs.push_back(job(*pt));
    const std::size_t n = r.jobs.back().count;
    if (n < 2)
      throw InputError(a.project + ": point '" + name + "' is measured in " +
                       std::to_string(n) +
                       " oriented image(s); triangulation needs 2");
  }
  if (a.points.empty())
    for (const ProjectPoint& pt : p.points()) {
      r.jobs.push_back(job(pt));
      if (r.jobs.back().count < 2) r.jobs.pop_back();
    }
  if (r.jobs.empty())
    throw InputError(a.project +
                     ": no point is measured in two or more of "
                     "the " +
                     std::to_string(r.images.size()) + " oriented image(s)");
  return r;
}

// Intersects the rays of job into x, whose buffers are reused.
void Compute(const TriangulateSetup& s,
             const TriangulateSetup::Job& job,
             TriangulatedPoint& x) {
  x.name = &job.point->name;
  x.rays = &s.rays[job.first];
  x.views.resize(job.count);
  for (std::size_t i = 0; i < job.count; ++i) {
    const Ray& ray = s.rays[job.first + i];
    x.views[i] = s.views[ray.image];
    x.views[i].pixel = P2(ray.pixel->x_px, ray.pixel->y_px);
  }
  x.fit = Triangulate(x.views);
  x.verdict = Judge(x.fit, x.views, *x.name);
  x.file = s.first->calc.GetPointAbsCoords(job.point->object.get(), nullptr, 0);
  x.known = !DefTriad::IsPartialUndef(x.file);
  double sum = 0.0;
  for (const TriangulationRay& ray : x.fit.rays)
    sum += ray.vx_px * ray.vx_px + ray.vy_px * ray.vy_px;
  x.rms_px = std::sqrt(sum / static_cast<double>(x.fit.rays.size()));
}

void XyzJson(JsonWriter& j, const char* key, double x, double y, double z) {
  j.BeginObject(key);
  j.Number("x", x);
  j.Number("y", y);
  j.Number("z", z);
  j.End();
}

void PointJson(const TriangulatedPoint& x, JsonWriter& j) {
  const Triangulation& t = x.fit;
  j.BeginObject();
  j.String("name", *x.name);
  j.String("status",
           !t.converged           ? "failed"
           : x.verdict.Unusable() ? "unusable"
                                  : "triangulated");
  j.Integer("rays", static_cast<long long>(x.views.size()));
  if (!t.converged) {
    j.String("reason", t.message);
    j.End();
    return;
  }
  const covar& c = t.covariance;
  const covar cp = t.APosterioriCovariance();
  XyzJson(j, "position", t.position.x, t.position.y, t.position.z);
  XyzJson(
      j, "std_dev", std::sqrt(c(0, 0)), std::sqrt(c(1, 1)), std::sqrt(c(2, 2)));
  XyzJson(j,
          "std_dev_a_posteriori",
          std::sqrt(cp(0, 0)),
          std::sqrt(cp(1, 1)),
          std::sqrt(cp(2, 2)));
  j.BeginArray("covariance");
  for (int k = 0; k < 6; ++k) j.Number(nullptr, c[k]);
  j.End();
  j.Number("max_angle_deg", t.max_angle * kDegPerRad);
  j.Number("rms_px", x.rms_px);
  j.Integer("iterations", t.iterations);
  j.Integer("redundancy", t.redundancy);
  j.Number("variance_factor", t.VarianceFactor());
  if (x.known)
    XyzJson(j,
            "file_difference",
            t.position.x - x.file.x,
            t.position.y - x.file.y,
            t.position.z - x.file.z);
  else
    j.Null("file_difference");
  j.BeginArray("residuals_px");
  for (std::size_t i = 0; i < t.rays.size(); ++i) {
    const TriangulationRay& ray = t.rays[i];
    j.BeginObject();
    j.String("image", x.views[i].image);
    j.Number("vx", ray.vx_px);
    j.Number("vy", ray.vy_px);
    j.BeginObject("redundancy");
    j.Number("x", ray.rx);
    j.Number("y", ray.ry);
    j.End();
    j.BeginObject("normalised");
    j.Number("x", ray.wx);
    j.Number("y", ray.wy);
    j.End();
    j.Bool("behind", ray.behind);
    j.End();
  }
  j.End();
  j.End();
}

// The residual of one ray for --verbose: the largest max_rows of them are
// kept (all for 0), ties in the order of computing.
struct RayResidual {
  double length = 0.0;  // |v| in pixels
  std::size_t order = 0;
  const std::string* point = nullptr;
  const std::string* image = nullptr;
  double vx = 0.0, vy = 0.0, w = 0.0;
  bool operator<(const RayResidual& o) const {  // largest first
    return length != o.length ? length > o.length : order < o.order;
  }
};

class LargestResiduals {
 public:
  explicit LargestResiduals(std::size_t max_rows) : max_(max_rows) {}
  void Add(const RayResidual& r) {
    ++count_;
    kept_.push_back(r);
    if (max_ > 0 && kept_.size() >= 2 * max_ + 1024) Trim();
  }
  // The kept residuals, largest first, and how many were added.
  const std::vector<RayResidual>& Sorted() {
    std::sort(kept_.begin(), kept_.end());
    if (max_ > 0 && kept_.size() > max_) kept_.resize(max_);
    return kept_;
  }
  std::size_t Count() const { return count_; }

 private:
  void Trim() {
    const auto nth = kept_.begin() + static_cast<std::ptrdiff_t>(max_);
    std::nth_element(kept_.begin(), nth, kept_.end());
    kept_.resize(max_);
  }
  std::size_t max_, count_ = 0;
  std::vector<RayResidual> kept_;
};

// Writes the report: the images, one row per point as it comes, then the
// largest residuals (--verbose) and the verdict.
class TriangulateWriter {
 public:
  TriangulateWriter(StreamedReport& out, const TriangulateArgs& a, int max_rows)
      : out_(out), d_(a.decimals), verbose_(a.verbose), residuals_(max_rows) {}
  void Begin(const TriangulateSetup& s);
  void Row(const TriangulatedPoint& x);
  // The closing; returns the exit code.
  int End(const Verdict& verdict, bool strict);

 private:
  void VerboseTable();

  StreamedReport& out_;
  const TriangulateSetup* setup_ = nullptr;
  int d_;
  bool verbose_;
  std::unique_ptr<RowTable> table_;
  LargestResiduals residuals_;
  NumberText num_[10];
};

void TriangulateWriter::Begin(const TriangulateSetup& s) {
  setup_ = &s;
  if (out_.json) {
    JsonWriter& j = out_.writer;
    j.BeginObject();
    j.String("command", "triangulate");
    j.String("working_system", s.working_system);
    j.String("length_unit", s.length_unit);
    j.Value("images", s.images);
    j.Number("image_sigma_px", s.sigma_px);
    j.Number("min_angle_deg", kMinIntersectionAngle * kDegPerRad);
    j.BeginArray("points");
    return;
  }
  out_.out << "Triangulation of " << std::to_string(s.jobs.size())
           << " point(s) from " << std::to_string(s.images.size())
           << " oriented image(s), working system " << s.working_system
           << (s.length_unit == "m" ? "" : " (" + s.length_unit + ")")
           << "; image sigma " << Exact(s.sigma_px) << " px\n\n";
  const std::string unit = " [" + s.length_unit + "]";
  RowTable::Column name{"point", 0, true};
  for (const TriangulateSetup::Job& job : s.jobs) {
    name.width = std::max(name.width, DisplayWidth(job.point->name));
    name.numeric = name.numeric && LooksNumeric(job.point->name);
  }
  // Room for points ten times the spread of the cameras away from them.
  const double reach = 10.0 * std::max(s.centre_spread, 1.0);
  std::size_t xyz[3] = {0, 0, 0};
  for (const TriangulationView& v : s.views)
    for (int k = 0; k < 3; ++k)
      for (const double sign : {-1.0, 1.0})
        xyz[k] = std::max(
            xyz[k], FixedIn(num_[0], v.centre[k] + sign * reach, d_).size());
  const std::size_t sd = FixedIn(num_[0], 0.0, d_).size();
  table_ = std::make_unique<RowTable>(
      std::vector<RowTable::Column>{name,
                                    {"X" + unit, xyz[0], true},
                                    {"Y" + unit, xyz[1], true},
                                    {"Z" + unit, xyz[2], true},
                                    {"sX" + unit, sd, true},
                                    {"sY" + unit, sd, true},
                                    {"sZ" + unit, sd, true},
                                    {"rays", 0, true},
                                    {"angle [deg]", 0, true},
                                    {"RMS [px]", 0, true},
                                    {"vs file" + unit, 0, true}});
  table_->WriteHead(out_.out);
}

void TriangulateWriter::Row(const TriangulatedPoint& x) {
  const Triangulation& f = x.fit;
  if (out_.json) {
    PointJson(x, out_.writer);
  } else {
    char rays[24];
    const std::string_view nrays(
        rays,
        std::to_chars(rays, rays + sizeof rays, x.views.size()).ptr - rays);
    if (!f.converged) {
      const std::string_view cells[11] = {
          *x.name, "-", "-", "-", "-", "-", "-", nrays, "-", "-", "failed"};
      table_->WriteRow(out_.out, cells);
    } else {
      const P3& o = f.position;
      const covar& c = f.covariance;
      const std::string_view cells[11] = {
          *x.name,
          FixedIn(num_[0], o.x, d_),
          FixedIn(num_[1], o.y, d_),
          FixedIn(num_[2], o.z, d_),
          FixedIn(num_[3], std::sqrt(c(0, 0)), d_),
          FixedIn(num_[4], std::sqrt(c(1, 1)), d_),
          FixedIn(num_[5], std::sqrt(c(2, 2)), d_),
          nrays,
          FixedIn(num_[6], f.max_angle * kDegPerRad, 2),
          FixedIn(num_[7], x.rms_px, 2),
          x.verdict.Unusable() ? "unusable"
          : x.known            ? FixedIn(num_[8], (o - x.file).Module(), d_)
                               : ""};
      table_->WriteRow(out_.out, cells);
    }
  }
  if (!verbose_ || out_.json || !f.converged) return;
  for (std::size_t i = 0; i < f.rays.size(); ++i) {
    const TriangulationRay& ray = f.rays[i];
    residuals_.Add({std::hypot(ray.vx_px, ray.vy_px),
                    residuals_.Count(),
                    x.name,
                    &setup_->images[x.rays[i].image],
                    ray.vx_px,
                    ray.vy_px,
                    std::max(std::fabs(ray.wx), std::fabs(ray.wy))});
  }
}

void TriangulateWriter::VerboseTable() {
  const std::vector<RayResidual>& rows = residuals_.Sorted();
  // Widths and alignment measured over the rows shown, as Table does.
  std::vector<RowTable::Column> columns = {{"point", 0, !rows.empty()},
                                           {"image", 0, !rows.empty()},
                                           {"vx [px]", 0, true},
                                           {"vy [px]", 0, true},
                                           {"|v| [px]", 0, true},
                                           {"w", 0, true}};
  auto cells = [&](const RayResidual& r, std::string_view* c) {
    c[0] = *r.point;
    c[1] = *r.image;
    c[2] = FixedIn(num_[0], r.vx, 2);
    c[3] = FixedIn(num_[1], r.vy, 2);
    c[4] = FixedIn(num_[2], r.length, 2);
    c[5] = FixedIn(num_[3], r.w, 2);
  };
  std::string_view c[6];
  for (const RayResidual& r : rows) {
    cells(r, c);
    for (std::size_t k = 0; k < 6; ++k) {
      columns[k].width = std::max(columns[k].width, DisplayWidth(c[k]));
      if (k < 2 && columns[k].numeric)
        columns[k].numeric = LooksNumeric(std::string(c[k])) || c[k] == "-";
    }
  }
  out_.out << "\nResiduals (projected - measured, pixels, y down; w "
              "normalised), largest first:\n";
  RowTable t(std::move(columns));
  t.WriteHead(out_.out);
  for (const RayResidual& r : rows) {
    cells(r, c);
    t.WriteRow(out_.out, c);
  }
  if (rows.size() < residuals_.Count())
    out_.out << "  ... " << std::to_string(residuals_.Count() - rows.size())
             << " more (--max-rows 0 shows all)\n";
}

int TriangulateWriter::End(const Verdict& verdict, bool strict) {
  Report closing;
  VerdictSection(verdict, closing);
  if (out_.json) {
    out_.writer.End();
    out_.writer.Value("verdict", closing.json["verdict"]);
  } else {
    out_.out << "\nsX, sY, sZ: a-priori standard deviations from the image "
                "sigma (two images leave\none degree of freedom, too few to "
                "scale them by the residuals; the JSON also\nhas the "
                "a-posteriori ones). angle: the largest between two rays. vs "
                "file:\ndistance to the point's coordinates in the file.\n";
    if (verbose_) VerboseTable();
    out_.out << closing.closing;
  }
  const std::string error = VerdictFailure(verdict, strict);
  return error.empty() ? kExitOk : out_.Fail(error, kExitFailed);
}

int RunTriangulate(const TriangulateArgs& a, const CommonOptions& common) {
  const std::unique_ptr<Project> p = LoadProject(a.project);
  const TriangulateSetup s = SetUpAll(a, *p);
  StreamedReport out(common);
  TriangulateWriter w(out, a, common.max_rows);
  return out.Run([&] {
    w.Begin(s);
    Verdict verdict;
    TriangulatedPoint x;  // buffers reused from point to point
    for (const TriangulateSetup::Job& job : s.jobs) {
      Compute(s, job, x);
      verdict.Append(x.verdict);
      w.Row(x);
    }
    return w.End(verdict, a.quality.strict);
  });
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
