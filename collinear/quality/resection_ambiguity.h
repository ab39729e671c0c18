// Ambiguity of a space resection: the pre-rotation trials of CalSinOri2,
// repeated through the public interface, collect every converged solution.
// Solutions whose centres lie more than 1 % of the object distance apart are
// distinct; when the second-best distinct one fits within a factor 1.5 of
// the best, the control field does not decide between them.
#ifndef COLLINEAR_QUALITY_RESECTION_AMBIGUITY_H_
#define COLLINEAR_QUALITY_RESECTION_AMBIGUITY_H_

#include <vector>

#include <collinear/framework/export.h>
#include <collinear/orientation/sinori.h>
#include <collinear/quality/verdict.h>

namespace collinear {

// Centres farther apart than this fraction of the object distance (best
// centre to the centroid of the control points) are distinct solutions.
inline constexpr double kDistinctCentreFraction = 0.01;
// The second-best distinct score within this factor of the best: ambiguous.
inline constexpr double kAmbiguityFactor = 1.5;

struct ResectionSolution {
  double omega_deg = 0.0, phi_deg = 0.0;  // pre-rotation of the trial
  CXYZ centre;                            // caller's object frame
  CWPK wpk;                               // under the resection's m_RotSystem
  double score = 0.0;  // |m_Rms|: sqrt(rms_x^2 + rms_y^2), image unit
  int behind = 0;      // control points behind the camera
};

struct COLLINEAR_API ResectionAmbiguity {
  int trials = 0;     // pre-rotations tried (40)
  int converged = 0;  // trials whose resection converged
  int behind = 0;     // converged trials with points behind the camera
  double object_distance = 0.0;
  // Converged trials with every point in front, best score first; trials
  // that reach the same centre (within the distinct distance) stay listed.
  std::vector<ResectionSolution> solutions;
  int second = -1;     // index of the best solution distinct from solutions[0]
  double ratio = 0.0;  // second score over best score (0 without a second)
  bool ambiguous = false;
  bool HasBest() const { return !solutions.empty(); }
  bool HasSecond() const { return second >= 0; }
};

// Runs the 40 trials on copies of created (which needs its matched points,
// focal length and settings, solved or not; after a successful CalSinOri2 the
// object points are back in the caller's frame). Scores below 1e-9 times the
// focal length count as equal to that floor: rounding, not a fit difference.
COLLINEAR_API ResectionAmbiguity
AnalyseResectionAmbiguity(const CSinOri& created);

// A kAmbiguous warning naming both centres and scores when ambiguous.
COLLINEAR_API Verdict Judge(const ResectionAmbiguity& ambiguity);

}  // namespace collinear

#endif  // COLLINEAR_QUALITY_RESECTION_AMBIGUITY_H_
