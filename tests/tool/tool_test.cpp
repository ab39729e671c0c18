// Runs the collinear program as a user would and checks what it prints and
// returns.
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

struct ToolRun {
  int code = -1;
  std::string out;  // stdout and stderr together
};

ToolRun Tool(const std::string& args) {
  ToolRun r;
  const std::string cmd = std::string(COLLINEAR_TOOL) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Writes text to a file in the test's temporary folder; returns its path.
std::string TempFile(const std::string& name, const std::string& text) {
  // Tests run in parallel processes: keep each test's files apart.
  const std::string test =
      ::testing::UnitTest::GetInstance()->current_test_info()->name();
  const std::string path =
      ::testing::TempDir() + "collinear_tool_" + test + "_" + name;
  std::ofstream(path) << text;
  return path;
}

const std::string kData = COLLINEAR_DATA_DIR;

// The published 2-D conformal transformation example: target E N, source
// x y of three common points.
std::string GhilaniTarget() {
  return TempFile("tgt.txt",
                  "A 1049422.40 51089.20\nB 1049413.95 49659.30\n"
                  "C 1049244.95 49884.95\n");
}
std::string GhilaniSource() {
  return TempFile("src.txt",
                  "A 121.622 -128.066\nB 141.228 187.718\nC 175.802 135.728\n");
}

TEST(ToolHelmert, ReproducesPublishedExample) {
  const ToolRun r =
      Tool("helmert " + GhilaniTarget() + " " + GhilaniSource() +
           " --json --apply " + kData + "/helmert2d-ghilani/transform.txt");
  ASSERT_EQ(r.code, 0) << r.out;
  const auto doc = nlohmann::json::parse(r.out);
  // Published: a = -4.51249, b = -0.25371, Tx = 1050003.715, Ty = 50542.131.
  EXPECT_NEAR(doc["parameters"]["a"].get<double>(), -4.51249, 5e-6);
  EXPECT_NEAR(doc["parameters"]["b"].get<double>(), -0.25371, 5e-6);
  EXPECT_NEAR(doc["parameters"]["c"].get<double>(), 1050003.715, 5e-4);
  EXPECT_NEAR(doc["parameters"]["d"].get<double>(), 50542.131, 5e-4);
  // Published transformed point 1: 1,049,187.361, 51,040.629.
  EXPECT_NEAR(doc["transformed"][0]["X"].get<double>(), 1049187.361, 5e-4);
  EXPECT_NEAR(doc["transformed"][0]["Y"].get<double>(), 51040.629, 5e-4);
  // Residuals come largest first.
  const auto& res = doc["residuals"];
  ASSERT_EQ(res.size(), 3u);
  EXPECT_GE(res[0]["length"].get<double>(), res[1]["length"].get<double>());
  EXPECT_GE(res[1]["length"].get<double>(), res[2]["length"].get<double>());
}

TEST(ToolHelmert, TextReportFlagsLargestResidual) {
  const ToolRun r = Tool("helmert " + GhilaniTarget() + " " + GhilaniSource());
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("<- largest"), std::string::npos);
  EXPECT_NE(r.out.find("rotation [deg]"), std::string::npos);
}

TEST(ToolErrors, BadInputIsExitTwoWithAMessage) {
  const std::string good = GhilaniSource();
  struct Case {
    std::string name, file_text, expected;
  };
  const Case cases[] = {
      {"nonnumeric",
       "A 1 2\nB 1 x\n",
       ":2: point 'B': value 2 'x' is not a finite number"},
      {"nan",
       "A 1 2\nB nan 2\n",
       ":2: point 'B': value 1 'nan' is not a finite number"},
      {"duplicate",
       "A 1 2\nB 3 4\nA 5 6\n",
       ":3: point name 'A' repeats the one on line 1"},
      {"columns",
       "A 1\n",
       ":1: point 'A' has 1 value, expected 2 to 3 after the name"},
      {"empty", "# nothing\n", ": the file holds no points"},
      {"few", "A 1 2\nZ 3 4\n", "1 point name appears in both"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bad = TempFile(c.name + ".txt", c.file_text);
    const ToolRun r = Tool("helmert " + bad + " " + good);
    EXPECT_EQ(r.code, 2) << r.out;
    EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
  }
  const ToolRun missing = Tool("helmert /nonexistent/t.txt " + good);
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.out.find("/nonexistent/t.txt"), std::string::npos);
  EXPECT_EQ(Tool("no-such-command").code, 2);
  EXPECT_EQ(Tool("").code, 2);
  EXPECT_EQ(Tool("helmert --help").code, 0);
}

