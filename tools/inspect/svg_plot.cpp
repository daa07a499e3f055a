#include "svg_plot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <utility>

#include "grouptrace/trace_event.h"
#include "svg_text.h"
#include "wording.h"

namespace grouptrace {
namespace {

// Distinct on white and for the common forms of colour blindness; none so
// light that its line fades in greyscale print.
constexpr std::array<const char*, SvgPlot::kLineStyles> kPalette = {
    "#4c78a8", "#f58518", "#54a24b", "#e45756", "#72b7b2", "#b279a2", "#9d755d", "#c9a227"};
// What still tells the lines apart in greyscale: dash patterns in multiples
// of the line width (solid first) ...
struct DashPattern {
  int count;
  double lengths[6];
};
constexpr std::array<DashPattern, SvgPlot::kLineStyles> kDashes = {{
    {0, {}},
    {2, {5, 2.5}},
    {2, {1.2, 1.8}},
    {4, {6, 2, 1.2, 2}},
    {2, {10, 3}},
    {6, {6, 2, 1.2, 2, 1.2, 2}},
    {2, {2.5, 2.5}},
    {4, {10, 2, 2.5, 2}},
}};
// ... and markers: hollow circle, square, triangle, diamond, downward
// triangle, plus, cross and a solid dot.
constexpr int kMarkerKinds = 8;

// The band is opaque so that it looks the same over every phase's shading
// and in its legend swatch; this is the light blue it used to be over white.
constexpr const char* kBandFill = "#cdd9e7";
constexpr const char* kMeanStroke = "#1f4e79";
constexpr const char* kInk = "#333333";

constexpr const char* kPhaseFills[] = {"#eaf1fb", "#ffffff", "#fcefe1"};

std::string num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

std::string integerText(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", v);
  return text;
}

// A round step (1, 2 or 5 times a power of ten) that cuts the range into about
// `ticks` pieces, never below 1 since every axis counts whole things.
double niceStep(double range, double ticks) {
  const double raw = std::max(range / ticks, 1.0);
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 5.0}) {
    if (m * power >= raw) return m * power;
  }
  return 10 * power;
}

std::string textElement(double x, double y, const std::string& anchor, const std::string& escaped,
                        const std::string& extra = "") {
  return "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"" +
         (anchor.empty() ? "" : " text-anchor=\"" + anchor + "\"") + extra + ">" + escaped +
         "</text>\n";
}

// One marker of the given kind centred on (cx, cy), r its rough radius.
std::string markerPath(int kind, double cx, double cy, double r) {
  auto point = [&](double dx, double dy) { return num(cx + dx * r) + "," + num(cy + dy * r); };
  auto circle = [&](double scale) {
    const std::string radius = num(scale * r) + "," + num(scale * r);
    return "M" + point(-scale, 0) + " A" + radius + " 0 1,0 " + point(scale, 0) + " A" + radius +
           " 0 1,0 " + point(-scale, 0) + " Z";
  };
  std::string d;
  switch (kind) {
    case 0:
      d = circle(1);
      break;
    case 1:
      d = "M" + point(-0.85, -0.85) + " L" + point(0.85, -0.85) + " L" + point(0.85, 0.85) + " L" +
          point(-0.85, 0.85) + " Z";
      break;
    case 2:
      d = "M" + point(0, -1.1) + " L" + point(1, 0.75) + " L" + point(-1, 0.75) + " Z";
      break;
    case 3:
      d = "M" + point(0, -1.2) + " L" + point(1, 0) + " L" + point(0, 1.2) + " L" + point(-1, 0) +
          " Z";
      break;
    case 4:
      d = "M" + point(0, 1.1) + " L" + point(1, -0.75) + " L" + point(-1, -0.75) + " Z";
      break;
    case 5:
      d = "M" + point(-1.1, 0) + " L" + point(1.1, 0) + " M" + point(0, -1.1) + " L" +
          point(0, 1.1);
      break;
    case 6:
      d = "M" + point(-0.9, -0.9) + " L" + point(0.9, 0.9) + " M" + point(-0.9, 0.9) + " L" +
          point(0.9, -0.9);
      break;
    default:
      d = circle(0.7);
      break;
  }
  return "<path d=\"" + d + "\"/>\n";
}

}  // namespace

