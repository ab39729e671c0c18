// Project-file loader on arbitrary bytes. A loaded project must answer for
// every point through a calculator in its working system and through the
// calculator that each image sets up; the JSON layout of project files
// must be stable (laying out its own output changes nothing) and keep the
// document (the laid-out text loads as the original does).
#include <cstdint>
#include <memory>
#include <string>

#include <collinear/calculator/crd_calculator.h>
#include <collinear/geo/geo_host.h>
#include <collinear/io/project_file.h>
#include "fuzz_input.h"

namespace {

// Pictures are looked up here: nowhere, so no file is ever read.
const char kNoFolder[] = "/nonexistent/collinear-fuzz";

void Walk(const collinear::Project& p) {
  CCrdCalculator c;
  std::int32_t kind = 0;
  p.working_object()->get_raw_value(collinear::kGeoPropKind, &kind, 0);
  c.m_CrdSysType = kind;
  c.m_CrdSysObject = TComPropertyObject(p.working_object());
  for (const collinear::ProjectPoint& pt : p.points())
    c.GetPointAbsCoords(p.PointObject(pt).get(), nullptr, 0);
  // Each image's calculator as the host sets it up (camera, stored or
  // control-point orientation, instrument mount), then every point through
  // it.
  for (const collinear::ProjectImage& img : p.images()) {
    CCrdCalculator ci;
    ci.InitFromAnyImage(img.object.get());
    for (const collinear::ProjectPoint& pt : p.points()) {
      TAbstractPoint2<double> pixel;
      const auto object = p.PointObject(pt);
      ci.GetPointOnImageCoords(object.get(), pixel, false);
      ci.IsPointInAnglesOfVision(object.get());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const std::unique_ptr<collinear::Project> p =
      collinear::Project::Parse(text, "fuzz", kNoFolder, error);
  if (p) Walk(*p);

  std::string laid_out, again;
  if (collinear::FormatProjectJson(text, laid_out, error)) {
    fuzz::Check(collinear::FormatProjectJson(laid_out, again, error),
                "laid-out text is no JSON");
    fuzz::Check(again == laid_out, "layout not stable");
    const bool loads = collinear::Project::Parse(
                           laid_out, "fuzz", kNoFolder, error) != nullptr;
    fuzz::Check(loads == (p != nullptr), "layout changed the document");
  }
  return 0;
}