TEST(ToolIntersect, TwoRayExampleAndParallelRays) {
  const std::string rays = TempFile(
      "rays.txt", "R1 0 0 0 1 1 0 0.001 0.001\nR2 10 0 0 9 1 0 0.001 0.001\n");
  const ToolRun r = Tool("intersect " + rays + " --sigma-unit rad --json");
  ASSERT_EQ(r.code, 0) << r.out;
  const auto doc = nlohmann::json::parse(r.out);
  EXPECT_NEAR(doc["position"]["x"].get<double>(), 5.0, 1e-9);
  EXPECT_NEAR(doc["position"]["y"].get<double>(), 5.0, 1e-9);
  EXPECT_NEAR(doc["position"]["z"].get<double>(), 0.0, 1e-9);
  // Transverse sigma at distance sqrt(50) is 0.001 * sqrt(50) per ray; the
  // two rays cross at right angles, so each fixes one plan axis alone.
  EXPECT_NEAR(
      doc["std_dev"]["x"].get<double>(), 0.001 * std::sqrt(50.0), 1e-12);
  EXPECT_NEAR(
      doc["std_dev"]["y"].get<double>(), 0.001 * std::sqrt(50.0), 1e-12);

  const std::string parallel =
      TempFile("par.txt", "R1 0 0 0 1 1 0\nR2 10 0 0 11 1 0\n");
  const ToolRun p = Tool("intersect " + parallel);
  EXPECT_EQ(p.code, 1);
  EXPECT_NE(p.out.find("parallel"), std::string::npos);

  const std::string zero_sigma =
      TempFile("zero.txt", "R1 0 0 0 1 1 0 0 1\nR2 10 0 0 9 1 0 1 1\n");
  EXPECT_EQ(Tool("intersect " + zero_sigma).code, 2);
}

// Reads a control file of "name X Y Z x y" rows into two point files with
// the object coordinates shifted by (dx, dy, dz).
void SplitControl(const std::string& control,
                  double dx,
                  double dy,
                  double dz,
                  const std::string& obj_path,
                  const std::string& img_path) {
  std::ifstream in(control);
  std::ofstream obj(obj_path), img(img_path);
  obj.precision(17);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream f(line);
    std::string name;
    double X, Y, Z, x, y;
    if (!(f >> name >> X >> Y >> Z >> x >> y)) continue;
    obj << name << ' ' << X + dx << ' ' << Y + dy << ' ' << Z + dz << '\n';
    img << name << ' ' << x << ' ' << y << '\n';
  }
}

TEST(ToolResect, ReproducesPublishedAerialResection) {
  const ToolRun r =
      Tool("resect " + kData +
           "/resection-aerial-4pt/points.txt --focal 153.24 --json");
  ASSERT_EQ(r.code, 0) << r.out;
  const auto doc = nlohmann::json::parse(r.out);
  // Published: Xs = 39795.45 m, Ys = 27476.46 m, Zs = 7572.69 m.
  EXPECT_NEAR(doc["projection_centre"]["X"].get<double>(), 39795.45, 0.01);
  EXPECT_NEAR(doc["projection_centre"]["Y"].get<double>(), 27476.46, 0.01);
  EXPECT_NEAR(doc["projection_centre"]["Z"].get<double>(), 7572.69, 0.01);
  EXPECT_EQ(doc["residuals"].size(), 4u);
  // Too few points and a missing focal length are bad input.
  const std::string three =
      TempFile("three.txt", "1 0 0 0 1 1\n2 10 0 0 2 1\n3 0 10 0 1 2\n");
  EXPECT_EQ(Tool("resect " + three + " --focal 100").code, 2);
  EXPECT_EQ(Tool("resect " + three).code, 2);
  EXPECT_EQ(Tool("resect " + three + " --focal 0").code, 2);
}

