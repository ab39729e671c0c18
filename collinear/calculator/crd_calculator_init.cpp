// Set-up of CCrdCalculator from host objects: camera, stored orientation,
// control-point resection, two points, and total-station measurements.
#include <collinear/calculator/crd_calculator.h>

#include <cmath>
#include <cstdint>

#include <collinear/calculator/host/image_host.h>
#include <collinear/distortion/dist_model.h>
#include <collinear/framework/array.h>
#include <collinear/geo/geo_host.h>
#include <collinear/orientation/sinori.h>
#include <collinear/picture/picture_info.h>
#include <collinear/primitives/constants.h>
#include <collinear/primitives/rot.h>
#include <collinear/primitives/wpk.h>
#include <collinear/primitives/xyz.h>

namespace {

using P2 = TAbstractPoint2<double>;
using P3 = TAbstractPoint3<double>;
using collinear::IsUndefined;
using collinear::kEpsilon;
using collinear::kPi;
using collinear::kTwoPi;

constexpr int kMaxDistPara = 8;
constexpr double kMetresToMm = 1000.0;
constexpr double kMmToMetres = 0.001;
// Vertex selectors of a multi-vertex object: its first and last vertex.
constexpr int kFirstVertex = -1;
constexpr int kLastVertex = 2147483647;
// The working kind whose stored orientations need a plain reference.
constexpr int kCrsKindPlaneReferenced = 2;

bool Defined(const P3& p) { return !DefTriad::IsPartialUndef(p); }

// Raw reads: the fallback stays when the object or the value is missing.
double RawDouble(IPropertyObject* object,
                 long id,
                 unsigned long index = 0,
                 double fallback = 0.0) {
  double v = fallback;
  if (object) object->get_raw_value(id, &v, index);
  return v;
}

std::int32_t RawInt32(IPropertyObject* object, long id, std::int32_t fallback) {
  std::int32_t v = fallback;
  if (object) object->get_raw_value(id, &v, 0);
  return v;
}

// Typed read through a value holder; false when there is no double.
bool TypedDouble(IPropertyObject* object, long id, double* out) {
  TBinValue<double> v;
  TComPropertyObject(object).get_value(id, v, 0);
  if (!v.is_valid()) return false;
  *out = v.value();
  return true;
}

// One step into [0, 2 pi): a negative angle gains 2 pi, one of 2 pi or
// more loses it.
double OneTurnInto2Pi(double a) {
  if (a < 0.0) return a + kTwoPi;
  if (a >= kTwoPi) return a - kTwoPi;
  return a;
}

matr3_3 MatrixOf(const CRot& r) {
  matr3_3 m;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m(i, j) = r.m_r[3 * i + j];
  return m;
}

// The working coordinate system: the object of property 50 of `owner` and
// its kind (property 39), kind 1 without an object.
void SelectCrdSys(IPropertyObject* owner,
                  int* crs_type,
                  TComPropertyObject* crs_object) {
  *crs_object = TComPropertyObject(owner, collinear::kGeoPropCrsObject);
  *crs_type = 1;
  if (*crs_object)
    *crs_type = RawInt32(crs_object->get(), collinear::kGeoPropKind, 1);
}

// The picture's size from its header; false when the image has no picture
// or it cannot be read.
bool ReadImagePictureSize(IPropertyObject* image,
                          std::uint32_t* width,
                          std::uint32_t* height) {
  const auto picture =
      collinear::ComPtr<IImagePicture>::Query(image, IID_IImagePicture);
  if (!picture) return false;
  collinear::ComPtr<IStream> stream;
  if (picture->GetPictureStream(stream.put()) < 0 || !stream) return false;
  collinear::PictureInfo info;
  if (!collinear::ReadPictureInfo(stream.get(), &info)) return false;
  *width = info.width;
  *height = info.height;
  return true;
}

}  // namespace

// ------------------------------------------------------------------ camera