SvgPlot::SvgPlot(const GroupSizeSeries& series, PlotFacts facts, PlotStyle style)
    : series_(series),
      facts_(std::move(facts)),
      style_(std::move(style)),
      requests_(std::max<Count>(series.steps() - 1, 0)) {
  xMax_ = static_cast<double>(std::max<Count>(requests_, 1));
  if (facts_.timed) {
    timeUnit_ = facts_.duration >= 3 * 3600 ? 3600 : 1;
    xMax_ = facts_.duration > 0 ? facts_.duration / timeUnit_ : 1;
    if (style_.title == PlotStyle::kDefaultTitle) style_.title = PlotStyle::kTimedTitle;
  }
  layOut();
}

void SvgPlot::layOut() {
  const double w = style_.width;
  const double h = style_.height;
  // Text a 42nd of the width: shrunk to a 3.5 in (252 pt) column, the
  // picture still shows it at 6 pt, whatever its size in pixels.
  font_ = std::min(w / 42, h / 21);
  line_ = 0.09 * font_;
  const double pad = 0.6 * font_;
  const double titleFont = 1.25 * font_;

  double at = pad;
  if (!style_.title.empty()) {
    titleBaseline_ = at + 0.8 * titleFont;
    at = titleBaseline_ + 0.3 * titleFont;
  }
  if (style_.subtitle) {
    subtitleBaseline_ = at + 0.8 * font_;
    at = subtitleBaseline_ + 0.7 * font_;
  }
  phaseBaseline_ = at + 0.8 * font_;
  bracket_ = phaseBaseline_ + 0.55 * font_;
  top_ = bracket_ + 0.45 * font_;

  // The legend flows in rows under the axis title, so the plot area's height
  // depends on how many rows its width allows, and its width on how wide the
  // numbers of the vertical axis are: settle both by trying again.
  const double largest = static_cast<double>(series_.largest());
  std::string yLabel = integerText(largest);
  for (int attempt = 0; attempt < 4; ++attempt) {
    left_ = pad + 0.8 * font_ + 0.6 * font_ + textWidth(yLabel, font_) + 0.4 * font_;
    right_ = w - pad - std::max(0.5 * textWidth(integerText(xMax_), font_), 0.3 * font_);

    legend_.clear();
    if (series_.perSession()) {
      for (std::size_t s = 0; s < series_.seriesCount(); ++s) {
        legend_.push_back({static_cast<int>(s), s < facts_.lineLabels.size()
                                                    ? facts_.lineLabels[s]
                                                    : "session " + std::to_string(s)});
      }
    } else {
      legend_.push_back({-2, "smallest to largest group"});
      legend_.push_back({-3, "mean over sessions"});
    }
    if (series_.bucketWidth() > 1 && style_.footnote) {
      legend_.push_back({-1, "each step spans " + std::to_string(series_.bucketWidth()) +
                                 " requests " +
                                 (series_.perSession() ? "(their mean)" : "(min, mean, max)")});
    }
    double x = left_;
    int rows = 1;
    for (auto& item : legend_) {
      const double width = (item.swatch == -1 ? 0 : 2.8 * font_) + textWidth(item.label, font_);
      if (x > left_ && x + width > right_) {
        ++rows;
        x = left_;
      }
      item.x = x;
      item.baseline = rows;  // the row for now; its height once the rows are counted
      x += width + 1.1 * font_;
    }
    const double lastRow = h - pad - 0.3 * font_;
    for (auto& item : legend_) item.baseline = lastRow - (rows - item.baseline) * 1.35 * font_;
    xTitleBaseline_ = lastRow - (rows - 1) * 1.35 * font_ - 1.55 * font_;
    tickBaseline_ = xTitleBaseline_ - 1.35 * font_;
    bottom_ = tickBaseline_ - 1.35 * font_;

    const double ticksAcross =
        (right_ - left_) / (textWidth(integerText(xMax_), font_) + 2.5 * font_);
    xStep_ = niceStep(xMax_, std::clamp(ticksAcross, 2.0, 10.0));
    yStep_ = niceStep(largest, std::clamp((bottom_ - top_) / (1.7 * font_), 2.0, 10.0));
    yMax_ = std::ceil(largest / yStep_) * yStep_;
    if (yMax_ < largest + 0.5) yMax_ += yStep_;
    // Only ever widening the margin, so that this settles within a digit or two.
    if (textWidth(integerText(yMax_), font_) <= textWidth(yLabel, font_)) break;
    yLabel = integerText(yMax_);
  }
}

