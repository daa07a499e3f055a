#pragma once

#include <vector>

#include "grouptrace/types.h"

namespace grouptrace {

// One int flag per node of the network, answered by scanning: the plain layout,
// kept as the measured baseline and as the reference the fast set is checked
// against. Memory and the cost of a selection grow with the network, not the group.
class FlagMembership {
 public:
  explicit FlagMembership(NODEID nNodes);

  bool contains(NODEID node) const { return flags_[static_cast<std::size_t>(node)] != 0; }
  void insert(NODEID node);
  void erase(NODEID node);
  Count size() const { return size_; }

  // The k-th (0-based) node in increasing order that is not a member.
  NODEID nthNonMember(Count k) const;
  // The k-th (0-based) member in increasing node order.
  NODEID nthMember(Count k) const;
  // The number of members below node.
  Count rank(NODEID node) const;

 private:
  std::vector<int> flags_;
  Count size_ = 0;
};

}  // namespace grouptrace
