// The component-model basics that host objects are built on: class and
// interface identifiers (GUID), result codes, and the reference-counted
// root interface IUnknown. Portable: no platform headers are needed.
#ifndef COLLINEAR_CALCULATOR_HOST_UNKNOWN_H_
#define COLLINEAR_CALCULATOR_HOST_UNKNOWN_H_

#include <cstdint>
#include <string>

#include <collinear/framework/export.h>

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;

// Result codes: zero or positive is success, negative is failure.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;  // success without a value
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_BOUNDS = static_cast<HRESULT>(0x8000000Bu);

// 128-bit identifier of a host class or an interface.
struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
    return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
constexpr bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

namespace collinear {

namespace detail {
constexpr int HexDigit(char c) {
  return (c >= '0' && c <= '9')   ? c - '0'
         : (c >= 'a' && c <= 'f') ? c - 'a' + 10
         : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                  : -1;
}
}  // namespace detail

// Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", with or without braces.
// False, with *out untouched, for any other text.
constexpr bool ParseGuid(const char* text, GUID* out) {
  if (!text) return false;
  int pos = 0;
  const bool braced = text[0] == '{';
  if (braced) ++pos;
  std::uint8_t bytes[16] = {};
  int nibbles = 0;
  for (int k = 0; k < 36; ++k, ++pos) {
    const char c = text[pos];
    if (k == 8 || k == 13 || k == 18 || k == 23) {
      if (c != '-') return false;
      continue;
    }
    const int v = detail::HexDigit(c);
    if (v < 0) return false;
    bytes[nibbles / 2] = static_cast<std::uint8_t>(bytes[nibbles / 2] * 16 + v);
    ++nibbles;
  }
  if (braced && text[pos++] != '}') return false;
  if (text[pos] != '\0') return false;
  GUID g{};
  g.Data1 = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
            (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
  g.Data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  g.Data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
  *out = g;
  return true;
}

// The identifier written in text; the all-zero GUID when the text is
// malformed (so that a typo in a constant never matches a real class).
constexpr GUID MakeGuid(const char* text) {
  GUID g{};
  ParseGuid(text, &g);
  return g;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case.
COLLINEAR_API std::string GuidToString(const GUID& g);

inline bool Succeeded(HRESULT hr) { return hr >= 0; }

}  // namespace collinear

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr GUID IID_IUnknown =
    collinear::MakeGuid("{00000000-0000-0000-c000-000000000046}");

// Root of every host interface. A reference obtained from QueryInterface or
// AddRef is given back with Release; the object deletes itself when the
// last reference goes. QueryInterface stores null and returns E_NOINTERFACE
// for an interface the object does not have.
struct COLLINEAR_API IUnknown {
  virtual HRESULT QueryInterface(const GUID& iid, void** out) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;  // objects go only through Release
};

#endif  // COLLINEAR_CALCULATOR_HOST_UNKNOWN_H_
