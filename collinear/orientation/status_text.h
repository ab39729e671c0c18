// Status texts of the orientation solvers. CDlt leaves one of these in
// m_Message; they are Japanese texts stored as Shift-JIS (code page 932)
// bytes, exactly as hosts written for that code page compare them. The UTF-8
// form of each text is in the comment beside it.
#ifndef COLLINEAR_ORIENTATION_STATUS_TEXT_H_
#define COLLINEAR_ORIENTATION_STATUS_TEXT_H_

#include <string>

#include <collinear/framework/export.h>

namespace collinear {

// "画像座標が未計測です。": no object point has a measured image point.
inline constexpr char kDltTextNotMeasured[] =
    "\x89\xe6\x91\x9c\x8d\xc0\x95\x57\x82\xaa\x96\xa2\x8c\x76\x91\xaa\x82\xc5"
    "\x82\xb7\x81\x42";
// "点数が不足しています。": fewer matched points than the solution needs.
inline constexpr char kDltTextTooFewPoints[] =
    "\x93\x5f\x90\x94\x82\xaa\x95\x73\x91\xab\x82\xb5\x82\xc4\x82\xa2\x82\xdc"
    "\x82\xb7\x81\x42";
// "標定ができませんでした。": the chosen solution could not be computed.
inline constexpr char kDltTextFailed[] =
    "\x95\x57\x92\xe8\x82\xaa\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x82\xc5"
    "\x82\xb5\x82\xbd\x81\x42";
// "3D射影変換": spatial projective transformation.
inline constexpr char kDltText3D[] = "3D\x8e\xcb\x89\x65\x95\xcf\x8a\xb7";
// "2D射影変換 ( Z=一定 ) " (with the trailing blank): plane projective
// transformation on control points of constant Z.
inline constexpr char kDltText2DPlane[] =
    "2D\x8e\xcb\x89\x65\x95\xcf\x8a\xb7 ( Z=\x88\xea\x92\xe8 ) ";
// "2D射影変換 ( 点数<6 )": plane projective transformation, 4 or 5 points.
inline constexpr char kDltText2DFewPoints[] =
    "2D\x8e\xcb\x89\x65\x95\xcf\x8a\xb7 ( \x93\x5f\x90\x94<6 )";

// Converts a Shift-JIS (code page 932) text, such as CDlt::m_Message, to
// UTF-8 for display. ASCII passes unchanged; a byte sequence that is not
// valid code page 932 becomes U+FFFD. A null pointer gives "".
COLLINEAR_API std::string StatusTextToUtf8(const char* sjis_text);

// The English meaning of CDlt's status text (one of the kDltText* above);
// a text not known here is shown converted to UTF-8. Null gives "".
COLLINEAR_API std::string DltStatusInEnglish(const char* sjis_text);

}  // namespace collinear

#endif  // COLLINEAR_ORIENTATION_STATUS_TEXT_H_
