#include <collinear/io/point_file.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unordered_map>

namespace collinear {
namespace {

// One field of a line and where it starts in the line.
struct Field {
  std::string text;
  size_t start = 0;
};

bool IsSeparator(char c) {
  return c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\v' ||
         c == '\f';
}

// Splits one line (comment already removed) at white space and commas.
std::vector<Field> SplitFields(const std::string& line) {
  std::vector<Field> fields;
  for (size_t i = 0; i < line.size();) {
    if (IsSeparator(line[i])) {
      ++i;
      continue;
    }
    Field f;
    f.start = i;
    while (i < line.size() && !IsSeparator(line[i])) f.text += line[i++];
    fields.push_back(std::move(f));
  }
  return fields;
}

// Whether the whole field is a decimal number: [+-] digits [. digits]
// [e [+-] digits], with digits on at least one side of the point. Keeps out
// what strtod would also take: hexadecimal, "nan", "inf", bytes behind a NUL.
bool IsDecimal(const std::string& f) {
  size_t i = 0;
  const auto digits = [&]() {
    const size_t from = i;
    while (i < f.size() && f[i] >= '0' && f[i] <= '9') ++i;
    return i - from;
  };
  if (i < f.size() && (f[i] == '+' || f[i] == '-')) ++i;
  size_t mantissa = digits();
  if (i < f.size() && f[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return false;
  if (i < f.size() && (f[i] == 'e' || f[i] == 'E')) {
    ++i;
    if (i < f.size() && (f[i] == '+' || f[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == f.size();
}

// Parses a whole field as a finite decimal double; "nan", "inf", "0x1A",
// partial numbers ("1.5m") and values beyond the normal doubles are refused.
bool ParseFinite(const std::string& field, double& value) {
  if (!IsDecimal(field)) return false;
  const char* begin = field.c_str();
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(begin, &end);
  if (end != begin + field.size()) return false;
  if (!std::isfinite(v) || errno == ERANGE) return false;
  value = v;
  return true;
}

// A decimal comma between two digits ("1049422,4"), which reads as two
// values: a hint for messages about the count of values.
std::string DecimalCommaHint(const std::string& line) {
  for (size_t i = 1; i + 1 < line.size(); ++i)
    if (line[i] == ',' &&
        std::isdigit(static_cast<unsigned char>(line[i - 1])) &&
        std::isdigit(static_cast<unsigned char>(line[i + 1])))
      return " (a comma separates values: write decimals with a point)";
  return "";
}

// A bad row that reads well when its first fields, parted by white space
// only, are one name: the name, else empty. count, when above zero, is the
// number of values the row must have.
std::string NameWithSpace(const std::string& line,
                          const std::vector<Field>& fields,
                          int min_values,
                          int max_values,
                          int count) {
  for (size_t k = 1; k + 1 < fields.size(); ++k) {
    const Field& f = fields[k];
    const size_t end_before = fields[k - 1].start + fields[k - 1].text.size();
    if (line.find(',', end_before) < f.start) return "";
    const int n = static_cast<int>(fields.size() - k - 1);
    if (n < min_values || n > max_values || (count > 0 && n != count)) continue;
    // A word among the name's fields: numbers there more likely mean a
    // count of values that does not fit.
    bool word = false, numbers = true;
    double v = 0.0;
    for (size_t i = 1; i <= k; ++i)
      word = word || !ParseFinite(fields[i].text, v);
    for (size_t i = k + 1; i < fields.size() && numbers; ++i)
      numbers = ParseFinite(fields[i].text, v);
    if (word && numbers)
      return line.substr(fields[0].start,
                         f.start + f.text.size() - fields[0].start);
  }
  return "";
}

std::string Where(const std::string& source, int line) {
  return source + ":" + std::to_string(line) + ": ";
}

}  // namespace

bool ParsePointRows(const std::string& text,
                    const std::string& source,
                    int min_values,
                    int max_values,
                    std::vector<PointRow>& rows,
                    std::string& error,
                    bool same_count) {
  rows.clear();
  std::unordered_map<std::string, int> first_line;
  std::istringstream in(text);
  std::string line;
  int line_no = 0;
  int count = 0, count_line = 0;  // values of the rows so far, and where
  std::string count_hint;         // a decimal comma on that line
  const auto fail = [&](const std::string& what) {
    error = Where(source, line_no) + what;
    rows.clear();
    return false;
  };
  while (std::getline(in, line)) {
    ++line_no;
    if (line_no == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
      line.erase(0, 3);  // UTF-8 byte order mark
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    if (line.find('\0') != std::string::npos)
      return fail("the line holds a NUL byte (is this a text file?)");
    const std::vector<Field> fields = SplitFields(line);
    if (fields.empty()) continue;

    const int n_values = static_cast<int>(fields.size()) - 1;
    PointRow row;
    row.name = fields[0].text;
    row.line = line_no;
    const int need = same_count ? count : 0;
    const auto bad_row = [&](const std::string& what) {
      const std::string name =
          NameWithSpace(line, fields, min_values, max_values, need);
      if (!name.empty())
        return fail("point name '" + name +
                    "' holds a space; a name ends at the first space, tab "
                    "or comma");
      return fail(what);
    };
    if (n_values < min_values || n_values > max_values) {
      return bad_row(
          "point '" + row.name + "' has " + std::to_string(n_values) +
          " value" + (n_values == 1 ? "" : "s") + ", expected " +
          (min_values == max_values ? std::to_string(min_values)
                                    : std::to_string(min_values) + " to " +
                                          std::to_string(max_values)) +
          " after the name" + DecimalCommaHint(line));
    }
    for (int i = 1; i <= n_values; ++i) {
      double v = 0.0;
      if (!ParseFinite(fields[i].text, v))
        return bad_row("point '" + row.name + "': value " + std::to_string(i) +
                       " '" + fields[i].text + "' is not a finite number");
      row.values.push_back(v);
    }
    if (need > 0 && n_values != need) {
      return bad_row(
          "point '" + row.name + "' has " + std::to_string(n_values) +
          " values, the row on line " + std::to_string(count_line) + " has " +
          std::to_string(count) + ": every row of a file needs as many" +
          (count_hint.empty() ? DecimalCommaHint(line) : count_hint));
    }
    if (count == 0) {
      count = n_values;
      count_line = line_no;
      count_hint = DecimalCommaHint(line);
    }
    const auto seen = first_line.find(row.name);
    if (seen != first_line.end())
      return fail("point name '" + row.name + "' repeats the one on line " +
                  std::to_string(seen->second));
    first_line.emplace(row.name, line_no);
    rows.push_back(std::move(row));
  }
  return true;
}

bool ReadTextFile(const std::string& path,
                  std::string& text,
                  std::string& error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = path + ": cannot open the file";
    return false;
  }
  std::ostringstream buf;
  buf << f.rdbuf();
  if (f.bad()) {
    error = path + ": cannot read the file";
    return false;
  }
  text = buf.str();
  return true;
}

bool ReadPointFile(const std::string& path,
                   bool require_z,
                   CArray<CXYZ, CXYZ&>& points,
                   std::string& error,
                   int max_values) {
  std::string text;
  std::vector<PointRow> rows;
  if (!ReadTextFile(path, text, error) ||
      !ParsePointRows(
          text, path, require_z ? 3 : 2, max_values, rows, error, true))
    return false;
  points.RemoveAll();
  for (const PointRow& r : rows) {
    CXYZ p(r.name.c_str(),
           r.values[0],
           r.values[1],
           r.values.size() > 2 ? r.values[2] : 0.0);
    points.Add(p);
  }
  return true;
}

bool ReadControlFile(const std::string& path,
                     CArray<CXYZ, CXYZ&>& object_points,
                     CArray<CXYZ, CXYZ&>& image_points,
                     std::string& error) {
  std::string text;
  std::vector<PointRow> rows;
  if (!ReadTextFile(path, text, error) ||
      !ParsePointRows(text, path, 5, 5, rows, error))
    return false;
  object_points.RemoveAll();
  image_points.RemoveAll();
  for (const PointRow& r : rows) {
    CXYZ obj(r.name.c_str(), r.values[0], r.values[1], r.values[2]);
    CXYZ img(r.name.c_str(), r.values[3], r.values[4], 0.0);
    object_points.Add(obj);
    image_points.Add(img);
  }
  return true;
}

}  // namespace collinear
