#include <collinear/calculator/crd_calculator.h>

#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/calculator/host/host_object.h>
#include <collinear/calculator/host/image_host.h>
#include <collinear/geo/geo_host.h>
#include <collinear/geo/geo_test_util.h>
#include <collinear/geo/proj_system.h>
#include <collinear/picture/picture_info.h>
#include <collinear/picture/picture_test_util.h>
#include <collinear/primitives/constants.h>

namespace ci = collinear;
using ci::ComPtr;
using ci::HostObject;
using P2 = TAbstractPoint2<double>;
using P3 = TAbstractPoint3<double>;
using Rect = TAbstractRect<double>;

namespace {

constexpr double kTolM = 1e-9;      // exact set-ups: rounding of 1e2-1e3 m
constexpr double kTolUnit = 1e-12;  // rotation elements, unit vectors
constexpr double kTolPoseM = 1e-6;  // resection from exact pixels, m
constexpr double kTolPoseRot = 1e-9;
constexpr double kMarker = -777.0;  // a value no operation writes

double Deg(double d) { return d * ci::kRadPerDeg; }

void ExpectNear(const P3& got, const P3& want, double tol) {
  EXPECT_NEAR(got.x, want.x, tol);
  EXPECT_NEAR(got.y, want.y, tol);
  EXPECT_NEAR(got.z, want.z, tol);
}

const P3 kStationPoint(100, 200, 50);
const P3 kInstrument(100, 200, 51.5);  // 1.5 m above the station point
const double kRefDirection = 0.3;      // circle reading of the backsight

// The viewing direction (camera -z) in object axes.
P3 ViewOf(const matr3_3& m) { return P3(-m(2, 0), -m(2, 1), -m(2, 2)); }

// A known camera pose over control points at 60-120 m, and the pixels at
// which a camera with distortion model 3 sees them.
struct SyntheticImage {
  P3 origin = P3(1000.0, 2000.0, 150.0);
  CCrdCalculator truth;
  std::vector<P3> points;
  std::vector<P2> pixels;

  SyntheticImage() {
    truth.m_FocusR = 35.0;
    truth.m_MmPerPixel = P2(0.006, 0.006);
    truth.m_PrincipalPoint = P2(18.0, 12.0);
    const double model3[5] = {1e-5, -2e-8, 5e-11, 2e-6, -1e-6};
    truth.SetDistortionModelData(3, 5, model3);
    truth.InitOrientation(origin, P3(30.0, 60.0, -40.0));
    const matr3_3 to_object(truth.GetConversionMatr(), 't');
    const double camera_xyz[][3] = {{-20, -15, -60},
                                    {25, -10, -75},
                                    {-30, 20, -90},
                                    {35, 25, -110},
                                    {0, 0, -80},
                                    {10, -30, -120},
                                    {-40, 5, -100}};
    for (const auto& k : camera_xyz) {
      const P3 p = to_object * P3(k[0], k[1], k[2]) + origin;
      P2 px;
      EXPECT_TRUE(truth.GetPointOnImageCoords(p, px, false));
      points.push_back(p);
      pixels.push_back(px);
    }
  }
};

void Measure(ci::HostObjectSet* set, IPropertyObject* point, const P2& px) {
  ComPtr<HostObject> m = HostObject::Create();
  if (point) m->SetObject(ci::kImageMeasPropPoint, point);
  m->SetDouble(ci::kImageMeasPropX, px.x).SetDouble(ci::kImageMeasPropY, px.y);
  set->Add(m.get());
}

// Host objects for the calculator: cameras, images, instrument stations
// and points in a plane system; images, points and measurements share one
// coordinate-system object of kind 2 (x east, y north) unless a test
// changes its kind.
class CCrdCalculatorInit : public ::testing::Test {
 protected:
  void SetUp() override { UseWorkingKind(2); }
  void TearDown() override {
    for (auto& o : cycles_) o->Clear();  // stations and their measurements
  }

  // The working coordinate-system object names the UTM system under the
  // property of its kind (1 or 2).
  void UseWorkingKind(int kind) {
    crs_->Clear();
    ci::test_support::SetWorking(*crs_, kind, utm_.get());
  }

  // A host object with coordinates: one vertex per point given as x east,
  // y north, height.
  ComPtr<HostObject> Located(std::initializer_list<P3> xyz) {
    std::vector<P3> north_first;
    for (const P3& p : xyz) north_first.emplace_back(p.y, p.x, p.z);
    return ci::test_support::PointObject(utm_.get(), north_first, crs_.get());
  }
  ComPtr<HostObject> Point(const char* name, const P3& xyz) {
    ComPtr<HostObject> p = Located({xyz});
    p->AddClass(ci::kPointClass).SetString(ci::kPointPropName, name);
    return p;
  }
  // A point the host knows by name only.
  ComPtr<HostObject> Unlocated(const char* name) {
    ComPtr<HostObject> p = HostObject::Create();
    p->AddClass(ci::kPointClass).SetString(ci::kPointPropName, name);
    p->SetObject(ci::kPointPropCrsObject, crs_.get());
    return p;
  }

