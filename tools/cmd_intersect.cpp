// intersect: one 3-D position from direction rays of several stations.
#include <cmath>
#include <map>
#include <sstream>

#include <collinear/adjust/adj_image.h>
#include <collinear/io/point_file.h>
#include <collinear/primitives/constants.h>
#include <collinear/primitives/geomath_consts.h>

#include "commands.h"
#include "report.h"

namespace collinear::cli {
namespace {

struct IntersectArgs {
  std::string rays;
  std::string sigma_unit = "arcsec";
  std::vector<double> sigma{5.0, 5.0};
  int decimals = 4;
};

// Radians per unit of the --sigma-unit choices.
const std::map<std::string, double>& SigmaUnits() {
  static const std::map<std::string, double> units = {
      {"rad", 1.0},
      {"mrad", 1e-3},
      {"deg", kRadPerDeg},
      {"arcsec", kRadPerDeg / 3600.0},
      {"mgon", kPi / 200000.0}};
  return units;
}

// The position, its precision, and each ray's misclosure there.
struct IntersectResult {
  int rays = 0;
  TAbstractPoint3<double> position;
  double sx = 0, sy = 0, sz = 0;   // a-priori standard deviations
  std::vector<double> covariance;  // packed (0,0), (1,0), (1,1), (2,0), ...
  struct Misclosure {
    std::string name;
    double dh, dv;    // observed - computed direction, in the sigma unit
    double offset;    // of the position from the ray's line
    double distance;  // station to position
  };
  std::vector<Misclosure> misclosures;
};

IntersectResult Compute(const IntersectArgs& a) {
  std::string text, error;
  std::vector<PointRow> rows;
  if (!ReadTextFile(a.rays, text, error) ||
      !ParsePointRows(text, a.rays, 6, 8, rows, error))
    throw InputError(error);
  const double unit = SigmaUnits().at(a.sigma_unit);
  const int n = static_cast<int>(rows.size());
  if (n < 2)
    throw InputError(a.rays + ": " + std::to_string(n) +
                     " ray(s); an intersection needs at least 2");
  std::vector<TAbstractPoint3<double>> pts(2 * n);
  std::vector<TAbstractPoint2<double>> sig(n);
  for (int i = 0; i < n; ++i) {
    const std::vector<double>& v = rows[i].values;
    if (v.size() == 7)
      throw InputError(a.rays + ":" + std::to_string(rows[i].line) + ": ray '" +
                       rows[i].name +
                       "' has 7 values; give 6 (station, point) or 8 (with "
                       "both sigmas)");
    pts[2 * i] = TAbstractPoint3<double>(v[0], v[1], v[2]);
    pts[2 * i + 1] = TAbstractPoint3<double>(v[3], v[4], v[5]);
    const double sh = v.size() == 8 ? v[6] : a.sigma[0];
    const double sv = v.size() == 8 ? v[7] : a.sigma[1];
    if (!(sh > 0) || !(sv > 0))
      throw InputError(a.rays + ":" + std::to_string(rows[i].line) + ": ray '" +
                       rows[i].name + "': standard deviations must be > 0");
    sig[i] = TAbstractPoint2<double>(sh * unit, sv * unit);
  }
  const std::vector<TAbstractPoint3<double>> original = pts;
  TAdjImage adj(n, pts.data(), sig.data());
  if (!adj.IsValid())
    throw ComputeError(
        "no position: the rays are parallel in plan, all stations coincide, "
        "or fewer than two rays pass at least 0.1 units from their station");
  // The adjustment moves its partner ray to index 1; keep names in step.
  std::vector<std::string> names(n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      if (pts[2 * i] == original[2 * j] &&
          pts[2 * i + 1] == original[2 * j + 1] && names[i].empty())
        names[i] = rows[j].name;

  IntersectResult r;
  r.rays = n;
  const TAbstractPoint3<double> x = r.position = adj.GetPosition();
  const covar c = adj.GetCovarMatrix();
  r.sx = std::sqrt(c(0, 0));
  r.sy = std::sqrt(c(1, 1));
  r.sz = std::sqrt(c(2, 2));
  r.covariance = {c[0], c[1], c[2], c[3], c[4], c[5]};
  for (int i = 0; i < n; ++i) {
    const TAbstractPoint3<double> d1 = pts[2 * i + 1] - pts[2 * i];
    const TAbstractPoint3<double> d2 = x - pts[2 * i];
    const double l1 = d1.Module(), l2 = d2.Module();
    double dh = TGeomathConsts::GetAzimuth(d1.x, d1.y) -
                TGeomathConsts::GetAzimuth(d2.x, d2.y);
    if (dh < -kPi) dh += kTwoPi;
    if (dh >= kPi) dh -= kTwoPi;
    const double dv = std::asin(d1.z / l1) - std::asin(d2.z / l2);
    // Perpendicular distance of the position from the ray's line.
    const double along = (d1 * d2) / l1;
    const double offset = std::sqrt(std::max(0.0, l2 * l2 - along * along));
    r.misclosures.push_back({names[i], dh / unit, dv / unit, offset, l2});
  }
  return r;
}

Report Render(const IntersectResult& r, const IntersectArgs& a) {
  Report rep;
  Json& doc = rep.json;
  const TAbstractPoint3<double>& x = r.position;
  doc["command"] = "intersect";
  doc["rays"] = r.rays;
  doc["position"] = {{"x", x.x}, {"y", x.y}, {"z", x.z}};
  doc["std_dev"] = {{"x", r.sx}, {"y", r.sy}, {"z", r.sz}};
  doc["covariance"] = r.covariance;
  doc["sigma_unit"] = a.sigma_unit;
  Table pt({"", "position", "std dev"});
  pt.AddRow({"X", Fixed(x.x, a.decimals), Fixed(r.sx, a.decimals)});
  pt.AddRow({"Y", Fixed(x.y, a.decimals), Fixed(r.sy, a.decimals)});
  pt.AddRow({"Z", Fixed(x.z, a.decimals), Fixed(r.sz, a.decimals)});

  Table rt({"ray",
            "dh [" + a.sigma_unit + "]",
            "dv [" + a.sigma_unit + "]",
            "offset",
            "distance"});
  Json& jr = doc["ray_misclosures"] = Json::array();
  for (const IntersectResult::Misclosure& m : r.misclosures) {
    rt.AddRow({m.name,
               Fixed(m.dh, 2),
               Fixed(m.dv, 2),
               Fixed(m.offset, a.decimals),
               Fixed(m.distance, 3)});
    jr.push_back({{"name", m.name},
                  {"dh", m.dh},
                  {"dv", m.dv},
                  {"offset", m.offset},
                  {"distance", m.distance}});
  }
  std::ostringstream t;
  t << "Intersection of " << r.rays
    << " rays (one weighted Gauss-Newton step on the directions)\n\n"
    << pt.Render()
    << "\nMisclosures at the position (observed - computed direction), "
       "offset from each ray:\n"
    << rt.Render();
  rep.text = t.str();
  return rep;
}

int RunIntersect(const IntersectArgs& a, const CommonOptions& common) {
  Print(Render(Compute(a), a), common);
  return kExitOk;
}

}  // namespace

Command AddIntersect(CLI::App& root, CommonOptions& common) {
  auto args = std::make_shared<IntersectArgs>();
  CLI::App* app = root.add_subcommand(
      "intersect",
      "Position of one point from rays of several stations.\n"
      "RAYS rows: name Xs Ys Zs Xt Yt Zt [sigma_h sigma_v] - the station, a "
      "second point on the ray, and the standard deviations of the "
      "horizontal direction (azimuth) and the vertical angle. Coordinates in "
      "one length unit (z up). The start is the plan crossing of the first "
      "ray with the ray of the farthest station, at their mean height; one "
      "weighted least-squares step on all directions follows. Standard "
      "deviations of the position are a priori (unit weight 1).");
  app->add_option("RAYS", args->rays, "file of rays")
      ->required()
      ->check(CLI::ExistingFile);
  app->add_option(
         "--sigma-unit", args->sigma_unit, "unit of the standard deviations")
      ->capture_default_str()
      ->check(CLI::IsMember({"rad", "mrad", "deg", "arcsec", "mgon"}));
  app->add_option("--sigma",
                  args->sigma,
                  "default standard deviations H,V for rows without them")
      ->delimiter(',')
      ->expected(2)
      ->capture_default_str();
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunIntersect(*args, common); }};
}

}  // namespace collinear::cli
