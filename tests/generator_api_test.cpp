#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "grouptrace/byte_sink.h"
#include "grouptrace/file_source.h"
#include "grouptrace/generator.h"
#include "grouptrace/memory_source.h"
#include "grouptrace/trace_handler.h"
#include "inspect_test_support.h"
#include "parameters/my_io.h"
#include "parameters/parameter_stream.h"
#include "seed_argument.h"

namespace grouptrace {
namespace {

using testing::goldenTraces;
using testing::readFile;

struct GoldenCase {
  std::string name;
  Parameters parameters;
  SEED_type seed = 0;
  std::string trace;
};

std::vector<GoldenCase> goldenCases() {
  std::vector<GoldenCase> cases;
  for (const auto& out : goldenTraces()) {
    auto path = out;
    GoldenCase c;
    c.name = out.stem().string();
    if (!std::filesystem::exists(path.replace_extension(".params"))) continue;
    FileSource in(path.string());
    myIO io(in);
    c.parameters = readParameters(io);
    if (std::filesystem::exists(path.replace_extension(".args"))) {
      c.seed = *parseSeedArgument(readFile(path).c_str());
    }
    c.trace = readFile(out);
    cases.push_back(std::move(c));
  }
  return cases;
}

// Every event, in order, as text: comparable, and readable in a failure.
class EventLog final : public TraceHandler {
 public:
  void onHeader(const TraceHeader& e) override {
    out_ << "header " << e.avgSize << ' ' << e.orderedJoinLeave << '\n';
  }
  void onSession(const SessionEntry& e) override {
    out_ << "session " << e.session << ' ' << e.source << '\n';
  }
  void onPhase(const PhaseStart& e) override {
    out_ << "phase " << static_cast<int>(e.phase) << '\n';
  }
  void onJoin(const JoinRecord& e) override {
    out_ << "join " << e.node << ' ' << e.session << ' ' << exact(e.band) << ' ' << exact(e.delay)
         << ' ' << e.hops << '\n';
  }
  void onLeave(const LeaveRecord& e) override {
    out_ << "leave " << e.node << ' ' << e.session << '\n';
  }
  void onSummary(const TraceSummary& e) override {
    out_ << "summary " << e.trans << ' ' << e.joins << ' ' << e.leaves << '\n';
  }
  std::string text() const { return out_.str(); }

