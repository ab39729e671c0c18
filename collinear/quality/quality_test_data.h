// Synthetic control fields for the quality tests: known cameras, their exact
// image points, and fixed-seed noise. Test code only (not installed).
#ifndef COLLINEAR_QUALITY_QUALITY_TEST_DATA_H_
#define COLLINEAR_QUALITY_QUALITY_TEST_DATA_H_

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <collinear/framework/array.h>
#include <collinear/primitives/rot.h>
#include <collinear/primitives/xyz.h>

namespace collinear::testdata {

using Points = CArray<CXYZ, CXYZ&>;

// x = x0 - cx (r1.d) / (r3.d), y = y0 - cy (r2.d) / (r3.d), d = P - centre,
// r = R(sys, angles) d: the camera model of CSinOri (x0 = y0 = 0, cx = cy =
// f) and of CDlt (ROT_KPW).
struct TrueCamera {
  CXYZ centre;
  CWPK wpk;
  ROT_SYSTEM sys = ROT_KPW;
  double x0 = 0.0, y0 = 0.0, cx = 1.0, cy = 1.0;

  CXYZ Project(const CXYZ& p) const {
    CRot rot;
    rot.SetMatrix(sys, wpk);
    CXYZ r;
    rot.Rotate(p - centre, r);
    CXYZ img = p;
    img.SetXYZ(x0 - cx * r.m_x / r.m_z, y0 - cy * r.m_y / r.m_z, 0.0);
    return img;
  }
  Points ProjectAll(const Points& obj) const {
    Points img;
    for (INT_PTR i = 0; i < obj.GetSize(); ++i) {
      CXYZ p = Project(obj[i]);
      img.Add(p);
    }
    return img;
  }
};

inline std::string PointName(int i) { return "P" + std::to_string(i + 1); }

// n points at random in the box [lo, hi], named P1..Pn.
inline Points RandomBox(int n, const CXYZ& lo, const CXYZ& hi, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Points pts;
  for (int i = 0; i < n; ++i) {
    CXYZ p(PointName(i).c_str(),
           lo.m_x + (hi.m_x - lo.m_x) * u(gen),
           lo.m_y + (hi.m_y - lo.m_y) * u(gen),
           lo.m_z + (hi.m_z - lo.m_z) * u(gen));
    pts.Add(p);
  }
  return pts;
}

// Copy of pts with independent normal noise of sigma on x and y.
inline Points AddNoise(const Points& pts, double sigma, std::mt19937& gen) {
  std::normal_distribution<double> noise(0.0, sigma);
  Points out;
  out.Copy(pts);
  for (INT_PTR i = 0; i < out.GetSize(); ++i) {
    out[i].m_x += noise(gen);
    out[i].m_y += noise(gen);
  }
  return out;
}

// Running mean and standard deviation of a sample.
struct Spread {
  double sum = 0.0, sum2 = 0.0;
  int n = 0;
  void Add(double v) {
    sum += v;
    sum2 += v * v;
    ++n;
  }
  double Mean() const { return sum / n; }
  double Std() const {
    const double m = Mean();
    return std::sqrt((sum2 - n * m * m) / (n - 1));
  }
};

}  // namespace collinear::testdata

#endif  // COLLINEAR_QUALITY_QUALITY_TEST_DATA_H_