double SvgPlot::x(double step) const {
  return left_ + (right_ - left_) * step / xMax_;
}
double SvgPlot::bucketStart(std::size_t b) const {
  if (facts_.timed) return series_.firstTime(b) / timeUnit_;
  return static_cast<double>(series_.firstStep(b));
}

// Each bucket holds from its first step until the next bucket begins: the
// size after a request stands until the next one.
double SvgPlot::bucketEnd(std::size_t b) const {
  if (facts_.timed) return b + 1 < series_.bucketCount() ? bucketStart(b + 1) : xMax_;
  return std::min(static_cast<double>(series_.lastStep(b) + 1), xMax_);
}

double SvgPlot::y(double size) const {
  return bottom_ - (bottom_ - top_) * size / yMax_;
}

void SvgPlot::heading(std::string& out) const {
  const double pad = 0.6 * font_;
  const double room = style_.width - 2 * pad;
  if (!style_.title.empty()) {
    // Bold runs about a tenth wider than the estimate's regular weight.
    const double titleFont = 1.25 * font_;
    const auto title = fitted(xmlCharacters(style_.title), room, 1.1 * titleFont, false);
    out +=
        textElement(pad, titleBaseline_, "", xmlEscaped(title),
                    " font-size=\"" + num(titleFont) + "\" font-weight=\"bold\" fill=\"#222222\"");
  }
  if (!style_.subtitle) return;
  if (!facts_.lineLabels.empty()) {
    const std::string text = std::to_string(facts_.lineLabels.size()) +
                             " traces, each line the mean group size over its sessions";
    out += textElement(pad, subtitleBaseline_, "", xmlText(text),
                       " font-size=\"" + num(font_) + "\" fill=\"#444444\"");
    return;
  }
  const auto sessions = static_cast<long long>(facts_.sources.size());
  const std::u32string counts = xmlCharacters(traceCounts(sessions, facts_.joins, facts_.leaves));
  std::u32string subtitle = counts;
  if (!facts_.caption.empty()) {
    // A long path keeps its end, where the file's own name is.
    const std::u32string separator = U": ";
    const double captionRoom = room - textWidth(separator + counts, font_);
    subtitle = fitted(xmlCharacters(facts_.caption), captionRoom, font_, true) + separator + counts;
  }
  out += textElement(pad, subtitleBaseline_, "", xmlEscaped(subtitle),
                     " font-size=\"" + num(font_) + "\" fill=\"#444444\"");
}

void SvgPlot::phaseShading(std::string& out) const {
  if (facts_.timed || !facts_.lineLabels.empty()) {
    // The first and last phases of a timed run are instants, at 0 and at its end.
    out += "<rect x=\"" + num(left_) + "\" y=\"" + num(top_) + "\" width=\"" + num(right_ - left_) +
           "\" height=\"" + num(bottom_ - top_) + "\" fill=\"" + kPhaseFills[1] + "\"/>\n";
    return;
  }
  const double starts[] = {0, static_cast<double>(facts_.joinLeaveStart),
                           static_cast<double>(facts_.endStart), xMax_};
  for (int p = 0; p < 3; ++p) {
    out += "<rect x=\"" + num(x(starts[p])) + "\" y=\"" + num(top_) + "\" width=\"" +
           num(x(starts[p + 1]) - x(starts[p])) + "\" height=\"" + num(bottom_ - top_) +
           "\" fill=\"" + kPhaseFills[p] + "\"/>\n";
  }
}

