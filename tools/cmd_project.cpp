// project: the project's points projected into one image.
#include <cmath>
#include <sstream>

#include <collinear/primitives/constants.h>

#include "commands.h"
#include "project_image.h"

namespace collinear::cli {
namespace {

const ProjectControl* MeasuredIn(const ProjectImage& img,
                                 const std::string& point) {
  for (const ProjectControl& c : img.control)
    if (c.point == point) return &c;
  return nullptr;
}

struct ProjectArgs {
  std::string project, image;
  std::vector<std::string> points;
  bool visible_only = false;
  int decimals = 2;
};

int RunProject(const ProjectArgs& a, const CommonOptions& common) {
  const std::unique_ptr<Project> p = LoadProject(a.project);
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

  Json doc;
  doc["command"] = "project";
  doc["image"] = img.id;
  doc["camera"] = img.camera;
  doc["orientation_from"] = s.source;
  const TAbstractRect<double> rect = c.GetPictureRect();
  doc["picture_px"] = {rect.right - rect.left, rect.bottom - rect.top};
  doc["projection_centre"] = PointJson(c.GetOrigin());
  doc["angles"] = AngleJson(Angles(c));
  Json rows = Json::array();
  Table t({"point", "x [px]", "y [px]", "", "dx [px]", "dy [px]"});
  int visible = 0;
  for (const ProjectPoint* pt : points) {
    IPropertyObject* o = pt->object.get();
    P2 px(kUndefined, kUndefined);
    const bool in_front = c.GetPointOnImageCoords(o, px, false);
    const bool in_picture = in_front && c.IsPointInAnglesOfVision(o);
    const bool computed = !IsUndefined(px.x);
    std::string status = "visible";
    if (!computed)
      status = "no coordinates";
    else if (!in_front)
      status = "behind the camera";
    else if (!in_picture)
      status = "outside the picture";
    if (in_picture) ++visible;
    if (a.visible_only && !in_picture) continue;
    Json row = {{"name", pt->name},
                {"x_px", computed ? Json(px.x) : Json()},
                {"y_px", computed ? Json(px.y) : Json()},
                {"in_front", in_front},
                {"in_picture", in_picture}};
    std::string dx, dy;
    if (const ProjectControl* m = MeasuredIn(img, pt->name)) {
      row["measured"] = {{"x_px", m->x_px}, {"y_px", m->y_px}};
      if (computed) {
        row["measured"]["dx"] = px.x - m->x_px;
        row["measured"]["dy"] = px.y - m->y_px;
        dx = Fixed(px.x - m->x_px, a.decimals);
        dy = Fixed(px.y - m->y_px, a.decimals);
      }
    }
    rows.push_back(row);
    // A point behind the camera has a pixel, but not one to look for.
    t.AddRow({pt->name,
              in_front ? Fixed(px.x, a.decimals) : "-",
              in_front ? Fixed(px.y, a.decimals) : "-",
              status,
              dx,
              dy});
  }
  doc["points"] = rows;
  doc["visible"] = visible;

  std::ostringstream text;
  text << ImageHeader(*p, img, c) << "Orientation from: " << s.source << "\n\n"
       << OrientationTable(c, 4) << "\nPoints in pixels (x right, y down "
       << "from the top-left corner); dx, dy: projected - measured\n"
       << t.Render() << visible << " of " << points.size()
       << " points visible\n";
  Emit(common, doc, text.str());
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
  app->add_option("--point", args->points, "only these points (repeatable)");
  app->add_flag("--visible", args->visible_only, "list visible points only");
  AddOutputOptions(app, args->decimals, common);
  return {app, [args, &common] { return RunProject(*args, common); }};
}

}  // namespace collinear::cli
