#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "grouptrace/generator.h"
#include "grouptrace/topology.h"
#include "grouptrace/trace_handler.h"
#include "test_support.h"

namespace grouptrace {
namespace {

// Seven nodes where the quickest path is rarely the shortest: a slow spoke
// 0-1 (100 ms) beside a fast detour 0-2-3-4-1 (1 ms a link), and a tail 4-5-6.
constexpr const char* kDetour =
    "7 7\n0 0 0\n1 0 0\n2 0 0\n3 0 0\n4 0 0\n5 0 0\n6 0 0\n"
    "0 1 100\n0 2 1\n2 3 1\n3 4 1\n4 1 1\n4 5 7\n5 6 2.5\n";

std::shared_ptr<const Topology> detour() {
  return std::make_shared<const Topology>(parseTopology(kDetour, "detour.inet"));
}

Parameters detourParameters() {
  Parameters p;
  p.nNodes = 7;
  p.nSessions = 3;
  p.maxTrans = 200;
  p.avgSize = 4;
  p.nQoSLevels = 1;
  p.maxBand = 500;
  p.minBand = 10;
  p.minDelay = 1;
  p.maxDelay = 50;
  p.minHops = 1;
  p.maxHops = 6;
  return p;
}

RunConfig config(bool timed) {
  RunConfig c;
  c.parameters = detourParameters();
  c.seed = 11;
  if (timed) {
    c.dynamic.emplace();
    c.dynamic->duration = 20000;
  }
  return c;
}

struct Recorded : TraceHandler {
  std::vector<NODEID> sources;
  std::vector<JoinRecord> joins;
  std::vector<TraceEvent> events;
  void onSession(const SessionEntry& e) override {
    sources.push_back(e.source);
    events.emplace_back(e);
  }
  void onJoin(const JoinRecord& e) override {
    joins.push_back(e);
    events.emplace_back(e);
  }
  void onLeave(const LeaveRecord& e) override { events.emplace_back(e); }
  void onSummary(const TraceSummary& e) override { events.emplace_back(e); }
};

Recorded run(const RunConfig& c) {
  Recorded r;
  generate(c, r);
  return r;
}

// With U fixed at 1, each join's delay is the least delay from its session's
// source and its hops the hop distance; with U in [LO, HI], between ceil(LO d)
// and ceil(HI d). In both models.
TEST(NetworkRun, BoundsFollowThePathsFromTheSource) {
  const auto network = detour();
  for (const bool timed : {false, true}) {
    SCOPED_TRACE(timed ? "timed" : "classic");
    for (const double high : {1.0, 3.0}) {
      RunConfig c = config(timed);
      c.topology = TopologyChoice{"", std::nullopt, "", network};
      c.delayBound = PathSlack{1, high};
      c.hopBound = PathSlack{1, high};
      const Recorded r = run(c);
      ASSERT_GT(r.joins.size(), 20u);
      std::map<std::pair<double, double>, int> seen;  // (delay, hops) spread when U varies
      for (const JoinRecord& j : r.joins) {
        const NODEID source = r.sources[static_cast<std::size_t>(j.session)];
        const double d = leastDelays(*network, source)[static_cast<std::size_t>(j.node)];
        const HOPS h = hopDistances(*network, source)[static_cast<std::size_t>(j.node)];
        if (high == 1) {
          EXPECT_EQ(j.delay, std::ceil(d)) << "node " << j.node << " from " << source;
          EXPECT_EQ(j.hops, h) << "node " << j.node << " from " << source;
        } else {
          EXPECT_GE(j.delay, std::ceil(d));
          EXPECT_LE(j.delay, std::ceil(high * d));
          EXPECT_GE(j.hops, h);
          EXPECT_LE(j.hops, std::ceil(high * h));
          ++seen[{j.delay / d, static_cast<double>(j.hops) / h}];
        }
      }
      if (high != 1) {
        EXPECT_GT(seen.size(), 20u) << "U hardly varies";
      }
    }
  }
}

// Each option moves only its own values: the nodes, sessions, leaves and the
// other requirements stay those of the run without it, and the slack of one
// bound does not shift the other's.
TEST(NetworkRun, EachOptionChangesOnlyItsOwnValues) {
  const auto network = detour();
  for (const bool timed : {false, true}) {
    SCOPED_TRACE(timed ? "timed" : "classic");
    RunConfig plain = config(timed);
    const Recorded base = run(plain);
    plain.topology = TopologyChoice{"", std::nullopt, "", network};
    const Recorded onNetwork = run(plain);
    EXPECT_EQ(onNetwork.events, base.events) << "a network alone changed the trace";

    RunConfig delayOnly = plain;
    delayOnly.delayBound = PathSlack{0.5, 2};
    RunConfig both = delayOnly;
    both.hopBound = PathSlack{1, 2};
    RunConfig band = plain;
    band.band = BandChoice::perSession;
    const Recorded d = run(delayOnly), b = run(both), s = run(band);
    ASSERT_EQ(d.events.size(), base.events.size());
    ASSERT_EQ(b.joins.size(), base.joins.size());
    ASSERT_EQ(s.joins.size(), base.joins.size());
    std::map<std::int32_t, double> bandOf;
    bool anyBandDiffers = false;
    for (std::size_t i = 0; i < base.joins.size(); ++i) {
      const JoinRecord& j = base.joins[i];
      EXPECT_EQ(d.joins[i].node, j.node);
      EXPECT_EQ(d.joins[i].session, j.session);
      EXPECT_EQ(d.joins[i].band, j.band);
      EXPECT_EQ(d.joins[i].hops, j.hops);
      EXPECT_EQ(b.joins[i].delay, d.joins[i].delay);
      EXPECT_EQ(b.joins[i].band, j.band);
      EXPECT_EQ(s.joins[i].delay, j.delay);
      EXPECT_EQ(s.joins[i].hops, j.hops);
      EXPECT_GE(s.joins[i].band, 10);
      EXPECT_LE(s.joins[i].band, 500);
      const auto [at, fresh] = bandOf.emplace(j.session, s.joins[i].band);
      EXPECT_EQ(at->second, s.joins[i].band) << "session " << j.session << " has two bands";
      anyBandDiffers = anyBandDiffers || s.joins[i].band != j.band;
    }
    EXPECT_TRUE(anyBandDiffers);
    // Sessions draw their bands apart.
    EXPECT_NE(bandOf[0], bandOf[1]);
    // Leaves and the summary do not move.
    for (std::size_t i = 0; i < base.events.size(); ++i) {
      if (!std::holds_alternative<JoinRecord>(base.events[i])) {
        EXPECT_EQ(d.events[i], base.events[i]);
      }
    }
  }
}

TEST(NetworkRun, RefusesWhatCannotRun) {
  const auto network = detour();
  RunConfig noNetwork = config(false);
  noNetwork.hopBound = PathSlack{1, 1};
  Recorded r;
  EXPECT_THROW(generate(noNetwork, r), std::invalid_argument);

  RunConfig wrongSize = config(false);
  wrongSize.parameters.nNodes = 8;
  wrongSize.topology = TopologyChoice{"", std::nullopt, "", network};
  try {
    generate(wrongSize, r);
    ADD_FAILURE() << "8 nodes ran on a network of 7";
  } catch (const TopologyError& e) {
    EXPECT_NE(e.reason().find("7 nodes, but nNodes is 8"), std::string::npos) << e.what();
  }

  RunConfig changed = config(false);
  changed.topology = TopologyChoice{"", std::nullopt, std::string(64, '0'), network};
  EXPECT_THROW(generate(changed, r), TopologyError);

  // Delays of 10^9 ms: any path is at most twice the longest from node 0, so
  // HI = 1 keeps every bound in the 32-bit range of a trace and HI = 1.1 may not.
  RunConfig far = config(false);
  far.parameters.nNodes = 2;
  far.topology = TopologyChoice{
      "", std::nullopt, "",
      std::make_shared<const Topology>(parseTopology("2 1\n0 0 0\n1 0 0\n0 1 1e9\n", "far"))};
  far.delayBound = PathSlack{1, 1};
  const Recorded farJoins = run(far);
  ASSERT_FALSE(farJoins.joins.empty());
  EXPECT_EQ(farJoins.joins[0].delay, 1e9);
  far.delayBound = PathSlack{1, 1.1};
  EXPECT_THROW(generate(far, r), std::invalid_argument);
}

// The program reads the network before it writes anything, records it, and
// replays only on the same file.
TEST(NetworkRun, TheProgramRecordsTheNetworkAndReplaysOnlyOnIt) {
  const std::string dir = ::testing::TempDir() + "network_run_test/";
  std::filesystem::create_directories(dir);
  const std::string net = dir + "detour.inet", trace = dir + "t.out", record = dir + "m.json";
  std::ofstream(net) << kDetour;
  const std::string params = "7\n3\n200\n0\n4\n1\n500\n10\n1\n50\n1\n6\n0\n";

  auto mismatch = testing::runGrouptrace({"--topology", net}, "8" + params.substr(1));
  EXPECT_EQ(mismatch.exitStatus, 2);
  EXPECT_EQ(mismatch.out, "");
  EXPECT_NE(mismatch.err.find("the network has 7 nodes, but nNodes is 8"), std::string::npos)
      << mismatch.err;

  auto made = testing::runGrouptrace(
      {"11", "--topology", net, "--delay-bound", "slack:1:2", "-o", trace, "--manifest", record},
      params);
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  std::ifstream in(record);
  const std::string manifest((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  EXPECT_NE(manifest.find("\"delay_bound\": \"slack:1:2\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("\"topology_nodes\": [\"0\", \"1\", \"2\", \"3\", \"4\", \"5\", \"6\"]"),
            std::string::npos)
      << manifest;

  EXPECT_EQ(testing::runGrouptrace({"--replay", record, "-o", dir + "again.out"}, "").exitStatus,
            0);
  // The same file, its nodes numbered otherwise than the record says.
  std::ifstream recorded(record);
  std::string renumbered((std::istreambuf_iterator<char>(recorded)),
                         std::istreambuf_iterator<char>());
  const std::string firstTwo = "[\"0\", \"1\"";
  ASSERT_NE(renumbered.find(firstTwo), std::string::npos) << renumbered;
  renumbered.replace(renumbered.find(firstTwo), firstTwo.size(), "[\"1\", \"0\"");
  std::ofstream(dir + "renumbered.json") << renumbered;
  auto otherNodes =
      testing::runGrouptrace({"--replay", dir + "renumbered.json", "-o", dir + "other.out"}, "");
  EXPECT_EQ(otherNodes.exitStatus, 2);
  EXPECT_NE(otherNodes.err.find("are not those the manifest records"), std::string::npos)
      << otherNodes.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "other.out"));

  std::ofstream(net, std::ios::app) << "\n";
  auto replay = testing::runGrouptrace({"--replay", record, "-o", dir + "changed.out"}, "");
  EXPECT_EQ(replay.exitStatus, 2);
  EXPECT_NE(replay.err.find("has changed since the run was recorded"), std::string::npos)
      << replay.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "changed.out"));

