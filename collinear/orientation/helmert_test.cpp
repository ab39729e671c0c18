#include <collinear/orientation/helmert.h>

#include <cmath>
#include <map>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include <collinear/io/point_file.h>

namespace {

using PointList = CArray<CXYZ, CXYZ&>;

struct Similarity {
  double a, b, c, d;
  CXYZ Apply(const CXYZ& p) const {
    return CXYZ(p.m_strName,
                a * p.m_x - b * p.m_y + c,
                b * p.m_x + a * p.m_y + d,
                p.m_z);
  }
};

void AddPoint(PointList& list, const char* name, double x, double y) {
  CXYZ p(name, x, y, 0.0);
  list.Add(p);
}

// Least-squares similarity from centred coordinates, the textbook closed
// form; independent of the normal-equation solution under test.
Similarity ClosedFormFit(const PointList& dst, const PointList& src) {
  const int n = static_cast<int>(dst.GetSize());
  double xm = 0, ym = 0, Xm = 0, Ym = 0;
  for (int i = 0; i < n; ++i) {
    xm += src[i].m_x / n;
    ym += src[i].m_y / n;
    Xm += dst[i].m_x / n;
    Ym += dst[i].m_y / n;
  }
  double sxx = 0, sa = 0, sb = 0;
  for (int i = 0; i < n; ++i) {
    const double x = src[i].m_x - xm, y = src[i].m_y - ym;
    const double X = dst[i].m_x - Xm, Y = dst[i].m_y - Ym;
    sxx += x * x + y * y;
    sa += x * X + y * Y;
    sb += x * Y - y * X;
  }
  Similarity s;
  s.a = sa / sxx;
  s.b = sb / sxx;
  s.c = Xm - s.a * xm + s.b * ym;
  s.d = Ym - s.b * xm - s.a * ym;
  return s;
}

void ExpectUnfitted(const CHelmert& h) {
  EXPECT_EQ(h.m_Para.GetSize(), 0);
  EXPECT_EQ(h.m_Residuals.GetSize(), 0);
  EXPECT_EQ(h.m_Rms.m_x, -1.0);
  EXPECT_EQ(h.m_Rms.m_y, -1.0);
  EXPECT_EQ(h.m_Rms.m_z, 0.0);
}

}  // namespace

TEST(CHelmert, EmptyObjectRefusesEverything) {
  CHelmert h;
  ExpectUnfitted(h);
  EXPECT_EQ(h.m_MaxRes.m_x, 0.0);
  EXPECT_TRUE(h.m_MaxRes.m_strName.IsEmpty());
  EXPECT_EQ(h.CalPara(), 0);
  CXYZ out("keep", 7, 8, 9);
  EXPECT_EQ(h.Transform(CXYZ(1, 2, 3), out, 1), 0);
  EXPECT_EQ(h.Transform(CXYZ(1, 2, 3), out, 0), 0);
  EXPECT_EQ(out.m_x, 7.0);
  EXPECT_EQ(out.m_y, 8.0);
}

TEST(CHelmert, TooFewOrNoMatchedPairs) {
  PointList dst, src;
  AddPoint(dst, "A", 100, 200);
  AddPoint(src, "a", 1, 2);  // names differ in case only
  CHelmert h;
  EXPECT_EQ(h.SetPoints(dst, src), 0);
  EXPECT_EQ(h.m_DstPoints.GetSize(), 0);
  EXPECT_EQ(h.m_SrcPoints.GetSize(), 0);
  EXPECT_EQ(h.CalPara(), 0);
  AddPoint(src, "A", 1, 2);
  EXPECT_EQ(h.SetPoints(dst, src), 1);
  EXPECT_EQ(h.CalPara(), 0);  // one pair cannot fix four parameters
  ExpectUnfitted(h);
}

