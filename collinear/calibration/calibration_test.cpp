#include <collinear/calibration/calibration.h>

#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/io/point_file.h>

namespace collinear {
namespace {

using Points = CArray<CXYZ, CXYZ&>;

// A control file whose names are "<view>_<point>": one view per <view>, in
// file order, and the target: one point per distinct <point> when the views
// share names, else every point under its full name.
void SplitViews(const std::string& path,
                bool shared_names,
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
    const std::string view = full.substr(0, cut);
    const std::string point = shared_names ? full.substr(cut + 1) : full;
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
  SplitViews(COLLINEAR_DATA_DIR "/zhang-plane/points.txt", true, target, views);
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
  // Angles of Zhang's rotations in the library's axes (ROT_KPW), radians.
  const double angles[5][3] = {{3.035321, 0.117471, 0.026505},
                               {-2.962719, 0.072004, 0.004838},
                               {3.024770, 0.413033, 0.038949},
                               {3.042324, -0.162829, 0.017782},
                               {-3.092371, -0.158811, 0.200754}};
  const double kTolAngle = 0.01;  // rad; Zhang's model has skew, ours not
  for (int k = 0; k < 5; ++k) {
    SCOPED_TRACE(views[k].name);
    EXPECT_NEAR(cal.views[k].wpk.m_w, angles[k][0], kTolAngle);
    EXPECT_NEAR(cal.views[k].wpk.m_p, angles[k][1], kTolAngle);
    EXPECT_NEAR(cal.views[k].wpk.m_k, angles[k][2], kTolAngle);
    const CXYZ& c = cal.views[k].centre;
    const double* p = published[k];
    const double distance = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    EXPECT_LT(std::hypot(std::hypot(c.m_x - p[0], c.m_y - p[1]), c.m_z - p[2]),
              0.005 * distance);
  }
  EXPECT_FALSE(cal.verdict.Unusable());
}

// A known camera with distortion (CDist sign, pixels, photo y up) looking
// at a target from several sides; images made exactly by inverting the
// distortion, then noise of sigma_px.
struct Scene {
  double c = 1000.0, x0 = 322.0, y0 = 241.0, aspect = 1.003;
  CDist dist;
  Points target;
  std::vector<CalibrationView> views;
  std::vector<CXYZ> centres;

