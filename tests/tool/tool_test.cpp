// Runs the collinear program as a user would and checks what it prints and
// returns.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tool_run.h"

namespace {

using tool_test::TempFile;
using tool_test::ToolRun;

ToolRun Tool(const std::string& args) { return tool_test::RunTool(args, true); }

double Num(const nlohmann::json& j) { return j.get<double>(); }

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

TEST(ToolHelmert, ReproducesPublishedExample) {
  const ToolRun r =
      Tool("helmert " + GhilaniTarget() + " " + GhilaniSource() +
           " --json --apply " + kData + "/helmert2d-ghilani/transform.txt");
  ASSERT_EQ(r.code, 0) << r.out;
  const auto doc = nlohmann::json::parse(r.out);
  // Published: a = -4.51249, b = -0.25371, Tx = 1050003.715, Ty = 50542.131.
  EXPECT_NEAR(Num(doc["parameters"]["a"]), -4.51249, 5e-6);
  EXPECT_NEAR(Num(doc["parameters"]["b"]), -0.25371, 5e-6);
  EXPECT_NEAR(Num(doc["parameters"]["c"]), 1050003.715, 5e-4);
  EXPECT_NEAR(Num(doc["parameters"]["d"]), 50542.131, 5e-4);
  // Published transformed point 1: 1,049,187.361, 51,040.629.
  EXPECT_NEAR(Num(doc["transformed"][0]["X"]), 1049187.361, 5e-4);
  EXPECT_NEAR(Num(doc["transformed"][0]["Y"]), 51040.629, 5e-4);
  // Residuals come largest first.
  const auto& res = doc["residuals"];
  ASSERT_EQ(res.size(), 3u);
  EXPECT_GE(Num(res[0]["length"]), Num(res[1]["length"]));
  EXPECT_GE(Num(res[1]["length"]), Num(res[2]["length"]));
  // The data set's least-squares check: sigma0 0.1398, sigma a = b =
  // 0.000576, sigma Tx = Ty = 0.1226.
  const double kTolRel = 2e-3;  // the digits given
  EXPECT_NEAR(Num(doc["precision"]["sigma0"]) / 0.1398, 1, kTolRel);
  EXPECT_NEAR(Num(Param(doc, "a")["sigma"]) / 0.000576, 1, kTolRel);
  EXPECT_NEAR(Num(Param(doc, "d")["sigma"]) / 0.1226, 1, kTolRel);
  EXPECT_TRUE(Num(Param(doc, "scale")["sigma"]) > 0);
  EXPECT_TRUE(Num(Param(doc, "rotation")["sigma_deg"]) > 0);
  EXPECT_EQ(doc["precision"]["correlation"]["matrix"].size(), 4u);
  EXPECT_TRUE(doc["verdict"]["ok"].get<bool>());
}

TEST(ToolHelmert, TextReportAndStrictVerdict) {
  const std::string args = "helmert " + GhilaniTarget() + " " + GhilaniSource();
  const ToolRun r = Tool(args);
  ASSERT_EQ(r.code, 0) << r.out;
  // Stated noise of 0.05: sigma0 0.14 fails the test; --strict makes it an
  // error, and the report is printed all the same.
  const ToolRun strict = Tool(args + " --sigma 0.05 --strict");
  EXPECT_EQ(strict.code, 1);
  for (const ToolRun* t : {&r, &strict}) {
    EXPECT_NE(t->out.find("<- largest"), std::string::npos);
    EXPECT_NE(t->out.find("rotation [deg]"), std::string::npos);
  }
  EXPECT_NE(strict.out.find("[residual_rms]"), std::string::npos);
  EXPECT_NE(strict.out.find("Residuals"), std::string::npos);
  EXPECT_NE(strict.out.find("--strict"), std::string::npos);
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
  // Too few points and a missing focal length are bad input.
  const std::string three =
      TempFile("three.txt", "1 0 0 0 1 1\n2 10 0 0 2 1\n3 0 10 0 1 2\n");
  EXPECT_EQ(Tool("resect " + three + " --focal 100").code, 2);
  EXPECT_EQ(Tool("resect " + three).code, 2);
  EXPECT_EQ(Tool("resect " + three + " --focal 0").code, 2);
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
  EXPECT_NEAR(Num(doc["position"]["x"]), 5.0, 1e-9);
  EXPECT_NEAR(Num(doc["position"]["y"]), 5.0, 1e-9);
  EXPECT_NEAR(Num(doc["position"]["z"]), 0.0, 1e-9);
  // Transverse sigma at distance sqrt(50) is 0.001 * sqrt(50) per ray; the
  // two rays cross at right angles, so each fixes one plan axis alone.
  EXPECT_NEAR(Num(doc["std_dev"]["x"]), 0.001 * std::sqrt(50.0), 1e-12);
  EXPECT_NEAR(Num(doc["std_dev"]["y"]), 0.001 * std::sqrt(50.0), 1e-12);

  const std::string parallel =
      TempFile("par.txt", "R1 0 0 0 1 1 0\nR2 10 0 0 11 1 0\n");
  const ToolRun p = Tool("intersect " + parallel);
  EXPECT_EQ(p.code, 1);
  EXPECT_NE(p.out.find("parallel"), std::string::npos);

  const std::string zero_sigma =
      TempFile("zero.txt", "R1 0 0 0 1 1 0 0 1\nR2 10 0 0 9 1 0 1 1\n");
  EXPECT_EQ(Tool("intersect " + zero_sigma).code, 2);
}

struct ControlRow {
  std::string name;
  double X, Y, Z, x, y;
};

// The "name X Y Z x y" rows of a control file.
std::vector<ControlRow> ControlRows(const std::string& path) {
  std::ifstream in(path);
  std::vector<ControlRow> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    ControlRow r;
    if (line.empty() || line[0] == '#' ||
        !(f >> r.name >> r.X >> r.Y >> r.Z >> r.x >> r.y))
      continue;
    rows.push_back(r);
  }
  return rows;
}