TEST(CHelmert, TwoPairsFitExactly) {
  const Similarity t = {-0.42, 1.9, 512.25, -87.5};
  PointList dst, src;
  AddPoint(src, "P1", 3.5, -1.25);
  AddPoint(src, "P2", -12.0, 40.0);
  for (int i = 0; i < 2; ++i) {
    CXYZ q = t.Apply(src[i]);
    dst.Add(q);
  }
  CHelmert h;
  ASSERT_EQ(h.SetPoints(dst, src), 2);
  ASSERT_EQ(h.CalPara(), 1);
  const double kTolPara = 1e-11, kTolShift = 1e-9;  // exact data: rounding
  EXPECT_NEAR(h.m_Para[0], t.a, kTolPara);
  EXPECT_NEAR(h.m_Para[1], t.b, kTolPara);
  EXPECT_NEAR(h.m_Para[2], t.c, kTolShift);
  EXPECT_NEAR(h.m_Para[3], t.d, kTolShift);
  ASSERT_EQ(h.m_Residuals.GetSize(), 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(h.m_Residuals[i].m_strName, dst[i].m_strName);
    EXPECT_NEAR(h.m_Residuals[i].m_x, 0.0, kTolShift);
    EXPECT_NEAR(h.m_Residuals[i].m_y, 0.0, kTolShift);
  }
  EXPECT_NEAR(h.m_Rms.m_x, 0.0, kTolShift);
  EXPECT_NEAR(h.m_Rms.m_y, 0.0, kTolShift);
  EXPECT_EQ(h.m_Rms.m_z, 0.0);
}

TEST(CHelmert, NoisyFitMatchesClosedForm) {
  std::mt19937 rng(7031);
  std::uniform_real_distribution<double> coord(-500.0, 500.0);
  std::normal_distribution<double> noise(0.0, 0.05);
  const double scale = 2.5, angle = 2.2;  // rad, in the second quadrant
  const Similarity t = {
      scale * std::cos(angle), scale * std::sin(angle), 45000.0, -12000.0};
  PointList dst, src;
  for (int i = 0; i < 25; ++i) {
    const std::string name = "N" + std::to_string(i);
    AddPoint(src, name.c_str(), coord(rng), coord(rng));
    CXYZ q = t.Apply(src[i]);
    q.m_x += noise(rng);
    q.m_y += noise(rng);
    dst.Add(q);
  }
  CHelmert h;
  ASSERT_EQ(h.SetPoints(dst, src), 25);
  ASSERT_EQ(h.CalPara(), 1);
  const Similarity ref = ClosedFormFit(dst, src);
  const double kTolPara = 1e-10, kTolShift = 1e-7;  // two exact solutions
  EXPECT_NEAR(h.m_Para[0], ref.a, kTolPara);
  EXPECT_NEAR(h.m_Para[1], ref.b, kTolPara);
  EXPECT_NEAR(h.m_Para[2], ref.c, kTolShift);
  EXPECT_NEAR(h.m_Para[3], ref.d, kTolShift);

  // Residuals of the reference fit give the same RMS, and a fit with a
  // translation leaves residuals that sum to zero on each axis.
  double ss_x = 0, ss_y = 0, sum_x = 0, sum_y = 0;
  for (int i = 0; i < 25; ++i) {
    const CXYZ fit = ref.Apply(src[i]);
    const double rx = fit.m_x - dst[i].m_x, ry = fit.m_y - dst[i].m_y;
    ss_x += rx * rx;
    ss_y += ry * ry;
    sum_x += h.m_Residuals[i].m_x;
    sum_y += h.m_Residuals[i].m_y;
  }
  EXPECT_NEAR(h.m_Rms.m_x, std::sqrt(ss_x / 25), 1e-9);
  EXPECT_NEAR(h.m_Rms.m_y, std::sqrt(ss_y / 25), 1e-9);
  EXPECT_NEAR(sum_x, 0.0, 1e-7);
  EXPECT_NEAR(sum_y, 0.0, 1e-7);
  EXPECT_GT(h.m_Rms.m_x, 0.02);  // the noise is really there
}

TEST(CHelmert, LargestResidualsKeepTheirSign) {
  // A unit square of side 10 with target = source except x of A shifted by
  // delta; by hand the fit leaves x residuals (-delta/2, delta/4, delta/4, 0)
  // and y residuals (0, delta/4, -delta/4, 0).
  const double delta = 0.4;
  PointList dst, src;
  const char* names[] = {"A", "B", "C", "D"};
  const double xy[][2] = {{0, 0}, {10, 0}, {0, 10}, {10, 10}};
  for (int i = 0; i < 4; ++i) {
    AddPoint(src, names[i], xy[i][0], xy[i][1]);
    AddPoint(dst, names[i], xy[i][0] + (i == 0 ? delta : 0.0), xy[i][1]);
  }
  CHelmert h;
  ASSERT_EQ(h.SetPoints(dst, src), 4);
  ASSERT_EQ(h.CalPara(), 1);
  const double kTol = 1e-12;
  const double res_x[] = {-0.2, 0.1, 0.1, 0.0}, res_y[] = {0.0, 0.1, -0.1, 0.0};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(h.m_Residuals[i].m_strName, names[i]);
    EXPECT_NEAR(h.m_Residuals[i].m_x, res_x[i], kTol);
    EXPECT_NEAR(h.m_Residuals[i].m_y, res_y[i], kTol);
  }
  EXPECT_NEAR(h.m_MaxRes.m_x, -0.2, kTol);  // negative, largest magnitude
  EXPECT_NEAR(std::fabs(h.m_MaxRes.m_y), 0.1, kTol);
  EXPECT_EQ(h.m_MaxRes.m_z, 0.0);
  EXPECT_NEAR(h.m_Rms.m_x, std::sqrt(0.015), kTol);
  EXPECT_NEAR(h.m_Rms.m_y, std::sqrt(0.005), kTol);
}