 private:
  static std::string exact(double v) {
    std::ostringstream s;
    s.precision(17);
    s << v;
    return s.str();
  }
  std::ostringstream out_;
};

std::string readEvents(const std::string& trace) {
  MemorySource source(trace);
  EventLog log;
  readTrace(source, log);
  return log.text();
}

// The stored traces hold band and delay exactly only below a million.
bool exactInText(const std::string& trace) {
  return trace.find("e+") == std::string::npos;
}

TEST(GeneratorApi, EveryWriterOfTheTextGivesTheStoredTraces) {
  const auto cases = goldenCases();
  ASSERT_GE(cases.size(), 12u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StringSink direct;
    const RunResult result = writeTrace(c.parameters, c.seed, TraceFormat::trace, direct);
    EXPECT_EQ(direct.text(), c.trace);

    // The events handed out one by one, turned into text by a writer handler.
    StringSink viaEvents;
    const auto writer = makeTraceWriter(TraceFormat::trace, viaEvents);
    const RunResult again = generate(c.parameters, c.seed, *writer);
    EXPECT_EQ(viaEvents.text(), c.trace);
    EXPECT_EQ(result.joins, again.joins);
    EXPECT_EQ(result.leaves, again.leaves);
    EXPECT_EQ(result.trans, again.trans);
  }
}

TEST(GeneratorApi, GeneratedEventsAreTheStoredTracesEvents) {
  for (const auto& c : goldenCases()) {
    SCOPED_TRACE(c.name);
    EventLog log;
    const RunResult result = generate(c.parameters, c.seed, log);
    const std::string generated = log.text();
    const std::string read = readEvents(c.trace);
    if (exactInText(c.trace)) {
      EXPECT_EQ(generated, read);
    } else {
      // Rounded in the text: the same number of events, and the same summary.
      EXPECT_EQ(std::count(generated.begin(), generated.end(), '\n'),
                std::count(read.begin(), read.end(), '\n'));
    }
    const std::string summary = "summary " + std::to_string(result.trans) + " " +
                                std::to_string(result.joins) + " " + std::to_string(result.leaves) +
                                "\n";
    EXPECT_TRUE(read.ends_with(summary)) << summary;
  }
}

TEST(GeneratorApi, ExactBandsWhereTheTextRoundsThem) {
  Parameters p{};
  p.nNodes = 20;
  p.nSessions = 2;
  p.maxTrans = 30;
  p.avgSize = 4;
  p.nQoSLevels = 1;
  p.maxBand = 2147483647;
  p.minBand = 1000000;
  p.minDelay = 1;
  p.maxDelay = 1999999;
  p.minHops = 1;
  p.maxHops = 6;
  struct Bands final : TraceHandler {
    int unrounded = 0;
    void onJoin(const JoinRecord& j) override {
      // Six significant digits would end every band of ten digits in 0000.
      if (static_cast<long long>(j.band) % 10000 != 0) ++unrounded;
      EXPECT_EQ(j.band, static_cast<double>(static_cast<long long>(j.band)));
    }
  } bands;
  generate(p, 3, bands);
  EXPECT_GT(bands.unrounded, 0);

  StringSink csv;
  writeTrace(p, 3, TraceFormat::csv, csv);
  EXPECT_EQ(csv.text().find("e+"), std::string::npos);
}

// The rows a stored trace's events must give, made with iostreams from what
// the reader hands out: an independent path to the writers' bytes.
class ExpectedRows final : public TraceHandler {
 public:
  explicit ExpectedRows(bool json) : json_(json) {}
  void onHeader(const TraceHeader& e) override {
    if (json_) {
      out_ << "{\"kind\":\"header\",\"avgSize\":" << e.avgSize
           << ",\"orderedJoinLeave\":" << e.orderedJoinLeave << "}\n";
    } else {
      out_ << "phase,kind,node,session,band,delay,hops\n";
    }
  }
  void onSession(const SessionEntry& e) override { row("sessions", "source", e.source, e.session); }
  void onPhase(const PhaseStart& e) override {
    phase_ = e.phase == TracePhase::beefUp      ? "beef-up"
             : e.phase == TracePhase::joinLeave ? "join-leave"
                                                : "end-of-session";
  }
  void onJoin(const JoinRecord& e) override {
    row(phase_, "join", e.node, e.session, std::to_string(static_cast<long long>(e.band)),
        std::to_string(static_cast<long long>(e.delay)), std::to_string(e.hops));
  }
  void onLeave(const LeaveRecord& e) override { row(phase_, "leave", e.node, e.session); }
  void onSummary(const TraceSummary& e) override {
    if (json_) {
      out_ << "{\"kind\":\"summary\",\"trans\":" << e.trans << ",\"joins\":" << e.joins
           << ",\"leaves\":" << e.leaves << "}\n";
    }
  }
  std::string text() const { return out_.str(); }

