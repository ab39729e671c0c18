// Point-file parser on arbitrary bytes: every value-count range the tools
// use, then the file readers on the same bytes written to a file. Beyond
// crashes, checks the parser's promises: accepted rows are within the
// range, finite and uniquely named; a refusal leaves no rows and names the
// source and line.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <collinear/io/point_file.h>
#include "fuzz_input.h"

namespace {

void CheckParse(const std::string& text, int min_values, int max_values) {
  std::vector<collinear::PointRow> rows;
  std::string error;
  const bool ok = collinear::ParsePointRows(
      text, "in", min_values, max_values, rows, error);
  if (!ok) {
    fuzz::Check(rows.empty(), "refused input left rows");
    fuzz::Check(error.compare(0, 3, "in:") == 0, "error does not name source");
    return;
  }
  std::set<std::string> names;
  int last_line = 0;
  for (const collinear::PointRow& r : rows) {
    const int n = static_cast<int>(r.values.size());
    fuzz::Check(n >= min_values && n <= max_values, "value count out of range");
    for (double v : r.values) fuzz::Check(std::isfinite(v), "non-finite value");
    fuzz::Check(!r.name.empty(), "empty name");
    fuzz::Check(r.name.find_first_of(" \t,#\n") == std::string::npos,
                "separator in name");
    fuzz::Check(names.insert(r.name).second, "repeated name accepted");
    fuzz::Check(r.line > last_line, "lines not increasing");
    last_line = r.line;
  }
}

// One file per process, rewritten for every input, removed at exit.
const std::string& ScratchPath() {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    std::atexit([] { std::remove(ScratchPath().c_str()); });
    return std::string(dir && *dir ? dir : "/tmp") + "/collinear-fuzz-" +
           std::to_string(getpid()) + ".txt";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // Ranges of the readers below, of the ray files and an open one.
  CheckParse(text, 2, 3);
  CheckParse(text, 3, 3);
  CheckParse(text, 5, 5);
  CheckParse(text, 8, 8);
  CheckParse(text, 0, 1000);

  const std::string& path = ScratchPath();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, f) == size;
  std::fclose(f);
  if (!written) return 0;
  std::string error;
  CArray<CXYZ, CXYZ&> points, obj, img;
  for (bool require_z : {false, true}) {
    if (collinear::ReadPointFile(path, require_z, points, error)) {
      for (INT_PTR i = 0; i < points.GetSize(); ++i)
        fuzz::Check(fuzz::Finite(points[i]), "non-finite point read");
    }
  }
  if (collinear::ReadControlFile(path, obj, img, error))
    fuzz::Check(obj.GetSize() == img.GetSize(), "control lists differ");
  return 0;
}