  // 35 mm lens, 0.006 mm pixels, principal point at (18, 12) mm: a
  // centred picture of 6000 x 4000 pixels.
  ComPtr<HostObject> Camera(std::vector<double> radial = {},
                            std::vector<double> further = {}) {
    ComPtr<HostObject> c = HostObject::Create();
    c->SetDouble(ci::kCameraPropFocus, 35.0)
        .SetDouble(ci::kCameraPropPrincipalX, 18.0)
        .SetDouble(ci::kCameraPropPrincipalY, 12.0)
        .SetDouble(ci::kCameraPropPixelSizeX, 0.006)
        .SetDouble(ci::kCameraPropPixelSizeY, 0.006);
    if (!radial.empty()) c->SetDoubles(ci::kCameraPropRadial, radial);
    if (!further.empty()) c->SetDoubles(ci::kCameraPropFurther, further);
    return c;
  }
  ComPtr<HostObject> Image(HostObject* camera) {
    ComPtr<HostObject> i = HostObject::Create();
    i->SetObject(ci::kImagePropCrsObject, crs_.get());
    if (camera) i->SetObject(ci::kImagePropCamera, camera);
    return i;
  }

  // A station on `point` with the instrument `height` above it; its
  // measurements are set with Observe.
  ComPtr<HostObject> Station(HostObject* point, double height) {
    ComPtr<HostObject> s = HostObject::Create();
    s->SetObject(ci::kStationPropPoint, point)
        .SetDouble(ci::kStationPropHeight, height);
    cycles_.push_back(s);
    return s;
  }
  // A measurement of kind `code` with a horizontal direction; target and
  // further values are set by the caller.
  ComPtr<HostObject> Sight(std::int32_t code, double ha, HostObject* target) {
    ComPtr<HostObject> m = HostObject::Create();
    m->SetInt32(ci::kMeasPropCode, code)
        .SetDouble(ci::kMeasPropDirection, ha)
        .SetObject(ci::kMeasPropCrsObject, crs_.get());
    if (target) m->SetObject(ci::kMeasPropTarget, target);
    cycles_.push_back(m);
    return m;
  }
  // Station's measurements in observation order; `measured` points back
  // at the station.
  void Observe(HostObject* station,
               HostObject* measured,
               std::initializer_list<IPropertyObject*> order) {
    station->SetObjects(ci::kStationPropMeasurements, order);
    measured->SetObject(ci::kMeasPropStation, station);
  }
  // The station of the worked example: point (100, 200, 50), instrument
  // 1.5 m above it, a backsight to (100, 300, 0) reading 0.3, then this
  // level sight reading 0.3 + pi/2 (due east) at 10 m.
  ComPtr<HostObject> EastSight() {
    ComPtr<HostObject> station = Station(Point("S", kStationPoint).get(), 1.5);
    ComPtr<HostObject> north =
        Sight(1, kRefDirection, Point("N", P3(100, 300, 0)).get());
    ComPtr<HostObject> sight = Sight(0, kRefDirection + ci::kPi / 2, nullptr);
    sight->SetDouble(ci::kMeasPropVertical, 0.0)
        .SetDouble(ci::kMeasPropDistance, 10.0);
    Observe(station.get(), sight.get(), {north.get(), sight.get()});
    return sight;
  }
  // An image with the camera of SyntheticImage and measurements of its
  // first `count` control points in `set`.
  ComPtr<HostObject> ControlImage(const SyntheticImage& s,
                                  std::size_t count,
                                  ci::HostObjectSet* set) {
    for (std::size_t i = 0; i < count; ++i)
      Measure(set,
              Point(("P" + std::to_string(i)).c_str(), s.points[i]).get(),
              s.pixels[i]);
    ComPtr<HostObject> image =
        Image(Camera({1e-5, -2e-8, 5e-11}, {2e-6, -1e-6}).get());
    image->SetObjectSet(ci::kImagePropControlMeasurements, set);
    return image;
  }
  // A stored exterior orientation.
  static void Store(HostObject* image, double phi, HostObject* centre) {
    image->SetDouble(ci::kImagePropPhi, phi)
        .SetDouble(ci::kImagePropOmega, 0.2)
        .SetDouble(ci::kImagePropKappa, 0.3)
        .SetObject(ci::kImagePropCentre, centre);
  }

  ComPtr<HostObject> utm_ = ci::test_support::SystemObject(
      ci::ProjCoordSystem::Create("EPSG:32633").get());
  ComPtr<HostObject> crs_ = HostObject::Create();
  std::vector<ComPtr<HostObject>> cycles_;
};

// A calculator whose orientation is valid, to see it cleared.
CCrdCalculator Oriented() {
  CCrdCalculator c;
  c.InitOrientation(P3(1, 2, 3), P3(0, 1, 0));
  return c;
}

}  // namespace

// ------------------------------------------------------------------ camera

TEST_F(CCrdCalculatorInit, CameraFieldsAndPictureCentredOnPrincipalPoint) {
  ComPtr<HostObject> image =
      Image(Camera({1e-5, -2e-8, 5e-11}, {2e-6, -1e-6}).get());
  CCrdCalculator c;
  for (double& p : c.m_DistPara) p = kMarker;
  c.InitCameraFromImage(image.get());
  EXPECT_EQ(c.GetFocusR(), 35.0);
  EXPECT_EQ(c.GetPrincipalPoint(), P2(18.0, 12.0));
  EXPECT_EQ(c.GetMmPerPixel(), P2(0.006, 0.006));
  EXPECT_DOUBLE_EQ(c.GetPictureRect().right, 6000.0);
  EXPECT_DOUBLE_EQ(c.GetPictureRect().bottom, 4000.0);
  EXPECT_EQ(c.GetPictureRect().left, 0.0);
  EXPECT_EQ(c.GetPictureRect().top, 0.0);
  double para[8];
  EXPECT_EQ(c.GetDistortionModelData(8, para), 3u);
  const double want[8] = {
      1e-5, -2e-8, 5e-11, 2e-6, -1e-6, kMarker, kMarker, kMarker};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(para[k], want[k]) << k;
}