void CCrdCalculator::InitCameraFromImage(IPropertyObject* image) {
  const TComPropertyObject camera(image, collinear::kImagePropCamera);
  if (!camera) {
    m_FocusR = 0.0;
  } else {
    IPropertyObject* cam = camera.get();
    // A camera lacking a value reads it as 0: no focal length makes the
    // camera invalid, no pixel size the unit picture below.
    m_FocusR = RawDouble(cam, collinear::kCameraPropFocus);
    m_MmPerPixel = P2(RawDouble(cam, collinear::kCameraPropPixelSizeX),
                      RawDouble(cam, collinear::kCameraPropPixelSizeY));
    m_PrincipalPoint = P2(RawDouble(cam, collinear::kCameraPropPrincipalX),
                          RawDouble(cam, collinear::kCameraPropPrincipalY));
    if (m_MmPerPixel.x > kEpsilon && m_MmPerPixel.y > kEpsilon) {
      // The picture centred on the principal point.
      m_PictureRect =
          TAbstractRect<double>(0.0,
                                0.0,
                                2.0 * m_PrincipalPoint.x / m_MmPerPixel.x,
                                2.0 * m_PrincipalPoint.y / m_MmPerPixel.y);
    } else {
      m_PictureRect = TAbstractRect<double>(0.0, 0.0, 1.0, 1.0);
    }

    const unsigned long radial =
        camera.get_value_dims(collinear::kCameraPropRadial);
    const unsigned long further =
        camera.get_value_dims(collinear::kCameraPropFurther);
    // Counts that no model has leave the model as it was.
    const DIST_MODEL model = collinear::DistModelFromCounts(radial, further);
    if (model != DIST_NONE) m_DistModel = model;
    // Radial coefficients first, the further ones behind them. No model
    // reads more than eight, so any beyond the eighth are dropped.
    int n = 0;
    for (unsigned long k = 0; k < radial && n < kMaxDistPara; ++k)
      m_DistPara[n++] = RawDouble(cam, collinear::kCameraPropRadial, k);
    for (unsigned long k = 0; k < further && n < kMaxDistPara; ++k)
      m_DistPara[n++] = RawDouble(cam, collinear::kCameraPropFurther, k);
  }

  std::uint32_t width = 0, height = 0;
  if (ReadImagePictureSize(image, &width, &height) && width != 0 && height != 0)
    m_PictureRect = TAbstractRect<double>(0.0, 0.0, width, height);
}

// ------------------------------------------------------------- orientation

void CCrdCalculator::InitOrientationFromImage(IPropertyObject* image) {
  if (!image) {
    ClearOrientation();
    return;
  }
  SelectCrdSys(image, &m_CrdSysType, &m_CrdSysObject);

  double phi = 0.0, omega = 0.0, kappa = 0.0;
  const bool has_phi = TypedDouble(image, collinear::kImagePropPhi, &phi);
  const bool has_omega = TypedDouble(image, collinear::kImagePropOmega, &omega);
  const bool has_kappa = TypedDouble(image, collinear::kImagePropKappa, &kappa);
  const TComPropertyObject centre(image, collinear::kImagePropCentre);
  if (!has_phi || !has_omega || !has_kappa || !centre) {
    ClearOrientation();
    return;
  }

  // The centre's reference must fit the working kind (see image_host.h).
  const TComPropertyObject reference(centre.get(),
                                     collinear::kPointPropCrsReference);
  const bool dual_class = reference &&
                          reference.is_GUID(collinear::kGeoReferenceClass) &&
                          reference.is_GUID(collinear::kGeoDerivedClass);
  if ((m_CrdSysType == kCrsKindPlaneReferenced) != !dual_class) {
    ClearOrientation();
    return;
  }

  const P3 p = GetPointAbsCoords(image, centre.get(), 0);
  if (!Defined(p)) {
    ClearOrientation();
    return;
  }
  m_Origin = p;
  m_VectorEnd = p;
  m_VectorLength = 0.0;
  CRot r;
  r.SetMatrix(ROT_KPW, CWPK(omega, phi, kappa));
  m_ConversionMatr = MatrixOf(r);
}

void CCrdCalculator::InitOrientationFromControlPts(IPropertyObject* image) {
  m_Origin = DefTriad();
  SelectCrdSys(image, &m_CrdSysType, &m_CrdSysObject);
  const TComPropertyObjectSet measurements(
      image, collinear::kImagePropControlMeasurements, nullptr);
  if (measurements.size() == 0) return;

  // Object points in millimetres, as the photo coordinates are.
  CArray<CXYZ, CXYZ&> object_mm, photo_mm;
  for (int i = 0; i < measurements.size(); ++i) {
    IPropertyObject* m = measurements.get_at(i);
    const TComPropertyObject point(m, collinear::kImageMeasPropPoint);
    if (!point) continue;
    CString name;
    point->get_raw_value(collinear::kPointPropName, &name, 0);
    const P3 a = GetPointAbsCoords(point.get(), nullptr, 0);
    if (!Defined(a)) continue;
    CXYZ obj(name, kMetresToMm * a.x, kMetresToMm * a.y, kMetresToMm * a.z);
    object_mm.Add(obj);
    const P2 pixel(RawDouble(m, collinear::kImageMeasPropX),
                   RawDouble(m, collinear::kImageMeasPropY));
    const P2 photo = Imc2Phc(pixel);
    CXYZ img(name, photo.x, photo.y, 0.0);
    photo_mm.Add(img);
  }
  if (object_mm.GetSize() < 4) return;

  CSinOri resection;
  resection.Init();
  // A focal length the resection refuses leaves the orientation undefined.
  if (resection.Create(object_mm, photo_mm, m_FocusR) != 1) return;
  if (resection.CalSinOri2() != 1) return;
  m_Origin = P3(kMmToMetres * resection.m_Center.m_x,
                kMmToMetres * resection.m_Center.m_y,
                kMmToMetres * resection.m_Center.m_z);
  m_ConversionMatr = MatrixOf(resection.m_Rot);
  m_VectorLength = 0.0;
  m_VectorEnd = DefTriad();
}

