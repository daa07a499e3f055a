#include "generator/creation.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <set>
#include <sstream>

#include "test_support.h"

namespace grouptrace {
namespace {

using testing::exampleParameters;
using testing::generateTrace;
using testing::splitLines;

struct Record {
  NODEID node;
  std::int32_t session;
  int type;
  long long band, del, hops;
};

// The request records of a trace, split at the phase markers, and the summary.
struct ParsedTrace {
  std::vector<NODEID> sources;
  std::vector<Record> beefUp, joinLeave, endOfSession;
  long long trans = -1, joins = -1, removes = -1;
  int groupBlocks = 0;
};

ParsedTrace parse(const std::string& trace) {
  ParsedTrace t;
  std::vector<Record>* phase = nullptr;
  for (const std::string& line : splitLines(trace)) {
    if (line.rfind("S : ", 0) == 0) {
      t.sources.push_back(std::stoi(line.substr(line.rfind(' ') + 1)));
    } else if (line == "// Start: Beef up session ") {
      phase = &t.beefUp;
    } else if (line == "// JOIN-LEAVE  Join-Delete Randomly ") {
      phase = &t.joinLeave;
    } else if (line == " // LEAVE end of session ") {
      phase = &t.endOfSession;
    } else if (line == "GRP_REQ {") {
      ++t.groupBlocks;
    } else if (line.rfind("U : ", 0) == 0) {
      Record r{};
      char colon;
      std::istringstream in(line.substr(1));
      double band, del;
      in >> colon >> r.node >> colon >> r.session >> colon >> r.type >> colon >> band >> colon >>
          del >> colon >> r.hops;
      r.band = static_cast<long long>(band);
      r.del = static_cast<long long>(del);
      phase->push_back(r);
    } else if (line.rfind(" // Trans: ", 0) == 0) {
      std::sscanf(line.c_str(), " // Trans: %lld J: %lld R: %lld", &t.trans, &t.joins, &t.removes);
    }
  }
  return t;
}

TEST(Scenario, SourcesComeFromTheUnseededStreamWhateverTheSeed) {
  Parameters p = exampleParameters();
  p.nNodes = 10;
  p.nSessions = 5;
  for (SEED_type seed : {0, 12, -5}) {
    EXPECT_EQ(parse(generateTrace(p, seed)).sources, (std::vector<NODEID>{0, 0, 0, 2, 3}));
  }
}

TEST(Scenario, OrderedModeAlternatesFromAJoin) {
  Parameters p = exampleParameters();
  p.nNodes = 1000;
  p.nSessions = 1;
  p.avgSize = 50;
  p.maxTrans = 49 + 40;
  const ParsedTrace t = parse(generateTrace(p, 3));
  ASSERT_EQ(t.joinLeave.size(), 40u);
  for (std::size_t i = 0; i < t.joinLeave.size(); ++i) {
    EXPECT_EQ(t.joinLeave[i].type, i % 2 == 0 ? 1 : 2) << i;
  }
}

TEST(Scenario, AFailedRequestKeepsTheAlternation) {
  // Two nodes, one session, filled by the beef-up phase: the first join finds
  // no candidate, yet the next request is a leave, then a join again.
  Parameters p = exampleParameters();
  p.nNodes = 2;
  p.nSessions = 1;
  p.avgSize = 5;
  p.maxTrans = 1 + 3;
  const ParsedTrace t = parse(generateTrace(p, 0));
  ASSERT_EQ(t.beefUp.size(), 1u);
  ASSERT_EQ(t.joinLeave.size(), 3u);
  EXPECT_EQ(t.joinLeave[0].type, 2);
  EXPECT_EQ(t.joinLeave[1].type, 1);
  EXPECT_EQ(t.joinLeave[2].type, 2);
  EXPECT_EQ(t.trans, 4);
}

TEST(Scenario, NoRequestsGivesTheBareSkeleton) {
  Parameters p = exampleParameters();
  p.avgSize = 1;
  p.currTrans = 5;
  p.maxTrans = 5;
  p.orderedJoinLeave = 0;
  const std::vector<std::string> lines = splitLines(generateTrace(p, 0));
  const std::vector<std::string> tail(lines.end() - 4, lines.end());
  EXPECT_EQ(tail, (std::vector<std::string>{
                      "// Start: Beef up session ", "// JOIN-LEAVE  Join-Delete Randomly ",
                      " // LEAVE end of session ", " // Trans: 5 J: 0 R: 0"}));
}

TEST(Scenario, GroupsLargerThanTheNetworkFillIt) {
  Parameters p = exampleParameters();
  p.nNodes = 5;
  p.nSessions = 3;
  p.avgSize = INT_MAX;  // every pass after the network is full draws nothing
  p.maxTrans = 0;
  const ParsedTrace t = parse(generateTrace(p, 0));
  EXPECT_EQ(t.beefUp.size(), 12u);
  EXPECT_EQ(t.joins, 12);
  EXPECT_EQ(t.endOfSession.size() + t.joinLeave.size(), static_cast<std::size_t>(t.removes));
}

TEST(Scenario, CountersGoPastThirtyTwoBits) {
  Parameters p = exampleParameters();
  p.nNodes = 100;
  p.nSessions = 1;
  p.avgSize = 20;
  p.currTrans = INT_MAX - 5;
  p.maxTrans = INT_MAX;
  RunStatus status{};
  const ParsedTrace t = parse(generateTrace(p, 0, &status));
  EXPECT_EQ(status, RunStatus::complete);
  EXPECT_EQ(t.joins, 19);
  EXPECT_EQ(t.removes, 19);
  EXPECT_EQ(t.trans, static_cast<long long>(INT_MAX) - 5 + 38);
}

TEST(Scenario, ANetworkOfOneNodeStopsInsteadOfLooping) {
  Parameters p = exampleParameters();
  p.nNodes = 1;
  p.avgSize = 4;
  p.maxTrans = 10;
  for (int ordered : {0, 1}) {
    p.orderedJoinLeave = ordered;
    RunStatus status{};
    const std::string trace = generateTrace(p, 0, &status);
    EXPECT_EQ(status, RunStatus::stalled);
    const std::vector<std::string> lines = splitLines(trace);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], " // LEAVE end of session ");
    EXPECT_EQ(lines.back(), " // Trans: 0 J: 0 R: 0");
  }
  // Already at maxTrans, nothing is asked of the join-leave phase.
  p.currTrans = 10;
  RunStatus status{};
  generateTrace(p, 0, &status);
  EXPECT_EQ(status, RunStatus::complete);
}

