#include "svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <sstream>

namespace collinear::cli {
namespace {

// Layout in SVG user units (CSS pixels).
constexpr double kMargin = 20.0;
constexpr double kFrameMaxW = 640.0, kFrameMaxH = 480.0;
constexpr double kYLabelRoom = 62.0;  // y tick labels and the y axis title
constexpr double kTickRoom = 26.0;    // x tick labels above or below a box
constexpr double kPanelGap = 96.0;    // frame to curve panel
constexpr double kPanelW = 320.0, kPanelH = 240.0;
constexpr double kLine = 17.0;  // caption line height
// Largest residual drawn at this share of the frame diagonal.
constexpr double kTargetShare = 0.08;
// Thinned pictures: grid cells of this size in the document (at most 32 x
// 24 over the frame), and at most this many points drawn singly; together
// they keep a picture of any number of points well below 1 MB.
constexpr double kCellDoc = 20.0;
constexpr int kMaxSingles = 500;
// Residuals beyond this many times the RMS are drawn singly: a blunder
// must never vanish in a mean.
constexpr double kSingleFactor = 3.0;

const char* const kVecColour = "#1f5fbf";
const char* const kHiColour = "#d62728";
const char* const kCurveColour = "#2a7d2a";

// Coordinates in the document: two decimals are a hundredth of a CSS pixel.
std::string Num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  std::string s = buf;
  if (s == "-0.00") s = "0.00";
  return s;
}

// Up to four significant digits for labels, trailing zeros removed.
std::string Label(double v) {
  if (v == 0.0 || !std::isfinite(v)) return "0";
  const double a = std::fabs(v);
  char buf[48];
  if (a >= 1e-3 && a < 1e7) {
    const int mag = static_cast<int>(std::floor(std::log10(a)));
    const int decimals = std::clamp(3 - mag, 0, 6);
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    std::string s = buf;
    if (s.find('.') != std::string::npos) {
      s.erase(s.find_last_not_of('0') + 1);
      if (s.back() == '.') s.pop_back();
    }
    return s;
  }
  std::snprintf(buf, sizeof buf, "%.3g", v);
  return buf;
}

// Labels of ticks at multiples of step: as many decimals as the step needs.
std::string TickLabel(double v, double step) {
  const int decimals =
      std::clamp(-static_cast<int>(std::floor(std::log10(step) + 1e-9)), 0, 9);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  std::string s = buf;
  if (s.find_first_not_of("-0.") == std::string::npos) s = "0";
  return s;
}

// Splits v > 0 into m * p with m in [1, 10) and p a power of ten.
void Split(double v, double& m, double& p) {
  p = std::pow(10.0, std::floor(std::log10(v)));
  m = v / p;
  if (m >= 10.0) {
    m /= 10.0;
    p *= 10.0;
  } else if (m < 1.0) {
    m *= 10.0;
    p /= 10.0;
  }
}

// Mantissas within this of a step count as the step (rounding of log10).
constexpr double kStepSlack = 1e-9;

// The 1-2-5 step at or below v (v > 0, finite).
double Floor125(double v) {
  double m, p;
  Split(v, m, p);
  return (m >= 5.0 - kStepSlack ? 5.0 : m >= 2.0 - kStepSlack ? 2.0 : 1.0) * p;
}

// The 1-2-5 step at or above v (v > 0, finite).
double Ceil125(double v) {
  double m, p;
  Split(v, m, p);
  return (m <= 1.0 + kStepSlack   ? 1.0
          : m <= 2.0 + kStepSlack ? 2.0
          : m <= 5.0 + kStepSlack ? 5.0
                                  : 10.0) *
         p;
}

// Tick positions: multiples of a 1-2-5 step, about five across [lo, hi].
std::vector<double> Ticks(double lo, double hi, double& step) {
  std::vector<double> t;
  step = 0.0;
  if (!(hi > lo)) return t;
  step = Ceil125((hi - lo) / 6.0);
  const double first = std::ceil(lo / step - 1e-9);
  const double last = std::floor(hi / step + 1e-9);
  if (!(std::fabs(first) < 1e15 && std::fabs(last) < 1e15)) return t;
  for (auto i = static_cast<long long>(first);
       i <= static_cast<long long>(last);
       ++i)
    t.push_back(static_cast<double>(i) * step);
  return t;
}

bool Finite(double a, double b) { return std::isfinite(a) && std::isfinite(b); }

// An arrow from (x1, y1) to (x2, y2) in document units: a line and a
// filled head whose size follows the stroke width.
void Arrow(std::ostringstream& o,
           double x1,
           double y1,
           double x2,
           double y2,
           const char* colour,
           double width,
           const char* cls) {
  o << "<line class=\"" << cls << "\" x1=\"" << Num(x1) << "\" y1=\"" << Num(y1)
    << "\" x2=\"" << Num(x2) << "\" y2=\"" << Num(y2) << "\" stroke=\""
    << colour << "\" stroke-width=\"" << Num(width) << "\"/>\n";
  const double dx = x2 - x1, dy = y2 - y1, len = std::hypot(dx, dy);
  if (!(len > 0.5)) return;
  const double head = std::min(len * 0.45, 3.0 + 2.5 * width);
  const double ux = dx / len, uy = dy / len;
  const double bx = x2 - ux * head, by = y2 - uy * head;
  const double half = head * 0.45;
  o << "<polygon points=\"" << Num(x2) << ',' << Num(y2) << ' '
    << Num(bx - uy * half) << ',' << Num(by + ux * half) << ' '
    << Num(bx + uy * half) << ',' << Num(by - ux * half) << "\" fill=\""
    << colour << "\"/>\n";
}

void Text(std::ostringstream& o,
          double x,
          double y,
          const std::string& text,
          const char* extra = "") {
  o << "<text x=\"" << Num(x) << "\" y=\"" << Num(y) << "\"" << extra << ">"
    << XmlEscape(text) << "</text>\n";
}

// Indices of the points with a finite, non-zero residual, largest first
// (equal lengths keep their input order).
std::vector<int> ByResidual(const std::vector<PlotPoint>& pts,
                            std::vector<double>& len) {
  len.assign(pts.size(), 0.0);
  std::vector<int> idx;
  for (size_t i = 0; i < pts.size(); ++i) {
    const PlotPoint& p = pts[i];
    if (!Finite(p.x, p.y) || !Finite(p.vx, p.vy)) continue;
    len[i] = std::hypot(p.vx, p.vy);
    if (len[i] > 0.0) idx.push_back(static_cast<int>(i));
  }
  std::stable_sort(
      idx.begin(), idx.end(), [&](int a, int b) { return len[a] > len[b]; });
  return idx;
}

// The radial distortion panel with its top-left corner at (x0, y0).
void DrawCurve(std::ostringstream& o,
               const RadialCurve& c,
               double x0,
               double y0) {
  double r_max = 0.0, v_min = 0.0, v_max = 0.0;
  std::vector<std::pair<double, double>> s;
  for (const auto& p : c.samples)
    if (Finite(p.first, p.second)) s.push_back(p);
  for (const auto& p : s) {
    r_max = std::max(r_max, p.first);
    v_min = std::min(v_min, p.second);
    v_max = std::max(v_max, p.second);
  }
  for (const auto& m : c.markers)
    if (std::isfinite(m.first)) r_max = std::max(r_max, m.first);
  if (!(r_max > 0.0)) r_max = 1.0;
  if (!(v_max > v_min)) {
    v_min -= 1.0;
    v_max += 1.0;
  }
  const double pad = 0.06 * (v_max - v_min);
  v_min -= v_min < 0.0 ? pad : 0.0;
  v_max += v_max > 0.0 ? pad : 0.0;
  const double sx = kPanelW / r_max, sy = kPanelH / (v_max - v_min);
  auto X = [&](double r) { return x0 + r * sx; };
  auto Y = [&](double v) { return y0 + (v_max - v) * sy; };

  o << "<g class=\"radial\" font-size=\"11\">\n";
  Text(o,
       x0,
       y0 - 10,
       "Radial distortion",
       R"( font-size="13" font-weight="bold")");
  o << "<rect x=\"" << Num(x0) << "\" y=\"" << Num(y0) << "\" width=\""
    << Num(kPanelW) << "\" height=\"" << Num(kPanelH)
    << "\" fill=\"#ffffff\" stroke=\"#444444\"/>\n";
  double step = 0.0;
  for (double t : Ticks(0.0, r_max, step)) {
    o << "<line x1=\"" << Num(X(t)) << "\" y1=\"" << Num(y0 + kPanelH)
      << "\" x2=\"" << Num(X(t)) << "\" y2=\"" << Num(y0 + kPanelH + 4)
      << "\" stroke=\"#444444\"/>\n";
    Text(o,
         X(t),
         y0 + kPanelH + 16,
         TickLabel(t, step),
         " text-anchor=\"middle\"");
  }
  for (double t : Ticks(v_min, v_max, step)) {
    o << "<line x1=\"" << Num(x0 - 4) << "\" y1=\"" << Num(Y(t)) << "\" x2=\""
      << Num(x0) << "\" y2=\"" << Num(Y(t)) << "\" stroke=\"#444444\"/>\n";
    Text(o, x0 - 6, Y(t) + 4, TickLabel(t, step), " text-anchor=\"end\"");
  }
  if (v_min < 0.0 && v_max > 0.0)
    o << "<line x1=\"" << Num(x0) << "\" y1=\"" << Num(Y(0.0)) << "\" x2=\""
      << Num(x0 + kPanelW) << "\" y2=\"" << Num(Y(0.0))
      << "\" stroke=\"#999999\" stroke-dasharray=\"4 3\"/>\n";
  for (const auto& m : c.markers) {
    if (!std::isfinite(m.first) || m.first < 0.0) continue;
    o << R"(<line class="marker" x1=")" << Num(X(m.first)) << "\" y1=\""
      << Num(y0) << "\" x2=\"" << Num(X(m.first)) << "\" y2=\""
      << Num(y0 + kPanelH)
      << "\" stroke=\"#7f7f7f\" stroke-dasharray=\"2 3\"/>\n";
    const std::string tx = Num(X(m.first) - 4), ty = Num(y0 + 6);
    o << "<text x=\"" << tx << "\" y=\"" << ty << "\" transform=\"rotate(-90 "
      << tx << ' ' << ty << ")\" text-anchor=\"end\" fill=\"#555555\">"
      << XmlEscape(m.second) << "</text>\n";
  }
  if (!s.empty()) {
    o << R"(<polyline class="curve" fill="none" stroke=")" << kCurveColour
      << R"(" stroke-width="2" points=")";
    for (size_t i = 0; i < s.size(); ++i)
      o << (i ? " " : "") << Num(X(s[i].first)) << ',' << Num(Y(s[i].second));
    o << "\"/>\n";
  }
  Text(o,
       x0 + kPanelW / 2,
       y0 + kPanelH + 34,
       "radius [" + c.radius_unit + "]",
       " text-anchor=\"middle\"");
  const std::string lx = Num(x0 - 52), ly = Num(y0 + kPanelH / 2);
  o << "<text x=\"" << lx << "\" y=\"" << ly << "\" transform=\"rotate(-90 "
    << lx << ' ' << ly << ")\" text-anchor=\"middle\">"
    << XmlEscape("radial correction [" + c.value_unit + "]") << "</text>\n";
  o << "</g>\n";
}

}  // namespace