TEST_F(CCrdCalculatorInit, DistortionModelFromTheTwoCoefficientCounts) {
  struct Case {
    int radial, further;
    unsigned long model;  // 9: the model the calculator had
  };
  const Case cases[] = {{4, 0, 1},
                        {2, 2, 2},
                        {3, 2, 3},
                        {2, 6, 4},
                        {5, 0, 9},
                        {0, 0, 9},
                        {1, 0, 9},
                        {0, 3, 9},
                        // more than eight in all: the first eight are kept
                        {4, 6, 9},
                        {9, 0, 9},
                        {2, 12, 9}};
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.radial << ", " << k.further);
    std::vector<double> radial, further;
    for (int i = 0; i < k.radial; ++i) radial.push_back(1.0 + i);
    for (int i = 0; i < k.further; ++i) further.push_back(-1.0 - i);
    ComPtr<HostObject> image = Image(Camera(radial, further).get());
    CCrdCalculator c;
    c.m_DistModel = 9;
    for (double& p : c.m_DistPara) p = kMarker;
    c.InitCameraFromImage(image.get());
    EXPECT_EQ(c.m_DistModel, k.model);
    std::vector<double> want = radial;
    want.insert(want.end(), further.begin(), further.end());
    want.resize(8, kMarker);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(c.m_DistPara[i], want[i]) << i;
  }
}

TEST_F(CCrdCalculatorInit, ImageWithoutCameraKeepsAllButTheFocalLength) {
  ComPtr<HostObject> image = Image(nullptr);
  Store(image.get(), 0.1, Point("C", P3(5, 6, 7)).get());
  CCrdCalculator c = Oriented();
  c.InitFromImage(image.get());
  EXPECT_FALSE(c.IsCameraValid());
  EXPECT_EQ(c.GetFocusR(), 0.0);
  EXPECT_EQ(c.GetPrincipalPoint(), P2(15000, 15000));  // the dummy camera's
  EXPECT_EQ(c.GetPictureRect(), Rect(0, 0, 30000, 30000));
  EXPECT_EQ(c.GetOrigin(), P3(1, 2, 3));  // no orientation attempted

  // The picture still gives its size.
  ci::AttachPicture(
      *image,
      ci::MemoryStream::Create(ci::test_support::PngBytes(64, 48)).get());
  c.InitCameraFromImage(image.get());
  EXPECT_EQ(c.GetPictureRect(), Rect(0, 0, 64, 48));

  CCrdCalculator n;
  n.InitCameraFromImage(nullptr);
  EXPECT_EQ(n.GetFocusR(), 0.0);
  EXPECT_EQ(n.GetPictureRect(), Rect(0, 0, 30000, 30000));
}

TEST_F(CCrdCalculatorInit, PixelSizeZeroGivesTheUnitPictureUnlessPictured) {
  ComPtr<HostObject> camera = Camera();
  camera->SetDouble(ci::kCameraPropPixelSizeY, 0.0);
  ComPtr<HostObject> image = Image(camera.get());
  CCrdCalculator c;
  c.InitCameraFromImage(image.get());
  EXPECT_EQ(c.GetPictureRect(), Rect(0, 0, 1, 1));
  EXPECT_EQ(c.GetMmPerPixel(), P2(0.006, 0.0));  // as read
  EXPECT_EQ(c.GetFocusR(), 35.0);

  ci::AttachPicture(
      *image,
      ci::MemoryStream::Create(ci::test_support::JpegBytes(40, 30)).get());
  c.InitCameraFromImage(image.get());
  EXPECT_EQ(c.GetPictureRect(), Rect(0, 0, 40, 30));
}

