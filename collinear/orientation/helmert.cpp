#include <collinear/orientation/helmert.h>

#include <cmath>

#include <collinear/leastsq/leastsq.h>
#include <collinear/orientation/point_match.h>

namespace {

constexpr int kNumHelmertPara = 4;  // a, b, c, d

}  // namespace

CHelmert::CHelmert() { Init(); }

CHelmert::CHelmert(const CHelmert& other) { *this = other; }

CHelmert::~CHelmert() = default;

CHelmert& CHelmert::operator=(const CHelmert& other) {
  if (this == &other) return *this;
  m_Para.Copy(other.m_Para);
  m_DstPoints.Copy(other.m_DstPoints);
  m_SrcPoints.Copy(other.m_SrcPoints);
  m_Residuals.Copy(other.m_Residuals);
  m_Rms = other.m_Rms;
  m_MaxRes = other.m_MaxRes;
  return *this;
}

void CHelmert::Init() {
  m_DstPoints.RemoveAll();
  m_SrcPoints.RemoveAll();
  m_Para.RemoveAll();
  m_Residuals.RemoveAll();
  m_Rms.Init();
  m_Rms.SetXYZ(-1.0, -1.0, 0.0);  // not computed yet
  m_MaxRes.Init();
}

int CHelmert::SetPoints(CArray<CXYZ, CXYZ&>& dst, CArray<CXYZ, CXYZ&>& src) {
  return collinear::MatchPointsByName(dst, src, m_DstPoints, m_SrcPoints);
}

int CHelmert::CalPara() {
  const INT_PTR n = m_DstPoints.GetSize();
  if (n != m_SrcPoints.GetSize() || n < 2) return 0;
  CLeastSq lsq(static_cast<int>(2 * n), kNumHelmertPara);
  for (INT_PTR i = 0; i < n; ++i) {
    const CXYZ& src = m_SrcPoints[i];
    const CXYZ& dst = m_DstPoints[i];
    lsq.SetObeq(0, src.m_x);
    lsq.SetObeq(1, -src.m_y);
    lsq.SetObeq(2, 1.0);
    lsq.SetObeq(3, 0.0);
    lsq.SetObeq(4, dst.m_x);
    lsq.SetObeq(0, src.m_y);
    lsq.SetObeq(1, src.m_x);
    lsq.SetObeq(2, 0.0);
    lsq.SetObeq(3, 1.0);
    lsq.SetObeq(4, dst.m_y);
  }
  if (!lsq.Solve()) return 0;
  // NaN or infinite coordinates, or sums that overflow, pass the engine's
  // pivot tests: such a solution counts as failed and changes nothing.
  double para[kNumHelmertPara];
  for (int k = 0; k < kNumHelmertPara; ++k) {
    para[k] = lsq.GetBcor(k);
    if (!std::isfinite(para[k])) return 0;
  }
  m_Para.SetSize(kNumHelmertPara);
  for (int k = 0; k < kNumHelmertPara; ++k) m_Para[k] = para[k];
  CalResiduals();
  return 1;
}

int CHelmert::Transform(const CXYZ& in, CXYZ& out, int forward) {
  if (m_Para.GetSize() != kNumHelmertPara) return 0;
  const double a = m_Para[0], b = m_Para[1], c = m_Para[2], d = m_Para[3];
  double x = 0.0, y = 0.0;
  if (forward) {
    x = a * in.m_x - b * in.m_y + c;
    y = b * in.m_x + a * in.m_y + d;
  } else {
    const double det = a * a + b * b;
    if (det == 0.0) return 0;
    const double tx = in.m_x - c, ty = in.m_y - d;
    x = (a * tx + b * ty) / det;
    y = (a * ty - b * tx) / det;
  }
  out.m_x = x;
  out.m_y = y;
  return 1;
}

int CHelmert::CalResiduals() {
  const INT_PTR n = m_DstPoints.GetSize();
  if (m_Para.GetSize() != kNumHelmertPara || n != m_SrcPoints.GetSize() ||
      n == 0)
    return 0;
  m_Residuals.SetSize(n);
  m_Rms.SetXYZ(0.0, 0.0, 0.0);
  m_MaxRes.Init();
  double sum_x = 0.0, sum_y = 0.0;
  for (INT_PTR i = 0; i < n; ++i) {
    const CXYZ& dst = m_DstPoints[i];
    CXYZ t;
    if (!Transform(m_SrcPoints[i], t, 1)) return 0;
    CXYZ res(dst.m_strName, t.m_x - dst.m_x, t.m_y - dst.m_y, 0.0);
    sum_x += res.m_x * res.m_x;
    sum_y += res.m_y * res.m_y;
    if (std::fabs(res.m_x) > std::fabs(m_MaxRes.m_x)) m_MaxRes.m_x = res.m_x;
    if (std::fabs(res.m_y) > std::fabs(m_MaxRes.m_y)) m_MaxRes.m_y = res.m_y;
    m_Residuals[i] = res;
  }
  m_Rms.SetXYZ(std::sqrt(sum_x / n), std::sqrt(sum_y / n), 0.0);
  return 1;
}
