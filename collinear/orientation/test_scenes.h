// Synthetic control fields for the orientation and quality tests: known
// cameras, their exact image points, fixed-seed noise, and the CDlt solvers
// by number. Test code only (not installed).
#ifndef COLLINEAR_ORIENTATION_TEST_SCENES_H_
#define COLLINEAR_ORIENTATION_TEST_SCENES_H_

#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <random>
#include <string>

#include <collinear/framework/array.h>
#include <collinear/orientation/dlt.h>
#include <collinear/primitives/rot.h>
#include <collinear/primitives/xyz.h>

namespace collinear::testdata {

using Points = CArray<CXYZ, CXYZ&>;

// x = x0 - cx (r1.d) / (r3.d), y = y0 - cy (r2.d) / (r3.d), d = P - centre,
// r = R(sys, angles) d: the camera model of CSinOri (x0 = y0 = 0, cx = cy =
// f) and of CDlt (ROT_KPW). Written here independently of both solvers.
struct TrueCamera {
  CXYZ centre;
  CWPK wpk;
  double cx = 1.0, cy = 1.0;
  double x0 = 0.0, y0 = 0.0;
  ROT_SYSTEM sys = ROT_KPW;

  CRot Rot() const {
    CRot rot;
    rot.SetMatrix(sys, wpk);
    return rot;
  }
  // The image point of p, under p's name, z = 0.
  CXYZ Project(const CXYZ& p) const {
    CXYZ r;
    Rot().Rotate(p - centre, r);
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
    // One draw a statement: the order of function arguments is open.
    const double x = lo.m_x + (hi.m_x - lo.m_x) * u(gen);
    const double y = lo.m_y + (hi.m_y - lo.m_y) * u(gen);
    const double z = lo.m_z + (hi.m_z - lo.m_z) * u(gen);
    CXYZ p(PointName(i).c_str(), x, y, z);
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

// The solutions of CDlt by number: 0 CalDlt, 1 CalDlt3D, 2 CalDlt2D,
// 3 CalDltIte3D, 4-6 the self-calibrations k1k2k3k4, k1k2p1p2, k1k2k3p1p2.
inline int (CDlt::*const kDltSolvers[7])() = {
    &CDlt::CalDlt,
    &CDlt::CalDlt3D,
    &CDlt::CalDlt2D,
    &CDlt::CalDltIte3D,
    &CDlt::CalDltSelfCalib_k1k2k3k4,
    &CDlt::CalDltSelfCalib_k1k2p1p2,
    &CDlt::CalDltSelfCalib_k1k2k3p1p2};

// The doubles as C99 hexadecimal floats (%a), blank-separated: results
// pinned bit for bit as golden strings, printed once from a trusted tree.
inline std::string Hex(std::initializer_list<double> values) {
  std::string out;
  char buf[32];
  for (const double v : values) {
    std::snprintf(buf, sizeof(buf), out.empty() ? "%a" : " %a", v);
    out += buf;
  }
  return out;
}

// FNV-1a hash of s: many golden values (their Hex strings) pinned as one.
inline unsigned long long Digest(const std::string& s) {
  unsigned long long h = 14695981039346656037ULL;
  for (const char ch : s)
    h = (h ^ static_cast<unsigned char>(ch)) * 1099511628211ULL;
  return h;
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

#endif  // COLLINEAR_ORIENTATION_TEST_SCENES_H_
