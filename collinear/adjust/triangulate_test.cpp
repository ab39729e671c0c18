#include <collinear/adjust/triangulate.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

using Point3 = TAbstractPoint3<double>;

// A camera at centre looking at target, picture x level: rows of the
// object-to-camera rotation are the camera axes, and it looks along -z.
CRot LookAt(const Point3& centre, const Point3& target) {
  Point3 z = centre - target;
  z = z * (1.0 / z.Module());
  Point3 x(-z.y, z.x, 0.0);  // (0, 0, 1) x z
  x = x * (1.0 / x.Module());
  const Point3 y(
      z.y * x.z - z.z * x.y, z.z * x.x - z.x * x.z, z.x * x.y - z.y * x.x);
  CRot r;
  const Point3 axes[3] = {x, y, z};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m_r[3 * i + j] = axes[i][j];
  return r;
}

// A 24 mm camera with 6000 x 4000 pixels of 4 um, the principal point off
// the centre, and a lens distortion of the given model (CDist's sign:
// ideal = measured + correction, photo millimetres).
TriangulationView Camera(const std::string& name,
                         const Point3& centre,
                         const Point3& target,
                         DIST_MODEL model) {
  TriangulationView v;
  v.image = name;
  v.focal_mm = 24.0;
  v.principal_mm = TAbstractPoint2<double>(12.1, 7.9);
  v.pixel_mm = TAbstractPoint2<double>(0.004, 0.004);
  v.centre = centre;
  v.rotation = LookAt(centre, target);
  const double para[][8] = {{},
                            {-2e-4, 3e-7, -1e-10, 0.0},
                            {1.5e-4, -2e-7, 3e-5, -2e-5},
                            {1e-4, -1e-7, 2e-10, 1e-5, 2e-5},
                            {1e-4, 1e-7, 1e-4, -2e-4, 1e-5, 2e-5, -1e-5, 3e-5}};
  v.dist.SetDistModel(model);
  for (int k = 0; k < v.dist.m_NumPara; ++k) v.dist.m_Para[k] = para[model][k];
  return v;
}

// The measured pixel of p: the ideal photo point moved onto the measured
// one by the inverse of the correction.
TAbstractPoint2<double> Pixel(const TriangulationView& v, const Point3& p) {
  const Point3 d = p - v.centre;
  double c[3];
  v.rotation.Rotate(d.x, d.y, d.z, c[0], c[1], c[2]);
  const double ix = -v.focal_mm * c[0] / c[2], iy = -v.focal_mm * c[1] / c[2];
  double dx = 0.0, dy = 0.0;
  EXPECT_EQ(v.dist.CalDistInv(ix, iy, dx, dy, 1e-13), 1);
  return TAbstractPoint2<double>((ix + dx + v.principal_mm.x) / v.pixel_mm.x,
                                 (v.principal_mm.y - iy - dy) / v.pixel_mm.y);
}

// Four cameras 12 m from a facade point, far out in UTM coordinates.
const Point3 kOffset(513000.0, 5402000.0, 240.0);
std::vector<TriangulationView> Ring(const Point3& target,
                                    DIST_MODEL model,
                                    int n = 4) {
  const Point3 centres[] = {{-6.0, -10.0, 1.5},
                            {5.0, -11.0, 2.0},
                            {0.5, -12.0, 6.0},
                            {9.0, -7.0, 0.5}};
  std::vector<TriangulationView> views;
  views.reserve(n);
  for (int i = 0; i < n; ++i)
    views.push_back(Camera("I" + std::to_string(i + 1),
                           kOffset + centres[i],
                           kOffset + Point3(1.0, 0.5, 3.0),
                           model));
  for (TriangulationView& v : views) v.pixel = Pixel(v, target);
  return views;
}

TEST(Triangulate, ExactPixelsGiveThePointBack) {
  const struct {
    const char* what;
    Point3 point;  // from kOffset
    DIST_MODEL model;
    int views;
  } kCases[] = {
      {"two views, no distortion", {1.0, 0.5, 3.0}, DIST_NONE, 2},
      {"two views, radial", {-2.0, 1.0, 5.0}, DIST_K1K2K3K4, 2},
      {"four views, decentring", {3.0, -1.0, 0.5}, DIST_K1K2P1P2, 4},
      {"three views, k1k2k3p1p2", {0.0, 2.0, 4.0}, DIST_K1K2K3P1P2, 3},
      {"four views, affine terms", {2.0, 0.0, 1.0}, DIST_K1K2_EXT6, 4},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const Point3 truth = kOffset + c.point;
    const std::vector<TriangulationView> views = Ring(truth, c.model, c.views);
    const Triangulation t = Triangulate(views);
    ASSERT_TRUE(t.converged) << t.message;
    // Exact data: rounding, 1e-9 of the 12 m camera distance.
    const double kTolM = 1e-9 * 12.0;
    EXPECT_NEAR(t.position.x, truth.x, kTolM);
    EXPECT_NEAR(t.position.y, truth.y, kTolM);
    EXPECT_NEAR(t.position.z, truth.z, kTolM);
    EXPECT_EQ(t.redundancy, 2 * c.views - 3);
    for (const TriangulationRay& r : t.rays) {
      EXPECT_FALSE(r.behind);
      EXPECT_NEAR(r.vx_px, 0.0, 1e-6);
      EXPECT_NEAR(r.vy_px, 0.0, 1e-6);
    }
    EXPECT_TRUE(Judge(t, views, "P").Ok());
  }
}