// The phases are named above the plot area, each over a bracket that spans
// it, so that no label covers the data however narrow its phase.
void SvgPlot::phaseLabels(std::string& out) const {
  if (facts_.timed || !facts_.lineLabels.empty()) return;
  const double starts[] = {0, static_cast<double>(facts_.joinLeaveStart),
                           static_cast<double>(facts_.endStart), xMax_};
  // Boundaries run from the axis up to the brackets, over the data.
  const std::string dash = num(0.3 * font_) + " " + num(0.25 * font_);
  for (int p = 1; p < 3; ++p) {
    const double at = x(starts[p]);
    out += "<line x1=\"" + num(at) + "\" y1=\"" + num(bottom_) + "\" x2=\"" + num(at) + "\" y2=\"" +
           num(bracket_) + "\" stroke=\"#555555\" stroke-width=\"" + num(0.06 * font_) +
           "\" stroke-dasharray=\"" + dash + "\"/>\n";
  }
  const double tick = 0.25 * font_;
  const double gap = 0.8 * font_;
  double lefts[3];
  double widths[3];
  for (int p = 0; p < 3; ++p) {
    const double from = x(starts[p]);
    const double to = x(starts[p + 1]);
    out += "<path d=\"M" + num(from) + "," + num(bracket_ + tick) + " V" + num(bracket_) + " H" +
           num(to) + " V" + num(bracket_ + tick) + "\" fill=\"none\" stroke=\"#555555\" " +
           "stroke-width=\"" + num(0.06 * font_) + "\"/>\n";
    widths[p] = textWidth(phaseName(static_cast<TracePhase>(p)), font_);
    lefts[p] = std::clamp((from + to - widths[p]) / 2, left_, right_ - widths[p]);
  }
  // Centred over their brackets where there is room, else pushed apart.
  for (int p = 1; p < 3; ++p) lefts[p] = std::max(lefts[p], lefts[p - 1] + widths[p - 1] + gap);
  for (int p = 2; p >= 0; --p) {
    const double limit = p == 2 ? right_ : lefts[p + 1] - gap;
    lefts[p] = std::min(lefts[p], limit - widths[p]);
  }
  for (int p = 0; p < 3; ++p) {
    out += textElement(lefts[p], phaseBaseline_, "",
                       std::string(phaseName(static_cast<TracePhase>(p))),
                       " font-size=\"" + num(font_) + "\" fill=\"#444444\"");
  }
}

void SvgPlot::grid(std::string& out) const {
  for (double v = yStep_; v <= yMax_ + 1e-9; v += yStep_) {
    out += "<line x1=\"" + num(left_) + "\" y1=\"" + num(y(v)) + "\" x2=\"" + num(right_) +
           "\" y2=\"" + num(y(v)) + "\" stroke=\"#dddddd\" stroke-width=\"" + num(0.05 * font_) +
           "\"/>\n";
  }
}

