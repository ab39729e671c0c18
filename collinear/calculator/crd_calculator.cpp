#include <collinear/calculator/crd_calculator.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include <collinear/calculator/calc_distortion.h>
#include <collinear/geo/geo_coord.h>
#include <collinear/geo/geo_host.h>
#include <collinear/primitives/constants.h>

namespace {

using collinear::kEpsilon;

constexpr int kMaxDistPara = 8;
// Tolerance of the inverse distortion search on the way from photo
// coordinates to pixels, mm: below rounding for any photo coordinate.
constexpr double kInvDistTol = 1e-15;

// A point closer to the camera plane than this (camera z, object units)
// cannot be projected.
constexpr double kCameraPlaneTol = 1e-10;
// Points nearer than this fraction of the focal length in front of the
// camera count as behind it.
constexpr double kNearPlaneFraction = 0.001;

// The working system of a coordinate-system object for the kind.
TComPropertyObject WorkingSystem(int kind, IPropertyObject* crs_object) {
  switch (kind) {
    case 1:
      return TComPropertyObject(crs_object, collinear::kGeoPropSystemKind1);
    case 2:
      return TComPropertyObject(crs_object, collinear::kGeoPropSystemKind2);
    case 4:
    case 16:
      return TComPropertyObject(crs_object, collinear::kGeoPropSystemGeodetic);
    case 8:
      return collinear::FindCatalogueSystem(collinear::kGeoWgs84Key);
    default:
      return TComPropertyObject();
  }
}

bool IsGeodeticKind(int kind) { return kind == 4 || kind == 8 || kind == 16; }

}  // namespace

// ------------------------------------------------ construction and copies

CCrdCalculator::CCrdCalculator()
    : m_Origin(DefTriad()),
      m_VectorEnd(DefTriad()),
      m_DistPara{0, 0, 0, 0, 0, 0, 0, 0} {
  InitDummyCamera();
}

CCrdCalculator::CCrdCalculator(const CCrdCalculator& other)
    : m_DistPara{0, 0, 0, 0, 0, 0, 0, 0} {
  *this = other;
}

CCrdCalculator& CCrdCalculator::operator=(const CCrdCalculator& other) {
  if (this == &other) return *this;
  m_ConversionMatr = other.m_ConversionMatr;
  m_Origin = other.m_Origin;
  m_VectorEnd = other.m_VectorEnd;
  m_VectorLength = other.m_VectorLength;
  m_FocusR = other.m_FocusR;
  m_MmPerPixel = other.m_MmPerPixel;
  m_PrincipalPoint = other.m_PrincipalPoint;
  m_DistModel = other.m_DistModel;
  for (int k = 0; k < kMaxDistPara; ++k) m_DistPara[k] = other.m_DistPara[k];
  m_PictureRect = other.m_PictureRect;
  m_CrdSysType = other.m_CrdSysType;
  m_CrdSysObject = other.m_CrdSysObject;
  if (other.m_pTransfBitmap) SetTransfBitmapData(*other.m_pTransfBitmap);
  return *this;
}

CCrdCalculator::~CCrdCalculator() {
  delete m_pTransfBitmap;
  // m_CrdSysObject releases its reference as a member.
}

// ------------------------------------------------------- validity, clear

bool CCrdCalculator::IsCameraValid() const { return m_FocusR > 0.0; }

bool CCrdCalculator::IsOrientationValid() const {
  return !DefTriad::IsPartialUndef(m_Origin);
}

bool CCrdCalculator::IsValid() const {
  return IsCameraValid() && IsOrientationValid();
}

void CCrdCalculator::ClearCamera() { m_FocusR = 0.0; }

void CCrdCalculator::ClearOrientation() { m_Origin = DefTriad(); }

void CCrdCalculator::InitDummyCamera() {
  m_FocusR = 1.0;
  m_MmPerPixel = TAbstractPoint2<double>(1.0, 1.0);
  m_PrincipalPoint = TAbstractPoint2<double>(15000.0, 15000.0);
  m_DistModel = 0;
  m_PictureRect = TAbstractRect<double>(0.0, 0.0, 30000.0, 30000.0);
}

