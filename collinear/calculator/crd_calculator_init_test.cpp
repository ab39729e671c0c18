#include <collinear/calculator/crd_calculator.h>

#include <cmath>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/calculator/calculator_test_util.h>
#include <collinear/calculator/host/image_host.h>
#include <collinear/picture/picture_info.h>
#include <collinear/picture/picture_test_util.h>
#include <collinear/primitives/constants.h>

namespace ci = collinear;
using ci::ComPtr;
using ci::HostObject;
using ci::test_support::ExpectNear;
using ci::test_support::P2;
using ci::test_support::P3;

namespace {

constexpr double kTolM = 1e-9;         // exact set-ups: rounding of 1e2-1e3 m
constexpr double kTolUnit = 1e-12;     // rotation elements, unit vectors
constexpr double kMarker = -777.0;     // a value no operation writes
const P3 kInstrument(100, 200, 51.5);  // 1.5 m above the station point
const double kRef = 0.3;  // circle reading of the backsight to the north
const double kHalfPi = ci::kPi / 2;

double Deg(double d) { return d * ci::kRadPerDeg; }

// d metres from the instrument at bearing a (from north towards east) and
// vertical angle v.
P3 Polar(double a, double v, double d = 10.0) {
  const double h = d * std::cos(v);
  return kInstrument + P3(h * std::sin(a), h * std::cos(a), d * std::sin(v));
}

// A calculator whose orientation is valid, to see it cleared.
CCrdCalculator Oriented() {
  CCrdCalculator c;
  c.InitOrientation(P3(1, 2, 3), P3(0, 1, 0));
  return c;
}

// Cameras, images, instrument stations and points on UTM, all sharing one
// working coordinate-system object crs_ of kind 2 (x east, y north).
class CCrdCalculatorInit : public ci::test_support::HostScene {
 protected:
  void SetUp() override { ci::test_support::SetWorking(*crs_, 2, utm_.get()); }
  void TearDown() override {
    for (auto& o : cycles_) o->Clear();  // stations and their measurements
  }

  ComPtr<HostObject> Point(const P3& xyz) {  // named P0, P1, ...
    ComPtr<HostObject> p = Located({xyz});
    const std::string name = "P" + std::to_string(points_++);
    p->AddClass(ci::kPointClass).SetString(ci::kPointPropName, name.c_str());
    return p;
  }
  ComPtr<HostObject> Unlocated() {  // a point without coordinates
    ComPtr<HostObject> p = HostObject::Create();
    p->AddClass(ci::kPointClass).SetObject(ci::kPointPropCrsObject, crs_.get());
    return p;
  }
  // 35 mm lens, 0.006 mm pixels, principal point at (18, 12) mm: a
  // centred picture of 6000 x 4000 pixels. The camera is kept in camera_.
  ComPtr<HostObject> Image(bool with_camera,
                           const std::vector<double>& radial = {},
                           const std::vector<double>& further = {}) {
    ComPtr<HostObject> i = HostObject::Create();
    i->SetObject(ci::kImagePropCrsObject, crs_.get());
    if (!with_camera) return i;
    camera_ = HostObject::Create();
    camera_->SetDouble(ci::kCameraPropFocus, 35.0)
        .SetDouble(ci::kCameraPropPrincipalX, 18.0)
        .SetDouble(ci::kCameraPropPrincipalY, 12.0)
        .SetDouble(ci::kCameraPropPixelSizeX, 0.006)
        .SetDouble(ci::kCameraPropPixelSizeY, 0.006);
    if (!radial.empty()) camera_->SetDoubles(ci::kCameraPropRadial, radial);
    if (!further.empty()) camera_->SetDoubles(ci::kCameraPropFurther, further);
    i->SetObject(ci::kImagePropCamera, camera_.get());
    return i;
  }
  // Stores phi, omega 0.2, kappa 0.3 and the projection centre.
  static void Store(HostObject* image, double phi, HostObject* centre) {
    image->SetDouble(ci::kImagePropPhi, phi)
        .SetDouble(ci::kImagePropOmega, 0.2)
        .SetDouble(ci::kImagePropKappa, 0.3)
        .SetObject(ci::kImagePropCentre, centre);
  }
  // An instrument measurement of kind `code`: horizontal direction ha and,
  // unless undefined, vertical angle va and distance.
  ComPtr<HostObject> Sight(std::int32_t code,
                           double ha,
                           HostObject* target,
                           double va = ci::kUndefined,
                           double distance = ci::kUndefined) {
    ComPtr<HostObject> m = HostObject::Create();
    m->SetInt32(ci::kMeasPropCode, code)
        .SetDouble(ci::kMeasPropDirection, ha)
        .SetObject(ci::kMeasPropCrsObject, crs_.get());
    if (target) m->SetObject(ci::kMeasPropTarget, target);
    if (!ci::IsUndefined(va)) m->SetDouble(ci::kMeasPropVertical, va);
    if (!ci::IsUndefined(distance))
      m->SetDouble(ci::kMeasPropDistance, distance);
    cycles_.push_back(m);
    return m;
  }
  // A station on (100, 200, 50) with the instrument 1.5 m above it, its
  // measurements in `order`; `measured` points back at it.
  ComPtr<HostObject> Observe(HostObject* measured,
                             std::initializer_list<IPropertyObject*> order) {
    ComPtr<HostObject> s = HostObject::Create();
    s->SetObject(ci::kStationPropPoint, Point(P3(100, 200, 50)).get())
        .SetDouble(ci::kStationPropHeight, 1.5)
        .SetObjects(ci::kStationPropMeasurements, order);
    measured->SetObject(ci::kMeasPropStation, s.get());
    cycles_.push_back(s);
    return s;
  }
  // A backsight to (100, 300), then a level sight due east at 10 m.
  ComPtr<HostObject> EastSight() {
    ComPtr<HostObject> north = Sight(1, kRef, Point(P3(100, 300, 0)).get());
    ComPtr<HostObject> sight = Sight(0, kRef + kHalfPi, nullptr, 0.0, 10.0);
    Observe(sight.get(), {north.get(), sight.get()});
    return sight;
  }

