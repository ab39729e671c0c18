// Plane four-parameter Helmert (similarity) transformation between two named
// point lists, fitted by least squares. From source (x, y) to target (X, Y):
//   X = a x - b y + c,   Y = b x + a y + d,
// so scale = sqrt(a^2 + b^2) and rotation = atan2(b, a). Only x, y and the
// names of the points are read; z takes part in neither fit nor transform.
#ifndef COLLINEAR_ORIENTATION_HELMERT_H_
#define COLLINEAR_ORIENTATION_HELMERT_H_

#include <collinear/framework/array.h>
#include <collinear/framework/export.h>
#include <collinear/primitives/xyz.h>

class COLLINEAR_API CHelmert {
 public:
  CArray<CXYZ, CXYZ&> m_DstPoints;  // matched points, target system
  CArray<CXYZ, CXYZ&> m_SrcPoints;  // their partners, source system
  CArray<double, double> m_Para;    // a, b, c, d; empty without a solution
  // Per pair: transformed source minus target (x, y), named as the target.
  CArray<CXYZ, CXYZ&> m_Residuals;
  CXYZ m_Rms;     // RMS of the residuals in x, y; (-1, -1, 0) before a fit
  CXYZ m_MaxRes;  // per axis the residual of largest magnitude, signed

  CHelmert();
  CHelmert(const CHelmert& other);
  ~CHelmert();
  CHelmert& operator=(const CHelmert& other);

  // Empty point lists, no parameters, no residuals.
  void Init();
  // Pairs the target list dst with the source list src by name (each target
  // point takes the first source point of its name; a repeated target name
  // pairs every occurrence). Returns the pair count; the fit is kept.
  int SetPoints(CArray<CXYZ, CXYZ&>& dst, CArray<CXYZ, CXYZ&>& src);
  // Fits a, b, c, d to at least 2 pairs and computes the residuals. Returns
  // 0, changing nothing, for too few pairs, a singular fit, or parameters
  // that come out NaN or infinite (non-finite or overflowing coordinates).
  int CalPara();
  // forward != 0: source to target; 0: target back to source. Writes only
  // m_x, m_y of out. Returns 0, leaving out untouched, without 4 parameters
  // or, backwards, when a = b = 0.
  int Transform(const CXYZ& in, CXYZ& out, int forward);

 private:
  int CalResiduals();
};

#endif  // COLLINEAR_ORIENTATION_HELMERT_H_
