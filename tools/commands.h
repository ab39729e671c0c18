// Subcommands of the collinear tool. Each Add* function registers one
// subcommand on the root application and returns it with the function that
// runs it after parsing; run returns the exit code or throws InputError
// (exit 2) or ComputeError (exit 1).
#ifndef COLLINEAR_TOOLS_COMMANDS_H_
#define COLLINEAR_TOOLS_COMMANDS_H_

#include <functional>

#include <CLI/CLI.hpp>

#include "cli_common.h"

namespace collinear::cli {

struct Command {
  CLI::App* app = nullptr;
  std::function<int()> run;
};

Command AddHelmert(CLI::App& root, CommonOptions& common);
Command AddIntersect(CLI::App& root, CommonOptions& common);

}  // namespace collinear::cli

#endif  // COLLINEAR_TOOLS_COMMANDS_H_
