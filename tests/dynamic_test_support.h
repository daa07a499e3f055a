#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <variant>
#include <vector>

#include "dynamic/dynamic_run.h"
#include "grouptrace/trace_event.h"

namespace grouptrace::dynamic::dyntest {

// Keeps every event of a timed run, in order.
struct RecordingSink {
  std::vector<TraceEvent> events;
  void header(const TraceHeader& e) { events.emplace_back(e); }
  void sessionEntry(const SessionEntry& e) { events.emplace_back(e); }
  void phase(const PhaseStart& e) { events.emplace_back(e); }
  void join(const JoinRecord& e) { events.emplace_back(e); }
  void leave(const LeaveRecord& e) { events.emplace_back(e); }
  void summary(const TraceSummary& e) { events.emplace_back(e); }
};

inline Parameters scenario(NODEID nodes, std::int32_t sessions, std::int32_t avgSize = 4) {
  Parameters p;
  p.nNodes = nodes;
  p.nSessions = sessions;
  p.avgSize = avgSize;
  p.nQoSLevels = 1;
  p.minBand = 64;
  p.maxBand = 512;
  p.minDelay = 5;
  p.maxDelay = 50;
  p.minHops = 1;
  p.maxHops = 6;
  return p;
}

inline std::vector<TraceEvent> runEvents(const Parameters& p, SEED_type seed,
                                         const DynamicOptions& o) {
  RecordingSink sink;
  runDynamic(p, seed, o, sink);
  return std::move(sink.events);
}

// A join with the phase it stood in and, when its node left before the end of
// the run's requests, how long it stayed.
struct Stay {
  JoinRecord join;
  TracePhase phase;
  bool completed = false;  // left in the join-leave phase
  double length = 0;       // leave time - join time, when completed
};

// Every join of a trace, each paired with its node's next leave from its session.
inline std::vector<Stay> stays(const std::vector<TraceEvent>& events) {
  std::vector<Stay> out;
  std::map<std::pair<std::int32_t, NODEID>, std::size_t> open;
  TracePhase phase = TracePhase::beefUp;
  for (const TraceEvent& e : events) {
    if (const auto* p = std::get_if<PhaseStart>(&e)) phase = p->phase;
    if (const auto* j = std::get_if<JoinRecord>(&e)) {
      open[{j->session, j->node}] = out.size();
      out.push_back({*j, phase});
    }
    if (const auto* l = std::get_if<LeaveRecord>(&e)) {
      const auto it = open.find({l->session, l->node});
      if (it == open.end()) continue;
      Stay& s = out[it->second];
      if (phase == TracePhase::joinLeave) {
        s.completed = true;
        s.length = *l->time - *s.join.time;
      }
      open.erase(it);
    }
  }
  return out;
}

}  // namespace grouptrace::dynamic::dyntest
