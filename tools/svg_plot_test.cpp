#include "svg_plot.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace collinear::cli {
namespace {

// One element of a parsed document: name, attributes (entities resolved)
// and the character data directly inside it.
struct Element {
  std::string name;
  std::map<std::string, std::string> attr;
  std::string text;
  double Num(const std::string& a) const { return std::stod(attr.at(a)); }
  bool HasClass(const std::string& c) const {
    const auto it = attr.find("class");
    if (it == attr.end()) return false;
    const std::string padded = " " + it->second + " ";
    return padded.find(" " + c + " ") != std::string::npos;
  }
};

// A small XML reader, strict where SVG output goes wrong in practice: tags
// must nest and close, one root, quoted attributes, no bare '<' or '&'
// outside the five predefined entities. Fills error and returns false.
class XmlDoc {
 public:
  bool Parse(const std::string& s, std::string& error) {
    size_t i = 0;
    if (s.compare(0, 5, "<?xml") == 0) i = s.find("?>") + 2;
    std::vector<size_t> open;  // indices into elements_
    int roots = 0;
    while (i < s.size()) {
      if (s[i] != '<') {
        const size_t next = s.find('<', i);
        std::string text;
        if (!Unescape(s.substr(i, next - i), text, error)) return false;
        if (!open.empty())
          elements_[open.back()].text += text;
        else if (text.find_first_not_of(" \n\t\r") != std::string::npos)
          return Fail(error, "text outside the root element");
        i = next == std::string::npos ? s.size() : next;
        continue;
      }
      const size_t close = s.find('>', i);
      if (close == std::string::npos) return Fail(error, "unclosed tag");
      std::string tag = s.substr(i + 1, close - i - 1);
      i = close + 1;
      if (!tag.empty() && tag[0] == '/') {
        const std::string name = tag.substr(1);
        if (open.empty() || elements_[open.back()].name != name)
          return Fail(error, "mismatched </" + name + ">");
        open.pop_back();
        continue;
      }
      const bool empty = !tag.empty() && tag.back() == '/';
      if (empty) tag.pop_back();
      Element e;
      if (!ParseTag(tag, e, error)) return false;
      if (open.empty() && ++roots > 1) return Fail(error, "two roots");
      elements_.push_back(e);
      if (!empty) open.push_back(elements_.size() - 1);
    }
    if (!open.empty())
      return Fail(error,
                  "<" + elements_[open.back()].name + "> is never closed");
    if (roots != 1) return Fail(error, "no root element");
    return true;
  }
  const std::vector<Element>& elements() const { return elements_; }
  std::vector<Element> Select(const std::string& name,
                              const std::string& cls = "") const {
    std::vector<Element> out;
    for (const Element& e : elements_)
      if (e.name == name && (cls.empty() || e.HasClass(cls))) out.push_back(e);
    return out;
  }

 private:
  static bool Fail(std::string& error, const std::string& what) {
    error = what;
    return false;
  }
  static bool Unescape(const std::string& in,
                       std::string& out,
                       std::string& error) {
    static const std::map<std::string, char> kEntities = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
      if (in[i] == '<') return Fail(error, "bare '<' in " + in);
      if (in[i] != '&') {
        out += in[i];
        continue;
      }
      const size_t semi = in.find(';', i);
      if (semi == std::string::npos) return Fail(error, "bare '&' in " + in);
      const auto it = kEntities.find(in.substr(i + 1, semi - i - 1));
      if (it == kEntities.end()) return Fail(error, "unknown entity in " + in);
      out += it->second;
      i = semi;
    }
    return true;
  }
  static bool ParseTag(const std::string& tag, Element& e, std::string& error) {
    size_t i = tag.find_first_of(" \n\t");
    e.name = tag.substr(0, i);
    if (e.name.empty()) return Fail(error, "tag without a name");
    while (i != std::string::npos && i < tag.size()) {
      i = tag.find_first_not_of(" \n\t", i);
      if (i == std::string::npos) break;
      const size_t eq = tag.find('=', i);
      if (eq == std::string::npos || eq + 1 >= tag.size() || tag[eq + 1] != '"')
        return Fail(error, "unquoted attribute in <" + tag + ">");
      const std::string key = tag.substr(i, eq - i);
      const size_t end = tag.find('"', eq + 2);
      if (end == std::string::npos) return Fail(error, "open quote");
      std::string value;
      if (!Unescape(tag.substr(eq + 2, end - eq - 2), value, error))
        return false;
      if (!e.attr.emplace(key, value).second)
        return Fail(error, "repeated attribute " + key);
      i = end + 1;
    }
    return true;
  }
  std::vector<Element> elements_;
};

