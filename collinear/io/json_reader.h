// Reading of project-file JSON. A JsonReader parses a document and reads
// its values with their types checked; the first problem it meets is kept
// as a JSON path ("cameras[0].focal_length_mm", empty for the whole
// document) and a text, and every read returns false from then on, so that
// a loader gives up at the first problem with the message the user reads.
// Internal to io/: not installed.
#ifndef COLLINEAR_IO_JSON_READER_H_
#define COLLINEAR_IO_JSON_READER_H_

#include <cstddef>
#include <exception>
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
