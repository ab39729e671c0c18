// The layout of project files as they are written: two-space indent, arrays
// and objects that fit in a line of 80 columns on one line, a newline at the
// end. Internal to io/: not installed.
#ifndef COLLINEAR_IO_JSON_LAYOUT_H_
#define COLLINEAR_IO_JSON_LAYOUT_H_

#include <string>

#include <collinear/io/json_reader.h>

namespace collinear {

std::string LayoutJson(const Json& doc);

}  // namespace collinear

#endif  // COLLINEAR_IO_JSON_LAYOUT_H_
