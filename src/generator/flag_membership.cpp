#include "generator/flag_membership.h"

#include <cassert>
#include <memory>

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
  const auto candidates = std::make_unique_for_overwrite<NODEID[]>(flags_.size());
  std::size_t count = 0;
  for (std::size_t ni = 0; ni < flags_.size(); ++ni) {
    if (flags_[ni] == 0) candidates[count++] = static_cast<NODEID>(ni);
  }
  assert(static_cast<std::size_t>(k) < count);
  return candidates[static_cast<std::size_t>(k)];
}

NODEID FlagMembership::nthMemberExcept(Count k, NODEID excluded) const {
  const auto candidates = std::make_unique_for_overwrite<NODEID[]>(flags_.size());
  std::size_t count = 0;
  for (std::size_t ni = 0; ni < flags_.size(); ++ni) {
    if (flags_[ni] != 0 && static_cast<NODEID>(ni) != excluded) {
      candidates[count++] = static_cast<NODEID>(ni);
    }
  }
  assert(static_cast<std::size_t>(k) < count);
  return candidates[static_cast<std::size_t>(k)];
}

}  // namespace grouptrace
