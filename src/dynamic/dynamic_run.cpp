#include "dynamic/dynamic_run.h"

#include <algorithm>
#include <cmath>
#include <deque>

#include "dynamic/philox.h"
#include "dynamic/portable_math.h"
#include "dynamic/start_law.h"
#include "member_set/member_set.h"

namespace grouptrace::dynamic {
namespace {

std::int64_t roundedUniform(std::uint64_t bits, std::int64_t min, std::int64_t max) {
  return DrawStream::roundedFromBits(bits, min, max);
}

bool later(const Pending& a, const Pending& b) {
  return precedes(b, a);
}

enum class Stage {
  header,
  sessions,
  beefUpMarker,
  initialMembers,
  joinLeaveMarker,
  running,
  endMarker,
  endLeaves,
  summary,
  done
};

struct SessionState {
  explicit SessionState(NODEID nNodes) : members(nNodes) {}
  // The source included. Always the counted set, even in the straightforward
  // build, whose per-node flags would cost a timed run on a huge network
  // gigabytes per session.
  MemberSet members;
  NODEID source = 0;
  double rate = 0;           // lambda * p_s
  double candidateRate = 0;  // rate * (1 + A)
  double clock = 0;          // time of the last candidate arrival
  std::uint64_t candidates = 0;
  std::uint64_t arrivals = 0;  // dynamic-1: arrivals; dynamic-2: joins
  // dynamic-2: every node a member since `fullSince`, arrivals suspended.
  bool full = false;
  double fullSince = 0;
  std::uint64_t fullCounts = 0;
};

}  // namespace

bool precedes(const Pending& a, const Pending& b) {
  if (a.time != b.time) return a.time < b.time;
  if (a.kind != b.kind) return a.kind < b.kind;
  if (a.session != b.session) return a.session < b.session;
  return a.node < b.node;
}

struct DynamicRun::State {
  Parameters parameters;
  SEED_type seed;
  DynamicOptions options;
  bool second = true;  // dynamic-2
  std::uint32_t keyTag = kModelKeyTag2;
  RunMonitor monitor;
  std::uint32_t untilMonitor = kMonitorSteps;
  double now = 0;  // the time of the last request handed out
  double meanStay = 0;
  double presence = 0;
  double negInvShape = 0;          // pareto: -1 / SHAPE
  double negInvResidualShape = 0;  // pareto: -1 / (SHAPE - 1)
  double residualMu = 0;           // lognormal: MU + SIGMA^2
  std::vector<double> weights;
  std::vector<SessionState> sessions;
  std::vector<Pending> calendar;  // a heap under `later`
  std::deque<TraceEvent> ready;
  Stage stage = Stage::header;
  std::int32_t cursor = 0;  // the session being emitted
  DynamicResult* result = nullptr;
  // Present when joins are placed by locality.
  std::unique_ptr<placement::PlacedSessions> placed;

  std::uint64_t drawBits(Purpose purpose, std::int32_t s, std::uint64_t index) const {
    return DrawStream(seed, purpose, s, keyTag).bitsAt(index);
  }

  double uniform(Purpose purpose, std::int32_t s, std::uint64_t index) const {
    return DrawStream::uniformFromBits(drawBits(purpose, s, index));
  }

  // One step of a loop: every kMonitorSteps of them, the watcher sees where the
  // run stands (and may end it by throwing).
  void tick() {
    if (--untilMonitor != 0) return;
    untilMonitor = kMonitorSteps;
    if (monitor.call != nullptr) {
      monitor.call(monitor.context, RunProgress{result->joins + result->leaves, now});
    }
  }

  double stay(std::int32_t s, std::uint64_t k) const {
    const double u = uniform(Purpose::holding, s, k);
    const HoldingLaw& law = options.holding;
    switch (law.family) {
      case HoldingFamily::exponential:
        return law.first * -portable::log(u);
      case HoldingFamily::lognormal:
        return portable::exp(law.first + law.second * portable::normalQuantile(u));
      case HoldingFamily::pareto:
        return law.first * portable::pow(u, negInvShape);
    }
    return 0;
  }

  // The remaining stay of a member present in the stationary state: U times a
  // length-biased stay, except for the exponential, which has no memory.
  // (dynamic-1)
  double remainingStay(std::int32_t s, std::uint64_t i) const {
    const double u1 = uniform(Purpose::initialStay, s, 2 * i);
    const HoldingLaw& law = options.holding;
    if (law.family == HoldingFamily::exponential) return law.first * -portable::log(u1);
    const double u2 = uniform(Purpose::initialStay, s, 2 * i + 1);
    double lengthBiased = 0;
    if (law.family == HoldingFamily::lognormal) {
      lengthBiased = portable::exp(residualMu + law.second * portable::normalQuantile(u1));
    } else {
      lengthBiased = law.first * portable::pow(u1, negInvResidualShape);
    }
    return u2 * lengthBiased;
  }