  std::vector<ComPtr<HostObject>> cycles_;
  ComPtr<HostObject> camera_;
  int points_ = 0;
};

}  // namespace

TEST_F(CCrdCalculatorInit, CameraAndTheModelOfItsCoefficientCounts) {
  const struct {
    int radial, further;
    unsigned long model;  // 9: the model the calculator had
  } cases[] = {
      // clang-format off
      {4, 0, 1}, {2, 2, 2}, {3, 2, 3}, {2, 6, 4},
      {5, 0, 9}, {0, 0, 9}, {1, 0, 9}, {0, 3, 9},
      // more than eight in all: the first eight are kept
      {4, 6, 9}, {9, 0, 9}, {2, 12, 9},
      // clang-format on
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.radial << ", " << k.further);
    std::vector<double> radial, further;
    for (int i = 0; i < k.radial; ++i) radial.push_back(1.0 + i);
    for (int i = 0; i < k.further; ++i) further.push_back(-1.0 - i);
    CCrdCalculator c;
    c.m_DistModel = 9;
    for (double& p : c.m_DistPara) p = kMarker;
    c.InitCameraFromImage(Image(true, radial, further).get());
    EXPECT_EQ(c.m_DistModel, k.model);
    std::vector<double> want = radial;
    want.insert(want.end(), further.begin(), further.end());
    want.resize(8, kMarker);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(c.m_DistPara[i], want[i]) << i;
    EXPECT_EQ(c.GetPrincipalPoint(), P2(18.0, 12.0));
    EXPECT_EQ(c.GetMmPerPixel(), P2(0.006, 0.006));
  }
}

