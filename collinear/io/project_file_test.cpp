#include <collinear/io/project_file.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <dirent.h>

#include <gtest/gtest.h>

#include <collinear/calculator/calculator_test_util.h>
#include <collinear/calculator/crd_calculator.h>
#include <collinear/calculator/host/image_host.h>
#include <collinear/geo/geo_host.h>
#include <collinear/geo/proj_test_util.h>
#include <collinear/primitives/constants.h>
#include <collinear/primitives/rot.h>

namespace collinear {
namespace {

// A small project: a projected working system, a local site system on it,
// WGS84, a camera with distortion, a camera on a total station, points in
// all three systems, one image with a stored orientation and control points
// and one taken from a station. Angles in gon, to see them converted.
const char kProject[] = R"({
  "format": "collinear-project",
  "version": 1,
  "name": "unit test",
  "angle_unit": "gon",
  "working_system": "utm",
  "geoid": {"undulation_m": 47.5},
  "coordinate_systems": [
    {"id": "site", "base": "utm",
     "similarity": {"origin": [513000, 5402000, 250], "rotation": 33.3333333333333333, "scale": 1.0}},
    {"id": "utm", "crs": "EPSG:25832"},
    {"id": "wgs84", "crs": "EPSG:4979", "_note": "ellipsoidal heights"}
  ],
  "cameras": [
    {"id": "dslr", "focal_length_mm": 24.0, "pixel_size_mm": 0.006,
     "picture_size_px": [6000, 4000], "principal_point_px": [3010.5, 1995.25],
     "distortion": {"model": "k1k2p1p2", "coefficients": [3e-5, -5e-8, 1e-6, -2e-6]}},
    {"id": "ts", "focal_length_mm": 20.0, "pixel_size_mm": [0.0022, 0.0023],
     "principal_point_mm": [2.85, 2.24],
     "mount": {"offset_m": [0.01, 0.12, -0.05], "pan": 1.0, "tilt": -2.0, "roll": 0.5}}
  ],
  "points": [
    {"name": "A", "x": 513100.0, "y": 5402050.0, "z": 260.0},
    {"name": "B", "x": 513120.0, "y": 5402060.0, "z": 262.5, "system": "utm"},
    {"name": 1001, "x": 10.0, "y": 20.0, "z": 3.0, "system": "site"},
    {"name": "G", "lat": 48.77, "lon": 9.18, "h": 300.0, "system": "wgs84"},
    {"name": "ST", "x": 513050.0, "y": 5402000.0, "z": 255.0}
  ],
  "stations": [
    {"id": "S1", "point": "ST", "instrument_height": 1.55, "measurements": [
      {"id": "bs", "target": "A", "role": "backsight", "horizontal_direction": 0.0, "zenith_angle": 95.0},
      {"id": "north", "role": "azimuth", "horizontal_direction": 10.0, "azimuth": 0.0},
      {"id": "pic", "target": "B", "horizontal_direction": 50.0, "vertical_angle": 2.0, "slope_distance": 72.5}
    ]}
  ],
  "images": [
    {"id": "IMG1", "camera": "dslr",
     "exterior": {"x": 513080.0, "y": 5401950.0, "z": 270.0, "omega": 100.0, "phi": -5.0, "kappa": 12.5},
     "control": [{"point": "A", "pixel": [1000.25, 2000.5]}, {"point": "1001", "pixel": [3000, 1500]}]},
    {"id": 2, "camera": "ts", "total_station": {"station": "S1", "measurement": "pic"}}
  ]
})";

constexpr double kGon = kPi / 200.0;

std::unique_ptr<Project> Parse(const std::string& text, std::string& error) {
  return Project::Parse(text, "p.json", ".", error);
}

