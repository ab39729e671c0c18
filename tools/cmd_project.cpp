// project: the project's points projected into one image, each row written
// as it is computed, so that memory does not grow with the points.
#include <algorithm>
#include <cstddef>
#include <string_view>
#include <unordered_map>

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
  const ProjectPoint* point = nullptr;
  P2 px;                  // undefined when the point has no coordinates
  bool in_front = false;  // of the camera
  bool in_picture = false;
  const ProjectControl* measured = nullptr;  // its pixel in the image
};

// Writes the report: the image and its orientation, then one row per
// point as it comes, then the count of visible points.
class ProjectWriter {
 public:
  ProjectWriter(StreamedReport& out, int decimals) : out_(out), d_(decimals) {}
  void Begin(const ImageInfo& image,
             const std::string& camera_file,
             const std::vector<const ProjectPoint*>& names,
             bool visible_only);
  void Row(const Projected& x);
  void End(std::size_t visible, std::size_t total);

 private:
  StreamedReport& out_;
  int d_;
  std::unique_ptr<RowTable> table_;
  NumberText num_[4];
};

void ProjectWriter::Begin(const ImageInfo& image,
                          const std::string& camera_file,
                          const std::vector<const ProjectPoint*>& names,
                          bool visible_only) {
  Report head;
  head.json["command"] = "project";
  ImageSection(image, true, head);
  if (!camera_file.empty()) {
    head.json["camera_file"] = camera_file;
    head.text += "Camera from " + camera_file + "\n";
  }
  head.text += "\n";
  OrientationSection(image.pose, 4, head.text, head.json);
  if (out_.json) {
    out_.writer.BeginObject();
    out_.writer.Members(head.json);
    out_.writer.BeginArray("points");
    return;
  }
  out_.out << head.text
           << "\nPoints in pixels (x right, y down from the top-left "
              "corner); dx, dy: projected - measured\n";
  // Room for pixels one picture off its left or top edge, and for
  // differences below a thousand pixels.
  const double extent = std::max(image.width_px, image.height_px);
  const std::size_t px = FixedIn(num_[0], -extent, d_).size();
  const std::size_t dpx = FixedIn(num_[0], -999.0, d_).size();
  RowTable::Column name{"point", 0, true};
  for (const ProjectPoint* p : names) {
    name.width = std::max(name.width, DisplayWidth(p->name));
    name.numeric = name.numeric && LooksNumeric(p->name);
  }
  table_ = std::make_unique<RowTable>(std::vector<RowTable::Column>{
      name,
      {"x [px]", px, true},
      {"y [px]", px, true},
      {"", visible_only ? 7u : 19u, false},  // "outside the picture"
      {"dx [px]", dpx, true},
      {"dy [px]", dpx, true}});
  table_->WriteHead(out_.out);
}

void ProjectWriter::Row(const Projected& x) {
  const bool computed = !IsUndefined(x.px.x);
  const ProjectControl* m = x.measured;
  if (out_.json) {
    JsonWriter& j = out_.writer;
    j.BeginObject();
    j.String("name", x.point->name);
    if (computed) {
      j.Number("x_px", x.px.x);
      j.Number("y_px", x.px.y);
    } else {
      j.Null("x_px");
      j.Null("y_px");
    }
    j.Bool("in_front", x.in_front);
    j.Bool("in_picture", x.in_picture);
    if (m) {
      j.BeginObject("measured");
      j.Number("x_px", m->x_px);
      j.Number("y_px", m->y_px);
      if (computed) {
        j.Number("dx", x.px.x - m->x_px);
        j.Number("dy", x.px.y - m->y_px);
      }
      j.End();
    }
    j.End();
    return;
  }
  std::string_view status = "visible";
  if (!computed)
    status = "no coordinates";
  else if (!x.in_front)
    status = "behind the camera";
  else if (!x.in_picture)
    status = "outside the picture";
  // A point behind the camera has a pixel, but not one to look for.
  const bool diff = m && computed;
  const std::string_view cells[6] = {
      x.point->name,
      x.in_front ? FixedIn(num_[0], x.px.x, d_) : "-",
      x.in_front ? FixedIn(num_[1], x.px.y, d_) : "-",
      status,
      diff ? FixedIn(num_[2], x.px.x - m->x_px, d_) : "",
      diff ? FixedIn(num_[3], x.px.y - m->y_px, d_) : ""};
  table_->WriteRow(out_.out, cells);
}

void ProjectWriter::End(std::size_t visible, std::size_t total) {
  if (out_.json) {
    out_.writer.End();
    out_.writer.Integer("visible", static_cast<long long>(visible));
    return;
  }
  out_.out << std::to_string(visible) << " of " << std::to_string(total)
           << " points visible\n";
}

int RunProject(const ProjectArgs& a, const CommonOptions& common) {
  const std::unique_ptr<Project> p = LoadProject(a.project, a.image, a.camera);
  const ProjectImage& img = RequireImage(*p, a.image);
  std::vector<const ProjectPoint*> points;
  for (const std::string& name : a.points) {
    const ProjectPoint* pt = p->FindPoint(name);
    if (!pt) throw InputError(a.project + ": unknown point '" + name + "'");
    points.push_back(pt);
  }
  if (a.points.empty()) {
    points.reserve(p->points().size());
    for (const ProjectPoint& pt : p->points()) points.push_back(&pt);
  }
  const ImageSetup s = SetUp(*p, img);
  const CCrdCalculator& c = s.calc;
  // The first measurement of each point in the image.
  std::unordered_map<std::string_view, const ProjectControl*> measured;
  measured.reserve(img.control.size());
  for (const ProjectControl& m : img.control) measured.emplace(m.point, &m);

  StreamedReport out(common);
  ProjectWriter w(out, a.decimals);
  return out.Run([&] {
    w.Begin(Describe(*p, img, s), a.camera, points, a.visible_only);
    std::size_t visible = 0;
    for (const ProjectPoint* pt : points) {
      const ComPtr<HostObject> object = p->PointObject(*pt);
      Projected x;
      x.point = pt;
      x.px = P2(kUndefined, kUndefined);
      x.in_front = c.GetPointOnImageCoords(object.get(), x.px, false);
      x.in_picture = x.in_front && c.IsPixelInPicture(x.px);
      if (x.in_picture) ++visible;
      if (a.visible_only && !x.in_picture) continue;
      const auto m = measured.find(pt->name);
      if (m != measured.end()) x.measured = m->second;
      w.Row(x);
    }
    w.End(visible, points.size());
    return kExitOk;
  });
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
