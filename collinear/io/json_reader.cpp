#include <collinear/io/json_reader.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
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

// The characters of a JSON text from offset begin to end: all in memory,
// or read from a file in blocks, so that a large file is never held whole.
// Offset() is how far the parser has read.
class JsonCursor {
 public:
  JsonCursor(const std::string& text, std::size_t begin, std::size_t end)
      : buf_(text.data()), i_(begin), n_(end) {}
  JsonCursor(std::FILE* file, std::size_t begin, std::size_t end)
      : file_(file), block_(kBlockSize), start_(begin), end_(end) {
    if (std::fseek(file, static_cast<long>(begin), SEEK_SET) != 0)
      error_ = true;
    else
      Refill();
  }

  char Get() const { return buf_[i_]; }
  void Advance() {
    if (++i_ == n_ && file_) Refill();
  }
  bool Done() const { return i_ >= n_; }
  std::size_t Offset() const { return start_ + i_; }
  bool error() const { return error_; }

 private:
  static constexpr std::size_t kBlockSize = 1 << 16;

  void Refill() {
    start_ += n_;
    i_ = 0;
    n_ = std::fread(block_.data(),
                    1,
                    std::min(block_.size(), end_ - std::min(end_, start_)),
                    file_);
    error_ = error_ || std::ferror(file_) != 0;
    buf_ = block_.data();
  }

  std::FILE* file_ = nullptr;
  std::vector<char> block_;
  const char* buf_ = nullptr;
  std::size_t i_ = 0, n_ = 0;
  std::size_t start_ = 0;  // offset of buf_[0] in a file
  std::size_t end_ = 0;
  bool error_ = false;
};

namespace {

std::string KindOf(const Json& j) {
  if (j.is_object()) return "an object";
  if (j.is_array()) return "a list";
  if (j.is_string()) return "a string";
  if (j.is_boolean()) return "true/false";
  if (j.is_null()) return "null";
  return "a number";
}

// Walks a JsonCursor for the parser; the iterator without one is the end.
// Copies share the cursor, as input iterators may: the parser reads
// through one of them.
class CursorIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = char;

  explicit CursorIterator(JsonCursor* c) : c_(c) {}
  char operator*() const { return c_->Get(); }
  CursorIterator& operator++() {
    c_->Advance();
    return *this;
  }
  CursorIterator operator++(int) {
    ++*this;
    return *this;
  }
  bool operator==(const CursorIterator& o) const { return Done() == o.Done(); }
  bool operator!=(const CursorIterator& o) const { return Done() != o.Done(); }

 private:
  bool Done() const { return !c_ || c_->Done(); }
  JsonCursor* c_;
};

