// Camera coordinate calculator: one camera (focal length, principal point,
// pixel size, lens distortion, picture) and one orientation (projection
// centre and rotation). Converts between pixels of the original or of a
// transformed image, photo coordinates (mm about the principal point, x
// right, y up) and camera coordinates (right-handed, looking along -z).
#ifndef COLLINEAR_CALCULATOR_CRD_CALCULATOR_H_
#define COLLINEAR_CALCULATOR_CRD_CALCULATOR_H_

#include <collinear/calculator/host/property_object.h>
#include <collinear/framework/export.h>
#include <collinear/picture/bitmap.h>
#include <collinear/primitives/host_geometry.h>

class COLLINEAR_API CCrdCalculator {
 public:
  // Object to camera axes: camera = m_ConversionMatr * (point - m_Origin).
  matr3_3 m_ConversionMatr;
  // Projection centre in object coordinates; the orientation is valid when
  // none of its coordinates is undefined.
  TAbstractPoint3<double> m_Origin;
  // End of the viewing-direction vector (origin + direction).
  TAbstractPoint3<double> m_VectorEnd;
  double m_VectorLength{0.0};  // length of the viewing-direction vector
  double m_FocusR{0.0};        // focal length, mm; the camera is valid when > 0
  TAbstractPoint2<double> m_MmPerPixel;  // pixel size x, y in mm
  // Principal point in mm from the top-left corner, x right, y down.
  TAbstractPoint2<double> m_PrincipalPoint;
  unsigned long m_DistModel{0};  // 1-4, anything else: no distortion
  double m_DistPara[8];          // parameters laid out per model
  // Picture in pixels: left, top, right, bottom.
  TAbstractRect<double> m_PictureRect;
  int m_CrdSysType{1};                // kind of m_CrdSysObject's system
  TComPropertyObject m_CrdSysObject;  // host object of the working system
  // Owned description of the transformed bitmap; null: pixels are those
  // of the original image.
  ImgAn::Bitmap* m_pTransfBitmap{nullptr};

  // The dummy camera (f 1 mm, 1 mm pixels, 30000 x 30000 picture centred
  // on the principal point, no distortion) and no orientation.
  CCrdCalculator();
  CCrdCalculator(const CCrdCalculator& other);
  // Copies everything; the bitmap description only when other has one.
  CCrdCalculator& operator=(const CCrdCalculator& other);
  ~CCrdCalculator();

  bool IsCameraValid() const;
  bool IsOrientationValid() const;
  bool IsValid() const;
  void ClearCamera();       // focal length 0, nothing else changes
  void ClearOrientation();  // origin undefined, nothing else changes
  void InitDummyCamera();

  // Origin and viewing direction (any length, zero allowed); the rotation
  // carries the direction to (0, 0, -1) and keeps camera y up (no roll).
  void InitOrientation(const TAbstractPoint3<double>& origin,
                       const TAbstractPoint3<double>& direction);
  // Object point to camera coordinates in place; false, point untouched,
  // without an orientation.
  bool GetPointCoordsInCamera(TAbstractPoint3<double>& point) const;
  // Y(b) * Z(c) * X(a) of the elementary rotations, angles in radians.
  static matr3_3 InitRotMatr(double a, double b, double c);

  TAbstractRect<double> GetPictureRect() const;
  void SetPictureRect(const TAbstractRect<double>& rect);
  TAbstractPoint2<double> GetMmPerPixel() const;
  double GetFocusR() const;
  TAbstractPoint3<double> GetOrigin() const;
  TAbstractPoint3<double> GetVectorEnd() const;
  TAbstractPoint2<double> GetPrincipalPoint() const;
  matr3_3 GetConversionMatr() const;
  // Nine doubles in storage order (column by column).
  void SetConversionMatr(const double* m);

  // Set-up from host objects (any may be null). Object coordinates come
  // through GetPointAbsCoords; each orientation initialiser first takes the
  // working system from property 50 of its first object. A failed one
  // leaves the origin undefined; none reports anything.

