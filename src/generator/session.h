#pragma once

#include <cstdint>

#include "generator/membership.h"
#include "generator/probab.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"

namespace grouptrace {

// One multicast session: its source, its members and the QoS bounds its joins
// draw their requirements from. It performs join and leave requests and hands
// their records to the run's event sink (a trace writer, or any other consumer
// of the events: see Creation::run).
class Session {
 public:
  // Draws the source: one draw from the run's stream.
  Session(std::int32_t s, NODEID nodes, Probab& draws);

  // The argument order is the parameter stream's: bandwidth maximum first,
  // delay minimum first.
  void setQoS(std::int32_t levels, double maxBand, double minBand, double minDelay, double maxDelay,
              HOPS minHops, HOPS maxHops);

  int isInSession(NODEID node) const { return Parti.contains(node) ? 1 : 0; }
  void setParti(NODEID node, int stat) {
    if (stat != 0) {
      Parti.insert(node);
    } else {
      Parti.erase(node);
    }
  }
  NODEID getSource() const { return source; }
  // Members, the source included.
  Count memberCount() const { return Parti.size(); }

  // Adds a random non-member with random QoS requirements; 1 when a node joined,
  // 0 (no draw, no output) when every node is already a member.
  template <class Sink>
  int newJoin(Probab& draws, Sink& out) {
    // The candidates are the non-members in node order; draw k names the k-th.
    const Count count = nNodes - Parti.size();
    if (count == 0) return 0;
    const int idx = draws.uni_inter_Prob(0, static_cast<double>(count - 1), 0);
    const NODEID node = Parti.nthNonMember(idx);
    // All four draws come before anything is written, in this order.
    const double band = draws.uni_inter_Prob(bandRange);
    const double del = draws.uni_inter_Prob(delRange);
    const HOPS hops = draws.uni_inter_Prob(hopsRange);
    out.join(JoinRecord{node, id, band, del, hops, std::nullopt});
    setParti(node, 1);
    return 1;
  }

  // Removes a random member other than the source; 1 when a node left, 0 (no
  // draw, no output) when the source is the only member.
  template <class Sink>
  int newRemove(Probab& draws, Sink& out) {
    // The candidates are the members other than the source, in node order and
    // numbered from 1.
    const Count count = Parti.size() - 1;
    if (count == 0) return 0;
    const Count idx = draws.uni_inter_Prob(1, static_cast<double>(count), 0);
    const NODEID node = Parti.nthMemberExcept(idx - 1, source);
    out.leave(LeaveRecord{node, id, std::nullopt});
    setParti(node, 0);
    return 1;
  }

 private:
  NODEID source;
  NODEID nNodes;
  Membership Parti;
  std::int32_t id;
  std::int32_t nQoSLevels = 0;
  // The bandwidth, delay and hop-count bounds, kept in the form every join
  // draws them in.
  Probab::DrawRange bandRange{0, 0};
  Probab::DrawRange delRange{0, 0};
  Probab::DrawRange hopsRange{0, 0};
};

}  // namespace grouptrace
