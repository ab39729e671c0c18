// Reading of project-file JSON. A JsonReader parses a document and reads
// its values with their types checked; the first problem it meets is kept
// as a JSON path ("cameras[0].focal_length_mm", empty for the whole
// document) and a text, and every read returns false from then on, so that
// a loader gives up at the first problem with the message the user reads.
// Internal to io/: not installed.
#ifndef COLLINEAR_IO_JSON_READER_H_
#define COLLINEAR_IO_JSON_READER_H_

#include <cstddef>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace collinear {

// Keys keep the order of the file, so that a document written back reads
// as the user wrote it.
using Json = nlohmann::ordered_json;

// Paths and names as messages show them.
std::string Member(const std::string& path, const std::string& key);
std::string Element(const std::string& path, std::size_t i);
std::string Quote(const std::string& s);
// "a, b, c", or "none" for no names.
std::string JoinNames(const std::vector<std::string>& names);
// The shortest text that reads back as v.
std::string NumberText(double v);

// The value under key, or null when j has none.
const Json* Find(const Json& j, const char* key);

class JsonCursor;

class JsonReader {
 public:
  // Records the problem unless one is recorded already; returns false.
  bool Fail(const std::string& path, const std::string& what);
  bool failed() const { return failed_; }
  // "path: what", or "what" for a problem of the whole document.
  std::string message() const;

  // Parses text into doc. A key that appears twice in one object (which a
  // JSON reader would silently let win) is a problem too.
  bool Parse(const std::string& text, Json& doc);

  // The path of a list by its keys from the document, "*" for any element
  // of a list: {"images", "*", "control"}.
  using Pattern = std::vector<std::string>;
  // Receives element i of a list; false stops the reading.
  using ElementFn = std::function<bool(std::size_t i, const Json& element)>;
  // Where a list left out lies in the text: [begin, end) from its '[' to
  // its ']'; outer is the index that the '*' of its pattern stands for;
  // count its elements.
  struct ListSpan {
    std::size_t pattern, outer, begin, end, count;
  };
  // As Parse, with the elements of the lists that match patterns left out
  // of doc (the lists stay, empty), so that a large document need not be
  // held whole. text must outlive the reads of ForEachLeftOut.
  bool ParseLeavingOut(const std::string& text,
                       const std::vector<Pattern>& patterns,
                       Json& doc);
  // As ParseLeavingOut for the text of a file open for reading, which must
  // stay open for the reads of ForEachLeftOut; the file is read in blocks
  // and never held whole.
  bool ParseFileLeavingOut(std::FILE* file,
                           const std::vector<Pattern>& patterns,
                           Json& doc);
  // Hands each element of the list that ParseLeavingOut left out under
  // patterns[pattern] (with '*' standing for outer) to take, in order, one
  // document at a time; none when there is no such list. False when take
  // stopped it or a problem is recorded.
  bool ForEachLeftOut(std::size_t pattern,
                      std::size_t outer,
                      const ElementFn& take);
  // The number of elements ForEachLeftOut would hand over.
  std::size_t LeftOutCount(std::size_t pattern, std::size_t outer) const;

  // j must be an object whose keys are among allowed or start with '_'
  // (notes).
  bool CheckKeys(const Json& j,
                 const std::string& path,
                 const std::vector<std::string>& allowed);
  // A finite number.
  bool Number(const Json& v, const std::string& path, double& out);
  bool RequiredNumber(const Json& j,
                      const char* key,
                      const std::string& path,
                      double& out);
  // Leaves out as it is when j has no key.
  bool OptionalNumber(const Json& j,
                      const char* key,
                      const std::string& path,
                      double& out);
  bool Positive(double v, const std::string& path);
  // A string that is not empty.
  bool Text(const Json& v, const std::string& path, std::string& out);
  // A name or id: a string, or a whole number taken as its decimal text.
  bool Name(const Json& v, const std::string& path, std::string& out);
  bool RequiredName(const Json& j,
                    const char* key,
                    const std::string& path,
                    std::string& out);
  // A list of count numbers; of any length for count 0.
  bool Numbers(const Json& v,
               const std::string& path,
               std::size_t count,
               std::vector<double>& out);
  // The list under key of doc; an empty list when doc has none.
  bool List(const Json& doc,
            const char* key,
            const std::string& path,
            const Json*& out);

 private:
  bool failed_ = false;
  std::string path_, what_;
  // The list left out under (pattern, outer), or null.
  const ListSpan* SpanOf(std::size_t pattern, std::size_t outer) const;

  bool ParseFrom(JsonCursor& c,
                 const std::vector<Pattern>& patterns,
                 Json& doc);

  const std::string* text_ = nullptr;  // or
  std::FILE* file_ = nullptr;
  std::vector<ListSpan> spans_;
};

// Runs step, a function returning bool, for a public entry point of io/.
// An exception of nlohmann::json or of the standard library (memory
// exhausted, say) becomes error = prefix + its text and false: the one
// place where io/ catches.
template <class Step>
bool CatchForeign(const std::string& prefix, std::string& error, Step&& step) {
  try {
    return step();
  } catch (const std::exception& e) {
    error = prefix + e.what();
  }
  return false;
}

}  // namespace collinear

#endif  // COLLINEAR_IO_JSON_READER_H_
