#include "dynamic/dynamic_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "dynamic_test_support.h"

namespace grouptrace::dynamic {
namespace {

using dyntest::runEvents;
using dyntest::scenario;
using dyntest::stays;

DynamicOptions shortRun(double duration = 600) {
  DynamicOptions o;
  o.duration = duration;
  o.holding = {HoldingFamily::exponential, 60, 0};
  return o;
}

// Replays a trace and checks what every timed trace obeys: the frame (header,
// session table, three markers, summary), membership (a join adds a non-member
// other than the source, a leave removes a member who is not the source), time
// (present on every request, 0 in the beef-up phase, in (0, T] while requests
// run, T at the end, never decreasing) and the summary's counts.
void checkRules(const std::vector<TraceEvent>& events, const Parameters& p,
                const DynamicOptions& o) {
  ASSERT_GE(events.size(), 5u);
  ASSERT_TRUE(std::holds_alternative<TraceHeader>(events.front()));
  EXPECT_EQ(std::get<TraceHeader>(events.front()),
            (TraceHeader{p.avgSize, 0, o.duration, static_cast<std::int32_t>(o.model)}));
  std::map<std::int32_t, NODEID> sources;
  std::set<std::pair<std::int32_t, NODEID>> members;
  std::vector<TracePhase> phases;
  Count joins = 0, leaves = 0;
  double last = 0;
  const TraceSummary* summary = nullptr;
  for (std::size_t i = 1; i < events.size(); ++i) {
    const TraceEvent& e = events[i];
    ASSERT_EQ(summary, nullptr) << "events after the summary";
    if (const auto* s = std::get_if<SessionEntry>(&e)) {
      ASSERT_TRUE(phases.empty());
      ASSERT_EQ(s->session, static_cast<std::int32_t>(sources.size()));
      ASSERT_TRUE(s->source >= 0 && s->source < p.nNodes);
      sources[s->session] = s->source;
    } else if (const auto* m = std::get_if<PhaseStart>(&e)) {
      phases.push_back(m->phase);
    } else if (const auto* j = std::get_if<JoinRecord>(&e)) {
      ASSERT_TRUE(j->time.has_value());
      ASSERT_FALSE(phases.empty());
      ASSERT_NE(phases.back(), TracePhase::endOfSession);
      if (phases.back() == TracePhase::beefUp) {
        ASSERT_EQ(*j->time, 0);
      } else {
        ASSERT_GT(*j->time, 0);
        ASSERT_LE(*j->time, o.duration);
      }
      ASSERT_GE(*j->time, last);
      last = *j->time;
      ASSERT_NE(j->node, sources.at(j->session));
      ASSERT_TRUE(j->node >= 0 && j->node < p.nNodes);
      ASSERT_TRUE(members.insert({j->session, j->node}).second) << "joined twice";
      ASSERT_TRUE(j->band >= p.minBand && j->band <= p.maxBand);
      ASSERT_TRUE(j->delay >= p.minDelay && j->delay <= p.maxDelay);
      ASSERT_TRUE(j->hops >= p.minHops && j->hops <= p.maxHops);
      ++joins;
    } else if (const auto* l = std::get_if<LeaveRecord>(&e)) {
      ASSERT_TRUE(l->time.has_value());
      ASSERT_FALSE(phases.empty());
      ASSERT_NE(phases.back(), TracePhase::beefUp);
      if (phases.back() == TracePhase::endOfSession) {
        ASSERT_EQ(*l->time, o.duration);
      }
      ASSERT_GE(*l->time, last);
      last = *l->time;
      ASSERT_EQ(members.erase({l->session, l->node}), 1u) << "left without being a member";
      ++leaves;
    } else if (const auto* s = std::get_if<TraceSummary>(&e)) {
      summary = s;
    }
  }
  ASSERT_NE(summary, nullptr);
  EXPECT_EQ(sources.size(), static_cast<std::size_t>(p.nSessions));
  EXPECT_EQ(phases, (std::vector<TracePhase>{TracePhase::beefUp, TracePhase::joinLeave,
                                             TracePhase::endOfSession}));
  EXPECT_EQ(summary->joins, joins);
  EXPECT_EQ(summary->leaves, leaves);
  EXPECT_EQ(summary->trans, joins + leaves);
  if (o.end == EndRule::leave) {
    EXPECT_TRUE(members.empty());
  }
}

TEST(DynamicRunRules, EveryCombinationOfStartEndAndFamilyGivesASoundTrace) {
  const Parameters p = scenario(40, 3, 6);
  for (StartState start : {StartState::steady, StartState::empty}) {
    for (EndRule end : {EndRule::leave, EndRule::open}) {
      for (HoldingLaw law : {HoldingLaw{HoldingFamily::exponential, 60, 0},
                             HoldingLaw{HoldingFamily::lognormal, 3.5, 1},
                             HoldingLaw{HoldingFamily::pareto, 20, 1.5}}) {
        DynamicOptions o = shortRun();
        o.start = start;
        o.end = end;
        o.holding = law;
        o.diurnal = {0.5, 600, 100};
        o.popularity.alpha = 1;
        SCOPED_TRACE(::testing::Message()
                     << "start " << static_cast<int>(start) << " end " << static_cast<int>(end)
                     << " family " << static_cast<int>(law.family));
        const auto events = runEvents(p, 11, o);
        checkRules(events, p, o);
        const auto all = stays(events);
        const bool anyAtZero = std::any_of(all.begin(), all.end(), [](const dyntest::Stay& s) {
          return s.phase == TracePhase::beefUp;
        });
        EXPECT_EQ(anyAtZero, start == StartState::steady);
        const auto& summary = std::get<TraceSummary>(events.back());
        EXPECT_EQ(summary.joins - summary.leaves > 0, end == EndRule::open);
      }
    }
  }
}

TEST(DynamicRunRules, ASessionFullOfMembersBlocksArrivalsAndCountsThem) {
  // Two nodes besides the source: at most two members, whatever arrives.
  const Parameters p = scenario(3, 1);
  DynamicOptions o = shortRun(5000);
  o.joinRate = 1;
  o.holding = {HoldingFamily::exponential, 2, 0};
  o.start = StartState::empty;
  const auto events = runEvents(p, 5, o);
  checkRules(events, p, o);
  const auto& summary = std::get<TraceSummary>(events.back());
  // Erlang's loss formula for two servers and offered load 2: 2 / (1 + 2 + 2).
  const double arrivals = static_cast<double>(summary.joins + summary.blocked);
  EXPECT_NEAR(arrivals, 5000, 4 * std::sqrt(5000.0));
  EXPECT_NEAR(summary.blocked / arrivals, 0.4, 0.025);

  // A steady start on the same network: about 50 arrivals in the second, every
  // one blocked. dynamic-2 starts full without turning anyone away; dynamic-1
  // drew some 100 members for 2 places and counted the rest as blocked too.
  o.start = StartState::steady;
  o.joinRate = 50;
  o.duration = 1;
  const auto crowded = runEvents(p, 5, o);
  checkRules(crowded, p, o);
  EXPECT_LT(std::get<TraceSummary>(crowded.back()).blocked, 80);
  o.model = ModelVersion::dynamic1;
  const auto old = runEvents(p, 5, o);
  checkRules(old, p, o);
  EXPECT_GT(std::get<TraceSummary>(old.back()).blocked, 100);
}

TEST(DynamicRunOrder, TiesGoLeavesFirstThenBySessionThenNode) {
  const Pending leave5{10, Pending::leave, 1, 5};
  const Pending leave3{10, Pending::leave, 1, 3};
  const Pending leaveOther{10, Pending::leave, 0, 9};
  const Pending arrival{10, Pending::arrival, 0, 0};
  const Pending earlier{9.5, Pending::arrival, 7, 0};
  EXPECT_TRUE(precedes(earlier, leaveOther));
  EXPECT_TRUE(precedes(leave5, arrival));
  EXPECT_FALSE(precedes(arrival, leave5));
  EXPECT_TRUE(precedes(leaveOther, leave3));
  EXPECT_TRUE(precedes(leave3, leave5));
  EXPECT_FALSE(precedes(leave3, leave3));

  // The ties every run has: the members at time 0 and the leaves at the end.
  const Parameters p = scenario(200, 4, 20);
  const auto events = runEvents(p, 3, shortRun(30));
  std::vector<std::pair<std::int32_t, NODEID>> atZero, atEnd;
  TracePhase phase = TracePhase::beefUp;
  for (const TraceEvent& e : events) {
    if (const auto* m = std::get_if<PhaseStart>(&e)) phase = m->phase;
    if (const auto* j = std::get_if<JoinRecord>(&e); j && phase == TracePhase::beefUp) {
      atZero.push_back({j->session, j->node});
    }
    if (const auto* l = std::get_if<LeaveRecord>(&e); l && phase == TracePhase::endOfSession) {
      atEnd.push_back({l->session, l->node});
    }
  }
  EXPECT_GT(atZero.size(), 40u);
  EXPECT_GT(atEnd.size(), 40u);
  EXPECT_TRUE(std::is_sorted(atZero.begin(), atZero.end()));
  EXPECT_TRUE(std::is_sorted(atEnd.begin(), atEnd.end()));
}

// FNV-1a over every field of every event, times by their bits.
std::uint64_t fingerprint(const std::vector<TraceEvent>& events) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  auto mix = [&h](std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
      h ^= (v >> (8 * i)) & 0xff;
      h *= 0x100000001b3ull;
    }
  };
  for (const TraceEvent& e : events) {
    mix(e.index());
    if (const auto* s = std::get_if<SessionEntry>(&e)) mix(static_cast<std::uint64_t>(s->source));
    if (const auto* j = std::get_if<JoinRecord>(&e)) {
      mix(static_cast<std::uint64_t>(j->node) << 32 | static_cast<std::uint32_t>(j->session));
      mix(std::bit_cast<std::uint64_t>(j->band));
      mix(std::bit_cast<std::uint64_t>(j->delay));
      mix(static_cast<std::uint64_t>(j->hops));
      mix(std::bit_cast<std::uint64_t>(*j->time));
    }
    if (const auto* l = std::get_if<LeaveRecord>(&e)) {
      mix(static_cast<std::uint64_t>(l->node) << 32 | static_cast<std::uint32_t>(l->session));
      mix(std::bit_cast<std::uint64_t>(*l->time));
    }
    if (const auto* s = std::get_if<TraceSummary>(&e)) {
      mix(static_cast<std::uint64_t>(s->trans));
      mix(static_cast<std::uint64_t>(s->blocked));
    }
  }
  return h;
}

