// Runs the collinear program as a user would: exit codes and messages, the
// sections of the text report, the keys and types of the JSON report, the
// files it writes, and one figure per command. The published figures of
// the data sets are asserted by the library's tests.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

const std::string kEx = std::string(COLLINEAR_SOURCE_DIR) + "/examples/";
const std::string kProject = kEx + "project/project.json";
const std::string kHeikkila = kEx + "heikkila-3d/points.txt";

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// A folder of this process alone (tests run in parallel processes, and
// several build trees may test at once), removed when the tests end.
class TempFolder : public ::testing::Environment {
 public:
  static const std::string& Path() {
    static const std::string path = [] {
      std::string t = ::testing::TempDir() + "collinear_tool_XXXXXX";
      return mkdtemp(t.data()) ? t + "/" : std::string();
    }();
    return path;
  }
  void TearDown() override {
    if (!Path().empty()) std::filesystem::remove_all(Path());
  }
};
const auto* const kTempFolder =
    ::testing::AddGlobalTestEnvironment(new TempFolder);

std::string TempPath(const std::string& name) {
  EXPECT_FALSE(TempFolder::Path().empty()) << "no temporary folder";
  return TempFolder::Path() + name;
}

std::string TempFile(const std::string& name, const std::string& text) {
  std::string path = TempPath(name);
  std::ofstream(path) << text;
  return path;
}

struct ToolRun {
  int code = -1;
  std::string out, err;
};

ToolRun Tool(const std::string& args) {
  ToolRun r;
  const std::string err = TempPath("stderr");
  FILE* p = popen((COLLINEAR_TOOL " " + args + " 2>" + err).c_str(), "r");
  if (!p) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.err = ReadAll(err);
  return r;
}

// A copy of the example project, changed by edit. Its images are IMG_0101,
// IMG_0102, IMG_0103 and TS_0001.
template <class Edit>
std::string ChangedCopy(const std::string& name, Edit edit) {
  Json doc = Json::parse(ReadAll(kProject));
  edit(doc);
  return TempFile(name, doc.dump(2));
}

// A copy of the example with the control points of image i cut to n.
std::string CutControl(const std::string& name, int i, int n) {
  return ChangedCopy(name, [=](Json& d) {
    Json& c = d["images"][i]["control"];
    c.erase(c.begin() + n, c.end());
  });
}

// A copy of the example with the true orientations of IMG_0102, IMG_0103
// and TS_0001 stored as orient --write stores them, then changed by edit.
std::string Oriented(const std::string& name,
                     const std::function<void(Json&)>& edit = nullptr) {
  return ChangedCopy(name, [&](Json& d) {
    for (Json& img : d["images"])
      if (img.contains("_true_exterior"))
        img["exterior"] = img["_true_exterior"];
    if (edit) edit(d);
  });
}

// The example's images IMG_0101 to IMG_0103 in an engineering frame of
// millimetres: the UTM coordinates times 1000, the site system on it with
// scale 1000; without the geographic point, the stations and TS_0001.
void ToLabFrame(Json& d) {
  d.erase("geoid");
  d.erase("stations");
  d["images"].erase(3);
  d["points"].erase(16);
  d["working_system"] = "lab";
  Json& systems = d["coordinate_systems"];
  systems = {{{"id", "lab"}, {"engineering", {{"unit", "mm"}}}}, systems[1]};
  systems[1]["base"] = "lab";
  Json& sim = systems[1]["similarity"];
  sim["scale"] = 1000;
  for (Json& v : sim["origin"]) v = v.get<double>() * 1000;
  for (Json& pt : d["points"])
    if (!pt.contains("system"))
      for (const char* k : {"x", "y", "z"}) pt[k] = pt[k].get<double>() * 1000;
  for (const char* k : {"x", "y", "z"})
    d["images"][0]["exterior"][k] =
        d["images"][0]["exterior"][k].get<double>() * 1000;
}

double At(const Json& doc, const std::string& pointer) {
  return doc.at(Json::json_pointer(pointer)).get<double>();
}

// The points of one view of the zhang-plane example (a plane, Z = 0).
// Zhang's five views as files of the calibration from several views.
std::string ZhangViews() {
  std::string v;
  for (int k = 1; k <= 5; ++k)
    v += " " + kEx + "zhang-plane/view" + std::to_string(k) + ".txt";
  return v;
}

std::string ZhangView(int view) {
  std::istringstream in(ReadAll(kEx + "zhang-plane/points.txt"));
  const std::string prefix = "img" + std::to_string(view) + "_";
  std::string text;
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, prefix.size(), prefix) == 0) text += line + "\n";
  return TempFile("zhang" + std::to_string(view) + ".txt", text);
}

