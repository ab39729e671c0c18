// beam: the ray in object coordinates through pixels of one image.
#include <cmath>
#include <sstream>

#include <collinear/primitives/constants.h>

#include "commands.h"
#include "project_image.h"

namespace collinear::cli {
namespace {

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

}  // namespace

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

}  // namespace collinear::cli
