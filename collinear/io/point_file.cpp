#include <collinear/io/point_file.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unordered_map>

namespace collinear {
namespace {

// Splits one line (comment already removed) at white space and commas.
std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::string cur;
  for (char c : line) {
    if (c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\v' ||
        c == '\f') {
      if (!cur.empty()) fields.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) fields.push_back(cur);
  return fields;
}

// Parses a whole field as a finite double; "nan", "inf" and partial
// numbers ("1.5m") are refused.
bool ParseFinite(const std::string& field, double& value) {
  const char* begin = field.c_str();
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(begin, &end);
  if (end == begin || *end != '\0') return false;
  if (!std::isfinite(v) || errno == ERANGE) return false;
  value = v;
  return true;
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
                    std::string& error) {
  rows.clear();
  std::unordered_map<std::string, int> first_line;
  std::istringstream in(text);
  std::string line;
  int line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    if (line_no == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
      line.erase(0, 3);  // UTF-8 byte order mark
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    const std::vector<std::string> fields = SplitFields(line);
    if (fields.empty()) continue;

    const int n_values = static_cast<int>(fields.size()) - 1;
    PointRow row;
    row.name = fields[0];
    row.line = line_no;
    if (n_values < min_values || n_values > max_values) {
      error = Where(source, line_no) + "point '" + row.name + "' has " +
              std::to_string(n_values) + " value" + (n_values == 1 ? "" : "s") +
              ", expected " +
              (min_values == max_values ? std::to_string(min_values)
                                        : std::to_string(min_values) + " to " +
                                              std::to_string(max_values)) +
              " after the name";
      rows.clear();
      return false;
    }
    for (int i = 1; i <= n_values; ++i) {
      double v = 0.0;
      if (!ParseFinite(fields[i], v)) {
        error = Where(source, line_no) + "point '" + row.name + "': value " +
                std::to_string(i) + " '" + fields[i] +
                "' is not a finite number";
        rows.clear();
        return false;
      }
      row.values.push_back(v);
    }
    const auto seen = first_line.find(row.name);
    if (seen != first_line.end()) {
      error = Where(source, line_no) + "point name '" + row.name +
              "' repeats the one on line " + std::to_string(seen->second);
      rows.clear();
      return false;
    }
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
                   std::string& error) {
  std::string text;
  std::vector<PointRow> rows;
  if (!ReadTextFile(path, text, error) ||
      !ParsePointRows(text, path, require_z ? 3 : 2, 3, rows, error))
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