TEST(CHelmert, TransformRoundTripsAndKeepsTheRest) {
  std::mt19937 rng(99);
  std::uniform_real_distribution<double> u(-1000.0, 1000.0);
  CHelmert h;
  for (int trial = 0; trial < 20; ++trial) {
    h.m_Para.SetSize(4);
    for (int k = 0; k < 4; ++k)
      h.m_Para[k] = trial < 10 ? u(rng) / 500 : u(rng);
    CXYZ p("P", u(rng), u(rng), 12.0), fwd("keep", 0, 0, -5.0), back;
    fwd.m_nAttr[1] = 3;
    ASSERT_EQ(h.Transform(p, fwd, 1), 1);
    ASSERT_EQ(h.Transform(fwd, back, 0), 1);
    const double kTol = 1e-9 * (1.0 + std::fabs(p.m_x) + std::fabs(p.m_y));
    EXPECT_NEAR(back.m_x, p.m_x, kTol);
    EXPECT_NEAR(back.m_y, p.m_y, kTol);
    EXPECT_EQ(fwd.m_strName, "keep");
    EXPECT_EQ(fwd.m_z, -5.0);
    EXPECT_EQ(fwd.m_nAttr[1], 3);
  }
  // In place: the input may be the output.
  h.m_Para[0] = 0.0;
  h.m_Para[1] = 2.0;  // rotation by 90 degrees, scale 2
  h.m_Para[2] = 1.0;
  h.m_Para[3] = -1.0;
  CXYZ q(3.0, 4.0, 0.0);
  ASSERT_EQ(h.Transform(q, q, 1), 1);
  EXPECT_DOUBLE_EQ(q.m_x, -7.0);
  EXPECT_DOUBLE_EQ(q.m_y, 5.0);
  ASSERT_EQ(h.Transform(q, q, 0), 1);
  EXPECT_DOUBLE_EQ(q.m_x, 3.0);
  EXPECT_DOUBLE_EQ(q.m_y, 4.0);
}

TEST(CHelmert, ZeroScaleRefusesOnlyTheInverse) {
  CHelmert h;
  h.m_Para.SetSize(4);
  h.m_Para[2] = 15.0;
  h.m_Para[3] = -3.0;
  CXYZ out(1, 1, 1);
  EXPECT_EQ(h.Transform(CXYZ(123.0, -45.0, 0.0), out, 1), 1);
  EXPECT_EQ(out.m_x, 15.0);
  EXPECT_EQ(out.m_y, -3.0);
  CXYZ untouched(8, 9, 10);
  EXPECT_EQ(h.Transform(CXYZ(15.0, -3.0, 0.0), untouched, 0), 0);
  EXPECT_EQ(untouched.m_x, 8.0);
  EXPECT_EQ(untouched.m_y, 9.0);
  h.m_Para.SetSize(5);
  EXPECT_EQ(h.Transform(CXYZ(1, 2, 3), out, 1), 0);
}

TEST(CHelmert, DuplicateNamesNeverThrow) {
  PointList dst, src;
  AddPoint(dst, "A", 0, 0);
  AddPoint(dst, "B", 10, 0);
  AddPoint(dst, "A", 0.2, 0);  // second observation of A
  AddPoint(src, "A", 0, 0);
  AddPoint(src, "B", 10, 0);
  AddPoint(src, "B", 99, 99);  // never found: the first B wins
  CHelmert h;
  ASSERT_EQ(h.SetPoints(dst, src), 3);
  EXPECT_EQ(h.m_SrcPoints[1].m_x, 10.0);
  EXPECT_EQ(h.m_SrcPoints[2].m_x, 0.0);  // A paired twice
  ASSERT_EQ(h.CalPara(), 1);
  EXPECT_NEAR(h.m_Residuals[0].m_x, -h.m_Residuals[2].m_x, 1e-12);
  PointList one;  // more pairs than source points
  AddPoint(one, "A", 0, 0);
  EXPECT_EQ(h.SetPoints(dst, one), 2);
  EXPECT_EQ(h.m_Para.GetSize(), 4);  // matching keeps the earlier fit
}

