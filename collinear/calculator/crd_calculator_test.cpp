#include <collinear/calculator/crd_calculator.h>

#include <algorithm>
#include <cmath>
#include <ios>
#include <memory>
#include <random>

#include <gtest/gtest.h>

#include <collinear/calculator/calculator_test_util.h>
#include <collinear/calculator/host/host_catalogue.h>
#include <collinear/distortion/dist.h>
#include <collinear/distortion/dist_model.h>
#include <collinear/geo/proj_test_util.h>
#include <collinear/primitives/constants.h>

namespace ci = collinear;
using ci::ComPtr;
using ci::HostObject;
using ci::test_support::BitHash;
using ci::test_support::ExpectNear;
using ci::test_support::P2;
using ci::test_support::P3;
using ci::test_support::SetRealCamera;
using ci::test_support::Uniform;

namespace {

constexpr double kTolPx = 1e-9;     // pixels after a round trip
constexpr double kTolUnit = 1e-14;  // rotation elements, unit vectors
const double kModel3[8] = {1e-5, -2e-8, 5e-11, 2e-5, -1e-5, 0, 0, 0};
const P2 kMarker(-123.0, -456.0);  // an output the call must not touch

// A perspective rectification of the 6000 x 4000 picture with the
// transformed bitmap fitted around it (negative offset in x).
ImgAn::Bitmap Rectification() {
  ImgAn::Bitmap b;
  const double h[9] = {0.9, 0.1, -300.0, -0.05, 1.05, 40.0, 1e-5, 2e-6, 1.0};
  EXPECT_TRUE(b.SetProjective(h));
  EXPECT_TRUE(b.FitOutput(6000, 4000));
  return b;
}

// A camera of focal length f (the dummy camera's) at `origin` looking
// along `direction`.
CCrdCalculator Looking(const P3& origin, const P3& direction, double f = 1) {
  CCrdCalculator c;
  c.m_FocusR = f;
  c.InitOrientation(origin, direction);
  return c;
}

}  // namespace

// The view goes to camera -z, camera x stays horizontal and y up.
TEST(CCrdCalculator, ViewingRotationOfKnownDirections) {
  const double r = std::sqrt(0.5), a = 0.6 * r, b = 0.8 * r;  // 45 deg up
  const struct {
    P3 dir;
    double m[9];  // row by row
  } cases[] = {
      // clang-format off
      {P3(1, 0, 0), {0, -1, 0,  0, 0, 1,  -1, 0, 0}},
      {P3(0, 1, 0), {1, 0, 0,  0, 0, 1,  0, -1, 0}},
      {P3(3, 4, 5), {0.8, -0.6, 0,  -a, -b, r,  -a, -b, -r}},
      {P3(0, 0, 0), {0, -1, 0,  0, 0, 1,  -1, 0, 0}},  // angles 0
      // clang-format on
  };
  for (const auto& t : cases) {
    const CCrdCalculator c = Looking(P3(5, 6, 7), t.dir);
    for (int k = 0; k < 9; ++k)
      EXPECT_NEAR(c.m_ConversionMatr(k / 3, k % 3), t.m[k], 1e-15) << k;
    EXPECT_EQ(c.GetVectorEnd(), P3(5, 6, 7) + t.dir);
    EXPECT_DOUBLE_EQ(c.m_VectorLength, t.dir.Module());
  }
}