TEST_F(CCrdCalculatorInit, PictureSizeFromTheImageFile) {
  namespace ts = ci::test_support;
  struct Case {
    const char* what;
    ts::Bytes bytes;
    Rect want;  // the centred 6000 x 4000 when unreadable
  };
  ts::Bytes jpeg = ts::JpegBytes(123, 45);
  const Case cases[] = {
      {"jpeg", jpeg, Rect(0, 0, 123, 45)},
      {"png", ts::PngBytes(31, 17), Rect(0, 0, 31, 17)},
      {"tiff", ts::TiffBytes(640, 427, false, false), Rect(0, 0, 640, 427)},
      {"bigtiff", ts::TiffBytes(77, 99, true, true), Rect(0, 0, 77, 99)},
      {"truncated jpeg",
       ts::Bytes(jpeg.begin(), jpeg.begin() + 12),
       Rect(0, 0, 6000, 4000)},
      {"not a picture", ts::Bytes(100, 'x'), Rect(0, 0, 6000, 4000)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const std::string path = ts::TempPath("picture");
    ts::WriteFile(path, k.bytes);
    ComPtr<HostObject> image = Image(Camera().get());
    ci::AttachPicture(*image, ci::FileStream::Open(path).get());
    CCrdCalculator c;
    c.InitCameraFromImage(image.get());
    EXPECT_DOUBLE_EQ(c.GetPictureRect().right, k.want.right);
    EXPECT_DOUBLE_EQ(c.GetPictureRect().bottom, k.want.bottom);
    EXPECT_EQ(c.GetFocusR(), 35.0);
    image.reset();  // closes the file
    std::remove(path.c_str());
  }
}

// ------------------------------------------------------ stored orientation

TEST_F(CCrdCalculatorInit, StoredAnglesAndProjectionCentre) {
  const double phi = 0.2, omega = -0.4, kappa = 1.1;
  ComPtr<HostObject> image = Image(Camera().get());
  image->SetDouble(ci::kImagePropPhi, phi)
      .SetDouble(ci::kImagePropOmega, omega)
      .SetDouble(ci::kImagePropKappa, kappa)
      .SetObject(ci::kImagePropCentre, Point("C", P3(500, 600, 70)).get());
  CCrdCalculator c;
  c.InitOrientationFromImage(image.get());
  ASSERT_TRUE(c.IsOrientationValid());
  ExpectNear(c.GetOrigin(), P3(500, 600, 70), kTolM);
  EXPECT_EQ(c.GetVectorEnd(), c.GetOrigin());
  EXPECT_EQ(c.m_VectorLength, 0.0);
  EXPECT_EQ(c.m_CrdSysType, 2);
  EXPECT_EQ(c.m_CrdSysObject.get(), static_cast<IPropertyObject*>(crs_.get()));
  // Kappa acts first: Rx(omega) Ry(phi) Rz(kappa), written out.
  const double cw = std::cos(omega), sw = std::sin(omega);
  const double cp = std::cos(phi), sp = std::sin(phi);
  const double ck = std::cos(kappa), sk = std::sin(kappa);
  const double want[3][3] = {
      {cp * ck, -cp * sk, sp},
      {cw * sk + sw * sp * ck, cw * ck - sw * sp * sk, -sw * cp},
      {sw * sk - cw * sp * ck, sw * ck + cw * sp * sk, cw * cp}};
  const matr3_3 m = c.GetConversionMatr();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(m(i, j), want[i][j], kTolUnit);
}

TEST_F(CCrdCalculatorInit, StoredOrientationMissingAPartIsCleared) {
  struct Case {
    const char* what;
    long drop;  // property removed from the complete image
  };
  const Case cases[] = {{"phi", ci::kImagePropPhi},
                        {"omega", ci::kImagePropOmega},
                        {"kappa", ci::kImagePropKappa},
                        {"centre", ci::kImagePropCentre}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ComPtr<HostObject> image = Image(nullptr);
    Store(image.get(), 0.1, Point("C", P3(5, 6, 7)).get());
    image->Remove(k.drop);
    CCrdCalculator c = Oriented();
    c.InitOrientationFromImage(image.get());
    EXPECT_FALSE(c.IsOrientationValid());
  }
  // An angle stored as an integer is no double for the typed read; a
  // centre without coordinates gives no origin.
  ComPtr<HostObject> image = Image(nullptr);
  Store(image.get(), 0.1, Point("C", P3(5, 6, 7)).get());
  image->SetInt32(ci::kImagePropPhi, 0);
  CCrdCalculator c = Oriented();
  c.InitOrientationFromImage(image.get());
  EXPECT_FALSE(c.IsOrientationValid());
  image->SetDouble(ci::kImagePropPhi, 0.1)
      .SetObject(ci::kImagePropCentre, Unlocated("C").get());
  c = Oriented();
  c.InitOrientationFromImage(image.get());
  EXPECT_FALSE(c.IsOrientationValid());
  c = Oriented();
  c.InitOrientationFromImage(nullptr);
  EXPECT_FALSE(c.IsOrientationValid());
}

TEST_F(CCrdCalculatorInit, StoredCentreReferenceMustFitTheWorkingKind) {
  ComPtr<HostObject> dual = HostObject::Create();
  dual->AddClass(ci::kGeoReferenceClass).AddClass(ci::kGeoDerivedClass);
  ComPtr<HostObject> reference_only = HostObject::Create();
  reference_only->AddClass(ci::kGeoReferenceClass);
  struct Case {
    int kind;
    HostObject* reference;
    bool oriented;
  };
  const Case cases[] = {{2, nullptr, true},
                        {2, reference_only.get(), true},
                        {2, dual.get(), false},
                        {1, dual.get(), true},
                        {1, reference_only.get(), false},
                        {1, nullptr, false}};
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << k.kind << " ref "
                                    << (k.reference == dual.get()));
    UseWorkingKind(k.kind);
    ComPtr<HostObject> centre = Point("C", P3(5, 6, 7));
    if (k.reference) centre->SetObject(ci::kPointPropCrsReference, k.reference);
    ComPtr<HostObject> image = Image(nullptr);
    Store(image.get(), 0.0, centre.get());
    CCrdCalculator c = Oriented();
    c.InitOrientationFromImage(image.get());
    EXPECT_EQ(c.IsOrientationValid(), k.oriented);
    EXPECT_EQ(c.m_CrdSysType, k.kind);
    if (k.oriented) ExpectNear(c.GetOrigin(), P3(5, 6, 7), kTolM);
  }
}

// ---------------------------------------------------------- control points