TEST(ToolCalibrate, MapGridCoordinatesGiveTheSameCamera) {
  // The same field once in local coordinates and once moved to UTM-like
  // eastings and northings: the camera must not change.
  const std::string control = kData + "/heikkila-3d/points.txt";
  const std::string lo = ::testing::TempDir() + "collinear_local_obj.txt";
  const std::string li = ::testing::TempDir() + "collinear_local_img.txt";
  const std::string go = ::testing::TempDir() + "collinear_grid_obj.txt";
  const std::string gi = ::testing::TempDir() + "collinear_grid_img.txt";
  const double de = 512345.0, dn = 5412345.0, dh = 350.0;
  SplitControl(control, 0, 0, 0, lo, li);
  SplitControl(control, de, dn, dh, go, gi);
  for (const char* model : {"none", "k1k2p1p2"}) {
    SCOPED_TRACE(model);
    const std::string opt = std::string(" --json --model ") + model;
    const ToolRun local = Tool("calibrate " + lo + " " + li + opt);
    const ToolRun grid = Tool("calibrate " + go + " " + gi + opt);
    ASSERT_EQ(local.code, 0) << local.out;
    ASSERT_EQ(grid.code, 0) << grid.out;
    const auto a = nlohmann::json::parse(local.out);
    const auto b = nlohmann::json::parse(grid.out);
    const double kTolPx = 1e-6, kTolMm = 1e-5, kTolRad = 1e-9;
    EXPECT_NEAR(a["principal_point"]["x"].get<double>(),
                b["principal_point"]["x"].get<double>(),
                kTolPx);
    EXPECT_NEAR(a["principal_distance"]["mean"].get<double>(),
                b["principal_distance"]["mean"].get<double>(),
                kTolPx);
    EXPECT_NEAR(a["projection_centre"]["X"].get<double>() + de,
                b["projection_centre"]["X"].get<double>(),
                kTolMm);
    EXPECT_NEAR(a["projection_centre"]["Y"].get<double>() + dn,
                b["projection_centre"]["Y"].get<double>(),
                kTolMm);
    EXPECT_NEAR(a["projection_centre"]["Z"].get<double>() + dh,
                b["projection_centre"]["Z"].get<double>(),
                kTolMm);
    EXPECT_NEAR(a["angles_rad"]["kappa"].get<double>(),
                b["angles_rad"]["kappa"].get<double>(),
                kTolRad);
    EXPECT_NEAR(a["rms"]["total"].get<double>(),
                b["rms"]["total"].get<double>(),
                kTolPx);
  }
}

TEST(ToolCalibrate, HeikkilaSelfCalibrationReducesResiduals) {
  const std::string control = kData + "/heikkila-3d/points.txt";
  const ToolRun dlt = Tool("calibrate " + control + " --json");
  const ToolRun sc = Tool("calibrate " + control + " --json --model k1k2p1p2");
  ASSERT_EQ(dlt.code, 0) << dlt.out;
  ASSERT_EQ(sc.code, 0) << sc.out;
  const auto a = nlohmann::json::parse(dlt.out);
  const auto b = nlohmann::json::parse(sc.out);
  // Plain DLT: principal point near (372.0, 276.7) px (the data set's own
  // plausibility check); the lens distortion leaves about 1 px.
  EXPECT_NEAR(a["principal_point"]["x"].get<double>(), 372.0, 0.5);
  EXPECT_NEAR(a["principal_point"]["y"].get<double>(), 276.7, 0.5);
  EXPECT_GT(a["rms"]["total"].get<double>(), 0.5);
  // Modelled distortion brings the residuals near the data's noise level.
  EXPECT_LT(b["rms"]["total"].get<double>(), 0.15);
  EXPECT_EQ(b["distortion"].size(), 4u);
}

TEST(ToolPlot, WritesSvgAndNothingOnFailure) {
  const std::string svg = ::testing::TempDir() + "collinear_plot.svg";
  std::remove(svg.c_str());
  const ToolRun ok = Tool("calibrate " + kData +
                          "/heikkila-3d/points.txt --model k1k2k3k4 "
                          "--image-size 768,576 --plot " +
                          svg);
  ASSERT_EQ(ok.code, 0) << ok.out;
  std::ifstream f(svg);
  const std::string text((std::istreambuf_iterator<char>(f)),
                         std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("<svg"), std::string::npos);
  EXPECT_NE(text.find("</svg>"), std::string::npos);
  EXPECT_NE(text.find("Radial distortion"), std::string::npos);
  // A failing run (too few points) leaves no plot behind.
  const std::string none = ::testing::TempDir() + "collinear_noplot.svg";
  std::remove(none.c_str());
  const std::string three =
      TempFile("three_plot.txt", "1 0 0 0 1 1\n2 10 0 0 2 1\n3 0 10 0 1 2\n");
  EXPECT_EQ(Tool("calibrate " + three + " --plot " + none).code, 2);
  EXPECT_FALSE(std::ifstream(none).good());
}

