// Space resection of one image: the projection centre and the rotation of a
// camera of known focal length from named control points. An object point X
// projects to x = -f r.x / r.z, y = -f r.y / r.z with r = m_Rot (X -
// m_Center); image coordinates are photo coordinates (origin at the principal
// point, unit of m_Focus). Results are valid only after a driver returned 1.
// NaN or infinite coordinates fail both drivers (their DLT start fails).
#ifndef COLLINEAR_ORIENTATION_SINORI_H_
#define COLLINEAR_ORIENTATION_SINORI_H_

#include <collinear/framework/array.h>
#include <collinear/framework/export.h>
#include <collinear/primitives/rot.h>
#include <collinear/primitives/wpk.h>
#include <collinear/primitives/xyz.h>

class COLLINEAR_API CSinOri {
 public:
  double m_Focus;                   // focal length, unit of image coords
  CArray<CXYZ, CXYZ&> m_ObjPoints;  // matched control points, object
  CArray<CXYZ, CXYZ&> m_ImgPoints;  // matched control points, image x, y
  CXYZ m_Center;                    // projection centre (result)
  CWPK m_Wpk;                       // angles under m_RotSystem (result)
  CRot m_Rot;                       // object axes to camera axes (result)
  CArray<CXYZ, CXYZ&> m_Residuals;  // projected - measured, image names
  CXYZ m_Rms;                       // RMS in x, y; (-1, -1, 0) not computed
  int m_MaxIter;                    // iteration limit, 20
  double m_RelTol;                  // relative change of sigma0, 1e-6
  double m_SigmaTol;                // sigma0 itself, 1e-12
  ROT_SYSTEM m_RotSystem;           // ROT_WPK or ROT_KPW (default)

  CSinOri();
  CSinOri(const CSinOri& o);
  CSinOri& operator=(const CSinOri& o);
  virtual ~CSinOri();

  // Every field to its default, settings included.
  void Init();
  // Resets only the results (centre, angles, matrix, residuals, RMS).
  void InitParam();
  // Pairs object and image points by name and takes the focal length.
  // Returns 0 for fewer than 3 pairs or a focal length that is not > 0
  // (m_Focus unchanged; the matched arrays stay filled either way).
  int Create(CArray<CXYZ, CXYZ&>& obj, CArray<CXYZ, CXYZ&>& img, double focus);
  // Resection from the plane projective start; needs 4 pairs. 1 or 0; on 0
  // m_Rms is (-1, -1, 0) and the pose holds the last attempt's values.
  int CalSinOri();
  // Resection that tries 40 pre-rotations of the object points and keeps the
  // best-fitting one; the result is in the caller's object frame. On 0 the
  // object points may be left pre-rotated: discard the object.
  int CalSinOri2();
  // phc = obj with x, y the projection under the current pose and z = 0.
  // Always 1.
  int ObjToPhc(const CXYZ& obj, CXYZ& phc);

 private:
  int SetPoints(CArray<CXYZ, CXYZ&>& obj, CArray<CXYZ, CXYZ&>& img);
  int CalInitExt();
  int SinIte();
  // Partial derivatives of the matrix of sys at a with respect to omega,
  // phi and kappa, row by row into three arrays of 9. 0 (nothing written)
  // for a convention other than ROT_WPK and ROT_KPW.
  int CalCorp(ROT_SYSTEM sys,
              CWPK& a,
              double* const dw,
              double* const dp,
              double* const dk);
  int CalResiduals();
  int CheckPairs(int min_pairs) const;
};

#endif  // COLLINEAR_ORIENTATION_SINORI_H_
