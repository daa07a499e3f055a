#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>

#include "generator/build_config.h"
#include "grouptrace/file_source.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_reader.h"
#include "inspect_test_support.h"
#include "io/sha256.h"

namespace grouptrace {
namespace {

using testing::readFile;
using testing::runCommand;
using testing::ScratchDir;
using testing::shellQuoted;

const std::string kGenerator = testing::launched(GROUPTRACE_BINARY);
const std::string kInspect = testing::launched(GROUPTRACE_INSPECT_BINARY);

struct Scenario {
  int nodes, sessions, maxTrans, startTrans, avgSize, levels;
  int maxBand, minBand, minDelay, maxDelay, minHops, maxHops, ordered;
  int seed;
};

// A parameter stream over the whole range of shapes: single nodes and
// sessions, targets beyond the network, inverted and negative bounds, bounds
// of a million and more, both modes and a nonzero ordered flag.
Scenario randomScenario(std::mt19937& random) {
  auto pick = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  Scenario s{};
  s.nodes = pick(0, 9) == 0 ? 1 : pick(2, 60);
  s.sessions = pick(1, 12);
  s.maxTrans = pick(0, 2500);
  s.startTrans = pick(-40, 40);
  s.avgSize = pick(-2, 30);
  s.levels = pick(0, 4);
  const int scale = pick(0, 2) == 0 ? 2000000000 : 500;
  s.maxBand = pick(-scale, scale);
  s.minBand = pick(-scale, scale);
  s.minDelay = pick(-scale, scale);
  s.maxDelay = pick(-scale, scale);
  s.minHops = pick(-20, 20);
  s.maxHops = pick(-20, 20);
  s.ordered = pick(0, 2) == 0 ? 0 : pick(0, 1) == 0 ? 1 : 5;
  s.seed = pick(-1000000, 1000000);
  return s;
}

std::string parameterStream(const Scenario& s) {
  std::ostringstream out;
  for (const int v : {s.nodes, s.sessions, s.maxTrans, s.startTrans, s.avgSize, s.levels, s.maxBand,
                      s.minBand, s.minDelay, s.maxDelay, s.minHops, s.maxHops, s.ordered}) {
    out << v << "\n";
  }
  return out.str();
}

// Every "GRP_REQ {" line opens either a header group block or a record; an
// independent count of what the reader reports.
long long blockCount(const std::string& text) {
  long long n = 0;
  for (std::size_t at = text.find("GRP_REQ {\n"); at != std::string::npos;
       at = text.find("GRP_REQ {\n", at + 1)) {
    ++n;
  }
  return n;
}

// Runs the generator on the scenario, writing its trace to `trace`. A single-node network cannot
// progress and says so, but still finishes its trace.
void generateScenario(const Scenario& s, const std::filesystem::path& trace,
                      const ScratchDir& scratch) {
  testing::writeFile(scratch / "params", parameterStream(s));
  const auto generated = runCommand(kGenerator + " " + std::to_string(s.seed) + " <" +
                                        shellQuoted((scratch / "params").string()) + " >" +
                                        shellQuoted(trace.string()),
                                    scratch);
  ASSERT_EQ(generated.status, s.nodes == 1 && s.startTrans < s.maxTrans ? 1 : 0) << generated.err;
}

TEST(GeneratedTraces, EveryRandomScenarioReadsAsASoundTrace) {
  ScratchDir scratch;
  std::mt19937 random(20240611);
  for (int run = 0; run < 40; ++run) {
    const Scenario s = randomScenario(random);
    const std::string params = parameterStream(s);
    SCOPED_TRACE("run " + std::to_string(run) + ", seed " + std::to_string(s.seed) +
                 ", parameters:\n" + params);
    const auto trace = scratch / "trace";
    ASSERT_NO_FATAL_FAILURE(generateScenario(s, trace, scratch));

    FileSource source(trace.string());
    TraceReader reader(source);
    TraceEvent event;
    TraceSummary summary;
    Count performed = 0;
    try {
      while (reader.next(event)) {
        if (const auto* sum = std::get_if<TraceSummary>(&event)) summary = *sum;
        if (std::holds_alternative<JoinRecord>(event) ||
            std::holds_alternative<LeaveRecord>(event)) {
          ++performed;
        }
      }
    } catch (const TraceError& e) {
      FAIL() << e.what();
    }
    EXPECT_EQ(reader.sessionCount(), s.sessions);
    EXPECT_EQ(summary.trans - performed, s.startTrans);
    EXPECT_EQ(blockCount(readFile(trace)), s.sessions + performed);
    long long members = 0;
    for (std::int32_t i = 0; i < reader.sessionCount(); ++i) members += reader.groupSize(i) - 1;
    EXPECT_EQ(members, summary.joins - summary.leaves);
  }
}

// Groups of tens of thousands in a network of millions keep their members in trees of several
// levels, whose paths the generator and the reader fetch requests ahead. The fetches change
// nothing: in random and in ordered mode the traces are the ones made before they existed, byte
// for byte, and the reader reads them through. In the sanitizer builds this also shows that no
// fetch reads a node an earlier request freed.
TEST(GeneratedTraces, TreesOfSeveralLevelsGiveTheTracesTheyAlwaysGave) {
  // Its flag scan over 2*10^7 nodes would take hours, and it fetches nothing ahead.
  if (kBaselineBuild) GTEST_SKIP() << "the straightforward build scans its flags";
  ScratchDir scratch;
  const struct {
    int ordered;
    const char* sha256;
  } cases[] = {
      {0, "615b58deabb62695f0b5ce0f51ffc099bcde05cc194761babee3b42358d6caca"},
      {1, "b61a939988046c107defc257778ce6c7bae889d5b546533053e4d6e5c88ce2c4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("ordered " + std::to_string(c.ordered));
    const Scenario s{20000000, 2, 300000, 0, 70000, 1, 512, 64, 5, 50, 1, 6, c.ordered, 11};
    const auto trace = scratch / "trace";
    ASSERT_NO_FATAL_FAILURE(generateScenario(s, trace, scratch));
    const std::string text = readFile(trace);
    Sha256 hash;
    hash.update(text.data(), text.size());
    EXPECT_EQ(hash.hex(), c.sha256);

    // The records looked at ahead lie in the buffer, which a small one refills every few of them.
    for (const std::size_t buffer : {TraceReader::kDefaultBufferSize, std::size_t{300}}) {
      FileSource source(trace.string());
      TraceReader reader(source, buffer);
      TraceEvent event;
      Count requests = 0;
      try {
        while (reader.next(event)) {
          const bool request = std::holds_alternative<JoinRecord>(event) ||
                               std::holds_alternative<LeaveRecord>(event);
          requests += request ? 1 : 0;
        }
      } catch (const TraceError& e) {
        FAIL() << buffer << ": " << e.what();
      }
      EXPECT_EQ(requests, reader.joins() + reader.leaves()) << buffer;
      EXPECT_GT(reader.joins(), 200000) << buffer;
    }
  }
}

// Networks of a few nodes fill their sessions and empty them again all the time, so every rule
// the reader derives from full sessions and lone sources comes into play: a short beef-up phase,
// requests of one type in a row in ordered mode, end-of-session attempts that fail. None may
// ever refuse what the generator writes.
TEST(GeneratedTraces, SmallNetworksThatFillUpAreNeverRefused) {
  ScratchDir scratch;
  std::mt19937 random(1009);
  auto pick = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  long long shortBeefUps = 0;
  long long repeatedJoins = 0;
  long long repeatedLeaves = 0;
  for (int run = 0; run < 300; ++run) {
    Scenario s{};
    s.nodes = pick(0, 15) == 0 ? 1 : pick(2, 5);
    s.sessions = pick(1, 4);
    s.maxTrans = pick(0, 120);
    s.startTrans = pick(-5, 5);
    s.avgSize = pick(-1, 8);
    s.maxBand = 100;
    s.minBand = 10;
    s.minDelay = 1;
    s.maxDelay = 9;
    s.minHops = 1;
    s.maxHops = 4;
    s.ordered = pick(0, 3) == 0 ? 0 : pick(1, 3);
    s.seed = pick(-1000000, 1000000);
    const std::string params = parameterStream(s);
    SCOPED_TRACE("run " + std::to_string(run) + ", seed " + std::to_string(s.seed) +
                 ", parameters:\n" + params);
    const auto trace = scratch / "trace";
    ASSERT_NO_FATAL_FAILURE(generateScenario(s, trace, scratch));

    FileSource source(trace.string());
    TraceReader reader(source);
    TraceEvent event;
    Count beefUpJoins = 0;
    int previous = 0;  // the join-leave phase's last request: 1 join, 2 leave
    try {
      while (reader.next(event)) {
        const auto phase = reader.phase();
        const int type = std::holds_alternative<JoinRecord>(event)    ? 1
                         : std::holds_alternative<LeaveRecord>(event) ? 2
                                                                      : 0;
        if (phase == TracePhase::beefUp) beefUpJoins += type == 1 ? 1 : 0;
        if (phase != TracePhase::joinLeave || type == 0) continue;
        if (s.ordered != 0 && type == previous) ++(type == 1 ? repeatedJoins : repeatedLeaves);
        previous = type;
      }
    } catch (const TraceError& e) {
      FAIL() << e.what();
    }
    shortBeefUps += beefUpJoins < Count{s.sessions} * std::max(s.avgSize - 1, 0) ? 1 : 0;
  }
  // The rules were put to the test, not only the traces read.
  EXPECT_GT(shortBeefUps, 50);
  EXPECT_GT(repeatedJoins, 50);
  EXPECT_GT(repeatedLeaves, 50);
}

// Runs the generator on a parameter file, writing the trace to `trace`; its exit status.
int generate(const std::string& params, const char* seed, const std::string& trace,
             const ScratchDir& scratch) {
  return runCommand(
             kGenerator + " " + seed + " <" + shellQuoted(params) + " >" + shellQuoted(trace),
             scratch)
      .status;
}

// The parameter files a researcher starts from must give sound traces.
TEST(GeneratedTraces, EveryExampleGivesATraceThatChecks) {
  ScratchDir scratch;
  int examples = 0;
  for (const auto& entry : std::filesystem::directory_iterator(GROUPTRACE_EXAMPLES_DIR)) {
    if (entry.path().extension() != ".params") continue;
    SCOPED_TRACE(entry.path().filename().string());
    const auto trace = (scratch / "trace").string();
    ASSERT_EQ(generate(entry.path().string(), "7", trace, scratch), 0);
    const auto check = runCommand(kInspect + " check " + shellQuoted(trace), scratch);
    EXPECT_EQ(check.status, 0) << check.err;
    ++examples;
  }
  EXPECT_GE(examples, 4);
}

TEST(GeneratedTraces, TheToolChecksAndReportsOnGeneratorOutput) {
  ScratchDir scratch;
  testing::writeFile(scratch / "params", "40\n6\n3000\n0\n8\n1\n150\n20\n1\n30\n1\n9\n0\n");
  const auto trace = (scratch / "trace").string();
  ASSERT_EQ(generate((scratch / "params").string(), "99", trace, scratch), 0);

  const auto check = runCommand(kInspect + " check " + shellQuoted(trace), scratch);
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(check.err, "");
  EXPECT_EQ(check.out.rfind(trace + ": valid: 6 sessions, ", 0), 0u) << check.out;
  EXPECT_EQ(check.out.find('\n'), check.out.size() - 1) << "one line: " << check.out;

  const auto fromStdin = runCommand(kInspect + " check - <" + shellQuoted(trace), scratch);
  EXPECT_EQ(fromStdin.status, 0);
  EXPECT_EQ(fromStdin.out, "<stdin>" + check.out.substr(trace.size()));
  const auto piped = runCommand(kInspect + " stats <" + shellQuoted(trace), scratch);
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_NE(piped.out.find("requests by phase"), std::string::npos);

  const auto svg = (scratch / "plot.svg").string();
  const auto plot =
      runCommand(kInspect + " plot " + shellQuoted(trace) + " -o " + shellQuoted(svg), scratch);
  EXPECT_EQ(plot.status, 0) << plot.err;
  EXPECT_EQ(readFile(svg).rfind("<?xml", 0), 0u);

  // The same trace with one leave turned into a leave of the source.
  std::string text = readFile(trace);
  const std::size_t leave = text.find(" : 2 : 0 : 0 : 0\n");
  ASSERT_NE(leave, std::string::npos);
  const std::size_t lineStart = text.rfind('\n', leave) + 1;
  const long long lineNumber =
      std::count(text.begin(), text.begin() + static_cast<long>(lineStart), '\n') + 1;
  const std::string record = text.substr(lineStart, leave - lineStart);  // "U : node : session"
  const std::string session = record.substr(record.rfind(' ') + 1);
  const std::size_t tableLine = text.find("S : " + session + " : ");
  const std::string source =
      text.substr(tableLine, text.find('\n', tableLine) - tableLine).substr(7 + session.size());
  text.replace(lineStart, leave - lineStart, "U : " + source + " : " + session);
  testing::writeFile(scratch / "bad", text);
  const std::string badPath = (scratch / "bad").string();
  for (const char* command : {" check ", " stats ", " plot -o - "}) {
    const auto bad = runCommand(kInspect + command + shellQuoted(badPath), scratch);
    EXPECT_EQ(bad.status, 1) << command;
    EXPECT_EQ(bad.out, "") << command;
    EXPECT_EQ(bad.err.rfind(badPath + ":" + std::to_string(lineNumber) + ": node " + source +
                                " leaves session " + session,
                            0),
              0u)
        << command << bad.err;
  }

  const auto missing =
      runCommand(kInspect + " check " + shellQuoted((scratch / "none").string()), scratch);
  EXPECT_EQ(missing.status, 2);
  const auto usage = runCommand(kInspect + " plot " + shellQuoted(trace), scratch);
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.err.find("-o"), std::string::npos);
}

}  // namespace
}  // namespace grouptrace
