#include "grouptrace/flag_membership.h"

#include <cassert>

namespace grouptrace {

FlagMembership::FlagMembership(NODEID nNodes) : flags_(static_cast<std::size_t>(nNodes), 0) {
}

void FlagMembership::insert(NODEID node) {
  int& flag = flags_[static_cast<std::size_t>(node)];
  size_ += 1 - flag;
  flag = 1;
}

void FlagMembership::erase(NODEID node) {
  int& flag = flags_[static_cast<std::size_t>(node)];
  size_ -= flag;
  flag = 0;
}

NODEID FlagMembership::nthNonMember(Count k) const {
  for (std::size_t ni = 0; ni < flags_.size(); ++ni) {
    if (flags_[ni] == 0 && k-- == 0) return static_cast<NODEID>(ni);
  }
  assert(false && "fewer non-members than asked for");
  return -1;
}

NODEID FlagMembership::nthMember(Count k) const {
  for (std::size_t ni = 0; ni < flags_.size(); ++ni) {
    if (flags_[ni] != 0 && k-- == 0) return static_cast<NODEID>(ni);
  }
  assert(false && "fewer members than asked for");
  return -1;
}

Count FlagMembership::rank(NODEID node) const {
  Count below = 0;
  for (std::size_t ni = 0; ni < static_cast<std::size_t>(node); ++ni) below += flags_[ni];
  return below;
}

}  // namespace grouptrace
