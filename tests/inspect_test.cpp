#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "group_size_series.h"
#include "grouptrace/memory_source.h"
#include "grouptrace/trace_reader.h"
#include "inspect_options.h"
#include "inspect_test_support.h"
#include "plot_recorder.h"
#include "size_spread.h"
#include "trace_stats.h"
#include "value_histogram.h"
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

std::vector<TraceEvent> eventsOf(const std::string& text) {
  MemorySource source(text);
  TraceReader reader(source);
  std::vector<TraceEvent> events;
  TraceEvent event;
  while (reader.next(event)) events.push_back(event);
  return events;
}

const std::string& workedExample() {
  static const std::string text =
      testing::readFile(std::string(GROUPTRACE_GOLDEN_DIR) + "/000.out");
  return text;
}

TEST(TraceStats, TheWorkedExampleByHand) {
  TraceStats stats;
  for (const auto& e : eventsOf(workedExample())) stats.add(e);
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
           "  end of session              0            1            1\n",
           "  whole trace                 4            3            7\n",
           "         1          0        2       2.29        3\n",
           "band   min 50   mean 64.75   max 81\n",
       }) {
    EXPECT_NE(report.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << report;
  }
}

TEST(TraceStats, ManySessionsAreSummarisedNotListed) {
  const std::string text = traceOf(30, 0, "", "", 0, 0);
  TraceStats stats;
  for (const auto& e : eventsOf(text)) stats.add(e);
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
}

std::string plotOf(const std::string& text, const std::string& caption) {
  PlotRecorder plot;
  for (const auto& e : eventsOf(text)) plot.add(e);
  return plot.svg(caption);
}

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(SvgPlot, EveryStoredTraceDrawsAWellFormedPicture) {
  for (const auto& path : testing::goldenTraces()) {
    SCOPED_TRACE(path.filename().string());
    const std::string svg = plotOf(testing::readFile(path), "a <caption> & \"quotes\"");
    EXPECT_EQ(xmlProblem(svg), "");
    EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    EXPECT_NE(svg.find("request number (in trace order)"), std::string::npos);
    EXPECT_NE(svg.find("group size (members, source included)"), std::string::npos);
    EXPECT_EQ(occurrences(svg, "stroke-dasharray"), 2u) << "two phase boundaries";
    for (const char* phase : {">beef-up<", ">join-leave<", ">end of session<"}) {
      EXPECT_NE(svg.find(phase), std::string::npos) << phase;
    }
    EXPECT_EQ(svg.find("href"), std::string::npos) << "standalone: nothing fetched";
  }
}

TEST(SvgPlot, FewSessionsAreLinesAndManyABand) {
  const std::string few = plotOf(workedExample(), "few");
  EXPECT_EQ(occurrences(few, "<polyline"), 2u);
  EXPECT_NE(few.find("session 1 (source 0)"), std::string::npos);
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
  EXPECT_NE(many.find("min / mean / max over 9 sessions"), std::string::npos);
}

TEST(SvgPlot, ALongTraceStaysASmallPicture) {
  // 400,000 requests on one session of two nodes: node 1 joins and leaves.
  std::string joinLeave;
  for (int i = 0; i < 200000; ++i) joinLeave += record(1, 0, true) + record(1, 0, false);
  const std::string text = traceOf(1, 1, "", joinLeave, 200000, 200000);
  const std::string svg = plotOf(text, "long");
  EXPECT_EQ(xmlProblem(svg), "");
  EXPECT_LT(svg.size(), 100000u);
  EXPECT_NE(svg.find("each step spans 1024 requests"), std::string::npos);
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
  EXPECT_EQ(parse({"plot", "t.trace", "--output=x.svg"}).output, "x.svg");
  EXPECT_EQ(parse({"--help"}).command, InspectCommand::help);

  EXPECT_THROW(parse({}), UsageError);
  EXPECT_THROW(parse({"draw"}), UsageError);
  EXPECT_THROW(parse({"plot", "t.trace"}), UsageError);
  EXPECT_THROW(parse({"plot", "t.trace", "-o"}), UsageError);
  EXPECT_THROW(parse({"check", "-o", "x.svg"}), UsageError);
  EXPECT_THROW(parse({"check", "a", "b"}), UsageError);
  EXPECT_THROW(parse({"stats", "--verbose"}), UsageError);
}

}  // namespace
}  // namespace grouptrace
