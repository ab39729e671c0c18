#include <collinear/orientation/helmert.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include <collinear/io/point_file.h>

namespace {

using Points = CArray<CXYZ, CXYZ&>;

void Add(Points& list, const char* name, double x, double y) {
  CXYZ p(name, x, y, 0.0);
  list.Add(p);
}

}  // namespace

// One pair fixes nothing; two, the least that fixes the four parameters,
// fit exactly. Results are read from an assigned copy.
TEST(CHelmert, OnePairIsRefusedTwoFitExactly) {
  CHelmert h;
  CXYZ out("keep", 7, 8, 9);
  EXPECT_EQ(h.CalPara(), 0);
  EXPECT_EQ(h.Transform(CXYZ(1, 2, 3), out, 1), 0);
  EXPECT_EQ(out.m_x, 7.0);
  const double t[4] = {-0.42, 1.9, 512.25, -87.5};  // X = a x - b y + c, ...
  const double xy[2][2] = {{3.5, -1.25}, {-12.0, 40.0}};
  Points src, dst;
  for (const auto& [x, y] : xy) {
    const std::string name = "P" + std::to_string(src.GetSize() + 1);
    Add(src, name.c_str(), x, y);
    Add(dst,
        name.c_str(),
        t[0] * x - t[1] * y + t[2],
        t[1] * x + t[0] * y + t[3]);
  }
  Points one(src);
  one.SetSize(1);
  EXPECT_EQ(h.SetPoints(one, one), 1);
  EXPECT_EQ(h.CalPara(), 0);
  EXPECT_EQ(h.m_Para.GetSize(), 0);
  EXPECT_EQ((h.m_Rms - CXYZ(-1, -1, 0)).Len(), 0.0);  // not computed
  ASSERT_EQ(h.SetPoints(dst, src), 2);
  ASSERT_EQ(h.CalPara(), 1);
  CHelmert fitted;
  fitted = CHelmert(h);
  const double kTolShift = 1e-9;  // exact data: rounding
  for (int k = 0; k < 4; ++k)
    EXPECT_NEAR(fitted.m_Para[k], t[k], kTolShift) << k;
  ASSERT_EQ(fitted.m_Residuals.GetSize(), 2);
  EXPECT_STREQ(fitted.m_Residuals[1].m_strName, "P2");
  EXPECT_NEAR(fitted.m_Rms.m_x, 0.0, kTolShift);
  EXPECT_NEAR(fitted.m_Rms.m_y, 0.0, kTolShift);
}

// A square of side 10, target = source but A shifted by 0.4 in x: by hand,
// residuals x (-0.2, 0.1, 0.1, 0), y (0, 0.1, -0.1, 0). The largest x keeps
// its sign and is not compared with y's.
TEST(CHelmert, LargestResidualIsPerAxis) {
  Points dst, src;
  const double xy[][2] = {{0, 0}, {10, 0}, {0, 10}, {10, 10}};
  for (const auto& [x, y] : xy) {
    const std::string name(1, static_cast<char>('A' + src.GetSize()));
    Add(dst, name.c_str(), x + (src.GetSize() == 0 ? 0.4 : 0.0), y);
    Add(src, name.c_str(), x, y);
  }
  CHelmert h;
  ASSERT_EQ(h.SetPoints(dst, src), 4);
  ASSERT_EQ(h.CalPara(), 1);
  EXPECT_NEAR(h.m_MaxRes.m_x, -0.2, 1e-12);
}

TEST(CHelmert, TransformRoundTripsAndWritesOnlyXY) {
  CHelmert h;
  h.m_Para.SetSize(4);
  const double general[4] = {-1.3, 0.7, 812.5, -44.0};  // 151.7 deg, 1.48
  std::copy_n(general, 4, h.m_Para.GetData());
  CXYZ p("P", 321.5, -987.25, 12.0), q("keep", 0, 0, -5.0);
  ASSERT_EQ(h.Transform(p, q, 1), 1);
  ASSERT_EQ(h.Transform(q, q, 0), 1);  // in place
  EXPECT_NEAR(q.m_x, p.m_x, 1e-9);
  EXPECT_NEAR(q.m_y, p.m_y, 1e-9);
  EXPECT_STREQ(q.m_strName, "keep");
  EXPECT_EQ(q.m_z, -5.0);
  h.m_Para[0] = h.m_Para[1] = 0.0;  // a = b = 0: only the inverse is refused
  ASSERT_EQ(h.Transform(p, q, 1), 1);
  EXPECT_EQ(q.m_x, 812.5);
  EXPECT_EQ(h.Transform(q, q, 0), 0);
  EXPECT_EQ(q.m_x, 812.5);
  h.m_Para.SetSize(5);
  EXPECT_EQ(h.Transform(q, q, 1), 0);
}

// Textbook example: three common points, two degrees of freedom. Its
// largest residuals, one negative, one positive, keep their signs.
TEST(CHelmert, PublishedConformalExample) {
  const std::string dir = COLLINEAR_DATA_DIR "/helmert2d-ghilani/";
  Points ground, measured, more;
  std::string error;
  ASSERT_TRUE(
      collinear::ReadPointFile(dir + "target.txt", false, ground, error) &&
      collinear::ReadPointFile(dir + "source.txt", false, measured, error) &&
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
  // Points 1 to 4 of the file, in order.
  const double published[][2] = {{1049187.361, 51040.629},
                                 {1047637.713, 51278.829},
                                 {1046582.113, 50656.241},
                                 {1045644.713, 49749.336}};
  ASSERT_EQ(more.GetSize(), 4);
  for (int i = 0; i < 4; ++i) {
    CXYZ p;
    ASSERT_EQ(h.Transform(more[i], p, 1), 1);
    EXPECT_NEAR(p.m_x, published[i][0], 1e-3) << i;
    EXPECT_NEAR(p.m_y, published[i][1], 1e-3) << i;
  }
  // A singular system fails and keeps the fit.
  for (INT_PTR i = 0; i < measured.GetSize(); ++i) measured[i].SetXYZ(5, 5, 0);
  h.SetPoints(ground, measured);
  EXPECT_EQ(h.CalPara(), 0);
  EXPECT_EQ(h.m_Para.GetSize(), 4);
  EXPECT_NEAR(h.m_MaxRes.m_x, -0.1047, 5e-5);
}
