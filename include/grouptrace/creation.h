#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "grouptrace/parameters.h"
#include "grouptrace/probab.h"
#include "grouptrace/session.h"
#include "grouptrace/trace_writer.h"
#include "grouptrace/types.h"

namespace grouptrace {

// How a run ended. A stalled run wrote a complete trace (markers and summary)
// but stopped its join-leave phase early because no request could ever be
// performed again, so the counter never reached maxTrans.
enum class RunStatus { complete, stalled };

// What a run did: its status and the counts its summary line reports.
struct RunResult {
  RunStatus status = RunStatus::complete;
  Count trans = 0;
  Count joins = 0;
  Count leaves = 0;
};

// The scenario: its parameters, its sessions, and the run that writes the trace.
class Creation {
 public:
  // Creates the sessions in index order. Their sources are the first draws of
  // the generator's initial, unseeded state, so they never depend on the seed.
  Creation(const Parameters& parameters, TraceWriter& writer);

  // Writes the whole trace: header, seeding, the beef-up, join-leave and
  // end-of-session phases, and the summary line.
  RunResult run(SEED_type req_SEED);

  Session* getSess(std::int32_t s) { return allSess[static_cast<std::size_t>(s)].get(); }
  void oneMoreTrans() { ++currTrans; }
  int getOrderedJoinLeave() const { return orderedJoinLeave; }

  // One draw: the session a join-leave or end-of-session request goes to.
  std::int32_t selectSess();
  int doJoin();
  int doRemove();
  void printSessions();

 private:
  // False when no session can accept a join or give up a member, so no request
  // can ever be performed again (a network of one node).
  bool anyRequestPossible() const;

  std::int32_t orderedJoinLeave;
  NODEID nNodes;
  std::int32_t nSessions;
  std::int32_t maxTrans;
  Count currTrans;
  std::vector<std::unique_ptr<Session>> allSess;
  std::int32_t avgSize;
  // The bounds of selectSess's draw, 0 to nSessions - 1.
  Probab::DrawRange sessionRange;
  TraceWriter& writer;
};

}  // namespace grouptrace
