#include <collinear/calculator/crd_calculator.h>

#include <cmath>
#include <memory>
#include <random>

#include <gtest/gtest.h>

#include <collinear/calculator/host/host_object.h>
#include <collinear/primitives/constants.h>

using P2 = TAbstractPoint2<double>;
using P3 = TAbstractPoint3<double>;

namespace {

constexpr double kTolExact = 1e-15;  // rounding of unit-sized values
constexpr double kTolPx = 1e-9;      // pixels after a round trip
constexpr double kTolMatrix = 1e-15;

// 35 mm lens, 6000 x 4000 pixels of 0.006 mm, principal point centred.
void SetRealCamera(CCrdCalculator& c) {
  c.m_FocusR = 35.0;
  c.m_MmPerPixel = P2(0.006, 0.006);
  c.m_PrincipalPoint = P2(18.0, 12.0);
  c.m_PictureRect = TAbstractRect<double>(0, 0, 6000, 4000);
}

const double kModel3[8] = {1e-5, -2e-8, 5e-11, 2e-5, -1e-5, 0, 0, 0};

// A perspective rectification of the 6000 x 4000 picture with the
// transformed bitmap fitted around it (negative offset in x).
ImgAn::Bitmap Rectification() {
  ImgAn::Bitmap b;
  const double h[9] = {0.9, 0.1, -300.0, -0.05, 1.05, 40.0, 1e-5, 2e-6, 1.0};
  EXPECT_TRUE(b.SetProjective(h));
  EXPECT_TRUE(b.FitOutput(6000, 4000));
  return b;
}

void ExpectNear(const P2& a, const P2& b, double tol) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
}

void ExpectMatrix(const matr3_3& m, const double (&rows)[3][3], double tol) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      EXPECT_NEAR(m(i, j), rows[i][j], tol) << "row " << i << " col " << j;
}

}  // namespace

TEST(CCrdCalculator, NewHasTheDummyCameraAndNoOrientation) {
  CCrdCalculator c;
  EXPECT_TRUE(c.IsCameraValid());
  EXPECT_FALSE(c.IsOrientationValid());
  EXPECT_FALSE(c.IsValid());
  EXPECT_EQ(c.GetFocusR(), 1.0);
  EXPECT_EQ(c.GetMmPerPixel(), P2(1.0, 1.0));
  EXPECT_EQ(c.GetPrincipalPoint(), P2(15000.0, 15000.0));
  EXPECT_EQ(c.GetPictureRect(), TAbstractRect<double>(0, 0, 30000, 30000));
  EXPECT_TRUE(DefTriad::IsPartialUndef(c.GetOrigin()));
  EXPECT_EQ(c.GetVectorEnd(), DefTriad());
  EXPECT_EQ(c.m_VectorLength, 0.0);
  EXPECT_EQ(c.m_DistModel, 0u);
  EXPECT_EQ(c.m_CrdSysType, 1);
  EXPECT_TRUE(!c.m_CrdSysObject);
  EXPECT_EQ(c.m_pTransfBitmap, nullptr);
}

TEST(CCrdCalculator, ClearingTouchesOnlyItsOwnPart) {
  CCrdCalculator c;
  c.InitOrientation(P3(1, 2, 3), P3(0, 5, 0));
  c.ClearCamera();
  EXPECT_FALSE(c.IsCameraValid());
  EXPECT_TRUE(c.IsOrientationValid());
  EXPECT_EQ(c.GetMmPerPixel(), P2(1.0, 1.0));
  EXPECT_EQ(c.GetPrincipalPoint(), P2(15000.0, 15000.0));
  EXPECT_EQ(c.GetPictureRect(), TAbstractRect<double>(0, 0, 30000, 30000));
  const matr3_3 m = c.GetConversionMatr();
  c.ClearOrientation();
  EXPECT_FALSE(c.IsOrientationValid());
  EXPECT_EQ(c.GetVectorEnd(), P3(1, 7, 3));
  EXPECT_EQ(c.m_VectorLength, 5.0);
  for (int k = 0; k < 9; ++k)
    EXPECT_EQ(c.GetConversionMatr().data()[k], m.data()[k]);
  // One undefined coordinate is enough to lose the orientation; a NaN
  // focal length is no camera.
  c.m_Origin = P3(0, collinear::kUndefined, 0);
  EXPECT_FALSE(c.IsOrientationValid());
  c.m_FocusR = std::nan("");
  EXPECT_FALSE(c.IsCameraValid());
  c.InitDummyCamera();
  EXPECT_TRUE(c.IsCameraValid());
}