// Builds a document from the events of nlohmann::json's parser, as its own
// builder does, and notes the first key that appears twice in an object and
// the parser's error, without an exception. The elements of lists that
// match a streamed pattern are left out (the list stays, empty), and where
// each such list lies in the text is noted. With stream set, it builds
// only the elements of the list the text consists of, one at a time, and
// hands each to stream.
class DocumentBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  DocumentBuilder(Json& root,
                  const JsonCursor& cursor,
                  const std::vector<JsonReader::Pattern>& patterns,
                  std::vector<JsonReader::ListSpan>* spans,
                  const JsonReader::ElementFn* stream)
      : root_(root),
        cursor_(cursor),
        patterns_(patterns),
        spans_(spans),
        stream_(stream) {}

  bool null() { return Add(nullptr); }
  bool boolean(bool v) { return Add(v); }
  bool number_integer(number_integer_t v) { return Add(v); }
  bool number_unsigned(number_unsigned_t v) { return Add(v); }
  bool number_float(number_float_t v, const string_t&) { return Add(v); }
  bool string(string_t& v) { return Add(std::move(v)); }
  bool binary(binary_t& v) { return Add(Json::binary(std::move(v))); }
  bool start_object(std::size_t) {
    Json* v = Place(Json::object());
    stack_.push_back(Frame{v, nullptr, false, false, 0, "", {}, {}});
    return true;
  }
  bool key(string_t& k) {
    Frame& f = stack_.back();
    if (!stream_ && !f.NewKey(k) && duplicate_key_.empty()) {
      duplicate_key_ = k;
      duplicate_path_ = Where();
    }
    f.key = k;
    if (f.value) f.element = &(*f.value)[k];
    return true;
  }
  bool end_object() { return End(); }
  bool start_array(std::size_t) {
    Json* v = Place(Json::array());
    const bool streamed = !stream_ && v && Streamed();
    stack_.push_back(Frame{v, nullptr, true, streamed, 0, "", {}, {}});
    if (streamed) begin_ = cursor_.Offset() - 1;  // at the '['

    return true;
  }
  bool end_array() {
    const Frame& f = stack_.back();
    if (f.streamed)
      spans_->push_back(JsonReader::ListSpan{
          pattern_, outer_, begin_, cursor_.Offset(), f.count});
    return End();
  }
  // "... parse error at line L, column C: what" becomes "line L, column C:
  // not valid JSON: what"; a number too large for a double is the other
  // kind of error the parser reports.
  bool parse_error(std::size_t, const std::string&, const Json::exception& e) {
    if (stopped_) return false;
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
  // An object or list being read; value is null where it is not built.
  struct Frame {
    Json* value;
    Json* element;  // in an object, the value of the last key
    bool array;
    bool streamed;      // a list whose elements are left out
    std::size_t count;  // in a list, the elements begun
    std::string key;
    // Keys seen: a short list, and a set once there are many.
    std::vector<std::string> keys;
    std::set<std::string> many;

    bool NewKey(const std::string& k) {
      constexpr std::size_t kShortList = 16;
      if (many.empty()) {
        for (const std::string& seen : keys)
          if (seen == k) return false;
        keys.push_back(k);
        if (keys.size() <= kShortList) return true;
        many.insert(keys.begin(), keys.end());
        keys.clear();
        return true;
      }
      return many.insert(k).second;
    }
  };

  // True when the list being begun matches a pattern; notes which, and the
  // element index that its '*' stands for.
  bool Streamed() {
    for (std::size_t p = 0; p < patterns_.size(); ++p) {
      const JsonReader::Pattern& pat = patterns_[p];
      if (pat.size() != stack_.size()) continue;
      bool match = true;
      std::size_t outer = 0;
      for (std::size_t i = 0; i < pat.size() && match; ++i) {
        const Frame& f = stack_[i];
        if (pat[i] == "*") {
          match = f.array;
          outer = f.count - 1;
        } else {
          match = !f.array && f.key == pat[i];
        }
      }
      if (match) {
        pattern_ = p;
        outer_ = outer;
        return true;
      }
    }
    return false;
  }

  // Places v where the parser stands: the document, the next element of a
  // list or the value of the last key of an object. Null where nothing is
  // built.
  template <class V>
  Json* Place(V&& v) {
    if (stack_.empty()) {
      if (stream_) return nullptr;
      root_ = Json(std::forward<V>(v));
      return &root_;
    }
    Frame& f = stack_.back();
    if (f.array) ++f.count;
    if (stream_ && stack_.size() == 1) {
      element_ = Json(std::forward<V>(v));
      return &element_;
    }
    if (!f.value || f.streamed) return nullptr;
    if (f.array) {
      f.value->push_back(Json(std::forward<V>(v)));
      return &f.value->back();
    }
    *f.element = Json(std::forward<V>(v));
    return f.element;
  }
  template <class V>
  bool Add(V&& v) {
    Place(std::forward<V>(v));
    return stack_.size() != 1 || !stream_ || Hand();
  }
  bool End() {
    stack_.pop_back();
    return stack_.size() != 1 || !stream_ || Hand();
  }
  // Hands the element just completed to stream; false to stop.
  bool Hand() {
    const bool go = (*stream_)(stack_.back().count - 1, element_);
    element_ = nullptr;
    stopped_ = !go;
    return go;
  }

  // The path of the object or list being read.
  std::string Where() const {
    std::string p;
    for (std::size_t i = 0; i + 1 < stack_.size(); ++i)
      p = stack_[i].array ? Element(p, stack_[i].count - 1)
                          : Member(p, stack_[i].key);
    return p;
  }

  Json& root_;
  const JsonCursor& cursor_;
  const std::vector<JsonReader::Pattern>& patterns_;
  std::vector<JsonReader::ListSpan>* spans_;
  const JsonReader::ElementFn* stream_;
  Json element_;
  std::size_t begin_ = 0;
  std::size_t pattern_ = 0, outer_ = 0;
  bool stopped_ = false;
  std::vector<Frame> stack_;
  std::string error_, duplicate_key_, duplicate_path_;
};