// The picture's size from its header when it can be read, else centred on
// the principal point, else the unit picture without a pixel size; no
// camera, no focal length.
TEST_F(CCrdCalculatorInit, PictureFromItsHeaderElseCentredOnThePrincipalPoint) {
  namespace ts = ci::test_support;
  const ts::Bytes png = ts::PngBytes(64, 48), junk(100, 'x');
  const struct {
    bool camera, pixel_size;
    const ts::Bytes* picture;
    double width, height;
  } cases[] = {
      // clang-format off
      {true, true, nullptr, 6000, 4000}, {true, true, &junk, 6000, 4000},
      {true, false, nullptr, 1, 1}, {true, false, &png, 64, 48},
      {false, true, nullptr, 30000, 30000},  // the dummy camera's
      {false, true, &png, 64, 48},
      // clang-format on
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(&k - cases);
    ComPtr<HostObject> image = Image(k.camera);
    if (!k.pixel_size) camera_->Remove(ci::kCameraPropPixelSizeY);
    if (k.picture)
      ci::AttachPicture(*image, ci::MemoryStream::Create(*k.picture).get());
    CCrdCalculator c;
    c.InitCameraFromImage(image.get());
    EXPECT_EQ(c.GetPictureRect(),
              TAbstractRect<double>(0, 0, k.width, k.height));
    EXPECT_EQ(c.GetFocusR(), k.camera ? 35.0 : 0.0);
  }
}

// Every part must be there, the angles as doubles, the centre with
// coordinates and a reference that fits the working kind.
TEST_F(CCrdCalculatorInit, StoredOrientationIsReadOnlyWhenComplete) {
  for (long missing : {ci::kImagePropPhi,
                       ci::kImagePropOmega,
                       ci::kImagePropKappa,
                       ci::kImagePropCentre}) {
    ComPtr<HostObject> image = Image(false);
    Store(image.get(), 0.1, Point(P3(5, 6, 7)).get());
    image->Remove(missing);
    CCrdCalculator c = Oriented();
    c.InitOrientationFromImage(image.get());
    EXPECT_FALSE(c.IsOrientationValid()) << missing;
  }
  ComPtr<HostObject> image = Image(false), typed = Image(false);
  Store(image.get(), 0.1, Unlocated().get());
  Store(typed.get(), 0.1, Point(P3(5, 6, 7)).get());
  typed->SetInt32(ci::kImagePropPhi, 0);  // no double for the typed read
  CCrdCalculator c;
  for (HostObject* i :
       {image.get(), typed.get(), static_cast<HostObject*>(nullptr)}) {
    c = Oriented();
    c.InitOrientationFromImage(i);
    EXPECT_FALSE(c.IsOrientationValid());
  }

  ComPtr<HostObject> dual = HostObject::Create(), ref = HostObject::Create();
  dual->AddClass(ci::kGeoReferenceClass).AddClass(ci::kGeoDerivedClass);
  ref->AddClass(ci::kGeoReferenceClass);
  const struct {
    int kind;
    HostObject* reference;
    bool oriented;
  } cases[] = {
      // clang-format off
      {2, nullptr, true}, {2, ref.get(), true}, {2, dual.get(), false},
      {1, dual.get(), true}, {1, ref.get(), false}, {1, nullptr, false},
      // clang-format on
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(&k - cases);
    ci::test_support::SetWorking(*crs_, k.kind, utm_.get());
    ComPtr<HostObject> centre = Point(P3(5, 6, 7));
    if (k.reference) centre->SetObject(ci::kPointPropCrsReference, k.reference);
    Store(image.get(), 0.1, centre.get());
    c = Oriented();
    c.InitOrientationFromImage(image.get());
    EXPECT_EQ(c.IsOrientationValid(), k.oriented);
    EXPECT_EQ(c.m_CrdSysType, k.kind);
    if (!k.oriented) continue;
    ExpectNear(c.GetOrigin(), P3(5, 6, 7), kTolM);
    EXPECT_EQ(c.GetVectorEnd(), c.GetOrigin());
    EXPECT_EQ(c.m_VectorLength, 0.0);
    EXPECT_EQ(c.m_CrdSysObject.get(),
              static_cast<IPropertyObject*>(crs_.get()));
    // Kappa acts first: Rx(omega) Ry(phi) Rz(kappa) of phi 0.1, omega 0.2,
    // kappa 0.3, row by row, computed once outside the library.
    // clang-format off
    const double want[9] = {0.950563785922063, -0.294043836551856,
                            0.099833416646828, 0.308577466859128,
                            0.930432063657030, -0.197676811654084,
                            -0.034762563776535, 0.218710761291679,
                            0.975170327201816};
    // clang-format on
    for (int j = 0; j < 9; ++j)
      EXPECT_NEAR(c.m_ConversionMatr(j / 3, j % 3), want[j], kTolUnit) << j;
  }
}

