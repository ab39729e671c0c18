#include "cli_common.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <numeric>
#include <sstream>

#include <unistd.h>

#include <collinear/io/point_file.h>

namespace collinear::cli {
namespace {

bool LooksNumeric(const std::string& s) {
  if (s.empty()) return false;
  char* end = nullptr;
  std::strtod(s.c_str(), &end);
  return end && *end == '\0';
}

}  // namespace

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
    width[c] = headers_[c].size();
    bool any = false;
    for (const auto& r : rows_) {
      width[c] = std::max(width[c], r[c].size());
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
      const std::string pad(width[c] - v.size(), ' ');
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

std::string Fixed(double v, int decimals) {
  if (!std::isfinite(v))
    return std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf");
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  std::string s = buf;
  if (s.find_first_not_of("-0.") == std::string::npos && s[0] == '-')
    s.erase(0, 1);  // no "-0.000"
  return s;
}

std::string Exact(double v) {
  char buf[64];
  for (int prec = 6; prec <= 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*g", prec, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

CArray<CXYZ, CXYZ&> LoadPoints(const std::string& path, bool require_z) {
  CArray<CXYZ, CXYZ&> points;
  std::string error;
  if (!ReadPointFile(path, require_z, points, error)) throw InputError(error);
  if (points.GetSize() == 0)
    throw InputError(path + ": the file holds no points");
  return points;
}

void WriteFileAtomically(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp." + std::to_string(getpid());
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) throw InputError(path + ": cannot write the file");
    f << text;
    f.flush();
    if (!f) {
      f.close();
      std::remove(tmp.c_str());
      throw InputError(path + ": writing the file failed");
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    throw InputError(path + ": cannot replace the file");
  }
}

void Emit(const CommonOptions& opt, const Json& doc, const std::string& text) {
  if (opt.json)
    std::cout << doc.dump(2) << '\n';
  else
    std::cout << text;
}

std::vector<int> OrderByLength(const std::vector<double>& lengths) {
  std::vector<int> idx(lengths.size());
  std::iota(idx.begin(), idx.end(), 0);
  std::stable_sort(idx.begin(), idx.end(), [&](int a, int b) {
    return lengths[a] > lengths[b];
  });
  return idx;
}

ResidualReport MakeResidualReport(const CArray<CXYZ, CXYZ&>& residuals,
                                  int decimals,
                                  double y_sign,
                                  int max_rows) {
  const int n = static_cast<int>(residuals.GetSize());
  std::vector<double> len(n);
  double sum2 = 0.0;
  for (int i = 0; i < n; ++i) {
    len[i] = std::hypot(residuals[i].m_x, residuals[i].m_y);
    sum2 += len[i] * len[i];
  }
  ResidualReport r;
  r.rms = n > 0 ? std::sqrt(sum2 / n) : 0.0;
  const std::vector<int> order = OrderByLength(len);
  Table t({"point", "vx", "vy", "|v|", ""});
  for (int k = 0; k < n; ++k) {
    const int i = order[k];
    const CXYZ& v = residuals[i];
    const double vy = y_sign * v.m_y;
    const bool flag = k == 0 && len[i] > 0;
    if (flag) {
      r.largest_name = v.m_strName.GetString();
      r.largest = len[i];
    }
    if (max_rows <= 0 || k < max_rows)
      t.AddRow({v.m_strName.GetString(),
                Fixed(v.m_x, decimals),
                Fixed(vy, decimals),
                Fixed(len[i], decimals),
                flag ? "<- largest" : ""});
    r.json.push_back({{"name", v.m_strName.GetString()},
                      {"vx", v.m_x},
                      {"vy", vy},
                      {"length", len[i]}});
  }
  r.table = t.Render();
  if (max_rows > 0 && n > max_rows)
    r.table += "  ... " + std::to_string(n - max_rows) +
               " smaller residuals not shown (--max-rows)\n";
  return r;
}

}  // namespace collinear::cli