  // The remaining stay of a member present at time 0 under the rhythm's state
  // there: tries of the stationary (age, remaining stay) pair until the rhythm
  // at minus the age accepts one. `tries` counts the session's tries.
  double startStay(std::int32_t s, std::uint64_t& tries) {
    const HoldingLaw& law = options.holding;
    const Diurnal& d = options.diurnal;
    for (;;) {
      tick();
      const std::uint64_t j = 4 * tries++;
      double age = 0, rest = 0;
      if (law.family == HoldingFamily::exponential) {
        // No memory: the age and the stay left are independent exp(MEAN).
        rest = law.first * -portable::log(uniform(Purpose::initialStay, s, j + 3));
        if (!(d.amplitude > 0)) return rest;
        age = law.first * -portable::log(uniform(Purpose::initialStay, s, j));
      } else {
        const double u0 = uniform(Purpose::initialStay, s, j);
        const double lengthBiased =
            law.family == HoldingFamily::lognormal
                ? portable::exp(residualMu + law.second * portable::normalQuantile(u0))
                : law.first * portable::pow(u0, negInvResidualShape);
        const double split = uniform(Purpose::initialStay, s, j + 1);
        age = split * lengthBiased;
        rest = (1 - split) * lengthBiased;
        if (!(d.amplitude > 0)) return rest;
      }
      const double u = uniform(Purpose::initialStay, s, j + 2) * (1 + d.amplitude);
      // Past 2^52 periods an age's phase is lost in rounding: such an age
      // meets the rhythm's average.
      const bool phased = age < 0x1p52 * d.period;
      const double factor =
          phased ? 1 + d.amplitude * portable::cosTurns((age + d.peak) / d.period) : 1;
      if (u < factor) return rest;
    }
  }

  JoinRecord joinRecord(NODEID node, std::int32_t s, double time, Purpose band, Purpose delay,
                        Purpose hops, std::uint64_t k) const {
    const Parameters& p = parameters;
    JoinRecord r;
    r.node = node;
    r.session = s;
    r.band = static_cast<double>(roundedUniform(drawBits(band, s, k), p.minBand, p.maxBand));
    r.delay = static_cast<double>(roundedUniform(drawBits(delay, s, k), p.minDelay, p.maxDelay));
    r.hops = static_cast<HOPS>(roundedUniform(drawBits(hops, s, k), p.minHops, p.maxHops));
    r.time = time;
    return r;
  }

  // The non-member session s's join k takes, now a member. Its node draw picks
  // it among the `free` non-members, or under a locality the distance class,
  // with the node in it from `place`'s own stream.
  NODEID takeNode(std::int32_t s, Purpose nodeDraw, Purpose place, std::uint64_t k, Count free) {
    SessionState& st = sessions[s];
    const std::uint64_t bits = drawBits(nodeDraw, s, k);
    NODEID node = 0;
    if (placed) {
      node = placed->choose(s, DrawStream::uniformFromBits(bits), seed, place, k);
      placed->join(s, node);
    } else {
      node = st.members.nthNonMember(
          static_cast<Count>(DrawStream::belowFromBits(bits, static_cast<std::uint64_t>(free))));
    }
    st.members.insert(node);
    return node;
  }

  void schedule(const Pending& p) {
    calendar.push_back(p);
    std::push_heap(calendar.begin(), calendar.end(), later);
  }

  // Puts session s's next accepted arrival in (clock, T] on the calendar, if any.
  void scheduleArrival(std::int32_t s) {
    SessionState& st = sessions[s];
    if (!(st.candidateRate > 0)) return;
    const Diurnal& d = options.diurnal;
    for (;;) {
      const std::uint64_t c = st.candidates++;
      st.clock += -portable::log(uniform(Purpose::arrivalGap, s, c)) / st.candidateRate;
      if (st.clock > options.duration) return;
      if (d.amplitude > 0) {
        tick();
        const double g = 1 + d.amplitude * portable::cosTurns((st.clock - d.peak) / d.period);
        if (!(uniform(Purpose::thinning, s, c) * (1 + d.amplitude) < g)) continue;
      }
      schedule({st.clock, Pending::arrival, s, 0});
      return;
    }
  }