// text with the first occurrence of from replaced by to (which must exist).
std::string Replace(std::string text,
                    const std::string& from,
                    const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// kProject in another working system, with WGS84 heights above the geoid.
std::string InWorking(const std::string& system) {
  return Replace(Replace(kProject,
                         R"("working_system": "utm")",
                         R"("working_system": ")" + system + R"(")"),
                 R"("_note": "ellipsoidal heights")",
                 R"("heights": "orthometric")");
}

template <class T = double>
T Raw(IPropertyObject* o, long id, unsigned long index = 0) {
  T v = -12345;
  o->get_raw_value(id, &v, index);
  return v;
}

// The value of a typed read, or NaN when the holder reports none.
double Typed(IPropertyObject* o, long id) {
  TBinValue<double> v;
  TComPropertyObject(o).get_value(id, v, 0);
  return v.is_valid() ? v.value() : std::nan("");
}

IPropertyObject* Ref(IPropertyObject* o, long id) {
  return TComPropertyObject(o, id).get();
}

// A calculator whose working system is the project's.
CCrdCalculator Working(const Project& p) {
  return test_support::WorkingIn(p.working_object());
}

TEST(Project, CamerasCarryThePropertiesTheCalculatorReads) {
  std::string error;
  const auto p = Parse(kProject, error);
  ASSERT_TRUE(p) << error;
  EXPECT_EQ(p->name(), "unit test");
  EXPECT_EQ(p->angle_unit(), "gon");
  HostObject* dslr = p->FindCamera("dslr")->object.get();
  HostObject* ts = p->FindCamera("ts")->object.get();
  const GUID mounted = MakeGuid("{189ba5f5-12ec-491f-9825-f0993df92351}");
  EXPECT_FALSE(dslr->is_class(mounted));
  EXPECT_TRUE(ts->is_class(mounted));
  EXPECT_EQ(dslr->get_value_dims(35), 2u);  // k1 k2, then p1 p2
  EXPECT_EQ(dslr->get_value_dims(36), 2u);
  EXPECT_EQ(ts->get_value_dims(35), 0u);
  // Property, index, value: the principal point in mm from the left, the
  // mounting angles in degrees (1 gon = 0.9 deg).
  const struct {
    HostObject* camera;
    long id;
    unsigned long index;
    double value;
  } cases[] = {
      // clang-format off
      {dslr, 30, 0, 24.0}, {dslr, 31, 0, 3010.5 * 0.006}, {dslr, 32, 0, 1995.25 * 0.006},
      {dslr, 33, 0, 0.006}, {dslr, 34, 0, 0.006}, {dslr, 35, 1, -5e-8},
      {dslr, 36, 0, 1e-6}, {dslr, 36, 1, -2e-6}, {ts, 33, 0, 0.0022}, {ts, 34, 0, 0.0023},
      {ts, 21, 0, 0.01}, {ts, 22, 0, 0.12}, {ts, 23, 0, -0.05},
      {ts, 24, 0, 0.9}, {ts, 25, 0, -1.8}, {ts, 26, 0, 0.45},
      // clang-format on
  };
  const double kTol = 1e-12;  // rounding of the unit conversions
  for (const auto& c : cases)
    EXPECT_NEAR(Raw(c.camera, c.id, c.index), c.value, kTol) << c.id;
}

// Cameras given by camera files, relative to the project's folder, load as
// the same cameras given inline; a bad file is named with the entry.
TEST(Project, CameraFilesLoadAsInlineCameras) {
  const std::string folder = ::testing::TempDir();
  const std::string dslr =
      R"({"focal_length_mm": 24.0, "pixel_size_mm": 0.006,
     "picture_size_px": [6000, 4000], "principal_point_px": [3010.5, 1995.25],
     "distortion": {"model": "k1k2p1p2", "coefficients": [3e-5, -5e-8, 1e-6, -2e-6]}})";
  std::ofstream(folder + "/collinear_dslr.json") << dslr;
  std::ofstream(folder + "/collinear_ts.json")
      << R"({"focal_length_mm": 20.0, "pixel_size_mm": [0.0022, 0.0023],
            "principal_point_mm": [2.85, 2.24]})";
  std::ofstream(folder + "/collinear_bad.json")
      << Replace(dslr, "0.006", "\"6 um\"");
  std::string text = Replace(kProject,
                             R"({"id": "dslr", "focal_length_mm")",
                             R"({"id": "dslr", "file": "collinear_dslr.json"},
    {"id": "unused", "focal_length_mm")");
  text = Replace(
      text,
      R"("id": "ts", "focal_length_mm": 20.0, "pixel_size_mm": [0.0022, 0.0023],
     "principal_point_mm": [2.85, 2.24],)",
      R"("id": "ts", "file": "collinear_ts.json",)");
  std::string error;
  const auto inline_p = Parse(kProject, error);
  const auto p = Project::Parse(text, "p.json", folder, error);
  ASSERT_TRUE(inline_p && p) << error;
  for (const char* id : {"dslr", "ts"}) {
    HostObject* a = inline_p->FindCamera(id)->object.get();
    HostObject* b = p->FindCamera(id)->object.get();
    EXPECT_EQ(p->FindCamera(id)->mounted, inline_p->FindCamera(id)->mounted);
    for (long prop = 21; prop <= 36; ++prop) {
      ASSERT_EQ(a->get_value_dims(prop), b->get_value_dims(prop)) << prop;
      for (unsigned long k = 0; k < a->get_value_dims(prop); ++k)
        EXPECT_EQ(Raw(a, prop, k), Raw(b, prop, k)) << id << " " << prop;
    }
  }
  const struct {
    const char* file;
    const char* problem;
  } bad[] = {{"collinear_none.json", ": cannot open"},
             {"collinear_bad.json", ": pixel_size_mm: must be a number"}};
  for (const auto& c : bad) {
    EXPECT_FALSE(Project::Parse(
        Replace(text, "collinear_dslr.json", c.file), "p.json", folder, error));
    EXPECT_NE(error.find("p.json: cameras[0].file: " + folder + "/" + c.file +
                         c.problem),
              std::string::npos)
        << error;
  }
}

