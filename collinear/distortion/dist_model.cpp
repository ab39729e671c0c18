#include <collinear/distortion/dist_model.h>

#include <algorithm>
#include <cmath>

#include <collinear/distortion/dist_formula.h>
#include <collinear/primitives/constants.h>

namespace collinear {
namespace {

constexpr int kRays = 72;  // directions about the principal point

}  // namespace

const DistModelInfo* FindDistModel(unsigned long model) {
  for (const DistModelInfo& m : kDistModels)
    if (static_cast<unsigned long>(m.model) == model) return &m;
  return nullptr;
}

const DistModelInfo* FindDistModel(const std::string& name) {
  for (const DistModelInfo& m : kDistModels)
    if (name == m.name) return &m;
  return nullptr;
}

DIST_MODEL DistModelFromCounts(unsigned long radial, unsigned long further) {
  for (const DistModelInfo& m : kDistModels)
    if (static_cast<unsigned long>(m.radial) == radial &&
        static_cast<unsigned long>(m.further) == further)
      return m.model;
  return DIST_NONE;
}

std::vector<std::string> DistortionParameterNames(DIST_MODEL model) {
  const DistModelInfo* m = FindDistModel(model);
  if (!m) return {};
  return std::vector<std::string>(m->para_names, m->para_names + m->Count());
}

std::string DistModelNameList() {
  std::string list;
  for (const DistModelInfo& m : kDistModels)
    list += (list.empty() ? "" : ", ") + std::string(m.name);
  return list;
}

double RadialDistortion(unsigned long model, const double* para, double r) {
  return WithDistFormula(
      model, para, [r](const auto& f) { return r * f.Radial(r * r); });
}

double DistortionDeterminant(unsigned long model,
                             const double* para,
                             double s,
                             double x,
                             double y,
                             double h) {
  double dxp, dyp, dxm, dym, exp, eyp, exm, eym;
  WithDistFormula(model, para, [&](const auto& f) {
    f(x + h, y, dxp, dyp);
    f(x - h, y, dxm, dym);
    f(x, y + h, exp, eyp);
    f(x, y - h, exm, eym);
  });
  const double j00 = 1.0 + s * ((dxp - dxm) / (2.0 * h));
  const double j10 = s * ((dyp - dym) / (2.0 * h));
  const double j01 = s * ((exp - exm) / (2.0 * h));
  const double j11 = 1.0 + s * ((eyp - eym) / (2.0 * h));
  return j00 * j11 - j01 * j10;
}

double InvertibleRadius(unsigned long model,
                        const double* para,
                        double s,
                        double search_radius,
                        double h,
                        double limit,
                        int steps) {
  double valid = std::min(limit, search_radius);
  const double step = search_radius / steps;
  for (int k = 0; k < kRays; ++k) {
    const double a = kTwoPi * k / kRays;
    const double c = std::cos(a), sn = std::sin(a);
    for (int i = 0; i <= steps && i * step < valid; ++i) {
      const double r = i * step;
      if (!(DistortionDeterminant(model, para, s, r * c, r * sn, h) > 0.0)) {
        valid = std::min(valid, std::max(r - step, 0.0));
        break;
      }
    }
  }
  // r + s dr(r) must increase: dr(r) is the x component on the +x axis.
  double prev = 0.0;
  for (int i = 1; i <= steps && i * step < valid; ++i) {
    const double r = i * step;
    const double g = r + s * RadialDistortion(model, para, r);
    if (!(g > prev)) {
      valid = std::min(valid, r - step);
      break;
    }
    prev = g;
  }
  return valid;
}

bool InvertibleOutTo(unsigned long model,
                     const double* para,
                     double s,
                     double x,
                     double y,
                     double h,
                     int steps) {
  const double radius = std::hypot(x, y);
  if (!(radius > 0.0)) return radius == 0.0;
  const double c = x / radius, sn = y / radius;
  double prev = 0.0;
  for (int i = 0; i <= steps; ++i) {
    const double r = radius * i / steps;
    if (!(DistortionDeterminant(model, para, s, r * c, r * sn, h) > 0.0))
      return false;
    // The image of the ray must move outwards along it.
    double dx = 0.0, dy = 0.0;
    WithDistFormula(
        model, para, [&](const auto& f) { f(r * c, r * sn, dx, dy); });
    const double g = r + s * (dx * c + dy * sn);
    if (i > 0 && !(g > prev)) return false;
    prev = g;
  }
  return true;
}

}  // namespace collinear
