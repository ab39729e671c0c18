// Position of one object point from n rays, each a station A and a second
// point B with the standard deviations (azimuth, elevation) of its direction
// in radians. The constructor starts from the plan crossing of ray 0 and the
// ray whose station is farthest from A_0, then makes one weighted
// Gauss-Newton step on all directions. Lengths in the caller's unit.
#ifndef COLLINEAR_ADJUST_ADJ_IMAGE_H_
#define COLLINEAR_ADJUST_ADJ_IMAGE_H_

#include <collinear/framework/export.h>
#include <collinear/primitives/host_geometry.h>

class COLLINEAR_API TAdjImage {
 public:
  // ray_points: 2n points, A_i at 2i and B_i at 2i + 1; sigmas: n pairs.
  // Read only during the constructor, which exchanges the partner ray (both
  // points and its sigmas) into index 1. A ray is ignored when |B - A| or
  // |position - A| is below 0.1, or the position is at its zenith or nadir.
  TAdjImage(int n,
            TAbstractPoint3<double>* ray_points,
            TAbstractPoint2<double>* sigmas);
  TAdjImage(const TAdjImage& other);
  // Copies every field; both objects then refer to the same caller arrays.
  TAdjImage& operator=(const TAdjImage& other);

  // Undefined (kUndefined) when no starting position could be formed; the
  // starting position when the step failed.
  TAbstractPoint3<double> GetPosition() const;
  // Covariance of the position in length units squared, for unit weight 1.
  // Holds the normal matrix (or a partial sum) when the step failed.
  covar GetCovarMatrix() const;
  bool IsValid() const;

  bool m_bValid;
  int m_nObs;
  TAbstractPoint3<double>* m_pRayPoints;
  TAbstractPoint3<double> m_Position;
  covar m_Covar;
  TAbstractPoint2<double>* m_pSigmas;

 private:
  void CountPosition();
  bool Adjust();
};

#endif  // COLLINEAR_ADJUST_ADJ_IMAGE_H_
