#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <random>
#include <stdexcept>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "group_size_series.h"
#include "grouptrace/memory_source.h"
#include "grouptrace/trace_reader.h"
#include "inspect_options.h"
#include "inspect_test_support.h"
#include "plot_recorder.h"
#include "read_events.h"
#include "size_spread.h"
#include "svg_plot.h"
#include "svg_text.h"
#include "trace_stats.h"
#include "value_histogram.h"
#include "wording.h"
#include "xml_well_formed.h"

namespace grouptrace {
namespace {

using testing::xmlProblem;

TEST(ValueHistogram, CountsStayExactWhileTheBinsCoarsen) {
  std::mt19937 random(7);
  // Rising, falling, negative and wide ranges: the bins must follow each way.
  const std::vector<std::vector<std::int64_t>> cases = {
      {100, 10, 55, 99, 11},
      {-5, -4, -3, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9},
      {2147483647, -2147483648LL, 0},
      {42},
  };
  std::vector<std::vector<std::int64_t>> all = cases;
  std::vector<std::int64_t> uniform;
  std::uniform_int_distribution<std::int64_t> draw(-300, 4000);
  for (int i = 0; i < 5000; ++i) uniform.push_back(draw(random));
  all.push_back(uniform);

  for (const auto& values : all) {
    ValueHistogram h;
    for (const auto v : values) h.add(v);
    EXPECT_EQ(h.count(), static_cast<Count>(values.size()));
    EXPECT_EQ(h.min(), *std::min_element(values.begin(), values.end()));
    EXPECT_EQ(h.max(), *std::max_element(values.begin(), values.end()));
    const double sum = std::accumulate(values.begin(), values.end(), 0.0);
    EXPECT_DOUBLE_EQ(h.mean(), sum / static_cast<double>(values.size()));
    Count binned = 0;
    for (int i = 0; i < ValueHistogram::kBins; ++i) {
      const auto low = h.binLow(i);
      const auto inBin = std::count_if(values.begin(), values.end(), [&](std::int64_t v) {
        return v >= low && v < low + h.binWidth();
      });
      EXPECT_EQ(h.binCount(i), inBin) << "bin " << i;
      binned += h.binCount(i);
    }
    EXPECT_EQ(binned, h.count());
    // No coarser than needed: half the width would not span the values.
    if (h.binWidth() > 1) {
      const std::int64_t half = h.binWidth() / 2;
      const std::int64_t lowest = h.min() - (((h.min() % half) + half) % half);
      EXPECT_GE(h.max() - lowest, ValueHistogram::kBins * half);
    }
  }
}

TEST(SizeSpread, ExtremesFollowEveryChange) {
  std::mt19937 random(3);
  SizeSpread spread(5);
  std::vector<Count> sizes(5, 1);
  for (int i = 0; i < 20000; ++i) {
    const auto s = static_cast<std::int32_t>(random() % 5);
    const int delta = (sizes[static_cast<std::size_t>(s)] == 1 || random() % 2 == 0) ? +1 : -1;
    spread.change(s, delta);
    sizes[static_cast<std::size_t>(s)] += delta;
    ASSERT_EQ(spread.min(), *std::min_element(sizes.begin(), sizes.end())) << i;
    ASSERT_EQ(spread.max(), *std::max_element(sizes.begin(), sizes.end())) << i;
    ASSERT_DOUBLE_EQ(spread.mean(), std::accumulate(sizes.begin(), sizes.end(), 0.0) / 5);
  }
  // Sizes come from a reader one request at a time: any other step is a fault to stop at.
  const Count now = spread.size(0);
  for (const Count size : {now, now + 2, now - 2}) {
    EXPECT_THROW(spread.set(0, size), std::logic_error) << size;
  }
  spread.set(0, now + 1);
  EXPECT_EQ(spread.size(0), now + 1);
}

// Feeds random steps to a series and to a plain record of every step, then
// compares each bucket with the steps it claims to cover.
void checkSeries(std::int32_t sessions, std::int32_t lines, Count steps) {
  SCOPED_TRACE(std::to_string(sessions) + " sessions, " + std::to_string(steps) + " steps");
  constexpr std::size_t kBuckets = 16;
  std::mt19937 random(static_cast<unsigned>(steps));
  SizeSpread spread(sessions);
  GroupSizeSeries series(sessions, lines, kBuckets);
  std::vector<std::vector<Count>> history;  // per step, every session's size
  auto record = [&] {
    series.sample(spread);
    std::vector<Count> now;
    for (std::int32_t s = 0; s < sessions; ++s) now.push_back(spread.size(s));
    history.push_back(now);
  };
  record();
  for (Count t = 1; t < steps; ++t) {
    const auto s = static_cast<std::int32_t>(random() % static_cast<unsigned>(sessions));
    spread.change(s, spread.size(s) == 1 || random() % 3 != 0 ? +1 : -1);
    record();
  }
  ASSERT_EQ(series.steps(), steps);
  ASSERT_LE(series.bucketCount(), kBuckets);
  ASSERT_EQ(series.lastStep(series.bucketCount() - 1), steps - 1) << "the buckets cover every step";
  EXPECT_EQ(series.perSession(), sessions <= lines);
  for (std::size_t b = 0; b < series.bucketCount(); ++b) {
    for (std::size_t k = 0; k < series.seriesCount(); ++k) {
      Count lo = 1 << 30, hi = 0;
      double sum = 0;
      for (Count t = series.firstStep(b); t <= series.lastStep(b); ++t) {
        const auto& at = history[static_cast<std::size_t>(t)];
        if (series.perSession()) {
          lo = std::min(lo, at[k]);
          hi = std::max(hi, at[k]);
          sum += static_cast<double>(at[k]);
        } else {
          lo = std::min(lo, *std::min_element(at.begin(), at.end()));
          hi = std::max(hi, *std::max_element(at.begin(), at.end()));
          sum += std::accumulate(at.begin(), at.end(), 0.0) / sessions;
        }
      }
      const auto& bucket = series.bucket(b, k);
      const Count span = series.lastStep(b) - series.firstStep(b) + 1;
      ASSERT_EQ(bucket.samples, span) << "bucket " << b;
      EXPECT_EQ(bucket.min, lo) << "bucket " << b;
      EXPECT_EQ(bucket.max, hi) << "bucket " << b;
      EXPECT_NEAR(bucket.mean(), sum / static_cast<double>(span), 1e-9) << "bucket " << b;
    }
  }
}

TEST(GroupSizeSeries, BucketsSummariseExactlyTheStepsTheyCover) {
  for (const Count steps : {1, 15, 16, 17, 32, 33, 1000, 4097}) {
    checkSeries(3, 8, steps);
    checkSeries(40, 8, steps);
  }
}

TEST(GroupSizeSeries, MemoryStaysFixedOverALongRun) {
  SizeSpread spread(2);
  GroupSizeSeries series(2, 8, 512);
  for (int i = 0; i < 1000000; ++i) {
    spread.change(i % 2, i % 4 < 2 ? +1 : -1);
    series.sample(spread);
  }
  EXPECT_LE(series.bucketCount(), 512u);
  EXPECT_GT(series.bucketCount(), 256u);
  EXPECT_EQ(series.bucketWidth(), 2048);
}

// A sound trace of `sessions` sessions, every source node 0, with the given
// records (whole "GRP_REQ {" blocks) in each phase.
std::string traceOf(int sessions, int avgSize, const std::string& beefUp,
                    const std::string& joinLeave, long long joins, long long leaves) {
  std::string text =
      "// Print Group requests GRP: \n//  node: session: type of request: band:  del:  hops\n"
      "// Average Group Size: " +
      std::to_string(avgSize) + "\n// Is Join-Leave ordered? (1=YES ): 0\n SESSIONS { \n";
  for (int s = 0; s < sessions; ++s) text += "S : " + std::to_string(s) + " : 0\n";
  text += "} \n";
  for (int s = 0; s < sessions; ++s) text += "GRP_REQ {\nI : " + std::to_string(s) + "\n}\n";
  return text + "// Start: Beef up session \n" + beefUp + "// JOIN-LEAVE  Join-Delete Randomly \n" +
         joinLeave + " // LEAVE end of session \n // Trans: " + std::to_string(joins + leaves) +
         " J: " + std::to_string(joins) + " R: " + std::to_string(leaves) + "\n";
}

std::string record(int node, int session, bool join) {
  return "GRP_REQ {\nI : 0 \nU : " + std::to_string(node) + " : " + std::to_string(session) +
         (join ? " : 1 : 5 : 5 : 5\n}\n" : " : 2 : 0 : 0 : 0\n}\n");
}

const std::string& workedExample() {
  static const std::string text =
      testing::readFile(std::string(GROUPTRACE_GOLDEN_DIR) + "/000.out");
  return text;
}

TEST(TraceStats, TheWorkedExampleByHand) {
  const auto stats = testing::readInto<TraceStats>(workedExample());
  EXPECT_EQ(stats.requests(), 7);
  EXPECT_EQ(stats.joins(TracePhase::beefUp), 2);
  EXPECT_EQ(stats.leaves(TracePhase::beefUp), 0);
  EXPECT_EQ(stats.joins(TracePhase::joinLeave), 2);
  EXPECT_EQ(stats.leaves(TracePhase::joinLeave), 2);
  EXPECT_EQ(stats.joins(TracePhase::endOfSession), 0);
  EXPECT_EQ(stats.leaves(TracePhase::endOfSession), 1);
  // Session 0 after each request: 2 2 2 1 1 1 1; session 1: 1 2 3 3 2 3 2.
  EXPECT_EQ(stats.sizeAtEnd(0), 1);
  EXPECT_EQ(stats.sizeAtEnd(1), 2);
  EXPECT_DOUBLE_EQ(stats.meanSize(0), 10.0 / 7);
  EXPECT_DOUBLE_EQ(stats.meanSize(1), 16.0 / 7);
  EXPECT_EQ(stats.largestSize(0), 2);
  EXPECT_EQ(stats.largestSize(1), 3);
  EXPECT_EQ(stats.band().min(), 50);
  EXPECT_EQ(stats.band().max(), 81);
  EXPECT_DOUBLE_EQ(stats.band().mean(), (77 + 81 + 50 + 51) / 4.0);
  EXPECT_DOUBLE_EQ(stats.delay().mean(), (1 + 4 + 2 + 1) / 4.0);
  EXPECT_DOUBLE_EQ(stats.hops().mean(), (4 + 2 + 3 + 3) / 4.0);

  const std::string report = stats.report();
  for (const char* line : {
           "2 sessions, 7 requests (4 joins, 3 leaves); summary Trans 7\n",
           "  beef-up                     2            0            2\n",
           "  join-leave                  2            2            4\n",
           "  end-of-session              0            1            1\n",
           "  whole trace                 4            3            7\n",
           "         1          0        2       2.29        3\n",
           "band   min 50   mean 64.75   max 81\n",
       }) {
    EXPECT_NE(report.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << report;
  }
}

TEST(TraceStats, ManySessionsAreSummarisedNotListed) {
  const std::string text = traceOf(30, 0, "", "", 0, 0);
  const auto stats = testing::readInto<TraceStats>(text);
  const std::string report = stats.report();
  EXPECT_NE(report.find("at end           min 1"), std::string::npos) << report;
  EXPECT_EQ(report.find("session     source"), std::string::npos) << report;
  EXPECT_NE(report.find("band: no joins"), std::string::npos) << report;
  EXPECT_DOUBLE_EQ(stats.meanSize(29), 1.0);
}

TEST(XmlCheck, RejectsWhatAParserWould) {
  EXPECT_EQ(xmlProblem("<?xml version=\"1.0\"?>\n<a x=\"1\" y='&lt;2'><b/>t &amp; &#38;</a>\n"),
            "");
  EXPECT_NE(xmlProblem("<a><b></a></b>"), "");
  EXPECT_NE(xmlProblem("<a>x & y</a>"), "");
  EXPECT_NE(xmlProblem("<a x=1/>"), "");
  EXPECT_NE(xmlProblem("<a x=\"1\" x=\"2\"/>"), "");
  EXPECT_NE(xmlProblem("<a/><b/>"), "");
  EXPECT_NE(xmlProblem("<a x=\"<\"/>"), "");
  EXPECT_NE(xmlProblem("<a>"), "");
  EXPECT_NE(xmlProblem(""), "");

  // Encoding: what a parser of a document declared UTF-8 refuses.
  EXPECT_EQ(xmlProblem("<a t=\"\xc3\xa9\">\xe2\x80\xa6 \xf0\x9f\x98\x80 &#x10FFFF;</a>"), "");
  for (const char* bad : {
           "<a>\xff</a>",              // no UTF-8 character starts so
           "<a>\xc3</a>",              // cut short
           "<a>\xc0\xaf</a>",          // overlong '/'
           "<a>\xed\xa0\x80</a>",      // a surrogate
           "<a>\xf4\x90\x80\x80</a>",  // beyond U+10FFFF
           "<a>\xef\xbf\xbe</a>",      // U+FFFE
           "<a t=\"\x01\"/>",          // a control character
           "<a>&#0;</a>",
           "<a>&#xFFFF;</a>",
       }) {
    EXPECT_NE(xmlProblem(bad), "") << bad;
  }
}

std::string plotOf(const std::string& text, const std::string& caption) {
  return testing::readInto<PlotRecorder>(text).svg(caption);
}

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The numbers of every attribute `name="..."` in document order.
std::vector<double> attributeNumbers(const std::string& svg, const std::string& name) {
  std::vector<double> values;
  const std::string key = " " + name + "=\"";
  for (auto at = svg.find(key); at != std::string::npos; at = svg.find(key, at + 1)) {
    const char* p = svg.c_str() + at + key.size();
    while (*p != '"') {
      char* end = nullptr;
      values.push_back(std::strtod(p, &end));
      if (end == p) break;
      p = end;
      while (*p == ' ' || *p == ',') ++p;
    }
  }
  return values;
}

// The value of attribute `name` in the element that starts at `at`, or "".
std::string attribute(const std::string& svg, std::size_t at, const std::string& name) {
  const std::size_t close = svg.find('>', at);
  const std::size_t key = svg.find(" " + name + "=\"", at);
  if (key == std::string::npos || key > close) return "";
  const std::size_t from = key + name.size() + 3;
  return svg.substr(from, svg.find('"', from) - from);
}

// The y of the text element that shows exactly `label`.
double textBaseline(const std::string& svg, const std::string& label) {
  const std::size_t shown = svg.find(">" + label + "</text>");
  if (shown == std::string::npos) return std::nan("");
  return std::stod(attribute(svg, svg.rfind("<text", shown), "y"));
}

// Every y coordinate of the lines and areas that carry the data.
std::vector<double> dataYs(const std::string& svg) {
  std::vector<double> ys;
  const std::size_t from = svg.find("<g class=\"data\">");
  const std::size_t to = svg.find("<g class=\"phases\">", from);
  const auto points = attributeNumbers(svg.substr(from, to - from), "points");
  for (std::size_t i = 1; i < points.size(); i += 2) ys.push_back(points[i]);
  return ys;
}

TEST(SvgPlot, EveryStoredTraceDrawsAWellFormedPicture) {
  for (const auto& path : testing::goldenTraces()) {
    SCOPED_TRACE(path.filename().string());
    const std::string svg = plotOf(testing::readFile(path), "a <caption> & \"quotes\"");
    EXPECT_EQ(xmlProblem(svg), "");
    EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    EXPECT_NE(svg.find("request number"), std::string::npos);
    EXPECT_NE(svg.find(">group size"), std::string::npos);
    EXPECT_NE(svg.find("a &lt;caption&gt; &amp; &quot;quotes&quot;: "), std::string::npos);
    EXPECT_EQ(svg.find("href"), std::string::npos) << "standalone: nothing fetched";

    // The phases are named above everything the data draws, the legend below.
    const auto ys = dataYs(svg);
    ASSERT_FALSE(ys.empty());
    const double highest = *std::min_element(ys.begin(), ys.end());
    const double lowest = *std::max_element(ys.begin(), ys.end());
    for (const char* phase : {"beef-up", "join-leave", "end-of-session"}) {
      EXPECT_LT(textBaseline(svg, phase), highest) << phase;
    }
    const bool lines = svg.find("<polygon") == std::string::npos;
    EXPECT_GT(textBaseline(svg, lines ? "session 0" : "mean over sessions"), lowest);
  }
}

TEST(SvgPlot, FewSessionsAreLinesAndManyABand) {
  const std::string few = plotOf(workedExample(), "few");
  EXPECT_EQ(occurrences(few, "<polyline"), 4u) << "two lines and their legend swatches";
  EXPECT_NE(few.find(">session 1</text>"), std::string::npos);
  EXPECT_EQ(few.find("<polygon"), std::string::npos);

  std::string beefUp;
  std::string joinLeave;
  for (int s = 0; s < 9; ++s) beefUp += record(1, s, true);
  for (int s = 0; s < 9; ++s) joinLeave += record(1, s, false);
  const std::string text = traceOf(9, 2, beefUp, joinLeave, 9, 9);
  const std::string many = plotOf(text, "many");
  EXPECT_EQ(xmlProblem(many), "");
  EXPECT_EQ(occurrences(many, "<polygon"), 1u);
  EXPECT_EQ(occurrences(many, "<polyline"), 1u);
  EXPECT_NE(many.find("many: 9 sessions, 18 requests (9 joins, 9 leaves)"), std::string::npos);

  // The band is opaque and its swatch filled alike: a band seen through the
  // phases' shading would not match the swatch drawn on white.
  const std::size_t band = many.find("<polygon");
  const std::string fill = attribute(many, band, "fill");
  EXPECT_EQ(attribute(many, band, "fill-opacity"), "");
  EXPECT_EQ(attribute(many, band, "opacity"), "");
  const std::size_t swatch = many.find("<rect", band);
  ASSERT_NE(swatch, std::string::npos);
  EXPECT_EQ(attribute(many, swatch, "fill"), fill);
  EXPECT_EQ(attribute(many, swatch, "fill-opacity"), "");
}

// What tells one session's line from another's besides its colour, and the
// same for its legend swatch.
struct LineLook {
  std::string colour, dashes, width, markerFill;
  std::string marker;  // the outline, its size and position taken out
  double markerWidth = 0;
  double markerHeight = 0;
  bool operator==(const LineLook& o) const {
    return colour == o.colour && dashes == o.dashes && width == o.width &&
           markerFill == o.markerFill && marker == o.marker &&
           std::abs(markerWidth - o.markerWidth) < 0.3 &&
           std::abs(markerHeight - o.markerHeight) < 0.3;
  }
};

void PrintTo(const LineLook& look, std::ostream* out) {
  *out << look.colour << " dashes \"" << look.dashes << "\" width " << look.width << " marker "
       << look.markerFill << " " << look.marker << " " << look.markerWidth << "x"
       << look.markerHeight;
}

// Reads a marker's path: its commands, and the points they pass through as
// fractions of the marker's bounding box (an arc counts by its end point).
void readMarker(const std::string& d, LineLook& look) {
  std::vector<std::pair<double, double>> points;
  std::vector<double> numbers;
  char command = 0;
  for (const char* p = d.c_str(); *p != '\0';) {
    if (std::isalpha(static_cast<unsigned char>(*p))) {
      command = *p++;
      look.marker += command;
    } else if (*p == ' ' || *p == ',') {
      ++p;
    } else {
      char* end = nullptr;
      numbers.push_back(std::strtod(p, &end));
      p = end;
      const std::size_t needed = command == 'A' ? 7 : 2;
      if (numbers.size() == needed) {
        points.emplace_back(numbers[needed - 2], numbers[needed - 1]);
        numbers.clear();
      }
    }
  }
  if (points.empty()) return;
  auto [left, right] = std::minmax_element(points.begin(), points.end());
  double top = points[0].second;
  double bottom = top;
  for (const auto& point : points) {
    top = std::min(top, point.second);
    bottom = std::max(bottom, point.second);
  }
  look.markerWidth = right->first - left->first;
  look.markerHeight = bottom - top;
  for (const auto& [x, y] : points) {
    auto fraction = [](double v, double from, double size) {
      return size < 0.5 ? 0L : std::lround(10 * (v - from) / size);
    };
    look.marker += ' ';
    look.marker += std::to_string(fraction(x, left->first, look.markerWidth));
    look.marker += ',';
    look.marker += std::to_string(fraction(y, top, look.markerHeight));
  }
}

std::vector<LineLook> lineLooks(const std::string& svg) {
  std::vector<LineLook> looks;
  for (auto at = svg.find("<g stroke=\""); at != std::string::npos;
       at = svg.find("<g stroke=\"", at + 1)) {
    LineLook look;
    look.colour = attribute(svg, at, "stroke");
    const std::size_t line = svg.find("<polyline", at);
    look.dashes = attribute(svg, line, "stroke-dasharray");
    look.width = attribute(svg, line, "stroke-width");
    const std::size_t marks = svg.find("<g fill=", line);
    look.markerFill = attribute(svg, marks, "fill");
    readMarker(attribute(svg, svg.find("<path", marks), "d"), look);
    looks.push_back(look);
  }
  return looks;
}

TEST(SvgPlot, EachSessionLineHasItsOwnDashesAndMarkerAndItsSwatchMatches) {
  std::string beefUp;
  std::string joinLeave;
  for (int s = 0; s < 8; ++s) beefUp += record(1 + s % 3, s, true);
  for (int s = 0; s < 8; ++s) joinLeave += record(1 + s % 3, s, false);
  const std::string svg = plotOf(traceOf(8, 2, beefUp, joinLeave, 8, 8), "eight");
  const auto looks = lineLooks(svg);
  ASSERT_EQ(looks.size(), 16u) << "eight lines, then eight swatches";
  std::set<std::string> dashes;
  std::set<std::string> markers;
  for (std::size_t s = 0; s < 8; ++s) {
    SCOPED_TRACE("session " + std::to_string(s));
    dashes.insert(looks[s].dashes);
    markers.insert(looks[s].markerFill + " " + looks[s].marker);
    EXPECT_EQ(looks[8 + s], looks[s]) << "the swatch is drawn as its line";
    // The swatch's own marker, as in the plot, sits on its line.
    EXPECT_NE(looks[s].marker, "");
  }
  EXPECT_EQ(dashes.size(), 8u) << "greyscale print keeps the lines apart";
  EXPECT_EQ(markers.size(), 8u);
}

// A figure for a paper says in its caption what the subtitle and footnote
// say: each can go, and nothing else with it.
TEST(SvgPlot, SubtitleAndFootnoteCanGo) {
  // 1563 requests: more than the plot's steps, so a step spans several.
  const std::string trace = testing::readFile(std::string(GROUPTRACE_GOLDEN_DIR) + "/009.out");
  auto plotted = [&](bool subtitle, bool footnote) {
    const auto plot = testing::readInto<PlotRecorder>(trace);
    PlotStyle style;
    style.subtitle = subtitle;
    style.footnote = footnote;
    return plot.svg("long.trace", style);
  };
  const std::string full = plotted(true, true);
  ASSERT_NE(full.find("long.trace: 3 sessions"), std::string::npos);
  ASSERT_NE(full.find("each step spans"), std::string::npos);
  const std::string bare = plotted(false, false);
  EXPECT_EQ(bare.find("long.trace: 3 sessions"), std::string::npos);
  EXPECT_EQ(bare.find("each step spans"), std::string::npos);
  EXPECT_NE(bare.find(PlotStyle::kDefaultTitle), std::string::npos);
  EXPECT_NE(bare.find("session 0"), std::string::npos);
  EXPECT_NE(plotted(false, true).find("each step spans"), std::string::npos);
  EXPECT_EQ(parseInspectOptions(4, std::array<const char*, 4>{"grouptrace-inspect", "plot",
                                                              "--no-subtitle", "-o=x.svg"}
                                       .data())
                .style.subtitle,
            false);
}

TEST(SvgPlot, TitleAndSizeAreTheCallersAndTextScalesWithThePicture) {
  const std::string trace = testing::readFile(std::string(GROUPTRACE_GOLDEN_DIR) + "/009.out");
  auto plotSized = [&](int width, int height, const std::string& title) {
    const auto plot = testing::readInto<PlotRecorder>(trace);
    return plot.svg("009.out", PlotStyle{title, width, height});
  };
  const std::string big = plotSized(960, 540, "Figure 3");
  EXPECT_NE(big.find("width=\"960\" height=\"540\" viewBox=\"0 0 960 540\""), std::string::npos);
  EXPECT_NE(big.find("font-weight=\"bold\" fill=\"#222222\">Figure 3</text>"), std::string::npos);
  EXPECT_EQ(big.find(PlotStyle::kDefaultTitle), std::string::npos);
  const std::string untitled = plotSized(960, 540, "");
  EXPECT_EQ(untitled.find("font-weight=\"bold\""), std::string::npos);
  EXPECT_EQ(xmlProblem(untitled), "");

  // Half the picture, half the text: what is readable in a column at one
  // size is readable at the other. And no text is smaller than a 45th of the
  // width, whatever the shape.
  const std::string small = plotSized(480, 270, "Figure 3");
  EXPECT_NE(small.find("viewBox=\"0 0 480 270\""), std::string::npos);
  const auto bigFonts = attributeNumbers(big, "font-size");
  const auto smallFonts = attributeNumbers(small, "font-size");
  ASSERT_EQ(bigFonts.size(), smallFonts.size());
  for (std::size_t i = 0; i < bigFonts.size(); ++i)
    EXPECT_NEAR(smallFonts[i] * 2, bigFonts[i], 0.2);
  for (const auto& [w, h] : std::vector<std::pair<int, int>>{
           {960, 540}, {480, 270}, {320, 180}, {480, 540}, {1200, 400}, {4000, 4000}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const std::string svg = plotSized(w, h, "t");
    EXPECT_EQ(xmlProblem(svg), "");
    for (const double size : attributeNumbers(svg, "font-size")) {
      EXPECT_GE(size, std::min(w / 45.0, h / 23.0));
    }
    // The plot area keeps a fair share of the picture.
    const auto ys = dataYs(svg);
    const double span =
        *std::max_element(ys.begin(), ys.end()) - *std::min_element(ys.begin(), ys.end());
    EXPECT_GT(span, 0.3 * h);
  }
}

TEST(SvgPlot, TextFromOutsideIsEscapedValidUtf8) {
  const auto plot = testing::readInto<PlotRecorder>(workedExample());
  const std::string svg = plot.svg("runs/\xff\xfe-caf\xc3\xa9.trace",
                                   PlotStyle{"a <b> & \"c\" \x01 d\xc0\xaf", 960, 540});
  EXPECT_EQ(xmlProblem(svg), "");
  EXPECT_EQ(svg.find('\x01'), std::string::npos);
  EXPECT_EQ(svg.find('\xff'), std::string::npos);
  EXPECT_NE(svg.find("a &lt;b&gt; &amp; &quot;c&quot; \xef\xbf\xbd d\xef\xbf\xbd\xef\xbf\xbd"),
            std::string::npos);
  EXPECT_NE(svg.find("runs/\xef\xbf\xbd\xef\xbf\xbd-caf\xc3\xa9.trace"), std::string::npos)
      << "valid characters are kept as they are";
}

TEST(SvgText, BadBytesAndDisallowedCharactersAreReplaced) {
  const std::u32string r(1, 0xFFFD);
  EXPECT_EQ(xmlCharacters("caf\xc3\xa9 \xe2\x80\xa6 \xf0\x9f\x98\x80"),
            U"caf\u00e9 \u2026 \U0001F600");
  EXPECT_EQ(xmlCharacters("a\tb\nc\rd"), U"a b c d");
  EXPECT_EQ(xmlCharacters("\xff"), r);
  EXPECT_EQ(xmlCharacters("\xc0\xaf"), r + r) << "an overlong '/'";
  EXPECT_EQ(xmlCharacters("\xed\xa0\x80"), r + r + r) << "a surrogate";
  EXPECT_EQ(xmlCharacters("\xf4\x90\x80\x80"), r + r + r + r) << "beyond U+10FFFF";
  EXPECT_EQ(xmlCharacters("x\xe2\x82"), U"x" + r) << "cut short at the end";
  EXPECT_EQ(xmlCharacters("\xe2\x82y"), r + U"y") << "cut short before a character";
  EXPECT_EQ(xmlCharacters("\x01\x7f\xc2\x85\xef\xbf\xbe\xef\xbf\xbf"), r + r + r + r + r);
  EXPECT_EQ(xmlEscaped(U"<a href='x'>&\"</a>"),
            "&lt;a href=&apos;x&apos;&gt;&amp;&quot;&lt;/a&gt;");

  // Whatever the bytes, the result is a document an XML parser takes.
  std::mt19937 random(11);
  for (int i = 0; i < 2000; ++i) {
    std::string bytes(random() % 12, '\0');
    for (auto& b : bytes) b = static_cast<char>(random() % 4 == 0 ? random() % 32 : random());
    const std::string escaped = xmlText(bytes);
    ASSERT_EQ(xmlProblem("<a t=\"" + escaped + "\">" + escaped + "</a>"), "")
        << ::testing::PrintToString(bytes);
  }
}

TEST(SvgText, LongTextIsShortenedToFit) {
  const std::u32string path = U"/home/someone/experiments/2024/run-42.trace";
  EXPECT_EQ(fitted(path, 1000, 10, true), path);
  const auto end = fitted(path, 120, 10, true);
  EXPECT_LE(textWidth(end, 10), 120);
  EXPECT_EQ(end.front(), U'\u2026');
  EXPECT_TRUE(path.ends_with(end.substr(1))) << "a path keeps the file's own name";
  EXPECT_GT(end.size(), 8u);
  const auto start = fitted(path, 120, 10, false);
  EXPECT_EQ(start.back(), U'\u2026');
  EXPECT_TRUE(path.starts_with(start.substr(0, start.size() - 1)));
  EXPECT_LE(textWidth(start, 10), 120);
}

TEST(SvgPlot, ALongTraceStaysASmallPicture) {
  // 400,000 requests on one session of two nodes: node 1 joins and leaves.
  std::string joinLeave;
  for (int i = 0; i < 200000; ++i) joinLeave += record(1, 0, true) + record(1, 0, false);
  const std::string text = traceOf(1, 1, "", joinLeave, 200000, 200000);
  const std::string svg = plotOf(text, "long");
  EXPECT_EQ(xmlProblem(svg), "");
  EXPECT_LT(svg.size(), 100000u);
  EXPECT_NE(svg.find("each step spans 1024 requests (their mean)"), std::string::npos);
}

InspectOptions parse(std::vector<const char*> args) {
  args.insert(args.begin(), "grouptrace-inspect");
  return parseInspectOptions(static_cast<int>(args.size()), args.data());
}

TEST(InspectOptions, CommandsFilesAndOutput) {
  EXPECT_EQ(parse({"check"}).input, "-");
  EXPECT_EQ(parse({"check", "t.trace"}).input, "t.trace");
  EXPECT_EQ(parse({"stats", "-"}).command, InspectCommand::stats);
  const auto plot = parse({"plot", "-o", "out.svg", "t.trace"});
  EXPECT_EQ(plot.command, InspectCommand::plot);
  EXPECT_EQ(plot.input, "t.trace");
  EXPECT_EQ(plot.output, "out.svg");
  EXPECT_EQ(plot.style.title, PlotStyle::kDefaultTitle);
  EXPECT_EQ(plot.style.width, 960);
  EXPECT_EQ(plot.style.height, 540);
  EXPECT_EQ(parse({"plot", "t.trace", "--output=x.svg"}).output, "x.svg");
  EXPECT_EQ(parse({"plot", "t.trace", "-o", "-"}).output, "-");
  EXPECT_EQ(parse({"plot", "-o", "Fig.SVG"}).output, "Fig.SVG");
  EXPECT_EQ(parse({"--help"}).command, InspectCommand::help);
  EXPECT_EQ(parse({"plot", "--help"}).command, InspectCommand::help);

  EXPECT_THROW(parse({}), UsageError);
  EXPECT_THROW(parse({"draw"}), UsageError);
  EXPECT_THROW(parse({"plot", "t.trace"}), UsageError);
  EXPECT_THROW(parse({"plot", "t.trace", "-o"}), UsageError);
  EXPECT_THROW(parse({"check", "-o", "x.svg"}), UsageError);
  EXPECT_EQ(parse({"check", "a", "b"}).inputs, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(parse({"plot", "-o", "x.svg", "a", "b"}).inputs.size(), 2u);
  EXPECT_THROW(parse({"export", "--format", "csv", "a", "b"}), UsageError);
  EXPECT_THROW(parse({"stats", "--verbose"}), UsageError);
  EXPECT_EQ(parse({"stats", "--format=json"}).statsFormat, StatsFormat::json);
  EXPECT_EQ(parse({"stats", "--format", "csv", "a"}).statsFormat, StatsFormat::csv);
  EXPECT_THROW(parse({"stats", "--format", "jsonl"}), UsageError);
  EXPECT_THROW(parse({"check", "--format", "json"}), UsageError);
  EXPECT_THROW(parse({"export", "--format", "trace"}), UsageError);
  EXPECT_EQ(parse({"plot", "-o=x.svg"}).output, "x.svg");
  EXPECT_EQ(parse({"verify", "m.json", "t"}).inputs, (std::vector<std::string>{"m.json", "t"}));
  EXPECT_THROW(parse({"verify"}), UsageError);
  EXPECT_THROW(parse({"verify", "m", "t", "u"}), UsageError);
}

TEST(InspectOptions, DoubleDashEndsTheOptions) {
  for (const char* command : {"check", "stats"}) {
    EXPECT_EQ(parse({command, "--", "t.trace"}).input, "t.trace");
    EXPECT_EQ(parse({command, "--", "-o"}).input, "-o");
    EXPECT_EQ(parse({command, "--", "--help"}).command, parse({command}).command)
        << "after --, even --help names a file";
    EXPECT_EQ(parse({command, "--", "-"}).input, "-");
    EXPECT_EQ(parse({command, "--", "a", "-b"}).inputs, (std::vector<std::string>{"a", "-b"}));
  }
  const auto plot = parse({"plot", "-o", "x.svg", "--", "--width"});
  EXPECT_EQ(plot.input, "--width");
  EXPECT_EQ(plot.style.width, 960);
  // After --, "-o x.svg" is no option but two more file names.
  EXPECT_THROW(parse({"plot", "--", "-x.trace", "-o", "x.svg"}), UsageError);
}

TEST(InspectOptions, PlotTitleSizeAndOutputAreChecked) {
  const auto plot =
      parse({"plot", "--title", "-a <title>", "--width=480", "--height", "300", "-o", "f.svg"});
  EXPECT_EQ(plot.style.title, "-a <title>");
  EXPECT_EQ(plot.style.width, 480);
  EXPECT_EQ(plot.style.height, 300);
  EXPECT_EQ(parse({"plot", "--title=", "-o", "f.svg"}).style.title, "");
  EXPECT_EQ(parse({"plot", "--width", "320", "--height", "4000", "-o", "f.svg"}).style.width, 320);

  auto refusal = [](std::vector<const char*> args) -> std::string {
    try {
      parse(std::move(args));
    } catch (const UsageError& e) {
      return e.what();
    }
    return "accepted";
  };
  for (const char* width : {"319", "4001", "0", "-5", "+960", "960px", "1e3", "", "99999999999"}) {
    EXPECT_NE(
        refusal({"plot", "--width", width, "-o", "f.svg"}).find("--width takes a whole number"),
        std::string::npos)
        << width;
  }
  EXPECT_NE(refusal({"plot", "--height=179", "-o", "f.svg"}).find("180 to 4000"),
            std::string::npos);
  EXPECT_NE(refusal({"plot", "--title"}).find("--title needs a value"), std::string::npos);
  EXPECT_NE(refusal({"stats", "--width", "500"}).find("plot only"), std::string::npos);
  EXPECT_NE(refusal({"check", "--title", "x"}).find("plot only"), std::string::npos);
  for (const char* output : {"x.png", "x.svg.png", "svg", ".svg", "x.svgz", "picture"}) {
    EXPECT_NE(refusal({"plot", "-o", output}).find("must end in .svg"), std::string::npos)
        << output;
  }
}

TEST(Wording, CountsTakeTheirNounInTheRightNumber) {
  EXPECT_EQ(traceCounts(1, 1, 0), "1 session, 1 request (1 join, 0 leaves)");
  EXPECT_EQ(traceCounts(2, 1, 1), "2 sessions, 2 requests (1 join, 1 leave)");
  EXPECT_EQ(traceCounts(0, 0, 0), "0 sessions, 0 requests (0 joins, 0 leaves)");
  EXPECT_EQ(traceCounts(3, 4, 3), "3 sessions, 7 requests (4 joins, 3 leaves)");

  // A trace of one session, one join and one leave, as stats reports it.
  const auto stats =
      testing::readInto<TraceStats>(traceOf(1, 2, record(1, 0, true), record(1, 0, false), 1, 1));
  EXPECT_EQ(stats.report().rfind("1 session, 2 requests (1 join, 1 leave); summary Trans 2\n", 0),
            0u)
      << stats.report();
}

// The program itself, through the emulator where the build needs one.
std::string inspectProgram() {
  return testing::launched(GROUPTRACE_INSPECT_BINARY);
}

TEST(InspectProgram, MessagesNameTheTraceTheWayCompilersDo) {
  testing::ScratchDir scratch;
  const std::string inspect = inspectProgram();
  // Line 31 of the worked example: node 1 leaves session 0, whose source is
  // node 0. Make it the source that leaves.
  std::string text = workedExample();
  const std::size_t at = text.find("U : 1 : 0 : 2 : 0 : 0 : 0\n");
  ASSERT_EQ(std::count(text.begin(), text.begin() + static_cast<long>(at), '\n'), 30);
  text[at + 4] = '0';
  const auto bad = scratch / "run 1.trace";
  testing::writeFile(bad, text);
  const std::string quoted = testing::shellQuoted(bad.string());

  for (const std::string command : {" check ", " stats ", " plot -o - ", " export --format csv "}) {
    SCOPED_TRACE(command);
    const auto result = testing::runCommand(inspect + command + quoted, scratch);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind(bad.string() + ":31: node 0 leaves session 0,", 0), 0u)
        << result.err;
    EXPECT_EQ(result.err.find("line 31"), std::string::npos) << "said once, in the usual form";
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
  }
  const auto piped = testing::runCommand(inspect + " check < " + quoted, scratch);
  EXPECT_EQ(piped.status, 1);
  EXPECT_EQ(piped.err.rfind("<stdin>:31: node 0 leaves session 0", 0), 0u) << piped.err;

  const auto missing = scratch / "no such.trace";
  const auto absent =
      testing::runCommand(inspect + " check " + testing::shellQuoted(missing.string()), scratch);
  EXPECT_EQ(absent.status, 2);
  EXPECT_EQ(absent.err, missing.string() + ": cannot open: No such file or directory\n");
  const auto directory = testing::runCommand(
      inspect + " stats " + testing::shellQuoted(scratch.path().string()), scratch);
  EXPECT_EQ(directory.status, 2);
  EXPECT_EQ(directory.err.rfind(scratch.path().string() + ": cannot read: ", 0), 0u)
      << directory.err;
}

TEST(InspectProgram, PlotWritesOnlySvgAndOnlyForASoundTrace) {
  testing::ScratchDir scratch;
  const std::string inspect = inspectProgram();
  const auto trace = scratch / "t.trace";
  testing::writeFile(trace, workedExample());
  const std::string quoted = testing::shellQuoted(trace.string());

  const auto png = scratch / "x.png";
  const auto refused = testing::runCommand(
      inspect + " plot " + quoted + " -o " + testing::shellQuoted(png.string()), scratch);
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.out, "");
  EXPECT_NE(refused.err.find(".svg"), std::string::npos) << refused.err;
  EXPECT_FALSE(std::filesystem::exists(png)) << "nothing written";

  const auto width =
      testing::runCommand(inspect + " plot --width 100 -o " +
                              testing::shellQuoted((scratch / "w.svg").string()) + " " + quoted,
                          scratch);
  EXPECT_EQ(width.status, 2);
  EXPECT_NE(width.err.find("--width takes a whole number from 320 to 4000"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(scratch / "w.svg"));

  // A file name that is not UTF-8 still makes a document parsers accept.
  const auto odd = scratch / "caf\xff.trace";
  testing::writeFile(odd, workedExample());
  const auto svg = scratch / "out.svg";
  const auto drawn = testing::runCommand(
      inspect + " plot --title 'T <&\">'\"$(printf '\\001')\" -o " +
          testing::shellQuoted(svg.string()) + " " + testing::shellQuoted(odd.string()),
      scratch);
  ASSERT_EQ(drawn.status, 0) << drawn.err;
  const std::string picture = testing::readFile(svg);
  EXPECT_EQ(xmlProblem(picture), "");
  EXPECT_NE(picture.find(">T &lt;&amp;&quot;&gt;\xef\xbf\xbd</text>"), std::string::npos);
  EXPECT_NE(picture.find("caf\xef\xbf\xbd.trace"), std::string::npos);
}

// The generator's own run, written by the program.
std::string generated(const std::filesystem::path& stored, const std::string& options,
                      const testing::ScratchDir& scratch) {
  auto base = stored;
  base.replace_extension();
  const std::string args =
      std::filesystem::exists(base.string() + ".args")
          ? " " + testing::shellQuoted(testing::readFile(base.string() + ".args"))
          : "";
  const auto r = testing::runCommand(testing::launched(GROUPTRACE_BINARY) + args + " " + options +
                                         " < " + testing::shellQuoted(base.string() + ".params"),
                                     scratch);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

TEST(InspectProgram, ExportGivesWhatTheGeneratorWritesAsFarAsTheTextIsExact) {
  testing::ScratchDir scratch;
  const std::string inspect = inspectProgram();
  int exact = 0;
  int rounded = 0;
  for (const auto& stored : testing::goldenTraces()) {
    SCOPED_TRACE(stored.filename().string());
    const std::string text = testing::readFile(stored);
    for (const std::string format : {"csv", "jsonl"}) {
      const auto exported = testing::runCommand(
          inspect + " export --format " + format + " " + testing::shellQuoted(stored.string()),
          scratch);
      ASSERT_EQ(exported.status, 0) << exported.err;
      const std::string direct = generated(stored, "--format " + format, scratch);
      if (text.find("e+") == std::string::npos) {
        EXPECT_EQ(exported.out, direct);
        ++exact;
      } else {
        // The same rows; values as the text holds them, never in exponent form.
        EXPECT_EQ(std::count(exported.out.begin(), exported.out.end(), '\n'),
                  std::count(direct.begin(), direct.end(), '\n'));
        EXPECT_EQ(exported.out.find("e+"), std::string::npos);
        ++rounded;
      }
    }
  }
  EXPECT_GT(exact, 0);
  EXPECT_GT(rounded, 0);

  // 7.26124e+08 in the text is 726124000 in the export.
  const auto big = testing::runCommand(
      inspect + " export --format csv " +
          testing::shellQuoted((std::filesystem::path(GROUPTRACE_GOLDEN_DIR) / "006.out").string()),
      scratch);
  EXPECT_NE(big.out.find(",726124000,-42,0\n"), std::string::npos) << big.out.substr(0, 400);
}

TEST(InspectProgram, ExportOfAFaultyTraceWritesNothing) {
  testing::ScratchDir scratch;
  const std::string inspect = inspectProgram();
  const std::string text = workedExample();
  const auto cut = scratch / "cut.trace";
  testing::writeFile(cut, text.substr(0, text.size() - 10));
  const auto out = scratch / "out.csv";
  testing::writeFile(out, "kept\n");
  const auto toFile = testing::runCommand(inspect + " export --format csv -o " +
                                              testing::shellQuoted(out.string()) + " " +
                                              testing::shellQuoted(cut.string()),
                                          scratch);
  EXPECT_EQ(toFile.status, 1);
  EXPECT_EQ(testing::readFile(out), "kept\n");
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(scratch.path())) {
    ++files;
  }
  EXPECT_EQ(files, 4) << "cut.trace, out.csv and the command's two captures, no temporary file";

  const auto toStdout = testing::runCommand(
      inspect + " export --format jsonl " + testing::shellQuoted(cut.string()), scratch);
  EXPECT_EQ(toStdout.status, 1);
  EXPECT_EQ(toStdout.out, "");

  const auto noFormat =
      testing::runCommand(inspect + " export " + testing::shellQuoted(cut.string()), scratch);
  EXPECT_EQ(noFormat.status, 2);
  EXPECT_NE(noFormat.err.find("export needs --format csv or --format jsonl"), std::string::npos);

  const auto overItself = testing::runCommand(inspect + " export --format csv -o " +
                                                  testing::shellQuoted(cut.string()) + " " +
                                                  testing::shellQuoted(cut.string()),
                                              scratch);
  EXPECT_EQ(overItself.status, 2);
  EXPECT_NE(overItself.err.find("is the trace being read"), std::string::npos) << overItself.err;
  EXPECT_EQ(testing::readFile(cut), text.substr(0, text.size() - 10));
}

// A standard output left non-blocking by the parent refuses writes while its
// reader lags: every command waits for it, as the generator does, rather than
// losing what was refused.
TEST(InspectProgram, ANonBlockingStandardOutputGetsEverything) {
  testing::ScratchDir scratch;
  const std::string trace = (std::filesystem::path(GROUPTRACE_GOLDEN_DIR) / "007.out").string();
  const std::vector<std::vector<std::string>> commands = {{"check", trace},
                                                          {"stats", trace},
                                                          {"plot", "-o", "-", trace},
                                                          {"export", "--format", "jsonl", trace},
                                                          {"--help"}};
  for (const auto& args : commands) {
    SCOPED_TRACE(args[0]);
    std::string line = inspectProgram();
    for (const auto& a : args) {
      line += ' ';
      line += testing::shellQuoted(a);
    }
    const auto expected = testing::runCommand(line, scratch);
    ASSERT_EQ(expected.status, 0) << expected.err;

    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    // The smallest pipe, already full: the first write is refused.
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    ASSERT_EQ(fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK), 0);
    const std::string filler(4096, '#');
    std::size_t filled = 0;
    for (ssize_t n; (n = write(fds[1], filler.data(), filler.size())) > 0;) {
      filled += static_cast<std::size_t>(n);
    }
    std::string received;
    std::thread lateReader([&received, fd = fds[0]] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      char buffer[1024];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        received.append(buffer, static_cast<std::size_t>(n));
      }
    });
    std::vector<std::string> argv;
    const std::string launcher = GROUPTRACE_LAUNCHER;
    if (!launcher.empty()) argv.push_back(launcher);
    argv.push_back(GROUPTRACE_INSPECT_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const auto r = testing::runChild(argv, devNull, fds[1]);
    close(devNull);
    close(fds[1]);
    lateReader.join();
    close(fds[0]);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_GE(received.size(), filled);
    EXPECT_TRUE(received.substr(filled) == expected.out)
        << "received " << received.size() - filled << " of " << expected.out.size() << " bytes";
  }
}

TEST(InspectProgram, DoubleDashAndSingularWording) {
  testing::ScratchDir scratch;
  const std::string inspect = inspectProgram();
  // A file whose name looks like an option can only be named after --.
  const auto trace = scratch / "-one.trace";
  testing::writeFile(trace, traceOf(1, 2, record(1, 0, true), record(1, 0, false), 1, 1));
  const auto check = testing::runCommand("cd " + testing::shellQuoted(scratch.path().string()) +
                                             " && " + inspect + " check -- -one.trace",
                                         scratch);
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(check.out, "-one.trace: valid: 1 session, 2 requests (1 join, 1 leave), Trans 2\n");
  const auto without = testing::runCommand("cd " + testing::shellQuoted(scratch.path().string()) +
                                               " && " + inspect + " check -one.trace",
                                           scratch);
  EXPECT_EQ(without.status, 2) << "without --, it is an unknown option";
  const auto plot = testing::runCommand(
      inspect + " plot -o - -- " + testing::shellQuoted(trace.string()), scratch);
  EXPECT_EQ(plot.status, 0) << plot.err;
  EXPECT_NE(plot.out.find("1 session, 2 requests (1 join, 1 leave)"), std::string::npos);
  const auto stats = testing::runCommand(
      inspect + " stats -- - < " + testing::shellQuoted(trace.string()), scratch);
  EXPECT_EQ(stats.status, 0) << stats.err;
  EXPECT_EQ(stats.out.rfind("1 session, 2 requests (1 join, 1 leave);", 0), 0u) << stats.out;
}

// Several traces in one picture: a line each, named by its file, without the
// phases of any one of them; a trace shorter than another stops where it ends.
TEST(InspectProgram, SeveralTracesInOnePlot) {
  testing::ScratchDir scratch;
  const std::string golden = GROUPTRACE_GOLDEN_DIR;
  const auto r = testing::runCommand(
      inspectProgram() + " plot -o - " + golden + "/009.out " + golden + "/000.out", scratch);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(">009.out</text>"), std::string::npos);
  EXPECT_NE(r.out.find(">000.out</text>"), std::string::npos);
  EXPECT_NE(r.out.find("2 traces"), std::string::npos);
  EXPECT_EQ(r.out.find(">join-leave</text>"), std::string::npos) << "no one trace's phases";
  // 000.out has 7 requests, 009.out 1563: the short line has few points.
  std::vector<std::size_t> points;
  for (std::size_t at = r.out.find("<polyline"); at != std::string::npos;
       at = r.out.find("<polyline", at + 1)) {
    const std::size_t from = r.out.find("points=\"", at) + 8;
    const std::string list = r.out.substr(from, r.out.find('"', from) - from);
    points.push_back(static_cast<std::size_t>(std::count(list.begin(), list.end(), ',')));
  }
  ASSERT_GE(points.size(), 2u);
  EXPECT_GT(points[0], 10 * points[1]);

  const std::string timed = golden + "/dynamic/d000.out";
  const auto mixed =
      testing::runCommand(inspectProgram() + " plot -o - " + golden + "/009.out " + timed, scratch);
  EXPECT_EQ(mixed.status, 2);
  EXPECT_NE(mixed.err.find("no common axis"), std::string::npos) << mixed.err;
  EXPECT_EQ(mixed.out, "");
  const auto bad =
      testing::runCommand(inspectProgram() + " plot -o " + (scratch / "x.svg").string() + " " +
                              golden + "/009.out " + golden + "/009.params",
                          scratch);
  EXPECT_EQ(bad.status, 1);
  EXPECT_FALSE(std::filesystem::exists(scratch / "x.svg"));
}

}  // namespace
}  // namespace grouptrace