// Runs the parser over the characters of c with b.
bool SaxParse(JsonCursor& c, DocumentBuilder& b) {
  return Json::sax_parse(CursorIterator(&c), CursorIterator(nullptr), &b);
}

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
  return ParseLeavingOut(text, {}, doc);
}

bool JsonReader::ParseLeavingOut(const std::string& text,
                                 const std::vector<Pattern>& patterns,
                                 Json& doc) {
  text_ = &text;
  file_ = nullptr;
  JsonCursor c(text, 0, text.size());
  return ParseFrom(c, patterns, doc);
}

bool JsonReader::ParseFileLeavingOut(std::FILE* file,
                                     const std::vector<Pattern>& patterns,
                                     Json& doc) {
  text_ = nullptr;
  file_ = file;
  JsonCursor c(file, 0, static_cast<std::size_t>(-1));
  return ParseFrom(c, patterns, doc);
}

bool JsonReader::ParseFrom(JsonCursor& c,
                           const std::vector<Pattern>& patterns,
                           Json& doc) {
  spans_.clear();
  DocumentBuilder builder(doc, c, patterns, &spans_, nullptr);
  const bool parsed = SaxParse(c, builder);
  if (c.error()) return Fail("", "cannot read the file");
  if (!parsed) {
    spans_.clear();
    return Fail("", builder.error());
  }
  if (!builder.duplicate_key().empty())
    return Fail(builder.duplicate_path(),
                "key " + Quote(builder.duplicate_key()) + " appears twice");
  std::sort(spans_.begin(), spans_.end(), [](const auto& a, const auto& b) {
    return std::make_pair(a.pattern, a.outer) <
           std::make_pair(b.pattern, b.outer);
  });
  return true;
}

const JsonReader::ListSpan* JsonReader::SpanOf(std::size_t pattern,
                                               std::size_t outer) const {
  const auto it = std::lower_bound(
      spans_.begin(),
      spans_.end(),
      std::make_pair(pattern, outer),
      [](const ListSpan& s, const std::pair<std::size_t, std::size_t>& k) {
        return std::make_pair(s.pattern, s.outer) < k;
      });
  if (it == spans_.end() || it->pattern != pattern || it->outer != outer)
    return nullptr;
  return &*it;
}

std::size_t JsonReader::LeftOutCount(std::size_t pattern,
                                     std::size_t outer) const {
  const ListSpan* s = SpanOf(pattern, outer);
  return s ? s->count : 0;
}

bool JsonReader::ForEachLeftOut(std::size_t pattern,
                                std::size_t outer,
                                const ElementFn& take) {
  if (failed_) return false;
  const ListSpan* s = SpanOf(pattern, outer);
  if (!s) return true;
  Json unused;
  const std::vector<Pattern> none;
  std::unique_ptr<JsonCursor> c(file_
                                    ? new JsonCursor(file_, s->begin, s->end)
                                    : new JsonCursor(*text_, s->begin, s->end));
  DocumentBuilder builder(unused, *c, none, nullptr, &take);
  const bool done = SaxParse(*c, builder);
  if (c->error()) return Fail("", "cannot read the file");
  return done && !failed_;
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
