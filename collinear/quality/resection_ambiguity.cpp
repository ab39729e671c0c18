#include <collinear/quality/resection_ambiguity.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

// The pre-rotations of CalSinOri2, in degrees and in its trial order.
constexpr double kOmegaTrialsDeg[] = {0, 45, -45, 90, -90};
constexpr double kPhiTrialsDeg[] = {0, 45, -45, 90, -90, 135, -135, 180};
// Scores below this fraction of the focal length are rounding noise.
constexpr double kScoreFloor = 1e-9;

int CountBehind(const CSinOri& s) {
  int behind = 0;
  for (INT_PTR i = 0; i < s.m_ObjPoints.GetSize(); ++i) {
    CXYZ r;
    s.m_Rot.Rotate(s.m_ObjPoints[i] - s.m_Center, r);
    if (!(r.m_z < 0.0)) ++behind;
  }
  return behind;
}

}  // namespace

ResectionAmbiguity AnalyseResectionAmbiguity(const CSinOri& created) {
  ResectionAmbiguity a;
  const INT_PTR n = created.m_ObjPoints.GetSize();
  if (n < 4 || n != created.m_ImgPoints.GetSize()) return a;
  for (double omega : kOmegaTrialsDeg) {
    for (double phi : kPhiTrialsDeg) {
      ++a.trials;
      CRot pre;
      pre.SetMatrix(created.m_RotSystem,
                    CWPK(omega * kRadPerDeg, phi * kRadPerDeg, 0.0));
      CSinOri trial = created;
      for (INT_PTR i = 0; i < n; ++i)
        pre.Rotate(created.m_ObjPoints[i], trial.m_ObjPoints[i]);
      if (!trial.CalSinOri()) continue;
      ++a.converged;
      // Solved for pre X: centre C = pre^T C', rotation R = R' pre.
      ResectionSolution sol;
      sol.omega_deg = omega;
      sol.phi_deg = phi;
      sol.score = trial.m_Rms.Len();
      sol.behind = CountBehind(trial);
      CRot pre_t = pre;
      pre_t.T();
      pre_t.Rotate(trial.m_Center, sol.centre);
      CRot rot = trial.m_Rot * pre;
      sol.wpk.Init();
      rot.CalAngle(created.m_RotSystem, sol.wpk);
      if (sol.behind > 0) {
        ++a.behind;
        continue;
      }
      if (std::isfinite(sol.score)) a.solutions.push_back(sol);
    }
  }
  std::stable_sort(a.solutions.begin(),
                   a.solutions.end(),
                   [](const ResectionSolution& x, const ResectionSolution& y) {
                     return x.score < y.score;
                   });
  if (a.solutions.empty()) return a;
  const ResectionSolution& best = a.solutions.front();
  double sx = 0.0, sy = 0.0, sz = 0.0;
  for (INT_PTR i = 0; i < n; ++i) {
    sx += created.m_ObjPoints[i].m_x;
    sy += created.m_ObjPoints[i].m_y;
    sz += created.m_ObjPoints[i].m_z;
  }
  a.object_distance = best.centre.Len(CXYZ(sx / n, sy / n, sz / n));
  const double distinct = kDistinctCentreFraction * a.object_distance;
  for (size_t i = 1; i < a.solutions.size(); ++i) {
    if (a.solutions[i].centre.Len(best.centre) > distinct) {
      a.second = static_cast<int>(i);
      break;
    }
  }
  if (a.second >= 0) {
    const double floor = kScoreFloor * created.m_Focus;
    const double best_score = std::max(best.score, floor);
    const double second_score = std::max(a.solutions[a.second].score, floor);
    a.ratio = second_score / best_score;
    a.ambiguous = a.ratio <= kAmbiguityFactor;
  }
  return a;
}

Verdict Judge(const ResectionAmbiguity& ambiguity) {
  Verdict v;
  if (!ambiguity.ambiguous) return v;
  const ResectionSolution& b = ambiguity.solutions.front();
  const ResectionSolution& s = ambiguity.solutions[ambiguity.second];
  char buf[600];
  std::snprintf(buf,
                sizeof buf,
                "ambiguous resection: a distinct solution fits nearly as well "
                "(RMS %.4g against the best %.4g, ratio %.3g <= %.2g); centres "
                "(%.6g, %.6g, %.6g) and (%.6g, %.6g, %.6g), %.3g apart at an "
                "object distance of %.4g",
                s.score,
                b.score,
                ambiguity.ratio,
                kAmbiguityFactor,
                b.centre.m_x,
                b.centre.m_y,
                b.centre.m_z,
                s.centre.m_x,
                s.centre.m_y,
                s.centre.m_z,
                s.centre.Len(b.centre),
                ambiguity.object_distance);
  v.warnings.push_back({VerdictReason::kAmbiguous, "", buf});
  return v;
}

}  // namespace collinear