TEST(CCrdCalculator, CopiesOwnTheirBitmapAndShareTheHostSystem) {
  ComPtr<HostObject> sys = HostObject::Create();
  const ULONG refs = sys->ref_count();
  auto a = std::make_unique<CCrdCalculator>(Looking(P3(1, 2, 3), P3(0, 9, 1)));
  SetRealCamera(*a);
  a->SetDistortionModelData(3, 8, kModel3);
  a->SetTransfBitmapData(Rectification());
  a->m_CrdSysObject = TComPropertyObject(sys.get());
  a->m_CrdSysType = 2;
  P2 pixel;
  ASSERT_TRUE(a->GetPointOnImageCoords(P3(3, 40, 4), pixel, false));
  CCrdCalculator copy(*a), assigned;
  assigned = *a;
  EXPECT_EQ(sys->ref_count(), refs + 3);
  for (const CCrdCalculator* c : {&copy, &assigned})
    EXPECT_NE(c->m_pTransfBitmap, a->m_pTransfBitmap);
  a.reset();  // the copies stay usable
  for (const CCrdCalculator* c : {&copy, &assigned}) {
    P2 i;
    EXPECT_TRUE(c->GetPointOnImageCoords(P3(3, 40, 4), i, false));
    EXPECT_EQ(i, pixel);
    EXPECT_EQ(c->m_CrdSysType, 2);
  }
  // From a source without a description, a copy has none and an
  // assignment keeps the target's own, as does setting its own.
  const CCrdCalculator plain;
  EXPECT_EQ(CCrdCalculator(plain).m_pTransfBitmap, nullptr);
  ImgAn::Bitmap* own = assigned.m_pTransfBitmap;
  assigned = plain;
  assigned.SetTransfBitmapData(*own);
  EXPECT_EQ(assigned.m_pTransfBitmap, own);
  EXPECT_EQ(assigned.GetFocusR(), 1.0);
  EXPECT_EQ(sys->ref_count(), refs + 1);  // the copy's alone
}

TEST(CCrdCalculator, DistortionModelDataIsClamped) {
  CCrdCalculator c;
  const double ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, two[2] = {-1, -2};
  EXPECT_TRUE(c.SetDistortionModelData(2, 10, ten));
  EXPECT_FALSE(c.SetDistortionModelData(4, -1, ten));
  EXPECT_EQ(c.m_DistModel, 2u);
  EXPECT_TRUE(c.SetDistortionModelData(77, 2, two));  // any model number
  double out[10] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(c.GetDistortionModelData(-1, out), 0u);
  EXPECT_EQ(out[0], 0.0);  // nothing written
  EXPECT_EQ(c.GetDistortionModelData(3, out), 77u);
  EXPECT_EQ(out[3], 0.0);
  EXPECT_EQ(c.GetDistortionModelData(10, out), 77u);
  const double want[10] = {-1, -2, 3, 4, 5, 6, 7, 8, 0, 0};  // at most eight
  for (int k = 0; k < 10; ++k) EXPECT_EQ(out[k], want[k]) << k;
}

// The calculator and CDist evaluate the same model with opposite signs:
// the calculator's ideal photo point is the measured one minus D, CDist's
// the measured one plus its correction D. Pixels go to photo and back,
// also two near the vertical through the principal point where the search
// runs out of steps for model 4.
TEST(CCrdCalculator, DistortionIsCDistsWithTheOppositeSign) {
  const double para[][8] = {
      {},
      {1e-4, -2e-7, 5e-10, -1e-12},
      {1e-4, -2e-7, 2e-4, -1e-4},
      {1e-4, -2e-7, 5e-10, 2e-4, -1e-4},
      {1e-4, -2e-7, 2e-4, -3e-4, 1e-5, -2e-5, 3e-5, -4e-5}};
  const double kTolMm = 1e-14;  // rounding of m - (m - D) near 20 mm
  for (const ci::DistModelInfo& info : ci::kDistModels) {
    SCOPED_TRACE(info.name);
    CCrdCalculator c;
    SetRealCamera(c);
    c.SetDistortionModelData(info.model, 8, para[info.model]);
    CDist d;
    d.SetDistModel(info.model);
    std::copy(para[info.model], para[info.model] + 8, d.m_Para);
    // clang-format off
    for (const P2& p : {P2(0, 0), P2(5999, 3999), P2(1234.5, 3210.25),
                        P2(3001.0037, 3700.2408), P2(2987.2101, 3944.0761)}) {
      // clang-format on
      const P2 measured = c.Imc2PhcProj(p), ideal = c.Imc2Phc(p);
      double dx = 0.0, dy = 0.0;
      d.CalDist(measured.x, measured.y, dx, dy);
      EXPECT_NEAR(measured.x - ideal.x, dx, kTolMm);
      EXPECT_NEAR(measured.y - ideal.y, dy, kTolMm);
      ExpectNear(c.Phc2Imc(ideal), p, kTolPx);
    }
  }
}