// Splits a control file into two point files with the object coordinates
// shifted by (dx, dy, dz).
void SplitControl(const std::string& control,
                  double dx,
                  double dy,
                  double dz,
                  const std::string& obj_path,
                  const std::string& img_path) {
  std::ofstream obj(obj_path), img(img_path);
  obj.precision(17);
  for (const ControlRow& r : ControlRows(control)) {
    obj << r.name << ' ' << r.X + dx << ' ' << r.Y + dy << ' ' << r.Z + dz
        << '\n';
    img << r.name << ' ' << r.x << ' ' << r.y << '\n';
  }
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
    const struct {
      const char *section, *key;
      double shift, tol;
    } kValues[] = {{"principal_point", "x", 0, kTolPx},
                   {"principal_distance", "mean", 0, kTolPx},
                   {"projection_centre", "X", de, kTolMm},
                   {"projection_centre", "Y", dn, kTolMm},
                   {"projection_centre", "Z", dh, kTolMm},
                   {"angles_rad", "kappa", 0, kTolRad},
                   {"rms", "total", 0, kTolPx}};
    for (const auto& v : kValues) {
      EXPECT_NEAR(
          Num(a[v.section][v.key]) + v.shift, Num(b[v.section][v.key]), v.tol)
          << v.section << "." << v.key;
    }
  }
}