PlotFrame PixelFrame(double width_px, double height_px) {
  PlotFrame f;
  f.x_min = 0.0;
  f.y_min = 0.0;
  f.x_max = width_px;
  f.y_max = height_px;
  f.y_up = false;
  f.unit = "px";
  return f;
}

PlotFrame PhotoFrame(double x1_mm, double y1_mm, double x2_mm, double y2_mm) {
  PlotFrame f;
  f.x_min = std::min(x1_mm, x2_mm);
  f.x_max = std::max(x1_mm, x2_mm);
  f.y_min = std::min(y1_mm, y2_mm);
  f.y_max = std::max(y1_mm, y2_mm);
  f.y_up = true;
  f.unit = "mm";
  return f;
}

double RoundTo125(double v) {
  if (!(v > 0.0) || !std::isfinite(v)) return 0.0;
  double m, p;
  Split(v, m, p);
  const double lo = Floor125(v);
  const double hi = m >= 5.0 - kStepSlack   ? 10.0 * p
                    : m >= 2.0 - kStepSlack ? 5.0 * p
                                            : 2.0 * p;
  // Nearest on a log scale: compare v with the geometric mean of the two.
  return v * v < lo * hi ? lo : hi;
}

double AutoVectorScale(const PlotFrame& frame,
                       const std::vector<PlotPoint>& points) {
  double largest = 0.0;
  for (const PlotPoint& p : points)
    if (Finite(p.vx, p.vy)) largest = std::max(largest, std::hypot(p.vx, p.vy));
  const double diag =
      std::hypot(frame.x_max - frame.x_min, frame.y_max - frame.y_min);
  const double s = RoundTo125(kTargetShare * diag / largest);
  return s > 0.0 ? s : 1.0;
}