// The image chain, projections and beams are fixed to the last bit
// (callers compare pixels): pinned over pixels on and off the picture of
// the dummy camera with a picture whose top is not 0, and of a 35 mm
// camera with distortion model 3, without and with a rectification. The
// hash was made once from the current code.
TEST(CCrdCalculator, ImageChainKeepsEveryBit) {
  CCrdCalculator dummy = Looking(P3(0, 0, 0), P3(1, 0, 0)), real = dummy;
  dummy.m_PictureRect = TAbstractRect<double>(0, 100, 400, 7000);
  SetRealCamera(real);
  real.SetDistortionModelData(3, 8, kModel3);
  real.InitOrientation(P3(10, 20, 30), P3(3, 4, 0.5));
  CCrdCalculator rectified = real;
  rectified.SetTransfBitmapData(Rectification());
  std::mt19937_64 rng(17);
  BitHash h;
  for (const CCrdCalculator* c : {&dummy, &real, &rectified}) {
    for (int k = 0; k < 200; ++k) {
      const double y = Uniform(rng, -100, 4100);  // drawn first, as pinned
      const P2 p(Uniform(rng, -100, 6100), y);
      const P2 ph = c->Imc2Phc(p);
      // clang-format off
      for (const P2& q : {ph, c->Imc2PhcProj(p), c->Phc2Imc(ph),
                          c->Phc2ImcProj(ph), c->OrigImc2TransfImc(p),
                          c->TransfImc2OrigImc(p)})
        // clang-format on
        h.Add(q);
      for (const bool flag : {false, true}) {
        for (const bool corner : {false, true}) {
          h.Add(c->Orig2Transf(p, flag, corner));
          h.Add(c->Transf2Orig(p, flag, corner));
        }
        P3 beam, object;
        P2 pixel;
        EXPECT_TRUE(c->CalculateBeamInCameraCoordinates(p, beam, flag));
        EXPECT_TRUE(c->CalculateBeamInGeoCoordinates(beam * 50.0, object));
        h.Add(c->GetPointOnImageCoords(object, pixel, !flag));
        h.Add(beam);
        h.Add(object);
        h.Add(pixel);
      }
    }
  }
  EXPECT_EQ(h.value(), 0xa08233e88ad54946u) << std::hex << h.value();
  // A point the rectification refuses passes unchanged.
  EXPECT_EQ(rectified.OrigImc2TransfImc(P2(-1e9, 0.0)), P2(-1e9, 0.0));
  EXPECT_EQ(rectified.TransfImc2OrigImc(P2(HUGE_VAL, 0.0)), P2(HUGE_VAL, 0.0));
}

TEST(CCrdCalculator, ProjectionAndBeamsOfTheDummyCamera) {
  // Along object +x: the object point (X, Y, Z) lies at camera (-Y, Z, -X)
  // and at pixel (15000 - Y / X, 15000 - Z / X).
  CCrdCalculator c = Looking(P3(0, 0, 0), P3(1, 0, 0));
  P2 i = kMarker;
  EXPECT_TRUE(c.GetPointOnImageCoords(P3(10, 2, 1), i, false));
  ExpectNear(i, P2(14999.8, 14999.9), kTolPx);
  EXPECT_TRUE(c.GetPointOnImageCoords(P3(10, 2, 1), i, true));
  ExpectNear(i, P2(14999.8, 15000.1), kTolPx);  // y up from the bottom
  EXPECT_FALSE(c.GetPointOnImageCoords(P3(-10, 2, 1), i, false));
  ExpectNear(i, P2(15000.2, 15000.1), kTolPx);  // behind: written, false
  EXPECT_FALSE(c.GetPointOnImageCoords(P3(0.0005, 0, 0), i, false));
  EXPECT_TRUE(c.GetPointOnImageCoords(P3(0.001, 0, 0), i, false));  // f/1000
  EXPECT_TRUE(c.GetSightOnImageCoords(i, false));
  ExpectNear(i, P2(15000, 15000), kTolPx);
  P3 beam, g;
  ASSERT_TRUE(c.CalculateBeamInCameraCoordinates(P2(15000, 100), beam, true));
  EXPECT_EQ(beam, P3(0, 100 - 15000.0, -1));  // 100 rows up from the bottom
  ASSERT_TRUE(c.CalculateBeamInGeoCoordinates(P3(0, 0, -1), g));
  ExpectNear(g, P3(1.0, 0.0, 0.0), kTolUnit);
  // Untouched: in the camera plane, undefined, without camera, origin or
  // vector end.
  i = kMarker;
  EXPECT_FALSE(c.GetPointOnImageCoords(P3(1e-11, 0.3, 0.2), i, false));
  EXPECT_FALSE(c.GetPointOnImageCoords(P3(ci::kUndefined, 0, 0), i, false));
  CCrdCalculator no_end = c;
  no_end.m_VectorEnd.z = ci::kUndefined;
  EXPECT_FALSE(no_end.GetSightOnImageCoords(i, false));
  beam = g = P3(7, 8, 9);
  c.ClearCamera();  // beams in object space need only the orientation
  EXPECT_FALSE(c.GetPointOnImageCoords(P3(10, 2, 1), i, false));
  EXPECT_FALSE(c.GetSightOnImageCoords(i, false));
  EXPECT_FALSE(c.CalculateBeamInCameraCoordinates(P2(1, 2), beam, false));
  EXPECT_TRUE(c.CalculateBeamInGeoCoordinates(P3(0, 0, -1), g));
  c.InitDummyCamera();
  c.ClearOrientation();
  EXPECT_FALSE(c.GetPointOnImageCoords(P3(10, 2, 1), i, false));
  EXPECT_FALSE(c.CalculateBeamInGeoCoordinates(P3(0, 0, -1), beam));
  EXPECT_EQ(i, kMarker);
  EXPECT_EQ(beam, P3(7, 8, 9));
}