DynamicOptions everyDrawPath() {
  DynamicOptions o = shortRun(3600);
  o.holding = {HoldingFamily::lognormal, 4, 1.2};
  o.popularity.alpha = 0.9;
  o.diurnal = {0.7, 1800, 300};
  return o;
}

TEST(DynamicRunDraws, TheSameSeedGivesTheSameEventsAndAnotherSeedOthers) {
  const Parameters p = scenario(60, 5, 8);
  const auto a = runEvents(p, 42, everyDrawPath());
  EXPECT_EQ(runEvents(p, 42, everyDrawPath()), a);
  EXPECT_NE(runEvents(p, 43, everyDrawPath()), a);
  EXPECT_NE(runEvents(p, -42, everyDrawPath()), a);
}

// The bits of one run that takes every draw path (lognormal stays through the
// normal quantile, zipf weights through pow, the daily rhythm through the cosine,
// steady start, blocked arrivals), as made on x86-64. The cross-compiled tests
// run under an emulator must reproduce them: traces are the same bits everywhere.
TEST(DynamicRunDraws, ARunIsTheSameBitsOnEveryPlatform) {
  const Parameters p = scenario(12, 5, 8);
  struct Case {
    ModelVersion model;
    HoldingLaw law;
    std::uint64_t fingerprint;
    std::optional<double> joinRate;  // a high one: blocked counts of means past 100
  };
  const Case cases[] = {
      {ModelVersion::dynamic1,
       {HoldingFamily::lognormal, 4, 1.2},
       0x5119d361354754c4ull,
       std::nullopt},
      {ModelVersion::dynamic1,
       {HoldingFamily::pareto, 30, 1.8},
       0xcb03cb2bcd8539c7ull,
       std::nullopt},
      {ModelVersion::dynamic2,
       {HoldingFamily::lognormal, 4, 1.2},
       0x7a25e6091a848bdbull,
       std::nullopt},
      {ModelVersion::dynamic2,
       {HoldingFamily::pareto, 30, 1.8},
       0x41b8dd696a18e953ull,
       std::nullopt},
      {ModelVersion::dynamic2,
       {HoldingFamily::exponential, 100, 0},
       0x8c5f5c914f8a5101ull,
       std::nullopt},
      {ModelVersion::dynamic2, {HoldingFamily::exponential, 100, 0}, 0xf84474b39392c309ull, 50.0},
  };
  for (const Case& c : cases) {
    DynamicOptions o = everyDrawPath();
    o.model = c.model;
    o.holding = c.law;
    o.joinRate = c.joinRate;
    const auto events = runEvents(p, 2024, o);
    EXPECT_GT(std::get<TraceSummary>(events.back()).blocked, 0);
    EXPECT_EQ(fingerprint(events), c.fingerprint)
        << modelVersionName(c.model) << " " << std::hex << fingerprint(events);
  }
}