// The JSON document of a run whose output may also hold a note on stderr.
nlohmann::json JsonOf(const ToolRun& r) {
  const size_t begin = r.out.find('{'), end = r.out.rfind('}');
  if (begin == std::string::npos || end == std::string::npos) return {};
  return nlohmann::json::parse(r.out.substr(begin, end - begin + 1));
}

// The parameter of that name in a precision section.
nlohmann::json Param(const nlohmann::json& doc, const std::string& name) {
  for (const auto& p : doc["precision"]["parameters"])
    if (p["name"] == name) return p;
  for (const auto& p : doc["precision"]["derived"])
    if (p["name"] == name) return p;
  return {};
}

bool HasWarning(const nlohmann::json& doc, const std::string& reason) {
  for (const auto& w : doc["verdict"]["warnings"])
    if (w["reason"] == reason) return true;
  return false;
}

TEST(ToolQuality, HelmertPrecisionOfThePublishedExample) {
  const ToolRun r =
      Tool("helmert " + GhilaniTarget() + " " + GhilaniSource() + " --json");
  ASSERT_EQ(r.code, 0) << r.out;
  const auto doc = nlohmann::json::parse(r.out);
  // The data set's least-squares check: sigma0 0.1398, sigma a = b =
  // 0.000576, sigma Tx = Ty = 0.1226.
  const double kTolRel = 2e-3;  // the digits given
  EXPECT_NEAR(doc["precision"]["sigma0"].get<double>() / 0.1398, 1, kTolRel);
  EXPECT_NEAR(Param(doc, "a")["sigma"].get<double>() / 0.000576, 1, kTolRel);
  EXPECT_NEAR(Param(doc, "d")["sigma"].get<double>() / 0.1226, 1, kTolRel);
  EXPECT_TRUE(Param(doc, "scale")["sigma"].get<double>() > 0);
  EXPECT_TRUE(Param(doc, "rotation")["sigma_deg"].get<double>() > 0);
  EXPECT_EQ(doc["precision"]["correlation"]["matrix"].size(), 4u);
  EXPECT_TRUE(doc["verdict"]["ok"].get<bool>());
  // Stated noise of 0.05: sigma0 0.14 fails the test; --strict makes it an
  // error, and the report is printed all the same.
  const ToolRun strict = Tool("helmert " + GhilaniTarget() + " " +
                              GhilaniSource() + " --sigma 0.05 --strict");
  EXPECT_EQ(strict.code, 1);
  EXPECT_NE(strict.out.find("[residual_rms]"), std::string::npos);
  EXPECT_NE(strict.out.find("Residuals"), std::string::npos);
  EXPECT_NE(strict.out.find("--strict"), std::string::npos);
}

TEST(ToolQuality, AerialResectionPrecisionAndVerdict) {
  const std::string args =
      "resect " + kData + "/resection-aerial-4pt/points.txt --focal 153.24 ";
  const ToolRun r = Tool(args + "--json --search");
  ASSERT_EQ(r.code, 0) << r.out;
  const auto doc = nlohmann::json::parse(r.out);
  for (const char* name : {"X", "Y", "Z", "omega", "phi", "kappa"}) {
    SCOPED_TRACE(name);
    const double sigma = Param(doc, name)["sigma"].get<double>();
    EXPECT_TRUE(std::isfinite(sigma) && sigma > 0);
  }
  // The file's centre, not the solver frame's.
  EXPECT_NEAR(Param(doc, "X")["value"].get<double>(), 39795.45, 0.01);
  // 4 points for 6 unknowns: a warning, and --strict fails.
  EXPECT_TRUE(HasWarning(doc, "too_few_points"));
  EXPECT_EQ(doc["precision"]["redundancy"].get<int>(), 2);
  // The search finds the published centre and no competitor.
  const auto& amb = doc["ambiguity"];
  EXPECT_EQ(amb["trials"].get<int>(), 40);
  EXPECT_FALSE(amb["ambiguous"].get<bool>());
  EXPECT_NEAR(
      amb["best"]["projection_centre"]["Z"].get<double>(), 7572.69, 0.01);
  EXPECT_FALSE(HasWarning(doc, "ambiguous"));
  EXPECT_EQ(Tool(args + "--strict").code, 1);
}

