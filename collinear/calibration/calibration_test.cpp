#include <collinear/calibration/calibration.h>

#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/io/point_file.h>

namespace collinear {
namespace {

using Points = CArray<CXYZ, CXYZ&>;

// A control file whose names are "<view>_<point>": the target (one point per
// distinct <point>) and one view per <view>, in file order.
void SplitViews(const std::string& path,
                Points& target,
                std::vector<CalibrationView>& views) {
  Points obj, img;
  std::string error;
  ASSERT_TRUE(ReadControlFile(path, obj, img, error)) << error;
  std::map<std::string, int> seen;
  for (INT_PTR i = 0; i < obj.GetSize(); ++i) {
    const std::string full = obj[i].m_strName.GetString();
    const size_t cut = full.find('_');
    ASSERT_NE(cut, std::string::npos);
    const std::string view = full.substr(0, cut), point = full.substr(cut + 1);
    if (seen.emplace(point, 0).second) {
      CXYZ t(point.c_str(), obj[i].m_x, obj[i].m_y, obj[i].m_z);
      target.Add(t);
    }
    if (views.empty() || views.back().name != view)
      views.push_back(CalibrationView{view, Points()});
    CXYZ p(point.c_str(), img[i].m_x, img[i].m_y, 0.0);
    views.back().points.Add(p);
  }
}

// Zhang's five views of a plane: published interior orientation and the
// projection centres derived from his extrinsics (SOURCE.md), in inches.
TEST(Calibrate, ZhangPlaneMatchesPublishedCamera) {
  Points target;
  std::vector<CalibrationView> views;
  SplitViews(COLLINEAR_DATA_DIR "/zhang-plane/points.txt", target, views);
  ASSERT_EQ(views.size(), 5u);
  CalibrationOptions opt;
  opt.model = DIST_K1K2K3K4;
  opt.picture_width = 640;
  opt.picture_height = 480;
  const Calibration cal = Calibrate(target, views, opt);
  ASSERT_TRUE(cal.Ok()) << cal.message;
  EXPECT_TRUE(cal.planar);
  EXPECT_LE(cal.Rms(), 0.24);
  EXPECT_NEAR(cal.c, 832.5, 1.0);
  EXPECT_NEAR(cal.x0, 303.959, 2.0);
  EXPECT_NEAR(cal.y0, 206.585, 2.0);
  const double published[5][3] = {{5.2876, -2.4152, -12.5658},
                                  {4.5640, -6.0794, -12.0169},
                                  {8.4644, -2.4218, -12.1802},
                                  {1.2517, -2.4066, -13.1378},
                                  {0.9645, -4.1887, -14.6345}};
  for (int k = 0; k < 5; ++k) {
    SCOPED_TRACE(views[k].name);
    const CXYZ& c = cal.views[k].centre;
    const double* p = published[k];
    const double distance = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    EXPECT_LT(std::hypot(std::hypot(c.m_x - p[0], c.m_y - p[1]), c.m_z - p[2]),
              0.005 * distance);
  }
  printf(
      "zhang: c %.4f x0 %.4f y0 %.4f rms %.5f iter %d sigma0 %.5f cond %.3g\n",
      cal.c,
      cal.x0,
      cal.y0,
      cal.Rms(),
      cal.iterations,
      cal.camera.sigma0,
      cal.camera.condition_number);
  for (const auto& w : cal.verdict.warnings)
    printf("  %s\n", w.message.c_str());
}

}  // namespace
}  // namespace collinear