TEST(DynamicRunDraws, TheDailyRhythmLeavesStaysAndRequirementsWhereTheyWere) {
  // Arrivals move with A, but the k-th join of a session keeps its stay and its
  // QoS requirements: thinning draws from a stream of its own.
  const Parameters p = scenario(2000000000, 3, 10);
  DynamicOptions flat = shortRun(2000);
  flat.holding = {HoldingFamily::pareto, 5, 2.5};
  DynamicOptions daily = flat;
  daily.diurnal = {0.6, 1000, 0};
  const auto a = stays(runEvents(p, 8, flat));
  const auto b = stays(runEvents(p, 8, daily));
  std::map<std::int32_t, std::vector<const dyntest::Stay*>> bySessionA, bySessionB;
  for (const auto& s : a) {
    if (s.phase == TracePhase::joinLeave) bySessionA[s.join.session].push_back(&s);
  }
  for (const auto& s : b) {
    if (s.phase == TracePhase::joinLeave) bySessionB[s.join.session].push_back(&s);
  }
  int compared = 0, movedJoins = 0;
  for (std::int32_t session = 0; session < 3; ++session) {
    const auto& x = bySessionA[session];
    const auto& y = bySessionB[session];
    ASSERT_GT(std::min(x.size(), y.size()), 100u);
    for (std::size_t k = 0; k < std::min(x.size(), y.size()); ++k) {
      ASSERT_EQ(x[k]->join.band, y[k]->join.band);
      ASSERT_EQ(x[k]->join.delay, y[k]->join.delay);
      ASSERT_EQ(x[k]->join.hops, y[k]->join.hops);
      if (*x[k]->join.time != *y[k]->join.time) ++movedJoins;
      if (!x[k]->completed || !y[k]->completed) continue;
      // Leave time minus join time recovers the stay up to the rounding of the
      // join time, which differs between the runs.
      ASSERT_NEAR(x[k]->length, y[k]->length, 1e-9 * (*x[k]->join.time + *y[k]->join.time));
      ++compared;
    }
  }
  EXPECT_GT(compared, 1000);
  EXPECT_GT(movedJoins, 1000);
}