TEST(CHelmert, FailedFitKeepsEarlierResults) {
  PointList dst, src;
  AddPoint(dst, "A", 5, 5);
  AddPoint(dst, "B", 7, 9);
  AddPoint(src, "A", 1, 1);
  AddPoint(src, "B", 2, 3);
  CHelmert h;
  h.SetPoints(dst, src);
  ASSERT_EQ(h.CalPara(), 1);
  const CHelmert before(h);
  src[1].m_x = 1;  // both source points coincide: singular
  src[1].m_y = 1;
  h.SetPoints(dst, src);
  EXPECT_EQ(h.CalPara(), 0);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(h.m_Para[k], before.m_Para[k]);
  EXPECT_EQ(h.m_Rms.m_x, before.m_Rms.m_x);
  EXPECT_EQ(h.m_Residuals.GetSize(), 2);
  // The copy taken before owns its own points.
  EXPECT_EQ(before.m_SrcPoints[1].m_x, 2.0);
  EXPECT_EQ(before.m_DstPoints[1].m_strName, "B");
  EXPECT_EQ(before.m_Residuals[1].m_strName, "B");
}

// Textbook example: three common points, two degrees of freedom.
TEST(CHelmert, PublishedConformalExample) {
  const std::string dir =
      std::string(COLLINEAR_DATA_DIR) + "/helmert2d-ghilani/";
  PointList ground, measured, more;
  std::string error;
  ASSERT_TRUE(
      collinear::ReadPointFile(dir + "target.txt", false, ground, error))
      << error;
  ASSERT_TRUE(
      collinear::ReadPointFile(dir + "source.txt", false, measured, error))
      << error;
  ASSERT_TRUE(
      collinear::ReadPointFile(dir + "transform.txt", false, more, error))
      << error;
  CHelmert h;
  ASSERT_EQ(h.SetPoints(ground, measured), 3);
  ASSERT_EQ(h.CalPara(), 1);
  // Published to five decimals (an exact rational solution gives
  // a = -4.5124936, b = -0.2537145).
  EXPECT_NEAR(h.m_Para[0], -4.51249, 5e-6);
  EXPECT_NEAR(h.m_Para[1], -0.25371, 5e-6);
  EXPECT_NEAR(h.m_Para[2], 1050003.715, 5e-4);
  EXPECT_NEAR(h.m_Para[3], 50542.131, 5e-4);
  const double res[][2] = {
      {0.0038, -0.0291}, {0.1009, -0.0767}, {-0.1047, 0.1059}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(h.m_Residuals[i].m_x, res[i][0], 5e-5) << i;
    EXPECT_NEAR(h.m_Residuals[i].m_y, res[i][1], 5e-5) << i;
  }
  EXPECT_NEAR(h.m_MaxRes.m_x, -0.1047, 5e-5);
  EXPECT_NEAR(h.m_MaxRes.m_y, 0.1059, 5e-5);
  EXPECT_NEAR(h.m_Rms.m_x, 0.0840, 5e-5);
  EXPECT_NEAR(h.m_Rms.m_y, 0.0773, 5e-5);

  const std::map<std::string, std::pair<double, double>> published = {
      {"1", {1049187.361, 51040.629}},
      {"2", {1047637.713, 51278.829}},
      {"3", {1046582.113, 50656.241}},
      {"4", {1045644.713, 49749.336}}};
  ASSERT_EQ(more.GetSize(), 4);
  for (INT_PTR i = 0; i < more.GetSize(); ++i) {
    const std::string name = more[i].m_strName.GetString();
    CXYZ ground_pt;
    ASSERT_EQ(h.Transform(CXYZ(more[i].m_x, more[i].m_y, 0), ground_pt, 1), 1);
    const auto& want = published.at(name);
    EXPECT_NEAR(ground_pt.m_x, want.first, 1e-3) << name;
    EXPECT_NEAR(ground_pt.m_y, want.second, 1e-3) << name;
  }
}
