#include <collinear/distortion/dist.h>

#include <cmath>

#include <collinear/distortion/dist_formula.h>
#include <collinear/distortion/dist_model.h>
#include <collinear/leastsq/leastsq.h>

namespace {

// Grid search of the inverse: points per side of the square grid, and the
// limit on grid refinements before giving up.
constexpr int kGridSide = 5;
constexpr int kMaxGridIterations = 100;

// Squared distance between q + CalDist(q) and the ideal point (x, y).
double InverseError(
    const CDist& dist, double qx, double qy, double x, double y) {
  double dx = 0.0, dy = 0.0;
  dist.CalDist(qx, qy, dx, dy);
  const double ex = qx + dx - x;
  const double ey = qy + dy - y;
  return ex * ex + ey * ey;
}

}  // namespace

CDist::CDist() { Init(); }

CDist::CDist(const CDist& other) { *this = other; }

CDist::~CDist() = default;

CDist& CDist::operator=(const CDist& other) {
  if (this == &other) return *this;
  m_Model = other.m_Model;
  m_NumPara = other.m_NumPara;
  for (int i = 0; i < 10; ++i) m_Para[i] = other.m_Para[i];
  m_DistRadius.Copy(other.m_DistRadius);
  m_DistValue.Copy(other.m_DistValue);
  return *this;
}

void CDist::Init() {
  m_Model = DIST_NONE;
  m_NumPara = 0;
  m_DistRadius.RemoveAll();
  m_DistRadius.FreeExtra();
  m_DistValue.RemoveAll();
  m_DistValue.FreeExtra();
  for (double& p : m_Para) p = 0.0;
}

void CDist::SetDistModel(DIST_MODEL model) {
  const collinear::DistModelInfo* info = collinear::FindDistModel(model);
  m_Model = info ? model : DIST_NONE;
  m_NumPara = info ? info->Count() : 0;
}

DIST_MODEL& CDist::GetDistModel() { return m_Model; }

int CDist::GetNumPara() { return m_NumPara; }

void CDist::CalDist(double x, double y, double& dx, double& dy) const {
  collinear::WithDistFormula(
      m_Model, m_Para, [&](const auto& f) { f(x, y, dx, dy); });
}

int CDist::CalDistInv(
    double x, double y, double& dx, double& dy, double tol) const {
  const double tol2 = tol * tol;
  double cx = 0.0, cy = 0.0;
  CalDist(x, y, cx, cy);
  // The correction at the ideal point is close to the one at Q; start there.
  double qx = x - cx, qy = y - cy;
  double prev_x = qx, prev_y = qy;
  double best = InverseError(*this, qx, qy, x, y);
  if (best <= tol2) {
    dx = qx - x;
    dy = qy - y;
    return 1;
  }
  // Square grids of 5 x 5 points around the best estimate, half-width equal
  // to its remaining error, each centred on the best point of the previous.
  for (int iteration = 0; iteration < kMaxGridIterations; ++iteration) {
    const double h = std::sqrt(best);
    const double x0 = qx - h, y0 = qy - h, spacing = h / 2;
    for (int j = 0; j < kGridSide; ++j) {
      const double gy = y0 + j * spacing;
      for (int k = 0; k < kGridSide; ++k) {
        const double gx = x0 + k * spacing;
        const double e = InverseError(*this, gx, gy, x, y);
        if (e < best) {
          best = e;
          qx = gx;
          qy = gy;
          if (best <= tol2) {
            dx = qx - x;
            dy = qy - y;
            return 1;
          }
        }
      }
    }
    if (qx == prev_x && qy == prev_y) break;  // the grid found nothing better
    prev_x = qx;
    prev_y = qy;
  }
  dx = qx - x;
  dy = qy - y;
  return 0;
}

int CDist::AddPara(int i, double value) {
  if (i < 0 || i > 9) return 0;
  m_Para[i] = value;
  if (i >= m_NumPara) ++m_NumPara;
  return 1;
}

int CDist::AddDist(double radius, double value) {
  m_DistRadius.Add(radius);
  m_DistValue.Add(value);
  return static_cast<int>(m_DistRadius.GetSize());
}

int CDist::ParaToDist(double step, int count) {
  if (m_Model != DIST_K1K2K3K4 || count < 0) return 0;
  m_DistRadius.SetSize(count);
  m_DistValue.SetSize(count);
  for (int i = 0; i < count; ++i) {
    const double r = i * step;
    double dx = 0.0, dy = 0.0;
    CalDist(r, 0.0, dx, dy);
    m_DistRadius[i] = r;
    m_DistValue[i] = dx;
  }
  return 1;
}

int CDist::DistToPara() {
  const INT_PTR n = m_DistRadius.GetSize();
  if (n != m_DistValue.GetSize() || n < 4) return 0;
  CLeastSq lsq(static_cast<int>(n), 4);
  for (INT_PTR i = 0; i < n; ++i) {
    const double r = m_DistRadius[i];
    const double r2 = r * r;
    const double r4 = r2 * r2;
    const double r6 = r4 * r2;
    const double r8 = r6 * r2;
    lsq.SetObeq(0, r2);
    lsq.SetObeq(1, r4);
    lsq.SetObeq(2, r6);
    lsq.SetObeq(3, r8);
    lsq.SetObeq(4, m_DistValue[i]);
  }
  if (!lsq.Solve()) return 0;
  // NaN or infinite samples pass the pivot tests: no fit, nothing changed.
  for (int k = 0; k < 4; ++k)
    if (!std::isfinite(lsq.GetBcor(k))) return 0;
  for (int k = 0; k < 4; ++k) m_Para[k] = lsq.GetBcor(k);
  m_Model = DIST_K1K2K3K4;
  return 1;
}
