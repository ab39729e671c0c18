#include <collinear/calculator/crd_calculator.h>

#include <cmath>

#include <collinear/calculator/calc_distortion.h>
#include <collinear/primitives/constants.h>

namespace {

constexpr int kMaxDistPara = 8;
// Tolerance of the inverse distortion search on the way from photo
// coordinates to pixels, mm: below rounding for any photo coordinate.
constexpr double kInvDistTol = 1e-15;

}  // namespace

// ------------------------------------------------ construction and copies

CCrdCalculator::CCrdCalculator()
    : m_Origin(DefTriad()),
      m_VectorEnd(DefTriad()),
      m_VectorLength(0.0),
      m_FocusR(0.0),
      m_DistModel(0),
      m_DistPara{0, 0, 0, 0, 0, 0, 0, 0},
      m_CrdSysType(1),
      m_pTransfBitmap(nullptr) {
  InitDummyCamera();
}

CCrdCalculator::CCrdCalculator(const CCrdCalculator& other)
    : m_VectorLength(0.0),
      m_FocusR(0.0),
      m_DistModel(0),
      m_DistPara{0, 0, 0, 0, 0, 0, 0, 0},
      m_CrdSysType(1),
      m_pTransfBitmap(nullptr) {
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
  ImgAn::Bitmap* copy = new ImgAn::Bitmap();
  *copy = bitmap;
  delete m_pTransfBitmap;
  m_pTransfBitmap = copy;
}
