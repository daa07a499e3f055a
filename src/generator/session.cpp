#include "generator/session.h"

#include "generator/probab.h"

namespace grouptrace {

Session::Session(std::int32_t s, NODEID nodes, Probab& draws)
    : source(0), nNodes(nodes), Parti(nodes), id(s) {
  source = draws.uni_inter_Prob(0, nNodes - 1, 0);
  setParti(source, 1);
}

void Session::setQoS(std::int32_t levels, double maxBand, double minBand, double minDelay,
                     double maxDelay, HOPS minHops, HOPS maxHops) {
  nQoSLevels = levels;
  bandRange = Probab::DrawRange(minBand, maxBand);
  delRange = Probab::DrawRange(minDelay, maxDelay);
  hopsRange = Probab::DrawRange(minHops, maxHops);
}

}  // namespace grouptrace