TEST(ToolQuality, FarViewOfAGridIsAmbiguous) {
  // A 5 x 5 plane grid seen from 5000 units, tilted 0.05 rad about X
  // (kappa 0.2), principal distance 75000: nearly parallel projection, so
  // the view and its mirror across the line of sight fit alike.
  const double dist = 5000.0, tilt = 0.05, kappa = 0.2, f = 15.0 * dist;
  const double cy = dist * std::cos(tilt), sy = -dist * std::sin(tilt);
  std::ostringstream text;
  text.precision(17);
  for (int i = 0; i < 25; ++i) {
    const double X = 2.0 * (i % 5) - 4.0, Y = 2.0 * (i / 5) - 4.0;
    // r = Rx(tilt) Rz(kappa) (P - C) for the convention Rx Ry Rz.
    const double dx = X, dy = Y - sy, dz = -cy;
    const double ax = std::cos(kappa) * dx - std::sin(kappa) * dy;
    const double ay = std::sin(kappa) * dx + std::cos(kappa) * dy;
    const double ry = std::cos(tilt) * ay - std::sin(tilt) * dz;
    const double rz = std::sin(tilt) * ay + std::cos(tilt) * dz;
    // Rounded to 0.01: the measurement noise.
    const double x = std::round(-f * ax / rz * 100) / 100;
    const double y = std::round(-f * ry / rz * 100) / 100;
    text << "G" << i + 1 << ' ' << X << ' ' << Y << " 0 " << x << ' ' << y
         << '\n';
  }
  const std::string control = TempFile("grid_far.txt", text.str());
  const ToolRun r = Tool("resect " + control + " --focal " + std::to_string(f) +
                         " --search --json --strict");
  EXPECT_EQ(r.code, 1) << r.out;
  const auto doc = JsonOf(r);
  ASSERT_TRUE(doc.contains("ambiguity")) << r.out;
  EXPECT_TRUE(doc["ambiguity"]["ambiguous"].get<bool>());
  EXPECT_LE(doc["ambiguity"]["ratio"].get<double>(), 1.5);
  EXPECT_TRUE(HasWarning(doc, "ambiguous"));
  // The two centres lie on either side of the line of sight.
  const double y1 = doc["ambiguity"]["best"]["projection_centre"]["Y"];
  const double y2 = doc["ambiguity"]["second"]["projection_centre"]["Y"];
  EXPECT_LT(y1 * y2, 0.0);
}

TEST(ToolQuality, GrossErrorIsNamedAndCorrelationsFlagged) {
  // Heikkila's field once as published and once with 25 px added to x of
  // point P100.
  const std::string control = kData + "/heikkila-3d/points.txt";
  std::ifstream in(control);
  std::ostringstream bad;
  bad.precision(17);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string name;
    double X, Y, Z, x, y;
    if (line.empty() || line[0] == '#' || !(f >> name >> X >> Y >> Z >> x >> y))
      continue;
    bad << name << ' ' << X << ' ' << Y << ' ' << Z << ' '
        << (name == "P100" ? x + 25.0 : x) << ' ' << y << '\n';
  }
  const std::string bad_path = TempFile("heikkila_bad.txt", bad.str());
  const ToolRun clean = Tool("calibrate " + control + " --json --strict");
  ASSERT_EQ(clean.code, 0) << clean.out;
  const auto c = nlohmann::json::parse(clean.out);
  EXPECT_TRUE(c["verdict"]["ok"].get<bool>());
  // In the pixel frame y0 is reported y down, as the principal point.
  EXPECT_DOUBLE_EQ(Param(c, "y0")["value"].get<double>(),
                   c["principal_point"]["y"].get<double>());
  bool cx_cy = false;
  for (const auto& h : c["precision"]["high_correlations"])
    cx_cy = cx_cy || (h["a"] == "cx" && h["b"] == "cy");
  EXPECT_TRUE(cx_cy);

  const ToolRun r = Tool("calibrate " + bad_path + " --json --strict");
  EXPECT_EQ(r.code, 1);
  const auto doc = JsonOf(r);
  int outliers = 0;
  for (const auto& w : doc["verdict"]["warnings"])
    if (w["reason"] == "outlier") {
      ++outliers;
      EXPECT_EQ(w["point"], "P100");
    }
  EXPECT_EQ(outliers, 1);
  const ToolRun text = Tool("calibrate " + bad_path);
  EXPECT_EQ(text.code, 0);
  EXPECT_NE(text.out.find("point P100: residual"), std::string::npos);
  EXPECT_NE(text.out.find("Correlations above 0.9: cx-cy"), std::string::npos);
}

