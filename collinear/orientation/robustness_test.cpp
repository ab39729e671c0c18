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

using collinear::testdata::Points;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

void Add(Points& list, const char* name, double x, double y, double z) {
  CXYZ p(name, x, y, z);
  list.Add(p);
}

// Eight control points of a camera with f = 50 and their images; with
// coordinate `coord` (0-5: object X Y Z, image x y) of point `point` set to
// v when given.
void CameraPoints(
    Points& obj, Points& img, int point = 0, int coord = -1, double v = 0.0) {
  const collinear::testdata::TrueCamera cam{
      CXYZ(10, -20, 100), CWPK(0.1, -0.05, 0.3), 50, 50};
  obj =
      collinear::testdata::RandomBox(8, CXYZ(-10, -5, 0), CXYZ(30, 30, 10), 1);
  img = cam.ProjectAll(obj);
  if (coord < 0) return;
  CXYZ& p = coord < 3 ? obj[point] : img[point];
  (coord % 3 == 0 ? p.m_x : coord % 3 == 1 ? p.m_y : p.m_z) = v;
}

}  // namespace

// Found by the fuzzer: a source coordinate that reads as NaN. Non-finite
// coordinates fail the fit and keep the earlier one; x^2 of 1e300
// overflows in the normal equations, whose pivots stay usable, so that fit
// may stand, but never with a NaN in it.
TEST(CHelmertRobustness, NonFiniteOrOverflowingInputFailsAndKeepsFit) {
  CHelmert h;
  for (const double v : {5.0, kNaN, kInf, -kInf, 1e300}) {
    SCOPED_TRACE(v);
    Points dst, src;
    Add(dst, "A", 1000.0, -250.0, 0.0);
    Add(dst, "B", 10.0, -244.0, 0.0);
    Add(dst, "C", 1.0, 1.0, 0.0);
    Add(src, "A", 0.0, 0.0, 0.0);
    Add(src, "B", 10.0, 0.0, 0.0);
    Add(src, "C", v, 0.0, 0.0);
    h.SetPoints(dst, src);
    const CHelmert before(h);
    if (h.CalPara() == 1) {
      EXPECT_TRUE(std::isfinite(v) || std::fabs(v) > 1e299);
      for (int k = 0; k < 4; ++k) EXPECT_TRUE(std::isfinite(h.m_Para[k]));
      EXPECT_FALSE(std::isnan(h.m_Rms.m_x) || std::isnan(h.m_Rms.m_y));
    } else {
      ASSERT_EQ(h.m_Para.GetSize(), 4);
      for (int k = 0; k < 4; ++k) EXPECT_EQ(h.m_Para[k], before.m_Para[k]);
      EXPECT_EQ(h.m_Rms.m_x, before.m_Rms.m_x);
    }
  }
}

// Found by the fuzzer: a control row whose Y read as NaN gave a plane
// solution of NaN coefficients, and one whose Z read as NaN a plane solution
// with a NaN centre, both reported as found. Every DLT solution and both
// resection drivers (which start from the DLT) fail on a non-finite
// coordinate; a NaN or infinite focus (not checked by CDlt::Create) must
// fail the plane solution too, and CSinOri::Create refuses it.
TEST(OrientationRobustness, NonFiniteInputFailsEverySolution) {
  Points obj, img;
  CameraPoints(obj, img);
  CSinOri s;
  EXPECT_EQ(s.Create(obj, img, kNaN), 0);
  for (const double focus : {50.0, kNaN, kInf}) {  // clean, it solves
    CDlt dlt;
    ASSERT_EQ(dlt.Create(obj, img, focus), 1);
    EXPECT_EQ(dlt.CalDlt2D(), std::isfinite(focus) ? 1 : 0);
    EXPECT_TRUE(std::isfinite(dlt.m_Center.m_x));
  }
  for (const double v : {kNaN, kInf, -kInf}) {
    for (int coord = 0; coord < 5; ++coord) {  // object X Y Z, image x y
      SCOPED_TRACE(testing::Message() << v << " " << coord);
      CameraPoints(obj, img, 3, coord, v);
      for (int solver = 0; solver < 7; ++solver) {
        CDlt dlt;
        ASSERT_EQ(dlt.Create(obj, img, 50.0), 1);
        EXPECT_EQ((dlt.*collinear::testdata::kDltSolvers[solver])(), 0);
        EXPECT_EQ(dlt.m_Dlt.GetSize(), 0) << solver;
      }
      for (int driver = 1; driver <= 2; ++driver) {
        CSinOri r;
        ASSERT_EQ(r.Create(obj, img, 50.0), 1);
        EXPECT_EQ(driver == 1 ? r.CalSinOri() : r.CalSinOri2(), 0);
        EXPECT_EQ(r.m_Rms.m_x, -1.0) << driver;  // not computed
      }
    }
  }
}

TEST(CDltRobustness, OverflowingCentreFailsTheSolution) {
  // Found by the DLT fuzz target: an image x of 7.8e98 and an object Z of
  // 2.8e12 among ordinary rows gave finite coefficients up to 1e262 whose
  // centre overflowed to NaN, and the spatial solution was reported found.
  // Reduced from 22 rows, repeated names kept (a name pairs with its first
  // image), to rows each of which is needed to reach the centre's overflow.
  const struct {
    const char* name;
    double x, y, z, u, v;
  } kRows[] = {
      {"P033", 15, 4, 0, 7.7777777777777779e+98, 0},
      {"P177", 15, 180, 0, 410.62381607630772, 497.63400704287869},
      {"P193", 15, 195, 0, 411.35800406732767, 534.05411145923131},
      {"P193", 15, 195, 0, 411.35800406732767, 534.05411145923131},
      {"P209", 30, 210, 0, 438.81327458063919, 554.76710807887901},
      {"P001", 15, 15, 0, 399.84935589838261, 32.315932182683248},
      {"P017", 15, 30, 0, 40, 78.521078726592805},
      {"P033", 15, 45, 0, 402.24618942081696, 124.13433095986852},
      {"P065", 15, 75, 0, 404.36824324841393, 213.45064600000001},
      {"P097", 15, 105, 0, 406503, 0},
      {"P257", 0.069306946281840573, 164.9, 2849999278199.5776, 15.403, 0}};
  Points obj, img;
  for (const auto& r : kRows) {
    Add(obj, r.name, r.x, r.y, r.z);
    Add(img, r.name, r.u, r.v, 0.0);
  }
  CDlt dlt;
  ASSERT_EQ(dlt.Create(obj, img, 1.0), 1);
  EXPECT_EQ(dlt.CalDlt3D(), 0);
  EXPECT_EQ(dlt.m_Dlt.GetSize(), 0);
}
