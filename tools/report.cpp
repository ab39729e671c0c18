#include "report.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <iterator>
#include <numeric>
#include <utility>

#include <collinear/primitives/constants.h>

namespace collinear::cli {

namespace {

// East Asian wide code points, first and last of each range.
constexpr std::pair<unsigned, unsigned> kWide[] = {{0x1100, 0x115F},
                                                   {0x2E80, 0xA4CF},
                                                   {0xAC00, 0xD7A3},
                                                   {0xF900, 0xFAFF},
                                                   {0xFE30, 0xFE4F},
                                                   {0xFF00, 0xFF60},
                                                   {0xFFE0, 0xFFE6},
                                                   {0x20000, 0x3FFFD}};

}  // namespace

size_t DisplayWidth(const std::string& text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    unsigned cp = len == 1 ? c : c & (0x7Fu >> len);
    size_t k = 1;
    for (; k < len && i + k < text.size(); ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) break;
      cp = (cp << 6) | (cc & 0x3Fu);
    }
    i += k < len ? 1 : len;  // a cut sequence: its lead byte counts one
    const bool wide =
        k == len && std::any_of(std::begin(kWide),
                                std::end(kWide),
                                [cp](const std::pair<unsigned, unsigned>& r) {
                                  return cp >= r.first && cp <= r.second;
                                });
    width += wide ? 2 : 1;
  }
  return width;
}

void Print(const Report& report, const CommonOptions& opt) {
  if (opt.json)
    std::cout << report.json.dump(2) << '\n';
  else
    std::cout << report.text << report.closing;
}

int PrintFailure(const Report& report,
                 const std::string& error,
                 int code,
                 const CommonOptions& opt) {
  if (opt.json) {
    Json doc = ErrorJson(error, code);
    doc["result"] = report.json;
    std::cout << doc.dump(2) << '\n';
  } else {
    std::cout << report.text << report.closing;
  }
  std::cerr << "collinear: " << (code == kExitBadInput ? "error: " : "failed: ")
            << error << '\n';
  return code;
}

const Residual* Residuals::Largest() const {
  return !rows.empty() && rows.front().length > 0 ? &rows.front() : nullptr;
}

Residuals SortResiduals(const CArray<CXYZ, CXYZ&>& residuals, double y_sign) {
  const int n = static_cast<int>(residuals.GetSize());
  std::vector<double> len(n);
  double sum2 = 0.0;
  for (int i = 0; i < n; ++i) {
    len[i] = std::hypot(residuals[i].m_x, residuals[i].m_y);
    sum2 += len[i] * len[i];
  }
  Residuals r;
  r.rms = n > 0 ? std::sqrt(sum2 / n) : 0.0;
  std::vector<int> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return len[a] > len[b];
  });
  for (int i : order)
    r.rows.push_back({residuals[i].m_strName.GetString(),
                      residuals[i].m_x,
                      y_sign * residuals[i].m_y,
                      len[i]});
  return r;
}

void ResidualRows(const Residuals& res,
                  int decimals,
                  int max_rows,
                  std::string& text,
                  Json& rows) {
  const int n = static_cast<int>(res.rows.size());
  Table t({"point", "vx", "vy", "|v|", ""});
  rows = Json::array();
  for (int k = 0; k < n; ++k) {
    const Residual& v = res.rows[k];
    if (max_rows <= 0 || k < max_rows)
      t.AddRow({v.name,
                Fixed(v.vx, decimals),
                Fixed(v.vy, decimals),
                Fixed(v.length, decimals),
                &v == res.Largest() ? "<- largest" : ""});
    rows.push_back(
        {{"name", v.name}, {"vx", v.vx}, {"vy", v.vy}, {"length", v.length}});
  }
  text += t.Render();
  if (max_rows > 0 && n > max_rows)
    text += "  ... " + std::to_string(n - max_rows) +
            " smaller residuals not shown (--max-rows)\n";
}

void ResidualSection(const Residuals& res,
                     const CXYZ& rms,
                     const std::string& unit,
                     int decimals,
                     int max_rows,
                     Report& report) {
  report.text +=
      "\nResiduals (projected - measured, " + unit + "), largest first:\n";
  ResidualRows(res, decimals, max_rows, report.text, report.json["residuals"]);
  report.text += "\n  RMS x " + Fixed(rms.m_x, decimals) + ", RMS y " +
                 Fixed(rms.m_y, decimals) + ", total " +
                 Fixed(res.rms, decimals) + " " + unit + "\n";
  report.json["rms"] = {{"x", rms.m_x}, {"y", rms.m_y}, {"total", res.rms}};
}

void PoseSection(const CXYZ& centre,
                 const CWPK& wpk,
                 int decimals,
                 Table& table,
                 Json& json) {
  json["projection_centre"] = {
      {"X", centre.m_x}, {"Y", centre.m_y}, {"Z", centre.m_z}};
  json["angles_rad"] = {
      {"omega", wpk.m_w}, {"phi", wpk.m_p}, {"kappa", wpk.m_k}};
  json["angles_deg"] = {{"omega", wpk.m_w * kDegPerRad},
                        {"phi", wpk.m_p * kDegPerRad},
                        {"kappa", wpk.m_k * kDegPerRad}};
  table.AddRow({"centre X", Fixed(centre.m_x, decimals), "object"});
  table.AddRow({"centre Y", Fixed(centre.m_y, decimals), "object"});
  table.AddRow({"centre Z", Fixed(centre.m_z, decimals), "object"});
  const char* names[] = {"omega", "phi", "kappa"};
  const double angles[] = {wpk.m_w, wpk.m_p, wpk.m_k};
  for (int k = 0; k < 3; ++k) {
    table.AddRow({names[k], Fixed(angles[k] * kDegPerRad, 6), "deg"});
    table.AddRow({names[k], Fixed(angles[k], 8), "rad"});
  }
}

}  // namespace collinear::cli
