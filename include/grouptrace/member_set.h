#pragma once

#include <cstddef>
#include <cstdint>

#include "grouptrace/types.h"

namespace grouptrace {

// The members of one multicast session, kept so that the selections a request needs (the k-th
// non-member for a join, the k-th member and a member's rank for a leave) each cost one descent
// of a counted B+tree: O(log members), whatever the size of the network. Memory follows the
// members: an empty set holds nothing on the heap and a small one a single short leaf.
class MemberSet {
 public:
  // An empty set over nodes 0..nNodes-1 (nNodes >= 1).
  explicit MemberSet(NODEID nNodes);
  MemberSet(MemberSet&& other) noexcept;
  MemberSet& operator=(MemberSet&& other) noexcept;
  MemberSet(const MemberSet&) = delete;
  MemberSet& operator=(const MemberSet&) = delete;
  ~MemberSet();

  bool contains(NODEID node) const;
  // node must lie in 0..nNodes-1 and not be a member yet.
  void insert(NODEID node);
  // node must be a member.
  void erase(NODEID node);
  Count size() const { return size_; }

  // The k-th (0-based) node in increasing order that is not a member; 0 <= k < nNodes - size().
  NODEID nthNonMember(Count k) const;
  // The k-th (0-based) member in increasing node order; 0 <= k < size().
  NODEID nthMember(Count k) const;
  // The number of members below node, for 0 <= node < nNodes.
  Count rank(NODEID node) const;

  // Heap bytes the set holds as requested from the allocator (its bookkeeping not included).
  std::size_t memoryBytes() const;

 private:
  void release() noexcept;

  // A leaf when height_ == 0, otherwise an inner node; null while the set is empty.
  void* root_ = nullptr;
  NODEID nNodes_;
  // Members never outnumber the nodes, so 32 bits hold the count.
  std::int32_t size_ = 0;
  // Inner levels above the leaves.
  std::int32_t height_ = 0;
};

}  // namespace grouptrace
