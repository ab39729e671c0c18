// beam: the ray in object coordinates through pixels of one image.
#include <cmath>

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

// The ray through one pixel.
struct Ray {
  P2 px;
  bool inside = false;  // the pixel lies in the picture
  P3 direction;         // unit vector, object axes
  double bearing_deg = 0.0, elevation_deg = 0.0;
  bool reaches_height = false;  // ahead of the camera (with --height)
  P3 at_height;
  double range = 0.0;  // centre to at_height
  P3 at_distance;      // with --distance
};

struct BeamResult {
  ImageInfo image;
  std::vector<Ray> rays;
};

BeamResult Compute(const BeamArgs& a) {
  std::vector<P2> pixels;
  for (const std::string& s : a.pixels) pixels.push_back(ParsePixel(s));
  if (!IsUndefined(a.distance) && !(a.distance > 0.0))
    throw InputError("--distance must be greater than 0");
  const std::unique_ptr<Project> p = LoadProject(a.project);
  const ProjectImage& img = RequireImage(*p, a.image);
  const ImageSetup s = SetUp(*p, img);
  const CCrdCalculator& c = s.calc;
  BeamResult r;
  r.image = Describe(*p, img, s);
  const P3 o = c.GetOrigin();
  const TAbstractRect<double> rect = c.GetPictureRect();
  for (const P2& px : pixels) {
    Ray ray;
    ray.px = px;
    P3 cam;
    c.CalculateBeamInCameraCoordinates(px, cam, false);
    // The unit vector turned into object axes (its end, less the centre,
    // would lose digits to map-grid coordinates).
    const P3 unit_cam = cam * (1.0 / cam.Module());
    const P3 d = ray.direction = matr3_3(c.GetConversionMatr(), 't') * unit_cam;
    ray.bearing_deg = std::atan2(d.x, d.y) * kDegPerRad;
    if (ray.bearing_deg < 0.0) ray.bearing_deg += 360.0;
    ray.elevation_deg =
        std::atan2(d.z, std::sqrt(d.x * d.x + d.y * d.y)) * kDegPerRad;
    ray.inside = px.x >= rect.left && px.x <= rect.right && px.y >= rect.top &&
                 px.y <= rect.bottom;
    if (!IsUndefined(a.height)) {
      // Where the ray meets the level z = height, if ahead of the camera.
      ray.range = std::fabs(d.z) > 1e-12 ? (a.height - o.z) / d.z : -1.0;
      ray.reaches_height = ray.range > 0.0;
      if (ray.reaches_height) ray.at_height = o + d * ray.range;
    }
    if (!IsUndefined(a.distance))
      c.CalculateBeamInGeoCoordinates(unit_cam * a.distance, ray.at_distance);
    r.rays.push_back(ray);
  }
  return r;
}

Report Render(const BeamResult& r, const BeamArgs& a) {
  Report rep;
  const P3& o = r.image.pose.centre;
  const bool height = !IsUndefined(a.height);
  const bool distance = !IsUndefined(a.distance);
  rep.json["command"] = "beam";
  ImageSection(r.image, false, rep);
  rep.json["projection_centre"] = PointJson(o);
  rep.text += "Projection centre  X " + Fixed(o.x, a.decimals) + "  Y " +
              Fixed(o.y, a.decimals) + "  Z " + Fixed(o.z, a.decimals) + " " +
              r.image.pose.unit +
              "\n\nRays (unit direction in object coordinates; bearing "
              "clockwise from grid north, elevation from the horizon):\n";
  std::vector<std::string> head = {
      "pixel", "dx", "dy", "dz", "bearing [deg]", "elev [deg]"};
  if (height)
    for (const std::string& h : {std::string("X at height"),
                                 std::string("Y at height"),
                                 "range [" + r.image.pose.unit + "]"})
      head.push_back(h);
  if (distance)
    for (const char* h : {"X at dist", "Y at dist", "Z at dist"})
      head.emplace_back(h);
  Table t(head);
  Json& rays = rep.json["rays"] = Json::array();
  int missed = 0;  // rays that do not reach --height
  for (const Ray& x : r.rays) {
    const P3& d = x.direction;
    Json ray = {{"pixel", {x.px.x, x.px.y}},
                {"inside_picture", x.inside},
                {"direction", PointJson(d)},
                {"bearing_deg", x.bearing_deg},
                {"elevation_deg", x.elevation_deg}};
    std::vector<std::string> row = {
        Exact(x.px.x) + "," + Exact(x.px.y) + (x.inside ? "" : " (outside)"),
        Fixed(d.x, 6),
        Fixed(d.y, 6),
        Fixed(d.z, 6),
        Fixed(x.bearing_deg, 4),
        Fixed(x.elevation_deg, 4)};
    if (height && x.reaches_height) {
      const P3& g = x.at_height;
      ray["at_height"] = {
          {"x", g.x}, {"y", g.y}, {"z", a.height}, {"range", x.range}};
      for (double v : {g.x, g.y, x.range}) row.push_back(Fixed(v, a.decimals));
    } else if (height) {
      ray["at_height"] = nullptr;
      for (int k = 0; k < 3; ++k) row.emplace_back("-");
      ++missed;
    }
    if (distance) {
      const P3& g = x.at_distance;
      ray["at_distance"] = PointJson(g);
      for (double v : {g.x, g.y, g.z}) row.push_back(Fixed(v, a.decimals));
    }
    rays.push_back(ray);
    t.AddRow(row);
  }
  rep.text += t.Render();
  if (missed > 0)
    rep.text += "(- : the ray does not reach the height " + Exact(a.height) +
                " in front of the camera)\n";
  return rep;
}

int RunBeam(const BeamArgs& a, const CommonOptions& common) {
  Print(Render(Compute(a), a), common);
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
                  "intersect the rays with the level z = HEIGHT (metres, or "
                  "the unit of an engineering frame)");
  app->add_option("--distance",
                  args->distance,
                  "the point this far along each ray (metres, or the unit "
                  "of an engineering frame)");
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunBeam(*args, common); }};
}

}  // namespace collinear::cli
