// Narrow-character string of the framework layer. The bytes are kept exactly
// as given: no encoding is assumed (status texts are Shift-JIS bytes, point
// names whatever the host wrote). A null pointer reads as the empty string.
#ifndef COLLINEAR_FRAMEWORK_STRING_H_
#define COLLINEAR_FRAMEWORK_STRING_H_

#include <cstring>
#include <string>

class CString {
 public:
  CString() = default;
  CString(const char* s) : s_(s ? s : "") {}  // NOLINT: implicit by design
  CString(const std::string& s) : s_(s) {}    // NOLINT: implicit by design
  CString(const char* s, int n) : s_(s ? std::string(s, n) : std::string()) {}

  CString& operator=(const char* s) {
    s_ = s ? s : "";
    return *this;
  }
  CString& operator=(const std::string& s) {
    s_ = s;
    return *this;
  }
  CString& operator+=(const CString& o) {
    s_ += o.s_;
    return *this;
  }
  CString& operator+=(const char* s) {
    if (s) s_ += s;
    return *this;
  }
  CString& operator+=(char c) {
    s_ += c;
    return *this;
  }

  int GetLength() const { return static_cast<int>(s_.size()); }
  bool IsEmpty() const { return s_.empty(); }
  void Empty() { s_.clear(); }
  const char* GetString() const { return s_.c_str(); }
  operator const char*() const { return s_.c_str(); }  // NOLINT: MFC-style
  const std::string& str() const { return s_; }

  friend bool operator==(const CString& a, const CString& b) {
    return a.s_ == b.s_;
  }
  friend bool operator!=(const CString& a, const CString& b) {
    return a.s_ != b.s_;
  }
  friend bool operator==(const CString& a, const char* b) {
    return a.s_ == (b ? b : "");
  }
  friend bool operator!=(const CString& a, const char* b) { return !(a == b); }
  friend bool operator==(const char* a, const CString& b) { return b == a; }
  friend bool operator!=(const char* a, const CString& b) { return !(b == a); }
  friend bool operator<(const CString& a, const CString& b) {
    return a.s_ < b.s_;
  }
  friend CString operator+(const CString& a, const CString& b) {
    return CString(a.s_ + b.s_);
  }

 private:
  std::string s_;
};

#endif  // COLLINEAR_FRAMEWORK_STRING_H_
