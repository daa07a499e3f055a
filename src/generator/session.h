#pragma once

#include <cstdint>

#include "generator/membership.h"
#include "generator/probab.h"
#include "generator/trace_writer.h"
#include "grouptrace/types.h"

namespace grouptrace {

// One multicast session: its source, its members and the QoS bounds its joins
// draw their requirements from. It performs join and leave requests and writes
// their records.
class Session {
 public:
  // Draws the source: one draw from the shared stream.
  Session(std::int32_t s, NODEID nodes, TraceWriter& writer);

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
  int newJoin();
  // Removes a random member other than the source; 1 when a node left, 0 (no
  // draw, no output) when the source is the only member.
  int newRemove();

  void printJoin(NODEID node, double band, double del, HOPS hops) {
    writer->join(node, id, band, del, hops);
  }
  void printRemove(NODEID node) { writer->leave(node, id); }

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
  TraceWriter* writer;
};

}  // namespace grouptrace