TEST(Project, ImagesStationsAndMeasurementsAreLinked) {
  std::string error;
  const auto p = Parse(kProject, error);
  ASSERT_TRUE(p) << error;
  const ProjectImage* img = p->FindImage("IMG1");
  ASSERT_NE(img, nullptr);
  HostObject* o = img->object.get();
  EXPECT_EQ(Ref(o, 79), p->FindCamera("dslr")->object.get());
  EXPECT_EQ(Ref(o, 50), p->working_object());
  const double kTolRad = 1e-15;
  EXPECT_TRUE(std::isnan(Typed(o, 80)));
  ASSERT_NE(Ref(o, 27), nullptr);  // the projection-centre point

  const TComPropertyObjectSet control(o, 23, nullptr);
  ASSERT_EQ(control.size(), 2);
  EXPECT_EQ(Ref(control.get_at(0), 2),
            p->PointObject(*p->FindPoint("A")).get());
  EXPECT_EQ(Raw(control.get_at(0), 5) + Raw(control.get_at(0), 6) * 1e6,
            1000.25 + 2000.5 * 1e6);
  EXPECT_EQ(Ref(control.get_at(1), 2),
            p->PointObject(*p->FindPoint("1001")).get());

  // The second image is a whole number id, taken from the station.
  const ProjectImage* ts_img = p->FindImage("2");
  ASSERT_NE(ts_img, nullptr);
  EXPECT_EQ(TComPropertyObjectSet(ts_img->object.get(), 23, nullptr).size(), 0);
  const ProjectStation* st = p->FindStation("S1");
  ASSERT_NE(st, nullptr);
  ASSERT_EQ(st->measurements.size(), 3u);
  IPropertyObject* pic = Ref(ts_img->object.get(), 80);
  EXPECT_EQ(pic, st->measurements[2].object.get());
  EXPECT_EQ(Ref(pic, 23), st->object.get());
  EXPECT_EQ(Ref(pic, 2), p->PointObject(*p->FindPoint("B")).get());
  EXPECT_NEAR(Typed(pic, 7), 50.0 * kGon, kTolRad);
  EXPECT_NEAR(Typed(pic, 9), 2.0 * kGon, kTolRad);
  EXPECT_EQ(Typed(pic, 11), 72.5);
  EXPECT_TRUE(std::isnan(Typed(pic, 6)));
  EXPECT_EQ(Raw<std::int32_t>(pic, 73), 0);

  IPropertyObject* bs = st->measurements[0].object.get();
  EXPECT_EQ(Raw<std::int32_t>(bs, 73) & 7, 1);
  EXPECT_NEAR(Typed(bs, 9), 5.0 * kGon, kTolRad);  // zenith 95 gon
  EXPECT_TRUE(std::isnan(Typed(bs, 11)));
  IPropertyObject* az = st->measurements[1].object.get();
  EXPECT_EQ(Raw<std::int32_t>(az, 73) & 7, 3);
  EXPECT_EQ(Typed(az, 6), 0.0);
  EXPECT_EQ(Ref(az, 2), nullptr);

  const TComPropertyObjectSet in_order(st->object.get(), 23, nullptr);
  ASSERT_EQ(in_order.size(), 3);
  for (int k = 0; k < 3; ++k)
    EXPECT_EQ(in_order.get_at(k), st->measurements[k].object.get());
  EXPECT_EQ(Ref(st->object.get(), 2),
            p->PointObject(*p->FindPoint("ST")).get());
  EXPECT_EQ(Raw(st->object.get(), 3), 1.55);
}

TEST(Project, PointsReadBackInTheWorkingSystem) {
  std::string error;
  const auto p = Parse(kProject, error);
  ASSERT_TRUE(p) << error;
  EXPECT_EQ(p->working_system(), "utm");
  const CCrdCalculator c = Working(*p);
  EXPECT_EQ(c.m_CrdSysType, 2);
  const HostObject* a = p->PointObject(*p->FindPoint("A")).get();
  EXPECT_TRUE(const_cast<HostObject*>(a)->is_class(
      MakeGuid("{c98fc2b8-5def-49d3-b0b5-a1c18dcad61f}")));
  const TAbstractPoint3<double> xyz =
      c.GetPointAbsCoords(const_cast<HostObject*>(a), nullptr, 0);
  EXPECT_EQ(xyz, TAbstractPoint3<double>(513100.0, 5402050.0, 260.0));

  // The site system: origin at (513000, 5402000, 250), its x axis turned
  // 33.33 gon (30 degrees) anticlockwise from east.
  const double t = 30.0 * kRadPerDeg, x = 10.0, y = 20.0;
  const TAbstractPoint3<double> site = c.GetPointAbsCoords(
      p->PointObject(*p->FindPoint("1001")).get(), nullptr, 0);
  const TAbstractPoint3<double> want(
      513000.0 + std::cos(t) * x - std::sin(t) * y,
      5402000.0 + std::sin(t) * x + std::cos(t) * y,
      253.0);
  EXPECT_LT((site - want).Module(), 1e-6);

  // WGS84 with ellipsoidal heights: PROJ's grid coordinates, the height
  // reduced by the project's geoid undulation.
  test_support::ProjReference ref("EPSG:4979", "EPSG:25832");
  ASSERT_TRUE(ref.ok());
  const PJ_XYZ e = ref(9.18, 48.77, 300.0);
  // G is measured nowhere: the project holds no object for it and makes
  // one on request.
  EXPECT_FALSE(p->FindPoint("G")->object);
  const TAbstractPoint3<double> g =
      c.GetPointAbsCoords(p->PointObject(*p->FindPoint("G")).get(), nullptr, 0);
  EXPECT_LT((g - TAbstractPoint3<double>(e.x, e.y, 300.0 - 47.5)).Module(),
            1e-3);
}

