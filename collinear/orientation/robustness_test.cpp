// Hostile input to the orientation solvers: non-finite, huge and degenerate
// coordinates, repeated names. Each case is an input that the fuzz targets
// found (reduced to its essence) or the class of input it stands for. A
// solver may fail on such input, but must not report success while holding
// NaN, and must not crash, hang or throw.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include <collinear/orientation/dlt.h>
#include <collinear/orientation/helmert.h>
#include <collinear/orientation/sinori.h>
#include <collinear/orientation/test_scenes.h>

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

// ------------------------------------------------------------------ CDlt

// Eight control points of a camera with f = 50, centre (10, -20, 100) and
// angles (0.1, -0.05, 0.3) in ROT_KPW: object X Y Z, photo x y.
const double kCamera[8][5] = {{0, 0, 0, -2.42939165146, 11.6733011722},
                              {30, 0, 2, 12.8113183893, 16.1000706037},
                              {30, 30, -1, 8.82289296085, 30.9547574773},
                              {0, 30, 3, -6.2296227398, 27.0103813883},
                              {15, 15, 10, 3.73683584373, 23.1810849829},
                              {-10, 20, 5, -11.1466451015, 21.6580071012},
                              {25, -10, 0, 12.7858618024, 10.2113880306},
                              {5, -5, 8, 1.13718563893, 11.2226525616}};

// The camera's control points with coordinate `coord` (0-4) of point
// `point` replaced by v.
void CameraPoints(
    int point, int coord, double v, PointList& obj, PointList& img) {
  const char* names[] = {"P1", "P2", "P3", "P4", "P5", "P6", "P7", "P8"};
  for (int i = 0; i < 8; ++i) {
    double c[5];
    for (int k = 0; k < 5; ++k)
      c[k] = (i == point && k == coord) ? v : kCamera[i][k];
    Add(obj, names[i], c[0], c[1], c[2]);
    Add(img, names[i], c[3], c[4], 0.0);
  }
}

int SolveDlt(CDlt& dlt, int op) {
  return (dlt.*collinear::testdata::kDltSolvers[op])();
}

TEST(CDltRobustness, NonFiniteCoordinateFailsEverySolution) {
  // Found by the fuzzer: a control row whose Y read as NaN gave a plane
  // solution of NaN coefficients, and one whose Z read as NaN a plane
  // solution with a NaN centre, both reported as found.
  for (double v : {kNaN, kInf, -kInf}) {
    for (int coord : {1, 2, 3}) {  // object Y, Z; image x
      for (int op = 0; op < 7; ++op) {
        SCOPED_TRACE(testing::Message()
                     << v << " coord " << coord << " op " << op);
        PointList obj, img;
        CameraPoints(3, coord, v, obj, img);
        CDlt dlt;
        ASSERT_EQ(dlt.Create(obj, img, 50.0), 1);
        EXPECT_EQ(SolveDlt(dlt, op), 0);
        EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
      }
    }
  }
}

TEST(CDltRobustness, NonFiniteFocusFailsThePlaneSolution) {
  PointList obj, img;
  CameraPoints(0, 0, kCamera[0][0], obj, img);
  for (double focus : {kNaN, kInf}) {
    SCOPED_TRACE(focus);
    CDlt dlt;
    ASSERT_EQ(dlt.Create(obj, img, focus), 1);  // the focus is not checked
    EXPECT_EQ(dlt.CalDlt2D(), 0);
    EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
    EXPECT_TRUE(std::isfinite(dlt.m_Center.m_x));
  }
}

TEST(CDltRobustness, FiniteControlStillSolves) {
  PointList obj, img;
  CameraPoints(0, 0, kCamera[0][0], obj, img);
  for (int op = 0; op < 4; ++op) {
    SCOPED_TRACE(op);
    CDlt dlt;
    ASSERT_EQ(dlt.Create(obj, img, 50.0), 1);
    EXPECT_EQ(SolveDlt(dlt, op), 1);
    for (INT_PTR k = 0; k < dlt.m_Dlt.GetSize(); ++k)
      EXPECT_TRUE(std::isfinite(dlt.m_Dlt[k]));
  }
}

