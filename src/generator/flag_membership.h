#pragma once

#include <vector>

#include "grouptrace/types.h"
#include "member_set/member_set.h"

namespace grouptrace {

// One int flag per node of the network, and for every selection a candidate
// list of the network's size, filled by a scan: the plain design, kept as the
// measured baseline. Memory and the cost of a request grow with the network,
// not with the group.
class FlagMembership {
 public:
  explicit FlagMembership(NODEID nNodes);

  bool contains(NODEID node) const { return flags_[static_cast<std::size_t>(node)] != 0; }
  void insert(NODEID node);
  void erase(NODEID node);
  Count size() const { return size_; }
  NODEID nodeCount() const { return static_cast<NODEID>(flags_.size()); }

  // The k-th (0-based) node in increasing order that is not a member.
  NODEID nthNonMember(Count k) const;
  // The k-th (0-based) member in increasing node order when `excluded` is left out.
  NODEID nthMemberExcept(Count k, NODEID excluded) const;
  NODEID insertNthNonMember(Count k) {
    const NODEID node = nthNonMember(k);
    insert(node);
    return node;
  }
  NODEID eraseNthMemberExcept(Count k, NODEID excluded, Count /*excludedRank*/) {
    const NODEID node = nthMemberExcept(k, excluded);
    erase(node);
    return node;
  }

  // A scan has no path to fetch ahead.
  void startPath(MemberSet::PathAhead& path, MemberSet::PathTarget, Count, int) const {
    path.node = nullptr;
  }
  void stepPath(MemberSet::PathAhead&) const {}

 private:
  std::vector<int> flags_;
  Count size_ = 0;
};

}  // namespace grouptrace
