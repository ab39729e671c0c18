// Writes the example project of examples/project/ to standard output:
//
//   make_example_project > examples/project/project.json
//
// A facade 30 m long and 12 m high, its control points in ETRS89 / UTM
// zone 32N, some details in a local site system, a GNSS point in ETRS89
// geographic coordinates with ellipsoidal heights, three pictures of a
// DSLR and one of the camera on a total station. The pixel measurements
// are made with this library from known orientations (kept in the notes
// "_true_exterior"), plus normally distributed noise of 0.2 px from a
// fixed seed, and rounded to 0.01 px.
#include <cmath>
#include <cstdint>
#include <iostream>
#include <map>
#include <random>
#include <string>

#include <nlohmann/json.hpp>

#include <collinear/calculator/crd_calculator.h>
#include <collinear/geo/geo_host.h>
#include <collinear/geo/proj_system.h>
#include <collinear/io/project_file.h>
#include <collinear/primitives/constants.h>
#include <collinear/primitives/rot.h>

namespace {

using Json = nlohmann::ordered_json;
using P3 = TAbstractPoint3<double>;
using P2 = TAbstractPoint2<double>;
using collinear::kDegPerRad;
using collinear::kRadPerDeg;

constexpr double kGeoidM = 47.85;          // geoid above the ellipsoid here
constexpr double kNoisePx = 0.2;           // standard deviation of a pixel
constexpr double kMarginPx = 25.0;         // measured points keep off the edge
constexpr double kHiM = 1.62;              // instrument height of ST1
constexpr double kBacksightDeg = 37.2512;  // circle reading on GNSS1

double Round(double v, double per_unit) {
  return std::round(v * per_unit) / per_unit;
}

// Points in the site system: x along the facade, y away from it (the
// cameras stand at negative y), z above 240 m.
struct SitePoint {
  std::string name;
  double x, y, z;
};
const SitePoint kControl[] = {
    {"P01", 0.35, 0.00, 0.52},
    {"P02", 10.12, 0.00, 0.61},
    {"P03", 19.87, 0.00, 0.55},
    {"P04", 29.64, 0.00, 0.48},
    {"P05", 0.41, 0.00, 6.12},
    {"P06", 9.95, 0.20, 5.98},
    {"P07", 20.05, 0.20, 6.05},
    {"P08", 29.58, 0.00, 6.21},
    {"P09", 4.98, 0.00, 11.74},
    {"P10", 15.02, -0.45, 12.35},
    {"P11", 25.10, 0.00, 11.80},
    {"P12", 14.90, -6.50, 0.10},
};
const SitePoint kDetails[] = {
    {"D1", 7.50, 0.12, 3.05},
    {"D2", 22.40, 0.12, 3.02},
    {"D3", 15.00, 0.00, 9.00},
};
const SitePoint kStation = {"ST1", 21.0, -31.0, 0.05};
const SitePoint kGnss = {"GNSS1", -70.0, -150.0, 1.2};

// The DSLR pictures: where the camera stood, the point it looked at and
// its roll, in the site system.
struct Shot {
  const char* id;
  SitePoint centre, target;
  double roll_deg;
  bool stored;  // the exterior orientation is kept in the file
};
const Shot kShots[] = {
    {"IMG_0101", {"", 15.0, -25.0, 1.6}, {"", 15.0, 0.0, 6.0}, 0.0, true},
    {"IMG_0102", {"", 2.0, -22.0, 1.7}, {"", 17.0, 0.0, 5.0}, 2.0, false},
    {"IMG_0103", {"", 29.0, -20.0, 1.5}, {"", 12.0, 0.0, 5.5}, -1.5, false},
};
// The total station's picture looks at this facade point.
const SitePoint kTsAim = {"", 14.0, 0.0, 5.5};

Json Systems() {
  return Json::array(
      {{{"id", "utm32"},
        {"crs", "EPSG:25832"},
        {"_note", "ETRS89 / UTM zone 32N, heights above the geoid"}},
       {{"id", "site"},
        {"base", "utm32"},
        {"similarity",
         {{"origin", {513250.0, 5402830.0, 240.0}}, {"rotation", 18.5}}},
        {"_note", "x along the facade, z above 240 m"}},
       {{"id", "etrs89"},
        {"crs", "EPSG:4258"},
        {"_note", "geographic, ellipsoidal heights"}}});
}

std::unique_ptr<collinear::Project> Load(const Json& doc) {
  std::string error;
  std::unique_ptr<collinear::Project> p =
      collinear::Project::Parse(doc.dump(), "example", ".", error);
  if (!p) {
    std::cerr << "make_example: " << error << "\n";
    std::exit(1);
  }
  return p;
}

CCrdCalculator Working(const collinear::Project& p) {
  CCrdCalculator c;
  std::int32_t kind = 0;
  p.working_object()->get_raw_value(collinear::kGeoPropKind, &kind, 0);
  c.m_CrdSysType = kind;
  c.m_CrdSysObject = TComPropertyObject(p.working_object());
  return c;
}

// Site points in the working system (UTM), through the library.
std::map<std::string, P3> ToUtm(const std::vector<SitePoint>& points) {
  Json doc = {{"working_system", "utm32"},
              {"coordinate_systems", Systems()},
              {"points", Json::array()}};
  for (const SitePoint& s : points)
    doc["points"].push_back({{"name", s.name},
                             {"system", "site"},
                             {"x", s.x},
                             {"y", s.y},
                             {"z", s.z}});
  const auto p = Load(doc);
  const CCrdCalculator c = Working(*p);
  std::map<std::string, P3> out;
  for (const collinear::ProjectPoint& pt : p->points())
    out[pt.name] = c.GetPointAbsCoords(p->PointObject(pt).get(), nullptr, 0);
  return out;
}

// Latitude and longitude (degrees) of a UTM point, through the library.
P2 ToGeographic(const P3& utm) {
  auto from = collinear::ProjCoordSystem::Create("EPSG:25832");
  auto to = collinear::ProjCoordSystem::Create("EPSG:4258");
  double c[3] = {utm.y, utm.x, utm.z};  // plane form: northing first
  from->TransformTo(to.get(),
                    collinear::kGeoFormPlane,
                    collinear::kGeoFormGeodetic,
                    collinear::kGeoBestOperation,
                    c);
  return P2(c[0], c[1]);
}

double Bearing(const P3& from, const P3& to) {  // clockwise from north
  double b = std::atan2(to.x - from.x, to.y - from.y);
  return b < 0.0 ? b + collinear::kTwoPi : b;
}

double Elevation(const P3& from, const P3& to) {
  const P3 d = to - from;
  return std::atan2(d.z, std::sqrt(d.x * d.x + d.y * d.y));
}

// Box-Muller on the raw engine, the same on every standard library.
class Noise {
 public:
  double operator()() {
    const double u1 = (rng_() + 1.0) / 4294967297.0;
    const double u2 = rng_() / 4294967296.0;
    return kNoisePx * std::sqrt(-2.0 * std::log(u1)) *
           std::cos(collinear::kTwoPi * u2);
  }