XmlDoc ParseOrFail(const std::string& svg) {
  XmlDoc doc;
  std::string error;
  EXPECT_TRUE(doc.Parse(svg, error)) << error;
  return doc;
}

double Length(const Element& line) {
  return std::hypot(line.Num("x2") - line.Num("x1"),
                    line.Num("y2") - line.Num("y1"));
}

// Points along x with the given residuals, so that a vector's x1 tells
// which point it belongs to.
ResidualPlot Row(const std::vector<std::pair<double, double>>& res) {
  ResidualPlot p;
  p.frame = PixelFrame(1000, 500);
  for (size_t i = 0; i < res.size(); ++i) {
    PlotPoint q;
    q.name = "P" + std::to_string(i);
    q.x = 100.0 * (i + 1);
    q.y = 250.0;
    q.vx = res[i].first;
    q.vy = res[i].second;
    p.points.push_back(q);
  }
  return p;
}

TEST(SvgPlot, RoundTo125PicksNearestStepOnLogScale) {
  // Boundaries are the geometric means: sqrt(2), sqrt(10), sqrt(50).
  const double cases[][2] = {{1.0, 1.0},
                             {1.41, 1.0},
                             {1.42, 2.0},
                             {3.16, 2.0},
                             {3.17, 5.0},
                             {7.07, 5.0},
                             {7.08, 10.0},
                             {576.9, 500},
                             {0.0031, 0.002},
                             {0.0032, 0.005},
                             {2e-7, 2e-7},
                             {9.99e5, 1e6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    EXPECT_NEAR(RoundTo125(c[0]), c[1], c[1] * 1e-12);
  }
  EXPECT_EQ(RoundTo125(0.0), 0.0);
  EXPECT_EQ(RoundTo125(-3.0), 0.0);
  EXPECT_EQ(RoundTo125(INFINITY), 0.0);
  EXPECT_EQ(RoundTo125(NAN), 0.0);
}

TEST(SvgPlot, AutoScaleDrawsLargestVectorNearEightPercent) {
  // 3000 x 2000 px: diagonal 3605.6, 8 % of it 288.4; for 0.5 px that is
  // 577, whose nearest 1-2-5 step is 500.
  std::vector<PlotPoint> pts(3);
  pts[0].vx = 0.3;
  pts[1].vx = -0.3;
  pts[1].vy = 0.4;  // length 0.5, the largest
  pts[2].vx = NAN;  // ignored
  const PlotFrame f = PixelFrame(3000, 2000);
  EXPECT_DOUBLE_EQ(AutoVectorScale(f, pts), 500.0);

  // Any residual size: a 1-2-5 step drawing the largest vector within the
  // rounding band around 8 % of the diagonal (a factor sqrt(2.5) at most).
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> exponent(-6.0, 3.0);
  const double diag = std::hypot(3000.0, 2000.0);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<PlotPoint> one(1);
    one[0].vy = std::pow(10.0, exponent(rng));
    const double s = AutoVectorScale(f, one);
    const double share = s * one[0].vy / diag;
    EXPECT_GE(share, 0.08 / std::sqrt(2.5) * (1 - 1e-12));
    EXPECT_LE(share, 0.08 * std::sqrt(2.5) * (1 + 1e-12));
    const double m = s / std::pow(10.0, std::floor(std::log10(s) + 1e-9));
    EXPECT_TRUE(std::fabs(m - 1) < 1e-9 || std::fabs(m - 2) < 1e-9 ||
                std::fabs(m - 5) < 1e-9)
        << s;
  }
  std::vector<PlotPoint> zero(2);
  EXPECT_EQ(AutoVectorScale(f, zero), 1.0);
  EXPECT_EQ(AutoVectorScale(f, {}), 1.0);
}

TEST(SvgPlot, NamesAreEscapedAndDocumentIsWellFormed) {
  ResidualPlot p = Row({{1, 0}, {0, 2}, {0.5, 0.5}});
  p.title = "fit <1> & \"2\"";
  p.points[0].name = "a<b&\"c'>";
  p.points[1].name = "bad\xFFutf8\x01";  // invalid byte, control character
  p.points[2].name = "Mü_点";            // valid UTF-8 stays
  p.caption = {"RMS < 1 px & ok"};
  const std::string svg = RenderResidualPlot(p);
  const XmlDoc doc = ParseOrFail(svg);
  EXPECT_EQ(doc.elements().front().name, "svg");
  EXPECT_EQ(doc.elements().front().attr.at("version"), "1.1");
  EXPECT_EQ(doc.elements().front().attr.at("xmlns"),
            "http://www.w3.org/2000/svg");

  std::vector<std::string> names;
  for (const Element& t : doc.Select("text", "name")) names.push_back(t.text);
  const auto has = [&](const std::string& prefix) {
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) {
      return n.compare(0, prefix.size(), prefix) == 0;
    });
  };
  EXPECT_TRUE(has("a<b&\"c'>"));
  EXPECT_TRUE(has("bad\xEF\xBF\xBDutf8\xEF\xBF\xBD"));
  EXPECT_TRUE(has("Mü_点"));
  EXPECT_NE(svg.find("a&lt;b&amp;&quot;c&apos;&gt;"), std::string::npos);
  EXPECT_EQ(svg.find('\xFF'), std::string::npos);
  EXPECT_EQ(svg.find('\x01'), std::string::npos);
  const std::vector<Element> captions = doc.Select("text", "caption");
  ASSERT_EQ(captions.size(), 1u);
  EXPECT_EQ(captions[0].text, "RMS < 1 px & ok");
}

