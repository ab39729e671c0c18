// The images of a project file set up in the camera coordinate calculator
// as a host application would: camera and picture from the image,
// orientation from the stored exterior orientation, the instrument
// measurement it was taken with, or its control points.
#include "project_image.h"

#include <cmath>
#include <filesystem>

#include <collinear/io/camera_file.h>
#include <collinear/io/point_file.h>
#include <collinear/primitives/constants.h>
#include <collinear/primitives/rot.h>

namespace collinear::cli {
namespace {

// A resection that puts the camera farther from the control points than
// this many times their spread has not determined it (all rays nearly
// parallel: points on one pixel, for instance). Aerial images stand at a
// few times the spread.
constexpr double kMaxDistanceBySpread = 1000.0;

std::string ImageIds(const Project& p) {
  std::string s;
  for (const ProjectImage& i : p.images()) s += (s.empty() ? "" : ", ") + i.id;
  return s.empty() ? "it has none" : s;
}

const char kProjectNote[] =
    "PROJECT.json: a project file (docs/formats.md, section 4). Pixels: x "
    "right, y down from the top-left corner of the picture. Object "
    "coordinates: the project's working system, metres (or the unit of "
    "an engineering frame). Angles: omega, phi, "
    "kappa of R = Rx(omega) Ry(phi) Rz(kappa), from object to camera axes; "
    "the camera looks along its -z axis.";

}  // namespace

std::unique_ptr<Project> LoadProject(const std::string& path) {
  std::string error;
  std::unique_ptr<Project> p = Project::Load(path, error);
  if (!p) throw InputError(error);
  return p;
}

std::unique_ptr<Project> LoadProject(const std::string& path,
                                     const std::string& image,
                                     const std::string& camera_file) {
  std::unique_ptr<Project> p = LoadProject(path);
  if (camera_file.empty()) return p;
  const std::string camera_id = RequireImage(*p, image).camera;
  ProjectCamera cam;
  std::string error, text;
  if (!ReadCameraFile(camera_file, cam, error)) throw InputError(error);
  if (!ReadTextFile(path, text, error)) throw InputError(error);
  // The image's camera entry becomes a reference to the camera file; a
  // mount stays.
  Json doc = Json::parse(text);
  for (Json& c : doc["cameras"]) {
    const Json& id = c["id"];
    if ((id.is_string() ? id.get<std::string>() : id.dump()) != camera_id)
      continue;
    Json ref = {{"id", id},
                {"file", std::filesystem::absolute(camera_file).string()}};
    if (c.contains("mount")) ref["mount"] = c["mount"];
    c = ref;
  }
  const std::string folder = std::filesystem::path(path).parent_path().string();
  p = Project::Parse(doc.dump(), path, folder, error);
  if (!p) throw InputError(error);
  return p;
}

const ProjectImage& RequireImage(const Project& p, const std::string& id) {
  const ProjectImage* img = p.FindImage(id);
  if (!img)
    throw InputError(p.source() + ": unknown image '" + id +
                     "' (images: " + ImageIds(p) + ")");
  return *img;
}

void UsePictureSize(const Project& p,
                    const ProjectImage& img,
                    CCrdCalculator& c) {
  const ProjectCamera& cam = *p.FindCamera(img.camera);
  if (img.picture.empty() && cam.width_px > 0)
    c.SetPictureRect(TAbstractRect<double>(0, 0, cam.width_px, cam.height_px));
}

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
  mean *= 1.0 / static_cast<double>(xyz.size());
  double spread = 0.0;
  for (const P3& a : xyz) spread = std::max(spread, (a - mean).Module());
  // In metres: the bound of a metre keeps points on one spot degenerate.
  const double m = p.FindSystem(p.working_system())->metres_per_unit;
  const double distance = m * (c.GetOrigin() - mean).Module();
  spread *= m;
  if (distance <= kMaxDistanceBySpread * std::max(spread, 1.0)) return "";
  return "the space resection put the camera " + Fixed(distance / 1000.0, 0) +
         " km from control points that lie within " + Fixed(spread, 3) +
         " m: they do not determine the orientation (check the pixel "
         "measurements)";
}

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

Pose PoseOf(const Project& p, const CCrdCalculator& c) {
  CRot r;
  const matr3_3 m = c.GetConversionMatr();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m_r[3 * i + j] = m(i, j);
  Pose pose;
  pose.centre = c.GetOrigin();
  pose.angles = CWPK(0.0, 0.0, 0.0);
  r.CalAngle(ROT_KPW, pose.angles);
  pose.unit = p.length_unit();
  return pose;
}

ImageInfo Describe(const Project& p,
                   const ProjectImage& img,
                   const ImageSetup& s) {
  const TAbstractRect<double> r = s.calc.GetPictureRect();
  ImageInfo info;
  info.id = img.id;
  info.camera = img.camera;
  info.working_system = p.working_system();
  info.orientation_from = s.source;
  info.focal_mm = s.calc.GetFocusR();
  info.width_px = r.right - r.left;
  info.height_px = r.bottom - r.top;
  info.pose = PoseOf(p, s.calc);
  return info;
}

Json PointJson(const P3& p) { return {{"x", p.x}, {"y", p.y}, {"z", p.z}}; }

void ImageSection(const ImageInfo& info, bool full, Report& report) {
  report.json["image"] = info.id;
  report.json["length_unit"] = info.pose.unit;
  if (full) report.json["camera"] = info.camera;
  report.json["orientation_from"] = info.orientation_from;
  if (full) report.json["picture_px"] = {info.width_px, info.height_px};
  report.text += "Image " + info.id + ", camera " + info.camera + " (f " +
                 Exact(info.focal_mm) + " mm, picture " + Exact(info.width_px) +
                 " x " + Exact(info.height_px) + " px), working system " +
                 info.working_system +
                 (info.pose.unit == "m" ? "" : " (" + info.pose.unit + ")") +
                 "\nOrientation from: " + info.orientation_from + "\n";
}

void OrientationSection(const Pose& pose,
                        int decimals,
                        std::string& text,
                        Json& json) {
  const P3& o = pose.centre;
  const CWPK& a = pose.angles;
  json["projection_centre"] = PointJson(o);
  json["angles"] = {{"omega_deg", a.m_w * kDegPerRad},
                    {"phi_deg", a.m_p * kDegPerRad},
                    {"kappa_deg", a.m_k * kDegPerRad},
                    {"omega_rad", a.m_w},
                    {"phi_rad", a.m_p},
                    {"kappa_rad", a.m_k}};
  Table t({"", "value", "[rad]"});
  const std::string unit = " [" + pose.unit + "]";
  t.AddRow({"X" + unit, Fixed(o.x, decimals), ""});
  t.AddRow({"Y" + unit, Fixed(o.y, decimals), ""});
  t.AddRow({"Z" + unit, Fixed(o.z, decimals), ""});
  const char* names[3] = {"omega [deg]", "phi [deg]", "kappa [deg]"};
  const double values[3] = {a.m_w, a.m_p, a.m_k};
  for (int k = 0; k < 3; ++k)
    t.AddRow({names[k],
              Fixed(values[k] * kDegPerRad, decimals + 2),
              Fixed(values[k], decimals + 4)});
  text += t.Render();
}

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

}  // namespace collinear::cli
