// Point files: one point a line, "name c1 c2 [c3 ...]", columns separated by
// white space or commas, "#" starts a comment, empty lines are skipped. The
// coordinates carry no unit of their own: the caller states it. Names are
// unique within a file. Errors name the source, the line and what is wrong.
#ifndef COLLINEAR_IO_POINT_FILE_H_
#define COLLINEAR_IO_POINT_FILE_H_

#include <string>
#include <vector>

#include <collinear/framework/array.h>
#include <collinear/framework/export.h>
#include <collinear/primitives/xyz.h>

namespace collinear {

// One parsed line: the point name, its coordinates in file order, and the
// 1-based line number it came from.
struct PointRow {
  std::string name;
  std::vector<double> values;
  int line = 0;
};

// Reads every point row of text (source names the file in messages). Each
// row must hold between min_values and max_values decimal numbers after its
// name, all rows as many when same_count. Returns true and fills rows; on the
// first bad line returns false, leaves rows empty and sets error to
// "source:line: what is wrong".
COLLINEAR_API bool ParsePointRows(const std::string& text,
                                  const std::string& source,
                                  int min_values,
                                  int max_values,
                                  std::vector<PointRow>& rows,
                                  std::string& error,
                                  bool same_count = false);

// Reads a whole file into text. False, with error set, when it cannot be
// read.
COLLINEAR_API bool ReadTextFile(const std::string& path,
                                std::string& text,
                                std::string& error);

// Writes text to path through a temporary file beside the real target and
// a rename, so that a failure leaves the old file whole. Follows symbolic
// links (the link stays, its target is replaced) and keeps an existing
// file's mode and owner. Refuses a read-only file or one that is not a
// regular file. False, with error set and nothing changed, on failure.
COLLINEAR_API bool WriteTextFile(const std::string& path,
                                 const std::string& text,
                                 std::string& error);

// Reads a point file of "name x y [z]" rows into points, in file order;
// every row with z or none (then z = 0; refused when require_z, and a z
// refused when max_values is 2, as in a file of image points).
COLLINEAR_API bool ReadPointFile(const std::string& path,
                                 bool require_z,
                                 CArray<CXYZ, CXYZ&>& points,
                                 std::string& error,
                                 int max_values = 3);

// Reads a control file of "name X Y Z x y" rows, the form of the published
// data sets: object coordinates and image coordinates of the same point.
COLLINEAR_API bool ReadControlFile(const std::string& path,
                                   CArray<CXYZ, CXYZ&>& object_points,
                                   CArray<CXYZ, CXYZ&>& image_points,
                                   std::string& error);

}  // namespace collinear

#endif  // COLLINEAR_IO_POINT_FILE_H_
