#include <collinear/adjust/adj_image.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include <collinear/primitives/constants.h>
#include <collinear/primitives/geomath_consts.h>

namespace {

using Point3 = TAbstractPoint3<double>;

// Rays and positions closer than this to their station carry no usable
// direction (caller's length unit).
const double kMinRayLength = 0.1;
// Plan determinant of the two starting rays below which they count as
// parallel (length unit squared).
const double kMinPlanDet = 1e-8;
// Cosine of the elevation at the position below which a ray is ignored:
// at the zenith or nadir of its station the azimuth is undefined and its
// gradient grows as 1 / cos(elevation). 1e-9 leaves a condition number
// (1e18) that no normal matrix survives anyway.
const double kMinCosElevation = 1e-9;

bool IsFinite(const Point3& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

double Elevation(const Point3& d, double len) {
  return std::asin(std::clamp(d.z / len, -1.0, 1.0));
}

// Rows: the unit vector of d, then len times the gradients of its azimuth
// and of its elevation. len is the length of d, or |d| when passed as 0.
// d must not be vertical.
matr3_3 DirectionRows(const Point3& d, double len) {
  if (len == 0.0) len = d.Module();
  const double h = std::sqrt(d.x * d.x + d.y * d.y);
  const double cos_az = d.x / h, sin_az = d.y / h;
  const double cos_el = h / len, sin_el = d.z / len;
  matr3_3 m;
  m(0, 0) = cos_el * cos_az;
  m(0, 1) = cos_el * sin_az;
  m(0, 2) = sin_el;
  m(1, 0) = -sin_az / cos_el;
  m(1, 1) = cos_az / cos_el;
  m(1, 2) = 0.0;
  m(2, 0) = -sin_el * cos_az;
  m(2, 1) = -sin_el * sin_az;
  m(2, 2) = cos_el;
  return m;
}

// Point of ray 0 over the plan crossing of rays 0 and 1, at the mean of the
// two rays' heights there. False when the rays are parallel in plan.
bool StartingPosition(const Point3* pts, Point3& pos) {
  const Point3& a0 = pts[0];
  const Point3& a1 = pts[2];
  const Point3 u = pts[1] - a0, v = pts[3] - a1, w = a1 - a0;
  const double det = v.y * u.x - v.x * u.y;
  if (!(std::fabs(det) >= kMinPlanDet)) return false;
  const double t = (w.x * v.y - w.y * v.x) / det;
  pos = a0 + u * t;
  const int k = std::fabs(v.y) > std::fabs(v.x) ? 1 : 0;
  const double s = (pos[k] - a1[k]) / v[k];
  pos.z = ((a0.z + t * u.z) + (a1.z + s * v.z)) * 0.5;
  return true;
}

}  // namespace

TAdjImage::TAdjImage(int n,
                     TAbstractPoint3<double>* ray_points,
                     TAbstractPoint2<double>* sigmas)
    : m_bValid(n >= 2),
      m_nObs(n),
      m_pRayPoints(ray_points),
      m_Position(DefTriad()),
      m_pSigmas(sigmas) {
  for (int k = 0; k < 6; ++k) m_Covar[k] = 0.0;
  CountPosition();
}

TAdjImage::TAdjImage(const TAdjImage& other) = default;

TAdjImage& TAdjImage::operator=(const TAdjImage& other) {
  if (this != &other) {
    m_bValid = other.m_bValid;
    m_nObs = other.m_nObs;
    m_pRayPoints = other.m_pRayPoints;
    m_Position = other.m_Position;
    m_Covar = other.m_Covar;
    m_pSigmas = other.m_pSigmas;
  }
  return *this;
}

TAbstractPoint3<double> TAdjImage::GetPosition() const { return m_Position; }

covar TAdjImage::GetCovarMatrix() const { return m_Covar; }

bool TAdjImage::IsValid() const { return m_bValid; }

void TAdjImage::CountPosition() {
  if (!m_bValid) return;
  if (m_pRayPoints == nullptr || m_pSigmas == nullptr) {
    m_bValid = false;
    return;
  }
  Point3* pts = m_pRayPoints;
  if (m_nObs > 2) {
    int partner = 0;
    double farthest = 0.0;
    for (int j = 1; j < m_nObs; ++j) {
      const Point3 w = pts[2 * j] - pts[0];
      const double dist2 = w * w;
      if (dist2 > farthest) {
        farthest = dist2;
        partner = j;
      }
    }
    if (partner == 0) {  // every station at A_0
      m_bValid = false;
      return;
    }
    if (partner > 1) {
      std::swap(pts[2], pts[2 * partner]);
      std::swap(pts[3], pts[2 * partner + 1]);
      std::swap(m_pSigmas[1], m_pSigmas[partner]);
    }
  }
  Point3 start;
  if (!StartingPosition(pts, start)) {
    m_bValid = false;
    return;
  }
  m_Position = start;
  m_bValid = Adjust();
}

bool TAdjImage::Adjust() {
  const Point3 x = m_Position;
  covar& normal = m_Covar;
  Point3 rhs(0.0);
  int used = 0;
  for (int i = 0; i < m_nObs; ++i) {
    const Point3& a = m_pRayPoints[2 * i];
    const Point3 d1 = m_pRayPoints[2 * i + 1] - a;
    const double l1 = d1.Module();
    if (!(l1 >= kMinRayLength)) continue;
    const double h_obs = TGeomathConsts::GetAzimuth(d1.x, d1.y);
    const double v_obs = Elevation(d1, l1);
    const Point3 d2 = x - a;
    const double l2 = d2.Module();
    if (!(l2 >= kMinRayLength)) continue;
    const double plan2 = std::sqrt(d2.x * d2.x + d2.y * d2.y);
    if (!(plan2 > kMinCosElevation * l2)) continue;
    ++used;
    const double h_cal = TGeomathConsts::GetAzimuth(d2.x, d2.y);
    const double v_cal = Elevation(d2, l2);
    const matr3_3 rows = DirectionRows(d2, l2);
    const double obs[2] = {h_obs, v_obs}, cal[2] = {h_cal, v_cal};
    const double sigma[2] = {m_pSigmas[i].x, m_pSigmas[i].y};
    for (int k = 0; k < 2; ++k) {
      const Point3 g(rows(k + 1, 0), rows(k + 1, 1), rows(k + 1, 2));
      const double ls = l2 * sigma[k];
      const double w = 1.0 / (ls * ls);
      double m = obs[k] - cal[k];
      if (m < -collinear::kPi)
        m += collinear::kTwoPi;
      else if (m >= collinear::kPi)
        m -= collinear::kTwoPi;
      rhs += g * (w * m * l2);
      int p = 0;
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c <= r; ++c) normal[p++] += w * (g[r] * g[c]);
    }
  }
  if (used < 2) return false;
  const covar unsolved = normal;
  if (InvertSMatr3(normal) < 0) return false;
  const Point3 solved = x + normal * rhs;
  // Overflowing weights or coordinates must not come back as a valid NaN.
  if (!IsFinite(solved)) {
    normal = unsolved;
    return false;
  }
  m_Position = solved;
  return true;
}
