// project, beam, orient: the camera coordinate calculator on a project
// file. Each image is set up as a host application would: camera and
// picture from the image, orientation from the stored exterior orientation,
// the instrument measurement it was taken with, or its control points.
#include <cmath>
#include <memory>
#include <sstream>

#include <collinear/calculator/crd_calculator.h>
#include <collinear/io/project_file.h>
#include <collinear/primitives/constants.h>
#include <collinear/primitives/host_geometry.h>
#include <collinear/primitives/rot.h>

#include "commands.h"

namespace collinear::cli {
namespace {

// A resection needs this many control points with coordinates.
constexpr std::size_t kMinControlPoints = 4;
// A resection that puts the camera farther from the control points than
// this many times their spread has not determined it (all rays nearly
// parallel: points on one pixel, for instance). Aerial images stand at a
// few times the spread.
constexpr double kMaxDistanceBySpread = 1000.0;

using P2 = TAbstractPoint2<double>;
using P3 = TAbstractPoint3<double>;

std::unique_ptr<Project> LoadProject(const std::string& path) {
  std::string error;
  std::unique_ptr<Project> p = Project::Load(path, error);
  if (!p) throw InputError(error);
  return p;
}

std::string ImageIds(const Project& p) {
  std::string s;
  for (const ProjectImage& i : p.images()) s += (s.empty() ? "" : ", ") + i.id;
  return s.empty() ? "it has none" : s;
}

const ProjectImage& RequireImage(const Project& p, const std::string& id) {
  const ProjectImage* img = p.FindImage(id);
  if (!img)
    throw InputError(p.source() + ": unknown image '" + id +
                     "' (images: " + ImageIds(p) + ")");
  return *img;
}

// Picture size in pixels: from the picture file when the calculator could
// read it, else the camera's, else the one centred on the principal point.
void UsePictureSize(const Project& p,
                    const ProjectImage& img,
                    CCrdCalculator& c) {
  const ProjectCamera& cam = *p.FindCamera(img.camera);
  if (img.picture.empty() && cam.width_px > 0)
    c.SetPictureRect(TAbstractRect<double>(0, 0, cam.width_px, cam.height_px));
}

// Why an orientation from the control points of img is no orientation
// at all; empty when it is one.
std::string Degenerate(const Project& p,
                       const ProjectImage& img,
                       const CCrdCalculator& c) {
  std::vector<P3> xyz;
  P3 mean(0, 0, 0);
  for (const ProjectControl& m : img.control) {
    const P3 a =
        c.GetPointAbsCoords(p.FindPoint(m.point)->object.get(), nullptr, 0);
    if (DefTriad::IsPartialUndef(a)) continue;
    xyz.push_back(a);
    mean += a;
  }
  if (xyz.empty()) return "";
  mean *= 1.0 / xyz.size();
  double spread = 0.0;
  for (const P3& a : xyz) spread = std::max(spread, (a - mean).Module());
  const double distance = (c.GetOrigin() - mean).Module();
  if (distance <= kMaxDistanceBySpread * std::max(spread, 1.0)) return "";
  return "the space resection put the camera " + Fixed(distance / 1000.0, 0) +
         " km from control points that lie within " + Fixed(spread, 0) +
         " m: they do not determine the orientation (check the pixel "
         "measurements)";
}

// The calculator of an image as InitFromAnyImage sets it up, and where
// its orientation came from. Throws when there is none.
struct ImageSetup {
  CCrdCalculator calc;
  std::string source;
};

ImageSetup SetUp(const Project& p, const ProjectImage& img) {
  ImageSetup s;
  s.calc.InitFromAnyImage(img.object.get());
  UsePictureSize(p, img, s.calc);
  CCrdCalculator stored;
  stored.InitOrientationFromImage(img.object.get());
  if (stored.IsOrientationValid())
    s.source = "stored exterior orientation";
  else if (!img.station.empty())
    s.source =
        "total station " + img.station + ", measurement " + img.measurement;
  else
    s.source = "space resection from " + std::to_string(img.control.size()) +
               " control points";
  const std::string what = "image '" + img.id + "' has no orientation: ";
  if (s.calc.IsOrientationValid()) {
    const bool resected = !stored.IsOrientationValid() && img.station.empty();
    const std::string why = resected ? Degenerate(p, img, s.calc) : "";
    if (!why.empty()) throw ComputeError(what + why);
    return s;
  }

  if (!img.station.empty())
    throw ComputeError(what + "the measurement " + img.measurement +
                       " of station " + img.station +
                       " gives no direction (does its station point have "
                       "coordinates, and the station an earlier backsight or "
                       "target?)");
  if (img.control.size() < kMinControlPoints)
    throw InputError(what + "no stored exterior orientation, and " +
                     std::to_string(img.control.size()) +
                     " control point(s) where a resection needs at least " +
                     std::to_string(kMinControlPoints));
  throw ComputeError(what + "the space resection from " +
                     std::to_string(img.control.size()) +
                     " control points did not converge (are the points "
                     "spread over the picture and not all on one line?)");
}

// Omega, phi, kappa of the object-to-camera rotation (ROT_KPW).
CWPK Angles(const CCrdCalculator& c) {
  CRot r;
  const matr3_3 m = c.GetConversionMatr();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m_r[3 * i + j] = m(i, j);
  CWPK a(0.0, 0.0, 0.0);
  r.CalAngle(ROT_KPW, a);
  return a;
}

Json PointJson(const P3& p) { return {{"x", p.x}, {"y", p.y}, {"z", p.z}}; }

Json AngleJson(const CWPK& a) {
  return {{"omega_deg", a.m_w * kDegPerRad},
          {"phi_deg", a.m_p * kDegPerRad},
          {"kappa_deg", a.m_k * kDegPerRad},
          {"omega_rad", a.m_w},
          {"phi_rad", a.m_p},
          {"kappa_rad", a.m_k}};
}

// Projection centre and angles as a table, degrees and radians.
std::string OrientationTable(const CCrdCalculator& c, int decimals) {
  const P3 o = c.GetOrigin();
  const CWPK a = Angles(c);
  Table t({"", "value", "[rad]"});
  t.AddRow({"X [m]", Fixed(o.x, decimals), ""});
  t.AddRow({"Y [m]", Fixed(o.y, decimals), ""});
  t.AddRow({"Z [m]", Fixed(o.z, decimals), ""});
  const char* names[3] = {"omega [deg]", "phi [deg]", "kappa [deg]"};
  const double values[3] = {a.m_w, a.m_p, a.m_k};
  for (int k = 0; k < 3; ++k)
    t.AddRow({names[k],
              Fixed(values[k] * kDegPerRad, decimals + 2),
              Fixed(values[k], decimals + 4)});
  return t.Render();
}

std::string ImageHeader(const Project& p,
                        const ProjectImage& img,
                        const CCrdCalculator& c) {
  const TAbstractRect<double> r = c.GetPictureRect();
  std::ostringstream s;
  s << "Image " << img.id << ", camera " << img.camera << " (f "
    << Exact(c.GetFocusR()) << " mm, picture " << Exact(r.right - r.left)
    << " x " << Exact(r.bottom - r.top) << " px), working system "
    << p.working_system() << "\n";
  return s.str();
}

const ProjectControl* MeasuredIn(const ProjectImage& img,
                                 const std::string& point) {
  for (const ProjectControl& c : img.control)
    if (c.point == point) return &c;
  return nullptr;
}

// ------------------------------------------------------------------ project

struct ProjectArgs {
  std::string project, image;
  std::vector<std::string> points;
  bool visible_only = false;
  int decimals = 2;
};

int RunProject(const ProjectArgs& a, const CommonOptions& common) {
  const std::unique_ptr<Project> p = LoadProject(a.project);
  const ProjectImage& img = RequireImage(*p, a.image);
  std::vector<const ProjectPoint*> points;
  for (const std::string& name : a.points) {
    const ProjectPoint* pt = p->FindPoint(name);
    if (!pt) throw InputError(a.project + ": unknown point '" + name + "'");
    points.push_back(pt);
  }
  if (a.points.empty())
    for (const ProjectPoint& pt : p->points()) points.push_back(&pt);
  const ImageSetup s = SetUp(*p, img);
  const CCrdCalculator& c = s.calc;

  Json doc;
  doc["command"] = "project";
  doc["image"] = img.id;
  doc["camera"] = img.camera;
  doc["orientation_from"] = s.source;
  const TAbstractRect<double> rect = c.GetPictureRect();
  doc["picture_px"] = {rect.right - rect.left, rect.bottom - rect.top};
  doc["projection_centre"] = PointJson(c.GetOrigin());
  doc["angles"] = AngleJson(Angles(c));
  Json rows = Json::array();
  Table t({"point", "x [px]", "y [px]", "", "dx [px]", "dy [px]"});
  int visible = 0;
  for (const ProjectPoint* pt : points) {
    IPropertyObject* o = pt->object.get();
    P2 px(kUndefined, kUndefined);
    const bool in_front = c.GetPointOnImageCoords(o, px, false);
    const bool in_picture = in_front && c.IsPointInAnglesOfVision(o);
    const bool computed = !IsUndefined(px.x);
    std::string status = "visible";
    if (!computed)
      status = "no coordinates";
    else if (!in_front)
      status = "behind the camera";
    else if (!in_picture)
      status = "outside the picture";
    if (in_picture) ++visible;
    if (a.visible_only && !in_picture) continue;
    Json row = {{"name", pt->name},
                {"x_px", computed ? Json(px.x) : Json()},
                {"y_px", computed ? Json(px.y) : Json()},
                {"in_front", in_front},
                {"in_picture", in_picture}};
    std::string dx, dy;
    if (const ProjectControl* m = MeasuredIn(img, pt->name)) {
      row["measured"] = {{"x_px", m->x_px}, {"y_px", m->y_px}};
      if (computed) {
        row["measured"]["dx"] = px.x - m->x_px;
        row["measured"]["dy"] = px.y - m->y_px;
        dx = Fixed(px.x - m->x_px, a.decimals);
        dy = Fixed(px.y - m->y_px, a.decimals);
      }
    }
    rows.push_back(row);
    // A point behind the camera has a pixel, but not one to look for.
    t.AddRow({pt->name,
              in_front ? Fixed(px.x, a.decimals) : "-",
              in_front ? Fixed(px.y, a.decimals) : "-",
              status,
              dx,
              dy});
  }
  doc["points"] = rows;
  doc["visible"] = visible;

  std::ostringstream text;
  text << ImageHeader(*p, img, c) << "Orientation from: " << s.source << "\n\n"
       << OrientationTable(c, 4) << "\nPoints in pixels (x right, y down "
       << "from the top-left corner); dx, dy: projected - measured\n"
       << t.Render() << visible << " of " << points.size()
       << " points visible\n";
  Emit(common, doc, text.str());
  return kExitOk;
}

// --------------------------------------------------------------------- beam

struct BeamArgs {
  std::string project, image;
  std::vector<std::string> pixels;
  double height = kUndefined, distance = kUndefined;
  int decimals = 4;
};

P2 ParsePixel(const std::string& text) {
  const std::size_t comma = text.find(',');
  char* end = nullptr;
  P2 p;
  bool ok = comma != std::string::npos;
  if (ok) {
    const std::string xs = text.substr(0, comma), ys = text.substr(comma + 1);
    p.x = std::strtod(xs.c_str(), &end);
    ok = !xs.empty() && *end == '\0' && std::isfinite(p.x);
    p.y = std::strtod(ys.c_str(), &end);
    ok = ok && !ys.empty() && *end == '\0' && std::isfinite(p.y);
  }
  if (!ok)
    throw InputError("--pixel '" + text +
                     "': give two finite numbers X,Y (pixels, x right, y "
                     "down from the top-left corner)");
  return p;
}

int RunBeam(const BeamArgs& a, const CommonOptions& common) {
  std::vector<P2> pixels;
  for (const std::string& s : a.pixels) pixels.push_back(ParsePixel(s));
  if (!IsUndefined(a.distance) && !(a.distance > 0.0))
    throw InputError("--distance must be greater than 0");
  const std::unique_ptr<Project> p = LoadProject(a.project);
  const ProjectImage& img = RequireImage(*p, a.image);
  const ImageSetup s = SetUp(*p, img);
  const CCrdCalculator& c = s.calc;
  const P3 o = c.GetOrigin();
  const TAbstractRect<double> rect = c.GetPictureRect();

  Json doc;
  doc["command"] = "beam";
  doc["image"] = img.id;
  doc["orientation_from"] = s.source;
  doc["projection_centre"] = PointJson(o);
  Json rays = Json::array();
  std::ostringstream text;
  text << ImageHeader(*p, img, c) << "Orientation from: " << s.source
       << "\nProjection centre  X " << Fixed(o.x, a.decimals) << "  Y "
       << Fixed(o.y, a.decimals) << "  Z " << Fixed(o.z, a.decimals)
       << " m\n\nRays (unit direction in object coordinates; bearing "
          "clockwise from grid north, elevation from the horizon):\n";
  std::vector<std::string> head = {
      "pixel", "dx", "dy", "dz", "bearing [deg]", "elev [deg]"};
  if (!IsUndefined(a.height))
    for (const char* h : {"X at height", "Y at height", "range [m]"})
      head.push_back(h);
  if (!IsUndefined(a.distance))
    for (const char* h : {"X at dist", "Y at dist", "Z at dist"})
      head.push_back(h);
  Table t(head);
  int missed = 0;  // rays that do not reach --height
  for (const P2& px : pixels) {
    P3 cam;
    c.CalculateBeamInCameraCoordinates(px, cam, false);
    // The unit vector turned into object axes (its end, less the centre,
    // would lose digits to map-grid coordinates).
    const P3 unit_cam = cam * (1.0 / cam.Module());
    const P3 d = matr3_3(c.GetConversionMatr(), 't') * unit_cam;
    double bearing = std::atan2(d.x, d.y) * kDegPerRad;
    if (bearing < 0.0) bearing += 360.0;
    const double elevation =
        std::atan2(d.z, std::sqrt(d.x * d.x + d.y * d.y)) * kDegPerRad;
    const bool inside = px.x >= rect.left && px.x <= rect.right &&
                        px.y >= rect.top && px.y <= rect.bottom;
    Json ray = {{"pixel", {px.x, px.y}},
                {"inside_picture", inside},
                {"direction", PointJson(d)},
                {"bearing_deg", bearing},
                {"elevation_deg", elevation}};
    std::vector<std::string> row = {
        Exact(px.x) + "," + Exact(px.y) + (inside ? "" : " (outside)"),
        Fixed(d.x, 6),
        Fixed(d.y, 6),
        Fixed(d.z, 6),
        Fixed(bearing, 4),
        Fixed(elevation, 4)};
    if (!IsUndefined(a.height)) {
      // Where the ray meets the level z = height, if ahead of the camera.
      const double range =
          std::fabs(d.z) > 1e-12 ? (a.height - o.z) / d.z : -1.0;
      if (range > 0.0) {
        const P3 g = o + d * range;
        ray["at_height"] = {
            {"x", g.x}, {"y", g.y}, {"z", a.height}, {"range", range}};
        for (double v : {g.x, g.y, range}) row.push_back(Fixed(v, a.decimals));
      } else {
        ray["at_height"] = nullptr;
        for (int k = 0; k < 3; ++k) row.push_back("-");
        ++missed;
      }
    }
    if (!IsUndefined(a.distance)) {
      P3 g;
      c.CalculateBeamInGeoCoordinates(unit_cam * a.distance, g);
      ray["at_distance"] = PointJson(g);
      for (double v : {g.x, g.y, g.z}) row.push_back(Fixed(v, a.decimals));
    }
    rays.push_back(ray);
    t.AddRow(row);
  }
  doc["rays"] = rays;
  text << t.Render();
  if (missed > 0)
    text << "(- : the ray does not reach the height " << Exact(a.height)
         << " in front of the camera)\n";
  Emit(common, doc, text.str());
  return kExitOk;
}

// ------------------------------------------------------------------- orient

struct OrientArgs {
  std::string project, image;
  bool write = false;
  int decimals = 4;
};

int RunOrient(const OrientArgs& a, const CommonOptions& common) {
  const std::unique_ptr<Project> p = LoadProject(a.project);
  std::vector<const ProjectImage*> images;
  if (!a.image.empty()) {
    const ProjectImage& img = RequireImage(*p, a.image);
    if (img.control.empty())
      throw InputError("image '" + img.id +
                       "' has no control-point measurements to orient it");
    images.push_back(&img);
  } else {
    for (const ProjectImage& img : p->images())
      if (!img.control.empty()) images.push_back(&img);
    if (images.empty())
      throw InputError(a.project + ": no image has control-point measurements");
  }

  Json doc;
  doc["command"] = "orient";
  Json jimages = Json::array();
  std::ostringstream text;
  Table summary({"image",
                 "X [m]",
                 "Y [m]",
                 "Z [m]",
                 "omega [deg]",
                 "phi [deg]",
                 "kappa [deg]",
                 "points",
                 "RMS [px]"});
  std::vector<std::pair<std::string, ExteriorOrientation>> results;
  std::vector<std::string> bad_input, failed;
  for (const ProjectImage* img : images) {
    CCrdCalculator c;
    c.InitCameraFromImage(img->object.get());
    UsePictureSize(*p, *img, c);
    c.InitOrientationFromControlPts(img->object.get());
    Json ji = {{"id", img->id}, {"control_points", img->control.size()}};
    const bool few = img->control.size() < kMinControlPoints;
    std::string why;
    if (few)
      why = std::to_string(img->control.size()) +
            " control point(s); a resection needs at least " +
            std::to_string(kMinControlPoints);
    else if (!c.IsOrientationValid())
      why =
          "the space resection did not converge (are the points spread over "
          "the picture and not all on one line?)";
    else
      why = Degenerate(*p, *img, c);
    if (!why.empty()) {
      (few ? bad_input : failed).push_back("image '" + img->id + "': " + why);
      ji["status"] = "failed";
      ji["reason"] = why;
      jimages.push_back(ji);
      summary.AddRow({img->id,
                      "-",
                      "-",
                      "-",
                      "-",
                      "-",
                      "-",
                      std::to_string(img->control.size()),
                      "not oriented"});
      continue;
    }
    // Residuals: the control points projected with the new orientation.
    CArray<CXYZ, CXYZ&> res;
    for (const ProjectControl& m : img->control) {
      P2 px(kUndefined, kUndefined);
      const ProjectPoint* pt = p->FindPoint(m.point);
      if (!c.GetPointOnImageCoords(pt->object.get(), px, false)) continue;
      CXYZ r(m.point.c_str(), px.x - m.x_px, px.y - m.y_px, 0.0);
      res.Add(r);
    }
    const ResidualReport rep =
        MakeResidualReport(res, a.decimals, 1.0, common.max_rows);
    const P3 o = c.GetOrigin();
    const CWPK ang = Angles(c);
    ExteriorOrientation x;
    x.x = o.x;
    x.y = o.y;
    x.z = o.z;
    x.omega = ang.m_w;
    x.phi = ang.m_p;
    x.kappa = ang.m_k;
    results.emplace_back(img->id, x);
    ji["status"] = "oriented";
    ji["projection_centre"] = PointJson(o);
    ji["angles"] = AngleJson(ang);
    ji["rms_px"] = rep.rms;
    ji["residuals_px"] = rep.json;
    jimages.push_back(ji);
    summary.AddRow({img->id,
                    Fixed(o.x, a.decimals),
                    Fixed(o.y, a.decimals),
                    Fixed(o.z, a.decimals),
                    Fixed(ang.m_w * kDegPerRad, a.decimals + 2),
                    Fixed(ang.m_p * kDegPerRad, a.decimals + 2),
                    Fixed(ang.m_k * kDegPerRad, a.decimals + 2),
                    std::to_string(img->control.size()),
                    Fixed(rep.rms, a.decimals)});
    text << "\nImage " << img->id << ": space resection from "
         << img->control.size() << " control points, RMS "
         << Fixed(rep.rms, a.decimals) << " px\n"
         << OrientationTable(c, a.decimals)
         << "Residuals (projected - measured, pixels, y down):\n"
         << rep.table;
  }
  doc["images"] = jimages;
  doc["angle_convention"] =
      "R = Rx(omega) Ry(phi) Rz(kappa), object to camera; the camera looks "
      "along -z";

  const bool ok = bad_input.empty() && failed.empty();
  std::string written;
  if (a.write && ok) {
    std::string error;
    if (!WriteExteriorOrientations(a.project, results, error))
      throw InputError(error);
    written = a.project;
  }
  doc["written"] = written.empty() ? Json() : Json(written);

  std::ostringstream head;
  head << "Exterior orientation from control points, working system "
       << p->working_system()
       << " (angles: R = Rx(omega) Ry(phi) Rz(kappa), object to camera)\n\n"
       << summary.Render() << text.str();
  if (!written.empty())
    head << "\nWritten to " << written << " (images[].exterior, angles in "
         << p->angle_unit() << ")\n";
  Emit(common, doc, head.str());

  std::string problems;
  for (const auto* list : {&bad_input, &failed})
    for (const std::string& s : *list) problems += "\n  " + s;
  if (!ok) {
    const std::string msg =
        std::to_string(bad_input.size() + failed.size()) + " of " +
        std::to_string(images.size()) + " image(s) not oriented" +
        (a.write ? " (nothing written)" : "") + ":" + problems;
    if (!failed.empty()) throw ComputeError(msg);
    throw InputError(msg);
  }
  return kExitOk;
}

const char kProjectNote[] =
    "PROJECT.json: a project file (docs/formats.md, section 4). Pixels: x "
    "right, y down from the top-left corner of the picture. Object "
    "coordinates: the project's working system, metres. Angles: omega, phi, "
    "kappa of R = Rx(omega) Ry(phi) Rz(kappa), from object to camera axes; "
    "the camera looks along its -z axis.";

// A subcommand on a project file: its help is what, then the note on the
// file and its frames.
CLI::App* AddProjectCommand(CLI::App& root,
                            const char* name,
                            const char* what,
                            std::string& path) {
  CLI::App* app = root.add_subcommand(name, std::string(what) + kProjectNote);
  app->add_option("PROJECT", path, "project file (JSON)")
      ->required()
      ->check(CLI::ExistingFile);
  return app;
}

}  // namespace

Command AddProject(CLI::App& root, CommonOptions& common) {
  auto args = std::make_shared<ProjectArgs>();
  CLI::App* app = AddProjectCommand(
      root,
      "project",
      "Project the project's points into an image.\nThe image "
      "is oriented from its stored exterior orientation, else "
      "from the total-station measurement it was taken with, "
      "else by space resection from its control points. Prints "
      "each point's pixel position and whether it is visible (in "
      "front of the camera and inside the picture), and for "
      "measured control points projected - measured.\n",
      args->project);
  app->add_option("--image", args->image, "id of the image")->required();
  app->add_option("--point", args->points, "only these points (repeatable)");
  app->add_flag("--visible", args->visible_only, "list visible points only");
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunProject(*args, common); }};
}

Command AddBeam(CLI::App& root, CommonOptions& common) {
  auto args = std::make_shared<BeamArgs>();
  CLI::App* app = AddProjectCommand(
      root,
      "beam",
      "The ray in object coordinates through a pixel of an "
      "image.\nThe lens distortion is removed. Prints the "
      "projection centre and, per pixel, the unit direction, "
      "its bearing (degrees clockwise from grid north) and "
      "elevation (degrees above the horizon); with --height the "
      "point where the ray meets that level, with --distance the "
      "point that far along it.\n",
      args->project);
  app->add_option("--image", args->image, "id of the image")->required();
  app->add_option("--pixel", args->pixels, "pixel X,Y (repeatable)")
      ->required()
      ->allow_extra_args(false);
  app->add_option("--height",
                  args->height,
                  "intersect the rays with the level z = HEIGHT (metres)");
  app->add_option("--distance",
                  args->distance,
                  "the point this far along each ray (metres)");
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunBeam(*args, common); }};
}

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
      "when every image was oriented.\n",
      args->project);
  app->add_option("--image", args->image, "orient only this image");
  app->add_flag("--write",
                args->write,
                "write the exterior orientations into the project file");
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunOrient(*args, common); }};
}

}  // namespace collinear::cli
