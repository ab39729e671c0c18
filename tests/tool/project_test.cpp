// Runs the project, beam and orient commands of the collinear program on
// the example project and on broken copies of it, as a user would.
#include <cmath>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tool_run.h"

namespace {

using Json = nlohmann::ordered_json;

using tool_test::ReadAll;
using tool_test::TempFile;
using tool_test::ToolRun;

ToolRun Tool(const std::string& args) {
  return tool_test::RunTool(args, false);
}

const std::string kExample =
    std::string(COLLINEAR_SOURCE_DIR) + "/examples/project/project.json";

Json Example() { return Json::parse(ReadAll(kExample)); }

// A copy of the example, changed by edit, written to a temporary file.
template <class Edit>
std::string ChangedCopy(const std::string& name, Edit edit) {
  Json doc = Example();
  edit(doc);
  return TempFile(name, doc.dump(2));
}

Json& ImageOf(Json& doc, const std::string& id) {
  for (Json& img : doc["images"])
    if (img["id"] == id) return img;
  throw std::runtime_error("no image " + id);
}

Json PointOf(const Json& doc, const std::string& name) {
  for (const Json& p : doc["points"])
    if (p["name"] == name) return p;
  throw std::runtime_error("no point " + name);
}

double Num(const Json& j) { return j.get<double>(); }

// Orientation differences between the tool's output and an exterior in
// the file (degrees).
void ExpectSamePose(const Json& centre,
                    const Json& angles,
                    const Json& exterior,
                    double tol_m,
                    double tol_deg) {
  EXPECT_NEAR(Num(centre["x"]), Num(exterior["x"]), tol_m);
  EXPECT_NEAR(Num(centre["y"]), Num(exterior["y"]), tol_m);
  EXPECT_NEAR(Num(centre["z"]), Num(exterior["z"]), tol_m);
  EXPECT_NEAR(Num(angles["omega_deg"]), Num(exterior["omega"]), tol_deg);
  EXPECT_NEAR(Num(angles["phi_deg"]), Num(exterior["phi"]), tol_deg);
  EXPECT_NEAR(Num(angles["kappa_deg"]), Num(exterior["kappa"]), tol_deg);
}

// The example's pixels carry 0.2 px of noise.
constexpr double kNoisePx = 0.2;

TEST(ToolProject, StoredOrientationReproducesTheMeasuredPixels) {
  const ToolRun r = Tool("project " + kExample + " --image IMG_0101 --json");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  const Json doc = Json::parse(r.out);
  EXPECT_EQ(doc["orientation_from"], "stored exterior orientation");
  Json example = Example();
  ExpectSamePose(doc["projection_centre"],
                 doc["angles"],
                 ImageOf(example, "IMG_0101")["exterior"],
                 1e-6,
                 1e-6);
  int measured = 0;
  double sum2 = 0;
  for (const Json& p : doc["points"]) {
    if (!p.contains("measured")) continue;
    ++measured;
    EXPECT_TRUE(p["in_picture"].get<bool>()) << p["name"];
    const double dx = Num(p["measured"]["dx"]), dy = Num(p["measured"]["dy"]);
    EXPECT_LT(std::hypot(dx, dy), 5 * kNoisePx) << p["name"];
    sum2 += dx * dx + dy * dy;
  }
  EXPECT_GE(measured, 10);
  EXPECT_LT(std::sqrt(sum2 / measured), 2 * kNoisePx);
  EXPECT_GT(doc["visible"].get<int>(), measured - 1);
}

TEST(ToolProject, TotalStationImageAgreesWithItsResection) {
  const ToolRun ts = Tool("project " + kExample + " --image TS_0001 --json");
  ASSERT_EQ(ts.code, 0) << ts.out << ts.err;
  const Json t = Json::parse(ts.out);
  EXPECT_EQ(t["orientation_from"], "total station ST1, measurement pic1");
  // The same picture oriented from its control points alone.
  const ToolRun re = Tool("orient " + kExample + " --image TS_0001 --json");
  ASSERT_EQ(re.code, 0) << re.out << re.err;
  const Json o = Json::parse(re.out)["images"][0];
  ASSERT_EQ(o["status"], "oriented");
  // Resection of a 6 mm camera at 30 m with 0.2 px noise: centimetres.
  const double kTolM = 0.05, kTolDeg = 0.05;
  Json exterior = {{"x", t["projection_centre"]["x"]},
                   {"y", t["projection_centre"]["y"]},
                   {"z", t["projection_centre"]["z"]},
                   {"omega", t["angles"]["omega_deg"]},
                   {"phi", t["angles"]["phi_deg"]},
                   {"kappa", t["angles"]["kappa_deg"]}};
  ExpectSamePose(o["projection_centre"], o["angles"], exterior, kTolM, kTolDeg);
  // The camera sits 9 cm from the instrument centre, 1.62 m above ST1.
  const Json st = PointOf(Example(), "ST1");
  const double dx = Num(t["projection_centre"]["x"]) - Num(st["x"]);
  const double dy = Num(t["projection_centre"]["y"]) - Num(st["y"]);
  const double dz = Num(t["projection_centre"]["z"]) - Num(st["z"]) - 1.62;
  EXPECT_NEAR(
      std::sqrt(dx * dx + dy * dy + dz * dz), std::hypot(0.085, 0.03), 1e-9);
}

TEST(ToolOrient, RecoversTheTrueOrientations) {
  const ToolRun r = Tool("orient " + kExample + " --json");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  const Json doc = Json::parse(r.out);
  Json example = Example();
  ASSERT_EQ(doc["images"].size(), 4u);
  for (const Json& img : doc["images"]) {
    SCOPED_TRACE(img["id"].get<std::string>());
    ASSERT_EQ(img["status"], "oriented");
    EXPECT_LT(Num(img["rms_px"]), 2 * kNoisePx);
    EXPECT_GT(Num(img["rms_px"]), 0.25 * kNoisePx);  // the noise is there
    const Json& file = ImageOf(example, img["id"]);
    const Json& truth =
        file.contains("exterior") ? file["exterior"] : file["_true_exterior"];
    // A 24 mm camera at 25 m from a dozen points with 0.2 px noise.
    ExpectSamePose(img["projection_centre"], img["angles"], truth, 0.05, 0.05);
  }
}

TEST(ToolOrient, WriteStoresTheOrientationAndKeepsTheRest) {
  const std::string path = ChangedCopy("write.json", [](Json&) {});
  const ToolRun r = Tool("orient " + path + " --image IMG_0102 --write");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Written to " + path), std::string::npos) << r.out;
  Json after = Json::parse(ReadAll(path));
  Json before = Example();
  ASSERT_TRUE(ImageOf(after, "IMG_0102").contains("exterior"));
  ImageOf(after, "IMG_0102").erase("exterior");
  EXPECT_EQ(after, before);  // nothing else changed, order included
  // The stored orientation now serves the project command.
  const ToolRun p = Tool("project " + path + " --image IMG_0102 --json");
  ASSERT_EQ(p.code, 0) << p.out << p.err;
  EXPECT_EQ(Json::parse(p.out)["orientation_from"],
            "stored exterior orientation");
}

TEST(ToolBeam, RayThroughAMeasuredPointPassesThroughIt) {
  Json example = Example();
  const Json& img = ImageOf(example, "IMG_0103");
  const Json& m = img["control"][0];
  const Json pt = PointOf(example, m["point"].get<std::string>());
  ASSERT_TRUE(pt.contains("x")) << "the first control point is in UTM";
  const ToolRun o = Tool("orient " + kExample + " --image IMG_0103 --json");
  ASSERT_EQ(o.code, 0);
  const Json c = Json::parse(o.out)["images"][0]["projection_centre"];
  const double dist = std::sqrt(std::pow(Num(pt["x"]) - Num(c["x"]), 2) +
                                std::pow(Num(pt["y"]) - Num(c["y"]), 2) +
                                std::pow(Num(pt["z"]) - Num(c["z"]), 2));
  // Oriented first, then the ray: the written copy has the exterior.
  const std::string path = ChangedCopy("beam.json", [](Json&) {});
  ASSERT_EQ(Tool("orient " + path + " --image IMG_0103 --write").code, 0);
  char pixel[64];
  std::snprintf(pixel,
                sizeof pixel,
                "%.17g,%.17g",
                Num(m["pixel"][0]),
                Num(m["pixel"][1]));
  const ToolRun r = Tool("beam " + path + " --image IMG_0103 --pixel " + pixel +
                         " --distance " + std::to_string(dist) + " --height " +
                         std::to_string(Num(pt["z"])) + " --json");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  const Json ray = Json::parse(r.out)["rays"][0];
  // 0.2 px of noise at 25 m with 4.9 um pixels and 24 mm: about 1 mm.
  const double kTolM = 0.01;
  EXPECT_NEAR(Num(ray["at_distance"]["x"]), Num(pt["x"]), kTolM);
  EXPECT_NEAR(Num(ray["at_distance"]["y"]), Num(pt["y"]), kTolM);
  EXPECT_NEAR(Num(ray["at_distance"]["z"]), Num(pt["z"]), kTolM);
  // The level of the point is met near it too (less steeply: looser).
  EXPECT_NEAR(Num(ray["at_height"]["x"]), Num(pt["x"]), 10 * kTolM);
  EXPECT_NEAR(Num(ray["at_height"]["y"]), Num(pt["y"]), 10 * kTolM);
  const Json& d = ray["direction"];
  EXPECT_NEAR(std::hypot(Num(d["x"]), std::hypot(Num(d["y"]), Num(d["z"]))),
              1.0,
              1e-12);
}

TEST(ToolProject, TextOutputIsATable) {
  const ToolRun r =
      Tool("project " + kExample + " --image IMG_0101 --point P01 --point D1");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Orientation from: stored exterior orientation"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("P01"), std::string::npos);
  EXPECT_NE(r.out.find("visible"), std::string::npos);
  EXPECT_NE(r.out.find("2 points visible"), std::string::npos) << r.out;
  const ToolRun o = Tool("orient " + kExample + " --image IMG_0102");
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_NE(o.out.find("<- largest"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("omega"), std::string::npos);
}

TEST(ToolProject, TheFormatsPageExampleLoads) {
  // The first JSON block of the project file's section.
  const std::string page =
      ReadAll(std::string(COLLINEAR_SOURCE_DIR) + "/docs/formats.md");
  const std::size_t section = page.find("## 4. Project file");
  ASSERT_NE(section, std::string::npos);
  const std::size_t begin = page.find("```json\n", section);
  ASSERT_NE(begin, std::string::npos);
  const std::size_t end = page.find("```", begin + 8);
  const std::string path =
      TempFile("formats.json", page.substr(begin + 8, end - begin - 8));
  for (const char* image : {"IMG_0101", "TS_0001"}) {
    SCOPED_TRACE(image);
    const ToolRun r =
        Tool("project " + path + " --image " + image + " --point P01 --json");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Json::parse(r.out)["points"][0]["in_picture"].get<bool>());
  }
}

TEST(ToolProjectErrors, BadInputIsExitTwoWithAMessage) {
  struct Case {
    std::string what, args, expected;
  };
  const std::string few = ChangedCopy("few.json", [](Json& d) {
    Json& img = ImageOf(d, "IMG_0102");
    img["control"].erase(img["control"].begin() + 3, img["control"].end());
  });
  const std::string zero = ChangedCopy(
      "zero.json", [](Json& d) { d["cameras"][0]["focal_length_mm"] = 0; });
  const std::string unknown_point = ChangedCopy("point.json", [](Json& d) {
    ImageOf(d, "IMG_0101")["control"][2]["point"] = "P99";
  });
  const std::string syntax = TempFile(
      "syntax.json", "{\n  \"coordinate_systems\": [\n    {\"id\": 1,}\n");
  const Case cases[] = {
      {"unknown image",
       "project " + kExample + " --image IMG_9",
       "unknown image 'IMG_9' (images: IMG_0101, IMG_0102, IMG_0103, "
       "TS_0001)"},
      {"missing file",
       "project /nonexistent/p.json --image A",
       "/nonexistent/p.json"},
      {"zero focal length",
       "project " + zero + " --image IMG_0101",
       "cameras[0].focal_length_mm: must be greater than 0 (it is 0)"},
      {"unknown point in file",
       "orient " + unknown_point,
       "images[0].control[2].point: unknown point 'P99'"},
      {"not JSON",
       "orient " + syntax,
       "line 3, column 14: not valid JSON: syntax error"},
      {"too few points to project",
       "project " + few + " --image IMG_0102",
       "image 'IMG_0102' has no orientation: no stored exterior orientation, "
       "and 3 control point(s) where a resection needs at least 4"},
      {"too few points to orient",
       "orient " + few + " --image IMG_0102",
       "image 'IMG_0102': 3 control point(s); a resection needs at least 4"},
      {"no control points",
       "orient " + kExample + " --image TS_0001x",
       "unknown image 'TS_0001x'"},
      {"unknown --point",
       "project " + kExample + " --image IMG_0101 --point Q",
       "unknown point 'Q'"},
      {"bad --pixel",
       "beam " + kExample + " --image IMG_0101 --pixel 12",
       "--pixel '12': give two finite numbers X,Y"},
      {"nan --pixel",
       "beam " + kExample + " --image IMG_0101 --pixel nan,3",
       "--pixel 'nan,3'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ToolRun r = Tool(c.args);
    EXPECT_EQ(r.code, 2) << r.out << r.err;
    EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
    if (c.what != "too few points to orient") {
      EXPECT_EQ(r.out, "");
    }
  }
  EXPECT_EQ(Tool("orient --help").code, 0);
  EXPECT_EQ(Tool("beam " + kExample + " --image IMG_0101").code, 2);
}

TEST(ToolProjectErrors, DegenerateControlFailsWithExitOne) {
  // Every control point measured at one pixel: no camera fits. The
  // resection either fails, or ends with the camera at a great distance,
  // where every point projects to one pixel.
  const std::string path = ChangedCopy("degenerate.json", [](Json& d) {
    for (const char* id : {"IMG_0101", "IMG_0102"})
      for (Json& m : ImageOf(d, id)["control"]) m["pixel"] = {100, 100};
    ImageOf(d, "IMG_0101").erase("exterior");
  });
  struct Case {
    const char* image;
    const char *orient, *project;
  };
  const Case cases[] = {
      {"IMG_0101",
       "  image 'IMG_0101': the space resection did not converge",
       "image 'IMG_0101' has no orientation: the space resection from 15 "
       "control points did not converge"},
      {"IMG_0102",
       "  image 'IMG_0102': the space resection put the camera ",
       "image 'IMG_0102' has no orientation: the space resection put the "
       "camera "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    const ToolRun o = Tool("orient " + path + " --image " + c.image);
    EXPECT_EQ(o.code, 1) << o.out << o.err;
    EXPECT_NE(o.err.find(std::string("collinear: failed: 1 of 1 image(s) not "
                                     "oriented:\n") +
                         c.orient),
              std::string::npos)
        << o.err;
    const ToolRun p = Tool("project " + path + " --image " + c.image);
    EXPECT_EQ(p.code, 1) << p.out << p.err;
    EXPECT_NE(p.err.find(c.project), std::string::npos) << p.err;
  }
}

TEST(ToolProjectErrors, FailedOrientationWritesNothing) {
  const std::string path = ChangedCopy("nowrite.json", [](Json& d) {
    Json& img = ImageOf(d, "IMG_0103");
    img["control"].erase(img["control"].begin() + 2, img["control"].end());
  });
  const std::string before = ReadAll(path);
  const ToolRun r = Tool("orient " + path + " --write");
  EXPECT_EQ(r.code, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("1 of 4 image(s) not oriented (nothing written)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadAll(path), before);
}

}  // namespace