  Scene(bool planar,
        int nviews,
        double sigma_px,
        DIST_MODEL model,
        unsigned seed = 7) {
    dist.SetDistModel(model);
    const double para[] = {-3e-7, 4e-13, 2e-6, -1e-6, 0, 0, 0, 0};
    for (int k = 0; k < dist.m_NumPara; ++k) dist.m_Para[k] = para[k];
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> depth(0.0, 3.0);
    std::normal_distribution<double> noise(0.0, sigma_px);
    for (int i = 0; i < 12; ++i)
      for (int j = 0; j < 9; ++j) {
        const std::string name = "p" + std::to_string(i * 9 + j);
        CXYZ p(name.c_str(), i - 5.5, j - 4.0, planar ? 0.0 : depth(rng));
        target.Add(p);
      }
    for (int v = 0; v < nviews; ++v) {
      const double angle = 2.0 * 3.14159265358979 * v / nviews;
      CWPK wpk(0.35 * std::cos(angle), 0.35 * std::sin(angle), 0.4 * v);
      CRot rot;
      rot.SetMatrix(ROT_KPW, wpk);
      // Straight ahead of the target's middle: the camera's z axis in
      // target axes is the third row of rot.
      const double h = 16.0 + v;
      CXYZ centre(h * rot.m_r[6], h * rot.m_r[7], 1.5 + h * rot.m_r[8]);
      centres.push_back(centre);
      CalibrationView view{"v" + std::to_string(v + 1), Points()};
      for (INT_PTR i = 0; i < target.GetSize(); ++i) {
        const CXYZ& p = target[i];
        double pc[3];
        rot.Rotate(p.m_x - centre.m_x,
                   p.m_y - centre.m_y,
                   p.m_z - centre.m_z,
                   pc[0],
                   pc[1],
                   pc[2]);
        const double ix = -c * pc[0] / pc[2], iy = -c * pc[1] / pc[2];
        double dx = 0.0, dy = 0.0;
        EXPECT_EQ(dist.CalDistInv(ix, iy, dx, dy, 1e-12), 1);
        CXYZ img(p.m_strName,
                 x0 + ix + dx + noise(rng),
                 y0 - (iy + dy) / aspect + noise(rng),
                 0.0);
        view.points.Add(img);
      }
      views.push_back(std::move(view));
    }
  }
};

// Exact images give back the camera to rounding; noisy ones within three of
// the standard deviations the calibration reports.
TEST(Calibrate, RecoversKnownCameraFromExactAndNoisyViews) {
  struct Case {
    bool planar;
    int views;
    double sigma_px;
  };
  const Case cases[] = {
      {true, 5, 0.0}, {false, 3, 0.0}, {true, 8, 0.3}, {false, 4, 0.3}};
  for (const Case& cs : cases) {
    SCOPED_TRACE(std::string(cs.planar ? "plane" : "3-D") +
                 (cs.sigma_px > 0.0 ? ", noisy" : ", exact"));
    const Scene scene(cs.planar, cs.views, cs.sigma_px, DIST_K1K2P1P2);
    CalibrationOptions opt;
    opt.model = DIST_K1K2P1P2;
    opt.free_aspect = true;
    opt.sigma_px = cs.sigma_px;
    const Calibration cal = Calibrate(scene.target, scene.views, opt);
    ASSERT_TRUE(cal.Ok()) << cal.message;
    EXPECT_EQ(cal.planar, cs.planar);
    std::vector<double> truth = {scene.c, scene.x0, scene.y0, scene.aspect};
    for (int k = 0; k < 4; ++k) truth.push_back(scene.dist.m_Para[k]);
    ASSERT_EQ(cal.camera.params.size(), truth.size());
    for (size_t k = 0; k < truth.size(); ++k) {
      const Parameter& p = cal.camera.params[k];
      SCOPED_TRACE(p.name);
      if (cs.sigma_px == 0.0)
        EXPECT_NEAR(p.value, truth[k], 1e-6 * std::fabs(truth[k]));
      else
        EXPECT_LE(std::fabs(p.value - truth[k]), 3.0 * p.sigma);
    }
    for (int v = 0; v < cs.views; ++v) {
      const CXYZ& got = cal.views[v].centre;
      const CXYZ& want = scene.centres[v];
      const double err[3] = {
          got.m_x - want.m_x, got.m_y - want.m_y, got.m_z - want.m_z};
      for (int k = 0; k < 3; ++k) {
        if (cs.sigma_px == 0.0)
          EXPECT_NEAR(err[k], 0.0, 1e-6 * 20.0);
        else
          EXPECT_LE(std::fabs(err[k]), 3.0 * cal.views[v].sigma[k]);
      }
    }
    if (cs.sigma_px > 0.0) {
      EXPECT_NEAR(cal.Rms(), cs.sigma_px, 0.1 * cs.sigma_px);
      EXPECT_FALSE(cal.verdict.Unusable());
    }
  }
}

// The reported standard deviations against the scatter of the estimates
// over independent noise (Monte Carlo): camera unknowns from the reduced
// normal equations, a centre from the back-substituted pose block.
TEST(Calibrate, StandardDeviationsMatchMonteCarloScatter) {
  const int kRuns = 40;
  const double kSigmaPx = 0.3;
  const char* names[] = {"c", "x0", "y0", "k1", "X of v2", "kappa of v2"};
  double sum2[6] = {0}, reported[6] = {0};
  for (int run = 0; run < kRuns; ++run) {
    const Scene scene(true, 4, kSigmaPx, DIST_K1K2P1P2, 100 + run);
    CalibrationOptions opt;
    opt.model = DIST_K1K2P1P2;
    opt.free_aspect = true;
    const Calibration cal = Calibrate(scene.target, scene.views, opt);
    ASSERT_TRUE(cal.Ok()) << cal.message;
    const double err[6] = {cal.c - scene.c,
                           cal.x0 - scene.x0,
                           cal.y0 - scene.y0,
                           cal.dist.m_Para[0] - scene.dist.m_Para[0],
                           cal.views[1].centre.m_x - scene.centres[1].m_x,
                           cal.views[1].wpk.m_k - 0.4};
    const double sig[6] = {cal.camera.params[0].sigma,
                           cal.camera.params[1].sigma,
                           cal.camera.params[2].sigma,
                           cal.camera.params[4].sigma,
                           cal.views[1].sigma[0],
                           cal.views[1].sigma[5]};
    for (int k = 0; k < 6; ++k) {
      sum2[k] += err[k] * err[k] / kRuns;
      reported[k] += sig[k] * sig[k] / kRuns;
    }
  }
  // 40 runs estimate a standard deviation to about 11 %: 3 of those.
  for (int k = 0; k < 6; ++k) {
    SCOPED_TRACE(names[k]);
    EXPECT_NEAR(std::sqrt(sum2[k] / reported[k]), 1.0, 0.35);
  }
}

// A point moved by 3 px is named by data snooping; two views of a plane
// leave the principal point weak, which the verdict says.
TEST(Calibrate, VerdictNamesOutlierAndTooFewViews) {
  Scene scene(true, 2, 0.2, DIST_NONE);
  scene.views[1].points[17].m_x += 3.0;
  CalibrationOptions opt;
  opt.sigma_px = 0.2;
  const Calibration cal = Calibrate(scene.target, scene.views, opt);
  ASSERT_TRUE(cal.Ok()) << cal.message;
  ASSERT_TRUE(cal.verdict.Has(VerdictReason::kOutlier));
  int outliers = 0;
  for (const Warning& w : cal.verdict.warnings)
    if (w.reason == VerdictReason::kOutlier) {
      ++outliers;
      EXPECT_EQ(w.point, "v2/p17");
    }
  EXPECT_EQ(outliers, 1);
  EXPECT_TRUE(cal.verdict.Has(VerdictReason::kTooFewPoints));
}

// Heikkila's second camera (three views of a plane, 16 mm lens, 0.00851 mm
// pixels) and his first (one view of a 3-D target, 8.5 mm, 0.00808 mm),
// the latter started from the DLT: both fit to their measuring noise, with
// principal distances near the nominal lenses.
TEST(Calibrate, HeikkilaPlanarViewsAndOneViewOfASpatialTarget) {
  struct Case {
    const char* file;
    bool several_views;
    double width, height, nominal_px;
  };
  const Case cases[] = {{"points-planar.txt", true, 512, 512, 16.0 / 0.00851},
                        {"points.txt", false, 768, 576, 8.5 / 0.00808}};
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.file);
    Points target;
    std::vector<CalibrationView> views;
    const std::string path =
        std::string(COLLINEAR_DATA_DIR "/heikkila-3d/") + cs.file;
    if (cs.several_views) {
      SplitViews(path, false, target, views);
    } else {
      views.resize(1);
      views[0].name = "data3d";
      std::string error;
      ASSERT_TRUE(ReadControlFile(path, target, views[0].points, error));
    }
    CalibrationOptions opt;
    opt.model = DIST_K1K2P1P2;
    opt.picture_width = cs.width;
    opt.picture_height = cs.height;
    const Calibration cal = Calibrate(target, views, opt);
    ASSERT_TRUE(cal.Ok()) << cal.message;
    EXPECT_EQ(cal.planar, cs.several_views);
    EXPECT_LT(cal.Rms(), 0.2);
    EXPECT_NEAR(cal.c, cs.nominal_px, 0.1 * cs.nominal_px);
    EXPECT_FALSE(cal.verdict.Unusable());
  }
}

