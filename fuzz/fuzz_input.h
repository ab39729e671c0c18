// Text form of the fuzz targets' inputs, close to the point files so that
// the examples serve as seeds. One row a line: a name, then numbers read
// with strtod ("nan", "inf", hex floats and out-of-range values pass; a
// token that is no number reads as NaN). "#" starts a comment; white space
// and commas separate; a line "---" starts the next section; a line
// "@key v1 v2 ..." sets an option of the target instead of adding a row.
#ifndef COLLINEAR_FUZZ_FUZZ_INPUT_H_
#define COLLINEAR_FUZZ_FUZZ_INPUT_H_

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <collinear/framework/array.h>
#include <collinear/primitives/xyz.h>

namespace fuzz {

// Rows per section beyond which the rest is ignored: keeps one run of the
// slowest solver well inside the time limit of a run.
constexpr size_t kMaxRows = 64;

struct Row {
  std::string name;
  std::vector<double> values;
  // Value i, or 0 where the row is shorter.
  double At(size_t i) const { return i < values.size() ? values[i] : 0.0; }
};

using Section = std::vector<Row>;

struct Input {
  std::vector<Section> sections{Section()};
  std::map<std::string, std::vector<double>> options;

  // Section i, or an empty one where there are fewer.
  const Section& At(size_t i) const {
    static const Section kEmpty;
    return i < sections.size() ? sections[i] : kEmpty;
  }
  // Value i of option key, or fallback where it is not given.
  double Opt(const std::string& key, size_t i, double fallback) const {
    const auto it = options.find(key);
    if (it == options.end() || i >= it->second.size()) return fallback;
    return it->second[i];
  }
  // Value i of the option as an integer in [lo, hi]; fallback outside (NaN
  // included), so that no out-of-range conversion happens.
  int OptInt(const std::string& key,
             int fallback,
             int lo,
             int hi,
             size_t i = 0) const {
    const double v = Opt(key, i, fallback);
    if (!(v >= lo && v <= hi)) return fallback;
    return static_cast<int>(v);
  }
};

inline std::vector<std::string> Tokens(const std::string& line) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : line) {
    if (c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\v' ||
        c == '\f') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

inline double Number(const std::string& token) {
  const char* begin = token.c_str();
  char* end = nullptr;
  const double v = std::strtod(begin, &end);
  return end == begin ? std::numeric_limits<double>::quiet_NaN() : v;
}

inline Input Parse(const uint8_t* data, size_t size) {
  Input in;
  const std::string text(reinterpret_cast<const char*>(data), size);
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    const std::vector<std::string> tok = Tokens(line);
    if (tok.empty()) continue;
    if (tok[0] == "---") {
      in.sections.emplace_back();
      continue;
    }
    std::vector<double> values;
    for (size_t k = 1; k < tok.size(); ++k) values.push_back(Number(tok[k]));
    if (tok[0][0] == '@') {
      in.options[tok[0].substr(1)] = values;
    } else if (in.sections.back().size() < kMaxRows) {
      in.sections.back().push_back(Row{tok[0], values});
    }
  }
  return in;
}

// Points "name x y z" of a section, from value `first` on.
inline void ToPoints(const Section& s,
                     size_t first,
                     CArray<CXYZ, CXYZ&>& points) {
  points.RemoveAll();
  for (const Row& r : s) {
    CXYZ p(r.name.c_str(), r.At(first), r.At(first + 1), r.At(first + 2));
    points.Add(p);
  }
}

// Object and image points of a control input: one section of control rows
// "name X Y Z x y" (the form of the published data sets), or an object
// section "name X Y Z" followed by an image section "name x y", which lets
// names differ, repeat or go unmatched.
inline void ToControl(const Input& in,
                      CArray<CXYZ, CXYZ&>& obj,
                      CArray<CXYZ, CXYZ&>& img) {
  ToPoints(in.At(0), 0, obj);
  if (in.sections.size() < 2) {
    ToPoints(in.At(0), 3, img);
  } else {
    ToPoints(in.At(1), 0, img);
  }
}

inline bool Finite(double v) { return std::isfinite(v); }

inline bool Finite(const CXYZ& p) {
  return std::isfinite(p.m_x) && std::isfinite(p.m_y) && std::isfinite(p.m_z);
}

// Stops the run as a finding: an invariant of the library does not hold.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant violated: %s\n", what);
  std::abort();
}

inline void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

}  // namespace fuzz

#endif  // COLLINEAR_FUZZ_FUZZ_INPUT_H_
