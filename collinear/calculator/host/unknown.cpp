#include <collinear/calculator/host/unknown.h>

#include <cstdio>

namespace collinear {

std::string GuidToString(const GUID& g) {
  char buf[40];
  std::snprintf(buf,
                sizeof buf,
                "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(g.Data1),
                static_cast<unsigned>(g.Data2),
                static_cast<unsigned>(g.Data3),
                g.Data4[0],
                g.Data4[1],
                g.Data4[2],
                g.Data4[3],
                g.Data4[4],
                g.Data4[5],
                g.Data4[6],
                g.Data4[7]);
  return buf;
}

}  // namespace collinear
