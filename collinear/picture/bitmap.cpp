#include <collinear/picture/bitmap.h>

#include <algorithm>
#include <cmath>

namespace ImgAn {
namespace {

// |det| below this fraction of the product of the row norms counts as
// singular: the rows are then parallel to within rounding of ~1e-12.
constexpr double kSingularRatio = 1e-12;

// Maps p with the homogeneous matrix m; false when w is not positive or the
// result is not finite.
bool MapPoint(const double* m, const Point2D<double>& p, Point2D<double>* out) {
  if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
  const double u = m[0] * p.x + m[1] * p.y + m[2];
  const double v = m[3] * p.x + m[4] * p.y + m[5];
  const double w = m[6] * p.x + m[7] * p.y + m[8];
  if (!(w > 0.0)) return false;
  const double x = u / w, y = v / w;
  if (!std::isfinite(x) || !std::isfinite(y)) return false;
  *out = Point2D<double>(x, y);
  return true;
}

}  // namespace

Bitmap::Bitmap() { SetIdentity(); }

void Bitmap::SetOrigSize(std::int32_t width, std::int32_t height) {
  m_nOrigWidth = width;
  m_nOrigHeight = height;
}

void Bitmap::SetSize(std::int32_t width, std::int32_t height) {
  m_nWidth = width;
  m_nHeight = height;
}

void Bitmap::SetOutputOffset(const Point2D<double>& offset) {
  m_OutputOffset = offset;
}

bool Bitmap::SetProjective(const double h[9]) {
  double m[9];
  for (int k = 0; k < 9; ++k) {
    if (!std::isfinite(h[k])) return false;
    m[k] = h[8] < 0.0 ? -h[k] : h[k];
  }
  // Adjugate, row by row: adj = cofactor matrix transposed.
  double adj[9] = {m[4] * m[8] - m[5] * m[7],
                   m[2] * m[7] - m[1] * m[8],
                   m[1] * m[5] - m[2] * m[4],
                   m[5] * m[6] - m[3] * m[8],
                   m[0] * m[8] - m[2] * m[6],
                   m[2] * m[3] - m[0] * m[5],
                   m[3] * m[7] - m[4] * m[6],
                   m[1] * m[6] - m[0] * m[7],
                   m[0] * m[4] - m[1] * m[3]};
  const double det = m[0] * adj[0] + m[1] * adj[3] + m[2] * adj[6];
  double norms = 1.0;
  for (int r = 0; r < 3; ++r)
    norms *= std::sqrt(m[3 * r] * m[3 * r] + m[3 * r + 1] * m[3 * r + 1] +
                       m[3 * r + 2] * m[3 * r + 2]);
  if (!(std::fabs(det) > kSingularRatio * norms)) return false;
  for (int k = 0; k < 9; ++k) {
    m_H[k] = m[k];
    m_HInv[k] = adj[k] / det;
  }
  return true;
}

bool Bitmap::SetAffine(
    double a, double b, double c, double d, double e, double f) {
  const double h[9] = {a, b, c, d, e, f, 0.0, 0.0, 1.0};
  return SetProjective(h);
}

void Bitmap::SetIdentity() { SetAffine(1.0, 0.0, 0.0, 0.0, 1.0, 0.0); }

void Bitmap::GetProjective(double h[9]) const { std::copy(m_H, m_H + 9, h); }

bool Bitmap::IsAffine() const { return m_H[6] == 0.0 && m_H[7] == 0.0; }

bool Bitmap::FitOutput(std::int32_t orig_width, std::int32_t orig_height) {
  const double xs[2] = {0.0, static_cast<double>(orig_width)};
  const double ys[2] = {0.0, static_cast<double>(orig_height)};
  double lo_x = 0, lo_y = 0, hi_x = 0, hi_y = 0;
  for (int k = 0; k < 4; ++k) {
    Point2D<double> t;
    if (!MapPoint(m_H, Point2D<double>(xs[k & 1], ys[k >> 1]), &t))
      return false;
    lo_x = k ? std::min(lo_x, t.x) : t.x;
    hi_x = k ? std::max(hi_x, t.x) : t.x;
    lo_y = k ? std::min(lo_y, t.y) : t.y;
    hi_y = k ? std::max(hi_y, t.y) : t.y;
  }
  lo_x = std::floor(lo_x);
  lo_y = std::floor(lo_y);
  const double w = std::ceil(hi_x) - lo_x, h = std::ceil(hi_y) - lo_y;
  if (!(w <= INT32_MAX && h <= INT32_MAX)) return false;
  SetOrigSize(orig_width, orig_height);
  SetSize(static_cast<std::int32_t>(w), static_cast<std::int32_t>(h));
  m_OutputOffset = Point2D<double>(lo_x, lo_y);
  return true;
}

bool Bitmap::OrigPointToTransformed(const Point2D<double>& orig,
                                    Point2D<double>* out) const {
  return out && MapPoint(m_H, orig, out);
}

bool Bitmap::TransformedPointToOrig(const Point2D<double>& transf,
                                    Point2D<double>* out) const {
  if (!out) return false;
  const Point2D<double> plane(transf.x + m_OutputOffset.x,
                              transf.y + m_OutputOffset.y);
  return MapPoint(m_HInv, plane, out);
}

}  // namespace ImgAn
