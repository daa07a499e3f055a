#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "grouptrace/any_trace_reader.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/generator.h"
#include "grouptrace/memory_source.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_handler.h"
#include "grouptrace/trace_reader.h"
#include "inspect_test_support.h"
#include "read_events.h"
#include "trace_stats.h"

namespace grouptrace {
namespace {

using testing::readFile;

std::vector<TraceEvent> readAny(const std::string& text,
                                std::size_t bufferSize = TraceReader::kDefaultBufferSize) {
  return testing::readEvents<AnyTraceReader>(text, bufferSize);
}
std::vector<TraceEvent> readText(const std::string& text,
                                 std::size_t bufferSize = TraceReader::kDefaultBufferSize) {
  return testing::readEvents<TraceReader>(text, bufferSize);
}

std::string program(const char* binary) {
  return testing::launched(binary);
}

// What grouptrace writes in `format` for a stored trace's parameters and seed.
std::string generatedAs(const std::filesystem::path& trace, const std::string& format,
                        const testing::ScratchDir& scratch) {
  auto params = trace;
  params.replace_extension(".params");
  auto argsFile = trace;
  argsFile.replace_extension(".args");
  std::string args;
  if (std::filesystem::exists(argsFile)) {
    args = readFile(argsFile);
    while (!args.empty() && (args.back() == '\n' || args.back() == ' ')) args.pop_back();
  }
  const auto result = testing::runCommand(program(GROUPTRACE_BINARY) + " --format " + format + " " +
                                              testing::shellQuoted(args) + " < " +
                                              testing::shellQuoted(params.string()),
                                          scratch);
  return result.out;
}

// The events as the trace text holds them: band and delay in six significant
// digits, so that a million and more come back rounded.
std::vector<TraceEvent> asText(std::vector<TraceEvent> events) {
  auto rounded = [](double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return std::strtod(text, nullptr);
  };
  for (TraceEvent& event : events) {
    if (auto* join = std::get_if<JoinRecord>(&event)) {
      join->band = rounded(join->band);
      join->delay = rounded(join->delay);
    }
  }
  return events;
}

TEST(AnyFormGolden, CsvAndJsonLinesOfTheStoredRunsGiveTheTextsEvents) {
  testing::ScratchDir scratch;
  const auto traces = testing::goldenTraces();
  ASSERT_GE(traces.size(), 12u);
  for (const auto& path : traces) {
    SCOPED_TRACE(path.filename().string());
    const auto text = readText(readFile(path));
    ASSERT_TRUE(std::holds_alternative<TraceSummary>(text.back()));

    const std::string jsonl = generatedAs(path, "jsonl", scratch);
    ASSERT_FALSE(jsonl.empty());
    EXPECT_EQ(asText(readAny(jsonl)), text);

    // CSV holds neither the header values nor the counter's start.
    auto expected = text;
    std::get<TraceHeader>(expected.front()) = TraceHeader{};
    auto& summary = std::get<TraceSummary>(expected.back());
    summary.trans = summary.joins + summary.leaves;
    const std::string csv = generatedAs(path, "csv", scratch);
    ASSERT_FALSE(csv.empty());
    EXPECT_EQ(asText(readAny(csv)), expected);
    // Refills that cut rows in two, and the opening read to tell the form.
    EXPECT_EQ(readAny(csv, 64), readAny(csv));
    EXPECT_EQ(readAny(jsonl, 200), readAny(jsonl));
  }
}

TEST(AnyFormDetect, WhatIsNoFormIsLeftToTheTextReader) {
  // The text's title is told apart only once enough of it has been seen.
  EXPECT_FALSE(detectTraceFormat("// Print Group"));
  EXPECT_FALSE(detectTraceFormat(" {"));
  // Whatever is no form at all gets the text reader's own refusal.
  for (const std::string& text : {std::string(), std::string("hello\n"), std::string("// Print")}) {
    MemorySource a(text), b(text);
    std::string viaText, viaAny;
    try {
      TraceReader reader(a);
      TraceEvent event;
      while (reader.next(event)) {
      }
    } catch (const TraceError& e) {
      viaText = e.what();
    }
    try {
      AnyTraceReader reader(b);
      TraceEvent event;
      while (reader.next(event)) {
      }
    } catch (const TraceError& e) {
      viaAny = e.what();
    }
    EXPECT_FALSE(viaText.empty());
    EXPECT_EQ(viaAny, viaText);
  }
}

// A timed run of 100 s over two sessions, by hand: a member present at the
// start, one stay seen whole (50 s in session 1), one cut by the end.
const std::string kTimedJsonl =
    R"({"kind":"header","model":"dynamic-1","duration":100,"avgSize":0,"orderedJoinLeave":0}
{"phase":"sessions","kind":"source","node":0,"session":0}
{"phase":"sessions","kind":"source","node":3,"session":1}
{"time":0,"phase":"beef-up","kind":"join","node":1,"session":0,"band":64,"delay":5,"hops":2}
{"time":12.5,"phase":"join-leave","kind":"join","node":2,"session":1,"band":3000000000,"delay":7,"hops":1}
{"time":20,"phase":"join-leave","kind":"leave","node":1,"session":0}
{"time":30,"phase":"join-leave","kind":"join","node":4,"session":0,"band":64,"delay":5,"hops":3}
{"time":62.5,"phase":"join-leave","kind":"leave","node":2,"session":1}
{"time":100,"phase":"end-of-session","kind":"leave","node":4,"session":0}
{"kind":"summary","trans":6,"joins":3,"leaves":3,"blocked":2}
)";

const std::string kTimedCsv = R"(time,phase,kind,node,session,band,delay,hops
0,sessions,source,0,0,,,
0,sessions,source,3,1,,,
0,beef-up,join,1,0,64,5,2
12.5,join-leave,join,2,1,3000000000,7,1
20,join-leave,leave,1,0,,,
30,join-leave,join,4,0,64,5,3
62.5,join-leave,leave,2,1,,,
100,end-of-session,leave,4,0,,,
)";

