#include <collinear/orientation/status_text.h>

#include <string>

#include <gtest/gtest.h>

namespace collinear {
namespace {

// The source file is UTF-8: the expected texts are the display forms.
TEST(StatusText, ConvertsCodePage932ToUtf8) {
  const struct {
    const char* sjis;
    const char* utf8;
  } kCases[] = {
      {kDltTextNotMeasured, "画像座標が未計測です。"},
      {kDltTextTooFewPoints, "点数が不足しています。"},
      {kDltTextFailed, "標定ができませんでした。"},
      {kDltText3D, "3D射影変換"},
      {kDltText2DPlane, "2D射影変換 ( Z=一定 ) "},
      {kDltText2DFewPoints, "2D射影変換 ( 点数<6 )"},
      {"P1 ( Z=0 ) \\~", "P1 ( Z=0 ) \\~"},  // ASCII passes
      {"", ""},
      {"\xb6\xd2\xd7", "ｶﾒﾗ"},  // half-width katakana: single bytes
      // 0xA0 is unassigned; a lead byte 0x82 cut off at the end.
      {"A\xa0"
       "B",
       "A\xef\xbf\xbd"
       "B"},
      {"3D\x8e\xcb\x82", "3D射\xef\xbf\xbd"},
  };
  for (const auto& c : kCases) EXPECT_EQ(StatusTextToUtf8(c.sjis), c.utf8);
  EXPECT_EQ(StatusTextToUtf8(nullptr), "");
  std::string sjis, utf8;  // longer than one conversion buffer
  for (int i = 0; i < 200; ++i) {
    sjis += kDltText3D;
    utf8 += "3D射影変換";
  }
  EXPECT_EQ(StatusTextToUtf8(sjis.c_str()), utf8);
}

}  // namespace
}  // namespace collinear
