#include <collinear/calculator/host/bin_value.h>

#include <tuple>

#include <gtest/gtest.h>

namespace {

constexpr long kRefused = vk_com::kAssignRefused;

// Flag, type, fixed size and byte length of a holder.
std::tuple<bool, unsigned long, unsigned long, unsigned long> Shape(
    const TBinaryValue& v) {
  return {v.is_valid(), v.type(), v.fixed_size(), v.byte_length()};
}

}  // namespace

TEST(TBinValueDouble, TakesOnlyEightByteDoubles) {
  TBinValue<double> v;
  const double d = 2.5;
  EXPECT_EQ(v.set({vk_com::vt_double, 8, 1}, &d), 0);
  EXPECT_EQ(v.value(), 2.5);
  EXPECT_EQ(Shape(v), std::make_tuple(true, vk_com::vt_double, 8ul, 8ul));

  // A double with the wrong size, an integer, a string: refused, flag off.
  const struct {
    unsigned long type, size;
  } refused[] = {{vk_com::vt_double, 4}, {vk_com::vt_int32, 4}, {5, 0}};
  for (const auto& r : refused) {
    SCOPED_TRACE(r.type);
    TBinValue<double> w(1.0);
    EXPECT_EQ(w.set({r.type, r.size, 1}, &d), kRefused);
    EXPECT_EQ(Shape(w), std::make_tuple(false, vk_com::vt_empty, 0ul, 0ul));
    EXPECT_EQ(w.get_data(), nullptr);
  }
  // Empty clears the flag but succeeds; a null data pointer with the right
  // type sets the flag and keeps the value.
  EXPECT_EQ(v.set({vk_com::vt_empty, 0, 0}, nullptr), 0);
  EXPECT_FALSE(v.is_valid());
  EXPECT_TRUE(v.assign(vk_com::vt_double, nullptr, 8, 0));
  EXPECT_TRUE(v.is_valid());
  EXPECT_EQ(v.value(), 2.5);
}

TEST(TBinValueString, TakesVariableSizeStringsAndKeepsTheFlag) {
  TBinValue<VkString> v;
  EXPECT_EQ(v.set({vk_com::vt_string, 0, 1}, "WGS84"), 0);
  EXPECT_EQ(v.value(), "WGS84");  // 6 bytes with the terminator
  EXPECT_EQ(Shape(v), std::make_tuple(true, vk_com::vt_string, 0ul, 6ul));

  const double d = 1.0;
  EXPECT_EQ(v.set({vk_com::vt_double, 8, 1}, &d), kRefused);
  // A string holder stays type 5.
  EXPECT_EQ(Shape(v), std::make_tuple(false, vk_com::vt_string, 0ul, 6ul));
  // A string again leaves the cleared flag as it is.
  EXPECT_EQ(v.set({vk_com::vt_string, 0, 1}, "UTM"), 0);
  EXPECT_FALSE(v.is_valid());
  EXPECT_EQ(v.value(), "UTM");
  // A fixed-size string is refused.
  TBinValue<VkString> w;
  EXPECT_EQ(w.set({vk_com::vt_string, 4, 1}, "abc"), kRefused);
  EXPECT_FALSE(w.is_valid());
}

TEST(TBinaryValue, CopyAndDescribeGoThroughAssign) {
  TBinValue<double> src(7.25), dst;
  EXPECT_EQ(dst.copy(src), 0);
  EXPECT_EQ(dst.value(), 7.25);  // described as one 8-byte double

  TBinValue<VkString> s("abc");
  EXPECT_EQ(dst.copy(s), kRefused);  // a string into a double holder
  EXPECT_FALSE(dst.is_valid());
  TBinValue<VkString> t;
  EXPECT_EQ(t.copy(s), 0);
  EXPECT_EQ(t.value(), "abc");
  // An invalid double reads as empty, which a double holder accepts.
  TBinValue<double> again(1.0);
  EXPECT_EQ(again.copy(dst), 0);
  EXPECT_FALSE(again.is_valid());
}