// Replays random scenarios and checks what every trace must satisfy: a join
// adds a non-member, a leave removes a member other than the source, the
// requirements lie within their bounds, and the summary counts the records.
TEST(Scenario, RandomScenariosKeepEveryInvariant) {
  std::mt19937 random(5);
  auto between = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  for (int run = 0; run < 300; ++run) {
    Parameters p;
    p.nNodes = between(2, 40);
    p.nSessions = between(1, 6);
    p.avgSize = between(0, 45);
    p.currTrans = between(0, 30);
    p.maxTrans = between(0, 400);
    p.nQoSLevels = between(0, 3);
    p.minBand = between(0, 500);
    p.maxBand = between(0, 500);
    p.minDelay = between(0, 3000000);
    p.maxDelay = between(0, 3000000);
    p.minHops = between(0, 9);
    p.maxHops = between(0, 9);
    p.orderedJoinLeave = between(0, 2);
    const SEED_type seed = between(INT_MIN, INT_MAX);
    const std::string trace = generateTrace(p, seed);
    const ParsedTrace t = parse(trace);
    SCOPED_TRACE("run " + std::to_string(run));

    std::vector<std::set<NODEID>> members(static_cast<std::size_t>(p.nSessions));
    for (int s = 0; s < p.nSessions; ++s)
      members[static_cast<std::size_t>(s)].insert(t.sources[static_cast<std::size_t>(s)]);
    long long joins = 0, removes = 0;
    for (const auto* phase : {&t.beefUp, &t.joinLeave, &t.endOfSession}) {
      for (const Record& r : *phase) {
        ASSERT_GE(r.session, 0);
        ASSERT_LT(r.session, p.nSessions);
        ASSERT_GE(r.node, 0);
        ASSERT_LT(r.node, p.nNodes);
        auto& group = members[static_cast<std::size_t>(r.session)];
        if (r.type == 1) {
          ASSERT_NE(phase, &t.endOfSession);
          ASSERT_TRUE(group.insert(r.node).second) << "join of a member";
          EXPECT_GE(r.band, std::min(p.minBand, p.maxBand));
          EXPECT_LE(r.band, std::max(p.minBand, p.maxBand));
          EXPECT_GE(r.del, std::min(p.minDelay, p.maxDelay));
          EXPECT_LE(r.del, std::max(p.minDelay, p.maxDelay));
          EXPECT_GE(r.hops, std::min(p.minHops, p.maxHops));
          EXPECT_LE(r.hops, std::max(p.minHops, p.maxHops));
          ++joins;
        } else {
          ASSERT_EQ(r.type, 2);
          ASSERT_NE(phase, &t.beefUp);
          ASSERT_NE(r.node, t.sources[static_cast<std::size_t>(r.session)]) << "leave of a source";
          ASSERT_EQ(group.erase(r.node), 1u) << "leave of a non-member";
          ++removes;
        }
      }
    }
    EXPECT_EQ(t.joins, joins);
    EXPECT_EQ(t.removes, removes);
    EXPECT_EQ(t.trans, p.currTrans + joins + removes);
    EXPECT_EQ(t.groupBlocks, p.nSessions + joins + removes);
    if (p.currTrans < p.maxTrans) {
      EXPECT_GE(t.trans, p.maxTrans);
    }
  }
}

}  // namespace
}  // namespace grouptrace