// ------------------------------------------------------------ orientation

void CCrdCalculator::InitOrientation(const TAbstractPoint3<double>& origin,
                                     const TAbstractPoint3<double>& direction) {
  m_Origin = origin;
  m_VectorEnd = origin + direction;
  const double azimuth = std::atan2(direction.y, direction.x);
  const double elevation = std::atan2(
      direction.z,
      std::sqrt(direction.x * direction.x + direction.y * direction.y));
  const matr3_3 level = InitRotMatr(0.0, elevation, azimuth);
  const double half_pi = collinear::kPi / 2;
  // Turns the levelled x (viewing) axis into -z and keeps y up.
  const matr3_3 to_camera = InitRotMatr(half_pi, half_pi, 0.0);
  m_ConversionMatr = to_camera * level;
  m_VectorLength = direction.Module();
}

bool CCrdCalculator::GetPointCoordsInCamera(
    TAbstractPoint3<double>& point) const {
  if (DefTriad::IsPartialUndef(m_Origin)) return false;
  point = m_ConversionMatr * (point - m_Origin);
  return true;
}

matr3_3 CCrdCalculator::InitRotMatr(double a, double b, double c) {
  const double ca = std::cos(a), sa = std::sin(a);
  const double cb = std::cos(b), sb = std::sin(b);
  const double cc = std::cos(c), sc = std::sin(c);
  matr3_3 x, y, z;  // elementary rotations about x (a), y (b), z (c)
  x(0, 0) = 1.0;
  x(1, 1) = ca;
  x(1, 2) = sa;
  x(2, 1) = -sa;
  x(2, 2) = ca;
  y(0, 0) = cb;
  y(0, 2) = sb;
  y(1, 1) = 1.0;
  y(2, 0) = -sb;
  y(2, 2) = cb;
  z(0, 0) = cc;
  z(0, 1) = sc;
  z(1, 0) = -sc;
  z(1, 1) = cc;
  z(2, 2) = 1.0;
  return (y * z) * x;
}

// -------------------------------------------------------------- accessors

TAbstractRect<double> CCrdCalculator::GetPictureRect() const {
  return m_PictureRect;
}

void CCrdCalculator::SetPictureRect(const TAbstractRect<double>& rect) {
  m_PictureRect = rect;
}

TAbstractPoint2<double> CCrdCalculator::GetMmPerPixel() const {
  return m_MmPerPixel;
}

double CCrdCalculator::GetFocusR() const { return m_FocusR; }

TAbstractPoint3<double> CCrdCalculator::GetOrigin() const { return m_Origin; }

TAbstractPoint3<double> CCrdCalculator::GetVectorEnd() const {
  return m_VectorEnd;
}

TAbstractPoint2<double> CCrdCalculator::GetPrincipalPoint() const {
  return m_PrincipalPoint;
}

matr3_3 CCrdCalculator::GetConversionMatr() const { return m_ConversionMatr; }

void CCrdCalculator::SetConversionMatr(const double* m) {
  for (int k = 0; k < 9; ++k) m_ConversionMatr.data()[k] = m[k];
}

// ------------------------------------------------------------ distortion

void CCrdCalculator::CalDist(double x, double y, double& dx, double& dy) const {
  collinear::CalcDistortion(m_DistModel, m_DistPara).Distort(x, y, dx, dy);
}

// The bracketing search; where it runs out of walking steps, a Newton
// finish from its best estimate (kept only when it meets the tolerance or
// the rounding floor).
bool CCrdCalculator::CalcDistortPosInv(double x,
                                       double y,
                                       double tol,
                                       bool sign,
                                       double* qx,
                                       double* qy,
                                       double* residual) const {
  return collinear::CalcDistortion(m_DistModel, m_DistPara)
      .Invert(x, y, tol, sign, qx, qy, residual);
}

void CCrdCalculator::SearchDistortPosInv(double* p,
                                         int i,
                                         const double* target,
                                         const double* low,
                                         const double* high,
                                         double s,
                                         double tol) const {
  collinear::CalcDistortion(m_DistModel, m_DistPara)
      .Bisect(p, i, target, low, high, s, tol);
}

