// Quality sections of the calibrate, resect and helmert reports, each
// written to the text and the JSON of a Report: standard deviations with the
// correlation matrix (pairs above 0.9 flagged by name) and the verdict with
// its warnings; the plot caption lines, and the --strict and a-priori noise
// options.
#ifndef COLLINEAR_TOOLS_QUALITY_REPORT_H_
#define COLLINEAR_TOOLS_QUALITY_REPORT_H_

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include <collinear/quality/precision.h>
#include <collinear/quality/verdict.h>

#include "cli_common.h"
#include "report.h"

namespace collinear::cli {

// Correlations above this magnitude are flagged by name.
inline constexpr double kFlagCorrelation = 0.9;

// A-priori noise of an image coordinate when none is given: generous for
// pixel measurements (1 px) and for photo coordinates (0.01 mm).
inline double DefaultImageSigma(bool pixel_frame) {
  return pixel_frame ? 1.0 : 0.01;
}

struct QualityArgs {
  bool strict = false;
  double sigma = -1.0;  // a-priori noise of one coordinate; < 0: the default
};

// --strict, and the a-priori noise option (name such as "--image-sigma")
// whose default the help text states.
void AddQualityOptions(CLI::App* app,
                       QualityArgs& args,
                       const std::string& sigma_option,
                       const std::string& sigma_help);

// Units of the report: object lengths, image lengths (distortion
// coefficients are image units to negative powers).
struct QualityUnits {
  std::string object = "object units";
  std::string image = "px";
};

// The report in the file's frame: X, Y, Z take the centre given and their
// standard deviations are divided by scale (solver units per file unit).
void CentreToFileFrame(PrecisionReport& report,
                       const CXYZ& centre,
                       double scale);
// Negates the named parameter and its correlations (y0 in a y-down frame).
void NegateParameter(PrecisionReport& report, const std::string& name);

// "Precision" section: the adjustment's figures, a table of values and
// standard deviations, the lower triangle of the correlation matrix and the
// flagged pairs; the a-priori noise used by the verdict (0: none). JSON
// precision and a_priori_sigma.
void PrecisionSection(const PrecisionReport& precision,
                      const QualityUnits& units,
                      double obs_sigma,
                      int decimals,
                      Report& report);

// The verdict with its warnings: the report's closing text, JSON verdict.
void VerdictSection(const Verdict& verdict, Report& report);

// Caption lines for a plot: the verdict in one line and the largest standard
// deviation of each kind of parameter.
std::vector<std::string> QualityCaption(const Verdict& verdict,
                                        const PrecisionReport& report,
                                        const QualityUnits& units);

// Why the verdict fails the run: "the result is unusable: ..." when a
// warning makes the result unusable, "--strict: ..." under --strict when
// there is any warning; "" when the run succeeds.
std::string VerdictFailure(const Verdict& verdict, bool strict);

// Prints a finished report and returns its exit code: 1 when a warning
// makes the result unusable, or under --strict when there is any warning
// (outliers named); 0 otherwise. A failure also goes to stderr, and under
// --json the document is the error object with the report as "result".
int PrintVerdict(const Report& report,
                 const Verdict& verdict,
                 bool strict,
                 const CommonOptions& opt);

}  // namespace collinear::cli

#endif  // COLLINEAR_TOOLS_QUALITY_REPORT_H_