TEST_F(CCrdCalculatorInit, ControlPointsRecoverASyntheticCamera) {
  const SyntheticImage s;
  ComPtr<ci::HostObjectSet> set = ci::HostObjectSet::Create();
  ComPtr<HostObject> image = ControlImage(s, s.points.size(), set.get());
  // Skipped: a measurement without a point, one of a point without
  // coordinates (its pixel would spoil the fit).
  Measure(set.get(), nullptr, P2(1, 1));
  Measure(set.get(), Unlocated("Q").get(), P2(3000, 100));
  CCrdCalculator c;
  c.InitCameraFromImage(image.get());
  c.InitOrientationFromControlPts(image.get());
  ASSERT_TRUE(c.IsOrientationValid());
  ExpectNear(c.GetOrigin(), s.origin, kTolPoseM);
  const matr3_3 got = c.GetConversionMatr(), want = s.truth.GetConversionMatr();
  for (int k = 0; k < 9; ++k)
    EXPECT_NEAR(got.data()[k], want.data()[k], kTolPoseRot);
  EXPECT_TRUE(DefTriad::IsPartialUndef(c.GetVectorEnd()));
  EXPECT_EQ(c.m_VectorLength, 0.0);
  // The recovered camera sees the points where they were measured.
  for (std::size_t i = 0; i < s.points.size(); ++i) {
    P2 px;
    ASSERT_TRUE(c.GetPointOnImageCoords(s.points[i], px, false));
    EXPECT_NEAR(px.x, s.pixels[i].x, 1e-5);
    EXPECT_NEAR(px.y, s.pixels[i].y, 1e-5);
  }
}

TEST_F(CCrdCalculatorInit, TooFewUsableControlPointsLeaveNoOrientation) {
  const SyntheticImage s;
  ComPtr<ci::HostObjectSet> set = ci::HostObjectSet::Create();
  ComPtr<HostObject> image = ControlImage(s, 3, set.get());
  Measure(set.get(), Unlocated("P3").get(), s.pixels[3]);
  CCrdCalculator c = Oriented();
  c.InitCameraFromImage(image.get());
  c.InitOrientationFromControlPts(image.get());
  EXPECT_FALSE(c.IsOrientationValid());

  // Four usable points but no focal length for the resection: neither.
  Measure(set.get(), Point("P3", s.points[3]).get(), s.pixels[3]);
  c = Oriented();
  c.InitCameraFromImage(image.get());
  c.ClearCamera();
  c.InitOrientationFromControlPts(image.get());
  EXPECT_FALSE(c.IsOrientationValid());
  // Nor without measurements; the working system is chosen all the same.
  c = Oriented();
  c.InitOrientationFromControlPts(Image(nullptr).get());
  EXPECT_FALSE(c.IsOrientationValid());
  EXPECT_EQ(c.m_CrdSysObject.get(), static_cast<IPropertyObject*>(crs_.get()));
}

// -------------------------------------------------------------- two points

TEST_F(CCrdCalculatorInit, TwoPointsLookFromOneToTheOther) {
  ComPtr<HostObject> from = Point("A", P3(10, 20, 5));
  ComPtr<HostObject> to = Point("B", P3(13, 24, 5));
  CCrdCalculator c;
  c.InitCameraFromImage(Image(Camera().get()).get());
  c.InitFrom2Pts(from.get(), to.get());
  ASSERT_TRUE(c.IsOrientationValid());
  ExpectNear(c.GetOrigin(), P3(10, 20, 5), kTolM);
  ExpectNear(c.GetVectorEnd(), P3(13, 24, 5), kTolM);
  EXPECT_NEAR(c.m_VectorLength, 5.0, kTolM);
  ExpectNear(ViewOf(c.GetConversionMatr()), P3(0.6, 0.8, 0.0), kTolUnit);
  EXPECT_EQ(c.GetFocusR(), 1.0);  // InitFrom2Pts: the dummy camera
  EXPECT_EQ(c.GetPictureRect(), Rect(0, 0, 30000, 30000));
}

TEST_F(CCrdCalculatorInit, TwoPointsWithAMultiVertexTargetUseItsEnds) {
  ComPtr<HostObject> from = Point("A", P3(0, 0, 0));
  // A polyline: the middle vertex does not count.
  ComPtr<HostObject> line =
      Located({P3(10, -4, 2), P3(50, 50, 50), P3(10, 6, 4)});
  CCrdCalculator c;
  c.InitOrientationFrom2Pts(from.get(), line.get());
  ASSERT_TRUE(c.IsOrientationValid());
  ExpectNear(c.GetVectorEnd(), P3(10, 1, 3), kTolM);
  // As a point, the same object is read at its first vertex.
  line->AddClass(ci::kPointClass);
  c.InitOrientationFrom2Pts(from.get(), line.get());
  ExpectNear(c.GetVectorEnd(), P3(10, -4, 2), kTolM);
}

TEST_F(CCrdCalculatorInit, TwoPointsNeedBothWithCoordinates) {
  ComPtr<HostObject> a = Point("A", P3(0, 0, 0));
  ComPtr<HostObject> b = Unlocated("B");
  ComPtr<HostObject> line_without = HostObject::Create();  // no coordinates
  const std::pair<IPropertyObject*, IPropertyObject*> cases[] = {
      {nullptr, a.get()},
      {a.get(), nullptr},
      {a.get(), b.get()},
      {b.get(), a.get()},
      {a.get(), line_without.get()}};
  for (const auto& k : cases) {
    CCrdCalculator c = Oriented();
    c.InitOrientationFrom2Pts(k.first, k.second);
    EXPECT_FALSE(c.IsOrientationValid());
  }
}

// ------------------------------------------------------ total-station sight

