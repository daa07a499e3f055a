#pragma once

#include <cstdint>

#include "generator/membership.h"
#include "generator/probab.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"

namespace grouptrace {

// The bounds every join of a run draws its bandwidth, delay and hop-count
// requirements from, in the form the draws take them. They are the same for
// all sessions, so the run keeps them once and hands them to each join.
struct QosRanges {
  // The argument order is the parameter stream's: bandwidth maximum first,
  // delay minimum first.
  QosRanges(double maxBand, double minBand, double minDelay, double maxDelay, HOPS minHops,
            HOPS maxHops)
      : band(minBand, maxBand), del(minDelay, maxDelay), hops(minHops, maxHops) {}

  Probab::DrawRange band;
  Probab::DrawRange del;
  Probab::DrawRange hops;
};

// One multicast session: its source and its members. It performs join and
// leave requests and hands their records to the run's event sink (a trace
// writer, or any other consumer of the events: see Creation::run).
//
// A run of a million sessions on a small network spends its time waiting for
// the session a request goes to, so a session holds no more than that: the
// run keeps the sessions side by side in one array and everything they share
// once.
class Session {
 public:
  // Draws the source: one draw from the run's stream.
  Session(std::int32_t s, NODEID nodes, Probab& draws);

  int isInSession(NODEID node) const { return Parti.contains(node) ? 1 : 0; }
  // Sets a flag that differs from the node's state.
  void setParti(NODEID node, int stat) {
    const std::int32_t below = node < source ? 1 : 0;
    if (stat != 0) {
      Parti.insert(node);
      belowSource += below;
    } else {
      Parti.erase(node);
      belowSource -= below;
    }
  }
  NODEID getSource() const { return source; }
  // Members, the source included.
  Count memberCount() const { return Parti.size(); }

  // Adds a random non-member with random QoS requirements; 1 when a node joined,
  // 0 (no draw, no output) when every node is already a member.
  template <class Sink>
  int newJoin(Probab& draws, const QosRanges& qos, Sink& out) {
    // The candidates are the non-members in node order; draw k names the k-th,
    // selected and added in one search.
    return join(draws, qos, out, [this](std::uint64_t raw, Count count) {
      return Parti.insertNthNonMember(joinRange(count).scale(raw));
    });
  }
  // The same with the node `choose(raw)` names from the raw value of the
  // join's node draw: a non-member, which the session then adds.
  template <class Sink, class Choose>
  int newJoinChosen(Probab& draws, const QosRanges& qos, Sink& out, Choose&& choose) {
    return join(draws, qos, out, [this, &choose](std::uint64_t raw, Count) {
      const NODEID node = choose(raw);
      Parti.insert(node);
      return node;
    });
  }

  // Removes a random member other than the source; 1 when a node left, 0 (no
  // draw, no output) when the source is the only member. `left(node)` learns
  // which node left.
  struct Unheard {
    void operator()(NODEID) const {}
  };
  template <class Sink, class Left = Unheard>
  int newRemove(Probab& draws, Sink& out, Left&& left = {}) {
    // The candidates are the members other than the source, in node order and
    // numbered from 1.
    const Count count = Parti.size() - 1;
    if (count == 0) return 0;
    const Count idx = draws.uni_inter_Prob(leaveRange(count));
    // Selected and removed in one search; the record is the same either way.
    const NODEID node = Parti.eraseNthMemberExcept(idx - 1, source, belowSource);
    belowSource -= node < source ? 1 : 0;
    left(node);
    out.leave(LeaveRecord{node, id, std::nullopt});
    return 1;
  }

  // Starts fetching the path the session's next join, or leave, takes if its index draw is
  // `raw`, as the set stands now (see MemberSet::startPath). A request that could not be
  // performed has no path: a path left from an earlier use is stopped.
  void startPath(MemberSet::PathAhead& path, bool leave, std::uint64_t raw, int steps) const {
    path.node = nullptr;
    if (leave) {
      const Count count = Parti.size() - 1;
      if (count < 1) return;
      const Count nth = leaveRange(count).scale(raw) - 1;
      Parti.startPath(path, MemberSet::PathTarget::member, nth < belowSource ? nth : nth + 1,
                      steps);
    } else {
      const Count count = Parti.nodeCount() - Parti.size();
      if (count < 1) return;
      Parti.startPath(path, MemberSet::PathTarget::nonMember, joinRange(count).scale(raw), steps);
    }
  }

  void stepPath(MemberSet::PathAhead& path) const { Parti.stepPath(path); }

 private:
  // A join whose node `pick(raw, count)` selects and adds, from the raw value
  // of the node draw and the number of non-members.
  template <class Sink, class Pick>
  int join(Probab& draws, const QosRanges& qos, Sink& out, Pick&& pick) {
    const Count count = Parti.nodeCount() - Parti.size();
    if (count == 0) return 0;
    const NODEID node = pick(draws.nextRaw(), count);
    belowSource += node < source ? 1 : 0;
    // All four draws come before anything is written, in this order.
    const double band = draws.uni_inter_Prob(qos.band);
    const double del = draws.uni_inter_Prob(qos.del);
    const HOPS hops = draws.uni_inter_Prob(qos.hops);
    out.join(JoinRecord{node, id, band, del, hops, std::nullopt});
    return 1;
  }

  // The index draws of a join (the k-th of `count` non-members, from 0) and of a leave (the
  // k-th of `count` members other than the source, from 1).
  static Probab::DrawRange joinRange(Count count) { return {0, static_cast<double>(count - 1)}; }
  static Probab::DrawRange leaveRange(Count count) { return {1, static_cast<double>(count)}; }

  Membership Parti;
  NODEID source;
  std::int32_t id;
  // Members below the source, kept as they join and leave, so that a leave
  // finds its member in one selection instead of first ranking the source.
  std::int32_t belowSource = 0;
};

}  // namespace grouptrace