void CCrdCalculator::InitOrientationFrom2Pts(IPropertyObject* from,
                                             IPropertyObject* to) {
  m_Origin = DefTriad();
  if (!from || !to) return;
  SelectCrdSys(from, &m_CrdSysType, &m_CrdSysObject);
  const P3 p1 = GetPointAbsCoords(from, nullptr, 0);
  P3 p2;
  if (TComPropertyObject(to).is_GUID(collinear::kPointClass)) {
    p2 = GetPointAbsCoords(to, nullptr, 0);
  } else {
    const P3 first = GetPointAbsCoords(to, nullptr, kFirstVertex);
    const P3 last = GetPointAbsCoords(to, nullptr, kLastVertex);
    // An undefined end must not enter the sum: it would come out finite.
    p2 = Defined(first) && Defined(last) ? P3((first.x + last.x) * 0.5,
                                              (first.y + last.y) * 0.5,
                                              (first.z + last.z) * 0.5)
                                         : P3(DefTriad());
  }
  if (Defined(p1) && Defined(p2)) InitOrientation(p1, p2 - p1);
}

// ------------------------------------------------- instrument measurements

double CCrdCalculator::GetMeasHAnVA(IPropertyObject* measurement, double* va) {
  if (va) *va = collinear::kUndefined;
  double ha = 0.0;
  if (!TypedDouble(measurement, collinear::kMeasPropDirection, &ha))
    return collinear::kUndefined;
  ha = OneTurnInto2Pi(ha);
  double v = 0.0;
  if (!TypedDouble(measurement, collinear::kMeasPropVertical, &v)) return ha;
  if (v < -kPi / 2) v += kTwoPi;
  if (kPi / 2 <= v && v <= 3 * kPi / 2) {  // second face
    v = kPi - v;
    ha = OneTurnInto2Pi(ha - kPi);
  }
  if (va) *va = v;
  return ha;
}

TAbstractPoint3<double> CCrdCalculator::GetInstrumentCoords(
    IPropertyObject* measurement) const {
  const TComPropertyObject station(measurement, collinear::kMeasPropStation);
  const TComPropertyObject point(station, collinear::kStationPropPoint);
  if (!point) return DefTriad();
  const P3 a = GetPointAbsCoords(point.get(), nullptr, 0);
  if (!Defined(a)) return a;
  return P3(
      a.x, a.y, a.z + RawDouble(station.get(), collinear::kStationPropHeight));
}

