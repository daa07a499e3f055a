#include "generator/creation.h"

#include <unistd.h>

#include <new>

#include "generator/probab.h"

namespace grouptrace {
namespace {

// What one session costs at least: its object, its entry in the table and the
// allocator's bookkeeping; in the straightforward build, a flag per node too.
std::uint64_t sessionBytes(NODEID nNodes) {
  const std::uint64_t flags = kBaselineBuild ? static_cast<std::uint64_t>(nNodes) * sizeof(int) : 0;
  return sizeof(Session) + sizeof(std::unique_ptr<Session>) + 16 + flags;
}

std::uint64_t physicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return UINT64_MAX;  // unknown: let allocation decide
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

}  // namespace

Creation::Creation(const Parameters& p)
    : orderedJoinLeave(p.orderedJoinLeave),
      nNodes(p.nNodes),
      nSessions(p.nSessions),
      maxTrans(p.maxTrans),
      currTrans(p.currTrans),
      avgSize(p.avgSize),
      sessionRange(0, p.nSessions - 1) {
  Probab::restoreInitialState();
  // Sessions are all built before anything is written. Where the system lends
  // memory it does not have, a table larger than the machine would only end
  // in the kernel killing the process; refuse it here instead, with nothing
  // written yet.
  if (physicalMemory() / sessionBytes(nNodes) < static_cast<std::uint64_t>(nSessions)) {
    throw std::bad_alloc();
  }
  allSess.reserve(static_cast<std::size_t>(nSessions));
  for (std::int32_t i = 0; i < nSessions; ++i) {
    allSess.push_back(std::make_unique<Session>(i, nNodes));
    allSess.back()->setQoS(p.nQoSLevels, p.maxBand, p.minBand, p.minDelay, p.maxDelay, p.minHops,
                           p.maxHops);
  }
}

bool Creation::anyRequestPossible() const {
  for (const auto& session : allSess) {
    const Count members = session->memberCount();
    if (members < nNodes || members > 1) return true;
  }
  return false;
}

}  // namespace grouptrace
