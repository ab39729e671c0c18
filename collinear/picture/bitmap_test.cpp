#include <collinear/picture/bitmap.h>

#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

using ImgAn::Bitmap;
using P = ImgAn::Point2D<double>;

namespace {

constexpr double kTolPx = 1e-9;  // round trips of pixel-sized values

// b's image of p (a marker when refused).
P To(const Bitmap& b, const P& p) {
  P out(-7.0, -7.0);
  b.OrigPointToTransformed(p, &out);
  return out;
}

}  // namespace

TEST(Bitmap, MapsThereAndBackFromTheOutputOffset) {
  const double c = 2 * std::cos(0.3), s = 2 * std::sin(0.3);
  const double h[9] = {1.1, 0.05, 20.0, -0.02, 0.95, 5.0, 1e-5, -2e-5, 1.0};
  double minus_h[9];
  for (int k = 0; k < 9; ++k) minus_h[k] = -h[k];
  Bitmap affine, persp, negated;
  ASSERT_TRUE(affine.SetAffine(c, -s, 100.0, s, c, -50.0));  // turn, scale 2
  affine.SetOutputOffset(P(-40.0, 25.0));
  ASSERT_TRUE(persp.SetProjective(h));
  ASSERT_TRUE(negated.SetProjective(minus_h));  // the same mapping as h
  EXPECT_TRUE(affine.IsAffine() && !persp.IsAffine());
  EXPECT_EQ(To(Bitmap(), P(12.5, -3.0)).x, 12.5);  // identity by default
  EXPECT_NEAR(To(affine, P(10.0, 0.0)).x, 100.0 + 10 * c, kTolPx);
  EXPECT_NEAR(To(affine, P(10.0, 0.0)).y, -50.0 + 10 * s, kTolPx);
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(0.0, 4000.0);
  for (int k = 0; k < 200; ++k) {
    const P p(u(rng), u(rng));
    EXPECT_EQ(To(negated, p).x, To(persp, p).x);
    for (const Bitmap* b : {&affine, &persp}) {
      // The reverse mapping takes pixels relative to the output offset.
      const P t = To(*b, p), off = b->GetOutputOffset();
      P back;
      ASSERT_TRUE(
          b->TransformedPointToOrig(P(t.x - off.x, t.y - off.y), &back));
      EXPECT_NEAR(back.x, p.x, kTolPx);
      EXPECT_NEAR(back.y, p.y, kTolPx);
    }
  }
}

TEST(Bitmap, RefusesPointsBeyondTheVanishingLineAndUnusableMatrices) {
  // w = 1 - 0.001 x: the line x = 1000 goes to infinity.
  Bitmap b;
  const double h[9] = {1, 0, 0, 0, 1, 0, -0.001, 0, 1};
  ASSERT_TRUE(b.SetProjective(h));
  EXPECT_NEAR(To(b, P(999.0, 0.0)).x, 999000.0, 1e-6);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const P& p : {P(1000.0, 0.0), P(1500.0, 0.0), P(nan, 0.0)})
    EXPECT_EQ(To(b, p).x, -7.0);  // untouched
  // Back: x = x' / (1 + 0.001 x'), refused where the denominator is not
  // positive (no original point maps there).
  P out(-7.0, -7.0);
  EXPECT_FALSE(b.TransformedPointToOrig(P(-2000.0, 0.0), &out));
  EXPECT_EQ(out.x, -7.0);
  EXPECT_TRUE(b.TransformedPointToOrig(P(-500.0, 0.0), &out));
  EXPECT_NEAR(out.x, -1000.0, kTolPx);
  // An unusable new matrix leaves the old one in place.
  const double singular[9] = {1, 2, 0, 2, 4, 0, 0, 0, 1};
  const double inf[9] = {1, 0, HUGE_VAL, 0, 1, 0, 0, 0, 1};
  EXPECT_FALSE(b.SetProjective(singular) || b.SetProjective(inf));
  EXPECT_NEAR(To(b, P(999.0, 0.0)).x, 999000.0, 1e-6);
}

TEST(Bitmap, FitOutputBoundsTheTransformedPicture) {
  // A quarter turn: (x, y) -> (-y, x); a 600 x 400 original becomes
  // 400 x 600 with x from -400 to 0.
  Bitmap b;
  ASSERT_TRUE(b.SetAffine(0, -1, 0, 1, 0, 0));
  ASSERT_TRUE(b.FitOutput(600, 400));
  EXPECT_EQ(b.GetOrigWidth() * 10000 + b.GetOrigHeight(), 6000400);
  EXPECT_EQ(b.GetWidth() * 10000 + b.GetHeight(), 4000600);
  EXPECT_EQ(b.GetOutputOffset().x - b.GetOutputOffset().y, -400.0);
}
