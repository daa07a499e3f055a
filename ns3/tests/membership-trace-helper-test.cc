// The helper against the traces it replays: what fires, when, and what the
// membership queries answer in between.

#include "grouptrace-ns3/membership-trace-helper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "grouptrace/file_source.h"
#include "grouptrace/parameters.h"
#include "grouptrace/trace_handler.h"
#include "ns3/core-module.h"
#include "ns3/network-module.h"

using namespace ns3;

namespace {

const std::string kGolden = GROUPTRACE_GOLDEN_DIR;

// A request as seen from outside the helper: what fired and when.
struct Fired {
  double seconds;
  bool join;
  uint32_t node;
  uint32_t session;
  double band;
  double delay;
  int32_t hops;
  bool operator==(const Fired& o) const {
    return seconds == o.seconds && join == o.join && node == o.node && session == o.session &&
           band == o.band && delay == o.delay && hops == o.hops;
  }
};

std::ostream& operator<<(std::ostream& os, const Fired& f) {
  return os << f.seconds << "s " << (f.join ? "join" : "leave") << " node " << f.node << " session "
            << f.session << " " << f.band << "/" << f.delay << "/" << f.hops;
}

// Records every request the helper fires, and checks at each one that the
// helper's membership equals the replay of what fired so far.
class Recorder {
 public:
  explicit Recorder(Ptr<MembershipTraceHelper> helper) : helper_(helper) {
    helper->TraceConnectWithoutContext("Join", MakeCallback(&Recorder::OnJoin, this));
    helper->TraceConnectWithoutContext("Leave", MakeCallback(&Recorder::OnLeave, this));
    helper->TraceConnectWithoutContext("Finished", MakeCallback(&Recorder::OnFinished, this));
    replay_.resize(helper->GetSessionCount());
  }

  std::vector<Fired> fired;
  int finished = 0;
  double finishedAt = -1;
  int membershipMismatches = 0;

 private:
  void OnJoin(const grouptrace::JoinRecord& j) {
    const auto node = static_cast<uint32_t>(j.node);
    const auto session = static_cast<uint32_t>(j.session);
    fired.push_back({Simulator::Now().GetSeconds(), true, node, session, j.band, j.delay, j.hops});
    replay_[session].insert(node);
    Compare();
  }
  void OnLeave(const grouptrace::LeaveRecord& l) {
    const auto node = static_cast<uint32_t>(l.node);
    const auto session = static_cast<uint32_t>(l.session);
    fired.push_back({Simulator::Now().GetSeconds(), false, node, session, 0, 0, 0});
    replay_[session].erase(node);
    Compare();
  }
  void OnFinished() {
    ++finished;
    finishedAt = Simulator::Now().GetSeconds();
  }
  void Compare() {
    for (uint32_t s = 0; s < replay_.size(); ++s) {
      std::vector<uint32_t> expected(replay_[s].begin(), replay_[s].end());
      if (helper_->Members(s) != expected) ++membershipMismatches;
    }
  }