void CCrdCalculator::LimitParaBounds(int* n) {
  if (*n > kMaxDistPara) *n = kMaxDistPara;
}

unsigned long CCrdCalculator::GetDistortionModelData(int n, double* para) {
  if (n < 0) return 0;
  LimitParaBounds(&n);
  for (int k = 0; k < n; ++k) para[k] = m_DistPara[k];
  return m_DistModel;
}

bool CCrdCalculator::SetDistortionModelData(unsigned long model,
                                            int n,
                                            const double* para) {
  if (n < 0) return false;
  LimitParaBounds(&n);
  m_DistModel = model;
  for (int k = 0; k < n; ++k) m_DistPara[k] = para[k];
  return true;
}

// ----------------------------------------------------------- image chain

TAbstractPoint2<double> CCrdCalculator::PixelToPhoto(
    const TAbstractPoint2<double>& p) const {
  return TAbstractPoint2<double>(p.x * m_MmPerPixel.x - m_PrincipalPoint.x,
                                 m_PrincipalPoint.y - p.y * m_MmPerPixel.y);
}

TAbstractPoint2<double> CCrdCalculator::PhotoToPixel(
    const TAbstractPoint2<double>& p) const {
  return TAbstractPoint2<double>((p.x + m_PrincipalPoint.x) / m_MmPerPixel.x,
                                 (m_PrincipalPoint.y - p.y) / m_MmPerPixel.y);
}

// Measured photo point to the ideal one.
TAbstractPoint2<double> CCrdCalculator::Correct(
    const TAbstractPoint2<double>& p) const {
  double dx, dy;
  CalDist(p.x, p.y, dx, dy);
  return TAbstractPoint2<double>(p.x - dx, p.y - dy);
}

// Ideal photo point to the measured one; the point itself when the search
// fails.
TAbstractPoint2<double> CCrdCalculator::Uncorrect(
    const TAbstractPoint2<double>& p) const {
  TAbstractPoint2<double> q;
  double residual;
  CalcDistortPosInv(p.x, p.y, kInvDistTol, false, &q.x, &q.y, &residual);
  return q;
}

TAbstractPoint2<double> CCrdCalculator::OrigImc2TransfImc(
    const TAbstractPoint2<double>& p) const {
  if (!m_pTransfBitmap) return p;
  const ImgAn::Bitmap& bmp = *m_pTransfBitmap;
  ImgAn::Point2D<double> t;
  if (!bmp.OrigPointToTransformed(
          ImgAn::Point2D<double>(p.x, bmp.GetOrigHeight() - p.y), &t))
    return p;
  const ImgAn::Point2D<double> offset = bmp.GetOutputOffset();
  return TAbstractPoint2<double>(t.x - offset.x,
                                 bmp.GetHeight() - (t.y - offset.y));
}

TAbstractPoint2<double> CCrdCalculator::TransfImc2OrigImc(
    const TAbstractPoint2<double>& p) const {
  if (!m_pTransfBitmap) return p;
  ImgAn::Point2D<double> o;
  if (!m_pTransfBitmap->TransformedPointToOrig(ImgAn::Point2D<double>(p.x, p.y),
                                               &o))
    return p;
  return TAbstractPoint2<double>(o.x, o.y);
}

TAbstractPoint2<double> CCrdCalculator::Imc2Phc(
    const TAbstractPoint2<double>& p) const {
  if (m_pTransfBitmap) return PixelToPhoto(TransfImc2OrigImc(p));
  return Correct(PixelToPhoto(p));
}

TAbstractPoint2<double> CCrdCalculator::Imc2PhcProj(
    const TAbstractPoint2<double>& p) const {
  return PixelToPhoto(m_pTransfBitmap ? TransfImc2OrigImc(p) : p);
}

TAbstractPoint2<double> CCrdCalculator::Phc2Imc(
    const TAbstractPoint2<double>& p) const {
  const TAbstractPoint2<double> i = PhotoToPixel(Uncorrect(p));
  return m_pTransfBitmap ? OrigImc2TransfImc(i) : i;
}