TEST(DynamicRunDraws, SourcesDependOnTheSeedAndTheNetworkOnly) {
  const Parameters p = scenario(1000, 6, 8);
  auto sources = [&](const DynamicOptions& o) {
    std::vector<NODEID> out;
    for (const TraceEvent& e : runEvents(p, 77, o)) {
      if (const auto* s = std::get_if<SessionEntry>(&e)) out.push_back(s->source);
    }
    return out;
  };
  const auto base = sources(shortRun(10));
  DynamicOptions other = everyDrawPath();
  other.duration = 10;
  other.joinRate = 3;
  EXPECT_EQ(sources(other), base);
  EXPECT_EQ(std::set<NODEID>(base.begin(), base.end()).size(), base.size());
}

TEST(DynamicRunScale, AHugeNetworkCostsOnlyItsMembers) {
  // Two billion nodes: a per-node array would need gigabytes.
  const Parameters p = scenario(2147483647, 50, 30);
  const auto events = runEvents(p, 1, shortRun(300));
  checkRules(events, p, shortRun(300));
  EXPECT_GT(std::get<TraceSummary>(events.back()).joins, 2000);
}

TEST(DynamicRunQoS, RequirementsAreRoundedUniformWithHalfWeightAtTheEnds) {
  Parameters p = scenario(1000000, 2, 0);
  p.minBand = 10;
  p.maxBand = 12;
  p.minDelay = 7;  // either bound may be the larger
  p.maxDelay = 3;
  p.minHops = 4;
  p.maxHops = 4;
  DynamicOptions o = shortRun(4000);
  o.joinRate = 5;
  o.start = StartState::empty;
  std::map<double, int> band, delay;
  int n = 0;
  for (const TraceEvent& e : runEvents(p, 6, o)) {
    if (const auto* j = std::get_if<JoinRecord>(&e)) {
      ++band[j->band];
      ++delay[j->delay];
      ASSERT_EQ(j->hops, 4);
      ++n;
    }
  }
  ASSERT_GT(n, 15000);
  const double sd = std::sqrt(n * 0.25);
  EXPECT_EQ(band.size(), 3u);
  EXPECT_NEAR(band[10], n / 4.0, 4 * sd);
  EXPECT_NEAR(band[11], n / 2.0, 4 * sd);
  EXPECT_NEAR(band[12], n / 4.0, 4 * sd);
  EXPECT_EQ(delay.size(), 5u);
  EXPECT_NEAR(delay[3], n / 8.0, 4 * sd);
  EXPECT_NEAR(delay[5], n / 4.0, 4 * sd);
  EXPECT_NEAR(delay[7], n / 8.0, 4 * sd);
}

}  // namespace
}  // namespace grouptrace::dynamic
