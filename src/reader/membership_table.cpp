#include "grouptrace/membership_table.h"

namespace grouptrace {
namespace {

constexpr unsigned kInitialBits = 10;

}  // namespace

MembershipTable::MembershipTable()
    : slots_(std::size_t{1} << kInitialBits, kEmpty),
      mask_((std::size_t{1} << kInitialBits) - 1),
      shift_(64 - kInitialBits) {
}

std::size_t MembershipTable::home(std::uint64_t key) const {
  // Fibonacci hashing: the high bits of the product mix every bit of the key,
  // so consecutive nodes of one session spread over the table.
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
}

void MembershipTable::grow() {
  std::vector<std::uint64_t> old(slots_.size() * 2, kEmpty);
  old.swap(slots_);
  mask_ = slots_.size() - 1;
  --shift_;
  for (const std::uint64_t key : old) {
    if (key == kEmpty) continue;
    std::size_t i = home(key);
    while (slots_[i] != kEmpty) i = (i + 1) & mask_;
    slots_[i] = key;
  }
}

bool MembershipTable::contains(std::int32_t session, NODEID node) const {
  const std::uint64_t key = keyOf(session, node);
  for (std::size_t i = home(key);; i = (i + 1) & mask_) {
    if (slots_[i] == key) return true;
    if (slots_[i] == kEmpty) return false;
  }
}

bool MembershipTable::insert(std::int32_t session, NODEID node) {
  const std::uint64_t key = keyOf(session, node);
  std::size_t i = home(key);
  for (; slots_[i] != kEmpty; i = (i + 1) & mask_) {
    if (slots_[i] == key) return false;
  }
  slots_[i] = key;
  // Kept at most half full, which keeps probe runs short.
  if (++size_ * 2 > slots_.size()) grow();
  return true;
}

bool MembershipTable::erase(std::int32_t session, NODEID node) {
  const std::uint64_t key = keyOf(session, node);
  std::size_t hole = home(key);
  for (; slots_[hole] != key; hole = (hole + 1) & mask_) {
    if (slots_[hole] == kEmpty) return false;
  }
  // Pull back every later entry of the run that may sit in the hole, so each
  // key stays reachable from its home without tombstones.
  for (std::size_t j = (hole + 1) & mask_; slots_[j] != kEmpty; j = (j + 1) & mask_) {
    const std::size_t h = home(slots_[j]);
    // The entry at j may move to the hole unless its home lies cyclically in (hole, j].
    const bool homeBetween = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
    if (!homeBetween) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole] = kEmpty;
  --size_;
  return true;
}

}  // namespace grouptrace