// ------------------------------------------------ orientations from pairs

TEST(CCrdCalculator, BaseMatrixLooksFromTheBaseToTheMiddleOfTheEnds) {
  const struct {
    P3 o0, o1, end, foot;
  } cases[] = {
      // clang-format off
      // Ends (0, 10, 0): the foot is the middle of the base.
      {P3(0, 0, 0), P3(10, 10, 2), P3(0, 10, 0), P3(5, 5, 1)},
      // Parallel to x: the foot lies straight below the middle in plan.
      {P3(0, 0, 0), P3(10, 0, 2), P3(5, 8, 0), P3(5, 0, 1)},
      {P3(-4, 3, 0), P3(6, 3, 0), P3(0, -5, 7), P3(0, 3, 0)},
      // Parallel to y, off and on the axis.
      {P3(3, 0, 0), P3(3, 10, 4), P3(8, 4, 0), P3(3, 4, 1.6)},
      {P3(0, 0, 0), P3(0, 10, 0), P3(6, 4, 0), P3(0, 4, 0)},
      // One camera above the other: the foot keeps the first height.
      {P3(2, 2, 0), P3(2, 2, 5), P3(4, 2, 0), P3(2, 2, 0)},
      // clang-format on
  };
  for (const auto& t : cases) {
    CCrdCalculator a = Looking(t.o0, t.end - t.o0, 35.0);
    CCrdCalculator b = Looking(t.o1, t.end - t.o1, 50.0), third;
    CCrdCalculator* calcs[] = {&a, &b, &third};  // a third does not count
    CCrdCalculator c;
    ASSERT_TRUE(c.CalcBaseMatrix(&t == cases ? 3 : 2, calcs, nullptr));
    const CCrdCalculator want = Looking(t.foot, t.end - t.foot);
    for (int k = 0; k < 9; ++k)
      EXPECT_NEAR(
          c.m_ConversionMatr.data()[k], want.m_ConversionMatr.data()[k], 1e-12);
    ExpectNear(c.m_Origin, t.foot, 1e-12);
    ExpectNear(c.m_VectorEnd, t.end, 1e-12);
    EXPECT_EQ(c.m_FocusR, 35.0);  // the first camera's
  }
  CCrdCalculator c = Looking(P3(7, 7, 7), P3(1, 1, 1), 24.0);
  CCrdCalculator* with_null[] = {&c, nullptr};
  EXPECT_FALSE(c.CalcBaseMatrix(1, with_null, nullptr));
  EXPECT_FALSE(c.CalcBaseMatrix(2, with_null, nullptr));
  EXPECT_FALSE(c.CalcBaseMatrix(2, nullptr, nullptr));
  const double from[3] = {1, 2, 3}, to[3] = {4, 6, 8};
  EXPECT_FALSE(c.CalcConversionMatrix(nullptr, to, nullptr));
  EXPECT_FALSE(c.CalcConversionMatrix(from, nullptr, nullptr));
  EXPECT_EQ(c.m_Origin, P3(7, 7, 7));                      // nothing changed
  ASSERT_TRUE(c.CalcConversionMatrix(from, to, nullptr));  // InitOrientation
  EXPECT_EQ(c.m_Origin, P3(1, 2, 3));
  EXPECT_EQ(c.m_VectorEnd, P3(4, 6, 8));
}

