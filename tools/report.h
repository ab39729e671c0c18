// Rendering of the tool's results. A command computes a result value; its
// report is then written section by section, and each section function
// writes its values both to the text for the terminal and to the --json
// document, so that the two outputs cannot drift apart. SVG pictures are
// drawn by svg_plot.h.
#ifndef COLLINEAR_TOOLS_REPORT_H_
#define COLLINEAR_TOOLS_REPORT_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <collinear/primitives/wpk.h>

#include "cli_common.h"

namespace collinear::cli {

// Columns text takes on a terminal: one per UTF-8 code point, two for an
// East Asian wide character (CJK, Hangul, full-width forms); a byte that is
// not valid UTF-8 counts one. Tables pad names by it, not by bytes.
size_t DisplayWidth(std::string_view text);

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

// Text for stdout gathered in one large buffer and written in blocks, for
// reports written row by row as they are computed: a row costs a copy, not
// a stream operation per piece. Written when full, by Flush and on
// destruction; std::cout, synchronised with stdio, may follow a Flush.
class Output {
 public:
  Output();
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  Output& operator<<(std::string_view s);
  Output& operator<<(char c);
  void Spaces(size_t n);
  void Flush();

 private:
  std::string buf_;
};

// A JSON document written as it is computed, laid out as Json::dump(2) lays
// it out: the same text for the same values (numbers in the shortest form
// that reads back, non-finite numbers null). key names the member in an
// object and is null for an element of an array.
class JsonWriter {
 public:
  explicit JsonWriter(Output& out) : out_(out) {}
  void BeginObject(const char* key = nullptr);
  void BeginArray(const char* key = nullptr);
  // Closes the innermost open object or array.
  void End();
  void Number(const char* key, double v);
  void Integer(const char* key, long long v);
  void Bool(const char* key, bool v);
  void String(const char* key, std::string_view v);
  void Null(const char* key);
  // Any value, and every member of an object, as dump(2) writes them.
  void Value(const char* key, const Json& v);
  void Members(const Json& object);
  // Open objects and arrays.
  size_t Depth() const { return open_.size(); }

 private:
  void Next(const char* key);
  void Quoted(std::string_view s);

  struct Open {
    bool empty;
    char close;
  };
  Output& out_;
  std::vector<Open> open_;
};

// A text table written row by row: the widths of the columns are fixed
// before the first row, from the headers and the widest value the caller
// expects; numeric columns right-aligned, text left, as Table aligns them.
// A wider cell pushes the rest of its row to the right.
class RowTable {
 public:
  struct Column {
    std::string header;
    size_t width = 0;  // at least the header's
    bool numeric = true;
  };
  explicit RowTable(std::vector<Column> columns);
  // The headers and the rule under them.
  void WriteHead(Output& out);
  // One cell per column.
  void WriteRow(Output& out, const std::string_view* cells);

 private:
  std::vector<Column> columns_;
  std::string line_;  // reused for every row
};

// A report written as it is computed: text to stdout, or under --json one
// document. A failure after the report began still ends it: the text
// written stays and the message goes to stderr; the document is closed and
// ends with the members of the error object (error, exit_code, ...).
class StreamedReport {
 public:
  explicit StreamedReport(const CommonOptions& opt)
      : json(opt.json), writer(out) {}
  // Runs body, which writes the rest of the report and returns the exit
  // code, and ends the report. An exception from body ends it as a failure:
  // InputError with code 2, any other with code 1.
  int Run(const std::function<int()>& body);
  // Ends the report as failed; returns code.
  int Fail(const std::string& error, int code);

  const bool json;
  Output out;
  JsonWriter writer;

 private:
  void End();
  bool ended_ = false;
};

}  // namespace collinear::cli

#endif  // COLLINEAR_TOOLS_REPORT_H_
