// Writing back into project files: stored exterior orientations, and the
// layout every written file gets.
#include <collinear/io/project_file.h>

#include <cmath>
#include <string>
#include <unordered_map>

#include <collinear/io/json_layout.h>
#include <collinear/io/json_reader.h>
#include <collinear/io/point_file.h>
#include <collinear/io/project_loader.h>

namespace collinear {
namespace {

// Sets the updates in doc, the document of a project file.
bool SetExteriorOrientations(
    Json& doc,
    const std::vector<std::pair<std::string, ExteriorOrientation>>& updates,
    JsonReader& r) {
  std::string unit = "deg";
  if (doc.is_object() && doc.contains("angle_unit") &&
      doc["angle_unit"].is_string())
    unit = doc["angle_unit"].get<std::string>();
  const double size = AngleUnitSize(unit);
  if (size == 0.0)
    return r.Fail("angle_unit", R"(must be "deg", "gon" or "rad")");
  if (!doc.is_object() || !doc.contains("images") || !doc["images"].is_array())
    return r.Fail("images", "the file has no list of images");
  Json& images = doc["images"];
  // Micrometres and a billionth of the angle unit: far below what a
  // resection determines, and short to read.
  auto round = [](double v, double per_unit) {
    return std::round(v * per_unit) / per_unit;
  };
  // The images by id, a whole number by its text; of two with one id the
  // later one.
  std::unordered_map<std::string, Json*> by_id;
  for (Json& img : images) {
    if (!img.is_object() || !img.contains("id")) continue;
    const Json& id = img["id"];
    if (id.is_string())
      by_id[id.get<std::string>()] = &img;
    else if (id.is_number_integer())
      by_id[id.dump()] = &img;
  }
  for (const auto& u : updates) {
    const auto found = by_id.find(u.first);
    if (found == by_id.end())
      return r.Fail("images", "no image has the id " + Quote(u.first));
    Json* target = found->second;
    const ExteriorOrientation& x = u.second;
    Json e = Json::object();
    e["x"] = round(x.x, 1e6);
    e["y"] = round(x.y, 1e6);
    e["z"] = round(x.z, 1e6);
    e["omega"] = round(x.omega / size, 1e9);
    e["phi"] = round(x.phi / size, 1e9);
    e["kappa"] = round(x.kappa / size, 1e9);
    (*target)["exterior"] = e;
  }
  return true;
}

}  // namespace

bool WriteExteriorOrientations(
    const std::string& path,
    const std::vector<std::pair<std::string, ExteriorOrientation>>& updates,
    std::string& error) {
  error.clear();
  return CatchForeign(path + ": ", error, [&]() {
    std::string text;
    if (!ReadTextFile(path, text, error)) return false;
    JsonReader r;
    Json doc;
    if (!r.Parse(text, doc) || !SetExteriorOrientations(doc, updates, r)) {
      error = path + ": " + r.message();
      return false;
    }
    return WriteTextFile(path, LayoutJson(doc), error);
  });
}

bool FormatProjectJson(const std::string& text,
                       std::string& out,
                       std::string& error) {
  error.clear();
  return CatchForeign("", error, [&]() {
    JsonReader r;
    Json doc;
    if (!r.Parse(text, doc)) {
      error = r.message();
      return false;
    }
    out = LayoutJson(doc);
    return true;
  });
}

}  // namespace collinear