 private:
  std::mt19937 rng_{20240512u};
};

// The control points an image sees, measured with noise.
Json Measure(const collinear::Project& p,
             const CCrdCalculator& c,
             Noise& noise) {
  const TAbstractRect<double> r = c.GetPictureRect();
  Json control = Json::array();
  for (const collinear::ProjectPoint& pt : p.points()) {
    if (pt.name == "ST1" || pt.name == "GNSS1") continue;
    P2 px;
    if (!c.GetPointOnImageCoords(p.PointObject(pt).get(), px, false)) continue;
    if (px.x < r.left + kMarginPx || px.x > r.right - kMarginPx ||
        px.y < r.top + kMarginPx || px.y > r.bottom - kMarginPx)
      continue;
    const double x = px.x + noise(), y = px.y + noise();
    control.push_back(
        {{"point", pt.name}, {"pixel", {Round(x, 100), Round(y, 100)}}});
  }
  return control;
}

Json ExteriorJson(const CCrdCalculator& c) {
  CRot r;
  const matr3_3 m = c.GetConversionMatr();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m_r[3 * i + j] = m(i, j);
  CWPK a(0, 0, 0);
  r.CalAngle(ROT_KPW, a);
  const P3 o = c.GetOrigin();
  return {{"x", Round(o.x, 1e3)},
          {"y", Round(o.y, 1e3)},
          {"z", Round(o.z, 1e3)},
          {"omega", Round(a.m_w * kDegPerRad, 1e6)},
          {"phi", Round(a.m_p * kDegPerRad, 1e6)},
          {"kappa", Round(a.m_k * kDegPerRad, 1e6)}};
}

}  // namespace

