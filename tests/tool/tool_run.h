// Runs the collinear program as a user would, for the end-to-end tests:
// what it prints, what it returns, and the files it reads.
#ifndef COLLINEAR_TESTS_TOOL_TOOL_RUN_H_
#define COLLINEAR_TESTS_TOOL_TOOL_RUN_H_

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace tool_test {

struct ToolRun {
  int code = -1;
  std::string out, err;  // err is empty when merged into out
};

inline std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// A path in the temporary folder that no other test uses (tests run in
// parallel processes).
inline std::string TempPath(const std::string& name) {
  const std::string test =
      ::testing::UnitTest::GetInstance()->current_test_info()->name();
  return ::testing::TempDir() + "collinear_tool_" + test + "_" + name;
}

// Writes text to TempPath(name); returns the path.
inline std::string TempFile(const std::string& name, const std::string& text) {
  const std::string path = TempPath(name);
  std::ofstream(path) << text;
  return path;
}

// Runs the tool with args; stderr into out when merged, else apart (so
// that --json output parses).
inline ToolRun RunTool(const std::string& args, bool merged) {
  ToolRun r;
  static int calls = 0;
  const std::string err_path = TempPath("stderr_" + std::to_string(getpid()) +
                                        "_" + std::to_string(++calls));
  const std::string cmd = std::string(COLLINEAR_TOOL) + " " + args +
                          (merged ? " 2>&1" : " 2>" + err_path);
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (!merged) {
    r.err = ReadAll(err_path);
    std::remove(err_path.c_str());
  }
  return r;
}

}  // namespace tool_test

#endif  // COLLINEAR_TESTS_TOOL_TOOL_RUN_H_