// A 7 x 7 x 3 target field about the middle of a 1000 x 800 px picture
// (within 161 px of the principal point (500, 400)), imaged through radial
// distortion that folds over at r_fold px: the measured point m satisfies
// m + k1 |m|^2 m = ideal point (offsets from the principal point), k1 = -1 /
// (3 r_fold^2).
std::string DistortedField(const std::string& name, double r_fold) {
  const double k1 = -1.0 / (3.0 * r_fold * r_fold);
  std::ostringstream text;
  text.precision(17);
  int n = 0;
  for (int i = 0; i < 7; ++i)
    for (int j = 0; j < 7; ++j)
      for (int k = 0; k < 3; ++k) {
        const double X = 100.0 * (i - 3), Y = 100.0 * (j - 3), Z = 150.0 * k;
        const double u = 1000.0 * X / (3000.0 - Z);
        const double v = 1000.0 * Y / (3000.0 - Z);
        const double r = std::hypot(u, v);
        double rho = r;  // Newton on rho + k1 rho^3 = r, from rho = r
        for (int it = 0; it < 50; ++it)
          rho -=
              (rho + k1 * rho * rho * rho - r) / (1.0 + 3.0 * k1 * rho * rho);
        const double s = r > 0 ? rho / r : 1.0;
        text << "T" << ++n << ' ' << X << ' ' << Y << ' ' << Z << ' '
             << 500.0 + s * u << ' ' << 400.0 - s * v << '\n';
      }
  return TempFile(name, text.str());
}

TEST(ToolQuality, DistortionFoldingInsideThePictureIsReported) {
  for (double r_fold : {600.0, 3000.0}) {
    SCOPED_TRACE(r_fold);
    const std::string field =
        DistortedField("fold" + std::to_string(int(r_fold)) + ".txt", r_fold);
    const ToolRun r = Tool("calibrate " + field +
                           " --model k1k2p1p2 --image-size 1000,800 --json");
    ASSERT_EQ(r.code, 0) << r.out;
    const auto doc = nlohmann::json::parse(r.out);
    const auto& v = doc["distortion_validity"];
    EXPECT_NEAR(v["picture_radius"].get<double>(), std::hypot(500, 400), 1.0);
    const bool folds = r_fold < 640.0;
    EXPECT_EQ(v["ok"].get<bool>(), !folds);
    EXPECT_EQ(HasWarning(doc, "distortion_invalid"), folds);
    if (folds) {
      // The fitted model reproduces the fold radius of the data.
      EXPECT_NEAR(v["valid_radius"].get<double>(), r_fold, 0.05 * r_fold);
    }
  }
}

TEST(ToolQuality, PlotCaptionCarriesVerdictAndDeviations) {
  const std::string svg = ::testing::TempDir() + "collinear_quality.svg";
  std::remove(svg.c_str());
  const ToolRun r =
      Tool("calibrate " + kData +
           "/heikkila-3d/points.txt --image-size 768,576 --plot " + svg);
  ASSERT_EQ(r.code, 0) << r.out;
  std::ifstream f(svg);
  const std::string text((std::istreambuf_iterator<char>(f)),
                         std::istreambuf_iterator<char>());
  EXPECT_NE(text.find(">Verdict: ok<"), std::string::npos);
  EXPECT_NE(text.find("Largest standard deviations: "), std::string::npos);
}

}  // namespace
