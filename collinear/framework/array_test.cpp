#include <collinear/framework/array.h>

#include <string>

#include <gtest/gtest.h>

TEST(CArray, IndexOutsideRaisesInvalidArgument) {
  CArray<double, double> a;
  EXPECT_THROW(a[0], CInvalidArgException);
  a.SetSize(3);
  EXPECT_EQ(a.GetSize(), 3);
  EXPECT_EQ(a.GetCount(), 3);
  EXPECT_EQ(a[2], 0.0);  // value-initialised
  EXPECT_THROW(a[3], CInvalidArgException);
  EXPECT_THROW(a[-1], CInvalidArgException);
  EXPECT_THROW(a.GetAt(3), CInvalidArgException);
  EXPECT_THROW(a.SetAt(3, 1.0), CInvalidArgException);
  EXPECT_THROW(a.ElementAt(-1), CInvalidArgException);
  EXPECT_THROW(a.SetSize(-1), CInvalidArgException);
  const CArray<double, double>& c = a;
  EXPECT_THROW(c[5], CInvalidArgException);
  // Callers may catch it as the standard error.
  EXPECT_THROW(a[7], std::invalid_argument);
}

TEST(CArray, AddReturnsIndexAndKeepsOrder) {
  CArray<std::string, const std::string&> a;
  EXPECT_EQ(a.Add("x"), 0);
  EXPECT_EQ(a.Add("y"), 1);
  a.SetAt(0, "z");
  EXPECT_EQ(a.GetAt(0), "z");
  a.ElementAt(1) += "!";
  EXPECT_EQ(a[1], "y!");
  a.InsertAt(1, a[0]);  // aliasing element
  EXPECT_EQ(a[1], "z");
  a.RemoveAt(0);
  EXPECT_EQ(a.GetSize(), 2);
  EXPECT_THROW(a.RemoveAt(1, 2), CInvalidArgException);
  a.RemoveAll();
  EXPECT_EQ(a.GetSize(), 0);
  EXPECT_EQ(a.GetUpperBound(), -1);
}

TEST(CArray, CopyIsDeepAndSelfCopyHarmless) {
  CArray<double, double> a, b;
  for (int i = 0; i < 5; ++i) a.Add(i * 1.5);
  b.Copy(a);
  a[0] = 99.0;
  EXPECT_EQ(b[0], 0.0);
  EXPECT_EQ(b.GetSize(), 5);
  b.Copy(b);
  EXPECT_EQ(b[4], 6.0);
  CArray<double, double> c(b);
  b[4] = -1.0;
  EXPECT_EQ(c[4], 6.0);
}

TEST(CArray, GrowthKeepsDataAndSetSizeShrinks) {
  CArray<int, int> a;
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(a.Add(i), i);
  const int* p = a.GetData();
  long long sum = 0;
  for (int i = 0; i < 100000; ++i) sum += p[i];
  EXPECT_EQ(sum, 100000LL * 99999 / 2);
  a.SetSize(10);
  EXPECT_EQ(a.GetSize(), 10);
  EXPECT_EQ(a[9], 9);
  a.SetSize(12);
  EXPECT_EQ(a[11], 0);
}

TEST(CArray, NumberArraysEditInPlaceLikeOthers) {
  // Arrays of numbers use their own storage: check every edit on both kinds.
  CArray<double, double> d;
  CArray<std::string, const std::string&> s;
  for (int i = 0; i < 6; ++i) {
    d.Add(i);
    s.Add(std::to_string(i));
  }
  d.InsertAt(2, d[5], 2);  // aliasing value, two copies
  s.InsertAt(2, s[5], 2);
  d.RemoveAt(0);
  s.RemoveAt(0);
  d.Append(d);  // appending an array to itself doubles it
  s.Append(s);
  ASSERT_EQ(d.GetSize(), 14);
  ASSERT_EQ(s.GetSize(), 14);
  for (int i = 0; i < 14; ++i) EXPECT_EQ(std::to_string(int(d[i])), s[i]);
  EXPECT_EQ(d[1], 5.0);
  EXPECT_EQ(d[13], 5.0);
  d.FreeExtra();
  EXPECT_EQ(d[12], 4.0);
  d.RemoveAll();
  d.FreeExtra();
  EXPECT_EQ(d.GetData(), nullptr);
  d.SetSize(3);
  EXPECT_EQ(d[2], 0.0);
}
