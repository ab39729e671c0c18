// collinear: photogrammetric computations from the shell.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli_common.h"
#include "commands.h"

namespace {

using collinear::cli::ErrorJson;

// Whether --json was asked for, before (or without) a successful parse.
bool JsonAsked(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--json") return true;
  return false;
}

// A failure: the message on stderr, and under --json the error object on
// stdout, so that a script reading stdout always gets one JSON document.
int Fail(const std::string& prefix,
         const std::string& message,
         int code,
         bool json) {
  std::cerr << "collinear: " << prefix << message << '\n';
  if (json) std::cout << ErrorJson(message, code).dump(2) << '\n';
  return code;
}

int Run(int argc, char** argv) {
  using namespace collinear::cli;
  CLI::App app{
      "collinear: camera calibration, space resection, Helmert transformation "
      "and ray intersection from measured points.\n"
      "Angles are printed in degrees and radians; photo coordinates and "
      "principal distances are millimetres; pixel coordinates start at the "
      "top-left corner of the picture with y pointing down.",
      "collinear"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "collinear " COLLINEAR_VERSION);
  CommonOptions common;
  std::vector<Command> commands;
  commands.push_back(AddHelmert(app, common));
  commands.push_back(AddCalibrate(app, common));
  commands.push_back(AddResect(app, common));
  commands.push_back(AddIntersect(app, common));
  commands.push_back(AddProject(app, common));
  commands.push_back(AddBeam(app, common));
  commands.push_back(AddOrient(app, common));
  commands.push_back(AddTriangulate(app, common));
  // Every number option, of every command: no NaN, infinity or hexadecimal.
  for (CLI::App* sub : app.get_subcommands({}))
    for (CLI::Option* option : sub->get_options())
      if (option->get_type_name().find("FLOAT") != std::string::npos)
        option->check(FiniteNumber());

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0 || !JsonAsked(argc, argv)) {
      const int rc = app.exit(e);
      return rc == 0 ? kExitOk : kExitBadInput;
    }
    return Fail("error: ", e.what(), kExitBadInput, true);
  }
  try {
    for (Command& c : commands)
      if (c.app->parsed()) return c.run();
  } catch (const InputError& e) {
    return Fail("error: ", e.what(), kExitBadInput, common.json);
  } catch (const ComputeError& e) {
    return Fail("failed: ", e.what(), kExitFailed, common.json);
  }
  return kExitBadInput;
}

}  // namespace

// Anything else that escapes a command (memory exhausted, a fault of our
// own) is a failed computation, never a success.
int main(int argc, char** argv) {
  const int failed = collinear::cli::kExitFailed;
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    return Fail("failed: ", e.what(), failed, JsonAsked(argc, argv));
  } catch (...) {
    return Fail("failed: ", "unknown error", failed, JsonAsked(argc, argv));
  }
}