TEST(CDltRobustness, OverflowingCentreFailsTheSolution) {
  // Found by the DLT fuzz target: an image x of 7.8e98 and an object Z of
  // 2.8e12 among ordinary rows gave finite coefficients up to 1e262 whose
  // centre overflowed to NaN, and the spatial solution was reported found.
  const struct {
    const char* name;
    double x, y, z, u, v;
  } kRows[] = {{"P001", 15, 15, 0, 399.84935589838261, 32.315932182683248},
               {"P017", 15, 30, 0, 401.0441476771, 0},
               {"P033", 15, 4, 0, 7.7777777777777779e+98, 0},
               {"P145", 15, 150, 0, 409.16355671145413, 421.58363987592014},
               {"P161", 15, 165, 0, 409.93346854873664, 460.10768560557966},
               {"P177", 15, 180, 0, 410.62381607630772, 497.63400704287869},
               {"P193", 15, 195, 0, 411.35800406732767, 534.05411145923131},
               {"P209", 30, 210, 0, 438.81327458063919, 554.76710807887901},
               {"P225", 75, 225, 0, 511.11601475128009, 546.57224060483941},
               {"P241", 165, 240, 0, 625.97789999999998, 505.10771999999997},
               {"P193", 15, 195, 0, 411.35800406732767, 534.05411145923131},
               {"P209", 30, 210, 0, 438.81327458063919, 554.76710807887901},
               {"P225", 75, 225, 0, 511.11601475128009, 546.57224060483941},
               {"P241", 165, 240, 0, 625.97793753353335, 3},
               {"P001", 15, 15, 0, 399.84935589838261, 32.315932182683248},
               {"P017", 15, 30, 0, 40, 78.521078726592805},
               {"P033", 15, 45, 0, 402.24618942081696, 124.13433095986852},
               {"P049", 15, 60, 0, 403.31869406177282, 169.1067377658967},
               {"P065", 15, 75, 0, 404.36824324841393, 213.45064600000001},
               {"P081", 15, 90, 0, 405.44168194538258, 0},
               {"P097", 15, 105, 0, 406503, 0},
               {"P257",
                0.069306946281840573,
                164.90000000000001,
                2849999278199.5776,
                15.403,
                0}};
  PointList obj, img;
  for (const auto& r : kRows) {
    Add(obj, r.name, r.x, r.y, r.z);
    Add(img, r.name, r.u, r.v, 0.0);
  }
  CDlt dlt;
  ASSERT_EQ(dlt.Create(obj, img, 1.0), 1);
  // With the spatial solution refused, the plane solution may stand.
  if (dlt.CalDlt() == 1) {
    EXPECT_EQ(dlt.m_Dlt.GetSize(), 8);
    EXPECT_TRUE(std::isfinite(dlt.m_Center.m_x) &&
                std::isfinite(dlt.m_Center.m_y) &&
                std::isfinite(dlt.m_Center.m_z));
  } else {
    EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
  }
  EXPECT_EQ(dlt.CalDlt3D(), 0);
  EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
}

// --------------------------------------------------------------- CSinOri

TEST(CSinOriRobustness, NonFiniteInputFailsBothDrivers) {
  // The DLT start fails on it, so neither driver gets to iterate on NaN.
  for (double v : {kNaN, kInf}) {
    for (int coord : {0, 2, 4}) {  // object X, Z; image y
      SCOPED_TRACE(testing::Message() << v << " coord " << coord);
      PointList obj, img;
      CameraPoints(5, coord, v, obj, img);
      CSinOri s;
      ASSERT_EQ(s.Create(obj, img, 50.0), 1);
      EXPECT_EQ(s.CalSinOri(), 0);
      EXPECT_EQ(s.m_Rms.m_x, -1.0);  // not computed
      CSinOri s2;
      ASSERT_EQ(s2.Create(obj, img, 50.0), 1);
      EXPECT_EQ(s2.CalSinOri2(), 0);
    }
  }
  PointList obj, img;
  CameraPoints(0, 0, kCamera[0][0], obj, img);
  CSinOri s;
  EXPECT_EQ(s.Create(obj, img, kNaN), 0);  // a NaN focal length is refused
  EXPECT_EQ(s.m_Focus, 1.0);
  EXPECT_EQ(s.Create(obj, img, 50.0), 1);
  EXPECT_EQ(s.CalSinOri2(), 1);  // and the clean data solve
}

}  // namespace