TEST(Project, LocalWorkingSystemTakesGridPointsBack) {
  // A grid point 100 m along the site's x axis from its origin.
  const double t = 30.0 * kRadPerDeg;
  const std::string text = Replace(
      InWorking("site"),
      R"({"name": "A", "x": 513100.0, "y": 5402050.0)",
      R"({"name": "A", "system": "utm", "x": )" +
          std::to_string(513000.0 + 100.0 * std::cos(t)) + R"(, "y": )" +
          std::to_string(5402000.0 + 100.0 * std::sin(t)));
  std::string error;
  const auto p = Parse(text, error);
  ASSERT_TRUE(p) << error;
  const CCrdCalculator c = Working(*p);
  EXPECT_EQ(c.m_CrdSysType, 1);
  const TAbstractPoint3<double> local =
      c.GetPointAbsCoords(p->PointObject(*p->FindPoint("A")).get(), nullptr, 0);
  // The grid point printed to 1e-6 m.
  EXPECT_LT((local - TAbstractPoint3<double>(100.0, 0.0, 10.0)).Module(), 1e-5);
}

TEST(Project, AffineLocalSystem) {
  std::string error;
  const std::string text = Replace(
      kProject,
      R"("similarity": {"origin": [513000, 5402000, 250], "rotation": )"
      R"(33.3333333333333333, "scale": 1.0})",
      R"("affine": {"x": [513000, 1.001, 0.002], "y": [5402000, -0.003, )"
      "0.999]}");
  const auto p = Parse(text, error);
  ASSERT_TRUE(p) << error;
  const TAbstractPoint3<double> site = Working(*p).GetPointAbsCoords(
      p->PointObject(*p->FindPoint("1001")).get(), nullptr, 0);
  const TAbstractPoint3<double> want(513000.0 + 1.001 * 10.0 + 0.002 * 20.0,
                                     5402000.0 - 0.003 * 10.0 + 0.999 * 20.0,
                                     3.0);  // heights pass through
  EXPECT_LT((site - want).Module(), 1e-6);
}

TEST(Project, DefaultsAndAlternativeForms) {
  std::string error;
  // One system needs no working_system; angles default to degrees; the
  // principal point defaults to the picture's centre.
  const auto p = Parse(R"({
    "coordinate_systems": [{"id": "g", "crs": "+proj=utm +zone=32 +ellps=GRS80"}],
    "cameras": [{"id": "c", "focal_length_mm": 8, "pixel_size_mm": 0.004,
                 "picture_size_px": [1000, 800]}],
    "points": [{"name": "P", "x": 1, "y": 2, "z": 3}],
    "images": [{"id": "i", "camera": "c",
                "exterior": {"x": 0, "y": 0, "z": 10, "omega": 90, "phi": 0, "kappa": -45}}]
  })",
                       error);
  ASSERT_TRUE(p) << error;
  EXPECT_EQ(p->working_system(), "g");
  EXPECT_EQ(p->angle_unit(), "deg");
  const ProjectCamera& c = p->cameras()[0];
  EXPECT_DOUBLE_EQ(c.principal_mm[0] + c.principal_mm[1] * 10, 2.0 + 16.0);
  EXPECT_EQ(c.width_px * 10000 + c.height_px, 10000800);
  EXPECT_DOUBLE_EQ(Typed(p->images()[0].object.get(), 25), kPi / 2);
  EXPECT_DOUBLE_EQ(Typed(p->images()[0].object.get(), 26), -kPi / 4);
}

