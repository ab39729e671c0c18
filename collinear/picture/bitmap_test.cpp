#include <collinear/picture/bitmap.h>

#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

using ImgAn::Bitmap;
using ImgAn::Point2D;

namespace {

constexpr double kTolPx = 1e-9;  // round trips of pixel-sized values

}  // namespace

TEST(Bitmap, DefaultIsTheIdentity) {
  Bitmap b;
  Point2D<double> out;
  ASSERT_TRUE(b.OrigPointToTransformed(Point2D<double>(12.5, -3.0), &out));
  EXPECT_EQ(out.x, 12.5);
  EXPECT_EQ(out.y, -3.0);
  EXPECT_TRUE(b.IsAffine());
  EXPECT_EQ(b.GetHeight(), 0);
}

TEST(Bitmap, AffineAndProjectiveRoundTrip) {
  const double kAngle = 0.3;
  Bitmap affine;
  ASSERT_TRUE(affine.SetAffine(2 * std::cos(kAngle),
                               -2 * std::sin(kAngle),
                               100.0,
                               2 * std::sin(kAngle),
                               2 * std::cos(kAngle),
                               -50.0));
  affine.SetOutputOffset(Point2D<double>(-40.0, 25.0));
  Bitmap persp;
  const double h[9] = {1.1, 0.05, 20.0, -0.02, 0.95, 5.0, 1e-5, -2e-5, 1.0};
  ASSERT_TRUE(persp.SetProjective(h));
  EXPECT_FALSE(persp.IsAffine());
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(0.0, 4000.0);
  for (const Bitmap* b : {&affine, &persp}) {
    const Point2D<double> off = b->GetOutputOffset();
    for (int k = 0; k < 200; ++k) {
      const Point2D<double> p(u(rng), u(rng));
      Point2D<double> t, back;
      ASSERT_TRUE(b->OrigPointToTransformed(p, &t));
      // The reverse mapping takes pixels of the bitmap, relative to the
      // output offset.
      ASSERT_TRUE(b->TransformedPointToOrig(
          Point2D<double>(t.x - off.x, t.y - off.y), &back));
      EXPECT_NEAR(back.x, p.x, kTolPx);
      EXPECT_NEAR(back.y, p.y, kTolPx);
    }
  }
  // The affine map itself, at one point: scale 2, turned by kAngle.
  Point2D<double> t;
  ASSERT_TRUE(affine.OrigPointToTransformed(Point2D<double>(10.0, 0.0), &t));
  EXPECT_NEAR(t.x, 100.0 + 20 * std::cos(kAngle), kTolPx);
  EXPECT_NEAR(t.y, -50.0 + 20 * std::sin(kAngle), kTolPx);
}

TEST(Bitmap, RefusesPointsBeyondTheVanishingLine) {
  Bitmap b;
  // w = 1 - 0.001 x: the line x = 1000 goes to infinity.
  const double h[9] = {1, 0, 0, 0, 1, 0, -0.001, 0, 1};
  ASSERT_TRUE(b.SetProjective(h));
  Point2D<double> out(-7.0, -7.0);
  EXPECT_TRUE(b.OrigPointToTransformed(Point2D<double>(999.0, 0.0), &out));
  out = Point2D<double>(-7.0, -7.0);
  EXPECT_FALSE(b.OrigPointToTransformed(Point2D<double>(1000.0, 0.0), &out));
  EXPECT_FALSE(b.OrigPointToTransformed(Point2D<double>(1500.0, 0.0), &out));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(b.OrigPointToTransformed(Point2D<double>(nan, 0.0), &out));
  EXPECT_EQ(out.x, -7.0);  // untouched
  // Back: x = x' / (1 + 0.001 x'), refused where the denominator is not
  // positive (no original point maps there).
  EXPECT_FALSE(b.TransformedPointToOrig(Point2D<double>(-2000.0, 0.0), &out));
  EXPECT_TRUE(b.TransformedPointToOrig(Point2D<double>(-500.0, 0.0), &out));
  EXPECT_NEAR(out.x, -1000.0, kTolPx);
}

TEST(Bitmap, KeepsTheOldTransformationWhenTheNewOneIsUnusable) {
  Bitmap b;
  ASSERT_TRUE(b.SetAffine(2, 0, 0, 0, 2, 0));
  const double singular[9] = {1, 2, 0, 2, 4, 0, 0, 0, 1};
  EXPECT_FALSE(b.SetProjective(singular));
  const double inf[9] = {
      1, 0, std::numeric_limits<double>::infinity(), 0, 1, 0, 0, 0, 1};
  EXPECT_FALSE(b.SetProjective(inf));
  Point2D<double> t;
  ASSERT_TRUE(b.OrigPointToTransformed(Point2D<double>(1.0, 1.0), &t));
  EXPECT_EQ(t.x, 2.0);
  // -H is the same mapping as H.
  const double neg[9] = {-2, 0, 0, 0, -2, 0, 0, 0, -1};
  ASSERT_TRUE(b.SetProjective(neg));
  ASSERT_TRUE(b.OrigPointToTransformed(Point2D<double>(1.0, 1.0), &t));
  EXPECT_EQ(t.x, 2.0);
  EXPECT_EQ(t.y, 2.0);
}

TEST(Bitmap, FitOutputBoundsTheTransformedPicture) {
  Bitmap b;
  // A quarter turn: (x, y) -> (-y, x); a 600 x 400 original becomes
  // 400 x 600 with x from -400 to 0.
  ASSERT_TRUE(b.SetAffine(0, -1, 0, 1, 0, 0));
  ASSERT_TRUE(b.FitOutput(600, 400));
  EXPECT_EQ(b.GetOrigWidth(), 600);
  EXPECT_EQ(b.GetOrigHeight(), 400);
  EXPECT_EQ(b.GetWidth(), 400);
  EXPECT_EQ(b.GetHeight(), 600);
  EXPECT_EQ(b.GetOutputOffset().x, -400.0);
  EXPECT_EQ(b.GetOutputOffset().y, 0.0);
}