TEST_F(CCrdCalculatorInit, StationExampleSightsEastAtTenMetres) {
  ComPtr<HostObject> sight = EastSight();

  CCrdCalculator c;
  c.InitOrientationFromTSImage(sight.get(), Image(Camera().get()).get());
  ASSERT_TRUE(c.IsOrientationValid());
  ExpectNear(c.GetOrigin(), kInstrument, kTolM);
  ExpectNear(c.GetVectorEnd(), P3(110, 200, 51.5), kTolM);
  EXPECT_NEAR(c.m_VectorLength, 10.0, kTolM);
  EXPECT_EQ(c.m_CrdSysObject.get(), static_cast<IPropertyObject*>(crs_.get()));
}

TEST_F(CCrdCalculatorInit, SecondFaceReadingsAreReducedToTheFirst) {
  // A reading in the second face (vertical angle beyond the zenith) has
  // its direction turned by 180 degrees; the reduction turns it back. The
  // same reading serves as the reference's (its direction alone matters
  // there, so a missed turn shows as a bearing off by pi) and as the
  // sight's (10 m along the reduced angles).
  struct Case {
    const char* what;
    double va;    // as read
    bool turned;  // read in the second face
    double v;     // reduced
  };
  const double half_pi = ci::kPi / 2;
  const Case cases[] = {
      {"30", Deg(30), false, Deg(30)},
      {"-30", Deg(-30), false, Deg(-30)},
      {"100", Deg(100), true, Deg(80)},
      {"-100 is 260", Deg(-100), true, Deg(-80)},
      {"300", Deg(300), false, Deg(300)},
      {"zenith", half_pi, true, half_pi},
      {"nadir read as -90", -half_pi, false, -half_pi},
      {"nadir read as 270", 3 * half_pi, true, -half_pi},
  };
  struct Reading {
    double base;   // direction as a first-face reading
    double shift;  // added to what is read: 0 or -2 pi (wrapped back)
  };
  // The sight's direction lies 1.0 or 4.0 rad past the reference's; the
  // second exceeds 2 pi when turned and falls below 0 when turned back.
  const Reading readings[] = {{1.0, 0.0}, {4.0, 0.0}, {1.0, -ci::kTwoPi}};
  for (const Case& t : cases) {
    for (const Reading& r : readings) {
      SCOPED_TRACE(testing::Message() << t.what << " at " << r.base);
      const double turn = t.turned ? ci::kPi : 0.0;
      ComPtr<HostObject> north =
          Sight(1, kRefDirection + r.shift, Point("N", P3(100, 300, 0)).get());
      ComPtr<HostObject> sight =
          Sight(0, kRefDirection + r.base + turn + r.shift, nullptr);
      sight->SetDouble(ci::kMeasPropVertical, t.va)
          .SetDouble(ci::kMeasPropDistance, 10.0);
      ComPtr<HostObject> station =
          Station(Point("S", kStationPoint).get(), 1.5);
      Observe(station.get(), sight.get(), {north.get(), sight.get()});
      CCrdCalculator c;
      c.InitOrientationFromTSImage(sight.get(), nullptr);
      ASSERT_TRUE(c.IsOrientationValid());
      const double a = r.base;
      ExpectNear(c.GetVectorEnd(),
                 kInstrument + P3(10 * std::cos(t.v) * std::sin(a),
                                  10 * std::cos(t.v) * std::cos(a),
                                  10 * std::sin(t.v)),
                 kTolM);

      // The same reading as the reference of a level first-face sight.
      north->SetDouble(ci::kMeasPropDirection, kRefDirection + turn + r.shift)
          .SetDouble(ci::kMeasPropVertical, t.va);
      sight->SetDouble(ci::kMeasPropDirection, kRefDirection + r.base)
          .SetDouble(ci::kMeasPropVertical, 0.0);
      c.InitOrientationFromTSImage(sight.get(), nullptr);
      ExpectNear(c.GetVectorEnd(),
                 kInstrument + P3(10 * std::sin(a), 10 * std::cos(a), 0.0),
                 kTolM);
    }
  }
}

