#include "generator/session.h"

#include "generator/probab.h"

namespace grouptrace {

Session::Session(std::int32_t s, NODEID nodes, TraceWriter& writer)
    : source(0), nNodes(nodes), Parti(nodes), id(s), writer(&writer) {
  source = Probab::uni_inter_Prob(0, nNodes - 1, 0);
  setParti(source, 1);
}

void Session::setQoS(std::int32_t levels, double maxBand, double minBand, double minDelay,
                     double maxDelay, HOPS minHops, HOPS maxHops) {
  nQoSLevels = levels;
  bandRange = Probab::DrawRange(minBand, maxBand);
  delRange = Probab::DrawRange(minDelay, maxDelay);
  hopsRange = Probab::DrawRange(minHops, maxHops);
}

int Session::newJoin() {
  // The candidates are the non-members in node order; draw k names the k-th.
  const Count count = nNodes - Parti.size();
  if (count == 0) return 0;
  const int idx = Probab::uni_inter_Prob(0, static_cast<double>(count - 1), 0);
  const NODEID node = Parti.nthNonMember(idx);
  // All four draws come before anything is written, in this order.
  const double band = Probab::uni_inter_Prob(bandRange);
  const double del = Probab::uni_inter_Prob(delRange);
  const HOPS hops = Probab::uni_inter_Prob(hopsRange);
  printJoin(node, band, del, hops);
  setParti(node, 1);
  return 1;
}

int Session::newRemove() {
  // The candidates are the members other than the source, in node order and
  // numbered from 1.
  const Count count = Parti.size() - 1;
  if (count == 0) return 0;
  const Count idx = Probab::uni_inter_Prob(1, static_cast<double>(count), 0);
  const NODEID node = Parti.nthMemberExcept(idx - 1, source);
  printRemove(node);
  setParti(node, 0);
  return 1;
}

}  // namespace grouptrace
