// Hostile input to CDist: non-finite samples, points and parameters. Each
// case is an input that the dist fuzz target found, or the class it stands
// for; no operation may report success while holding NaN.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include <collinear/distortion/dist.h>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(CDistRobustness, NonFiniteInputsNeverSucceed) {
  // Found by the fuzzer: a sample value that read as NaN gave k1..k4 NaN
  // with the result 1.
  for (double bad : {kNaN, kInf, -kInf}) {
    for (int where : {0, 1}) {  // radius, value
      SCOPED_TRACE(testing::Message() << bad << " in " << where);
      CDist d;
      d.SetDistModel(DIST_K1K2P1P2);
      for (int k = 0; k < 4; ++k) d.m_Para[k] = 1.0 + k;
      for (int i = 1; i <= 5; ++i) d.AddDist(i, 2e-4 * i * i);
      (where == 0 ? d.m_DistRadius : d.m_DistValue)[2] = bad;
      EXPECT_EQ(d.DistToPara(), 0);
      EXPECT_EQ(d.m_Model, DIST_K1K2P1P2);
      for (int k = 0; k < 4; ++k) EXPECT_EQ(d.m_Para[k], 1.0 + k);
    }
  }
  CDist d;
  d.SetDistModel(DIST_K1K2K3K4);
  d.m_Para[0] = 1e-4;
  double dx = 0.0, dy = 0.0;  // tolerance 1e-12 mm
  EXPECT_EQ(d.CalDistInv(kNaN, 1.0, dx, dy, 1e-12), 0);
  EXPECT_EQ(d.CalDistInv(1.0, 2.0, dx, dy, kNaN), 0);
  d.m_Para[1] = kNaN;
  EXPECT_EQ(d.CalDistInv(1.0, 2.0, dx, dy, 1e-12), 0);
}

}  // namespace