TAbstractPoint2<double> CCrdCalculator::Phc2ImcProj(
    const TAbstractPoint2<double>& p) const {
  if (!m_pTransfBitmap) return Phc2Imc(p);
  return OrigImc2TransfImc(PhotoToPixel(Uncorrect(Uncorrect(p))));
}

TAbstractPoint2<double> CCrdCalculator::Orig2Transf(
    const TAbstractPoint2<double>& p,
    bool from_bottom,
    bool pixel_corner) const {
  if (!m_pTransfBitmap) {
    const double h = m_PictureRect.bottom - m_PictureRect.top;
    return from_bottom ? p : TAbstractPoint2<double>(p.x, h - p.y);
  }
  const ImgAn::Bitmap& bmp = *m_pTransfBitmap;
  TAbstractPoint2<double> q = p;
  if (from_bottom) q.y = bmp.GetOrigHeight() - q.y;
  TAbstractPoint2<double> i = PhotoToPixel(Uncorrect(PixelToPhoto(q)));
  if (!pixel_corner) i -= TAbstractPoint2<double>(0.5, 0.5);
  TAbstractPoint2<double> t = OrigImc2TransfImc(i);
  t.y = bmp.GetHeight() - t.y;
  if (!pixel_corner) t += TAbstractPoint2<double>(0.5, 0.5);
  return t;
}

TAbstractPoint2<double> CCrdCalculator::Transf2Orig(
    const TAbstractPoint2<double>& p,
    bool from_bottom,
    bool pixel_corner) const {
  if (!m_pTransfBitmap) {
    const double h = m_PictureRect.bottom - m_PictureRect.top;
    return from_bottom ? TAbstractPoint2<double>(p.x, h - p.y) : p;
  }
  const ImgAn::Bitmap& bmp = *m_pTransfBitmap;
  TAbstractPoint2<double> q = p;
  if (!pixel_corner) q -= TAbstractPoint2<double>(0.5, 0.5);
  const TAbstractPoint2<double> o = TransfImc2OrigImc(q);
  TAbstractPoint2<double> i(o.x, bmp.GetOrigHeight() - o.y);
  if (!pixel_corner) i += TAbstractPoint2<double>(0.5, 0.5);
  TAbstractPoint2<double> r = PhotoToPixel(Correct(PixelToPhoto(i)));
  if (from_bottom) r.y = bmp.GetOrigHeight() - r.y;
  return r;
}

void CCrdCalculator::SetTransfBitmapData(const ImgAn::Bitmap& bitmap) {
  if (&bitmap == m_pTransfBitmap) return;
  auto* copy = new ImgAn::Bitmap();
  *copy = bitmap;
  delete m_pTransfBitmap;
  m_pTransfBitmap = copy;
}

// ---------------------------------------------- projection, beams, sight

bool CCrdCalculator::CalculateBeamInCameraCoordinates(
    const TAbstractPoint2<double>& image,
    TAbstractPoint3<double>& beam,
    bool from_bottom) const {
  if (!IsCameraValid()) return false;
  TAbstractPoint2<double> q = image;
  if (from_bottom) q.y = (m_PictureRect.bottom - m_PictureRect.top) - q.y;
  const TAbstractPoint2<double> photo = Imc2Phc(q);
  beam = TAbstractPoint3<double>(photo.x, photo.y, -m_FocusR);
  return true;
}

bool CCrdCalculator::CalculateBeamInGeoCoordinates(
    const TAbstractPoint3<double>& camera,
    TAbstractPoint3<double>& object) const {
  if (!IsOrientationValid()) return false;
  object = matr3_3(m_ConversionMatr, 't') * camera + m_Origin;
  return true;
}

