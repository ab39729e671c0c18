// collinear: photogrammetric computations from the shell.
#include <cstdio>
#include <exception>
#include <iostream>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli_common.h"
#include "commands.h"

namespace {

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

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitBadInput;
  }
  try {
    for (Command& c : commands)
      if (c.app->parsed()) return c.run();
  } catch (const InputError& e) {
    std::cerr << "collinear: error: " << e.what() << '\n';
    return kExitBadInput;
  } catch (const ComputeError& e) {
    std::cerr << "collinear: failed: " << e.what() << '\n';
    return kExitFailed;
  }
  return kExitBadInput;
}

}  // namespace

// Anything else that escapes a command (memory exhausted, a fault of our
// own) is a failed computation, never a success.
int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "collinear: failed: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "collinear: failed: unknown error\n");
  }
  return collinear::cli::kExitFailed;
}