void SvgPlot::axes(std::string& out) const {
  const std::string stroke =
      "\" stroke=\"" + std::string(kInk) + "\" stroke-width=\"" + num(0.06 * font_) + "\"/>\n";
  out += "<g font-size=\"" + num(font_) + "\" fill=\"" + kInk + "\">\n";
  for (double v = 0; v <= yMax_ + 1e-9; v += yStep_) {
    out += textElement(left_ - 0.4 * font_, y(v) + 0.36 * font_, "end", integerText(v));
  }
  for (double t = 0; t <= xMax_ + 1e-9; t += xStep_) {
    out += "<line x1=\"" + num(x(t)) + "\" y1=\"" + num(bottom_) + "\" x2=\"" + num(x(t)) +
           "\" y2=\"" + num(bottom_ + 0.3 * font_) + stroke;
    out += textElement(x(t), tickBaseline_, "middle", integerText(t));
  }
  out += "<line x1=\"" + num(left_) + "\" y1=\"" + num(bottom_) + "\" x2=\"" + num(right_) +
         "\" y2=\"" + num(bottom_) + stroke;
  out += "<line x1=\"" + num(left_) + "\" y1=\"" + num(top_) + "\" x2=\"" + num(left_) +
         "\" y2=\"" + num(bottom_) + stroke;

  // The longest wording that fits beside its axis.
  auto longestFitting = [&](std::initializer_list<const char*> wordings, double room) {
    for (const char* text : wordings) {
      if (textWidth(std::string_view(text), font_) <= room) return text;
    }
    return *(wordings.end() - 1);
  };
  const double xRoom = right_ - left_;
  const char* xTitle =
      !facts_.timed ? longestFitting({"request number (in trace order)", "request number"}, xRoom)
      : timeUnit_ == 3600.0 ? longestFitting({"time (hours)", "time (h)"}, xRoom)
                            : longestFitting({"time (seconds)", "time (s)"}, xRoom);
  out += textElement((left_ + right_) / 2, xTitleBaseline_, "middle", xTitle);
  const double pad = 0.6 * font_;
  out += "<text transform=\"translate(" + num(pad + 0.8 * font_) + "," + num((top_ + bottom_) / 2) +
         ") rotate(-90)\" text-anchor=\"middle\">" +
         longestFitting({"group size (members, source included)", "group size (source included)",
                         "group size"},
                        bottom_ - top_) +
         "</text>\n";
  out += "</g>\n";
}

// A session's line and its markers, in the plot and in the legend alike, so
// that a swatch cannot drift from what it stands for.
void SvgPlot::sessionLine(std::string& out, std::size_t session, const std::string& points,
                          const std::vector<std::pair<double, double>>& marks) const {
  const std::size_t style = session % kLineStyles;
  out += "<g stroke=\"" + std::string(kPalette[style]) + "\">\n";
  out += "<polyline fill=\"none\" stroke-width=\"" + num(line_) + "\"";
  std::string dashes;
  for (int k = 0; k < kDashes[style].count; ++k) {
    if (k > 0) dashes += ' ';
    dashes += num(kDashes[style].lengths[k] * line_);
  }
  if (!dashes.empty()) out += " stroke-dasharray=\"" + dashes + "\"";
  out += " stroke-linejoin=\"round\" points=\"" + points + "\"/>\n";
  const int kind = static_cast<int>(style) % kMarkerKinds;
  const bool solid = kind == kMarkerKinds - 1;
  out += "<g fill=\"" + std::string(solid ? kPalette[style] : "#ffffff") + "\" stroke-width=\"" +
         num(0.75 * line_) + "\">\n";
  for (const auto& [cx, cy] : marks) out += markerPath(kind, cx, cy, 0.32 * font_);
  out += "</g>\n</g>\n";
}