// Input that cannot give a calibration: a message naming the view or the
// problem, never an exception.
TEST(Calibrate, RejectsBadInputNamingTheView) {
  const Scene scene(true, 3, 0.0, DIST_NONE);
  const Scene spatial(false, 2, 0.0, DIST_NONE);
  struct Case {
    const char* what;
    std::function<void(
        Points&, std::vector<CalibrationView>&, CalibrationOptions&)>
        spoil;
    const char* message;
  };
  const Case cases[] = {
      {"unknown model",
       [](Points&, std::vector<CalibrationView>&, CalibrationOptions& o) {
         o.model = static_cast<DIST_MODEL>(9);
       },
       "unknown distortion model 9"},
      {"no views",
       [](Points&, std::vector<CalibrationView>& v, CalibrationOptions&) {
         v.clear();
       },
       "no views"},
      {"name not in the target",
       [](Points&, std::vector<CalibrationView>& v, CalibrationOptions&) {
         v[1].points[5].m_strName = "stray";
       },
       "view v2: point stray is not in the target"},
      {"name twice in a view",
       [](Points&, std::vector<CalibrationView>& v, CalibrationOptions&) {
         v[2].points[1].m_strName = v[2].points[0].m_strName;
       },
       "view v3: point p0 appears twice"},
      {"too few points in a view of a plane",
       [](Points&, std::vector<CalibrationView>& v, CalibrationOptions&) {
         v[0].points.SetSize(3);
       },
       "view v1: 3 points matched in the target; a view of a plane target "
       "needs at least 4"},
      {"one view of a plane",
       [](Points&, std::vector<CalibrationView>& v, CalibrationOptions&) {
         v.resize(1);
       },
       "give at least 2 views"},
      {"non-finite image point",
       [](Points&, std::vector<CalibrationView>& v, CalibrationOptions&) {
         v[1].points[0].m_x = std::nan("");
       },
       "view v2: point p0: coordinates not finite"},
      {"negative sigma",
       [](Points&, std::vector<CalibrationView>&, CalibrationOptions& o) {
         o.sigma_px = -1.0;
       },
       "a-priori sigma"},
  };
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.what);
    Points target;
    target.Copy(scene.target);
    std::vector<CalibrationView> views = scene.views;
    CalibrationOptions opt;
    cs.spoil(target, views, opt);
    const Calibration cal = Calibrate(target, views, opt);
    EXPECT_EQ(cal.status, CalibrationStatus::kBadInput);
    EXPECT_NE(cal.message.find(cs.message), std::string::npos) << cal.message;
  }
  std::vector<CalibrationView> views = spatial.views;
  views[1].points.SetSize(5);
  const Calibration cal = Calibrate(spatial.target, views, {});
  EXPECT_EQ(cal.status, CalibrationStatus::kBadInput);
  EXPECT_NE(cal.message.find("view v2: 5 points matched in the target; a "
                             "view of a 3-D target needs at least 6"),
            std::string::npos)
      << cal.message;
}

}  // namespace
}  // namespace collinear
