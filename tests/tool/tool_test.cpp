// Runs the collinear program as a user would and checks what it prints and
// returns.
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <fstream>
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
  const std::string path = ::testing::TempDir() + "collinear_tool_" + name;
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

}  // namespace
