#include "svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace grouptrace {
namespace {

constexpr double kLeft = 80;
constexpr double kRight = SvgPlot::kWidth - 210;
constexpr double kTop = 72;
constexpr double kBottom = SvgPlot::kHeight - 64;

// Distinct on white and for the common forms of colour blindness.
constexpr const char* kPalette[] = {"#4c78a8", "#f58518", "#54a24b", "#e45756",
                                    "#72b7b2", "#b279a2", "#9d755d", "#eeca3b"};

std::string num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
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
        // Control characters are not allowed in XML text at all.
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') out += c;
        break;
    }
  }
  return out;
}

// A round step (1, 2 or 5 times a power of ten) that cuts the range into about
// `ticks` pieces, never below 1 since every axis counts whole things.
double niceStep(double range, int ticks) {
  const double raw = std::max(range / ticks, 1.0);
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 5.0}) {
    if (m * power >= raw) return m * power;
  }
  return 10 * power;
}

std::string integerText(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", v);
  return text;
}

}  // namespace

SvgPlot::SvgPlot(const GroupSizeSeries& series, PlotFacts facts)
    : series_(series), facts_(std::move(facts)), requests_(std::max<Count>(series.steps() - 1, 0)) {
  xMax_ = static_cast<double>(std::max<Count>(requests_, 1));
  xStep_ = niceStep(xMax_, 8);
  yStep_ = niceStep(static_cast<double>(series.largest()), 6);
  yMax_ = std::ceil(static_cast<double>(series.largest()) / yStep_) * yStep_;
  if (yMax_ < static_cast<double>(series.largest()) + 0.5) yMax_ += yStep_;
}

double SvgPlot::x(double step) const {
  return kLeft + (kRight - kLeft) * step / xMax_;
}
double SvgPlot::y(double size) const {
  return kBottom - (kBottom - kTop) * size / yMax_;
}

void SvgPlot::phases(std::string& out) const {
  const double starts[] = {0, static_cast<double>(facts_.joinLeaveStart),
                           static_cast<double>(facts_.endStart), xMax_};
  const char* const fills[] = {"#eaf1fb", "#ffffff", "#fcefe1"};
  const char* const names[] = {"beef-up", "join-leave", "end of session"};
  for (int p = 0; p < 3; ++p) {
    out += "<rect x=\"" + num(x(starts[p])) + "\" y=\"" + num(kTop) + "\" width=\"" +
           num(x(starts[p + 1]) - x(starts[p])) + "\" height=\"" + num(kBottom - kTop) +
           "\" fill=\"" + fills[p] + "\"/>\n";
  }
  // Labels stand upright beside their boundary; ones that would overlap move right.
  double lastLabel = -1e9;
  for (int p = 0; p < 3; ++p) {
    const double at = x(starts[p]);
    if (p > 0) {
      out += "<line x1=\"" + num(at) + "\" y1=\"" + num(kTop) + "\" x2=\"" + num(at) + "\" y2=\"" +
             num(kBottom) + "\" stroke=\"#666666\" stroke-dasharray=\"5 4\"/>\n";
    }
    const double labelX = std::max(at + 13, lastLabel + 14);
    lastLabel = labelX;
    out += "<text transform=\"translate(" + num(labelX) + "," + num(kTop + 6) +
           ") rotate(-90)\" text-anchor=\"end\" font-size=\"12\" fill=\"#444444\">" + names[p] +
           "</text>\n";
  }
}

void SvgPlot::axes(std::string& out) const {
  out += "<g font-size=\"12\" fill=\"#333333\">\n";
  for (double v = 0; v <= yMax_ + 1e-9; v += yStep_) {
    out += "<line x1=\"" + num(kLeft) + "\" y1=\"" + num(y(v)) + "\" x2=\"" + num(kRight) +
           "\" y2=\"" + num(y(v)) + "\" stroke=\"#d9d9d9\" stroke-width=\"0.8\"/>\n";
    out += "<text x=\"" + num(kLeft - 8) + "\" y=\"" + num(y(v) + 4) + "\" text-anchor=\"end\">" +
           integerText(v) + "</text>\n";
  }
  for (double t = 0; t <= xMax_ + 1e-9; t += xStep_) {
    out += "<line x1=\"" + num(x(t)) + "\" y1=\"" + num(kBottom) + "\" x2=\"" + num(x(t)) +
           "\" y2=\"" + num(kBottom + 5) + "\" stroke=\"#333333\"/>\n";
    out += "<text x=\"" + num(x(t)) + "\" y=\"" + num(kBottom + 19) + "\" text-anchor=\"middle\">" +
           integerText(t) + "</text>\n";
  }
  out += "<line x1=\"" + num(kLeft) + "\" y1=\"" + num(kBottom) + "\" x2=\"" + num(kRight) +
         "\" y2=\"" + num(kBottom) + "\" stroke=\"#333333\"/>\n";
  out += "<line x1=\"" + num(kLeft) + "\" y1=\"" + num(kTop) + "\" x2=\"" + num(kLeft) +
         "\" y2=\"" + num(kBottom) + "\" stroke=\"#333333\"/>\n";
  out += "<text x=\"" + num((kLeft + kRight) / 2) + "\" y=\"" + num(kBottom + 42) +
         "\" text-anchor=\"middle\" font-size=\"13\">request number (in trace order)</text>\n";
  out += "<text transform=\"translate(" + num(kLeft - 48) + "," + num((kTop + kBottom) / 2) +
         ") rotate(-90)\" text-anchor=\"middle\" font-size=\"13\">group size (members, source "
         "included)</text>\n";
  out += "</g>\n";
}

