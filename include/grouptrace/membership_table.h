#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "grouptrace/types.h"

namespace grouptrace {

// Which nodes belong to which session, for every session at once. The trace
// never states the network's size, so the set is keyed by (session, node) and
// grows with the members present, not with the largest node identifier seen.
// Open addressing with linear probing; removal shifts later entries back, so
// no tombstones pile up over a long join-leave phase.
class MembershipTable {
 public:
  MembershipTable();

  // False when the node already was a member.
  bool insert(std::int32_t session, NODEID node);
  // False when the node was not a member.
  bool erase(std::int32_t session, NODEID node);
  bool contains(std::int32_t session, NODEID node) const;
  std::size_t size() const { return size_; }

 private:
  static std::uint64_t keyOf(std::int32_t session, NODEID node) {
    return (std::uint64_t{static_cast<std::uint32_t>(session)} << 32) |
           static_cast<std::uint32_t>(node);
  }
  std::size_t home(std::uint64_t key) const;
  void grow();

  // No entry has this key: it would be node -1 of session -1.
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

  std::vector<std::uint64_t> slots_;
  std::size_t mask_;
  unsigned shift_;
  std::size_t size_ = 0;
};

}  // namespace grouptrace