TEST(CCrdCalculator, ViewingRotationOfKnownDirections) {
  CCrdCalculator c;
  c.InitOrientation(P3(5, 6, 7), P3(1, 0, 0));
  ExpectMatrix(
      c.GetConversionMatr(), {{0, -1, 0}, {0, 0, 1}, {-1, 0, 0}}, kTolMatrix);
  c.InitOrientation(P3(5, 6, 7), P3(0, 1, 0));
  ExpectMatrix(
      c.GetConversionMatr(), {{1, 0, 0}, {0, 0, 1}, {0, -1, 0}}, kTolMatrix);
  c.InitOrientation(P3(5, 6, 7), P3(3, 4, 5));
  const double r = 1 / std::sqrt(2.0);  // cos and sin of the 45 deg elevation
  ExpectMatrix(
      c.GetConversionMatr(),
      {{0.8, -0.6, 0}, {-r * 0.6, -r * 0.8, r}, {-r * 0.6, -r * 0.8, -r}},
      kTolMatrix);
  EXPECT_DOUBLE_EQ(c.m_VectorLength, std::sqrt(50.0));
  EXPECT_EQ(c.GetOrigin(), P3(5, 6, 7));
  EXPECT_EQ(c.GetVectorEnd(), P3(8, 10, 12));
  // A zero direction: both angles 0, the matrix of the camera turn alone.
  c.InitOrientation(P3(5, 6, 7), P3(0, 0, 0));
  ExpectMatrix(
      c.GetConversionMatr(), {{0, -1, 0}, {0, 0, 1}, {-1, 0, 0}}, kTolMatrix);
  EXPECT_EQ(c.m_VectorLength, 0.0);
  EXPECT_EQ(c.GetVectorEnd(), c.GetOrigin());
}

TEST(CCrdCalculator, ViewingRotationOfRandomDirections) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-100.0, 100.0);
  CCrdCalculator c;
  for (int k = 0; k < 500; ++k) {
    const P3 dir(u(rng), u(rng), u(rng));
    c.InitOrientation(P3(u(rng), u(rng), u(rng)), dir);
    const matr3_3 m = c.GetConversionMatr();
    const matr3_3 mmt = m * matr3_3(m, 't');
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        EXPECT_NEAR(mmt(i, j), i == j ? 1.0 : 0.0, 1e-14);
    // The viewing direction goes to -z, camera x is horizontal, y is up.
    const P3 v = m * (dir * (1.0 / dir.Module()));
    EXPECT_NEAR(v.x, 0.0, 1e-14);
    EXPECT_NEAR(v.y, 0.0, 1e-14);
    EXPECT_NEAR(v.z, -1.0, 1e-14);
    EXPECT_NEAR(m(0, 2), 0.0, 1e-15);
    EXPECT_GE(m(1, 2), 0.0);
    // Right-handed: row 0 x row 1 = row 2.
    EXPECT_NEAR(m(0, 0) * m(1, 1) - m(0, 1) * m(1, 0), m(2, 2), 1e-14);
  }
}

TEST(CCrdCalculator, InitRotMatrIsYThenZThenX) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-collinear::kPi, collinear::kPi);
  for (int k = 0; k < 100; ++k) {
    const double a = u(rng), b = u(rng), c = u(rng);
    const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b),
                 sb = std::sin(b), cc = std::cos(c), sc = std::sin(c);
    ExpectMatrix(CCrdCalculator::InitRotMatr(a, b, c),
                 {{cb * cc, cb * sc * ca - sb * sa, cb * sc * sa + sb * ca},
                  {-sc, cc * ca, cc * sa},
                  {-sb * cc, -sb * sc * ca - cb * sa, -sb * sc * sa + cb * ca}},
                 1e-15);
  }
}

TEST(CCrdCalculator, PointToCameraCoordinates) {
  CCrdCalculator c;
  P3 p(10, 2, 1);
  EXPECT_FALSE(c.GetPointCoordsInCamera(p));
  EXPECT_EQ(p, P3(10, 2, 1));  // untouched without an orientation
  c.InitOrientation(P3(0, 0, 0), P3(1, 0, 0));
  ASSERT_TRUE(c.GetPointCoordsInCamera(p));
  EXPECT_NEAR(p.x, -2.0, kTolExact);
  EXPECT_NEAR(p.y, 1.0, kTolExact);
  EXPECT_NEAR(p.z, -10.0, kTolExact);
}