void SvgPlot::data(std::string& out) const {
  // Each bucket holds from its first step until the next bucket begins: the
  // size after a request stands until the next one.
  auto spanEnd = [&](std::size_t b) {
    return std::min(static_cast<double>(series_.lastStep(b) + 1), xMax_);
  };
  const std::size_t buckets = series_.bucketCount();
  if (series_.perSession()) {
    for (std::size_t s = 0; s < series_.seriesCount(); ++s) {
      out += "<polyline fill=\"none\" stroke=\"" + std::string(kPalette[s % 8]) +
             "\" stroke-width=\"1.8\" stroke-linejoin=\"round\" points=\"";
      for (std::size_t b = 0; b < buckets; ++b) {
        const double m = series_.bucket(b, s).mean();
        out += num(x(static_cast<double>(series_.firstStep(b)))) + "," + num(y(m)) + " " +
               num(x(spanEnd(b))) + "," + num(y(m)) + " ";
      }
      out += "\"/>\n";
    }
    return;
  }
  out += "<polygon fill=\"#4c78a8\" fill-opacity=\"0.28\" stroke=\"none\" points=\"";
  for (std::size_t b = 0; b < buckets; ++b) {
    const double top = static_cast<double>(series_.bucket(b, 0).max);
    out += num(x(static_cast<double>(series_.firstStep(b)))) + "," + num(y(top)) + " " +
           num(x(spanEnd(b))) + "," + num(y(top)) + " ";
  }
  for (std::size_t b = buckets; b-- > 0;) {
    const double bottom = static_cast<double>(series_.bucket(b, 0).min);
    out += num(x(spanEnd(b))) + "," + num(y(bottom)) + " " +
           num(x(static_cast<double>(series_.firstStep(b)))) + "," + num(y(bottom)) + " ";
  }
  out += "\"/>\n<polyline fill=\"none\" stroke=\"#1f4e79\" stroke-width=\"1.8\" points=\"";
  for (std::size_t b = 0; b < buckets; ++b) {
    const double m = series_.bucket(b, 0).mean();
    out += num(x(static_cast<double>(series_.firstStep(b)))) + "," + num(y(m)) + " " +
           num(x(spanEnd(b))) + "," + num(y(m)) + " ";
  }
  out += "\"/>\n";
}

void SvgPlot::legend(std::string& out) const {
  const double left = kRight + 24;
  double top = kTop + 4;
  out += "<g font-size=\"12\" fill=\"#333333\">\n";
  auto entry = [&](const std::string& swatch, const std::string& label) {
    out += swatch + "<text x=\"" + num(left + 30) + "\" y=\"" + num(top + 4) + "\">" +
           escaped(label) + "</text>\n";
    top += 20;
  };
  auto lineSwatch = [&](const char* colour) {
    return "<line x1=\"" + num(left) + "\" y1=\"" + num(top) + "\" x2=\"" + num(left + 22) +
           "\" y2=\"" + num(top) + "\" stroke=\"" + colour + "\" stroke-width=\"2.5\"/>";
  };
  if (series_.perSession()) {
    for (std::size_t s = 0; s < series_.seriesCount(); ++s) {
      const std::string source =
          s < facts_.sources.size() ? " (source " + std::to_string(facts_.sources[s]) + ")" : "";
      entry(lineSwatch(kPalette[s % 8]), "session " + std::to_string(s) + source);
    }
  } else {
    entry("<rect x=\"" + num(left) + "\" y=\"" + num(top - 6) +
              "\" width=\"22\" height=\"12\" fill=\"#4c78a8\" fill-opacity=\"0.28\"/>",
          "smallest to largest");
    entry(lineSwatch("#1f4e79"), "mean over sessions");
  }
  if (series_.bucketWidth() > 1) {
    top += 8;
    out += "<text x=\"" + num(left) + "\" y=\"" + num(top) +
           "\" font-size=\"11\">each step spans " + std::to_string(series_.bucketWidth()) +
           " requests</text>\n";
    top += 16;
    out += "<text x=\"" + num(left) + "\" y=\"" + num(top) + "\" font-size=\"11\">" +
           (series_.perSession() ? "(their mean)" : "(min, mean, max over them)") + "</text>\n";
  }
  out += "</g>\n";
}

std::string SvgPlot::render() const {
  const std::int32_t sessions = static_cast<std::int32_t>(facts_.sources.size());
  std::string out;
  out.reserve(64 * 1024);
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(kWidth) +
         "\" height=\"" + std::to_string(kHeight) + "\" viewBox=\"0 0 " + std::to_string(kWidth) +
         " " + std::to_string(kHeight) + "\" font-family=\"DejaVu Sans, Arial, sans-serif\">\n";
  out += "<title>Group size over the request sequence: " + escaped(facts_.caption) + "</title>\n";
  out += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  out += "<text x=\"" + num(kLeft) +
         "\" y=\"28\" font-size=\"17\" font-weight=\"bold\" "
         "fill=\"#222222\">Group size over the request sequence</text>\n";
  const std::string what =
      (sessions > 0 && !series_.perSession() ? "min / mean / max over " : "") +
      std::to_string(sessions) + (sessions == 1 ? " session, " : " sessions, ") +
      std::to_string(requests_) + " requests (" + std::to_string(facts_.joins) + " joins, " +
      std::to_string(facts_.leaves) + " leaves)";
  out += "<text x=\"" + num(kLeft) + "\" y=\"50\" font-size=\"13\" fill=\"#444444\">" +
         escaped(facts_.caption.empty() ? what : facts_.caption + ": " + what) + "</text>\n";
  phases(out);
  axes(out);
  data(out);
  legend(out);
  out += "</svg>\n";
  return out;
}

}  // namespace grouptrace
