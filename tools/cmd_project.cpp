// project: the project's points projected into one image.
#include <cstddef>

#include <collinear/primitives/constants.h>

#include "commands.h"
#include "project_image.h"

namespace collinear::cli {
namespace {

struct ProjectArgs {
  std::string project, image;
  std::string camera;  // camera file replacing the image's camera
  std::vector<std::string> points;
  bool visible_only = false;
  int decimals = 2;
};

// One point projected into the image.
struct Projected {
  std::string name;
  P2 px;                  // undefined when the point has no coordinates
  bool in_front = false;  // of the camera
  bool in_picture = false;
  bool measured = false;  // a control point of the image, at m_px
  P2 m_px;
};

struct ProjectResult {
  ImageInfo image;
  std::string camera_file;        // --camera, or empty
  std::vector<Projected> points;  // those listed (--visible: visible ones)
  int visible = 0;
  std::size_t total = 0;  // points projected
};

ProjectResult Compute(const ProjectArgs& a) {
  const std::unique_ptr<Project> p = LoadProject(a.project, a.image, a.camera);
  const ProjectImage& img = RequireImage(*p, a.image);
  std::vector<const ProjectPoint*> points;
  for (const std::string& name : a.points) {
    const ProjectPoint* pt = p->FindPoint(name);
    if (!pt) throw InputError(a.project + ": unknown point '" + name + "'");
    points.push_back(pt);
  }
  if (a.points.empty())
    for (const ProjectPoint& pt : p->points()) points.push_back(&pt);
  const ImageSetup s = SetUp(*p, img);
  const CCrdCalculator& c = s.calc;
  ProjectResult r;
  r.image = Describe(*p, img, s);
  r.camera_file = a.camera;
  r.total = points.size();
  for (const ProjectPoint* pt : points) {
    IPropertyObject* o = pt->object.get();
    Projected x;
    x.name = pt->name;
    x.px = P2(kUndefined, kUndefined);
    x.in_front = c.GetPointOnImageCoords(o, x.px, false);
    x.in_picture = x.in_front && c.IsPointInAnglesOfVision(o);
    if (x.in_picture) ++r.visible;
    if (a.visible_only && !x.in_picture) continue;
    for (const ProjectControl& m : img.control)
      if (m.point == pt->name && !x.measured) {
        x.measured = true;
        x.m_px = P2(m.x_px, m.y_px);
      }
    r.points.push_back(x);
  }
  return r;
}

Report Render(const ProjectResult& r, int decimals) {
  Report rep;
  rep.json["command"] = "project";
  ImageSection(r.image, true, rep);
  if (!r.camera_file.empty()) {
    rep.json["camera_file"] = r.camera_file;
    rep.text += "Camera from " + r.camera_file + "\n";
  }
  rep.text += "\n";
  OrientationSection(r.image.pose, 4, rep.text, rep.json);
  Json& rows = rep.json["points"] = Json::array();
  Table t({"point", "x [px]", "y [px]", "", "dx [px]", "dy [px]"});
  for (const Projected& x : r.points) {
    const bool computed = !IsUndefined(x.px.x);
    std::string status = "visible";
    if (!computed)
      status = "no coordinates";
    else if (!x.in_front)
      status = "behind the camera";
    else if (!x.in_picture)
      status = "outside the picture";
    Json row = {{"name", x.name},
                {"x_px", computed ? Json(x.px.x) : Json()},
                {"y_px", computed ? Json(x.px.y) : Json()},
                {"in_front", x.in_front},
                {"in_picture", x.in_picture}};
    std::string dx, dy;
    if (x.measured) {
      row["measured"] = {{"x_px", x.m_px.x}, {"y_px", x.m_px.y}};
      if (computed) {
        row["measured"]["dx"] = x.px.x - x.m_px.x;
        row["measured"]["dy"] = x.px.y - x.m_px.y;
        dx = Fixed(x.px.x - x.m_px.x, decimals);
        dy = Fixed(x.px.y - x.m_px.y, decimals);
      }
    }
    rows.push_back(row);
    // A point behind the camera has a pixel, but not one to look for.
    t.AddRow({x.name,
              x.in_front ? Fixed(x.px.x, decimals) : "-",
              x.in_front ? Fixed(x.px.y, decimals) : "-",
              status,
              dx,
              dy});
  }
  rep.json["visible"] = r.visible;
  rep.text +=
      "\nPoints in pixels (x right, y down from the top-left "
      "corner); dx, dy: projected - measured\n" +
      t.Render() + std::to_string(r.visible) + " of " +
      std::to_string(r.total) + " points visible\n";
  return rep;
}

int RunProject(const ProjectArgs& a, const CommonOptions& common) {
  Print(Render(Compute(a), a.decimals), common);
  return kExitOk;
}

}  // namespace

Command AddProject(CLI::App& root, CommonOptions& common) {
  auto args = std::make_shared<ProjectArgs>();
  CLI::App* app = AddProjectCommand(
      root,
      "project",
      "Project the project's points into an image.\nThe image "
      "is oriented from its stored exterior orientation, else "
      "from the total-station measurement it was taken with, "
      "else by space resection from its control points. Prints "
      "each point's pixel position and whether it is visible (in "
      "front of the camera and inside the picture), and for "
      "measured control points projected - measured.\n",
      args->project);
  app->add_option("--image", args->image, "id of the image")->required();
  app->add_option("--camera",
                  args->camera,
                  "camera file (JSON) used instead of the image's camera: "
                  "interior orientation and lens distortion")
      ->check(CLI::ExistingFile);
  app->add_option("--point", args->points, "only these points (repeatable)");
  app->add_flag("--visible", args->visible_only, "list visible points only");
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunProject(*args, common); }};
}

}  // namespace collinear::cli