TEST(Project, BadInputNamesFilePathAndProblem) {
  struct Case {
    const char *from, *to, *expected;
  };
  // Each case replaces the first `from` of kProject by `to` (or, without
  // `from`, is the whole text `to`).
  // clang-format off
  const Case cases[] = {
      {R"("version": 1,)", R"("version": 1)", "line 4, column 8: not valid JSON: syntax error"},
      {nullptr, "", "line 1, column 1: not valid JSON"},
      {nullptr, "[1, 2]", "the document must be a JSON object"},
      {R"("z": 260.0)", R"("z": 1e999)", "not valid JSON: number overflow"},
      {R"("focal_length_mm": 24.0,)", R"("focal_length_mm": 24.0, "focal_length_mm": 25,)",
       "cameras[0]: key 'focal_length_mm' appears twice"},
      {R"({"id": "north",)", R"({"id": "north", "id": "n",)",
       "stations[0].measurements[1]: key 'id' appears twice"},
      {nullptr, R"({"name": "a", "name": "b")", "line 1, column 26: not valid JSON: syntax error"},
      {R"("focal_length_mm": 24.0)", R"("focal_lenght_mm": 24.0)",
       "cameras[0].focal_lenght_mm: unknown key; allowed here: id, focal_length_mm"},
      {R"("focal_length_mm": 24.0)", R"("focal_length_mm": 0)",
       "cameras[0].focal_length_mm: must be greater than 0 (it is 0)"},
      {R"("focal_length_mm": 24.0)", R"("focal_length_mm": "24")",
       "cameras[0].focal_length_mm: must be a number, not a string"},
      {R"("pixel_size_mm": 0.006)", R"("pixel_size_mm": -0.006)",
       "cameras[0].pixel_size_mm: must be greater than 0"},
      {R"("principal_point_mm": [2.85, 2.24],)", "",
       "cameras[1]: needs 'principal_point_mm' or 'principal_point_px'"},
      {"[3e-5, -5e-8, 1e-6, -2e-6]", "[3e-5, -5e-8, 1e-6]",
       "cameras[0].distortion.coefficients: model k1k2p1p2 takes 4 coefficients, not 3"},
      {R"("k1k2p1p2")", R"("brown")", "cameras[0].distortion.model: unknown model 'brown'"},
      {R"({"id": "ts")", R"({"id": "dslr")", "cameras[1].id: the id 'dslr' repeats"},
      {R"({"name": "B")", R"({"name": "A")", "points[1].name: the name 'A' repeats points[0]"},
      {R"("system": "utm"})", R"("system": "gk"})",
       "points[1].system: unknown system 'gk' (known: site, utm, wgs84)"},
      {R"(, "z": 260.0)", "", "points[0]: needs 'z'"},
      {R"("z": 262.5,)", R"("z": 262.5, "lat": 4,)", "points[1].lat: system 'utm' takes x, y, z"},
      {R"("h": 300.0)", R"("x": 300.0)", "points[3].x: system 'wgs84' takes lat, lon, h"},
      {R"("camera": "ts")", R"("camera": "tls")", "images[1].camera: unknown camera 'tls' (known: dslr, ts)"},
      {R"({"point": "A")", R"({"point": "Q")", "images[0].control[0].point: unknown point 'Q'"},
      {R"({"point": "1001")", R"({"point": "A")",
       "images[0].control[1].point: point 'A' is measured already in control[0]"},
      {"[3000, 1500]", "[3000]", "images[0].control[1].pixel: must be a list of 2 numbers"},
      {R"(, "kappa": 12.5)", "", "images[0].exterior: needs 'kappa'"},
      {R"({"id": 2,)", R"({"id": "IMG1",)", "images[1].id: the id 'IMG1' repeats"},
      {R"("measurement": "pic")", R"("measurement": "m9")",
       "images[1].total_station.measurement: station 'S1' has no measurement 'm9' (its ids: bs, north, pic)"},
      {R"("station": "S1")", R"("station": "S2")", "images[1].total_station.station: unknown station 'S2'"},
      {R"("role": "backsight")", R"("role": "back")", "stations[0].measurements[0].role: must be"},
      {R"("vertical_angle": 2.0)", R"("vertical_angle": 2.0, "zenith_angle": 98)",
       "stations[0].measurements[2]: give 'vertical_angle' or 'zenith_angle', not both"},
      {R"(, "azimuth": 0.0)", "",
       "stations[0].measurements[1]: a measurement of role azimuth needs 'azimuth'"},
      {R"("EPSG:25832")", R"("EPSG:999999")", "coordinate_systems[1].crs: PROJ cannot use 'EPSG:999999'"},
      {R"("working_system": "utm")", R"("working_system": "wgs84")", "working_system: 'wgs84' is geographic"},
      {R"("base": "utm")", R"("base": "wgs84")",
       "coordinate_systems[0].base: the base 'wgs84' is geographic"},
      {R"("geoid": {"undulation_m": 47.5},)", "",
       "points[3]: its system 'wgs84' has ellipsoidal heights and the project gives no 'geoid'"},
      {R"("working_system": "utm")", R"("working_system": "site")",
       "points[3]: its system 'wgs84' has ellipsoidal heights, which the local working system 'site' cannot take"},
      {R"("base": "utm",)", R"("base": "utm", "heights": "orthometric",)",
       "coordinate_systems[0].heights: a local system's heights"},
      {R"("crs": "EPSG:25832")", R"("crs": "EPSG:25832", "heights": "ellipsoidal")",
       "working_system: the working system keeps heights above the geoid"},
      {nullptr, R"({"cameras": []})", "coordinate_systems: at least one coordinate system is needed"},
      {R"("gon")", R"("grad")", R"(angle_unit: must be "deg", "gon" or "rad")"},
      {R"("version": 1)", R"("version": 2)", "version: this program reads version 1 project files"},
      {R"({"id": 2, "camera": "ts")", R"({"id": 2, "camera": "ts", "picture": "no/such.jpg")",
       "images[1].picture: cannot open the picture './no/such.jpg'"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    std::string error;
    EXPECT_FALSE(Parse(c.from ? Replace(kProject, c.from, c.to) : c.to, error));
    EXPECT_EQ(error.rfind(std::string("p.json: ") + c.expected, 0), 0u)
        << error;
  }
}

// kProject with n more points "Q0", "Q1", ... and every third of them
// measured in IMG1 after its own control points.
std::string WithManyPoints(int n) {
  std::string points, control;
  for (int i = 0; i < n; ++i) {
    const std::string name = '"' + ("Q" + std::to_string(i)) + '"';
    points += ",\n    {\"name\": " + name + R"(, "x": )" + std::to_string(i) +
              R"(, "y": 1, "z": 2})";
    if (i % 3 == 0)
      control += R"(, {"point": )" + name + R"(, "pixel": [)" +
                 std::to_string(i) + ", 7]}";
  }
  const std::string last_point = R"("z": 255.0})";
  const std::string last_control = R"("pixel": [3000, 1500]})";
  return Replace(Replace(kProject, last_point, last_point + points),
                 last_control,
                 last_control + control);
}

TEST(Project, LargeProjectsResolveEveryNameAndFailInFileOrder) {
  const int n = 3000;
  const std::string text = WithManyPoints(n);
  std::string error;
  const std::unique_ptr<Project> p = Parse(text, error);
  ASSERT_TRUE(p) << error;
  ASSERT_EQ(p->points().size(), 5u + n);
  for (const ProjectPoint& pt : p->points())
    ASSERT_EQ(p->FindPoint(pt.name), &pt) << pt.name;
  EXPECT_EQ(p->FindPoint("Q3000"), nullptr);
  const ProjectImage& img = *p->FindImage("IMG1");
  ASSERT_EQ(img.control.size(), 2u + (n + 2) / 3);
  for (std::size_t k = 2; k < img.control.size(); ++k) {
    const ProjectControl& c = img.control[k];
    const ProjectPoint* pt = p->FindPoint(c.point);
    ASSERT_TRUE(pt);
    EXPECT_EQ(pt->coords[0], c.x_px);  // both 3 (k - 2)
    EXPECT_EQ(Ref(c.object.get(), kImageMeasPropPoint), pt->object.get());
  }
  EXPECT_EQ(p->FindImage("2"), &p->images()[1]);
  EXPECT_EQ(p->FindStation("S1"), &p->stations()[0]);
  EXPECT_EQ(p->FindCamera("ts"), &p->cameras()[1]);
  EXPECT_EQ(p->FindSystem("site"), &p->systems()[2]);  // derived: last

  // The first problem in the file is the one reported, a JSON one before
  // any other.
  struct Case {
    const char *from, *to, *expected;
  };
  // clang-format off
  const Case cases[] = {
      {R"({"name": "Q2999", "x": 2999)", R"({"name": "Q7", "x": 2999)",
       "points[3004].name: the name 'Q7' repeats points[12]"},
      {R"({"name": "Q2000", "x": 2000)", R"({"name": "Q2000", "x": 2000, "x": 1)",
       "points[2005]: key 'x' appears twice"},
      {R"("pixel": [2997, 7]})", R"("pixel": [2997, 7], "pixel": [1, 2]})",
       "images[0].control[1001]: key 'pixel' appears twice"},
      {R"({"point": "Q2997")", R"({"point": "Q3")", "images[0].control[1001].point: point 'Q3' is measured already in control[3]"},
      {R"({"name": "Q10", "x": 10, "y": 1, "z": 2})", R"({"name": "Q10", "x": 10, "y": 1})",
       "points[15]: needs 'z'"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_FALSE(Parse(Replace(text, c.from, c.to), error));
    EXPECT_EQ(error.rfind(std::string("p.json: ") + c.expected, 0), 0u)
        << error;
  }
  const std::string late_syntax_error =
      Replace(Replace(text, R"("z": 2},)", R"("z": "2"},)"), "]\n}", "]\n");
  EXPECT_FALSE(Parse(late_syntax_error, error));
  EXPECT_NE(error.find("not valid JSON"), std::string::npos) << error;
}

TEST(Project, CalculatorReadsTheStoredOrientationInEitherWorkingSystem) {
  for (const char* working : {"utm", "site"}) {
    SCOPED_TRACE(working);
    std::string error;
    const auto p = Parse(InWorking(working), error);
    ASSERT_TRUE(p) << error;
    CCrdCalculator c;
    c.InitFromAnyImage(p->FindImage("IMG1")->object.get());
    ASSERT_TRUE(c.IsOrientationValid());
    // Through the local system and back: rounding only.
    EXPECT_LT((c.GetOrigin() - TAbstractPoint3<double>(513080, 5401950, 270))
                  .Module(),
              1e-8);
    // The angles are read as omega, phi, kappa of the ROT_KPW matrix.
    CRot r;
    r.SetMatrix(ROT_KPW, CWPK(100.0 * kGon, -5.0 * kGon, 12.5 * kGon));
    const double kTol = 1e-15;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        EXPECT_NEAR(c.GetConversionMatr()(i, j), r.m_r[3 * i + j], kTol);
    EXPECT_EQ(c.GetFocusR(), 24.0);
    EXPECT_EQ(c.m_DistModel, 2u);  // k1 k2 p1 p2
  }
}

TEST(Project, TotalStationImageIsOrientedFromItsMeasurement) {
  std::string error;
  const auto p = Parse(kProject, error);
  ASSERT_TRUE(p) << error;
  CCrdCalculator c;
  c.InitFromAnyImage(p->FindImage("2")->object.get());
  ASSERT_TRUE(c.IsOrientationValid());
  // The instrument stands 1.55 m above ST; the mounted camera's centre is
  // its offset (0.01, 0.12, -0.05) away from there.
  const TAbstractPoint3<double> i(513050.0, 5402000.0, 256.55);
  const double kTolM = 1e-9;
  EXPECT_NEAR(
      (c.GetOrigin() - i).Module(), std::sqrt(0.0001 + 0.0144 + 0.0025), kTolM);
  EXPECT_EQ(c.GetFocusR(), 20.0);
}

// A 40 x 30 picture, 24 bits per pixel, as a BMP file: the headers, each
// field little-endian (a 2-byte field's upper bytes are the next field's or
// zero), then 30 rows of 120 zero bytes.
std::string Bmp() {
  std::string b = "BM" + std::string(52 + 3600, '\0');
  // Offset, value.
  const std::uint32_t fields[] = {
      2, 54 + 3600, 10, 54, 14, 40, 18, 40, 22, 30, 26, 1, 28, 24, 34, 3600};
  for (int f = 0; f < 16; f += 2)
    for (std::uint32_t k = 0; k < 4; ++k)
      b[fields[f] + k] = static_cast<char>(fields[f + 1] >> (8 * k));
  return b;
}

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "collinear_project_" + name;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

TEST(Project, LoadsFromFileAndReportsAMissingOne) {
  const std::string path = TempPath("load.json");
  std::ofstream(path) << kProject;
  std::string error;
  const auto p = Project::Load(path, error);
  ASSERT_TRUE(p) << error;
  EXPECT_EQ(p->source(), path);
  EXPECT_FALSE(Project::Load(TempPath("none.json"), error));
  EXPECT_NE(error.find(TempPath("none.json")), std::string::npos) << error;
}

TEST(Project, PicturesGiveTheImageItsSize) {
  const std::string folder = ::testing::TempDir();
  std::ofstream(TempPath("pic.bmp"), std::ios::binary) << Bmp();
  std::ofstream(TempPath("pic.txt")) << "not a picture";
  const std::string with_picture =
      Replace(kProject,
              R"({"id": 2, "camera": "ts")",
              R"({"id": 2, "camera": "ts", "picture": )"
              R"("collinear_project_pic.bmp")");
  std::string error;
  const auto p = Project::Parse(with_picture, "p.json", folder, error);
  ASSERT_TRUE(p) << error;
  EXPECT_EQ(p->FindImage("2")->picture, folder + "/collinear_project_pic.bmp");
  CCrdCalculator c;
  c.InitCameraFromImage(p->FindImage("2")->object.get());
  EXPECT_EQ(c.GetPictureRect(), TAbstractRect<double>(0, 0, 40, 30));

  const std::string not_picture = Replace(with_picture, "pic.bmp", "pic.txt");
  EXPECT_FALSE(Project::Parse(not_picture, "p.json", folder, error));
  EXPECT_EQ(error,
            "p.json: images[1].picture: '" + folder +
                "/collinear_project_pic.txt' is not a JPEG, PNG, BMP or "
                "TIFF picture that can be read");
}

int OpenFiles() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

TEST(Project, ManyPicturesHoldNoFileOpen) {
  const std::string folder = ::testing::TempDir();
  std::ofstream(TempPath("many.bmp"), std::ios::binary) << Bmp();
  std::string images;
  const int kImages = 1100;  // more than a process may usually hold open
  for (int i = 0; i < kImages; ++i)
    images += std::string(i ? "," : "") + R"({"id": )" + std::to_string(i) +
              R"(, "camera": "c", "picture": )"
              R"("collinear_project_many.bmp"})";
  const std::string text =
      R"({"coordinate_systems": [{"id": "g", "crs": "EPSG:25832"}],
          "cameras": [{"id": "c", "focal_length_mm": 8, "pixel_size_mm": 0.004,
                       "principal_point_px": [20, 15]}],
          "images": [)" +
      images + "]}";
  const int before = OpenFiles();
  std::string error;
  const auto p = Project::Parse(text, "p.json", folder, error);
  ASSERT_TRUE(p) << error;
  EXPECT_LE(OpenFiles(), before + 2);
  CCrdCalculator c;
  c.InitCameraFromImage(p->images().back().object.get());
  EXPECT_EQ(c.GetPictureRect(), TAbstractRect<double>(0, 0, 40, 30));
}

TEST(Project, ReleasesEveryObjectWhenItGoes) {
  ComPtr<HostObject> station, measurement, camera;
  {
    std::string error;
    const auto p = Parse(kProject, error);
    ASSERT_TRUE(p) << error;
    station = p->stations()[0].object;
    measurement = p->stations()[0].measurements[0].object;
    camera = p->cameras()[0].object;
  }
  // Station and measurements referred to each other; only ours are left.
  EXPECT_EQ(station->ref_count(), 1u);
  EXPECT_EQ(measurement->ref_count(), 1u);
  EXPECT_EQ(camera->ref_count(), 1u);
}

bool LeftoverTemporaries(const std::string& folder, const std::string& stem) {
  DIR* d = opendir(folder.c_str());
  if (!d) return false;
  bool found = false;
  while (dirent* e = readdir(d))
    found = found || std::string(e->d_name).rfind(stem + ".tmp.", 0) == 0;
  closedir(d);
  return found;
}

TEST(WriteExteriorOrientations, WritesBackInTheFilesAngleUnitAndKeepsTheRest) {
  const std::string path = TempPath("write.json");
  std::ofstream(path) << kProject;
  const ExteriorOrientation x{
      513081.12345678, 5401949.5, 271.25, 1.5, -0.1, 0.25};
  std::string error;
  ASSERT_TRUE(WriteExteriorOrientations(path, {{"2", x}}, error)) << error;
  EXPECT_FALSE(LeftoverTemporaries(::testing::TempDir(),
                                   "collinear_project_write.json"));

  const auto p = Project::Load(path, error);
  ASSERT_TRUE(p) << error;
  const ProjectImage* img = p->FindImage("2");
  ASSERT_TRUE(img->has_exterior);
  const double kTolM = 0.5e-6, kTolRad = 0.5e-9 * kGon;  // rounding
  EXPECT_NEAR(img->exterior.x, x.x, kTolM);
  EXPECT_EQ(img->exterior.y, x.y);
  EXPECT_NEAR(img->exterior.omega, x.omega, kTolRad);
  EXPECT_NEAR(img->exterior.phi, x.phi, kTolRad);
  EXPECT_NEAR(img->exterior.kappa, x.kappa, kTolRad);
  // The other image and the notes stay as they were.
  EXPECT_EQ(p->FindImage("IMG1")->exterior.kappa, 12.5 * kGon);
  const std::string text = ReadAll(path);
  EXPECT_NE(text.find(R"("_note": "ellipsoidal heights")"), std::string::npos);
  EXPECT_NE(text.find(R"("omega": 95.492965855)"), std::string::npos) << text;
  // The station's measurement keeps its place before the new exterior.
  EXPECT_LT(text.find(R"("total_station")"), text.find(R"("omega": 95.49)"));
}

TEST(WriteExteriorOrientations, UnknownImageLeavesTheFileAlone) {
  const std::string path = TempPath("keep.json");
  std::ofstream(path) << kProject;
  std::string error;
  EXPECT_FALSE(WriteExteriorOrientations(path, {{"IMG9", {}}}, error));
  EXPECT_EQ(error, path + ": images: no image has the id 'IMG9'");
  EXPECT_EQ(ReadAll(path), kProject);
  EXPECT_FALSE(WriteExteriorOrientations(TempPath("none.json"), {}, error));
  EXPECT_FALSE(
      LeftoverTemporaries(::testing::TempDir(), "collinear_project_keep.json"));
}

TEST(FormatProjectJson, ShortListsStayOnOneLine) {
  std::string out, error;
  ASSERT_TRUE(FormatProjectJson(
      R"({"a":[1,2.5,-3e-7],"b":{"c":"x","d":[]},"long":[)"
      R"("aaaaaaaaaaaaaaaaaaaa","bbbbbbbbbbbbbbbbbbbb","cccccccccccccccccccc","dddddddddd"]})",
      out,
      error))
      << error;
  EXPECT_EQ(out,
            "{\n"
            "  \"a\": [1, 2.5, -3e-07],\n"
            "  \"b\": {\"c\": \"x\", \"d\": []},\n"
            "  \"long\": [\n"
            "    \"aaaaaaaaaaaaaaaaaaaa\",\n"
            "    \"bbbbbbbbbbbbbbbbbbbb\",\n"
            "    \"cccccccccccccccccccc\",\n"
            "    \"dddddddddd\"\n"
            "  ]\n"
            "}\n");
  EXPECT_FALSE(FormatProjectJson(R"({"a": })", out, error));
  EXPECT_EQ(error.rfind("line 1, column 7: not valid JSON", 0), 0u) << error;
}

}  // namespace
}  // namespace collinear