 private:
  void row(const std::string& phase, const std::string& kind, NODEID node, std::int32_t session,
           const std::string& band = "", const std::string& delay = "",
           const std::string& hops = "") {
    if (!json_) {
      out_ << phase << ',' << kind << ',' << node << ',' << session << ',' << band << ',' << delay
           << ',' << hops << '\n';
      return;
    }
    out_ << "{\"phase\":\"" << phase << "\",\"kind\":\"" << kind << "\",\"node\":" << node
         << ",\"session\":" << session;
    if (!band.empty()) {
      out_ << ",\"band\":" << band << ",\"delay\":" << delay << ",\"hops\":" << hops;
    }
    out_ << "}\n";
  }
  bool json_;
  std::string phase_;
  std::ostringstream out_;
};

TEST(GeneratorApi, CsvAndJsonLinesHoldTheStoredTracesEvents) {
  for (const auto& c : goldenCases()) {
    if (!exactInText(c.trace)) continue;
    SCOPED_TRACE(c.name);
    for (const bool json : {false, true}) {
      ExpectedRows expected(json);
      MemorySource source(c.trace);
      readTrace(source, expected);
      const TraceFormat format = json ? TraceFormat::jsonl : TraceFormat::csv;
      StringSink generated;
      writeTrace(c.parameters, c.seed, format, generated);
      EXPECT_EQ(generated.text(), expected.text());

      // A stored trace converted through a writer handler gives the same bytes.
      StringSink converted;
      MemorySource again(c.trace);
      readTrace(again, *makeTraceWriter(format, converted));
      EXPECT_EQ(converted.text(), generated.text());
    }
  }
}

TEST(GeneratorApi, RefusesParametersThatCannotRun) {
  Parameters p{};
  p.nSessions = 1;
  EventLog log;
  EXPECT_THROW(generate(p, 0, log), ParameterError);
  EXPECT_EQ(log.text(), "");
}

// Runs share nothing: threads that each run every stored case several times,
// all at once and in different orders, must each get every trace exactly.
TEST(GeneratorApi, ManyThreadsTimesManyRunsGiveTheProgramsTraces) {
  const auto cases = goldenCases();
  ASSERT_FALSE(cases.empty());
  constexpr std::size_t kThreads = 8;
  constexpr std::size_t kRounds = 4;
  std::vector<std::vector<std::string>> faults(kThreads);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t round = 0; round < kRounds; ++round) {
        for (std::size_t k = 0; k < cases.size(); ++k) {
          const GoldenCase& c = cases[(k + t + round) % cases.size()];
          RunConfig config;
          config.parameters = c.parameters;
          config.seed = c.seed;
          StringSink sink;
          writeTrace(config, sink);
          if (sink.text() != c.trace) faults[t].push_back(c.name);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(faults[t].empty())
        << "thread " << t << " wrote another trace for " << faults[t].front();
  }
}

// A handler that starts a run of its own in the middle of one: the inner run
// must neither wait for the outer one nor shift its draws.
class NestingHandler final : public TraceHandler {
 public:
  NestingHandler(const GoldenCase& inner, StringSink& outerText)
      : inner_(inner), outer_(makeTraceWriter(TraceFormat::trace, outerText)) {}
  void onHeader(const TraceHeader& e) override { outer_->onHeader(e); }
  void onSession(const SessionEntry& e) override { outer_->onSession(e); }
  void onPhase(const PhaseStart& e) override { outer_->onPhase(e); }
  void onJoin(const JoinRecord& e) override {
    outer_->onJoin(e);
    if (innerText.text().empty()) {
      RunConfig config;
      config.parameters = inner_.parameters;
      config.seed = inner_.seed;
      writeTrace(config, innerText);
    }
  }
  void onLeave(const LeaveRecord& e) override { outer_->onLeave(e); }
  void onSummary(const TraceSummary& e) override { outer_->onSummary(e); }

  StringSink innerText;

 private:
  const GoldenCase& inner_;
  std::unique_ptr<TraceHandler> outer_;
};

TEST(GeneratorApi, ARunStartedFromAHandlerIsAnIndependentRun) {
  const auto cases = goldenCases();
  ASSERT_GE(cases.size(), 2u);
  const GoldenCase& outer = cases.front();
  const GoldenCase& inner = cases.back();
  StringSink outerText;
  NestingHandler handler(inner, outerText);
  RunConfig config;
  config.parameters = outer.parameters;
  config.seed = outer.seed;
  generate(config, handler);
  EXPECT_EQ(outerText.text(), outer.trace) << outer.name;
  EXPECT_EQ(handler.innerText.text(), inner.trace) << inner.name;
}

TEST(GeneratorApi, FormatNamesRoundTrip) {
  for (const auto f : {TraceFormat::trace, TraceFormat::csv, TraceFormat::jsonl}) {
    EXPECT_EQ(parseTraceFormat(formatName(f)), f);
  }
  EXPECT_EQ(parseTraceFormat("json"), std::nullopt);
  EXPECT_EQ(parseTraceFormat("CSV"), std::nullopt);
}

}  // namespace
}  // namespace grouptrace