  // Session s's members at time 0, their joins queued in node order.
  void populate(std::int32_t s) {
    SessionState& st = sessions[s];
    std::uint64_t count = 0;
    if (second) {
      const double mean = st.rate * presence;
      count = static_cast<std::uint64_t>(cutPoisson(
          mean, parameters.nNodes - 1, uniform(Purpose::initialCount, s, 0), [this] { tick(); }));
    } else {
      // Poisson(mean): the points of a unit-rate process that fall in [0, mean].
      const double mean = st.rate * meanStay;
      double sum = 0;
      for (;;) {
        tick();
        sum += -portable::log(uniform(Purpose::initialCount, s, count));
        if (sum > mean) break;
        ++count;
      }
    }
    std::vector<JoinRecord> joins;
    std::uint64_t tries = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
      tick();
      const Count free = parameters.nNodes - st.members.size();
      if (free == 0) {
        ++result->blocked;
        continue;
      }
      const NODEID node = takeNode(s, Purpose::initialNode, Purpose::placeInitial, i, free);
      joins.push_back(joinRecord(node, s, 0, Purpose::initialBand, Purpose::initialDelay,
                                 Purpose::initialHops, i));
      schedule({second ? startStay(s, tries) : remainingStay(s, i), Pending::leave, s, node});
    }
    std::sort(joins.begin(), joins.end(),
              [](const JoinRecord& a, const JoinRecord& b) { return a.node < b.node; });
    for (const JoinRecord& j : joins) ready.emplace_back(j);
    result->joins += static_cast<Count>(joins.size());
  }

  // dynamic-2: the arrivals a full session turned away from `fullSince` up to
  // `until`, counted at once, and its arrivals resumed from there.
  void countTurnedAway(std::int32_t s, double until) {
    SessionState& st = sessions[s];
    const double mean = st.rate * rhythmMass(options.diurnal, st.fullSince, until);
    const std::uint64_t first = st.fullCounts++ << 24;
    result->blocked += poissonCount(mean, [&](std::uint64_t i) {
      tick();
      return uniform(Purpose::fullCount, s, first + i);
    });
    st.full = false;
    st.clock = until;
  }

  // The next request in (0, T] into `event`; false once none is left.
  bool nextRequest(TraceEvent& event) {
    while (!calendar.empty() && calendar.front().time <= options.duration) {
      tick();
      std::pop_heap(calendar.begin(), calendar.end(), later);
      const Pending p = calendar.back();
      calendar.pop_back();
      SessionState& st = sessions[p.session];
      if (p.kind == Pending::leave) {
        st.members.erase(p.node);
        if (placed) placed->leave(p.session, p.node);
        ++result->leaves;
        LeaveRecord r;
        r.node = p.node;
        r.session = p.session;
        r.time = p.time;
        event = r;
        now = p.time;
        if (st.full) {
          countTurnedAway(p.session, p.time);
          scheduleArrival(p.session);
        }
        return true;
      }
      const Count free = parameters.nNodes - st.members.size();
      if (second && free == 0) {
        // Every arrival until the next leave finds the session full.
        ++result->blocked;
        st.full = true;
        st.fullSince = p.time;
        continue;
      }
      const std::uint64_t k = st.arrivals++;
      bool joined = false;
      if (free == 0) {
        ++result->blocked;
      } else {
        const NODEID node = takeNode(p.session, Purpose::joinNode, Purpose::placeArrival, k, free);
        ++result->joins;
        event =
            joinRecord(node, p.session, p.time, Purpose::band, Purpose::delay, Purpose::hops, k);
        schedule({p.time + stay(p.session, k), Pending::leave, p.session, node});
        now = p.time;
        joined = true;
      }
      scheduleArrival(p.session);
      if (joined) return true;
    }
    // Sessions still full at the end turned away the arrivals up to T.
    for (std::int32_t s = 0; s < static_cast<std::int32_t>(sessions.size()); ++s) {
      if (sessions[s].full) countTurnedAway(s, options.duration);
    }
    return false;
  }

  // Session s's remaining members leave at T, in node order.
  void windDown(std::int32_t s) {
    const SessionState& st = sessions[s];
    for (Count k = 0; k < st.members.size(); ++k) {
      tick();
      const NODEID node = st.members.nthMember(k);
      if (node == st.source) continue;
      LeaveRecord r;
      r.node = node;
      r.session = s;
      r.time = options.duration;
      ready.emplace_back(r);
      ++result->leaves;
    }
  }
};

