#include <collinear/framework/array.h>

#include <string>

#include <gtest/gtest.h>

TEST(CArray, IndexOrSizeOutsideRaisesInvalidArgument) {
  CArray<double, double> a;
  EXPECT_THROW(a[0], CInvalidArgException);
  a.SetSize(3);
  const CArray<double, double>& c = a;
  EXPECT_EQ(c[2], 0.0);  // value-initialised
  EXPECT_THROW(a[3], CInvalidArgException);
  EXPECT_THROW(c[-1], std::invalid_argument);  // callers may catch it so
  EXPECT_THROW(a.SetAt(3, 1.0), CInvalidArgException);
  EXPECT_THROW(a.SetSize(-1), CInvalidArgException);
  EXPECT_THROW(a.InsertAt(4, 1.0), CInvalidArgException);
  EXPECT_THROW(a.InsertAt(-1, 1.0), CInvalidArgException);
  EXPECT_THROW(a.InsertAt(0, 1.0, -1), CInvalidArgException);
  EXPECT_THROW(a.RemoveAt(2, 2), CInvalidArgException);
  EXPECT_THROW(a.RemoveAt(-1), CInvalidArgException);
  EXPECT_THROW(a.RemoveAt(0, -1), CInvalidArgException);
  EXPECT_EQ(a.GetCount(), 3);
}

TEST(CArray, NumberArraysEditInPlaceLikeOthers) {
  // Arrays of numbers use their own storage: every edit on both kinds.
  CArray<double, double> d;
  CArray<std::string, const std::string&> s;
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(d.Add(i), i);
    EXPECT_EQ(s.Add(std::to_string(i)), i);
  }
  d.InsertAt(2, d[5], 2);  // aliasing value, two copies
  s.InsertAt(2, s[5], 2);
  d.RemoveAt(0);
  s.RemoveAt(0);
  d.Append(d);  // appending an array to itself doubles it
  s.Append(s);
  d.ElementAt(0) += 10;
  s.SetAt(0, "11");
  ASSERT_EQ(d.GetSize(), 14);
  ASSERT_EQ(s.GetUpperBound(), 13);
  for (int i = 0; i < 14; ++i) EXPECT_EQ(std::to_string(int(d[i])), s.GetAt(i));
  EXPECT_EQ(d[1], 5.0);
  EXPECT_EQ(d[13], 5.0);
  // Copies are deep; copying onto itself changes nothing.
  CArray<double, double> copy(d), copied;
  copied.Copy(d);
  copied.Copy(copied);
  d.FreeExtra();
  d[12] = -1.0;
  EXPECT_EQ(d[13] + copy[12] + copied[12], 13.0);
  d.RemoveAll();
  d.FreeExtra();
  EXPECT_TRUE(d.IsEmpty());
  EXPECT_EQ(d.GetData(), nullptr);
}

TEST(CArray, GrowthKeepsDataAndRegrowthIsZeroed) {
  CArray<int, int> a;
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(a.Add(i), i);
  long long sum = 0;
  for (int i = 0; i < 100000; ++i) sum += a.GetData()[i];
  EXPECT_EQ(sum, 100000LL * 99999 / 2);
  a.SetSize(10);
  a.SetSize(12);
  EXPECT_EQ(a[9], 9);
  EXPECT_EQ(a[10] + a[11], 0);
}
