// Rendering of the tool's results. A command computes a result value; its
// report is then written section by section, and each section function
// writes its values both to the text for the terminal and to the --json
// document, so that the two outputs cannot drift apart. SVG pictures are
// drawn by svg_plot.h.
#ifndef COLLINEAR_TOOLS_REPORT_H_
#define COLLINEAR_TOOLS_REPORT_H_

#include <string>
#include <vector>

#include <collinear/primitives/wpk.h>

#include "cli_common.h"

namespace collinear::cli {

// Columns text takes on a terminal: one per UTF-8 code point, two for an
// East Asian wide character (CJK, Hangul, full-width forms); a byte that is
// not valid UTF-8 counts one. Tables pad names by it, not by bytes.
size_t DisplayWidth(const std::string& text);

// A report being written. Sections append to text and add keys to json in
// the order they are written; closing (the verdict) ends the text, after
// every other section. Built only inside main's try block.
struct Report {  // NOLINT(bugprone-exception-escape): Json's constructor
  std::string text;
  Json json;
  std::string closing;
};

// Prints the JSON document (indent 2) or the text to stdout.
void Print(const Report& report, const CommonOptions& opt);
// A report whose result failed (code 1) or was refused (code 2): the text
// to stdout and the message to stderr, or under --json the error object
// with the report as "result". Returns code.
int PrintFailure(const Report& report,
                 const std::string& error,
                 int code,
                 const CommonOptions& opt);

// Residuals of a fit, largest first (ties in input order).
struct Residual {
  std::string name;
  double vx = 0.0, vy = 0.0, length = 0.0;
};
struct Residuals {
  std::vector<Residual> rows;
  double rms = 0.0;  // sqrt(mean(vx^2 + vy^2))
  // The largest non-zero residual, or null.
  const Residual* Largest() const;
};
// y_sign -1 turns residuals of a y-up frame into a y-down one (pixels).
Residuals SortResiduals(const CArray<CXYZ, CXYZ&>& residuals,
                        double y_sign = 1.0);

// The residual table (name, vx, vy, |v|, the largest flagged) with at most
// max_rows rows (0: all) appended to text, and every residual to rows.
void ResidualRows(const Residuals& res,
                  int decimals,
                  int max_rows,
                  std::string& text,
                  Json& rows);

// "Residuals (projected - measured, unit)" with the RMS line; JSON
// residuals and rms (x, y, total).
void ResidualSection(const Residuals& res,
                     const CXYZ& rms,
                     const std::string& unit,
                     int decimals,
                     int max_rows,
                     Report& report);

// The exterior orientation of a control-point solution: the centre (file
// frame) and the angles in degrees and radians, as rows of the parameter
// table and JSON projection_centre, angles_rad, angles_deg.
void PoseSection(const CXYZ& centre,
                 const CWPK& wpk,
                 int decimals,
                 Table& table,
                 Json& json);

}  // namespace collinear::cli

#endif  // COLLINEAR_TOOLS_REPORT_H_