TEST(AnyFormTimed, HandWrittenTracesGiveTheirEventsWithTimes) {
  const std::vector<TraceEvent> expected = {
      TraceHeader{0, 0, 100.0, 1},
      SessionEntry{0, 0},
      SessionEntry{1, 3},
      PhaseStart{TracePhase::beefUp},
      JoinRecord{1, 0, 64, 5, 2, 0.0},
      PhaseStart{TracePhase::joinLeave},
      JoinRecord{2, 1, 3e9, 7, 1, 12.5},
      LeaveRecord{1, 0, 20.0},
      JoinRecord{4, 0, 64, 5, 3, 30.0},
      LeaveRecord{2, 1, 62.5},
      PhaseStart{TracePhase::endOfSession},
      LeaveRecord{4, 0, 100.0},
      TraceSummary{6, 3, 3, 2},
  };
  EXPECT_EQ(readAny(kTimedJsonl), expected);
  // Other spacing and key order, as tools that rewrite JSON give them.
  std::string spaced;
  for (const char c : kTimedJsonl) {
    spaced += c;
    if (c == ':') spaced += ' ';
  }
  const std::string timeFirst = "{\"time\": 12.5,\"phase\": \"join-leave\"";
  ASSERT_NE(spaced.find(timeFirst), std::string::npos);
  spaced.replace(spaced.find(timeFirst), timeFirst.size(),
                 "{\"phase\": \"join-leave\", \"time\": 1.25e1");
  EXPECT_EQ(readAny(spaced), expected);

  auto fromCsv = expected;
  fromCsv.front() = TraceHeader{0, 0, std::numeric_limits<double>::infinity()};
  fromCsv.back() = TraceSummary{6, 3, 3, 0};
  EXPECT_EQ(readAny(kTimedCsv), fromCsv);

  // Times come back as the very doubles the writer's shortest form stands for.
  const std::string odd =
      "time,phase,kind,node,session,band,delay,hops\n0,sessions,source,0,0,,,\n"
      "3.3333333333333335,join-leave,join,1,0,1,2,3\n"
      "1e+05,join-leave,leave,1,0,,,\n";
  const auto events = readAny(odd);
  ASSERT_EQ(events.size(), 8u);
  EXPECT_EQ(*std::get<JoinRecord>(events[4]).time, 10.0 / 3);
  EXPECT_EQ(*std::get<LeaveRecord>(events[5]).time, 1e5);
}

TEST(AnyFormTimed, EveryPhaseIsHandedOutInOrderAndTheStateFollows) {
  // No beef-up and no end-of-session rows: their markers still come.
  const std::string text =
      R"({"kind":"header","model":"dynamic-1","duration":10,"avgSize":0,"orderedJoinLeave":0}
{"phase":"sessions","kind":"source","node":5,"session":0}
{"time":1,"phase":"join-leave","kind":"join","node":2,"session":0,"band":1,"delay":1,"hops":1}
{"kind":"summary","trans":1,"joins":1,"leaves":0,"blocked":0}
)";
  MemorySource source(text);
  AnyTraceReader reader(source);
  TraceEvent event;
  std::vector<TracePhase> phases;
  while (reader.next(event)) {
    if (const auto* start = std::get_if<PhaseStart>(&event)) {
      phases.push_back(start->phase);
      EXPECT_EQ(reader.phase(), start->phase);
      EXPECT_EQ(reader.line(), start->phase == TracePhase::endOfSession ? 4u : 3u);
    }
    if (std::holds_alternative<JoinRecord>(event)) {
      EXPECT_TRUE(reader.isMember(0, 2));
      EXPECT_EQ(reader.groupSize(0), 2);
    }
  }
  EXPECT_EQ(phases, (std::vector<TracePhase>{TracePhase::beefUp, TracePhase::joinLeave,
                                             TracePhase::endOfSession}));
  EXPECT_EQ(reader.format(), TraceFormat::jsonl);
  EXPECT_TRUE(reader.timed());
  EXPECT_EQ(reader.joins(), 1);
  EXPECT_EQ(reader.source(0), 5);
}

struct Fault {
  const char* what;
  std::string text;
  std::uint64_t line;
  const char* reason;  // a part of the message
};

// The timed JSON Lines trace with line `n` (1-based) replaced.
std::string jsonlWith(std::size_t n, const std::string& row) {
  std::string text = kTimedJsonl;
  std::size_t from = 0;
  for (std::size_t i = 1; i < n; ++i) from = text.find('\n', from) + 1;
  const std::size_t to = text.find('\n', from);
  return text.replace(from, to - from, row);
}