  const std::string text = kDetour;
  std::ofstream(net) << text.substr(0, text.find("3 4 1"));
  auto truncated = testing::runGrouptrace({"--topology", net}, params);
  EXPECT_EQ(truncated.exitStatus, 2);
  EXPECT_EQ(truncated.out, "");
  EXPECT_NE(truncated.err.find(net + ":12: the file ends after 3 of the 7 link lines"),
            std::string::npos)
      << truncated.err;
  std::filesystem::remove_all(dir);
}

// Each network option refuses its malformed text, and an option that needs a
// network refuses to run without one, before anything is written.
TEST(NetworkRun, EachNetworkOptionRefusesWhatItCannotRead) {
  const std::string dir = ::testing::TempDir() + "network_options_test/";
  std::filesystem::create_directories(dir);
  const std::string net = dir + "detour.inet";
  std::ofstream(net) << kDetour;
  const std::string params = "7\n3\n200\n0\n4\n1\n500\n10\n1\n50\n1\n6\n0\n";
  ASSERT_EQ(
      testing::runGrouptrace({"--topology", net, "--hop-bound", "slack:1:1"}, params).exitStatus, 0)
      << "LO = HI is a fixed factor";
  const struct {
    std::vector<std::string> args;
    std::string says;
  } refused[] = {
      {{"--topology", net, "--delay-bound", "1:2"}, "expected this form, found \"1:2\""},
      {{"--topology", net, "--delay-bound", "slack:1"}, "expected this form"},
      {{"--topology", net, "--hop-bound", "slack:x:2"}, "expected this form"},
      {{"--topology", net, "--hop-bound", "slack:1:2x"}, "expected this form"},
      {{"--topology", net, "--delay-bound", "slack:1:1e999"}, "LO and HI must be finite"},
      {{"--topology", net, "--delay-bound", "slack:-1:2"}, "0 <= LO <= HI"},
      {{"--topology", net, "--hop-bound", "slack:2:1"}, "0 <= LO <= HI"},
      {{"--topology", net, "--band", "per-node"}, "--band per-join or per-session"},
      {{"--topology", "", "--band", "per-session"}, "the file name is empty"},
      {{"--topology", net, "--topology-format", "dot"}, "unknown form \"dot\""},
      {{"--topology-format", "inet"}, "give the file with --topology"},
      {{"--delay-bound", "slack:1:2"}, "--delay-bound slack:LO:HI: d is the least delay"},
      {{"--hop-bound", "slack:1:2"}, "--hop-bound slack:LO:HI: h is the hop distance"},
  };
  for (const auto& r : refused) {
    const auto result = testing::runGrouptrace(r.args, params);
    EXPECT_EQ(result.exitStatus, 2) << r.args.back();
    EXPECT_EQ(result.out, "") << r.args.back();
    EXPECT_NE(result.err.find(r.says), std::string::npos) << result.err;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace grouptrace
