#include <collinear/io/json_layout.h>

#include <cstddef>

namespace collinear {
namespace {

// Project files are laid out for lines of this many columns.
constexpr std::size_t kLineWidth = 80;

// The value on one line.
std::string Inline(const Json& j) {
  if (j.is_array()) {
    std::string s = "[";
    for (std::size_t i = 0; i < j.size(); ++i)
      s += (i ? ", " : "") + Inline(j[i]);
    return s + "]";
  }
  if (j.is_object()) {
    std::string s = "{";
    bool first = true;
    for (auto it = j.begin(); it != j.end(); ++it) {
      s += (first ? "" : ", ") + Json(it.key()).dump() + ": " +
           Inline(it.value());
      first = false;
    }
    return s + "}";
  }
  return j.dump();
}

// One line per value where the value does not fit from column on.
void Layout(const Json& j,
            std::size_t indent,
            std::size_t column,
            std::string& out) {
  const std::string flat = Inline(j);
  if (!j.is_structured() || j.empty() || column + flat.size() <= kLineWidth) {
    out += flat;
    return;
  }
  const std::string pad(indent + 2, ' ');
  out += j.is_array() ? "[\n" : "{\n";
  std::size_t i = 0;
  for (auto it = j.begin(); it != j.end(); ++it, ++i) {
    out += pad;
    std::size_t at = pad.size();
    if (j.is_object()) {
      const std::string key = Json(it.key()).dump() + ": ";
      out += key;
      at += key.size();
    }
    // A trailing comma takes a column too.
    Layout(it.value(), indent + 2, at + (i + 1 < j.size() ? 1 : 0), out);
    out += i + 1 < j.size() ? ",\n" : "\n";
  }
  out += std::string(indent, ' ') + (j.is_array() ? "]" : "}");
}

}  // namespace

std::string LayoutJson(const Json& doc) {
  std::string out;
  Layout(doc, 0, 0, out);
  return out + "\n";
}

}  // namespace collinear
