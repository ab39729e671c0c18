#include "report.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
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

// Streamed reports reach stdout in blocks of this size.
constexpr size_t kOutputBlock = 1 << 20;

}  // namespace

size_t DisplayWidth(std::string_view text) {
  if (std::all_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80;
      }))
    return text.size();  // ASCII: a column per byte
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

Output::Output() { buf_.reserve(kOutputBlock + 4096); }

Output::~Output() { Flush(); }

Output& Output::operator<<(std::string_view s) {
  if (buf_.size() + s.size() > kOutputBlock) Flush();
  buf_.append(s.data(), s.size());
  return *this;
}

Output& Output::operator<<(char c) {
  if (buf_.size() >= kOutputBlock) Flush();
  buf_.push_back(c);
  return *this;
}

void Output::Spaces(size_t n) {
  if (buf_.size() + n > kOutputBlock) Flush();
  buf_.append(n, ' ');
}

void Output::Flush() {
  std::cout.flush();
  if (!buf_.empty()) std::fwrite(buf_.data(), 1, buf_.size(), stdout);
  std::fflush(stdout);
  buf_.clear();
}

void JsonWriter::Next(const char* key) {
  if (!open_.empty()) {
    out_ << (open_.back().empty ? "\n" : ",\n");
    open_.back().empty = false;
    out_.Spaces(2 * open_.size());
  }
  if (key) {
    Quoted(key);
    out_ << ": ";
  }
}

void JsonWriter::Quoted(std::string_view s) {
  const bool plain = std::none_of(s.begin(), s.end(), [](char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  });
  if (plain)
    out_ << '"' << s << '"';
  else
    out_ << Json(std::string(s)).dump();  // escaped as dump escapes
}

void JsonWriter::BeginObject(const char* key) {
  Next(key);
  out_ << '{';
  open_.push_back({true, '}'});
}

void JsonWriter::BeginArray(const char* key) {
  Next(key);
  out_ << '[';
  open_.push_back({true, ']'});
}

void JsonWriter::End() {
  const Open o = open_.back();
  open_.pop_back();
  if (!o.empty) {
    out_ << '\n';
    out_.Spaces(2 * open_.size());
  }
  out_ << o.close;
}

void JsonWriter::Number(const char* key, double v) {
  Next(key);
  if (!std::isfinite(v)) {
    out_ << "null";
    return;
  }
  // The formatter Json::dump uses, so that the text is the same.
  char buf[64];
  const char* end = nlohmann::detail::to_chars(buf, buf + sizeof buf, v);
  out_ << std::string_view(buf, end - buf);
}

void JsonWriter::Integer(const char* key, long long v) {
  Next(key);
  char buf[24];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
  out_ << std::string_view(buf, r.ptr - buf);
}

void JsonWriter::Bool(const char* key, bool v) {
  Next(key);
  out_ << (v ? "true" : "false");
}

void JsonWriter::String(const char* key, std::string_view v) {
  Next(key);
  Quoted(v);
}

void JsonWriter::Null(const char* key) {
  Next(key);
  out_ << "null";
}

void JsonWriter::Value(const char* key, const Json& v) {
  Next(key);
  // dump(2) indents from column 0: shift every line but the first (a
  // string holds no raw line break, dump escapes it).
  const std::string text = v.dump(2);
  const std::string indent(2 * open_.size(), ' ');
  size_t from = 0;
  for (size_t nl; (nl = text.find('\n', from)) != std::string::npos;
       from = nl + 1)
    out_ << std::string_view(text).substr(from, nl + 1 - from) << indent;
  out_ << std::string_view(text).substr(from);
}

void JsonWriter::Members(const Json& object) {
  for (auto it = object.begin(); it != object.end(); ++it)
    Value(it.key().c_str(), it.value());
}

RowTable::RowTable(std::vector<Column> columns) : columns_(std::move(columns)) {
  for (Column& c : columns_)
    c.width = std::max(c.width, DisplayWidth(c.header));
}

void RowTable::WriteHead(Output& out) {
  std::vector<std::string_view> cells;
  for (const Column& c : columns_) cells.push_back(c.header);
  WriteRow(out, cells.data());
  std::vector<std::string> rule;
  for (const Column& c : columns_) rule.emplace_back(c.width, '-');
  cells.assign(rule.begin(), rule.end());
  WriteRow(out, cells.data());
}

void RowTable::WriteRow(Output& out, const std::string_view* cells) {
  line_.assign("  ");
  for (size_t c = 0; c < columns_.size(); ++c) {
    const std::string_view v = cells[c];
    const size_t w = DisplayWidth(v);
    const size_t pad = w < columns_[c].width ? columns_[c].width - w : 0;
    if (columns_[c].numeric) line_.append(pad, ' ');
    line_.append(v.data(), v.size());
    if (!columns_[c].numeric) line_.append(pad, ' ');
    if (c + 1 < columns_.size()) line_.append("  ");
  }
  while (line_.size() > 0 && line_.back() == ' ') line_.pop_back();
  line_.push_back('\n');
  out << line_;
}

int StreamedReport::Run(const std::function<int()>& body) {
  int code = kExitFailed;
  try {
    code = body();
  } catch (const InputError& e) {
    return Fail(e.what(), kExitBadInput);
  } catch (const std::exception& e) {
    return Fail(e.what(), kExitFailed);
  }
  if (!ended_) End();
  return code;
}

int StreamedReport::Fail(const std::string& error, int code) {
  if (json && !ended_) {
    if (writer.Depth() == 0) writer.BeginObject();
    while (writer.Depth() > 1) writer.End();
    writer.Members(ErrorJson(error, code));
  }
  End();
  std::cerr << "collinear: " << (code == kExitBadInput ? "error: " : "failed: ")
            << error << '\n';
  return code;
}

void StreamedReport::End() {
  if (json && !ended_) {
    while (writer.Depth() > 0) writer.End();
    out << '\n';
  }
  ended_ = true;
  out.Flush();
}

}  // namespace collinear::cli
