// The drift plot as SVG text, written by hand: a few rectangles, lines,
// polylines and texts, numbers formatted without the locale.
#include "app/plot.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "app/outputs.h"

namespace vantor::app {
namespace {

constexpr double kWidth = 960, kHeight = 540;
constexpr double kLeft = 84, kRight = 770, kTop = 48, kBottom = 474;  // the plot area
constexpr double kLimit = 1e12;  // values beyond are drawn at the limit
constexpr const char* kDxColour = "#1f5fbf";
constexpr const char* kDyColour = "#d9480f";
constexpr const char* kAngleColour = "#2b8a3e";
constexpr const char* kScaleColour = "#7048e8";
// The angle's and the scale's panels below the displacement's: each this
// far below the one above (room for its frame axis) and this tall.
constexpr double kPanelGap = 76, kPanelHeight = 180;

// v with up to `decimals` digits after the point, trailing zeros dropped,
// never "-0", "nan" or "inf".
std::string Num(double v, int decimals = 2) {
  if (!std::isfinite(v)) v = 0.0;
  v = std::clamp(v, -1e15, 1e15);
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  char* end = r.ec == std::errc() ? r.ptr : buf;
  if (std::memchr(buf, '.', static_cast<size_t>(end - buf)) != nullptr) {
    while (end[-1] == '0') --end;
    if (end[-1] == '.') --end;
  }
  if (end == buf || (end - buf == 2 && buf[0] == '-' && buf[1] == '0')) return "0";
  return std::string(buf, end);
}

// Text content for XML: markup characters escaped, control characters and
// invalid UTF-8 sequences replaced by '?'.
std::string Escape(const std::string& in) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const size_t n = in.size();
  for (size_t i = 0; i < n;) {
    const unsigned c = p[i];
    if (c < 0x80) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // Length and smallest code point of a well-formed sequence.
    const size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    bool ok = len != 0 && i + len <= n;
    uint32_t cp = ok ? c & (0xFFu >> (len + 1)) : 0;
    for (size_t k = 1; ok && k < len; ++k) {
      ok = (p[i + k] & 0xC0) == 0x80;
      cp = cp << 6 | (p[i + k] & 0x3Fu);
    }
    ok = ok && !(len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) &&
         !(len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) && cp != 0xFFFE && cp != 0xFFFF;
    if (ok) {
      out.append(in, i, len);
      i += len;
    } else {
      out += '?';
      ++i;
    }
  }
  return out;
}

// A tick step of 1, 2 or 5 times a power of ten giving about `target` steps.
double NiceStep(double range, int target) {
  const double raw = range / target;
  if (!(raw > 0.0) || !std::isfinite(raw)) return 1.0;
  const double mag = std::pow(10.0, std::floor(std::log10(raw)));
  const double f = raw / mag;
  return (f < 1.5 ? 1.0 : f < 3.5 ? 2.0 : f < 7.5 ? 5.0 : 10.0) * mag;
}

struct Axis {
  double lo = 0, hi = 1, step = 1;
  int decimals = 0;
  int ticks() const { return static_cast<int>(std::lround((hi - lo) / step)); }
  double tick(int k) const { return lo + k * step; }
};

Axis MakeAxis(double mn, double mx, int target, bool whole) {
  if (!(mn <= mx)) mn = mx = 0.0;
  if (mx - mn < 1e-9 * std::max(1.0, std::fabs(mx))) {  // one value: a little room around it
    mn -= 1.0;
    mx += 1.0;
  }
  Axis a;
  a.step = NiceStep(mx - mn, target);
  if (whole) a.step = std::max(a.step, 1.0);
  a.lo = std::floor(mn / a.step) * a.step;
  a.hi = std::ceil(mx / a.step) * a.step;
  if (a.hi <= a.lo) a.hi = a.lo + a.step;
  a.decimals = a.step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(a.step) - 1e-9));
  return a;
}

struct Canvas {
  Axis x, y;
  double top = kTop, bottom = kBottom;
  double X(double v) const { return kLeft + (v - x.lo) / (x.hi - x.lo) * (kRight - kLeft); }
  double Y(double v) const { return bottom - (v - y.lo) / (y.hi - y.lo) * (bottom - top); }
};

bool Drawn(const PlotPoint& p) {
  return p.quality != PlotPoint::kFailed && std::isfinite(p.dxFirst) && std::isfinite(p.dyFirst);
}

// The value a series draws of a point.
enum class Value { kDx, kDy, kAngle, kScale };
double ValueOf(const PlotPoint& p, Value v) {
  switch (v) {
    case Value::kDx: return p.dxFirst;
    case Value::kDy: return p.dyFirst;
    case Value::kAngle: return p.angleFirst;
    case Value::kScale: return p.scaleFirst;
  }
  return 0.0;
}
bool DrawnAs(const PlotPoint& p, Value v) { return Drawn(p) && std::isfinite(ValueOf(p, v)); }

void Text(std::string& s, double x, double y, const std::string& text, const char* anchor,
          int size, const char* extra = "") {
  s += "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" text-anchor=\"" + anchor +
       "\" font-size=\"" + std::to_string(size) + "\"" + extra + ">" + Escape(text) + "</text>\n";
}

