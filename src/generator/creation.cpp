#include "generator/creation.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

#include "generator/memory_limit.h"
#include "generator/probab.h"

namespace grouptrace {
namespace {

// What one session holds once the table is built, measured as the growth of
// peak resident memory from 10^6 to 2*10^6 sessions (x86-64, glibc): 48 bytes
// while its members fit in one word (networks of up to 64 nodes), 96 above,
// where the leaf that holds its source adds 48. The straightforward build
// measured 168 bytes and its flag per node.
std::uint64_t sessionBytes(NODEID nNodes) {
  if constexpr (kBaselineBuild) return 168 + static_cast<std::uint64_t>(nNodes) * sizeof(int);
  return nNodes <= 64 ? 48 : 96;
}

// Asks for the untouched pages of a large table to come as 2 MiB pages where
// the kernel hands those out on request: a request reaches a random session,
// and with 4 KiB pages each would also miss the address translation. Refused
// or unsupported, the pages stay small.
void adviseHugePages(const void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (start + bytes) & ~(kHugePage - 1);
  if (end > begin) {
    (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace

Creation::Creation(const Parameters& p, const std::optional<Locality>& locality)
    : orderedJoinLeave(p.orderedJoinLeave),
      nNodes(p.nNodes),
      nSessions(p.nSessions),
      maxTrans(p.maxTrans),
      currTrans(p.currTrans),
      avgSize(p.avgSize),
      qos(p.maxBand, p.minBand, p.minDelay, p.maxDelay, p.minHops, p.maxHops),
      sessionRange(0, p.nSessions - 1),
      // About the share of a last-level cache a run can count on.
      prefetchSessions(static_cast<std::uint64_t>(p.nSessions) * sizeof(Session) > (1u << 20)),
      // Members in trees of several levels (sparse in a large network) that
      // together outgrow a core's cache, at a few bytes a member.
      // Placed joins do not take the node the look-ahead would guess.
      fetchPaths(!kBaselineBuild && !locality && p.nNodes > (1 << 14) &&
                 static_cast<std::uint64_t>(p.avgSize > 0 ? p.avgSize : 0) *
                         static_cast<std::uint64_t>(p.nSessions) >
                     (std::uint64_t{1} << 17)) {
  // Sessions are all built before anything is written. Where the system lends
  // memory it does not have, a table larger than the machine or the container
  // would only end in the kernel killing the process; refuse it here instead,
  // with nothing written yet.
  if (availableMemory() / sessionBytes(nNodes) < static_cast<std::uint64_t>(nSessions)) {
    throw std::bad_alloc();
  }
  allSess.reserve(static_cast<std::size_t>(nSessions));
  if (prefetchSessions) adviseHugePages(allSess.data(), allSess.capacity() * sizeof(Session));
  for (std::int32_t i = 0; i < nSessions; ++i) {
    allSess.emplace_back(i, nNodes, draws);
  }
  if (locality) {
    placed = std::make_unique<placement::PlacedSessions>(locality->network, locality->beta);
    placed->reserve(nSessions);
    for (const Session& s : allSess) placed->add(s.getSource());
  }
}

bool Creation::anyRequestPossible() const {
  for (const auto& session : allSess) {
    const Count members = session.memberCount();
    if (members < nNodes || members > 1) return true;
  }
  return false;
}

}  // namespace grouptrace