TEST_F(CCrdCalculatorInit, ReferenceIsTheNearestEarlierUsableSight) {
  // The sight reads 1.0 rad past the backsight A. Other references are
  // off by known amounts, so the bearing shows which one was used:
  // B and B2 (plain sights to the east point) by -0.1 and -0.2, C (an
  // azimuth of 0.5 rad without a target) by +0.5.
  const double east = ci::kPi / 2;
  ComPtr<HostObject> n_pt = Point("N", P3(100, 300, 0));
  ComPtr<HostObject> e_pt = Point("E", P3(200, 200, 0));
  ComPtr<HostObject> a = Sight(1, kRefDirection, n_pt.get());
  ComPtr<HostObject> b = Sight(0, kRefDirection + east + 0.1, e_pt.get());
  ComPtr<HostObject> b2 = Sight(8, kRefDirection + east + 0.2, e_pt.get());
  ComPtr<HostObject> c_az = Sight(3, kRefDirection, nullptr);
  c_az->SetDouble(ci::kMeasPropAzimuth, 0.5);
  // An azimuth sight that has a located target bears on it instead.
  ComPtr<HostObject> c_located = Sight(11, kRefDirection, n_pt.get());
  c_located->SetDouble(ci::kMeasPropAzimuth, 0.5);
  ComPtr<HostObject> no_direction = Sight(1, 0.0, n_pt.get());
  no_direction->Remove(ci::kMeasPropDirection);
  ComPtr<HostObject> unlocated = Sight(1, kRefDirection, Unlocated("U").get());
  ComPtr<HostObject> c_bare = Sight(3, kRefDirection, nullptr);

  ComPtr<HostObject> target = Point("T", P3(105, 205, 52));
  ComPtr<HostObject> sight = Sight(0, kRefDirection + 1.0, target.get());
  sight->SetDouble(ci::kMeasPropVertical, 0.0)
      .SetDouble(ci::kMeasPropDistance, 10.0);
  struct Case {
    const char* what;
    std::vector<IPropertyObject*> order;
    double bearing;  // kUndefined: the target's own coordinates
  };
  const double own = ci::kUndefined;
  const Case cases[] = {
      {"backsight before a plain sight", {a.get(), b.get(), sight.get()}, 1.0},
      {"backsight after a plain sight", {b.get(), a.get(), sight.get()}, 1.0},
      {"azimuth nearer", {a.get(), c_az.get(), sight.get()}, 1.5},
      {"azimuth before a plain sight", {c_az.get(), b.get(), sight.get()}, 1.5},
      {"earliest plain sight", {b.get(), b2.get(), sight.get()}, 0.9},
      {"later sights do not count", {sight.get(), a.get()}, own},
      {"unusable sights skipped",
       {b.get(), no_direction.get(), unlocated.get(), sight.get()},
       0.9},
      {"nothing usable",
       {no_direction.get(), unlocated.get(), sight.get()},
       own},
      {"sight not in the list", {a.get(), b.get()}, 1.0},
      {"azimuth sight with a target", {c_located.get(), sight.get()}, 1.0},
      {"azimuth sight without azimuth or target",
       {c_bare.get(), sight.get()},
       own},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ComPtr<HostObject> station = Station(Point("S", kStationPoint).get(), 1.5);
    ComPtr<ci::HostObjectSet> set = ci::HostObjectSet::Create();
    for (IPropertyObject* m : k.order) set->Add(m);
    station->SetObjectSet(ci::kStationPropMeasurements, set.get());
    sight->SetObject(ci::kMeasPropStation, station.get());
    CCrdCalculator c;
    c.InitOrientationFromTSImage(sight.get(), nullptr);
    ASSERT_TRUE(c.IsOrientationValid());
    const P3 want =
        k.bearing == own
            ? P3(105, 205, 52)
            : kInstrument +
                  P3(10 * std::sin(k.bearing), 10 * std::cos(k.bearing), 0.0);
    ExpectNear(c.GetVectorEnd(), want, kTolM);
    station->Clear();
  }
}

TEST_F(CCrdCalculatorInit, DistanceFallsBackToTheTargetThenToOne) {
  // The sight points exactly at its target, 7 m away at 20 degrees up.
  const double a = 0.8, v = Deg(20);
  const P3 dir(
      std::cos(v) * std::sin(a), std::cos(v) * std::cos(a), std::sin(v));
  ComPtr<HostObject> station = Station(Point("S", kStationPoint).get(), 1.5);
  ComPtr<HostObject> north =
      Sight(1, kRefDirection, Point("N", P3(100, 300, 0)).get());
  ComPtr<HostObject> sight =
      Sight(0, kRefDirection + a, Point("T", kInstrument + dir * 7.0).get());
  sight->SetDouble(ci::kMeasPropVertical, v);
  Observe(station.get(), sight.get(), {north.get(), sight.get()});
  CCrdCalculator c;
  c.InitOrientationFromTSImage(sight.get(), nullptr);
  ExpectNear(c.GetVectorEnd(), kInstrument + dir * 7.0, kTolM);
  EXPECT_NEAR(c.m_VectorLength, 7.0, kTolM);

  sight->Remove(ci::kMeasPropTarget);
  c.InitOrientationFromTSImage(sight.get(), nullptr);
  ExpectNear(c.GetVectorEnd(), kInstrument + dir, kTolM);
}

TEST_F(CCrdCalculatorInit, FirstSightOfAStationEndsAtItsTarget) {
  ComPtr<HostObject> station = Station(Point("S", kStationPoint).get(), 1.5);
  ComPtr<HostObject> sight = Sight(1, 2.0, Point("T", P3(120, 180, 40)).get());
  sight->SetDouble(ci::kMeasPropVertical, 0.3)
      .SetDouble(ci::kMeasPropDistance, 99.0);
  Observe(station.get(), sight.get(), {sight.get()});
  CCrdCalculator c;
  c.InitFromTSImage(sight.get(), Image(Camera().get()).get());
  ExpectNear(c.GetOrigin(), kInstrument, kTolM);
  ExpectNear(c.GetVectorEnd(), P3(120, 180, 40), kTolM);
  EXPECT_EQ(c.GetFocusR(), 35.0);  // the camera is loaded last

  // Without a vertical angle likewise the target.
  sight->Remove(ci::kMeasPropVertical);
  c.InitOrientationFromTSImage(sight.get(), nullptr);
  ExpectNear(c.GetVectorEnd(), P3(120, 180, 40), kTolM);
}

TEST_F(CCrdCalculatorInit, InstrumentWithoutStationPointGivesNoOrientation) {
  ComPtr<HostObject> station = Station(Unlocated("S").get(), 1.5);
  ComPtr<HostObject> sight = Sight(1, 2.0, Point("T", P3(120, 180, 40)).get());
  Observe(station.get(), sight.get(), {sight.get()});
  CCrdCalculator c = Oriented();
  c.InitOrientationFromTSImage(sight.get(), nullptr);
  EXPECT_FALSE(c.IsOrientationValid());
  station->Remove(ci::kStationPropPoint);
  c = Oriented();
  c.InitOrientationFromTSImage(sight.get(), nullptr);
  EXPECT_FALSE(c.IsOrientationValid());
  c = Oriented();
  c.InitOrientationFromTSImage(nullptr, nullptr);
  EXPECT_FALSE(c.IsOrientationValid());
}

