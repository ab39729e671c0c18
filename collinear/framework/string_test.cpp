#include <collinear/framework/string.h>

#include <cstring>

#include <gtest/gtest.h>

TEST(CString, KeepsBytesExactly) {
  // Shift-JIS bytes, including trail bytes that equal '\\' (0x5C).
  const char sjis[] = "\x83\x5c\x83\x74\x83\x67";
  CString s(sjis);
  EXPECT_EQ(s.GetLength(), 6);
  EXPECT_EQ(std::memcmp(s.GetString(), sjis, 7), 0);
  EXPECT_STREQ(static_cast<const char*>(s), sjis);
}

TEST(CString, ComparisonsAndAssignment) {
  CString a("P1"), b;
  EXPECT_TRUE(b.IsEmpty());
  b = "P1";
  EXPECT_TRUE(a == b && a == "P1" && "P1" == a);
  EXPECT_TRUE(a != "p1" && "p1" != a);  // case-sensitive
  EXPECT_FALSE(a != b);
  b.Empty();
  EXPECT_EQ(b.GetLength(), 0);
  const char* null_text = nullptr;
  EXPECT_TRUE(CString(null_text).IsEmpty());
  EXPECT_EQ(CString(std::string("abc")), "abc");
}
