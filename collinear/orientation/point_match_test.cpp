#include <collinear/orientation/point_match.h>

#include <string>

#include <gtest/gtest.h>

namespace {

using Points = CArray<CXYZ, CXYZ&>;

// One point per letter of names, the i-th with coordinate i + 1 on the axis
// (0 x, 1 y) and 0 on the others.
Points Named(const std::string& names, int axis) {
  Points list;
  for (size_t i = 0; i < names.size(); ++i) {
    CXYZ p(names.substr(i, 1).c_str(), 0, 0, 0);
    (axis == 0 ? p.m_x : p.m_y) = static_cast<double>(i + 1);
    list.Add(p);
  }
  return list;
}

}  // namespace

// Target order; the first source point of a name, shared by repeated target
// names; names compared case-sensitively. Short source lists are scanned,
// long ones hashed: the padding of 40 unmatched names takes the second way.
TEST(MatchPointsByName, PairsEachTargetWithTheFirstSourceOfItsName) {
  for (const int pad : {0, 40}) {
    SCOPED_TRACE(pad);
    Points target = Named("CXAbA", 0), source = Named("ABCA", 1);
    for (int i = 0; i < pad; ++i) {
      CXYZ p(("F" + std::to_string(i)).c_str(), 0, 0, 0);
      source.Add(p);
    }
    const double want_x[] = {1, 3, 5}, want_y[] = {3, 1, 1};
    Points mt = Named("o", 0), ms;
    ASSERT_EQ(collinear::MatchPointsByName(target, source, mt, ms), 3);
    ASSERT_EQ(ms.GetSize(), 3);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(mt[i].m_x, want_x[i]) << i;
      EXPECT_EQ(ms[i].m_y, want_y[i]) << i;
    }
    // The outputs may be the inputs.
    ASSERT_EQ(collinear::MatchPointsByName(target, source, target, source), 3);
    EXPECT_EQ(target[2].m_x, 5.0);
    EXPECT_EQ(source[2].m_y, 1.0);
  }
}

TEST(MatchPointsByName, EmptyOrDisjointListsClearTheOutputs) {
  const Points some = Named("A", 0), none, other = Named("Z", 0);
  const Points* kCases[][2] = {
      {&none, &some}, {&some, &none}, {&some, &other}, {&none, &none}};
  for (const auto& c : kCases) {
    Points mt = Named("o", 0), ms = mt;
    EXPECT_EQ(collinear::MatchPointsByName(*c[0], *c[1], mt, ms), 0);
    EXPECT_EQ(mt.GetSize(), 0);
    EXPECT_EQ(ms.GetSize(), 0);
  }
}