// Every command: sections of its text report ('|' between them), JSON keys
// with their types ("pointer:t", t = n number, s string, b bool, a array,
// o object, z null), and one figure: "pointer value tolerance", where the
// value may be another pointer.
TEST(Tool, ReportShapeAndOneFigurePerCommand) {
  // Source rotated 90 degrees and shifted: X = -y + 100, Y = x + 200.
  const std::string src = TempFile("src.txt", "A 0 0\nB 10 0\nC 0 10\n");
  const std::string tgt = TempFile("tgt.txt", "A 100 200\nB 100 210\nC 90 200");
  // Two rays crossing at right angles at (5, 5, 0), 0.001 rad each: the
  // standard deviation across each is 0.001 * sqrt(50).
  const std::string rays = TempFile(
      "rays.txt", "R1 0 0 0 1 1 0 0.001 0.001\nR2 10 0 0 9 1 0 0.001 0.001\n");
  const std::string beam = " --image IMG_0101 --pixel 710.66,3547.14 ";
  const std::string lab = ChangedCopy("lab.json", ToLabFrame);
  // Zhang's view 1 as a project in a lab frame: a camera below the target's
  // plane, 832.5 px principal distance in 0.01 mm pixels.
  const std::string zhang_lab = ChangedCopy("zhang.json", [](Json& d) {
    ToLabFrame(d);
    d["coordinate_systems"].erase(1);
    d["coordinate_systems"][0]["engineering"]["unit"] = "m";
    d["cameras"] = {{{"id", "c"},
                     {"focal_length_mm", 8.325},
                     {"pixel_size_mm", 0.01},
                     {"picture_size_px", {640, 480}},
                     {"principal_point_px", {303.959, 206.585}}}};
    Json points = Json::array(), control = Json::array();
    std::istringstream in(ReadAll(ZhangView(1)));
    std::string name;
    for (double v[5]; in >> name >> v[0] >> v[1] >> v[2] >> v[3] >> v[4];) {
      points.push_back({{"name", name}, {"x", v[0]}, {"y", v[1]}, {"z", v[2]}});
      control.push_back({{"point", name}, {"pixel", {v[3], v[4]}}});
    }
    d["points"] = points;
    d["images"] = {{{"id", "V1"}, {"camera", "c"}, {"control", control}}};
  });
  // Control points projected by known DLT coefficients of a camera, pixel
  // frame (y down), object origin away from the points.
  const double known[11] = {-4.7369,
                            -2.925,
                            0.8168,
                            1045.1,
                            0.57545,
                            -0.54464,
                            5.3965,
                            18.546,
                            0.0012141,
                            -0.0063163,
                            0.0011297};
  std::ostringstream projected;
  projected.precision(17);
  for (int i = 0; i < 24; ++i) {
    const double p[3] = {
        102.0 + 4 * (i % 4), 195.0 + 5 * (i / 4 % 3), i < 12 ? 0.0 : 6.0};
    double u[3];
    for (int row = 0; row < 3; ++row) {
      const double* l = known + 4 * row;
      u[row] = l[0] * p[0] + l[1] * p[1] + l[2] * p[2] + (row < 2 ? l[3] : 1);
    }
    projected << "P" << i << ' ' << p[0] << ' ' << p[1] << ' ' << p[2] << ' '
              << u[0] / u[2] << ' ' << u[1] / u[2] << '\n';
  }
  const std::string dlt = "calibrate " + TempFile("dlt.txt", projected.str());
  const std::string zhang_io =
      " --focal 832.5 --image-frame pixel --principal-point 303.959,206.585";
  // heikkila-3d calibrated with lens distortion into a camera file; a
  // project of its points with the calibrated pose and a wrong camera
  // inline, for project --camera.
  const std::string heik_cam = TempPath("heikkila-camera.json");
  const ToolRun heik_run = Tool("calibrate " + kHeikkila +
                                " --model k1k2p1p2 --image-size 768,576 "
                                "--json --camera-out " +
                                heik_cam);
  ASSERT_EQ(heik_run.code, 0) << heik_run.err;
  const Json heik = Json::parse(heik_run.out);
  const std::string heik_project = ChangedCopy("heik.json", [&](Json& d) {
    d = {{"format", d["format"]},
         {"version", d["version"]},
         {"working_system", "lab"},
         {"coordinate_systems",
          {{{"id", "lab"}, {"engineering", {{"unit", "mm"}}}}}},
         {"cameras",
          {{{"id", "c"},
            {"focal_length_mm", 8},
            {"pixel_size_mm", 0.01},
            {"principal_point_px", {320, 240}}}}},
         {"points", {{{"name", "P016"}, {"x", 240}, {"y", 15}, {"z", 0}}}}};
    Json e = Json::object();
    for (const auto& [to, from] : {std::pair{"x", "X"}, {"y", "Y"}, {"z", "Z"}})
      e[to] = heik["projection_centre"][from];
    for (const char* k : {"omega", "phi", "kappa"})
      e[k] = heik["angles_deg"][k];
    d["images"] = {{{"id", "H"},
                    {"camera", "c"},
                    {"exterior", e},
                    {"control",
                     {{{"point", "P016"},
                       {"pixel", {723.64842448547881, 24.830417346084356}}}}}}};
  });
  const struct {
    std::string args, text, keys, figure;
  } cases[] = {
      // Cameras that travel: the camera file and the OpenCV export of a
      // calibration; resect and project with the file land on its pose
      // and on the measured pixel of a corner point (20 px of distortion).
      {"calibrate " + kHeikkila +
           " --model k1k2p1p2 --image-size 768,576 --pixel-size 0.005 "
           "--camera-out " +
           TempPath("c5.json") + " --opencv " + TempPath("cv.json"),
       "Camera file |OpenCV camera |largest misfit 0.0",
       "/camera_file/pixel_size_mm/1:n /opencv/distortion_fit_max_px:n "
       "/opencv/views/0/tvec/data/2:n",
       "/opencv/camera_matrix/data/4 /principal_distance/cy 1e-9"},
      {"resect " + kHeikkila + " --camera " + heik_cam,
       "(distortion removed)",
       "/camera_file:s",
       "/projection_centre/Z " +
           std::to_string(At(heik, "/projection_centre/Z")) + " 0.05"},
      {"project " + heik_project + " --image H --camera " + heik_cam,
       "Camera from ",
       "/camera_file:s",
       "/points/0/measured/dx 0 0.5"},
      // The plane and the spatial DLT in the file's frame. The zhang-plane
      // camera is below the plane: centre Z -12.7645 by resect --search.
      {"calibrate " + ZhangView(1) + zhang_io,
       "plane DLT (8 coefficients), camera below the mean plane|"
       "x = (L1 X + L2 Y + L3) / (L7 X + L8 Y + 1)|  L8 ",
       "/coefficients/7:n /projection_centre/Z:n",
       "/projection_centre/Z -12.7645 0.02"},
      {"resect " + ZhangView(1) + zhang_io,
       "camera below the mean plane of the control points|Verdict: ",
       "/projection_centre/Z:n /verdict/usable:b",
       "/projection_centre/Z -12.7645 1e-3"},
      {dlt,
       "spatial DLT (11 coefficients)|origin top-left, y down):|L11 ",
       "/coefficients/10:n",
       "/coefficients/3 1045.1 1e-6"},
      {dlt + " --principal-point 320,240 --image-frame pixel",
       "principal point x0",
       "/coefficients/10:n",
       "/coefficients/7 18.546 1e-8"},
      // --iterate does not hold the principal point at the origin.
      {"calibrate " + kHeikkila + " --iterate --focal 1000",
       "conditions towards the given principal point and cx = cy",
       "/principal_distance/cy:n",
       "/principal_point/x 372.0 0.5"},
      {"helmert " + tgt + " " + src + " --apply " + src,
       "3 common points|rotation [deg]|Residuals (transformed source - target)"
       "|Precision|Transformed points|Verdict: ",
       "/parameters/a:n /residuals/0/length:n /max_residual/x:n "
       "/precision/correlation/matrix:a /verdict/ok:b /transformed/2/X:n",
       "/rotation_deg 90 1e-9"},
      // The data set's own plausibility check: principal point near (372.0,
      // 276.7) px, y down as the picture's.
      {"calibrate " + kHeikkila + " --max-rows 10",
       "spatial DLT (11 coefficients)|status: spatial DLT|principal point y0|"
       "<- largest|481 smaller"
       " residuals not shown (--max-rows)|Correlations above 0.9:|Verdict: ok"
       "|at significance 0.001",
       "/status:s /coefficients/10:n /principal_distance/mean:n "
       "/angles_deg/kappa:n /verdict/outlier_significance:n "
       "/distortion:o /residuals/490/vy:n /precision/high_correlations/0/r:n",
       "/principal_point/y 276.7 0.5"},
      // The precision section holds the centre in the file's frame.
      {"resect " + kEx +
           "resection-aerial-4pt/points.txt --focal 153.24 "
           "--search",
       "4 control points|centre Z|Pre-rotation trials: 40|[too_few_points]",
       "/rotation_matrix/8:n /ambiguity/ambiguous:b /a_priori_sigma:n "
       "/ambiguity/best/projection_centre/Z:n /verdict/warnings/0/reason:s",
       "/precision/parameters/2/value /projection_centre/Z 0"},
      {"intersect " + rays + " --sigma-unit rad",
       "Intersection of 2 rays|dh [rad]",
       "/position/x:n /covariance/5:n /ray_misclosures/1/name:s",
       "/std_dev/x 0.00707106781186548 1e-12"},
      // IMG_0101's stored orientation reproduces its measured pixels
      // (0.2 px of noise).
      {"project " + kProject + " --image IMG_0101 --point P01 --point D1",
       "Orientation from: stored exterior orientation|2 of 2 points visible",
       "/picture_px/1:n /angles/kappa_rad:n /points/1/in_picture:b "
       "/points/0/measured/dy:n /visible:n",
       "/points/0/measured/dx 0 1"},
      // One point of each kind: in the picture, beside it (ST1, far to the
      // right) and behind the camera (GNSS1).
      {"project " + kProject +
           " --image IMG_0102 --point P12 --point ST1 --point GNSS1",
       "outside the picture|behind the camera|1 of 3 points visible",
       "/points/0/in_picture:b /points/1/in_picture:b /points/2/in_front:b",
       "/visible 1 0"},
      // The ray through P01's pixel meets P01's level at P01.
      {"beam " + kProject + beam + "--pixel 0,-1 --height 240.52",
       "Projection centre  X|bearing [deg]|0,-1 (outside)",
       "/rays/0/direction/z:n /rays/1/inside_picture:b "
       "/rays/0/at_height/range:n",
       "/rays/0/at_height/x 513250.332 0.1"},
      // The example's _true_exterior of IMG_0102.
      {"orient " + kProject + " --image IMG_0102 --max-rows 3",
       "working system utm32|Residuals (projected - measured, pixels, y down)"
       "|10 smaller residuals not shown",
       "/images/0/status:s /images/0/residuals_px/12/vx:n /written:z",
       "/images/0/projection_centre/x 513258.877 0.05"},
      // orient: precision and verdict per image, sigma0 that of the
      // example's 0.2 px of noise (0.00488 mm pixels); a lab frame in
      // millimetres gives the example's pose in millimetres.
      {"orient " + kProject,
       "Precision (one more linearised|Verdict: ok",
       "/images/2/precision/parameters/5/sigma_deg:n "
       "/images/0/verdict/usable:b "
       "/images/1/precision/correlation/matrix:a /length_unit:s",
       "/images/0/precision/sigma0 0.000976 0.0003"},
      {"orient " + lab + " --image IMG_0102",
       "working system lab (mm)|X [mm]|Verdict: ok",
       "/images/0/precision/sigma0:n /images/0/verdict/warnings:a",
       "/images/0/projection_centre/x 513258877 50"},
      {"orient " + zhang_lab,
       "V1 |Verdict: ok",
       "/images/0/verdict/ok:b",
       "/images/0/projection_centre/z -12.7645 1e-3"},
      {"project " + lab + " --image IMG_0101 --point D1",
       "working system lab (mm)|X [mm]",
       "/length_unit:s",
       "/points/0/measured/dx 0 1"},
      // triangulate: P02 from four images with 0.2 px of noise comes out
      // at its file coordinates.
      {"triangulate " + Oriented("tri.json") +
           " --point P02 --point P04 --verbose",
       "Triangulation of 2 point(s) from 4 oriented image(s)|vs file|"
       "Residuals (projected - measured, pixels|Verdict: ok",
       "/points/0/position/x:n /points/1/std_dev_a_posteriori/z:n "
       "/points/0/residuals_px/3/normalised/x:n /points/1/file_difference/z:n "
       "/points/0/max_angle_deg:n /images/3:s",
       "/points/0/position/x 513259.597 0.01"},
      // Streamed reports: JSON escapes a name with a quote and a backslash;
      // the largest residuals kept while every point is written.
      {"project " +
           ChangedCopy("quote.json",
                       [](Json& d) {
                         for (Json& pt : d["points"])
                           if (pt["name"] == "P01") pt["name"] = "P\"01\\";
                         for (Json& img : d["images"])
                           for (Json& m : img["control"])
                             if (m["point"] == "P01") m["point"] = "P\"01\\";
                       }) +
           " --image IMG_0101 --visible",
       "P\"01\\ |of 17 points visible",
       "/points/0/name:s /points/1/in_front:b /visible:n",
       "/points/0/measured/dx 0 1"},
      {"triangulate " + Oriented("tri.json") + " --verbose --max-rows 3",
       " more (--max-rows 0 shows all)|Verdict: ok",
       "/points/11/covariance/5:n /verdict/warnings:a",
       "/points/0/position/x 513250.332 0.01"},
      // Several views: Zhang's five, with the published camera (832.5 px).
      {"calibrate --target " + kEx + "zhang-plane/target.txt --views" +
           ZhangViews() + " --model k1k2k3k4 --image-size 640,480",
       "bundle adjustment of 5 views of a planar target|view5 |Verdict: ok",
       "/camera/k4:n /views/4/projection_centre/Z:n /views/0/rms/y:n "
       "/residuals/1279/vx:n /precision/correlation/matrix:a",
       "/camera/c 832.5 1"},
      // The example project's nikon images: 24.2 mm / 0.00488 mm = 4959 px,
      // IMG_0102 at its true centre.
      {"calibrate --project " + kProject + " --camera-id nikon",
       "3 views of a 3-D target|IMG_0103/",
       "/camera/c:n /views/2/angles_deg/kappa:n",
       "/views/1/projection_centre/X 513258.877 0.05"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const ToolRun text = Tool(c.args);
    EXPECT_EQ(text.code, 0) << text.err;
    std::istringstream sections(c.text);
    for (std::string s; std::getline(sections, s, '|');)
      EXPECT_NE(text.out.find(s), std::string::npos) << s << "\n" << text.out;
    const ToolRun json = Tool(c.args + " --json");
    ASSERT_EQ(json.code, 0) << json.err;
    const Json doc = Json::parse(json.out);  // throws when not JSON
    EXPECT_EQ(doc["command"], c.args.substr(0, c.args.find(' ')));
    std::istringstream keys(c.keys);
    for (std::string k; keys >> k;) {
      const Json::json_pointer ptr(k.substr(0, k.size() - 2));
      ASSERT_TRUE(doc.contains(ptr)) << k;
      const Json& v = doc.at(ptr);  // type_name: number, string, boolean...
      const char type = v.is_null() ? 'z' : v.type_name()[0];
      EXPECT_EQ(type, k.back()) << k;
    }
    std::istringstream figure(c.figure);
    std::string at, value;
    double tol = 0;
    figure >> at >> value >> tol;
    EXPECT_NEAR(
        At(doc, at), value[0] == '/' ? At(doc, value) : std::stod(value), tol);
  }
}

// Failures: exit code 2 for bad input, 1 when the computation fails, its
// result is unusable or --strict finds warnings; the message names the
// file, the line, the image or the reason. Nothing on stdout where no
// report is expected (no out); under --json stdout is one JSON document.
TEST(Tool, ExitCodesAndMessages) {
  const std::string gh = kEx + "helmert2d-ghilani/";
  auto helmert = [&](const std::string& name, const std::string& text) {
    return "helmert " + TempFile(name, text) + " " + gh + "source.txt";
  };
  const std::string three =
      TempFile("three.txt", "1 0 0 0 1 1\n2 10 0 0 2 1\n3 0 10 0 1 2\n");
  const std::string few = CutControl("few.json", 1, 3) + " --image IMG_0102";
  const std::string cut = CutControl("cut.json", 2, 2);  // IMG_0103: 2 points
  const std::string cut_before = ReadAll(cut);
  auto one_pixel = [](Json& d) {  // every control point on one pixel
    for (int i : {0, 1})
      for (Json& m : d["images"][i]["control"]) m["pixel"] = {100, 100};
    d["images"][0].erase("exterior");
  };
  const std::string degenerate =
      ChangedCopy("degenerate.json", one_pixel) + " --image IMG_010";
  const std::string blunder = ChangedCopy("blunder.json", [](Json& d) {
    Json& x = d["images"][1]["control"][4]["pixel"][0];  // P07, 30 px off
    x = x.get<double>() + 30;
  });
  const std::string blunder_before = ReadAll(blunder);
  const std::string syntax =
      TempFile("syntax.json", "{\n  \"a\": [\n    {\"id\": 1,}\n");
  const std::string no_camera = TempPath("none-camera.json");
  const std::string no_plot = TempPath("none.svg");
  std::remove(no_plot.c_str());
  // The first JSON block of the formats page's project file section.
  const std::string page = ReadAll(COLLINEAR_SOURCE_DIR "/docs/formats.md");
  const size_t json = page.find("```json\n", page.find("## 4. Project")) + 8;
  const std::string formats = TempFile(
      "formats.json", page.substr(json, page.find("```", json) - json));
  const std::string project = "project " + kProject + " --image ";
  const std::string beam = "beam " + kProject + " --image IMG_0101 ";
  const std::string aerial =
      "resect " + kEx + "resection-aerial-4pt/points.txt --focal 153.24";
  const std::string ghilani =
      "helmert " + gh + "target.txt " + gh + "source.txt";
  auto rays = [](const std::string& name, const std::string& text) {
    return "intersect " + TempFile(name, text + "\n");
  };
  // Zhang's published interior orientation (pixels), without --search.
  const std::string zhang_io =
      " --focal 832.5 --image-frame pixel --principal-point 303.959,206.585";
  auto zhang = [&](int view, const std::string& options) {
    return "resect " + ZhangView(view) + options;
  };
  // Four rays towards P = (100, 200, 30), each turned by a few arc seconds
  // of noise (sigma 5"), ray S3 by blunder_deg more in azimuth; away: the
  // rays point away from P, whose lines still meet there.
  auto aimed = [](const std::string& name, double blunder_deg, bool away) {
    const double st[4][3] = {
        {0, 0, 0}, {250, 50, 10}, {220, 330, 5}, {-30, 280, 20}};
    const double noise[4][2] = {{3, -2}, {-4, 1}, {2, 5}, {-1, -3}};
    const double arcsec = M_PI / 648000, s = away ? -1 : 1;
    std::ostringstream t;
    t.precision(12);
    for (int i = 0; i < 4; ++i) {
      const double dx = s * (100 - st[i][0]), dy = s * (200 - st[i][1]),
                   dz = s * (30 - st[i][2]);
      const double az = std::atan2(dy, dx) + noise[i][0] * arcsec +
                        (i == 2 ? blunder_deg * M_PI / 180 : 0);
      const double el =
          std::atan2(dz, std::hypot(dx, dy)) + noise[i][1] * arcsec;
      t << "S" << i + 1 << ' ' << st[i][0] << ' ' << st[i][1] << ' ' << st[i][2]
        << ' ' << st[i][0] + 100 * std::cos(el) * std::cos(az) << ' '
        << st[i][1] + 100 * std::cos(el) * std::sin(az) << ' '
        << st[i][2] + 100 * std::sin(el) << '\n';
    }
    return "intersect " + TempFile(name, t.str());
  };
  const std::string unusable = "failed: the result is unusable: [";
  // Input read as meant: every row as many values, decimal points only,
  // text files only, names without spaces; number options finite.
  const std::string heikkila = "calibrate " + kHeikkila + " --model k1k2p1p2";
  const std::string urn = ChangedCopy("urn.json", [](Json& d) {
    d["coordinate_systems"][0]["crs"] = "urn::25:32";
  });
  const std::string read_only = ChangedCopy("ro.json", [](Json&) {});
  chmod(read_only.c_str(), 0444);
  const std::string read_only_plot = TempFile("ro.svg", "<svg/>");
  chmod(read_only_plot.c_str(), 0444);
  const std::string big =
      " --focal 832500 --image-frame pixel --principal-point 303.959,206.585";
  const std::string five = TempFile(
      "five.txt",
      "A 0 0 0 1 1\nB 9 0 0 2 1\nC 0 9 0 1 2\nD 0 0 9 3 3\nE 9 9 9 4 4");
  const struct {
    std::string args;
    int code;
    std::string err, out = "";
  } cases[] = {
      // Several views: the target given, each view matching it, enough
      // points and views for the unknowns.
      {"calibrate --views" + ZhangViews(), 2, "--views needs the target"},
      {"calibrate --target " + kEx + "zhang-plane/target.txt --views " + kEx +
           "zhang-plane/view1.txt " +
           TempFile("stranger.txt", "X 1 2\nY 3 4\n"),
       2,
       "stranger.txt: no point of this view is in the target"},
      {"calibrate " + kHeikkila + " --model k1k2e1e6", 2, "from several views"},
      {"calibrate --project " + kProject, 2, "--camera-id chooses one"},
      {"calibrate --target " + kEx + "zhang-plane/target.txt --views " + kEx +
           "zhang-plane/view1.txt " + kEx +
           "zhang-plane/view2.txt --model k1k2e1e6 --strict",
       1,
       "--strict",
       "[too_few_points] too few views for the unknowns: 2 views"},
      // Cameras that travel: conflicting or missing options, a camera
      // file referred to by a project, no file from a failed run.
      {"resect " + kHeikkila + " --focal 1000 --camera " +
           TempFile("plain-camera.json", R"({"focal_length_mm": 8,
             "pixel_size_mm": 0.01, "principal_point_px": [320, 240]})"),
       2,
       "--focal conflicts with --camera"},
      {heikkila + " --opencv " + TempPath("cv.json"),
       2,
       "--opencv needs --image-size"},
      {heikkila + " --image-frame photo --camera-out " + no_camera,
       2,
       "--camera-out needs image coordinates in pixels"},
      {"project " +
           ChangedCopy("badcam.json",
                       [&](Json& d) {
                         d["cameras"][0] = {
                             {"id", "nikon"},
                             {"file", TempFile("badcam-file.json", "{}")}};
                       }) +
           " --image IMG_0101",
       2,
       "badcam.json: cameras[0].file: " + TempPath("badcam-file.json") +
           ": needs 'focal_length_mm'"},
      {heikkila + " --strict --camera-out " + no_camera,
       1,
       "--strict: the verdict has 1 warning; outliers: P363",
       "Verdict: 1 warning"},
      // clang-format off
      {"helmert --help", 0, "", "TARGET_POINTS"},
      {"intersect --bad " + three, 2, "not expected: --bad"},
      {"intersect --bad --json " + three, 2, "--bad", "\"exit_code\": 2"},
      {helmert("x.txt", "A 1 2\nB 1 x\n"), 2, "x.txt:2: point 'B': value 2"},
      {helmert("j.txt", "A 1 2\nB 1 x\n") + " --json", 2, "j.txt:2: point",
       "\"line\": 2\n}"},
      {helmert("empty.txt", "# nothing\n"), 2, ": the file holds no points"},
      {helmert("few.txt", "A 1 2\nZ 3 4\n"), 2, "1 point name appears in"},
      {"helmert /nonexistent/t.txt " + three, 2, "/nonexistent/t.txt"},
      {ghilani + " --sigma .05 --strict", 1, "has 1 warning", "[residual_rms]"},
      {aerial + " --strict", 1, "--strict", "[too_few_points]"},
      {"calibrate " + kHeikkila + " --model k1k2k3k4 --strict", 1,
       "--strict: the verdict has 1 warning; outliers: P363", "significance"},
      // Focal length 1000 times too large: the camera 1000 times farther
      // away, ill-conditioned or a poor fit.
      {zhang(1, big), 1, unusable + "ill_conditioned]", "Verdict"},
      {zhang(3, big), 0, "", "[residual_rms] residuals too large: RMS 7.107"},
      // resect without --search: its start from the points (plane or DLT),
      // either side of the plane; why it fails when they give none.
      {zhang(1, zhang_io), 0, "", "centre Z     -12.7645  object"},
      {zhang(4, big) + " --json", 1, "[ill_conditioned]",
       "\"method\": \"resection from the plane projective start, camera "
       "below"},
      {"resect " + kHeikkila + " --focal 966.5 --image-frame pixel "
       "--principal-point 372.05,276.76", 0, "",
       "centre Z     -221.8455  object"},
      {"resect " + TempFile("line.txt", "A 0 0 0 1 1\nB 1 1 1 2 2\n"
       "C 2 2 2 3 3\nD 3 3 3 4 5") + " --focal 100", 1,
       "failed: the resection failed: the control points lie on one line"},
      {zhang(2, zhang_io), 0, "", "camera below the mean plane of the"},
      {zhang(2, " --focal 832.5 --image-frame pixel"), 0, "",
       "[residual_rms] residuals too large"},
      {"calibrate " + ZhangView(1), 2, "coplanar: the plane solution needs "
       "the principal distance (--focal, and --principal-point"},
      {"calibrate " + five + " --focal 9 --principal-point 1,nan", 2,
       "--principal-point: 'nan' is not a finite number"},
      {"calibrate " + five, 2, "5 control point(s) have both object and "
       "image coordinates; this calibration needs at least 6"},
      {"resect " + three + " --focal 100", 2, "resection needs at least 4"},
      {"resect " + three + " --focal 0", 2, "--focal must be a positive"},
      {"calibrate " + three + " --plot " + no_plot, 2, "needs at least 6"},
      {"calibrate " + kHeikkila + " --iterate", 2, "needs --focal > 0"},
      {rays("par", "R1 0 0 0 1 1 0\nR2 10 0 0 11 1 0"), 1, "no position"},
      {rays("pj", "R1 0 0 0 1 1 0\nR2 10 0 0 11 1 0") + " --json", 1,
       "no position", "\"exit_code\": 1"},
      {rays("7", "R1 0 0 0 1 1 0 1\nR2 1 0 0 0 1 0"), 2, ":1: ray 'R1' has 7"},
      {rays("0", "R1 0 0 0 1 1 0 0 1\nR2 1 0 0 0 1 0"), 2, "must be > 0"},
      // intersect: rays whose lines meet only behind their stations fail;
      // the ray off by 10 degrees is named; noise alone raises nothing.
      {aimed("behind.txt", 0, true) + " --json", 1, "lines meet behind the "
       "station of ray(s) S1, S2, S3, S4", "\"exit_code\": 1"},
      {aimed("blunder.txt", 10, false), 0, "", "[outlier] ray S3 does not fit"},
      {aimed("strict.txt", 10, false) + " --strict --json", 1,
       "--strict: the verdict has 2 warnings; outliers: S3", R"("point": "S3")"},
      {aimed("noise.txt", 0, false) + " --strict", 0, "", "Verdict: ok"},
      {project + "IMG_9", 2, "'IMG_9' (images: IMG_0101, IMG_0102, IMG_0103,"},
      {project + "IMG_0101 --point Q", 2, "unknown point 'Q'"},
      {"orient " + syntax, 2, "line 3, column 14: not valid JSON"},
      {"project " + few, 2, "'IMG_0102' has no orientation: no stored exterior"
                            " orientation, and 3 control point(s) where"},
      {"orient " + few, 2, "'IMG_0102': 3 control point(s); a resection needs"
                           " at least 4", "not oriented"},
      {"orient " + degenerate + "1", 1, "failed: 1 of 1 image(s) not oriented:"
       "\n  image 'IMG_0101': the space resection did not converge", "not"},
      {"orient " + degenerate + "1 --json", 1, "did not converge",
       "\"result\": {"},
      {"orient " + degenerate + "2", 1, "'IMG_0102': the space resection put "
       "the camera ", "not oriented"},
      {"project " + degenerate + "2", 1, "no orientation: the space resection "
       "put the camera "},
      {beam + "--pixel 12", 2, "--pixel '12': give two finite numbers"},
      {beam + "--pixel nan,3", 2, "--pixel 'nan,3'"},
      {beam + "--pixel 1,2 --distance 0", 2, "--distance must be greater"},
      {"orient " + cut + " --write", 2, "1 of 4 image(s) not oriented (nothing "
       "written):\n  image 'IMG_0103': 2 control point(s)", "not oriented"},
      {"project " + formats + " --image TS_0001 --point P01", 0, "", "1 of 1"},
      {helmert("comma.txt", "A 1049422,4 5000\nB 1049500.2 5100\n"), 2,
       "comma.txt:2: point 'B' has 2 values, the row on line 1 has 3: every "
       "row of a file needs as many (a comma separates values: write decimals "
       "with a point)"},
      {helmert("hex.txt", "A 0x10 5\nB 1 2\n"), 2, "value 1 '0x10' is not a"},
      {helmert("nul.txt", std::string("A 1 2\nB 1\0 2\n", 13)), 2,
       "nul.txt:2: the line holds a NUL byte (is this a text file?)"},
      {helmert("space.txt", "A 1 2\nPoint B 3 4\n"), 2,
       "space.txt:2: point name 'Point B' holds a space"},
      {"orient " + urn, 2, "coordinate_systems[0].crs: PROJ cannot use "
       "'urn::25:32': not an EPSG code, OGC URN, PROJ string or WKT"},
      {"orient " + read_only + " --image IMG_0102 --write", 2,
       "ro.json: the file is read-only; it is left as it is"},
      {heikkila + " --plot " + read_only_plot, 2, "ro.svg: the file is read-"},
      {heikkila + " --focal nan", 2, "--focal: 'nan' is not a finite number"},
      {heikkila + " --image-size 0,0", 2, "'0' must be greater than 0"},
      {heikkila + " --image-size -768,576", 2, "'-768' must be greater"},
      {heikkila + " --image-sigma nan --json", 2, "'nan' is not a finite",
       "\"exit_code\": 2"},
      {heikkila + " --image-sigma -1", 2, "'-1' must not be negative"},
      {"resect " + TempFile("xyz.txt", "A 0 0 0\n") + " " +
       TempFile("img3.txt", "A 1 1 0\n") + " --focal 9", 2,
       "img3.txt:1: point 'A' has 3 values, expected 2 after the name"},
      {heikkila + " --focal 0x10", 2, "'0x10' is not a decimal number"},
      // Names padded by display width: 点 takes two columns, ü and ß one.
      {ghilani + " --apply " + TempFile("utf8.txt", "Süd-3 1 2\n点7 3 4\n"
       "Pfeiler-ß 5 6\nMast-12345 7 8\n"), 0, "", "\n  Süd-3       1.0000  "
       "2.0000  1049999.7095  50532.8524\n  点7         3.0000  4.0000  "},
      // orient: a verdict per image (a look fails --strict, an unusable
      // image is not oriented); engineering frames stay apart.
      {"orient " + kProject + " --image IMG_0102 --strict --image-sigma 0.01",
       1, "--strict: the verdict asks for a look:\n  image 'IMG_0102': 1 "
       "warning", "[residual_rms]"},
      {"orient " + blunder + " --image IMG_0102 --strict --write --json", 1,
       "(nothing "
       "written):\n  image 'IMG_0102': 2 warnings; outliers: P07",
       R"("kind": "look")"},
      {"orient " + ChangedCopy("behind.json", [](Json& d) {
         Json& c = d["images"][1]["control"];  // P02, P03, P04, P06 scrambled
         c = {c[0], c[1], c[2], c[3]};
         const int px[4][2] = {{989, 4163}, {5621, 1253}, {3646, 2208},
                               {4796, 3874}};
         for (int i = 0; i < 4; ++i) c[i]["pixel"] = {px[i][0], px[i][1]};
       }) + " --image IMG_0102 --write", 1, "(nothing written):\n  image "
       "'IMG_0102': the result is unusable: [behind_camera] 2 control point",
       "Verdict: unusable, 3 warnings"},
      {"orient " + ChangedCopy("mils.json", [](Json& d) {
         ToLabFrame(d);
         d["coordinate_systems"][0]["engineering"]["unit"] = "mils";
       }), 2, "coordinate_systems[0].engineering.unit: unknown length unit "
       "'mils' (known: m, dm, cm, mm, um, km, in, ft)"},
      {"orient " + ChangedCopy("gnss.json", [](Json& d) {
         const Json gnss = d["points"][16];
         ToLabFrame(d);
         d["coordinate_systems"].push_back(
             {{"id", "etrs89"}, {"crs", "EPSG:4258"}});
         d["points"].push_back(gnss);
       }), 2, "points[16].system: no conversion between 'etrs89' and the "
       "working system 'lab': an engineering frame has no geodetic"},
      {"orient " + ChangedCopy("labgeoid.json", [](Json& d) {
         const Json geoid = d["geoid"];
         ToLabFrame(d);
         d["geoid"] = geoid;
       }), 2, "geoid: the working system 'lab' is an engineering frame"},
      // triangulate: bad input named; a point behind a camera or on
      // parallel rays is unusable; --strict fails on residuals too large.
      {"triangulate " + kProject, 2, "project.json: no point is measured in "
       "two or more of the 1 oriented image(s)"},
      {"triangulate " + ChangedCopy("tri0.json", [](Json& d) {
         d["images"][0].erase("exterior");
       }), 2, "no image has an exterior orientation (run 'collinear orient "
       "--write' first)"},
      {"triangulate " + Oriented("tri.json") + " --point Q9", 2,
       "tri.json: unknown point 'Q9'"},
      {"triangulate " + Oriented("tri.json") + " --point GNSS1 --json", 2,
       "point 'GNSS1' is measured in 0 oriented image(s); triangulation "
       "needs 2", "\"exit_code\": 2"},
      {"triangulate " + Oriented("tri.json") + " --image-sigma 0", 2,
       "--image-sigma must be positive"},
      {"triangulate " + Oriented("flip.json", [](Json& d) {
         d["images"][1]["exterior"]["omega"] = 82.93;  // turned half round
       }) + " --point P04", 1, unusable + "behind_camera] point P04 lies "
       "behind the camera of image", "Verdict: unusable"},
      // Streamed: a failure found after rows were written still ends one
      // JSON document, the error object's members last.
      {"triangulate " + Oriented("flipall.json", [](Json& d) {
         d["images"][1]["exterior"]["omega"] = 82.93;
       }) + " --json", 1,
       unusable + "behind_camera]", "\"exit_code\": 1\n}\n"},
      {"triangulate " + Oriented("twin.json", [](Json& d) {
         d["images"][1]["exterior"] = d["images"][0]["exterior"];
         d["images"][1]["control"] = d["images"][0]["control"];
       }) + " --point P04 --json", 1, "[singular] point P04: the rays are "
       "parallel", R"("status": "failed")"},
      {"triangulate " + Oriented("tri.json") + " --image-sigma 0.01 --strict",
       1, "--strict: the verdict has", "[residual_rms] point P01"},
      {"triangulate " + Oriented("p02.json", [](Json& d) {
         d["images"][1]["control"][0]["pixel"][0] = 2485.69;  // P02, +20 px
       }) + " --point P02 --image-sigma 0.3 --strict", 1, "--strict: the "
       "verdict has 2 warnings; outliers: P02", "point P02 in image IMG_0102 "
       "does not fit"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const ToolRun r = Tool(c.args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    if (c.out.empty())
      EXPECT_EQ(r.out, "");
    else
      EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    if (c.args.find("--json") == std::string::npos) continue;
    const std::string error = Json::parse(r.out)["error"];  // stderr's message
    EXPECT_NE(r.err.find(": " + error + "\n"), std::string::npos);
  }
  // A failed run writes nothing.
  EXPECT_FALSE(std::ifstream(no_plot).good());
  EXPECT_FALSE(std::ifstream(no_camera).good());
  EXPECT_EQ(ReadAll(cut), cut_before);
  EXPECT_EQ(ReadAll(blunder), blunder_before);
}

// Changing the object frame by a map-grid shift moves the centre and
// nothing else (the tool computes about the control points' centroid).
TEST(Tool, MapGridCoordinatesGiveTheSameCamera) {
  const double shift[] = {512345.0, 5412345.0, 350.0};
  std::istringstream in(ReadAll(kHeikkila));
  std::ostringstream moved;
  moved.precision(17);
  std::string line, name;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    double v[5];
    if (line[0] == '#' || !(f >> name >> v[0] >> v[1] >> v[2] >> v[3] >> v[4]))
      continue;
    moved << name << ' ' << v[0] + shift[0] << ' ' << v[1] + shift[1] << ' '
          << v[2] + shift[2] << ' ' << v[3] << ' ' << v[4] << '\n';
  }
  const std::string grid = TempFile("grid.txt", moved.str());
  for (const char* model : {"none", "k1k2p1p2"}) {
    SCOPED_TRACE(model);
    const std::string opt = std::string(" --json --model ") + model;
    const ToolRun a =
        Tool(std::string("calibrate ").append(kHeikkila).append(opt));
    const ToolRun b = Tool(std::string("calibrate ").append(grid).append(opt));
    ASSERT_EQ(a.code + b.code, 0) << a.err << b.err;
    const Json ja = Json::parse(a.out), jb = Json::parse(b.out);
    for (const char* p :
         {"/principal_point/x", "/rms/total", "/angles_rad/phi"})
      EXPECT_NEAR(At(ja, p), At(jb, p), 1e-6) << p;
    const char* centre[] = {
        "/projection_centre/X", "/projection_centre/Y", "/projection_centre/Z"};
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(At(ja, centre[k]) + shift[k], At(jb, centre[k]), 1e-5);
  }
}

// The residual plot, and orient --write: it stores the pose and leaves the
// rest as it was, order included.
TEST(Tool, WrittenFiles) {
  const std::string svg = TempPath("plot.svg");
  std::remove(svg.c_str());
  const ToolRun ok =
      Tool("calibrate " + kHeikkila +
           " --model k1k2k3k4 --image-size 768,576 --json --plot " + svg);
  ASSERT_EQ(ok.code, 0) << ok.err;
  EXPECT_EQ(Json::parse(ok.out)["plot"], svg);
  const std::string plot = ReadAll(svg);
  for (const char* s : {"<svg",
                        "Radial distortion",
                        ">Verdict: 1 warning: outlier (P363)",
                        "Largest standard deviations: ",
                        "</svg>"})
    EXPECT_NE(plot.find(s), std::string::npos) << s;

  // Written through a symbolic link, which stays, and the mode kept.
  const std::string target = TempFile("target.svg", "old"),
                    link = TempPath("link.svg");
  chmod(target.c_str(), 0640);
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_EQ(Tool("calibrate " + kHeikkila + " --plot " + link).code, 0);
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(ReadAll(target).compare(0, 5, "<?xml"), 0) << ReadAll(target);

  const std::string copy = ChangedCopy("write.json", [](Json&) {});
  const ToolRun w = Tool("orient " + copy + " --image IMG_0102 --write");
  ASSERT_EQ(w.code, 0) << w.err;
  EXPECT_NE(w.out.find("Written to " + copy), std::string::npos);
  Json after = Json::parse(ReadAll(copy));
  EXPECT_NEAR(At(after, "/images/1/exterior/x"), 513258.877, 0.05);  // truth
  ASSERT_EQ(after["images"][1].erase("exterior"), 1u);
  EXPECT_EQ(after, Json::parse(ReadAll(kProject)));
}

}  // namespace