// A camera (distortion model 3) at (1000, 2000, 150) sees seven control
// points at 60-120 m where they are measured.
TEST_F(CCrdCalculatorInit, ControlPointsRecoverASyntheticCamera) {
  const P3 origin(1000.0, 2000.0, 150.0);
  ComPtr<HostObject> image = Image(true, {1e-5, -2e-8, 5e-11}, {2e-6, -1e-6});
  CCrdCalculator truth;
  truth.InitCameraFromImage(image.get());
  truth.InitOrientation(origin, P3(30.0, 60.0, -40.0));
  const matr3_3 to_object(truth.m_ConversionMatr, 't');
  ComPtr<ci::HostObjectSet> set = ci::HostObjectSet::Create();
  image->SetObjectSet(ci::kImagePropControlMeasurements, set.get());
  auto measure = [&set](IPropertyObject* point, const P2& px) {
    ComPtr<HostObject> m = HostObject::Create();
    if (point) m->SetObject(ci::kImageMeasPropPoint, point);
    set->Add(&m->SetDouble(ci::kImageMeasPropX, px.x)
                  .SetDouble(ci::kImageMeasPropY, px.y));
  };
  // Skipped: a measurement without a point, one of a point without
  // coordinates (its pixel would spoil the fit).
  measure(nullptr, P2(1, 1));
  measure(Unlocated().get(), P2(3000, 100));
  std::vector<std::pair<P3, P2>> seen;
  // clang-format off
  for (const P3 k : {P3(-20, -15, -60), P3(25, -10, -75), P3(-30, 20, -90),
                     P3(35, 25, -110), P3(0, 0, -80), P3(10, -30, -120),
                     P3(-40, 5, -100)}) {
    // clang-format on
    const P3 p = to_object * k + origin;
    P2 px;
    EXPECT_TRUE(truth.GetPointOnImageCoords(p, px, false));
    // Three usable points are too few, as is a camera without focal
    // length for the resection.
    CCrdCalculator c = Oriented();
    c.ClearCamera();
    c.InitOrientationFromControlPts(image.get());
    EXPECT_FALSE(c.IsOrientationValid());
    c.InitCameraFromImage(image.get());
    c.InitOrientationFromControlPts(image.get());
    EXPECT_EQ(c.IsOrientationValid(), seen.size() >= 4) << seen.size();
    measure(Point(p).get(), px);
    seen.emplace_back(p, px);
  }
  CCrdCalculator c;
  c.InitFromImage(image.get());  // no stored orientation: control points
  ExpectNear(c.GetOrigin(), origin, 1e-6);  // the rotation: by the pixels
  EXPECT_TRUE(DefTriad::IsPartialUndef(c.GetVectorEnd()));
  EXPECT_EQ(c.m_VectorLength, 0.0);
  for (const auto& [p, px] : seen) {
    P2 got;
    ASSERT_TRUE(c.GetPointOnImageCoords(p, got, false));
    ExpectNear(got, px, 1e-5);
  }
  // A stored orientation comes first; without a camera neither is tried.
  Store(image.get(), 0.0, Point(P3(1, 2, 3)).get());
  c.InitFromImage(image.get());
  ExpectNear(c.GetOrigin(), P3(1, 2, 3), kTolM);
  image->Remove(ci::kImagePropCamera);
  c = Oriented();
  c.InitFromImage(image.get());
  EXPECT_FALSE(c.IsCameraValid());
  EXPECT_EQ(c.GetOrigin(), P3(1, 2, 3));
  // Without measurements no orientation; the working system is chosen.
  c.InitOrientationFromControlPts(Image(false).get());
  EXPECT_FALSE(c.IsOrientationValid());
  EXPECT_EQ(c.m_CrdSysObject.get(), static_cast<IPropertyObject*>(crs_.get()));
}