TEST(AnyFormFaults, EachIsRefusedOnItsLine) {
  const std::string classicCsv =
      "phase,kind,node,session,band,delay,hops\nsessions,source,0,0,,,\n";
  const std::vector<Fault> faults = {
      {"a time going back",
       jsonlWith(6, R"({"time":10,"phase":"join-leave","kind":"leave","node":1,"session":0})"), 6,
       "comes before the time 12.5 s of the request on line 5"},
      {"a time past the duration",
       jsonlWith(9,
                 R"({"time":100.5,"phase":"end-of-session","kind":"leave","node":4,"session":0})"),
       9, "past the run's duration of 100 s"},
      {"a leave of a non-member",
       jsonlWith(6, R"({"time":20,"phase":"join-leave","kind":"leave","node":2,"session":0})"), 6,
       "node 2 leaves session 0 but is not a member"},
      {"a join of a member",
       jsonlWith(
           7,
           R"({"time":30,"phase":"join-leave","kind":"join","node":2,"session":1,"band":1,"delay":1,"hops":1})"),
       7, "already a member"},
      {"a leave of a source",
       jsonlWith(6, R"({"time":20,"phase":"join-leave","kind":"leave","node":3,"session":1})"), 6,
       "whose source it is"},
      {"a session out of range",
       jsonlWith(6, R"({"time":20,"phase":"join-leave","kind":"leave","node":1,"session":2})"), 6,
       "session 2 is not in the session table"},
      {"a summary that disagrees",
       jsonlWith(10, R"({"kind":"summary","trans":6,"joins":3,"leaves":2,"blocked":2})"), 10,
       "counts 2 leaves but the trace holds 3"},
      {"a timed summary without its blocked count",
       jsonlWith(10, R"({"kind":"summary","trans":6,"joins":3,"leaves":3})"), 10, "\"blocked\""},
      {"another model version",
       jsonlWith(
           1,
           R"({"kind":"header","model":"dynamic-9","duration":100,"avgSize":0,"orderedJoinLeave":0})"),
       1, "model \"dynamic-9\", which this reader does not know"},
      {"a beef-up join after 0",
       jsonlWith(
           4,
           R"({"time":1,"phase":"beef-up","kind":"join","node":1,"session":0,"band":64,"delay":5,"hops":2})"),
       4, "join at time 0"},
      {"phases out of order",
       jsonlWith(8, R"({"time":62.5,"phase":"beef-up","kind":"leave","node":2,"session":1})"), 8,
       "a beef-up row after the join-leave phase began"},
      {"a request without its time",
       jsonlWith(6, R"({"phase":"join-leave","kind":"leave","node":1,"session":0})"), 6,
       "without its time"},
      {"malformed JSON", jsonlWith(6, R"({"time":20,"phase":"join-leave","kind":"leave")"), 6,
       "expected a JSON object"},
      {"an unknown key",
       jsonlWith(6,
                 R"({"time":20,"phase":"join-leave","kind":"leave","node":1,"session":0,"x":1})"),
       6, "no key \"x\""},
      // The fast path of the writer's own shape must not take what JSON does not.
      {"bytes after the closing brace",
       jsonlWith(6, R"({"time":20,"phase":"join-leave","kind":"leave","node":1,"session":0}x)"), 6,
       "expected a JSON object"},
      {"a number with a leading zero",
       jsonlWith(6, R"({"time":20,"phase":"join-leave","kind":"leave","node":01,"session":0})"), 6,
       "expected a JSON object"},
      {"a number past a double's range",
       jsonlWith(6, R"({"time":1e400,"phase":"join-leave","kind":"leave","node":1,"session":0})"),
       6, "the number 1e400 is too large to hold"},
      {"a key given twice",
       jsonlWith(
           6, R"({"time":20,"phase":"join-leave","kind":"leave","node":1,"node":2,"session":0})"),
       6, "the key \"node\" is given twice"},
      {"a value nested past any record",
       jsonlWith(
           6, "{\"time\":20,\"node\":" + std::string(100000, '[') + std::string(100000, ']') + "}"),
       6, "nested over 32 deep"},
      {"a node that is no number",
       jsonlWith(6, R"({"time":20,"phase":"join-leave","kind":"leave","node":"1","session":0})"), 6,
       "\"node\" is not a whole number"},
      {"a truncated JSON Lines trace", kTimedJsonl.substr(0, kTimedJsonl.rfind("{\"kind\"")), 10,
       "before its summary line"},
      {"a line after the summary", kTimedJsonl + "{}\n", 11, "after the summary"},
      {"a CSV row short of a field", classicCsv + "join-leave,join,1,0,5,5\n", 3,
       "the row has 6 fields; it has 7"},
      // Each rule of a row and of the summary, fed a line that breaks it alone.
      {"a summary of other joins",
       jsonlWith(10, R"({"kind":"summary","trans":7,"joins":4,"leaves":3,"blocked":2})"), 10,
       "counts 4 joins but the trace holds 3"},
      {"a summary of other leaves",
       jsonlWith(10, R"({"kind":"summary","trans":7,"joins":3,"leaves":4,"blocked":2})"), 10,
       "counts 4 leaves but the trace holds 3"},
      {"a summary of another Trans",
       jsonlWith(10, R"({"kind":"summary","trans":7,"joins":3,"leaves":3,"blocked":2})"), 10,
       "counts trans 7"},
      {"a negative count", jsonlWith(10, R"({"kind":"summary","trans":6,"joins":-1,"leaves":3})"),
       10, "\"joins\" -1 lies outside"},
      {"blocked joins in a classic trace",
       "{\"kind\":\"header\",\"avgSize\":2,\"orderedJoinLeave\":0}\n"
       "{\"phase\":\"sessions\",\"kind\":\"source\",\"node\":0,\"session\":0}\n"
       "{\"kind\":\"summary\",\"trans\":0,\"joins\":0,\"leaves\":0,\"blocked\":0}\n",
       3, "which only a timed trace has"},
      {"a second header",
       jsonlWith(
           6,
           R"({"kind":"header","model":"dynamic-1","duration":100,"avgSize":0,"orderedJoinLeave":0})"),
       6, "a second header line"},
      {"no header first",
       jsonlWith(1, R"({"phase":"sessions","kind":"source","node":0,"session":0})"), 1,
       "expected the header object"},
      {"a duration without a model",
       jsonlWith(1, R"({"kind":"header","duration":100,"avgSize":0,"orderedJoinLeave":0})"), 1,
       "a duration in a header that names no timed model"},
      {"a carriage return",
       jsonlWith(
           6,
           "{\"time\":20,\"phase\":\"join-leave\",\"kind\":\"leave\",\"node\":1,\"session\":0}\r"),
       6, "a carriage return ends the line"},
      {"a source after the requests",
       jsonlWith(6, R"({"phase":"sessions","kind":"source","node":0,"session":2})"), 6,
       "a source row after the requests began"},
      {"a source outside the sessions phase",
       jsonlWith(3, R"({"phase":"beef-up","kind":"source","node":3,"session":1})"), 3,
       "a source object's phase is \"sessions\""},
      {"a source that is no node",
       jsonlWith(3, R"({"phase":"sessions","kind":"source","node":-1,"session":1})"), 3,
       "the source -1 is not a node"},
      {"a node past the largest",
       jsonlWith(
           6, R"({"time":20,"phase":"join-leave","kind":"leave","node":2147483647,"session":0})"),
       6, "the node 2147483647 is not a node"},
      {"no kind", jsonlWith(6, R"({"time":20,"phase":"join-leave","node":1,"session":0})"), 6,
       "has no \"kind\""},
      {"an unknown kind",
       jsonlWith(6, R"({"time":20,"phase":"join-leave","kind":"part","node":1,"session":0})"), 6,
       "is none of header, source, join, leave and summary"},
      {"a request without its session",
       jsonlWith(6, R"({"time":20,"phase":"join-leave","kind":"leave","node":1})"), 6,
       "needs the key \"session\""},
      {"an unknown phase",
       jsonlWith(6, R"({"time":20,"phase":"dusk","kind":"leave","node":1,"session":0})"), 6,
       "the phase \"dusk\""},
      {"a band that is no number",
       jsonlWith(
           5,
           R"({"time":12.5,"phase":"join-leave","kind":"join","node":2,"session":1,"band":"64","delay":7,"hops":1})"),
       5, "\"band\" is not a finite number"},
      {"hops past 32 bits",
       jsonlWith(
           5,
           R"({"time":12.5,"phase":"join-leave","kind":"join","node":2,"session":1,"band":64,"delay":7,"hops":2147483648})"),
       5, "\"hops\" 2147483648 lies outside"},
      {"a join at the end of the sessions",
       jsonlWith(
           9,
           R"({"time":100,"phase":"end-of-session","kind":"join","node":5,"session":0,"band":64,"delay":5,"hops":3})"),
       9, "a join in the end-of-session phase"},
      {"a leave while the groups are built",
       jsonlWith(4, R"({"time":0,"phase":"beef-up","kind":"leave","node":1,"session":0})"), 4,
       "a leave in the beef-up phase"},
      {"a CSV node that is no number", classicCsv + "join-leave,join,x,0,5,5,1\n", 3,
       "the node \"x\" is not a node"},
      {"a CSV source after time 0",
       "time,phase,kind,node,session,band,delay,hops\n0,sessions,source,0,0,,,\n"
       "1,sessions,source,3,1,,,\n",
       3, "a source row at time \"1\""},
      {"an unknown CSV phase", classicCsv + "dusk,leave,1,0,,,\n", 3, "the phase \"dusk\""},
      {"CSV hops with a fraction", classicCsv + "join-leave,join,1,0,5,5,1.5\n", 3,
       "the hop count \"1.5\" is not a 32-bit integer"},
      {"an unknown CSV kind", classicCsv + "join-leave,part,1,0,,,\n", 3,
       "the kind \"part\" of a request"},
      {"a CSV time that is no number",
       "time,phase,kind,node,session,band,delay,hops\n0,sessions,source,0,0,,,\n"
       "soon,join-leave,join,1,0,1,1,1\n",
       3, "the time \"soon\" is not a number"},
      {"a CSV time going back", kTimedCsv + "99,end-of-session,leave,1,0,,,\n", 10,
       "comes before the time 100 s"},
      {"a CSV leave with requirements", classicCsv + "join-leave,leave,1,0,5,,\n", 3,
       "leaves band, delay and hops empty"},
      {"a CSV source out of order", classicCsv + "sessions,source,0,2,,,\n", 3,
       "session 2 in the table where session 1 comes next"},
      {"a CSV without sessions", "phase,kind,node,session,band,delay,hops\n", 1,
       "at least one session"},
      {"a CSV line cut short", classicCsv + "join-leave,join,1,0,5,5,1", 3, "no newline"},
      {"an unknown CSV header", "phase,kind,node\n", 1, "expected the CSV header row"},
      {"a classic JSON Lines trace breaking the beef-up passes",
       "{\"kind\":\"header\",\"avgSize\":2,\"orderedJoinLeave\":0}\n"
       "{\"phase\":\"sessions\",\"kind\":\"source\",\"node\":0,\"session\":0}\n"
       "{\"phase\":\"sessions\",\"kind\":\"source\",\"node\":0,\"session\":1}\n"
       "{\"phase\":\"beef-up\",\"kind\":\"join\",\"node\":1,\"session\":1,\"band\":1,\"delay\":1,"
       "\"hops\":1}\n",
       4, "where session 0 comes next"},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.what);
    MemorySource source(fault.text);
    AnyTraceReader reader(source);
    TraceEvent event;
    try {
      while (reader.next(event)) {
      }
      ADD_FAILURE() << "accepted";
    } catch (const TraceError& e) {
      EXPECT_EQ(e.line(), fault.line) << e.what();
      EXPECT_NE(e.reason().find(fault.reason), std::string::npos) << e.what();
      EXPECT_FALSE(reader.next(event)) << "nothing after the faulty line";
    }
  }
}