TEST(Triangulate, ScatterMatchesReportedPrecision) {
  // 0.5 px noise on 4 views of a distorting lens: the squared Mahalanobis
  // distance of the error by the a-priori covariance is chi-square with 3
  // degrees of freedom, the variance factor has mean 1.
  const Point3 truth = kOffset + Point3(1.0, 0.5, 3.0);
  const std::vector<TriangulationView> exact = Ring(truth, DIST_K1K2P1P2);
  const double kSigmaPx = 0.5;
  const int kTrials = 2000;
  std::mt19937 rng(19);
  std::normal_distribution<double> noise(0.0, kSigmaPx);
  double d2 = 0.0, factor = 0.0;
  int outliers = 0;
  for (int k = 0; k < kTrials; ++k) {
    std::vector<TriangulationView> views = exact;
    for (TriangulationView& v : views) {
      v.pixel.x += noise(rng);
      v.pixel.y += noise(rng);
      v.sigma_px = kSigmaPx;
    }
    const Triangulation t = Triangulate(views);
    ASSERT_TRUE(t.converged) << t.message;
    covar inv = t.covariance;
    ASSERT_EQ(InvertSMatr3(inv), 0);
    const Point3 e = t.position - truth;
    d2 += e * (inv * e) / kTrials;
    factor += t.VarianceFactor() / kTrials;
    outliers += Judge(t, views, "P").Has(VerdictReason::kOutlier);
  }
  // Means of 2000 draws: 3 +- 0.055 and 1 +- 0.014 (one sigma).
  EXPECT_NEAR(d2, 3.0, 0.25);
  EXPECT_NEAR(factor, 1.0, 0.07);
  // Data snooping at 0.1 %: about 2 false alarms in 2000.
  EXPECT_LE(outliers, 10);
}

TEST(Triangulate, VerdictNamesWeakAndWrongGeometry) {
  const Point3 truth = kOffset + Point3(1.0, 0.5, 3.0);
  // Two cameras 0.2 m apart at 12 m: the rays meet at about 1 degree.
  std::vector<TriangulationView> narrow = Ring(truth, DIST_NONE, 2);
  narrow[1] =
      Camera("I2", narrow[0].centre + Point3(0.2, 0.0, 0.0), truth, DIST_NONE);
  narrow[1].pixel = Pixel(narrow[1], truth);
  // A pixel 15 px off in the third of four images.
  std::vector<TriangulationView> blunder = Ring(truth, DIST_K1K2K3K4);
  blunder[2].pixel.x += 15.0;
  // Cameras turned away: the lines meet behind them.
  std::vector<TriangulationView> away = Ring(truth, DIST_NONE, 3);
  for (TriangulationView& v : away) {
    const Point3 behind = v.centre * 2.0 - truth;
    v.rotation = LookAt(v.centre, behind);
    const Point3 d = truth - v.centre;
    double c[3];
    v.rotation.Rotate(d.x, d.y, d.z, c[0], c[1], c[2]);
    v.pixel = TAbstractPoint2<double>(
        (-v.focal_mm * c[0] / c[2] + v.principal_mm.x) / v.pixel_mm.x,
        (v.principal_mm.y + v.focal_mm * c[1] / c[2]) / v.pixel_mm.y);
  }
  // Two parallel cameras seeing one pixel: parallel rays.
  std::vector<TriangulationView> parallel = Ring(truth, DIST_NONE, 2);
  parallel[1] = parallel[0];
  parallel[1].centre += Point3(1.0, 0.0, 0.0);
  const std::vector<TriangulationView> single = Ring(truth, DIST_NONE, 1);

  const struct {
    const char* what;
    const std::vector<TriangulationView>& views;
    VerdictReason reason;
    bool unusable;
    const char* named;  // in the message
  } kCases[] = {
      {"small angle", narrow, VerdictReason::kSmallAngle, false, "deg"},
      {"blunder", blunder, VerdictReason::kOutlier, false, "image I3"},
      {"behind", away, VerdictReason::kBehindCamera, true, "behind the camera"},
      {"parallel", parallel, VerdictReason::kSingular, true, "parallel"},
      {"one view", single, VerdictReason::kSingular, true, "at least 2"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const Verdict v = Judge(Triangulate(c.views), c.views, "P7");
    ASSERT_TRUE(v.Has(c.reason));
    EXPECT_EQ(v.Unusable() != nullptr, c.unusable);
    for (const Warning& w : v.warnings)
      if (w.reason == c.reason) {
        EXPECT_EQ(w.point, "P7");
        EXPECT_NE(w.message.find(c.named), std::string::npos) << w.message;
      }
  }
}

}  // namespace
}  // namespace collinear
