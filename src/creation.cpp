#include "grouptrace/creation.h"

#include <unistd.h>

#include <new>

#include "grouptrace/probab.h"

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

Creation::Creation(const Parameters& p, TraceWriter& writer)
    : orderedJoinLeave(p.orderedJoinLeave),
      nNodes(p.nNodes),
      nSessions(p.nSessions),
      maxTrans(p.maxTrans),
      currTrans(p.currTrans),
      avgSize(p.avgSize),
      sessionRange(0, p.nSessions - 1),
      writer(writer) {
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
    allSess.push_back(std::make_unique<Session>(i, nNodes, writer));
    allSess.back()->setQoS(p.nQoSLevels, p.maxBand, p.minBand, p.minDelay, p.maxDelay, p.minHops,
                           p.maxHops);
  }
}

void Creation::printSessions() {
  writer.header(avgSize, orderedJoinLeave);
  for (std::int32_t i = 0; i < nSessions; ++i) writer.sessionEntry(i, getSess(i)->getSource());
  writer.sessionTableEnd();
  for (std::int32_t i = 0; i < nSessions; ++i) writer.groupBlock(i);
}

std::int32_t Creation::selectSess() {
  return Probab::uni_inter_Prob(0, nSessions - 1, 0);
}

int Creation::doJoin() {
  return getSess(selectSess())->newJoin();
}

int Creation::doRemove() {
  return getSess(selectSess())->newRemove();
}

bool Creation::anyRequestPossible() const {
  for (const auto& session : allSess) {
    const Count members = session->memberCount();
    if (members < nNodes || members > 1) return true;
  }
  return false;
}

RunResult Creation::run(SEED_type req_SEED) {
  printSessions();
  Probab::initRandomProb(req_SEED);

  Count nJoins = 0;
  Count nRemoves = 0;
  writer.beefUpMarker();
  for (Count size = 1; size < avgSize; ++size) {
    bool joinedAny = false;
    for (std::int32_t sessIDX = 0; sessIDX < nSessions; ++sessIDX) {
      if (getSess(sessIDX)->newJoin() == 1) {
        oneMoreTrans();
        ++nJoins;
        joinedAny = true;
      }
    }
    // A pass in which no session could grow means every session is full, and
    // stays full: the remaining passes would draw nothing and write nothing.
    if (!joinedAny) break;
  }

  int isPrevReqJoin = getOrderedJoinLeave() != 0 ? 0 : Probab::coinFlip();
  writer.joinLeaveMarker();
  RunStatus status = RunStatus::complete;
  if (currTrans < maxTrans && !anyRequestPossible()) {
    // Requests only ever fail here, so the counter would never move.
    status = RunStatus::stalled;
  } else {
    while (currTrans < maxTrans) {
      if (isPrevReqJoin == 0) {
        const int joined = doJoin();
        isPrevReqJoin = 1;
        if (joined == 1) {
          ++nJoins;
          oneMoreTrans();
        }
      } else {
        const int removed = doRemove();
        isPrevReqJoin = 0;
        if (removed == 1) {
          ++nRemoves;
          oneMoreTrans();
        }
      }
      if (getOrderedJoinLeave() == 0) isPrevReqJoin = Probab::coinFlip();
    }
  }

  const Count excess = nJoins - nRemoves;
  writer.endOfSessionMarker();
  for (Count i = 1; i <= excess; ++i) {
    // Every session back to its source alone: the remaining attempts could only
    // draw, and nothing after this phase draws.
    if (nJoins == nRemoves) break;
    if (doRemove() == 1) {
      ++nRemoves;
      oneMoreTrans();
    }
  }

  writer.summary(currTrans, nJoins, nRemoves);
  writer.flush();
  return {status, currTrans, nJoins, nRemoves};
}

}  // namespace grouptrace
