#include <collinear/distortion/dist_model.h>

#include <collinear/distortion/dist_formula.h>

namespace collinear {

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

}  // namespace collinear