bool CCrdCalculator::GetPointOnImageCoords(const TAbstractPoint3<double>& point,
                                           TAbstractPoint2<double>& pixel,
                                           bool from_bottom) const {
  if (!IsCameraValid() || DefTriad::IsPartialUndef(m_Origin) ||
      DefTriad::IsPartialUndef(point))
    return false;
  TAbstractPoint3<double> c = point;
  if (!GetPointCoordsInCamera(c)) return false;
  if (std::fabs(c.z) < kCameraPlaneTol) return false;
  const double f = m_FocusR;
  const bool visible = !(c.z > -kNearPlaneFraction * f);  // NaN: visible
  const double k = 1.0 / c.z;
  const TAbstractPoint2<double> photo(-(c.x * k * f), -(c.y * k * f));
  pixel = Phc2Imc(photo);
  if (from_bottom)
    pixel.y = (m_PictureRect.bottom - m_PictureRect.top) - pixel.y;
  return visible;
}

bool CCrdCalculator::GetPointOnImageCoords(IPropertyObject* point,
                                           TAbstractPoint2<double>& pixel,
                                           bool from_bottom) const {
  return GetPointOnImageCoords(
      GetPointAbsCoords(point, nullptr, 0), pixel, from_bottom);
}

bool CCrdCalculator::GetSightOnImageCoords(TAbstractPoint2<double>& pixel,
                                           bool from_bottom) const {
  if (!IsCameraValid() || DefTriad::IsPartialUndef(m_Origin) ||
      DefTriad::IsPartialUndef(m_VectorEnd))
    return false;
  return GetPointOnImageCoords(m_VectorEnd, pixel, from_bottom);
}

bool CCrdCalculator::IsPointInAnglesOfVision(IPropertyObject* point) const {
  const TAbstractPoint3<double> p = GetPointAbsCoords(point, nullptr, 0);
  TAbstractPoint2<double> i;
  return GetPointOnImageCoords(p, i, false) && IsPixelInPicture(i);
}

bool CCrdCalculator::IsPixelInPicture(
    const TAbstractPoint2<double>& pixel) const {
  const TAbstractRect<double>& r = m_PictureRect;
  const double up = (r.bottom - r.top) - pixel.y;  // as from_bottom turns it
  return r.left <= pixel.x && pixel.x <= r.right && r.top <= up &&
         up <= r.bottom;
}

// ------------------------------- geodetic conversion, scale, base matrices

TAbstractPoint3<double> CCrdCalculator::GetPointAbsCoords(
    IPropertyObject* owner, IPropertyObject* point, int selector) const {
  using collinear::ComPtr;
  collinear::GeoClearError();
  if (!owner) {
    collinear::GeoSetError(collinear::kGeoNullObject, "no host object");
    return DefTriad();
  }
  const int kind = m_CrdSysType;
  const TComPropertyObject target = WorkingSystem(kind, m_CrdSysObject);
  const TComPropertyObject unit_object(m_CrdSysObject, collinear::kGeoPropUnit);
  const TComPropertyObject geoid_source(m_CrdSysObject,
                                        collinear::kGeoPropGeoid);

  // The point, in plane form for plane kinds unless the target is a
  // reference to a derived system. The selector is a 32-bit value.
  const ComPtr<IGeoCoordPoint> source =
      ComPtr<IGeoCoordPoint>::Query(point ? point : owner, IID_IGeoCoordPoint);
  unsigned long vertex = static_cast<std::uint32_t>(selector);
  if (selector == 0 && !IsGeodeticKind(kind) &&
      !(target.is_GUID(collinear::kGeoReferenceClass) &&
        target.is_GUID(collinear::kGeoDerivedClass)))
    vertex = collinear::kGeoPreferPlane;
  GeoCoordPoint g(source.get(), vertex);
  const bool geodetic_mode = IsGeodeticKind(kind) || kind == 64;
  const unsigned long mode =
      (geodetic_mode ? collinear::kGeoFormGeodetic : collinear::kGeoFormPlane) |
      (kind != 4 ? collinear::kGeoGeoidHeights : 0ul);
  const ComPtr<IMetricUnit> unit =
      ComPtr<IMetricUnit>::Query(unit_object.get(), IID_IMetricUnit);
  collinear::ConvertToHostSystem(
      g,
      target,
      mode,
      unit.get(),
      TComPropertyObject(owner, collinear::kGeoPropCrsObject),
      geoid_source);

  if (IsGeodeticKind(kind))
    g = g.Convert(
        g.m_System.get(), 0, nullptr, nullptr, collinear::kGeoBestOperation);
  else
    std::swap(g.m_Coord[0], g.m_Coord[1]);  // northing, easting to x, y
  if (g.HasAll()) return g.GetCoord(0, nullptr);
  collinear::GeoSetError(collinear::kGeoNoCoordinates,
                         "the point lacks coordinates in the working system");
  return DefTriad();
}

