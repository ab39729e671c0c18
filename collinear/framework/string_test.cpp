#include <collinear/framework/string.h>

#include <cstring>

#include <gtest/gtest.h>

TEST(CString, KeepsBytesExactly) {
  // Shift-JIS bytes, including trail bytes that equal '\\' (0x5C).
  const char sjis[] = "\x83\x5c\x83\x74\x83\x67";
  CString s(sjis);
  EXPECT_EQ(s.GetLength(), 6);
  EXPECT_EQ(std::memcmp(s.GetString(), sjis, 7), 0);
  const char* p = s;
  EXPECT_STREQ(p, sjis);
}

TEST(CString, ComparisonsAndAssignment) {
  CString a("P1"), b;
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(b.GetLength(), 0);
  b = "P1";
  EXPECT_TRUE(a == b);
  EXPECT_TRUE(a == "P1");
  EXPECT_TRUE("P1" == a);
  EXPECT_TRUE(a != "p1");  // case-sensitive
  EXPECT_FALSE(a != b);
  b.Empty();
  EXPECT_TRUE(b.IsEmpty());
  const char* null_text = nullptr;
  CString n(null_text);
  EXPECT_TRUE(n.IsEmpty());
  CString from_std(std::string("abc"));
  EXPECT_EQ(from_std, "abc");
}
