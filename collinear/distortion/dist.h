// Lens distortion model of one camera: which model, its parameters and an
// optional sampled radial curve. CalDist returns a correction: the ideal
// point is the measured point plus (dx, dy). Coordinates are relative to the
// principal point, in the caller's unit (millimetres in the host's use).
#ifndef COLLINEAR_DISTORTION_DIST_H_
#define COLLINEAR_DISTORTION_DIST_H_

#include <collinear/framework/array.h>
#include <collinear/framework/export.h>

// Distortion models; the parameters of m_Para in the order listed. The
// fixed int type makes any number a caller stores a valid value (unknown
// numbers mean no distortion).
enum DIST_MODEL : int {
  DIST_NONE = 0,        // no parameters
  DIST_K1K2K3K4 = 1,    // radial k1..k4
  DIST_K1K2P1P2 = 2,    // radial k1, k2; decentring p1, p2
  DIST_K1K2K3P1P2 = 3,  // radial k1..k3; decentring p1, p2
  DIST_K1K2_EXT6 = 4,  // radial k1, k2; e1..e6 (dx: x, y, xy, y^2; dy: xy, x^2)
};

class COLLINEAR_API CDist {
 public:
  double m_Para[10];
  CArray<double, double> m_DistRadius;  // sampled curve: radii
  CArray<double, double> m_DistValue;   // sampled curve: value at each radius
  DIST_MODEL m_Model;
  int m_NumPara;

  CDist();
  CDist(const CDist& other);
  ~CDist();
  CDist& operator=(const CDist& other);

  // No model, no parameters (all ten zero), no samples.
  void Init();

  // Sets the model and its parameter count (0, 4, 4, 5, 8); an unknown model
  // sets both to 0. The parameters are kept.
  void SetDistModel(DIST_MODEL model);
  // Writing through the reference changes the model but not m_NumPara.
  DIST_MODEL& GetDistModel();
  int GetNumPara();

  // Correction (dx, dy) for the measured point (x, y); zero for model 0 and
  // unknown models.
  void CalDist(double x, double y, double& dx, double& dy) const;
  // Finds the measured point Q that CalDist carries onto the ideal (x, y);
  // stores Q - (x, y) in dx, dy. Returns 1 when |Q + CalDist(Q) - (x, y)| is
  // at most |tol|, else 0; dx, dy hold the best Q found either way.
  int CalDistInv(double x, double y, double& dx, double& dy, double tol) const;

  // Stores parameter i (0..9) and counts one more parameter when i is not
  // below m_NumPara. Returns 0 for any other index, changing nothing.
  int AddPara(int i, double value);
  // Appends one sample of the curve; returns the number of samples.
  int AddDist(double radius, double value);
  // Samples model 1 at the radii 0, step, ..., (count - 1) * step as the
  // radial correction r * (k1 r^2 + k2 r^4 + k3 r^6 + k4 r^8). Returns 0,
  // changing nothing, unless the model is 1 and count is not negative.
  int ParaToDist(double step, int count);
  // Fits k1..k4 of model 1 by least squares to the samples, each value taken
  // as k1 r^2 + k2 r^4 + k3 r^6 + k4 r^8 (relative, unlike ParaToDist), and
  // sets model 1 without touching m_NumPara. Returns 0, changing nothing,
  // for unequal sample lists, fewer than 4 samples, a singular fit or one
  // that comes out NaN or infinite (non-finite samples).
  int DistToPara();
};

#endif  // COLLINEAR_DISTORTION_DIST_H_
