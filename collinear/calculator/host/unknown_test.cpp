#include <collinear/calculator/host/unknown.h>

#include <gtest/gtest.h>

TEST(Guid, ParsesBracedAndBareTextAlike) {
  constexpr GUID g =
      collinear::MakeGuid("{53ff0420-ea38-11d5-ba6f-00609423f782}");
  static_assert(g.Data1 == 0x53ff0420u, "parsed at compile time");
  // clang-format off
  const GUID want = {0x53ff0420, 0xea38, 0x11d5,
                     {0xba, 0x6f, 0x00, 0x60, 0x94, 0x23, 0xf7, 0x82}};
  // clang-format on
  EXPECT_EQ(g, want);
  EXPECT_EQ(g, collinear::MakeGuid("53FF0420-EA38-11D5-BA6F-00609423F782"));
  EXPECT_NE(g, collinear::MakeGuid("{53ff0420-ea38-11d5-ba6f-00609423f783}"));
  EXPECT_EQ(collinear::GuidToString(g),
            "{53ff0420-ea38-11d5-ba6f-00609423f782}");
}

TEST(Guid, MalformedTextGivesTheNullGuid) {
  const char* bad[] = {"",
                       "{53ff0420-ea38-11d5-ba6f-00609423f782",  // no brace
                       "53ff0420-ea38-11d5-ba6f-00609423f782}",  // stray brace
                       "53ff0420_ea38-11d5-ba6f-00609423f782",   // separator
                       "53ff0420-ea38-11d5-ba6f-00609423f7821",  // too long
                       "53ff0420-ea38-11d5-ba6f-00609423f78g"};  // not hex
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    GUID g = IID_IUnknown;
    EXPECT_FALSE(collinear::ParseGuid(text, &g));
    EXPECT_EQ(g, IID_IUnknown);  // untouched
    EXPECT_EQ(collinear::MakeGuid(text), GUID_NULL);
  }
  EXPECT_FALSE(collinear::ParseGuid(nullptr, nullptr));
}
