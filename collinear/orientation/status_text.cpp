#include <collinear/orientation/status_text.h>

#include <cerrno>
#include <cstring>

#include <iconv.h>

namespace collinear {
namespace {

constexpr char kReplacement[] = "\xef\xbf\xbd";  // U+FFFD in UTF-8

// Without a converter: ASCII bytes pass, every other byte is replaced.
std::string AsciiOnly(const char* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else {
      out += kReplacement;
    }
  }
  return out;
}

}  // namespace

std::string StatusTextToUtf8(const char* sjis_text) {
  if (sjis_text == nullptr) return std::string();
  const size_t length = std::strlen(sjis_text);
  // A descriptor per call: iconv state is not safe to share between threads.
  // iconv_open reports failure as (iconv_t)-1, the one integer-to-pointer
  // cast its interface asks for.
  const auto kFailed = reinterpret_cast<iconv_t>(-1);  // NOLINT
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == kFailed) cd = iconv_open("UTF-8", "SHIFT_JIS");
  if (cd == kFailed) return AsciiOnly(sjis_text, length);

  std::string in(sjis_text, length);  // iconv wants a mutable input pointer
  char* in_ptr = in.data();
  size_t in_left = length;
  std::string out;
  char buffer[256];
  while (in_left > 0) {
    char* out_ptr = buffer;
    size_t out_left = sizeof(buffer);
    const size_t rc = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    out.append(buffer, static_cast<size_t>(out_ptr - buffer));
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ (invalid byte) or EINVAL (a lead byte cut off at the end):
    // replace one byte and go on after it.
    out += kReplacement;
    ++in_ptr;
    --in_left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // reset the shift state
  }
  iconv_close(cd);
  return out;
}

std::string DltStatusInEnglish(const char* sjis_text) {
  static const struct {
    const char* text;
    const char* english;
  } kTexts[] = {
      {kDltTextNotMeasured, "no object point has a measured image point"},
      {kDltTextTooFewPoints, "too few points"},
      {kDltTextFailed, "the orientation could not be computed"},
      {kDltText3D, "spatial DLT"},
      {kDltText2DPlane, "plane DLT (Z constant)"},
      {kDltText2DFewPoints, "plane DLT (fewer than 6 points)"},
  };
  if (!sjis_text) return "";
  for (const auto& t : kTexts)
    if (std::strcmp(sjis_text, t.text) == 0) return t.english;
  return StatusTextToUtf8(sjis_text);
}

}  // namespace collinear