int main() {
  // 1. Site coordinates to UTM: the control points, the station, the
  // GNSS point, and the cameras' positions and aims.
  std::vector<SitePoint> site(std::begin(kControl), std::end(kControl));
  site.push_back(kStation);
  site.push_back(kGnss);
  for (const Shot& s : kShots) {
    site.push_back(
        {std::string(s.id) + "/centre", s.centre.x, s.centre.y, s.centre.z});
    site.push_back(
        {std::string(s.id) + "/target", s.target.x, s.target.y, s.target.z});
  }
  site.push_back({"ts/aim", kTsAim.x, kTsAim.y, kTsAim.z});
  const std::map<std::string, P3> utm = ToUtm(site);

  Json doc = {
      {"format", "collinear-project"},
      {"version", 1},
      {"name", "Facade survey, example"},
      {"_note",
       "Synthetic: pixels made by examples/project/make_example.cpp from the "
       "orientations in _true_exterior, with 0.2 px noise"},
      {"angle_unit", "deg"},
      {"working_system", "utm32"},
      {"geoid", {{"undulation_m", kGeoidM}}},
      {"coordinate_systems", Systems()}};

  // 2. Cameras: a DSLR and the overview camera of a total station.
  doc["cameras"] = Json::array(
      {{{"id", "nikon"},
        {"_note", "full-frame DSLR, 24 mm lens"},
        {"focal_length_mm", 24.2},
        {"pixel_size_mm", 0.00488},
        {"picture_size_px", {7360, 4912}},
        {"principal_point_px", {3691.4, 2448.9}},
        {"distortion",
         {{"model", "k1k2p1p2"},
          {"coefficients", {1.2e-05, -4.5e-09, 1.5e-06, -8e-07}}}}},
       {{"id", "ts_cam"},
        {"_note", "overview camera of the total station"},
        {"focal_length_mm", 6.0},
        {"pixel_size_mm", 0.0022},
        {"picture_size_px", {2592, 1944}},
        {"principal_point_px", {1301.2, 968.7}},
        {"distortion",
         {{"model", "k1k2k3k4"}, {"coefficients", {-2e-04, 3e-06, 0, 0}}}},
        {"mount",
         {{"offset_m", {0.0, 0.085, -0.03}},
          {"pan", 0.15},
          {"tilt", -0.2},
          {"roll", 0.05}}}}});

  // 3. Points: control in UTM (mm), details in the site system, the GNSS
  // point in ETRS89 with its ellipsoidal height.
  Json points = Json::array();
  for (const SitePoint& s : kControl) {
    const P3& u = utm.at(s.name);
    points.push_back({{"name", s.name},
                      {"x", Round(u.x, 1e3)},
                      {"y", Round(u.y, 1e3)},
                      {"z", Round(u.z, 1e3)}});
  }
  for (const SitePoint& s : kDetails)
    points.push_back({{"name", s.name},
                      {"system", "site"},
                      {"x", s.x},
                      {"y", s.y},
                      {"z", s.z}});
  const P3& st = utm.at("ST1");
  points.push_back({{"name", "ST1"},
                    {"_note", "total-station set-up"},
                    {"x", Round(st.x, 1e3)},
                    {"y", Round(st.y, 1e3)},
                    {"z", Round(st.z, 1e3)}});
  const P3& gnss = utm.at("GNSS1");
  const P2 ll = ToGeographic(gnss);
  points.push_back({{"name", "GNSS1"},
                    {"system", "etrs89"},
                    {"lat", Round(ll.x, 1e9)},
                    {"lon", Round(ll.y, 1e9)},
                    {"h", Round(gnss.z + kGeoidM, 1e3)}});
  doc["points"] = points;

  // 4. The station: a backsight on GNSS1, a sight to P12, the picture.
  const auto base = Load(doc);
  const CCrdCalculator work = Working(*base);
  auto at = [&](const std::string& name) {
    return work.GetPointAbsCoords(
        base->FindPoint(name)->object.get(), nullptr, 0);
  };
  const P3 instrument = at("ST1") + P3(0, 0, kHiM);
  auto reading = [&](const P3& to) {
    double h = kBacksightDeg +
               (Bearing(instrument, to) - Bearing(instrument, at("GNSS1"))) *
                   kDegPerRad;
    h = std::fmod(h + 720.0, 360.0);
    return Round(h, 1e4);
  };
  const P3 g = at("GNSS1"), p12 = at("P12"), aim = utm.at("ts/aim");
  doc["stations"] = Json::array(
      {{{"id", "ST1"},
        {"point", "ST1"},
        {"instrument_height", kHiM},
        {"measurements",
         {{{"id", "bs"},
           {"target", "GNSS1"},
           {"role", "backsight"},
           {"horizontal_direction", kBacksightDeg},
           {"zenith_angle",
            Round(90.0 - Elevation(instrument, g) * kDegPerRad, 1e4)},
           {"slope_distance", Round((g - instrument).Module(), 1e3)}},
          {{"id", "p12"},
           {"target", "P12"},
           {"horizontal_direction", reading(p12)},
           {"zenith_angle",
            Round(90.0 - Elevation(instrument, p12) * kDegPerRad, 1e4)},
           {"slope_distance", Round((p12 - instrument).Module(), 1e3)}},
          {{"id", "pic1"},
           {"_note", "the picture TS_0001, taken aiming here"},
           {"horizontal_direction", reading(aim)},
           {"vertical_angle",
            Round(Elevation(instrument, aim) * kDegPerRad, 1e4)},
           {"slope_distance", Round((aim - instrument).Module(), 1e3)}}}}}});

  // 5. Images: the DSLR's true orientations, the stored one rounded as
  // the file keeps it.
  Json images = Json::array();
  std::vector<CCrdCalculator> truth;
  for (const Shot& s : kShots) {
    CCrdCalculator c;
    const P3 centre = utm.at(std::string(s.id) + "/centre");
    const P3 target = utm.at(std::string(s.id) + "/target");
    c.InitOrientation(centre, target - centre);
    // Roll: a turn about the viewing axis after the level view.
    CRot roll;
    roll.SetMatrix(ROT_K, CWPK(0, 0, s.roll_deg * kRadPerDeg));
    matr3_3 m = c.GetConversionMatr();
    matr3_3 turned;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        double v = 0;
        for (int k = 0; k < 3; ++k) v += roll.m_r[3 * i + k] * m(k, j);
        turned(i, j) = v;
      }
    c.SetConversionMatr(turned.data());
    Json img = {{"id", s.id}, {"camera", "nikon"}};
    const Json exterior = ExteriorJson(c);
    if (s.stored)
      img["exterior"] = exterior;
    else
      img["_true_exterior"] = exterior;
    images.push_back(img);
    truth.push_back(c);
  }
  images.push_back(
      {{"id", "TS_0001"},
       {"camera", "ts_cam"},
       {"total_station", {{"station", "ST1"}, {"measurement", "pic1"}}}});
  doc["images"] = images;

  // 6. Measure: each picture with the camera of its image, oriented as it
  // was taken; the stored and the instrument's orientation as the
  // calculator reads them from the file.
  const auto full = Load(doc);
  Noise noise;
  for (std::size_t i = 0; i < full->images().size(); ++i) {
    const collinear::ProjectImage& img = full->images()[i];
    const collinear::ProjectCamera& cam = *full->FindCamera(img.camera);
    CCrdCalculator c;
    c.InitFromAnyImage(img.object.get());
    c.SetPictureRect(TAbstractRect<double>(0, 0, cam.width_px, cam.height_px));
    if (i < truth.size() && !kShots[i].stored) {
      c.m_Origin = truth[i].m_Origin;
      c.m_ConversionMatr = truth[i].m_ConversionMatr;
    }
    if (!c.IsOrientationValid()) {
      std::cerr << "make_example: no orientation for " << img.id << "\n";
      return 1;
    }
    if (img.id == "TS_0001")
      doc["images"][i]["_true_exterior"] = ExteriorJson(c);
    doc["images"][i]["control"] = Measure(*full, c, noise);
  }

  std::string out, error;
  if (!collinear::FormatProjectJson(doc.dump(), out, error)) {
    std::cerr << "make_example: " << error << "\n";
    return 1;
  }
  std::cout << out;
  return 0;
}
