// Hostile input to the orientation solvers: non-finite, huge and degenerate
// coordinates, repeated names. Each case is an input that the fuzz targets
// found (reduced to its essence) or the class of input it stands for. A
// solver may fail on such input, but must not report success while holding
// NaN, and must not crash, hang or throw.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include <collinear/orientation/helmert.h>

namespace {

using PointList = CArray<CXYZ, CXYZ&>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

void Add(PointList& list, const char* name, double x, double y, double z) {
  CXYZ p(name, x, y, z);
  list.Add(p);
}

// ------------------------------------------------------------- CHelmert

// Three matched pairs whose source point C carries the value v in x.
void HelmertPairs(double v, PointList& dst, PointList& src) {
  Add(dst, "A", 1000.0, -250.0, 0.0);
  Add(dst, "B", 10.0, -244.0, 0.0);
  Add(dst, "C", 1.0, 1.0, 0.0);
  Add(src, "A", 0.0, 0.0, 0.0);
  Add(src, "B", 10.0, 0.0, 0.0);
  Add(src, "C", v, 0.0, 0.0);
}

TEST(CHelmertRobustness, NonFiniteOrOverflowingInputFailsAndKeepsFit) {
  PointList dst, src;
  HelmertPairs(5.0, dst, src);
  CHelmert h;
  h.SetPoints(dst, src);
  ASSERT_EQ(h.CalPara(), 1);
  const CHelmert good(h);

  // Found by the fuzzer: a source coordinate that reads as NaN.
  for (double v : {kNaN, kInf, -kInf}) {
    SCOPED_TRACE(v);
    PointList bad_dst, bad_src;
    HelmertPairs(v, bad_dst, bad_src);
    h.SetPoints(bad_dst, bad_src);
    EXPECT_EQ(h.CalPara(), 0);
    ASSERT_EQ(h.m_Para.GetSize(), 4);  // the earlier fit, unchanged
    for (int k = 0; k < 4; ++k) EXPECT_EQ(h.m_Para[k], good.m_Para[k]);
    EXPECT_EQ(h.m_Rms.m_x, good.m_Rms.m_x);
  }
}

TEST(CHelmertRobustness, OverflowingSumsGiveNoNaN) {
  // x^2 overflows in the normal equations; the pivots stay usable, so the
  // fit may stand, but never with a NaN in it.
  PointList dst, src;
  HelmertPairs(1e300, dst, src);
  CHelmert h;
  h.SetPoints(dst, src);
  if (h.CalPara() == 1) {
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(std::isfinite(h.m_Para[k]));
    EXPECT_FALSE(std::isnan(h.m_Rms.m_x) || std::isnan(h.m_Rms.m_y));
  }
}

}  // namespace
