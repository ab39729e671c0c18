#include "cli_common.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include <unistd.h>

#include <collinear/io/point_file.h>

#include "report.h"

namespace collinear::cli {

bool LooksNumeric(const std::string& s) {
  if (s.empty()) return false;
  char* end = nullptr;
  std::strtod(s.c_str(), &end);
  return end && *end == '\0';
}

Json ErrorJson(const std::string& message, int exit_code) {
  Json j = {{"error", message}, {"exit_code", exit_code}};
  static const std::regex kPlace(R"(^([^:\n]+):(?: line )?(\d{1,9})[:,])");
  std::smatch m;
  if (std::regex_search(message, m, kPlace)) {
    j["file"] = m[1].str();
    j["line"] = std::stoll(m[2].str());
  }
  return j;
}

Table::Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}

void Table::AddRow(std::vector<std::string> cells) {
  cells.resize(headers_.size());
  rows_.push_back(std::move(cells));
}

std::string Table::Render(const std::string& indent) const {
  const size_t n = headers_.size();
  std::vector<size_t> width(n, 0);
  std::vector<bool> numeric(n, true);
  for (size_t c = 0; c < n; ++c) {
    width[c] = DisplayWidth(headers_[c]);
    bool any = false;
    for (const auto& r : rows_) {
      width[c] = std::max(width[c], DisplayWidth(r[c]));
      if (!r[c].empty()) {
        any = true;
        if (!LooksNumeric(r[c]) && r[c] != "-") numeric[c] = false;
      }
    }
    if (!any) numeric[c] = false;
  }
  std::ostringstream out;
  auto line = [&](const std::vector<std::string>& cells) {
    std::string s = indent;
    for (size_t c = 0; c < n; ++c) {
      const std::string& v = cells[c];
      const std::string pad(width[c] - DisplayWidth(v), ' ');
      s += numeric[c] ? pad + v : v + pad;
      if (c + 1 < n) s += "  ";
    }
    while (!s.empty() && s.back() == ' ') s.pop_back();
    out << s << '\n';
  };
  line(headers_);
  std::vector<std::string> rule(n);
  for (size_t c = 0; c < n; ++c) rule[c] = std::string(width[c], '-');
  line(rule);
  for (const auto& r : rows_) line(r);
  return out.str();
}

std::string_view FixedIn(NumberText& buf, double v, int decimals) {
  if (!std::isfinite(v))
    return std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf");
  // Correctly rounded as printf's %.*f, without its locale and parsing.
  char* const first = buf.chars;
  const std::to_chars_result r = std::to_chars(first,
                                               first + sizeof buf.chars,
                                               v,
                                               std::chars_format::fixed,
                                               std::clamp(decimals, 0, 20));
  std::string_view s(first, r.ptr - first);
  if (s.find_first_not_of("-0.") == std::string_view::npos && s[0] == '-')
    s.remove_prefix(1);  // no "-0.000"
  return s;
}

std::string Fixed(double v, int decimals) {
  NumberText buf;
  return std::string(FixedIn(buf, v, decimals));
}

std::string Exact(double v) {
  char buf[64];
  for (int prec = 6; prec <= 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*g", prec, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

CArray<CXYZ, CXYZ&> LoadPoints(const std::string& path,
                               bool require_z,
                               bool allow_z) {
  CArray<CXYZ, CXYZ&> points;
  std::string error;
  if (!ReadPointFile(path, require_z, points, error, allow_z ? 3 : 2))
    throw InputError(error);
  if (points.GetSize() == 0)
    throw InputError(path + ": the file holds no points");
  return points;
}

void WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string error;
  if (!WriteTextFile(path, text, error)) throw InputError(error);
}

}  // namespace collinear::cli
