#include <collinear/orientation/point_match.h>

#include <string>

#include <gtest/gtest.h>

namespace {

using Points = CArray<CXYZ, CXYZ&>;

Points List(std::initializer_list<CXYZ> points) {
  Points list;
  for (CXYZ p : points) list.Add(p);
  return list;
}

}  // namespace

// Target order; the first source point of a name, shared by repeated target
// names; names compared case-sensitively. Short source lists are scanned,
// long ones hashed: the padding of 40 unmatched names takes the second way.
TEST(MatchPointsByName, PairsEachTargetWithTheFirstSourceOfItsName) {
  for (const int pad : {0, 40}) {
    SCOPED_TRACE(pad);
    Points target = List({CXYZ("C", 1, 0, 0),
                          CXYZ("X", 2, 0, 0),
                          CXYZ("A", 3, 0, 0),
                          CXYZ("b", 4, 0, 0),
                          CXYZ("A", 5, 0, 0)});
    Points source = List({CXYZ("A", 0, 10, 0),
                          CXYZ("B", 0, 20, 0),
                          CXYZ("C", 0, 30, 0),
                          CXYZ("A", 0, 40, 0)});
    for (int i = 0; i < pad; ++i) {
      CXYZ p(("F" + std::to_string(i)).c_str(), 0, 0, 0);
      source.Add(p);
    }
    const double want_x[] = {1, 3, 5}, want_y[] = {30, 10, 10};
    Points mt = List({CXYZ("old", 0, 0, 0)}), ms;
    ASSERT_EQ(collinear::MatchPointsByName(target, source, mt, ms), 3);
    ASSERT_EQ(ms.GetSize(), 3);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(mt[i].m_x, want_x[i]) << i;
      EXPECT_EQ(ms[i].m_y, want_y[i]) << i;
    }
    // The outputs may be the inputs.
    ASSERT_EQ(collinear::MatchPointsByName(target, source, target, source), 3);
    EXPECT_EQ(target[2].m_x, 5.0);
    EXPECT_EQ(source[2].m_y, 10.0);
  }
}

TEST(MatchPointsByName, EmptyOrDisjointListsClearTheOutputs) {
  const Points some = List({CXYZ("A", 1, 0, 0)}), none;
  const Points other = List({CXYZ("Z", 1, 0, 0)});
  const Points* kCases[][2] = {
      {&none, &some}, {&some, &none}, {&some, &other}, {&none, &none}};
  for (const auto& c : kCases) {
    Points mt = List({CXYZ("old", 0, 0, 0)}), ms = mt;
    EXPECT_EQ(collinear::MatchPointsByName(*c[0], *c[1], mt, ms), 0);
    EXPECT_EQ(mt.GetSize(), 0);
    EXPECT_EQ(ms.GetSize(), 0);
  }
}