TEST_F(CCrdCalculatorInit, TwoPointsLookFromOneToTheOther) {
  ComPtr<HostObject> from = Point(P3(10, 20, 5)), to = Point(P3(13, 24, 5));
  CCrdCalculator c;
  c.InitCameraFromImage(Image(true).get());
  c.InitFrom2Pts(from.get(), to.get());
  ExpectNear(c.GetOrigin(), P3(10, 20, 5), kTolM);
  ExpectNear(c.GetVectorEnd(), P3(13, 24, 5), kTolM);
  EXPECT_NEAR(c.m_ConversionMatr(2, 0), -0.6, kTolUnit);  // view along -z
  EXPECT_EQ(c.GetFocusR(), 1.0);                          // the dummy camera
  // Of a multi-vertex target the middle of its ends; as a point, the same
  // object is read at its first vertex.
  ComPtr<HostObject> line = Located({P3(10, -4, 2), P3(5, 5, 5), P3(10, 6, 4)});
  c.InitOrientationFrom2Pts(from.get(), line.get());
  ExpectNear(c.GetVectorEnd(), P3(10, 1, 3), kTolM);
  line->AddClass(ci::kPointClass);
  c.InitOrientationFrom2Pts(from.get(), line.get());
  ExpectNear(c.GetVectorEnd(), P3(10, -4, 2), kTolM);
  // Both need coordinates.
  ComPtr<HostObject> b = Unlocated(), bare = HostObject::Create();
  // clang-format off
  for (const auto& [p, q] : {std::pair<HostObject*, HostObject*>{nullptr, to.get()},
        {from.get(), nullptr}, {from.get(), b.get()}, {b.get(), from.get()},
        {from.get(), bare.get()}}) {
    // clang-format on
    c = Oriented();
    c.InitOrientationFrom2Pts(p, q);
    EXPECT_FALSE(c.IsOrientationValid());
  }
}

// A reading in the second face (vertical angle beyond the zenith) has its
// direction turned by 180 degrees; the reduction turns it back (the sight
// ends 10 m along the reduced angles). References are read by the same
// function.
TEST_F(CCrdCalculatorInit, SecondFaceReadingsAreReducedToTheFirst) {
  const struct {
    double va;    // as read
    bool turned;  // read in the second face
    double v;     // reduced
  } cases[] = {
      // clang-format off
      {Deg(30), false, Deg(30)}, {Deg(-30), false, Deg(-30)},
      {Deg(100), true, Deg(80)}, {Deg(-100), true, Deg(-80)},  // 260
      {Deg(300), false, Deg(300)}, {kHalfPi, true, kHalfPi},  // the zenith
      {-kHalfPi, false, -kHalfPi},
      {3 * kHalfPi, true, -kHalfPi},  // the nadir read as 270
      // clang-format on
  };
  // The sight lies 1.0 or 4.0 rad past the reference: the second exceeds
  // 2 pi when turned and falls below 0 when turned back; both readings
  // may also be shifted by -2 pi (wrapped back).
  for (const auto& t : cases) {
    for (const auto& [a, shift] :
         {std::pair{1.0, 0.0}, {4.0, 0.0}, {1.0, -ci::kTwoPi}}) {
      SCOPED_TRACE(testing::Message() << t.va << " at " << a << shift);
      const double turn = t.turned ? ci::kPi : 0.0;
      ComPtr<HostObject> north =
          Sight(1, kRef + shift, Point(P3(100, 300, 0)).get());
      ComPtr<HostObject> sight =
          Sight(0, kRef + a + turn + shift, nullptr, t.va, 10.0);
      Observe(sight.get(), {north.get(), sight.get()});
      CCrdCalculator c;
      c.InitOrientationFromTSImage(sight.get(), nullptr);
      ExpectNear(c.GetVectorEnd(), Polar(a, t.v), kTolM);
    }
  }
}

