// The lens distortion models, once for the whole library: number, name in
// files and on the command line, coefficient counts and names. CDist, the
// calculator, the DLT self-calibration, the quality checks, the project file
// and the tool all read this table; the formulas are in dist_formula.h. A new
// model is a row here and its terms there.
#ifndef COLLINEAR_DISTORTION_DIST_MODEL_H_
#define COLLINEAR_DISTORTION_DIST_MODEL_H_

#include <string>
#include <vector>

#include <collinear/distortion/dist.h>
#include <collinear/framework/export.h>

namespace collinear {

// The terms of a model: none at all (no distortion), radial ones only, or
// radial ones followed by two decentring terms (p1, p2) or by the six
// further terms e1..e6 (dx: x, y, xy, y^2; dy: xy, x^2).
enum class DistTerms { kNone, kRadial, kDecentring, kFurther };

// The most parameters any model has.
inline constexpr int kMaxDistPara = 8;

struct DistModelInfo {
  DIST_MODEL model;
  const char* name;
  int radial;   // k1.. on r^2, r^4, ...: the first parameters
  int further;  // the terms behind them
  DistTerms terms;
  const char*
      para_names[kMaxDistPara];  // radial + further names, in parameter order

  constexpr int Count() const { return radial + further; }
};

inline constexpr DistModelInfo kDistModels[] = {
    {DIST_NONE, "none", 0, 0, DistTerms::kNone, {}},
    {DIST_K1K2K3K4,
     "k1k2k3k4",
     4,
     0,
     DistTerms::kRadial,
     {"k1", "k2", "k3", "k4"}},
    {DIST_K1K2P1P2,
     "k1k2p1p2",
     2,
     2,
     DistTerms::kDecentring,
     {"k1", "k2", "p1", "p2"}},
    {DIST_K1K2K3P1P2,
     "k1k2k3p1p2",
     3,
     2,
     DistTerms::kDecentring,
     {"k1", "k2", "k3", "p1", "p2"}},
    {DIST_K1K2_EXT6,
     "k1k2e1e6",
     2,
     6,
     DistTerms::kFurther,
     {"k1", "k2", "e1", "e2", "e3", "e4", "e5", "e6"}},
};

// The model of that number or name; null for an unknown one.
COLLINEAR_API const DistModelInfo* FindDistModel(unsigned long model);
COLLINEAR_API const DistModelInfo* FindDistModel(const std::string& name);
// The model a host describes by its counts of radial and further
// coefficients; DIST_NONE when no model has these counts.
COLLINEAR_API DIST_MODEL DistModelFromCounts(unsigned long radial,
                                             unsigned long further);
// Names of the parameters of a model, in parameter order; none for an
// unknown model.
COLLINEAR_API std::vector<std::string> DistortionParameterNames(
    DIST_MODEL model);
// "none, k1k2k3k4, ...": the model names for messages.
COLLINEAR_API std::string DistModelNameList();
// Radial part of the distortion of a model at radius r, r (k1 r^2 + k2 r^4
// + ...), in the unit of r; 0 for an unknown model.
COLLINEAR_API double RadialDistortion(unsigned long model,
                                      const double* para,
                                      double r);

// Determinant of the Jacobian of the map q -> q + s D(q) at (x, y) about
// the principal point (s = +1: the correction of CDist, -1: that of the
// calculator), by central differences of step h (unit of x, y).
COLLINEAR_API double DistortionDeterminant(unsigned long model,
                                           const double* para,
                                           double s,
                                           double x,
                                           double y,
                                           double h);
// The radius about the principal point inside which that map is invertible:
// its determinant is positive along 72 rays and its radial part r + s dr(r)
// increases, sampled in steps of search_radius / steps. At most limit (a
// failure found elsewhere, else search_radius); beyond it images fold over.
COLLINEAR_API double InvertibleRadius(unsigned long model,
                                      const double* para,
                                      double s,
                                      double search_radius,
                                      double h,
                                      double limit,
                                      int steps = 2000);
// Whether that map is invertible along the segment from the principal point
// to (x, y): positive determinant and an image moving outwards at each of
// steps + 1 samples. One ray only: the test of a single point, where
// InvertibleRadius maps the whole picture.
COLLINEAR_API bool InvertibleOutTo(unsigned long model,
                                   const double* para,
                                   double s,
                                   double x,
                                   double y,
                                   double h,
                                   int steps);

}  // namespace collinear

#endif  // COLLINEAR_DISTORTION_DIST_MODEL_H_