void Line(std::string& s, double x1, double y1, double x2, double y2, const char* stroke,
          const char* width = "1") {
  s += "<line x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) + "\" y2=\"" +
       Num(y2) + "\" stroke=\"" + stroke + "\" stroke-width=\"" + width + "\"/>\n";
}

void Use(std::string& s, const char* id, double x, double y) {
  s += "<use xlink:href=\"#" + std::string(id) + "\" x=\"" + Num(x) + "\" y=\"" + Num(y) + "\"/>\n";
}

// One component as polylines broken at frames without a value; a run of a
// single frame becomes a dot.
void Series(std::string& s, const Canvas& c, const std::vector<PlotPoint>& pts, Value value,
            const char* colour) {
  s += "<g fill=\"none\" stroke=\"" + std::string(colour) +
       "\" stroke-width=\"1.5\" stroke-linejoin=\"round\">\n";
  size_t i = 0;
  while (i < pts.size()) {
    if (!DrawnAs(pts[i], value)) {
      ++i;
      continue;
    }
    std::string run;
    size_t n = 0;
    for (; i < pts.size() && DrawnAs(pts[i], value); ++i, ++n) {
      const double v = std::clamp(ValueOf(pts[i], value), -kLimit, kLimit);
      if (n != 0) run += ' ';
      run += Num(c.X(pts[i].frame));
      run += ',';
      run += Num(c.Y(v));
    }
    if (n == 1) {
      const size_t comma = run.find(',');
      s += "<circle cx=\"" + run.substr(0, comma) + "\" cy=\"" + run.substr(comma + 1) +
           "\" r=\"2.5\" fill=\"" + colour + "\" stroke=\"none\"/>\n";
    } else {
      s += "<polyline points=\"" + run + "\"/>\n";
    }
  }
  s += "</g>\n";
}

// A panel's grid, ticks, labels, frame and axis titles.
void Frame(std::string& s, const Canvas& c, const char* label) {
  for (int k = 0; k <= c.y.ticks(); ++k) {
    const double v = c.y.tick(k), y = c.Y(v);
    Line(s, kLeft, y, kRight, y, std::fabs(v) < c.y.step * 1e-6 ? "#999999" : "#e4e4e4");
    Line(s, kLeft - 5, y, kLeft, y, "#444444");
    Text(s, kLeft - 8, y + 4, Num(v, c.y.decimals), "end", 12);
  }
  for (int k = 0; k <= c.x.ticks(); ++k) {
    const double v = c.x.tick(k), x = c.X(v);
    Line(s, x, c.top, x, c.bottom, "#f0f0f0");
    Line(s, x, c.bottom, x, c.bottom + 5, "#444444");
    Text(s, x, c.bottom + 19, Num(v, 0), "middle", 12);
  }
  s += "<rect x=\"" + Num(kLeft) + "\" y=\"" + Num(c.top) + "\" width=\"" + Num(kRight - kLeft) +
       "\" height=\"" + Num(c.bottom - c.top) + "\" fill=\"none\" stroke=\"#444444\"/>\n";
  Text(s, (kLeft + kRight) / 2, c.bottom + 44, "frame", "middle", 13);
  Text(s, 0, 0, label, "middle", 13,
       (" transform=\"translate(22," + Num((c.top + c.bottom) / 2) + ") rotate(-90)\"").c_str());
}

// A panel of one value below the displacement's (the index-th, from 1).
void ValuePanel(std::string& s, const Canvas& main, const std::vector<PlotPoint>& pts, Value value,
                int index, const char* label, const char* colour) {
  double lo = HUGE_VAL, hi = -HUGE_VAL;
  for (const PlotPoint& p : pts)
    if (DrawnAs(p, value)) {
      const double v = std::clamp(ValueOf(p, value), -kLimit, kLimit);
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  if (lo > hi) lo = hi = value == Value::kScale ? 1.0 : 0.0;
  // A steady scale still shows its changes of a few 1e-5.
  if (value == Value::kScale && hi - lo < 1e-4) {
    lo -= 5e-5;
    hi += 5e-5;
  }
  Canvas c;
  c.x = main.x;
  c.y = MakeAxis(lo, hi, 4, false);
  c.top = kBottom + index * kPanelGap + (index - 1) * kPanelHeight;
  c.bottom = c.top + kPanelHeight;
  Frame(s, c, label);
  Series(s, c, pts, value, colour);
}

}  // namespace

