#include <collinear/io/camera_json.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include <collinear/distortion/dist_model.h>

namespace collinear {
namespace {

// The object of a calibration's standard deviations, under the keys of
// the values they belong to.
const char kStdDevKey[] = "standard_deviations";

bool ReadDistortion(JsonReader& r,
                    const Json& d,
                    const std::string& path,
                    ProjectCamera& cam) {
  if (!r.CheckKeys(d, path, {"model", "coefficients"})) return false;
  const Json* m = Find(d, "model");
  if (!m) return r.Fail(path, "needs 'model'");
  std::string model;
  if (!r.Text(*m, Member(path, "model"), model)) return false;
  const DistModelInfo* found = FindDistModel(model);
  if (!found)
    return r.Fail(
        Member(path, "model"),
        "unknown model " + Quote(model) + "; known: " + DistModelNameList());
  const std::size_t n = found->Count();
  std::vector<double> coef;
  if (const Json* c = Find(d, "coefficients")) {
    if (!r.Numbers(*c, Member(path, "coefficients"), 0, coef)) return false;
    if (coef.size() != n)
      return r.Fail(Member(path, "coefficients"),
                    "model " + model + " takes " + std::to_string(n) +
                        " coefficients, not " + std::to_string(coef.size()));
  } else if (n > 0) {
    return r.Fail(path, "needs 'coefficients' for model " + model);
  }
  if (n == 0) return true;
  cam.distortion_model = model;
  cam.radial.assign(coef.begin(), coef.begin() + found->radial);
  cam.further.assign(coef.begin() + found->radial, coef.end());
  return true;
}

// Zero or more; a standard deviation of a value held exactly is 0.
bool NotNegative(JsonReader& r, double v, const std::string& path) {
  if (v >= 0.0) return true;
  return r.Fail(path, "must be 0 or more (it is " + NumberText(v) + ")");
}

// Standard deviations under the keys of the values they belong to, read
// after the values (a principal point in pixels needs the pixel size, the
// coefficients the model).
bool ReadStdDev(JsonReader& r,
                const Json& s,
                const std::string& path,
                ProjectCamera& cam) {
  if (!r.CheckKeys(s,
                   path,
                   {"focal_length_mm",
                    "pixel_size_mm",
                    "principal_point_mm",
                    "principal_point_px",
                    "coefficients"}))
    return false;
  if (const Json* f = Find(s, "focal_length_mm")) {
    if (!r.Number(*f, Member(path, "focal_length_mm"), cam.focal_sd_mm) ||
        !NotNegative(r, cam.focal_sd_mm, Member(path, "focal_length_mm")))
      return false;
  }
  if (const Json* px = Find(s, "pixel_size_mm")) {
    std::vector<double> v;
    if (!r.Numbers(*px, Member(path, "pixel_size_mm"), 2, v)) return false;
    for (int k = 0; k < 2; ++k) {
      if (!NotNegative(r, v[k], Element(Member(path, "pixel_size_mm"), k)))
        return false;
      cam.pixel_sd_mm[k] = v[k];
    }
  }
  const Json* pp_mm = Find(s, "principal_point_mm");
  const Json* pp_px = Find(s, "principal_point_px");
  if (pp_mm && pp_px)
    return r.Fail(path,
                  "give the principal point's in mm or in pixels, not both");
  if (pp_mm || pp_px) {
    const std::string key = pp_mm ? "principal_point_mm" : "principal_point_px";
    std::vector<double> v;
    if (!r.Numbers(pp_mm ? *pp_mm : *pp_px, Member(path, key), 2, v))
      return false;
    for (int k = 0; k < 2; ++k) {
      if (!NotNegative(r, v[k], Element(Member(path, key), k))) return false;
      cam.principal_sd_mm[k] = pp_mm ? v[k] : v[k] * cam.pixel_mm[k];
    }
  }
  if (const Json* c = Find(s, "coefficients")) {
    const std::string cp = Member(path, "coefficients");
    const std::size_t n = cam.radial.size() + cam.further.size();
    if (n == 0) return r.Fail(cp, "the camera has no distortion coefficients");
    std::vector<double> v;
    if (!r.Numbers(*c, cp, n, v)) return false;
    for (std::size_t k = 0; k < n; ++k)
      if (!NotNegative(r, v[k], Element(cp, k))) return false;
    const auto radial = static_cast<std::ptrdiff_t>(cam.radial.size());
    cam.radial_sd.assign(v.begin(), v.begin() + radial);
    cam.further_sd.assign(v.begin() + radial, v.end());
  }
  return true;
}

// [x, y], or one number when both are the same.
Json Pair(const double v[2]) {
  if (v[0] == v[1]) return v[0];
  return Json::array({v[0], v[1]});
}

Json Joined(const std::vector<double>& a, const std::vector<double>& b) {
  Json out = Json::array();
  for (double v : a) out.push_back(v);
  for (double v : b) out.push_back(v);
  return out;
}

}  // namespace

bool ReadCameraObject(JsonReader& r,
                      const Json& c,
                      const std::string& path,
                      bool in_project,
                      ProjectCamera& cam) {
  std::vector<std::string> keys = {"id",
                                   "focal_length_mm",
                                   "pixel_size_mm",
                                   "picture_size_px",
                                   "principal_point_mm",
                                   "principal_point_px",
                                   "distortion",
                                   kStdDevKey};
  if (in_project) keys.emplace_back("mount");
  if (!r.CheckKeys(c, path, keys)) return false;
  if (in_project || Find(c, "id")) {
    if (!r.RequiredName(c, "id", path, cam.id)) return false;
  }
  if (!r.RequiredNumber(c, "focal_length_mm", path, cam.focal_mm) ||
      !r.Positive(cam.focal_mm, Member(path, "focal_length_mm")))
    return false;
  const Json* px = Find(c, "pixel_size_mm");
  if (!px) return r.Fail(path, "needs 'pixel_size_mm' (one number or [x, y])");
  if (px->is_array()) {
    std::vector<double> v;
    if (!r.Numbers(*px, Member(path, "pixel_size_mm"), 2, v)) return false;
    cam.pixel_mm[0] = v[0];
    cam.pixel_mm[1] = v[1];
  } else {
    if (!r.Number(*px, Member(path, "pixel_size_mm"), cam.pixel_mm[0]))
      return false;
    cam.pixel_mm[1] = cam.pixel_mm[0];
  }
  for (double mm : cam.pixel_mm)
    if (!r.Positive(mm, Member(path, "pixel_size_mm"))) return false;
  if (const Json* size = Find(c, "picture_size_px")) {
    const std::string sp = Member(path, "picture_size_px");
    std::vector<double> v;
    if (!r.Numbers(*size, sp, 2, v)) return false;
    for (int k = 0; k < 2; ++k)
      if (!(v[k] >= 1.0 && v[k] <= 1e6 && v[k] == std::floor(v[k])))
        return r.Fail(Element(sp, k),
                      "must be a whole number of pixels, 1 or more");
    cam.width_px = static_cast<int>(v[0]);
    cam.height_px = static_cast<int>(v[1]);
  }
  const Json* pp_mm = Find(c, "principal_point_mm");
  const Json* pp_px = Find(c, "principal_point_px");
  if (pp_mm && pp_px)
    return r.Fail(path,
                  "give the principal point in mm or in pixels, not both");
  if (pp_mm) {
    std::vector<double> v;
    if (!r.Numbers(*pp_mm, Member(path, "principal_point_mm"), 2, v))
      return false;
    cam.principal_mm[0] = v[0];
    cam.principal_mm[1] = v[1];
  } else if (pp_px) {
    std::vector<double> v;
    if (!r.Numbers(*pp_px, Member(path, "principal_point_px"), 2, v))
      return false;
    cam.principal_mm[0] = v[0] * cam.pixel_mm[0];
    cam.principal_mm[1] = v[1] * cam.pixel_mm[1];
  } else if (cam.width_px > 0) {
    cam.principal_mm[0] = 0.5 * cam.width_px * cam.pixel_mm[0];
    cam.principal_mm[1] = 0.5 * cam.height_px * cam.pixel_mm[1];
  } else {
    return r.Fail(path,
                  "needs 'principal_point_mm' or 'principal_point_px' (or "
                  "'picture_size_px', which puts it at the picture's centre)");
  }
  if (const Json* d = Find(c, "distortion")) {
    if (!ReadDistortion(r, *d, Member(path, "distortion"), cam)) return false;
  }
  if (const Json* s = Find(c, kStdDevKey)) {
    if (!ReadStdDev(r, *s, Member(path, kStdDevKey), cam)) return false;
  }
  return true;
}

Json CameraObjectJson(const ProjectCamera& cam) {
  Json c = Json::object();
  if (!cam.id.empty()) c["id"] = cam.id;
  c["focal_length_mm"] = cam.focal_mm;
  c["pixel_size_mm"] = Pair(cam.pixel_mm);
  if (cam.width_px > 0)
    c["picture_size_px"] = Json::array({cam.width_px, cam.height_px});
  c["principal_point_mm"] =
      Json::array({cam.principal_mm[0], cam.principal_mm[1]});
  if (!cam.distortion_model.empty())
    c["distortion"] = {{"model", cam.distortion_model},
                       {"coefficients", Joined(cam.radial, cam.further)}};
  Json s = Json::object();
  if (!IsUndefined(cam.focal_sd_mm)) s["focal_length_mm"] = cam.focal_sd_mm;
  if (!IsUndefined(cam.pixel_sd_mm[0]))
    s["pixel_size_mm"] = Json::array({cam.pixel_sd_mm[0], cam.pixel_sd_mm[1]});
  if (!IsUndefined(cam.principal_sd_mm[0]))
    s["principal_point_mm"] =
        Json::array({cam.principal_sd_mm[0], cam.principal_sd_mm[1]});
  if (!cam.radial_sd.empty() || !cam.further_sd.empty())
    s["coefficients"] = Joined(cam.radial_sd, cam.further_sd);
  if (!s.empty()) c[kStdDevKey] = s;
  return c;
}

}  // namespace collinear