TAbstractPoint3<double> CCrdCalculator::GetVectorEndCoords(
    IPropertyObject* measurement) const {
  const TComPropertyObject target(measurement, collinear::kMeasPropTarget);
  const P3 t = GetPointAbsCoords(target.get(), nullptr, 0);
  const TComPropertyObject station(measurement, collinear::kMeasPropStation);
  if (!station) return t;
  double va = 0.0;
  const double ha = GetMeasHAnVA(measurement, &va);
  if (IsUndefined(ha) || IsUndefined(va)) return t;
  const P3 inst = GetInstrumentCoords(measurement);
  if (IsUndefined(inst.x) || IsUndefined(inst.y)) return t;

  double d = 1.0;
  if (!TypedDouble(measurement, collinear::kMeasPropDistance, &d))
    d = Defined(inst) && Defined(t) ? (t - inst).Module() : 1.0;

  // The reference: the nearest earlier measurement of the station with a
  // direction that is an azimuth sight, or a backsight to a point with
  // x and y; failing both, the earliest with such a point.
  const TComPropertyObjectSet sights(
      station.get(), collinear::kStationPropMeasurements, nullptr);
  int k = sights.size();
  for (int i = 0; i < sights.size(); ++i) {
    if (sights.get_at(i) == measurement) {
      k = i;
      break;
    }
  }
  IPropertyObject* reference = nullptr;
  IPropertyObject* fallback = nullptr;
  for (int i = k - 1; i >= 0 && !reference; --i) {
    IPropertyObject* m = sights.get_at(i);
    double direction = 0.0;
    if (!m || !TypedDouble(m, collinear::kMeasPropDirection, &direction))
      continue;
    const std::int32_t kind =
        RawInt32(m, collinear::kMeasPropCode, 0) & collinear::kMeasKindMask;
    if (kind == collinear::kMeasKindAzimuth) {
      reference = m;
      continue;
    }
    const P3 r = GetPointAbsCoords(
        TComPropertyObject(m, collinear::kMeasPropTarget).get(), nullptr, 0);
    if (IsUndefined(r.x) || IsUndefined(r.y)) continue;
    if (kind == collinear::kMeasKindBacksight)
      reference = m;
    else
      fallback = m;
  }
  if (!reference) reference = fallback;
  if (!reference) return t;

  // Bearing from the y axis towards x: the circle reading against the
  // reference's, plus the reference's own bearing.
  double a = ha - GetMeasHAnVA(reference, nullptr);
  const std::int32_t ref_kind =
      RawInt32(reference, collinear::kMeasPropCode, 0) &
      collinear::kMeasKindMask;
  const P3 r = GetPointAbsCoords(
      TComPropertyObject(reference, collinear::kMeasPropTarget).get(),
      nullptr,
      0);
  const bool r_plane = !IsUndefined(r.x) && !IsUndefined(r.y);
  double azimuth = 0.0;
  if (ref_kind == collinear::kMeasKindAzimuth && !r_plane &&
      TypedDouble(reference, collinear::kMeasPropAzimuth, &azimuth)) {
    a += azimuth;
  } else {
    // An azimuth sight without its azimuth and without a target to
    // bear on gives no bearing at all.
    if (!r_plane) return t;
    const double dx = r.x - inst.x, dy = r.y - inst.y;
    if (dx != 0.0 || dy != 0.0) a += std::atan2(dx, dy);
  }
  const double horizontal = d * std::cos(va);
  return P3(inst.x + horizontal * std::sin(a),
            inst.y + horizontal * std::cos(a),
            inst.z + d * std::sin(va));
}

void CCrdCalculator::InitOrientationFromTSImage(IPropertyObject* measurement,
                                                IPropertyObject* image) {
  m_Origin = DefTriad();
  if (!measurement) return;
  SelectCrdSys(measurement, &m_CrdSysType, &m_CrdSysObject);
  const P3 inst = GetInstrumentCoords(measurement);
  const P3 end = GetVectorEndCoords(measurement);
  if (!Defined(inst) || !Defined(end)) return;
  InitOrientation(inst, end - inst);

  const TComPropertyObject camera(image, collinear::kImagePropCamera);
  if (!camera.is_GUID(collinear::kMountedCameraClass)) return;
  IPropertyObject* cam = camera.get();
  const P3 offset(RawDouble(cam, collinear::kMountPropOffsetX),
                  RawDouble(cam, collinear::kMountPropOffsetY),
                  RawDouble(cam, collinear::kMountPropOffsetZ));
  const double pan =
      RawDouble(cam, collinear::kMountPropPanDeg) * collinear::kRadPerDeg;
  const double tilt =
      RawDouble(cam, collinear::kMountPropTiltDeg) * collinear::kRadPerDeg;
  const double roll =
      RawDouble(cam, collinear::kMountPropRollDeg) * collinear::kRadPerDeg;
  const matr3_3 mount = InitRotMatr(tilt, -pan, roll);
  m_ConversionMatr = mount * m_ConversionMatr;
  // The offset is given in camera axes; turn it into object axes.
  m_Origin += matr3_3(m_ConversionMatr, 't') * offset;
}

// ------------------------------------------------------------ combinations

void CCrdCalculator::InitFrom2Pts(IPropertyObject* from, IPropertyObject* to) {
  InitOrientationFrom2Pts(from, to);
  InitDummyCamera();
}

void CCrdCalculator::InitFromImage(IPropertyObject* image) {
  InitCameraFromImage(image);
  if (!(m_FocusR > 0.0)) return;
  InitOrientationFromImage(image);
  if (DefTriad::IsPartialUndef(m_Origin)) InitOrientationFromControlPts(image);
}

void CCrdCalculator::InitFromTSImage(IPropertyObject* measurement,
                                     IPropertyObject* image) {
  InitOrientationFromImage(image);
  if (DefTriad::IsPartialUndef(m_Origin)) {
    InitOrientationFromTSImage(measurement, image);
  } else {
    m_VectorEnd = GetVectorEndCoords(measurement);
    if (Defined(m_VectorEnd))
      m_VectorLength = (m_VectorEnd - m_Origin).Module();
  }
  InitCameraFromImage(image);
}

void CCrdCalculator::InitFromAnyImage(IPropertyObject* image) {
  const TComPropertyObject measurement(image, collinear::kImagePropMeasurement);
  if (measurement)
    InitFromTSImage(measurement.get(), image);
  else
    InitFromImage(image);
}
