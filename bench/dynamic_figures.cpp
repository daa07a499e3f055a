// Draws what timed runs on fixed seeds produce against the laws they were
// configured with, as standalone SVG files in the folder named on the command
// line:
//   dynamic-holding.svg     completed stays against the holding law, per family
//   dynamic-popularity.svg  each session's share of the joins against its Zipf weight
//   dynamic-size.svg        group sizes over a day against lambda p_s E[H]
//   dynamic-diurnal.svg     hourly joins against the daily curve
//   dynamic-start.svg       group sizes after a steady start under a strong
//                           rhythm against its periodic mean, by model version
// The curves drawn as "configured" are computed here from the options alone,
// not taken from the run, so that a figure would show a run that strays.
//
// The files must come out the same bytes on every machine, since docs/ keeps
// them: every transcendental function below is the model's portable one, the
// normal distribution function included (by bisection on its quantile), square
// roots are correctly rounded everywhere, and nothing depends on the clock or
// the environment.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "dynamic/dynamic_run.h"
#include "dynamic/portable_math.h"
#include "dynamic/start_law.h"
#include "svg_text.h"

namespace grouptrace::dynamic {
namespace {

namespace pm = portable;

// ---------------------------------------------------------------------------
// Numbers and text.

std::string fixed(double v, int decimals) {
  double half = 0.5;
  for (int i = 0; i < decimals; ++i) half /= 10;
  if (v < half && v > -half) v = 0;  // no "-0.0"
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

// Whole numbers with thin groups of three, as the captions quote sizes.
std::string grouped(std::int64_t v) {
  std::string digits = std::to_string(v < 0 ? -v : v);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return v < 0 ? "-" + out : out;
}

// The inspector's own escaping: text in SVG as every picture of the project
// writes it.
std::string escaped(std::string_view text) {
  return xmlText(text);
}

// A generous estimate of the drawn width of UTF-8 text in a sans-serif face,
// enough to size legend boxes so that no label runs out of its box.
double textWidth(std::string_view text, double size) {
  double chars = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++chars;
  }
  return chars * 0.6 * size;
}

// ---------------------------------------------------------------------------
// The distributions.

double normalCdf(double z) {
  if (z < -38) return 0;
  if (z > 9) return 1;
  double lo = 0, hi = 1;  // normalQuantile(lo) <= z < normalQuantile(hi)
  for (int i = 0; i < 80; ++i) {
    const double mid = 0.5 * (lo + hi);
    if (mid <= lo || mid >= hi) break;
    (pm::normalQuantile(mid) <= z ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

std::function<double(double)> holdingCdf(const HoldingLaw& law) {
  switch (law.family) {
    case HoldingFamily::exponential:
      return [m = law.first](double x) { return x <= 0 ? 0 : 1 - pm::exp(-x / m); };
    case HoldingFamily::lognormal:
      return
          [law](double x) { return x <= 0 ? 0 : normalCdf((pm::log(x) - law.first) / law.second); };
    case HoldingFamily::pareto:
      return [law](double x) { return x < law.first ? 0 : 1 - pm::pow(law.first / x, law.second); };
  }
  return {};
}

std::string lawText(const HoldingLaw& law) {
  switch (law.family) {
    case HoldingFamily::exponential:
      return "exp: MEAN " + fixed(law.first, 0) + " s";
    case HoldingFamily::lognormal:
      return "lognormal: MU " + fixed(law.first, 1) + ", SIGMA " + fixed(law.second, 1);
    case HoldingFamily::pareto:
      return "pareto: SCALE " + fixed(law.first, 0) + " s, SHAPE " + fixed(law.second, 1);
  }
  return {};
}

// A number as an option would be typed: no trailing zeros.
std::string plain(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", v);
  return text;
}

// The option text of the generator for the same law.
std::string lawOption(const HoldingLaw& law) {
  switch (law.family) {
    case HoldingFamily::exponential:
      return "exp:" + plain(law.first);
    case HoldingFamily::lognormal:
      return "lognormal:" + plain(law.first) + ":" + plain(law.second);
    case HoldingFamily::pareto:
      return "pareto:" + plain(law.first) + ":" + plain(law.second);
  }
  return {};
}

// The share of joins a Zipf law gives to session s (0-based).
std::vector<double> zipfWeights(std::int32_t sessions, double alpha) {
  std::vector<double> w(sessions);
  double total = 0;
  for (std::int32_t s = 0; s < sessions; ++s) total += w[s] = pm::pow(s + 1.0, -alpha);
  for (double& v : w) v /= total;
  return w;
}

Parameters network(NODEID nodes, std::int32_t sessions, std::int32_t avgSize) {
  Parameters p;
  p.nNodes = nodes;
  p.nSessions = sessions;
  p.avgSize = avgSize;
  p.nQoSLevels = 1;
  p.minBand = 64;
  p.maxBand = 512;
  p.minDelay = 5;
  p.maxDelay = 50;
  p.minHops = 1;
  p.maxHops = 6;
  return p;
}

// Calls `join(record, phase)` and `leave(record, phase)` for every request of a run.
template <class Join, class Leave>
DynamicResult replay(const Parameters& p, SEED_type seed, const DynamicOptions& o, Join join,
                     Leave leave) {
  DynamicRun run(p, seed, o);
  TraceEvent event;
  TracePhase phase = TracePhase::beefUp;
  while (run.next(event)) {
    if (const auto* m = std::get_if<PhaseStart>(&event)) phase = m->phase;
    if (const auto* j = std::get_if<JoinRecord>(&event)) join(*j, phase);
    if (const auto* l = std::get_if<LeaveRecord>(&event)) leave(*l, phase);
  }
  return run.result();
}

// ---------------------------------------------------------------------------
// Drawing.

constexpr const char* kMeasured = "#d95f02";
constexpr const char* kConfigured = "#1f5fa8";
constexpr const char* kConfiguredLight = "#9ecae1";
constexpr const char* kBand = "#dbe8f5";
constexpr const char* kMeasuredBand = "#fbe3d1";
constexpr const char* kGrid = "#e4e4e4";
constexpr const char* kInk = "#222222";
constexpr const char* kMuted = "#555555";

struct Point {
  double x, y;
};

class Svg {
 public:
  Svg(double width, double height) : width_(width), height_(height) {}
  double width() const { return width_; }

  void text(double x, double y, std::string_view s, std::string_view anchor = "start",
            double size = 12, std::string_view attributes = {}) {
    body_ += "<text x=\"" + fixed(x, 1) + "\" y=\"" + fixed(y, 1) + "\"";
    if (anchor != "start") body_ += " text-anchor=\"" + std::string(anchor) + "\"";
    if (size != 12) body_ += " font-size=\"" + fixed(size, 0) + "\"";
    if (!attributes.empty()) body_ += " " + std::string(attributes);
    body_ += ">" + escaped(s) + "</text>\n";
  }
  void line(double x1, double y1, double x2, double y2, std::string_view stroke, double width,
            std::string_view dash = {}) {
    body_ += "<line x1=\"" + fixed(x1, 1) + "\" y1=\"" + fixed(y1, 1) + "\" x2=\"" + fixed(x2, 1) +
             "\" y2=\"" + fixed(y2, 1) + "\"" + strokeOf(stroke, width, dash) + "/>\n";
  }
  void rect(double x, double y, double w, double h, std::string_view fill,
            std::string_view stroke = "none") {
    body_ += "<rect x=\"" + fixed(x, 1) + "\" y=\"" + fixed(y, 1) + "\" width=\"" + fixed(w, 1) +
             "\" height=\"" + fixed(h, 1) + "\" fill=\"" + std::string(fill) + "\"";
    if (stroke != "none") body_ += " stroke=\"" + std::string(stroke) + "\"";
    body_ += "/>\n";
  }
  void polyline(const std::vector<Point>& points, std::string_view stroke, double width,
                std::string_view dash = {}) {
    body_ += "<polyline fill=\"none\"" + strokeOf(stroke, width, dash) +
             " stroke-linejoin=\"round\"" + " points=\"" + pointList(points) + "\"/>\n";
  }
  void polygon(const std::vector<Point>& points, std::string_view fill) {
    body_ += "<polygon fill=\"" + std::string(fill) + "\" points=\"" + pointList(points) + "\"/>\n";
  }
  void circle(double cx, double cy, double r, std::string_view fill, std::string_view stroke) {
    body_ += "<circle cx=\"" + fixed(cx, 1) + "\" cy=\"" + fixed(cy, 1) + "\" r=\"" + fixed(r, 1) +
             "\" fill=\"" + std::string(fill) + "\" stroke=\"" + std::string(stroke) +
             "\" stroke-width=\"1.3\"/>\n";
  }
  void raw(std::string_view element) { body_ += element; }

  std::string document(std::string_view title) const {
    const std::string w = fixed(width_, 0), h = fixed(height_, 0);
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
           w + "\" height=\"" + h + "\" viewBox=\"0 0 " + w + " " + h +
           "\" font-family=\"DejaVu Sans, Verdana, Arial, sans-serif\" font-size=\"12\" fill=\"" +
           kInk + "\">\n<title>" + escaped(title) + "</title>\n<rect width=\"" + w +
           "\" height=\"" + h + "\" fill=\"#ffffff\"/>\n" + body_ + "</svg>\n";
  }

 private:
  static std::string strokeOf(std::string_view stroke, double width, std::string_view dash) {
    std::string s =
        " stroke=\"" + std::string(stroke) + "\" stroke-width=\"" + fixed(width, 1) + "\"";
    if (!dash.empty()) s += " stroke-dasharray=\"" + std::string(dash) + "\"";
    return s;
  }
  static std::string pointList(const std::vector<Point>& points) {
    std::string s;
    for (const Point& p : points) {
      if (!s.empty()) s += ' ';
      s += fixed(p.x, 1) + "," + fixed(p.y, 1);
    }
    return s;
  }

  double width_, height_;
  std::string body_;
};

struct Tick {
  double value;
  std::string label;
};

// Round steps (1, 2 or 5 times a power of ten) that cut [lo, hi] into about
// `count` pieces, labelled with as many decimals as the step needs.
std::vector<Tick> linearTicks(double lo, double hi, double count) {
  const double raw = (hi - lo) / count;
  double power = 1;
  int decimals = 0;
  while (power > raw) power /= 10, ++decimals;
  while (power * 10 <= raw) power *= 10, decimals = std::max(decimals - 1, 0);
  double step = 10 * power;
  for (const double m : {1.0, 2.0, 5.0}) {
    if (m * power >= raw) {
      step = m * power;
      break;
    }
  }
  if (step >= 1) decimals = 0;
  std::vector<Tick> ticks;
  auto first = static_cast<std::int64_t>(lo / step);
  if (first * step < lo - 1e-9 * step) ++first;
  for (std::int64_t k = first; k * step <= hi + 1e-9 * step; ++k) {
    ticks.push_back({k * step, fixed(k * step, decimals)});
  }
  return ticks;
}

// 1, 2 and 5 times the powers of ten within [lo, hi].
std::vector<Tick> logTicks(double lo, double hi) {
  std::vector<Tick> ticks;
  double power = 1;
  int decimals = 0;
  while (power > lo) power /= 10, ++decimals;
  while (power * 10 <= lo) power *= 10, decimals = std::max(decimals - 1, 0);
  for (; power <= hi; power *= 10, decimals = std::max(decimals - 1, 0)) {
    for (const double m : {1.0, 2.0, 5.0}) {
      const double v = m * power;
      if (v >= lo * (1 - 1e-12) && v <= hi * (1 + 1e-12)) ticks.push_back({v, fixed(v, decimals)});
    }
  }
  return ticks;
}

struct Scale {
  double lo, hi;
  bool log = false;
  double fraction(double v) const {
    if (log) return (pm::log(v) - pm::log(lo)) / (pm::log(hi) - pm::log(lo));
    return (v - lo) / (hi - lo);
  }
};

// One plot area: maps data to the page, draws its grid, axes and labels, and
// clips what is drawn inside it.
class Frame {
 public:
  Frame(double left, double top, double width, double height, Scale x, Scale y)
      : left_(left), top_(top), width_(width), height_(height), xs_(x), ys_(y) {}
  double x(double v) const { return left_ + width_ * xs_.fraction(v); }
  double y(double v) const { return top_ + height_ * (1 - ys_.fraction(v)); }
  Point at(double vx, double vy) const { return {x(vx), y(vy)}; }
  double left() const { return left_; }
  double right() const { return left_ + width_; }
  double top() const { return top_; }
  double bottom() const { return top_ + height_; }

  void axes(Svg& svg, const std::vector<Tick>& xTicks, const std::vector<Tick>& yTicks,
            std::string_view xLabel, std::string_view yLabel) const {
    for (const Tick& t : xTicks) svg.line(x(t.value), top_, x(t.value), bottom(), kGrid, 1);
    for (const Tick& t : yTicks) svg.line(left_, y(t.value), right(), y(t.value), kGrid, 1);
    svg.rect(left_, top_, width_, height_, "none", "#888888");
    for (const Tick& t : xTicks) {
      svg.line(x(t.value), bottom(), x(t.value), bottom() + 4, kInk, 1);
      svg.text(x(t.value), bottom() + 17, t.label, "middle", 11);
    }
    for (const Tick& t : yTicks) {
      svg.line(left_ - 4, y(t.value), left_, y(t.value), kInk, 1);
      svg.text(left_ - 7, y(t.value) + 4, t.label, "end", 11);
    }
    if (!xLabel.empty()) svg.text(left_ + width_ / 2, bottom() + 36, xLabel, "middle", 12);
    if (!yLabel.empty()) {
      double widest = 0;
      for (const Tick& t : yTicks) widest = std::max(widest, textWidth(t.label, 11));
      const double lx = left_ - widest - 18, ly = top_ + height_ / 2;
      svg.text(lx, ly, yLabel, "middle", 12,
               "transform=\"rotate(-90 " + fixed(lx, 1) + " " + fixed(ly, 1) + ")\"");
    }
  }

  // What is drawn between begin and end stays inside the plot area.
  void beginClip(Svg& svg, std::string_view id) const {
    svg.raw("<clipPath id=\"" + std::string(id) + "\"><rect x=\"" + fixed(left_, 1) + "\" y=\"" +
            fixed(top_, 1) + "\" width=\"" + fixed(width_, 1) + "\" height=\"" + fixed(height_, 1) +
            "\"/></clipPath>\n<g clip-path=\"url(#" + std::string(id) + ")\">\n");
  }
  static void endClip(Svg& svg) { svg.raw("</g>\n"); }

 private:
  double left_, top_, width_, height_;
  Scale xs_, ys_;
};

struct LegendEntry {
  enum Kind { line, thickLine, dashed, marker, band, bar } kind;
  std::string colour;
  std::string label;
};

// A boxed legend whose top right corner is (right, top).
void legend(Svg& svg, double right, double top, const std::vector<LegendEntry>& entries) {
  double widest = 0;
  for (const LegendEntry& e : entries) widest = std::max(widest, textWidth(e.label, 11));
  const double w = 46 + widest, h = 10 + 18 * entries.size();
  const double left = right - w;
  svg.raw("<rect x=\"" + fixed(left, 1) + "\" y=\"" + fixed(top, 1) + "\" width=\"" + fixed(w, 1) +
          "\" height=\"" + fixed(h, 1) +
          "\" fill=\"#ffffff\" fill-opacity=\"0.92\" stroke=\"#bbbbbb\"/>\n");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const LegendEntry& e = entries[i];
    const double cy = top + 14 + 18 * i, x0 = left + 8, x1 = left + 34;
    switch (e.kind) {
      case LegendEntry::line:
        svg.line(x0, cy, x1, cy, e.colour, 1.6);
        break;
      case LegendEntry::thickLine:
        svg.line(x0, cy, x1, cy, e.colour, 4.5);
        break;
      case LegendEntry::dashed:
        svg.line(x0, cy, x1, cy, e.colour, 1.8, "6 4");
        break;
      case LegendEntry::marker:
        svg.circle((x0 + x1) / 2, cy, 3.5, "#ffffff", e.colour);
        break;
      case LegendEntry::band:
        svg.rect(x0, cy - 6, x1 - x0, 12, e.colour);
        break;
      case LegendEntry::bar:
        svg.rect(x0 + 4, cy - 6, x1 - x0 - 8, 12, e.colour);
        break;
    }
    svg.text(left + 40, cy + 4, e.label, "start", 11);
  }
}

void heading(Svg& svg, std::string_view title) {
  svg.text(svg.width() / 2, 26, title, "middle", 16, "font-weight=\"bold\"");
}

// The configuration, one line each, at the foot of the figure.
void caption(Svg& svg, double top, const std::vector<std::string>& lines) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    svg.text(20, top + 16 * i, lines[i], "start", 11, std::string("fill=\"") + kMuted + "\"");
  }
}

// ---------------------------------------------------------------------------
// The figures. Each returns the SVG document and a line of its statistics.

struct Figure {
  std::string name;
  std::string svg;
  std::string summary;
};

// Completed stays of the joins made in (0, T - cap], observed up to `cap`: the
// empirical distribution over all of those joins is then exact below the cap,
// since every such stay that ends by the cap ends within the run.
struct Censored {
  std::vector<double> seen;  // sorted
  std::size_t total = 0;
  double cap = 0;
  double ecdf(double x) const {
    const auto k = std::upper_bound(seen.begin(), seen.end(), x) - seen.begin();
    return static_cast<double>(k) / static_cast<double>(total);
  }
};

double ksDistance(const Censored& s, const std::function<double(double)>& cdf) {
  const double n = static_cast<double>(s.total);
  double d = 0;
  for (std::size_t i = 0; i < s.seen.size(); ++i) {
    const double f = cdf(s.seen[i]);
    d = std::max({d, f - i / n, (i + 1) / n - f});
  }
  const double tail = cdf(s.cap) - s.seen.size() / n;
  return std::max({d, tail, -tail});
}

Figure holdingFigure() {
  // A seed per law: with one seed the three samples would be the same uniforms
  // through three quantile functions, and so show the very same KS distance.
  constexpr SEED_type kSeeds[] = {1, 2, 3};
  constexpr double kCap = 3000, kWindow = 5000, kRate = 2;
  const HoldingLaw laws[] = {{HoldingFamily::exponential, 600, 0},
                             {HoldingFamily::lognormal, 6, 1},
                             {HoldingFamily::pareto, 300, 2.5}};
  const Parameters p = network(1000000, 4, 1);
  Svg svg(1000, 590);
  heading(svg, "Holding times: completed stays against the configured law");
  std::string summary = "holding:";
  for (int panel = 0; panel < 3; ++panel) {
    const HoldingLaw& law = laws[panel];
    DynamicOptions o;
    o.duration = kWindow + kCap;
    o.holding = law;
    o.joinRate = kRate;
    o.start = StartState::empty;
    Censored sample{{}, 0, kCap};
    std::map<std::pair<std::int32_t, NODEID>, double> open;
    replay(
        p, kSeeds[panel], o,
        [&](const JoinRecord& j, TracePhase phase) {
          if (phase != TracePhase::joinLeave || *j.time > kWindow) return;
          ++sample.total;
          open[{j.session, j.node}] = *j.time;
        },
        [&](const LeaveRecord& l, TracePhase phase) {
          const auto it = open.find({l.session, l.node});
          if (it == open.end()) return;
          const double stay = *l.time - it->second;
          if (phase == TracePhase::joinLeave && stay <= kCap) sample.seen.push_back(stay);
          open.erase(it);
        });
    std::sort(sample.seen.begin(), sample.seen.end());
    const auto cdf = holdingCdf(law);
    const double d = ksDistance(sample, cdf);
    const double limit = 1.95 / std::sqrt(static_cast<double>(sample.total));

    const double left = 80 + panel * 310;
    svg.text(left + 120, 62, lawText(law), "middle", 13, "font-weight=\"bold\"");
    svg.text(left + 120, 78, "mean stay E[H] = " + fixed(meanHolding(law), 0) + " s", "middle", 11);
    const Frame top(left, 90, 240, 220, {0, kCap}, {0, 1});
    const auto xTicks = linearTicks(0, kCap, 3);
    top.axes(svg, xTicks, linearTicks(0, 1, 5), "", panel == 0 ? "fraction of stays ≤ x" : "");
    std::vector<Point> configured, measured;
    constexpr int kSteps = 480;
    for (int i = 0; i <= kSteps; ++i) {
      const double x = kCap * i / kSteps;
      configured.push_back(top.at(x, cdf(x)));
      measured.push_back(top.at(x, sample.ecdf(x)));
    }
    const std::string clip = "cdf" + std::to_string(panel);
    top.beginClip(svg, clip);
    svg.polyline(configured, kConfiguredLight, 5);
    svg.polyline(measured, kMeasured, 1.4);
    Frame::endClip(svg);
    svg.text(top.right() - 10, top.y(0.65), "KS distance D = " + fixed(d, 4), "end", 11);
    svg.text(top.right() - 10, top.y(0.65) + 15, "0.1% limit 1.95/√n = " + fixed(limit, 4), "end",
             11);
    svg.text(top.right() - 10, top.y(0.65) + 30, "n = " + grouped(sample.total) + " joins", "end",
             11);
    legend(svg, top.right() - 6, top.y(0.65) + 40,
           {{LegendEntry::thickLine, kConfiguredLight, "configured CDF F"},
            {LegendEntry::line, kMeasured, "empirical CDF"},
            {LegendEntry::band, kBand, "0.1% KS band (below)"}});

    // The difference on a scale where the 0.1% band is visible.
    double range = 2 * limit;
    for (int i = 0; i <= kSteps; ++i) {
      const double x = kCap * i / kSteps;
      range = std::max(range, 1.2 * std::max(sample.ecdf(x) - cdf(x), cdf(x) - sample.ecdf(x)));
    }
    const Frame low(left, 350, 240, 110, {0, kCap}, {-range, range});
    low.axes(svg, xTicks, linearTicks(-range, range, 4), "stay x (s)",
             panel == 0 ? "empirical − F" : "");
    low.beginClip(svg, "diff" + std::to_string(panel));
    svg.rect(low.left(), low.y(limit), low.right() - low.left(), low.y(-limit) - low.y(limit),
             kBand);
    std::vector<Point> difference;
    for (int i = 0; i <= kSteps; ++i) {
      const double x = kCap * i / kSteps;
      difference.push_back(low.at(x, sample.ecdf(x) - cdf(x)));
    }
    svg.line(low.left(), low.y(0), low.right(), low.y(0), kConfigured, 1);
    svg.polyline(difference, kMeasured, 1.2);
    Frame::endClip(svg);
    summary += " " + lawOption(law) + " n " + std::to_string(sample.total) + " D " + fixed(d, 4) +
               " limit " + fixed(limit, 4) + ";";
  }
  caption(
      svg, 538,
      {"Seeds 1, 2 and 3 (one per law, left to right); 1,000,000 nodes, 4 sessions, joins at " +
           fixed(kRate, 0) + " per second over all sessions, empty start, duration " +
           grouped(static_cast<std::int64_t>(kWindow + kCap)) + " s, a run per law.",
       "Sample: every join in (0, " + grouped(static_cast<std::int64_t>(kWindow)) +
           " s] and its stay when that ended within " + grouped(static_cast<std::int64_t>(kCap)) +
           " s; the empirical CDF counts all n joins, so it is exact up to " +
           grouped(static_cast<std::int64_t>(kCap)) + " s.",
       "Configured: the CDF of each holding law as set (--holding " + lawOption(laws[0]) + ", " +
           lawOption(laws[1]) + ", " + lawOption(laws[2]) + ")."});
  return {"dynamic-holding.svg", svg.document("Holding times against the configured laws"),
          summary};
}

Figure popularityFigure() {
  constexpr SEED_type kSeed = 4;
  constexpr std::int32_t kSessions = 20;
  constexpr double kAlpha = 1, kRate = 100, kDuration = 1000;
  DynamicOptions o;
  o.duration = kDuration;
  o.holding = {HoldingFamily::exponential, 60, 0};
  o.popularity.alpha = kAlpha;
  o.joinRate = kRate;
  o.start = StartState::empty;
  std::vector<double> joins(kSessions, 0);
  replay(
      network(1000000, kSessions, 1), kSeed, o,
      [&](const JoinRecord& j, TracePhase) { ++joins[j.session]; },
      [](const LeaveRecord&, TracePhase) {});
  double n = 0;
  for (const double c : joins) n += c;
  const std::vector<double> weights = zipfWeights(kSessions, kAlpha);
  double chiSquare = 0;
  for (std::int32_t s = 0; s < kSessions; ++s) {
    const double expected = n * weights[s];
    chiSquare += (joins[s] - expected) * (joins[s] - expected) / expected;
  }
  constexpr double kCritical = 43.82;  // chi-square, 19 degrees of freedom, 0.1%

  Svg svg(760, 560);
  heading(svg, "Popularity: each session's share of the joins against its Zipf weight");
  const Frame f(90, 50, 640, 380, {0.8, 25, true}, {0.01, 0.5, true});
  f.axes(svg, logTicks(0.8, 25), logTicks(0.01, 0.5), "popularity rank s + 1 (session s)",
         "share of all joins");
  f.beginClip(svg, "zipf");
  std::vector<Point> configured;
  for (std::int32_t s = 0; s < kSessions; ++s) configured.push_back(f.at(s + 1.0, weights[s]));
  svg.polyline(configured, kConfigured, 1.6);
  for (std::int32_t s = 0; s < kSessions; ++s) {
    const double share = joins[s] / n;
    // Two standard errors of a share of n multinomial draws.
    const double spread = 2 * std::sqrt(share * (1 - share) / n);
    svg.line(f.x(s + 1.0), f.y(share - spread), f.x(s + 1.0), f.y(share + spread), kMeasured, 1.3);
    svg.circle(f.x(s + 1.0), f.y(share), 3.5, "#ffffff", kMeasured);
  }
  Frame::endClip(svg);
  legend(svg, f.right() - 10, f.top() + 10,
         {{LegendEntry::line, kConfigured, "configured p_s = (s + 1)^-α / Σ_k (k + 1)^-α, α = 1"},
          {LegendEntry::marker, kMeasured, "measured share of joins, ± 2 standard errors"}});
  svg.text(f.left() + 12, f.bottom() - 32,
           "χ² = " + fixed(chiSquare, 1) + " over 20 sessions (19 degrees of freedom)", "start",
           11);
  svg.text(f.left() + 12, f.bottom() - 16,
           "0.1% critical value " + fixed(kCritical, 2) +
               "; n = " + grouped(static_cast<std::int64_t>(n)) + " joins",
           "start", 11);
  caption(svg, 492,
          {"Seed 4; 1,000,000 nodes, " + std::to_string(kSessions) +
               " sessions, --popularity zipf:" + plain(kAlpha) + ", joins at " + fixed(kRate, 0) +
               " per second over all sessions,",
           "--holding " + lawOption(o.holding) + ", empty start, duration " +
               grouped(static_cast<std::int64_t>(kDuration)) +
               " s; every join of the run counted by its session.",
           "Configured: the Zipf weights computed from alpha and the number of sessions alone."});
  return {"dynamic-popularity.svg", svg.document("Session popularity against the Zipf weights"),
          "popularity: zipf:" + plain(kAlpha) + " sessions " + std::to_string(kSessions) + " n " +
              std::to_string(static_cast<std::int64_t>(n)) + " chi2 " + fixed(chiSquare, 2) +
              " critical " + fixed(kCritical, 2) + ";"};
}

Figure sizeFigure() {
  constexpr SEED_type kSeed = 5;
  constexpr std::int32_t kSessions = 10, kAvgSize = 50;
  constexpr double kAlpha = 1, kDay = 86400, kSample = 60;
  DynamicOptions o;
  o.duration = kDay;
  o.holding = {HoldingFamily::lognormal, 7, 1};
  o.popularity.alpha = kAlpha;
  o.start = StartState::steady;  // and the join rate by default: avgSize * sessions / E[H]
  const double meanStay = meanHolding(o.holding);
  const double lambda = kAvgSize * kSessions / meanStay;
  const std::vector<double> weights = zipfWeights(kSessions, kAlpha);
  const double expectedTop = lambda * weights[0] * meanStay;
  const double expectedMean = lambda * meanStay / kSessions;

  // Sizes at every sample time, and their time averages over the day.
  std::vector<double> size(kSessions, 0), area(kSessions, 0), since(kSessions, 0);
  std::vector<Point> top, mean;  // (hours, members)
  double nextSample = 0;
  auto sampleUpTo = [&](double t) {
    while (nextSample < t && nextSample <= kDay) {
      double total = 0;
      for (const double v : size) total += v;
      top.push_back({nextSample / 3600, size[0]});
      mean.push_back({nextSample / 3600, total / kSessions});
      nextSample += kSample;
    }
  };
  auto change = [&](std::int32_t s, double t, double step) {
    sampleUpTo(t);
    area[s] += size[s] * (t - since[s]);
    since[s] = t;
    size[s] += step;
  };
  // The members present at time 0 arrive before the first sample is taken.
  replay(
      network(1000000, kSessions, kAvgSize), kSeed, o,
      [&](const JoinRecord& j, TracePhase phase) {
        if (phase == TracePhase::beefUp) {
          ++size[j.session];
          return;
        }
        change(j.session, *j.time, 1);
      },
      [&](const LeaveRecord& l, TracePhase phase) {
        if (phase == TracePhase::joinLeave) change(l.session, *l.time, -1);
      });
  sampleUpTo(kDay + kSample);
  double averageMean = 0;
  for (std::int32_t s = 0; s < kSessions; ++s) {
    area[s] += size[s] * (kDay - since[s]);
    averageMean += area[s] / kDay / kSessions;
  }
  const double averageTop = area[0] / kDay;

  Svg svg(900, 560);
  heading(svg, "Group size over a day against the configured mean λ p_s E[H]");
  const Frame f(80, 50, 790, 370, {0, 24}, {0, 300});
  std::vector<Tick> hours;
  for (int h = 0; h <= 24; h += 3) hours.push_back({static_cast<double>(h), std::to_string(h)});
  f.axes(svg, hours, linearTicks(0, 300, 6), "time since the start (h)",
         "members besides the source");
  f.beginClip(svg, "size");
  // The stationary size of a session is Poisson: its mean ± 2 standard deviations.
  const auto band = [&](double m, double spread, const char* fill) {
    svg.rect(f.left(), f.y(m + spread), f.right() - f.left(), f.y(m - spread) - f.y(m + spread),
             fill);
  };
  band(expectedTop, 2 * std::sqrt(expectedTop), kBand);
  band(expectedMean, 2 * std::sqrt(expectedMean / kSessions), kBand);
  std::vector<Point> topLine, meanLine;
  for (const Point& p : top) topLine.push_back(f.at(p.x, p.y));
  for (const Point& p : mean) meanLine.push_back(f.at(p.x, p.y));
  svg.polyline(topLine, kMeasured, 1.1);
  svg.polyline(meanLine, "#7a3c8c", 1.3);
  svg.line(f.left(), f.y(expectedTop), f.right(), f.y(expectedTop), kConfigured, 1.8, "6 4");
  svg.line(f.left(), f.y(expectedMean), f.right(), f.y(expectedMean), kConfigured, 1.8, "6 4");
  Frame::endClip(svg);
  // A day's time average of an M/G/infinity size has variance about
  // rate * E[H^2] / duration (the integral of its autocovariance, twice over);
  // for the lognormal E[H^2] = exp(2 MU + 2 SIGMA^2).
  const double secondMoment =
      pm::exp(2 * o.holding.first + 2 * o.holding.second * o.holding.second);
  const double errorTop = std::sqrt(lambda * weights[0] * secondMoment / kDay);
  const double errorMean = std::sqrt(lambda * secondMoment / kDay) / kSessions;
  const double sdTop = std::sqrt(expectedTop);
  const double sdMean = std::sqrt(expectedMean / kSessions);
  svg.text(f.left() + 10, f.y(expectedTop - 4.5 * sdTop),
           "session 0: configured mean " + fixed(expectedTop, 1) + ", time average " +
               fixed(averageTop, 1) + " (standard error of a day's average ≈ " +
               fixed(errorTop, 1) + ")",
           "start", 11);
  svg.text(f.left() + 10, f.y(expectedMean + 2 * sdMean) - 8,
           "mean over sessions: configured " + fixed(expectedMean, 1) + ", time average " +
               fixed(averageMean, 1) + " (standard error ≈ " + fixed(errorMean, 2) + ")",
           "start", 11);
  legend(svg, f.right() - 8, f.top() + 8,
         {{LegendEntry::line, kMeasured, "session 0 (rank 1), sampled every minute"},
          {LegendEntry::line, "#7a3c8c", "mean over the 10 sessions"},
          {LegendEntry::dashed, kConfigured, "configured mean λ p_s E[H]"},
          {LegendEntry::band, kBand, "configured mean ± 2 sd of the Poisson size"}});
  caption(svg, 476,
          {"Seed 5; 1,000,000 nodes, " + std::to_string(kSessions) + " sessions, avgSize " +
               std::to_string(kAvgSize) + ", --holding " + lawOption(o.holding) +
               " (E[H] = " + fixed(meanStay, 1) + " s), --popularity zipf:" + plain(kAlpha) +
               ", steady start, one day.",
           "Default join rate λ = avgSize × sessions / E[H] = " + fixed(lambda, 4) +
               " per second; session 0's share p_0 = " + fixed(weights[0], 4) + ".",
           "The members present at time 0 count from the start; at any moment a session's size is "
           "Poisson of its configured mean, whence the bands."});
  return {"dynamic-size.svg", svg.document("Group size over a day against the configured mean"),
          "size: session 0 expected " + fixed(expectedTop, 2) + " average " + fixed(averageTop, 2) +
              " se " + fixed(errorTop, 2) + "; all sessions expected " + fixed(expectedMean, 2) +
              " average " + fixed(averageMean, 2) + " se " + fixed(errorMean, 2) + ";"};
}

Figure diurnalFigure() {
  constexpr SEED_type kSeed = 6;
  constexpr double kAmplitude = 0.6, kPeriod = 86400, kPeak = 72000, kRate = 2;
  constexpr int kDays = 3, kHours = 24 * kDays;
  DynamicOptions o;
  o.duration = kDays * kPeriod;
  o.holding = {HoldingFamily::exponential, 60, 0};
  o.joinRate = kRate;
  o.diurnal = {kAmplitude, kPeriod, kPeak};
  std::vector<double> hourly(kHours, 0);
  replay(
      network(1000000, 4, 1), kSeed, o,
      [&](const JoinRecord& j, TracePhase phase) {
        if (phase == TracePhase::joinLeave) {
          ++hourly[std::min(kHours - 1, static_cast<int>(*j.time / 3600))];
        }
      },
      [](const LeaveRecord&, TracePhase) {});
  const auto curve = [&](double t) {
    return kRate * (1 + kAmplitude * pm::cosTurns((t - kPeak) / kPeriod));
  };
  // The joins an hour should hold: the curve's integral over it, with
  // sin(x) = cos(x - a quarter turn).
  const auto expectedIn = [&](double t0, double t1) {
    const auto sine = [&](double t) { return pm::cosTurns((t - kPeak) / kPeriod - 0.25); };
    constexpr double kTwoPi = 6.283185307179586;
    return kRate * ((t1 - t0) + kAmplitude * kPeriod / kTwoPi * (sine(t1) - sine(t0)));
  };
  double chiSquare = 0, n = 0;
  for (int h = 0; h < kHours; ++h) {
    const double e = expectedIn(h * 3600.0, (h + 1) * 3600.0);
    chiSquare += (hourly[h] - e) * (hourly[h] - e) / e;
    n += hourly[h];
  }
  constexpr double kCritical = 114.84;  // chi-square, 72 degrees of freedom, 0.1%

  Svg svg(1000, 560);
  heading(svg, "Daily rhythm: hourly joins against the configured curve");
  const double yMax = 3600 * kRate * (1 + kAmplitude) * 1.45;
  const Frame f(90, 50, 880, 370, {0, static_cast<double>(kHours)}, {0, yMax});
  std::vector<Tick> hours;
  for (int h = 0; h <= kHours; h += 6) hours.push_back({static_cast<double>(h), std::to_string(h)});
  f.axes(svg, hours, linearTicks(0, yMax, 6), "time since the start (h)", "joins per hour");
  f.beginClip(svg, "daily");
  for (int h = 0; h < kHours; ++h) {
    svg.rect(f.x(h + 0.1), f.y(hourly[h]), f.x(h + 0.9) - f.x(h + 0.1), f.y(0) - f.y(hourly[h]),
             kMeasuredBand, kMeasured);
  }
  std::vector<Point> configured;
  for (int i = 0; i <= kHours * 8; ++i) {
    const double t = i * 3600.0 / 8;
    configured.push_back(f.at(t / 3600, 3600 * curve(t)));
  }
  svg.line(f.left(), f.y(3600 * kRate), f.right(), f.y(3600 * kRate), kConfigured, 1.2, "6 4");
  svg.polyline(configured, kConfigured, 2);
  for (int d = 0; d < kDays; ++d) {
    const double peakHour = (d * kPeriod + kPeak) / 3600;
    svg.text(f.x(peakHour), f.y(3600 * kRate * (1 + kAmplitude)) - 8, "peak 20:00", "middle", 10);
  }
  Frame::endClip(svg);
  legend(svg, f.right() - 8, f.top() + 8,
         {{LegendEntry::bar, kMeasuredBand, "joins in each hour of the run"},
          {LegendEntry::line, kConfigured,
           "configured λ × 3600 × (1 + A cos(2π (t − PEAK) / PERIOD))"},
          {LegendEntry::dashed, kConfigured, "base rate λ × 3600 (A = 0)"}});
  svg.text(f.left() + 10, f.top() + 18,
           "χ² = " + fixed(chiSquare, 1) + " against the curve's hourly integrals,", "start", 11);
  svg.text(f.left() + 10, f.top() + 33,
           "72 degrees of freedom, 0.1% critical value " + fixed(kCritical, 2) +
               "; n = " + grouped(static_cast<std::int64_t>(n)) + " joins",
           "start", 11);
  caption(svg, 476,
          {"Seed 6; 1,000,000 nodes, 4 sessions, joins at λ = " + fixed(kRate, 0) +
               " per second over all sessions on average, --holding " + lawOption(o.holding) +
               ", steady start, " + std::to_string(kDays) + " days.",
           "--diurnal " + plain(kAmplitude) + ":" + plain(kPeriod) + ":" + plain(kPeak) +
               ": A = " + plain(kAmplitude) +
               ", PERIOD 1 day, PEAK at 20:00; the time-0 members of the "
               "steady start are not counted.",
           "Configured: the curve drawn from A, PERIOD, PEAK and λ alone."});
  return {"dynamic-diurnal.svg", svg.document("Hourly joins against the daily curve"),
          "diurnal: n " + std::to_string(static_cast<std::int64_t>(n)) + " chi2 " +
              fixed(chiSquare, 2) + " critical " + fixed(kCritical, 2) + ";"};
}

Figure startFigure() {
  // The example of the start's mend: a rhythm of amplitude 0.9 peaking at 0,
  // stays of 30 min. A session that has run forever holds 1.88 times its
  // average at 0, and falls towards the trough with the rhythm.
  constexpr SEED_type kSeed = 7;
  constexpr std::int32_t kSessions = 50;
  constexpr double kPerSession = 200, kHours = 6, kSample = 120;
  DynamicOptions o;
  o.duration = kHours * 3600;
  o.holding = {HoldingFamily::exponential, 1800, 0};
  o.diurnal = {0.9, 86400, 0};
  o.joinRate = kSessions * kPerSession / 1800;
  const double rate = *o.joinRate / kSessions;
  const auto expectedAt = [&](double t) {
    return rate * steadyPresence(o.holding, Diurnal{0.9, 86400, -t});
  };
  // The mean size over the sessions, sampled every two minutes.
  const auto meanSizes = [&](ModelVersion model) {
    DynamicOptions run = o;
    run.model = model;
    std::vector<double> size(kSessions, 0);
    std::vector<Point> out;
    double next = 0;
    const auto sampleUpTo = [&](double t) {
      while (next < t && next <= run.duration) {
        double total = 0;
        for (const double v : size) total += v;
        out.push_back({next / 3600, total / kSessions});
        next += kSample;
      }
    };
    replay(
        network(1000000, kSessions, 1), kSeed, run,
        [&](const JoinRecord& j, TracePhase phase) {
          if (phase != TracePhase::beefUp) sampleUpTo(*j.time);
          ++size[j.session];
        },
        [&](const LeaveRecord& l, TracePhase phase) {
          if (phase != TracePhase::joinLeave) return;
          sampleUpTo(*l.time);
          --size[l.session];
        });
    sampleUpTo(run.duration + kSample);
    return out;
  };
  const std::vector<Point> second = meanSizes(ModelVersion::dynamic2);
  const std::vector<Point> first = meanSizes(ModelVersion::dynamic1);

  Svg svg(900, 560);
  heading(svg, "Group size after a steady start under a daily rhythm, by model version");
  const Frame f(80, 50, 790, 370, {0, kHours}, {0, 400});
  std::vector<Tick> hours;
  for (int h = 0; h <= kHours; ++h) hours.push_back({static_cast<double>(h), std::to_string(h)});
  f.axes(svg, hours, linearTicks(0, 400, 8), "time since the start (h)",
         "mean members besides the source");
  f.beginClip(svg, "start");
  // The mean of 50 independent Poisson sizes: ± 2 standard errors around m(t).
  std::vector<Point> upper, lower, curve;
  for (double t = 0; t <= o.duration; t += kSample) {
    const double m = expectedAt(t);
    const double spread = 2 * std::sqrt(m / kSessions);
    upper.push_back(f.at(t / 3600, m + spread));
    lower.push_back(f.at(t / 3600, m - spread));
    curve.push_back(f.at(t / 3600, m));
  }
  std::vector<Point> band = upper;
  band.insert(band.end(), lower.rbegin(), lower.rend());
  svg.polygon(band, kBand);
  std::vector<Point> secondLine, firstLine;
  for (const Point& p : second) secondLine.push_back(f.at(p.x, p.y));
  for (const Point& p : first) firstLine.push_back(f.at(p.x, p.y));
  svg.line(f.left(), f.y(kPerSession), f.right(), f.y(kPerSession), kGrid, 1.5, "2 3");
  svg.polyline(firstLine, "#7a3c8c", 1.3);
  svg.polyline(secondLine, kMeasured, 1.3);
  svg.polyline(curve, kConfigured, 1.8, "6 4");
  Frame::endClip(svg);
  svg.text(f.x(0.1), f.y(kPerSession) - 6,
           "the average, λ p_s E[H] = " + fixed(kPerSession, 0) + ": where dynamic-1 starts",
           "start", 11);
  svg.text(f.x(2.2), f.y(392),
           "at 0: expected m(0) = " + fixed(expectedAt(0), 1) + "; dynamic-2 " +
               fixed(second.front().y, 1) + ", dynamic-1 " + fixed(first.front().y, 1),
           "start", 11);
  legend(svg, f.x(3.6), f.y(170),
         {{LegendEntry::line, kMeasured, "dynamic-2, mean over the 50 sessions"},
          {LegendEntry::line, "#7a3c8c", "dynamic-1, the same options and seed"},
          {LegendEntry::dashed, kConfigured, "periodic mean m(t) = ∫ r(t − u) (1 − F(u)) du"},
          {LegendEntry::band, kBand, "m(t) ± 2 standard errors of the mean of 50"}});
  caption(svg, 476,
          {"Seed 7; 1,000,000 nodes, 50 sessions, --holding exp:1800, --diurnal 0.9:86400:0 "
           "(peak at 0), --join-rate " +
               fixed(*o.joinRate, 4) + " (λ p_s E[H] = 200), steady start, 6 h.",
           "m(t) = λ p_s E[H] [1 + A (cos ω(t − P) − ωμ sin ω(t − P)) / (1 + ω²μ²)] for "
           "exponential stays of mean μ, ω = 2π / PERIOD.",
           "dynamic-1 drew the members at 0 at the rhythm's average rate and caught up with the "
           "rhythm's state only as they left."});
  return {"dynamic-start.svg", svg.document("Group size after a steady start under a daily rhythm"),
          "start: expected " + fixed(expectedAt(0), 2) + " dynamic-2 " +
              fixed(second.front().y, 2) + " dynamic-1 " + fixed(first.front().y, 2) + ";"};
}

}  // namespace
}  // namespace grouptrace::dynamic

int main(int argc, char** argv) {
  using namespace grouptrace::dynamic;
  if (argc != 2) {
    std::cerr << "usage: " << (argc > 0 ? argv[0] : "grouptrace_dynamic_figures")
              << " FOLDER\nwrites dynamic-holding.svg, dynamic-popularity.svg, dynamic-size.svg,"
                 " dynamic-diurnal.svg and dynamic-start.svg into FOLDER\n";
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    std::cerr << "cannot create " << folder.string() << ": " << error.message() << "\n";
    return 1;
  }
  for (const auto& make :
       {holdingFigure, popularityFigure, sizeFigure, diurnalFigure, startFigure}) {
    const Figure figure = make();
    const std::filesystem::path path = folder / figure.name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << figure.svg;
    out.close();
    if (!out) {
      std::cerr << "cannot write " << path.string() << "\n";
      return 1;
    }
    std::cout << figure.summary << "\n";
  }
  return 0;
}