  Ptr<MembershipTraceHelper> helper_;
  std::vector<std::set<uint32_t>> replay_;
};

// The requests of tests/golden/000.out (parameters 000.params, seed 0), written
// out from the trace text, spaced by `interval` from `start`.
std::vector<Fired> GoldenZero(double start, double interval) {
  std::vector<Fired> requests = {
      {0, true, 1, 0, 77, 1, 4}, {0, true, 2, 1, 81, 4, 2}, {0, true, 1, 1, 50, 2, 3},
      {0, false, 1, 0, 0, 0, 0}, {0, false, 2, 1, 0, 0, 0}, {0, true, 2, 1, 51, 1, 3},
      {0, false, 2, 1, 0, 0, 0},
  };
  for (size_t i = 0; i < requests.size(); ++i) requests[i].seconds = start + interval * i;
  return requests;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class MembershipTraceHelperTest : public ::testing::Test {
 protected:
  void SetUp() override { RngSeedManager::SetRun(1); }
  void TearDown() override { Simulator::Destroy(); }

  static Ptr<MembershipTraceHelper> Helper(double start, double interval, bool poisson = false) {
    Ptr<MembershipTraceHelper> h = CreateObject<MembershipTraceHelper>();
    h->SetAttribute("StartTime", TimeValue(Seconds(start)));
    h->SetAttribute("Interval", TimeValue(Seconds(interval)));
    if (poisson) h->SetAttribute("Spacing", EnumValue(MembershipTraceHelper::POISSON));
    return h;
  }

  // Installs on a container of exactly the trace's network and runs.
  static void Run(Ptr<MembershipTraceHelper> h) {
    NodeContainer nodes;
    nodes.Create(h->GetNetworkSize());
    h->Install(nodes);
    Simulator::Run();
  }

  // The times at which the helper fires the requests of 009.out.
  static std::vector<double> PoissonTimes(uint32_t run, std::optional<int64_t> stream,
                                          int otherVariablesFirst = 0) {
    RngSeedManager::SetRun(run);
    std::vector<Ptr<UniformRandomVariable>> others;
    for (int i = 0; i < otherVariablesFirst; ++i) {
      others.push_back(CreateObject<UniformRandomVariable>());
      others.back()->GetValue();
    }
    Ptr<MembershipTraceHelper> h = Helper(0, 1, true);
    h->SetTraceFile(kGolden + "/009.out");
    if (stream) h->AssignStreams(*stream);
    Recorder r(h);
    Run(h);
    Simulator::Destroy();
    std::vector<double> times;
    for (const Fired& f : r.fired) times.push_back(f.seconds);
    return times;
  }
};

TEST_F(MembershipTraceHelperTest, StoredTraceFiresEveryRequestInOrderAtItsTime) {
  Ptr<MembershipTraceHelper> h = Helper(5, 2);
  h->SetTraceFile(kGolden + "/000.out");
  EXPECT_EQ(h->GetNetworkSize(), 3u);  // nodes 0 to 2 appear
  EXPECT_EQ(h->GetSessionCount(), 2u);
  EXPECT_EQ(h->GetRequestCount(), 7u);
  Recorder r(h);
  Run(h);
  EXPECT_EQ(r.fired, GoldenZero(5, 2));
  EXPECT_EQ(r.finished, 1);
  EXPECT_EQ(r.finishedAt, 17);
  EXPECT_EQ(h->GetRequestsDone(), 7u);
}

TEST_F(MembershipTraceHelperTest, GeneratedTraceFiresTheSameRequests) {
  Ptr<MembershipTraceHelper> h = Helper(0.5, 0.25);
  h->SetParameters(grouptrace::parseParameters(ReadFile(kGolden + "/000.params")), 0);
  EXPECT_EQ(h->GetNetworkSize(), 3u);
  Recorder r(h);
  Run(h);
  EXPECT_EQ(r.fired, GoldenZero(0.5, 0.25));

  // The parameter file gives the same run, and another seed another one.
  Simulator::Destroy();
  Ptr<MembershipTraceHelper> fromFile = Helper(0.5, 0.25);
  fromFile->SetParameterFile(kGolden + "/000.params", 0);
  Recorder again(fromFile);
  Run(fromFile);
  EXPECT_EQ(again.fired, r.fired);
}

TEST_F(MembershipTraceHelperTest, GeneratedNetworkIsNNodesEvenWhereNoRequestNamesThem) {
  grouptrace::Parameters p = grouptrace::parseParameters(ReadFile(kGolden + "/000.params"));
  p.nNodes = 50;
  p.maxTrans = 0;  // the beef-up joins alone: far fewer nodes than 50 appear
  Ptr<MembershipTraceHelper> h = Helper(0, 1);
  h->SetParameters(p, 3);
  EXPECT_EQ(h->GetNetworkSize(), 50u);
}

TEST_F(MembershipTraceHelperTest, MembersEqualTheReplayAtEveryRequest) {
  // 1563 requests over three sessions of 40 nodes.
  Ptr<MembershipTraceHelper> h = Helper(1, 0.001);
  h->SetTraceFile(kGolden + "/009.out");

  // The sources and the final membership, from the library's own reader.
  struct Final : grouptrace::TraceHandler {
    std::vector<uint32_t> sources;
    std::vector<std::set<uint32_t>> members;
    void onSession(const grouptrace::SessionEntry& e) override {
      sources.push_back(e.source);
      members.emplace_back();
    }
    void onJoin(const grouptrace::JoinRecord& r) override { members[r.session].insert(r.node); }
    void onLeave(const grouptrace::LeaveRecord& r) override { members[r.session].erase(r.node); }
  } final;
  grouptrace::FileSource file(kGolden + "/009.out");
  grouptrace::readTrace(file, final);

  Recorder r(h);
  NodeContainer nodes;
  nodes.Create(h->GetNetworkSize() + 5);  // a larger container is fine
  h->Install(nodes);
  for (uint32_t s = 0; s < 3; ++s) {
    EXPECT_EQ(h->Source(s), final.sources[s]);
    EXPECT_TRUE(h->Members(s).empty()) << "before the first request";
  }
  Simulator::Run();
  ASSERT_EQ(r.fired.size(), 1563u);
  EXPECT_EQ(r.membershipMismatches, 0);
  for (uint32_t s = 0; s < 3; ++s) {
    EXPECT_EQ(h->Members(s),
              std::vector<uint32_t>(final.members[s].begin(), final.members[s].end()));
    for (uint32_t n = 0; n < h->GetNetworkSize(); ++n) {
      EXPECT_EQ(h->IsMember(s, n), final.members[s].count(n) == 1);
    }
  }
  EXPECT_EQ(h->GetNode(7), nodes.Get(7));
}

TEST_F(MembershipTraceHelperTest, PoissonSpacingFollowsTheRunAndThePinnedStream) {
  std::vector<double> times = PoissonTimes(1, std::nullopt);
  ASSERT_EQ(times.size(), 1563u);
  EXPECT_EQ(times.front(), 0);
  std::set<double> gaps;
  for (size_t i = 1; i < times.size(); ++i) {
    ASSERT_GT(times[i], times[i - 1]);
    gaps.insert(times[i] - times[i - 1]);
  }
  EXPECT_GT(gaps.size(), 1000u) << "the gaps are drawn, not fixed";
  // 1562 exponential gaps of mean 1 s: their mean lies within 10 % of it but
  // in runs that ought never to happen.
  EXPECT_NEAR(times.back() / 1562, 1.0, 0.1);

  // Streams not pinned are numbered in the order variables are made, so only
  // a pinned stream repeats within one process: there the run alone moves the
  // draws, and variables made before the helper do not.
  std::vector<double> pinned = PoissonTimes(1, 3);
  EXPECT_EQ(PoissonTimes(1, 3, 4), pinned);
  EXPECT_NE(PoissonTimes(2, 3), pinned);
}

// A timed run generated in-process: every request fires at the start time plus
// its own time, in the trace's order, and the membership follows.
TEST_F(MembershipTraceHelperTest, ATimedRunFiresEachRequestAtItsTime) {
  grouptrace::RunConfig config;
  config.parameters = grouptrace::parseParameters("12\n3\n0\n0\n4\n1\n100\n10\n1\n9\n1\n3\n0\n");
  config.seed = 5;
  grouptrace::dynamic::DynamicOptions timed;
  timed.duration = 600;
  timed.holding.first = 120;  // exp:120
  config.dynamic = timed;

  struct Expected : grouptrace::TraceHandler {
    std::vector<Fired> requests;
    void onJoin(const grouptrace::JoinRecord& j) override {
      requests.push_back({2 + *j.time, true, static_cast<uint32_t>(j.node),
                          static_cast<uint32_t>(j.session), j.band, j.delay, j.hops});
    }
    void onLeave(const grouptrace::LeaveRecord& l) override {
      requests.push_back({2 + *l.time, false, static_cast<uint32_t>(l.node),
                          static_cast<uint32_t>(l.session), 0, 0, 0});
    }
  } expected;
  grouptrace::generate(config, expected);
  ASSERT_GT(expected.requests.size(), 20u);

  Ptr<MembershipTraceHelper> h = Helper(2, 1);
  h->SetRunConfig(config);
  Recorder r(h);
  Run(h);
  ASSERT_EQ(r.fired.size(), expected.requests.size());
  for (size_t i = 0; i < r.fired.size(); ++i) {
    // ns-3 keeps time in nanoseconds.
    EXPECT_NEAR(r.fired[i].seconds, expected.requests[i].seconds, 1e-9) << i;
    Fired same = r.fired[i];
    same.seconds = expected.requests[i].seconds;
    EXPECT_EQ(same, expected.requests[i]) << i;
  }
  EXPECT_EQ(r.membershipMismatches, 0);
  EXPECT_EQ(r.finished, 1);
}

// A stored timed trace, in JSON Lines: each request at the start time plus
// its own time, as the in-process run of the same configuration gives them.
TEST_F(MembershipTraceHelperTest, AStoredTimedTraceFiresEachRequestAtItsTime) {
  Ptr<MembershipTraceHelper> h = Helper(1, 1);
  h->SetTraceFile(kGolden + "/dynamic/d000.out");
  Recorder r(h);
  Run(h);
  ASSERT_GT(r.fired.size(), 100u);
  EXPECT_EQ(r.fired.front().seconds, 1.0) << "the members at time 0";
  for (size_t i = 1; i < r.fired.size(); ++i) {
    EXPECT_LE(r.fired[i - 1].seconds, r.fired[i].seconds) << i;
  }
  EXPECT_NEAR(r.fired.back().seconds, 1 + 3600.0, 1e-9) << "the leaves at the end, at T";
  EXPECT_EQ(r.membershipMismatches, 0);
}

std::string WriteFile(const std::string& name, const std::string& text) {
  std::string path = ::testing::TempDir() + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// A session's source sizes the network even where no request names it: a
// study that sized it by the requests alone indexed past its nodes.
TEST_F(MembershipTraceHelperTest, ASourceNoRequestNamesSizesTheNetwork) {
  Ptr<MembershipTraceHelper> h = Helper(0, 1);
  h->SetTraceFile(WriteFile("high-source.csv",
                            "phase,kind,node,session,band,delay,hops\n"
                            "sessions,source,0,0,,,\n"
                            "sessions,source,6,1,,,\n"
                            "beef-up,join,2,0,10,5,3\n"
                            "beef-up,join,1,1,10,5,3\n"
                            "end-of-session,leave,2,0,,,\n"));
  EXPECT_EQ(h->GetNetworkSize(), 7u);
  EXPECT_EQ(h->GetLargestNodeLine(), 3u);
  Recorder r(h);
  Run(h);
  EXPECT_EQ(h->GetNode(h->Source(1)), h->GetNode(6));
}

// With AbortOnError false every refusal is an exception whose message names
// the cause, and for a trace file its line; the default ends the program.
TEST_F(MembershipTraceHelperTest, RefusesWhatCannotBeReplayed) {
  const std::string late = WriteFile("late.csv",
                                     "time,phase,kind,node,session,band,delay,hops\n"
                                     "0,sessions,source,0,0,,,\n"
                                     "0,beef-up,join,1,0,10,5,3\n"
                                     "9300000000,join-leave,leave,1,0,,,\n");
  const std::string edge = WriteFile("edge.csv",
                                     "time,phase,kind,node,session,band,delay,hops\n"
                                     "0,sessions,source,0,0,,,\n"
                                     "0,beef-up,join,1,0,10,5,3\n"
                                     "9223372030,join-leave,leave,1,0,,,\n");
  struct Case {
    std::function<void(Ptr<MembershipTraceHelper>)> load;
    std::string message;  // empty: accepted
  } cases[] = {
      {[&](auto h) { h->SetTraceFile(late); },
       late + ":4: a request timed at 9.3e+09 s from StartTime 1 s falls past the latest time "
              "ns-3 can hold, 9223372036 s"},
      // Within the clock from StartTime 1 s, past it from 10 s.
      {[&](auto h) { h->SetTraceFile(edge); }, ""},
      {[&](auto h) {
         h->SetTraceFile(edge);
         h->SetAttribute("StartTime", TimeValue(Seconds(10)));
         NodeContainer nodes;
         nodes.Create(2);
         h->Install(nodes);
       },
       "falls past the latest time"},
      {[&](auto h) { h->SetTraceFile(kGolden + "/no-such.trace"); }, "no-such.trace"},
      {[&](auto h) { h->SetTraceFile(kGolden + "/000.params"); }, "000.params:1: "},
      {[&](auto h) { h->SetParameters(grouptrace::Parameters{}, 0); }, "parameters refused"},
      {[&](auto h) { h->SetParameterFile(kGolden + "/no-such.params", 0); },
       "no-such.params: No such file or directory"},
      {[&](auto h) { h->SetParameterFile("/dev/zero", 0); },
       "/dev/zero: a parameter file of over 1 MiB"},
      // Fixed gaps that run past the clock's end are refused by Install,
      // not found as the simulation runs.
      {[&](auto h) {
         h->SetTraceFile(kGolden + "/000.out");
         h->SetAttribute("Interval", TimeValue(Seconds(5e9)));
         NodeContainer nodes;
         nodes.Create(h->GetNetworkSize());
         h->Install(nodes);
       },
       "request 3 would happen at 1e+10 s, past the latest time ns-3 can hold"},
      {[&](auto h) {
         h->SetTraceFile(kGolden + "/000.out");
         // As a program should: an exception out of an event is never
         // released by the simulator, so it is carried out of the run.
         std::optional<MembershipTraceError> refused;
         Simulator::Schedule(Seconds(5), [h, &refused] {
           NodeContainer nodes;
           nodes.Create(h->GetNetworkSize());
           try {
             h->Install(nodes);
           } catch (const MembershipTraceError& e) {
             refused = e;
             Simulator::Stop();
           }
         });
         Simulator::Run();
         if (refused) throw *refused;
       },
       "request 1 falls at +1s, before the simulated time Install was called at"},
      {[&](auto h) {
         h->SetTraceFile(kGolden + "/009.out");  // nodes 0 to 39
         NodeContainer nodes;
         nodes.Create(39);
         h->Install(nodes);
       },
       "the trace needs 40 nodes (0 to 39) but the container holds 39"},
      {[&](auto h) {
         NodeContainer nodes;
         nodes.Create(3);
         h->Install(nodes);
       },
       "no trace loaded"},
      {[&](auto h) {
         h->SetTraceFile(kGolden + "/000.out");
         NodeContainer nodes;
         nodes.Create(3);
         h->Install(nodes);
         h->Install(nodes);
       },
       "already installed"},
  };
  for (const Case& c : cases) {
    Ptr<MembershipTraceHelper> h = Helper(1, 1);
    h->SetAttribute("AbortOnError", BooleanValue(false));
    std::string caught;
    try {
      c.load(h);
    } catch (const MembershipTraceError& e) {
      caught = e.what();
    }
    if (c.message.empty()) {
      EXPECT_EQ(caught, "");
    } else {
      EXPECT_NE(caught.find(c.message), std::string::npos) << caught << "\nwanted " << c.message;
    }
    Simulator::Destroy();
  }
}

using MembershipTraceHelperDeathTest = MembershipTraceHelperTest;

TEST_F(MembershipTraceHelperDeathTest, ByDefaultARefusalEndsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Ptr<MembershipTraceHelper> h = Helper(0, 1);
        h->SetTraceFile(kGolden + "/000.params");
      },
      "MembershipTraceHelper: .*000.params:1: ");
}

}  // namespace
