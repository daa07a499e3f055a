#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "member_set/member_set.h"

// Members as bits: the words and their counts, and the moves between bits and the tree.
namespace grouptrace {

using namespace member_set_detail;

std::int64_t MemberSet::capacityFor(std::int64_t words) {
  const auto step = static_cast<std::int64_t>(std::bit_ceil(static_cast<std::uint64_t>(words)) / 8);
  return step <= 1 ? words : (words + step - 1) / step * step;
}

std::int64_t MemberSet::countEntries(std::int64_t cap) {
  std::int64_t entries = blocksFor(cap);
  std::int64_t total = entries;
  while (entries > kCountFan) {
    entries = (entries + kCountFan - 1) >> kFanShift;
    total += entries;
  }
  return total;
}

std::uint64_t* MemberSet::allocBits(std::int64_t cap) noexcept {
  const auto total = static_cast<std::size_t>(cap + (countEntries(cap) + 1) / 2);
  return new (std::nothrow) std::uint64_t[total]();
}

void MemberSet::countAll() noexcept {
  const std::uint64_t* w = bits();
  std::uint32_t* c = counts();
  std::int64_t entries = blocksFor(capWords());
  for (std::int64_t b = 0; b < entries; ++b) {
    std::uint32_t n = 0;
    const std::int64_t end = std::min((b + 1) * kBlockWords, capWords());
    for (std::int64_t i = b * kBlockWords; i < end; ++i)
      n += static_cast<std::uint32_t>(countBits(w[i]));
    c[b] = n;
  }
  while (entries > kCountFan) {
    std::uint32_t* up = c + entries;
    const std::int64_t upEntries = (entries + kCountFan - 1) >> kFanShift;
    for (std::int64_t j = 0; j < upEntries; ++j) {
      std::uint32_t n = 0;
      const std::int64_t end = std::min((j + 1) * kCountFan, entries);
      for (std::int64_t i = j * kCountFan; i < end; ++i) n += c[i];
      up[j] = n;
    }
    c = up;
    entries = upEntries;
  }
}

void MemberSet::switchToBits() noexcept {
  const int words = largestInTree() / 64 + 1;
  const std::int64_t cap = capacityFor(words);
  std::uint64_t* w = allocBits(cap);
  if (w == nullptr) return;
  ++generation_;
  forEachNode(
      root_, height_,
      [w](Key* leaf) {
        for (int i = 0; i < leafSize(leaf); ++i) {
          const Key k = leafKeys(leaf)[i];
          w[k >> 6] |= std::uint64_t{1} << (k & 63);
        }
        freeLeaf(leaf);
      },
      [](Inner* in) { delete in; });
  root_ = w;
  word_ = static_cast<std::uint64_t>(cap);
  height_ = -1;
  bitWords_ = words;
  countAll();
}

void MemberSet::copyBitsToTree(MemberSet& tree) const {
  // Appending in increasing order leaves the tree's nodes half full: within the bytes a member
  // at which bits give way.
  const std::uint64_t* words = bits();
  for (int i = 0; i < bitWords_; ++i) {
    for (std::uint64_t w = words[i]; w != 0; w &= w - 1) {
      tree.insertInTree(static_cast<NODEID>(64 * i + std::countr_zero(w)));
    }
  }
}

bool MemberSet::insertBeyondBits(NODEID node) {
  const int words = node / 64 + 1;
  if (size_ + 1 >= words) {
    if (words > capWords()) {
      const std::int64_t cap = capacityFor(words);
      std::uint64_t* w = allocBits(cap);
      if (w == nullptr) throw std::bad_alloc();
      std::memcpy(w, bits(), static_cast<std::size_t>(bitWords_) * sizeof(std::uint64_t));
      delete[] bits();
      root_ = w;
      word_ = static_cast<std::uint64_t>(cap);
      countAll();
    }
    bitWords_ = words;
    bits()[node >> 6] |= std::uint64_t{1} << (node & 63);
    addToCounts(node, 1);
    ++size_;
    return true;
  }
  // Too sparse for bits that far: the members go to a tree built aside, so that running out of
  // memory leaves this set as it was.
  MemberSet tree(nNodes_);
  copyBitsToTree(tree);
  tree.insertInTree(node);
  *this = std::move(tree);
  return true;
}

void MemberSet::switchToTree() noexcept {
  MemberSet tree(nNodes_);
  try {
    copyBitsToTree(tree);
  } catch (const std::bad_alloc&) {
    return;
  }
  *this = std::move(tree);
}

}  // namespace grouptrace
