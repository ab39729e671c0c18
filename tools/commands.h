// Subcommands of the collinear tool. Each Add* function registers one
// subcommand on the root application and returns it with the function that
// runs it after parsing; run returns the exit code or throws InputError
// (exit 2) or ComputeError (exit 1).
#ifndef COLLINEAR_TOOLS_COMMANDS_H_
#define COLLINEAR_TOOLS_COMMANDS_H_

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli_common.h"

namespace collinear::cli {

// Checks of numeric option values, with plain messages: every number
// option is finite (main adds the check to all of them), and some must be
// positive or not negative. A token that is no number at all is left to
// the option's conversion, which names it.
CLI::Validator FiniteNumber();
CLI::Validator PositiveNumber();
CLI::Validator NonNegativeNumber();

struct Command {
  CLI::App* app = nullptr;
  std::function<int()> run;
};

// --decimals, --max-rows and --json, shared by every command.
inline void AddOutputOptions(CLI::App* app,
                             int& decimals,
                             CommonOptions& common) {
  app->add_option("--decimals", decimals, "decimals of printed values")
      ->capture_default_str()
      ->check(CLI::Range(0, 12));
  app->add_option("--max-rows",
                  common.max_rows,
                  "print at most this many rows of a residual table "
                  "(largest first; 0: all)")
      ->check(NonNegativeNumber());
  app->add_flag("--json", common.json, "machine-readable JSON output");
}

// --plot FILE and --image-size W,H of the commands that draw residuals;
// size_note ends the help of --image-size.
inline void AddPlotOptions(CLI::App* app,
                           std::string& plot,
                           std::vector<double>& image_size,
                           const std::string& plot_help,
                           const std::string& size_note) {
  app->add_option("--plot", plot, plot_help);
  app->add_option(
         "--image-size",
         image_size,
         "picture width,height in pixels, for the plot frame" + size_note)
      ->delimiter(',')
      ->expected(2)
      ->check(PositiveNumber());
}

// OBJECT_POINTS [IMAGE_POINTS] of the calibrate and resect commands.
inline void AddControlFiles(CLI::App* app,
                            std::string& object,
                            std::string& image) {
  app->add_option("OBJECT_POINTS", object, "object points or control file")
      ->required()
      ->check(CLI::ExistingFile);
  app->add_option("IMAGE_POINTS", image, "image points")
      ->check(CLI::ExistingFile);
}

Command AddHelmert(CLI::App& root, CommonOptions& common);
Command AddIntersect(CLI::App& root, CommonOptions& common);
Command AddCalibrate(CLI::App& root, CommonOptions& common);
Command AddResect(CLI::App& root, CommonOptions& common);
Command AddProject(CLI::App& root, CommonOptions& common);
Command AddBeam(CLI::App& root, CommonOptions& common);
Command AddOrient(CLI::App& root, CommonOptions& common);
Command AddTriangulate(CLI::App& root, CommonOptions& common);

}  // namespace collinear::cli

#endif  // COLLINEAR_TOOLS_COMMANDS_H_