TEST(CCrdCalculator, ConversionMatrixInStorageOrder) {
  CCrdCalculator c;
  const double m[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  c.SetConversionMatr(m);
  const matr3_3 got = c.GetConversionMatr();
  for (int k = 0; k < 9; ++k) EXPECT_EQ(got.data()[k], m[k]);
  EXPECT_EQ(got(1, 0), 2.0);  // column by column
  EXPECT_EQ(got(0, 1), 4.0);
}

TEST(CCrdCalculator, CopiesOwnTheirBitmapDescription) {
  auto a = std::make_unique<CCrdCalculator>();
  SetRealCamera(*a);
  a->InitOrientation(P3(1, 2, 3), P3(0, 1, 0));
  a->SetDistortionModelData(3, 8, kModel3);
  a->SetTransfBitmapData(Rectification());
  const P2 pixel(1234.5, 987.25);
  const P2 expected = a->Phc2Imc(P2(3.0, -2.0));

  CCrdCalculator copy(*a);
  ASSERT_NE(copy.m_pTransfBitmap, nullptr);
  EXPECT_NE(copy.m_pTransfBitmap, a->m_pTransfBitmap);
  CCrdCalculator assigned;
  assigned = *a;
  ASSERT_NE(assigned.m_pTransfBitmap, nullptr);
  EXPECT_NE(assigned.m_pTransfBitmap, a->m_pTransfBitmap);
  EXPECT_EQ(assigned.GetOrigin(), a->GetOrigin());
  EXPECT_EQ(assigned.m_DistModel, 3u);
  EXPECT_EQ(assigned.m_DistPara[4], kModel3[4]);
  const P2 before = a->Imc2Phc(pixel);
  a.reset();  // the copies stay usable
  EXPECT_EQ(copy.Phc2Imc(P2(3.0, -2.0)), expected);
  EXPECT_EQ(assigned.Imc2Phc(pixel), before);

  // A source without a description: a copy has none, an assignment keeps
  // the target's own; self-assignment changes nothing.
  CCrdCalculator plain;
  CCrdCalculator plain_copy(plain);
  EXPECT_EQ(plain_copy.m_pTransfBitmap, nullptr);
  ImgAn::Bitmap* own = assigned.m_pTransfBitmap;
  assigned = plain;
  EXPECT_EQ(assigned.m_pTransfBitmap, own);
  EXPECT_EQ(assigned.GetFocusR(), 1.0);
  const CCrdCalculator& self = assigned;
  assigned = self;
  EXPECT_EQ(assigned.m_pTransfBitmap, own);
  // Setting the calculator's own description leaves it in place.
  assigned.SetTransfBitmapData(*own);
  EXPECT_EQ(assigned.m_pTransfBitmap, own);
}

TEST(CCrdCalculator, GivesBackEveryHostReference) {
  auto sys = collinear::HostObject::Create();
  sys->SetInt32(39, 2);
  const ULONG refs = sys->ref_count();
  {
    CCrdCalculator a;
    a.m_CrdSysObject = TComPropertyObject(sys.get());
    a.m_CrdSysType = 2;
    EXPECT_EQ(sys->ref_count(), refs + 1);
    CCrdCalculator b(a);
    CCrdCalculator c;
    c = b;
    c = a;
    EXPECT_EQ(c.m_CrdSysType, 2);
    EXPECT_EQ(c.m_CrdSysObject.get(), sys.get());
    EXPECT_EQ(sys->ref_count(), refs + 3);
    b = CCrdCalculator();  // drops b's reference
    EXPECT_EQ(sys->ref_count(), refs + 2);
    EXPECT_TRUE(!b.m_CrdSysObject);
  }
  EXPECT_EQ(sys->ref_count(), refs);
}

TEST(CCrdCalculator, DistortionModelDataIsClamped) {
  CCrdCalculator c;
  const double ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_TRUE(c.SetDistortionModelData(2, 10, ten));
  EXPECT_EQ(c.m_DistModel, 2u);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(c.m_DistPara[k], ten[k]);
  EXPECT_FALSE(c.SetDistortionModelData(4, -1, ten));
  EXPECT_EQ(c.m_DistModel, 2u);
  const double two[2] = {-1, -2};
  EXPECT_TRUE(c.SetDistortionModelData(77, 2, two));  // any model number
  EXPECT_EQ(c.m_DistModel, 77u);
  EXPECT_EQ(c.m_DistPara[1], -2.0);
  EXPECT_EQ(c.m_DistPara[2], 3.0);  // the rest stays

  double out[10] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(c.GetDistortionModelData(-1, out), 0u);
  EXPECT_EQ(out[0], 0.0);  // nothing written
  EXPECT_EQ(c.GetDistortionModelData(3, out), 77u);
  EXPECT_EQ(out[2], 3.0);
  EXPECT_EQ(out[3], 0.0);
  EXPECT_EQ(c.GetDistortionModelData(10, out), 77u);
  EXPECT_EQ(out[7], 8.0);
  EXPECT_EQ(out[8], 0.0);  // at most eight
}

TEST(CCrdCalculator, ChainWithoutDescription) {
  CCrdCalculator c;
  EXPECT_EQ(c.Imc2Phc(P2(15000, 15000)), P2(0, 0));
  EXPECT_EQ(c.Imc2Phc(P2(15001, 14999)), P2(1, 1));
  EXPECT_EQ(c.Phc2Imc(P2(1, 1)), P2(15001, 14999));
  EXPECT_EQ(c.Phc2ImcProj(P2(1, 1)), P2(15001, 14999));

  SetRealCamera(c);
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> col(0, 6000), row(0, 4000);
  for (int k = 0; k < 200; ++k) {
    const P2 p(col(rng), row(rng));
    // Model 0: both maps agree and invert each other.
    EXPECT_EQ(c.Imc2Phc(p), c.Imc2PhcProj(p));
    ExpectNear(c.Phc2Imc(c.Imc2Phc(p)), p, kTolPx);
  }
  c.SetDistortionModelData(3, 8, kModel3);
  int moved = 0;
  for (int k = 0; k < 200; ++k) {
    const P2 p(col(rng), row(rng));
    const P2 ph = c.Imc2Phc(p);
    moved +=
        std::hypot(ph.x - c.Imc2PhcProj(p).x, ph.y - c.Imc2PhcProj(p).y) > 1e-3;
    ExpectNear(c.Phc2Imc(ph), p, kTolPx);
    EXPECT_EQ(c.Phc2ImcProj(ph), c.Phc2Imc(ph));
  }
  EXPECT_GT(moved, 100);  // the distortion is really applied
}

// A pixel near the vertical through the principal point, model 4 with
// affine terms: the round trip through photo coordinates returns it.
TEST(CCrdCalculator, RoundTripOfAModel4PixelNearTheAxis) {
  CCrdCalculator c;
  SetRealCamera(c);
  const double p4[8] = {1e-4, -2e-7, 2e-4, -3e-4, 1e-5, -2e-5, 3e-5, -4e-5};
  c.SetDistortionModelData(4, 8, p4);
  for (const P2& p : {P2(3001.0037, 3700.2408), P2(2987.2101, 3944.0761)}) {
    SCOPED_TRACE(testing::Message() << p.x << ", " << p.y);
    ExpectNear(c.Phc2Imc(c.Imc2Phc(p)), p, kTolPx);
  }
}

TEST(CCrdCalculator, FlagsWithoutDescription) {
  CCrdCalculator c;
  c.m_PictureRect = TAbstractRect<double>(0, 100, 400, 400);  // H = 300
  const P2 p(12.5, 40.0);
  EXPECT_EQ(c.Orig2Transf(p, true, true), p);
  EXPECT_EQ(c.Orig2Transf(p, true, false), p);
  EXPECT_EQ(c.Orig2Transf(p, false, true), P2(12.5, 260.0));
  EXPECT_EQ(c.Transf2Orig(p, true, true), P2(12.5, 260.0));
  EXPECT_EQ(c.Transf2Orig(p, false, false), p);
}

TEST(CCrdCalculator, ChainWithDescription) {
  CCrdCalculator c;
  SetRealCamera(c);
  c.SetDistortionModelData(3, 8, kModel3);
  const ImgAn::Bitmap bmp = Rectification();
  c.SetTransfBitmapData(bmp);
  const double ho = bmp.GetOrigHeight(), ht = bmp.GetHeight();
  const ImgAn::Point2D<double> off = bmp.GetOutputOffset();

  // Original to transformed pixels, independently through the bitmap.
  const P2 p(1500.25, 3100.75);
  ImgAn::Point2D<double> t;
  ASSERT_TRUE(
      bmp.OrigPointToTransformed(ImgAn::Point2D<double>(p.x, ho - p.y), &t));
  ExpectNear(c.OrigImc2TransfImc(p),
             P2(t.x - off.x, ht - (t.y - off.y)),
             kTolExact * 1e4);
  // Transformed to original: the bitmap's reverse mapping, as it is.
  ImgAn::Point2D<double> o;
  ASSERT_TRUE(bmp.TransformedPointToOrig(ImgAn::Point2D<double>(p.x, p.y), &o));
  EXPECT_EQ(c.TransfImc2OrigImc(p), P2(o.x, o.y));
  EXPECT_EQ(c.Imc2Phc(p), c.Imc2PhcProj(p));  // no correction here
  const P2 linear(o.x * 0.006 - 18.0, 12.0 - o.y * 0.006);
  ExpectNear(c.Imc2Phc(p), linear, kTolExact * 100);

  // Phc2Imc applies the distortion: compare with a calculator without the
  // description, whose original pixels go through the bitmap by hand.
  CCrdCalculator plain;
  SetRealCamera(plain);
  plain.SetDistortionModelData(3, 8, kModel3);
  const P2 ph(-14.0, 9.5);  // a corner: distortion ~0.1 mm
  const P2 orig = plain.Phc2Imc(ph);
  EXPECT_EQ(c.Phc2Imc(ph), c.OrigImc2TransfImc(orig));
  // Phc2ImcProj applies the inverse correction twice.
  const P2 once = plain.Imc2PhcProj(orig);  // the uncorrected photo point
  const P2 twice = plain.Phc2Imc(once);
  ExpectNear(c.Phc2ImcProj(ph), c.OrigImc2TransfImc(twice), 1e-6);
  EXPECT_GT(std::hypot(twice.x - orig.x, twice.y - orig.y), 1.0);

  // A point the bitmap refuses passes unchanged.
  const P2 far(-1e9, 0.0);
  EXPECT_EQ(c.OrigImc2TransfImc(far), far);
  const P2 inf(HUGE_VAL, 0.0);
  EXPECT_EQ(c.TransfImc2OrigImc(inf), inf);
}

TEST(CCrdCalculator, Orig2TransfAndBackForEveryFlag) {
  CCrdCalculator c;
  SetRealCamera(c);
  c.SetDistortionModelData(3, 8, kModel3);
  c.SetTransfBitmapData(Rectification());
  std::mt19937 rng(13);
  std::uniform_real_distribution<double> col(0, 6000), row(0, 4000);
  for (bool from_bottom : {false, true}) {
    for (bool corner : {false, true}) {
      SCOPED_TRACE(testing::Message() << from_bottom << corner);
      for (int k = 0; k < 100; ++k) {
        const P2 p(col(rng), row(rng));
        const P2 t = c.Orig2Transf(p, from_bottom, corner);
        ExpectNear(c.Transf2Orig(t, from_bottom, corner), p, kTolPx);
      }
    }
  }
}

TEST(CCrdCalculator, HalfPixelShiftAroundTheBitmap) {
  // The identity bitmap of a 400-pixel-high picture, dummy camera: only
  // the flags act.
  CCrdCalculator c;
  ImgAn::Bitmap id;
  id.SetOrigSize(400, 400);
  id.SetSize(400, 400);
  c.SetTransfBitmapData(id);
  const P2 p(10.0, 20.0);
  EXPECT_EQ(c.Orig2Transf(p, false, true), P2(10.0, 380.0));
  EXPECT_EQ(c.Orig2Transf(p, true, true), P2(10.0, 20.0));
  EXPECT_EQ(c.Orig2Transf(p, false, false), P2(10.0, 381.0));
  EXPECT_EQ(c.Orig2Transf(p, true, false), P2(10.0, 21.0));
  EXPECT_EQ(c.Transf2Orig(P2(10.0, 381.0), false, false), p);
  EXPECT_EQ(c.Transf2Orig(P2(10.0, 380.0), false, true), p);
  EXPECT_EQ(c.Transf2Orig(P2(10.0, 21.0), true, false), p);
}