// ---------------------------------- geodetic conversion of host points

namespace {

constexpr double kTolMm = 1e-3;  // agreement with PROJ asked for, m

// Host points refer to a coordinate-system object of their own.
class CalculatorGeoTest : public ci::test_support::HostScene {
 protected:
  void TearDown() override {
    ci::HostCatalogue::Unregister(ci::kGeoCatalogueClass);
  }
  ComPtr<HostObject> Point(HostObject* system, const std::vector<P3>& v) {
    return At(system, v, ci::kGeoFormPlane | ci::kGeoHasAll, point_crs_.get());
  }
  ComPtr<HostObject> Geodetic(const P3& lat_lon_h, unsigned long has) {
    return At(wgs84_.get(),
              {lat_lon_h},
              ci::kGeoFormGeodetic | has,
              point_crs_.get());
  }

  ComPtr<HostObject> wgs84_ = ci::test_support::SystemObject(
      ci::ProjCoordSystem::Create("EPSG:4326").get());
  ComPtr<HostObject> point_crs_ = HostObject::Create();
};

}  // namespace

TEST_F(CalculatorGeoTest, WorkingKindsGiveTheirAxesHeightsAndUnit) {
  ci::test_support::ProjReference ref("EPSG:4326", "EPSG:32633");
  ASSERT_TRUE(ref.ok());
  const PJ_XYZ e = ref(15.3, 52.2, 100.0);  // east, north, height
  ComPtr<HostObject> p = Geodetic(P3(52.2, 15.3, 100.0), ci::kGeoHasAll);
  for (int kind : {1, 2})  // plane kinds: x east, y north
    ExpectNear(Working(kind, utm_.get()).GetPointAbsCoords(p.get(), nullptr, 0),
               P3(e.x, e.y, e.z),
               kTolMm);
  // Kind 8: WGS 84 from the catalogue, latitude first in degrees.
  ComPtr<ci::HostObjectSet> systems = ci::HostObjectSet::Create();
  systems->Add(&wgs84_->SetString(1, ci::kGeoWgs84Key));
  ci::HostCatalogue::Register(ci::kGeoCatalogueClass, systems.get());
  ComPtr<HostObject> q = Point(utm_.get(), {P3(e.y, e.x, 100.0)});
  ExpectNear(Working(8, nullptr).GetPointAbsCoords(q.get(), nullptr, 0),
             P3(52.2, 15.3, 100.0),
             1e-8);
  // Kind 16 gives heights above the geoid, kind 4 above the ellipsoid;
  // lengths in the working unit.
  ComPtr<HostObject> geoid = HostObject::Create(), mm = HostObject::Create();
  ci::AttachGeoid(*geoid, ci::ConstantGeoid::Create(40.0).get());
  ci::AttachMetricUnit(*mm, ci::MetricUnit::Create(0.001).get());
  crs_->SetObject(ci::kGeoPropGeoid, geoid.get());
  for (const auto& [kind, height] : {std::pair{16, 60.0}, {4, 100.0}})
    EXPECT_NEAR(
        Working(kind, wgs84_.get()).GetPointAbsCoords(p.get(), nullptr, 0).z,
        height,
        kTolMm);
  crs_->SetObject(ci::kGeoPropUnit, mm.get());
  ExpectNear(Working(2, utm_.get()).GetPointAbsCoords(p.get(), nullptr, 0),
             P3(e.x * 1000, e.y * 1000, 60000.0),
             1.0);
}

