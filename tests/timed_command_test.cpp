// The timed model from the command line: what it cannot run is refused before
// anything is written, runs whose loops once followed a user's number end (ctest
// gives these tests a time limit), and progress on a terminal leaves the trace
// as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "inspect_test_support.h"
#include "json_reader.h"
#include "progress_meter.h"

namespace grouptrace {
namespace {

using testing::readFile;
using testing::runCommand;
using testing::ScratchDir;
using testing::shellQuoted;
using testing::writeFile;

// 30 nodes, 4 sessions, avgSize 6.
constexpr const char* kParams = "30\n4\n0\n0\n6\n1\n512\n64\n5\n50\n1\n6\n0\n";

// The program, run in the test's folder.
std::string generator(const ScratchDir& dir) {
  return "cd " + shellQuoted(dir.path().string()) + " && " + testing::launched(GROUPTRACE_BINARY);
}

// The folder's files but those runCommand keeps its output in.
std::vector<std::string> namesIn(const ScratchDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name != "command.out" && name != "command.err") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A manifest of a sound timed run, with one value replaced by `change`.
std::string changedManifest(const ScratchDir& dir, const std::string& from, const std::string& to) {
  const auto made =
      runCommand(generator(dir) + " --model dynamic --duration 60 -p params -o made.csv" +
                     " --manifest made.json",
                 dir);
  EXPECT_EQ(made.status, 0) << made.err;
  std::string text = readFile(dir / "made.json");
  std::filesystem::remove(dir / "made.json");
  std::filesystem::remove(dir / "made.csv");
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(TimedRefusals, EachIsRefusedWithStatusTwoBeforeAnyFileIsMade) {
  struct Case {
    std::string arguments;  // after the program; the run writes out.csv and out.json
    std::string says;
    std::string manifest;  // for --replay or -p: a manifest file's text
  };
  ScratchDir dir;
  writeFile(dir / "params", kParams);
  const std::vector<Case> cases = {
      {"--model dynamic --duration 3600 --holding exp:5e-324", "overflow", ""},
      {"--model dynamic --duration 3600 --holding lognormal:-744:0", "overflow", ""},
      {"--model dynamic --duration 3600 --join-rate 1e300 --holding exp:1e10", "overflows", ""},
      // The default rate, avgSize * nSessions / E[H], is 2.4e301 joins a second.
      {"--model dynamic --duration 86400 --holding exp:1e-300", "about 4.1e+306 requests", ""},
      // dynamic-1 counts a start of 1.8e15 members one by one on 29 nodes.
      {"--model dynamic-1 --duration 0 --join-rate 1e12", "about 1.8e+15 arrivals and members", ""},
      {"--model dynamic --duration 86400 --diurnal 0.5:5e-324", "PERIOD of 5e-324 s is too short",
       ""},
      // A day at 10^12 joins a second: few requests on 29 nodes, but 8.6e16
      // arrivals to count, past a double's whole numbers.
      {"--model dynamic --duration 86400 --join-rate 1e12 --holding exp:60",
       "about 8.6e+16 arrivals, more than it can count exactly", ""},
      {"--model dynamic-9 --duration 60", "unknown --model", ""},
      {"--model dynamic --holding exp:60", "--model dynamic needs --duration SECONDS", ""},
      {"--model dynamic --duration 60 --format trace", "has no place for the times", ""},
      {"--duration 60", "--duration is an option of the timed model", ""},
      {"--replay m.json", "orderedJoinLeave",
       changedManifest(dir, "\"orderedJoinLeave\": 0", "\"orderedJoinLeave\": 1")},
      {"--replay m.json", "nNodes", changedManifest(dir, "\"nNodes\": 30", "\"nNodes\": 1")},
      {"--replay m.json", "avgSize", changedManifest(dir, "\"avgSize\": 6", "\"avgSize\": -1")},
      {"--replay m.json", "format trace",
       changedManifest(dir, "\"format\": \"csv\"", "\"format\": \"trace\"")},
      {"--replay m.json", "SHAPE",
       changedManifest(dir, "\"holding\": \"exp:1800\"", "\"holding\": \"pareto:1:1\"")},
      // A timed run's manifest as parameters: the model is not silently dropped.
      {"-p m.json", "--replay", changedManifest(dir, "\"seed\": 0", "\"seed\": 3")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    if (!c.manifest.empty()) writeFile(dir / "m.json", c.manifest);
    const auto before = namesIn(dir);
    const auto run = runCommand(
        generator(dir) + " " + c.arguments +
            (c.arguments.find("-p ") == 0 || c.arguments.find("--replay") == 0 ? ""
                                                                               : " -p params") +
            " -o out.csv --manifest out.json",
        dir);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(namesIn(dir), before) << "a file was made or left behind";
  }
  // Named with its model, the manifest's parameters are taken as from any other.
  const auto named = runCommand(generator(dir) + " -p m.json --model dynamic --duration 60", dir);
  EXPECT_EQ(named.status, 0) << named.err;
}

TEST(TimedRuns, RunsWhoseWorkOnceFollowedTheirRatesEnd) {
  ScratchDir dir;
  writeFile(dir / "params", kParams);
  // Every session full from the start at 10^12 joins a second: 29 members each,
  // drawn at once.
  const auto full = runCommand(generator(dir) + " --model dynamic --duration 0 --join-rate 1e12" +
                                   " --format jsonl -p params",
                               dir);
  ASSERT_EQ(full.status, 0) << full.err;
  EXPECT_NE(full.out.find("{\"kind\":\"summary\",\"trans\":232,\"joins\":116,\"leaves\":116,"
                          "\"blocked\":0}"),
            std::string::npos)
      << full.out.substr(full.out.size() - 200);

  // A day at 10^9 joins a second on 3 nodes: some 8.6e13 arrivals, nearly all
  // turned away while the sessions are full, counted at once.
  writeFile(dir / "tiny", "3\n2\n0\n0\n1\n1\n512\n64\n5\n50\n1\n6\n0\n");
  const auto crowded =
      runCommand(generator(dir) + " --model dynamic --duration 86400 --join-rate 1e9" +
                     " --holding exp:60 --format jsonl -p tiny",
                 dir);
  ASSERT_EQ(crowded.status, 0) << crowded.err;
  const auto summary = testing::parseJson(crowded.out.substr(crowded.out.rfind("{\"kind\"")));
  const auto arrivals =
      static_cast<double>(summary["joins"].integer() + summary["blocked"].integer());
  EXPECT_NEAR(arrivals / 8.64e13, 1, 1e-5);
  EXPECT_LT(summary["joins"].integer(), 10000);

  // -0 is 0.
  const auto zero = runCommand(generator(dir) + " --model dynamic --duration 0 -p params", dir);
  const auto negativeZero =
      runCommand(generator(dir) + " --model dynamic --duration -0 -p params", dir);
  ASSERT_EQ(zero.status, 0) << zero.err;
  EXPECT_EQ(negativeZero.out, zero.out);
  EXPECT_EQ(zero.out.find("-0"), std::string::npos);
}

// The program with its standard error on a terminal: the trace it writes to a
// file is the one it writes without.
TEST(TimedRuns, ProgressOnATerminalLeavesTheTraceAsItWas) {
  ScratchDir dir;
  writeFile(dir / "params", kParams);
  const std::string arguments = " --model dynamic --duration 8000 --holding exp:5 --join-rate 40";
  ASSERT_EQ(runCommand(generator(dir) + arguments + " -p params -o plain.csv", dir).status, 0);

  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  const std::string name = ptsname(terminal);
  const std::string command =
      generator(dir) + arguments + " -p params -o shown.csv 2>" + shellQuoted(name);
  const auto run = runCommand(command, dir);
  close(terminal);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(readFile(dir / "shown.csv") == readFile(dir / "plain.csv"));
}

// The meter's contract with a person watching: nothing for a run of under a
// second, at most two lines a second, and its line gone once the run ends.
std::vector<std::string> gWritten;
std::int64_t gNow = 0;

TEST(ProgressMeter, ShowsLongRunsOnlyAndClearsItsLine) {
  gWritten.clear();
  gNow = 0;
  {
    ProgressMeter meter(
        3600.0, [] { return gNow; }, [](const std::string& text) { gWritten.push_back(text); });
    const RunMonitor monitor = meter.monitor();
    const auto at = [&](double seconds, Count requests, double time) {
      gNow = static_cast<std::int64_t>(seconds * 1e9);
      monitor.call(monitor.context, RunProgress{requests, time});
    };
    at(0.9, 1000, 10);
    EXPECT_TRUE(gWritten.empty()) << "a run of under a second shows nothing";
    at(1.2, 5000, 900);
    ASSERT_EQ(gWritten.size(), 1u);
    EXPECT_EQ(gWritten[0], "\rgrouptrace: 5,000 requests, 900 of 3600 s simulated (25%)\x1b[K");
    at(1.5, 6000, 1000);
    EXPECT_EQ(gWritten.size(), 1u) << "shown again within half a second";
    at(1.8, 1234567, 1800);
    ASSERT_EQ(gWritten.size(), 2u);
    EXPECT_NE(gWritten[1].find("1,234,567 requests, 1800 of 3600 s"), std::string::npos);
  }
  EXPECT_EQ(gWritten.back(), "\r\x1b[K");
  EXPECT_EQ(ProgressMeter::line(RunProgress{12, std::nullopt}, std::nullopt),
            "grouptrace: 12 requests");
}

}  // namespace
}  // namespace grouptrace