  // Camera fields from the image's camera (none: focal length 0), then the
  // picture size from the image's picture when it can be read.
  void InitCameraFromImage(IPropertyObject* image);
  // The stored angles (phi, omega, kappa) and projection-centre point.
  void InitOrientationFromImage(IPropertyObject* image);
  // Space resection from the image's control-point measurements (at least
  // four points with coordinates), with the current camera.
  void InitOrientationFromControlPts(IPropertyObject* image);
  // At the point `from`, looking at the point `to` or, for another kind of
  // object, at the middle of its first and last vertex.
  void InitOrientationFrom2Pts(IPropertyObject* from, IPropertyObject* to);
  // From an instrument measurement: at the instrument, looking at the
  // sighted point; turned and shifted by the camera's mounting when the
  // image's camera is a mounted one.
  void InitOrientationFromTSImage(IPropertyObject* measurement,
                                  IPropertyObject* image);
  // InitOrientationFrom2Pts, then the dummy camera.
  void InitFrom2Pts(IPropertyObject* from, IPropertyObject* to);
  // Camera; with a valid one, the stored orientation, else control points.
  void InitFromImage(IPropertyObject* image);
  // The stored orientation, else the instrument's; then the camera.
  void InitFromTSImage(IPropertyObject* measurement, IPropertyObject* image);
  // InitFromTSImage when the image names its measurement, else
  // InitFromImage.
  void InitFromAnyImage(IPropertyObject* image);

  // Image chain. "Image pixels" are those of the transformed bitmap when a
  // description is set, else of the original; none of these fails: a point
  // the bitmap layer refuses passes unchanged.
  TAbstractPoint2<double> OrigImc2TransfImc(
      const TAbstractPoint2<double>& p) const;
  TAbstractPoint2<double> TransfImc2OrigImc(
      const TAbstractPoint2<double>& p) const;
  // Image pixels to photo mm, corrected for distortion only when no
  // description is set.
  TAbstractPoint2<double> Imc2Phc(const TAbstractPoint2<double>& p) const;
  TAbstractPoint2<double> Imc2PhcProj(const TAbstractPoint2<double>& p) const;
  // Photo mm to image pixels with distortion applied.
  TAbstractPoint2<double> Phc2Imc(const TAbstractPoint2<double>& p) const;
  TAbstractPoint2<double> Phc2ImcProj(const TAbstractPoint2<double>& p) const;
  // Ideal original pixels to the transformed image in the bitmap layer's
  // y-up convention, and back. from_bottom: the original side's y counts up
  // from the bottom edge; pixel_corner false: half-pixel shift around the
  // bitmap mapping.
  TAbstractPoint2<double> Orig2Transf(const TAbstractPoint2<double>& p,
                                      bool from_bottom,
                                      bool pixel_corner) const;
  TAbstractPoint2<double> Transf2Orig(const TAbstractPoint2<double>& p,
                                      bool from_bottom,
                                      bool pixel_corner) const;
  // Replaces the description by a copy of bitmap.
  void SetTransfBitmapData(const ImgAn::Bitmap& bitmap);

  // Copies min(n, 8) parameters to para and returns the model; 0 and
  // nothing written for n < 0.
  unsigned long GetDistortionModelData(int n, double* para);
  // Sets the model and the first min(n, 8) parameters; false, nothing
  // changed, for n < 0.
  bool SetDistortionModelData(unsigned long model, int n, const double* para);

  // Projection and beams. from_bottom: the pixel y counts up from the
  // picture's bottom edge (y' = H - y, H = bottom - top of m_PictureRect).
  // Outputs are written only where said.

  // The ray through an image point in camera coordinates: (photo x,
  // photo y, -f) in mm. False, beam untouched, without a camera.
  bool CalculateBeamInCameraCoordinates(const TAbstractPoint2<double>& image,
                                        TAbstractPoint3<double>& beam,
                                        bool from_bottom) const;
  // A camera-coordinate vector turned into object axes and added to the
  // projection centre. False, output untouched, without an orientation.
  bool CalculateBeamInGeoCoordinates(const TAbstractPoint3<double>& camera,
                                     TAbstractPoint3<double>& object) const;
  // Projects an object point into image pixels, distortion applied. True
  // when it lies in front of the camera by at least f / 1000; the pixel is
  // written for points behind too. False, pixel untouched, without camera,
  // orientation or point, or for a point in the camera plane (|z| < 1e-10).
  bool GetPointOnImageCoords(const TAbstractPoint3<double>& point,
                             TAbstractPoint2<double>& pixel,
                             bool from_bottom) const;
  // As above for a host point read with GetPointAbsCoords(point, null, 0).
  bool GetPointOnImageCoords(IPropertyObject* point,
                             TAbstractPoint2<double>& pixel,
                             bool from_bottom) const;
  // Projects m_VectorEnd; false, pixel untouched, without a camera or with
  // the origin or the vector end partly undefined.
  bool GetSightOnImageCoords(TAbstractPoint2<double>& pixel,
                             bool from_bottom) const;
  // Whether a host point lies in front of the camera and inside
  // m_PictureRect, borders included.
  bool IsPointInAnglesOfVision(IPropertyObject* point) const;
  // Whether a pixel as GetPointOnImageCoords gives it with from_bottom
  // false lies inside m_PictureRect, borders included: the picture test of
  // IsPointInAnglesOfVision for a pixel already projected.
  bool IsPixelInPicture(const TAbstractPoint2<double>& pixel) const;