TEST_F(CalculatorGeoTest, BadInputGivesUndefinedAndAReadableCause) {
  ComPtr<HostObject> good = Geodetic(P3(52, 15, 1), ci::kGeoHasAll);
  ComPtr<HostObject> partial =
      Geodetic(P3(52, 15, 1), ci::kGeoHasFirst | ci::kGeoHasSecond);
  ComPtr<HostObject> bare = HostObject::Create();
  ComPtr<HostObject> bad = ci::test_support::SystemObject(
      ci::ProjCoordSystem::Create("EPSG:999999").get());
  const struct {
    const char* what;
    int kind;
    HostObject* system;
    IPropertyObject* point;
    int cause;
  } cases[] = {
      // clang-format off
      {"null point", 2, utm_.get(), nullptr, ci::kGeoNullObject},
      {"partly known", 2, utm_.get(), partial.get(), ci::kGeoNoCoordinates},
      {"no coordinates", 2, utm_.get(), bare.get(), ci::kGeoNullObject},
      {"PROJ rejects", 2, bad.get(), good.get(), ci::kGeoBadDefinition},
      {"no catalogue", 8, nullptr, good.get(), ci::kGeoNoCatalogue},
      {"no working system", 2, nullptr, good.get(), ci::kGeoNullObject},
      {"unknown kind", 32, nullptr, good.get(), ci::kGeoNullObject},
      // clang-format on
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.what);
    const CCrdCalculator c = Working(t.kind, t.system);
    EXPECT_EQ(c.GetPointAbsCoords(t.point, nullptr, 0), DefTriad());
    EXPECT_EQ(ci::GeoLastError(), t.cause);
    EXPECT_STRNE(ci::GeoLastErrorText(), "");
    P2 i = kMarker;
    EXPECT_FALSE(c.GetPointOnImageCoords(t.point, i, false));
    EXPECT_EQ(i, kMarker);
    EXPECT_FALSE(c.IsPointInAnglesOfVision(t.point));
    EXPECT_EQ(c.GetPointScale(t.point), 1.0);
  }
  // A good read clears the cause of the one before. The selector picks
  // the first or last vertex; the owner may lend the coordinate system.
  const CCrdCalculator c = Working(2, utm_.get());
  EXPECT_FALSE(
      DefTriad::IsPartialUndef(c.GetPointAbsCoords(good.get(), nullptr, 0)));
  EXPECT_EQ(ci::GeoLastError(), ci::kGeoOk);
  ComPtr<HostObject> line =
      Point(utm_.get(), {P3(1, 2, 3), P3(4, 5, 6), P3(7, 8, 9)});
  EXPECT_EQ(c.GetPointAbsCoords(line.get(), nullptr, -1), P3(2, 1, 3));
  EXPECT_EQ(c.GetPointAbsCoords(line.get(), nullptr, 2147483647), P3(8, 7, 9));
  EXPECT_EQ(c.GetPointAbsCoords(bare.get(), line.get(), 0), P3(2, 1, 3));
}

// The point's scale by its depth before the camera, and which points lie
// inside the picture, borders included.
TEST_F(CalculatorGeoTest, PointScaleAndAnglesOfVision) {
  CCrdCalculator c = Working(2, utm_.get());
  c.InitOrientation(P3(0, 0, 0), P3(10, 0, 0));  // L = 10 along x
  // clang-format off
  const double scales[][2] = {{0.5, 2.0}, {1.0, 2.0}, {5.0, 1.5}, {10.0, 1.0},
                              {11.0, 0.75 * 109 / 110}, {65.0, 0.75 * 55 / 110},
                              {120.0, 0.25}, {500.0, 0.25}};
  // clang-format on
  for (const auto& t : scales)  // object (depth, 0, 0)
    EXPECT_DOUBLE_EQ(
        c.GetPointScale(Point(utm_.get(), {P3(0.0, t[0], 0.0)}).get()), t[1])
        << t[0];
  ComPtr<HostObject> p = Point(utm_.get(), {P3(0.0, 5.0, 0.0)});
  c.m_VectorLength = 0.0;
  EXPECT_EQ(c.GetPointScale(p.get()), 1.0);
  c.ClearOrientation();
  EXPECT_EQ(c.GetPointScale(p.get()), 1.0);
  // The rotation along x without the rounding of cos(pi / 2), column by
  // column, so that border pixels come out exactly: object (X, Y, Z)
  // projects to column 15000 - Y / X and, from the bottom, row 15000 + Z / X.
  c.InitOrientation(P3(0, 0, 0), P3(1, 0, 0));
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
      {P3(-10, 2, 1), false},      // behind the camera
  };
  for (const auto& t : cases) {
    p = Point(utm_.get(), {P3(t.object.y, t.object.x, t.object.z)});
    EXPECT_EQ(c.IsPointInAnglesOfVision(p.get()), t.inside) << t.object.y;
    P2 i;
    EXPECT_EQ(c.GetPointOnImageCoords(p.get(), i, true), t.object.x > 0);
  }
}