// The sight reads 1.0 rad past the backsight A. Other references are off
// by known amounts, so the bearing shows which one was used: B and B2
// (plain sights to the east point) by -0.1 and -0.2, C (an azimuth of
// 0.5 rad without a target) by +0.5.
TEST_F(CCrdCalculatorInit, ReferenceIsTheNearestEarlierUsableSight) {
  ComPtr<HostObject> north = Point(P3(100, 300, 0)),
                     east = Point(P3(200, 200, 0));
  ComPtr<HostObject> a = Sight(1, kRef, north.get());
  ComPtr<HostObject> b = Sight(0, kRef + kHalfPi + 0.1, east.get());
  ComPtr<HostObject> b2 = Sight(8, kRef + kHalfPi + 0.2, east.get());
  ComPtr<HostObject> c_az = Sight(3, kRef, nullptr);
  c_az->SetDouble(ci::kMeasPropAzimuth, 0.5);
  // An azimuth sight that has a located target bears on it instead.
  ComPtr<HostObject> c_located = Sight(11, kRef, north.get());
  c_located->SetDouble(ci::kMeasPropAzimuth, 0.5);
  ComPtr<HostObject> no_direction = Sight(1, 0.0, north.get());
  no_direction->Remove(ci::kMeasPropDirection);
  ComPtr<HostObject> unlocated = Sight(1, kRef, Unlocated().get());
  ComPtr<HostObject> c_bare = Sight(3, kRef, nullptr);
  ComPtr<HostObject> s =
      Sight(0, kRef + 1.0, Point(P3(105, 205, 52)).get(), 0.0, 10.0);
  const double own = ci::kUndefined;  // the target's own coordinates
  const struct {
    std::initializer_list<IPropertyObject*> order;
    double bearing;
  } cases[] = {
      {{a.get(), b.get(), s.get()}, 1.0},     // backsight before a plain sight
      {{b.get(), a.get(), s.get()}, 1.0},     // backsight after a plain sight
      {{a.get(), c_az.get(), s.get()}, 1.5},  // azimuth nearer
      {{c_az.get(), b.get(), s.get()}, 1.5},  // azimuth before a plain one
      {{b.get(), b2.get(), s.get()}, 0.9},    // the earliest plain sight
      {{s.get(), a.get()}, own},              // later sights do not count
      {{b.get(), no_direction.get(), unlocated.get(), s.get()}, 0.9},
      {{no_direction.get(), unlocated.get(), s.get()}, own},
      {{a.get(), b.get()}, 1.0},  // the sight not in the list
      {{c_located.get(), s.get()}, 1.0},
      {{c_bare.get(), s.get()}, own},  // azimuth sight, no azimuth or target
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(&k - cases);
    Observe(s.get(), k.order);
    CCrdCalculator c;
    c.InitOrientationFromTSImage(s.get(), nullptr);
    ExpectNear(c.GetVectorEnd(),
               k.bearing == own ? P3(105, 205, 52) : Polar(k.bearing, 0.0),
               kTolM);
  }
}

TEST_F(CCrdCalculatorInit, SightsWithoutDistanceOrVerticalAngle) {
  // Without a distance: that to the target (here 7 m at 20 degrees up),
  // without a target as well 1.
  const double a = 0.8, v = Deg(20);
  ComPtr<HostObject> north = Sight(1, kRef, Point(P3(100, 300, 0)).get());
  ComPtr<HostObject> sight = Sight(0, kRef + a, Point(Polar(a, v, 7)).get(), v);
  Observe(sight.get(), {north.get(), sight.get()});
  CCrdCalculator c;
  c.InitOrientationFromTSImage(sight.get(), nullptr);
  ExpectNear(c.GetVectorEnd(), Polar(a, v, 7), kTolM);
  EXPECT_NEAR(c.m_VectorLength, 7.0, kTolM);
  sight->Remove(ci::kMeasPropTarget);
  c.InitOrientationFromTSImage(sight.get(), nullptr);
  ExpectNear(c.GetVectorEnd(), Polar(a, v, 1), kTolM);
  // The first sight of a station, or one without a vertical angle, ends
  // at its target; the camera is loaded last.
  sight = Sight(1, 2.0, Point(P3(120, 180, 40)).get(), 0.3, 99.0);
  Observe(sight.get(), {sight.get()});
  c.InitFromTSImage(sight.get(), Image(true).get());
  ExpectNear(c.GetOrigin(), kInstrument, kTolM);
  ExpectNear(c.GetVectorEnd(), P3(120, 180, 40), kTolM);
  EXPECT_EQ(c.GetFocusR(), 35.0);
  sight->Remove(ci::kMeasPropVertical);
  ComPtr<HostObject> station = Observe(sight.get(), {north.get(), sight.get()});
  c.InitOrientationFromTSImage(sight.get(), nullptr);
  ExpectNear(c.GetVectorEnd(), P3(120, 180, 40), kTolM);
  // Without coordinates of the station point, or without one: none.
  station->SetObject(ci::kStationPropPoint, Unlocated().get());
  for (int k = 0; k < 2; ++k) {
    c = Oriented();
    c.InitOrientationFromTSImage(sight.get(), nullptr);
    EXPECT_FALSE(c.IsOrientationValid());
    station->Remove(ci::kStationPropPoint);
  }
  c = Oriented();
  c.InitOrientationFromTSImage(nullptr, nullptr);
  EXPECT_FALSE(c.IsOrientationValid());
}