double CCrdCalculator::GetPointScale(IPropertyObject* point) const {
  const double length = m_VectorLength;
  if (length == 0.0) return 1.0;
  TAbstractPoint3<double> c = GetPointAbsCoords(point, nullptr, 0);
  if (DefTriad::IsPartialUndef(c) || !GetPointCoordsInCamera(c)) return 1.0;
  const double depth = -c.z;
  if (depth <= 1.0) return 2.0;
  if (depth <= length) return 2.0 - depth / length;
  if (depth > 12.0 * length) return 0.25;
  return std::max(0.25, 0.75 * (12.0 * length - depth) / (11.0 * length));
}

bool CCrdCalculator::CalcBaseMatrix(int count,
                                    CCrdCalculator** calcs,
                                    IPropertyObject*) {
  if (count < 2 || !calcs || !calcs[0] || !calcs[1]) return false;
  const CCrdCalculator& second = *calcs[1];  // before this may be changed
  const TAbstractPoint3<double> o1 = second.m_Origin, e1 = second.m_VectorEnd;
  *this = *calcs[0];
  const TAbstractPoint3<double> o0 = m_Origin, e0 = m_VectorEnd;
  const TAbstractPoint3<double> mid = (e0 + e1) * 0.5;
  m_VectorEnd = mid;

  // Base line in plan: k x + a y + c = 0. Differences, slopes and the
  // determinant within machine epsilon count as zero.
  double k, a, c;
  if (std::fabs(o1.x - o0.x) <= kEpsilon) {
    a = 0.0;
    if (std::fabs(o0.x) <= kEpsilon) {
      k = 1.0;
      c = 0.0;
    } else {
      k = -1.0 / o0.x;
      c = 1.0;
    }
  } else {
    a = 1.0;
    k = -(o1.y - o0.y) / (o1.x - o0.x);
    c = -(o0.x * k + o0.y);
  }
  TAbstractPoint3<double> foot;
  if (a != 0.0 && std::fabs(k) <= kEpsilon) {
    // Parallel to x: the perpendicular is vertical in plan.
    foot.x = mid.x;
    foot.y = -(k * mid.x + c);
  } else {
    const double m = -a / k;  // perpendicular through mid: y + m x + q = 0
    const double q = -mid.y - m * mid.x;
    const double det = k - m * a;
    if (std::fabs(det) <= kEpsilon) return false;
    foot.x = (a * q - c) / det;
    foot.y = (m * c - q * k) / det;
  }
  // Height along the base; cameras above one another in plan keep O0's.
  const double base =
      std::sqrt((o1.x - o0.x) * (o1.x - o0.x) + (o1.y - o0.y) * (o1.y - o0.y));
  foot.z = o0.z;
  if (std::fabs(o1.z - o0.z) > kEpsilon && base > 0.0) {
    const double along = std::sqrt((foot.x - o0.x) * (foot.x - o0.x) +
                                   (foot.y - o0.y) * (foot.y - o0.y));
    foot.z = o0.z + (o1.z - o0.z) * along / base;
  }
  InitOrientation(foot, mid - foot);
  return true;
}

bool CCrdCalculator::CalcConversionMatrix(const double* from,
                                          const double* to,
                                          IPropertyObject*) {
  if (!from || !to) return false;
  const TAbstractPoint3<double> f(from[0], from[1], from[2]);
  const TAbstractPoint3<double> t(to[0], to[1], to[2]);
  m_VectorEnd = t;
  InitOrientation(f, t - f);
  return true;
}
