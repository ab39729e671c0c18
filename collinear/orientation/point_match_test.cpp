#include <collinear/orientation/point_match.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

using PointList = CArray<CXYZ, CXYZ&>;

PointList MakeList(std::initializer_list<CXYZ> points) {
  PointList list;
  for (CXYZ p : points) list.Add(p);
  return list;
}

}  // namespace

TEST(MatchPointsByName, PairsInTargetOrderAndSkipsUnmatched) {
  const PointList target = MakeList({CXYZ("C", 3, 0, 0),
                                     CXYZ("X", 9, 9, 9),
                                     CXYZ("A", 1, 0, 0),
                                     CXYZ("b", 2, 0, 0)});
  const PointList source =
      MakeList({CXYZ("A", 10, 0, 0), CXYZ("B", 20, 0, 0), CXYZ("C", 30, 0, 0)});
  PointList mt = MakeList({CXYZ("old", 0, 0, 0)}), ms;
  ASSERT_EQ(collinear::MatchPointsByName(target, source, mt, ms), 2);
  ASSERT_EQ(mt.GetSize(), 2);
  ASSERT_EQ(ms.GetSize(), 2);
  EXPECT_EQ(mt[0].m_strName, "C");  // target order, not source order
  EXPECT_EQ(ms[0].m_x, 30.0);
  EXPECT_EQ(mt[1].m_strName, "A");
  EXPECT_EQ(ms[1].m_x, 10.0);  // "b" does not match "B": case-sensitive
}

TEST(MatchPointsByName, FirstSourcePointOfANameWins) {
  const PointList target = MakeList({CXYZ("A", 0, 0, 0)});
  const PointList source =
      MakeList({CXYZ("B", 0, 0, 0), CXYZ("A", 1, 0, 0), CXYZ("A", 2, 0, 0)});
  PointList mt, ms;
  ASSERT_EQ(collinear::MatchPointsByName(target, source, mt, ms), 1);
  EXPECT_EQ(ms[0].m_x, 1.0);
}

TEST(MatchPointsByName, RepeatedTargetNamesShareTheSourcePoint) {
  // Three target points named A against a single source point: more pairs
  // than source points, every one with the same partner, and no exception.
  const PointList target = MakeList({CXYZ("A", 1, 0, 0),
                                     CXYZ("B", 2, 0, 0),
                                     CXYZ("A", 3, 0, 0),
                                     CXYZ("A", 4, 0, 0)});
  const PointList source = MakeList({CXYZ("A", 10, 0, 0)});
  PointList mt, ms;
  ASSERT_EQ(collinear::MatchPointsByName(target, source, mt, ms), 3);
  const double target_x[] = {1, 3, 4};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(mt[i].m_x, target_x[i]);
    EXPECT_EQ(ms[i].m_x, 10.0);
  }
}

TEST(MatchPointsByName, EmptyOrDisjointListsClearTheOutputs) {
  const PointList some = MakeList({CXYZ("A", 1, 0, 0)});
  const PointList other = MakeList({CXYZ("Z", 1, 0, 0)});
  const PointList none;
  const struct {
    const PointList* target;
    const PointList* source;
  } cases[] = {{&none, &some}, {&some, &none}, {&some, &other}, {&none, &none}};
  for (const auto& c : cases) {
    PointList mt = MakeList({CXYZ("old", 0, 0, 0)}), ms = mt;
    EXPECT_EQ(collinear::MatchPointsByName(*c.target, *c.source, mt, ms), 0);
    EXPECT_EQ(mt.GetSize(), 0);
    EXPECT_EQ(ms.GetSize(), 0);
  }
}

TEST(MatchPointsByName, OutputsMayBeTheInputs) {
  PointList target = MakeList({CXYZ("A", 1, 0, 0), CXYZ("Q", 9, 0, 0)});
  PointList source = MakeList({CXYZ("Q", 90, 0, 0), CXYZ("A", 10, 0, 0)});
  ASSERT_EQ(collinear::MatchPointsByName(target, source, target, source), 2);
  EXPECT_EQ(target[1].m_strName, "Q");
  EXPECT_EQ(source[0].m_x, 10.0);
  EXPECT_EQ(source[1].m_x, 90.0);
}

// Short source lists are scanned, long ones hashed: both must pair as the
// plain definition does, duplicates and unmatched names included.
TEST(MatchPointsByName, ScanAndHashPairAsTheDefinition) {
  std::mt19937 rng(9);
  for (int n = 0; n <= 70; n += 3) {
    SCOPED_TRACE(n);
    std::uniform_int_distribution<int> name(0, n + n / 4);  // repeats, misses
    PointList target, source;
    for (int i = 0; i < n; ++i) {
      CXYZ t(("N" + std::to_string(name(rng))).c_str(), i, 0, 0);
      CXYZ s(("N" + std::to_string(name(rng))).c_str(), 0, i, 0);
      target.Add(t);
      source.Add(s);
    }
    std::vector<std::pair<int, int>> want;  // target index, source index
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        if (source[j].m_strName == target[i].m_strName) {
          want.emplace_back(i, j);
          break;
        }
      }
    }
    PointList mt, ms;
    ASSERT_EQ(collinear::MatchPointsByName(target, source, mt, ms),
              static_cast<int>(want.size()));
    ASSERT_EQ(mt.GetSize(), static_cast<INT_PTR>(want.size()));
    ASSERT_EQ(ms.GetSize(), static_cast<INT_PTR>(want.size()));
    for (size_t k = 0; k < want.size(); ++k) {
      EXPECT_EQ(mt[k].m_x, want[k].first);
      EXPECT_EQ(ms[k].m_y, want[k].second);
      EXPECT_EQ(ms[k].m_strName, mt[k].m_strName);
    }
    // In place, the same pairs.
    ASSERT_EQ(collinear::MatchPointsByName(target, source, target, source),
              static_cast<int>(want.size()));
    for (size_t k = 0; k < want.size(); ++k) {
      EXPECT_EQ(target[k].m_x, want[k].first);
      EXPECT_EQ(source[k].m_y, want[k].second);
    }
  }
}