std::string DriftPlotSvg(const std::vector<PlotPoint>& input, const std::string& title,
                         bool motion) {
  std::vector<PlotPoint> pts = input;
  std::stable_sort(pts.begin(), pts.end(),
                   [](const PlotPoint& a, const PlotPoint& b) { return a.frame < b.frame; });

  double fmin = 0, fmax = 0, vmin = HUGE_VAL, vmax = -HUGE_VAL;
  size_t counts[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < pts.size(); ++i) {
    const PlotPoint& p = pts[i];
    fmin = i == 0 ? p.frame : std::min<double>(fmin, p.frame);
    fmax = i == 0 ? p.frame : std::max<double>(fmax, p.frame);
    const bool drawn = Drawn(p);
    ++counts[drawn ? p.quality : PlotPoint::kFailed];
    if (!drawn) continue;
    for (double v : {p.dxFirst, p.dyFirst}) {
      v = std::clamp(v, -kLimit, kLimit);
      vmin = std::min(vmin, v);
      vmax = std::max(vmax, v);
    }
  }
  if (vmin > vmax) vmin = vmax = 0.0;
  Canvas c;
  c.x = MakeAxis(fmin, fmax, 8, true);
  c.y = MakeAxis(vmin, vmax, 6, false);

  const double height = motion ? kBottom + 2 * (kPanelGap + kPanelHeight) + 66 : kHeight;
  std::string s;
  s.reserve(4096 + pts.size() * (motion ? 80 : 40));
  s += "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
       "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
       "version=\"1.1\" width=\"" + Num(kWidth) + "\" height=\"" + Num(height) +
       "\" viewBox=\"0 0 " + Num(kWidth) + " " + Num(height) +
       "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\">\n";
  s += "<title>" + Escape(title) + "</title>\n";
  // Markers: rescued a ring, suspect a diamond, failed a cross.
  s += "<defs>\n"
       "<circle id=\"rescued\" r=\"4\" fill=\"white\" stroke=\"#2b8a3e\" stroke-width=\"1.6\"/>\n"
       "<path id=\"suspect\" d=\"M0,-5L5,0L0,5L-5,0Z\" fill=\"#f59f00\" stroke=\"#7a5000\" "
       "stroke-width=\"0.8\"/>\n"
       "<path id=\"failed\" d=\"M-4,-4L4,4M-4,4L4,-4\" stroke=\"#c92a2a\" stroke-width=\"2\" "
       "fill=\"none\"/>\n"
       "</defs>\n";
  s += "<rect x=\"0\" y=\"0\" width=\"" + Num(kWidth) + "\" height=\"" + Num(height) +
       "\" fill=\"white\"/>\n";
  Text(s, (kLeft + kRight) / 2, 30, title.empty() ? "Drift" : title, "middle", 16,
       " font-weight=\"bold\"");

  // Grid, ticks and tick labels.
  Frame(s, c, "displacement against the first frame (pixels)");

  Series(s, c, pts, Value::kDx, kDxColour);
  Series(s, c, pts, Value::kDy, kDyColour);
  for (const PlotPoint& p : pts) {
    if (!Drawn(p)) {
      Use(s, "failed", c.X(p.frame), kBottom);
      continue;
    }
    if (p.quality == PlotPoint::kOk) continue;
    const char* id = p.quality == PlotPoint::kRescued ? "rescued" : "suspect";
    Use(s, id, c.X(p.frame), c.Y(std::clamp(p.dxFirst, -kLimit, kLimit)));
    Use(s, id, c.X(p.frame), c.Y(std::clamp(p.dyFirst, -kLimit, kLimit)));
  }

  if (motion) {
    ValuePanel(s, c, pts, Value::kAngle, 1, "angle (degrees)", kAngleColour);
    ValuePanel(s, c, pts, Value::kScale, 2, "scale", kScaleColour);
  }

  // Legend: the two lines, then the markers that occur.
  double ly = kTop + 10;
  const double lx = kRight + 22;
  auto entry = [&](const std::string& label) {
    Text(s, lx + 30, ly + 4, label, "start", 13);
    ly += 24;
  };
  Line(s, lx, ly, lx + 22, ly, kDxColour, "2");
  entry("DX");
  Line(s, lx, ly, lx + 22, ly, kDyColour, "2");
  entry("DY");
  if (motion) {
    Line(s, lx, ly, lx + 22, ly, kAngleColour, "2");
    entry("angle");
    Line(s, lx, ly, lx + 22, ly, kScaleColour, "2");
    entry("scale");
  }
  if (counts[PlotPoint::kRescued]) {
    Use(s, "rescued", lx + 11, ly);
    entry("rescued (" + std::to_string(counts[PlotPoint::kRescued]) + ")");
  }
  if (counts[PlotPoint::kSuspect]) {
    Use(s, "suspect", lx + 11, ly);
    entry("suspect (" + std::to_string(counts[PlotPoint::kSuspect]) + ")");
  }
  if (counts[PlotPoint::kFailed]) {
    Use(s, "failed", lx + 11, ly);
    entry("failed (" + std::to_string(counts[PlotPoint::kFailed]) + ")");
  }
  Text(s, lx, ly + 10, std::to_string(pts.size()) + (pts.size() == 1 ? " frame" : " frames"),
       "start", 12, " fill=\"#555555\"");
  s += "</svg>\n";
  return s;
}

bool WriteDriftPlot(const std::string& path, const std::vector<PlotPoint>& points,
                    const std::string& title, std::string* error, bool motion) {
  const std::string svg = DriftPlotSvg(points, title, motion);
  std::string cause;
  if (WriteWholeFile(path, svg.data(), svg.size(), &cause)) return true;
  if (error) *error = path + ": cannot write the plot: " + cause;
  return false;
}

}  // namespace vantor::app
