#include <collinear/calculator/crd_calculator.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/calculator/calculator_test_util.h>
#include <collinear/calculator/host/host_catalogue.h>
#include <collinear/calculator/host/host_object.h>
#include <collinear/distortion/dist_model.h>
#include <collinear/geo/derived_system.h>
#include <collinear/geo/geo_host.h>
#include <collinear/geo/geo_test_util.h>
#include <collinear/geo/proj_system.h>
#include <collinear/geo/proj_test_util.h>
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

void ExpectNear(const P3& a, const P3& b, double tol) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
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
    ExpectNear(v, P3(0.0, 0.0, -1.0), 1e-14);
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
  ExpectNear(p, P3(-2.0, 1.0, -10.0), kTolExact);
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

// The calculator and CDist evaluate the same model with opposite signs:
// the calculator's ideal photo point is the measured one minus D, CDist's
// the measured one plus its correction D.
TEST(CCrdCalculator, DistortionIsCDistsWithTheOppositeSign) {
  const double para[][8] = {
      {},
      {1e-4, -2e-7, 5e-10, -1e-12},
      {1e-4, -2e-7, 2e-4, -1e-4},
      {1e-4, -2e-7, 5e-10, 2e-4, -1e-4},
      {1e-4, -2e-7, 2e-4, -3e-4, 1e-5, -2e-5, 3e-5, -4e-5}};
  const double kTolMm = 1e-14;  // rounding of m - (m - D) near 20 mm
  for (const collinear::DistModelSpec& spec : collinear::kDistModels) {
    SCOPED_TRACE(spec.name);
    CCrdCalculator c;
    SetRealCamera(c);
    c.SetDistortionModelData(spec.model, 8, para[spec.model]);
    CDist d;
    d.SetDistModel(spec.model);
    std::copy(para[spec.model], para[spec.model] + 8, d.m_Para);
    for (const P2& p : {P2(0, 0), P2(5999, 3999), P2(1234.5, 3210.25)}) {
      const P2 measured = c.Imc2PhcProj(p), ideal = c.Imc2Phc(p);
      double dx = 0.0, dy = 0.0;
      d.CalDist(measured.x, measured.y, dx, dy);
      EXPECT_NEAR(measured.x - ideal.x, dx, kTolMm);
      EXPECT_NEAR(measured.y - ideal.y, dy, kTolMm);
      ExpectNear(c.Phc2Imc(ideal), p, kTolPx);
    }
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

// ------------------------------------------ projection, beams and sight

namespace {

// The dummy camera looking along object +x from the origin: the object
// point (X, Y, Z) lies at camera (-Y, Z, -X) and at pixel
// (15000 - Y / X, 15000 - Z / X).
CCrdCalculator LookingAlongX() {
  CCrdCalculator c;
  c.InitOrientation(P3(0, 0, 0), P3(1, 0, 0));
  return c;
}

const P2 kMarker(-123.0, -456.0);  // an output the call must not touch

}  // namespace

TEST(CCrdCalculator, ProjectsPointsInFrontAndBehind) {
  const CCrdCalculator c = LookingAlongX();
  P2 i = kMarker;
  EXPECT_TRUE(c.GetPointOnImageCoords(P3(10, 2, 1), i, false));
  ExpectNear(i, P2(14999.8, 14999.9), 1e-9);
  EXPECT_TRUE(c.GetPointOnImageCoords(P3(10, 2, 1), i, true));
  ExpectNear(i, P2(14999.8, 15000.1), 1e-9);

  i = kMarker;  // behind: written, but false
  EXPECT_FALSE(c.GetPointOnImageCoords(P3(-10, 2, 1), i, false));
  ExpectNear(i, P2(15000.2, 15000.1), 1e-9);
  i = kMarker;  // in front by less than f / 1000
  EXPECT_FALSE(c.GetPointOnImageCoords(P3(0.0005, 0, 0), i, false));
  ExpectNear(i, P2(15000, 15000), 1e-9);
  EXPECT_TRUE(c.GetPointOnImageCoords(P3(0.001, 0, 0), i, false));

  i = kMarker;  // in the camera plane, undefined or without camera: untouched
  EXPECT_FALSE(c.GetPointOnImageCoords(P3(1e-11, 0.3, 0.2), i, false));
  EXPECT_FALSE(
      c.GetPointOnImageCoords(P3(collinear::kUndefined, 0, 0), i, false));
  CCrdCalculator no_camera = c;
  no_camera.ClearCamera();
  EXPECT_FALSE(no_camera.GetPointOnImageCoords(P3(10, 2, 1), i, false));
  EXPECT_FALSE(no_camera.GetSightOnImageCoords(i, false));
  EXPECT_FALSE(CCrdCalculator().GetPointOnImageCoords(P3(10, 2, 1), i, false));
  EXPECT_EQ(i, kMarker);
}

TEST(CCrdCalculator, SightAndBeamsOfTheDummyCamera) {
  CCrdCalculator c = LookingAlongX();
  P2 sight = kMarker;
  EXPECT_TRUE(c.GetSightOnImageCoords(sight, false));
  ExpectNear(sight, P2(15000, 15000), kTolExact);

  P3 beam, g;
  ASSERT_TRUE(
      c.CalculateBeamInCameraCoordinates(P2(15000, 15000), beam, false));
  EXPECT_EQ(beam, P3(0, 0, -1));
  ASSERT_TRUE(c.CalculateBeamInGeoCoordinates(beam, g));
  ExpectNear(g, P3(1.0, 0.0, 0.0), kTolExact);
  // y from the bottom edge: the pixel 100 rows up from the bottom is photo
  // y = 100 - 15000 below the centre.
  ASSERT_TRUE(c.CalculateBeamInCameraCoordinates(P2(15000, 100), beam, true));
  EXPECT_EQ(beam, P3(0, 100 - 15000.0, -1));

  c.ClearCamera();  // beams in object space need only the orientation
  const P3 untouched(7, 8, 9);
  beam = untouched;
  EXPECT_FALSE(c.CalculateBeamInCameraCoordinates(P2(1, 2), beam, false));
  EXPECT_EQ(beam, untouched);
  EXPECT_TRUE(c.CalculateBeamInGeoCoordinates(P3(0, 0, -1), g));
  c.ClearOrientation();
  g = untouched;
  EXPECT_FALSE(c.CalculateBeamInGeoCoordinates(P3(0, 0, -1), g));
  EXPECT_EQ(g, untouched);

  CCrdCalculator no_end = LookingAlongX();
  no_end.m_VectorEnd = P3(1, collinear::kUndefined, 0);
  sight = kMarker;
  EXPECT_FALSE(no_end.GetSightOnImageCoords(sight, false));
  EXPECT_EQ(sight, kMarker);
}

TEST(CCrdCalculator, ProjectionAndBeamAreCollinearWithDistortion) {
  std::mt19937 rng(8);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const double kTolSine = 1e-10;  // angle between the rays, radians
  for (int n = 0; n < 50; ++n) {
    CCrdCalculator c;
    SetRealCamera(c);
    c.m_FocusR = 35.0 + 15.0 * u(rng);
    c.m_PrincipalPoint += P2(0.1 * u(rng), 0.1 * u(rng));
    // Realistic lens distortion of each model (at most ~0.1 mm).
    const double radial[8] = {1e-5, -2e-8, 5e-11, 0, 0, 0, 0, 0};
    const double decentring[8] = {1e-5, -2e-8, 2e-5, -1e-5, 0, 0, 0, 0};
    const unsigned long model = 1 + n % 3;
    c.SetDistortionModelData(model,
                             8,
                             model == 1   ? radial
                             : model == 2 ? decentring
                                          : kModel3);
    const P3 origin(1000 * u(rng), 1000 * u(rng), 100 * u(rng));
    const P3 direction(u(rng), u(rng), 0.3 * u(rng));
    c.InitOrientation(origin, direction);
    // A point in the field of view, 10 to 200 m ahead.
    P3 camera(0.3 * u(rng), 0.2 * u(rng), -1.0);
    camera *= 105.0 + 95.0 * u(rng);
    P3 object;
    ASSERT_TRUE(c.CalculateBeamInGeoCoordinates(camera, object));

    P2 pixel;
    ASSERT_TRUE(c.GetPointOnImageCoords(object, pixel, n % 2 == 1));
    P3 beam, on_ray;
    ASSERT_TRUE(c.CalculateBeamInCameraCoordinates(pixel, beam, n % 2 == 1));
    ASSERT_TRUE(c.CalculateBeamInGeoCoordinates(beam, on_ray));
    const P3 a = on_ray - origin, b = object - origin;
    const P3 cross(
        a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
    EXPECT_LT(cross.Module() / (a.Module() * b.Module()), kTolSine) << n;
    EXPECT_GT(a * b, 0.0);  // the same side of the camera
  }
}

// ---------------------------------- geodetic conversion of host points

namespace {

using collinear::ComPtr;
using collinear::HostObject;
using collinear::kGeoFormGeodetic;
using collinear::kGeoFormPlane;
using collinear::kGeoHasAll;

constexpr double kTolMm = 1e-3;  // agreement with PROJ asked for, m

// Host coordinate systems, the working coordinate-system object and
// points, as a host application would set them up.
class CalculatorGeoTest : public ::testing::Test {
 protected:
  void TearDown() override {
    collinear::HostCatalogue::Unregister(collinear::kGeoCatalogueClass);
  }

  // A calculator working in the system object `system` of the kind.
  CCrdCalculator Working(int kind, HostObject* system) {
    collinear::test_support::SetWorking(*crs_, kind, system);
    return collinear::test_support::WorkingIn(crs_.get());
  }
  // A host point with one vertex per triple (first, second, third), plane
  // unless flags say otherwise.
  ComPtr<HostObject> Point(HostObject* system,
                           const std::vector<P3>& vertices,
                           unsigned long flags = kGeoFormPlane | kGeoHasAll) {
    return collinear::test_support::PointObject(
        system, vertices, point_crs_.get(), flags);
  }
  void RegisterWgs84Catalogue() {
    ComPtr<collinear::HostObjectSet> systems =
        collinear::HostObjectSet::Create();
    wgs84_->SetString(1, collinear::kGeoWgs84Key);
    systems->Add(wgs84_.get());
    collinear::HostCatalogue::Register(collinear::kGeoCatalogueClass,
                                       systems.get());
  }

  ComPtr<collinear::ProjCoordSystem> utm_impl_ =
      collinear::ProjCoordSystem::Create("EPSG:32633");
  ComPtr<collinear::ProjCoordSystem> wgs84_impl_ =
      collinear::ProjCoordSystem::Create("EPSG:4326");
  ComPtr<HostObject> utm_ =
      collinear::test_support::SystemObject(utm_impl_.get());
  ComPtr<HostObject> wgs84_ =
      collinear::test_support::SystemObject(wgs84_impl_.get());
  ComPtr<HostObject> bad_ = collinear::test_support::SystemObject(
      collinear::ProjCoordSystem::Create("EPSG:999999").get());
  ComPtr<HostObject> crs_ = HostObject::Create();
  ComPtr<HostObject> point_crs_ = HostObject::Create();
};

}  // namespace

TEST_F(CalculatorGeoTest, Wgs84PointInUtmWorkingSystemAgreesWithProj) {
  collinear::test_support::ProjReference ref("EPSG:4326", "EPSG:32633");
  ASSERT_TRUE(ref.ok());
  std::mt19937 rng(8);
  std::uniform_real_distribution<double> lat(45, 55), lon(12, 18), h(0, 900);
  for (int kind : {1, 2}) {
    SCOPED_TRACE(kind);
    const CCrdCalculator c = Working(kind, utm_.get());
    for (int n = 0; n < 10; ++n) {
      const P3 geodetic(lat(rng), lon(rng), h(rng));
      ComPtr<HostObject> p =
          Point(wgs84_.get(), {geodetic}, kGeoFormGeodetic | kGeoHasAll);
      const P3 xyz = c.GetPointAbsCoords(p.get(), nullptr, 0);
      const PJ_XYZ e = ref(geodetic.y, geodetic.x, geodetic.z);
      ExpectNear(xyz, P3(e.x, e.y, e.z), kTolMm);  // x east
    }
  }
}

TEST_F(CalculatorGeoTest, PlaneKindsSwapGeodeticKindsDoNot) {
  ComPtr<HostObject> p = Point(utm_.get(), {P3(5761038.2, 500000.0, 12.5)});
  const P3 plane =
      Working(2, utm_.get()).GetPointAbsCoords(p.get(), nullptr, 0);
  EXPECT_EQ(plane, P3(500000.0, 5761038.2, 12.5));

  RegisterWgs84Catalogue();
  const P3 geodetic =
      Working(8, nullptr).GetPointAbsCoords(p.get(), nullptr, 0);
  EXPECT_NEAR(geodetic.x, 52.0, 1e-6);  // latitude first, degrees
  EXPECT_NEAR(geodetic.y, 15.0, 1e-10);
  EXPECT_NEAR(geodetic.z, 12.5, kTolMm);
}

TEST_F(CalculatorGeoTest, GeoidAndUnitOfTheWorkingSystem) {
  ComPtr<HostObject> geoid = HostObject::Create(), mm = HostObject::Create();
  collinear::AttachGeoid(*geoid, collinear::ConstantGeoid::Create(40.0).get());
  collinear::AttachMetricUnit(*mm, collinear::MetricUnit::Create(0.001).get());
  crs_->SetObject(collinear::kGeoPropGeoid, geoid.get());
  ComPtr<HostObject> p = Point(
      wgs84_.get(), {P3(52.0, 15.0, 100.0)}, kGeoFormGeodetic | kGeoHasAll);
  // Kind 16 gives heights above the geoid, kind 4 above the ellipsoid.
  EXPECT_NEAR(
      Working(16, wgs84_.get()).GetPointAbsCoords(p.get(), nullptr, 0).z,
      60.0,
      kTolMm);
  EXPECT_NEAR(Working(4, wgs84_.get()).GetPointAbsCoords(p.get(), nullptr, 0).z,
              100.0,
              kTolMm);
  crs_->SetObject(collinear::kGeoPropUnit, mm.get());
  const P3 in_mm =
      Working(2, utm_.get()).GetPointAbsCoords(p.get(), nullptr, 0);
  EXPECT_NEAR(in_mm.x, 500000000.0, 1.0);
  EXPECT_NEAR(in_mm.z, 60000.0, 1.0);
}

TEST_F(CalculatorGeoTest, LocalWorkingSystemRoundTripsToItsBase) {
  const double shift[3] = {5761000.0, 499000.0, 50.0};
  const double angles[3] = {0.0, 0.0, 0.25};
  ComPtr<HostObject> local = collinear::test_support::SystemObject(
      collinear::DerivedCoordSystem::CreateSimilarity(
          utm_impl_.get(), shift, angles, 1.0)
          .get(),
      &collinear::kGeoDerivedClass);
  const P3 grid(5761100.0, 499300.0, 75.0);  // northing, easting, height
  ComPtr<HostObject> p = Point(utm_.get(), {grid});
  const P3 in_local =
      Working(1, local.get()).GetPointAbsCoords(p.get(), nullptr, 0);
  ASSERT_FALSE(DefTriad::IsPartialUndef(in_local));
  EXPECT_NEAR(in_local.z, 25.0, 1e-9);
  // Back: the local point (first = y, second = x) in the UTM working
  // system gives the grid point as x east, y north.
  ComPtr<HostObject> q = Point(local.get(), {P3(in_local.y, in_local.x, 25.0)});
  const P3 back = Working(2, utm_.get()).GetPointAbsCoords(q.get(), nullptr, 0);
  ExpectNear(back, P3(grid.y, grid.x, grid.z), 1e-6);
}

TEST_F(CalculatorGeoTest, SelectorPicksFirstAndLastVertex) {
  const CCrdCalculator c = Working(2, utm_.get());
  ComPtr<HostObject> line =
      Point(utm_.get(), {P3(1, 2, 3), P3(4, 5, 6), P3(7, 8, 9)});
  EXPECT_EQ(c.GetPointAbsCoords(line.get(), nullptr, -1), P3(2, 1, 3));
  EXPECT_EQ(c.GetPointAbsCoords(line.get(), nullptr, 2147483647), P3(8, 7, 9));
  // The owner lends the coordinate system, the point its coordinates.
  EXPECT_EQ(c.GetPointAbsCoords(HostObject::Create().get(), line.get(), 0),
            P3(2, 1, 3));
}

TEST_F(CalculatorGeoTest, BadInputGivesUndefinedAndAReadableCause) {
  ComPtr<HostObject> good =
      Point(wgs84_.get(), {P3(52.0, 15.0, 1.0)}, kGeoFormGeodetic | kGeoHasAll);
  ComPtr<HostObject> partial = Point(
      wgs84_.get(),
      {P3(52.0, 15.0, 1.0)},
      kGeoFormGeodetic | collinear::kGeoHasFirst | collinear::kGeoHasSecond);
  ComPtr<HostObject> no_coordinates = HostObject::Create();
  struct Case {
    const char* what;
    int kind;
    HostObject* system;
    IPropertyObject* point;
    int cause;
  };
  const Case cases[] = {
      {"null point", 2, utm_.get(), nullptr, collinear::kGeoNullObject},
      {"partly known point",
       2,
       utm_.get(),
       partial.get(),
       collinear::kGeoNoCoordinates},
      {"object without coordinates",
       2,
       utm_.get(),
       no_coordinates.get(),
       collinear::kGeoNullObject},
      {"CRS that PROJ rejects",
       2,
       bad_.get(),
       good.get(),
       collinear::kGeoBadDefinition},
      {"no catalogue", 8, nullptr, good.get(), collinear::kGeoNoCatalogue},
      {"no working system", 2, nullptr, good.get(), collinear::kGeoNullObject},
      {"unknown kind", 32, nullptr, good.get(), collinear::kGeoNullObject},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.what);
    const CCrdCalculator c = Working(t.kind, t.system);
    P3 xyz;
    EXPECT_NO_THROW(xyz = c.GetPointAbsCoords(t.point, nullptr, 0));
    EXPECT_EQ(xyz, DefTriad());
    EXPECT_EQ(collinear::GeoLastError(), t.cause);
    EXPECT_STRNE(collinear::GeoLastErrorText(), "");
    P2 i = kMarker;
    EXPECT_FALSE(c.GetPointOnImageCoords(t.point, i, false));
    EXPECT_EQ(i, kMarker);
    EXPECT_FALSE(c.IsPointInAnglesOfVision(t.point));
    EXPECT_EQ(c.GetPointScale(t.point), 1.0);
  }
  // A good read clears the cause of the one before.
  EXPECT_FALSE(DefTriad::IsPartialUndef(
      Working(2, utm_.get()).GetPointAbsCoords(good.get(), nullptr, 0)));
  EXPECT_EQ(collinear::GeoLastError(), collinear::kGeoOk);
}

TEST_F(CalculatorGeoTest, PointScaleByDepth) {
  CCrdCalculator c = Working(2, utm_.get());
  c.InitOrientation(P3(0, 0, 0), P3(10, 0, 0));  // L = 10 along x
  const struct {
    double depth, scale;
  } cases[] = {{0.5, 2.0},
               {1.0, 2.0},
               {5.0, 1.5},
               {10.0, 1.0},
               {11.0, 0.75 * 109 / 110},
               {65.0, 0.75 * 55 / 110},
               {120.0, 0.25},
               {500.0, 0.25}};
  for (const auto& t : cases) {
    // Stored northing 0, easting = depth: object (depth, 0, 0).
    ComPtr<HostObject> p = Point(utm_.get(), {P3(0.0, t.depth, 0.0)});
    EXPECT_DOUBLE_EQ(c.GetPointScale(p.get()), t.scale) << t.depth;
  }
  ComPtr<HostObject> p = Point(utm_.get(), {P3(0.0, 5.0, 0.0)});
  CCrdCalculator no_length = c;
  no_length.m_VectorLength = 0.0;
  EXPECT_EQ(no_length.GetPointScale(p.get()), 1.0);
  c.ClearOrientation();
  EXPECT_EQ(c.GetPointScale(p.get()), 1.0);
}

TEST_F(CalculatorGeoTest, PointsOnThePictureBorderAreInside) {
  CCrdCalculator c = Working(2, utm_.get());
  c.InitOrientation(P3(0, 0, 0), P3(1, 0, 0));
  // The same rotation without the rounding of cos(pi / 2), so that border
  // pixels come out exactly: object (X, Y, Z) = (easting, northing,
  // height) projects to column 15000 - Y / X and, counted from the bottom,
  // row 15000 + Z / X.
  const double along_x[9] = {0, 0, -1, -1, 0, 0, 0, 1, 0};
  c.SetConversionMatr(along_x);
  const struct {
    P3 object;
    bool inside;
  } cases[] = {
      {P3(1, 15000, 0), true},     // column 0, the left border
      {P3(1, -15000, 0), true},    // column 30000, the right border
      {P3(1, 0, 15000), true},     // row 30000, the bottom
      {P3(1, 0, -15000), true},    // row 0, the top
      {P3(1, 15000.5, 0), false},  // half a pixel outside
      {P3(2, 0, 30001), false},    // row 30000.5
      {P3(10, 2, 1), true},
      {P3(-10, 2, 1), false},  // behind the camera
  };
  for (const auto& t : cases) {
    ComPtr<HostObject> p =
        Point(utm_.get(), {P3(t.object.y, t.object.x, t.object.z)});
    EXPECT_EQ(c.IsPointInAnglesOfVision(p.get()), t.inside)
        << t.object.x << " " << t.object.y << " " << t.object.z;
    P2 i;
    EXPECT_EQ(c.GetPointOnImageCoords(p.get(), i, true), t.object.x > 0);
  }
}

// ------------------------------------------------ orientations from pairs

namespace {

CCrdCalculator Camera(const P3& origin, const P3& vector_end, double f) {
  CCrdCalculator c;
  c.m_FocusR = f;
  c.InitOrientation(origin, vector_end - origin);
  return c;
}

}  // namespace

TEST(CCrdCalculator, BaseMatrixLooksFromTheBaseToTheMiddle) {
  CCrdCalculator a = Camera(P3(0, 0, 0), P3(0, 10, 0), 35.0);
  CCrdCalculator b = Camera(P3(10, 10, 2), P3(0, 10, 0), 50.0);
  CCrdCalculator third = Camera(P3(100, -40, 9), P3(3, 3, 3), 20.0);
  CCrdCalculator* pair[] = {&a, &b};
  CCrdCalculator* three[] = {&a, &b, &third};
  for (auto calcs : {pair, three}) {
    CCrdCalculator c;
    ASSERT_TRUE(c.CalcBaseMatrix(calcs == pair ? 2 : 3, calcs, nullptr));
    ExpectNear(c.m_Origin, P3(5, 5, 1), 1e-12);
    ExpectNear(c.m_VectorEnd - c.m_Origin, P3(-5, 5, -1), 1e-12);
    EXPECT_EQ(c.m_FocusR, 35.0);  // the first camera's
    CCrdCalculator expected;
    expected.InitOrientation(P3(5, 5, 1), P3(-5, 5, -1));
    for (int k = 0; k < 9; ++k)
      EXPECT_NEAR(c.m_ConversionMatr.data()[k],
                  expected.m_ConversionMatr.data()[k],
                  1e-12);
  }
}

TEST(CCrdCalculator, BaseMatrixAlongTheAxesAndRefusals) {
  const struct {
    P3 o0, o1, end;
    P3 foot;
  } cases[] = {
      // Parallel to x: the foot lies straight below the middle in plan.
      {P3(0, 0, 0), P3(10, 0, 2), P3(5, 8, 0), P3(5, 0, 1)},
      {P3(-4, 3, 0), P3(6, 3, 0), P3(0, -5, 7), P3(0, 3, 0)},
      // Parallel to y, off and on the axis.
      {P3(3, 0, 0), P3(3, 10, 4), P3(8, 4, 0), P3(3, 4, 1.6)},
      {P3(0, 0, 0), P3(0, 10, 0), P3(6, 4, 0), P3(0, 4, 0)},
      // One camera above the other: the foot keeps the first height.
      {P3(2, 2, 0), P3(2, 2, 5), P3(4, 2, 0), P3(2, 2, 0)},
  };
  for (const auto& t : cases) {
    CCrdCalculator a = Camera(t.o0, t.end, 1.0), b = Camera(t.o1, t.end, 1.0);
    CCrdCalculator* calcs[] = {&a, &b};
    CCrdCalculator c;
    ASSERT_TRUE(c.CalcBaseMatrix(2, calcs, nullptr));
    ExpectNear(c.m_Origin, t.foot, 1e-12);
    ExpectNear(c.m_VectorEnd, t.end, 1e-12);
  }

  CCrdCalculator a = Camera(P3(0, 0, 0), P3(1, 1, 1), 1.0);
  CCrdCalculator* one[] = {&a};
  CCrdCalculator* with_null[] = {&a, nullptr};
  CCrdCalculator c = Camera(P3(7, 7, 7), P3(8, 8, 8), 24.0);
  EXPECT_FALSE(c.CalcBaseMatrix(1, one, nullptr));
  EXPECT_FALSE(c.CalcBaseMatrix(2, with_null, nullptr));
  EXPECT_FALSE(c.CalcBaseMatrix(2, nullptr, nullptr));
  EXPECT_EQ(c.m_Origin, P3(7, 7, 7));  // unchanged
  EXPECT_EQ(c.m_FocusR, 24.0);
}

TEST(CCrdCalculator, ConversionMatrixFromTwoPositions) {
  CCrdCalculator c;
  const double from[3] = {0, 0, 0}, to[3] = {3, 4, 5};
  ASSERT_TRUE(c.CalcConversionMatrix(from, to, nullptr));
  EXPECT_EQ(c.m_VectorEnd, P3(3, 4, 5));
  EXPECT_DOUBLE_EQ(c.m_VectorLength, std::sqrt(50.0));
  const double row0[3] = {0.8, -0.6, 0.0};
  for (int j = 0; j < 3; ++j)
    EXPECT_NEAR(c.m_ConversionMatr(0, j), row0[j], kTolMatrix);
  P2 sight;
  EXPECT_TRUE(c.GetSightOnImageCoords(sight, false));
  ExpectNear(sight, P2(15000, 15000), 1e-9);
  EXPECT_FALSE(c.CalcConversionMatrix(nullptr, to, nullptr));
  EXPECT_EQ(c.m_VectorEnd, P3(3, 4, 5));
}