  // Coordinates of a host point in the working system chosen by
  // m_CrdSysType and m_CrdSysObject (plane kinds 1, 2: x east, y north;
  // kinds 4, 8, 16: latitude, longitude in degrees, height), lengths in the
  // working unit. owner: the object whose property 50 is the point's
  // coordinate-system object; point: null for the owner itself; selector:
  // 0, or -1 / 2147483647 for the first / last vertex. All three undefined
  // on failure, with the cause in collinear::GeoLastError(), which each
  // call clears first.
  TAbstractPoint3<double> GetPointAbsCoords(IPropertyObject* owner,
                                            IPropertyObject* point,
                                            int selector) const;
  // Display scale of a host point by its depth before the camera, with
  // L = m_VectorLength: 2 near the camera, 1 at L, from 0.75 down to 0.25
  // at 12 L and beyond; 1 without L, point coordinates or orientation.
  double GetPointScale(IPropertyObject* point) const;
  // Becomes a copy of calcs[0] that looks from the foot of the
  // perpendicular dropped (in plan) from the middle M of the two vector
  // ends onto the base line of the first two origins, towards M; the
  // foot's height is interpolated along the base. False, nothing changed,
  // for fewer than two (or null) calculators; false after the copy for a
  // degenerate base. The host object is not used.
  bool CalcBaseMatrix(int count, CCrdCalculator** calcs, IPropertyObject* host);
  // Orientation at from (three doubles) looking at to; the host object is
  // not used. False, nothing changed, for a null position.
  bool CalcConversionMatrix(const double* from,
                            const double* to,
                            IPropertyObject* host);

 private:
  void CalDist(double x, double y, double& dx, double& dy) const;
  bool CalcDistortPosInv(double x,
                         double y,
                         double tol,
                         bool sign,
                         double* qx,
                         double* qy,
                         double* residual) const;
  void SearchDistortPosInv(double* p,
                           int i,
                           const double* target,
                           const double* low,
                           const double* high,
                           double s,
                           double tol) const;
  void LimitParaBounds(int* n);

  TAbstractPoint2<double> PixelToPhoto(const TAbstractPoint2<double>& p) const;
  TAbstractPoint2<double> PhotoToPixel(const TAbstractPoint2<double>& p) const;
  TAbstractPoint2<double> Correct(const TAbstractPoint2<double>& p) const;
  TAbstractPoint2<double> Uncorrect(const TAbstractPoint2<double>& p) const;

  // Instrument measurements (set-up from host objects).

  // Horizontal direction (wrapped once into [0, 2 pi)) reduced to the first
  // telescope face; *va (when not null) the vertical angle from the
  // horizon, reduced too. Undefined where the measurement lacks them.
  static double GetMeasHAnVA(IPropertyObject* measurement, double* va);
  // Station point plus instrument height; undefined without a station
  // point, the point's coordinates as read when they are partly undefined.
  TAbstractPoint3<double> GetInstrumentCoords(
      IPropertyObject* measurement) const;
  // The point sighted: polar from the instrument, oriented by the nearest
  // earlier reference measurement of the station; the target's own
  // coordinates when that cannot be formed.
  TAbstractPoint3<double> GetVectorEndCoords(
      IPropertyObject* measurement) const;
};

#endif  // COLLINEAR_CALCULATOR_CRD_CALCULATOR_H_
