#include "generator/session.h"

#include "generator/probab.h"

namespace grouptrace {

Session::Session(std::int32_t s, NODEID nodes, Probab& draws) : Parti(nodes), source(0), id(s) {
  source = draws.uni_inter_Prob(0, nodes - 1, 0);
  Parti.insert(source);
}

}  // namespace grouptrace
