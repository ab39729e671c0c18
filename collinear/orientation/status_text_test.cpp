#include <collinear/orientation/status_text.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace collinear {
namespace {

// The source file is UTF-8, so these literals are the display forms.
TEST(StatusText, ConvertsEveryDltTextToUtf8) {
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
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(StatusTextToUtf8(c.sjis), c.utf8);
  }
}

TEST(StatusText, TextsAreTheCodePage932Bytes) {
  // Independent of the converter: the bytes of two texts written out.
  const unsigned char kNotMeasured[] = {
      0x89, 0xe6, 0x91, 0x9c, 0x8d, 0xc0, 0x95, 0x57, 0x82, 0xaa, 0x96,
      0xa2, 0x8c, 0x76, 0x91, 0xaa, 0x82, 0xc5, 0x82, 0xb7, 0x81, 0x42};
  ASSERT_EQ(std::strlen(kDltTextNotMeasured), sizeof(kNotMeasured));
  EXPECT_EQ(
      std::memcmp(kDltTextNotMeasured, kNotMeasured, sizeof(kNotMeasured)), 0);
  const unsigned char kPlane[] = {
      0x32, 0x44, 0x8e, 0xcb, 0x89, 0x65, 0x95, 0xcf, 0x8a, 0xb7, 0x20,
      0x28, 0x20, 0x5a, 0x3d, 0x88, 0xea, 0x92, 0xe8, 0x20, 0x29, 0x20};
  ASSERT_EQ(std::strlen(kDltText2DPlane), sizeof(kPlane));
  EXPECT_EQ(std::memcmp(kDltText2DPlane, kPlane, sizeof(kPlane)), 0);
}

TEST(StatusText, AsciiEmptyAndNullPassThrough) {
  EXPECT_EQ(StatusTextToUtf8("P1 ( Z=0 ) \\~"), "P1 ( Z=0 ) \\~");
  EXPECT_EQ(StatusTextToUtf8(""), "");
  EXPECT_EQ(StatusTextToUtf8(nullptr), "");
}

TEST(StatusText, InvalidBytesBecomeReplacementCharacters) {
  const std::string kFffd = "\xef\xbf\xbd";
  // 0xA0 is unassigned; a lone lead byte 0x82 cut off at the end.
  EXPECT_EQ(StatusTextToUtf8("A\xa0"
                             "B"),
            "A" + kFffd + "B");
  EXPECT_EQ(StatusTextToUtf8("3D\x8e\xcb\x82"), "3D射" + kFffd);
  // Half-width katakana are single bytes in code page 932.
  EXPECT_EQ(StatusTextToUtf8("\xb6\xd2\xd7"), "ｶﾒﾗ");
}

TEST(StatusText, LongTextsConvertWhole) {
  std::string sjis, utf8;
  for (int i = 0; i < 200; ++i) {
    sjis += kDltText3D;
    utf8 += "3D射影変換";
  }
  EXPECT_EQ(StatusTextToUtf8(sjis.c_str()), utf8);
}

}  // namespace
}  // namespace collinear