DynamicRun::DynamicRun(const Parameters& parameters, SEED_type seed, const DynamicOptions& options,
                       RunMonitor monitor, const std::optional<placement::Locality>& locality)
    : state_(std::make_unique<State>()) {
  RunPlan plan = planRun(parameters, options);
  State& s = *state_;
  s.parameters = parameters;
  s.seed = seed;
  s.options = options;
  s.options.duration += 0.0;  // -0 is 0
  s.second = options.model == ModelVersion::dynamic2;
  s.keyTag = s.second ? kModelKeyTag2 : kModelKeyTag;
  s.monitor = monitor;
  s.result = &result_;
  result_.model = options.model;
  const HoldingLaw& law = options.holding;
  s.meanStay = plan.meanStay;
  s.presence = plan.presence;
  if (law.family == HoldingFamily::pareto) {
    s.negInvShape = -1 / law.second;
    s.negInvResidualShape = -1 / (law.second - 1);
  }
  if (law.family == HoldingFamily::lognormal) s.residualMu = law.first + law.second * law.second;

  const std::int32_t n = parameters.nSessions;
  s.weights = std::move(plan.weights);
  result_.joinRate = plan.joinRate;
  s.sessions.reserve(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) {
    SessionState& st = s.sessions.emplace_back(parameters.nNodes);
    st.source = static_cast<NODEID>(DrawStream::belowFromBits(
        s.drawBits(Purpose::source, i, 0), static_cast<std::uint64_t>(parameters.nNodes)));
    st.members.insert(st.source);
    st.rate = result_.joinRate * s.weights[i];
    st.candidateRate = st.rate * (1 + options.diurnal.amplitude);
  }
  if (locality) {
    s.placed = std::make_unique<placement::PlacedSessions>(locality->network, locality->beta);
    s.placed->reserve(n);
    for (const SessionState& st : s.sessions) s.placed->add(st.source);
  }
}

DynamicRun::~DynamicRun() = default;

double DynamicRun::weight(std::int32_t session) const {
  return state_->weights.at(static_cast<std::size_t>(session));
}

bool DynamicRun::next(TraceEvent& event) {
  State& s = *state_;
  for (;;) {
    if (!s.ready.empty()) {
      event = s.ready.front();
      s.ready.pop_front();
      return true;
    }
    switch (s.stage) {
      case Stage::header:
        event = TraceHeader{s.parameters.avgSize, 0, s.options.duration,
                            static_cast<std::int32_t>(s.options.model)};
        s.stage = Stage::sessions;
        return true;
      case Stage::sessions:
        if (s.cursor < s.parameters.nSessions) {
          event = SessionEntry{s.cursor, s.sessions[s.cursor].source};
          ++s.cursor;
          return true;
        }
        s.stage = Stage::beefUpMarker;
        continue;
      case Stage::beefUpMarker:
        event = PhaseStart{TracePhase::beefUp};
        s.cursor = 0;
        s.stage =
            s.options.start == StartState::steady ? Stage::initialMembers : Stage::joinLeaveMarker;
        return true;
      case Stage::initialMembers:
        if (s.cursor < s.parameters.nSessions) {
          s.populate(s.cursor++);
          continue;
        }
        s.stage = Stage::joinLeaveMarker;
        continue;
      case Stage::joinLeaveMarker:
        for (std::int32_t i = 0; i < s.parameters.nSessions; ++i) s.scheduleArrival(i);
        event = PhaseStart{TracePhase::joinLeave};
        s.stage = Stage::running;
        return true;
      case Stage::running:
        if (s.nextRequest(event)) return true;
        s.stage = Stage::endMarker;
        continue;
      case Stage::endMarker:
        event = PhaseStart{TracePhase::endOfSession};
        s.calendar.clear();
        s.calendar.shrink_to_fit();
        // No join comes after this: the last leaves need not move the trees.
        s.placed.reset();
        s.cursor = 0;
        s.stage = s.options.end == EndRule::leave ? Stage::endLeaves : Stage::summary;
        return true;
      case Stage::endLeaves:
        if (s.cursor < s.parameters.nSessions) {
          s.windDown(s.cursor++);
          continue;
        }
        s.stage = Stage::summary;
        continue;
      case Stage::summary: {
        TraceSummary summary;
        summary.trans = result_.joins + result_.leaves;
        summary.joins = result_.joins;
        summary.leaves = result_.leaves;
        summary.blocked = result_.blocked;
        event = summary;
        s.stage = Stage::done;
        return true;
      }
      case Stage::done:
        return false;
    }
  }
}

}  // namespace grouptrace::dynamic