TEST(ToolCalibrate, HeikkilaSelfCalibrationReducesResiduals) {
  const std::string control = kData + "/heikkila-3d/points.txt";
  const std::string svg = tool_test::TempPath("plot.svg");
  std::remove(svg.c_str());
  const ToolRun dlt =
      Tool("calibrate " + control +
           " --json --strict --image-size 768,576 --plot " + svg);
  const ToolRun sc = Tool("calibrate " + control + " --json --model k1k2p1p2");
  ASSERT_EQ(dlt.code, 0) << dlt.out;
  ASSERT_EQ(sc.code, 0) << sc.out;
  const auto a = nlohmann::json::parse(dlt.out);
  const auto b = nlohmann::json::parse(sc.out);
  // Plain DLT: principal point near (372.0, 276.7) px (the data set's own
  // plausibility check); the lens distortion leaves about 1 px.
  EXPECT_NEAR(Num(a["principal_point"]["x"]), 372.0, 0.5);
  EXPECT_NEAR(Num(a["principal_point"]["y"]), 276.7, 0.5);
  EXPECT_GT(Num(a["rms"]["total"]), 0.5);
  EXPECT_TRUE(a["verdict"]["ok"].get<bool>());
  // In the pixel frame y0 is reported y down, as the principal point.
  EXPECT_DOUBLE_EQ(Num(Param(a, "y0")["value"]),
                   Num(a["principal_point"]["y"]));
  bool cx_cy = false;
  for (const auto& h : a["precision"]["high_correlations"])
    cx_cy = cx_cy || (h["a"] == "cx" && h["b"] == "cy");
  EXPECT_TRUE(cx_cy);
  // The plot's caption carries the verdict and the deviations.
  const std::string plot = tool_test::ReadAll(svg);
  EXPECT_NE(plot.find(">Verdict: ok<"), std::string::npos);
  EXPECT_NE(plot.find("Largest standard deviations: "), std::string::npos);
  // Modelled distortion brings the residuals near the data's noise level.
  EXPECT_LT(Num(b["rms"]["total"]), 0.15);
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
  const std::string text = tool_test::ReadAll(svg);
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

TEST(ToolResect, PublishedAerialResectionPrecisionAndVerdict) {
  const std::string args =
      "resect " + kData + "/resection-aerial-4pt/points.txt --focal 153.24 ";
  const ToolRun r = Tool(args + "--json --search");
  ASSERT_EQ(r.code, 0) << r.out;
  const auto doc = nlohmann::json::parse(r.out);
  for (const char* name : {"X", "Y", "Z", "omega", "phi", "kappa"}) {
    SCOPED_TRACE(name);
    const double sigma = Num(Param(doc, name)["sigma"]);
    EXPECT_TRUE(std::isfinite(sigma) && sigma > 0);
  }
  // Published: Xs = 39795.45 m, Ys = 27476.46 m, Zs = 7572.69 m.
  EXPECT_NEAR(Num(doc["projection_centre"]["X"]), 39795.45, 0.01);
  EXPECT_NEAR(Num(doc["projection_centre"]["Y"]), 27476.46, 0.01);
  EXPECT_NEAR(Num(doc["projection_centre"]["Z"]), 7572.69, 0.01);
  EXPECT_EQ(doc["residuals"].size(), 4u);
  // The file's centre, not the solver frame's.
  EXPECT_NEAR(Num(Param(doc, "X")["value"]), 39795.45, 0.01);
  // 4 points for 6 unknowns: a warning, and --strict fails.
  EXPECT_TRUE(HasWarning(doc, "too_few_points"));
  EXPECT_EQ(doc["precision"]["redundancy"].get<int>(), 2);
  // The search finds the published centre and no competitor.
  const auto& amb = doc["ambiguity"];
  EXPECT_EQ(amb["trials"].get<int>(), 40);
  EXPECT_FALSE(amb["ambiguous"].get<bool>());
  EXPECT_NEAR(Num(amb["best"]["projection_centre"]["Z"]), 7572.69, 0.01);
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
  EXPECT_LE(Num(doc["ambiguity"]["ratio"]), 1.5);
  EXPECT_TRUE(HasWarning(doc, "ambiguous"));
  // The two centres lie on either side of the line of sight.
  const double y1 = doc["ambiguity"]["best"]["projection_centre"]["Y"];
  const double y2 = doc["ambiguity"]["second"]["projection_centre"]["Y"];
  EXPECT_LT(y1 * y2, 0.0);
}

TEST(ToolQuality, GrossErrorIsNamed) {
  // Heikkila's field with 25 px added to x of point P100.
  const std::string control = kData + "/heikkila-3d/points.txt";
  std::ostringstream bad;
  bad.precision(17);
  for (const ControlRow& r : ControlRows(control))
    bad << r.name << ' ' << r.X << ' ' << r.Y << ' ' << r.Z << ' '
        << (r.name == "P100" ? r.x + 25.0 : r.x) << ' ' << r.y << '\n';
  const std::string bad_path = TempFile("heikkila_bad.txt", bad.str());
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
    EXPECT_NEAR(Num(v["picture_radius"]), std::hypot(500, 400), 1.0);
    const bool folds = r_fold < 640.0;
    EXPECT_EQ(v["ok"].get<bool>(), !folds);
    EXPECT_EQ(HasWarning(doc, "distortion_invalid"), folds);
    if (folds) {
      // The fitted model reproduces the fold radius of the data.
      EXPECT_NEAR(Num(v["valid_radius"]), r_fold, 0.05 * r_fold);
    }
  }
}

}  // namespace
