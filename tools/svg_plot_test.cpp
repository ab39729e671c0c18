#include "svg_plot.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <expat.h>
#include <gtest/gtest.h>

namespace collinear::cli {
namespace {

// One element of a parsed document: attributes and the character data
// directly inside it, entities resolved.
struct Element {
  std::string name;
  std::map<std::string, std::string> attr;
  std::string text;
  double Num(const std::string& a) const { return std::stod(attr.at(a)); }
};

struct Doc {
  std::vector<Element> all;
  std::vector<size_t> open;
  // Elements of that name whose class list holds cls (any when empty).
  std::vector<Element> Select(const std::string& name,
                              const std::string& cls = "") const {
    std::vector<Element> out;
    for (const Element& e : all) {
      const auto c = e.attr.find("class");
      const std::string list = " " + (c == e.attr.end() ? "" : c->second) + " ";
      if (e.name == name &&
          (cls.empty() || list.find(" " + cls + " ") != std::string::npos))
        out.push_back(e);
    }
    return out;
  }
};

// Parses the document with expat, a strict XML parser (nesting, quoting,
// entities, valid UTF-8); a parse error fails the test.
Doc Parse(const std::string& svg) {
  Doc d;
  XML_Parser p = XML_ParserCreate("UTF-8");
  XML_SetUserData(p, &d);
  XML_SetElementHandler(
      p,
      [](void* u, const XML_Char* name, const XML_Char** atts) {
        Doc& d = *static_cast<Doc*>(u);
        Element e{name, {}, {}};
        for (int i = 0; atts[i]; i += 2) e.attr[atts[i]] = atts[i + 1];
        d.open.push_back(d.all.size());
        d.all.push_back(e);
      },
      [](void* u, const XML_Char*) { static_cast<Doc*>(u)->open.pop_back(); });
  XML_SetCharacterDataHandler(p, [](void* u, const XML_Char* s, int n) {
    Doc& d = *static_cast<Doc*>(u);
    if (!d.open.empty()) d.all[d.open.back()].text.append(s, n);
  });
  EXPECT_EQ(XML_Parse(p, svg.data(), static_cast<int>(svg.size()), 1),
            XML_STATUS_OK)
      << XML_ErrorString(XML_GetErrorCode(p)) << " at line "
      << XML_GetCurrentLineNumber(p);
  XML_ParserFree(p);
  return d;
}

double Length(const Element& l) {
  return std::hypot(l.Num("x2") - l.Num("x1"), l.Num("y2") - l.Num("y1"));
}

// Vectors in point order: each point lies further right than the last.
std::vector<Element> Vectors(const Doc& d) {
  std::vector<Element> v = d.Select("line", "vec");
  std::sort(v.begin(), v.end(), [](const Element& a, const Element& b) {
    return a.Num("x1") < b.Num("x1");
  });
  return v;
}

// Points P0, P1, ... along x at y = 250 of a 1000 x 500 px picture.
ResidualPlot Row(const std::vector<std::pair<double, double>>& res) {
  ResidualPlot p;
  p.frame = PixelFrame(1000, 500);
  for (size_t i = 0; i < res.size(); ++i)
    p.points.push_back({"P" + std::to_string(i),
                        100.0 * static_cast<double>(i + 1),
                        250.0,
                        res[i].first,
                        res[i].second});
  return p;
}

const double kTolDoc = 0.02;  // coordinates are written to 0.01

TEST(SvgPlot, RoundTo125PicksNearestStepOnLogScale) {
  // Boundaries are the geometric means: sqrt(2), sqrt(10), sqrt(50).
  const double v[] = {1.41, 1.42, 3.16, 3.17, 7.07, 7.08, 3.2e-3, 9.99e5};
  const double step[] = {1, 2, 2, 5, 5, 10, 5e-3, 1e6};
  for (int i = 0; i < 8; ++i)
    EXPECT_NEAR(RoundTo125(v[i]), step[i], step[i] * 1e-12) << v[i];
  for (double none : {0.0, -3.0, double(INFINITY), double(NAN)})
    EXPECT_EQ(RoundTo125(none), 0.0) << none;
}

TEST(SvgPlot, AutoScaleDrawsLargestVectorNearEightPercent) {
  // Any residual size: a 1-2-5 step drawing the largest vector within the
  // rounding band around 8 % of the diagonal (a factor sqrt(2.5) at most).
  const PlotFrame f = PixelFrame(3000, 2000);
  const double diag = std::hypot(3000.0, 2000.0);
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> exponent(-6.0, 3.0);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<PlotPoint> pts(1);
    pts[0].vy = std::pow(10.0, exponent(rng));
    const double s = AutoVectorScale(f, pts);
    EXPECT_NEAR(std::log(s * pts[0].vy / diag / 0.08),
                0.0,
                std::log(std::sqrt(2.5)) + 1e-12);
    EXPECT_DOUBLE_EQ(RoundTo125(s), s);
  }
  EXPECT_EQ(AutoVectorScale(f, std::vector<PlotPoint>(2)), 1.0);
}

TEST(SvgPlot, TextIsEscapedAndValidUtf8) {
  ResidualPlot p = Row({{1, 0}, {0, 2}, {0.5, 0.5}});
  p.title = "fit <1> & \"2\"";
  p.points[0].name = "a<b&\"c'>";
  p.points[1].name = "bad\xFFutf8\x01";  // invalid byte, control character
  p.points[2].name = "Mü_点";            // valid UTF-8 stays
  p.caption = {"RMS < 1 px & ok"};
  const Doc d = Parse(RenderResidualPlot(p));
  EXPECT_EQ(d.all.at(0).attr.at("xmlns"), "http://www.w3.org/2000/svg");
  std::string names;
  for (const Element& t : d.Select("text", "name")) names += t.text + "|";
  for (const char* want :
       {"a<b&\"c'>", "bad\xEF\xBF\xBDutf8\xEF\xBF\xBD", "Mü_点"})
    EXPECT_NE(names.find(want), std::string::npos) << names;
  EXPECT_EQ(d.Select("text", "caption").at(0).text, "RMS < 1 px & ok");

  const std::pair<const char*, const char*> escapes[] = {
      {"x\xC0\xAFy", "x\xEF\xBF\xBD\xEF\xBF\xBDy"},              // overlong '/'
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // cut short
      {"\xF0\x9F\x93\x90 \xE2\x82\xAC", "\xF0\x9F\x93\x90 \xE2\x82\xAC"},
      {"tab\tnew\nline", "tab\tnew\nline"}};
  for (const auto& e : escapes) EXPECT_EQ(XmlEscape(e.first), e.second);
}

TEST(SvgPlot, VectorsAndScaleBarShareOneStatedScale) {
  ResidualPlot p = Row({{0.3, 0.4}, {-1.2, 0.0}, {0.0, -0.25}});
  p.vector_scale = 100.0;
  const Doc d = Parse(RenderResidualPlot(p));
  const std::vector<Element> vecs = Vectors(d);
  ASSERT_EQ(vecs.size(), 3u);
  // 1000 px wide frame drawn 640 wide: 0.64 per pixel, times the scale.
  const double per_unit = 0.64 * 100.0;
  const double lengths[] = {0.5, 1.2, 0.25};
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(Length(vecs[i]), per_unit * lengths[i], kTolDoc) << i;
  // The bar is the 1-2-5 step below the largest residual, 1 px here.
  ASSERT_EQ(d.Select("line", "scalebar").size(), 1u);
  EXPECT_NEAR(Length(d.Select("line", "scalebar")[0]), per_unit, kTolDoc);
  EXPECT_EQ(d.Select("text", "scale").at(0).text,
            "residual of 1 px (vectors drawn \xC3\x97"
            "100)");
  // Pixel frame: vy < 0 points up the page; a photo frame (y up) turns it
  // down, and puts a point higher in y higher on the page.
  EXPECT_LT(vecs[2].Num("y2"), vecs[2].Num("y1"));
  p.frame = PhotoFrame(0, 0, 1000, 500);
  p.points[0].y = 400;
  const std::vector<Element> photo = Vectors(Parse(RenderResidualPlot(p)));
  ASSERT_EQ(photo.size(), 3u);
  EXPECT_GT(photo[2].Num("y2"), photo[2].Num("y1"));
  EXPECT_LT(photo[0].Num("y1"), photo[1].Num("y1"));
}

TEST(SvgPlot, HighlightsAndNamesTheLargestResiduals) {
  ResidualPlot p =
      Row({{0.1, 0}, {0, 0.9}, {0.3, 0}, {0, 0}, {-2.0, 0.1}, {0.2, 0.2}});
  // The largest ones, named with their rank; never more than the non-zero
  // ones.
  const int highlight[] = {2, 10, 0};
  const char* named[] = {
      "P1 (2)|P4 (1)|", "P0 (5)|P1 (2)|P2 (3)|P4 (1)|P5 (4)|", ""};
  for (int k = 0; k < 3; ++k) {
    p.highlight = highlight[k];
    const Doc d = Parse(RenderResidualPlot(p));
    std::string names;
    for (const Element& t : d.Select("text", "hi")) names += t.text + "|";
    EXPECT_EQ(names, named[k]);
    EXPECT_EQ(d.Select("line", "hi").size(), std::min(highlight[k], 5) + 0u);
    EXPECT_EQ(d.Select("text", "name").size(), 6u);  // below name_limit
  }
  // A dense field names only the highlighted points.
  std::vector<std::pair<double, double>> res(100, {0.1, 0.0});
  res[37] = {0.0, 3.0};
  ResidualPlot dense = Row(res);
  dense.frame = PixelFrame(10100, 500);
  dense.highlight = 1;
  const Doc d = Parse(RenderResidualPlot(dense));
  ASSERT_EQ(d.Select("text", "name").size(), 1u);
  EXPECT_EQ(d.Select("text", "name")[0].text, "P37 (1)");
  EXPECT_EQ(d.Select("circle").size(), 100u);
}

TEST(SvgPlot, RadialCurvePanelOnlyWithSamples) {
  ResidualPlot p = Row({{0.2, 0.1}});
  EXPECT_TRUE(Parse(RenderResidualPlot(p)).Select("g", "radial").empty());
  for (int i = 0; i <= 10; ++i)
    p.radial.samples.emplace_back(i * 1.5, -2e-4 * std::pow(i * 1.5, 3));
  p.radial.samples.emplace_back(NAN, 1.0);  // skipped
  p.radial.markers = {{10.8, "picture corner"}};
  const Doc d = Parse(RenderResidualPlot(p));
  ASSERT_EQ(d.Select("polyline", "curve").size(), 1u);
  const std::string pts = d.Select("polyline", "curve")[0].attr.at("points");
  EXPECT_EQ(std::count(pts.begin(), pts.end(), ','), 11);
  EXPECT_EQ(d.Select("line", "marker").size(), 1u);
  std::string texts;
  for (const Element& t : d.Select("text")) texts += t.text + "|";
  for (const char* want :
       {"|radius [mm]|", "|radial correction [mm]|", "|picture corner|"})
    EXPECT_NE(texts.find(want), std::string::npos) << want;
}

TEST(SvgPlot, ManyPointsThinToCellMeansKeepingBlunders) {
  // 200,000 points on a 4000 x 3000 px picture: a residual field growing
  // along x to 0.5 px, 0.1 px of noise, a blunder, and an outlier as small
  // as the noise. Drawn at 100 x on 0.16 document units per pixel.
  ResidualPlot p;
  p.frame = PixelFrame(4000, 3000);
  p.vector_scale = 100.0;
  const int n = 200000;
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> ux(0.0, 4000.0), uy(0.0, 3000.0);
  std::normal_distribution<double> noise(0.0, 0.1);
  for (int i = 0; i < n; ++i) {
    const double x = ux(rng);
    p.points.push_back({"N" + std::to_string(i),
                        x,
                        uy(rng),
                        0.5 * x / 4000.0 + noise(rng),
                        noise(rng)});
  }
  p.points[777] = {"Süd-3", 100, 100, 0.0, 2.0};
  p.points[888].outlier = true;
  const std::string svg = RenderResidualPlot(p);
  EXPECT_LT(svg.size(), 2000000u);
  const Doc d = Parse(svg);
  std::string names = "|";
  for (const Element& t : d.Select("text", "name")) names += t.text + "|";
  EXPECT_NE(names.find("|Süd-3 (1)|"), std::string::npos) << names;
  EXPECT_NE(names.find("|N888|"), std::string::npos) << names;
  // Every point drawn once: singly, or counted in its cell.
  const std::vector<Element> means = d.Select("line", "mean");
  const size_t singles = d.Select("line", "vec").size() - means.size();
  int counted = 0;
  for (const Element& t : d.Select("text", "count"))
    counted += std::stoi(t.text);
  EXPECT_EQ(counted + singles, static_cast<size_t>(n));
  EXPECT_EQ(d.Select("text", "thinning")
                .at(0)
                .text.rfind(std::to_string(counted) + " points in " +
                                std::to_string(means.size()) + " cells",
                            0),
            0u);
  // Each mean vector is the field at its cell's mean position: 0.1 px of
  // noise over about 260 points a cell is 0.1 document units.
  const double left = d.Select("rect").at(1).Num("x"), kTolMean = 0.5;
  for (const Element& m : means) {
    const double x_px = (m.Num("x1") - left) / 0.16;
    EXPECT_NEAR(
        m.Num("x2") - m.Num("x1"), 16.0 * 0.5 * x_px / 4000.0, kTolMean);
    EXPECT_NEAR(m.Num("y2") - m.Num("y1"), 0.0, kTolMean);
  }
}

TEST(SvgPlot, NonFiniteValuesNeverReachTheDocument) {
  ResidualPlot p = Row({{0.2, 0.1}, {NAN, 0.0}, {0.1, 0.1}});
  p.points[2].x = INFINITY;
  p.radial.samples = {{0.0, 0.0}, {1.0, NAN}, {2.0, -1e-3}};
  p.radial.markers = {{NAN, "n"}};
  p.vector_scale = NAN;  // falls back to the automatic scale
  const std::string svg = RenderResidualPlot(p);
  const Doc d = Parse(svg);
  EXPECT_EQ(svg.find("nan"), std::string::npos);
  EXPECT_EQ(svg.find("inf"), std::string::npos);
  EXPECT_EQ(d.Select("circle").size(), 2u);
  EXPECT_EQ(d.Select("line", "vec").size(), 1u);
  const Doc zero = Parse(RenderResidualPlot(Row({{0, 0}, {0, 0}})));
  EXPECT_TRUE(zero.Select("line", "scalebar").empty());
  EXPECT_EQ(zero.Select("text", "scale").at(0).text, "all residuals are zero");
}

}  // namespace
}  // namespace collinear::cli