// The instrument looks east (+x) along the horizon: camera right is south
// (-y), up is +z.
TEST_F(CCrdCalculatorInit, MountedCameraTurnsAndShiftsTheView) {
  ComPtr<HostObject> sight = EastSight();
  const double c30 = std::cos(Deg(30)), s30 = std::sin(Deg(30));
  const struct {
    double pan, tilt, roll;  // degrees
    P3 offset;               // camera axes: right, up, backwards
    P3 view, right, shift;   // expected, object axes; shift of the origin
  } cases[] = {
      // clang-format off
      {0, 0, 0, {0, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 0, 0}},
      {90, 0, 0, {0, 0, 0}, {0, 1, 0}, {1, 0, 0}, {0, 0, 0}},  // pan left
      {0, 30, 0, {0, 0, 0}, {c30, 0, s30}, {0, -1, 0}, {0, 0, 0}},  // tilt
      {0, 0, 90, {0, 0, 0}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}},  // roll
      {0, 0, 0, {.1, .2, -.3}, {1, 0, 0}, {0, -1, 0}, {.3, -.1, .2}},
      {90, 0, 0, {.1, .2, -.3}, {0, 1, 0}, {1, 0, 0}, {.1, .3, .2}},
      // clang-format on
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(&k - cases);
    ComPtr<HostObject> image = Image(true);
    camera_->AddClass(ci::kMountedCameraClass)
        .SetDouble(ci::kMountPropOffsetX, k.offset.x)
        .SetDouble(ci::kMountPropOffsetY, k.offset.y)
        .SetDouble(ci::kMountPropOffsetZ, k.offset.z)
        .SetDouble(ci::kMountPropPanDeg, k.pan)
        .SetDouble(ci::kMountPropTiltDeg, k.tilt)
        .SetDouble(ci::kMountPropRollDeg, k.roll);
    CCrdCalculator c;
    c.InitOrientationFromTSImage(sight.get(), image.get());
    const matr3_3& m = c.m_ConversionMatr;
    ExpectNear(P3(-m(2, 0), -m(2, 1), -m(2, 2)), k.view, kTolUnit);
    ExpectNear(P3(m(0, 0), m(0, 1), m(0, 2)), k.right, kTolUnit);
    ExpectNear(c.GetOrigin(), kInstrument + k.shift, kTolM);
    // The sight itself is kept as the instrument measured it.
    ExpectNear(c.GetVectorEnd(), P3(110, 200, 51.5), kTolM);
    EXPECT_NEAR(c.m_VectorLength, 10.0, kTolM);
    EXPECT_EQ(c.m_CrdSysObject.get(),
              static_cast<IPropertyObject*>(crs_.get()));
  }
}

// A stored orientation wins over the instrument's; the sight still gives
// the vector end.
TEST_F(CCrdCalculatorInit, InitFromAnyImageFollowsTheInstrumentMeasurement) {
  ComPtr<HostObject> image = Image(true);
  image->SetObject(ci::kImagePropMeasurement, EastSight().get());
  Store(image.get(), 0.0, Point(P3(110, 196, 51.5)).get());
  CCrdCalculator c;
  c.InitFromAnyImage(image.get());
  ExpectNear(c.GetOrigin(), P3(110, 196, 51.5), kTolM);
  ExpectNear(c.GetVectorEnd(), P3(110, 200, 51.5), kTolM);
  EXPECT_NEAR(c.m_VectorLength, 4.0, kTolM);
}