TEST(SvgPlot, XmlEscapeRejectsMalformedUtf8) {
  EXPECT_EQ(XmlEscape("x\xC0\xAFy"),  // overlong '/'
            "x\xEF\xBF\xBD\xEF\xBF\xBDy");
  EXPECT_EQ(XmlEscape("\xED\xA0\x80"),  // a UTF-16 surrogate
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(XmlEscape("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // cut short
  EXPECT_EQ(XmlEscape("\xF0\x9F\x93\x90 \xE2\x82\xAC"),
            "\xF0\x9F\x93\x90 \xE2\x82\xAC");  // 4- and 3-byte forms kept
  EXPECT_EQ(XmlEscape("tab\tnew\nline"), "tab\tnew\nline");
}

TEST(SvgPlot, VectorsAndScaleBarShareOneStatedScale) {
  ResidualPlot p = Row({{0.3, 0.4}, {-1.2, 0.0}, {0.0, -0.25}});
  p.vector_scale = 100.0;
  const XmlDoc doc = ParseOrFail(RenderResidualPlot(p));
  std::vector<Element> vecs = doc.Select("line", "vec");
  ASSERT_EQ(vecs.size(), 3u);
  std::sort(vecs.begin(), vecs.end(), [](const Element& a, const Element& b) {
    return a.Num("x1") < b.Num("x1");
  });
  const double lengths[] = {0.5, 1.2, 0.25};
  const double per_unit = Length(vecs[1]) / lengths[1];  // document units
  const double kTolDoc = 0.02;  // coordinates are written to 0.01
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(Length(vecs[i]), per_unit * lengths[i], kTolDoc) << i;
  // 1000 px wide frame drawn 640 wide: 0.64 per pixel, times the scale.
  EXPECT_NEAR(per_unit, 0.64 * 100.0, kTolDoc);

  // The bar is the 1-2-5 step below the largest residual, 1 px here.
  const std::vector<Element> bar = doc.Select("line", "scalebar");
  ASSERT_EQ(bar.size(), 1u);
  EXPECT_NEAR(Length(bar[0]), per_unit * 1.0, kTolDoc);
  const std::vector<Element> label = doc.Select("text", "scale");
  ASSERT_EQ(label.size(), 1u);
  EXPECT_EQ(label[0].text,
            "residual of 1 px (vectors drawn \xC3\x97"
            "100)");

  // Pixel frame: a residual with vy < 0 points up on the page.
  EXPECT_LT(vecs[2].Num("y2"), vecs[2].Num("y1"));
  EXPECT_NEAR(vecs[2].Num("x2"), vecs[2].Num("x1"), kTolDoc);
  // Photo frame, y up: the same residual points down on the page, and a
  // point higher in y lies higher on the page.
  ResidualPlot q = p;
  q.frame = PhotoFrame(0, 0, 1000, 500);
  q.points[0].y = 400;
  const XmlDoc photo = ParseOrFail(RenderResidualPlot(q));
  std::vector<Element> pv = photo.Select("line", "vec");
  std::sort(pv.begin(), pv.end(), [](const Element& a, const Element& b) {
    return a.Num("x1") < b.Num("x1");
  });
  ASSERT_EQ(pv.size(), 3u);
  EXPECT_GT(pv[2].Num("y2"), pv[2].Num("y1"));
  EXPECT_LT(pv[0].Num("y1"), pv[1].Num("y1"));
}

TEST(SvgPlot, HighlightsTheLargestResidualsInRankOrder) {
  ResidualPlot p =
      Row({{0.1, 0}, {0, 0.9}, {0.3, 0}, {0, 0}, {-2.0, 0.1}, {0.2, 0.2}});
  p.highlight = 2;
  XmlDoc doc = ParseOrFail(RenderResidualPlot(p));
  std::vector<Element> hi = doc.Select("line", "hi");
  ASSERT_EQ(hi.size(), 2u);
  std::vector<std::string> hi_names;
  for (const Element& t : doc.Select("text", "hi")) hi_names.push_back(t.text);
  std::sort(hi_names.begin(), hi_names.end());
  EXPECT_EQ(hi_names, (std::vector<std::string>{"P1 (2)", "P4 (1)"}));
  // The highlighted vectors are the two longest ones drawn.
  std::vector<double> all;
  for (const Element& v : doc.Select("line", "vec")) all.push_back(Length(v));
  ASSERT_EQ(all.size(), 5u);  // the zero residual of P3 has no vector
  std::sort(all.rbegin(), all.rend());
  const double kTolDoc = 0.02;
  std::vector<double> hl = {Length(hi[0]), Length(hi[1])};
  std::sort(hl.rbegin(), hl.rend());
  EXPECT_NEAR(hl[0], all[0], kTolDoc);
  EXPECT_NEAR(hl[1], all[1], kTolDoc);

  // More requested than non-zero residuals: every non-zero one, no more.
  p.highlight = 10;
  doc = ParseOrFail(RenderResidualPlot(p));
  EXPECT_EQ(doc.Select("line", "hi").size(), 5u);
  p.highlight = 0;
  doc = ParseOrFail(RenderResidualPlot(p));
  EXPECT_TRUE(doc.Select("line", "hi").empty());
  EXPECT_TRUE(doc.Select("line", "legend-hi").empty());
  EXPECT_EQ(doc.Select("text", "name").size(), 6u);
}

TEST(SvgPlot, DenseFieldNamesOnlyHighlightedPoints) {
  std::vector<std::pair<double, double>> res(100, {0.1, 0.0});
  res[37] = {0.0, 3.0};
  ResidualPlot p = Row(res);
  p.frame = PixelFrame(10100, 500);
  p.highlight = 1;
  const XmlDoc doc = ParseOrFail(RenderResidualPlot(p));
  const std::vector<Element> names = doc.Select("text", "name");
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].text, "P37 (1)");
  EXPECT_EQ(doc.Select("circle").size(), 100u);
}

TEST(SvgPlot, RadialCurvePanelOnlyWithSamples) {
  ResidualPlot p = Row({{0.2, 0.1}});
  EXPECT_TRUE(ParseOrFail(RenderResidualPlot(p)).Select("g", "radial").empty());

  for (int i = 0; i <= 10; ++i)
    p.radial.samples.push_back({i * 1.5, -2e-4 * std::pow(i * 1.5, 3)});
  p.radial.samples.push_back({NAN, 1.0});  // skipped
  p.radial.value_unit = "mm";
  p.radial.markers = {{10.8, "picture corner"}};
  const XmlDoc doc = ParseOrFail(RenderResidualPlot(p));
  ASSERT_EQ(doc.Select("g", "radial").size(), 1u);
  const std::vector<Element> curve = doc.Select("polyline", "curve");
  ASSERT_EQ(curve.size(), 1u);
  const std::string& pts = curve[0].attr.at("points");
  EXPECT_EQ(std::count(pts.begin(), pts.end(), ','), 11);
  EXPECT_EQ(doc.Select("line", "marker").size(), 1u);
  std::vector<std::string> texts;
  for (const Element& t : doc.Select("text")) texts.push_back(t.text);
  for (const char* want :
       {"radius [mm]", "radial correction [mm]", "picture corner"})
    EXPECT_NE(std::find(texts.begin(), texts.end(), want), texts.end()) << want;
}

TEST(SvgPlot, NonFiniteValuesNeverReachTheDocument) {
  ResidualPlot p = Row({{0.2, 0.1}, {NAN, 0.0}, {0.1, 0.1}});
  p.points[2].x = INFINITY;
  p.radial.samples = {{0.0, 0.0}, {1.0, NAN}, {2.0, -1e-3}};
  p.radial.markers = {{NAN, "n"}};
  p.vector_scale = NAN;  // falls back to the automatic scale
  const std::string svg = RenderResidualPlot(p);
  const XmlDoc doc = ParseOrFail(svg);
  EXPECT_EQ(svg.find("nan"), std::string::npos);
  EXPECT_EQ(svg.find("inf"), std::string::npos);
  EXPECT_EQ(doc.Select("circle").size(), 2u);
  EXPECT_EQ(doc.Select("line", "vec").size(), 1u);

  ResidualPlot zero = Row({{0, 0}, {0, 0}});
  const XmlDoc z = ParseOrFail(RenderResidualPlot(zero));
  EXPECT_TRUE(z.Select("line", "scalebar").empty());
  ASSERT_EQ(z.Select("text", "scale").size(), 1u);
  EXPECT_EQ(z.Select("text", "scale")[0].text, "all residuals are zero");
}

}  // namespace
}  // namespace collinear::cli