TEST_F(CCrdCalculatorInit, MountedCameraTurnsAndShiftsTheView) {
  // The instrument looks east (+x) along the horizon: camera right is
  // south (-y), up is +z.
  ComPtr<HostObject> sight = EastSight();

  struct Case {
    const char* what;
    double pan, tilt, roll;  // degrees
    P3 offset;               // camera axes
    P3 view, right, shift;   // expected, object axes; shift of the origin
  };
  const double c30 = std::cos(Deg(30)), s30 = std::sin(Deg(30));
  // Offsets 0.1 right, 0.2 up, 0.3 forward of the instrument.
  const Case cases[] = {
      {"none", 0, 0, 0, {0, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 0, 0}},
      {"pan left", 90, 0, 0, {0, 0, 0}, {0, 1, 0}, {1, 0, 0}, {0, 0, 0}},
      {"tilt up", 0, 30, 0, {0, 0, 0}, {c30, 0, s30}, {0, -1, 0}, {0, 0, 0}},
      {"roll", 0, 0, 90, {0, 0, 0}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}},
      {"offset", 0, 0, 0, {.1, .2, -.3}, {1, 0, 0}, {0, -1, 0}, {.3, -.1, .2}},
      {"both", 90, 0, 0, {.1, .2, -.3}, {0, 1, 0}, {1, 0, 0}, {.1, .3, .2}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ComPtr<HostObject> camera = Camera();
    camera->AddClass(ci::kMountedCameraClass)
        .SetDouble(ci::kMountPropOffsetX, k.offset.x)
        .SetDouble(ci::kMountPropOffsetY, k.offset.y)
        .SetDouble(ci::kMountPropOffsetZ, k.offset.z)
        .SetDouble(ci::kMountPropPanDeg, k.pan)
        .SetDouble(ci::kMountPropTiltDeg, k.tilt)
        .SetDouble(ci::kMountPropRollDeg, k.roll);
    CCrdCalculator c;
    c.InitOrientationFromTSImage(sight.get(), Image(camera.get()).get());
    ASSERT_TRUE(c.IsOrientationValid());
    const matr3_3 m = c.GetConversionMatr();
    ExpectNear(ViewOf(m), k.view, kTolUnit);
    ExpectNear(P3(m(0, 0), m(0, 1), m(0, 2)), k.right, kTolUnit);
    ExpectNear(c.GetOrigin(), kInstrument + k.shift, kTolM);
    // The sight itself is kept as the instrument measured it.
    ExpectNear(c.GetVectorEnd(), P3(110, 200, 51.5), kTolM);
    EXPECT_NEAR(c.m_VectorLength, 10.0, kTolM);
  }
}

// ------------------------------------------------------------ combinations

TEST_F(CCrdCalculatorInit, InitFromImagePrefersTheStoredOrientation) {
  const SyntheticImage s;
  ComPtr<ci::HostObjectSet> set = ci::HostObjectSet::Create();
  ComPtr<HostObject> image = ControlImage(s, s.points.size(), set.get());
  CCrdCalculator c;
  c.InitFromImage(image.get());
  ExpectNear(c.GetOrigin(), s.origin, kTolPoseM);  // from the control points

  Store(image.get(), 0.0, Point("C", P3(1, 2, 3)).get());
  c.InitFromImage(image.get());
  ExpectNear(c.GetOrigin(), P3(1, 2, 3), kTolM);  // stored
  EXPECT_EQ(c.GetFocusR(), 35.0);
}

TEST_F(CCrdCalculatorInit, InitFromAnyImageFollowsTheInstrumentMeasurement) {
  ComPtr<HostObject> sight = EastSight();
  ComPtr<HostObject> image = Image(Camera().get());
  image->SetObject(ci::kImagePropMeasurement, sight.get());
  ci::AttachPicture(
      *image,
      ci::MemoryStream::Create(ci::test_support::PngBytes(60, 40)).get());

  CCrdCalculator c;
  c.InitFromAnyImage(image.get());
  ExpectNear(c.GetOrigin(), kInstrument, kTolM);
  ExpectNear(c.GetVectorEnd(), P3(110, 200, 51.5), kTolM);
  EXPECT_EQ(c.GetFocusR(), 35.0);
  EXPECT_EQ(c.GetPictureRect(), Rect(0, 0, 60, 40));

  // A stored orientation wins; the sight still gives the vector end.
  Store(image.get(), 0.0, Point("C", P3(110, 196, 51.5)).get());
  c.InitFromAnyImage(image.get());
  ExpectNear(c.GetOrigin(), P3(110, 196, 51.5), kTolM);
  ExpectNear(c.GetVectorEnd(), P3(110, 200, 51.5), kTolM);
  EXPECT_NEAR(c.m_VectorLength, 4.0, kTolM);

  // Without the measurement the image is an ordinary one.
  image->Remove(ci::kImagePropMeasurement);
  c = CCrdCalculator();
  c.InitFromAnyImage(image.get());
  ExpectNear(c.GetOrigin(), P3(110, 196, 51.5), kTolM);
  EXPECT_EQ(c.GetVectorEnd(), c.GetOrigin());
  EXPECT_EQ(c.m_VectorLength, 0.0);
}