// What each form records, as recorded() reports it from the form told by the
// first line, and the values that have stood since 1.0 for what it does not.
TEST(AnyFormRecorded, EachFormSaysWhatItRecordedAndReadsTheRestAsDocumented) {
  const Parameters parameters =
      parseParameters(readFile(std::string(GROUPTRACE_GOLDEN_DIR) + "/001.params"));
  auto classic = [&](TraceFormat format) {
    StringSink sink;
    writeTrace(parameters, 1, format, sink);
    return sink.text();
  };
  const struct {
    const char* what;
    std::string text;
    TraceFormat format;
    bool timed;
    TraceRecorded recorded;  // headerValues, duration, counter, summary
  } cases[] = {
      {"classic text",
       classic(TraceFormat::trace),
       TraceFormat::trace,
       false,
       {true, false, true, true}},
      {"classic CSV",
       classic(TraceFormat::csv),
       TraceFormat::csv,
       false,
       {false, false, false, false}},
      {"classic JSON Lines",
       classic(TraceFormat::jsonl),
       TraceFormat::jsonl,
       false,
       {true, false, true, true}},
      {"timed CSV", kTimedCsv, TraceFormat::csv, true, {false, false, false, false}},
      {"timed JSON Lines", kTimedJsonl, TraceFormat::jsonl, true, {true, true, true, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(detectTraceFormat(c.text.substr(0, 23)), c.format);
    MemorySource source(c.text);
    AnyTraceReader reader(source);
    TraceEvent event;
    TraceSummary summary;
    while (reader.next(event)) {
      if (const auto* s = std::get_if<TraceSummary>(&event)) summary = *s;
    }
    EXPECT_EQ(reader.format(), c.format);
    EXPECT_EQ(reader.timed(), c.timed);
    const TraceRecorded r = reader.recorded();
    EXPECT_EQ(r.headerValues, c.recorded.headerValues);
    EXPECT_EQ(r.duration, c.recorded.duration);
    EXPECT_EQ(r.counter, c.recorded.counter);
    EXPECT_EQ(r.summary, c.recorded.summary);
    const TraceHeader& header = reader.header();
    // What the form does not record reads as it has since 1.0.
    if (!r.headerValues) {
      EXPECT_EQ(header.avgSize, 0);
    }
    if (c.timed && !r.duration) {
      EXPECT_EQ(header.duration, std::numeric_limits<double>::infinity());
    }
    if (!r.summary) {
      EXPECT_EQ(summary.trans, summary.joins + summary.leaves);
    }
  }
  // Before the first line is read, the reader is the text's.
  MemorySource none("");
  const AnyTraceReader unread(none);
  EXPECT_EQ(unread.format(), TraceFormat::trace);
  EXPECT_TRUE(unread.recorded().counter);
  EXPECT_FALSE(unread.recorded().duration);
}

TEST(AnyFormStats, TimedFiguresByHand) {
  const auto stats = testing::readInto<TraceStats>(kTimedJsonl);
  ASSERT_TRUE(stats.timed());
  EXPECT_TRUE(stats.durationRecorded());
  EXPECT_EQ(stats.duration(), 100);
  EXPECT_EQ(stats.blocked(), 2);
  // Two arrivals in (0, 100]; the member present at 0 is none.
  EXPECT_DOUBLE_EQ(stats.joinRate(), 0.02);
  // Only node 2's stay in session 1 is seen whole: node 1 was there at the
  // start, node 4 is sent away by the end.
  EXPECT_EQ(stats.stays(), std::vector<double>{50});
  // Session 0: 2 members for 20 s, 1 for 10 s, 2 for 70 s; session 1: 1, 2, 1
  // for 12.5, 50 and 37.5 s.
  EXPECT_DOUBLE_EQ(stats.timeMeanSize(0), 1.9);
  EXPECT_DOUBLE_EQ(stats.timeMeanSize(1), 1.5);

  // The CSV form: the last request stands for the duration.
  TraceStats fromCsv;
  const std::string cut = kTimedCsv.substr(0, kTimedCsv.rfind("100,"));
  MemorySource source(cut);
  AnyTraceReader reader(source);
  fromCsv.read(reader);
  EXPECT_FALSE(fromCsv.durationRecorded());
  EXPECT_EQ(fromCsv.duration(), 62.5);
  EXPECT_DOUBLE_EQ(fromCsv.joinRate(), 2 / 62.5);
}

TEST(AnyFormStats, StayQuantilesAreTheSmallestStayCoveringTheFraction) {
  // Ten stays of 1 to 10 s, the k-th from 10k to 11k s.
  std::string text = "time,phase,kind,node,session,band,delay,hops\n0,sessions,source,0,0,,,\n";
  std::vector<std::pair<double, std::string>> rows;
  for (int k = 1; k <= 10; ++k) {
    rows.push_back({10.0 * k, std::to_string(10 * k) + ",join-leave,join," + std::to_string(k) +
                                  ",0,1,1,1\n"});
    rows.push_back(
        {11.0 * k, std::to_string(11 * k) + ",join-leave,leave," + std::to_string(k) + ",0,,,\n"});
  }
  std::stable_sort(rows.begin(), rows.end());
  for (const auto& row : rows) text += row.second;
  const auto stats = testing::readInto<TraceStats>(text);
  ASSERT_EQ(stats.stays().size(), 10u);
  EXPECT_EQ(stats.stayQuantile(0.10), 1);
  EXPECT_EQ(stats.stayQuantile(0.50), 5);
  EXPECT_EQ(stats.stayQuantile(0.90), 9);
  EXPECT_EQ(stats.stayQuantile(0.99), 10);
  EXPECT_DOUBLE_EQ(stats.stayMean(), 5.5);
}

TEST(AnyFormStats, StaysCutOffByTheEndAreCountedNotDropped) {
  const std::string header =
      "time,phase,kind,node,session,band,delay,hops\n0,sessions,source,0,0,,,\n";
  const struct {
    const char* what;
    std::string trace;
    std::size_t whole;
    Count censored;
  } cases[] = {
      {"sent away by the end-of-session phase", kTimedJsonl, 1, 1},
      {"left in by an open end", kTimedCsv.substr(0, kTimedCsv.rfind("100,")), 1, 1},
      {"every stay ended", header + "5,join-leave,join,1,0,1,1,1\n9,join-leave,leave,1,0,,,\n", 1,
       0},
      {"none seen whole", header + "5,join-leave,join,1,0,1,1,1\n6,join-leave,join,2,0,1,1,1\n", 0,
       2},
      {"a member present at the start is no arrival", header + "0,beef-up,join,1,0,1,1,1\n", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto stats = testing::readInto<TraceStats>(c.trace);
    EXPECT_EQ(stats.stays().size(), c.whole);
    EXPECT_EQ(stats.censoredStays(), c.censored);
    const std::string said = std::to_string(c.censored) + (c.censored == 1 ? " stay" : " stays") +
                             " cut off by the end of the run";
    EXPECT_NE(stats.report().find(said), std::string::npos) << stats.report();
    EXPECT_EQ(stats.report().find("understate") != std::string::npos, c.censored > 0 && c.whole > 0)
        << stats.report();
    EXPECT_NE(stats.json("t").find("\"stays_censored\":" + std::to_string(c.censored) + ","),
              std::string::npos)
        << stats.json("t");
  }
}

// A row that lacks a field, or has one too many, shifts every column after it
// under the wrong key in a sweep's table.
TEST(AnyFormStats, EveryRowHasAValueUnderEveryKey) {
  const std::string header = TraceStats::csvHeader();
  const auto fields = [](const std::string& line) {
    return std::count(line.begin(), line.end(), ',');
  };
  const struct {
    const char* what;
    std::string trace;
  } cases[] = {
      {"classic text", readFile(std::string(GROUPTRACE_GOLDEN_DIR) + "/000.out")},
      {"timed JSON Lines", kTimedJsonl},
      {"timed CSV", kTimedCsv},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto stats = testing::readInto<TraceStats>(c.trace);
    EXPECT_EQ(fields(stats.csvRow("t")), fields(header));
    const std::string json = stats.json("t");
    std::istringstream keys(header.substr(0, header.size() - 1));
    for (std::string key; std::getline(keys, key, ',');) {
      key.insert(0, 1, '"');
      key.append("\":");
      EXPECT_NE(json.find(key), std::string::npos) << key << " missing from " << json;
    }
  }
}

// The stored timed runs: grouptrace's own CSV and JSON Lines output.
std::vector<std::filesystem::path> timedTraces() {
  std::vector<std::filesystem::path> traces;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(GROUPTRACE_GOLDEN_DIR) + "/dynamic")) {
    if (entry.path().extension() == ".out") traces.push_back(entry.path());
  }
  std::sort(traces.begin(), traces.end());
  return traces;
}

TEST(AnyFormTimedRuns, StoredTimedRunsWriteBackByteForByteAndAgreeAcrossForms) {
  testing::ScratchDir scratch;
  const auto traces = timedTraces();
  ASSERT_GE(traces.size(), 2u);
  for (const auto& path : traces) {
    SCOPED_TRACE(path.filename().string());
    const std::string text = readFile(path);
    const auto format = detectTraceFormat(text);
    ASSERT_TRUE(format == TraceFormat::csv || format == TraceFormat::jsonl);
    const auto events = readAny(text);
    ASSERT_TRUE(std::get<TraceHeader>(events.front()).duration.has_value());
    StringSink sink;
    const auto writer = makeTraceWriter(*format, sink);
    for (const TraceEvent& event : events) deliver(event, *writer);
    EXPECT_EQ(sink.text(), text);

    // The same run in the other form: the same records and their times.
    auto args = readFile(std::filesystem::path(path).replace_extension(".args"));
    while (!args.empty() && args.back() == '\n') args.pop_back();
    const std::string other = *format == TraceFormat::csv ? "jsonl" : "csv";
    const auto at = args.find("--format ");
    if (at != std::string::npos) args.erase(at, args.find(' ', at + 9) - at);
    const auto run = testing::runCommand(
        program(GROUPTRACE_BINARY) + " " + args + " --format " + other + " < " +
            testing::shellQuoted(std::filesystem::path(path).replace_extension(".params").string()),
        scratch);
    ASSERT_EQ(run.status, 0) << run.err;
    auto fromOther = readAny(run.out);
    ASSERT_EQ(fromOther.size(), events.size());
    // CSV keeps neither the header's values nor the blocked count.
    const std::size_t last = events.size() - 1;
    EXPECT_EQ(std::vector<TraceEvent>(fromOther.begin() + 1, fromOther.begin() + last),
              std::vector<TraceEvent>(events.begin() + 1, events.begin() + last));
    EXPECT_EQ(std::get<TraceSummary>(fromOther.back()).joins,
              std::get<TraceSummary>(events.back()).joins);
  }
}

TEST(AnyFormTimedRuns, StatsOfAGeneratedRunMeasureWhatItWasAskedFor) {
  testing::ScratchDir scratch;
  // 0.5 joins a second over 4 sessions of 1000 nodes for two hours, stays of
  // mean 600 s: about 3600 joins, and 0.5 / 4 * 600 = 75 members a session.
  const auto run = testing::runCommand(
      program(GROUPTRACE_BINARY) +
          " --model dynamic --duration 7200 --holding exp:600 --join-rate 0.5 --nodes 1000"
          " --sessions 4 --format jsonl -s 5 < " +
          testing::shellQuoted(std::string(GROUPTRACE_GOLDEN_DIR) + "/dynamic/d000.params"),
      scratch);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto stats = testing::readInto<TraceStats>(run.out);
  ASSERT_EQ(stats.duration(), 7200);
  // Counts of about 3600: five standard deviations are 300, a rate of 0.042.
  EXPECT_NEAR(stats.joinRate(), 0.5, 0.042);
  // The time-average is 1 + 75 a session, within a few of its standard error of 3.5.
  double sum = 0;
  for (std::int32_t s = 0; s < 4; ++s) {
    EXPECT_NEAR(stats.timeMeanSize(s), 76, 15) << "session " << s;
    sum += stats.timeMeanSize(s);
  }
  EXPECT_NEAR(sum / 4, 76, 8);
  // The median stay of exp(600) is 416 s; stays cut by the end are left out,
  // which shortens those seen whole a little. They are the members in at the
  // end, 75 a session, and are said.
  ASSERT_GT(stats.stays().size(), 3000u);
  EXPECT_NEAR(static_cast<double>(stats.censoredStays()), 300, 90);
  EXPECT_GT(stats.stayQuantile(0.5), 0.8 * 416);
  EXPECT_LT(stats.stayQuantile(0.5), 1.1 * 416);
  EXPECT_LT(stats.stayQuantile(0.1), stats.stayQuantile(0.5));
  EXPECT_LT(stats.stayQuantile(0.9), stats.stayQuantile(0.99));
}

TEST(AnyFormProgram, VerifyChecksTheCountsOfEveryForm) {
  testing::ScratchDir scratch;
  const std::string params =
      testing::shellQuoted(std::string(GROUPTRACE_GOLDEN_DIR) + "/dynamic/d002.params");
  auto q = [](const std::filesystem::path& p) { return testing::shellQuoted(p.string()); };
  for (const std::string format : {"jsonl", "csv"}) {
    SCOPED_TRACE(format);
    const auto trace = scratch / ("run." + format);
    const auto manifest = scratch / (format + ".json");
    const auto made = testing::runCommand(
        program(GROUPTRACE_BINARY) + " --model dynamic --duration 1800 --join-rate 0.2 --format " +
            format + " -s 3 -o " + q(trace) + " --manifest " + q(manifest) + " < " + params,
        scratch);
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string inspect = program(GROUPTRACE_INSPECT_BINARY) + " verify ";
    const auto good = testing::runCommand(inspect + q(manifest), scratch);
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_NE(good.out.find(" joins, "), std::string::npos) << good.out;
    EXPECT_EQ(good.out.find(" blocked") != std::string::npos, format == "jsonl") << good.out;

    // The trace untouched, the manifest's blocked count changed: only JSON
    // Lines records it to compare.
    std::string record = readFile(manifest);
    const auto at = record.find("\"blocked\": ");
    ASSERT_NE(at, std::string::npos);
    record.insert(at + 11, "1");
    testing::writeFile(manifest, record);
    const auto changed = testing::runCommand(inspect + q(manifest), scratch);
    EXPECT_EQ(changed.status, format == "jsonl" ? 1 : 0) << changed.err;
    if (format == "jsonl") {
      EXPECT_NE(changed.err.find("its summary differs"), std::string::npos) << changed.err;
    }
  }
}

TEST(AnyFormProgram, CheckStatsAndPlotTakeEveryForm) {
  testing::ScratchDir scratch;
  const std::string inspect = program(GROUPTRACE_INSPECT_BINARY);
  const auto jsonl = scratch / "run.jsonl";
  const auto csv = scratch / "run.csv";
  testing::writeFile(jsonl, kTimedJsonl);
  testing::writeFile(csv, kTimedCsv);
  const std::string both =
      testing::shellQuoted(jsonl.string()) + " " + testing::shellQuoted(csv.string());

  const auto check = testing::runCommand(inspect + " check " + both, scratch);
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(check.out,
            jsonl.string() +
                ": valid: 2 sessions, 6 requests (3 joins, 3 leaves), 2 blocked, "
                "over 100 s\n" +
                csv.string() +
                ": valid: 2 sessions, 6 requests (3 joins, 3 leaves), the last at 100 s\n");

  const auto rows = testing::runCommand(inspect + " stats --format csv " + both, scratch);
  EXPECT_EQ(rows.status, 0) << rows.err;
  EXPECT_NE(rows.out.find(",hops_max,duration,blocked,join_rate,stays,stays_censored,stay_p10,"
                          "stay_p50,stay_p90,stay_p99,stay_mean,time_size_min,time_size_mean,"
                          "time_size_max\n"),
            std::string::npos)
      << rows.out;
  EXPECT_NE(rows.out.find(",100,2,0.02,1,1,50,50,50,50,50,1.5,1.7,1.9\n"), std::string::npos)
      << rows.out;
  EXPECT_NE(rows.out.find(",,,0.02,1,1,50,50,50,50,50,1.5,1.7,1.9\n"), std::string::npos)
      << "CSV records neither duration nor blocked: " << rows.out;
  // Nor the counter and the header's values.
  EXPECT_NE(rows.out.find(csv.string() + ",2,3,3,6,,,,1,2,2,1,"), std::string::npos) << rows.out;
  EXPECT_NE(rows.out.find(jsonl.string() + ",2,3,3,6,6,0,0,1,2,2,1,"), std::string::npos)
      << rows.out;
  const auto text =
      testing::runCommand(inspect + " stats " + testing::shellQuoted(jsonl.string()), scratch);
  EXPECT_NE(text.out.find("join rate 0.02 per second"), std::string::npos) << text.out;

  const auto plot =
      testing::runCommand(inspect + " plot -o - " + both.substr(0, both.find(' ')), scratch);
  EXPECT_EQ(plot.status, 0) << plot.err;
  EXPECT_NE(plot.out.find(">time (seconds)<"), std::string::npos);
  EXPECT_EQ(plot.out.find(">beef-up<"), std::string::npos) << "phases at instants are not named";
  // Three hours and more are drawn in hours.
  std::string longRun = kTimedJsonl;
  longRun.replace(longRun.find("\"duration\":100"), 14, "\"duration\":10800");
  testing::writeFile(jsonl, longRun);
  const auto hours =
      testing::runCommand(inspect + " plot -o - " + testing::shellQuoted(jsonl.string()), scratch);
  EXPECT_NE(hours.out.find(">time (hours)<"), std::string::npos);

  // A timed CSV trace has no duration for a JSON Lines header.
  const auto refused = testing::runCommand(
      inspect + " export --format jsonl " + testing::shellQuoted(csv.string()), scratch);
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.out, "");
  EXPECT_NE(refused.err.find("does not record the run's duration"), std::string::npos)
      << refused.err;

  // A faulty trace: its line named, nothing on standard output.
  testing::writeFile(csv, kTimedCsv + "99,end-of-session,leave,1,0,,,\n");
  for (const std::string command : {" check ", " stats ", " plot -o - "}) {
    const auto bad =
        testing::runCommand(inspect + command + testing::shellQuoted(csv.string()), scratch);
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err.rfind(csv.string() + ":10: the time 99 s comes before", 0), 0u) << bad.err;
  }
}

}  // namespace
}  // namespace grouptrace
