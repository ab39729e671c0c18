// Shared pieces of the collinear command-line tool: exit codes, the errors
// that carry them, aligned text tables, number formatting, reading point
// files and writing files without leaving partial output behind.
#ifndef COLLINEAR_TOOLS_CLI_COMMON_H_
#define COLLINEAR_TOOLS_CLI_COMMON_H_

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include <collinear/framework/array.h>
#include <collinear/primitives/xyz.h>

namespace collinear::cli {

using Json = nlohmann::ordered_json;

enum ExitCode { kExitOk = 0, kExitFailed = 1, kExitBadInput = 2 };

// Bad input or usage: a missing file, a malformed line, too few points.
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// The computation itself failed (singular geometry, no convergence).
struct ComputeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The --json error object: "error" (the message), "exit_code", and "file"
// and "line" when the message starts with "FILE:LINE:" or "FILE: line N".
Json ErrorJson(const std::string& message, int exit_code);

// Options every command shares.
struct CommonOptions {
  bool json = false;
  int max_rows = 0;  // rows of a residual table; 0: all
};

// A text table whose columns are aligned: text left, numbers right.
class Table {
 public:
  explicit Table(std::vector<std::string> headers);
  void AddRow(std::vector<std::string> cells);
  std::string Render(const std::string& indent = "  ") const;

 private:
  std::vector<std::string> headers_;
  std::vector<std::vector<std::string>> rows_;
};

// Fixed-point text of v with the given number of decimals.
std::string Fixed(double v, int decimals);
// Room for the fixed-point text of any double with up to 20 decimals.
struct NumberText {
  char chars[352];
};
// Fixed's text, written into buf (no allocation); valid while buf is.
std::string_view FixedIn(NumberText& buf, double v, int decimals);
// Whether s is a whole number text (strtod reads all of it): such columns
// of a table are right-aligned.
bool LooksNumeric(const std::string& s);
// Shortest text that reads back as v (up to 17 significant digits).
std::string Exact(double v);

// Reads "name x y [z]" points; z required when require_z, refused unless
// allow_z (image points). Throws InputError naming file and line.
CArray<CXYZ, CXYZ&> LoadPoints(const std::string& path,
                               bool require_z,
                               bool allow_z = true);

// Writes text to path through a temporary file in the same folder and a
// rename, so that a failure leaves no partial file. Throws InputError.
void WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace collinear::cli

#endif  // COLLINEAR_TOOLS_CLI_COMMON_H_
