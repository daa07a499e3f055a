#include "member_set/member_set.h"

#include <cassert>

// The set's life, whichever form it has: made, moved, freed and measured.
namespace grouptrace {

using namespace member_set_detail;

MemberSet::MemberSet(NODEID nNodes) : nNodes_(nNodes) {
  assert(nNodes >= 1);
}

MemberSet::MemberSet(MemberSet&& other) noexcept
    : root_(other.root_),
      word_(other.word_),
      nNodes_(other.nNodes_),
      size_(other.size_),
      height_(other.height_),
      generation_(other.generation_),
      bitWords_(other.bitWords_) {
  // The nodes are this set's now: the other's paths stop.
  ++other.generation_;
  other.word_ = 0;
  other.root_ = nullptr;
  other.size_ = 0;
  other.height_ = 0;
  other.bitWords_ = 0;
}

MemberSet& MemberSet::operator=(MemberSet&& other) noexcept {
  if (this != &other) {
    release();
    root_ = other.root_;
    word_ = other.word_;
    nNodes_ = other.nNodes_;
    size_ = other.size_;
    height_ = other.height_;
    bitWords_ = other.bitWords_;
    // release() moved this set's generation on, and the other's paths stop too.
    ++other.generation_;
    other.root_ = nullptr;
    other.size_ = 0;
    other.height_ = 0;
    other.bitWords_ = 0;
    other.word_ = 0;
  }
  return *this;
}

MemberSet::~MemberSet() {
  release();
}

void MemberSet::release() noexcept {
  ++generation_;
  if (inBits()) {
    delete[] bits();
  } else {
    forEachNode(
        root_, height_, [](Key* leaf) { freeLeaf(leaf); }, [](Inner* in) { delete in; });
  }
  root_ = nullptr;
  word_ = 0;
  size_ = 0;
  height_ = 0;
  bitWords_ = 0;
}

std::size_t MemberSet::memoryBytes() const {
  if (inBits()) {
    return static_cast<std::size_t>(capWords() + (countEntries(capWords()) + 1) / 2) *
           sizeof(std::uint64_t);
  }
  std::size_t bytes = 0;
  forEachNode(
      root_, height_, [&bytes](Key* leaf) { bytes += leafBytes(leafCap(leaf)); },
      [&bytes](Inner*) { bytes += sizeof(Inner); });
  return bytes;
}

}  // namespace grouptrace