void SvgPlot::data(std::string& out) const {
  auto stairs = [&](std::size_t series, auto value) {
    std::string points;
    for (std::size_t b = 0; b < series_.bucketCount(); ++b) {
      // A compared trace that ended earlier has no samples from there on.
      if (series_.bucket(b, series).samples == 0) continue;
      const double v = y(value(series_.bucket(b, series)));
      points +=
          num(x(bucketStart(b))) + "," + num(v) + " " + num(x(bucketEnd(b))) + "," + num(v) + " ";
    }
    return points;
  };
  auto mean = [](const SizeBucket& bucket) { return bucket.mean(); };
  if (series_.perSession()) {
    // A few markers per line, evenly spaced, each line's shifted so that
    // lines running together do not hide each other's markers.
    const int count = std::clamp(static_cast<int>((right_ - left_) / (4 * font_)), 3, 12);
    for (std::size_t s = 0; s < series_.seriesCount(); ++s) {
      const double shift =
          (static_cast<double>(s) + 0.5) / static_cast<double>(series_.seriesCount());
      std::vector<std::pair<double, double>> marks;
      for (int k = 0; k < count; ++k) {
        const double step = xMax_ * (k + shift) / count;
        // The bucket that holds the marker's place: the last to begin at or before it.
        std::size_t b = 0;
        while (b + 1 < series_.bucketCount() && bucketStart(b + 1) <= step) ++b;
        if (series_.bucket(b, s).samples == 0) continue;
        marks.emplace_back(x(step), y(series_.bucket(b, s).mean()));
      }
      sessionLine(out, s, stairs(s, mean), marks);
    }
    return;
  }
  std::string band = stairs(0, [](const SizeBucket& b) { return static_cast<double>(b.max); });
  for (std::size_t b = series_.bucketCount(); b-- > 0;) {
    const double bottom = y(static_cast<double>(series_.bucket(b, 0).min));
    band += num(x(bucketEnd(b))) + "," + num(bottom) + " " + num(x(bucketStart(b))) + "," +
            num(bottom) + " ";
  }
  out += "<polygon fill=\"" + std::string(kBandFill) + "\" stroke=\"none\" points=\"" + band +
         "\"/>\n";
  out += "<polyline fill=\"none\" stroke=\"" + std::string(kMeanStroke) + "\" stroke-width=\"" +
         num(line_) + "\" points=\"" + stairs(0, mean) + "\"/>\n";
}

void SvgPlot::legend(std::string& out) const {
  out += "<g font-size=\"" + num(font_) + "\" fill=\"" + kInk + "\">\n";
  for (const auto& item : legend_) {
    const double mid = item.baseline - 0.33 * font_;
    const double swatch = 2.4 * font_;
    if (item.swatch == -1) {
      out += textElement(item.x, item.baseline, "", xmlText(item.label), " fill=\"#555555\"");
      continue;
    }
    if (item.swatch == -2) {
      out += "<rect x=\"" + num(item.x) + "\" y=\"" + num(mid - 0.4 * font_) + "\" width=\"" +
             num(swatch) + "\" height=\"" + num(0.8 * font_) + "\" fill=\"" + kBandFill + "\"/>\n";
    } else if (item.swatch == -3) {
      out += "<line x1=\"" + num(item.x) + "\" y1=\"" + num(mid) + "\" x2=\"" +
             num(item.x + swatch) + "\" y2=\"" + num(mid) + "\" stroke=\"" + kMeanStroke +
             "\" stroke-width=\"" + num(line_) + "\"/>\n";
    } else {
      const double end = item.x + swatch;
      sessionLine(out, static_cast<std::size_t>(item.swatch),
                  num(item.x) + "," + num(mid) + " " + num(end) + "," + num(mid),
                  {{(item.x + end) / 2, mid}});
    }
    out += textElement(item.x + 2.8 * font_, item.baseline, "", xmlText(item.label));
  }
  out += "</g>\n";
}

std::string SvgPlot::render() const {
  std::string out;
  out.reserve(64 * 1024);
  const std::string w = std::to_string(style_.width);
  const std::string h = std::to_string(style_.height);
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + w + "\" height=\"" + h +
         "\" viewBox=\"0 0 " + w + " " + h + "\" font-family=\"DejaVu Sans, Arial, sans-serif\">\n";
  const std::string& title = style_.title.empty() ? PlotStyle::kDefaultTitle : style_.title;
  out += "<title>" + xmlText(facts_.caption.empty() ? title : title + ": " + facts_.caption) +
         "</title>\n";
  out += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  // Groups named for whoever edits the picture further.
  heading(out);
  out += "<g class=\"background\">\n";
  phaseShading(out);
  grid(out);
  out += "</g>\n<g class=\"data\">\n";
  data(out);
  out += "</g>\n<g class=\"phases\">\n";
  phaseLabels(out);
  out += "</g>\n<g class=\"axes\">\n";
  axes(out);
  out += "</g>\n<g class=\"legend\">\n";
  legend(out);
  out += "</g>\n";
  out += "</svg>\n";
  return out;
}

}  // namespace grouptrace