std::string XmlEscape(const std::string& text) {
  static const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
  std::string out;
  out.reserve(text.size());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '"':
          out += "&quot;";
          break;
        case '\'':
          out += "&apos;";
          break;
        default:
          if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            out += kReplacement;  // not allowed in XML 1.0
          else
            out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // A strict UTF-8 sequence: no overlong forms, surrogates, values above
    // U+10FFFF, nor the non-characters U+FFFE and U+FFFF.
    int len = 0;
    unsigned cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    }
    bool ok = len > 0 && i + len <= n;
    for (int k = 1; ok && k < len; ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      ok = (cc & 0xC0) == 0x80;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (ok)
      ok = !(len == 3 && cp < 0x800) && !(len == 4 && cp < 0x10000) &&
           cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF) && cp != 0xFFFE &&
           cp != 0xFFFF;
    if (ok) {
      out.append(text, i, len);
      i += len;
    } else {
      out += kReplacement;
      ++i;
    }
  }
  return out;
}

std::string RenderResidualPlot(const ResidualPlot& plot) {
  const PlotFrame& fr = plot.frame;
  double w = fr.x_max - fr.x_min, h = fr.y_max - fr.y_min;
  if (!(w > 0.0) || !std::isfinite(w)) w = 1.0;
  if (!(h > 0.0) || !std::isfinite(h)) h = 1.0;
  const double sc = std::min(kFrameMaxW / w, kFrameMaxH / h);  // doc per unit
  const double fw = w * sc, fh = h * sc;

  std::vector<double> len;
  const std::vector<int> order = ByResidual(plot.points, len);
  const double largest = order.empty() ? 0.0 : len[order.front()];
  const double vscale =
      plot.vector_scale > 0.0 && std::isfinite(plot.vector_scale)
          ? plot.vector_scale
          : AutoVectorScale(fr, plot.points);
  std::vector<int> rank(plot.points.size(), 0);  // 1-based, 0: not highlighted
  const int k = std::clamp(plot.highlight, 0, static_cast<int>(order.size()));
  for (int i = 0; i < k; ++i) rank[order[i]] = i + 1;

  // Too many points for one vector each: keep the highlighted, the outliers
  // and the largest residuals single; bin the others further below.
  int shown = 0;  // points with a finite position
  double sum2 = 0.0;
  for (size_t i = 0; i < plot.points.size(); ++i)
    if (Finite(plot.points[i].x, plot.points[i].y)) {
      ++shown;
      sum2 += len[i] * len[i];
    }
  const bool thin = plot.max_vectors > 0 && shown > plot.max_vectors;
  std::vector<char> single(plot.points.size(), thin ? 0 : 1);
  int singles = 0;
  if (thin) {
    auto keep = [&](int i) {
      if (!single[i] && singles < kMaxSingles) {
        single[i] = 1;
        ++singles;
      }
    };
    for (int i : order)
      if (rank[i] > 0 || plot.points[i].outlier) keep(i);
    const double limit = kSingleFactor * std::sqrt(sum2 / shown);
    for (int i : order)
      if (len[i] > limit) keep(i);
  }

  const bool curve = !plot.radial.samples.empty();
  const double top = kMargin + (plot.title.empty() ? 0.0 : 28.0);
  const double x0 = kMargin + kYLabelRoom;
  const double y0 = top + (fr.y_up ? 10.0 : kTickRoom);
  const double px0 = x0 + fw + kPanelGap;
  const double width =
      (curve ? px0 + kPanelW + 16.0 : x0 + fw + kMargin) + kMargin;
  const double body_h = std::max(fh, curve ? kPanelH + 40.0 : 0.0);
  // Scale bar row; photo frames have tick labels and axis title below.
  const double below = y0 + body_h + (fr.y_up ? 50.0 : 24.0);
  const double height =
      below + kLine * (2.0 + static_cast<double>(plot.caption.size())) + 6.0 +
      (thin ? kLine + 2.0 : 0.0) + kMargin;
  const bool all_names =
      !thin && static_cast<int>(plot.points.size()) <= plot.name_limit;

  auto X = [&](double x) { return x0 + (x - fr.x_min) * sc; };
  auto Y = [&](double y) {
    return fr.y_up ? y0 + (fr.y_max - y) * sc : y0 + (y - fr.y_min) * sc;
  };

  std::ostringstream o;
  o << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
    << R"(<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width=")"
    << Num(width) << "\" height=\"" << Num(height) << "\" viewBox=\"0 0 "
    << Num(width) << ' ' << Num(height)
    << "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\" "
       "font-size=\"12\">\n";
  o << "<title>" << XmlEscape(plot.title.empty() ? "Residuals" : plot.title)
    << "</title>\n";
  o << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  if (!plot.title.empty())
    Text(o,
         kMargin,
         kMargin + 14,
         plot.title,
         R"( font-size="16" font-weight="bold")");

  // Frame, ticks and axis titles. Pixel frames carry their x ticks along
  // the top edge, where the origin is; photo frames along the bottom.
  o << "<g class=\"frame\">\n";
  o << "<rect x=\"" << Num(x0) << "\" y=\"" << Num(y0) << "\" width=\""
    << Num(fw) << "\" height=\"" << Num(fh)
    << "\" fill=\"#fafafa\" stroke=\"#222222\" stroke-width=\"1.5\"/>\n";
  double step = 0.0;
  const double tick_y = fr.y_up ? y0 + fh : y0;
  const double dir = fr.y_up ? 1.0 : -1.0;  // outwards from the box
  for (double t : Ticks(fr.x_min, fr.x_max, step)) {
    o << "<line x1=\"" << Num(X(t)) << "\" y1=\"" << Num(tick_y) << "\" x2=\""
      << Num(X(t)) << "\" y2=\"" << Num(tick_y + 4 * dir)
      << "\" stroke=\"#222222\"/>\n";
    Text(o,
         X(t),
         tick_y + (fr.y_up ? 16.0 : -7.0),
         TickLabel(t, step),
         R"( text-anchor="middle" font-size="11")");
  }
  for (double t : Ticks(fr.y_min, fr.y_max, step)) {
    o << "<line x1=\"" << Num(x0 - 4) << "\" y1=\"" << Num(Y(t)) << "\" x2=\""
      << Num(x0) << "\" y2=\"" << Num(Y(t)) << "\" stroke=\"#222222\"/>\n";
    Text(o,
         x0 - 6,
         Y(t) + 4,
         TickLabel(t, step),
         R"( text-anchor="end" font-size="11")");
  }
  // Axes through the origin of a photo frame (the principal point).
  if (fr.y_up) {
    if (fr.x_min < 0.0 && fr.x_max > 0.0)
      o << "<line x1=\"" << Num(X(0.0)) << "\" y1=\"" << Num(y0) << "\" x2=\""
        << Num(X(0.0)) << "\" y2=\"" << Num(y0 + fh)
        << "\" stroke=\"#bbbbbb\" stroke-dasharray=\"4 3\"/>\n";
    if (fr.y_min < 0.0 && fr.y_max > 0.0)
      o << "<line x1=\"" << Num(x0) << "\" y1=\"" << Num(Y(0.0)) << "\" x2=\""
        << Num(x0 + fw) << "\" y2=\"" << Num(Y(0.0))
        << "\" stroke=\"#bbbbbb\" stroke-dasharray=\"4 3\"/>\n";
  }
  const std::string xt = "x [" + fr.unit + "] \xE2\x86\x92";  // right arrow
  const std::string yt =
      "y [" + fr.unit + "] " + (fr.y_up ? "\xE2\x86\x91" : "\xE2\x86\x93");
  Text(o,
       x0 + fw / 2,
       fr.y_up ? y0 + fh + 30.0 : y0 - 20.0,
       xt,
       " text-anchor=\"middle\"");
  {
    const std::string lx = Num(x0 - 48), ly = Num(y0 + fh / 2);
    // Rotated so that it reads upwards; the arrow names the axis direction.
    o << "<text x=\"" << lx << "\" y=\"" << ly << "\" transform=\"rotate(-90 "
      << lx << ' ' << ly << ")\" text-anchor=\"middle\">" << XmlEscape(yt)
      << "</text>\n";
  }
  o << "</g>\n";

  // Points, vectors and names; highlighted ones last so they lie on top.
  std::vector<int> draw(plot.points.size());
  std::iota(draw.begin(), draw.end(), 0);
  std::stable_partition(
      draw.begin(), draw.end(), [&](int i) { return rank[i] == 0; });
  o << "<g class=\"points\">\n";
  // Thinned: the mean position and mean residual of each cell's points.
  struct Cell {
    int n = 0;
    double x = 0.0, y = 0.0, vx = 0.0, vy = 0.0;
  };
  const int cols = std::max(1, static_cast<int>(std::ceil(fw / kCellDoc)));
  const int rows = std::max(1, static_cast<int>(std::ceil(fh / kCellDoc)));
  std::vector<Cell> cells(thin ? static_cast<size_t>(cols) * rows : 0);
  for (size_t i = 0; i < plot.points.size() && thin; ++i) {
    const PlotPoint& p = plot.points[i];
    if (single[i] || !Finite(p.x, p.y) || !Finite(p.vx, p.vy)) continue;
    // Points off the frame go to its edge cells.
    const double c = std::clamp((X(p.x) - x0) / kCellDoc, 0.0, cols - 1.0);
    const double r = std::clamp((Y(p.y) - y0) / kCellDoc, 0.0, rows - 1.0);
    Cell& cell = cells[static_cast<int>(r) * cols + static_cast<int>(c)];
    ++cell.n;
    cell.x += p.x;
    cell.y += p.y;
    cell.vx += p.vx;
    cell.vy += p.vy;
  }
  int binned = 0, used = 0;
  for (const Cell& c : cells) {
    if (c.n == 0) continue;
    binned += c.n;
    ++used;
    const double mx = c.x / c.n, my = c.y / c.n;
    const double cx = X(mx), cy = Y(my);
    o << R"(<circle class="cell" cx=")" << Num(cx) << "\" cy=\"" << Num(cy)
      << "\" r=\"1.6\" fill=\"#333333\"/>\n";
    Arrow(o,
          cx,
          cy,
          X(mx + vscale * c.vx / c.n),
          Y(my + vscale * c.vy / c.n),
          kVecColour,
          1.2,
          "vec mean");
    Text(o,
         cx + 3,
         cy + 9,
         std::to_string(c.n),
         R"( class="count" font-size="7" fill="#777777")");
  }
  for (int i : draw) {
    const PlotPoint& p = plot.points[i];
    if (!single[i] || !Finite(p.x, p.y)) continue;
    const bool hi = rank[i] > 0;
    const double cx = X(p.x), cy = Y(p.y);
    double ex = cx, ey = cy;  // end of the drawn vector
    o << "<circle cx=\"" << Num(cx) << "\" cy=\"" << Num(cy)
      << "\" r=\"2.2\" fill=\"#333333\"/>\n";
    if (len[i] > 0.0) {
      ex = X(p.x + vscale * p.vx);
      ey = Y(p.y + vscale * p.vy);
      Arrow(o,
            cx,
            cy,
            ex,
            ey,
            hi ? kHiColour : kVecColour,
            hi ? 2.0 : 1.2,
            hi ? "vec hi" : "vec");
    }
    if (!hi && !all_names && !p.outlier) continue;
    // The name goes to the side away from the vector.
    const bool left = ex > cx, below = ey < cy;
    const std::string label =
        hi ? p.name + " (" + std::to_string(rank[i]) + ")" : p.name;
    const std::string style =
        std::string(left ? " text-anchor=\"end\"" : "") +
        (hi ? " class=\"name hi\" font-size=\"11\" font-weight=\"bold\" "
              "fill=\"#d62728\""
            : R"( class="name" font-size="10" fill="#555555")");
    Text(o,
         left ? cx - 4 : cx + 4,
         below ? cy + 12 : cy - 4,
         label,
         style.c_str());
  }
  o << "</g>\n";

  if (curve) DrawCurve(o, plot.radial, px0, y0);

  // Scale bar and legend under the frame.
  double row = below;
  o << "<g class=\"legend\">\n";
  if (largest > 0.0) {
    const double bar = Floor125(largest);
    const double bar_len = bar * vscale * sc;
    Arrow(o, x0, row, x0 + bar_len, row, "#000000", 1.6, "scalebar");
    o << "<line x1=\"" << Num(x0) << "\" y1=\"" << Num(row - 4) << "\" x2=\""
      << Num(x0) << "\" y2=\"" << Num(row + 4)
      << "\" stroke=\"#000000\" stroke-width=\"1.6\"/>\n";
    Text(o,
         x0 + bar_len + 8,
         row + 4,
         "residual of " + Label(bar) + " " + fr.unit +
             " (vectors drawn \xC3\x97" + Label(vscale) + ")",
         " class=\"scale\"");
    row += kLine + 2;
    if (k > 0) {
      Arrow(o, x0, row, x0 + 24, row, kHiColour, 2.0, "legend-hi");
      Text(o,
           x0 + 32,
           row + 4,
           k == 1 ? std::string("largest residual")
                  : "the " + std::to_string(k) +
                        " largest residuals, ranked in brackets");
    }
  } else {
    Text(o, x0, row + 4, "all residuals are zero", " class=\"scale\"");
    row += kLine + 2;
  }
  if (thin) {
    row += kLine + 2;
    Text(o,
         x0,
         row + 4,
         std::to_string(binned) + " points in " + std::to_string(used) +
             " cells, mean vectors (count at each); " +
             std::to_string(singles) +
             " drawn singly (the largest residuals and outliers)",
         " class=\"thinning\"");
  }
  row += kLine + 4;
  for (const std::string& line : plot.caption) {
    Text(o, x0, row, line, " class=\"caption\"");
    row += kLine;
  }
  o << "</g>\n</svg>\n";
  return o.str();
}

}  // namespace collinear::cli
