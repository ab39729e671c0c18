#include <collinear/io/json_reader.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

namespace collinear {

std::string Member(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

std::string Element(const std::string& path, std::size_t i) {
  return path + "[" + std::to_string(i) + "]";
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::string JoinNames(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
  return s.empty() ? "none" : s;
}

std::string NumberText(double v) {
  char buf[32];
  for (int digits = 6; digits <= 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

const Json* Find(const Json& j, const char* key) {
  const auto it = j.find(key);
  return it == j.end() ? nullptr : &*it;
}

namespace {

std::string KindOf(const Json& j) {
  if (j.is_object()) return "an object";
  if (j.is_array()) return "a list";
  if (j.is_string()) return "a string";
  if (j.is_boolean()) return "true/false";
  if (j.is_null()) return "null";
  return "a number";
}

// Builds the document from the events of nlohmann::json's parser, as its
// own builder does, and notes the first key that appears twice in an
// object and the parser's error, without an exception.
class DocumentBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  explicit DocumentBuilder(Json& root) : root_(root) {}

  bool null() { return Add(nullptr) != nullptr; }
  bool boolean(bool v) { return Add(v) != nullptr; }
  bool number_integer(number_integer_t v) { return Add(v) != nullptr; }
  bool number_unsigned(number_unsigned_t v) { return Add(v) != nullptr; }
  bool number_float(number_float_t v, const string_t&) {
    return Add(v) != nullptr;
  }
  bool string(string_t& v) { return Add(std::move(v)) != nullptr; }
  bool binary(binary_t& v) { return Add(Json::binary(std::move(v))); }
  bool start_object(std::size_t) {
    stack_.push_back(Frame{Add(Json::object()), nullptr, "", {}});
    return true;
  }
  bool key(string_t& k) {
    Frame& f = stack_.back();
    if (!f.keys.insert(k).second && duplicate_key_.empty()) {
      duplicate_key_ = k;
      duplicate_path_ = Where();
    }
    f.key = k;
    f.element = &(*f.value)[k];
    return true;
  }
  bool end_object() {
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    stack_.push_back(Frame{Add(Json::array()), nullptr, "", {}});
    return true;
  }
  bool end_array() {
    stack_.pop_back();
    return true;
  }
  // "... parse error at line L, column C: what" becomes "line L, column C:
  // not valid JSON: what"; a number too large for a double is the other
  // kind of error the parser reports.
  bool parse_error(std::size_t, const std::string&, const Json::exception& e) {
    std::string what = e.what();
    if (dynamic_cast<const Json::parse_error*>(&e)) {
      const std::size_t at = what.find("parse error at line ");
      int line = 0, column = 0;
      if (at != std::string::npos &&
          std::sscanf(what.c_str() + at,
                      "parse error at line %d, column %d",
                      &line,
                      &column) == 2) {
        const std::size_t colon = what.find(": ", at);
        what = colon == std::string::npos ? what : what.substr(colon + 2);
        error_ = "line " + std::to_string(line) + ", column " +
                 std::to_string(column) + ": not valid JSON: " + what;
      } else {
        error_ = "not valid JSON: " + what;
      }
    } else {
      const std::size_t close = what.find("] ");
      error_ = "not valid JSON: " +
               (close == std::string::npos ? what : what.substr(close + 2));
    }
    return false;
  }

  const std::string& error() const { return error_; }
  const std::string& duplicate_key() const { return duplicate_key_; }
  const std::string& duplicate_path() const { return duplicate_path_; }

 private:
  struct Frame {
    Json* value;    // the object or list being read
    Json* element;  // in an object, the value of the last key
    std::string key;
    std::set<std::string> keys;
  };

  // Places v where the parser stands: the document, the next element of a
  // list or the value of the last key of an object.
  template <class V>
  Json* Add(V&& v) {
    if (stack_.empty()) {
      root_ = Json(std::forward<V>(v));
      return &root_;
    }
    Frame& f = stack_.back();
    if (f.value->is_array()) {
      f.value->push_back(Json(std::forward<V>(v)));
      return &f.value->back();
    }
    *f.element = Json(std::forward<V>(v));
    return f.element;
  }

  // The path of the object or list being read.
  std::string Where() const {
    std::string p;
    for (std::size_t i = 0; i + 1 < stack_.size(); ++i)
      p = stack_[i].value->is_object()
              ? Member(p, stack_[i].key)
              : Element(p, stack_[i].value->size() - 1);
    return p;
  }

  Json& root_;
  std::vector<Frame> stack_;
  std::string error_, duplicate_key_, duplicate_path_;
};

}  // namespace

bool JsonReader::Fail(const std::string& path, const std::string& what) {
  if (!failed_) {
    failed_ = true;
    path_ = path;
    what_ = what;
  }
  return false;
}

std::string JsonReader::message() const {
  return (path_.empty() ? "" : path_ + ": ") + what_;
}

bool JsonReader::Parse(const std::string& text, Json& doc) {
  DocumentBuilder builder(doc);
  if (!Json::sax_parse(text, &builder)) return Fail("", builder.error());
  if (!builder.duplicate_key().empty())
    return Fail(builder.duplicate_path(),
                "key " + Quote(builder.duplicate_key()) + " appears twice");
  return true;
}

bool JsonReader::CheckKeys(const Json& j,
                           const std::string& path,
                           const std::vector<std::string>& allowed) {
  if (!j.is_object()) return Fail(path, "must be an object, not " + KindOf(j));
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string& key = it.key();
    if (!key.empty() && key[0] == '_') continue;
    bool known = false;
    for (const std::string& a : allowed) known = known || a == key;
    if (!known)
      return Fail(Member(path, key),
                  "unknown key; allowed here: " + JoinNames(allowed));
  }
  return !failed_;
}

bool JsonReader::Number(const Json& v, const std::string& path, double& out) {
  if (!v.is_number()) return Fail(path, "must be a number, not " + KindOf(v));
  const double d = v.get<double>();
  if (!std::isfinite(d)) return Fail(path, "must be a finite number");
  out = d;
  return !failed_;
}

bool JsonReader::RequiredNumber(const Json& j,
                                const char* key,
                                const std::string& path,
                                double& out) {
  const Json* v = Find(j, key);
  if (!v) return Fail(path, std::string("needs '") + key + "'");
  return Number(*v, Member(path, key), out);
}

bool JsonReader::OptionalNumber(const Json& j,
                                const char* key,
                                const std::string& path,
                                double& out) {
  const Json* v = Find(j, key);
  return v ? Number(*v, Member(path, key), out) : !failed_;
}

bool JsonReader::Positive(double v, const std::string& path) {
  if (!(v > 0.0))
    return Fail(path, "must be greater than 0 (it is " + NumberText(v) + ")");
  return !failed_;
}

bool JsonReader::Text(const Json& v,
                      const std::string& path,
                      std::string& out) {
  if (!v.is_string()) return Fail(path, "must be a string, not " + KindOf(v));
  std::string s = v.get<std::string>();
  if (s.empty()) return Fail(path, "must not be empty");
  out = std::move(s);
  return !failed_;
}

bool JsonReader::Name(const Json& v,
                      const std::string& path,
                      std::string& out) {
  if (v.is_number_integer()) {
    out = v.dump();
    return !failed_;
  }
  if (!v.is_string())
    return Fail(path, "must be a string (or a whole number), not " + KindOf(v));
  return Text(v, path, out);
}

bool JsonReader::RequiredName(const Json& j,
                              const char* key,
                              const std::string& path,
                              std::string& out) {
  const Json* v = Find(j, key);
  if (!v) return Fail(path, std::string("needs '") + key + "'");
  return Name(*v, Member(path, key), out);
}

bool JsonReader::Numbers(const Json& v,
                         const std::string& path,
                         std::size_t count,
                         std::vector<double>& out) {
  if (!v.is_array() || (count > 0 && v.size() != count))
    return Fail(path,
                count > 0
                    ? "must be a list of " + std::to_string(count) + " numbers"
                    : "must be a list of numbers");
  out.clear();
  for (std::size_t i = 0; i < v.size(); ++i) {
    double d = 0.0;
    if (!Number(v[i], Element(path, i), d)) return false;
    out.push_back(d);
  }
  return !failed_;
}

bool JsonReader::List(const Json& doc,
                      const char* key,
                      const std::string& path,
                      const Json*& out) {
  static const Json kEmpty = Json::array();
  const Json* v = Find(doc, key);
  if (v && !v->is_array())
    return Fail(Member(path, key), "must be a list, not " + KindOf(*v));
  out = v ? v : &kEmpty;
  return !failed_;
}

}  // namespace collinear
